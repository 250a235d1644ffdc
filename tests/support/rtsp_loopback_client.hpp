// A scripted RTSP client over a plain socket for server tests: it sends requests as given,
// reads answers (header and Content-Length body) and the interleaved bytes that follow, every
// read bounded by a deadline. Also the raw material of hostile clients (garbage, huge
// headers, connections that never read).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace kxtest {

class LoopbackClient {
public:
    LoopbackClient() = default;
    ~LoopbackClient() { close(); }
    LoopbackClient(const LoopbackClient &) = delete;
    LoopbackClient &operator=(const LoopbackClient &) = delete;

    // Connects to 127.0.0.1:port; rcvbuf > 0 sets a small receive buffer first.
    bool connect(uint16_t port, int rcvbuf = 0) {
        close();
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return false;
        if (rcvbuf > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        buffer_.clear();
    }
    int fd() const { return fd_; }

    // Writes everything (false when the peer went away or the deadline passed).
    bool send(const std::string &bytes, int timeout_ms = 5000) {
        size_t done = 0;
        auto end = deadline(timeout_ms);
        while (done < bytes.size()) {
            if (!wait(POLLOUT, end)) return false;
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // Next RTSP answer (header and body); interleaved packets before it are skipped and
    // counted. Empty when the connection closed or the deadline passed.
    std::string answer(int timeout_ms = 5000) {
        auto end = deadline(timeout_ms);
        for (;;) {
            while (!buffer_.empty() && buffer_[0] == '$') {
                if (buffer_.size() < 4) break;
                size_t len = 4 + ((static_cast<uint8_t>(buffer_[2]) << 8) | static_cast<uint8_t>(buffer_[3]));
                if (buffer_.size() < len) break;
                interleaved_ += buffer_.substr(0, len);
                buffer_.erase(0, len);
            }
            size_t head = buffer_.find("\r\n\r\n");
            if (!buffer_.empty() && buffer_[0] != '$' && head != std::string::npos) {
                size_t body = 0;
                size_t cl = buffer_.find("Content-Length: ");
                if (cl != std::string::npos && cl < head) body = std::stoul(buffer_.substr(cl + 16));
                if (buffer_.size() >= head + 4 + body) {
                    std::string a = buffer_.substr(0, head + 4 + body);
                    buffer_.erase(0, a.size());
                    return a;
                }
            }
            if (!fill(end)) return {};
        }
    }

    // Reads until at least n interleaved bytes (whole packets) were collected after the
    // answers; returns them all and clears them.
    std::string interleaved(size_t n, int timeout_ms = 5000) {
        auto end = deadline(timeout_ms);
        while (interleaved_.size() < n) {
            if (!buffer_.empty() && buffer_[0] != '$') {
                if (answer(timeout_ms).empty()) break;
                continue;
            }
            if (buffer_.size() >= 4) {
                size_t len = 4 + ((static_cast<uint8_t>(buffer_[2]) << 8) | static_cast<uint8_t>(buffer_[3]));
                if (buffer_.size() >= len) {
                    interleaved_ += buffer_.substr(0, len);
                    buffer_.erase(0, len);
                    continue;
                }
            }
            if (!fill(end)) break;
        }
        std::string out;
        out.swap(interleaved_);
        return out;
    }

    // True when the server closed the connection before the deadline.
    bool closedByPeer(int timeout_ms = 5000) {
        auto end = deadline(timeout_ms);
        for (;;) {
            if (!wait(POLLIN, end)) return false;
            char b[4096];
            ssize_t n = ::recv(fd_, b, sizeof b, 0);
            if (n <= 0) return true;
        }
    }

private:
    using Clock = std::chrono::steady_clock;
    static Clock::time_point deadline(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }
    bool wait(short events, Clock::time_point end) {
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left < 0) return false;
            pollfd p{fd_, events, 0};
            int r = ::poll(&p, 1, static_cast<int>(left));
            if (r > 0) return true;
            if (r == 0) return false;
        }
    }
    bool fill(Clock::time_point end) {
        if (fd_ < 0 || !wait(POLLIN, end)) return false;
        char b[65536];
        ssize_t n = ::recv(fd_, b, sizeof b, 0);
        if (n <= 0) return false;
        buffer_.append(b, static_cast<size_t>(n));
        return true;
    }

    int fd_ = -1;
    std::string buffer_;
    std::string interleaved_;
};

}  // namespace kxtest
