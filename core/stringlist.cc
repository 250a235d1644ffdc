// kx_StringList: owned heap strings on an object list, with their running total length.
#include "kx/stringlist.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/log.hpp"
#include "kx/objectlist.h"
#include "kx/string.h"

namespace {

constexpr unsigned char kGranuleExponent = 8;

char *element(const kx_StringList *list, size_t i) {
    return static_cast<char *>(list->list.array[static_cast<size_t>(list->list.start) + i]);
}

char *copyOf(const char *string) {
    const size_t n = strlen(string) + 1;
    auto *copy = static_cast<char *>(malloc(n));
    if (copy == nullptr) {
        KX_LOGE("malloc(%zu) failed: %s", n, kx::errtext(errno));
        return nullptr;
    }
    memcpy(copy, string, n);
    return copy;
}

bool lengthFits(const kx_StringList *list, size_t length) {
    if (length > UINT32_MAX - list->totalLength) {
        KX_LOGE("total length %u cannot take %zu more bytes", list->totalLength, length);
        return false;
    }
    return true;
}

enum class Where { Head, Tail, At };

// Stores a string the list already owns; 1 or -1 (nothing stored).
int storeAt(kx_StringList *list, Where where, size_t index, char *string) {
    if (string == nullptr) return -1;
    const size_t length = strlen(string);
    if (!lengthFits(list, length)) return -1;
    int rc;
    switch (where) {
        case Where::Head: rc = kx_ObjectList_insert_head(&list->list, string); break;
        case Where::Tail: rc = kx_ObjectList_insert_tail(&list->list, string); break;
        default: rc = kx_ObjectList_insert_at(&list->list, static_cast<uint32_t>(index), string); break;
    }
    if (rc < 0) return -1;
    list->totalLength += static_cast<uint32_t>(length);
    return 1;
}

// Plain forms: copy the string, and drop the copy when it could not be stored.
int storeCopy(kx_StringList *list, Where where, size_t index, const char *string) {
    if (string == nullptr || index > list->list.count) return -1;
    char *copy = copyOf(string);
    if (copy == nullptr) return -1;
    const int rc = storeAt(list, where, index, copy);
    if (rc < 0) free(copy);
    return rc;
}

int storeTaken(kx_StringList *list, Where where, size_t index, char *string) {
    if (index > list->list.count) return -1;
    return storeAt(list, where, index, string);
}

// Hands back the string at index, keeping totalLength in step.
char *takeAt(kx_StringList *list, uint32_t index) {
    if (index >= list->list.count) return nullptr;
    auto *string = static_cast<char *>(kx_ObjectList_remove_at(&list->list, index));
    const size_t length = strlen(string);
    list->totalLength -= length < list->totalLength ? static_cast<uint32_t>(length) : list->totalLength;
    return string;
}

// Bisection of the ascending / descending insertions: the slot for string, or -1
// when an equal string is already present.
int64_t sortedSlot(const kx_StringList *list, const char *string, bool descending) {
    int64_t lo = -1, hi = list->list.count;
    while (hi - lo > 1) {
        const int64_t mid = lo + (hi - lo) / 2;
        const int c = strcmp(string, element(list, static_cast<size_t>(mid)));
        const bool goesBefore = descending ? c > 0 : c < 0;
        if (goesBefore)
            hi = mid;
        else
            lo = mid;
    }
    if (lo >= 0 && strcmp(element(list, static_cast<size_t>(lo)), string) == 0) return -1;
    return hi;
}

// Sorted insertions: 1 stored, 0 equal string present, -1 not stored.
int insertSortedCopy(kx_StringList *list, const char *string, bool descending) {
    if (string == nullptr) return -1;
    const int64_t slot = sortedSlot(list, string, descending);
    return slot < 0 ? 0 : storeCopy(list, Where::At, static_cast<size_t>(slot), string);
}

int insertSortedTaken(kx_StringList *list, char *string, bool descending) {
    if (string == nullptr) return -1;
    const int64_t slot = sortedSlot(list, string, descending);
    return slot < 0 ? 0 : storeTaken(list, Where::At, static_cast<size_t>(slot), string);
}

// Moves other's strings to the head or tail of list, then frees other's record.
int moveAll(kx_StringList *list, kx_StringList *other, bool head) {
    if (other == nullptr || other == list) return -1;
    if (!lengthFits(list, other->totalLength)) return -1;
    const int rc = head ? kx_ObjectList_insert_head_all(&list->list, &other->list)
                        : kx_ObjectList_insert_tail_all(&list->list, &other->list);
    if (rc < 0) return -1;
    list->totalLength += other->totalLength;
    free(other->list.array);
    pthread_mutex_destroy(&other->list.mutex);
    free(other);
    return 1;
}

// strlen bounded to the 32-bit lengths of the string compare.
uint32_t length32(const char *s) {
    const size_t n = strlen(s);
    return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

bool put(const char *text, FILE *stream) { return text == nullptr || fputs(text, stream) != EOF; }

}  // namespace

extern "C" {

kx_StringList *kx_StringList_new__IO(void) {
    auto *list = static_cast<kx_StringList *>(calloc(1, sizeof(kx_StringList)));
    if (list == nullptr) {
        KX_LOGE("calloc(%zu) failed: %s", sizeof(kx_StringList), kx::errtext(errno));
        return nullptr;
    }
    list->list.mask = (1u << kGranuleExponent) - 1;
    pthread_mutex_init(&list->list.mutex, nullptr);
    return list;
}

void kx_StringList_delete__OI(kx_StringList *list) {
    if (list == nullptr) return;
    for (size_t i = 0; i < list->list.count; ++i) free(element(list, i));
    free(list->list.array);
    pthread_mutex_destroy(&list->list.mutex);
    free(list);
}

int kx_StringList_insert_head(kx_StringList *list, const char *string) {
    return storeCopy(list, Where::Head, 0, string);
}

int kx_StringList_insert_head__OI_2(kx_StringList *list, char *string) {
    return storeTaken(list, Where::Head, 0, string);
}

int kx_StringList_insert_tail(kx_StringList *list, const char *string) {
    return storeCopy(list, Where::Tail, 0, string);
}

int kx_StringList_insert_tail__OI_2(kx_StringList *list, char *string) {
    return storeTaken(list, Where::Tail, 0, string);
}

int kx_StringList_insert_at(kx_StringList *list, uint32_t index, const char *string) {
    return storeCopy(list, Where::At, index, string);
}

int kx_StringList_insert_at__OI_3(kx_StringList *list, uint32_t index, char *string) {
    return storeTaken(list, Where::At, index, string);
}

int kx_StringList_insert_head_all__OI_2(kx_StringList *list, kx_StringList *other) {
    return moveAll(list, other, true);
}

int kx_StringList_insert_tail_all__OI_2(kx_StringList *list, kx_StringList *other) {
    return moveAll(list, other, false);
}

int kx_StringList_insert_order__OI_2(kx_StringList *list, char *string, kx_StringList_compare_cb compare) {
    if (string == nullptr || compare == nullptr) return -1;
    size_t lo = 0, hi = list->list.count;
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (compare(string, element(list, mid)) > 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return storeAt(list, Where::At, lo, string) < 0 ? -1 : static_cast<int>(lo);
}

int kx_StringList_insert_ASC(kx_StringList *list, const char *string) {
    return insertSortedCopy(list, string, false);
}

int kx_StringList_insert_ASC__OI_2(kx_StringList *list, char *string) {
    return insertSortedTaken(list, string, false);
}

int kx_StringList_insert_DESC(kx_StringList *list, const char *string) {
    return insertSortedCopy(list, string, true);
}

int kx_StringList_insert_DESC__OI_2(kx_StringList *list, char *string) {
    return insertSortedTaken(list, string, true);
}

char *kx_StringList_get_at(const kx_StringList *list, uint32_t index) {
    return index < list->list.count ? element(list, index) : nullptr;
}

int kx_StringList_check_has(const kx_StringList *list, const char *string) {
    if (string == nullptr) return -1;
    const uint32_t length = length32(string);
    for (size_t i = 0; i < list->list.count; ++i) {
        const char *e = element(list, i);
        if (kx_String_buffer_cmp(length, string, length32(e), e) == 0) return static_cast<int>(i);
    }
    return -1;
}

char *kx_StringList_remove_head__IO(kx_StringList *list) { return takeAt(list, 0); }

char *kx_StringList_remove_tail__IO(kx_StringList *list) {
    return list->list.count == 0 ? nullptr : takeAt(list, list->list.count - 1);
}

char *kx_StringList_remove_at__IO(kx_StringList *list, uint32_t index) { return takeAt(list, index); }

char *kx_StringList_to_string__IO(const kx_StringList *list, const char *separator) {
    const size_t n = list->list.count;
    if (n == 0) return nullptr;
    const size_t separatorLength = (separator != nullptr && n >= 2) ? strlen(separator) : 0;
    // Sizes come from the strings themselves, so the result is right even if an element
    // was edited in place since it was stored.
    size_t total = 1;
    for (size_t i = 0; i < n; ++i) {
        const size_t length = strlen(element(list, i));
        if (length > SIZE_MAX - total) return nullptr;
        total += length;
    }
    if (separatorLength != 0) {
        if (separatorLength > (SIZE_MAX - total) / (n - 1)) return nullptr;
        total += (n - 1) * separatorLength;
    }
    auto *out = static_cast<char *>(malloc(total));
    if (out == nullptr) {
        KX_LOGE("malloc(%zu) failed: %s", total, kx::errtext(errno));
        return nullptr;
    }
    char *p = out;
    for (size_t i = 0; i < n; ++i) {
        if (i != 0 && separatorLength != 0) {
            memcpy(p, separator, separatorLength);
            p += separatorLength;
        }
        const char *e = element(list, i);
        const size_t length = strlen(e);
        memcpy(p, e, length);
        p += length;
    }
    *p = '\0';
    return out;
}

int kx_StringList_out(const kx_StringList *list, FILE *stream, const char *prefix, const char *suffix) {
    for (size_t i = 0; i < list->list.count; ++i) {
        if (!put(prefix, stream) || !put(element(list, i), stream) || !put(suffix, stream)) {
            KX_LOGE("write of element %zu failed: %s", i, kx::errtext(errno));
            return -2;
        }
    }
    return 1;
}

int kx_StringList_save_to_file(const kx_StringList *list, const char *path, const char *prefix,
                               const char *suffix) {
    FILE *file = fopen(path, "wb");
    if (file == nullptr) {
        KX_LOGE("fopen(%s) failed: %s", path, kx::errtext(errno));
        return -1;
    }
    int rc = kx_StringList_out(list, file, prefix, suffix);
    // Buffered bytes reach the file only now: a failed close is a failed save.
    if (fclose(file) != 0) {
        KX_LOGE("fclose(%s) failed: %s", path, kx::errtext(errno));
        rc = -2;
    }
    return rc;
}

}  // extern "C"
