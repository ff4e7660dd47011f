#pragma once

#include <string>

#include "winmedia/AuWinMedia.h"

namespace tunevert {

// The formats the runtime decodes beyond Windows Media: M4A (AAC, ALAC), ADTS AAC,
// AIFF/AIFC, WavPack and APE. Unlike WMA, whose header gives its length in hundredths of a
// second, these containers count samples, so the announced length is exact to the frame:
// what the last decoded sample holds past it (an AAC encoder's padding) is dropped, while
// samples that follow it (frames after junk, a stale count) are delivered. 24-bit sources
// come out at 24 bits.
class TFFmpegIn final : public TWMIn {
 public:
  explicit TFFmpegIn(TComponent* AOwner = nullptr);
  std::string ClassName() const override { return "TFFmpegIn"; }

 protected:
  void OpenSource() override;
  // To the sample: the base input seeks to the nearest hundredth of a second.
  bool SeekToSample(int64_t& SampleNum) override;
};

// The input as the batch reads these formats with it, named "FFmpegIn1".
TAuFileIn* MakeFFmpegInput(TComponent* Owner);

}  // namespace tunevert
