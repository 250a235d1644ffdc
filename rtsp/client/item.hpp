// Internal state of an RTSP client item and the steps the service thread drives.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kx/rtspclient.h"
#include "rtsp/client/auth.hpp"
#include "rtsp/client/interleaved.hpp"
#include "rtsp/client/sdp.hpp"

namespace kx::rtsp {

struct ItemImpl {
    explicit ItemImpl(rtspClient_item *it) : item(it), rx(&it->buffer, &it->bufferSize) {}

    rtspClient_item *item;
    Reassembler rx;
    char *strings = nullptr;  // owner of username, password, path
    std::unique_ptr<Authorization> auth;
    int authTries = 0;      // 401 answers in a row
    int redirects = 0;      // redirects since the last PLAY
    std::string sdp;
    std::vector<MediaSection> sections;
    size_t nextSection = 0;
    bool videoSetup = false;  // the SETUP being answered is the video one
    bool getParameter = false;
    std::string videoCode;    // from the description
    uint32_t videoClockRate = 0;  // of the video track's RTP timestamps, 0 when not described
    std::string out;          // request being sent
    size_t sent = 0;
    uint32_t recvLen = 0;     // answer bytes in item->buffer
    double keepAlivePeriod = 0;  // 0: the service's
    // readiness registration
    bool registered = false;
    uint32_t events = 0;
    uint64_t socketGeneration = 0;  // counts socket changes (close, connect, removal)
    bool moreInput = false;   // input left unread to keep the pass fair
    bool hangUp = false;      // the peer closed its side: read on until the end is seen
    // Streaming reads land here and are cut into packets from memory; what follows a frame
    // that is held back stays here until the frame is taken.
    std::vector<unsigned char> inbox;
    size_t inPos = 0, inLen = 0;
    std::string server;       // server text of log records
};

inline ItemImpl &impl(rtspClient_item *it) { return *static_cast<ItemImpl *>(it->impl); }

// "user:password@a.b.c.d:port/path" as log records name the server.
std::string serverOf(const rtspClient_item *it);
void setText(char *&field, const std::string &value);
void clearText(char *&field);
void syncVideoCode(rtspClient_item *it);

// Negotiation: preparing requests and judging answers. Results of the handlers: 2 a
// request is ready, 0 wait for more, -127 redirected, other negatives fail.
int prepareOptions(rtspClient_item *it);
int recvAnswer(rtspClient_item *it, double now);
int prepareCommand(rtspClient_item *it);
void prepareKeepAlive(rtspClient_item *it);
// Streaming: reads the interleaved stream until it would block. 0 would block,
// -128 the callback asked to hold the frame, other negatives fail.
int recvPlay(rtspClient_item *it, size_t budget);
// Offers the ready frame to the callback; returns its answer.
signed char offerFrame(rtspClient_item *it);
// Forgets streaming input read ahead (a new connection starts clean).
void clearInbox(rtspClient_item *it);

namespace testing {
// Item and service creation: the nth allocation from now on is refused (0: none), so that
// every failure path can be walked. pendingRefusal() is what is left of the count.
void refuseAllocation(int nth);
int pendingRefusal();
bool refused();
}  // namespace testing

}  // namespace kx::rtsp
