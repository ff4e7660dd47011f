#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/AuFile.h"
#include "platform/AuFileStream.h"
#include "tags/EncoderTags.h"

namespace tunevert {

// Encodes its input losslessly to a FLAC file through libFLAC's stream encoder: the source's
// rate and channels, 8, 16 or 24 bits (32-bit sources are rounded to 24), with the MD5
// signature and a seek table filled in when the file is finished. The tags go into the
// metadata blocks that open the file.
class TFLACOut final : public TAuTaggedFileOut, public TTagWritingOutput {
 public:
  static constexpr int32_t kDefaultCompressionLevel = 5;

  explicit TFLACOut(TComponent* AOwner = nullptr);
  ~TFLACOut() override;
  std::string ClassName() const override { return "TFLACOut"; }

  int32_t CompressionLevel() const { return FCompressionLevel; }
  // 0 (fastest) to 8 (smallest); values outside are brought to the nearest end.
  void SetCompressionLevel(int32_t Value);

  // The width a source of SourceBits is written with; 0 for widths the output refuses.
  static uint32_t OutputBits(uint32_t SourceBits);

 protected:
  bool OutputBlock(bool Abort) override;
  void FinishOutput() override;
  void PrepareOutput() override;

 private:
  friend struct TFLACEncoderCallbacks;
  struct TEncoder;
  struct TTagBlocks;

  // Finished: the file is complete, so a failing close fails the run.
  void ReleaseStream(bool Finished);
  void FixUnreachedSeekPoints();

  int32_t FCompressionLevel = kDefaultCompressionLevel;

  // Per run, on the worker thread only.
  std::unique_ptr<TEncoder> FEncoder;
  std::unique_ptr<TAuFileStream> FOwnStream;
  int64_t FStreamBase = 0;  // where the file starts in FStream: offsets the library asks for
  uint32_t FInChannels = 0;
  uint32_t FInBits = 0;
  uint32_t FOutBits = 0;
  std::vector<uint8_t> FBuffer;
  std::vector<int32_t> FSamples;
  // A failure inside a library callback, raised again once the library has returned.
  std::exception_ptr FCallbackFailure;
};

}  // namespace tunevert
