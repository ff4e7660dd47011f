// What reading every output back costs: a WAV source of 44.1 kHz stereo converted into each
// output format through the delivery tap, then verified. Prints, per format, the median
// encode and verify times and verify / (encode + verify). For WAV to WAV it also times what
// the tap costs there, where it turns the kernel copy off: the kernel copy, the same run
// through memory, and through the tap.
//
// Usage: bench_verify [SECONDS_OF_AUDIO=60] [ROUNDS=5] [copy]   (copy: WAV to WAV only)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/OutputVerifier.h"
#include "bench/MusicLikeSource.h"
#include "flac/AuFLACOut.h"
#include "mp3enc/AuLame.h"
#include "opus/AuOpus.h"
#include "pipeline/AuDeliveryTap.h"
#include "vorbis/AuVorbisOut.h"
#include "wav/AuWave.h"
#include "winmedia/AuWMAOut.h"
#include "winmedia/wmfintf.h"

using namespace tunevert;
namespace fs = std::filesystem;

namespace {

// The batch's outputs at their default settings.
std::unique_ptr<TAuFileOut> MakeOutput(const std::string& Format) {
  if (Format == ".wav") {
    auto out = std::make_unique<TWaveOut>();
    out->SetWavType(TWavType::wtPCM);
    return out;
  }
  if (Format == ".flac") return std::make_unique<TFLACOut>();
  if (Format == ".mp3") {
    auto out = std::make_unique<TMP3Out>();
    out->SetBitRate(TMP3BitRate::mbr160);
    return out;
  }
  if (Format == ".wma") {
    auto out = std::make_unique<TWMAOut>();
    out->SetDesiredBitrate(160);
    return out;
  }
  if (Format == ".ogg") return std::make_unique<TVorbisOut>();
  auto out = std::make_unique<TOpusOut>();
  out->SetBitrateKbps(TOpusOut::kDefaultKbps);
  return out;
}

// A pass-through that is not a streamed input, as any stage between a WAV source and a WAV
// output is: the output then reads the samples through memory.
class TPlainPassThrough final : public TAuInput {
 public:
  explicit TPlainPassThrough(TAuInput& Source) : TAuInput(nullptr), FSource(Source) {}

 protected:
  uint32_t GetBitsPerSample() override { return FSource.BitsPerSample(); }
  uint32_t GetChannels() override { return FSource.Channels(); }
  uint32_t GetSampleRate() override { return FSource.SampleRate(); }
  void StartInput() override {
    FSource.Init();
    FSize = FSource.Size();
    Busy = true;
  }
  void StopInput() override {
    Busy = false;
    FSource.Flush();
  }
  void ProduceData(void*& Buffer, uint32_t& Bytes) override {
    FSource.GetData(Buffer, Bytes);
    FPosition += Bytes;
  }

 private:
  TAuInput& FSource;
};

double Seconds(const std::function<void()>& Work) {
  const auto start = std::chrono::steady_clock::now();
  Work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> Values) {
  std::sort(Values.begin(), Values.end());
  return Values[Values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const bool copyOnly = argc > 3 && std::string(argv[3]) == "copy";
  LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false);
  char tmpl[] = "/tmp/tunevert-verify-bench-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string source = dir + "/source.wav";
  bench::WriteMusicLikeWav(source, seconds);
  std::printf("%d s of 44.1 kHz stereo from WAV, median of %d rounds\n\n", seconds, rounds);
  std::printf("| output | encode ms | verify ms | verify share |\n| --- | ---: | ---: | ---: |\n");
  for (const std::string format : {".wav", ".flac", ".mp3", ".wma", ".ogg", ".opus"}) {
    if (copyOnly) break;
    const std::string target = dir + "/out" + format;
    std::vector<double> encode, verify;
    for (int round = 0; round < rounds; ++round) {
      fs::remove(target);
      TWaveIn in;
      in.SetFileName(source);
      TAuDeliveryTap tap;
      tap.SetInput(&in);
      std::unique_ptr<TAuFileOut> out = MakeOutput(format);
      out->SetInput(&tap);
      out->SetFileName(target);
      encode.push_back(Seconds([&] { out->BlockingRun(); }));
      const TDeliveredAudio delivered = tap.Delivered();
      verify.push_back(Seconds([&] { VerifyOutput(target, format, delivered); }));
    }
    const double e = Median(encode) * 1000, v = Median(verify) * 1000;
    std::printf("| %s | %.1f | %.1f | %.1f %% |\n", format.c_str(), e, v, 100 * v / (e + v));
  }
  // WAV to WAV: what the tap's kernel-copy path is worth.
  const std::string target = dir + "/copy.wav";
  // Interleaved: the kernel copy (the source straight into the output), the same run
  // through memory (a plain pass-through), and through the tap (memory and the digest).
  std::vector<std::vector<double>> times(3);
  for (int round = 0; round < rounds; ++round) {
    for (size_t variant = 0; variant < times.size(); ++variant) {
      fs::remove(target);
      TWaveIn in;
      in.SetFileName(source);
      TPlainPassThrough through(in);
      TAuDeliveryTap tap;
      tap.SetInput(&in);
      TWaveOut out;
      out.SetWavType(TWavType::wtPCM);
      TAuInput* const inputs[] = {&in, &through, &tap};
      out.SetInput(inputs[variant]);
      out.SetFileName(target);
      times[variant].push_back(Seconds([&] { out.BlockingRun(); }));
    }
  }
  std::printf("\nWAV to WAV, ms: %.1f the kernel copy, %.1f through memory, %.1f through the tap\n",
              Median(times[0]) * 1000, Median(times[1]) * 1000, Median(times[2]) * 1000);
  fs::remove_all(dir);
  return 0;
}
