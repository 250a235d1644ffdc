/* H.264 access units in Annex B byte-stream form (NAL units behind 00 00 01 or 00 00 00 01):
 * key-frame classification, parameter-set location, sequence parameter set (SPS) parsing and the
 * picture size, plus the H.264 object that carries one encoded frame between threads.
 *
 * Nothing here decodes pictures. Every function reads only inside the (length, data) range it is
 * given, whatever the bytes are. */
#ifndef KX_H264_H
#define KX_H264_H

#include "kx/base.h"
#include "kx/memory.h"

KX_EXTERN_C_BEGIN

/* Key-frame code (signed byte): bit 1 = the frame carries SPS and PPS, bit 0 = it carries an IDR slice. */
enum {
    VIDEO_H264_KEYFRAME_MALFORMED = -1, /* logged */
    VIDEO_H264_KEYFRAME_NONE = 0,
    VIDEO_H264_KEYFRAME_IDR = 1,         /* IDR slice first, no parameter sets */
    VIDEO_H264_KEYFRAME_PARAMETERS = 2,  /* SPS + PPS, then no IDR slice */
    VIDEO_H264_KEYFRAME_PARAMETERS_IDR = 3 /* SPS + PPS (+ one SEI) + IDR slice */
};

/* Largest picture side video_h264_size_get accepts, in pixels. */
#define VIDEO_H264_MAX_SIDE 16384u

/* One encoded frame: reference-counted object of type KX_OBJECT_TYPE_H264, one heap block holding
 * the fields and dataLenth bytes of Annex B data behind them. Release with kx_Object_delete__OI /
 * kx_Object_delete_pthreadSafety__OI on &object->object. */
typedef struct video_h264_object {
    kx_Object object;
    uint16_t classIndex;  /* picture-size generation of the stream */
    uint32_t frameIndex;  /* frame number from the source */
    float frameRate;      /* frames per second, 0 when unknown */
    uint32_t width;       /* picture size in pixels */
    uint32_t height;
    signed char keyFrame; /* key-frame code, negative when unknown */
    double arrivalTime;   /* uptime (s) at which the frame was taken in */
    double streamTime;    /* stream time (s) */
    uint32_t dataLenth;   /* bytes in data; never more than the room the object was made with */
    unsigned char data[]; /* the access unit, Annex B */
} video_h264_object;

/* Sequence parameter set, fields in syntax order. Unsigned Exp-Golomb values are uint32_t, signed
 * ones int32_t; elements absent from the stream are 0 except chroma_format_idc (1). */
typedef struct video_h264_sps {
    uint8_t profile_idc;
    uint8_t constraint_set0_flag;
    uint8_t constraint_set1to5_flags; /* bit 7 = constraint_set1_flag ... bit 3 = constraint_set5_flag,
                                         bits 1-0 = reserved_zero_2bits */
    uint8_t level_idc;
    uint32_t seq_parameter_set_id;
    uint32_t chroma_format_idc;
    uint32_t separate_colour_plane_flag;
    uint32_t bit_depth_luma_minus8;
    uint32_t bit_depth_chroma_minus8;
    uint32_t qpprime_y_zero_transform_bypass_flag;
    uint32_t seq_scaling_matrix_present_flag;
    uint32_t seq_scaling_list_present_flag[12];
    int32_t ScalingList4x4[6][16]; /* lists 0-5, in bitstream (zig-zag) order */
    int32_t ScalingList8x8[6][64]; /* lists 6-11 */
    uint32_t log2_max_frame_num_minus4;
    uint32_t pic_order_cnt_type;
    uint32_t log2_max_pic_order_cnt_lsb_minus4;
    uint32_t delta_pic_order_always_zero_flag;
    int32_t offset_for_non_ref_pic;
    int32_t offset_for_top_to_bottom_field;
    uint32_t num_ref_frames_in_pic_order_cnt_cycle;
    int32_t offset_for_ref_frame[256];
    uint32_t max_num_ref_frames;
    uint32_t gaps_in_frame_num_value_allowed_flag;
    uint32_t pic_width_in_mbs_minus1;
    uint32_t pic_height_in_map_units_minus1;
    uint32_t frame_mbs_only_flag;
    uint32_t mb_adaptive_frame_field_flag;
    uint32_t direct_8x8_inference_flag;
    uint32_t frame_cropping_flag;
    uint32_t frame_crop_left_offset;
    uint32_t frame_crop_right_offset;
    uint32_t frame_crop_top_offset;
    uint32_t frame_crop_bottom_offset;
    uint32_t vui_parameters_present_flag;
} video_h264_sps;

/* ---- classification ---- */

/* Key-frame code of an access unit that starts with 00 00 00 01 (access-unit delimiters in front
 * are stepped over). Looks at the parameter sets and SEI in front of the first other unit, and at
 * that unit. */
KX_API signed char video_h264_check_keyFrame(uint32_t length, const void *data);

/* As video_h264_check_keyFrame; when the code is 2 or 3 also sets *sps / *pps to the NAL header
 * byte of the SPS / PPS unit inside data and *spsLength / *ppsLength to their sizes up to the next
 * start code. The outputs are untouched for any other code. */
KX_API signed char video_h264_check_keyFrame_and_get_sps_pps(uint32_t length, const void *data,
                                                             const unsigned char **sps, uint32_t *spsLength,
                                                             const unsigned char **pps, uint32_t *ppsLength);

/* ---- sequence parameter set ---- */

/* Parses the SPS at data (with or without a 3- or 4-byte start code in front) up to and including
 * vui_parameters_present_flag. Emulation-prevention bytes are skipped. 1 with the record filled,
 * -1 (logged, record untouched) on a short, malformed or out-of-range unit. */
KX_API int video_h264_sps_get(video_h264_sps *record, const void *data, uint8_t length);

/* Picture size in pixels from the SPS at the start of data (access-unit delimiters in front are
 * stepped over), after cropping in the units of the stream's chroma format and field coding.
 * 1 with *width / *height set; -1 (logged, outputs untouched) on malformed input, a crop that
 * leaves no picture or a side above VIDEO_H264_MAX_SIDE. */
KX_API int video_h264_size_get(uint32_t *width, uint32_t *height, const void *data, uint8_t length);

/* ---- H.264 objects ---- */

/* Object with room for dataLength bytes; every field 0 except dataLenth. Null on allocation failure. */
KX_API video_h264_object *video_h264_object_new__IO(uint32_t dataLength);

/* Object with every field set; copies dataLength bytes from data unless data is null. */
KX_API video_h264_object *video_h264_object_new_with_data__IO(uint16_t classIndex, uint32_t frameIndex, float frameRate,
                                                              uint32_t width, uint32_t height, signed char keyFrame,
                                                              double arrivalTime, double streamTime,
                                                              uint32_t dataLength, const void *data);

/* Sets the fields; copies object->dataLenth bytes from data unless data is null. */
KX_API void video_h264_object_set_data(video_h264_object *object, uint16_t classIndex, uint32_t frameIndex,
                                       float frameRate, uint32_t width, uint32_t height, signed char keyFrame,
                                       double arrivalTime, double streamTime, const void *data);

/* Shortens dataLenth to length: 1. A length above the current one is logged and refused (-1,
 * nothing changed): the object has no room behind its data. */
KX_API int video_h264_object_reset_datalenth_small(video_h264_object *object, uint32_t length);

/* Reads object->dataLenth bytes from file into the object and stores the fields; a negative
 * keyFrame is replaced by the code of the data (0 when that fails, logged). 1, or -1 on a short
 * read (logged; the fields are not touched). */
KX_API int video_h264_object_set_data_from_file(video_h264_object *object, uint16_t classIndex, uint32_t frameIndex,
                                                uint32_t width, uint32_t height, signed char keyFrame,
                                                double arrivalTime, double streamTime, FILE *file);

KX_EXTERN_C_END

#endif
