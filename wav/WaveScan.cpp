#include "wav/WaveScan.h"

#include <algorithm>
#include <vector>

#include "platform/LittleEndian.h"

namespace tunevert {

namespace {

using namespace wavbytes;

// How far junk ahead of "RIFF", and between it and "WAVE", is searched.
constexpr int64_t kSlideLimit = 65536;
// Enough for any "fmt " body this reader understands (MS ADPCM with 32 pairs is 150 bytes).
constexpr uint32_t kFmtLimit = 1024;

bool ReadFully(TStream& S, uint8_t* Buffer, int64_t Count) {
  int64_t done = 0;
  while (done < Count) {
    const int64_t n = S.Read(Buffer + done, Count - done);
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

class TFieldReader {
 public:
  explicit TFieldReader(bool BigEndian) : FBig(BigEndian) {}
  bool BigEndian() const { return FBig; }
  uint16_t U16(const uint8_t* p) const {
    return FBig ? static_cast<uint16_t>((p[0] << 8) | p[1]) : ReadLE16(p);
  }
  uint32_t U32(const uint8_t* p) const {
    return FBig ? (uint32_t{U16(p)} << 16) | U16(p + 2) : ReadLE32(p);
  }

 private:
  bool FBig;
};

bool IsRiffId(const uint8_t* p, TWaveHeader& H) {
  if (SameChunkId(p, "RIFF")) return true;
  if (SameChunkId(p, "RIFX")) {
    H.BigEndian = true;
    return true;
  }
  if (SameChunkId(p, "RF64") || SameChunkId(p, "BW64")) {
    H.Wide = true;
    return true;
  }
  return false;
}

void ParseFmt(const uint8_t* b, uint32_t Size, const TFieldReader& R, TWaveHeader& H) {
  H.FormatTag = R.U16(b);
  H.Channels = R.U16(b + 2);
  H.SampleRate = R.U32(b + 4);
  H.BlockAlign = R.U16(b + 12);
  H.BitsPerSample = R.U16(b + 14);
  if (H.FormatTag == 0xFFFE) {
    H.Extensible = true;
    H.KnownSubformat = false;
    if (Size >= 40) {
      H.ValidBits = R.U16(b + 18);
      const uint8_t* guid = b + 24;
      if (std::equal(kSubtypePCM.begin(), kSubtypePCM.end(), guid)) {
        H.FormatTag = 1;
        H.KnownSubformat = true;
      } else if (std::equal(kSubtypeFloat.begin(), kSubtypeFloat.end(), guid)) {
        H.FormatTag = 3;
        H.KnownSubformat = true;
      } else if (R.BigEndian() &&
                 std::equal(kSubtypePCM.begin() + 8, kSubtypePCM.end(), guid + 8)) {
        // Big-endian writers disagree on how the GUID's first fields are swapped; the tag is
        // the one non-zero byte of the first field either way.
        const int nonzero = (guid[0] != 0) + (guid[1] != 0) + (guid[2] != 0) + (guid[3] != 0);
        const uint8_t tag = std::max({guid[0], guid[1], guid[2], guid[3]});
        if (nonzero == 1 && (tag == 1 || tag == 3)) {
          H.FormatTag = tag;
          H.KnownSubformat = true;
        }
      }
    }
  }
  if (Size >= 20) H.SamplesPerBlock = R.U16(b + 18);
  if (H.FormatTag == 2 && Size >= 22) {
    H.NumCoeff = R.U16(b + 20);
    const uint32_t held = std::min<uint32_t>((Size - 22) / 4, kMaxMSCoefSets);
    for (uint32_t i = 0; i < std::min<uint32_t>(H.NumCoeff, held); ++i) {
      H.CoefSets[i].Coef1 = static_cast<int16_t>(R.U16(b + 22 + 4 * i));
      H.CoefSets[i].Coef2 = static_cast<int16_t>(R.U16(b + 24 + 4 * i));
    }
    // Pairs the chunk does not hold cannot be used.
    if (H.NumCoeff > held && H.NumCoeff <= kMaxMSCoefSets) H.NumCoeff = 0;
  }
}

}  // namespace

bool ScanWaveHeader(TStream& S, TWaveHeader& H) {
  H = TWaveHeader{};
  const int64_t start = S.Position();
  const int64_t end = S.Size();

  // Nearly every file starts with its header, so the first page is looked at first and the
  // whole slide window only when the header is not in it; both find the same header.
  const int64_t window = std::clamp<int64_t>(end - start, 0, 2 * kSlideLimit);
  std::vector<uint8_t> head;
  int64_t got = 0;
  int64_t riff = 0;
  int64_t wave = 0;
  bool found = false;
  for (const int64_t want : {std::min<int64_t>(window, 4096), window}) {
    if (found || want <= got) continue;
    head.resize(static_cast<size_t>(want));
    S.Seek(start, TSeekOrigin::soBeginning);
    got = S.Read(head.data(), want);
    if (got < 12) return false;
    H.BigEndian = H.Wide = false;
    riff = 0;
    while (riff + 12 <= std::min(got, kSlideLimit + 4) && !IsRiffId(&head[riff], H)) ++riff;
    if (riff + 12 > got || !IsRiffId(&head[riff], H)) continue;
    wave = riff + 8;
    while (wave + 4 <= got && wave - riff < kSlideLimit && !SameChunkId(&head[wave], "WAVE"))
      ++wave;
    found = wave + 4 <= got && SameChunkId(&head[wave], "WAVE");
  }
  if (!found) return false;
  H.RiffSizeOffset = start + riff + 4;
  const TFieldReader R(H.BigEndian);

  bool gotFmt = false;
  bool haveDs64 = false;
  uint64_t ds64Data = 0;
  uint64_t ds64Samples = 0;
  int64_t pos = start + wave + 4;
  // A "data" chunk met before "fmt " (some writers put it first): taken once "fmt " is found.
  int64_t earlyData = -1;
  uint32_t earlySize = 0;
  const auto takeData = [&](int64_t At, uint32_t Size, bool Last) {
    const int64_t body = At + 8;
    const int64_t avail = end - body;
    H.DataSizeOffset = At + 4;
    H.DataOffset = body;
    const bool wide = H.Wide && haveDs64 && Size == 0xFFFFFFFF;
    const uint64_t claimed = wide ? ds64Data : Size;
    // A placeholder means "to the end of the file", which only the last chunk can mean.
    const bool placeholder = Last && (Size == 0 || (Size == 0xFFFFFFFF && !wide));
    H.DataSizeClaimed = !placeholder && claimed <= static_cast<uint64_t>(avail);
    H.DataSize = H.DataSizeClaimed ? claimed : static_cast<uint64_t>(avail);
    if (H.HasFact && H.FactCount == 0xFFFFFFFF && haveDs64) H.FactCount = ds64Samples;
    S.Seek(body, TSeekOrigin::soBeginning);
    return true;
  };
  uint8_t hdr[8];
  while (pos + 8 <= end) {
    S.Seek(pos, TSeekOrigin::soBeginning);
    if (!ReadFully(S, hdr, 8)) return false;
    const uint32_t size = R.U32(hdr + 4);
    const int64_t body = pos + 8;
    const int64_t avail = end - body;
    if (SameChunkId(hdr, "data") && gotFmt) return takeData(pos, size, true);
    if (SameChunkId(hdr, "data") && earlyData < 0 && static_cast<int64_t>(size) <= avail) {
      earlyData = pos;
      earlySize = size;
    }
    if (static_cast<int64_t>(size) > avail) return false;
    std::vector<uint8_t> b;
    auto readBody = [&](uint32_t n) {
      b.assign(n, 0);
      return ReadFully(S, b.data(), n);
    };
    if (SameChunkId(hdr, "fmt ")) {
      if (size < 16 || !readBody(std::min(size, kFmtLimit))) return false;
      ParseFmt(b.data(), static_cast<uint32_t>(b.size()), R, H);
      gotFmt = true;
      if (earlyData >= 0) return takeData(earlyData, earlySize, false);
    } else if (SameChunkId(hdr, "fact") && size >= 4) {
      if (!readBody(4)) return false;
      H.HasFact = true;
      H.FactOffset = body;
      H.FactCount = R.U32(b.data());
    } else if (SameChunkId(hdr, "ds64") && H.Wide && size >= 24) {
      if (!readBody(24)) return false;
      haveDs64 = true;
      ds64Data = ReadLE64(b.data() + 8);
      ds64Samples = ReadLE64(b.data() + 16);
    }
    pos = body + size;
    // Writers pad odd-sized chunks with one zero byte; a chunk id never starts with one.
    if ((size & 1) != 0 && pos < end) {
      uint8_t pad = 1;
      S.Seek(pos, TSeekOrigin::soBeginning);
      if (ReadFully(S, &pad, 1) && pad == 0) ++pos;
    }
  }
  return false;
}

}  // namespace tunevert
