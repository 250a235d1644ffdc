// Fuzzes EBML documents: parse with or without a password (first byte), then walk
// everything: one child at a time, searches, the full parse, values, copies, XML and
// JSON, writes. A document written after a full parse, parsed and written again, must
// not change.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "kx/ebml.h"
#include "kx/json.h"
#include "kx/objectlist.h"
#include "kx/string.h"
#include "kx/xml.h"

namespace {

std::string bytes(kx_Ebml *doc, const char *password) {
    kx_String *s = kx_Ebml_to_String__IO(doc, 0, 0, password);
    if (s == nullptr) abort();  // parsed documents always fit the writer
    std::string out(s->buffer, s->lenth);
    kx_String_delete__OI(s);
    return out;
}

void dropList(kx_ObjectList *l) {
    if (l) kx_ObjectList_delete__OI(l);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = [] { return freopen("/dev/null", "w", stdout) != nullptr; }();
    (void)quiet;
    if (size < 1) return 0;
    const char *password = (data[0] & 1) ? "fuzz-key" : nullptr;
    kx_Ebml *doc = kx_Ebml_new_from_String__IO(size - 1, data + 1, password);
    if (doc == nullptr) return 0;
    kx_EbmlNode *root = reinterpret_cast<kx_EbmlNode *>(doc);
    // Lazy steps first: a child at a time, then searches that parse on demand.
    for (int i = 0; i < 4 && kx_Ebml_node_resolve_next_childNode(doc, nullptr); ++i) {
    }
    const char *paths[] = {"a", "a b", "  a   a ", "n n n", "$$value"};
    for (const char *p : paths) {
        dropList(kx_Ebml_node_get__IO(doc, nullptr, p));
        dropList(kx_Ebml_node_get_child__IO(doc, nullptr, p));
        kx_Ebml_node_get_first_with_a_lastProperty(doc, nullptr, p, "p", "v");
    }
    std::string lazy = bytes(doc, nullptr);
    kx_Ebml_analyzeAll_check(doc, nullptr);
    kx_String *all = kx_Ebml_value_all_get__IO(doc, nullptr);
    if (all) kx_String_delete__OI(all);
    kx_Xml *xml = kx_Ebml_convert_to_Xml__IO(doc);
    if (xml) {
        char *text = kx_Xml_to_string__IO(xml, "\n", nullptr, 2);
        free(text);
        kx_Ebml *fromXml = kx_Ebml_new_from_Xml__IO(xml);
        kx_Ebml_delete__OI(fromXml);
        kx_Xml_delete__OI(xml);
    }
    kx_Json *json = kx_Ebml_convert_to_Json__IO(doc);
    if (json) {
        char *text = kx_Json_to_string__IO(json, nullptr, "\n", 2);
        kx_Json *reread = text ? kx_Json_new_from_string__IO(text) : nullptr;
        free(text);
        kx_Ebml_delete__OI(kx_Ebml_new_from_Json__IO(reread));
        kx_Json_delete__OI(reread);
        kx_Json_delete__OI(json);
    }
    std::string full = bytes(doc, nullptr);
    std::string scrambled = bytes(doc, "other-key");
    kx_Ebml *copy = kx_Ebml_new_from_Ebml__IO(doc);
    if (copy == nullptr || bytes(copy, nullptr) != full) abort();
    kx_Ebml_delete__OI(copy);
    if (root->childCount) kx_Ebml_node_delete(doc, root->children[0]);
    kx_Ebml_delete__OI(doc);

    // What was written reads back to the same bytes, with and without a password.
    kx_Ebml *again = kx_Ebml_new_from_String__IO(full.size(), full.data(), nullptr);
    kx_Ebml *opened = kx_Ebml_new_from_String__IO(scrambled.size(), scrambled.data(), "other-key");
    if (again == nullptr || opened == nullptr) abort();
    kx_Ebml_analyzeAll(again, nullptr);
    if (bytes(again, nullptr) != full || bytes(opened, nullptr) != full) abort();
    (void)lazy;
    kx_Ebml_delete__OI(again);
    kx_Ebml_delete__OI(opened);
    return 0;
}
