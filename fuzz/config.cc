// Fuzzes configuration loading and use. The input is read as a configuration's serial
// form, and as a plain EBML document used both as a template (values, defaults,
// instances, hosts, exports, import) and as the source imported into a fixed template.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "kx/config.h"
#include "kx/objectlist.h"
#include "kx/string.h"
#include "kx/stringlist.h"

namespace {

kx_Ebml *fixedTemplate() {
    kx_Ebml *c = kx_Config_new__IO();
    kx_EbmlNode *name = kx_Config_node_string_add(c, nullptr, "a", "A", "a", 1, 0, 1, 1, 8, 2);
    kx_Config_node_string_add_value(c, name, "$$defaultValue", "x", nullptr, nullptr);
    kx_Config_node_integer_add(c, nullptr, "n", "N", "n", 1, 1, -5, 5, 3);
    kx_EbmlNode *g = kx_Config_node_node_add(c, nullptr, "g", "G", "g", 1, 0, 1);
    kx_Config_node_string_add(c, g, "b", "B", "b", 1, 0, 1, 0, 4, 1);
    kx_EbmlNode *t = kx_Config_node_template_add(c, nullptr, "t", "T", "t", "h", 1, 0, 1, 2);
    kx_Config_node_string_add(c, t, "h", "H", "h", 1, 0, 1, 0, 21, 1);
    return c;
}

// Every read the services do, on every top-level element of doc.
void readAll(kx_Ebml *doc) {
    kx_EbmlNode *root = reinterpret_cast<kx_EbmlNode *>(doc);
    kx_Ebml_analyzeAll(doc, nullptr);
    uint32_t here = 0x0100000A;  // 10.0.0.1
    for (uint32_t i = 0; i < root->childCount && i < 16; ++i) {
        kx_EbmlNode *n = root->children[i];
        free(kx_Config_node_string_get__IO(doc, n, nullptr));
        free(kx_Config_node_integer_get__IO(doc, n, nullptr));
        if (n->name[0] == '$' && n->name[1] != '$') {
            kx_ObjectList *l = kx_Config_node_template__IO(doc, nullptr, &here, 1, KX_CONFIG_KEEP_LOCAL, n->name + 1);
            if (l) kx_ObjectList_delete__OI(l);
        }
    }
    kx_StringList *hosts = kx_Config_distributed_host_get__IO(doc, nullptr);
    if (hosts) kx_StringList_delete__OI(hosts);
    kx_Ebml_delete__OI(kx_Config_export__IO(doc, nullptr));
    kx_Ebml_delete__OI(kx_Config_export_with_comment__IO(doc, nullptr));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = [] { return freopen("/dev/null", "w", stdout) != nullptr; }();
    (void)quiet;
    kx_Ebml *loaded = kx_Config_new_from_string__IO(size, data);
    if (loaded) {
        readAll(loaded);
        kx_Config_delete__OI(loaded);
    }
    kx_Ebml *doc = kx_Ebml_new_from_String__IO(size, data, nullptr);
    if (doc == nullptr) return 0;
    // As a source for a fixed template, then as a template itself.
    kx_Ebml *config = fixedTemplate();
    kx_Config_import(config, nullptr, doc, nullptr);
    readAll(config);
    kx_Ebml *self = kx_Ebml_new_from_Ebml__IO(doc);
    kx_Config_import(self, nullptr, doc, nullptr);
    readAll(self);
    kx_String *serial = kx_Config_to_String__IO(self, 0, 0);
    if (serial) {
        kx_Ebml *back = kx_Ebml_new_from_String__IO(serial->lenth, serial->buffer, nullptr);
        kx_Ebml_delete__OI(back);
        kx_String_delete__OI(serial);
    }
    kx_Ebml_delete__OI(self);
    kx_Ebml_delete__OI(config);
    kx_Ebml_delete__OI(doc);
    return 0;
}
