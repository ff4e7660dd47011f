#pragma once

// The RIFF chunk scan and the header constants shared by the WAV reader and the appending
// writer.

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
