// Codec plug-in loader: finds, binds and releases the H.264 decoder and encoder plug-ins,
// and the video_h264_* wrappers over them.
#include <stdint.h>

#include "core/log.hpp"
#include "kx/codec.h"
#include "kx/global.h"
#include "kx/h264.h"
#include "media/plugin_loader.hpp"

namespace {

using DecodeNewFn = void *(*)(uint32_t, uint32_t);
using DeleteFn = void (*)(void *);
using DecodeFn = int (*)(void *, unsigned char *, uint32_t, unsigned char, uint32_t *, uint32_t *, uint32_t,
                         const unsigned char *);
using DecodeTaggedFn = int (*)(void *, unsigned char *, uint32_t, unsigned char, uint32_t *, uint32_t *, uint32_t,
                               const unsigned char *, int64_t, int64_t *);
using EncodeNewFn = void *(*)(uint32_t, uint32_t, uint32_t, float);
using EncodeFn = int (*)(void *, unsigned char **, signed char *, const unsigned char *);

void release_decoder(void *) { video_h264_private_decode_unload_lib(); }
void release_encoder(void *) { video_h264_private_encode_unload_lib(); }

const char *const kDecoderCandidates[] = {"/kx/bin/libavcsink.so", "./libavcsink.so", "../bin/libavcsink.so", nullptr};
const char *const kDecoderFolder[] = {"libavcsink.so", nullptr};
const char *const kDecoderSymbols[] = {"h264_decode_new", "h264_decode_delete", "h264_decode", nullptr};
const char *const kDecoderOptional[] = {"h264_decode_tagged", nullptr};
const char *const kEncoderCandidates[] = {"../bin/libavcforge.so", "./libavcforge.so", "/kx/bin/libavcforge.so",
                                          nullptr};
const char *const kEncoderFolder[] = {"libavcforge.so", nullptr};
const char *const kEncoderSymbols[] = {"h264_encode_new", "h264_encode_delete", "h264_encode", nullptr};

// libavcodec keeps process-wide tables and thread-local state that must not vanish under a
// process that goes on: the plug-ins stay mapped after release.
const kx::plugin::Kind kDecoder = {"libavcsink", "video_h264_private_load_lib", kDecoderCandidates, kDecoderFolder,
                                   kDecoderSymbols, kDecoderOptional, "video_h264_private_decode_unload_lib",
                                   release_decoder, kx::plugin::Messages::Standard, true, false};
const kx::plugin::Kind kEncoder = {"libavcforge", "video_h264_private_load_lib", kEncoderCandidates, kEncoderFolder,
                                   kEncoderSymbols, nullptr, "video_h264_private_encode_unload_lib",
                                   release_encoder, kx::plugin::Messages::Standard, true, false};

// Bound functions: new, delete, run, then the optional tagged run (decoder).
kx::plugin::Slot g_decoder(kDecoder);
kx::plugin::Slot g_encoder(kEncoder);
using Binding = kx::plugin::Binding;
enum { kNew, kDelete, kRun, kRunTagged };

}  // namespace

extern "C" {

void video_h264_private_decode_unload_lib(void) { g_decoder.release(); }
void video_h264_private_encode_unload_lib(void) { g_encoder.release(); }

void video_h264_private_plugin_folder_set(const char *folder) { kx::plugin::set_folder(folder); }

void *video_h264_decode_new(uint32_t width, uint32_t height) {
    Binding *b = g_decoder.get();
    if (b == nullptr) return nullptr;
    return reinterpret_cast<DecodeNewFn>(b->fn[kNew])(width, height);
}

void video_h264_decode_delete(void *handle) {
    Binding *b = g_decoder.peek();
    if (b != nullptr && handle != nullptr) reinterpret_cast<DeleteFn>(b->fn[kDelete])(handle);
}

int video_h264_decode(void *handle, unsigned char *destination, uint32_t lineBits, unsigned char outType,
                      uint32_t *width, uint32_t *height, uint32_t bufferLenth, const unsigned char *buffer) {
    Binding *b = g_decoder.peek();
    if (b == nullptr) return -1;  // no handle can exist without the plug-in
    return reinterpret_cast<DecodeFn>(b->fn[kRun])(handle, destination, lineBits, outType, width, height, bufferLenth,
                                              buffer);
}

int video_h264_decode_tagged(void *handle, unsigned char *destination, uint32_t lineBits, unsigned char outType,
                             uint32_t *width, uint32_t *height, uint32_t bufferLenth, const unsigned char *buffer,
                             int64_t tag, int64_t *pictureTag) {
    Binding *b = g_decoder.peek();
    if (b == nullptr) return -1;
    if (b->fn[kRunTagged] != nullptr)
        return reinterpret_cast<DecodeTaggedFn>(b->fn[kRunTagged])(handle, destination, lineBits, outType, width, height,
                                                              bufferLenth, buffer, tag, pictureTag);
    int rv = reinterpret_cast<DecodeFn>(b->fn[kRun])(handle, destination, lineBits, outType, width, height, bufferLenth,
                                                buffer);
    // Such a plug-in does not say whose picture it wrote: with B-frames it need not be this unit's.
    (void)tag;
    if (rv == 1 && pictureTag != nullptr) *pictureTag = INT64_MIN;
    return rv;
}

void *video_h264_encode_new(uint32_t width, uint32_t height, uint32_t bitRate, float frameRate) {
    Binding *b = g_encoder.get();
    if (b == nullptr) return nullptr;
    return reinterpret_cast<EncodeNewFn>(b->fn[kNew])(width, height, bitRate, frameRate);
}

void video_h264_encode_delete(void *handle) {
    Binding *b = g_encoder.peek();
    if (b != nullptr && handle != nullptr) reinterpret_cast<DeleteFn>(b->fn[kDelete])(handle);
}

int video_h264_encode(void *handle, unsigned char **data, signed char *keyFrame, const unsigned char *picture) {
    Binding *b = g_encoder.peek();
    if (b == nullptr) return -1;
    return reinterpret_cast<EncodeFn>(b->fn[kRun])(handle, data, keyFrame, picture);
}

video_h264_object *video_h264_encode__IO(void *handle, const unsigned char *picture, uint16_t classIndex,
                                         uint32_t frameIndex, float frameRate, uint32_t width, uint32_t height,
                                         double arrivalTime, double streamTime) {
    unsigned char *data = nullptr;
    signed char keyFrame = -1;
    int length = video_h264_encode(handle, &data, &keyFrame, picture);
    if (length <= 0) {
        KX_LOGE("Encode failed,h=%#llx.", (unsigned long long)(uintptr_t)handle);
        return nullptr;
    }
    return video_h264_object_new_with_data__IO(classIndex, frameIndex, frameRate, width, height, keyFrame,
                                               arrivalTime, streamTime, (uint32_t)length, data);
}

}  // extern "C"
