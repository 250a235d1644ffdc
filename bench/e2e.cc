// End to end: CPU time per decoded frame of kxplay (the player module: RTSP client, decoder
// threads, delivery) beside ffmpeg's "-rtsp_transport tcp -i URL -f null -" on the same live
// 720p RTSP server (GStreamer, x264 on 127.0.0.1). Each player runs as a child process; its
// user + system time comes from wait4.
//
//   bench_e2e [seconds per run, default 8]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/rtsp_peer.hpp"

namespace {

struct Run {
    bool ok = false;
    long frames = 0;
    double cpu = 0;   // seconds, user + system
    double wall = 0;  // seconds
};

// Runs argv with its standard output and error in a file; returns frames parsed by pattern.
Run run(const std::vector<std::string> &argv, const std::string &outPath, const std::regex &pattern) {
    Run r;
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid;
    double t0 = kxtest::peer_now();
    if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) != 0) return r;
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    struct rusage ru = {};
    if (wait4(pid, &status, 0, &ru) != pid) return r;
    r.wall = kxtest::peer_now() - t0;
    r.cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec * 1e-6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec * 1e-6;
    std::vector<unsigned char> bytes = kxtest::read_file_bytes(outPath);
    std::string text(bytes.begin(), bytes.end());
    std::smatch m;
    long last = -1;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern); it != std::sregex_iterator(); ++it)
        last = std::stol((*it)[1].str());
    r.frames = last;
    r.ok = WIFEXITED(status) && last > 0;
    return r;
}

void report(const char *name, const Run &r) {
    if (!r.ok) {
        printf("%-8s failed\n", name);
        return;
    }
    printf("%-8s %6ld frames in %5.2f s  CPU %6.3f s  = %6.3f ms per frame  (%5.1f %% of one core)\n", name, r.frames,
           r.wall, r.cpu, r.cpu * 1000.0 / r.frames, r.cpu * 100.0 / r.wall);
}

}  // namespace

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? atof(argv[1]) : 8.0;
    std::string why = kxtest::gst_peer_unavailable();
    if (!why.empty()) {
        printf("skipped: %s\n", why.c_str());
        return 0;
    }
    const std::string dir = KX_BENCH_BINARY_DIR;
    kxtest::RtspPeer peer;
    std::string error;
    std::string source = __FILE__;
    source.erase(source.find_last_of('/'));
    if (!peer.start(source + "/../tests/peers/rtsp_gst_server.py",
                    {"--source", "live", "--width", "1280", "--height", "720", "--fps", "25", "--bitrate", "2500",
                     "--lifetime", "120"},
                    &error)) {
        printf("no RTSP server: %s\n", error.c_str());
        return 1;
    }
    printf("live 1280x720 25 fps H.264 (x264, 2.5 Mbit/s) from %s, %.0f s per run\n", peer.url().c_str(), seconds);
    char secs[32];
    snprintf(secs, sizeof secs, "%g", seconds);
    Run k = run({dir + "/bin/kxplay", "--seconds", secs, "--quiet", peer.url()}, dir + "/bench_e2e_kxplay.txt",
                std::regex("kxplay: ([0-9]+) frames in"));
    Run f = run({"/usr/bin/ffmpeg", "-nostdin", "-hide_banner", "-rtsp_transport", "tcp", "-i", peer.url(), "-t", secs,
                 "-f", "null", "-"},
                dir + "/bench_e2e_ffmpeg.txt", std::regex("frame= *([0-9]+)"));
    report("kxplay", k);
    report("ffmpeg", f);
    if (k.ok && f.ok) printf("kxplay / ffmpeg CPU per frame: %.2f\n", (k.cpu / k.frames) / (f.cpu / f.frames));
    return k.ok && f.ok ? 0 : 1;
}
