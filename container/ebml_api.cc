// kx_Ebml: the exported functions over the engine in ebml.cc.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "container/ebml_internal.hpp"
#include "core/bytereader.hpp"
#include "kx/ebml.h"
#include "kx/objectlist.h"
#include "kx/string.h"
#include "kx/stringbuilder.h"

using namespace kx::ebml;

namespace {

kx_ObjectList *toList(const std::vector<Node *> &nodes) {
    return nodes.empty() ? nullptr : kx::lazy::toObjectList(nodes);
}

// A parent that can take children: a container of doc (its level parsed first, so a new
// child goes after the ones still raw).
Node *parentFor(kx_Ebml *doc, kx_EbmlNode *parent, const char *label) {
    Node *p = target(doc, parent);
    if (p == nullptr || !belongsTo(doc, p)) return nullptr;
    if (!isContainer(p)) {
        KX_LOG_ERROR_AT(5, __LINE__, label, "Invalid parent type(=%u).", p->type);
        return nullptr;
    }
    ensureParsed(p);
    return p;
}

bool typeValid(uint32_t type, const char *label) {
    if (type != 0 && type < KX_EBML_VINT_LIMIT) return true;
    KX_LOG_ERROR_AT(5, __LINE__, label, "Invalid type(=%u).", type);
    return false;
}

Node *addChild(kx_Ebml *doc, kx_EbmlNode *parent, std::string_view name, uint32_t type, const char *label) {
    if (!typeValid(type, label)) return nullptr;
    Node *p = parentFor(doc, parent, label);
    if (p == nullptr) return nullptr;
    return nodeCreate(p, name, type);
}

uint32_t deleteAll(const std::vector<Node *> &found) {
    // Matches are never nested: deleting them in any order is safe.
    for (Node *n : found) {
        nodeDetach(n);
        subtreeFree(n);
    }
    return static_cast<uint32_t>(found.size());
}

int dataSet(kx_EbmlNode *node, const char *label, const std::function<void(Node *)> &set) {
    if (node == nullptr) return -1;
    return guarded<int>(label, -1, [&] {
        ensureParsed(node);
        set(node);
        return 1;
    });
}

kx_String *serialise(kx_Ebml *doc, uint32_t headRoom, uint32_t tailRoom, const char *password) {
    std::vector<Item> items;
    Layout l;
    if (!layoutFor(doc, items, l)) return nullptr;
    uint64_t size = headRoom + l.total + tailRoom;
    if (size > UINT32_MAX) {
        KX_LOGE("Invalid lenth(=%llu).", static_cast<unsigned long long>(size));
        return nullptr;
    }
    kx_String *s = kx_String_new__IO(static_cast<uint32_t>(size));
    if (s == nullptr || s->buffer == nullptr) {
        kx_String_delete__OI(s);
        throw std::bad_alloc();
    }
    auto *out = reinterpret_cast<unsigned char *>(s->buffer);
    memset(out, 0, headRoom);
    try {
        documentWrite(doc, items, l, out + headRoom, password);
    } catch (...) {
        kx_String_delete__OI(s);
        throw;
    }
    memset(out + headRoom + l.total, 0, tailRoom);
    return s;
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------- creation, copy, deletion

KX_API kx_Ebml *kx_Ebml_new__IO(uint32_t encodeMethod, uint32_t documentTag) {
    return guarded<kx_Ebml *>(__func__, nullptr, [&] { return documentCreate(encodeMethod, documentTag); });
}

KX_API void kx_Ebml_delete__OI(kx_Ebml *doc) { documentFree(doc); }

KX_API kx_Ebml *kx_Ebml_new_from_Ebml__IO(kx_Ebml *doc) {
    if (doc == nullptr) return nullptr;
    return guarded<kx_Ebml *>(__func__, nullptr, [&]() -> kx_Ebml * {
        std::unique_ptr<kx_Ebml, void (*)(kx_Ebml *)> copy(documentCreate(doc->encodeMethod, doc->documentTag),
                                                          documentFree);
        copy->version = doc->version;
        Node *from = asNode(doc), *to = asNode(copy.get());
        for (uint32_t i = 0; i < from->childCount; ++i) copyInto(to, from->children[i]);
        if (from->lenth) dataSetCopy(to, from->data, from->lenth);
        if (from->rawLength)
            rawSlot(to).put(kx::lazy::Text::copy(std::string_view(from->raw, from->rawLength)));
        return copy.release();
    });
}

KX_API kx_EbmlNode *kx_Ebml_node_addChild_from_node(kx_Ebml *doc, kx_EbmlNode *parent, kx_EbmlNode *source) {
    if (source == nullptr) return nullptr;
    return guarded<Node *>(__func__, nullptr, [&]() -> Node * {
        Node *p = parentFor(doc, parent, "kx_Ebml_node_addChild_from_node");
        if (p == nullptr) return nullptr;
        // The root has no header of its own: copying it means copying its children.
        if (source->parent == nullptr) {
            KX_LOG_ERROR_AT(5, __LINE__, "kx_Ebml_node_addChild_from_node", "Invalid source: a document root.");
            return nullptr;
        }
        for (const Node *a = p; a; a = a->parent)
            if (a == source) {
                KX_LOG_ERROR_AT(5, __LINE__, "kx_Ebml_node_addChild_from_node", "Invalid source: it holds the parent.");
                return nullptr;
            }
        return copyInto(p, source);
    });
}

KX_API int kx_Ebml_node_addChild_from_node_child(kx_Ebml *doc, kx_EbmlNode *parent, kx_EbmlNode *source) {
    if (source == nullptr) return -1;
    return guarded<int>(__func__, -1, [&] {
        Node *p = parentFor(doc, parent, "kx_Ebml_node_addChild_from_node_child");
        if (p == nullptr) return -1;
        for (const Node *a = p; a; a = a->parent)
            if (a == source) {
                KX_LOG_ERROR_AT(5, __LINE__, "kx_Ebml_node_addChild_from_node_child",
                                "Invalid source: it holds the parent.");
                return -1;
            }
        ensureParsed(source);
        for (uint32_t i = 0; i < source->childCount; ++i) copyInto(p, source->children[i]);
        return 1;
    });
}

KX_API kx_EbmlNode *kx_Ebml_node_addChild(kx_Ebml *doc, kx_EbmlNode *parent, const char *name, uint32_t type) {
    if (name == nullptr) return nullptr;
    return guarded<Node *>(__func__, nullptr, [&] { return addChild(doc, parent, name, type, "kx_Ebml_node_addChild"); });
}

KX_API kx_EbmlNode *kx_Ebml_node_addChild_extern(kx_Ebml *doc, kx_EbmlNode *parent, const char *prefix,
                                                 const char *name, const char *suffix, uint32_t type) {
    return guarded<Node *>(__func__, nullptr, [&] {
        std::string full;
        if (prefix) full += prefix;
        if (name) full += name;
        if (suffix) full += suffix;
        return addChild(doc, parent, full, type, "kx_Ebml_node_addChild_extern");
    });
}

KX_API kx_EbmlNode *kx_Ebml_node_addChild_with_a_property(kx_Ebml *doc, kx_EbmlNode *parent, const char *name,
                                                          uint32_t type, const char *propertyName,
                                                          const char *propertyValue) {
    if (name == nullptr || propertyName == nullptr || propertyName[0] == '\0') return nullptr;
    return guarded<Node *>(__func__, nullptr, [&]() -> Node * {
        Node *n = addChild(doc, parent, name, type, "kx_Ebml_node_addChild_with_a_property");
        if (n == nullptr) return nullptr;
        try {
            propertyAppend(n, propertyName, propertyValue, propertyValue ? strlen(propertyValue) : 0);
        } catch (...) {
            nodeDetach(n);
            subtreeFree(n);
            throw;
        }
        return n;
    });
}

KX_API int kx_Ebml_node_delete(kx_Ebml *doc, kx_EbmlNode *node) {
    if (!isElementOf(doc, node)) return -1;
    nodeDetach(node);
    subtreeFree(node);
    return 1;
}

KX_API uint32_t kx_Ebml_node_delete_byString(kx_Ebml *doc, kx_EbmlNode *node, const char *path) {
    Node *start = target(doc, node);
    if (start == nullptr || !belongsTo(doc, start)) return 0;
    return guarded<uint32_t>(__func__, 0, [&] {
        std::vector<Node *> found;
        walkPath(start, splitPath(path), 0, false, nullptr, found);
        return deleteAll(found);
    });
}

KX_API uint32_t kx_Ebml_node_delete_child_byString(kx_Ebml *doc, kx_EbmlNode *node, const char *path) {
    Node *start = target(doc, node);
    if (start == nullptr || !belongsTo(doc, start)) return 0;
    return guarded<uint32_t>(__func__, 0, [&] {
        std::vector<Node *> found;
        findChild(start, splitPath(path), false, nullptr, found);
        return deleteAll(found);
    });
}

// ---------------------------------------------------------------- values and properties

KX_API int kx_Ebml_node_data_set(kx_EbmlNode *node, uint32_t length, const void *bytes) {
    if (node == nullptr || (bytes == nullptr && length)) return -1;
    if (isScalar(node->type) && length != 0 && length != 8) {
        KX_LOGE("Invalid lenth(=%u) for the node:\"%s\"(type=%u).", length, node->name, node->type);
        return -1;
    }
    return dataSet(node, __func__, [&](Node *n) { dataSetCopy(n, bytes, length); });
}

KX_API int kx_Ebml_node_data_set__OI_2(kx_EbmlNode *node, kx_String *string) {
    if (node == nullptr) return -1;
    if (string == nullptr) return kx_Ebml_node_data_set(node, 0, nullptr);
    uint32_t length = string->lenth;
    char *buffer = kx_String_delete__OI__IO(string);
    if (buffer == nullptr) return kx_Ebml_node_data_set(node, 0, nullptr);
    return kx_Ebml_node_data_set__OI_3(node, length, buffer);
}

KX_API int kx_Ebml_node_data_set__OI_3(kx_EbmlNode *node, uint32_t length, void *buffer) {
    if (node == nullptr || (buffer == nullptr && length)) {
        free(buffer);
        return -1;
    }
    if (isScalar(node->type) && length != 0 && length != 8) {
        KX_LOGE("Invalid lenth(=%u) for the node:\"%s\"(type=%u).", length, node->name, node->type);
        free(buffer);
        return -1;
    }
    int rc = guarded<int>(__func__, -2, [&] {
        ensureParsed(node);
        return 1;
    });
    if (rc < 0) {
        free(buffer);
        return -1;
    }
    return guarded<int>(__func__, -1, [&] {
        dataAdopt(node, buffer, length);
        return 1;
    });
}

KX_API int kx_Ebml_node_data_set_string(kx_EbmlNode *node, const char *text) {
    if (node == nullptr) return -1;
    if (text == nullptr || text[0] == '\0') return kx_Ebml_node_data_set(node, 0, nullptr);
    size_t n = strlen(text) + 1;
    if (n > UINT32_MAX) return -1;
    return kx_Ebml_node_data_set(node, static_cast<uint32_t>(n), text);
}

KX_API int kx_Ebml_node_data_set_integer(kx_EbmlNode *node, int64_t value) {
    if (node == nullptr || KX_EBML_KIND(node->type) != KX_EBML_TYPE_INTEGER) return -1;
    scalarSet(node, static_cast<uint64_t>(value));
    return 1;
}

KX_API int kx_Ebml_node_data_set_double(kx_EbmlNode *node, double value) {
    if (node == nullptr || KX_EBML_KIND(node->type) != KX_EBML_TYPE_FLOAT) return -1;
    uint64_t bits;
    memcpy(&bits, &value, 8);
    scalarSet(node, bits);
    return 1;
}

KX_API int64_t kx_Ebml_node_integer_get(const kx_EbmlNode *node) {
    return node && KX_EBML_KIND(node->type) == KX_EBML_TYPE_INTEGER ? integerOf(node) : 0;
}

KX_API double kx_Ebml_node_double_get(const kx_EbmlNode *node) {
    return node && KX_EBML_KIND(node->type) == KX_EBML_TYPE_FLOAT ? doubleOf(node) : 0.0;
}

KX_API int kx_Ebml_node_property_add(kx_EbmlNode *node, const char *name, const char *value) {
    if (node == nullptr || name == nullptr || name[0] == '\0') return -1;
    return guarded<int>(__func__, -1, [&] {
        propertyAppend(node, name, value, value ? strlen(value) : 0);
        return 1;
    });
}

KX_API int kx_Ebml_node_property_add__OI_2(kx_EbmlNode *node, char *nameBlock, char *value) {
    if (node == nullptr || nameBlock == nullptr || nameBlock[0] == '\0') {
        free(nameBlock);
        return -1;
    }
    return guarded<int>(__func__, -1, [&] {
        try {
            kx::lazy::arrayAppend(node->properties, node->propertyCount, kx_EbmlProperty{nameBlock, value});
        } catch (...) {
            free(nameBlock);
            throw;
        }
        return 1;
    });
}

KX_API const char *kx_Ebml_node_property_get(const kx_EbmlNode *node, const char *name) {
    if (node == nullptr || name == nullptr) return nullptr;
    for (uint32_t i = node->propertyCount; i-- > 0;)
        if (strcmp(node->properties[i].name, name) == 0)
            return node->properties[i].value ? node->properties[i].value : "";
    return nullptr;
}

KX_API kx_String *kx_Ebml_value_all_get__IO(kx_Ebml *doc, kx_EbmlNode *node) {
    Node *start = target(doc, node);
    if (start == nullptr || !belongsTo(doc, start)) return nullptr;
    return guarded<kx_String *>(__func__, nullptr, [&]() -> kx_String * {
        analyzeBelow(start);
        std::string all;
        std::vector<Node *> stack{start};
        while (!stack.empty()) {
            Node *n = stack.back();
            stack.pop_back();
            if (!isContainer(n)) {
                if (n->lenth) all.append(reinterpret_cast<const char *>(n->data), n->lenth);
                continue;
            }
            for (uint32_t i = n->childCount; i-- > 0;) stack.push_back(n->children[i]);
        }
        if (all.empty()) return nullptr;
        if (all.size() > UINT32_MAX) throw std::length_error("values too long");
        kx_String *s = kx_String_new_form_stringBuffer__IO(all.data(), static_cast<uint32_t>(all.size()));
        if (s == nullptr) throw std::bad_alloc();
        return s;
    });
}

// ---------------------------------------------------------------- parsing

KX_API long kx_Ebml_get_lenth(size_t length, const void *bytes) {
    if (bytes == nullptr) length = 0;
    return documentLength(length, static_cast<const unsigned char *>(bytes));
}

KX_API kx_Ebml *kx_Ebml_new_from_String__IO(size_t length, const void *bytes, const char *password) {
    if (bytes == nullptr) length = 0;
    return guarded<kx_Ebml *>(__func__, nullptr,
                              [&] { return documentParse(length, static_cast<const unsigned char *>(bytes), password); });
}

KX_API kx_Ebml *kx_Ebml_new_from_file__IO(const char *path, const char *password) {
    if (path == nullptr) return nullptr;
    kx_String *s = kx_String_new_form_file__IO(path);
    if (s == nullptr) {
        KX_LOGE("Read the file:\"%s\" failed.", path);
        return nullptr;
    }
    kx_Ebml *doc = kx_Ebml_new_from_String__IO(s->lenth, s->buffer, password);
    kx_String_delete__OI(s);
    return doc;
}

KX_API void kx_Ebml_analyzeAll(kx_Ebml *doc, kx_EbmlNode *node) { kx_Ebml_analyzeAll_check(doc, node); }

KX_API int kx_Ebml_analyzeAll_check(kx_Ebml *doc, kx_EbmlNode *node) {
    Node *start = target(doc, node);
    if (start == nullptr || !belongsTo(doc, start)) return -3;
    return guarded<int>(__func__, -3, [&] { return analyzeBelow(start); });
}

KX_API kx_EbmlNode *kx_Ebml_node_resolve_next_childNode(kx_Ebml *doc, kx_EbmlNode *node) {
    Node *n = target(doc, node);
    if (n == nullptr || !belongsTo(doc, n) || !isContainer(n)) return nullptr;
    return guarded<Node *>(__func__, nullptr, [&] { return parseNext(n); });
}

// ---------------------------------------------------------------- serialising

KX_API kx_StringBuilder *kx_Ebml_to_StringBuilder__IO(kx_Ebml *doc) {
    if (doc == nullptr) return nullptr;
    return guarded<kx_StringBuilder *>(__func__, nullptr, [&]() -> kx_StringBuilder * {
        kx_String *s = serialise(doc, 0, 0, nullptr);
        if (s == nullptr) return nullptr;
        // Pieces in reverse: the check byte, the content, the header.
        std::unique_ptr<kx_String, void (*)(kx_String *)> whole(s, kx_String_delete__OI);
        std::unique_ptr<kx_StringBuilder, void (*)(kx_StringBuilder *)> b(kx_StringBuilder_new__IO(),
                                                                         kx_StringBuilder_delete__OI);
        if (!b) throw std::bad_alloc();
        uint32_t total = s->lenth;
        // Header: check word, T and the two vints; they end where the content begins.
        kx::ByteReader r(s->buffer, total);
        uint64_t v;
        r.skip(4);
        r.lowVint(&v);
        r.lowVint(&v);
        r.lowVint(&v);
        uint32_t header = static_cast<uint32_t>(r.pos());
        if (kx_StringBuilder_apend_string(b.get(), 1, s->buffer + total - 1) < 0 ||
            kx_StringBuilder_apend_string(b.get(), total - header - 1, s->buffer + header) < 0 ||
            kx_StringBuilder_apend_string(b.get(), header, s->buffer) < 0)
            throw std::bad_alloc();
        return b.release();
    });
}

KX_API kx_String *kx_Ebml_to_String__IO(kx_Ebml *doc, uint32_t headRoom, uint32_t tailRoom, const char *password) {
    if (doc == nullptr) return nullptr;
    return guarded<kx_String *>(__func__, nullptr, [&] { return serialise(doc, headRoom, tailRoom, password); });
}

KX_API int kx_Ebml_out(kx_Ebml *doc, FILE *stream, const char *password) {
    if (doc == nullptr || stream == nullptr) return -1;
    kx_String *s = kx_Ebml_to_String__IO(doc, 0, 0, password);
    if (s == nullptr) return -1;
    size_t written = fwrite(s->buffer, 1, s->lenth, stream);
    bool ok = written == s->lenth;
    kx_String_delete__OI(s);
    return ok ? 1 : -2;
}

KX_API int kx_Ebml_save_to_file(kx_Ebml *doc, const char *path, const char *password) {
    if (doc == nullptr || path == nullptr) return -1;
    kx_String *s = kx_Ebml_to_String__IO(doc, 0, 0, password);
    if (s == nullptr) return -3;
    FILE *f = fopen(path, "wb");
    if (f == nullptr) {
        KX_LOGE("Open the file:\"%s\" failed:%s.", path, kx::errtext(errno));
        kx_String_delete__OI(s);
        return -1;
    }
    bool ok = fwrite(s->buffer, 1, s->lenth, f) == s->lenth;
    if (fflush(f) != 0) ok = false;
    if (fclose(f) != 0) ok = false;
    kx_String_delete__OI(s);
    if (!ok) {
        KX_LOGE("Fwrite error:\"%s\".", path);
        return -2;
    }
    return 1;
}

// ---------------------------------------------------------------- searching

KX_API kx_ObjectList *kx_Ebml_node_get__IO(kx_Ebml *doc, kx_EbmlNode *node, const char *path) {
    Node *start = target(doc, node);
    if (start == nullptr || !belongsTo(doc, start)) return nullptr;
    return guarded<kx_ObjectList *>(__func__, nullptr, [&] {
        std::vector<Node *> found;
        walkPath(start, splitPath(path), 0, false, nullptr, found);
        return toList(found);
    });
}

KX_API kx_ObjectList *kx_Ebml_node_get_child__IO(kx_Ebml *doc, kx_EbmlNode *node, const char *path) {
    Node *start = target(doc, node);
    if (start == nullptr || !belongsTo(doc, start)) return nullptr;
    return guarded<kx_ObjectList *>(__func__, nullptr, [&] {
        std::vector<Node *> found;
        findChild(start, splitPath(path), false, nullptr, found);
        return toList(found);
    });
}

KX_API kx_EbmlNode *kx_Ebml_node_get_first(kx_Ebml *doc, kx_EbmlNode *node, const char *path) {
    return kx_Ebml_node_get_first_with_a_lastProperty(doc, node, path, nullptr, nullptr);
}

KX_API kx_EbmlNode *kx_Ebml_node_get_first_with_a_lastProperty(kx_Ebml *doc, kx_EbmlNode *node, const char *path,
                                                               const char *propertyName, const char *propertyValue) {
    Node *start = target(doc, node);
    if (start == nullptr || !belongsTo(doc, start)) return nullptr;
    return guarded<Node *>(__func__, nullptr, [&]() -> Node * {
        Pred pred;
        if (propertyName != nullptr) {
            pred = [&](const Node *n) {
                if (n->propertyCount == 0) return false;
                const kx_EbmlProperty &p = n->properties[n->propertyCount - 1];
                const char *v = p.value ? p.value : "";
                return strcmp(p.name, propertyName) == 0 && strcmp(v, propertyValue ? propertyValue : "") == 0;
            };
        }
        std::vector<Node *> found;
        walkPath(start, splitPath(path), 0, true, pred, found);
        return found.empty() ? nullptr : found[0];
    });
}

}  // extern "C"
