#include "platform/wmvcore/Profile.h"

#include <cstring>

namespace tunevert::wmvcore {

namespace {

// Private identities: let the writer find its own objects behind the interfaces it is given.
constexpr GUID IID_TvStreamConfig{
    0x5A1B6C01, 0x7E2D, 0x4F3A, {0x9B, 0x10, 0x6E, 0x21, 0x53, 0xC4, 0x77, 0x01}};
constexpr GUID IID_TvProfile{
    0x5A1B6C02, 0x7E2D, 0x4F3A, {0x9B, 0x10, 0x6E, 0x21, 0x53, 0xC4, 0x77, 0x02}};

std::u16string Ascii(const std::string& Text) {
  return {Text.begin(), Text.end()};
}

std::u16string Text(const char16_t* Value) {
  return Value ? std::u16string(Value) : std::u16string();
}

}  // namespace

std::u16string FormatDescription(const TCodecFormat& Format) {
  std::string Out = std::to_string(Format.Bitrate / 1000) + " kbit/s, " +
                    std::to_string(Format.Rate / 1000) + " kHz, " +
                    (Format.Channels == 1 ? "mono" : "stereo");
  if (Format.Bits != 16) Out += ", " + std::to_string(Format.Bits) + "-bit input";
  return Ascii(Out);
}

// ---- TStreamConfig ----

TStreamConfig* TStreamConfig::Copy() const {
  auto* Other = new TStreamConfig(FFormat);
  Other->FStreamNumber = FStreamNumber;
  Other->FStreamName = FStreamName;
  Other->FConnectionName = FConnectionName;
  return Other;
}

TStreamConfig* TStreamConfig::From(IUnknown* Unknown) {
  void* Self = nullptr;
  if (!Unknown || Unknown->QueryInterface(IID_TvStreamConfig, &Self) != S_OK) return nullptr;
  return static_cast<TStreamConfig*>(Self);  // the identity query adds no reference
}

HRESULT TStreamConfig::QueryInterface(const IID& riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  if (riid == IID_TvStreamConfig) {
    *ppvObject = this;
    return S_OK;
  }
  if (riid == IID_IUnknown || riid == IID_IWMStreamConfig) {
    *ppvObject = static_cast<IWMStreamConfig*>(this);
  } else if (riid == IID_IWMMediaProps) {
    *ppvObject = static_cast<IWMMediaProps*>(this);
  } else {
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

HRESULT TStreamConfig::GetStreamType(GUID* pguidStreamType) {
  return GetType(pguidStreamType);
}

HRESULT TStreamConfig::GetStreamNumber(uint16_t* pwStreamNum) {
  if (!pwStreamNum) return E_POINTER;
  *pwStreamNum = FStreamNumber;
  return S_OK;
}

HRESULT TStreamConfig::SetStreamNumber(uint16_t wStreamNum) {
  // ASF has room for stream numbers 1 to 127.
  if (wStreamNum < 1 || wStreamNum > 127) return E_INVALIDARG;
  FStreamNumber = wStreamNum;
  return S_OK;
}

HRESULT TStreamConfig::SetStreamName(const char16_t* pwszStreamName) {
  FStreamName = Text(pwszStreamName);
  return S_OK;
}

HRESULT TStreamConfig::SetConnectionName(const char16_t* pwszInputName) {
  FConnectionName = Text(pwszInputName);
  return S_OK;
}

HRESULT TStreamConfig::GetBitrate(uint32_t* pdwBitrate) {
  if (!pdwBitrate) return E_POINTER;
  *pdwBitrate = FFormat.Bitrate;
  return S_OK;
}

HRESULT TStreamConfig::GetType(GUID* pguidType) {
  if (!pguidType) return E_POINTER;
  *pguidType = WMMEDIATYPE_Audio;
  return S_OK;
}

HRESULT TStreamConfig::GetMediaType(WM_MEDIA_TYPE* pType, uint32_t* pcbType) {
  WAVEFORMATEX Wave{};
  Wave.wFormatTag = 0x0161;
  Wave.nChannels = FFormat.Channels;
  Wave.nSamplesPerSec = FFormat.Rate;
  Wave.nAvgBytesPerSec = FFormat.Bitrate / 8;
  Wave.nBlockAlign = static_cast<uint16_t>(FFormat.BlockAlign);
  // The PCM width this format is offered for.
  Wave.wBitsPerSample = FFormat.Bits;
  std::vector<uint8_t> Block(sizeof Wave);
  std::memcpy(Block.data(), &Wave, sizeof Wave);
  TMediaProps* Props = new TMediaProps(WMMEDIATYPE_Audio, WMMEDIASUBTYPE_WMAudioV8,
                                       WMFORMAT_WaveFormatEx, std::move(Block));
  const HRESULT Result = Props->GetMediaType(pType, pcbType);
  if (Result == S_OK && pType) pType->bFixedSizeSamples = 0;
  static_cast<IWMOutputMediaProps*>(Props)->Release();
  return Result;
}

HRESULT TStreamConfig::SetMediaType(const WM_MEDIA_TYPE* /*pType*/) {
  // A codec format is what the encoder offers; it is chosen, not edited.
  return NS_E_INVALID_REQUEST;
}

// ---- TProfile ----

TProfile::~TProfile() {
  for (TStreamConfig* Stream : FStreams) static_cast<IWMStreamConfig*>(Stream)->Release();
}

TProfile* TProfile::From(IUnknown* Unknown) {
  void* Self = nullptr;
  if (!Unknown || Unknown->QueryInterface(IID_TvProfile, &Self) != S_OK) return nullptr;
  return static_cast<TProfile*>(Self);
}

HRESULT TProfile::QueryInterface(const IID& riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  if (riid == IID_TvProfile) {
    *ppvObject = this;
    return S_OK;
  }
  if (riid == IID_IUnknown || riid == IID_IWMProfile) {
    *ppvObject = static_cast<IWMProfile*>(this);
    AddRef();
    return S_OK;
  }
  *ppvObject = nullptr;
  return E_NOINTERFACE;
}

HRESULT TProfile::GetStreamCount(uint32_t* pcStreams) {
  if (!pcStreams) return E_POINTER;
  *pcStreams = static_cast<uint32_t>(FStreams.size());
  return S_OK;
}

HRESULT TProfile::AddStream(IWMStreamConfig* pConfig) {
  TStreamConfig* Config = TStreamConfig::From(pConfig);
  if (!Config) return E_INVALIDARG;
  if (Config->StreamNumber() == 0) return NS_E_INVALID_STREAM;
  // The writer encodes one audio stream.
  if (!FStreams.empty()) return NS_E_INVALID_PROFILE;
  FStreams.push_back(Config->Copy());
  return S_OK;
}

// ---- the profile manager and its codec information ----

namespace {

class TProfileManager final : public IWMProfileManager, public IWMCodecInfo3, public TRefCounted {
 public:
  HRESULT QueryInterface(const IID& riid, void** ppvObject) override {
    if (!ppvObject) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IWMProfileManager)
      *ppvObject = static_cast<IWMProfileManager*>(this);
    else if (riid == IID_IWMCodecInfo || riid == IID_IWMCodecInfo2 || riid == IID_IWMCodecInfo3)
      *ppvObject = static_cast<IWMCodecInfo3*>(this);
    else {
      *ppvObject = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  uint32_t AddRef() override { return DoAddRef(); }
  uint32_t Release() override { return DoRelease(); }

  HRESULT CreateEmptyProfile(uint32_t dwVersion, IWMProfile** ppProfile) override {
    if (!ppProfile) return E_POINTER;
    *ppProfile = nullptr;
    if (dwVersion < WMT_VER_9_0) return E_INVALIDARG;
    *ppProfile = new TProfile();
    return S_OK;
  }

  HRESULT GetCodecInfoCount(const GUID& guidType, uint32_t* pcCodecs) override {
    if (!pcCodecs) return E_POINTER;
    *pcCodecs = guidType == WMMEDIATYPE_Audio && !CodecFormats().empty() ? 1 : 0;
    return S_OK;
  }

  HRESULT GetCodecFormatCount(const GUID& guidType, uint32_t dwCodecIndex,
                              uint32_t* pcFormat) override {
    if (!pcFormat) return E_POINTER;
    if (!IsCodec(guidType, dwCodecIndex)) return E_INVALIDARG;
    *pcFormat = static_cast<uint32_t>(CodecFormats().size());
    return S_OK;
  }

  HRESULT GetCodecFormat(const GUID& guidType, uint32_t dwCodecIndex, uint32_t dwFormatIndex,
                         IWMStreamConfig** ppIStreamConfig) override {
    if (!ppIStreamConfig) return E_POINTER;
    *ppIStreamConfig = nullptr;
    const TCodecFormat* Format = Find(guidType, dwCodecIndex, dwFormatIndex);
    if (!Format) return E_INVALIDARG;
    *ppIStreamConfig = new TStreamConfig(*Format);
    return S_OK;
  }

  HRESULT GetCodecName(const GUID& guidType, uint32_t dwCodecIndex, char16_t* wszName,
                       uint32_t* pcchName) override {
    if (!IsCodec(guidType, dwCodecIndex)) return E_INVALIDARG;
    return CopyText(AudioCodecName, wszName, pcchName);
  }

  HRESULT GetCodecFormatDesc(const GUID& guidType, uint32_t dwCodecIndex, uint32_t dwFormatIndex,
                             IWMStreamConfig** ppIStreamConfig, char16_t* wszDesc,
                             uint32_t* pcchDesc) override {
    if (ppIStreamConfig) *ppIStreamConfig = nullptr;
    const TCodecFormat* Format = Find(guidType, dwCodecIndex, dwFormatIndex);
    if (!Format) return E_INVALIDARG;
    const HRESULT Result = CopyText(FormatDescription(*Format), wszDesc, pcchDesc);
    if (Result == S_OK && ppIStreamConfig) *ppIStreamConfig = new TStreamConfig(*Format);
    return Result;
  }

  HRESULT GetCodecFormatProp(const GUID& guidType, uint32_t dwCodecIndex, uint32_t dwFormatIndex,
                             const char16_t* pszName, WMT_ATTR_DATATYPE* pType, uint8_t* pValue,
                             uint32_t* pdwSize) override {
    if (!pszName || !pType || !pdwSize) return E_POINTER;
    if (!Find(guidType, dwCodecIndex, dwFormatIndex)) return E_INVALIDARG;
    (void)pValue;
    // "_VBRQUALITY" and the like belong to variable-bitrate formats; this encoder has none.
    return ASF_E_NOTFOUND;
  }

  HRESULT SetCodecEnumerationSetting(const GUID& guidType, uint32_t dwCodecIndex,
                                     const char16_t* pszName, WMT_ATTR_DATATYPE Type,
                                     const uint8_t* pValue, uint32_t dwSize) override {
    if (!pszName || !pValue) return E_POINTER;
    if (!IsCodec(guidType, dwCodecIndex)) return E_INVALIDARG;
    if (std::u16string_view(pszName) != u"_VBRENABLED" || Type != WMT_TYPE_BOOL || dwSize != 4)
      return E_INVALIDARG;
    int32_t Value;
    std::memcpy(&Value, pValue, sizeof Value);
    // The encoder writes constant bitrate only: turning VBR on is refused, off is accepted.
    return Value != 0 ? NS_E_INVALID_REQUEST : S_OK;
  }

 private:
  static bool IsCodec(const GUID& guidType, uint32_t Index) {
    return guidType == WMMEDIATYPE_Audio && Index == 0 && !CodecFormats().empty();
  }
  static const TCodecFormat* Find(const GUID& guidType, uint32_t Codec, uint32_t Index) {
    if (!IsCodec(guidType, Codec) || Index >= CodecFormats().size()) return nullptr;
    return &CodecFormats()[Index];
  }
};

}  // namespace

IWMProfileManager* NewProfileManager() {
  return new TProfileManager();
}

}  // namespace tunevert::wmvcore
