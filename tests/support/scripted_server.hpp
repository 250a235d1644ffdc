// Scripted loopback peers for tests of the RTSP client and server: one socket end that writes
// scripted bytes (whole, in pieces) and reads RTSP messages (header block plus Content-Length
// body), every read bounded in time. ScriptedServer listens on 127.0.0.1 and runs a script per
// accepted connection in its own thread (a misbehaving server for the client's tests);
// ScriptedClient connects to a port (a hostile client for the server's tests).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kxtest {

// One end of a connection; does not own the socket.
struct ScriptedPeer {
    using Clock = std::chrono::steady_clock;

    int fd = -1;
    int index = 0;                            // 0 for the first connection of a server
    const std::atomic<bool> *stop = nullptr;  // set when the script should end
    std::string pending;                      // read but not yet taken
    bool closed = false;                      // the other end closed its side

    ScriptedPeer() = default;
    ScriptedPeer(int socket, int i, const std::atomic<bool> *stopFlag) : fd(socket), index(i), stop(stopFlag) {}

    bool stopped() const { return stop != nullptr && stop->load(); }

    // Next message (header block plus Content-Length body); empty on close, stop or time-out.
    std::string message(double limit = 3.0) {
        auto end = Clock::now() + std::chrono::duration<double>(limit);
        for (;;) {
            size_t h = pending.find("\r\n\r\n");
            if (h != std::string::npos) {
                size_t body = 0;
                size_t at = pending.find("Content-Length: ");
                if (at != std::string::npos && at < h) body = std::stoul(pending.substr(at + 16));
                if (pending.size() >= h + 4 + body) {
                    std::string r = pending.substr(0, h + 4 + body);
                    pending.erase(0, h + 4 + body);
                    return r;
                }
            }
            if (stopped() || Clock::now() > end) return {};
            if (!readSome(20)) return {};
        }
    }
    bool send(const std::string &s) { return sendBytes(s.data(), s.size()); }
    // Writes everything; false when the other end went away (or, with a limit in seconds,
    // when it stopped taking bytes for that long).
    bool sendBytes(const void *data, size_t n, double limit = 0) {
        const char *p = static_cast<const char *>(data);
        auto end = Clock::now() + std::chrono::duration<double>(limit);
        while (n > 0) {
            if (limit > 0) {
                pollfd w{fd, POLLOUT, 0};
                if (poll(&w, 1, 20) <= 0) {
                    if (Clock::now() > end || stopped()) return false;
                    continue;
                }
            }
            ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL | (limit > 0 ? MSG_DONTWAIT : 0));
            if (k < 0 && limit > 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            if (k <= 0) return false;
            p += k;
            n -= static_cast<size_t>(k);
        }
        return true;
    }
    // Sends in pieces of `piece` bytes with a pause between them.
    bool sendPieces(const std::string &s, size_t piece) {
        for (size_t i = 0; i < s.size(); i += piece) {
            if (!send(s.substr(i, piece))) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
        return true;
    }
    // Waits until the other end closes (true) or the limit passes; what arrives meanwhile is
    // kept for message().
    bool closedByPeer(double limit) {
        auto end = Clock::now() + std::chrono::duration<double>(limit);
        while (!closed && Clock::now() < end && !stopped()) readSome(20);
        return closed;
    }

private:
    // Reads what is there within wait_ms; false once the other end closed.
    bool readSome(int wait_ms) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, wait_ms) <= 0) return true;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            closed = true;
            return false;
        }
        pending.append(buf, static_cast<size_t>(n));
        return true;
    }
};

// A listening socket on 127.0.0.1 with an ephemeral port; each connection runs the script
// in its own thread. Stops and joins everything on destruction.
class ScriptedServer {
public:
    explicit ScriptedServer(std::function<void(ScriptedPeer &)> script) : script_(std::move(script)) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(fd_, 8);
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] { run(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        acceptor_.join();
        for (auto &t : workers_) t.join();
        close(fd_);
    }
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    uint16_t port() const { return port_; }
    int connections() const { return count_.load(); }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> l(m_);
        return requests_;
    }
    void record(const std::string &r) {
        std::lock_guard<std::mutex> l(m_);
        requests_.push_back(r);
    }
    bool sawRequest(const std::string &prefix) {
        for (const std::string &r : requests())
            if (r.rfind(prefix, 0) == 0) return true;
        return false;
    }

private:
    void run() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            int index = count_++;
            workers_.emplace_back([this, c, index] {
                ScriptedPeer conn(c, index, &stop_);
                script_(conn);
                close(c);
            });
        }
    }
    std::function<void(ScriptedPeer &)> script_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> count_{0};
    std::thread acceptor_;
    std::vector<std::thread> workers_;
    std::mutex m_;
    std::vector<std::string> requests_;
};

// The client end: connects to 127.0.0.1:port and owns its socket.
class ScriptedClient : public ScriptedPeer {
public:
    ScriptedClient() = default;
    ~ScriptedClient() { disconnect(); }
    ScriptedClient(const ScriptedClient &) = delete;
    ScriptedClient &operator=(const ScriptedClient &) = delete;

    // rcvbuf > 0 sets a small receive buffer first (a client that reads slowly or not at all).
    bool connect(uint16_t port, int rcvbuf = 0) {
        disconnect();
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    void disconnect() {
        if (fd >= 0) ::close(fd);
        fd = -1;
        pending.clear();
        closed = false;
    }
};

}  // namespace kxtest
