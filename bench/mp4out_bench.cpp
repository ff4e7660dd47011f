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
#include "bench/OutputTiming.h"
#include "mp4/AuMP4Out.h"
#include "tags/TagLibModule.h"
#include "wav/AuWave.h"

using namespace tunevert;
namespace fs = std::filesystem;

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
    aacOurs = std::min(aacOurs, bench::RunOutput(*aac, wav, (dir / "tunevert-aac.m4a").string()));
    aacTheirs = std::min(aacTheirs, bench::RunTool(ffmpeg + " -c:a aac -b:a 192k " + q +
                                                   (dir / "ffmpeg-aac.m4a").string() + q));
    alacOurs =
        std::min(alacOurs, bench::RunOutput(*alac, wav, (dir / "tunevert-alac.m4a").string()));
    alacTheirs = std::min(alacTheirs, bench::RunTool(ffmpeg + " -c:a alac " + q +
                                                     (dir / "ffmpeg-alac.m4a").string() + q));
  }
  std::printf("audio: %d s of 16-bit stereo 44100 Hz, best of %d\n", seconds, rounds);
  bench::Report("aac: ", "ffmpeg", 1.05, aacOurs, aacTheirs, seconds, dir / "tunevert-aac.m4a",
                dir / "ffmpeg-aac.m4a");
  bench::Report("alac:", "ffmpeg", 1.05, alacOurs, alacTheirs, seconds, dir / "tunevert-alac.m4a",
                dir / "ffmpeg-alac.m4a");
  fs::remove_all(dir);
  return 0;
}
