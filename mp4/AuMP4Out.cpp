// The M4A outputs: AAC and Apple Lossless through FFmpeg's encoders and its MP4 muxer.
#include "mp4/AuMP4Out.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "mp4/MP4Libs.h"
#include "platform/Text.h"
#include "tags/TagLibMeta.h"

namespace tunevert {

namespace {

// Input frames taken per block.
constexpr uint32_t kBlockFrames = 4096;
constexpr int kIoBufferBytes = 1 << 16;

int32_t Sample24(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 | static_cast<uint32_t>(p[1]) << 16 |
                              static_cast<uint32_t>(p[2]) << 24) >>
         8;
}

int32_t Sample32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                              static_cast<uint32_t>(p[2]) << 16 |
                              static_cast<uint32_t>(p[3]) << 24);
}

// Rounded to nearest, clamped at the top where rounding up would leave the range.
int32_t Round32To24(const uint8_t* p) {
  return static_cast<int32_t>(std::min<int64_t>((int64_t{Sample32(p)} + 128) >> 8, 0x7FFFFF));
}

AVChannelLayout NativeLayout(int Channels, uint64_t Mask) {
  AVChannelLayout layout{};
  layout.order = AV_CHANNEL_ORDER_NATIVE;
  layout.nb_channels = Channels;
  layout.u.mask = Mask;
  return layout;
}

// The layouts an encoder takes. FFmpeg's AAC encoder lists none: these are the ones it writes
// without a program config element, which every decoder places. Their channels come in WAV
// order, as the input delivers them.
std::vector<AVChannelLayout> EncoderLayouts(const AVCodec& Codec, bool AAC) {
  if (AAC)
    return {NativeLayout(1, AV_CH_LAYOUT_MONO),         NativeLayout(2, AV_CH_LAYOUT_STEREO),
            NativeLayout(3, AV_CH_LAYOUT_SURROUND),     NativeLayout(4, AV_CH_LAYOUT_4POINT0),
            NativeLayout(5, AV_CH_LAYOUT_5POINT0_BACK), NativeLayout(6, AV_CH_LAYOUT_5POINT1_BACK),
            NativeLayout(8, AV_CH_LAYOUT_7POINT1)};
  std::vector<AVChannelLayout> layouts;
  for (const AVChannelLayout* l = Codec.ch_layouts; l != nullptr && l->nb_channels != 0; ++l)
    layouts.push_back(*l);
  return layouts;
}

// "1, 2 or 8" from the channel counts of Layouts.
std::string ChannelCounts(const std::vector<AVChannelLayout>& Layouts) {
  std::vector<int> counts;
  for (const AVChannelLayout& l : Layouts) counts.push_back(l.nb_channels);
  std::sort(counts.begin(), counts.end());
  counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
  std::string text;
  for (size_t i = 0; i < counts.size(); ++i)
    text += (i == 0 ? "" : i + 1 == counts.size() ? " or " : ", ") + std::to_string(counts[i]);
  return text;
}

}  // namespace

// The FFmpeg objects of one run, and the muxer's way to the output's stream.
struct TMP4AudioOut::TRun {
  explicit TRun(const TMP4Api& AApi) : Api(AApi) {}
  ~TRun() {
    // A muxer that never reached its trailer is torn down without writing more.
    if (Format != nullptr) Api.free_format_context(Format);
    if (Io != nullptr) {
      Api.free(Io->buffer);
      Api.io_context_free(&Io);
    }
    Api.free_context(&Codec);
    Api.frame_free(&Frame);
    Api.packet_free(&Packet);
  }
  TRun(const TRun&) = delete;
  TRun& operator=(const TRun&) = delete;

  // Raises what the stream raised inside a callback first (nothing may throw through FFmpeg,
  // and its own code for that failure says less), then a failing Code.
  void Check(int Code, const std::string& What) const {
    if (Failure) std::rethrow_exception(Failure);
    if (Code < 0) throw EAuException(What + ": " + FFmpegError(Code));
  }

  template <class Byte>
  static int Write(void* Opaque, Byte* Buffer, int Size) {
    auto* run = static_cast<TRun*>(Opaque);
    try {
      if (run->Stream->Write(Buffer, Size) != Size)
        throw EAuException("Error writing down M4A file");
      return Size;
    } catch (...) {
      if (!run->Failure) run->Failure = std::current_exception();
      return AVERROR(EIO);
    }
  }

  static int64_t Seek(void* Opaque, int64_t Offset, int Whence) {
    auto* run = static_cast<TRun*>(Opaque);
    try {
      if ((Whence & AVSEEK_SIZE) != 0) return run->Stream->Size() - run->Base;
      int64_t target = 0;
      switch (Whence & ~AVSEEK_FORCE) {
        case SEEK_SET:
          target = run->Base + Offset;
          break;
        case SEEK_CUR:
          target = run->Stream->Position() + Offset;
          break;
        case SEEK_END:
          target = run->Stream->Size() + Offset;
          break;
        default:
          return AVERROR(EINVAL);
      }
      if (target < run->Base || run->Stream->Seek(target, TSeekOrigin::soBeginning) != target)
        throw EAuException("The output file could not be written: it cannot be rewound");
      return target - run->Base;
    } catch (...) {
      if (!run->Failure) run->Failure = std::current_exception();
      return AVERROR(EIO);
    }
  }

  const TMP4Api& Api;
  TStream* Stream = nullptr;
  int64_t Base = 0;  // where the file starts in Stream
  std::exception_ptr Failure;

  AVCodecContext* Codec = nullptr;
  AVFormatContext* Format = nullptr;
  AVIOContext* Io = nullptr;
  AVStream* Track = nullptr;
  AVFrame* Frame = nullptr;
  AVPacket* Packet = nullptr;
  bool Started = false;  // the header is written: the file can be ended properly

  uint32_t Channels = 0, InBits = 0, OutBits = 0, Rate = 0;
  int FrameSize = 0;  // samples per frame the encoder takes
  int Filled = 0;     // samples in Frame so far
  int64_t SourceFrames = 0;
  int64_t SentFrames = 0;
  int64_t Packets = 0;
  std::vector<uint8_t> Block;
};

TMP4AudioOut::TMP4AudioOut(TComponent* AOwner, TCodec Codec)
    : TAuTaggedFileOut(AOwner), FCodec(Codec) {}

TMP4AudioOut::~TMP4AudioOut() = default;

std::string TMP4AudioOut::ITunSMPB(uint32_t Delay, uint32_t Padding, uint64_t Frames) {
  char text[160];
  std::snprintf(text, sizeof text,
                " 00000000 %08" PRIX32 " %08" PRIX32 " %016" PRIX64
                " 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000",
                Delay, Padding, Frames);
  return text;
}

void TMP4AudioOut::PrepareOutput() {
  FRun.reset();
  FTags = {};
  FInputOpen = false;
  const TMP4Api& api = LoadMP4Api();
  if (!FStreamAssigned) {
    if (FWideFileName.empty()) throw EAuException("File name is not assigned.");
    FOwnStream = std::make_unique<TAuFileStream>(FWideFileName, FShareMode | 0xFF00);
    FStream = FOwnStream.get();
  }
  // A failed start is flushed as well.
  FInputOpen = true;
  FInput->Init();
  auto run = std::make_unique<TRun>(api);
  run->Stream = FStream;
  run->Base = FStream->Position();
  run->Channels = FInput->Channels();
  run->InBits = FInput->BitsPerSample();
  run->Rate = FInput->SampleRate();
  const char* name = FCodec == TCodec::AAC ? "AAC" : "ALAC";
  if (run->InBits != 8 && run->InBits != 16 && run->InBits != 24 && run->InBits != 32)
    throw EAuException(std::string("The ") + name + " encoder takes 8-, 16-, 24- or 32-bit PCM");
  if (run->Rate == 0) throw EAuException("The source has no sample rate");
  run->OutBits = FCodec == TCodec::AAC ? 0 : TALACOut::OutputBits(run->InBits);
  FRun = std::move(run);
  SetUpEncoder();
  FTags = RunTags();
  SetUpMuxer();
  FRun->Block.resize(size_t{kBlockFrames} * FRun->Channels * (FRun->InBits / 8));
}

void TMP4AudioOut::SetUpEncoder() {
  TRun& run = *FRun;
  const TMP4Api& api = run.Api;
  const bool aac = FCodec == TCodec::AAC;
  const std::string name = aac ? "AAC" : "ALAC";
  const AVCodec* codec = api.find_encoder_by_name(aac ? "aac" : "alac");
  if (codec == nullptr) throw EAuException("This FFmpeg has no " + name + " encoder");
  const std::vector<AVChannelLayout> layouts = EncoderLayouts(*codec, aac);
  const auto layout = std::find_if(layouts.begin(), layouts.end(), [&run](const auto& l) {
    return l.nb_channels == static_cast<int>(run.Channels);
  });
  if (layout == layouts.end())
    throw EAuException(name + " takes " + ChannelCounts(layouts) + " channels, not " +
                       std::to_string(run.Channels));
  if (codec->supported_samplerates != nullptr) {
    const int* r = codec->supported_samplerates;
    while (*r != 0 && *r != static_cast<int>(run.Rate)) ++r;
    if (*r == 0)
      throw EAuException("The " + name + " encoder cannot take a sample rate of " +
                         std::to_string(run.Rate) + " Hz");
  }
  run.Codec = api.alloc_context3(codec);
  if (run.Codec == nullptr) throw EAuException("Out of memory");
  AVCodecContext& c = *run.Codec;
  if (aac) {
    c.sample_fmt = AV_SAMPLE_FMT_FLTP;
    c.bit_rate = FBitRate;
  } else {
    c.sample_fmt = run.OutBits == 16 ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S32P;
    c.bits_per_raw_sample = static_cast<int>(run.OutBits);
  }
  c.sample_rate = static_cast<int>(run.Rate);
  c.time_base = {1, c.sample_rate};
  // MP4 keeps the decoder's set-up in the sample description, not in the stream.
  c.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  run.Check(api.channel_layout_copy(&c.ch_layout, &*layout), "Out of memory");
  run.Check(api.open2(&c, codec, nullptr), "The " + name + " encoder could not be set up");
  run.FrameSize = c.frame_size > 0 ? c.frame_size : static_cast<int>(kBlockFrames);

  run.Frame = api.frame_alloc();
  run.Packet = api.packet_alloc();
  if (run.Frame == nullptr || run.Packet == nullptr) throw EAuException("Out of memory");
  run.Frame->nb_samples = run.FrameSize;
  run.Frame->format = c.sample_fmt;
  run.Frame->sample_rate = c.sample_rate;
  run.Check(api.channel_layout_copy(&run.Frame->ch_layout, &c.ch_layout), "Out of memory");
  run.Check(api.frame_get_buffer(run.Frame, 0), "Out of memory");
}

void TMP4AudioOut::SetUpMuxer() {
  TRun& run = *FRun;
  const TMP4Api& api = run.Api;
  // The muxer ffmpeg picks for ".m4a": an MP4 file with the M4A brand.
  run.Check(api.alloc_output_context2(&run.Format, nullptr, "ipod", nullptr),
            "The M4A muxer could not be set up");
  if (run.Format == nullptr) throw EAuException("The M4A muxer could not be set up");
  // Ours is the only stream handle; no tool name of the muxer's own goes into the tags.
  run.Format->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_BITEXACT;
  run.Track = api.new_stream(run.Format, nullptr);
  if (run.Track == nullptr) throw EAuException("Out of memory");
  run.Check(api.parameters_from_context(run.Track->codecpar, run.Codec), "Out of memory");
  run.Track->time_base = run.Codec->time_base;

  auto* buffer = static_cast<unsigned char*>(api.malloc(kIoBufferBytes));
  if (buffer == nullptr) throw EAuException("Out of memory");
  run.Io =
      api.io_alloc_context(buffer, kIoBufferBytes, 1, &run, nullptr, &TRun::Write, &TRun::Seek);
  if (run.Io == nullptr) {
    api.free(buffer);
    throw EAuException("Out of memory");
  }
  run.Format->pb = run.Io;

  // The movie's time scale is the sample rate, so that the edit list cuts to the sample
  // rather than to the millisecond.
  AVDictionary* options = nullptr;
  api.dict_set(&options, "movie_timescale", std::to_string(run.Rate).c_str(), 0);
  const int result = api.write_header(run.Format, &options);
  api.dict_free(&options);
  run.Check(result, "The M4A file could not be started");
  run.Started = true;
}

void TMP4AudioOut::ConvertFrames(const uint8_t* In, uint32_t Frames) {
  TRun& run = *FRun;
  const uint32_t channels = run.Channels;
  const uint32_t bytes = run.InBits / 8;
  run.SourceFrames += Frames;
  while (Frames > 0) {
    if (run.Filled == 0) {
      // The encoder may still hold the last frame's buffer.
      run.Frame->nb_samples = run.FrameSize;
      run.Check(run.Api.frame_make_writable(run.Frame), "Out of memory");
    }
    const auto take = std::min<uint32_t>(Frames, static_cast<uint32_t>(run.FrameSize - run.Filled));
    const auto at = static_cast<size_t>(run.Filled);
    for (uint32_t c = 0; c < channels; ++c) {
      const uint8_t* p = In + size_t{c} * bytes;
      const size_t step = size_t{channels} * bytes;
      uint8_t* plane = run.Frame->extended_data[c];
      if (FCodec == TCodec::AAC) {
        float* out = reinterpret_cast<float*>(plane) + at;
        for (uint32_t i = 0; i < take; ++i, p += step) switch (bytes) {
            case 1:
              out[i] = static_cast<float>(p[0] - 128) / 128.0f;
              break;
            case 2:
              out[i] = static_cast<float>(static_cast<int16_t>(p[0] | p[1] << 8)) / 32768.0f;
              break;
            case 3:
              out[i] = static_cast<float>(Sample24(p)) / 8388608.0f;
              break;
            default:
              out[i] = static_cast<float>(static_cast<double>(Sample32(p)) / 2147483648.0);
              break;
          }
      } else if (run.OutBits == 16) {
        int16_t* out = reinterpret_cast<int16_t*>(plane) + at;
        for (uint32_t i = 0; i < take; ++i, p += step)
          out[i] = bytes == 1 ? static_cast<int16_t>((p[0] - 128) * 256)
                              : static_cast<int16_t>(p[0] | p[1] << 8);
      } else {
        // 24 bits in the top of each 32-bit sample, as the encoder takes them.
        int32_t* out = reinterpret_cast<int32_t*>(plane) + at;
        for (uint32_t i = 0; i < take; ++i, p += step)
          out[i] = static_cast<int32_t>(
              static_cast<uint32_t>(bytes == 3 ? Sample24(p) : Round32To24(p)) << 8);
      }
    }
    In += size_t{take} * channels * bytes;
    Frames -= take;
    run.Filled += static_cast<int>(take);
    if (run.Filled == run.FrameSize) SendFrame(false);
  }
}

void TMP4AudioOut::SendFrame(bool Last) {
  TRun& run = *FRun;
  if (run.Filled > 0) {
    run.Frame->nb_samples = run.Filled;
    run.Frame->pts = run.SentFrames;
    run.SentFrames += run.Filled;
    run.Filled = 0;
    run.Check(run.Api.send_frame(run.Codec, run.Frame), "The encoder failed");
    WritePackets();
  }
  if (Last) {
    run.Check(run.Api.send_frame(run.Codec, nullptr), "The encoder failed");
    WritePackets();
  }
}

void TMP4AudioOut::WritePackets() {
  TRun& run = *FRun;
  const TMP4Api& api = run.Api;
  for (;;) {
    const int received = api.receive_packet(run.Codec, run.Packet);
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return;
    run.Check(received, "The encoder failed");
    ++run.Packets;
    run.Packet->stream_index = 0;
    // The encoder stamps its packets from the delay on: the first ones stand before zero,
    // which the muxer turns into the edit list's start.
    api.packet_rescale_ts(run.Packet, run.Codec->time_base, run.Track->time_base);
    const int written = api.write_frame(run.Format, run.Packet);
    api.packet_unref(run.Packet);
    run.Check(written, "Error writing down M4A file");
  }
}

void TMP4AudioOut::EndFile() {
  TRun& run = *FRun;
  // The muxer leaves out a track without samples, which would leave a file without audio.
  if (run.SourceFrames == 0)
    throw EAuException("The source holds no audio: an M4A file cannot be empty");
  SendFrame(true);
  // Writes the index (moov) after the audio and fills in the size of the audio's box.
  run.Check(run.Api.write_trailer(run.Format), "Error writing down M4A file");
  run.Check(run.Io->error, "Error writing down M4A file");
  if (FCodec == TCodec::AAC) {
    // Each AAC frame decodes to FrameSize samples: the delay at the start, the source, and
    // what pads the last frame.
    const int64_t delay = run.Codec->initial_padding;
    const int64_t padding =
        std::max<int64_t>(0, run.Packets * run.FrameSize - delay - run.SourceFrames);
    FTags.Text["ITUNSMPB"] = {ITunSMPB(static_cast<uint32_t>(delay), static_cast<uint32_t>(padding),
                                       static_cast<uint64_t>(run.SourceFrames))};
  }
}

void TMP4AudioOut::WriteTags() {
  const TCarriedTags tags = std::move(FTags);
  FTags = {};
  if (tags.Empty()) return;
  const std::string name = FFileName.empty() ? Utf16ToUtf8(FWideFileName) : FFileName;
  try {
    WriteCarriedTags(name, tags, ".m4a");
  } catch (const std::exception& e) {
    throw EAuException(std::string("The tags could not be written: ") + e.what());
  }
}

bool TMP4AudioOut::OutputBlock(bool Abort) {
  if (!CanOutput) return true;
  if (Abort) return false;
  TRun& run = *FRun;
  bool eof = false;
  const uint32_t frameBytes = run.Channels * (run.InBits / 8);
  const uint32_t n =
      FInput->FillBuffer(run.Block.data(), static_cast<uint32_t>(run.Block.size()), eof);
  const uint32_t frames = n / frameBytes;
  if (frames == 0) return false;
  ConvertFrames(run.Block.data(), frames);
  return !eof;
}

void TMP4AudioOut::FinishOutput() {
  std::exception_ptr failure;
  // A stopped run still ends its file properly; one whose set-up failed has none to end.
  const bool started = FRun && FRun->Started;
  if (started) {
    try {
      EndFile();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  const bool ended = started && !failure;
  FRun.reset();
  if (FOwnStream) {
    const std::unique_ptr<TAuFileStream> stream = std::move(FOwnStream);
    FStream = nullptr;
    try {
      if (ended) stream->Close();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  // The tag module reopens the file by its name; a file handed in as a stream has none, and a
  // stopped run's file is thrown away.
  if (ended && !failure && !FStreamAssigned && !FStopped) {
    try {
      WriteTags();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  FTags = {};
  if (FInputOpen) {
    FInputOpen = false;
    try {
      FInput->Flush();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

TM4AOut::TM4AOut(TComponent* AOwner) : TMP4AudioOut(AOwner, TCodec::AAC) {
  FBitRate = int64_t{kDefaultKbps} * 1000;
}

const std::vector<uint32_t>& TM4AOut::BitratesKbps() {
  static const std::vector<uint32_t> kList = {64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
  return kList;
}

void TM4AOut::SetBitrateKbps(uint32_t Value) {
  const std::vector<uint32_t>& list = BitratesKbps();
  FBitrateKbps = *std::min_element(list.begin(), list.end(), [Value](uint32_t a, uint32_t b) {
    return std::abs(int64_t{a} - Value) < std::abs(int64_t{b} - Value);
  });
  FBitRate = int64_t{FBitrateKbps} * 1000;
}

namespace {

// FFmpeg's AAC encoder's list, rising; the encoder is asked again when a run starts.
constexpr int kAACRates[] = {7350,  8000,  11025, 12000, 16000, 22050, 24000,
                             32000, 44100, 48000, 64000, 88200, 96000};

}  // namespace

bool TM4AOut::SupportsRate(int Hz) {
  return std::find(std::begin(kAACRates), std::end(kAACRates), Hz) != std::end(kAACRates);
}

uint32_t TM4AOut::EncoderRate(uint32_t Hz) {
  const int* next = std::lower_bound(std::begin(kAACRates), std::end(kAACRates),
                                     static_cast<int>(std::min<uint32_t>(Hz, 96000)));
  return static_cast<uint32_t>(*next);
}

TALACOut::TALACOut(TComponent* AOwner) : TMP4AudioOut(AOwner, TCodec::ALAC) {}

uint32_t TALACOut::OutputBits(uint32_t SourceBits) {
  switch (SourceBits) {
    case 8:
    case 16:
      return 16;
    case 24:
    case 32:
      return 24;
    default:
      return 0;
  }
}

}  // namespace tunevert
