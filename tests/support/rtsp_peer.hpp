// A real RTSP server for live tests and benchmarks: tests/peers/rtsp_gst_server.py (GStreamer's
// RTSP server) run as a child process on 127.0.0.1, plus the H.264 clips it serves
// (tests/peers/make_clip.sh) and a parser for the Annex B frames a client hands out.
//
// The peer runs in its own process group with its own session; stop() and the destructor kill
// the group and reap it. The script also quits by itself when its parent goes away or after
// its --lifetime, so a crashed test leaves nothing behind for long.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char **environ;

namespace kxtest {

// Interpreter with the GStreamer bindings (Debian's, not whatever python3 comes first on PATH).
inline const char *peer_python() {
    return "/usr/bin/python3";
}

// Runs argv, waits up to timeout_ms and returns the exit status (-1 when it could not run or
// did not finish in time; it is killed then). stdout_path, when given, receives its output.
inline int run_process(const std::vector<std::string> &argv, int timeout_ms, const char *stdout_path = "/dev/null") {
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, stdout_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int status = 0;
    for (int waited = 0;; waited += 10) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0) return -1;
        if (waited >= timeout_ms) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Empty when the GStreamer peer can run here, else the reason it cannot.
inline std::string gst_peer_unavailable() {
    static const std::string reason = [] {
        if (access(peer_python(), X_OK) != 0) return std::string(peer_python()) + " is missing";
        int rc = run_process({peer_python(), "-c",
                              "import gi; gi.require_version('Gst', '1.0'); "
                              "gi.require_version('GstRtspServer', '1.0'); "
                              "from gi.repository import Gst, GstRtspServer"},
                             30000);
        if (rc != 0)
            return std::string(peer_python()) +
                   " cannot import gi with GstRtspServer (python3-gi, gir1.2-gst-rtsp-server-1.0)";
        return std::string();
    }();
    return reason;
}

// Monotonic seconds.
inline double peer_now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Makes (once; cached across runs) an MP4 clip with make_clip.sh and, with elementary_stream,
// the same video as an Annex B stream beside it (path + ".h264", parameter sets in front of
// each IDR frame). Returns the MP4 path, or "" on failure.
inline std::string make_clip(const std::string &make_clip_sh, const std::string &path, const std::string &size, int fps,
                             double seconds, const std::string &bitrate, bool elementary_stream = true) {
    if (run_process({"/bin/bash", make_clip_sh, path, size, std::to_string(fps), std::to_string(seconds), bitrate},
                    300000) != 0)
        return std::string();
    struct stat st;
    std::string es = path + ".h264";
    if (elementary_stream && (stat(es.c_str(), &st) != 0 || st.st_size == 0)) {
        std::string tmp = es + ".tmp." + std::to_string(getpid());
        if (run_process({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", path, "-c:v", "copy",
                         "-bsf:v", "h264_mp4toannexb", "-an", "-f", "h264", tmp},
                        60000) != 0 ||
            rename(tmp.c_str(), es.c_str()) != 0) {
            unlink(tmp.c_str());
            return std::string();
        }
    }
    return path;
}

inline std::vector<unsigned char> read_file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One NAL unit of an Annex B byte stream: where its header byte starts and how long it is.
struct Nal {
    size_t offset;
    size_t size;
    int type;
};

// Splits Annex B data at 3- and 4-byte start codes. Sets *leading_start_code when the data
// begins with exactly 00 00 00 01.
inline std::vector<Nal> split_annexb(const unsigned char *p, size_t n, bool *leading_start_code = nullptr) {
    std::vector<size_t> starts;  // offset of each NAL header byte
    std::vector<size_t> codes;   // offset of its start code
    for (size_t i = 0; i + 2 < n; ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            size_t code = (i > 0 && p[i - 1] == 0) ? i - 1 : i;
            codes.push_back(code);
            starts.push_back(i + 3);
            i += 2;
        }
    }
    if (leading_start_code) *leading_start_code = n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1;
    std::vector<Nal> out;
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? codes[k + 1] : n;
        // Trailing zero bytes belong to the next start code, not to the unit.
        while (end > starts[k] && k + 1 < starts.size() && p[end - 1] == 0) --end;
        size_t size = end > starts[k] ? end - starts[k] : 0;
        out.push_back({starts[k], size, size ? (p[starts[k]] & 0x1f) : -1});
    }
    return out;
}

// The RTSP peer process.
class RtspPeer {
  public:
    RtspPeer() = default;
    RtspPeer(const RtspPeer &) = delete;
    RtspPeer &operator=(const RtspPeer &) = delete;
    ~RtspPeer() { stop(); }

    // Starts script with args (port 0 unless the args name one) and waits for its URL.
    // Returns false with *error set when it does not come up within timeout_s.
    bool start(const std::string &script, const std::vector<std::string> &args, std::string *error,
               double timeout_s = 30.0) {
        script_ = script;
        args_ = args;
        return spawn(args_, error, timeout_s);
    }

    // Kills the server now (the whole process group, SIGKILL) and reaps it.
    void stop() {
        if (pid_ <= 0) return;
        kill(-pid_, SIGKILL);
        int status;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    // Starts the server again with the same arguments on the port it had.
    bool restart(std::string *error, double timeout_s = 30.0) {
        stop();
        std::vector<std::string> args = args_;
        args.push_back("--port");
        args.push_back(std::to_string(port_));
        return spawn(args, error, timeout_s);
    }

    bool running() const { return pid_ > 0; }
    const std::string &url() const { return url_; }
    int port() const { return port_; }

    // The URL with user:password@ in front of the address.
    std::string url_with(const std::string &user, const std::string &password) const {
        std::string u = url_;
        const std::string scheme = "rtsp://";
        if (u.compare(0, scheme.size(), scheme) == 0) u.insert(scheme.size(), user + ":" + password + "@");
        return u;
    }

  private:
    bool spawn(const std::vector<std::string> &args, std::string *error, double timeout_s) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            *error = "pipe failed";
            return false;
        }
        std::vector<std::string> argv = {peer_python(), script_};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char *> cargs;
        for (const std::string &a : argv) cargs.push_back(const_cast<char *>(a.c_str()));
        cargs.push_back(nullptr);

        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
        pid_t pid = -1;
        int rc = posix_spawn(&pid, cargs[0], &fa, &attr, cargs.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        posix_spawnattr_destroy(&attr);
        close(fds[1]);
        if (rc != 0) {
            close(fds[0]);
            *error = std::string("cannot start ") + peer_python() + ": " + strerror(rc);
            return false;
        }
        pid_ = pid;

        std::string line;
        double deadline = peer_now() + timeout_s;
        bool done = false;
        while (!done) {
            int left = static_cast<int>((deadline - peer_now()) * 1000);
            if (left <= 0) break;
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, left) <= 0) continue;
            char c;
            ssize_t r = read(fds[0], &c, 1);
            if (r <= 0) break;
            if (c == '\n')
                done = true;
            else
                line += c;
        }
        close(fds[0]);
        const std::string prefix = "rtsp://127.0.0.1:";
        if (!done || line.compare(0, prefix.size(), prefix) != 0) {
            *error = "the peer printed no URL (got \"" + line + "\")";
            stop();
            return false;
        }
        url_ = line;
        port_ = atoi(line.c_str() + prefix.size());
        return true;
    }

    std::string script_;
    std::vector<std::string> args_;
    std::string url_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace kxtest
