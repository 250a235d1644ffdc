// RTSP server service: one worker thread accepts clients, hands their sockets to a socket
// pool as HTTP-framed items, answers their requests through the protocol engine
// (rtsp_protocol.hpp), builds each live item's description from its first frames and fans
// the packetized frames out to every playing client. Frames are packetized once per item;
// the packets of a frame are one shared string queued on every client.
#include "kx/rtspserver.h"

#include <errno.h>
#include <math.h>
#include <stdint.h>
#include <fcntl.h>
#include <string.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/log.hpp"
#include "core/poller.hpp"
#include "core/service.hpp"
#include "kx/aac.h"
#include "kx/address.h"
#include "kx/h264.h"
#include "kx/objectlist.h"
#include "kx/socket.h"
#include "kx/socketpipe.h"
#include "kx/socketpool.h"
#include "kx/string.h"
#include "kx/time.h"
#include "serve/pool.hpp"
#include "serve/rtsp_packetizer.hpp"
#include "serve/rtsp_protocol.hpp"

using kx::rtspserve::Connection;
using kx::rtspserve::Offer;
using kx::rtspserve::Outcome;
using kx::rtspserve::Request;
using kx::rtspserve::Target;

namespace {

constexpr uint32_t kDefaultClientLimit = 4096;
constexpr uint32_t kDefaultQueueLimit = 4095;
// A playing demand client takes frames from its record only while fewer strings than this
// wait on its socket; that paces the producer.
constexpr size_t kDemandQueueLimit = 256;
constexpr double kIdleWait = 0.020;
constexpr double kBindRetry = 1.0;
constexpr int kBacklog = 1024;
// RTSP requests are small: these caps keep one connection from holding much memory.
constexpr uint32_t kMaxRequestHeader = 16 * 1024;
constexpr uint32_t kMaxRequestBody = 64 * 1024;

struct Client {
    socketPool_item *sock;
    Connection conn;
    uint32_t ipv4;
    uint16_t port;
    int index;
    rtspServer_item *item = nullptr;                // the live item it joined (its clients list)
    rtspServer_demandRecord *record = nullptr;      // its record of a demand item
    bool closing = false;
    Client(socketPool_item *s, uint32_t ip, uint16_t p, uint16_t serverPort, int n)
        : sock(s), conn(ip, p, serverPort), ipv4(ip), port(p), index(n) {}
};

void release(kx_Object *frame) { kx_Object_delete_pthreadSafety__OI(frame); }

size_t queued(socketPool_item *sock) {
    kx_ObjectList *l = sock->sendList;
    pthread_mutex_lock(&l->mutex);
    size_t n = l->count;
    pthread_mutex_unlock(&l->mutex);
    return n;
}


}  // namespace

struct rtspServer_item {
    std::string url;
    bool hasUrl = false;
    uint32_t clusterIpv4 = 0;
    unsigned char modelType = 0;
    signed char priority = 0;
    uint32_t values[3] = {};
    double floatValue = 0.0;
    int pipe[2] = {-1, -1};
    std::atomic<rtspServer *> server{nullptr};
    std::atomic<uint32_t> trackMask{1};

    std::mutex frameMutex;
    std::deque<kx_Object *> frames;  // oldest first, one reference each

    // Server thread only.
    std::vector<Client *> clients;
    kx::rtspserve::TrackClock clocks[32];
    uint32_t describedMask = 0;
    std::string media[32];
    std::string sdp;
    bool sdpReady = false;
    std::atomic<uint32_t> clientCount{0};

    // Demand records: changed by the server thread only, always under demandMutex, which
    // the producer holds while it walks them.
    std::mutex demandMutex;
    std::vector<rtspServer_demandRecord *> demand;
    std::atomic<uint32_t> demandCount{0};

    bool live() const { return clusterIpv4 == 0 && (modelType & RTSPSERVER_MODEL_LIVE); }
    bool cluster() const { return clusterIpv4 != 0; }
};


// One demand client's record. The request's path, query and parameters and the peer are
// fixed when it is made (before it joins the item's list); frames, and the position fields
// the producer and the server both touch, are guarded by mutex or atomic.
struct rtspServer_demandRecord {
    rtspServer_item *item = nullptr;
    bool hasPath = false;
    std::string path, query;
    std::vector<std::pair<std::string, std::string>> params;  // percent-decoded, in text order
    uint32_t ipv4 = 0;
    uint16_t port = 0;
    int index = 0;

    mutable std::mutex mutex;
    std::deque<kx_Object *> frames;  // oldest first, one reference each
    size_t scanned = 0;              // frames already looked at for the description
    std::atomic<double> startTime{0.0};
    // Stream-type changes by SET_PARAMETER, and how many of them the producer had seen when
    // its last visit of the record (in its walk) began: while they differ, the frames
    // waiting are of the old mode and stay unsent.
    std::atomic<uint32_t> typeChanges{0}, typeSeen{0};

    std::atomic<double> duration{0.0};
    std::atomic<unsigned char> streamType{0};
    std::atomic<unsigned char> state{0};
    // Producer's: set inside its walk, read by the server when it frees the record (after
    // taking the list's lock, so after every walk that could have set them).
    void *context = nullptr;
    rtspServer_demand_release releaseFn = nullptr;

    // Server thread only.
    Client *client = nullptr;
    kx::rtspserve::TrackClock clocks[32];
    kx::rtspserve::FrameDescription description;

    void dropFramesLocked() {
        for (kx_Object *f : frames) release(f);
        frames.clear();
        scanned = 0;
    }
};

namespace {

// Order of the item lists: no URL first, then shorter URLs, equal lengths bytewise; equal
// URLs form a chain, local items by address, cluster items by host and then address.
bool before(const rtspServer_item *a, const rtspServer_item *b) {
    if (a->hasUrl != b->hasUrl) return !a->hasUrl;
    if (a->url.size() != b->url.size()) return a->url.size() < b->url.size();
    int c = a->url.compare(b->url);
    if (c != 0) return c < 0;
    if (a->clusterIpv4 != b->clusterIpv4) return a->clusterIpv4 < b->clusterIpv4;
    return a < b;
}


// The description of the frame's track, "" when the frame cannot give one (an H.264 frame
// without parameter sets and IDR slice).
std::string mediaOf(kx_Object *frame) {
    uint8_t track = frame->reserved & 31;
    if (frame->type == KX_OBJECT_TYPE_H264) {
        video_h264_object *v = reinterpret_cast<video_h264_object *>(frame);
        if (v->keyFrame != 3) return {};
        // Parameter sets suffice: a producer may flag an intra picture that is no IDR (open
        // groups of pictures) as the place to start.
        const unsigned char *sps = nullptr, *pps = nullptr;
        uint32_t spsLength = 0, ppsLength = 0;
        if (video_h264_check_keyFrame_and_get_sps_pps(v->dataLenth, v->data, &sps, &spsLength, &pps, &ppsLength) < 2)
            return {};
        return kx::rtspserve::sdpH264(track, sps, spsLength, pps, ppsLength);
    }
    if (frame->type == KX_OBJECT_TYPE_AAC) {
        audio_aac_object *a = reinterpret_cast<audio_aac_object *>(frame);
        return kx::rtspserve::sdpAac(track, a->config & 15, a->sampleRate, (a->config >> 4) & 7);
    }
    return {};
}

// Packets of one frame with the track's clock, and the frame as the play gate sees it.
// backward: the frame is of a stream played backward.
bool packetizeFrame(kx_Object *frame, kx::rtspserve::TrackClock *clocks, kx::rtspserve::Packets *packets,
                    kx::rtspserve::FrameView *view, bool backward) {
    uint8_t track = frame->reserved & 31;
    view->track = track;
    kx::rtsp::FrameTrailer trailer;
    bool made = false;
    if (frame->type == KX_OBJECT_TYPE_H264) {
        video_h264_object *v = reinterpret_cast<video_h264_object *>(frame);
        trailer = {v->streamTime, v->frameIndex, 1, v->keyFrame, static_cast<uint16_t>(v->width),
                   static_cast<uint16_t>(v->height), v->frameRate};
        made = kx::rtspserve::packetizeH264(v->data, v->dataLenth, track, clocks[track], v->frameRate, v->streamTime,
                                            trailer, packets, backward);
        view->video = true;
        view->key = v->keyFrame == 3 || v->keyFrame == 1;
        view->streamTime = v->streamTime;
    } else if (frame->type == KX_OBJECT_TYPE_AAC) {
        audio_aac_object *a = reinterpret_cast<audio_aac_object *>(frame);
        trailer = {a->streamTime, a->frameIndex, 2, 0, 0, 0, 0.0f};
        made = kx::rtspserve::packetizeAac(a->data, a->dataLenth, track, clocks[track], trailer, packets);
        view->video = false;
        view->streamTime = a->streamTime;
    } else {
        KX_LOGE("Unknown type(=%hu).", frame->type);
    }
    if (made) {
        view->firstSeq = packets->firstSeq;
        view->rtpTime = packets->rtpTime;
    }
    return made;
}

}  // namespace

struct rtspServer : kx::ServiceThread, kx::rtspserve::Resolver {
    rtspServer(const char *name, monitor *m, pthread_t parent, unsigned char *run, uint32_t ip, uint16_t p)
        : ServiceThread(options(name, m, parent, run)), ipv4(ip), port(p) {}
    ~rtspServer() override { stop(); }

    static Options options(const char *name, monitor *m, pthread_t parent, unsigned char *run) {
        Options o;
        o.name = name;
        o.pMonitor = m;
        o.parentTid = parent;
        o.externRunStatus = run;
        o.idleWait = kIdleWait;
        o.labels = {"rtspServer_new__IO", "rtspServer_startThread", "rtspServer_stopThread",
                    "rtspServer_private_thread", "rtspServer_add_item__OI_2"};
        return o;
    }

    const uint32_t ipv4;
    const uint16_t port;
    signed char nice = -1;
    std::atomic<uint16_t> boundPort{0};
    std::atomic<uint32_t> clientLimit{kDefaultClientLimit};
    std::atomic<uint32_t> queueLimit{kDefaultQueueLimit};
    std::atomic<uint32_t> statClients{0}, statPlaying{0};
    std::atomic<uint64_t> statBytes{0}, statMissed{0}, statRefused{0};

    std::vector<rtspServer_item *> items;     // live and demand items
    std::vector<rtspServer_item *> clusters;  // cluster items

protected:
    int onCommand(int command, void *p, Worker *) override;
    void onThreadStart(Worker &w) override { bindPort(w); }
    double onTick(Worker &w, double now) override;
    void onEvent(Worker &w, uint32_t events, void *data) override;
    void onThreadExit(Worker &w) override;
    std::string parameterText() const override;

public:
    Target resolve(const Request &r) override;

private:
    void bindPort(Worker &w);
    void accept(Worker &w);
    void serveClients();
    bool serveItem(rtspServer_item *item);
    bool serveDemand(rtspServer_item *item);
    bool describeDemand(rtspServer_demandRecord *r);
    void handle(Client &c, kx_String *message);
    void joinDemand(Client &c, rtspServer_item *item);
    void notify(rtspServer_item *item, const Client &c);
    void describe(rtspServer_item *item, bool rebuilt);
    void leave(Client &c);
    void drop(Client &c, const char *why);
    void closeClientsOf(rtspServer_item *item);

    int listenFd_ = -1;
    double nextBind_ = 0.0;
    socketPool *pool_ = nullptr;
    std::vector<std::unique_ptr<Client>> clients_;
    int nextIndex_ = 0;

public:
    // Takes the record out of its item's list (under the list's lock), releases its frames
    // and calls the producer's release callback.
    static void freeRecord(rtspServer_demandRecord *r);
};

std::string rtspServer::parameterText() const {
    const unsigned char *a = reinterpret_cast<const unsigned char *>(&ipv4);
    char text[512];
    snprintf(text, sizeof text,
             "threadName:\"%s\"\n  pMonitor=%#lx\n  parentTid=%ld\n  externRunStatus=%#lx\n  pipe=%d/%d\n"
             "  ipv4:\"%hhu.%hhu.%hhu.%hhu:%hu\"\n  itemList=%#lx\n  clusterItemList=%#lx\n",
             name().c_str(), (unsigned long)(uintptr_t)pMonitor(), (long)parentTid(),
             (unsigned long)(uintptr_t)externRunStatus(), wakeReadFd(0), -1, a[0], a[1], a[2], a[3], port,
             (unsigned long)(uintptr_t)&items, (unsigned long)(uintptr_t)&clusters);
    return text;
}

int rtspServer::onCommand(int command, void *p, Worker *) {
    rtspServer_item *item = static_cast<rtspServer_item *>(p);
    std::vector<rtspServer_item *> &list = item->cluster() ? clusters : items;
    const unsigned char *a = reinterpret_cast<const unsigned char *>(&item->clusterIpv4);
    auto at = std::lower_bound(list.begin(), list.end(), item, before);
    bool present = at != list.end() && *at == item;
    if (command == kx::kCommandAdd) {
        if (present) {
            KX_LOGE("Add item has exist,url:\"%s\",ipv4:\"%hhu.%hhu.%hhu.%hhu\",extendKey=%#llx.", item->url.c_str(),
                    a[0], a[1], a[2], a[3], (unsigned long long)(uintptr_t)item);
            return -1;
        }
        list.insert(at, item);
        item->server.store(this);
        return 1;
    }
    if (command == kx::kCommandRemove) {
        if (!present) {
            KX_LOGE("Remove item not exist,url:\"%s\",ipv4:\"%hhu.%hhu.%hhu.%hhu\",extendKey=%#llx.",
                    item->url.c_str(), a[0], a[1], a[2], a[3], (unsigned long long)(uintptr_t)item);
            return -1;
        }
        list.erase(at);
        if (!item->cluster()) closeClientsOf(item);
        item->server.store(nullptr);
        return 1;
    }
    return -1;
}

void rtspServer::closeClientsOf(rtspServer_item *item) {
    for (Client *c : item->clients) {
        c->item = nullptr;
        c->conn.detach();
        c->closing = true;
    }
    item->clients.clear();
    item->clientCount.store(0);
    std::vector<rtspServer_demandRecord *> records = item->demand;
    for (rtspServer_demandRecord *r : records) {
        if (Client *c = r->client) {
            c->record = nullptr;
            c->conn.detach();
            c->closing = true;
        }
        freeRecord(r);
    }
    // The connections themselves go at the next pass (or with the pool when no thread runs).
    if (tid() == 0) {
        for (auto &c : clients_)
            if (c->closing && c->sock != nullptr) {
                socketPool_item_delete__OI(c->sock);
                c->sock = nullptr;
            }
    }
}

void rtspServer::bindPort(Worker &w) {
    int fd = kx_Socket_tcpIpv4_bind__IO(ipv4, port, 0, kBacklog);
    nextBind_ = kx_time_uptime_get() + kBindRetry;
    if (fd < 0) {
        KX_LOGE("Bind the port(=%hu) failed,rv=%d.", port, fd);
        return;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 || w.poller()->add(fd, EPOLLIN, &listenFd_) != 0) {
        close(fd);
        return;
    }
    listenFd_ = fd;
    uint32_t ip = 0;
    uint16_t bound = port;
    if (kx_Socket_addr_get_local(&ip, &bound, fd) == 1) boundPort.store(bound);
    KX_LOGI("sock=%d.", fd);
}

void rtspServer::onEvent(Worker &w, uint32_t, void *data) {
    if (data == &listenFd_) accept(w);
}

void rtspServer::accept(Worker &w) {
    for (;;) {
        struct sockaddr_in peer;
        socklen_t len = sizeof peer;
        int fd = accept4(listenFd_, reinterpret_cast<struct sockaddr *>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED)
                KX_LOGE("Accept error:\"%s\",sock=%d.", strerror(errno), listenFd_);
            if (errno == ECONNABORTED) continue;
            return;
        }
        uint32_t ip = peer.sin_addr.s_addr;
        uint16_t peerPort = ntohs(peer.sin_port);
        uint32_t limit = clientLimit.load();
        if (limit != 0 && clients_.size() >= limit) {
            static const char kBusy[] = "RTSP/1.0 503 Service Unavailable\r\n\r\n";
            ssize_t n = send(fd, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            (void)n;
            close(fd);
            statRefused.fetch_add(1);
            continue;
        }
        if (pool_ == nullptr) {
            pool_ = socketPool_new__IO("SocketPool", pMonitor(), w.tid(), externRunStatus(), 30.0, 4, 0.0);
            if (pool_ == nullptr) {
                close(fd);
                return;
            }
            socketPool_set_recvLimits(pool_, kMaxRequestHeader, kMaxRequestBody, 0);
            socketPool_startThread(pool_, nice);
        }
        socketPool_item *sock = socketPool_item_new_http_bySock__OI__OI(fd, ip, peerPort, 0);
        if (sock == nullptr) continue;
        if (socketPool_add_item__OI_2(pool_, sock) != 1) {
            socketPool_item_delete__OI(sock);
            continue;
        }
        clients_.push_back(std::make_unique<Client>(sock, ip, peerPort, boundPort.load(), ++nextIndex_));
        statClients.store(static_cast<uint32_t>(clients_.size()));
    }
}

double rtspServer::onTick(Worker &w, double now) {
    if (listenFd_ < 0 && now >= nextBind_) bindPort(w);
    bool frames = false;
    {
        // The pool's thread is woken once for all the frames' clients, after the fan-out.
        kx::pool::SendBatch batch;
        for (rtspServer_item *item : items) {
            if (item->live()) frames |= serveItem(item);
            if (!item->demand.empty()) frames |= serveDemand(item);
        }
    }
    serveClients();
    return frames ? 0.0 : kIdleWait;
}

void rtspServer::onThreadExit(Worker &w) {
    for (rtspServer_item *item : items) {
        item->clients.clear();
        item->clientCount.store(0);
        std::vector<rtspServer_demandRecord *> records = item->demand;
        for (rtspServer_demandRecord *r : records) freeRecord(r);
    }
    if (listenFd_ >= 0) {
        w.poller()->remove(listenFd_);
        close(listenFd_);
        listenFd_ = -1;
        boundPort.store(0);
    }
    // Deleting the pool closes every client connection still listed in it.
    for (auto &c : clients_)
        if (c->sock != nullptr && c->closing) socketPool_item_delete__OI(c->sock);
    clients_.clear();
    if (pool_ != nullptr) {
        socketPool_stopThread(pool_);
        socketPool_delete__OI(pool_);
        pool_ = nullptr;
    }
    statClients.store(0);
    statPlaying.store(0);
}

// ---- requests ----

namespace {

// The item of a chain of equal URLs: the first eligible one, replaced by a later eligible
// one only while that one's priority is smaller.
// An item without the live and demand bits (a bare prefix item) serves every request as a
// demand item, with or without parameters.
bool serves(const rtspServer_item *it, unsigned char bit) {
    if ((it->modelType & (RTSPSERVER_MODEL_LIVE | RTSPSERVER_MODEL_DEMAND)) == 0)
        return (it->modelType & RTSPSERVER_MODEL_PREFIX) != 0;
    return (it->modelType & bit) != 0;
}

rtspServer_item *choose(const std::vector<rtspServer_item *> &list, size_t from, bool hasUrl, std::string_view url,
                        bool wantPrefix, unsigned char bit) {
    rtspServer_item *best = nullptr;
    for (size_t i = from; i < list.size(); ++i) {
        rtspServer_item *it = list[i];
        if (it->hasUrl != hasUrl || (hasUrl && it->url != url)) break;
        bool eligible = serves(it, bit) && (!wantPrefix || (it->modelType & RTSPSERVER_MODEL_PREFIX));
        if (!eligible) continue;
        if (best == nullptr) best = it;
        else if (it->priority < best->priority) best = it;
        else break;
    }
    return best;
}

rtspServer_item *find(const std::vector<rtspServer_item *> &list, const Request &r) {
    unsigned char bit = r.hasQuery ? RTSPSERVER_MODEL_DEMAND : RTSPSERVER_MODEL_LIVE;
    auto chainAt = [&](bool hasUrl, std::string_view url) -> size_t {
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i]->hasUrl == hasUrl && (!hasUrl || list[i]->url == url)) return i;
        return list.size();
    };
    if (!r.hasPath) return choose(list, chainAt(false, {}), false, {}, false, bit);
    if (rtspServer_item *it = choose(list, chainAt(true, r.path), true, r.path, false, bit)) return it;
    for (size_t n = r.path.size(); n > 0; --n) {
        std::string_view part = r.path.substr(0, n);
        if (rtspServer_item *it = choose(list, chainAt(true, part), true, part, true, bit)) return it;
    }
    return choose(list, chainAt(false, {}), false, {}, true, bit);
}

}  // namespace

// Local items first, then cluster items; but a local item without URL (a catch-all, such as
// a file streamer's) yields to a cluster item whose URL matches, which names the path.
Target rtspServer::resolve(const Request &r) {
    rtspServer_item *local = find(items, r);
    rtspServer_item *cluster = local == nullptr || !local->hasUrl ? find(clusters, r) : nullptr;
    if (cluster != nullptr && (local == nullptr || cluster->hasUrl))
        return {Target::cluster, cluster, cluster->clusterIpv4};
    if (local != nullptr) return {local->live() && !r.hasQuery ? Target::live : Target::demand, local, 0};
    return {};
}

void rtspServer::leave(Client &c) {
    if (c.record != nullptr) {
        c.record->client = nullptr;
        freeRecord(c.record);
        c.record = nullptr;
    }
    if (c.item == nullptr) return;
    auto &v = c.item->clients;
    v.erase(std::remove(v.begin(), v.end(), &c), v.end());
    c.item->clientCount.store(static_cast<uint32_t>(v.size()));
    c.item = nullptr;
}

void rtspServer::drop(Client &c, const char *why) {
    (void)why;
    leave(c);
    c.conn.detach();
    c.closing = true;
}

void rtspServer::handle(Client &c, kx_String *message) {
    uint32_t head = 0;
    memcpy(&head, message->buffer + message->lenth + 1, sizeof head);
    std::string_view text(message->buffer, message->lenth);
    uint16_t status = c.conn.status();
    Outcome o = c.conn.handle(text, head, *this);
    if (o.detached) leave(c);
    if (!o.reply.empty()) {
        socketPool_item_send_buffer(c.sock, static_cast<uint32_t>(o.reply.size()), o.reply.data());
        statBytes.fetch_add(o.reply.size());
    }
    if (!o.log.empty() || o.close) {
        std::string peer = c.conn.peer();
        std::string shown(text.substr(0, std::min<size_t>(text.size(), 256)));
        if (o.log == "Invalid Cseq")
            KX_LOGE("Invalid Cseq(=%u) recv from the client:\"%s\",status=%#hx,url:\"%s\",len=%lu,headLenth=%u,"
                    "data:\"%s\".",
                    c.conn.cseq(), peer.c_str(), status, std::string(c.conn.path()).c_str(),
                    (unsigned long)text.size(), head, shown.c_str());
        else
            KX_LOGE("Invalid data recv from the client:\"%s\",status=%#hx,url:\"%s\",data:\"%s\".", peer.c_str(),
                    status, std::string(c.conn.path()).c_str(), shown.c_str());
    }
    if (o.close) {
        drop(c, o.log.c_str());
        return;
    }
    if (o.described) {
        rtspServer_item *item = static_cast<rtspServer_item *>(c.conn.item());
        if (item->live() && !(c.conn.status() & kx::rtspserve::kDemand)) {
            c.item = item;
            item->clients.push_back(&c);
            item->clientCount.store(static_cast<uint32_t>(item->clients.size()));
            if (item->sdpReady) {
                std::string answer = c.conn.describeAnswer(item->sdp);
                socketPool_item_send_buffer(c.sock, static_cast<uint32_t>(answer.size()), answer.data());
            }
        } else {
            joinDemand(c, item);
        }
    }
    if (c.record != nullptr) {
        if (o.startTime > 0.0) c.record->startTime.store(o.startTime);
        // The next frames are of the new position or mode: their times start a new stretch.
        if (o.startTime > 0.0 || o.streamTypeSet)
            for (kx::rtspserve::TrackClock &clock : c.record->clocks) clock.restart();
        if (o.streamTypeSet) {
            c.record->streamType.store(c.conn.streamType());
            c.record->typeChanges.fetch_add(1);
        }
        if (o.play || o.startTime > 0.0 || o.streamTypeSet) notify(c.record->item, c);
    }
}

void rtspServer::notify(rtspServer_item *item, const Client &c) {
    if (item->pipe[1] < 0) return;
    char drain[64];
    while (read(item->pipe[0], drain, sizeof drain) > 0) {
    }
    if (write(item->pipe[1], "n", 1) != 1)
        KX_LOGE("Write pipe(=%d) error:\"%s\" for the client:\"%s\",url:\"%s\".", item->pipe[1], strerror(errno),
                c.conn.peer().c_str(), std::string(c.conn.path()).c_str());
}

void rtspServer::joinDemand(Client &c, rtspServer_item *item) {
    rtspServer_demandRecord *r = new (std::nothrow) rtspServer_demandRecord;
    if (r == nullptr) {
        drop(c, "memory");
        return;
    }
    r->item = item;
    r->hasPath = c.conn.hasPath();
    r->path.assign(c.conn.path());
    r->query.assign(c.conn.query());
    if (!r->query.empty()) {
        std::string text = "?" + r->query;
        if (kx_UrlParameter *p = kx_UrlParameter_new_IO(text.data(), text.size())) {
            for (uint32_t i = 0; i < p->count; ++i) {
                const kx_UrlParameterPair &pair = p->parameters[i];
                if (pair.name == nullptr) continue;
                r->params.emplace_back(kx::rtspserve::percentDecode(pair.name),
                                       pair.value != nullptr ? kx::rtspserve::percentDecode(pair.value) : "");
            }
            kx_UrlParameter_delete__OI(p);
        }
    }
    r->ipv4 = c.ipv4;
    r->port = c.port;
    r->index = c.index;
    r->client = &c;
    c.record = r;
    {
        std::lock_guard<std::mutex> lock(item->demandMutex);
        item->demand.push_back(r);
        item->demandCount.store(static_cast<uint32_t>(item->demand.size()));
    }
    notify(item, c);
}

void rtspServer::freeRecord(rtspServer_demandRecord *r) {
    rtspServer_item *item = r->item;
    {
        std::lock_guard<std::mutex> lock(item->demandMutex);
        auto &v = item->demand;
        v.erase(std::remove(v.begin(), v.end(), r), v.end());
        item->demandCount.store(static_cast<uint32_t>(v.size()));
    }
    if (r->client != nullptr) r->client->record = nullptr;
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->dropFramesLocked();
    }
    if (r->releaseFn != nullptr) r->releaseFn(r->context);
    delete r;
}

void rtspServer::serveClients() {
    uint32_t playing = 0;
    for (size_t i = 0; i < clients_.size();) {
        Client &c = *clients_[i];
        if (!c.closing && socketPool_item_connectTime_get(c.sock) <= 0.0) {
            if (c.conn.item() != nullptr)
                KX_LOGI("The client:\"%s\" disconnect,status=%#hx,url:\"%s\".", c.conn.peer().c_str(),
                        c.conn.status(), std::string(c.conn.path()).c_str());
            else
                KX_LOGI("The client:\"%s\" disconnect,status=%#hx,item=%#lx.", c.conn.peer().c_str(),
                        c.conn.status(), 0ul);
            drop(c, "disconnect");
        }
        if (!c.closing) {
            if (kx_ObjectList *all = socketPool_item_recv_get_all__IO(c.sock)) {
                for (uint32_t k = 0; k < all->count; ++k) {
                    kx_String *m = static_cast<kx_String *>(all->array[all->start + k]);
                    if (!c.closing) handle(c, m);
                    kx_String_delete__OI(m);
                }
                kx_ObjectList_delete__OI(all);
            }
        }
        if (c.closing) {
            if (c.sock != nullptr) socketPool_item_delete__OI(c.sock);
            clients_[i] = std::move(clients_.back());
            clients_.pop_back();
            continue;
        }
        if (c.conn.status() & kx::rtspserve::kPlaying) ++playing;
        ++i;
    }
    statClients.store(static_cast<uint32_t>(clients_.size()));
    statPlaying.store(playing);
}

// ---- frames ----

void rtspServer::describe(rtspServer_item *item, bool rebuilt) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    std::string sdp = kx::rtspserve::sdpSession(ipv4, tv.tv_sec + tv.tv_usec / 1e6, 0.0);
    for (int t = 0; t < 32; ++t)
        if (item->describedMask & (1u << t)) sdp += item->media[t];
    item->sdp = std::move(sdp);
    item->sdpReady = true;
    if (rebuilt) return;
    for (Client *c : item->clients) {
        if (c->conn.status() & kx::rtspserve::kDescribed) continue;
        std::string answer = c->conn.describeAnswer(item->sdp);
        socketPool_item_send_buffer(c->sock, static_cast<uint32_t>(answer.size()), answer.data());
    }
}

bool rtspServer::serveItem(rtspServer_item *item) {
    std::deque<kx_Object *> frames;
    {
        std::lock_guard<std::mutex> lock(item->frameMutex);
        frames.swap(item->frames);
    }
    if (frames.empty()) return false;
    const uint32_t mask = item->trackMask.load();
    kx::rtspserve::Packets packets;
    for (kx_Object *frame : frames) {
        uint8_t track = frame->reserved & 31;
        uint32_t bit = 1u << track;
        kx::rtspserve::FrameView view;
        bool made = false;
        if (frame->type == KX_OBJECT_TYPE_H264 && (mask & bit)) {
            // A new key frame may carry other parameter sets: the description follows them.
            std::string m = mediaOf(frame);
            if (!m.empty() && m != item->media[track]) {
                item->media[track] = std::move(m);
                item->describedMask |= bit;
                if (item->sdpReady) describe(item, true);
            }
        } else if (frame->type == KX_OBJECT_TYPE_AAC && (mask & bit) && !(item->describedMask & bit)) {
            item->media[track] = mediaOf(frame);
            item->describedMask |= bit;
        }
        if (item->sdpReady && !item->clients.empty() && (mask & bit)) {
            made = packetizeFrame(frame, item->clocks, &packets, &view, false);
        } else if (frame->type != KX_OBJECT_TYPE_H264 && frame->type != KX_OBJECT_TYPE_AAC) {
            KX_LOGE("Unknown type(=%hu).", frame->type);
        }
        if (!item->sdpReady && mask != 0 && (item->describedMask & mask) == mask) describe(item, false);
        if (made) {
            kx_String *shared = nullptr;
            const size_t limit = queueLimit.load();
            for (Client *c : item->clients) {
                Offer offer = c->conn.offer(view, packets.bytes, queued(c->sock), limit);
                if (offer == Offer::send) {
                    if (shared == nullptr)
                        shared = kx_String_new_form_stringBuffer__IO(packets.bytes.data(),
                                                                     static_cast<uint32_t>(packets.bytes.size()));
                    if (shared != nullptr && socketPool_item_send_share(c->sock, shared) == 1)
                        statBytes.fetch_add(packets.bytes.size());
                } else if (offer == Offer::start) {
                    std::string start = c->conn.takeStart();
                    socketPool_item_send_buffer(c->sock, static_cast<uint32_t>(start.size()), start.data());
                    statBytes.fetch_add(start.size());
                } else if (offer == Offer::miss) {
                    statMissed.fetch_add(1);
                }
            }
            if (shared != nullptr) kx_String_delete__OI(shared);
        }
        release(frame);
    }
    return true;
}

// The record's description from its own frames, looked at but left in place.
bool rtspServer::describeDemand(rtspServer_demandRecord *r) {
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        if (r->scanned > r->frames.size()) r->scanned = 0;
        for (; r->scanned < r->frames.size() && !r->description.complete(); ++r->scanned) {
            kx_Object *frame = r->frames[r->scanned];
            r->description.add(frame->reserved & 31, mediaOf(frame));
        }
    }
    if (!r->description.complete()) return false;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    std::string sdp = kx::rtspserve::sdpSession(ipv4, tv.tv_sec + tv.tv_usec / 1e6, r->duration.load()) +
                      r->description.media();
    Client *c = r->client;
    std::string answer = c->conn.describeAnswer(sdp);
    socketPool_item_send_buffer(c->sock, static_cast<uint32_t>(answer.size()), answer.data());
    statBytes.fetch_add(answer.size());
    return true;
}

// Demand clients: the description once their frames make it, then, after PLAY, their own
// frames while fewer than kDemandQueueLimit strings wait on the socket. A start time not yet
// taken by the producer, or a stream type it has not yet visited the record with, holds the
// frames back (they belong to the old position or mode).
bool rtspServer::serveDemand(rtspServer_item *item) {
    bool progress = false;
    kx::rtspserve::Packets packets;
    for (rtspServer_demandRecord *r : item->demand) {  // this thread is the list's only writer
        Client *c = r->client;
        if (c == nullptr || c->closing) continue;
        const uint16_t status = c->conn.status();
        if (!(status & kx::rtspserve::kDescribed)) {
            progress |= describeDemand(r);
            continue;
        }
        if (!(status & (kx::rtspserve::kPlayRequested | kx::rtspserve::kPlaying))) continue;
        while (queued(c->sock) < kDemandQueueLimit) {
            kx_Object *frame = nullptr;
            {
                std::lock_guard<std::mutex> lock(r->mutex);
                if (r->frames.empty() || r->startTime.load() > 0.0 ||
                    r->typeSeen.load() != r->typeChanges.load())
                    break;
                frame = r->frames.front();
                r->frames.pop_front();
                r->scanned = 0;
            }
            progress = true;
            kx::rtspserve::FrameView view;
            if (packetizeFrame(frame, r->clocks, &packets, &view, (r->streamType.load() & 1) != 0)) {
                Offer offer = c->conn.offer(view, packets.bytes, 0, SIZE_MAX);
                if (offer == Offer::send) {
                    socketPool_item_send_buffer(c->sock, static_cast<uint32_t>(packets.bytes.size()),
                                                packets.bytes.data());
                    statBytes.fetch_add(packets.bytes.size());
                } else if (offer == Offer::start) {
                    std::string start = c->conn.takeStart();
                    socketPool_item_send_buffer(c->sock, static_cast<uint32_t>(start.size()), start.data());
                    statBytes.fetch_add(start.size());
                }
            }
            release(frame);
        }
    }
    return progress;
}

// ---- C interface ----

extern "C" {

rtspServer *rtspServer_new__IO(const char *threadName, monitor *pMonitor, pthread_t parentTid,
                               unsigned char *externRunStatus, uint32_t ipv4, uint16_t port) {
    try {
        return new rtspServer(threadName != nullptr ? threadName : "rtspServer", pMonitor, parentTid,
                              externRunStatus, ipv4, port);
    } catch (...) {
        KX_LOGE("kx_socket_pipe error.");
        return nullptr;
    }
}

int rtspServer_startThread(rtspServer *server, signed char nice) {
    if (server == nullptr) return -1;
    server->nice = nice;
    return server->start(nice);
}

void rtspServer_stopThread(rtspServer *server) {
    if (server != nullptr) server->stop();
}

void rtspServer_delete__OI(rtspServer *server) {
    if (server == nullptr) return;
    server->stop();
    std::vector<rtspServer_item *> all = server->items;
    all.insert(all.end(), server->clusters.begin(), server->clusters.end());
    server->items.clear();
    server->clusters.clear();
    for (rtspServer_item *item : all) {
        item->server.store(nullptr);
        rtspServer_item_delete__OI(item);
    }
    delete server;
}

void rtspServer_clientLimit_set(rtspServer *server, uint32_t maxClients) {
    if (server != nullptr) server->clientLimit.store(maxClients);
}

void rtspServer_queueLimit_set(rtspServer *server, uint32_t maxQueued) {
    if (server != nullptr) server->queueLimit.store(maxQueued);
}

uint16_t rtspServer_port_get(const rtspServer *server) { return server != nullptr ? server->boundPort.load() : 0; }

void rtspServer_stats_get(const rtspServer *server, rtspServer_stats *stats) {
    if (server == nullptr || stats == nullptr) return;
    stats->clients = server->statClients.load();
    stats->playing = server->statPlaying.load();
    stats->bytesQueued = server->statBytes.load();
    stats->framesMissed = server->statMissed.load();
    stats->refused = server->statRefused.load();
}

rtspServer_item *rtspServer_item_new__IO(const char *url, uint32_t clusterIpv4, unsigned char modelType,
                                         signed char priority, uint32_t value1, uint32_t value2, uint32_t value3,
                                         double floatValue, unsigned char withPipe) {
    if (clusterIpv4 == 0 && (modelType < 1 || modelType > 7)) {
        KX_LOGE("Invalid modelType(=%hhu).", modelType);
        return nullptr;
    }
    rtspServer_item *item = new (std::nothrow) rtspServer_item;
    if (item == nullptr) return nullptr;
    if (url != nullptr) {
        item->url = url;
        item->hasUrl = true;
    }
    item->clusterIpv4 = clusterIpv4;
    item->modelType = modelType;
    item->priority = priority;
    item->values[0] = value1;
    item->values[1] = value2;
    item->values[2] = value3;
    item->floatValue = floatValue;
    if (clusterIpv4 == 0 && withPipe == 1) {
        if (kx_socket_pipe(item->pipe) != 1) {
            KX_LOGE("kx_socket_pipe error.");
            item->pipe[0] = item->pipe[1] = -1;
        } else {
            fcntl(item->pipe[0], F_SETFL, fcntl(item->pipe[0], F_GETFL) | O_NONBLOCK);
        }
    }
    return item;
}

void rtspServer_item_delete__OI(rtspServer_item *item) {
    if (item == nullptr) return;
    if (rtspServer *server = item->server.load()) rtspServer_remove_item__IO_2(server, item);
    std::vector<rtspServer_demandRecord *> records = item->demand;
    for (rtspServer_demandRecord *r : records) rtspServer::freeRecord(r);
    for (kx_Object *f : item->frames) release(f);
    item->frames.clear();
    if (item->pipe[0] >= 0) close(item->pipe[0]);
    if (item->pipe[1] >= 0) close(item->pipe[1]);
    delete item;
}

int rtspServer_add_item__OI_2(rtspServer *server, rtspServer_item *item) {
    if (server == nullptr || item == nullptr) return -1;
    return server->handOver(kx::kCommandAdd, item);
}

int rtspServer_remove_item__IO_2(rtspServer *server, rtspServer_item *item) {
    if (server == nullptr || item == nullptr) return -1;
    return server->handOver(kx::kCommandRemove, item);
}

void rtspServer_item_trackMask_set(rtspServer_item *item, uint32_t trackMask) {
    if (item != nullptr) item->trackMask.store(trackMask);
}

int rtspServer_item_pipe_get(const rtspServer_item *item) { return item != nullptr ? item->pipe[0] : -1; }

int rtspServer_item_add_frame__OI_2(rtspServer_item *item, kx_Object *frame) {
    if (frame == nullptr) return -1;
    if (item == nullptr || !item->live() ||
        (frame->type != KX_OBJECT_TYPE_H264 && frame->type != KX_OBJECT_TYPE_AAC)) {
        release(frame);
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(item->frameMutex);
        item->frames.push_back(frame);
    }
    if (rtspServer *server = item->server.load()) server->wake('f', 0);
    return 1;
}

int rtspServer_item_add_frame(rtspServer_item *item, kx_Object *frame) {
    if (frame == nullptr) return -1;
    kx_Object_addRefer_pthreadSafety_(frame);
    return rtspServer_item_add_frame__OI_2(item, frame);
}

uint32_t rtspServer_item_frameCount_get(rtspServer_item *item) {
    if (item == nullptr) return 0;
    std::lock_guard<std::mutex> lock(item->frameMutex);
    return static_cast<uint32_t>(item->frames.size());
}

uint32_t rtspServer_item_clientCount_get(rtspServer_item *item) {
    return item != nullptr ? item->clientCount.load() : 0;
}

// ---- demand clients ----

uint32_t rtspServer_item_demandClients_each(rtspServer_item *item, int (*fn)(rtspServer_demandRecord *, void *),
                                            void *user) {
    if (item == nullptr || fn == nullptr) return 0;
    std::lock_guard<std::mutex> lock(item->demandMutex);
    uint32_t visited = 0;
    for (rtspServer_demandRecord *r : item->demand) {
        ++visited;
        // The producer sees every stream-type change made before its visit begins.
        uint32_t changes = r->typeChanges.load();
        int stop = fn(r, user);
        r->typeSeen.store(changes);
        if (stop != 0) break;
    }
    return visited;
}

uint32_t rtspServer_item_demandClientCount_get(rtspServer_item *item) {
    return item != nullptr ? item->demandCount.load() : 0;
}

const char *rtspServer_demandRecord_path_get(const rtspServer_demandRecord *record) {
    return record != nullptr && record->hasPath ? record->path.c_str() : nullptr;
}

const char *rtspServer_demandRecord_query_get(const rtspServer_demandRecord *record) {
    return record != nullptr ? record->query.c_str() : nullptr;
}

int rtspServer_demandRecord_param_get(const rtspServer_demandRecord *record, const char *name, char *out,
                                      uint32_t outSize) {
    if (record == nullptr || name == nullptr) return -1;
    for (const auto &p : record->params) {
        if (p.first != name) continue;
        if (out == nullptr || outSize == 0 || p.second.size() > outSize - 1) return -1;
        memcpy(out, p.second.data(), p.second.size());
        out[p.second.size()] = '\0';
        return static_cast<int>(p.second.size());
    }
    return -1;
}

void rtspServer_demandRecord_peer_get(const rtspServer_demandRecord *record, uint32_t *ipv4, uint16_t *port,
                                      int *index) {
    if (record == nullptr) return;
    if (ipv4 != nullptr) *ipv4 = record->ipv4;
    if (port != nullptr) *port = record->port;
    if (index != nullptr) *index = record->index;
}

void *rtspServer_demandRecord_context_get(const rtspServer_demandRecord *record) {
    return record != nullptr ? record->context : nullptr;
}

void rtspServer_demandRecord_context_set(rtspServer_demandRecord *record, void *context,
                                         rtspServer_demand_release release) {
    if (record == nullptr) return;
    record->context = context;
    record->releaseFn = release;
}

unsigned char rtspServer_demandRecord_state_get(const rtspServer_demandRecord *record) {
    return record != nullptr ? record->state.load() : 0;
}

void rtspServer_demandRecord_state_set(rtspServer_demandRecord *record, unsigned char state) {
    if (record != nullptr) record->state.store(state);
}

void rtspServer_demandRecord_duration_set(rtspServer_demandRecord *record, double duration) {
    if (record != nullptr) record->duration.store(isfinite(duration) && duration > 0.0 ? duration : 0.0);
}

double rtspServer_demandRecord_startTime_take(rtspServer_demandRecord *record) {
    if (record == nullptr) return 0.0;
    std::lock_guard<std::mutex> lock(record->mutex);
    double start = record->startTime.exchange(0.0);
    if (start > 0.0) record->dropFramesLocked();
    return start;
}

unsigned char rtspServer_demandRecord_streamType_get(const rtspServer_demandRecord *record) {
    return record != nullptr ? record->streamType.load() : 0;
}

void rtspServer_demandRecord_streamType_set(rtspServer_demandRecord *record, unsigned char streamType) {
    if (record != nullptr) record->streamType.store(streamType);
}

void rtspServer_demandRecord_frames_drop(rtspServer_demandRecord *record) {
    if (record == nullptr) return;
    std::lock_guard<std::mutex> lock(record->mutex);
    record->dropFramesLocked();
}

uint32_t rtspServer_demandRecord_frameCount_get(const rtspServer_demandRecord *record) {
    if (record == nullptr) return 0;
    std::lock_guard<std::mutex> lock(record->mutex);
    return static_cast<uint32_t>(record->frames.size());
}

int rtspServer_item_DemandClient_add_frame__OI_2(rtspServer_demandRecord *record, kx_Object *frame) {
    if (frame == nullptr) return -1;
    if (record == nullptr || (frame->type != KX_OBJECT_TYPE_H264 && frame->type != KX_OBJECT_TYPE_AAC)) {
        release(frame);
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(record->mutex);
        record->frames.push_back(frame);
    }
    if (rtspServer *server = record->item->server.load()) server->wake('f', 0);
    return 1;
}

int rtspServer_item_DemandClient_add_frame(rtspServer_demandRecord *record, kx_Object *frame) {
    if (frame == nullptr) return -1;
    kx_Object_addRefer_pthreadSafety_(frame);
    return rtspServer_item_DemandClient_add_frame__OI_2(record, frame);
}

}  // extern "C"
