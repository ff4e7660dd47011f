#pragma once

// The writing side's codec table, stream configurations, profiles and profile manager.

#include <string>
#include <vector>

#include "platform/wmvcore/WMObjects.h"

namespace tunevert::wmvcore {

// One format the encoder offers: what it writes, and the PCM width it is offered for (the
// writer converts any input itself).
struct TCodecFormat {
  uint16_t Channels = 0;
  uint32_t Rate = 0;
  uint32_t Nominal = 0;     // bit/s as listed
  uint32_t Bitrate = 0;     // bit/s the encoder really writes at Nominal
  uint32_t BlockAlign = 0;  // bytes per encoded superframe
  uint16_t Bits = 16;
};

constexpr const char16_t* AudioCodecName = u"Windows Media Audio 2";

// Every format of the one audio codec, in enumeration order; built once by opening the
// encoder for each combination, so that only what it accepts is offered.
const std::vector<TCodecFormat>& CodecFormats();
// "160 kbit/s, 44 kHz, stereo"; a width other than 16 bits is named at the end.
std::u16string FormatDescription(const TCodecFormat& Format);

class TStreamConfig final : public IWMStreamConfig, public IWMMediaProps, public TRefCounted {
 public:
  explicit TStreamConfig(const TCodecFormat& Format) : FFormat(Format) {}
  TStreamConfig* Copy() const;
  // The object behind an interface of this library, or null for a foreign one.
  static TStreamConfig* From(IUnknown* Unknown);

  HRESULT QueryInterface(const IID& riid, void** ppvObject) override;
  uint32_t AddRef() override { return DoAddRef(); }
  uint32_t Release() override { return DoRelease(); }

  HRESULT GetStreamType(GUID* pguidStreamType) override;
  HRESULT GetStreamNumber(uint16_t* pwStreamNum) override;
  HRESULT SetStreamNumber(uint16_t wStreamNum) override;
  HRESULT SetStreamName(const char16_t* pwszStreamName) override;
  HRESULT SetConnectionName(const char16_t* pwszInputName) override;
  HRESULT GetBitrate(uint32_t* pdwBitrate) override;

  HRESULT GetType(GUID* pguidType) override;
  HRESULT GetMediaType(WM_MEDIA_TYPE* pType, uint32_t* pcbType) override;
  HRESULT SetMediaType(const WM_MEDIA_TYPE* pType) override;

  const TCodecFormat& Format() const { return FFormat; }
  uint16_t StreamNumber() const { return FStreamNumber; }
  const std::u16string& StreamName() const { return FStreamName; }

 private:
  TCodecFormat FFormat;
  uint16_t FStreamNumber = 0;
  std::u16string FStreamName, FConnectionName;
};

class TProfile final : public IWMProfile, public TRefCounted {
 public:
  static TProfile* From(IUnknown* Unknown);

  HRESULT QueryInterface(const IID& riid, void** ppvObject) override;
  uint32_t AddRef() override { return DoAddRef(); }
  uint32_t Release() override { return DoRelease(); }
  HRESULT GetStreamCount(uint32_t* pcStreams) override;
  HRESULT AddStream(IWMStreamConfig* pConfig) override;

  // Copies of the streams added, each with one reference held here.
  const std::vector<TStreamConfig*>& Streams() const { return FStreams; }
  ~TProfile() override;

 private:
  std::vector<TStreamConfig*> FStreams;
};

IWMProfileManager* NewProfileManager();

}  // namespace tunevert::wmvcore
