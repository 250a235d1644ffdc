// Start-up and shut-down: stream redirection, once-only entries, release of the
// global parameter records in reverse order. Each case runs in a child process
// because both entries act only once per process.
#include <fcntl.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kx/global.h"
#include "kx/objectlist.h"
#include "kx/string.h"
#include "tests/support/stdout_capture.hpp"

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs body in a child process and returns its exit status.
int in_child(const std::function<int()> &body) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kxstartXXXXXX";
        dir_ = mkdtemp(tmpl);
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir_ + "'";
        (void)!system(cmd.c_str());
    }
    std::string dir_;
};

TEST_F(StartupTest, StdoutPathReopensUnlessFlagKeepsValidStream) {
    std::string path = dir_ + "/out.txt";
    // Bit 1 clear: stdout is reopened on the path even though it is valid.
    EXPECT_EQ(in_child([&] {
                  globalInit(0, nullptr, path.c_str(), nullptr, 0);
                  printf("to-file");
                  fflush(stdout);
                  return 0;
              }),
              0);
    EXPECT_EQ(slurp(path), "to-file");
    // Bit 1 set and stdout valid: the path is ignored.
    std::string kept = dir_ + "/kept.txt";
    EXPECT_EQ(in_child([&] {
                  globalInit(0, nullptr, kept.c_str(), nullptr, 2);
                  return access(kept.c_str(), F_OK) == 0 ? 1 : 0;
              }),
              0);
}

TEST_F(StartupTest, SecondInitDoesNothing) {
    std::string first = dir_ + "/first.txt", second = dir_ + "/second.txt";
    EXPECT_EQ(in_child([&] {
                  globalInit(0, nullptr, first.c_str(), nullptr, 0);
                  globalInit(0, nullptr, second.c_str(), nullptr, 0);
                  printf("x");
                  fflush(stdout);
                  return access(second.c_str(), F_OK) == 0 ? 1 : 0;
              }),
              0);
    EXPECT_EQ(slurp(first), "x");
}

std::vector<std::string> *g_calls;
void record_call(void *arg) { g_calls->push_back(static_cast<const char *>(arg)); }

TEST_F(StartupTest, ReleaseRunsRecordsInReverseOrderOnce) {
    std::string out = dir_ + "/release.txt";
    int rc = in_child([&] {
        globalInit(0, nullptr, out.c_str(), nullptr, 0);
        std::vector<std::string> calls;
        g_calls = &calls;
        pthread_mutex_lock(&globalParameterMutex);
        void *blocks[2] = {malloc(16), malloc(32)};
        globalParameter_append__OI(globalParameter_new_blocks__IO("tableA", 2, blocks));
        globalParameter_append__OI(globalParameter_new_callback__IO("unloadB", record_call, (void *)"B"));
        globalParameter_append__OI(globalParameter_new_callback__IO("unloadC", record_call, (void *)"C"));
        pthread_mutex_unlock(&globalParameterMutex);
        globalRelease();
        globalRelease();  // second call does nothing
        fflush(stdout);
        if (globalParameterList != nullptr) return 2;
        return calls == std::vector<std::string>{"C", "B"} ? 0 : 3;
    });
    ASSERT_EQ(rc, 0);
    std::string plain = kxtest::strip_colours(slurp(out));
    size_t c = plain.find("[globalParameterList_release]--3/3,unloadC,0,0x");
    size_t b = plain.find("[globalParameterList_release]--2/3,unloadB,0,0x");
    size_t a = plain.find("[globalParameterList_release]--1/3,tableA,2\n");
    ASSERT_NE(c, std::string::npos) << plain;
    ASSERT_NE(b, std::string::npos) << plain;
    ASSERT_NE(a, std::string::npos) << plain;
    EXPECT_LT(c, b);
    EXPECT_LT(b, a);
    EXPECT_NE(plain.find("500062/"), std::string::npos);
    EXPECT_NE(plain.find("500058/"), std::string::npos);
    // Callback and argument are printed as 64-bit numbers.
    EXPECT_NE(plain.find(",0,0x", c), std::string::npos);
}

TEST_F(StartupTest, ReleaseWithoutRecordsPrintsNothing) {
    std::string out = dir_ + "/empty.txt";
    EXPECT_EQ(in_child([&] {
                  globalInit(0, nullptr, out.c_str(), nullptr, 0);
                  globalRelease();
                  fflush(stdout);
                  return 0;
              }),
              0);
    EXPECT_EQ(slurp(out).find("globalParameterList_release"), std::string::npos);
}

// Tables built lazily are freed by globalRelease; a later use builds them again rather than
// reading freed memory (AddressSanitizer turns a stale table into a crash of the child).
TEST_F(StartupTest, LazyTablesAreRebuiltAfterRelease) {
    std::string out = dir_ + "/tables.txt";
    EXPECT_EQ(in_child([&] {
                  globalInit(0, nullptr, out.c_str(), nullptr, 0);
                  kx_String *before = kx_String_decode_from_base64_from_string__IO(4, "YWJj");
                  kx_String *enc = kx_String_buffer_encode_by_base64__IO(3, "abc");
                  globalRelease();
                  kx_String *after = kx_String_decode_from_base64_from_string__IO(4, "YWJj");
                  kx_String *enc2 = kx_String_buffer_encode_by_base64__IO(3, "xyz");
                  int rc = before && after && enc && enc2 && after->lenth == 3 && memcmp(after->buffer, "abc", 3) == 0 &&
                                   enc2->lenth == 4 && memcmp(enc2->buffer, "eHl6", 4) == 0
                               ? 0
                               : 1;
                  kx_String_delete__OI(before);
                  kx_String_delete__OI(after);
                  kx_String_delete__OI(enc);
                  kx_String_delete__OI(enc2);
                  fflush(stdout);
                  return rc;
              }),
              0);
    EXPECT_NE(slurp(out).find("base64Tables"), std::string::npos);
}

TEST(GlobalParameter, RecordBuildersRefuseBadInput) {
    EXPECT_EQ(globalParameter_new_blocks__IO("x", 0, nullptr), nullptr);
    EXPECT_EQ(globalParameter_new_blocks__IO(nullptr, 1, nullptr), nullptr);
    EXPECT_EQ(globalParameter_new_callback__IO("x", nullptr, nullptr), nullptr);
    EXPECT_EQ(defaultRunStatus, 1);
}

}  // namespace
