#include "platform/wmvcore/WMObjects.h"

#include <cstring>
#include <memory>

namespace tunevert::wmvcore {

std::atomic<int32_t>& LiveObjects() {
  static std::atomic<int32_t> Count{0};
  return Count;
}

HRESULT CopyText(const std::u16string& Text, char16_t* Buffer, uint32_t* pcch) {
  if (!pcch) return E_POINTER;
  const auto Needed = static_cast<uint32_t>(Text.size() + 1);
  if (!Buffer) {
    *pcch = Needed;
    return S_OK;
  }
  if (*pcch < Needed) {
    *pcch = Needed;
    return ASF_E_BUFFERTOOSMALL;
  }
  std::memcpy(Buffer, Text.c_str(), Needed * sizeof(char16_t));
  *pcch = Needed;
  return S_OK;
}

TStatusCallbacks::~TStatusCallbacks() {
  for (auto& Entry : FList) Entry.first->Release();
}

HRESULT TStatusCallbacks::Advise(IWMStatusCallback* Callback, void* Context) {
  if (!Callback) return E_POINTER;
  std::lock_guard Lock(FLock);
  Callback->AddRef();
  FList.emplace_back(Callback, Context);
  return S_OK;
}

HRESULT TStatusCallbacks::Unadvise(IWMStatusCallback* Callback, void* Context) {
  IWMStatusCallback* Found = nullptr;
  {
    std::lock_guard Lock(FLock);
    for (auto It = FList.begin(); It != FList.end(); ++It)
      if (It->first == Callback && It->second == Context) {
        Found = It->first;
        FList.erase(It);
        break;
      }
  }
  if (!Found) return E_INVALIDARG;
  Found->Release();
  return S_OK;
}

void TStatusCallbacks::Report(WMT_STATUS Status, HRESULT Result) {
  std::vector<std::pair<IWMStatusCallback*, void*>> Copy;
  {
    std::lock_guard Lock(FLock);
    Copy = FList;
    for (auto& Entry : Copy) Entry.first->AddRef();
  }
  for (auto& [Callback, Context] : Copy)
    Callback->OnStatus(Status, Result, WMT_TYPE_DWORD, nullptr, Context);
  for (auto& Entry : Copy) Entry.first->Release();
}

HRESULT TSampleBuffer::QueryInterface(const IID& riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_INSSBuffer) {
    *ppvObject = static_cast<INSSBuffer*>(this);
    AddRef();
    return S_OK;
  }
  *ppvObject = nullptr;
  return E_NOINTERFACE;
}

TSampleBuffer* TSampleBuffer::Allocate(uint32_t MaxSize) {
  auto* Buffer = new TSampleBuffer(std::vector<uint8_t>(MaxSize));
  Buffer->FLength = 0;
  return Buffer;
}

HRESULT TSampleBuffer::GetLength(uint32_t* pdwLength) {
  if (!pdwLength) return E_POINTER;
  *pdwLength = FLength;
  return S_OK;
}

HRESULT TSampleBuffer::SetLength(uint32_t dwLength) {
  if (dwLength > FMaxSize) return E_INVALIDARG;
  FLength = dwLength;
  return S_OK;
}

HRESULT TSampleBuffer::GetMaxSize(uint32_t* pdwMaxSize) {
  if (!pdwMaxSize) return E_POINTER;
  *pdwMaxSize = FMaxSize;
  return S_OK;
}

HRESULT TSampleBuffer::GetBuffer(uint8_t** ppdwBuffer) {
  if (!ppdwBuffer) return E_POINTER;
  *ppdwBuffer = FData.data();
  return S_OK;
}

HRESULT TSampleBuffer::GetBufferAndLength(uint8_t** ppdwBuffer, uint32_t* pdwLength) {
  if (!ppdwBuffer || !pdwLength) return E_POINTER;
  *ppdwBuffer = FData.data();
  *pdwLength = FLength;
  return S_OK;
}

TMediaProps::TMediaProps(const GUID& Major, const GUID& SubType, const GUID& FormatType,
                         std::vector<uint8_t> Format)
    : FMajor(Major), FSubType(SubType), FFormatType(FormatType), FFormat(std::move(Format)) {}

TMediaProps* TMediaProps::Pcm(const TPcmFormat& Format) {
  WAVEFORMATEX Wave{};
  Wave.wFormatTag = WAVE_FORMAT_PCM;
  Wave.nChannels = Format.Channels;
  Wave.nSamplesPerSec = Format.Rate;
  Wave.nBlockAlign = static_cast<uint16_t>(Format.Channels * (Format.Bits / 8));
  Wave.nAvgBytesPerSec = Wave.nBlockAlign * Format.Rate;
  Wave.wBitsPerSample = Format.Bits;
  Wave.cbSize = 0;
  std::vector<uint8_t> Block(sizeof Wave);
  std::memcpy(Block.data(), &Wave, sizeof Wave);
  return new TMediaProps(WMMEDIATYPE_Audio, WMMEDIASUBTYPE_PCM, WMFORMAT_WaveFormatEx,
                         std::move(Block));
}

HRESULT TMediaProps::QueryInterface(const IID& riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IWMMediaProps || riid == IID_IWMOutputMediaProps) {
    *ppvObject = static_cast<IWMOutputMediaProps*>(this);
    AddRef();
    return S_OK;
  }
  if (riid == IID_IWMInputMediaProps) {
    *ppvObject = static_cast<IWMInputMediaProps*>(this);
    AddRef();
    return S_OK;
  }
  *ppvObject = nullptr;
  return E_NOINTERFACE;
}

HRESULT TMediaProps::GetType(GUID* pguidType) {
  if (!pguidType) return E_POINTER;
  *pguidType = FMajor;
  return S_OK;
}

HRESULT TMediaProps::GetMediaType(WM_MEDIA_TYPE* pType, uint32_t* pcbType) {
  if (!pcbType) return E_POINTER;
  const uint32_t Needed = static_cast<uint32_t>(sizeof(WM_MEDIA_TYPE) + FFormat.size());
  if (!pType) {
    *pcbType = Needed;
    return S_OK;
  }
  if (*pcbType < Needed) {
    *pcbType = Needed;
    return ASF_E_BUFFERTOOSMALL;
  }
  auto* Block = reinterpret_cast<uint8_t*>(pType);
  WM_MEDIA_TYPE Type{};
  Type.majortype = FMajor;
  Type.subtype = FSubType;
  Type.bFixedSizeSamples = FMajor == WMMEDIATYPE_Audio ? 1 : 0;
  Type.bTemporalCompression = 0;
  Type.lSampleSize = 0;
  if (FFormat.size() >= sizeof(WAVEFORMATEX)) {
    WAVEFORMATEX Wave;
    std::memcpy(&Wave, FFormat.data(), sizeof Wave);
    Type.lSampleSize = Wave.nBlockAlign;
  }
  Type.formattype = FFormatType;
  Type.pUnk = nullptr;
  Type.cbFormat = static_cast<uint32_t>(FFormat.size());
  Type.pbFormat = FFormat.empty() ? nullptr : Block + sizeof(WM_MEDIA_TYPE);
  std::memcpy(Block, &Type, sizeof Type);
  if (!FFormat.empty()) std::memcpy(Block + sizeof(WM_MEDIA_TYPE), FFormat.data(), FFormat.size());
  *pcbType = Needed;
  return S_OK;
}

HRESULT TMediaProps::SetMediaType(const WM_MEDIA_TYPE* pType) {
  if (!pType) return E_POINTER;
  if (pType->cbFormat > 0 && !pType->pbFormat) return E_INVALIDARG;
  // A format block bigger than any wave format plus its extension is not a media type.
  if (pType->cbFormat > 4096) return E_INVALIDARG;
  FMajor = pType->majortype;
  FSubType = pType->subtype;
  FFormatType = pType->formattype;
  FFormat.assign(pType->pbFormat, pType->pbFormat + pType->cbFormat);
  return S_OK;
}

bool ReadWaveFormat(IWMMediaProps& Props, WAVEFORMATEX& Wave, GUID* SubType) {
  uint32_t Size = 0;
  if (Props.GetMediaType(nullptr, &Size) != S_OK || Size < sizeof(WM_MEDIA_TYPE)) return false;
  auto Block = std::make_unique<uint8_t[]>(Size);
  if (Props.GetMediaType(reinterpret_cast<WM_MEDIA_TYPE*>(Block.get()), &Size) != S_OK)
    return false;
  WM_MEDIA_TYPE Type;
  std::memcpy(&Type, Block.get(), sizeof Type);
  if (!(Type.majortype == WMMEDIATYPE_Audio) || !(Type.formattype == WMFORMAT_WaveFormatEx) ||
      Type.cbFormat < sizeof(WAVEFORMATEX))
    return false;
  // The format block must lie inside the block we were given.
  const uint8_t* First = Block.get() + sizeof(WM_MEDIA_TYPE);
  if (Type.pbFormat < First || Type.cbFormat > Size - sizeof(WM_MEDIA_TYPE) ||
      Type.pbFormat + Type.cbFormat > Block.get() + Size)
    return false;
  std::memcpy(&Wave, Type.pbFormat, sizeof Wave);
  if (SubType) *SubType = Type.subtype;
  return true;
}

bool ReadPcmFormat(IWMMediaProps& Props, TPcmFormat& Format) {
  WAVEFORMATEX Wave;
  if (!ReadWaveFormat(Props, Wave)) return false;
  Format = {Wave.nChannels, Wave.nSamplesPerSec, Wave.wBitsPerSample};
  return true;
}

}  // namespace tunevert::wmvcore
