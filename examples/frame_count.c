/* frame_count: counts the frames of an RTSP stream with kxlib's RTSP client.
 *
 *   frame_count rtsp://[user:password@]a.b.c.d[:port]/path [SECONDS] [LOG]
 *
 * Plays the stream for SECONDS (default 5), then prints the number of frames received and
 * the size of the first key frame, which it also decodes through the library's H.264
 * decoder plug-in to print the picture size. The library's log records go to LOG (default:
 * nowhere). Exit status: 0 frames and a key frame arrived, 1 they did not, 2 usage. */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <kx/codec.h>
#include <kx/global.h>
#include <kx/h264.h>
#include <kx/rtspclient.h>

typedef struct Count {
    pthread_mutex_t mutex;
    unsigned long frames;
    unsigned long keyFrameBytes; /* 0 until the first key frame */
    uint32_t width, height;      /* decoded size of the first key frame, 0 when it did not decode */
} Count;

/* Picture size of an access unit: the decoder reports the size it found (-2), then writes
 * the picture once given a buffer of that size. */
static void decode_size(const unsigned char *unit, uint32_t n, uint32_t *width, uint32_t *height) {
    void *decoder = video_h264_decode_new(0, 0);
    unsigned char *picture = NULL;
    uint32_t w = 0, h = 0;
    int rv;
    *width = *height = 0;
    if (decoder == NULL) return;
    rv = video_h264_decode(decoder, NULL, 0, 2, &w, &h, n, unit);
    if (rv == -2 && w > 0 && h > 0 && (picture = malloc((size_t)w * h * 3 / 2)) != NULL)
        rv = video_h264_decode(decoder, picture, w, 2, &w, &h, n, unit);
    if (rv == 1) {
        *width = w;
        *height = h;
    }
    free(picture);
    video_h264_decode_delete(decoder);
}

/* Called on the client's service thread for every complete frame. */
static signed char on_frame(uint32_t *bufferSize, unsigned char **buffer, uint32_t length, double frameTime,
                            uint32_t frameIndex, signed char isKeyFrame, float frameRate, uint32_t imageWidth,
                            uint32_t imageHeight, void *user) {
    Count *count = user;
    signed char code = video_h264_check_keyFrame(length, *buffer);
    int key = code == VIDEO_H264_KEYFRAME_IDR || code == VIDEO_H264_KEYFRAME_PARAMETERS_IDR;
    int first;
    (void)bufferSize, (void)frameTime, (void)frameIndex, (void)isKeyFrame, (void)frameRate, (void)imageWidth;
    (void)imageHeight;
    pthread_mutex_lock(&count->mutex);
    ++count->frames;
    first = key && count->keyFrameBytes == 0;
    if (first) count->keyFrameBytes = length;
    pthread_mutex_unlock(&count->mutex);
    if (first) {
        uint32_t w, h;
        decode_size(*buffer, length, &w, &h);
        pthread_mutex_lock(&count->mutex);
        count->width = w;
        count->height = h;
        pthread_mutex_unlock(&count->mutex);
    }
    return 1;
}

int main(int argc, char **argv) {
    double seconds = argc > 2 ? atof(argv[2]) : 5.0;
    const char *log = argc > 3 ? argv[3] : "/dev/null";
    FILE *out;
    Count count;
    rtspClient *client;
    rtspClient_item *item;
    struct timespec tick = {0, 100 * 1000 * 1000};
    int ticks;

    if (argc < 2 || argc > 4 || strcmp(argv[1], "--help") == 0 || !(seconds > 0)) {
        fprintf(stderr, "usage: frame_count rtsp://a.b.c.d[:port]/path [SECONDS] [LOG]\n");
        return 2;
    }
    /* The library writes its log records on standard output: keep our own copy of it and
     * send the records to the log file. */
    out = fdopen(dup(STDOUT_FILENO), "w");
    if (out == NULL) return 2;
    globalInit(0, NULL, log, NULL, 0);

    memset(&count, 0, sizeof count);
    pthread_mutex_init(&count.mutex, NULL);
    client = rtspClient_new__IO("frame_count", NULL, 0, NULL);
    item = client ? rtspClient_item_new_byURL__IO(argv[1], on_frame, &count) : NULL;
    if (item == NULL) {
        fprintf(stderr, "frame_count: invalid URL %s\n", argv[1]);
        if (client) rtspClient_delete__OI(client);
        globalRelease();
        return 2;
    }
    rtspClient_startThread(client, 0);
    rtspClient_add_item__OI_2(client, item);
    for (ticks = 0; ticks < seconds * 10; ++ticks) nanosleep(&tick, NULL);
    rtspClient_remove_item__IO_2(client, item);
    rtspClient_stopThread(client);
    rtspClient_item_delete__OI(item);
    rtspClient_delete__OI(client);

    fprintf(out, "frames %lu in %.1f s\n", count.frames, seconds);
    if (count.keyFrameBytes > 0)
        fprintf(out, "first key frame %lu bytes, picture %ux%u\n", count.keyFrameBytes, (unsigned)count.width,
                (unsigned)count.height);
    else
        fprintf(out, "no key frame\n");
    fclose(out);
    pthread_mutex_destroy(&count.mutex);
    globalRelease();
    return count.frames > 0 && count.keyFrameBytes > 0 ? 0 : 1;
}
