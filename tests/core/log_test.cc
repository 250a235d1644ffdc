// Log record layout, the clock column, the date records and the signal/exception hooks.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "core/log.hpp"
#include "kx/global.h"
#include "tests/support/stdout_capture.hpp"

namespace {

using kxtest::StdoutCapture;
using kxtest::strip_colours;

unsigned clock_now() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmv;
    localtime_r(&ts.tv_sec, &tmv);
    return tmv.tm_hour * 100000000u + tmv.tm_min * 1000000u + tmv.tm_sec * 10000u;
}

TEST(LogRecord, ErrorAndInfoLayoutsCarryColoursAndColumns) {
    __get_printfTime();  // the date records of the first record are not part of this check
    StdoutCapture cap;
    int errLine = __LINE__ + 1;
    KX_LOGE("value=%d,text:\"%s\".", 42, "abc");
    int infoLine = __LINE__ + 1;
    KX_LOGI("info %u", 7u);
    std::string raw = cap.text();
    cap.restore();

    char pid[16];
    snprintf(pid, sizeof pid, "%d", static_cast<int>(getpid()));
    char errPrefix[16], infoPrefix[16];
    snprintf(errPrefix, sizeof errPrefix, "%05d", errLine);
    snprintf(infoPrefix, sizeof infoPrefix, "%05d", infoLine);
    std::string expectErr = std::string("\033[36m5\033[33m") + errPrefix + "\033[36m/\033[35m";
    std::string expectInfo = std::string("\033[37m5\033[36m") + infoPrefix + "\033[33m/\033[35m";
    ASSERT_EQ(raw.rfind(expectErr, 0), 0u) << raw;
    EXPECT_NE(raw.find(std::string("\033[36m|\033[35m") + pid + "\033[36m/\033[35m0\033[36m(\033[33mTestBody\033[36m)"
                       "\033[35m--\033[31mvalue=42,text:\"abc\".\n\033[0m"),
              std::string::npos)
        << raw;
    size_t second = raw.find(expectInfo);
    ASSERT_NE(second, std::string::npos) << raw;
    EXPECT_NE(raw.find(std::string("\033[33m|\033[35m") + pid + "\033[33m/\033[35m0\033[33m[\033[36mTestBody\033[33m]"
                       "\033[35m--\033[32minfo 7\n\033[0m"),
              std::string::npos)
        << raw;

    // Stripped of colours: level, line, ten-digit clock, pid, 0, label, message.
    std::regex layout("^5([0-9]{5})/([0-9]{10})\\|([0-9]+)/0\\((TestBody)\\)--value=42,text:\"abc\".\n"
                      "5([0-9]{5})/([0-9]{10})\\|([0-9]+)/0\\[TestBody\\]--info 7\n$");
    std::smatch m;
    std::string plain = strip_colours(raw);
    ASSERT_TRUE(std::regex_match(plain, m, layout)) << plain;
    EXPECT_EQ(std::stoi(m[1]), errLine);
    EXPECT_EQ(m[3], pid);
    // The clock column is the local time of day within a few seconds of now.
    long clockValue = std::stol(m[2]) / 10000 * 10000;
    long now = clock_now();
    EXPECT_LE(labs(now - clockValue), 20000) << m[2];
}

TEST(LogRecord, ShortRecordHasLiteralLevelAndLabel) {
    __get_printfTime();
    StdoutCapture cap;
    int line = __LINE__ + 1;
    KX_LOGS("kx_Xml_parse", "Invalid tag:%d.", 3);
    std::string plain = strip_colours(cap.text());
    cap.restore();
    std::regex layout("^5([0-9]{5})/[0-9]{10}\\(kx_Xml_parse\\)--Invalid tag:3.\n$");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(plain, m, layout)) << plain;
    EXPECT_EQ(std::stoi(m[1]), line);
}

// The remembered day starts unset and follows the local date: changing the zone far
// enough changes the day and brings the two date records back exactly once.
TEST(LogRecord, DateRecordsPrecedeFirstRecordAndEachNewDay) {
    setenv("TZ", "UTC+12", 1);  // 12 hours west
    tzset();
    StdoutCapture cap;
    __get_printfTime();
    __get_printfTime();
    setenv("TZ", "UTC-14", 1);  // 14 hours east: always another calendar day
    tzset();
    __get_printfTime();
    __get_printfTime();
    std::string plain = strip_colours(cap.text());
    cap.restore();
    unsetenv("TZ");
    tzset();

    std::regex rec("([0-9])([0-9]{5})/[0-9]{10}\\|[0-9]+/0\\[__get_printfTime\\]--Now Time:([0-9]{4}-[0-9]{2}-[0-9]{2})\n");
    std::vector<std::string> lines, dates;
    for (auto it = std::sregex_iterator(plain.begin(), plain.end(), rec); it != std::sregex_iterator(); ++it) {
        lines.push_back((*it)[1].str() + "/" + (*it)[2].str());
        dates.push_back((*it)[3]);
    }
    // This process may or may not have printed its first record before; after the
    // first zone change it must print the pair for the west date unless it already
    // had it, and after the second change always the pair for the east date.
    ASSERT_GE(lines.size(), 2u) << plain;
    ASSERT_LE(lines.size(), 4u) << plain;
    EXPECT_EQ(lines[lines.size() - 2], "1/00088");
    EXPECT_EQ(lines[lines.size() - 1], "5/00089");
    EXPECT_EQ(dates[dates.size() - 1], dates[dates.size() - 2]);
    time_t now = time(nullptr) + 14 * 3600;
    struct tm east;
    gmtime_r(&now, &east);
    char expect[32];
    snprintf(expect, sizeof expect, "%04d-%02d-%02d", east.tm_year + 1900, east.tm_mon + 1, east.tm_mday);
    EXPECT_EQ(dates.back(), expect);
}

TEST(LogRecord, ClockValueFormat) {
    // HHMMSS then tenths of milliseconds, printed with leading zeros.
    char buf[16];
    snprintf(buf, sizeof buf, "%010u", 0u * 100000000u + 0u * 1000000u + 1u * 10000u + 500000u / 100u);
    EXPECT_STREQ(buf, "0000015000");
    unsigned v = __get_printfTime();
    EXPECT_LT(v / 100000000u, 24u);
    EXPECT_LT(v / 1000000u % 100u, 60u);
    EXPECT_LT(v / 10000u % 100u, 61u);
}

struct SignalCase {
    int signal;
    const char *name;
};

class SkipHandler : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SkipHandler, LogsTheSignalNameAndContinues) {
    const SignalCase c = GetParam();
    __get_printfTime();
    StdoutCapture cap;
    kx_signal_handler previous = exception_skip(static_cast<unsigned char>(c.signal));
    EXPECT_NE(previous, SIG_ERR);
    raise(c.signal);
    std::string plain = strip_colours(cap.text());
    cap.restore();
    signal(c.signal, SIG_DFL);
    std::regex layout("^5(01237)/[0-9]{10}\\|[0-9]+/0\\[skipHandler\\]--Recv a signal:([A-Z0-9\\[\\]]+)\\.\n$");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(plain, m, layout)) << plain;
    std::string expect = c.name ? c.name : "UNKNOWN[" + std::to_string(c.signal) + "]";
    EXPECT_EQ(m[2], expect);
}

// Names follow the handler's own table (its numbering is not the platform's past 10);
// numbers past the table are named UNKNOWN[n].
INSTANTIATE_TEST_SUITE_P(Signals, SkipHandler,
                         ::testing::Values(SignalCase{SIGINT, "SIGINT[2]"}, SignalCase{SIGHUP, "SIGHUP[1]"},
                                           SignalCase{SIGUSR1, "SIGBUS[10]"}, SignalCase{SIGUSR2, "SIGSYS[12]"},
                                           SignalCase{SIGRTMIN + 6, nullptr}));

TEST(ExceptionHooks, RegisterReportsAndFails) {
    StdoutCapture cap;
    EXPECT_EQ(exceptionRegister(), -1);
    std::string plain = strip_colours(cap.text());
    EXPECT_NE(plain.find("501272/"), std::string::npos) << plain;
    EXPECT_NE(plain.find("(exceptionRegister)--MinGW not support!!!\n"), std::string::npos) << plain;
}

TEST(ExceptionHooks, DuplicateMonitorIsReportedAndKeptTwice) {
    int a = 0, b = 0;
    StdoutCapture cap;
    exception_addItem(&a);
    exception_addItem(&b);
    EXPECT_EQ(cap.text().find("pMonitor has exist."), std::string::npos);
    exception_addItem(&a);  // reported, and present twice
    std::string once = strip_colours(cap.text());
    EXPECT_NE(once.find("501301/"), std::string::npos) << once;
    exception_deleteItem(&a);  // removes one copy only
    exception_addItem(&a);
    std::string all = strip_colours(cap.text());
    size_t first = all.find("pMonitor has exist.");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(all.find("pMonitor has exist.", first + 1), std::string::npos) << "second add after one delete";
    exception_deleteItem(&a);
    exception_deleteItem(&a);
    exception_deleteItem(&a);  // absent: nothing happens
    size_t before = all.size();
    exception_addItem(&a);
    EXPECT_EQ(strip_colours(cap.text()).find("pMonitor has exist.", before), std::string::npos);
    cap.restore();
    exceptionDelete();
}

}  // namespace
