/* H.264 codecs through run-time plug-ins: the decoder plug-in libavcsink and the encoder
 * plug-in libavcforge, loaded by file name on the first video_h264_decode_new /
 * video_h264_encode_new and released by globalRelease. These wrappers are the only way the
 * rest of the library reaches a codec.
 *
 * Where a plug-in is looked for, in order (the first file that exists and opens wins; a file
 * that exists but does not open is logged and the next one is tried):
 *   decoder: /kx/bin/libavcsink.so, ./libavcsink.so, ../bin/libavcsink.so,
 *   encoder: ../bin/libavcforge.so, ./libavcforge.so, /kx/bin/libavcforge.so,
 *   then the folder that holds libkxlib itself (where the build puts the plug-ins), its
 *   kxlib/ subfolder (where they are installed: <libdir>/kxlib) and, for programs that carry
 *   the library's objects, <program folder>/../lib/kxlib.
 * Relative candidates are relative to the working directory.
 *
 * Decoder plug-in contract (symbols of a shared library):
 *   void *h264_decode_new(uint32_t width, uint32_t height);
 *   void  h264_decode_delete(void *handle);
 *   int   h264_decode(void *handle, uint8_t *dst, uint32_t lineBits, uint8_t outType,
 *                     uint32_t *width, uint32_t *height, uint32_t bufferLenth, const uint8_t *buffer);
 *   int   h264_decode_tagged(same arguments..., int64_t tag, int64_t *pictureTag);   optional
 * Encoder plug-in contract:
 *   void *h264_encode_new(uint32_t width, uint32_t height, uint32_t bitRateKbps, float frameRate);
 *   void  h264_encode_delete(void *handle);
 *   int   h264_encode(void *handle, unsigned char **data, signed char *keyFrame, const unsigned char *picture);
 *
 * Decoding results:
 *    1  one picture written to dst;
 *    0  no picture yet, nothing wrong: the unit was accepted but the stream reorders pictures
 *       (B-frames) and the decoder holds them back until later units arrive; for a drain
 *       call (below) it means nothing is held any more;
 *   -1  the unit did not decode to a picture (corrupt unit, parameter sets only, a picture
 *       format other than 8-bit YUV 4:2:0, ...);
 *   -2  the picture's size differs from *width x *height: both now hold the decoded size,
 *       nothing was written, and the picture stays first in line: the next call with the
 *       size just learnt delivers it (passing the same unit again does not decode it twice).
 * A stream without B-frames yields the picture of every unit in the call that passes it.
 *
 * Reordering streams (B-frames). Pictures leave the decoder in display order, some units
 * later than the unit that carried them. A caller that may meet such streams:
 *   - decodes with video_h264_decode_tagged, passing a tag that names the frame the unit
 *     belongs to (e.g. its frame index); a result of 1 returns in *pictureTag the tag of the
 *     unit whose picture was just written, which need not be the unit of this call;
 *   - treats 0 as "wait": the frame stays queued until a later call returns its tag;
 *   - drains at the end of a stream or of a group of pictures handed to this decoder by
 *     calling with bufferLenth 0 (buffer may be null) until the result is 0: each call
 *     hands out one held picture with its tag. After the drain the decoder starts afresh
 *     and expects a key frame.
 * Tags are any value except INT64_MIN. With plug-ins that lack h264_decode_tagged, the
 * tagged wrapper calls h264_decode and reports INT64_MIN on 1: the picture is the next one in
 * display order, but which unit carried it is not known.
 *
 * outType: 0 = planar Y, Cb, Cr each at full size (chroma repeated over 2 x 2 pixels);
 * 1 = Y only; 2 = planar YUV 4:2:0 (Y, then Cb and Cr of height/2 rows lineBits/2 bytes
 * apart). Y rows are lineBits bytes apart, each copies width bytes.
 *
 * Encoding: h264_encode returns the length (> 0) of the access unit it made from one planar
 * YUV 4:2:0 picture (packed rows, the size given at creation), which stays owned by the
 * plug-in until its next call, and its key-frame code; <= 0 on failure. libavcforge encodes
 * with low latency (no B-frames: one picture in, its unit out), puts SPS and PPS in front of
 * every IDR frame (code 3), starts a group of pictures about once a second, and takes the
 * bit rate in kbit/s.
 */
#ifndef KX_CODEC_H
#define KX_CODEC_H

#include "kx/base.h"
#include "kx/h264.h"

KX_EXTERN_C_BEGIN

/* Decoder: handle of the loaded plug-in, or null (plug-in missing: "Can not find libavcsink."). */
KX_API void *video_h264_decode_new(uint32_t width, uint32_t height);
KX_API void video_h264_decode_delete(void *handle);
KX_API int video_h264_decode(void *handle, unsigned char *destination, uint32_t lineBits, unsigned char outType,
                             uint32_t *width, uint32_t *height, uint32_t bufferLenth, const unsigned char *buffer);
/* As video_h264_decode, with the unit's tag in and the written picture's tag out (see above). */
KX_API int video_h264_decode_tagged(void *handle, unsigned char *destination, uint32_t lineBits,
                                    unsigned char outType, uint32_t *width, uint32_t *height, uint32_t bufferLenth,
                                    const unsigned char *buffer, int64_t tag, int64_t *pictureTag);

/* Encoder: handle or null (plug-in missing: "Can not find libavcforge."). bitRate in kbit/s. */
KX_API void *video_h264_encode_new(uint32_t width, uint32_t height, uint32_t bitRate, float frameRate);
KX_API void video_h264_encode_delete(void *handle);
KX_API int video_h264_encode(void *handle, unsigned char **data, signed char *keyFrame, const unsigned char *picture);
/* Encodes one picture into a new H.264 object carrying the given fields and the plug-in's
 * key-frame code; null on failure ("Encode failed,h=%#llx."). */
KX_API video_h264_object *video_h264_encode__IO(void *handle, const unsigned char *picture, uint16_t classIndex,
                                                uint32_t frameIndex, float frameRate, uint32_t width,
                                                uint32_t height, double arrivalTime, double streamTime);

/* Release hooks registered in globalParameterList when a plug-in is loaded; globalRelease runs them. */
KX_API void video_h264_private_decode_unload_lib(void);
KX_API void video_h264_private_encode_unload_lib(void);

/* Replaces the last candidate folder (libkxlib's own) for every plug-in the library loads
 * (codecs, glyphs, JPEG); null restores it. Meant for tests and hosts that keep plug-ins
 * elsewhere; call before the first load. */
KX_API void video_h264_private_plugin_folder_set(const char *folder);

KX_EXTERN_C_END

#endif
