#include "app/ZEMc.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace tunevert {

bool TZemc::CheckValidFileName(const std::string& FileName) {
  std::string upper = FileName;
  // Only the ASCII letters of the five extensions matter; the bytes of UTF-8 names stay.
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return c < 0x80 ? std::toupper(c) : c; });
  const size_t dot = upper.rfind('.');
  const size_t slash = upper.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  const std::string ext = upper.substr(dot);
  static constexpr std::array<const char*, 5> kAccepted = {".MP3", ".FLAC", ".OGG", ".WAV", ".WMA"};
  return std::any_of(kAccepted.begin(), kAccepted.end(), [&](const char* a) { return ext == a; });
}

}  // namespace tunevert
