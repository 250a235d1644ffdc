// socketPool: one service thread driving many framed TCP connections (kx/socketpool.h).
//
// Every connection is registered once, edge-triggered for input, output and peer hang-up,
// and stays so while it is open: a queued string is written at once when the item is woken
// through the write list, and later from the writable edge after the socket buffer filled.
// Queued strings go out in gathered writes, many per call.
#include "serve/pool.hpp"

#include <arpa/inet.h>
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <new>
#include <vector>

#include "core/log.hpp"
#include "core/poller.hpp"
#include "core/service.hpp"
#include "core/string_internal.hpp"
#include "kx/objectlist.h"
#include "kx/string.h"
#include "kx/time.h"
#include "serve/framer.hpp"
#include "sys/socket.hpp"

#define IP4(it) (unsigned char)((it)->ipv4 & 0xFF), (unsigned char)(((it)->ipv4 >> 8) & 0xFF), \
                (unsigned char)(((it)->ipv4 >> 16) & 0xFF), (unsigned char)((it)->ipv4 >> 24), (it)->port
#define SERVER "\"%hhu.%hhu.%hhu.%hhu:%hu\""
#define THREAD_LOGE(fmt, ...) KX_LOG_ERROR_AT(5, __LINE__, "socketPool_private_thread", fmt __VA_OPT__(, ) __VA_ARGS__)
#define THREAD_LOGI(fmt, ...) KX_LOG_INFO_AT(5, __LINE__, "socketPool_private_thread", fmt __VA_OPT__(, ) __VA_ARGS__)

namespace {

constexpr double kTickPeriod = 5.0;
constexpr double kIdleWait = 4.0;
constexpr int kMaxGather = 256;  // strings per gathered write
constexpr uint32_t kEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;

kx::pool::Limits default_limits() { return kx::pool::Limits(); }

// The pool's private state of an item.
struct ItemImpl {
    std::unique_ptr<kx::pool::HttpFramer> http;
    std::unique_ptr<kx::pool::StandardFramer> standard;
    bool registered = false;
    double attemptStart = 0;  // uptime at which the pending connect began
};

ItemImpl &impl(socketPool_item *it) { return *static_cast<ItemImpl *>(it->impl); }

socketPool *poolOf(socketPool_item *it) {
    return std::atomic_ref<socketPool *>(it->pool).load(std::memory_order_acquire);
}
void setPool(socketPool_item *it, socketPool *p) {
    std::atomic_ref<socketPool *>(it->pool).store(p, std::memory_order_release);
}
double connectTimeOf(const socketPool_item *it) {
    return std::atomic_ref<double>(const_cast<double &>(it->connectTime)).load(std::memory_order_relaxed);
}
void setConnectTime(socketPool_item *it, double t) {
    std::atomic_ref<double>(it->connectTime).store(t, std::memory_order_relaxed);
}
unsigned char modeOf(socketPool_item *it) {
    return std::atomic_ref<unsigned char>(it->mode).load(std::memory_order_relaxed);
}

struct ListLock {
    explicit ListLock(kx_ObjectList *l) : m(&l->mutex) { pthread_mutex_lock(m); }
    ~ListLock() { pthread_mutex_unlock(m); }
    pthread_mutex_t *m;
};

kx_String *list_at(kx_ObjectList *l, uint32_t i) { return static_cast<kx_String *>(l->array[l->start + i]); }

void delete_string(void *s) { kx_String_delete__OI(static_cast<kx_String *>(s)); }

// Printable preview of received bytes for the log records.
std::string preview(const char *data, size_t size) {
    std::string out;
    size_t n = size < 64 ? size : 64;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        out += (c >= 0x20 && c < 0x7F && c != '"') ? static_cast<char>(c) : '.';
    }
    return out;
}

// Length decision through a caller's function (standard framing with a custom head).
int callers_length(void *context, const uint8_t *head, size_t headLength, kx_String **message) {
    auto *it = static_cast<socketPool_item *>(context);
    memcpy(it->head, head, headLength);
    it->receivingString = nullptr;
    int rv = it->getRecvLength ? it->getRecvLength(it) : -1;
    *message = it->receivingString;
    it->receivingString = nullptr;  // the framer holds it from here
    if (rv != 1 && *message != nullptr) {
        kx_String_delete__OI(*message);
        *message = nullptr;
    }
    return rv;
}

}  // namespace

struct socketPool final : public kx::ServiceThread {
    socketPool(const char *name, monitor *m, pthread_t parent, unsigned char *run, double keep, uint32_t maxCount,
               double connectTimeoutSeconds)
        : ServiceThread(options(name, m, parent, run)),
          keepTime(keep),
          recvListMaxCount(maxCount),
          connectTimeout(connectTimeoutSeconds) {}
    ~socketPool() override { stop(); }

    static Options options(const char *name, monitor *m, pthread_t parent, unsigned char *run) {
        Options o;
        o.name = name;
        o.pMonitor = m;
        o.parentTid = parent;
        o.externRunStatus = run;
        o.idleWait = kIdleWait;
        o.labels = {"socketPool_new__IO", "socketPool_startThread", "socketPool_stopThread",
                    "socketPool_private_thread", "socketPool_add_item__OI_2"};
        return o;
    }

    const double keepTime;
    const uint32_t recvListMaxCount;
    const double connectTimeout;
    std::atomic<double> tickPeriod{kTickPeriod};
    std::atomic<uint64_t> ticks{0};
    kx::pool::Limits limits = default_limits();
    std::atomic<uint64_t> sentBytesTotal{0}, recvBytesTotal{0};

    // Every listed item, in pointer order: changed only by onCommand (service mutex).
    std::vector<socketPool_item *> items;
    // Items whose send list went from empty to non-empty; any thread appends under writeMutex.
    std::mutex writeMutex;
    std::vector<socketPool_item *> writeList;

    void queued(socketPool_item *it);  // called by senders, holding the item's send-list lock
    void wakeWriter();                 // wakes the thread for the write list

protected:
    int onCommand(int command, void *p, Worker *w) override;
    void onThreadStart(Worker &w) override;
    double onTick(Worker &w, double now) override;
    void onEvent(Worker &w, uint32_t events, void *data) override;
    void onWake(Worker &w) override;
    void onThreadExit(Worker &w) override;
    std::string parameterText() const override;

private:
    void connect(socketPool_item *it, double now);
    void connected(socketPool_item *it, double now, uint32_t events, bool logged);
    bool watch(socketPool_item *it);
    void unwatch(socketPool_item *it);
    void closeItem(socketPool_item *it);
    void receive(socketPool_item *it, double now);
    template <typename Framer, typename Report>
    void readInto(socketPool_item *it, double now, Framer &f, Report report);
    void deliver(socketPool_item *it, kx::pool::Messages &messages);
    void flush(socketPool_item *it);
    void account(socketPool_item *it, size_t n, double now, bool sent);

    Worker *worker_ = nullptr;  // set while the thread runs
    double nextTick_ = 0;
};

// ---- commands ----

int socketPool::onCommand(int command, void *p, Worker *w) {
    auto *it = static_cast<socketPool_item *>(p);
    if (command == kx::kCommandAdd) {
        auto pos = std::lower_bound(items.begin(), items.end(), it);
        if (pos != items.end() && *pos == it) {
            KX_LOG_ERROR_AT(5, __LINE__, "socketPool_add_item__OI_2", "Add item has exist,server:" SERVER ".", IP4(it));
            return 0;
        }
        items.insert(pos, it);
        {
            ListLock lock(it->sendList);
            setPool(it, this);
        }
        if (w == nullptr) return 1;  // the thread registers it when it starts
        double now = kx_time_uptime_get();
        double t = connectTimeOf(it);
        if (t > 0) {
            if (watch(it)) flush(it);
        } else if (t == 0) {
            unsigned char m = modeOf(it);
            if (m == SOCKETPOOL_MODE_RECONNECT) std::atomic_ref<unsigned char>(it->mode).store(0);
            if (m == SOCKETPOOL_MODE_CONNECT || m == SOCKETPOOL_MODE_RECONNECT) connect(it, now);
        }
        return 1;
    }
    if (command == kx::kCommandRemove) {
        auto pos = std::lower_bound(items.begin(), items.end(), it);
        if (pos == items.end() || *pos != it) {
            KX_LOG_ERROR_AT(5, __LINE__, "socketPool_remove_item__IO_2", "Remove item not exist,server:" SERVER ".",
                            IP4(it));
            return 0;
        }
        double t = connectTimeOf(it);
        if (t < 0) {
            closeItem(it);  // an attempt is abandoned
        } else if (t > 0 && w != nullptr) {
            // The connection stays open and the item's; a partly written string stays the
            // item's with its offset, so a later add continues the byte stream.
            unwatch(it);
            if (it->headLength == 0) impl(it).http->reset();
            else impl(it).standard->reset();
            it->recvOffset = 0;
        }
        // Without a worker in its loop no readiness set holds the item any more (a leaving
        // worker's set goes with it).
        if (w == nullptr) impl(it).registered = false;
        else w->forget(it);
        items.erase(pos);
        {
            ListLock lock(it->sendList);
            setPool(it, nullptr);
        }
        std::lock_guard<std::mutex> lock(writeMutex);
        writeList.erase(std::remove(writeList.begin(), writeList.end(), it), writeList.end());
        return 1;
    }
    return -1;
}

namespace {
// Pools whose wake-up waits for the end of this thread's send batch.
thread_local bool t_batching = false;
thread_local std::vector<socketPool *> t_batched;
}  // namespace

void socketPool::queued(socketPool_item *it) {
    bool first;
    {
        std::lock_guard<std::mutex> lock(writeMutex);
        first = writeList.empty();
        writeList.push_back(it);
    }
    // One wake-up per batch of queued items: the thread empties the list after it woke.
    if (!first) return;
    if (t_batching) {
        if (std::find(t_batched.begin(), t_batched.end(), this) != t_batched.end()) return;
        try {
            t_batched.push_back(this);
            return;
        } catch (const std::bad_alloc &) {
            // woken now instead
        }
    }
    wakeWriter();
}

void socketPool::wakeWriter() {
    if (wake('w', 0) != 1) {
        int err = errno;
        KX_LOGE("write pipe(=%d) error:\"%s\".", wakeReadFd(0), kx::errtext(err));
    }
}

kx::pool::SendBatch::SendBatch() : outer_(!t_batching) { t_batching = true; }

kx::pool::SendBatch::~SendBatch() {
    if (!outer_) return;
    t_batching = false;
    for (socketPool *pool : t_batched) pool->wakeWriter();
    t_batched.clear();
}

// ---- thread hooks ----

void socketPool::onThreadStart(Worker &w) {
    nextTick_ = 0;
    {
        std::lock_guard<std::mutex> lock(writeMutex);
        writeList.clear();
    }
    std::lock_guard<std::mutex> lock(mutex());  // callers apply commands themselves until the loop runs
    worker_ = &w;
    for (socketPool_item *it : items) {
        impl(it).registered = false;
        if (connectTimeOf(it) > 0) watch(it);
    }
}

void socketPool::onThreadExit(Worker &) {
    for (socketPool_item *it : items) {
        if (connectTimeOf(it) != 0) closeItem(it);
        if (it->sendingString != nullptr) {
            kx_ObjectList_insert_head_pthreadSafety(it->sendList, it->sendingString);
            it->sendingString = nullptr;
        }
        it->sendOffset = 0;
        impl(it).registered = false;
    }
    worker_ = nullptr;
}

std::string socketPool::parameterText() const {
    char text[512];
    snprintf(text, sizeof text,
             "threadName:\"%s\"\n  pMonitor=%#lx\n  parentTid=%ld\n  externRunStatus=%#lx\n  socketList=%#lx\n"
             "  socketListWrite=%#lx\n  pipe=%d-%d\n  keepTime=%lf\n  recvListMaxCount=%u\n  connectTimeout=%lf\n",
             name().c_str(), (unsigned long)(uintptr_t)pMonitor(), (long)parentTid(),
             (unsigned long)(uintptr_t)externRunStatus(), (unsigned long)(uintptr_t)&items,
             (unsigned long)(uintptr_t)&writeList, wakeReadFd(0), -1, keepTime, recvListMaxCount, connectTimeout);
    return text;
}

double socketPool::onTick(Worker &, double now) {
    const double period = tickPeriod.load();
    if (now >= nextTick_) {
        nextTick_ = now + period;
        ticks.fetch_add(1, std::memory_order_relaxed);
        // Commands change the list only on this thread while it runs: no lock needed here
        // (and none may be taken: a caller holds the mutex until this thread takes its command).
        const std::vector<socketPool_item *> snapshot = items;
        for (socketPool_item *it : snapshot) {
            double t = connectTimeOf(it);
            unsigned char m = modeOf(it);
            if (t > 0 && !impl(it).registered && watch(it)) flush(it);  // added while the thread was starting
            t = connectTimeOf(it);
            if (t > 0) {
                if (m == SOCKETPOOL_MODE_CONNECT || m == SOCKETPOOL_MODE_GIVEN) {
                    double idle = now - it->lastActiveTime;
                    if (idle > keepTime) {
                        unsigned long queued;
                        {
                            ListLock lock(it->sendList);
                            queued = it->sendList->count;
                        }
                        THREAD_LOGE("No recv or send data timeout(%lf/%lf) from the sock(=%d) of the server:" SERVER
                                    ",sendCount=%lu.",
                                    idle, keepTime, it->sock, IP4(it), queued);
                        closeItem(it);
                    }
                } else {
                    closeItem(it);
                    if (m == SOCKETPOOL_MODE_RECONNECT) {
                        std::atomic_ref<unsigned char>(it->mode).store(0);
                        connect(it, now);
                    }
                }
            } else if (t < 0) {
                // A connect begun shortly before this tick gets a whole period.
                if (now - impl(it).attemptStart >= period) {
                    THREAD_LOGI("Try connect the server:" SERVER " timeout,sock=%d.", IP4(it), it->sock);
                    closeItem(it);
                    if (m == SOCKETPOOL_MODE_CONNECT) connect(it, now);
                }
            } else if (m == SOCKETPOOL_MODE_RECONNECT) {
                std::atomic_ref<unsigned char>(it->mode).store(0);
                connect(it, now);
            } else if (m == SOCKETPOOL_MODE_CONNECT) {
                connect(it, now);
            }
        }
    }
    double left = nextTick_ - kx_time_uptime_get();
    if (left < 0) left = 0;
    return left < kIdleWait ? left : kIdleWait;
}

void socketPool::onWake(Worker &) {
    std::vector<socketPool_item *> woken;
    {
        std::lock_guard<std::mutex> lock(writeMutex);
        woken.swap(writeList);
    }
    for (socketPool_item *it : woken) {
        // Items leave writeList when they are removed, so every one is still listed here.
        if (poolOf(it) == this && connectTimeOf(it) > 0) flush(it);
    }
}

void socketPool::onEvent(Worker &, uint32_t events, void *data) {
    auto *it = static_cast<socketPool_item *>(data);
    double now = kx_time_uptime_get();
    if (connectTimeOf(it) < 0) {
        // The pending connect has an outcome.
        int err = 0;
        if (kx::net::pendingError(it->sock, &err) != 0) {
            THREAD_LOGE("Getsockopt error:\"%s\",sock=%d,server:" SERVER ".", kx::errtext(errno), it->sock, IP4(it));
            closeItem(it);
        } else if (err != 0) {
            THREAD_LOGE("opt(=%d) error:\"%s\",sock=%d,server:" SERVER ".", err, kx::errtext(err), it->sock, IP4(it));
            closeItem(it);
        } else {
            connected(it, now, events, true);
        }
        return;
    }
    if (connectTimeOf(it) == 0) return;
    const uint32_t other = events & ~static_cast<uint32_t>(EPOLLIN | EPOLLOUT);
    // Data that arrived before a hang-up is still read and delivered.
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) receive(it, now);
    if (connectTimeOf(it) <= 0) return;
    if (other != 0) {
        if (!(other & (EPOLLRDHUP | EPOLLHUP)))
            THREAD_LOGI("The sock(=%d) of the server:" SERVER " error,rv=%#x.", it->sock, IP4(it), events);
        closeItem(it);
        return;
    }
    if (events & EPOLLOUT) flush(it);
}

// ---- connections ----

bool socketPool::watch(socketPool_item *it) {
    kx::Poller *poller = worker_ ? worker_->poller() : nullptr;
    if (poller == nullptr || it->sock < 0) return false;
    ItemImpl &m = impl(it);
    int rv = m.registered ? poller->modify(it->sock, kEvents, it) : poller->add(it->sock, kEvents, it);
    if (rv != 0) {
        int err = errno;
        THREAD_LOGE("Epoll_ctl the sock(=%d) of the server:" SERVER " error:\"%s\",epollfd=%ld,events=%u.", it->sock,
                    IP4(it), kx::errtext(err), (long)poller->fd(), kEvents);
        return false;
    }
    m.registered = true;
    return true;
}

void socketPool::unwatch(socketPool_item *it) {
    ItemImpl &m = impl(it);
    kx::Poller *poller = worker_ ? worker_->poller() : nullptr;
    if (m.registered && poller != nullptr && it->sock >= 0 && poller->remove(it->sock) != 0) {
        int err = errno;
        THREAD_LOGE("Epoll_ctl error:\"%s\",epollfd=%ld,sock=%d.", kx::errtext(err), (long)poller->fd(), it->sock);
    }
    m.registered = false;
    if (worker_) worker_->forget(it);
}

void socketPool::closeItem(socketPool_item *it) {
    {
        ListLock lock(it->sendList);
        unwatch(it);
        setConnectTime(it, 0);
    }
    if (it->sock >= 0) {
        shutdown(it->sock, SHUT_RDWR);
        close(it->sock);
    }
    it->sock = -1;
    it->recvOffset = 0;
    it->sendOffset = 0;  // the string being sent goes again from its start after a reconnect
    if (it->headLength == 0) impl(it).http->reset();
    else impl(it).standard->reset();
    kx_String_delete__OI(it->receivingString);
    it->receivingString = nullptr;
}

void socketPool::connect(socketPool_item *it, double now) {
    static const char *const label = "socketPool_private_connect";
    int fd = kx::net::openTcp(true);
    if (fd < 0) {
        int err = errno;
        if (fd == kx::net::kOpenSocket)
            KX_LOG_ERROR_AT(5, __LINE__, label, "Socket error:\"%s\",server:" SERVER ",rv=%d.", kx::errtext(err), IP4(it),
                            fd);
        else if (fd == kx::net::kOpenMode)
            KX_LOG_ERROR_AT(5, __LINE__, label, "Fcntl error:\"%s\",sock=%d,server:" SERVER ".", kx::errtext(err), -1,
                            IP4(it));
        else
            KX_LOG_ERROR_AT(5, __LINE__, label, "Setsockopt error:\"%s\",sock=%d,server:" SERVER ".", kx::errtext(err),
                            -1, IP4(it));
        return;
    }
    kx::net::setNoDelay(fd);
    int state = kx::net::connectStart(fd, it->ipv4, it->port);
    if (state == kx::net::kConnectFailed) {
        KX_LOG_ERROR_AT(5, __LINE__, label, "Connect error:\"%s\",sock=%d,server:" SERVER ".", kx::errtext(errno), fd,
                        IP4(it));
        close(fd);
        return;
    }
    it->sock = fd;
    if (state == kx::net::kConnected) {
        KX_LOG_INFO_AT(5, __LINE__, label, "Connect the server:" SERVER " ok,sock=%d.", IP4(it), fd);
        connected(it, now, 0, false);
        return;
    }
    impl(it).attemptStart = now;
    setConnectTime(it, -1.0);
    if (!watch(it)) {
        close(fd);
        it->sock = -1;
        setConnectTime(it, 0);
    }
}

void socketPool::connected(socketPool_item *it, double now, uint32_t events, bool logged) {
    if (logged) THREAD_LOGI("Connect the server:" SERVER " ok,sock=%d,events=%u.", IP4(it), it->sock, events);
    it->lastSendTime = it->lastRecvTime = it->lastActiveTime = now;
    setConnectTime(it, now);
    if (!impl(it).registered && !watch(it)) return;
    flush(it);
    if (connectTimeOf(it) > 0) receive(it, now);
}

// ---- receiving ----

void socketPool::account(socketPool_item *it, size_t n, double now, bool sent) {
    if (sent) {
        it->sentBytes += n;
        sentBytesTotal.fetch_add(n, std::memory_order_relaxed);
        it->lastSendTime = now;
    } else {
        it->recvBytes += n;
        recvBytesTotal.fetch_add(n, std::memory_order_relaxed);
        it->lastRecvTime = now;
    }
    it->lastActiveTime = now;
}

void socketPool::deliver(socketPool_item *it, kx::pool::Messages &messages) {
    if (messages.empty()) return;
    {
        ListLock lock(it->recvList);
        for (kx_String *s : messages) {
            if (kx_ObjectList_insert_tail(it->recvList, s) < 1) kx_String_delete__OI(s);
        }
    }
    messages.clear();
}

// Reads until the socket would block, feeding the framer and delivering what it completes.
// report(stage, rv, err) logs the framing's own record: kNoRoom, kBadFrame (rv: the
// framer's code) or kReadEnded (rv: recv's result); the item is closed after each.
enum ReadStage { kNoRoom, kBadFrame, kReadEnded };

template <typename Framer, typename Report>
void socketPool::readInto(socketPool_item *it, double now, Framer &f, Report report) {
    kx::pool::Messages messages;
    for (;;) {
        size_t room = 0;
        uint8_t *p = f.space(&room);
        if (p == nullptr || room == 0) {
            report(kNoRoom, -1, ENOMEM);
            closeItem(it);
            return;
        }
        ssize_t n = recv(it->sock, p, room, MSG_DONTWAIT);
        if (n > 0) {
            account(it, static_cast<size_t>(n), now, false);
            int rv = f.commit(static_cast<size_t>(n), messages);
            deliver(it, messages);
            if (rv != 1) {
                report(kBadFrame, rv, 0);
                closeItem(it);
                return;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        report(kReadEnded, static_cast<int>(n), n == 0 ? 0 : errno);
        closeItem(it);
        return;
    }
}

void socketPool::receive(socketPool_item *it, double now) {
    const auto text = [](int rv, int err) { return rv == 0 ? "closed by the peer" : kx::errtext(err); };
    if (it->headLength == 0) {
        kx::pool::HttpFramer &f = *impl(it).http;
        readInto(it, now, f, [&](ReadStage stage, int rv, int err) {
            std::string data = preview(f.bufferedData(), f.buffered());
            if (stage == kBadFrame)
                THREAD_LOGE("Recv data(%u/%lu) from the sock(=%d) of the server:" SERVER " has error,rv=%d,data:\"%s\".",
                            (unsigned)f.buffered(), (unsigned long)f.capacity(), it->sock, IP4(it), rv, data.c_str());
            else
                THREAD_LOGE("Recv data(%u/%lu) from the sock(=%d) of the server:" SERVER " error:\"%s\",rv=%d,data:\"%s\".",
                            (unsigned)f.buffered(), (unsigned long)f.capacity(), it->sock, IP4(it), text(rv, err), rv,
                            data.c_str());
        });
        it->recvOffset = static_cast<uint32_t>(f.buffered());
        return;
    }
    kx::pool::StandardFramer &f = *impl(it).standard;
    readInto(it, now, f, [&](ReadStage stage, int rv, int err) {
        if (stage == kBadFrame)
            THREAD_LOGE("Get data lenth(%u/%hu) from the sock(=%d) of the server:" SERVER "failed,rv=%d.", f.offset(),
                        it->headLength, it->sock, IP4(it), f.lengthResult());
        else if (f.inHead())
            THREAD_LOGE("Recv head(%u/%hu) from the sock(=%d) of the server:" SERVER " error:\"%s\",rv=%d.", f.offset(),
                        it->headLength, it->sock, IP4(it), text(rv, err), rv);
        else
            THREAD_LOGE("Recv data(%u/%lu) from the sock(=%d) of the server:" SERVER " error:\"%s\",rv=%d.", f.offset(),
                        (unsigned long)f.messageLength(), it->sock, IP4(it), text(rv, err), rv);
    });
    it->recvOffset = f.offset();
}

// ---- sending ----

void socketPool::flush(socketPool_item *it) {
    struct iovec iov[kMaxGather];
    kx_String *strings[kMaxGather];
    const double now = kx_time_uptime_get();
    for (;;) {
        int count = 0;
        {
            ListLock lock(it->sendList);
            if (it->sendingString == nullptr && it->sendList->count > 0)
                it->sendingString = static_cast<kx_String *>(kx_ObjectList_remove_head(it->sendList));
            if (it->sendingString == nullptr) return;
            strings[count++] = it->sendingString;
            // Only this thread takes strings from the head, so these stay in place.
            uint32_t more = it->sendList->count;
            for (uint32_t i = 0; i < more && count < kMaxGather; ++i) strings[count++] = list_at(it->sendList, i);
        }
        int n = 0;
        for (int i = 0; i < count; ++i) {
            size_t skip = i == 0 ? it->sendOffset : 0;
            if (strings[i]->lenth <= skip) continue;
            iov[n].iov_base = strings[i]->buffer + skip;
            iov[n].iov_len = strings[i]->lenth - skip;
            ++n;
        }
        bool wouldBlock = false;
        ssize_t w = n > 0 ? kx::net::sendSome(it->sock, iov, n, &wouldBlock) : 0;
        if (w < 0) {
            int err = errno;
            kx_String *s = it->sendingString;
            THREAD_LOGE("Send data(%u/%lu) to the sock(=%d) of the server:" SERVER " error:\"%s\",rv=%d.", it->sendOffset,
                        (unsigned long)s->lenth, it->sock, IP4(it), kx::errtext(err), static_cast<int>(w));
            closeItem(it);  // the string stays queued and goes again in full after a reconnect
            return;
        }
        if (w > 0) account(it, static_cast<size_t>(w), now, true);
        // Retire the strings written completely: the first is sendingString, the others are
        // the head of the send list.
        size_t left = static_cast<size_t>(w);
        int done = 0;
        for (int i = 0; i < count; ++i) {
            size_t rest = strings[i]->lenth - (i == 0 ? it->sendOffset : 0);
            if (left < rest) {
                if (i == 0) it->sendOffset += static_cast<uint32_t>(left);
                else it->sendOffset = static_cast<uint32_t>(left);
                break;
            }
            left -= rest;
            ++done;
            if (i == 0) it->sendOffset = 0;
        }
        if (done > 0) {
            {
                ListLock lock(it->sendList);
                it->sendingString = nullptr;
                for (int i = 1; i < done; ++i) kx_ObjectList_remove_head(it->sendList);
                if (done < count) it->sendingString = static_cast<kx_String *>(kx_ObjectList_remove_head(it->sendList));
            }
            for (int i = 0; i < done; ++i) {
                if (it->sentList == nullptr || kx_ObjectList_insert_tail_pthreadSafety(it->sentList, strings[i]) < 1)
                    kx_String_delete__OI(strings[i]);
            }
        }
        if (wouldBlock) return;  // the writable edge brings the rest
    }
}

// ---- C interface ----

namespace {

socketPool_item *new_item(uint16_t headLength, socketPool_getRecvLength_cb fn, uint32_t ipv4, uint16_t port,
                          unsigned char withSentList, int sock, unsigned char mode) {
    auto *it = static_cast<socketPool_item *>(calloc(1, sizeof(socketPool_item) + headLength));
    if (it == nullptr) return nullptr;
    it->sock = -1;
    it->headLength = headLength;
    it->getRecvLength = fn;
    it->ipv4 = ipv4;
    it->port = port;
    it->mode = mode;
    it->sendList = kx_ObjectList_new__IO(4);
    it->recvList = kx_ObjectList_new__IO(4);
    it->sentList = withSentList == 1 ? kx_ObjectList_new__IO(4) : nullptr;
    auto *m = new (std::nothrow) ItemImpl;
    if (m != nullptr) {
        if (headLength == 0) {
            m->http = std::make_unique<kx::pool::HttpFramer>();
        } else {
            kx::pool::StandardFramer::Kind kind = kx::pool::StandardFramer::custom;
            if (fn == socketPool_private_getRecvLenth__IO_2) kind = kx::pool::StandardFramer::standard;
            if (fn == socketPool_private_getRecvLenth2__IO_2) kind = kx::pool::StandardFramer::standard2;
            m->standard = std::make_unique<kx::pool::StandardFramer>(headLength, kind);
            m->standard->setLengthFn(callers_length, it);
        }
    }
    it->impl = m;
    if (it->sendList == nullptr || it->recvList == nullptr || (withSentList == 1 && it->sentList == nullptr) ||
        m == nullptr) {
        KX_LOGE("Malloc error:\"%s\".", kx::errtext(ENOMEM));
        it->sock = -1;
        socketPool_item_delete__OI(it);
        return nullptr;
    }
    if (sock >= 0) {
        it->sock = sock;
        kx::net::setNonBlocking(sock, true);
        kx::net::setNoDelay(sock);  // writes are gathered here; the kernel need not hold them back
        double now = kx_time_uptime_get();
        it->connectTime = it->lastSendTime = it->lastRecvTime = it->lastActiveTime = now;
    }
    return it;
}

// Applies the pool's limits to an item's framer (at add time: the item now belongs to it).
void apply_limits(socketPool *pool, socketPool_item *it) {
    ItemImpl &m = impl(it);
    if (it->headLength == 0) {
        if (m.http->buffered() == 0) m.http = std::make_unique<kx::pool::HttpFramer>(pool->limits);
    } else if (m.standard->inHead() && m.standard->offset() == 0) {
        auto kind = it->getRecvLength == socketPool_private_getRecvLenth__IO_2    ? kx::pool::StandardFramer::standard
                    : it->getRecvLength == socketPool_private_getRecvLenth2__IO_2 ? kx::pool::StandardFramer::standard2
                                                                                  : kx::pool::StandardFramer::custom;
        m.standard = std::make_unique<kx::pool::StandardFramer>(it->headLength, kind, pool->limits);
        m.standard->setLengthFn(callers_length, it);
    }
}

// Appends under the send list's lock; arms the item when its list was empty.
int enqueue(socketPool_item *it, kx_String *const *strings, size_t count) {
    if (it == nullptr) return -1;
    socketPool *pool = nullptr;
    {
        ListLock lock(it->sendList);
        bool wasEmpty = it->sendList->count == 0;
        for (size_t i = 0; i < count; ++i) {
            if (kx_ObjectList_insert_tail(it->sendList, strings[i]) < 1) {
                for (size_t k = i; k < count; ++k) kx_String_delete__OI(strings[k]);
                KX_LOGE("Insert error,server:" SERVER ".", IP4(it));
                return -1;
            }
        }
        pool = poolOf(it);
        if (wasEmpty && count > 0 && pool != nullptr) pool->queued(it);
    }
    return 1;
}

int enqueue_one(socketPool_item *it, kx_String *s) {
    if (s == nullptr) return -1;
    return enqueue(it, &s, 1);
}

signed char builtin_length(socketPool_item *item, bool whole) {
    socketPool *pool = poolOf(item);
    uint64_t maxMessage = pool ? pool->limits.maxMessage : default_limits().maxMessage;
    uint64_t total = 0;
    int rv = kx::pool::standardLength(item->head, whole, maxMessage, &total);
    if (rv != 1) return rv == kx::pool::kFrameLengthTooShort ? -1 : -2;
    kx_String *s = kx::str::allocate(static_cast<uint32_t>(total));
    if (s == nullptr) return -3;
    memcpy(s->buffer, item->head, 8);
    item->receivingString = s;
    return 1;
}

}  // namespace

namespace kx::pool {
void setTickPeriod(socketPool *pool, double seconds) {
    if (pool != nullptr && seconds > 0) pool->tickPeriod.store(seconds);
}
uint64_t tickCount(const socketPool *pool) { return pool ? pool->ticks.load(std::memory_order_relaxed) : 0; }
}  // namespace kx::pool

extern "C" {

socketPool *socketPool_new__IO(const char *threadName, monitor *pMonitor, pthread_t parentTid,
                               unsigned char *externRunStatus, double keepTime, uint32_t recvListMaxCount,
                               double connectTimeout) {
    try {
        return new socketPool(threadName ? threadName : "socketPool", pMonitor, parentTid, externRunStatus, keepTime,
                              recvListMaxCount, connectTimeout);
    } catch (...) {
        KX_LOGE("Malloc error:\"%s\".", kx::errtext(ENOMEM));
        return nullptr;
    }
}

int socketPool_startThread(socketPool *pool, signed char nice) {
    if (pool == nullptr) return -1;
    return pool->start(nice);
}

void socketPool_stopThread(socketPool *pool) {
    if (pool != nullptr) pool->stop();
}

void socketPool_delete__OI(socketPool *pool) {
    if (pool == nullptr) return;
    pool->stop();
    std::vector<socketPool_item *> items;
    {
        std::lock_guard<std::mutex> lock(pool->mutex());
        items.swap(pool->items);
        for (socketPool_item *it : items) {
            ListLock l(it->sendList);
            setPool(it, nullptr);
        }
    }
    for (socketPool_item *it : items) socketPool_item_delete__OI(it);
    delete pool;
}

void socketPool_set_recvLimits(socketPool *pool, uint32_t maxHttpHeader, uint32_t maxHttpContent,
                               uint32_t maxStandardMessage) {
    if (pool == nullptr) return;
    std::lock_guard<std::mutex> lock(pool->mutex());
    if (maxHttpHeader) pool->limits.maxHeader = maxHttpHeader;
    if (maxHttpContent) pool->limits.maxContent = maxHttpContent;
    if (maxStandardMessage) pool->limits.maxMessage = maxStandardMessage;
}

void socketPool_counters_get(const socketPool *pool, uint64_t *sentBytesTotal, uint64_t *recvBytesTotal) {
    if (pool == nullptr) return;
    if (sentBytesTotal) *sentBytesTotal = pool->sentBytesTotal.load(std::memory_order_relaxed);
    if (recvBytesTotal) *recvBytesTotal = pool->recvBytesTotal.load(std::memory_order_relaxed);
}

socketPool_item *socketPool_item_new__OI(uint16_t headLength, socketPool_getRecvLength_cb getRecvLength,
                                        uint32_t ipv4, uint16_t port, unsigned char withSentList) {
    if (headLength == 0 || getRecvLength == nullptr) {
        KX_LOGE("Invalid headLength=%hu or getRecvLength=%#lx.", headLength, (unsigned long)(uintptr_t)getRecvLength);
        return nullptr;
    }
    return new_item(headLength, getRecvLength, ipv4, port, withSentList, -1, SOCKETPOOL_MODE_CONNECT);
}

socketPool_item *socketPool_item_new_standard__IO(uint32_t ipv4, uint16_t port, unsigned char withSentList) {
    return new_item(8, socketPool_private_getRecvLenth__IO_2, ipv4, port, withSentList, -1, SOCKETPOOL_MODE_CONNECT);
}

socketPool_item *socketPool_item_new_standard2__IO(uint32_t ipv4, uint16_t port, unsigned char withSentList) {
    return new_item(8, socketPool_private_getRecvLenth2__IO_2, ipv4, port, withSentList, -1, SOCKETPOOL_MODE_CONNECT);
}

socketPool_item *socketPool_item_new_standard_bySock__IO__OI(int sock, uint32_t ipv4, uint16_t port,
                                                            unsigned char withSentList) {
    if (sock < 0) return nullptr;
    return new_item(8, socketPool_private_getRecvLenth__IO_2, ipv4, port, withSentList, sock, SOCKETPOOL_MODE_GIVEN);
}

socketPool_item *socketPool_item_new_http_bySock__OI__OI(int sock, uint32_t ipv4, uint16_t port,
                                                        unsigned char withSentList) {
    if (sock < 0) return nullptr;
    return new_item(0, nullptr, ipv4, port, withSentList, sock, SOCKETPOOL_MODE_GIVEN);
}

void socketPool_item_delete__OI(socketPool_item *item) {
    if (item == nullptr) return;
    socketPool *pool = poolOf(item);
    if (pool != nullptr) socketPool_remove_item__IO_2(pool, item);
    if (item->sock >= 0) {
        if (item->connectTime > 0) shutdown(item->sock, SHUT_RDWR);
        close(item->sock);
    }
    if (item->sendList) kx_ObjectList_delete_custom__OI(item->sendList, delete_string);
    if (item->sentList) kx_ObjectList_delete_custom__OI(item->sentList, delete_string);
    if (item->recvList) kx_ObjectList_delete_custom__OI(item->recvList, delete_string);
    kx_String_delete__OI(item->sendingString);
    kx_String_delete__OI(item->receivingString);
    delete static_cast<ItemImpl *>(item->impl);
    free(item);
}

int socketPool_add_item__OI_2(socketPool *pool, socketPool_item *item) {
    if (pool == nullptr || item == nullptr) return -1;
    if (poolOf(item) == nullptr) apply_limits(pool, item);
    return pool->handOver(kx::kCommandAdd, item);
}

int socketPool_remove_item__IO_2(socketPool *pool, socketPool_item *item) {
    if (pool == nullptr || item == nullptr) return -1;
    return pool->handOver(kx::kCommandRemove, item);
}

void socketPool_item_mode_set(socketPool_item *item, unsigned char mode) {
    if (item != nullptr) std::atomic_ref<unsigned char>(item->mode).store(mode & 3);
}

double socketPool_item_connectTime_get(const socketPool_item *item) { return item ? connectTimeOf(item) : 0; }

kx_String *socketPool_item_recv_get__IO(socketPool_item *item) {
    if (item == nullptr) return nullptr;
    return static_cast<kx_String *>(kx_ObjectList_remove_head_pthreadSafety(item->recvList));
}

kx_ObjectList *socketPool_item_recv_get_all__IO(socketPool_item *item) {
    if (item == nullptr) return nullptr;
    ListLock lock(item->recvList);
    if (item->recvList->count == 0) return nullptr;
    return kx_ObjectList_remove_all(item->recvList);
}

int socketPool_item_send_buffer(socketPool_item *item, uint32_t length, const void *data) {
    if (data == nullptr && length > 0) return -1;
    return enqueue_one(item, kx_String_new_form_stringBuffer__IO(static_cast<const char *>(data), length));
}

int socketPool_item_send_OI_2(socketPool_item *item, kx_String *string) {
    if (item == nullptr) {
        kx_String_delete__OI(string);
        return -1;
    }
    return enqueue_one(item, string);
}

int socketPool_item_send_OI_3(socketPool_item *item, uint32_t length, char *buffer) {
    if (item == nullptr || buffer == nullptr) {
        free(buffer);
        return -1;
    }
    // Only length bytes are the caller's: nothing is written behind them (no terminator).
    auto *s = static_cast<kx_String *>(malloc(sizeof(kx_String)));
    if (s == nullptr) {
        free(buffer);
        return -1;
    }
    s->buffer = buffer;
    s->lenth = length;
    return enqueue_one(item, s);
}

int socketPool_item_send_share(socketPool_item *item, kx_String *string) {
    if (item == nullptr || string == nullptr) return -1;
    return enqueue_one(item, kx_String_share__IO(string));
}

int socketPool_item_send_list(socketPool_item *item, const kx_ObjectList *list) {
    if (item == nullptr || list == nullptr) return -1;
    std::vector<kx_String *> copies;
    copies.reserve(list->count);
    for (uint32_t i = 0; i < list->count; ++i) {
        kx_String *c = kx_String_copy__IO(static_cast<const kx_String *>(list->array[list->start + i]));
        if (c == nullptr) {
            for (kx_String *s : copies) kx_String_delete__OI(s);
            return -1;
        }
        copies.push_back(c);
    }
    return enqueue(item, copies.data(), copies.size());
}

int socketPool_item_send_list__IO_2data(socketPool_item *item, kx_ObjectList *list) {
    if (item == nullptr || list == nullptr) return -1;
    std::vector<kx_String *> moved;
    {
        ListLock lock(list);
        moved.reserve(list->count);
        while (list->count > 0) moved.push_back(static_cast<kx_String *>(kx_ObjectList_remove_head(list)));
    }
    return enqueue(item, moved.data(), moved.size());
}

int socketPool_item_send_errorData_standard(socketPool_item *item, uint32_t headWord, const char *format, ...) {
    if (item == nullptr || format == nullptr) return -1;
    va_list ap;
    va_start(ap, format);
    kx_String *text = kx_String_vprint__IO(8, 0, format, ap);
    va_end(ap);
    if (text == nullptr) return -1;
    fwrite(text->buffer + 8, 1, text->lenth, stdout);
    fputc('\n', stdout);
    uint32_t length = text->lenth;
    uint32_t word0 = (headWord & ~0xFu) | 6u;
    for (int i = 0; i < 4; ++i) {
        text->buffer[i] = static_cast<char>(word0 >> (8 * i));
        text->buffer[4 + i] = static_cast<char>(length >> (8 * i));
    }
    text->lenth = length + 8;  // the head is part of the message
    return enqueue_one(item, text);
}

signed char socketPool_private_getRecvLenth__IO_2(socketPool_item *item) { return builtin_length(item, false); }
signed char socketPool_private_getRecvLenth2__IO_2(socketPool_item *item) { return builtin_length(item, true); }

}  // extern "C"
