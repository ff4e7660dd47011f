// WAV to M4A: Tunevert's AAC output at 192 kbit/s against `ffmpeg -c:a aac -b:a 192k`, and its
// Apple Lossless output against `ffmpeg -c:a alac`, on the same file, in the same run,
// interleaved. Both sides use the same FFmpeg encoders, so the ratios show what the component
// adds around them. Prints the times and the ratios.
//
// Usage: bench_mp4out [SECONDS_OF_AUDIO=120] [ROUNDS=3]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/MusicLikeSource.h"
#include "mp4/AuMP4Out.h"
#include "tags/TagLibModule.h"
#include "wav/AuWave.h"

using namespace tunevert;
namespace fs = std::filesystem;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double RunTunevert(TAuFileOut& out, const std::string& wav, const std::string& path) {
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(wav);
  out.SetInput(in.get());
  out.SetFileName(path);
  const auto start = std::chrono::steady_clock::now();
  out.BlockingRun();
  const double s = Seconds(start);
  out.SetInput(nullptr);
  return s;
}

double RunTool(const std::string& cmd) {
  const auto start = std::chrono::steady_clock::now();
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", cmd.c_str());
    std::exit(2);
  }
  return Seconds(start);
}

void Report(const char* what, double ours, double theirs, int seconds, const fs::path& ourFile,
            const fs::path& theirFile) {
  std::printf("%s tunevert: %.3f s (%.1fx real time), %llu bytes\n", what, ours, seconds / ours,
              static_cast<unsigned long long>(fs::file_size(ourFile)));
  std::printf("%s ffmpeg:   %.3f s (%.1fx real time), %llu bytes\n", what, theirs, seconds / theirs,
              static_cast<unsigned long long>(fs::file_size(theirFile)));
  std::printf("%s ratio tunevert/ffmpeg: %.3f (target <= 1.05)\n", what, ours / theirs);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 120;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  SetTagModuleFolder(TUNEVERT_TAGLIB_DIR);
  const fs::path dir = fs::temp_directory_path() / ("tunevert-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string wav = (dir / "source.wav").string();
  bench::WriteMusicLikeWav(wav, seconds);
  const std::string q = "'";
  const std::string ffmpeg = "ffmpeg -nostdin -v error -y -i " + q + wav + q;

  auto aac = MakeComponent<TM4AOut>(nullptr);
  aac->SetBitrateKbps(192);
  auto alac = MakeComponent<TALACOut>(nullptr);
  // Alternate each pair so both see the same machine load; keep the best of each.
  double aacOurs = 1e9, aacTheirs = 1e9, alacOurs = 1e9, alacTheirs = 1e9;
  for (int i = 0; i < rounds; ++i) {
    aacOurs = std::min(aacOurs, RunTunevert(*aac, wav, (dir / "tunevert-aac.m4a").string()));
    aacTheirs = std::min(aacTheirs, RunTool(ffmpeg + " -c:a aac -b:a 192k " + q +
                                            (dir / "ffmpeg-aac.m4a").string() + q));
    alacOurs = std::min(alacOurs, RunTunevert(*alac, wav, (dir / "tunevert-alac.m4a").string()));
    alacTheirs = std::min(
        alacTheirs, RunTool(ffmpeg + " -c:a alac " + q + (dir / "ffmpeg-alac.m4a").string() + q));
  }
  std::printf("audio: %d s of 16-bit stereo 44100 Hz, best of %d\n", seconds, rounds);
  Report("aac: ", aacOurs, aacTheirs, seconds, dir / "tunevert-aac.m4a", dir / "ffmpeg-aac.m4a");
  Report("alac:", alacOurs, alacTheirs, seconds, dir / "tunevert-alac.m4a",
         dir / "ffmpeg-alac.m4a");
  fs::remove_all(dir);
  return 0;
}
