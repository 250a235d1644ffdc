// Matroska writer over the caller's open file.
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <new>
#include <string>
#include <vector>

#include "container/mkv_writer_layout.hpp"
#include "core/log.hpp"
#include "kx/mkv_writer.h"

namespace w = kx::mkvw;

namespace {

struct Track {
    video_mkv_writer_track spec{};
    w::Bytes codecPrivate;
    w::Bytes parameterSets;  // H.264: SPS and PPS with 4-byte lengths, for key frames without them
    uint64_t frames = 0;     // blocks written
    uint64_t inCluster = 0;  // blocks in the open cluster
    double endMs = 0;        // end of the last block
};

}  // namespace

struct video_mkv_writer {
    FILE *file = nullptr;
    std::vector<Track> tracks;  // tracks[0] is track 1
    uint8_t main = 0;           // main video track, 0 when none
    uint8_t counts[3] = {0, 0, 0};
    uint64_t base = 0;          // file offset of the EBML header
    uint64_t end = 0;           // file offset of the next write
    bool clusterOpen = false;
    uint64_t clusterStart = 0;  // file offset of the open cluster
    uint64_t clusterTime = 0;   // ms
    bool clusterKey = false;    // the open cluster's first main-track block is a key frame
    bool clusterHasMain = false;
    std::vector<w::Cue> cues;
    w::Bytes scratch;
    bool broken = false;        // a write failed: the file is incomplete
};

namespace {

unsigned long long fileHandle(const video_mkv_writer *m) { return (unsigned long long)(uintptr_t)m->file; }

int errnoOr(int fallback) { return errno ? errno : fallback; }

void state(const video_mkv_writer *m) {
    video_mkv_writer_out(m, stdout);
    fputs("\n", stdout);
    fflush(stdout);
}

// Appends at the end of the file.
int put(video_mkv_writer *m, const void *p, size_t n, uint8_t track) {
    errno = 0;
    if (n != 0 && fwrite(p, 1, n, m->file) != n) {
        KX_LOGE("Write data error:\"%s\",(%hhu,%zu,%llx),", kx::errtext(errnoOr(EIO)), track, n, fileHandle(m));
        state(m);
        m->broken = true;
        return VIDEO_MKV_ERROR_WRITE;
    }
    m->end += n;
    return 1;
}

int seekTo(video_mkv_writer *m, uint64_t at, uint8_t track) {
    // What the stream still buffers goes out first, so a failed write is told from a failed seek.
    errno = 0;
    if (fflush(m->file) != 0) {
        KX_LOGE("Write data error:\"%s\",(%hhu,%llx),", kx::errtext(errnoOr(EIO)), track, fileHandle(m));
        state(m);
        m->broken = true;
        return VIDEO_MKV_ERROR_WRITE;
    }
    if (fseeko(m->file, off_t(at), SEEK_SET) != 0) {
        KX_LOGE("Fseek error:\"%s\",(%hhu,%llu,%llx),", kx::errtext(errnoOr(EINVAL)), track, (unsigned long long)at,
                fileHandle(m));
        state(m);
        m->broken = true;
        return VIDEO_MKV_ERROR_SEEK;
    }
    return 1;
}

// Writes n bytes at an earlier position and comes back to the end.
int patch(video_mkv_writer *m, uint64_t at, const uint8_t *p, size_t n, uint8_t track) {
    int rv = seekTo(m, at, track);
    if (rv != 1) return rv;
    const uint64_t end = m->end;
    m->end = at;
    rv = put(m, p, n, track);
    m->end = end;
    if (rv != 1) return rv;
    return seekTo(m, end, track);
}

int closeCluster(video_mkv_writer *m) {
    if (!m->clusterOpen) return 1;
    uint8_t size[5];
    w::clusterSize(m->end - m->clusterStart - w::kClusterHeadSize, size);
    int rv = patch(m, m->clusterStart + w::kClusterSizeAt, size, sizeof size, 0);
    if (rv != 1) return rv;
    if (m->clusterKey) m->cues.push_back({m->clusterTime, m->clusterStart - (m->base + w::kSegmentDataAt)});
    m->clusterOpen = false;
    return 1;
}

int openCluster(video_mkv_writer *m, uint64_t timeMs) {
    int rv = closeCluster(m);
    if (rv != 1) return rv;
    const w::Bytes head = w::clusterHead(timeMs);
    const uint64_t at = m->end;
    rv = put(m, head.data(), head.size(), 0);
    if (rv != 1) return rv;
    m->clusterOpen = true;
    m->clusterStart = at;
    m->clusterTime = timeMs;
    m->clusterKey = false;
    m->clusterHasMain = false;
    for (Track &t : m->tracks) t.inCluster = 0;
    return 1;
}

// Opens a cluster where the block at timeMs needs one and gives the block's relative time.
int placeBlock(video_mkv_writer *m, uint8_t track, uint64_t timeMs, bool key, uint64_t blockBytes, int16_t *rel) {
    const bool mainBlock = track == m->main;
    bool open = !m->clusterOpen;
    if (!open && mainBlock && key && m->tracks[track - 1].inCluster >= double(m->tracks[track - 1].spec.frameRate))
        open = true;
    // A block's time relative to its cluster is a signed 16-bit number of milliseconds.
    if (!open && int64_t(timeMs) - int64_t(m->clusterTime) > 32767) open = true;
    if (!open && m->end - m->clusterStart + blockBytes > w::kMaxClusterSize) open = true;
    if (open) {
        int rv = openCluster(m, timeMs);
        if (rv != 1) return rv;
    }
    const int64_t r = int64_t(timeMs) - int64_t(m->clusterTime);
    if (r < -32768) {
        KX_LOGE("Block time %llu ms lies before its cluster (%llu ms),(%hhu,%llx),", (unsigned long long)timeMs,
                (unsigned long long)m->clusterTime, track, fileHandle(m));
        return VIDEO_MKV_ERROR_TIME;
    }
    if (mainBlock && !m->clusterHasMain) {
        m->clusterHasMain = true;
        m->clusterKey = key;
    }
    *rel = int16_t(r);
    return 1;
}

int writeBlock(video_mkv_writer *m, uint8_t track, uint64_t timeMs, bool key, const uint8_t *payload, size_t n,
               size_t zeros) {
    int16_t rel = 0;
    int rv = placeBlock(m, track, timeMs, key, n + zeros + 16, &rel);
    if (rv != 1) return rv;
    static const uint8_t kZeros[4] = {0, 0, 0, 0};
    const w::Bytes head = w::simpleBlockHead(track, rel, key ? 0x80 : 0, n + zeros);
    if ((rv = put(m, head.data(), head.size(), track)) != 1 || (rv = put(m, payload, n, track)) != 1 ||
        (rv = put(m, kZeros, zeros, track)) != 1)
        return rv;
    Track &t = m->tracks[track - 1];
    ++t.frames;
    ++t.inCluster;
    return 1;
}

// The track a save call names, when it has the type.
Track *trackOf(video_mkv_writer *m, uint8_t track, uint8_t type) {
    if (m == nullptr || track == 0 || track > m->tracks.size() || m->tracks[track - 1].spec.type != type) {
        KX_LOGE("Invalid track(=%hhu,%hhu).", track, type);
        return nullptr;
    }
    if (m->broken) {
        KX_LOGE("The file is incomplete after a failed write,(%hhu,%llx),", track, fileHandle(m));
        return nullptr;
    }
    return &m->tracks[track - 1];
}

uint32_t blockLength(const uint8_t *block) {
    return uint32_t(block[0]) | uint32_t(block[1]) << 8 | uint32_t(block[2]) << 16 | uint32_t(block[3]) << 24;
}

// Checks a track and fills its Tracks entry.
bool describe(video_mkv_writer *m, uint8_t number, const video_mkv_writer_track &s, w::TrackSpec *spec, Track *t) {
    spec->number = number;
    spec->type = s.type;
    t->spec = s;
    if (s.type == VIDEO_MKV_TRACK_VIDEO) {
        if (!(s.frameRate > 0) || !isfinite(s.frameRate) || 1e9 / s.frameRate < 1) {
            KX_LOGE("Invalid frameRate(=%f).", double(s.frameRate));
            return false;
        }
        spec->width = s.width;
        spec->height = s.height;
        spec->defaultDurationNs = uint64_t(llround(1e9 / double(s.frameRate)));
        if (s.codec == VIDEO_MKV_CODEC_H264 && s.codecPrivate != nullptr && s.width && s.height) {
            spec->codecId = "V_MPEG4/ISO/AVC";
            spec->codecPrivate.assign(s.codecPrivate + 5, s.codecPrivate + 5 + blockLength(s.codecPrivate));
            if (!w::parameterSetsOf(spec->codecPrivate, &t->parameterSets)) {
                KX_LOGE("Invalid AVC configuration(len=%zu),%hhu.", spec->codecPrivate.size(), number);
                return false;
            }
        } else if (s.codec == VIDEO_MKV_CODEC_MJPEG && s.width && s.height) {
            spec->codecId = "V_MS/VFW/FOURCC";
            // The bitmap header describes the pictures' real size.
        spec->codecPrivate = w::bitmapHeader(s.width, s.height);
        } else {
            KX_LOGE("Invalid encodeType(=%hhu,%u,%u,%hhu,%f),%hhu.", s.codec, s.width, s.height,
                    (unsigned char)(s.codecPrivate != nullptr), double(s.frameRate), number);
            return false;
        }
        if (m->main == 0) m->main = number;
        ++m->counts[0];
    } else if (s.type == VIDEO_MKV_TRACK_AUDIO) {
        if (s.codec != VIDEO_MKV_CODEC_AAC || s.sampleRate < 7350 || s.sampleRate > 96000 || s.channels < 1 ||
            s.channels > 7) {
            KX_LOGE("Invalid encodeType(=%hhu,%u,%hhu),%hhu.", s.codec, s.sampleRate, s.channels, number);
            return false;
        }
        spec->codecId = "A_AAC";
        spec->sampleRate = float(s.sampleRate);
        spec->channels = s.channels;
        unsigned char made[7];
        const unsigned char *block = s.codecPrivate;
        if (block == nullptr && video_mkv_codecPrivate_aac_get_byParameter(made, 2, s.channels, s.sampleRate) == 1)
            block = made;
        if (block != nullptr) spec->codecPrivate.assign(block + 5, block + 5 + blockLength(block));
        if (spec->codecPrivate.size() < 2) {
            KX_LOGE("Invalid AudioSpecificConfig(len=%zu),%hhu.", spec->codecPrivate.size(), number);
            return false;
        }
        ++m->counts[1];
    } else if (s.type == VIDEO_MKV_TRACK_SUBTITLE && s.codec == VIDEO_MKV_CODEC_SSA) {
        spec->codecId = "S_TEXT/SSA";
        const std::string text =
            w::ssaHeader(s.width, s.height, s.fontName ? s.fontName : "Arial", s.fontSize ? s.fontSize : 20);
        spec->codecPrivate.assign(text.begin(), text.end());
        ++m->counts[2];
    } else {
        KX_LOGE("Invalid type(=%#hhx,%#hhx,%hhu),%hhu.", s.type, s.codec, number, (unsigned char)m->tracks.size());
        return false;
    }
    t->codecPrivate = spec->codecPrivate;
    // The caller's blocks and texts are copied; nothing keeps pointing at them.
    t->spec.codecPrivate = nullptr;
    t->spec.fontName = nullptr;
    return true;
}

video_mkv_writer *create(FILE *file, uint8_t trackCount, const video_mkv_writer_track *tracks) {
    if (file == nullptr || tracks == nullptr || trackCount == 0 || trackCount > 126) {
        KX_LOGE("Invalid type(=%hhu,%#llx).", trackCount, (unsigned long long)(uintptr_t)file);
        return nullptr;
    }
    auto *m = new video_mkv_writer;
    m->file = file;
    m->tracks.resize(trackCount);
    std::vector<w::TrackSpec> specs(trackCount);
    for (uint8_t i = 0; i < trackCount; ++i) {
        if (!describe(m, uint8_t(i + 1), tracks[i], &specs[i], &m->tracks[i])) {
            delete m;
            return nullptr;
        }
    }
    const off_t at = ftello(file);
    if (at < 0) {
        KX_LOGE("Write head error:\"%s\",%#llx.", kx::errtext(errnoOr(EINVAL)), fileHandle(m));
        delete m;
        return nullptr;
    }
    m->base = m->end = uint64_t(at);
    const w::Bytes head = w::head(), entries = w::tracks(specs);
    if (put(m, head.data(), head.size(), 0) != 1 || put(m, entries.data(), entries.size(), 0) != 1) {
        KX_LOGE("Write tracks failed,%#llx.", fileHandle(m));
        delete m;
        return nullptr;
    }
    return m;
}

double endOfRecording(const video_mkv_writer *m) {
    double end = 0;
    for (const Track &t : m->tracks) end = t.endMs > end ? t.endMs : end;
    return end;
}

}  // namespace

extern "C" {

video_mkv_writer *video_mkv_new_for_file_save__IO(FILE *file, uint8_t trackCount,
                                                  const video_mkv_writer_track *tracks) {
    try {
        return create(file, trackCount, tracks);
    } catch (const std::bad_alloc &) {
        KX_LOGE("Malloc error:\"%s\".", kx::errtext(ENOMEM));
        return nullptr;
    }
}

int video_mkv_file_save_frame(video_mkv_writer *m, uint8_t track, signed char isKeyFrame, uint32_t *length,
                              const void *data) {
    Track *t = trackOf(m, track, VIDEO_MKV_TRACK_VIDEO);
    if (t == nullptr) return VIDEO_MKV_ERROR_INVALID;
    if (length == nullptr || *length == 0 || data == nullptr) {
        KX_LOGE("Error len(=%u),(%hhu,%llx),", length ? *length : 0u, track, fileHandle(m));
        return VIDEO_MKV_ERROR_INVALID;
    }
    const bool key = isKeyFrame > 0;
    const uint64_t timeMs = uint64_t(llround(double(t->frames) * 1000.0 / double(t->spec.frameRate)));
    try {
        int rv;
        if (t->spec.codec == VIDEO_MKV_CODEC_MJPEG) {
            // Padding to a multiple of 4 is zero bytes of ours, never bytes past the caller's data.
            const uint32_t padded = uint32_t((uint64_t(*length) + 3) & ~uint64_t(3));
            if (padded < *length) {
                KX_LOGE("Error len(=%u),(%hhu,%llx),", *length, track, fileHandle(m));
                return VIDEO_MKV_ERROR_INVALID;
            }
            rv = writeBlock(m, track, timeMs, key, static_cast<const uint8_t *>(data), *length, padded - *length);
            if (rv == 1) *length = padded;
        } else {
            m->scratch.clear();
            const auto *p = static_cast<const uint8_t *>(data);
            bool hasSps = false;
            if (!w::lengthPrefixed(p, *length, &m->scratch)) {
                KX_LOGE("Error data(%u,%#x),(%hhu,%llx),", *length, p[0], track, fileHandle(m));
                return VIDEO_MKV_ERROR_INVALID;
            }
            for (size_t at = 0; at + 4 < m->scratch.size();) {
                const size_t n = size_t(m->scratch[at]) << 24 | size_t(m->scratch[at + 1]) << 16 |
                                 size_t(m->scratch[at + 2]) << 8 | m->scratch[at + 3];
                hasSps = hasSps || (m->scratch[at + 4] & 31) == 7;
                at += 4 + n;
            }
            if (key && !hasSps) m->scratch.insert(m->scratch.begin(), t->parameterSets.begin(), t->parameterSets.end());
            rv = writeBlock(m, track, timeMs, key, m->scratch.data(), m->scratch.size(), 0);
        }
        if (rv == 1) t->endMs = double(t->frames) * 1000.0 / double(t->spec.frameRate);
        return rv;
    } catch (const std::bad_alloc &) {
        KX_LOGE("Malloc error:\"%s\".", kx::errtext(ENOMEM));
        return VIDEO_MKV_ERROR_WRITE;
    }
}

int video_mkv_file_save_audio(video_mkv_writer *m, uint8_t track, uint32_t length, const void *data) {
    Track *t = trackOf(m, track, VIDEO_MKV_TRACK_AUDIO);
    if (t == nullptr) return VIDEO_MKV_ERROR_INVALID;
    if (length == 0 || data == nullptr) {
        KX_LOGE("Error len(=%u),(%hhu,%llx),", length, track, fileHandle(m));
        return VIDEO_MKV_ERROR_INVALID;
    }
    const double rate = double(t->spec.sampleRate);
    const uint64_t timeMs = uint64_t(llround(double(t->frames) * 1024000.0 / rate));
    try {
        int rv = writeBlock(m, track, timeMs, true, static_cast<const uint8_t *>(data), length, 0);
        if (rv == 1) t->endMs = double(t->frames) * 1024000.0 / rate;
        return rv;
    } catch (const std::bad_alloc &) {
        return VIDEO_MKV_ERROR_WRITE;
    }
}

int video_mkv_file_save_subtitle(video_mkv_writer *m, uint8_t track, double startSeconds, double durationSeconds,
                                 uint32_t length, const char *text) {
    Track *t = trackOf(m, track, VIDEO_MKV_TRACK_SUBTITLE);
    if (t == nullptr) return VIDEO_MKV_ERROR_INVALID;
    if (text == nullptr || length == 0 || !(startSeconds >= 0) || !(durationSeconds >= 0) || startSeconds > 1e9 ||
        durationSeconds > 1e9) {
        KX_LOGE("Error len(=%u),(%hhu,%f,%f,%llx),", length, track, startSeconds, durationSeconds, fileHandle(m));
        return VIDEO_MKV_ERROR_INVALID;
    }
    try {
        const uint64_t timeMs = uint64_t(llround(startSeconds * 1000)), durationMs = uint64_t(llround(durationSeconds * 1000));
        int16_t rel = 0;
        int rv = placeBlock(m, track, timeMs, false, uint64_t(length) + 32, &rel);
        if (rv != 1) return rv;
        const w::Bytes group = w::blockGroup(track, rel, durationMs, reinterpret_cast<const uint8_t *>(text), length);
        if ((rv = put(m, group.data(), group.size(), track)) != 1) return rv;
        ++t->frames;
        ++t->inCluster;
        const double end = double(timeMs + durationMs);
        if (end > t->endMs) t->endMs = end;
        return 1;
    } catch (const std::bad_alloc &) {
        return VIDEO_MKV_ERROR_WRITE;
    }
}

int video_mkv_file_save_finish(video_mkv_writer *m) {
    if (m == nullptr) return VIDEO_MKV_ERROR_INVALID;
    if (m->broken) {
        KX_LOGE("Save index failed,%#llx.", fileHandle(m));
        return VIDEO_MKV_ERROR_WRITE;
    }
    try {
        int rv = closeCluster(m);
        const uint64_t segmentData = m->base + w::kSegmentDataAt;
        const uint64_t cuesAt = m->end - segmentData;
        w::Bytes cues = w::cues(m->cues, m->main ? m->main : 1);
        if (rv == 1) rv = put(m, cues.data(), cues.size(), 0);
        uint8_t segSize[8] = {0x01}, cuePos[7];
        w::putBig(segSize + 1, m->end - segmentData, 7);
        w::putBig(cuePos, cuesAt, 7);
        const float durationMs = float(endOfRecording(m));
        uint32_t u;
        memcpy(&u, &durationMs, 4);
        uint8_t duration[4];
        w::putBig(duration, u, 4);
        if (rv == 1) rv = patch(m, m->base + w::kSegmentSizeAt, segSize, sizeof segSize, 0);
        if (rv == 1) rv = patch(m, m->base + w::kCuesPositionAt, cuePos, sizeof cuePos, 0);
        if (rv == 1) rv = patch(m, m->base + w::kDurationAt, duration, sizeof duration, 0);
        if (rv == 1 && fflush(m->file) != 0) {
            KX_LOGE("Write data error:\"%s\",%#llx.", kx::errtext(errnoOr(EIO)), fileHandle(m));
            m->broken = true;
            rv = VIDEO_MKV_ERROR_WRITE;
        }
        if (rv != 1) KX_LOGE("Save index failed,%#llx.", fileHandle(m));
        return rv;
    } catch (const std::bad_alloc &) {
        return VIDEO_MKV_ERROR_WRITE;
    }
}

void video_mkv_writer_delete__OI(video_mkv_writer *m) { delete m; }

void video_mkv_writer_out(const video_mkv_writer *m, FILE *stream) {
    if (m == nullptr || stream == nullptr) return;
    const video_mkv_writer_track *v = m->main ? &m->tracks[m->main - 1].spec : nullptr;
    fprintf(stream, "%u,%u,%hhu,%f,%llu,(%hhu,%hhu,%hhu),%#llx", v ? v->width : 0u, v ? v->height : 0u,
            v ? v->codec : (unsigned char)0, v ? double(v->frameRate) : 0.0,
            (unsigned long long)(m->end - m->base), m->counts[0], m->counts[1], m->counts[2], fileHandle(m));
}

}  // extern "C"
