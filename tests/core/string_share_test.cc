// Shared strings: one record held by many, freed with the last reference; releases from
// many threads at once; the buffer hand-over of a string still shared gives a copy.
// KX_THREADED: also runs under ThreadSanitizer.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kx/string.h"

namespace {

TEST(StringShare, LastReferenceFrees) {
    kx_String *s = kx_String_new_form_string__IO("shared");
    EXPECT_EQ(kx_String_shareCount(s), 1u);
    EXPECT_EQ(kx_String_share__IO(s), s);
    kx_String_share__IO(s);
    EXPECT_EQ(kx_String_shareCount(s), 3u);
    kx_String_delete__OI(s);
    kx_String_delete__OI(s);
    EXPECT_EQ(kx_String_shareCount(s), 1u);
    EXPECT_EQ(std::string(s->buffer, s->lenth), "shared");
    kx_String_delete__OI(s);  // the last: freed (AddressSanitizer reports a leak or a double free otherwise)
    EXPECT_EQ(kx_String_share__IO(nullptr), nullptr);
    EXPECT_EQ(kx_String_shareCount(nullptr), 0u);
}

TEST(StringShare, BufferHandOverOfASharedStringIsACopy) {
    kx_String *s = kx_String_new_form_string__IO("abc");
    kx_String_share__IO(s);
    char *copy = kx_String_delete__OI__IO(s);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, s->buffer);
    EXPECT_STREQ(copy, "abc");
    free(copy);
    char *own = kx_String_delete__OI__IO(s);  // the last reference: its own buffer
    EXPECT_STREQ(own, "abc");
    free(own);
}

TEST(StringShare, ReleasesFromManyThreads) {
    const int threads = 4, each = 2000;
    std::vector<kx_String *> strings;
    for (int i = 0; i < 64; ++i) {
        kx_String *s = kx_String_new_form_string__IO("x");
        for (int k = 0; k < threads * each / 64; ++k) kx_String_share__IO(s);
        strings.push_back(s);
    }
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (int k = 0; k < each; ++k) kx_String_delete__OI(strings[(t * each + k) % 64]);
        });
    }
    for (auto &th : pool) th.join();
    for (kx_String *s : strings) {
        EXPECT_EQ(kx_String_shareCount(s), 1u);
        kx_String_delete__OI(s);
    }
}

}  // namespace
