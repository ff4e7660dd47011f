// WAV to 128 kbit/s MP3: Tunevert's MP3 output against the lame command-line encoder at the
// same settings (stereo mode, CBR, no bit reservoir, no Info frame), on the same file, in
// the same run. Prints both times and their ratio.
//
// Usage: bench_mp3out [SECONDS_OF_AUDIO=180] [ROUNDS=3]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/MusicLikeSource.h"
#include "mp3enc/AuLame.h"
#include "wav/AuWave.h"

using namespace tunevert;
namespace fs = std::filesystem;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double RunTunevert(const std::string& wav, const std::string& mp3) {
  auto in = MakeComponent<TWaveIn>(nullptr);
  auto out = MakeComponent<TMP3Out>(nullptr);
  out->SetBitRate(TMP3BitRate::mbr128);
  in->SetFileName(wav);
  out->SetInput(in.get());
  out->SetFileName(mp3);
  const auto start = std::chrono::steady_clock::now();
  out->BlockingRun();
  const double s = Seconds(start);
  out->SetInput(nullptr);
  return s;
}

double RunLame(const std::string& wav, const std::string& mp3) {
  const std::string cmd = "lame --quiet -m s -b 128 --cbr --nores -t '" + wav + "' '" + mp3 + "'";
  const auto start = std::chrono::steady_clock::now();
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "lame failed: %s\n", cmd.c_str());
    std::exit(2);
  }
  return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 180;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const fs::path dir = fs::temp_directory_path() / ("tunevert-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string wav = (dir / "source.wav").string();
  bench::WriteMusicLikeWav(wav, seconds);

  // Alternate the two so both see the same machine load; keep the best of each.
  double ours = 1e9, theirs = 1e9;
  for (int i = 0; i < rounds; ++i) {
    ours = std::min(ours, RunTunevert(wav, (dir / "tunevert.mp3").string()));
    theirs = std::min(theirs, RunLame(wav, (dir / "lame.mp3").string()));
  }
  const auto ourSize = fs::file_size(dir / "tunevert.mp3");
  const auto theirSize = fs::file_size(dir / "lame.mp3");
  std::printf("audio: %d s of 16-bit stereo 44100 Hz, 128 kbit/s CBR, best of %d\n", seconds,
              rounds);
  std::printf("tunevert: %.3f s (%.1fx real time), %llu bytes\n", ours, seconds / ours,
              static_cast<unsigned long long>(ourSize));
  std::printf("lame:     %.3f s (%.1fx real time), %llu bytes\n", theirs, seconds / theirs,
              static_cast<unsigned long long>(theirSize));
  std::printf("ratio tunevert/lame: %.3f (target <= 1.05)\n", ours / theirs);
  fs::remove_all(dir);
  return 0;
}
