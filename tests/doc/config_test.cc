// kx_Config: templates, values and defaults, import limits, instances, distributed
// filtering, exports, the serial form and hostile input.
#include "kx/config.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "kx/objectlist.h"
#include "kx/string.h"
#include "kx/stringlist.h"
#include "tests/support/stdout_capture.hpp"

namespace {

struct DocFree {
    void operator()(kx_Ebml *d) const { kx_Ebml_delete__OI(d); }
};
using Doc = std::unique_ptr<kx_Ebml, DocFree>;

kx_EbmlNode *root(kx_Ebml *d) { return reinterpret_cast<kx_EbmlNode *>(d); }

std::vector<std::string> strings(kx_Ebml *c, kx_EbmlNode *parent, const char *path) {
    std::vector<std::string> out;
    kx_ConfigStrings *v = kx_Config_node_string_get__IO(c, parent, path);
    if (v == nullptr) return {"(null)"};
    for (uint32_t i = 0; i < v->count; ++i) out.push_back(v->values[i]);
    free(v);
    return out;
}

std::vector<int64_t> integers(kx_Ebml *c, kx_EbmlNode *parent, const char *path) {
    std::vector<int64_t> out;
    kx_ConfigIntegers *v = kx_Config_node_integer_get__IO(c, parent, path);
    if (v == nullptr) return {-999};
    for (uint32_t i = 0; i < v->count; ++i) out.push_back(*v->values[i]);
    free(v);
    return out;
}

// A source element holding values as the EBML documents of other producers do: texts.
kx_EbmlNode *sourceSetting(kx_Ebml *src, kx_EbmlNode *parent, const char *name, std::vector<const char *> values) {
    kx_EbmlNode *s = kx_Ebml_node_addChild(src, parent, name, KX_EBML_TYPE_CONTAINER);
    for (const char *v : values) kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(src, s, "$$value", 2), v);
    return s;
}

size_t count(kx_ObjectList *l) {
    if (l == nullptr) return 0;
    size_t n = l->count;
    kx_ObjectList_delete__OI(l);
    return n;
}

// A station: a name, a port, and up to two cameras bound to hosts.
Doc station() {
    Doc c(kx_Config_new__IO());
    kx_EbmlNode *name = kx_Config_node_string_add(c.get(), nullptr, "name", "Name", "Station", 1, 2, 1, 1, 8, 2);
    kx_Config_node_string_add_value(c.get(), name, "$$defaultValue", "station", nullptr, nullptr);
    kx_Config_node_string_add_value(c.get(), nullptr, "name", "north", "n", "the north gate");
    kx_Config_node_integer_add(c.get(), nullptr, "port", "Port", "RTSP port", 3, 1, 1, 65535, 1);
    kx_EbmlNode *net = kx_Config_node_node_add(c.get(), nullptr, "net", "Network", "Addresses", 1, 0, 1);
    kx_Config_node_string_add(c.get(), net, "gateway", "Gateway", "Gateway address", 1, 0, 1, 7, 15, 1);
    kx_EbmlNode *cam = kx_Config_node_template_add(c.get(), nullptr, "camera", "Camera", "One camera", "host", 1, 0, 1, 2);
    kx_Config_node_string_add(c.get(), cam, "host", "Host", "Runs on", 1, 0, 1, 0, 21, 1);
    kx_Config_node_string_add(c.get(), cam, "url", "URL", "Address", 1, 0, 1, 1, 64, 1);
    return c;
}

TEST(Config, DefaultsAndMissingSettings) {
    Doc c = station();
    EXPECT_EQ(strings(c.get(), nullptr, "name"), std::vector<std::string>{"station"});
    char *first = kx_Config_node_string_get_first__IO(c.get(), nullptr, "name");
    EXPECT_STREQ(first, "station");
    free(first);
    // Neither values nor a default.
    EXPECT_EQ(integers(c.get(), nullptr, "port"), std::vector<int64_t>{-999});
    EXPECT_EQ(kx_Config_node_int_get_first(c.get(), nullptr, "port", 77), 77);
    kx_Config_node_integer_set_value(c.get(), kx_Config_node_get(c.get(), nullptr, "port"), 8554);
    EXPECT_EQ(kx_Config_node_int_get_first(c.get(), nullptr, "port", 77), 8554);
    EXPECT_EQ(integers(c.get(), kx_Config_node_get(c.get(), nullptr, "port"), nullptr), std::vector<int64_t>{8554});
    kxtest::CaptureShownOnFailure cap;
    EXPECT_EQ(kx_Config_node_string_get__IO(c.get(), nullptr, "missing"), nullptr);
    EXPECT_NE(cap.text().find("Find the node:\"missing\" failed,pConfig=0x"), std::string::npos);
    EXPECT_EQ(kx_Config_node_string_get__IO(c.get(), nullptr, "port"), nullptr);
    EXPECT_NE(cap.text().find("The parameter:\"$$type\" of the node:\"port\" error(\"int\"),pConfig="), std::string::npos);
    EXPECT_EQ(kx_Config_node_string_get__IO(c.get(), nullptr, "name $$staticData"), nullptr);
    EXPECT_NE(cap.text().find("The parameter:\"$$type\" of the node:\"$$staticData\" error,pConfig="), std::string::npos);
    EXPECT_EQ(kx_Config_node_string_set_value(c.get(), kx_Config_node_get(c.get(), nullptr, "port"), "x"), -1);
}

TEST(Config, ImportTakesOnlyWhatTheTemplateAllows) {
    Doc c = station();
    Doc src(kx_Ebml_new__IO(1, 0));
    sourceSetting(src.get(), nullptr, "name", {"abc", "too-long-value", "xyz"});
    sourceSetting(src.get(), nullptr, "port", {"0", "8554", "554"});  // one value; 0 is out of range
    kx_EbmlNode *net = kx_Ebml_node_addChild(src.get(), nullptr, "net", 1);
    sourceSetting(src.get(), net, "gateway", {"10.0.0.254"});
    kxtest::CaptureShownOnFailure cap;
    ASSERT_EQ(kx_Config_import(c.get(), nullptr, src.get(), nullptr), 1);
    EXPECT_EQ(strings(c.get(), nullptr, "name"), std::vector<std::string>{"abc"});
    EXPECT_NE(cap.text().find("Invalid value:\"too-long-value\" of the node(type=0x2):\"name\" len(=14/1-8)."),
              std::string::npos)
        << kxtest::strip_colours(cap.text());
    EXPECT_EQ(cap.text().find("xyz"), std::string::npos);  // beyond the count: not even looked at
    EXPECT_EQ(integers(c.get(), nullptr, "port"), std::vector<int64_t>{-999});
    EXPECT_NE(cap.text().find("Invalid value:\"0\" of the node(type=0x2):\"port\" range(1-65535)."), std::string::npos);
    EXPECT_EQ(strings(c.get(), nullptr, "net gateway"), std::vector<std::string>{"10.0.0.254"});
    // A second import replaces the values.
    Doc again(kx_Ebml_new__IO(1, 0));
    sourceSetting(again.get(), nullptr, "name", {"new"});
    kx_EbmlNode *port = sourceSetting(again.get(), nullptr, "port", {});
    kx_Ebml_node_data_set_integer(kx_Ebml_node_addChild(again.get(), port, "$$value", 4), 8554);
    kx_Config_import(c.get(), nullptr, again.get(), nullptr);
    EXPECT_EQ(strings(c.get(), nullptr, "name"), std::vector<std::string>{"new"});
    EXPECT_EQ(integers(c.get(), nullptr, "port"), std::vector<int64_t>{8554});
    EXPECT_EQ(strings(c.get(), nullptr, "net gateway"), std::vector<std::string>{"10.0.0.254"});  // not in the source
}

TEST(Config, InstancesAreBoundedByTheTemplate) {
    Doc c = station();
    Doc src(kx_Ebml_new__IO(1, 0));
    for (const char *host : {"10.0.0.1:554", "10.0.0.2", "10.0.0.3"}) {
        kx_EbmlNode *cam = kx_Ebml_node_addChild(src.get(), nullptr, "camera", 1);
        sourceSetting(src.get(), cam, "host", {host});
        sourceSetting(src.get(), cam, "url", {"rtsp://cam/1"});
    }
    ASSERT_EQ(kx_Config_import(c.get(), nullptr, src.get(), nullptr), 1);
    kx_ObjectList *cams = kx_Config_node_template__IO(c.get(), nullptr, nullptr, 0, KX_CONFIG_KEEP_LOCAL, "camera");
    ASSERT_NE(cams, nullptr);
    ASSERT_EQ(cams->count, 2u);
    auto *second = static_cast<kx_EbmlNode *>(cams->array[cams->start + 1]);
    kx_ObjectList_delete__OI(cams);
    EXPECT_EQ(strings(c.get(), second, "host"), std::vector<std::string>{"10.0.0.2"});
    EXPECT_EQ(kx_Ebml_node_get_first(c.get(), second, "$$type"), nullptr);  // settings only
    // Fewer source instances remove the surplus.
    Doc one(kx_Ebml_new__IO(1, 0));
    sourceSetting(one.get(), kx_Ebml_node_addChild(one.get(), nullptr, "camera", 1), "url", {"rtsp://x/1"});
    kx_Config_import(c.get(), nullptr, one.get(), nullptr);
    EXPECT_EQ(count(kx_Config_node_template__IO(c.get(), nullptr, nullptr, 0, 1, "camera")), 1u);
    EXPECT_EQ(strings(c.get(), kx_Config_node_get(c.get(), nullptr, "camera"), "url"),
              std::vector<std::string>{"rtsp://x/1"});
}

TEST(Config, DistributedFilteringByHost) {
    Doc c = station();
    Doc src(kx_Ebml_new__IO(1, 0));
    for (const char *host : {"10.0.0.1:554", ""}) {
        kx_EbmlNode *cam = kx_Ebml_node_addChild(src.get(), nullptr, "camera", 1);
        if (host[0]) sourceSetting(src.get(), cam, "host", {host});
        sourceSetting(src.get(), cam, "url", {"rtsp://cam/1"});
    }
    kx_Config_import(c.get(), nullptr, src.get(), nullptr);
    uint32_t here = inet_addr("10.0.0.1"), other = inet_addr("10.9.9.9");
    kxtest::CaptureShownOnFailure cap;
    // The instance without a host stays in both lists.
    EXPECT_EQ(count(kx_Config_node_template__IO(c.get(), nullptr, &here, 1, KX_CONFIG_KEEP_LOCAL, "camera")), 2u);
    EXPECT_NE(cap.text().find("Get distributed(node:\"host\") failed on the node:\"camera\"."), std::string::npos);
    EXPECT_EQ(count(kx_Config_node_template__IO(c.get(), nullptr, &here, 1, KX_CONFIG_KEEP_REMOTE, "camera")), 1u);
    EXPECT_EQ(count(kx_Config_node_template__IO(c.get(), nullptr, &other, 1, KX_CONFIG_KEEP_LOCAL, "camera")), 1u);
    kx_StringList *hosts = kx_Config_distributed_host_get__IO(c.get(), nullptr);
    ASSERT_NE(hosts, nullptr);
    ASSERT_EQ(hosts->list.count, 1u);
    EXPECT_STREQ(kx_StringList_get_at(hosts, 0), "10.0.0.1:554");
    kx_StringList_delete__OI(hosts);
}

TEST(Config, ExportsPlainAndCommented) {
    Doc c = station();
    Doc src(kx_Ebml_new__IO(1, 0));
    sourceSetting(src.get(), nullptr, "name", {"abc"});
    sourceSetting(src.get(), kx_Ebml_node_addChild(src.get(), nullptr, "camera", 1), "url", {"rtsp://cam/1"});
    kx_Config_import(c.get(), nullptr, src.get(), nullptr);
    Doc plain(kx_Config_export__IO(c.get(), nullptr));
    ASSERT_TRUE(plain);
    kx_EbmlNode *v = kx_Ebml_node_get_first(plain.get(), nullptr, "name $$value");
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char *>(v->data), "abc");
    EXPECT_NE(kx_Ebml_node_get_first(plain.get(), nullptr, "camera url $$value"), nullptr);
    EXPECT_EQ(kx_Ebml_node_get_first(plain.get(), nullptr, "$camera"), nullptr);
    EXPECT_EQ(kx_Ebml_node_get_first(plain.get(), nullptr, "name")->propertyCount, 0u);
    Doc commented(kx_Config_export_with_comment__IO(c.get(), nullptr));
    ASSERT_TRUE(commented);
    EXPECT_STREQ(kx_Ebml_node_property_get(kx_Ebml_node_get_first(commented.get(), nullptr, "name"), "comment"),
                 "Station,有效长度:1-8字节");
    EXPECT_STREQ(kx_Ebml_node_property_get(kx_Ebml_node_get_first(commented.get(), nullptr, "camera"), "comment"),
                 "One camera,最大实例数:2");
    EXPECT_STREQ(kx_Ebml_node_property_get(kx_Ebml_node_get_first(commented.get(), nullptr, "net"), "comment"),
                 "Addresses");
    // An export is a source for another configuration.
    Doc other = station();
    kx_Config_import(other.get(), nullptr, plain.get(), nullptr);
    EXPECT_EQ(strings(other.get(), nullptr, "name"), std::vector<std::string>{"abc"});
    EXPECT_EQ(count(kx_Config_node_template__IO(other.get(), nullptr, nullptr, 0, 1, "camera")), 1u);
}

TEST(Config, SerialFormNeedsTheKeyAndTheRoot) {
    Doc c = station();
    char path[] = "/tmp/kxconfigXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(kx_Config_save_to_file(c.get(), path), 1);
    Doc back(kx_Config_new_from_file__IO(path));
    ASSERT_TRUE(back);
    EXPECT_EQ(strings(back.get(), nullptr, "name"), std::vector<std::string>{"station"});
    EXPECT_EQ(count(kx_Ebml_node_get__IO(back.get(), nullptr, "$camera url $$max")), 1u);
    kxtest::CaptureShownOnFailure cap;
    EXPECT_FALSE(Doc(kx_Ebml_new_from_file__IO(path, nullptr)));  // the plain reader cannot open it
    EXPECT_FALSE(Doc(kx_Ebml_new_from_file__IO(path, "another key")));
    // A document with another root, in the same scrambled form.
    Doc plain(kx_Ebml_new__IO(1, 0x1234));
    kx_String *s = kx_Config_to_String__IO(plain.get(), 4, 4);
    ASSERT_NE(s, nullptr);
    EXPECT_FALSE(Doc(kx_Config_new_from_string__IO(s->lenth - 8, s->buffer + 4)));
    EXPECT_NE(cap.text().find("Invalid config data,tag=0x1234."), std::string::npos);
    kx_String_buffer_save_to_file(s->lenth - 8, s->buffer + 4, path);
    kx_String_delete__OI(s);
    EXPECT_FALSE(Doc(kx_Config_new_from_file__IO(path)));
    EXPECT_NE(cap.text().find(std::string("The file:\"") + path + "\" not a config file,tag=0x1234."),
              std::string::npos);
    unlink(path);
    Doc copy(kx_Config_new_from_Config__IO(c.get()));
    EXPECT_EQ(strings(copy.get(), nullptr, "name"), std::vector<std::string>{"station"});
}

TEST(Config, HostileSerialFormsAndSources) {
    Doc c = station();
    kx_String *s = kx_Config_to_String__IO(c.get(), 0, 0);
    ASSERT_NE(s, nullptr);
    std::string good(s->buffer, s->lenth);
    kx_String_delete__OI(s);
    kxtest::CaptureShownOnFailure cap;
    for (size_t cut : {size_t(0), size_t(7), good.size() / 2, good.size() - 1}) {
        std::unique_ptr<char[]> copy(new char[cut + 1]);
        memcpy(copy.get(), good.data(), cut);
        EXPECT_FALSE(Doc(kx_Config_new_from_string__IO(cut, copy.get()))) << cut;
    }
    // A source with many values and a hostile shape: values as containers, numbers
    // as junk texts. Only the template's count is considered.
    Doc src(kx_Ebml_new__IO(1, 0));
    kx_EbmlNode *name = kx_Ebml_node_addChild(src.get(), nullptr, "name", 1);
    kx_Ebml_node_addChild(src.get(), name, "$$value", 1);
    for (int i = 0; i < 1000; ++i) kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(src.get(), name, "$$value", 2), "ok");
    sourceSetting(src.get(), nullptr, "port", {"80x"});
    kx_Ebml_node_addChild(src.get(), nullptr, "net", 2);  // a group given as a text
    ASSERT_EQ(kx_Config_import(c.get(), nullptr, src.get(), nullptr), 1);
    EXPECT_EQ(strings(c.get(), nullptr, "name"), std::vector<std::string>{"ok"});
    EXPECT_EQ(integers(c.get(), nullptr, "port"), std::vector<int64_t>{-999});
    EXPECT_EQ(kx_Config_import(c.get(), nullptr, src.get(), root(c.get())), -1);  // parent of another document
    EXPECT_EQ(kx_Config_import(c.get(), nullptr, c.get(), nullptr), -1);          // itself
}

TEST(Config, RepeatedTemplatesAndSettingsNamedLikeInstances) {
    // A loaded template may hold a template twice and a group named like its instances.
    Doc c = station();
    kx_Config_node_template_add(c.get(), nullptr, "camera", "Camera", "again", nullptr, 1, 0, 1, 1);
    kx_EbmlNode *group = kx_Config_node_node_add(c.get(), nullptr, "camera", "Group", "not an instance", 1, 0, 1);
    Doc src(kx_Ebml_new__IO(1, 0));
    for (int i = 0; i < 3; ++i) sourceSetting(src.get(), kx_Ebml_node_addChild(src.get(), nullptr, "camera", 1), "url", {"rtsp://c/1"});
    kxtest::CaptureShownOnFailure cap;
    ASSERT_EQ(kx_Config_import(c.get(), nullptr, src.get(), nullptr), 1);
    EXPECT_EQ(count(kx_Config_node_template__IO(c.get(), nullptr, nullptr, 0, 1, "camera")), 2u);
    EXPECT_EQ(kx_Ebml_node_get_first(c.get(), group, "$$type")->parent, group);  // the group stays a group
    ASSERT_EQ(kx_Config_import(c.get(), nullptr, src.get(), nullptr), 1);          // and again, over existing ones
    EXPECT_EQ(count(kx_Config_node_template__IO(c.get(), nullptr, nullptr, 0, 1, "camera")), 2u);
}

TEST(Config, ResultOutAndSelfTest) {
    Doc c = station();
    kx_EbmlNode *name = kx_Config_node_get(c.get(), nullptr, "name");
    kx_Config_node_string_set_value(c.get(), name, "a");
    kx_Config_node_string_set_value(c.get(), name, "b");
    kx_ConfigStrings *v = kx_Config_node_string_get__IO(c.get(), name, nullptr);
    ASSERT_NE(v, nullptr);
    FILE *f = tmpfile();
    EXPECT_EQ(kx_Config_result_string_out(v, f, ", "), 1);
    EXPECT_EQ(kxtest::read_stream(f), "a, b");
    fclose(f);
    free(v);
    kxtest::CaptureShownOnFailure cap;
    EXPECT_EQ(kx_Config_test(), 1);
}

}  // namespace
