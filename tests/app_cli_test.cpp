#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "AppTestFiles.h"
#include "fuzz/OggPages.h"

using namespace tunevert::testing;

namespace {

struct Result {
  int Status;
  std::string Output;
};

// The summary line ends every run; its time varies.
std::string WithoutSummary(const std::string& output, const std::string& counts) {
  const size_t last = output.rfind('\n', output.size() - 2) + 1;
  EXPECT_EQ(output.substr(last, counts.size() + 4), counts + " in ") << output;
  return output.substr(0, last);
}

Result RunCli(const std::string& args) {
  const std::string command = std::string(TUNEVERT_CLI) + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  Result r{-1, {}};
  char buf[512];
  while (pipe && fgets(buf, sizeof buf, pipe)) r.Output += buf;
  const int raw = pipe ? pclose(pipe) : -1;
  r.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

// tunevert-cli in the background: standard error into a file, standard output into the file
// or the descriptor given.
class Background {
 public:
  Background(const TempDir& dir, std::vector<std::string> args, int Stdout = -1)
      : FErr(dir / "stderr.txt") {
    const std::string out = dir / "stdout.txt";
    args.insert(args.begin(), TUNEVERT_CLI);
    FPid = fork();
    if (FPid == 0) {
      if (Stdout >= 0 ? dup2(Stdout, STDOUT_FILENO) < 0 : !freopen(out.c_str(), "w", stdout))
        _exit(99);
      if (!freopen(FErr.c_str(), "w", stderr)) _exit(99);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(98);
    }
    FPidFd = static_cast<int>(syscall(SYS_pidfd_open, FPid, 0));
  }
  ~Background() {
    if (FPid > 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
    if (FPidFd >= 0) close(FPidFd);
  }
  pid_t Pid() const { return FPid; }
  // The exit status, or 1000 + the signal that ended it; -1 when it runs past Limit (it is
  // killed then).
  int WaitAtMost(std::chrono::milliseconds Limit) {
    pollfd ended{FPidFd, POLLIN, 0};
    if (poll(&ended, 1, static_cast<int>(Limit.count())) != 1) return -1;
    int raw = 0;
    waitpid(FPid, &raw, 0);
    FPid = -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000 + WTERMSIG(raw);
  }
  std::string Err() const {
    const auto bytes = ReadAll(FErr);
    return {bytes.begin(), bytes.end()};
  }
  std::string Proc(const std::string& Entry) const {
    const auto bytes = ReadAll("/proc/" + std::to_string(FPid) + "/" + Entry);
    return {bytes.begin(), bytes.end()};
  }
  // Until Holds, at most 60 s.
  bool Await(const std::function<bool()>& Holds) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!Holds()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }
  bool HoldsOpen(const std::string& Path) const {
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(FPid) + "/fd", ec), end;
         !ec && it != end; it.increment(ec)) {
      std::error_code gone;
      if (std::filesystem::read_symlink(it->path(), gone) == Path) return true;
    }
    return false;
  }

 private:
  std::string FErr;
  pid_t FPid = -1;
  int FPidFd = -1;
};

size_t FilesIn(const std::string& Dir) {
  std::error_code ec;
  size_t count = 0;
  for (std::filesystem::recursive_directory_iterator it(Dir, ec), end; !ec && it != end;
       it.increment(ec))
    ++count;
  return count;
}

}  // namespace

TEST(Cli, ConvertsFilesAndPrintsOneLineEach) {
  TempDir dir;
  const auto pcm = RampPcm(3000, 2, 16);
  WriteWav(dir / "a.wav", pcm, 2, 16, 44100);
  WriteWav(dir / "b b.wav", pcm, 2, 16, 44100);
  const Result r = RunCli("-j 1 -f wav -o " + Quoted(dir / "out") + " " + Quoted(dir / "a.wav") +
                          " " + Quoted(dir / "b b.wav"));
  EXPECT_EQ(r.Status, 0) << r.Output;
  EXPECT_EQ(WithoutSummary(r.Output, "2 converted, 0 failed, 0 skipped"),
            "done: " + (dir / "a.wav") + " -> " + (dir / "out/a.wav") + "\n" +
                "done: " + (dir / "b b.wav") + " -> " + (dir / "out/b b.wav") + "\n");
  EXPECT_EQ(WavPayload(dir / "out/b b.wav"), pcm);
}

TEST(Cli, ExitsOneWhenAnyFileFails) {
  TempDir dir;
  WriteWav(dir / "a.wav", RampPcm(300, 1, 16), 1, 16, 8000);
  const Result r = RunCli("-f wav -o " + Quoted(dir.Path.string()) + "/out " +
                          Quoted(dir / "nope.ogg.txt") + " " + Quoted(dir / "a.wav"));
  EXPECT_EQ(r.Status, 1) << r.Output;
  EXPECT_NE(r.Output.find("failed: " + (dir / "nope.ogg.txt") + ": Unsupported file type\n"),
            std::string::npos);
  EXPECT_NE(r.Output.find("done: " + (dir / "a.wav")), std::string::npos);
}

TEST(Cli, UsageErrorsExitTwoAndHelpExitsZero) {
  EXPECT_EQ(RunCli("").Status, 2);
  EXPECT_EQ(RunCli("-f ogv x.wav").Status, 2);
  EXPECT_EQ(RunCli("-b 144 x.wav").Status, 2);
  EXPECT_EQ(RunCli("--bogus x.wav").Status, 2);
  EXPECT_EQ(RunCli("-o").Status, 2);
  const Result help = RunCli("--help");
  EXPECT_EQ(help.Status, 0);
  EXPECT_NE(help.Output.find("Usage: tunevert-cli"), std::string::npos);
  const Result version = RunCli("--version");
  EXPECT_EQ(version.Status, 0);
  EXPECT_EQ(version.Output, "tunevert-cli 1.3\n");
}

// LD_DEBUG=files makes the dynamic loader name every library it maps. Each name checked absent
// is also seen mapped by a run that needs it, so a renamed library cannot pass unseen.
TEST(Cli, MapsTheWindowsMediaRuntimeAndTheEncodersOnlyForTheFilesThatNeedThem) {
  TempDir dir;
  const std::string data = TUNEVERT_TEST_DATA;
  const std::string out = " -o " + Quoted(dir / "out") + " ";
  const std::string traced = "env LD_DEBUG=files " + std::string(TUNEVERT_CLI);
  auto run = [&](const std::string& args) {
    return CommandOutput(traced + args + " 2>&1; echo status=$?");
  };
  WriteWav(dir / "a.wav", RampPcm(3000, 2, 16), 2, 16, 44100);
  const std::string plain =
      run(" -f wav" + out + Quoted(data + "/flac/s16-stereo.flac") + " " + Quoted(dir / "a.wav"));
  EXPECT_NE(plain.find("status=0"), std::string::npos) << plain;
  EXPECT_EQ(plain.find("libtvwmvcore"), std::string::npos) << "FLAC and WAV loaded the runtime";
  EXPECT_EQ(plain.find("libmp3lame"), std::string::npos) << "the MP3 encoder was loaded";
  EXPECT_EQ(plain.find("libsoxr"), std::string::npos) << "the resampler was loaded";
  const std::string wavOnly = run(" -f wav" + out + Quoted(dir / "a.wav"));
  EXPECT_NE(wavOnly.find("status=0"), std::string::npos) << wavOnly;
  EXPECT_EQ(wavOnly.find("libtvtaglib"), std::string::npos) << "an untagged WAV loaded the tags";
  EXPECT_EQ(wavOnly.find("libmpg123"), std::string::npos) << "a PCM WAV loaded the MP3 decoder";

  const std::string mp3 = data + "/wm/mp3-cbr-stereo-44100.mp3";
  const std::string fromMp3 =
      run(" -f wav" + out + Quoted(mp3) + " " + Quoted(data + "/wav/mp3-stereo-22050.wav") + " " +
          Quoted(data + "/carry/tagged.flac"));
  EXPECT_NE(fromMp3.find("status=0"), std::string::npos) << fromMp3;
  EXPECT_NE(fromMp3.find("libtvwmvcore"), std::string::npos);
  EXPECT_NE(fromMp3.find("libmpg123"), std::string::npos);
  EXPECT_NE(fromMp3.find("libtvtaglib"), std::string::npos);
  const size_t frames = WavPayload(dir / "out/mp3-cbr-stereo-44100.wav").size() / 4;
  EXPECT_NEAR(static_cast<double>(frames), static_cast<double>(DecodedFrames(mp3, 2)), 1152);

  // The WMA output finds its encoder although the runtime was not there when it was made.
  const std::string toWma = run(" -f wma -b 128" + out + Quoted(dir / "a.wav"));
  EXPECT_NE(toWma.find("status=0"), std::string::npos) << toWma;
  EXPECT_EQ(ProbeAudio(dir / "out/a.wma").substr(0, 14), "wmav2,44100,2,");
  const std::string toMp3 = run(" -f mp3 --rate 22050" + out + Quoted(dir / "a.wav"));
  EXPECT_NE(toMp3.find("status=0"), std::string::npos) << toMp3;
  EXPECT_NE(toMp3.find("libmp3lame"), std::string::npos);
  EXPECT_NE(toMp3.find("libsoxr"), std::string::npos);
}

void WriteSlowToOpen(const std::string& Path) {
  WriteAll(Path, tunevert::fuzz::SlowToOpen(
                     ReadAll(std::string(TUNEVERT_TEST_DATA) + "/vorbis/stereo.ogg")));
}

// A stop signal while a source is being opened: the program ends within 2 s, the entry neither done
// nor failed, nothing written. A FIFO, whose open would wait for a writer, is refused at once.
TEST(Cli, AStopSignalEndsAnOpenInProgress) {
  TempDir dir;
  WriteSlowToOpen(dir / "flood.ogg");
  const std::string out = dir / "out";
  Background run(dir, {"-f", "wav", "-o", out, dir / "flood.ogg"});
  ASSERT_TRUE(run.Await([&] { return run.HoldsOpen(dir / "flood.ogg"); }));
  kill(run.Pid(), SIGTERM);
  EXPECT_EQ(run.WaitAtMost(std::chrono::seconds(2)), 143) << "not ended within 2 s";
  EXPECT_NE(run.Err().find("interrupted; 0 of 1 files converted"), std::string::npos) << run.Err();
  EXPECT_EQ(run.Err().find("failed:"), std::string::npos) << run.Err();
  EXPECT_EQ(FilesIn(out), 0u);

  ASSERT_EQ(mkfifo((dir / "fifo.opus").c_str(), 0600), 0);
  Background fifo(dir, {"-f", "wav", "-o", out, dir / "fifo.opus"});
  EXPECT_EQ(fifo.WaitAtMost(std::chrono::seconds(20)), 1);
  EXPECT_NE(fifo.Err().find("fifo.opus: The file could not be read: it is a pipe or a device, "
                            "not a file"),
            std::string::npos)
      << fifo.Err();
  EXPECT_EQ(FilesIn(out), 0u);
}

// The first signal is still being handled (the program is stopped meanwhile, so both arrive
// together): the second ends the program at once, by its default action.
TEST(Cli, ASecondSignalEndsTheProgramAtOnce) {
  TempDir dir;
  WriteSlowToOpen(dir / "flood.ogg");
  Background run(dir, {"-f", "wav", "-o", dir / "out", dir / "flood.ogg"});
  ASSERT_TRUE(run.Await([&] { return run.HoldsOpen(dir / "flood.ogg"); }));
  kill(run.Pid(), SIGSTOP);
  ASSERT_TRUE(run.Await([&] {
    const std::string stat = run.Proc("stat");
    return stat.substr(stat.rfind(')') + 2, 1) == "T";
  }));
  kill(run.Pid(), SIGHUP);
  kill(run.Pid(), SIGTERM);
  kill(run.Pid(), SIGCONT);
  const int status = run.WaitAtMost(std::chrono::seconds(2));
  EXPECT_TRUE(status == 1000 + SIGHUP || status == 1000 + SIGTERM) << status;
  EXPECT_EQ(FilesIn(dir / "out"), 0u);
}

// A reader of the program's standard output that went away: writing the first done: line
// fails (no SIGPIPE), and the batch stops as on SIGTERM, the next file never started.
TEST(Cli, AClosedStandardOutputStopsTheBatchAsSigtermDoes) {
  TempDir dir;
  WriteWav(dir / "a.wav", RampPcm(3000, 2, 16), 2, 16, 44100);
  WriteWav(dir / "b.wav", RampPcm(300000, 2, 16), 2, 16, 44100);
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  close(ends[0]);
  Background run(dir, {"-j", "1", "-f", "flac", "-o", dir / "out", dir / "a.wav", dir / "b.wav"},
                 ends[1]);
  close(ends[1]);
  EXPECT_EQ(run.WaitAtMost(std::chrono::seconds(60)), 143) << run.Err();
  EXPECT_NE(run.Err().find("standard output closed; 1 of 2 files converted"), std::string::npos)
      << run.Err();
  EXPECT_EQ(DecodedFrames(dir / "out/a.flac", 2), 3000u);
  EXPECT_EQ(FilesIn(dir / "out"), 1u);
}
