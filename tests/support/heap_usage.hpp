// Bytes the process holds on the heap right now, for tests that bound what an operation
// allocates (the sanitizers' allocator under ASan, glibc's counters otherwise).
#pragma once

#include <stddef.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// From the sanitizer runtime (sanitizer/allocator_interface.h, which g++ does not ship).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#else
#include <malloc.h>
#endif

namespace kxtest {

inline size_t heapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;  // small chunks plus mmapped large blocks
#endif
}

}  // namespace kxtest
