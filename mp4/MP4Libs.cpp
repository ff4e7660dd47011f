// The binding to FFmpeg's codec libraries, for the M4A outputs and the cover scaler.
#include "mp4/MP4Libs.h"

#include <initializer_list>
#include <mutex>
#include <string>

#include "platform/Exception.h"

namespace tunevert {

namespace {

#define TUNEVERT_SONAME(Name, Major) "lib" Name ".so." AV_STRINGIFY(Major)

TMP4Api Api;
// The sentence naming the first call a load's libraries lack; empty while none is missing.
std::string MissingCodecEntry;   // libavutil's and libavcodec's
std::string MissingFormatEntry;  // libavformat's

template <class F>
void Resolve(const TCodecLibrary& Library, const char* Name, F& Entry) {
  Library.Resolve(Name, Entry,
                  &Library == &AVFormatLibrary() ? MissingFormatEntry : MissingCodecEntry);
}

void ResolveCodecEntries() {
  const TCodecLibrary& util = AVUtilLibrary();
  Resolve(util, "av_frame_alloc", Api.frame_alloc);
  Resolve(util, "av_frame_free", Api.frame_free);
  Resolve(util, "av_frame_get_buffer", Api.frame_get_buffer);
  Resolve(util, "av_frame_make_writable", Api.frame_make_writable);
  Resolve(util, "av_channel_layout_copy", Api.channel_layout_copy);
  Resolve(util, "av_malloc", Api.malloc);
  Resolve(util, "av_free", Api.free);
  Resolve(util, "av_dict_set", Api.dict_set);
  Resolve(util, "av_dict_free", Api.dict_free);
  Resolve(util, "av_strerror", Api.strerror);
  Resolve(util, "av_log_set_level", Api.log_set_level);
  const TCodecLibrary& codec = AVCodecLibrary();
  Resolve(codec, "avcodec_find_encoder_by_name", Api.find_encoder_by_name);
  Resolve(codec, "avcodec_find_encoder", Api.find_encoder);
  Resolve(codec, "avcodec_find_decoder", Api.find_decoder);
  Resolve(codec, "avcodec_alloc_context3", Api.alloc_context3);
  Resolve(codec, "avcodec_free_context", Api.free_context);
  Resolve(codec, "avcodec_open2", Api.open2);
  Resolve(codec, "avcodec_send_frame", Api.send_frame);
  Resolve(codec, "avcodec_receive_packet", Api.receive_packet);
  Resolve(codec, "avcodec_send_packet", Api.send_packet);
  Resolve(codec, "avcodec_receive_frame", Api.receive_frame);
  Resolve(codec, "avcodec_parameters_from_context", Api.parameters_from_context);
  Resolve(codec, "av_packet_alloc", Api.packet_alloc);
  Resolve(codec, "av_packet_free", Api.packet_free);
  Resolve(codec, "av_packet_unref", Api.packet_unref);
  Resolve(codec, "av_packet_rescale_ts", Api.packet_rescale_ts);
  Resolve(codec, "av_new_packet", Api.new_packet);
  // Encoders report their statistics, and decoders damaged pictures, on the standard error at
  // the default level.
  if (Api.log_set_level != nullptr) Api.log_set_level(AV_LOG_QUIET);
}

void ResolveFormatEntries() {
  const TCodecLibrary& format = AVFormatLibrary();
  Resolve(format, "avformat_alloc_output_context2", Api.alloc_output_context2);
  Resolve(format, "avformat_free_context", Api.free_format_context);
  Resolve(format, "avformat_new_stream", Api.new_stream);
  Resolve(format, "avio_alloc_context", Api.io_alloc_context);
  Resolve(format, "avio_context_free", Api.io_context_free);
  Resolve(format, "avformat_write_header", Api.write_header);
  Resolve(format, "av_write_frame", Api.write_frame);
  Resolve(format, "av_write_trailer", Api.write_trailer);
}

void LoadLibraries(std::initializer_list<TCodecLibrary*> Libraries) {
  for (TCodecLibrary* library : Libraries)
    if (!library->Load()) throw EAuException(library->LoadFailureMessage());
}

// Once the libraries they come from are loaded.
void ResolveCodecEntriesOnce() {
  static std::once_flag resolved;
  std::call_once(resolved, ResolveCodecEntries);
  if (!MissingCodecEntry.empty()) throw EAuException(MissingCodecEntry);
}

}  // namespace

TCodecLibrary& AVUtilLibrary() {
  static TCodecLibrary library(
      {TUNEVERT_SONAME("avutil", LIBAVUTIL_VERSION_MAJOR)},
      {"av_frame_alloc", "av_frame_free", "av_frame_get_buffer", "av_frame_make_writable",
       "av_channel_layout_copy", "av_malloc", "av_free", "av_dict_set", "av_dict_free",
       "av_strerror", "av_log_set_level"});
  return library;
}

TCodecLibrary& AVCodecLibrary() {
  static TCodecLibrary library(
      {TUNEVERT_SONAME("avcodec", LIBAVCODEC_VERSION_MAJOR)},
      {"avcodec_find_encoder_by_name", "avcodec_alloc_context3", "avcodec_free_context",
       "avcodec_open2", "avcodec_send_frame", "avcodec_receive_packet",
       "avcodec_parameters_from_context", "av_packet_alloc", "av_packet_free", "av_packet_unref",
       "av_packet_rescale_ts",
       // The cover scaler's (image/CoverScale.cpp).
       "avcodec_find_decoder", "avcodec_find_encoder", "avcodec_send_packet",
       "avcodec_receive_frame", "av_new_packet"});
  return library;
}

TCodecLibrary& AVFormatLibrary() {
  static TCodecLibrary library({TUNEVERT_SONAME("avformat", LIBAVFORMAT_VERSION_MAJOR)},
                               {"avformat_alloc_output_context2", "avformat_free_context",
                                "avformat_new_stream", "avio_alloc_context", "avio_context_free",
                                "avformat_write_header", "av_write_frame", "av_write_trailer"});
  return library;
}

const TMP4Api& LoadMP4Api() {
  LoadLibraries({&AVUtilLibrary(), &AVCodecLibrary(), &AVFormatLibrary()});
  ResolveCodecEntriesOnce();
  static std::once_flag resolved;
  std::call_once(resolved, ResolveFormatEntries);
  if (!MissingFormatEntry.empty()) throw EAuException(MissingFormatEntry);
  return Api;
}

const TMP4Api& LoadAVCodecApi() {
  LoadLibraries({&AVUtilLibrary(), &AVCodecLibrary()});
  ResolveCodecEntriesOnce();
  return Api;
}

std::string FFmpegError(int Code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (Api.strerror == nullptr || Api.strerror(Code, text, sizeof text) < 0)
    return "error " + std::to_string(Code);
  return text;
}

}  // namespace tunevert
