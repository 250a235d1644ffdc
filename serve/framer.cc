// HTTP and standard framers of the socket pool (see framer.hpp).
#include "serve/framer.hpp"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "core/bytereader.hpp"
#include "core/string_internal.hpp"

namespace kx::pool {

namespace {

// A string record over a malloc'd buffer (taken over).
kx_String *wrap(char *buffer, size_t length) {
    auto *s = static_cast<kx_String *>(malloc(sizeof(kx_String)));
    if (s == nullptr) return nullptr;
    s->buffer = buffer;
    s->lenth = static_cast<uint32_t>(length);
    return s;
}

void put_le32(char *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

bool blank(char c) { return c == ' ' || c == '\t'; }

// Copies bytes through a framer's space()/commit() as reads would.
template <typename Framer>
int feed_through(Framer &f, const void *data, size_t size, Messages &out) {
    const auto *p = static_cast<const uint8_t *>(data);
    while (size > 0) {
        size_t room;
        uint8_t *dst = f.space(&room);
        if (dst == nullptr || room == 0) return f.commit(0, out);  // a failed framer: its own code
        size_t n = size < room ? size : room;
        memcpy(dst, p, n);
        p += n;
        size -= n;
        int rv = f.commit(n, out);
        if (rv != 1) return rv;
    }
    return 1;
}

}  // namespace

const char *frameErrorText(int code) {
    switch (code) {
        case kFrameHeaderTooLong: return "header too long";
        case kFrameBadContentLength: return "invalid Content-Length";
        case kFrameContentTooLong: return "Content-Length too large";
        case kFrameNoMemory: return "out of memory";
        case kFrameLengthTooLong: return "length too large";
        case kFrameLengthTooShort: return "length shorter than the head";
        case kFrameLengthRefused: return "length refused";
        default: return "ok";
    }
}

// ---- HTTP ----

HttpFramer::HttpFramer(const Limits &limits) : limits_(limits) {
    if (limits_.maxHeader < kChunk) limits_.maxHeader = kChunk;
    // Bodies are delivered in kx_String records, whose length is 32-bit.
    if (limits_.maxContent > UINT32_MAX - limits_.maxHeader - kTail)
        limits_.maxContent = UINT32_MAX - limits_.maxHeader - kTail;
}

HttpFramer::~HttpFramer() { free(buf_); }

void HttpFramer::reset() {
    free(buf_);
    buf_ = nullptr;
    cap_ = used_ = scanned_ = message_ = header_ = capBefore_ = 0;
    failed_ = false;
}

bool HttpFramer::reserve(size_t cap) {
    if (cap <= cap_ && buf_ != nullptr) return true;
    char *p = static_cast<char *>(realloc(buf_, cap + kTail));
    if (p == nullptr) return false;
    buf_ = p;
    cap_ = cap;
    return true;
}

uint8_t *HttpFramer::space(size_t *room) {
    *room = 0;
    if (failed_) return nullptr;
    if (buf_ == nullptr && !reserve(kChunk)) {
        failed_ = true;
        return nullptr;
    }
    *room = cap_ - used_;
    return reinterpret_cast<uint8_t *>(buf_ + used_);
}

int HttpFramer::commit(size_t n, Messages &out) {
    if (failed_) return kFrameNoMemory;
    if (n > cap_ - used_) n = cap_ - used_;
    used_ += n;
    int rv = scan(out);
    if (rv != 1) failed_ = true;
    return rv;
}

int HttpFramer::feed(const void *data, size_t size, Messages &out) { return feed_through(*this, data, size, out); }

int httpContentLength(const char *header, size_t headerLength, uint64_t maxContent, uint64_t *length) {
    static const char kName[] = "content-length:";
    const size_t nameLength = sizeof kName - 1;
    bool seen = false;
    uint64_t value = 0;
    size_t line = 0;
    while (line < headerLength) {
        const char *end = static_cast<const char *>(memchr(header + line, '\n', headerLength - line));
        size_t next = end ? static_cast<size_t>(end - header) + 1 : headerLength;
        size_t stop = next;  // line without its "\r\n"
        if (stop > line && header[stop - 1] == '\n') --stop;
        if (stop > line && header[stop - 1] == '\r') --stop;
        if (stop - line >= nameLength && strncasecmp(header + line, kName, nameLength) == 0) {
            size_t i = line + nameLength;
            while (i < stop && blank(header[i])) ++i;
            uint64_t v = 0;
            bool tooLong = false;
            size_t digits = 0;
            for (; i < stop && header[i] >= '0' && header[i] <= '9'; ++i, ++digits) {
                unsigned d = static_cast<unsigned>(header[i] - '0');
                if (tooLong || v > maxContent / 10 || v * 10 + d > maxContent) tooLong = true;
                else v = v * 10 + d;
            }
            while (i < stop && blank(header[i])) ++i;
            if (digits == 0 || i != stop) return kFrameBadContentLength;
            if (tooLong) return kFrameContentTooLong;
            if (seen && v != value) return kFrameBadContentLength;
            seen = true;
            value = v;
        }
        line = next;
    }
    *length = value;
    return 1;
}

// The first length bytes as a message; the rest moves to the front.
kx_String *HttpFramer::take(size_t length, size_t headerLength) {
    char *mem;
    if (capBefore_ != 0 && used_ == length) {
        // The buffer was enlarged for exactly this message: hand it over as it is.
        char *fresh = static_cast<char *>(malloc(capBefore_ + kTail));
        if (fresh == nullptr) return nullptr;
        mem = buf_;
        buf_ = fresh;
        cap_ = capBefore_;
    } else {
        mem = static_cast<char *>(malloc(length + kTail));
        if (mem == nullptr) return nullptr;
        memcpy(mem, buf_, length);
        memmove(buf_, buf_ + length, used_ - length);
    }
    used_ -= length;
    capBefore_ = 0;
    mem[length] = 0;
    put_le32(mem + length + 1, static_cast<uint32_t>(headerLength));
    kx_String *s = wrap(mem, length);
    if (s == nullptr) free(mem);
    return s;
}

int HttpFramer::scan(Messages &out) {
    for (;;) {
        if (message_ == 0) {
            // Looking for the empty line; the search goes back 3 bytes for a split terminator.
            size_t i = scanned_ > 3 ? scanned_ - 3 : 0;
            size_t found = 0;
            while (i < used_) {
                char c = buf_[i];
                if (c == 0) {
                    size_t j = i;
                    while (j < used_ && buf_[j] == 0) ++j;
                    memmove(buf_, buf_ + j, used_ - j);
                    used_ -= j;
                    i = 0;
                    continue;
                }
                if (c == '\n' && i >= 3 && buf_[i - 1] == '\r' && buf_[i - 2] == '\n' && buf_[i - 3] == '\r') {
                    found = i + 1;
                    break;
                }
                ++i;
            }
            if (found == 0) {
                scanned_ = used_;
                if (used_ < cap_) return 1;
                if (cap_ >= limits_.maxHeader) return kFrameHeaderTooLong;
                size_t grown = cap_ + kChunk < limits_.maxHeader ? cap_ + kChunk : limits_.maxHeader;
                return reserve(grown) ? 1 : kFrameNoMemory;
            }
            uint64_t body = 0;
            int rv = httpContentLength(buf_, found, limits_.maxContent, &body);
            if (rv != 1) return rv;
            header_ = found;
            message_ = found + static_cast<size_t>(body);
            scanned_ = 0;
        }
        if (used_ < message_) {
            if (message_ > cap_) {
                // Room for exactly the rest of this message; the buffer itself is delivered.
                size_t before = cap_;
                if (!reserve(message_)) return kFrameNoMemory;
                capBefore_ = before;
            }
            return 1;
        }
        kx_String *s = take(message_, header_);
        if (s == nullptr) return kFrameNoMemory;
        out.push_back(s);
        message_ = 0;
        header_ = 0;
        if (used_ == 0) return 1;
    }
}

// ---- standard ----

int standardLength(const uint8_t head[8], bool whole, uint64_t maxMessage, uint64_t *total) {
    ByteReader r(head + 4, 4);
    uint32_t length = 0;
    r.le32(&length);
    uint64_t t = whole ? length : uint64_t(length) + 8;
    if (t < 8) return kFrameLengthTooShort;
    if (t > maxMessage || t > UINT32_MAX) return kFrameLengthTooLong;
    *total = t;
    return 1;
}

StandardFramer::StandardFramer(uint16_t headLength, Kind kind, const Limits &limits)
    : headLength_(headLength), kind_(kind), limits_(limits), head_(headLength) {
    if (kind_ != custom && headLength_ != 8) {
        headLength_ = 8;
        head_.assign(8, 0);
    }
    failed_ = headLength_ == 0;  // every message needs a head to be decided by
}

StandardFramer::~StandardFramer() { kx_String_delete__OI(message_); }

void StandardFramer::reset() {
    kx_String_delete__OI(message_);
    message_ = nullptr;
    headGot_ = got_ = 0;
    lengthResult_ = 1;
    failed_ = headLength_ == 0;
}

uint8_t *StandardFramer::space(size_t *room) {
    *room = 0;
    if (failed_) return nullptr;
    if (message_ == nullptr) {
        *room = headLength_ - headGot_;
        return head_.data() + headGot_;
    }
    *room = message_->lenth - got_;
    return reinterpret_cast<uint8_t *>(message_->buffer) + got_;
}

// The head is complete: decide the message length and make its string.
int StandardFramer::begin(Messages &out) {
    kx_String *s = nullptr;
    if (kind_ == custom) {
        int rv = fn_ ? fn_(context_, head_.data(), headLength_, &s) : kFrameLengthRefused;
        lengthResult_ = rv;
        if (rv != 1 || s == nullptr || s->lenth < headLength_) {
            if (rv == 1) kx_String_delete__OI(s);
            return kFrameLengthRefused;
        }
        if (s->lenth > limits_.maxMessage) {
            kx_String_delete__OI(s);
            return kFrameLengthTooLong;
        }
    } else {
        uint64_t total = 0;
        int rv = standardLength(head_.data(), kind_ == standard2, limits_.maxMessage, &total);
        lengthResult_ = rv;
        if (rv != 1) return rv;
        s = kx::str::allocate(static_cast<uint32_t>(total));
        if (s == nullptr) return kFrameNoMemory;
    }
    if (headLength_ > 0) memcpy(s->buffer, head_.data(), headLength_);
    headGot_ = 0;
    if (s->lenth == headLength_) {
        out.push_back(s);
        return 1;
    }
    message_ = s;
    got_ = headLength_;
    return 1;
}

int StandardFramer::commit(size_t n, Messages &out) {
    if (failed_) return kFrameLengthRefused;
    if (message_ == nullptr) {
        if (n > headLength_ - headGot_) n = headLength_ - headGot_;
        headGot_ += n;
        if (headGot_ < headLength_) return 1;
        int rv = begin(out);
        if (rv != 1) failed_ = true;
        return rv;
    }
    if (n > message_->lenth - got_) n = message_->lenth - got_;
    got_ += n;
    if (got_ == message_->lenth) {
        out.push_back(message_);
        message_ = nullptr;
        got_ = 0;
    }
    return 1;
}

int StandardFramer::feed(const void *data, size_t size, Messages &out) { return feed_through(*this, data, size, out); }

}  // namespace kx::pool
