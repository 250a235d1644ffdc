// DNS A-record lookups over TCP: the query and the answer parser, without I/O.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace kx::net {

inline constexpr uint16_t kDnsQueryId = 0x2000;

// The TCP form of a query for the A records of name (two-byte length first): id, flags
// 0x0180, one question of type 1, class 1. False when the name is not a valid host name
// (empty, a label empty or above 63 bytes, more than 253 bytes in all).
bool dnsQuery(const char *name, uint16_t id, std::string *out);

// Addresses (network order) of the A records in an answer (the message after the TCP length
// prefix). Reads only inside [data, data + size): label lengths, compression pointers, record
// lengths and counts are checked. False for a malformed answer, another id, a query instead
// of a response, or an error code; addresses may then be partly filled.
bool dnsAnswer(const uint8_t *data, size_t size, uint16_t id, std::vector<uint32_t> *addresses);

}  // namespace kx::net
