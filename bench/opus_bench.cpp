// Opus both ways, each against its command-line tool on the same file in the same run:
// WAV to 128 kbit/s Opus against `opusenc --bitrate 128`, and Opus to WAV against
// `opusdec --rate 48000` and ffmpeg. Prints the best time of each and the ratios.
//
// Usage: bench_opus [SECONDS_OF_AUDIO=120] [ROUNDS=5]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "opus/AuOpus.h"
#include "wav/AuWave.h"

using namespace tunevert;
namespace fs = std::filesystem;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void Run(const std::string& Command) {
  if (std::system(Command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", Command.c_str());
    std::exit(2);
  }
}

double Timed(const std::function<void()>& Work) {
  const auto start = std::chrono::steady_clock::now();
  Work();
  return Seconds(start);
}

template <class TIn, class TOut>
void Convert(const std::string& From, const std::string& To,
             const std::function<void(TOut&)>& Configure = {}) {
  auto in = MakeComponent<TIn>(nullptr);
  auto out = MakeComponent<TOut>(nullptr);
  in->SetFileName(From);
  out->SetInput(in.get());
  out->SetFileName(To);
  if (Configure) Configure(*out);
  out->BlockingRun();
  out->SetInput(nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 120;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const fs::path dir = fs::temp_directory_path() / ("tunevert-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string wav = (dir / "source.wav").string();
  const std::string ref = (dir / "opusenc.opus").string();
  // A tone over pink noise keeps the encoder as busy as music does.
  Run("sox -D -n -r 44100 -c 2 -b 16 '" + wav + "' synth " + std::to_string(seconds) +
      " sine 440 pinknoise vol 0.4");

  const std::string ours = (dir / "tunevert.opus").string();
  const std::string decoded = (dir / "decoded.wav").string();
  // Alternated so both see the same machine load; the best of each is kept.
  double enc = 1e9, opusenc = 1e9, dec = 1e9, opusdec = 1e9, ffmpeg = 1e9;
  for (int i = 0; i < rounds; ++i) {
    enc = std::min(enc, Timed([&] {
                     Convert<TWaveIn, TOpusOut>(wav, ours,
                                                [](TOpusOut& o) { o.SetBitrateKbps(128); });
                   }));
    opusenc = std::min(
        opusenc, Timed([&] { Run("opusenc --quiet --bitrate 128 '" + wav + "' '" + ref + "'"); }));
    dec = std::min(dec, Timed([&] { Convert<TOpusIn, TWaveOut>(ref, decoded); }));
    opusdec = std::min(opusdec, Timed([&] {
                         Run("opusdec --quiet --rate 48000 '" + ref + "' '" + decoded + "'");
                       }));
    ffmpeg = std::min(ffmpeg, Timed([&] {
                        Run("ffmpeg -nostdin -v error -y -i '" + ref + "' '" + decoded + "'");
                      }));
  }
  std::printf("audio: %d s of 16-bit stereo 44100 Hz, best of %d\n", seconds, rounds);
  std::printf(
      "encode 128 kbit/s: tunevert %.3f s (%llu bytes), opusenc %.3f s (%llu bytes), "
      "ratio %.3f\n",
      enc, static_cast<unsigned long long>(fs::file_size(ours)), opusenc,
      static_cast<unsigned long long>(fs::file_size(ref)), enc / opusenc);
  std::printf(
      "decode to WAV: tunevert %.3f s, opusdec %.3f s (ratio %.3f), ffmpeg %.3f s "
      "(ratio %.3f)\n",
      dec, opusdec, dec / opusdec, ffmpeg, dec / ffmpeg);
  std::printf("target: ratios <= 1.10\n");
  fs::remove_all(dir);
  return 0;
}
