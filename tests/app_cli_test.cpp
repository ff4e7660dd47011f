#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "AppTestFiles.h"

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
