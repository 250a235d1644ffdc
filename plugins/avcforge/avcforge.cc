// libavcforge: H.264 encoder plug-in over libavcodec (libx264).
//
// Low latency: no B-frames, no look-ahead, one picture in gives its access unit at once.
// Every IDR frame carries SPS and PPS in front (key-frame code 3); a group of pictures
// lasts about one second. The bit rate argument is in kbit/s.
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <new>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include "plugin_log.hpp"

namespace {

struct AvcForge {
    AVCodecContext *context = nullptr;
    AVFrame *frame = nullptr;
    AVPacket *packet = nullptr;
    uint32_t width = 0, height = 0;
    int64_t pts = 0;
    std::vector<uint8_t> unit;  // the last access unit; valid until the next call

    ~AvcForge() {
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&context);
    }
};

// Key-frame code of an encoded unit: bit 1 = SPS and PPS present, bit 0 = IDR slice present.
signed char key_code(const uint8_t *p, size_t n) {
    bool sps = false, pps = false, idr = false;
    for (size_t i = 0; i + 3 < n; ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            switch (p[i + 3] & 0x1f) {
                case 7: sps = true; break;
                case 8: pps = true; break;
                case 5: idr = true; break;
                default: break;
            }
            i += 2;
        }
    }
    return (signed char)(((sps && pps) ? 2 : 0) | (idr ? 1 : 0));
}

}  // namespace

KX_PLUGIN_EXPORT void *h264_encode_new(uint32_t width, uint32_t height, uint32_t bitRate, float frameRate) {
    if (width == 0 || height == 0 || (width & 1) || (height & 1) || width > 16384 || height > 16384) {
        KX_PLUGIN_LOG(__func__, "Invalid size(%ux%u).", width, height);
        return nullptr;
    }
    const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (codec == nullptr) {
        KX_PLUGIN_LOG(__func__, "Codec not found.");
        return nullptr;
    }
    auto *forge = new (std::nothrow) AvcForge;
    if (forge == nullptr) return nullptr;
    forge->width = width;
    forge->height = height;
    forge->context = avcodec_alloc_context3(codec);
    forge->frame = av_frame_alloc();
    forge->packet = av_packet_alloc();
    if (!forge->context || !forge->frame || !forge->packet) {
        KX_PLUGIN_LOG(__func__, "Could not open codec.");
        delete forge;
        return nullptr;
    }
    double fps = (isfinite(frameRate) && frameRate >= 1.0f && frameRate <= 1000.0f) ? frameRate : 25.0;
    AVRational rate = av_d2q(fps, 1000000);
    AVCodecContext *c = forge->context;
    c->width = (int)width;
    c->height = (int)height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->framerate = rate;
    c->time_base = av_inv_q(rate);
    c->gop_size = (int)lround(fps);
    if (c->gop_size < 1) c->gop_size = 1;
    c->max_b_frames = 0;
    c->thread_count = 1;
    int64_t bits = (int64_t)(bitRate ? bitRate : 2000) * 1000;
    c->bit_rate = bits;
    c->rc_max_rate = bits;
    c->rc_buffer_size = (int)(bits > INT32_MAX ? INT32_MAX : bits);  // one second of video
    av_opt_set(c->priv_data, "preset", "veryfast", 0);
    av_opt_set(c->priv_data, "tune", "zerolatency", 0);
    av_opt_set(c->priv_data, "x264-params", "log=0", 0);  // the encoder's own messages: errors only
    // Headers in front of every IDR frame, never in extradata.
    c->flags &= ~AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(c, codec, nullptr) < 0) {
        KX_PLUGIN_LOG(__func__, "Could not open codec.");
        delete forge;
        return nullptr;
    }
    forge->frame->format = AV_PIX_FMT_YUV420P;
    forge->frame->width = (int)width;
    forge->frame->height = (int)height;
    return forge;
}

KX_PLUGIN_EXPORT void h264_encode_delete(void *handle) { delete static_cast<AvcForge *>(handle); }

// picture: planar YUV 4:2:0 of the size given at creation, rows packed (Y stride = width).
KX_PLUGIN_EXPORT int h264_encode(void *handle, unsigned char **data, signed char *keyFrame,
                                 const unsigned char *picture) {
    auto *forge = static_cast<AvcForge *>(handle);
    if (forge == nullptr || picture == nullptr) {
        KX_PLUGIN_LOG(__func__, "Invalid argument.");
        return -1;
    }
    const uint32_t w = forge->width, h = forge->height;
    AVFrame *f = forge->frame;
    f->data[0] = const_cast<uint8_t *>(picture);
    f->data[1] = f->data[0] + (size_t)w * h;
    f->data[2] = f->data[1] + (size_t)(w / 2) * (h / 2);
    f->linesize[0] = (int)w;
    f->linesize[1] = f->linesize[2] = (int)(w / 2);
    f->pts = forge->pts++;
    // The frame is not reference-counted: libavcodec copies what it keeps.
    int rv = avcodec_send_frame(forge->context, f);
    f->data[0] = f->data[1] = f->data[2] = nullptr;
    if (rv < 0) {
        KX_PLUGIN_LOG(__func__, "Send frame failed,rv=%d.", rv);
        return -1;
    }
    rv = avcodec_receive_packet(forge->context, forge->packet);
    if (rv < 0) {
        KX_PLUGIN_LOG(__func__, "Receive packet failed,rv=%d.", rv);
        return -1;
    }
    AVPacket *p = forge->packet;
    forge->unit.assign(p->data, p->data + p->size);
    av_packet_unref(p);
    if (data) *data = forge->unit.data();
    if (keyFrame) *keyFrame = key_code(forge->unit.data(), forge->unit.size());
    return (int)forge->unit.size();
}
