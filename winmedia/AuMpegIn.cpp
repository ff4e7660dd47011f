#include "winmedia/AuMpegIn.h"

#include <mutex>

namespace tunevert {

void TMP3In::OpenSource() {
  std::lock_guard lock(*OpenCS);
  if (FOpened != 0) return;
  TWMIn::OpenSource();
  // The header's duration is coarse (10 ms, truncated) and the decoder may give a little
  // more; a third of a second of room keeps that tail from being clipped.
  const uint32_t Extra = FSR / 3;
  FTotalSamples += Extra;
  FSize += (FBPS / 8) * FChan * Extra;
}

}  // namespace tunevert
