#include "winmedia/libwma1.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <vector>

namespace tunevert {

// ---- TAudioStream ----

HRESULT TAudioStream::QueryInterface(const IID& riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IStream) {
    *ppvObject = static_cast<IStream*>(this);
    AddRef();
    return S_OK;
  }
  *ppvObject = nullptr;
  return E_NOINTERFACE;
}

uint32_t TAudioStream::AddRef() {
  return FRefCount.fetch_add(1) + 1;
}

uint32_t TAudioStream::Release() {
  const uint32_t Left = FRefCount.fetch_sub(1) - 1;
  if (Left == 0) delete this;
  return Left;
}

// The runtime calls these from inside its C decoders: a stream error must come back as a
// result code, never as an exception unwinding through them.

HRESULT TAudioStream::Read(void* pv, uint32_t cb, uint32_t* pcbRead) {
  int64_t Done = 0;
  try {
    if (FStream && pv && cb > 0) Done = FStream->Read(pv, cb);
  } catch (const std::exception&) {
    Done = 0;
  }
  if (Done < 0) Done = 0;
  if (pcbRead) *pcbRead = static_cast<uint32_t>(Done);
  return Done > 0 ? S_OK : StreamFailed;
}

HRESULT TAudioStream::Write(const void* pv, uint32_t cb, uint32_t* pcbWritten) {
  int64_t Done = 0;
  try {
    if (FStream && pv && cb > 0) Done = FStream->Write(pv, cb);
  } catch (const std::exception&) {
    Done = 0;
  }
  if (Done < 0) Done = 0;
  if (pcbWritten) *pcbWritten = static_cast<uint32_t>(Done);
  return Done > 0 ? S_OK : StreamFailed;
}

HRESULT TAudioStream::Seek(int64_t dlibMove, uint32_t dwOrigin, uint64_t* plibNewPosition) {
  if (!FStream) return StreamFailed;
  TSeekOrigin Origin;
  switch (dwOrigin) {
    case STREAM_SEEK_SET:
      Origin = TSeekOrigin::soBeginning;
      break;
    case STREAM_SEEK_CUR:
      Origin = TSeekOrigin::soCurrent;
      break;
    case STREAM_SEEK_END:
      Origin = TSeekOrigin::soEnd;
      break;
    default:
      return STG_E_INVALIDFUNCTION;
  }
  try {
    // The whole 64-bit distance: files past 2 GiB are ordinary.
    const int64_t Position = FStream->Seek(dlibMove, Origin);
    if (Position < 0) return StreamFailed;
    if (plibNewPosition) *plibNewPosition = static_cast<uint64_t>(Position);
  } catch (const std::exception&) {
    return StreamFailed;
  }
  return S_OK;
}

HRESULT TAudioStream::SetSize(uint64_t /*libNewSize*/) {
  // Reading never resizes; refusing keeps a stray call from truncating the caller's file.
  return STG_E_INVALIDFUNCTION;
}

HRESULT TAudioStream::CopyTo(IStream*, uint64_t, uint64_t*, uint64_t*) {
  return StreamFailed;
}
HRESULT TAudioStream::Commit(uint32_t) {
  return StreamFailed;
}
HRESULT TAudioStream::Revert() {
  return StreamFailed;
}
HRESULT TAudioStream::LockRegion(uint64_t, uint64_t, uint32_t) {
  return StreamFailed;
}
HRESULT TAudioStream::UnlockRegion(uint64_t, uint64_t, uint32_t) {
  return StreamFailed;
}

HRESULT TAudioStream::Stat(STATSTG* pstatstg, uint32_t /*grfStatFlag*/) {
  if (!pstatstg) return E_POINTER;
  std::memset(pstatstg, 0, sizeof *pstatstg);
  try {
    const int64_t Size = FStream ? FStream->Size() : 0;
    pstatstg->cbSize = static_cast<uint64_t>(Size < 0 ? 0 : Size);
  } catch (const std::exception&) {
    return StreamFailed;
  }
  pstatstg->grfLocksSupported = 0;
  return S_OK;
}

HRESULT TAudioStream::Clone(IStream** ppstm) {
  if (ppstm) *ppstm = nullptr;
  return StreamFailed;
}

// ---- reader routines ----

namespace {

constexpr uint32_t AsfHeaderObjectSize = 30;

// A media type fetched in two calls: first its size, then the record into a block of it.
struct TMediaType {
  WM_MEDIA_TYPE Type{};
  bool HasWave = false;  // audio described by a complete WAVEFORMATEX
  WAVEFORMATEX Wave{};
};

bool FetchMediaType(IWMMediaProps* Props, TMediaType& Out) {
  if (!Props) return false;
  uint32_t Size = 0;
  if (Props->GetMediaType(nullptr, &Size) != S_OK || Size < sizeof(WM_MEDIA_TYPE)) return false;
  auto Block = std::make_unique<uint8_t[]>(Size);
  if (Props->GetMediaType(reinterpret_cast<WM_MEDIA_TYPE*>(Block.get()), &Size) != S_OK)
    return false;
  std::memcpy(&Out.Type, Block.get(), sizeof Out.Type);
  Out.HasWave = false;
  // A format block that is short or points outside the record is not trusted.
  const uint8_t* First = Block.get() + sizeof(WM_MEDIA_TYPE);
  const uint8_t* End = Block.get() + Size;
  if (Out.Type.formattype == WMFORMAT_WaveFormatEx && Out.Type.pbFormat &&
      Out.Type.cbFormat >= sizeof(WAVEFORMATEX) && Out.Type.pbFormat >= First &&
      Out.Type.pbFormat <= End &&
      Out.Type.cbFormat <= static_cast<size_t>(End - Out.Type.pbFormat)) {
    std::memcpy(&Out.Wave, Out.Type.pbFormat, sizeof Out.Wave);
    Out.HasWave = true;
  }
  Out.Type.pbFormat = nullptr;  // pointed into the freed block
  return true;
}

void SetBoolSetting(IWMSyncReader& Reader, uint32_t Output, const char16_t* Name, bool Value) {
  const uint32_t Raw = Value ? 0xFFFFFFFFu : 0;
  uint8_t Bytes[4];
  std::memcpy(Bytes, &Raw, 4);
  Reader.SetOutputSetting(Output, Name, WMT_TYPE_BOOL, Bytes, 4);
}

void SetDwordSetting(IWMSyncReader& Reader, uint32_t Output, const char16_t* Name, uint32_t Value) {
  uint8_t Bytes[4];
  std::memcpy(Bytes, &Value, 4);
  Reader.SetOutputSetting(Output, Name, WMT_TYPE_DWORD, Bytes, 4);
}

void ReleaseReaderAndAdapter(wma_sync_reader& reader) {
  reader.reader.Clear();
  reader.AuStream.Clear();
  reader.AudioStream = nullptr;
}

// Reads a 4-byte number attribute of stream 0.
bool DwordAttribute(wma_sync_reader& reader, const char16_t* Name, uint32_t& Value) {
  if (!reader.HeaderInfo) return false;
  uint16_t StreamNumber = 0;
  WMT_ATTR_DATATYPE Type = WMT_TYPE_DWORD;
  uint8_t Bytes[4] = {};
  uint16_t Length = sizeof Bytes;
  if (reader.HeaderInfo->GetAttributeByName(&StreamNumber, Name, &Type, Bytes, &Length) != S_OK ||
      Length != sizeof Bytes)
    return false;
  std::memcpy(&Value, Bytes, 4);
  return true;
}

}  // namespace

void SyncReaderOpen(wma_sync_reader& reader, TStream* Stream, bool HighPrecision,
                    int8_t ChannelRequest) {
  // There is no apartment to enter on Linux; the runtime is free-threaded per reader.
  // Reopening an open record would otherwise leak its reader, sample and adapter.
  SyncReaderClose(reader);
  reader = wma_sync_reader{};
  if (!WMCreateSyncReader || !Stream) return;
  if (WMCreateSyncReader(nullptr, 0, reader.reader.Receive()) != S_OK || !reader.reader) {
    reader.reader.Clear();
    return;
  }
  auto* Adapter = new TAudioStream();
  Adapter->AssignStream(Stream);
  reader.AudioStream = Adapter;
  reader.AuStream = TInterfaceRef<IStream>(Adapter);

  if (reader.reader->OpenStream(reader.AuStream.Get()) != S_OK) {
    // Content behind a 30-byte prefix is tried once more from there.
    reader.AuStream->Seek(AsfHeaderObjectSize, STREAM_SEEK_SET, nullptr);
    if (reader.reader->OpenStream(reader.AuStream.Get()) != S_OK) {
      ReleaseReaderAndAdapter(reader);
      return;
    }
  }
  uint32_t Outputs = 0;
  if (reader.reader->GetOutputCount(&Outputs) != S_OK) {
    reader.reader->Close();
    ReleaseReaderAndAdapter(reader);
    return;
  }

  IWMSyncReader& Reader = *reader.reader.Get();
  for (uint32_t i = 0; i < Outputs; ++i) {
    TInterfaceRef<IWMOutputMediaProps> Props;
    TMediaType Current;
    if (Reader.GetOutputProps(i, Props.Receive()) != S_OK || !FetchMediaType(Props.Get(), Current))
      continue;
    if (!(Current.Type.majortype == WMMEDIATYPE_Audio)) continue;
    SetBoolSetting(Reader, i, u"EnableDiscreteOutput", HighPrecision);
    if (ChannelRequest == 0 && !Current.HasWave) continue;  // no own layout to match
    if (ChannelRequest > 2) SetDwordSetting(Reader, i, u"SpeakerConfig", ChannelRequest);

    uint32_t Formats = 0;
    if (Reader.GetOutputFormatCount(i, &Formats) != S_OK) continue;
    for (uint32_t j = 0; j < Formats; ++j) {
      TInterfaceRef<IWMOutputMediaProps> Format;
      TMediaType Offered;
      if (Reader.GetOutputFormat(i, j, Format.Receive()) != S_OK ||
          !FetchMediaType(Format.Get(), Offered) || !Offered.HasWave)
        continue;
      const WAVEFORMATEX& W = Offered.Wave;
      bool Take;
      if (ChannelRequest == 0)
        Take = W.wBitsPerSample >= reader.BitsPerSample &&
               W.nSamplesPerSec == Current.Wave.nSamplesPerSec &&
               W.nChannels == Current.Wave.nChannels;
      else if (ChannelRequest > 0)
        Take = W.nChannels == ChannelRequest;
      else
        Take = W.nChannels >= reader.channels &&
               static_cast<int64_t>(W.nSamplesPerSec) >= reader.SampleRate &&
               W.wBitsPerSample >= reader.BitsPerSample;
      if (!Take) continue;
      // The layout is recorded only with the format taken, so an output that matches
      // nothing cannot leave its channels and rate behind another output's format.
      reader.has_audio = true;
      reader.output = i;
      reader.BitsPerSample = W.wBitsPerSample;
      reader.channels = W.nChannels;
      reader.SampleRate = static_cast<int32_t>(W.nSamplesPerSec);
      Reader.SetOutputProps(i, Format.Get());
    }
  }

  if (reader.has_audio) {
    Reader.GetStreamNumberForOutput(reader.output, &reader.stream);
    reader._protected = Reader.SetReadStreamSamples(reader.stream, 0) == NS_E_PROTECTED_CONTENT;
    void* Info = nullptr;
    if (Reader.QueryInterface(IID_IWMHeaderInfo, &Info) == S_OK)
      *reader.HeaderInfo.Receive() = static_cast<IWMHeaderInfo*>(Info);
    uint8_t Bytes[8] = {};
    uint16_t Length = sizeof Bytes;
    uint16_t StreamNumber = 0;
    WMT_ATTR_DATATYPE Type = WMT_TYPE_QWORD;
    if (reader.HeaderInfo &&
        reader.HeaderInfo->GetAttributeByName(&StreamNumber, u"Duration", &Type, Bytes, &Length) ==
            S_OK &&
        Length == sizeof Bytes)
      std::memcpy(&reader.duration, Bytes, 8);
    else
      reader.duration = 0;
  }
}

void SyncReaderClose(wma_sync_reader& reader) {
  if (reader.reader) reader.reader->Close();
  reader.buffer.Clear();
  reader.offset = 0;
  reader.reader.Clear();
  reader.HeaderInfo.Clear();
  reader.AuStream.Clear();
  reader.AudioStream = nullptr;
}

void SyncReaderGetData(wma_sync_reader& reader, void*& Buffer, uint32_t& Bytes) {
  const uint32_t Wanted = Bytes;
  Buffer = nullptr;
  Bytes = 0;
  // Without a chosen audio output there is nothing decoded to hand out.
  if (!reader.reader || !reader.has_audio || Wanted == 0) return;
  while (true) {
    if (reader.buffer) {
      uint8_t* Data = nullptr;
      uint32_t Length = 0;
      if (reader.buffer->GetBufferAndLength(&Data, &Length) == S_OK && reader.offset < Length) {
        const uint32_t Count = std::min(Length - reader.offset, Wanted);
        Buffer = Data + reader.offset;
        Bytes = Count;
        reader.offset += Count;
        return;
      }
      reader.buffer.Clear();
      reader.offset = 0;
    }
    if (reader.reader->GetNextSample(reader.stream, reader.buffer.Receive(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr) != S_OK ||
        !reader.buffer) {
      reader.buffer.Clear();
      return;
    }
  }
}

HRESULT SyncReaderSeek(wma_sync_reader& reader, uint32_t TimeCs) {
  if (!reader.reader) return NS_E_INVALID_REQUEST;
  // In 64 bits: hundredths times 100000 overflows 32 bits past 42.9 s.
  return reader.reader->SetRange(uint64_t{TimeCs} * 100000u, 0);
}

void SyncReaderGetFormat(const wma_sync_reader& reader, uint16_t& Channels, uint16_t& BitsPerSample,
                         uint32_t& SampleRate) {
  Channels = static_cast<uint16_t>(reader.channels);
  BitsPerSample = static_cast<uint16_t>(reader.BitsPerSample);
  SampleRate = static_cast<uint32_t>(reader.SampleRate);
}

uint32_t SyncReaderDuration(const wma_sync_reader& reader) {
  if (reader.duration <= 0) return 0;
  int64_t Whole = reader.duration / 100000;
  const int64_t Rest = reader.duration % 100000;
  if (Rest > 50000 || (Rest == 50000 && (Whole & 1))) ++Whole;  // to nearest, ties to even
  if (Whole > std::numeric_limits<uint32_t>::max()) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(Whole);
}

uint32_t SyncReaderFormatCount(wma_sync_reader& reader, bool HighPrecision) {
  if (!reader.reader || !reader.has_audio) return 0;
  SetBoolSetting(*reader.reader.Get(), reader.output, u"EnableDiscreteOutput", HighPrecision);
  uint32_t Count = 0;
  if (reader.reader->GetOutputFormatCount(reader.output, &Count) != S_OK) return 0;
  return Count;
}

namespace {

bool FetchFormat(wma_sync_reader& reader, bool HighPrecision, uint32_t Index,
                 TInterfaceRef<IWMOutputMediaProps>& Format, TMediaType& Type) {
  if (!reader.reader || !reader.has_audio) return false;
  SetBoolSetting(*reader.reader.Get(), reader.output, u"EnableDiscreteOutput", HighPrecision);
  return reader.reader->GetOutputFormat(reader.output, Index, Format.Receive()) == S_OK &&
         FetchMediaType(Format.Get(), Type);
}

}  // namespace

TWMAFormatSpec SyncReaderFormatSpec(wma_sync_reader& reader, bool HighPrecision, uint32_t Index) {
  TInterfaceRef<IWMOutputMediaProps> Format;
  TMediaType Type;
  TWMAFormatSpec Spec;
  if (FetchFormat(reader, HighPrecision, Index, Format, Type) && Type.HasWave)
    Spec = {Type.Wave.wBitsPerSample, Type.Wave.nChannels, Type.Wave.nSamplesPerSec};
  return Spec;
}

void SyncReaderSelectFormat(wma_sync_reader& reader, bool HighPrecision, uint32_t Index) {
  TInterfaceRef<IWMOutputMediaProps> Format;
  TMediaType Type;
  if (!FetchFormat(reader, HighPrecision, Index, Format, Type)) return;
  if (Type.HasWave) {
    reader.channels = Type.Wave.nChannels;
    reader.BitsPerSample = Type.Wave.wBitsPerSample;
    reader.SampleRate = static_cast<int32_t>(Type.Wave.nSamplesPerSec);
  }
  reader.reader->SetOutputProps(reader.output, Format.Get());
}

uint32_t SyncReaderBitrate(wma_sync_reader& reader) {
  uint32_t Value = 0;
  return DwordAttribute(reader, u"Bitrate", Value) ? Value : 0;
}

bool SyncReaderIsVBR(wma_sync_reader& reader) {
  uint32_t Value = 0;
  return DwordAttribute(reader, u"IsVBR", Value) && Value != 0;
}

std::u16string SyncReaderTextAttribute(wma_sync_reader& reader, std::u16string_view Name) {
  if (!reader.HeaderInfo) return {};
  const std::u16string Key(Name);  // the runtime wants it terminated
  uint16_t StreamNumber = 0;
  WMT_ATTR_DATATYPE Type = WMT_TYPE_STRING;
  uint16_t Length = 0;
  if (reader.HeaderInfo->GetAttributeByName(&StreamNumber, Key.c_str(), &Type, nullptr, &Length) !=
      S_OK)
    Length = 0;
  std::vector<uint8_t> Bytes(Length);
  StreamNumber = 0;
  if (reader.HeaderInfo->GetAttributeByName(&StreamNumber, Key.c_str(), &Type, Bytes.data(),
                                            &Length) != S_OK)
    return {};
  std::u16string Text;
  // An odd trailing byte is not half a character.
  const size_t Chars = std::min<size_t>(Length, Bytes.size()) / 2;
  for (size_t i = 0; i < Chars; ++i) {
    const char16_t C = static_cast<char16_t>(Bytes[2 * i] | (Bytes[2 * i + 1] << 8));
    if (C == 0) break;
    Text.push_back(C);
  }
  return Text;
}

}  // namespace tunevert
