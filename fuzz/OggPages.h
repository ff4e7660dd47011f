#pragma once

// Re-seals the checksum of every whole Ogg page in a mutated buffer, or the decoders would
// drop nearly every mutant at its first page.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

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

// One sealed page holding Body (under 64 KiB) as a single packet.
inline std::vector<uint8_t> OggPage(uint32_t Serial, uint8_t Flags,
                                    const std::vector<uint8_t>& Body) {
  std::vector<uint8_t> page = {'O', 'g', 'g', 'S', 0, Flags};
  page.resize(14, 0);  // granule position 0
  for (int b = 0; b < 4; ++b) page.push_back(static_cast<uint8_t>(Serial >> (8 * b)));
  page.resize(26, 0);  // sequence number and checksum
  std::vector<uint8_t> lacing(Body.size() / 255, 255);
  lacing.push_back(static_cast<uint8_t>(Body.size() % 255));
  page.push_back(static_cast<uint8_t>(lacing.size()));
  page.insert(page.end(), lacing.begin(), lacing.end());
  page.insert(page.end(), Body.begin(), Body.end());
  SealPages(page.data(), page.size());
  return page;
}

// Bytes of page-start patterns that a hostile file may append, Bytes long:
// "bare": the capture pattern and a first-page flag, over and over;
// "bad-checksum": whole first-page headers whose checksum fails;
// "cut-segments": headers whose segment tables run into the next pattern;
// "junk-links": sealed first pages of new streams holding no codec header;
// "junk-chain": as junk-links, each link with a second page, so every one is a link of its own.
inline std::vector<uint8_t> PageStartFlood(const std::string& Kind, size_t Bytes) {
  std::vector<uint8_t> out;
  uint32_t serial = 0x5000;
  while (out.size() < Bytes) {
    std::vector<uint8_t> unit = {'O', 'g', 'g', 'S', 0, 0x02};
    if (Kind == "bad-checksum" || Kind == "cut-segments") {
      unit.resize(27, 0);
      unit[14] = 0x34;  // a serial number
      unit[22] = 0xde;  // a checksum that cannot match
      if (Kind == "cut-segments") {
        unit[26] = 255;
        unit.resize(40, 255);
      }
    } else if (Kind == "junk-links" || Kind == "junk-chain") {
      unit = OggPage(serial, 0x02, {'j', 'u', 'n', 'k'});
      if (Kind == "junk-chain") {
        const std::vector<uint8_t> next = OggPage(serial, 0, {'m', 'o', 'r', 'e'});
        unit.insert(unit.end(), next.begin(), next.end());
      }
      ++serial;
    }
    out.insert(out.end(), unit.begin(), unit.end());
  }
  out.resize(Bytes);
  return out;
}

// Stream, then a link that fails and FloodBytes of page-start patterns: the search for where
// to cut the chain keeps an open busy for a while (a megabyte: seconds, many with sanitizers).
inline std::vector<uint8_t> SlowToOpen(std::vector<uint8_t> Stream,
                                       size_t FloodBytes = size_t{1} << 20) {
  const std::vector<uint8_t> badLink = OggPage(777, 0x02, {'b', 'a', 'd'});
  const std::vector<uint8_t> patterns = PageStartFlood("bare", FloodBytes);
  Stream.insert(Stream.end(), badLink.begin(), badLink.end());
  Stream.insert(Stream.end(), patterns.begin(), patterns.end());
  return Stream;
}

}  // namespace tunevert::fuzz
