// kxserve as a child process for tests and benchmarks: started with its arguments, its
// standard output kept in a file, the port taken from its "listening" line; stopped with
// SIGTERM (its clean stop) and reaped, or killed when it does not stop in time.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/wait.hpp"

extern char **environ;

namespace kxtest {

// Starts argv[0] with argv, standard input from /dev/null, standard output and error into
// the file outPath (truncated). The child's pid, or -1.
inline pid_t spawn_logged(std::vector<std::string> argv, const std::string &outPath) {
    std::vector<char *> raw;
    for (std::string &a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, raw[0], &fa, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

class KxServe {
public:
    ~KxServe() { kill9(); }

    // Starts program with args; true once it listens (within timeout_ms).
    bool start(const std::string &program, const std::vector<std::string> &args, int timeout_ms = 20000) {
        log_ = "/tmp/kxserve_test." + std::to_string(getpid()) + "." + std::to_string(++count_) + ".log";
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = spawn_logged(argv, log_);
        if (pid_ < 0) return false;
        return eventually(
            [&] {
                std::string out = output();
                size_t at = out.find("listening rtsp://");
                if (at == std::string::npos) return false;
                size_t colon = out.find(':', at + 17);
                port_ = static_cast<uint16_t>(std::stoi(out.substr(colon + 1)));
                return true;
            },
            std::chrono::milliseconds(timeout_ms), std::chrono::milliseconds(10));
    }

    // SIGTERM and the exit status (-1 when it had to be killed or did not exit normally).
    int stop(int timeout_ms = 10000) {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGTERM);
        int status = 0;
        bool exited = eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; },
                                 std::chrono::milliseconds(timeout_ms), std::chrono::milliseconds(10));
        if (!exited) {
            kill9();
            return -1;
        }
        pid_ = -1;
        unlink(log_.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    bool running() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::string output() const {
        std::ifstream f(log_);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    // Resident memory in KiB (VmRSS), 0 when unknown.
    long rssKiB() const {
        std::ifstream f("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(f, line))
            if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
        return 0;
    }

private:
    void kill9() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string log_;
    static inline int count_ = 0;
};

}  // namespace kxtest
