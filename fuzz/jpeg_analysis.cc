// JPEG marker analysis of arbitrary bytes: trimming, base and full analysis read only inside
// the data, every position recorded lies inside it, the file without document segments is a
// JPEG that analyses the same way, and a chain walk stays inside its segments.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "container/jpeg_internal.hpp"
#include "kx/jpeg.h"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "check failed: %s\n", what);
        abort();
    }
}

bool inside(const image_jpeg *j, const unsigned char *p, size_t n) {
    return p >= j->data && p + n <= j->data + j->length;
}

long first_word(size_t n, const void *bytes) {
    if (n < 4) return -1;
    const auto *b = static_cast<const uint8_t *>(bytes);
    return static_cast<long>(b[0] | b[1] << 8 | b[2] << 16 | (b[3] & 0x7F) << 24);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    image_jpeg *j = image_jpeg_new_from_string__IO(data, static_cast<uint32_t>(size));
    if (j == nullptr) return 0;
    check(j->length >= 20 && j->data[j->length - 2] == 0xFF && j->data[j->length - 1] == 0xD9, "trimmed to FF D9");
    const int base = image_jpeg_analyseTag_base(j);
    const int all = image_jpeg_analyseTag_all(j);
    check(base == 1 || base == -1, "base result");
    check(all == 1 || all == -1, "full result");
    if (all == 1) check(base == 1, "a file passing the full analysis passes the base one");
    if (base == 1) {
        image_jpeg_analyseTag_base(j);
        check(j->bitCount == 24 && j->width > 0 && j->height > 0, "analysed fields");
        check(inside(j, j->scanData, 2), "scan data inside");
        if (j->dqtSegment) check(inside(j, j->dqtSegment, 2u + j->dqtLength), "DQT inside");
        for (uint16_t k = 0; k < j->commentCount; ++k)
            check(inside(j, j->comments[k].segment, 2u + j->comments[k].length), "comment inside");
        for (int k = 0; k < 16; ++k)
            if (j->appSegments[k]) check(inside(j, j->appSegments[k], 2u + j->appLengths[k]), "APPn inside");
        std::vector<uint8_t> document;
        if (kx::jpeg::extract_chain(j, first_word, &document))
            check(document.size() == static_cast<size_t>(first_word(document.size(), document.data())),
                  "document of its own length");
        image_jpeg *plain = image_jpeg_new_from_jpeg_without_ebml__IO(j);
        check(plain != nullptr, "copy without documents");
        check(plain->length <= j->length, "copy not longer");
        check(image_jpeg_analyseTag_base(plain) == 1, "copy analyses");
        check(plain->width == j->width && plain->height == j->height, "copy of the same picture");
        image_jpeg_delete__OI(&plain);
    } else {
        check(j->bitCount == 0, "refused file left unanalysed");
    }
    image_jpeg_delete__OI(&j);
    return 0;
}
