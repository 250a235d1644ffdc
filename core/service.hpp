// The worker-thread pattern every service of the library shares.
//
// A service owns one or more worker threads. Each worker:
//   - is started with a stack size and a priority (nice 1..99 round-robin real time at that
//     priority, 0 explicit normal scheduling, -1 normal scheduling, anything else is reported
//     and ignored); a refused real-time request falls back to default attributes;
//   - registers a monitor item under the parent thread's item, marks itself alive on every
//     pass and its source line at blocking points, and unregisters before it leaves;
//   - runs while the service's own run status equals the external run-status byte, so one
//     shared byte can stop many services;
//   - waits on its readiness set (a kx::Poller) holding the wake channel plus whatever the
//     service registers, or, without a wake channel, in short sleeps;
//   - takes add/remove commands handed over by callers.
//
// Command hand-over. A caller holds the service mutex for the whole exchange, stores the
// pending item, then the command code (1 add, 2 remove, other small codes as the service
// defines), and either
//   - HandOver::byWorker: wakes worker 0, which applies the command at its next safe point;
//   - HandOver::whilePaused: wakes every worker, each parks at its next safe point, and the
//     caller applies the command itself once every worker is parked.
// When no worker is inside its loop the caller applies the command itself, so a hand-over
// never waits for a thread that stopped or never started. onCommand therefore always runs
// while the service mutex is held (by the caller, on its own behalf or on the worker's).
//
// A service derives from ServiceThread and overrides the hooks it needs:
//
//   class Pool : public kx::ServiceThread {
//   public:
//       Pool(const char *name, monitor *m, pthread_t parent, unsigned char *run)
//           : ServiceThread({.name = name, .pMonitor = m, .parentTid = parent, .externRunStatus = run}) {}
//       ~Pool() override { stop(); }
//   protected:
//       int onCommand(int command, void *item, Worker *) override { ... insert/remove ... }
//       double onTick(Worker &w, double now) override { ...; return 4.0; }
//       void onEvent(Worker &w, uint32_t events, void *data) override { ... }
//   };
//   pool.start(-1); pool.handOver(kx::kCommandAdd, item); ...; pool.stop();
#pragma once

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kx/monitor.h"

namespace kx {

class WakeChannel;
class Poller;

// Stack sizes. The historical 32 KiB / 64 KiB / 128 KiB figures assumed 32-bit frames.
inline constexpr size_t kServiceStackSize = 256 * 1024;
inline constexpr size_t kCodecStackSize = 1024 * 1024;

inline constexpr int kCommandAdd = 1;
inline constexpr int kCommandRemove = 2;

enum class HandOver : uint8_t { byWorker, whilePaused };

class ServiceThread {
public:
    struct Options {
        const char *name = "service";            // thread name (monitor item, log records)
        monitor *pMonitor = nullptr;             // null: no registration
        pthread_t parentTid = 0;                 // item the workers register under (0: the root)
        unsigned char *externRunStatus = nullptr;  // null: &defaultRunStatus
        size_t stackSize = kServiceStackSize;    // raised to kServiceStackSize when smaller
        uint16_t workers = 1;                    // worker count (at least 1)
        bool wakeChannel = true;                 // false: workers poll in short sleeps
        HandOver handOver = HandOver::byWorker;  // byWorker needs one worker; more imply whilePaused
        double idleWait = 4.0;                   // longest wait of a pass unless onTick says otherwise
        const char *stopText = "Stop Start.";   // info record of stop() before the join (static text)
        // Function labels of the log records (static texts; null: the component's own
        // function names), e.g. {"rtspClient_new__IO", "rtspClient_startThread", ...}.
        struct Labels {
            const char *create = nullptr, *start = nullptr, *stop = nullptr, *thread = nullptr,
                       *handOver = nullptr;
        } labels;
    };

    // One worker thread as its hooks see it.
    class Worker {
    public:
        uint16_t index() const { return index_; }
        // The thread running this worker (also for a loop run by runInCaller), 0 outside it.
        pthread_t tid() const { return self_.load(); }
        pid_t kernelTid() const { return kernelTid_; }
        monitorItem *item() const { return item_; }
        ServiceThread &service() const { return *service_; }
        // The worker's readiness set: the service registers its own descriptors here
        // (the event data must not be this worker's address, which marks the wake channel).
        // Made by start before the thread runs (a start fails without it).
        Poller *poller() const { return poller_.get(); }
        // Once per pass: cycleAlive = 1 and the line; at blocking points: the line only.
        void alive(uint32_t line);
        void mark(uint32_t line);
        // Drops the events for data still pending in the batch being handed to onEvent, so a
        // registration removed (or an item freed) during the batch sees none of them. Worker
        // thread only; outside a batch it does nothing.
        void forget(const void *data);
        bool keepRunning() const { return service_->keepRunning(); }

    private:
        friend class ServiceThread;
        ServiceThread *service_ = nullptr;
        uint16_t index_ = 0;
        std::atomic<pthread_t> tid_{0};   // handle of a started thread (start/stop, control lock)
        std::atomic<pthread_t> self_{0};  // set by the running body itself
        pid_t kernelTid_ = 0;
        monitorItem *item_ = nullptr;
        std::atomic<uint8_t> state_{0};  // 0 outside the loop, 1 in the loop, 2 parked or leaving
        std::unique_ptr<WakeChannel> wake_;
        std::unique_ptr<Poller> poller_;
        bool wakeWatched_ = false;  // the wake channel is in poller_
        int pending_ = 0;  // events_[0, pending_) of the current batch are not handed out yet
        std::vector<struct epoll_event> events_;
    };

    explicit ServiceThread(const Options &options);
    // Stops the workers when the derived class has not done so. A derived class whose hooks
    // touch its own members must call stop() in its own destructor.
    virtual ~ServiceThread();
    ServiceThread(const ServiceThread &) = delete;
    ServiceThread &operator=(const ServiceThread &) = delete;

    // Starts the workers (last index first). 1 started; 0 refused because a worker exists or
    // the run status is set; -1 when a thread could not be created, -2 when a worker's
    // readiness set could not be made (nothing stays started either way).
    int start(signed char nice);
    // Clears the run status, wakes and joins every worker (a loop run by runInCaller is
    // waited for unless stop is called from inside it). 1 stopped, 0 nothing was running.
    int stop();
    // Runs worker 0's body on the calling thread until the run status changes (services
    // whose loop may run in their creator's thread). -1 when the service is already running,
    // -2 when the readiness set could not be made.
    int runInCaller();

    // Hands a command over (see above). Returns onCommand's result, or -1 for a command
    // code outside 1..127. Called from one of the service's own workers (a hook), the
    // command is applied at once on that worker.
    int handOver(int command, void *item);

    // The run condition: own run status equals the external byte.
    bool keepRunning() const;
    // Wakes one worker (index) or every worker (-1) with the byte c. 1 written, -1 failed
    // or no wake channel.
    int wake(char c, int index = -1);

    const std::string &name() const { return name_; }
    monitor *pMonitor() const { return pMonitor_; }
    pthread_t parentTid() const { return parentTid_; }
    unsigned char *externRunStatus() const { return externRunStatus_; }
    unsigned char runStatus() const { return runStatus_.load(); }
    size_t stackSize() const { return stackSize_; }
    uint16_t workerCount() const { return static_cast<uint16_t>(workers_.size()); }
    // Handle of worker i, 0 when it does not run.
    pthread_t tid(uint16_t i = 0) const;
    // Read end of worker i's wake channel, -1 when there is none.
    int wakeReadFd(uint16_t i = 0) const;
    // The service mutex held by hand-over callers; services may take it around their own
    // item-list reads.
    std::mutex &mutex() { return mutex_; }

protected:
    // Applies a command. worker is the worker applying it, null when the caller applies it.
    virtual int onCommand(int command, void *item, Worker *worker);
    // In the worker, after registration and before the loop.
    virtual void onThreadStart(Worker &) {}
    // Once per pass, before the wait. Returns the longest wait in seconds (< 0: idleWait).
    virtual double onTick(Worker &, double /*now*/) { return -1.0; }
    // A ready descriptor the service registered in the worker's poller.
    virtual void onEvent(Worker &, uint32_t /*events*/, void * /*data*/) {}
    // After the wake channel was drained and a pending command taken.
    virtual void onWake(Worker &) {}
    // In the worker after the loop, holding the service mutex, before unregistering. Every
    // started worker runs it on its way out, also one that left before its loop (registration
    // given up because the run status changed) and so never ran onThreadStart.
    virtual void onThreadExit(Worker &) {}
    // Registration with the monitor; the defaults add a new item named after the service
    // (".%hu" and the index appended when there are several workers) under parentTid and
    // remove and free it again. registerWorker returns null when it gave up (run status
    // changed) or there is no monitor.
    virtual monitorItem *registerWorker(Worker &worker);
    virtual void unregisterWorker(Worker &worker);
    // The service's parameter block for the "Init Parameter" records (after "Init Parameter:\n  ").
    virtual std::string parameterText() const;

private:
    static void *entry(void *arg);
    bool prepareWorker(Worker &w);  // readiness set and wake channel in it; false when not made
    void releaseWorker(Worker &w);
    void runWorker(Worker &w);
    void waitEvents(Worker &w, double seconds);
    void takeCommand(Worker &w);
    void park(Worker &w);
    bool allParkedOrOut() const;

    std::string name_;
    monitor *pMonitor_;
    pthread_t parentTid_;
    unsigned char *externRunStatus_;
    size_t stackSize_;
    HandOver handOver_;
    double idleWait_;
    const char *stopText_;
    Options::Labels labels_;
    std::atomic<unsigned char> runStatus_{0};
    std::atomic<void *> pendingItem_{nullptr};
    std::atomic<int> command_{0};
    std::atomic<int> commandResult_{0};
    std::atomic<bool> inCaller_{false};  // a loop runs in its creator's thread (runInCaller)
    std::mutex mutex_;    // hand-over callers
    std::mutex control_;  // start/stop/runInCaller against each other
    std::vector<std::unique_ptr<Worker>> workers_;
};

namespace testing {
// Replaces pthread_create for the service threads (null restores it); lets tests refuse
// scheduling attributes or thread creation deterministically.
using ThreadCreateFn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
void setThreadCreate(ThreadCreateFn fn);
}  // namespace testing

}  // namespace kx
