#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/wmvcore/wmvcore.h"

namespace tunevert::wmvcore {

// Count of live library objects; a leak of a reference shows up here.
std::atomic<int32_t>& LiveObjects();

// The reference count every object of the library carries; it starts at 1 for the creator.
class TRefCounted {
 public:
  TRefCounted() { LiveObjects().fetch_add(1); }
  TRefCounted(const TRefCounted&) = delete;
  TRefCounted& operator=(const TRefCounted&) = delete;
  virtual ~TRefCounted() { LiveObjects().fetch_sub(1); }

 protected:
  uint32_t DoAddRef() { return FRefs.fetch_add(1) + 1; }
  uint32_t DoRelease() {
    const uint32_t Left = FRefs.fetch_sub(1) - 1;
    if (Left == 0) delete this;
    return Left;
  }

 private:
  std::atomic<uint32_t> FRefs{1};
};

// Copies Text with its null into Buffer, or reports the length needed in *pcch.
HRESULT CopyText(const std::u16string& Text, char16_t* Buffer, uint32_t* pcch);

// The status callbacks attached to a sink (IWMRegisterCallback), safe to use from any thread.
class TStatusCallbacks {
 public:
  TStatusCallbacks() = default;
  TStatusCallbacks(const TStatusCallbacks&) = delete;
  TStatusCallbacks& operator=(const TStatusCallbacks&) = delete;
  ~TStatusCallbacks();
  HRESULT Advise(IWMStatusCallback* Callback, void* Context);
  HRESULT Unadvise(IWMStatusCallback* Callback, void* Context);
  // Called without the list's lock held: a callback may unadvise itself or query the sink.
  void Report(WMT_STATUS Status, HRESULT Result);

 private:
  std::mutex FLock;
  std::vector<std::pair<IWMStatusCallback*, void*>> FList;  // counted
};

// One sample: decoded data handed to the caller, or room the caller fills for the writer.
class TSampleBuffer final : public INSSBuffer, public TRefCounted {
 public:
  explicit TSampleBuffer(std::vector<uint8_t> Data)
      : FData(std::move(Data)), FMaxSize(static_cast<uint32_t>(FData.size())) {}
  // MaxSize bytes of room, with the length at 0 until the caller sets it.
  static TSampleBuffer* Allocate(uint32_t MaxSize);

  HRESULT QueryInterface(const IID& riid, void** ppvObject) override;
  uint32_t AddRef() override { return DoAddRef(); }
  uint32_t Release() override { return DoRelease(); }
  HRESULT GetLength(uint32_t* pdwLength) override;
  HRESULT SetLength(uint32_t dwLength) override;
  HRESULT GetMaxSize(uint32_t* pdwMaxSize) override;
  HRESULT GetBuffer(uint8_t** ppdwBuffer) override;
  HRESULT GetBufferAndLength(uint8_t** ppdwBuffer, uint32_t* pdwLength) override;

 private:
  std::vector<uint8_t> FData;  // sized to the room; FLength of it is in use
  uint32_t FMaxSize = 0;
  uint32_t FLength = static_cast<uint32_t>(FData.size());
};

// PCM layout of an output or of an offered format.
struct TPcmFormat {
  uint16_t Channels = 0;
  uint32_t Rate = 0;
  uint16_t Bits = 0;
  bool operator==(const TPcmFormat&) const = default;
};

// A media type: major type, subtype, format type and format block. Serves as the props of a
// reader output and of a writer input alike.
class TMediaProps final : public IWMOutputMediaProps,
                          public IWMInputMediaProps,
                          public TRefCounted {
 public:
  TMediaProps(const GUID& Major, const GUID& SubType, const GUID& FormatType,
              std::vector<uint8_t> Format);
  static TMediaProps* Pcm(const TPcmFormat& Format);

  HRESULT QueryInterface(const IID& riid, void** ppvObject) override;
  uint32_t AddRef() override { return DoAddRef(); }
  uint32_t Release() override { return DoRelease(); }
  HRESULT GetType(GUID* pguidType) override;
  HRESULT GetMediaType(WM_MEDIA_TYPE* pType, uint32_t* pcbType) override;
  HRESULT SetMediaType(const WM_MEDIA_TYPE* pType) override;

 private:
  GUID FMajor, FSubType, FFormatType;
  std::vector<uint8_t> FFormat;
};

// The media type of Props as a PCM layout and its WAVEFORMATEX; false unless it is audio
// described by a complete WAVEFORMATEX.
bool ReadWaveFormat(IWMMediaProps& Props, WAVEFORMATEX& Wave, GUID* SubType = nullptr);

// Reads the PCM layout of any media properties object; false unless it is audio described
// by a complete WAVEFORMATEX.
bool ReadPcmFormat(IWMMediaProps& Props, TPcmFormat& Format);

}  // namespace tunevert::wmvcore
