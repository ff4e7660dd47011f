#pragma once

#include <string>

#include "winmedia/AuWinMedia.h"

namespace tunevert {

// MP3 files through the Windows Media runtime. The runtime trims the encoder's delay and
// padding where a LAME/Xing frame gives them; the header's duration is only an estimate
// (from the first frame's bitrate when there is no Xing frame).
class TMP3In final : public TWMIn {
 public:
  explicit TMP3In(TComponent* AOwner = nullptr) : TWMIn(AOwner) {}
  std::string ClassName() const override { return "TMP3In"; }
};

}  // namespace tunevert
