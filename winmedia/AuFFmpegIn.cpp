#include "winmedia/AuFFmpegIn.h"

#include <mutex>

namespace tunevert {

namespace {
constexpr int64_t CnsPerSecond = 10000000;
}

TFFmpegIn::TFFmpegIn(TComponent* AOwner) : TWMIn(AOwner) {
  FHighPrecision = true;
  // An edit list or iTunSMPB count ends inside the last AAC frame; the rest is padding.
  FTrimAtAnnouncedEnd = true;
}

void TFFmpegIn::OpenSource() {
  std::lock_guard lock(*OpenCS);
  if (FOpened != 0) return;
  TWMIn::OpenSource();
  if (FOpened == 0 || reader.duration <= 0 || FSR == 0) return;
  // The runtime's duration is the container's sample count in 100-ns units, rounded; at any
  // rate below 5 MHz rounding it back gives the count itself.
  FTotalSamples = (reader.duration * FSR + CnsPerSecond / 2) / CnsPerSecond;
  FSize = FTotalSamples * FChan * (FBPS / 8);
}

bool TFFmpegIn::SeekToSample(int64_t& SampleNum) {
  if (!Busy || FSR == 0 || !reader.reader || SampleNum < 0) return false;
  ForgetLookahead();
  // The runtime rounds the time back to the nearest sample, which is this one.
  const auto Time = static_cast<uint64_t>((SampleNum * CnsPerSecond + FSR / 2) / FSR);
  if (reader.reader->SetRange(Time, 0) != S_OK) return false;
  // What is left of the sample decoded before the jump lies before the target.
  reader.buffer.Clear();
  reader.offset = 0;
  return true;
}

}  // namespace tunevert
