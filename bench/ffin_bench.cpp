// Decoding speed of the FFmpeg-backed inputs (M4A AAC and ALAC, ADTS, AIFF, WavPack, APE):
// each file decoded to WAV by this program's own pipeline (TFFmpegIn into TWaveOut, started
// as a process of its own like the tool) against `ffmpeg -f wav`, in the same run. CPU time
// (user + system) of the child, best of a few runs; wall time on a shared machine measures
// the neighbours.
//   ffin_bench [SECONDS] [RUNS]           the comparison (defaults 120 s, 3 runs)
//   ffin_bench --decode SOURCE WAV        one conversion, as the comparison runs it
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "platform/Component.h"
#include "wav/AuWave.h"
#include "winmedia/AuFFmpegIn.h"
#include "winmedia/wmfintf.h"

using namespace tunevert;

namespace {

int Run(const std::string& Command) {
  return std::system((Command + " >/dev/null 2>&1").c_str());
}

double ChildrenCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Time(const std::string& Command, int Repeats) {
  double best = 1e30;
  for (int i = 0; i < Repeats; ++i) {
    const double before = ChildrenCpuSeconds();
    if (Run(Command) != 0) {
      std::fprintf(stderr, "failed: %s\n", Command.c_str());
      std::exit(1);
    }
    best = std::min(best, ChildrenCpuSeconds() - before);
  }
  return best;
}

int Decode(const char* Source, const char* Wav) {
  try {
    LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false);
    auto in = MakeComponent<TFFmpegIn>(nullptr);
    in->SetFileName(Source);
    auto out = MakeComponent<TWaveOut>(nullptr);
    out->SetInput(in.get());
    out->SetFileName(Wav);
    out->BlockingRun();
    out->SetInput(nullptr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--decode") == 0) return Decode(argv[2], argv[3]);
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 120;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  char tmpl[] = "/tmp/tunevert-ffin-bench-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string src = dir + "/src.wav";
  const std::string ff = "ffmpeg -nostdin -v error -y -i " + src;
  if (Run("sox -n -r 44100 -c 2 -b 16 " + src + " synth " + std::to_string(seconds) +
          " pinknoise sine 200-4000 gain -12") != 0 ||
      Run(ff + " -c:a aac -b:a 192k " + dir + "/a.m4a") != 0 ||
      Run(ff + " -c:a aac -b:a 192k " + dir + "/a.aac") != 0 ||
      Run(ff + " -c:a alac " + dir + "/l.m4a") != 0 ||
      Run(ff + " -c:a pcm_s16be " + dir + "/a.aiff") != 0 ||
      Run(ff + " -c:a wavpack " + dir + "/a.wv") != 0) {
    std::fprintf(stderr, "could not make the test files (sox, ffmpeg)\n");
    return 1;
  }
  const bool ape = Run("jmac c2 " + src + " " + dir + "/a.ape") == 0;  // Debian libjmac-java
  std::printf("%d s of 44.1 kHz stereo, CPU time, best of %d\n", seconds, runs);
  std::printf("%-10s %10s %10s %7s\n", "source", "tunevert", "ffmpeg", "ratio");
  bool within = true;
  for (const char* name : {"a.m4a", "a.aac", "l.m4a", "a.aiff", "a.wv", "a.ape"}) {
    if (std::strcmp(name, "a.ape") == 0 && !ape) {
      std::printf("%-10s skipped: no APE encoder (jmac)\n", name);
      continue;
    }
    const std::string file = dir + "/" + name;
    const double theirs =
        Time("ffmpeg -nostdin -v error -y -i " + file + " -f wav " + dir + "/ref.wav", runs);
    const double ours =
        Time(std::string(argv[0]) + " --decode " + file + " " + dir + "/ours.wav", runs);
    within = within && ours <= 1.10 * theirs;
    std::printf("%-10s %9.3fs %9.3fs %7.2f\n", name, ours, theirs, ours / theirs);
  }
  Run("rm -rf " + dir);
  std::printf("%s\n", within ? "within 10% of ffmpeg" : "slower than ffmpeg by more than 10%");
  return 0;
}
