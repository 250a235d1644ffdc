// Plug-in loader of libkxlib (KX_LINK_SHARED; KX_THREADED for the concurrent first load).
// A loaded plug-in stays for the life of the process, so each case runs in a child process
// (gtest death-test machinery) that reports failures on stderr and by its exit code.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kx/codec.h"
#include "kx/global.h"
#include "kx/objectlist.h"
#include "tests/media/codec_clips.hpp"
#include "tests/support/stdout_capture.hpp"

namespace {

const std::string kLibDir = std::string(KX_TEST_BINARY_DIR) + "/lib";

int g_failures = 0;
std::string g_tempDir;
#define CHILD_CHECK(cond, ...)                                \
    do {                                                      \
        if (!(cond)) {                                        \
            fprintf(stderr, "line %d: %s: ", __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                     \
            fprintf(stderr, "\n");                            \
            ++g_failures;                                     \
        }                                                     \
    } while (0)

[[noreturn]] void child_exit() {
    if (!g_tempDir.empty() && system(("rm -rf '" + g_tempDir + "'").c_str()) != 0) ++g_failures;
    _exit(g_failures == 0 ? 0 : 1);
}

// Release records registered under name in globalParameterList (callback records: header,
// callback, argument, then the name).
int hooks_named(const char *name) {
    int n = 0;
    pthread_mutex_lock(&globalParameterMutex);
    if (globalParameterList != nullptr) {
        for (uint32_t i = 0; i < globalParameterList->count; ++i) {
            auto *r = static_cast<kx_globalParameter *>(globalParameterList->array[globalParameterList->start + i]);
            if ((r->n & 0xff) != 0) continue;
            const char *recordName = reinterpret_cast<const char *>(r + 1) + 2 * sizeof(void *);
            n += strcmp(recordName, name) == 0;
        }
    }
    pthread_mutex_unlock(&globalParameterMutex);
    return n;
}

// Lines of /proc/self/maps naming file.
std::vector<std::string> mapped(const std::string &file) {
    std::vector<std::string> out;
    for (const std::string &l : kxclip::lines("cat /proc/" + std::to_string(getpid()) + "/maps"))
        if (l.find(file) != std::string::npos) out.push_back(l.substr(l.find('/')));
    return out;
}

// Fresh empty working directory for a child.
std::string enter_temp_dir() {
    char dir[] = "/tmp/kxloaderXXXXXX";
    if (mkdtemp(dir) == nullptr) return {};
    if (chdir(dir) != 0) return {};
    g_tempDir = dir;
    return dir;
}

void copy_file(const std::string &from, const std::string &to) {
    std::string cmd = "cp '" + from + "' '" + to + "'";
    CHILD_CHECK(system(cmd.c_str()) == 0, "%s", cmd.c_str());
}

// No candidate exists: every new call logs and returns null, and nothing is registered.
void missing_plugins() {
    std::string dir = enter_temp_dir();
    video_h264_private_plugin_folder_set(dir.c_str());
    for (int round = 0; round < 2; ++round) {
        kxtest::StdoutCapture cap;
        void *d = video_h264_decode_new(320, 240);
        void *e = video_h264_encode_new(320, 240, 2000, 25.0f);
        std::string text = kxtest::strip_colours(cap.text());
        cap.restore();
        CHILD_CHECK(d == nullptr && e == nullptr, "round %d", round);
        CHILD_CHECK(text.find("--Can not find libavcsink.\n") != std::string::npos, "%s", text.c_str());
        CHILD_CHECK(text.find("--Can not find libavcforge.\n") != std::string::npos, "%s", text.c_str());
    }
    CHILD_CHECK(hooks_named("video_h264_private_decode_unload_lib") == 0, "hook registered");
    CHILD_CHECK(hooks_named("video_h264_private_encode_unload_lib") == 0, "hook registered");
    CHILD_CHECK(mapped("libavcsink.so").empty() && mapped("libavcforge.so").empty(), "plug-in mapped");
    child_exit();
}

TEST(CodecLoader, MissingPluginLogsAndReturnsNull) {
    EXPECT_EXIT(missing_plugins(), ::testing::ExitedWithCode(0), "");
}

// Candidate order: a candidate that exists wins over later ones; one that exists but does
// not open is logged and passed over.
struct OrderCase {
    const char *name;
    const char *plugin;           // libavcsink / libavcforge
    std::vector<const char *> copies;  // relative paths (in the working directory) given a real copy
    const char *garbage;          // relative path given a file that does not open, or null
    const char *expectedDir;      // "cwd", "cwd/sub" or "lib": where the loaded file must come from
    const char *expectedFile;     // relative to expectedDir
};

void PrintTo(const OrderCase &c, std::ostream *os) { *os << c.name; }

void candidate_order(const OrderCase &c) {
    std::string dir = enter_temp_dir();
    if (system("mkdir -p sub bin") != 0) ++g_failures;
    // Work from sub/ so that ../bin is inside the temporary folder.
    CHILD_CHECK(chdir("sub") == 0, "chdir");
    for (const char *rel : c.copies) copy_file(kLibDir + "/" + c.plugin + ".so", rel);
    if (c.garbage) {
        FILE *f = fopen(c.garbage, "w");
        if (f) {
            fputs("not a shared object\n", f);
            fclose(f);
        }
    }
    kxtest::StdoutCapture cap;
    bool decoder = strcmp(c.plugin, "libavcsink") == 0;
    void *h = decoder ? video_h264_decode_new(320, 240) : video_h264_encode_new(320, 240, 500, 25.0f);
    std::string text = kxtest::strip_colours(cap.text());
    cap.restore();
    CHILD_CHECK(h != nullptr, "%s", text.c_str());
    std::string expected = (strcmp(c.expectedDir, "lib") == 0 ? kLibDir : dir + "/" + c.expectedDir) + "/" +
                           c.expectedFile;
    std::vector<std::string> maps = mapped(std::string(c.plugin) + ".so");
    CHILD_CHECK(!maps.empty(), "not mapped");
    for (const std::string &m : maps) {
        char real[4096];
        std::string want = realpath(expected.c_str(), real) ? real : expected;
        CHILD_CHECK(m == want, "mapped %s, expected %s", m.c_str(), want.c_str());
    }
    if (c.garbage) {
        std::string msg = std::string("--Open lib:\"") + c.garbage + "\" error:\"";
        CHILD_CHECK(text.find(msg) != std::string::npos, "%s", text.c_str());
    }
    CHILD_CHECK(text.find("Can not find") == std::string::npos, "%s", text.c_str());
    if (h) decoder ? video_h264_decode_delete(h) : video_h264_encode_delete(h);
    child_exit();
}

class CodecLoaderOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(CodecLoaderOrder, FirstUsableCandidateWins) {
    EXPECT_EXIT(candidate_order(GetParam()), ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CodecLoaderOrder,
    ::testing::Values(
        // ./ comes before ../bin and the library folder.
        OrderCase{"DecoderCwdBeforeBin", "libavcsink", {"libavcsink.so", "../bin/libavcsink.so"}, nullptr, "sub",
                  "libavcsink.so"},
        OrderCase{"DecoderBinBeforeLibFolder", "libavcsink", {"../bin/libavcsink.so"}, nullptr, "bin", "libavcsink.so"},
        OrderCase{"DecoderBrokenCwdFallsThrough", "libavcsink", {}, "./libavcsink.so", "lib", "libavcsink.so"},
        // Encoder: ../bin comes before ./.
        OrderCase{"EncoderBinBeforeCwd", "libavcforge", {"libavcforge.so", "../bin/libavcforge.so"}, nullptr, "bin",
                  "libavcforge.so"},
        OrderCase{"EncoderBrokenBinFallsThrough", "libavcforge", {"libavcforge.so"}, "../bin/libavcforge.so", "sub",
                  "libavcforge.so"}),
    [](const ::testing::TestParamInfo<OrderCase> &i) { return std::string(i.param.name); });

// A plug-in without its delete symbol is refused, logged, and not kept loaded.
void incomplete_plugin() {
    enter_temp_dir();
    // The encoder plug-in under the decoder's name: it has none of the decoder's symbols.
    copy_file(kLibDir + "/libavcforge.so", "libavcsink.so");
    kxtest::StdoutCapture cap;
    void *d = video_h264_decode_new(320, 240);
    std::string text = kxtest::strip_colours(cap.text());
    cap.restore();
    CHILD_CHECK(d == nullptr, "handle from an incomplete plug-in");
    CHILD_CHECK(text.find("--Get the function:\"h264_decode_new\"error:\"") != std::string::npos, "%s", text.c_str());
    CHILD_CHECK(hooks_named("video_h264_private_decode_unload_lib") == 0, "hook registered");
    // Nothing is kept bound: the next attempt tries the candidates again and fails the same way.
    kxtest::StdoutCapture again;
    CHILD_CHECK(video_h264_decode_new(320, 240) == nullptr, "handle on the second attempt");
    std::string second = kxtest::strip_colours(again.text());
    again.restore();
    CHILD_CHECK(second.find("--Get the function:\"h264_decode_new\"error:\"") != std::string::npos, "%s", second.c_str());
    child_exit();
}

TEST(CodecLoader, MissingSymbolUnloads) { EXPECT_EXIT(incomplete_plugin(), ::testing::ExitedWithCode(0), ""); }

// Two threads making their first decoders together load the plug-in once; globalRelease
// runs the hook, which unloads it.
void concurrent_first_load() {
    enter_temp_dir();
    std::atomic<int> ready{0};
    void *handles[2] = {nullptr, nullptr};
    std::thread threads[2];
    for (int t = 0; t < 2; ++t)
        threads[t] = std::thread([&, t] {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            handles[t] = video_h264_decode_new(320, 240);
        });
    for (auto &th : threads) th.join();
    CHILD_CHECK(handles[0] != nullptr && handles[1] != nullptr && handles[0] != handles[1], "handles");
    CHILD_CHECK(hooks_named("video_h264_private_decode_unload_lib") == 1, "hooks: %d",
                hooks_named("video_h264_private_decode_unload_lib"));
    CHILD_CHECK(!mapped("libavcsink.so").empty(), "not mapped");
    for (void *h : handles)
        if (h) video_h264_decode_delete(h);
    {
        kxtest::StdoutCapture cap;
        globalRelease();
        std::string text = kxtest::strip_colours(cap.text());
        cap.restore();
        CHILD_CHECK(text.find(",video_h264_private_decode_unload_lib,0,") != std::string::npos, "%s", text.c_str());
    }
    // The binding is gone with the release (the code itself stays mapped): the next decoder
    // binds the plug-in again and registers a new hook.
    CHILD_CHECK(hooks_named("video_h264_private_decode_unload_lib") == 0, "hook left after globalRelease");
    void *again = video_h264_decode_new(320, 240);
    CHILD_CHECK(again != nullptr, "no decoder after globalRelease");
    CHILD_CHECK(hooks_named("video_h264_private_decode_unload_lib") == 1, "hook not registered again");
    video_h264_decode_delete(again);
    child_exit();
}

TEST(CodecLoader, TwoThreadsLoadOnce) { EXPECT_EXIT(concurrent_first_load(), ::testing::ExitedWithCode(0), ""); }

}  // namespace
