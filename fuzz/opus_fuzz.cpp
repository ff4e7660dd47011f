// Feeds mutated Ogg Opus files to the Opus input, decoding or only checking the packets:
// opening (chains included), a whole pass through channel reordering and remixing, a looping
// pass with seeks, and a ranged pass that seeks. The mutator re-seals every page's checksum.
#include <cstddef>
#include <cstdint>

#include "fuzz/InputDriver.h"
#include "fuzz/OggPages.h"
#include "opus/AuOpus.h"
#include "platform/Stream.h"

using namespace tunevert;

// libopusfile 0.12 loses a link's tags when a chain fails to open on a later link (also in a
// plain open without this input around it). Leaks of this input's own objects still show.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libopusfile.so.0\n";
}

extern "C" size_t LLVMFuzzerMutate(uint8_t* Data, size_t Size, size_t MaxSize);

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
  auto in = MakeComponent<TOpusIn>(nullptr);
  in->SetStream(&stream);
  // The read back's way too: every page and packet checked, nothing decoded.
  in->SetDecodeAudio(Size == 0 || (Data[Size - 1] & 2) == 0);
  fuzz::DriveInput(*in, 512, Size > 0 && (Data[Size - 1] & 1) != 0);
  return 0;
}
