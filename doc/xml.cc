// kx_Xml: lazy XML documents.
//
// A document keeps element contents as raw text until somebody needs them. One
// "level" parser turns the raw content of one node into its child elements; the
// shared lazy engine (doc/lazy.hpp) runs it over a work stack for the full parse and
// one element at a time for the path lookups, which hand the unparsed rest back to
// the node. The loaded text lives in one shared block: children's contents and text
// values are views into it, and the byte that opens a cut-out element's closing tag
// becomes the NUL that ends its view, so no level is ever copied. Nothing here
// recurses: parsing, lookups, serialisation and freeing all use explicit stacks or
// parent pointers, so a deep tree cannot exhaust a worker thread's small stack.
//
// Sizes are size_t with overflow checks; running out of memory (or a size that does
// not fit) throws inside the engine and is turned into a logged failure result at
// the exported boundary.
#include "kx/xml.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/log.hpp"
#include "doc/lazy.hpp"
#include "kx/objectlist.h"
#include "kx/string.h"

namespace {

using Node = kx_XmlNode;
using std::string_view;
using kx::lazy::addSize;
using kx::lazy::arrayRemoveAt;
using kx::lazy::guarded;
using kx::lazy::isBlank;
using kx::lazy::skipBlanks;
using kx::lazy::xmalloc;
using ParseReport = kx::lazy::Report;
using kx::lazy::Text;
constexpr size_t npos = string_view::npos;

static_assert(KX_XML_NESTING_LIMIT == kx::lazy::kNestingLimit);

// The document must be usable wherever a node is expected.
static_assert(offsetof(kx_Xml, comment) == offsetof(kx_XmlNode, name));
static_assert(offsetof(kx_Xml, value) == offsetof(kx_XmlNode, value));
static_assert(offsetof(kx_Xml, childCount) == offsetof(kx_XmlNode, childCount));
static_assert(offsetof(kx_Xml, kind) == offsetof(kx_XmlNode, kind));
static_assert(offsetof(kx_Xml, children) == offsetof(kx_XmlNode, children));
static_assert(offsetof(kx_Xml, propertyCount) == offsetof(kx_XmlNode, propertyCount));
static_assert(offsetof(kx_Xml, depth) == offsetof(kx_XmlNode, depth));
static_assert(offsetof(kx_Xml, properties) == offsetof(kx_XmlNode, properties));
static_assert(offsetof(kx_Xml, parent) == offsetof(kx_XmlNode, parent));
static_assert(offsetof(kx_Xml, valueBlock) == offsetof(kx_XmlNode, valueBlock));
static_assert(offsetof(kx_Xml, valueLength) == offsetof(kx_XmlNode, valueLength));
static_assert(sizeof(kx_Xml) >= sizeof(kx_XmlNode));

// ---------------------------------------------------------------- texts

char *copyText(const char *s, size_t n) { return kx::lazy::heapText(string_view(s, n)); }

string_view trimBlanks(string_view t) {
    size_t b = skipBlanks(t, 0);
    size_t e = t.size();
    while (e > b && isBlank(t[e - 1])) --e;
    return t.substr(b, e - b);
}

// Short view of a text for log records.
int logLen(string_view t) { return static_cast<int>(t.size() < 40 ? t.size() : 40); }

// ---------------------------------------------------------------- records

Node *asNode(kx_Xml *doc) { return reinterpret_cast<Node *>(doc); }

kx::lazy::Slot slotOf(Node *n) { return {n->value, n->valueLength, n->valueBlock}; }

string_view valueOf(const Node *n) { return n->value ? string_view(n->value, n->valueLength) : string_view(); }

// Takes over a plain heap text handed in by a caller.
void valueAdoptHeap(Node *n, char *text) {
    try {
        slotOf(n).setCopy(text);
    } catch (...) {
        free(text);
        throw;
    }
    free(text);
}

// Raw content: the value's first non-blank byte is '<'.
bool hasRawContent(const Node *n) {
    string_view v = valueOf(n);
    size_t p = skipBlanks(v, 0);
    return p < v.size() && v[p] == '<';
}

Node *nodeCreate(Node *parent, string_view name) {
    size_t size = addSize(sizeof(Node), addSize(name.size(), 1));
    Node *n = static_cast<Node *>(xmalloc(size));
    memset(n, 0, sizeof(Node));
    n->name = reinterpret_cast<char *>(n + 1);
    memcpy(n->name, name.data(), name.size());
    n->name[name.size()] = '\0';
    n->kind = KX_XML_KIND_NODE;
    n->depth = parent->depth == UINT32_MAX ? UINT32_MAX : parent->depth + 1;
    n->parent = parent;
    try {
        kx::lazy::arrayAppend(parent->children, parent->childCount, n);
    } catch (...) {
        free(n);
        throw;
    }
    return n;
}

// Frees one node whose children are already gone.
void nodeFreeSelf(Node *n) {
    for (uint32_t i = 0; i < n->propertyCount; ++i) free(n->properties[i].name);
    free(n->properties);
    free(n->children);
    kx::lazy::Block::release(n->valueBlock);
    free(n);
}

void subtreeFree(Node *root) { kx::lazy::subtreeFree(root, nodeFreeSelf); }

void childrenFree(Node *n) { kx::lazy::childrenFree(n, nodeFreeSelf); }

// ---------------------------------------------------------------- attributes

int propertyFindLast(const Node *n, string_view name) {
    for (uint32_t i = n->propertyCount; i-- > 0;)
        if (name == n->properties[i].name) return static_cast<int>(i);
    return -1;
}

// Block "name\0value\0".
kx_XmlProperty propertyMake(string_view name, string_view value) {
    size_t size = addSize(addSize(name.size(), value.size()), 2);
    char *block = static_cast<char *>(xmalloc(size));
    memcpy(block, name.data(), name.size());
    block[name.size()] = '\0';
    char *v = block + name.size() + 1;
    if (!value.empty()) memcpy(v, value.data(), value.size());
    v[value.size()] = '\0';
    return kx_XmlProperty{block, v};
}

void propertyAppend(Node *n, kx_XmlProperty p) {
    try {
        kx::lazy::arrayAppend(n->properties, n->propertyCount, p);
    } catch (...) {
        free(p.name);
        throw;
    }
}

// Replaces (2) or appends (1); p is consumed.
int propertySet(Node *n, kx_XmlProperty p) {
    int i = propertyFindLast(n, p.name);
    if (i >= 0) {
        free(n->properties[i].name);
        n->properties[i] = p;
        return 2;
    }
    propertyAppend(n, p);
    return 1;
}

// Attributes of a tag: name=value pairs after the element name. A repeated name
// replaces the earlier value. Long attribute lists use an index so a tag with very
// many attributes stays linear.
void parseAttributes(Node *n, string_view a, ParseReport &rep) {
    size_t p = skipBlanks(a, 0);
    if (a.size() - p < 3) return;
    std::unordered_map<string_view, uint32_t> index;
    while (p < a.size()) {
        size_t eq = a.find('=', p);
        if (eq == npos) break;
        string_view name = trimBlanks(a.substr(p, eq - p));
        size_t v = skipBlanks(a, eq + 1);
        string_view value;
        size_t next;
        if (v < a.size() && a[v] == '"') {
            size_t q = a.find('"', v + 1);
            if (q == npos) {
                value = a.substr(v + 1);
                next = a.size();
            } else {
                value = a.substr(v + 1, q - v - 1);
                next = q + 1;
            }
        } else {
            size_t e = v;
            while (e < a.size() && !isBlank(a[e])) ++e;
            value = a.substr(v, e - v);
            next = e;
        }
        if (name.empty() || name.find_first_of("\"<>") != npos || value.find('"') != npos) {
            // A quote, '<' or '>' inside a name, or a quote inside a bare value,
            // would not read back the same once written: the pair is dropped.
            string_view pair = a.substr(p, next - p);
            KX_LOGS("kx_Xml_analyze", "Invalid attribute dropped:\"%.*s\".", logLen(pair), pair.data());
            rep.malformed = true;
        } else {
            kx_XmlProperty prop = propertyMake(name, value);
            if (n->propertyCount < 8) {
                propertySet(n, prop);
            } else {
                if (index.empty())
                    for (uint32_t i = 0; i < n->propertyCount; ++i) index[n->properties[i].name] = i;
                auto it = index.find(name);
                if (it != index.end()) {
                    uint32_t i = it->second;
                    index.erase(it);  // its key views the block freed next
                    free(n->properties[i].name);
                    n->properties[i] = prop;
                    index.emplace(string_view(prop.name), i);
                } else {
                    propertyAppend(n, prop);
                    index[prop.name] = n->propertyCount - 1;
                }
            }
        }
        p = skipBlanks(a, next);
    }
}

// ---------------------------------------------------------------- level parser

// The '>' ending a tag, skipping double-quoted attribute values; npos when there is
// none before limit.
size_t tagEnd(string_view t, size_t from, size_t limit) {
    bool quoted = false;
    for (size_t i = from; i < limit; ++i) {
        char c = t[i];
        if (c == '"')
            quoted = !quoted;
        else if (c == '>' && !quoted)
            return i;
    }
    return npos;
}

// Start of the "</name>" that closes the element whose content starts at from.
// Same-named elements opened on the way ("<name>" or "<name ...>", not self-closing)
// each skip one more closing tag. Every byte is looked at a bounded number of times.
size_t findClose(string_view t, size_t from, string_view name) {
    std::string close = "</";
    close.append(name).push_back('>');
    std::string open = "<";
    open.append(name);
    size_t search = from, scan = from, pending = 1;
    for (;;) {
        size_t c = t.find(close, search);
        if (c == npos) return npos;
        string_view before = t.substr(0, c);
        while (scan < c) {
            size_t o = before.find(open, scan);
            if (o == npos) {
                scan = c;
                break;
            }
            size_t after = o + open.size();
            if (after >= c) {
                scan = c;
                break;
            }
            char ch = t[after];
            if (ch == '>') {
                ++pending;
                scan = after + 1;
            } else if (isBlank(ch)) {
                size_t e = tagEnd(t, after, c);
                if (e == npos) {
                    ++pending;
                    scan = c;
                } else {
                    if (t[e - 1] != '/') ++pending;
                    scan = e + 1;
                }
            } else {
                scan = after;
            }
        }
        if (--pending == 0) return c;
        search = c + close.size();
        if (scan < search) scan = search;
    }
}

// One level of raw content being turned into the children of parent. The level owns
// its text (a view into the document's block) and cuts the children's views out of it.
class Level {
public:
    Level(Node *parent, Text raw, ParseReport &rep) : parent_(parent), raw_(std::move(raw)), rep_(rep) {}

    // Parses the next element. Its text value is set here; raw content (starting
    // with '<') is returned in content for the caller to parse or keep. Null when
    // the level has no further complete element.
    Node *next(Text &content);

    // Hands what the level did not turn into elements back to the parent's value:
    // the fallen-back text, or the unparsed remainder of a level that stopped early.
    void finish() {
        if (finished_) return;
        finished_ = true;
        string_view t = raw_.view();
        size_t start = leftover_ != npos ? leftover_ : skipBlanks(t, pos_);
        if (start >= t.size()) return;
        if (parent_->value != nullptr)  // the parent got a value meanwhile: keep both
            slotOf(parent_).append(t.substr(start));
        else
            slotOf(parent_).put(raw_.sub(start, t.size() - start));
    }

private:
    void fallBack(size_t at, const char *what) {
        string_view rest = raw_.view().substr(at);
        KX_LOGS("kx_Xml_analyze", "%s:\"%.*s\".", what, logLen(rest), rest.data());
        rep_.malformed = true;
        leftover_ = at;
        done_ = true;
    }

    Node *parent_;
    Text raw_;
    ParseReport &rep_;
    size_t pos_ = 0;
    size_t leftover_ = npos;  // start of text that falls back into the parent's value
    bool done_ = false;
    bool finished_ = false;
};

Node *Level::next(Text &content) {
    content = Text();
    if (done_) return nullptr;
    string_view t = raw_.view();
    size_t p = skipBlanks(t, pos_);
    pos_ = p;
    if (p >= t.size()) {
        done_ = true;
        return nullptr;
    }
    size_t lt = t.find('<', p);
    if (lt == npos) {  // text after the last element
        leftover_ = p;
        done_ = true;
        return nullptr;
    }
    if (lt > p) {
        string_view dropped = t.substr(p, lt - p);
        KX_LOGS("kx_Xml_analyze", "Text between elements dropped:\"%.*s\".", logLen(dropped), dropped.data());
        rep_.malformed = true;
    }
    size_t gt = tagEnd(t, lt + 1, t.size());
    if (gt == npos || gt == lt + 1 || isBlank(t[lt + 1]) || t[lt + 1] == '/') {
        fallBack(lt, "Invalid tag");
        return nullptr;
    }
    string_view inner = t.substr(lt + 1, gt - lt - 1);
    bool selfClosing = inner.back() == '/';
    if (selfClosing) inner.remove_suffix(1);
    size_t nameEnd = 0;
    while (nameEnd < inner.size() && !isBlank(inner[nameEnd])) ++nameEnd;
    string_view name = inner.substr(0, nameEnd);
    // Names that would not read back the same once written, and markup that is no
    // element ("<!DOCTYPE", "<?pi"), are not elements.
    if (name.empty() || name.find_first_of("\"<") != npos || name[0] == '!' || name[0] == '?' ||
        name.back() == '/') {
        fallBack(lt, "Invalid tag");
        return nullptr;
    }
    size_t contentStart = gt + 1, contentEnd = gt + 1, next = gt + 1;
    if (!selfClosing) {
        size_t c = findClose(t, gt + 1, name);
        if (c == npos) {
            fallBack(lt, "Unclosed element");
            return nullptr;
        }
        contentEnd = c;
        next = c + name.size() + 3;
    }
    Node *n = nodeCreate(parent_, name);
    parseAttributes(n, inner.substr(nameEnd), rep_);
    // The closing tag is not read again: its '<' ends the content's view.
    if (!selfClosing) raw_.data()[contentEnd] = '\0';
    size_t b = skipBlanks(t.substr(0, contentEnd), contentStart);
    if (b < contentEnd) {
        Text body = raw_.sub(b, contentEnd - b);
        if (t[b] == '<')
            content = std::move(body);
        else
            slotOf(n).put(std::move(body));  // text value, trailing blanks included
    }
    pos_ = next;
    rep_.parsed = true;
    return n;
}

// How the lazy engine sees these records.
struct Traits {
    using Node = kx_XmlNode;
    using Level = ::Level;
    static string_view name(const Node *n) { return n->name; }
    static uint32_t childCount(const Node *n) { return n->childCount; }
    static Node *child(const Node *n, uint32_t i) { return n->children[i]; }
    static uint32_t depth(const Node *n) { return n->depth; }
    static bool hasRaw(const Node *n) { return hasRawContent(n); }
    static kx::lazy::Slot slot(Node *n) { return slotOf(n); }
};

void analyzeBelow(Node *root, ParseReport &rep) { kx::lazy::analyzeBelow<Traits>(root, rep); }

// ---------------------------------------------------------------- lookups

std::vector<string_view> splitPath(const char *path) { return kx::lazy::splitPath(path); }

template <class Pred>
Node *findFirst(Node *start, const std::vector<string_view> &steps, Pred pred, ParseReport &rep) {
    return kx::lazy::findFirst<Traits>(start, steps, pred, rep);
}

void findAll(Node *start, const std::vector<string_view> &steps, std::vector<Node *> &out, ParseReport &rep) {
    kx::lazy::findAll<Traits>(start, steps, out, rep);
}

// ---------------------------------------------------------------- serialising

struct Writer {
    std::string out;
    const char *lineStart;
    const char *lineEnd;
    size_t step;
    bool properties;

    void open(const Node *n, size_t indent) {
        if (lineStart) out += lineStart;
        out.append(indent, ' ');
        out += '<';
        out += n->name;
        if (properties) {
            for (uint32_t i = 0; i < n->propertyCount; ++i) {
                out += ' ';
                out += n->properties[i].name;
                out += "=\"";
                out += n->properties[i].value;
                out += '"';
            }
        }
        out += '>';
    }

    void close(const Node *n, size_t indent) {
        out.append(valueOf(n));
        if (n->childCount) {
            if (lineStart) out += lineStart;
            out.append(indent, ' ');
        }
        out += "</";
        out += n->name;
        out += '>';
        if (lineEnd) out += lineEnd;
    }

    void element(const Node *root, size_t indent) {
        struct Frame {
            const Node *node;
            size_t indent;
            uint32_t next;
        };
        std::vector<Frame> st;
        open(root, indent);
        st.push_back({root, indent, 0});
        while (!st.empty()) {
            Frame &f = st.back();
            if (f.next < f.node->childCount) {
                const Node *c = f.node->children[f.next++];
                size_t ci = addSize(f.indent, step);
                open(c, ci);
                st.push_back({c, ci, 0});
                continue;
            }
            close(f.node, f.indent);
            st.pop_back();
        }
    }
};

std::string documentText(kx_Xml *doc, const char *lineStart, const char *lineEnd, uint32_t step, bool properties) {
    Writer w{{}, lineStart, lineEnd, step, properties};
    w.out += "<?xml version=\"";
    w.out += doc->version ? doc->version : "1.0";
    w.out += "\" encoding=\"";
    w.out += doc->encoding ? doc->encoding : "UTF-8";
    w.out += "\"?>";
    if (doc->comment) {
        if (lineStart) w.out += lineStart;
        w.out += "<!--";
        w.out += doc->comment;
        w.out += "-->";
        if (lineEnd) w.out += lineEnd;
    }
    Node *root = asNode(doc);
    for (uint32_t i = 0; i < root->childCount; ++i) w.element(root->children[i], 0);
    w.out.append(valueOf(root));
    return std::move(w.out);
}

char *heapCopy(const std::string &s) { return kx::lazy::heapText(s); }

// ---------------------------------------------------------------- loading

bool startsWith(string_view t, size_t p, string_view what) { return t.size() - p >= what.size() && t.substr(p, what.size()) == what; }

bool isXmlDeclaration(string_view t, size_t p) {
    if (t.size() - p <= 32) return false;
    return t[p] == '<' && t[p + 1] == '?' && (t[p + 2] | 0x20) == 'x' && (t[p + 3] | 0x20) == 'm' &&
           (t[p + 4] | 0x20) == 'l' && isBlank(t[p + 5]);
}

bool equalsIgnoreCase(string_view a, string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + ('a' - 'A'));
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + ('a' - 'A'));
        if (x != y) return false;
    }
    return true;
}

// name=value pairs of the declaration. Names match in any case; values keep
// theirs, so a document writes back the encoding name it was read with.
void parseDeclaration(kx_Xml *doc, string_view d) {
    size_t p = 0;
    for (;;) {
        p = skipBlanks(d, p);
        if (p >= d.size()) return;
        size_t e = p;
        while (e < d.size() && d[e] != '=' && !isBlank(d[e])) ++e;
        string_view name = d.substr(p, e - p);
        size_t q = skipBlanks(d, e);
        if (q >= d.size() || d[q] != '=') {  // a word without a value
            p = e == p ? p + 1 : e;
            continue;
        }
        q = skipBlanks(d, q + 1);
        string_view value;
        if (q < d.size() && d[q] == '"') {
            size_t z = d.find('"', q + 1);
            if (z == npos) z = d.size();
            value = d.substr(q + 1, z - q - 1);
            p = z + 1;
        } else {
            size_t z = q;
            while (z < d.size() && !isBlank(d[z])) ++z;
            value = d.substr(q, z - q);
            p = z;
        }
        bool isVersion = equalsIgnoreCase(name, "version"), isEncoding = equalsIgnoreCase(name, "encoding");
        if ((isVersion || isEncoding) && value.find('"') != npos) {
            // A bare value with a quote would be written back as a different value.
            KX_LOGS("kx_Xml_new_from_string_buffer__IO", "Invalid declaration value:\"%.*s\".", logLen(value),
                    value.data());
            continue;
        }
        if (isVersion) {
            if (doc->version)
                KX_LOGS("kx_Xml_new_from_string_buffer__IO", "Second version.");
            else
                doc->version = copyText(value.data(), value.size());
        } else if (isEncoding) {
            if (doc->encoding)
                KX_LOGS("kx_Xml_new_from_string_buffer__IO", "Second encoding.");
            else
                doc->encoding = copyText(value.data(), value.size());
        }
    }
}

size_t skipProcessingInstructions(string_view t, size_t p) {
    for (;;) {
        size_t q = skipBlanks(t, p);
        if (!startsWith(t, q, "<?")) return p;
        size_t e = t.find("?>", q + 2);
        if (e == npos) return p;
        p = e + 2;
    }
}

kx_Xml *documentCreate() { return kx::lazy::documentRecord<kx_Xml>(KX_XML_KIND_DOCUMENT); }

void documentFree(kx_Xml *doc) {
    if (doc == nullptr) return;
    Node *root = asNode(doc);
    childrenFree(root);
    slotOf(root).clear();
    free(doc->comment);
    free(doc->version);
    free(doc->encoding);
    pthread_mutex_destroy(&doc->mutex);
    free(doc);
}

struct DocumentGuard {
    kx_Xml *doc;
    ~DocumentGuard() { documentFree(doc); }
    kx_Xml *release() {
        kx_Xml *d = doc;
        doc = nullptr;
        return d;
    }
};

kx_Xml *load(string_view t) {
    while (!t.empty() && t.back() == '\0') t.remove_suffix(1);
    if (size_t z = t.find('\0'); z != npos) {
        KX_LOGS("kx_Xml_new_from_string_buffer__IO", "Invalid data.");
        return nullptr;
    }
    size_t s = t.find('<');
    if (s == npos) {
        KX_LOGS("kx_Xml_new_from_string_buffer__IO", "Invalid data.");
        return nullptr;
    }
    DocumentGuard g{documentCreate()};
    kx_Xml *doc = g.doc;
    size_t p = s;
    if (isXmlDeclaration(t, s)) {
        size_t gt = t.find('>', s + 5);
        if (gt == npos || t[gt - 1] != '?') {
            KX_LOGS("kx_Xml_new_from_string_buffer__IO", "Invalid data.");
            return nullptr;
        }
        parseDeclaration(doc, t.substr(s + 5, gt - 1 - (s + 5)));
        p = gt + 1;
    }
    p = skipProcessingInstructions(t, p);
    size_t q = skipBlanks(t, p);
    if (startsWith(t, q, "<!--")) {
        size_t e = t.find("-->", q + 4);
        if (e == npos) {
            KX_LOGS("kx_Xml_new_from_string_buffer__IO", "Invalid comment.");
            return nullptr;
        }
        doc->comment = copyText(t.data() + q + 4, e - q - 4);
        p = skipProcessingInstructions(t, e + 3);
    }
    // The body without its comments, written straight into the document's block.
    // Cutting a comment can join the text around it into a new "<!--" (as in
    // "<<!--c-->!--"); the cut works on what it has written so far, so such an opener
    // starts a comment too and the body never holds one: written back, it reads the
    // same. An unterminated comment fails the load: kept as text, it would swallow
    // whatever a later write puts after it.
    string_view rest = t.substr(p);
    char *block = kx::lazy::Block::make(rest.size());
    Text body(block, block, 0);
    size_t len = 0;
    for (size_t i = 0;;) {
        size_t c = rest.find("<!--", i);
        // An opener that starts in the text already written and ends in what follows.
        size_t joined = 0;
        for (size_t k = 3; k > 0 && joined == 0; --k)
            if (len >= k && string_view(block + len - k, k) == string_view("<!--", k) &&
                rest.substr(i, 4 - k) == string_view("<!--" + k, 4 - k))
                joined = k;
        size_t from;
        if (joined) {
            len -= joined;
            from = i + 4 - joined;
        } else if (c == npos) {
            memcpy(block + len, rest.data() + i, rest.size() - i);
            len += rest.size() - i;
            break;
        } else {
            memcpy(block + len, rest.data() + i, c - i);
            len += c - i;
            from = c + 4;
        }
        size_t e = rest.find("-->", from);
        if (e == npos) {
            KX_LOGS("kx_Xml_new_from_string_buffer__IO", "Invalid comment.");
            return nullptr;
        }
        i = e + 3;
    }
    // Processing instructions that a cut comment brought to the front are skipped as
    // the ones right after the leading comment are.
    string_view whole(block, len);
    size_t front = skipBlanks(whole, skipProcessingInstructions(whole, 0));
    string_view trimmed = trimBlanks(whole.substr(front));
    if (!trimmed.empty()) {
        block[trimmed.data() + trimmed.size() - block] = '\0';
        slotOf(asNode(doc)).put(body.sub(static_cast<size_t>(trimmed.data() - block), trimmed.size()));
    }
    return g.release();
}

// ---------------------------------------------------------------- boundary

// The node an operation works on: node itself, or the document for null.
Node *target(kx_Xml *doc, kx_XmlNode *node) { return node != nullptr ? node : (doc ? asNode(doc) : nullptr); }

bool isElement(const Node *n) { return n != nullptr && n->kind == KX_XML_KIND_NODE; }

// True when node is an element of doc (its parent chain ends at doc).
bool belongsTo(kx_Xml *doc, const Node *node) {
    if (doc == nullptr || !isElement(node)) return false;
    const Node *n = node;
    while (n->parent != nullptr) n = n->parent;
    return n == asNode(doc);
}

void nodeDetach(Node *n) { kx::lazy::detach(n); }

// Deletes every element below root with that name in one pass (each parent's
// array is compacted once).
uint32_t deleteByName(Node *root, string_view name) {
    uint32_t removed = 0;
    std::vector<Node *> stack{root};
    while (!stack.empty()) {
        Node *n = stack.back();
        stack.pop_back();
        uint32_t keep = 0;
        for (uint32_t i = 0; i < n->childCount; ++i) {
            Node *c = n->children[i];
            if (name == c->name) {
                subtreeFree(c);
                ++removed;
            } else {
                n->children[keep++] = c;
            }
        }
        if (keep != n->childCount) {
            n->childCount = keep;
            if (keep == 0) {
                free(n->children);
                n->children = nullptr;
            }
        }
        for (uint32_t i = n->childCount; i-- > 0;) stack.push_back(n->children[i]);
    }
    return removed;
}

// First element below root with that name, in document order.
Node *findByName(Node *root, string_view name) {
    std::vector<Node *> stack;
    for (uint32_t i = root->childCount; i-- > 0;) stack.push_back(root->children[i]);
    while (!stack.empty()) {
        Node *n = stack.back();
        stack.pop_back();
        if (name == n->name) return n;
        for (uint32_t i = n->childCount; i-- > 0;) stack.push_back(n->children[i]);
    }
    return nullptr;
}

// Checks a caller's "name\0value\0" block; a null value means empty.
bool propertyBlockValid(char *name, char *&value) {
    if (name == nullptr) return false;
    if (value == nullptr) value = name + strlen(name);
    return true;
}

}  // namespace

// ================================================================ exported

extern "C" {

KX_API kx_Xml *kx_Xml_new__IO(void) {
    return guarded<kx_Xml *>(__func__, nullptr, [] { return documentCreate(); });
}

KX_API kx_Xml *kx_Xml_new_from_string_buffer__IO(size_t length, const char *buffer) {
    if (buffer == nullptr && length != 0) {
        KX_LOGS("kx_Xml_new_from_string_buffer__IO", "Invalid data.");
        return nullptr;
    }
    return guarded<kx_Xml *>(__func__, nullptr, [&] { return load(string_view(buffer ? buffer : "", length)); });
}

KX_API kx_Xml *kx_Xml_new_from_string__IO(const char *text) {
    if (text == nullptr) {
        KX_LOGS("kx_Xml_new_from_string_buffer__IO", "Invalid data.");
        return nullptr;
    }
    return kx_Xml_new_from_string_buffer__IO(strlen(text), text);
}

KX_API kx_Xml *kx_Xml_new_from_file__IO(const char *path) {
    if (path == nullptr) return nullptr;
    std::string data;
    bool opened = false;
    int err = 0;
    bool ok = guarded<bool>(__func__, false, [&] { return kx::lazy::readFile(path, data, opened, err); });
    if (!ok) {
        if (!opened)
            KX_LOGS("kx_Xml_new_from_file__IO", "Open the file:\"%s\"error:\"%s\".", path, kx::errtext(err));
        else
            KX_LOGS("kx_Xml_new_from_file__IO", "Read the file:\"%s\"error:\"%s\".", path, kx::errtext(err));
        return nullptr;
    }
    return kx_Xml_new_from_string_buffer__IO(data.size(), data.data());
}

KX_API void kx_Xml_delete__OI(kx_Xml *doc) { documentFree(doc); }

KX_API kx_XmlNode *kx_Xml_analyzeAll(kx_Xml *doc, kx_XmlNode *node) {
    Node *n = target(doc, node);
    if (n == nullptr) return nullptr;
    return guarded<Node *>(__func__, nullptr, [&]() -> Node * {
        ParseReport rep;
        analyzeBelow(n, rep);
        return rep.parsed ? n : nullptr;
    });
}

KX_API int kx_Xml_analyzeAll_check(kx_Xml *doc, kx_XmlNode *node) {
    Node *n = target(doc, node);
    if (n == nullptr) return -3;
    return guarded<int>(__func__, -3, [&] {
        ParseReport rep;
        analyzeBelow(n, rep);
        return rep.malformed ? -1 : rep.nested ? -2 : 1;
    });
}

KX_API kx_String *kx_Xml_to_String__IO(kx_Xml *doc, uint32_t reserveBefore, uint32_t reserveAfter,
                                       const char *lineStart, const char *lineEnd, uint32_t indentStep) {
    if (doc == nullptr) return nullptr;
    return guarded<kx_String *>(__func__, nullptr, [&]() -> kx_String * {
        return kx::lazy::stringWithRoom(documentText(doc, lineStart, lineEnd, indentStep, true), reserveBefore,
                                         reserveAfter);
    });
}

KX_API char *kx_Xml_to_string__IO(kx_Xml *doc, const char *lineStart, const char *lineEnd, uint32_t indentStep) {
    if (doc == nullptr) return nullptr;
    return guarded<char *>(__func__, nullptr,
                           [&] { return heapCopy(documentText(doc, lineStart, lineEnd, indentStep, true)); });
}

KX_API char *kx_Xml_to_string_noProperty__IO(kx_Xml *doc, const char *lineStart, const char *lineEnd,
                                             uint32_t indentStep) {
    if (doc == nullptr) return nullptr;
    return guarded<char *>(__func__, nullptr,
                           [&] { return heapCopy(documentText(doc, lineStart, lineEnd, indentStep, false)); });
}

KX_API signed char kx_Xml_save_to_file(kx_Xml *doc, const char *path, const char *lineStart, const char *lineEnd,
                                       uint32_t indentStep) {
    if (doc == nullptr || path == nullptr) return -3;
    std::string text;
    if (!guarded<bool>(__func__, false, [&] {
            text = documentText(doc, lineStart, lineEnd, indentStep, true);
            return true;
        }))
        return -3;
    FILE *f = fopen(path, "wb");
    if (f == nullptr) {
        KX_LOGE("Open the file:\"%s\" error:\"%s\".", path, kx::errtext(errno));
        return -1;
    }
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    int err = errno;
    if (fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        KX_LOGE("Write the file:\"%s\" error:\"%s\".", path, kx::errtext(err));
        return -2;
    }
    return 1;
}

KX_API kx_XmlNode *kx_Xml_node_addChild1(kx_Xml *doc, kx_XmlNode *parent, uint32_t nameLength, const char *name) {
    Node *p = target(doc, parent);
    if (p == nullptr || name == nullptr) {
        KX_LOGE("Invalid parameter.");
        return nullptr;
    }
    const void *nul = memchr(name, '\0', nameLength);
    size_t len = nul ? static_cast<size_t>(static_cast<const char *>(nul) - name) : nameLength;
    if (len == 0) {
        KX_LOGE("Empty element name.");
        return nullptr;
    }
    return guarded<Node *>(__func__, nullptr, [&] { return nodeCreate(p, string_view(name, len)); });
}

KX_API kx_XmlNode *kx_Xml_node_addChild(kx_Xml *doc, kx_XmlNode *parent, const char *name) {
    if (name == nullptr) {
        KX_LOGE("Invalid parameter.");
        return nullptr;
    }
    size_t len = strlen(name);
    if (len > UINT32_MAX) {
        KX_LOGE("Element name too long.");
        return nullptr;
    }
    return kx_Xml_node_addChild1(doc, parent, static_cast<uint32_t>(len), name);
}

KX_API kx_XmlNode *kx_Xml_node_addChild_with_data(kx_Xml *doc, kx_XmlNode *parent, const char *name,
                                                  const char *value) {
    Node *n = kx_Xml_node_addChild(doc, parent, name);
    if (n == nullptr || value == nullptr) return n;
    bool ok = guarded<bool>(__func__, false, [&] {
        slotOf(n).setCopy(value);
        return true;
    });
    if (!ok) {
        nodeDetach(n);
        subtreeFree(n);
        return nullptr;
    }
    return n;
}

KX_API kx_XmlNode *kx_Xml_node_addChild_with_data_and_a_property(kx_Xml *doc, kx_XmlNode *parent, const char *name,
                                                                 const char *value, const char *propertyName,
                                                                 const char *propertyValue) {
    Node *n = kx_Xml_node_addChild_with_data(doc, parent, name, value);
    if (n == nullptr || propertyName == nullptr) return n;
    bool ok = guarded<bool>(__func__, false, [&] {
        propertyAppend(n, propertyMake(propertyName, propertyValue ? propertyValue : ""));
        return true;
    });
    if (!ok) {
        nodeDetach(n);
        subtreeFree(n);
        return nullptr;
    }
    return n;
}

KX_API int kx_Xml_node_add_value(kx_XmlNode *node, const char *text) {
    if (node == nullptr || text == nullptr) return -1;
    return guarded<int>(__func__, -1, [&] {
        slotOf(node).append(text);
        return 1;
    });
}

KX_API int kx_Xml_node_add_value__OI_2(kx_XmlNode *node, char *text) {
    if (node == nullptr || text == nullptr) {
        free(text);
        return -1;
    }
    return guarded<int>(__func__, -1, [&] {
        kx::lazy::Slot s = slotOf(node);
        char *t = text;
        text = nullptr;  // taken over below, even when that throws
        if (s.empty()) {
            valueAdoptHeap(node, t);
        } else {
            try {
                s.append(t);
            } catch (...) {
                free(t);
                throw;
            }
            free(t);
        }
        return 1;
    });
}

KX_API int kx_Xml_node_set_value(kx_Xml *doc, kx_XmlNode *node, const char *text) {
    Node *n = target(doc, node);
    if (n == nullptr) return -1;
    return guarded<int>(__func__, -1, [&] {
        Text copy = text && *text ? Text::copy(text) : Text();  // text may lie inside the subtree
        childrenFree(n);
        slotOf(n).put(std::move(copy));
        return 1;
    });
}

KX_API int kx_Xml_node_set_value__IO_3(kx_Xml *doc, kx_XmlNode *node, char *text) {
    Node *n = target(doc, node);
    if (n == nullptr) {
        free(text);
        return -1;
    }
    return guarded<int>(__func__, -1, [&] {
        char *t = text;
        text = nullptr;
        Text copy;
        try {
            if (t && *t) copy = Text::copy(t);
        } catch (...) {
            free(t);
            throw;
        }
        free(t);
        childrenFree(n);
        slotOf(n).put(std::move(copy));
        return 1;
    });
}

KX_API int kx_Xml_node_property_add(kx_XmlNode *node, const char *name, const char *value) {
    if (!isElement(node) || name == nullptr) {
        KX_LOGE("Invalid parameter.");
        return -1;
    }
    return guarded<int>(__func__, -1, [&] {
        propertyAppend(node, propertyMake(name, value ? value : ""));
        return 1;
    });
}

KX_API int kx_Xml_node_property_add__OI_2(kx_XmlNode *node, char *name, char *value) {
    if (!isElement(node) || !propertyBlockValid(name, value)) {
        KX_LOGE("Invalid parameter.");
        free(name);
        return -1;
    }
    return guarded<int>(__func__, -1, [&] {
        propertyAppend(node, kx_XmlProperty{name, value});
        return 1;
    });
}

KX_API int kx_Xml_node_property_set(kx_XmlNode *node, const char *name, const char *value) {
    if (!isElement(node) || name == nullptr) {
        KX_LOGE("Invalid parameter.");
        return -1;
    }
    return guarded<int>(__func__, -1, [&] { return propertySet(node, propertyMake(name, value ? value : "")); });
}

KX_API int kx_Xml_node_property_set__OI_2(kx_XmlNode *node, char *name, char *value) {
    if (!isElement(node) || !propertyBlockValid(name, value)) {
        KX_LOGE("Invalid parameter.");
        free(name);
        return -1;
    }
    return guarded<int>(__func__, -1, [&] { return propertySet(node, kx_XmlProperty{name, value}); });
}

KX_API int kx_Xml_node_property_delete(kx_XmlNode *node, const char *name) {
    if (!isElement(node) || name == nullptr) return -1;
    int i = propertyFindLast(node, name);
    if (i < 0) return -1;
    free(node->properties[i].name);
    arrayRemoveAt(node->properties, node->propertyCount, static_cast<uint32_t>(i));
    return 1;
}

KX_API const char *kx_Xml_node_property_get(const kx_XmlNode *node, const char *name) {
    if (!isElement(node) || name == nullptr) return nullptr;
    int i = propertyFindLast(node, name);
    return i < 0 ? nullptr : node->properties[i].value;
}

KX_API int kx_Xml_node_delete(kx_Xml *doc, kx_XmlNode *node) {
    if (!belongsTo(doc, node)) {
        KX_LOGE("The node is not an element of the document.");
        return -1;
    }
    nodeDetach(node);
    subtreeFree(node);
    return 1;
}

KX_API int kx_Xml_node_delete_child(kx_Xml *doc, kx_XmlNode *node) {
    Node *n = target(doc, node);
    if (n == nullptr) return -1;
    childrenFree(n);
    return 1;
}

KX_API uint32_t kx_Xml_node_delete_by_name(kx_Xml *doc, const char *name) {
    if (doc == nullptr || name == nullptr) return 0;
    return guarded<uint32_t>(__func__, 0, [&] { return deleteByName(asNode(doc), name); });
}

KX_API uint32_t kx_Xml_node_delete_by_leafName(kx_Xml *doc, const char *name) {
    return kx_Xml_node_delete_by_name(doc, name);
}

KX_API int kx_Xml_node_delete_by_leafName_first(kx_Xml *doc, const char *name) {
    if (doc == nullptr || name == nullptr) return 0;
    return guarded<int>(__func__, 0, [&] {
        Node *n = findByName(asNode(doc), name);
        if (n == nullptr) return 0;
        nodeDetach(n);
        subtreeFree(n);
        return 1;
    });
}

KX_API kx_XmlNode *kx_Xml_node_get_first(kx_Xml *doc, kx_XmlNode *node, const char *path) {
    Node *n = target(doc, node);
    if (n == nullptr || path == nullptr) return nullptr;
    return guarded<Node *>(__func__, nullptr, [&] {
        ParseReport rep;
        return findFirst(n, splitPath(path), [](Node *) { return true; }, rep);
    });
}

KX_API kx_XmlNode *kx_Xml_node_get_first_with_a_lastProperty(kx_Xml *doc, kx_XmlNode *node, const char *path,
                                                             const char *propertyName, const char *propertyValue) {
    Node *n = target(doc, node);
    if (n == nullptr || path == nullptr || propertyName == nullptr || propertyValue == nullptr) return nullptr;
    return guarded<Node *>(__func__, nullptr, [&] {
        ParseReport rep;
        auto pred = [&](Node *c) {
            const char *v = kx_Xml_node_property_get(c, propertyName);
            return v != nullptr && strcmp(v, propertyValue) == 0;
        };
        return findFirst(n, splitPath(path), pred, rep);
    });
}

KX_API kx_XmlNode *kx_Xml_node_get_first_with_a_value(kx_Xml *doc, kx_XmlNode *node, const char *path,
                                                      const char *value) {
    Node *n = target(doc, node);
    if (n == nullptr || path == nullptr || value == nullptr) return nullptr;
    return guarded<Node *>(__func__, nullptr, [&] {
        ParseReport rep;
        string_view want(value);
        return findFirst(n, splitPath(path), [&](Node *c) { return valueOf(c) == want; }, rep);
    });
}

KX_API kx_ObjectList *kx_Xml_node_get_all__IO(kx_Xml *doc, kx_XmlNode *node, const char *path) {
    Node *n = target(doc, node);
    if (n == nullptr || path == nullptr) return nullptr;
    return guarded<kx_ObjectList *>(__func__, nullptr, [&]() -> kx_ObjectList * {
        ParseReport rep;
        std::vector<Node *> found;
        findAll(n, splitPath(path), found, rep);
        return found.empty() ? nullptr : kx::lazy::toObjectList(found);
    });
}

KX_API char *kx_Xml_node_get_value_string_first__IO(kx_Xml *doc, kx_XmlNode *node, const char *path) {
    Node *c = kx_Xml_node_get_first(doc, node, path);
    if (c == nullptr) return nullptr;
    return guarded<char *>(__func__, nullptr, [&] {
        ParseReport rep;
        analyzeBelow(c, rep);  // raw content would carry its attributes and layout
        Writer w{{}, nullptr, nullptr, 0, false};
        for (uint32_t i = 0; i < c->childCount; ++i) w.element(c->children[i], 0);
        w.out.append(valueOf(c));
        return heapCopy(w.out);
    });
}

KX_API long kx_Xml_node_get_value_number_first(kx_Xml *doc, kx_XmlNode *node, const char *path, long *result) {
    if (result == nullptr) return 0;
    Node *c = kx_Xml_node_get_first(doc, node, path);
    if (c == nullptr) return *result;
    string_view v = valueOf(c);
    if (v.empty()) return *result;
    long value = 0;
    for (char ch : v) {
        if (ch < '0' || ch > '9') return *result;
        int d = ch - '0';
        if (value > (LONG_MAX - d) / 10) {
            KX_LOGE("Number out of range:\"%.*s\".", logLen(v), v.data());
            return *result;
        }
        value = value * 10 + d;
    }
    *result = value;
    return value;
}

KX_API kx_XmlNode *kx_Xml_node_resolve_next_childNode(kx_Xml *doc, kx_XmlNode *node) {
    Node *n = target(doc, node);
    if (n == nullptr || !kx::lazy::canOpen<Traits>(n)) return nullptr;
    return guarded<Node *>(__func__, nullptr, [&] {
        ParseReport rep;
        kx::lazy::Cursor<Traits> r(n, rep);
        Node *c = nullptr;
        try {
            c = r.next();
        } catch (...) {
            r.finish();
            throw;
        }
        r.finish();
        return c;
    });
}

KX_API char *kx_Xml_node_to_string__IO(const kx_XmlNode *node, const char *lineStart, const char *lineEnd,
                                       uint32_t indent, uint32_t indentStep) {
    if (!isElement(node)) return nullptr;
    return guarded<char *>(__func__, nullptr, [&] {
        Writer w{{}, lineStart, lineEnd, indentStep, true};
        w.element(node, indent);
        return heapCopy(w.out);
    });
}

KX_API char *kx_Xml_node_get_value__IO(const kx_XmlNode *node, const char *lineStart, const char *lineEnd,
                                       uint32_t indent, uint32_t indentStep) {
    if (node == nullptr) return nullptr;
    return guarded<char *>(__func__, nullptr, [&] {
        Writer w{{}, lineStart, lineEnd, indentStep, true};
        for (uint32_t i = 0; i < node->childCount; ++i) w.element(node->children[i], indent);
        w.out.append(valueOf(node));
        return heapCopy(w.out);
    });
}

}  // extern "C"
