#pragma once

// The reader routines over the Windows Media runtime: open a synchronous reader over a
// framework stream, choose its PCM output, read header attributes, hand out decoded bytes,
// seek and close. TAudioStream presents the framework stream to the runtime.

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Stream.h"
#include "winmedia/wmfintf.h"

namespace tunevert {

// A framework stream seen by the runtime as an IStream. The stream is borrowed, never freed;
// the adapter lives as long as references to it exist.
class TAudioStream final : public IStream {
 public:
  TAudioStream() = default;
  TAudioStream(const TAudioStream&) = delete;
  TAudioStream& operator=(const TAudioStream&) = delete;

  void AssignStream(TStream* Stream) { FStream = Stream; }

  HRESULT QueryInterface(const IID& riid, void** ppvObject) override;
  uint32_t AddRef() override;
  uint32_t Release() override;

  HRESULT Read(void* pv, uint32_t cb, uint32_t* pcbRead) override;
  HRESULT Write(const void* pv, uint32_t cb, uint32_t* pcbWritten) override;
  HRESULT Seek(int64_t dlibMove, uint32_t dwOrigin, uint64_t* plibNewPosition) override;
  HRESULT SetSize(uint64_t libNewSize) override;
  HRESULT CopyTo(IStream* pstm, uint64_t cb, uint64_t* pcbRead, uint64_t* pcbWritten) override;
  HRESULT Commit(uint32_t grfCommitFlags) override;
  HRESULT Revert() override;
  HRESULT LockRegion(uint64_t libOffset, uint64_t cb, uint32_t dwLockType) override;
  HRESULT UnlockRegion(uint64_t libOffset, uint64_t cb, uint32_t dwLockType) override;
  HRESULT Stat(STATSTG* pstatstg, uint32_t grfStatFlag) override;
  HRESULT Clone(IStream** ppstm) override;

 private:
  ~TAudioStream() = default;  // only Release destroys it

  std::atomic<uint32_t> FRefCount{0};
  TStream* FStream = nullptr;
};

// The "failed" result of the IStream operations.
constexpr HRESULT StreamFailed = MakeHResult(0xFFFFFFFFu);

enum class TChannelsNumber { cnMaxAvailable, cnMonoOrStereo, cn5dot1, cn7dot1 };

// The channel request SyncReaderOpen takes for each TChannelsNumber.
constexpr int8_t ChannelRequest(TChannelsNumber Value) {
  switch (Value) {
    case TChannelsNumber::cnMaxAvailable:
      return -1;
    case TChannelsNumber::cn5dot1:
      return 6;
    case TChannelsNumber::cn7dot1:
      return 8;
    case TChannelsNumber::cnMonoOrStereo:
      break;
  }
  return 0;
}

// One PCM output format the reader offers.
struct TWMAFormatSpec {
  uint32_t BitsPerSample = 0;
  uint32_t Channels = 0;
  uint32_t SampleRate = 0;
};

// One open (or closed) runtime reader and the decoded sample it is handing out.
struct wma_sync_reader {
  TAudioStream* AudioStream = nullptr;  // the adapter; the counted reference is AuStream
  TInterfaceRef<IWMSyncReader> reader;
  TInterfaceRef<INSSBuffer> buffer;
  TInterfaceRef<IWMHeaderInfo> HeaderInfo;
  uint32_t offset = 0;  // bytes of buffer handed out
  TInterfaceRef<IStream> AuStream;
  uint16_t stream = 0;
  uint32_t output = 0;
  bool has_audio = false;
  bool _protected = false;
  int32_t channels = 0;
  int32_t SampleRate = 0;
  int32_t BitsPerSample = 0;
  int64_t duration = 0;  // 100-ns units
};

// ChannelRequest: 0 the source's own channels and rate, -1 the most of everything, 6 or 8 a
// format with that many channels.
void SyncReaderOpen(wma_sync_reader& reader, TStream* Stream, bool HighPrecision,
                    int8_t ChannelRequest);
void SyncReaderClose(wma_sync_reader& reader);
// Bytes: in, the most wanted; out, the bytes at Buffer (0 at the end). The memory belongs to
// the runtime's sample and stays valid until the next call.
void SyncReaderGetData(wma_sync_reader& reader, void*& Buffer, uint32_t& Bytes);
// TimeCs in hundredths of a second; the unread rest of the current sample still comes first.
HRESULT SyncReaderSeek(wma_sync_reader& reader, uint32_t TimeCs);
void SyncReaderGetFormat(const wma_sync_reader& reader, uint16_t& Channels, uint16_t& BitsPerSample,
                         uint32_t& SampleRate);
// Hundredths of a second.
uint32_t SyncReaderDuration(const wma_sync_reader& reader);
uint32_t SyncReaderFormatCount(wma_sync_reader& reader, bool HighPrecision);
TWMAFormatSpec SyncReaderFormatSpec(wma_sync_reader& reader, bool HighPrecision, uint32_t Index);
void SyncReaderSelectFormat(wma_sync_reader& reader, bool HighPrecision, uint32_t Index);
uint32_t SyncReaderBitrate(wma_sync_reader& reader);
bool SyncReaderIsVBR(wma_sync_reader& reader);
std::u16string SyncReaderTextAttribute(wma_sync_reader& reader, std::u16string_view Name);

inline std::u16string SyncReaderAuthor(wma_sync_reader& r) {
  return SyncReaderTextAttribute(r, u"Author");
}
inline std::u16string SyncReaderTitle(wma_sync_reader& r) {
  return SyncReaderTextAttribute(r, u"Title");
}
inline std::u16string SyncReaderAlbum(wma_sync_reader& r) {
  return SyncReaderTextAttribute(r, u"WM/AlbumTitle");
}
inline std::u16string SyncReaderGenre(wma_sync_reader& r) {
  return SyncReaderTextAttribute(r, u"WM/Genre");
}
inline std::u16string SyncReaderTrack(wma_sync_reader& r) {
  return SyncReaderTextAttribute(r, u"WM/Track");
}
inline std::u16string SyncReaderYear(wma_sync_reader& r) {
  return SyncReaderTextAttribute(r, u"WM/Year");
}
inline std::u16string SyncReaderCopyright(wma_sync_reader& r) {
  return SyncReaderTextAttribute(r, u"Copyright");
}

}  // namespace tunevert
