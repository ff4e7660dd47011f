// The synchronous reader over libavformat, libavcodec and libswresample. Reading goes
// through the caller's IStream only: an AVIO context whose callbacks call it.

#include "platform/wmvcore/SyncReader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/wmvcore/FFmpegHandles.h"
#include "platform/wmvcore/HeaderScan.h"
#include "platform/wmvcore/WMObjects.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

namespace tunevert::wmvcore {

namespace {

constexpr int64_t CnsPerSecond = 10000000;
constexpr int IoBufferSize = 1 << 16;
// A forward jump up to this far is decoded through, which is exact; farther jumps use the
// demuxer's seek and the time stamps, and start this much early so that the decoder's
// overlap and bit reservoir are filled again by the target.
constexpr int64_t DecodeThroughSeconds = 2;
constexpr int64_t SeekPrerollSeconds = 1;
// Decoders that keep failing on broken data end the stream instead of spinning.
constexpr int MaxDecodeErrorsInARow = 1000;

struct TFormatCloser {
  void operator()(AVFormatContext* P) const { avformat_close_input(&P); }
};

// One stream of the file as the reader presents it.
struct TOutput {
  int StreamIndex = -1;
  GUID Major = WMMEDIATYPE_FileTransfer;
  bool Decodable = false;
  TPcmFormat Native;        // the source's channels and rate at 16 bits
  bool WideSource = false;  // more than 16 bits of precision
  bool Discrete = false;    // "EnableDiscreteOutput"
  uint32_t SpeakerConfig = 0;
  TPcmFormat Current;

  std::vector<TPcmFormat> Offers() const {
    std::vector<TPcmFormat> List;
    if (!Decodable) return List;
    auto AddBoth = [&](uint16_t Channels) {
      List.push_back({Channels, Native.Rate, 16});
      if (Discrete && WideSource) List.push_back({Channels, Native.Rate, 24});
    };
    AddBoth(Native.Channels);
    // Mixing down is always meaningful; up only from mono to stereo, where nothing is
    // invented.
    const uint32_t Mix = SpeakerConfig;
    if (Mix != 0 && Mix != Native.Channels &&
        (Mix < Native.Channels || (Native.Channels == 1 && Mix == 2)))
      AddBoth(static_cast<uint16_t>(Mix));
    return List;
  }
};

std::u16string Utf8ToUtf16(const char* Text) {
  std::u16string Out;
  const auto* P = reinterpret_cast<const unsigned char*>(Text);
  // One unit past the limit shows whether the cut falls inside a pair.
  while (*P && Out.size() <= MaxAttributeChars) {
    uint32_t C = *P++;
    int More = 0;
    if (C >= 0xF0 && C < 0xF8) {
      C &= 0x07;
      More = 3;
    } else if (C >= 0xE0) {
      C &= 0x0F;
      More = 2;
    } else if (C >= 0xC0) {
      C &= 0x1F;
      More = 1;
    } else if (C >= 0x80) {
      Out.push_back(u'\uFFFD');
      continue;
    }
    bool Ok = true;
    for (int i = 0; i < More; ++i) {
      if ((*P & 0xC0) != 0x80) {
        Ok = false;
        break;
      }
      C = (C << 6) | (*P++ & 0x3F);
    }
    if (!Ok || C > 0x10FFFF || (C >= 0xD800 && C <= 0xDFFF)) {
      Out.push_back(u'\uFFFD');
    } else if (C >= 0x10000) {
      C -= 0x10000;
      Out.push_back(static_cast<char16_t>(0xD800 + (C >> 10)));
      Out.push_back(static_cast<char16_t>(0xDC00 + (C & 0x3FF)));
    } else {
      Out.push_back(static_cast<char16_t>(C));
    }
  }
  Out.resize(AttributeChars(Out));
  return Out;
}

std::string NarrowName(const char16_t* Name) {
  std::string Out;
  for (; *Name; ++Name) Out.push_back(*Name < 0x80 ? static_cast<char>(*Name) : '?');
  return Out;
}

class TSyncReader final : public IWMSyncReader, public IWMHeaderInfo, public TRefCounted {
 public:
  ~TSyncReader() override { CloseAll(); }

  HRESULT QueryInterface(const IID& riid, void** ppvObject) override;
  uint32_t AddRef() override { return DoAddRef(); }
  uint32_t Release() override { return DoRelease(); }

  HRESULT OpenStream(IStream* pStream) override;
  HRESULT Close() override;
  HRESULT SetRange(uint64_t cnsStartTime, int64_t cnsDuration) override;
  HRESULT GetNextSample(uint16_t wStreamNum, INSSBuffer** ppSample, uint64_t* pcnsSampleTime,
                        uint64_t* pcnsDuration, uint32_t* pdwFlags, uint32_t* pdwOutputNum,
                        uint16_t* pwStreamNum) override;
  HRESULT SetReadStreamSamples(uint16_t wStreamNum, int32_t fCompressed) override;
  HRESULT GetOutputCount(uint32_t* pcOutputs) override;
  HRESULT GetOutputProps(uint32_t dwOutputNum, IWMOutputMediaProps** ppOutput) override;
  HRESULT SetOutputProps(uint32_t dwOutputNum, IWMOutputMediaProps* pOutput) override;
  HRESULT GetOutputFormatCount(uint32_t dwOutputNum, uint32_t* pcFormats) override;
  HRESULT GetOutputFormat(uint32_t dwOutputNum, uint32_t dwFormatNum,
                          IWMOutputMediaProps** ppProps) override;
  HRESULT GetStreamNumberForOutput(uint32_t dwOutputNum, uint16_t* pwStreamNum) override;
  HRESULT SetOutputSetting(uint32_t dwOutputNum, const char16_t* pszName, WMT_ATTR_DATATYPE Type,
                           const uint8_t* pValue, uint16_t cbLength) override;

  HRESULT GetAttributeByName(uint16_t* pwStreamNum, const char16_t* pszName,
                             WMT_ATTR_DATATYPE* pType, uint8_t* pValue,
                             uint16_t* pcbLength) override;
  // A file being read is never changed.
  HRESULT SetAttribute(uint16_t, const char16_t*, WMT_ATTR_DATATYPE, const uint8_t*,
                       uint16_t) override {
    return NS_E_INVALID_REQUEST;
  }

 private:
  static int ReadPacket(void* Opaque, uint8_t* Buffer, int Size);
  static int64_t SeekPacket(void* Opaque, int64_t Offset, int Whence);

  HRESULT OpenDemuxer();
  HRESULT NewIo();
  void BuildView(const TMpegLayout& Layout);
  void BuildOutputs();
  void ReadGaplessLength();
  void StopDecoding();
  bool StartDecoder(int Index);
  HRESULT Rewind();
  HRESULT NextBlock(std::vector<uint8_t>& Block, int64_t& FirstSample);
  bool ConvertFrame(const AVFrame* Frame, std::vector<uint8_t>& Block);
  bool DrainConverter(std::vector<uint8_t>& Block);
  bool Trim(std::vector<uint8_t>& Block, int64_t& FirstSample);
  int OutputForStream(uint16_t StreamNumber) const;
  int FirstAudioOutput() const;
  void CloseAll();

  bool Attribute(const std::string& Name, WMT_ATTR_DATATYPE& Type, std::vector<uint8_t>& Value);
  const char* Metadata(const char* Key) const;
  int64_t DurationCns() const;

  IStream* FSource = nullptr;  // counted
  uint64_t FBase = 0;          // the source's position when it was handed in

  // MPEG audio is shown to the demuxer without junk before its first frame or a Lyrics3
  // block after its last (both of which it would take for audio), as pieces of the source
  // in a row, optionally followed by a few made-up bytes.
  struct TPiece {
    uint64_t Offset;  // from FBase
    uint64_t Length;
  };
  std::optional<TMpegLayout> FLayout;
  bool FViewed = false;
  std::vector<TPiece> FPieces;
  std::vector<uint8_t> FMadeUp;
  uint64_t FViewSize = 0;
  uint64_t FViewPosition = 0;
  const AVInputFormat* FInputFormat = nullptr;  // as chosen at the first open
  int64_t FStreamEnd = -1;                      // samples from this index on do not exist
  int64_t FAdtsCns = -1;                        // an ADTS stream's length, counted
  int64_t FGaplessCns = -1;                     // the length an iTunes tag gives
  int ViewRead(uint8_t* Buffer, int Size);
  bool FProtected = false;
  bool FVbrHeader = false;
  std::vector<TOutput> FOutputs;

  // Declared before the format context, which must be closed first.
  TIoPtr FIo;
  std::unique_ptr<AVFormatContext, TFormatCloser> FFormat;

  int FActive = -1;
  TCodecPtr FDecoder;
  TPacketPtr FPacket;
  TFramePtr FFrame;
  TSwrPtr FSwr;
  AVChannelLayout FSwrInLayout{};
  int FSwrInFormat = -1;
  int FSwrInRate = 0;
  TPcmFormat FSwrOut;
  bool FDemuxEnded = false;
  bool FConverterDrained = false;
  int64_t FNextSample = 0;  // output index of the next converted sample
  int64_t FSkipTo = 0;      // samples before this index are dropped
  int64_t FEndAt = -1;      // samples from this index on are dropped; -1: none
  bool FResync = false;     // the next frame's time stamp tells FNextSample
  bool FHaveOrigin = false;
  int64_t FOrigin = 0;  // time stamp, in samples, of output sample 0
  // Decoded frame length while it is constant from the start: 0 unknown, -1 not constant.
  // Only the last frame may be shorter.
  int64_t FFrameLength = 0;
  bool FShortFrameSeen = false;
  bool FJumped = false;  // frames now come from a time-stamp seek, not from the start

  void LearnFrameLength(int64_t Length) {
    if (FFrameLength == 0) {
      FFrameLength = Length;
    } else if (FFrameLength > 0 && (Length > FFrameLength || FShortFrameSeen)) {
      FFrameLength = -1;
    } else if (Length < FFrameLength) {
      FShortFrameSeen = true;
    }
  }
};

HRESULT TSyncReader::QueryInterface(const IID& riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IWMSyncReader) {
    *ppvObject = static_cast<IWMSyncReader*>(this);
  } else if (riid == IID_IWMHeaderInfo) {
    *ppvObject = static_cast<IWMHeaderInfo*>(this);
  } else {
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

int TSyncReader::ViewRead(uint8_t* Buffer, int Size) {
  int Done = 0;
  uint64_t Start = 0;
  for (const TPiece& Piece : FPieces) {
    if (Done == Size) break;
    const uint64_t End = Start + Piece.Length;
    if (FViewPosition >= Start && FViewPosition < End) {
      const auto Want = static_cast<uint32_t>(
          std::min<uint64_t>(End - FViewPosition, static_cast<uint64_t>(Size - Done)));
      const uint64_t At = FBase + Piece.Offset + (FViewPosition - Start);
      uint32_t Got = 0;
      if (FSource->Seek(static_cast<int64_t>(At), STREAM_SEEK_SET, nullptr) != S_OK ||
          FSource->Read(Buffer + Done, Want, &Got) != S_OK || Got == 0)
        break;
      Done += static_cast<int>(Got);
      FViewPosition += Got;
      if (Got < Want) break;
    }
    Start = End;
  }
  const uint64_t PiecesEnd = FViewSize - FMadeUp.size();
  if (Done < Size && FViewPosition >= PiecesEnd && FViewPosition < FViewSize) {
    const auto N = static_cast<int>(
        std::min<uint64_t>(FViewSize - FViewPosition, static_cast<uint64_t>(Size - Done)));
    std::memcpy(Buffer + Done, FMadeUp.data() + (FViewPosition - PiecesEnd), N);
    Done += N;
    FViewPosition += N;
  }
  return Done > 0 ? Done : AVERROR_EOF;
}

int TSyncReader::ReadPacket(void* Opaque, uint8_t* Buffer, int Size) {
  auto* Self = static_cast<TSyncReader*>(Opaque);
  uint32_t Got = 0;
  if (Size <= 0) return 0;
  if (Self->FViewed) return Self->ViewRead(Buffer, Size);
  if (Self->FSource->Read(Buffer, static_cast<uint32_t>(Size), &Got) != S_OK || Got == 0)
    return AVERROR_EOF;
  return static_cast<int>(Got);
}

int64_t TSyncReader::SeekPacket(void* Opaque, int64_t Offset, int Whence) {
  auto* Self = static_cast<TSyncReader*>(Opaque);
  IStream& Source = *Self->FSource;
  const int64_t Base = static_cast<int64_t>(Self->FBase);
  Whence &= ~AVSEEK_FORCE;
  if (Self->FViewed) {
    const auto Size = static_cast<int64_t>(Self->FViewSize);
    int64_t To = Offset;
    if (Whence == AVSEEK_SIZE) return Size;
    if (Whence == SEEK_CUR)
      To += static_cast<int64_t>(Self->FViewPosition);
    else if (Whence == SEEK_END)
      To += Size;
    else if (Whence != SEEK_SET)
      return AVERROR(EINVAL);
    if (To < 0) return AVERROR(EINVAL);
    Self->FViewPosition = static_cast<uint64_t>(To);
    return To;
  }
  if (Whence == AVSEEK_SIZE) {
    STATSTG Stat{};
    if (Source.Stat(&Stat, 1) != S_OK || Stat.cbSize < Self->FBase) return AVERROR(ENOSYS);
    return static_cast<int64_t>(Stat.cbSize) - Base;
  }
  uint64_t NewPosition = 0;
  HRESULT R = E_INVALIDARG;
  switch (Whence) {
    case SEEK_SET:
      if (Offset < 0) return AVERROR(EINVAL);
      R = Source.Seek(Base + Offset, STREAM_SEEK_SET, &NewPosition);
      break;
    case SEEK_CUR:
      R = Source.Seek(Offset, STREAM_SEEK_CUR, &NewPosition);
      break;
    case SEEK_END:
      R = Source.Seek(Offset, STREAM_SEEK_END, &NewPosition);
      break;
    default:
      return AVERROR(EINVAL);
  }
  if (R != S_OK || NewPosition < Self->FBase) return AVERROR(EIO);
  return static_cast<int64_t>(NewPosition) - Base;
}

HRESULT TSyncReader::OpenStream(IStream* pStream) {
  if (!pStream) return E_POINTER;
  if (FSource) return NS_E_INVALID_REQUEST;
  uint64_t Position = 0;
  if (pStream->Seek(0, STREAM_SEEK_CUR, &Position) != S_OK) return E_INVALIDARG;
  pStream->AddRef();
  FSource = pStream;
  FBase = Position;
  // The scans read ahead of the demuxer, so they run before it exists.
  FProtected = AsfHeaderIsEncrypted(*FSource, FBase);
  const HRESULT R = OpenDemuxer();
  if (R != S_OK) {
    CloseAll();
    return R;
  }
  BuildOutputs();
  ReadGaplessLength();
  return S_OK;
}

void TSyncReader::ReadGaplessLength() {
  // MP4 files from encoders that write no edit list carry their length as iTunes does:
  // " 00000000 PRIMING PADDING SAMPLES ...". The demuxer skips the priming but not the
  // padding at the end. The length is only announced: the input drops what lies past it
  // in the last decoded sample, and nothing when more samples follow.
  const char* Text = Metadata("iTunSMPB");
  unsigned Priming = 0, Padding = 0;
  unsigned long long Samples = 0;
  if (!Text || std::sscanf(Text, " %*x %x %x %llx", &Priming, &Padding, &Samples) != 3 ||
      Samples == 0)
    return;
  const int Index = FirstAudioOutput();
  if (Index < 0 || FStreamEnd >= 0) return;
  const int64_t Rate = FOutputs[Index].Native.Rate;
  if (Samples > static_cast<unsigned long long>(INT64_MAX / CnsPerSecond)) return;
  FGaplessCns = av_rescale(static_cast<int64_t>(Samples), CnsPerSecond, Rate);
}

HRESULT TSyncReader::NewIo() {
  FIo.reset();
  FViewPosition = 0;
  if (FSource->Seek(static_cast<int64_t>(FBase), STREAM_SEEK_SET, nullptr) != S_OK) return E_FAIL;
  auto* Buffer = static_cast<uint8_t*>(av_malloc(IoBufferSize));
  if (!Buffer) return E_OUTOFMEMORY;
  AVIOContext* Io =
      avio_alloc_context(Buffer, IoBufferSize, 0, this, &ReadPacket, nullptr, &SeekPacket);
  if (!Io) {
    av_free(Buffer);
    return E_OUTOFMEMORY;
  }
  FIo.reset(Io);
  return S_OK;
}

void TSyncReader::BuildView(const TMpegLayout& Layout) {
  FPieces.clear();
  FMadeUp.clear();
  if (Layout.TagsEnd > 0) FPieces.push_back({0, Layout.TagsEnd});
  const uint64_t AudioStop = Layout.LyricsEnd > 0 ? Layout.LyricsStart : Layout.Size;
  if (Layout.LoneFrame) {
    // The demuxer trusts a first frame only when another header follows it; a copy of the
    // first header stands in, and the trailing tags are left out.
    FPieces.push_back({Layout.FirstFrame, Layout.AudioEnd - Layout.FirstFrame});
    FMadeUp.assign(Layout.FirstHeader, Layout.FirstHeader + 4);
    FStreamEnd = Layout.FrameSamples;
  } else {
    FPieces.push_back({Layout.FirstFrame, AudioStop - Layout.FirstFrame});
    if (Layout.LyricsEnd > 0) FPieces.push_back({Layout.LyricsEnd, Layout.Size - Layout.LyricsEnd});
  }
  FViewSize = FMadeUp.size();
  for (const TPiece& Piece : FPieces) FViewSize += Piece.Length;
  FViewed = true;
}

HRESULT TSyncReader::OpenDemuxer() {
  HRESULT R = NewIo();
  if (R != S_OK) return R;
  if (!FInputFormat) {
    const AVInputFormat* Format = nullptr;
    const int Score = av_probe_input_buffer2(FIo.get(), &Format, "", nullptr, 0, 0);
    const bool Weak = Score < AVPROBE_SCORE_RETRY || !Format;
    if (Weak || std::strcmp(Format->name, "mp3") == 0) {
      // Our own scan reads the source directly, so the probing context is started afresh.
      FLayout = ScanMpegLayout(*FSource, FBase);
      FVbrHeader = MpegHasVbrHeader(*FSource, FBase + (FLayout ? FLayout->FirstFrame : 0));
      if (FLayout) {
        // Too few frames for the guess, or tags and junk that hide them: MPEG audio where
        // the scan found a chain of frames.
        BuildView(*FLayout);
        Format = av_find_input_format("mp3");
      } else if (Weak) {
        // A guess this weak means a couple of stray sync words in data that is not media.
        return NS_E_UNRECOGNIZED_STREAM_TYPE;
      }
      R = NewIo();
      if (R != S_OK) return R;
    } else if (std::strcmp(Format->name, "aac") == 0) {
      FAdtsCns = AdtsDurationCns(*FSource, FBase);
      R = NewIo();
      if (R != S_OK) return R;
    }
    FInputFormat = Format;
  }
  AVFormatContext* Context = avformat_alloc_context();
  if (!Context) return E_OUTOFMEMORY;
  Context->pb = FIo.get();
  Context->flags |= AVFMT_FLAG_CUSTOM_IO;
  if (avformat_open_input(&Context, nullptr, FInputFormat, nullptr) < 0)
    return NS_E_UNRECOGNIZED_STREAM_TYPE;  // the context is freed on failure
  FFormat.reset(Context);
  if (avformat_find_stream_info(Context, nullptr) < 0 || Context->nb_streams == 0)
    return NS_E_UNRECOGNIZED_STREAM_TYPE;
  return S_OK;
}

void TSyncReader::BuildOutputs() {
  FOutputs.clear();
  for (unsigned i = 0; i < FFormat->nb_streams; ++i) {
    const AVCodecParameters* Par = FFormat->streams[i]->codecpar;
    TOutput Output;
    Output.StreamIndex = static_cast<int>(i);
    if (Par->codec_type == AVMEDIA_TYPE_AUDIO) {
      Output.Major = WMMEDIATYPE_Audio;
      const int Channels = Par->ch_layout.nb_channels;
      Output.Decodable = avcodec_find_decoder(Par->codec_id) && Channels > 0 && Channels <= 64 &&
                         Par->sample_rate > 0;
      Output.Native = {static_cast<uint16_t>(Channels), static_cast<uint32_t>(Par->sample_rate),
                       16};
      Output.WideSource =
          Par->bits_per_raw_sample > 16 || av_get_exact_bits_per_sample(Par->codec_id) > 16;
      Output.Current = Output.Native;
    } else if (Par->codec_type == AVMEDIA_TYPE_VIDEO) {
      Output.Major = WMMEDIATYPE_Video;
    }
    FOutputs.push_back(Output);
  }
}

void TSyncReader::StopDecoding() {
  FSwr.reset();
  av_channel_layout_uninit(&FSwrInLayout);
  FSwrInFormat = -1;
  FDecoder.reset();
  FPacket.reset();
  FFrame.reset();
  FActive = -1;
  FDemuxEnded = false;
  FConverterDrained = false;
  FResync = false;
}

void TSyncReader::CloseAll() {
  StopDecoding();
  FFormat.reset();
  FIo.reset();
  FOutputs.clear();
  FProtected = false;
  FVbrHeader = false;
  FHaveOrigin = false;
  FFrameLength = 0;
  FShortFrameSeen = false;
  FJumped = false;
  FNextSample = 0;
  FSkipTo = 0;
  FEndAt = -1;
  FStreamEnd = -1;
  FAdtsCns = -1;
  FGaplessCns = -1;
  FLayout.reset();
  FViewed = false;
  FPieces.clear();
  FMadeUp.clear();
  FViewSize = FViewPosition = 0;
  FInputFormat = nullptr;
  if (FSource) FSource->Release();
  FSource = nullptr;
}

HRESULT TSyncReader::Close() {
  if (!FSource) return NS_E_INVALID_REQUEST;
  CloseAll();
  return S_OK;
}

bool TSyncReader::StartDecoder(int Index) {
  const bool Switching = FActive >= 0;
  StopDecoding();
  AVStream* Stream = FFormat->streams[FOutputs[Index].StreamIndex];
  const AVCodec* Codec = avcodec_find_decoder(Stream->codecpar->codec_id);
  if (!Codec) return false;
  FDecoder.reset(avcodec_alloc_context3(Codec));
  FPacket.reset(av_packet_alloc());
  FFrame.reset(av_frame_alloc());
  if (!FDecoder || !FPacket || !FFrame) return false;
  if (avcodec_parameters_to_context(FDecoder.get(), Stream->codecpar) < 0) return false;
  FDecoder->pkt_timebase = Stream->time_base;
  if (avcodec_open2(FDecoder.get(), Codec, nullptr) < 0) {
    FDecoder.reset();
    return false;
  }
  for (unsigned i = 0; i < FFormat->nb_streams; ++i)
    FFormat->streams[i]->discard =
        static_cast<int>(i) == Stream->index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
  FActive = Index;
  FResync = Switching;
  return true;
}

HRESULT TSyncReader::Rewind() {
  const int Active = FActive;
  StopDecoding();
  FFormat.reset();
  FIo.reset();
  const HRESULT R = OpenDemuxer();
  if (R != S_OK) return R;
  if (FFormat->nb_streams != FOutputs.size()) return E_UNEXPECTED;
  FNextSample = 0;
  FJumped = false;
  FShortFrameSeen = false;
  if (Active >= 0 && !StartDecoder(Active)) return E_FAIL;
  return S_OK;
}

int TSyncReader::OutputForStream(uint16_t StreamNumber) const {
  if (StreamNumber == 0) return FirstAudioOutput();
  for (size_t i = 0; i < FOutputs.size(); ++i)
    if (FOutputs[i].StreamIndex + 1 == StreamNumber) return static_cast<int>(i);
  return -1;
}

int TSyncReader::FirstAudioOutput() const {
  for (size_t i = 0; i < FOutputs.size(); ++i)
    if (FOutputs[i].Decodable) return static_cast<int>(i);
  return -1;
}

bool TSyncReader::ConvertFrame(const AVFrame* Frame, std::vector<uint8_t>& Block) {
  const TPcmFormat& Out = FOutputs[FActive].Current;
  const AVSampleFormat OutFormat = Out.Bits == 16 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S32;
  AVChannelLayout InLayout{};
  if (Frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
    av_channel_layout_default(&InLayout, Frame->ch_layout.nb_channels);
  else if (av_channel_layout_copy(&InLayout, &Frame->ch_layout) < 0)
    return false;
  if (!FSwr || FSwrInFormat != Frame->format || FSwrInRate != Frame->sample_rate ||
      av_channel_layout_compare(&FSwrInLayout, &InLayout) != 0 || !(FSwrOut == Out)) {
    AVChannelLayout OutLayout{};
    if (InLayout.nb_channels == Out.Channels)
      av_channel_layout_copy(&OutLayout, &InLayout);
    else
      av_channel_layout_default(&OutLayout, Out.Channels);
    SwrContext* Swr = nullptr;
    const int R = swr_alloc_set_opts2(&Swr, &OutLayout, OutFormat, static_cast<int>(Out.Rate),
                                      &InLayout, static_cast<AVSampleFormat>(Frame->format),
                                      Frame->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&OutLayout);
    FSwr.reset(Swr);
    if (R < 0 || swr_init(Swr) < 0) {
      FSwr.reset();
      av_channel_layout_uninit(&InLayout);
      return false;
    }
    av_channel_layout_uninit(&FSwrInLayout);
    FSwrInLayout = InLayout;
    InLayout = {};
    FSwrInFormat = Frame->format;
    FSwrInRate = Frame->sample_rate;
    FSwrOut = Out;
  }
  av_channel_layout_uninit(&InLayout);
  const int Wide = Out.Bits == 16 ? 2 : 4;
  const int Room = swr_get_out_samples(FSwr.get(), Frame->nb_samples);
  if (Room < 0) return false;
  Block.resize(static_cast<size_t>(Room) * Out.Channels * Wide);
  uint8_t* OutPlane = Block.data();
  const int Got = swr_convert(FSwr.get(), &OutPlane, Room,
                              const_cast<const uint8_t**>(Frame->extended_data), Frame->nb_samples);
  if (Got < 0) return false;
  Block.resize(static_cast<size_t>(Got) * Out.Channels * Wide);
  if (Out.Bits == 24) {
    // Keep the top three bytes of each little-endian 32-bit value.
    const size_t Values = Block.size() / 4;
    for (size_t i = 0; i < Values; ++i) std::memmove(&Block[i * 3], &Block[i * 4 + 1], 3);
    Block.resize(Values * 3);
  }
  return true;
}

bool TSyncReader::DrainConverter(std::vector<uint8_t>& Block) {
  Block.clear();
  if (!FSwr) return false;
  const TPcmFormat& Out = FSwrOut;
  const int Wide = Out.Bits == 16 ? 2 : 4;
  const int Room = swr_get_out_samples(FSwr.get(), 0);
  if (Room <= 0) return false;
  Block.resize(static_cast<size_t>(Room) * Out.Channels * Wide);
  uint8_t* OutPlane = Block.data();
  const int Got = swr_convert(FSwr.get(), &OutPlane, Room, nullptr, 0);
  if (Got <= 0) return false;
  Block.resize(static_cast<size_t>(Got) * Out.Channels * Wide);
  if (Out.Bits == 24) {
    const size_t Values = Block.size() / 4;
    for (size_t i = 0; i < Values; ++i) std::memmove(&Block[i * 3], &Block[i * 4 + 1], 3);
    Block.resize(Values * 3);
  }
  return true;
}

bool TSyncReader::Trim(std::vector<uint8_t>& Block, int64_t& FirstSample) {
  const TPcmFormat& Out = FSwrOut;
  const size_t FrameBytes = static_cast<size_t>(Out.Channels) * (Out.Bits / 8);
  if (FrameBytes == 0) return false;
  const int64_t Frames = static_cast<int64_t>(Block.size() / FrameBytes);
  const int64_t Start = FNextSample;
  FNextSample += Frames;
  int64_t Begin = std::max<int64_t>(0, FSkipTo - Start);
  int64_t End = Frames;
  if (FEndAt >= 0) End = std::min(End, FEndAt - Start);
  if (FStreamEnd >= 0) End = std::min(End, FStreamEnd - Start);
  if (Begin >= End) return false;
  Block.erase(Block.begin() + static_cast<ptrdiff_t>(End * FrameBytes), Block.end());
  Block.erase(Block.begin(), Block.begin() + static_cast<ptrdiff_t>(Begin * FrameBytes));
  FirstSample = Start + Begin;
  return true;
}

HRESULT TSyncReader::NextBlock(std::vector<uint8_t>& Block, int64_t& FirstSample) {
  AVStream* Stream = FFormat->streams[FOutputs[FActive].StreamIndex];
  int Errors = 0;
  while (true) {
    if (FEndAt >= 0 && FNextSample >= FEndAt) return NS_E_NO_MORE_SAMPLES;
    if (FStreamEnd >= 0 && FNextSample >= FStreamEnd) return NS_E_NO_MORE_SAMPLES;
    int R = avcodec_receive_frame(FDecoder.get(), FFrame.get());
    if (R == 0) {
      Errors = 0;
      int64_t Stamp = FFrame->pts;
      if (Stamp == AV_NOPTS_VALUE) Stamp = FFrame->best_effort_timestamp;
      const int Rate = static_cast<int>(FOutputs[FActive].Current.Rate);
      if (Stamp != AV_NOPTS_VALUE) {
        const int64_t At = av_rescale_q(Stamp, Stream->time_base, AVRational{1, Rate});
        if (!FHaveOrigin && !FResync) {
          FOrigin = At - FNextSample;
          FHaveOrigin = true;
        } else if (FResync && FHaveOrigin) {
          FNextSample = At - FOrigin;
          // Clocks coarser than a sample (ASF counts milliseconds) put the frame off its
          // true start; frames of one fixed length lie on a grid, so snap to it.
          const bool Coarse = int64_t{Stream->time_base.num} * Rate > Stream->time_base.den;
          if (Coarse && FFrameLength > 0)
            FNextSample = (FNextSample + FFrameLength / 2) / FFrameLength * FFrameLength;
        }
      }
      if (!FResync && !FJumped) LearnFrameLength(FFrame->nb_samples);
      FResync = false;
      const bool Converted = ConvertFrame(FFrame.get(), Block);
      av_frame_unref(FFrame.get());
      if (!Converted) return E_FAIL;
      if (Trim(Block, FirstSample)) return S_OK;
      continue;
    }
    if (R == AVERROR_EOF) {
      if (!FConverterDrained) {
        FConverterDrained = true;
        if (DrainConverter(Block) && Trim(Block, FirstSample)) return S_OK;
      }
      return NS_E_NO_MORE_SAMPLES;
    }
    if (R != AVERROR(EAGAIN)) {
      // Broken data: drop what the decoder could not handle, as a player does.
      if (++Errors > MaxDecodeErrorsInARow) return NS_E_NO_MORE_SAMPLES;
      continue;
    }
    if (FDemuxEnded) return NS_E_NO_MORE_SAMPLES;
    R = av_read_frame(FFormat.get(), FPacket.get());
    if (R < 0) {
      FDemuxEnded = true;
      avcodec_send_packet(FDecoder.get(), nullptr);
      continue;
    }
    if (FPacket->stream_index == Stream->index) {
      if (avcodec_send_packet(FDecoder.get(), FPacket.get()) < 0 &&
          ++Errors > MaxDecodeErrorsInARow) {
        av_packet_unref(FPacket.get());
        return NS_E_NO_MORE_SAMPLES;
      }
    }
    av_packet_unref(FPacket.get());
  }
}

HRESULT TSyncReader::GetNextSample(uint16_t wStreamNum, INSSBuffer** ppSample,
                                   uint64_t* pcnsSampleTime, uint64_t* pcnsDuration,
                                   uint32_t* pdwFlags, uint32_t* pdwOutputNum,
                                   uint16_t* pwStreamNum) {
  if (!ppSample) return E_POINTER;
  *ppSample = nullptr;
  if (!FFormat) return NS_E_INVALID_REQUEST;
  if (FProtected) return NS_E_PROTECTED_CONTENT;
  const int Index = OutputForStream(wStreamNum);
  if (Index < 0 || !FOutputs[Index].Decodable) return NS_E_INVALID_REQUEST;
  if (FActive != Index && !StartDecoder(Index)) return E_FAIL;
  std::vector<uint8_t> Block;
  int64_t First = 0;
  const HRESULT R = NextBlock(Block, First);
  if (R != S_OK) return R;
  const TPcmFormat& Out = FSwrOut;
  const int64_t Frames = static_cast<int64_t>(Block.size() / (Out.Channels * (Out.Bits / 8)));
  if (pcnsSampleTime)
    *pcnsSampleTime = static_cast<uint64_t>(av_rescale(First, CnsPerSecond, Out.Rate));
  if (pcnsDuration)
    *pcnsDuration = static_cast<uint64_t>(av_rescale(Frames, CnsPerSecond, Out.Rate));
  if (pdwFlags) *pdwFlags = 0;
  if (pdwOutputNum) *pdwOutputNum = static_cast<uint32_t>(Index);
  if (pwStreamNum) *pwStreamNum = static_cast<uint16_t>(FOutputs[Index].StreamIndex + 1);
  *ppSample = new TSampleBuffer(std::move(Block));
  return S_OK;
}

HRESULT TSyncReader::SetRange(uint64_t cnsStartTime, int64_t cnsDuration) {
  if (!FFormat) return NS_E_INVALID_REQUEST;
  if (FActive < 0) {
    const int Index = FirstAudioOutput();
    if (Index < 0 || !StartDecoder(Index)) return NS_E_INVALID_REQUEST;
  }
  if (cnsStartTime > static_cast<uint64_t>(INT64_MAX) / 2) return E_INVALIDARG;
  const int64_t Rate = FOutputs[FActive].Current.Rate;
  const int64_t Target =
      av_rescale_rnd(static_cast<int64_t>(cnsStartTime), Rate, CnsPerSecond, AV_ROUND_NEAR_INF);
  FEndAt = cnsDuration > 0 ? Target + av_rescale(cnsDuration, Rate, CnsPerSecond) : -1;
  FConverterDrained = false;
  const int64_t Window = DecodeThroughSeconds * Rate;
  if (Target >= FNextSample && Target - FNextSample <= Window && !FDemuxEnded) {
    FSkipTo = Target;
    return S_OK;
  }
  if (Target <= Window) {
    const HRESULT R = Rewind();
    FSkipTo = Target;
    return R == S_OK ? S_OK : NS_E_SEEK_FAILED;
  }
  if (!FHaveOrigin) {
    // The first frame's time stamp tells where sample 0 lies on the stream's clock.
    std::vector<uint8_t> Scratch;
    int64_t First = 0;
    if (Rewind() != S_OK) return NS_E_SEEK_FAILED;
    FSkipTo = 0;
    NextBlock(Scratch, First);
  }
  AVStream* Stream = FFormat->streams[FOutputs[FActive].StreamIndex];
  const int64_t From = std::max<int64_t>(0, Target - SeekPrerollSeconds * Rate);
  const int64_t Stamp =
      av_rescale_q(From + FOrigin, AVRational{1, static_cast<int>(Rate)}, Stream->time_base);
  if (av_seek_frame(FFormat.get(), Stream->index, Stamp, AVSEEK_FLAG_BACKWARD) < 0) {
    // No index and no way to guess: decoding from the start still gets there exactly.
    if (Rewind() != S_OK) return NS_E_SEEK_FAILED;
    FSkipTo = Target;
    return S_OK;
  }
  avcodec_flush_buffers(FDecoder.get());
  FSwr.reset();
  FDemuxEnded = false;
  FResync = true;
  FJumped = true;
  FNextSample = From;
  FSkipTo = Target;
  return S_OK;
}

HRESULT TSyncReader::SetReadStreamSamples(uint16_t wStreamNum, int32_t fCompressed) {
  if (!FFormat) return NS_E_INVALID_REQUEST;
  const int Index = OutputForStream(wStreamNum);
  if (Index < 0 || wStreamNum == 0) return NS_E_INVALID_REQUEST;
  if (FProtected) return NS_E_PROTECTED_CONTENT;
  if (fCompressed) return E_NOTIMPL;  // only decoded samples are offered
  return S_OK;
}

HRESULT TSyncReader::GetOutputCount(uint32_t* pcOutputs) {
  if (!pcOutputs) return E_POINTER;
  if (!FFormat) return NS_E_INVALID_REQUEST;
  *pcOutputs = static_cast<uint32_t>(FOutputs.size());
  return S_OK;
}

HRESULT TSyncReader::GetOutputProps(uint32_t dwOutputNum, IWMOutputMediaProps** ppOutput) {
  if (!ppOutput) return E_POINTER;
  *ppOutput = nullptr;
  if (!FFormat || dwOutputNum >= FOutputs.size()) return E_INVALIDARG;
  const TOutput& Output = FOutputs[dwOutputNum];
  if (Output.Decodable)
    *ppOutput = TMediaProps::Pcm(Output.Current);
  else
    *ppOutput = new TMediaProps(Output.Major, GUID_NULL, GUID_NULL, {});
  return S_OK;
}

HRESULT TSyncReader::SetOutputProps(uint32_t dwOutputNum, IWMOutputMediaProps* pOutput) {
  if (!pOutput) return E_POINTER;
  if (!FFormat || dwOutputNum >= FOutputs.size()) return E_INVALIDARG;
  TPcmFormat Wanted;
  if (!ReadPcmFormat(*pOutput, Wanted)) return NS_E_INVALID_OUTPUT_FORMAT;
  TOutput& Output = FOutputs[dwOutputNum];
  for (const TPcmFormat& Offer : Output.Offers()) {
    if (Offer == Wanted) {
      Output.Current = Wanted;
      return S_OK;
    }
  }
  return NS_E_INVALID_OUTPUT_FORMAT;
}

HRESULT TSyncReader::GetOutputFormatCount(uint32_t dwOutputNum, uint32_t* pcFormats) {
  if (!pcFormats) return E_POINTER;
  if (!FFormat || dwOutputNum >= FOutputs.size()) return E_INVALIDARG;
  *pcFormats = static_cast<uint32_t>(FOutputs[dwOutputNum].Offers().size());
  return S_OK;
}

HRESULT TSyncReader::GetOutputFormat(uint32_t dwOutputNum, uint32_t dwFormatNum,
                                     IWMOutputMediaProps** ppProps) {
  if (!ppProps) return E_POINTER;
  *ppProps = nullptr;
  if (!FFormat || dwOutputNum >= FOutputs.size()) return E_INVALIDARG;
  const std::vector<TPcmFormat> Offers = FOutputs[dwOutputNum].Offers();
  if (dwFormatNum >= Offers.size()) return E_INVALIDARG;
  *ppProps = TMediaProps::Pcm(Offers[dwFormatNum]);
  return S_OK;
}

HRESULT TSyncReader::GetStreamNumberForOutput(uint32_t dwOutputNum, uint16_t* pwStreamNum) {
  if (!pwStreamNum) return E_POINTER;
  if (!FFormat || dwOutputNum >= FOutputs.size()) return E_INVALIDARG;
  *pwStreamNum = static_cast<uint16_t>(FOutputs[dwOutputNum].StreamIndex + 1);
  return S_OK;
}

HRESULT TSyncReader::SetOutputSetting(uint32_t dwOutputNum, const char16_t* pszName,
                                      WMT_ATTR_DATATYPE Type, const uint8_t* pValue,
                                      uint16_t cbLength) {
  if (!pszName || !pValue) return E_POINTER;
  if (!FFormat || dwOutputNum >= FOutputs.size()) return E_INVALIDARG;
  if (cbLength < 4 || (Type != WMT_TYPE_BOOL && Type != WMT_TYPE_DWORD)) return E_INVALIDARG;
  uint32_t Value;
  std::memcpy(&Value, pValue, 4);
  TOutput& Output = FOutputs[dwOutputNum];
  const std::string Name = NarrowName(pszName);
  if (Name == "EnableDiscreteOutput") {
    Output.Discrete = Value != 0;
  } else if (Name == "SpeakerConfig") {
    Output.SpeakerConfig = Value;
  } else {
    return E_INVALIDARG;
  }
  // A format no longer offered falls back to the source's own.
  const std::vector<TPcmFormat> Offers = Output.Offers();
  bool Offered = false;
  for (const TPcmFormat& Offer : Offers) Offered = Offered || Offer == Output.Current;
  if (!Offered) Output.Current = Output.Native;
  return S_OK;
}

const char* TSyncReader::Metadata(const char* Key) const {
  if (const AVDictionaryEntry* E = av_dict_get(FFormat->metadata, Key, nullptr, 0)) return E->value;
  const int Index = FirstAudioOutput();
  if (Index >= 0) {
    const AVStream* Stream = FFormat->streams[FOutputs[Index].StreamIndex];
    if (const AVDictionaryEntry* E = av_dict_get(Stream->metadata, Key, nullptr, 0))
      return E->value;
  }
  return nullptr;
}

int64_t TSyncReader::DurationCns() const {
  if (FAdtsCns >= 0) return FAdtsCns;
  if (FGaplessCns >= 0) return FGaplessCns;
  const int Index = FirstAudioOutput();
  if (Index >= 0) {
    const AVStream* Stream = FFormat->streams[FOutputs[Index].StreamIndex];
    if (Stream->duration != AV_NOPTS_VALUE && Stream->duration > 0)
      return av_rescale_q(Stream->duration, Stream->time_base, AVRational{1, CnsPerSecond});
  }
  if (FFormat->duration != AV_NOPTS_VALUE && FFormat->duration > 0)
    return av_rescale(FFormat->duration, CnsPerSecond, AV_TIME_BASE);
  return -1;
}

bool TSyncReader::Attribute(const std::string& Name, WMT_ATTR_DATATYPE& Type,
                            std::vector<uint8_t>& Value) {
  auto Number = [&](WMT_ATTR_DATATYPE NumberType, uint64_t V, size_t Bytes) {
    Type = NumberType;
    Value.resize(Bytes);
    std::memcpy(Value.data(), &V, Bytes);  // little-endian host
    return true;
  };
  if (Name == "Duration") {
    const int64_t Duration = DurationCns();
    return Duration >= 0 && Number(WMT_TYPE_QWORD, static_cast<uint64_t>(Duration), 8);
  }
  if (Name == "Bitrate") {
    int64_t Rate = 0;
    const int Index = FirstAudioOutput();
    if (Index >= 0) Rate = FFormat->streams[FOutputs[Index].StreamIndex]->codecpar->bit_rate;
    if (Rate <= 0) Rate = FFormat->bit_rate;
    return Rate > 0 && Number(WMT_TYPE_DWORD, static_cast<uint64_t>(Rate) & 0xFFFFFFFFu, 4);
  }
  if (Name == "IsVBR") {
    bool Vbr = false;
    if (const char* Tagged = Metadata("IsVBR"))
      Vbr = std::strcmp(Tagged, "0") != 0 && std::strcmp(Tagged, "false") != 0 &&
            std::strcmp(Tagged, "False") != 0;
    else if (std::strstr(FFormat->iformat->name, "mp3"))
      Vbr = FVbrHeader;
    return Number(WMT_TYPE_BOOL, Vbr ? 1 : 0, 4);
  }
  // The demuxers file ASF and ID3 fields under the same generic keys.
  static constexpr struct {
    const char* Name;
    const char* Keys[2];
  } TextKeys[] = {
      {"Author", {"artist", "author"}},      {"Title", {"title", nullptr}},
      {"WM/AlbumTitle", {"album", nullptr}}, {"WM/Genre", {"genre", nullptr}},
      {"WM/Track", {"track", nullptr}},      {"WM/Year", {"date", "year"}},
      {"Copyright", {"copyright", nullptr}},
  };
  const char* Text = Metadata(Name.c_str());
  for (const auto& Entry : TextKeys) {
    if (Text || Name != Entry.Name) continue;
    for (const char* Key : Entry.Keys)
      if (Key && !Text) Text = Metadata(Key);
  }
  if (!Text) return false;
  std::u16string Wide = Utf8ToUtf16(Text);
  Wide.push_back(u'\0');
  Type = WMT_TYPE_STRING;
  Value.resize(Wide.size() * 2);
  for (size_t i = 0; i < Wide.size(); ++i) {
    Value[2 * i] = static_cast<uint8_t>(Wide[i] & 0xFF);
    Value[2 * i + 1] = static_cast<uint8_t>(Wide[i] >> 8);
  }
  return true;
}

HRESULT TSyncReader::GetAttributeByName(uint16_t* pwStreamNum, const char16_t* pszName,
                                        WMT_ATTR_DATATYPE* pType, uint8_t* pValue,
                                        uint16_t* pcbLength) {
  if (!pwStreamNum || !pszName || !pType || !pcbLength) return E_POINTER;
  if (!FFormat) return NS_E_INVALID_REQUEST;
  if (*pwStreamNum != 0) return ASF_E_NOTFOUND;  // all attributes are file-wide
  WMT_ATTR_DATATYPE Type = WMT_TYPE_BINARY;
  std::vector<uint8_t> Value;
  if (!Attribute(NarrowName(pszName), Type, Value)) return ASF_E_NOTFOUND;
  const auto Size = static_cast<uint16_t>(Value.size());
  *pType = Type;
  if (!pValue) {
    *pcbLength = Size;
    return S_OK;
  }
  if (*pcbLength < Size) {
    *pcbLength = Size;
    return ASF_E_BUFFERTOOSMALL;
  }
  std::memcpy(pValue, Value.data(), Size);
  *pcbLength = Size;
  return S_OK;
}

}  // namespace

IWMSyncReader* NewSyncReader() {
  static std::once_flag Quiet;
  // Broken input is an expected case here, not something to print.
  std::call_once(Quiet, [] { av_log_set_level(AV_LOG_QUIET); });
  return new TSyncReader();
}

}  // namespace tunevert::wmvcore
