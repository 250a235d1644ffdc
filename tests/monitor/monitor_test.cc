// Monitor: liveness reports, timers, parent and child waits, duplicate registration,
// the tree text under its masks, statistics of threads with odd names, feed-dog file,
// a loop running in its creator's thread.
// KX_THREADED: also runs under ThreadSanitizer.
#include "kx/monitor.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kx/global.h"
#include "kx/objectlist.h"
#include "kx/string.h"
#include "kx/time.h"
#include "monitor/monitor.hpp"
#include "tests/support/stdout_capture.hpp"
#include "tests/support/wait.hpp"

namespace {

using namespace std::chrono_literals;

using Capture = kxtest::CaptureShownOnFailure;

using kxtest::eventually;

std::string tree(monitor *m, uint32_t mask) {
    kx_String *s = monitor_monitorTree_to_string__IO(m, mask);
    if (s == nullptr) return std::string();
    std::string text(s->buffer, s->lenth);
    kx_String_delete__OI(s);
    return text;
}

std::multiset<std::string> element_names(const std::string &xml) {
    std::multiset<std::string> names;
    static const std::regex open("<([A-Za-z][A-Za-z0-9]*)[ >/]");
    for (auto it = std::sregex_iterator(xml.begin(), xml.end(), open); it != std::sregex_iterator(); ++it)
        names.insert((*it)[1]);
    return names;
}

size_t count_of(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    return n;
}

// A registered thread the test drives: it registers on start, marks itself alive while
// `beat` is set, and unregisters when told to leave.
class Member {
public:
    Member(monitor *m, const char *name, pthread_t parent, std::string threadName = std::string())
        : threadName_(std::move(threadName)) {
        thread_ = std::thread([=, this] {
            if (!threadName_.empty()) pthread_setname_np(pthread_self(), threadName_.c_str());
            tid_ = pthread_self();
            item_ = monitorItem_new_and_add(m, name, nullptr, this, parent);
            registered_ = true;
            while (!leave_) {
                if (beat_ && item_) {
                    std::atomic_ref<unsigned char>(item_.load()->cycleAlive).store(1);
                    std::atomic_ref<uint32_t>(item_.load()->line).store(1234);
                } else if (!beat_) {
                    quiet_ = true;  // no beat of this thread follows
                }
                if (spin_) {
                    auto end = std::chrono::steady_clock::now() + 300ms;
                    while (std::chrono::steady_clock::now() < end) {
                    }
                    spin_ = false;
                }
                std::this_thread::sleep_for(2ms);
            }
            if (item_) monitorItem_remove_and_delete(m, item_);
            left_ = true;
        });
    }
    ~Member() {
        leave_ = true;
        if (thread_.joinable()) thread_.join();
    }
    void stopBeating(uint32_t line) {
        beat_ = false;
        ASSERT_TRUE(eventually([&] { return quiet_.load(); }));  // a beat under way has landed
        std::atomic_ref<uint32_t>(item_.load()->line).store(line);
    }
    void leave() { leave_ = true; }
    void spin() { spin_ = true; }
    bool registered() const { return registered_; }
    bool left() const { return left_; }
    pthread_t tid() const { return tid_; }
    monitorItem *item() const { return item_; }

private:
    std::string threadName_;
    std::atomic<bool> beat_{true}, leave_{false}, registered_{false}, left_{false}, spin_{false}, quiet_{false};
    std::atomic<pthread_t> tid_{0};
    std::atomic<monitorItem *> item_{nullptr};
    std::thread thread_;
};

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_ = monitor_new__IO("mon", pthread_self(), &run_, nullptr, 0, 0.05f, 0.01f);
        ASSERT_NE(m_, nullptr);
        self_ = monitorItem_new_and_add(m_, "main", nullptr, nullptr, 0);
        ASSERT_NE(self_, nullptr);
    }
    void TearDown() override {
        monitor_stopThread(m_);
        if (self_) monitorItem_remove_and_delete(m_, self_);
        monitor_delete__OI(m_);
    }
    void keepSelfAlive() { std::atomic_ref<unsigned char>(self_->cycleAlive).store(1); }

    unsigned char run_ = 1;
    monitor *m_ = nullptr;
    monitorItem *self_ = nullptr;
    Capture cap_;
};

// Its own monitor with a detection cycle long enough that a beating thread which a loaded
// machine leaves unscheduled for a while is not taken for a stopped one.
TEST_F(MonitorTest, StoppedThreadIsReportedFromTheSecondCheckWithItsLine) {
    unsigned char run = 1;
    monitor *m = monitor_new__IO("mon2", pthread_self(), &run, nullptr, 0, 0.3f, 0.01f);
    monitorItem *self = monitorItem_new_and_add(m, "main2", nullptr, nullptr, 0);
    ASSERT_NE(self, nullptr);
    {
        Member alive(m, "alive", pthread_self());
        Member stuck(m, "stuck", pthread_self());
        ASSERT_TRUE(eventually([&] { return alive.registered() && stuck.registered(); }));
        // The last report comes before the monitor runs: its first check (at once) only turns
        // the count to 2, the next one reports.
        stuck.stopBeating(4321);
        unsigned char &cycle = stuck.item()->cycleAlive;
        std::atomic_ref<unsigned char>(cycle).store(1);
        std::string prefix = "Stop line:4321,name:\"stuck\",tid=" + std::to_string((long)stuck.tid()) + ",cycleAlive=";
        monitor_startThread(m, -1);
        ASSERT_TRUE(eventually([&] { return std::atomic_ref<unsigned char>(cycle).load() >= 2; }));
        if (std::atomic_ref<unsigned char>(cycle).load() == 2) {
            EXPECT_EQ(cap_.text().find(prefix + "2."), std::string::npos) << "reported at the first check";
        }
        ASSERT_TRUE(eventually([&] { return cap_.text().find(prefix + "4.") != std::string::npos; }, 10s));
        std::string log = kxtest::strip_colours(cap_.text());
        EXPECT_LT(log.find(prefix + "2."), log.find(prefix + "3."));
        EXPECT_NE(log.find("(0s)" + prefix + "2."), std::string::npos);
        EXPECT_EQ(log.find("name:\"alive\""), std::string::npos);  // a beating thread is never reported
        EXPECT_EQ(log.find(prefix + "1."), std::string::npos);
        monitor_stopThread(m);
    }
    monitorItem_remove_and_delete(m, self);
    monitor_delete__OI(m);
}

TEST_F(MonitorTest, TimersFireInDueOrderAndStrictlyAfterTheirTime) {
    struct Fired {
        std::mutex mutex;
        std::vector<std::pair<int, double>> order;
    } fired;
    auto cb = [](void *a, void *b) {
        auto *f = static_cast<Fired *>(a);
        std::lock_guard<std::mutex> lock(f->mutex);
        f->order.emplace_back(static_cast<int>(reinterpret_cast<intptr_t>(b)), kx_time_uptime_get());
    };
    double now = kx_time_uptime_get();
    struct Case {
        int id;
        double in;
    } cases[] = {{1, 0.20}, {2, 0.20}, {3, 0.10}, {4, 0.20}, {5, 0.30}};
    for (const Case &c : cases)
        monitor_timer_add(m_, now + c.in, 0, cb, &fired, reinterpret_cast<void *>(static_cast<intptr_t>(c.id)));
    monitor_startThread(m_, -1);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(fired.mutex);
        return fired.order.size() == 5;
    }));
    std::vector<int> ids;
    for (auto &[id, at] : fired.order) {
        ids.push_back(id);
        for (const Case &c : cases) {
            if (c.id == id) {
                EXPECT_GT(at, now + c.in) << id;
            }
        }
    }
    EXPECT_EQ(ids, (std::vector<int>{3, 1, 2, 4, 5}));
    // A fired record is recycled by the next timer.
    monitor_stopThread(m_);
    monitor_timer *spare = m_->spareTimer;
    ASSERT_NE(spare, nullptr);
    monitor_timer_add(m_, now + 100, 0, cb, &fired, nullptr);
    EXPECT_EQ(m_->pTimerList->array[m_->pTimerList->start], spare);
    monitor_timer_thread_clean(m_);
}

TEST_F(MonitorTest, ThreadCleanRemovesOnlyTheCallersTimersRunningThoseMarked) {
    std::vector<int> called;  // appended by the cleaning thread only
    auto cb = [](void *a, void *b) {
        static_cast<std::vector<int> *>(a)->push_back(static_cast<int>(reinterpret_cast<intptr_t>(b)));
    };
    double later = kx_time_uptime_get() + 100;
    monitor_timer_add(m_, later, 1, cb, &called, reinterpret_cast<void *>(99));  // main's own
    std::thread other([&] {
        struct {
            unsigned char runOnClean;
            int id;
        } timers[] = {{1, 1}, {0, 2}, {1, 3}};
        for (auto &t : timers)
            monitor_timer_add(m_, later + t.id, t.runOnClean, cb, &called, reinterpret_cast<void *>(intptr_t{t.id}));
        monitor_timer_thread_clean(m_);
    });
    other.join();
    EXPECT_EQ(called, (std::vector<int>{1, 3}));
    ASSERT_EQ(m_->pTimerList->count, 1u);
    monitor_timer_thread_clean(m_);
    EXPECT_EQ(called, (std::vector<int>{1, 3, 99}));
    EXPECT_EQ(m_->pTimerList->count, 0u);
}

TEST_F(MonitorTest, RegistrationWaitsForItsParent) {
    std::atomic<pthread_t> parentTid{0};
    std::promise<void> go;
    std::thread parent([&, ready = go.get_future()]() mutable {
        parentTid = pthread_self();
        ready.wait();
        monitorItem *item = monitorItem_new_and_add(m_, "parent", nullptr, nullptr, 0);
        std::this_thread::sleep_for(50ms);
        monitorItem_remove_and_delete(m_, item);  // after its child has left
    });
    ASSERT_TRUE(eventually([&] { return parentTid.load() != 0; }));
    std::atomic<bool> added{false};
    std::thread child([&] {
        monitorItem *item = monitorItem_new_and_add(m_, "kid", nullptr, nullptr, parentTid.load());
        added = item != nullptr;
        std::string t = tree(m_, 0x3);
        EXPECT_NE(t.find("<name>parent</name>"), std::string::npos);
        EXPECT_LT(t.find("<name>parent</name>"), t.find("<name>kid</name>"));
        monitorItem_remove_and_delete(m_, item);
    });
    ASSERT_TRUE(eventually([&] { return cap_.text().find("Find the parentAddress timeout,parentTid=") !=
                                        std::string::npos; }, 10s));
    EXPECT_FALSE(added.load());
    go.set_value();
    child.join();
    parent.join();
    EXPECT_TRUE(added.load());
    EXPECT_EQ(m_->pThreadList->count, 1u);  // main only
}

TEST_F(MonitorTest, RemovalWaitsForChildren) {
    Member kid(m_, "kid", pthread_self());
    ASSERT_TRUE(eventually([&] { return kid.registered(); }));
    auto removed = std::async(std::launch::async, [&] { return monitorItem_remove__IO(m_, self_); });
    // The removal reports at once that it waits, and keeps waiting while the child is there.
    EXPECT_TRUE(eventually([&] {
        return cap_.text().find("Wait child thread exit timeout,tid=" + std::to_string((long)pthread_self())) !=
               std::string::npos;
    }));
    EXPECT_EQ(removed.wait_for(100ms), std::future_status::timeout);
    EXPECT_NE(cap_.text().find("childString=\""), std::string::npos);
    kid.leave();
    ASSERT_EQ(removed.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(removed.get(), 1);
    EXPECT_TRUE(kid.left());
    EXPECT_EQ(m_->pThreadList->count, 0u);
    EXPECT_EQ(count_of(tree(m_, 0xFFFFFFFF), "<thread>"), 0u);
    monitorItem_delete__IO(self_);
    self_ = nullptr;
}

// A parent that stops waiting for its children leaves the tree only with the last of them.
TEST_F(MonitorTest, AbandonedChildWaitKeepsTheTreeWhole) {
    Member kid(m_, "kid", pthread_self());
    ASSERT_TRUE(eventually([&] { return kid.registered(); }));
    EXPECT_EQ(kx::monitorItemRemoveWhile(m_, self_, [] { return false; }), 1);
    EXPECT_EQ(m_->pThreadList->count, 1u);  // the kid only
    std::string t = tree(m_, 0x3);
    EXPECT_EQ(count_of(t, "<thread>"), 2u);
    EXPECT_LT(t.find("<name>main</name>"), t.find("<name>kid</name>"));
    kid.leave();
    ASSERT_TRUE(eventually([&] { return kid.left(); }));
    EXPECT_EQ(m_->pThreadList->count, 0u);
    EXPECT_EQ(count_of(tree(m_, 0x3), "<thread>"), 0u);
    monitorItem_delete__IO(self_);
    self_ = nullptr;
}

TEST_F(MonitorTest, DuplicateRegistrationLeavesNothingHalfAdded) {
    std::string before = tree(m_, 0x3);
    EXPECT_EQ(monitorItem_new_and_add(m_, "again", nullptr, nullptr, 0), nullptr);
    monitorItem *copy = monitorItem_new__IO("again", nullptr);
    EXPECT_EQ(monitorItem_add__OI(m_, copy, 0), 0);
    EXPECT_EQ(monitorItem_add__OI(m_, self_, 0), 0);  // the same record twice
    monitorItem_delete__IO(copy);
    EXPECT_EQ(m_->pThreadList->count, 1u);
    EXPECT_EQ(tree(m_, 0x3), before);
    EXPECT_EQ(count_of(cap_.text(), "Add item is allready exist in pThreadList,tid="), 3u);
}

TEST_F(MonitorTest, TreeTextUnderMasks) {
    Member kid(m_, "kid", pthread_self());
    ASSERT_TRUE(eventually([&] { return kid.registered(); }));
    std::string full = tree(m_, 0xFFFFFFFF);
    EXPECT_NE(full.find("commet=\"totall thread count\""), std::string::npos);
    EXPECT_NE(full.find("<pid>" + std::to_string(getpid()) + "</pid>"), std::string::npos);
    EXPECT_NE(full.find("<tid>" + std::to_string((long)kid.tid()) + "</tid>"), std::string::npos);
    EXPECT_EQ(count_of(full, "<thread>"), 2u);
    EXPECT_NE(full.find("\n    <process>"), std::string::npos);  // indentation 4
    if (access("/usr/bin/xmllint", X_OK) == 0) {
        char path[] = "/tmp/kxtreeXXXXXX";
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, full.data(), full.size()), (ssize_t)full.size());
        close(fd);
        std::string cmd = std::string("/usr/bin/xmllint --noout - <") + path;
        EXPECT_EQ(system(cmd.c_str()), 0) << full;
        unlink(path);
    }
    using Names = std::multiset<std::string>;
    const Names kept = {"root", "process", "pid", "threadCount", "registeredThreadCount", "thread", "name",
                        "child", "thread", "name", "child"};
    auto plus = [&](std::initializer_list<const char *> extra) {
        Names n = kept;
        for (const char *e : extra) n.insert(e);
        return n;
    };
    struct Case {
        uint32_t mask;
        Names expected;
    } cases[] = {
        {0x3, kept},
        {0x2, kept},
        {0x13, plus({"tid", "tid"})},
        {0x123, plus({"utime", "registeredUtime", "utime", "utime"})},
        {0x4042, plus({"fdCount", "registeredFdCount", "fdCount", "fdCount"})},
        {0x8002, plus({"fdDetail", "fdDetail", "fdDetail"})},
    };
    for (const Case &c : cases) {
        std::string text = tree(m_, c.mask);
        EXPECT_EQ(element_names(text), c.expected) << std::hex << c.mask << "\n" << text;
        EXPECT_EQ(text.find("commet=") != std::string::npos, (c.mask & 1) != 0) << std::hex << c.mask;
    }
}

TEST_F(MonitorTest, StatisticsOfAThreadWithParenthesesInItsName) {
    Member busy(m_, "busy", pthread_self(), std::string("a) b (c"));
    ASSERT_TRUE(eventually([&] { return busy.registered(); }));
    monitor_startThread(m_, -1);
    busy.spin();  // 300 ms on the CPU
    ASSERT_TRUE(eventually([&] {
        std::string t = tree(m_, 0x1 | 0x2 | 0x20 | 0x80);
        std::smatch mm;
        std::regex re("<name>busy</name>\\s*<cpuTime[^>]*>([0-9]+)</cpuTime>");
        return std::regex_search(t, mm, re) && std::stol(mm[1]) > 0;
    }));
    EXPECT_EQ(cap_.text().find("Read the file"), std::string::npos);
    monitor_stopThread(m_);
    EXPECT_GT(m_->process.utime + m_->process.stime, 0u);
}

TEST_F(MonitorTest, StartTwiceIsRefused) {
    monitor_startThread(m_, -1);
    pthread_t tid = m_->tid;
    EXPECT_NE(tid, 0u);
    monitor_startThread(m_, -1);
    EXPECT_EQ(m_->tid, tid);
    std::string log = kxtest::strip_colours(cap_.text());
    EXPECT_NE(log.find("The thread is allready running(runStatus=1,tid=" + std::to_string((long)tid) +
                       "),Init Parameter:\n  threadName:\"mon\"\n  pMonitor="),
              std::string::npos)
        << log;
    monitor_stopThread(m_);
    EXPECT_EQ(m_->tid, 0u);
    log = kxtest::strip_colours(cap_.text());
    EXPECT_NE(log.find("--Start.\n"), std::string::npos);
    EXPECT_NE(log.find("--Stop successfully.\n"), std::string::npos);
    EXPECT_EQ(m_->pThreadList->count, 1u);  // the monitor's own item is gone again
}

TEST(MonitorParent, WaitForTheParentItemEndsWithTheStop) {
    Capture cap;
    // The parent (this thread) never registers.
    monitor *m = monitor_new__IO("lost", pthread_self(), nullptr, nullptr, 0, 0.05f, 0.01f);
    monitor_startThread(m, -1);
    ASSERT_TRUE(eventually([&] {
        return cap.text().find("Wait parent thread add monitor item timeout,tid=") != std::string::npos;
    }, 10s));
    EXPECT_NE(cap.text().find("threadName=\"lost\",parentTid=" + std::to_string((long)pthread_self()) + "."),
              std::string::npos);
    auto stopped = std::async(std::launch::async, [&] { monitor_stopThread(m); });
    ASSERT_EQ(stopped.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(m->pThreadList->count, 0u);
    EXPECT_EQ(m->tid, 0u);
    monitor_delete__OI(m);
}

TEST(MonitorFeedDog, FileIsRewrittenAndOnlyARegularFileIsRemoved) {
    char dir[] = "/tmp/kxdogXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/" + program_invocation_short_name + "(" + std::to_string(getpid()) + ")";
    for (bool blockedByDirectory : {false, true}) {
        Capture cap;
        if (blockedByDirectory) {
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        }
        monitor *m = monitor_new__IO("dog", pthread_self(), nullptr, dir, 0, 0.05f, 0.01f);
        ASSERT_STREQ(m->feedDogFile, path.c_str());
        monitorItem *self = monitorItem_new_and_add(m, "main", nullptr, nullptr, 0);
        std::atomic_ref<unsigned char>(self->cycleAlive).store(1);
        monitor_startThread(m, -1);
        struct stat st;
        if (!blockedByDirectory) {
            ASSERT_TRUE(eventually([&] {
                std::ifstream in(path);
                std::string s;
                return std::getline(in, s) && s == "1";
            }));
        } else {
            ASSERT_TRUE(eventually([&] { return cap.text().find("MinGW not support!!!") != std::string::npos; }));
        }
        monitor_stopThread(m);
        EXPECT_EQ(stat(path.c_str(), &st) == 0, blockedByDirectory);
        if (blockedByDirectory) {
            EXPECT_TRUE(S_ISDIR(st.st_mode));
        }
        monitorItem_remove_and_delete(m, self);
        monitor_delete__OI(m);
    }
    rmdir(path.c_str());
    rmdir(dir);
}

TEST(MonitorInCaller, LoopRunsInTheStartingThreadUntilTheRunByteChanges) {
    Capture cap;
    unsigned char run = 1;
    monitor *m = monitor_new__IO("inline", 0, &run, nullptr, 0, 0.05f, 0.01f);
    std::atomic<bool> returned{false};
    std::atomic<int> fired{0};
    std::thread owner([&] {
        monitorItem *self = monitorItem_new_and_add(m, "owner", nullptr, nullptr, 0);
        monitor_timer_add(
            m, kx_time_uptime_get() + 0.02, 0, [](void *a, void *) { ++*static_cast<std::atomic<int> *>(a); }, &fired,
            nullptr);
        monitor_startThread(m, -1);  // runs the loop here
        returned = true;
        EXPECT_EQ(m->pThreadList->count, 1u);  // its item stays with it
        monitorItem_remove_and_delete(m, self);
    });
    ASSERT_TRUE(eventually([&] { return fired.load() == 1; }));
    EXPECT_FALSE(returned.load());
    std::atomic_ref<unsigned char>(run).store(0);
    owner.join();
    EXPECT_TRUE(returned.load());
    std::string log = kxtest::strip_colours(cap.text());
    EXPECT_NE(log.find("Thread:\"inline\" exit,runStatus="), std::string::npos);
    EXPECT_LT(log.find("Thread:\"inline\" exit"), log.find("--Start successfully."));
    monitor_delete__OI(m);
}

}  // namespace
