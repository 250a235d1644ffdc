// Session descriptions: the media sections the client sets up, their control values and
// payload types, and the H.264 parameter sets of sprop-parameter-sets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kx::rtsp {

struct MediaSection {
    std::string media;      // "video", "audio", "application", ...
    bool rtp = false;       // transport starts with RTP/AVP
    int payloadType = -1;   // first format of the m= line, -1 when not a number 0..127
    uint32_t clockRate = 0; // of that format from its a=rtpmap line, 0 when none names it
    bool hasControl = false;
    std::string control;    // a=control value, ends at CR, LF, blank or NUL
    std::string_view text;  // the section's text from "m=" on (points into the description)
};

// Media sections in their order in the description.
std::vector<MediaSection> parseSdp(std::string_view sdp);

// The request URL of a section: the control value itself when it is an rtsp:// URL, the
// aggregate URL for "*" or an empty value, else aggregate + '/' + control.
std::string setupUrl(std::string_view aggregate, std::string_view control);

// Annex B parameter sets (00 00 00 01 before each) decoded from the section's
// sprop-parameter-sets. The value ends at ';', blank, CR, LF or the end of the text; sets
// are separated by ','. Needs at least two sets, each decodable and non-empty.
bool spropParameterSets(std::string_view sectionText, std::string &code);

}  // namespace kx::rtsp
