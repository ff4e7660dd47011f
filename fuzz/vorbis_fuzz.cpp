// Feeds mutated Ogg Vorbis files to the Vorbis input: opening (chains included), a whole pass
// through channel reordering, remixing and resampling, and a ranged pass that seeks. The
// mutator re-seals every page's checksum.
#include <cstddef>
#include <cstdint>

#include "fuzz/InputDriver.h"
#include "fuzz/OggPages.h"
#include "platform/Stream.h"
#include "vorbis/AuVorbis.h"

using namespace tunevert;

extern "C" size_t LLVMFuzzerMutate(uint8_t* Data, size_t Size, size_t MaxSize);

// libvorbisfile 1.3.7 loses link headers (and the libvorbis memory they hold) when a damaged
// chain fails to open, also in a plain open without this input around it. Leaks of this
// input's own objects are still reported.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libvorbisfile.so.3\nleak:libvorbis.so.0\n";
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* Data, size_t Size, size_t MaxSize,
                                          unsigned int /*Seed*/) {
  const size_t size = LLVMFuzzerMutate(Data, Size, MaxSize);
  fuzz::SealPages(Data, size);
  return size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TMemoryStream stream;
  stream.Write(Data, static_cast<int64_t>(Size));
  stream.SetPosition(0);
  auto in = MakeComponent<TVorbisIn>(nullptr);
  in->SetStream(&stream);
  fuzz::DriveInput(*in, 512);
  return 0;
}
