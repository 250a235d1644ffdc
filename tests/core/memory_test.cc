// Allocation wrappers, deferred-release lists and reference-counted objects.
// KX_THREADED: the reference-count test also runs under ThreadSanitizer.
#include <malloc.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kx/memory.h"
#include "kx/objectlist.h"
#include "kx/structlist.h"

namespace {

TEST(Memery, RequestsAreRoundedToEightBytes) {
    struct Case {
        size_t asked, atLeast;
    } cases[] = {{1, 8}, {8, 8}, {9, 16}, {13, 16}, {100, 104}};
    for (const Case &c : cases) {
        void *p = kx_memery_malloc(c.asked);
        ASSERT_NE(p, nullptr);
        EXPECT_GE(malloc_usable_size(p), c.atLeast) << c.asked;
        memset(p, 0xAB, c.atLeast);  // the rounded size is usable (ASan checks it)
        p = kx_memery_realloc(p, c.asked, c.asked + 1);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(static_cast<unsigned char *>(p)[0], 0xAB);
        kx_memery_free(p, c.asked + 1);
    }
    EXPECT_EQ(kx_memery_malloc(SIZE_MAX - 3), nullptr);  // rounding would wrap
    kx_memery_init(7);
    kx_memery_release();  // empty chain: nothing to free
}

std::vector<std::string> g_log;
void note(void *arg) { g_log.push_back(static_cast<const char *>(arg)); }

TEST(MemeryFree, PairsRunLastToFirstAndThreadPairsStopBeforeDelete) {
    g_log.clear();
    kx_StructList *list = kx_memeryFree_new__IO();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->elementSize, sizeof(kx_memeryFree_pair));
    kx_memeryFree_add_object(list, note, (void *)"A");
    kx_memeryFree_add_object(list, note, (void *)"B");
    kx_memeryFree_clear(list);
    EXPECT_EQ(g_log, (std::vector<std::string>{"B", "A"}));
    EXPECT_EQ(list->count, 0u);

    g_log.clear();
    kx_memeryFree_add_thread(list, [](void *) { g_log.push_back("stop"); }, [](void *) { g_log.push_back("delete"); },
                             nullptr);
    for (int i = 0; i < 40; ++i) kx_memeryFree_add_object(list, note, (void *)"x");  // grows past one granule
    kx_memeryFree_delete__OI(list);
    ASSERT_EQ(g_log.size(), 42u);
    EXPECT_EQ(g_log[40], "stop");
    EXPECT_EQ(g_log[41], "delete");
}

struct Probe {
    kx_Object header;
    const char *name;
};

Probe *make_probe(const char *name) {
    auto *p = static_cast<Probe *>(kx_memery_malloc(sizeof(Probe)));
    memset(p, 0, sizeof *p);
    kx_Object_init(&p->header, KX_OBJECT_TYPE_H264, sizeof(Probe));
    p->name = name;
    return p;
}

void child_gone(void *arg) { g_log.push_back(std::string("child ") + static_cast<const char *>(arg)); }

// The release list is left to the callbacks: the last pair deletes the list itself.
void add_list_deleter(kx_StructList *rl) {
    kx_memeryFree_add_object(rl, [](void *l) { kx_StructList_delete__OI(static_cast<kx_StructList *>(l)); }, rl);
}

TEST(Object, LastReleaseDestroysChildrenThenRunsCallbacksInOrder) {
    g_log.clear();
    Probe *parent = make_probe("parent");
    EXPECT_EQ(parent->header.referCount, 1u);
    EXPECT_EQ(parent->header.type, KX_OBJECT_TYPE_H264);
    EXPECT_EQ(parent->header.size, sizeof(Probe));

    parent->header.childList = kx_ObjectList_new__IO(2);
    for (const char *n : {"c1", "c2", "c3"}) {
        Probe *child = make_probe(n);
        child->header.releaseList = kx_memeryFree_new__IO();
        kx_memeryFree_add_object(child->header.releaseList, child_gone, (void *)n);
        add_list_deleter(child->header.releaseList);
        kx_ObjectList_insert_tail(parent->header.childList, child);
    }
    parent->header.releaseList = kx_memeryFree_new__IO();
    kx_memeryFree_add_object(parent->header.releaseList, note, (void *)"first");
    kx_memeryFree_add_object(parent->header.releaseList, note, (void *)"second");
    add_list_deleter(parent->header.releaseList);

    kx_Object_addRefer_pthreadSafety_(&parent->header);
    kx_Object_delete_pthreadSafety__OI(&parent->header);
    EXPECT_TRUE(g_log.empty()) << "freed while a holder remains";
    kx_Object_delete_pthreadSafety__OI(&parent->header);
    // Children die first, in list order; then the parent's callbacks, first to last.
    EXPECT_EQ(g_log, (std::vector<std::string>{"child c1", "child c2", "child c3", "first", "second"}));
}

TEST(Object, LockedAndUnlockedReleasesFromManyThreadsFreeExactlyOnce) {
    static std::atomic<int> destroyed{0};
    destroyed = 0;
    constexpr int kThreads = 4, kRefs = 2000;
    Probe *p = make_probe("shared");
    p->header.releaseList = kx_memeryFree_new__IO();
    kx_StructList *rl = p->header.releaseList;
    kx_memeryFree_add_object(rl, [](void *l) {
        destroyed++;
        kx_StructList_delete__OI(static_cast<kx_StructList *>(l));
    }, rl);
    for (int i = 0; i < kThreads * kRefs; ++i) kx_Object_addRefer_pthreadSafety_(&p->header);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRefs; ++i) {
                if ((i + t) % 2) {
                    kx_Object_delete__OI(&p->header);
                } else {
                    kx_Object_delete_pthreadSafety__OI(&p->header);
                }
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(destroyed.load(), 0);
    EXPECT_EQ(p->header.referCount, 1u);
    kx_Object_delete__OI(&p->header);
    EXPECT_EQ(destroyed.load(), 1);
}

}  // namespace
