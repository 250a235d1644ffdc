// Padded base64 (RFC 4648 with '=' padding) for the protocols that require it: HTTP Basic
// credentials, the parameter sets of an SDP description. The exported kx_String calls
// write the unpadded form.
#pragma once

#include <cstddef>
#include <string>

namespace kx {

// The padded text; empty for empty input or input too large for the encoder.
std::string base64Padded(const void *data, size_t length);

}  // namespace kx
