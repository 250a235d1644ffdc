// The wake-up socket pair, the wake channel and the epoll wrapper of the service threads.
// KX_THREADED: wake-ups cross threads, so this file also runs under ThreadSanitizer.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/poller.hpp"
#include "kx/global.h"
#include "kx/socketpipe.h"
#include "kx/time.h"
#include "tests/support/stdout_capture.hpp"

namespace {

using kxtest::StdoutCapture;
using kxtest::strip_colours;

int openDescriptors() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

int sockOpt(int fd, int name) {
    int v = -1;
    socklen_t len = sizeof v;
    if (getsockopt(fd, SOL_SOCKET, name, &v, &len) != 0) return -100;
    return v;
}

// Runs body with captured standard output and returns the records without colours.
template <class F>
std::string records(F body) {
    __get_printfTime();  // keep the clock column's date records out of the capture
    StdoutCapture cap;
    body();
    std::string out = strip_colours(cap.text());
    cap.restore();
    return out;
}

TEST(SocketPipe, BothEndsCarryBytesBothWaysAndNeverBlock) {
    int before = openDescriptors();
    int pair[2] = {0, 0};
    ASSERT_EQ(kx_socket_pipe(pair), 1);
    ASSERT_GE(pair[0], 0);
    ASSERT_GE(pair[1], 0);
    ASSERT_NE(pair[0], pair[1]);
    // Exactly the two ends were made: nothing else (a listener) is left open.
    EXPECT_EQ(openDescriptors(), before + 2);

    struct Dir {
        int from, to;
        char byte;
    } dirs[] = {{pair[0], pair[1], 'a'}, {pair[1], pair[0], 'b'}};
    for (const Dir &d : dirs) {
        ASSERT_EQ(send(d.from, &d.byte, 1, MSG_NOSIGNAL), 1);
        char got = 0;
        ASSERT_EQ(recv(d.to, &got, 1, 0), 1);
        EXPECT_EQ(got, d.byte);
    }
    for (int fd : pair) {
        EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK) << fd;
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;
        EXPECT_EQ(sockOpt(fd, SO_DOMAIN), AF_UNIX) << fd;
        EXPECT_EQ(sockOpt(fd, SO_TYPE), SOCK_STREAM) << fd;
        EXPECT_EQ(sockOpt(fd, SO_ACCEPTCONN), 0) << fd;
        double start = kx_time_uptime_get();
        char c;
        errno = 0;
        EXPECT_EQ(recv(fd, &c, 1, 0), -1);
        EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << errno;
        EXPECT_LT(kx_time_uptime_get() - start, 0.05);
    }
    close(pair[0]);
    close(pair[1]);
}

TEST(SocketPipe, FailureLeavesBothEndsMinusOneWithARecord) {
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    std::vector<int> filler;
    int pair[2] = {0, 0};
    int rv = 0;
    std::string out = records([&] {
        struct rlimit low = saved;
        low.rlim_cur = 256;
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = dup(0)) >= 0;) filler.push_back(fd);
        rv = kx_socket_pipe(pair);
        for (int fd : filler) close(fd);
        setrlimit(RLIMIT_NOFILE, &saved);
    });
    EXPECT_EQ(rv, -1);
    EXPECT_EQ(pair[0], -1);
    EXPECT_EQ(pair[1], -1);
    EXPECT_NE(out.find("(kx_socket_pipe)--Socketpair error:\""), std::string::npos) << out;
    EXPECT_EQ(kx_socket_pipe(nullptr), -1);
}

TEST(WakeChannel, NotifyFromAnotherThreadWakesTheWaitAndDrainEmptiesIt) {
    kx::WakeChannel ch;
    ASSERT_TRUE(ch.valid());
    kx::Poller poller;
    ASSERT_TRUE(poller.valid());
    ASSERT_EQ(poller.add(ch.readFd(), EPOLLIN, &ch), 0);

    std::thread waker([&ch] {
        kx_thread_usleep(50000);
        EXPECT_EQ(ch.notify('1'), 1);
        EXPECT_EQ(ch.notify('s'), 1);
    });
    double start = kx_time_uptime_get();
    struct epoll_event ev[4];
    int n = poller.wait(ev, 4, 5000);
    double took = kx_time_uptime_get() - start;
    waker.join();
    ASSERT_EQ(n, 1);
    EXPECT_EQ(ev[0].data.ptr, &ch);
    EXPECT_TRUE(ev[0].events & EPOLLIN);
    EXPECT_LT(took, 2.0);

    kx_thread_usleep(1000);  // both bytes are in
    char last = 0;
    EXPECT_EQ(ch.drain(&last), 2);
    EXPECT_EQ(last, 's');
    EXPECT_EQ(poller.wait(ev, 4, 0), 0);
    EXPECT_EQ(ch.drain(), 0);
}

TEST(WakeChannel, NotifyOnAFullChannelStillSucceeds) {
    kx::WakeChannel ch;
    ASSERT_TRUE(ch.valid());
    int full = 0;
    for (int i = 0; i < 200000 && full == 0; ++i) {
        ASSERT_EQ(ch.notify('x'), 1) << i;
        char c = 'y';
        if (send(ch.writeFd(), &c, 1, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno == EAGAIN) full = i;
    }
    ASSERT_GT(full, 0) << "the channel never filled";
    EXPECT_EQ(ch.notify('z'), 1);
    EXPECT_GT(ch.drain(), 0);
    char c;
    EXPECT_EQ(recv(ch.readFd(), &c, 1, 0), -1);
}

TEST(Poller, RegistrationErrorsAreLoggedAndKeepErrno) {
    kx::Poller poller;
    ASSERT_TRUE(poller.valid());
    int pair[2];
    ASSERT_EQ(kx_socket_pipe(pair), 1);
    ASSERT_EQ(poller.add(pair[0], EPOLLIN, nullptr), 0);
    EXPECT_EQ(poller.count(), 1u);

    char expect[128];
    struct Case {
        const char *name;
        int (*call)(kx::Poller &, int fd);
        int fd;
        int err;
        const char *format;  // one %d: the descriptor
    } cases[] = {
        {"duplicate add", [](kx::Poller &p, int fd) { return p.add(fd, EPOLLIN | EPOLLOUT, nullptr); }, pair[0], EEXIST,
         "Add fd=%d,events=0x5 error."},
        {"delete unknown", [](kx::Poller &p, int fd) { return p.remove(fd); }, pair[1], ENOENT, "Del fd=%d,error."},
        {"modify unknown", [](kx::Poller &p, int fd) { return p.modify(fd, EPOLLOUT, nullptr); }, pair[1], ENOENT,
         "Mod fd=%d,events=0x4 error."},
        {"invalid op", [](kx::Poller &p, int fd) { return p.control(7, fd, EPOLLIN, (void *)0x1234); }, pair[0], EINVAL,
         "Invalid op(=7),fd=%d,events=0x1,data=0x1234 error."},
    };
    for (const Case &c : cases) {
        int rv = 0, err = 0;
        std::string out = records([&] {
            rv = c.call(poller, c.fd);
            err = errno;
        });
        EXPECT_EQ(rv, -1) << c.name;
        EXPECT_EQ(err, c.err) << c.name;
        snprintf(expect, sizeof expect, c.format, c.fd);
        EXPECT_NE(out.find(std::string("--") + expect + "\n"), std::string::npos) << c.name << ": " << out;
    }
    EXPECT_EQ(poller.count(), 1u);
    EXPECT_EQ(poller.remove(pair[0]), 0);
    EXPECT_EQ(poller.count(), 0u);
    int again = 0;
    records([&] { again = poller.remove(pair[0]); });
    EXPECT_EQ(again, -1);  // gone now
    close(pair[0]);
    close(pair[1]);
}

TEST(Poller, ModifyChangesMaskAndData) {
    kx::Poller poller;
    int pair[2];
    ASSERT_EQ(kx_socket_pipe(pair), 1);
    int a = 0, b = 0;
    ASSERT_EQ(poller.add(pair[0], EPOLLIN, &a), 0);
    struct epoll_event ev[2];
    EXPECT_EQ(poller.wait(ev, 2, 0), 0);  // nothing to read
    ASSERT_EQ(poller.modify(pair[0], EPOLLOUT, &b), 0);
    ASSERT_EQ(poller.wait(ev, 2, 0), 1);  // writable
    EXPECT_EQ(ev[0].events, static_cast<uint32_t>(EPOLLOUT));
    EXPECT_EQ(ev[0].data.ptr, &b);
    ASSERT_EQ(poller.modify(pair[0], EPOLLIN | EPOLLOUT, &a), 0);
    ASSERT_EQ(send(pair[1], "q", 1, MSG_NOSIGNAL), 1);
    ASSERT_EQ(poller.wait(ev, 2, 0), 1);
    EXPECT_EQ(ev[0].events, static_cast<uint32_t>(EPOLLIN | EPOLLOUT));
    EXPECT_EQ(ev[0].data.ptr, &a);
    close(pair[0]);
    close(pair[1]);
}

TEST(Poller, EdgeTriggeredRegistrationReportsOncePerArrival) {
    struct Case {
        uint32_t events;
        int secondWait;  // reports of a second wait without reading
    } cases[] = {{EPOLLIN, 1}, {EPOLLIN | EPOLLET, 0}};
    for (const Case &c : cases) {
        kx::Poller poller;
        int pair[2];
        ASSERT_EQ(kx_socket_pipe(pair), 1);
        ASSERT_EQ(poller.add(pair[0], c.events, nullptr), 0);
        ASSERT_EQ(send(pair[1], "e", 1, MSG_NOSIGNAL), 1);
        struct epoll_event ev[2];
        EXPECT_EQ(poller.wait(ev, 2, 100), 1) << c.events;
        EXPECT_EQ(poller.wait(ev, 2, 0), c.secondWait) << c.events;
        ASSERT_EQ(send(pair[1], "f", 1, MSG_NOSIGNAL), 1);  // a new arrival is an edge again
        EXPECT_EQ(poller.wait(ev, 2, 100), 1) << c.events;
        close(pair[0]);
        close(pair[1]);
    }
}

TEST(Poller, KeepsAll64BitsOfTheUserData) {
    kx::Poller poller;
    int pair[2];
    ASSERT_EQ(kx_socket_pipe(pair), 1);
    const uint64_t values[] = {0x123456789ABCDEF0ull, 0xFFFFFFFF00000001ull, 0x100000000ull};
    for (uint64_t v : values) {
        ASSERT_EQ(poller.add(pair[0], EPOLLOUT, reinterpret_cast<void *>(static_cast<uintptr_t>(v))), 0);
        struct epoll_event ev;
        memset(&ev, 0, sizeof ev);
        ASSERT_EQ(poller.wait(&ev, 1, 100), 1);
        EXPECT_EQ(ev.data.u64, v);
        ASSERT_EQ(poller.remove(pair[0]), 0);
    }
    close(pair[0]);
    close(pair[1]);
}

TEST(Poller, ManyReadyDescriptorsAreAllReportedAcrossWaits) {
    constexpr int kPairs = 250;  // 500 descriptors
    kx::Poller poller;
    std::vector<int> fds;
    for (int i = 0; i < kPairs; ++i) {
        int pair[2];
        ASSERT_EQ(kx_socket_pipe(pair), 1);
        fds.push_back(pair[0]);
        fds.push_back(pair[1]);
    }
    for (size_t i = 0; i < fds.size(); ++i) {
        ASSERT_EQ(send(fds[i], "r", 1, MSG_NOSIGNAL), 1);  // makes its peer readable
        ASSERT_EQ(poller.add(fds[i], EPOLLIN, reinterpret_cast<void *>(i + 1)), 0);
    }
    struct epoll_event all[1024];
    EXPECT_EQ(poller.wait(all, 1024, 100), static_cast<int>(fds.size()));

    std::set<size_t> seen;
    struct epoll_event ev[64];
    for (int round = 0; round < 100 && seen.size() < fds.size(); ++round) {
        int n = poller.wait(ev, 64, 100);
        ASSERT_GT(n, 0) << "after " << seen.size() << " reports";
        ASSERT_LE(n, 64);
        for (int k = 0; k < n; ++k) {
            size_t index = reinterpret_cast<uintptr_t>(ev[k].data.ptr) - 1;
            ASSERT_LT(index, fds.size());
            EXPECT_TRUE(seen.insert(index).second) << "reported twice: " << index;
            char c;
            ASSERT_EQ(recv(fds[index], &c, 1, 0), 1);  // no longer ready
        }
    }
    EXPECT_EQ(seen.size(), fds.size());
    EXPECT_EQ(poller.wait(ev, 64, 0), 0);
    EXPECT_EQ(poller.count(), fds.size());
    for (int fd : fds) close(fd);
}

TEST(Poller, TimeOutReturnsZeroAfterTheTimeOut) {
    kx::Poller poller;
    kx::WakeChannel ch;
    ASSERT_EQ(poller.add(ch.readFd(), EPOLLIN, &ch), 0);
    struct epoll_event ev[2];
    for (int ms : {0, 30}) {
        double start = kx_time_uptime_get();
        EXPECT_EQ(poller.wait(ev, 2, ms), 0) << ms;
        double took = kx_time_uptime_get() - start;
        EXPECT_GE(took, ms * 1e-3 - 1e-3) << ms;
        EXPECT_LT(took, ms * 1e-3 + 0.2) << ms;
    }
}

void onSignal(int) {}

TEST(Poller, SignalDuringWaitIsAnEmptyWake) {
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    struct sigaction old;
    ASSERT_EQ(sigaction(SIGUSR2, &sa, &old), 0);
    kx::Poller poller;
    kx::WakeChannel ch;
    ASSERT_EQ(poller.add(ch.readFd(), EPOLLIN, &ch), 0);
    pthread_t self = pthread_self();
    std::atomic<bool> waiting{true};
    std::thread poke([&] {
        while (waiting.load()) {
            pthread_kill(self, SIGUSR2);
            kx_thread_usleep(20000);
        }
    });
    struct epoll_event ev[2];
    double start = kx_time_uptime_get();
    std::string out;
    int n = -2;
    out = records([&] { n = poller.wait(ev, 2, 5000); });
    double took = kx_time_uptime_get() - start;
    waiting.store(false);
    poke.join();
    sigaction(SIGUSR2, &old, nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_LT(took, 2.0);
    EXPECT_EQ(out, "");
}

TEST(Poller, InvalidWaitIsLoggedAsSelectError) {
    kx::Poller poller;
    kx::WakeChannel ch;
    ASSERT_EQ(poller.add(ch.readFd(), EPOLLIN, &ch), 0);
    struct epoll_event ev[1];
    int n = 0, err = 0;
    std::string out = records([&] {
        n = poller.wait(ev, 0, 10);
        err = errno;
    });
    EXPECT_EQ(n, -1);
    EXPECT_EQ(err, EINVAL);
    EXPECT_NE(out.find("--Select error:\"Invalid argument\",rv=-1,count=1/0,timeout=10.\n"), std::string::npos) << out;
}

}  // namespace
