// Codec plug-in loader: finds, binds and releases the H.264 decoder and encoder plug-ins,
// and the video_h264_* wrappers over them.
#include <dlfcn.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "core/log.hpp"
#include "kx/codec.h"
#include "kx/global.h"
#include "kx/h264.h"

namespace {

using DecodeNewFn = void *(*)(uint32_t, uint32_t);
using DeleteFn = void (*)(void *);
using DecodeFn = int (*)(void *, unsigned char *, uint32_t, unsigned char, uint32_t *, uint32_t *, uint32_t,
                         const unsigned char *);
using DecodeTaggedFn = int (*)(void *, unsigned char *, uint32_t, unsigned char, uint32_t *, uint32_t *, uint32_t,
                               const unsigned char *, int64_t, int64_t *);
using EncodeNewFn = void *(*)(uint32_t, uint32_t, uint32_t, float);
using EncodeFn = int (*)(void *, unsigned char **, signed char *, const unsigned char *);

// One loaded plug-in: the library handle and its functions in the order new, delete, run.
struct Binding {
    void *library = nullptr;
    void *create = nullptr;
    DeleteFn destroy = nullptr;
    void *run = nullptr;
    void *runTagged = nullptr;  // optional (decoder only)
};

// What distinguishes the two plug-in kinds.
struct Kind {
    const char *name;  // "libavcsink"
    const char *const *candidates;
    const char *symbols[3];
    const char *tagged;      // optional symbol or null
    const char *hookName;
    kx_globalParameter_release_cb hook;
};

std::atomic<Binding *> g_decoder{nullptr};
std::atomic<Binding *> g_encoder{nullptr};
// Folder that replaces libkxlib's own as last candidate; guarded by globalParameterMutex.
std::string g_folder;
bool g_folderSet = false;

void release(std::atomic<Binding *> &slot) {
    Binding *b = slot.exchange(nullptr, std::memory_order_acq_rel);
    if (b == nullptr) return;
    dlclose(b->library);
    delete b;
}

void release_decoder(void *) { video_h264_private_decode_unload_lib(); }
void release_encoder(void *) { video_h264_private_encode_unload_lib(); }

const char *const kDecoderCandidates[] = {"/kx/bin/libavcsink.so", "./libavcsink.so", "../bin/libavcsink.so", nullptr};
const char *const kEncoderCandidates[] = {"../bin/libavcforge.so", "./libavcforge.so", "/kx/bin/libavcforge.so",
                                          nullptr};

const Kind kDecoder = {
    "libavcsink",
    kDecoderCandidates,
    {"h264_decode_new", "h264_decode_delete", "h264_decode"},
    "h264_decode_tagged",
    "video_h264_private_decode_unload_lib",
    release_decoder,
};

const Kind kEncoder = {
    "libavcforge",
    kEncoderCandidates,
    {"h264_encode_new", "h264_encode_delete", "h264_encode"},
    nullptr,
    "video_h264_private_encode_unload_lib",
    release_encoder,
};

// Folder of the module that holds this code (libkxlib, or the program it is linked into).
std::string own_folder() {
    if (g_folderSet) return g_folder;
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&video_h264_decode_new), &info) == 0 || info.dli_fname == nullptr) return {};
    std::string path = info.dli_fname;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Opens the first candidate that exists and opens. Caller holds globalParameterMutex.
void *open_plugin(const Kind &kind) {
    std::vector<std::string> paths;
    for (const char *const *c = kind.candidates; *c != nullptr; ++c) paths.emplace_back(*c);
    std::string own = own_folder();
    if (!own.empty()) paths.push_back(own + "/" + kind.name + ".so");
    for (const std::string &path : paths) {
        if (access(path.c_str(), F_OK) != 0) continue;
        // RTLD_LOCAL: the plug-in's own dependencies stay out of the global namespace.
        // RTLD_NODELETE: release drops the binding and closes the handle, but the code stays
        // mapped: libavcodec keeps process-wide tables and thread-local state that must not
        // vanish under a process that goes on (and would show as leaks of an unknown module).
        void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (library != nullptr) return library;
        const char *err = dlerror();
        KX_LOG_ERROR_AT(5, __LINE__, "video_h264_private_load_lib", "Open lib:\"%s\" error:\"%s\".", path.c_str(),
                        err ? err : "");
    }
    return nullptr;
}

void log_missing(const Kind &kind, int k, const char *err) {
    if (err == nullptr) err = "";
    const bool dec = &kind == &kDecoder;
    const char *label = "video_h264_private_load_lib";
    switch (k) {
        case 0:
            if (dec) KX_LOG_ERROR_AT(5, __LINE__, label, "Get the function:\"h264_decode_new\"error:\"%s\".", err);
            else KX_LOG_ERROR_AT(5, __LINE__, label, "Get the function:\"h264_encode_new\"error:\"%s\".", err);
            break;
        case 1:
            if (dec) KX_LOG_ERROR_AT(5, __LINE__, label, "Get the function:\"h264_decode_delete\"error:\"%s\".", err);
            else KX_LOG_ERROR_AT(5, __LINE__, label, "Get the function:\"h264_encode_delete\"error:\"%s\".", err);
            break;
        default:
            if (dec) KX_LOG_ERROR_AT(5, __LINE__, label, "Get the function:\"h264_decode\"error:\"%s\".", err);
            else KX_LOG_ERROR_AT(5, __LINE__, label, "Get the function:\"h264_encode\"error:\"%s\".", err);
            break;
    }
}

// Loads the plug-in once; null when it cannot be found or bound (nothing stays loaded then).
Binding *load(std::atomic<Binding *> &slot, const Kind &kind) {
    Binding *b = slot.load(std::memory_order_acquire);
    if (b != nullptr) return b;
    pthread_mutex_lock(&globalParameterMutex);
    b = slot.load(std::memory_order_acquire);
    if (b != nullptr) {
        pthread_mutex_unlock(&globalParameterMutex);
        return b;
    }
    void *library = open_plugin(kind);
    if (library == nullptr) {
        KX_LOG_ERROR_AT(5, __LINE__, "video_h264_private_load_lib", "Can not find %s.", kind.name);
        pthread_mutex_unlock(&globalParameterMutex);
        return nullptr;
    }
    void *functions[3];
    for (int k = 0; k < 3; ++k) {
        dlerror();
        functions[k] = dlsym(library, kind.symbols[k]);
        if (functions[k] == nullptr) {
            log_missing(kind, k, dlerror());
            dlclose(library);
            pthread_mutex_unlock(&globalParameterMutex);
            return nullptr;
        }
    }
    b = new (std::nothrow) Binding;
    if (b == nullptr) {
        dlclose(library);
        pthread_mutex_unlock(&globalParameterMutex);
        return nullptr;
    }
    b->library = library;
    b->create = functions[0];
    b->destroy = reinterpret_cast<DeleteFn>(functions[1]);
    b->run = functions[2];
    b->runTagged = kind.tagged ? dlsym(library, kind.tagged) : nullptr;
    dlerror();
    slot.store(b, std::memory_order_release);
    globalParameter_append__OI(globalParameter_new_callback__IO(kind.hookName, kind.hook, nullptr));
    pthread_mutex_unlock(&globalParameterMutex);
    return b;
}

}  // namespace

extern "C" {

void video_h264_private_decode_unload_lib(void) { release(g_decoder); }
void video_h264_private_encode_unload_lib(void) { release(g_encoder); }

void video_h264_private_plugin_folder_set(const char *folder) {
    pthread_mutex_lock(&globalParameterMutex);
    g_folderSet = folder != nullptr;
    g_folder = folder ? folder : "";
    pthread_mutex_unlock(&globalParameterMutex);
}

void *video_h264_decode_new(uint32_t width, uint32_t height) {
    Binding *b = load(g_decoder, kDecoder);
    if (b == nullptr) return nullptr;
    return reinterpret_cast<DecodeNewFn>(b->create)(width, height);
}

void video_h264_decode_delete(void *handle) {
    Binding *b = g_decoder.load(std::memory_order_acquire);
    if (b != nullptr && handle != nullptr) b->destroy(handle);
}

int video_h264_decode(void *handle, unsigned char *destination, uint32_t lineBits, unsigned char outType,
                      uint32_t *width, uint32_t *height, uint32_t bufferLenth, const unsigned char *buffer) {
    Binding *b = g_decoder.load(std::memory_order_acquire);
    if (b == nullptr) return -1;  // no handle can exist without the plug-in
    return reinterpret_cast<DecodeFn>(b->run)(handle, destination, lineBits, outType, width, height, bufferLenth,
                                              buffer);
}

int video_h264_decode_tagged(void *handle, unsigned char *destination, uint32_t lineBits, unsigned char outType,
                             uint32_t *width, uint32_t *height, uint32_t bufferLenth, const unsigned char *buffer,
                             int64_t tag, int64_t *pictureTag) {
    Binding *b = g_decoder.load(std::memory_order_acquire);
    if (b == nullptr) return -1;
    if (b->runTagged != nullptr)
        return reinterpret_cast<DecodeTaggedFn>(b->runTagged)(handle, destination, lineBits, outType, width, height,
                                                              bufferLenth, buffer, tag, pictureTag);
    int rv = reinterpret_cast<DecodeFn>(b->run)(handle, destination, lineBits, outType, width, height, bufferLenth,
                                                buffer);
    if (rv == 1 && pictureTag != nullptr) *pictureTag = tag;
    return rv;
}

void *video_h264_encode_new(uint32_t width, uint32_t height, uint32_t bitRate, float frameRate) {
    Binding *b = load(g_encoder, kEncoder);
    if (b == nullptr) return nullptr;
    return reinterpret_cast<EncodeNewFn>(b->create)(width, height, bitRate, frameRate);
}

void video_h264_encode_delete(void *handle) {
    Binding *b = g_encoder.load(std::memory_order_acquire);
    if (b != nullptr && handle != nullptr) b->destroy(handle);
}

int video_h264_encode(void *handle, unsigned char **data, signed char *keyFrame, const unsigned char *picture) {
    Binding *b = g_encoder.load(std::memory_order_acquire);
    if (b == nullptr) return -1;
    return reinterpret_cast<EncodeFn>(b->run)(handle, data, keyFrame, picture);
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
