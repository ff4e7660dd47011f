#pragma once

// Little-endian fields in byte buffers (RIFF and ASF headers, Ogg pages, Vorbis comments),
// assembled byte by byte so neither the host's byte order nor alignment matters.

#include <cstdint>

namespace tunevert {

constexpr uint16_t ReadLE16(const uint8_t* P) {
  return static_cast<uint16_t>(P[0] | (P[1] << 8));
}
constexpr uint32_t ReadLE32(const uint8_t* P) {
  return uint32_t{P[0]} | (uint32_t{P[1]} << 8) | (uint32_t{P[2]} << 16) | (uint32_t{P[3]} << 24);
}
constexpr uint64_t ReadLE64(const uint8_t* P) {
  return uint64_t{ReadLE32(P)} | (uint64_t{ReadLE32(P + 4)} << 32);
}

// The writers keep the low bytes of Value.
constexpr void WriteLE16(uint8_t* P, uint32_t Value) {
  P[0] = static_cast<uint8_t>(Value);
  P[1] = static_cast<uint8_t>(Value >> 8);
}
constexpr void WriteLE32(uint8_t* P, uint32_t Value) {
  WriteLE16(P, Value & 0xFFFF);
  WriteLE16(P + 2, Value >> 16);
}
constexpr void WriteLE64(uint8_t* P, uint64_t Value) {
  WriteLE32(P, static_cast<uint32_t>(Value));
  WriteLE32(P + 4, static_cast<uint32_t>(Value >> 32));
}

// Appends to a byte container (std::string, std::vector<uint8_t>).
template <class Bytes>
void AppendLE16(Bytes& Out, uint32_t Value) {
  using Byte = typename Bytes::value_type;
  Out.push_back(static_cast<Byte>(Value & 0xFF));
  Out.push_back(static_cast<Byte>((Value >> 8) & 0xFF));
}
template <class Bytes>
void AppendLE32(Bytes& Out, uint32_t Value) {
  AppendLE16(Out, Value & 0xFFFF);
  AppendLE16(Out, Value >> 16);
}

}  // namespace tunevert
