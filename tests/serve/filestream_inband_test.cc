// kxserve --root serving Matroska files remuxed from raw H.264 streams, whose key-frame samples
// carry their own SPS and PPS (and SEI) in band beside the configuration record, as remuxes
// of camera streams do: as they come from ffmpeg, with access-unit delimiters in front of
// every sample, and with a picture size that changes halfway. ffmpeg plays each over RTSP and
// gets the pictures of its own decode of the file.
#include <sys/stat.h>
#include <unistd.h>

#include <stdio.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kx/mkv.h"
#include "kx/objectlist.h"
#include "tests/support/kxserve_process.hpp"
#include "tests/support/media_tools.hpp"
#include "tests/support/stdout_capture.hpp"

namespace {

using kxtest::run_process;

const std::string kDir = std::string(KX_TEST_BINARY_DIR) + "/peers/inband";

// Makes path once (kept across runs) with the ffmpeg arguments args, output appended.
bool made(const std::string &path, std::vector<std::string> args) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && st.st_size > 0) return true;
    const std::string tmp = path + ".tmp." + std::to_string(getpid()) + path.substr(path.rfind('.'));
    args.insert(args.begin(), {"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y"});
    args.push_back(tmp);
    if (run_process(args, 120000) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

// A raw x264 stream of the test pattern: an IDR picture with SPS and PPS in front every second.
bool raw(const std::string &path, const std::string &size, int seconds) {
    return made(path, {"-f", "lavfi", "-i", "testsrc=size=" + size + ":rate=25", "-t", std::to_string(seconds),
                       "-pix_fmt", "yuv420p", "-c:v", "libx264", "-bf", "0", "-g", "25", "-f", "h264"});
}

// Open groups of pictures, straight to Matroska: one IDR picture, then every 2 s an intra
// picture that is no IDR (B-frames in front of it refer across it), which the muxer still
// flags as a key frame.
bool openGroups(const std::string &path) {
    return made(path, {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-t", "6", "-pix_fmt", "yuv420p", "-c:v",
                       "libx264", "-bf", "2", "-x264-params", "open-gop=1:keyint=50:min-keyint=50"});
}

struct Files {
    std::string remux = kDir + "/remux.mkv", delimited = kDir + "/delimited.mkv", sizes = kDir + "/sizes.mkv";
    std::string open = kDir + "/open.mkv";
    bool ok = false;
    Files() {
        mkdir((std::string(KX_TEST_BINARY_DIR) + "/peers").c_str(), 0755);
        mkdir(kDir.c_str(), 0755);
        const std::string small = kDir + "/small.h264", large = kDir + "/large.h264", both = kDir + "/both.h264";
        if (!raw(small, "320x240", 4) || !raw(large, "480x272", 2)) return;
        struct stat st;
        if (stat(both.c_str(), &st) != 0 || st.st_size == 0) {
            // 2 s of the small stream, then the large one: the configuration record keeps the
            // small stream's sets, the key frames of the second half bring the large ones.
            std::vector<unsigned char> a = kxtest::read_file_bytes(small), b = kxtest::read_file_bytes(large);
            FILE *f = fopen((both + ".tmp").c_str(), "wb");
            if (f == nullptr) return;
            // The small stream's first 2 s: its bytes up to its third IDR's SPS (00 00 00 01 67).
            size_t cut = 0;
            int seen = 0;
            for (size_t i = 0; i + 5 <= a.size(); ++i)
                if (a[i] == 0 && a[i + 1] == 0 && a[i + 2] == 0 && a[i + 3] == 1 && (a[i + 4] & 0x1f) == 7 && ++seen == 3) {
                    cut = i;
                    break;
                }
            bool written = cut > 0 && fwrite(a.data(), 1, cut, f) == cut && fwrite(b.data(), 1, b.size(), f) == b.size();
            if (fclose(f) != 0 || !written || rename((both + ".tmp").c_str(), both.c_str()) != 0) return;
        }
        ok = made(remux, {"-framerate", "25", "-i", small, "-c", "copy"}) &&
             made(delimited, {"-framerate", "25", "-i", small, "-c", "copy", "-bsf:v", "h264_metadata=aud=insert"}) &&
             made(sizes, {"-framerate", "25", "-i", both, "-c", "copy"}) && openGroups(open);
    }
};

const Files &files() {
    static Files f;
    return f;
}

// NAL types of the first units of the file's first key-frame sample, as stored.
std::vector<unsigned> storedKeyUnits(const std::string &path, size_t most) {
    kxtest::CaptureShownOnFailure quiet;  // the reader's records
    std::vector<unsigned> types;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) return types;
    video_mkv *mkv = video_mkv_new_from_file__IO(f);
    if (mkv != nullptr && mkv->firstVideoTrack != 0) {
        const kx_ObjectList *frames = mkv->rows[mkv->firstVideoTrack].frames;
        for (uint32_t i = 0; i < frames->count && types.empty(); ++i) {
            const auto *fr = static_cast<const video_mkv_frame *>(frames->array[frames->start + i]);
            if (!(fr->flags & VIDEO_MKV_FRAME_KEY)) continue;
            std::vector<unsigned char> s(fr->size);
            if (fseeko(f, static_cast<off_t>(fr->offset), SEEK_SET) != 0 || fread(s.data(), 1, s.size(), f) != s.size())
                break;
            for (size_t at = 0; at + 5 <= s.size() && types.size() < most;) {
                const size_t len = (size_t(s[at]) << 24) | (size_t(s[at + 1]) << 16) | (size_t(s[at + 2]) << 8) | s[at + 3];
                types.push_back(s[at + 4] & 0x1fu);
                at += 4 + len;
            }
        }
    }
    video_mkv_delete__OI(mkv);
    fclose(f);
    return types;
}

// Per-picture hashes ffmpeg decodes from input; the options go in front of "-i".
std::vector<std::string> hashes(const std::string &input, std::vector<std::string> options,
                                const std::vector<std::string> &limit) {
    std::vector<std::string> argv = {"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"-i", input, "-map", "0:v:0"});
    argv.insert(argv.end(), limit.begin(), limit.end());
    argv.insert(argv.end(), {"-pix_fmt", "yuv420p", "-f", "framemd5", "-"});
    std::vector<std::string> out;
    std::string text = kxtest::tool_output(argv, 60000), line;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        line = text.substr(at, end - at);
        size_t comma = line.rfind(',');
        if (line.empty() || line[0] == '#' || comma == std::string::npos) continue;
        std::string h = line.substr(comma + 1);
        h.erase(0, h.find_first_not_of(' '));
        out.push_back(h);
    }
    return out;
}

TEST(FileStreamInBand, FfmpegPlaysRemuxedStreamsWithTheirOwnParameterSets) {
    if (access("/usr/bin/ffmpeg", X_OK) != 0) GTEST_SKIP() << "ffmpeg is not installed";
    ASSERT_TRUE(files().ok) << "could not make the files with ffmpeg";
    kxtest::KxServe server;
    ASSERT_TRUE(server.start(KX_TEST_BINARY_DIR "/bin/kxserve", {"--listen", "127.0.0.1:0", "--root", kDir, "--quiet"}))
        << server.output();
    const std::string base = "rtsp://127.0.0.1:" + std::to_string(server.port());
    struct Case {
        const char *path;                    // in the root, with the query
        std::string file;
        std::vector<unsigned> stored;        // first units of the first key-frame sample
        std::vector<std::string> fileStart;  // ffmpeg options that start the file's decode alike
        std::vector<std::string> limit;      // how much of the served stream is compared
        size_t least;                        // pictures that must come
    } cases[] = {
        {"/remux.mkv", files().remux, {7, 8, 6, 5}, {}, {"-t", "3.6"}, 85},
        {"/delimited.mkv", files().delimited, {9, 7, 8, 6}, {}, {"-t", "3.6"}, 85},
        {"/sizes.mkv", files().sizes, {7, 8, 6, 5}, {}, {"-t", "3.6"}, 85},
        // A start behind the change: the first key frame served brings the large sets.
        {"/sizes.mkv?from=2.5", files().sizes, {7, 8, 6, 5}, {"-ss", "2"}, {"-frames:v", "25"}, 25},
        // A start at an intra picture that is no IDR: its parameter sets describe the stream.
        {"/open.mkv?from=4.5", files().open, {6, 5}, {"-ss", "4"}, {"-frames:v", "20"}, 20},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_EQ(storedKeyUnits(c.file, 4), c.stored) << "the file's first key-frame sample is not as made";
        const std::vector<std::string> want = hashes(c.file, c.fileStart, {});
        const std::vector<std::string> got = hashes(base + c.path, {"-rtsp_transport", "tcp"}, c.limit);
        ASSERT_GE(got.size(), c.least);
        ASSERT_LE(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], want[i]) << "picture " << i;
    }
    EXPECT_TRUE(server.running());
    EXPECT_EQ(server.stop(), 0);
}

}  // namespace
