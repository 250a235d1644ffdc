/* kx_ObjectList: growable array of pointers with room at both ends (queue, stack, vector, sorted set). */
#ifndef KX_OBJECTLIST_H
#define KX_OBJECTLIST_H

#include "kx/base.h"

KX_EXTERN_C_BEGIN

/* Element i (0-based from the head) is array[start + i]. Capacity is a multiple of mask + 1. */
struct kx_ObjectList {
    void **array;
    uint32_t start;
    uint32_t count;
    uint32_t mask;
    pthread_mutex_t mutex;
    /* caller data of the _with_externData constructors follows the record */
};

/* Caller data behind a list made by a _with_externData constructor. */
#define kx_ObjectList_externData(list) ((void *)((kx_ObjectList *)(list) + 1))

typedef void (*kx_ObjectList_destroy_cb)(void *element);
typedef void *(*kx_ObjectList_copy_cb)(void *element);
typedef const char *(*kx_ObjectList_key_cb)(void *element);
/* > 0: first sorts after second; 0: equal; < 0: before. Only the low 8 bits' sign counts. */
typedef signed char (*kx_ObjectList_compare_cb)(void *first, void *listElement);

KX_API kx_ObjectList *kx_ObjectList_new__IO(unsigned char g);
KX_API kx_ObjectList *kx_ObjectList_new_with_externData__IO(unsigned char g, uint32_t externSize);
KX_API kx_ObjectList *kx_ObjectList_new_prefect__IO(uint32_t n, unsigned char g);
KX_API kx_ObjectList *kx_ObjectList_new_prefect_with_externData__IO(uint32_t n, unsigned char g, uint32_t externSize);
KX_API void kx_ObjectList_delete__OI(kx_ObjectList *list);
KX_API void kx_ObjectList_delete_allSequence_OI(kx_ObjectList *list);
KX_API void kx_ObjectList_delete_custom__OI(kx_ObjectList *list, kx_ObjectList_destroy_cb destroy);

KX_API void kx_ObjectList_clear(kx_ObjectList *list);
KX_API void kx_ObjectList_clear_pthreadSafety(kx_ObjectList *list);
KX_API void kx_ObjectList_clear_allSequence(kx_ObjectList *list);
KX_API void kx_ObjectList_clear_custom(kx_ObjectList *list, kx_ObjectList_destroy_cb destroy);
KX_API void kx_ObjectList_clear_custom_pthreadSafety(kx_ObjectList *list, kx_ObjectList_destroy_cb destroy);
KX_API void kx_ObjectList_resize(kx_ObjectList *list, void *value);

KX_API int kx_ObjectList_insert_head(kx_ObjectList *list, void *element);
KX_API int kx_ObjectList_insert_head_pthreadSafety(kx_ObjectList *list, void *element);
KX_API int kx_ObjectList_insert_head_all(kx_ObjectList *list, const kx_ObjectList *other);
KX_API int kx_ObjectList_insert_tail(kx_ObjectList *list, void *element);
KX_API int kx_ObjectList_insert_tail_pthreadSafety(kx_ObjectList *list, void *element);
KX_API int kx_ObjectList_insert_tail_all(kx_ObjectList *list, const kx_ObjectList *other);
KX_API int kx_ObjectList_insert_tail_all_copy(kx_ObjectList *list, const kx_ObjectList *other, kx_ObjectList_copy_cb copy);
KX_API int kx_ObjectList_insert_at(kx_ObjectList *list, uint32_t index, void *element);
KX_API int kx_ObjectList_insert_at_pthreadSafety(kx_ObjectList *list, uint32_t index, void *element);

KX_API int kx_ObjectList_check_exist(const kx_ObjectList *list, const void *element);
KX_API int kx_ObjectList_check_exist_void2(const kx_ObjectList *list, const void *first, const void *second);

KX_API int kx_ObjectList_insert_order(kx_ObjectList *list, void *element);
KX_API int kx_ObjectList_insert_order_pthreadSafety(kx_ObjectList *list, void *element);
KX_API int kx_ObjectList_check_exist_order(const kx_ObjectList *list, const void *element);
KX_API int kx_ObjectList_remove_order(kx_ObjectList *list, const void *element);
KX_API int kx_ObjectList_remove_order_pthreadSafety(kx_ObjectList *list, const void *element);
KX_API int kx_ObjectList_remove_order_all(kx_ObjectList *list, const kx_ObjectList *other);

KX_API int kx_ObjectList_insert_order_string(kx_ObjectList *list, void *element, kx_ObjectList_key_cb keyOf);
KX_API int kx_ObjectList_insert_order_string2(kx_ObjectList *list, void *element, kx_ObjectList_key_cb key1Of,
                                              kx_ObjectList_key_cb key2Of);
KX_API int kx_ObjectList_insert_order_string2_pthreadSafety(kx_ObjectList *list, void *element,
                                                            kx_ObjectList_key_cb key1Of, kx_ObjectList_key_cb key2Of);
KX_API int kx_ObjectList_check_exist_string(const kx_ObjectList *list, const char *key, kx_ObjectList_key_cb keyOf);
KX_API int kx_ObjectList_check_exist_string2(const kx_ObjectList *list, const char *key1, kx_ObjectList_key_cb key1Of,
                                             const char *key2, kx_ObjectList_key_cb key2Of);
KX_API int kx_ObjectList_remove_order_string(kx_ObjectList *list, void *element, kx_ObjectList_key_cb keyOf);

KX_API int kx_ObjectList_insert_order_custom(kx_ObjectList *list, void *element, kx_ObjectList_compare_cb compare);
KX_API int kx_ObjectList_insert_order_custom_pthreadSafety(kx_ObjectList *list, void *element,
                                                           kx_ObjectList_compare_cb compare);
KX_API int kx_ObjectList_check_exist_custom(const kx_ObjectList *list, void *key, kx_ObjectList_compare_cb compare);

KX_API void *kx_ObjectList_remove_at(kx_ObjectList *list, uint32_t index);
KX_API void *kx_ObjectList_remove_at_pthreadSafety(kx_ObjectList *list, uint32_t index);
KX_API int kx_ObjectList_remove(kx_ObjectList *list, const void *element);
KX_API int kx_ObjectList_remove_pthreadSafety(kx_ObjectList *list, const void *element);
KX_API void *kx_ObjectList_remove_head(kx_ObjectList *list);
KX_API void *kx_ObjectList_remove_head_pthreadSafety(kx_ObjectList *list);
KX_API void *kx_ObjectList_remove_tail(kx_ObjectList *list);
KX_API kx_ObjectList *kx_ObjectList_remove_all(kx_ObjectList *list);
KX_API kx_ObjectList *kx_ObjectList_remove_all_pthreadSafety(kx_ObjectList *list);

KX_API void kx_ObjectList_test(void);

KX_EXTERN_C_END

#endif
