// Basic and Digest authorization for the requests that follow a 401 answer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kx::rtsp {

class Authorization {
public:
    enum class Scheme { basic, digest };

    // From the header block of a 401 answer: every WWW-Authenticate header is looked at
    // (names without regard to case); Digest with MD5 is preferred over Basic. Digest
    // parameters (realm, nonce, qop, opaque, algorithm) are found by name, in any order
    // and spacing, quoted or not. Null when no usable challenge exists.
    static std::unique_ptr<Authorization> fromChallenge(std::string_view answer, std::string_view username,
                                                        std::string_view password);

    Scheme scheme() const { return scheme_; }
    const std::string &realm() const { return realm_; }
    const std::string &nonce() const { return nonce_; }
    bool qopAuth() const { return qopAuth_; }
    // Client nonce of qop answers (random by default).
    void setClientNonce(std::string cnonce) { cnonce_ = std::move(cnonce); }

    // "Authorization: ...\r\n" for a request with this method and request URI. With qop
    // each call counts one more use of the nonce (nc). Empty for a method longer than 14
    // characters.
    std::string header(std::string_view method, std::string_view uri);

private:
    Scheme scheme_ = Scheme::basic;
    std::string username_, basic_;
    std::string realm_, nonce_, opaque_, ha1_, cnonce_;
    bool qopAuth_ = false;
    bool hasOpaque_ = false;
    uint32_t nc_ = 0;
};

}  // namespace kx::rtsp
