// Object list: growth positions, ordered families, bulk operations, a randomized
// comparison against std::deque, and the locked variants from several threads
// (KX_THREADED: also runs under ThreadSanitizer).
#include "kx/objectlist.h"

#include <gtest/gtest.h>

#include "tests/support/stdout_capture.hpp"
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <malloc.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

struct ListDeleter {
    void operator()(kx_ObjectList *list) const { kx_ObjectList_delete__OI(list); }
};
using ListPtr = std::unique_ptr<kx_ObjectList, ListDeleter>;

ListPtr makeList(unsigned char g) {
    ListPtr list(kx_ObjectList_new__IO(g));
    EXPECT_NE(list, nullptr);
    return list;
}

void *P(uintptr_t v) { return reinterpret_cast<void *>(v); }
uintptr_t V(void *p) { return reinterpret_cast<uintptr_t>(p); }

std::vector<uintptr_t> contents(const kx_ObjectList *list) {
    std::vector<uintptr_t> out;
    for (uint32_t i = 0; i < list->count; ++i) out.push_back(V(list->array[list->start + i]));
    return out;
}

void fillTail(kx_ObjectList *list, uintptr_t from, uintptr_t to) {
    for (uintptr_t v = from; v <= to; ++v) ASSERT_GT(kx_ObjectList_insert_tail(list, P(v)), 0);
}

void removeHeads(kx_ObjectList *list, int n) {
    for (int i = 0; i < n; ++i) ASSERT_NE(kx_ObjectList_remove_head(list), nullptr);
}

TEST(ObjectList, ConstructorsShapeTheRecord) {
    ListPtr list = makeList(2);
    EXPECT_EQ(list->array, nullptr);
    EXPECT_EQ(list->start, 0u);
    EXPECT_EQ(list->count, 0u);
    EXPECT_EQ(list->mask, 3u);
    EXPECT_EQ(ListPtr(kx_ObjectList_new__IO(31))->mask, 0x7fffffffu);
    EXPECT_EQ(kx_ObjectList_new__IO(32), nullptr);

    // Pre-sized: 5 slots round up to 8, so the caller fills 0..4 and a tail insert lands in slot 5 without allocating.
    ListPtr pre(kx_ObjectList_new_prefect__IO(5, 2));
    ASSERT_NE(pre, nullptr);
    EXPECT_EQ(pre->count, 5u);
    EXPECT_EQ(pre->start, 0u);
    for (uintptr_t i = 0; i < 5; ++i) pre->array[i] = P(i + 1);
    void **before = pre->array;
    EXPECT_EQ(kx_ObjectList_insert_tail(pre.get(), P(6)), 1);
    EXPECT_EQ(pre->array, before);
    EXPECT_EQ(contents(pre.get()), (std::vector<uintptr_t>{1, 2, 3, 4, 5, 6}));

    // Caller data behind the record is usable in full.
    ListPtr ext(kx_ObjectList_new_prefect_with_externData__IO(3, 2, 100));
    ASSERT_NE(ext, nullptr);
    memset(kx_ObjectList_externData(ext.get()), 0xab, 100);
    EXPECT_EQ(ext->count, 3u);
    ListPtr ext2(kx_ObjectList_new_with_externData__IO(4, 24));
    ASSERT_NE(ext2, nullptr);
    memset(kx_ObjectList_externData(ext2.get()), 0, 24);
    EXPECT_EQ(ext2->count, 0u);
}

// One positional step and what the record must look like afterwards.
enum class Op { Tail, Head, At, RemoveHead, RemoveTail, RemoveAt };
struct Step {
    Op op;
    uintptr_t value;  // inserted value, or the index for At/RemoveAt
    uint32_t index;   // position for At
    int rc;           // insertion result, or the removed value for removals
    uint32_t start;
    uint32_t count;
};

struct GrowthCase {
    const char *name;
    std::vector<Step> steps;
    std::vector<uintptr_t> expected;
};

int apply(kx_ObjectList *list, const Step &s) {
    switch (s.op) {
        case Op::Tail: return kx_ObjectList_insert_tail(list, P(s.value));
        case Op::Head: return kx_ObjectList_insert_head(list, P(s.value));
        case Op::At: return kx_ObjectList_insert_at(list, s.index, P(s.value));
        case Op::RemoveHead: return static_cast<int>(V(kx_ObjectList_remove_head(list)));
        case Op::RemoveTail: return static_cast<int>(V(kx_ObjectList_remove_tail(list)));
        case Op::RemoveAt: return static_cast<int>(V(kx_ObjectList_remove_at(list, s.index)));
    }
    return -100;
}

TEST(ObjectList, GrowthWithGranuleFour) {
    using O = Op;
    const std::vector<GrowthCase> cases = {
        {"appends allocate 4 slots, the fifth reallocates",
         {{O::Tail, 1, 0, 2, 0, 1}, {O::Tail, 2, 0, 1, 0, 2}, {O::Tail, 3, 0, 1, 0, 3}, {O::Tail, 4, 0, 1, 0, 4},
          {O::Tail, 5, 0, 2, 0, 5}, {O::Tail, 6, 0, 1, 0, 6}},
         {1, 2, 3, 4, 5, 6}},
        {"head inserts into a new list fill slots 3, 2, 1, 0, then rebuild",
         {{O::Head, 1, 0, 2, 3, 1}, {O::Head, 2, 0, 1, 2, 2}, {O::Head, 3, 0, 1, 1, 3}, {O::Head, 4, 0, 1, 0, 4},
          {O::Head, 5, 0, 2, 3, 5}},
         {5, 4, 3, 2, 1}},
        {"head insert at start 0 moves the elements behind one granule",
         {{O::Tail, 1, 0, 2, 0, 1}, {O::Tail, 2, 0, 1, 0, 2}, {O::Head, 9, 0, 2, 3, 3}, {O::Tail, 3, 0, 1, 3, 4}},
         {9, 1, 2, 3}},
        {"head insert into an emptied list reuses the array at (G-1)/2",
         {{O::Tail, 1, 0, 2, 0, 1}, {O::RemoveTail, 0, 0, 1, 0, 0}, {O::Head, 7, 0, 2, 1, 1}},
         {7}},
        {"queue compaction: tail at a boundary with a granule free at the head",
         {{O::Tail, 1, 0, 2, 0, 1}, {O::Tail, 2, 0, 1, 0, 2}, {O::Tail, 3, 0, 1, 0, 3}, {O::Tail, 4, 0, 1, 0, 4},
          {O::Tail, 5, 0, 2, 0, 5}, {O::Tail, 6, 0, 1, 0, 6}, {O::Tail, 7, 0, 1, 0, 7}, {O::Tail, 8, 0, 1, 0, 8},
          {O::RemoveHead, 0, 0, 1, 1, 7}, {O::RemoveHead, 0, 0, 2, 2, 6}, {O::RemoveHead, 0, 0, 3, 3, 5},
          {O::RemoveHead, 0, 0, 4, 4, 4}, {O::Tail, 9, 0, 1, 0, 5}},
         {5, 6, 7, 8, 9}},
        {"drained queue keeps its start and restarts at slot 0 when start == G",
         {{O::Tail, 1, 0, 2, 0, 1}, {O::Tail, 2, 0, 1, 0, 2}, {O::Tail, 3, 0, 1, 0, 3}, {O::Tail, 4, 0, 1, 0, 4},
          {O::Tail, 5, 0, 2, 0, 5}, {O::RemoveHead, 0, 0, 1, 1, 4}, {O::RemoveHead, 0, 0, 2, 2, 3},
          {O::RemoveHead, 0, 0, 3, 3, 2}, {O::RemoveHead, 0, 0, 4, 4, 1}, {O::RemoveHead, 0, 0, 5, 4, 0},
          {O::Tail, 6, 0, 1, 0, 1}},
         {6}},
        {"drained queue restarts at slot G when start > G",
         {{O::Tail, 1, 0, 2, 0, 1}, {O::Tail, 2, 0, 1, 0, 2}, {O::Tail, 3, 0, 1, 0, 3}, {O::Tail, 4, 0, 1, 0, 4},
          {O::Tail, 5, 0, 2, 0, 5}, {O::Tail, 6, 0, 1, 0, 6}, {O::Tail, 7, 0, 1, 0, 7}, {O::Tail, 8, 0, 1, 0, 8},
          {O::Tail, 9, 0, 2, 0, 9}, {O::RemoveAt, 0, 0, 1, 1, 8}, {O::RemoveAt, 0, 0, 2, 2, 7},
          {O::RemoveAt, 0, 0, 3, 3, 6}, {O::RemoveAt, 0, 0, 4, 4, 5}, {O::RemoveAt, 0, 0, 5, 5, 4},
          {O::RemoveAt, 0, 0, 6, 6, 3}, {O::RemoveAt, 0, 0, 7, 7, 2}, {O::RemoveAt, 0, 0, 8, 8, 1},
          {O::RemoveAt, 0, 0, 9, 8, 0}, {O::Tail, 10, 0, 1, 4, 1}},
         {10}},
        {"drained queue off a boundary stores right at start",
         {{O::Tail, 1, 0, 2, 0, 1}, {O::Tail, 2, 0, 1, 0, 2}, {O::RemoveHead, 0, 0, 1, 1, 1},
          {O::RemoveHead, 0, 0, 2, 1, 0}, {O::Tail, 3, 0, 1, 1, 1}},
         {3}},
        {"insert_at near the head rebuilds when start is 0, near the tail grows the tail",
         {{O::Tail, 1, 0, 2, 0, 1}, {O::Tail, 2, 0, 1, 0, 2}, {O::Tail, 3, 0, 1, 0, 3}, {O::Tail, 4, 0, 1, 0, 4},
          {O::Tail, 5, 0, 2, 0, 5}, {O::At, 20, 1, 2, 3, 6}, {O::At, 40, 4, 1, 3, 7}, {O::At, 30, 1, 1, 2, 8}},
         {1, 30, 20, 2, 3, 40, 4, 5}},
        {"insert_at on the tail side compacts when a granule is free at the head",
         {{O::Tail, 1, 0, 2, 0, 1}, {O::Tail, 2, 0, 1, 0, 2}, {O::Tail, 3, 0, 1, 0, 3}, {O::Tail, 4, 0, 1, 0, 4},
          {O::Tail, 5, 0, 2, 0, 5}, {O::Tail, 6, 0, 1, 0, 6}, {O::Tail, 7, 0, 1, 0, 7}, {O::Tail, 8, 0, 1, 0, 8},
          {O::RemoveHead, 0, 0, 1, 1, 7}, {O::RemoveHead, 0, 0, 2, 2, 6}, {O::RemoveHead, 0, 0, 3, 3, 5},
          {O::RemoveHead, 0, 0, 4, 4, 4}, {O::At, 70, 3, 1, 0, 5}},
         {5, 6, 7, 70, 8}},
        {"remove_at moves the shorter side",
         {{O::Tail, 1, 0, 2, 0, 1}, {O::Tail, 2, 0, 1, 0, 2}, {O::Tail, 3, 0, 1, 0, 3}, {O::Tail, 4, 0, 1, 0, 4},
          {O::Tail, 5, 0, 2, 0, 5}, {O::Tail, 6, 0, 1, 0, 6}, {O::RemoveAt, 0, 1, 2, 1, 5},
          {O::RemoveAt, 0, 3, 5, 1, 4}, {O::RemoveAt, 0, 1, 3, 2, 3}, {O::RemoveTail, 0, 0, 6, 2, 2}},
         {1, 4}},
    };
    for (const GrowthCase &c : cases) {
        SCOPED_TRACE(c.name);
        ListPtr list = makeList(2);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE(i);
            const Step &s = c.steps[i];
            EXPECT_EQ(apply(list.get(), s), s.rc);
            EXPECT_EQ(list->start, s.start);
            EXPECT_EQ(list->count, s.count);
        }
        EXPECT_EQ(contents(list.get()), c.expected);
    }
}

TEST(ObjectList, SteadyQueueStopsGrowing) {
    // A queue of at most three elements with G = 4: after warm-up the storage stays at
    // two granules, because a tail at a boundary with a granule free at the head moves
    // the elements back to slot 0.
    ListPtr list = makeList(2);
    std::deque<uintptr_t> model;
    size_t compactions = 0;
    for (uintptr_t v = 1; v <= 2000; ++v) {
        const uint32_t startBefore = list->start;
        ASSERT_GT(kx_ObjectList_insert_tail(list.get(), P(v)), 0);
        if (startBefore >= 4 && list->start == 0) ++compactions;
        model.push_back(v);
        if (model.size() > 3) {
            ASSERT_EQ(V(kx_ObjectList_remove_head(list.get())), model.front());
            model.pop_front();
        }
        ASSERT_LE(list->start + list->count, 8u) << "value " << v;
        if (v > 100) {
            ASSERT_LT(malloc_usable_size(list->array), 16 * sizeof(void *)) << "value " << v;
        }
    }
    EXPECT_GT(compactions, 300u);  // one every five inserts
    EXPECT_EQ(contents(list.get()), std::vector<uintptr_t>(model.begin(), model.end()));
}

// Ordered families share one table: each case inserts items in a given order and
// expects a final order; duplicates return 0.
struct Item {
    const char *k1;
    const char *k2;
    int v;
};
Item items[] = {{"d", "1", 4}, {"a", "2", 1}, {"c", "1", 3}, {"a", "1", 0}, {"e", "0", 9}, {"zz", "z", -5}};
const char *key1(void *e) { return static_cast<Item *>(e)->k1; }
const char *key2(void *e) { return static_cast<Item *>(e)->k2; }
signed char byValueDescending(void *a, void *b) {
    const int x = static_cast<Item *>(a)->v, y = static_cast<Item *>(b)->v;
    return x < y ? 1 : (x > y ? -1 : 0);
}

struct Family {
    const char *name;
    std::function<int(kx_ObjectList *, Item *)> insert;
    std::function<int(kx_ObjectList *, Item *)> find;
    std::function<int(kx_ObjectList *, Item *)> remove;  // empty when the family has none
    std::vector<int> inserted;                           // indices into items
    std::vector<int> results;                            // > 0 stands for "1 or 2"
    std::vector<int> expected;                           // final order, indices into items
};

TEST(ObjectList, OrderedFamilies) {
    const std::vector<Family> families = {
        {"order (by address, items[] is in address order)",
         [](kx_ObjectList *l, Item *e) { return kx_ObjectList_insert_order(l, e); },
         [](kx_ObjectList *l, Item *e) { return kx_ObjectList_check_exist_order(l, e); },
         [](kx_ObjectList *l, Item *e) { return kx_ObjectList_remove_order(l, e); },
         {3, 0, 2, 0, 4, 2, 1},
         {1, 1, 1, 0, 1, 0, 1},
         {0, 1, 2, 3, 4}},
        {"order, locked",
         [](kx_ObjectList *l, Item *e) { return kx_ObjectList_insert_order_pthreadSafety(l, e); },
         [](kx_ObjectList *l, Item *e) { return kx_ObjectList_check_exist_order(l, e); },
         [](kx_ObjectList *l, Item *e) { return kx_ObjectList_remove_order_pthreadSafety(l, e); },
         {4, 3, 3, 1},
         {1, 1, 0, 1},
         {1, 3, 4}},
        {"string (key1)",
         [](kx_ObjectList *l, Item *e) { return kx_ObjectList_insert_order_string(l, e, key1); },
         [](kx_ObjectList *l, Item *e) { return kx_ObjectList_check_exist_string(l, e->k1, key1); },
         [](kx_ObjectList *l, Item *e) { return kx_ObjectList_remove_order_string(l, e, key1); },
         {0, 1, 2, 3, 4},
         {1, 1, 1, 0, 1},
         {1, 2, 0, 4}},
        {"string2 (key1, key2)",
         [](kx_ObjectList *l, Item *e) { return kx_ObjectList_insert_order_string2(l, e, key1, key2); },
         [](kx_ObjectList *l, Item *e) { return kx_ObjectList_check_exist_string2(l, e->k1, key1, e->k2, key2); },
         nullptr,
         {0, 1, 2, 3, 4, 1},
         {1, 1, 1, 1, 1, 0},
         {3, 1, 2, 0, 4}},
        {"string2, locked",
         [](kx_ObjectList *l, Item *e) { return kx_ObjectList_insert_order_string2_pthreadSafety(l, e, key1, key2); },
         [](kx_ObjectList *l, Item *e) { return kx_ObjectList_check_exist_string2(l, e->k1, key1, e->k2, key2); },
         nullptr,
         {1, 3, 3},
         {1, 1, 0},
         {3, 1}},
        {"custom (value descending)",
         [](kx_ObjectList *l, Item *e) { return kx_ObjectList_insert_order_custom(l, e, byValueDescending); },
         [](kx_ObjectList *l, Item *e) { return kx_ObjectList_check_exist_custom(l, e, byValueDescending); },
         nullptr,
         {0, 1, 2, 3, 4, 2},
         {1, 1, 1, 1, 1, 0},
         {4, 0, 2, 1, 3}},
        {"custom, locked",
         [](kx_ObjectList *l, Item *e) {
             return kx_ObjectList_insert_order_custom_pthreadSafety(l, e, byValueDescending);
         },
         [](kx_ObjectList *l, Item *e) { return kx_ObjectList_check_exist_custom(l, e, byValueDescending); },
         nullptr,
         {3, 4, 4},
         {1, 1, 0},
         {4, 3}},
    };
    Item *absent = &items[5];
    for (const Family &f : families) {
        SCOPED_TRACE(f.name);
        ListPtr list = makeList(1);
        for (size_t i = 0; i < f.inserted.size(); ++i) {
            const int rc = f.insert(list.get(), &items[f.inserted[i]]);
            if (f.results[i] == 0)
                EXPECT_EQ(rc, 0) << "insertion " << i;
            else
                EXPECT_TRUE(rc == 1 || rc == 2) << "insertion " << i << " gave " << rc;
        }
        std::vector<uintptr_t> want;
        for (int k : f.expected) want.push_back(reinterpret_cast<uintptr_t>(&items[k]));
        EXPECT_EQ(contents(list.get()), want);
        for (size_t i = 0; i < f.expected.size(); ++i) EXPECT_EQ(f.find(list.get(), &items[f.expected[i]]), (int)i);
        EXPECT_EQ(f.find(list.get(), absent), -1);
        if (!f.remove) continue;
        const size_t middle = f.expected.size() / 2;
        EXPECT_EQ(f.remove(list.get(), &items[f.expected[middle]]), (int)middle);
        EXPECT_EQ(f.remove(list.get(), absent), -1);
        want.erase(want.begin() + middle);
        EXPECT_EQ(contents(list.get()), want);
    }
}

TEST(ObjectList, OrderIsUnsignedAndFoundByBinarySearch) {
    ListPtr list = makeList(2);
    const uintptr_t high = UINTPTR_MAX - 1;  // negative when read as a signed number
    std::vector<uintptr_t> values = {500, high, 3, 77, 1, 12, 900, 45};
    for (uintptr_t v : values) EXPECT_GT(kx_ObjectList_insert_order(list.get(), P(v)), 0);
    EXPECT_EQ(kx_ObjectList_insert_order(list.get(), P(77)), 0);
    EXPECT_EQ(list->count, values.size());
    std::sort(values.begin(), values.end());
    EXPECT_EQ(contents(list.get()), values);
    for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(kx_ObjectList_check_exist_order(list.get(), P(values[i])), (int)i);
    EXPECT_EQ(kx_ObjectList_check_exist_order(list.get(), P(2)), -1);
    EXPECT_EQ(kx_ObjectList_check_exist_order(list.get(), P(UINTPTR_MAX)), -1);
}

TEST(ObjectList, IdentitySearchFindsTheLaterCopy) {
    ListPtr list = makeList(2);
    fillTail(list.get(), 1, 1);
    fillTail(list.get(), 2, 2);
    fillTail(list.get(), 1, 1);
    fillTail(list.get(), 3, 3);
    EXPECT_EQ(kx_ObjectList_check_exist(list.get(), P(1)), 2);
    EXPECT_EQ(kx_ObjectList_check_exist(list.get(), P(9)), -1);
    EXPECT_EQ(kx_ObjectList_remove(list.get(), P(1)), 2);
    EXPECT_EQ(contents(list.get()), (std::vector<uintptr_t>{1, 2, 3}));
    EXPECT_EQ(kx_ObjectList_remove_pthreadSafety(list.get(), P(9)), -1);
    EXPECT_EQ(contents(list.get()), (std::vector<uintptr_t>{1, 2, 3}));
    EXPECT_EQ(kx_ObjectList_remove_pthreadSafety(list.get(), P(1)), 0);
    EXPECT_EQ(contents(list.get()), (std::vector<uintptr_t>{2, 3}));
}

TEST(ObjectList, CheckExistVoid2ReadsTwoPointerRecords) {
    // A record list of two-pointer records shares the first fields of the object list.
    ListPtr list = makeList(2);
    void *storage[8] = {P(1), P(2), P(3), P(4), P(1), P(2), P(5), P(6)};
    void **array = list->array;
    list->array = storage;
    list->start = 0;
    list->count = 4;
    EXPECT_EQ(kx_ObjectList_check_exist_void2(list.get(), P(1), P(2)), 2);
    EXPECT_EQ(kx_ObjectList_check_exist_void2(list.get(), P(5), P(6)), 3);
    EXPECT_EQ(kx_ObjectList_check_exist_void2(list.get(), P(2), P(3)), -1);
    list->start = 1;
    list->count = 2;
    EXPECT_EQ(kx_ObjectList_check_exist_void2(list.get(), P(3), P(4)), 0);
    EXPECT_EQ(kx_ObjectList_check_exist_void2(list.get(), P(5), P(6)), -1);
    list->array = array;
    list->count = 0;
    list->start = 0;
}

TEST(ObjectList, RemoveOrderAll) {
    struct Case {
        std::vector<uintptr_t> list, other;
        int result;
        std::vector<uintptr_t> left;
    };
    const std::vector<Case> cases = {
        {{1, 2, 3, 4}, {3, 9, 1}, -1, {2, 4}},
        {{1, 2, 3, 4}, {8, 9, 1}, -2, {2, 3, 4}},
        {{1, 2, 3, 4}, {4, 2}, 2, {1, 3}},
        {{1, 2}, {}, 0, {1, 2}},
    };
    for (const Case &c : cases) {
        ListPtr list = makeList(2), other = makeList(2);
        for (uintptr_t v : c.list) kx_ObjectList_insert_order(list.get(), P(v));
        for (uintptr_t v : c.other) kx_ObjectList_insert_tail(other.get(), P(v));
        EXPECT_EQ(kx_ObjectList_remove_order_all(list.get(), other.get()), c.result);
        EXPECT_EQ(contents(list.get()), c.left);
        EXPECT_EQ(contents(other.get()), c.other);
    }
    ListPtr self = makeList(2);
    for (uintptr_t v : {5, 6, 7}) kx_ObjectList_insert_order(self.get(), P(v));
    EXPECT_EQ(kx_ObjectList_remove_order_all(self.get(), self.get()), 3);
    EXPECT_EQ(self->count, 0u);
}

TEST(ObjectList, RemoveAllHandsOverTheStorage) {
    for (bool locked : {false, true}) {
        ListPtr list = makeList(2);
        fillTail(list.get(), 1, 5);
        void **array = list->array;
        ListPtr taken(locked ? kx_ObjectList_remove_all_pthreadSafety(list.get()) : kx_ObjectList_remove_all(list.get()));
        ASSERT_NE(taken, nullptr);
        EXPECT_EQ(taken->array, array);
        EXPECT_EQ(taken->count, 5u);
        EXPECT_EQ(taken->mask, 3u);
        EXPECT_EQ(contents(taken.get()), (std::vector<uintptr_t>{1, 2, 3, 4, 5}));
        EXPECT_EQ(list->count, 0u);
        EXPECT_EQ(list->array, nullptr);
        EXPECT_EQ(list->mask, 3u);
        // Both records are independent lists now.
        EXPECT_EQ(kx_ObjectList_insert_tail(list.get(), P(8)), 2);
        EXPECT_EQ(kx_ObjectList_insert_tail(taken.get(), P(6)), 1);
        EXPECT_EQ(contents(list.get()), (std::vector<uintptr_t>{8}));
        EXPECT_EQ(contents(taken.get()), (std::vector<uintptr_t>{1, 2, 3, 4, 5, 6}));
    }
}

TEST(ObjectList, BulkInsertions) {
    struct Case {
        const char *name;
        bool head;
        std::vector<uintptr_t> list, other;
        int rc;
        uint32_t start;
        std::vector<uintptr_t> expected;
    };
    // g = 2; the list is built by tail inserts, so it starts at slot 0.
    const std::vector<Case> cases = {
        {"tail run fits before the boundary", false, {1, 2}, {7, 8}, 1, 0, {1, 2, 7, 8}},
        {"tail run crosses the boundary", false, {1, 2}, {7, 8, 9}, 2, 0, {1, 2, 7, 8, 9}},
        {"tail run into an empty list", false, {}, {7, 8, 9, 10, 11}, 2, 0, {7, 8, 9, 10, 11}},
        {"empty tail run", false, {1}, {}, 1, 0, {1}},
        {"head run rebuilds with k rounded up", true, {1, 2}, {7, 8, 9}, 2, 1, {7, 8, 9, 1, 2}},
        {"head run of five", true, {1}, {5, 6, 7, 8, 9}, 2, 3, {5, 6, 7, 8, 9, 1}},
        {"head run into an empty list", true, {}, {7, 8}, 2, 2, {7, 8}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ListPtr list = makeList(2), other = makeList(2);
        for (uintptr_t v : c.list) kx_ObjectList_insert_tail(list.get(), P(v));
        for (uintptr_t v : c.other) kx_ObjectList_insert_tail(other.get(), P(v));
        const int rc = c.head ? kx_ObjectList_insert_head_all(list.get(), other.get())
                              : kx_ObjectList_insert_tail_all(list.get(), other.get());
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(list->start, c.start);
        EXPECT_EQ(contents(list.get()), c.expected);
        EXPECT_EQ(contents(other.get()), c.other);
    }
    // Head runs use the free head room when there is enough.
    ListPtr list = makeList(2), other = makeList(2);
    kx_ObjectList_insert_head(list.get(), P(1));  // slot 3
    kx_ObjectList_insert_tail(other.get(), P(5));
    kx_ObjectList_insert_tail(other.get(), P(6));
    EXPECT_EQ(kx_ObjectList_insert_head_all(list.get(), other.get()), 1);
    EXPECT_EQ(list->start, 1u);
    EXPECT_EQ(contents(list.get()), (std::vector<uintptr_t>{5, 6, 1}));
    // A tail run after draining the head compacts when the head room exceeds the run.
    ListPtr queue = makeList(2);
    fillTail(queue.get(), 1, 8);
    removeHeads(queue.get(), 5);
    EXPECT_EQ(kx_ObjectList_insert_tail_all(queue.get(), other.get()), 1);
    EXPECT_EQ(queue->start, 0u);
    EXPECT_EQ(contents(queue.get()), (std::vector<uintptr_t>{6, 7, 8, 5, 6}));
    // ... but not when the head room only equals the run: then the array grows.
    ListPtr exact = makeList(2), four = makeList(2);
    fillTail(exact.get(), 1, 8);
    removeHeads(exact.get(), 4);
    fillTail(four.get(), 11, 14);
    EXPECT_EQ(kx_ObjectList_insert_tail_all(exact.get(), four.get()), 2);
    EXPECT_EQ(exact->start, 4u);
    EXPECT_EQ(contents(exact.get()), (std::vector<uintptr_t>{5, 6, 7, 8, 11, 12, 13, 14}));
    // A list appended or prepended to itself.
    ListPtr self = makeList(2);
    fillTail(self.get(), 1, 3);
    EXPECT_GT(kx_ObjectList_insert_tail_all(self.get(), self.get()), 0);
    EXPECT_EQ(contents(self.get()), (std::vector<uintptr_t>{1, 2, 3, 1, 2, 3}));
    EXPECT_GT(kx_ObjectList_insert_head_all(self.get(), self.get()), 0);
    EXPECT_EQ(contents(self.get()), (std::vector<uintptr_t>{1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3}));
}

TEST(ObjectList, CopyingAppendAndOwnershipHelpers) {
    ListPtr list = makeList(2), other = makeList(2);
    fillTail(list.get(), 1, 1);
    fillTail(other.get(), 10, 12);
    const int rc = kx_ObjectList_insert_tail_all_copy(list.get(), other.get(),
                                                      [](void *e) { return P(V(e) * 2); });
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(contents(list.get()), (std::vector<uintptr_t>{1, 20, 22, 24}));
    EXPECT_EQ(contents(other.get()), (std::vector<uintptr_t>{10, 11, 12}));

    kx_ObjectList_clear(list.get());
    for (uintptr_t v : {1, 2, 1, 3, 1, 1}) kx_ObjectList_insert_tail(list.get(), P(v));
    kx_ObjectList_resize(list.get(), P(1));
    EXPECT_EQ(contents(list.get()), (std::vector<uintptr_t>{2, 3}));

    static std::vector<uintptr_t> destroyed;
    destroyed.clear();
    kx_ObjectList_clear_custom(list.get(), [](void *e) { destroyed.push_back(V(e)); });
    EXPECT_EQ(destroyed, (std::vector<uintptr_t>{2, 3}));
    EXPECT_EQ(list->count, 0u);
    for (uintptr_t v : {4, 5}) kx_ObjectList_insert_tail(list.get(), P(v));
    kx_ObjectList_clear_custom_pthreadSafety(list.get(), [](void *e) { destroyed.push_back(V(e)); });
    EXPECT_EQ(destroyed, (std::vector<uintptr_t>{2, 3, 4, 5}));
    kx_ObjectList *owned = kx_ObjectList_new__IO(2);
    for (uintptr_t v : {6, 7, 8}) kx_ObjectList_insert_head(owned, P(v));
    kx_ObjectList_delete_custom__OI(owned, [](void *e) { destroyed.push_back(V(e)); });
    EXPECT_EQ(destroyed, (std::vector<uintptr_t>{2, 3, 4, 5, 8, 7, 6}));

    // Heap elements released by the list (leak-checked under the sanitizer build).
    kx_ObjectList *heap = kx_ObjectList_new__IO(2);
    for (int i = 0; i < 6; ++i) kx_ObjectList_insert_tail(heap, malloc(16));
    kx_ObjectList_clear_allSequence(heap);
    EXPECT_EQ(heap->count, 0u);
    for (int i = 0; i < 3; ++i) kx_ObjectList_insert_tail(heap, malloc(16));
    kx_ObjectList_delete_allSequence_OI(heap);
}

TEST(ObjectList, RandomizedAgainstDeque) {
    for (unsigned char g : {0, 1, 2, 3, 6}) {
        SCOPED_TRACE(static_cast<int>(g));
        std::mt19937 rng(12345u + g);
        ListPtr list = makeList(g);
        std::deque<uintptr_t> model;
        uintptr_t next = 1;
        for (int step = 0; step < 4000; ++step) {
            // Insertions slightly outnumber removals so the list grows and shrinks in waves.
            const unsigned op = rng() % 12;
            const bool grow = op < 6 || model.empty();
            if (grow) {
                const uintptr_t v = next++;
                int rc;
                switch (op % 3) {
                    case 0:
                        rc = kx_ObjectList_insert_head(list.get(), P(v));
                        model.push_front(v);
                        break;
                    case 1:
                        rc = kx_ObjectList_insert_tail(list.get(), P(v));
                        model.push_back(v);
                        break;
                    default: {
                        const uint32_t at = rng() % (model.size() + 1);
                        rc = kx_ObjectList_insert_at(list.get(), at, P(v));
                        model.insert(model.begin() + at, v);
                        break;
                    }
                }
                ASSERT_TRUE(rc == 1 || rc == 2) << "step " << step;
            } else {
                uintptr_t got;
                switch (op % 3) {
                    case 0:
                        got = V(kx_ObjectList_remove_head(list.get()));
                        ASSERT_EQ(got, model.front()) << "step " << step;
                        model.pop_front();
                        break;
                    case 1:
                        got = V(kx_ObjectList_remove_tail(list.get()));
                        ASSERT_EQ(got, model.back()) << "step " << step;
                        model.pop_back();
                        break;
                    default: {
                        const uint32_t at = rng() % model.size();
                        got = V(kx_ObjectList_remove_at(list.get(), at));
                        ASSERT_EQ(got, model[at]) << "step " << step;
                        model.erase(model.begin() + at);
                        break;
                    }
                }
            }
            ASSERT_EQ(contents(list.get()), std::vector<uintptr_t>(model.begin(), model.end())) << "step " << step;
        }
    }
}

TEST(ObjectList, LockedVariantsFromSeveralThreads) {
    constexpr int kProducers = 4;
    constexpr uintptr_t kEach = 2000;
    ListPtr queue = makeList(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < kProducers; ++t)
        threads.emplace_back([&, t] {
            for (uintptr_t i = 0; i < kEach; ++i) {
                const uintptr_t v = (static_cast<uintptr_t>(t) << 32) | (i + 1);
                if (i % 2)
                    kx_ObjectList_insert_tail_pthreadSafety(queue.get(), P(v));
                else
                    kx_ObjectList_insert_at_pthreadSafety(queue.get(), 0, P(v));
            }
        });
    // Consumer: takes everything pending in one short critical section.
    std::vector<uintptr_t> seen;
    while (seen.size() < kProducers * kEach) {
        ListPtr batch(kx_ObjectList_remove_all_pthreadSafety(queue.get()));
        ASSERT_NE(batch, nullptr);
        const std::vector<uintptr_t> got = contents(batch.get());
        seen.insert(seen.end(), got.begin(), got.end());
        std::this_thread::yield();
    }
    for (auto &th : threads) th.join();
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
    EXPECT_EQ(seen.size(), kProducers * kEach);

    for (uintptr_t v : seen) {
        EXPECT_LT(v >> 32, static_cast<uintptr_t>(kProducers));
        EXPECT_TRUE((v & 0xffffffffu) >= 1 && (v & 0xffffffffu) <= kEach);
    }

    // Ordered inserts of the same values from every thread keep one copy of each;
    // then each thread removes its own quarter.
    ListPtr set = makeList(3);
    std::vector<int> duplicates(kProducers, 0), missed(kProducers, 0);
    threads.clear();
    for (int t = 0; t < kProducers; ++t)
        threads.emplace_back([&, t] {
            for (uintptr_t i = 0; i < 500; ++i) {
                static const uintptr_t kStride[] = {3, 7, 11, 13};  // coprime to 500: a permutation each
                const uintptr_t v = (i * kStride[t]) % 500 + 1;
                if (kx_ObjectList_insert_order_pthreadSafety(set.get(), P(v)) == 0) ++duplicates[t];
            }
        });
    for (auto &th : threads) th.join();
    int totalDuplicates = 0;
    for (int d : duplicates) totalDuplicates += d;
    EXPECT_EQ(totalDuplicates, (kProducers - 1) * 500);
    std::vector<uintptr_t> all(500);
    for (uintptr_t i = 0; i < 500; ++i) all[i] = i + 1;
    EXPECT_EQ(contents(set.get()), all);
    threads.clear();
    for (int t = 0; t < kProducers; ++t)
        threads.emplace_back([&, t] {
            for (uintptr_t v = t + 1; v <= 500; v += kProducers)
                if (kx_ObjectList_remove_order_pthreadSafety(set.get(), P(v)) < 0) ++missed[t];
        });
    for (auto &th : threads) th.join();
    for (int m : missed) EXPECT_EQ(m, 0);
    EXPECT_EQ(set->count, 0u);
}

// The built-in self-test passes and names itself in its records.
TEST(ObjectListSelfTest, PassesAndLabelsItsRecords) {
    kxtest::StdoutCapture cap;
    kx_ObjectList_test();
    std::string text = kxtest::strip_colours(cap.text());
    cap.restore();
    EXPECT_NE(text.find("[kx_ObjectList_test]--self-test passed"), std::string::npos) << text;
    EXPECT_EQ(text.find("FAILED"), std::string::npos) << text;
}

}  // namespace
