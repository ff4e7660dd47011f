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

void Check(int Code, const char* What) {
  if (Code < 0) throw EAuException(std::string(What) + ": " + FFmpegError(Code));
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

// An FFmpeg object that its free call releases on every path.
template <class T>
class TOwned {
 public:
  TOwned(T* Object, void (*Free)(T**)) : P(Object), FFree(Free) {
    if (P == nullptr) throw EAuException("out of memory");
  }
  ~TOwned() { FFree(&P); }
  TOwned(const TOwned&) = delete;
  TOwned& operator=(const TOwned&) = delete;
  T* P;

 private:
  void (*FFree)(T**);
};

using TFrame = TOwned<AVFrame>;

struct TScaler {
  explicit TScaler(const TSwScaleApi& AApi) : Api(AApi) {}
  ~TScaler() {
    if (P != nullptr) Api.free_context(P);
  }
  TScaler(const TScaler&) = delete;
  TScaler& operator=(const TScaler&) = delete;
  const TSwScaleApi& Api;
  SwsContext* P = nullptr;
};

// The picture's first (for GIF: only the first) image.
void Decode(const TMP4Api& Api, const std::string& Data, TFrame& Image) {
  const AVCodecID id = ImageCodec(Data);
  if (id == AV_CODEC_ID_NONE) throw EAuException("it is no JPEG, PNG, GIF, BMP or WebP image");
  const AVCodec* decoder = Api.find_decoder(id);
  if (decoder == nullptr) throw EAuException("FFmpeg has no decoder for it");
  if (Data.size() > static_cast<size_t>(INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE))
    throw EAuException("it is too large");
  TOwned<AVCodecContext> context(Api.alloc_context3(decoder), Api.free_context);
  context.P->max_pixels = kMostPixelsDecoded;
  context.P->thread_count = 1;
  Check(Api.open2(context.P, decoder, nullptr), "its decoder did not start");
  TOwned<AVPacket> packet(Api.packet_alloc(), Api.packet_free);
  Check(Api.new_packet(packet.P, static_cast<int>(Data.size())), "out of memory");
  std::memcpy(packet.P->data, Data.data(), Data.size());
  Check(Api.send_packet(context.P, packet.P), "it could not be decoded");
  Check(Api.send_packet(context.P, nullptr), "it could not be decoded");
  Check(Api.receive_frame(context.P, Image.P), "it could not be decoded");
  if (Image.P->width <= 0 || Image.P->height <= 0 || Image.P->format < 0)
    throw EAuException("it decoded to no image");
}

std::string EncodeJpeg(const TMP4Api& Api, const TSwScaleApi& Scale, const AVFrame& Image,
                       int Width, int Height) {
  TFrame scaled(Api.frame_alloc(), Api.frame_free);
  scaled.P->width = Width;
  scaled.P->height = Height;
  // The full-range format JPEG files hold, so the scaler converts the range as well.
  scaled.P->format = AV_PIX_FMT_YUVJ420P;
  Check(Api.frame_get_buffer(scaled.P, 0), "out of memory");
  TScaler scaler(Scale);
  scaler.P =
      Scale.get_context(Image.width, Image.height, static_cast<AVPixelFormat>(Image.format), Width,
                        Height, AV_PIX_FMT_YUVJ420P, SWS_LANCZOS, nullptr, nullptr, nullptr);
  if (scaler.P == nullptr) throw EAuException("its pixel format cannot be converted");
  Check(Scale.scale(scaler.P, Image.data, Image.linesize, 0, Image.height, scaled.P->data,
                    scaled.P->linesize),
        "it could not be scaled");

  const AVCodec* encoder = Api.find_encoder(AV_CODEC_ID_MJPEG);
  if (encoder == nullptr) throw EAuException("FFmpeg has no JPEG encoder");
  TOwned<AVCodecContext> context(Api.alloc_context3(encoder), Api.free_context);
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
  TOwned<AVPacket> packet(Api.packet_alloc(), Api.packet_free);
  Check(Api.receive_packet(context.P, packet.P), "it could not be encoded");
  return {reinterpret_cast<const char*>(packet.P->data), static_cast<size_t>(packet.P->size)};
}

}  // namespace

std::optional<TCarriedPicture> ShrinkCover(const TCarriedPicture& Picture, int MaxPixels,
                                           std::string& Warning) {
  if (MaxPixels <= 0) return std::nullopt;
  try {
    const TMP4Api& api = LoadAVCodecApi();
    const TSwScaleApi& scaler = LoadSwScaleApi();
    TFrame image(api.frame_alloc(), api.frame_free);
    Decode(api, Picture.Data, image);
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
    shrunk.Data = EncodeJpeg(api, scaler, *image.P, newWidth, newHeight);
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
