// Matroska reader: one pass over the file head, the tracks and every cluster, recording where
// each frame lies. Elements that are not needed are skipped by their sizes at every level;
// every size is checked against what is left of its parent and of the file first.
#include "container/mkv_reader.hpp"

#include <errno.h>
#include <math.h>
#include <string.h>

#include <new>
#include <set>

#include "container/mkv_codec.hpp"
#include "core/log.hpp"
#include "kx/objectlist.h"

namespace kx::mkv {

bool MemorySource::read(uint64_t pos, void *out, size_t n) {
    if (pos > size_ || n > size_ - pos) {
        KX_LOGE("Read data error:\"%s\",[%#llx].", "end of data", 0ull);
        return false;
    }
    if (n) memcpy(out, data_ + pos, n);
    return true;
}

FileSource::FileSource(FILE *file) : file_(file) {
    if (file == nullptr) return;
    const off_t here = ftello(file);
    if (here < 0 || fseeko(file, 0, SEEK_END) != 0) return;
    const off_t end = ftello(file);
    if (end < 0 || fseeko(file, here, SEEK_SET) != 0) return;
    size_ = static_cast<uint64_t>(end);
    ok_ = true;
}

bool FileSource::read(uint64_t pos, void *out, size_t n) {
    if (pos > size_ || n > size_ - pos) {
        KX_LOGE("Read data error:\"%s\",[%#llx].", "end of file", handle());
        return false;
    }
    if (fseeko(file_, static_cast<off_t>(pos), SEEK_SET) != 0) {
        KX_LOGE("Fseek(%lld)  error:\"%s\",[%#llx].", static_cast<long long>(pos), kx::errtext(errno), handle());
        return false;
    }
    if (fread(out, 1, n, file_) != n) {
        KX_LOGE("Read data error:\"%s\",[%#llx].", ferror(file_) ? kx::errtext(errno) : "end of file", handle());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Lacing

namespace {

// An EBML lace number: 1 read, 0 not enough bytes, -1 malformed.
int laceNumber(ByteReader &r, uint64_t *value, size_t *length) {
    uint8_t first;
    if (!r.peek8(&first)) return 0;
    if (first == 0) return -1;
    size_t len = 1;
    while (!(first & (0x80u >> (len - 1)))) ++len;
    if (!r.fits(len)) return 0;
    return r.vint(value, length, 8, false) ? 1 : -1;
}

}  // namespace

int splitLaces(ByteReader r, uint64_t payloadSize, unsigned lacing, std::vector<Lace> *out) {
    out->clear();
    if (lacing == 2) return kLaceFixed;
    if (lacing != 1 && lacing != 3) return kLaceBad;
    // Running out of the reader's bytes is only a short read when the block has more.
    const int ranOut = r.size() < payloadSize ? kLaceShort : kLaceBad;
    uint8_t last;
    if (!r.u8(&last)) return ranOut;
    const unsigned frames = last + 1u;
    std::vector<uint64_t> sizes;
    sizes.reserve(frames);
    uint64_t sum = 0;
    for (unsigned i = 0; i + 1 < frames; ++i) {
        uint64_t size = 0;
        if (lacing == 1) {
            uint8_t b;
            do {
                if (!r.u8(&b)) return ranOut;
                size += b;
            } while (b == 255);
        } else if (i == 0) {
            size_t len;
            int rv = laceNumber(r, &size, &len);
            if (rv <= 0) return rv == 0 ? ranOut : kLaceBad;
        } else {
            uint64_t raw;
            size_t len;
            int rv = laceNumber(r, &raw, &len);
            if (rv <= 0) return rv == 0 ? ranOut : kLaceBad;
            // A signed difference to the previous size, biased by half the range of its length.
            const int64_t bias = (int64_t(1) << (7 * len - 1)) - 1;
            const int64_t next = static_cast<int64_t>(sizes.back()) + (static_cast<int64_t>(raw) - bias);
            if (next < 0) return kLaceBad;
            size = static_cast<uint64_t>(next);
        }
        if (size > payloadSize - sum) return kLaceBad;
        sum += size;
        sizes.push_back(size);
    }
    const uint64_t head = r.pos();
    if (head > payloadSize || sum > payloadSize - head) return kLaceBad;
    sizes.push_back(payloadSize - head - sum);
    uint64_t offset = head;
    for (uint64_t s : sizes) {
        out->push_back(Lace{offset, s});
        offset += s;
    }
    return kLaceOk;
}

// ---------------------------------------------------------------------------------------------
// Indexing

namespace {

bool isTopLevel(uint32_t id) {
    switch (id) {
    case kIdCluster: case kIdCues: case kIdTags: case kIdChapters: case kIdAttachments:
    case kIdSeekHead: case kIdInfo: case kIdTracks: case kIdEbml: case kIdSegment:
        return true;
    default:
        return false;
    }
}

struct Element {
    uint32_t id = 0;
    uint64_t size = 0;  // ByteReader::kUnknownSize for an unknown size
    uint64_t data = 0;  // position of the first content byte
    uint64_t end() const { return data + size; }
    bool unknown() const { return size == ByteReader::kUnknownSize; }
};

// Unsigned integer element content of 0..8 bytes.
bool uintOf(ByteReader body, uint64_t *v) { return body.size() <= 8 && body.beN(v, body.size()); }

class Indexer {
public:
    Indexer(Source &src, Index *out, const Limits &limits) : src_(src), ix_(*out), limits_(limits) {}

    int run(uint64_t start);

private:
    unsigned long long fd() const { return src_.handle(); }
    int header(uint64_t pos, uint64_t end, Element *e);
    bool load(const Element &e, std::vector<uint8_t> *bytes);
    void skipped(uint32_t id, uint64_t size);
    int tracksPosition(ByteReader seekHead, uint64_t *position);
    int tracks(ByteReader r);
    int trackEntry(ByteReader r, uint16_t entries);
    int info(const Element &e);
    int cluster(const Element &e, uint64_t segmentEnd, uint64_t *next);
    int blockGroup(const Element &e, uint64_t clusterTime);
    int block(uint64_t pos, uint64_t size, bool simple, bool key, uint64_t clusterTime, uint64_t duration);

    Source &src_;
    Index &ix_;
    const Limits &limits_;
    uint64_t frames_ = 0;
    std::set<uint32_t> skippedIds_;
};

// Reads the id and size of the element at pos, inside a parent that ends at end. A known size
// must fit in the parent; an unknown size is left to the caller.
int Indexer::header(uint64_t pos, uint64_t end, Element *e) {
    uint8_t buf[12];
    const size_t n = pos < end ? static_cast<size_t>(end - pos < sizeof buf ? end - pos : sizeof buf) : 0;
    if (n == 0 || !src_.read(pos, buf, n)) {
        KX_LOGE("Read data lenth failed,[%#llx].", fd());
        return -1;
    }
    ByteReader r(buf, n);
    if (!r.ebmlId(&e->id) || !r.ebmlSize(&e->size)) {
        KX_LOGE("Read data lenth failed,[%#llx].", fd());
        return -1;
    }
    e->data = pos + r.pos();
    if (!e->unknown() && e->size > end - e->data) {
        KX_LOGE("Invalid lenth(=%llu/%llu),[%#x,%#llx].", static_cast<unsigned long long>(e->size),
                static_cast<unsigned long long>(end - e->data), e->id, fd());
        return -1;
    }
    return 1;
}

bool Indexer::load(const Element &e, std::vector<uint8_t> *bytes) {
    if (e.unknown() || e.size > limits_.maxHeadElement) {
        KX_LOGE("Invalid lenth(=%llu/%llu),[%#x,%#llx].", static_cast<unsigned long long>(e.size),
                static_cast<unsigned long long>(limits_.maxHeadElement), e.id, fd());
        return false;
    }
    try {
        bytes->resize(static_cast<size_t>(e.size));
    } catch (const std::bad_alloc &) {
        KX_LOGE("Malloc(%llu) error:\"%s\".", static_cast<unsigned long long>(e.size), kx::errtext(ENOMEM));
        return false;
    }
    return src_.read(e.data, bytes->data(), bytes->size());
}

// Elements this reader does not use are skipped; the first of each kind gets an info record.
void Indexer::skipped(uint32_t id, uint64_t size) {
    switch (id) {
    case kIdVoid: case kIdCrc32: case kIdCues: case kIdTags: case kIdChapters: case kIdAttachments:
        return;
    default:
        break;
    }
    // Bounded, so that a file of many distinct unknown ids cannot make the set grow with it.
    if (skippedIds_.size() < 64 && skippedIds_.insert(id).second)
        KX_LOGI("Skip tag(%#x),len=%llu,[%#llx].", id, static_cast<unsigned long long>(size), fd());
}

// Next child of a master element held in memory. False at the end; *bad when a child does not
// fit in what is left of its parent.
bool nextChild(ByteReader &r, uint32_t *id, ByteReader *body, bool *bad) {
    *bad = false;
    if (r.empty()) return false;
    uint64_t size;
    if (!r.ebmlId(id) || !r.ebmlSize(&size) || size == ByteReader::kUnknownSize || !r.fits(size)) {
        *bad = true;
        return false;
    }
    *body = r.sub(size);
    return true;
}

// Position of the Tracks element from the SeekHead's entries (SeekID and SeekPosition in
// either order).
int Indexer::tracksPosition(ByteReader r, uint64_t *position) {
    uint32_t id;
    ByteReader seek;
    bool bad;
    while (nextChild(r, &id, &seek, &bad)) {
        if (id != kIdSeek) {
            skipped(id, seek.size());
            continue;
        }
        bool isTracks = false, havePosition = false;
        uint64_t pos = 0;
        uint32_t child;
        ByteReader body;
        while (nextChild(seek, &child, &body, &bad)) {
            if (child == kIdSeekId) {
                uint32_t target;
                isTracks = body.ebmlId(&target) && body.empty() && target == kIdTracks;
            } else if (child == kIdSeekPosition) {
                havePosition = uintOf(body, &pos);
            }
        }
        if (bad) break;
        if (isTracks && havePosition) {
            *position = pos;
            return 1;
        }
    }
    if (bad) {
        KX_LOGE("Invalid data(=%#x),[%llu,%#llx].", id, static_cast<unsigned long long>(r.pos()), fd());
        return -1;
    }
    KX_LOGE("Find position of tracks in seekHead failed,[%#llx].", fd());
    return -1;
}

int Indexer::tracks(ByteReader r) {
    // Count the entries first: rows are indexed by track number, which must lie in 1..count.
    unsigned entries = 0;
    {
        ByteReader c = r;
        uint32_t id;
        ByteReader body;
        bool bad;
        while (nextChild(c, &id, &body, &bad))
            if (id == kIdTrackEntry) ++entries;
        if (bad) {
            KX_LOGE("Error data:%#x,[%llu,%llu,%#llx].", id, static_cast<unsigned long long>(c.pos()),
                    static_cast<unsigned long long>(c.size()), fd());
            return -1;
        }
    }
    if (entries == 0 || entries > VIDEO_MKV_MAX_TRACKS) {
        KX_LOGE("Get channel count failed,[%#llx].", fd());
        return -1;
    }
    ix_.rows.assign(entries + 1, Track());
    uint32_t id;
    ByteReader body;
    bool bad;
    while (nextChild(r, &id, &body, &bad)) {
        if (id != kIdTrackEntry) {
            skipped(id, body.size());
            continue;
        }
        if (trackEntry(body, static_cast<uint16_t>(entries)) < 0) return -1;
    }
    return 1;
}

int Indexer::trackEntry(ByteReader r, uint16_t entries) {
    // Channels and SamplingFrequency have defaults, and muxers leave them out when they match.
    uint64_t number = 0, type = 0, defaultDuration = 0, channels = 1, width = 0, height = 0;
    double rate = 8000;
    std::string codecId, name;
    bool hasName = false, hasPrivate = false;
    ByteReader priv;
    uint32_t id;
    ByteReader body;
    bool bad = false;
    auto badLength = [&](uint32_t what) {
        KX_LOGE("Invalid lenth(=%#x),[%llu,%hu,%#llx].", what, static_cast<unsigned long long>(number), entries, fd());
        return -1;
    };
    while (nextChild(r, &id, &body, &bad)) {
        bool ok = true;
        switch (id) {
        case kIdTrackNumber: ok = uintOf(body, &number); break;
        case kIdTrackType: ok = uintOf(body, &type); break;
        case kIdDefaultDuration: ok = uintOf(body, &defaultDuration); break;
        case kIdCodecId:
            codecId.assign(reinterpret_cast<const char *>(body.data()), body.size());
            codecId.resize(strnlen(codecId.c_str(), codecId.size()));
            break;
        case kIdName:
            name.assign(reinterpret_cast<const char *>(body.data()), body.size());
            name.resize(strnlen(name.c_str(), name.size()));
            hasName = true;
            break;
        case kIdCodecPrivate: priv = body; hasPrivate = true; break;
        case kIdVideo:
        case kIdAudio: {
            uint32_t sub = 0;
            ByteReader v;
            while (ok && nextChild(body, &sub, &v, &bad)) {
                if (id == kIdVideo && sub == kIdPixelWidth) ok = uintOf(v, &width);
                else if (id == kIdVideo && sub == kIdPixelHeight) ok = uintOf(v, &height);
                else if (id == kIdAudio && sub == kIdChannels) ok = uintOf(v, &channels);
                else if (id == kIdAudio && sub == kIdSamplingFrequency) {
                    // A 4- or an 8-byte float.
                    float f;
                    if (v.size() == 4 && v.beFloat32(&f)) rate = f;
                    else ok = v.size() == 8 && v.beFloat64(&rate);
                } else skipped(sub, v.size());
            }
            if (bad) return badLength(sub);
            break;
        }
        default: skipped(id, body.size()); break;
        }
        if (!ok) return badLength(id);
    }
    if (bad) return badLength(id);

    if (number < 1 || number > entries || ix_.rows[number].present) {
        KX_LOGE("Invalid channel number(=%llu),[%#llx].", static_cast<unsigned long long>(number), fd());
        return -1;
    }
    Track &t = ix_.rows[number];
    int kind;
    if (type == VIDEO_MKV_TRACK_VIDEO) kind = 0;
    else if (type == VIDEO_MKV_TRACK_AUDIO) kind = 1;
    else if (type == VIDEO_MKV_TRACK_SUBTITLE) kind = 2;
    else {
        KX_LOGE("Invalid type (=%llx),[%#llx].", static_cast<unsigned long long>(type), fd());
        return -1;
    }
    uint8_t codec = 0;
    if (kind == 0 && codecId == "V_MPEG4/ISO/AVC") codec = VIDEO_MKV_CODEC_H264;
    else if (kind == 0 && codecId == "V_MS/VFW/FOURCC") codec = VIDEO_MKV_CODEC_MJPEG;
    else if (kind == 1 && codecId == "A_AAC") codec = VIDEO_MKV_CODEC_AAC;
    else if (kind == 2 && (codecId == "S_TEXT/SSA" || codecId == "S_TEXT/ASS")) codec = VIDEO_MKV_CODEC_SSA;
    if (codec == 0) {
        KX_LOGE("Not support the codecID,[%hu,%llu,%hu,%hu,%#llx].", static_cast<unsigned short>(type),
                static_cast<unsigned long long>(number), static_cast<unsigned short>(codecId.size()), entries, fd());
        return -1;
    }
    t.type = static_cast<uint8_t>(type);
    t.codec = codec;
    t.hasName = hasName;
    t.name = std::move(name);
    if (kind == 0) {
        t.width = width <= UINT32_MAX ? static_cast<uint32_t>(width) : 0;
        t.height = height <= UINT32_MAX ? static_cast<uint32_t>(height) : 0;
        t.frameRate = defaultDuration ? static_cast<float>(1e9 / static_cast<double>(defaultDuration)) : 0;
    } else if (kind == 1) {
        if (channels < 1 || channels > 7) {
            KX_LOGE("Invalid Channels(=%llu),[%hhu,%hu,%#llx].", static_cast<unsigned long long>(channels),
                    static_cast<unsigned char>(number), entries, fd());
            return -1;
        }
        t.width = static_cast<uint32_t>(channels << 3);
        t.height = isfinite(rate) && rate >= 1 && rate <= 1e6 ? static_cast<uint32_t>(rate) : 0;
        t.frameRate = static_cast<float>(t.height / 1024.0);
    }
    // A track is complete when it carries what its frames need to be played.
    bool complete = hasPrivate;
    if (kind == 0) {
        complete = complete && t.width && t.height && t.frameRate >= 0.1f;
        if (complete && codec == VIDEO_MKV_CODEC_H264) complete = keyDataOf(priv.data(), priv.size(), nullptr, 0) > 0;
    } else if (kind == 1) {
        complete = complete && t.height && t.frameRate >= 0.1f && adtsCarries(priv.data(), priv.size());
    } else {
        complete = true;
    }
    if (!complete) {
        KX_LOGE("Error data(%s,%u,%u,%hhu,%f,%llx),[%hu,%hu,%#llx].", codecId.c_str(), t.width, t.height, codec,
                static_cast<double>(t.frameRate), static_cast<unsigned long long>(priv.size()),
                static_cast<unsigned short>(number), entries, fd());
        return -1;
    }
    const size_t n = priv.size();
    t.codecPrivate.resize(5 + n);
    for (int i = 0; i < 4; ++i) t.codecPrivate[i] = static_cast<uint8_t>(n >> (8 * i));
    t.codecPrivate[4] = 4;
    if (n) memcpy(t.codecPrivate.data() + 5, priv.data(), n);
    t.present = true;
    if (ix_.first[kind] == 0) ix_.first[kind] = static_cast<uint16_t>(number);
    ++ix_.count[kind];
    return 1;
}

int Indexer::info(const Element &e) {
    std::vector<uint8_t> bytes;
    if (!load(e, &bytes)) return -1;
    ByteReader r(bytes.data(), bytes.size());
    uint32_t id;
    ByteReader body;
    bool bad;
    while (nextChild(r, &id, &body, &bad)) {
        uint64_t scale;
        if (id == kIdTimecodeScale && uintOf(body, &scale) && scale > 0) ix_.timecodeScale = scale;
    }
    return 1;
}

int Indexer::block(uint64_t pos, uint64_t size, bool simple, bool key, uint64_t clusterTime, uint64_t duration) {
    // The block head and lace sizes are read through a window that grows only when the lace
    // sizes need it; the payload itself is not read.
    std::vector<uint8_t> window;
    std::vector<Lace> laces;
    size_t have = static_cast<size_t>(size < 64 ? size : 64);
    for (;;) {
        window.resize(have);
        if (!src_.read(pos, window.data(), have)) return -1;
        ByteReader r(window.data(), have);
        uint64_t number;
        size_t len;
        uint16_t time;
        uint8_t flags;
        if (!r.vint(&number, &len, 8, false) || !r.be16(&time) || !r.u8(&flags)) {
            KX_LOGE("Lnvalid lenth(=%llu/%llu),[%#llx].", static_cast<unsigned long long>(size), 4ull, fd());
            return -1;
        }
        if (number < 1 || number >= ix_.rows.size() || !ix_.rows[number].present) {
            KX_LOGE("Invalid channel number(=%llu),[%#llx].", static_cast<unsigned long long>(number), fd());
            return -1;
        }
        const uint64_t head = r.pos(), payload = size - head;
        const unsigned lacing = (flags >> 1) & 3;
        if (lacing == 0) {
            laces.assign(1, Lace{0, payload});
        } else {
            int rv = splitLaces(r.sub(r.remaining()), payload, lacing, &laces);
            if (rv == kLaceShort && have < size) {
                have = static_cast<size_t>(size - have < have * 3 ? size : have * 4);
                continue;
            }
            if (rv != kLaceOk) {
                KX_LOGE("Error [%#x,%llu,%llu,%llu,%d] [%#llx].", flags, static_cast<unsigned long long>(number),
                        static_cast<unsigned long long>(pos), static_cast<unsigned long long>(size), rv, fd());
                return -1;
            }
        }
        Track &t = ix_.rows[number];
        if (laces.size() > limits_.maxFrames - frames_) {
            KX_LOGE("Too many frames(>%llu),[%#llx].", static_cast<unsigned long long>(limits_.maxFrames), fd());
            return -1;
        }
        // The block's time: the cluster's timestamp plus the block's signed offset from it.
        const double tick = static_cast<double>(ix_.timecodeScale) / 1e9;
        const double blockTime = (static_cast<double>(clusterTime) + static_cast<int16_t>(time)) * tick;
        float start = 0, end = 0;
        if (t.type == VIDEO_MKV_TRACK_SUBTITLE) {
            start = static_cast<float>(blockTime);
            end = static_cast<float>(start + static_cast<double>(duration) * tick);
        }
        // Laced AAC frames follow each other by 1024 samples; other laced frames share the
        // block time.
        const double laceStep =
            t.type == VIDEO_MKV_TRACK_AUDIO && t.codec == VIDEO_MKV_CODEC_AAC && t.height ? 1024.0 / t.height : 0.0;
        const uint32_t keyFlag = (simple ? (flags & 0x80) != 0 : key) ? VIDEO_MKV_FRAME_KEY : 0;
        for (size_t k = 0; k < laces.size(); ++k) {
            const Lace &l = laces[k];
            if (l.size > UINT32_MAX) {
                KX_LOGE("Lnvalid lenth(=%llu/%llu),[%#llx].", static_cast<unsigned long long>(l.size),
                        static_cast<unsigned long long>(UINT32_MAX), fd());
                return -1;
            }
            t.frames.push_back(video_mkv_frame{pos + head + l.offset, static_cast<uint32_t>(l.size), keyFlag, start, end,
                                               blockTime + static_cast<double>(k) * laceStep});
        }
        frames_ += laces.size();
        return 1;
    }
}

int Indexer::blockGroup(const Element &g, uint64_t clusterTime) {
    uint64_t pos = g.data, blockPos = 0, blockSize = 0, duration = 0;
    bool haveBlock = false, referenced = false;
    while (pos < g.end()) {
        Element e;
        if (header(pos, g.end(), &e) < 0) return -1;
        if (e.unknown()) {
            KX_LOGE("Invalid tag(%#x),[%#llx].", e.id, fd());
            return -1;
        }
        if (e.id == kIdBlock) {
            haveBlock = true;
            blockPos = e.data;
            blockSize = e.size;
        } else if (e.id == kIdReferenceBlock) {
            referenced = true;
        } else if (e.id == kIdBlockDuration) {
            uint8_t b[8];
            if (e.size > 8 || !src_.read(e.data, b, static_cast<size_t>(e.size))) {
                KX_LOGE("Lnvalid lenth(=%hhu/%llu,%llu),[%#llx].", static_cast<unsigned char>(e.size),
                        static_cast<unsigned long long>(g.end() - e.data), static_cast<unsigned long long>(pos), fd());
                return -1;
            }
            ByteReader r(b, static_cast<size_t>(e.size));
            r.beN(&duration, static_cast<size_t>(e.size));
        } else {
            skipped(e.id, e.size);
        }
        pos = e.end();
    }
    if (!haveBlock) {
        KX_LOGE("Error [%llu,%llu,%llu,%d] [%#llx].", static_cast<unsigned long long>(g.data),
                static_cast<unsigned long long>(g.size), 0ull, 0, fd());
        return -1;
    }
    return block(blockPos, blockSize, false, !referenced, clusterTime, duration);
}

// Walks one cluster. *next is where the element after it begins (for an unknown size: the
// first element that cannot be a child of a cluster).
int Indexer::cluster(const Element &c, uint64_t segmentEnd, uint64_t *next) {
    const uint64_t end = c.unknown() ? segmentEnd : c.end();
    uint64_t pos = c.data, time = 0;
    while (pos < end) {
        Element e;
        if (header(pos, end, &e) < 0) return -1;
        if (c.unknown() && isTopLevel(e.id)) break;
        if (e.unknown()) {
            KX_LOGE("Invalid tag(%#x),[%llu,%#llx].", e.id, static_cast<unsigned long long>(pos), fd());
            return -1;
        }
        int rv = 1;
        if (e.id == kIdTimecode) {
            uint8_t b[8];
            if (e.size > 8 || !src_.read(e.data, b, static_cast<size_t>(e.size))) {
                KX_LOGE("Invalid lenth(=%llu/%llu),[%#x,%#llx].", static_cast<unsigned long long>(e.size), 8ull, e.id,
                        fd());
                return -1;
            }
            ByteReader r(b, static_cast<size_t>(e.size));
            r.beN(&time, static_cast<size_t>(e.size));
        } else if (e.id == kIdSimpleBlock) {
            rv = block(e.data, e.size, true, false, time, 0);
        } else if (e.id == kIdBlockGroup) {
            rv = blockGroup(e, time);
        } else {
            skipped(e.id, e.size);
        }
        if (rv < 0) return rv;
        pos = e.end();
    }
    *next = pos;
    return 1;
}

int Indexer::run(uint64_t start) {
    const uint64_t fileSize = src_.size();
    Element ebml;
    if (header(start, fileSize, &ebml) < 0) return -1;
    if (ebml.id != kIdEbml) {
        KX_LOGE("Not a MKV file(=%#x),[%#llx].", ebml.id, fd());
        return -1;
    }
    if (ebml.unknown() || ebml.size > 4096) {
        KX_LOGE("sInvalid head lenth(=%#llx),[%#llx],rv=%hhd.", static_cast<unsigned long long>(ebml.size), fd(),
                static_cast<signed char>(-1));
        return -1;
    }
    Element segment;
    if (header(ebml.end(), fileSize, &segment) < 0) {
        KX_LOGE("Get segment lenth failed,rv=%hhd,[%#llx].", static_cast<signed char>(-1), fd());
        return -1;
    }
    if (segment.id != kIdSegment) {
        KX_LOGE("Find segment failed(%#x),[%#llx].", segment.id, fd());
        return -1;
    }
    // A segment of unknown size (a live recording) runs to the end of the file.
    const uint64_t segmentEnd = segment.unknown() ? fileSize : segment.end();
    ix_.fileEnd = segmentEnd;

    Element seekHead;
    if (header(segment.data, segmentEnd, &seekHead) < 0) return -1;
    if (seekHead.id != kIdSeekHead) {
        KX_LOGE("Find seekHead failed(%#x),[%#llx].", seekHead.id, fd());
        return -1;
    }
    std::vector<uint8_t> bytes;
    if (!load(seekHead, &bytes)) return -1;
    uint64_t position;
    if (tracksPosition(ByteReader(bytes.data(), bytes.size()), &position) < 0) return -1;
    Element tracksElement;
    if (position < seekHead.end() - segment.data || position >= segmentEnd - segment.data ||
        header(segment.data + position, segmentEnd, &tracksElement) < 0 || tracksElement.id != kIdTracks) {
        KX_LOGE("Find tracks failed(%#x),[%#llx].", tracksElement.id, fd());
        return -1;
    }
    if (!load(tracksElement, &bytes) || tracks(ByteReader(bytes.data(), bytes.size())) < 0) return -1;

    // The top-level elements after the SeekHead: Info for the time scale, the clusters for the
    // frames; the rest is skipped.
    uint64_t pos = seekHead.end();
    while (pos < segmentEnd) {
        Element e;
        if (header(pos, segmentEnd, &e) < 0) return -1;
        if (e.unknown() && e.id != kIdCluster) {
            KX_LOGE("Invalid tag(%#x),[%#llx].", e.id, fd());
            return -1;
        }
        int rv = 1;
        uint64_t next = e.unknown() ? segmentEnd : e.end();
        if (e.id == kIdCluster) rv = cluster(e, segmentEnd, &next);
        else if (e.id == kIdInfo) rv = info(e);
        else if (e.id != kIdTracks && e.id != kIdSeekHead) skipped(e.id, e.size);
        if (rv < 0) return rv;
        pos = next;
    }
    return 1;
}

}  // namespace

int readIndex(Source &src, uint64_t start, Index *out, const Limits &limits) {
    *out = Index();
    Indexer indexer(src, out, limits);
    try {
        return indexer.run(start);
    } catch (const std::bad_alloc &) {
        KX_LOGE("Malloc error:\"%s\".", kx::errtext(ENOMEM));
        return -1;
    }
}

}  // namespace kx::mkv

// ---------------------------------------------------------------------------------------------
// The C record

namespace {

struct Reader : video_mkv {
    kx::mkv::Index index;
    std::vector<video_mkv_track> trackRows;
};

void release(Reader *r) {
    if (r->indexLists) kx_ObjectList_delete__OI(r->indexLists);
    for (video_mkv_track &t : r->trackRows)
        if (t.frames) kx_ObjectList_delete__OI(t.frames);
    delete r;
}

}  // namespace

extern "C" {

video_mkv *video_mkv_new_from_file__IO(FILE *file) {
    if (file == nullptr) return nullptr;
    kx::mkv::FileSource src(file);
    if (!src.ok()) {
        KX_LOGE("Fseek(%lld)  error:\"%s\",[%#llx].", -1ll, kx::errtext(errno), src.handle());
        return nullptr;
    }
    const off_t start = ftello(file);
    Reader *r = new (std::nothrow) Reader();
    if (r == nullptr) return nullptr;
    if (kx::mkv::readIndex(src, static_cast<uint64_t>(start), &r->index) < 0) {
        release(r);
        return nullptr;
    }
    const kx::mkv::Index &ix = r->index;
    r->firstVideoTrack = ix.first[0];
    r->firstAudioTrack = ix.first[1];
    r->firstSubtitleTrack = ix.first[2];
    r->videoCount = ix.count[0];
    r->audioCount = ix.count[1];
    r->subtitleCount = ix.count[2];
    r->entryCount = static_cast<uint16_t>(ix.rows.size() - 1);
    r->fileEnd = ix.fileEnd;
    r->file = file;
    bool ok = (r->indexLists = kx_ObjectList_new__IO(2)) != nullptr;
    try {
        r->trackRows.assign(ix.rows.size(), video_mkv_track());
    } catch (const std::bad_alloc &) {
        ok = false;
    }
    for (size_t i = 1; ok && i < ix.rows.size(); ++i) {
        const kx::mkv::Track &t = ix.rows[i];
        video_mkv_track &row = r->trackRows[i];
        row.name = t.hasName ? t.name.c_str() : nullptr;
        row.type = t.type;
        row.codec = t.codec;
        row.width = t.width;
        row.height = t.height;
        row.frameRate = t.frameRate;
        row.codecPrivate = t.codecPrivate.data();
        // A list made with its count of slots, each pointing at its frame.
        row.frames = kx_ObjectList_new_prefect__IO(static_cast<uint32_t>(t.frames.size()), 2);
        ok = row.frames != nullptr && kx_ObjectList_insert_tail(r->indexLists, row.frames) >= 1;
        for (size_t k = 0; ok && k < t.frames.size(); ++k)
            row.frames->array[row.frames->start + k] = const_cast<video_mkv_frame *>(&t.frames[k]);
    }
    if (!ok) {
        KX_LOGE("Malloc error:\"%s\".", kx::errtext(ENOMEM));
        release(r);
        return nullptr;
    }
    r->rows = r->trackRows.data();
    r->tick = static_cast<double>(ix.timecodeScale) / 1e9;
    return r;
}

void video_mkv_delete__OI(video_mkv *mkv) {
    if (mkv) release(static_cast<Reader *>(mkv));
}

void video_mkv_out(const video_mkv *mkv, FILE *stream) {
    if (mkv == nullptr || stream == nullptr) return;
    const video_mkv_track *v = mkv->firstVideoTrack ? &mkv->rows[mkv->firstVideoTrack] : nullptr;
    fprintf(stream, "%u,%u,%hhu,%f,%llu,(%hhu,%hhu,%hhu),%#llx", v ? v->width : 0u, v ? v->height : 0u,
            v ? v->codec : static_cast<uint8_t>(0), v ? static_cast<double>(v->frameRate) : 0.0,
            static_cast<unsigned long long>(mkv->fileEnd), static_cast<unsigned char>(mkv->videoCount),
            static_cast<unsigned char>(mkv->audioCount), static_cast<unsigned char>(mkv->subtitleCount),
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(mkv->file)));
}

}  // extern "C"
