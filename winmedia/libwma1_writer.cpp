#include "winmedia/libwma1_writer.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/Exception.h"
#include "platform/Text.h"

namespace tunevert {

namespace {

constexpr uint32_t ProfileVersion = 0x90000;
constexpr int32_t BoolTrue = -1;  // True written as all bits set

// A media type fetched in two calls: its size, then the record into a block of that size.
class TMediaTypeBlock {
 public:
  bool Fetch(IWMMediaProps& Props) {
    uint32_t Size = 0;
    if (Props.GetMediaType(nullptr, &Size) != S_OK || Size < sizeof(WM_MEDIA_TYPE)) return false;
    FBlock = std::make_unique<uint8_t[]>(Size);
    if (Props.GetMediaType(Type(), &Size) != S_OK) return false;
    const uint8_t* First = FBlock.get() + sizeof(WM_MEDIA_TYPE);
    // The format block must lie inside the record we were given.
    FHasWave = Type()->majortype == WMMEDIATYPE_Audio &&
               Type()->formattype == WMFORMAT_WaveFormatEx &&
               Type()->cbFormat >= sizeof(WAVEFORMATEX) && Type()->pbFormat >= First &&
               Type()->cbFormat <= Size - sizeof(WM_MEDIA_TYPE) &&
               Type()->pbFormat + Type()->cbFormat <= FBlock.get() + Size;
    return true;
  }
  WM_MEDIA_TYPE* Type() { return reinterpret_cast<WM_MEDIA_TYPE*>(FBlock.get()); }
  bool HasWave() const { return FHasWave; }
  WAVEFORMATEX Wave() {
    WAVEFORMATEX W{};
    if (FHasWave) std::memcpy(&W, Type()->pbFormat, sizeof W);
    return W;
  }
  void SetWave(const WAVEFORMATEX& W) { std::memcpy(Type()->pbFormat, &W, sizeof W); }

 private:
  std::unique_ptr<uint8_t[]> FBlock;
  bool FHasWave = false;
};

template <class T>
TInterfaceRef<T> Query(IUnknown* From, const IID& Iid) {
  TInterfaceRef<T> Result;
  if (From) From->QueryInterface(Iid, reinterpret_cast<void**>(Result.Receive()));
  return Result;
}

TInterfaceRef<IWMProfileManager> NewProfileManager() {
  TInterfaceRef<IWMProfileManager> Manager;
  if (WMCreateProfileManager) WMCreateProfileManager(Manager.Receive());
  return Manager;
}

bool EnableVBR(IWMCodecInfo3& Info, uint32_t Codec) {
  int32_t Value = BoolTrue;
  return Info.SetCodecEnumerationSetting(WMMEDIATYPE_Audio, Codec, u"_VBRENABLED", WMT_TYPE_BOOL,
                                         reinterpret_cast<const uint8_t*>(&Value),
                                         sizeof Value) == S_OK;
}

// The codec information with CodecIndex ready to enumerate; empty when there is no such codec
// or its VBR formats cannot be enabled.
TInterfaceRef<IWMCodecInfo3> CodecInfoFor(IWMProfileManager* Manager, uint32_t CodecIndex,
                                          bool VBRorLossless) {
  auto Info = Query<IWMCodecInfo3>(Manager, IID_IWMCodecInfo3);
  uint32_t Codecs = 0;
  if (!Info || Info->GetCodecInfoCount(WMMEDIATYPE_Audio, &Codecs) != S_OK ||
      CodecIndex >= Codecs || (VBRorLossless && !EnableVBR(*Info.Get(), CodecIndex)))
    return {};
  return Info;
}

// |A - B| with both differences taken as signed 32-bit values.
int64_t Distance(uint32_t A, uint32_t B) {
  return std::llabs(static_cast<int64_t>(static_cast<int32_t>(A - B)));
}

std::string TextUpToNull(const std::u16string& Buffer) {
  return Utf16ToUtf8(std::u16string_view(Buffer.c_str()));
}

// The profile's one audio stream from Config, and the writer input that takes the PCM.
void BuildStreamAndInput(wma_writer& writer, IWMProfileManager* Manager, IWMStreamConfig& Config,
                         uint16_t Channels, uint16_t BitsPerSample, uint32_t SampleRate) {
  TInterfaceRef<IWMProfile> Profile;
  if (Manager) Manager->CreateEmptyProfile(ProfileVersion, Profile.Receive());
  Config.SetStreamNumber(1);
  Config.SetStreamName(u"NAAudioStream");
  Config.SetConnectionName(u"NAAudioConnection");
  if (!Profile || Profile->AddStream(&Config) != S_OK) throw Exception("fff");
  writer.writer->SetProfile(Profile.Get());

  uint32_t Inputs = 0;
  if (writer.writer->GetInputCount(&Inputs) != S_OK) return;
  for (uint32_t i = 0; i < Inputs; ++i) {
    TInterfaceRef<IWMInputMediaProps> Props;
    if (writer.writer->GetInputProps(i, Props.Receive()) != S_OK || !Props) continue;
    TMediaTypeBlock Type;
    if (!Type.Fetch(*Props.Get()) || !Type.HasWave()) continue;
    writer.input = i;
    WAVEFORMATEX W = Type.Wave();
    W.wFormatTag = WAVE_FORMAT_PCM;
    W.nChannels = Channels;
    W.nSamplesPerSec = SampleRate;
    W.wBitsPerSample = BitsPerSample;
    W.nBlockAlign = static_cast<uint16_t>((BitsPerSample * Channels) / 8);
    W.nAvgBytesPerSec = W.nBlockAlign * SampleRate;
    writer.BytesPerSecond = W.nAvgBytesPerSec;
    Type.SetWave(W);
    // An input the runtime refuses would have it read our PCM in another layout.
    if (Props->SetMediaType(Type.Type()) != S_OK ||
        writer.writer->SetInputProps(i, Props.Get()) != S_OK)
      throw Exception("Failed to init codec");
    return;
  }
}

}  // namespace

// ---- status sinks ----

HRESULT TWMCallbackBase::QueryInterface(const IID& riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IWMStatusCallback) {
    *ppvObject = static_cast<IWMStatusCallback*>(this);
    AddRef();
    return S_OK;
  }
  *ppvObject = nullptr;
  return E_NOINTERFACE;
}

uint32_t TWMCallbackBase::AddRef() {
  return FRefCount.fetch_add(1) + 1;
}

uint32_t TWMCallbackBase::Release() {
  const uint32_t Left = FRefCount.fetch_sub(1) - 1;
  if (Left == 0) delete this;
  return Left;
}

HRESULT TWMErrorCallback::OnStatus(WMT_STATUS Status, HRESULT hr, WMT_ATTR_DATATYPE, uint8_t*,
                                   void*) {
  // The file sink reports a failed write or close as it happens, errno still set.
  const int Error = errno;
  const uint8_t Code = static_cast<uint8_t>(Status & 0xFF);
  if (Code == 0 && hr == NS_E_FILE_WRITE && FWriter->FileError == 0) FWriter->FileError = Error;
  if ((Code == 0 || Code == 9 || Code == 26 || Code == 30) && FWriter->OnError)
    FWriter->OnError(FWriter->Owner, Status);
  return S_OK;
}

HRESULT TWMStatusCallback::OnStatus(WMT_STATUS Status, HRESULT, WMT_ATTR_DATATYPE, uint8_t*,
                                    void*) {
  const uint8_t Code = static_cast<uint8_t>(Status & 0xFF);
  if (Code == 37 && FWriter->OnConnected) FWriter->OnConnected(FWriter->Owner);
  if (Code == 38 && FWriter->OnDisconnected) FWriter->OnDisconnected(FWriter->Owner);
  return S_OK;
}

// ---- writer routines ----

void WriterOpenFile(wma_writer& writer, const std::u16string& FileName, TComponent* Owner,
                    TErrorNotifyProc OnError) {
  writer = wma_writer{};
  writer.Owner = Owner;
  writer.OnError = OnError;
  if (!WMCreateWriterFileSink || WMCreateWriterFileSink(writer.file_sink.Receive()) != S_OK ||
      !writer.file_sink) {
    writer.file_sink.Clear();
    return;
  }
  if (!WMCreateWriter || WMCreateWriter(nullptr, writer.writer.Receive()) != S_OK ||
      !writer.writer) {
    writer.writer.Clear();
    writer.file_sink.Clear();
    return;
  }
  auto Sink = Query<IWMWriterSink>(writer.file_sink.Get(), IID_IWMWriterSink);
  auto Advanced = Query<IWMWriterAdvanced>(writer.writer.Get(), IID_IWMWriterAdvanced);
  // Without the sink attached nothing would reach the file.
  if (!Sink || !Advanced || Advanced->AddSink(Sink.Get()) != S_OK ||
      writer.file_sink->Open(FileName.c_str()) != S_OK) {
    writer.file_sink.Clear();
    writer.writer.Clear();
    return;
  }
  writer.ErrorCallback = TInterfaceRef<IWMStatusCallback>(new TWMErrorCallback(&writer));
  if (auto Register = Query<IWMRegisterCallback>(writer.file_sink.Get(), IID_IWMRegisterCallback))
    Register->Advise(writer.ErrorCallback.Get(), nullptr);
  writer.Initialized = true;
}

void WriterOpenNetwork(wma_writer& writer, uint32_t Port, uint32_t MaxClients,
                       TErrorNotifyProc OnError, TNotifyProc OnDisconnected,
                       TNotifyProc OnConnected, TComponent* Owner) {
  writer = wma_writer{};
  writer.Owner = Owner;
  writer.OnError = OnError;
  writer.OnDisconnected = OnDisconnected;
  writer.OnConnected = OnConnected;
  auto Fail = [&writer](bool SinkOpen) {
    if (SinkOpen) writer.network_sink->Close();
    writer.network_sink.Clear();
    writer.writer.Clear();
  };
  if (!WMCreateWriterNetworkSink ||
      WMCreateWriterNetworkSink(writer.network_sink.Receive()) != S_OK || !writer.network_sink)
    return Fail(false);
  if (!WMCreateWriter || WMCreateWriter(nullptr, writer.writer.Receive()) != S_OK || !writer.writer)
    return Fail(false);
  uint32_t Opened = Port;
  if (writer.network_sink->SetNetworkProtocol(WMT_PROTOCOL_HTTP) != S_OK ||
      writer.network_sink->Open(&Opened) != S_OK)
    return Fail(false);
  if (MaxClients > 0) writer.network_sink->SetMaximumClients(MaxClients);
  auto Sink = Query<IWMWriterSink>(writer.network_sink.Get(), IID_IWMWriterSink);
  auto Advanced = Query<IWMWriterAdvanced>(writer.writer.Get(), IID_IWMWriterAdvanced);
  if (!Sink || !Advanced || Advanced->AddSink(Sink.Get()) != S_OK) return Fail(true);
  writer.StatusCallback = TInterfaceRef<IWMStatusCallback>(new TWMStatusCallback(&writer));
  if (auto Register =
          Query<IWMRegisterCallback>(writer.network_sink.Get(), IID_IWMRegisterCallback))
    Register->Advise(writer.StatusCallback.Get(), nullptr);
  writer.Initialized = true;
}

void WriterCloseNetwork(wma_writer& writer) {
  if (writer.writer) writer.writer->EndWriting();
  if (writer.network_sink) {
    writer.network_sink->Close();
    auto Sink = Query<IWMWriterSink>(writer.network_sink.Get(), IID_IWMWriterSink);
    auto Advanced = Query<IWMWriterAdvanced>(writer.writer.Get(), IID_IWMWriterAdvanced);
    if (Sink && Advanced) Advanced->RemoveSink(Sink.Get());
  }
  writer.buffer.Clear();
  writer.network_sink.Clear();
  writer.writer.Clear();
  writer.StatusCallback.Clear();
  writer.Initialized = false;
}

uint32_t WriterClientCount(const wma_writer& writer) {
  auto Clients = Query<IWMClientConnections>(writer.network_sink.Get(), IID_IWMClientConnections);
  uint32_t Count = 0;
  if (!Clients || Clients->GetClientCount(&Count) != S_OK) return 0;
  return Count;
}

bool WriterClientProperties(const wma_writer& writer, uint32_t Index, WM_CLIENT_PROPERTIES& Props) {
  auto Clients = Query<IWMClientConnections>(writer.network_sink.Get(), IID_IWMClientConnections);
  return Clients && Clients->GetClientProperties(Index, &Props) == S_OK;
}

std::string WriterHostURL(const wma_writer& writer) {
  if (!writer.writer || !writer.network_sink) return {};
  uint32_t Length = 0;
  if (writer.network_sink->GetHostURL(nullptr, &Length) != S_OK || Length == 0) return {};
  std::u16string Url(Length, u'\0');
  if (writer.network_sink->GetHostURL(Url.data(), &Length) != S_OK) return {};
  return TextUpToNull(Url);
}

void ListCodecNames(std::vector<std::string>& List) {
  auto Manager = NewProfileManager();
  auto Info = Query<IWMCodecInfo2>(Manager.Get(), IID_IWMCodecInfo2);
  if (!Info) return;
  uint32_t Count = 0;
  if (Info->GetCodecInfoCount(WMMEDIATYPE_Audio, &Count) != S_OK) return;
  for (uint32_t i = 0; i < Count; ++i) {
    uint32_t Length = 0;
    if (Info->GetCodecName(WMMEDIATYPE_Audio, i, nullptr, &Length) != S_OK) Length = 0;
    std::u16string Name(Length, u'\0');
    if (Length > 0) Info->GetCodecName(WMMEDIATYPE_Audio, i, Name.data(), &Length);
    List.push_back(TextUpToNull(Name));
  }
}

void ListCodecFormats(uint16_t CodecIndex, bool VBRorLossless, std::vector<std::string>& List) {
  auto Manager = NewProfileManager();
  auto Info = CodecInfoFor(Manager.Get(), CodecIndex, VBRorLossless);
  if (!Info) return;
  uint32_t Count = 0;
  if (Info->GetCodecFormatCount(WMMEDIATYPE_Audio, CodecIndex, &Count) != S_OK) return;
  for (uint32_t j = 0; j < Count; ++j) {
    uint32_t Length = 0;
    TInterfaceRef<IWMStreamConfig> Config;
    if (Info->GetCodecFormatDesc(WMMEDIATYPE_Audio, CodecIndex, j, Config.Receive(), nullptr,
                                 &Length) != S_OK)
      Length = 0;
    Config.Clear();
    std::u16string Desc(Length, u'\0');
    if (Length > 0)
      Info->GetCodecFormatDesc(WMMEDIATYPE_Audio, CodecIndex, j, Config.Receive(), Desc.data(),
                               &Length);
    Config.Clear();
    List.push_back(TextUpToNull(Desc));
  }
}

void WriterSetFormat(wma_writer& writer, uint16_t Channels, uint16_t BitsPerSample,
                     uint32_t FormatIndex, uint32_t CodecIndex, bool VBRorLossless,
                     uint32_t SampleRate) {
  if (!writer.writer) return;
  auto Manager = NewProfileManager();
  auto Info = CodecInfoFor(Manager.Get(), CodecIndex, VBRorLossless);
  if (!Info) return;
  TInterfaceRef<IWMStreamConfig> Config;
  Info->GetCodecFormat(WMMEDIATYPE_Audio, CodecIndex, FormatIndex, Config.Receive());
  if (!Config) return;
  BuildStreamAndInput(writer, Manager.Get(), *Config.Get(), Channels, BitsPerSample, SampleRate);
}

bool FindCodecFormat(const WAVEFORMATEX& Template, uint32_t Target, bool Lossless, bool VBR,
                     TInterfaceRef<IWMStreamConfig>& Config) {
  Config.Clear();
  auto Manager = NewProfileManager();
  auto Info = Query<IWMCodecInfo3>(Manager.Get(), IID_IWMCodecInfo3);
  if (!Info) return false;
  uint32_t BestBitrate = 0, BestRate = 0, BestQuality = 0;
  uint32_t Codecs = 0;
  if (Info->GetCodecInfoCount(WMMEDIATYPE_Audio, &Codecs) != S_OK) return false;
  for (uint32_t i = 0; i < Codecs; ++i) {
    if ((VBR || Lossless) && !EnableVBR(*Info.Get(), i)) continue;
    uint32_t Count = 0;
    if (Info->GetCodecFormatCount(WMMEDIATYPE_Audio, i, &Count) != S_OK) continue;
    for (uint32_t j = 0; j < Count; ++j) {
      TInterfaceRef<IWMStreamConfig> Format;
      Info->GetCodecFormat(WMMEDIATYPE_Audio, i, j, Format.Receive());
      if (!Format) break;
      TMediaTypeBlock Type;
      auto Props = Query<IWMMediaProps>(Format.Get(), IID_IWMMediaProps);
      if (!Props || !Type.Fetch(*Props.Get())) continue;
      const WAVEFORMATEX W = Type.Wave();
      bool Candidate = false;
      uint32_t Bitrate = 0;
      if (Lossless) {
        Candidate = Type.Type()->subtype == WMMEDIASUBTYPE_WMAudio_Lossless;
      } else if (VBR) {
        uint32_t Quality = 0, Size = sizeof Quality;
        WMT_ATTR_DATATYPE AttrType = WMT_TYPE_DWORD;
        // A format that cannot tell its quality is no candidate.
        if (Info->GetCodecFormatProp(WMMEDIATYPE_Audio, i, j, u"_VBRQUALITY", &AttrType,
                                     reinterpret_cast<uint8_t*>(&Quality), &Size) == S_OK &&
            Distance(Target, Quality) < Distance(Target, BestQuality)) {
          Candidate = true;
          BestQuality = Quality;
        }
      } else {
        if (Format->GetBitrate(&Bitrate) == S_OK)
          Candidate = Distance(Bitrate, Target) < Distance(BestBitrate, Target);
      }
      if (!Candidate) continue;
      if ((VBR || Lossless) && !Config) Config = Format;
      if (Type.HasWave() && W.nChannels == Template.nChannels &&
          W.wBitsPerSample == Template.wBitsPerSample &&
          Distance(W.nSamplesPerSec, Template.nSamplesPerSec) <=
              Distance(BestRate, Template.nSamplesPerSec)) {
        BestBitrate = Bitrate;
        BestRate = W.nSamplesPerSec;
        Config = Format;
      }
    }
  }
  return static_cast<bool>(Config);
}

void WriterSetFormatByBitrate(wma_writer& writer, uint16_t Channels, uint16_t BitsPerSample,
                              uint32_t Target, bool VBR, bool Lossless, uint32_t SampleRate) {
  if (!VBR && Target < 1000) Target *= 1000;
  WAVEFORMATEX Template{};
  Template.wFormatTag = WAVE_FORMAT_PCM;
  Template.nChannels = Channels;
  Template.nSamplesPerSec = SampleRate;
  Template.wBitsPerSample = BitsPerSample;
  TInterfaceRef<IWMStreamConfig> Config;
  if (!FindCodecFormat(Template, Target, Lossless, VBR, Config))
    throw Exception("Failed to init codec");
  if (!writer.writer) throw Exception("fff");
  auto Manager = NewProfileManager();
  BuildStreamAndInput(writer, Manager.Get(), *Config.Get(), Channels, BitsPerSample, SampleRate);
}

void WriterSetTextAttribute(wma_writer& writer, std::u16string_view Name,
                            std::u16string_view Text) {
  auto Header = Query<IWMHeaderInfo>(writer.writer.Get(), IID_IWMHeaderInfo);
  if (!Header) return;
  const std::u16string Key(Name);
  const size_t Chars = AttributeChars(Text);
  std::vector<uint8_t> Bytes(Chars * 2);
  for (size_t i = 0; i < Chars; ++i) {
    Bytes[2 * i] = static_cast<uint8_t>(Text[i] & 0xFF);
    Bytes[2 * i + 1] = static_cast<uint8_t>(Text[i] >> 8);
  }
  Header->SetAttribute(0, Key.c_str(), WMT_TYPE_STRING, Bytes.data(),
                       static_cast<uint16_t>(Bytes.size()));
}

void WriterBegin(wma_writer& writer) {
  if (!writer.writer || writer.writer->BeginWriting() != S_OK)
    throw EAuException(
        "Filed to set data writer, possible reason: required WMA codec not installed.");
  writer.TotalTime = 0;
}

void WriterWrite(wma_writer& writer, const void* Buffer, uint32_t Bytes) {
  auto Failed = [](HRESULT Code) {
    char Hex[9];
    std::snprintf(Hex, sizeof Hex, "%08X", static_cast<uint32_t>(Code));
    return EAuException(std::string("Failed to write data: ") + Hex);
  };
  if (!writer.writer) throw Failed(NS_E_INVALID_REQUEST);
  if (writer.BytesPerSecond == 0) throw EAuException("Division by zero");
  HRESULT Result = writer.writer->AllocateSample(Bytes, writer.buffer.Receive());
  if (Result != S_OK || !writer.buffer) throw Failed(Result != S_OK ? Result : E_OUTOFMEMORY);
  uint8_t* Data = nullptr;
  writer.buffer->GetBuffer(&Data);
  if (Bytes > 0 && Data) std::memcpy(Data, Buffer, Bytes);
  writer.buffer->SetLength(Bytes);
  writer.TotalTime += std::llround(static_cast<double>(Bytes) / writer.BytesPerSecond / 1e-7);
  Result = writer.writer->WriteSample(writer.input, static_cast<uint64_t>(writer.TotalTime), 0,
                                      writer.buffer.Get());
  writer.buffer.Clear();
  if (Result != S_OK) throw Failed(Result);
}

bool WriterCloseFile(wma_writer& writer) {
  const bool Ended = writer.writer && writer.writer->EndWriting() == S_OK;
  writer.buffer.Clear();
  writer.file_sink.Clear();
  writer.writer.Clear();
  writer.ErrorCallback.Clear();
  writer.Initialized = false;
  return Ended;
}

}  // namespace tunevert
