// The shared worker-thread pattern: start/stop, priorities and their fallback, command
// hand-over from many threads, stops racing hand-overs, shared run bytes, services
// without a wake channel, several workers paused for a command.
// KX_THREADED: also runs under ThreadSanitizer.
#include "core/service.hpp"

#include <sys/socket.h>

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kx/global.h"
#include "kx/monitor.h"
#include "kx/objectlist.h"
#include "kx/time.h"
#include "core/poller.hpp"
#include "tests/support/stdout_capture.hpp"
#include "tests/support/wait.hpp"

namespace {

using namespace std::chrono_literals;

using Capture = kxtest::CaptureShownOnFailure;

using kxtest::eventually;

class TestService : public kx::ServiceThread {
public:
    using kx::ServiceThread::ServiceThread;
    ~TestService() override { stop(); }

    std::set<void *> items;  // guarded by the service mutex
    std::atomic<int> byWorker{0}, byCaller{0}, starts{0}, exits{0}, ticks{0};
    std::atomic<int> inPass{0};          // workers between their safe point and their wait
    std::atomic<int> commandsInPass{0};  // commands applied while a worker was in its pass
    std::atomic<bool> blockTick{false};  // onTick spins until the run status changes
    std::atomic<int> policy{-1};
    std::atomic<size_t> stack{0};
    std::atomic<bool> sawItem{false};
    std::atomic<void *> selfItem{nullptr};  // handed over by the worker's own tick
    int watchFd = -1;                       // registered for input by the worker when >= 0
    std::atomic<int> inputs{0};
    std::atomic<int> selfResult{0};

    size_t itemCount() {
        std::lock_guard<std::mutex> lock(mutex());
        return items.size();
    }

protected:
    int onCommand(int command, void *item, Worker *w) override {
        if (inPass.load() != 0) ++commandsInPass;
        (w ? byWorker : byCaller)++;
        if (command == kx::kCommandAdd) return items.insert(item).second ? 1 : 0;
        if (command == kx::kCommandRemove) return items.erase(item) ? 1 : 0;
        return -2;
    }
    void onThreadStart(Worker &w) override {
        int p = -1;
        sched_param param{};
        pthread_getschedparam(pthread_self(), &p, &param);
        policy = p;
        pthread_attr_t attr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstacksize(&attr, &size);
            pthread_attr_destroy(&attr);
        }
        stack = size;
        sawItem = w.item() != nullptr;
        if (watchFd >= 0 && w.poller()) w.poller()->add(watchFd, EPOLLIN, &watchFd);
        ++starts;  // last: a test that sees the count sees every field above
    }
    void onEvent(Worker &, uint32_t events, void *data) override {
        if (data != &watchFd || !(events & EPOLLIN)) return;
        char buf[16];
        while (read(watchFd, buf, sizeof buf) > 0) ++inputs;
    }
    double onTick(Worker &w, double) override {
        ++inPass;
        ++ticks;
        if (void *item = selfItem.exchange(nullptr)) selfResult = handOver(kx::kCommandAdd, item);
        while (blockTick.load() && w.keepRunning()) std::this_thread::sleep_for(100us);
        --inPass;
        return 0.02;
    }
    void onThreadExit(Worker &) override { ++exits; }
};

kx::ServiceThread::Options opts(const char *name) {
    kx::ServiceThread::Options o;
    o.name = name;
    return o;
}

TEST(ServiceTest, StartStopAndRefusedSecondStart) {
    auto o = opts("svc");
    o.labels.start = "svc_startThread";
    o.labels.stop = "svc_stopThread";
    TestService s(o);
    Capture cap;
    ASSERT_EQ(s.start(-1), 1);
    EXPECT_NE(s.tid(), 0u);
    EXPECT_EQ(s.runStatus(), 1);
    ASSERT_TRUE(eventually([&] { return s.ticks.load() > 0; }));
    EXPECT_EQ(s.start(-1), 0);  // refused: a thread exists
    EXPECT_EQ(s.stop(), 1);
    EXPECT_EQ(s.tid(), 0u);
    EXPECT_EQ(s.runStatus(), 0);
    EXPECT_EQ(s.stop(), 0);  // nothing left to stop
    EXPECT_EQ(s.starts.load(), 1);
    EXPECT_EQ(s.exits.load(), 1);
    std::string log = kxtest::strip_colours(cap.text());
    EXPECT_NE(log.find("The thread is allready running(runStatus=1,tid="), std::string::npos) << log;
    EXPECT_NE(log.find("Init Parameter:\n  threadName:\"svc\""), std::string::npos);
    EXPECT_NE(log.find("(svc_startThread)--The thread is allready running"), std::string::npos);
    EXPECT_NE(log.find("[svc_stopThread]--Stop successfully."), std::string::npos);
    size_t stopStart = log.find("--Stop Start.\n");
    size_t exitRec = log.find("--Thread:\"svc\" exit,runStatus=0.\n");
    size_t stopOk = log.find("--Stop successfully.\n");
    ASSERT_NE(stopStart, std::string::npos) << log;
    ASSERT_NE(exitRec, std::string::npos) << log;
    ASSERT_NE(stopOk, std::string::npos) << log;
    EXPECT_LT(stopStart, stopOk);
    EXPECT_LT(exitRec, stopOk);  // joined before the last record
    // A stopped service starts again.
    ASSERT_EQ(s.start(-1), 1);
    EXPECT_EQ(s.stop(), 1);
    EXPECT_EQ(s.starts.load(), 2);
}

TEST(ServiceTest, StackIsAtLeastTheServiceMinimum) {
    struct Case {
        size_t asked, atLeast;
    } cases[] = {{32768, kx::kServiceStackSize}, {0x20000, kx::kServiceStackSize}, {kx::kCodecStackSize,
                                                                                       kx::kCodecStackSize}};
    for (const Case &c : cases) {
        auto o = opts("stack");
        o.stackSize = c.asked;
        TestService s(o);
        Capture cap;
        ASSERT_EQ(s.start(-1), 1);
        ASSERT_TRUE(eventually([&] { return s.starts.load() == 1; }));
        s.stop();
        EXPECT_GE(s.stack.load(), c.atLeast) << c.asked;
    }
}

// ---- scheduling attributes, refused real-time priority, failed creation ----

struct SeenAttr {
    int inherit = -1, policy = -1, priority = -1;
    size_t stack = 0;
};
std::vector<SeenAttr> g_seen;  // written only on the starting thread
int g_createMode = 0;          // 0 pass, 1 refuse real time with EPERM, 2 fail every create

int fake_create(pthread_t *tid, const pthread_attr_t *attr, void *(*fn)(void *), void *arg) {
    SeenAttr a;
    sched_param param{};
    pthread_attr_getinheritsched(attr, &a.inherit);
    pthread_attr_getschedpolicy(attr, &a.policy);
    pthread_attr_getschedparam(attr, &param);
    pthread_attr_getstacksize(attr, &a.stack);
    a.priority = param.sched_priority;
    g_seen.push_back(a);
    if (g_createMode == 2) return EAGAIN;
    if (g_createMode == 1 && a.inherit == PTHREAD_EXPLICIT_SCHED && a.policy == SCHED_RR) return EPERM;
    if (a.inherit == PTHREAD_EXPLICIT_SCHED && a.policy == SCHED_RR) {
        // Granted or not, the tests must not run real-time threads: keep the rest of the attributes.
        pthread_attr_t plain;
        pthread_attr_init(&plain);
        pthread_attr_setstacksize(&plain, a.stack);
        int rc = pthread_create(tid, &plain, fn, arg);
        pthread_attr_destroy(&plain);
        return rc;
    }
    return pthread_create(tid, attr, fn, arg);
}

class ServiceCreateTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_seen.clear();
        g_createMode = 0;
        kx::testing::setThreadCreate(fake_create);
    }
    void TearDown() override { kx::testing::setThreadCreate(nullptr); }
};

TEST_F(ServiceCreateTest, NiceSelectsSchedulingAttributes) {
    struct Case {
        signed char nice;
        int inherit, policy, priority;
        bool invalid;
    } cases[] = {
        {1, PTHREAD_EXPLICIT_SCHED, SCHED_RR, 1, false},   {99, PTHREAD_EXPLICIT_SCHED, SCHED_RR, 99, false},
        {0, PTHREAD_EXPLICIT_SCHED, SCHED_OTHER, 0, false}, {-1, PTHREAD_INHERIT_SCHED, SCHED_OTHER, 0, false},
        {100, PTHREAD_INHERIT_SCHED, SCHED_OTHER, 0, true}, {-2, PTHREAD_INHERIT_SCHED, SCHED_OTHER, 0, true},
    };
    for (const Case &c : cases) {
        g_seen.clear();
        TestService s(opts("nice"));
        Capture cap;
        ASSERT_EQ(s.start(c.nice), 1);
        s.stop();
        ASSERT_EQ(g_seen.size(), 1u) << int(c.nice);
        EXPECT_EQ(g_seen[0].inherit, c.inherit) << int(c.nice);
        EXPECT_EQ(g_seen[0].policy, c.policy) << int(c.nice);
        EXPECT_EQ(g_seen[0].priority, c.priority) << int(c.nice);
        EXPECT_GE(g_seen[0].stack, kx::kServiceStackSize);
        std::string invalid = "Invalid nice(=" + std::to_string(int(c.nice)) + ").";
        EXPECT_EQ(cap.text().find(invalid) != std::string::npos, c.invalid) << int(c.nice);
    }
}

TEST_F(ServiceCreateTest, RefusedRealTimeFallsBackToDefaultAttributes) {
    g_createMode = 1;
    TestService s(opts("rt"));
    Capture cap;
    ASSERT_EQ(s.start(50), 1);
    ASSERT_TRUE(eventually([&] { return s.starts.load() == 1; }));
    EXPECT_NE(s.tid(), 0u);
    EXPECT_EQ(s.policy.load(), SCHED_OTHER);
    s.stop();
    ASSERT_EQ(g_seen.size(), 2u);  // real time refused, then default attributes
    EXPECT_EQ(g_seen[0].policy, SCHED_RR);
    EXPECT_EQ(g_seen[1].inherit, PTHREAD_INHERIT_SCHED);
    EXPECT_GE(g_seen[1].stack, kx::kServiceStackSize);
    std::string log = cap.text();
    EXPECT_NE(log.find("Set priority(=50) error:\"Operation not permitted\",start with default attributes."),
              std::string::npos)
        << log;
}

TEST_F(ServiceCreateTest, FailedCreateLeavesNothingStarted) {
    for (uint16_t workers : {1, 3}) {
        g_createMode = 2;
        auto o = opts("fail");
        o.workers = workers;
        TestService s(o);
        Capture cap;
        EXPECT_LT(s.start(-1), 0);
        EXPECT_EQ(s.runStatus(), 0);
        for (uint16_t i = 0; i < workers; ++i) EXPECT_EQ(s.tid(i), 0u);
        EXPECT_NE(cap.text().find("Create thread error:\"Resource temporarily unavailable\"."), std::string::npos);
        // Not looking started: hand-overs are applied by the caller, a new start works.
        int x;
        EXPECT_EQ(s.handOver(kx::kCommandAdd, &x), 1);
        EXPECT_EQ(s.byCaller.load(), 1);
        g_createMode = 0;
        EXPECT_EQ(s.start(-1), 1);
        EXPECT_EQ(s.stop(), 1);
    }
}

// The last worker of several fails: the ones already running are stopped again.
TEST_F(ServiceCreateTest, PartialStartIsUndone) {
    static std::atomic<int> calls;
    calls = 0;
    kx::testing::setThreadCreate([](pthread_t *t, const pthread_attr_t *a, void *(*f)(void *), void *p) {
        return ++calls == 2 ? EAGAIN : pthread_create(t, a, f, p);
    });
    auto o = opts("partial");
    o.workers = 3;
    TestService s(o);
    Capture cap;
    EXPECT_LT(s.start(-1), 0);
    EXPECT_EQ(s.runStatus(), 0);
    for (uint16_t i = 0; i < 3; ++i) EXPECT_EQ(s.tid(i), 0u);
    EXPECT_EQ(s.starts.load(), s.exits.load());
}

// ---- hand-over ----

TEST(ServiceTest, HandOverWithoutThreadIsAppliedByCaller) {
    TestService s(opts("idle"));
    int a, b;
    struct Step {
        int command;
        void *item;
        int result;
    } steps[] = {{kx::kCommandAdd, &a, 1}, {kx::kCommandAdd, &a, 0},    {kx::kCommandAdd, &b, 1},
                 {kx::kCommandRemove, &a, 1}, {kx::kCommandRemove, &a, 0}, {0, &a, -1}, {128, &a, -1}};
    for (const Step &st : steps) EXPECT_EQ(s.handOver(st.command, st.item), st.result) << st.command;
    EXPECT_EQ(s.byWorker.load(), 0);
    EXPECT_EQ(s.byCaller.load(), 5);
    EXPECT_EQ(s.items, std::set<void *>{&b});
}

TEST(ServiceTest, HandOverIsTakenByTheRunningWorker) {
    for (bool channel : {true, false}) {
        auto o = opts("worker");
        o.wakeChannel = channel;
        o.idleWait = 10.0;  // a command must not wait for the idle limit
        TestService s(o);
        EXPECT_EQ(s.wakeReadFd() >= 0, channel);
        Capture cap;
        ASSERT_EQ(s.start(-1), 1);
        ASSERT_TRUE(eventually([&] { return s.ticks.load() > 0; }));
        int a;
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(s.handOver(kx::kCommandAdd, &a), 1);
        EXPECT_EQ(s.handOver(kx::kCommandAdd, &a), 0);
        EXPECT_EQ(s.handOver(kx::kCommandRemove, &a), 1);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
        EXPECT_EQ(s.byWorker.load(), 3) << channel;
        EXPECT_EQ(s.byCaller.load(), 0);
        EXPECT_EQ(s.stop(), 1);
    }
}

TEST(ServiceTest, DescriptorsOfTheServiceAreWaitedOnWithTheWakeChannel) {
    for (bool channel : {true, false}) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
        auto o = opts("sockets");
        o.wakeChannel = channel;
        o.idleWait = 10.0;
        TestService s(o);
        s.watchFd = pair[0];
        Capture cap;
        ASSERT_EQ(s.start(-1), 1);
        ASSERT_TRUE(eventually([&] { return s.ticks.load() > 0; }));
        for (int k = 1; k <= 3; ++k) {
            ASSERT_EQ(write(pair[1], "x", 1), 1);
            EXPECT_TRUE(eventually([&] { return s.inputs.load() == k; }, 1000ms)) << channel;
        }
        EXPECT_EQ(s.stop(), 1);
        close(pair[0]);
        close(pair[1]);
    }
}

TEST(ServiceTest, ConcurrentHandOversWhileStartingAndStopping) {
    TestService s(opts("busy"));
    Capture cap;
    constexpr int kThreads = 4, kItems = 150;
    std::vector<std::vector<int>> storage(kThreads, std::vector<int>(kItems));
    std::atomic<bool> done{false};
    std::thread toggler([&] {
        while (!done.load()) {
            s.start(-1);
            std::this_thread::sleep_for(300us);
            s.stop();
        }
    });
    std::vector<std::thread> callers;
    std::atomic<int> wrong{0};
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < kItems; ++i) {
                if (s.handOver(kx::kCommandAdd, &storage[t][i]) != 1) ++wrong;
            }
            for (int i = 0; i < kItems; i += 2) {
                if (s.handOver(kx::kCommandRemove, &storage[t][i]) != 1) ++wrong;
            }
        });
    }
    for (auto &c : callers) c.join();
    done = true;
    toggler.join();
    s.stop();
    EXPECT_EQ(wrong.load(), 0);
    constexpr int kCommands = kThreads * (kItems + kItems / 2);
    EXPECT_EQ(s.byWorker.load() + s.byCaller.load(), kCommands);
    std::set<void *> expected;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 1; i < kItems; i += 2) expected.insert(&storage[t][i]);
    EXPECT_EQ(s.items, expected);
    EXPECT_EQ(s.starts.load(), s.exits.load());
}

TEST(ServiceTest, StopWhileACallerWaitsOnAHandOver) {
    TestService s(opts("stuck"));
    Capture cap;
    s.blockTick = true;  // the worker never reaches its wait: the command stays pending
    ASSERT_EQ(s.start(-1), 1);
    ASSERT_TRUE(eventually([&] { return s.ticks.load() > 0; }));
    int a;
    auto pending = std::async(std::launch::async, [&] { return s.handOver(kx::kCommandAdd, &a); });
    EXPECT_EQ(pending.wait_for(50ms), std::future_status::timeout);  // still waiting
    auto stopped = std::async(std::launch::async, [&] { return s.stop(); });
    ASSERT_EQ(stopped.wait_for(20s), std::future_status::ready);
    ASSERT_EQ(pending.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(stopped.get(), 1);
    EXPECT_EQ(pending.get(), 1);
    EXPECT_EQ(s.byCaller.load(), 1);  // applied by the caller once the worker had left
    EXPECT_EQ(s.byWorker.load(), 0);
    EXPECT_EQ(s.items, std::set<void *>{&a});
}

TEST(ServiceTest, OneSharedRunByteStopsEveryService) {
    unsigned char run = 1;
    std::vector<std::unique_ptr<TestService>> services;
    Capture cap;
    for (int i = 0; i < 3; ++i) {
        auto o = opts("shared");
        o.externRunStatus = &run;
        o.wakeChannel = i != 1;  // one of them sleeps instead of waiting
        o.idleWait = 10.0;
        services.push_back(std::make_unique<TestService>(o));
        ASSERT_EQ(services.back()->start(-1), 1);
    }
    for (auto &s : services) ASSERT_TRUE(eventually([&] { return s->ticks.load() > 0; }));
    // A byte change alone does not wake a waiting worker: it leaves at its next pass. Services
    // with long idle waits are woken by whoever clears the byte.
    std::atomic_ref<unsigned char>(run).store(0);
    for (auto &s : services) s->wake('s');
    for (auto &s : services) EXPECT_TRUE(eventually([&] { return s->exits.load() == 1; }));
    for (auto &s : services) {
        EXPECT_NE(s->tid(), 0u);           // exited, not yet joined
        EXPECT_EQ(s->start(-1), 0);        // still counts as running until stopped
        int a;
        EXPECT_EQ(s->handOver(kx::kCommandAdd, &a), 1);  // no worker in its loop: applied here
        EXPECT_EQ(s->byCaller.load(), 1);
        EXPECT_EQ(s->stop(), 1);
    }
}

// A stop that meets an external byte already cleared (the worker not yet aware) must still
// end the worker: own status 0 and external byte 0 are equal, yet a stopped service never runs.
TEST(ServiceTest, StopRightAfterTheSharedByteWasCleared) {
    unsigned char run = 1;
    Capture cap;
    auto o = opts("cleared");
    o.externRunStatus = &run;
    o.idleWait = 10.0;
    TestService s(o);
    ASSERT_EQ(s.start(-1), 1);
    ASSERT_TRUE(eventually([&] { return s.ticks.load() > 0; }));
    std::atomic_ref<unsigned char>(run).store(0);
    auto stopped = std::async(std::launch::async, [&] { return s.stop(); });
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "stop hangs";
    EXPECT_EQ(stopped.get(), 1);
    EXPECT_EQ(s.exits.load(), 1);
    EXPECT_EQ(s.tid(), 0u);
}

TEST(ServiceTest, DefaultRunByteIsTheLibraryOne) {
    TestService s(opts("default"));
    EXPECT_EQ(s.externRunStatus(), &defaultRunStatus);
}

TEST(ServiceTest, NoWakeChannelKeepsStandardDescriptors) {
    if (fcntl(0, F_GETFD) == -1) {
        ASSERT_EQ(open("/dev/null", O_RDONLY), 0);
    }
    {
        auto o = opts("nowake");
        o.wakeChannel = false;
        TestService s(o);
        EXPECT_EQ(s.wakeReadFd(), -1);
        EXPECT_EQ(s.wake('x'), -1);
        Capture cap;
        ASSERT_EQ(s.start(-1), 1);
        ASSERT_TRUE(eventually([&] { return s.ticks.load() > 3; }));  // short sleeps, many passes
        s.stop();
    }
    EXPECT_NE(fcntl(0, F_GETFD), -1);
}

TEST(ServiceTest, HandOverFromTheWorkersOwnHookIsAppliedAtOnce) {
    for (uint16_t workers : {1, 2}) {
        auto o = opts("self");
        o.workers = workers;
        TestService s(o);
        Capture cap;
        ASSERT_EQ(s.start(-1), 1);
        std::vector<int> outside(200);
        std::thread caller([&] {
            for (int &x : outside) s.handOver(kx::kCommandAdd, &x);
        });
        int own;
        s.selfItem = &own;
        ASSERT_TRUE(eventually([&] { return s.selfResult.load() == 1; })) << workers;
        caller.join();
        EXPECT_EQ(s.itemCount(), outside.size() + 1);
        EXPECT_EQ(s.stop(), 1);
    }
}

TEST(ServiceTest, LoopInTheCallersThreadStopsFromAnotherThread) {
    TestService s(opts("inline"));
    Capture cap;
    std::atomic<int> result{0};
    std::thread owner([&] { result = s.runInCaller(); });
    ASSERT_TRUE(eventually([&] { return s.ticks.load() > 0; }));
    EXPECT_EQ(s.start(-1), 0);  // already running
    int a;
    EXPECT_EQ(s.handOver(kx::kCommandAdd, &a), 1);
    EXPECT_EQ(s.byWorker.load(), 1);
    EXPECT_EQ(s.stop(), 1);  // returns once the loop has ended
    EXPECT_EQ(s.exits.load(), 1);
    owner.join();
    EXPECT_EQ(result.load(), 1);
}

// ---- monitor registration ----

TEST(ServiceTest, WorkerRegistersUnderItsParentAndMarksItselfAlive) {
    Capture cap;
    monitor *m = monitor_new__IO("mon", 0, nullptr, nullptr, 0, 1.0f, 0.01f);
    monitorItem *parent = monitorItem_new_and_add(m, "main", nullptr, nullptr, 0);
    ASSERT_NE(parent, nullptr);
    auto o = opts("child");
    o.pMonitor = m;
    o.parentTid = pthread_self();
    TestService s(o);
    ASSERT_EQ(s.start(-1), 1);
    ASSERT_TRUE(eventually([&] { return s.starts.load() == 1; }));
    EXPECT_TRUE(s.sawItem.load());
    monitorItem *item = nullptr;
    {
        pthread_mutex_lock(&m->mutex);
        ASSERT_EQ(m->pThreadList->count, 2u);
        item = static_cast<monitorItem *>(m->pThreadList->array[m->pThreadList->start + 1]);
        pthread_mutex_unlock(&m->mutex);
    }
    EXPECT_STREQ(item->name, "child");
    EXPECT_TRUE(pthread_equal(item->tid, s.tid()));
    EXPECT_EQ(item->monitoredAddress, static_cast<void *>(static_cast<kx::ServiceThread *>(&s)));
    // The worker marks itself alive on every pass.
    std::atomic_ref<unsigned char>(item->cycleAlive).store(0);
    EXPECT_TRUE(eventually([&] { return std::atomic_ref<unsigned char>(item->cycleAlive).load() == 1; }));
    EXPECT_NE(std::atomic_ref<uint32_t>(item->line).load(), 0u);
    // A parent waits for its registered child.
    auto removed = std::async(std::launch::async, [&] { return monitorItem_remove__IO(m, parent); });
    EXPECT_EQ(removed.wait_for(100ms), std::future_status::timeout);
    s.stop();  // the child unregisters, then the parent's removal completes
    ASSERT_EQ(removed.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(removed.get(), 1);
    EXPECT_EQ(m->pThreadList->count, 0u);
    monitorItem_delete__IO(parent);
    monitor_delete__OI(m);
    EXPECT_NE(cap.text().find("Wait child thread exit timeout"), std::string::npos);
}

// A worker still waiting for its parent's entry leaves when its run status changes (a stop,
// or the shared byte cleared), and it leaves the way every worker does: exit hook, exit record.
TEST(ServiceTest, WaitForAMissingParentEndsWithTheRunStatusAndTheExitStepsRun) {
    for (bool byteCleared : {false, true}) {
        Capture cap;
        unsigned char run = 1;
        monitor *m = monitor_new__IO("mon", 0, nullptr, nullptr, 0, 1.0f, 0.01f);
        auto o = opts("orphan");
        o.pMonitor = m;
        o.parentTid = pthread_self();  // never registered
        o.externRunStatus = &run;
        TestService s(o);
        ASSERT_EQ(s.start(-1), 1);
        int a;
        EXPECT_EQ(s.handOver(kx::kCommandAdd, &a), 1);  // the worker is not in its loop yet
        EXPECT_EQ(s.byCaller.load(), 1);
        ASSERT_TRUE(eventually([&] { return cap.text().find("Find the parentAddress timeout,parentTid=") !=
                                            std::string::npos; }, 10s));
        if (byteCleared) {
            std::atomic_ref<unsigned char>(run).store(0);
            EXPECT_TRUE(eventually([&] { return s.exits.load() == 1; })) << "left without its exit steps";
        }
        auto stopped = std::async(std::launch::async, [&] { return s.stop(); });
        ASSERT_EQ(stopped.wait_for(20s), std::future_status::ready) << byteCleared;
        EXPECT_EQ(stopped.get(), 1);
        EXPECT_EQ(s.starts.load(), 0) << "never entered its loop";
        EXPECT_EQ(s.exits.load(), 1) << byteCleared;
        EXPECT_NE(kxtest::strip_colours(cap.text()).find("Thread:\"orphan\" exit,runStatus="), std::string::npos);
        EXPECT_EQ(m->pThreadList->count, 0u);
        monitor_delete__OI(m);
    }
}

// A worker that could not have its readiness set is a failed start, not a thread that runs
// without waiting on anything: no descriptor left for epoll_create1, start reports it.
TEST(ServiceTest, StartFailsWhenTheReadinessSetCannotBeMade) {
    TestService s(opts("nofd"));
    ASSERT_GE(s.wakeReadFd(), 0);
    Capture cap;
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    int lowest = open("/dev/null", O_RDONLY);  // the lowest free descriptor
    ASSERT_GE(lowest, 0);
    close(lowest);
    rlimit none = old;
    none.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    int rv = s.start(-1);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    EXPECT_EQ(rv, -2);
    EXPECT_EQ(s.tid(), 0u);
    EXPECT_EQ(s.runStatus(), 0);
    EXPECT_EQ(s.starts.load(), 0);
    EXPECT_NE(cap.text().find("Create the readiness set of worker 0 failed."), std::string::npos) << cap.text();
    // With descriptors again the same service starts and is woken through its channel.
    ASSERT_EQ(s.start(-1), 1);
    ASSERT_TRUE(eventually([&] { return s.ticks.load() > 0; }));
    int x;
    EXPECT_EQ(s.handOver(kx::kCommandAdd, &x), 1);
    EXPECT_EQ(s.byWorker.load(), 1);
    EXPECT_EQ(s.stop(), 1);
}

// ---- several workers: commands applied while every worker is parked ----

TEST(ServiceTest, SeveralWorkersParkForCommands) {
    auto o = opts("pool");
    o.workers = 3;
    o.stackSize = kx::kCodecStackSize;
    TestService s(o);
    Capture cap;
    ASSERT_EQ(s.start(-1), 1);
    for (uint16_t i = 0; i < 3; ++i) EXPECT_NE(s.tid(i), 0u);
    ASSERT_TRUE(eventually([&] { return s.starts.load() == 3; }));
    constexpr int kThreads = 3, kItems = 60;
    std::vector<std::vector<int>> storage(kThreads, std::vector<int>(kItems));
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < kItems; ++i) s.handOver(kx::kCommandAdd, &storage[t][i]);
            for (int i = 0; i < kItems; i += 3) s.handOver(kx::kCommandRemove, &storage[t][i]);
        });
    }
    for (auto &c : callers) c.join();
    EXPECT_EQ(s.commandsInPass.load(), 0);  // never while a worker was working
    EXPECT_EQ(s.byWorker.load(), 0);
    EXPECT_EQ(s.byCaller.load(), kThreads * (kItems + kItems / 3));
    EXPECT_EQ(s.itemCount(), size_t(kThreads * (kItems - kItems / 3)));
    EXPECT_EQ(s.stop(), 1);
    EXPECT_EQ(s.exits.load(), 3);
    std::string log = kxtest::strip_colours(cap.text());
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(log.find("Stop successfully[pool:" + std::to_string(i) + "]."), std::string::npos);
        EXPECT_NE(log.find("Thread:\"pool-" + std::to_string(i) + "\" exit,runStatus=0."), std::string::npos);
    }
    EXPECT_LT(log.find("Stop successfully[pool:2]."), log.find("Stop successfully[pool:0]."));
    EXPECT_GE(s.stack.load(), kx::kCodecStackSize);
}

}  // namespace
