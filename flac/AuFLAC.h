#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "pipeline/AuFile.h"
#include "platform/CodecLibrary.h"
#include "tags/AuTags.h"

namespace tunevert {

TCodecLibrary& FLACLibrary();
bool LoadFLACLibrary();

// Decodes FLAC files through libFLAC's stream decoder over the input's own stream. Samples
// keep the stream's width, rounded up to whole bytes (12 bits arrive as 16, 20 as 24).
class TFLACIn final : public TAuTaggedFileIn {
 public:
  explicit TFLACIn(TComponent* AOwner = nullptr);
  ~TFLACIn() override;
  std::string ClassName() const override { return "TFLACIn"; }

  bool CheckMD5Signature() const { return FCheckMD5Signature; }
  // Takes effect at the next opening.
  void SetCheckMD5Signature(bool Value) { FCheckMD5Signature = Value; }
  // Whether the last closed source was decoded whole with its MD5 signature matching.
  bool IsMD5SignatureValid() const { return FSignatureValid; }
  TVorbisTags* VorbisComments();

 protected:
  void OpenSource() override;
  void CloseSource() override;
  void ProduceData(void*& Buffer, uint32_t& Bytes) override;
  bool SeekToSample(int64_t& SampleNum) override;

 private:
  friend struct TFLACCallbacks;

  void FillCommonTags();
  // Ends the data quietly when the decoder is done or has reported damage; raises otherwise.
  bool DecoderFinished();

  bool EndOfMetadata = false;
  std::unique_ptr<TVorbisTags> FComments;
  int32_t Residue = 0;
  std::unique_ptr<uint8_t[]> Buff;
  uint32_t BuffSize = 0;
  void* _decoder = nullptr;  // FLAC__StreamDecoder*
  uint32_t FBlockSize = 0;
  uint32_t BytesPerBlock = 0;
  uint32_t MinFrameSize = 0;
  bool FCheckMD5Signature = false;
  bool FSignatureValid = false;

  uint32_t FStreamBPS = 0;  // width as stored; FBPS is the whole-byte width delivered
  bool FHaveStreamInfo = false;
  bool FFrameWritten = false;     // the last decoder step delivered a frame
  int64_t FFrameFirstSample = 0;  // stream sample of the buffered frame's first value
  bool FSeekPending = false;      // skip to FSeekTarget in the next buffered frame
  int64_t FSeekTarget = 0;
  bool FMD5Active = false;     // checking was on at opening and no seek has happened since
  int64_t FStreamSamples = 0;  // STREAMINFO's total; FTotalSamples becomes the range's
  bool FAtEnd = false;         // a seek reached the end or failed: no more data this pass
  int64_t FStreamLength = 0;   // the source's length when it was opened
  int64_t FStreamPos = 0;      // where the library's reads left the source; -1 unknown
};

}  // namespace tunevert
