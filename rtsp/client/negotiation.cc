// Session negotiation: OPTIONS, DESCRIBE, SETUP per media section, PLAY; authorization
// after 401, redirects, keep-alive and command requests.
#include <errno.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string_view>

#include "core/log.hpp"
#include "kx/memory.h"
#include "kx/string.h"
#include "kx/structlist.h"
#include "kx/time.h"
#include "rtsp/client/answer.hpp"
#include "rtsp/client/item.hpp"
#include "rtsp/client/request.hpp"
#include "rtsp/client/text.hpp"
#include "rtsp/client/url.hpp"

#define NEG_LOGE(label, fmt, ...) KX_LOG_ERROR_AT(5, __LINE__, label, fmt __VA_OPT__(, ) __VA_ARGS__)
#define NEG_LOGI(label, fmt, ...) KX_LOG_INFO_AT(5, __LINE__, label, fmt __VA_OPT__(, ) __VA_ARGS__)

namespace kx::rtsp {

namespace {

constexpr int kMaxAuthTries = 2;   // 401 answers in a row before the connection is reset
constexpr int kMaxRedirects = 8;   // redirects before a playing session

std::string urlOf(const rtspClient_item *it) { return baseUrl(it->ipv4, it->port, it->path ? it->path : ""); }

std::string authFor(rtspClient_item *it, const char *method, const std::string &uri) {
    ItemImpl &m = impl(it);
    return m.auth ? m.auth->header(method, uri) : std::string();
}

void setRequest(rtspClient_item *it, std::string text, unsigned char status) {
    ItemImpl &m = impl(it);
    m.out = std::move(text);
    m.sent = 0;
    m.recvLen = 0;
    std::atomic_ref<unsigned char>(it->status).store(status, std::memory_order_relaxed);
}

int prepareDescribe(rtspClient_item *it) {
    ++it->cseq;
    std::string url = urlOf(it);
    setRequest(it, describeRequest(url, it->cseq, authFor(it, "DESCRIBE", url)), RTSPCLIENT_STATUS_DESCRIBE);
    return 1;
}

// Next SETUP: 1 prepared, 0 no video or audio section left, -1 failure.
int prepareSetup(rtspClient_item *it) {
    static const char *const label = "rtspClient_private_client_do_6_prepareSETUP";
    ItemImpl &m = impl(it);
    while (m.nextSection < m.sections.size()) {
        const MediaSection &s = m.sections[m.nextSection++];
        bool video = s.media == "video" && s.rtp;
        bool audio = s.media == "audio" && s.rtp;
        if (s.media == "application") continue;
        if (!video && !audio) {
            NEG_LOGE(label, "Invalid data for the server:\"%s\",sock=%d,data:\"%.*s\".", m.server.c_str(), it->sock,
                     static_cast<int>(std::min<size_t>(s.text.size(), 256)), s.text.data());
            return -1;
        }
        if (s.payloadType < 0 || !s.hasControl) {
            NEG_LOGE(label, "No \"a=control:\" for the server:\"%s\",sock=%d,data:\"%.*s\".", m.server.c_str(),
                     it->sock, static_cast<int>(std::min<size_t>(s.text.size(), 256)), s.text.data());
            return -1;
        }
        if (video) {
            it->videoPayloadType = static_cast<unsigned char>(s.payloadType);
            m.videoClockRate = s.clockRate;
            std::string code;
            if (spropParameterSets(s.text, code)) {
                m.videoCode = code;
            } else {
                NEG_LOGE(label, "Get video code from the server:\"%s\" error,sock=%d,data:\"%.*s\".", m.server.c_str(),
                         it->sock, static_cast<int>(std::min<size_t>(s.text.size(), 256)), s.text.data());
                m.videoCode.clear();
            }
        } else {
            it->audioPayloadType = static_cast<unsigned char>(s.payloadType);
        }
        m.videoSetup = video;
        std::string url = setupUrl(it->controlURL ? it->controlURL : "", s.control);
        ++it->cseq;
        setRequest(it,
                   setupRequest(url, video ? "0-1" : "2-3", it->cseq, it->session ? it->session : "",
                                authFor(it, "SETUP", url)),
                   RTSPCLIENT_STATUS_SETUP);
        return 1;
    }
    return 0;
}

void preparePlay(rtspClient_item *it) {
    ItemImpl &m = impl(it);
    ++it->cseq;
    std::string control = it->controlURL ? it->controlURL : "";
    setRequest(it, playRequest(control, it->cseq, it->session ? it->session : "", authFor(it, "PLAY", control)),
               RTSPCLIENT_STATUS_PLAY);
    m.sdp.clear();
    m.sections.clear();
    m.nextSection = 0;
    clearInbox(it);
    m.rx.reset(it->videoChannel, it->videoPayloadType, m.videoClockRate);
    m.rx.setServer(m.server);
    m.rx.setVideoCode(m.videoCode);
    syncVideoCode(it);
    it->frameIndex = 0;
    it->frameInfo = rtspClient_frameInfo{};
    it->frameInfo.frameTime = -1.0;
    it->lastKeepAlive = kx_time_uptime_get();
}

int onUnauthorized(rtspClient_item *it, std::string_view answer, const char *label) {
    ItemImpl &m = impl(it);
    if (!it->username || !it->password) {
        NEG_LOGE(label, "No data for the server:\"%s\" to authorize,username:\"%s\",password:\"%s\",the data:\"%.*s\".",
                 m.server.c_str(), it->username ? it->username : "", it->password ? it->password : "",
                 static_cast<int>(answer.size()), answer.data());
        return -2;
    }
    if (++m.authTries > kMaxAuthTries) {
        NEG_LOGE(label, "The server:\"%s\" refused the authorization %d times,sock=%d.", m.server.c_str(),
                 m.authTries - 1, it->sock);
        return -2;
    }
    m.auth = Authorization::fromChallenge(answer, it->username, it->password);
    if (!m.auth) {
        NEG_LOGE(label, "The data:\"%.*s\" from the server:\"%s\" is invalid.", static_cast<int>(answer.size()),
                 answer.data(), m.server.c_str());
        return -2;
    }
    return 1;
}

int redirect(rtspClient_item *it, std::string_view head) {
    static const char *const label = "rtspClient_private_item_reopen";
    ItemImpl &m = impl(it);
    bool found = false;
    std::string location(headerValue(head, "Location", &found));
    if (!found || ++m.redirects > kMaxRedirects) {
        NEG_LOGE("rtspClient_private_client_do_5_recvDESCRIBE",
                 "Recv the data:\"%.*s\" from the server:\"%s\" is invalid,sock=%d,recvLen=%u.",
                 static_cast<int>(head.size()), head.data(), m.server.c_str(), it->sock, m.recvLen);
        return -2;
    }
    NEG_LOGI(label, "Redirect the server(sock=%d):\"%s\" to server:\"%s\" .", it->sock, m.server.c_str(),
             location.c_str());
    RtspUrl url;
    UrlError e = parseRtspUrl(location, url);
    if (e != UrlError::none) {
        if (e == UrlError::length)
            NEG_LOGE(label, "Invalid lenth(=%ld) of the url:\"%s\".\n", static_cast<long>(location.size()),
                     location.c_str());
        else
            NEG_LOGE(label, "%s", format(urlErrorFormat(e), location.c_str()).c_str());
        return -2;
    }
    std::string user = url.hasUser ? url.username : (it->username ? it->username : "");
    std::string pass = url.hasUser ? url.password : (it->password ? it->password : "");
    bool hasUser = url.hasUser || it->username != nullptr;
    size_t size = user.size() + pass.size() + url.path.size() + 3;
    char *block = static_cast<char *>(malloc(size));
    if (block == nullptr) return -2;
    char *p = block;
    auto put = [&p](const std::string &s) {
        memcpy(p, s.c_str(), s.size() + 1);
        char *start = p;
        p += s.size() + 1;
        return start;
    };
    char *u = put(user), *w = put(pass), *path = put(url.path);
    free(m.strings);
    m.strings = block;
    it->username = hasUser ? u : nullptr;
    it->password = hasUser ? w : nullptr;
    it->path = url.hasPath ? path : nullptr;
    it->ipv4 = url.ipv4;
    if (url.hasPort) it->port = url.port;
    m.server = serverOf(it);
    return -127;
}

}  // namespace

int prepareOptions(rtspClient_item *it) {
    ++it->cseq;
    std::string url = urlOf(it);
    setRequest(it, optionsRequest(url, it->cseq, authFor(it, "OPTIONS", url)), RTSPCLIENT_STATUS_OPTIONS);
    return 1;
}

int recvAnswer(rtspClient_item *it, double now) {
    ItemImpl &m = impl(it);
    unsigned char status = it->status;
    const char *label = status == 3   ? "rtspClient_private_client_do_3_recvOPTIONS"
                        : status == 5 ? "rtspClient_private_client_do_5_recvDESCRIBE"
                                      : "rtspClient_private_client_do_7_recvSETUP";
    (void)now;
    bool eof = false;
    for (;;) {
        // The frame consumer of an earlier connection may have left any block here.
        if (it->buffer == nullptr || static_cast<size_t>(m.recvLen) + 1 >= it->bufferSize) {
            constexpr size_t cap = kAnswerCap + 8;
            if (it->buffer != nullptr && it->bufferSize >= cap) break;  // judged below as too large
            if (it->buffer != nullptr && it->bufferSize > 0)
                NEG_LOGI(label, "The buffer for the server:\"%s\" is full,sock=%d,len=%u.", m.server.c_str(),
                         it->sock, it->bufferSize);
            size_t want = std::max<size_t>({static_cast<size_t>(m.recvLen) + 2, 1048,
                                            static_cast<size_t>(it->buffer ? it->bufferSize : 0) * 2});
            if (!growBuffer(&it->buffer, &it->bufferSize, std::min(want, cap), cap)) return -2;
        }
        ssize_t n = recv(it->sock, it->buffer + m.recvLen, it->bufferSize - 1 - m.recvLen, 0);
        if (n > 0) {
            m.recvLen += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n == 0) {
            eof = true;
            break;
        }
        int err = errno;
        it->buffer[m.recvLen] = 0;
        NEG_LOGE(label, "Recv data(%u/%u) from the sock(=%d) of the server:\"%s\" error:\"%s\",rv=%d,data:\"%s\".",
                 m.recvLen, it->bufferSize, it->sock, m.server.c_str(), kx::errtext(err), static_cast<int>(n),
                 reinterpret_cast<char *>(it->buffer));
        return -1;
    }
    it->buffer[m.recvLen] = 0;
    std::string_view data(reinterpret_cast<const char *>(it->buffer), m.recvLen);
    AnswerScan scan = scanAnswer(data);
    if (scan.state == AnswerScan::incomplete) {
        if (!eof) return 0;
        NEG_LOGE(label, "Recv data(%u/%u) from the sock(=%d) of the server:\"%s\" error:\"%s\",rv=%d,data:\"%s\".",
                 m.recvLen, it->bufferSize, it->sock, m.server.c_str(), "connection closed", 0, data.data());
        return -1;
    }
    if (scan.state != AnswerScan::complete) {
        NEG_LOGE(label, "Recv the data:\"%.*s\" from the server:\"%s\" is invalid,sock=%d,recvLen=%u.",
                 static_cast<int>(std::min<size_t>(data.size(), 512)), data.data(), m.server.c_str(), it->sock,
                 m.recvLen);
        return -2;
    }
    std::string_view answer = data.substr(0, scan.total());
    std::string_view head = answer.substr(0, scan.headerLength);
    std::string_view afterStatus = head.substr(std::min(head.find('\n'), head.size()));
    int code = answerStatus(answer);
    auto invalid = [&]() {
        NEG_LOGE(label, "Recv the data:\"%.*s\" from the server:\"%s\" is invalid,sock=%d,len=%u.",
                 static_cast<int>(std::min<size_t>(answer.size(), 512)), answer.data(), m.server.c_str(), it->sock,
                 m.recvLen);
        return -2;
    };
    if (status == RTSPCLIENT_STATUS_OPTIONS_WAIT) {
        if (code == 200) {
            m.authTries = 0;
            if (afterStatus.find("DESCRIBE") == std::string_view::npos ||
                afterStatus.find("SETUP") == std::string_view::npos ||
                afterStatus.find("PLAY") == std::string_view::npos)
                return invalid();
            m.getParameter = afterStatus.find("GET_PARAMETER") != std::string_view::npos;
            return prepareDescribe(it) == 1 ? 2 : -2;
        }
        if (code == 401) return onUnauthorized(it, head, label) == 1 && prepareOptions(it) == 1 ? 2 : -2;
        return invalid();
    }
    if (status == RTSPCLIENT_STATUS_DESCRIBE_WAIT) {
        if (code == 200) {
            m.authTries = 0;
            bool found = false;
            std::string_view base = headerValue(head, "Content-Base", &found);
            std::string control;
            if (found && istartsWith(base, "rtsp://")) {
                size_t n = 0;
                while (n < base.size() && base[n] != ' ' && base[n] != '\t') ++n;
                control = std::string(base.substr(0, n));
            } else {
                control = baseUrl(it->ipv4, it->port, it->path ? it->path : "/");
            }
            while (!control.empty() && control.back() == '/') control.pop_back();
            setText(it->controlURL, control);
            m.sdp = std::string(answer.substr(scan.headerLength));
            m.sections = parseSdp(m.sdp);
            m.nextSection = 0;
            int r = prepareSetup(it);
            if (r == 1) return 2;
            if (r == 0)
                NEG_LOGE("rtspClient_private_client_do_6_prepareSETUP",
                         "No \"m=\" for the server:\"%s\",sock=%d,data:\"%.*s\".", m.server.c_str(), it->sock,
                         static_cast<int>(std::min<size_t>(m.sdp.size(), 512)), m.sdp.data());
            NEG_LOGE(label, "Prepare SETUP for the server:\"%s\" error,data:\"%.*s\".", m.server.c_str(),
                     static_cast<int>(std::min<size_t>(m.sdp.size(), 512)), m.sdp.data());
            return -2;
        }
        if (code == 401) return onUnauthorized(it, head, label) == 1 && prepareDescribe(it) == 1 ? 2 : -2;
        if (code == 301 || code == 302) return redirect(it, head);
        return invalid();
    }
    // SETUP answer
    if (code != 200) {
        if (code == 401 && m.nextSection > 0 && onUnauthorized(it, head, label) == 1) {
            --m.nextSection;  // the same section again, now authorized
            return prepareSetup(it) == 1 ? 2 : -2;
        }
        return invalid();
    }
    bool found = false;
    std::string_view value = headerValue(head, "Session", &found);
    std::string_view id = sessionId(value);
    if (!found || id.empty()) return invalid();
    setText(it->session, std::string(id));
    long timeout = sessionTimeout(value);
    m.keepAlivePeriod = timeout > 1 ? static_cast<double>(timeout) / 2.0 : 0;
    if (m.videoSetup) {
        unsigned channel = 0;
        std::string_view transport = headerValue(head, "Transport", &found);
        it->videoChannel = (found && transportChannel(transport, &channel)) ? static_cast<unsigned char>(channel) : 0;
    }
    int r = prepareSetup(it);
    if (r == 1) return 2;
    if (r < 0) {
        NEG_LOGE(label, "Prepare SETUP for the server:\"%s\" error.", m.server.c_str());
        return -2;
    }
    preparePlay(it);
    return 2;
}

int prepareCommand(rtspClient_item *it) {
    static const char *const label = "rtspClient_private_client_do_cmd";
    ItemImpl &m = impl(it);
    kx_StructList *list = it->cmdList;
    unsigned char record[9];
    pthread_mutex_lock(&list->mutex);
    if (list->count == 0) {
        pthread_mutex_unlock(&list->mutex);
        return 0;
    }
    memcpy(record, kx_StructList_at(list, 0), sizeof record);
    kx_StructList_remove_head(list);
    pthread_mutex_unlock(&list->mutex);
    uint64_t parameter;
    memcpy(&parameter, record, 8);
    int cmd = record[8];
    std::string control = it->controlURL ? it->controlURL : "";
    std::string session = it->session ? it->session : "";
    if (cmd == RTSPCLIENT_CMD_JUMP) {
        double position;
        memcpy(&position, &parameter, sizeof position);
        std::string text;
        if (!jumpRequest(text, control, session, it->cseq + 1, position, authFor(it, "PLAY", control))) {
            NEG_LOGE(label, "Invalid position(=%g) for the server:\"%s\",sock=%d.", position, m.server.c_str(),
                     it->sock);
            return -1;
        }
        ++it->cseq;
        m.out = std::move(text);
    } else if (cmd == RTSPCLIENT_CMD_STREAM_TYPE) {
        ++it->cseq;
        m.out = streamTypeRequest(control, session, it->cseq, static_cast<unsigned char>(parameter),
                                  authFor(it, "SET_PARAMETER", control));
    } else {
        NEG_LOGE(label, "Invalid cmd(=%d) for the server:\"%s\" timeout,sock=%d.", cmd, m.server.c_str(), it->sock);
        return -1;
    }
    m.sent = 0;
    return 1;
}

void prepareKeepAlive(rtspClient_item *it) {
    ItemImpl &m = impl(it);
    ++it->cseq;
    std::string control = it->controlURL ? it->controlURL : "";
    std::string auth = m.getParameter ? authFor(it, "GET_PARAMETER", control) : authFor(it, "OPTIONS", "*");
    m.out = keepAliveRequest(m.getParameter, control, it->session ? it->session : "", it->cseq, auth);
    m.sent = 0;
}

}  // namespace kx::rtsp
