#include "vorbis/OggLinks.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/Exception.h"
#include "platform/Interrupt.h"
#include "platform/LittleEndian.h"

namespace tunevert {

namespace {

constexpr size_t kHeader = 27;
constexpr size_t kMaxPage = kHeader + 255 + 255 * 255;

// The page checksum (polynomial 0x04c11db7, most significant bit first), eight bytes a step:
// junk full of page-start patterns makes the scan check up to a whole page per byte.
using TCrcTables = std::array<std::array<uint32_t, 256>, 8>;

const TCrcTables& CrcTables() {
  static const TCrcTables tables = [] {
    TCrcTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t r = i << 24;
      for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) != 0 ? (r << 1) ^ 0x04c11db7u : r << 1;
      t[0][i] = r;
    }
    for (size_t k = 1; k < 8; ++k)
      for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
    return t;
  }();
  return tables;
}

uint32_t BigEndian32(const uint8_t* Data) {
  return uint32_t{Data[0]} << 24 | uint32_t{Data[1]} << 16 | uint32_t{Data[2]} << 8 | Data[3];
}

uint32_t Crc(uint32_t Value, const uint8_t* Data, size_t Size) {
  const TCrcTables& t = CrcTables();
  for (; Size >= 8; Data += 8, Size -= 8) {
    const uint32_t hi = Value ^ BigEndian32(Data);
    const uint32_t lo = BigEndian32(Data + 4);
    Value = t[7][hi >> 24] ^ t[6][(hi >> 16) & 0xff] ^ t[5][(hi >> 8) & 0xff] ^ t[4][hi & 0xff] ^
            t[3][lo >> 24] ^ t[2][(lo >> 16) & 0xff] ^ t[1][(lo >> 8) & 0xff] ^ t[0][lo & 0xff];
  }
  for (; Size > 0; ++Data, --Size) Value = (Value << 8) ^ t[0][((Value >> 24) ^ *Data) & 0xff];
  return Value;
}

// The length of the whole, intact page at Data, or 0.
size_t PageLength(const uint8_t* Data, size_t Available) {
  // Structure version 0, and no header flag besides continued, first and last page.
  if (Available < kHeader || Data[4] != 0 || (Data[5] & ~0x07) != 0) return 0;
  const size_t segments = Data[26];
  if (Available < kHeader + segments) return 0;
  size_t length = kHeader + segments;
  for (size_t s = 0; s < segments; ++s) length += Data[kHeader + s];
  if (Available < length) return 0;
  return OggPageChecksum(Data, length) == ReadLE32(Data + 22) ? length : 0;
}

[[noreturn]] void RaiseInterrupted() {
  throw EAuException("Opening the file was interrupted");
}

}  // namespace

uint32_t OggPageChecksum(const uint8_t* Page, size_t Size) {
  static constexpr uint8_t kZeros[4] = {};
  uint32_t crc = Crc(0, Page, 22);
  crc = Crc(crc, kZeros, 4);
  return Crc(crc, Page + 26, Size - 26);
}

std::vector<int64_t> OggLinkStarts(TStream& Stream) {
  std::vector<int64_t> starts;
  // Room for a whole page of the largest size past any candidate, and reads of 64 KiB.
  std::vector<uint8_t> buffer(kMaxPage + (size_t{1} << 16));
  int64_t base = 0;  // the stream offset of buffer[0]
  size_t filled = 0, at = 0;
  bool ended = false;
  // The pages at the very start begin the first link, whatever precedes them.
  bool previousFirst = true;
  Stream.Seek(0, TSeekOrigin::soBeginning);
  for (;;) {
    // Checked for every candidate: junk can cost a whole page's checksum each.
    if (InterruptedHere()) RaiseInterrupted();
    if (!ended && filled - at < kMaxPage) {
      std::memmove(buffer.data(), buffer.data() + at, filled - at);
      base += static_cast<int64_t>(at);
      filled -= at;
      at = 0;
      while (!ended && filled < buffer.size()) {
        const int64_t got =
            Stream.Read(buffer.data() + filled, static_cast<int64_t>(buffer.size() - filled));
        if (got <= 0)
          ended = true;
        else
          filled += static_cast<size_t>(got);
      }
    }
    const uint8_t* end = buffer.data() + filled;
    const auto* found =
        static_cast<const uint8_t*>(memmem(buffer.data() + at, filled - at, "OggS", 4));
    if (found == nullptr) {
      if (ended) break;
      at = filled - std::min<size_t>(filled - at, 3);  // a pattern cut by the buffer's end
      continue;
    }
    at = static_cast<size_t>(found - buffer.data());
    if (!ended && filled - at < kMaxPage) continue;  // refill behind the candidate first
    const size_t length = PageLength(found, static_cast<size_t>(end - found));
    if (length == 0) {
      ++at;
      continue;
    }
    const bool first = (found[5] & 0x02) != 0;
    const int64_t offset = base + static_cast<int64_t>(at);
    if (first && !previousFirst && offset > 0) starts.push_back(offset);
    previousFirst = first;
    at += length;
  }
  return starts;
}

int64_t OggOpenablePrefix(const std::vector<int64_t>& Starts, int64_t Size,
                          const std::function<bool(int64_t Begin, int64_t End)>& OpensAlone) {
  int64_t begin = 0;
  for (size_t k = 0; k <= Starts.size(); ++k) {
    if (InterruptedHere()) RaiseInterrupted();
    const int64_t end = k < Starts.size() ? Starts[k] : Size;
    if (end <= begin) continue;
    if (!OpensAlone(begin, end)) return begin;
    begin = end;
  }
  return Size;
}

}  // namespace tunevert
