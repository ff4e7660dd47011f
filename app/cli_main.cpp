// tunevert-cli: the batch converter without a window.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "app/BatchConverter.h"
#include "app/Version.h"
#include "platform/Thread.h"
#include "winmedia/wmfintf.h"

using namespace tunevert;

namespace {

constexpr const char* kUsage =
    "Usage: tunevert-cli [-f wav|mp3|wma] [-b KBPS] [-o DIR] FILE...\n"
    "Converts each FILE (MP3, WMA, WAV, Ogg Vorbis or FLAC) one after another.\n"
    "\n"
    "  -f FORMAT   output format: wav, mp3 or wma (default mp3)\n"
    "  -b KBPS     bitrate for mp3 and wma: 48 56 64 80 96 112 128 160 192 256 320\n"
    "              (default 160)\n"
    "  -o DIR      output folder, created when missing (default: the current folder)\n"
    "  --no-tags   do not carry the sources' tags and pictures into the outputs\n"
    "  --help      show this text\n"
    "  --version   show the version\n"
    "\n"
    "Exit status: 0 when every file converted, 1 when any failed, 2 for usage errors.\n";

int UsageError(const std::string& message) {
  std::cerr << "tunevert-cli: " << message << "\n\n" << kUsage;
  return 2;
}

bool IsBitrate(const std::string& text) {
  return TBatchConverter::GetMP3BitRate(text) != TMP3BitRate::mbrAuto;
}

int Run(int argc, char** argv) {
  std::string format = ".mp3", bitrate = "160";
  std::string outputDir = std::filesystem::current_path().string();
  std::vector<std::string> files;
  bool optionsEnded = false, carryTags = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      files.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--version") {
      std::cout << "tunevert-cli " << kTunevertVersion << "\n";
      return 0;
    } else if (arg == "--no-tags") {
      carryTags = false;
    } else if (arg == "-f") {
      std::string f;
      if (!value(f)) return UsageError("-f needs a format");
      if (f != "wav" && f != "mp3" && f != "wma") return UsageError("unknown format '" + f + "'");
      format = "." + f;
    } else if (arg == "-b") {
      if (!value(bitrate)) return UsageError("-b needs a bitrate");
      if (!IsBitrate(bitrate)) return UsageError("unsupported bitrate '" + bitrate + "'");
    } else if (arg == "-o") {
      if (!value(outputDir) || outputDir.empty()) return UsageError("-o needs a folder");
    } else {
      return UsageError("unknown option '" + arg + "'");
    }
  }
  if (files.empty()) return UsageError("no files given");
  if (outputDir.back() != '/') outputDir += '/';

  const bool showProgress = isatty(STDERR_FILENO) != 0;
  auto converter = MakeComponent<TBatchConverter>(nullptr);
  converter->CarryTags = carryTags;
  // The runtime and the ~135 libraries behind it load with the first MP3 or WMA source, WAV
  // payload or WMA output that calls into it, so FLAC, Ogg and WAV batches never map them.
  // Deferred only now: the WMA output lists its codecs when created, which would load it.
  DeferWMRuntime();
  int current = 0;
  std::string warning;
  auto clearProgress = [&] {
    if (showProgress) std::cerr << "\r\033[K" << std::flush;
  };
  converter->OnSelectEntry = [&](int index) { current = index; };
  if (showProgress)
    converter->OnProgressPosition = [&](int position) {
      std::cerr << "\r\033[K[" << current + 1 << "/" << files.size() << "] " << files[current]
                << " " << position << "%" << std::flush;
    };
  converter->OnEntryDone = [&](int index, const std::string& output) {
    clearProgress();
    std::cout << "done: " << files[index] << " -> " << output
              << (warning.empty() ? std::string()
                                  : " (warning: " + std::exchange(warning, {}) + ")")
              << std::endl;
  };
  converter->OnEntryWarning = [&](int, const std::string& message) { warning = message; };
  converter->OnEntryFailed = [&](int index, const std::string& message) {
    clearProgress();
    std::cout << "failed: " << files[index] << ": " << message << std::endl;
  };
  std::string setupError;
  converter->OnMessage = [&](const std::string& message) { setupError = message; };

  if (!converter->Convert(files, format, bitrate, outputDir)) {
    std::cerr << "tunevert-cli: " << setupError << "\n";
    return 1;
  }
  while (converter->Running()) CheckSynchronize(50);
  clearProgress();
  return converter->FailedCount() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const int status = Run(argc, argv);
  UnloadWMRuntime();
  return status;
}
