/* Thread monitor: registry of worker threads, liveness, one-shot timers, the monitor tree. */
#ifndef KX_MONITOR_H
#define KX_MONITOR_H

#include <sys/types.h>

#include "kx/base.h"

KX_EXTERN_C_BEGIN

struct kx_Xml;
struct kx_XmlNode;

/* CPU time counters (clock ticks) and their rates (percent of all CPUs over one detection cycle). */
typedef struct monitor_cpuTimes {
    uint64_t utime;
    float utimeRate;
    uint64_t stime;
    float stimeRate;
    uint64_t cutime;
    float cutimeRate;
    uint64_t cstime;
    float cstimeRate;
} monitor_cpuTimes;

typedef void (*monitor_timer_cb)(void *argument1, void *argument2);

/* One queued timer (recycled through the monitor's spare slot). */
typedef struct monitor_timer {
    double dueTime;          /* uptime seconds; fires once the uptime is strictly later */
    pthread_t ownerTid;      /* the thread that queued it */
    unsigned char runOnClean;
    monitor_timer_cb callback;
    void *argument1;
    void *argument2;
} monitor_timer;

typedef struct monitor monitor;
typedef struct monitorItem monitorItem;

struct monitor {
    char *threadName;
    monitor *pMonitor;
    pthread_t parentTid;             /* 0: the loop runs in the thread that starts the monitor */
    unsigned char *externRunStatus;  /* &defaultRunStatus when the creator gives none */
    char *feedDogFile;               /* null: no watchdog file */
    float detectCycle;               /* seconds between liveness checks and statistics */
    float timerCycle;                /* seconds per loop pass (timer resolution) */
    kx_ObjectList *pTimerList;       /* monitor_timer records, ascending due time */
    kx_ObjectList *pThreadList;      /* monitorItem records, registration order */
    struct kx_Xml *monitorTree;
    struct kx_XmlNode *pRootAddPositon;
    pthread_t tid;                   /* the monitor thread, 0 when not running */
    pthread_mutex_t mutex;           /* guards pThreadList and monitorTree */
    monitor_cpuTimes process;        /* statistics of the whole process */
    uint16_t threadCount;
    uint32_t registeredStackSize;
    unsigned char runStatus;         /* 1 while started */
    monitor_timer *spareTimer;
    /* implementation data follows (not part of the interface) */
    uint64_t cpuTotal;               /* last sum of the first /proc/stat line */
    void *worker;
};

struct monitorItem {
    char *name;
    pthread_t tid;                   /* pthread_self of the registering thread */
    void *monitoredAddress;
    double createTime;               /* local wall-clock seconds at registration */
    monitor_cpuTimes statistics;
    uint32_t line;                   /* written by the thread itself */
    unsigned char cycleAlive;        /* 1 reported; 0 fresh; 2.. checks without report (max 255) */
    struct kx_XmlNode *node;         /* the thread element in monitorTree */
    pid_t kernelTid;                 /* gettid of the registering thread (keys /proc/<pid>/task) */
};

/* Monitor. */
KX_API monitor *monitor_new__IO(const char *threadName, pthread_t parentTid, unsigned char *externRunStatus,
                                const char *feedDogDir, unsigned char secondNameForm, float detectCycle,
                                float timerCycle);
KX_API void monitor_delete__OI(monitor *pMonitor);
KX_API void monitor_startThread(monitor *pMonitor, signed char nice);
KX_API void monitor_stopThread(monitor *pMonitor);
KX_API void monitor_out(const monitor *pMonitor, FILE *stream);

/* Items. monitorItem_add__OI returns 1 when added; 0 when an item of the same thread is
 * already registered (the item is not added and stays with the caller). */
KX_API monitorItem *monitorItem_new__IO(const char *name, void *monitoredAddress);
KX_API monitorItem *monitorItem_new_and_add(monitor *pMonitor, const char *name, const char *nameSuffix,
                                            void *monitoredAddress, pthread_t parentTid);
KX_API int monitorItem_add__OI(monitor *pMonitor, monitorItem *item, pthread_t parentTid);
KX_API int monitorItem_remove__IO(monitor *pMonitor, monitorItem *item);
KX_API void monitorItem_delete__IO(monitorItem *item);
KX_API void monitorItem_remove_and_delete(monitor *pMonitor, monitorItem *item);

/* Timers. */
KX_API void monitor_timer_add(monitor *pMonitor, double dueTime, unsigned char runOnClean, monitor_timer_cb callback,
                              void *argument1, void *argument2);
KX_API void monitor_timer_thread_clean(monitor *pMonitor);

/* The monitor tree as XML text (mask selects the elements kept, bit 0 the commet attributes). */
KX_API kx_String *monitor_monitorTree_to_string__IO(monitor *pMonitor, uint32_t mask);

KX_API int monitor_test(monitor *pMonitor);

KX_EXTERN_C_END

#endif
