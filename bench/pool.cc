// Socket pool cost: one pool thread holding N given-socket HTTP-framed items (default 1000)
// over loopback connections whose peers live in this process (one receiver thread). Every
// item is sent a stream of 1400-byte strings at R Mb/s (default 4): the producer makes one
// string per packet slot and queues that same shared string on every item, as a server
// fanning a stream out to its viewers does. Prints the pool thread's CPU per connection and
// per Gb/s, the bytes delivered against the bytes due, and the latency from queueing to the
// peer's receive (median and 99th percentile). With --copy every item gets its own copy of
// each string instead (the per-client copy of a naive fan-out), for comparison.
//
//   bench_pool [--items N] [--rate MBPS] [--seconds S] [--size BYTES] [--copy]
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kx/objectlist.h"
#include "kx/socket.h"
#include "kx/socketpool.h"
#include "kx/string.h"
#include "kx/time.h"

namespace {

FILE *out = stdout;  // figures; the library's records go to a file

struct Options {
    int items = 1000;
    double rate = 4.0;  // Mb/s per item
    double seconds = 10.0;
    uint32_t size = 1400;
    bool copy = false;
};

pid_t this_tid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// CPU seconds of one thread of this process (scheduler run time).
double thread_cpu(pid_t tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    unsigned long long ns = 0;
    f >> ns;
    return ns * 1e-9;
}

std::vector<pid_t> threads() {
    std::vector<pid_t> v;
    DIR *d = opendir("/proc/self/task");
    if (!d) return v;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') v.push_back(static_cast<pid_t>(atoi(e->d_name)));
    }
    closedir(d);
    return v;
}

// Peer side: reads every connection, cuts the stream into strings, and takes the queueing
// time stamped into the first 8 bytes of each string.
struct Receiver {
    const std::vector<int> &fds;
    uint32_t size;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> bytes{0};
    std::atomic<pid_t> tid{0};
    std::vector<double> latencies;  // every 8th string
    bool measuring = false;

    Receiver(const std::vector<int> &f, uint32_t s) : fds(f), size(s) {}

    void run() {
        tid = this_tid();
        int ep = epoll_create1(EPOLL_CLOEXEC);
        struct Conn {
            uint64_t offset = 0;  // bytes of the stream read so far
            unsigned char head[8];
        };
        std::vector<Conn> conns(fds.size());
        for (size_t i = 0; i < fds.size(); ++i) {
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.u64 = i;
            epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &e);
        }
        std::vector<epoll_event> ev(256);
        std::vector<unsigned char> buf(1 << 16);
        uint64_t count = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            int n = epoll_wait(ep, ev.data(), static_cast<int>(ev.size()), 20);
            for (int k = 0; k < n; ++k) {
                size_t i = ev[k].data.u64;
                ssize_t r = recv(fds[i], buf.data(), buf.size(), MSG_DONTWAIT);
                if (r <= 0) continue;
                double now = kx_time_uptime_get();
                bytes.fetch_add(static_cast<uint64_t>(r), std::memory_order_relaxed);
                Conn &c = conns[i];
                for (ssize_t p = 0; p < r;) {
                    uint64_t at = c.offset % size;
                    if (at < 8) {
                        size_t take = std::min<size_t>(8 - at, static_cast<size_t>(r - p));
                        memcpy(c.head + at, buf.data() + p, take);
                        p += static_cast<ssize_t>(take);
                        c.offset += take;
                        if (c.offset % size == 8 && (++count & 7) == 0 && measuring) {
                            double t;
                            memcpy(&t, c.head, 8);
                            latencies.push_back(now - t);
                        }
                    } else {
                        size_t take = std::min<size_t>(size - at, static_cast<size_t>(r - p));
                        p += static_cast<ssize_t>(take);
                        c.offset += take;
                    }
                }
            }
        }
        close(ep);
    }
};

double percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * (v.size() - 1) + 0.5))];
}

int run(const Options &o) {
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, static_cast<rlim_t>(2 * o.items + 256));
    setrlimit(RLIMIT_NOFILE, &rl);

    uint16_t port = 0;
    int listener = kx_Socket_unix_bind__IO(&port, 0, static_cast<uint32_t>(o.items));
    if (listener < 0) return 1;
    socketPool *pool = socketPool_new__IO("bench_pool", nullptr, 0, nullptr, 60.0, 0, 1.0);
    if (pool == nullptr || socketPool_startThread(pool, -1) != 1) return 1;
    std::vector<int> peers;
    std::vector<socketPool_item *> items;
    for (int i = 0; i < o.items; ++i) {
        int peer = kx_Socket_unix_connect__IO(port, 0, 5.0);
        int s = kx_Socket_unix_accept(nullptr, nullptr, listener, 0, 5.0);
        if (peer < 0 || s < 0) {
            fprintf(out, "connection %d failed (descriptor limit %llu)\n", i, (unsigned long long)rl.rlim_cur);
            return 1;
        }
        peers.push_back(peer);
        socketPool_item *it = socketPool_item_new_http_bySock__OI__OI(s, htonl(INADDR_LOOPBACK), 0, 0);
        socketPool_add_item__OI_2(pool, it);
        items.push_back(it);
    }
    close(listener);

    Receiver rx(peers, o.size);
    std::thread receiver([&] { rx.run(); });
    while (rx.tid.load() == 0) usleep(1000);
    const std::set<pid_t> mine = {this_tid(), rx.tid.load()};
    pid_t poolTid = 0;
    for (pid_t t : threads()) {
        if (!mine.count(t)) poolTid = t;
    }

    const double perSecond = o.rate * 1e6 / 8 / o.size;  // strings per second per item
    const double warmup = 1.0;
    std::vector<char> payload(o.size, 'p');
    uint64_t due = 0, sent = 0;
    double start = kx_time_uptime_get(), measureStart = start + warmup;
    double cpu0 = 0, wall0 = 0, producer0 = 0;
    uint64_t bytes0 = 0, sent0 = 0;
    bool behind = false;
    const double end = measureStart + o.seconds;
    for (;;) {
        double now = kx_time_uptime_get();
        if (now >= end) break;
        if (!rx.measuring && now >= measureStart) {
            cpu0 = thread_cpu(poolTid);
            producer0 = thread_cpu(this_tid());
            wall0 = now;
            bytes0 = rx.bytes.load();
            sent0 = sent;
            rx.measuring = true;  // written before the receiver reads the new latencies: benign for a benchmark
        }
        due = static_cast<uint64_t>((now - start) * perSecond);
        for (; sent < due; ++sent) {
            double t = kx_time_uptime_get();
            memcpy(payload.data(), &t, 8);
            if (o.copy) {
                for (socketPool_item *it : items) socketPool_item_send_buffer(it, o.size, payload.data());
            } else {
                kx_String *s = kx_String_new_form_stringBuffer__IO(payload.data(), o.size);
                for (socketPool_item *it : items) socketPool_item_send_share(it, s);
                kx_String_delete__OI(s);
            }
        }
        // A pool that falls behind shows as a growing queue: stop before memory runs out.
        pthread_mutex_lock(&items[0]->sendList->mutex);
        uint32_t backlog = items[0]->sendList->count;
        pthread_mutex_unlock(&items[0]->sendList->mutex);
        if (backlog > perSecond * 2) {
            behind = true;
            break;
        }
        usleep(1000);
    }
    double wall1 = kx_time_uptime_get();
    double cpu1 = thread_cpu(poolTid);
    double producer1 = thread_cpu(this_tid());
    uint64_t bytes1 = rx.bytes.load();
    uint64_t sent1 = sent;
    rx.stop = true;
    receiver.join();

    double wall = wall1 - wall0, cpu = cpu1 - cpu0;
    double delivered = static_cast<double>(bytes1 - bytes0);
    double dueBytes = static_cast<double>(sent1 - sent0) * o.size * o.items;
    double gbps = delivered * 8 / wall / 1e9;
    fprintf(out, "socket pool: %d connections x %.1f Mb/s, %u-byte strings, %s, %.1f s measured\n", o.items, o.rate,
            o.size, o.copy ? "one copy per connection" : "one shared string for all connections", wall);
    fprintf(out, "  delivered: %.0f MB of %.0f MB queued (%.1f %%), %.3f Gb/s%s\n", delivered / 1e6, dueBytes / 1e6,
            dueBytes > 0 ? 100 * delivered / dueBytes : 0, gbps, behind ? "  FELL BEHIND (queue above 2 s)" : "");
    fprintf(out, "  pool thread CPU: %.2f s in %.2f s = %.1f %% of a core; %.4f %% per connection; %.1f %% per Gb/s\n",
            cpu, wall, 100 * cpu / wall, 100 * cpu / wall / o.items, gbps > 0 ? 100 * cpu / wall / gbps : 0);
    fprintf(out, "  producer thread CPU (queueing on every connection): %.1f %% of a core\n",
            100 * (producer1 - producer0) / wall);
    fprintf(out, "  latency queue -> peer receive: median %.3f ms, p99 %.3f ms (%zu samples)\n",
            1e3 * percentile(rx.latencies, 0.5), 1e3 * percentile(rx.latencies, 0.99), rx.latencies.size());
    fflush(out);

    socketPool_delete__OI(pool);
    for (int p : peers) close(p);
    return behind ? 2 : 0;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](double *v) {
            if (i + 1 < argc) *v = atof(argv[++i]);
        };
        double v = 0;
        if (a == "--items") {
            next(&v);
            o.items = static_cast<int>(v);
        } else if (a == "--rate") {
            next(&o.rate);
        } else if (a == "--seconds") {
            next(&o.seconds);
        } else if (a == "--size") {
            next(&v);
            o.size = static_cast<uint32_t>(v);
        } else if (a == "--copy") {
            o.copy = true;
        } else {
            fprintf(stderr, "usage: %s [--items N] [--rate MBPS] [--seconds S] [--size BYTES] [--copy]\n", argv[0]);
            return 2;
        }
    }
    if (o.items < 1 || o.size < 16 || o.rate <= 0 || o.seconds <= 0) return 2;
    // Figures on the original standard output, the library's records in a file.
    int keep = dup(STDOUT_FILENO);
    out = fdopen(keep, "w");
    std::string log = "/tmp/bench_pool." + std::to_string(getpid()) + ".log";
    if (!freopen(log.c_str(), "w", stdout)) return 1;
    int rv = run(o);
    unlink(log.c_str());
    return rv;
}
