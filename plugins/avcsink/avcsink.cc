// libavcsink: H.264 decoder plug-in over libavcodec (see picture_sink.hpp for the results).
#include "avcsink/picture_sink.hpp"

#include <new>

namespace {

struct AvcSink {
    kxsink::Decoder decoder;
};

}  // namespace

KX_PLUGIN_EXPORT void *h264_decode_new(uint32_t width, uint32_t height) {
    (void)width;  // the stream's own parameter sets give the size; decode checks it
    (void)height;
    auto *sink = new (std::nothrow) AvcSink;
    if (sink == nullptr) return nullptr;
    if (!sink->decoder.open(AV_CODEC_ID_H264, "h264_decode_new")) {
        delete sink;
        return nullptr;
    }
    return sink;
}

KX_PLUGIN_EXPORT void h264_decode_delete(void *handle) { delete static_cast<AvcSink *>(handle); }

KX_PLUGIN_EXPORT int h264_decode_tagged(void *handle, uint8_t *dst, uint32_t lineBits, uint8_t outType,
                                        uint32_t *width, uint32_t *height, uint32_t bufferLenth,
                                        const uint8_t *buffer, int64_t tag, int64_t *pictureTag) {
    return static_cast<AvcSink *>(handle)->decoder.decode("h264_decode", dst, lineBits, outType, width, height,
                                                         bufferLenth, buffer, tag, pictureTag);
}

KX_PLUGIN_EXPORT int h264_decode(void *handle, uint8_t *dst, uint32_t lineBits, uint8_t outType, uint32_t *width,
                                 uint32_t *height, uint32_t bufferLenth, const uint8_t *buffer) {
    return static_cast<AvcSink *>(handle)->decoder.decode("h264_decode", dst, lineBits, outType, width, height,
                                                         bufferLenth, buffer, 0, nullptr);
}
