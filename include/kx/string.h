/* kx_String: counted byte strings and the buffer functions that work on any (length, bytes) pair:
 * search, comparison, number and address checks, INI lookup, base64, MD5, CRC-32, XOR word sum,
 * text-encoding detection, hex output and a printf-style formatter with head and tail room. */
#ifndef KX_STRING_H
#define KX_STRING_H

#include <stdarg.h>

#include "kx/base.h"

KX_EXTERN_C_BEGIN

/* buffer holds lenth + 1 bytes and is NUL-terminated; lenth counts the data bytes only and is
 * authoritative (data may contain NUL bytes). A string of length 0 may have a null buffer.
 * Strings made by kx_String_print__IO / kx_String_vprint__IO keep their text at buffer + headRoom
 * (see there). */
struct kx_String {
    char *buffer;
    uint32_t lenth;
};

/* ---- creation and release (results are the caller's; release with kx_String_delete__OI) ---- */

/* Buffer of lenth + 1 bytes, last byte 0, contents undefined; lenth 0 gives a record without buffer. */
KX_API kx_String *kx_String_new__IO(uint32_t lenth);
/* Copy of lenth bytes (null bytes with lenth > 0 gives null). */
KX_API kx_String *kx_String_new_form_stringBuffer__IO(const char *bytes, uint32_t lenth);
/* Takes over bytes without copying: it must come from malloc, hold lenth + 1 bytes and be
 * NUL-terminated at bytes[lenth]. */
KX_API kx_String *kx_String_new_form_stringBuffer__IO__OI(char *bytes, uint32_t lenth);
/* Copy of a NUL-terminated text (null or longer than UINT32_MAX gives null). */
KX_API kx_String *kx_String_new_form_string__IO(const char *text);
/* Whole file read in binary mode (also files of unknown size such as /proc files); null on error
 * or when the file is longer than UINT32_MAX bytes. */
KX_API kx_String *kx_String_new_form_file__IO(const char *path);
/* File contents at buffer + headRoom, followed by tailRoom zero bytes; the head room is zeroed too.
 * lenth = headRoom + file size + tailRoom (null when that exceeds UINT32_MAX). */
KX_API kx_String *kx_String_new_form_file_custom__IO(const char *path, uint32_t headRoom, uint32_t tailRoom);
/* Concatenation of every kx_String of an object list; null when the list is null or empty, the
 * total is 0 or the total exceeds UINT32_MAX. */
KX_API kx_String *kx_String_new_form_list__IO(const kx_ObjectList *list);
/* text1 followed by text2 (a null text counts as empty). */
KX_API kx_String *kx_String_cat__IO(const char *text1, const char *text2);
KX_API kx_String *kx_String_copy__IO(const kx_String *string);
/* Copy of lenth bytes starting at offset *position of bytes (the caller guarantees the range). */
KX_API kx_String *kx_String_sub__IO(const uint32_t *position, const char *bytes, uint32_t lenth);
/* Frees buffer and record (null is ignored). For a shared string, drops one reference and
 * frees only with the last. */
KX_API void kx_String_delete__OI(kx_String *string);
/* Shares a string: returns the same record with one more reference, so that one buffer can be
 * queued in many places without copying; each holder releases its reference with
 * kx_String_delete__OI. A shared string is read-only: every holder sees the same bytes. */
KX_API kx_String *kx_String_share__IO(kx_String *string);
/* References held on a string (1 for one that was never shared, 0 for null). */
KX_API uint32_t kx_String_shareCount(const kx_String *string);
/* Frees the record and hands the buffer to the caller (release with free); null, with the
 * buffer freed, when lenth is 0. A string still shared by others stays theirs and the caller
 * gets a copy of its buffer. */
KX_API char *kx_String_delete__OI__IO(kx_String *string);

/* Writes lenth bytes to path (mode "wb"): 1; -1 when the file cannot be opened; -2 when a write,
 * the flush or the close fails. */
KX_API int kx_String_buffer_save_to_file(uint32_t lenth, const char *bytes, const char *path);
/* As above for a record: 1, 0 for a null or empty record (no file written), -1, -2. */
KX_API int kx_String_save_to_file(const kx_String *string, const char *path);

/* ---- search and comparison: offsets, or -1 when absent ---- */

KX_API long kx_String_buffer_indexOf(uint32_t lenth, const char *bytes, char c);
KX_API long kx_String_buffer_lastIndexOf(uint32_t lenth, const char *bytes, char c);
/* First offset of the subLen bytes of sub (an empty sub is found at 0). */
KX_API long kx_String_buffer_indexOf_stringBuffer(uint32_t lenth, const char *bytes, uint32_t subLen, const char *sub);
KX_API long kx_String_buffer_indexOf_string(uint32_t lenth, const char *bytes, const char *text);
/* Last offset of text in string (an empty text is found at lenth). */
KX_API long kx_String_lastIndexOfString(const kx_String *string, const char *text);
/* Pointer to the first occurrence inside bytes, or null. */
KX_API char *kx_String_buffer_posOf_buffer(uint32_t lenth, const char *bytes, uint32_t subLen, const char *sub);
KX_API char *kx_String_buffer_posOf_string(uint32_t lenth, const char *bytes, const char *text);
/* 1 when the data starts / ends with the given bytes or text, else -1. */
KX_API int kx_String_buffer_beginWith_by_String(uint32_t lenth, const char *bytes, const kx_String *prefix);
KX_API int kx_String_buffer_beginWith(uint32_t lenth, const char *bytes, const char *text);
KX_API int kx_String_beginWith(const kx_String *string, const char *text);
KX_API int kx_String_buffer_endWith_buffer(uint32_t lenth, const char *bytes, uint32_t suffixLen, const char *suffix);
KX_API int kx_String_buffer_endWith(uint32_t lenth, const char *bytes, const char *text);

/* Bytes compared as signed 8-bit values up to the shorter length: 1 when a's first differing byte
 * is greater, -1 when smaller. A shorter string equal to the beginning of the longer gives 0,
 * except that an empty a gives -1 against a non-empty b (0 against an empty b) and a non-empty a
 * gives 1 against an empty b. */
KX_API int kx_String_buffer_cmp(uint32_t aLen, const char *a, uint32_t bLen, const char *b);
KX_API int kx_String_cmp(const kx_String *a, const kx_String *b);

/* 1 when every byte is a decimal digit (also for length 0), else -1; lenth above 255 gives -1. */
KX_API int kx_String_buffer_isDigit(uint32_t lenth, const char *bytes);
/* 1 for dotted-quad text (three dots, four groups of 1-3 digits, a 3-digit group starts with
 * 0, 1 or 2 and, starting with 2, has a second digit of at most 5), else -1; lenth above 255
 * gives -1. */
KX_API int kx_String_buffer_isIPv4(uint32_t lenth, const char *bytes);
/* Decimal digits (leading zeros allowed) read as a number in the range 0..2147483647; anything
 * else (signs, spaces, other characters, empty text, larger values) gives defaultValue.
 * lenth 0 means text is NUL-terminated; lenth above 255 gives defaultValue. */
KX_API long kx_String_to_long(uint32_t lenth, const char *text, long defaultValue);
/* Value of key in [section] of INI-style text, inside string's own buffer (the byte after the
 * value is overwritten with NUL), or null. Never looks beyond string->lenth. */
KX_API char *kx_String_ini_get(kx_String *string, const char *section, const char *key);

/* ---- base64 (RFC 4648 without padding) ---- */

/* Output needs 4 * (lenth / 3) + 3 + 1 bytes; it is NUL-terminated. The buffer forms return the
 * length written (without the NUL) or -1 (result longer than UINT32_MAX, bad alphabet). A caller
 * alphabet is 64 distinct non-NUL characters. */
KX_API kx_String *kx_String_buffer_encode_by_base64__IO(uint32_t lenth, const void *bytes);
KX_API kx_String *kx_String_encode_by_base64__IO(const kx_String *string);
KX_API long kx_String_buffer_encode_by_base64(char *out, uint32_t lenth, const void *bytes);
KX_API long kx_String_buffer_encode_by_base64_custom_from_string(char *out, uint32_t lenth, const void *bytes,
                                                                 const char *alphabet);
KX_API kx_String *kx_String_encode_by_base64_custom_from_string__IO(uint32_t lenth, const void *bytes,
                                                                     const char *alphabet);
KX_API kx_String *kx_String_encode_by_base64_custom__IO(const kx_String *string, const char *alphabet);

/* Decoding: up to two trailing characters outside the alphabet are dropped (padding); then a
 * length of 4k + 1 or below 2, or any character outside the alphabet fails (-1 or null).
 * Output needs 3 * (lenth / 4) + 2 + 1 bytes; it is NUL-terminated. */
KX_API long kx_String_buffer_decode_from_base64(char *out, uint32_t lenth, const char *text);
KX_API kx_String *kx_String_decode_from_base64_from_string__IO(uint32_t lenth, const char *text);
KX_API kx_String *kx_String_decode_from_base64__IO(const kx_String *string);
KX_API long kx_String_decode_from_base64_custom(char *out, uint32_t lenth, const char *text, const char *alphabet);
KX_API kx_String *kx_String_decode_from_base64_custom__IO(uint32_t lenth, const char *text, const char *alphabet);

/* ---- digests ---- */

/* MD5 (RFC 1321). The __IO form returns a 16-byte block (release with free). */
KX_API void kx_String_buffer_md5sum(unsigned char digest[16], uint32_t lenth, const void *bytes);
KX_API unsigned char *kx_String_buffer_md5sum__IO(uint32_t lenth, const void *bytes);
KX_API void kx_String_md5sum(unsigned char digest[16], const kx_String *string);
/* The digest as 32 hexadecimal characters (no NUL). Upper case when out[0] is 1 on entry. */
KX_API void kx_String_buffer_md5sum_string(char out[32], uint32_t lenth, const void *bytes);
/* 33-byte NUL-terminated text (release with free); upper case when upper is 1. */
KX_API char *kx_String_buffer_md5sum_string__IO(uint32_t lenth, const void *bytes, unsigned char upper);
KX_API char *kx_String_md5sum_string__IO(const kx_String *string, unsigned char upper);
/* CRC-32 of IEEE 802.3 (the value zlib's crc32 gives). */
KX_API uint32_t kx_String_buffer_crc(const void *bytes, uint32_t lenth);
/* First (lenth mod 4) bytes in the low bytes of 0 (byte 0 lowest), then XOR of every following
 * little-endian 32-bit word. */
KX_API uint32_t kx_String_buffer_intSum(uint32_t lenth, const void *bytes);

/* ---- text encoding ---- */

/* 1 all ASCII, 2 UTF-8 (a sequence of 3 or more bytes seen), 3 double-byte code page (not valid
 * UTF-8), 0 undecided (only 2-byte sequences). */
KX_API int kx_String_buffer_check_code(uint32_t lenth, const char *bytes);
KX_API int kx_String_check_code(const kx_String *string);
/* Number of characters for code 1, 2 or 3 (0: detect first); 0 with an error record when the
 * encoding is undecided or the data is cut short / invalid. */
KX_API uint32_t kx_String_buffer_get_chars(uint32_t lenth, const char *bytes, int code);
/* Display columns: 1 per single-byte character, 2 per multi-byte character; errors as above. */
KX_API uint32_t kx_String_buffer_get_chars_width(uint32_t lenth, const char *bytes, int code);

/* ---- output: 1, -1 when nothing could be produced, -2 when a write fails ---- */

/* The base64 text of the data. */
KX_API int kx_String_buffer_out(uint32_t lenth, const void *bytes, FILE *stream);
KX_API int kx_String_out(const kx_String *string, FILE *stream);
/* "%02hhx" for the first byte and ",%02hhx" for every further byte. */
KX_API int kx_String_buffer_out_hex(uint32_t lenth, const void *bytes, FILE *stream);
KX_API int kx_String_buffer_printf_hex(uint32_t lenth, const void *bytes, FILE *stream);

/* ---- formatter ----
 * Formatted text as a new string: the buffer has headRoom free bytes before the text and
 * tailRoom free bytes after it plus a NUL; the text starts at buffer + headRoom and lenth counts
 * the text only. Conversions d u x X c s f, flags - + 0 #, width, .precision, lengths hh h l ll
 * and %%. A format without '%' gives an empty text; a bad format, a combination printf does not
 * define, or a result whose buffer would exceed UINT32_MAX bytes gives null. */
KX_API kx_String *kx_String_print__IO(uint32_t headRoom, uint32_t tailRoom, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
KX_API kx_String *kx_String_vprint__IO(uint32_t headRoom, uint32_t tailRoom, const char *format, va_list arguments)
    __attribute__((format(printf, 3, 0)));

/* Self-test of the module: 1 when every check passes, else -1. */
KX_API int kx_String_test(void);

KX_EXTERN_C_END

#endif
