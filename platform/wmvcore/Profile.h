#pragma once

// The writing side's codec table, stream configurations, profiles and profile manager.

#include <span>
#include <string>
#include <vector>

#include "platform/wmvcore/CodecTable.h"
#include "platform/wmvcore/WMObjects.h"

namespace tunevert::wmvcore {

constexpr const char16_t* AudioCodecName = u"Windows Media Audio 2";

// Every format of the one audio codec, in enumeration order.
constexpr std::span<const TCodecFormat> CodecFormats() {
  return CodecFormatTable;
}
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
