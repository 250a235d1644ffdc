#include "rtsp/client/request.hpp"

#include <cmath>

#include "rtsp/client/text.hpp"

namespace kx::rtsp {

std::string baseUrl(uint32_t ipv4, uint16_t port, const std::string &path) {
    return "rtsp://" + serverText(ipv4, port) + path;
}

std::string optionsRequest(const std::string &url, uint32_t cseq, const std::string &auth) {
    return format("OPTIONS %s RTSP/1.0\r\nCSeq: %u\r\n%s\r\n", url.c_str(), cseq, auth.c_str());
}

std::string describeRequest(const std::string &url, uint32_t cseq, const std::string &auth) {
    return format("DESCRIBE %s RTSP/1.0\r\nAccept: application/sdp\r\nCSeq: %u\r\n%s\r\n", url.c_str(), cseq,
                  auth.c_str());
}

std::string setupRequest(const std::string &url, const char *channels, uint32_t cseq, const std::string &session,
                         const std::string &auth) {
    bool s = !session.empty();
    return format("SETUP %s RTSP/1.0\r\nTransport: RTP/AVP/TCP;unicast;interleaved=%s\r\nCSeq: %u\r\n%s%s%s%s\r\n",
                  url.c_str(), channels, cseq, s ? "Session: " : "", s ? session.c_str() : "", s ? "\r\n" : "",
                  auth.c_str());
}

std::string playRequest(const std::string &controlURL, uint32_t cseq, const std::string &session,
                        const std::string &auth) {
    return format("PLAY %s RTSP/1.0\r\nRange: npt=0.000-\r\nCSeq: %u\r\nSession: %s\r\n%s\r\n", controlURL.c_str(),
                  cseq, session.c_str(), auth.c_str());
}

std::string keepAliveRequest(bool getParameter, const std::string &controlURL, const std::string &session,
                             uint32_t cseq, const std::string &auth) {
    if (getParameter)
        return format("GET_PARAMETER %s RTSP/1.0\r\nSession: %s\r\n%sCSeq: %u\r\n\r\n", controlURL.c_str(),
                      session.c_str(), auth.c_str(), cseq);
    return format("OPTIONS * RTSP/1.0\r\nSession: %s\r\n%sCSeq: %u\r\n\r\n", session.c_str(), auth.c_str(), cseq);
}

bool jumpRequest(std::string &out, const std::string &controlURL, const std::string &session, uint32_t cseq,
                 double position, const std::string &auth) {
    if (!std::isfinite(position) || position < 0 || position > kMaxJumpSeconds) return false;
    out = format("PLAY %s RTSP/1.0\r\nSession: %s\r\nCSeq: %u\r\nRange: npt=%lf-\r\n%s\r\n", controlURL.c_str(),
                 session.c_str(), cseq, position, auth.c_str());
    return true;
}

std::string streamTypeRequest(const std::string &controlURL, const std::string &session, uint32_t cseq,
                              unsigned char value, const std::string &auth) {
    std::string body = format("streamtype: %hhu\r\n", value);
    return format("SET_PARAMETER %s RTSP/1.0\r\nSession: %s\r\nCSeq: %u\r\nContent-type: text/parameters\r\n"
                  "Content-Length: %zu\r\n%s\r\n%s",
                  controlURL.c_str(), session.c_str(), cseq, body.size(), auth.c_str(), body.c_str());
}

}  // namespace kx::rtsp
