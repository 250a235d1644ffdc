/*
 * Clocks and sleeps shared by the services.
 *
 * Uptime is a monotonic seconds counter (CLOCK_MONOTONIC, read through the vDSO: no
 * system call) used for every time-out, deadline and pacing decision; wall-clock values
 * are seconds since 1970-01-01 00:00:00 UTC. All times are doubles in seconds.
 */
#ifndef KX_TIME_H
#define KX_TIME_H

#include "kx/base.h"

KX_EXTERN_C_BEGIN

/* Monotonic uptime in seconds from an arbitrary origin (nanosecond resolution). */
KX_API double kx_time_uptime_get(void);

/* UTC wall clock in seconds since the epoch, with sub-microsecond digits. */
KX_API double kx_time_GMT_get(void);

/* Wall clock shifted by the current local offset from UTC (daylight saving included). */
KX_API double kx_time_local_get(void);

/*
 * Local offset from UTC in whole hours, taken at 1970-01-02 12:24:32 UTC from the local
 * and UTC hour fields: UTC+8 gives 8, UTC-5 gives -5, UTC+5:30 gives 5, UTC-3:30 gives -4.
 */
KX_API int8_t kx_timeZone_get(void);

/*
 * Local date and time of t as "YYYY-MM-DD hh:mm:ss.mmm" (milliseconds truncated).
 * buffer must hold at least 24 bytes; the text is always NUL-terminated and cut to
 * fit 24 bytes. Returns the number of characters written (0 when t cannot be shown).
 */
KX_API int kx_time_to_string(char *buffer, double t);

/* Same, into a buffer of size bytes. Returns the characters written (at most size - 1). */
KX_API int kx_time_to_string_n(char *buffer, size_t size, double t);

/* Current local date and time in the format of kx_time_to_string; same result. */
KX_API int kx_time_get_string(char *buffer, size_t size);

/* Setting the system clock is not offered: logs an error record and returns -1. */
KX_API int kx_time_set_GMT(void);

/* No network time query exists: NaN. */
KX_API float kx_time_ntp_get(void);

/* Checks that server is dotted IPv4 text (an error record when not); always -1.0. */
KX_API double kx_time_ntp_get_byString(const char *server, uint16_t port);

/*
 * serverAndPort is "a.b.c.d:port". Text without ':' gives -1.0 silently; otherwise the
 * address and the port (below 65536) are checked with an error record on failure.
 * Always -1.0 (no query is made).
 */
KX_API double kx_time_ntp_get_byStringAll(const char *serverAndPort);

/* Monotonic clock in nanoseconds, and its low and high 32-bit halves. */
KX_API uint64_t kx_time_cpu_get(void);
KX_API uint32_t kx_time_cpu_low_get(void);
KX_API uint32_t kx_time_cpu_high_get(void);

/*
 * Sleeps (us >> 20) seconds plus (us & 0xFFFFF) * 1024 nanoseconds: a second counts as
 * 2^20 microseconds and a microsecond as 1024 ns (up to 2.4 % longer than asked below a
 * second). Every value is accepted; interrupted sleeps continue for the remaining time.
 * Returns 0, or -1 when the platform refuses the sleep.
 */
KX_API int kx_thread_usleep(uint32_t us);

/*
 * Sleeps until the uptime deadline. Returns 1 after sleeping, -1 at once when the deadline
 * has already passed (callers treat that as "late").
 */
KX_API int kx_thread_sleepTo(double deadline);

/* Self-test: checks the clocks and sleeps and logs one info record per check. 1 passed, -1 failed. */
KX_API int kx_time_test(void);

KX_EXTERN_C_END

#endif
