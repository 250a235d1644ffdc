// Record list: byte-order sorting, compare-function lookups and updates, growth with
// odd record sizes, and the locked variants from several threads (KX_THREADED).
#include "kx/structlist.h"

#include <gtest/gtest.h>

#include "tests/support/stdout_capture.hpp"
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <deque>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "kx/objectlist.h"

namespace {

struct ListDeleter {
    void operator()(kx_StructList *list) const { kx_StructList_delete__OI(list); }
};
using ListPtr = std::unique_ptr<kx_StructList, ListDeleter>;

ListPtr makeList(unsigned char g, uint32_t size) {
    ListPtr list(kx_StructList_new__IO(g, size));
    EXPECT_NE(list, nullptr);
    return list;
}

std::vector<uint64_t> contents64(const kx_StructList *list) {
    std::vector<uint64_t> out;
    for (uint32_t i = 0; i < list->count; ++i) {
        uint64_t v;
        memcpy(&v, kx_StructList_at(list, i), sizeof v);
        out.push_back(v);
    }
    return out;
}

TEST(StructList, Constructor) {
    ListPtr list = makeList(4, 16);
    EXPECT_EQ(list->array, nullptr);
    EXPECT_EQ(list->count, 0u);
    EXPECT_EQ(list->mask, 15u);
    EXPECT_EQ(list->elementSize, 16u);
    EXPECT_EQ(kx_StructList_new__IO(32, 8), nullptr);
    EXPECT_EQ(kx_StructList_new__IO(2, 0), nullptr);
}

// 8-byte records (uint64 values in the machine's little-endian layout) in memcmp order.
TEST(StructList, MemcmpOrdering) {
    struct Case {
        const char *name;
        std::vector<uint64_t> inserted;
        std::vector<int> results;
        std::vector<uint64_t> sorted;
    };
    const std::vector<Case> cases = {
        {"records differing only in the first byte", {3, 1, 2, 3, 0}, {0, 0, 1, -1, 0}, {0, 1, 2, 3}},
        {"byte order, not numeric order", {1, 256, 2, 256}, {0, 0, 2, -1}, {256, 1, 2}},
        {"the first differing byte decides",
         {0xff, uint64_t{2} << 56, uint64_t{1} << 56, (uint64_t{1} << 56) | 1},
         {0, 0, 0, 2},
         {uint64_t{1} << 56, uint64_t{2} << 56, (uint64_t{1} << 56) | 1, 0xff}},
    };
    for (bool locked : {false, true}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(c.name);
            SCOPED_TRACE(locked);
            ListPtr list = makeList(1, 8);
            for (size_t i = 0; i < c.inserted.size(); ++i) {
                const uint64_t v = c.inserted[i];
                EXPECT_EQ(locked ? kx_StructList_insert_order_pthreadSafety(list.get(), &v)
                                 : kx_StructList_insert_order(list.get(), &v),
                          c.results[i])
                    << "insertion " << i;
            }
            EXPECT_EQ(contents64(list.get()), c.sorted);
            for (size_t i = 0; i < c.sorted.size(); ++i) {
                EXPECT_EQ(kx_StructList_check_exist_order(list.get(), &c.sorted[i]), (int)i);
                EXPECT_EQ(kx_StructList_check_exist(list.get(), &c.sorted[i]), (int)i);
            }
            const uint64_t absent = 0x7777;
            EXPECT_EQ(kx_StructList_check_exist_order(list.get(), &absent), -1);
            EXPECT_EQ(kx_StructList_check_exist(list.get(), &absent), -1);
            EXPECT_EQ(locked ? kx_StructList_remove_order_pthreadSafety(list.get(), &absent)
                             : kx_StructList_remove_order(list.get(), &absent),
                      -1);
            std::vector<uint64_t> left = c.sorted;
            EXPECT_EQ(kx_StructList_remove_order(list.get(), &c.sorted[1]), 1);
            left.erase(left.begin() + 1);
            EXPECT_EQ(contents64(list.get()), left);
        }
    }
}

TEST(StructList, LinearSearchFindsTheFirstCopy) {
    ListPtr list = makeList(2, 8);
    for (uint64_t v : {5, 6, 5, 7}) ASSERT_GT(kx_StructList_insert_tail(list.get(), &v), 0);
    const uint64_t five = 5, seven = 7;
    EXPECT_EQ(kx_StructList_check_exist(list.get(), &five), 0);
    EXPECT_EQ(kx_StructList_check_exist(list.get(), &seven), 3);
}

struct Keyed {
    int32_t key;
    int32_t payload;
};
signed char byKey(const void *key, const void *record) {
    const int32_t a = static_cast<const Keyed *>(key)->key, b = static_cast<const Keyed *>(record)->key;
    return a > b ? 1 : (a < b ? -1 : 0);
}

std::vector<std::pair<int, int>> keyed(const kx_StructList *list) {
    std::vector<std::pair<int, int>> out;
    for (uint32_t i = 0; i < list->count; ++i) {
        Keyed k;
        memcpy(&k, kx_StructList_at(list, i), sizeof k);
        out.emplace_back(k.key, k.payload);
    }
    return out;
}

TEST(StructList, CustomOrderLookupRemoveUpdate) {
    ListPtr list = makeList(2, sizeof(Keyed));
    const std::vector<std::pair<Keyed, int>> inserts = {
        {{40, 1}, 0}, {{10, 2}, 0}, {{30, 3}, 1}, {{50, 4}, 3}, {{30, 99}, -1}, {{20, 5}, 1},
    };
    for (const auto &[record, result] : inserts)
        EXPECT_EQ(kx_StructList_insert_order_custom(list.get(), &record, byKey), result) << record.key;
    using KV = std::vector<std::pair<int, int>>;
    EXPECT_EQ(keyed(list.get()), (KV{{10, 2}, {20, 5}, {30, 3}, {40, 1}, {50, 4}}));

    const Keyed probe30{30, 0}, probe35{35, 0};
    EXPECT_EQ(kx_StructList_check_exist_custom(list.get(), &probe30, byKey), 2);
    EXPECT_EQ(kx_StructList_check_exist_custom(list.get(), &probe35, byKey), -1);

    // update_custom overwrites the whole record found by the key.
    const Keyed update{40, 777}, absent{45, 1};
    EXPECT_EQ(kx_StructList_update_custom(list.get(), &update, byKey), 3);
    EXPECT_EQ(kx_StructList_update_custom(list.get(), &absent, byKey), -1);
    EXPECT_EQ(keyed(list.get()), (KV{{10, 2}, {20, 5}, {30, 3}, {40, 777}, {50, 4}}));

    EXPECT_EQ(kx_StructList_remove_custom(list.get(), &probe35, byKey), -1);
    EXPECT_EQ(kx_StructList_remove_custom(list.get(), &probe30, byKey), 2);
    EXPECT_EQ(keyed(list.get()), (KV{{10, 2}, {20, 5}, {40, 777}, {50, 4}}));
}

// Positional steps on 3-byte records with G = 4: same slot rules as the object list,
// except that remove_head advances start also when it removes the last record.
TEST(StructList, GrowthWithOddRecordSize) {
    enum Op { Tail, Head, At, RemoveHead, RemoveAt };
    struct Step {
        Op op;
        uint8_t value;
        uint32_t index;
        int rc;  // insertion result (ignored for removals)
        uint32_t start, count;
    };
    struct Case {
        const char *name;
        std::vector<Step> steps;
        std::vector<uint8_t> expected;  // first byte of each record
    };
    const std::vector<Case> cases = {
        {"appends", {{Tail, 1, 0, 2, 0, 1}, {Tail, 2, 0, 1, 0, 2}, {Tail, 3, 0, 1, 0, 3}, {Tail, 4, 0, 1, 0, 4},
                     {Tail, 5, 0, 2, 0, 5}}, {1, 2, 3, 4, 5}},
        {"heads", {{Head, 1, 0, 2, 3, 1}, {Head, 2, 0, 1, 2, 2}, {Tail, 3, 0, 2, 2, 3}, {Head, 4, 0, 1, 1, 4},
                   {Head, 5, 0, 1, 0, 5}, {Head, 6, 0, 2, 3, 6}}, {6, 5, 4, 2, 1, 3}},
        {"remove_head of the last record advances start",
         {{Tail, 1, 0, 2, 0, 1}, {RemoveHead, 0, 0, 0, 1, 0}, {Tail, 2, 0, 1, 1, 1}, {RemoveHead, 0, 0, 0, 2, 0}},
         {}},
        {"positional insert and removal move the shorter side",
         {{Tail, 1, 0, 2, 0, 1}, {Tail, 2, 0, 1, 0, 2}, {Tail, 3, 0, 1, 0, 3}, {At, 9, 1, 1, 0, 4},
          {At, 8, 3, 2, 0, 5}, {At, 7, 1, 2, 3, 6}, {RemoveAt, 0, 0, 0, 4, 5}, {RemoveAt, 0, 4, 0, 4, 4},
          {RemoveAt, 0, 1, 0, 5, 3}},
         {7, 2, 8}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ListPtr list = makeList(2, 3);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE(i);
            const Step &s = c.steps[i];
            const uint8_t record[3] = {s.value, 0xaa, 0x55};
            switch (s.op) {
                case Tail: EXPECT_EQ(kx_StructList_insert_tail(list.get(), record), s.rc); break;
                case Head: EXPECT_EQ(kx_StructList_insert_head(list.get(), record), s.rc); break;
                case At: EXPECT_EQ(kx_StructList_insert_at(list.get(), s.index, record), s.rc); break;
                case RemoveHead: kx_StructList_remove_head(list.get()); break;
                case RemoveAt: kx_StructList_remove_at(list.get(), s.index); break;
            }
            EXPECT_EQ(list->start, s.start);
            EXPECT_EQ(list->count, s.count);
        }
        std::vector<uint8_t> got;
        for (uint32_t i = 0; i < list->count; ++i) {
            const auto *r = static_cast<const uint8_t *>(kx_StructList_at(list.get(), i));
            EXPECT_EQ(r[1], 0xaa);
            EXPECT_EQ(r[2], 0x55);
            got.push_back(r[0]);
        }
        EXPECT_EQ(got, c.expected);
    }
}

template <size_t N>
void randomizedAgainstDeque(unsigned char g, unsigned seed) {
    using Rec = std::array<uint8_t, N>;
    std::mt19937 rng(seed);
    ListPtr list = makeList(g, N);
    std::deque<Rec> model;
    for (int step = 0; step < 3000; ++step) {
        Rec rec;
        for (auto &b : rec) b = static_cast<uint8_t>(rng());
        const unsigned op = rng() % 10;
        if (op < 5 || model.empty()) {
            int rc;
            if (op % 3 == 0) {
                rc = kx_StructList_insert_head(list.get(), rec.data());
                model.push_front(rec);
            } else if (op % 3 == 1) {
                rc = kx_StructList_insert_tail(list.get(), rec.data());
                model.push_back(rec);
            } else {
                const uint32_t at = rng() % (model.size() + 1);
                rc = kx_StructList_insert_at(list.get(), at, rec.data());
                model.insert(model.begin() + at, rec);
            }
            ASSERT_TRUE(rc == 1 || rc == 2);
        } else if (op % 2 == 0) {
            kx_StructList_remove_head(list.get());
            model.pop_front();
        } else {
            const uint32_t at = rng() % model.size();
            kx_StructList_remove_at(list.get(), at);
            model.erase(model.begin() + at);
        }
        ASSERT_EQ(list->count, model.size()) << "step " << step;
        for (uint32_t i = 0; i < list->count; ++i)
            ASSERT_EQ(memcmp(kx_StructList_at(list.get(), i), model[i].data(), N), 0) << "step " << step;
    }
}

TEST(StructList, RandomizedAgainstDeque) {
    randomizedAgainstDeque<3>(2, 7);
    randomizedAgainstDeque<16>(4, 8);
    randomizedAgainstDeque<1>(0, 9);
}

TEST(StructList, PairsAreFoundByCheckExistVoid2) {
    // The deferred-release shape: two-pointer records, granule 16.
    struct Pair {
        void *a, *b;
    };
    ListPtr list = makeList(4, sizeof(Pair));
    int x, y, z;
    const Pair pairs[] = {{&x, &y}, {&y, &z}, {&x, &y}, {&z, &x}};
    for (const Pair &p : pairs) ASSERT_GT(kx_StructList_insert_tail(list.get(), &p), 0);
    kx_StructList_remove_head(list.get());
    auto *asObjects = reinterpret_cast<kx_ObjectList *>(list.get());
    EXPECT_EQ(kx_ObjectList_check_exist_void2(asObjects, &x, &y), 1);
    EXPECT_EQ(kx_ObjectList_check_exist_void2(asObjects, &z, &x), 2);
    EXPECT_EQ(kx_ObjectList_check_exist_void2(asObjects, &y, &x), -1);
}

TEST(StructList, LockedVariantsFromSeveralThreads) {
    constexpr int kThreads = 4;
    constexpr uint32_t kEach = 1500;
    ListPtr list = makeList(3, 8);
    ListPtr sorted = makeList(3, 8);
    std::vector<int> stored(kThreads, 0), missed(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (uint32_t i = 0; i < kEach; ++i) {
                const uint64_t v = (uint64_t(t) << 32) | i;
                if (i % 2)
                    kx_StructList_insert_tail_pthreadSafety(list.get(), &v);
                else
                    kx_StructList_insert_head_pthreadSafety(list.get(), &v);
                const uint64_t shared = (i * 7) % kEach;  // every thread offers the same values
                if (kx_StructList_insert_order_pthreadSafety(sorted.get(), &shared) >= 0) ++stored[t];
            }
        });
    for (auto &th : threads) th.join();
    std::vector<uint64_t> got = contents64(list.get());
    EXPECT_EQ(got.size(), kThreads * kEach);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(std::adjacent_find(got.begin(), got.end()), got.end());
    int totalStored = 0;
    for (int n : stored) totalStored += n;
    EXPECT_EQ(totalStored, (int)kEach);
    EXPECT_EQ(sorted->count, kEach);

    threads.clear();
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (uint32_t i = t; i < kEach; i += kThreads) {
                const uint64_t shared = i;
                if (kx_StructList_remove_order_pthreadSafety(sorted.get(), &shared) < 0) ++missed[t];
            }
        });
    for (auto &th : threads) th.join();
    for (int m : missed) EXPECT_EQ(m, 0);
    EXPECT_EQ(sorted->count, 0u);
}

// The built-in self-test passes and names itself in its records.
TEST(StructListSelfTest, PassesAndLabelsItsRecords) {
    kxtest::StdoutCapture cap;
    kx_StructList_test();
    std::string text = kxtest::strip_colours(cap.text());
    cap.restore();
    EXPECT_NE(text.find("[kx_StructList_test]--self-test passed"), std::string::npos) << text;
    EXPECT_EQ(text.find("FAILED"), std::string::npos) << text;
}

}  // namespace
