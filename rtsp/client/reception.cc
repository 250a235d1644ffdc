// Streaming: the interleaved stream of a playing item into frames for its callback.
#include <errno.h>
#include <sys/socket.h>

#include "core/log.hpp"
#include "kx/string.h"
#include "rtsp/client/item.hpp"

namespace kx::rtsp {

signed char offerFrame(rtspClient_item *it) {
    ItemImpl &m = impl(it);
    const rtspClient_frameInfo &info = m.rx.frameInfo();
    bool described = info.kind == 1;
    it->frameIndex = m.rx.frameIndex();
    if (described) it->frameInfo = info;
    if (it->cb == nullptr) return 1;
    return it->cb(&it->bufferSize, &it->buffer, m.rx.frameLength(), described ? info.frameTime : -1.0,
                  m.rx.frameIndex(), described ? info.isKeyFrame : static_cast<signed char>(-1),
                  described ? info.frameRate : 0.0f, described ? info.width : 0u, described ? info.height : 0u,
                  it->externP);
}

int recvPlay(rtspClient_item *it, size_t budget) {
    static const char *const label = "rtspClient_private_client_do_9_recvPLAY";
    ItemImpl &m = impl(it);
    size_t taken = 0;
    m.moreInput = false;
    for (;;) {
        if (m.rx.frameReady()) {
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
        if (taken >= budget) {
            m.moreInput = true;
            return 0;
        }
        Reassembler::Span span = m.rx.want();
        if (span.size == 0) return -1;
        ssize_t n = recv(it->sock, span.data, span.size, 0);
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
        taken += static_cast<size_t>(n);
        int r = m.rx.commit(static_cast<size_t>(n));
        if (m.rx.takeVideoCodeChanged()) syncVideoCode(it);
        if (r < 0) return r;
    }
}

}  // namespace kx::rtsp
