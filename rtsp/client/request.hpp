// Request texts of the client's RTSP session. Each builder takes the authorization
// header line ("" when none) already made for its method and URI.
#pragma once

#include <cstdint>
#include <string>

namespace kx::rtsp {

// "rtsp://a.b.c.d:port" followed by path (which may be empty).
std::string baseUrl(uint32_t ipv4, uint16_t port, const std::string &path);

std::string optionsRequest(const std::string &url, uint32_t cseq, const std::string &auth);
std::string describeRequest(const std::string &url, uint32_t cseq, const std::string &auth);
// channels: "0-1" for video, "2-3" for audio; session empty when none is known yet.
std::string setupRequest(const std::string &url, const char *channels, uint32_t cseq, const std::string &session,
                         const std::string &auth);
std::string playRequest(const std::string &controlURL, uint32_t cseq, const std::string &session,
                        const std::string &auth);
// GET_PARAMETER on the control URL when the server lists it, else "OPTIONS *".
std::string keepAliveRequest(bool getParameter, const std::string &controlURL, const std::string &session,
                             uint32_t cseq, const std::string &auth);
// Seek: false (nothing written) for a position that is not finite, negative or beyond
// kMaxJumpSeconds.
inline constexpr double kMaxJumpSeconds = 1e9;
bool jumpRequest(std::string &out, const std::string &controlURL, const std::string &session, uint32_t cseq,
                 double position, const std::string &auth);
std::string streamTypeRequest(const std::string &controlURL, const std::string &session, uint32_t cseq,
                              unsigned char value, const std::string &auth);

}  // namespace kx::rtsp
