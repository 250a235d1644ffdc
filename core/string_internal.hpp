// Helpers shared by the string, base64, digest, formatter and builder sources.
#pragma once

#include <stdint.h>
#include <stdlib.h>

#include "kx/string.h"

namespace kx::str {

// A record whose buffer holds lenth + 1 bytes with buffer[lenth] = 0 (also for lenth 0).
// Null when the allocation fails.
kx_String *allocate(uint32_t lenth);

// Writes all of (data, size) to stream; false on a short write.
bool write_all(FILE *stream, const void *data, size_t size);

// Closes a stream that was written to: false when the flush or the close fails.
bool finish_file(FILE *file);

// The standard base64 alphabet.
extern const char kBase64Alphabet[65];

}  // namespace kx::str
