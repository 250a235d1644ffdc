// Internals of kx_Ebml shared by the engine, the exported functions and the conversions.
#pragma once

#include <stdint.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "core/log.hpp"
#include "doc/lazy.hpp"
#include "kx/ebml.h"

namespace kx::ebml {

using Node = kx_EbmlNode;

// Sizes of a document about to be written.
struct Layout {
    uint64_t content = 0;       // N
    uint64_t versionField = 0;  // 1 ^ (N & 127)
    uint64_t encodeField = 0;   // encodeMethod ^ (N & 127)
    uint64_t t = 0;             // bytes from after T up to the check byte
    uint64_t header = 0;        // check word, T, version, encodeMethod
    uint64_t total = 0;         // the whole document
};

// One node of a document being written, in pre-order.
struct Item {
    const Node *node;
    size_t parent;     // index of the parent's item (SIZE_MAX for the root)
    uint64_t content;  // children + own data
    uint64_t full;     // header + properties + content
    uint64_t cursor;   // where the next child goes while writing
};

Node *asNode(kx_Ebml *doc);
bool isContainer(const Node *n);
bool isScalar(uint32_t type);

kx_Ebml *documentCreate(uint32_t encodeMethod, uint32_t documentTag);
void documentFree(kx_Ebml *doc);
// True when node is doc's root or a node below it.
bool belongsTo(kx_Ebml *doc, const Node *node);
// A node of doc other than its root.
bool isElementOf(kx_Ebml *doc, const Node *n);
// node, or the root for null.
Node *target(kx_Ebml *doc, kx_EbmlNode *node);

Node *nodeCreate(Node *parent, std::string_view name, uint32_t type);
void nodeDetach(Node *n);
// Frees root and everything below it (root must be detached).
void subtreeFree(Node *root);
void propertyAppend(Node *n, std::string_view name, const char *value, size_t valueLength);
void dataSetCopy(Node *n, const void *bytes, size_t length);
// Takes a malloc block of length bytes as the node's data.
void dataAdopt(Node *n, void *block, size_t length);
int64_t integerOf(const Node *n);
double doubleOf(const Node *n);
void scalarSet(Node *n, uint64_t v);

// Lazy parsing: one more child of a raw container, the rest of its level, everything below.
kx::lazy::Slot rawSlot(Node *n);
Node *parseNext(Node *n);
void ensureParsed(Node *n);
// 1 all parsed, -1 bytes left over as own data, -2 contents left raw at the nesting limit.
int analyzeBelow(Node *root);

long documentLength(size_t length, const unsigned char *bytes);
kx_Ebml *documentParse(size_t length, const unsigned char *bytes, const char *password);
// Plans and writes a document; false (logged) when a number does not fit the format.
bool layoutFor(kx_Ebml *doc, std::vector<Item> &items, Layout &l);
void headerWrite(kx_Ebml *doc, const Layout &l, unsigned char *out);
void contentWrite(std::vector<Item> &items, unsigned char *out);
uint8_t checkByte(uint64_t t);
bool hasPassword(const char *password);
void documentWrite(kx_Ebml *doc, std::vector<Item> &items, const Layout &l, unsigned char *out, const char *password);

std::vector<std::string_view> splitPath(const char *path);
using Pred = std::function<bool(const Node *)>;
// Every node at the end of steps[from..] below start, in document order (only the
// first when first is set), that pred (if any) accepts.
void walkPath(Node *start, const std::vector<std::string_view> &steps, size_t from, bool first, const Pred &pred,
              std::vector<Node *> &out);
// The first step at any depth below start, the rest downward from each match.
void findChild(Node *start, const std::vector<std::string_view> &steps, bool first, const Pred &pred,
               std::vector<Node *> &out);

// Copies source with its subtree as the last child of parent.
Node *copyInto(Node *parent, const Node *source);

// The text form of a leaf for XML and JSON; has is false for nodes without one.
std::string textForm(const Node *n, bool &has);

using kx::lazy::guarded;

}  // namespace kx::ebml
