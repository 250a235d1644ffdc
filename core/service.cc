// The worker-thread pattern shared by the services (see service.hpp).
#include "core/service.hpp"

#include <errno.h>
#include <limits.h>
#include <sched.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cmath>

#include "core/log.hpp"
#include "core/poller.hpp"
#include "kx/global.h"
#include "kx/time.h"
#include "monitor/monitor.hpp"

// Records carry the service's own label for the operation when it gave one.
#define LABEL(which) (labels_.which ? labels_.which : __func__)
#define SVC_LOGE(which, fmt, ...) KX_LOG_ERROR_AT(5, __LINE__, LABEL(which), fmt __VA_OPT__(, ) __VA_ARGS__)
#define SVC_LOGI(which, fmt, ...) KX_LOG_INFO_AT(5, __LINE__, LABEL(which), fmt __VA_OPT__(, ) __VA_ARGS__)

namespace kx {

namespace {

std::atomic<testing::ThreadCreateFn> g_threadCreate{nullptr};

int create_thread(pthread_t *tid, const pthread_attr_t *attr, void *(*fn)(void *), void *arg) {
    testing::ThreadCreateFn hook = g_threadCreate.load();
    return hook ? hook(tid, attr, fn, arg) : pthread_create(tid, attr, fn, arg);
}

// Without a wake channel a worker sleeps in slices this long so that stops and commands
// are noticed quickly.
constexpr uint32_t kSliceMicroseconds = 1000;

constexpr int kTaken = 0x100;  // command bit: a worker is applying it

// Thread attributes for a nice value; rt is set when real-time scheduling was asked for.
void make_attributes(pthread_attr_t *attr, size_t stackSize, signed char nice, bool *rt, const char *label) {
    *rt = false;
    pthread_attr_init(attr);
    pthread_attr_setstacksize(attr, stackSize);
    if (nice >= 1 && nice <= 99) {
        sched_param param{};
        param.sched_priority = nice;
        pthread_attr_setinheritsched(attr, PTHREAD_EXPLICIT_SCHED);
        pthread_attr_setschedpolicy(attr, SCHED_RR);
        pthread_attr_setschedparam(attr, &param);
        *rt = true;
    } else if (nice == 0) {
        sched_param param{};
        pthread_attr_setinheritsched(attr, PTHREAD_EXPLICIT_SCHED);
        pthread_attr_setschedpolicy(attr, SCHED_OTHER);
        pthread_attr_setschedparam(attr, &param);
    } else if (nice == -1) {
        pthread_attr_setschedpolicy(attr, SCHED_OTHER);
    } else {
        KX_LOG_ERROR_AT(5, __LINE__, label, "Invalid nice(=%hhd).", nice);
    }
}

}  // namespace

namespace testing {
void setThreadCreate(ThreadCreateFn fn) { g_threadCreate.store(fn); }
}  // namespace testing

// ---- Worker ----

void ServiceThread::Worker::alive(uint32_t line) {
    if (item_ == nullptr) return;
    std::atomic_ref<unsigned char>(item_->cycleAlive).store(1, std::memory_order_relaxed);
    std::atomic_ref<uint32_t>(item_->line).store(line, std::memory_order_relaxed);
}

void ServiceThread::Worker::forget(const void *data) {
    for (int i = 0; i < pending_; ++i) {
        if (events_[i].data.ptr == data) events_[i].events = 0;
    }
}

void ServiceThread::Worker::mark(uint32_t line) {
    if (item_ == nullptr) return;
    std::atomic_ref<uint32_t>(item_->line).store(line, std::memory_order_relaxed);
}

// ---- construction ----

ServiceThread::ServiceThread(const Options &o)
    : name_(o.name ? o.name : ""),
      pMonitor_(o.pMonitor),
      parentTid_(o.parentTid),
      externRunStatus_(o.externRunStatus ? o.externRunStatus : &defaultRunStatus),
      stackSize_(o.stackSize < kServiceStackSize ? kServiceStackSize : o.stackSize),
      handOver_(o.workers > 1 ? HandOver::whilePaused : o.handOver),
      idleWait_(o.idleWait > 0 ? o.idleWait : 4.0),
      stopText_(o.stopText ? o.stopText : "Stop Start."),
      labels_(o.labels) {
    uint16_t n = o.workers ? o.workers : 1;
    if (stackSize_ < static_cast<size_t>(PTHREAD_STACK_MIN)) stackSize_ = PTHREAD_STACK_MIN;
    workers_.reserve(n);
    for (uint16_t i = 0; i < n; ++i) {
        auto w = std::make_unique<Worker>();
        w->service_ = this;
        w->index_ = i;
        if (o.wakeChannel) {
            w->wake_ = std::make_unique<WakeChannel>();
            if (!w->wake_->valid()) SVC_LOGE(create, "kx_socket_pipe error.");
        }
        workers_.push_back(std::move(w));
    }
}

ServiceThread::~ServiceThread() { stop(); }

bool ServiceThread::keepRunning() const {
    // A stopped service (own status 0) never runs, even when the external byte is 0 as well:
    // otherwise a stop that meets an external byte already cleared would make the two equal
    // again and the worker would never leave.
    unsigned char extern_ = std::atomic_ref<unsigned char>(*externRunStatus_).load(std::memory_order_acquire);
    unsigned char own = runStatus_.load(std::memory_order_acquire);
    return own != 0 && own == extern_;
}

pthread_t ServiceThread::tid(uint16_t i) const { return i < workers_.size() ? workers_[i]->tid_.load() : 0; }

int ServiceThread::wakeReadFd(uint16_t i) const {
    if (i >= workers_.size() || !workers_[i]->wake_ || !workers_[i]->wake_->valid()) return -1;
    return workers_[i]->wake_->readFd();
}

int ServiceThread::wake(char c, int index) {
    int rv = -1;
    for (size_t i = 0; i < workers_.size(); ++i) {
        if (index >= 0 && static_cast<size_t>(index) != i) continue;
        WakeChannel *ch = workers_[i]->wake_.get();
        if (ch == nullptr || !ch->valid()) continue;
        if (ch->notify(c) == 1) {
            rv = 1;
        } else {
            int err = errno;
            SVC_LOGE(handOver, "write pipe(=%d) error:\"%s\".", ch->writeFd(), kx::errtext(err));
        }
    }
    return rv;
}

std::string ServiceThread::parameterText() const {
    char text[256];
    snprintf(text, sizeof text, "threadName:\"%s\"\n  pMonitor=%#llx\n  parentTid=%ld\n  externRunStatus=%#llx\n",
             name_.c_str(), (unsigned long long)(uintptr_t)pMonitor_, (long)parentTid_,
             (unsigned long long)(uintptr_t)externRunStatus_);
    return text;
}

// ---- start / stop ----

int ServiceThread::start(signed char nice) {
    std::lock_guard<std::mutex> control(control_);
    if (runStatus_.load() != 0 || workers_[0]->tid_ != 0) {
        SVC_LOGE(start, "The thread is allready running(runStatus=%hhd,tid=%ld),Init Parameter:\n  %s",
                (signed char)runStatus_.load(), (long)workers_[0]->tid_.load(), parameterText().c_str());
        return 0;
    }
    runStatus_.store(1);
    SVC_LOGI(start, "Init Parameter:\n  %s", parameterText().c_str());

    // Every worker's readiness set exists before any thread starts: a worker that could not
    // wait on its descriptors is a failed start, not a worker that runs deaf.
    for (auto &w : workers_) {
        if (!prepareWorker(*w)) {
            for (auto &v : workers_) releaseWorker(*v);
            runStatus_.store(0);
            return -2;
        }
    }
    pthread_attr_t attr;
    bool rt = false;
    make_attributes(&attr, stackSize_, nice, &rt, LABEL(start));
    int result = 1;
    for (size_t k = workers_.size(); k-- > 0;) {
        Worker &w = *workers_[k];
        pthread_t tid = 0;
        int rc = create_thread(&tid, &attr, &ServiceThread::entry, &w);
        if (rc == EPERM && rt) {
            // Real-time scheduling needs a privilege this process lacks: run at normal priority.
            SVC_LOGE(start, "Set priority(=%hhd) error:\"%s\",start with default attributes.", nice,
                     kx::errtext(rc));
            pthread_attr_destroy(&attr);
            pthread_attr_init(&attr);
            pthread_attr_setstacksize(&attr, stackSize_);
            rt = false;
            rc = create_thread(&tid, &attr, &ServiceThread::entry, &w);
        }
        if (rc != 0) {
            SVC_LOGE(start, "Create thread error:\"%s\".", kx::errtext(rc));
            result = -1;
            break;
        }
        w.tid_ = tid;
    }
    pthread_attr_destroy(&attr);
    if (result < 0) {
        // Nothing may stay half started: stop the workers that did start.
        runStatus_.store(0);
        for (size_t k = workers_.size(); k-- > 0;) {
            Worker &w = *workers_[k];
            if (w.tid_ == 0) {
                releaseWorker(w);  // never ran: its readiness set goes here
                continue;
            }
            wake('s', static_cast<int>(k));
            pthread_join(w.tid_.load(), nullptr);
            w.tid_ = 0;
        }
        return result;
    }
    SVC_LOGI(start, "Start successfully.");
    return 1;
}

int ServiceThread::stop() {
    std::lock_guard<std::mutex> control(control_);
    runStatus_.store(0);
    if (workers_[0]->tid_ == 0) {
        // A loop running in its creator's thread (runInCaller) is woken and waited for.
        if (!inCaller_.load()) return 0;
        wake('s', 0);
        if (pthread_equal(workers_[0]->self_.load(), pthread_self())) return 0;
        while (inCaller_.load()) kx_thread_usleep(1000);
        return 1;
    }
    bool several = workers_.size() > 1;
    for (size_t k = workers_.size(); k-- > 0;) {
        Worker &w = *workers_[k];
        if (w.tid_ == 0) continue;
        wake('s', static_cast<int>(k));
        if (several) {
            SVC_LOGI(stop, "Stop Start[%s:%hu-%lu].", name_.c_str(), w.index_, (unsigned long)w.tid_.load());
        } else {
            SVC_LOGI(stop, "%s", stopText_);
        }
        pthread_join(w.tid_.load(), nullptr);
        w.tid_ = 0;
        if (several) {
            SVC_LOGI(stop, "Stop successfully[%s:%hu].", name_.c_str(), w.index_);
        } else {
            SVC_LOGI(stop, "Stop successfully.");
        }
    }
    return 1;
}

int ServiceThread::runInCaller() {
    Worker &w = *workers_[0];
    {
        std::lock_guard<std::mutex> control(control_);
        if (runStatus_.load() != 0 || w.tid_ != 0) {
            SVC_LOGE(start, "The thread is allready running(runStatus=%hhd,tid=%ld),Init Parameter:\n  %s",
                    (signed char)runStatus_.load(), (long)w.tid_.load(), parameterText().c_str());
            return -1;
        }
        if (!prepareWorker(w)) {
            releaseWorker(w);
            return -2;
        }
        runStatus_.store(1);
        inCaller_.store(true);
        SVC_LOGI(start, "Init Parameter:\n  %s", parameterText().c_str());
    }
    runWorker(w);
    runStatus_.store(0);
    SVC_LOGI(start, "Start successfully.");
    inCaller_.store(false);
    return 1;
}

void *ServiceThread::entry(void *arg) {
    auto *w = static_cast<Worker *>(arg);
    w->service_->runWorker(*w);
    return nullptr;
}

// ---- monitor registration ----

monitorItem *ServiceThread::registerWorker(Worker &w) {
    if (pMonitor_ == nullptr) return nullptr;
    monitorItem *item;
    if (workers_.size() > 1) {
        char suffix[16];
        snprintf(suffix, sizeof suffix, ".%hu", w.index_);
        item = monitorItem_new__IO((name_ + suffix).c_str(), this);
    } else {
        item = monitorItem_new__IO(name_.c_str(), this);
    }
    if (item == nullptr) return nullptr;
    if (monitorItemAddWhile(pMonitor_, item, parentTid_, [this] { return keepRunning(); }) != 1) {
        monitorItem_delete__IO(item);
        return nullptr;
    }
    return item;
}

void ServiceThread::unregisterWorker(Worker &w) {
    if (pMonitor_ == nullptr || w.item_ == nullptr) return;
    // Children normally leave first; a stop (own run status cleared) does not wait for them.
    monitorItemRemoveWhile(pMonitor_, w.item_, [this] { return runStatus_.load() != 0; });
    monitorItem_delete__IO(w.item_);
    w.item_ = nullptr;
}

// ---- the worker ----

bool ServiceThread::prepareWorker(Worker &w) {
    w.poller_ = std::make_unique<Poller>();
    w.wakeWatched_ = false;
    if (!w.poller_->valid()) {
        SVC_LOGE(start, "Create the readiness set of worker %hu failed.", w.index_);
        return false;
    }
    if (w.wake_ && w.wake_->valid()) {
        if (w.poller_->add(w.wake_->readFd(), EPOLLIN | EPOLLRDHUP | EPOLLET, &w) != 0) {
            int err = errno;
            SVC_LOGE(start, "Epoll_ctl error:\"%s\",epollfd=%ld,pipeFd=%d.", kx::errtext(err), (long)w.poller_->fd(),
                     w.wake_->readFd());
            return false;
        }
        w.wakeWatched_ = true;
    }
    return true;
}

void ServiceThread::releaseWorker(Worker &w) {
    w.poller_.reset();
    w.wakeWatched_ = false;
}

void ServiceThread::runWorker(Worker &w) {
    w.self_.store(pthread_self());
    w.kernelTid_ = static_cast<pid_t>(gettid());
    w.item_ = registerWorker(w);
    // Registration gives up only when the run status changed: the loop is skipped, but the
    // way out below is the same for every worker.
    if (pMonitor_ == nullptr || w.item_ != nullptr || keepRunning()) {
        onThreadStart(w);
        {
            // Entering the loop under the service mutex: a caller that found no worker applies
            // its command before this worker looks at the items.
            std::lock_guard<std::mutex> lock(mutex_);
            w.state_.store(1);
        }
        while (keepRunning()) {
            w.alive(__LINE__);
            if (handOver_ == HandOver::byWorker) {
                if (w.index_ == 0) takeCommand(w);
            } else {
                park(w);
                if (!keepRunning()) break;
            }
            double wait = onTick(w, kx_time_uptime_get());
            if (wait < 0) wait = idleWait_;
            if (!keepRunning()) break;
            w.mark(__LINE__);
            waitEvents(w, wait);
        }
    }
    // Leaving: state 2 tells hand-over callers not to wait for this worker; the exit hook
    // runs under the service mutex so no caller applies a command at the same time.
    w.state_.store(2);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        onThreadExit(w);
        w.state_.store(0);
    }
    releaseWorker(w);
    if (workers_.size() > 1) {
        SVC_LOGI(thread, "Thread:\"%s-%hu\" exit,runStatus=%hhd.", name_.c_str(), w.index_,
                 (signed char)runStatus_.load());
    } else {
        SVC_LOGI(thread, "Thread:\"%s\" exit,runStatus=%hhd.", name_.c_str(), (signed char)runStatus_.load());
    }
    unregisterWorker(w);
    w.self_.store(0);
}

void ServiceThread::waitEvents(Worker &w, double seconds) {
    // With a wake channel: one wait, which any event or wake-up ends. Without one: waits
    // of at most one slice until the deadline, an event, a command or a stop.
    const bool wakeable = w.wakeWatched_;
    const double deadline = kx_time_uptime_get() + seconds;
    for (;;) {
        double left = deadline - kx_time_uptime_get();
        if (left < 0) left = 0;
        if (!wakeable && left > kSliceMicroseconds * 1e-6) left = kSliceMicroseconds * 1e-6;
        int n = 0;
        if (w.poller_) {
            int timeoutMs = static_cast<int>(std::ceil(left * 1000.0));
            if (w.events_.size() < 16) w.events_.resize(16);
            n = w.poller_->wait(w.events_.data(), static_cast<int>(w.events_.size()), timeoutMs);
            if (n < 0) {
                int err = errno;
                SVC_LOGE(thread, "Epoll_wait error:\"%s\",fd=%ld,rv=%d,epollCount=%u.", kx::errtext(err),
                         (long)w.poller_->fd(), n, (unsigned)w.events_.size());
                kx_thread_usleep(kSliceMicroseconds);
                return;
            }
        } else {
            kx_thread_usleep(static_cast<uint32_t>(left * 1e6) + 1);
        }
        bool woken = false;
        for (int i = n; i-- > 0;) {
            w.pending_ = i;
            const epoll_event &e = w.events_[i];
            if (e.events == 0) continue;  // forgotten during this batch
            if (e.data.ptr == &w) {
                woken = true;
                continue;
            }
            onEvent(w, e.events, e.data.ptr);
        }
        w.pending_ = 0;
        if (n > 0 && static_cast<size_t>(n) == w.events_.size()) w.events_.resize(w.events_.size() * 2);
        if (woken) {
            w.wake_->drain();
            if (handOver_ == HandOver::byWorker && w.index_ == 0) takeCommand(w);
            onWake(w);
        }
        if (wakeable || n > 0 || command_.load() != 0 || !keepRunning() || kx_time_uptime_get() >= deadline) return;
    }
}

void ServiceThread::takeCommand(Worker &w) {
    int c = command_.load();
    if (c == 0 || (c & kTaken)) return;
    if (!command_.compare_exchange_strong(c, c | kTaken)) return;
    void *item = pendingItem_.load(std::memory_order_acquire);
    commandResult_.store(onCommand(c, item, &w), std::memory_order_relaxed);
    command_.store(0);
}

void ServiceThread::park(Worker &w) {
    while (command_.load() != 0) {
        w.state_.store(2);
        while (command_.load() != 0 && keepRunning()) kx_thread_usleep(1);
        if (!keepRunning()) return;  // leaves with state 2: the exit path takes the mutex
        // Back to 1, then look again: a caller that set a new command meanwhile either sees
        // state 1 and waits, or this worker sees its command and parks again.
        w.state_.store(1);
    }
}

bool ServiceThread::allParkedOrOut() const {
    for (const auto &w : workers_) {
        if (w->state_.load() == 1) return false;
    }
    return true;
}

// ---- hand-over ----

int ServiceThread::onCommand(int, void *, Worker *) { return 0; }

int ServiceThread::handOver(int command, void *item) {
    if (command < 1 || command > 127) return -1;
    for (const auto &w : workers_) {
        // From a hook of this service: waiting for a worker would wait for itself, so the
        // command is applied here. While another caller holds the mutex this worker keeps
        // serving (byWorker) or counts as parked (whilePaused): the hook must not hold on to
        // item state across the call.
        if (!pthread_equal(w->self_.load(), pthread_self())) continue;
        uint8_t state = w->state_.load();
        if (state == 1 && handOver_ == HandOver::whilePaused) w->state_.store(2);
        while (!mutex_.try_lock()) {
            if (handOver_ == HandOver::byWorker) takeCommand(*w);
            kx_thread_usleep(1);
        }
        w->state_.store(state);
        int rv = onCommand(command, item, w.get());
        mutex_.unlock();
        return rv;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    pendingItem_.store(item, std::memory_order_release);
    command_.store(command);
    if (handOver_ == HandOver::byWorker) {
        Worker &w = *workers_[0];
        if (w.state_.load() == 1) wake(static_cast<char>('0' + command), 0);
        for (;;) {
            int c = command_.load();
            if (c == 0) return commandResult_.load(std::memory_order_relaxed);
            if (c == command && w.state_.load() != 1) {
                // No worker in its loop: take the command back and apply it here.
                if (command_.compare_exchange_strong(c, 0)) return onCommand(command, item, nullptr);
                continue;
            }
            kx_thread_usleep(1);
        }
    }
    // whilePaused: every worker parks at its next safe point, then the caller applies.
    wake(static_cast<char>('0' + command));
    while (!allParkedOrOut()) kx_thread_usleep(1);
    int rv = onCommand(command, item, nullptr);
    command_.store(0);
    return rv;
}

}  // namespace kx
