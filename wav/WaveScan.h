#pragma once

// Little-endian byte access and the RIFF chunk scan shared by the WAV reader and the
// appending writer.

#include <array>
#include <cstdint>
#include <cstring>

#include "platform/Stream.h"
#include "wav/AuAdpcm.h"

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
inline uint64_t U64(const uint8_t* p) {
  return uint64_t{U32(p)} | (uint64_t{U32(p + 4)} << 32);
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

}  // namespace wavbytes

// What a RIFF/WAVE header holds, with every size already checked against the stream.
struct TWaveHeader {
  uint16_t FormatTag = 0;  // for an extensible header, the tag of its sub-format
  bool Extensible = false;
  bool KnownSubformat = true;  // extensible: the sub-format is PCM or IEEE float
  bool BigEndian = false;      // "RIFX": every field and sample is big-endian
  bool Wide = false;           // "RF64"/"BW64": sizes may come from "ds64"
  uint16_t Channels = 0;
  uint32_t SampleRate = 0;
  uint16_t BlockAlign = 0;
  uint16_t BitsPerSample = 0;  // as stored; fewer than the container for 12-in-16 and alike
  uint16_t ValidBits = 0;      // extensible only
  uint16_t SamplesPerBlock = 0;
  uint16_t NumCoeff = 0;  // MS ADPCM; above kMaxMSCoefSets the pairs are not kept
  std::array<TMSADPCMCoefSet, kMaxMSCoefSets> CoefSets{};
  bool HasFact = false;
  uint64_t FactCount = 0;
  int64_t DataOffset = 0;        // stream offset of the first data byte
  uint64_t DataSize = 0;         // claimed size, clamped to the bytes the stream holds after it
  bool DataSizeClaimed = false;  // the claim was kept (not 0, a placeholder, or too large)
  // Stream offsets of the 32-bit size fields, for a writer that corrects them.
  int64_t RiffSizeOffset = -1;
  int64_t FactOffset = -1;  // the count inside "fact"
  int64_t DataSizeOffset = -1;
};

// Walks the chunks from the stream's position: slides over junk before "RIFF" (or "RIFX",
// "RF64", "BW64") and before "WAVE", skips unknown chunks by seeking and steps over the pad
// byte of odd-sized ones. Returns true with the stream at the first data byte once "fmt "
// and then "data" were found.
bool ScanWaveHeader(TStream& Stream, TWaveHeader& Header);

}  // namespace tunevert
