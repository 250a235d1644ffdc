// Demonstration: plays a camera stream for a while and decodes every frame.
#include <stdlib.h>

#include <atomic>
#include <mutex>

#include "core/log.hpp"
#include "kx/codec.h"
#include "kx/global.h"
#include "kx/h264.h"
#include "kx/rtspclient.h"
#include "kx/time.h"

namespace {

struct DemoDecoder {
    std::mutex mutex;
    void *decoder = nullptr;
    unsigned char *picture = nullptr;
    uint32_t width = 0, height = 0;
    uint64_t frames = 0;
    double since = 0;
};

DemoDecoder g_demo;

}  // namespace

extern "C" {

signed char rtspClient_test_cb_forDecode(uint32_t *bufferSize, unsigned char **buffer, uint32_t dataLenth,
                                         double frameTime, uint32_t frameIndex, signed char isKeyFrame,
                                         float frameRate, uint32_t imageWidth, uint32_t imageHeight, void *externP) {
    (void)bufferSize, (void)frameTime, (void)isKeyFrame, (void)frameRate, (void)imageWidth, (void)imageHeight,
        (void)externP;
    std::lock_guard<std::mutex> lock(g_demo.mutex);
    if (g_demo.decoder == nullptr) {
        const unsigned char *sps = nullptr, *pps = nullptr;
        uint32_t spsLength = 0, ppsLength = 0;
        signed char key = video_h264_check_keyFrame_and_get_sps_pps(dataLenth, *buffer, &sps, &spsLength, &pps,
                                                                    &ppsLength);
        if (key < 2 || sps == nullptr) return 1;  // waiting for the first key frame
        uint32_t w = 0, h = 0;
        if (video_h264_size_get(&w, &h, sps, static_cast<uint8_t>(spsLength > 255 ? 255 : spsLength)) != 1) return 1;
        g_demo.decoder = video_h264_decode_new(w, h);
        if (g_demo.decoder == nullptr) return 1;
        g_demo.picture = static_cast<unsigned char *>(malloc(static_cast<size_t>(w) * h * 3));
        g_demo.width = w;
        g_demo.height = h;
        g_demo.since = kx_time_uptime_get();
    }
    uint32_t w = g_demo.width, h = g_demo.height;
    int rv = video_h264_decode(g_demo.decoder, g_demo.picture, w, 0, &w, &h, dataLenth, *buffer);
    if (rv == -2 && static_cast<size_t>(w) * h * 3 > 0) {
        free(g_demo.picture);
        g_demo.picture = static_cast<unsigned char *>(malloc(static_cast<size_t>(w) * h * 3));
        g_demo.width = w;
        g_demo.height = h;
    }
    if (++g_demo.frames % 64 == 0) {
        double now = kx_time_uptime_get();
        KX_LOGI("frameIndex=%u,frameRate=%.2f,size=%ux%u.", frameIndex, 64.0 / (now - g_demo.since), g_demo.width,
                g_demo.height);
        g_demo.since = now;
    }
    return 1;
}

void rtspClient_test(monitor *pMonitor) {
    rtspClient *client = rtspClient_new__IO("RtspClient", pMonitor, pthread_self(), nullptr);
    if (client == nullptr) return;
    rtspClient_startThread(client, 0);
    rtspClient_item *item =
        rtspClient_item_new_byURL__IO("rtsp://192.168.1.64:554/ch1?from=2016-4-15", rtspClient_test_cb_forDecode,
                                      nullptr);
    if (item != nullptr) rtspClient_add_item__OI_2(client, item);
    kx_thread_sleepTo(kx_time_uptime_get() + 200.0);
    KX_LOGI("defaultRunStatus=%hhd.", static_cast<signed char>(defaultRunStatus));
    rtspClient_stopThread(client);
    rtspClient_delete__OI(client);
    std::lock_guard<std::mutex> lock(g_demo.mutex);
    if (g_demo.decoder) video_h264_decode_delete(g_demo.decoder);
    free(g_demo.picture);
    g_demo.decoder = nullptr;
    g_demo.picture = nullptr;
    g_demo.width = g_demo.height = 0;
    g_demo.frames = 0;
}

}  // extern "C"
