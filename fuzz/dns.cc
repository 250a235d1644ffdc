// Fuzzes the DNS answer parser: whatever the answer holds, it reads only inside it, and a
// successful parse yields at most one address per 16 bytes of answer. The first two bytes
// are the id the parse expects.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "sys/dns.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    uint16_t id = static_cast<uint16_t>(data[0] << 8 | data[1]);
    // A private copy sized exactly, so any read past the end is caught.
    std::vector<uint8_t> answer(data + 2, data + size);
    std::vector<uint32_t> addresses;
    bool ok = kx::net::dnsAnswer(answer.data(), answer.size(), id, &addresses);
    if (addresses.size() * 16 > answer.size()) {
        fprintf(stderr, "more addresses than the answer can hold\n");
        abort();
    }
    (void)ok;
    return 0;
}
