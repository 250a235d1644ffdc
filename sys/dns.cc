// DNS query building and answer parsing (dns.hpp) and the lookup call over TCP.
#include "sys/dns.hpp"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "core/bytereader.hpp"
#include "core/log.hpp"
#include "kx/socket.h"
#include "kx/stringlist.h"
#include "kx/time.h"

namespace kx::net {

bool dnsQuery(const char *name, uint16_t id, std::string *out) {
    if (name == nullptr) return false;
    size_t total = strlen(name);
    if (total > 0 && name[total - 1] == '.') --total;  // a fully qualified name
    if (total == 0 || total > 253) return false;
    std::string q;
    auto put16 = [&q](uint16_t v) {
        q += static_cast<char>(v >> 8);
        q += static_cast<char>(v & 0xFF);
    };
    put16(id);
    put16(0x0180);
    put16(1);
    put16(0);
    put16(0);
    put16(0);
    size_t start = 0;
    while (start <= total) {
        const char *dot = static_cast<const char *>(memchr(name + start, '.', total - start));
        size_t end = dot ? static_cast<size_t>(dot - name) : total;
        size_t len = end - start;
        if (len == 0 || len > 63) return false;
        q += static_cast<char>(len);
        q.append(name + start, len);
        start = end + 1;
        if (!dot) break;
    }
    q += '\0';
    put16(1);
    put16(1);
    out->clear();
    out->push_back(static_cast<char>(q.size() >> 8));
    out->push_back(static_cast<char>(q.size() & 0xFF));
    *out += q;
    return true;
}

namespace {

// Moves past a name: labels up to a zero byte or a compression pointer (which ends the name
// in place; pointers are not followed, nothing of the name is needed).
bool skip_name(ByteReader &r) {
    for (size_t labels = 0; labels < 128; ++labels) {
        uint8_t len;
        if (!r.u8(&len)) return false;
        if (len == 0) return true;
        if ((len & 0xC0) == 0xC0) return r.skip(1);
        if (len & 0xC0) return false;  // reserved label types
        if (!r.skip(len)) return false;
    }
    return false;
}

}  // namespace

bool dnsAnswer(const uint8_t *data, size_t size, uint16_t id, std::vector<uint32_t> *addresses) {
    ByteReader r(data, size);
    uint16_t gotId, flags, qd, an, ns, ar;
    if (!r.be16(&gotId) || !r.be16(&flags) || !r.be16(&qd) || !r.be16(&an) || !r.be16(&ns) || !r.be16(&ar))
        return false;
    if (gotId != id || !(flags & 0x8000) || (flags & 0x000F) != 0) return false;
    for (uint16_t i = 0; i < qd; ++i) {
        if (!skip_name(r) || !r.skip(4)) return false;
    }
    for (uint16_t i = 0; i < an; ++i) {
        uint16_t type, cls, rdlength;
        uint32_t ttl;
        if (!skip_name(r) || !r.be16(&type) || !r.be16(&cls) || !r.be32(&ttl) || !r.be16(&rdlength)) return false;
        ByteReader rdata = r.sub(rdlength);
        if (!rdata.ok()) return false;
        if (type == 1 && cls == 1 && rdlength == 4) {
            uint32_t a;
            rdata.copy(&a, 4);  // already in network order
            addresses->push_back(a);
        }
    }
    return true;
}

}  // namespace kx::net

extern "C" kx_StringList *kx_Socket_ipv4_get_from_dns__IO(const char *name, const char *serverText, uint16_t port,
                                                          double timeout) {
    std::string query;
    if (!kx::net::dnsQuery(name, kx::net::kDnsQueryId, &query)) {
        KX_LOGE("Invalid name:\"%s\".", name ? name : "");
        return nullptr;
    }
    const double deadline = kx_time_uptime_get() + timeout;
    int fd = kx_Socket_tcpIPv4_connect_byStringIP__IO(serverText, port, 0, timeout);
    if (fd < 0) return nullptr;
    kx_StringList *list = nullptr;
    uint8_t prefix[2];
    std::vector<uint8_t> answer;
    std::vector<uint32_t> addresses;
    if (kx_Socket_tcpIPv4_send_by_sock(fd, static_cast<uint32_t>(query.size()), query.data(),
                                       deadline - kx_time_uptime_get()) == 1 &&
        kx_Socket_tcpIPv4_recv_by_sock(fd, prefix, 2, deadline - kx_time_uptime_get()) == 1) {
        answer.resize(static_cast<size_t>(prefix[0]) << 8 | prefix[1]);
        if (!answer.empty() &&
            kx_Socket_tcpIPv4_recv_by_sock(fd, answer.data(), static_cast<uint32_t>(answer.size()),
                                           deadline - kx_time_uptime_get()) == 1 &&
            kx::net::dnsAnswer(answer.data(), answer.size(), kx::net::kDnsQueryId, &addresses) && !addresses.empty()) {
            list = kx_StringList_new__IO();
            for (uint32_t a : addresses) {
                char text[16];
                snprintf(text, sizeof text, "%u.%u.%u.%u", a & 0xFF, (a >> 8) & 0xFF, (a >> 16) & 0xFF, a >> 24);
                if (list) kx_StringList_insert_tail(list, text);
            }
        } else {
            KX_LOGE("Invalid answer from the server:\"%s:%hu\",name:\"%s\".", serverText, port, name);
        }
    }
    close(fd);
    return list;
}

extern "C" kx_StringList *kx_Socket_ipv4_get_from_localHost__IO(void) {
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0) {
        KX_LOGE("Getifaddrs error:\"%s\".", kx::errtext(errno));
        return nullptr;
    }
    kx_StringList *list = kx_StringList_new__IO();
    for (ifaddrs *i = all; i && list; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN];
        const auto *a = reinterpret_cast<const sockaddr_in *>(i->ifa_addr);
        if (inet_ntop(AF_INET, &a->sin_addr, text, sizeof text)) kx_StringList_insert_tail(list, text);
    }
    freeifaddrs(all);
    return list;
}
