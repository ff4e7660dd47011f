// The batch driver's plan and its parallel lanes, against real files of every format.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "AppTestFiles.h"
#include "FileSizeLimit.h"
#include "PipelineFakes.h"
#include "app/BatchConverter.h"
#include "fuzz/OggPages.h"
#include "opus/AuOpus.h"
#include "winmedia/wmfintf.h"

using namespace tunevert;
using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

void Touch(const std::string& path, int ageSeconds = 0) {
  fs::create_directories(fs::path(path).parent_path());
  WriteAll(path, {'x'});
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
}

std::vector<std::string> Names(const std::vector<TPlannedOutput>& plan) {
  std::vector<std::string> names;
  for (const auto& p : plan) names.push_back(p.SkipReason.empty() ? p.FinalName : "skip");
  return names;
}

// What must not depend on the number of jobs: the bytes, or for Ogg files, whose stream
// serial numbers are random by design, the decoded samples.
std::vector<uint8_t> Comparable(const fs::path& path) {
  const std::string ext = path.extension().string();
  if (ext != ".ogg" && ext != ".opus") return ReadAll(path.string());
  const std::string pcm =
      CommandOutput("ffmpeg -v error -i '" + path.string() + "' -f s16le - 2>/dev/null");
  // Two decodes that both failed would otherwise agree.
  EXPECT_FALSE(pcm.empty()) << "ffmpeg decoded nothing from " << path;
  return {pcm.begin(), pcm.end()};
}

std::vector<std::string> Leftovers(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.path().filename().string().find(".tunevert-") != std::string::npos)
      names.push_back(e.path().string());
  return names;
}

}  // namespace

TEST(OutputPlan, SameNamesInOneBatchNeverShareAnOutput) {
  TempDir dir;
  const std::string out = dir / "out/";
  const auto plan = PlanOutputs({{dir / "a/song.flac", ""},
                                 {dir / "b/song.ogg", ""},
                                 {dir / "Song.wav", ""},
                                 {dir / "c/song.mp3", ""},
                                 {dir / "other.wav", ""}},
                                {out, ".mp3"});
  EXPECT_EQ(Names(plan),
            (std::vector<std::string>{out + "song.mp3", out + "song (2).mp3", out + "Song (3).mp3",
                                      out + "song (4).mp3", out + "other.mp3"}));
  EXPECT_FALSE(plan[0].Numbered);
  EXPECT_TRUE(plan[2].Numbered);
  EXPECT_FALSE(plan[4].Numbered);

  // Converting beside the sources: x.mp3 must not replace x.wav, another entry's source; an
  // entry's own source is left for the start-up check to refuse.
  const std::string here = dir.Path.string() + "/";
  const auto beside = PlanOutputs({{here + "x.wav", ""}, {here + "x.mp3", ""}}, {here, ".wav"});
  EXPECT_EQ(Names(beside), (std::vector<std::string>{here + "x.wav", here + "x (2).wav"}));
}

// As a case-insensitive file system compares them: full Unicode folding, and bytes that are
// not UTF-8 compared as they are.
TEST(OutputPlan, NamesThatDifferOnlyInLetterCaseCollideInAnyScript) {
  TempDir dir;
  const std::string out = dir / "out/";
  const auto plan = PlanOutputs({{dir / "a/\u00C4rger.wav", ""},
                                 {dir / "b/\u00E4rger.flac", ""},
                                 {dir / "a/STRASSE.wav", ""},
                                 {dir / "b/stra\u00DFe.ogg", ""},
                                 {dir / "a/\u03A3\u0399\u03A3\u03A5\u03A6\u039F\u03A3.wav", ""},
                                 {dir / "b/\u03C3\u03B9\u03C3\u03C5\u03C6\u03BF\u03C2.wav", ""},
                                 {dir / "a/CAF\xC9.wav", ""},
                                 {dir / "b/caf\xC9.wav", ""},
                                 {dir / "c/caf\xE9.wav", ""}},
                                {out, ".mp3"});
  EXPECT_EQ(Names(plan),
            (std::vector<std::string>{
                out + "\u00C4rger.mp3", out + "\u00E4rger (2).mp3", out + "STRASSE.mp3",
                out + "stra\u00DFe (2).mp3", out + "\u03A3\u0399\u03A3\u03A5\u03A6\u039F\u03A3.mp3",
                out + "\u03C3\u03B9\u03C3\u03C5\u03C6\u03BF\u03C2 (2).mp3", out + "CAF\xC9.mp3",
                out + "caf\xC9 (2).mp3", out + "caf\xE9.mp3"}));
}

TEST(OutputPlan, ExistingOutputsFollowThePolicyAndSkipNewer) {
  TempDir dir;
  const std::string out = dir / "out/";
  Touch(out + "song.mp3");
  Touch(out + "song (2).mp3");
  const std::vector<TBatchSource> sources = {
      {dir / "song.flac", ""}, {dir / "song.ogg", ""}, {dir / "new.wav", ""}};
  for (const auto& s : sources) Touch(s.File, 100);
  auto plan = [&](TExistingOutput policy, bool skipNewer = false) {
    return Names(PlanOutputs(sources, {out, ".mp3", false, policy, skipNewer}));
  };
  EXPECT_EQ(plan(TExistingOutput::Overwrite),
            (std::vector<std::string>{out + "song.mp3", out + "song (2).mp3", out + "new.mp3"}));
  EXPECT_EQ(plan(TExistingOutput::Skip),
            (std::vector<std::string>{"skip", "skip", out + "new.mp3"}));
  EXPECT_EQ(
      plan(TExistingOutput::Rename),
      (std::vector<std::string>{out + "song (3).mp3", out + "song (4).mp3", out + "new.mp3"}));
  const auto reasons = PlanOutputs(sources, {out, ".mp3", false, TExistingOutput::Skip});
  EXPECT_EQ(reasons[0].SkipReason, out + "song.mp3 already exists");

  // Newer than the source: skipped whatever the policy; older: converted.
  EXPECT_EQ(plan(TExistingOutput::Rename, true),
            (std::vector<std::string>{"skip", "skip", out + "new.mp3"}));
  Touch(out + "song.mp3", 1000);
  const auto older = PlanOutputs(sources, {out, ".mp3", false, TExistingOutput::Overwrite, true});
  EXPECT_EQ(Names(older), (std::vector<std::string>{out + "song.mp3", "skip", out + "new.mp3"}));
  EXPECT_EQ(older[1].SkipReason, out + "song (2).mp3 is newer than its source");
}

TEST(SourceExpansion, FoldersAddEverySupportedFileBelowThemSortedWithTheirTree) {
  TempDir dir;
  for (const char* name : {"m/b.flac", "m/a.MP3", "m/z/deep/c.ogg", "m/z/d.wav", "m/notes.txt",
                           "m/.hidden.mp3", "m/.cache/e.wav", "m/z/cover.jpg", "loose.wma"})
    Touch(dir / name);
  const auto sources = ExpandSources({dir / "loose.wma", dir / "m", dir / "missing.wav"});
  std::vector<std::string> got;
  for (const auto& s : sources) got.push_back(s.File + "|" + s.SubFolder);
  EXPECT_EQ(got, (std::vector<std::string>{
                     dir / "loose.wma|", dir / "m/a.MP3|", dir / "m/b.flac|", dir / "m/z/d.wav|z/",
                     dir / "m/z/deep/c.ogg|z/deep/",
                     dir / "missing.wav|"}));  // a missing file fails on its own entry

  const std::string out = dir / "out/";
  const auto tree = PlanOutputs(sources, {out, ".wav", true});
  EXPECT_EQ(tree[3].FinalName, out + "z/d.wav");
  EXPECT_EQ(tree[4].FinalName, out + "z/deep/c.wav");
  const auto flat = PlanOutputs(sources, {out, ".wav", false});
  EXPECT_EQ(flat[3].FinalName, out + "d.wav");
}

// Sources of every input kind, two seconds each so that lanes overlap, made once by the
// reference tools.
class ParallelBatch : public ::testing::TestWithParam<std::tuple<std::string, int>> {
 protected:
  static void SetUpTestSuite() {
    LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false);
    Sources = new TempDir;
    const std::string d = Sources->Path.string() + "/";
    const std::string tone = d + "tone.wav";
    const std::string to = "' '" + d;  // between a command's input and its output
    const std::vector<std::string> commands = {
        "sox -n -b 16 -r 44100 -c 2 '" + tone + "' synth 2 sine 440 sine 660 vol 0.5",
        "flac -s -f -o '" + d + "tone.flac' '" + tone + "'",
        "oggenc -Q -q 3 -o '" + d + "tone.ogg' '" + tone + "'",
        "lame --quiet -b 128 '" + tone + to + "tone.mp3'",
        "ffmpeg -v error -y -i '" + tone + "' -c:a wmav2 -b:a 128k '" + d + "tone.wma'",
        "sox '" + tone + "' -e a-law '" + d + "alaw.wav'",
        "ffmpeg -v error -y -i '" + tone + "' -c:a libmp3lame -f wav '" + d + "mp3payload.wav'",
        "opusenc --quiet '" + tone + to + "tone.opus'",
        "ffmpeg -v error -y -i '" + tone + "' -c:a alac '" + d + "alac.m4a'",
        "ffmpeg -v error -y -i '" + tone + "' -c:a aac -b:a 128k '" + d + "aac.m4a'",
        "sox '" + tone + to + "tone.aiff'"};
    std::string steps = "set -e";
    for (const std::string& command : commands) steps += "; " + command;
    ASSERT_EQ(std::system(steps.c_str()), 0);
    WriteAll(d + "corrupt.wav", std::vector<uint8_t>(3000, 0x5A));
    const std::string carry = std::string(TUNEVERT_TEST_DATA) + "/carry/";
    fs::copy_file(carry + "tagged.flac", d + "tagged.flac");
    fs::copy_file(carry + "tagged.mp3", d + "tagged.mp3");
  }
  static void TearDownTestSuite() {
    delete Sources;
    Sources = nullptr;
  }

  static std::vector<std::string> Files() {
    const std::string d = Sources->Path.string() + "/";
    return {d + "tone.wav",    d + "tone.flac",      d + "corrupt.wav", d + "tone.ogg",
            d + "tone.mp3",    d + "tone.wma",       d + "notes.txt",   d + "alaw.wav",
            d + "tagged.flac", d + "mp3payload.wav", d + "tagged.mp3",  d + "tone.opus",
            d + "alac.m4a",    d + "aac.m4a",        d + "tone.aiff"};
  }

  struct Outcome {
    std::map<int, std::string> Done, Failed;
    std::vector<int> BatchProgress;
    std::vector<std::string> Statuses;
    int Started = 0, MostRunning = 0;
  };

  static Outcome Run(TBatchConverter& c, const std::string& format, const std::string& out) {
    Outcome o;
    c.OnEntryStarted = [&](int) {
      ++o.Started;
      o.MostRunning = std::max(o.MostRunning, c.RunningCount() + 1);
    };
    c.OnEntryDone = [&](int i, const std::string& file) {
      EXPECT_TRUE(o.Done.emplace(i, file).second) << "entry " << i << " reported twice";
    };
    c.OnEntryFailed = [&](int i, const std::string& m) { o.Failed.emplace(i, m); };
    c.OnBatchProgress = [&](int p) { o.BatchProgress.push_back(p); };
    c.OnStatusText = [&](const std::string& s) { o.Statuses.push_back(s); };
    EXPECT_TRUE(c.Convert(Files(), format, "128", out));
    EXPECT_TRUE(PumpUntil([&] { return !c.Running(); }, 100000));
    return o;
  }

  static TempDir* Sources;
  static std::map<std::string, std::map<std::string, std::vector<uint8_t>>> OneJobOutputs;
};

TempDir* ParallelBatch::Sources = nullptr;
std::map<std::string, std::map<std::string, std::vector<uint8_t>>> ParallelBatch::OneJobOutputs;

TEST_P(ParallelBatch, EveryEntryOnceOnTheRightEntryAndTheSameBytesAsOneJob) {
  const auto& [format, jobs] = GetParam();
  auto converter = MakeComponent<TBatchConverter>(nullptr);
  auto referenceFor = [&]() -> const std::map<std::string, std::vector<uint8_t>>& {
    auto& reference = OneJobOutputs[format];
    if (reference.empty()) {
      TempDir once;
      auto one = MakeComponent<TBatchConverter>(nullptr);
      one->Jobs = 1;
      Run(*one, format, once.Path.string() + "/");
      for (const auto& e : fs::directory_iterator(once.Path))
        reference[e.path().filename().string()] = Comparable(e.path());
    }
    return reference;
  };
  const auto& reference = referenceFor();

  TempDir dir;
  const std::string out = dir / "out/";
  converter->Jobs = jobs;
  const Outcome o = Run(*converter, format, out);
  const size_t files = Files().size();
  EXPECT_EQ(o.Done.size(), files - 2);
  ASSERT_EQ(o.Failed.size(), 2u);
  EXPECT_EQ(o.Failed.at(2), "Not a valid or supported audio file");
  EXPECT_EQ(o.Failed.at(6), "Unsupported file type");
  EXPECT_EQ(o.Started, static_cast<int>(files));
  EXPECT_EQ(o.MostRunning, jobs);
  EXPECT_EQ(converter->ConvertedCount(), static_cast<int>(files) - 2);
  EXPECT_TRUE(std::is_sorted(o.BatchProgress.begin(), o.BatchProgress.end()));
  EXPECT_EQ(o.BatchProgress.back(), 100);
  EXPECT_EQ(o.Statuses.back(), "Done! 2 of " + std::to_string(files) + " files failed");
  const std::string allRunning = ", " + std::to_string(jobs) + " running";
  EXPECT_EQ(std::count_if(o.Statuses.begin(), o.Statuses.end(),
                          [&](const std::string& s) {
                            return s.starts_with("Converting: ") && s.ends_with(allRunning);
                          }) > 0,
            jobs > 1);

  std::map<std::string, std::vector<uint8_t>> written;
  for (const auto& e : fs::directory_iterator(out))
    written[e.path().filename().string()] = Comparable(e.path());
  EXPECT_EQ(written.size(), reference.size());
  for (const auto& [name, bytes] : reference) {
    ASSERT_TRUE(written.count(name)) << name;
    EXPECT_TRUE(written[name] == bytes) << name << " differs from the one-job batch";
  }
  // The two tone.* outputs that collide are numbered in list order, whatever finished first.
  EXPECT_EQ(o.Done.at(0), out + "tone" + format);
  EXPECT_EQ(o.Done.at(1), out + "tone (2)" + format);
}

INSTANTIATE_TEST_SUITE_P(FormatsByJobs, ParallelBatch,
                         ::testing::Combine(::testing::Values(".wav", ".mp3", ".wma", ".flac",
                                                              ".ogg", ".opus"),
                                            ::testing::Values(2, 4)),
                         [](const ::testing::TestParamInfo<ParallelBatch::ParamType>& p) {
                           return std::get<0>(p.param).substr(1) + "_" +
                                  std::to_string(std::get<1>(p.param)) + "_jobs";
                         });

// Another program writes both planned names after the plan was made (here: as the first
// entry starts). Its files stay; the entries are numbered again or skipped, and only
// "overwrite" replaces them.
TEST(Placement, NamesTakenAfterPlanningAreNumberedAgainSkippedOrReplaced) {
  TempDir dir;
  const auto pcm = RampPcm(4410, 2, 16);
  for (const char* name : {"a", "b"}) {
    fs::create_directory(dir / name);
    WriteWav(dir / (std::string(name) + "/song.wav"), pcm, 2, 16, 44100);
  }
  const std::vector<uint8_t> theirs = {'x'};
  for (const TExistingOutput policy :
       {TExistingOutput::Rename, TExistingOutput::Skip, TExistingOutput::Overwrite}) {
    const std::string out = dir / ("out" + std::to_string(static_cast<int>(policy)) + "/");
    SCOPED_TRACE(out);
    auto c = MakeComponent<TBatchConverter>(nullptr);
    c->Jobs = 1;
    c->Existing = policy;
    std::vector<std::string> done, numbered, skipped;
    c->OnEntryStarted = [&](int i) {
      if (i != 0) return;
      WriteAll(out + "song.wav", theirs);
      WriteAll(out + "song (2).wav", theirs);
    };
    c->OnEntryDone = [&](int, const std::string& name) { done.push_back(name); };
    c->OnEntryNumbered = [&](int, const std::string& name) { numbered.push_back(name); };
    c->OnEntrySkipped = [&](int, const std::string& reason) { skipped.push_back(reason); };
    ASSERT_TRUE(c->Convert({dir / "a/song.wav", dir / "b/song.wav"}, ".wav", "", out));
    ASSERT_TRUE(PumpUntil([&] { return !c->Running(); }, 20000));
    EXPECT_EQ(c->FailedCount(), 0);
    EXPECT_TRUE(Leftovers(out).empty());
    if (policy == TExistingOutput::Overwrite) {
      EXPECT_EQ(done, (std::vector<std::string>{out + "song.wav", out + "song (2).wav"}));
      EXPECT_EQ(WavPayload(out + "song.wav"), pcm);
      EXPECT_EQ(WavPayload(out + "song (2).wav"), pcm);
      continue;
    }
    EXPECT_EQ(ReadAll(out + "song.wav"), theirs);
    EXPECT_EQ(ReadAll(out + "song (2).wav"), theirs);
    if (policy == TExistingOutput::Skip) {
      EXPECT_TRUE(done.empty());
      EXPECT_EQ(skipped, (std::vector<std::string>{out + "song.wav already exists",
                                                   out + "song (2).wav already exists"}));
      EXPECT_EQ(c->SkippedCount(), 2);
      continue;
    }
    // "song (2)" is the second entry's in the plan, so the first one passes it by.
    const std::vector<std::string> expected = {out + "song (3).wav", out + "song (4).wav"};
    EXPECT_EQ(done, expected);
    EXPECT_EQ(numbered, expected);
    for (const std::string& name : expected) EXPECT_EQ(WavPayload(name), pcm) << name;
  }
}

TEST(ParallelCancel, StopsEveryLaneKeepsFinishedOutputsAndReportsTheRest) {
  TempDir dir;
  const auto shortPcm = RampPcm(4410, 2, 16);
  WriteWav(dir / "short.wav", shortPcm, 2, 16, 44100);
  for (const char* name : {"long1.wav", "long2.wav", "long3.wav"})
    WriteWav(dir / name, RampPcm(1500000, 2, 16), 2, 16, 44100);
  const std::string out = dir / "out/";
  auto c = MakeComponent<TBatchConverter>(nullptr);
  c->Jobs = 2;
  std::vector<int> done, notConverted;
  c->OnEntryDone = [&](int i, const std::string&) { done.push_back(i); };
  c->OnEntryNotConverted = [&](int i) { notConverted.push_back(i); };
  // FLAC, since WAV to WAV copies so fast that the long ones could finish first.
  ASSERT_TRUE(
      c->Convert({dir / "short.wav", dir / "long1.wav", dir / "long2.wav", dir / "long3.wav"},
                 ".flac", "160", out));
  ASSERT_TRUE(PumpUntil([&] { return !done.empty(); }, 20000));
  ASSERT_EQ(c->RunningCount(), 2);  // long1 and long2
  c->Cancel();
  EXPECT_FALSE(c->Running());
  // A done event a lane posted before it stopped must not count.
  ASSERT_TRUE(DrainEvents());
  EXPECT_EQ(done, std::vector<int>{0});
  EXPECT_EQ(notConverted, (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(Leftovers(out).empty());
  EXPECT_EQ(
      CommandOutput("ffmpeg -nostdin -v error -i " + Quoted(out + "short.flac") + " -f s16le -"),
      std::string(shortPcm.begin(), shortPcm.end()));
  EXPECT_FALSE(fs::exists(out + "long1.flac"));
}

bool HoldsOpen(const std::string& path) {
  std::error_code ec;
  for (fs::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code gone;
    if (fs::read_symlink(it->path(), gone) == path) return true;
  }
  return false;
}

// A source slow to open is opened by its lane's worker: starting the batch does not wait for
// it, and stopping ends the open at once, leaving nothing behind. The open's work grows with
// the file, so "at once" is: sooner than opening a thirty-second of the file takes.
TEST(ParallelCancel, StopDuringASlowOpenEndsItAtOnce) {
  TempDir dir;
  const std::vector<uint8_t> stream =
      ReadAll(std::string(TUNEVERT_TEST_DATA) + "/opus/stereo.opus");
  const std::string source = dir / "slow.opus", thirtySecond = dir / "part.opus";
  WriteAll(source, fuzz::SlowToOpen(stream));
  WriteAll(thirtySecond, fuzz::SlowToOpen(stream, (size_t{1} << 20) / 32));
  using Clock = std::chrono::steady_clock;
  const auto openStart = Clock::now();
  {
    auto in = MakeComponent<TOpusIn>(nullptr);
    in->SetFileName(thirtySecond);
    in->Valid();
  }
  const auto bound = Clock::now() - openStart;
  const std::string out = dir / "out/";
  auto c = MakeComponent<TBatchConverter>(nullptr);
  c->Jobs = 1;
  std::vector<int> notConverted;
  c->OnEntryNotConverted = [&](int i) { notConverted.push_back(i); };
  const auto convertStart = Clock::now();
  ASSERT_TRUE(c->Convert({source}, ".wav", "", out));
  EXPECT_LT(Clock::now() - convertStart, bound) << "the batch waited for the open";
  ASSERT_TRUE(PumpUntil([&] { return HoldsOpen(source); }, 60000));
  const auto cancelStart = Clock::now();
  c->Cancel();
  EXPECT_LT(Clock::now() - cancelStart, bound) << "the open was not ended";
  ASSERT_TRUE(DrainEvents());
  EXPECT_EQ(notConverted, std::vector<int>{0});
  EXPECT_EQ(c->FailedCount(), 0);
  EXPECT_TRUE(Leftovers(out).empty());
  EXPECT_FALSE(HoldsOpen(source));
}

// A finished output is put in place only when all of it reached the disk and reads back: a
// disk that fills at the end of a file or while its tags are written, or a file damaged
// before it is read back, fails the entry and leaves the earlier output as it was.
class FinishedOutputs : public ::testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() {
    LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false);
    Sources = new TempDir;
    const std::string source = *Sources / "song.flac";
    const std::string cover = std::string(TUNEVERT_TEST_DATA) + "/carry/cover.jpg";
    ASSERT_EQ(std::system(("sox -n -b 16 -r 44100 -c 2 " + Quoted(source) +
                           " synth 2 pinknoise vol 0.5 && metaflac --set-tag=TITLE=Song "
                           "--set-tag=ARTIST=Someone --import-picture-from=" +
                           Quoted(cover) + " " + Quoted(source))
                              .c_str()),
              0);
  }
  static void TearDownTestSuite() {
    delete Sources;
    Sources = nullptr;
  }

  struct Result {
    int Failed = 0;
    std::string Message;
  };
  static Result Convert(const std::string& out, bool tags, bool verify,
                        std::function<void(const std::string&)> beforeVerify = {}) {
    auto c = MakeComponent<TBatchConverter>(nullptr);
    c->Jobs = 1;
    c->CarryTags = tags;
    c->Verify = verify;
    if (beforeVerify) c->BeforeVerify = [&](int, const std::string& file) { beforeVerify(file); };
    Result result;
    c->OnEntryFailed = [&](int, const std::string& message) { result.Message = message; };
    EXPECT_TRUE(c->Convert({*Sources / "song.flac"}, GetParam(), "128", out));
    EXPECT_TRUE(PumpUntil([&] { return !c->Running(); }, 60000));
    result.Failed = c->FailedCount();
    return result;
  }
  // The output folder holds the earlier output, byte for byte, and nothing else.
  static void ExpectOnlyEarlierOutput(const std::string& out, const std::vector<uint8_t>& earlier) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(out)) names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"song" + GetParam()});
    EXPECT_TRUE(ReadAll(out + "song" + GetParam()) == earlier) << "the earlier output changed";
  }

  static TempDir* Sources;
};

TempDir* FinishedOutputs::Sources = nullptr;

TEST_P(FinishedOutputs, AFullDiskAtTheEndOrAtTheTagsFailsTheEntry) {
  TempDir dir;
  // The sizes of the whole output without and with its tags, from runs without a limit.
  const std::string sizing = dir / "sizing/";
  ASSERT_EQ(Convert(sizing, false, true).Failed, 0);
  const auto audioOnly = static_cast<rlim_t>(fs::file_size(sizing + "song" + GetParam()));
  ASSERT_EQ(Convert(sizing, true, true).Failed, 0);
  const auto tagged = static_cast<rlim_t>(fs::file_size(sizing + "song" + GetParam()));

  const std::string out = dir / "out/";
  fs::create_directories(out);
  const std::vector<uint8_t> earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
  WriteAll(out + "song" + GetParam(), earlier);
  // The last write of the audio (the encoder's drain, the last page or frame), and the tag
  // write where it grows the finished file (FLAC and Ogg outputs leave room for tags); each
  // with and without reading outputs back.
  std::vector<rlim_t> limits = {audioOnly - 1};
  if (tagged > audioOnly) limits.push_back((audioOnly + tagged) / 2);
  for (const rlim_t limit : limits)
    for (const bool verify : {false, true}) {
      SCOPED_TRACE("limit " + std::to_string(limit) + (verify ? ", read back" : ""));
      Result result;
      {
        FileSizeLimit full(limit);
        result = Convert(out, true, verify);
      }
      EXPECT_EQ(result.Failed, 1);
      EXPECT_FALSE(result.Message.empty());
      ExpectOnlyEarlierOutput(out, earlier);
    }
}

TEST_P(FinishedOutputs, AFileDamagedBeforeItIsReadBackFailsTheEntry) {
  TempDir dir;
  const std::string out = dir / "out/";
  fs::create_directories(out);
  const std::vector<uint8_t> earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
  WriteAll(out + "song" + GetParam(), earlier);
  const std::vector<std::pair<std::string, std::function<void(int, off_t)>>> damages = {
      {"cut to 60 %", [](int fd, off_t size) { ASSERT_EQ(ftruncate(fd, size * 6 / 10), 0); }},
      {"bytes overwritten in the middle",
       [](int fd, off_t size) {
         const std::vector<uint8_t> burst(std::min<off_t>(size / 10, 4096), 0x55);
         ASSERT_EQ(pwrite(fd, burst.data(), burst.size(), size / 2),
                   static_cast<ssize_t>(burst.size()));
       }},
      // The audio stays whole: only the tag check sees this.
      {"a tag value changed",
       [](int fd, off_t size) {
         std::string bytes(static_cast<size_t>(size), '\0');
         ASSERT_EQ(pread(fd, bytes.data(), bytes.size(), 0), size);
         int changed = 0;
         for (const std::string& artist : {std::string("Someone"), std::string("S\0o\0m\0e\0", 8)})
           for (size_t at = bytes.find(artist); at != std::string::npos;
                at = bytes.find(artist, at + 1), ++changed)
             ASSERT_EQ(pwrite(fd, "X", 1, static_cast<off_t>(at)), 1);
         ASSERT_GT(changed, 0);
       }},
  };
  for (const auto& [what, damage] : damages) {
    SCOPED_TRACE(what);
    const Result result = Convert(out, true, true, [&damage](const std::string& file) {
      const int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      struct stat status {};
      ASSERT_EQ(fstat(fd, &status), 0);
      damage(fd, status.st_size);
      close(fd);
    });
    EXPECT_EQ(result.Failed, 1);
    EXPECT_TRUE(result.Message.starts_with("The written file could not be read back: "))
        << result.Message;
    // Ogg pages carry checksums, so there the audio check finds it first.
    if (what == "a tag value changed" && GetParam() != ".ogg" && GetParam() != ".opus") {
      EXPECT_TRUE(result.Message.ends_with("its tags differ from those written (ARTIST)"))
          << result.Message;
    }
    ExpectOnlyEarlierOutput(out, earlier);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, FinishedOutputs,
                         ::testing::Values(".wav", ".mp3", ".wma", ".flac", ".ogg", ".opus"),
                         [](const ::testing::TestParamInfo<std::string>& p) {
                           return p.param.substr(1);
                         });

// Copies run on threads of their own beside the conversions; stopping the batch stops them
// before their unfinished files go.
TEST(LibraryBatch, CopiesRunBesideConversionsAndStopWithTheBatch) {
  TempDir dir;
  int status = 0;
  CommandOutput("ffmpeg -nostdin -v error -f lavfi -i sine=duration=3 -b:a 128k " +
                    Quoted(dir / "a.mp3") + " && cp " + Quoted(dir / "a.mp3") + " " +
                    Quoted(dir / "b.mp3") + " && cp " + Quoted(dir / "a.mp3") + " " +
                    Quoted(dir / "c.mp3"),
                &status);
  ASSERT_EQ(status, 0);
  WriteWav(dir / "d.wav", RampPcm(44100, 2, 16), 2, 16, 44100);
  WriteWav(dir / "e.wav", RampPcm(44100, 2, 16), 2, 16, 44100);
  const std::vector<std::string> files = {dir / "a.mp3", dir / "d.wav", dir / "b.mp3",
                                          dir / "e.wav", dir / "c.mp3"};
  for (const int jobs : {1, 2, 3}) {
    const std::string out = dir / ("out" + std::to_string(jobs) + "/");
    auto c = MakeComponent<TBatchConverter>(nullptr);
    c->Jobs = jobs;
    c->CopyFormats = {"mp3"};
    std::map<int, std::string> copied, done;
    c->OnEntryCopied = [&](int i, const std::string& f) {
      EXPECT_TRUE(copied.emplace(i, f).second);
    };
    c->OnEntryDone = [&](int i, const std::string& f) { EXPECT_TRUE(done.emplace(i, f).second); };
    ASSERT_TRUE(c->Convert(files, "flac", "", out));
    ASSERT_TRUE(PumpUntil([&] { return !c->Running(); }, 60000));
    EXPECT_EQ(copied, (std::map<int, std::string>{
                          {0, out + "a.mp3"}, {2, out + "b.mp3"}, {4, out + "c.mp3"}}));
    EXPECT_EQ(done, (std::map<int, std::string>{{1, out + "d.flac"}, {3, out + "e.flac"}}));
    for (const char* name : {"a.mp3", "b.mp3", "c.mp3"})
      EXPECT_EQ(ReadAll(out + name), ReadAll(dir / name)) << name;
    EXPECT_EQ(c->CopiedCount(), 3);
    EXPECT_EQ(c->ConvertedCount(), 2);

    // Stopped as the second copy starts, whichever lanes are still busy.
    const std::string stopped = dir / ("stopped" + std::to_string(jobs) + "/");
    std::vector<int> notConverted;
    c->OnEntryStarted = [&](int i) {
      if (i == 2) c->Cancel();
    };
    c->OnEntryNotConverted = [&](int i) { notConverted.push_back(i); };
    copied.clear();
    done.clear();
    ASSERT_TRUE(c->Convert(files, "flac", "", stopped));
    ASSERT_TRUE(PumpUntil([&] { return !c->Running(); }, 60000));
    ASSERT_TRUE(DrainEvents());
    EXPECT_TRUE(Leftovers(stopped).empty());
    EXPECT_EQ(copied.size() + done.size() + notConverted.size(), 5u);
    for (const auto& [index, file] : copied) EXPECT_EQ(ReadAll(file), ReadAll(files[index]));
  }
}
