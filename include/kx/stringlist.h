/* kx_StringList: object list of heap strings owned by the list, with their total length. */
#ifndef KX_STRINGLIST_H
#define KX_STRINGLIST_H

#include "kx/base.h"
#include "kx/objectlist.h"

KX_EXTERN_C_BEGIN

/*
 * Element i is (char *)list.array[list.start + i], a NUL-terminated string from malloc
 * owned by the list. totalLength is the sum of the elements' strlen. The list has no
 * locked operations: its owner serialises use (list.mutex is there for the owner).
 *
 * Ownership: the plain insertions store a heap copy; the __OI_2 / __OI_3 forms take the
 * caller's malloc'd string. When a taking insertion stores nothing (result 0 or
 * negative) the string stays the caller's. Strings handed back (__IO) are freed with free().
 */
struct kx_StringList {
    kx_ObjectList list;
    uint32_t totalLength;
};

/* > 0: string sorts after element; 0: equal; < 0: before. */
typedef signed char (*kx_StringList_compare_cb)(const char *string, const char *element);

/* Empty list with a granule of 256 strings; null on failure. */
KX_API kx_StringList *kx_StringList_new__IO(void);
/* Frees every string and the list. */
KX_API void kx_StringList_delete__OI(kx_StringList *list);

/* 1 when stored, -1 when not (out of memory, totalLength would overflow, index beyond count). */
KX_API int kx_StringList_insert_head(kx_StringList *list, const char *string);
KX_API int kx_StringList_insert_head__OI_2(kx_StringList *list, char *string);
KX_API int kx_StringList_insert_tail(kx_StringList *list, const char *string);
KX_API int kx_StringList_insert_tail__OI_2(kx_StringList *list, char *string);
KX_API int kx_StringList_insert_at(kx_StringList *list, uint32_t index, const char *string);
KX_API int kx_StringList_insert_at__OI_3(kx_StringList *list, uint32_t index, char *string);

/* Moves every string of other (in order) to the head / tail and deletes other's record: 1.
 * On -1 nothing moved and other is still the caller's. */
KX_API int kx_StringList_insert_head_all__OI_2(kx_StringList *list, kx_StringList *other);
KX_API int kx_StringList_insert_tail_all__OI_2(kx_StringList *list, kx_StringList *other);

/* Takes string and inserts it at the lower bound found by compare (equal strings allowed):
 * the index it got, or -1. */
KX_API int kx_StringList_insert_order__OI_2(kx_StringList *list, char *string, kx_StringList_compare_cb compare);

/* Keep ascending / descending strcmp order: 1 stored, 0 an equal string is present
 * (nothing stored), -1 not stored for lack of memory or length. */
KX_API int kx_StringList_insert_ASC(kx_StringList *list, const char *string);
KX_API int kx_StringList_insert_ASC__OI_2(kx_StringList *list, char *string);
KX_API int kx_StringList_insert_DESC(kx_StringList *list, const char *string);
KX_API int kx_StringList_insert_DESC__OI_2(kx_StringList *list, char *string);

/* Element index (still owned by the list), or null when index >= count. */
KX_API char *kx_StringList_get_at(const kx_StringList *list, uint32_t index);
/* First element, from the head, that kx_String_buffer_cmp finds equal to string
 * (the shorter of two non-empty strings equal to the beginning of the longer); -1 if none. */
KX_API int kx_StringList_check_has(const kx_StringList *list, const char *string);

/* Remove and hand the string to the caller; null on an empty list or a bad index. */
KX_API char *kx_StringList_remove_head__IO(kx_StringList *list);
KX_API char *kx_StringList_remove_tail__IO(kx_StringList *list);
KX_API char *kx_StringList_remove_at__IO(kx_StringList *list, uint32_t index);

/* All elements joined, with separator between them when it is non-empty; null for an
 * empty list or on failure. */
KX_API char *kx_StringList_to_string__IO(const kx_StringList *list, const char *separator);
/* Writes prefix, element, suffix for every element: 1, or -2 on the first failing write. */
KX_API int kx_StringList_out(const kx_StringList *list, FILE *stream, const char *prefix, const char *suffix);
/* As kx_StringList_out into path (mode "wb"): 1, -1 when it cannot be opened, -2 when a
 * write, the flush or the close failed. */
KX_API int kx_StringList_save_to_file(const kx_StringList *list, const char *path, const char *prefix,
                                      const char *suffix);

KX_EXTERN_C_END

#endif
