// kx_Json: lazy parse, member trees and arrays, paths, serialisation and hostile input.
#include "kx/json.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "kx/objectlist.h"
#include "kx/string.h"
#include "tests/support/heap_usage.hpp"
#include "tests/support/stdout_capture.hpp"

namespace {

struct DocFree {
    void operator()(kx_Json *d) const { kx_Json_delete__OI(d); }
};
using Doc = std::unique_ptr<kx_Json, DocFree>;

// Loads from a heap copy without a terminating NUL, so reading past the counted length
// is an AddressSanitizer error.
Doc load(const std::string &s) {
    std::unique_ptr<char[]> copy(new char[s.size() ? s.size() : 1]);
    if (!s.empty()) memcpy(copy.get(), s.data(), s.size());
    return Doc(kx_Json_new_from_string_buffer__IO(s.size(), copy.get()));
}

kx_JsonNode *top(kx_Json *d) { return reinterpret_cast<kx_JsonNode *>(d); }

std::string text(kx_Json *d, const char *ls = nullptr, const char *le = nullptr, uint32_t step = 0) {
    char *t = kx_Json_to_string__IO(d, ls, le, step);
    std::string s = t ? t : "(null)";
    free(t);
    return s;
}

std::string indented(kx_Json *d) { return text(d, nullptr, "\n", 4); }

// The tree as name=value / name{...} / name=raw:..., members separated by ','.
std::string dump(const kx_JsonNode *n) {
    std::string out;
    struct Frame {
        const kx_JsonNode *n;
        uint32_t i;
    };
    std::vector<Frame> st{{n, 0}};
    while (!st.empty()) {
        Frame &f = st.back();
        if (f.i == f.n->childCount) {
            if (f.n->value && (f.n->flags & KX_JSON_FLAG_RAW) && f.n->childCount)
                out += "+raw:" + std::string(f.n->value, f.n->valueLength);
            st.pop_back();
            if (!st.empty()) out += '}';
            continue;
        }
        const kx_JsonNode *c = f.n->children[f.i++];
        if (f.i > 1) out += ',';
        out += c->name;
        EXPECT_EQ(c->parent, f.n);
        if (c->value) {
            EXPECT_EQ(strlen(c->value), c->valueLength);  // NUL-terminated where it ends
        }
        if (c->value && !c->childCount)
            out += ((c->flags & KX_JSON_FLAG_RAW) ? "=raw:" : "=") + std::string(c->value, c->valueLength);
        if (c->childCount) {
            out += '{';
            st.push_back({c, 0});
        }
    }
    return out;
}

std::vector<kx_JsonNode *> all(kx_Json *d, kx_JsonNode *n, const char *path) {
    std::vector<kx_JsonNode *> out;
    kx_ObjectList *list = kx_Json_node_get_all__IO(d, n, path);
    if (list == nullptr) return out;
    for (uint32_t i = 0; i < list->count; ++i) out.push_back(static_cast<kx_JsonNode *>(list->array[list->start + i]));
    kx_ObjectList_delete__OI(list);
    return out;
}

// ------------------------------------------------------------------ reading

struct ReadCase {
    const char *label;
    const char *in;
    int result;          // of kx_Json_analyzeAll_fast
    const char *tree;    // dump of the document
    const char *out;     // compact serialisation
};

const ReadCase kReadCases[] = {
    {"scalars have no value", "{\"n\": 12, \"t\":true ,\"f\":false,\"z\":null}", 0, "n,t,f,z",
     "{\"n\":\"\",\"t\":\"\",\"f\":\"\",\"z\":\"\"}"},
    {"nested objects", "{ \"a\" : { \"b\" : \"1\", \"c\":{\"d\":\"x y\"} }, \"e\":\"\" }", 0, "a{b=1,c{d=x y}},e",
     "{\"a\":{\"b\":\"1\",\"c\":{\"d\":\"x y\"}},\"e\":\"\"}"},
    {"same names side by side become one array", "{\"a\":\"1\",\"a\":\"2\"}", 0, "a=1,a=2", "{\"a\":[\"1\",\"2\"]}"},
    {"an array is a run of members", "{\"a\":[\"1\",{\"b\":\"2\"},\"\"],\"c\":\"3\"}", 0, "a=1,a{b=2},a,c=3",
     "{\"a\":[\"1\",{\"b\":\"2\"},\"\"],\"c\":\"3\"}"},
    {"an array of scalars gives members without values", "{\"a\":[1,2]}", 0, "a,a", "{\"a\":[\"\",\"\"]}"},
    {"an empty array gives one member", "{\"a\":[],\"b\":[[1,[2]],3]}", 0, "a,b,b", "{\"a\":\"\",\"b\":[\"\",\"\"]}"},
    {"a value ends at the last quote before ','", "{\"a\":\"p\"q\",\"b\":\"c\"}", 0, "a=p\"q,b=c",
     "{\"a\":\"p\"q\",\"b\":\"c\"}"},
    {"a value is cut at ',' inside it", "{\"a\":\"x,y\"}", -1, "a=x+raw:{y\"}", "{\"a\":\"x\",y\"}"},
    {"a value is cut at '}' inside it", "{\"a\":\"p\"q}r\"}", -1, "a=p", "{\"a\":\"p\"}"},
    {"a key is cut at the escaped quote", "{\"a\\\":\"v\"}", 0, "a\\=v", "{\"a\\\":\"v\"}"},
    {"a key with an escaped quote inside stays raw", "{\"k\\\"x\":\"v\"}", -1, "", "{\"k\\\"x\":\"v\"}"},
    {"a blank before the brace is never parsed", " {\"a\":\"b\"}", -1, "", " {\"a\":\"b\"}"},
    {"text that is no object stays as it is", "[1,2]", -1, "", "[1,2]"},
    {"an empty object stays raw in its member", "{\"a\":{},\"b\":\"c\"}", -1, "a=raw:{},b=c",
     "{\"a\":{},\"b\":\"c\"}"},
    {"the rest of a broken object stays in place", "{\"a\":{\"b\":\"1\",\"c\" \"2\"},\"d\":\"3\"}", -1,
     "a{b=1+raw:{\"c\" \"2\"}},d=3", "{\"a\":{\"b\":\"1\",\"c\" \"2\"},\"d\":\"3\"}"},
    {"the rest of a broken array stays in place", "{\"a\":[{\"b\":\"1\"} x, \"y\"],\"c\":\"2\"}", -1,
     "a{b=1},a=raw:[ x, \"y\"],c=2", "{\"a\":[{\"b\":\"1\"} x, \"y\"],\"c\":\"2\"}"},
    {"a broken array after a nested one keeps it", "{\"a\":[\"1\",[2] x]}", -1, "a=1,a=raw:[[2] x]",
     "{\"a\":[\"1\",[2] x]}"},
    {"a broken array after an object holding arrays", "{\"a\":[{\"b\":[[1]]} x]}", -1, "a{b},a=raw:[ x]",
     "{\"a\":[{\"b\":\"\"} x]}"},
    {"an unterminated value falls back raw", "{\"a\":\"1\",\"b\":\"2", -1, "a=1+raw:{\"b\":\"2",
     "{\"a\":\"1\",\"b\":\"2"},
    {"an unterminated array falls back raw", "{\"a\":[\"1\"", -1, "a=raw:[\"1\"", "{\"a\":[\"1\""},
    {"text after the document is dropped", "{\"a\":\"1\"} tail", -1, "a=1", "{\"a\":\"1\"}"},
};

TEST(JsonRead, EdgeCasesTable) {
    for (const ReadCase &c : kReadCases) {
        SCOPED_TRACE(c.label);
        Doc d = load(c.in);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->childCount, 0u);  // nothing is parsed before it is asked for
        EXPECT_EQ(text(d.get()), c.in);
        kxtest::StdoutCapture cap;
        EXPECT_EQ(kx_Json_analyzeAll_fast(d.get(), nullptr), c.result);
        std::string log = cap.text();
        cap.restore();
        EXPECT_EQ(log.find("Error data:\"") != std::string::npos, c.result == -1) << log;
        EXPECT_EQ(dump(top(d.get())), c.tree);
        EXPECT_EQ(text(d.get()), c.out);
    }
}

// What is written reads back as the same tree, and writing it again gives the same text.
TEST(JsonRead, WrittenFormReadsBackTheSame) {
    for (const ReadCase &c : kReadCases) {
        if (c.result != 0) continue;
        for (bool indent : {false, true}) {
            SCOPED_TRACE(std::string(c.label) + (indent ? " indented" : " compact"));
            Doc first = load(c.in);
            kx_Json_analyzeAll_fast(first.get(), nullptr);
            std::string once = indent ? indented(first.get()) : text(first.get());
            Doc second = load(once);
            ASSERT_EQ(kx_Json_analyzeAll_fast(second.get(), nullptr), 0) << once;
            EXPECT_EQ(dump(top(second.get())), dump(top(first.get())));
            EXPECT_EQ(indent ? indented(second.get()) : text(second.get()), once);
        }
    }
}

TEST(JsonRead, NestingLimitKeepsDeepObjectsRaw) {
    for (uint32_t levels : {KX_JSON_NESTING_LIMIT, KX_JSON_NESTING_LIMIT + 1}) {
        SCOPED_TRACE(levels);
        std::string in;
        for (uint32_t i = 0; i < levels; ++i) in += "{\"a\":";
        in += "\"x\"";
        for (uint32_t i = 0; i < levels; ++i) in += "}";
        in = "{\"top\":\"1\"," + in.substr(1);
        Doc d = load(in);
        EXPECT_EQ(kx_Json_analyzeAll_fast(d.get(), nullptr), levels <= KX_JSON_NESTING_LIMIT ? 0 : -2);
        const kx_JsonNode *n = top(d.get());
        uint32_t depth = 0;
        while (n->childCount) {
            n = n->children[n->childCount - 1];
            ++depth;
        }
        EXPECT_EQ(depth, std::min(levels, KX_JSON_NESTING_LIMIT));
        EXPECT_EQ(n->depth, depth);
        if (levels > KX_JSON_NESTING_LIMIT) {
            EXPECT_TRUE(n->flags & KX_JSON_FLAG_RAW);
            EXPECT_EQ(std::string(n->value, n->valueLength), "{\"a\":\"x\"}");
        } else {
            EXPECT_STREQ(n->value, "x");
        }
        EXPECT_EQ(text(d.get()), in);  // raw objects are written back unchanged
        std::string path;
        for (uint32_t i = 0; i < levels; ++i) path += "a ";
        EXPECT_EQ(kx_Json_node_get_first(d.get(), nullptr, path.c_str()) != nullptr,
                  levels <= KX_JSON_NESTING_LIMIT);
    }
}

// Input that once drove recursion, quadratic scans or reads past the text: each is read
// in one pass, stays within the nesting limit, costs a few copies of its size at most
// and writes back something that reads again.
TEST(JsonRead, HostileInputs) {
    const size_t kDeep = 1000000;
    struct Case {
        const char *label;
        std::string in;
    } cases[] = {
        {"a million '{'", std::string(kDeep, '{')},
        {"a million '['", "{\"a\":" + std::string(kDeep, '[')},
        {"a million nested members", [&] {
             std::string s;
             for (size_t i = 0; i < kDeep / 8; ++i) s += "{\"a\":";
             return s;
         }()},
        {"objects in arrays in objects", [&] {
             std::string s = "{";
             for (size_t i = 0; i < kDeep / 8; ++i) s += "\"a\":[{";
             return s;
         }()},
        {"deep and closed", [&] {
             std::string s;
             for (size_t i = 0; i < kDeep / 8; ++i) s += "{\"a\":";
             s += "1";
             s += std::string(kDeep / 8, '}');
             return s;
         }()},
        {"a quote that never closes", "{\"" + std::string(kDeep, 'k')},
        {"a value that never ends", "{\"a\":\"" + std::string(kDeep, ',')},
        {"a million commas", "{\"a\":[" + std::string(kDeep, ',') + "]}"},
        {"a million members", [&] {
             std::string s = "{";
             for (size_t i = 0; i < kDeep / 8; ++i) s += "\"m\":\"v\",";
             s.back() = '}';
             return s;
         }()},
        {"only quotes", std::string(1, '{') + std::string(kDeep, '"')},
        {"backslashes and brackets", "{\"a\":[\"\\\\\\\"]" + std::string(kDeep / 4, '\\') + "]"},
        {"NUL bytes", std::string("{\"a\":\"x\0y\",\"b\0\":\0\"z\"}", 22)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        kxtest::StdoutCapture quiet;
        size_t before = kxtest::heapInUse();
        Doc d = load(c.in);
        int rv = d ? kx_Json_analyzeAll_fast(d.get(), nullptr) : -9;
        size_t after = kxtest::heapInUse();
        std::string once = d ? text(d.get()) : "";
        Doc again = load(once);
        if (again) kx_Json_analyzeAll_fast(again.get(), nullptr);
        quiet.restore();
        ASSERT_TRUE(d);
        EXPECT_GE(rv, -2);
        EXPECT_LE(rv, 0);
        // A node record per input byte at worst, never a copy per level.
        EXPECT_LE(after - before, 128 * c.in.size() + 65536) << "grew by " << after - before;
        std::vector<const kx_JsonNode *> st{top(d.get())};
        size_t nodes = 0;
        while (!st.empty()) {
            const kx_JsonNode *n = st.back();
            st.pop_back();
            ASSERT_LE(n->depth, KX_JSON_NESTING_LIMIT);
            for (uint32_t i = 0; i < n->childCount; ++i) st.push_back(n->children[i]);
            ++nodes;
        }
        EXPECT_LE(nodes, c.in.size());
        EXPECT_EQ(text(again.get()), once);  // what could not be read is written in place
    }
}

TEST(JsonRead, EveryTruncationIsSafe) {
    const std::string full =
        "{\"a\":{\"b\":\"1\",\"c\":[{\"d\":\"2\"},\"3\",{\"x\":\"\"}],\"e\":\"t\"},\"f\":\"x\\\"y\",\"g\":{}}";
    for (size_t n = 0; n <= full.size(); ++n) {
        SCOPED_TRACE(n);
        Doc d = load(full.substr(0, n));
        ASSERT_TRUE(d);
        kxtest::StdoutCapture quiet;
        int rv = kx_Json_analyzeAll_fast(d.get(), nullptr);
        all(d.get(), nullptr, "a c d");
        quiet.restore();
        // The empty object at the end is malformed even when the text is whole.
        EXPECT_EQ(rv, n == 0 ? 0 : -1);
        // What could not be read is written in place, open levels included.
        EXPECT_EQ(text(d.get()), n == 0 ? "{}" : full.substr(0, n));
    }
}

// ------------------------------------------------------------------ paths

TEST(JsonPath, AllFirstAndDataFollowNamesDownward) {
    Doc d = load("{\"r\":{\"i\":[{\"k\":\"1\"},{\"k\":\"2\",\"x\":\"\"},{\"x\":\"3\"}],\"k\":\"top\"}}");
    // Lookups parse what they reach.
    EXPECT_EQ(all(d.get(), nullptr, "r  i   k").size(), 2u);
    EXPECT_EQ(d->childCount, 1u);
    kx_JsonNode *r = kx_Json_node_get_first(d.get(), nullptr, " r ");
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(kx_Json_node_get_first(d.get(), r, "i k")->value, "1");
    EXPECT_EQ(kx_Json_node_get_first(d.get(), r, "i y"), nullptr);
    EXPECT_EQ(kx_Json_node_get_all__IO(d.get(), nullptr, "nothing"), nullptr);
    EXPECT_EQ(kx_Json_node_get_all__IO(d.get(), nullptr, "   "), nullptr);

    kx_JsonData *data = kx_Json_node_get_allData__IO(d.get(), nullptr, "r i x");
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(data->count, 2u);
    EXPECT_STREQ(data->texts[0], "");  // a member without value
    EXPECT_STREQ(data->texts[1], "3");
    EXPECT_EQ(reinterpret_cast<uintptr_t>(data->texts) % alignof(char *), 0u);
    free(data);
    EXPECT_EQ(kx_Json_node_get_allData__IO(d.get(), nullptr, "r q"), nullptr);

    // A member added to raw text comes after the members the text holds.
    Doc raw = load("{\"a\":\"1\"}");
    kx_Json_node_set_value(raw.get(), kx_Json_node_addChild(raw.get(), nullptr, "b"), "2");
    EXPECT_EQ(text(raw.get()), "{\"a\":\"1\",\"b\":\"2\"}");
}

// ------------------------------------------------------------------ building and writing

TEST(JsonWrite, BuiltDocumentWithLinesAndIndent) {
    Doc d(kx_Json_new__IO());
    kx_JsonNode *cfg = kx_Json_node_addChild(d.get(), nullptr, "cfg");
    kx_Json_node_set_value(d.get(), kx_Json_node_addChild(d.get(), cfg, "name"), "cam");
    kx_Json_node_set_value(d.get(), kx_Json_node_addChild(d.get(), cfg, "port"), "554");
    kx_Json_node_set_value(d.get(), kx_Json_node_addChild(d.get(), cfg, "port"), "8554");
    kx_JsonNode *item = kx_Json_node_addChild1(d.get(), cfg, 4, "item and more");
    kx_Json_node_set_value(d.get(), kx_Json_node_addChild(d.get(), item, "id"), "7");
    kx_Json_node_addChild(d.get(), nullptr, "empty");
    EXPECT_EQ(text(d.get(), "|", "\n", 2),
              "{\n"
              "|  \"cfg\":{\n"
              "|    \"name\":\"cam\",\n"
              "|    \"port\":[\"554\",\"8554\"],\n"
              "|    \"item\":{\n"
              "|      \"id\":\"7\"\n"
              "|    }\n"
              "|  },\n"
              "|  \"empty\":\"\"\n"
              "|}");
    EXPECT_EQ(text(d.get()), "{\"cfg\":{\"name\":\"cam\",\"port\":[\"554\",\"8554\"],\"item\":{\"id\":\"7\"}},\"empty\":\"\"}");

    kx_String *s = kx_Json_to_String__IO(d.get(), 8, 12, nullptr, nullptr, 0);
    ASSERT_NE(s, nullptr);
    std::string compact = text(d.get());
    ASSERT_EQ(s->lenth, 8 + compact.size() + 12);
    EXPECT_EQ(std::string(s->buffer + 8, compact.size()), compact);
    EXPECT_EQ(std::string(s->buffer, 8), std::string(8, '\0'));
    EXPECT_EQ(std::string(s->buffer + 8 + compact.size(), 12), std::string(12, '\0'));
    kx_String_delete__OI(s);

    // Setting a value drops the children; deleting unlinks.
    EXPECT_EQ(kx_Json_node_set_value(d.get(), item, item->children[0]->value), 1);
    EXPECT_EQ(item->childCount, 0u);
    EXPECT_STREQ(item->value, "7");
    EXPECT_EQ(kx_Json_node_set_value__OI_3(d.get(), item, strdup("8")), 1);
    EXPECT_STREQ(item->value, "8");
    EXPECT_EQ(kx_Json_node_delete(d.get(), cfg->children[1]), 1);
    EXPECT_EQ(text(d.get()), "{\"cfg\":{\"name\":\"cam\",\"port\":\"8554\",\"item\":\"8\"},\"empty\":\"\"}");
    Doc other(kx_Json_new__IO());
    kxtest::StdoutCapture quiet;
    EXPECT_EQ(kx_Json_node_delete(other.get(), item), -1);
    EXPECT_EQ(kx_Json_node_delete(d.get(), top(d.get())), -1);
    EXPECT_EQ(kx_Json_node_addChild(d.get(), nullptr, nullptr), nullptr);
}

TEST(JsonWrite, FileRoundTrip) {
    std::string path = std::string(KX_TEST_BINARY_DIR) + "/json_test_" + std::to_string(getpid()) + ".json";
    Doc d = load("{\"a\":{\"b\":[\"1\",\"2\"]},\"c\":\"3\"}");
    kx_Json_analyzeAll_fast(d.get(), nullptr);
    ASSERT_EQ(kx_Json_save_to_file(d.get(), path.c_str(), nullptr, "\n", 4), 1);
    Doc back(kx_Json_new_from_file__IO(path.c_str()));
    ASSERT_TRUE(back);
    EXPECT_EQ(text(back.get()), indented(d.get()));  // unparsed: the file's text
    EXPECT_EQ(kx_Json_analyzeAll_fast(back.get(), nullptr), 0);
    EXPECT_EQ(dump(top(back.get())), dump(top(d.get())));
    unlink(path.c_str());
    EXPECT_EQ(kx_Json_new_from_file__IO(path.c_str()), nullptr);
    kxtest::StdoutCapture quiet;
    EXPECT_EQ(kx_Json_save_to_file(d.get(), "/nonexistent/dir/x.json", nullptr, nullptr, 0), -1);
}

// A parse of a large document keeps its text in one copy: values view into it.
TEST(JsonLarge, ValuesViewTheOneCopyOfTheText) {
    std::string in = "{";
    for (int i = 0; i < 20000; ++i) in += "\"k\":\"" + std::string(100, 'v') + "\",";
    in.back() = '}';
    size_t before = kxtest::heapInUse();
    Doc d = load(in);
    ASSERT_EQ(kx_Json_analyzeAll_fast(d.get(), nullptr), 0);
    ASSERT_EQ(d->childCount, 20000u);
    size_t used = kxtest::heapInUse() - before;
    // The text once, plus about 80 bytes of record per member (not another 100 per value).
    EXPECT_LE(used, in.size() + 20000 * 100) << used;
    EXPECT_EQ(d->children[19999]->valueLength, 100u);
}

}  // namespace
