// Base64 decoding of arbitrary text with the standard and a caller's alphabet: a successful
// decode re-encodes and decodes to the same bytes, and the table-driven standard decoder agrees
// with the per-call decoder given the same text in a permuted alphabet.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "kx/string.h"

namespace {

const char kStd[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "check failed: %s\n", what);
        abort();
    }
}

bool same(const kx_String *a, const kx_String *b) {
    if (a == nullptr || b == nullptr) return a == b;
    return a->lenth == b->lenth && memcmp(a->buffer, b->buffer, a->lenth) == 0;
}

// decode -> encode -> decode gives the first decode again.
void round_trip(const kx_String *decoded, const char *alphabet) {
    kx_String *text = alphabet ? kx_String_encode_by_base64_custom__IO(decoded, alphabet)
                               : kx_String_encode_by_base64__IO(decoded);
    check(text != nullptr, "encode");
    check(text->lenth == 4 * (decoded->lenth / 3) + (decoded->lenth % 3 ? decoded->lenth % 3 + 1 : 0), "length");
    kx_String *again = alphabet ? kx_String_decode_from_base64_custom__IO(text->lenth, text->buffer, alphabet)
                                : kx_String_decode_from_base64__IO(text);
    check(same(decoded, again), "round trip");
    kx_String_delete__OI(text);
    kx_String_delete__OI(again);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (freopen("/dev/null", "w", stdout) == nullptr) return 0;  // no log records per input
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    // An exact-size copy: any read past the end is caught.
    char *text = static_cast<char *>(malloc(size ? size : 1));
    if (size) memcpy(text, data, size);
    auto n = static_cast<uint32_t>(size);

    kx_String *standard = kx_String_decode_from_base64_from_string__IO(n, text);
    if (standard != nullptr) {
        check(standard->buffer[standard->lenth] == '\0', "terminator");
        check(standard->lenth <= 3 * (n / 4) + 2, "decoded length");
        round_trip(standard, nullptr);
    }

    // A permutation of the alphabet chosen by the input; characters outside it stay as they are.
    std::string alphabet(kStd);
    unsigned seed = size ? data[0] : 0;
    for (int i = 63; i > 0; --i) {
        seed = seed * 1103515245u + 12345u;
        std::swap(alphabet[i], alphabet[(seed >> 16) % (i + 1)]);
    }
    char *mapped = static_cast<char *>(malloc(size ? size : 1));
    for (size_t i = 0; i < size; ++i) {
        const char *at = static_cast<const char *>(memchr(kStd, text[i], 64));
        mapped[i] = at != nullptr && text[i] != '\0' ? alphabet[at - kStd] : text[i];
    }
    kx_String *custom = kx_String_decode_from_base64_custom__IO(n, mapped, alphabet.c_str());
    check(same(standard, custom), "standard and custom decoders agree");
    if (custom != nullptr) round_trip(custom, alphabet.c_str());

    // Buffer form into an exact-size output.
    char *out = static_cast<char *>(malloc(3 * (size / 4) + 3));
    long len = kx_String_buffer_decode_from_base64(out, n, text);
    check(standard == nullptr ? len == -1 : len == static_cast<long>(standard->lenth), "buffer form");

    free(out);
    free(mapped);
    free(text);
    kx_String_delete__OI(standard);
    kx_String_delete__OI(custom);
    return 0;
}
