// Streaming: the interleaved stream of a playing item into frames for its callback.
#include <errno.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>

#include "core/log.hpp"
#include "kx/string.h"
#include "kx/time.h"
#include "rtsp/client/item.hpp"

namespace kx::rtsp {

signed char offerFrame(rtspClient_item *it) {
    ItemImpl &m = impl(it);
    const rtspClient_frameInfo &info = m.rx.frameInfo();
    bool described = info.kind == 1;
    it->frameIndex = m.rx.frameIndex();
    if (described) it->frameInfo = info;
    if (it->cb == nullptr) return 1;
    unsigned char *before = it->buffer;
    signed char answer =
        it->cb(&it->bufferSize, &it->buffer, m.rx.frameLength(), m.rx.frameTime(), m.rx.frameIndex(),
               described ? info.isKeyFrame : static_cast<signed char>(-1), described ? info.frameRate : 0.0f,
               described ? info.width : 0u, described ? info.height : 0u, it->externP);
    // The callback may have exchanged the block. A null block counts as none (the next
    // growth makes a new one); a frame held back must still be in the block it offers.
    if (it->buffer == nullptr) it->bufferSize = 0;
    if (answer == 2 && (it->buffer != before || it->bufferSize < m.rx.frameLength())) {
        KX_LOG_ERROR_AT(5, __LINE__, "rtspClient_private_client_do_9_recvPLAY",
                        "The callback for the server:\"%s\" held the frame but replaced its buffer,sock=%d,"
                        "frameIndex=%u.",
                        m.server.c_str(), it->sock, m.rx.frameIndex());
        answer = -1;
    }
    return answer;
}

namespace {
constexpr size_t kInbox = 64 * 1024;
// A payload part at least this large is read straight into its place in the frame.
constexpr size_t kDirectRead = 4096;
}  // namespace

void clearInbox(rtspClient_item *it) {
    ItemImpl &m = impl(it);
    m.inPos = m.inLen = 0;
    m.hangUp = false;
}

int recvPlay(rtspClient_item *it, size_t budget) {
    static const char *const label = "rtspClient_private_client_do_9_recvPLAY";
    ItemImpl &m = impl(it);
    size_t taken = 0;
    bool drained = false;  // a read came back short: the socket held no more
    m.moreInput = false;
    for (;;) {
        if (m.rx.frameReady()) {
            // Only whole frames show that the server still streams video.
            it->lastActivity = kx_time_uptime_get();
            signed char answer = offerFrame(it);
            if (answer == 2) return -128;
            if (answer == 1) {
                ++it->frameCount;
            } else {
                KX_LOG_INFO_AT(5, __LINE__, label, "Call callback for the server:\"%s\" error,sock=%d,len=%u,frameIndex=%u.",
                               m.server.c_str(), it->sock, m.rx.frameLength(), m.rx.frameIndex());
            }
            int r = m.rx.frameDone();
            if (m.rx.takeVideoCodeChanged()) syncVideoCode(it);
            if (r < 0) return r;
            continue;
        }
        if (m.inPos < m.inLen) {
            int r = 0;
            m.inPos += m.rx.feed(m.inbox.data() + m.inPos, m.inLen - m.inPos, &r);
            if (m.rx.takeVideoCodeChanged()) syncVideoCode(it);
            if (r < 0) return r;
            continue;
        }
        if (drained && !m.hangUp) return 0;
        if (taken >= budget) {
            m.moreInput = true;
            return 0;
        }
        if (m.inbox.size() != kInbox) m.inbox.resize(kInbox);
        m.inPos = m.inLen = 0;
        Reassembler::Span span = m.rx.want();
        if (span.size == 0) return -1;
        iovec iov[2];
        int count = 0;
        bool direct = m.rx.wantsPayload() && span.size >= kDirectRead;
        if (direct) iov[count++] = {span.data, span.size};
        iov[count++] = {m.inbox.data(), m.inbox.size()};
        ssize_t n = readv(it->sock, iov, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            int err = errno;
            KX_LOG_ERROR_AT(5, __LINE__, label, "Recv data from the server:\"%s\" error:\"%s\",sock=%d,rv=%d.",
                            m.server.c_str(), kx::errtext(err), it->sock, static_cast<int>(n));
            errno = 0;
            return -1;
        }
        if (n == 0) {
            KX_LOG_ERROR_AT(5, __LINE__, label, "Recv data from the server:\"%s\" error:\"%s\",sock=%d,rv=%d.",
                            m.server.c_str(), "connection closed", it->sock, 0);
            return -1;
        }
        size_t got = static_cast<size_t>(n);
        taken += got;
        drained = got < (direct ? span.size : 0) + m.inbox.size();
        size_t inFrame = direct ? std::min(got, span.size) : 0;
        m.inLen = got - inFrame;
        if (inFrame > 0) {
            int r = m.rx.commit(inFrame);
            if (m.rx.takeVideoCodeChanged()) syncVideoCode(it);
            if (r < 0) return r;
        }
    }
}

}  // namespace kx::rtsp
