// The tools people check media files with (ffmpeg, ffprobe, mkvmerge), run as child processes
// for container tests: the packets of a clip one file per frame, per-picture decode hashes and
// probe output.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/rtsp_peer.hpp"

namespace kxtest {

// Standard output of argv (empty when it failed or took longer than timeout_ms).
inline std::string tool_output(const std::vector<std::string> &argv, int timeout_ms = 120000, int *status = nullptr) {
    char path[] = "/tmp/kxtoolXXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return std::string();
    close(fd);
    int rc = run_process(argv, timeout_ms, path);
    std::vector<unsigned char> bytes = read_file_bytes(path);
    unlink(path);
    if (status) *status = rc;
    if (rc != 0 && status == nullptr) return std::string();
    return std::string(bytes.begin(), bytes.end());
}

// An H.264 test clip (tests/peers/make_clip.sh, cached) in dir: name.mp4 of size, rate and
// length; extra are further encoder options ("-g 225"). "" when it could not be made.
inline std::string small_clip(const std::string &dir, const std::string &name, const std::string &size, int fps,
                              double seconds, const std::string &extra = "") {
    mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/" + name + ".mp4";
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && st.st_size > 0) return path;
    if (run_process({"/bin/bash", KX_TEST_SOURCE_DIR "/tests/peers/make_clip.sh", path, size, std::to_string(fps),
                     std::to_string(seconds), "200k", extra},
                    300000) != 0)
        return std::string();
    return path;
}

// The frames of a video file as ffmpeg's packets, one per picture: H.264 in Annex B form with
// the parameter sets before each key frame (codec copy) or pictures re-encoded with the
// given encoder (for example "mjpeg"). Written once into dir, read back in order.
inline std::vector<std::vector<unsigned char>> packets_of(const std::string &input, const std::string &dir,
                                                          const std::string &encoder = "copy") {
    mkdir(dir.c_str(), 0755);
    std::vector<std::string> argv = {"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", input, "-an",
                                     "-c:v", encoder};
    if (encoder == "copy") {
        argv.insert(argv.end(), {"-bsf:v", "h264_mp4toannexb"});
    } else {
        argv.insert(argv.end(), {"-q:v", "3"});
    }
    argv.insert(argv.end(), {"-f", "image2", dir + "/%05d.bin"});
    std::vector<std::vector<unsigned char>> out;
    if (run_process(argv, 120000) != 0) return out;
    for (int i = 1;; ++i) {
        char name[32];
        snprintf(name, sizeof name, "/%05d.bin", i);
        struct stat st;
        if (stat((dir + name).c_str(), &st) != 0) break;
        out.push_back(read_file_bytes(dir + name));
    }
    return out;
}

// ffmpeg's decode of the first video stream as one MD5 per picture (framemd5, hashes only).
inline std::vector<std::string> decoded_hashes(const std::string &input, const std::vector<std::string> &input_options = {}) {
    std::vector<std::string> argv = {"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error"};
    argv.insert(argv.end(), input_options.begin(), input_options.end());
    argv.insert(argv.end(), {"-i", input, "-map", "0:v:0", "-pix_fmt", "yuv420p", "-f", "framemd5", "-"});
    std::istringstream in(tool_output(argv));
    std::vector<std::string> hashes;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        size_t comma = line.rfind(',');
        if (comma == std::string::npos) continue;
        std::string h = line.substr(comma + 1);
        h.erase(std::remove(h.begin(), h.end(), ' '), h.end());
        hashes.push_back(h);
    }
    return hashes;
}

// ffprobe's value of one stream entry of the first video stream ("width", "nb_read_frames"
// with count, "r_frame_rate"), or "" when it has none.
inline std::string probe_stream(const std::string &input, const std::string &entry, bool count = false,
                                const std::string &select = "v:0") {
    std::vector<std::string> argv = {"/usr/bin/ffprobe", "-v", "error", "-select_streams", select};
    if (count) argv.push_back("-count_frames");
    argv.insert(argv.end(), {"-show_entries", "stream=" + entry, "-of", "default=noprint_wrappers=1:nokey=1", input});
    std::string out = tool_output(argv);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

}  // namespace kxtest
