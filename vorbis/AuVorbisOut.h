#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/AuFile.h"
#include "platform/AuFileStream.h"
#include "tags/EncoderTags.h"

namespace tunevert {

// Encodes its input to an Ogg Vorbis file through libvorbisenc and libogg: at a quality
// (variable bitrate) or, when a bitrate is set, at that average bitrate. Any rate, 1 to 8
// channels, reordered from WAV order to the order Vorbis defines for each count.
class TVorbisOut final : public TAuTaggedFileOut, public TTagWritingOutput {
 public:
  static constexpr double kDefaultQuality = 5;

  explicit TVorbisOut(TComponent* AOwner = nullptr);
  ~TVorbisOut() override;
  std::string ClassName() const override { return "TVorbisOut"; }

  double Quality() const { return FQuality; }
  // -1 (smallest) to 10 (best); values outside are brought to the nearest end. Used while
  // BitrateKbps is 0.
  void SetQuality(double Value);
  uint32_t BitrateKbps() const { return FBitrateKbps; }
  // Average bitrate in kbit/s; 0 selects the quality mode.
  void SetBitrateKbps(uint32_t Value) { FBitrateKbps = Value; }

 protected:
  bool OutputBlock(bool Abort) override;
  void FinishOutput() override;
  void PrepareOutput() override;

 private:
  struct TEncoder;

  // Finished: the last page went out, so a failing close fails the run.
  void ReleaseStream(bool Finished);
  // Moves every packet the encoder has ready into pages and writes the pages out.
  void Drain();
  void WritePages(bool Flush);

  double FQuality = kDefaultQuality;
  uint32_t FBitrateKbps = 0;

  // Per run, on the worker thread only.
  std::unique_ptr<TEncoder> FEncoder;
  std::unique_ptr<TAuFileStream> FOwnStream;
  uint32_t FInChannels = 0;
  uint32_t FInBits = 0;
  std::vector<uint8_t> FBuffer;
};

}  // namespace tunevert
