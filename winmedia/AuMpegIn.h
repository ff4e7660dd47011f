#pragma once

#include <string>

#include "winmedia/AuWinMedia.h"

namespace tunevert {

// MP3 files through the Windows Media runtime. The declared length runs a third of a second
// past the header's duration, so decoded audio beyond that (coarse) figure is not cut off;
// a pass normally ends when the decoder runs dry, before Size.
class TMP3In final : public TWMIn {
 public:
  explicit TMP3In(TComponent* AOwner = nullptr) : TWMIn(AOwner) {}
  std::string ClassName() const override { return "TMP3In"; }

 protected:
  void OpenSource() override;
};

}  // namespace tunevert
