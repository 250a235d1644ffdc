// Decoder core shared by the decoder plug-ins (H.264 and HEVC): one libavcodec context
// driven through the send/receive API on one codec thread, pictures copied into the
// caller's buffer in one of three planar layouts.
//
// Results of decode():
//    1  one picture written; *pictureTag is the tag of the unit that carried it
//    0  unit accepted, no picture yet: the stream reorders pictures (B-frames) and the
//       decoder holds them back; or, for a drain call, nothing is held any more
//   -1  the unit did not decode to a picture (logged)
//   -2  the picture's size differs from *width / *height: both are overwritten with
//       the decoded size, nothing is written and the picture stays first in line, so a
//       retry with the size just learnt (even with the same unit) delivers it
// A call with bufferLenth 0 drains: it hands out the next held picture (1) or, once
// none is left, returns 0 and leaves the decoder ready for a new stream.
//
// The plug-ins do not link libkxlib: their records use the plug-in record format.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <deque>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "plugin_log.hpp"

namespace kxsink {

// Destination layouts (outType).
enum Layout : uint8_t { kYcc = 0, kLumaOnly = 1, kYuv420p = 2 };

// Copies n bytes with stores that bypass the cache: the picture is read later and elsewhere,
// so it neither costs a read of the destination first nor pushes the decoder's own data out of
// the cache. Caller issues the fence (copy_picture does) before the picture is handed on.
inline void stream_copy(uint8_t *d, const uint8_t *s, size_t n) {
#if defined(__SSE2__)
    size_t head = (16 - ((uintptr_t)d & 15)) & 15;
    if (head > n) head = n;
    memcpy(d, s, head);
    d += head, s += head, n -= head;
    for (; n >= 64; n -= 64, d += 64, s += 64) {
        const __m128i a = _mm_loadu_si128((const __m128i *)s), b = _mm_loadu_si128((const __m128i *)(s + 16));
        const __m128i c = _mm_loadu_si128((const __m128i *)(s + 32)), e = _mm_loadu_si128((const __m128i *)(s + 48));
        _mm_stream_si128((__m128i *)d, a);
        _mm_stream_si128((__m128i *)(d + 16), b);
        _mm_stream_si128((__m128i *)(d + 32), c);
        _mm_stream_si128((__m128i *)(d + 48), e);
    }
#endif
    memcpy(d, s, n);
}

// Copies a plane of rows x bytes; one run when both sides are packed.
inline void copy_plane(uint8_t *dst, size_t dstStride, const uint8_t *src, ptrdiff_t srcStride, size_t bytes,
                       size_t rows) {
    if (srcStride >= 0 && (size_t)srcStride == bytes && dstStride == bytes) {
        stream_copy(dst, src, bytes * rows);
        return;
    }
    for (size_t r = 0; r < rows; ++r) stream_copy(dst + r * dstStride, src + (ptrdiff_t)r * srcStride, bytes);
}

// Luma rows, then the layout's chroma planes. The caller checked lineBits >= width.
inline void copy_picture(const AVFrame *f, uint8_t *dst, uint32_t lineBits, uint8_t layout, uint32_t width,
                         uint32_t height) {
    copy_plane(dst, lineBits, f->data[0], f->linesize[0], width, height);
    uint8_t *planes = dst + (size_t)lineBits * height;
    if (layout == kYuv420p) {
        // Chroma planes of height/2 rows, lineBits/2 apart; each row copies width/2 samples.
        const uint32_t stride = lineBits / 2, rows = height / 2, bytes = width / 2;
        for (int p = 1; p <= 2; ++p)
            copy_plane(planes + (size_t)(p - 1) * stride * rows, stride, f->data[p], f->linesize[p], bytes, rows);
    }
#if defined(__SSE2__)
    _mm_sfence();  // the streamed stores are visible before the picture is handed on
#endif
    if (layout != kYcc) return;
    // Full-size chroma planes: every chroma sample covers 2 x 2 pixels.
    for (int p = 1; p <= 2; ++p) {
        uint8_t *plane = planes + (size_t)(p - 1) * lineBits * height;
        for (uint32_t r = 0; r < height; ++r) {
            const uint8_t *s = f->data[p] + (ptrdiff_t)(r / 2) * f->linesize[p];
            uint8_t *d = plane + (size_t)r * lineBits;
            if (r & 1) {  // odd rows repeat the row above
                memcpy(d, d - lineBits, width);
                continue;
            }
            uint32_t x = 0;
            for (; x + 1 < width; x += 2) d[x] = d[x + 1] = s[x / 2];
            if (x < width) d[x] = s[x / 2];
        }
    }
}

class Decoder {
public:
    Decoder() = default;
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;
    ~Decoder() {
        for (AVFrame *f : ready_) av_frame_free(&f);
        av_packet_free(&packet_);
        av_frame_free(&scratch_);
        avcodec_free_context(&context_);
    }

    // Opens the decoder on one codec thread, pictures handed out as soon as the stream's
    // reordering allows. Logs with label and returns false on failure.
    bool open(AVCodecID id, const char *label) {
        const AVCodec *codec = avcodec_find_decoder(id);
        if (codec == nullptr) {
            KX_PLUGIN_LOG(label, "Codec not found.");
            return false;
        }
        context_ = avcodec_alloc_context3(codec);
        packet_ = av_packet_alloc();
        scratch_ = av_frame_alloc();
        if (context_ == nullptr || packet_ == nullptr || scratch_ == nullptr) {
            KX_PLUGIN_LOG(label, "Could not open codec.");
            return false;
        }
        context_->thread_count = 1;
        context_->thread_type = 0;
        if (avcodec_open2(context_, codec, nullptr) < 0) {
            KX_PLUGIN_LOG(label, "Could not open codec.");
            return false;
        }
        return true;
    }

    int decode(const char *label, uint8_t *dst, uint32_t lineBits, uint8_t layout, uint32_t *width,
               uint32_t *height, uint32_t bufferLenth, const uint8_t *buffer, int64_t tag, int64_t *pictureTag) {
        // libavcodec takes packet sizes as int, with room for its padding behind them.
        if (layout > kYuv420p || width == nullptr || height == nullptr || (bufferLenth > 0 && buffer == nullptr) ||
            bufferLenth > (uint32_t)(INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) {
            KX_PLUGIN_LOG(label, "Invalid argument,outType=%hhu,bufferLenth=%u.", layout, bufferLenth);
            return -1;
        }
        if (bufferLenth == 0) {
            if (!draining_ && ready_.empty()) {
                avcodec_send_packet(context_, nullptr);
                draining_ = true;
            }
            collect();
            if (ready_.empty()) return 0;
        } else if (!is_retry(bufferLenth, buffer)) {
            retryUnit_.clear();
            if (draining_) collect();  // a partial drain ends before the next stream starts
            packet_->data = const_cast<uint8_t *>(buffer);
            packet_->size = (int)bufferLenth;
            packet_->pts = tag;
            int rv = avcodec_send_packet(context_, packet_);
            packet_->data = nullptr;
            packet_->size = 0;
            if (rv < 0) {
                KX_PLUGIN_LOG(label, "Decode failed,bufferLenth=%u,len=%d,got_picture=%d.", bufferLenth, rv, 0);
                return -1;
            }
            collect();
            if (ready_.empty()) {
                if (context_->has_b_frames > 0) return 0;  // held back for reordering
                KX_PLUGIN_LOG(label, "Decode failed,bufferLenth=%u,len=%d,got_picture=%d.", bufferLenth,
                              (int)bufferLenth, 0);
                return -1;
            }
        } else {
            retryUnit_.clear();
        }

        AVFrame *f = ready_.front();
        if (f->format != AV_PIX_FMT_YUV420P && f->format != AV_PIX_FMT_YUVJ420P) {
            const char *name = av_get_pix_fmt_name((AVPixelFormat)f->format);
            KX_PLUGIN_LOG(label, "Unsupported picture format(=%s).", name ? name : "none");
            drop_front();
            return -1;
        }
        if ((uint32_t)f->width != *width || (uint32_t)f->height != *height) {
            KX_PLUGIN_LOG(label, "Invalid size(%u/%d,%u/%d).", *width, f->width, *height, f->height);
            *width = (uint32_t)f->width;
            *height = (uint32_t)f->height;
            if (bufferLenth > 0) retryUnit_.assign(buffer, buffer + bufferLenth);
            return -2;
        }
        if (dst == nullptr || lineBits < *width) {
            KX_PLUGIN_LOG(label, "Invalid destination,lineBits=%u,width=%u.", lineBits, *width);
            return -1;
        }
        copy_picture(f, dst, lineBits, layout, *width, *height);
        if (pictureTag) *pictureTag = f->pts;
        drop_front();
        return 1;
    }

private:
    // The unit whose picture was refused for its size comes again: deliver, don't resend.
    bool is_retry(uint32_t n, const uint8_t *buffer) const {
        return !retryUnit_.empty() && !ready_.empty() && retryUnit_.size() == n &&
               memcmp(retryUnit_.data(), buffer, n) == 0;
    }

    // Moves every picture the codec has finished into the ready queue.
    void collect() {
        for (;;) {
            int rv = avcodec_receive_frame(context_, scratch_);
            if (rv == 0) {
                AVFrame *f = av_frame_alloc();
                if (f == nullptr) {
                    av_frame_unref(scratch_);
                    return;
                }
                av_frame_move_ref(f, scratch_);
                ready_.push_back(f);
                continue;
            }
            if (rv == AVERROR_EOF) {  // drained: ready for the next stream
                avcodec_flush_buffers(context_);
                draining_ = false;
            }
            return;
        }
    }

    void drop_front() {
        AVFrame *f = ready_.front();
        ready_.pop_front();
        av_frame_free(&f);
    }

    AVCodecContext *context_ = nullptr;
    AVPacket *packet_ = nullptr;
    AVFrame *scratch_ = nullptr;
    std::deque<AVFrame *> ready_;  // finished pictures, display order
    std::vector<uint8_t> retryUnit_;
    bool draining_ = false;
};

}  // namespace kxsink
