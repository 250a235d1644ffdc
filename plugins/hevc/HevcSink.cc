// libhevcsink: HEVC decoder plug-in over libavcodec with the decoder plug-ins' shape:
// create, delete, decode one access unit into one of three planar layouts.
// Results and the drain call are those of the shared decoder core (picture_sink.hpp).
#include <new>

#include "avcsink/picture_sink.hpp"

namespace {

struct HevcSink {
    kxsink::Decoder decoder;
};

using LayoutFn = int (*)(HevcSink *, uint8_t *, uint32_t, uint32_t *, uint32_t *, uint32_t, const uint8_t *,
                         int64_t, int64_t *);

int h265_decode_P_ycc(HevcSink *sink, uint8_t *dst, uint32_t lineBits, uint32_t *width, uint32_t *height,
                      uint32_t bufferLenth, const uint8_t *buffer, int64_t tag, int64_t *pictureTag) {
    return sink->decoder.decode(__func__, dst, lineBits, kxsink::kYcc, width, height, bufferLenth, buffer, tag,
                                pictureTag);
}

int h265_decode_P_y(HevcSink *sink, uint8_t *dst, uint32_t lineBits, uint32_t *width, uint32_t *height,
                    uint32_t bufferLenth, const uint8_t *buffer, int64_t tag, int64_t *pictureTag) {
    return sink->decoder.decode(__func__, dst, lineBits, kxsink::kLumaOnly, width, height, bufferLenth, buffer, tag,
                                pictureTag);
}

int h265_decode_P_yuv420p(HevcSink *sink, uint8_t *dst, uint32_t lineBits, uint32_t *width, uint32_t *height,
                          uint32_t bufferLenth, const uint8_t *buffer, int64_t tag, int64_t *pictureTag) {
    return sink->decoder.decode(__func__, dst, lineBits, kxsink::kYuv420p, width, height, bufferLenth, buffer, tag,
                                pictureTag);
}

// Indexed by outType.
const LayoutFn kLayouts[3] = {h265_decode_P_ycc, h265_decode_P_y, h265_decode_P_yuv420p};

int dispatch(void *handle, uint8_t *dst, uint32_t lineBits, uint8_t outType, uint32_t *width, uint32_t *height,
             uint32_t bufferLenth, const uint8_t *buffer, int64_t tag, int64_t *pictureTag) {
    if (outType > 2) {
        KX_PLUGIN_LOG("h265_decode", "Invalid outType(=%hhu).", outType);
        return -1;
    }
    return kLayouts[outType](static_cast<HevcSink *>(handle), dst, lineBits, width, height, bufferLenth, buffer, tag,
                             pictureTag);
}

}  // namespace

// Takes no arguments; hosts that pass the expected width and height are served all the same.
KX_PLUGIN_EXPORT void *h265_decode_new__IO() {
    auto *sink = new (std::nothrow) HevcSink;
    if (sink == nullptr) return nullptr;
    if (!sink->decoder.open(AV_CODEC_ID_HEVC, __func__)) {
        delete sink;
        return nullptr;
    }
    return sink;
}

KX_PLUGIN_EXPORT void h265_decode_delete__OI(void *pHevcSink) { delete static_cast<HevcSink *>(pHevcSink); }

KX_PLUGIN_EXPORT int h265_decode(void *pHevcSink, uint8_t *rst_buffer, uint32_t lineBits, uint8_t outType,
                                 uint32_t *width, uint32_t *height, uint32_t bufferLenth, const uint8_t *buffer) {
    return dispatch(pHevcSink, rst_buffer, lineBits, outType, width, height, bufferLenth, buffer, 0, nullptr);
}

KX_PLUGIN_EXPORT int h265_decode_tagged(void *pHevcSink, uint8_t *rst_buffer, uint32_t lineBits, uint8_t outType,
                                        uint32_t *width, uint32_t *height, uint32_t bufferLenth,
                                        const uint8_t *buffer, int64_t tag, int64_t *pictureTag) {
    return dispatch(pHevcSink, rst_buffer, lineBits, outType, width, height, bufferLenth, buffer, tag, pictureTag);
}
