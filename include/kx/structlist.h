/* kx_StructList: growable array of fixed-size records stored by value, with room at both ends. */
#ifndef KX_STRUCTLIST_H
#define KX_STRUCTLIST_H

#include "kx/base.h"

KX_EXTERN_C_BEGIN

/*
 * Record i (0-based from the head) lives at array + (start + i) * elementSize.
 * The first five fields have the layout and meaning of kx_ObjectList's; capacity is a
 * multiple of mask + 1 records. Every insertion copies elementSize bytes from the
 * caller's record.
 */
struct kx_StructList {
    unsigned char *array;
    uint32_t start;
    uint32_t count;
    uint32_t mask;
    pthread_mutex_t mutex;
    uint32_t elementSize;
};

/* Address of record i (i < count). */
#define kx_StructList_at(list, i) \
    ((void *)((list)->array + ((size_t)(list)->start + (size_t)(i)) * (size_t)(list)->elementSize))

/* > 0: key sorts after the record at listRecord; 0: equal; < 0: before. */
typedef signed char (*kx_StructList_compare_cb)(const void *key, const void *listRecord);

/* Empty list with a granule of 2^g records (g 0-31) of elementSize (> 0) bytes; null on failure. */
KX_API kx_StructList *kx_StructList_new__IO(unsigned char g, uint32_t elementSize);
KX_API void kx_StructList_delete__OI(kx_StructList *list);
KX_API void kx_StructList_clear(kx_StructList *list);

/* Positional insertions: 1 (stored), 2 (stored after allocating), -1 (out of memory or too large). */
KX_API int kx_StructList_insert_head(kx_StructList *list, const void *record);
KX_API int kx_StructList_insert_head_pthreadSafety(kx_StructList *list, const void *record);
KX_API int kx_StructList_insert_tail(kx_StructList *list, const void *record);
KX_API int kx_StructList_insert_tail_pthreadSafety(kx_StructList *list, const void *record);
KX_API int kx_StructList_insert_at(kx_StructList *list, uint32_t index, const void *record);

/* Read the first record before removing it. Both do nothing on an empty list or a bad index. */
KX_API void kx_StructList_remove_head(kx_StructList *list);
KX_API void kx_StructList_remove_at(kx_StructList *list, uint32_t index);

/*
 * Sorted insertions (by memcmp over elementSize bytes, or by compare): the index the
 * record got; -1 when an equal record exists (nothing stored); -2 when it could not be stored.
 */
KX_API int kx_StructList_insert_order(kx_StructList *list, const void *record);
KX_API int kx_StructList_insert_order_pthreadSafety(kx_StructList *list, const void *record);
KX_API int kx_StructList_insert_order_custom(kx_StructList *list, const void *record,
                                             kx_StructList_compare_cb compare);

/* Lookups and removals: the index found, or -1. */
KX_API int kx_StructList_check_exist(const kx_StructList *list, const void *record);
KX_API int kx_StructList_check_exist_order(const kx_StructList *list, const void *record);
KX_API int kx_StructList_check_exist_custom(const kx_StructList *list, const void *key,
                                            kx_StructList_compare_cb compare);
KX_API int kx_StructList_remove_order(kx_StructList *list, const void *record);
KX_API int kx_StructList_remove_order_pthreadSafety(kx_StructList *list, const void *record);
KX_API int kx_StructList_remove_custom(kx_StructList *list, const void *key, kx_StructList_compare_cb compare);
/* Overwrites the record that compares equal to record with record's bytes. */
KX_API int kx_StructList_update_custom(kx_StructList *list, const void *record, kx_StructList_compare_cb compare);

KX_API void kx_StructList_test(void);

KX_EXTERN_C_END

#endif
