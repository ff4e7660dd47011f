// Decoding speed of the FLAC and Vorbis inputs: a few minutes of audio converted to WAV by
// tunevert-cli, against `flac -d` and `oggdec` on the same files in the same run.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

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

// Best of a few runs, in CPU seconds (user + system) of the command: on a shared machine
// wall time mostly measures the neighbours.
double Time(const std::string& Command, int Repeats = 3) {
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

}  // namespace

int main(int argc, char** argv) {
  const std::string cli = argc > 1 && argv[1][0] != '\0' ? argv[1] : TUNEVERT_CLI;
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 180;
  char tmpl[] = "/tmp/tunevert-bench-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string src = dir + "/src.wav";
  if (Run("sox -n -r 44100 -c 2 -b 16 " + src + " synth " + std::to_string(seconds) +
          " sine 440 pinknoise vol 0.5") != 0 ||
      Run("flac -s -f -o " + dir + "/a.flac " + src) != 0 ||
      Run("oggenc -Q -q 5 -o " + dir + "/a.ogg " + src) != 0) {
    std::fprintf(stderr, "could not make the test files (sox, flac, oggenc)\n");
    return 1;
  }
  std::printf("%d s of 44.1 kHz stereo, CPU time, best of 3\n", seconds);
  const double flacRef = Time("flac -d -s -f -o " + dir + "/ref-flac.wav " + dir + "/a.flac");
  const double flacOurs = Time(cli + " -f wav -o " + dir + "/out " + dir + "/a.flac");
  std::printf("FLAC:   flac -d %.3f s  tunevert %.3f s  ratio %.2f\n", flacRef, flacOurs,
              flacOurs / flacRef);
  const double oggRef = Time("oggdec -Q -o " + dir + "/ref-ogg.wav " + dir + "/a.ogg");
  const double oggOurs = Time(cli + " -f wav -o " + dir + "/out " + dir + "/a.ogg");
  std::printf("Vorbis: oggdec  %.3f s  tunevert %.3f s  ratio %.2f\n", oggRef, oggOurs,
              oggOurs / oggRef);
  std::filesystem::remove_all(dir);
  return 0;
}
