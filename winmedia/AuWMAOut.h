#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/AuFile.h"
#include "winmedia/libwma1_writer.h"

namespace tunevert {

// Encodes its input into a WMA file through the Windows Media runtime, choosing the format
// by bitrate (or VBR quality, or lossless) unless a codec and format are named.
class TWMAOut : public TAuTaggedFileOut {
 public:
  explicit TWMAOut(TComponent* AOwner = nullptr);
  ~TWMAOut() override;
  std::string ClassName() const override { return "TWMAOut"; }

  // Below 1000: kbit/s; otherwise bit/s.
  uint32_t DesiredBitrate() const { return FBitrate; }
  void SetDesiredBitrate(uint32_t Value) { FBitrate = Value; }
  bool Lossless() const { return FLossless; }
  void SetLossless(bool Value) { FLossless = Value; }
  bool VBR() const { return FVBR; }
  void SetVBR(bool Value) { FVBR = Value; }
  uint8_t VBRQuality() const { return FVBRQuality; }
  void SetVBRQuality(uint8_t Value) { FVBRQuality = Value; }
  using TAuTaggedFileOut::Id3v2Tags;
  using TAuTaggedFileOut::SetId3v2Tags;

  const std::vector<std::string>& Codecs() const { return FCodecs; }
  uint16_t CodecsCount() const { return static_cast<uint16_t>(FCodecs.size()); }
  // At or above 0 the bitrate search is off.
  int32_t CodecIndex() const { return FCodecIndex; }
  void SetCodecIndex(int32_t Value) { FCodecIndex = Value; }
  int32_t FormatIndex() const { return FFormatIndex; }
  void SetFormatIndex(int32_t Value) { FFormatIndex = Value; }

  std::string GetCodecName(uint16_t Index) const;
  // Rebuilt on every call.
  const std::vector<std::string>& GetFormats(uint16_t Index);
  uint32_t GetFormatsCount(uint16_t Index);
  std::string GetFormatDesc(uint16_t CodecIndex, uint16_t FormatIndex);

 protected:
  bool OutputBlock(bool Abort) override;
  void FinishOutput() override;
  void PrepareOutput() override;

  // The sink side of the writer; a network output opens and closes its own.
  virtual void OpenWriter();
  virtual void CloseWriter();
  static void ErrorProc(TComponent* Dest, uint32_t Reason);

  std::vector<std::string> FCodecs;
  std::vector<std::string> FFormats;
  int32_t FCodecIndex = -1;
  int32_t FFormatIndex = 0;
  bool EndOfStream = false;
  std::unique_ptr<uint8_t[]> Buf;
  int32_t BufSize = 0;
  uint32_t FBitrate = 0;
  bool FLossless = false;
  bool FVBR = false;
  uint8_t FVBRQuality = 0;
  std::atomic<bool> ErrorFlag{false};  // set on a runtime status, read by the worker
  wma_writer Writer;
  uint32_t FPort = 0;
  uint32_t FMaxClients = 0;
  bool FUseNetwork = false;

 private:
  std::string FileErrorMessage() const;

  bool FInputStarted = false;
  bool FWriting = false;    // the writer began: ending it must succeed
  bool FEndFailed = false;  // the writer could not end the stream
};

}  // namespace tunevert
