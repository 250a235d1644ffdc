#include "rtsp/client/auth.hpp"

#include <random>
#include <vector>

#include "core/base64.hpp"
#include "kx/string.h"
#include "rtsp/client/text.hpp"

namespace kx::rtsp {

namespace {

struct Challenge {
    std::string scheme;
    std::vector<std::pair<std::string, std::string>> params;
    const std::string *get(std::string_view name) const {
        for (const auto &p : params)
            if (iequals(p.first, name)) return &p.second;
        return nullptr;
    }
};

// "Scheme a=b, c="d, e" ..." -> scheme and parameters.
Challenge parseChallenge(std::string_view v) {
    Challenge c;
    size_t i = 0;
    while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) ++i;
    size_t start = i;
    while (i < v.size() && v[i] != ' ' && v[i] != '\t') ++i;
    c.scheme = std::string(v.substr(start, i - start));
    while (i < v.size()) {
        while (i < v.size() && (v[i] == ' ' || v[i] == '\t' || v[i] == ',')) ++i;
        size_t ns = i;
        while (i < v.size() && v[i] != '=' && v[i] != ',' && v[i] != ' ' && v[i] != '\t') ++i;
        std::string name(v.substr(ns, i - ns));
        while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) ++i;
        if (i >= v.size() || v[i] != '=') {
            if (name.empty() && i < v.size()) ++i;
            continue;
        }
        ++i;
        while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) ++i;
        std::string value;
        if (i < v.size() && v[i] == '"') {
            ++i;
            bool closed = false;
            while (i < v.size()) {
                char ch = v[i++];
                if (ch == '\\' && i < v.size()) {
                    value += v[i++];
                } else if (ch == '"') {
                    closed = true;
                    break;
                } else {
                    value += ch;
                }
            }
            if (!closed) {
                c.params.clear();
                c.scheme.clear();
                return c;  // unterminated quote: the challenge is unusable
            }
        } else {
            size_t vs = i;
            while (i < v.size() && v[i] != ',' && v[i] != ' ' && v[i] != '\t') ++i;
            value = std::string(v.substr(vs, i - vs));
        }
        if (!name.empty()) c.params.emplace_back(std::move(name), std::move(value));
    }
    return c;
}

// Server text that goes back into our requests must not carry a line break or another
// control character: it could end the header line and add lines of the server's choosing.
bool echoable(std::string_view v) {
    for (unsigned char ch : v)
        if ((ch < 0x20 && ch != '\t') || ch == 0x7f) return false;
    return true;
}

// The value as the inside of a quoted-string (RFC 7616: '"' and '\\' as quoted pairs).
std::string quoted(std::string_view v) {
    std::string out;
    out.reserve(v.size());
    for (char ch : v) {
        if (ch == '"' || ch == '\\') out += '\\';
        out += ch;
    }
    return out;
}

std::string randomHex() {
    std::random_device rd;
    uint64_t v = (static_cast<uint64_t>(rd()) << 32) ^ rd();
    return format("%016llx", static_cast<unsigned long long>(v));
}

}  // namespace

std::unique_ptr<Authorization> Authorization::fromChallenge(std::string_view answer, std::string_view username,
                                                            std::string_view password) {
    size_t end = answer.find("\r\n\r\n");
    std::string_view head = end == std::string_view::npos ? answer : answer.substr(0, end + 2);
    Challenge digest, basic;
    bool haveDigest = false, haveBasic = false;
    // Walk every WWW-Authenticate line.
    size_t pos = 0;
    while ((pos = head.find('\n', pos)) != std::string_view::npos) {
        ++pos;
        std::string_view rest = head.substr(pos);
        size_t eol = rest.find('\n');
        std::string_view line = rest.substr(0, eol == std::string_view::npos ? rest.size() : eol);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!istartsWith(line, "WWW-Authenticate")) continue;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        Challenge c = parseChallenge(line.substr(colon + 1));
        if (!haveDigest && iequals(c.scheme, "Digest")) {
            const std::string *alg = c.get("algorithm");
            const std::string *opaque = c.get("opaque");
            if (c.get("realm") && c.get("nonce") && (!alg || iequals(*alg, "MD5")) && echoable(*c.get("realm")) &&
                echoable(*c.get("nonce")) && (!opaque || echoable(*opaque))) {
                digest = std::move(c);
                haveDigest = true;
            }
        } else if (!haveBasic && iequals(c.scheme, "Basic")) {
            basic = std::move(c);
            haveBasic = true;
        }
    }
    if (!haveDigest && !haveBasic) return nullptr;
    auto a = std::make_unique<Authorization>();
    a->username_ = std::string(username);
    if (haveDigest) {
        a->scheme_ = Scheme::digest;
        a->realm_ = *digest.get("realm");
        a->nonce_ = *digest.get("nonce");
        if (const std::string *op = digest.get("opaque")) {
            a->opaque_ = *op;
            a->hasOpaque_ = true;
        }
        if (const std::string *qop = digest.get("qop")) {
            std::string_view list(*qop);
            while (!list.empty()) {
                size_t comma = list.find(',');
                std::string_view one = list.substr(0, comma);
                while (!one.empty() && one.front() == ' ') one.remove_prefix(1);
                while (!one.empty() && one.back() == ' ') one.remove_suffix(1);
                if (iequals(one, "auth")) a->qopAuth_ = true;
                list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
            }
        }
        std::string a1;
        a1.append(username).append(":").append(a->realm_).append(":").append(password);
        a->ha1_ = md5hex(a1);
        a->cnonce_ = randomHex();
    } else {
        a->scheme_ = Scheme::basic;
        std::string joined;
        joined.append(username).append(":").append(password);
        std::string enc = kx::base64Padded(joined.data(), joined.size());
        if (enc.empty()) return nullptr;
        a->basic_ = "Authorization: Basic " + enc + "\r\n";
    }
    return a;
}

std::string Authorization::header(std::string_view method, std::string_view uri) {
    if (scheme_ == Scheme::basic) return basic_;
    if (method.size() > 14) return {};
    std::string a2;
    a2.append(method).append(":").append(uri);
    std::string ha2 = md5hex(a2);
    std::string out = format("Authorization: Digest username=\"%s\",realm=\"%s\",nonce=\"%s\",uri=\"",
                             quoted(username_).c_str(), quoted(realm_).c_str(), quoted(nonce_).c_str());
    out.append(uri);
    if (qopAuth_) {
        ++nc_;
        std::string nc = format("%08x", nc_);
        std::string r = ha1_ + ":" + nonce_ + ":" + nc + ":" + cnonce_ + ":auth:" + ha2;
        out += "\",response=\"" + md5hex(r) + "\",qop=auth,nc=" + nc + ",cnonce=\"" + cnonce_ + "\"";
    } else {
        out += "\",response=\"" + md5hex(ha1_ + ":" + nonce_ + ":" + ha2) + "\"";
    }
    if (hasOpaque_) out += ",opaque=\"" + quoted(opaque_) + "\"";
    out += "\r\n";
    return out;
}

}  // namespace kx::rtsp
