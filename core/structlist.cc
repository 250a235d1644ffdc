// kx_StructList: fixed-size records stored by value, on the object list's storage rules.
#include "kx/structlist.h"

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

Raw load(const kx_StructList *list) {
    return Raw{list->array, list->start, list->count, static_cast<size_t>(list->mask) + 1, list->elementSize};
}

void store(kx_StructList *list, const Raw &r) {
    list->array = r.array;
    list->start = static_cast<uint32_t>(r.start);
    list->count = static_cast<uint32_t>(r.count);
}

const unsigned char *recordAt(const kx_StructList *list, size_t i) {
    return list->array + (static_cast<size_t>(list->start) + i) * list->elementSize;
}

int sign(int v) { return v > 0 ? 1 : (v < 0 ? -1 : 0); }

// Ordered insertion shared by the memcmp and compare forms: append when the record
// sorts after the last one, else insert at the lower bound unless an equal record is there.
template <class SortsAfter>
int insertOrdered(kx_StructList *list, const void *record, SortsAfter sortsAfter) {
    const size_t n = list->count;
    size_t index = n;
    if (n != 0 && sortsAfter(n - 1) <= 0) {
        index = kx::list::lowerBound(n, sortsAfter);
        if (sortsAfter(index) == 0) return -1;
    }
    Raw r = load(list);
    if (kx::list::insertAt(r, index, record) < 0) return -2;
    store(list, r);
    return static_cast<int>(index);
}

template <class SortsAfter>
int removeFound(kx_StructList *list, SortsAfter sortsAfter) {
    const int index = kx::list::findOrdered(list->count, sortsAfter);
    if (index >= 0) kx_StructList_remove_at(list, static_cast<uint32_t>(index));
    return index;
}

}  // namespace

extern "C" {

kx_StructList *kx_StructList_new__IO(unsigned char g, uint32_t elementSize) {
    if (g > 31 || elementSize == 0) {
        KX_LOGE("bad list shape: g=%u elementSize=%u", static_cast<unsigned>(g), elementSize);
        return nullptr;
    }
    auto *list = static_cast<kx_StructList *>(calloc(1, sizeof(kx_StructList)));
    if (list == nullptr) {
        KX_LOGE("calloc(%zu) failed: %s", sizeof(kx_StructList), kx::errtext(errno));
        return nullptr;
    }
    list->mask = static_cast<uint32_t>((uint64_t{1} << g) - 1);
    list->elementSize = elementSize;
    pthread_mutex_init(&list->mutex, nullptr);
    return list;
}

void kx_StructList_delete__OI(kx_StructList *list) {
    if (list == nullptr) return;
    free(list->array);
    pthread_mutex_destroy(&list->mutex);
    free(list);
}

void kx_StructList_clear(kx_StructList *list) { list->count = 0; }

int kx_StructList_insert_head(kx_StructList *list, const void *record) {
    Raw r = load(list);
    const int rc = kx::list::growHead(r, 1, false);
    if (rc < 0) return rc;
    r.start -= 1;
    r.count += 1;
    memcpy(r.slot(0), record, r.elementSize);
    store(list, r);
    return rc;
}

int kx_StructList_insert_head_pthreadSafety(kx_StructList *list, const void *record) {
    Guard lock(&list->mutex);
    return kx_StructList_insert_head(list, record);
}

int kx_StructList_insert_tail(kx_StructList *list, const void *record) {
    Raw r = load(list);
    const int rc = kx::list::growTail(r, 1, false);
    if (rc < 0) return rc;
    memcpy(r.slot(r.count), record, r.elementSize);
    r.count += 1;
    store(list, r);
    return rc;
}

int kx_StructList_insert_tail_pthreadSafety(kx_StructList *list, const void *record) {
    Guard lock(&list->mutex);
    return kx_StructList_insert_tail(list, record);
}

int kx_StructList_insert_at(kx_StructList *list, uint32_t index, const void *record) {
    Raw r = load(list);
    const int rc = kx::list::insertAt(r, index, record);
    if (rc < 0) return rc;
    store(list, r);
    return rc;
}

void kx_StructList_remove_head(kx_StructList *list) {
    if (list->count == 0) return;
    // Unlike the object list, start advances also when the last record goes.
    list->start += 1;
    list->count -= 1;
}

void kx_StructList_remove_at(kx_StructList *list, uint32_t index) {
    if (index >= list->count) {
        KX_LOGE("index %u beyond %u records", index, list->count);
        return;
    }
    Raw r = load(list);
    kx::list::removeAt(r, index);
    store(list, r);
}

int kx_StructList_insert_order(kx_StructList *list, const void *record) {
    const size_t size = list->elementSize;
    return insertOrdered(list, record, [&](size_t i) { return sign(memcmp(record, recordAt(list, i), size)); });
}

int kx_StructList_insert_order_pthreadSafety(kx_StructList *list, const void *record) {
    Guard lock(&list->mutex);
    return kx_StructList_insert_order(list, record);
}

int kx_StructList_insert_order_custom(kx_StructList *list, const void *record, kx_StructList_compare_cb compare) {
    return insertOrdered(list, record, [&](size_t i) { return static_cast<int>(compare(record, recordAt(list, i))); });
}

int kx_StructList_check_exist(const kx_StructList *list, const void *record) {
    for (size_t i = 0; i < list->count; ++i)
        if (memcmp(recordAt(list, i), record, list->elementSize) == 0) return static_cast<int>(i);
    return -1;
}

int kx_StructList_check_exist_order(const kx_StructList *list, const void *record) {
    const size_t size = list->elementSize;
    return kx::list::findOrdered(list->count,
                                 [&](size_t i) { return sign(memcmp(record, recordAt(list, i), size)); });
}

int kx_StructList_check_exist_custom(const kx_StructList *list, const void *key, kx_StructList_compare_cb compare) {
    return kx::list::findOrdered(list->count,
                                 [&](size_t i) { return static_cast<int>(compare(key, recordAt(list, i))); });
}

int kx_StructList_remove_order(kx_StructList *list, const void *record) {
    const size_t size = list->elementSize;
    return removeFound(list, [&](size_t i) { return sign(memcmp(record, recordAt(list, i), size)); });
}

int kx_StructList_remove_order_pthreadSafety(kx_StructList *list, const void *record) {
    Guard lock(&list->mutex);
    return kx_StructList_remove_order(list, record);
}

int kx_StructList_remove_custom(kx_StructList *list, const void *key, kx_StructList_compare_cb compare) {
    return removeFound(list, [&](size_t i) { return static_cast<int>(compare(key, recordAt(list, i))); });
}

int kx_StructList_update_custom(kx_StructList *list, const void *record, kx_StructList_compare_cb compare) {
    const int index = kx_StructList_check_exist_custom(list, record, compare);
    if (index >= 0) {
        void *target = list->array + (static_cast<size_t>(list->start) + static_cast<size_t>(index)) * list->elementSize;
        if (target != record) memcpy(target, record, list->elementSize);
    }
    return index;
}

void kx_StructList_test(void) {
    kx::SelfTest t(__func__);
    kx_StructList *list = kx_StructList_new__IO(2, 8);
    if (list == nullptr) {
        KX_LOGE("FAILED: list not created");
        return;
    }
    const unsigned char a[8] = {2, 0, 0, 0, 0, 0, 0, 1};
    const unsigned char b[8] = {1, 0, 0, 0, 0, 0, 0, 9};
    const unsigned char c[8] = {3, 0, 0, 0, 0, 0, 0, 0};
    t.check(kx_StructList_insert_order(list, a) == 0, "first ordered insert");
    t.check(kx_StructList_insert_order(list, b) == 0, "smaller record goes first");
    t.check(kx_StructList_insert_order(list, c) == 2, "larger record appended");
    t.check(kx_StructList_insert_order(list, a) == -1 && list->count == 3, "duplicate refused");
    t.check(kx_StructList_check_exist_order(list, c) == 2 && kx_StructList_check_exist(list, b) == 0, "lookups");
    t.check(kx_StructList_remove_order(list, a) == 1 && list->count == 2, "ordered removal");
    for (int i = 0; i < 10; ++i) kx_StructList_insert_tail(list, a);
    t.check(list->count == 12 && memcmp(kx_StructList_at(list, 11), a, 8) == 0, "tail growth");
    kx_StructList_delete__OI(list);
    t.finish();
}

}  // extern "C"
