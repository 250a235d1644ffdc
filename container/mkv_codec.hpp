// Matroska codec data without I/O: AVC configuration records to key data, stored H.264
// samples to Annex B, AudioSpecificConfig to ADTS headers.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kx::mkv {

// Key data of an AVC decoder configuration record (see video_mkv_h264_get_keyData): its total
// size, written to out when out is not null and cap is enough. Negative when the record is
// malformed (-1), lacks an SPS or a PPS (-2), does not use 4-byte NAL lengths (-3), or the key
// data does not fit in cap (-4).
long keyDataOf(const uint8_t *avcc, size_t n, uint8_t *out, size_t cap);

// Bytes of a stored sample's leading access-unit delimiter with its 4-byte length, when another
// unit follows it; else 0.
size_t leadingDelimiter(const uint8_t *p, size_t n);

// Replaces the 4-byte big-endian lengths of a stored sample by 00 00 00 01, in place. False,
// with the sample possibly half converted, when the lengths do not add up exactly to n.
bool annexBInPlace(uint8_t *p, size_t n);

// An AudioSpecificConfig (at least 2 bytes) that ADTS can carry: object type 1-4, a
// frequency index of the table and a channel configuration of 0-7.
bool adtsCarries(const uint8_t *asc, size_t n);
// The 7-byte ADTS header (no CRC) for a frame of frameLength bytes, header included; false
// when adtsCarries fails or frameLength is not 7..8191.
bool adtsHead(const uint8_t *asc, size_t n, uint32_t frameLength, uint8_t out[7]);

}  // namespace kx::mkv
