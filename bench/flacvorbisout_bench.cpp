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
#include "bench/OutputTiming.h"
#include "flac/AuFLACOut.h"
#include "vorbis/AuVorbisOut.h"
#include "wav/AuWave.h"

using namespace tunevert;
namespace fs = std::filesystem;

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
    flacOurs = std::min(flacOurs, bench::RunOutput(*flac, wav, (dir / "tunevert.flac").string()));
    flacTheirs =
        std::min(flacTheirs, bench::RunTool("flac -5 -s -f -o " + q + (dir / "flac.flac").string() +
                                            q + " " + q + wav + q));
    oggOurs = std::min(oggOurs, bench::RunOutput(*vorbis, wav, (dir / "tunevert.ogg").string()));
    oggTheirs =
        std::min(oggTheirs, bench::RunTool("oggenc -Q -q 5 -o " + q +
                                           (dir / "oggenc.ogg").string() + q + " " + q + wav + q));
  }
  std::printf("audio: %d s of 16-bit stereo 44100 Hz, best of %d\n", seconds, rounds);
  bench::Report("flac:", "flac", 1.10, flacOurs, flacTheirs, seconds, dir / "tunevert.flac",
                dir / "flac.flac");
  bench::Report("ogg: ", "oggenc", 1.10, oggOurs, oggTheirs, seconds, dir / "tunevert.ogg",
                dir / "oggenc.ogg");
  fs::remove_all(dir);
  return 0;
}
