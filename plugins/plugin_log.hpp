// Log records of the plug-ins, which do not link libkxlib: level 6, source line, clock column
// 0, label, message. Also the export marker of their entry points.
#pragma once

#include <stdio.h>

#define KX_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

#define KX_PLUGIN_LOG(label, fmt, ...)                                                                         \
    do {                                                                                                      \
        printf("\033[36m%d\033[35m%05d\033[33m/\033[34m%010u\033[35m(\033[32m%s\033[35m)\033[33m--\033[31m" fmt \
               "\n\033[0m",                                                                                   \
               6, (int)__LINE__, 0u, (label)__VA_OPT__(, ) __VA_ARGS__);                                      \
        fflush(stdout);                                                                                       \
    } while (0)
