// Feeds arbitrary bytes to the walks that decide, before the tag library is loaded, whether a
// WAV, FLAC or Ogg Vorbis file can hold tags: chunk lists, metadata blocks, Ogg pages.
#include <cstddef>
#include <cstdint>

#include "platform/Stream.h"
#include "tags/TagLibModule.h"

using namespace tunevert;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TMemoryStream stream;
  stream.Write(Data, static_cast<int64_t>(Size));
  for (const char* extension : {".wav", ".flac", ".ogg"}) {
    stream.SetPosition(0);
    MayHoldTags(stream, extension);
  }
  return 0;
}
