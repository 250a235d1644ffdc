// Small video clips made with the ffmpeg program (cached in the build tree), their access
// units, and ffmpeg's own decoding of them as reference.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace kxclip {

inline bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Output lines of a shell command.
inline std::vector<std::string> lines(const std::string &command) {
    std::vector<std::string> out;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[1024];
    while (fgets(buf, sizeof buf, p)) {
        std::string s(buf);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        out.push_back(s);
    }
    pclose(p);
    return out;
}

inline std::vector<uint8_t> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Clip {
    std::string container;  // .mkv made by the encoder
    std::string stream;     // the same frames as an Annex B byte stream
};

// Encodes `input` (ffmpeg input arguments) with `codec` (encoder arguments) into dir/name.mkv
// and extracts its Annex B stream; reuses earlier results. Files appear by rename, so
// concurrent test processes never read half a clip. Empty paths on failure.
inline Clip make(const std::string &dir, const std::string &name, const std::string &input, const std::string &codec,
                 bool hevc) {
    Clip clip{dir + "/" + name + ".mkv", dir + "/" + name + (hevc ? ".hevc" : ".h264")};
    if (exists(clip.container) && exists(clip.stream)) return clip;
    if (system(("mkdir -p '" + dir + "'").c_str()) != 0) return {};
    const std::string tag = "." + std::to_string(getpid()) + ".tmp";
    const std::string ff = "ffmpeg -nostdin -hide_banner -loglevel error -y ";
    const std::string mkv = clip.container + tag + ".mkv", raw = clip.stream + tag;
    if (system((ff + input + " " + codec + " '" + mkv + "'").c_str()) != 0) return {};
    if (system((ff + "-i '" + mkv + "' -c copy -bsf:v " + (hevc ? "hevc_mp4toannexb -f hevc '" : "h264_mp4toannexb -f h264 '") +
                raw + "'")
                   .c_str()) != 0)
        return {};
    if (rename(mkv.c_str(), clip.container.c_str()) != 0 || rename(raw.c_str(), clip.stream.c_str()) != 0) return {};
    return clip;
}

// Access units of an Annex B stream: (offset, length) pairs in decoding order. A unit begins
// at the first parameter set, delimiter or SEI after a slice, or at a slice that starts a
// new picture.
inline std::vector<std::pair<size_t, size_t>> split_units(const std::vector<uint8_t> &s, bool hevc) {
    std::vector<size_t> starts;  // NAL start codes (first zero byte)
    for (size_t i = 0; i + 3 <= s.size(); ++i) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            starts.push_back(i > 0 && s[i - 1] == 0 ? i - 1 : i);
            i += 2;
        }
    }
    std::vector<std::pair<size_t, size_t>> units;
    size_t unitStart = 0;
    bool haveSlice = false;
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t h = starts[k] + (s[starts[k]] == 0 && s[starts[k] + 2] == 0 ? 4 : 3);
        if (h + 2 >= s.size()) break;
        bool vcl, firstSlice, opener;
        if (hevc) {
            int type = (s[h] >> 1) & 0x3f;
            vcl = type < 32;
            firstSlice = vcl && (s[h + 2] & 0x80);
            opener = (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) || (type >= 48 && type <= 55);
        } else {
            int type = s[h] & 0x1f;
            vcl = type >= 1 && type <= 5;
            firstSlice = vcl && (s[h + 1] & 0x80);
            opener = type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18);
        }
        if (haveSlice && (opener || firstSlice)) {
            units.emplace_back(unitStart, starts[k] - unitStart);
            unitStart = starts[k];
            haveSlice = false;
        }
        if (vcl) haveSlice = true;
    }
    if (haveSlice) units.emplace_back(unitStart, s.size() - unitStart);
    return units;
}

// ffmpeg's decoding of a clip: the MD5 of every picture (packed planar layout) in display
// order, and for every packet in decoding order the display position of its picture.
struct Reference {
    std::vector<std::string> displayMd5;
    std::vector<size_t> displayRank;
};

// The MD5 of every picture ffmpeg decodes from a file (packed planar layout), in display order.
inline std::vector<std::string> frame_md5s(const std::string &input) {
    std::vector<std::string> out;
    for (const std::string &l : lines("ffmpeg -nostdin -v error -i '" + input +
                                      "' -map 0:v -fps_mode passthrough -f framemd5 - 2>/dev/null")) {
        if (l.empty() || l[0] == '#') continue;
        size_t comma = l.rfind(',');
        if (comma == std::string::npos) continue;
        std::string md5 = l.substr(comma + 1);
        md5.erase(0, md5.find_first_not_of(' '));
        out.push_back(md5);
    }
    return out;
}

inline Reference reference(const std::string &container) {
    Reference ref;
    ref.displayMd5 = frame_md5s(container);
    std::vector<long long> pts;
    for (const std::string &l : lines("ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 '" +
                                      container + "' 2>/dev/null"))
        if (!l.empty()) pts.push_back(atoll(l.c_str()));
    std::vector<long long> sorted = pts;
    std::sort(sorted.begin(), sorted.end());
    for (long long p : pts)
        ref.displayRank.push_back((size_t)(std::lower_bound(sorted.begin(), sorted.end(), p) - sorted.begin()));
    return ref;
}

}  // namespace kxclip
