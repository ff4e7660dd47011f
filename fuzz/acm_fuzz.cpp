// Feeds MPEG Layer-3 data in a well-formed WAV file to the WAV reader, so every input goes
// through the compression manager's MP3 decoder rather than the header checks. Input: one
// byte of channels, rate and "fact chunk present"; two bytes of block size; four of the
// fact chunk's sample count; then the data chunk's bytes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/InputDriver.h"
#include "platform/LittleEndian.h"
#include "platform/Stream.h"
#include "wav/AuWave.h"

using namespace tunevert;

namespace {

constexpr std::array<uint32_t, 9> kRates = {8000,  11025, 12000, 16000, 22050,
                                            24000, 32000, 44100, 48000};
constexpr size_t kParams = 7;

void PutId(std::vector<uint8_t>& V, const char* Id) {
  V.insert(V.end(), Id, Id + 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < kParams) return 0;
  const uint32_t channels = (Data[0] & 1) + 1;
  const uint32_t rate = kRates[((Data[0] >> 1) & 15) % kRates.size()];
  const bool fact = (Data[0] & 0x80) != 0;
  const uint32_t blockSize = ReadLE16(Data + 1);
  const uint32_t factSamples = ReadLE32(Data + 3);
  const auto payload = static_cast<uint32_t>(Size - kParams);

  std::vector<uint8_t> wav;
  PutId(wav, "RIFF");
  AppendLE32(wav, 0);
  PutId(wav, "WAVE");
  PutId(wav, "fmt ");
  AppendLE32(wav, 30);
  AppendLE16(wav, 0x55);  // MPEG Layer-3
  AppendLE16(wav, channels);
  AppendLE32(wav, rate);
  AppendLE32(wav, 16000);  // average bytes per second: 128 kbit/s
  AppendLE16(wav, 1);
  AppendLE16(wav, 0);
  AppendLE16(wav, 12);
  AppendLE16(wav, 1);  // wID: MPEG
  AppendLE32(wav, 2);  // padding off
  AppendLE16(wav, blockSize);
  AppendLE16(wav, 1);
  AppendLE16(wav, 1393);
  if (fact) {
    PutId(wav, "fact");
    AppendLE32(wav, 4);
    AppendLE32(wav, factSamples);
  }
  PutId(wav, "data");
  AppendLE32(wav, payload);
  wav.insert(wav.end(), Data + kParams, Data + Size);
  if (payload & 1) wav.push_back(0);
  const auto riff = static_cast<uint32_t>(wav.size() - 8);
  WriteLE32(wav.data() + 4, riff);

  TMemoryStream stream;
  stream.Write(wav.data(), static_cast<int64_t>(wav.size()));
  stream.SetPosition(0);
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetStream(&stream);
  fuzz::DriveInput(*in);
  return 0;
}
