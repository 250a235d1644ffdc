// kx_StringBuilder: pieces collected in an object list and joined once.
#include "kx/stringbuilder.h"

#include <stdlib.h>
#include <string.h>

#include "core/log.hpp"
#include "core/string_internal.hpp"
#include "kx/objectlist.h"

namespace {

constexpr unsigned char kGranuleExponent = 8;
constexpr uint32_t kGranule = 1u << kGranuleExponent;

const kx_String *piece_at(const kx_ObjectList *list, uint32_t i) {
    return static_cast<const kx_String *>(list->array[list->start + i]);
}

// Adds a piece; on -1 nothing changed and the piece is still the caller's.
int add_piece(kx_StringBuilder *builder, kx_String *piece, bool borrowed) {
    if (static_cast<uint64_t>(builder->total) + piece->lenth > UINT32_MAX) return -1;
    uint32_t index = builder->pieces->count;
    if (index % kGranule == 0) {  // the flag array grows by one granule with the list
        auto *grown = static_cast<unsigned char *>(realloc(builder->borrowed, static_cast<size_t>(index) + kGranule));
        if (grown == nullptr) return -1;
        builder->borrowed = grown;
    }
    if (kx_ObjectList_insert_tail(builder->pieces, piece) < 0) return -1;
    builder->borrowed[index] = borrowed ? 1 : 0;
    builder->total += piece->lenth;
    return 1;
}

int add_borrowed(kx_StringBuilder *builder, uint32_t lenth, const char *bytes) {
    if (builder == nullptr || (bytes == nullptr && lenth > 0)) return -1;
    auto *piece = static_cast<kx_String *>(malloc(sizeof(kx_String)));
    if (piece == nullptr) return -1;
    piece->buffer = const_cast<char *>(bytes);
    piece->lenth = lenth;
    if (add_piece(builder, piece, true) < 0) {
        free(piece);
        return -1;
    }
    return 1;
}

int add_copy(kx_StringBuilder *builder, uint32_t lenth, const char *bytes) {
    if (builder == nullptr || (bytes == nullptr && lenth > 0)) return -1;
    kx_String *piece = kx_String_new_form_stringBuffer__IO(bytes, lenth);
    if (piece == nullptr) return -1;
    if (add_piece(builder, piece, false) < 0) {
        kx_String_delete__OI(piece);
        return -1;
    }
    return 1;
}

uint32_t join(const kx_ObjectList *list, uint32_t first, uint32_t last, bool reverse, char *out) {
    size_t at = 0;
    for (uint32_t k = 0; k <= last - first; ++k) {
        const kx_String *p = piece_at(list, reverse ? last - k : first + k);
        if (p->lenth > 0) memcpy(out + at, p->buffer, p->lenth);
        at += p->lenth;
    }
    return static_cast<uint32_t>(at);
}

kx_String *join_new(const kx_StringBuilder *builder, bool reverse) {
    if (builder == nullptr || builder->total == 0) return nullptr;
    kx_String *s = kx::str::allocate(builder->total);
    if (s != nullptr) join(builder->pieces, 0, builder->pieces->count - 1, reverse, s->buffer);
    return s;
}

// The working key: key[i] XOR the low byte of r (r from total, shifted by 8 per byte,
// restarting from total at 0). Null on bad arguments; release with free.
unsigned char *working_key(const kx_StringBuilder *builder, const char *key, uint32_t low, uint32_t high,
                           size_t *keyLen) {
    if (builder == nullptr || key == nullptr || key[0] == '\0' || low > high || high >= builder->pieces->count)
        return nullptr;
    size_t n = strlen(key);
    auto *wk = static_cast<unsigned char *>(malloc(n));
    if (wk == nullptr) return nullptr;
    uint32_t r = builder->total;
    for (size_t i = 0; i < n; ++i) {
        wk[i] = static_cast<unsigned char>(key[i]) ^ static_cast<unsigned char>(r & 0xFF);
        r >>= 8;
        if (r == 0) r = builder->total;
    }
    *keyLen = n;
    return wk;
}

// Walks pieces high..low, handing each scrambled byte to sink; the XOR of the source bytes,
// -1 on bad arguments, or sink's negative code.
template <typename Sink>
long scramble(const kx_StringBuilder *builder, const char *key, uint32_t low, uint32_t high, Sink sink) {
    size_t keyLen = 0;
    unsigned char *wk = working_key(builder, key, low, high, &keyLen);
    if (wk == nullptr) return -1;
    unsigned char check = 0;
    size_t k = 0;
    for (uint32_t index = high;; --index) {
        const kx_String *p = piece_at(builder->pieces, index);
        const auto *bytes = reinterpret_cast<const unsigned char *>(p->buffer);
        for (uint32_t i = 0; i < p->lenth; ++i) {
            check ^= bytes[i];
            if (!sink(static_cast<unsigned char>(bytes[i] ^ wk[k]))) {
                free(wk);
                return -2;
            }
            if (++k == keyLen) k = 0;
        }
        if (index == low) break;
    }
    free(wk);
    return check;
}

int out_pieces(const kx_StringBuilder *builder, FILE *stream, bool reverse) {
    if (builder == nullptr || stream == nullptr) return -1;
    uint32_t count = builder->pieces->count;
    for (uint32_t k = 0; k < count; ++k) {
        const kx_String *p = piece_at(builder->pieces, reverse ? count - 1 - k : k);
        if (!kx::str::write_all(stream, p->buffer, p->lenth)) return -2;
    }
    return 1;
}

int save_pieces(const kx_StringBuilder *builder, const char *path, bool reverse) {
    if (builder == nullptr || path == nullptr) return -1;
    FILE *file = fopen(path, "wb");
    if (file == nullptr) {
        KX_LOGS("kx_StringBuilder_save_to_file", "Open the file:\"%s\" failed.", path);
        return -1;
    }
    bool ok = out_pieces(builder, file, reverse) == 1;
    if (!kx::str::finish_file(file)) ok = false;
    if (!ok) {
        KX_LOGS("kx_StringBuilder_save_to_file", "Write the file:\"%s\" failed.", path);
        return -2;
    }
    return 1;
}

}  // namespace

extern "C" {

kx_StringBuilder *kx_StringBuilder_new__IO(void) {
    auto *builder = static_cast<kx_StringBuilder *>(malloc(sizeof(kx_StringBuilder)));
    if (builder == nullptr) return nullptr;
    builder->total = 0;
    builder->borrowed = nullptr;
    builder->pieces = kx_ObjectList_new__IO(kGranuleExponent);
    if (builder->pieces == nullptr) {
        free(builder);
        return nullptr;
    }
    return builder;
}

void kx_StringBuilder_delete__OI(kx_StringBuilder *builder) {
    if (builder == nullptr) return;
    for (uint32_t i = 0; i < builder->pieces->count; ++i) {
        auto *p = const_cast<kx_String *>(piece_at(builder->pieces, i));
        if (builder->borrowed[i])
            free(p);
        else
            kx_String_delete__OI(p);
    }
    kx_ObjectList_delete__OI(builder->pieces);
    free(builder->borrowed);
    free(builder);
}

kx_String *kx_StringBuilder_delete__IO__OI(kx_StringBuilder *builder) {
    kx_String *joined = kx_StringBuilder_to_String__IO(builder);
    kx_StringBuilder_delete__OI(builder);
    return joined;
}

int kx_StringBuilder_apend(kx_StringBuilder *builder, const char *text) {
    if (text == nullptr) return -1;
    size_t n = strlen(text);
    if (n > UINT32_MAX) return -1;
    return add_copy(builder, static_cast<uint32_t>(n), text);
}

int kx_StringBuilder_apend__OI_2(kx_StringBuilder *builder, const char *text) {
    if (text == nullptr) return -1;
    size_t n = strlen(text);
    if (n > UINT32_MAX) return -1;
    return add_borrowed(builder, static_cast<uint32_t>(n), text);
}

int kx_StringBuilder_apend_String__OI_2(kx_StringBuilder *builder, kx_String *string) {
    if (builder == nullptr || string == nullptr || (string->buffer == nullptr && string->lenth > 0)) return -1;
    return add_piece(builder, string, false);
}

int zr7ee_StringBuilder_apend_String__OI_3(kx_StringBuilder *builder, uint32_t lenth, const char *bytes) {
    return add_borrowed(builder, lenth, bytes);
}

int kx_StringBuilder_apend_string(kx_StringBuilder *builder, uint32_t lenth, const char *bytes) {
    return add_copy(builder, lenth, bytes);
}

kx_String *kx_StringBuilder_to_String__IO(const kx_StringBuilder *builder) { return join_new(builder, false); }

kx_String *kx_StringBuilder_to_String_reverse__IO(const kx_StringBuilder *builder) { return join_new(builder, true); }

kx_String *kx_StringBuilder_to_String_part__IO(const kx_ObjectList *pieces, uint32_t first, uint32_t last) {
    if (pieces == nullptr || first > last || last >= pieces->count) return nullptr;
    size_t total = 0;
    for (uint32_t i = first; i <= last; ++i) {
        const kx_String *p = piece_at(pieces, i);
        if (p == nullptr || (p->buffer == nullptr && p->lenth > 0)) return nullptr;
        total += p->lenth;
        if (total > UINT32_MAX) return nullptr;
    }
    if (total == 0) return nullptr;
    kx_String *s = kx::str::allocate(static_cast<uint32_t>(total));
    if (s != nullptr) join(pieces, first, last, false, s->buffer);
    return s;
}

uint32_t kx_StringBuilder_to_String(const kx_StringBuilder *builder, char *out) {
    if (builder == nullptr || out == nullptr || builder->pieces->count == 0) return 0;
    return join(builder->pieces, 0, builder->pieces->count - 1, false, out);
}

uint32_t kx_StringBuilder_to_String_reverse(const kx_StringBuilder *builder, char *out) {
    if (builder == nullptr || out == nullptr || builder->pieces->count == 0) return 0;
    return join(builder->pieces, 0, builder->pieces->count - 1, true, out);
}

long kx_StringBuilder_to_String_encryption_reverse(const kx_StringBuilder *builder, char *out, const char *key,
                                                   uint32_t low, uint32_t high) {
    if (out == nullptr) return -1;
    size_t at = 0;
    long rc = scramble(builder, key, low, high, [&](unsigned char c) {
        out[at++] = static_cast<char>(c);
        return true;
    });
    return rc < 0 ? rc : static_cast<long>(at);
}

int kx_StringBuilder_to_String_encryption_reverse_get_sourceCheck(const kx_StringBuilder *builder, char *out,
                                                                  const char *key, uint32_t low, uint32_t high) {
    if (out == nullptr) return -1;
    size_t at = 0;
    return static_cast<int>(scramble(builder, key, low, high, [&](unsigned char c) {
        out[at++] = static_cast<char>(c);
        return true;
    }));
}

int kx_StringBuilder_out(const kx_StringBuilder *builder, FILE *stream) { return out_pieces(builder, stream, false); }

int kx_StringBuilder_out_reverse(const kx_StringBuilder *builder, FILE *stream) {
    return out_pieces(builder, stream, true);
}

int kx_StringBuilder_out_encryption_reverse(const kx_StringBuilder *builder, FILE *stream, const char *key,
                                            uint32_t low, uint32_t high) {
    if (stream == nullptr) return -1;
    long rc = scramble(builder, key, low, high, [&](unsigned char c) { return fputc(c, stream) != EOF; });
    return rc < 0 ? static_cast<int>(rc) : 1;
}

int kx_StringBuilder_out_encryption_reverse_get_sourceCheck(const kx_StringBuilder *builder, FILE *stream,
                                                            const char *key, uint32_t low, uint32_t high) {
    if (stream == nullptr) return -1;
    return static_cast<int>(
        scramble(builder, key, low, high, [&](unsigned char c) { return fputc(c, stream) != EOF; }));
}

int kx_StringBuilder_save_to_file(const kx_StringBuilder *builder, const char *path) {
    return save_pieces(builder, path, false);
}

int kx_StringBuilder_save_to_file_reverse(const kx_StringBuilder *builder, const char *path) {
    return save_pieces(builder, path, true);
}

}  // extern "C"
