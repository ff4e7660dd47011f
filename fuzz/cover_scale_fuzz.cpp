// Feeds arbitrary picture bytes to the cover scaling: FFmpeg's image decoders (loaded at run
// time), the scaler and the JPEG encoder. Aborts when a scaled picture is no JPEG, loses its
// type or description, or does not itself fit the limit when read back.
//   input: limit byte, picture bytes (the limit is 1 to 64 pixels)
#include <cstddef>
#include <cstdint>
#include <string>

#include "image/CoverScale.h"

using namespace tunevert;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1) return 0;
  const int limit = 1 + Data[0] % 64;
  TCarriedPicture picture;
  picture.Type = Data[0] >> 6;
  picture.Mime = "image/png";
  picture.Description = "cover";
  picture.Data.assign(reinterpret_cast<const char*>(Data) + 1, Size - 1);

  std::string warning;
  const auto shrunk = ShrinkCover(picture, limit, warning);
  if (!shrunk) return 0;
  if (!warning.empty() || shrunk->Type != picture.Type || shrunk->Mime != "image/jpeg" ||
      shrunk->Description != picture.Description || !shrunk->Data.starts_with("\xFF\xD8\xFF"))
    __builtin_trap();
  // What was made fits, and reads back.
  std::string again;
  if (ShrinkCover(*shrunk, limit, again) || !again.empty()) __builtin_trap();
  return 0;
}
