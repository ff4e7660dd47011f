#pragma once

// The interfaces of the Windows Media runtime substitute, shared by libtvwmvcore.so and the
// engine that loads it. Both sides are built from this one header, so the vtables carry only
// the methods the engine calls; the counted-reference rules are those of COM.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tunevert {

using HRESULT = int32_t;

constexpr HRESULT MakeHResult(uint32_t Code) {
  return static_cast<HRESULT>(Code);
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MakeHResult(0x80004001u);
constexpr HRESULT E_NOINTERFACE = MakeHResult(0x80004002u);
constexpr HRESULT E_POINTER = MakeHResult(0x80004003u);
constexpr HRESULT E_FAIL = MakeHResult(0x80004005u);
constexpr HRESULT E_UNEXPECTED = MakeHResult(0x8000FFFFu);
constexpr HRESULT E_OUTOFMEMORY = MakeHResult(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = MakeHResult(0x80070057u);
constexpr HRESULT STG_E_INVALIDFUNCTION = MakeHResult(0x80030001u);
constexpr HRESULT ASF_E_NOTFOUND = MakeHResult(0xC00D07F0u);
constexpr HRESULT ASF_E_BUFFERTOOSMALL = MakeHResult(0xC00D07F1u);
constexpr HRESULT NS_E_INVALID_REQUEST = MakeHResult(0xC00D002Bu);
constexpr HRESULT NS_E_UNRECOGNIZED_STREAM_TYPE = MakeHResult(0xC00D0035u);
constexpr HRESULT NS_E_INVALID_OUTPUT_FORMAT = MakeHResult(0xC00D0B69u);
constexpr HRESULT NS_E_PROTECTED_CONTENT = MakeHResult(0xC00D0BBDu);
constexpr HRESULT NS_E_NO_MORE_SAMPLES = MakeHResult(0xC00D0BCFu);
constexpr HRESULT NS_E_SEEK_FAILED = MakeHResult(0xC00D0BD3u);
constexpr HRESULT NS_E_FILE_OPEN_FAILED = MakeHResult(0xC00D001Du);
constexpr HRESULT NS_E_FILE_WRITE = MakeHResult(0xC00D0015u);
constexpr HRESULT NS_E_INVALID_INPUT_FORMAT = MakeHResult(0xC00D0BB8u);
constexpr HRESULT NS_E_INVALID_STREAM = MakeHResult(0xC00D0BB9u);
constexpr HRESULT NS_E_INVALID_PROFILE = MakeHResult(0xC00D0BC6u);
constexpr HRESULT NS_E_NO_SINK = MakeHResult(0xC00D0BC9u);
// The socket error "address in use", as a result code.
constexpr HRESULT NS_E_PORT_IN_USE = MakeHResult(0x80072740u);
constexpr HRESULT NS_E_AUDIO_CODEC_ERROR = MakeHResult(0xC00D0BCBu);
constexpr HRESULT NS_E_INVALID_NUM_PASSES = MakeHResult(0xC00D0BD0u);

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using IID = GUID;

constexpr bool operator==(const GUID& A, const GUID& B) {
  if (A.Data1 != B.Data1 || A.Data2 != B.Data2 || A.Data3 != B.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (A.Data4[i] != B.Data4[i]) return false;
  return true;
}

constexpr GUID IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID IID_IStream{0x0000000C, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID IID_IWMSyncReader{
    0x9397F121, 0x7705, 0x4DC9, {0xB0, 0x49, 0x98, 0xB6, 0x98, 0x18, 0x84, 0x14}};
constexpr GUID IID_IWMHeaderInfo{
    0x96406BDA, 0x2B2B, 0x11D3, {0xB3, 0x6B, 0x00, 0xC0, 0x4F, 0x61, 0x08, 0xFF}};
constexpr GUID IID_IWMMediaProps{
    0x96406BCE, 0x2B2B, 0x11D3, {0xB3, 0x6B, 0x00, 0xC0, 0x4F, 0x61, 0x08, 0xFF}};
constexpr GUID IID_IWMOutputMediaProps{
    0x96406BD7, 0x2B2B, 0x11D3, {0xB3, 0x6B, 0x00, 0xC0, 0x4F, 0x61, 0x08, 0xFF}};
constexpr GUID IID_INSSBuffer{
    0xE1CD3524, 0x03D7, 0x11D2, {0x9E, 0xED, 0x00, 0x60, 0x97, 0xD2, 0xD7, 0xCF}};

constexpr GUID WMMEDIATYPE_Audio{
    0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID WMMEDIATYPE_Video{
    0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID WMMEDIATYPE_FileTransfer{
    0xD9E47579, 0x930E, 0x4427, {0xAD, 0xFC, 0xAD, 0x80, 0xF2, 0x90, 0xE4, 0x70}};
constexpr GUID WMMEDIASUBTYPE_PCM{
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID WMFORMAT_WaveFormatEx{
    0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
constexpr GUID WMMEDIASUBTYPE_WMAudioV8{
    0x00000161, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID WMMEDIASUBTYPE_WMAudio_Lossless{
    0x00000163, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID GUID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// Plain enumeration: the type codes travel as numbers.
enum WMT_ATTR_DATATYPE : uint32_t {
  WMT_TYPE_DWORD = 0,
  WMT_TYPE_STRING = 1,
  WMT_TYPE_BINARY = 2,
  WMT_TYPE_BOOL = 3,
  WMT_TYPE_QWORD = 4,
  WMT_TYPE_WORD = 5,
  WMT_TYPE_GUID = 6,
};

struct IUnknown;

// A media type record. GetMediaType writes it and its format block into one caller block,
// with pbFormat pointing just behind the record.
struct WM_MEDIA_TYPE {
  GUID majortype;
  GUID subtype;
  int32_t bFixedSizeSamples;
  int32_t bTemporalCompression;
  uint32_t lSampleSize;
  GUID formattype;
  IUnknown* pUnk;
  uint32_t cbFormat;
  uint8_t* pbFormat;
};

#pragma pack(push, 2)
struct WAVEFORMATEX {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);

constexpr uint16_t WAVE_FORMAT_PCM = 1;
constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

struct STATSTG {
  char16_t* pwcsName;
  uint32_t type;
  uint64_t cbSize;
  int64_t mtime, ctime, atime;
  uint32_t grfMode;
  uint32_t grfLocksSupported;
  GUID clsid;
  uint32_t grfStateBits;
  uint32_t reserved;
};

struct IUnknown {
  virtual HRESULT QueryInterface(const IID& riid, void** ppvObject) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;  // objects die through Release, never through delete
};

// Origins of IStream::Seek.
constexpr uint32_t STREAM_SEEK_SET = 0;
constexpr uint32_t STREAM_SEEK_CUR = 1;
constexpr uint32_t STREAM_SEEK_END = 2;

struct IStream : IUnknown {
  virtual HRESULT Read(void* pv, uint32_t cb, uint32_t* pcbRead) = 0;
  virtual HRESULT Write(const void* pv, uint32_t cb, uint32_t* pcbWritten) = 0;
  virtual HRESULT Seek(int64_t dlibMove, uint32_t dwOrigin, uint64_t* plibNewPosition) = 0;
  virtual HRESULT SetSize(uint64_t libNewSize) = 0;
  virtual HRESULT CopyTo(IStream* pstm, uint64_t cb, uint64_t* pcbRead, uint64_t* pcbWritten) = 0;
  virtual HRESULT Commit(uint32_t grfCommitFlags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT LockRegion(uint64_t libOffset, uint64_t cb, uint32_t dwLockType) = 0;
  virtual HRESULT UnlockRegion(uint64_t libOffset, uint64_t cb, uint32_t dwLockType) = 0;
  virtual HRESULT Stat(STATSTG* pstatstg, uint32_t grfStatFlag) = 0;
  virtual HRESULT Clone(IStream** ppstm) = 0;

 protected:
  ~IStream() = default;
};

// One decoded sample; the memory lives as long as the buffer object.
struct INSSBuffer : IUnknown {
  virtual HRESULT GetLength(uint32_t* pdwLength) = 0;
  // A length above GetMaxSize is refused.
  virtual HRESULT SetLength(uint32_t dwLength) = 0;
  virtual HRESULT GetMaxSize(uint32_t* pdwMaxSize) = 0;
  virtual HRESULT GetBuffer(uint8_t** ppdwBuffer) = 0;
  virtual HRESULT GetBufferAndLength(uint8_t** ppdwBuffer, uint32_t* pdwLength) = 0;

 protected:
  ~INSSBuffer() = default;
};

struct IWMMediaProps : IUnknown {
  virtual HRESULT GetType(GUID* pguidType) = 0;
  // With pType empty, *pcbType receives the size of the record plus its format block.
  virtual HRESULT GetMediaType(WM_MEDIA_TYPE* pType, uint32_t* pcbType) = 0;
  virtual HRESULT SetMediaType(const WM_MEDIA_TYPE* pType) = 0;

 protected:
  ~IWMMediaProps() = default;
};

struct IWMOutputMediaProps : IWMMediaProps {
 protected:
  ~IWMOutputMediaProps() = default;
};

// A text attribute's length is a 16-bit count of bytes, the terminating null included: it
// holds at most 32,766 UTF-16 units of text.
constexpr size_t MaxAttributeChars = 32766;

// The units of Text an attribute keeps: all up to the limit, never half a surrogate pair.
constexpr size_t AttributeChars(std::u16string_view Text) {
  if (Text.size() <= MaxAttributeChars) return Text.size();
  const char16_t Last = Text[MaxAttributeChars - 1];
  return Last >= 0xD800 && Last <= 0xDBFF ? MaxAttributeChars - 1 : MaxAttributeChars;
}

struct IWMHeaderInfo : IUnknown {
  // With pValue empty, *pcbLength receives the value's size in bytes.
  virtual HRESULT GetAttributeByName(uint16_t* pwStreamNum, const char16_t* pszName,
                                     WMT_ATTR_DATATYPE* pType, uint8_t* pValue,
                                     uint16_t* pcbLength) = 0;
  virtual HRESULT SetAttribute(uint16_t wStreamNum, const char16_t* pszName, WMT_ATTR_DATATYPE Type,
                               const uint8_t* pValue, uint16_t cbLength) = 0;

 protected:
  ~IWMHeaderInfo() = default;
};

// Times are in 100-ns units.
struct IWMSyncReader : IUnknown {
  virtual HRESULT OpenStream(IStream* pStream) = 0;
  virtual HRESULT Close() = 0;
  // A duration of 0 reads to the end.
  virtual HRESULT SetRange(uint64_t cnsStartTime, int64_t cnsDuration) = 0;
  virtual HRESULT GetNextSample(uint16_t wStreamNum, INSSBuffer** ppSample,
                                uint64_t* pcnsSampleTime, uint64_t* pcnsDuration,
                                uint32_t* pdwFlags, uint32_t* pdwOutputNum,
                                uint16_t* pwStreamNum) = 0;
  virtual HRESULT SetReadStreamSamples(uint16_t wStreamNum, int32_t fCompressed) = 0;
  virtual HRESULT GetOutputCount(uint32_t* pcOutputs) = 0;
  virtual HRESULT GetOutputProps(uint32_t dwOutputNum, IWMOutputMediaProps** ppOutput) = 0;
  virtual HRESULT SetOutputProps(uint32_t dwOutputNum, IWMOutputMediaProps* pOutput) = 0;
  virtual HRESULT GetOutputFormatCount(uint32_t dwOutputNum, uint32_t* pcFormats) = 0;
  virtual HRESULT GetOutputFormat(uint32_t dwOutputNum, uint32_t dwFormatNum,
                                  IWMOutputMediaProps** ppProps) = 0;
  virtual HRESULT GetStreamNumberForOutput(uint32_t dwOutputNum, uint16_t* pwStreamNum) = 0;
  virtual HRESULT SetOutputSetting(uint32_t dwOutputNum, const char16_t* pszName,
                                   WMT_ATTR_DATATYPE Type, const uint8_t* pValue,
                                   uint16_t cbLength) = 0;

 protected:
  ~IWMSyncReader() = default;
};

// ---- writing ----

constexpr GUID IID_IWMWriter{
    0x96406BD4, 0x2B2B, 0x11D3, {0xB3, 0x6B, 0x00, 0xC0, 0x4F, 0x61, 0x08, 0xFF}};
constexpr GUID IID_IWMWriterAdvanced{
    0x96406BE3, 0x2B2B, 0x11D3, {0xB3, 0x6B, 0x00, 0xC0, 0x4F, 0x61, 0x08, 0xFF}};
constexpr GUID IID_IWMWriterSink{
    0x96406BE4, 0x2B2B, 0x11D3, {0xB3, 0x6B, 0x00, 0xC0, 0x4F, 0x61, 0x08, 0xFF}};
constexpr GUID IID_IWMWriterFileSink{
    0x96406BE5, 0x2B2B, 0x11D3, {0xB3, 0x6B, 0x00, 0xC0, 0x4F, 0x61, 0x08, 0xFF}};
constexpr GUID IID_IWMWriterNetworkSink{
    0x96406BE7, 0x2B2B, 0x11D3, {0xB3, 0x6B, 0x00, 0xC0, 0x4F, 0x61, 0x08, 0xFF}};
constexpr GUID IID_IWMRegisterCallback{
    0xCF4B1F99, 0x4DE2, 0x4E49, {0xA3, 0x63, 0x25, 0x27, 0x40, 0xD9, 0x9B, 0xC1}};
constexpr GUID IID_IWMStatusCallback{
    0x6D7CDC70, 0x9888, 0x11D3, {0x8E, 0xDC, 0x00, 0xC0, 0x4F, 0x61, 0x09, 0xCF}};
constexpr GUID IID_IWMProfileManager{
    0xD16679F2, 0x6CA0, 0x472D, {0x8D, 0x31, 0x2F, 0x5D, 0x55, 0xAE, 0xE1, 0x55}};
constexpr GUID IID_IWMProfile{
    0x96406BDB, 0x2B2B, 0x11D3, {0xB3, 0x6B, 0x00, 0xC0, 0x4F, 0x61, 0x08, 0xFF}};
constexpr GUID IID_IWMStreamConfig{
    0x96406BDC, 0x2B2B, 0x11D3, {0xB3, 0x6B, 0x00, 0xC0, 0x4F, 0x61, 0x08, 0xFF}};
constexpr GUID IID_IWMInputMediaProps{
    0x96406BD5, 0x2B2B, 0x11D3, {0xB3, 0x6B, 0x00, 0xC0, 0x4F, 0x61, 0x08, 0xFF}};
constexpr GUID IID_IWMCodecInfo{
    0xA970F41E, 0x34DE, 0x4A98, {0xB3, 0xBA, 0xE4, 0xB3, 0xCA, 0x75, 0x28, 0xF0}};
constexpr GUID IID_IWMCodecInfo2{
    0xAA65E273, 0xB686, 0x4056, {0x91, 0xEC, 0xDD, 0x76, 0x8D, 0x4D, 0xF7, 0x10}};
constexpr GUID IID_IWMCodecInfo3{
    0x7E51F487, 0x4D93, 0x4F98, {0x8A, 0xB4, 0x27, 0xD0, 0x56, 0x5A, 0xDC, 0x51}};

constexpr uint32_t WMT_VER_9_0 = 0x00090000;

// Status reports of the writer's sinks. The numbers are this runtime's own.
enum WMT_STATUS : uint32_t {
  WMT_ERROR = 0,
  WMT_OPENED = 1,
  WMT_NO_RIGHTS = 9,
  WMT_STARTED = 11,
  WMT_STOPPED = 12,
  WMT_CLOSED = 13,
  WMT_RESTRICTED_LICENSE = 26,
  WMT_RECONNECT_START = 30,
  WMT_CLIENT_CONNECT = 37,
  WMT_CLIENT_DISCONNECT = 38,
};

struct IWMStatusCallback : IUnknown {
  virtual HRESULT OnStatus(WMT_STATUS Status, HRESULT hr, WMT_ATTR_DATATYPE dwType, uint8_t* pValue,
                           void* pvContext) = 0;

 protected:
  ~IWMStatusCallback() = default;
};

struct IWMRegisterCallback : IUnknown {
  virtual HRESULT Advise(IWMStatusCallback* pCallback, void* pvContext) = 0;
  virtual HRESULT Unadvise(IWMStatusCallback* pCallback, void* pvContext) = 0;

 protected:
  ~IWMRegisterCallback() = default;
};

// One stream of a profile; its media type is read through IWMMediaProps.
struct IWMStreamConfig : IUnknown {
  virtual HRESULT GetStreamType(GUID* pguidStreamType) = 0;
  virtual HRESULT GetStreamNumber(uint16_t* pwStreamNum) = 0;
  virtual HRESULT SetStreamNumber(uint16_t wStreamNum) = 0;
  virtual HRESULT SetStreamName(const char16_t* pwszStreamName) = 0;
  virtual HRESULT SetConnectionName(const char16_t* pwszInputName) = 0;
  // Bits per second.
  virtual HRESULT GetBitrate(uint32_t* pdwBitrate) = 0;

 protected:
  ~IWMStreamConfig() = default;
};

struct IWMProfile : IUnknown {
  virtual HRESULT GetStreamCount(uint32_t* pcStreams) = 0;
  // The profile keeps a copy of the configuration.
  virtual HRESULT AddStream(IWMStreamConfig* pConfig) = 0;

 protected:
  ~IWMProfile() = default;
};

// Codec and format enumeration; reached from the profile manager by QueryInterface.
struct IWMCodecInfo : IUnknown {
  virtual HRESULT GetCodecInfoCount(const GUID& guidType, uint32_t* pcCodecs) = 0;
  virtual HRESULT GetCodecFormatCount(const GUID& guidType, uint32_t dwCodecIndex,
                                      uint32_t* pcFormat) = 0;
  virtual HRESULT GetCodecFormat(const GUID& guidType, uint32_t dwCodecIndex,
                                 uint32_t dwFormatIndex, IWMStreamConfig** ppIStreamConfig) = 0;

 protected:
  ~IWMCodecInfo() = default;
};

struct IWMCodecInfo2 : IWMCodecInfo {
  // With wszName empty, *pcchName receives the length in characters, the null included.
  virtual HRESULT GetCodecName(const GUID& guidType, uint32_t dwCodecIndex, char16_t* wszName,
                               uint32_t* pcchName) = 0;
  virtual HRESULT GetCodecFormatDesc(const GUID& guidType, uint32_t dwCodecIndex,
                                     uint32_t dwFormatIndex, IWMStreamConfig** ppIStreamConfig,
                                     char16_t* wszDesc, uint32_t* pcchDesc) = 0;

 protected:
  ~IWMCodecInfo2() = default;
};

struct IWMCodecInfo3 : IWMCodecInfo2 {
  virtual HRESULT GetCodecFormatProp(const GUID& guidType, uint32_t dwCodecIndex,
                                     uint32_t dwFormatIndex, const char16_t* pszName,
                                     WMT_ATTR_DATATYPE* pType, uint8_t* pValue,
                                     uint32_t* pdwSize) = 0;
  virtual HRESULT SetCodecEnumerationSetting(const GUID& guidType, uint32_t dwCodecIndex,
                                             const char16_t* pszName, WMT_ATTR_DATATYPE Type,
                                             const uint8_t* pValue, uint32_t dwSize) = 0;

 protected:
  ~IWMCodecInfo3() = default;
};

struct IWMProfileManager : IUnknown {
  virtual HRESULT CreateEmptyProfile(uint32_t dwVersion, IWMProfile** ppProfile) = 0;

 protected:
  ~IWMProfileManager() = default;
};

struct IWMInputMediaProps : IWMMediaProps {
 protected:
  ~IWMInputMediaProps() = default;
};

// What the writer hands its sinks: the file header (again, final, when writing ends, to
// sinks that are not real time) and the data that follows it.
struct IWMWriterSink : IUnknown {
  virtual HRESULT OnHeader(INSSBuffer* pHeader) = 0;
  virtual HRESULT IsRealTime(int32_t* pfRealTime) = 0;
  virtual HRESULT OnDataUnit(INSSBuffer* pDataUnit) = 0;
  virtual HRESULT OnEndWriting() = 0;

 protected:
  ~IWMWriterSink() = default;
};

struct IWMWriterFileSink : IWMWriterSink {
  virtual HRESULT Open(const char16_t* pwszFilename) = 0;

 protected:
  ~IWMWriterFileSink() = default;
};

enum WMT_NET_PROTOCOL : uint32_t { WMT_PROTOCOL_HTTP = 0 };

// Serves the stream to network clients: the header first, then the data from the next
// packet on. Status reports WMT_CLIENT_CONNECT and WMT_CLIENT_DISCONNECT go to the callbacks
// attached through IWMRegisterCallback.
struct IWMWriterNetworkSink : IWMWriterSink {
  // 0 = the runtime's default.
  virtual HRESULT SetMaximumClients(uint32_t dwMaxClients) = 0;
  virtual HRESULT GetMaximumClients(uint32_t* pdwMaxClients) = 0;
  virtual HRESULT SetNetworkProtocol(WMT_NET_PROTOCOL protocol) = 0;
  virtual HRESULT GetNetworkProtocol(WMT_NET_PROTOCOL* pProtocol) = 0;
  // With pwszURL empty, *pcchURL receives the length in characters, the null included.
  virtual HRESULT GetHostURL(char16_t* pwszURL, uint32_t* pcchURL) = 0;
  // *pdwPortNum 0 takes a free port; the port taken is written back.
  virtual HRESULT Open(uint32_t* pdwPortNum) = 0;
  // Drops every client but keeps listening.
  virtual HRESULT Disconnect() = 0;
  virtual HRESULT Close() = 0;

 protected:
  ~IWMWriterNetworkSink() = default;
};

constexpr GUID IID_IWMClientConnections{
    0x73C66010, 0xA299, 0x41DF, {0xB1, 0xF0, 0xCC, 0xF0, 0x3B, 0x09, 0xC1, 0xC6}};
constexpr GUID IID_IWMClientConnections2{
    0x4091571E, 0x4701, 0x4593, {0xBB, 0x3D, 0xD5, 0xF5, 0xF0, 0xC7, 0x42, 0x46}};

// An IPv4 address with its most significant byte in the high bits, and a port.
struct WM_CLIENT_PROPERTIES {
  uint32_t dwIPAddress;
  uint32_t dwPort;
};

struct IWMClientConnections : IUnknown {
  virtual HRESULT GetClientCount(uint32_t* pcClients) = 0;
  virtual HRESULT GetClientProperties(uint32_t dwClientNum,
                                      WM_CLIENT_PROPERTIES* pClientProperties) = 0;

 protected:
  ~IWMClientConnections() = default;
};

struct IWMClientConnections2 : IWMClientConnections {
  // Each buffer may be empty to ask its length in characters, the null included.
  virtual HRESULT GetClientInfo(uint32_t dwClientNum, char16_t* pwszNetworkAddress,
                                uint32_t* pcchNetworkAddress, char16_t* pwszPort,
                                uint32_t* pcchPort, char16_t* pwszDNSName,
                                uint32_t* pcchDNSName) = 0;

 protected:
  ~IWMClientConnections2() = default;
};

struct IWMWriterAdvanced : IUnknown {
  virtual HRESULT AddSink(IWMWriterSink* pSink) = 0;
  virtual HRESULT RemoveSink(IWMWriterSink* pSink) = 0;

 protected:
  ~IWMWriterAdvanced() = default;
};

// Times are in 100-ns units. Header attributes are set through the writer's IWMHeaderInfo
// before BeginWriting.
struct IWMWriter : IUnknown {
  virtual HRESULT SetProfile(IWMProfile* pProfile) = 0;
  virtual HRESULT GetInputCount(uint32_t* pcInputs) = 0;
  virtual HRESULT GetInputProps(uint32_t dwInputNum, IWMInputMediaProps** ppInput) = 0;
  virtual HRESULT SetInputProps(uint32_t dwInputNum, IWMInputMediaProps* pInput) = 0;
  virtual HRESULT BeginWriting() = 0;
  virtual HRESULT EndWriting() = 0;
  virtual HRESULT AllocateSample(uint32_t dwSampleSize, INSSBuffer** ppSample) = 0;
  virtual HRESULT WriteSample(uint32_t dwInputNum, uint64_t cnsSampleTime, uint32_t dwFlags,
                              INSSBuffer* pSample) = 0;

 protected:
  ~IWMWriter() = default;
};

// The library's exports, resolved by name.
using TWMCreateSyncReader = HRESULT (*)(IUnknown* pUnkCert, uint32_t dwRights,
                                        IWMSyncReader** ppSyncReader);
using TWMCreateWriter = HRESULT (*)(IUnknown* pUnkCert, IWMWriter** ppWriter);
using TWMCreateWriterFileSink = HRESULT (*)(IWMWriterFileSink** ppSink);
using TWMCreateProfileManager = HRESULT (*)(IWMProfileManager** ppProfileManager);
using TWMCreateWriterNetworkSink = HRESULT (*)(IWMWriterNetworkSink** ppSink);
// Objects of the library still alive; lets tests prove every reference was released.
using TTvWMLiveObjects = int32_t (*)();

constexpr const char* WMRuntimeLibraryName = "libtvwmvcore.so";

}  // namespace tunevert
