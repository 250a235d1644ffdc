#include "rtsp/client/sdp.hpp"

#include "kx/string.h"
#include "rtsp/client/text.hpp"

namespace kx::rtsp {

namespace {
std::string_view nextWord(std::string_view line, size_t &i) {
    while (i < line.size() && line[i] == ' ') ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    return line.substr(start, i - start);
}
}  // namespace

std::vector<MediaSection> parseSdp(std::string_view sdp) {
    std::vector<MediaSection> sections;
    size_t pos = 0;
    while (pos < sdp.size()) {
        size_t end = sdp.find('\n', pos);
        size_t next = end == std::string_view::npos ? sdp.size() : end + 1;
        std::string_view line = sdp.substr(pos, (end == std::string_view::npos ? sdp.size() : end) - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.substr(0, 2) == "m=") {
            if (!sections.empty()) {
                MediaSection &prev = sections.back();
                prev.text = prev.text.substr(0, static_cast<size_t>(sdp.data() + pos - prev.text.data()));
            }
            MediaSection s;
            s.text = sdp.substr(pos);
            size_t i = 2;
            s.media = std::string(nextWord(line, i));
            nextWord(line, i);  // port (any value: many servers do not write 0)
            std::string_view proto = nextWord(line, i);
            s.rtp = istartsWith(proto, "RTP/AVP");
            long pt = parseSmallNumber(nextWord(line, i));
            s.payloadType = (pt >= 0 && pt <= 127) ? static_cast<int>(pt) : -1;
            sections.push_back(std::move(s));
        } else if (!sections.empty() && line.substr(0, 9) == "a=rtpmap:") {
            // a=rtpmap:<format> <encoding>/<clock rate>[/<parameters>]
            std::string_view v = line.substr(9);
            size_t blank = v.find(' ');
            if (blank != std::string_view::npos && sections.back().payloadType >= 0 &&
                parseSmallNumber(v.substr(0, blank)) == sections.back().payloadType) {
                std::string_view rest = v.substr(blank + 1);
                size_t slash = rest.find('/');
                if (slash != std::string_view::npos) {
                    rest = rest.substr(slash + 1);
                    rest = rest.substr(0, rest.find('/'));
                    long rate = parseSmallNumber(rest);
                    if (rate > 0) sections.back().clockRate = static_cast<uint32_t>(rate);
                }
            }
        } else if (!sections.empty() && !sections.back().hasControl && line.substr(0, 10) == "a=control:") {
            std::string_view v = line.substr(10);
            size_t n = 0;
            while (n < v.size() && v[n] != '\r' && v[n] != '\n' && v[n] != ' ' && v[n] != '\0') ++n;
            sections.back().hasControl = true;
            sections.back().control = std::string(v.substr(0, n));
        }
        pos = next;
    }
    return sections;
}

std::string setupUrl(std::string_view aggregate, std::string_view control) {
    if (istartsWith(control, "rtsp://")) return std::string(control);
    if (control.empty() || control == "*") return std::string(aggregate);
    std::string url(aggregate);
    url += '/';
    url += control;
    return url;
}

bool spropParameterSets(std::string_view text, std::string &code) {
    code.clear();
    size_t at = ifind(text, "sprop-parameter-sets=");
    if (at == std::string_view::npos) return false;
    std::string_view v = text.substr(at + 21);
    size_t n = 0;
    while (n < v.size() && v[n] != ';' && v[n] != ' ' && v[n] != '\t' && v[n] != '\r' && v[n] != '\n') ++n;
    v = v.substr(0, n);
    int sets = 0;
    while (!v.empty()) {
        size_t comma = v.find(',');
        std::string_view one = v.substr(0, comma);
        v = comma == std::string_view::npos ? std::string_view() : v.substr(comma + 1);
        if (one.empty()) continue;
        std::string out(3 * (one.size() / 4) + 3, '\0');
        long len = kx_String_buffer_decode_from_base64(out.data(), static_cast<uint32_t>(one.size()), one.data());
        if (len <= 0) {
            code.clear();
            return false;
        }
        code.append("\0\0\0\1", 4);
        code.append(out.data(), static_cast<size_t>(len));
        ++sets;
    }
    if (sets < 2) {
        code.clear();
        return false;
    }
    return true;
}

}  // namespace kx::rtsp
