// Start-up shared by the player programs.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "kx/codec.h"

namespace kxplayer {

// The codec plug-ins are installed beside the library: <program folder>/../lib.
inline void use_plugins_beside_program() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return;
    path[n] = 0;
    std::string dir(path);
    dir.erase(dir.find_last_of('/'));
    std::string lib = dir + "/../lib";
    if (access((lib + "/libavcsink.so").c_str(), R_OK) == 0) video_h264_private_plugin_folder_set(lib.c_str());
}

// The program's own lines go to the real standard output (the stream returned, line
// buffered); the library's log records, printed on stdout, go to logPath or nowhere.
// Null, with a message on stderr, when logPath cannot be written.
inline FILE *split_program_output(const char *program, const std::string &logPath) {
    int logFd = open(logPath.empty() ? "/dev/null" : logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (logFd < 0) {
        fprintf(stderr, "%s: cannot write %s: %s\n", program, logPath.c_str(), strerror(errno));
        return nullptr;
    }
    FILE *out = fdopen(dup(STDOUT_FILENO), "w");
    if (out == nullptr) {
        fprintf(stderr, "%s: cannot keep the standard output: %s\n", program, strerror(errno));
        close(logFd);
        return nullptr;
    }
    setvbuf(out, nullptr, _IOLBF, 0);
    fflush(stdout);
    dup2(logFd, STDOUT_FILENO);
    close(logFd);
    return out;
}

}  // namespace kxplayer
