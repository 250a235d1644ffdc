/* kx_StringBuilder: collects pieces and joins them once, in order, in reverse order, or
 * XOR-scrambled in reverse piece order. */
#ifndef KX_STRINGBUILDER_H
#define KX_STRINGBUILDER_H

#include "kx/base.h"
#include "kx/string.h"

KX_EXTERN_C_BEGIN

struct kx_StringBuilder {
    uint32_t total;        /* sum of the pieces' lengths */
    kx_ObjectList *pieces; /* kx_String records in append order (granule 256) */
    unsigned char *borrowed; /* one byte per piece: 1 when the piece's bytes belong to the caller */
};

KX_API kx_StringBuilder *kx_StringBuilder_new__IO(void);
/* Deletes the pieces (owned bytes are freed, borrowed bytes are left alone) and the builder. */
KX_API void kx_StringBuilder_delete__OI(kx_StringBuilder *builder);
/* Joins, then deletes the builder; null when total is 0. */
KX_API kx_String *kx_StringBuilder_delete__IO__OI(kx_StringBuilder *builder);

/* Appends return 1, or -1 (null argument, or the total would exceed UINT32_MAX; nothing is
 * appended and an __OI argument stays the caller's). */
/* Copy of a NUL-terminated text. */
KX_API int kx_StringBuilder_apend(kx_StringBuilder *builder, const char *text);
/* Piece that borrows text: it must stay valid and unchanged until the builder is deleted. */
KX_API int kx_StringBuilder_apend__OI_2(kx_StringBuilder *builder, const char *text);
/* The record itself becomes a piece; the builder deletes it. */
KX_API int kx_StringBuilder_apend_String__OI_2(kx_StringBuilder *builder, kx_String *string);
/* Piece that borrows (lenth, bytes), under the same rule as kx_StringBuilder_apend__OI_2. */
KX_API int zr7ee_StringBuilder_apend_String__OI_3(kx_StringBuilder *builder, uint32_t lenth, const char *bytes);
/* Copy of lenth bytes. */
KX_API int kx_StringBuilder_apend_string(kx_StringBuilder *builder, uint32_t lenth, const char *bytes);

/* Joined pieces as a new string; null when total is 0. */
KX_API kx_String *kx_StringBuilder_to_String__IO(const kx_StringBuilder *builder);
KX_API kx_String *kx_StringBuilder_to_String_reverse__IO(const kx_StringBuilder *builder);
/* Pieces first..last (inclusive) of a list of kx_String records; null when the range is empty,
 * out of the list, or its total is 0 or exceeds UINT32_MAX. */
KX_API kx_String *kx_StringBuilder_to_String_part__IO(const kx_ObjectList *pieces, uint32_t first, uint32_t last);
/* Join into out (total bytes, no NUL); return the bytes written. */
KX_API uint32_t kx_StringBuilder_to_String(const kx_StringBuilder *builder, char *out);
KX_API uint32_t kx_StringBuilder_to_String_reverse(const kx_StringBuilder *builder, char *out);

/* Scrambled join of pieces high down to low (inclusive): every byte is XORed with the working
 * key, taken cyclically across the pieces. Byte i of the working key is key[i] XOR the low byte
 * of r, where r starts as total and is shifted right by 8 after each byte, restarting from total
 * when it becomes 0. key is a non-empty NUL-terminated text.
 * to_String_encryption_reverse: bytes written, or -1 (bad arguments: null, empty key,
 * low > high, high >= piece count). The get_sourceCheck forms return the XOR of all source bytes
 * written (0..255) instead. */
KX_API long kx_StringBuilder_to_String_encryption_reverse(const kx_StringBuilder *builder, char *out, const char *key,
                                                          uint32_t low, uint32_t high);
KX_API int kx_StringBuilder_to_String_encryption_reverse_get_sourceCheck(const kx_StringBuilder *builder, char *out,
                                                                         const char *key, uint32_t low,
                                                                         uint32_t high);

/* Writes the pieces in order / in reverse order: 1, -1 bad arguments, -2 on a failed write. */
KX_API int kx_StringBuilder_out(const kx_StringBuilder *builder, FILE *stream);
KX_API int kx_StringBuilder_out_reverse(const kx_StringBuilder *builder, FILE *stream);
/* Scrambled output with fputc: 1 (the get_sourceCheck form: the check 0..255), -1 bad
 * arguments, -2 on the first failed write. */
KX_API int kx_StringBuilder_out_encryption_reverse(const kx_StringBuilder *builder, FILE *stream, const char *key,
                                                   uint32_t low, uint32_t high);
KX_API int kx_StringBuilder_out_encryption_reverse_get_sourceCheck(const kx_StringBuilder *builder, FILE *stream,
                                                                   const char *key, uint32_t low, uint32_t high);

/* File in mode "wb": 1; -1 when it cannot be opened (or bad arguments); -2 when a write, the
 * flush or the close fails. */
KX_API int kx_StringBuilder_save_to_file(const kx_StringBuilder *builder, const char *path);
KX_API int kx_StringBuilder_save_to_file_reverse(const kx_StringBuilder *builder, const char *path);

KX_EXTERN_C_END

#endif
