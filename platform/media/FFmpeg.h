#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace kilnware::platform::media {

// The functions of FFmpeg's libraries that the audio decoder calls.
#define KILNWARE_FFMPEG_FUNCTIONS(X)        \
    X(av_channel_layout_channel_from_index) \
    X(av_channel_layout_copy)               \
    X(av_channel_layout_default)            \
    X(av_channel_layout_uninit)             \
    X(av_dict_get)                          \
    X(av_find_best_stream)                  \
    X(av_frame_alloc)                       \
    X(av_frame_free)                        \
    X(av_free)                              \
    X(av_freep)                             \
    X(av_get_bytes_per_sample)              \
    X(av_get_packed_sample_fmt)             \
    X(av_log_set_level)                     \
    X(av_malloc)                            \
    X(av_packet_alloc)                      \
    X(av_packet_free)                       \
    X(av_packet_get_side_data)              \
    X(av_packet_unref)                      \
    X(av_read_frame)                        \
    X(av_rescale_q)                         \
    X(av_sample_fmt_is_planar)              \
    X(av_strdup)                            \
    X(av_strerror)                          \
    X(avcodec_alloc_context3)               \
    X(avcodec_free_context)                 \
    X(avcodec_open2)                        \
    X(avcodec_parameters_to_context)        \
    X(avcodec_receive_frame)                \
    X(avcodec_send_packet)                  \
    X(avformat_alloc_context)               \
    X(avformat_close_input)                 \
    X(avformat_find_stream_info)            \
    X(avformat_open_input)                  \
    X(avio_alloc_context)                   \
    X(avio_context_free)

struct FFmpeg {
#define KILNWARE_FFMPEG_POINTER(name) decltype(&::name) name = nullptr;
    KILNWARE_FFMPEG_FUNCTIONS(KILNWARE_FFMPEG_POINTER)
#undef KILNWARE_FFMPEG_POINTER
};

// FFmpeg's libraries, loaded the first time audio is decoded rather than when a program starts:
// they bring in some 140 shared libraries, whose loading would cost every start of a program a
// fifth of a second, whether it decodes audio or not. Null where they cannot be loaded, which is
// logged once.
const FFmpeg* ffmpeg();

}  // namespace kilnware::platform::media
