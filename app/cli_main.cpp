// tunevert-cli: the batch converter without a window.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
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
    "Usage: tunevert-cli [OPTION]... FILE|FOLDER...\n"
    "Converts each FILE (MP3, WMA, WAV, Ogg Vorbis or FLAC), and every such file below each\n"
    "FOLDER, several at once.\n"
    "\n"
    "  -f FORMAT        output format: wav, mp3 or wma (default mp3)\n"
    "  -b KBPS          bitrate for mp3 and wma: 48 56 64 80 96 112 128 160 192 256 320\n"
    "                   (default 160)\n"
    "  -o DIR           output folder, created when missing (default: the current folder)\n"
    "  -j N             convert N files at once (default: the number of cores, here %d)\n"
    "  --existing WHAT  when an output file exists: overwrite (default), skip, or rename\n"
    "                   (write \"name (2).ext\")\n"
    "  --skip-newer     leave a file alone when its output exists and is newer than it\n"
    "  --keep-tree      recreate each file's folder, relative to the FOLDER it was found\n"
    "                   under, below the output folder\n"
    "  --no-tags        do not carry the sources' tags and pictures into the outputs\n"
    "  -q               print only failures\n"
    "  --help           show this text\n"
    "  --version        show the version\n"
    "\n"
    "Two sources with the same name never write one output: the later one gets a numbered\n"
    "name. Failures go to standard error.\n"
    "\n"
    "Exit status: 0 when every file converted or was skipped, 1 when any failed, 2 for usage\n"
    "errors, 130 (Ctrl+C), 143 (SIGTERM) or 129 (SIGHUP) when interrupted; an interrupted\n"
    "batch keeps the files it finished and leaves no partial file.\n";

std::string UsageText() {
  std::string text = kUsage;
  const size_t at = text.find("%d");
  return text.replace(at, 2, std::to_string(TBatchConverter::DefaultJobs()));
}

int UsageError(const std::string& message) {
  std::cerr << "tunevert-cli: " << message << "\n\n" << UsageText();
  return 2;
}

bool IsBitrate(const std::string& text) {
  return TBatchConverter::GetMP3BitRate(text) != TMP3BitRate::mbrAuto;
}

std::atomic<int> gSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Only notes the signal: the batch is stopped from the main loop, where stopping is safe. A
// second signal during that changes nothing.
extern "C" void OnSignal(int number) {
  int none = 0;
  gSignal.compare_exchange_strong(none, number);
}

void CatchSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
}

struct TOptions {
  std::string Format = ".mp3", Bitrate = "160";
  std::string OutputDir;
  std::vector<std::string> Paths;
  int Jobs = 0;
  TExistingOutput Existing = TExistingOutput::Overwrite;
  bool CarryTags = true, Quiet = false, KeepTree = false, SkipNewer = false;
};

// Returns -1 when the batch should run, else the exit status.
int ParseArguments(int argc, char** argv, TOptions& o) {
  o.OutputDir = std::filesystem::current_path().string();
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    std::string v;
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      o.Paths.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--help" || arg == "-h") {
      std::cout << UsageText();
      return 0;
    } else if (arg == "--version") {
      std::cout << "tunevert-cli " << kTunevertVersion << "\n";
      return 0;
    } else if (arg == "--no-tags") {
      o.CarryTags = false;
    } else if (arg == "-q") {
      o.Quiet = true;
    } else if (arg == "--keep-tree") {
      o.KeepTree = true;
    } else if (arg == "--skip-newer") {
      o.SkipNewer = true;
    } else if (arg == "-f") {
      if (!value(v)) return UsageError("-f needs a format");
      if (v != "wav" && v != "mp3" && v != "wma") return UsageError("unknown format '" + v + "'");
      o.Format = "." + v;
    } else if (arg == "-b") {
      if (!value(o.Bitrate)) return UsageError("-b needs a bitrate");
      if (!IsBitrate(o.Bitrate)) return UsageError("unsupported bitrate '" + o.Bitrate + "'");
    } else if (arg == "-o") {
      if (!value(o.OutputDir) || o.OutputDir.empty()) return UsageError("-o needs a folder");
    } else if (arg == "-j") {
      if (!value(v)) return UsageError("-j needs a number of files");
      char* end = nullptr;
      const long jobs = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || jobs < 1 || jobs > 256)
        return UsageError("-j takes a number from 1 to 256, not '" + v + "'");
      o.Jobs = static_cast<int>(jobs);
    } else if (arg == "--existing") {
      if (!value(v)) return UsageError("--existing needs overwrite, skip or rename");
      if (v == "overwrite")
        o.Existing = TExistingOutput::Overwrite;
      else if (v == "skip")
        o.Existing = TExistingOutput::Skip;
      else if (v == "rename")
        o.Existing = TExistingOutput::Rename;
      else
        return UsageError("--existing takes overwrite, skip or rename, not '" + v + "'");
    } else {
      return UsageError("unknown option '" + arg + "'");
    }
  }
  if (o.Paths.empty()) return UsageError("no files given");
  if (o.OutputDir.back() != '/') o.OutputDir += '/';
  return -1;
}

std::string Seconds(std::chrono::steady_clock::duration elapsed) {
  std::ostringstream text;
  text.precision(1);
  text << std::fixed << std::chrono::duration<double>(elapsed).count() << " s";
  return text.str();
}

int Run(int argc, char** argv) {
  TOptions o;
  if (const int status = ParseArguments(argc, argv, o); status >= 0) return status;
  std::vector<TBatchSource> sources = ExpandSources(o.Paths);
  if (sources.empty()) {
    std::cerr << "tunevert-cli: no supported audio files in the folders given\n";
    return 1;
  }
  const auto started = std::chrono::steady_clock::now();
  CatchSignals();

  const bool showProgress = !o.Quiet && isatty(STDERR_FILENO) != 0;
  auto converter = MakeComponent<TBatchConverter>(nullptr);
  converter->CarryTags = o.CarryTags;
  converter->Jobs = o.Jobs;
  converter->Existing = o.Existing;
  converter->KeepTree = o.KeepTree;
  converter->SkipNewer = o.SkipNewer;
  // The runtime and the ~135 libraries behind it load with the first MP3 or WMA source, WAV
  // payload or WMA output that calls into it, so FLAC, Ogg and WAV batches never map them.
  // Deferred only now: the WMA output lists its codecs when created, which would load it.
  DeferWMRuntime();
  const size_t total = sources.size();
  std::vector<std::string> notes(total);
  auto name = [&](int index) { return converter->Files()[static_cast<size_t>(index)]; };
  auto clearProgress = [&] {
    if (showProgress) std::cerr << "\r\033[K" << std::flush;
  };
  const bool oneJob = total == 1 || (o.Jobs > 0 ? o.Jobs : TBatchConverter::DefaultJobs()) == 1;
  int current = 0;
  converter->OnSelectEntry = [&](int index) { current = index; };
  if (showProgress)
    converter->OnProgressPosition = [&](int position) {
      std::cerr << "\r\033[K";
      if (oneJob)
        std::cerr << "[" << current + 1 << "/" << total << "] " << name(current) << " " << position
                  << "%";
      else
        std::cerr << "["
                  << converter->ConvertedCount() + converter->FailedCount() +
                         converter->SkippedCount()
                  << "/" << total << " done, " << converter->RunningCount() << " running] "
                  << position << "%";
      std::cerr << std::flush;
    };
  auto note = [&](int index, const std::string& text) {
    std::string& into = notes[static_cast<size_t>(index)];
    into += (into.empty() ? " (" : "; ") + text;
  };
  converter->OnEntryNumbered = [&](int index, const std::string& output) {
    note(index, "numbered: " +
                    TBatchConverter::OutputFileName(
                        std::filesystem::path(output).parent_path().string() + "/", name(index),
                        o.Format) +
                    " is taken");
  };
  converter->OnEntryWarning = [&](int index, const std::string& m) {
    note(index, "warning: " + m);
  };
  converter->OnEntryDone = [&](int index, const std::string& output) {
    if (o.Quiet) return;
    clearProgress();
    std::string& extra = notes[static_cast<size_t>(index)];
    std::cout << "done: " << name(index) << " -> " << output << extra << (extra.empty() ? "" : ")")
              << std::endl;
  };
  converter->OnEntrySkipped = [&](int index, const std::string& reason) {
    if (o.Quiet) return;
    clearProgress();
    std::cout << "skipped: " << name(index) << ": " << reason << std::endl;
  };
  converter->OnEntryFailed = [&](int index, const std::string& message) {
    clearProgress();
    std::cout << std::flush;
    std::cerr << "failed: " << name(index) << ": " << message << std::endl;
  };
  std::string setupError;
  converter->OnMessage = [&](const std::string& message) { setupError = message; };

  if (!converter->ConvertSources(std::move(sources), o.Format, o.Bitrate, o.OutputDir)) {
    std::cerr << "tunevert-cli: " << setupError << "\n";
    return 1;
  }
  while (converter->Running() && gSignal.load() == 0) CheckSynchronize(50);
  clearProgress();
  if (const int number = gSignal.load(); number != 0 && converter->Running()) {
    converter->Cancel();
    std::cerr << "tunevert-cli: interrupted; " << converter->ConvertedCount() << " of " << total
              << " files converted, no partial file left" << std::endl;
    return 128 + number;
  }
  if (!o.Quiet)
    std::cout << converter->ConvertedCount() << " converted, " << converter->FailedCount()
              << " failed, " << converter->SkippedCount() << " skipped in "
              << Seconds(std::chrono::steady_clock::now() - started) << std::endl;
  return converter->FailedCount() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const int status = Run(argc, argv);
  UnloadWMRuntime();
  return status;
}
