// Uptime, wall clock, time zones, date text, the sleeps and the network-time stubs.
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <cmath>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "kx/global.h"
#include "kx/time.h"
#include "tests/support/stdout_capture.hpp"

namespace {

using kxtest::StdoutCapture;
using kxtest::strip_colours;

// Sets TZ for the scope of a test and restores the previous value.
class ScopedTz {
public:
    explicit ScopedTz(const char *tz) {
        const char *old = getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        if (had_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

double realNow() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

TEST(TimeUptime, SuccessiveReadsNeverDecreaseAndFollowTheMonotonicClock) {
    double prev = kx_time_uptime_get();
    for (int i = 0; i < 100000; ++i) {
        double now = kx_time_uptime_get();
        ASSERT_GE(now, prev) << "read " << i;
        prev = now;
    }
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    EXPECT_NEAR(kx_time_uptime_get(), ts.tv_sec + ts.tv_nsec * 1e-9, 0.05);
    uint64_t ns = kx_time_cpu_get();
    EXPECT_NEAR(ns * 1e-9, kx_time_uptime_get(), 0.05);
    uint32_t high = kx_time_cpu_high_get();
    EXPECT_TRUE(high == static_cast<uint32_t>(ns >> 32) || high == static_cast<uint32_t>(ns >> 32) + 1);
}

TEST(TimeWallClock, GmtFollowsTheSystemClock) {
    double a = realNow();
    double g = kx_time_GMT_get();
    double b = realNow();
    EXPECT_GE(g, a - 1e-6);
    EXPECT_LE(g, b + 1e-6);
}

TEST(TimeSleepTo, PastDeadlineReturnsMinusOneAtOnce) {
    for (double back : {1.0, 1e-3, 0.0}) {
        double start = kx_time_uptime_get();
        EXPECT_EQ(kx_thread_sleepTo(start - back), -1) << back;
        EXPECT_LT(kx_time_uptime_get() - start, 0.005) << back;
    }
    EXPECT_EQ(kx_thread_sleepTo(-5.0), -1);
    EXPECT_EQ(kx_thread_sleepTo(NAN), -1);
}

TEST(TimeSleepTo, FutureDeadlineSleepsUntilItThenReturnsOne) {
    for (double ahead : {0.010, 0.030}) {
        double start = kx_time_uptime_get();
        double deadline = start + ahead;
        EXPECT_EQ(kx_thread_sleepTo(deadline), 1) << ahead;
        double end = kx_time_uptime_get();
        EXPECT_GE(end, deadline) << ahead;
        EXPECT_LT(end - start, ahead + 0.2) << ahead;
        // The deadline is behind us now.
        EXPECT_EQ(kx_thread_sleepTo(deadline), -1) << ahead;
    }
}

TEST(TimeUsleep, OneThousandSleepsAtLeast1024Microseconds) {
    double start = kx_time_uptime_get();
    EXPECT_EQ(kx_thread_usleep(1000), 0);
    double took = kx_time_uptime_get() - start;
    EXPECT_GE(took, 0.001024);
    EXPECT_LT(took, 0.2);
}

// Values whose low 20 bits reach 976563 give a nanosecond field of 10^9 or more before
// the whole seconds are carried over; they must sleep, not be refused.
TEST(TimeUsleep, LargeLowBitsAreCarriedIntoSeconds) {
    struct Case {
        uint32_t us;
        double seconds;
    } cases[] = {
        {976563u, 976563 * 1024e-9},
        {0xFFFFFu, 0xFFFFF * 1024e-9},
        {(1u << 20) | 999999u, 1.0 + 999999 * 1024e-9},
    };
    for (const Case &c : cases) {
        double start = kx_time_uptime_get();
        EXPECT_EQ(kx_thread_usleep(c.us), 0) << c.us;
        double took = kx_time_uptime_get() - start;
        EXPECT_GE(took, c.seconds) << c.us;
        EXPECT_LT(took, c.seconds + 0.3) << c.us;
    }
}

void onAlarm(int) {}

// A signal that interrupts the sleep does not cut it short.
TEST(TimeSleeps, SignalsDoNotShortenSleeps) {
    struct sigaction sa = {};
    sa.sa_handler = onAlarm;  // no SA_RESTART
    struct sigaction old;
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    struct Case {
        const char *name;
        double seconds;
        int (*sleep)(double);
    } cases[] = {
        {"usleep", 100000 * 1024e-9, [](double) { return kx_thread_usleep(100000); }},
        {"sleepTo", 0.1, [](double s) { return kx_thread_sleepTo(kx_time_uptime_get() + s) == 1 ? 0 : -1; }},
    };
    for (const Case &c : cases) {
        pthread_t self = pthread_self();
        std::thread poke([self] {
            for (int i = 0; i < 5; ++i) {
                struct timespec ts = {0, 10 * 1000 * 1000};
                nanosleep(&ts, nullptr);
                pthread_kill(self, SIGUSR1);
            }
        });
        double start = kx_time_uptime_get();
        int rv = c.sleep(c.seconds);
        double took = kx_time_uptime_get() - start;
        poke.join();
        EXPECT_EQ(rv, 0) << c.name;
        EXPECT_GE(took, c.seconds) << c.name;
    }
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(TimeZone, OffsetsAndDateTextUnderSeveralZones) {
    struct Case {
        const char *tz;
        int zone;
        double t;
        const char *text;
    } cases[] = {
        {"UTC0", 0, 1.9999, "1970-01-01 00:00:01.999"},
        {"CST-8", 8, 0.5, "1970-01-01 08:00:00.500"},
        {"EST5", -5, 0.5, "1969-12-31 19:00:00.500"},
        {"IST-5:30", 5, 0.5, "1970-01-01 05:30:00.500"},
        {"NST3:30", -4, 0.25, "1969-12-31 20:30:00.250"},
        {"TOT-13", 13, 86400.0, "1970-01-02 13:00:00.000"},
        {"UTC0", 0, 1700000000.125, "2023-11-14 22:13:20.125"},
    };
    for (const Case &c : cases) {
        ScopedTz tz(c.tz);
        EXPECT_EQ(kx_timeZone_get(), c.zone) << c.tz;
        char buf[24];
        memset(buf, 'x', sizeof buf);
        int n = kx_time_to_string(buf, c.t);
        EXPECT_STREQ(buf, c.text) << c.tz;
        EXPECT_EQ(n, static_cast<int>(strlen(c.text))) << c.tz;
    }
}

TEST(TimeToString, SizedVariantTruncatesAndRejectsUnshowableTimes) {
    ScopedTz tz("UTC0");
    char buf[32];
    EXPECT_EQ(kx_time_to_string_n(buf, 11, 0.5), 10);
    EXPECT_STREQ(buf, "1970-01-01");
    // Before the epoch the millisecond field stays within 0..999.
    EXPECT_EQ(kx_time_to_string_n(buf, sizeof buf, -0.25), 23);
    EXPECT_STREQ(buf, "1969-12-31 23:59:59.750");
    for (double bad : {double(NAN), double(INFINITY), 1e300}) {
        strcpy(buf, "old");
        EXPECT_EQ(kx_time_to_string_n(buf, sizeof buf, bad), 0);
        EXPECT_STREQ(buf, "");
    }
    EXPECT_GT(kx_time_get_string(buf, sizeof buf), 0);
    EXPECT_EQ(strlen(buf), 23u) << buf;
}

// The local clock carries the zone's current offset, daylight saving included.
TEST(TimeLocal, LocalClockUsesTheCurrentOffsetIncludingDaylightSaving) {
    struct Case {
        const char *tz;
        double offset;  // negative: depends on the date, checked against localtime_r
    } cases[] = {
        {"UTC0", 0},
        {"CST-8", 8 * 3600},
        {"NST3:30", -3.5 * 3600},
        {"AAA-1BBB,J1/0,J365/25", 2 * 3600},  // daylight saving all year
        {"CET-1CEST,M3.5.0,M10.5.0/3", NAN},
    };
    for (const Case &c : cases) {
        ScopedTz tz(c.tz);
        double expected = c.offset;
        if (std::isnan(expected)) {
            time_t now = time(nullptr);
            struct tm tmv;
            localtime_r(&now, &tmv);
            expected = tmv.tm_isdst > 0 ? 7200 : 3600;
        }
        double diff = kx_time_local_get() - kx_time_GMT_get();
        EXPECT_NEAR(diff, expected, 0.5) << c.tz;
    }
}

TEST(TimeNtp, QueriesValidateTheirArgumentsAndLogFailures) {
    __get_printfTime();  // keep the clock column's date records out of the capture
    struct Case {
        const char *server;  // null: kx_time_ntp_get_byStringAll with all
        uint16_t port;
        const char *all;
        const char *record;  // message expected, "" for none
    } cases[] = {
        {"192.168.1.10", 123, nullptr, ""},
        {"ntp.example", 123, nullptr, "Convert ipv4 failed,server:\"ntp.example:123\"."},
        {"1.2.3", 5000, nullptr, "Convert ipv4 failed,server:\"1.2.3:5000\"."},
        {nullptr, 0, "10.0.0.1", ""},
        {nullptr, 0, "10.0.0.1:123", ""},
        {nullptr, 0, "10.0.0.1:65535", ""},
        {nullptr, 0, "10.0.0.1:65536", "Invalid ipv4 port,server:\"10.0.0.1:65536\"."},
        {nullptr, 0, "10.0.0.1:70000", "Invalid ipv4 port,server:\"10.0.0.1:70000\"."},
        {nullptr, 0, "ntp.example:123", "Convert ipv4 failed,server:\"ntp.example:123\"."},
    };
    for (const Case &c : cases) {
        StdoutCapture cap;
        double rv = c.server != nullptr ? kx_time_ntp_get_byString(c.server, c.port) : kx_time_ntp_get_byStringAll(c.all);
        std::string out = strip_colours(cap.text());
        cap.restore();
        const char *label = c.server != nullptr ? c.server : c.all;
        EXPECT_EQ(rv, -1.0) << label;
        if (c.record[0] == '\0') {
            EXPECT_EQ(out, "") << label;
        } else {
            EXPECT_NE(out.find(std::string("--") + c.record + "\n"), std::string::npos) << label << ": " << out;
        }
    }
    EXPECT_TRUE(std::isnan(kx_time_ntp_get()));
}

TEST(TimeSetGmt, IsRefusedWithARecord) {
    __get_printfTime();
    StdoutCapture cap;
    EXPECT_EQ(kx_time_set_GMT(), -1);
    std::string out = strip_colours(cap.text());
    cap.restore();
    EXPECT_NE(out.find("(kx_time_set_GMT)--MinGW not support!!!\n"), std::string::npos) << out;
}

TEST(TimeSelfTest, Passes) {
    StdoutCapture cap;
    EXPECT_EQ(kx_time_test(), 1);
    cap.restore();
}

}  // namespace
