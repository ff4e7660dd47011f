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

#include "flac/AuFLACOut.h"
#include "vorbis/AuVorbisOut.h"
#include "wav/AuWave.h"

using namespace tunevert;
namespace fs = std::filesystem;

namespace {

// Tones that move plus some noise, so the encoders work as on music rather than silence.
void WriteSource(const std::string& path, int seconds) {
  const uint32_t rate = 44100, frames = rate * static_cast<uint32_t>(seconds);
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  out.write("RIFF", 4);
  u32(36 + frames * 4);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(2);
  u32(rate);
  u32(rate * 4);
  u16(4);
  u16(16);
  out.write("data", 4);
  u32(frames * 4);
  std::vector<int16_t> block(2 * 4096);
  uint32_t noise = 12345;
  for (uint32_t f = 0; f < frames;) {
    const uint32_t n = std::min<uint32_t>(4096, frames - f);
    for (uint32_t i = 0; i < n; ++i, ++f) {
      const double t = static_cast<double>(f) / rate;
      const double base = 220 * std::pow(2.0, std::floor(std::fmod(t * 2, 24)) / 12);
      noise = noise * 1664525u + 1013904223u;
      const double hiss = (static_cast<int32_t>(noise) >> 20) / 2048.0;
      const double l =
          0.3 * std::sin(2 * M_PI * base * t) + 0.1 * std::sin(2 * M_PI * 3 * base * t);
      const double r = 0.3 * std::sin(2 * M_PI * base * 1.5 * t) + 0.05 * hiss;
      block[2 * i] = static_cast<int16_t>(l * 32767);
      block[2 * i + 1] = static_cast<int16_t>(r * 32767);
    }
    out.write(reinterpret_cast<const char*>(block.data()), n * 4);
  }
}

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
  WriteSource(wav, seconds);
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
