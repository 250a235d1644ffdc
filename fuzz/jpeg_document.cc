// Embedded-document extraction from arbitrary JPEG bytes: the segment chain is read only
// inside its segments, a document that comes back survives being embedded again and read
// back, and the file without documents carries none.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "kx/ebml.h"
#include "kx/jpeg.h"
#include "kx/string.h"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "check failed: %s\n", what);
        abort();
    }
}

std::vector<char> serialised(kx_Ebml *doc) {
    kx_String *s = kx_Ebml_to_String__IO(doc, 0, 0, nullptr);
    std::vector<char> out;
    if (s != nullptr) out.assign(s->buffer, s->buffer + s->lenth);
    kx_String_delete__OI(s);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    image_jpeg *j = image_jpeg_new_from_string__IO(data, static_cast<uint32_t>(size));
    if (j == nullptr) return 0;
    kx_Ebml *doc = image_jpeg_get_ebml__IO(j);
    if (doc != nullptr) {
        const std::vector<char> bytes = serialised(doc);
        FILE *f = tmpfile();
        check(f != nullptr, "tmpfile");
        if (!bytes.empty() && image_jpeg_out_with_ebml(j, doc, f) == 1) {
            fflush(f);
            const long n = ftell(f);
            std::vector<uint8_t> again(static_cast<size_t>(n));
            rewind(f);
            check(fread(again.data(), 1, again.size(), f) == again.size(), "read back");
            image_jpeg *k = image_jpeg_new_from_string__IO(again.data(), static_cast<uint32_t>(again.size()));
            check(k != nullptr, "embedded file is a JPEG");
            kx_Ebml *back = image_jpeg_get_ebml__IO(k);
            check(back != nullptr, "embedded document comes back");
            check(serialised(back) == bytes, "the same document");
            kx_Ebml_delete__OI(back);
            image_jpeg *plain = image_jpeg_new_from_jpeg_without_ebml__IO(k);
            check(plain != nullptr, "copy without documents");
            kx_Ebml *none = image_jpeg_get_ebml__IO(plain);
            check(none == nullptr, "no document left");
            image_jpeg_delete__OI(&plain);
            image_jpeg_delete__OI(&k);
        }
        fclose(f);
        kx_Ebml_delete__OI(doc);
    }
    image_jpeg_delete__OI(&j);
    return 0;
}
