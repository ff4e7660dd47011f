// WAV to FLAC and to Ogg Vorbis: Tunevert's FLAC output at level 5 against `flac -5`, and its
// Vorbis output at quality 5 against `oggenc -q 5`, on the same file, in the same run,
// interleaved. Prints the times and the ratios.
//
// Usage: bench_flacvorbisout [SECONDS_OF_AUDIO=90] [ROUNDS=3]
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
#include "flac/AuFLACOut.h"
#include "vorbis/AuVorbisOut.h"
#include "wav/AuWave.h"

using namespace tunevert;
namespace fs = std::filesystem;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

template <class Out>
double RunTunevert(Out& out, const std::string& wav, const std::string& path) {
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

void Report(const char* what, const char* tool, double ours, double theirs, int seconds,
            const fs::path& ourFile, const fs::path& theirFile) {
  std::printf("%s tunevert: %.3f s (%.1fx real time), %llu bytes\n", what, ours, seconds / ours,
              static_cast<unsigned long long>(fs::file_size(ourFile)));
  std::printf("%s %-8s %.3f s (%.1fx real time), %llu bytes\n", what, tool, theirs,
              seconds / theirs, static_cast<unsigned long long>(fs::file_size(theirFile)));
  std::printf("%s ratio tunevert/%s: %.3f (target <= 1.10)\n", what, tool, ours / theirs);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 90;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const fs::path dir = fs::temp_directory_path() / ("tunevert-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string wav = (dir / "source.wav").string();
  bench::WriteMusicLikeWav(wav, seconds);
  const std::string q = "'";

  auto flac = MakeComponent<TFLACOut>(nullptr);
  auto vorbis = MakeComponent<TVorbisOut>(nullptr);
  // Alternate each pair so both see the same machine load; keep the best of each.
  double flacOurs = 1e9, flacTheirs = 1e9, oggOurs = 1e9, oggTheirs = 1e9;
  for (int i = 0; i < rounds; ++i) {
    flacOurs = std::min(flacOurs, RunTunevert(*flac, wav, (dir / "tunevert.flac").string()));
    flacTheirs = std::min(
        flacTheirs,
        RunTool("flac -5 -s -f -o " + q + (dir / "flac.flac").string() + q + " " + q + wav + q));
    oggOurs = std::min(oggOurs, RunTunevert(*vorbis, wav, (dir / "tunevert.ogg").string()));
    oggTheirs = std::min(oggTheirs, RunTool("oggenc -Q -q 5 -o " + q +
                                            (dir / "oggenc.ogg").string() + q + " " + q + wav + q));
  }
  std::printf("audio: %d s of 16-bit stereo 44100 Hz, best of %d\n", seconds, rounds);
  Report("flac:", "flac", flacOurs, flacTheirs, seconds, dir / "tunevert.flac", dir / "flac.flac");
  Report("ogg: ", "oggenc", oggOurs, oggTheirs, seconds, dir / "tunevert.ogg", dir / "oggenc.ogg");
  fs::remove_all(dir);
  return 0;
}
