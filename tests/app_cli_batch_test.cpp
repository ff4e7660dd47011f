// tunevert-cli over folders, existing outputs, sources it cannot read, interruption, long
// batches, the output folder and bit depth, and a missing tag module.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "AppTestFiles.h"
#include "CliRun.h"

using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

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

std::vector<std::string> FileNamesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A name in Latin-1, as archives from older systems hold them: not UTF-8, yet a name.
TEST(CliBatch, ANameThatIsNotUtf8KeepsItsBytes) {
  TempDir dir;
  const std::string source = dir / "caf\xE9 \xC0 la cr\xE8me.wav";
  WriteWav(source, RampPcm(4000, 2, 16), 2, 16, 44100);
  CliRun run(dir, {"-o", dir / "out", source});
  ASSERT_EQ(run.Wait(), 0) << run.Err();
  const std::string output = dir / "out/caf\xE9 \xC0 la cr\xE8me.mp3";
  EXPECT_EQ(FileNamesIn(dir / "out"), std::vector<std::string>{fs::path(output).filename()});
  EXPECT_TRUE(Contains(run.Out(), "done: " + source + " -> " + output + "\n")) << run.Out();
  EXPECT_EQ(ProbeAudio(output).substr(0, 11), "mp3,44100,2");
  EXPECT_EQ(DecodedFrames(output, 2), 4000u);
}

// The longest name the file system holds, and so does its output's: nothing the conversion
// adds on the way may make it fail.
TEST(CliBatch, ANameAtTheFileSystemsLimitConverts) {
  TempDir dir;
  const std::string stem(NAME_MAX - 4, 'n');
  WriteWav(dir / (stem + ".wav"), RampPcm(2000, 2, 16), 2, 16, 44100);
  CliRun run(dir, {"-o", dir / "out", dir / (stem + ".wav")});
  ASSERT_EQ(run.Wait(), 0) << run.Err();
  EXPECT_EQ(FileNamesIn(dir / "out"), std::vector<std::string>{stem + ".mp3"});
  EXPECT_EQ(ProbeAudio(dir / ("out/" + stem + ".mp3")).substr(0, 11), "mp3,44100,2");
}

// The names a run's done lines give its outputs.
std::vector<std::string> DoneOutputs(const std::string& out, const std::string& ext) {
  std::vector<std::string> names;
  for (size_t at = out.find("done: "); at != std::string::npos; at = out.find("done: ", at + 1)) {
    const size_t from = out.find(" -> ", at) + 4;
    names.push_back(out.substr(from, out.find(ext, from) + ext.size() - from));
  }
  return names;
}

// Two programs started together plan the same names in one folder; the later of two to
// finish a name numbers again, and neither loses an output.
TEST(CliBatch, TwoProgramsNumberingIntoOneFolderKeepEveryOutput) {
  TempDir dir;
  std::vector<std::string> sources[2];
  std::vector<std::vector<uint8_t>> payloads;
  for (int program = 0; program < 2; ++program)
    for (int i = 0; i < 3; ++i) {
      const std::string source =
          dir / ("p" + std::to_string(program) + "/" + std::to_string(i) + "/song.wav");
      fs::create_directories(fs::path(source).parent_path());
      payloads.push_back(RampPcm(20000 + 100 * (3 * program + i), 2, 16));
      WriteWav(source, payloads.back(), 2, 16, 44100);
      sources[program].push_back(source);
    }
  std::sort(payloads.begin(), payloads.end());
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string out = dir / ("out" + std::to_string(round));
    TempDir logs[2];
    std::vector<std::unique_ptr<CliRun>> runs;
    for (int program = 0; program < 2; ++program) {
      std::vector<std::string> args = {"-f", "wav", "--existing", "rename", "-j", "2", "-o", out};
      args.insert(args.end(), sources[program].begin(), sources[program].end());
      runs.push_back(std::make_unique<CliRun>(logs[program], args));
    }
    std::vector<std::string> done;
    for (auto& run : runs) {
      ASSERT_EQ(run->Wait(), 0) << run->Err();
      for (const std::string& name : DoneOutputs(run->Out(), ".wav")) done.push_back(name);
    }
    std::sort(done.begin(), done.end());
    EXPECT_TRUE(std::adjacent_find(done.begin(), done.end()) == done.end())
        << runs[0]->Out() << runs[1]->Out();
    std::vector<std::string> present;
    std::vector<std::vector<uint8_t>> written;
    for (const auto& e : fs::directory_iterator(out)) {
      present.push_back(e.path().string());
      written.push_back(WavPayload(e.path().string()));
    }
    std::sort(present.begin(), present.end());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(present, done);
    EXPECT_TRUE(written == payloads) << "an output was lost or overwritten";
  }
}

// A link planted where the old temporary name was predictable (".name.tunevert-PID.ext"),
// before the program starts: the conversion writes its own file, never the link's target.
TEST(CliBatch, ALinkAtAPredictableTemporaryNameLeavesItsTargetAlone) {
  TempDir dir;
  const auto pcm = RampPcm(4000, 2, 16);
  WriteWav(dir / "song.wav", pcm, 2, 16, 44100);
  WriteWav(dir / "tune.wav", pcm, 2, 16, 44100);
  fs::create_directory(dir / "out");
  WriteAll(dir / "victim", {'k', 'e', 'e', 'p'});
  int hold[2];
  ASSERT_EQ(pipe2(hold, O_CLOEXEC), 0);
  CliSetup setup;
  setup.HoldUntilReadable = hold[0];
  TempDir logs;
  CliRun run(logs, {"-f", "wav", "-o", dir / "out", dir / "song.wav", dir / "tune.wav"}, setup);
  close(hold[0]);
  const std::string pid = std::to_string(run.Pid());
  const std::string symbolic = dir / ("out/.song.tunevert-" + pid + ".wav");
  const std::string hard = dir / ("out/.tune.tunevert-" + pid + ".wav");
  fs::create_symlink(dir / "victim", symbolic);
  fs::create_hard_link(dir / "victim", hard);
  ASSERT_EQ(write(hold[1], "x", 1), 1);
  close(hold[1]);

  ASSERT_EQ(run.Wait(), 0) << run.Err();
  EXPECT_EQ(ReadAll(dir / "victim"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  for (const char* name : {"out/song.wav", "out/tune.wav"}) {
    EXPECT_FALSE(fs::is_symlink(dir / name)) << name;
    EXPECT_EQ(WavPayload(dir / name), pcm) << name;
  }
  EXPECT_TRUE(fs::is_symlink(symbolic));
  EXPECT_TRUE(fs::equivalent(hard, dir / "victim"));
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
  // A second signal ends the program at once (Cli.ASecondSignalEndsTheProgramAtOnce).
  for (const Case& c : {Case{{SIGINT}, 130}, Case{{SIGTERM}, 143}, Case{{SIGHUP}, 129}}) {
    const std::string out =
        dir / ("out" + std::to_string(c.Status) + std::to_string(c.Signals.size()));
    CliRun run(dir, {"-j", "2", "-f", "mp3", "-o", out, dir / "short.wav", dir / "long1.wav",
                     dir / "long2.wav"});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!(fs::exists(out + "/short.mp3") && PendingOutputsOf(run.Pid(), out).size() == 2) &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(PendingOutputsOf(run.Pid(), out).size(), 2u)
        << "both long files should be converting";
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
    CliSetup setup;
    setup.AsanOptions = asan;
    CliRun r(dir, args, setup);
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

// A file that is not there, or cannot be opened, is told apart from one that is not audio.
TEST(CliBatch, SourcesThatAreMissingOrUnreadableSayWhy) {
  TempDir dir;
  WriteWav(dir / "good.wav", RampPcm(1000, 1, 16), 1, 16, 8000);
  WriteAll(dir / "noise.wav", std::vector<uint8_t>(500, 0x11));
  WriteWav(dir / "locked.wav", RampPcm(1000, 1, 16), 1, 16, 8000);
  fs::permissions(dir / "locked.wav", fs::perms::none);
  fs::create_symlink("loop.flac", dir / "loop.flac");
  const std::string out = dir / "out";
  CliSetup setup;
  setup.WithoutFileOverride = true;
  CliRun run(dir,
             {"-j", "1", "-f", "wav", "-o", out, dir / "gone.wav", dir / "good.wav/x.wav",
              dir / "loop.flac", dir / "noise.wav", dir / "locked.wav", dir / "good.wav"},
             setup);
  const int status = run.Wait();
  if (status == kNoCapabilityDrop) GTEST_SKIP() << "root here cannot give up reading every file";
  EXPECT_EQ(status, 1);
  EXPECT_EQ(run.Err(), "failed: " + (dir / "gone.wav") + ": The file does not exist\n" +
                           "failed: " + (dir / "good.wav/x.wav") + ": The file does not exist\n" +
                           "failed: " + (dir / "loop.flac") +
                           ": The file could not be read: Too many levels of symbolic links\n" +
                           "failed: " + (dir / "noise.wav") +
                           ": Not a valid or supported audio file\n" +
                           "failed: " + (dir / "locked.wav") +
                           ": The file could not be read: Permission denied\n");
  EXPECT_TRUE(Contains(run.Out(), "1 converted, 5 failed, 0 skipped")) << run.Out();
  EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 1);
}

// Without -o the outputs go into the folder the program runs in, whatever the sources'.
TEST(CliBatch, WithoutAnOutputFolderWritesIntoTheCurrentFolder) {
  TempDir dir;
  const auto pcm = RampPcm(1500, 2, 16);
  fs::create_directories(dir / "in");
  fs::create_directories(dir / "here");
  WriteWav(dir / "in/a.wav", pcm, 2, 16, 44100);
  WriteWav(dir / "in/b.wav", pcm, 2, 16, 44100);
  CliSetup setup;
  setup.WorkingDir = dir / "here";
  CliRun run(dir, {"-j", "1", "-f", "wav", "../in/a.wav", dir / "in/b.wav"}, setup);
  EXPECT_EQ(run.Wait(), 0) << run.Err();
  EXPECT_TRUE(Contains(run.Out(), "done: ../in/a.wav -> " + (dir / "here/a.wav") + "\n"))
      << run.Out();
  EXPECT_EQ(WavPayload(dir / "here/a.wav"), pcm);
  EXPECT_EQ(WavPayload(dir / "here/b.wav"), pcm);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "in"), fs::directory_iterator()), 2);
}

// FLAC outputs take the width asked for: 16-bit audio widened exactly, 24-bit audio dithered
// down to within a step of the source.
TEST(CliBatch, BitsSetTheFlacOutputsWidth) {
  TempDir dir;
  const auto pcm16 = RampPcm(3000, 2, 16);
  const auto pcm24 = RampPcm(3000, 2, 24);
  WriteWav(dir / "s16.wav", pcm16, 2, 16, 44100);
  WriteWav(dir / "s24.wav", pcm24, 2, 24, 44100);
  for (const char* bits : {"24", "16"}) {
    const std::string out = dir / (std::string("b") + bits);
    CliRun run(dir, {"-f", "flac", "--bits", bits, "-o", out, dir / "s16.wav", dir / "s24.wav"});
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    for (const char* name : {"s16", "s24"}) {
      const std::string flac = out + "/" + name + ".flac";
      EXPECT_EQ(CommandOutput("ffprobe -v error -select_streams a:0 -show_entries "
                              "stream=bits_per_raw_sample -of csv=p=0 " +
                              Quoted(flac)),
                std::string(bits) + "\n")
          << flac;
      ASSERT_EQ(
          std::system(("flac -d -s -f -o " + Quoted(flac + ".wav") + " " + Quoted(flac)).c_str()),
          0);
    }
  }
  // 16 bits widened to 24: each sample moved up by 8 bits, nothing else.
  std::vector<uint8_t> widened;
  for (size_t i = 0; i < pcm16.size(); i += 2)
    widened.insert(widened.end(), {0, pcm16[i], pcm16[i + 1]});
  EXPECT_EQ(WavPayload(dir / "b24/s16.flac.wav"), widened);
  EXPECT_EQ(WavPayload(dir / "b24/s24.flac.wav"), pcm24);
  EXPECT_EQ(WavPayload(dir / "b16/s16.flac.wav"), pcm16);
  const auto narrowed = WavPayload(dir / "b16/s24.flac.wav");
  ASSERT_EQ(narrowed.size(), pcm24.size() / 3 * 2);
  int farthest = 0;
  for (size_t i = 0; i < narrowed.size() / 2; ++i) {
    const int source = static_cast<int32_t>(static_cast<uint32_t>(pcm24[3 * i]) << 8 |
                                            static_cast<uint32_t>(pcm24[3 * i + 1]) << 16 |
                                            static_cast<uint32_t>(pcm24[3 * i + 2]) << 24) /
                       65536;
    const int sample = static_cast<int16_t>(narrowed[2 * i] | narrowed[2 * i + 1] << 8);
    farthest = std::max(farthest, std::abs(sample - source));
  }
  EXPECT_LE(farthest, 2);
}

// Without the tag module a tagged source still converts, and its entry says its tags are
// lost; a source without tags has nothing to lose and converts as always.
TEST(CliBatch, AMissingTagModuleIsAWarningOnTheEntriesThatHadTags) {
  TempDir dir;
  const std::string data = TUNEVERT_TEST_DATA;
  const std::string tagged = data + "/carry/tagged.flac";
  const std::string plain = data + "/carry/plain.flac";
  // The program alone, with no module beside it or in its install folder.
  fs::create_directories(dir / "bin");
  const std::string alone = dir / "bin/tunevert-cli";
  std::error_code ec;
  fs::create_hard_link(TUNEVERT_CLI, alone, ec);
  if (ec) fs::copy_file(TUNEVERT_CLI, alone);
  CliSetup withoutModule;
  withoutModule.Program = alone;
  const std::string warning =
      " (warning: tags not read: libtvtaglib.so library could not be loaded.)";
  for (const char* format : {"flac", "wav", "ogg", "opus"}) {
    SCOPED_TRACE(format);
    const std::string out = dir / format;
    CliRun run(dir, {"-j", "1", "-f", format, "-o", out, tagged, plain}, withoutModule);
    EXPECT_EQ(run.Wait(), 0) << run.Err();
    EXPECT_TRUE(Contains(run.Out(),
                         "done: " + tagged + " -> " + out + "/tagged." + format + warning + "\n"))
        << run.Out();
    EXPECT_TRUE(Contains(run.Out(), "done: " + plain + " -> " + out + "/plain." + format + "\n"))
        << run.Out();
    EXPECT_GT(DecodedFrames(out + "/tagged." + format, 2), 0u);
  }
  // With the module the same entry carries its tags and says nothing.
  CliRun withModule(dir, {"-f", "flac", "-o", dir / "module", tagged});
  EXPECT_EQ(withModule.Wait(), 0) << withModule.Err();
  EXPECT_FALSE(Contains(withModule.Out(), "warning")) << withModule.Out();
}
