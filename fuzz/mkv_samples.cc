// Fuzzes the sample readers and the codec data. The input is split by its first two bytes into
// a configuration record (or AudioSpecificConfig) and a stored sample; key data, the Annex-B
// conversion and the ADTS header never leave their buffers, and a converted sample is the
// stored one with every length replaced by a start code and the key data in its place.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "container/mkv_codec.hpp"
#include "fuzz/check.hpp"
#include "kx/mkv.h"

using kxfuzz::check;

namespace {

std::vector<uint8_t> block(const uint8_t *p, size_t n, uint8_t kind) {
    std::vector<uint8_t> b(5 + n);
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(n >> (8 * i));
    b[4] = kind;
    if (n) memcpy(b.data() + 5, p, n);
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const size_t split = data[0] < size - 1 ? data[0] : size - 1;
    const uint8_t *config = data + 2, *sample = data + 2 + (split > size - 2 ? size - 2 : split);
    const size_t configLength = sample - config, sampleLength = data + size - sample;

    // Key data from the record, measured and then written into exactly that room.
    std::vector<uint8_t> h264 = block(config, configLength, 4);
    const long need = kx::mkv::keyDataOf(config, configLength, nullptr, 0);
    std::vector<uint8_t> key;
    if (need > 0) {
        check(static_cast<size_t>(need) <= VIDEO_MKV_KEYDATA_MAX(configLength), "key data above its bound");
        key.assign(static_cast<size_t>(need), 0xEE);
        check(video_mkv_h264_get_keyData(key.data(), static_cast<uint32_t>(key.size()), h264.data()) == 1,
              "measured key data not written");
        check(VIDEO_MKV_CODECPRIVATE_LENGTH(key.data()) + 4 == key.size(), "key data length");
        check(video_mkv_h264_get_keyData(key.data(), static_cast<uint32_t>(key.size() - 1), h264.data()) == -1,
              "key data written into too little room");
    }

    // The stored sample, read through a file with and without key data.
    std::vector<uint8_t> file(sample, sample + sampleLength);
    FILE *f = fmemopen(file.data(), file.size() ? file.size() : 1, "rb");
    if (f == nullptr) return 0;
    const uint32_t n = static_cast<uint32_t>(sampleLength);
    std::vector<uint8_t> out(n + key.size());
    const bool withKey = !key.empty() && (data[1] & 1);
    int rv = video_mkv_read_h264Stream_from_file(out.data(), static_cast<uint32_t>(out.size()),
                                                 withKey ? key.data() : nullptr, f, 0, n);
    const bool converts = [&] {
        std::vector<uint8_t> p(sample, sample + sampleLength);
        return kx::mkv::annexBInPlace(p.data(), p.size());
    }();
    if (n > 0 && (!withKey || n >= 4)) check((rv > 0) == converts, "file reader and conversion disagree");
    if (rv > 0) {
        // The expected Annex B, built from the sample's units: every unit behind 00 00 00 01;
        // with key data, the key data in front of the first unit, or behind the first unit
        // when that is an access-unit delimiter followed by more units.
        std::vector<std::vector<uint8_t>> units;
        for (size_t at = 0; at < n;) {
            const uint32_t len = (uint32_t(sample[at]) << 24) | (sample[at + 1] << 16) | (sample[at + 2] << 8) | sample[at + 3];
            units.emplace_back(sample + at + 4, sample + at + 4 + len);
            at += 4 + len;
        }
        const uint8_t code[4] = {0, 0, 0, 1};
        const bool delimiterFirst =
            withKey && units.size() >= 2 && !units[0].empty() && (units[0][0] & 0x1f) == 9;
        std::vector<uint8_t> want;
        for (size_t i = 0; i < units.size(); ++i) {
            const bool keyHere = withKey && i == (delimiterFirst ? 1 : 0);
            if (keyHere) {
                want.insert(want.end(), key.begin() + 4, key.end());
            } else {
                want.insert(want.end(), code, code + 4);
            }
            want.insert(want.end(), units[i].begin(), units[i].end());
        }
        check(static_cast<size_t>(rv) == want.size(), "Annex-B length");
        check(memcmp(out.data(), want.data(), want.size()) == 0, "Annex-B bytes");
    }

    // The same bytes as an AAC frame behind the configuration's ADTS header.
    std::vector<uint8_t> aac = block(config, configLength, 0);
    std::vector<uint8_t> adts(n + 7);
    rv = video_mkv_read_aacStream_from_file(adts.data(), static_cast<uint32_t>(adts.size()), aac.data(), f, 0, n);
    check(rv < 0 || rv == static_cast<int>(n + 7), "ADTS frame length");
    if (rv > 0) {
        check(kx::mkv::adtsCarries(config, configLength), "ADTS header from a configuration it cannot carry");
        const uint32_t len = ((adts[3] & 3u) << 11) | (adts[4] << 3) | (adts[5] >> 5);
        check(adts[0] == 0xFF && adts[1] == 0xF1 && len == n + 7, "ADTS header");
        unsigned char back[7];
        check(video_mkv_codecPrivate_aac_get(back, adts.data()) == 1 && back[5] == config[0] &&
                  (back[6] & 0xF8) == (config[1] & 0xF8),
              "configuration does not survive its ADTS header");
    }
    fclose(f);
    return 0;
}
