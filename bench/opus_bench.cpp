// Opus both ways, each against its command-line tool on the same file in the same run:
// WAV to 128 kbit/s Opus against `opusenc --bitrate 128`, and Opus to WAV against
// `opusdec --rate 48000` and ffmpeg. Prints the best time of each and the ratios.
//
// Usage: bench_opus [SECONDS_OF_AUDIO=120] [ROUNDS=5]
#include <sys/resource.h>
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

double CpuSeconds(int Who) {
  rusage u{};
  getrusage(Who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Wall and processor time of one run: on a loaded machine the wall time mostly measures the
// load, the processor time (this process's, or the tool's as a child) the work.
struct TTimes {
  double Wall = 1e9, Cpu = 1e9;
  void Keep(const TTimes& Run) {
    Wall = std::min(Wall, Run.Wall);
    Cpu = std::min(Cpu, Run.Cpu);
  }
};

TTimes Timed(const std::function<void()>& Work, bool Child) {
  const int who = Child ? RUSAGE_CHILDREN : RUSAGE_SELF;
  const double cpu = CpuSeconds(who);
  const auto start = std::chrono::steady_clock::now();
  Work();
  return {Seconds(start), CpuSeconds(who) - cpu};
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
  TTimes enc, opusenc, dec, opusdec, ffmpeg;
  for (int i = 0; i < rounds; ++i) {
    enc.Keep(Timed(
        [&] { Convert<TWaveIn, TOpusOut>(wav, ours, [](TOpusOut& o) { o.SetBitrateKbps(128); }); },
        false));
    opusenc.Keep(
        Timed([&] { Run("opusenc --quiet --bitrate 128 '" + wav + "' '" + ref + "'"); }, true));
    dec.Keep(Timed([&] { Convert<TOpusIn, TWaveOut>(ref, decoded); }, false));
    opusdec.Keep(
        Timed([&] { Run("opusdec --quiet --rate 48000 '" + ref + "' '" + decoded + "'"); }, true));
    ffmpeg.Keep(Timed(
        [&] { Run("ffmpeg -nostdin -v error -y -i '" + ref + "' '" + decoded + "'"); }, true));
  }
  const auto row = [](const char* what, const TTimes& a, const char* tool, const TTimes& b) {
    std::printf(
        "%-18s tunevert %.3f s wall, %.3f s cpu; %-8s %.3f s wall, %.3f s cpu; "
        "ratio %.3f wall, %.3f cpu\n",
        what, a.Wall, a.Cpu, tool, b.Wall, b.Cpu, a.Wall / b.Wall, a.Cpu / b.Cpu);
  };
  std::printf(
      "audio: %d s of 16-bit stereo 44100 Hz, best of %d; sizes %llu (tunevert), "
      "%llu (opusenc) bytes\n",
      seconds, rounds, static_cast<unsigned long long>(fs::file_size(ours)),
      static_cast<unsigned long long>(fs::file_size(ref)));
  row("encode 128 kbit/s", enc, "opusenc", opusenc);
  row("decode to WAV", dec, "opusdec", opusdec);
  row("decode to WAV", dec, "ffmpeg", ffmpeg);
  std::printf("target: ratios <= 1.10\n");
  fs::remove_all(dir);
  return 0;
}
