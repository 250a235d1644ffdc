// kx_String records, files, search and comparison, number/address checks, INI lookup,
// encoding detection and character counting, hex output and the module self-test.
#include "kx/string.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "core/log.hpp"
#include "core/selftest.hpp"
#include "core/string_internal.hpp"
#include "kx/objectlist.h"

namespace kx::str {

kx_String *allocate(uint32_t lenth) {
    auto *s = static_cast<kx_String *>(malloc(sizeof(kx_String)));
    if (s == nullptr) return nullptr;
    s->buffer = static_cast<char *>(malloc(static_cast<size_t>(lenth) + 1));
    if (s->buffer == nullptr) {
        free(s);
        return nullptr;
    }
    s->buffer[lenth] = 0;
    s->lenth = lenth;
    return s;
}

bool write_all(FILE *stream, const void *data, size_t size) {
    return size == 0 || fwrite(data, 1, size, stream) == size;
}

bool finish_file(FILE *file) {
    bool ok = fflush(file) == 0 && !ferror(file);
    if (fclose(file) != 0) ok = false;
    return ok;
}

}  // namespace kx::str

namespace {

using kx::str::allocate;

std::string_view view(uint32_t lenth, const char *bytes) {
    return lenth == 0 || bytes == nullptr ? std::string_view() : std::string_view(bytes, lenth);
}

// Reads everything from file (regular or not) into a string with room around the data.
kx_String *read_file(const char *path, uint32_t headRoom, uint32_t tailRoom) {
    if (path == nullptr) return nullptr;
    FILE *file = fopen(path, "rb");
    if (file == nullptr) {
        KX_LOGE("Open the file:\"%s\" error:\"%s\".", path, kx::errtext(errno));
        return nullptr;
    }
    if (static_cast<size_t>(headRoom) + tailRoom > UINT32_MAX) {
        fclose(file);
        KX_LOGE("Read the file:\"%s\" error:\"%s\".", path, kx::errtext(EFBIG));
        return nullptr;
    }
    const size_t limit = UINT32_MAX - static_cast<size_t>(headRoom) - tailRoom;  // room for the data
    struct stat st;
    size_t capacity = 4096;
    if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        capacity = static_cast<size_t>(st.st_size) + 1;  // one more byte to see the end
    if (capacity > limit + 1) capacity = limit + 1;
    char *data = static_cast<char *>(malloc(capacity));
    size_t size = 0;
    bool failed = data == nullptr;
    int err = ENOMEM;
    while (!failed) {
        if (size == capacity) {
            if (capacity > limit) {  // more than fits a record
                failed = true;
                err = EFBIG;
                break;
            }
            size_t grown = capacity * 2 > limit + 1 ? limit + 1 : capacity * 2;
            char *bigger = static_cast<char *>(realloc(data, grown));
            if (bigger == nullptr) {
                failed = true;
                break;
            }
            data = bigger;
            capacity = grown;
        }
        size_t n = fread(data + size, 1, capacity - size, file);
        size += n;
        if (n == 0) {
            if (ferror(file)) {
                failed = true;
                err = errno != 0 ? errno : EIO;
            }
            break;
        }
    }
    fclose(file);
    if (!failed && size > limit) {
        failed = true;
        err = EFBIG;
    }
    kx_String *s = failed ? nullptr : allocate(static_cast<uint32_t>(headRoom + size + tailRoom));
    if (s == nullptr) {
        free(data);
        KX_LOGE("Read the file:\"%s\" error:\"%s\".", path, kx::errtext(failed ? err : ENOMEM));
        return nullptr;
    }
    memset(s->buffer, 0, headRoom);
    if (size > 0) memcpy(s->buffer + headRoom, data, size);
    memset(s->buffer + headRoom + size, 0, tailRoom);
    free(data);
    return s;
}

// Lead byte of a UTF-8 sequence as check_code reads it: continuation count, or -1 (not a lead).
int check_code_followers(unsigned char c) {
    if (c < 0x80) return 0;
    if (c >= 0xC0 && c <= 0xDF) return 1;
    if (c >= 0xE0 && c <= 0xEF) return 2;
    if (c >= 0xF0 && c <= 0xF7) return 3;
    if (c >= 0xF8 && c <= 0xFB) return 4;
    if (c == 0xFE) return 5;
    return -1;
}

// Sequence length of a lead byte as the character counter reads it, or 0 (not a lead).
uint32_t utf8_sequence_length(unsigned char c) {
    if (c < 0x80) return 1;
    if (c >= 0xC0 && c <= 0xDF) return 2;
    if (c >= 0xE0 && c <= 0xEF) return 3;
    if (c >= 0xF0 && c <= 0xF7) return 4;
    if (c >= 0xF8 && c <= 0xFB) return 5;
    if (c >= 0xFC && c <= 0xFD) return 6;
    if (c == 0xFE) return 7;
    return 0;
}

int clamp_int(size_t n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); }

// Walks the characters: widthMode false counts them, true adds 1 or 2 columns. 0 on errors.
uint32_t walk_chars(uint32_t lenth, const char *bytes, int code, bool widthMode) {
    if (lenth == 0 || bytes == nullptr) return 0;
    if (code == 0) code = kx_String_buffer_check_code(lenth, bytes);
    const auto *p = reinterpret_cast<const unsigned char *>(bytes);
    uint64_t result = 0;
    size_t i = 0;
    switch (code) {
        case 0:
            KX_LOGE("Can not check code,data:\"%.*s\".", clamp_int(lenth), bytes);
            return 0;
        case 1:
            return lenth;
        case 3:
            while (i < lenth) {
                if (p[i] < 0x80) {
                    result += 1;
                    i += 1;
                } else if (lenth - i >= 2) {
                    result += widthMode ? 2 : 1;
                    i += 2;
                } else {
                    KX_LOGE("Invalid data:\"%.*s\".", clamp_int(lenth - i), bytes + i);
                    return 0;
                }
            }
            break;
        case 2:
            while (i < lenth) {
                uint32_t n = utf8_sequence_length(p[i]);
                if (n == 0 || lenth - i < n) {
                    KX_LOGE("Invalid data:\"%.*s\".", clamp_int(lenth - i), bytes + i);
                    return 0;
                }
                result += (widthMode && n > 1) ? 2 : 1;
                i += n;
            }
            break;
        default:
            return 0;
    }
    return result > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(result);
}

bool is_ini_blank(char c) { return c == '\r' || c == '\n' || c == ' ' || c == '\0'; }
bool is_line_end(char c) { return c == '\r' || c == '\n' || c == '\0'; }

}  // namespace

extern "C" {

// ---- creation and release ----

kx_String *kx_String_new__IO(uint32_t lenth) {
    if (lenth == 0) {
        auto *s = static_cast<kx_String *>(malloc(sizeof(kx_String)));
        if (s != nullptr) {
            s->buffer = nullptr;
            s->lenth = 0;
        }
        return s;
    }
    return allocate(lenth);
}

kx_String *kx_String_new_form_stringBuffer__IO(const char *bytes, uint32_t lenth) {
    if (bytes == nullptr && lenth > 0) return nullptr;
    kx_String *s = allocate(lenth);
    if (s != nullptr && lenth > 0) memcpy(s->buffer, bytes, lenth);
    return s;
}

kx_String *kx_String_new_form_stringBuffer__IO__OI(char *bytes, uint32_t lenth) {
    if (bytes == nullptr && lenth > 0) return nullptr;
    auto *s = static_cast<kx_String *>(malloc(sizeof(kx_String)));
    if (s == nullptr) return nullptr;
    s->buffer = bytes;
    s->lenth = lenth;
    return s;
}

kx_String *kx_String_new_form_string__IO(const char *text) {
    if (text == nullptr) return nullptr;
    size_t n = strlen(text);
    if (n > UINT32_MAX) return nullptr;
    return kx_String_new_form_stringBuffer__IO(text, static_cast<uint32_t>(n));
}

kx_String *kx_String_new_form_file__IO(const char *path) { return read_file(path, 0, 0); }

kx_String *kx_String_new_form_file_custom__IO(const char *path, uint32_t headRoom, uint32_t tailRoom) {
    return read_file(path, headRoom, tailRoom);
}

kx_String *kx_String_new_form_list__IO(const kx_ObjectList *list) {
    if (list == nullptr || list->count == 0) return nullptr;
    size_t total = 0;
    for (uint32_t i = 0; i < list->count; ++i) {
        auto *piece = static_cast<const kx_String *>(list->array[list->start + i]);
        if (piece != nullptr) total += piece->lenth;
        if (total > UINT32_MAX) return nullptr;
    }
    if (total == 0) return nullptr;
    kx_String *s = allocate(static_cast<uint32_t>(total));
    if (s == nullptr) return nullptr;
    size_t at = 0;
    for (uint32_t i = 0; i < list->count; ++i) {
        auto *piece = static_cast<const kx_String *>(list->array[list->start + i]);
        if (piece == nullptr || piece->lenth == 0) continue;
        memcpy(s->buffer + at, piece->buffer, piece->lenth);
        at += piece->lenth;
    }
    return s;
}

kx_String *kx_String_cat__IO(const char *text1, const char *text2) {
    size_t n1 = text1 != nullptr ? strlen(text1) : 0;
    size_t n2 = text2 != nullptr ? strlen(text2) : 0;
    if (n1 > UINT32_MAX || n2 > UINT32_MAX - n1) return nullptr;
    kx_String *s = allocate(static_cast<uint32_t>(n1 + n2));
    if (s == nullptr) return nullptr;
    if (n1 > 0) memcpy(s->buffer, text1, n1);
    if (n2 > 0) memcpy(s->buffer + n1, text2, n2);
    return s;
}

kx_String *kx_String_copy__IO(const kx_String *string) {
    if (string == nullptr) return nullptr;
    return kx_String_new_form_stringBuffer__IO(string->buffer, string->lenth);
}

kx_String *kx_String_sub__IO(const uint32_t *position, const char *bytes, uint32_t lenth) {
    if (position == nullptr || (bytes == nullptr && lenth > 0)) return nullptr;
    return kx_String_new_form_stringBuffer__IO(lenth > 0 ? bytes + *position : nullptr, lenth);
}

// Shared strings: the references beyond the first of every string handed to
// kx_String_share__IO, in a few locked tables keyed by the record. A string that was never
// shared is not in them; while no string is shared, releases do not look at all.
namespace {

struct ShareTable {
    std::mutex mutex;
    std::unordered_map<const kx_String *, uint32_t> extra;
};
constexpr size_t kShareTables = 16;
std::atomic<size_t> g_sharedStrings{0};

ShareTable &share_table(const kx_String *s) {
    // Never destroyed: strings may be released by other objects' destructors at exit.
    static ShareTable *tables = new ShareTable[kShareTables];
    return tables[(reinterpret_cast<uintptr_t>(s) >> 4) % kShareTables];
}

// Drops one reference; true when it was the last (the caller frees the string).
bool release_reference(const kx_String *s) {
    if (g_sharedStrings.load(std::memory_order_acquire) == 0) return true;
    ShareTable &t = share_table(s);
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.extra.find(s);
    if (it == t.extra.end()) return true;
    if (--it->second == 0) {
        t.extra.erase(it);
        g_sharedStrings.fetch_sub(1, std::memory_order_release);
    }
    return false;
}

}  // namespace

kx_String *kx_String_share__IO(kx_String *string) {
    if (string == nullptr) return nullptr;
    ShareTable &t = share_table(string);
    std::lock_guard<std::mutex> lock(t.mutex);
    auto [it, fresh] = t.extra.try_emplace(string, 0);
    if (fresh) g_sharedStrings.fetch_add(1, std::memory_order_release);
    ++it->second;
    return string;
}

uint32_t kx_String_shareCount(const kx_String *string) {
    if (string == nullptr) return 0;
    if (g_sharedStrings.load(std::memory_order_acquire) == 0) return 1;
    ShareTable &t = share_table(string);
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.extra.find(string);
    return it == t.extra.end() ? 1 : it->second + 1;
}

void kx_String_delete__OI(kx_String *string) {
    if (string == nullptr || !release_reference(string)) return;
    free(string->buffer);
    free(string);
}

char *kx_String_delete__OI__IO(kx_String *string) {
    if (string == nullptr) return nullptr;
    if (kx_String_shareCount(string) > 1) {
        // Others still read this buffer: the caller gets its own copy.
        char *copy = nullptr;
        if (string->lenth > 0) {
            copy = static_cast<char *>(malloc(static_cast<size_t>(string->lenth) + 1));
            if (copy != nullptr) {
                memcpy(copy, string->buffer, string->lenth);
                copy[string->lenth] = 0;
            }
        }
        if (!release_reference(string)) return copy;
        free(copy);  // the others let go meanwhile: this reference is the last after all
    }
    char *buffer = string->buffer;
    if (string->lenth == 0) {
        free(buffer);
        buffer = nullptr;
    }
    free(string);
    return buffer;
}

int kx_String_buffer_save_to_file(uint32_t lenth, const char *bytes, const char *path) {
    if (path == nullptr || (bytes == nullptr && lenth > 0)) return -1;
    FILE *file = fopen(path, "wb");
    if (file == nullptr) {
        KX_LOGS("kx_String_buffer_save_to_file", "Open the file:\"%s\" failed.", path);
        return -1;
    }
    bool ok = kx::str::write_all(file, bytes, lenth);
    if (!kx::str::finish_file(file)) ok = false;
    if (!ok) {
        KX_LOGS("kx_String_buffer_save_to_file", "Write the file:\"%s\" failed.", path);
        return -2;
    }
    return 1;
}

int kx_String_save_to_file(const kx_String *string, const char *path) {
    if (string == nullptr || string->lenth == 0) return 0;
    return kx_String_buffer_save_to_file(string->lenth, string->buffer, path);
}

// ---- search and comparison ----

long kx_String_buffer_indexOf(uint32_t lenth, const char *bytes, char c) {
    size_t at = view(lenth, bytes).find(c);
    return at == std::string_view::npos ? -1 : static_cast<long>(at);
}

long kx_String_buffer_lastIndexOf(uint32_t lenth, const char *bytes, char c) {
    size_t at = view(lenth, bytes).rfind(c);
    return at == std::string_view::npos ? -1 : static_cast<long>(at);
}

long kx_String_buffer_indexOf_stringBuffer(uint32_t lenth, const char *bytes, uint32_t subLen, const char *sub) {
    if (sub == nullptr && subLen > 0) return -1;
    size_t at = view(lenth, bytes).find(view(subLen, sub));
    return at == std::string_view::npos ? -1 : static_cast<long>(at);
}

long kx_String_buffer_indexOf_string(uint32_t lenth, const char *bytes, const char *text) {
    if (text == nullptr) return -1;
    size_t at = view(lenth, bytes).find(std::string_view(text));
    return at == std::string_view::npos ? -1 : static_cast<long>(at);
}

long kx_String_lastIndexOfString(const kx_String *string, const char *text) {
    if (string == nullptr || text == nullptr) return -1;
    size_t at = view(string->lenth, string->buffer).rfind(std::string_view(text));
    return at == std::string_view::npos ? -1 : static_cast<long>(at);
}

char *kx_String_buffer_posOf_buffer(uint32_t lenth, const char *bytes, uint32_t subLen, const char *sub) {
    long at = kx_String_buffer_indexOf_stringBuffer(lenth, bytes, subLen, sub);
    if (at < 0 || bytes == nullptr) return nullptr;
    return const_cast<char *>(bytes) + at;
}

char *kx_String_buffer_posOf_string(uint32_t lenth, const char *bytes, const char *text) {
    long at = kx_String_buffer_indexOf_string(lenth, bytes, text);
    if (at < 0 || bytes == nullptr) return nullptr;
    return const_cast<char *>(bytes) + at;
}

int kx_String_buffer_beginWith_by_String(uint32_t lenth, const char *bytes, const kx_String *prefix) {
    if (prefix == nullptr) return -1;
    return view(lenth, bytes).starts_with(view(prefix->lenth, prefix->buffer)) ? 1 : -1;
}

int kx_String_buffer_beginWith(uint32_t lenth, const char *bytes, const char *text) {
    if (text == nullptr) return -1;
    return view(lenth, bytes).starts_with(std::string_view(text)) ? 1 : -1;
}

int kx_String_beginWith(const kx_String *string, const char *text) {
    if (string == nullptr) return -1;
    return kx_String_buffer_beginWith(string->lenth, string->buffer, text);
}

int kx_String_buffer_endWith_buffer(uint32_t lenth, const char *bytes, uint32_t suffixLen, const char *suffix) {
    if (suffix == nullptr && suffixLen > 0) return -1;
    return view(lenth, bytes).ends_with(view(suffixLen, suffix)) ? 1 : -1;
}

int kx_String_buffer_endWith(uint32_t lenth, const char *bytes, const char *text) {
    if (text == nullptr) return -1;
    return view(lenth, bytes).ends_with(std::string_view(text)) ? 1 : -1;
}

int kx_String_buffer_cmp(uint32_t aLen, const char *a, uint32_t bLen, const char *b) {
    if (a == nullptr) aLen = 0;
    if (b == nullptr) bLen = 0;
    if (aLen == 0) return bLen == 0 ? 0 : -1;
    if (bLen == 0) return 1;
    uint32_t n = aLen < bLen ? aLen : bLen;
    for (uint32_t i = 0; i < n; ++i) {
        auto x = static_cast<signed char>(a[i]);
        auto y = static_cast<signed char>(b[i]);
        if (x != y) return x > y ? 1 : -1;
    }
    return 0;
}

int kx_String_cmp(const kx_String *a, const kx_String *b) {
    return kx_String_buffer_cmp(a ? a->lenth : 0, a ? a->buffer : nullptr, b ? b->lenth : 0, b ? b->buffer : nullptr);
}

int kx_String_buffer_isDigit(uint32_t lenth, const char *bytes) {
    if (lenth > 255 || (bytes == nullptr && lenth > 0)) return -1;
    for (uint32_t i = 0; i < lenth; ++i)
        if (bytes[i] < '0' || bytes[i] > '9') return -1;
    return 1;
}

int kx_String_buffer_isIPv4(uint32_t lenth, const char *bytes) {
    if (lenth == 0 || lenth > 255 || bytes == nullptr) return -1;
    int dots = 0;
    uint32_t groupStart = 0;
    for (uint32_t i = 0; i <= lenth; ++i) {
        if (i < lenth && bytes[i] != '.') {
            if (bytes[i] < '0' || bytes[i] > '9') return -1;
            continue;
        }
        // End of a group at i.
        uint32_t n = i - groupStart;
        if (n == 0 || n > 3) return -1;
        // A group is an octet: 256-259 pass a first/second-digit check alone, so the value is compared.
        if (n == 3 && (bytes[groupStart] - '0') * 100 + (bytes[groupStart + 1] - '0') * 10 + (bytes[groupStart + 2] - '0') > 255)
            return -1;
        if (i < lenth && ++dots > 3) return -1;
        groupStart = i + 1;
    }
    return dots == 3 ? 1 : -1;
}

long kx_String_to_long(uint32_t lenth, const char *text, long defaultValue) {
    if (text == nullptr) return defaultValue;
    size_t n = lenth;
    if (n == 0) n = strnlen(text, 256);
    if (n == 0 || n > 255) return defaultValue;
    size_t i = 0;
    while (i < n && text[i] == '0') ++i;
    if (n - i > 10) return defaultValue;
    int64_t value = 0;
    for (; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') return defaultValue;
        value = value * 10 + (text[i] - '0');
    }
    return value > INT32_MAX ? defaultValue : static_cast<long>(value);
}

char *kx_String_ini_get(kx_String *string, const char *section, const char *key) {
    if (string == nullptr || string->buffer == nullptr || section == nullptr || key == nullptr) return nullptr;
    char *s = string->buffer;
    const size_t n = string->lenth;
    const std::string_view wantSection(section), wantKey(key);
    size_t i = 0;
    while (i < n) {
        const void *open = memchr(s + i, '[', n - i);
        if (open == nullptr) return nullptr;
        size_t nameStart = static_cast<size_t>(static_cast<const char *>(open) - s) + 1;
        const void *close = memchr(s + nameStart, ']', n - nameStart);
        if (close == nullptr) return nullptr;
        size_t nameEnd = static_cast<size_t>(static_cast<const char *>(close) - s);
        i = nameEnd + 1;
        if (std::string_view(s + nameStart, nameEnd - nameStart) != wantSection) continue;
        // The section's lines, up to the next '[' at the start of a line.
        while (i < n) {
            while (i < n && is_ini_blank(s[i])) ++i;
            if (i >= n || s[i] == '[') return nullptr;
            size_t lineStart = i;
            while (i < n && !is_line_end(s[i])) ++i;
            size_t lineEnd = i;
            const void *eq = memchr(s + lineStart, '=', lineEnd - lineStart);
            if (eq == nullptr) continue;
            size_t eqAt = static_cast<size_t>(static_cast<const char *>(eq) - s);
            if (std::string_view(s + lineStart, eqAt - lineStart) != wantKey) continue;
            size_t valueStart = eqAt + 1;
            while (valueStart < lineEnd && s[valueStart] == ' ') ++valueStart;
            size_t valueEnd = lineEnd;
            while (valueEnd > valueStart && s[valueEnd - 1] == ' ') --valueEnd;
            if (valueEnd == valueStart) continue;  // empty value: as if absent
            s[valueEnd] = '\0';  // valueEnd <= lenth: the buffer holds lenth + 1 bytes
            return s + valueStart;
        }
        return nullptr;
    }
    return nullptr;
}

// ---- encoding ----

int kx_String_buffer_check_code(uint32_t lenth, const char *bytes) {
    if (bytes == nullptr) return 1;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes);
    uint32_t i = 0;
    while (i < lenth && p[i] < 0x80) ++i;
    if (i == lenth) return 1;
    bool seenLong = false;
    i = 0;
    while (i < lenth) {
        int followers = check_code_followers(p[i]);
        if (followers < 0) return 3;
        if (seenLong) return 2;
        if (static_cast<uint32_t>(followers) > lenth - i - 1) return 3;  // cut short
        for (int k = 1; k <= followers; ++k)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) return 3;
        if (followers >= 2) seenLong = true;
        i += static_cast<uint32_t>(followers) + 1;
    }
    return seenLong ? 2 : 0;
}

int kx_String_check_code(const kx_String *string) {
    if (string == nullptr) return 1;
    return kx_String_buffer_check_code(string->lenth, string->buffer);
}

uint32_t kx_String_buffer_get_chars(uint32_t lenth, const char *bytes, int code) {
    return walk_chars(lenth, bytes, code, false);
}

uint32_t kx_String_buffer_get_chars_width(uint32_t lenth, const char *bytes, int code) {
    return walk_chars(lenth, bytes, code, true);
}

// ---- hex output ----

int kx_String_buffer_out_hex(uint32_t lenth, const void *bytes, FILE *stream) {
    if (stream == nullptr || (bytes == nullptr && lenth > 0)) return -1;
    static const char kDigits[] = "0123456789abcdef";
    const auto *p = static_cast<const unsigned char *>(bytes);
    char chunk[3 * 256];
    size_t used = 0;
    for (uint32_t i = 0; i < lenth; ++i) {
        if (i > 0) chunk[used++] = ',';
        chunk[used++] = kDigits[p[i] >> 4];
        chunk[used++] = kDigits[p[i] & 15];
        if (used > sizeof chunk - 3) {
            if (!kx::str::write_all(stream, chunk, used)) return -2;
            used = 0;
        }
    }
    return kx::str::write_all(stream, chunk, used) ? 1 : -2;
}

int kx_String_buffer_printf_hex(uint32_t lenth, const void *bytes, FILE *stream) {
    if (stream == nullptr || (bytes == nullptr && lenth > 0)) return -1;
    const auto *p = static_cast<const unsigned char *>(bytes);
    for (uint32_t i = 0; i < lenth; ++i)
        if (fprintf(stream, i == 0 ? "%02hhx" : ",%02hhx", p[i]) < 0) return -2;
    return 1;
}

// ---- self-test ----

int kx_String_test(void) {
    kx::SelfTest t(__func__);
    kx_String *b64 = kx_String_buffer_encode_by_base64__IO(3, "abc");
    t.check(b64 != nullptr && b64->lenth == 4 && memcmp(b64->buffer, "YWJj", 5) == 0, "base64 encode");
    kx_String *back = b64 ? kx_String_decode_from_base64__IO(b64) : nullptr;
    t.check(back != nullptr && back->lenth == 3 && memcmp(back->buffer, "abc", 4) == 0, "base64 decode");
    kx_String_delete__OI(b64);
    kx_String_delete__OI(back);
    t.check(kx_String_buffer_crc("123456789", 9) == 0xCBF43926u, "crc32");
    char *md5 = kx_String_buffer_md5sum_string__IO(0, "", 0);
    t.check(md5 != nullptr && strcmp(md5, "d41d8cd98f00b204e9800998ecf8427e") == 0, "md5");
    free(md5);
    t.check(kx_String_to_long(5, "00123", -7) == 123 && kx_String_to_long(3, "12a", -7) == -7, "to_long");
    t.check(kx_String_buffer_isIPv4(13, "192.168.1.255") == 1 && kx_String_buffer_isIPv4(9, "260.1.1.1") == -1,
          "isIPv4");
    t.check(kx_String_buffer_check_code(3, "abc") == 1 && kx_String_buffer_check_code(3, "\xE2\x82\xAC") == 2,
          "check_code");
    t.check(kx_String_buffer_cmp(2, "ab", 3, "abc") == 0 && kx_String_buffer_cmp(0, "", 1, "a") == -1, "cmp");
    kx_String *printed = kx_String_print__IO(2, 1, "%05d|%s", 42, "x");
    t.check(printed != nullptr && printed->lenth == 7 && memcmp(printed->buffer + 2, "00042|x", 8) == 0, "print");
    kx_String_delete__OI(printed);
    return t.finish();
}

}  // extern "C"
