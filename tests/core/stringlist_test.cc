// String list: sorted insertion, joining, prefix lookup, moving lists, and writing
// to streams and files including the failure codes.
#include "kx/stringlist.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ListDeleter {
    void operator()(kx_StringList *list) const { kx_StringList_delete__OI(list); }
};
using ListPtr = std::unique_ptr<kx_StringList, ListDeleter>;

ListPtr makeList(const std::vector<std::string> &strings = {}) {
    ListPtr list(kx_StringList_new__IO());
    EXPECT_NE(list, nullptr);
    for (const std::string &s : strings) EXPECT_EQ(kx_StringList_insert_tail(list.get(), s.c_str()), 1);
    return list;
}

std::vector<std::string> contents(const kx_StringList *list) {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < list->list.count; ++i) out.emplace_back(kx_StringList_get_at(list, i));
    return out;
}

using Strings = std::vector<std::string>;

TEST(StringList, NewListShape) {
    ListPtr list = makeList();
    EXPECT_EQ(list->list.mask, 255u);
    EXPECT_EQ(list->list.count, 0u);
    EXPECT_EQ(list->totalLength, 0u);
    EXPECT_EQ(kx_StringList_get_at(list.get(), 0), nullptr);
    EXPECT_EQ(kx_StringList_remove_head__IO(list.get()), nullptr);
    EXPECT_EQ(kx_StringList_remove_tail__IO(list.get()), nullptr);
}

TEST(StringList, SortedInsertion) {
    struct Case {
        const char *name;
        bool descending;
        bool take;
        Strings inserted;
        std::vector<int> results;
        Strings expected;
    };
    const std::vector<Case> cases = {
        {"ASC copies", false, false, {"m", "k", "p", "k"}, {1, 1, 1, 0}, {"k", "m", "p"}},
        {"ASC takes", false, true, {"m", "k", "p", "k"}, {1, 1, 1, 0}, {"k", "m", "p"}},
        {"DESC copies", true, false, {"m", "k", "p", "k"}, {1, 1, 1, 0}, {"p", "m", "k"}},
        {"DESC takes", true, true, {"m", "k", "p", "k"}, {1, 1, 1, 0}, {"p", "m", "k"}},
        {"ASC, prefixes and the empty string", false, false, {"ab", "a", "", "abc", "b", "", "ab"},
         {1, 1, 1, 1, 1, 0, 0}, {"", "a", "ab", "abc", "b"}},
        {"DESC, duplicates at both ends", true, false, {"b", "a", "c", "c", "a", "bb"}, {1, 1, 1, 0, 0, 1},
         {"c", "bb", "b", "a"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ListPtr list = makeList();
        size_t total = 0;
        for (size_t i = 0; i < c.inserted.size(); ++i) {
            const char *s = c.inserted[i].c_str();
            int rc;
            if (c.take) {
                char *offered = strdup(s);
                rc = c.descending ? kx_StringList_insert_DESC__OI_2(list.get(), offered)
                                  : kx_StringList_insert_ASC__OI_2(list.get(), offered);
                if (rc != 1) free(offered);  // nothing stored: still ours
            } else {
                rc = c.descending ? kx_StringList_insert_DESC(list.get(), s) : kx_StringList_insert_ASC(list.get(), s);
            }
            EXPECT_EQ(rc, c.results[i]) << "insertion " << i;
            if (rc == 1) total += c.inserted[i].size();
        }
        EXPECT_EQ(contents(list.get()), c.expected);
        EXPECT_EQ(list->totalLength, total);
    }
}

TEST(StringList, InsertOrderAllowsEqualKeys) {
    // Ordered by length only: equal lengths go before the ones already there.
    auto byLength = [](const char *a, const char *b) -> signed char {
        const size_t x = strlen(a), y = strlen(b);
        return x > y ? 1 : (x < y ? -1 : 0);
    };
    ListPtr list = makeList();
    const std::vector<std::pair<const char *, int>> steps = {
        {"ccc", 0}, {"a", 0}, {"bb", 1}, {"xx", 1}, {"dddd", 4}, {"y", 0}};
    for (const auto &[s, index] : steps) EXPECT_EQ(kx_StringList_insert_order__OI_2(list.get(), strdup(s), byLength), index) << s;
    EXPECT_EQ(contents(list.get()), (Strings{"y", "a", "xx", "bb", "ccc", "dddd"}));
    EXPECT_EQ(list->totalLength, 13u);
}

TEST(StringList, PositionalInsertRemoveAndTotalLength) {
    ListPtr list = makeList();
    EXPECT_EQ(kx_StringList_insert_tail(list.get(), "two"), 1);
    EXPECT_EQ(kx_StringList_insert_head(list.get(), "one"), 1);
    EXPECT_EQ(kx_StringList_insert_tail__OI_2(list.get(), strdup("four")), 1);
    EXPECT_EQ(kx_StringList_insert_at(list.get(), 2, "three"), 1);
    EXPECT_EQ(kx_StringList_insert_head__OI_2(list.get(), strdup("zero")), 1);
    EXPECT_EQ(kx_StringList_insert_at__OI_3(list.get(), 5, strdup("five")), 1);
    EXPECT_EQ(kx_StringList_insert_at(list.get(), 9, "bad"), -1);
    EXPECT_EQ(contents(list.get()), (Strings{"zero", "one", "two", "three", "four", "five"}));
    EXPECT_EQ(list->totalLength, 4u + 3 + 3 + 5 + 4 + 4);

    // The plain forms stored copies: changing the source does not reach the list.
    char source[] = "six";
    kx_StringList_insert_tail(list.get(), source);
    source[0] = 'X';
    EXPECT_STREQ(kx_StringList_get_at(list.get(), 6), "six");

    struct Removal {
        int which;  // 0 head, 1 tail, 2 at index
        uint32_t index;
        const char *expected;
        uint32_t totalAfter;
    };
    const std::vector<Removal> removals = {
        {0, 0, "zero", 22}, {1, 0, "six", 19}, {2, 2, "three", 14}, {2, 0, "one", 11}, {1, 0, "five", 7},
    };
    for (const Removal &r : removals) {
        char *s = r.which == 0   ? kx_StringList_remove_head__IO(list.get())
                  : r.which == 1 ? kx_StringList_remove_tail__IO(list.get())
                                 : kx_StringList_remove_at__IO(list.get(), r.index);
        ASSERT_NE(s, nullptr);
        EXPECT_STREQ(s, r.expected);
        EXPECT_EQ(list->totalLength, r.totalAfter);
        free(s);
    }
    EXPECT_EQ(kx_StringList_remove_at__IO(list.get(), 2), nullptr);
    EXPECT_EQ(contents(list.get()), (Strings{"two", "four"}));
}

TEST(StringList, MovingWholeLists) {
    struct Case {
        bool head;
        Strings list, other, expected;
    };
    const std::vector<Case> cases = {
        {false, {"a", "b"}, {"cc", "dd"}, {"a", "b", "cc", "dd"}},
        {true, {"a", "b"}, {"cc", "dd"}, {"cc", "dd", "a", "b"}},
        {false, {}, {"x"}, {"x"}},
        {true, {"y"}, {}, {"y"}},
    };
    for (const Case &c : cases) {
        ListPtr list = makeList(c.list);
        kx_StringList *other = makeList(c.other).release();
        const uint32_t total = list->totalLength + other->totalLength;
        EXPECT_EQ(c.head ? kx_StringList_insert_head_all__OI_2(list.get(), other)
                         : kx_StringList_insert_tail_all__OI_2(list.get(), other),
                  1);  // other's record is gone now (the sanitizer build checks it is freed once)
        EXPECT_EQ(contents(list.get()), c.expected);
        EXPECT_EQ(list->totalLength, total);
    }
    ListPtr self = makeList({"a"});
    EXPECT_EQ(kx_StringList_insert_tail_all__OI_2(self.get(), self.get()), -1);
    EXPECT_EQ(contents(self.get()), (Strings{"a"}));
}

TEST(StringList, ToString) {
    struct Case {
        Strings elements;
        const char *separator;
        const char *expected;  // null: no string
    };
    const std::vector<Case> cases = {
        {{"ab", "xy"}, ",", "ab,xy"},
        {{"ab", "xy"}, nullptr, "abxy"},
        {{"ab", "xy"}, "", "abxy"},
        {{"abc"}, ",", "abc"},
        {{"a", "", "b"}, ", ", "a, , b"},
        {{"", ""}, "--", "--"},
        {{}, ",", nullptr},
    };
    for (const Case &c : cases) {
        ListPtr list = makeList(c.elements);
        char *joined = kx_StringList_to_string__IO(list.get(), c.separator);
        if (c.expected == nullptr) {
            EXPECT_EQ(joined, nullptr);
        } else {
            ASSERT_NE(joined, nullptr);
            EXPECT_STREQ(joined, c.expected);
        }
        free(joined);
    }
    // Many elements: the result is exactly the concatenation (sized by the sanitizer build).
    ListPtr big = makeList();
    std::string want;
    for (int i = 0; i < 600; ++i) {
        const std::string s = std::to_string(i * 37);
        kx_StringList_insert_tail(big.get(), s.c_str());
        want += (i ? "|" : "") + s;
    }
    char *joined = kx_StringList_to_string__IO(big.get(), "|");
    ASSERT_NE(joined, nullptr);
    EXPECT_EQ(std::string(joined), want);
    free(joined);
}

TEST(StringList, CheckHasMatchesPrefixes) {
    struct Case {
        Strings elements;
        const char *search;
        int expected;
    };
    const std::vector<Case> cases = {
        {{"abc"}, "ab", 0},        {{"abc"}, "abcd", 0},      {{"abc"}, "abc", 0},
        {{"abc"}, "abd", -1},      {{"abc"}, "b", -1},        {{"abc"}, "", -1},
        {{"x", "ab"}, "abz", 1},   {{"abc", "ab"}, "a", 0},   {{"x", ""}, "", 1},
        {{"", "q"}, "q", 1},       {{}, "a", -1},
    };
    for (const Case &c : cases) {
        ListPtr list = makeList(c.elements);
        EXPECT_EQ(kx_StringList_check_has(list.get(), c.search), c.expected) << "search " << c.search;
    }
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(StringList, SaveToFileRoundTripAndFailures) {
    char dir[] = "/tmp/kx_stringlist_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/out.txt";
    ListPtr list = makeList({"alpha", "beta", "", "gamma"});

    struct Case {
        const char *prefix, *suffix, *expected;
    };
    const std::vector<Case> cases = {
        {"<", ">\n", "<alpha>\n<beta>\n<>\n<gamma>\n"},
        {nullptr, "\n", "alpha\nbeta\n\ngamma\n"},
        {"- ", nullptr, "- alpha- beta- - gamma"},
        {nullptr, nullptr, "alphabetagamma"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(kx_StringList_save_to_file(list.get(), path.c_str(), c.prefix, c.suffix), 1);
        EXPECT_EQ(readFile(path), c.expected);
    }
    ListPtr empty = makeList();
    EXPECT_EQ(kx_StringList_save_to_file(empty.get(), path.c_str(), "x", "y"), 1);
    EXPECT_EQ(readFile(path), "");

    // Cannot open: -1.
    EXPECT_EQ(kx_StringList_save_to_file(list.get(), (std::string(dir) + "/missing/out.txt").c_str(), nullptr, "\n"),
              -1);
    // Opens but the data cannot be written (reported at the latest by the close): -2.
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(kx_StringList_save_to_file(list.get(), "/dev/full", nullptr, "\n"), -2);
        FILE *full = fopen("/dev/full", "wb");
        ASSERT_NE(full, nullptr);
        setvbuf(full, nullptr, _IONBF, 0);
        EXPECT_EQ(kx_StringList_out(list.get(), full, nullptr, "\n"), -2);
        EXPECT_EQ(kx_StringList_out(empty.get(), full, nullptr, "\n"), 1);
        fclose(full);
    }
    unlink(path.c_str());
    rmdir(dir);
}

}  // namespace
