#pragma once

#include <cstdint>

#include "platform/Stream.h"
#include "platform/msacm/msacm.h"

namespace tunevert {

// A wave format record with room for a codec's extra bytes after the common header.
struct TACMWaveFormat {
  static constexpr uint32_t kSize = 129;
  // Byte storage: the header view below lives in it.
  uint8_t RawData[kSize] = {};
  WAVEFORMATEX& Format() { return *reinterpret_cast<WAVEFORMATEX*>(RawData); }
  const WAVEFORMATEX& Format() const { return *reinterpret_cast<const WAVEFORMATEX*>(RawData); }
};

// Holds the payload of a compressed WAV file in memory, converts it to PCM through the
// compression manager and writes the result as a PCM WAV image.
class TWaveConverter final : public TStream {
 public:
  TWaveConverter();

  int64_t Read(void* Buffer, int64_t Count) override { return FContent.Read(Buffer, Count); }
  int64_t Write(const void* Buffer, int64_t Count) override {
    return FContent.Write(Buffer, Count);
  }
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override {
    return FContent.Seek(Offset, Origin);
  }
  int64_t Size() override { return FContent.Size(); }
  void SetSize(int64_t NewSize) override { FContent.SetSize(NewSize); }
  const std::vector<uint8_t>& Data() const { return FContent.Data(); }

  // Takes the "fmt " record and the "data" payload of a RIFF/WAVE stream; loads nothing
  // from anything else. Always 0.
  int32_t LoadStream(TStream& Stream);
  // Converts the content from CurrentFormat to NewFormat; 0 or the first failing call's code.
  int32_t Convert();
  // Writes a 44-byte-header PCM WAV image of the content; 0, or 286 when writing fails.
  int32_t SaveWavToStream(TStream& MS);

  uint32_t MaxFmtSize() const { return FMaxFmtSize; }

  TACMWaveFormat CurrentFormat;
  TACMWaveFormat NewFormat;

  // A PCM estimate above this is refused: the whole result has to fit in memory twice.
  static constexpr uint32_t kMaxPcmBytes = 0x80000000u;

 private:
  uint32_t FMaxFmtSize = 0;
  TMemoryStream FContent;
};

}  // namespace tunevert
