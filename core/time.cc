// Clocks and sleeps shared by the services.
//
// Uptime is CLOCK_MONOTONIC in seconds. Reading it goes through the vDSO, so it costs
// no system call and may be done for every frame and socket event. kx_thread_sleepTo
// sleeps on the same clock to an absolute deadline, so a late wake-up never adds up.
#include "kx/time.h"

#include <errno.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <cmath>
#include <cstdio>

#include "core/log.hpp"
#include "kx/string.h"

namespace {

constexpr long kNanosPerSecond = 1000000000L;

// Deadlines beyond this many seconds are treated as this far away (about 31700 years):
// keeps the conversion to time_t defined.
constexpr double kFarAway = 1e12;

// The last uptime read by kx_thread_sleepTo. A deadline not later than it has passed
// for sure, so the clock need not be read again. Only ever moves forward.
std::atomic<double> g_realTime{1e-6};

timespec monotonicNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

void advanceRealTime(double now) {
    double seen = g_realTime.load(std::memory_order_relaxed);
    while (now > seen && !g_realTime.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
    }
}

timespec toTimespec(double seconds) {
    if (seconds > kFarAway) seconds = kFarAway;
    double whole = std::floor(seconds);
    timespec ts;
    ts.tv_sec = static_cast<time_t>(whole);
    long ns = static_cast<long>((seconds - whole) * 1e9);
    if (ns >= kNanosPerSecond) ns = kNanosPerSecond - 1;
    if (ns < 0) ns = 0;
    ts.tv_nsec = ns;
    return ts;
}

const char *orEmpty(const char *text) { return text != nullptr ? text : ""; }

}  // namespace

extern "C" {

double kx_time_uptime_get(void) {
    timespec ts = monotonicNow();
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double kx_time_GMT_get(void) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double kx_time_local_get(void) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm local;
    long offset = 0;
    if (localtime_r(&ts.tv_sec, &local) != nullptr) offset = local.tm_gmtoff;
    return static_cast<double>(ts.tv_sec + offset) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int8_t kx_timeZone_get(void) {
    // 1970-01-02 12:24:32 UTC: far enough from midnight that every real offset keeps the
    // local hour meaningful; whole hours of the difference, with the minutes dropped the
    // way the hour fields drop them (UTC+5:30 gives 5, UTC-3:30 gives -4).
    const time_t instant = 131072;
    struct tm local;
    struct tm utc;
    if (localtime_r(&instant, &local) == nullptr || gmtime_r(&instant, &utc) == nullptr) return 0;
    int hours = local.tm_hour - utc.tm_hour;
    // Offsets beyond +12 h (UTC+13, UTC+14) land on the next local day.
    if (local.tm_yday > utc.tm_yday) hours += 24;
    if (local.tm_yday < utc.tm_yday) hours -= 24;
    return static_cast<int8_t>(hours);
}

int kx_time_to_string_n(char *buffer, size_t size, double t) {
    if (buffer == nullptr || size == 0) return 0;
    buffer[0] = '\0';
    if (!std::isfinite(t) || std::fabs(t) > kFarAway) return 0;
    // Milliseconds truncated; for times before the epoch the second is rounded down so the
    // millisecond field stays within 0..999.
    double whole = t >= 0 ? std::trunc(t) : std::floor(t);
    int ms = static_cast<int>((t - whole) * 1000.0);
    if (ms > 999) ms = 999;
    time_t secs = static_cast<time_t>(whole);
    struct tm local;
    if (localtime_r(&secs, &local) == nullptr) return 0;
    int n = snprintf(buffer, size, "%d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
                     local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, ms);
    if (n < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < size ? n : static_cast<int>(size - 1);
}

int kx_time_to_string(char *buffer, double t) { return kx_time_to_string_n(buffer, 24, t); }

int kx_time_get_string(char *buffer, size_t size) { return kx_time_to_string_n(buffer, size, kx_time_GMT_get()); }

int kx_time_set_GMT(void) {
    KX_LOGE("MinGW not support!!!");
    return -1;
}

float kx_time_ntp_get(void) { return NAN; }

double kx_time_ntp_get_byString(const char *server, uint16_t port) {
    if (server == nullptr || kx_String_buffer_isIPv4(static_cast<uint32_t>(strlen(server)), server) != 1) {
        KX_LOGE("Convert ipv4 failed,server:\"%s:%hu\".", orEmpty(server), port);
    }
    return -1.0;
}

double kx_time_ntp_get_byStringAll(const char *serverAndPort) {
    if (serverAndPort == nullptr) return -1.0;
    const char *colon = strchr(serverAndPort, ':');
    if (colon == nullptr) return -1.0;
    if (kx_String_buffer_isIPv4(static_cast<uint32_t>(colon - serverAndPort), serverAndPort) != 1) {
        KX_LOGE("Convert ipv4 failed,server:\"%s\".", serverAndPort);
        return -1.0;
    }
    unsigned int port = 0;
    if (sscanf(colon + 1, "%u", &port) == 1 && port >= 65536) {
        KX_LOGE("Invalid ipv4 port,server:\"%s\".", serverAndPort);
    }
    return -1.0;
}

uint64_t kx_time_cpu_get(void) {
    timespec ts = monotonicNow();
    return static_cast<uint64_t>(ts.tv_sec) * kNanosPerSecond + static_cast<uint64_t>(ts.tv_nsec);
}

uint32_t kx_time_cpu_low_get(void) { return static_cast<uint32_t>(kx_time_cpu_get()); }

uint32_t kx_time_cpu_high_get(void) { return static_cast<uint32_t>(kx_time_cpu_get() >> 32); }

int kx_thread_usleep(uint32_t us) {
    // 2^20 "microseconds" to the second, 1024 ns to the "microsecond"; the nanosecond
    // part can reach 1.07e9, so whole seconds are carried over.
    long ns = static_cast<long>(us & 0xFFFFFu) << 10;
    timespec request;
    request.tv_sec = static_cast<time_t>(us >> 20) + ns / kNanosPerSecond;
    request.tv_nsec = ns % kNanosPerSecond;
    timespec remaining;
    int rv;
    while ((rv = nanosleep(&request, &remaining)) == -1 && errno == EINTR) request = remaining;
    return rv;
}

int kx_thread_sleepTo(double deadline) {
    if (!(deadline > g_realTime.load(std::memory_order_relaxed))) return -1;
    double now = kx_time_uptime_get();
    advanceRealTime(now);
    if (!(deadline - now > 0)) return -1;
    timespec until = toTimespec(deadline);
    int rc;
    while ((rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr)) == EINTR) {
    }
    return rc == 0 ? 1 : -1;
}

int kx_time_test(void) {
    int failed = 0;
    double a = kx_time_uptime_get();
    double b = kx_time_uptime_get();
    KX_LOGI("uptime=%lf,GMT=%lf,local=%lf,timeZone=%hhd.", b, kx_time_GMT_get(), kx_time_local_get(),
            kx_timeZone_get());
    if (b < a) {
        KX_LOGE("Uptime went back:%lf->%lf.", a, b);
        ++failed;
    }
    int late = kx_thread_sleepTo(kx_time_uptime_get() - 1.0);
    if (late != -1) {
        KX_LOGE("sleepTo(past)=%d.", late);
        ++failed;
    }
    double start = kx_time_uptime_get();
    int slept = kx_thread_sleepTo(start + 0.005);
    double took = kx_time_uptime_get() - start;
    KX_LOGI("sleepTo(+5ms)=%d,took=%lf.", slept, took);
    if (slept != 1 || took < 0.005) ++failed;
    start = kx_time_uptime_get();
    kx_thread_usleep(1000);
    took = kx_time_uptime_get() - start;
    KX_LOGI("usleep(1000) took=%lf.", took);
    if (took < 0.001024) ++failed;
    char text[32];
    kx_time_to_string_n(text, sizeof text, kx_time_GMT_get());
    KX_LOGI("now:\"%s\",failed=%d.", text, failed);
    fflush(stdout);
    return failed == 0 ? 1 : -1;
}

}  // extern "C"
