// Library start-up and shut-down, the clock column of log records, the global
// parameter registry and the signal hooks.
#include "kx/global.h"

#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "core/log.hpp"
#include "kx/memory.h"
#include "kx/objectlist.h"

kx_ObjectList *globalParameterList = nullptr;
pthread_mutex_t globalParameterMutex = PTHREAD_MUTEX_INITIALIZER;
unsigned char defaultRunStatus = 1;

namespace {

std::atomic<bool> g_initDone{false};
std::atomic<bool> g_init1Done{false};
std::atomic<bool> g_releaseDone{false};
std::atomic<int> g_printDay{0};

std::atomic<kx_ObjectList *> g_exceptionList{nullptr};

struct CallbackRecord {
    kx_globalParameter head;
    kx_globalParameter_release_cb callback;
    void *argument;
    char name[];
};

void **record_blocks(kx_globalParameter *record) { return reinterpret_cast<void **>(record + 1); }

const char *record_name(kx_globalParameter *record) {
    unsigned char n = static_cast<unsigned char>(record->n);
    if (n == 0) return reinterpret_cast<CallbackRecord *>(record)->name;
    return reinterpret_cast<const char *>(record_blocks(record) + n);
}

// Standard streams at start-up: bit set and stream valid keeps it, otherwise reopen on the path.
void redirect_streams(const char *stdinPath, const char *stdoutPath, const char *stderrPath, unsigned char flags) {
    struct Stream {
        FILE *stream;
        const char *path;
        const char *mode;
    } streams[3] = {{stdin, stdinPath, "rb"}, {stdout, stdoutPath, "wb"}, {stderr, stderrPath, "wb"}};
    for (int i = 0; i < 3; ++i) {
        if (streams[i].path == nullptr) continue;
        if (flags & (1u << i)) {
            struct stat st;
            if (fstat(fileno(streams[i].stream), &st) == 0) continue;
        }
        // A failed reopen is not reported; the stream stays as freopen leaves it.
        (void)!freopen(streams[i].path, streams[i].mode, streams[i].stream);
    }
}

void start_common(uint32_t memoryParameter) {
    // POSIX has no socket layer to start.
    errno = 0;
    kx_memery_init(memoryParameter);
}

// ---- skip handler: async-signal-safe rendering of the "Recv a signal" record ----

const char *const kSignalNames[32] = {
    "UNKNOWN[0]", "SIGHUP[1]",  "SIGINT[2]",   "SIGQUIT[3]",   "SIGILL[4]",    "SIGTRAP[5]",  "SIGABRT[6]",
    "SIGEMT[7]",  "SIGFPE[8]",  "SIGKILL[9]",  "SIGBUS[10]",   "SIGSEGV[11]",  "SIGSYS[12]",  "SIGPIPE[13]",
    "SIGALRM[14]", "SIGTERM[15]", "SIGURG[16]", "SIGSTOP[17]", "SIGTSTP[18]", "SIGCONT[19]", "SIGCHLD[20]",
    "SIGTTIN[21]", "SIGTTOU[22]", "SIGPOLL[23]", "SIGXCPU[24]", "SIGXFSZ[25]", "SIGVTALRM[26]", "SIGPROF[27]",
    "SIGWINCH[28]", "SIGLOST[29]", "SIGUSR1[30]", "SIGUSR2[31]"};

std::atomic<long> g_utcOffset{0};  // seconds east of UTC, captured when a handler is installed

struct SafeBuf {
    char data[256];
    size_t len = 0;
    void put(const char *s) {
        while (*s && len < sizeof(data)) data[len++] = *s++;
    }
    void putUnsigned(unsigned long v, int width) {
        char tmp[24];
        int n = 0;
        do {
            tmp[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v && n < 24);
        while (n < width && n < 24) tmp[n++] = '0';
        while (n > 0 && len < sizeof(data)) data[len++] = tmp[--n];
    }
};

void skipHandler(int s) {
    int savedErrno = errno;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    long local = (ts.tv_sec + g_utcOffset.load(std::memory_order_relaxed)) % 86400;
    if (local < 0) local += 86400;
    unsigned long clockValue = static_cast<unsigned long>(local / 3600) * 100000000ul +
                               static_cast<unsigned long>(local / 60 % 60) * 1000000ul +
                               static_cast<unsigned long>(local % 60) * 10000ul +
                               static_cast<unsigned long>(ts.tv_nsec / 1000 / 100);
    char unknown[24];
    const char *name;
    if (s >= 0 && s < 32) {
        name = kSignalNames[s];
    } else {
        SafeBuf b;
        b.put("UNKNOWN[");
        b.putUnsigned(static_cast<unsigned long>(s), 1);
        b.put("]");
        size_t n = b.len < sizeof(unknown) - 1 ? b.len : sizeof(unknown) - 1;
        memcpy(unknown, b.data, n);
        unknown[n] = 0;
        name = unknown;
    }
    SafeBuf b;
    b.put("\033[37m");
    b.putUnsigned(5, 1);
    b.put("\033[36m");
    b.putUnsigned(1237, 5);
    b.put("\033[33m/\033[35m");
    b.putUnsigned(clockValue, 10);
    b.put("\033[33m|\033[35m");
    b.putUnsigned(static_cast<unsigned long>(getpid()), 1);
    b.put("\033[33m/\033[35m0\033[33m[\033[36mskipHandler\033[33m]\033[35m--\033[32mRecv a signal:");
    b.put(name);
    b.put(".\n\033[0m");
    (void)!write(STDOUT_FILENO, b.data, b.len);
    errno = savedErrno;
}

}  // namespace

namespace kx {
const char *errtext(int err) {
    thread_local char buf[128];
    return strerror_r(err, buf, sizeof buf);
}
}  // namespace kx

extern "C" {

unsigned int __get_printfTime(void) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    time_t secs = tv.tv_sec;
    struct tm tmv;
    localtime_r(&secs, &tmv);
    if (tmv.tm_mday != g_printDay.load(std::memory_order_relaxed)) {
        g_printDay.store(tmv.tm_mday, std::memory_order_relaxed);
        KX_LOG_INFO_AT(1, 88, "__get_printfTime", "Now Time:%04d-%02d-%02d", tmv.tm_year + 1900, tmv.tm_mon + 1,
                       tmv.tm_mday);
        KX_LOG_INFO_AT(5, 89, "__get_printfTime", "Now Time:%04d-%02d-%02d", tmv.tm_year + 1900, tmv.tm_mon + 1,
                       tmv.tm_mday);
        fflush(stdout);
    }
    return static_cast<unsigned int>(tmv.tm_hour) * 100000000u + static_cast<unsigned int>(tmv.tm_min) * 1000000u +
           static_cast<unsigned int>(tmv.tm_sec) * 10000u + static_cast<unsigned int>(tv.tv_usec / 100);
}

void globalInit(unsigned int memoryParameter, const char *stdinPath, const char *stdoutPath, const char *stderrPath,
                unsigned char flags) {
    if (g_initDone.exchange(true)) return;
    redirect_streams(stdinPath, stdoutPath, stderrPath, flags);
    start_common(memoryParameter);
}

void globalInit1(unsigned int memoryParameter, const char *stdinPath, const char *stdoutPath, const char *stderrPath,
                 unsigned char flags) {
    if (g_init1Done.exchange(true)) return;
    // A stream without a path keeps the console it has: Linux processes inherit their parent's terminal.
    redirect_streams(stdinPath, stdoutPath, stderrPath, flags);
    start_common(memoryParameter);
}

kx_ObjectList *globalParameterList_init(void) {
    globalParameterList = kx_ObjectList_new__IO(4);
    return globalParameterList;
}

kx_globalParameter *globalParameter_new_blocks__IO(const char *name, unsigned char n, void *const *blocks) {
    if (n == 0 || name == nullptr) return nullptr;
    size_t nameLen = strlen(name);
    size_t size = sizeof(kx_globalParameter) + n * sizeof(void *) + nameLen + 1;
    auto *record = static_cast<kx_globalParameter *>(calloc(1, size));
    if (!record) return nullptr;
    record->n = n;
    memcpy(record_blocks(record), blocks, n * sizeof(void *));
    memcpy(record_blocks(record) + n, name, nameLen + 1);
    return record;
}

kx_globalParameter *globalParameter_new_callback__IO(const char *name, kx_globalParameter_release_cb cb,
                                                     void *argument) {
    if (name == nullptr || cb == nullptr) return nullptr;
    size_t nameLen = strlen(name);
    auto *record = static_cast<CallbackRecord *>(calloc(1, sizeof(CallbackRecord) + nameLen + 1));
    if (!record) return nullptr;
    record->head.n = 0;
    record->callback = cb;
    record->argument = argument;
    memcpy(record->name, name, nameLen + 1);
    return &record->head;
}

void globalParameter_append__OI(kx_globalParameter *record) {
    if (record == nullptr) return;
    if (globalParameterList == nullptr) globalParameterList_init();
    kx_ObjectList_insert_tail(globalParameterList, record);
}

void globalRelease(void) {
    if (g_releaseDone.exchange(true)) return;
    kx_memery_release();
    pthread_mutex_lock(&globalParameterMutex);
    kx_ObjectList *list = globalParameterList;
    globalParameterList = nullptr;
    pthread_mutex_unlock(&globalParameterMutex);
    if (list != nullptr) {
        unsigned long total = list->count;
        for (unsigned long k = total; k >= 1; --k) {
            auto *record = static_cast<kx_globalParameter *>(list->array[list->start + k - 1]);
            unsigned char n = static_cast<unsigned char>(record->n);
            if (n > 0) {
                KX_LOG_INFO_AT(5, 58, "globalParameterList_release", "%lu/%lu,%s,%hhu", k, total, record_name(record),
                               n);
                for (unsigned i = 0; i < n; ++i) free(record_blocks(record)[i]);
            } else {
                auto *cbRecord = reinterpret_cast<CallbackRecord *>(record);
                KX_LOG_INFO_AT(5, 62, "globalParameterList_release", "%lu/%lu,%s,%hhu,%#llx,%#llx", k, total,
                               cbRecord->name, n, (unsigned long long)(uintptr_t)cbRecord->callback,
                               (unsigned long long)(uintptr_t)cbRecord->argument);
                cbRecord->callback(cbRecord->argument);
            }
            free(record);
        }
        kx_ObjectList_delete__OI(list);
    }
    // POSIX has no socket layer to stop.
}

int exceptionRegister(void) {
    KX_LOG_ERROR_AT(5, 1272, __func__, "MinGW not support!!!");
    return -1;
}

void exception_addItem(void *monitor) {
    kx_ObjectList *list = g_exceptionList.load();
    if (list == nullptr) {
        pthread_mutex_lock(&globalParameterMutex);
        list = g_exceptionList.load();
        if (list == nullptr) {
            list = kx_ObjectList_new__IO(4);
            g_exceptionList.store(list);
        }
        pthread_mutex_unlock(&globalParameterMutex);
    }
    pthread_mutex_lock(&list->mutex);
    if (kx_ObjectList_check_exist(list, monitor) >= 0) {
        KX_LOG_ERROR_AT(5, 1301, __func__, "pMonitor has exist.");
    }
    kx_ObjectList_insert_tail(list, monitor);
    pthread_mutex_unlock(&list->mutex);
}

void exception_deleteItem(void *monitor) {
    kx_ObjectList *list = g_exceptionList.load();
    if (list == nullptr) return;
    pthread_mutex_lock(&list->mutex);
    kx_ObjectList_remove(list, monitor);  // searches from the tail; absent monitors change nothing
    pthread_mutex_unlock(&list->mutex);
}

void exceptionDelete(void) {
    pthread_mutex_lock(&globalParameterMutex);
    kx_ObjectList *list = g_exceptionList.exchange(nullptr);
    pthread_mutex_unlock(&globalParameterMutex);
    if (list) kx_ObjectList_delete__OI(list);
}

kx_signal_handler exception_skip(unsigned char signalNumber) {
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    g_utcOffset.store(tmv.tm_gmtoff, std::memory_order_relaxed);
    return signal(signalNumber, skipHandler);
}

}  // extern "C"
