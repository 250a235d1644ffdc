// The fuzz targets' invariant check: a broken invariant aborts with its description.
#pragma once

#include <stdio.h>
#include <stdlib.h>

namespace kxfuzz {

inline void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "check failed: %s\n", what);
        abort();
    }
}

}  // namespace kxfuzz
