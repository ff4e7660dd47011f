// Feeds arbitrary bytes to the runtime's MPEG layout scan (ID3v2 tags in a row, junk before
// the first frame, the chain of frames, APEv2/Lyrics3/ID3v1 trailers) and the ADTS frame
// count, and checks that what they report lies inside the source and in order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/wmvcore/HeaderScan.h"

using namespace tunevert;
using namespace tunevert::wmvcore;

namespace {

// The fuzzer's bytes as a read-only stream, after a prefix the scan must look past.
class TBytes final : public IStream {
 public:
  TBytes(const uint8_t* Data, size_t Size) : FData(Data), FSize(Size) {}

  HRESULT QueryInterface(const IID&, void** ppvObject) override {
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return 1; }
  uint32_t Release() override { return 1; }
  HRESULT Read(void* pv, uint32_t cb, uint32_t* pcbRead) override {
    const size_t N = FPosition >= FSize ? 0 : std::min<size_t>(cb, FSize - FPosition);
    if (N > 0) std::memcpy(pv, FData + FPosition, N);
    FPosition += N;
    if (pcbRead) *pcbRead = static_cast<uint32_t>(N);
    return N > 0 ? S_OK : E_FAIL;
  }
  HRESULT Write(const void*, uint32_t, uint32_t*) override { return E_FAIL; }
  HRESULT Seek(int64_t dlibMove, uint32_t dwOrigin, uint64_t* plibNewPosition) override {
    int64_t To = dlibMove;
    if (dwOrigin == STREAM_SEEK_CUR) To += static_cast<int64_t>(FPosition);
    if (dwOrigin == STREAM_SEEK_END) To += static_cast<int64_t>(FSize);
    if (To < 0) return E_FAIL;
    FPosition = static_cast<size_t>(To);
    if (plibNewPosition) *plibNewPosition = FPosition;
    return S_OK;
  }
  HRESULT SetSize(uint64_t) override { return E_FAIL; }
  HRESULT CopyTo(IStream*, uint64_t, uint64_t*, uint64_t*) override { return E_FAIL; }
  HRESULT Commit(uint32_t) override { return E_FAIL; }
  HRESULT Revert() override { return E_FAIL; }
  HRESULT LockRegion(uint64_t, uint64_t, uint32_t) override { return E_FAIL; }
  HRESULT UnlockRegion(uint64_t, uint64_t, uint32_t) override { return E_FAIL; }
  HRESULT Stat(STATSTG* pstatstg, uint32_t) override {
    *pstatstg = {};
    pstatstg->cbSize = FSize;
    return S_OK;
  }
  HRESULT Clone(IStream** ppstm) override {
    *ppstm = nullptr;
    return E_FAIL;
  }

 private:
  const uint8_t* FData;
  size_t FSize;
  size_t FPosition = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  // The first byte says where the source starts, as a handed-in stream may not start at 0.
  if (Size == 0) return 0;
  const uint64_t Base = Data[0] % 4 == 0 ? 0 : Data[0] % 64;
  TBytes Source(Data + 1, Size - 1);
  const auto Layout = ScanMpegLayout(Source, Base);
  (void)MpegHasVbrHeader(Source, Base + (Layout ? Layout->FirstFrame : 0));
  (void)AsfHeaderIsEncrypted(Source, Base);
  // A whole frame is at least 7 bytes and holds at most four 1024-sample blocks.
  const int64_t Adts = AdtsDurationCns(Source, Base);
  if (Adts > static_cast<int64_t>(Size / 7 * 4096 * 10000000 / 7350 + 1)) std::abort();
  if (!Layout) return 0;
  const uint64_t Left = Size - 1 - Base;
  const bool Ordered =
      Layout->Size == Left && Layout->TagsEnd <= Layout->FirstFrame &&
      Layout->FirstFrame < Layout->AudioEnd && Layout->AudioEnd <= Layout->Size &&
      Layout->LyricsStart <= Layout->LyricsEnd && Layout->LyricsEnd <= Layout->Size &&
      (Layout->LyricsEnd == 0 || Layout->LyricsStart >= Layout->AudioEnd) &&
      (Layout->FrameSamples == 576 || Layout->FrameSamples == 1152) &&
      Layout->FirstHeader[0] == 0xFF &&
      std::memcmp(Layout->FirstHeader, Data + 1 + Base + Layout->FirstFrame, 4) == 0;
  if (!Ordered) abort();
  return 0;
}
