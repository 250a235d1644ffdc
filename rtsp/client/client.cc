// rtspClient service and items: the service thread connects items, drives their
// sessions, sends keep-alives and commands, holds frames the callback cannot take yet and
// resets connections that broke or went silent.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "core/log.hpp"
#include "core/poller.hpp"
#include "core/service.hpp"
#include "kx/global.h"
#include "kx/memory.h"
#include "kx/objectlist.h"
#include "kx/rtspclient.h"
#include "kx/string.h"
#include "kx/structlist.h"
#include "kx/time.h"
#include "rtsp/client/item.hpp"
#include "rtsp/client/text.hpp"
#include "rtsp/client/url.hpp"
#include "sys/socket.hpp"

#define CL_LOGE(label, fmt, ...) KX_LOG_ERROR_AT(5, __LINE__, label, fmt __VA_OPT__(, ) __VA_ARGS__)
#define CL_LOGI(label, fmt, ...) KX_LOG_INFO_AT(5, __LINE__, label, fmt __VA_OPT__(, ) __VA_ARGS__)

namespace kx::rtsp {

namespace testing {
namespace {
std::atomic<int> refuseAt{0};
}
void refuseAllocation(int nth) { refuseAt.store(nth); }
int pendingRefusal() { return refuseAt.load(); }
bool refused() {
    int n = refuseAt.load();
    while (n > 0 && !refuseAt.compare_exchange_weak(n, n - 1)) {
    }
    return n == 1;
}
}  // namespace testing

std::string serverOf(const rtspClient_item *it) {
    bool user = it->username != nullptr;
    return format("%s%s%s%s", user ? it->username : "", user ? ":" : "", user && it->password ? it->password : "",
                  user ? "@" : "") +
           serverText(it->ipv4, it->port) + (it->path ? it->path : "");
}

void setText(char *&field, const std::string &value) {
    char *copy = static_cast<char *>(malloc(value.size() + 1));
    if (copy == nullptr) return;
    memcpy(copy, value.c_str(), value.size() + 1);
    free(field);
    field = copy;
}

void clearText(char *&field) {
    free(field);
    field = nullptr;
}

void syncVideoCode(rtspClient_item *it) {
    const std::string &code = impl(it).rx.videoCode();
    if (it->videoCode) kx_String_delete__OI(it->videoCode);
    it->videoCode = code.empty() ? nullptr
                                 : kx_String_new_form_stringBuffer__IO(code.data(), static_cast<uint32_t>(code.size()));
}

namespace {

constexpr size_t kReadBudget = 1024 * 1024;  // bytes one item reads per pass before others get a turn
constexpr double kHoldWait = 0.02;

double timer(double &field, double fallback) {
    double v = std::atomic_ref<double>(field).load(std::memory_order_relaxed);
    return v > 0 ? v : fallback;
}

unsigned char statusOf(rtspClient_item *it) {
    return std::atomic_ref<unsigned char>(it->status).load(std::memory_order_relaxed);
}
void setStatus(rtspClient_item *it, unsigned char s) {
    std::atomic_ref<unsigned char>(it->status).store(s, std::memory_order_relaxed);
}
rtspClient *clientOf(rtspClient_item *it) {
    return std::atomic_ref<rtspClient *>(it->client).load(std::memory_order_acquire);
}
void setClient(rtspClient_item *it, rtspClient *c) {
    std::atomic_ref<rtspClient *>(it->client).store(c, std::memory_order_release);
}

// itemListWrite and an item's membership in the service change together under that list's
// mutex: a sender queues the item only while it still belongs to the service, and a removal
// takes every entry of the item out and ends its membership in one step. So a removed item is
// never reachable through the list, whatever senders do meanwhile.
bool queueForCommands(rtspClient *c, rtspClient_item *it) {
    kx_ObjectList *l = c->itemListWrite;
    pthread_mutex_lock(&l->mutex);
    bool member = clientOf(it) == c;
    if (member) kx_ObjectList_insert_tail(l, it);
    pthread_mutex_unlock(&l->mutex);
    return member;
}

void leaveService(rtspClient *c, rtspClient_item *it) {
    kx_ObjectList *l = c->itemListWrite;
    pthread_mutex_lock(&l->mutex);
    while (kx_ObjectList_remove(l, it) >= 0) {
    }
    setClient(it, nullptr);
    pthread_mutex_unlock(&l->mutex);
}

class Service : public kx::ServiceThread {
public:
    Service(rtspClient *c)
        : ServiceThread(options(c)), c_(c) {}
    ~Service() override { stop(); }

    static Options options(rtspClient *c) {
        Options o;
        o.name = c->threadName;
        o.pMonitor = c->pMonitor;
        o.parentTid = c->parentTid;
        o.externRunStatus = c->externRunStatus;
        o.stackSize = 0x20000;
        o.labels = {"rtspClient_new__IO", "rtspClient_startThread", "rtspClient_stopThread",
                    "rtspClient_private_thread", "rtspClient_add_item__OI_2"};
        return o;
    }

protected:
    int onCommand(int command, void *p, Worker *w) override;
    void onThreadStart(Worker &w) override;
    double onTick(Worker &w, double now) override;
    void onEvent(Worker &w, uint32_t events, void *data) override;
    void onWake(Worker &w) override;
    void onThreadExit(Worker &w) override;
    std::string parameterText() const override {
        return ServiceThread::parameterText() +
               format("  itemList=%#llx\n  itemListWrite=%#llx\n", (unsigned long long)(uintptr_t)c_->itemList,
                      (unsigned long long)(uintptr_t)c_->itemListWrite);
    }

private:
    void connect(rtspClient_item *it);
    void onConnected(rtspClient_item *it);
    void closeSocket(rtspClient_item *it);
    void reset(rtspClient_item *it);
    void watch(rtspClient_item *it, bool in, bool out);
    void unwatch(rtspClient_item *it);
    void rewatch(rtspClient_item *it);
    void flush(rtspClient_item *it);
    void receive(rtspClient_item *it);
    void handle(rtspClient_item *it, int result);
    double idleWait(bool anyHeld, bool moreInput) const;
    void serveCommands(rtspClient_item *it);
    // The item's socket was closed, replaced or handed back: events of the old socket still
    // pending in this batch are dropped, and a handler that is running sees the change.
    void socketChanged(rtspClient_item *it) {
        ++impl(it).socketGeneration;
        if (worker_ != nullptr) worker_->forget(it);
    }
    std::vector<rtspClient_item *> items() const {
        std::vector<rtspClient_item *> v;
        kx_ObjectList *l = c_->itemList;
        for (uint32_t i = 0; i < l->count; ++i) v.push_back(static_cast<rtspClient_item *>(l->array[l->start + i]));
        return v;
    }

    rtspClient *c_;
    kx::Poller *poller_ = nullptr;
    double nextTick_ = 0;
    Worker *worker_ = nullptr;  // the running worker: drops events of a changed socket
    bool revisit_ = false;  // some item may be held or have input left: the next pass visits them
};

void Service::closeSocket(rtspClient_item *it) {
    ItemImpl &m = impl(it);
    unwatch(it);
    if (it->sock >= 0) {
        if (statusOf(it) >= RTSPCLIENT_STATUS_OPTIONS) shutdown(it->sock, SHUT_RDWR);
        close(it->sock);
    }
    it->sock = -1;
    m.out.clear();
    m.sent = 0;
    m.moreInput = false;
    clearInbox(it);
    socketChanged(it);
}

void Service::reset(rtspClient_item *it) {
    closeSocket(it);
    setStatus(it, RTSPCLIENT_STATUS_IDLE);
    it->held = 0;
}

void Service::watch(rtspClient_item *it, bool in, bool out) {
    ItemImpl &m = impl(it);
    if (poller_ == nullptr || it->sock < 0) return;
    uint32_t events = EPOLLET | EPOLLRDHUP | (in ? EPOLLIN : 0u) | (out ? EPOLLOUT : 0u);
    int rv = m.registered ? poller_->modify(it->sock, events, it) : poller_->add(it->sock, events, it);
    if (rv != 0) {
        int err = errno;
        CL_LOGE("rtspClient_private_thread",
                "Epoll_ctl the sock(=%d) of the server:\"%s\" error:\"%s\",events=%u,epollfd=%ld.", it->sock,
                m.server.c_str(), kx::errtext(err), events, (long)poller_->fd());
        errno = 0;
        return;
    }
    m.registered = true;
    m.events = events;
}

void Service::unwatch(rtspClient_item *it) {
    ItemImpl &m = impl(it);
    if (m.registered && poller_ != nullptr && it->sock >= 0) poller_->remove(it->sock);
    m.registered = false;
    m.events = 0;
}

void Service::rewatch(rtspClient_item *it) {
    ItemImpl &m = impl(it);
    unsigned char s = statusOf(it);
    if (it->held) watch(it, false, !m.out.empty());
    else watch(it, true, (s % 2 == 0) || !m.out.empty());
}

void Service::connect(rtspClient_item *it) {
    static const char *const label = "rtspClient_private_client_connect";
    ItemImpl &m = impl(it);
    m.server = serverOf(it);
    ++it->connectCount;
    int fd = kx::net::openTcp(true);
    if (fd == kx::net::kOpenSocket) {
        int err = errno;
        CL_LOGE(label, "Socket error:\"%s\",server:\"%s\",rv=%d.", kx::errtext(err), m.server.c_str(), fd);
        errno = 0;
        return;
    }
    if (fd < 0) {
        int err = errno;
        CL_LOGE(label, "Setsockopt error:\"%s\",sock=%d,server:\"%s\".", kx::errtext(err), fd, m.server.c_str());
        errno = 0;
        return;
    }
    it->sock = fd;
    socketChanged(it);
    int rv = kx::net::connectStart(fd, it->ipv4, it->port);
    if (rv == kx::net::kConnected) {
        onConnected(it);
        return;
    }
    if (rv == kx::net::kConnectPending) {
        setStatus(it, RTSPCLIENT_STATUS_CONNECTING);
        it->lastActivity = kx_time_uptime_get();
        watch(it, false, true);
        return;
    }
    int err = errno;
    CL_LOGE(label, "Connect error:\"%s\",sock=%d,server:\"%s\".", kx::errtext(err), fd, m.server.c_str());
    errno = 0;
    close(fd);
    it->sock = -1;
    setStatus(it, RTSPCLIENT_STATUS_IDLE);
}

void Service::onConnected(rtspClient_item *it) {
    ItemImpl &m = impl(it);
    m.auth.reset();
    m.authTries = 0;
    clearText(it->session);
    pthread_mutex_lock(&it->cmdList->mutex);
    kx_StructList_clear(it->cmdList);
    pthread_mutex_unlock(&it->cmdList->mutex);
    it->held = 0;
    it->lastActivity = kx_time_uptime_get();
    prepareOptions(it);
    watch(it, true, true);
    flush(it);
}

// Sends what waits; then advances the session and reads what may already be there.
void Service::flush(rtspClient_item *it) {
    static const char *const label = "rtspClient_private_client_send";
    ItemImpl &m = impl(it);
    for (;;) {
        while (m.sent < m.out.size()) {
            struct iovec v = {m.out.data() + m.sent, m.out.size() - m.sent};
            bool wouldBlock = false;
            ssize_t n = kx::net::sendSome(it->sock, &v, 1, &wouldBlock);
            if (n > 0) {
                m.sent += static_cast<size_t>(n);
                // While playing only frames count as activity: a server that takes our
                // keep-alives but sends no video is still silent.
                if (statusOf(it) != RTSPCLIENT_STATUS_PLAYING) it->lastActivity = kx_time_uptime_get();
            }
            if (n >= 0 && (wouldBlock || n == 0)) {
                watch(it, !it->held, true);
                return;
            }
            if (n >= 0) continue;
            int err = errno;
            CL_LOGE(label, "Send data(%zu/%zu) to the sock(=%d) of the server:\"%s\" error:\"%s\",rv=%d.", m.sent,
                    m.out.size(), it->sock, m.server.c_str(), kx::errtext(err), static_cast<int>(n));
            errno = 0;
            reset(it);
            return;
        }
        m.out.clear();
        m.sent = 0;
        unsigned char s = statusOf(it);
        if (s != RTSPCLIENT_STATUS_PLAYING) it->lastActivity = kx_time_uptime_get();
        if (s < RTSPCLIENT_STATUS_PLAYING && s % 2 == 0) {
            ++s;
            setStatus(it, s);
            if (s == RTSPCLIENT_STATUS_PLAYING) m.redirects = 0;
        }
        if (s == RTSPCLIENT_STATUS_PLAYING) {
            int r = 0;
            while ((r = prepareCommand(it)) < 0)
                CL_LOGE(label, "rtspClient_private_client_do_cmd the sock(=%d) of the server:\"%s\" failed.", it->sock,
                        m.server.c_str());
            if (r == 1) continue;
        }
        break;
    }
    watch(it, !it->held, false);
    // An answer (or the stream) may have arrived while the request was going out.
    if (!it->held) receive(it);
}

double Service::idleWait(bool anyHeld, bool moreInput) const {
    if (moreInput) return 0;
    if (anyHeld) return kHoldWait;
    double wait = nextTick_ - kx_time_uptime_get();
    if (wait > 4.0) wait = 4.0;
    return wait < 0.001 ? 0.001 : wait;
}

void Service::receive(rtspClient_item *it) {
    unsigned char s = statusOf(it);
    if (it->sock < 0 || it->held) return;
    int r;
    if (s == RTSPCLIENT_STATUS_PLAYING) {
        r = recvPlay(it, kReadBudget);
    } else if (s == RTSPCLIENT_STATUS_OPTIONS_WAIT || s == RTSPCLIENT_STATUS_DESCRIBE_WAIT ||
               s == RTSPCLIENT_STATUS_SETUP_WAIT) {
        r = recvAnswer(it, kx_time_uptime_get());
        if (r != 0) it->lastActivity = kx_time_uptime_get();  // a whole answer
    } else {
        return;  // a request is still going out: its answer is read once it is sent
    }
    if (impl(it).moreInput) revisit_ = true;
    handle(it, r);
}

void Service::handle(rtspClient_item *it, int r) {
    ItemImpl &m = impl(it);
    if (r == 2) {
        flush(it);
    } else if (r == 0) {
    } else if (r == -128) {
        it->held = 1;
        revisit_ = true;
        watch(it, false, !m.out.empty());
    } else if (r == -127) {
        closeSocket(it);
        setStatus(it, RTSPCLIENT_STATUS_IDLE);
        connect(it);
    } else {
        CL_LOGE("rtspClient_private_thread", "client_do for the sock(=%d) of the server:\"%s\" failed,rv=%d,status=%hhu.",
                it->sock, m.server.c_str(), r, statusOf(it));
        reset(it);
    }
}

void Service::serveCommands(rtspClient_item *it) {
    ItemImpl &m = impl(it);
    if (statusOf(it) != RTSPCLIENT_STATUS_PLAYING || !m.out.empty() || it->sock < 0) return;
    int r = 0;
    while ((r = prepareCommand(it)) < 0)
        CL_LOGE("rtspClient_private_thread", "rtspClient_private_client_do_cmd the sock(=%d) of the server:\"%s\" failed.",
                it->sock, m.server.c_str());
    if (r == 1) flush(it);
}

int Service::onCommand(int command, void *p, Worker *w) {
    auto *it = static_cast<rtspClient_item *>(p);
    if (command == kx::kCommandAdd) {
        if (kx_ObjectList_check_exist_order(c_->itemList, it) >= 0) {
            CL_LOGE("rtspClient_add_item__OI_2", "Add item has exist,the server:\"%s\".", serverOf(it).c_str());
            return 0;
        }
        kx_ObjectList_insert_order(c_->itemList, it);
        setClient(it, c_);
        revisit_ = true;
        impl(it).server = serverOf(it);
        if (w != nullptr) {
            unsigned char s = statusOf(it);
            if (s <= RTSPCLIENT_STATUS_CONNECTING) {
                if (s == RTSPCLIENT_STATUS_CONNECTING) closeSocket(it);
                setStatus(it, RTSPCLIENT_STATUS_IDLE);
                connect(it);
            } else {
                it->lastActivity = kx_time_uptime_get();
                rewatch(it);
                if (!it->held) receive(it);
                // Commands queued while the item was outside the service go out now.
                if (!it->held) serveCommands(it);
            }
        }
        return 1;
    }
    if (command == kx::kCommandRemove) {
        if (kx_ObjectList_check_exist_order(c_->itemList, it) < 0) {
            CL_LOGE("rtspClient_remove_item__IO_2", "Remove item not exist,server:\"%s\".", serverOf(it).c_str());
            return 0;
        }
        unwatch(it);
        if (statusOf(it) == RTSPCLIENT_STATUS_CONNECTING) {
            closeSocket(it);
            setStatus(it, RTSPCLIENT_STATUS_IDLE);
        }
        socketChanged(it);
        leaveService(c_, it);
        kx_ObjectList_remove_order(c_->itemList, it);
        return 1;
    }
    return -1;
}

void Service::onThreadStart(Worker &w) {
    // Callers apply hand-overs themselves until the loop runs; they hold the mutex then.
    std::lock_guard<std::mutex> lock(mutex());
    poller_ = w.poller();
    worker_ = &w;
    nextTick_ = 0;
    revisit_ = true;
    for (rtspClient_item *it : items()) {
        impl(it).registered = false;
        if (statusOf(it) == RTSPCLIENT_STATUS_CONNECTING) closeSocket(it);
        if (statusOf(it) <= RTSPCLIENT_STATUS_CONNECTING) {
            setStatus(it, RTSPCLIENT_STATUS_IDLE);
        } else {
            it->lastActivity = kx_time_uptime_get();
            rewatch(it);
        }
    }
}

void Service::onThreadExit(Worker &) {
    for (rtspClient_item *it : items()) {
        if (statusOf(it) == RTSPCLIENT_STATUS_CONNECTING) {
            closeSocket(it);
            setStatus(it, RTSPCLIENT_STATUS_IDLE);
        }
        unwatch(it);
    }
    poller_ = nullptr;
    worker_ = nullptr;
}

double Service::onTick(Worker &w, double now) {
    try {
        double tick = timer(c_->tickSeconds, 5.0);
        double silence = timer(c_->silenceSeconds, 5.0);
        if (now >= nextTick_) {
            nextTick_ = now + tick;
            for (rtspClient_item *it : items()) {
                ItemImpl &m = impl(it);
                unsigned char s = statusOf(it);
                if (s == RTSPCLIENT_STATUS_CONNECTING) {
                    // A connect started just before this tick gets a whole period, so a busy
                    // machine does not abandon a loopback connect after a few milliseconds.
                    if (now - it->lastActivity < tick) continue;
                    CL_LOGE("rtspClient_private_thread", "Try connect the server:\"%s\" timeout,sock=%d.",
                            m.server.c_str(), it->sock);
                    closeSocket(it);
                    setStatus(it, RTSPCLIENT_STATUS_IDLE);
                    connect(it);
                } else if (s == RTSPCLIENT_STATUS_IDLE) {
                    connect(it);
                } else if (now - it->lastActivity > silence) {
                    CL_LOGE("rtspClient_private_thread",
                            "No recv or send data timeout(%lf/%lf) from the sock(=%d) of the server:\"%s\".",
                            now - it->lastActivity, silence, it->sock, m.server.c_str());
                    reset(it);
                } else if (s == RTSPCLIENT_STATUS_PLAYING) {
                    double period = timer(c_->keepAliveSeconds, 16.0);
                    if (m.keepAlivePeriod > 0 && m.keepAlivePeriod < period) period = m.keepAlivePeriod;
                    if (now - it->lastKeepAlive > period) {
                        if (!m.out.empty()) {
                            nextTick_ = 0;
                        } else {
                            it->lastKeepAlive = now;
                            prepareKeepAlive(it);
                            flush(it);
                        }
                    }
                }
            }
        }
        // Hold pass: offer held frames again; continue reading once one is taken. With many
        // items and none held the pass costs nothing.
        bool anyHeld = false, moreInput = false;
        if (revisit_) revisit_ = false;
        else return idleWait(anyHeld, moreInput);
        for (rtspClient_item *it : items()) {
            ItemImpl &m = impl(it);
            if (it->held) {
                it->lastActivity = now;
                signed char answer = offerFrame(it);
                if (answer == 2) {
                    anyHeld = true;
                    continue;
                }
                if (answer == 1) ++it->frameCount;
                else
                    CL_LOGI("rtspClient_private_client_do_9_recvPLAY_controSpeed",
                            "Call callback for the server:\"%s\" error,sock=%d,len=%u,frameIndex=%u.", m.server.c_str(),
                            it->sock, m.rx.frameLength(), m.rx.frameIndex());
                it->held = 0;
                int r = m.rx.frameDone();
                if (m.rx.takeVideoCodeChanged()) syncVideoCode(it);
                rewatch(it);
                if (r < 0) {
                    handle(it, r);
                    continue;
                }
                receive(it);
                if (it->held) anyHeld = true;
            } else if (m.moreInput) {
                receive(it);
            }
        }
        for (rtspClient_item *it : items()) moreInput = moreInput || impl(it).moreInput;
        revisit_ = revisit_ || anyHeld || moreInput;
        return idleWait(anyHeld, moreInput);
    } catch (...) {
        revisit_ = true;
        (void)w;
        return kHoldWait;
    }
}

void Service::onEvent(Worker &, uint32_t events, void *data) {
    auto *it = static_cast<rtspClient_item *>(data);
    try {
        ItemImpl &m = impl(it);
        if (it->sock < 0 || !m.registered) return;
        unsigned char s = statusOf(it);
        if (s <= RTSPCLIENT_STATUS_CONNECTING) {
            if (s == RTSPCLIENT_STATUS_IDLE) return;
            int err = 0;
            if (kx::net::pendingError(it->sock, &err) != 0) {
                int e = errno;
                CL_LOGE("rtspClient_private_thread", "Getsockopt error:\"%s\",sock=%d,server:\"%s\".", kx::errtext(e),
                        it->sock, m.server.c_str());
                errno = 0;
                reset(it);
                return;
            }
            if (err != 0) {
                CL_LOGE("rtspClient_private_thread", "opt(=%d) error:\"%s\",sock=%d,server:\"%s\".", err,
                        kx::errtext(err), it->sock, m.server.c_str());
                reset(it);
                return;
            }
            if (events & EPOLLOUT) onConnected(it);
            return;
        }
        const uint64_t generation = m.socketGeneration;
        if (events & (EPOLLRDHUP | EPOLLHUP)) m.hangUp = true;
        if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) receive(it);
        if (m.socketGeneration != generation) return;
        if ((events & EPOLLOUT) && !m.out.empty()) flush(it);
        if (m.socketGeneration != generation) return;
        if ((events & (EPOLLHUP | EPOLLERR)) || ((events & EPOLLRDHUP) && !it->held && statusOf(it) % 2 == 0)) {
            CL_LOGE("rtspClient_private_thread", "The sock(=%d) of the server:\"%s\" error,rv=%#x.", it->sock,
                    m.server.c_str(), events);
            reset(it);
        } else if ((events & EPOLLRDHUP) && it->held) {
            // Peer closed while a frame is held: the frame is offered on; the next pass
            // after the hold notices the end of the stream.
        }
    } catch (...) {
        reset(it);
    }
}

void Service::onWake(Worker &) {
    void *p;
    while ((p = kx_ObjectList_remove_head_pthreadSafety(c_->itemListWrite)) != nullptr) {
        auto *it = static_cast<rtspClient_item *>(p);
        if (kx_ObjectList_check_exist_order(c_->itemList, it) < 0) continue;
        try {
            serveCommands(it);
        } catch (...) {
        }
    }
}

Service *serviceOf(rtspClient *c) { return static_cast<Service *>(c->service); }

}  // namespace
}  // namespace kx::rtsp

using kx::rtsp::ItemImpl;

extern "C" {

rtspClient *rtspClient_new__IO(const char *threadName, monitor *pMonitor, pthread_t parentTid,
                               unsigned char *externRunStatus) {
    static const char *const label = "rtspClient_new__IO";
    using kx::rtsp::testing::refused;
    const char *name = threadName ? threadName : "rtspClient";
    size_t n = strlen(name) + 1;
    auto *c = refused() ? nullptr : static_cast<rtspClient *>(calloc(1, sizeof(rtspClient) + n));
    if (c == nullptr) {
        KX_LOG_ERROR_AT(5, __LINE__, label, "Allocate the service:\"%s\" failed.", name);
        return nullptr;
    }
    c->threadName = reinterpret_cast<char *>(c + 1);
    memcpy(c->threadName, name, n);
    c->pMonitor = pMonitor;
    c->parentTid = parentTid;
    c->externRunStatus = externRunStatus ? externRunStatus : &defaultRunStatus;
    c->tickSeconds = 5.0;
    c->silenceSeconds = 5.0;
    c->keepAliveSeconds = 16.0;
    c->itemList = refused() ? nullptr : kx_ObjectList_new__IO(4);
    c->itemListWrite = refused() ? nullptr : kx_ObjectList_new__IO(2);
    if (c->itemList != nullptr && c->itemListWrite != nullptr) {
        try {
            if (refused()) throw std::bad_alloc();
            c->service = new kx::rtsp::Service(c);
            return c;
        } catch (...) {
        }
    }
    KX_LOG_ERROR_AT(5, __LINE__, label, "Allocate the lists of the service:\"%s\" failed.", name);
    if (c->itemList) kx_ObjectList_delete__OI(c->itemList);
    if (c->itemListWrite) kx_ObjectList_delete__OI(c->itemListWrite);
    free(c);
    return nullptr;
}

void rtspClient_delete__OI(rtspClient *c) {
    if (c == nullptr) return;
    if (auto *svc = kx::rtsp::serviceOf(c)) {
        svc->stop();
        delete svc;
    }
    c->service = nullptr;
    kx_ObjectList *items = c->itemList;
    while (items->count > 0) {
        auto *it = static_cast<rtspClient_item *>(kx_ObjectList_remove_tail(items));
        it->client = nullptr;
        rtspClient_item_delete__OI(it);
    }
    kx_ObjectList_delete__OI(items);
    kx_ObjectList_delete__OI(c->itemListWrite);
    free(c);
}

void rtspClient_set_timers(rtspClient *c, double tick, double silence, double keepAlive) {
    if (c == nullptr) return;
    // The running thread reads them on every pass.
    if (tick > 0) std::atomic_ref<double>(c->tickSeconds).store(tick, std::memory_order_relaxed);
    if (silence > 0) std::atomic_ref<double>(c->silenceSeconds).store(silence, std::memory_order_relaxed);
    if (keepAlive > 0) std::atomic_ref<double>(c->keepAliveSeconds).store(keepAlive, std::memory_order_relaxed);
}

int rtspClient_startThread(rtspClient *c, signed char priority) {
    if (c == nullptr || c->service == nullptr) return -1;
    try {
        return kx::rtsp::serviceOf(c)->start(priority);
    } catch (...) {
        return -1;
    }
}

int rtspClient_stopThread(rtspClient *c) {
    if (c == nullptr || c->service == nullptr) return 0;
    return kx::rtsp::serviceOf(c)->stop();
}

rtspClient_item *rtspClient_item_new__IO(uint32_t ipv4, uint16_t port, const char *username, const char *password,
                                         const char *path, rtspClient_frame_cb cb, void *externP) {
    static const char *const label = "rtspClient_item_new__IO";
    using kx::rtsp::testing::refused;
    auto *it = refused() ? nullptr : static_cast<rtspClient_item *>(calloc(1, sizeof(rtspClient_item)));
    if (it != nullptr) {
        it->sock = -1;
        try {
            if (refused()) throw std::bad_alloc();
            auto *m = new ItemImpl(it);
            it->impl = m;
            size_t u = username ? strlen(username) + 1 : 0, p = password ? strlen(password) + 1 : 0,
                   a = path ? strlen(path) + 1 : 0;
            m->strings = refused() ? nullptr : static_cast<char *>(malloc(u + p + a + 1));
            if (m->strings == nullptr) throw std::bad_alloc();
            char *s = m->strings;
            if (username) it->username = static_cast<char *>(memcpy(s, username, u)), s += u;
            if (password) it->password = static_cast<char *>(memcpy(s, password, p)), s += p;
            if (path) it->path = static_cast<char *>(memcpy(s, path, a));
            it->cmdList = refused() ? nullptr : kx_StructList_new__IO(2, 9);
            if (it->cmdList == nullptr) throw std::bad_alloc();
            uint32_t size = path ? static_cast<uint32_t>((std::min<size_t>(a - 1, 1u << 20) + 1052) & ~size_t(7)) : 1048;
            it->buffer = refused() ? nullptr : static_cast<unsigned char *>(kx_memery_malloc(size));
            if (it->buffer == nullptr) throw std::bad_alloc();
            it->bufferSize = size;
            it->cb = cb;
            it->externP = externP;
            it->ipv4 = ipv4;
            it->port = port;
            it->videoPayloadType = 96;
            it->frameInfo.frameTime = -1.0;
            m->server = kx::rtsp::serverOf(it);
            return it;
        } catch (...) {
        }
    }
    const unsigned char *b = reinterpret_cast<const unsigned char *>(&ipv4);
    KX_LOG_ERROR_AT(5, __LINE__, label, "Allocate the item for the server:\"%hhu.%hhu.%hhu.%hhu:%hu\" failed.", b[0], b[1],
                    b[2], b[3], port);
    rtspClient_item_delete__OI(it);
    return nullptr;
}

rtspClient_item *rtspClient_item_new_byURL__IO(const char *url, rtspClient_frame_cb cb, void *externP) {
    static const char *const label = "rtspClient_item_new_byURL__IO";
    if (url == nullptr) {
        KX_LOG_ERROR_AT(5, __LINE__, label, "Invalid lenth(=%ld) of the url:\"%s\"", 0L, "");
        return nullptr;
    }
    try {
        kx::rtsp::RtspUrl u;
        kx::rtsp::UrlError e = kx::rtsp::parseRtspUrl(url, u);
        if (e == kx::rtsp::UrlError::length) {
            KX_LOG_ERROR_AT(5, __LINE__, label, "Invalid lenth(=%ld) of the url:\"%s\"", (long)strlen(url), url);
            return nullptr;
        }
        if (e != kx::rtsp::UrlError::none) {
            KX_LOG_ERROR_AT(5, __LINE__, label, "%s", kx::rtsp::format(kx::rtsp::urlErrorFormat(e), url).c_str());
            return nullptr;
        }
        return rtspClient_item_new__IO(u.ipv4, u.port, u.hasUser ? u.username.c_str() : nullptr,
                                       u.hasUser ? u.password.c_str() : nullptr, u.hasPath ? u.path.c_str() : nullptr,
                                       cb, externP);
    } catch (...) {
        return nullptr;
    }
}

void rtspClient_item_delete__OI(rtspClient_item *it) {
    if (it == nullptr) return;
    rtspClient *c = kx::rtsp::clientOf(it);
    if (c != nullptr && c->itemList != nullptr) rtspClient_remove_item__IO_2(c, it);
    auto *m = static_cast<ItemImpl *>(it->impl);
    if (it->cmdList) kx_StructList_delete__OI(it->cmdList);
    if (it->sock >= 0) {
        if (it->status > 1) shutdown(it->sock, SHUT_RDWR);
        close(it->sock);
    }
    if (it->buffer) kx_memery_free(it->buffer, it->bufferSize);
    free(it->controlURL);
    free(it->session);
    if (it->videoCode) kx_String_delete__OI(it->videoCode);
    if (m) {
        free(m->strings);
        delete m;
    }
    free(it);
}

int rtspClient_add_item__OI_2(rtspClient *c, rtspClient_item *it) {
    if (c == nullptr || it == nullptr || c->service == nullptr) return -1;
    try {
        return kx::rtsp::serviceOf(c)->handOver(kx::kCommandAdd, it);
    } catch (...) {
        return -2;
    }
}

int rtspClient_remove_item__IO_2(rtspClient *c, rtspClient_item *it) {
    if (c == nullptr || it == nullptr || c->service == nullptr) return -1;
    try {
        return kx::rtsp::serviceOf(c)->handOver(kx::kCommandRemove, it);
    } catch (...) {
        return -2;
    }
}

int rtspClient_item_send_cmd(rtspClient_item *it, int cmd, uint64_t parameter) {
    static const char *const label = "rtspClient_item_send_cmd";
    if (it == nullptr) return -1;
    unsigned char s = kx::rtsp::statusOf(it);
    if (s != RTSPCLIENT_STATUS_PLAYING) {
        KX_LOG_ERROR_AT(5, __LINE__, label, "Can't send cmd(=%d).", cmd);
        return -1;
    }
    unsigned char record[9];
    memcpy(record, &parameter, 8);
    record[8] = static_cast<unsigned char>(cmd);
    pthread_mutex_lock(&it->cmdList->mutex);
    uint32_t before = it->cmdList->count;
    kx_StructList_insert_tail(it->cmdList, record);
    uint32_t after = it->cmdList->count;
    pthread_mutex_unlock(&it->cmdList->mutex);
    if (before > 0)
        KX_LOG_ERROR_AT(5, __LINE__, label, "Call frequency is too high,count=%lu,cmd=%d,parameter=%llu.",
                        (unsigned long)before, cmd, (unsigned long long)parameter);
    rtspClient *c = kx::rtsp::clientOf(it);
    if (c != nullptr && after == 1 && kx::rtsp::queueForCommands(c, it)) kx::rtsp::serviceOf(c)->wake('w', 0);
    return 1;
}

int rtspClient_item_send_jump(rtspClient_item *it, double position) {
    uint64_t parameter;
    memcpy(&parameter, &position, sizeof parameter);
    return rtspClient_item_send_cmd(it, RTSPCLIENT_CMD_JUMP, parameter);
}

}  // extern "C"
