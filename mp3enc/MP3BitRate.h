#pragma once

#include <string>

namespace tunevert {

// Constant bit rates of the MP3 output, in kbit/s.
enum class TMP3BitRate {
  mbrAuto,
  mbr32,
  mbr40,
  mbr48,
  mbr56,
  mbr64,
  mbr80,
  mbr96,
  mbr112,
  mbr128,
  mbr144,
  mbr160,
  mbr192,
  mbr224,
  mbr256,
  mbr320
};

// The rate a text of the bitrate list names ("160"); mbrAuto for any other text.
TMP3BitRate MP3BitRateFromText(const std::string& Text);

}  // namespace tunevert
