// Soak: kxserve serves a live item (and a folder of files where it has --root); kxplay and
// kxrecord read the live item, and so do N items (default 50) of our RTSP client service in
// this process (plus one item reading a file). The server is restarted at a fixed period.
//
// Per minute: resident memory (VmRSS) and open descriptors of every process, frames
// delivered and reconnections. At the end: the growth of memory and descriptors after the
// first restart (extrapolated to an hour), every client's resume time after each restart
// (from the moment the server was told to stop to the client's first frame from the new
// server; kxplay and kxrecord from their once-a-second progress lines), and the targets:
// resume within 11 s, growth at most 1 MiB/h of memory and no descriptor.
//
//   bench_soak [--minutes M] [--restart S] [--clients N] [--ci] [--bin DIR] [--log FILE]
//
// Exit status: 1 on a crash (a program exited while it should run, or the server did not stop
// cleanly), a stall (a client without a frame 20 s after a restart, or for 20 s while the
// server runs) or descriptor growth; with --ci nothing else fails; without it, 3 when a
// memory or resume target was missed; 2 usage or set-up error.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kx/global.h"
#include "kx/rtspclient.h"
#include "bench/proc_stats.hpp"
#include "tests/support/fdlimit.hpp"
#include "tests/support/kxserve_process.hpp"

extern char **environ;

namespace {

constexpr double kResumeTarget = 11.0;    // s after a restart
constexpr double kStallLimit = 20.0;      // s without frames that fail the run
constexpr double kRssTargetKiBh = 1024.0;  // KiB of resident memory per hour

FILE *out = stdout;  // our own lines; the library's log records go to --log

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

using kxbench::fd_count;
using kxbench::rss_of;
// ---- clients of our RTSP client service ----

std::atomic<bool> g_stop{false};
void on_signal(int) { g_stop.store(true); }

std::atomic<int> g_epoch{0};  // raised once the old server is gone; frames after it come from the new one

struct Client {
    std::atomic<uint64_t> frames{0};
    std::atomic<double> lastAt{0};
    std::atomic<int> epochSeen{0};
    std::atomic<double> resumedAt{0};  // first frame of epochSeen
    rtspClient_item *item = nullptr;
};

signed char on_frame(uint32_t *, unsigned char **, uint32_t, double, uint32_t, signed char, float, uint32_t, uint32_t,
                     void *externP) {
    auto *c = static_cast<Client *>(externP);
    const double t = now_s();
    const int e = g_epoch.load(std::memory_order_acquire);
    if (c->epochSeen.load(std::memory_order_relaxed) != e) {
        c->resumedAt.store(t, std::memory_order_relaxed);
        c->epochSeen.store(e, std::memory_order_release);
    }
    c->lastAt.store(t, std::memory_order_relaxed);
    c->frames.fetch_add(1, std::memory_order_relaxed);
    return 1;
}

uint32_t connections(const Client &c) { return __atomic_load_n(&c.item->connectCount, __ATOMIC_RELAXED); }

// ---- kxplay and kxrecord: child processes with a once-a-second "frames N" progress line ----

class Program {
public:
    Program(std::string name, std::string outPath) : name_(std::move(name)), outPath_(std::move(outPath)) {}
    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    bool start(std::vector<std::string> argv) {
        pid_ = kxtest::spawn_logged(std::move(argv), outPath_);
        return pid_ > 0;
    }

    // False once the process has exited (its status kept).
    bool running() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
        status_ = status;
        pid_ = -1;
        return false;
    }

    // SIGTERM, then the exit status (-1 when killed or not exited normally).
    int stop() {
        if (running()) {
            kill(pid_, SIGTERM);
            if (!kxtest::eventually([&] { return !running(); }, std::chrono::seconds(15),
                                    std::chrono::milliseconds(20))) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                pid_ = -1;
                return -1;
            }
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }

    std::string how_it_ended() const {
        if (WIFEXITED(status_)) return "exited with status " + std::to_string(WEXITSTATUS(status_));
        if (WIFSIGNALED(status_)) return std::string("killed by signal ") + strsignal(WTERMSIG(status_));
        return "ended";
    }

    // Reads new progress lines; true when a line came. lineAt_ is when it was read.
    bool poll() {
        std::ifstream f(outPath_);
        f.seekg(offset_);
        std::string line;
        bool any = false;
        while (std::getline(f, line)) {
            if (f.eof()) break;  // a line still being written
            offset_ += line.size() + 1;
            size_t at = line.find(" frames ");
            if (at == std::string::npos || line.compare(0, strlen(name_.c_str()), name_) == 0) continue;
            const uint64_t frames = strtoull(line.c_str() + at + 8, nullptr, 10);
            lineAt_ = now_s();
            if (frames > frames_) advancedAt_ = lineAt_;
            frames_ = frames;
            any = true;
        }
        return any;
    }

    pid_t pid() const { return pid_; }
    const std::string &name() const { return name_; }
    uint64_t frames() const { return frames_; }
    double lineAt() const { return lineAt_; }
    double advancedAt() const { return advancedAt_; }  // when the count last grew (the start before)
    std::string output() const {
        std::ifstream f(outPath_);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }

private:
    std::string name_, outPath_;
    pid_t pid_ = -1;
    int status_ = 0;
    std::streamoff offset_ = 0;
    uint64_t frames_ = 0;
    double lineAt_ = 0;
    double advancedAt_ = now_s();
};

// Resume of a program after a restart: the first progress line read after the old server
// was gone sets the count before the outage; the first line that counts more is the resume.
struct ProgramResume {
    bool based = false;
    uint64_t base = 0;
    double resumed = -1;  // seconds after the restart began
};

// ---- one sample of every process ----

struct Sample {
    long rss[4] = {-1, -1, -1, -1};
    long fds[4] = {-1, -1, -1, -1};
};
enum { kSelf, kServer, kPlay, kRecord, kProcesses };
const char *const kProcessNames[kProcesses] = {"clients", "kxserve", "kxplay", "kxrecord"};

struct Restart {
    double at = 0, down = 0, up = 0;  // told to stop, gone, listening again (run time, s)
    std::vector<double> clients;      // resume of each live client, -1 while not resumed
    double file = -1;
    ProgramResume play, record;
    bool settled = false;
    Sample stable;  // every client back, a few seconds later
};

struct Options {
    double minutes = 10;
    double restart = 120;
    int clients = 50;
    bool ci = false;
    std::string bin = KX_BENCH_BINARY_DIR "/bin";
    std::string log = "/dev/null";
};

int usage(FILE *f) {
    fprintf(f,
            "usage: bench_soak [options]\n"
            "  --minutes M   run M minutes (default 10)\n"
            "  --restart S   restart the server every S seconds (default 120)\n"
            "  --clients N   items of the in-process RTSP client service (default 50)\n"
            "  --ci          fail only on a crash, a stall or descriptor growth\n"
            "  --bin DIR     folder of kxserve, kxplay and kxrecord (default: the build's bin)\n"
            "  --log FILE    the library's log records (default: nowhere)\n"
            "  --help        this text\n");
    return f == stdout ? 0 : 2;
}

bool parse(int argc, char **argv, Options *o, int *rc) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        const char *v = nullptr;
        if (a == "--help") {
            *rc = usage(stdout);
            return false;
        } else if (a == "--ci") {
            o->ci = true;
        } else if ((a == "--minutes" || a == "--restart" || a == "--clients" || a == "--bin" || a == "--log") &&
                   (v = value()) != nullptr) {
            if (a == "--minutes") o->minutes = atof(v);
            if (a == "--restart") o->restart = atof(v);
            if (a == "--clients") o->clients = atoi(v);
            if (a == "--bin") o->bin = v;
            if (a == "--log") o->log = v;
        } else {
            fprintf(stderr, "bench_soak: bad argument %s\n", a.c_str());
            *rc = usage(stderr);
            return false;
        }
    }
    if (!(o->minutes > 0) || !(o->restart >= 10) || o->clients < 1 || o->clients > 2000) {
        fprintf(stderr, "bench_soak: --minutes > 0, --restart >= 10 and --clients 1..2000\n");
        *rc = 2;
        return false;
    }
    return true;
}

bool run_quiet(const std::string &cmd) { return system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

std::string command_output(const std::string &cmd) {
    std::string text;
    if (FILE *p = popen((cmd + " 2>&1").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
        pclose(p);
    }
    return text;
}

double median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    int rc = 0;
    if (!parse(argc, argv, &o, &rc)) return rc;
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    kxtest::raise_fd_limit(4096);

    // Our lines on the real standard output; the library prints its records on stdout.
    int ownFd = dup(STDOUT_FILENO);
    if (ownFd < 0 || (out = fdopen(ownFd, "w")) == nullptr) return 2;
    setvbuf(out, nullptr, _IOLBF, 0);
    globalInit(0, nullptr, o.log.c_str(), nullptr, 0);

    char tmpl[] = "/tmp/kx-soak.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 2;
    const std::string work = tmpl;
    struct Cleanup {
        std::string dir;
        ~Cleanup() { run_quiet("rm -rf '" + dir + "'"); }
    } cleanup{work};

    // A 10 s clip, looped live; the same pictures as a Matroska file for --root, repeated to
    // outlast the run (the file client stays connected, so descriptors compare between samples).
    const std::string clip = work + "/clip.h264";
    const std::string encode = "ffmpeg -nostdin -y -f lavfi -i testsrc2=size=320x240:rate=25 -t 10 -c:v libx264 "
                               "-preset veryfast -g 25 -bf 0 -pix_fmt yuv420p -b:v 300k ";
    if (!run_quiet(encode + "-f h264 '" + clip + "'")) {
        fprintf(stderr, "bench_soak: ffmpeg could not make the clip\n");
        return 2;
    }
    const std::string kxserve = o.bin + "/kxserve", kxplay = o.bin + "/kxplay", kxrecord = o.bin + "/kxrecord";
    const bool hasRoot = command_output("'" + kxserve + "' --help").find("--root") != std::string::npos;
    const std::string root = work + "/root";
    if (hasRoot && (mkdir(root.c_str(), 0755) != 0 ||
                    !run_quiet(encode + "'" + work + "/ten.mkv'") ||
                    !run_quiet("ffmpeg -nostdin -y -stream_loop " + std::to_string(int(o.minutes * 6) + 12) + " -i '" +
                               work + "/ten.mkv' -c copy '" + root + "/clip.mkv'"))) {
        fprintf(stderr, "bench_soak: could not make the file for --root\n");
        return 2;
    }

    kxtest::KxServe server;
    std::vector<std::string> serverArgs = {"--live", "/live=" + clip, "--quiet"};
    if (hasRoot) serverArgs.insert(serverArgs.end(), {"--root", root});
    auto start_server = [&](uint16_t port) {
        std::vector<std::string> args = {"--listen", "127.0.0.1:" + std::to_string(port)};
        args.insert(args.end(), serverArgs.begin(), serverArgs.end());
        // The port of the stopped server may take a moment to be free again.
        for (int attempt = 0; attempt < 4; ++attempt) {
            if (server.start(kxserve, args, 5000)) return true;
            server.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        return false;
    };
    const double t0 = now_s();
    auto runTime = [&] { return now_s() - t0; };
    if (!start_server(0)) {
        fprintf(stderr, "bench_soak: kxserve did not start\n%s", server.output().c_str());
        return 2;
    }
    const uint16_t port = server.port();
    const std::string base = "rtsp://127.0.0.1:" + std::to_string(port);
    fprintf(out, "soak: %.1f min, restart every %.0f s, %d clients, kxplay, kxrecord%s on %s\n", o.minutes, o.restart,
            o.clients, hasRoot ? ", a file client (--root)" : " (kxserve has no --root: no file client)", base.c_str());

    // Clients.
    rtspClient *service = rtspClient_new__IO("soak", nullptr, 0, nullptr);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < o.clients + (hasRoot ? 1 : 0); ++i) {
        clients.push_back(std::make_unique<Client>());
        const std::string url = base + (i < o.clients ? "/live" : "/clip.mkv");
        clients.back()->item = rtspClient_item_new_byURL__IO(url.c_str(), on_frame, clients.back().get());
        if (clients.back()->item == nullptr) return 2;
    }
    Client *fileClient = hasRoot ? clients.back().get() : nullptr;
    rtspClient_startThread(service, 0);
    for (auto &c : clients) rtspClient_add_item__OI_2(service, c->item);

    Program play("kxplay", work + "/kxplay.out"), record("kxrecord", work + "/kxrecord.out");
    if (!play.start({kxplay, "--timeout", "30", base + "/live"}) ||
        !record.start({kxrecord, "--timeout", "30", "--idle", "30", "--segment", "60", base + "/live",
                       work + "/recording.mkv"})) {
        fprintf(stderr, "bench_soak: cannot start kxplay or kxrecord\n");
        return 2;
    }
    Program *programs[2] = {&play, &record};

    auto sample = [&] {
        Sample s;
        const pid_t pids[kProcesses] = {getpid(), server.pid(), play.pid(), record.pid()};
        for (int p = 0; p < kProcesses; ++p) {
            if (pids[p] <= 0) continue;
            s.rss[p] = rss_of(pids[p]);
            s.fds[p] = fd_count(pids[p]);
        }
        return s;
    };
    // Descriptors move while connections come and go: the least of a few samples.
    auto steady_sample = [&] {
        Sample s = sample();
        for (int k = 0; k < 4; ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            Sample t = sample();
            for (int p = 0; p < kProcesses; ++p) {
                s.fds[p] = std::min(s.fds[p], t.fds[p]);
                s.rss[p] = t.rss[p];
            }
        }
        return s;
    };

    const double end = o.minutes * 60.0;
    double nextRestart = o.restart, nextMinute = 60.0;
    std::vector<Restart> restarts;
    std::vector<std::string> failures;
    bool haveBaseline = false;
    double baselineAt = 0;
    Sample baseline;
    uint64_t framesAtMinute = 0, playAtMinute = 0, recordAtMinute = 0;
    double serverUpAt = runTime();
    int minute = 0;

    auto fail = [&](const std::string &why) {
        failures.push_back(why);
        fprintf(out, "soak: FAIL at %.1f s: %s\n", runTime(), why.c_str());
    };

    while (failures.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const double t = runTime();
        for (Program *p : programs) {
            p->poll();
            if (!p->running()) fail(p->name() + " " + p->how_it_ended() + "\n" + p->output());
        }
        if (g_stop.load()) {
            fprintf(out, "soak: stopped by a signal at %.1f s\n", t);
            break;
        }
        if (!server.running()) fail("kxserve ended while serving\n" + server.output());
        if (!failures.empty()) break;

        // Stalls: a live client or program without frames for too long while the server runs.
        if (t - serverUpAt > kStallLimit) {
            for (int i = 0; i < o.clients && failures.empty(); ++i)
                if (now_s() - clients[i]->lastAt.load() > kStallLimit)
                    fail("client " + std::to_string(i) + " has had no frame for " + std::to_string(int(kStallLimit)) + " s");
            for (Program *p : programs)
                if (failures.empty() && now_s() - p->advancedAt() > kStallLimit)
                    fail(p->name() + " has counted no frame for " + std::to_string(int(kStallLimit)) + " s\n" +
                         p->output());
            if (!failures.empty()) break;
        }

        // The current restart: who is back.
        if (!restarts.empty()) {
            Restart &r = restarts.back();
            const int e = static_cast<int>(restarts.size());
            bool all = true;
            for (int i = 0; i < o.clients; ++i) {
                Client &c = *clients[i];
                if (r.clients[i] < 0 && c.epochSeen.load(std::memory_order_acquire) == e)
                    r.clients[i] = c.resumedAt.load() - t0 - r.at;
                all = all && r.clients[i] >= 0;
            }
            if (fileClient && r.file < 0 && fileClient->epochSeen.load() == e)
                r.file = fileClient->resumedAt.load() - t0 - r.at;
            ProgramResume *pr[2] = {&r.play, &r.record};
            for (int k = 0; k < 2; ++k) {
                Program &p = *programs[k];
                if (!pr[k]->based && p.lineAt() - t0 > r.down) {
                    pr[k]->based = true;
                    pr[k]->base = p.frames();
                } else if (pr[k]->based && pr[k]->resumed < 0 && p.frames() > pr[k]->base) {
                    pr[k]->resumed = p.lineAt() - t0 - r.at;
                }
                all = all && pr[k]->resumed >= 0;
            }
            if (t - r.at > kStallLimit) {
                for (int i = 0; i < o.clients; ++i)
                    if (r.clients[i] < 0) fail("client " + std::to_string(i) + " did not resume after restart " +
                                               std::to_string(e));
                for (int k = 0; k < 2; ++k)
                    if (pr[k]->resumed < 0) fail(programs[k]->name() + " did not resume after restart " + std::to_string(e));
                if (fileClient && r.file < 0) fail("the file client did not resume after restart " + std::to_string(e));
                if (!failures.empty()) break;
            }
            if (all && !r.settled && t - r.up > 5) {
                r.settled = true;
                r.stable = steady_sample();
                if (!haveBaseline) {
                    haveBaseline = true;
                    baseline = r.stable;
                    baselineAt = runTime();
                }
            }
        }

        if (t >= nextMinute || t >= end) {
            ++minute;
            Sample s = sample();
            uint64_t frames = 0, reconnects = 0;
            int playing = 0;
            for (int i = 0; i < o.clients; ++i) {
                frames += clients[i]->frames.load();
                uint32_t n = connections(*clients[i]);
                reconnects += n > 0 ? n - 1 : 0;
                playing += now_s() - clients[i]->lastAt.load() < 2.0;
            }
            fprintf(out,
                    "minute %3d  %7.1f s  clients %d/%d playing  frames %llu (+%llu)  reconnects %llu  kxplay %llu "
                    "(+%llu)  kxrecord %llu (+%llu)",
                    minute, t, playing, o.clients, (unsigned long long)frames,
                    (unsigned long long)(frames - framesAtMinute), (unsigned long long)reconnects,
                    (unsigned long long)play.frames(), (unsigned long long)(play.frames() - playAtMinute),
                    (unsigned long long)record.frames(), (unsigned long long)(record.frames() - recordAtMinute));
            if (fileClient)
                fprintf(out, "  file %llu (%u connections)", (unsigned long long)fileClient->frames.load(),
                        connections(*fileClient));
            fprintf(out, "\n            ");
            for (int p = 0; p < kProcesses; ++p)
                fprintf(out, " %s %ld KiB %ld fds%s", kProcessNames[p], s.rss[p], s.fds[p], p + 1 < kProcesses ? "," : "\n");
            framesAtMinute = frames;
            playAtMinute = play.frames();
            recordAtMinute = record.frames();
            nextMinute += 60.0;
        }
        if (t >= end) break;

        // Restart, unless too close to the end to see everyone back.
        if (t >= nextRestart && t + kStallLimit + 5 < end) {
            nextRestart += o.restart;
            Restart r;
            r.at = runTime();
            const int status = server.stop();
            r.down = runTime();
            if (status != 0) {
                fail("kxserve did not stop cleanly (status " + std::to_string(status) + ")");
                break;
            }
            r.clients.assign(o.clients, -1.0);
            restarts.push_back(r);
            g_epoch.store(static_cast<int>(restarts.size()), std::memory_order_release);
            if (!start_server(port)) {
                fail("kxserve did not start again on port " + std::to_string(port));
                break;
            }
            restarts.back().up = serverUpAt = runTime();
        } else if (t >= nextRestart) {
            nextRestart = 1e18;
        }
    }

    // The end: every process still there and everyone playing.
    const Sample final = steady_sample();
    const double finalAt = runTime();
    for (Program *p : programs) {
        const int status = p->stop();
        if (failures.empty() && status != 0) fail(p->name() + " " + p->how_it_ended() + " at its stop\n" + p->output());
    }
    for (auto &c : clients) rtspClient_remove_item__IO_2(service, c->item);
    rtspClient_stopThread(service);
    for (auto &c : clients) rtspClient_item_delete__OI(c->item);
    rtspClient_delete__OI(service);
    const int serverStatus = server.stop();
    if (failures.empty() && serverStatus != 0)
        fail("kxserve did not stop cleanly at the end (status " + std::to_string(serverStatus) + ")");

    // Resume times.
    bool resumeMet = true;
    double worst = 0;
    for (size_t k = 0; k < restarts.size(); ++k) {
        const Restart &r = restarts[k];
        std::vector<double> back;
        for (double v : r.clients)
            if (v >= 0) back.push_back(v);
        const double mx = back.empty() ? -1 : *std::max_element(back.begin(), back.end());
        fprintf(out,
                "restart %zu at %.1f s: server down %.2f s, up again %.2f s; clients back %zu/%zu, min %.2f median "
                "%.2f max %.2f s; kxplay %.1f s, kxrecord %.1f s",
                k + 1, r.at, r.down - r.at, r.up - r.at, back.size(), r.clients.size(),
                back.empty() ? -1 : *std::min_element(back.begin(), back.end()), median(back), mx, r.play.resumed,
                r.record.resumed);
        if (fileClient) fprintf(out, ", file client %.2f s", r.file);
        fprintf(out, "\n  each client:");
        for (double v : r.clients) fprintf(out, " %.1f", v);
        fprintf(out, "\n");
        for (double v : {mx, r.play.resumed, r.record.resumed, fileClient ? r.file : 0.0}) {
            if (v < 0 || v > kResumeTarget) resumeMet = false;
            worst = std::max(worst, v);
        }
    }

    // Growth after the first restart.
    bool rssMet = true, fdsMet = true;
    if (haveBaseline && finalAt > baselineAt) {
        const double hours = (finalAt - baselineAt) / 3600.0;
        fprintf(out, "growth from %.1f s (every client back after the first restart) to %.1f s:\n", baselineAt, finalAt);
        auto judge = [&](int p, const Sample &from, const Sample &to, double span, const char *what, bool rss) {
            if (from.rss[p] < 0 || to.rss[p] < 0 || !(span > 0)) return;
            const long drss = to.rss[p] - from.rss[p], dfds = to.fds[p] - from.fds[p];
            fprintf(out, "  %-8s rss %ld -> %ld KiB (%+ld KiB, %+.0f KiB/h)  fds %ld -> %ld (%+ld)%s\n", kProcessNames[p],
                    from.rss[p], to.rss[p], drss, drss / span, from.fds[p], to.fds[p], dfds, what);
            if (rss && drss / span > kRssTargetKiBh) rssMet = false;
            if (dfds > 0) {
                fdsMet = false;
                fail(std::string(kProcessNames[p]) + " holds " + std::to_string(dfds) + " more descriptors" + what);
            }
        };
        for (int p : {kSelf, kPlay, kRecord}) judge(p, baseline, final, hours, "", true);
        // kxserve is a new process after every restart: its runs compare at the same age (every
        // client back); within its last run the memory figure includes its warming up.
        if (restarts.size() > 1) {
            const Restart &first = restarts.front(), &last = restarts.back();
            judge(kServer, first.stable, last.stable, (last.up - first.up) / 3600.0, "  (its runs, every client back)",
                  true);
        }
        judge(kServer, restarts.back().stable, final, (finalAt - restarts.back().up) / 3600.0,
              "  (within its last run, not judged by memory)", false);
        fprintf(out, "  kxserve every client back, per run:");
        for (const Restart &r : restarts) fprintf(out, " %ld KiB/%ld fds", r.stable.rss[kServer], r.stable.fds[kServer]);
        fprintf(out, "\n");
    } else if (failures.empty()) {
        fprintf(out, "no growth figures: the run had no settled restart (use --minutes above --restart/60)\n");
    }

    fprintf(out, "targets: resume within %.0f s: %s (worst %.2f s); rss growth <= 1 MiB/h: %s; no descriptor growth: %s\n",
            kResumeTarget, resumeMet ? "met" : "missed", worst, rssMet ? "met" : "missed", fdsMet ? "met" : "missed");
    fprintf(out, "soak: %s\n", failures.empty() ? "passed" : "FAILED");
    globalRelease();
    if (!failures.empty()) return 1;
    if (!o.ci && (!resumeMet || !rssMet)) return 3;
    return 0;
}
