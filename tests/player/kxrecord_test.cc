// kxrecord against GStreamer's RTSP server and kxserve: the files it writes pass ffprobe and
// mkvmerge and decode picture by picture as the source; SIGTERM and the source's end finish the file
// cleanly, segments start on key frames, a size limit splits the recording into files that each
// start on a key frame and together hold every frame, and a write failure is an error exit
// with a message.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/kxserve_process.hpp"
#include "tests/support/media_tools.hpp"
#include "tests/support/rtsp_peer.hpp"
#include "tests/support/wait.hpp"

namespace {

const std::string kScript = KX_TEST_SOURCE_DIR "/tests/peers/rtsp_gst_server.py";
const std::string kKxrecord = KX_TEST_BINARY_DIR "/bin/kxrecord";
const std::string kKxserve = KX_TEST_BINARY_DIR "/bin/kxserve";
const std::string kKxplay = KX_TEST_BINARY_DIR "/bin/kxplay";
const std::string kWork = KX_TEST_BINARY_DIR "/player-test/kxrecord";

std::string work() {
    mkdir(KX_TEST_BINARY_DIR "/player-test", 0755);
    mkdir(kWork.c_str(), 0755);
    return kWork;
}

off_t file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// An empty folder dir.
void fresh_dir(const std::string &dir) {
    kxtest::run_process({"/bin/rm", "-rf", dir}, 10000);
    mkdir(dir.c_str(), 0755);
}

std::vector<std::string> names_in(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// ffprobe's flag of the first video packet ("K" for a key frame).
std::string first_packet_flags(const std::string &path) {
    const std::string flags = kxtest::tool_output({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0",
                                                   "-read_intervals", "%+#1", "-show_entries", "packet=flags", "-of",
                                                   "csv=p=0", path});
    return flags.substr(0, 1);
}

void expect_clean_mkv(const std::string &path) {
    int status = -1;
    const std::string json = kxtest::tool_output({"/usr/bin/mkvmerge", "-J", path}, 60000, &status);
    EXPECT_EQ(status, 0) << json;
    EXPECT_NE(json.find("\"errors\": []"), std::string::npos) << json;
    EXPECT_NE(json.find("\"warnings\": []"), std::string::npos) << json;
}

// The recording's pictures are a run of the source's pictures, bit for bit.
void expect_run_of_source(const std::string &path, const std::vector<std::string> &source, size_t atLeast) {
    const std::vector<std::string> ours = kxtest::decoded_hashes(path);
    ASSERT_GE(ours.size(), atLeast);
    EXPECT_EQ(kxtest::probe_stream(path, "nb_read_frames", true), std::to_string(ours.size()));
    auto first = std::find(source.begin(), source.end(), ours[0]);
    ASSERT_NE(first, source.end()) << "the first picture is none of the source's";
    const size_t k = size_t(first - source.begin());
    ASSERT_LE(k + ours.size(), source.size());
    EXPECT_TRUE(std::equal(ours.begin(), ours.end(), source.begin() + long(k)));
}

class KxrecordFile : public ::testing::TestWithParam<const char *> {};

// A file source ends after 4 s: the recording ends with it and holds its pictures.
TEST_P(KxrecordFile, RecordsTheSourceBitExactUntilItEnds) {
    std::string why = kxtest::gst_peer_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    const std::string clip = kxtest::small_clip(work(), "clip_160x120_25fps_4s", "160x120", 25, 4);
    ASSERT_FALSE(clip.empty());
    kxtest::RtspPeer peer;
    std::string error;
    ASSERT_TRUE(peer.start(kScript, {"--source", "file", "--clip", clip, "--lifetime", "60"}, &error)) << error;
    const std::string out = kWork + "/file." + GetParam();
    unlink(out.c_str());
    ASSERT_EQ(kxtest::run_process({kKxrecord, "--quiet", "--idle", "2", peer.url(), out}, 60000), 0);
    expect_run_of_source(out, kxtest::decoded_hashes(clip), 90);
    EXPECT_EQ(kxtest::probe_stream(out, "width,height"), "160\n120");
    EXPECT_EQ(kxtest::probe_stream(out, "r_frame_rate"), "25/1");
    if (std::string(GetParam()) == "mkv") expect_clean_mkv(out);
}

// A size limit of about two groups of pictures: the recording goes into several files named by
// their time, each at most the limit, each starting on a key frame and valid for ffprobe (and
// mkvmerge), and their pictures one after the other are the source's without a gap; the frame
// counts add up to the frames kxrecord says it recorded.
TEST_P(KxrecordFile, MaxSizeSplitsOnKeyFramesWithoutLosingFrames) {
    std::string why = kxtest::gst_peer_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    const std::string clip = kxtest::small_clip(work(), "clip_160x120_25fps_4s", "160x120", 25, 4);
    ASSERT_FALSE(clip.empty());
    const std::vector<std::string> source = kxtest::decoded_hashes(clip);
    ASSERT_EQ(std::set<std::string>(source.begin(), source.end()).size(), source.size()) << "pictures repeat";
    kxtest::RtspPeer peer;
    std::string error;
    ASSERT_TRUE(peer.start(kScript, {"--source", "file", "--clip", clip, "--lifetime", "60"}, &error)) << error;
    const std::string ext = GetParam(), dir = work() + "/max-size-" + ext;
    fresh_dir(dir);
    const off_t limit = 60000;
    int status = -1;
    const std::string said = kxtest::tool_output(
        {kKxrecord, "--quiet", "--idle", "2", "--max-size", std::to_string(limit), peer.url(), dir + "/cam." + ext},
        60000, &status);
    ASSERT_EQ(status, 0) << said;
    unsigned long long recorded = 0, files = 0;
    ASSERT_EQ(sscanf(said.c_str(), "kxrecord: %llu frames in %llu file", &recorded, &files), 2) << said;
    EXPECT_EQ(said.find("dropped"), std::string::npos) << said;

    const std::vector<std::string> names = names_in(dir);
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names.size(), files);
    EXPECT_EQ(std::count(names.begin(), names.end(), "cam." + ext), 1) << "the first file has the given name";
    // Files by their first picture's place in the source.
    std::vector<std::pair<size_t, std::vector<std::string>>> parts;
    unsigned long long counted = 0;
    for (const std::string &n : names) {
        SCOPED_TRACE(n);
        const std::string path = dir + "/" + n;
        EXPECT_TRUE(std::regex_match(n, std::regex("cam(-[0-9]{8}-[0-9]{6}(-[0-9]+)?)?\\." + ext))) << n;
        EXPECT_LE(file_size(path), limit);
        EXPECT_EQ(first_packet_flags(path), "K");
        if (ext == "mkv") expect_clean_mkv(path);
        std::vector<std::string> pictures = kxtest::decoded_hashes(path);
        ASSERT_FALSE(pictures.empty());
        EXPECT_EQ(kxtest::probe_stream(path, "nb_read_frames", true), std::to_string(pictures.size()));
        counted += pictures.size();
        const size_t at = size_t(std::find(source.begin(), source.end(), pictures[0]) - source.begin());
        ASSERT_LT(at, source.size()) << "the first picture is none of the source's";
        parts.emplace_back(at, std::move(pictures));
    }
    EXPECT_EQ(counted, recorded);
    std::sort(parts.begin(), parts.end());
    std::vector<std::string> all;
    for (const auto &p : parts) all.insert(all.end(), p.second.begin(), p.second.end());
    ASSERT_GE(all.size(), 75u);
    ASSERT_LE(parts[0].first + all.size(), source.size());
    EXPECT_TRUE(std::equal(all.begin(), all.end(), source.begin() + long(parts[0].first)))
        << "the files together are not the source's pictures one after the other";
}

INSTANTIATE_TEST_SUITE_P(Formats, KxrecordFile, ::testing::Values("mkv", "avi"));

// kxserve --live loops an H.264 file: the recording starts on one of its key frames and follows
// the looped source picture by picture; kxserve --root serves the recording and kxplay's
// pictures of it are those again, bit for bit.
TEST(Kxrecord, RecordingFromKxservePlaysBackThroughKxserveRootBitExact) {
    const std::string clip = kxtest::small_clip(work(), "clip_160x120_25fps_4s", "160x120", 25, 4);
    ASSERT_FALSE(clip.empty());
    const std::string annexB = kWork + "/clip_160x120_25fps_4s.h264";
    ASSERT_EQ(kxtest::run_process({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", clip, "-c:v",
                                   "copy", "-bsf:v", "h264_mp4toannexb", "-f", "h264", annexB},
                                  60000),
              0);
    const std::vector<std::string> source = kxtest::decoded_hashes(clip);
    ASSERT_EQ(source.size(), 100u);
    const std::string dir = work() + "/served";
    fresh_dir(dir);
    kxtest::KxServe live;
    ASSERT_TRUE(live.start(kKxserve, {"--listen", "127.0.0.1:0", "--live", "/cam=" + annexB, "--quiet"}))
        << live.output();
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(live.port()) + "/cam";
    // Longer than the clip, so the loop's seam is inside the recording.
    ASSERT_EQ(kxtest::run_process({kKxrecord, "--quiet", "--seconds", "5", url, dir + "/rec.mkv"}, 60000), 0);
    EXPECT_EQ(live.stop(), 0);
    expect_clean_mkv(dir + "/rec.mkv");
    const std::vector<std::string> recorded = kxtest::decoded_hashes(dir + "/rec.mkv");
    ASSERT_GE(recorded.size(), 110u);
    EXPECT_EQ(kxtest::probe_stream(dir + "/rec.mkv", "nb_read_frames", true), std::to_string(recorded.size()));
    const size_t start = size_t(std::find(source.begin(), source.end(), recorded[0]) - source.begin());
    ASSERT_LT(start, source.size()) << "the first picture is none of the source's";
    EXPECT_EQ(start % 25, 0u) << "the recording does not start on a key frame";
    for (size_t i = 0; i < recorded.size(); ++i)
        ASSERT_EQ(recorded[i], source[(start + i) % source.size()]) << "picture " << i;

    kxtest::KxServe files;
    ASSERT_TRUE(files.start(kKxserve, {"--listen", "127.0.0.1:0", "--root", dir, "--quiet"})) << files.output();
    const std::string y4m = kWork + "/served.y4m";
    unlink(y4m.c_str());
    int status = -1;
    const std::string report = kxtest::tool_output(
        {kKxplay, "--timeout", "15", "--quiet", "--frames", std::to_string(recorded.size()), "--y4m", y4m,
         "rtsp://127.0.0.1:" + std::to_string(files.port()) + "/rec.mkv"},
        60000, &status);
    EXPECT_EQ(status, 0) << report;
    EXPECT_EQ(kxtest::decoded_hashes(y4m), recorded) << report;
    EXPECT_EQ(files.stop(), 0);
}

pid_t spawn(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

int exit_status(pid_t pid) {
    int status = 0;
    bool done = kxtest::eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(30),
                                   std::chrono::milliseconds(10));
    if (!done) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Kxrecord, SigtermFinishesTheFileCleanly) {
    std::string why = kxtest::gst_peer_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    kxtest::RtspPeer peer;
    std::string error;
    ASSERT_TRUE(peer.start(kScript, {"--source", "live", "--lifetime", "60"}, &error)) << error;
    const std::string out = work() + "/live.mkv";
    unlink(out.c_str());
    pid_t pid = spawn({kKxrecord, "--quiet", peer.url(), out});
    ASSERT_GT(pid, 0);
    // Some frames are in the file (beyond its head and tracks), then the program is told to stop.
    ASSERT_TRUE(kxtest::eventually([&] { return file_size(out) > 20000; }, std::chrono::seconds(30),
                                   std::chrono::milliseconds(20)));
    kill(pid, SIGTERM);
    ASSERT_EQ(exit_status(pid), 0);
    expect_clean_mkv(out);
    const std::vector<std::string> pictures = kxtest::decoded_hashes(out);
    EXPECT_GT(pictures.size(), 0u);
    EXPECT_EQ(kxtest::probe_stream(out, "nb_read_frames", true), std::to_string(pictures.size()));
}

TEST(Kxrecord, SegmentsStartOnKeyFrames) {
    std::string why = kxtest::gst_peer_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    kxtest::RtspPeer peer;
    std::string error;
    ASSERT_TRUE(peer.start(kScript, {"--source", "live", "--lifetime", "60"}, &error)) << error;
    const std::string dir = work() + "/segments";
    fresh_dir(dir);
    ASSERT_EQ(kxtest::run_process({kKxrecord, "--quiet", "--segment", "1", "--seconds", "3.5", peer.url(),
                                   dir + "/cam.mkv"},
                                  60000),
              0);
    const std::vector<std::string> names = names_in(dir);
    ASSERT_GE(names.size(), 2u);
    for (const std::string &n : names) {
        EXPECT_EQ(n.compare(0, 4, "cam-"), 0) << n;
        EXPECT_EQ(n.size(), strlen("cam-YYYYmmdd-HHMMSS.mkv")) << n;
        const std::string path = dir + "/" + n;
        expect_clean_mkv(path);
        EXPECT_EQ(first_packet_flags(path), "K") << n;
        EXPECT_FALSE(kxtest::decoded_hashes(path).empty()) << n;
    }
}

TEST(Kxrecord, WriteFailureIsAnErrorExitWithAMessage) {
    std::string why = kxtest::gst_peer_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    kxtest::RtspPeer peer;
    std::string error;
    ASSERT_TRUE(peer.start(kScript, {"--source", "live", "--lifetime", "60"}, &error)) << error;
    const std::string full = work() + "/full.mkv";
    unlink(full.c_str());
    ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
    int status = -1;
    const std::string said = kxtest::tool_output(
        {"/bin/sh", "-c", "'" + kKxrecord + "' --quiet --seconds 20 '" + peer.url() + "' '" + full + "' 2>&1"}, 60000,
        &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(said.find("failed"), std::string::npos) << said;
    unlink(full.c_str());
}

TEST(Kxrecord, HelpAndUsage) {
    const std::string help = kxtest::tool_output({kKxrecord, "--help"});
    EXPECT_NE(help.find("--segment"), std::string::npos);
    EXPECT_NE(help.find("--max-size"), std::string::npos);
    const std::vector<std::vector<std::string>> wrong = {
        {"rtsp://127.0.0.1/x", "out.mp4"},
        {"--max-size", "0", "rtsp://127.0.0.1/x", "out.mkv"},
        {"--max-size", "-1", "rtsp://127.0.0.1/x", "out.mkv"},
        {"--max-size", "1e6", "rtsp://127.0.0.1/x", "out.mkv"},
        {"rtsp://127.0.0.1/x", "out.mkv", "--max-size"},
    };
    for (const std::vector<std::string> &args : wrong) {
        std::vector<std::string> argv{kKxrecord};
        argv.insert(argv.end(), args.begin(), args.end());
        int status = -1;
        kxtest::tool_output(argv, 10000, &status);
        EXPECT_EQ(status, 2) << args[0] << " " << args[1];
    }
}

}  // namespace
