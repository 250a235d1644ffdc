// Readiness waiting for service threads, and their wake-up channel.
//
// Poller wraps one native epoll instance. It is internal to the library: the public
// names epoll_* stay libc's. Registrations keep the full 64-bit user data, there is no
// limit on the number of descriptors, and edge-triggered (EPOLLET) or one-shot
// registrations pass through unchanged. Ready descriptors are reported in the order the
// kernel gives them, not sorted by descriptor.
//
// A Poller belongs to one worker thread, which registers, waits and destroys it. Other
// threads wake that worker through its WakeChannel, registered with EPOLLIN.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kx {

class Poller {
public:
    Poller();  // epoll_create1(EPOLL_CLOEXEC); on failure logs and valid() is false
    ~Poller();
    Poller(const Poller &) = delete;
    Poller &operator=(const Poller &) = delete;

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // 0 on success, -1 with an error record (errno kept from the failing call).
    // add fails for a descriptor already registered, modify and remove for an unknown one.
    int add(int fd, uint32_t events, void *data);
    int modify(int fd, uint32_t events, void *data);
    int remove(int fd);
    // op is EPOLL_CTL_ADD, EPOLL_CTL_DEL or EPOLL_CTL_MOD; anything else is logged, -1/EINVAL.
    int control(int op, int fd, uint32_t events, void *data);

    // Waits up to timeoutMs milliseconds (negative: no limit) and fills at most maxEvents
    // records. Returns the count, 0 on time-out or when a signal interrupted the wait, -1
    // with an error record on failure (also for maxEvents < 1 or a null out, errno EINVAL).
    int wait(struct epoll_event *out, int maxEvents, int timeoutMs);

    // Registrations made through this poller and not yet removed.
    size_t count() const { return count_.load(std::memory_order_relaxed); }

private:
    int fd_ = -1;
    std::atomic<size_t> count_{0};
};

// One wake-up channel: a kx_socket_pipe pair. Any thread may notify; the owner registers
// readFd() with its Poller and drains it when woken.
class WakeChannel {
public:
    WakeChannel();  // builds the pair; valid() is false when that failed (already logged)
    ~WakeChannel();
    WakeChannel(const WakeChannel &) = delete;
    WakeChannel &operator=(const WakeChannel &) = delete;

    bool valid() const { return fds_[0] >= 0; }
    int readFd() const { return fds_[0]; }
    int writeFd() const { return fds_[1]; }

    // Writes the byte c (never raises SIGPIPE, never blocks). 1 when the byte was written
    // or the channel is full (a wake-up is pending anyway), -1 otherwise with errno set.
    int notify(char c);

    // Reads everything pending. Returns the bytes read, -1 on an error other than EAGAIN
    // (errno set). With lastByte non-null, stores the last byte read (untouched if none).
    long drain(char *lastByte = nullptr);

private:
    int fds_[2] = {-1, -1};
};

}  // namespace kx
