// The lazy document engine shared by the XML, JSON and EBML documents.
//
// A loaded document keeps its text in one reference-counted block. A node whose content
// has not been parsed yet holds a counted view into that block; parsing one level cuts
// the children's views out of the parent's view, so lookups that parse one element at a
// time cost no copy at any depth: a document stays at one copy of its text plus its
// nodes. Engines may write terminators into the block at places that no view covers
// any more (the byte that ends a cut-out child, for instance), which keeps text views
// NUL-terminated without copying them.
//
// Nothing here recurses. Full parses run over work stacks, lookups over frame stacks,
// freeing walks parent pointers, so input nested as deep as its length allows cannot
// exhaust a worker thread's small stack. Contents deeper than kNestingLimit stay raw.
//
// Sizes are size_t with overflow checks. Running out of memory, or a size that does not
// fit, throws inside an engine; guarded() turns that into a logged failure result at
// the exported boundary, so no exception crosses the C API.
//
// An engine describes its records to the templates below with a traits class:
//
//   struct Traits {
//       using Node = ...;                              // node record (the document casts to it)
//       static std::string_view name(const Node *);
//       static uint32_t childCount(const Node *);
//       static Node *child(const Node *, uint32_t i);
//       static uint32_t depth(const Node *);          // 0 for the document, 1 for its children
//       static bool hasRaw(const Node *);             // unparsed content is left in the node
//       static Slot slot(Node *);                     // where the unparsed content lives
//       class Level {                                 // turns one node's raw content into children
//       public:
//           Level(Node *parent, Text raw, Report &rep);
//           // The next child, or null when no complete child remains. A child whose own
//           // content is still raw gets it in content (empty otherwise).
//           Node *next(Text &content);
//           // Hands what was not turned into children back to the parent.
//           void finish();
//       };
//   };
#pragma once

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <bit>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/log.hpp"
#include "kx/objectlist.h"
#include "kx/string.h"

namespace kx::lazy {

// Depth (the document's children are depth 1) from which contents are never parsed.
constexpr uint32_t kNestingLimit = 256;

inline bool underLimit(uint32_t depth) { return depth < kNestingLimit; }

// ---------------------------------------------------------------- sizes and memory

struct SizeError : std::length_error {
    SizeError() : std::length_error("size overflow") {}
};

inline size_t addSize(size_t a, size_t b) {
    if (a > SIZE_MAX - b) throw SizeError();
    return a + b;
}

inline size_t mulSize(size_t a, size_t b) {
    if (b != 0 && a > SIZE_MAX / b) throw SizeError();
    return a * b;
}

inline void *xmalloc(size_t n) {
    void *p = malloc(n ? n : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

inline void *xrealloc(void *block, size_t n) {
    void *p = realloc(block, n ? n : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

// Runs f; exceptions become a logged failure result.
template <class R, class F>
R guarded(const char *label, R failure, F &&f) {
    try {
        return f();
    } catch (const std::bad_alloc &) {
        KX_LOG_ERROR_AT(5, __LINE__, label, "Out of memory.");
    } catch (const std::exception &e) {
        KX_LOG_ERROR_AT(5, __LINE__, label, "Failed:\"%s\".", e.what());
    } catch (...) {
        KX_LOG_ERROR_AT(5, __LINE__, label, "Failed.");
    }
    return failure;
}

// ---------------------------------------------------------------- files and results

// The whole file, read without translation. False with err set (and the log records
// left to the caller) when it cannot be opened (opened false) or read.
inline bool readFile(const char *path, std::string &data, bool &opened, int &err) {
    FILE *f = fopen(path, "rb");
    opened = f != nullptr;
    if (f == nullptr) {
        err = errno;
        return false;
    }
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) data.append(chunk, n);
    bool ok = ferror(f) == 0;
    err = errno;
    fclose(f);
    return ok;
}

// A serialised text as a new string with reserveBefore zero bytes in front and
// reserveAfter behind; lenth counts all three, so it must fit 32 bits.
inline kx_String *stringWithRoom(const std::string &text, uint32_t reserveBefore, uint32_t reserveAfter) {
    size_t total = addSize(addSize(reserveBefore, text.size()), reserveAfter);
    if (total > UINT32_MAX) throw SizeError();
    kx_String *s = kx_String_new__IO(static_cast<uint32_t>(total));
    if (s == nullptr || s->buffer == nullptr) {
        if (s) kx_String_delete__OI(s);
        throw std::bad_alloc();
    }
    memset(s->buffer, 0, reserveBefore);
    if (!text.empty()) memcpy(s->buffer + reserveBefore, text.data(), text.size());
    memset(s->buffer + reserveBefore + text.size(), 0, reserveAfter);
    return s;
}

// Lookup results as a new object list in their order (the caller deletes the list).
template <class Node>
kx_ObjectList *toObjectList(const std::vector<Node *> &nodes) {
    kx_ObjectList *list = kx_ObjectList_new__IO(8);
    if (list == nullptr) throw std::bad_alloc();
    for (Node *n : nodes) {
        if (kx_ObjectList_insert_tail(list, n) < 0) {
            kx_ObjectList_delete__OI(list);
            throw std::bad_alloc();
        }
    }
    return list;
}

// A zeroed document record of the given kind with its mutex set up.
template <class Doc>
Doc *documentRecord(uint32_t kind) {
    Doc *doc = static_cast<Doc *>(xmalloc(sizeof(Doc)));
    memset(doc, 0, sizeof(Doc));
    doc->kind = kind;
    pthread_mutex_init(&doc->mutex, nullptr);
    return doc;
}

// A plain heap copy (malloc / free) of a text, NUL-terminated.
inline char *heapText(std::string_view text) {
    char *p = static_cast<char *>(xmalloc(addSize(text.size(), 1)));
    if (!text.empty()) memcpy(p, text.data(), text.size());
    p[text.size()] = '\0';
    return p;
}

// ---------------------------------------------------------------- shared text blocks

// A heap block of document bytes with a reference count, handled through a pointer to
// its bytes (so C records can keep it in a char * field). The bytes are followed by a
// NUL. Documents belong to one thread at a time, so the count is a plain integer.
class Block {
public:
    // A new block with room for size bytes (and the NUL), holding one reference.
    static char *make(size_t size) {
        Header *h = static_cast<Header *>(xmalloc(addSize(addSize(sizeof(Header), size), 1)));
        h->refs = 1;
        h->size = size;
        char *data = reinterpret_cast<char *>(h + 1);
        data[size] = '\0';
        return data;
    }
    static char *copy(std::string_view text) {
        char *data = make(text.size());
        if (!text.empty()) memcpy(data, text.data(), text.size());
        return data;
    }
    static void retain(char *data) noexcept {
        if (data) header(data)->refs++;
    }
    static void release(char *data) noexcept {
        if (data && --header(data)->refs == 0) free(header(data));
    }
    static size_t size(const char *data) { return header(const_cast<char *>(data))->size; }
    static size_t refs(const char *data) { return header(const_cast<char *>(data))->refs; }

private:
    struct Header {
        size_t refs;
        size_t size;
    };
    static Header *header(char *data) { return reinterpret_cast<Header *>(data) - 1; }
};

// A counted view of bytes inside a block: holds one reference on the block.
class Text {
public:
    Text() = default;
    // Takes over one reference on block; the view is [data, data + size).
    Text(char *block, char *data, size_t size) : block_(block), data_(data), size_(size) {}
    // A copy of text in a block of its own.
    static Text copy(std::string_view text) {
        char *b = Block::copy(text);
        return Text(b, b, text.size());
    }
    Text(Text &&o) noexcept : block_(o.block_), data_(o.data_), size_(o.size_) { o.forget(); }
    Text &operator=(Text &&o) noexcept {
        if (this != &o) {
            Block::release(block_);
            block_ = o.block_;
            data_ = o.data_;
            size_ = o.size_;
            o.forget();
        }
        return *this;
    }
    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;
    ~Text() { Block::release(block_); }

    char *block() const { return block_; }
    char *data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const { return std::string_view(data_, size_); }

    // A further counted view of size bytes at offset inside this one.
    Text sub(size_t offset, size_t size) const {
        Block::retain(block_);
        return Text(block_, data_ + offset, size);
    }
    // Gives up the reference without releasing it.
    void forget() {
        block_ = nullptr;
        data_ = nullptr;
        size_ = 0;
    }

private:
    char *block_ = nullptr;
    char *data_ = nullptr;
    size_t size_ = 0;
};

// The value fields of a C record: text at ptr, len bytes, inside the block (or all null).
struct Slot {
    char *&ptr;
    size_t &len;
    char *&block;

    std::string_view view() const { return ptr ? std::string_view(ptr, len) : std::string_view(); }
    bool empty() const { return ptr == nullptr || len == 0; }

    void clear() {
        Block::release(block);
        block = nullptr;
        ptr = nullptr;
        len = 0;
    }
    // Takes the value out as a counted view; the record keeps none.
    Text take() {
        Text t(block, ptr, len);
        block = nullptr;
        ptr = nullptr;
        len = 0;
        return t;
    }
    // Stores a view (an empty one clears).
    void put(Text &&t) {
        if (t.empty()) {
            Text drop(std::move(t));
            clear();
            return;
        }
        Block::release(block);
        block = t.block();
        ptr = t.data();
        len = t.size();
        t.forget();
    }
    void setCopy(std::string_view text) { put(Text::copy(text)); }  // text may lie in the old value
    void append(std::string_view text) {
        if (text.empty()) return;
        std::string_view old = view();
        size_t total = addSize(old.size(), text.size());
        char *b = Block::make(total);
        if (!old.empty()) memcpy(b, old.data(), old.size());
        memcpy(b + old.size(), text.data(), text.size());
        put(Text(b, b, total));
    }
};

// ---------------------------------------------------------------- growing arrays

// Arrays grow in powers of two (at least 4 entries); removals never shrink them, so the
// allocation always holds at least capacityFor(count) entries.
inline bool arrayFull(uint32_t count) { return count == 0 || (count >= 4 && std::has_single_bit(count)); }

template <class T>
void arrayAppend(T *&array, uint32_t &count, T item) {
    if (count == UINT32_MAX) throw SizeError();
    if (arrayFull(count)) {
        size_t capacity = count == 0 ? 4 : static_cast<size_t>(count) * 2;
        array = static_cast<T *>(xrealloc(array, mulSize(capacity, sizeof(T))));
    }
    array[count++] = item;
}

template <class T>
void arrayRemoveAt(T *&array, uint32_t &count, uint32_t index) {
    memmove(array + index, array + index + 1, static_cast<size_t>(count - index - 1) * sizeof(T));
    if (--count == 0) {
        free(array);
        array = nullptr;
    }
}

// ---------------------------------------------------------------- trees

// Frees root and everything below it, deepest last child first, without recursion or
// allocation. root must already be detached from its parent. freeSelf frees one node
// whose children are gone (it must not touch the parent).
template <class Node, class FreeSelf>
void subtreeFree(Node *root, FreeSelf freeSelf) {
    Node *n = root;
    for (;;) {
        while (n->childCount) n = n->children[n->childCount - 1];
        if (n == root) {
            freeSelf(n);
            return;
        }
        Node *p = n->parent;
        freeSelf(n);
        p->childCount--;
        n = p;
    }
}

template <class Node, class FreeSelf>
void childrenFree(Node *n, FreeSelf freeSelf) {
    for (uint32_t i = 0; i < n->childCount; ++i) subtreeFree(n->children[i], freeSelf);
    free(n->children);
    n->children = nullptr;
    n->childCount = 0;
}

// Unlinks n from its parent's children.
template <class Node>
void detach(Node *n) {
    Node *p = n->parent;
    for (uint32_t i = p->childCount; i-- > 0;) {
        if (p->children[i] == n) {
            arrayRemoveAt(p->children, p->childCount, i);
            return;
        }
    }
}

// True when the parent chain of node ends at root.
template <class Node>
bool isBelow(const Node *root, const Node *node) {
    const Node *n = node;
    while (n->parent != nullptr) n = n->parent;
    return n == root && node != root;
}

// ---------------------------------------------------------------- parsing

inline bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

inline size_t skipBlanks(std::string_view t, size_t p) {
    while (p < t.size() && isBlank(t[p])) ++p;
    return p;
}

// What a parse met.
struct Report {
    bool parsed = false;     // at least one child was created
    bool malformed = false;  // text fell back raw or was dropped (logged)
    bool nested = false;     // contents left raw at the nesting limit
};

// Parses node's raw content completely, level by level over a work stack. Contents at
// the nesting limit stay raw in their node.
template <class Tr>
void parseFull(typename Tr::Node *node, Report &rep) {
    using Node = typename Tr::Node;
    struct Work {
        Node *node;
        Text text;
    };
    std::vector<Work> work;
    work.push_back({node, Tr::slot(node).take()});
    while (!work.empty()) {
        Work w = std::move(work.back());
        work.pop_back();
        typename Tr::Level lv(w.node, std::move(w.text), rep);
        try {
            Text content;
            while (Node *c = lv.next(content)) {
                if (content.empty()) continue;
                if (underLimit(Tr::depth(c))) {
                    work.push_back({c, std::move(content)});
                } else {
                    rep.nested = true;
                    Tr::slot(c).put(std::move(content));
                }
            }
        } catch (...) {
            lv.finish();
            throw;
        }
        lv.finish();
    }
}

// Every node below (and including) root that still holds raw content is parsed.
template <class Tr>
void analyzeBelow(typename Tr::Node *root, Report &rep) {
    using Node = typename Tr::Node;
    std::vector<Node *> stack{root};
    while (!stack.empty()) {
        Node *n = stack.back();
        stack.pop_back();
        for (uint32_t i = Tr::childCount(n); i-- > 0;) stack.push_back(Tr::child(n, i));
        if (!Tr::hasRaw(n)) continue;
        if (!underLimit(Tr::depth(n))) {
            rep.nested = true;
            continue;
        }
        parseFull<Tr>(n, rep);
    }
}

// One node's raw content parsed child by child for a lookup; the children's own
// contents stay raw. finish() hands the rest back to the node.
template <class Tr>
class Cursor {
public:
    using Node = typename Tr::Node;
    Cursor(Node *n, Report &rep) : level_(n, Tr::slot(n).take(), rep) {}
    Node *next() {
        Text content;
        Node *c = level_.next(content);
        if (c != nullptr && !content.empty()) Tr::slot(c).put(std::move(content));
        return c;
    }
    void finish() { level_.finish(); }

private:
    typename Tr::Level level_;
};

template <class Tr>
bool canOpen(const typename Tr::Node *n) {
    return Tr::hasRaw(n) && underLimit(Tr::depth(n));
}

// ---------------------------------------------------------------- paths

// Names separated by one or more blanks; leading and trailing blanks allowed.
inline std::vector<std::string_view> splitPath(const char *path) {
    std::vector<std::string_view> steps;
    if (path == nullptr) return steps;
    std::string_view p(path);
    size_t i = 0;
    for (;;) {
        i = skipBlanks(p, i);
        if (i >= p.size()) break;
        size_t e = i;
        while (e < p.size() && !isBlank(p[e])) ++e;
        steps.push_back(p.substr(i, e - i));
        i = e;
    }
    return steps;
}

// First node at the end of the path below start for which pred holds. At each step the
// parsed children are tried from the last to the first (descending into each match in
// turn); then the raw content is parsed child by child, keeping every child parsed on the
// way, until one completes the path. Unparsed rests go back into their nodes.
template <class Tr, class Pred>
typename Tr::Node *findFirst(typename Tr::Node *start, const std::vector<std::string_view> &steps, Pred pred,
                             Report &rep) {
    using Node = typename Tr::Node;
    if (steps.empty()) return nullptr;
    struct Frame {
        Node *node;
        size_t step;
        uint32_t childIdx;  // parsed children still to try, from the last down
        Cursor<Tr> *raw;    // child-by-child parse of the raw content, once the children are tried
    };
    std::vector<Frame> st;
    Node *found = nullptr;
    auto unwind = [&] {
        while (!st.empty()) {  // hand every partly parsed raw content back
            if (Cursor<Tr> *r = st.back().raw) {
                st.back().raw = nullptr;
                r->finish();
                delete r;
            }
            st.pop_back();
        }
    };
    try {
        st.push_back({start, 0, Tr::childCount(start), nullptr});
        while (!st.empty()) {
            Frame &f = st.back();
            std::string_view want = steps[f.step];
            Node *cand = nullptr;
            if (f.raw == nullptr) {
                while (f.childIdx > 0) {
                    Node *c = Tr::child(f.node, --f.childIdx);
                    if (want == Tr::name(c)) {
                        cand = c;
                        break;
                    }
                }
                if (cand == nullptr) {
                    if (!canOpen<Tr>(f.node)) {
                        if (Tr::hasRaw(f.node)) rep.nested = true;
                        st.pop_back();
                        continue;
                    }
                    f.raw = new Cursor<Tr>(f.node, rep);
                }
            }
            if (cand == nullptr) {
                while (Node *c = f.raw->next()) {
                    if (want == Tr::name(c)) {
                        cand = c;
                        break;
                    }
                }
                if (cand == nullptr) {
                    Cursor<Tr> *r = f.raw;
                    f.raw = nullptr;
                    st.pop_back();
                    r->finish();
                    delete r;
                    continue;
                }
            }
            if (f.step + 1 == steps.size()) {
                if (pred(cand)) {
                    found = cand;
                    break;
                }
                continue;
            }
            size_t nextStep = f.step + 1;
            st.push_back({cand, nextStep, Tr::childCount(cand), nullptr});
        }
    } catch (...) {
        unwind();
        throw;
    }
    unwind();
    return found;
}

// Every node at the end of the path below start, in document order. Raw contents met on
// the way are parsed one level at a time (their children's contents stay raw).
template <class Tr>
void findAll(typename Tr::Node *start, const std::vector<std::string_view> &steps,
             std::vector<typename Tr::Node *> &out, Report &rep) {
    using Node = typename Tr::Node;
    if (steps.empty()) return;
    struct Frame {
        Node *node;
        size_t step;
        uint32_t idx;
        bool expanded;
    };
    std::vector<Frame> st{{start, 0, 0, false}};
    while (!st.empty()) {
        Frame &f = st.back();
        if (!f.expanded) {
            f.expanded = true;
            if (canOpen<Tr>(f.node)) {
                Cursor<Tr> r(f.node, rep);
                try {
                    while (r.next()) {
                    }
                } catch (...) {
                    r.finish();
                    throw;
                }
                r.finish();
            } else if (Tr::hasRaw(f.node)) {
                rep.nested = true;
            }
        }
        if (f.idx >= Tr::childCount(f.node)) {
            st.pop_back();
            continue;
        }
        Node *c = Tr::child(f.node, f.idx++);
        if (steps[f.step] != Tr::name(c)) continue;
        if (f.step + 1 == steps.size())
            out.push_back(c);
        else
            st.push_back({c, f.step + 1, 0, false});
    }
}

}  // namespace kx::lazy
