// File streaming decisions: parameters, positions, pace and the frames of each batch.
#include "serve/filestream_engine.hpp"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace kx::filestream {

namespace {

// A whole text as a finite decimal (or hexadecimal) floating number.
bool wholeNumber(const char *text, double *out) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char *end = nullptr;
    double v = strtod(text, &end);
    if (end == text || *end != '\0' || !isfinite(v)) return false;
    *out = v;
    return true;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool insideRoot(const std::string &rootReal, const char *path) {
    // rootReal has no final "/" unless it is the file system root itself.
    std::string prefix = rootReal;
    if (prefix.empty() || prefix.back() != '/') prefix += '/';
    return strncmp(path, prefix.c_str(), prefix.size()) == 0 && path[prefix.size()] != '\0';
}

}  // namespace

double parseFrom(const char *text) {
    double v;
    return wholeNumber(text, &v) && v >= 0.0 ? v : -1.0;
}

double parseFps(const char *text) {
    double v;
    return wholeNumber(text, &v) && v > 0.0 && v <= kMaxFps ? v : -1.0;
}

uint8_t parseStreamType(const char *text) {
    if (text == nullptr || *text == '\0') return 0;
    // The two low bits of a decimal number depend only on the number modulo 4, so a number
    // of any length is read digit by digit without overflow.
    unsigned v = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        v = (v * 10u + static_cast<unsigned>(*p - '0')) & 3u;
    }
    return static_cast<uint8_t>(v);
}

Params parseParams(const char *from, const char *fps, const char *streamType) {
    Params p;
    p.from = parseFrom(from);
    p.fps = parseFps(fps);
    p.streamType = parseStreamType(streamType);
    return p;
}

bool percentDecode(const std::string &in, std::string *out) {
    out->clear();
    out->reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '\0') return false;
        if (c != '%') {
            out->push_back(c);
            continue;
        }
        if (i + 2 >= in.size()) return false;
        int h = hexValue(in[i + 1]), l = hexValue(in[i + 2]);
        if (h < 0 || l < 0) return false;
        char d = static_cast<char>(h * 16 + l);
        if (d == '\0' || d == '/') return false;
        out->push_back(d);
        i += 2;
    }
    return true;
}

bool pathAcceptable(const std::string &decoded) {
    if (decoded.empty() || decoded[0] != '/' || decoded.back() == '/') return false;
    size_t at = 1;
    while (at <= decoded.size()) {
        size_t slash = decoded.find('/', at);
        if (slash == std::string::npos) slash = decoded.size();
        std::string name = decoded.substr(at, slash - at);
        if (name == "." || name == "..") return false;
        at = slash + 1;
    }
    return true;
}

int openUnderRoot(const std::string &rootReal, const std::string &decoded) {
    if (!pathAcceptable(decoded)) {
        errno = EACCES;
        return -1;
    }
    std::string full = (rootReal.size() > 1 ? rootReal : std::string()) + decoded;
    char *real = realpath(full.c_str(), nullptr);
    if (real == nullptr) return -1;
    bool inside = insideRoot(rootReal, real);
    // Non-blocking, so that a FIFO does not hold the thread before it is refused.
    int fd = inside ? open(real, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK) : -1;
    int err = inside ? errno : EACCES;
    free(real);
    if (fd < 0) {
        errno = err == ELOOP ? EACCES : err;
        return -1;
    }
    struct stat st;
    err = 0;
    if (fstat(fd, &st) != 0)
        err = errno;
    else if (S_ISDIR(st.st_mode))
        err = EISDIR;
    else if (!S_ISREG(st.st_mode))
        err = EACCES;
    if (err == 0) {
        // What was opened, wherever a directory on the way points by now.
        char link[64], opened[PATH_MAX + 1];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, opened, PATH_MAX);
        if (n <= 0) {
            err = EACCES;
        } else {
            opened[n] = '\0';
            if (!insideRoot(rootReal, opened)) err = EACCES;
        }
    }
    if (err == 0) {
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) err = errno;
    }
    if (err != 0) {
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

Cursor::Cursor(uint32_t frames, double mainRate, double fpsParam, std::vector<uint32_t> keys, bool video,
               std::vector<SideTrack> side, std::vector<double> times)
    : frames_(frames),
      mainRate_(mainRate),
      fpsParam_(fpsParam),
      rate_(fpsParam > 0.0 ? fpsParam : mainRate),
      duration_(mainRate > 0.0 ? frames / mainRate : 0.0),
      keys_(std::move(keys)),
      video_(video),
      side_(std::move(side)),
      times_(times.size() == frames ? std::move(times) : std::vector<double>()) {}

uint32_t Cursor::indexAtTime(double t) const {
    if (times_.empty()) {
        double at = t * mainRate_;
        return at >= frames_ ? frames_ - 1 : at <= 0.0 ? 0u : static_cast<uint32_t>(at);
    }
    // A start time names the frame whose time it is, give or take rounding.
    const double limit = t + 1e-6;
    uint32_t i = 0;
    while (i < frames_ && times_[i] <= limit) ++i;
    return i == 0 ? 0u : i - 1;
}

uint32_t Cursor::turnIndex(uint32_t last) const {
    if (times_.empty() || last >= frames_) return last;
    const uint32_t key = keyAtOrBefore(last);
    auto next = std::upper_bound(keys_.begin(), keys_.end(), last);
    const uint32_t groupEnd = next == keys_.end() ? frames_ : *next;
    // H.264 shows a picture at most 16 pictures after it is decoded: the frames further on
    // are shown after those up to last, and only a window of the group is looked at (also
    // when a whole file is one group).
    constexpr uint32_t kWindow = 34;
    const uint32_t end = std::min(groupEnd, last + kWindow);
    // later[j - last]: the earliest time among the window's frames from j on.
    std::vector<double> later(end - last + 1, INFINITY);
    for (uint32_t j = end; j-- > last;) later[j - last] = std::min(later[j + 1 - last], times_[j]);
    double shown = -INFINITY;
    for (uint32_t j = last - std::min(last - key, kWindow); j < last; ++j) shown = std::max(shown, times_[j]);
    // The first frame from last on after which every picture still to come is shown later
    // than every one before (the window's last frame at the latest).
    for (uint32_t i = last; i < end; ++i) {
        shown = std::max(shown, times_[i]);
        if (i + 1 >= groupEnd || shown < later[i + 1 - last]) return i;
    }
    return last;
}

bool Cursor::isKey(uint32_t index) const {
    return !video_ || std::binary_search(keys_.begin(), keys_.end(), index);
}

uint32_t Cursor::keyAtOrBefore(uint32_t index) const {
    auto it = std::upper_bound(keys_.begin(), keys_.end(), index);
    return it == keys_.begin() ? 0u : *(it - 1);
}

void Cursor::sideRange(uint32_t p, double mainRate, const SideTrack &t, uint32_t *first, uint32_t *last) {
    double a = static_cast<double>(p) / mainRate * t.rate;
    double b = static_cast<double>(p + 1) / mainRate * t.rate;
    *first = a >= t.frames ? t.frames : static_cast<uint32_t>(a);
    *last = b >= t.frames ? t.frames : static_cast<uint32_t>(b);
}

void Cursor::plan(double now, double lead) {
    plannedEnd_ = now + static_cast<double>(frames_ - std::min(position_, frames_)) / rate_ - lead;
}

void Cursor::start(uint8_t streamType, double startTime, double now) {
    mode_ = streamType & 3u;
    update(mode_, startTime, now);
    // A client's description is made from its first frames, which must begin with a key
    // frame: backward play begins with the group that holds the start.
    if ((mode_ & kBackward) && video_ && !finished()) position_ = frames_ - 1 - keyAtOrBefore(nextIndex());
}

void Cursor::update(uint8_t streamType, double startTime, double now) {
    streamType &= 3u;
    if (streamType == mode_) {
        position_ = 0;
        if (frames_ > 0 && isfinite(startTime) && startTime > 0.0 && startTime < duration_) {
            uint32_t p = indexAtTime(startTime);
            if (mode_ & kBackward)
                position_ = frames_ - 1 - p;  // the frame at startTime comes first
            else
                position_ = video_ ? keyAtOrBefore(p) : p;
        }
        plan(now, 1.0 + fpsParam_ / mainRate_);
        return;
    }
    if (((streamType ^ mode_) & kBackward) == 0) {
        mode_ = streamType;
        return;
    }
    // Turning round: the frame shown last comes again first in the new direction; forward
    // play must begin at a key frame, backward play ends every group at its key frame anyway.
    // The new direction starts at the pace, without a lead: a client turns its decoder round
    // when it asks, and frames that would reach it in a burst meanwhile are lost to it in the
    // middle of their group.
    uint32_t q = frames_ - std::min(position_, frames_);
    mode_ = streamType;
    if (!(mode_ & kBackward) && video_ && q < frames_) q = keyAtOrBefore(q);
    // Forward to backward with B-frames: the last frame sent may be a reference picture shown
    // after pictures not sent yet; backward play takes over before it.
    if ((mode_ & kBackward) && video_ && q < frames_) q = frames_ - 1 - turnIndex(frames_ - 1 - q);
    position_ = q;
    plan(now, 0.0);
}

uint32_t Cursor::due(double now) {
    if (finished()) return 0;
    uint32_t left = frames_ - position_;
    double pend = (plannedEnd_ - now) * rate_;
    uint32_t pending = pend <= 0.0 ? 0u : pend >= left ? left : static_cast<uint32_t>(pend);
    uint32_t d = left - pending;
    if (d > kFramesPerTrack) {
        // Too far behind (a slow client, or the lead of a new start): the schedule moves on
        // so that the frames now due are the bound, half a frame early.
        d = kFramesPerTrack;
        plannedEnd_ = now + (static_cast<double>(left - d) + 0.5) / rate_;
    }
    return d;
}

std::vector<Feed> Cursor::batch(double now, uint32_t waiting) {
    std::vector<Feed> out;
    uint32_t cap = kFramesPerTrack * trackCount();
    if (waiting >= cap) return out;
    uint32_t room = cap - waiting;
    uint32_t d = due(now);
    const bool interleave = mode_ == 0 && !side_.empty();
    for (uint32_t step = 0; step < d && !finished(); ++step) {
        uint32_t index = nextIndex();
        if ((mode_ & kKeyOnly) && !isKey(index)) {
            ++position_;
            continue;
        }
        uint32_t need = 1;
        uint32_t first[32] = {}, last[32] = {};
        if (interleave) {
            for (size_t k = 0; k < side_.size() && k < 32; ++k) {
                sideRange(index, mainRate_, side_[k], &first[k], &last[k]);
                // The last main-track frame takes the rest of every side track with it (as
                // much as the record may hold beside it).
                if (index + 1 == frames_)
                    last[k] = std::max(last[k], std::min(side_[k].frames, first[k] + kFramesPerTrack - 1));
                need += last[k] - first[k];
            }
        }
        if (need > room) break;
        out.push_back({0, index});
        if (interleave)
            for (size_t k = 0; k < side_.size() && k < 32; ++k)
                for (uint32_t j = first[k]; j < last[k]; ++j) out.push_back({static_cast<uint16_t>(k + 1), j});
        room -= need;
        ++position_;
    }
    return out;
}

}  // namespace kx::filestream
