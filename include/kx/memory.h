/* Allocation entry points, deferred-release lists and the reference-counted object header. */
#ifndef KX_MEMORY_H
#define KX_MEMORY_H

#include "kx/base.h"

KX_EXTERN_C_BEGIN

/* Object kinds stored in kx_Object.type. */
enum {
    KX_OBJECT_TYPE_H264 = 1,
    KX_OBJECT_TYPE_IMAGE_FRAME = 2,
    KX_OBJECT_TYPE_AAC = 3,
    KX_OBJECT_TYPE_RAW_IMAGE_FRAME = 4,
    KX_OBJECT_TYPE_RGB_IMAGE_FRAME = 5
};

typedef void (*kx_memeryFree_cb)(void *argument);

/* One pair of a deferred-release list (a kx_StructList of these). */
typedef struct kx_memeryFree_pair {
    kx_memeryFree_cb callback;
    void *argument;
} kx_memeryFree_pair;

/* Header at the start of every reference-counted record. */
struct kx_Object {
    uint16_t reserved;
    uint16_t type;
    uint32_t referCount; /* updated atomically */
    pthread_mutex_t mutex;
    uint32_t size;
    kx_ObjectList *childList;  /* owned child objects or null */
    kx_StructList *releaseList; /* deferred-release pairs run at destruction, or null */
};

KX_API void kx_memery_init(uint32_t parameter);
KX_API void kx_memery_release(void);
KX_API void *kx_memery_malloc(size_t size);
KX_API void *kx_memery_realloc(void *block, size_t oldSize, size_t newSize);
KX_API void *kx_memery_realloc_nodata(void *block, size_t oldSize, size_t newSize);
KX_API void kx_memery_free(void *block, size_t size);
KX_API void kx_memery_test(void);

KX_API kx_StructList *kx_memeryFree_new__IO(void);
KX_API void kx_memeryFree_add_object(kx_StructList *list, kx_memeryFree_cb callback, void *argument);
KX_API void kx_memeryFree_add_thread(kx_StructList *list, kx_memeryFree_cb firstCallback,
                                     kx_memeryFree_cb secondCallback, void *argument);
KX_API void kx_memeryFree_clear(kx_StructList *list);
KX_API void kx_memeryFree_delete__OI(kx_StructList *list);

KX_API void kx_Object_init(kx_Object *object, uint16_t type, uint32_t size);
KX_API void kx_Object_addRefer_pthreadSafety_(kx_Object *object);
KX_API void kx_Object_delete__OI(kx_Object *object);
KX_API void kx_Object_delete_pthreadSafety__OI(kx_Object *object);

KX_EXTERN_C_END

#endif
