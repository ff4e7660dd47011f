#pragma once

// Re-seals the checksum of every whole Ogg page in a mutated buffer, or the decoders would
// drop nearly every mutant at its first page.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tunevert::fuzz {

inline uint32_t OggCrc(const uint8_t* Data, size_t Size) {
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

inline void SealPages(uint8_t* Data, size_t Size) {
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

}  // namespace tunevert::fuzz
