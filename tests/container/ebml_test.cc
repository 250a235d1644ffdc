// kx_Ebml: byte layout, lazy parsing, passwords, searches, copies, files, conversions
// and hostile input.
#include "kx/ebml.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "core/bytereader.hpp"
#include "kx/objectlist.h"
#include "kx/string.h"
#include "kx/stringbuilder.h"
#include "kx/json.h"
#include "kx/xml.h"
#include "tests/support/stdout_capture.hpp"

namespace {

struct DocFree {
    void operator()(kx_Ebml *d) const { kx_Ebml_delete__OI(d); }
};
using Doc = std::unique_ptr<kx_Ebml, DocFree>;
struct StrFree {
    void operator()(kx_String *s) const { kx_String_delete__OI(s); }
};
using Str = std::unique_ptr<kx_String, StrFree>;

using Bytes = std::string;

Bytes bytesOf(kx_Ebml *d, const char *password = nullptr) {
    Str s(kx_Ebml_to_String__IO(d, 0, 0, password));
    return s ? Bytes(s->buffer, s->lenth) : Bytes();
}

// Parses from an exact-size heap copy, so a read past the end is an ASan error.
Doc parse(const Bytes &b, const char *password = nullptr) {
    std::unique_ptr<char[]> copy(new char[b.size() ? b.size() : 1]);
    if (!b.empty()) memcpy(copy.get(), b.data(), b.size());
    return Doc(kx_Ebml_new_from_String__IO(b.size(), copy.get(), password));
}

kx_EbmlNode *root(kx_Ebml *d) { return reinterpret_cast<kx_EbmlNode *>(d); }

std::string data(const kx_EbmlNode *n) {
    return n && n->lenth ? std::string(reinterpret_cast<const char *>(n->data), n->lenth) : std::string();
}

// The library's own number form, written by hand for fixtures.
Bytes vint(uint64_t v, int n) {
    uint64_t stored = (v << n) | (uint64_t(1) << (n - 1));
    Bytes out;
    for (int i = 0; i < n; ++i) out += static_cast<char>(stored >> (8 * i));
    return out;
}

// A document around raw content (no password).
Bytes document(const Bytes &content, uint32_t tag = 0, uint32_t encodeMethod = 1) {
    uint64_t n = content.size();
    Bytes body = vint(1 ^ (n & 127), 1) + vint(encodeMethod ^ (n & 127), 1) + content;
    uint32_t t = static_cast<uint32_t>(body.size());
    Bytes tv = vint(t, t < 128 ? 1 : t < (1 << 14) ? 2 : t < (1 << 21) ? 3 : 4);
    uint32_t word = t * 381719109u ^ tag;
    Bytes out;
    for (int i = 0; i < 4; ++i) out += static_cast<char>(word >> (8 * i));
    out += tv + body;
    out += static_cast<char>((t + (t >> 8) + (t >> 16) + (t >> 24)) & 0xFF);
    return out;
}

Bytes node(const std::string &name, uint32_t type, const Bytes &content, int lengthBytes = 1) {
    return name + '\0' + vint(type, 1) + vint(0, 1) + vint(content.size(), lengthBytes) + content;
}

std::vector<kx_EbmlNode *> list(kx_ObjectList *l) {
    std::vector<kx_EbmlNode *> out;
    if (l == nullptr) return out;
    for (uint32_t i = 0; i < l->count; ++i) out.push_back(static_cast<kx_EbmlNode *>(l->array[l->start + i]));
    kx_ObjectList_delete__OI(l);
    return out;
}

std::vector<std::string> names(const std::vector<kx_EbmlNode *> &nodes) {
    std::vector<std::string> out;
    for (auto *n : nodes) out.push_back(n->name + (":" + data(n)));
    return out;
}

// Structural equality: exact types, or only container or not (text forms of other kinds).
void expectSame(const kx_EbmlNode *a, const kx_EbmlNode *b, bool exactTypes, const std::string &where) {
    EXPECT_STREQ(a->name, b->name) << where;
    if (exactTypes) {
        EXPECT_EQ(a->type, b->type) << where;
    } else {
        EXPECT_EQ(a->type == KX_EBML_TYPE_CONTAINER, b->type == KX_EBML_TYPE_CONTAINER) << where;
    }
    ASSERT_EQ(a->propertyCount, b->propertyCount) << where;
    for (uint32_t i = 0; i < a->propertyCount; ++i) {
        EXPECT_STREQ(a->properties[i].name, b->properties[i].name) << where;
        EXPECT_STREQ(a->properties[i].value ? a->properties[i].value : "",
                     b->properties[i].value ? b->properties[i].value : "")
            << where;
    }
    if (exactTypes || a->type != KX_EBML_TYPE_CONTAINER) {
        EXPECT_EQ(data(a), data(b)) << where;
    }
    ASSERT_EQ(a->childCount, b->childCount) << where;
    for (uint32_t i = 0; i < a->childCount; ++i) {
        EXPECT_EQ(b->children[i]->parent, b);
        expectSame(a->children[i], b->children[i], exactTypes, where + "/" + a->children[i]->name);
    }
}

// A small document of every kind: containers, texts, bytes, integers, floats, properties.
Doc sample() {
    Doc d(kx_Ebml_new__IO(KX_EBML_UTF8, 0x12345678));
    kx_EbmlNode *cam = kx_Ebml_node_addChild_with_a_property(d.get(), nullptr, "camera", 1, "id", "7");
    kx_Ebml_node_property_add(cam, "flag", nullptr);
    kx_Ebml_node_property_add(cam, "zone", "north");
    kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(d.get(), cam, "url", 2), "rtsp://10.0.0.7/1");
    kx_EbmlNode *streams = kx_Ebml_node_addChild(d.get(), cam, "streams", 1);
    for (const char *s : {"main", "sub"}) {
        kx_EbmlNode *st = kx_Ebml_node_addChild(d.get(), streams, "stream", 1);
        kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(d.get(), st, "name", 2), s);
        kx_Ebml_node_data_set_integer(kx_Ebml_node_addChild(d.get(), st, "bitrate", 4), -4000000000LL);
    }
    kx_Ebml_node_data_set_double(kx_Ebml_node_addChild(d.get(), cam, "fps", 5), 29.97);
    kx_Ebml_node_data_set(kx_Ebml_node_addChild(d.get(), cam, "key", 3), 4, "\x00\xff\x10\x80");
    kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(d.get(), nullptr, "note", 2), "last");
    return d;
}

// ------------------------------------------------------------------ byte layout

TEST(Ebml, NodeBytesOfATextNode) {
    Doc d(kx_Ebml_new__IO(1, 0));
    ASSERT_EQ(kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(d.get(), nullptr, "a", 2), "x"), 1);
    Bytes b = bytesOf(d.get());
    ASSERT_EQ(b.size(), 4u + 1 + 2 + 7 + 1);
    EXPECT_EQ(b.substr(7, 7), Bytes("a\0\x05\x01\x05x\0", 7));
    // The builder's pieces, read in reverse, are the same document.
    kx_StringBuilder *sb = kx_Ebml_to_StringBuilder__IO(d.get());
    ASSERT_NE(sb, nullptr);
    Str joined(kx_StringBuilder_to_String_reverse__IO(sb));
    kx_StringBuilder_delete__OI(sb);
    EXPECT_EQ(Bytes(joined->buffer, joined->lenth), b);
}

TEST(Ebml, EmptyDocumentIsEightBytes) {
    Doc d(kx_Ebml_new__IO(1, 0xCAFEBABE));
    Bytes b = bytesOf(d.get());
    ASSERT_EQ(b.size(), 8u);
    EXPECT_EQ(b[4], '\x05');  // T = 2
    EXPECT_EQ(kx_Ebml_get_lenth(b.size(), b.data()), 8);
    Doc back = parse(b);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->documentTag, 0xCAFEBABEu);
    EXPECT_EQ(back->encodeMethod, 1u);
    EXPECT_EQ(root(back.get())->childCount, 0u);
    EXPECT_EQ(root(back.get())->lenth, 0u);
}

TEST(Ebml, NumbersAtTheirLengthBoundaries) {
    struct Case {
        uint64_t value;
        size_t bytes;
    } cases[] = {{0, 1}, {127, 1}, {128, 2}, {16383, 2}, {16384, 3}, {(1u << 21) - 1, 3}, {1u << 21, 4}, {(1u << 28) - 1, 4}};
    for (const Case &c : cases) {
        Bytes b = vint(c.value, static_cast<int>(c.bytes));
        kx::ByteReader r(b.data(), b.size());
        uint64_t v;
        size_t len;
        ASSERT_TRUE(r.lowVint(&v, &len)) << c.value;
        EXPECT_EQ(v, c.value);
        EXPECT_EQ(len, c.bytes);
        // The writer picks the same length: a text of value - 1 bytes plus its NUL.
        if (c.value > 0 && c.value < 20000) {
            Doc d(kx_Ebml_new__IO(1, 0));
            std::string text(c.value - 1, 'x');
            kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(d.get(), nullptr, "t", 2), text.c_str());
            Bytes doc = bytesOf(d.get());
            // check word, T, version, encodeMethod, "t", NUL, type, property count, length
            kx::ByteReader body(doc.data(), doc.size());
            uint64_t x;
            size_t cl;
            ASSERT_TRUE(body.skip(4) && body.lowVint(&x) && body.lowVint(&x) && body.lowVint(&x) && body.skip(2) &&
                        body.lowVint(&x) && body.lowVint(&x) && body.lowVint(&x, &cl));
            EXPECT_EQ(x, c.value);
            EXPECT_EQ(cl, c.bytes);
            Doc back = parse(doc);
            ASSERT_TRUE(back);
            EXPECT_EQ(kx_Ebml_node_get_first(back.get(), nullptr, "t")->lenth, c.value);
        }
    }
    kx::ByteReader zero("\0", 1);
    uint64_t v;
    EXPECT_FALSE(zero.lowVint(&v));
    kx::ByteReader cut("\x08\x00", 2);  // four bytes announced, two there
    EXPECT_FALSE(cut.lowVint(&v));
    EXPECT_EQ(cut.pos(), 0u);
}

TEST(Ebml, WriterRefusesLengthsOfTwoToThe28) {
    Doc d(kx_Ebml_new__IO(1, 0));
    kx_EbmlNode *big = kx_Ebml_node_addChild(d.get(), nullptr, "big", 3);
    // Untouched pages: the writer must refuse before it copies anything.
    void *block = malloc(size_t(1) << 28);
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(kx_Ebml_node_data_set__OI_3(big, 1u << 28, block), 1);
    kxtest::CaptureShownOnFailure cap;
    EXPECT_EQ(kx_Ebml_to_String__IO(d.get(), 0, 0, nullptr), nullptr);
    EXPECT_EQ(kx_Ebml_save_to_file(d.get(), "/dev/null", nullptr), -3);
    EXPECT_NE(cap.text().find("Invalid content length(=268435456)"), std::string::npos);
}

// ------------------------------------------------------------------ document parsing

TEST(Ebml, FlippedCheckByteFails) {
    Doc d = sample();
    for (const char *password : {(const char *)nullptr, "secret"}) {
        Bytes b = bytesOf(d.get(), password);
        b.back() ^= 1;
        kxtest::CaptureShownOnFailure cap;
        EXPECT_FALSE(parse(b, password)) << (password ? password : "(none)");
        EXPECT_NE(cap.text().find("Invalid check data."), std::string::npos);
    }
}

TEST(Ebml, HostileDocumentsFailWithTheirRecord) {
    Bytes good = document(node("a", 2, Bytes("x\0", 2)));
    Bytes badVersion = good;
    badVersion[5] = static_cast<char>(vint(3 ^ ((good.size() - 8) & 127), 1)[0]);
    Bytes badEncode = good;
    badEncode[6] = static_cast<char>(vint(3 ^ ((good.size() - 8) & 127), 1)[0]);
    Bytes hugeT = good.substr(0, 4) + vint((1u << 28) - 1, 4) + good.substr(5);
    struct Case {
        const char *label;
        Bytes bytes;
        const char *record;
    } cases[] = {
        {"empty", Bytes(), "Invalid lenth(=0)."},
        {"seven bytes", good.substr(0, 7), "Invalid lenth(=7)."},
        {"zero T", Bytes("\0\0\0\0\0\0\0\0", 8), "Invalid len(0,8)."},
        {"T past the end", hugeT, "Invalid len(=268435455,4,"},
        {"cut short", good.substr(0, good.size() - 1), "Invalid len(="},
        {"bad version", badVersion, "Invalid version(=3)."},
        {"bad encodeMethod", badEncode, "Invalid encodeMethod(=3)."},
        {"T without room for its fields", Bytes("\0\0\0\0\x03\x03\x00\x00", 8), "Invalid len(=1,1,8)."},
    };
    for (const Case &c : cases) {
        kxtest::CaptureShownOnFailure cap;
        EXPECT_FALSE(parse(c.bytes)) << c.label;
        EXPECT_NE(cap.text().find(c.record), std::string::npos) << c.label << ": " << kxtest::strip_colours(cap.text());
    }
    EXPECT_TRUE(parse(good));
    EXPECT_EQ(kx_Ebml_get_lenth(good.size(), good.data()), static_cast<long>(good.size()));
    EXPECT_EQ(kx_Ebml_get_lenth(4, good.data()), -1);
}

TEST(Ebml, RoundTripWithAndWithoutPassword) {
    Doc d = sample();
    for (const char *password : {(const char *)nullptr, "", "secret"}) {
        Bytes b = bytesOf(d.get(), password);
        ASSERT_EQ(static_cast<size_t>(kx_Ebml_get_lenth(b.size(), b.data())), b.size());
        Doc back = parse(b, password);
        ASSERT_TRUE(back) << (password ? password : "(none)");
        EXPECT_EQ(back->documentTag, 0x12345678u);
        kx_Ebml_analyzeAll(back.get(), nullptr);
        expectSame(root(d.get()), root(back.get()), true, "");
        EXPECT_EQ(bytesOf(back.get(), password), b);
    }
    // Scrambled content differs from the plain one; the wrong key does not open it.
    Bytes plain = bytesOf(d.get()), scrambled = bytesOf(d.get(), "secret");
    ASSERT_EQ(plain.size(), scrambled.size());
    EXPECT_NE(plain.substr(7, plain.size() - 8), scrambled.substr(7, scrambled.size() - 8));
    kxtest::CaptureShownOnFailure cap;
    EXPECT_FALSE(parse(scrambled, "secreT"));
    EXPECT_FALSE(parse(scrambled));
}

TEST(Ebml, HeadAndTailRoom) {
    Doc d = sample();
    Bytes b = bytesOf(d.get());
    Str s(kx_Ebml_to_String__IO(d.get(), 8, 12, nullptr));
    ASSERT_EQ(s->lenth, b.size() + 20);
    EXPECT_EQ(Bytes(s->buffer, 8), Bytes(8, '\0'));
    EXPECT_EQ(Bytes(s->buffer + 8, b.size()), b);
    EXPECT_EQ(Bytes(s->buffer + 8 + b.size(), 12), Bytes(12, '\0'));
}

// ------------------------------------------------------------------ content parsing

TEST(Ebml, SevenByteIntegerStopsItsContainer) {
    Bytes content = node("ok", 2, Bytes("y\0", 2)) + node("i", 4, Bytes(7, '\1')) + node("after", 2, Bytes("z\0", 2));
    Doc d = parse(document(content));
    ASSERT_TRUE(d);
    kxtest::CaptureShownOnFailure cap;
    EXPECT_EQ(kx_Ebml_analyzeAll_check(d.get(), nullptr), -1);
    EXPECT_NE(cap.text().find("Invalid Lenth(=7)."), std::string::npos);
    kx_EbmlNode *r = root(d.get());
    ASSERT_EQ(r->childCount, 1u);
    EXPECT_STREQ(r->children[0]->name, "ok");
    EXPECT_EQ(data(r), content.substr(node("ok", 2, Bytes("y\0", 2)).size()));
    // The raw rest is written back unchanged.
    EXPECT_EQ(bytesOf(d.get()), document(content));
}

TEST(Ebml, LengthsBeyondTheContentStayRaw) {
    // A 20-byte document whose node claims 2^28 - 1 bytes of content.
    Bytes claim = Bytes("a\0", 2) + vint(3, 1) + vint(0, 1) + vint((1u << 28) - 1, 4) + "wxyz";
    Bytes manyProperties = Bytes("a\0", 2) + vint(3, 1) + vint((1u << 27), 4) + vint(0, 1) + "p\0v\0";
    Bytes noNul = "abc";
    Bytes zeroType = Bytes("a\0", 2) + '\0' + vint(0, 1) + vint(0, 1);
    Bytes emptyPropertyName = Bytes("a\0", 2) + vint(2, 1) + vint(1, 1) + vint(0, 1) + Bytes("\0v\0", 3);
    Bytes floatShort = Bytes("f\0", 2) + vint(13, 1) + vint(0, 1) + vint(9, 1) + Bytes(9, '\0');
    for (const Bytes &content : {claim, manyProperties, noNul, zeroType, emptyPropertyName, floatShort}) {
        Bytes doc = document(content);
        Doc d = parse(doc);
        ASSERT_TRUE(d);
        kxtest::CaptureShownOnFailure cap;
        EXPECT_EQ(kx_Ebml_analyzeAll_check(d.get(), nullptr), -1);
        EXPECT_EQ(root(d.get())->childCount, 0u);
        EXPECT_EQ(data(root(d.get())), content);
        EXPECT_EQ(bytesOf(d.get()), doc);
    }
    EXPECT_EQ(document(claim).size(), 20u);
}

TEST(Ebml, TextWithoutItsNulGetsOne) {
    Doc d = parse(document(node("t", 2, "abc") + node("u", 2, "")));
    kx_EbmlNode *t = kx_Ebml_node_get_first(d.get(), nullptr, "t");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(data(t), Bytes("abc\0", 4));
    EXPECT_EQ(kx_Ebml_node_get_first(d.get(), nullptr, "u")->lenth, 0u);
    Doc e(kx_Ebml_new__IO(1, 0));
    kx_EbmlNode *n = kx_Ebml_node_addChild(e.get(), nullptr, "t", 2);
    ASSERT_EQ(kx_Ebml_node_data_set(n, 2, "hi"), 1);
    EXPECT_EQ(data(n), Bytes("hi\0", 3));
}

TEST(Ebml, ScalarsHoldEightBytes) {
    Doc d(kx_Ebml_new__IO(1, 0));
    kx_EbmlNode *i = kx_Ebml_node_addChild(d.get(), nullptr, "i", 4);
    EXPECT_EQ(i->lenth, 8u);
    EXPECT_EQ(kx_Ebml_node_integer_get(i), 0);
    kxtest::CaptureShownOnFailure cap;
    EXPECT_EQ(kx_Ebml_node_data_set(i, 7, "1234567"), -1);
    EXPECT_EQ(kx_Ebml_node_data_set(i, 8, "\x01\0\0\0\0\0\0\x80"), 1);
    EXPECT_EQ(kx_Ebml_node_integer_get(i), static_cast<int64_t>(0x8000000000000001ULL));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(i->data) % 8, 0u);
}

TEST(Ebml, ParsingIsLazy) {
    Doc src = sample();
    Doc d = parse(bytesOf(src.get()));
    kx_EbmlNode *r = root(d.get());
    EXPECT_NE(r->rawLength, 0u);
    EXPECT_EQ(r->childCount, 0u);
    kx_EbmlNode *url = kx_Ebml_node_get_first(d.get(), nullptr, "camera url");
    ASSERT_NE(url, nullptr);
    EXPECT_EQ(data(url), Bytes("rtsp://10.0.0.7/1\0", 18));
    kx_EbmlNode *streams = kx_Ebml_node_get_first(d.get(), nullptr, "camera streams");
    ASSERT_NE(streams, nullptr);
    EXPECT_NE(streams->rawLength, 0u);  // on no path yet
    EXPECT_EQ(streams->childCount, 0u);
    // One child at a time.
    kx_EbmlNode *first = kx_Ebml_node_resolve_next_childNode(d.get(), streams);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(streams->childCount, 1u);
    EXPECT_NE(streams->rawLength, 0u);
    EXPECT_NE(kx_Ebml_node_resolve_next_childNode(d.get(), streams), nullptr);
    EXPECT_EQ(kx_Ebml_node_resolve_next_childNode(d.get(), streams), nullptr);
    EXPECT_EQ(streams->rawLength, 0u);
    EXPECT_EQ(bytesOf(d.get()), bytesOf(src.get()));
}

TEST(Ebml, DeepNestingStaysRawBeyondTheLimit) {
    // Containers nested as deep as 2 MB allow; parsed, searched, copied, written and
    // freed without recursion.
    const int depth = 300000;
    // Innermost first: each level wraps the previous one.
    const Bytes leaf = node("x", 2, Bytes("v\0", 2));
    const size_t header = 8;  // "n", NUL, type, property count, 4-byte length
    Bytes inner;
    inner.reserve(depth * header + leaf.size());
    for (int i = depth; i > 0; --i)
        inner += Bytes("n\0", 2) + vint(1, 1) + vint(0, 1) + vint((i - 1) * header + leaf.size(), 4);
    inner += leaf;
    Doc d = parse(document(inner));
    ASSERT_TRUE(d);
    EXPECT_EQ(kx_Ebml_analyzeAll_check(d.get(), nullptr), -2);
    kx_EbmlNode *n = root(d.get());
    uint32_t levels = 0;
    while (n->childCount) {
        n = n->children[0];
        ++levels;
    }
    EXPECT_EQ(levels, KX_EBML_NESTING_LIMIT);
    EXPECT_NE(n->rawLength, 0u);
    EXPECT_EQ(bytesOf(d.get()), document(inner));
    Doc copy(kx_Ebml_new_from_Ebml__IO(d.get()));
    ASSERT_TRUE(copy);
    d.reset();
    EXPECT_EQ(bytesOf(copy.get()), document(inner));
}

// ------------------------------------------------------------------ searching and editing

TEST(Ebml, PathsAndSearches) {
    Doc d = parse(bytesOf(sample().get()));
    EXPECT_EQ(names(list(kx_Ebml_node_get__IO(d.get(), nullptr, "camera streams stream name"))),
              (std::vector<std::string>{std::string("name:main\0", 10), std::string("name:sub\0", 9)}));
    EXPECT_EQ(names(list(kx_Ebml_node_get__IO(d.get(), nullptr, "  camera  streams   stream name "))).size(), 2u);
    EXPECT_EQ(kx_Ebml_node_get__IO(d.get(), nullptr, "streams"), nullptr);  // downward only
    EXPECT_EQ(kx_Ebml_node_get__IO(d.get(), nullptr, ""), nullptr);
    EXPECT_EQ(list(kx_Ebml_node_get_child__IO(d.get(), nullptr, "stream name")).size(), 2u);
    EXPECT_EQ(list(kx_Ebml_node_get_child__IO(d.get(), nullptr, "bitrate")).size(), 2u);
    kx_EbmlNode *cam = kx_Ebml_node_get_first(d.get(), nullptr, "camera");
    EXPECT_EQ(kx_Ebml_node_get_first_with_a_lastProperty(d.get(), nullptr, "camera", "zone", "north"), cam);
    EXPECT_EQ(kx_Ebml_node_get_first_with_a_lastProperty(d.get(), nullptr, "camera", "id", "7"), nullptr);  // not last
    // A property block handed over: the node takes it.
    char *block = static_cast<char *>(malloc(5));
    memcpy(block, "k\0v2\0", 5);
    ASSERT_EQ(kx_Ebml_node_property_add__OI_2(cam, block, block + 2), 1);
    EXPECT_EQ(kx_Ebml_node_get_first_with_a_lastProperty(d.get(), nullptr, "camera", "k", "v2"), cam);
    EXPECT_STREQ(kx_Ebml_node_property_get(cam, "flag"), "");
    EXPECT_STREQ(kx_Ebml_node_property_get(cam, "id"), "7");
}

TEST(Ebml, ChildSearchDoesNotLookInsideAMatch) {
    Doc d(kx_Ebml_new__IO(1, 0));
    kx_EbmlNode *outer = kx_Ebml_node_addChild(d.get(), nullptr, "a", 1);
    kx_EbmlNode *mid = kx_Ebml_node_addChild(d.get(), outer, "b", 1);
    kx_Ebml_node_addChild(d.get(), mid, "a", 1);  // inside a match: not found again
    kx_EbmlNode *other = kx_Ebml_node_addChild(d.get(), nullptr, "c", 1);
    kx_EbmlNode *deep = kx_Ebml_node_addChild(d.get(), kx_Ebml_node_addChild(d.get(), other, "d", 1), "a", 1);
    auto found = list(kx_Ebml_node_get_child__IO(d.get(), nullptr, "a"));
    EXPECT_EQ(found, (std::vector<kx_EbmlNode *>{outer, deep}));
    EXPECT_EQ(kx_Ebml_node_delete_child_byString(d.get(), nullptr, "a"), 2u);
    EXPECT_EQ(root(d.get())->childCount, 1u);
    EXPECT_EQ(other->children[0]->childCount, 0u);
}

TEST(Ebml, DeleteAndValidateHandles) {
    Doc d = sample();
    Doc other = sample();
    kx_EbmlNode *foreign = kx_Ebml_node_get_first(other.get(), nullptr, "camera");
    EXPECT_EQ(kx_Ebml_node_delete(d.get(), foreign), -1);
    EXPECT_EQ(kx_Ebml_node_delete(d.get(), root(d.get())), -1);
    EXPECT_EQ(kx_Ebml_node_delete_byString(d.get(), nullptr, "camera streams stream"), 2u);
    EXPECT_EQ(kx_Ebml_node_get_first(d.get(), nullptr, "camera streams stream"), nullptr);
    EXPECT_EQ(kx_Ebml_node_delete(d.get(), kx_Ebml_node_get_first(d.get(), nullptr, "note")), 1);
    EXPECT_EQ(root(d.get())->childCount, 1u);
    kxtest::CaptureShownOnFailure cap;
    EXPECT_EQ(kx_Ebml_node_addChild(d.get(), kx_Ebml_node_get_first(d.get(), nullptr, "camera url"), "x", 2),
              nullptr);  // not a container
    EXPECT_EQ(kx_Ebml_node_addChild(d.get(), nullptr, "x", 0), nullptr);
}

TEST(Ebml, CopiesAreDeepAndIndependent) {
    Doc src = parse(bytesOf(sample().get(), "pw"), "pw");
    kx_Ebml_node_get_first(src.get(), nullptr, "camera");  // partly parsed, partly raw
    Doc copy(kx_Ebml_new_from_Ebml__IO(src.get()));
    Doc into(kx_Ebml_new__IO(1, 0));
    kx_EbmlNode *holder = kx_Ebml_node_addChild(into.get(), nullptr, "holder", 1);
    kx_EbmlNode *cam = kx_Ebml_node_addChild_from_node(into.get(), holder, kx_Ebml_node_get_first(src.get(), nullptr, "camera"));
    ASSERT_NE(cam, nullptr);
    EXPECT_EQ(kx_Ebml_node_addChild_from_node_child(into.get(), holder, root(src.get())), 1);
    EXPECT_EQ(holder->childCount, 3u);
    Bytes expected = bytesOf(src.get());
    src.reset();
    EXPECT_EQ(bytesOf(copy.get()), expected);
    kx_Ebml_analyzeAll(into.get(), nullptr);
    expectSame(holder->children[0], holder->children[1], true, "copies");
    EXPECT_EQ(kx_Ebml_node_addChild_from_node(into.get(), cam, holder), nullptr);  // would hold itself
}

TEST(Ebml, ValuesInDocumentOrder) {
    Doc d = parse(bytesOf(sample().get()));
    Str all(kx_Ebml_value_all_get__IO(d.get(), kx_Ebml_node_get_first(d.get(), nullptr, "camera streams")));
    ASSERT_TRUE(all);
    int64_t rate = -4000000000LL;
    Bytes r(reinterpret_cast<const char *>(&rate), 8);
    EXPECT_EQ(Bytes(all->buffer, all->lenth), Bytes("main\0", 5) + r + Bytes("sub\0", 4) + r);
    Doc empty(kx_Ebml_new__IO(1, 0));
    EXPECT_EQ(kx_Ebml_value_all_get__IO(empty.get(), nullptr), nullptr);
}

// ------------------------------------------------------------------ files

TEST(Ebml, Files) {
    Doc d = sample();
    char path[] = "/tmp/kxebmlXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(kx_Ebml_save_to_file(d.get(), path, "k"), 1);
    Doc back(kx_Ebml_new_from_file__IO(path, "k"));
    unlink(path);
    ASSERT_TRUE(back);
    kx_Ebml_analyzeAll(back.get(), nullptr);
    expectSame(root(d.get()), root(back.get()), true, "");
    FILE *f = tmpfile();
    ASSERT_EQ(kx_Ebml_out(d.get(), f, "k"), 1);
    EXPECT_EQ(kxtest::read_stream(f), bytesOf(d.get(), "k"));
    fclose(f);
    kxtest::CaptureShownOnFailure cap;
    EXPECT_EQ(kx_Ebml_save_to_file(d.get(), "/nonexistent/dir/x.ebml", nullptr), -1);
    EXPECT_EQ(kx_Ebml_save_to_file(d.get(), "/dev/full", nullptr), -2);
    EXPECT_NE(cap.text().find("Fwrite error:\"/dev/full\"."), std::string::npos);
    EXPECT_FALSE(Doc(kx_Ebml_new_from_file__IO("/nonexistent/x.ebml", nullptr)));
    EXPECT_NE(cap.text().find("Read the file:\"/nonexistent/x.ebml\" failed."), std::string::npos);
}

// ------------------------------------------------------------------ conversions

TEST(Ebml, XmlTextForms) {
    Doc d = sample();
    kx_Xml *x = kx_Ebml_convert_to_Xml__IO(d.get());
    ASSERT_NE(x, nullptr);
    char *text = kx_Xml_to_string__IO(x, nullptr, nullptr, 0);
    kx_Xml_delete__OI(x);
    std::string t = text;
    free(text);
    EXPECT_NE(t.find("<camera id=\"7\" flag=\"\" zone=\"north\"><url>rtsp://10.0.0.7/1</url>"), std::string::npos) << t;
    EXPECT_NE(t.find("<bitrate>-4000000000</bitrate>"), std::string::npos) << t;
    EXPECT_NE(t.find("<fps>29.970000</fps>"), std::string::npos) << t;
    EXPECT_NE(t.find("<key>AP8QgA</key>"), std::string::npos) << t;
    EXPECT_NE(t.find("encoding=\"UTF-8\""), std::string::npos) << t;
    // Type 5 with flag 8 is a wall-clock time, shown in local time.
    setenv("TZ", "UTC", 1);
    tzset();
    Doc times(kx_Ebml_new__IO(1, 0));
    kx_Ebml_node_data_set_double(kx_Ebml_node_addChild(times.get(), nullptr, "at", KX_EBML_TYPE_TIME), 86400.25);
    kx_Xml *tx = kx_Ebml_convert_to_Xml__IO(times.get());
    char *ttext = kx_Xml_to_string__IO(tx, nullptr, nullptr, 0);
    kx_Xml_delete__OI(tx);
    EXPECT_NE(std::string(ttext).find("<at>1970-01-02 00:00:00.250000</at>"), std::string::npos) << ttext;
    free(ttext);
    // The debug print is the indented XML form.
    FILE *f = tmpfile();
    ASSERT_EQ(kx_Ebml_out_debug(d.get(), f), 1);
    EXPECT_NE(kxtest::read_stream(f).find("<camera id=\"7\" flag=\"\" zone=\"north\">\n    <url>"), std::string::npos);
    fclose(f);
}

TEST(Ebml, XmlRoundTripKeepsNamesTypesValuesAndProperties) {
    Doc d(kx_Ebml_new__IO(1, 0));
    kx_EbmlNode *a = kx_Ebml_node_addChild_with_a_property(d.get(), nullptr, "a", 1, "p", "1");
    kx_Ebml_node_property_add(a, "q", "two words");
    kx_Ebml_node_data_set_string(kx_Ebml_node_addChild_with_a_property(d.get(), a, "b", 2, "r", ""), "text");
    kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(d.get(), a, "b", 2), "second");
    kx_EbmlNode *c = kx_Ebml_node_addChild(d.get(), a, "c", 1);
    kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(d.get(), c, "d", 2), "deep");
    Doc parsed = parse(bytesOf(d.get()));
    kx_Xml *x = kx_Ebml_convert_to_Xml__IO(parsed.get());
    char *text = kx_Xml_to_string__IO(x, "\n", nullptr, 4);
    kx_Xml_delete__OI(x);
    kx_Xml *reread = kx_Xml_new_from_string__IO(text);
    free(text);
    Doc back(kx_Ebml_new_from_Xml__IO(reread));
    ASSERT_TRUE(back);
    Doc bare(kx_Ebml_new_from_Xml_noProperty__IO(reread));
    kx_Xml_delete__OI(reread);
    EXPECT_EQ(back->encodeMethod, 1u);
    EXPECT_EQ(back->documentTag, 0u);
    expectSame(root(d.get()), root(back.get()), true, "");
    ASSERT_TRUE(bare);
    kx_EbmlNode *ba = kx_Ebml_node_get_first(bare.get(), nullptr, "a");
    EXPECT_EQ(ba->propertyCount, 0u);
    EXPECT_EQ(ba->childCount, 3u);
    // And back to bytes.
    EXPECT_EQ(bytesOf(back.get()), bytesOf(d.get()));
}

TEST(Ebml, XmlOfAnotherEncodingGivesEncodeMethodTwo) {
    kx_Xml *x = kx_Xml_new_from_string__IO("<?xml version=\"1.0\" encoding=\"GBK\"?><a><b>1</b></a>");
    ASSERT_NE(x, nullptr);
    Doc d(kx_Ebml_new_from_Xml__IO(x));
    kx_Xml_delete__OI(x);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->encodeMethod, 2u);
    Doc back = parse(bytesOf(d.get()));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->encodeMethod, 2u);
    // And through XML again.
    kx_Xml *again = kx_Ebml_convert_to_Xml__IO(back.get());
    char *text = kx_Xml_to_string__IO(again, nullptr, nullptr, 0);
    kx_Xml_delete__OI(again);
    kx_Xml *reread = kx_Xml_new_from_string__IO(text);
    free(text);
    Doc twice(kx_Ebml_new_from_Xml__IO(reread));
    kx_Xml_delete__OI(reread);
    EXPECT_EQ(twice->encodeMethod, 2u);
}

// Texts, containers with and without children or properties, repeated names.
Doc jsonSample() {
    Doc d(kx_Ebml_new__IO(1, 0));
    kx_EbmlNode *a = kx_Ebml_node_addChild_with_a_property(d.get(), nullptr, "a", 1, "p", "1");
    kx_Ebml_node_property_add(a, "q", "");
    kx_Ebml_node_data_set_string(kx_Ebml_node_addChild_with_a_property(d.get(), a, "b", 2, "r", "x"), "text");
    kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(d.get(), a, "b", 2), "second");
    kx_Ebml_node_addChild(d.get(), a, "b", 2);  // empty text in an array
    kx_Ebml_node_addChild(d.get(), a, "empty", 1);
    kx_Ebml_node_addChild_with_a_property(d.get(), a, "flagged", 1, "only", "props");
    kx_EbmlNode *c = kx_Ebml_node_addChild(d.get(), nullptr, "c", 1);
    kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(d.get(), c, "d", 2), "deep");
    return d;
}

std::string jsonText(kx_Json *j) {
    char *t = kx_Json_to_string__IO(j, nullptr, "\n", 4);
    std::string s = t ? t : "(null)";
    free(t);
    return s;
}

TEST(Ebml, JsonRoundTripKeepsNamesTypesValuesAndProperties) {
    Doc d = jsonSample();
    Doc parsed = parse(bytesOf(d.get()));
    kx_Json *j = kx_Ebml_convert_to_Json__IO(parsed.get());
    ASSERT_NE(j, nullptr);
    std::string text = jsonText(j);
    kx_Json_delete__OI(j);
    EXPECT_NE(text.find("\"@p\":\"1\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"#text\":\"text\""), std::string::npos) << text;
    kx_Json *reread = kx_Json_new_from_string__IO(text.c_str());
    Doc back(kx_Ebml_new_from_Json__IO(reread));
    kx_Json_delete__OI(reread);
    ASSERT_TRUE(back);
    expectSame(root(d.get()), root(back.get()), true, "") ;
    EXPECT_EQ(bytesOf(back.get()), bytesOf(d.get()));
}

TEST(Ebml, JsonOfOtherProducers) {
    // Scalars without quotes come as members without value, "{}" as an empty container.
    kx_Json *j = kx_Json_new_from_string__IO("{\"cam\":{\"url\":\"rtsp://x/1\",\"fps\":25,\"tags\":[\"a\",\"b\"],\"opt\":{}}}");
    kxtest::CaptureShownOnFailure cap;
    Doc d(kx_Ebml_new_from_Json__IO(j));
    kx_Json_delete__OI(j);
    ASSERT_TRUE(d);
    EXPECT_EQ(data(kx_Ebml_node_get_first(d.get(), nullptr, "cam url")), Bytes("rtsp://x/1\0", 11));
    EXPECT_EQ(kx_Ebml_node_get_first(d.get(), nullptr, "cam fps")->lenth, 0u);
    EXPECT_EQ(names(list(kx_Ebml_node_get__IO(d.get(), nullptr, "cam tags"))),
              (std::vector<std::string>{std::string("tags:a\0", 7), std::string("tags:b\0", 7)}));
    EXPECT_EQ(kx_Ebml_node_get_first(d.get(), nullptr, "cam opt")->type, KX_EBML_TYPE_CONTAINER);
}

}  // namespace
