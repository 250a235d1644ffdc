/* Library start-up and shut-down, the process-wide parameter registry, signal hooks. */
#ifndef KX_GLOBAL_H
#define KX_GLOBAL_H

#include "kx/base.h"

KX_EXTERN_C_BEGIN

/* Callback of a global parameter record with no owned blocks. */
typedef void (*kx_globalParameter_release_cb)(void *argument);

/*
 * One entry of globalParameterList. With n > 0 the record holds n owned heap blocks
 * (blocks[0..n-1]) followed by the NUL-terminated name; with n == 0 it holds a
 * release callback, its argument, then the name. Build records with
 * globalParameter_new_blocks__IO / globalParameter_new_callback__IO.
 */
typedef struct kx_globalParameter {
    uint32_t n; /* only the low byte is meaningful */
    uint32_t pad; /* keeps the following pointers aligned */
    /* n > 0: void *blocks[n]; char name[];  n == 0: callback, argument, char name[] */
} kx_globalParameter;

KX_API extern kx_ObjectList *globalParameterList;
KX_API extern pthread_mutex_t globalParameterMutex;
KX_API extern unsigned char defaultRunStatus;

/* Clock column of log records: HHMMSSffff of the local time of day. */
KX_API unsigned int __get_printfTime(void);

KX_API void globalInit(unsigned int memoryParameter, const char *stdinPath, const char *stdoutPath,
                       const char *stderrPath, unsigned char flags);
KX_API void globalInit1(unsigned int memoryParameter, const char *stdinPath, const char *stdoutPath,
                        const char *stderrPath, unsigned char flags);
KX_API void globalRelease(void);

/* Creates globalParameterList; call only while holding globalParameterMutex and only when it is null. */
KX_API kx_ObjectList *globalParameterList_init(void);

/* Record builders (additions): a record owning n blocks, or a callback record. */
KX_API kx_globalParameter *globalParameter_new_blocks__IO(const char *name, unsigned char n, void *const *blocks);
KX_API kx_globalParameter *globalParameter_new_callback__IO(const char *name, kx_globalParameter_release_cb cb,
                                                            void *argument);
/* Appends a record to globalParameterList, creating the list when needed.
 * The caller holds globalParameterMutex (as it does while building the table). */
KX_API void globalParameter_append__OI(kx_globalParameter *record);

/* Signal and exception hooks. */
KX_API int exceptionRegister(void);
KX_API void exception_addItem(void *monitor);
KX_API void exception_deleteItem(void *monitor);
KX_API void exceptionDelete(void);
typedef void (*kx_signal_handler)(int);
KX_API kx_signal_handler exception_skip(unsigned char signalNumber);

KX_EXTERN_C_END

#endif
