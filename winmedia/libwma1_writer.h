#pragma once

// The writer routines over the Windows Media runtime: set up a writer with a file sink, list
// the audio codecs and their formats, build a one-stream audio profile (from an explicit
// format or from the format nearest a target), describe the PCM input, set header
// attributes, write PCM blocks with time stamps, close. The status sinks carry the runtime's
// reports back to the owning component.

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Component.h"
#include "winmedia/wmfintf.h"

namespace tunevert {

using TNotifyProc = void (*)(TComponent* Dest);
using TErrorNotifyProc = void (*)(TComponent* Dest, uint32_t Reason);

// One writer and what it writes to; zeroed when set up.
struct wma_writer {
  TComponent* Owner = nullptr;  // passed to the callbacks
  TInterfaceRef<IWMWriter> writer;
  TInterfaceRef<INSSBuffer> buffer;  // held only during WriterWrite
  uint32_t input = 0;                // writer input that receives the PCM
  uint32_t BytesPerSecond = 0;       // of that input
  int64_t TotalTime = 0;             // running time stamp, 100-ns units
  bool Initialized = false;          // the writer and its sink are set up
  TInterfaceRef<IWMWriterFileSink> file_sink;
  TInterfaceRef<IWMWriterNetworkSink> network_sink;
  TInterfaceRef<IWMStatusCallback> StatusCallback;  // on the network sink
  TInterfaceRef<IWMStatusCallback> ErrorCallback;   // on the file sink
  TNotifyProc OnConnected = nullptr;
  TNotifyProc OnDisconnected = nullptr;
  TErrorNotifyProc OnError = nullptr;
  int FileError = 0;  // errno of the file sink's first failed write or close, for the message
};

// A counted IWMStatusCallback of this program's own.
class TWMCallbackBase : public IWMStatusCallback {
 public:
  explicit TWMCallbackBase(wma_writer* Writer) : FWriter(Writer) {}
  TWMCallbackBase(const TWMCallbackBase&) = delete;
  TWMCallbackBase& operator=(const TWMCallbackBase&) = delete;
  HRESULT QueryInterface(const IID& riid, void** ppvObject) override;
  uint32_t AddRef() override;
  uint32_t Release() override;

 protected:
  virtual ~TWMCallbackBase() = default;
  wma_writer* const FWriter;

 private:
  std::atomic<uint32_t> FRefCount{0};
};

// Passes the error statuses 0, 9, 26 and 30 of a file sink to the record's OnError.
class TWMErrorCallback final : public TWMCallbackBase {
 public:
  using TWMCallbackBase::TWMCallbackBase;
  HRESULT OnStatus(WMT_STATUS Status, HRESULT hr, WMT_ATTR_DATATYPE dwType, uint8_t* pValue,
                   void* pvContext) override;
};

// Passes a network sink's client connects (37) and disconnects (38) to the record.
class TWMStatusCallback final : public TWMCallbackBase {
 public:
  using TWMCallbackBase::TWMCallbackBase;
  HRESULT OnStatus(WMT_STATUS Status, HRESULT hr, WMT_ATTR_DATATYPE dwType, uint8_t* pValue,
                   void* pvContext) override;
};

// Leaves writer.Initialized false when the writer, the sink or the file cannot be set up.
void WriterOpenFile(wma_writer& writer, const std::u16string& FileName, TComponent* Owner,
                    TErrorNotifyProc OnError);
// Serves the stream over HTTP on Port (0: any free port); MaxClients 0 keeps the runtime's
// limit. Leaves writer.Initialized false when the writer or the sink cannot be set up, for
// example when the port is taken.
void WriterOpenNetwork(wma_writer& writer, uint32_t Port, uint32_t MaxClients,
                       TErrorNotifyProc OnError, TNotifyProc OnDisconnected,
                       TNotifyProc OnConnected, TComponent* Owner);
// Configures nothing when the codec or format does not exist; WriterBegin then fails.
void WriterSetFormat(wma_writer& writer, uint16_t Channels, uint16_t BitsPerSample,
                     uint32_t FormatIndex, uint32_t CodecIndex, bool VBRorLossless,
                     uint32_t SampleRate);
// Target: a VBR quality, or a bitrate (below 1000 read as kbit/s). Raises Exception
// "Failed to init codec" when no format matches, "fff" when the profile refuses the stream.
void WriterSetFormatByBitrate(wma_writer& writer, uint16_t Channels, uint16_t BitsPerSample,
                              uint32_t Target, bool VBR, bool Lossless, uint32_t SampleRate);
// The format of the installed codecs nearest Target for PCM like Template.
bool FindCodecFormat(const WAVEFORMATEX& Template, uint32_t Target, bool Lossless, bool VBR,
                     TInterfaceRef<IWMStreamConfig>& Config);
void WriterSetTextAttribute(wma_writer& writer, std::u16string_view Name, std::u16string_view Text);
// Raises EAuException when the runtime cannot begin writing.
void WriterBegin(wma_writer& writer);
// One PCM block, time-stamped with the running total including it.
void WriterWrite(wma_writer& writer, const void* Buffer, uint32_t Bytes);
// False when the writer could not end the stream (its last frames, the final header).
bool WriterCloseFile(wma_writer& writer);
// Ends the stream, closes every client connection and the listening socket.
void WriterCloseNetwork(wma_writer& writer);
// Clients being served; 0 without a network sink.
uint32_t WriterClientCount(const wma_writer& writer);
// False when there is no such client.
bool WriterClientProperties(const wma_writer& writer, uint32_t Index, WM_CLIENT_PROPERTIES& Props);
// The address clients connect to; empty while no writer is open.
std::string WriterHostURL(const wma_writer& writer);
void ListCodecNames(std::vector<std::string>& List);
void ListCodecFormats(uint16_t CodecIndex, bool VBRorLossless, std::vector<std::string>& List);

inline void WriterSetAuthor(wma_writer& w, std::u16string_view Text) {
  WriterSetTextAttribute(w, u"Author", Text);
}
inline void WriterSetTitle(wma_writer& w, std::u16string_view Text) {
  WriterSetTextAttribute(w, u"Title", Text);
}
inline void WriterSetAlbum(wma_writer& w, std::u16string_view Text) {
  WriterSetTextAttribute(w, u"WM/AlbumTitle", Text);
}
inline void WriterSetGenre(wma_writer& w, std::u16string_view Text) {
  WriterSetTextAttribute(w, u"WM/Genre", Text);
}
inline void WriterSetYear(wma_writer& w, std::u16string_view Text) {
  WriterSetTextAttribute(w, u"WM/Year", Text);
}
inline void WriterSetTrack(wma_writer& w, std::u16string_view Text) {
  WriterSetTextAttribute(w, u"WM/Track", Text);
}
inline void WriterSetCopyright(wma_writer& w, std::u16string_view Text) {
  WriterSetTextAttribute(w, u"Copyright", Text);
}

}  // namespace tunevert
