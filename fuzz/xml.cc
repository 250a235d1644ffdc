// Fuzzes the XML engine: load, lazy lookups, full parse, edits, serialise, reload.
// Well-formed written text, reloaded and written again, must not change.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "kx/objectlist.h"
#include "kx/xml.h"

namespace {

std::string write(kx_Xml *doc, const char *lineStart, uint32_t step) {
    char *t = kx_Xml_to_string__IO(doc, lineStart, nullptr, step);
    if (t == nullptr) abort();
    std::string s(t);
    free(t);
    return s;
}

// Loads text, parses it fully and writes it compactly. *check: the parse result,
// 0 when the text did not load.
std::string cycle(const std::string &text, int *check) {
    kx_Xml *doc = kx_Xml_new_from_string_buffer__IO(text.size(), text.data());
    *check = 0;
    if (doc == nullptr) return {};
    *check = kx_Xml_analyzeAll_check(doc, nullptr);
    std::string out = write(doc, nullptr, 0);
    kx_Xml_delete__OI(doc);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = [] { return freopen("/dev/null", "w", stdout) != nullptr; }();
    (void)quiet;

    // Exactly size bytes on the heap: reading past them is an ASan error.
    char *copy = static_cast<char *>(malloc(size ? size : 1));
    if (size) memcpy(copy, data, size);
    kx_Xml *doc = kx_Xml_new_from_string_buffer__IO(size, copy);
    free(copy);
    if (doc == nullptr) return 0;

    // Lazy lookups over names that occur in typical inputs, before any full parse.
    static const char *const paths[] = {"a", "a b", "r a", " a  a ", "b c d", "x"};
    for (const char *p : paths) {
        kx_XmlNode *n = kx_Xml_node_get_first(doc, nullptr, p);
        if (n != nullptr) {
            if (n->kind != KX_XML_KIND_NODE || n->depth > KX_XML_NESTING_LIMIT) abort();
            kx_Xml_node_resolve_next_childNode(doc, n);
        }
    }
    kx_Xml_node_get_first_with_a_lastProperty(doc, nullptr, "a", "k", "v");
    long number = -1;
    kx_Xml_node_get_value_number_first(doc, nullptr, "a b", &number);
    char *inner = kx_Xml_node_get_value_string_first__IO(doc, nullptr, "r");
    free(inner);
    if (kx_ObjectList *all = kx_Xml_node_get_all__IO(doc, nullptr, "a b")) kx_ObjectList_delete__OI(all);

    // Full parse, a few edits, indented and compact output.
    kx_Xml_analyzeAll_check(doc, nullptr);
    if (doc->childCount > 0) {
        kx_XmlNode *first = doc->children[0];
        kx_Xml_node_property_set(first, "k", "v");
        kx_Xml_node_addChild_with_data(doc, first, "added", "1");
    }
    kx_Xml_node_delete_by_leafName_first(doc, "b");
    std::string indented = write(doc, "\n", 4);
    std::string flat = write(doc, nullptr, 0);
    kx_Xml_delete__OI(doc);

    // Reloading written output. When it reads back as well-formed elements, a
    // second cycle writes exactly the same text. (Malformed remainders are kept as
    // raw text and may be split differently once written.)
    int check = 0;
    cycle(indented, &check);
    std::string once = cycle(flat, &check);
    if (check != 1) return 0;
    std::string twice = cycle(once, &check);
    if (check != 1 || once != twice) abort();
    return 0;
}
