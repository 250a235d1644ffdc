// Byte-level pieces of the JPEG module shared with the document functions, tests and fuzz
// targets: the embedded-document segment chain and the file without it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "kx/jpeg.h"

namespace kx::jpeg {

constexpr size_t kChainPayload = 65527;  // payload bytes of one segment at most
constexpr uint8_t kChainSignature[4] = {0x45, 0xA6, 0x47, 0x02};

// Size of the document that starts at bytes, or a negative value when it cannot be read.
using DocumentLength = long (*)(size_t length, const void *bytes);

// True for a COM segment (marker at seg, length field len) that carries a document piece.
bool is_chain_segment(const unsigned char *seg, uint32_t len);

// Appends the segments that carry document (sequence numbers 0, 1, ...). False when the
// document is empty or would need more segments than sequence numbers exist.
bool append_chain(std::vector<uint8_t> *out, const uint8_t *document, size_t length);

// The file of an analysed object without its document segments, with chain (may be empty)
// inserted in front of the DQT segment.
bool file_with_chain(const image_jpeg *jpeg, const std::vector<uint8_t> &chain, std::vector<uint8_t> *out);

// The document bytes carried by the chain of an analysed object: true with *document filled
// when a consistent chain carries a whole document; false (logged when the chain is damaged)
// otherwise.
bool extract_chain(const image_jpeg *jpeg, DocumentLength lengthOf, std::vector<uint8_t> *document);

// Analysed when it was not yet (base analysis).
bool ensure_analysed(image_jpeg *jpeg);

}  // namespace kx::jpeg
