// The file sink: the header at the start of the file, the data after it, and the final
// header over the first one when writing ends. Failures are reported to the status callbacks
// as WMT_ERROR, once; the writer itself goes on.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/Text.h"
#include "platform/wmvcore/WMObjects.h"
#include "platform/wmvcore/Writer.h"

namespace tunevert::wmvcore {

namespace {

bool WriteAt(int Fd, const uint8_t* Data, uint32_t Length, int64_t Offset) {
  while (Length > 0) {
    const ssize_t Done = pwrite(Fd, Data, Length, Offset);
    if (Done < 0 && errno == EINTR) continue;
    if (Done <= 0) return false;
    Data += Done;
    Length -= static_cast<uint32_t>(Done);
    Offset += Done;
  }
  return true;
}

class TFileSink final : public IWMWriterFileSink, public IWMRegisterCallback, public TRefCounted {
 public:
  ~TFileSink() override { CloseFile(); }

  HRESULT QueryInterface(const IID& riid, void** ppvObject) override {
    if (!ppvObject) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IWMWriterSink || riid == IID_IWMWriterFileSink)
      *ppvObject = static_cast<IWMWriterFileSink*>(this);
    else if (riid == IID_IWMRegisterCallback)
      *ppvObject = static_cast<IWMRegisterCallback*>(this);
    else {
      *ppvObject = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  uint32_t AddRef() override { return DoAddRef(); }
  uint32_t Release() override { return DoRelease(); }

  HRESULT Open(const char16_t* pwszFilename) override {
    if (!pwszFilename || !*pwszFilename) return E_INVALIDARG;
    CloseFile();
    const std::string Name = Utf16ToUtf8(pwszFilename);
    FFd = open(Name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (FFd < 0) return NS_E_FILE_OPEN_FAILED;
    FFailed = false;
    FHeaderSize = -1;
    FEnd = 0;
    Report(WMT_OPENED, S_OK);
    return S_OK;
  }

  HRESULT OnHeader(INSSBuffer* pHeader) override {
    uint8_t* Data = nullptr;
    uint32_t Length = 0;
    if (!pHeader || pHeader->GetBufferAndLength(&Data, &Length) != S_OK) return E_INVALIDARG;
    if (FFd < 0) return Fail(NS_E_INVALID_REQUEST);
    if (FFailed) return NS_E_FILE_WRITE;
    // The final header must fit exactly over the first; anything else would cut the data.
    if (FHeaderSize >= 0 && Length != static_cast<uint32_t>(FHeaderSize))
      return Fail(NS_E_FILE_WRITE);
    if (!WriteAt(FFd, Data, Length, 0)) return Fail(NS_E_FILE_WRITE);
    if (FHeaderSize < 0) {
      FHeaderSize = Length;
      FEnd = Length;
    }
    return S_OK;
  }

  HRESULT IsRealTime(int32_t* pfRealTime) override {
    if (!pfRealTime) return E_POINTER;
    *pfRealTime = 0;
    return S_OK;
  }

  HRESULT OnDataUnit(INSSBuffer* pDataUnit) override {
    uint8_t* Data = nullptr;
    uint32_t Length = 0;
    if (!pDataUnit || pDataUnit->GetBufferAndLength(&Data, &Length) != S_OK) return E_INVALIDARG;
    if (FFd < 0 || FHeaderSize < 0) return Fail(NS_E_INVALID_REQUEST);
    if (FFailed) return NS_E_FILE_WRITE;
    if (!WriteAt(FFd, Data, Length, FEnd)) return Fail(NS_E_FILE_WRITE);
    FEnd += Length;
    return S_OK;
  }

  HRESULT OnEndWriting() override {
    if (FFd < 0) return NS_E_INVALID_REQUEST;
    const bool Closed = CloseFile();
    if (!Closed) return Fail(NS_E_FILE_WRITE);
    Report(WMT_CLOSED, S_OK);
    return FFailed ? NS_E_FILE_WRITE : S_OK;
  }

  HRESULT Advise(IWMStatusCallback* pCallback, void* pvContext) override {
    return FCallbacks.Advise(pCallback, pvContext);
  }
  HRESULT Unadvise(IWMStatusCallback* pCallback, void* pvContext) override {
    return FCallbacks.Unadvise(pCallback, pvContext);
  }

 private:
  bool CloseFile() {
    if (FFd < 0) return true;
    const int Result = close(std::exchange(FFd, -1));
    return Result == 0 || errno == EINTR;
  }

  HRESULT Fail(HRESULT Reason) {
    if (!FFailed) {
      FFailed = true;
      Report(WMT_ERROR, Reason);
    }
    return Reason;
  }

  void Report(WMT_STATUS Status, HRESULT Result) { FCallbacks.Report(Status, Result); }

  int FFd = -1;
  bool FFailed = false;
  int64_t FHeaderSize = -1;
  int64_t FEnd = 0;
  TStatusCallbacks FCallbacks;
};

}  // namespace

IWMWriterFileSink* NewFileSink() {
  return new TFileSink();
}

}  // namespace tunevert::wmvcore
