#pragma once

// Little-endian byte access and the sequential RIFF chunk scan shared by the WAV reader
// and the appending writer.

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/Stream.h"

namespace tunevert {

bool SameChunkId(const uint8_t* Bytes, const char* Id);

namespace wavbytes {

constexpr std::array<uint8_t, 16> kSubtypePCM = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                                 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr std::array<uint8_t, 16> kSubtypeFloat = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                                   0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

inline uint16_t U16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t U32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  Put16(p, v & 0xFFFF);
  Put16(p + 2, v >> 16);
}
inline void PutId(uint8_t* p, const char* id) {
  std::memcpy(p, id, 4);
}

// The sequential header scan shared by the reader and the append check: every byte read is
// kept, so the window (the last four bytes) and chunk bodies can be looked at in place. A
// read that would carry the scan past Limit bytes, or past the end of the data, fails.
class THeaderScan {
 public:
  THeaderScan(TStream& Stream, uint32_t Limit) : FStream(Stream), FHdr(Limit) {
    FStart = Stream.Position();
    FEnd = Stream.Size();
  }
  bool Read(uint64_t N) {
    if (N > FHdr.size() - pos) return false;
    int64_t done = 0;
    while (done < static_cast<int64_t>(N)) {
      const int64_t n = FStream.Read(FHdr.data() + pos + done, static_cast<int64_t>(N) - done);
      if (n <= 0) return false;
      done += n;
    }
    pos += static_cast<uint32_t>(N);
    return true;
  }
  const uint8_t* Window() const { return FHdr.data() + pos - 4; }
  const uint8_t* At(uint32_t Offset) const { return FHdr.data() + Offset; }
  bool Matches(const char* Id) const { return SameChunkId(Window(), Id); }
  bool AtEnd() const { return FStart + pos >= FEnd; }
  int64_t StreamOffset() const { return FStart + pos; }
  // Skips the chunk whose id is in the window and reads the next id.
  bool SkipChunk() {
    if (!Read(4)) return false;
    const uint32_t size = U32(Window());
    return Read(size) && Read(4);
  }

  uint32_t pos = 0;

 private:
  TStream& FStream;
  std::vector<uint8_t> FHdr;
  int64_t FStart = 0;
  int64_t FEnd = 0;
};

}  // namespace wavbytes
}  // namespace tunevert
