// The kx_Socket_* calls over real loopback connections: local bind/connect/accept, the
// codes of peer close, time-out and a deadline that partial transfers do not extend, waits
// on descriptors above 1024, the exchange and terminator calls, one HTTP message, the DNS
// answer parser and a lookup against a small DNS server, the UDP sender.
// KX_THREADED: also runs under ThreadSanitizer.
#include "kx/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kx/address.h"
#include "kx/string.h"
#include "kx/stringlist.h"
#include "sys/dns.hpp"
#include "tests/support/fdlimit.hpp"
#include "tests/support/stdout_capture.hpp"

namespace {

using Capture = kxtest::CaptureShownOnFailure;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A connected pair over the loopback: listener, client (blocking), accepted end (blocking).
struct Pair {
    int client = -1, server = -1;
    Pair() {
        uint16_t port = 0;
        int listener = kx_Socket_unix_bind__IO(&port, 0, 4);
        EXPECT_GE(listener, 0);
        client = kx_Socket_unix_connect__IO(port, 0, 2.0);
        server = kx_Socket_unix_accept(nullptr, nullptr, listener, 0, 2.0);
        close(listener);
    }
    ~Pair() {
        if (client >= 0) close(client);
        if (server >= 0) close(server);
    }
};

TEST(Socket, LocalBindChoosesAPortThatConnectAndAcceptUse) {
    Capture cap;
    uint16_t port = 0;
    int listener = kx_Socket_unix_bind__IO(&port, 1, 4);
    ASSERT_GE(listener, 0);
    EXPECT_NE(port, 0);
    uint32_t ip = 0;
    uint16_t p = 0;
    ASSERT_EQ(kx_Socket_addr_get_local(&ip, &p, listener), 1);
    EXPECT_EQ(ip, kLoopback);  // local sockets do not listen on other interfaces
    EXPECT_EQ(p, ntohs(port));
    EXPECT_EQ(kx_Socket_unix_accept(nullptr, nullptr, listener, 0, 0.05), -6);  // nobody yet
    int c = kx_Socket_unix_connect__IO(port, 0, 2.0);
    ASSERT_GE(c, 0);
    uint32_t peerIp = 0;
    uint16_t peerPort = 0;
    int s = kx_Socket_unix_accept(&peerIp, &peerPort, listener, 1, 2.0);
    ASSERT_GE(s, 0);
    EXPECT_EQ(peerIp, kLoopback);
    ASSERT_EQ(kx_Socket_addr_get_local(nullptr, &p, c), 1);
    EXPECT_EQ(peerPort, p);
    EXPECT_EQ(kx_Socket_addr_get_remote(&ip, &p, c), 1);
    EXPECT_EQ(p, ntohs(port));
    EXPECT_EQ(kx_Socket_unix_accept_noblock(nullptr, nullptr, listener, 0), -2);
    close(s);
    close(c);
    close(listener);
}

TEST(Socket, BadTextAndRefusedConnect) {
    Capture cap;
    EXPECT_EQ(kx_Socket_tcpIpv4_bind_byStringIP__IO("300.1.1.1", 0, 0, 1), -7);
    EXPECT_NE(cap.text().find("Invalid ipv4:\"300.1.1.1:0\""), std::string::npos);
    EXPECT_EQ(kx_Socket_tcpIPv4_connect_byStringIP__IO("1.2.3", 80, 0, 1.0), -7);
    // A port nobody listens on: refused at once or reported by the socket.
    int l = kx_Socket_tcpIpv4_bind__IO(kLoopback, 0, 0, 1);
    ASSERT_GE(l, 0);
    uint16_t port = 0;
    kx_Socket_addr_get_local(nullptr, &port, l);
    close(l);
    int rv = kx_Socket_tcpIPv4_connect__IO(kLoopback, port, 0, 2.0);
    EXPECT_TRUE(rv == -5 || rv == -7) << rv;
}

TEST(Socket, PeerCloseGivesTheCloseCodeNotTheDeadline) {
    Capture cap;
    char buf[16];
    {
        Pair p;
        ASSERT_EQ(write(p.server, "abc", 3), 3);
        close(p.server);
        p.server = -1;
        EXPECT_EQ(kx_Socket_tcpIPv4_recv_by_sock(p.client, buf, 10, 5.0), -3);
    }
    {
        Pair p;
        close(p.server);
        p.server = -1;
        EXPECT_EQ(kx_Socket_recv_by_sock(p.client, buf, 10, 5.0), -2);
    }
    {
        Pair p;
        EXPECT_EQ(kx_Socket_tcpIPv4_recv_by_sock(p.client, buf, 10, 0.05), -2);  // nothing came
        EXPECT_EQ(kx_Socket_recv_by_sock(p.client, buf, 10, 0.05), -3);
    }
}

// The peer sends one byte every 20 ms, 100 in all (two seconds): a call for all 100 bytes
// with a 0.2 s limit must end with the deadline code after a partial receive. A loop that
// restarted its limit on every byte would get them all.
TEST(Socket, PartialTransfersDoNotExtendTheDeadline) {
    Capture cap;
    Pair p;
    std::atomic<bool> stop{false};
    std::thread dribble([&] {
        for (int i = 0; i < 100 && !stop; ++i) {
            if (send(p.server, "x", 1, MSG_NOSIGNAL) != 1) break;
            usleep(20000);
        }
    });
    char buf[100];
    EXPECT_EQ(kx_Socket_tcpIPv4_recv_by_sock(p.client, buf, sizeof buf, 0.2), -1);
    stop = true;
    dribble.join();
    // A peer that does not read: the send fills the socket buffers and gives up at the deadline.
    std::vector<char> big(64 << 20, 'y');
    EXPECT_EQ(kx_Socket_tcpIPv4_send_by_sock(p.client, static_cast<uint32_t>(big.size()), big.data(), 0.2), -1);
}

TEST(Socket, WaitsWorkOnDescriptorsAbove1024) {
    Capture cap;
    ASSERT_TRUE(kxtest::raise_fd_limit(2048));
    Pair p;
    int high = fcntl(p.client, F_DUPFD_CLOEXEC, 1500);
    ASSERT_GE(high, 1500);
    ASSERT_EQ(write(p.server, "hello", 5), 5);
    char buf[5];
    EXPECT_EQ(kx_Socket_tcpIPv4_recv_by_sock(high, buf, 5, 2.0), 1);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(kx_Socket_tcpIPv4_send_by_sock(high, 3, "abc", 2.0), 1);
    EXPECT_EQ(kx_Socket_recv_by_sock(p.server, buf, 3, 2.0), 1);
    close(high);
}

TEST(Socket, ExchangeAndTerminators) {
    Capture cap;
    Pair p;
    std::thread echo([&] {
        char b[4];
        if (kx_Socket_recv_by_sock(p.server, b, 4, 5.0) == 1) {
            send(p.server, "PONG\r\n\r\nrest", 12, MSG_NOSIGNAL);
            send(p.server, "HTTP/1.0 200\r\nContent-Length: 4\r\n\r\nbodyNEXT", 43, MSG_NOSIGNAL);
        }
    });
    char in[8];
    ASSERT_EQ(kx_Socket_tcpIPv4_send_and_recv_by_sock(p.client, "PING", 4, in, 2, 5.0), 1);
    EXPECT_EQ(std::string(in, 2), "PO");
    kx_String *s = kx_Socket_tcpIPv4_recv_by_sock_until_string__IO(p.client, "\r\n\r\n", 3, 5.0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s->buffer, s->lenth), "NG\r\n\r\n");
    kx_String_delete__OI(s);
    ASSERT_EQ(kx_Socket_tcpIPv4_recv_by_sock(p.client, in, 4, 5.0), 1);  // what followed stayed queued
    EXPECT_EQ(std::string(in, 4), "rest");
    char msg[64];
    long n = kx_Socket_tcpIPv4_recv_httpData_by_sock(p.client, sizeof msg, msg, 5.0);
    ASSERT_EQ(n, 39);
    EXPECT_EQ(std::string(msg + 35, 4), "body");
    EXPECT_EQ(kx_Socket_tcpIPv4_recv_by_sock(p.client, in, 4, 5.0), 1);
    EXPECT_EQ(std::string(in, 4), "NEXT");
    echo.join();
}

TEST(Socket, HttpMessageLargerThanTheBufferIsRefused) {
    Capture cap;
    Pair p;
    const char m[] = "HTTP/1.0 200\r\nContent-Length: 100\r\n\r\n";
    ASSERT_EQ(kx_Socket_tcpIPv4_send_by_sock(p.server, sizeof m - 1, m, 2.0), 1);
    char buf[64];
    EXPECT_EQ(kx_Socket_tcpIPv4_recv_httpData_by_sock(p.client, sizeof buf, buf, 2.0), -4);
}

TEST(Socket, SendAndRecvByIpv4ShiftsTheExchangeCodes) {
    Capture cap;
    int l = kx_Socket_tcpIpv4_bind_byStringIP__IO("127.0.0.1", 0, 0, 4);
    ASSERT_GE(l, 0);
    uint16_t port = 0;
    kx_Socket_addr_get_local(nullptr, &port, l);
    std::thread peer([&] {
        int s = kx_Socket_unix_accept(nullptr, nullptr, l, 0, 5.0);
        char b[3];
        if (s >= 0 && kx_Socket_recv_by_sock(s, b, 3, 5.0) == 1) send(s, "ok", 2, MSG_NOSIGNAL);
        if (s >= 0) close(s);
    });
    char in[4];
    EXPECT_EQ(kx_Socket_tcpIPv4_send_and_recv_by_ipv4("127.0.0.1", port, "abc", 3, in, 2, 5.0), 1);
    EXPECT_EQ(std::string(in, 2), "ok");
    peer.join();
    // The peer closes before all was received: the receive code -3, shifted to -7.
    std::thread closer([&] {
        int s = kx_Socket_unix_accept(nullptr, nullptr, l, 0, 5.0);
        if (s >= 0) close(s);
    });
    EXPECT_EQ(kx_Socket_tcpIPv4_send_and_recv_by_ipv4("127.0.0.1", port, "", 0, in, 4, 5.0), -7);
    closer.join();
    close(l);
}

// ---- DNS ----

std::string answer(uint16_t id, uint16_t flags, uint16_t an, const std::string &records) {
    std::string m;
    auto put16 = [&m](uint16_t v) {
        m += static_cast<char>(v >> 8);
        m += static_cast<char>(v & 0xFF);
    };
    put16(id);
    put16(flags);
    put16(1);
    put16(an);
    put16(0);
    put16(0);
    m += std::string("\7example\3com\0\0\1\0\1", 17);
    return m + records;
}

const std::string kA1("\xC0\x0C\0\1\0\1\0\0\0\x3C\0\4\x0A\x00\x00\x01", 16);
const std::string kCname("\xC0\x0C\0\5\0\1\0\0\0\x3C\0\2\xC0\x0C", 14);
const std::string kA2("\3www\xC0\x0C\0\1\0\1\0\0\0\x3C\0\4\xC0\xA8\x01\x02", 20);

struct DnsCase {
    const char *name;
    std::string message;
    bool ok;
    std::vector<uint32_t> addresses;
};

TEST(Dns, AnswerParser) {
    const uint32_t a1 = kx_ipv4_network_get(8, "10.0.0.1"), a2 = kx_ipv4_network_get(11, "192.168.1.2");
    std::string full = answer(0x2000, 0x8180, 3, kA1 + kCname + kA2);
    const DnsCase cases[] = {
        {"three records, pointer and label names", full, true, {a1, a2}},
        {"truncated record", full.substr(0, full.size() - 2), false, {a1}},
        {"count above the records", answer(0x2000, 0x8180, 4, kA1 + kCname + kA2), false, {a1, a2}},
        {"record length past the end", answer(0x2000, 0x8180, 1, kA1.substr(0, 11) + "\xFF" + kA1.substr(12)),
         false, {}},
        {"other id", answer(0x2001, 0x8180, 1, kA1), false, {}},
        {"query, not a response", answer(0x2000, 0x0180, 1, kA1), false, {}},
        {"error code", answer(0x2000, 0x8183, 0, ""), false, {}},
        {"reserved label type", answer(0x2000, 0x8180, 1, "\x40" + kA1.substr(2)), false, {}},
        {"short header", std::string("\x20\0\x81", 3), false, {}},
    };
    for (const DnsCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint32_t> got;
        EXPECT_EQ(kx::net::dnsAnswer(reinterpret_cast<const uint8_t *>(c.message.data()), c.message.size(), 0x2000,
                                     &got),
                  c.ok);
        EXPECT_EQ(got, c.addresses);
    }
}

TEST(Dns, QueryRefusesBadNames) {
    std::string q;
    ASSERT_TRUE(kx::net::dnsQuery("example.com.", 0x2000, &q));
    EXPECT_EQ(q, std::string("\0\x1d\x20\0\1\x80\0\1\0\0\0\0\0\0\7example\3com\0\0\1\0\1", 31));
    for (const char *bad : std::vector<const char *>{"", ".", "a..b", ".a", nullptr}) {
        EXPECT_FALSE(kx::net::dnsQuery(bad, 1, &q)) << (bad ? bad : "null");
    }
    EXPECT_FALSE(kx::net::dnsQuery(std::string(64, 'a').c_str(), 1, &q));
    EXPECT_FALSE(kx::net::dnsQuery((std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') +
                                    "." + std::string(63, 'd'))
                                       .c_str(),
                                   1, &q));
}

TEST(Dns, LookupAgainstALocalServer) {
    Capture cap;
    int l = kx_Socket_tcpIpv4_bind__IO(kLoopback, 0, 0, 4);
    ASSERT_GE(l, 0);
    uint16_t port = 0;
    kx_Socket_addr_get_local(nullptr, &port, l);
    std::string reply = answer(0x2000, 0x8180, 3, kA1 + kCname + kA2);
    std::thread server([&] {
        int s = kx_Socket_unix_accept(nullptr, nullptr, l, 0, 5.0);
        if (s < 0) return;
        unsigned char len[2];
        std::string q(64, '\0');
        if (kx_Socket_recv_by_sock(s, len, 2, 5.0) == 1 && len[0] == 0 && len[1] <= 64 &&
            kx_Socket_recv_by_sock(s, q.data(), len[1], 5.0) == 1) {
            std::string out;
            out += static_cast<char>(reply.size() >> 8);
            out += static_cast<char>(reply.size() & 0xFF);
            out += reply;
            kx_Socket_tcpIPv4_send_by_sock(s, static_cast<uint32_t>(out.size()), out.data(), 5.0);
        }
        close(s);
    });
    kx_StringList *list = kx_Socket_ipv4_get_from_dns__IO("example.com", "127.0.0.1", port, 5.0);
    server.join();
    close(l);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(kx_StringList_check_has(list, "10.0.0.1") >= 0, true);
    ASSERT_EQ(kx_StringList_check_has(list, "192.168.1.2") >= 0, true);
    kx_StringList_delete__OI(list);
}

TEST(Udp, SenderReachesTheAddressOfItsNetwork) {
    Capture cap;
    int r = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = kLoopback;
    ASSERT_EQ(bind(r, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    uint16_t port = 0;
    kx_Socket_addr_get_local(nullptr, &port, r);
    zr7ee_udpSender *s = zr7ee_Socket_udpIPv4_new__IO(kLoopback, 32, port);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(zr7ee_Socket_udpIPv4_send(s, "dgram", 5), 1);
    char buf[8];
    EXPECT_EQ(kx_Socket_recv_by_sock(r, buf, 5, 5.0), 1);
    EXPECT_EQ(std::string(buf, 5), "dgram");
    zr7ee_Socket_udpIPv4_delete__OI(&s);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(zr7ee_Socket_udpIPv4_new__IO(kLoopback, 33, port), nullptr);
    int c = kx_Socket_udpIPv4_connect__IO(kLoopback, port, 1);
    ASSERT_GE(c, 0);
    EXPECT_EQ(send(c, "again", 5, 0), 5);
    EXPECT_EQ(kx_Socket_recv_by_sock(r, buf, 5, 5.0), 1);
    close(c);
    close(r);
}

}  // namespace
