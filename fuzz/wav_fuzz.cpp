// Feeds arbitrary bytes to the WAV chunk scan and reader: RF64/RIFX/odd-chunk header walks,
// format checks, block decoding, a looping pass with seeks (refused sources included) and a
// ranged pass (which seeks into ADPCM blocks).
#include <cstddef>
#include <cstdint>

#include "fuzz/InputDriver.h"
#include "platform/Stream.h"
#include "wav/AuWave.h"
#include "wav/WaveScan.h"

using namespace tunevert;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TMemoryStream stream;
  stream.Write(Data, static_cast<int64_t>(Size));
  stream.SetPosition(0);
  TWaveHeader h;
  if (ScanWaveHeader(stream, h)) {
    // Every size the record gives has been clamped to the bytes there.
    const auto size = static_cast<int64_t>(Size);
    if (h.DataOffset > size || h.DataSize > static_cast<uint64_t>(size - h.DataOffset) ||
        stream.Position() != h.DataOffset || h.DataSizeOffset + 4 != h.DataOffset)
      __builtin_trap();
  }
  stream.SetPosition(0);
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetStream(&stream);
  fuzz::DriveInput(*in, fuzz::kMaxBlocks, true);
  return 0;
}
