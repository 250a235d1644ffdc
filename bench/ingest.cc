// Ingest cost: N items (default 50) in one RTSP client service read the same 1280x720 4 Mb/s
// stream from one local server (GStreamer's RTSP server playing a file clip, see tests/peers).
// Prints the client's CPU time per stream over a fixed interval, then the CPU of
// `ffmpeg -rtsp_transport tcp -i URL -c copy -f null -` reading one stream from a fresh server
// over the same interval, and the ratio of the two (target: ours at most 0.30 of ffmpeg's). The
// slowest stream's frame rate shows whether one client thread still delivers every frame of
// every stream (the clip has 25 frames/s).
//
//   bench_ingest [--items N] [--seconds S] [--warmup W] [--source-dir DIR] [--clip FILE.mp4]
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kx/rtspclient.h"
#include "../tests/support/rtsp_peer.hpp"
#include "bench/proc_stats.hpp"

namespace {

using kxbench::cpu_of;

// Figures go to the original standard output; the library's log records to a file beside the clips.
FILE *out = stdout;

struct Options {
    int items = 50;
    double seconds = 10.0;
    double warmup = 3.0;
    std::string sourceDir;
    std::string clip;
    bool shared = false;  // one server pipeline for all clients instead of one per client
};

struct Counter {
    std::atomic<uint64_t> frames{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> skipped{0};  // frame indexes the callback never saw (dropped frames)
    int64_t last = -1;                 // the service thread's own
};

signed char count_frame(uint32_t *, unsigned char **, uint32_t len, double, uint32_t index, signed char, float, uint32_t,
                        uint32_t, void *externP) {
    Counter *c = static_cast<Counter *>(externP);
    if (c->last >= 0 && index > static_cast<uint32_t>(c->last) + 1)
        c->skipped.fetch_add(index - static_cast<uint32_t>(c->last) - 1, std::memory_order_relaxed);
    c->last = index;
    c->frames.fetch_add(1, std::memory_order_relaxed);
    c->bytes.fetch_add(len, std::memory_order_relaxed);
    return 1;
}

double cpu_self() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

bool file_exists(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

std::string dirname_of(const std::string &p) {
    size_t slash = p.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : p.substr(0, slash);
}

// The source tree: the first ancestor of the executable's folder that holds the peer script.
std::string find_source_dir() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return std::string();
    exe[n] = 0;
    for (std::string d = dirname_of(exe); d != "/"; d = dirname_of(d))
        if (file_exists(d + "/tests/peers/rtsp_gst_server.py")) return d;
    return std::string();
}

// The build tree: the one this program was built in, else the first ancestor of the executable's folder that holds
// CMakeCache.txt.
std::string find_build_dir() {
#ifdef KX_BENCH_BINARY_DIR
    if (file_exists(KX_BENCH_BINARY_DIR "/CMakeCache.txt")) return KX_BENCH_BINARY_DIR;
#endif
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return std::string("/tmp");
    exe[n] = 0;
    for (std::string d = dirname_of(exe); d != "/"; d = dirname_of(d))
        if (file_exists(d + "/CMakeCache.txt")) return d;
    return std::string("/tmp");
}

bool parse(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--items" && v) {
            o.items = atoi(v);
        } else if (a == "--seconds" && v) {
            o.seconds = atof(v);
        } else if (a == "--warmup" && v) {
            o.warmup = atof(v);
        } else if (a == "--source-dir" && v) {
            o.sourceDir = v;
        } else if (a == "--clip" && v) {
            o.clip = v;
        } else if (a == "--shared") {
            o.shared = true;
            continue;
        } else {
            fprintf(
                stderr,
                "usage: %s [--items N] [--seconds S] [--warmup W] [--shared] [--source-dir DIR] [--clip FILE.mp4]\n",
                argv[0]);
            return false;
        }
        ++i;
    }
    return o.items > 0 && o.seconds > 0 && o.warmup >= 0;
}

struct Figures {
    double cpu = 0;      // seconds of CPU over the interval, all streams together
    double seconds = 0;  // length of the interval
    uint64_t frames = 0;
    uint64_t bytes = 0;
    int streams = 0;
    int streaming = 0;  // streams that delivered during the interval
    uint64_t slowest = 0, fastest = 0;  // frames of the slowest and the fastest stream
    uint64_t skipped = 0;               // frames assembled but not delivered, all streams
};

bool start_peer(kxtest::RtspPeer &peer, const Options &o) {
    std::string error;
    std::vector<std::string> args = {"--source",   "file",
                                     "--clip",     o.clip,
                                     "--lifetime", std::to_string(static_cast<int>(o.warmup + o.seconds + 120))};
    if (o.shared) args.push_back("--shared");
    if (!peer.start(o.sourceDir + "/tests/peers/rtsp_gst_server.py", args, &error)) {
        fprintf(stderr, "ingest: %s\n", error.c_str());
        return false;
    }
    return true;
}

Figures run_ours(const Options &o) {
    Figures f;
    kxtest::RtspPeer peer;
    if (!start_peer(peer, o)) return f;

    std::vector<std::unique_ptr<Counter>> counters;
    rtspClient *client = rtspClient_new__IO("ingest", nullptr, pthread_self(), nullptr);
    rtspClient_startThread(client, -1);
    std::vector<rtspClient_item *> items;
    for (int i = 0; i < o.items; ++i) {
        counters.push_back(std::make_unique<Counter>());
        rtspClient_item *item = rtspClient_item_new_byURL__IO(peer.url().c_str(), count_frame, counters.back().get());
        if (!item) break;
        items.push_back(item);
        rtspClient_add_item__OI_2(client, item);
    }

    // Warm-up: every stream delivers, then the interval starts.
    double deadline = kxtest::peer_now() + o.warmup + 10.0;
    for (;;) {
        int live = 0;
        for (auto &c : counters) live += c->frames.load() > 0;
        if (live == o.items || kxtest::peer_now() > deadline) break;
        usleep(50000);
    }
    usleep(static_cast<useconds_t>(o.warmup * 1e6));

    std::vector<uint64_t> frames0, bytes0, skipped0;
    for (auto &c : counters) {
        frames0.push_back(c->frames.load());
        bytes0.push_back(c->bytes.load());
        skipped0.push_back(c->skipped.load());
    }
    double t0 = kxtest::peer_now(), c0 = cpu_self();
    usleep(static_cast<useconds_t>(o.seconds * 1e6));
    double c1 = cpu_self(), t1 = kxtest::peer_now();
    f.cpu = c1 - c0;
    f.seconds = t1 - t0;
    f.streams = static_cast<int>(items.size());
    for (size_t i = 0; i < counters.size(); ++i) {
        uint64_t df = counters[i]->frames.load() - frames0[i];
        f.slowest = i == 0 ? df : std::min(f.slowest, df);
        f.fastest = std::max(f.fastest, df);
        f.frames += df;
        f.skipped += counters[i]->skipped.load() - skipped0[i];
        f.bytes += counters[i]->bytes.load() - bytes0[i];
        f.streaming += df > 0;
    }

    for (rtspClient_item *item : items) {
        rtspClient_remove_item__IO_2(client, item);
        rtspClient_item_delete__OI(item);
    }
    rtspClient_stopThread(client);
    rtspClient_delete__OI(client);
    return f;
}

Figures run_ffmpeg(const Options &o) {
    Figures f;
    kxtest::RtspPeer peer;
    if (!start_peer(peer, o)) return f;

    std::string dir = find_build_dir() + "/peers";
    mkdir(dir.c_str(), 0755);
    std::string progress = dir + "/ingest_ffmpeg_progress." + std::to_string(getpid()) + ".txt";
    std::vector<std::string> argv = {"/usr/bin/ffmpeg",
                                     "-nostdin",
                                     "-loglevel",
                                     "error",
                                     "-rtsp_transport",
                                     "tcp",
                                     "-i",
                                     peer.url(),
                                     "-c",
                                     "copy",
                                     "-f",
                                     "null",
                                     "-progress",
                                     progress,
                                     "-"};
    std::vector<char *> args;
    for (std::string &a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        fprintf(stderr, "ingest: cannot run ffmpeg: %s\n", strerror(rc));
        return f;
    }
    // Same warm-up as ours: first output, then the warm-up time.
    auto frames_done = [&]() -> uint64_t {
        std::ifstream in(progress);
        std::string line;
        uint64_t last = 0;
        while (std::getline(in, line))
            if (line.compare(0, 6, "frame=") == 0) last = strtoull(line.c_str() + 6, nullptr, 10);
        return last;
    };
    double deadline = kxtest::peer_now() + o.warmup + 10.0;
    while (frames_done() == 0 && kxtest::peer_now() < deadline) usleep(50000);
    usleep(static_cast<useconds_t>(o.warmup * 1e6));

    uint64_t frames0 = frames_done();
    double t0 = kxtest::peer_now(), c0 = cpu_of(pid);
    usleep(static_cast<useconds_t>(o.seconds * 1e6));
    double c1 = cpu_of(pid), t1 = kxtest::peer_now();
    uint64_t frames1 = frames_done();  // progress is written about twice a second

    kill(pid, SIGKILL);
    int status;
    rusage ru;
    wait4(pid, &status, 0, &ru);
    unlink(progress.c_str());
    f.cpu = c1 - c0;
    f.seconds = t1 - t0;
    f.frames = frames1 - frames0;
    f.streams = 1;
    f.streaming = f.frames > 0;
    double total = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                   static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    fprintf(out, "ffmpeg  : whole run including start-up and probing: %.2f s CPU (rusage)\n", total);
    return f;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse(argc, argv, o)) return 2;
    if (o.sourceDir.empty()) o.sourceDir = find_source_dir();
    if (o.sourceDir.empty()) {
        fprintf(stderr, "ingest: cannot find tests/peers/rtsp_gst_server.py; pass --source-dir\n");
        return 2;
    }
    std::string why = kxtest::gst_peer_unavailable();
    if (!why.empty()) {
        fprintf(stderr, "ingest: %s\n", why.c_str());
        return 2;
    }
    {
        std::string dir = find_build_dir() + "/peers";
        mkdir(dir.c_str(), 0755);
        std::string log = dir + "/ingest.log";
        fflush(out);
        int keep = dup(STDOUT_FILENO);
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (keep >= 0 && fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            out = fdopen(keep, "w");
            fprintf(out, "ingest: log records go to %s\n", log.c_str());
        }
        if (fd >= 0) close(fd);
    }
    const int clipSeconds = static_cast<int>(o.warmup + o.seconds) + 15;
    if (o.clip.empty()) {
        std::string path =
            find_build_dir() + "/peers/ingest_1280x720_25fps_4M_" + std::to_string(clipSeconds) + "s.mp4";
        struct stat made;
        if (stat(path.c_str(), &made) != 0) fprintf(out, "ingest: making the clip %s (once)\n", path.c_str());
        fflush(out);
        o.clip = kxtest::make_clip(o.sourceDir + "/tests/peers/make_clip.sh", path, "1280x720", 25, clipSeconds, "4M",
                                   false);
        if (o.clip.empty()) {
            fprintf(stderr, "ingest: cannot make the clip\n");
            return 2;
        }
    }
    struct stat st;
    stat(o.clip.c_str(), &st);
    fprintf(out, "ingest: clip %s, %.2f Mb/s over %d s; %d streams, %.0f s warm-up, %.0f s measured\n", o.clip.c_str(),
            static_cast<double>(st.st_size) * 8 / clipSeconds / 1e6, clipSeconds, o.items, o.warmup, o.seconds);
    fflush(out);

    Figures ours = run_ours(o);
    if (ours.streams == 0 || ours.seconds <= 0) return 2;
    double oursPerStream = ours.cpu / ours.seconds / ours.streams;
    fprintf(out,
            "kxlib   : %d streams (%d delivering), %.2f s CPU in %.2f s = %.3f %% of a core per stream; "
            "%.1f frames/s and %.2f Mb/s per stream\n",
            ours.streams, ours.streaming, ours.cpu, ours.seconds, 100 * oursPerStream,
            static_cast<double>(ours.frames) / ours.seconds / ours.streams,
            static_cast<double>(ours.bytes) * 8 / ours.seconds / ours.streams / 1e6);
    fprintf(out, "kxlib   : slowest stream %.1f frames/s, fastest %.1f frames/s (the clip: 25); %llu frames skipped\n",
            static_cast<double>(ours.slowest) / ours.seconds, static_cast<double>(ours.fastest) / ours.seconds,
            static_cast<unsigned long long>(ours.skipped));
    fflush(out);

    Figures ff = run_ffmpeg(o);
    if (ff.seconds <= 0) return 2;
    double ffPerStream = ff.cpu / ff.seconds;
    fprintf(out, "ffmpeg  : 1 stream, %.2f s CPU in %.2f s = %.3f %% of a core; %.1f frames/s\n", ff.cpu, ff.seconds,
            100 * ffPerStream, static_cast<double>(ff.frames) / ff.seconds);
    if (ffPerStream <= 0) {
        fprintf(out, "ratio   : ffmpeg used no measurable CPU\n");
        return 0;
    }
    double ratio = oursPerStream / ffPerStream;
    fprintf(out, "ratio   : ours/ffmpeg CPU per stream = %.3f (target <= 0.30: %s)\n", ratio,
            ratio <= 0.30 ? "met" : "NOT met");
    return 0;
}
