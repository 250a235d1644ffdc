// Message framers of the socket pool: they cut a received byte stream into whole messages.
// No I/O happens here: the caller reads into space(), then commit()s the bytes it got, and
// every message completed by them is appended to the output as a new kx_String (the
// caller's). A framer that returned an error stays failed until reset().
//
// HTTP framing: the header up to and including the first "\r\n\r\n", then as many body
// bytes as its Content-Length header says. A message string is NUL-terminated and the four
// bytes after the NUL hold the header length (little-endian). NUL bytes ahead of a request
// are dropped together with the text before them.
//
// Standard framing: a fixed head (8 bytes for the library's own framings: head word 0 and a
// little-endian length at offset 4), then a body whose size the head gives. A message string
// holds the head followed by the body.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "kx/string.h"

namespace kx::pool {

// Results of commit() (1 is success).
enum FrameError : int {
    kFrameHeaderTooLong = -1,     // no "\r\n\r\n" within the header limit
    kFrameBadContentLength = -2,  // Content-Length not a decimal number (sign, junk, two values)
    kFrameContentTooLong = -3,    // Content-Length above the limit (or beyond 64 bits)
    kFrameNoMemory = -4,
    kFrameLengthTooLong = -5,   // standard length above the limit
    kFrameLengthTooShort = -6,  // standard2 length below the head
    kFrameLengthRefused = -7,   // a caller's length function did not return 1
};

const char *frameErrorText(int code);

struct Limits {
    size_t maxHeader = 64 * 1024;            // HTTP header, terminator included
    uint64_t maxContent = 8u << 20;          // HTTP body
    uint64_t maxMessage = uint64_t(64) << 20;  // standard message, head included
};

using Messages = std::vector<kx_String *>;

// Content-Length of an HTTP header (header[0, length), terminator included): 1 with the value
// (0 without the header), or kFrameBadContentLength / kFrameContentTooLong. The name is
// matched at line starts without regard to case; repeated headers must agree.
int httpContentLength(const char *header, size_t length, uint64_t maxContent, uint64_t *value);

class HttpFramer {
public:
    static constexpr size_t kChunk = 512;
    static constexpr size_t kTail = 5;  // NUL and the header length behind every message

    explicit HttpFramer(const Limits &limits = Limits());
    ~HttpFramer();
    HttpFramer(const HttpFramer &) = delete;
    HttpFramer &operator=(const HttpFramer &) = delete;

    // Free room for the next read; null with *room = 0 when failed or out of memory.
    uint8_t *space(size_t *room);
    // n bytes were written into space(). 1, or a FrameError.
    int commit(size_t n, Messages &out);
    // Feeds bytes through space()/commit() (tests, fuzzing).
    int feed(const void *data, size_t size, Messages &out);
    void reset();

    // Bytes buffered and not yet delivered (the log records show them).
    size_t buffered() const { return used_; }
    const char *bufferedData() const { return buf_; }
    size_t capacity() const { return cap_; }
    bool failed() const { return failed_; }

private:
    bool reserve(size_t cap);
    int scan(Messages &out);
    kx_String *take(size_t length, size_t headerLength);

    Limits limits_;
    char *buf_ = nullptr;
    size_t cap_ = 0;        // usable bytes (kTail more are allocated)
    size_t used_ = 0;
    size_t scanned_ = 0;    // bytes already searched for the terminator
    size_t message_ = 0;    // size of the message being completed, 0 while in the header
    size_t header_ = 0;
    size_t capBefore_ = 0;  // capacity before the buffer was enlarged for a body, else 0
    bool failed_ = false;
};

// Length of a message from its 8-byte library head: "standard" counts the body only,
// "standard2" the whole message. 1 with *total set, or kFrameLengthTooShort /
// kFrameLengthTooLong.
int standardLength(const uint8_t head[8], bool whole, uint64_t maxMessage, uint64_t *total);

class StandardFramer {
public:
    enum Kind : uint8_t { standard, standard2, custom };
    // A caller's length function: given the complete head, returns 1 and a new string of the
    // whole message length whose first headLength bytes may be anything (they are
    // overwritten with the head); anything else refuses the message.
    using LengthFn = int (*)(void *context, const uint8_t *head, size_t headLength, kx_String **message);

    StandardFramer(uint16_t headLength, Kind kind, const Limits &limits = Limits());
    ~StandardFramer();
    StandardFramer(const StandardFramer &) = delete;
    StandardFramer &operator=(const StandardFramer &) = delete;

    void setLengthFn(LengthFn fn, void *context) {
        fn_ = fn;
        context_ = context;
    }

    uint8_t *space(size_t *room);
    int commit(size_t n, Messages &out);
    int feed(const void *data, size_t size, Messages &out);
    void reset();

    uint16_t headLength() const { return headLength_; }
    const uint8_t *head() const { return head_.data(); }
    // Bytes of the head (while the head is incomplete) or of the message received so far.
    uint32_t offset() const { return static_cast<uint32_t>(message_ ? got_ : headGot_); }
    uint64_t messageLength() const { return message_ ? message_->lenth : 0; }
    bool inHead() const { return message_ == nullptr; }
    bool failed() const { return failed_; }
    // Result of the last length decision (the caller's function's own value when refused).
    int lengthResult() const { return lengthResult_; }

private:
    int begin(Messages &out);

    uint16_t headLength_;
    Kind kind_;
    Limits limits_;
    std::vector<uint8_t> head_;
    size_t headGot_ = 0;
    kx_String *message_ = nullptr;
    size_t got_ = 0;
    LengthFn fn_ = nullptr;
    void *context_ = nullptr;
    int lengthResult_ = 1;
    bool failed_ = false;
};

}  // namespace kx::pool
