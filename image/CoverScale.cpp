// Scaling embedded pictures down with FFmpeg's image decoders, its scaler and its JPEG encoder,
// all loaded at run time: a batch that scales no picture never maps them.
#include "image/CoverScale.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string_view>

#include "image/SwScaleLibrary.h"
#include "mp4/MP4Libs.h"
#include "platform/Exception.h"

namespace tunevert {

namespace {

// Larger pictures are not decoded at all (about 8192 x 8192): no cover needs more, and a
// damaged header must not make the decoder ask for gigabytes.
constexpr int64_t kMostPixelsDecoded = int64_t{1} << 26;
// FFmpeg's JPEG quantiser scale: 2..4 keeps a cover visually intact at a fraction of its size.
constexpr int kJpegQuality = 3;

struct TCoverApi {
  // libavutil
  decltype(&::av_frame_alloc) frame_alloc = nullptr;
  decltype(&::av_frame_free) frame_free = nullptr;
  decltype(&::av_frame_get_buffer) frame_get_buffer = nullptr;
  decltype(&::av_strerror) strerror = nullptr;
  decltype(&::av_log_set_level) log_set_level = nullptr;
  // libavcodec
  decltype(&::avcodec_find_decoder) find_decoder = nullptr;
  decltype(&::avcodec_find_encoder) find_encoder = nullptr;
  decltype(&::avcodec_alloc_context3) alloc_context3 = nullptr;
  decltype(&::avcodec_free_context) free_context = nullptr;
  decltype(&::avcodec_open2) open2 = nullptr;
  decltype(&::avcodec_send_packet) send_packet = nullptr;
  decltype(&::avcodec_receive_frame) receive_frame = nullptr;
  decltype(&::avcodec_send_frame) send_frame = nullptr;
  decltype(&::avcodec_receive_packet) receive_packet = nullptr;
  decltype(&::av_packet_alloc) packet_alloc = nullptr;
  decltype(&::av_packet_free) packet_free = nullptr;
  decltype(&::av_new_packet) new_packet = nullptr;
  // libswscale
  decltype(&::sws_getContext) sws_get_context = nullptr;
  decltype(&::sws_scale) sws_scale = nullptr;
  decltype(&::sws_freeContext) sws_free_context = nullptr;
};

TCoverApi Api;
std::string MissingEntry;

template <class F>
void Resolve(const TCodecLibrary& Library, const char* Name, F& Entry) {
  Entry = Library.Function<F>(Name);
  if (Entry == nullptr && MissingEntry.empty())
    MissingEntry = Library.FileName() + " lacks " + Name + ".";
}

void ResolveAll() {
  const TCodecLibrary& util = AVUtilLibrary();
  Resolve(util, "av_frame_alloc", Api.frame_alloc);
  Resolve(util, "av_frame_free", Api.frame_free);
  Resolve(util, "av_frame_get_buffer", Api.frame_get_buffer);
  Resolve(util, "av_strerror", Api.strerror);
  Resolve(util, "av_log_set_level", Api.log_set_level);
  const TCodecLibrary& codec = AVCodecLibrary();
  Resolve(codec, "avcodec_find_decoder", Api.find_decoder);
  Resolve(codec, "avcodec_find_encoder", Api.find_encoder);
  Resolve(codec, "avcodec_alloc_context3", Api.alloc_context3);
  Resolve(codec, "avcodec_free_context", Api.free_context);
  Resolve(codec, "avcodec_open2", Api.open2);
  Resolve(codec, "avcodec_send_packet", Api.send_packet);
  Resolve(codec, "avcodec_receive_frame", Api.receive_frame);
  Resolve(codec, "avcodec_send_frame", Api.send_frame);
  Resolve(codec, "avcodec_receive_packet", Api.receive_packet);
  Resolve(codec, "av_packet_alloc", Api.packet_alloc);
  Resolve(codec, "av_packet_free", Api.packet_free);
  Resolve(codec, "av_new_packet", Api.new_packet);
  const TCodecLibrary& scale = SwScaleLibrary();
  Resolve(scale, "sws_getContext", Api.sws_get_context);
  Resolve(scale, "sws_scale", Api.sws_scale);
  Resolve(scale, "sws_freeContext", Api.sws_free_context);
  // Damaged pictures would otherwise be reported on the standard error as well.
  if (Api.log_set_level != nullptr) Api.log_set_level(AV_LOG_QUIET);
}

const TCoverApi& LoadCoverApi() {
  for (TCodecLibrary* library : {&AVUtilLibrary(), &AVCodecLibrary(), &SwScaleLibrary()})
    if (!library->Load()) throw EAuException(library->LoadFailureMessage());
  static std::once_flag resolved;
  std::call_once(resolved, ResolveAll);
  if (!MissingEntry.empty()) throw EAuException(MissingEntry);
  return Api;
}

std::string ErrorText(int Code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (Api.strerror == nullptr || Api.strerror(Code, text, sizeof text) < 0)
    return "error " + std::to_string(Code);
  return text;
}

void Check(int Code, const char* What) {
  if (Code < 0) throw EAuException(std::string(What) + ": " + ErrorText(Code));
}

// The decoder for a picture's bytes, by their signature: MIME types in tags are often wrong.
AVCodecID ImageCodec(std::string_view Data) {
  const auto at = [Data](size_t Offset, std::string_view Magic) {
    return Data.size() >= Offset + Magic.size() && Data.substr(Offset, Magic.size()) == Magic;
  };
  if (at(0, "\xFF\xD8\xFF")) return AV_CODEC_ID_MJPEG;
  if (at(0, "\x89PNG\r\n\x1A\n")) return AV_CODEC_ID_PNG;
  if (at(0, "GIF87a") || at(0, "GIF89a")) return AV_CODEC_ID_GIF;
  if (at(0, "BM")) return AV_CODEC_ID_BMP;
  if (at(0, "RIFF") && at(8, "WEBP")) return AV_CODEC_ID_WEBP;
  return AV_CODEC_ID_NONE;
}

struct TCodecContext {
  explicit TCodecContext(const AVCodec* Codec) : P(Api.alloc_context3(Codec)) {
    if (P == nullptr) throw EAuException("out of memory");
  }
  ~TCodecContext() { Api.free_context(&P); }
  TCodecContext(const TCodecContext&) = delete;
  TCodecContext& operator=(const TCodecContext&) = delete;
  AVCodecContext* P;
};

struct TFrame {
  TFrame() : P(Api.frame_alloc()) {
    if (P == nullptr) throw EAuException("out of memory");
  }
  ~TFrame() { Api.frame_free(&P); }
  TFrame(const TFrame&) = delete;
  TFrame& operator=(const TFrame&) = delete;
  AVFrame* P;
};

struct TPacket {
  TPacket() : P(Api.packet_alloc()) {
    if (P == nullptr) throw EAuException("out of memory");
  }
  ~TPacket() { Api.packet_free(&P); }
  TPacket(const TPacket&) = delete;
  TPacket& operator=(const TPacket&) = delete;
  AVPacket* P;
};

struct TScaler {
  ~TScaler() {
    if (P != nullptr) Api.sws_free_context(P);
  }
  SwsContext* P = nullptr;
};

// The picture's first (for GIF: only the first) image.
void Decode(const std::string& Data, TFrame& Image) {
  const AVCodecID id = ImageCodec(Data);
  if (id == AV_CODEC_ID_NONE) throw EAuException("it is no JPEG, PNG, GIF, BMP or WebP image");
  const AVCodec* decoder = Api.find_decoder(id);
  if (decoder == nullptr) throw EAuException("FFmpeg has no decoder for it");
  if (Data.size() > static_cast<size_t>(INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE))
    throw EAuException("it is too large");
  TCodecContext context(decoder);
  context.P->max_pixels = kMostPixelsDecoded;
  context.P->thread_count = 1;
  Check(Api.open2(context.P, decoder, nullptr), "its decoder did not start");
  TPacket packet;
  Check(Api.new_packet(packet.P, static_cast<int>(Data.size())), "out of memory");
  std::memcpy(packet.P->data, Data.data(), Data.size());
  Check(Api.send_packet(context.P, packet.P), "it could not be decoded");
  Check(Api.send_packet(context.P, nullptr), "it could not be decoded");
  Check(Api.receive_frame(context.P, Image.P), "it could not be decoded");
  if (Image.P->width <= 0 || Image.P->height <= 0 || Image.P->format < 0)
    throw EAuException("it decoded to no image");
}

std::string EncodeJpeg(const AVFrame& Image, int Width, int Height) {
  TFrame scaled;
  scaled.P->width = Width;
  scaled.P->height = Height;
  // The full-range format JPEG files hold, so the scaler converts the range as well.
  scaled.P->format = AV_PIX_FMT_YUVJ420P;
  Check(Api.frame_get_buffer(scaled.P, 0), "out of memory");
  TScaler scaler;
  scaler.P = Api.sws_get_context(Image.width, Image.height,
                                 static_cast<AVPixelFormat>(Image.format), Width, Height,
                                 AV_PIX_FMT_YUVJ420P, SWS_LANCZOS, nullptr, nullptr, nullptr);
  if (scaler.P == nullptr) throw EAuException("its pixel format cannot be converted");
  Check(Api.sws_scale(scaler.P, Image.data, Image.linesize, 0, Image.height, scaled.P->data,
                      scaled.P->linesize),
        "it could not be scaled");

  const AVCodec* encoder = Api.find_encoder(AV_CODEC_ID_MJPEG);
  if (encoder == nullptr) throw EAuException("FFmpeg has no JPEG encoder");
  TCodecContext context(encoder);
  context.P->width = Width;
  context.P->height = Height;
  context.P->pix_fmt = AV_PIX_FMT_YUVJ420P;
  context.P->color_range = AVCOL_RANGE_JPEG;
  context.P->time_base = AVRational{1, 1};
  context.P->flags |= AV_CODEC_FLAG_QSCALE;
  context.P->global_quality = FF_QP2LAMBDA * kJpegQuality;
  Check(Api.open2(context.P, encoder, nullptr), "the JPEG encoder did not start");
  scaled.P->quality = context.P->global_quality;
  scaled.P->pts = 0;
  Check(Api.send_frame(context.P, scaled.P), "it could not be encoded");
  Check(Api.send_frame(context.P, nullptr), "it could not be encoded");
  TPacket packet;
  Check(Api.receive_packet(context.P, packet.P), "it could not be encoded");
  return {reinterpret_cast<const char*>(packet.P->data), static_cast<size_t>(packet.P->size)};
}

}  // namespace

std::optional<TCarriedPicture> ShrinkCover(const TCarriedPicture& Picture, int MaxPixels,
                                           std::string& Warning) {
  if (MaxPixels <= 0) return std::nullopt;
  try {
    LoadCoverApi();
    TFrame image;
    Decode(Picture.Data, image);
    const int width = image.P->width, height = image.P->height;
    if (std::max(width, height) <= MaxPixels) return std::nullopt;
    // The longer side becomes the limit; the other keeps the proportion, at least a pixel.
    const double scale = static_cast<double>(MaxPixels) / std::max(width, height);
    const int newWidth = width >= height ? MaxPixels : std::max(1, int(std::lround(width * scale)));
    const int newHeight =
        height >= width ? MaxPixels : std::max(1, int(std::lround(height * scale)));
    TCarriedPicture shrunk;
    shrunk.Type = Picture.Type;
    shrunk.Mime = "image/jpeg";
    shrunk.Description = Picture.Description;
    shrunk.Data = EncodeJpeg(*image.P, newWidth, newHeight);
    return shrunk;
  } catch (const std::exception& e) {
    Warning = std::string(Picture.Type == 3 ? "front cover" : "picture") +
              " not scaled down: " + e.what();
    return std::nullopt;
  }
}

std::vector<std::string> ShrinkCovers(TCarriedTags& Tags, int MaxPixels) {
  std::vector<std::string> warnings;
  for (TCarriedPicture& picture : Tags.Pictures) {
    std::string warning;
    if (auto shrunk = ShrinkCover(picture, MaxPixels, warning))
      picture = std::move(*shrunk);
    else if (!warning.empty())
      warnings.push_back(std::move(warning));
  }
  return warnings;
}

}  // namespace tunevert
