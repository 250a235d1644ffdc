// Plug-in folders of an installed libkxlib: a copy of the shared library in <tmp>/lib loads
// its plug-ins from <tmp>/lib (the build tree's layout) or else from <tmp>/lib/kxlib (the
// installed layout). Each case runs in a child process, which loads that copy with dlopen
// and reports failures on stderr and by its exit code.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/media/codec_clips.hpp"

namespace {

const std::string kLibDir = std::string(KX_TEST_BINARY_DIR) + "/lib";

struct FolderCase {
    const char *name;
    std::vector<const char *> copies;  // where a real libavcsink.so goes, relative to <tmp>/lib
    const char *garbage;               // relative path given a file that does not open, or null
    const char *expected;              // the file that must be mapped, relative to <tmp>/lib
};

void PrintTo(const FolderCase &c, std::ostream *os) { *os << c.name; }

int g_failures = 0;
#define CHILD_CHECK(cond, ...)                                 \
    do {                                                       \
        if (!(cond)) {                                         \
            fprintf(stderr, "line %d: %s: ", __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                      \
            fprintf(stderr, "\n");                             \
            ++g_failures;                                      \
        }                                                      \
    } while (0)

bool sh(const std::string &cmd) {
    bool ok = system(cmd.c_str()) == 0;
    CHILD_CHECK(ok, "%s", cmd.c_str());
    return ok;
}

void load_from_copy(const FolderCase &c) {
    char tmpl[] = "/tmp/kxpluginsXXXXXX";
    const std::string dir = mkdtemp(tmpl) ? tmpl : "";
    CHILD_CHECK(!dir.empty(), "mkdtemp");
    const std::string lib = dir + "/lib";
    // An empty working directory: the loader's relative candidates find nothing.
    sh("mkdir -p '" + lib + "/kxlib' '" + dir + "/cwd'");
    CHILD_CHECK(chdir((dir + "/cwd").c_str()) == 0, "chdir");
    sh("cp -L '" + kLibDir + "/libkxlib.so' '" + lib + "/libkxlib.so.0'");
    for (const char *rel : c.copies) sh("cp '" + kLibDir + "/libavcsink.so' '" + lib + "/" + rel + "'");
    if (c.garbage) std::ofstream(lib + "/" + c.garbage) << "not a shared object\n";

    void *kx = dlopen((lib + "/libkxlib.so.0").c_str(), RTLD_NOW | RTLD_LOCAL);
    CHILD_CHECK(kx != nullptr, "%s", dlerror());
    using NewFn = void *(*)(uint32_t, uint32_t);
    using DeleteFn = void (*)(void *);
    auto decodeNew = kx ? reinterpret_cast<NewFn>(dlsym(kx, "video_h264_decode_new")) : nullptr;
    auto decodeDelete = kx ? reinterpret_cast<DeleteFn>(dlsym(kx, "video_h264_decode_delete")) : nullptr;
    CHILD_CHECK(decodeNew != nullptr && decodeDelete != nullptr, "symbols");
    if (decodeNew && decodeDelete) {
        void *h = decodeNew(320, 240);
        CHILD_CHECK(h != nullptr, "no decoder");
        std::vector<std::string> maps;
        for (const std::string &l : kxclip::lines("cat /proc/" + std::to_string(getpid()) + "/maps"))
            if (l.find("libavcsink.so") != std::string::npos) maps.push_back(l.substr(l.find('/')));
        CHILD_CHECK(!maps.empty(), "libavcsink.so not mapped");
        for (const std::string &m : maps)
            CHILD_CHECK(m == lib + "/" + c.expected, "mapped %s, expected %s/%s", m.c_str(), lib.c_str(), c.expected);
        if (h) decodeDelete(h);
    }
    if (!dir.empty()) sh("rm -rf '" + dir + "'");
    _exit(g_failures == 0 ? 0 : 1);
}

class PluginFolder : public ::testing::TestWithParam<FolderCase> {};

TEST_P(PluginFolder, LibraryFindsItsPlugins) {
    EXPECT_EXIT(load_from_copy(GetParam()), ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PluginFolder,
    ::testing::Values(
        // Installed layout: <libdir>/kxlib.
        FolderCase{"Subfolder", {"kxlib/libavcsink.so"}, nullptr, "kxlib/libavcsink.so"},
        // Build-tree layout: beside the library, tried first.
        FolderCase{"BesideBeforeSubfolder", {"libavcsink.so", "kxlib/libavcsink.so"}, nullptr, "libavcsink.so"},
        FolderCase{"BrokenBesideFallsThrough", {"kxlib/libavcsink.so"}, "libavcsink.so", "kxlib/libavcsink.so"}),
    [](const ::testing::TestParamInfo<FolderCase> &i) { return std::string(i.param.name); });

}  // namespace
