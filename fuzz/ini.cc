// INI lookup on arbitrary text: the first two bytes give the sizes of the section and key names
// that follow, the rest is the text. A value found lies inside the text, is NUL-terminated
// within the record's buffer, and neither starts nor ends with a space.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "kx/string.h"

namespace {
void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "check failed: %s\n", what);
        abort();
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    size_t sectionLen = data[0] % 16, keyLen = data[1] % 16;
    if (size < 2 + sectionLen + keyLen) return 0;
    const char *p = reinterpret_cast<const char *>(data) + 2;
    std::string section(p, strnlen(p, sectionLen));
    std::string key(p + sectionLen, strnlen(p + sectionLen, keyLen));
    const char *text = p + sectionLen + keyLen;
    const auto n = static_cast<uint32_t>(size - 2 - sectionLen - keyLen);

    kx_String *copy = kx_String_new_form_stringBuffer__IO(text, n);  // lenth + 1 bytes, exactly
    const char *value = kx_String_ini_get(copy, section.c_str(), key.c_str());
    if (value != nullptr) {
        check(value >= copy->buffer && value < copy->buffer + copy->lenth, "value inside the text");
        size_t room = static_cast<size_t>(copy->buffer + copy->lenth - value);
        size_t len = strnlen(value, room + 1);
        check(len >= 1 && len <= room, "terminated within the buffer");
        check(value[0] != ' ' && value[len - 1] != ' ', "trimmed");
    }
    kx_String_delete__OI(copy);
    return 0;
}
