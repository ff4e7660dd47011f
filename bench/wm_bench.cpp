// Decoding a few minutes of MP3 and of WMA to WAV: tunevert-cli against the ffmpeg tool, in
// the same run on the same files. Both are whole programs started the same way, so start-up
// costs count on both sides. Prints the best of several runs and the ratio.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

double BestSeconds(const std::string& Command, int Runs) {
  double Best = 1e9;
  for (int i = 0; i < Runs; ++i) {
    const auto Start = std::chrono::steady_clock::now();
    if (std::system(Command.c_str()) != 0) {
      std::fprintf(stderr, "failed: %s\n", Command.c_str());
      std::exit(1);
    }
    const std::chrono::duration<double> Took = std::chrono::steady_clock::now() - Start;
    Best = std::min(Best, Took.count());
  }
  return Best;
}

void Run(const std::string& Command) {
  if (std::system(Command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", Command.c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int Seconds = argc > 1 ? std::atoi(argv[1]) : 240;
  const int Runs = argc > 2 ? std::atoi(argv[2]) : 5;
  const fs::path Dir =
      fs::temp_directory_path() / ("tunevert-wm-bench-" + std::to_string(getpid()));
  fs::create_directories(Dir / "tv");
  fs::create_directories(Dir / "ff");
  const std::string D = Dir.string();

  // Music-like content: a sweep and a tone over pink noise, so the encoders work for real.
  Run("sox -n -r 44100 -c 2 -b 16 " + D + "/src.wav synth " + std::to_string(Seconds) +
      " pinknoise sine 200-4000 gain -12");
  Run("lame --quiet -b 192 " + D + "/src.wav " + D + "/song.mp3");
  Run("ffmpeg -nostdin -v error -y -i " + D + "/src.wav -c:a wmav2 -b:a 128k " + D + "/song.wma");

  std::printf("%d s of 44.1 kHz stereo, best of %d runs\n", Seconds, Runs);
  std::printf("%-6s %12s %12s %8s\n", "source", "tunevert s", "ffmpeg s", "ratio");
  bool Within = true;
  for (const char* Ext : {"mp3", "wma"}) {
    const std::string Source = D + "/song." + Ext;
    const double Ours = BestSeconds(
        std::string(TUNEVERT_CLI) + " -f wav -o " + D + "/tv " + Source + " >/dev/null", Runs);
    const double Theirs = BestSeconds(
        "ffmpeg -nostdin -v error -y -i " + Source + " -f wav " + D + "/ff/song.wav", Runs);
    const double Ratio = Ours / Theirs;
    Within = Within && Ratio <= 1.10;
    std::printf("%-6s %12.3f %12.3f %8.2f\n", Ext, Ours, Theirs, Ratio);
  }
  fs::remove_all(Dir);
  std::printf("%s\n", Within ? "within 10% of ffmpeg" : "slower than ffmpeg by more than 10%");
  return 0;
}
