#include "platform/wmvcore/HeaderScan.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "platform/LittleEndian.h"

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

bool SameGuid(const uint8_t* P, const TGuidBytes& G) {
  return std::memcmp(P, G.data(), G.size()) == 0;
}

// Junk before the first frame is looked through this far; tags are skipped before it.
constexpr uint64_t MaxJunk = 1u << 20;
// Frames in a row that make a chain, unless the audio ends sooner.
constexpr int ChainFrames = 3;

// Header bits that stay the same from frame to frame of one stream: sync, version, layer,
// rate, channel mode and the flags after it.
constexpr uint32_t StreamMask = 0xFFFE0CCF;

uint32_t BigEndian32(const uint8_t* P) {
  return (uint32_t{P[0]} << 24) | (uint32_t{P[1]} << 16) | (uint32_t{P[2]} << 8) | P[3];
}

// Bytes of the Layer III frame whose header is at H, and its samples; 0 when not a header.
uint32_t Layer3FrameBytes(const uint8_t* H, uint32_t* Samples = nullptr) {
  if (H[0] != 0xFF || (H[1] & 0xE0) != 0xE0) return 0;
  const int Version = (H[1] >> 3) & 3;  // 3 = MPEG-1, 2 = MPEG-2, 0 = MPEG-2.5
  const int Layer = (H[1] >> 1) & 3;    // 1 = Layer III
  const int BitrateIndex = H[2] >> 4;
  const int RateIndex = (H[2] >> 2) & 3;
  if (Version == 1 || Layer != 1 || BitrateIndex == 0 || BitrateIndex == 15 || RateIndex == 3)
    return 0;
  if ((H[3] & 3) == 2) return 0;  // reserved emphasis
  static constexpr uint16_t Mpeg1Kbps[15] = {0,   32,  40,  48,  56,  64,  80, 96,
                                             112, 128, 160, 192, 224, 256, 320};
  static constexpr uint16_t Mpeg2Kbps[15] = {0,  8,  16, 24,  32,  40,  48, 56,
                                             64, 80, 96, 112, 128, 144, 160};
  static constexpr uint32_t Mpeg1Rates[3] = {44100, 48000, 32000};
  const bool Mpeg1 = Version == 3;
  const uint32_t Kbps = (Mpeg1 ? Mpeg1Kbps : Mpeg2Kbps)[BitrateIndex];
  const uint32_t Rate = Mpeg1Rates[RateIndex] >> (Mpeg1 ? 0 : Version == 2 ? 1 : 2);
  const uint32_t PerFrame = Mpeg1 ? 1152 : 576;
  if (Samples) *Samples = PerFrame;
  return PerFrame / 8 * Kbps * 1000 / Rate + ((H[2] >> 1) & 1);
}

uint64_t SynchsafeSize(const uint8_t* P) {
  for (int i = 0; i < 4; ++i)
    if (P[i] & 0x80) return UINT64_MAX;
  return (uint64_t{P[0]} << 21) | (uint64_t{P[1]} << 14) | (uint64_t{P[2]} << 7) | P[3];
}

// Walks back from the end over an ID3v1 tag, APEv2 tags and one Lyrics3 block, setting
// AudioEnd and the Lyrics3 bounds.
void FindTrailers(IStream& Source, uint64_t Base, TMpegLayout& Layout) {
  uint64_t End = Layout.Size;
  uint8_t Tag[3];
  if (End >= 128 && ReadAt(Source, Base + End - 128, Tag, 3) == 3 &&
      std::memcmp(Tag, "TAG", 3) == 0)
    End -= 128;
  for (int Tags = 0; Tags < 4 && End >= 32; ++Tags) {
    uint8_t Footer[32];
    if (ReadAt(Source, Base + End - 32, Footer, 32) != 32) break;
    const uint8_t* Mark = Footer + 23;
    uint64_t Bytes = 0;
    if (std::memcmp(Footer, "APETAGEX", 8) == 0) {
      Bytes = ReadLE32(Footer + 12);
      if (ReadLE32(Footer + 20) & 0x80000000u) Bytes += 32;  // a header as well
      if (Bytes < 32) break;
    } else if (std::memcmp(Mark, "LYRICS200", 9) == 0 && Layout.LyricsEnd == 0) {
      for (int i = 0; i < 6; ++i) {
        const uint8_t Digit = Footer[17 + i];
        if (Digit < '0' || Digit > '9') return;
        Bytes = Bytes * 10 + (Digit - '0');
      }
      Bytes += 15;  // the size field and the end mark
      uint8_t Begin[11];
      if (Bytes > End || ReadAt(Source, Base + End - Bytes, Begin, 11) != 11 ||
          std::memcmp(Begin, "LYRICSBEGIN", 11) != 0)
        break;
      Layout.LyricsStart = End - Bytes;
      Layout.LyricsEnd = End;
    } else if (std::memcmp(Mark, "LYRICSEND", 9) == 0 && Layout.LyricsEnd == 0) {
      // Version 1 carries no size; its text is at most 5100 bytes.
      const uint64_t Reach = std::min<uint64_t>(End, 5100 + 20);
      std::vector<uint8_t> Text(Reach);
      if (ReadAt(Source, Base + End - Reach, Text.data(), static_cast<uint32_t>(Reach)) != Reach)
        break;
      uint64_t Begin = Reach;
      for (uint64_t i = 0; i + 11 <= Reach - 9; ++i)
        if (std::memcmp(&Text[i], "LYRICSBEGIN", 11) == 0) Begin = i;
      if (Begin == Reach) break;
      Bytes = Reach - Begin;
      Layout.LyricsStart = End - Bytes;
      Layout.LyricsEnd = End;
    } else {
      break;
    }
    if (Bytes > End) break;
    End -= Bytes;
  }
  Layout.AudioEnd = End;
}

}  // namespace

std::optional<TMpegLayout> ScanMpegLayout(IStream& Source, uint64_t Base) {
  STATSTG Stat{};
  if (Source.Stat(&Stat, 1) != S_OK || Stat.cbSize <= Base) return std::nullopt;
  TMpegLayout Layout;
  Layout.Size = Stat.cbSize - Base;
  uint64_t At = 0;
  for (uint8_t Id3[10]; At + 10 <= Layout.Size;) {
    if (ReadAt(Source, Base + At, Id3, 10) != 10 || std::memcmp(Id3, "ID3", 3) != 0 ||
        Id3[3] == 0xFF || Id3[4] == 0xFF)
      break;
    const uint64_t Bytes = SynchsafeSize(Id3 + 6);
    if (Bytes == UINT64_MAX) break;
    At += 10 + Bytes + ((Id3[5] & 0x10) ? 10 : 0);
  }
  if (At >= Layout.Size) return std::nullopt;
  Layout.TagsEnd = At;
  FindTrailers(Source, Base, Layout);
  const uint64_t AudioEnd = Layout.AudioEnd;
  if (AudioEnd <= At) return std::nullopt;

  constexpr uint32_t MaxFrame = 2881;  // 320 kbit/s at 32 kHz with padding, and then some
  constexpr uint64_t Slack = ChainFrames * MaxFrame + 4;
  // The window grows only while junk goes on: most files start with their first frame.
  std::vector<uint8_t> Window;
  uint64_t i = 0;
  for (uint64_t Want = 1u << 16;; Want *= 4) {
    const uint64_t Reach = std::min(Want, MaxJunk);
    const uint64_t Span = std::min(AudioEnd - At, Reach + Slack);
    Window.resize(Span);
    if (ReadAt(Source, Base + At, Window.data(), static_cast<uint32_t>(Span)) != Span)
      return std::nullopt;
    for (; i + 4 <= std::min(Span, Reach); ++i) {
      uint32_t Samples = 0;
      const uint32_t First = Layer3FrameBytes(&Window[i], &Samples);
      if (First == 0) continue;
      const uint32_t Header = BigEndian32(&Window[i]) & StreamMask;
      uint64_t Next = i + First;
      int Chain = 1;
      bool ReachedEnd = false;
      while (Chain < ChainFrames) {
        // Fewer than a header's bytes left: no other frame can follow.
        if (At + Next + 4 > AudioEnd) {
          ReachedEnd = true;
          break;
        }
        if (Next + 4 > Span) break;
        const uint32_t Bytes = Layer3FrameBytes(&Window[Next]);
        if (Bytes == 0 || (BigEndian32(&Window[Next]) & StreamMask) != Header) break;
        Next += Bytes;
        ++Chain;
      }
      // A short chain counts only when the audio really ends with it.
      if (Chain < ChainFrames && !ReachedEnd) continue;
      Layout.FirstFrame = At + i;
      std::memcpy(Layout.FirstHeader, &Window[i], 4);
      Layout.FrameSamples = Samples;
      Layout.LoneFrame = Chain == 1;
      return Layout;
    }
    if (Reach >= MaxJunk || Span >= AudioEnd - At) return std::nullopt;
  }
}

bool AsfHeaderIsEncrypted(IStream& Source, uint64_t Base) {
  uint8_t Head[30];
  if (ReadAt(Source, Base, Head, sizeof Head) != sizeof Head) return false;
  if (!SameGuid(Head, AsfHeaderObject)) return false;
  const uint64_t HeaderSize = std::min<uint64_t>(ReadLE64(Head + 16), MaxAsfHeader);
  const uint64_t Objects = ReadLE32(Head + 24);
  uint64_t Offset = sizeof Head;
  for (uint64_t i = 0; i < Objects && Offset + 24 <= HeaderSize; ++i) {
    uint8_t Object[24];
    if (ReadAt(Source, Base + Offset, Object, sizeof Object) != sizeof Object) return false;
    if (SameGuid(Object, AsfContentEncryption) || SameGuid(Object, AsfExtendedContentEncryption))
      return true;
    const uint64_t Size = ReadLE64(Object + 16);
    // A broken size would loop forever, or wrap the offset back into the header.
    if (Size < 24 || Size > HeaderSize - Offset) return false;
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

int64_t AdtsDurationCns(IStream& Source, uint64_t Base) {
  static constexpr uint32_t Rates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                         22050, 16000, 12000, 11025, 8000,  7350};
  STATSTG Stat{};
  if (Source.Stat(&Stat, 1) != S_OK || Stat.cbSize <= Base) return -1;
  const uint64_t Size = Stat.cbSize - Base;
  uint64_t At = 0;
  for (uint8_t Id3[10]; At + 10 <= Size;) {
    if (ReadAt(Source, Base + At, Id3, 10) != 10 || std::memcmp(Id3, "ID3", 3) != 0) break;
    const uint64_t Bytes = SynchsafeSize(Id3 + 6);
    if (Bytes == UINT64_MAX) break;
    At += 10 + Bytes + ((Id3[5] & 0x10) ? 10 : 0);
  }
  // Headers are read through a window, so a long file costs a few reads, not one a frame.
  std::vector<uint8_t> Window(1 << 16);
  uint64_t WindowAt = 0;
  uint32_t WindowLength = 0;
  uint64_t Samples = 0;
  uint32_t Rate = 0;
  while (At + 7 <= Size) {
    if (At < WindowAt || At + 7 > WindowAt + WindowLength) {
      WindowAt = At;
      WindowLength = ReadAt(Source, Base + At, Window.data(), static_cast<uint32_t>(Window.size()));
      if (WindowLength < 7) break;
    }
    const uint8_t* H = &Window[At - WindowAt];
    if (H[0] != 0xFF || (H[1] & 0xF6) != 0xF0) break;  // sync, layer 0
    const uint32_t RateIndex = (H[2] >> 2) & 0x0F;
    const uint32_t Length = ((H[3] & 0x03u) << 11) | (H[4] << 3) | (H[5] >> 5);
    const uint32_t HeaderLength = (H[1] & 1) ? 7 : 9;
    if (RateIndex >= std::size(Rates) || Length < HeaderLength) break;
    // Every frame of a stream has the first one's rate; anything else is not ours.
    if (Rate != 0 && Rates[RateIndex] != Rate) break;
    Rate = Rates[RateIndex];
    // A frame cut short by the end of the file does not decode.
    if (At + Length > Size) break;
    Samples += 1024u * ((H[6] & 0x03u) + 1);
    At += Length;
  }
  if (Rate == 0) return -1;
  return static_cast<int64_t>((Samples * 10000000u + Rate / 2) / Rate);
}

}  // namespace tunevert::wmvcore
