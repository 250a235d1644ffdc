// File streaming decisions without files or sockets: the request parameters, where a demand
// client's play starts and which way it runs, how many frames are due at the file's pace and
// which frames of which track go out next. The file streamer (filestream.cc) reads the frames
// this engine names and hands them to the client's demand record.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace kx::filestream {

// Stream type bits: bit 0 backward, bit 1 key frames only.
inline constexpr uint8_t kBackward = 1;
inline constexpr uint8_t kKeyOnly = 2;
// At most this many frames per track wait in a client's record, and a client is never more
// than this many main-track frames ahead of (or behind) the file's pace.
inline constexpr uint32_t kFramesPerTrack = 16;
// Highest "fps" taken from a request.
inline constexpr double kMaxFps = 1000.0;

// The request's parameters, each from its text (null when the request has none).
struct Params {
    double from = -1.0;       // start time in seconds, -1 when absent or not a finite number >= 0
    double fps = -1.0;        // pacing rate, -1 when absent or not a finite number in (0, 1000]
    uint8_t streamType = 0;   // only the two low bits of a decimal number, 0 otherwise
};
double parseFrom(const char *text);
double parseFps(const char *text);
uint8_t parseStreamType(const char *text);
Params parseParams(const char *from, const char *fps, const char *streamType);

// Percent-decodes a request path. False for a malformed escape, an encoded or plain NUL, or
// an encoded "/" (a name never holds one).
bool percentDecode(const std::string &in, std::string *out);
// True when a decoded request path is one the root may serve: it begins with "/", names a
// file (no empty name at the end) and no name of it is "." or "..".
bool pathAcceptable(const std::string &decoded);

// Another audio track fed beside the main track (every-frame forward play only).
struct SideTrack {
    uint32_t frames = 0;
    double rate = 0.0;  // frames per second
};

// One frame to feed: track 0 is the main track, k the k-th side track.
struct Feed {
    uint16_t track;
    uint32_t index;
    bool operator==(const Feed &o) const { return track == o.track && index == o.index; }
};

// Play state of one demand client over one file.
class Cursor {
public:
    // frames and mainRate of the main track; keys the main track's key-frame indexes in
    // ascending order (video: a forward start moves back to one; audio: empty, every frame
    // starts); fpsParam the request's "fps" (-1 none); times the main track's stream times by
    // frame index (presentation times, not in file order with B-frames). Without times a
    // frame's time is its index / mainRate.
    Cursor(uint32_t frames, double mainRate, double fpsParam, std::vector<uint32_t> keys, bool video,
           std::vector<SideTrack> side = {}, std::vector<double> times = {});

    double rate() const { return rate_; }
    double duration() const { return duration_; }
    uint32_t frames() const { return frames_; }
    uint8_t mode() const { return mode_; }
    uint32_t position() const { return position_; }
    double plannedEnd() const { return plannedEnd_; }
    // Tracks fed (main and side); the record holds at most kFramesPerTrack times as many.
    uint32_t trackCount() const { return 1 + static_cast<uint32_t>(side_.size()); }
    // Every main-track frame of the current direction was walked.
    bool finished() const { return position_ >= frames_; }

    // First positioning of a new client: the request's stream type and start time, as a new
    // start (below), except that backward video play begins at the key frame at or before
    // the start (the client's description needs a key frame first).
    void start(uint8_t streamType, double startTime, double now);
    // Repositions (see the file streamer's notes): the same stream type as in force is a new
    // start at startTime (0 when startTime is not in (0, duration)); a change of the key-only
    // bit alone only changes the mode; a change of direction turns round where play is now.
    void update(uint8_t streamType, double startTime, double now);

    // Main-track frames due at now: the frames left less those still pending at the pace,
    // never more than kFramesPerTrack (the schedule moves on when play fell further behind).
    uint32_t due(double now);

    // The frames to feed now, given the frames already waiting in the record: due main-track
    // steps in the current direction (key-only modes skip frames that are not key frames),
    // each forward every-frame step followed by the side tracks' frames of its interval, cut
    // where the record would hold more than kFramesPerTrack frames per track. The position
    // advances over every step taken.
    std::vector<Feed> batch(double now, uint32_t waiting);

    // Main-track frame index that the next step would walk.
    uint32_t nextIndex() const { return (mode_ & kBackward) ? frames_ - 1 - position_ : position_; }
    bool isKey(uint32_t index) const;
    // The key frame at or before index (0 when none).
    uint32_t keyAtOrBefore(uint32_t index) const;
    // Side-track frames [first, last) played with main-track frame p.
    static void sideRange(uint32_t p, double mainRate, const SideTrack &t, uint32_t *first, uint32_t *last);
    // Main-track frame that a start time t names: the last one of the longest run of frames
    // from the first in file order whose times are all at or before t (0 when the first
    // frame is later). With B-frames this ends the run before a reference picture shown
    // after t, so a backward start shows no picture later than t and leaves none out.
    uint32_t indexAtTime(double t) const;
    // Where backward play takes over after forward play sent frames up to index last: the
    // first frame from last on, in its group, up to which every picture comes before every
    // picture after it (with B-frames a reference picture is sent ahead of the pictures it
    // leads: they are sent too), so that the turn leaves no picture out.
    uint32_t turnIndex(uint32_t last) const;

private:
    void plan(double now, double lead);

    uint32_t frames_;
    double mainRate_;
    double fpsParam_;
    double rate_;
    double duration_;
    std::vector<uint32_t> keys_;
    bool video_;
    std::vector<SideTrack> side_;
    std::vector<double> times_;  // empty, or one per main-track frame
    uint8_t mode_ = 0;
    uint32_t position_ = 0;
    double plannedEnd_ = 0.0;
};

// Opens the regular file that a decoded request path names under rootReal (the root's real
// path, without a final "/"): a read-only descriptor, or -1 with errno set (ENOENT for a
// missing file, EACCES for a path that leaves the root or names no regular file, EISDIR for a
// directory). The file opened must lie inside the root after every symbolic link is followed,
// also when a directory on the way is changed between the check and the open.
int openUnderRoot(const std::string &rootReal, const std::string &decoded);

}  // namespace kx::filestream
