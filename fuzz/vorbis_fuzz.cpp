// Feeds mutated Ogg Vorbis files to the Vorbis input: opening (chains included), a whole pass
// through channel reordering, remixing and resampling, and a ranged pass that seeks. The
// mutator re-seals every page's checksum, or the decoder would drop nearly every mutant at
// its first page.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/InputDriver.h"
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

namespace {

uint32_t OggCrc(const uint8_t* Data, size_t Size) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t r = i << 24;
      for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) != 0 ? (r << 1) ^ 0x04c11db7u : r << 1;
      t[i] = r;
    }
    return t;
  }();
  uint32_t crc = 0;
  for (size_t i = 0; i < Size; ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ Data[i]) & 0xff];
  return crc;
}

void SealPages(uint8_t* Data, size_t Size) {
  for (size_t at = 0; at + 27 <= Size;) {
    if (std::memcmp(Data + at, "OggS", 4) != 0) {
      ++at;
      continue;
    }
    const size_t segments = Data[at + 26];
    if (at + 27 + segments > Size) return;
    size_t body = 0;
    for (size_t s = 0; s < segments; ++s) body += Data[at + 27 + s];
    const size_t length = 27 + segments + body;
    if (at + length > Size) return;
    std::memset(Data + at + 22, 0, 4);
    const uint32_t crc = OggCrc(Data + at, length);
    for (int b = 0; b < 4; ++b) Data[at + 22 + b] = static_cast<uint8_t>(crc >> (8 * b));
    at += length;
  }
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* Data, size_t Size, size_t MaxSize,
                                          unsigned int /*Seed*/) {
  const size_t size = LLVMFuzzerMutate(Data, Size, MaxSize);
  SealPages(Data, size);
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
