// JPEG images: checking and trimming, marker analysis with table preparation, the embedded
// document segment chain at byte level, files with and without it, and pixel coding through
// the picpress plug-in.
#include "kx/jpeg.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "container/jpeg_internal.hpp"
#include "core/bytereader.hpp"
#include "core/log.hpp"
#include "kx/ebml.h"
#include "kx/memory.h"
#include "kx/string.h"
#include "media/plugin_loader.hpp"

namespace {

// ---- the plug-in ----

using DecompressFn = int (*)(const uint8_t *, uint32_t, uint8_t *, size_t, uint32_t *, uint32_t *, int);
using CompressFn = int (*)(const uint8_t *, size_t, uint32_t, uint32_t, uint8_t *, size_t, int, int);

void release_plugin(void *) { image_jpeg_private_unload_lib(); }

const char *const kCandidates[] = {"../bin/picpress.so", "picpress.so", nullptr};
const char *const kFolderNames[] = {"picpress.so", "libpicpress.so", nullptr};
const char *const kSymbols[] = {"Decompress", "Compress", nullptr};
const kx::plugin::Kind kPicpress = {"picpress", "image_jpeg_private_load_lib", kCandidates, kFolderNames, kSymbols,
                                    nullptr, "image_jpeg_private_unload_lib", release_plugin,
                                    kx::plugin::Messages::Jpeg, false, true};
kx::plugin::Slot g_plugin(kPicpress);

// ---- objects ----

constexpr uint32_t kMinLength = 20;

// A prepared Huffman table: the counts and symbols as stored, and per code length (1-16) the
// first and last canonical code and the index of its first symbol (last < first: no codes).
struct Huffman {
    uint8_t counts[16];
    uint8_t symbols[256];
    uint16_t symbolCount;
    int32_t firstCode[17];
    int32_t lastCode[17];
    uint16_t firstSymbol[17];
};

void free_tables(image_jpeg *j) {
    for (float *&q : j->quantTables) {
        delete[] q;
        q = nullptr;
    }
    for (void *&t : j->dcTables) {
        delete static_cast<Huffman *>(t);
        t = nullptr;
    }
    for (void *&t : j->acTables) {
        delete static_cast<Huffman *>(t);
        t = nullptr;
    }
}

// Clears everything an analysis fills in.
void reset_analysis(image_jpeg *j) {
    free_tables(j);
    free(j->comments);
    j->comments = nullptr;
    j->commentCount = 0;
    j->width = j->height = j->paddedWidth = j->paddedHeight = 0;
    j->precision = j->bitCount = 0;
    j->jfifVersion = 0;
    j->densityUnits = 0;
    j->dqtSegment = nullptr;
    j->dqtLength = 0;
    memset(j->sampling, 0, sizeof j->sampling);
    memset(j->appSegments, 0, sizeof j->appSegments);
    memset(j->appLengths, 0, sizeof j->appLengths);
    j->restartInterval = 0;
    j->scanData = nullptr;
}

// Takes a memory-accounted block of length bytes: checked and trimmed, or released and null.
image_jpeg *adopt(unsigned char *data, uint32_t length) {
    if (data == nullptr) return nullptr;
    if (length < kMinLength || data[0] != 0xFF || data[1] != 0xD8) {
        kx_memery_free(data, length);
        return nullptr;
    }
    uint32_t keep = length;
    if (!(data[length - 2] == 0xFF && data[length - 1] == 0xD9)) {
        keep = length - 1;
        while (keep >= kMinLength && !(data[keep - 2] == 0xFF && data[keep - 1] == 0xD9)) --keep;
        if (keep < kMinLength) {
            kx_memery_free(data, length);
            return nullptr;
        }
        auto *cut = static_cast<unsigned char *>(kx_memery_malloc(keep));
        if (cut == nullptr) {
            kx_memery_free(data, length);
            return nullptr;
        }
        memcpy(cut, data, keep);
        kx_memery_free(data, length);
        data = cut;
    }
    auto *j = static_cast<image_jpeg *>(calloc(1, sizeof(image_jpeg)));
    if (j == nullptr) {
        kx_memery_free(data, keep);
        return nullptr;
    }
    j->data = data;
    j->length = keep;
    return j;
}

// ---- analysis ----

const uint8_t kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                             12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                             35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                             58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Builds the canonical codes; false when the counts exceed the code space (an all-ones code
// included, which no decoder accepts).
bool build_codes(Huffman *h) {
    int32_t code = 0;
    uint16_t symbol = 0;
    int maxLength = 0;
    for (int l = 1; l <= 16; ++l)
        if (h->counts[l - 1] != 0) maxLength = l;
    for (int l = 1; l <= 16; ++l) {
        const int n = h->counts[l - 1];
        h->firstCode[l] = code;
        h->firstSymbol[l] = symbol;
        code += n;
        symbol = static_cast<uint16_t>(symbol + n);
        h->lastCode[l] = code - 1;
        if (l <= maxLength && code >= (int32_t{1} << l)) return false;
        code <<= 1;
    }
    return true;
}

class Analysis {
public:
    Analysis(image_jpeg *j, bool full) : j_(j), full_(full) {
        label_ = full ? "image_jpeg_analyseTag_all" : "image_jpeg_analyseTag_base";
    }
    bool run();

private:
    bool sof0(kx::ByteReader s, uint32_t len);
    bool app0(kx::ByteReader s, uint32_t len);
    bool dqt(kx::ByteReader s);
    bool dht(kx::ByteReader s);
    bool sos(kx::ByteReader s, uint32_t len);
    bool comment(const unsigned char *marker, uint32_t len);

    image_jpeg *j_;
    bool full_;
    const char *label_;
    bool sof_ = false, app0_ = false, dri_ = false, dht_ = false;
    uint8_t ids_[3] = {};  // component identifiers of Y, Cb, Cr
};

#define JLOGE(fmt, ...) KX_LOG_ERROR_AT(5, __LINE__, label_, fmt __VA_OPT__(, ) __VA_ARGS__)
#define JLOGI(fmt, ...) KX_LOG_INFO_AT(5, __LINE__, label_, fmt __VA_OPT__(, ) __VA_ARGS__)

bool Analysis::run() {
    kx::ByteReader r(j_->data, j_->length);
    r.skip(2);  // FF D8, checked by every constructor
    for (;;) {
        uint8_t b = 0;
        if (!r.u8(&b) || b != 0xFF) {
            if (r.empty()) JLOGE("Error,SOS(FFDA) not fount.");
            else JLOGE("Error,no flag.");
            return false;
        }
        do {
            if (!r.u8(&b)) {
                JLOGE("Error,SOS(FFDA) not fount.");
                return false;
            }
        } while (b == 0xFF);
        const unsigned char *marker = r.cur() - 2;
        if (b == 0xD9) {
            JLOGE("Error,SOS(FFDA) not fount.");
            return false;
        }
        if (b == 0x01 || b == 0xD8 || (b >= 0xD0 && b <= 0xD7)) {  // markers without a length
            JLOGI("Waring,unknown flag %#x.", b);
            continue;
        }
        uint16_t len = 0;
        if (!r.be16(&len) || len < 2 || static_cast<size_t>(marker - j_->data) + 2u + len + 6u > j_->length) {
            JLOGE("Error,invalid segment lenth(%u) of flag %#x.", len, b);
            return false;
        }
        kx::ByteReader s = r.sub(len - 2u);
        bool ok = true;
        switch (b) {
            case 0xC0: ok = sof0(s, len); break;
            case 0xE0: ok = app0(s, len); break;
            case 0xFE: ok = comment(marker, len); break;
            case 0xDD:
                if (len != 4) {
                    JLOGE("Error,invalid DRT Lenth,len=%d.", len);
                    return false;
                }
                if (dri_) {
                    JLOGE("Error,find second DRT(FFDD).");
                    return false;
                }
                dri_ = true;
                s.be16(&j_->restartInterval);
                break;
            case 0xDB:
                if (len < 67 || (len - 2) % 65 != 0) {
                    JLOGE("Error,DQT(FFDB) lenth(%u) error.", len);
                    return false;
                }
                j_->dqtSegment = marker;
                j_->dqtLength = len;
                if (full_) ok = dqt(s);
                break;
            case 0xC4:
                dht_ = true;
                if (full_) ok = dht(s);
                break;
            case 0xDA:
                if (!sos(s, len)) return false;
                j_->scanData = r.cur();
                j_->bitCount = 24;
                return true;
            default:
                if (b >= 0xE1 && b <= 0xEF) {
                    if (j_->appSegments[b & 0x0F] != nullptr) JLOGI("Waring,find second FFE%X.", b & 0x0F);
                    j_->appSegments[b & 0x0F] = marker;
                    j_->appLengths[b & 0x0F] = len;
                } else {
                    JLOGI("Waring,unknown flag %#x.", b);
                }
                break;
        }
        if (!ok) return false;
    }
}

bool Analysis::sof0(kx::ByteReader s, uint32_t len) {
    if (sof_) {
        JLOGE("Error,find second FFC0.");
        return false;
    }
    uint8_t precision = 0, count = 0;
    uint16_t height = 0, width = 0;
    s.u8(&precision);
    s.be16(&height);
    s.be16(&width);
    s.u8(&count);
    if (!s.ok()) {
        JLOGE("Error,invalide FFC0 lenth:%u.", len);
        return false;
    }
    if (precision != 8) {
        JLOGE("Error,only 8 bit precision supported,bitPrecision=%d.", precision);
        return false;
    }
    if (count != 3) {
        JLOGE("Error,only 24 bit count supported.");
        return false;
    }
    if (len != 17) {
        JLOGE("Error,invalide FFC0 lenth:%u.", len);
        return false;
    }
    uint8_t comp[3][3];
    for (auto &c : comp) s.copy(c, 3);
    if (!s.ok()) return false;
    uint8_t sorted[3] = {comp[0][0], comp[1][0], comp[2][0]};
    std::sort(sorted, sorted + 3);
    if (sorted[1] != sorted[0] + 1 || sorted[2] != sorted[1] + 1 || sorted[2] > 3) {
        JLOGE("Error,only YCbCr format supported,yn=%d,cbn=%d,crn=%d.", comp[0][0], comp[1][0], comp[2][0]);
        return false;
    }
    for (auto &c : comp) {
        const int k = c[0] - sorted[0];  // 0 Y, 1 Cb, 2 Cr
        const int h = c[1] >> 4, v = c[1] & 0x0F;
        if (h < 1 || h > 4 || v < 1 || v > 4) {
            JLOGE("Error,invalid sampling factors,id=%d,h=%d,v=%d.", c[0], h, v);
            return false;
        }
        if (c[2] > 3) {
            JLOGE("Error,DQT(FFDB) index=%d not fount.", c[2]);
            return false;
        }
        j_->sampling[3 * k] = static_cast<uint8_t>(h);
        j_->sampling[3 * k + 1] = static_cast<uint8_t>(v);
        j_->sampling[3 * k + 2] = c[2];
        ids_[k] = c[0];
    }
    if (width == 0 || height == 0) {
        JLOGE("Error,invalid picture size %ux%u.", width, height);
        return false;
    }
    j_->precision = precision;
    j_->width = width;
    j_->height = height;
    const uint32_t bw = 8u * j_->sampling[0], bh = 8u * j_->sampling[1];
    const uint32_t pw = (width + bw - 1) / bw * bw, ph = (height + bh - 1) / bh * bh;
    j_->paddedWidth = static_cast<uint16_t>(std::min<uint32_t>(pw, UINT16_MAX));
    j_->paddedHeight = static_cast<uint16_t>(std::min<uint32_t>(ph, UINT16_MAX));
    sof_ = true;
    return true;
}

bool Analysis::app0(kx::ByteReader s, uint32_t len) {
    if (app0_) {
        JLOGE("Error,find second APP0(FFE0).");
        return false;
    }
    if (len < 16) {
        JLOGE("Error,APP0(FFE0) lenth(%u) error.", len);
        return false;
    }
    const uint8_t *id = s.bytes(5);
    if (id == nullptr || memcmp(id, "JFIF", 5) != 0) {
        JLOGE("Error,APP0(FFE0) not start with \"JFIF\".");
        return false;
    }
    uint16_t version = 0;
    uint8_t units = 0;
    s.be16(&version);
    s.u8(&units);
    // Version 1.00 to 1.02: every JFIF revision has the same APP0 fields.
    if ((version >> 8) != 1 || (version & 0xFF) > 2) {
        JLOGE("Error,JFIF version(%#x) not supported.", version);
        return false;
    }
    if (units > 2) {
        JLOGE("Error,JPEG units(%d) format not supported.", units);
        return false;
    }
    j_->jfifVersion = version;
    j_->densityUnits = units;
    j_->appSegments[0] = s.data() - 4;
    j_->appLengths[0] = static_cast<uint16_t>(len);
    app0_ = true;
    return true;
}

bool Analysis::comment(const unsigned char *marker, uint32_t len) {
    if (j_->commentCount == UINT16_MAX) {
        JLOGE("Error,too many COM(FFFE) segments.");
        return false;
    }
    auto *grown = static_cast<image_jpeg_comment *>(
        realloc(j_->comments, (static_cast<size_t>(j_->commentCount) + 1) * sizeof(image_jpeg_comment)));
    if (grown == nullptr) return false;
    j_->comments = grown;
    j_->comments[j_->commentCount].segment = marker;
    j_->comments[j_->commentCount].length = static_cast<uint16_t>(len);
    ++j_->commentCount;
    return true;
}

bool Analysis::dqt(kx::ByteReader s) {
    static const double kPi = 3.14159265358979323846;
    double scale[8];
    scale[0] = 1.0;
    for (int k = 1; k < 8; ++k) scale[k] = sqrt(2.0) * cos(k * kPi / 16.0);
    while (!s.empty()) {
        uint8_t pq = 0;
        s.u8(&pq);
        const uint8_t *values = s.bytes(64);
        if (values == nullptr) return false;  // the length check keeps whole tables
        if ((pq >> 4) != 0) {
            JLOGE("Error,16 bit quantization table not supported.");
            return false;
        }
        const int index = pq & 0x0F;
        if (index > 3) {
            JLOGE("Error,invalid QT index=%d.", index);
            return false;
        }
        if (j_->quantTables[index] != nullptr) {
            JLOGE("Error,find second QT[%d].", index);
            return false;
        }
        float *t = new (std::nothrow) float[64];
        if (t == nullptr) return false;
        for (int k = 0; k < 64; ++k) {
            const int at = kZigzag[k];
            t[at] = static_cast<float>(values[k] * scale[at / 8] * scale[at % 8]);
        }
        j_->quantTables[index] = t;
    }
    return true;
}

bool Analysis::dht(kx::ByteReader s) {
    while (!s.empty()) {
        uint8_t tc = 0;
        s.u8(&tc);
        const int cls = tc >> 4, index = tc & 0x0F;
        if (cls > 1 || index > 3) {
            JLOGE("Error,invalid Hiffman,value:%d.", tc);
            return false;
        }
        Huffman h{};
        if (!s.copy(h.counts, 16)) {
            JLOGE("Error,invalid Hiffman,value:%d.", tc);
            return false;
        }
        unsigned total = 0;
        for (uint8_t c : h.counts) total += c;
        if (total > 256 || !s.copy(h.symbols, total) || !build_codes(&h)) {
            JLOGE("Error,invalid Hiffman,value:%d.", tc);
            return false;
        }
        h.symbolCount = static_cast<uint16_t>(total);
        void **slot = cls == 0 ? &j_->dcTables[index] : &j_->acTables[index];
        if (*slot != nullptr) {
            if (cls == 0) JLOGE("Error,find second DCHT[%d].", index);
            else JLOGE("Error,find second ACHT[%d].", index);
            return false;
        }
        auto *kept = new (std::nothrow) Huffman(h);
        if (kept == nullptr) return false;
        *slot = kept;
    }
    return true;
}

bool Analysis::sos(kx::ByteReader s, uint32_t len) {
    if (len != 12) {
        JLOGE("Error,SOS(FFDA) lenth(%u) error.", len);
        return false;
    }
    uint8_t count = 0;
    s.u8(&count);
    if (count != 3) {
        JLOGE("Error,invalid SOS marker,value=%d.", count);
        return false;
    }
    if (!sof_) {
        JLOGE("Error,SOF0(FFC0) not fount.");
        return false;
    }
    // Both chroma components share one sampling that divides the luma sampling: 4:4:4 may
    // be written with equal factors above 1 (ffmpeg writes 1x2 for every component).
    const uint8_t *sp = j_->sampling;
    if (sp[3] != sp[6] || sp[4] != sp[7] || sp[0] % sp[3] != 0 || sp[1] % sp[4] != 0) {
        JLOGE("Error,CbH=%d,CbV=%d,CrH=%d,CrV=%d,YH=%d,YV=%d,.", sp[3], sp[4], sp[6], sp[7], sp[0], sp[1]);
        return false;
    }
    if (!full_) return true;
    if (!dht_) {
        JLOGE("Error,DHT(FFC4) not fount.");
        return false;
    }
    for (int c = 0; c < 3; ++c) {
        uint8_t id = 0, tables = 0;
        s.u8(&id);
        s.u8(&tables);
        const uint8_t *k = std::find(ids_, ids_ + 3, id);
        if (k == ids_ + 3) {
            JLOGE("Error,invalid SOS marker,value=%d.", id);
            return false;
        }
        const int q = sp[3 * (k - ids_) + 2], dc = tables >> 4, ac = tables & 0x0F;
        if (j_->quantTables[q] == nullptr) {
            JLOGE("Error,DQT(FFDB) index=%d not fount.", q);
            return false;
        }
        if (dc > 3 || j_->dcTables[dc] == nullptr) {
            JLOGE("Error,DHT(FFC4) DC index=%d not fount.", dc);
            return false;
        }
        if (ac > 3 || j_->acTables[ac] == nullptr) {
            JLOGE("Error,DHT(FFC4) AC index=%d not fount.", ac);
            return false;
        }
    }
    return s.ok();
}

#undef JLOGE
#undef JLOGI

int analyse(image_jpeg *j, bool full) {
    reset_analysis(j);
    if (Analysis(j, full).run()) return 1;
    reset_analysis(j);
    return -1;
}

// ---- output ----

bool write_all(FILE *stream, const void *data, size_t length, const char *label) {
    if (length == 0 || fwrite(data, 1, length, stream) == length) return true;
    KX_LOG_ERROR_AT(5, __LINE__, label, "Write error:\"%s\".", kx::errtext(errno));
    return false;
}

// Size of libjpeg-turbo's tjBufSize for the worst subsampling (4:4:4): what a compressed
// picture of w x h can take at any quality.
size_t worst_jpeg_size(uint32_t w, uint32_t h) {
    const size_t pw = (static_cast<size_t>(w) + 7) / 8 * 8, ph = (static_cast<size_t>(h) + 7) / 8 * 8;
    return pw * ph * 6 + 2048;
}

}  // namespace

// ---- the segment chain ----

namespace kx::jpeg {

bool is_chain_segment(const unsigned char *seg, uint32_t len) {
    // Signature and sequence number present: even a chain's short last piece is one.
    return len >= 8 && seg[0] == 0xFF && seg[1] == 0xFE && memcmp(seg + 4, kChainSignature, 4) == 0;
}

bool append_chain(std::vector<uint8_t> *out, const uint8_t *document, size_t length) {
    if (length == 0 || (length + kChainPayload - 1) / kChainPayload > 65536) return false;
    try {
        for (size_t at = 0, seq = 0; at < length; at += kChainPayload, ++seq) {
            const size_t n = std::min(kChainPayload, length - at);
            const uint8_t head[10] = {0xFF,
                                      0xFE,
                                      static_cast<uint8_t>((n + 8) >> 8),
                                      static_cast<uint8_t>(n + 8),
                                      kChainSignature[0],
                                      kChainSignature[1],
                                      kChainSignature[2],
                                      kChainSignature[3],
                                      static_cast<uint8_t>(seq),
                                      static_cast<uint8_t>(seq >> 8)};
            out->insert(out->end(), head, head + 10);
            out->insert(out->end(), document + at, document + at + n);
        }
    } catch (...) {
        return false;
    }
    return true;
}

bool file_with_chain(const image_jpeg *jpeg, const std::vector<uint8_t> &chain, std::vector<uint8_t> *out) {
    if (jpeg->dqtSegment == nullptr && !chain.empty()) return false;
    try {
        out->clear();
        out->reserve(jpeg->length + chain.size());
        const unsigned char *from = jpeg->data;
        bool placed = chain.empty();
        auto copy_to = [&](const unsigned char *to) {
            out->insert(out->end(), from, to);
            from = to;
        };
        auto place_before = [&](const unsigned char *next) {
            if (placed || jpeg->dqtSegment < from || jpeg->dqtSegment >= next) return;
            copy_to(jpeg->dqtSegment);
            out->insert(out->end(), chain.begin(), chain.end());
            placed = true;
        };
        for (uint16_t k = 0; k < jpeg->commentCount; ++k) {
            const image_jpeg_comment &c = jpeg->comments[k];
            if (!is_chain_segment(c.segment, c.length)) continue;
            place_before(c.segment);
            copy_to(c.segment);
            from = c.segment + 2 + c.length;
        }
        place_before(jpeg->data + jpeg->length);
        copy_to(jpeg->data + jpeg->length);
    } catch (...) {
        return false;
    }
    return true;
}

bool extract_chain(const image_jpeg *jpeg, DocumentLength lengthOf, std::vector<uint8_t> *document) {
    struct Piece {
        uint16_t seq;
        const uint8_t *payload;
        size_t length;
    };
    std::vector<Piece> pieces;
    try {
        for (uint16_t k = 0; k < jpeg->commentCount; ++k) {
            const image_jpeg_comment &c = jpeg->comments[k];
            if (!is_chain_segment(c.segment, c.length) || c.length < 10) continue;
            pieces.push_back({static_cast<uint16_t>(c.segment[8] | (c.segment[9] << 8)), c.segment + 10,
                              static_cast<size_t>(c.length) - 8});
        }
        std::stable_sort(pieces.begin(), pieces.end(), [](const Piece &a, const Piece &b) { return a.seq < b.seq; });
        if (pieces.empty() || pieces[0].seq != 0) return false;
        const long total = lengthOf(pieces[0].length, pieces[0].payload);
        if (total < 8) {
            KX_LOG_ERROR_AT(5, __LINE__, "image_jpeg_get_ebml__IO", "Invalid len=%d.", static_cast<int>(total));
            return false;
        }
        const size_t want = static_cast<size_t>(total);
        document->clear();
        for (size_t k = 0; k < pieces.size() && document->size() < want; ++k) {
            if (pieces[k].seq != k) {
                KX_LOG_ERROR_AT(5, __LINE__, "image_jpeg_get_ebml__IO", "Error thisLen=%d/%d,%hu/%hu.",
                                static_cast<int>(document->size()), static_cast<int>(total), pieces[k].seq,
                                static_cast<unsigned short>(k));
                return false;
            }
            const size_t n = std::min(pieces[k].length, want - document->size());
            document->insert(document->end(), pieces[k].payload, pieces[k].payload + n);
        }
        if (document->size() < want) {
            KX_LOG_ERROR_AT(5, __LINE__, "image_jpeg_get_ebml__IO", "Data has damaged.");
            return false;
        }
    } catch (...) {
        return false;
    }
    return true;
}

bool ensure_analysed(image_jpeg *jpeg) { return jpeg->bitCount != 0 || analyse(jpeg, false) == 1; }

}  // namespace kx::jpeg

extern "C" {

image_jpeg *image_jpeg_new_from_string__IO(const void *data, uint32_t length) {
    if (data == nullptr || length < kMinLength) return nullptr;
    auto *copy = static_cast<unsigned char *>(kx_memery_malloc(length));
    if (copy == nullptr) return nullptr;
    memcpy(copy, data, length);
    return adopt(copy, length);
}

image_jpeg *image_jpeg_new_from_String__IO__OI(kx_String *string) {
    if (string == nullptr) return nullptr;
    image_jpeg *j = image_jpeg_new_from_string__IO(string->buffer, string->lenth);
    kx_String_delete__OI(string);
    return j;
}

image_jpeg *image_jpeg_new_from_file__IO(const char *path) {
    if (path == nullptr) return nullptr;
    return image_jpeg_new_from_String__IO__OI(kx_String_new_form_file__IO(path));
}

image_jpeg *image_jpeg_new_from_jpeg_without_ebml__IO(image_jpeg *jpeg) {
    if (jpeg == nullptr) return nullptr;
    std::vector<uint8_t> bytes;
    if (!kx::jpeg::ensure_analysed(jpeg) || !kx::jpeg::file_with_chain(jpeg, {}, &bytes)) {
        KX_LOGE("Analyse jpeg failed.");
        return nullptr;
    }
    return image_jpeg_new_from_string__IO(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void image_jpeg_delete__OI(image_jpeg **jpeg) {
    if (jpeg == nullptr || *jpeg == nullptr) return;
    image_jpeg *j = *jpeg;
    *jpeg = nullptr;
    free_tables(j);
    free(j->comments);
    kx_memery_free(j->data, j->length);
    free(j);
}

int image_jpeg_analyseTag_base(image_jpeg *jpeg) {
    if (jpeg == nullptr) return -1;
    if (jpeg->bitCount != 0) return 2;
    return analyse(jpeg, false);
}

int image_jpeg_analyseTag_all(image_jpeg *jpeg) {
    if (jpeg == nullptr) return -1;
    return analyse(jpeg, true);
}

image_dib *image_jpeg_convert_to_dib__IO(image_jpeg *jpeg, void *reserved, int32_t dibType, uint32_t dibHeight,
                                         uint32_t extraHeight, uint32_t expectedHeight,
                                         uint32_t conversionParameter) {
    (void)reserved;
    if (jpeg == nullptr || dibType < 0 || dibType > IMAGE_DIB_Gray) return nullptr;
    kx::plugin::Binding *b = g_plugin.get();
    if (b == nullptr || !kx::jpeg::ensure_analysed(jpeg)) return nullptr;
    if (expectedHeight != 0 && expectedHeight != jpeg->height) return nullptr;
    const int32_t format = dibType == 0 ? IMAGE_DIB_YCbCr : dibType;
    const uint64_t wantHeight = dibHeight != 0 ? dibHeight : uint64_t{jpeg->height} + extraHeight;
    if (wantHeight == 0 || wantHeight > UINT32_MAX) return nullptr;
    image_dib *dib = image_dib_new__IO(jpeg->width, jpeg->height, format, 0);
    if (dib == nullptr) return nullptr;
    uint32_t w = 0, h = 0;
    int rv = reinterpret_cast<DecompressFn>(b->fn[0])(jpeg->data, jpeg->length, dib->data, dib->dataLenth, &w, &h,
                                                      format);
    if (rv != 0 || w != jpeg->width || h != jpeg->height) {
        KX_LOGE("Decompress failed(=%d),%ux%u.", rv, w, h);
        image_dib_delete__OI(&dib);
        return nullptr;
    }
    if (wantHeight != dib->height) {
        // Rows beyond the picture are 0; a shorter DIB keeps the top rows, plane by plane.
        image_dib *sized = image_dib_new__IO(dib->width, static_cast<uint32_t>(wantHeight), format, 0);
        if (sized == nullptr) {
            image_dib_delete__OI(&dib);
            return nullptr;
        }
        memset(sized->data, 0, sized->dataLenth);
        const int planes = format == IMAGE_DIB_YCbCr ? 3 : 1;
        const size_t rows = std::min<size_t>(dib->height, sized->height);
        for (int p = 0; p < planes; ++p)
            memcpy(sized->data + p * size_t{sized->height} * sized->lineBits,
                   dib->data + p * size_t{dib->height} * dib->lineBits, rows * dib->lineBits);
        image_dib_delete__OI(&dib);
        dib = sized;
    }
    if (conversionParameter != 0 && conversionParameter != dib->lineBits) {
        image_dib *strided = image_dib_new_from_dib__IO(dib, format, conversionParameter);
        image_dib_delete__OI(&dib);
        dib = strided;
    }
    return dib;
}

image_jpeg *image_jpeg_new_from_dib__IO(const image_dib *dib, int quality) {
    if (dib == nullptr || dib->data == nullptr) return nullptr;
    kx::plugin::Binding *b = g_plugin.get();
    if (b == nullptr) {
        KX_LOGE("Load jpeg lib failed.");
        return nullptr;
    }
    // The plug-in takes RGB, BGR or YCbCr at the default stride.
    image_dib *copy = nullptr;
    const image_dib *src = dib;
    const bool packed = dib->format == IMAGE_DIB_RGB || dib->format == IMAGE_DIB_BGR;
    const bool defaultStride = dib->lineBits == (packed ? dib->width * 3 : dib->width);
    if (dib->format == IMAGE_DIB_Gray || !defaultStride) {
        copy = image_dib_new_from_dib__IO(dib, dib->format == IMAGE_DIB_Gray ? IMAGE_DIB_YCbCr : dib->format, 0);
        if (copy == nullptr) return nullptr;
        src = copy;
    }
    image_jpeg *j = nullptr;
    const size_t size = worst_jpeg_size(src->width, src->height);
    auto *out = static_cast<uint8_t *>(malloc(size));
    if (out != nullptr) {
        int n = reinterpret_cast<CompressFn>(b->fn[1])(src->data, src->dataLenth, src->width, src->height, out, size,
                                                       quality, src->format);
        if (n > 19 && static_cast<size_t>(n) <= size) j = image_jpeg_new_from_string__IO(out, static_cast<uint32_t>(n));
        else KX_LOGE("Compress failed(=%d),%ux%u.", n, src->width, src->height);
        free(out);
    }
    image_dib_delete__OI(&copy);
    return j;
}

int image_jpeg_save_to_file(const image_jpeg *jpeg, const char *path) {
    if (jpeg == nullptr || jpeg->data == nullptr || jpeg->length == 0) return 0;
    return kx_String_buffer_save_to_file(jpeg->length, reinterpret_cast<const char *>(jpeg->data), path);
}

int image_jpeg_out_without_ebml(image_jpeg *jpeg, FILE *stream) {
    if (jpeg == nullptr || stream == nullptr) return -2;
    std::vector<uint8_t> bytes;
    if (!kx::jpeg::ensure_analysed(jpeg)) {
        KX_LOGE("Analyse jpeg failed.");
        return -3;
    }
    if (!kx::jpeg::file_with_chain(jpeg, {}, &bytes)) return -2;
    return write_all(stream, bytes.data(), bytes.size(), __func__) ? 1 : -2;
}

int image_jpeg_save_to_file_without_ebml(image_jpeg *jpeg, const char *path) {
    FILE *f = path ? fopen(path, "wb") : nullptr;
    if (f == nullptr) {
        KX_LOGE("Open the file:\"%s\"failed.", path ? path : "");
        return -1;
    }
    int rv = image_jpeg_out_without_ebml(jpeg, f);
    if (fclose(f) != 0 && rv == 1) rv = -2;
    return rv;
}

int image_jpeg_out_with_ebml(image_jpeg *jpeg, kx_Ebml *document, FILE *stream) {
    if (jpeg == nullptr || stream == nullptr) return -2;
    if (!kx::jpeg::ensure_analysed(jpeg)) {
        KX_LOGE("Analyse jpeg failed.");
        return -3;
    }
    kx_String *bytes = document ? kx_Ebml_to_String__IO(document, 0, 0, nullptr) : nullptr;
    std::vector<uint8_t> chain, out;
    const bool made = bytes != nullptr &&
                      kx::jpeg::append_chain(&chain, reinterpret_cast<const uint8_t *>(bytes->buffer), bytes->lenth) &&
                      kx::jpeg::file_with_chain(jpeg, chain, &out);
    kx_String_delete__OI(bytes);
    if (!made) {
        KX_LOGE("Write error:\"%s\".", "the document cannot be embedded");
        return -2;
    }
    return write_all(stream, out.data(), out.size(), __func__) ? 1 : -2;
}

int image_jpeg_save_to_file_with_ebml(image_jpeg *jpeg, kx_Ebml *document, const char *path) {
    FILE *f = path ? fopen(path, "wb") : nullptr;
    if (f == nullptr) {
        KX_LOGE("Open the file:\"%s\"failed.", path ? path : "");
        return -1;
    }
    int rv = image_jpeg_out_with_ebml(jpeg, document, f);
    if (fclose(f) != 0 && rv == 1) rv = -2;
    return rv;
}

kx_Ebml *image_jpeg_get_ebml__IO(image_jpeg *jpeg) {
    if (jpeg == nullptr || !kx::jpeg::ensure_analysed(jpeg)) return nullptr;
    std::vector<uint8_t> document;
    if (!kx::jpeg::extract_chain(jpeg, kx_Ebml_get_lenth, &document)) return nullptr;
    return kx_Ebml_new_from_String__IO(document.size(), document.data(), nullptr);
}

int image_jpeg_compress(void) { return 0; }

void image_jpeg_private_unload_lib(void) { g_plugin.release(); }

}  // extern "C"
