// kx_Ebml conversions to and from JSON documents.
//
// JSON members carry a name and a text or children, so the EBML extras travel as marker
// members: a node with properties becomes an object whose first members are "@name":
// "value"; a leaf that needs an object holds its text in "#text"; a container with
// neither children nor properties is an object holding "#container":"". Without
// properties, a container is an object of its children and a leaf its text form.
// Repeated names become JSON arrays on writing and come back as siblings.
#include <string.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "container/ebml_internal.hpp"
#include "kx/ebml.h"
#include "kx/json.h"

using namespace kx::ebml;

namespace {

constexpr std::string_view kText = "#text";
constexpr std::string_view kContainer = "#container";

kx_JsonNode *member(kx_Json *json, kx_JsonNode *parent, std::string_view name) {
    kx_JsonNode *m = kx_Json_node_addChild1(json, parent, static_cast<uint32_t>(name.size()), name.data());
    if (m == nullptr) throw std::bad_alloc();
    return m;
}

void memberWithValue(kx_Json *json, kx_JsonNode *parent, std::string_view name, const std::string &value) {
    kx_JsonNode *m = member(json, parent, name);
    if (!value.empty() && kx_Json_node_set_value(json, m, value.c_str()) < 0) throw std::bad_alloc();
}

kx_Json *toJson(kx_Ebml *doc) {
    analyzeBelow(asNode(doc));
    std::unique_ptr<kx_Json, void (*)(kx_Json *)> json(kx_Json_new__IO(), kx_Json_delete__OI);
    if (!json) throw std::bad_alloc();
    std::vector<std::pair<const Node *, kx_JsonNode *>> stack;
    const Node *root = asNode(doc);
    for (uint32_t i = root->childCount; i-- > 0;) stack.push_back({root->children[i], nullptr});
    while (!stack.empty()) {
        auto [n, parent] = stack.back();
        stack.pop_back();
        kx_JsonNode *m = member(json.get(), parent, n->name);
        for (uint32_t i = 0; i < n->propertyCount; ++i)
            memberWithValue(json.get(), m, std::string("@") + n->properties[i].name,
                            n->properties[i].value ? n->properties[i].value : "");
        if (isContainer(n)) {
            if (n->childCount == 0 && n->propertyCount == 0) memberWithValue(json.get(), m, kContainer, "");
            for (uint32_t i = n->childCount; i-- > 0;) stack.push_back({n->children[i], m});
            continue;
        }
        bool has;
        std::string text = textForm(n, has);
        if (n->propertyCount)
            memberWithValue(json.get(), m, kText, text);
        else if (!text.empty() && kx_Json_node_set_value(json.get(), m, text.c_str()) < 0)
            throw std::bad_alloc();
    }
    return json.release();
}

std::string_view valueOf(const kx_JsonNode *m) {
    return m->value && !(m->flags & KX_JSON_FLAG_RAW) ? std::string_view(m->value, m->valueLength) : std::string_view();
}

void setText(Node *n, std::string_view text) {
    if (text.empty()) return;
    std::string t(text);
    dataSetCopy(n, t.c_str(), t.size() + 1);
}

kx_Ebml *fromJson(kx_Json *json) {
    kx_Json_analyzeAll_fast(json, nullptr);
    std::unique_ptr<kx_Ebml, void (*)(kx_Ebml *)> doc(documentCreate(KX_EBML_UTF8, 0), documentFree);
    std::vector<std::pair<const kx_JsonNode *, Node *>> stack;
    for (uint32_t i = json->childCount; i-- > 0;) stack.push_back({json->children[i], asNode(doc.get())});
    while (!stack.empty()) {
        auto [m, parent] = stack.back();
        stack.pop_back();
        if (m->childCount == 0) {
            // A raw object ("{}" or text the reader could not take) stands for a container.
            bool rawObject = (m->flags & KX_JSON_FLAG_RAW) && m->value && m->valueLength && m->value[0] == '{';
            Node *n = nodeCreate(parent, m->name, rawObject ? KX_EBML_TYPE_CONTAINER : KX_EBML_TYPE_TEXT);
            if (!rawObject) setText(n, valueOf(m));
            continue;
        }
        const kx_JsonNode *text = nullptr;
        for (uint32_t i = 0; i < m->childCount; ++i)
            if (kText == m->children[i]->name) text = m->children[i];
        Node *n = nodeCreate(parent, m->name, text ? KX_EBML_TYPE_TEXT : KX_EBML_TYPE_CONTAINER);
        std::vector<const kx_JsonNode *> children;
        for (uint32_t i = 0; i < m->childCount; ++i) {
            const kx_JsonNode *c = m->children[i];
            std::string_view name = c->name;
            if (c->childCount == 0 && name.size() > 1 && name[0] == '@') {
                std::string_view v = valueOf(c);
                propertyAppend(n, name.substr(1), v.data(), v.size());
            } else if (c == text) {
                setText(n, valueOf(c));
            } else if (name != kContainer || c->childCount) {
                children.push_back(c);
            }
        }
        if (text) continue;  // a leaf: other members have no place in it
        for (size_t i = children.size(); i-- > 0;) stack.push_back({children[i], n});
    }
    return doc.release();
}

}  // namespace

extern "C" {

KX_API kx_Json *kx_Ebml_convert_to_Json__IO(kx_Ebml *doc) {
    if (doc == nullptr) return nullptr;
    return guarded<kx_Json *>(__func__, nullptr, [&] { return toJson(doc); });
}

KX_API kx_Ebml *kx_Ebml_new_from_Json__IO(kx_Json *json) {
    if (json == nullptr) return nullptr;
    return guarded<kx_Ebml *>(__func__, nullptr, [&] { return fromJson(json); });
}

}  // extern "C"
