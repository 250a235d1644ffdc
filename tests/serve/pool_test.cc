// The socket pool over real loopback connections: HTTP and standard framing on the wire,
// hostile peers hitting the length caps (only their own connection closes), outbound
// reconnects on the tick, idle close, adding before the thread starts, removal keeping the
// queued strings, one shared buffer written to many items, 2000 connections on one pool.
// KX_THREADED: also runs under ThreadSanitizer.
#include "serve/pool.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kx/objectlist.h"
#include "kx/socket.h"
#include "kx/socketpool.h"
#include "kx/string.h"
#include "tests/support/fdlimit.hpp"
#include "tests/support/stdout_capture.hpp"
#include "tests/support/wait.hpp"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Capture = kxtest::CaptureShownOnFailure;
using kxtest::eventually;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A loopback listener and connections through it.
struct Listener {
    uint16_t port = 0;  // network order
    int fd = -1;
    explicit Listener(uint32_t backlog = 64) { fd = kx_Socket_unix_bind__IO(&port, 0, backlog); }
    ~Listener() {
        if (fd >= 0) close(fd);
    }
    // A connected pair: *peer is the test's end, the result the end the pool gets.
    int connect_pair(int *peer) {
        *peer = kx_Socket_unix_connect__IO(port, 0, 5.0);
        return kx_Socket_unix_accept(nullptr, nullptr, fd, 0, 5.0);
    }
    // An item over a fresh connection (HTTP or standard framing, label as its port); *peer
    // is the test's end.
    socketPool_item *item(int *peer, bool http, uint16_t label, unsigned char withSentList = 0) {
        int s = connect_pair(peer);
        return http ? socketPool_item_new_http_bySock__OI__OI(s, kLoopback, label, withSentList)
                    : socketPool_item_new_standard_bySock__IO__OI(s, kLoopback, label, withSentList);
    }
};

struct Pool {
    socketPool *p;
    explicit Pool(double keepTime = 60.0, double tick = 0.05) {
        p = socketPool_new__IO("pool_test", nullptr, 0, nullptr, keepTime, 100, 1.0);
        kx::pool::setTickPeriod(p, tick);
    }
    ~Pool() { socketPool_delete__OI(p); }
    operator socketPool *() const { return p; }
};

// Messages taken from an item until n have arrived (or the wait gives up).
std::vector<std::string> take(socketPool_item *it, size_t n) {
    std::vector<std::string> got;
    eventually([&] {
        while (kx_String *s = socketPool_item_recv_get__IO(it)) {
            got.emplace_back(s->buffer, s->lenth);
            kx_String_delete__OI(s);
        }
        return got.size() >= n;
    });
    return got;
}

// The peer reads until the pool closes its end: true when it saw the close.
bool peer_sees_close(int peer) {
    char buf[4096];
    for (;;) {
        int rv = kx_Socket_recv_by_sock(peer, buf, 1, 10.0);
        if (rv == -2) return true;   // closed or reset
        if (rv != 1) return false;   // time-out
    }
}

bool send_all(int fd, const std::string &s) {
    return kx_Socket_tcpIPv4_send_by_sock(fd, static_cast<uint32_t>(s.size()), s.data(), 5.0) == 1;
}

std::string recv_exact(int fd, size_t n) {
    std::string s(n, '\0');
    if (kx_Socket_tcpIPv4_recv_by_sock(fd, s.data(), static_cast<uint32_t>(n), 10.0) != 1) return "";
    return s;
}

uint64_t received_total(socketPool *p) {
    uint64_t r = 0;
    socketPool_counters_get(p, nullptr, &r);
    return r;
}

TEST(SocketPool, HttpMessagesOnTheWire) {
    Capture cap;
    Listener l;
    Pool pool;
    ASSERT_EQ(socketPool_startThread(pool, -1), 1);
    int peer;
    socketPool_item *it = l.item(&peer, true, 554);
    ASSERT_EQ(socketPool_add_item__OI_2(pool, it), 1);

    // "\r\n\r\n" split across two reads: the second part goes out once the first was read.
    ASSERT_TRUE(send_all(peer, "OPTIONS * RTSP/1.0\r\n\r"));
    ASSERT_TRUE(eventually([&] { return received_total(pool) >= 21; }));
    ASSERT_TRUE(send_all(peer, "\n"));
    EXPECT_EQ(take(it, 1), std::vector<std::string>{"OPTIONS * RTSP/1.0\r\n\r\n"});

    // Two pipelined requests in one write, NUL bytes ahead of a request, a body.
    const std::string a = "A\r\nCSeq: 2\r\n\r\n", b = "B\r\nContent-Length: 0\r\n\r\n";
    const std::string c = "SET_PARAMETER * RTSP/1.0\r\nContent-Length: 4\r\n\r\nbody";
    ASSERT_TRUE(send_all(peer, a + b + "junk\0\0"s + c));
    std::vector<std::string> got = take(it, 3);
    EXPECT_EQ(got, (std::vector<std::string>{a, b, c}));

    // Replies go out in order.
    EXPECT_EQ(socketPool_item_send_buffer(it, 5, "one\r\n"), 1);
    EXPECT_EQ(socketPool_item_send_OI_2(it, kx_String_new_form_string__IO("two\r\n")), 1);
    char *heap = static_cast<char *>(malloc(5));  // exactly the bytes: nothing may be written behind them
    memcpy(heap, "three", 5);
    EXPECT_EQ(socketPool_item_send_OI_3(it, 5, heap), 1);
    EXPECT_EQ(recv_exact(peer, 15), "one\r\ntwo\r\nthree");
    socketPool_item_delete__OI(it);  // removes it from the pool first
    EXPECT_TRUE(peer_sees_close(peer));
    close(peer);
}

TEST(SocketPool, StandardFramingOnTheWire) {
    Capture cap;
    Listener l;
    Pool pool;
    ASSERT_EQ(socketPool_startThread(pool, -1), 1);
    int peer;
    socketPool_item *it = l.item(&peer, false, 7000, 1);
    ASSERT_EQ(socketPool_add_item__OI_2(pool, it), 1);
    const std::string m1 = "\x16\0\0\0\3\0\0\0abc"s, m2 = "\x02\0\0\0\0\0\0\0"s;
    ASSERT_TRUE(send_all(peer, m1 + m2));
    std::vector<std::string> got;
    ASSERT_TRUE(eventually([&] {  // all waiting messages at once, in order
        kx_ObjectList *all = socketPool_item_recv_get_all__IO(it);
        for (uint32_t i = 0; all && i < all->count; ++i) {
            auto *m = static_cast<kx_String *>(all->array[all->start + i]);
            got.emplace_back(m->buffer, m->lenth);
            kx_String_delete__OI(m);
        }
        if (all) kx_ObjectList_delete__OI(all);
        return got.size() >= 2;
    }));
    EXPECT_EQ(got, (std::vector<std::string>{m1, m2}));
    EXPECT_EQ(socketPool_item_recv_get_all__IO(it), nullptr);
    // The error message: head word with type 6, length of the text.
    EXPECT_EQ(socketPool_item_send_errorData_standard(it, 0x123, "bad %d", 7), 1);
    EXPECT_EQ(recv_exact(peer, 13), "\x26\x01\0\0\5\0\0\0bad 7"s);
    // Written strings were kept on the sent list.
    ASSERT_TRUE(eventually([&] {
        pthread_mutex_lock(&it->sentList->mutex);
        uint32_t n = it->sentList->count;
        pthread_mutex_unlock(&it->sentList->mutex);
        return n == 1;
    }));
    socketPool_item_delete__OI(it);
    close(peer);
}

// Hostile peers: each breaks one cap and loses its own connection with an error record; a
// well-behaved neighbour on the same pool keeps working.
TEST(SocketPool, HostilePeersCloseOnlyTheirOwnConnection) {
    Capture cap;
    Listener l;
    Pool pool;
    socketPool_set_recvLimits(pool, 4096, 1024, 2048);
    ASSERT_EQ(socketPool_startThread(pool, -1), 1);
    int goodPeer;
    socketPool_item *good = l.item(&goodPeer, true, 1);
    ASSERT_EQ(socketPool_add_item__OI_2(pool, good), 1);

    struct Case {
        const char *name;
        bool http;
        std::string input;
        const char *record;
    } cases[] = {
        {"header without its empty line", true, std::string(5000, 'h'), "\" has error,rv=-1,"},
        {"Content-Length above the cap", true, "P\r\nContent-Length: 1025\r\n\r\n", "\" has error,rv=-3,"},
        {"negative Content-Length", true, "P\r\nContent-Length: -5\r\n\r\n", "\" has error,rv=-2,"},
        {"overflowing Content-Length", true, "P\r\nContent-Length: 18446744073709551621\r\n\r\n",
         "\" has error,rv=-3,"},
        {"standard length above the cap", false, "\1\0\0\0\xF9\7\0\0"s, "\"failed,rv=-5."},
    };
    uint16_t label = 100;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int peer;
        socketPool_item *it = l.item(&peer, c.http, ++label);
        ASSERT_EQ(socketPool_add_item__OI_2(pool, it), 1);
        send_all(peer, c.input);  // the pool may reset the connection before all of it went out
        EXPECT_TRUE(peer_sees_close(peer));
        EXPECT_TRUE(eventually([&] { return socketPool_item_connectTime_get(it) == 0; }));
        EXPECT_NE(cap.text().find("127.0.0.1:" + std::to_string(label) + c.record), std::string::npos);
        EXPECT_EQ(socketPool_item_recv_get__IO(it), nullptr);
        socketPool_item_delete__OI(it);
        close(peer);
        // The neighbour still gets its messages.
        ASSERT_TRUE(send_all(goodPeer, "PING\r\n\r\n"));
        EXPECT_EQ(take(good, 1), std::vector<std::string>{"PING\r\n\r\n"});
    }
    socketPool_item_delete__OI(good);
    close(goodPeer);
}

TEST(SocketPool, ShortStandard2LengthClosesWithTheRecord) {
    Capture cap;
    Listener l;
    Pool pool;
    ASSERT_EQ(socketPool_startThread(pool, -1), 1);
    // An outbound standard2 item: the pool connects to the listener.
    uint32_t ip;
    uint16_t port;
    kx_Socket_addr_get_local(&ip, &port, l.fd);
    socketPool_item *it = socketPool_item_new_standard2__IO(kLoopback, port, 0);
    ASSERT_EQ(socketPool_add_item__OI_2(pool, it), 1);
    int peer = kx_Socket_unix_accept(nullptr, nullptr, l.fd, 0, 5.0);
    ASSERT_GE(peer, 0);
    const std::string ok = "\1\0\0\0\x0A\0\0\0hi"s;
    ASSERT_TRUE(send_all(peer, ok + "\1\0\0\0\7\0\0\0"s));
    EXPECT_EQ(take(it, 1), std::vector<std::string>{ok});
    EXPECT_TRUE(peer_sees_close(peer));
    EXPECT_NE(cap.text().find("Get data lenth(8/8)"), std::string::npos);
    EXPECT_NE(cap.text().find("failed,rv=-6."), std::string::npos);
    socketPool_item_delete__OI(it);
    close(peer);
}

TEST(SocketPool, OutboundItemIsRetriedOnTheTickUntilItsServerAppears) {
    Capture cap;
    uint16_t port;
    {
        Listener probe;  // a port that nobody listens on once this closes
        kx_Socket_addr_get_local(nullptr, &port, probe.fd);
    }
    Pool pool;
    ASSERT_EQ(socketPool_startThread(pool, -1), 1);
    socketPool_item *it = socketPool_item_new_standard__IO(kLoopback, port, 0);
    ASSERT_EQ(socketPool_item_send_buffer(it, 8, "\3\0\0\0\0\0\0\0"), 1);  // queued while down
    ASSERT_EQ(socketPool_add_item__OI_2(pool, it), 1);
    uint64_t t0 = kx::pool::tickCount(pool);
    ASSERT_TRUE(eventually([&] { return kx::pool::tickCount(pool) >= t0 + 3; }));
    EXPECT_LE(socketPool_item_connectTime_get(it), 0);  // not connected (an attempt may be pending)
    EXPECT_NE(cap.text().find("Connection refused"), std::string::npos);
    int l = kx_Socket_tcpIpv4_bind__IO(kLoopback, port, 0, 4);
    ASSERT_GE(l, 0);
    int peer = kx_Socket_unix_accept(nullptr, nullptr, l, 0, 10.0);
    ASSERT_GE(peer, 0);
    EXPECT_TRUE(eventually([&] { return socketPool_item_connectTime_get(it) > 0; }));
    EXPECT_EQ(recv_exact(peer, 8), "\3\0\0\0\0\0\0\0"s);  // the string queued while it was down
    socketPool_item_delete__OI(it);
    close(peer);
    close(l);
}

// Mode 3 closes at the next tick and connects again; mode 2 closes and stays closed.
TEST(SocketPool, ModesCloseAtTheTickAndReconnectOrNot) {
    Capture cap;
    Listener l;
    Pool pool;
    ASSERT_EQ(socketPool_startThread(pool, -1), 1);
    uint16_t port;
    kx_Socket_addr_get_local(nullptr, &port, l.fd);
    socketPool_item *it = socketPool_item_new_standard__IO(kLoopback, port, 0);
    ASSERT_EQ(socketPool_add_item__OI_2(pool, it), 1);
    int first = kx_Socket_unix_accept(nullptr, nullptr, l.fd, 0, 5.0);
    ASSERT_GE(first, 0);
    ASSERT_TRUE(eventually([&] { return socketPool_item_connectTime_get(it) > 0; }));
    socketPool_item_mode_set(it, SOCKETPOOL_MODE_RECONNECT);
    EXPECT_TRUE(peer_sees_close(first));
    int second = kx_Socket_unix_accept(nullptr, nullptr, l.fd, 0, 5.0);
    ASSERT_GE(second, 0);
    ASSERT_TRUE(eventually([&] { return socketPool_item_connectTime_get(it) > 0; }));
    EXPECT_EQ(std::atomic_ref<unsigned char>(it->mode).load(), SOCKETPOOL_MODE_CONNECT);
    socketPool_item_mode_set(it, SOCKETPOOL_MODE_CLOSE);
    EXPECT_TRUE(peer_sees_close(second));
    uint64_t t0 = kx::pool::tickCount(pool);
    ASSERT_TRUE(eventually([&] { return kx::pool::tickCount(pool) >= t0 + 3; }));
    EXPECT_EQ(socketPool_item_connectTime_get(it), 0);
    EXPECT_EQ(kx_Socket_unix_accept(nullptr, nullptr, l.fd, 0, 0.01), -6);  // no third connection
    socketPool_item_delete__OI(it);
    close(first);
    close(second);
}

TEST(SocketPool, IdleConnectionClosesAndAGivenSocketIsNotReconnected) {
    Capture cap;
    Listener l;
    Pool pool(0.2);
    ASSERT_EQ(socketPool_startThread(pool, -1), 1);
    int peer;
    socketPool_item *it = l.item(&peer, true, 3);
    ASSERT_EQ(socketPool_add_item__OI_2(pool, it), 1);
    EXPECT_TRUE(peer_sees_close(peer));
    EXPECT_NE(cap.text().find("No recv or send data timeout("), std::string::npos);
    uint64_t t0 = kx::pool::tickCount(pool);
    ASSERT_TRUE(eventually([&] { return kx::pool::tickCount(pool) >= t0 + 3; }));
    EXPECT_EQ(socketPool_item_connectTime_get(it), 0);
    EXPECT_EQ(it->mode, SOCKETPOOL_MODE_GIVEN);
    socketPool_item_delete__OI(it);
    close(peer);
}

TEST(SocketPool, ItemsAddedBeforeTheThreadStartsAreServedOnceItRuns) {
    Capture cap;
    Listener l;
    Pool pool;
    int peer;
    socketPool_item *it = l.item(&peer, true, 4);
    ASSERT_EQ(socketPool_add_item__OI_2(pool, it), 1);
    EXPECT_EQ(socketPool_add_item__OI_2(pool, it), 0);  // listed once
    EXPECT_NE(cap.text().find("Add item has exist"), std::string::npos);
    ASSERT_EQ(socketPool_item_send_buffer(it, 3, "early"), 1);
    ASSERT_TRUE(send_all(peer, "X\r\n\r\n"));
    ASSERT_EQ(socketPool_startThread(pool, -1), 1);
    EXPECT_EQ(socketPool_startThread(pool, -1), 0);
    EXPECT_EQ(take(it, 1), std::vector<std::string>{"X\r\n\r\n"});
    EXPECT_EQ(recv_exact(peer, 3), "ear");
    socketPool_item_delete__OI(it);
    close(peer);
}

TEST(SocketPool, RemovedItemKeepsItsSocketAndQueuedStrings) {
    Capture cap;
    Listener l;
    Pool pool;
    ASSERT_EQ(socketPool_startThread(pool, -1), 1);
    int peer;
    socketPool_item *it = l.item(&peer, true, 5);
    ASSERT_EQ(socketPool_add_item__OI_2(pool, it), 1);
    ASSERT_EQ(socketPool_remove_item__IO_2(pool, it), 1);
    EXPECT_EQ(socketPool_remove_item__IO_2(pool, it), 0);
    kx_String *shared = kx_String_new_form_string__IO("kept");
    ASSERT_EQ(socketPool_item_send_share(it, shared), 1);
    EXPECT_EQ(kx_String_shareCount(shared), 2u);
    EXPECT_EQ(it->sendList->count, 1u);  // not in a pool: nothing takes it
    EXPECT_GT(socketPool_item_connectTime_get(it), 0);
    // Added again, the same connection carries the string.
    ASSERT_EQ(socketPool_add_item__OI_2(pool, it), 1);
    EXPECT_EQ(recv_exact(peer, 4), "kept");
    EXPECT_TRUE(eventually([&] { return kx_String_shareCount(shared) == 1; }));
    kx_String_delete__OI(shared);
    // Strings queued on a removed item are freed with it.
    ASSERT_EQ(socketPool_remove_item__IO_2(pool, it), 1);
    socketPool_item_send_buffer(it, 4, "lost");
    socketPool_item_delete__OI(it);
    close(peer);
}

// Strings sent while the item is removed and added again from another thread are neither
// lost nor doubled: the peer reads every one, in order, as one unbroken byte stream.
TEST(SocketPool, SendsRacingRemoveAndAddAreNeverLost) {
    Capture cap;
    Listener l;
    Pool pool;
    ASSERT_EQ(socketPool_startThread(pool, -1), 1);
    int peer;
    socketPool_item *it = l.item(&peer, true, 8);
    ASSERT_EQ(socketPool_add_item__OI_2(pool, it), 1);
    const int n = 20000;
    std::atomic<bool> done{false};
    std::thread sender([&] {
        for (int i = 0; i < n; ++i) {
            char text[16];
            int len = snprintf(text, sizeof text, "%07d;", i);
            socketPool_item_send_buffer(it, static_cast<uint32_t>(len), text);
        }
        done = true;
    });
    int toggles = 0;
    while (!done || toggles < 50) {
        EXPECT_EQ(socketPool_remove_item__IO_2(pool, it), 1);
        EXPECT_EQ(socketPool_add_item__OI_2(pool, it), 1);
        ++toggles;
    }
    sender.join();
    std::string stream = recv_exact(peer, 8u * n);
    ASSERT_EQ(stream.size(), 8u * n);
    for (int i = 0; i < n; ++i) {
        char text[16];
        snprintf(text, sizeof text, "%07d;", i);
        ASSERT_EQ(stream.compare(8u * i, 8, text), 0) << i;
    }
    socketPool_item_delete__OI(it);
    close(peer);
}

TEST(SocketPool, PeerResetWhileSendingClosesOnlyThatItem) {
    Capture cap;
    Listener l;
    Pool pool;
    ASSERT_EQ(socketPool_startThread(pool, -1), 1);
    int peer;
    socketPool_item *it = l.item(&peer, true, 6);
    ASSERT_EQ(socketPool_add_item__OI_2(pool, it), 1);
    struct linger lg = {1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(peer);  // reset
    std::string chunk(1400, 'r');
    for (int i = 0; i < 2000 && socketPool_item_connectTime_get(it) > 0; ++i)
        socketPool_item_send_buffer(it, static_cast<uint32_t>(chunk.size()), chunk.data());
    EXPECT_TRUE(eventually([&] { return socketPool_item_connectTime_get(it) == 0; }));
    socketPool_item_delete__OI(it);
}

// 2000 connections on one pool (descriptor numbers well above 1024): every one delivers its
// request, and one shared reply reaches every peer.
TEST(SocketPool, TwoThousandConnectionsOnOnePool) {
    Capture cap;
    const int n = 2000;
    ASSERT_TRUE(kxtest::raise_fd_limit(2 * n + 256));
    Listener l(n);
    Pool pool;
    ASSERT_EQ(socketPool_startThread(pool, -1), 1);
    std::vector<int> peers(n);
    std::vector<socketPool_item *> items(n);
    for (int i = 0; i < n; ++i) {
        int s = l.connect_pair(&peers[i]);
        ASSERT_GE(s, 0);
        ASSERT_GE(peers[i], 0);
        items[i] = socketPool_item_new_http_bySock__OI__OI(s, kLoopback, static_cast<uint16_t>(i), 0);
        ASSERT_EQ(socketPool_add_item__OI_2(pool, items[i]), 1);
    }
    EXPECT_GT(items[n - 1]->sock, 1024);
    for (int i = 0; i < n; ++i) ASSERT_TRUE(send_all(peers[i], "GET /" + std::to_string(i) + " RTSP/1.0\r\n\r\n"));
    for (int i = 0; i < n; ++i) {
        std::vector<std::string> got = take(items[i], 1);
        ASSERT_EQ(got.size(), 1u) << i;
        EXPECT_EQ(got[0], "GET /" + std::to_string(i) + " RTSP/1.0\r\n\r\n");
    }
    kx_String *reply = kx_String_new_form_string__IO("RTSP/1.0 200 OK\r\n\r\n");
    for (int i = 0; i < n; ++i) ASSERT_EQ(socketPool_item_send_share(items[i], reply), 1);
    for (int i = 0; i < n; ++i) ASSERT_EQ(recv_exact(peers[i], reply->lenth), "RTSP/1.0 200 OK\r\n\r\n") << i;
    EXPECT_TRUE(eventually([&] { return kx_String_shareCount(reply) == 1; }));
    kx_String_delete__OI(reply);
    socketPool_stopThread(pool);
    for (int i = 0; i < n; ++i) close(peers[i]);
    // The items still listed are deleted with the pool.
}

}  // namespace
