#include "wav/WaveConverter.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "platform/Exception.h"
#include "platform/LittleEndian.h"

namespace tunevert {

namespace {

constexpr int32_t kSaveFailed = 286;

// Reads up to Count bytes, fewer only at the end of the stream.
int64_t ReadFully(TStream& Stream, void* Buffer, int64_t Count) {
  auto* out = static_cast<uint8_t*>(Buffer);
  int64_t done = 0;
  while (done < Count) {
    const int64_t n = Stream.Read(out + done, Count - done);
    if (n <= 0) break;
    done += n;
  }
  return done;
}

// Positioned reads through a read-ahead window: the chunk search steps a byte at a time,
// which must not cost two system calls per byte on a file.
class TReadWindow {
 public:
  explicit TReadWindow(TStream& Stream) : FStream(Stream), FBuf(kSize) {}

  int64_t ReadAt(int64_t Offset, void* Buffer, int64_t Count) {
    auto* out = static_cast<uint8_t*>(Buffer);
    int64_t done = 0;
    while (done < Count) {
      const int64_t at = Offset + done;
      if (at < FStart || at >= FStart + FLength) {
        if (Count - done >= kSize) {
          // Large reads go straight into the caller's buffer.
          FStream.Seek(at, TSeekOrigin::soBeginning);
          const int64_t n = ReadFully(FStream, out + done, Count - done);
          return done + n;
        }
        FStream.Seek(at, TSeekOrigin::soBeginning);
        FStart = at;
        FLength = ReadFully(FStream, FBuf.data(), kSize);
        if (FLength == 0) break;
      }
      const int64_t n = std::min(Count - done, FStart + FLength - at);
      std::memcpy(out + done, FBuf.data() + (at - FStart), static_cast<size_t>(n));
      done += n;
    }
    return done;
  }

 private:
  static constexpr int64_t kSize = 65536;
  TStream& FStream;
  std::vector<uint8_t> FBuf;
  int64_t FStart = 0;
  int64_t FLength = 0;
};

// Closes the conversion stream on every way out of Convert.
class TStreamCloser {
 public:
  explicit TStreamCloser(HACMSTREAM& Stream) : FStream(Stream) {}
  ~TStreamCloser() {
    if (FStream != nullptr) acmStreamClose(FStream, 0);
  }
  MMRESULT Close() { return acmStreamClose(std::exchange(FStream, nullptr), 0); }

 private:
  HACMSTREAM& FStream;
};

}  // namespace

TWaveConverter::TWaveConverter() {
  uint32_t size = 0;
  if (acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &size) != MMSYSERR_NOERROR) size = 0;
  // The records hold 129 bytes whatever the codecs report.
  FMaxFmtSize = std::min(size, TACMWaveFormat::kSize);
  std::memset(CurrentFormat.RawData, 0, FMaxFmtSize);
  std::memset(NewFormat.RawData, 0, FMaxFmtSize);
}

int32_t TWaveConverter::LoadStream(TStream& Stream) {
  uint8_t head[12];
  int64_t n = ReadFully(Stream, head, sizeof head);
  if (n == 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0) {
    const int64_t size = Stream.Size();
    TReadWindow window(Stream);
    // An unknown id moves the search on by one byte; after a chunk it resumes just before
    // the end of the chunk's payload.
    while (n < size - 1) {
      n -= 7;
      uint8_t chunk[8];
      const int64_t got = window.ReadAt(n, chunk, sizeof chunk);
      n += got;
      if (got < 8) break;
      // Sizes are only believed as far as the stream reaches.
      const int64_t body = std::min<int64_t>(ReadLE32(chunk + 4), size - n);
      if (std::memcmp(chunk, "fmt ", 4) == 0) {
        std::vector<uint8_t> fmt(static_cast<size_t>(body));
        const int64_t read = window.ReadAt(n, fmt.data(), body);
        n += read;
        // A longer record keeps its first 129 bytes; a shorter one leaves the rest zero.
        std::memset(CurrentFormat.RawData, 0, TACMWaveFormat::kSize);
        // An empty "fmt " chunk leaves the record zero (and gives memcpy no buffer at all).
        if (read > 0)
          std::memcpy(CurrentFormat.RawData, fmt.data(),
                      static_cast<size_t>(std::min<int64_t>(read, TACMWaveFormat::kSize)));
      } else if (std::memcmp(chunk, "fact", 4) == 0) {
        n += body;
      } else if (std::memcmp(chunk, "data", 4) == 0 && body > 0) {
        FContent.SetSize(0);
        FContent.Seek(0, TSeekOrigin::soBeginning);
        std::vector<uint8_t> part(static_cast<size_t>(std::min<int64_t>(body, 1 << 20)));
        int64_t left = body;
        while (left > 0) {
          const int64_t read =
              window.ReadAt(n, part.data(), std::min<int64_t>(left, std::ssize(part)));
          if (read <= 0) break;
          FContent.Write(part.data(), read);
          n += read;
          left -= read;
        }
      }
    }
  }
  FContent.Seek(0, TSeekOrigin::soBeginning);
  return 0;
}

int32_t TWaveConverter::Convert() {
  HACMSTREAM stream = nullptr;
  TStreamCloser closer(stream);
  MMRESULT rc = acmStreamOpen(&stream, nullptr, &CurrentFormat.Format(), &NewFormat.Format(),
                              nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME);
  if (rc != MMSYSERR_NOERROR) return static_cast<int32_t>(rc);
  if (FContent.Size() > UINT32_MAX) return ACMERR_NOTPOSSIBLE;
  const auto srcLength = static_cast<uint32_t>(FContent.Size());
  uint32_t dstLength = 0;
  rc = acmStreamSize(stream, srcLength, &dstLength, ACM_STREAMSIZEF_SOURCE);
  if (rc != MMSYSERR_NOERROR) return static_cast<int32_t>(rc);
  // Refused as too large to hold rather than left to fail allocating.
  if (dstLength > kMaxPcmBytes) return MMSYSERR_NOMEM;
  std::vector<uint8_t> dst;
  try {
    dst.assign(dstLength, 0);
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  }
  FContent.Seek(0, TSeekOrigin::soBeginning);

  ACMSTREAMHEADER header{};
  header.cbStruct = sizeof header;
  header.pbSrc = FContent.Memory();
  header.cbSrcLength = srcLength;
  header.pbDst = dst.data();
  header.cbDstLength = dstLength;
  rc = acmStreamPrepareHeader(stream, &header, 0);
  if (rc != MMSYSERR_NOERROR) return static_cast<int32_t>(rc);
  // One call for the whole payload; END makes the codec hand out the frames it still holds.
  rc = acmStreamConvert(stream, &header, ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_END);
  if (rc != MMSYSERR_NOERROR) {
    acmStreamUnprepareHeader(stream, &header, 0);
    return static_cast<int32_t>(rc);
  }
  rc = acmStreamUnprepareHeader(stream, &header, 0);
  if (rc == MMSYSERR_NOERROR) rc = closer.Close();
  if (rc != MMSYSERR_NOERROR) return static_cast<int32_t>(rc);
  // A payload that yields no audio at all is not a source.
  if (header.cbDstLengthUsed == 0) return ACMERR_NOTPOSSIBLE;

  std::memcpy(CurrentFormat.RawData, NewFormat.RawData, FMaxFmtSize);
  // The content is the PCM produced, without the unused rest of the estimate.
  FContent.SetSize(0);
  FContent.Seek(0, TSeekOrigin::soBeginning);
  FContent.Write(dst.data(), header.cbDstLengthUsed);
  FContent.Seek(0, TSeekOrigin::soBeginning);
  return 0;
}

int32_t TWaveConverter::SaveWavToStream(TStream& MS) {
  const int64_t position = FContent.Position();
  try {
    uint8_t head[44];
    std::memcpy(head, "RIFF", 4);
    WriteLE32(head + 4, 0);
    std::memcpy(head + 8, "WAVE", 4);
    std::memcpy(head + 12, "fmt ", 4);
    WriteLE32(head + 16, 16);
    std::memcpy(head + 20, CurrentFormat.RawData, 16);
    std::memcpy(head + 36, "data", 4);
    WriteLE32(head + 40, static_cast<uint32_t>(FContent.Size()));
    MS.WriteBuffer(head, sizeof head);
    if (FContent.Size() > 0) MS.WriteBuffer(FContent.Memory(), FContent.Size());
    MS.Seek(0, TSeekOrigin::soBeginning);
    uint8_t riff[8];
    std::memcpy(riff, "RIFF", 4);
    WriteLE32(riff + 4, static_cast<uint32_t>(MS.Size() - 8));
    MS.WriteBuffer(riff, sizeof riff);
  } catch (const Exception&) {
    FContent.Seek(position, TSeekOrigin::soBeginning);
    return kSaveFailed;
  }
  FContent.Seek(position, TSeekOrigin::soBeginning);
  return 0;
}

}  // namespace tunevert
