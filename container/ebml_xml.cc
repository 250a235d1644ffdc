// kx_Ebml conversions to and from XML documents, and the debug print.
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "container/ebml_internal.hpp"
#include "kx/ebml.h"
#include "kx/xml.h"

using namespace kx::ebml;

namespace {

void xmlDelete(kx_Xml *x) { kx_Xml_delete__OI(x); }

kx_Xml *toXml(kx_Ebml *doc, bool properties) {
    analyzeBelow(asNode(doc));
    std::unique_ptr<kx_Xml, void (*)(kx_Xml *)> xml(kx_Xml_new__IO(), xmlDelete);
    if (!xml) throw std::bad_alloc();
    // The document keeps only "UTF-8 or not": another encoding is named as the double-byte
    // code page the library's texts use, so the XML form reads back as encodeMethod 2.
    xml->encoding = strdup(doc->encodeMethod == KX_EBML_UTF8 ? "UTF-8" : "GBK");
    if (xml->encoding == nullptr) throw std::bad_alloc();
    std::vector<std::pair<const Node *, kx_XmlNode *>> stack;
    const Node *root = asNode(doc);
    for (uint32_t i = root->childCount; i-- > 0;) stack.push_back({root->children[i], nullptr});
    while (!stack.empty()) {
        auto [n, parent] = stack.back();
        stack.pop_back();
        kx_XmlNode *x = kx_Xml_node_addChild(xml.get(), parent, n->name);
        if (x == nullptr) throw std::bad_alloc();
        for (uint32_t i = 0; properties && i < n->propertyCount; ++i)
            if (kx_Xml_node_property_add(x, n->properties[i].name,
                                         n->properties[i].value ? n->properties[i].value : "") < 0)
                throw std::bad_alloc();
        if (isContainer(n)) {
            for (uint32_t i = n->childCount; i-- > 0;) stack.push_back({n->children[i], x});
            continue;
        }
        bool has;
        std::string text = textForm(n, has);
        if (has && !text.empty() && kx_Xml_node_set_value(xml.get(), x, text.c_str()) < 0) throw std::bad_alloc();
    }
    return xml.release();
}

kx_Ebml *fromXml(kx_Xml *xml, bool properties) {
    kx_Xml_analyzeAll(xml, nullptr);
    uint32_t encode = xml->encoding == nullptr || strcasecmp(xml->encoding, "utf-8") == 0 ? KX_EBML_UTF8
                                                                                          : KX_EBML_OTHER_ENCODING;
    std::unique_ptr<kx_Ebml, void (*)(kx_Ebml *)> doc(documentCreate(encode, 0), documentFree);
    std::vector<std::pair<const kx_XmlNode *, Node *>> stack;
    for (uint32_t i = xml->childCount; i-- > 0;) stack.push_back({xml->children[i], asNode(doc.get())});
    while (!stack.empty()) {
        auto [x, parent] = stack.back();
        stack.pop_back();
        bool container = x->childCount > 0;
        Node *n = nodeCreate(parent, x->name, container ? KX_EBML_TYPE_CONTAINER : KX_EBML_TYPE_TEXT);
        for (uint32_t i = 0; properties && i < x->propertyCount; ++i) {
            const char *v = x->properties[i].value;
            propertyAppend(n, x->properties[i].name, v, v ? strlen(v) : 0);
        }
        if (container) {
            for (uint32_t i = x->childCount; i-- > 0;) stack.push_back({x->children[i], n});
        } else if (x->value != nullptr && x->valueLength) {
            std::string text(x->value, x->valueLength);
            dataSetCopy(n, text.c_str(), text.size() + 1);
        }
    }
    return doc.release();
}

}  // namespace

extern "C" {

KX_API kx_Xml *kx_Ebml_convert_to_Xml__IO(kx_Ebml *doc) {
    if (doc == nullptr) return nullptr;
    return guarded<kx_Xml *>(__func__, nullptr, [&] { return toXml(doc, true); });
}

KX_API int kx_Ebml_out_debug(kx_Ebml *doc, FILE *stream) {
    if (doc == nullptr || stream == nullptr) return -1;
    if (kx_Ebml_analyzeAll_check(doc, nullptr) == -3) {
        KX_LOGE("Analyze EBML failed.");
        return -1;
    }
    kx_Xml *xml = kx_Ebml_convert_to_Xml__IO(doc);
    if (xml == nullptr) return -1;
    char *text = kx_Xml_to_string__IO(xml, "\n", nullptr, 4);
    kx_Xml_delete__OI(xml);
    if (text == nullptr) return -1;
    bool ok = fputs(text, stream) >= 0 && fputc('\n', stream) != EOF;
    free(text);
    return ok ? 1 : -1;
}

KX_API kx_Ebml *kx_Ebml_new_from_Xml__IO(kx_Xml *xml) {
    if (xml == nullptr) return nullptr;
    return guarded<kx_Ebml *>(__func__, nullptr, [&] { return fromXml(xml, true); });
}

KX_API kx_Ebml *kx_Ebml_new_from_Xml_noProperty__IO(kx_Xml *xml) {
    if (xml == nullptr) return nullptr;
    return guarded<kx_Ebml *>(__func__, nullptr, [&] { return fromXml(xml, false); });
}

}  // extern "C"
