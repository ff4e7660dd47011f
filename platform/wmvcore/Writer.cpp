// The writer over libavformat's ASF muxer, the WMA v2 encoder and libswresample. The muxer
// writes into an AVIO context whose callbacks hand the bytes to the attached sinks: first the
// header, then the data, and at the end the header again with its final sizes.

#include "platform/wmvcore/Writer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Text.h"
#include "platform/wmvcore/FFmpegHandles.h"
#include "platform/wmvcore/Profile.h"
#include "platform/wmvcore/WMObjects.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

namespace tunevert::wmvcore {

namespace {

constexpr int IoBufferSize = 1 << 16;
// How far a live stream may run ahead of the clock: enough for clients to fill their
// buffers at the start.
constexpr double LiveLeadSeconds = 2.0;

struct TFormatFree {
  void operator()(AVFormatContext* P) const { avformat_free_context(P); }
};

bool ValidPcmInput(const WAVEFORMATEX& Wave) {
  const uint16_t Bits = Wave.wBitsPerSample;
  return Wave.wFormatTag == WAVE_FORMAT_PCM && Wave.nChannels >= 1 && Wave.nChannels <= 8 &&
         Wave.nSamplesPerSec >= 1000 && Wave.nSamplesPerSec <= 768000 &&
         (Bits == 8 || Bits == 16 || Bits == 24 || Bits == 32) &&
         Wave.nBlockAlign == Wave.nChannels * (Bits / 8);
}

// The muxer puts these four into the content description object, where every player looks
// for them, only under its own lower-case names; every other name is written as it is.
std::string MuxerKey(const std::u16string& Name) {
  if (Name == u"Title") return "title";
  if (Name == u"Author") return "author";
  if (Name == u"Copyright") return "copyright";
  if (Name == u"Description") return "comment";
  return Utf16ToUtf8(Name);
}

template <class T>
void ReleaseAll(std::vector<T*>& List) {
  for (T* P : List) P->Release();
  List.clear();
}

class TWriter final : public IWMWriter,
                      public IWMWriterAdvanced,
                      public IWMHeaderInfo,
                      public TRefCounted {
 public:
  TWriter();
  ~TWriter() override;

  HRESULT QueryInterface(const IID& riid, void** ppvObject) override;
  uint32_t AddRef() override { return DoAddRef(); }
  uint32_t Release() override { return DoRelease(); }

  HRESULT SetProfile(IWMProfile* pProfile) override;
  HRESULT GetInputCount(uint32_t* pcInputs) override;
  HRESULT GetInputProps(uint32_t dwInputNum, IWMInputMediaProps** ppInput) override;
  HRESULT SetInputProps(uint32_t dwInputNum, IWMInputMediaProps* pInput) override;
  HRESULT BeginWriting() override;
  HRESULT EndWriting() override;
  HRESULT AllocateSample(uint32_t dwSampleSize, INSSBuffer** ppSample) override;
  HRESULT WriteSample(uint32_t dwInputNum, uint64_t cnsSampleTime, uint32_t dwFlags,
                      INSSBuffer* pSample) override;

  HRESULT AddSink(IWMWriterSink* pSink) override;
  HRESULT RemoveSink(IWMWriterSink* pSink) override;

  HRESULT GetAttributeByName(uint16_t* pwStreamNum, const char16_t* pszName,
                             WMT_ATTR_DATATYPE* pType, uint8_t* pValue,
                             uint16_t* pcbLength) override;
  HRESULT SetAttribute(uint16_t wStreamNum, const char16_t* pszName, WMT_ATTR_DATATYPE Type,
                       const uint8_t* pValue, uint16_t cbLength) override;

 private:
  static int WritePacket(void* Opaque, uint8_t* Buffer, int Size);
  static int64_t SeekPacket(void* Opaque, int64_t Offset, int Whence);

  HRESULT OpenEncoder();
  bool Convert(const uint8_t* Data, uint32_t Frames);
  bool EncodeAvailable(bool Final);
  bool EncodeSilentFrame();
  bool SendFrame(AVFrame* Frame);
  void SendHeader();
  void CloseEncoder();
  void KeepPace();

  TStreamConfig* FStream = nullptr;  // counted; the profile's one audio stream
  WAVEFORMATEX FInput{};
  bool FHaveInput = false;
  std::vector<IWMWriterSink*> FSinks;  // counted
  std::vector<std::pair<std::u16string, std::u16string>> FAttributes;
  bool FWriting = false;
  std::vector<uint8_t> FPartial;  // an incomplete PCM frame kept for the next sample

  // The bytes the muxer produced: the header is kept to be rewritten, the rest is passed on.
  std::vector<uint8_t> FHeader;
  bool FHeaderSent = false;
  bool FHeaderChanged = false;
  int64_t FPos = 0;
  int64_t FEnd = 0;

  TIoPtr FIo;
  std::unique_ptr<AVFormatContext, TFormatFree> FFormat;
  TCodecPtr FEncoder;
  TSwrPtr FSwr;
  TFifoPtr FFifo;
  TFramePtr FFrame;
  TPacketPtr FPacket;
  std::vector<int32_t> FWide;  // 24-bit input widened for the resampler
  uint8_t** FConverted = nullptr;
  int FConvertedRoom = 0;
  int64_t FNextPts = 0;

  // A live sink gets the stream at the pace it plays, in units as small as a packet.
  bool FLive = false;
  std::chrono::steady_clock::time_point FLiveStart;
  uint64_t FInputFrames = 0;
};

TWriter::TWriter() = default;

TWriter::~TWriter() {
  CloseEncoder();
  ReleaseAll(FSinks);
  if (FStream) static_cast<IWMStreamConfig*>(FStream)->Release();
}

HRESULT TWriter::QueryInterface(const IID& riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IWMWriter)
    *ppvObject = static_cast<IWMWriter*>(this);
  else if (riid == IID_IWMWriterAdvanced)
    *ppvObject = static_cast<IWMWriterAdvanced*>(this);
  else if (riid == IID_IWMHeaderInfo)
    *ppvObject = static_cast<IWMHeaderInfo*>(this);
  else {
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

HRESULT TWriter::SetProfile(IWMProfile* pProfile) {
  if (FWriting) return NS_E_INVALID_REQUEST;
  TProfile* Profile = TProfile::From(pProfile);
  if (!Profile) return E_INVALIDARG;
  if (Profile->Streams().size() != 1) return NS_E_INVALID_PROFILE;
  TStreamConfig* Stream = Profile->Streams().front()->Copy();
  if (FStream) static_cast<IWMStreamConfig*>(FStream)->Release();
  FStream = Stream;
  // The input starts out as PCM of the stream's own layout at the width it was offered for.
  const TCodecFormat& Format = FStream->Format();
  FInput = {};
  FInput.wFormatTag = WAVE_FORMAT_PCM;
  FInput.nChannels = Format.Channels;
  FInput.nSamplesPerSec = Format.Rate;
  FInput.wBitsPerSample = Format.Bits;
  FInput.nBlockAlign = static_cast<uint16_t>(Format.Channels * (Format.Bits / 8));
  FInput.nAvgBytesPerSec = FInput.nBlockAlign * Format.Rate;
  FHaveInput = true;
  return S_OK;
}

HRESULT TWriter::GetInputCount(uint32_t* pcInputs) {
  if (!pcInputs) return E_POINTER;
  *pcInputs = FStream ? 1 : 0;
  return S_OK;
}

HRESULT TWriter::GetInputProps(uint32_t dwInputNum, IWMInputMediaProps** ppInput) {
  if (!ppInput) return E_POINTER;
  *ppInput = nullptr;
  if (!FStream || !FHaveInput || dwInputNum != 0) return E_INVALIDARG;
  std::vector<uint8_t> Block(sizeof FInput);
  std::memcpy(Block.data(), &FInput, sizeof FInput);
  *ppInput = new TMediaProps(WMMEDIATYPE_Audio, WMMEDIASUBTYPE_PCM, WMFORMAT_WaveFormatEx,
                             std::move(Block));
  return S_OK;
}

HRESULT TWriter::SetInputProps(uint32_t dwInputNum, IWMInputMediaProps* pInput) {
  if (!pInput) return E_POINTER;
  if (FWriting) return NS_E_INVALID_REQUEST;
  if (!FStream || dwInputNum != 0) return E_INVALIDARG;
  WAVEFORMATEX Wave;
  if (!ReadWaveFormat(*pInput, Wave) || !ValidPcmInput(Wave)) return NS_E_INVALID_INPUT_FORMAT;
  FInput = Wave;
  return S_OK;
}

HRESULT TWriter::AddSink(IWMWriterSink* pSink) {
  if (!pSink) return E_POINTER;
  if (FWriting) return NS_E_INVALID_REQUEST;
  if (std::find(FSinks.begin(), FSinks.end(), pSink) != FSinks.end()) return E_INVALIDARG;
  pSink->AddRef();
  FSinks.push_back(pSink);
  return S_OK;
}

HRESULT TWriter::RemoveSink(IWMWriterSink* pSink) {
  if (FWriting) return NS_E_INVALID_REQUEST;
  const auto It = std::find(FSinks.begin(), FSinks.end(), pSink);
  if (It == FSinks.end()) return E_INVALIDARG;
  (*It)->Release();
  FSinks.erase(It);
  return S_OK;
}

HRESULT TWriter::GetAttributeByName(uint16_t* pwStreamNum, const char16_t* pszName,
                                    WMT_ATTR_DATATYPE* pType, uint8_t* pValue,
                                    uint16_t* pcbLength) {
  if (!pwStreamNum || !pszName || !pType || !pcbLength) return E_POINTER;
  if (*pwStreamNum != 0) return ASF_E_NOTFOUND;
  for (const auto& [Name, Value] : FAttributes) {
    if (Name != pszName) continue;
    const auto Size = static_cast<uint16_t>((Value.size() + 1) * 2);
    *pType = WMT_TYPE_STRING;
    if (pValue && *pcbLength < Size) {
      *pcbLength = Size;
      return ASF_E_BUFFERTOOSMALL;
    }
    if (pValue) std::memcpy(pValue, Value.c_str(), Size);
    *pcbLength = Size;
    return S_OK;
  }
  return ASF_E_NOTFOUND;
}

HRESULT TWriter::SetAttribute(uint16_t wStreamNum, const char16_t* pszName, WMT_ATTR_DATATYPE Type,
                              const uint8_t* pValue, uint16_t cbLength) {
  if (!pszName || (cbLength > 0 && !pValue)) return E_POINTER;
  // The header is written when writing begins; the attributes are all file-wide.
  if (FWriting || wStreamNum != 0 || !*pszName) return NS_E_INVALID_REQUEST;
  std::u16string Value;
  if (Type == WMT_TYPE_STRING) {
    for (uint16_t i = 0; i + 1 < cbLength; i += 2)
      Value.push_back(static_cast<char16_t>(pValue[i] | (pValue[i + 1] << 8)));
    while (!Value.empty() && Value.back() == 0) Value.pop_back();
    if (Value.find(char16_t(0)) != std::u16string::npos) return E_INVALIDARG;
    // Read back with its null, a longer value would not fit its 16-bit length.
    Value.resize(AttributeChars(Value));
  } else if (Type == WMT_TYPE_DWORD && cbLength == 4) {
    uint32_t Number;
    std::memcpy(&Number, pValue, 4);
    const std::string Text = std::to_string(Number);
    Value.assign(Text.begin(), Text.end());
  } else {
    return E_INVALIDARG;
  }
  const std::u16string Name(pszName);
  for (auto& Entry : FAttributes)
    if (Entry.first == Name) {
      Entry.second = std::move(Value);
      return S_OK;
    }
  FAttributes.emplace_back(Name, std::move(Value));
  return S_OK;
}

HRESULT TWriter::AllocateSample(uint32_t dwSampleSize, INSSBuffer** ppSample) {
  if (!ppSample) return E_POINTER;
  *ppSample = nullptr;
  try {
    *ppSample = TSampleBuffer::Allocate(dwSampleSize);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

// ---- the muxer's output ----

int TWriter::WritePacket(void* Opaque, uint8_t* Buffer, int Size) {
  auto* Self = static_cast<TWriter*>(Opaque);
  if (Size <= 0) return 0;
  const auto Count = static_cast<size_t>(Size);
  if (!Self->FHeaderSent) {
    // A header larger than the I/O buffer reaches us in parts, and the muxer goes back
    // into what it already handed over to fill in the header's size.
    const auto Held = static_cast<int64_t>(Self->FHeader.size());
    if (Self->FPos > Held) return AVERROR(EIO);
    const auto Over = static_cast<size_t>(std::min<int64_t>(Size, Held - Self->FPos));
    if (Over > 0) std::memcpy(Self->FHeader.data() + Self->FPos, Buffer, Over);
    Self->FHeader.insert(Self->FHeader.end(), Buffer + Over, Buffer + Count);
    Self->FPos += Size;
    Self->FEnd = static_cast<int64_t>(Self->FHeader.size());
    return Size;
  }
  if (Self->FPos + Size <= static_cast<int64_t>(Self->FHeader.size())) {
    // The muxer going back to fill in the final sizes and duration.
    std::memcpy(Self->FHeader.data() + Self->FPos, Buffer, Count);
    Self->FHeaderChanged = true;
    Self->FPos += Size;
    return Size;
  }
  if (Self->FPos != Self->FEnd) return AVERROR(EIO);
  TSampleBuffer* Unit = nullptr;
  try {
    Unit = new TSampleBuffer(std::vector<uint8_t>(Buffer, Buffer + Count));
  } catch (const std::bad_alloc&) {
    return AVERROR(ENOMEM);
  }
  // A failing sink reports through its own status callbacks; the others go on.
  for (IWMWriterSink* Sink : Self->FSinks) Sink->OnDataUnit(Unit);
  Unit->Release();
  Self->FPos += Size;
  Self->FEnd = Self->FPos;
  return Size;
}

int64_t TWriter::SeekPacket(void* Opaque, int64_t Offset, int Whence) {
  auto* Self = static_cast<TWriter*>(Opaque);
  Whence &= ~AVSEEK_FORCE;
  int64_t Target;
  switch (Whence) {
    case AVSEEK_SIZE:
      return Self->FEnd;
    case SEEK_SET:
      Target = Offset;
      break;
    case SEEK_CUR:
      Target = Self->FPos + Offset;
      break;
    case SEEK_END:
      Target = Self->FEnd + Offset;
      break;
    default:
      return AVERROR(EINVAL);
  }
  if (Target < 0 || Target > Self->FEnd) return AVERROR(EINVAL);
  Self->FPos = Target;
  return Target;
}

void TWriter::SendHeader() {
  TSampleBuffer* Header = new TSampleBuffer(FHeader);
  for (IWMWriterSink* Sink : FSinks) {
    int32_t RealTime = 0;
    // A live sink cannot take the header back once data has followed it.
    if (FHeaderSent && (Sink->IsRealTime(&RealTime) != S_OK || RealTime)) continue;
    Sink->OnHeader(Header);
  }
  Header->Release();
  FHeaderSent = true;
}

// ---- encoding ----

HRESULT TWriter::OpenEncoder() {
  const TCodecFormat& Format = FStream->Format();
  const AVCodec* Codec = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
  const AVOutputFormat* Asf = av_guess_format("asf", nullptr, nullptr);
  if (!Codec || !Asf) return NS_E_AUDIO_CODEC_ERROR;

  AVFormatContext* Raw = nullptr;
  if (avformat_alloc_output_context2(&Raw, Asf, nullptr, nullptr) < 0 || !Raw) return E_OUTOFMEMORY;
  FFormat.reset(Raw);

  bool Seekable = true;
  for (IWMWriterSink* Sink : FSinks) {
    int32_t RealTime = 0;
    if (Sink->IsRealTime(&RealTime) != S_OK || RealTime) Seekable = false;
  }
  auto* Buffer = static_cast<uint8_t*>(av_malloc(IoBufferSize));
  if (!Buffer) return E_OUTOFMEMORY;
  FIo.reset(avio_alloc_context(Buffer, IoBufferSize, 1, this, nullptr, &TWriter::WritePacket,
                               Seekable ? &TWriter::SeekPacket : nullptr));
  FLive = !Seekable;
  if (!FIo) {
    av_free(Buffer);
    return E_OUTOFMEMORY;
  }
  FFormat->pb = FIo.get();
  FFormat->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_BITEXACT;

  FEncoder.reset(avcodec_alloc_context3(Codec));
  if (!FEncoder) return E_OUTOFMEMORY;
  FEncoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
  FEncoder->sample_rate = static_cast<int>(Format.Rate);
  av_channel_layout_default(&FEncoder->ch_layout, Format.Channels);
  FEncoder->bit_rate = Format.Bitrate;
  FEncoder->time_base = {1, static_cast<int>(Format.Rate)};
  FEncoder->flags |= AV_CODEC_FLAG_BITEXACT;
  if (FFormat->oformat->flags & AVFMT_GLOBALHEADER) FEncoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(FEncoder.get(), Codec, nullptr) < 0 || FEncoder->frame_size <= 0)
    return NS_E_AUDIO_CODEC_ERROR;

  AVStream* Stream = avformat_new_stream(FFormat.get(), nullptr);
  if (!Stream) return E_OUTOFMEMORY;
  Stream->id = FStream->StreamNumber();
  Stream->time_base = FEncoder->time_base;
  if (avcodec_parameters_from_context(Stream->codecpar, FEncoder.get()) < 0) return E_OUTOFMEMORY;
  for (const auto& [Name, Value] : FAttributes)
    av_dict_set(&FFormat->metadata, MuxerKey(Name).c_str(), Utf16ToUtf8(Value).c_str(), 0);

  AVChannelLayout InLayout{};
  av_channel_layout_default(&InLayout, FInput.nChannels);
  AVSampleFormat InFormat = AV_SAMPLE_FMT_S16;
  if (FInput.wBitsPerSample == 8) InFormat = AV_SAMPLE_FMT_U8;
  if (FInput.wBitsPerSample >= 24) InFormat = AV_SAMPLE_FMT_S32;
  SwrContext* Swr = nullptr;
  const int SwrResult =
      swr_alloc_set_opts2(&Swr, &FEncoder->ch_layout, AV_SAMPLE_FMT_FLTP, FEncoder->sample_rate,
                          &InLayout, InFormat, static_cast<int>(FInput.nSamplesPerSec), 0, nullptr);
  av_channel_layout_uninit(&InLayout);
  FSwr.reset(Swr);
  if (SwrResult < 0 || swr_init(FSwr.get()) < 0) return NS_E_INVALID_INPUT_FORMAT;

  FFifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, Format.Channels, FEncoder->frame_size * 4));
  FFrame.reset(av_frame_alloc());
  FPacket.reset(av_packet_alloc());
  if (!FFifo || !FFrame || !FPacket) return E_OUTOFMEMORY;
  FFrame->nb_samples = FEncoder->frame_size;
  FFrame->format = AV_SAMPLE_FMT_FLTP;
  FFrame->sample_rate = FEncoder->sample_rate;
  if (av_channel_layout_copy(&FFrame->ch_layout, &FEncoder->ch_layout) < 0 ||
      av_frame_get_buffer(FFrame.get(), 0) < 0)
    return E_OUTOFMEMORY;

  if (avformat_write_header(FFormat.get(), nullptr) < 0) return NS_E_AUDIO_CODEC_ERROR;
  avio_flush(FIo.get());
  if (FIo->error < 0) return NS_E_FILE_WRITE;
  SendHeader();
  return S_OK;
}

void TWriter::CloseEncoder() {
  if (FConverted) {
    av_freep(&FConverted[0]);
    av_freep(&FConverted);
  }
  FConvertedRoom = 0;
  FPacket.reset();
  FFrame.reset();
  FFifo.reset();
  FSwr.reset();
  FEncoder.reset();
  FFormat.reset();
  FIo.reset();
  FHeader.clear();
  FHeaderSent = FHeaderChanged = false;
  FPos = FEnd = 0;
  FNextPts = 0;
  FPartial.clear();
  FLive = false;
  FInputFrames = 0;
}

HRESULT TWriter::BeginWriting() {
  if (FWriting) return NS_E_INVALID_REQUEST;
  if (!FStream) return NS_E_INVALID_PROFILE;
  if (!FHaveInput) return NS_E_INVALID_INPUT_FORMAT;
  if (FSinks.empty()) return NS_E_NO_SINK;
  const HRESULT Result = OpenEncoder();
  if (Result != S_OK) {
    CloseEncoder();
    return Result;
  }
  FWriting = true;
  FLiveStart = std::chrono::steady_clock::now();
  return S_OK;
}

void TWriter::KeepPace() {
  using namespace std::chrono;
  const duration<double> Media(static_cast<double>(FInputFrames) / FInput.nSamplesPerSec);
  const duration<double> Lead(LiveLeadSeconds);
  const auto Now = steady_clock::now();
  const auto Elapsed = Now - FLiveStart;
  // Behind the clock (a pause, a slow source): go on from here rather than rush to catch up.
  if (Elapsed > Media + Lead) FLiveStart = Now - duration_cast<steady_clock::duration>(Media);
  const auto Ahead = Media - Lead - Elapsed;
  if (Ahead > duration<double>::zero()) std::this_thread::sleep_for(Ahead);
}

bool TWriter::SendFrame(AVFrame* Frame) {
  if (avcodec_send_frame(FEncoder.get(), Frame) < 0) return false;
  AVStream* Stream = FFormat->streams[0];
  for (;;) {
    const int Got = avcodec_receive_packet(FEncoder.get(), FPacket.get());
    if (Got == AVERROR(EAGAIN) || Got == AVERROR_EOF) return true;
    if (Got < 0) return false;
    av_packet_rescale_ts(FPacket.get(), FEncoder->time_base, Stream->time_base);
    FPacket->stream_index = 0;
    if (av_write_frame(FFormat.get(), FPacket.get()) < 0) return false;
  }
}

bool TWriter::EncodeAvailable(bool Final) {
  const int FrameSize = FEncoder->frame_size;
  while (av_audio_fifo_size(FFifo.get()) >= FrameSize ||
         (Final && av_audio_fifo_size(FFifo.get()) > 0)) {
    if (av_frame_make_writable(FFrame.get()) < 0) return false;
    const int Got =
        av_audio_fifo_read(FFifo.get(), reinterpret_cast<void**>(FFrame->data), FrameSize);
    if (Got < 0) return false;
    // The encoder takes whole frames only: the last one is completed with silence.
    if (Got < FrameSize)
      av_samples_set_silence(FFrame->data, Got, FrameSize - Got, FEncoder->ch_layout.nb_channels,
                             AV_SAMPLE_FMT_FLTP);
    FFrame->nb_samples = FrameSize;
    FFrame->pts = FNextPts;
    FNextPts += FrameSize;
    if (!SendFrame(FFrame.get())) return false;
  }
  return true;
}

bool TWriter::EncodeSilentFrame() {
  // A decoder gives back a frame's samples only with the next frame's overlap: without one
  // more frame the last frame of audio would never be heard.
  if (FNextPts == 0) return true;
  const int FrameSize = FEncoder->frame_size;
  if (av_frame_make_writable(FFrame.get()) < 0) return false;
  av_samples_set_silence(FFrame->data, 0, FrameSize, FEncoder->ch_layout.nb_channels,
                         AV_SAMPLE_FMT_FLTP);
  FFrame->nb_samples = FrameSize;
  FFrame->pts = FNextPts;
  FNextPts += FrameSize;
  return SendFrame(FFrame.get());
}

bool TWriter::Convert(const uint8_t* Data, uint32_t Frames) {
  const uint8_t* In = Data;
  if (FInput.wBitsPerSample == 24 && Frames > 0) {
    const size_t Values = static_cast<size_t>(Frames) * FInput.nChannels;
    FWide.resize(Values);
    for (size_t i = 0; i < Values; ++i) {
      const uint8_t* P = Data + 3 * i;
      FWide[i] = static_cast<int32_t>(static_cast<uint32_t>(P[0]) << 8 |
                                      static_cast<uint32_t>(P[1]) << 16 |
                                      static_cast<uint32_t>(P[2]) << 24);
    }
    In = reinterpret_cast<const uint8_t*>(FWide.data());
  }
  const int Room = swr_get_out_samples(FSwr.get(), static_cast<int>(Frames));
  if (Room < 0) return false;
  if (Room > FConvertedRoom) {
    if (FConverted) {
      av_freep(&FConverted[0]);
      av_freep(&FConverted);
    }
    FConvertedRoom = 0;
    if (av_samples_alloc_array_and_samples(&FConverted, nullptr, FEncoder->ch_layout.nb_channels,
                                           Room, AV_SAMPLE_FMT_FLTP, 0) < 0)
      return false;
    FConvertedRoom = Room;
  }
  const int Out = swr_convert(FSwr.get(), FConverted, FConvertedRoom, Frames > 0 ? &In : nullptr,
                              static_cast<int>(Frames));
  if (Out < 0) return false;
  FInputFrames += Frames;
  if (Out > 0 && av_audio_fifo_write(FFifo.get(), reinterpret_cast<void**>(FConverted), Out) < Out)
    return false;
  return true;
}

HRESULT TWriter::WriteSample(uint32_t dwInputNum, uint64_t /*cnsSampleTime*/, uint32_t /*dwFlags*/,
                             INSSBuffer* pSample) {
  // The PCM of one input is continuous: its time stamps add nothing to what the sample
  // counts already say.
  if (!pSample) return E_POINTER;
  if (!FWriting) return NS_E_INVALID_REQUEST;
  if (dwInputNum != 0) return E_INVALIDARG;
  uint8_t* Data = nullptr;
  uint32_t Length = 0;
  if (pSample->GetBufferAndLength(&Data, &Length) != S_OK) return E_INVALIDARG;
  if (Length == 0) return S_OK;
  const uint32_t Align = FInput.nBlockAlign;
  const uint8_t* Start = Data;
  uint32_t Left = Length;
  if (!FPartial.empty()) {
    const uint32_t Take = std::min<uint32_t>(Left, Align - static_cast<uint32_t>(FPartial.size()));
    FPartial.insert(FPartial.end(), Start, Start + Take);
    Start += Take;
    Left -= Take;
    if (FPartial.size() == Align) {
      if (!Convert(FPartial.data(), 1)) return NS_E_AUDIO_CODEC_ERROR;
      FPartial.clear();
    }
  }
  const uint32_t Frames = Left / Align;
  if (Frames > 0 && !Convert(Start, Frames)) return NS_E_AUDIO_CODEC_ERROR;
  FPartial.insert(FPartial.end(), Start + Frames * Align, Start + Left);
  if (!EncodeAvailable(false)) return NS_E_AUDIO_CODEC_ERROR;
  if (FLive) {
    avio_flush(FIo.get());
    KeepPace();
  }
  return S_OK;
}

HRESULT TWriter::EndWriting() {
  if (!FWriting) return NS_E_INVALID_REQUEST;
  FWriting = false;
  bool Ok =
      Convert(nullptr, 0) && EncodeAvailable(true) && EncodeSilentFrame() && SendFrame(nullptr);
  Ok = av_write_trailer(FFormat.get()) == 0 && Ok;
  avio_flush(FIo.get());
  Ok = Ok && FIo->error >= 0;
  if (FHeaderChanged) SendHeader();
  for (IWMWriterSink* Sink : FSinks) Sink->OnEndWriting();
  CloseEncoder();
  return Ok ? S_OK : NS_E_AUDIO_CODEC_ERROR;
}

}  // namespace

IWMWriter* NewWriter() {
  av_log_set_level(AV_LOG_QUIET);
  return new TWriter();
}

}  // namespace tunevert::wmvcore
