// kxdoc: the built program converts XML and JSON to EBML, shows EBML and configuration
// files as XML and JSON, and checks documents with its exit code and first error.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "kx/config.h"
#include "kx/ebml.h"
#include "kx/string.h"

namespace {

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void spit(const std::string &path, const std::string &bytes) {
    std::ofstream f(path, std::ios::binary);
    f << bytes;
}

class Kxdoc : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kxdocXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string file(const std::string &name) const { return dir_ + "/" + name; }

    struct Run {
        int code;
        std::string out, err;
    };
    // Runs the built kxdoc with a time bound; standard output and error apart.
    Run kxdoc(const std::string &args) {
        std::string cmd = "timeout 30 " KX_TEST_BINARY_DIR "/bin/kxdoc " + args + " >" + file("stdout") + " 2>" +
                          file("stderr");
        int status = system(cmd.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(file("stdout")), slurp(file("stderr"))};
    }

    std::string dir_;
};

TEST_F(Kxdoc, XmlToEbmlAndBack) {
    spit(file("in.xml"),
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<camera id=\"7\"><url>rtsp://10.0.0.7/1</url>"
         "<stream><name>main</name></stream><stream><name>sub</name></stream></camera>");
    Run r = kxdoc("ebml " + file("in.xml") + " " + file("out.ebml"));
    ASSERT_EQ(r.code, 0) << r.err;
    kx_Ebml *doc = kx_Ebml_new_from_file__IO(file("out.ebml").c_str(), nullptr);
    ASSERT_NE(doc, nullptr);
    EXPECT_STREQ(kx_Ebml_node_property_get(kx_Ebml_node_get_first(doc, nullptr, "camera"), "id"), "7");
    kx_Ebml_delete__OI(doc);

    r = kxdoc("show " + file("out.ebml"));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("<camera id=\"7\">\n    <url>rtsp://10.0.0.7/1</url>"), std::string::npos) << r.out;
    r = kxdoc("show --json " + file("out.ebml"));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("\"name\":\"sub\""), std::string::npos) << r.out;
    // The JSON text converts back to the same document.
    spit(file("in.json"), r.out);
    ASSERT_EQ(kxdoc("ebml " + file("in.json") + " " + file("again.ebml")).code, 0);
    EXPECT_EQ(slurp(file("again.ebml")), slurp(file("out.ebml")));

    r = kxdoc("check " + file("out.ebml"));
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("ok, EBML document, 6 nodes, depth 3"), std::string::npos) << r.out;
}

TEST_F(Kxdoc, ShowsConfigurationFiles) {
    kx_Ebml *c = kx_Config_new__IO();
    kx_Config_node_string_add(c, nullptr, "name", "Name", "Station", 1, 0, 1, 1, 8, 1);
    ASSERT_EQ(kx_Config_save_to_file(c, file("station.cfg").c_str()), 1);
    kx_Config_delete__OI(c);
    Run r = kxdoc("show " + file("station.cfg"));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("<$$type>string</$$type>"), std::string::npos) << r.out;
    r = kxdoc("check " + file("station.cfg"));
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("ok, configuration"), std::string::npos) << r.out;
}

TEST_F(Kxdoc, CheckReportsTheFirstError) {
    kx_Ebml *d = kx_Ebml_new__IO(1, 0);
    kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(d, nullptr, "a", 2), "x");
    kx_String *s = kx_Ebml_to_String__IO(d, 0, 0, nullptr);
    kx_Ebml_delete__OI(d);
    ASSERT_NE(s, nullptr);
    std::string good(s->buffer, s->lenth);
    kx_String_delete__OI(s);

    std::string flipped = good;
    flipped.back() ^= 1;
    spit(file("flipped.ebml"), flipped);
    Run r = kxdoc("check " + file("flipped.ebml"));
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("Invalid check data."), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");

    // A container whose content ends in bytes that are not a node: the document's own
    // bytes are re-made around the changed content.
    kx_Ebml *raw = kx_Ebml_new__IO(1, 0);
    kx_EbmlNode *box = kx_Ebml_node_addChild(raw, nullptr, "box", 1);
    kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(raw, box, "a", 2), "x");
    kx_Ebml_node_data_set(box, 3, "\x00\x00\x00");  // a zero type: not a node
    ASSERT_EQ(kx_Ebml_save_to_file(raw, file("junk.ebml").c_str(), nullptr), 1);
    kx_Ebml_delete__OI(raw);
    r = kxdoc("check " + file("junk.ebml"));
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("3 bytes that are not nodes in \"box\""), std::string::npos) << r.err;

    spit(file("short.ebml"), good.substr(0, 5));
    EXPECT_EQ(kxdoc("show " + file("short.ebml")).code, 2);
    EXPECT_EQ(kxdoc("show " + file("missing.ebml")).code, 2);
    EXPECT_EQ(kxdoc("frobnicate").code, 1);
}

}  // namespace
