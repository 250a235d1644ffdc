// The thread monitor: registry of worker threads with their XML tree, liveness checks,
// CPU statistics from /proc, one-shot timers and the feed-dog file.
#include "kx/monitor.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>

#include "core/log.hpp"
#include "core/service.hpp"
#include "kx/global.h"
#include "kx/objectlist.h"
#include "kx/string.h"
#include "kx/time.h"
#include "kx/xml.h"
#include "monitor/monitor.hpp"

namespace {

// Statistics elements: name, commet text of the process form, commet text of the thread form
// (null: the element is not part of a thread element).
struct StatElement {
    const char *name;
    const char *processText;
    const char *threadText;
};

const StatElement kProcessElements[] = {
    {"threadCount", "totall thread count", nullptr},
    {"registeredThreadCount", "registered thread count)", nullptr},
    {"cpuTime", "process use cpu time(s)", "thread use cpu time(s)"},
    {"registeredCpuTime", "registered threads use cpu time(s)", nullptr},
    {"cpuTimeRate", "process cpu occupy rate(%)", "thread cpu occupy rate(%)"},
    {"registeredCpuTimeRate", "registered threads cpu occupy rate(%)", nullptr},
    {"utime", "process user mode time(s)", "thread user mode time(s)"},
    {"registeredUtime", "registered threads user mode time(s)", nullptr},
    {"utimeRate", "process user mode occupy rate(%)", "thread user mode occupy rate(%)"},
    {"registeredUtimeRate", "registered threads user mode occupy rate(%)", nullptr},
    {"stime", "process kernel mode time(s)", "thread kernel mode time(s)"},
    {"registeredStime", "registered threads kernel mode time(s)", nullptr},
    {"stimeRate", "process kernel mode occupy rate(%)", "thread kernel mode occupy rate(%)"},
    {"registeredStimeRate", "registered threads kernel mode occupy rate(%)", nullptr},
    {"cutime", "waited-for children user mode time(s)", "thread waited-for children user mode time(s)"},
    {"registeredCutime", "registered threads waited-for children user mode time(s)", nullptr},
    {"cutimeRate", "waited-for children user mode occupy rate(%)", "thread waited-for children user mode rate(%)"},
    {"registeredCutimeRate", "registered threads waited-for children user mode rate(%)", nullptr},
    {"cstime", "waited-for children kernel mode time(s)", "thread waited-for children kernel mode time(s)"},
    {"registeredCstime", "registered threads waited-for children kernel mode time(s)", nullptr},
    {"cstimeRate", "waited-for children kernel mode occupy rate(%)", "thread waited-for children kernel mode rate(%)"},
    {"registeredCstimeRate", "registered threads waited-for children kernel mode rate(%)", nullptr},
    {"registeredStackSize", "registered threads stack size(B)", nullptr},
    {"fdCount", "process open file count", "thread open file count"},
    {"registeredFdCount", "registered threads open file count", nullptr},
    {"fdDetail", "process open files", "thread open files"},
};

// Elements removed from the tree text when a mask bit is clear.
struct MaskElements {
    uint32_t bit;
    const char *names[9];
};

const MaskElements kMaskElements[] = {
    {0x2, {"name"}},
    {0x4, {"createTime"}},
    {0x8, {"memeryAddress"}},
    {0x10, {"tid"}},
    {0x20, {"cpuTime", "utime", "stime", "cutime", "cstime", "registeredCpuTime", "registeredUtime", "registeredStime",
            "registeredCstime"}},
    {0x20, {"registeredCutime"}},
    {0x40, {"cpuTimeRate", "utimeRate", "stimeRate", "cutimeRate", "cstimeRate", "registeredCpuTimeRate",
            "registeredUtimeRate", "registeredStimeRate", "registeredCutimeRate"}},
    {0x40, {"registeredCstimeRate"}},
    {0x80, {"cpuTime", "cpuTimeRate", "registeredCpuTime", "registeredCpuTimeRate"}},
    {0x100, {"utime", "utimeRate", "registeredUtime", "registeredUtimeRate"}},
    {0x200, {"stime", "stimeRate", "registeredStime", "registeredStimeRate"}},
    {0x400, {"cutime", "cutimeRate", "registeredCutime", "registeredCutimeRate"}},
    {0x800, {"cstime", "cstimeRate", "registeredCstime", "registeredCstimeRate"}},
    {0x1000, {"stackSize", "registeredStackSize"}},
    {0x2000, {"priority"}},
    {0x4000, {"fdCount", "registeredFdCount"}},
    {0x8000, {"fdDetail"}},
};

std::string local_time_text(double localSeconds) {
    // localSeconds already carries the local offset: break it down as UTC.
    time_t secs = static_cast<time_t>(localSeconds);
    long micros = static_cast<long>((localSeconds - static_cast<double>(secs)) * 1e6);
    if (micros < 0) micros = 0;
    struct tm t;
    gmtime_r(&secs, &t);
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06ld", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
             t.tm_hour, t.tm_min, t.tm_sec, micros);
    return text;
}

// CPU counters of one /proc stat line, read after its last ')' (the name may hold anything).
struct ProcStat {
    uint64_t times[4];  // utime, stime, cutime, cstime
    uint64_t threads;
};

enum class ReadResult { ok, open, read };

ReadResult read_first_line(const char *path, std::string *line) {
    FILE *f = fopen(path, "rb");
    if (f == nullptr) return ReadResult::open;
    char buffer[1024];
    bool ok = fgets(buffer, sizeof buffer, f) != nullptr;
    fclose(f);
    if (!ok) return ReadResult::read;
    *line = buffer;
    return ReadResult::ok;
}

bool parse_proc_stat(const std::string &line, ProcStat *out) {
    size_t close = line.rfind(')');
    if (close == std::string::npos) return false;
    // Fields from 3 (state) on; utime..cstime are fields 14..17, num_threads is 20.
    uint64_t field[18] = {};
    const char *p = line.c_str() + close + 1;
    int index = 0;
    while (*p && index < 18) {
        while (*p == ' ') ++p;
        if (!*p || *p == '\n') break;
        char *end = nullptr;
        if (index == 0) {
            end = const_cast<char *>(p);
            while (*end && *end != ' ') ++end;
        } else {
            long long v = strtoll(p, &end, 10);
            if (end == p) return false;
            field[index] = static_cast<uint64_t>(v < 0 ? 0 : v);
        }
        p = end;
        ++index;
    }
    if (index < 18) return false;
    for (int k = 0; k < 4; ++k) out->times[k] = field[11 + k];
    out->threads = field[17];
    return true;
}

// Sum of the first seven values of the "cpu" line of /proc/stat.
bool parse_cpu_total(const std::string &line, uint64_t *total) {
    if (line.compare(0, 3, "cpu") != 0) return false;
    const char *p = line.c_str() + 3;
    uint64_t sum = 0;
    for (int k = 0; k < 7; ++k) {
        char *end = nullptr;
        unsigned long long v = strtoull(p, &end, 10);
        if (end == p) return false;
        sum += v;
        p = end;
    }
    *total = sum;
    return true;
}

void set_rates(monitor_cpuTimes *s, const uint64_t times[4], uint64_t delta) {
    uint64_t *last[4] = {&s->utime, &s->stime, &s->cutime, &s->cstime};
    float *rate[4] = {&s->utimeRate, &s->stimeRate, &s->cutimeRate, &s->cstimeRate};
    for (int k = 0; k < 4; ++k) {
        double diff = static_cast<double>(times[k]) - static_cast<double>(*last[k]);
        *rate[k] = static_cast<float>(diff * 100.0 / static_cast<double>(delta));
        *last[k] = times[k];
    }
}

std::string rate_text(double rate) {
    long whole = static_cast<long>(rate);
    long hundredths = static_cast<long>((rate - static_cast<double>(whole)) * 100.0);
    if (hundredths < 0) hundredths = -hundredths;
    char text[48];
    snprintf(text, sizeof text, "%ld.%02ld", whole, hundredths);
    return text;
}

// Regular files only: a directory or anything else at the path is left alone.
bool remove_regular_file(const char *path) {
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return unlink(path) == 0;
}

unsigned count_open_files() {
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return 0;
    unsigned n = 0;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    return n > 0 ? n - 1 : 0;  // the directory stream itself
}

class MonitorService;

struct MonitorPrivate {
    std::unique_ptr<MonitorService> service;
    std::set<kx_XmlNode *> leftElements;  // thread elements whose item left before its children
    double nextDetect = 0;
    double nextTick = 0;
};

MonitorPrivate *priv(const monitor *m) { return static_cast<MonitorPrivate *>(m->worker); }

// ---- tree helpers (caller holds the monitor mutex) ----

kx_XmlNode *stat_node(monitor *m, kx_XmlNode *parent, const char *name) {
    return kx_Xml_node_get_first(m->monitorTree, parent, name);
}

void set_text(monitor *m, kx_XmlNode *parent, const char *name, const std::string &text) {
    kx_XmlNode *n = stat_node(m, parent, name);
    if (n != nullptr) kx_Xml_node_set_value(m->monitorTree, n, text.c_str());
}

kx_XmlNode *child_element(monitor *m, kx_XmlNode *threadNode) {
    return threadNode ? kx_Xml_node_get_first(m->monitorTree, threadNode, "child") : nullptr;
}

monitorItem *find_item_by_tid(monitor *m, pthread_t tid) {
    kx_ObjectList *list = m->pThreadList;
    for (uint32_t i = 0; i < list->count; ++i) {
        auto *item = static_cast<monitorItem *>(list->array[list->start + i]);
        if (pthread_equal(item->tid, tid)) return item;
    }
    return nullptr;
}

kx_XmlNode *build_thread_element(monitor *m, kx_XmlNode *parent, monitorItem *item) {
    kx_Xml *doc = m->monitorTree;
    kx_XmlNode *t = kx_Xml_node_addChild(doc, parent, "thread");
    if (t == nullptr) return nullptr;
    char text[64];
    bool ok = kx_Xml_node_addChild_with_data(doc, t, "name", item->name) != nullptr;
    ok = ok && kx_Xml_node_addChild_with_data(doc, t, "createTime", local_time_text(item->createTime).c_str());
    snprintf(text, sizeof text, "%#llx", (unsigned long long)(uintptr_t)item->monitoredAddress);
    ok = ok && kx_Xml_node_addChild_with_data(doc, t, "memeryAddress", text);
    snprintf(text, sizeof text, "%ld", (long)item->tid);
    ok = ok && kx_Xml_node_addChild_with_data(doc, t, "tid", text);
    for (const StatElement &e : kProcessElements) {
        if (!ok) break;
        if (e.threadText == nullptr) continue;
        const char *value = strcmp(e.name, "fdDetail") == 0 ? "" : "0";
        ok = kx_Xml_node_addChild_with_data_and_a_property(doc, t, e.name, value, "commet", e.threadText) != nullptr;
    }
    ok = ok && kx_Xml_node_addChild(doc, t, "child") != nullptr;
    if (!ok) {
        kx_Xml_node_delete(doc, t);
        return nullptr;
    }
    return t;
}

// Deletes a thread element; thread elements left behind by their items go too once empty.
void delete_thread_element(monitor *m, kx_XmlNode *node) {
    MonitorPrivate *p = priv(m);
    while (node != nullptr) {
        kx_XmlNode *childEl = node->parent;
        kx_XmlNode *owner = (childEl && childEl->kind == KX_XML_KIND_NODE) ? childEl->parent : nullptr;
        kx_Xml_node_delete(m->monitorTree, node);
        node = nullptr;
        if (owner != nullptr && owner->kind == KX_XML_KIND_NODE && p->leftElements.count(owner) &&
            childEl->childCount == 0) {
            p->leftElements.erase(owner);
            node = owner;
        }
    }
}

// ---- the monitor's own thread ----

class MonitorService : public kx::ServiceThread {
public:
    MonitorService(monitor *m, const Options &o) : ServiceThread(o), m_(m) {}
    ~MonitorService() override { stop(); }

protected:
    std::string parameterText() const override;
    monitorItem *registerWorker(Worker &w) override;
    void unregisterWorker(Worker &w) override;
    void onThreadStart(Worker &w) override;
    double onTick(Worker &w, double now) override;
    void onThreadExit(Worker &w) override;

private:
    void fireTimers(double now);
    void detect();
    void feedDog(bool allAlive);

    monitor *m_;
};

std::string MonitorService::parameterText() const {
    char *text = nullptr;
    size_t size = 0;
    FILE *f = open_memstream(&text, &size);
    if (f == nullptr) return std::string();
    monitor_out(m_, f);
    fclose(f);
    std::string s(text, size);
    free(text);
    return s;
}

monitorItem *MonitorService::registerWorker(Worker &w) {
    // Wait for the parent (parentTid 0: for the item the calling thread registered itself).
    pthread_t wanted = m_->parentTid != 0 ? m_->parentTid : pthread_self();
    double started = kx_time_uptime_get(), lastReport = started;
    for (;;) {
        pthread_mutex_lock(&m_->mutex);
        monitorItem *found = find_item_by_tid(m_, wanted);
        pthread_mutex_unlock(&m_->mutex);
        if (found != nullptr) {
            if (m_->parentTid == 0) return found;
            break;
        }
        if (!w.keepRunning()) return nullptr;
        double now = kx_time_uptime_get();
        if (now - lastReport >= 1.0) {
            lastReport = now;
            KX_LOGE("Wait parent thread add monitor item timeout,tid=%ld,threadName=\"%s\",parentTid=%ld.",
                    (long)pthread_self(), m_->threadName, (long)m_->parentTid);
        }
        kx_thread_usleep(1000);
    }
    monitorItem *item = monitorItem_new__IO(m_->threadName, m_);
    if (item == nullptr) return nullptr;
    if (kx::monitorItemAddWhile(m_, item, m_->parentTid, [&w] { return w.keepRunning(); }) != 1) {
        monitorItem_delete__IO(item);
        return nullptr;
    }
    return item;
}

void MonitorService::unregisterWorker(Worker &w) {
    if (m_->parentTid == 0 || w.item() == nullptr) return;  // the caller's own item stays
    ServiceThread::unregisterWorker(w);
}

void MonitorService::onThreadStart(Worker &) {
    MonitorPrivate *p = priv(m_);
    p->nextTick = 0;
    p->nextDetect = 0;
    if (m_->parentTid == 0) {
        // The loop runs in the thread that started it; a started thread is recorded by
        // monitor_startThread.
        std::atomic_ref<pthread_t>(m_->tid).store(pthread_self());
        std::atomic_ref<unsigned char>(m_->runStatus).store(1);
    }
}

double MonitorService::onTick(Worker &, double now) {
    MonitorPrivate *p = priv(m_);
    if (now < p->nextTick) return p->nextTick - now;
    p->nextTick = now + m_->timerCycle;
    fireTimers(now);
    if (now >= p->nextDetect) {
        p->nextDetect = now + m_->detectCycle;
        detect();
    }
    double left = p->nextTick - kx_time_uptime_get();
    return left > 0 ? left : 0;
}

void MonitorService::onThreadExit(Worker &) {
    if (m_->feedDogFile != nullptr) remove_regular_file(m_->feedDogFile);
}

void MonitorService::fireTimers(double now) {
    kx_ObjectList *list = m_->pTimerList;
    for (;;) {
        pthread_mutex_lock(&list->mutex);
        monitor_timer *t = nullptr;
        if (list->count > 0) {
            auto *head = static_cast<monitor_timer *>(list->array[list->start]);
            if (now > head->dueTime) t = static_cast<monitor_timer *>(kx_ObjectList_remove_head(list));
        }
        pthread_mutex_unlock(&list->mutex);
        if (t == nullptr) return;
        t->callback(t->argument1, t->argument2);
        pthread_mutex_lock(&list->mutex);
        if (m_->spareTimer == nullptr) {
            m_->spareTimer = t;
            t = nullptr;
        }
        pthread_mutex_unlock(&list->mutex);
        free(t);
    }
}

void MonitorService::detect() {
    const bool dogLabel = m_->feedDogFile != nullptr;
    auto fileError = [dogLabel](ReadResult r, const char *path) {
        int err = errno;
        if (r == ReadResult::open) {
            if (dogLabel) {
                KX_LOGS("monitor_private_thread", "Open the file:\"%s\"error:\"%s\".", path, kx::errtext(err));
            } else {
                KX_LOGS("monitor_thread", "Open the file:\"%s\"error:\"%s\".", path, kx::errtext(err));
            }
        } else {
            if (dogLabel) {
                KX_LOGS("monitor_private_thread", "Read the file:\"%s\"error:\"%s\".", path, kx::errtext(err));
            } else {
                KX_LOGS("monitor_thread", "Read the file:\"%s\"error:\"%s\".", path, kx::errtext(err));
            }
        }
    };
    // Process statistics.
    bool haveDelta = false;
    uint64_t delta = 1;
    std::string line;
    ReadResult r = read_first_line("/proc/stat", &line);
    uint64_t total = 0;
    if (r != ReadResult::ok) {
        fileError(r, "/proc/stat");
    } else if (parse_cpu_total(line, &total)) {
        delta = total > m_->cpuTotal ? total - m_->cpuTotal : 1;
        haveDelta = true;
    }
    char path[96];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)getpid());
    ProcStat ps{};
    bool haveProcess = false;
    if (haveDelta) {
        r = read_first_line(path, &line);
        if (r != ReadResult::ok) {
            fileError(r, path);
        } else {
            haveProcess = parse_proc_stat(line, &ps);
        }
    }
    bool allAlive = true;
    pthread_mutex_lock(&m_->mutex);
    if (haveDelta) m_->cpuTotal = total;
    if (haveProcess) {
        set_rates(&m_->process, ps.times, delta);
        m_->threadCount = static_cast<uint16_t>(ps.threads);
    }
    kx_ObjectList *list = m_->pThreadList;
    for (uint32_t i = 0; i < list->count; ++i) {
        auto *item = static_cast<monitorItem *>(list->array[list->start + i]);
        std::atomic_ref<unsigned char> alive(item->cycleAlive);
        unsigned char c = alive.load(std::memory_order_relaxed);
        if (c <= 1) {
            alive.store(2, std::memory_order_relaxed);
        } else if (c < 255) {
            allAlive = false;
            KX_LOGE("(%.0fs)Stop line:%d,name:\"%s\",tid=%ld,cycleAlive=%d.", (double)m_->detectCycle,
                    (int)std::atomic_ref<uint32_t>(item->line).load(std::memory_order_relaxed), item->name,
                    (long)item->tid, (int)c);
            alive.store(static_cast<unsigned char>(c + 1), std::memory_order_relaxed);
        } else {
            allAlive = false;
        }
        if (!haveDelta || item->kernelTid <= 0) continue;
        snprintf(path, sizeof path, "/proc/%d/task/%d/stat", (int)getpid(), (int)item->kernelTid);
        r = read_first_line(path, &line);
        ProcStat ts{};
        if (r != ReadResult::ok) {
            fileError(r, path);
        } else if (parse_proc_stat(line, &ts)) {
            set_rates(&item->statistics, ts.times, delta);
        }
    }
    pthread_mutex_unlock(&m_->mutex);
    feedDog(allAlive);
}

void MonitorService::feedDog(bool allAlive) {
    if (m_->feedDogFile == nullptr || !allAlive) return;
    FILE *f = fopen(m_->feedDogFile, "wb");
    if (f != nullptr) {
        fputc('1', f);
        fclose(f);
        return;
    }
    int err = errno;
    KX_LOGS("monitor_private_thread", "Open the file:\"%s\"error:\"%s\".", m_->feedDogFile, kx::errtext(err));
    struct stat st;
    if (lstat(m_->feedDogFile, &st) == 0) {
        // Something unwritable is in the way: a regular file is replaced at the next check,
        // anything else (a directory, say) is never removed.
        if (!remove_regular_file(m_->feedDogFile)) KX_LOGE("MinGW not support!!!");
    }
}

void test_timer_cb(void *argument1, void *argument2) {
    KX_LOGI("Test timer %lu/%lu.", (unsigned long)(uintptr_t)argument1, (unsigned long)(uintptr_t)argument2);
}

}  // namespace

// ---- internal entry points ----

namespace kx {

int monitorItemAddWhile(monitor *m, monitorItem *item, pthread_t parentTid,
                        const std::function<bool()> &keepWaiting) {
    if (m == nullptr || item == nullptr) return -1;
    double started = kx_time_uptime_get(), lastReport = started;
    kx_XmlNode *parentElement = nullptr;
    for (;;) {
        pthread_mutex_lock(&m->mutex);
        if (parentTid == 0) {
            parentElement = m->pRootAddPositon;
            break;
        }
        monitorItem *parent = find_item_by_tid(m, parentTid);
        if (parent != nullptr) {
            parentElement = child_element(m, parent->node);
            break;
        }
        pthread_mutex_unlock(&m->mutex);
        if (!keepWaiting()) return -1;
        double now = kx_time_uptime_get();
        if (now - lastReport >= 1.0) {
            lastReport = now;
            KX_LOGE("Find the parentAddress timeout,parentTid=%ld,threadName=\"%s\",tid=%ld,monitoredAddress=%#llx.",
                    (long)parentTid, item->name, (long)item->tid,
                    (unsigned long long)(uintptr_t)item->monitoredAddress);
        }
        kx_thread_usleep(1000);
    }
    if (find_item_by_tid(m, item->tid) != nullptr || kx_ObjectList_check_exist(m->pThreadList, item) >= 0) {
        pthread_mutex_unlock(&m->mutex);
        KX_LOGE("Add item is allready exist in pThreadList,tid=%ld,threadName=\"%s\",monitoredAddress=%#llx,"
                "parentTid=%ld.",
                (long)item->tid, item->name, (unsigned long long)(uintptr_t)item->monitoredAddress, (long)parentTid);
        return 0;
    }
    item->createTime = kx_time_local_get();
    kx_XmlNode *node = parentElement ? build_thread_element(m, parentElement, item) : nullptr;
    if (node == nullptr || kx_ObjectList_insert_tail(m->pThreadList, item) < 0) {
        if (node != nullptr) kx_Xml_node_delete(m->monitorTree, node);
        pthread_mutex_unlock(&m->mutex);
        KX_LOGE("Add item error,tid=%ld,threadName=\"%s\".", (long)item->tid, item->name);
        return -1;
    }
    item->node = node;
    pthread_mutex_unlock(&m->mutex);
    return 1;
}

int monitorItemRemoveWhile(monitor *m, monitorItem *item, const std::function<bool()> &keepWaiting) {
    if (m == nullptr || item == nullptr) return 0;
    double lastReport = -1.0;
    pthread_mutex_lock(&m->mutex);
    for (;;) {
        if (kx_ObjectList_check_exist(m->pThreadList, item) < 0) {
            pthread_mutex_unlock(&m->mutex);
            return 0;
        }
        kx_XmlNode *childEl = child_element(m, item->node);
        if (childEl == nullptr || childEl->childCount == 0) break;
        if (!keepWaiting()) {
            // Stop waiting: the element stays while its children are registered and goes
            // with the last of them.
            priv(m)->leftElements.insert(item->node);
            kx_ObjectList_remove(m->pThreadList, item);
            item->node = nullptr;
            pthread_mutex_unlock(&m->mutex);
            return 1;
        }
        double now = kx_time_uptime_get();
        if (lastReport < 0 || now - lastReport >= 1.0) {
            lastReport = now;
            char *text = kx_Xml_node_get_value__IO(childEl, nullptr, nullptr, 0, 0);
            KX_LOGE("Wait child thread exit timeout,tid=%ld,threadName=\"%s\",monitoredAddress=%#llx.\n"
                    "  childString=\"%s\".\n",
                    (long)item->tid, item->name, (unsigned long long)(uintptr_t)item->monitoredAddress,
                    text ? text : "");
            free(text);
        }
        pthread_mutex_unlock(&m->mutex);
        kx_thread_usleep(1000);
        pthread_mutex_lock(&m->mutex);
    }
    kx_ObjectList_remove(m->pThreadList, item);
    delete_thread_element(m, item->node);
    item->node = nullptr;
    pthread_mutex_unlock(&m->mutex);
    return 1;
}

}  // namespace kx

// ---- public interface ----

extern "C" {

monitor *monitor_new__IO(const char *threadName, pthread_t parentTid, unsigned char *externRunStatus,
                         const char *feedDogDir, unsigned char secondNameForm, float detectCycle, float timerCycle) {
    if (threadName == nullptr) threadName = "";
    auto *m = static_cast<monitor *>(calloc(1, sizeof(monitor)));
    if (m == nullptr) return nullptr;
    m->threadName = strdup(threadName);
    m->pMonitor = m;
    m->parentTid = parentTid;
    m->externRunStatus = externRunStatus ? externRunStatus : &defaultRunStatus;
    if (feedDogDir != nullptr) {
        std::string path = feedDogDir;
        if (path.empty() || path.back() != '/') path += '/';
        char name[320];
        if (secondNameForm) {
            snprintf(name, sizeof name, "%s(%d)(%d)", program_invocation_short_name, 0, (int)getpid());
        } else {
            snprintf(name, sizeof name, "%s(%d)", program_invocation_short_name, (int)getpid());
        }
        m->feedDogFile = strdup((path + name).c_str());
    }
    m->detectCycle = detectCycle;
    m->timerCycle = timerCycle;
    m->pTimerList = kx_ObjectList_new__IO(6);
    m->pThreadList = kx_ObjectList_new__IO(8);
    pthread_mutex_init(&m->mutex, nullptr);

    // The tree: root, the process element with its statistics, top-level threads under root.
    kx_Xml *doc = kx_Xml_new__IO();
    m->monitorTree = doc;
    kx_XmlNode *root = doc ? kx_Xml_node_addChild(doc, nullptr, "root") : nullptr;
    if (root != nullptr) {
        kx_Xml_node_property_add(root, "commet", "worker threads of the process and their cpu use");
        kx_XmlNode *process = kx_Xml_node_addChild(doc, root, "process");
        char text[32];
        snprintf(text, sizeof text, "%d", (int)getpid());
        kx_Xml_node_addChild_with_data(doc, process, "pid", text);
        kx_Xml_node_addChild_with_data(doc, process, "createTime", local_time_text(kx_time_local_get()).c_str());
        for (const StatElement &e : kProcessElements) {
            const char *value = strcmp(e.name, "fdDetail") == 0 ? "" : "0";
            kx_Xml_node_addChild_with_data_and_a_property(doc, process, e.name, value, "commet", e.processText);
        }
    }
    m->pRootAddPositon = root;
    auto *p = new MonitorPrivate;
    m->worker = p;
    kx::ServiceThread::Options o;
    o.name = m->threadName;
    o.pMonitor = m;
    o.parentTid = parentTid;
    o.externRunStatus = m->externRunStatus;
    o.idleWait = timerCycle > 0 ? timerCycle : 0.01;
    o.stopText = "Start.";
    o.labels.create = "monitor_new__IO";
    o.labels.start = "monitor_startThread";
    o.labels.stop = "monitor_stopThread";
    o.labels.thread = "monitor_private_thread";
    p->service = std::make_unique<MonitorService>(m, o);
    if (m->pTimerList == nullptr || m->pThreadList == nullptr || root == nullptr) {
        KX_LOGE("Create monitor error,threadName=\"%s\".", threadName);
    }
    exception_addItem(m);
    return m;
}

void monitor_delete__OI(monitor *m) {
    if (m == nullptr) return;
    exception_deleteItem(m);
    MonitorPrivate *p = priv(m);
    if (p != nullptr) {
        p->service.reset();  // joins a thread its owner forgot to stop
        delete p;
    }
    if (m->pTimerList) kx_ObjectList_delete_custom__OI(m->pTimerList, free);
    free(m->spareTimer);
    if (m->pThreadList) kx_ObjectList_delete__OI(m->pThreadList);
    if (m->monitorTree) kx_Xml_delete__OI(m->monitorTree);
    pthread_mutex_destroy(&m->mutex);
    free(m->feedDogFile);
    free(m->threadName);
    free(m);
}

void monitor_startThread(monitor *m, signed char nice) {
    if (m == nullptr) return;
    MonitorService &s = *priv(m)->service;
    if (m->parentTid == 0) {
        // The loop runs here; onThreadStart marks the record started.
        if (s.runInCaller() == 1) {
            std::atomic_ref<unsigned char>(m->runStatus).store(0);
            std::atomic_ref<pthread_t>(m->tid).store(0);
        }
        return;
    }
    if (s.start(nice) == 1) {
        std::atomic_ref<unsigned char>(m->runStatus).store(1);
        std::atomic_ref<pthread_t>(m->tid).store(s.tid());
    }
}

void monitor_stopThread(monitor *m) {
    if (m == nullptr) return;
    priv(m)->service->stop();
    std::atomic_ref<unsigned char>(m->runStatus).store(0);
    std::atomic_ref<pthread_t>(m->tid).store(0);
}

void monitor_out(const monitor *m, FILE *stream) {
    if (m == nullptr || stream == nullptr) return;
    fprintf(stream,
            "threadName:\"%s\"\n  pMonitor=%#llx\n  parentTid=%ld\n  externRunStatus=%#llx\n  feedDogFile:\"%s\"\n"
            "  detectCycle=%f\n  timerCycle=%f\n  pTimerList=%#llx\n  pThreadList=%#llx\n  monitorTree=%#llx\n"
            "  pRootAddPositon=%#llx\n",
            m->threadName, (unsigned long long)(uintptr_t)m->pMonitor, (long)m->parentTid,
            (unsigned long long)(uintptr_t)m->externRunStatus, m->feedDogFile ? m->feedDogFile : "",
            (double)m->detectCycle, (double)m->timerCycle, (unsigned long long)(uintptr_t)m->pTimerList,
            (unsigned long long)(uintptr_t)m->pThreadList, (unsigned long long)(uintptr_t)m->monitorTree,
            (unsigned long long)(uintptr_t)m->pRootAddPositon);
}

monitorItem *monitorItem_new__IO(const char *name, void *monitoredAddress) {
    if (name == nullptr) name = "";
    size_t len = strlen(name);
    auto *item = static_cast<monitorItem *>(calloc(1, sizeof(monitorItem) + len + 1));
    if (item == nullptr) return nullptr;
    item->name = reinterpret_cast<char *>(item + 1);
    memcpy(item->name, name, len + 1);
    item->tid = pthread_self();
    item->kernelTid = static_cast<pid_t>(gettid());
    item->monitoredAddress = monitoredAddress;
    return item;
}

monitorItem *monitorItem_new_and_add(monitor *m, const char *name, const char *nameSuffix, void *monitoredAddress,
                                     pthread_t parentTid) {
    std::string full = name ? name : "";
    if (nameSuffix != nullptr) full += nameSuffix;
    monitorItem *item = monitorItem_new__IO(full.c_str(), monitoredAddress);
    if (item == nullptr) return nullptr;
    if (monitorItem_add__OI(m, item, parentTid) != 1) {
        monitorItem_delete__IO(item);
        return nullptr;
    }
    return item;
}

int monitorItem_add__OI(monitor *m, monitorItem *item, pthread_t parentTid) {
    return kx::monitorItemAddWhile(m, item, parentTid, [] { return true; });
}

int monitorItem_remove__IO(monitor *m, monitorItem *item) {
    return kx::monitorItemRemoveWhile(m, item, [] { return true; });
}

void monitorItem_delete__IO(monitorItem *item) { free(item); }

void monitorItem_remove_and_delete(monitor *m, monitorItem *item) {
    monitorItem_remove__IO(m, item);
    monitorItem_delete__IO(item);
}

void monitor_timer_add(monitor *m, double dueTime, unsigned char runOnClean, monitor_timer_cb callback,
                       void *argument1, void *argument2) {
    if (m == nullptr || callback == nullptr) return;
    kx_ObjectList *list = m->pTimerList;
    pthread_mutex_lock(&list->mutex);
    monitor_timer *t = m->spareTimer;
    m->spareTimer = nullptr;
    if (t == nullptr) t = static_cast<monitor_timer *>(malloc(sizeof(monitor_timer)));
    if (t == nullptr) {
        pthread_mutex_unlock(&list->mutex);
        KX_LOGE("malloc error:\"%s\".", kx::errtext(ENOMEM));
        return;
    }
    t->dueTime = dueTime;
    t->ownerTid = pthread_self();
    t->runOnClean = runOnClean;
    t->callback = callback;
    t->argument1 = argument1;
    t->argument2 = argument2;
    // After every timer due at the same time or earlier.
    uint32_t index = list->count;
    while (index > 0 && static_cast<monitor_timer *>(list->array[list->start + index - 1])->dueTime > dueTime) --index;
    if (kx_ObjectList_insert_at(list, index, t) < 0) {
        free(t);
        KX_LOGE("Add timer error,dueTime=%lf.", dueTime);
    }
    pthread_mutex_unlock(&list->mutex);
}

void monitor_timer_thread_clean(monitor *m) {
    if (m == nullptr) return;
    kx_ObjectList *list = m->pTimerList;
    kx_ObjectList *mine = kx_ObjectList_new__IO(4);
    if (mine == nullptr) return;
    pthread_t self = pthread_self();
    pthread_mutex_lock(&list->mutex);
    for (uint32_t i = 0; i < list->count;) {
        auto *t = static_cast<monitor_timer *>(list->array[list->start + i]);
        if (pthread_equal(t->ownerTid, self)) {
            kx_ObjectList_remove_at(list, i);
            kx_ObjectList_insert_tail(mine, t);
        } else {
            ++i;
        }
    }
    pthread_mutex_unlock(&list->mutex);
    for (uint32_t i = 0; i < mine->count; ++i) {
        auto *t = static_cast<monitor_timer *>(mine->array[mine->start + i]);
        if (t->runOnClean == 1) t->callback(t->argument1, t->argument2);
    }
    kx_ObjectList_delete_custom__OI(mine, free);
}

kx_String *monitor_monitorTree_to_string__IO(monitor *m, uint32_t mask) {
    if (m == nullptr || m->monitorTree == nullptr) return nullptr;
    kx_Xml *doc = m->monitorTree;
    pthread_mutex_lock(&m->mutex);
    kx_XmlNode *process = m->pRootAddPositon ? kx_Xml_node_get_first(doc, m->pRootAddPositon, "process") : nullptr;
    auto number = [](uint64_t v) { return std::to_string(static_cast<long>(v)); };
    auto fill = [&](kx_XmlNode *at, const monitor_cpuTimes &s, const char *prefix) {
        std::string pre = prefix;
        auto name = [&](const char *base) {
            if (pre.empty()) return std::string(base);
            std::string n = pre + base;
            n[pre.size()] = static_cast<char>(toupper(static_cast<unsigned char>(n[pre.size()])));
            return n;
        };
        set_text(m, at, name("cpuTime").c_str(), number(s.utime + s.stime + s.cutime + s.cstime));
        set_text(m, at, name("cpuTimeRate").c_str(),
                 rate_text((double)s.utimeRate + s.stimeRate + s.cutimeRate + s.cstimeRate));
        set_text(m, at, name("utime").c_str(), number(s.utime));
        set_text(m, at, name("utimeRate").c_str(), rate_text(s.utimeRate));
        set_text(m, at, name("stime").c_str(), number(s.stime));
        set_text(m, at, name("stimeRate").c_str(), rate_text(s.stimeRate));
        set_text(m, at, name("cutime").c_str(), number(s.cutime));
        set_text(m, at, name("cutimeRate").c_str(), rate_text(s.cutimeRate));
        set_text(m, at, name("cstime").c_str(), number(s.cstime));
        set_text(m, at, name("cstimeRate").c_str(), rate_text(s.cstimeRate));
    };
    monitor_cpuTimes sum{};
    kx_ObjectList *list = m->pThreadList;
    for (uint32_t i = 0; i < list->count; ++i) {
        auto *item = static_cast<monitorItem *>(list->array[list->start + i]);
        const monitor_cpuTimes &s = item->statistics;
        sum.utime += s.utime;
        sum.stime += s.stime;
        sum.cutime += s.cutime;
        sum.cstime += s.cstime;
        sum.utimeRate += s.utimeRate;
        sum.stimeRate += s.stimeRate;
        sum.cutimeRate += s.cutimeRate;
        sum.cstimeRate += s.cstimeRate;
        if (item->node != nullptr) fill(item->node, s, "");
    }
    if (process != nullptr) {
        set_text(m, process, "threadCount", std::to_string(static_cast<unsigned>(m->threadCount)));
        set_text(m, process, "registeredThreadCount", std::to_string(static_cast<long>(list->count)));
        fill(process, m->process, "");
        fill(process, sum, "registered");
        set_text(m, process, "registeredStackSize", std::to_string(static_cast<unsigned long>(m->registeredStackSize)));
        set_text(m, process, "fdCount", std::to_string(count_open_files()));
        set_text(m, process, "registeredFdCount", "0");
    }
    kx_String *result = nullptr;
    char *text = nullptr;
    if ((mask | 1u) == 0xFFFFFFFFu && (mask & 1u)) {
        result = kx_Xml_to_String__IO(doc, 0, 0, "\n", nullptr, 4);
    } else {
        text = (mask & 1u) ? kx_Xml_to_string__IO(doc, "\n", nullptr, 4)
                           : kx_Xml_to_string_noProperty__IO(doc, "\n", nullptr, 4);
    }
    pthread_mutex_unlock(&m->mutex);
    if (text == nullptr) return result;
    // Parse the text again and drop the elements whose bit is clear.
    kx_Xml *copy = kx_Xml_new_from_string__IO(text);
    free(text);
    if (copy == nullptr) return nullptr;
    kx_Xml_analyzeAll(copy, nullptr);
    for (const MaskElements &e : kMaskElements) {
        if (mask & e.bit) continue;
        for (const char *name : e.names) {
            if (name != nullptr) kx_Xml_node_delete_by_name(copy, name);
        }
    }
    result = kx_Xml_to_String__IO(copy, 0, 0, "\n", nullptr, 4);
    kx_Xml_delete__OI(copy);
    return result;
}

int monitor_test(monitor *m) {
    double now = kx_time_uptime_get();
    for (uintptr_t i = 0; i < 200; ++i) {
        monitor_timer_add(m, now + static_cast<double>(i + 1), 0, test_timer_cb, reinterpret_cast<void *>(i + 1),
                          reinterpret_cast<void *>(uintptr_t{200}));
    }
    return 200;
}

}  // extern "C"
