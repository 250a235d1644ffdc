/* AAC objects: one raw AAC frame with its stream metadata in a reference-counted record, and
 * the reader of ADTS streams (".aac" files: frames behind 7- or 9-byte headers) into lists of
 * such objects. */
#ifndef KX_AAC_H
#define KX_AAC_H

#include "kx/base.h"
#include "kx/memory.h"

KX_EXTERN_C_BEGIN

/* One heap block of type KX_OBJECT_TYPE_AAC holding the fields and dataLenth bytes of data
 * behind them. Release with kx_Object_delete__OI / kx_Object_delete_pthreadSafety__OI on
 * &object->object. */
typedef struct audio_aac_object {
    kx_Object object;
    uint16_t classIndex;   /* stream generation, as for H.264 objects */
    uint32_t frameIndex;   /* frame number */
    double frameRate;      /* frames per second (sample rate / 1024 for AAC) */
    uint8_t config;        /* bits 0-3 audio object type (2 = AAC LC), bits 4-6 channel configuration;
                              bit 7 is left alone by the setters */
    uint32_t sampleRate;   /* samples per second */
    double arrivalTime;    /* uptime (s) at which the frame was taken in */
    double streamTime;     /* stream time (s) */
    uint32_t dataLenth;    /* bytes of data */
    unsigned char data[];  /* one raw AAC frame, no ADTS header */
} audio_aac_object;

/* Object with room for dataLength bytes; every field 0 except dataLenth. Null when the size
 * does not fit or memory is short. */
KX_API audio_aac_object *audio_aac_object_new__IO(uint32_t dataLength);
/* The same with the fields set; objectType keeps its low 4 bits, channels its low 3 bits; the
 * data are copied when data is not null. */
KX_API audio_aac_object *audio_aac_object_new_with_data__IO(uint16_t classIndex, uint32_t frameIndex, float frameRate,
                                                           uint8_t objectType, uint8_t channels, uint32_t sampleRate,
                                                           double arrivalTime, double streamTime, uint32_t dataLength,
                                                           const void *data);
/* Sets the fields and, when data is not null, copies dataLenth bytes (the object's own length). */
KX_API void audio_aac_object_set_data(audio_aac_object *object, uint16_t classIndex, uint32_t frameIndex,
                                      float frameRate, uint8_t objectType, uint8_t channels, uint32_t sampleRate,
                                      double arrivalTime, double streamTime, const void *data);

/* Reads ADTS frames from an open file until its end or the first malformed header or short
 * read: a kx_ObjectList of objects in file order (frame index counting from firstFrameIndex,
 * both times advancing by 1024 / sample rate per frame), or null when no frame was read.
 * Only AAC LC is accepted; nothing is skipped or resynchronised. name labels the records. */
KX_API kx_ObjectList *audio_aac_object_get_from_fd__IO(FILE *file, uint16_t classIndex, uint32_t firstFrameIndex,
                                                       double arrivalTime, double streamTime, const char *name);
/* The same for a path ("Open the file" record and null when it cannot be opened). */
KX_API kx_ObjectList *audio_aac_object_get_from_file__IO(const char *path, uint16_t classIndex,
                                                         uint32_t firstFrameIndex, double arrivalTime,
                                                         double streamTime);

KX_EXTERN_C_END

#endif
