// Storage engine shared by the object list and the record list.
//
// Both records start with the same fields (array, start, count, mask, mutex); they
// differ only in the slot size. The engine works on a copy of those fields (Raw):
// an operation loads the record, changes the copy and stores it back only when it
// succeeded, so a failed allocation or a refused growth leaves the list untouched.
//
// Capacity is not stored. What is known about it: it is a multiple of the granule G,
// at least start + count, and at least G whenever array is not null.
#pragma once

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <pthread.h>

#include "core/log.hpp"

namespace kx::list {

// Every index must fit the int results of lookups.
inline constexpr size_t kMaxCount = INT32_MAX;
// start, count and every slot number are kept in 32-bit fields.
inline constexpr size_t kMaxSlots = UINT32_MAX;

struct Raw {
    unsigned char *array;
    size_t start;
    size_t count;
    size_t granule;
    size_t elementSize;

    unsigned char *slot(size_t i) const { return array + (start + i) * elementSize; }
    size_t end() const { return start + count; }
    size_t roundUp(size_t n) const { return (n + granule - 1) / granule * granule; }
    // The capacity the list can rely on without having stored it.
    size_t knownCapacity() const {
        if (array == nullptr) return 0;
        size_t c = roundUp(end());
        return c < granule ? granule : c;
    }
};

// Holds a list mutex for one scope.
class Guard {
public:
    explicit Guard(pthread_mutex_t *mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
    ~Guard() { pthread_mutex_unlock(mutex_); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;

private:
    pthread_mutex_t *mutex_;
};

// Byte size of `slots` slots, or false when it cannot be represented.
inline bool slotBytes(size_t slots, size_t elementSize, size_t *bytes) {
    if (slots > kMaxSlots) return false;
    if (elementSize != 0 && slots > SIZE_MAX / elementSize) return false;
    *bytes = slots * elementSize;
    return true;
}

// Resizes r.array to `slots` slots; r is changed only on success.
inline bool reallocSlots(Raw &r, size_t slots) {
    size_t bytes = 0;
    if (!slotBytes(slots, r.elementSize, &bytes)) {
        KX_LOGE("list capacity of %zu slots of %zu bytes refused", slots, r.elementSize);
        return false;
    }
    void *p = realloc(r.array, bytes);
    if (p == nullptr) {
        KX_LOGE("realloc(%zu) failed: %s", bytes, kx::errtext(errno));
        return false;
    }
    r.array = static_cast<unsigned char *>(p);
    return true;
}

inline bool countFits(const Raw &r, size_t k) {
    if (k > kMaxCount - r.count) {
        KX_LOGE("list of %zu elements cannot take %zu more", r.count, k);
        return false;
    }
    return true;
}

// Makes room for k elements at slots [end, end + k), possibly moving the elements or
// restarting an empty list. `bulk` selects the rules of the run appends. The caller
// writes the run at slot(count) and adds k to count.
// Returns 1 (no allocation), 2 (allocated) or -1 (refused or out of memory).
inline int growTail(Raw &r, size_t k, bool bulk) {
    if (k == 0) return 1;
    if (!countFits(r, k)) return -1;
    const size_t G = r.granule;
    const size_t end = r.end();
    const size_t room = (end % G) != 0 ? G - end % G : 0;
    if (r.array != nullptr && k <= room) return 1;
    if (r.count == 0) {
        if (!bulk) {
            if (r.start >= G) {
                // A whole granule or more is free at the head: restart there.
                r.start = r.start > G ? G : 0;
                return 1;
            }
            if (r.array != nullptr) {
                r.start = 0;
                return 1;
            }
            if (!reallocSlots(r, G)) return -1;
            r.start = 0;
            return 2;
        }
        // An empty list takes a run at slot 0.
        const size_t cap = r.knownCapacity();
        r.start = 0;
        if (k <= cap) return 1;
        return reallocSlots(r, r.roundUp(k)) ? 2 : -1;
    }
    if (r.start >= G && (!bulk || r.start > k)) {
        memmove(r.array, r.slot(0), r.count * r.elementSize);
        r.start = 0;
        return 1;
    }
    const size_t slots = bulk ? r.roundUp(end + k) : end + G;
    return reallocSlots(r, slots) ? 2 : -1;
}

// Makes room for k elements before the first one (afterwards start >= k). The caller
// subtracts k from start, writes the run at slot(0) and adds k to count.
// Returns 1, 2 or -1 like growTail.
inline int growHead(Raw &r, size_t k, bool bulk) {
    if (k == 0) return 1;
    if (!countFits(r, k)) return -1;
    if (r.start >= k) return 1;
    const size_t G = r.granule;
    if (!bulk && r.count == 0 && r.array != nullptr) {
        // Reuse the storage, the element lands in the middle of the first granule.
        r.start = (G - 1) / 2 + 1;
        return 2;
    }
    // Rebuild: a head area of k rounded up to granules, then the elements.
    const size_t head = r.roundUp(k);
    const size_t slots = head + r.roundUp(r.count);
    size_t bytes = 0;
    if (!slotBytes(slots, r.elementSize, &bytes)) {
        KX_LOGE("list capacity of %zu slots of %zu bytes refused", slots, r.elementSize);
        return -1;
    }
    auto *p = static_cast<unsigned char *>(malloc(bytes));
    if (p == nullptr) {
        KX_LOGE("malloc(%zu) failed: %s", bytes, kx::errtext(errno));
        return -1;
    }
    if (r.count != 0) memcpy(p + head * r.elementSize, r.slot(0), r.count * r.elementSize);
    free(r.array);
    r.array = p;
    r.start = head;
    return 2;
}

// Inserts the element bytes at position index (0 <= index <= count), moving the
// shorter side. Returns 1, 2 or -1 (also for an index beyond the end).
inline int insertAt(Raw &r, size_t index, const void *element) {
    if (index > r.count) {
        KX_LOGE("index %zu beyond %zu elements", index, r.count);
        return -1;
    }
    const size_t es = r.elementSize;
    int rc;
    if (index >= r.count / 2) {
        rc = growTail(r, 1, false);
        if (rc < 0) return rc;
        memmove(r.slot(index + 1), r.slot(index), (r.count - index) * es);
    } else {
        rc = growHead(r, 1, false);
        if (rc < 0) return rc;
        r.start -= 1;
        memmove(r.slot(0), r.slot(1), index * es);
    }
    memcpy(r.slot(index), element, es);
    r.count += 1;
    return rc;
}

// Removes position index (< count), moving the shorter side.
inline void removeAt(Raw &r, size_t index) {
    const size_t es = r.elementSize;
    const size_t remaining = r.count - 1;
    if (index * 2 >= remaining) {
        memmove(r.slot(index), r.slot(index + 1), (remaining - index) * es);
    } else {
        memmove(r.slot(1), r.slot(0), index * es);
        r.start += 1;
    }
    r.count = remaining;
}

// First position in [0, n) whose element the key does not sort after.
// sortsAfter(i) > 0 means the key sorts after element i.
template <class SortsAfter>
size_t lowerBound(size_t n, SortsAfter sortsAfter) {
    size_t lo = 0, hi = n;
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (sortsAfter(mid) > 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// Index of the element equal to the key in a sorted run of n, or -1.
template <class SortsAfter>
int findOrdered(size_t n, SortsAfter sortsAfter) {
    if (n == 0) return -1;
    const size_t lb = lowerBound(n, sortsAfter);
    if (lb < n && sortsAfter(lb) == 0) return static_cast<int>(lb);
    return -1;
}

}  // namespace kx::list
