// Allocation entry points, deferred-release lists and the reference-counted object header.
#include "kx/memory.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <vector>

#include "core/log.hpp"
#include "kx/objectlist.h"
#include "kx/structlist.h"
#include "kx/time.h"

namespace {

// Process-wide accounting record. No allocation goes through the pool chain; it keeps
// the start-up parameter and a fixed place that start-up and shut-down reset.
struct PoolBlock {
    void *reserved[2];
    PoolBlock *next;
};
struct MemoryRecord {
    PoolBlock *first;
    PoolBlock *last;
    void *bookkeeping;
    uint32_t parameter;
} g_memory = {nullptr, nullptr, nullptr, 0};

// Requests are enlarged to a multiple of 8 bytes; 0 when the rounding would overflow.
inline bool round8(size_t size, size_t *out) {
    if (size > SIZE_MAX - 7) return false;
    *out = (size + 7) & ~static_cast<size_t>(7);
    return true;
}

std::atomic_ref<uint32_t> refcount(kx_Object *object) { return std::atomic_ref<uint32_t>(object->referCount); }

// The pairs are copied out first: a callback may delete the list itself (the usual last pair).
void run_pairs_forward(kx_StructList *list) {
    std::vector<kx_memeryFree_pair> pairs(list->count);
    for (uint32_t i = 0; i < list->count; ++i) {
        memcpy(&pairs[i], list->array + static_cast<size_t>(list->start + i) * list->elementSize, sizeof(pairs[i]));
    }
    for (const kx_memeryFree_pair &pair : pairs) {
        if (pair.callback) pair.callback(pair.argument);
    }
}

void destroy(kx_Object *object) {
    if (object->childList != nullptr) {
        kx_ObjectList_delete_custom__OI(object->childList, [](void *child) {
            kx_Object_delete_pthreadSafety__OI(static_cast<kx_Object *>(child));
        });
    }
    if (object->releaseList != nullptr && object->releaseList->count > 0) run_pairs_forward(object->releaseList);
    pthread_mutex_destroy(&object->mutex);
    kx_memery_free(object, object->size);
}

}  // namespace

extern "C" {

void kx_memery_init(uint32_t parameter) {
    g_memory.first = g_memory.last = nullptr;
    g_memory.bookkeeping = nullptr;
    g_memory.parameter = parameter;
}

void kx_memery_release(void) {
    if (g_memory.first == nullptr) return;
    PoolBlock *block = g_memory.first;
    while (block != nullptr) {
        PoolBlock *next = block == g_memory.last ? nullptr : block->next;
        free(block);
        block = next;
    }
    free(g_memory.bookkeeping);
    g_memory.first = g_memory.last = nullptr;
    g_memory.bookkeeping = nullptr;
}

void *kx_memery_malloc(size_t size) {
    size_t rounded;
    if (!round8(size, &rounded)) return nullptr;
    return malloc(rounded);
}

void *kx_memery_realloc(void *block, size_t oldSize, size_t newSize) {
    (void)oldSize;
    size_t rounded;
    if (!round8(newSize, &rounded)) return nullptr;
    return realloc(block, rounded);
}

void *kx_memery_realloc_nodata(void *block, size_t oldSize, size_t newSize) {
    return kx_memery_realloc(block, oldSize, newSize);
}

void kx_memery_free(void *block, size_t size) {
    (void)size;
    free(block);
}

void kx_memery_test(void) {
    for (int pass = 0; pass < 2; ++pass) {
        double start = kx_time_uptime_get();
        for (int i = 0; i < 999900; ++i) {
            size_t size = 102400 + static_cast<size_t>(kx_time_uptime_get() * 1e6) % 100;
            auto *block = static_cast<volatile char *>(pass == 0 ? kx_memery_malloc(size) : malloc(size));
            if (block == nullptr) continue;
            block[0] = 1;
            free(const_cast<char *>(block));
        }
        KX_LOGE("Use time:%lf.", kx_time_uptime_get() - start);
    }
}

kx_StructList *kx_memeryFree_new__IO(void) { return kx_StructList_new__IO(4, sizeof(kx_memeryFree_pair)); }

void kx_memeryFree_add_object(kx_StructList *list, kx_memeryFree_cb callback, void *argument) {
    kx_memeryFree_pair pair = {callback, argument};
    kx_StructList_insert_tail(list, &pair);
}

void kx_memeryFree_add_thread(kx_StructList *list, kx_memeryFree_cb firstCallback, kx_memeryFree_cb secondCallback,
                              void *argument) {
    // Pairs run last to first: the second callback goes in first so the first one runs first.
    kx_memeryFree_add_object(list, secondCallback, argument);
    kx_memeryFree_add_object(list, firstCallback, argument);
}

void kx_memeryFree_clear(kx_StructList *list) {
    for (uint32_t i = list->count; i > 0; --i) {
        kx_memeryFree_pair pair;
        memcpy(&pair, list->array + static_cast<size_t>(list->start + i - 1) * list->elementSize, sizeof pair);
        if (pair.callback) pair.callback(pair.argument);
    }
    kx_StructList_clear(list);
}

void kx_memeryFree_delete__OI(kx_StructList *list) {
    if (list == nullptr) return;
    kx_memeryFree_clear(list);
    kx_StructList_delete__OI(list);
}

void kx_Object_init(kx_Object *object, uint16_t type, uint32_t size) {
    object->type = type;
    object->referCount = 1;
    pthread_mutex_init(&object->mutex, nullptr);
    object->size = size;
}

void kx_Object_addRefer_pthreadSafety_(kx_Object *object) {
    pthread_mutex_lock(&object->mutex);
    refcount(object).fetch_add(1, std::memory_order_relaxed);
    pthread_mutex_unlock(&object->mutex);
}

void kx_Object_delete__OI(kx_Object *object) {
    // Atomic even without the lock, so an unlocked release never loses a count to a locked one.
    if (refcount(object).fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    destroy(object);
}

void kx_Object_delete_pthreadSafety__OI(kx_Object *object) {
    pthread_mutex_lock(&object->mutex);
    uint32_t previous = refcount(object).fetch_sub(1, std::memory_order_acq_rel);
    pthread_mutex_unlock(&object->mutex);
    if (previous != 1) return;
    destroy(object);
}

}  // extern "C"
