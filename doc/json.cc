// kx_Json: lazy JSON documents.
//
// A loaded document keeps its text in one shared block (doc/lazy.hpp) until it is
// analysed. Analysis is one forward pass over an explicit stack of open objects and
// arrays: members are created as their keys are read, and a string value becomes a
// view into the block, ended by a NUL written over its closing quote (a byte nothing
// reads again). Malformed text is copied raw into the member it belongs to, which
// writes it back in place; every such copy covers text that the pass does not read
// again, so a document costs at most one more copy of its text. Objects at the
// nesting limit are kept raw the same way. Nothing recurses: parsing, lookups,
// serialisation and freeing all run over explicit stacks or parent pointers.
#include "kx/json.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <bit>
#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/log.hpp"
#include "doc/lazy.hpp"
#include "kx/objectlist.h"
#include "kx/string.h"
#include "kx/stringbuilder.h"

namespace {

using Node = kx_JsonNode;
using std::string_view;
using kx::lazy::addSize;
using kx::lazy::guarded;
using kx::lazy::Report;
using kx::lazy::Text;
using kx::lazy::xmalloc;
constexpr size_t npos = string_view::npos;

static_assert(KX_JSON_NESTING_LIMIT == kx::lazy::kNestingLimit);

// The document must be usable wherever a node is expected.
static_assert(offsetof(kx_Json, text) == offsetof(kx_JsonNode, name));
static_assert(offsetof(kx_Json, value) == offsetof(kx_JsonNode, value));
static_assert(offsetof(kx_Json, childCount) == offsetof(kx_JsonNode, childCount));
static_assert(offsetof(kx_Json, kind) == offsetof(kx_JsonNode, kind));
static_assert(offsetof(kx_Json, children) == offsetof(kx_JsonNode, children));
static_assert(offsetof(kx_Json, parent) == offsetof(kx_JsonNode, parent));
static_assert(offsetof(kx_Json, valueBlock) == offsetof(kx_JsonNode, valueBlock));
static_assert(offsetof(kx_Json, valueLength) == offsetof(kx_JsonNode, valueLength));
static_assert(offsetof(kx_Json, depth) == offsetof(kx_JsonNode, depth));
static_assert(offsetof(kx_Json, flags) == offsetof(kx_JsonNode, flags));
static_assert(sizeof(kx_Json) >= sizeof(kx_JsonNode));

// ---------------------------------------------------------------- records

Node *asNode(kx_Json *doc) { return reinterpret_cast<Node *>(doc); }

kx::lazy::Slot slotOf(Node *n) { return {n->value, n->valueLength, n->valueBlock}; }

string_view valueOf(const Node *n) { return n->value ? string_view(n->value, n->valueLength) : string_view(); }

bool isRaw(const Node *n) { return (n->flags & KX_JSON_FLAG_RAW) && n->value != nullptr; }

// Raw text that parses as an object: an unparsed document or the rest of an object.
bool hasRawObject(const Node *n) { return isRaw(n) && n->valueLength > 0 && n->value[0] == '{'; }

// The rest of an array that could not be read.
bool hasRawArray(const Node *n) { return isRaw(n) && n->valueLength > 0 && n->value[0] == '['; }

// A member that ends its array: the rest of the array is raw, or the text ended inside it.
bool endsArray(const Node *n) { return hasRawArray(n) || (n->flags & KX_JSON_FLAG_OPEN_ARRAY); }

void setText(Node *n, Text &&t) {
    slotOf(n).put(std::move(t));
    n->flags &= ~KX_JSON_FLAG_RAW;
}

void setRaw(Node *n, Text &&t) {
    slotOf(n).put(std::move(t));
    if (n->value) n->flags |= KX_JSON_FLAG_RAW;
}

// Members made by a parse live in chunks that the document frees as a whole; members
// made by callers are heap blocks of their own.
constexpr uint32_t kInStore = 0x80000000u;

class NodeStore {
public:
    ~NodeStore() {
        while (chunks_) {
            Chunk *c = chunks_;
            chunks_ = c->next;
            free(c);
        }
    }
    void *allocate(size_t size) {
        size = addSize(size, 7) & ~static_cast<size_t>(7);
        if (chunks_ == nullptr || chunks_->size - chunks_->used < size) {
            next_ = next_ < kChunk ? next_ * 2 : kChunk;  // small documents stay small
            size_t room = size > next_ ? size : next_;
            Chunk *c = static_cast<Chunk *>(xmalloc(addSize(sizeof(Chunk), room)));
            c->next = chunks_;
            c->used = 0;
            c->size = room;
            chunks_ = c;
        }
        void *p = chunks_->data + chunks_->used;
        chunks_->used += size;
        return p;
    }

private:
    static constexpr size_t kChunk = 256u << 10;
    struct Chunk {
        Chunk *next;
        size_t used;
        size_t size;
        alignas(8) char data[];
    };
    Chunk *chunks_ = nullptr;
    size_t next_ = 2048;
};

// Sets up a member record of parent (not linked into parent's children).
Node *nodeInit(void *memory, Node *parent, string_view name, uint32_t flags) {
    Node *n = static_cast<Node *>(memory);
    memset(n, 0, sizeof(Node));
    n->name = reinterpret_cast<char *>(n + 1);
    if (!name.empty()) memcpy(n->name, name.data(), name.size());
    n->name[name.size()] = '\0';
    n->kind = KX_JSON_KIND_NODE;
    n->flags = flags;
    n->depth = parent->depth == UINT32_MAX ? UINT32_MAX : parent->depth + 1;
    n->parent = parent;
    return n;
}

Node *nodeCreate(Node *parent, string_view name) {
    size_t size = addSize(sizeof(Node), addSize(name.size(), 1));
    Node *n = nodeInit(xmalloc(size), parent, name, 0);
    try {
        kx::lazy::arrayAppend(parent->children, parent->childCount, n);
    } catch (...) {
        free(n);
        throw;
    }
    return n;
}

void nodeFreeSelf(Node *n) {
    free(n->children);
    kx::lazy::Block::release(n->valueBlock);
    if (n->flags & kInStore) {
        n->kind = 0;  // its memory goes with the document's store
        return;
    }
    free(n);
}

void subtreeFree(Node *root) { kx::lazy::subtreeFree(root, nodeFreeSelf); }

void childrenFree(Node *n) { kx::lazy::childrenFree(n, nodeFreeSelf); }

bool isMember(const Node *n) { return n != nullptr && n->kind == KX_JSON_KIND_NODE; }

Node *target(kx_Json *doc, kx_JsonNode *node) { return node != nullptr ? node : (doc ? asNode(doc) : nullptr); }

// ---------------------------------------------------------------- parsing

// The store of the document that n belongs to.
NodeStore &storeOf(Node *n) {
    while (n->parent) n = n->parent;
    kx_Json *doc = reinterpret_cast<kx_Json *>(n);
    if (doc->nodeStore == nullptr) doc->nodeStore = new NodeStore;
    return *static_cast<NodeStore *>(doc->nodeStore);
}

int logLen(string_view t) { return static_cast<int>(t.size() < 40 ? t.size() : 40); }

// One forward pass over the raw object text of a node (it starts with '{').
class Parser {
public:
    Parser(Node *root, Text raw, NodeStore &store, Report &rep)
        : raw_(std::move(raw)), t_(raw_.view()), store_(store), rep_(rep) {
        root->flags &= ~KX_JSON_FLAG_RAW;
        stack_.push_back({root, nullptr, 0, 0, false});
        pos_ = 1;
        try {
            run();
        } catch (...) {
            for (Node *n : pending_) subtreeFree(n);  // members not linked yet
            throw;
        }
    }

private:
    enum class State { Member, AfterValue, Element, FirstElement, AfterElement, Done };

    // An open object (member null) or array (member: the member taking the current
    // element; obj: the object holding the run of members). The members of the open
    // objects wait in pending_ (an object's from first on) and are linked into their
    // object, in one array, when it closes.
    struct Frame {
        Node *obj;
        Node *member;
        size_t first;         // objects: where their pending members start
        size_t elementStart;  // arrays: where the last element started
        bool elementNested;   // arrays: the last element was a nested array
    };

    Node *newMember(Node *obj, string_view name) {
        size_t size = addSize(sizeof(Node), addSize(name.size(), 1));
        Node *n = nodeInit(store_.allocate(size), obj, name, kInStore);
        try {
            pending_.push_back(n);
        } catch (...) {
            nodeFreeSelf(n);
            throw;
        }
        return n;
    }

    // Drops the member just made (it turned out malformed).
    void dropLast() {
        Node *n = pending_.back();
        pending_.pop_back();
        subtreeFree(n);
    }

    // Links the pending members of the object on top into it and closes it.
    void closeTop() {
        Frame f = stack_.back();
        size_t k = pending_.size() - f.first;
        if (k > 0) {
            Node *obj = f.obj;
            if (obj->childCount == 0) {
                if (k > UINT32_MAX) throw kx::lazy::SizeError();
                // Room as the growing arrays keep it, so later appends can go on.
                size_t room = std::bit_ceil(k < 4 ? size_t(4) : k);
                obj->children = static_cast<Node **>(xmalloc(kx::lazy::mulSize(room, sizeof(Node *))));
                memcpy(obj->children, pending_.data() + f.first, k * sizeof(Node *));
                obj->childCount = static_cast<uint32_t>(k);
            } else {
                for (size_t i = f.first; i < pending_.size(); ++i)
                    kx::lazy::arrayAppend(obj->children, obj->childCount, pending_[i]);
            }
            pending_.resize(f.first);
        }
        stack_.pop_back();
    }

    // The next ',' or the closing bracket from p on.
    size_t findStop(size_t p, char close) const {
        const char *d = t_.data();
        for (size_t n = t_.size(); p < n; ++p)
            if (d[p] == ',' || d[p] == close) return p;
        return npos;
    }

    bool ws(char c) const { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    size_t skipWs(size_t p) const {
        while (p < t_.size() && ws(t_[p])) ++p;
        return p;
    }

    void logError(size_t at) {
        string_view rest = t_.substr(at < t_.size() ? at : t_.size());
        KX_LOGS("kx_Json_analyzeAll_fast", "Error data:\"%.*s\".", logLen(rest), rest.data());
        rep_.malformed = true;
    }

    // End (just past the closing bracket) of the object or array that encloses from,
    // honouring strings and their escapes; npos when the text ends first.
    size_t enclosingEnd(size_t from) const {
        size_t depth = 1;
        for (size_t i = from; i < t_.size(); ++i) {
            char c = t_[i];
            if (c == '"') {
                for (++i; i < t_.size() && t_[i] != '"'; ++i)
                    if (t_[i] == '\\') ++i;
                if (i >= t_.size()) return npos;
            } else if (c == '{' || c == '[') {
                ++depth;
            } else if (c == '}' || c == ']') {
                if (--depth == 0) return i + 1;
            }
        }
        return npos;
    }

    // A raw copy of mark followed by the text from..end (end npos: to the end of the text).
    Text rawCopy(char mark, size_t from, size_t end) {
        size_t stop = end == npos ? t_.size() : end;
        size_t len = addSize(stop - from, 1);
        char *b = kx::lazy::Block::make(len);
        b[0] = mark;
        memcpy(b + 1, t_.data() + from, stop - from);
        return Text(b, b, len);
    }

    // What follows a closed object or array: the element loop of an enclosing array,
    // the member loop of an enclosing object, or the end.
    State resume() {
        if (stack_.empty()) return State::Done;
        return stack_.back().member ? State::AfterElement : State::AfterValue;
    }

    // Nothing left to read: every open object and array ends here.
    State exhausted() {
        while (!stack_.empty()) {
            const Frame &f = stack_.back();
            if (f.member) {
                f.member->flags |= KX_JSON_FLAG_OPEN_ARRAY;
                stack_.pop_back();
            } else {
                f.obj->flags |= KX_JSON_FLAG_OPEN_OBJECT;
                closeTop();
            }
        }
        pos_ = t_.size();
        return State::Done;
    }

    // The object on top could not be read from at on: it keeps "{" and the rest of it.
    State objectError(size_t at) {
        logError(at);
        Node *obj = stack_.back().obj;
        size_t end = enclosingEnd(at);
        Text rest = rawCopy('{', at, end);
        if (obj->value != nullptr)
            slotOf(obj).append(rest.view());
        else
            setRaw(obj, std::move(rest));
        closeTop();
        if (end == npos) return exhausted();
        pos_ = end;
        return resume();
    }

    // The array on top could not be read from at on: a member takes "[" and the rest
    // of it (a new one when the current member already holds an element).
    State arrayError(size_t at, bool newMember) {
        logError(at);
        Frame f = stack_.back();
        size_t end = enclosingEnd(at);
        Text rest = rawCopy('[', at, end);
        Node *m = newMember ? newMember_(f) : f.member;
        setRaw(m, std::move(rest));
        if (newMember) m->flags |= KX_JSON_FLAG_RAW_JOINED;  // no ',' was read before the rest
        stack_.pop_back();
        if (end == npos) return exhausted();
        pos_ = end;
        return State::AfterValue;
    }

    // A quoted value opened at open, the scan stopped at stop: the text up to the last
    // quote before stop, or up to stop when there is none. A missing closing quote and
    // text between it and stop are malformed (the text is not given back in place).
    void quoted(Node *m, size_t open, size_t stop) {
        size_t last = t_.substr(0, stop).rfind('"');
        size_t end = last > open ? last : stop;
        if (end == stop)
            logError(open);
        else if (skipWs(last + 1) < stop)
            logError(last + 1);
        size_t len = end - open - 1;
        if (len == 0) return;
        if (end == last) {
            raw_.data()[last] = '\0';  // the closing quote is not read again
            setText(m, raw_.sub(open + 1, len));
        } else {
            setText(m, Text::copy(t_.substr(open + 1, len)));  // stop is still to be read
        }
    }

    // An object value at v for member m: parsed, or kept raw at the nesting limit.
    // Returns the state to go on with.
    State objectValue(Node *m, size_t v, State after) {
        if (kx::lazy::underLimit(m->depth)) {
            stack_.push_back({m, nullptr, pending_.size(), 0, false});
            pos_ = v + 1;
            return State::Member;
        }
        rep_.nested = true;
        size_t end = enclosingEnd(v + 1);
        if (end == npos) logError(v);
        setRaw(m, rawCopy('{', v + 1, end));
        if (end == npos) return exhausted();
        pos_ = end;
        return after;
    }

    State member() {
        size_t q = skipWs(pos_);
        if (q >= t_.size() || t_[q] != '"') return objectError(q);
        size_t close = t_.find('"', q + 1);
        if (close == npos) return objectError(q);
        size_t colon = skipWs(close + 1);
        if (colon >= t_.size() || t_[colon] != ':') return objectError(q);
        Node *obj = stack_.back().obj;
        Node *m = newMember(obj, t_.substr(q + 1, close - q - 1));
        size_t v = skipWs(colon + 1);
        if (v >= t_.size()) {
            dropLast();
            return objectError(q);
        }
        char c = t_[v];
        if (c == '{') return objectValue(m, v, State::AfterValue);
        if (c == '[') {
            stack_.push_back({obj, m, 0, 0, false});
            pos_ = v + 1;
            return State::FirstElement;
        }
        size_t stop = findStop(c == '"' ? v + 1 : v, '}');
        if (stop == npos) {  // the text ends inside the value
            dropLast();
            return objectError(q);
        }
        if (c == '"') quoted(m, v, stop);
        pos_ = stop;
        return State::AfterValue;
    }

    State afterValue() {
        size_t q = findStop(pos_, '}');
        size_t junk = skipWs(pos_);
        if (q == npos) {  // the object is not closed
            logError(junk);
            return exhausted();
        }
        if (junk < q) logError(junk);  // text between a value and its separator is dropped
        pos_ = q + 1;
        if (t_[q] == ',') return State::Member;
        closeTop();
        return resume();
    }

    State element(bool first) {
        Frame &f = stack_.back();
        size_t q = skipWs(pos_);
        if (q >= t_.size()) return arrayError(q, false);
        char c = t_[q];
        if (first && c == ']') {  // empty array: the member has no value
            stack_.pop_back();
            pos_ = q + 1;
            return State::AfterValue;
        }
        f.elementStart = q;
        f.elementNested = c == '[';
        if (c == '{') return objectValue(f.member, q, State::AfterElement);
        size_t stop;
        if (c == '[') {  // a nested array gives no value
            stop = enclosingEnd(q + 1);
            if (stop == npos) return arrayError(q, false);
        } else {
            stop = findStop(c == '"' ? q + 1 : q, ']');
            if (stop == npos) return arrayError(q, false);
            if (c == '"') quoted(f.member, q, stop);
        }
        pos_ = stop;
        return State::AfterElement;
    }

    State afterElement() {
        Frame &f = stack_.back();
        size_t q = skipWs(pos_);
        if (q >= t_.size()) {  // the array is not closed
            logError(q);
            return exhausted();
        }
        if (t_[q] == ',') {
            f.member = newMember(f.obj, f.member->name);
            pos_ = q + 1;
            return State::Element;
        }
        if (t_[q] == ']') {
            stack_.pop_back();
            pos_ = q + 1;
            return State::AfterValue;
        }
        // A nested array is written as an empty value: the rest starts with it. Other
        // elements are written as read, and the rest follows them with its blanks.
        if (f.elementNested) return arrayError(f.elementStart, false);
        return arrayError(pos_, true);
    }

    void run() {
        State s = State::Member;
        while (s != State::Done) {
            switch (s) {
            case State::Member: s = member(); break;
            case State::AfterValue: s = afterValue(); break;
            case State::FirstElement: s = element(true); break;
            case State::Element: s = element(false); break;
            case State::AfterElement: s = afterElement(); break;
            case State::Done: break;
            }
        }
        size_t rest = skipWs(pos_);
        if (rest < t_.size()) logError(rest);  // text after the closing brace is dropped
    }

    Node *newMember_(const Frame &f) { return newMember(f.obj, f.member->name); }

    Text raw_;
    string_view t_;
    NodeStore &store_;
    Report &rep_;
    std::vector<Frame> stack_;
    std::vector<Node *> pending_;
    size_t pos_ = 0;
};

// How the lazy engine sees these records: a node's level is its whole raw object,
// parsed in one pass; its members come out one by one.
struct Traits {
    using Node = kx_JsonNode;
    class Level {
    public:
        Level(Node *n, Text raw, Report &rep) : node_(n), next_(n->childCount) {
            n->flags &= ~KX_JSON_FLAG_RAW;
            if (!raw.empty()) Parser parse(n, std::move(raw), storeOf(n), rep);
        }
        Node *next(Text &content) {
            content = Text();
            return next_ < node_->childCount ? node_->children[next_++] : nullptr;
        }
        void finish() {}

    private:
        Node *node_;
        uint32_t next_;
    };
    static string_view name(const Node *n) { return n->name; }
    static uint32_t childCount(const Node *n) { return n->childCount; }
    static Node *child(const Node *n, uint32_t i) { return n->children[i]; }
    static uint32_t depth(const Node *n) { return n->depth; }
    static bool hasRaw(const Node *n) { return hasRawObject(n); }
    static kx::lazy::Slot slot(Node *n) { return slotOf(n); }
};

// Analyses everything below root. Raw objects are parsed (again); what stays raw or
// open from an earlier parse (the rest of an array, a text that is no object, a text
// that ended inside a level) is reported malformed as well.
void analyze(Node *root, Report &rep) {
    kx::lazy::analyzeBelow<Traits>(root, rep);
    if (root->kind == KX_JSON_KIND_DOCUMENT && isRaw(root) && !hasRawObject(root)) {
        string_view v = valueOf(root);
        KX_LOGS("kx_Json_analyzeAll_fast", "Error data:\"%.*s\".", logLen(v), v.data());
        rep.malformed = true;
    }
    if (rep.malformed) return;
    std::vector<const Node *> stack{root};
    while (!stack.empty()) {
        const Node *n = stack.back();
        stack.pop_back();
        if (hasRawArray(n) || (n->flags & (KX_JSON_FLAG_OPEN_OBJECT | KX_JSON_FLAG_OPEN_ARRAY))) {
            rep.malformed = true;
            return;
        }
        for (uint32_t i = 0; i < n->childCount; ++i) stack.push_back(n->children[i]);
    }
}

std::vector<Node *> findAll(Node *start, const char *path) {
    Report rep;
    std::vector<Node *> found;
    kx::lazy::findAll<Traits>(start, kx::lazy::splitPath(path), found, rep);
    return found;
}

// ---------------------------------------------------------------- serialising

class Writer {
public:
    Writer(const char *lineStart, const char *lineEnd, uint32_t step)
        : ls_(lineStart), le_(lineEnd), step_(step) {}

    std::string document(const Node *doc) {
        if (doc->childCount == 0 && isRaw(doc)) {
            out_.append(valueOf(doc));  // an unparsed document is its text
        } else {
            open(doc, 0);
            run();
        }
        return std::move(out_);
    }

private:
    // An object body being written: its members from i on. While inRun, the members up
    // to runEnd (adjacent, with the same name) are written as the elements of one array.
    struct Frame {
        const Node *n;
        size_t indent;
        uint32_t i;
        uint32_t runEnd;
        bool inRun;
        bool firstElement;
    };

    void line(size_t indent) {
        if (ls_) out_ += ls_;
        out_.append(indent, ' ');
    }
    void end() {
        if (le_) out_ += le_;
    }
    void quotedText(string_view v) {
        out_ += '"';
        out_.append(v);
        out_ += '"';
    }
    // The raw rest of an object body, written in place of further members and the brace.
    static bool hasRest(const Node *n) { return isRaw(n) && n->childCount > 0; }

    void open(const Node *n, size_t indent) {
        out_ += '{';
        end();
        stack_.push_back({n, indent, 0, 0, false, false});
    }

    // The member line of child i ends: a comma unless it was the last, then lineEnd.
    void memberDone(const Frame &f) {
        if (f.i < f.n->childCount || hasRest(f.n)) out_ += ',';
        end();
    }

    void close(const Frame &f) {
        string_view v = valueOf(f.n);
        if (hasRest(f.n)) {
            line(addSize(f.indent, step_));
            if (!v.empty() && v[0] == '{') {
                out_.append(v.substr(1));  // the rest holds the closing brace itself
                return;
            }
            out_.append(v);
        }
        if (f.n->flags & KX_JSON_FLAG_OPEN_OBJECT) return;  // the text ended inside it
        line(f.indent);
        out_ += '}';
    }

    // A member's value (or an array element) for child c; true when it opened a body.
    bool value(const Node *c, size_t indent) {
        if (c->childCount > 0) {
            open(c, indent);
            return true;
        }
        if (isRaw(c))
            out_.append(valueOf(c));
        else
            quotedText(valueOf(c));
        return false;
    }

    void run() {
        while (!stack_.empty()) {
            Frame &f = stack_.back();
            const Node *n = f.n;
            size_t inner = addSize(f.indent, step_);
            if (f.inRun) {
                if (f.i < f.runEnd) {
                    const Node *c = n->children[f.i++];
                    if (!f.firstElement && !(hasRawArray(c) && (c->flags & KX_JSON_FLAG_RAW_JOINED))) out_ += ',';
                    f.firstElement = false;
                    if (hasRawArray(c)) {
                        out_.append(valueOf(c).substr(1));  // the rest of the array, with its bracket
                        continue;
                    }
                    value(c, inner);
                    continue;
                }
                f.inRun = false;
                if (!endsArray(n->children[f.runEnd - 1])) out_ += ']';
                memberDone(f);
                continue;
            }
            if (f.i >= n->childCount) {
                Frame done = f;
                stack_.pop_back();
                close(done);
                if (!stack_.empty() && !stack_.back().inRun) memberDone(stack_.back());
                continue;
            }
            const Node *c = n->children[f.i];
            uint32_t j = f.i + 1;
            while (j < n->childCount && !endsArray(n->children[j - 1]) &&
                   n->children[j]->name[0] == c->name[0] && strcmp(n->children[j]->name, c->name) == 0)
                ++j;
            line(inner);
            quotedText(c->name);
            out_ += ':';
            if (j - f.i >= 2 || endsArray(c)) {
                out_ += '[';
                f.inRun = true;
                f.firstElement = true;
                f.runEnd = j;
                continue;
            }
            f.i++;
            if (!value(c, inner)) memberDone(f);
        }
    }

    const char *ls_;
    const char *le_;
    size_t step_;
    std::string out_;
    std::vector<Frame> stack_;
};

std::string documentText(kx_Json *doc, const char *lineStart, const char *lineEnd, uint32_t step) {
    return Writer(lineStart, lineEnd, step).document(asNode(doc));
}

// ---------------------------------------------------------------- documents

kx_Json *documentCreate() { return kx::lazy::documentRecord<kx_Json>(KX_JSON_KIND_DOCUMENT); }

void documentFree(kx_Json *doc) {
    if (doc == nullptr) return;
    Node *root = asNode(doc);
    childrenFree(root);
    slotOf(root).clear();
    delete static_cast<NodeStore *>(doc->nodeStore);
    free(doc->text);
    pthread_mutex_destroy(&doc->mutex);
    free(doc);
}

// The text ends at its first NUL byte (values and names are NUL-terminated texts).
kx_Json *load(string_view text) {
    size_t nul = text.find('\0');
    if (nul != npos) {
        if (text.find_first_not_of('\0', nul) != npos)
            KX_LOGS("kx_Json_new_from_string_buffer__IO", "Text after a NUL byte ignored.");
        text = text.substr(0, nul);
    }
    kx_Json *doc = documentCreate();
    try {
        setRaw(asNode(doc), Text::copy(text));
    } catch (...) {
        documentFree(doc);
        throw;
    }
    return doc;
}

}  // namespace

// ================================================================ exported

extern "C" {

KX_API kx_Json *kx_Json_new__IO(void) {
    return guarded<kx_Json *>(__func__, nullptr, [] { return documentCreate(); });
}

KX_API kx_Json *kx_Json_new_from_string_buffer__IO(size_t length, const char *buffer) {
    if (buffer == nullptr && length != 0) {
        KX_LOGE("Invalid parameter.");
        return nullptr;
    }
    return guarded<kx_Json *>(__func__, nullptr, [&] { return load(string_view(buffer ? buffer : "", length)); });
}

KX_API kx_Json *kx_Json_new_from_string__IO(const char *text) {
    if (text == nullptr) {
        KX_LOGE("Invalid parameter.");
        return nullptr;
    }
    return kx_Json_new_from_string_buffer__IO(strlen(text), text);
}

KX_API kx_Json *kx_Json_new_from_file__IO(const char *path) {
    if (path == nullptr) return nullptr;
    std::string data;
    bool opened = false;
    int err = 0;
    if (!guarded<bool>(__func__, false, [&] { return kx::lazy::readFile(path, data, opened, err); })) {
        if (opened) KX_LOGE("Read the file:\"%s\"failed.", path);
        return nullptr;
    }
    return kx_Json_new_from_string_buffer__IO(data.size(), data.data());
}

KX_API void kx_Json_delete__OI(kx_Json *doc) { documentFree(doc); }

KX_API int kx_Json_analyzeAll_fast(kx_Json *doc, kx_JsonNode *node) {
    Node *n = target(doc, node);
    if (n == nullptr) return -3;
    return guarded<int>(__func__, -3, [&] {
        Report rep;
        analyze(n, rep);
        return rep.malformed ? -1 : rep.nested ? -2 : 0;
    });
}

KX_API kx_JsonNode *kx_Json_node_addChild1(kx_Json *doc, kx_JsonNode *parent, uint32_t nameLength,
                                           const char *name) {
    Node *p = target(doc, parent);
    if (p == nullptr || name == nullptr) {
        KX_LOGE("Invalid parameter.");
        return nullptr;
    }
    const void *nul = memchr(name, '\0', nameLength);
    size_t len = nul ? static_cast<size_t>(static_cast<const char *>(nul) - name) : nameLength;
    return guarded<Node *>(__func__, nullptr, [&] {
        if (kx::lazy::canOpen<Traits>(p)) {  // the new member follows the ones still in raw text
            Report rep;
            kx::lazy::parseFull<Traits>(p, rep);
        }
        return nodeCreate(p, string_view(name, len));
    });
}

KX_API kx_JsonNode *kx_Json_node_addChild(kx_Json *doc, kx_JsonNode *parent, const char *name) {
    if (name == nullptr) {
        KX_LOGE("Invalid parameter.");
        return nullptr;
    }
    size_t len = strlen(name);
    if (len > UINT32_MAX) {
        KX_LOGE("Member name too long.");
        return nullptr;
    }
    return kx_Json_node_addChild1(doc, parent, static_cast<uint32_t>(len), name);
}

KX_API int kx_Json_node_set_value(kx_Json *doc, kx_JsonNode *node, const char *text) {
    Node *n = target(doc, node);
    if (n == nullptr) return -1;
    return guarded<int>(__func__, -1, [&] {
        Text copy = text && *text ? Text::copy(text) : Text();  // text may lie inside the subtree
        childrenFree(n);
        if (n->kind == KX_JSON_KIND_DOCUMENT)
            setRaw(n, std::move(copy));  // a document's value is its text
        else
            setText(n, std::move(copy));
        return 1;
    });
}

KX_API int kx_Json_node_set_value__OI_3(kx_Json *doc, kx_JsonNode *node, char *text) {
    int rv = kx_Json_node_set_value(doc, node, text);
    free(text);
    return rv;
}

KX_API int kx_Json_node_delete(kx_Json *doc, kx_JsonNode *node) {
    if (doc == nullptr || !isMember(node) || !kx::lazy::isBelow(asNode(doc), static_cast<const Node *>(node))) {
        KX_LOGE("The node is not a member of the document.");
        return -1;
    }
    kx::lazy::detach(node);
    subtreeFree(node);
    return 1;
}

KX_API kx_ObjectList *kx_Json_node_get_all__IO(kx_Json *doc, kx_JsonNode *node, const char *path) {
    Node *n = target(doc, node);
    if (n == nullptr || path == nullptr) return nullptr;
    return guarded<kx_ObjectList *>(__func__, nullptr, [&]() -> kx_ObjectList * {
        std::vector<Node *> found = findAll(n, path);
        return found.empty() ? nullptr : kx::lazy::toObjectList(found);
    });
}

KX_API kx_JsonData *kx_Json_node_get_allData__IO(kx_Json *doc, kx_JsonNode *node, const char *path) {
    Node *n = target(doc, node);
    if (n == nullptr || path == nullptr) return nullptr;
    return guarded<kx_JsonData *>(__func__, nullptr, [&]() -> kx_JsonData * {
        std::vector<Node *> found = findAll(n, path);
        if (found.empty()) return nullptr;
        if (found.size() > UINT32_MAX) throw kx::lazy::SizeError();
        size_t size = addSize(sizeof(kx_JsonData), kx::lazy::mulSize(found.size(), sizeof(char *)));
        size_t textAt = size;
        for (Node *c : found) size = addSize(size, addSize(c->valueLength, 1));
        char *block = static_cast<char *>(xmalloc(size));
        kx_JsonData *data = reinterpret_cast<kx_JsonData *>(block);
        data->count = static_cast<uint32_t>(found.size());
        data->reserved = 0;
        char *at = block + textAt;
        for (size_t i = 0; i < found.size(); ++i) {
            string_view v = valueOf(found[i]);
            data->texts[i] = at;
            if (!v.empty()) memcpy(at, v.data(), v.size());
            at[v.size()] = '\0';
            at += v.size() + 1;
        }
        return data;
    });
}

KX_API kx_JsonNode *kx_Json_node_get_first(kx_Json *doc, kx_JsonNode *node, const char *path) {
    Node *n = target(doc, node);
    if (n == nullptr || path == nullptr) return nullptr;
    return guarded<Node *>(__func__, nullptr, [&]() -> Node * {
        std::vector<Node *> found = findAll(n, path);
        return found.empty() ? nullptr : found.front();
    });
}

KX_API kx_String *kx_Json_to_String__IO(kx_Json *doc, uint32_t reserveBefore, uint32_t reserveAfter,
                                        const char *lineStart, const char *lineEnd, uint32_t indentStep) {
    if (doc == nullptr) return nullptr;
    return guarded<kx_String *>(__func__, nullptr, [&] {
        return kx::lazy::stringWithRoom(documentText(doc, lineStart, lineEnd, indentStep), reserveBefore,
                                         reserveAfter);
    });
}

KX_API char *kx_Json_to_string__IO(kx_Json *doc, const char *lineStart, const char *lineEnd, uint32_t indentStep) {
    if (doc == nullptr) return nullptr;
    return guarded<char *>(__func__, nullptr,
                           [&] { return kx::lazy::heapText(documentText(doc, lineStart, lineEnd, indentStep)); });
}

KX_API int kx_Json_save_to_file(kx_Json *doc, const char *path, const char *lineStart, const char *lineEnd,
                                uint32_t indentStep) {
    if (doc == nullptr || path == nullptr) return -1;
    std::string text;
    if (!guarded<bool>(__func__, false, [&] {
            text = documentText(doc, lineStart, lineEnd, indentStep);
            if (text.size() > UINT32_MAX) throw kx::lazy::SizeError();
            return true;
        }))
        return -3;
    kx_StringBuilder *b = kx_StringBuilder_new__IO();
    if (b == nullptr) return -3;
    int rv = zr7ee_StringBuilder_apend_String__OI_3(b, static_cast<uint32_t>(text.size()), text.data()) == 1
                 ? kx_StringBuilder_save_to_file(b, path)
                 : -3;
    kx_StringBuilder_delete__OI(b);
    return rv;
}

}  // extern "C"
