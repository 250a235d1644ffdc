// kx_Ebml: the library's binary documents.
//
// A parsed document keeps one copy of its content. Containers hold views into it until a
// search or a walk reaches them; one level parser turns a container's raw content into
// its direct children (child containers stay raw views, so every byte is looked at once
// however deep the nesting). Integer and floating values are copied into their nodes;
// other leaves share the content bytes. Shared bytes are reference counted per block,
// so a node keeps what it points into alive on its own.
//
// Nothing recurses: parsing, searching, copying, serialising and freeing use explicit
// work lists or parent pointers. Running out of memory or a size that does not fit
// throws inside and becomes a logged failure result at the exported boundary.
#include "kx/ebml.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "container/ebml_internal.hpp"
#include "core/bytereader.hpp"
#include "core/log.hpp"
#include "doc/lazy.hpp"
#include "kx/objectlist.h"
#include "kx/string.h"
#include "kx/stringbuilder.h"

namespace kx::ebml {

using kx::lazy::addSize;
using kx::lazy::Block;
using kx::lazy::Text;
using kx::lazy::xmalloc;

static_assert(KX_EBML_NESTING_LIMIT == kx::lazy::kNestingLimit);

// ---------------------------------------------------------------- node records

Node *asNode(kx_Ebml *doc) { return &doc->root; }

bool isContainer(const Node *n) { return KX_EBML_KIND(n->type) == KX_EBML_TYPE_CONTAINER; }
bool isScalar(uint32_t type) {
    uint32_t k = KX_EBML_KIND(type);
    return k == KX_EBML_TYPE_INTEGER || k == KX_EBML_TYPE_FLOAT;
}

kx::lazy::Slot rawSlot(Node *n) { return {n->raw, n->rawLength, n->rawBlock}; }

namespace {

// Scalars point at their own 8 bytes; other nodes hold nothing.
void dataDrop(Node *n) {
    Block::release(n->dataBlock);
    n->dataBlock = nullptr;
    n->data = isScalar(n->type) ? reinterpret_cast<unsigned char *>(&n->scalar) : nullptr;
    n->lenth = isScalar(n->type) ? 8 : 0;
    if (isScalar(n->type)) n->scalar = 0;
}

// Takes a view (at most UINT32_MAX bytes) as the node's own data.
void dataPut(Node *n, Text &&t) {
    if (t.size() > UINT32_MAX) throw kx::lazy::SizeError();
    if (t.empty()) {
        Text drop(std::move(t));
        dataDrop(n);
        return;
    }
    Block::release(n->dataBlock);
    n->dataBlock = t.block();
    n->data = reinterpret_cast<unsigned char *>(t.data());
    n->lenth = static_cast<uint32_t>(t.size());
    t.forget();
}

void nodeFreeSelf(Node *n) {
    for (uint32_t i = 0; i < n->propertyCount; ++i) free(n->properties[i].name);
    free(n->properties);
    free(n->children);
    Block::release(n->dataBlock);
    Block::release(n->rawBlock);
    free(n);
}

}  // namespace

void subtreeFree(Node *root) { kx::lazy::subtreeFree(root, nodeFreeSelf); }

// A new node appended to parent (a container). Scalars start as 8 zero bytes.
Node *nodeCreate(Node *parent, std::string_view name, uint32_t type) {
    auto *n = static_cast<Node *>(xmalloc(addSize(sizeof(Node), addSize(name.size(), 1))));
    memset(n, 0, sizeof(Node));
    n->name = reinterpret_cast<char *>(n + 1);
    if (!name.empty()) memcpy(n->name, name.data(), name.size());
    n->name[name.size()] = '\0';
    n->type = type;
    n->parent = parent;
    n->depth = parent->depth == UINT32_MAX ? UINT32_MAX : parent->depth + 1;
    if (isScalar(type)) {
        n->data = reinterpret_cast<unsigned char *>(&n->scalar);
        n->lenth = 8;
    }
    try {
        kx::lazy::arrayAppend(parent->children, parent->childCount, n);
    } catch (...) {
        free(n);
        throw;
    }
    return n;
}

void propertyAppend(Node *n, std::string_view name, const char *value, size_t valueLength) {
    size_t size = addSize(addSize(name.size(), 1), addSize(valueLength, 1));
    char *block = static_cast<char *>(xmalloc(size));
    if (!name.empty()) memcpy(block, name.data(), name.size());
    block[name.size()] = '\0';
    char *v = block + name.size() + 1;
    if (valueLength) memcpy(v, value, valueLength);
    v[valueLength] = '\0';
    try {
        kx::lazy::arrayAppend(n->properties, n->propertyCount, kx_EbmlProperty{block, value ? v : nullptr});
    } catch (...) {
        free(block);
        throw;
    }
}

// Copies bytes as the node's data, after the type's rules.
void dataSetCopy(Node *n, const void *bytes, size_t length) {
    if (isScalar(n->type)) {
        dataDrop(n);
        if (length) memcpy(&n->scalar, bytes, 8);
        return;
    }
    if (length == 0) {
        dataDrop(n);
        return;
    }
    bool addNul =
        KX_EBML_KIND(n->type) == KX_EBML_TYPE_TEXT && static_cast<const unsigned char *>(bytes)[length - 1] != 0;
    size_t total = addSize(length, addNul ? 1 : 0);
    char *b = Block::make(total);
    memcpy(b, bytes, length);
    b[total - 1] = addNul ? '\0' : b[total - 1];
    dataPut(n, Text(b, b, total));
}

void dataAdopt(Node *n, void *block, size_t length) {
    try {
        dataSetCopy(n, block, length);
    } catch (...) {
        free(block);
        throw;
    }
    free(block);
}

// ---------------------------------------------------------------- level parser

namespace {

constexpr uint64_t kTypeLimit = KX_EBML_VINT_LIMIT;

// Turns a container's raw content into its children one at a time. A child container
// gets its content as a view; other leaves share the bytes (a text without its NUL and
// the scalars are copied). Bytes that do not parse as a node end the level and become
// the container's own data.
class Level {
public:
    Level(Node *parent, Text raw, kx::lazy::Report &rep) : parent_(parent), raw_(std::move(raw)), rep_(rep) {}

    Node *next(Text &content) {
        if (ended_) return nullptr;
        kx::ByteReader r(raw_.data() + pos_, raw_.size() - pos_);
        Node *c = r.empty() ? nullptr : one(r, content);
        if (c == nullptr) {
            ended_ = true;
            return nullptr;
        }
        pos_ += r.pos();
        rep_.parsed = true;
        return c;
    }

    void finish() {
        size_t left = raw_.size() - pos_;
        Text rest = left ? raw_.sub(pos_, left) : Text();
        raw_ = Text();
        if (!ended_) {
            rawSlot(parent_).put(std::move(rest));
            return;
        }
        if (left) rep_.malformed = true;
        dataPut(parent_, std::move(rest));
    }

private:
    Node *one(kx::ByteReader &r, Text &content) {
        const char *name;
        size_t nameLength;
        uint64_t type, propertyCount, contentLength;
        if (!r.cstr(&name, &nameLength) || !r.lowVint(&type) || type == 0 || type >= kTypeLimit ||
            !r.lowVint(&propertyCount) || !r.lowVint(&contentLength))
            return nullptr;
        // Each property takes at least two bytes: a count the rest cannot hold is not a node.
        if (propertyCount > r.remaining() / 2) return nullptr;
        // Checked first, taken after the node exists: no list of them is needed.
        size_t propertiesAt = r.pos();
        for (uint64_t i = 0; i < propertyCount; ++i) {
            const char *p = nullptr, *v = nullptr;
            size_t pl = 0, vl = 0;
            if (!r.cstr(&p, &pl) || pl == 0 || !r.cstr(&v, &vl)) return nullptr;
        }
        size_t propertiesEnd = r.pos();
        if (!r.fits(contentLength)) return nullptr;
        if (isScalar(static_cast<uint32_t>(type)) && contentLength != 8) {
            KX_LOGS("kx_Ebml_analyze", "Invalid Lenth(=%lu).", static_cast<unsigned long>(contentLength));
            return nullptr;
        }
        const uint8_t *bytes = r.bytes(contentLength);
        size_t at = static_cast<size_t>(reinterpret_cast<const char *>(bytes) - raw_.data());
        Node *n = nodeCreate(parent_, std::string_view(name, nameLength), static_cast<uint32_t>(type));
        try {
            kx::ByteReader pr(r.data() + propertiesAt, propertiesEnd - propertiesAt);
            for (uint64_t i = 0; i < propertyCount; ++i) {
                const char *p = nullptr, *v = nullptr;
                size_t pl = 0, vl = 0;
                pr.cstr(&p, &pl);
                pr.cstr(&v, &vl);
                propertyAppend(n, std::string_view(p, pl), v, vl);
            }
            // The bytes list the most recently added property first.
            std::reverse(n->properties, n->properties + n->propertyCount);
            if (isScalar(n->type)) {
                memcpy(&n->scalar, bytes, 8);
            } else if (contentLength == 0) {
            } else if (isContainer(n)) {
                content = raw_.sub(at, static_cast<size_t>(contentLength));
            } else if (KX_EBML_KIND(n->type) == KX_EBML_TYPE_TEXT && bytes[contentLength - 1] != 0) {
                dataSetCopy(n, bytes, static_cast<size_t>(contentLength));
            } else {
                dataPut(n, raw_.sub(at, static_cast<size_t>(contentLength)));
            }
        } catch (...) {
            kx::lazy::arrayRemoveAt(parent_->children, parent_->childCount, parent_->childCount - 1);
            subtreeFree(n);
            throw;
        }
        return n;
    }

    Node *parent_;
    Text raw_;
    kx::lazy::Report &rep_;
    size_t pos_ = 0;
    bool ended_ = false;
};

struct Traits {
    using Node = kx_EbmlNode;
    using Level = kx::ebml::Level;
    static std::string_view name(const Node *n) { return n->name; }
    static uint32_t childCount(const Node *n) { return n->childCount; }
    static Node *child(const Node *n, uint32_t i) { return n->children[i]; }
    static uint32_t depth(const Node *n) { return n->depth; }
    static bool hasRaw(const Node *n) { return n->rawLength != 0; }
    static kx::lazy::Slot slot(Node *n) { return rawSlot(n); }
};

}  // namespace

// Parses one more child out of n's raw content, or with all the rest of its level;
// returns the last child parsed.
Node *openLevel(Node *n, bool all) {
    if (!kx::lazy::canOpen<Traits>(n)) return nullptr;
    kx::lazy::Report rep;
    kx::lazy::Cursor<Traits> c(n, rep);
    Node *last = nullptr;
    try {
        while (Node *child = c.next()) {
            last = child;
            if (!all) break;
        }
    } catch (...) {
        c.finish();
        throw;
    }
    c.finish();
    return last;
}

Node *parseNext(Node *n) { return openLevel(n, false); }

void ensureParsed(Node *n) { openLevel(n, true); }

int analyzeBelow(Node *root) {
    kx::lazy::Report rep;
    kx::lazy::analyzeBelow<Traits>(root, rep);
    return rep.malformed ? -1 : rep.nested ? -2 : 1;
}

// ---------------------------------------------------------------- document

kx_Ebml *documentCreate(uint32_t encodeMethod, uint32_t documentTag) {
    auto *doc = static_cast<kx_Ebml *>(xmalloc(sizeof(kx_Ebml)));
    memset(doc, 0, sizeof(kx_Ebml));
    static char emptyName[1] = "";
    doc->root.name = emptyName;
    doc->root.type = KX_EBML_TYPE_CONTAINER;
    doc->version = 1;
    doc->encodeMethod = encodeMethod;
    doc->documentTag = documentTag;
    pthread_mutex_init(&doc->mutex, nullptr);
    return doc;
}

void documentFree(kx_Ebml *doc) {
    if (doc == nullptr) return;
    Node *root = asNode(doc);
    for (uint32_t i = 0; i < root->childCount; ++i) subtreeFree(root->children[i]);
    free(root->children);
    for (uint32_t i = 0; i < root->propertyCount; ++i) free(root->properties[i].name);
    free(root->properties);
    Block::release(root->dataBlock);
    Block::release(root->rawBlock);
    pthread_mutex_destroy(&doc->mutex);
    free(doc);
}

bool belongsTo(kx_Ebml *doc, const Node *node) {
    if (doc == nullptr || node == nullptr) return false;
    return node == asNode(doc) || kx::lazy::isBelow(static_cast<const Node *>(asNode(doc)), node);
}

void nodeDetach(Node *n) { kx::lazy::detach(n); }

// ---------------------------------------------------------------- numbers and check words

uint32_t checkWordFactor() { return 381719109u; }

uint8_t checkByte(uint64_t t) { return static_cast<uint8_t>((t + (t >> 8) + (t >> 16) + (t >> 24)) & 0xFF); }

size_t vintSize(uint64_t v) { return v < (1u << 7) ? 1 : v < (1u << 14) ? 2 : v < (1u << 21) ? 3 : 4; }

// Writes v (below 2^28) at out; returns the bytes written.
size_t vintPut(unsigned char *out, uint64_t v) {
    size_t n = vintSize(v);
    uint64_t stored = (v << n) | (uint64_t(1) << (n - 1));
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(stored >> (8 * i));
    return n;
}

// Refuses a value the format cannot carry, with a record.
bool vintFits(uint64_t v, const char *what) {
    if (v < KX_EBML_VINT_LIMIT) return true;
    KX_LOGE("Invalid %s(=%llu): not below 2^28.", what, static_cast<unsigned long long>(v));
    return false;
}

// ---------------------------------------------------------------- serialiser

namespace {

uint64_t propertyBytes(const Node *n) {
    uint64_t total = 0;
    for (uint32_t i = 0; i < n->propertyCount; ++i) {
        const kx_EbmlProperty &p = n->properties[i];
        total += strlen(p.name) + 1 + (p.value ? strlen(p.value) : 0) + 1;
    }
    return total;
}

}  // namespace

bool contentPlan(const Node *root, std::vector<Item> &items) {
    std::vector<std::pair<const Node *, size_t>> stack{{root, SIZE_MAX}};
    while (!stack.empty()) {
        auto [n, parent] = stack.back();
        stack.pop_back();
        items.push_back(Item{n, parent, 0, 0, 0});
        size_t self = items.size() - 1;
        for (uint32_t i = n->childCount; i-- > 0;) stack.push_back({n->children[i], self});
    }
    // Children follow their parent in this order: sizes go bottom-up from the end.
    for (size_t i = items.size(); i-- > 0;) {
        Item &it = items[i];
        const Node *n = it.node;
        it.content += n->rawLength + n->lenth;  // after the children: raw content, own data
        if (i == 0) {
            it.full = it.content;
            break;
        }
        if (!vintFits(it.content, "content length") || !vintFits(n->propertyCount, "property count") ||
            !vintFits(n->type, "node type"))
            return false;
        it.full = strlen(n->name) + 1 + vintSize(n->type) + vintSize(n->propertyCount) + vintSize(it.content) +
                  propertyBytes(n) + it.content;
        items[it.parent].content += it.full;
    }
    return true;
}

void contentWrite(std::vector<Item> &items, unsigned char *out) {
    items[0].cursor = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        Item &it = items[i];
        const Node *n = it.node;
        uint64_t at;
        if (i == 0) {
            at = 0;
        } else {
            Item &p = items[it.parent];
            at = p.cursor;
            p.cursor += it.full;
            unsigned char *w = out + at;
            size_t nameLength = strlen(n->name);
            memcpy(w, n->name, nameLength + 1);
            w += nameLength + 1;
            w += vintPut(w, n->type);
            w += vintPut(w, n->propertyCount);
            w += vintPut(w, it.content);
            for (uint32_t k = n->propertyCount; k-- > 0;) {
                const kx_EbmlProperty &pr = n->properties[k];
                size_t a = strlen(pr.name) + 1;
                memcpy(w, pr.name, a);
                w += a;
                size_t b = pr.value ? strlen(pr.value) : 0;
                if (b) memcpy(w, pr.value, b);
                w[b] = 0;
                w += b + 1;
            }
            at = static_cast<uint64_t>(w - out);
        }
        it.cursor = at;
        uint64_t end = i == 0 ? it.full : at + it.content;
        if (n->rawLength) memcpy(out + end - n->lenth - n->rawLength, n->raw, n->rawLength);
        if (n->lenth) memcpy(out + end - n->lenth, n->data, n->lenth);
    }
}

bool layoutFor(kx_Ebml *doc, std::vector<Item> &items, Layout &l) {
    if (!contentPlan(asNode(doc), items)) return false;
    l.content = items[0].full;
    uint64_t mix = l.content & 127;
    l.versionField = 1 ^ mix;
    l.encodeField = (doc->encodeMethod ^ mix);
    if (!vintFits(l.encodeField, "encodeMethod")) return false;
    l.t = l.content + vintSize(l.versionField) + vintSize(l.encodeField);
    if (!vintFits(l.t, "document length")) return false;
    l.header = 4 + vintSize(l.t) + vintSize(l.versionField) + vintSize(l.encodeField);
    l.total = l.header + l.content + 1;
    return true;
}

void headerWrite(kx_Ebml *doc, const Layout &l, unsigned char *out) {
    uint32_t word = static_cast<uint32_t>(l.t) * checkWordFactor() ^ doc->documentTag;
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(word >> (8 * i));
    size_t at = 4;
    at += vintPut(out + at, l.t);
    at += vintPut(out + at, l.versionField);
    vintPut(out + at, l.encodeField);
}

// Scrambles (or unscrambles) size bytes in place with the builder's keystream for a
// document of total bytes; returns the XOR of the plain bytes.
uint8_t scramble(unsigned char *bytes, size_t size, uint64_t total, const char *password, bool plainIn) {
    // Pieces as the serialiser lays them out: check byte, content, header.
    std::unique_ptr<kx_StringBuilder, void (*)(kx_StringBuilder *)> b(kx_StringBuilder_new__IO(),
                                                                     kx_StringBuilder_delete__OI);
    if (!b) throw std::bad_alloc();
    static const char one[1] = {0};
    size_t headerBytes = static_cast<size_t>(total - size - 1);
    std::string header(headerBytes, '\0');
    if (zr7ee_StringBuilder_apend_String__OI_3(b.get(), 1, one) < 0 ||
        zr7ee_StringBuilder_apend_String__OI_3(b.get(), static_cast<uint32_t>(size), reinterpret_cast<char *>(bytes)) < 0 ||
        zr7ee_StringBuilder_apend_String__OI_3(b.get(), static_cast<uint32_t>(headerBytes), header.data()) < 0)
        throw std::bad_alloc();
    uint8_t plain = 0;
    if (plainIn)
        for (size_t i = 0; i < size; ++i) plain ^= bytes[i];
    if (size && kx_StringBuilder_to_String_encryption_reverse(b.get(), reinterpret_cast<char *>(bytes), password, 1, 1) < 0)
        throw std::runtime_error("scrambling failed");
    if (!plainIn)
        for (size_t i = 0; i < size; ++i) plain ^= bytes[i];
    return plain;
}

bool hasPassword(const char *password) { return password != nullptr && password[0] != '\0'; }

// Writes the whole document at out (l.total bytes).
void documentWrite(kx_Ebml *doc, std::vector<Item> &items, const Layout &l, unsigned char *out, const char *password) {
    headerWrite(doc, l, out);
    unsigned char *content = out + l.header;
    contentWrite(items, content);
    uint8_t check = checkByte(l.t);
    if (hasPassword(password)) check ^= scramble(content, static_cast<size_t>(l.content), l.total, password, true);
    out[l.total - 1] = check;
}

// ---------------------------------------------------------------- document parser

long documentLength(size_t length, const unsigned char *bytes) {
    kx::ByteReader r(bytes, length);
    uint64_t t;
    size_t tSize;
    if (!r.skip(4) || !r.lowVint(&t, &tSize)) {
        KX_LOGE("Invalid numberBits(=%hhu/%lu).", length > 4 ? bytes[4] : static_cast<unsigned char>(0),
                static_cast<unsigned long>(length));
        return -1;
    }
    return static_cast<long>(4 + tSize + t + 1);
}

kx_Ebml *documentParse(size_t length, const unsigned char *bytes, const char *password) {
    if (length < 8) {
        KX_LOGE("Invalid lenth(=%lu).", static_cast<unsigned long>(length));
        return nullptr;
    }
    kx::ByteReader r(bytes, length);
    uint32_t word = 0;
    uint64_t t;
    size_t tSize;
    r.le32(&word);
    if (!r.lowVint(&t, &tSize)) {
        KX_LOGE("Invalid len(%hhu,%lu).", bytes[4], static_cast<unsigned long>(length));
        return nullptr;
    }
    if (!r.fits(t) || !r.fits(t + 1)) {
        KX_LOGE("Invalid len(=%lu,%hhu,%lu).", static_cast<unsigned long>(t), static_cast<unsigned char>(tSize),
                static_cast<unsigned long>(length));
        return nullptr;
    }
    kx::ByteReader body = r.sub(t);
    uint8_t check = 0;
    r.u8(&check);
    uint64_t versionField, encodeField;
    size_t vSize, eSize;
    if (!body.lowVint(&versionField, &vSize) || !body.lowVint(&encodeField, &eSize)) {
        KX_LOGE("Invalid len(=%lu,%hhu,%lu).", static_cast<unsigned long>(t), static_cast<unsigned char>(tSize),
                static_cast<unsigned long>(length));
        return nullptr;
    }
    uint64_t n = body.remaining();
    uint64_t mix = n & 127;
    if ((versionField ^ mix) != 1) {
        KX_LOGE("Invalid version(=%lu).", static_cast<unsigned long>(versionField ^ mix));
        return nullptr;
    }
    uint64_t encodeMethod = encodeField ^ mix;
    if (encodeMethod != 1 && encodeMethod != 2) {
        KX_LOGE("Invalid encodeMethod(=%lu).", static_cast<unsigned long>(encodeMethod));
        return nullptr;
    }
    if (n > UINT32_MAX) {
        KX_LOGE("Invalid len(=%lu,%hhu,%lu).", static_cast<unsigned long>(t), static_cast<unsigned char>(tSize),
                static_cast<unsigned long>(length));
        return nullptr;
    }
    uint32_t tag = static_cast<uint32_t>(t) * checkWordFactor() ^ word;
    std::unique_ptr<kx_Ebml, void (*)(kx_Ebml *)> doc(documentCreate(static_cast<uint32_t>(encodeMethod), tag),
                                                     documentFree);
    uint8_t expected = checkByte(t);
    if (n) {
        char *block = Block::make(static_cast<size_t>(n));
        rawSlot(asNode(doc.get())).put(Text(block, block, static_cast<size_t>(n)));
        auto *content = reinterpret_cast<unsigned char *>(block);
        memcpy(content, body.cur(), static_cast<size_t>(n));
        if (hasPassword(password))
            expected ^= scramble(content, static_cast<size_t>(n), 4 + tSize + t + 1, password, false);
    }
    if (check != expected) {
        KX_LOGE("Invalid check data.");
        return nullptr;
    }
    return doc.release();
}

// ---------------------------------------------------------------- paths

std::vector<std::string_view> splitPath(const char *path) { return kx::lazy::splitPath(path); }

void walkPath(Node *start, const std::vector<std::string_view> &steps, size_t from, bool first, const Pred &pred,
              std::vector<Node *> &out) {
    if (from >= steps.size()) return;
    std::vector<std::string_view> rest(steps.begin() + static_cast<std::ptrdiff_t>(from), steps.end());
    std::vector<Node *> found;
    kx::lazy::Report rep;
    kx::lazy::findAll<Traits>(start, rest, found, rep);
    for (Node *n : found) {
        if (pred && !pred(n)) continue;
        out.push_back(n);
        if (first) return;
    }
}

void findChild(Node *start, const std::vector<std::string_view> &steps, bool first, const Pred &pred,
               std::vector<Node *> &out) {
    if (steps.empty()) return;
    std::vector<Node *> stack{start};
    bool atStart = true;
    while (!stack.empty()) {
        Node *n = stack.back();
        stack.pop_back();
        if (!atStart && steps[0] == n->name) {
            // A match is not searched for the same name again.
            if (steps.size() == 1) {
                if (pred && !pred(n)) continue;
                out.push_back(n);
                if (first) return;
            } else {
                size_t before = out.size();
                walkPath(n, steps, 1, first, pred, out);
                if (first && out.size() > before) return;
            }
            continue;
        }
        atStart = false;
        if (!isContainer(n)) continue;
        ensureParsed(n);
        for (uint32_t i = n->childCount; i-- > 0;) stack.push_back(n->children[i]);
    }
}

// ---------------------------------------------------------------- copies

Node *copyInto(Node *parent, const Node *source) {
    Node *top = nullptr;
    std::vector<std::pair<const Node *, Node *>> stack{{source, parent}};
    while (!stack.empty()) {
        auto [src, dst] = stack.back();
        stack.pop_back();
        Node *c = nodeCreate(dst, src->name, src->type);
        if (top == nullptr) top = c;
        for (uint32_t i = 0; i < src->propertyCount; ++i) {
            const kx_EbmlProperty &p = src->properties[i];
            propertyAppend(c, p.name, p.value, p.value ? strlen(p.value) : 0);
        }
        if (src->lenth) dataSetCopy(c, src->data, src->lenth);
        if (src->rawLength) rawSlot(c).put(Text::copy(std::string_view(src->raw, src->rawLength)));
        for (uint32_t i = src->childCount; i-- > 0;) stack.push_back({src->children[i], c});
    }
    return top;
}

// ---------------------------------------------------------------- text forms

std::string textForm(const Node *n, bool &has) {
    has = true;
    switch (KX_EBML_KIND(n->type)) {
    case KX_EBML_TYPE_TEXT:
        if (n->lenth == 0) break;
        return std::string(reinterpret_cast<const char *>(n->data), strnlen(reinterpret_cast<const char *>(n->data), n->lenth));
    case KX_EBML_TYPE_BYTES: {
        if (n->lenth == 0) break;
        kx_String *s = kx_String_buffer_encode_by_base64__IO(n->lenth, n->data);
        if (s == nullptr) throw std::bad_alloc();
        std::string out(s->buffer ? s->buffer : "", s->lenth);
        kx_String_delete__OI(s);
        return out;
    }
    case KX_EBML_TYPE_INTEGER: {
        char buf[32];
        snprintf(buf, sizeof buf, "%lld", static_cast<long long>(integerOf(n)));
        return buf;
    }
    case KX_EBML_TYPE_FLOAT: {
        double d = doubleOf(n);
        char buf[512];
        if (n->type == KX_EBML_TYPE_TIME && d > -1e15 && d < 1e15) {
            time_t sec = static_cast<time_t>(d);
            if (static_cast<double>(sec) > d) --sec;
            int usec = static_cast<int>((d - static_cast<double>(sec)) * 1e6);
            if (usec > 999999) usec = 999999;
            struct tm tmv;
            if (localtime_r(&sec, &tmv) != nullptr) {
                snprintf(buf, sizeof buf, "%d-%02d-%02d %02d:%02d:%02d.%06d", tmv.tm_year + 1900, tmv.tm_mon + 1,
                         tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, usec);
                return buf;
            }
        }
        snprintf(buf, sizeof buf, "%lf", d);
        return buf;
    }
    default:
        break;
    }
    has = false;
    return std::string();
}

int64_t integerOf(const Node *n) {
    uint64_t v = 0;
    for (int i = 8; i-- > 0;) v = (v << 8) | n->data[i];
    return static_cast<int64_t>(v);
}

double doubleOf(const Node *n) {
    uint64_t v = static_cast<uint64_t>(integerOf(n));
    double d;
    memcpy(&d, &v, 8);
    return d;
}

void scalarSet(Node *n, uint64_t v) {
    dataDrop(n);
    for (int i = 0; i < 8; ++i) n->data[i] = static_cast<unsigned char>(v >> (8 * i));
}

bool isElementOf(kx_Ebml *doc, const Node *n) { return n != nullptr && n != asNode(doc) && belongsTo(doc, n); }

Node *target(kx_Ebml *doc, kx_EbmlNode *node) { return node ? node : (doc ? asNode(doc) : nullptr); }

}  // namespace kx::ebml
