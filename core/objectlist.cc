// kx_ObjectList: growable pointer array with room at both ends.
#include "kx/objectlist.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "core/listcore.hpp"
#include "core/log.hpp"
#include "core/selftest.hpp"

using kx::list::Guard;
using kx::list::Raw;

namespace {

Raw load(const kx_ObjectList *list) {
    return Raw{reinterpret_cast<unsigned char *>(list->array), list->start, list->count,
               static_cast<size_t>(list->mask) + 1, sizeof(void *)};
}

void store(kx_ObjectList *list, const Raw &r) {
    list->array = reinterpret_cast<void **>(r.array);
    list->start = static_cast<uint32_t>(r.start);
    list->count = static_cast<uint32_t>(r.count);
}

void *at(const kx_ObjectList *list, size_t i) { return list->array[static_cast<size_t>(list->start) + i]; }

const char *keyText(const char *key) { return key != nullptr ? key : ""; }

kx_ObjectList *newList(unsigned char g, size_t externSize) {
    if (g > 31) {
        KX_LOGE("granule exponent %u out of range", static_cast<unsigned>(g));
        return nullptr;
    }
    if (externSize > SIZE_MAX - sizeof(kx_ObjectList)) return nullptr;
    auto *list = static_cast<kx_ObjectList *>(malloc(sizeof(kx_ObjectList) + externSize));
    if (list == nullptr) {
        KX_LOGE("malloc(%zu) failed: %s", sizeof(kx_ObjectList) + externSize, kx::errtext(errno));
        return nullptr;
    }
    memset(list, 0, sizeof(kx_ObjectList));
    list->mask = static_cast<uint32_t>((uint64_t{1} << g) - 1);
    pthread_mutex_init(&list->mutex, nullptr);
    return list;
}

kx_ObjectList *newPrefect(uint32_t n, unsigned char g, size_t externSize) {
    kx_ObjectList *list = newList(g, externSize);
    if (list == nullptr || n == 0) return list;
    Raw r = load(list);
    const size_t slots = r.roundUp(n);
    size_t bytes = 0;
    void *array = nullptr;
    if (n <= kx::list::kMaxCount && kx::list::slotBytes(slots, r.elementSize, &bytes))
        array = calloc(slots, sizeof(void *));
    if (array == nullptr) {
        KX_LOGE("array of %u elements not allocated", n);
        kx_ObjectList_delete__OI(list);
        return nullptr;
    }
    list->array = static_cast<void **>(array);
    list->count = n;
    return list;
}

// Appends k elements taken from src (or copy(src[i]) when copy is given).
int appendRun(kx_ObjectList *list, const kx_ObjectList *other, kx_ObjectList_copy_cb copy) {
    const size_t k = other->count;
    Raw r = load(list);
    const int rc = kx::list::growTail(r, k, true);
    if (rc < 0 || k == 0) return rc;
    // The source is read after the growth: when it is the list itself its elements
    // now sit at r.slot(0) and the run goes right behind them.
    void *const *src = other == list ? reinterpret_cast<void **>(r.slot(0)) : other->array + other->start;
    void **dst = reinterpret_cast<void **>(r.slot(r.count));
    if (copy == nullptr) {
        memcpy(dst, src, k * sizeof(void *));
    } else {
        for (size_t i = 0; i < k; ++i) dst[i] = copy(src[i]);
    }
    r.count += k;
    store(list, r);
    return rc;
}

// Shared shape of the ordered insertions: append when the element sorts after the
// last one, otherwise insert at the lower bound unless an equal element is there.
template <class SortsAfter>
int insertOrdered(kx_ObjectList *list, void *element, SortsAfter sortsAfter) {
    const size_t n = list->count;
    if (n == 0 || sortsAfter(at(list, n - 1)) > 0) return kx_ObjectList_insert_tail(list, element);
    const size_t lb = kx::list::lowerBound(n, [&](size_t i) { return sortsAfter(at(list, i)); });
    if (sortsAfter(at(list, lb)) == 0) return 0;
    return kx_ObjectList_insert_at(list, static_cast<uint32_t>(lb), element);
}

template <class SortsAfter>
int findOrdered(const kx_ObjectList *list, SortsAfter sortsAfter) {
    return kx::list::findOrdered(list->count, [&](size_t i) { return sortsAfter(at(list, i)); });
}

int compareValue(const void *a, const void *b) {
    const auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
    return x > y ? 1 : (x < y ? -1 : 0);
}

int compareString2(const char *a1, const char *a2, void *element, kx_ObjectList_key_cb key1Of,
                   kx_ObjectList_key_cb key2Of) {
    const int c = strcmp(keyText(a1), keyText(key1Of(element)));
    if (c != 0) return c;
    return strcmp(keyText(a2), keyText(key2Of(element)));
}

}  // namespace

extern "C" {

kx_ObjectList *kx_ObjectList_new__IO(unsigned char g) { return newList(g, 0); }

kx_ObjectList *kx_ObjectList_new_with_externData__IO(unsigned char g, uint32_t externSize) {
    return newList(g, externSize);
}

kx_ObjectList *kx_ObjectList_new_prefect__IO(uint32_t n, unsigned char g) { return newPrefect(n, g, 0); }

kx_ObjectList *kx_ObjectList_new_prefect_with_externData__IO(uint32_t n, unsigned char g, uint32_t externSize) {
    return newPrefect(n, g, externSize);
}

void kx_ObjectList_delete__OI(kx_ObjectList *list) {
    if (list == nullptr) return;
    free(list->array);
    pthread_mutex_destroy(&list->mutex);
    free(list);
}

void kx_ObjectList_delete_allSequence_OI(kx_ObjectList *list) {
    if (list == nullptr) return;
    kx_ObjectList_clear_allSequence(list);
    kx_ObjectList_delete__OI(list);
}

void kx_ObjectList_delete_custom__OI(kx_ObjectList *list, kx_ObjectList_destroy_cb destroy) {
    if (list == nullptr) return;
    kx_ObjectList_clear_custom(list, destroy);
    kx_ObjectList_delete__OI(list);
}

void kx_ObjectList_clear(kx_ObjectList *list) { list->count = 0; }

void kx_ObjectList_clear_pthreadSafety(kx_ObjectList *list) {
    Guard lock(&list->mutex);
    list->count = 0;
}

void kx_ObjectList_clear_allSequence(kx_ObjectList *list) {
    for (size_t i = 0; i < list->count; ++i) free(at(list, i));
    list->count = 0;
}

void kx_ObjectList_clear_custom(kx_ObjectList *list, kx_ObjectList_destroy_cb destroy) {
    if (destroy != nullptr)
        for (size_t i = 0; i < list->count; ++i) destroy(at(list, i));
    list->count = 0;
}

void kx_ObjectList_clear_custom_pthreadSafety(kx_ObjectList *list, kx_ObjectList_destroy_cb destroy) {
    Guard lock(&list->mutex);
    kx_ObjectList_clear_custom(list, destroy);
}

void kx_ObjectList_resize(kx_ObjectList *list, void *value) {
    void **base = list->array + list->start;
    size_t kept = 0;
    for (size_t i = 0; i < list->count; ++i)
        if (base[i] != value) base[kept++] = base[i];
    list->count = static_cast<uint32_t>(kept);
}

int kx_ObjectList_insert_head(kx_ObjectList *list, void *element) {
    Raw r = load(list);
    const int rc = kx::list::growHead(r, 1, false);
    if (rc < 0) return rc;
    r.start -= 1;
    r.count += 1;
    memcpy(r.slot(0), &element, sizeof element);
    store(list, r);
    return rc;
}

int kx_ObjectList_insert_head_pthreadSafety(kx_ObjectList *list, void *element) {
    Guard lock(&list->mutex);
    return kx_ObjectList_insert_head(list, element);
}

int kx_ObjectList_insert_head_all(kx_ObjectList *list, const kx_ObjectList *other) {
    const size_t k = other->count;
    Raw r = load(list);
    const int rc = kx::list::growHead(r, k, true);
    if (rc < 0 || k == 0) return rc;
    // Read the source after the growth (it may be the list itself, now at r.slot(0)).
    void *const *src = other == list ? reinterpret_cast<void **>(r.slot(0)) : other->array + other->start;
    r.start -= k;
    memcpy(r.slot(0), src, k * sizeof(void *));
    r.count += k;
    store(list, r);
    return rc;
}

int kx_ObjectList_insert_tail(kx_ObjectList *list, void *element) {
    Raw r = load(list);
    const int rc = kx::list::growTail(r, 1, false);
    if (rc < 0) return rc;
    memcpy(r.slot(r.count), &element, sizeof element);
    r.count += 1;
    store(list, r);
    return rc;
}

int kx_ObjectList_insert_tail_pthreadSafety(kx_ObjectList *list, void *element) {
    Guard lock(&list->mutex);
    return kx_ObjectList_insert_tail(list, element);
}

int kx_ObjectList_insert_tail_all(kx_ObjectList *list, const kx_ObjectList *other) {
    return appendRun(list, other, nullptr);
}

int kx_ObjectList_insert_tail_all_copy(kx_ObjectList *list, const kx_ObjectList *other, kx_ObjectList_copy_cb copy) {
    if (copy == nullptr) return -1;
    return appendRun(list, other, copy);
}

int kx_ObjectList_insert_at(kx_ObjectList *list, uint32_t index, void *element) {
    Raw r = load(list);
    const int rc = kx::list::insertAt(r, index, &element);
    if (rc < 0) return rc;
    store(list, r);
    return rc;
}

int kx_ObjectList_insert_at_pthreadSafety(kx_ObjectList *list, uint32_t index, void *element) {
    Guard lock(&list->mutex);
    return kx_ObjectList_insert_at(list, index, element);
}

int kx_ObjectList_check_exist(const kx_ObjectList *list, const void *element) {
    for (size_t i = list->count; i-- > 0;)
        if (at(list, i) == element) return static_cast<int>(i);
    return -1;
}

int kx_ObjectList_check_exist_void2(const kx_ObjectList *list, const void *first, const void *second) {
    // The list is a record list of two-pointer records: record i is array[2 * (start + i)] and the next slot.
    for (size_t i = list->count; i-- > 0;) {
        void *const *record = list->array + 2 * (static_cast<size_t>(list->start) + i);
        if (record[0] == first && record[1] == second) return static_cast<int>(i);
    }
    return -1;
}

int kx_ObjectList_insert_order(kx_ObjectList *list, void *element) {
    return insertOrdered(list, element, [&](void *e) { return compareValue(element, e); });
}

int kx_ObjectList_insert_order_pthreadSafety(kx_ObjectList *list, void *element) {
    Guard lock(&list->mutex);
    return kx_ObjectList_insert_order(list, element);
}

int kx_ObjectList_check_exist_order(const kx_ObjectList *list, const void *element) {
    return findOrdered(list, [&](void *e) { return compareValue(element, e); });
}

int kx_ObjectList_remove_order(kx_ObjectList *list, const void *element) {
    const int index = kx_ObjectList_check_exist_order(list, element);
    if (index >= 0) kx_ObjectList_remove_at(list, static_cast<uint32_t>(index));
    return index;
}

int kx_ObjectList_remove_order_pthreadSafety(kx_ObjectList *list, const void *element) {
    Guard lock(&list->mutex);
    return kx_ObjectList_remove_order(list, element);
}

int kx_ObjectList_remove_order_all(kx_ObjectList *list, const kx_ObjectList *other) {
    const size_t k = other->count;
    void **values = other->array + other->start;
    void **snapshot = nullptr;
    if (other == list && k != 0) {
        // Removing a list's elements from itself: walk a copy, the array changes under us.
        snapshot = static_cast<void **>(malloc(k * sizeof(void *)));
        if (snapshot == nullptr) {
            KX_LOGE("malloc(%zu) failed: %s", k * sizeof(void *), kx::errtext(errno));
            return -1;
        }
        memcpy(snapshot, values, k * sizeof(void *));
        values = snapshot;
    }
    int missing = 0;
    for (size_t i = 0; i < k; ++i)
        if (kx_ObjectList_remove_order(list, values[i]) < 0) ++missing;
    free(snapshot);
    return missing == 0 ? static_cast<int>(k) : -missing;
}

int kx_ObjectList_insert_order_string(kx_ObjectList *list, void *element, kx_ObjectList_key_cb keyOf) {
    const char *key = keyText(keyOf(element));
    return insertOrdered(list, element, [&](void *e) { return strcmp(key, keyText(keyOf(e))); });
}

int kx_ObjectList_insert_order_string2(kx_ObjectList *list, void *element, kx_ObjectList_key_cb key1Of,
                                       kx_ObjectList_key_cb key2Of) {
    const char *key1 = key1Of(element);
    const char *key2 = key2Of(element);
    return insertOrdered(list, element, [&](void *e) { return compareString2(key1, key2, e, key1Of, key2Of); });
}

int kx_ObjectList_insert_order_string2_pthreadSafety(kx_ObjectList *list, void *element,
                                                     kx_ObjectList_key_cb key1Of, kx_ObjectList_key_cb key2Of) {
    Guard lock(&list->mutex);
    return kx_ObjectList_insert_order_string2(list, element, key1Of, key2Of);
}

int kx_ObjectList_check_exist_string(const kx_ObjectList *list, const char *key, kx_ObjectList_key_cb keyOf) {
    const char *k = keyText(key);
    return findOrdered(list, [&](void *e) { return strcmp(k, keyText(keyOf(e))); });
}

int kx_ObjectList_check_exist_string2(const kx_ObjectList *list, const char *key1, kx_ObjectList_key_cb key1Of,
                                      const char *key2, kx_ObjectList_key_cb key2Of) {
    return findOrdered(list, [&](void *e) { return compareString2(key1, key2, e, key1Of, key2Of); });
}

int kx_ObjectList_remove_order_string(kx_ObjectList *list, void *element, kx_ObjectList_key_cb keyOf) {
    const int index = kx_ObjectList_check_exist_string(list, keyOf(element), keyOf);
    if (index >= 0) kx_ObjectList_remove_at(list, static_cast<uint32_t>(index));
    return index;
}

int kx_ObjectList_insert_order_custom(kx_ObjectList *list, void *element, kx_ObjectList_compare_cb compare) {
    return insertOrdered(list, element, [&](void *e) { return static_cast<int>(compare(element, e)); });
}

int kx_ObjectList_insert_order_custom_pthreadSafety(kx_ObjectList *list, void *element,
                                                    kx_ObjectList_compare_cb compare) {
    Guard lock(&list->mutex);
    return kx_ObjectList_insert_order_custom(list, element, compare);
}

int kx_ObjectList_check_exist_custom(const kx_ObjectList *list, void *key, kx_ObjectList_compare_cb compare) {
    return findOrdered(list, [&](void *e) { return static_cast<int>(compare(key, e)); });
}

void *kx_ObjectList_remove_at(kx_ObjectList *list, uint32_t index) {
    if (index >= list->count) {
        KX_LOGE("index %u beyond %u elements", index, list->count);
        return nullptr;
    }
    void *element = at(list, index);
    Raw r = load(list);
    kx::list::removeAt(r, index);
    store(list, r);
    return element;
}

void *kx_ObjectList_remove_at_pthreadSafety(kx_ObjectList *list, uint32_t index) {
    Guard lock(&list->mutex);
    return kx_ObjectList_remove_at(list, index);
}

int kx_ObjectList_remove(kx_ObjectList *list, const void *element) {
    const int index = kx_ObjectList_check_exist(list, element);
    if (index >= 0) kx_ObjectList_remove_at(list, static_cast<uint32_t>(index));
    return index;
}

int kx_ObjectList_remove_pthreadSafety(kx_ObjectList *list, const void *element) {
    Guard lock(&list->mutex);
    return kx_ObjectList_remove(list, element);
}

void *kx_ObjectList_remove_head(kx_ObjectList *list) {
    if (list->count == 0) return nullptr;
    void *element = at(list, 0);
    // The last element leaves start where it is: a drained queue keeps its position.
    if (list->count > 1) list->start += 1;
    list->count -= 1;
    return element;
}

void *kx_ObjectList_remove_head_pthreadSafety(kx_ObjectList *list) {
    Guard lock(&list->mutex);
    return kx_ObjectList_remove_head(list);
}

void *kx_ObjectList_remove_tail(kx_ObjectList *list) {
    if (list->count == 0) return nullptr;
    list->count -= 1;
    return at(list, list->count);
}

kx_ObjectList *kx_ObjectList_remove_all(kx_ObjectList *list) {
    auto *taken = static_cast<kx_ObjectList *>(malloc(sizeof(kx_ObjectList)));
    if (taken == nullptr) {
        KX_LOGE("malloc(%zu) failed: %s", sizeof(kx_ObjectList), kx::errtext(errno));
        return nullptr;
    }
    memset(taken, 0, sizeof *taken);
    taken->array = list->array;
    taken->start = list->start;
    taken->count = list->count;
    taken->mask = list->mask;
    pthread_mutex_init(&taken->mutex, nullptr);
    list->array = nullptr;
    list->start = 0;
    list->count = 0;
    return taken;
}

kx_ObjectList *kx_ObjectList_remove_all_pthreadSafety(kx_ObjectList *list) {
    Guard lock(&list->mutex);
    return kx_ObjectList_remove_all(list);
}

void kx_ObjectList_test(void) {
    kx::SelfTest t(__func__);
    kx_ObjectList *list = kx_ObjectList_new__IO(2);
    if (list == nullptr) {
        KX_LOGE("FAILED: list not created");
        return;
    }
    int rc[5];
    for (uintptr_t v = 1; v <= 5; ++v) rc[v - 1] = kx_ObjectList_insert_tail(list, reinterpret_cast<void *>(v));
    t.check(rc[0] == 2 && rc[1] == 1 && rc[3] == 1 && rc[4] == 2, "tail growth by granules");
    t.check(kx_ObjectList_insert_head(list, reinterpret_cast<void *>(uintptr_t{0})) == 2 && list->start == 3,
          "head growth rebuilds with one granule of head room");
    bool ordered = list->count == 6;
    for (uint32_t i = 0; ordered && i < list->count; ++i) ordered = at(list, i) == reinterpret_cast<void *>(uintptr_t{i});
    t.check(ordered, "positional order");
    kx_ObjectList_clear(list);
    const uintptr_t values[] = {7, 3, 9, 3, 1};
    int dup = -1;
    for (uintptr_t v : values) {
        const int r = kx_ObjectList_insert_order(list, reinterpret_cast<void *>(v));
        if (v == 3 && r == 0) dup = 0;
    }
    t.check(dup == 0 && list->count == 4 && at(list, 0) == reinterpret_cast<void *>(uintptr_t{1}) &&
              at(list, 3) == reinterpret_cast<void *>(uintptr_t{9}),
          "ordered insert without duplicates");
    t.check(kx_ObjectList_remove_order(list, reinterpret_cast<void *>(uintptr_t{7})) == 2 && list->count == 3,
          "ordered removal");
    kx_ObjectList *taken = kx_ObjectList_remove_all(list);
    t.check(taken != nullptr && taken->count == 3 && list->count == 0 && list->array == nullptr, "remove_all");
    kx_ObjectList_delete__OI(taken);
    kx_ObjectList_delete__OI(list);
    t.finish();
}

}  // extern "C"
