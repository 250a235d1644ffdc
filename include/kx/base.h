/* Common definitions shared by every public header of libkxlib. */
#ifndef KX_BASE_H
#define KX_BASE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <pthread.h>

#ifdef __cplusplus
#define KX_EXTERN_C_BEGIN extern "C" {
#define KX_EXTERN_C_END }
#else
#define KX_EXTERN_C_BEGIN
#define KX_EXTERN_C_END
#endif

/* Marks a function or variable exported by libkxlib. Everything else is hidden. */
#define KX_API __attribute__((visibility("default")))

/* Records shared between modules. */
typedef struct kx_ObjectList kx_ObjectList;
typedef struct kx_StructList kx_StructList;
typedef struct kx_StringList kx_StringList;
typedef struct kx_String kx_String;
typedef struct kx_StringBuilder kx_StringBuilder;
typedef struct kx_Object kx_Object;

#endif
