// Encoding detection and character counting on arbitrary bytes: results stay within their
// bounds and nothing is read past the given length.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kx/string.h"

namespace {
void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "check failed: %s\n", what);
        abort();
    }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (freopen("/dev/null", "w", stdout) == nullptr) return 0;  // no log records per input
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const int requested = data[0] % 4;  // 0 detects, 1-3 force an encoding
    const size_t n = size - 1;
    char *bytes = static_cast<char *>(malloc(n ? n : 1));  // exact size
    if (n) memcpy(bytes, data + 1, n);
    const auto len = static_cast<uint32_t>(n);

    int code = kx_String_buffer_check_code(len, bytes);
    check(code >= 0 && code <= 3, "code range");
    bool ascii = true;
    for (size_t i = 0; i < n; ++i) ascii = ascii && static_cast<unsigned char>(bytes[i]) < 0x80;
    check((code == 1) == ascii, "ascii detection");

    uint32_t chars = kx_String_buffer_get_chars(len, bytes, requested);
    uint32_t width = kx_String_buffer_get_chars_width(len, bytes, requested);
    check(chars <= len, "chars bounded by length");
    check(width >= chars && width <= 2 * chars, "width between one and two columns per character");
    if (requested == 1 || (requested == 0 && code == 1)) check(chars == len && width == len, "single-byte text");
    if (requested == 0 && code == 0 && n > 0) check(chars == 0 && width == 0, "undecided text");

    free(bytes);
    return 0;
}
