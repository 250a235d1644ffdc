// kx_Xml: loading, lazy lookups, editing, serialisation and hostile input.
#include "kx/xml.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "kx/objectlist.h"
#include "kx/string.h"
#include "tests/support/heap_usage.hpp"

namespace {

struct DocFree {
    void operator()(kx_Xml *d) const { kx_Xml_delete__OI(d); }
};
using Doc = std::unique_ptr<kx_Xml, DocFree>;

struct TextFree {
    void operator()(char *p) const { free(p); }
};
using Text = std::unique_ptr<char, TextFree>;

// Loads from a heap copy without a terminating NUL, so reading past the counted
// length is an AddressSanitizer error.
Doc load(const std::string &s) {
    std::unique_ptr<char[]> copy(new char[s.size() ? s.size() : 1]);
    if (!s.empty()) memcpy(copy.get(), s.data(), s.size());
    return Doc(kx_Xml_new_from_string_buffer__IO(s.size(), copy.get()));
}

kx_XmlNode *top(kx_Xml *d) { return reinterpret_cast<kx_XmlNode *>(d); }

std::string str(const char *p) { return p ? p : "(null)"; }
std::string value(const kx_XmlNode *n) { return n && n->value ? std::string(n->value, n->valueLength) : "(null)"; }

std::string text(kx_Xml *d, const char *ls = "\n", const char *le = nullptr, uint32_t step = 4) {
    Text t(kx_Xml_to_string__IO(d, ls, le, step));
    return str(t.get());
}

// Without line breaks and indentation.
std::string compact(kx_Xml *d) { return text(d, nullptr, nullptr, 0); }

const char *kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

// Structural equality of two parsed trees.
void expectSameTree(const kx_XmlNode *a, const kx_XmlNode *b, const std::string &where) {
    ASSERT_EQ(a->childCount, b->childCount) << where;
    EXPECT_EQ(value(a), value(b)) << where;
    if (a->kind == KX_XML_KIND_NODE) {
        EXPECT_STREQ(a->name, b->name) << where;
        ASSERT_EQ(a->propertyCount, b->propertyCount) << where;
        for (uint32_t i = 0; i < a->propertyCount; ++i) {
            EXPECT_STREQ(a->properties[i].name, b->properties[i].name) << where;
            EXPECT_STREQ(a->properties[i].value, b->properties[i].value) << where;
        }
    }
    for (uint32_t i = 0; i < a->childCount; ++i) {
        EXPECT_EQ(a->children[i]->parent, a) << where;
        expectSameTree(a->children[i], b->children[i], where + "/" + a->children[i]->name);
    }
}

std::vector<kx_XmlNode *> all(kx_Xml *d, kx_XmlNode *n, const char *path) {
    std::vector<kx_XmlNode *> out;
    kx_ObjectList *list = kx_Xml_node_get_all__IO(d, n, path);
    if (list == nullptr) return out;
    for (uint32_t i = 0; i < list->count; ++i) out.push_back(static_cast<kx_XmlNode *>(list->array[list->start + i]));
    kx_ObjectList_delete__OI(list);
    return out;
}

// ------------------------------------------------------------------ loading

struct LoadCase {
    const char *label;
    std::string input;
    bool loads;
    const char *version, *encoding, *comment, *body;
};

TEST(XmlLoad, DeclarationCommentAndBody) {
    const std::string longDecl = "<?xml version=\"1.1\" encoding=\"ISO-8859-1\"?>";
    const LoadCase cases[] = {
        {"no tag at all", "just text", false, nullptr, nullptr, nullptr, nullptr},
        {"empty", "", false, nullptr, nullptr, nullptr, nullptr},
        {"declaration, comment, body", longDecl + "\n <!-- hi -->\n<r>x</r>\n", true, "1.1", "ISO-8859-1", " hi ",
         "<r>x</r>"},
        {"blank body", longDecl + " \n\t ", true, "1.1", "ISO-8859-1", nullptr, nullptr},
        {"short declaration is skipped", "<?xml version=\"2.0\"?><a/>", true, nullptr, nullptr, nullptr, "<a/>"},
        {"declaration must end with ?>", "<?xml version=\"1.0\" encoding=\"UTF-8\" ><r/>", false, nullptr, nullptr,
         nullptr, nullptr},
        {"second version keeps the first", "<?XML Version=\"1.0\" VERSION=\"2.0\" Encoding=Utf8?><r/>", true, "1.0", "Utf8",
         nullptr, "<r/>"},
        {"unterminated leading comment", "<!-- open <r/>", false, nullptr, nullptr, nullptr, nullptr},
        {"processing instructions skipped", longDecl + "<?pi a?> <?pi b?><r/>", true, "1.1", "ISO-8859-1", nullptr,
         "<r/>"},
        {"comments cut from the body", "<r><!-- c --><a>1</a><!--d--></r>", true, nullptr, nullptr, nullptr,
         "<r><a>1</a></r>"},
        {"unterminated body comment", "<r><a/><!-- open", false, nullptr, nullptr, nullptr, nullptr},
        {"embedded NUL", std::string("<r>a\0b</r>", 10), false, nullptr, nullptr, nullptr, nullptr},
        {"trailing NULs ignored", std::string("<r>a</r>\0\0", 10), true, nullptr, nullptr, nullptr, "<r>a</r>"},
    };
    for (const LoadCase &c : cases) {
        SCOPED_TRACE(c.label);
        Doc d = load(c.input);
        ASSERT_EQ(d != nullptr, c.loads);
        if (!d) continue;
        EXPECT_EQ(str(d->version), str(c.version));
        EXPECT_EQ(str(d->encoding), str(c.encoding));
        EXPECT_EQ(str(d->comment), str(c.comment));
        EXPECT_EQ(value(top(d.get())), str(c.body));
        EXPECT_EQ(d->childCount, 0u);  // nothing parsed yet
    }
}

TEST(XmlLoad, CountedLengthBoundsTheText) {
    const char buffer[] = "<r>1</r><tail>2</tail>";
    Doc d(kx_Xml_new_from_string_buffer__IO(8, buffer));
    ASSERT_TRUE(d);
    EXPECT_EQ(value(top(d.get())), "<r>1</r>");
}

TEST(XmlLoad, FileRoundTrip) {
    Doc d = load("<r><a k=\"v\">1</a></r>");
    ASSERT_TRUE(d);
    std::string path = std::string(KX_TEST_BINARY_DIR) + "/xml_test_" + std::to_string(getpid()) + ".xml";
    ASSERT_EQ(kx_Xml_save_to_file(d.get(), path.c_str(), "\n", nullptr, 4), 1);
    Doc back(kx_Xml_new_from_file__IO(path.c_str()));
    unlink(path.c_str());
    ASSERT_TRUE(back);
    kx_Xml_analyzeAll(d.get(), nullptr);
    kx_Xml_analyzeAll(back.get(), nullptr);
    expectSameTree(top(d.get()), top(back.get()), "file");
    EXPECT_EQ(kx_Xml_save_to_file(d.get(), "/nonexistent-dir/x.xml", "\n", nullptr, 4), -1);
    EXPECT_EQ(kx_Xml_new_from_file__IO("/nonexistent-dir/x.xml"), nullptr);
}

// ------------------------------------------------------------------ lookups

TEST(XmlLookup, LazyFirstMatchThenParsedLastMatch) {
    Doc d = load("<a>1</a><a>2</a>");
    ASSERT_TRUE(d);
    kx_XmlNode *a = kx_Xml_node_get_first(d.get(), nullptr, "a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(value(a), "1");
    EXPECT_EQ(d->childCount, 1u);                      // parsing stopped at the match
    EXPECT_EQ(value(top(d.get())), "<a>2</a>");        // the rest stays raw
    EXPECT_EQ(kx_Xml_analyzeAll(d.get(), nullptr), top(d.get()));
    EXPECT_EQ(d->value, nullptr);
    EXPECT_EQ(value(kx_Xml_node_get_first(d.get(), nullptr, "a")), "2");  // parsed children: last first
    std::vector<kx_XmlNode *> both = all(d.get(), nullptr, "a");
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(value(both[0]), "1");
    EXPECT_EQ(value(both[1]), "2");
    EXPECT_EQ(kx_Xml_analyzeAll(d.get(), nullptr), nullptr);  // nothing left
}

TEST(XmlLookup, NestedSameNameElements) {
    struct Case {
        const char *input, *expected;
    } cases[] = {
        {"<a><a>x</a></a>", "<a><a>x</a></a>"},
        {"<a><a k=\"1\"><a>y</a></a><b>2</b></a>", "<a><a k=\"1\"><a>y</a></a><b>2</b></a>"},
        {"<a><a/><a k=\"1\"/><b>2</b></a>", "<a><a></a><a k=\"1\"></a><b>2</b></a>"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        Doc d = load(c.input);
        ASSERT_TRUE(d);
        EXPECT_EQ(kx_Xml_analyzeAll_check(d.get(), nullptr), 1);
        ASSERT_EQ(d->childCount, 1u);
        EXPECT_EQ(text(d.get(), nullptr, nullptr, 0), std::string(kDecl) + c.expected);
    }
    Doc d = load("<a><a>x</a></a>");
    kx_Xml_analyzeAll(d.get(), nullptr);
    ASSERT_EQ(d->children[0]->childCount, 1u);
    EXPECT_EQ(value(d->children[0]->children[0]), "x");
    EXPECT_EQ(d->children[0]->children[0]->depth, 2u);
}

TEST(XmlLookup, PathsDescendIntoEachMatch) {
    const char *input = "<r><s><t>1</t></s><s id=\"2\"><t>2</t><u>3</u></s><s id=\"3\"><u>4</u></s></r>";
    // Before and after a full parse the same paths resolve (order of the search differs).
    for (bool parsed : {false, true}) {
        SCOPED_TRACE(parsed ? "parsed" : "lazy");
        Doc d = load(input);
        ASSERT_TRUE(d);
        if (parsed) kx_Xml_analyzeAll(d.get(), nullptr);
        kx_XmlNode *u = kx_Xml_node_get_first(d.get(), nullptr, "  r   s\tu ");
        ASSERT_NE(u, nullptr);
        EXPECT_EQ(value(u), parsed ? "4" : "3");
        EXPECT_EQ(kx_Xml_node_get_first(d.get(), nullptr, "r s v"), nullptr);
        EXPECT_EQ(kx_Xml_node_get_first(d.get(), nullptr, ""), nullptr);
        kx_XmlNode *s2 = kx_Xml_node_get_first_with_a_lastProperty(d.get(), nullptr, "r s", "id", "2");
        ASSERT_NE(s2, nullptr);
        EXPECT_STREQ(kx_Xml_node_property_get(s2, "id"), "2");
        EXPECT_EQ(kx_Xml_node_get_first_with_a_lastProperty(d.get(), nullptr, "r s", "id", "9"), nullptr);
        kx_XmlNode *t2 = kx_Xml_node_get_first_with_a_value(d.get(), nullptr, "r s t", "2");
        ASSERT_NE(t2, nullptr);
        EXPECT_EQ(t2->parent, s2);
        // Relative to a node.
        EXPECT_EQ(value(kx_Xml_node_get_first(d.get(), s2, "u")), "3");
        std::vector<kx_XmlNode *> us = all(d.get(), nullptr, "r s u");
        ASSERT_EQ(us.size(), 2u);
        EXPECT_EQ(value(us[0]), "3");
        EXPECT_EQ(value(us[1]), "4");
        EXPECT_TRUE(all(d.get(), nullptr, "r x").empty());
        // Whatever was parsed on the way, the document still writes the same tree.
        Doc full = load(input);
        kx_Xml_analyzeAll(full.get(), nullptr);
        kx_Xml_analyzeAll(d.get(), nullptr);
        expectSameTree(top(full.get()), top(d.get()), "doc");
    }
}

TEST(XmlLookup, NumberAndStringValues) {
    Doc d = load("<r><n>-5</n><n2>12a</n2><n3>0042</n3><e></e><big>99999999999999999999</big>"
                 "<p k=\"1\"><q>x</q><q z=\"2\">y</q></p></r>");
    ASSERT_TRUE(d);
    struct Case {
        const char *path;
        long expected;
    } cases[] = {{"r n", 7}, {"r n2", 7}, {"r n3", 42}, {"r e", 7}, {"r big", 7}, {"r missing", 7}};
    for (const Case &c : cases) {
        long v = 7;
        EXPECT_EQ(kx_Xml_node_get_value_number_first(d.get(), nullptr, c.path, &v), c.expected) << c.path;
        EXPECT_EQ(v, c.expected) << c.path;
    }
    Text s(kx_Xml_node_get_value_string_first__IO(d.get(), nullptr, "r p"));
    EXPECT_EQ(str(s.get()), "<q>x</q><q>y</q>");
    Text leaf(kx_Xml_node_get_value_string_first__IO(d.get(), nullptr, "r n"));
    EXPECT_EQ(str(leaf.get()), "-5");
    EXPECT_EQ(kx_Xml_node_get_value_string_first__IO(d.get(), nullptr, "r none"), nullptr);
}

TEST(XmlLookup, ResolveNextChildOneAtATime) {
    Doc d = load("<r><a>1</a> <b k=\"v\"><c/></b><d>3</d> tail</r>");
    kx_XmlNode *r = kx_Xml_node_resolve_next_childNode(d.get(), nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->name, "r");
    EXPECT_EQ(value(r), "<a>1</a> <b k=\"v\"><c/></b><d>3</d> tail");
    const char *names[] = {"a", "b", "d"};
    for (const char *name : names) {
        kx_XmlNode *c = kx_Xml_node_resolve_next_childNode(d.get(), r);
        ASSERT_NE(c, nullptr);
        EXPECT_STREQ(c->name, name);
    }
    EXPECT_EQ(value(r->children[1]), "<c/>");  // contents stay raw
    EXPECT_EQ(kx_Xml_node_resolve_next_childNode(d.get(), r), nullptr);
    EXPECT_EQ(value(r), "tail");  // text after the last element
    EXPECT_EQ(r->childCount, 3u);
}

// ------------------------------------------------------------------ serialising

TEST(XmlWrite, IndentedLiteral) {
    Doc d = load("<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"no\"?><!--monitor--><root c=\"t\">"
                 "<a>1</a><b><c k=\"v\" j=\"w\">x y </c><e/></b></root>");
    ASSERT_TRUE(d);
    // Unparsed: the declaration and the raw body.
    EXPECT_EQ(text(d.get()), "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!--monitor-->"
                             "<root c=\"t\"><a>1</a><b><c k=\"v\" j=\"w\">x y </c><e/></b></root>");
    kx_Xml_analyzeAll(d.get(), nullptr);
    EXPECT_EQ(text(d.get()),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<!--monitor-->\n"
              "<root c=\"t\">\n"
              "    <a>1</a>\n"
              "    <b>\n"
              "        <c k=\"v\" j=\"w\">x y </c>\n"
              "        <e></e>\n"
              "    </b>\n"
              "</root>");
    Text bare(kx_Xml_to_string_noProperty__IO(d.get(), "\n", nullptr, 4));
    EXPECT_EQ(str(bare.get()),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!--monitor-->\n<root>\n    <a>1</a>\n    <b>\n"
              "        <c>x y </c>\n        <e></e>\n    </b>\n</root>");
    EXPECT_EQ(text(d.get(), "\r\n", "|", 2),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<!--monitor-->|\r\n<root c=\"t\">\r\n  <a>1</a>|"
              "\r\n  <b>\r\n    <c k=\"v\" j=\"w\">x y </c>|\r\n    <e></e>|\r\n  </b>|\r\n</root>|");
    kx_XmlNode *b = kx_Xml_node_get_first(d.get(), nullptr, "root b");
    Text outer(kx_Xml_node_to_string__IO(b, "\n", nullptr, 4, 4));
    EXPECT_EQ(str(outer.get()), "\n    <b>\n        <c k=\"v\" j=\"w\">x y </c>\n        <e></e>\n    </b>");
    Text inner(kx_Xml_node_get_value__IO(b, nullptr, nullptr, 0, 0));
    EXPECT_EQ(str(inner.get()), "<c k=\"v\" j=\"w\">x y </c><e></e>");

    Doc single = load("<p><q><s>1</s></q></p>");  // one child per level
    kx_Xml_analyzeAll(single.get(), nullptr);
    EXPECT_EQ(text(single.get()), std::string(kDecl) + "\n<p>\n    <q>\n        <s>1</s>\n    </q>\n</p>");
}

TEST(XmlWrite, StringWithReservedRoom) {
    Doc d = load("<r>1</r>");
    kx_Xml_analyzeAll(d.get(), nullptr);
    kx_String *s = kx_Xml_to_String__IO(d.get(), 8, 12, "\r\n", nullptr, 4);
    ASSERT_NE(s, nullptr);
    std::string body = std::string(kDecl) + "\r\n<r>1</r>";
    ASSERT_EQ(s->lenth, 8 + body.size() + 12);
    EXPECT_EQ(std::string(s->buffer + 8, body.size()), body);
    EXPECT_EQ(std::string(s->buffer, 8), std::string(8, '\0'));
    EXPECT_EQ(std::string(s->buffer + 8 + body.size(), 12), std::string(12, '\0'));
    EXPECT_EQ(s->buffer[s->lenth], '\0');
    kx_String_delete__OI(s);
}

TEST(XmlWrite, RoundTripsKeepTheTree) {
    const char *inputs[] = {
        "<r/>",
        "<r><a>1</a><a>2</a><b k=\"v\" e=\"\"><c>  spaced text  </c></b></r>",
        "<cfg x=\"1\" y=\"two words\"><item id=\"1\"><name>alpha</name></item><item id=\"2\"/></cfg>",
        "<a><a><a>deep</a></a><a/></a><z>&amp;&lt;kept&gt;</z>",
        "<r><broken><x></r>",  // malformed inner part survives as raw text
        // Cutting a comment joins "<" and "!--" into a new comment opener.
        "<a/><<!--c-->!--d--><b/>",
        "<!--lead-->\n<!--c-->\n<?pi x?>\n<a>1</a>",  // an instruction that a cut comment brings forward
        "<?xml version=1\"0 encoding=\"UTF-8\" standalone=\"yes\" ?><a/>",  // a quote in a bare value
    };
    for (const char *in : inputs) {
        for (const char *ls : {"\n", static_cast<const char *>(nullptr)}) {
            SCOPED_TRACE(std::string(in) + (ls ? " indented" : " compact"));
            Doc first = load(in);
            ASSERT_TRUE(first);
            kx_Xml_analyzeAll(first.get(), nullptr);
            std::string out = text(first.get(), ls, nullptr, 4);
            Doc second = load(out);
            ASSERT_TRUE(second);
            kx_Xml_analyzeAll(second.get(), nullptr);
            expectSameTree(top(first.get()), top(second.get()), "doc");
            EXPECT_EQ(str(first->comment), str(second->comment));
            EXPECT_EQ(text(second.get(), ls, nullptr, 4), out);
        }
    }
}

// A fuzzer's find: comments, instructions and stray markup that once wrote a text
// which read back differently.
TEST(XmlWrite, FuzzedCommentsReadBackTheSame) {
    FILE *f = fopen(KX_TEST_SOURCE_DIR "/fuzz/corpus/xml/xml-roundtrip.bin", "rb");
    ASSERT_NE(f, nullptr);
    std::string in(4096, '\0');
    in.resize(fread(in.data(), 1, in.size(), f));
    fclose(f);
    ASSERT_EQ(in.size(), 78u);
    auto cycle = [](const std::string &t) {
        Doc d = load(t);
        if (!d) return std::string("(no document)");
        kx_Xml_analyzeAll(d.get(), nullptr);
        return compact(d.get());
    };
    std::string once = cycle(in);
    std::string twice = cycle(once);
    EXPECT_EQ(cycle(twice), twice);
    EXPECT_EQ(twice, once);
}

TEST(XmlWrite, EntitiesAndSpecialCharactersPassThrough) {
    Doc d = load("<r a=\"x &amp; y\">&lt;b&gt; &#65;</r>");
    kx_Xml_analyzeAll(d.get(), nullptr);
    kx_XmlNode *r = d->children[0];
    EXPECT_EQ(value(r), "&lt;b&gt; &#65;");  // not decoded
    EXPECT_STREQ(kx_Xml_node_property_get(r, "a"), "x &amp; y");
    kx_Xml_node_property_set(r, "raw", "1<2 & 3");
    kx_Xml_node_set_value(d.get(), r, "a<b");
    EXPECT_EQ(compact(d.get()), std::string(kDecl) + "<r a=\"x &amp; y\" raw=\"1<2 & 3\">a<b</r>");  // not encoded
}

TEST(XmlWrite, OutputIsWellFormedForXmllint) {
    if (access("/usr/bin/xmllint", X_OK) != 0) GTEST_SKIP() << "xmllint not installed";
    kx_Xml *raw = kx_Xml_new__IO();
    Doc d(raw);
    kx_XmlNode *root = kx_Xml_node_addChild_with_data_and_a_property(raw, nullptr, "root", nullptr, "commet", "tree");
    kx_XmlNode *p = kx_Xml_node_addChild(raw, root, "process");
    kx_Xml_node_addChild_with_data(raw, p, "pid", "42");
    kx_Xml_node_addChild_with_data_and_a_property(raw, p, "threadCount", "0", "commet", "totall thread count");
    kx_Xml_node_add_value(p, "<thread><name>main</name><tid>1</tid><child></child></thread>");
    kx_Xml_analyzeAll(raw, nullptr);
    std::string path = std::string(KX_TEST_BINARY_DIR) + "/xml_lint_" + std::to_string(getpid()) + ".xml";
    ASSERT_EQ(kx_Xml_save_to_file(raw, path.c_str(), "\n", nullptr, 4), 1);
    std::string cmd = "/usr/bin/xmllint --noout '" + path + "'";
    int rc = system(cmd.c_str());
    unlink(path.c_str());
    EXPECT_EQ(rc, 0);
}

// ------------------------------------------------------------------ editing

TEST(XmlEdit, BuildAndChangeElements) {
    Doc d(kx_Xml_new__IO());
    kx_Xml *x = d.get();
    kx_XmlNode *root = kx_Xml_node_addChild(x, nullptr, "root");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->parent, top(x));
    kx_XmlNode *a = kx_Xml_node_addChild_with_data(x, root, "a", "1");
    kx_XmlNode *b = kx_Xml_node_addChild1(x, root, 1, "bXYZ");
    kx_XmlNode *c = kx_Xml_node_addChild_with_data_and_a_property(x, b, "c", "v", "k", nullptr);
    EXPECT_STREQ(b->name, "b");
    EXPECT_STREQ(kx_Xml_node_property_get(c, "k"), "");
    EXPECT_EQ(kx_Xml_node_addChild(x, root, ""), nullptr);
    EXPECT_EQ(kx_Xml_node_addChild(x, root, nullptr), nullptr);

    // Attributes: set replaces the last one of that name, delete removes the last one.
    EXPECT_EQ(kx_Xml_node_property_set(a, "p", "1"), 1);
    EXPECT_EQ(kx_Xml_node_property_add(a, "p", "2"), 1);
    EXPECT_EQ(kx_Xml_node_property_set(a, "p", "3"), 2);
    ASSERT_EQ(a->propertyCount, 2u);
    EXPECT_STREQ(a->properties[0].value, "1");
    EXPECT_STREQ(a->properties[1].value, "3");
    EXPECT_EQ(kx_Xml_node_property_delete(a, "p"), 1);
    EXPECT_STREQ(kx_Xml_node_property_get(a, "p"), "1");
    EXPECT_EQ(kx_Xml_node_property_delete(a, "p"), 1);
    EXPECT_EQ(kx_Xml_node_property_delete(a, "p"), -1);
    EXPECT_EQ(kx_Xml_node_property_add(top(x), "p", "1"), -1);  // the document has no attributes

    // Ownership-taking forms.
    const char pair[] = "own\0ed";
    char *block = static_cast<char *>(malloc(sizeof pair));
    memcpy(block, pair, sizeof pair);
    EXPECT_EQ(kx_Xml_node_property_add__OI_2(a, block, block + 4), 1);
    char *block2 = static_cast<char *>(malloc(8));
    memcpy(block2, "own\0new", 8);
    EXPECT_EQ(kx_Xml_node_property_set__OI_2(a, block2, block2 + 4), 2);
    EXPECT_STREQ(kx_Xml_node_property_get(a, "own"), "new");
    EXPECT_EQ(kx_Xml_node_add_value__OI_2(a, strdup("+2")), 1);
    EXPECT_EQ(value(a), "1+2");
    EXPECT_EQ(kx_Xml_node_add_value(a, "+3"), 1);
    EXPECT_EQ(value(a), "1+2+3");

    EXPECT_EQ(compact(x), std::string(kDecl) + "<root><a own=\"new\">1+2+3</a><b><c k=\"\">v</c></b></root>");

    // set_value drops the children.
    EXPECT_EQ(kx_Xml_node_set_value(x, b, "text"), 1);
    EXPECT_EQ(b->childCount, 0u);
    EXPECT_EQ(kx_Xml_node_set_value__IO_3(x, a, strdup("owned")), 1);
    EXPECT_EQ(compact(x), std::string(kDecl) + "<root><a own=\"new\">owned</a><b>text</b></root>");
    EXPECT_EQ(kx_Xml_node_set_value(x, b, nullptr), 1);
    EXPECT_EQ(b->value, nullptr);

    // Delete one node; a node of another document is refused.
    Doc other(kx_Xml_new__IO());
    kx_XmlNode *foreign = kx_Xml_node_addChild(other.get(), nullptr, "f");
    EXPECT_EQ(kx_Xml_node_delete(x, foreign), -1);
    EXPECT_EQ(other->childCount, 1u);
    EXPECT_EQ(kx_Xml_node_delete(x, top(x)), -1);
    EXPECT_EQ(kx_Xml_node_delete(x, a), 1);
    EXPECT_EQ(compact(x), std::string(kDecl) + "<root><b></b></root>");
    EXPECT_EQ(kx_Xml_node_delete_child(x, root), 1);
    EXPECT_EQ(root->childCount, 0u);
}

TEST(XmlEdit, AppendedElementTextIsFoundLater) {
    // The way a registry appends a record under a node and finds it again by a child's text.
    Doc d = load("<root><process><pid>1</pid></process></root>");
    kx_XmlNode *proc = kx_Xml_node_get_first(d.get(), nullptr, "root process");
    ASSERT_NE(proc, nullptr);
    for (int tid : {10, 11, 12}) {
        std::string rec = "<thread><name>t" + std::to_string(tid) + "</name><tid>" + std::to_string(tid) +
                          "</tid><child></child></thread>";
        ASSERT_EQ(kx_Xml_node_add_value(proc, rec.c_str()), 1);
    }
    kx_XmlNode *tid = kx_Xml_node_get_first_with_a_value(d.get(), proc, "thread tid", "11");
    ASSERT_NE(tid, nullptr);
    kx_XmlNode *thread = tid->parent;
    EXPECT_EQ(value(kx_Xml_node_get_first(d.get(), thread, "name")), "t11");
    kx_XmlNode *child = kx_Xml_node_get_first(d.get(), thread, "child");
    ASSERT_NE(child, nullptr);
    kx_Xml_node_add_value(child, "<thread><tid>20</tid></thread>");
    EXPECT_EQ(kx_Xml_node_delete(d.get(), thread), 1);
    EXPECT_EQ(kx_Xml_node_get_first_with_a_value(d.get(), proc, "thread tid", "20"), nullptr);
    EXPECT_EQ(all(d.get(), proc, "thread").size(), 2u);
    kx_Xml_analyzeAll(d.get(), nullptr);
    EXPECT_EQ(compact(d.get()),
              std::string(kDecl) +
                  "<root><process><pid>1</pid><thread><name>t10</name><tid>10</tid><child></child></thread>"
                  "<thread><name>t12</name><tid>12</tid><child></child></thread></process></root>");
}

TEST(XmlEdit, DeleteByName) {
    Doc d = load("<r><x><t><t>n</t></t><y>2</y></x><t>3</t><t>4</t></r>");
    kx_Xml_analyzeAll(d.get(), nullptr);
    EXPECT_EQ(kx_Xml_node_delete_by_leafName_first(d.get(), "t"), 1);  // first in document order
    EXPECT_EQ(compact(d.get()), std::string(kDecl) + "<r><x><y>2</y></x><t>3</t><t>4</t></r>");
    EXPECT_EQ(kx_Xml_node_delete_by_leafName_first(d.get(), "t"), 1);
    EXPECT_EQ(compact(d.get()), std::string(kDecl) + "<r><x><y>2</y></x><t>4</t></r>");
    Doc e = load("<r><t>1</t><x><t><t>n</t></t><y>2</y></x><t>3</t></r>");
    kx_Xml_analyzeAll(e.get(), nullptr);
    EXPECT_EQ(kx_Xml_node_delete_by_name(e.get(), "t"), 3u);  // the nested t goes with its parent
    EXPECT_EQ(compact(e.get()), std::string(kDecl) + "<r><x><y>2</y></x></r>");
    EXPECT_EQ(kx_Xml_node_delete_by_leafName(e.get(), "t"), 0u);
    EXPECT_EQ(kx_Xml_node_delete_by_leafName_first(e.get(), "t"), 0);
    EXPECT_EQ(kx_Xml_node_delete_by_leafName(e.get(), "y"), 1u);
    EXPECT_EQ(compact(e.get()), std::string(kDecl) + "<r><x></x></r>");
}

// ------------------------------------------------------------------ hostile input

TEST(XmlMalformed, FallsBackToRawTextAndReports) {
    struct Case {
        const char *input;
        int check;            // first full parse
        int again;            // a second parse of what is left
        const char *written;  // compact output after the parse
    } cases[] = {
        {"<r><a>1</a><b></r>", -1, -1, "<r><a>1</a><b></r>"},      // unclosed b stays raw in r
        {"<r><a>1</b></r>", -1, -1, "<r><a>1</b></r>"},            // mismatched: a never closes
        {"<r></x></r>", -1, -1, "<r></x></r>"},                    // stray closing tag
        {"<r><a/>junk<b/></r>", -1, 1, "<r><a></a><b></b></r>"},  // text between elements is dropped
        {"<r><a</r>", -1, -1, "<r><a</r>"},                        // tag without '>'
        {"<r>< a>1</a></r>", -1, -1, "<r>< a>1</a></r>"},          // blank after '<'
        {"<r><>x</></r>", -1, -1, "<r><>x</></r>"},
        {"<r x=\"1>2\">v</r>", 1, 1, "<r x=\"1>2\">v</r>"},       // '>' inside a quoted value
        {"<r><a>1</a>tail</r>", 1, 1, "<r><a>1</a>tail</r>"},     // text after the last element is kept
        {"<r><a x=\"unterminated>1</a></r>", -1, -1, "<r><a x=\"unterminated>1</a></r>"},
        {"<a><b></a></b>", -1, -1, "<a><b></a></b>"},              // b never closes inside a; a stray </b> after a
        {"<r><a\"b>1</a\"b></r>", -1, -1, "<r><a\"b>1</a\"b></r>"},  // a quote in a name: no element
        {"<r><b//></r>", -1, -1, "<r><b//></r>"},                   // a name ending in '/'
        {"<r><!DOCTYPE x><a/></r>", -1, -1, "<r><!DOCTYPE x><a/></r>"},
        {"<r><a k=\"1\" b<c=\"2\" j=x\"y\"/></r>", -1, 1, "<r><a k=\"1\"></a></r>"},  // pairs that would not read back
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        Doc d = load(c.input);
        ASSERT_TRUE(d);
        EXPECT_EQ(kx_Xml_analyzeAll_check(d.get(), nullptr), c.check);
        EXPECT_EQ(compact(d.get()), std::string(kDecl) + c.written);
        EXPECT_EQ(kx_Xml_analyzeAll_check(d.get(), nullptr), c.again);
        EXPECT_EQ(compact(d.get()), std::string(kDecl) + c.written);
    }
}

TEST(XmlMalformed, EveryTruncationIsSafe) {
    const std::string full = std::string(kDecl) + "\n<!--c--><r k=\"v\"><a x=\"1\" y=\"2\">1</a><b><c>2</c><c/></b></r>";
    size_t rootStart = full.find("<r ");
    for (size_t n = 0; n <= full.size(); ++n) {
        SCOPED_TRACE(n);
        Doc d = load(full.substr(0, n));
        if (!d) continue;
        int check = kx_Xml_analyzeAll_check(d.get(), nullptr);
        // Only the whole text, or a cut before the root element, parses cleanly.
        if (check == 1) {
            EXPECT_TRUE(n == full.size() || n <= rootStart) << full.substr(0, n);
        }
        if (n == full.size()) {
            EXPECT_EQ(check, 1);
        }
        // Whatever was read writes out and reads back to the same text.
        std::string out = compact(d.get());
        Doc again = load(out);
        ASSERT_TRUE(again);
        kx_Xml_analyzeAll(again.get(), nullptr);
        EXPECT_EQ(compact(again.get()), out);
        kx_Xml_node_get_first(d.get(), nullptr, "r b c");
    }
}

TEST(XmlMalformed, NestingLimitKeepsDeepContentRaw) {
    for (uint32_t levels : {KX_XML_NESTING_LIMIT, KX_XML_NESTING_LIMIT + 1, 5000u}) {
        SCOPED_TRACE(levels);
        std::string in;
        for (uint32_t i = 0; i < levels; ++i) in += "<e>";
        in += "x";
        for (uint32_t i = 0; i < levels; ++i) in += "</e>";
        Doc d = load(in);
        ASSERT_TRUE(d);
        EXPECT_EQ(kx_Xml_analyzeAll_check(d.get(), nullptr), levels <= KX_XML_NESTING_LIMIT ? 1 : -2);
        kx_XmlNode *n = top(d.get());
        uint32_t depth = 0;
        while (n->childCount) {
            ASSERT_EQ(n->childCount, 1u);
            n = n->children[0];
            ++depth;
        }
        EXPECT_EQ(depth, std::min(levels, KX_XML_NESTING_LIMIT));
        EXPECT_EQ(n->depth, depth);
        if (levels > KX_XML_NESTING_LIMIT) {
            EXPECT_EQ(value(n).substr(0, 3), "<e>");
        }
        // Lookups stop at the limit as well.
        std::string path;
        for (uint32_t i = 0; i <= KX_XML_NESTING_LIMIT; ++i) path += "e ";
        EXPECT_EQ(kx_Xml_node_get_first(d.get(), nullptr, path.c_str()), nullptr);
        EXPECT_EQ(compact(d.get()), std::string(kDecl) + in);  // raw content is written back unchanged
    }
}

TEST(XmlMalformed, DeepBuiltTreeWritesAndFreesWithoutRecursion) {
    Doc d(kx_Xml_new__IO());
    kx_XmlNode *n = nullptr;
    for (int i = 0; i < 200000; ++i) n = kx_Xml_node_addChild(d.get(), n, "d");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->depth, 200000u);
    Text t(kx_Xml_to_string__IO(d.get(), nullptr, nullptr, 0));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(strlen(t.get()), strlen(kDecl) + 200000 * 7);
}

// ------------------------------------------------------------------ size

TEST(XmlLarge, HundredThousandSiblings) {
    constexpr int N = 100000;
    std::string in = "<r>";
    for (int i = 0; i < N; ++i) in += "<i k=\"" + std::to_string(i) + "\">" + std::to_string(i) + "</i>";
    in += "</r>";
    {
        Doc d = load(in);  // lazy: the last of them by value, then everything
        kx_XmlNode *last = kx_Xml_node_get_first_with_a_value(d.get(), nullptr, "r i", std::to_string(N - 1).c_str());
        ASSERT_NE(last, nullptr);
        EXPECT_STREQ(kx_Xml_node_property_get(last, "k"), std::to_string(N - 1).c_str());
        EXPECT_EQ(all(d.get(), nullptr, "r i").size(), static_cast<size_t>(N));
    }
    {
        Doc d = load(in);  // one element at a time
        kx_XmlNode *r = kx_Xml_node_resolve_next_childNode(d.get(), nullptr);
        ASSERT_NE(r, nullptr);
        int count = 0;
        while (kx_Xml_node_resolve_next_childNode(d.get(), r)) ++count;
        EXPECT_EQ(count, N);
    }
    Doc d = load(in);
    EXPECT_EQ(kx_Xml_analyzeAll_check(d.get(), nullptr), 1);
    ASSERT_EQ(d->children[0]->childCount, static_cast<uint32_t>(N));
    std::string out = text(d.get(), "\n", nullptr, 4);
    Doc again = load(out);
    kx_Xml_analyzeAll(again.get(), nullptr);
    expectSameTree(top(d.get()), top(again.get()), "doc");
    EXPECT_EQ(kx_Xml_node_delete_by_name(d.get(), "i"), static_cast<uint32_t>(N));
    EXPECT_EQ(d->children[0]->childCount, 0u);
}

// Lazy parsing keeps views into the one copy of the text: however deep a lookup goes,
// and with an unparsed rest at every level, the document costs that copy plus its nodes.
TEST(XmlLarge, DeepLookupsStayAtOneCopyOfTheText) {
    constexpr int kDepth = 200;
    std::string in, path;
    for (int i = 0; i < kDepth; ++i) {
        in += "<e" + std::to_string(i) + ">";
        path += "e" + std::to_string(i) + " ";
    }
    in += std::string(1u << 20, 'x');
    for (int i = kDepth; i-- > 0;) in += "</e" + std::to_string(i) + "><s/>";  // a rest left raw at every level
    const size_t nodesBound = 256u << 10;  // 200 node records with their arrays, with room to spare

    struct Case {
        const char *label;
        bool (*run)(kx_Xml *, const std::string &);
    } cases[] = {
        {"get_first", [](kx_Xml *d, const std::string &p) { return kx_Xml_node_get_first(d, nullptr, p.c_str()) != nullptr; }},
        {"get_all", [](kx_Xml *d, const std::string &p) { return all(d, nullptr, p.c_str()).size() == 1; }},
        {"resolve_next",
         [](kx_Xml *d, const std::string &) {
             kx_XmlNode *n = nullptr;
             for (int i = 0; i < kDepth; ++i)
                 if ((n = kx_Xml_node_resolve_next_childNode(d, n)) == nullptr) return false;
             return n->valueLength == (1u << 20);
         }},
        {"analyzeAll", [](kx_Xml *d, const std::string &) { return kx_Xml_analyzeAll_check(d, nullptr) == 1; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        size_t before = kxtest::heapInUse();
        Doc d = load(in);
        ASSERT_TRUE(d);
        size_t loaded = kxtest::heapInUse();
        EXPECT_LE(loaded - before, in.size() + nodesBound);
        ASSERT_TRUE(c.run(d.get(), path));
        size_t after = kxtest::heapInUse();
        EXPECT_LE(after - loaded, nodesBound) << "grew by " << (after - loaded) << " bytes";
    }
}

TEST(XmlLarge, BigTextAndManyAttributes) {
    std::string big(10u << 20, 'x');
    Doc d = load("<r><t>" + big + "</t></r>");
    EXPECT_EQ(kx_Xml_analyzeAll_check(d.get(), nullptr), 1);
    EXPECT_EQ(d->children[0]->children[0]->valueLength, big.size());
    EXPECT_EQ(compact(d.get()).size(), strlen(kDecl) + big.size() + 14);

    std::string tag = "<r";
    for (int i = 0; i < 50000; ++i) tag += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
    tag += " a7=\"again\" a40000=\"late\"></r>";
    Doc many = load(tag);
    kx_Xml_analyzeAll(many.get(), nullptr);
    kx_XmlNode *r = many->children[0];
    EXPECT_EQ(r->propertyCount, 50000u);  // repeated names replace
    EXPECT_STREQ(kx_Xml_node_property_get(r, "a7"), "again");
    EXPECT_STREQ(kx_Xml_node_property_get(r, "a40000"), "late");
    EXPECT_STREQ(kx_Xml_node_property_get(r, "a49999"), "49999");
}

}  // namespace
