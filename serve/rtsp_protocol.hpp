// The RTSP server's protocol engine, apart from sockets: request parsing, the session
// description, and the state of one client connection from its first request to playing.
// Everything here takes bytes and returns texts and decisions; the service (rtspserver.cc)
// moves them between the socket pool and the items.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kx::rtspserve {

// ---- requests ----

struct Request {
    std::string_view method;
    std::string_view uri;
    bool hasPath = false;
    std::string_view path;   // from '/' up to '?' or '#'
    bool hasQuery = false;
    std::string_view query;  // behind '?', up to '#'
    bool hasCseq = false;
    uint32_t cseq = 0;
    std::string_view transport, range, body;
};

enum ParseResult : int {
    kParsed = 1,
    kBadRequestLine = -1,  // no "METHOD SP URI SP RTSP/1.0" line
    kNoCseq = -2,          // no CSeq header with a 32-bit decimal number
    kBadUri = -3,          // neither "*", an absolute path nor scheme://authority[/path]
};

// message holds the header (headLength bytes, the empty line included) and the body. The
// request URI is either an absolute path or scheme "://" host [":" port] path, the host a
// name, a dotted IPv4 address or a bracketed IPv6 literal.
int parseRequest(std::string_view message, size_t headLength, Request *out);

// Track number of a SETUP URI ending in "track<N>" (N 0..31), -1 when there is none. A
// control URL made by appending "/track<N>" to a request URL with a query counts too.
int trackOf(std::string_view uri);

// Start time of a PLAY "Range:" value, true with *start when it has one:
//  - "npt=" seconds ("12", "12.5") or hours:minutes:seconds ("1:02:03.5"), then "-" and an
//    optional end;
//  - "clock=" YYYYMMDD "T" hhmmss [".fraction"] "Z", then "-" and an optional end: a local
//    calendar time as seconds on the local wall clock (the scale of kx_time_local_get:
//    seconds since the epoch shifted by the local offset), fraction kept.
// Anything else ("npt=now-", "npt=-5", a bad date) gives false.
bool rangeStart(std::string_view range, double *start);

// Text with every "%XY" (two hex digits) replaced by its byte; other bytes are kept.
std::string percentDecode(std::string_view text);

// ---- session description ----

// Session part of the description; with a positive duration a seekable range.
std::string sdpSession(uint32_t serverIpv4, double nowSeconds, double duration);
// Media part of an H.264 track from its SPS and PPS (NAL units without start codes).
// Empty when the SPS is shorter than 4 bytes.
std::string sdpH264(uint8_t track, const uint8_t *sps, size_t spsLength, const uint8_t *pps, size_t ppsLength);
// Media part of an AAC track: the stream's AudioSpecificConfig (object type, sampling
// frequency index or an explicit rate, channel configuration) and its rate and channels.
std::string sdpAac(uint8_t track, uint8_t objectType, uint32_t sampleRate, uint8_t channels);
// AudioSpecificConfig as hex digits.
std::string audioSpecificConfig(uint8_t objectType, uint32_t sampleRate, uint8_t channels);

// A demand client's description, built from the frames its producer put first: complete
// once a frame of the first frame's track comes again and every track that had a frame is
// described (an H.264 track only by a key frame with parameter sets), so that video alone
// is described by its second frame and a track whose first frames cannot describe it is
// waited for.
class FrameDescription {
public:
    // One frame of track (0..31) with its track's media part, "" when the frame cannot give
    // one. True once complete; later frames change nothing.
    bool add(uint8_t track, std::string media);
    bool complete() const { return complete_; }
    // Media parts of the described tracks, in track order.
    std::string media() const;

private:
    int first_ = -1;
    bool repeated_ = false;
    bool complete_ = false;
    uint32_t seen_ = 0, described_ = 0;
    std::string media_[32];
};

// ---- one client connection ----

enum Status : uint16_t {
    kAttached = 0x8000,
    kDemand = 0x4000,
    kDescribed = 0x0001,
    kPlayRequested = 0x0400,
    kPlaying = 0x0800,
};

// What a DESCRIBE found.
struct Target {
    enum Kind : uint8_t { none, live, demand, cluster } kind = none;
    void *item = nullptr;
    uint32_t clusterIpv4 = 0;
};

class Resolver {
public:
    virtual ~Resolver() = default;
    virtual Target resolve(const Request &request) = 0;
};

struct Outcome {
    std::string reply;           // text to queue (may be empty)
    bool close = false;          // close the connection after the reply
    std::string log;             // why it is closed (for the record)
    bool detached = false;       // the client left the item it had described
    void *detachedFrom = nullptr;
    bool described = false;      // a live or demand item was described: send the SDP when ready
    bool play = false;           // PLAY was received: start at the next frames
    double startTime = 0.0;      // PLAY named a positive start time (also while playing)
    bool streamTypeSet = false;  // SET_PARAMETER gave a stream type
};

// A frame as the play gate sees it.
struct FrameView {
    uint8_t track = 0;
    bool video = true;
    bool key = false;  // a decoder can start here (IDR with parameter sets)
    double streamTime = 0.0;
    uint16_t firstSeq = 0;
    uint32_t rtpTime = 0;
};

enum class Offer : uint8_t {
    skip,    // not for this client (yet)
    hold,    // copied into the held packets (PLAY not answered yet)
    start,   // the PLAY answer and the held packets (in takeStart) go out, then this frame
    send,    // queue the frame's packets
    miss,    // the client's queue is full: this frame is lost, the track waits for a key frame
};

class Connection {
public:
    Connection(uint32_t ipv4, uint16_t port, uint16_t serverPort);

    // One whole request message (header of headLength bytes, then the body).
    Outcome handle(std::string_view message, size_t headLength, Resolver &resolver);

    // The DESCRIBE answer with the SDP text; the client becomes described.
    std::string describeAnswer(const std::string &sdp);

    // Decides what a live client does with a frame; queued is the count of strings waiting
    // on its socket, limit the count above which it misses frames. hold keeps packets back
    // while PLAY waits for every set-up track to start.
    Offer offer(const FrameView &frame, std::string_view packets, size_t queued, size_t limit);
    // After Offer::start: the PLAY answer followed by the held packets (this frame included).
    std::string takeStart();

    uint16_t status() const { return status_; }
    void *item() const { return item_; }
    void detach() {
        status_ = 0;
        item_ = nullptr;
        resetPlay();
    }
    uint32_t setupMask() const { return setupMask_; }
    uint32_t cseq() const { return cseq_; }
    uint8_t streamType() const { return streamType_; }
    std::string session() const;
    std::string peer() const;
    std::string_view path() const { return path_; }
    bool hasPath() const { return hasPath_; }
    std::string_view query() const { return query_; }
    uint64_t framesMissed() const { return missed_; }

private:
    void resetPlay();
    std::string ok(bool withSession) const;

    uint32_t ipv4_;
    uint16_t port_, serverPort_;
    uint16_t status_ = 0;
    uint32_t cseq_ = 0;
    uint32_t describeCseq_ = 0;
    uint32_t playCseq_ = 0;
    void *item_ = nullptr;
    std::string path_;
    bool hasPath_ = false;
    std::string query_;
    std::string base_;  // request URL without query and fragment, ending in '/'

    uint32_t setupMask_ = 0;
    uint32_t startedMask_ = 0;
    uint32_t waitKeyMask_ = 0;
    std::string rtpInfo_;
    std::string held_;
    uint8_t streamType_ = 0;
    uint64_t missed_ = 0;
};

}  // namespace kx::rtspserve
