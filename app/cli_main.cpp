// tunevert-cli: the batch converter without a window.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/BatchConverter.h"
#include "app/Version.h"
#include "loudness/LoudnessMeter.h"
#include "pipeline/FormatSpec.h"
#include "platform/Interrupt.h"
#include "platform/Thread.h"
#include "winmedia/wmfintf.h"

using namespace tunevert;

namespace {

// Words joined as a sentence lists them: "a, b or c".
std::string Listed(const std::vector<std::string>& Words, const char* Last = " or ") {
  std::string text;
  for (size_t i = 0; i < Words.size(); ++i)
    text += (i == 0 ? "" : i + 1 == Words.size() ? Last : ", ") + Words[i];
  return text;
}

std::string Joined(const std::vector<std::string>& Words) {
  std::string text;
  for (const std::string& word : Words) text += (text.empty() ? "" : " ") + word;
  return text;
}

// Text's words wrapped at kWidth columns, every line after the first indented by Indent.
std::string Wrapped(const std::string& Text, size_t FirstColumn, size_t Indent) {
  constexpr size_t kWidth = 91;
  std::string lines;
  size_t used = FirstColumn;
  std::istringstream words(Text);
  std::string word;
  bool lineEmpty = true;
  while (words >> word) {
    if (!lineEmpty && used + 1 + word.size() > kWidth) {
      lines += "\n" + std::string(Indent, ' ');
      used = Indent;
      lineEmpty = true;
    }
    if (!lineEmpty) {
      lines += ' ';
      ++used;
    }
    lines += word;
    used += word.size();
    lineEmpty = false;
  }
  return lines + "\n";
}

// An option's lines: its name in the first column, Text wrapped in the second.
std::string OptionLines(const std::string& Option, const std::string& Text) {
  constexpr size_t kColumn = 19;
  std::string name = "  " + Option;
  name += Option.size() + 4 <= kColumn ? std::string(kColumn - 2 - Option.size(), ' ')
                                       : "\n" + std::string(kColumn, ' ');
  return name + Wrapped(Text, kColumn, kColumn);
}

std::vector<std::string> BitsFormats() {
  std::vector<std::string> ids;
  for (const TFormatSpec* format : OutputFormatSpecs())
    if (format->TakesBits) ids.push_back(format->Id);
  return ids;
}

// The lines the formats give: -f, -b, each format's own quality options, --bits.
std::string FormatOptionLines() {
  std::vector<std::string> ids;
  for (const TFormatSpec* format : OutputFormatSpecs()) ids.push_back(format->Id);
  std::string lines = OptionLines("-f FORMAT", "output format: " + Listed(ids) + " (default mp3)");
  // Formats with the same bitrates share one list.
  std::vector<std::pair<const TQualityControl*, std::vector<std::string>>> bitrates;
  std::vector<std::string> notes;
  for (const TFormatSpec* format : OutputFormatSpecs()) {
    const TQualityControl* control = format->Control(TQualityKind::Bitrate);
    if (control == nullptr) continue;
    if (control != format->DefaultControl())
      notes.push_back(format->Id + " uses " + format->DefaultControl()->Option +
                      " unless -b is given");
    auto same = std::find_if(bitrates.begin(), bitrates.end(), [control](const auto& group) {
      return group.first->Values == control->Values && group.first->Default == control->Default;
    });
    if (same == bitrates.end())
      bitrates.push_back({control, {format->Id}});
    else
      same->second.push_back(format->Id);
  }
  std::string text;
  for (const auto& [control, formats] : bitrates)
    text += std::string(text.empty() ? "bitrate" : ";") + " for " + Listed(formats, " and ") +
            ": " + Joined(control->Values) + " (default " + control->Default + ")";
  for (const std::string& note : notes) text += "; " + note;
  lines += OptionLines("-b KBPS", text);
  for (const TFormatSpec* format : OutputFormatSpecs())
    for (const TQualityControl& control : format->Quality)
      if (control.Option != "-b")
        lines += OptionLines(control.Option + " " + control.Metavar, control.Help);
  return lines +
         OptionLines("--rate HZ", "resample to HZ (8000 to 192000; default: the source's rate)") +
         OptionLines("--channels N", "1 mixes down to mono, 2 to stereo (default: the source's)") +
         OptionLines("--bits N", "16 or 24 bits for " + Listed(BitsFormats(), " and ") +
                                     " (default: the source's; fewer dither)");
}

std::string UsageText() {
  std::vector<std::string> names;
  for (const TFormatSpec* format : InputFormatSpecs()) names.push_back(format->Name);
  return "Usage: tunevert-cli [OPTION]... FILE|FOLDER...\n" +
         Wrapped("Converts each FILE (" + Listed(names) +
                     "), and every such file below each FOLDER, several at once.",
                 0, 0) +
         "\n" + FormatOptionLines() +
         "  -o DIR           output folder, created when missing (default: the current folder)\n"
         "  -j N             convert N files at once (default: the number of cores, here " +
         std::to_string(TBatchConverter::DefaultJobs()) +
         ")\n"
         "  --existing WHAT  when an output file exists: overwrite (default), skip, or rename\n"
         "                   (write \"name (2).ext\")\n"
         "  --skip-newer     leave a file alone when its output exists and is newer than it\n"
         "  --keep-tree      recreate each file's folder, relative to the FOLDER it was found\n"
         "                   under, below the output folder\n"
         "  --no-tags        do not carry the sources' tags and pictures into the outputs\n"
         "  --name TEMPLATE  name outputs from their tags, '/' making folders, for example\n"
         "                   \"{albumartist|artist}/{album}/{track:02} {title}\"; fields: artist,\n"
         "                   albumartist, album, title, track, tracktotal, disc, disctotal,\n"
         "                   year, genre, composer, source, folder; {a|b|Text} takes the first\n"
         "                   that is set; {track:02} pads with zeros\n"
         "  --portable-names make names that FAT, exFAT and NTFS drives take\n"
         "  --copy FORMATS   copy sources already in one of these formats as they are, for\n"
         "                   example mp3,ogg,opus,m4a\n"
         "  --max-rate HZ    resample only sources above HZ, to HZ\n"
         "  --max-bits N     reduce only sources above N bits (16 or 24), to N\n"
         "  --cover-max PX   scale embedded pictures larger than PX pixels down to PX (JPEG)\n"
         "  --mirror         keep the output folder (-o) in step with the sources: convert what\n"
         "                   is new or changed, remove outputs whose source is gone (only files\n"
         "                   written by earlier mirror runs, recorded in the folder)\n"
         "  --dry-run        list what would be converted, copied, removed and left, and stop\n"
         "  --playlist       write an .m3u8 playlist in each output folder\n"
         "  --shard K/N      convert only the K-th of N slices of the batch (K from 1 to N), for\n"
         "                   several processes or machines sharing the work\n"
         "  --no-verify      put outputs in place without reading them back first\n"
         "  --replaygain track|album\n"
         "                   measure each output's loudness and write ReplayGain tags (R128\n"
         "                   gains for Opus); album also writes each album's values: the files\n"
         "                   sharing album and album artist tags, or one folder without them\n"
         "  --normalize LUFS bring each output (each album, with --replaygain album) to LUFS,\n"
         "                   such as -18, never past a true peak of -1 dBTP: Opus in its\n"
         "                   header, other formats in their samples\n"
         "  --loudness       convert nothing: print each FILE's loudness (EBU R128), its range\n"
         "                   and true peak, and with several files the album's\n"
         "  -q               print only failures\n"
         "  --help           show this text\n"
         "  --version        show the version\n"
         "\n"
         "Two sources with the same name never write one output: the later one gets a numbered\n"
         "name. Failures go to standard error.\n"
         "\n"
         "Exit status: 0 when every file converted or was skipped, 1 when any failed, 2 for usage\n"
         "errors, 130 (Ctrl+C), 143 (SIGTERM, or standard output closed) or 129 (SIGHUP) when\n"
         "interrupted; an interrupted batch keeps the files it finished and leaves no partial\n"
         "file. A second signal ends it at once.\n";
}

int UsageError(const std::string& message) {
  std::cerr << "tunevert-cli: " << message << "\n\n" << UsageText();
  return 2;
}

std::atomic<int> gSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void Stop(int number) {
  int none = 0;
  gSignal.compare_exchange_strong(none, number);
  // An open in progress on the main thread gives up; running conversions are stopped from
  // the main loop, where stopping is safe.
  RequestInterrupt();
}

// The first signal stops the batch with its cleanup. Any signal after it ends the process at
// once: the handler puts back the default action of all three, and one that another thread
// took meanwhile is raised again with it.
extern "C" void OnSignal(int number) {
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  for (int stop : kStopSignals) sigaction(stop, &byDefault, nullptr);
  int none = 0;
  if (!gSignal.compare_exchange_strong(none, number)) {
    raise(number);
    return;
  }
  RequestInterrupt();
}

// No SA_RESTART: a blocking call returns, to be stopped.
void CatchSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int stop : kStopSignals) sigaddset(&action.sa_mask, stop);
  for (int stop : kStopSignals) sigaction(stop, &action, nullptr);
  // A closed standard output shows as a failing write instead.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

// Nobody reads what the batch reports any more (a pipe's reader went away): it stops as on
// SIGTERM, since a caller checking the output would not see what was converted.
bool StdoutBroken() {
  if (std::cout) return false;
  Stop(SIGTERM);
  return true;
}

struct TOptions {
  std::string Format = "mp3";
  std::map<std::string, std::string> Quality;  // by option: "-b" -> "192"
  TOutputSettings Settings;
  std::string OutputDir;
  std::vector<std::string> Paths;
  int Jobs = 0;
  TExistingOutput Existing = TExistingOutput::Overwrite;
  bool CarryTags = true, Verify = true, Quiet = false, KeepTree = false, SkipNewer = false;
  bool OutputGiven = false, DryRun = false, Loudness = false;
  std::string NameTemplate;
  bool PortableNames = false, Mirror = false, Playlist = false;
  std::vector<std::string> CopyFormats;
  int ShardIndex = 0, ShardCount = 1;
  TReplayGain ReplayGain = TReplayGain::Off;
  std::optional<double> NormalizeLufs;
};

// "mp3,ogg" -> the formats' ids, each one this program reads; false for an unknown one.
bool ParseFormatList(const std::string& Text, std::vector<std::string>& Ids, std::string& Bad) {
  std::istringstream items(Text);
  for (std::string id; std::getline(items, id, ',');) {
    const TFormatSpec* format = FindFormat(id);
    if (format == nullptr || format->Id != id || format->Extensions.empty()) {
      Bad = id;
      return false;
    }
    Ids.push_back(id);
  }
  return !Ids.empty();
}

// A whole number from Min to Max, or false.
bool ParseNumber(const std::string& text, long Min, long Max, long& value) {
  char* end = nullptr;
  value = std::strtol(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && value >= Min && value <= Max;
}

// What a quality control's values are called in its usage error.
std::string ValueNoun(TQualityKind Kind) {
  switch (Kind) {
    case TQualityKind::Bitrate:
      return "a bitrate";
    case TQualityKind::CompressionLevel:
      return "a level";
    default:
      return "a quality";
  }
}

// The control of a format's own option (whichever format has it), or null; "-b" is every
// format's.
const TQualityControl* ControlForOption(const std::string& Option) {
  if (Option == "-b") return nullptr;
  for (const TFormatSpec* format : OutputFormatSpecs())
    for (const TQualityControl& control : format->Quality)
      if (control.Option == Option) return &control;
  return nullptr;
}

// The checks that need the format, which may come after the other options. The format's
// default control is used unless another of its controls is given (a bitrate for ogg, a VBR
// level for mp3); options of other formats are ignored.
int CheckForFormat(TOptions& o) {
  const TFormatSpec& format = *FindFormat(o.Format);
  const TQualityControl* chosen = nullptr;
  for (const TQualityControl& control : format.Quality) {
    const auto given = o.Quality.find(control.Option);
    if (given == o.Quality.end()) continue;
    if (!control.Takes(given->second)) {
      if (control.Option == "-b")
        return UsageError("unsupported bitrate '" + given->second + "' for " + format.Id);
      return UsageError(control.Option + " takes " + ValueNoun(control.Kind) + " from " +
                        control.Values.front() + " to " + control.Values.back());
    }
    if (chosen == nullptr || chosen == format.DefaultControl()) chosen = &control;
  }
  if (chosen != nullptr) o.Settings.Quality = {chosen->Kind, o.Quality[chosen->Option]};
  if ((o.Settings.BitsPerSample != 0 || o.Settings.MaxBitsPerSample != 0) && !format.TakesBits)
    return UsageError(std::string(o.Settings.BitsPerSample != 0 ? "--bits" : "--max-bits") +
                      " applies to " + Listed(BitsFormats(), " and ") + " only");
  return -1;
}

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
    long number = 0;
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
    } else if (arg == "--no-verify") {
      o.Verify = false;
    } else if (arg == "-q") {
      o.Quiet = true;
    } else if (arg == "--keep-tree") {
      o.KeepTree = true;
    } else if (arg == "--skip-newer") {
      o.SkipNewer = true;
    } else if (arg == "--portable-names") {
      o.PortableNames = true;
    } else if (arg == "--mirror") {
      o.Mirror = true;
    } else if (arg == "--dry-run") {
      o.DryRun = true;
    } else if (arg == "--playlist") {
      o.Playlist = true;
    } else if (arg == "--loudness") {
      o.Loudness = true;
    } else if (arg == "--replaygain") {
      if (!value(v) || (v != "track" && v != "album"))
        return UsageError("--replaygain takes track or album");
      o.ReplayGain = v == "track" ? TReplayGain::Track : TReplayGain::Album;
    } else if (arg == "--normalize") {
      double lufs = 0;
      const char* end = value(v) ? v.data() + v.size() : nullptr;
      if (end == nullptr || std::from_chars(v.data(), end, lufs).ptr != end || !(lufs >= -50) ||
          !(lufs <= 0))
        return UsageError("--normalize takes a loudness in LUFS from -50 to 0, such as -18");
      o.NormalizeLufs = lufs;
    } else if (arg == "--name") {
      if (!value(o.NameTemplate) || o.NameTemplate.empty())
        return UsageError("--name needs a template");
    } else if (arg == "--copy") {
      std::string bad;
      if (!value(v) || !ParseFormatList(v, o.CopyFormats, bad))
        return UsageError("--copy takes formats this program reads, such as mp3,ogg" +
                          (bad.empty() ? std::string() : "; not '" + bad + "'"));
    } else if (arg == "--max-rate") {
      if (!value(v) || !ParseNumber(v, 8000, 192000, number))
        return UsageError("--max-rate takes a sample rate from 8000 to 192000 Hz");
      o.Settings.MaxSampleRate = static_cast<int>(number);
    } else if (arg == "--max-bits") {
      if (!value(v) || (v != "16" && v != "24")) return UsageError("--max-bits takes 16 or 24");
      o.Settings.MaxBitsPerSample = std::stoi(v);
    } else if (arg == "--cover-max") {
      if (!value(v) || !ParseNumber(v, 16, 65535, number))
        return UsageError("--cover-max takes a number of pixels from 16 to 65535");
      o.Settings.CoverMaxPixels = static_cast<int>(number);
    } else if (arg == "--shard") {
      long count = 0;
      const size_t slash = value(v) ? v.find('/') : std::string::npos;
      if (slash == std::string::npos || !ParseNumber(v.substr(slash + 1), 1, 1000000, count) ||
          !ParseNumber(v.substr(0, slash), 1, count, number))
        return UsageError("--shard takes K/N, K from 1 to N, such as 2/4");
      o.ShardIndex = static_cast<int>(number - 1);
      o.ShardCount = static_cast<int>(count);
    } else if (arg == "-f") {
      if (!value(v)) return UsageError("-f needs a format");
      const TFormatSpec* format = FindFormat(v);
      if (format == nullptr || !format->Writable() || format->Id != v)
        return UsageError("unknown format '" + v + "'");
      o.Format = v;
    } else if (arg == "-b") {
      if (!value(o.Quality["-b"])) return UsageError("-b needs a bitrate");
    } else if (const TQualityControl* control = ControlForOption(arg)) {
      if (!value(v) || !control->Takes(v))
        return UsageError(arg + " takes " + ValueNoun(control->Kind) + " from " +
                          control->Values.front() + " to " + control->Values.back());
      o.Quality[arg] = v;
    } else if (arg == "--rate") {
      if (!value(v) || !ParseNumber(v, 8000, 192000, number))
        return UsageError("--rate takes a sample rate from 8000 to 192000 Hz");
      o.Settings.SampleRate = static_cast<int>(number);
    } else if (arg == "--channels") {
      if (!value(v) || !ParseNumber(v, 1, 2, number)) return UsageError("--channels takes 1 or 2");
      o.Settings.Channels = static_cast<int>(number);
    } else if (arg == "--bits") {
      if (!value(v) || (v != "16" && v != "24")) return UsageError("--bits takes 16 or 24");
      o.Settings.BitsPerSample = std::stoi(v);
    } else if (arg == "-o") {
      if (!value(o.OutputDir) || o.OutputDir.empty()) return UsageError("-o needs a folder");
      o.OutputGiven = true;
    } else if (arg == "-j") {
      if (!value(v)) return UsageError("-j needs a number of files");
      if (!ParseNumber(v, 1, 256, number))
        return UsageError("-j takes a number from 1 to 256, not '" + v + "'");
      o.Jobs = static_cast<int>(number);
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
  if (o.Mirror && !o.OutputGiven)
    return UsageError("--mirror needs the output folder given with -o");
  if (o.Settings.SampleRate != 0 && o.Settings.MaxSampleRate != 0)
    return UsageError("--rate and --max-rate exclude each other");
  if (o.Settings.BitsPerSample != 0 && o.Settings.MaxBitsPerSample != 0)
    return UsageError("--bits and --max-bits exclude each other");
  if (o.OutputDir.back() != '/') o.OutputDir += '/';
  return CheckForFormat(o);
}

std::string Seconds(std::chrono::steady_clock::duration elapsed) {
  std::ostringstream text;
  text.precision(1);
  text << std::fixed << std::chrono::duration<double>(elapsed).count() << " s";
  return text.str();
}

// --dry-run: what the batch would do, one line each, and nothing done.
int DryRun(TBatchConverter& Converter, const std::vector<TBatchSource>& Sources,
           const TOptions& o) {
  TBatchPreview preview;
  try {
    preview = Converter.PreviewSources(Sources, o.Format, "", o.OutputDir);
  } catch (const std::exception& e) {
    std::cerr << "tunevert-cli: " << e.what() << "\n";
    return 1;
  }
  int counts[5] = {};
  for (size_t i = 0; i < preview.Entries.size(); ++i) {
    const TEntryPlan& entry = preview.Entries[i];
    ++counts[static_cast<int>(entry.Action)];
    const std::string& source = Sources[i].File;
    switch (entry.Action) {
      case TEntryAction::Convert:
        std::cout << "convert: " << source << " -> " << entry.Output << "\n";
        break;
      case TEntryAction::Copy:
        std::cout << "copy: " << source << " -> " << entry.Output << "\n";
        break;
      case TEntryAction::Leave:
        std::cout << "leave: " << source << " -> " << entry.Output << "\n";
        break;
      case TEntryAction::Skip:
        std::cout << "skip: " << source << ": " << entry.Reason << "\n";
        break;
      case TEntryAction::OtherShard:
        break;
    }
  }
  for (const std::string& removal : preview.Removals) std::cout << "remove: " << removal << "\n";
  std::cout << "dry run: " << counts[static_cast<int>(TEntryAction::Convert)] << " to convert, "
            << counts[static_cast<int>(TEntryAction::Copy)] << " to copy, "
            << preview.Removals.size() << " to remove, "
            << counts[static_cast<int>(TEntryAction::Leave)] << " unchanged, "
            << counts[static_cast<int>(TEntryAction::Skip)] << " skipped" << std::endl;
  return std::cout ? 0 : 1;
}

// "-16.63 LUFS", "-inf LUFS" for silence.
std::string Level(double Value, const char* Unit) {
  if (std::isinf(Value)) return std::string(Value < 0 ? "-inf " : "inf ") + Unit;
  char text[48];
  std::snprintf(text, sizeof text, "%.2f %s", Value, Unit);
  return text;
}

// --loudness: each file measured as its format's input decodes it, up to DefaultJobs() at
// once, each on a thread with its own input and meter, and printed in the order given as soon
// as those before it are; then the album of those that could be read. A file that cannot be
// read fails alone.
int MeasureLoudness(const std::vector<std::string>& Files) {
  struct TMeasured {
    std::unique_ptr<TLoudnessMeter> Meter;  // null when the file could not be measured
    std::string Failure;
    bool Done = false;
  };
  std::vector<TMeasured> measured(Files.size());
  std::mutex lock;
  std::condition_variable doneChanged;
  std::atomic<size_t> next{0};
  const auto measure = [&] {
    for (size_t i = next++; i < Files.size(); i = next++) {
      TMeasured result;
      try {
        result.Meter = MeasureFileLoudness(Files[i]);
      } catch (const std::exception& e) {
        result.Failure = e.what();
      }
      result.Done = true;
      std::lock_guard<std::mutex> guard(lock);
      measured[i] = std::move(result);
      doneChanged.notify_one();
    }
  };
  std::vector<std::jthread> threads;
  const size_t count = std::min<size_t>(Files.size(), std::max(1, TBatchConverter::DefaultJobs()));
  for (size_t i = 0; i < count; ++i) threads.emplace_back(measure);

  std::vector<const TLoudnessMeter*> tracks;
  bool failed = false;
  for (size_t i = 0; i < Files.size(); ++i) {
    {
      std::unique_lock<std::mutex> guard(lock);
      doneChanged.wait(guard, [&] { return measured[i].Done; });
    }
    // Its thread has let go of it.
    const TMeasured& file = measured[i];
    if (file.Meter == nullptr) {
      failed = true;
      std::cout << std::flush;
      std::cerr << "failed: " << Files[i] << ": " << file.Failure << std::endl;
      continue;
    }
    const TLoudnessResult track = file.Meter->Result();
    std::cout << Files[i] << ": " << Level(track.Integrated, "LUFS") << ", range "
              << Level(track.Range, "LU") << ", true peak "
              << Level(PeakDecibels(track.TruePeak), "dBTP") << std::endl;
    tracks.push_back(file.Meter.get());
  }
  if (tracks.size() > 1) {
    try {
      const TLoudnessResult album = TLoudnessMeter::Album(tracks);
      std::cout << "album: " << Level(album.Integrated, "LUFS") << ", true peak "
                << Level(PeakDecibels(album.TruePeak), "dBTP") << std::endl;
    } catch (const std::exception& e) {
      failed = true;
      std::cerr << "failed: album: " << e.what() << std::endl;
    }
  }
  return failed || !std::cout ? 1 : 0;
}

int Run(int argc, char** argv) {
  TOptions o;
  if (const int status = ParseArguments(argc, argv, o); status >= 0) return status;
  if (o.Loudness) {
    // MP3 and WMA sources decode through the runtime, loaded only when one comes.
    DeferWMRuntime();
    return MeasureLoudness(o.Paths);
  }
  std::vector<TBatchSource> sources = ExpandSources(o.Paths);
  if (sources.empty()) {
    std::cerr << "tunevert-cli: no supported audio files in the folders given\n";
    return 1;
  }
  const auto started = std::chrono::steady_clock::now();
  CatchSignals();

  const bool showProgress = !o.Quiet && isatty(STDERR_FILENO) != 0;
  // Each component is made when the batch first needs it: a WAV run makes no WMA encoder.
  auto converter = MakeComponent<TBatchConverter>(nullptr, TBatchConverter::TFirstLane::OnDemand);
  converter->CarryTags = o.CarryTags;
  converter->Verify = o.Verify;
  converter->Jobs = o.Jobs;
  converter->Existing = o.Existing;
  converter->KeepTree = o.KeepTree;
  converter->SkipNewer = o.SkipNewer;
  converter->Settings = o.Settings;
  converter->NameTemplate = o.NameTemplate;
  converter->PortableNames = o.PortableNames;
  converter->CopyFormats = o.CopyFormats;
  converter->Mirror = o.Mirror;
  converter->Playlist = o.Playlist;
  converter->ShardIndex = o.ShardIndex;
  converter->ShardCount = o.ShardCount;
  converter->ReplayGain = o.ReplayGain;
  converter->NormalizeLufs = o.NormalizeLufs;
  if (o.DryRun) return DryRun(*converter, sources, o);
  // The runtime and the ~135 libraries behind it load with the first MP3 or WMA source, WAV
  // payload or WMA output that calls into it, so FLAC, Ogg and WAV batches never map them.
  DeferWMRuntime();
  size_t total = sources.size();
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
  converter->OnEntryNumbered = [&](int index, const std::string&) {
    note(index, "numbered: " + converter->Planned(index).Plain + " is taken");
  };
  converter->OnEntryWarning = [&](int index, const std::string& m) {
    note(index, "warning: " + m);
  };
  converter->OnEntryLoudness = [&](int index, const TOutputLoudness& measured) {
    std::string text =
        measured.Track.Silent() ? "silent" : Level(measured.Track.Integrated, "LUFS");
    text += ", true peak " + Level(PeakDecibels(measured.Track.TruePeak), "dBTP");
    if (measured.AppliedGainDb != 0)
      text += ", gain " + std::string(measured.AppliedGainDb > 0 ? "+" : "") +
              Level(measured.AppliedGainDb, "dB") +
              (measured.PeakLimited ? ", held back by the peak" : "");
    note(index, text);
  };
  converter->OnEntryDone = [&](int index, const std::string& output) {
    if (o.Quiet) return;
    clearProgress();
    std::string& extra = notes[static_cast<size_t>(index)];
    std::cout << "done: " << name(index) << " -> " << output << extra << (extra.empty() ? "" : ")")
              << std::endl;
    StdoutBroken();
  };
  converter->OnEntryCopied = [&](int index, const std::string& output) {
    if (o.Quiet) return;
    clearProgress();
    std::string& extra = notes[static_cast<size_t>(index)];
    std::cout << "copied: " << name(index) << " -> " << output << extra
              << (extra.empty() ? "" : ")") << std::endl;
    StdoutBroken();
  };
  converter->OnOutputRemoved = [&](const std::string& output) {
    if (o.Quiet) return;
    clearProgress();
    std::cout << "removed: " << output << std::endl;
    StdoutBroken();
  };
  converter->OnEntrySkipped = [&](int index, const std::string& reason) {
    if (o.Quiet) return;
    clearProgress();
    std::cout << "skipped: " << name(index) << ": " << reason << std::endl;
    StdoutBroken();
  };
  // A stop asked for while an entry opened fails that open: the entry was not converted, it
  // did not fail.
  converter->OnEntryFailed = [&](int index, const std::string& message) {
    if (gSignal.load() != 0) return;
    clearProgress();
    std::cout << std::flush;
    StdoutBroken();
    std::cerr << "failed: " << name(index) << ": " << message << std::endl;
  };
  converter->OnEntryStarted = [&](int) {
    if (gSignal.load() != 0) converter->Cancel();
  };
  std::string setupError;
  converter->OnMessage = [&](const std::string& message) { setupError = message; };

  if (!converter->ConvertSources(std::move(sources), o.Format, "", o.OutputDir)) {
    std::cerr << "tunevert-cli: " << setupError << "\n";
    return 1;
  }
  total = static_cast<size_t>(converter->OwnEntryCount());
  while (converter->Running() && gSignal.load() == 0) CheckSynchronize(50);
  clearProgress();
  if (!o.Quiet && gSignal.load() == 0) {
    std::cout << converter->ConvertedCount() << " converted, ";
    if (converter->CopiedCount() > 0 || !o.CopyFormats.empty())
      std::cout << converter->CopiedCount() << " copied, ";
    if (o.Mirror)
      std::cout << converter->UnchangedCount() << " unchanged, " << converter->RemovedCount()
                << " removed, ";
    std::cout << converter->FailedCount() << " failed, " << converter->SkippedCount()
              << " skipped in " << Seconds(std::chrono::steady_clock::now() - started) << std::endl;
    StdoutBroken();
  }
  // Also when the signal came during the last open: that file was not converted.
  if (const int number = gSignal.load(); number != 0) {
    converter->Cancel();
    std::cerr << "tunevert-cli: " << (std::cout ? "interrupted" : "standard output closed") << "; "
              << converter->ConvertedCount() << " of " << total
              << " files converted, no partial file left" << std::endl;
    return 128 + number;
  }
  return converter->FailedCount() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const int status = Run(argc, argv);
  UnloadWMRuntime();
  return status;
}
