#pragma once

// The FFmpeg calls the M4A outputs and the cover scaler make, resolved at run time: the engine
// never links FFmpeg, and a program that writes no M4A file and scales no cover never maps it.
// (TMP4Api keeps its name from when the M4A outputs were its only users.)
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include "platform/CodecLibrary.h"

namespace tunevert {

// Named by the sonames of the headers compiled against, so that a library of another major
// version, whose structures differ, is never taken.
TCodecLibrary& AVUtilLibrary();
TCodecLibrary& AVCodecLibrary();
TCodecLibrary& AVFormatLibrary();

// The entry points, typed from the libraries' own headers.
struct TMP4Api {
  // libavutil
  decltype(&::av_frame_alloc) frame_alloc = nullptr;
  decltype(&::av_frame_free) frame_free = nullptr;
  decltype(&::av_frame_get_buffer) frame_get_buffer = nullptr;
  decltype(&::av_frame_make_writable) frame_make_writable = nullptr;
  decltype(&::av_channel_layout_copy) channel_layout_copy = nullptr;
  decltype(&::av_malloc) malloc = nullptr;
  decltype(&::av_free) free = nullptr;
  decltype(&::av_dict_set) dict_set = nullptr;
  decltype(&::av_dict_free) dict_free = nullptr;
  decltype(&::av_strerror) strerror = nullptr;
  decltype(&::av_log_set_level) log_set_level = nullptr;
  // libavcodec
  decltype(&::avcodec_find_encoder_by_name) find_encoder_by_name = nullptr;
  decltype(&::avcodec_find_encoder) find_encoder = nullptr;
  decltype(&::avcodec_find_decoder) find_decoder = nullptr;
  decltype(&::avcodec_alloc_context3) alloc_context3 = nullptr;
  decltype(&::avcodec_free_context) free_context = nullptr;
  decltype(&::avcodec_open2) open2 = nullptr;
  decltype(&::avcodec_send_frame) send_frame = nullptr;
  decltype(&::avcodec_receive_packet) receive_packet = nullptr;
  decltype(&::avcodec_send_packet) send_packet = nullptr;
  decltype(&::avcodec_receive_frame) receive_frame = nullptr;
  decltype(&::avcodec_parameters_from_context) parameters_from_context = nullptr;
  decltype(&::av_packet_alloc) packet_alloc = nullptr;
  decltype(&::av_packet_free) packet_free = nullptr;
  decltype(&::av_new_packet) new_packet = nullptr;
  decltype(&::av_packet_unref) packet_unref = nullptr;
  decltype(&::av_packet_rescale_ts) packet_rescale_ts = nullptr;
  // libavformat: resolved by LoadMP4Api only
  decltype(&::avformat_alloc_output_context2) alloc_output_context2 = nullptr;
  decltype(&::avformat_free_context) free_format_context = nullptr;
  decltype(&::avformat_new_stream) new_stream = nullptr;
  decltype(&::avio_alloc_context) io_alloc_context = nullptr;
  decltype(&::avio_context_free) io_context_free = nullptr;
  decltype(&::avformat_write_header) write_header = nullptr;
  decltype(&::av_write_frame) write_frame = nullptr;
  decltype(&::av_write_trailer) write_trailer = nullptr;
};

// Loads the three libraries and resolves the entry points, once; raises EAuException naming
// the library that could not be loaded or lacks a call.
const TMP4Api& LoadMP4Api();

// The same for libavutil and libavcodec alone, for pictures, which need no container.
const TMP4Api& LoadAVCodecApi();

// FFmpeg's text for an error code.
std::string FFmpegError(int Code);

}  // namespace tunevert
