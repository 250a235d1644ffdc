#include "serve/rtsp_protocol.hpp"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "core/base64.hpp"
#include "core/url.hpp"
#include "rtsp/client/text.hpp"
#include "kx/string.h"

namespace kx::rtspserve {

namespace {

constexpr size_t kMaxMethod = 32;
constexpr size_t kMaxHeld = 8u << 20;  // packets held back while PLAY waits for a key frame

std::string_view trimEnd(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool decimal32(std::string_view s, uint32_t *out) {
    if (s.empty() || s.size() > 10) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > UINT32_MAX) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool hostName(std::string_view h) {
    if (h.empty() || h.size() > 253) return false;
    for (char c : h) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

// host [":" port] with the host a name, a dotted quad (a name by its characters) or "[v6]".
bool authorityOk(std::string_view a) {
    size_t at = a.rfind('@');
    if (at != std::string_view::npos) a.remove_prefix(at + 1);
    std::string_view host, port;
    bool hasPort = false;
    if (!a.empty() && a.front() == '[') {
        size_t close = a.find(']');
        if (close == std::string_view::npos || close < 3) return false;
        for (char c : a.substr(1, close - 1)) {
            bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
                      c == '.' || c == '%';
            if (!ok) return false;
        }
        std::string_view after = a.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return false;
            hasPort = true;
            port = after.substr(1);
        }
    } else {
        size_t colon = a.find(':');
        host = a.substr(0, colon);
        if (!hostName(host)) return false;
        if (colon != std::string_view::npos) {
            hasPort = true;
            port = a.substr(colon + 1);
        }
    }
    return !hasPort || port.empty() || parsePort(port).has_value();
}

}  // namespace

int parseRequest(std::string_view message, size_t headLength, Request *out) {
    *out = Request{};
    std::string_view head = message.substr(0, std::min(headLength, message.size()));
    size_t eol = head.find("\r\n");
    if (eol == std::string_view::npos) return kBadRequestLine;
    std::string_view line = head.substr(0, eol);
    size_t sp1 = line.find(' ');
    if (sp1 == std::string_view::npos || sp1 == 0 || sp1 > kMaxMethod) return kBadRequestLine;
    size_t sp2 = line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || sp2 == sp1 + 1) return kBadRequestLine;
    if (line.substr(sp2 + 1).substr(0, 5) != "RTSP/") return kBadRequestLine;
    out->method = line.substr(0, sp1);
    for (char c : out->method)
        if (!((c >= 'A' && c <= 'Z') || c == '_')) return kBadRequestLine;
    out->uri = line.substr(sp1 + 1, sp2 - sp1 - 1);
    out->body = headLength < message.size() ? message.substr(headLength) : std::string_view{};

    bool found = false;
    std::string_view cseq = rtsp::headerValue(head, "CSeq", &found);
    out->hasCseq = found && decimal32(trimEnd(cseq), &out->cseq);
    out->transport = trimEnd(rtsp::headerValue(head, "Transport", &found));
    out->range = trimEnd(rtsp::headerValue(head, "Range", &found));
    if (!out->hasCseq) return kNoCseq;

    std::string_view rest;
    if (out->uri == "*") return kParsed;
    if (out->uri.front() == '/') {
        rest = out->uri;
    } else {
        UrlParts parts = splitUrl(out->uri);
        if (!parts.hasScheme || parts.scheme.empty()) return kBadUri;
        size_t start = parts.scheme.size() + 3;
        std::string_view authority = out->uri.substr(start, out->uri.size() - start - parts.rest.size());
        if (!authorityOk(authority)) return kBadUri;
        rest = parts.rest;
    }
    size_t hash = rest.find('#');
    if (hash != std::string_view::npos) rest = rest.substr(0, hash);
    size_t q = rest.find('?');
    if (q != std::string_view::npos) {
        out->hasQuery = true;
        out->query = rest.substr(q + 1);
        rest = rest.substr(0, q);
    }
    if (!rest.empty() && rest.front() == '/') {
        out->hasPath = true;
        out->path = rest;
    }
    return kParsed;
}

namespace {

// "track<N>" (or "trackID=<N>") at the end of text, trailing '/' ignored; -1 when absent.
int trackAtEnd(std::string_view uri) {
    while (!uri.empty() && uri.back() == '/') uri.remove_suffix(1);
    size_t at = uri.rfind("track");
    if (at == std::string_view::npos) return -1;
    std::string_view n = uri.substr(at + 5);
    if (n.substr(0, 3) == "ID=") n.remove_prefix(3);
    uint32_t v;
    if (n.size() > 2 || !decimal32(n, &v) || v > 31) return -1;
    return static_cast<int>(v);
}

// Decimal number "digits[.digits]" at the start of s (at most 18 digits before the point);
// its length, 0 when there is none.
size_t decimalNumber(std::string_view s, double *out) {
    size_t i = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    if (i == 0 || i > 18) return 0;
    size_t end = i;
    if (end < s.size() && s[end] == '.') {
        ++end;
        while (end < s.size() && s[end] >= '0' && s[end] <= '9' && end - i <= 18) ++end;
    }
    std::string text(s.substr(0, end));
    *out = strtod(text.c_str(), nullptr);
    return end;
}

bool digitsAt(std::string_view s, size_t at, size_t n, int *out) {
    if (at + n > s.size()) return false;
    int v = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    *out = v;
    return true;
}

// Days from 1970-01-01 to the civil date y-m-d (proleptic Gregorian).
int64_t daysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int daysInMonth(int y, int m) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : kDays[m - 1];
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int trackOf(std::string_view uri) {
    size_t hash = uri.find('#');
    if (hash != std::string_view::npos) uri = uri.substr(0, hash);
    size_t q = uri.find('?');
    int t = trackAtEnd(uri.substr(0, q));
    // "rtsp://host/file?x=1/track0": the control path appended behind a query.
    if (t < 0 && q != std::string_view::npos) {
        std::string_view after = uri.substr(q + 1);
        size_t slash = after.rfind('/');
        if (slash != std::string_view::npos) t = trackAtEnd(after.substr(slash + 1));
    }
    return t;
}

bool rangeStart(std::string_view range, double *start) {
    while (!range.empty() && range.front() == ' ') range.remove_prefix(1);
    if (range.substr(0, 4) == "npt=") {
        std::string_view s = range.substr(4);
        double first = 0.0;
        size_t n = decimalNumber(s, &first);
        if (n == 0) return false;
        double value = first;
        if (n < s.size() && s[n] == ':') {
            // hours:minutes:seconds[.fraction], the hours being the digits read first.
            int minutes = 0, seconds = 0;
            if (s.substr(0, n).find('.') != std::string_view::npos || !digitsAt(s, n + 1, 2, &minutes) ||
                minutes > 59 || n + 3 >= s.size() || s[n + 3] != ':' || !digitsAt(s, n + 4, 2, &seconds) ||
                seconds > 59)
                return false;
            double exact = 0.0;
            size_t m = decimalNumber(s.substr(n + 4), &exact);
            if (m < 2) return false;
            value = first * 3600.0 + minutes * 60.0 + exact;
            n += 4 + m;
        }
        if (n >= s.size() || s[n] != '-' || !isfinite(value)) return false;
        *start = value;
        return true;
    }
    if (range.substr(0, 6) == "clock=") {
        std::string_view s = range.substr(6);
        int y, mo, d, h, mi, sec;
        if (!digitsAt(s, 0, 4, &y) || !digitsAt(s, 4, 2, &mo) || !digitsAt(s, 6, 2, &d) || s.size() < 9 ||
            s[8] != 'T' || !digitsAt(s, 9, 2, &h) || !digitsAt(s, 11, 2, &mi) || !digitsAt(s, 13, 2, &sec))
            return false;
        if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo) || h > 23 || mi > 59 || sec > 60)
            return false;
        size_t i = 15;
        double fraction = 0.0;
        if (i < s.size() && s[i] == '.') {
            size_t j = i + 1;
            while (j < s.size() && s[j] >= '0' && s[j] <= '9' && j - i <= 9) ++j;
            if (j == i + 1) return false;
            std::string text("0");
            text.append(s.substr(i, j - i));
            fraction = strtod(text.c_str(), nullptr);
            i = j;
        }
        if (i + 1 >= s.size() || s[i] != 'Z' || s[i + 1] != '-') return false;
        *start = static_cast<double>(daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + sec) + fraction;
        return true;
    }
    return false;
}

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        int hi, lo;
        if (text[i] == '%' && i + 2 < text.size() &&
            (hi = hexDigit(text[i + 1])) >= 0 && (lo = hexDigit(text[i + 2])) >= 0) {
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string sdpSession(uint32_t serverIpv4, double now, double duration) {
    const unsigned char *a = reinterpret_cast<const unsigned char *>(&serverIpv4);
    long sec = static_cast<long>(now);
    long usec = static_cast<long>((now - static_cast<double>(sec)) * 1e6);
    if (usec < 0 || usec > 999999) usec = 0;
    char text[320];
    if (duration > 0.0 && isfinite(duration))
        snprintf(text, sizeof text,
                 "v=0\r\no=- %ld%06ld 1 IN IP4 %hhu.%hhu.%hhu.%hhu\r\ns=Media Presentation\r\ne=NONE\r\n"
                 "c=IN IP4 0.0.0.0\r\nt=0 0\r\na=range:npt=0-%f\r\n",
                 sec, usec, a[0], a[1], a[2], a[3], duration);
    else
        snprintf(text, sizeof text,
                 "v=0\r\no=- %ld%06ld 1 IN IP4 %hhu.%hhu.%hhu.%hhu\r\ns=Media Presentation\r\ne=NONE\r\n"
                 "c=IN IP4 0.0.0.0\r\nt=0 0\r\na=range:npt=0-\r\n",
                 sec, usec, a[0], a[1], a[2], a[3]);
    return text;
}

std::string sdpH264(uint8_t track, const uint8_t *sps, size_t spsLength, const uint8_t *pps, size_t ppsLength) {
    if (sps == nullptr || spsLength < 4 || pps == nullptr || ppsLength == 0) return {};
    char text[200];
    snprintf(text, sizeof text,
             "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:track%u\r\n"
             "a=fmtp:96 profile-level-id=%02X%02X%02X;packetization-mode=1;sprop-parameter-sets=",
             track, sps[1], sps[2], sps[3]);
    return text + kx::base64Padded(sps, spsLength) + "," + kx::base64Padded(pps, ppsLength) + "\r\n";
}

std::string audioSpecificConfig(uint8_t objectType, uint32_t sampleRate, uint8_t channels) {
    static const uint32_t kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                        22050, 16000, 12000, 11025, 8000,  7350};
    if (objectType == 0 || objectType > 30) objectType = 2;
    int index = 15;
    for (int i = 0; i < 13; ++i)
        if (kRates[i] == sampleRate) index = i;
    // object type (5 bits), frequency index (4; 15: 24-bit rate follows), channels (4),
    // GASpecificConfig: frame length 1024, no core coder, no extension (3 zero bits).
    uint64_t bits = objectType;
    int n = 5;
    bits = (bits << 4) | static_cast<uint64_t>(index);
    n += 4;
    if (index == 15) {
        bits = (bits << 24) | (sampleRate & 0xFFFFFF);
        n += 24;
    }
    bits = (bits << 4) | (channels & 15);
    n += 4;
    bits <<= 3;
    n += 3;
    int bytes = (n + 7) / 8;
    bits <<= (bytes * 8 - n);
    std::string hex;
    char two[3];
    for (int i = bytes - 1; i >= 0; --i) {
        snprintf(two, sizeof two, "%02x", static_cast<unsigned>((bits >> (8 * i)) & 0xFF));
        hex += two;
    }
    return hex;
}

std::string sdpAac(uint8_t track, uint8_t objectType, uint32_t sampleRate, uint8_t channels) {
    char text[400];
    snprintf(text, sizeof text,
             "m=audio 0 RTP/AVP 96\r\na=rtpmap:96 MPEG4-GENERIC/%u/%u\r\na=control:track%u\r\n"
             "a=fmtp:96 streamtype=5;profile-level-id=1;mode=AAC-hbr;sizelength=13;indexlength=3;"
             "indexdeltalength=3;config=%s\r\n",
             sampleRate, channels, track, audioSpecificConfig(objectType, sampleRate, channels).c_str());
    return text;
}

bool FrameDescription::add(uint8_t track, std::string media) {
    if (complete_ || track > 31) return complete_;
    uint32_t bit = 1u << track;
    if (first_ < 0) first_ = track;
    else if (track == first_) repeated_ = true;
    seen_ |= bit;
    if (!(described_ & bit) && !media.empty()) {
        media_[track] = std::move(media);
        described_ |= bit;
    }
    complete_ = repeated_ && described_ == seen_;
    return complete_;
}

std::string FrameDescription::media() const {
    std::string s;
    for (int t = 0; t < 32; ++t)
        if (described_ & (1u << t)) s += media_[t];
    return s;
}

// ---- connection ----

Connection::Connection(uint32_t ipv4, uint16_t port, uint16_t serverPort)
    : ipv4_(ipv4), port_(port), serverPort_(serverPort) {}

std::string Connection::session() const {
    const unsigned char *a = reinterpret_cast<const unsigned char *>(&ipv4_);
    char s[24];
    snprintf(s, sizeof s, "%03hhu%03hhu%03hhu%03hhu%05hu", a[0], a[1], a[2], a[3], port_);
    return s;
}

std::string Connection::peer() const { return rtsp::serverText(ipv4_, port_); }

std::string Connection::ok(bool withSession) const {
    std::string s = "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq_) + "\r\n";
    if (withSession) s += "Session: " + session() + "\r\n";
    return s + "\r\n";
}

void Connection::resetPlay() {
    startedMask_ = 0;
    waitKeyMask_ = 0;
    rtpInfo_.clear();
    held_.clear();
    held_.shrink_to_fit();
}

Outcome Connection::handle(std::string_view message, size_t headLength, Resolver &resolver) {
    Outcome o;
    auto fail = [&](const char *why) {
        o.close = true;
        o.log = why;
        return o;
    };
    Request r;
    int parsed = parseRequest(message, headLength, &r);
    if (parsed == kNoCseq) return fail("Invalid Cseq");
    if (parsed == kBadRequestLine) return r.hasCseq ? fail("Invalid data") : fail("Invalid Cseq");
    cseq_ = r.cseq;
    const std::string_view m = r.method;
    if (m == "OPTIONS") {
        o.reply = "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq_) +
                  "\r\nPublic: OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY, PAUSE, GET_PARAMETER, SET_PARAMETER\r\n\r\n";
        return o;
    }
    if (m == "GET_PARAMETER") {
        if (!(status_ & kAttached)) return fail("Invalid data");
        o.reply = ok(true);
        return o;
    }
    if (m == "PAUSE" || m == "TEARDOWN") {
        o.reply = ok(true);
        return o;
    }
    if (m == "SET_PARAMETER") {
        std::string_view b = r.body;
        if (b.substr(0, 11) != "streamtype:" || b.size() < 12) return fail("Invalid data");
        unsigned v = 0;
        size_t i = 11;
        while (i < b.size() && b[i] == ' ') ++i;
        size_t digits = 0;
        while (i < b.size() && b[i] >= '0' && b[i] <= '9' && digits < 3) v = v * 10 + unsigned(b[i++] - '0'), ++digits;
        if (digits == 0 || v > 255) return fail("Invalid data");
        streamType_ = static_cast<uint8_t>(v);
        o.streamTypeSet = true;
        o.reply = ok(true);
        return o;
    }
    if (m == "DESCRIBE") {
        if (status_ & kAttached) {
            o.detached = true;
            o.detachedFrom = item_;
            detach();
            setupMask_ = 0;
        }
        if (parsed == kBadUri) return fail("Invalid data");
        Target t = resolver.resolve(r);
        switch (t.kind) {
        case Target::none:
            return fail("Invalid data");
        case Target::cluster: {
            const unsigned char *a = reinterpret_cast<const unsigned char *>(&t.clusterIpv4);
            char loc[64];
            snprintf(loc, sizeof loc, "rtsp://%hhu.%hhu.%hhu.%hhu:%hu", a[0], a[1], a[2], a[3], serverPort_);
            std::string target(loc);
            if (r.hasPath) target.append(r.path);
            if (r.hasQuery) target.append("?").append(r.query);
            o.reply = "RTSP/1.0 301 Moved\r\nCSeq: " + std::to_string(cseq_) + "\r\nLocation: " + target + "\r\n\r\n";
            status_ = 0;
            return o;
        }
        case Target::live:
        case Target::demand:
            status_ = t.kind == Target::demand ? kAttached | kDemand : kAttached;
            item_ = t.item;
            path_.assign(r.path);
            hasPath_ = r.hasPath;
            query_.assign(r.query);
            base_.assign(r.uri.substr(0, std::min(r.uri.find_first_of("?#"), r.uri.size())));
            if (base_.empty() || base_.back() != '/') base_.push_back('/');
            describeCseq_ = cseq_;
            setupMask_ = 0;
            o.described = true;
            return o;
        }
        return o;
    }
    if (m == "SETUP") {
        if ((status_ & (kAttached | kDescribed)) != (kAttached | kDescribed)) return fail("Invalid data");
        if (r.transport.find("RTP/AVP/TCP") == std::string_view::npos) {
            o.reply = "RTSP/1.0 461 Unsupported transport\r\nCSeq: " + std::to_string(cseq_) +
                      "\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n";
            return o;
        }
        int track = trackOf(r.uri);
        if (track < 0) {
            o.log = "Invalid data";
            track = 0;
        }
        setupMask_ |= 1u << track;
        char text[200];
        snprintf(text, sizeof text,
                 "RTSP/1.0 200 OK\r\nCSeq: %u\r\nSession: %s\r\n"
                 "Transport: RTP/AVP/TCP;unicast;interleaved=%d-%d;ssrc=6b7872%02x\r\n\r\n",
                 cseq_, session().c_str(), 2 * track, 2 * track + 1, 0x73 + track);
        o.reply = text;
        return o;
    }
    if (m == "PLAY") {
        if ((status_ & (kAttached | kDescribed)) != (kAttached | kDescribed) || setupMask_ == 0)
            return fail("Invalid data");
        double start = 0.0;
        if (rangeStart(r.range, &start) && start > 0.0) o.startTime = start;
        if (status_ & kPlaying) {
            // A jump while playing: answered at once, the stream goes on from the new start.
            o.reply = ok(true);
            return o;
        }
        resetPlay();
        playCseq_ = cseq_;
        status_ |= kPlayRequested;
        o.play = true;
        return o;
    }
    return fail("Invalid data");
}

std::string Connection::describeAnswer(const std::string &sdp) {
    static const char kTail[] =
        "a=Media_header:MEDIAINFO=494D4B48010100000400010010710110401F000000FA000000000000000000000000000000000000"
        "\r\na=appversion:1.0\r\n";
    std::string s = "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(describeCseq_) + "\r\nContent-Base: " + base_ +
                    "\r\nContent-Type: application/sdp\r\nContent-Length: " +
                    std::to_string(sdp.size() + sizeof kTail - 1) + "\r\n\r\n" + sdp + kTail;
    status_ |= kDescribed;
    return s;
}

Offer Connection::offer(const FrameView &f, std::string_view packets, size_t queued, size_t limit) {
    if ((status_ & (kAttached | kDescribed)) != (kAttached | kDescribed) || f.track > 31) return Offer::skip;
    uint32_t bit = 1u << f.track;
    if (!(setupMask_ & bit)) return Offer::skip;
    if (status_ & kPlaying) {
        if (waitKeyMask_ & bit) {
            if (f.video && !f.key) return Offer::skip;
            waitKeyMask_ &= ~bit;
        }
        if (queued > limit) {
            ++missed_;
            if (f.video) waitKeyMask_ |= bit;
            return Offer::miss;
        }
        return Offer::send;
    }
    if (!(status_ & kPlayRequested)) return Offer::skip;
    if (!(startedMask_ & bit)) {
        if (f.video && !f.key) return Offer::skip;
        startedMask_ |= bit;
        char text[96];
        if (rtpInfo_.empty()) {
            snprintf(text, sizeof text, "npt=%f-\r\nRTP-Info: url=", isfinite(f.streamTime) ? f.streamTime : 0.0);
            rtpInfo_ = text;
        } else {
            rtpInfo_ += ",url=";
        }
        snprintf(text, sizeof text, "track%u;seq=%u;rtptime=%u", f.track, f.firstSeq, f.rtpTime);
        rtpInfo_ += base_;
        rtpInfo_ += text;
    }
    if (held_.size() + packets.size() > kMaxHeld) {
        // A track that never starts: begin the wait again rather than hold without bound.
        startedMask_ = 0;
        rtpInfo_.clear();
        held_.clear();
        return Offer::skip;
    }
    held_.append(packets);
    if (startedMask_ != setupMask_) return Offer::hold;
    status_ |= kPlaying;
    return Offer::start;
}

std::string Connection::takeStart() {
    std::string s = "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(playCseq_) + "\r\nSession: " + session() +
                    "\r\nRange: " + rtpInfo_ + "\r\n\r\n";
    s += held_;
    held_.clear();
    held_.shrink_to_fit();
    rtpInfo_.clear();
    return s;
}

}  // namespace kx::rtspserve
