#include "platform/wmvcore/HeaderScan.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace tunevert::wmvcore {

namespace {

using TGuidBytes = std::array<uint8_t, 16>;

// GUIDs are stored little-endian in their first three fields.
constexpr TGuidBytes GuidBytes(const GUID& G) {
  TGuidBytes B{};
  for (int i = 0; i < 4; ++i) B[i] = static_cast<uint8_t>(G.Data1 >> (8 * i));
  for (int i = 0; i < 2; ++i) B[4 + i] = static_cast<uint8_t>(G.Data2 >> (8 * i));
  for (int i = 0; i < 2; ++i) B[6 + i] = static_cast<uint8_t>(G.Data3 >> (8 * i));
  for (int i = 0; i < 8; ++i) B[8 + i] = G.Data4[i];
  return B;
}

constexpr TGuidBytes AsfHeaderObject =
    GuidBytes({0x75B22630, 0x668E, 0x11CF, {0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C}});
constexpr TGuidBytes AsfContentEncryption =
    GuidBytes({0x2211B3FB, 0xBD23, 0x11D2, {0xB4, 0xB7, 0x00, 0xC0, 0x4F, 0xB9, 0x80, 0x20}});
constexpr TGuidBytes AsfExtendedContentEncryption =
    GuidBytes({0x298AE614, 0x2622, 0x4C17, {0xB9, 0x35, 0xDA, 0xE0, 0x7E, 0xE9, 0x28, 0x9C}});

// A header larger than this is not walked; real headers are a few kilobytes.
constexpr uint64_t MaxAsfHeader = 64u << 20;

uint32_t ReadAt(IStream& Source, uint64_t Position, void* Buffer, uint32_t Count) {
  if (Source.Seek(static_cast<int64_t>(Position), STREAM_SEEK_SET, nullptr) != S_OK) return 0;
  uint32_t Done = 0;
  auto* Out = static_cast<uint8_t*>(Buffer);
  while (Done < Count) {
    uint32_t Got = 0;
    if (Source.Read(Out + Done, Count - Done, &Got) != S_OK || Got == 0) break;
    Done += Got;
  }
  return Done;
}

uint64_t LittleEndian(const uint8_t* P, int Bytes) {
  uint64_t V = 0;
  for (int i = Bytes - 1; i >= 0; --i) V = (V << 8) | P[i];
  return V;
}

bool SameGuid(const uint8_t* P, const TGuidBytes& G) {
  return std::memcmp(P, G.data(), G.size()) == 0;
}

}  // namespace

bool AsfHeaderIsEncrypted(IStream& Source, uint64_t Base) {
  uint8_t Head[30];
  if (ReadAt(Source, Base, Head, sizeof Head) != sizeof Head) return false;
  if (!SameGuid(Head, AsfHeaderObject)) return false;
  const uint64_t HeaderSize = std::min<uint64_t>(LittleEndian(Head + 16, 8), MaxAsfHeader);
  const uint64_t Objects = LittleEndian(Head + 24, 4);
  uint64_t Offset = sizeof Head;
  for (uint64_t i = 0; i < Objects && Offset + 24 <= HeaderSize; ++i) {
    uint8_t Object[24];
    if (ReadAt(Source, Base + Offset, Object, sizeof Object) != sizeof Object) return false;
    if (SameGuid(Object, AsfContentEncryption) || SameGuid(Object, AsfExtendedContentEncryption))
      return true;
    const uint64_t Size = LittleEndian(Object + 16, 8);
    if (Size < 24) return false;  // a broken size would loop forever
    Offset += Size;
  }
  return false;
}

bool MpegHasVbrHeader(IStream& Source, uint64_t Base) {
  uint8_t Id3[10];
  uint64_t Start = Base;
  if (ReadAt(Source, Base, Id3, sizeof Id3) == sizeof Id3 && std::memcmp(Id3, "ID3", 3) == 0) {
    const uint64_t TagSize = (uint64_t{Id3[6] & 0x7Fu} << 21) | ((Id3[7] & 0x7Fu) << 14) |
                             ((Id3[8] & 0x7Fu) << 7) | (Id3[9] & 0x7Fu);
    Start += 10 + TagSize + ((Id3[5] & 0x10) ? 10 : 0);
  }
  std::vector<uint8_t> Window(16384);
  const uint32_t Got = ReadAt(Source, Start, Window.data(), static_cast<uint32_t>(Window.size()));
  for (uint32_t i = 0; i + 4 <= Got; ++i) {
    const uint8_t* H = Window.data() + i;
    if (H[0] != 0xFF || (H[1] & 0xE0) != 0xE0) continue;
    const int Version = (H[1] >> 3) & 3;  // 3 = MPEG-1, 2 = MPEG-2, 0 = MPEG-2.5
    const int Layer = (H[1] >> 1) & 3;    // 1 = Layer III
    const int BitrateIndex = H[2] >> 4;
    const int RateIndex = (H[2] >> 2) & 3;
    if (Version == 1 || Layer != 1 || BitrateIndex == 0 || BitrateIndex == 15 || RateIndex == 3)
      continue;
    const bool Mono = (H[3] >> 6) == 3;
    const uint32_t SideInfo = Version == 3 ? (Mono ? 17 : 32) : (Mono ? 9 : 17);
    const uint32_t Xing = i + 4 + SideInfo;
    const uint32_t Vbri = i + 4 + 32;
    if (Xing + 4 <= Got && std::memcmp(Window.data() + Xing, "Xing", 4) == 0) return true;
    if (Vbri + 4 <= Got && std::memcmp(Window.data() + Vbri, "VBRI", 4) == 0) return true;
    return false;  // the first frame decides
  }
  return false;
}

}  // namespace tunevert::wmvcore
