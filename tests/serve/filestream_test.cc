// File streaming engine as tables: request parameters, start positions, the frames fed in
// each direction and mode, the pace and its bounds, turning round, the end; request paths
// resolved under a root directory with real files, directories and symbolic links.
#include "serve/filestream_engine.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using kx::filestream::Cursor;
using kx::filestream::Feed;
using kx::filestream::SideTrack;

TEST(FileStreamParams, ParsedAsFiniteNumbersInRange) {
    struct Case {
        const char *from, *fps, *type;
        double wantFrom, wantFps;
        uint8_t wantType;
    } cases[] = {
        {"10", "50", "2", 10.0, 50.0, 2},
        {"600.5", "1000", "5", 600.5, 1000.0, 1},  // only the two low bits of the type
        {nullptr, nullptr, nullptr, -1.0, -1.0, 0},
        {"", "", "", -1.0, -1.0, 0},
        {"inf", "nan", "7", -1.0, -1.0, 3},
        {"1e400", "1001", "123456789012345678901234567", -1.0, -1.0, 3},
        {"-3", "0", "-1", -1.0, -1.0, 0},
        {"10s", "-5", "2x", -1.0, -1.0, 0},
        {"0", "0.5", "4", 0.0, 0.5, 0},
    };
    for (const Case &c : cases) {
        kx::filestream::Params p = kx::filestream::parseParams(c.from, c.fps, c.type);
        SCOPED_TRACE(std::string(c.from ? c.from : "(none)") + " " + (c.fps ? c.fps : "(none)") + " " +
                     (c.type ? c.type : "(none)"));
        EXPECT_EQ(p.from, c.wantFrom);
        EXPECT_EQ(p.fps, c.wantFps);
        EXPECT_EQ(p.streamType, c.wantType);
    }
}

// 300 frames at 25 fps (12 s), key frames at irregular places.
const std::vector<uint32_t> kKeys = {0, 30, 90, 240, 260};
Cursor video(double fps = -1.0, std::vector<SideTrack> side = {}) {
    return Cursor(300, 25.0, fps, kKeys, true, std::move(side));
}

TEST(FileStreamCursor, StartPositions) {
    struct Case {
        uint8_t type;
        double from;
        bool audioMain;
        uint32_t wantFirst;  // frame index fed first
    } cases[] = {
        {2, 10.0, false, 240},  // key frame at or before 10 s (frame 250)
        {0, 10.3, false, 240},
        {0, 9.6, false, 240},   // frame 240 itself
        {0, 9.56, false, 90},   // frame 239
        {0, 1.0, false, 0},     // frame 25: key 0
        {0, 12.0, false, 0},    // at the duration: from the start
        {0, 500.0, false, 0},
        {0, -1.0, false, 0},
        {1, 10.0, false, 240},  // backward: from the group that holds 10 s, key frame first
        {1, -1.0, false, 260},  // backward from the last group
        {3, 10.0, false, 240},
        {1, 11.99, false, 260},
        {1, 9.56, false, 90},
        {0, 10.3, true, 257},   // audio main track: no key-frame search
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " from " + std::to_string(c.from));
        Cursor cur = c.audioMain ? Cursor(300, 25.0, -1.0, {}, false) : video();
        cur.start(c.type, c.from, 100.0);
        EXPECT_EQ(cur.mode(), c.type);
        EXPECT_EQ(cur.nextIndex(), c.wantFirst);
        EXPECT_DOUBLE_EQ(cur.duration(), 12.0);
    }
}

TEST(FileStreamCursor, PlayStartTimeRepositions) {
    struct Case {
        uint8_t type;
        double at;
        uint32_t wantFirst;
    } cases[] = {
        {0, 10.3, 240}, {2, 10.3, 240}, {0, 1.0, 0},
        {1, 10.3, 257},  // backward: the frame at the start time, its group follows downward
        {3, 10.3, 257},  // (key frames only: the walk passes 257..241 and feeds 240 first)
        {0, 12.5, 0},    // beyond the duration: from the start
        {1, 0.0, 299},   // no start time: backward from the last frame
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " at " + std::to_string(c.at));
        Cursor cur = video();
        cur.start(c.type, 5.0, 0.0);
        cur.batch(1.0, 0);
        cur.update(c.type, c.at, 2.0);
        EXPECT_EQ(cur.mode(), c.type);
        EXPECT_EQ(cur.nextIndex(), c.wantFirst);
    }
}

// Walks a cursor to its end on a clock of `step` seconds per pass, the record drained between
// passes; the main-track indexes fed, in order.
std::vector<uint32_t> walk(Cursor &cur, double now, double step = 0.01, std::vector<Feed> *all = nullptr) {
    std::vector<uint32_t> out;
    for (int pass = 0; pass < 100000 && !cur.finished(); ++pass, now += step)
        for (const Feed &f : cur.batch(now, 0)) {
            if (all) all->push_back(f);
            if (f.track == 0) out.push_back(f.index);
        }
    return out;
}

std::vector<uint32_t> range(uint32_t a, uint32_t b) {  // a, a+1, ..., b-1, or downward a..b+1
    std::vector<uint32_t> v;
    if (a <= b)
        for (uint32_t i = a; i < b; ++i) v.push_back(i);
    else
        for (uint32_t i = a; i > b; --i) v.push_back(i);
    return v;
}

TEST(FileStreamCursor, FramesFedInEachMode) {
    std::vector<uint32_t> down = range(240, 0);
    down.push_back(0);
    struct Case {
        uint8_t type;
        double from;
        std::vector<uint32_t> want;
    } cases[] = {
        {0, 10.0, range(240, 300)},
        {2, 10.0, {240, 260}},
        {2, -1.0, kKeys},
        {1, 10.0, down},  // one frame at a time down to the first key frame
        {3, 10.0, {240, 90, 30, 0}},
        {3, -1.0, {260, 240, 90, 30, 0}},
        {1, 1.0, {0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " from " + std::to_string(c.from));
        Cursor cur = video(50.0);
        cur.start(c.type, c.from, 0.0);
        EXPECT_EQ(walk(cur, 0.0), c.want);
        EXPECT_TRUE(cur.finished());
        EXPECT_TRUE(cur.batch(1e6, 0).empty()) << "nothing after the end";
    }
}

TEST(FileStreamCursor, PacesAtTheRateWithinTheBound) {
    struct Case {
        double fps;
        double rate;
    } cases[] = {{50.0, 50.0}, {-1.0, 25.0}, {1000.0, 1000.0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fps);
        Cursor cur(100000, 25.0, c.fps, {0}, true);
        cur.start(0, -1.0, 0.0);
        EXPECT_DOUBLE_EQ(cur.rate(), c.rate);
        // A new start gets at most the bound at once, then the rate.
        EXPECT_EQ(cur.batch(0.0, 0).size(), 16u);
        size_t fed = 16;
        for (double now = 0.001; now <= 4.0; now += 0.001) fed += cur.batch(now, 0).size();
        EXPECT_NEAR(static_cast<double>(fed), 16 + 4.0 * c.rate, 2.0);
        // A full record takes nothing; one with room takes only the room.
        EXPECT_TRUE(cur.batch(5.0, 16).empty());
        EXPECT_EQ(cur.batch(5.0, 10).size(), 6u);
        // After a long stall the client gets the bound, not the backlog.
        EXPECT_EQ(cur.batch(60.0, 0).size(), 16u);
        EXPECT_EQ(cur.batch(60.0, 0).size(), 0u);
    }
}

TEST(FileStreamCursor, TurnsRoundWherePlayIs) {
    Cursor cur = video();
    cur.start(0, -1.0, 0.0);
    // A record with room for one frame: one frame per pass.
    std::vector<uint32_t> fed;
    double now = 0.0;
    while (fed.size() < 100)
        for (const Feed &f : cur.batch(now += 0.04, 15)) fed.push_back(f.index);
    ASSERT_EQ(fed, range(0, 100));
    // Backward: the frame shown last comes first, then down one at a time, at the pace
    // from the turn on (no burst).
    cur.update(1, -1.0, now);
    EXPECT_EQ(cur.mode(), 1);
    std::vector<uint32_t> back;
    for (const Feed &f : cur.batch(now, 0)) back.push_back(f.index);
    EXPECT_LE(back.size(), 1u) << "a burst at the turn";
    now += 0.2;
    for (const Feed &f : cur.batch(now, 0)) back.push_back(f.index);
    EXPECT_LE(back.size(), 6u) << "faster than the pace after the turn";
    while (back.size() < 20)
        for (const Feed &f : cur.batch(now += 0.04, 15)) back.push_back(f.index);
    EXPECT_EQ(back, range(99, 79));
    // Key frames only, same direction: the position stays, only the mode changes.
    uint32_t next = cur.nextIndex();
    cur.update(3, -1.0, now);
    EXPECT_EQ(cur.mode(), 3);
    EXPECT_EQ(cur.nextIndex(), next);
    // Forward again: from the key frame at or before the frame shown last (80 -> 30).
    cur.update(0, -1.0, now);
    EXPECT_EQ(cur.mode(), 0);
    EXPECT_EQ(cur.nextIndex(), 30u);
    // Turning round at the start of the file has nothing left to play backward.
    Cursor atStart = video();
    atStart.start(0, -1.0, 0.0);
    atStart.update(1, -1.0, 0.0);
    EXPECT_TRUE(atStart.finished());
}

// Two groups of ten frames with two B-frames between references, as x264 writes them: in
// file order I0 P3 B1 B2 P6 B4 B5 P9 B7 B8 (display positions), 25 frames/s.
std::vector<double> bframeTimes() {
    const int order[] = {0, 3, 1, 2, 6, 4, 5, 9, 7, 8};
    std::vector<double> t;
    for (int g = 0; g < 2; ++g)
        for (int d : order) t.push_back((g * 10 + d) / 25.0);
    return t;
}

TEST(FileStreamCursor, BFramesStartAndTurnByPresentationTimes) {
    struct Case {
        const char *what;
        uint8_t type;
        double from;      // a PLAY start time after the start, -1 none
        int turnAfter;    // forward frames fed before turning backward, -1 no turn
        std::vector<uint32_t> fed;
    } cases[] = {
        // Forward from a time: the key frame at or before it.
        {"forward from picture 4", 0, 4 / 25.0, -1, {0, 1, 2, 3}},
        {"forward from picture 12.5", 0, 12.5 / 25.0, -1, {10, 11, 12}},
        // Backward from picture 7.5: pictures 6 down to 0 (7 needs P9, shown after the time).
        {"backward from picture 7.5", 1, 7.5 / 25.0, -1, {6, 5, 4, 3, 2, 1, 0}},
        {"backward from picture 10", 1, 10 / 25.0, -1, {10, 9, 8, 7, 6, 5, 4}},
        // Turning after I0 P3 B1 B2 P6: P6 leads pictures 4 and 5, which were not sent;
        // backward takes over after them (pictures 6 down), not at P6 (6, then 3 down).
        {"turn after P6", 0, -1.0, 5, {0, 1, 2, 3, 4, 6, 5, 4, 3, 2, 1, 0}},
        {"turn after B1", 0, -1.0, 3, {0, 1, 2, 3, 2, 1, 0}},
        // After P9 B7 B8 every picture up to 9 is out: the turn is where play is.
        {"turn after B8", 0, -1.0, 10, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 8, 7}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Cursor cur(20, 25.0, -1.0, {0, 10}, true, {}, bframeTimes());
        cur.start(c.type, -1.0, 0.0);
        if (c.from >= 0) cur.update(c.type, c.from, 0.0);
        std::vector<uint32_t> fed;
        double now = 100.0;
        // One frame per pass, so that the turn comes right after the frame named.
        while (fed.size() < c.fed.size() && !cur.finished()) {
            for (const Feed &f : cur.batch(now += 1.0, 15)) fed.push_back(f.index);
            if (c.turnAfter >= 0 && fed.size() == size_t(c.turnAfter) && !(cur.mode() & 1)) cur.update(1, -1.0, now);
        }
        EXPECT_EQ(fed, c.fed);
    }
    // The run of frames up to a time never holds a picture after it.
    Cursor cur(20, 25.0, -1.0, {0, 10}, true, {}, bframeTimes());
    const std::vector<double> t = bframeTimes();
    for (int d = 0; d < 20; ++d) {
        const uint32_t p = cur.indexAtTime(d / 25.0);
        for (uint32_t i = 0; i <= p; ++i) EXPECT_LE(t[i], d / 25.0 + 1e-9) << d;
        if (p + 1 < 20) {
            EXPECT_GT(t[p + 1], d / 25.0) << d;
        }
    }
}

TEST(FileStreamCursor, SideTracksFollowTheirIntervals) {
    // 4 s of video at 25 fps; AAC at 48 kHz (46.875 frames/s, 188 frames) and 44.1 kHz.
    struct Case {
        SideTrack t;
    } cases[] = {{{188, 48000.0 / 1024}}, {{173, 44100.0 / 1024}}, {{200, 48000.0 / 1024}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.t.frames);
        Cursor cur(100, 25.0, -1.0, {0, 25, 50, 75}, true, {c.t});
        cur.start(0, -1.0, 0.0);
        std::vector<Feed> all;
        std::vector<uint32_t> main = walk(cur, 0.0, 0.01, &all);
        EXPECT_EQ(main, range(0, 100));
        std::vector<uint32_t> audio;
        uint32_t lastMain = 0;
        for (const Feed &f : all) {
            if (f.track == 0) {
                lastMain = f.index;
                continue;
            }
            audio.push_back(f.index);
            // An audio frame goes out with the video frame its time span reaches into (the
            // last video frame takes the rest).
            if (lastMain < 99) {
                EXPECT_LT(f.index / c.t.rate, (lastMain + 1) / 25.0);
                EXPECT_GT((f.index + 1) / c.t.rate, lastMain / 25.0);
            }
        }
        EXPECT_EQ(audio, range(0, c.t.frames)) << "every audio frame once, in order";
    }
    // From a start time the audio starts with the video's key frame; backward play has none.
    Cursor seek(100, 25.0, -1.0, {0, 25, 50, 75}, true, {{188, 46.875}});
    seek.start(0, 2.5, 0.0);
    std::vector<Feed> b = seek.batch(0.0, 0);
    ASSERT_GE(b.size(), 3u);
    EXPECT_EQ(b[0], (Feed{0, 50}));
    EXPECT_EQ(b[1], (Feed{1, 93}));  // 2.0 s * 46.875
    EXPECT_LE(b.size(), 32u);
    Cursor back(100, 25.0, -1.0, {0}, true, {{188, 46.875}});
    back.start(1, -1.0, 0.0);
    std::vector<Feed> all;
    walk(back, 0.0, 0.01, &all);
    EXPECT_TRUE(std::all_of(all.begin(), all.end(), [](const Feed &f) { return f.track == 0; }));
}

TEST(FileStreamPath, DecodedAndChecked) {
    struct Case {
        const char *in;
        bool decodes;
        const char *out;
        bool acceptable;
    } cases[] = {
        {"/clip.mkv", true, "/clip.mkv", true},
        {"/2026-12-09/cam%201.mkv", true, "/2026-12-09/cam 1.mkv", true},
        {"/../etc/passwd", true, "/../etc/passwd", false},
        {"/%2e%2e/etc/passwd", true, "/../etc/passwd", false},
        {"/a/%2E%2E/%2e%2E/x", true, "/a/../../x", false},
        {"/./clip.mkv", true, "/./clip.mkv", false},
        {"/dir/", true, "/dir/", false},
        {"clip.mkv", true, "clip.mkv", false},
        {"/a%2fb", false, "", false},
        {"/a%00b", false, "", false},
        {"/a%zzb", false, "", false},
        {"/a%2", false, "", false},
        {"/a..b/c...", true, "/a..b/c...", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.in);
        std::string out;
        ASSERT_EQ(kx::filestream::percentDecode(c.in, &out), c.decodes);
        if (!c.decodes) continue;
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(kx::filestream::pathAcceptable(out), c.acceptable);
    }
}

TEST(FileStreamPath, OpensOnlyRegularFilesInsideTheRoot) {
    char base[] = "/tmp/kxfsrootXXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    const std::string b = base, root = b + "/root";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/day").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((b + "/outside").c_str(), 0755), 0);
    std::ofstream(root + "/day/cam.mkv") << "in";
    std::ofstream(b + "/secret.mkv") << "out";
    std::ofstream(b + "/outside/cam.mkv") << "out";
    ASSERT_EQ(symlink("../secret.mkv", (root + "/escape.mkv").c_str()), 0);
    ASSERT_EQ(symlink("day/cam.mkv", (root + "/alias.mkv").c_str()), 0);
    ASSERT_EQ(symlink("../outside", (root + "/away").c_str()), 0);
    ASSERT_EQ(mkfifo((root + "/fifo.mkv").c_str(), 0644), 0);
    struct Case {
        const char *path;
        int wantErrno;  // 0: opens, reading "in"
    } cases[] = {
        {"/day/cam.mkv", 0},      {"/alias.mkv", 0},          {"/escape.mkv", EACCES},
        {"/away/cam.mkv", EACCES}, {"/../secret.mkv", EACCES}, {"/day/../../secret.mkv", EACCES},
        {"/missing.mkv", ENOENT}, {"/day", EISDIR},           {"/fifo.mkv", EACCES},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        errno = 0;
        int fd = kx::filestream::openUnderRoot(root, c.path);
        if (c.wantErrno == 0) {
            ASSERT_GE(fd, 0) << strerror(errno);
            char buf[8] = {};
            EXPECT_EQ(read(fd, buf, sizeof buf), 2);
            EXPECT_STREQ(buf, "in");
            close(fd);
        } else {
            EXPECT_EQ(fd, -1);
            if (fd >= 0) close(fd);
            EXPECT_EQ(errno, c.wantErrno);
        }
    }
    EXPECT_EQ(system(("rm -rf " + b).c_str()), 0);
}

}  // namespace
