// The printf-style formatter that returns a counted string with head and tail room.
//
// The format is parsed into literal runs and validated conversion descriptors first (taking
// each argument with the type its descriptor names), then every conversion is measured and
// rendered with bounded snprintf from a format rebuilt from the descriptor, never from the
// caller's text. Combinations printf leaves undefined are refused instead of rendered.
#include <limits.h>
#include <stdarg.h>
#include <string.h>

#include <new>
#include <vector>

#include "core/log.hpp"
#include "core/string_internal.hpp"
#include "kx/string.h"

namespace {

enum class Len : unsigned char { none, hh, h, l, ll };

struct Piece {
    // Literal run of the format (conv == 0) or one conversion.
    char conv = 0;
    size_t at = 0, size = 0;  // literal run: offset and size in the format
    bool minus = false, plus = false, zero = false, hash = false;
    int width = -1, precision = -1;
    Len len = Len::none;
    long long i = 0;
    unsigned long long u = 0;
    double f = 0;
    const char *s = nullptr;
    size_t rendered = 0;  // measured output size
};

bool is_conversion(char c) { return c && strchr("duxXcsf", c) != nullptr; }
// Characters that belong to a conversion but stand in the wrong place.
bool is_directive_char(char c) { return c && strchr("-+0# .*hlLjzt'123456789", c) != nullptr; }

bool numeric_integer(char c) { return c == 'd' || c == 'u' || c == 'x' || c == 'X'; }

// Flags, precision and lengths whose meaning printf defines for the conversion.
bool descriptor_valid(const Piece &p) {
    if (p.plus && p.conv != 'd' && p.conv != 'f') return false;
    if (p.hash && p.conv != 'x' && p.conv != 'X' && p.conv != 'f') return false;
    if (p.zero && (p.conv == 'c' || p.conv == 's')) return false;
    if (p.precision >= 0 && p.conv == 'c') return false;
    switch (p.len) {
        case Len::none: return true;
        case Len::l: return numeric_integer(p.conv) || p.conv == 'f';
        default: return numeric_integer(p.conv);
    }
}

int clamp_index(size_t i) { return i > INT_MAX ? INT_MAX : static_cast<int>(i); }

// Rebuilds the printf directive of a conversion (integers always go through ll).
void directive_of(const Piece &p, char *out, size_t cap) {
    char flags[6];
    size_t n = 0;
    if (p.minus) flags[n++] = '-';
    if (p.plus) flags[n++] = '+';
    if (p.zero) flags[n++] = '0';
    if (p.hash) flags[n++] = '#';
    flags[n] = '\0';
    char width[16] = "", precision[16] = "";
    if (p.width >= 0) snprintf(width, sizeof width, "%d", p.width);
    if (p.precision >= 0) snprintf(precision, sizeof precision, ".%d", p.precision);
    snprintf(out, cap, "%%%s%s%s%s%c", flags, width, precision, numeric_integer(p.conv) ? "ll" : "", p.conv);
}

// Renders one conversion into (out, cap) with snprintf; its return value.
int render(const Piece &p, char *out, size_t cap) {
    char directive[64];
    directive_of(p, directive, sizeof directive);
    switch (p.conv) {
        case 'd': return snprintf(out, cap, directive, p.i);
        case 'u':
        case 'x':
        case 'X': return snprintf(out, cap, directive, p.u);
        case 'c': return snprintf(out, cap, directive, static_cast<int>(p.i));
        case 's': return snprintf(out, cap, directive, p.s != nullptr ? p.s : "(null)");
        case 'f': return snprintf(out, cap, directive, p.f);
        default: return -1;
    }
}

// Takes the conversion's argument with the type its descriptor names.
void fetch(Piece &p, va_list *arguments) {
    switch (p.conv) {
        case 'd':
            switch (p.len) {
                case Len::hh: p.i = static_cast<signed char>(va_arg(*arguments, int)); break;
                case Len::h: p.i = static_cast<short>(va_arg(*arguments, int)); break;
                case Len::l: p.i = va_arg(*arguments, long); break;
                case Len::ll: p.i = va_arg(*arguments, long long); break;
                default: p.i = va_arg(*arguments, int); break;
            }
            break;
        case 'u':
        case 'x':
        case 'X':
            switch (p.len) {
                case Len::hh: p.u = static_cast<unsigned char>(va_arg(*arguments, unsigned int)); break;
                case Len::h: p.u = static_cast<unsigned short>(va_arg(*arguments, unsigned int)); break;
                case Len::l: p.u = va_arg(*arguments, unsigned long); break;
                case Len::ll: p.u = va_arg(*arguments, unsigned long long); break;
                default: p.u = va_arg(*arguments, unsigned int); break;
            }
            break;
        case 'c': p.i = va_arg(*arguments, int); break;
        case 's': p.s = va_arg(*arguments, const char *); break;
        case 'f': p.f = va_arg(*arguments, double); break;
        default: break;
    }
}

// Parses the format into pieces; false (after the short record) on a bad format.
bool parse(const char *format, va_list *arguments, std::vector<Piece> &pieces) {
    const size_t n = strlen(format);
    size_t literal = 0, i = 0;
    auto flush_literal = [&](size_t end) {
        if (end > literal) {
            Piece p;
            p.at = literal;
            p.size = end - literal;
            pieces.push_back(p);
        }
    };
    while (i < n) {
        if (format[i] != '%') {
            ++i;
            continue;
        }
        flush_literal(i);
        if (format[i + 1] == '%') {  // "%%": the second sign is the literal
            literal = i + 1;
            i += 2;
            flush_literal(i);
            literal = i;
            continue;
        }
        Piece p;
        size_t j = i + 1;
        for (;; ++j) {
            bool *flag = format[j] == '-'   ? &p.minus
                         : format[j] == '+' ? &p.plus
                         : format[j] == '0' ? &p.zero
                         : format[j] == '#' ? &p.hash
                                            : nullptr;
            if (flag == nullptr) break;
            if (*flag) {
                KX_LOGS("kx_String_vprint__IO", "Invalid format:\"%s\" at'%c',i=%d.", format, format[j],
                        clamp_index(j));
                return false;
            }
            *flag = true;
        }
        auto number = [&](int &value) {
            long long v = 0;
            while (format[j] >= '0' && format[j] <= '9') {
                v = v * 10 + (format[j] - '0');
                if (v > INT_MAX) {
                    KX_LOGS("kx_String_vprint__IO", "Invalid format:\"%s\" at'%c',i=%d.", format, format[j],
                            clamp_index(j));
                    return false;
                }
                ++j;
            }
            value = static_cast<int>(v);
            return true;
        };
        if (format[j] >= '1' && format[j] <= '9' && !number(p.width)) return false;
        if (format[j] == '.') {
            ++j;
            if (!number(p.precision)) return false;
        }
        if (format[j] == 'h') {
            ++j;
            p.len = Len::h;
            if (format[j] == 'h') {
                ++j;
                p.len = Len::hh;
            }
        } else if (format[j] == 'l') {
            ++j;
            p.len = Len::l;
            if (format[j] == 'l') {
                ++j;
                p.len = Len::ll;
            }
        }
        char c = format[j];
        if (c == '\0') {
            KX_LOGS("kx_String_vprint__IO", "Invalid format:\"%s\",i=%d.", format, clamp_index(j));
            return false;
        }
        if (!is_conversion(c)) {
            if (is_directive_char(c))
                KX_LOGS("kx_String_vprint__IO", "Invalid format:\"%s\" after '%c',i=%d.", format, format[j - 1],
                        clamp_index(j));
            else
                KX_LOGS("kx_String_vprint__IO", "Unkown type:%c,format:\"%s\".", c, format);
            return false;
        }
        p.conv = c;
        if (!descriptor_valid(p)) {
            KX_LOGS("kx_String_vprint__IO", "Check failed,format:\"%s\".", format);
            return false;
        }
        fetch(p, arguments);
        pieces.push_back(p);
        i = j + 1;
        literal = i;
    }
    flush_literal(n);
    return true;
}

// A string of text size `text` with zeroed head and tail room, or null when it would not fit.
kx_String *allocate_with_room(uint32_t headRoom, uint32_t tailRoom, size_t text) {
    size_t total = static_cast<size_t>(headRoom) + tailRoom + text;
    if (total > UINT32_MAX) return nullptr;
    kx_String *s = kx::str::allocate(static_cast<uint32_t>(total));
    if (s == nullptr) return nullptr;
    memset(s->buffer, 0, total + 1);
    s->lenth = static_cast<uint32_t>(text);
    return s;
}

kx_String *vprint(uint32_t headRoom, uint32_t tailRoom, const char *format, va_list arguments) {
    if (format == nullptr) {
        KX_LOGS("kx_String_vprint__IO", "Check failed,format:\"%s\".", "(null)");
        return nullptr;
    }
    if (strchr(format, '%') == nullptr) {
        KX_LOGS("kx_String_vprint__IO", "parameterCount==0.");
        kx_String *s = allocate_with_room(headRoom, tailRoom, 0);
        if (s == nullptr) KX_LOGS("kx_String_vprint__IO", "Error,b=%lu,format:\"%s\".", 0ul, format);
        return s;
    }
    std::vector<Piece> pieces;
    va_list copy;
    va_copy(copy, arguments);
    bool parsed = false;
    try {
        parsed = parse(format, &copy, pieces);
    } catch (const std::bad_alloc &) {
        parsed = false;
    }
    va_end(copy);
    if (!parsed) return nullptr;
    const size_t room = static_cast<size_t>(headRoom) + tailRoom;
    size_t text = 0;
    for (Piece &p : pieces) {
        if (p.conv == 0) {
            p.rendered = p.size;
        } else {
            int len = render(p, nullptr, 0);
            if (len < 0) {
                KX_LOGS("kx_String_vprint__IO", "Error,b=%lu,format:\"%s\".", static_cast<unsigned long>(text),
                        format);
                return nullptr;
            }
            p.rendered = static_cast<size_t>(len);
        }
        text += p.rendered;
        if (text + room > UINT32_MAX) {
            KX_LOGS("kx_String_vprint__IO", "Error,b=%lu,format:\"%s\".", static_cast<unsigned long>(text), format);
            return nullptr;
        }
    }
    kx_String *s = allocate_with_room(headRoom, tailRoom, text);
    if (s == nullptr) {
        KX_LOGS("kx_String_vprint__IO", "Error,b=%lu,format:\"%s\".", static_cast<unsigned long>(text), format);
        return nullptr;
    }
    char *out = s->buffer + headRoom;
    size_t at = 0;
    for (const Piece &p : pieces) {
        if (p.conv == 0) {
            memcpy(out + at, format + p.at, p.size);
        } else {
            // Bounded by the measured size plus the NUL, which lands on the next byte of the text
            // or on the terminator after it.
            int len = render(p, out + at, p.rendered + 1);
            if (len < 0 || static_cast<size_t>(len) != p.rendered) {
                KX_LOGS("kx_String_vprint__IO", "Error,b=%lu,format:\"%s\".", static_cast<unsigned long>(at),
                        format);
                kx_String_delete__OI(s);
                return nullptr;
            }
        }
        at += p.rendered;
    }
    out[at] = '\0';
    return s;
}

}  // namespace

extern "C" {

kx_String *kx_String_vprint__IO(uint32_t headRoom, uint32_t tailRoom, const char *format, va_list arguments) {
    try {
        return vprint(headRoom, tailRoom, format, arguments);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

kx_String *kx_String_print__IO(uint32_t headRoom, uint32_t tailRoom, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    kx_String *s = kx_String_vprint__IO(headRoom, tailRoom, format, arguments);
    va_end(arguments);
    return s;
}

}  // extern "C"
