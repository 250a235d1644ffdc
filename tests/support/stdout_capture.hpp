// Captures what the process writes to standard output (log records) while in scope.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace kxtest {

class StdoutCapture {
public:
    StdoutCapture() {
        fflush(stdout);
        char path[] = "/tmp/kxcapXXXXXX";
        fd_ = mkstemp(path);
        unlink(path);
        saved_ = dup(STDOUT_FILENO);
        dup2(fd_, STDOUT_FILENO);
    }
    ~StdoutCapture() { restore(); }
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    // Everything written so far (stdout is flushed first).
    std::string text() {
        fflush(stdout);
        std::string out;
        char buf[4096];
        off_t off = 0;
        ssize_t n;
        while ((n = pread(fd_, buf, sizeof buf, off)) > 0) {
            out.append(buf, static_cast<size_t>(n));
            off += n;
        }
        return out;
    }

    void restore() {
        if (saved_ < 0) return;
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        close(fd_);
        saved_ = -1;
    }

private:
    int fd_ = -1;
    int saved_ = -1;
};

// Removes the ANSI colour sequences of log records.
inline std::string strip_colours(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\033' && i + 1 < s.size() && s[i + 1] == '[') {
            size_t j = i + 2;
            while (j < s.size() && s[j] != 'm') ++j;
            i = j;
            continue;
        }
        out += s[i];
    }
    return out;
}

}  // namespace kxtest

#include <gtest/gtest.h>

namespace kxtest {

// Captures standard output; when the running test has failed, the captured log records
// are shown on standard error so the failure can be read.
struct CaptureShownOnFailure : StdoutCapture {
    ~CaptureShownOnFailure() {
        if (::testing::Test::HasFailure()) fprintf(stderr, "%s", strip_colours(text()).c_str());
    }
};

// Everything written to a stdio stream opened for update (tmpfile and the like).
inline std::string read_stream(FILE *f) {
    fflush(f);
    rewind(f);
    std::string out;
    int c;
    while ((c = fgetc(f)) != EOF) out += static_cast<char>(c);
    return out;
}

}  // namespace kxtest
