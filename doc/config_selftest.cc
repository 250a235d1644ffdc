// kx_Config_test: builds a template, imports values into it, reads them back and sends
// the document through its serial form.
#include <stdlib.h>
#include <string.h>

#include <initializer_list>

#include "core/selftest.hpp"
#include "kx/config.h"
#include "kx/objectlist.h"
#include "kx/string.h"

extern "C" KX_API int kx_Config_test(void) {
    kx::SelfTest t("kx_Config_test");
    kx_Ebml *config = kx_Config_new__IO();
    kx_Ebml *source = kx_Ebml_new__IO(KX_EBML_UTF8, 0);
    if (config == nullptr || source == nullptr) {
        t.check(false, "documents created");
        kx_Ebml_delete__OI(config);
        kx_Ebml_delete__OI(source);
        return t.finish();
    }
    kx_EbmlNode *name = kx_Config_node_string_add(config, nullptr, "name", "Name", "Station name", 1, 0, 1, 1, 8, 2);
    kx_Config_node_string_add_value(config, name, "$$defaultValue", "station", nullptr, nullptr);
    kx_EbmlNode *port = kx_Config_node_integer_add(config, nullptr, "port", "Port", "RTSP port", 1, 1, 1, 65535, 1);
    kx_Config_node_integer_add_value(config, port, "$$defaultValue", 554, nullptr, nullptr);
    kx_EbmlNode *cam = kx_Config_node_template_add(config, nullptr, "camera", "Camera", "One camera", nullptr, 1, 0, 1, 2);
    kx_Config_node_string_add(config, cam, "url", "URL", "Stream address", 1, 0, 1, 8, 64, 1);
    t.check(name && port && cam, "template built");

    char *first = kx_Config_node_string_get_first__IO(config, nullptr, "name");
    t.check(first && strcmp(first, "station") == 0, "default value without values");
    free(first);
    t.check(kx_Config_node_int_get_first(config, nullptr, "port", 0) == 554, "integer default");

    kx_EbmlNode *src = kx_Ebml_node_addChild(source, nullptr, "name", KX_EBML_TYPE_CONTAINER);
    for (const char *v : {"abc", "too-long-value", "xyz"})
        kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(source, src, "$$value", KX_EBML_TYPE_TEXT), v);
    for (int i = 0; i < 3; ++i) {
        kx_EbmlNode *inst = kx_Ebml_node_addChild(source, nullptr, "camera", KX_EBML_TYPE_CONTAINER);
        kx_EbmlNode *url = kx_Ebml_node_addChild(source, inst, "url", KX_EBML_TYPE_CONTAINER);
        kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(source, url, "$$value", KX_EBML_TYPE_TEXT), "rtsp://10.0.0.1/1");
    }
    t.check(kx_Config_import(config, nullptr, source, nullptr) == 1, "import");
    kx_ConfigStrings *names = kx_Config_node_string_get__IO(config, nullptr, "name");
    t.check(names && names->count == 1 && strcmp(names->values[0], "abc") == 0, "values bounded by length and count");
    free(names);
    kx_ObjectList *cams = kx_Config_node_template__IO(config, nullptr, nullptr, 0, KX_CONFIG_KEEP_LOCAL, "camera");
    t.check(cams && cams->count == 2, "instances bounded by the template");
    if (cams) kx_ObjectList_delete__OI(cams);

    kx_String *serial = kx_Config_to_String__IO(config, 0, 0);
    kx_Ebml *back = serial ? kx_Config_new_from_string__IO(serial->lenth, serial->buffer) : nullptr;
    first = back ? kx_Config_node_string_get_first__IO(back, nullptr, "name") : nullptr;
    t.check(first && strcmp(first, "abc") == 0, "serial form read back");
    free(first);
    kx_Ebml *plain = serial ? kx_Ebml_new_from_String__IO(serial->lenth, serial->buffer, nullptr) : nullptr;
    t.check(plain == nullptr, "serial form needs the key");
    kx_Ebml_delete__OI(plain);
    kx_Ebml_delete__OI(back);
    kx_String_delete__OI(serial);
    kx_Ebml_delete__OI(source);
    kx_Ebml_delete__OI(config);
    return t.finish();
}
