// Log records: one formatted print per record on standard output.
//
// Every record carries level, source line, clock (HHMMSSffff), process id, a zero
// thread column and a label (normally the emitting function). The format strings
// are literal concatenations so the compiler checks every argument against its
// conversion (-Werror=format).
#pragma once

#include <stdio.h>
#include <unistd.h>

#include "kx/global.h"

#define KX_LOG_ERROR_PREFIX                                                                \
    "\033[36m%d\033[33m%05d\033[36m/\033[35m%010u\033[36m|\033[35m%d\033[36m/\033[35m%d" \
    "\033[36m(\033[33m%s\033[36m)\033[35m--\033[31m"
#define KX_LOG_INFO_PREFIX                                                                 \
    "\033[37m%d\033[36m%05d\033[33m/\033[35m%010u\033[33m|\033[35m%d\033[33m/\033[35m%d" \
    "\033[33m[\033[36m%s\033[33m]\033[35m--\033[32m"
#define KX_LOG_SUFFIX "\n\033[0m"

// Error record with explicit level, line and label; flushed.
#define KX_LOG_ERROR_AT(level, line, label, fmt, ...)                                          \
    do {                                                                                       \
        printf(KX_LOG_ERROR_PREFIX fmt KX_LOG_SUFFIX, (int)(level), (int)(line), __get_printfTime(), \
               (int)getpid(), 0, (label)__VA_OPT__(, ) __VA_ARGS__);                            \
        fflush(stdout);                                                                        \
    } while (0)

// Error record whose message ends without the newline (a few call sites need it).
#define KX_LOG_ERROR_NONL_AT(level, line, label, fmt, ...)                                     \
    do {                                                                                       \
        printf(KX_LOG_ERROR_PREFIX fmt "\033[0m", (int)(level), (int)(line), __get_printfTime(), \
               (int)getpid(), 0, (label)__VA_OPT__(, ) __VA_ARGS__);                            \
        fflush(stdout);                                                                        \
    } while (0)

// Info record with explicit level, line and label; left to stdout's buffering.
#define KX_LOG_INFO_AT(level, line, label, fmt, ...)                                          \
    printf(KX_LOG_INFO_PREFIX fmt KX_LOG_SUFFIX, (int)(level), (int)(line), __get_printfTime(), \
           (int)getpid(), 0, (label)__VA_OPT__(, ) __VA_ARGS__)

// Short record: literal level "5" and label inside the format, no process/thread columns.
#define KX_LOG_SHORT_AT(line, label, fmt, ...)                                                   \
    do {                                                                                         \
        printf("5\033[36m%05d\033[33m/\033[35m%010u\033[0m(" label ")--" fmt "\n", (int)(line), \
               __get_printfTime()__VA_OPT__(, ) __VA_ARGS__);                                    \
        fflush(stdout);                                                                          \
    } while (0)

// The usual forms: level 5, this line, this function.
#define KX_LOGE(fmt, ...) KX_LOG_ERROR_AT(5, __LINE__, __func__, fmt __VA_OPT__(, ) __VA_ARGS__)
#define KX_LOGI(fmt, ...) KX_LOG_INFO_AT(5, __LINE__, __func__, fmt __VA_OPT__(, ) __VA_ARGS__)
#define KX_LOGS(label, fmt, ...) KX_LOG_SHORT_AT(__LINE__, label, fmt __VA_OPT__(, ) __VA_ARGS__)

namespace kx {
// Thread-safe text of an errno value (the system's error text for log records).
const char *errtext(int err);
}  // namespace kx
