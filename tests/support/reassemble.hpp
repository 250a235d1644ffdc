// Interleaved RTP bytes read back through the RTSP client's reassembler (video channel 0):
// the frames it completes, with their frame descriptions.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kx/memory.h"
#include "rtsp/client/interleaved.hpp"

namespace kxtest {

struct ReassembledFrame {
    std::string data;
    rtspClient_frameInfo info;
};

inline std::vector<ReassembledFrame> reassemble(const std::string &stream, uint8_t payloadType = 96) {
    uint32_t size = 0;
    unsigned char *buffer = nullptr;
    kx::rtsp::Reassembler r(&buffer, &size);
    r.reset(0, payloadType);
    std::vector<ReassembledFrame> out;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(stream.data());
    size_t left = stream.size();
    // A frame may also be ready after frameDone(), when the packet behind the one before
    // completes it at once.
    while (left > 0 || r.frameReady()) {
        int result = 0;
        size_t n = r.feed(p, left, &result);
        p += n;
        left -= n;
        EXPECT_GE(result, 0) << "the reassembler refused the stream";
        if (result < 0) break;
        if (result == kx::rtsp::Reassembler::kFrame) {
            out.push_back({std::string(reinterpret_cast<char *>(buffer), r.frameLength()), r.frameInfo()});
            r.frameDone();
        }
    }
    kx_memery_free(buffer, size);
    return out;
}

}  // namespace kxtest
