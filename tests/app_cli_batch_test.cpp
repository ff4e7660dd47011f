// tunevert-cli over folders, existing outputs, interruption and long batches.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "AppTestFiles.h"

using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

// A run of the program with its standard output and error in files of `dir`.
class CliRun {
 public:
  CliRun(const TempDir& dir, std::vector<std::string> args, const std::string& asanOptions = {})
      : FOut(dir / "stdout.txt"), FErr(dir / "stderr.txt") {
    args.insert(args.begin(), TUNEVERT_CLI);
    FPid = fork();
    if (FPid == 0) {
      if (!asanOptions.empty()) setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
      if (!freopen(FOut.c_str(), "w", stdout) || !freopen(FErr.c_str(), "w", stderr)) _exit(99);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(98);
    }
  }
  pid_t Pid() const { return FPid; }
  // The exit status, or 1000 + the signal that ended it.
  int Wait(long* peakKiB = nullptr) {
    int raw = 0;
    rusage usage{};
    wait4(FPid, &raw, 0, &usage);
    if (peakKiB != nullptr) *peakKiB = usage.ru_maxrss;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000 + WTERMSIG(raw);
  }
  std::string Out() const { return Text(FOut); }
  std::string Err() const { return Text(FErr); }

 private:
  static std::string Text(const std::string& path) {
    const auto bytes = ReadAll(path);
    return {bytes.begin(), bytes.end()};
  }
  std::string FOut, FErr;
  pid_t FPid = -1;
};

std::vector<std::string> Temporaries(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (it->path().filename().string().find(".tunevert-") != std::string::npos)
      names.push_back(it->path().string());
  return names;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

TEST(CliBatch, FoldersRecursivelyWithTheirTreeOrFlatWithNumberedNames) {
  TempDir dir;
  const auto pcm = RampPcm(2000, 2, 16);
  for (const char* name : {"music/song.wav", "music/a/song.wav", "music/a/b/other.wav"}) {
    fs::create_directories((dir.Path / name).parent_path());
    WriteWav(dir / name, pcm, 2, 16, 44100);
  }
  WriteAll(dir / "music/a/cover.txt", {'x'});

  CliRun tree(dir, {"-f", "wav", "--keep-tree", "-o", dir / "tree", dir / "music"});
  EXPECT_EQ(tree.Wait(), 0) << tree.Err();
  for (const char* name : {"tree/song.wav", "tree/a/song.wav", "tree/a/b/other.wav"})
    EXPECT_EQ(WavPayload(dir / name), pcm) << name;
  EXPECT_TRUE(Contains(tree.Out(), "3 converted, 0 failed, 0 skipped in ")) << tree.Out();

  CliRun flat(dir, {"-j", "1", "-f", "wav", "-o", dir / "flat", dir / "music"});
  EXPECT_EQ(flat.Wait(), 0) << flat.Err();
  // Sorted by path: a/b/other, a/song, song; the second song gets the number.
  EXPECT_TRUE(Contains(flat.Out(), "done: " + (dir / "music/song.wav") + " -> " +
                                       (dir / "flat/song (2).wav") +
                                       " (numbered: " + (dir / "flat/song.wav") + " is taken)\n"))
      << flat.Out();
  EXPECT_EQ(WavPayload(dir / "flat/song (2).wav"), pcm);
}

TEST(CliBatch, ExistingOutputsAreOverwrittenSkippedOrNumberedAndNewerOnesLeftAlone) {
  TempDir dir;
  WriteWav(dir / "a.wav", RampPcm(1000, 1, 16), 1, 16, 8000);
  WriteWav(dir / "b.wav", RampPcm(1000, 1, 16), 1, 16, 8000);
  const std::string out = dir / "out";
  auto run = [&](std::vector<std::string> options) {
    options.insert(options.end(), {"-f", "wav", "-o", out, dir / "a.wav", dir / "b.wav"});
    CliRun r(dir, options);
    EXPECT_EQ(r.Wait(), 0) << r.Err();
    return r.Out();
  };
  EXPECT_TRUE(Contains(run({}), "2 converted, 0 failed, 0 skipped"));
  EXPECT_TRUE(Contains(run({"--existing", "overwrite"}), "2 converted, 0 failed, 0 skipped"));
  const std::string skipped = run({"--existing", "skip"});
  EXPECT_TRUE(
      Contains(skipped, "skipped: " + (dir / "a.wav") + ": " + out + "/a.wav already exists\n"))
      << skipped;
  EXPECT_TRUE(Contains(skipped, "0 converted, 0 failed, 2 skipped"));
  EXPECT_TRUE(Contains(run({"--existing", "rename"}), out + "/a (2).wav"));
  EXPECT_TRUE(fs::exists(out + "/b (2).wav"));

  // b's source changes after its output was written: only b is converted again.
  fs::last_write_time(dir / "b.wav", fs::file_time_type::clock::now() + std::chrono::hours(1));
  const std::string newer = run({"--skip-newer"});
  EXPECT_TRUE(Contains(newer, "a.wav is newer than its source")) << newer;
  EXPECT_TRUE(Contains(newer, "1 converted, 0 failed, 1 skipped")) << newer;
}

TEST(CliBatch, QuietPrintsOnlyFailuresAndThoseGoToStandardError) {
  TempDir dir;
  WriteWav(dir / "a.wav", RampPcm(1000, 1, 16), 1, 16, 8000);
  WriteAll(dir / "bad.wav", std::vector<uint8_t>(500, 0x11));
  CliRun quiet(dir, {"-q", "-f", "wav", "-o", dir / "out", dir / "a.wav", dir / "bad.wav"});
  EXPECT_EQ(quiet.Wait(), 1);
  EXPECT_EQ(quiet.Out(), "");
  EXPECT_EQ(quiet.Err(),
            "failed: " + (dir / "bad.wav") + ": Not a valid or supported audio file\n");

  CliRun usage(dir, {"-j", "0", dir / "a.wav"});
  EXPECT_EQ(usage.Wait(), 2);
  EXPECT_TRUE(Contains(usage.Err(), "-j takes a number from 1 to 256, not '0'"));
  CliRun policy(dir, {"--existing", "replace", dir / "a.wav"});
  EXPECT_EQ(policy.Wait(), 2);
}

// Signals arrive while two long files convert; the short one before them has finished.
TEST(CliBatch, InterruptionStopsEveryFileKeepsFinishedOnesAndLeavesNoPartialFile) {
  TempDir dir;
  const auto shortPcm = RampPcm(4000, 2, 16);
  WriteWav(dir / "short.wav", shortPcm, 2, 16, 44100);
  const auto longPcm = RampPcm(2000000, 2, 16);
  WriteWav(dir / "long1.wav", longPcm, 2, 16, 44100);
  WriteWav(dir / "long2.wav", longPcm, 2, 16, 44100);
  struct Case {
    std::vector<int> Signals;
    int Status;
  };
  for (const Case& c : {Case{{SIGINT}, 130}, Case{{SIGTERM}, 143}, Case{{SIGINT, SIGINT}, 130}}) {
    const std::string out =
        dir / ("out" + std::to_string(c.Status) + std::to_string(c.Signals.size()));
    CliRun run(dir, {"-j", "2", "-f", "mp3", "-o", out, dir / "short.wav", dir / "long1.wav",
                     dir / "long2.wav"});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!(fs::exists(out + "/short.mp3") && Temporaries(out).size() == 2) &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(Temporaries(out).size(), 2u) << "both long files should be converting";
    for (int number : c.Signals) kill(run.Pid(), number);
    EXPECT_EQ(run.Wait(), c.Status) << run.Err();
    EXPECT_TRUE(Temporaries(out).empty());
    EXPECT_FALSE(fs::exists(out + "/long1.mp3"));
    EXPECT_TRUE(Contains(run.Err(), "interrupted; 1 of 3 files converted")) << run.Err();
    EXPECT_GE(DecodedFrames(out + "/short.mp3", 2), 4000u);
  }
}

// A leak per file would show over a thousand of them.
TEST(CliBatch, MemoryStaysFlatOverAThousandFiles) {
  TempDir dir;
  const auto pcm = RampPcm(441, 2, 16);
  std::vector<std::string> few, many;
  for (int i = 0; i < 1000; ++i) {
    const std::string name = dir / ("in/" + std::to_string(i) + ".wav");
    if (i == 0) fs::create_directories(dir / "in");
    WriteWav(name, pcm, 2, 16, 44100);
    (i < 10 ? few : many).push_back(name);
  }
  // The sanitizer's quarantine of freed memory and its allocation stacks would otherwise
  // grow with the work done.
  const std::string asan =
      "quarantine_size_mb=0:thread_local_quarantine_size_kb=0:malloc_context_size=0:"
      "allocator_release_to_os_interval_ms=0:detect_leaks=0";
  auto peak = [&](const std::string& out, const std::vector<std::string>& files) {
    std::vector<std::string> args = {"-q", "-f", "mp3", "-o", dir / out};
    args.insert(args.end(), files.begin(), files.end());
    CliRun r(dir, args, asan);
    long kib = 0;
    EXPECT_EQ(r.Wait(&kib), 0) << r.Err();
    return kib;
  };
  const long tenFiles = peak("few", few);
  many.insert(many.end(), few.begin(), few.end());
  const long thousandFiles = peak("many", many);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "many"), fs::directory_iterator()), 1000);
  EXPECT_LE(thousandFiles, tenFiles * 12 / 10)
      << "10 files: " << tenFiles << " KiB, 1000 files: " << thousandFiles << " KiB";
}
