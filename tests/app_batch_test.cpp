// The batch driver's plan and its parallel lanes, against real files of every format.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "AppTestFiles.h"
#include "PipelineFakes.h"
#include "app/BatchConverter.h"
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
