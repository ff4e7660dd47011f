// The formats beyond WAV, MP3 and WMA through tunevert-cli, checked by the reference tools.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "AppTestFiles.h"

using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

// Status and combined output of one run.
std::string Cli(const std::string& args) {
  return CommandOutput(std::string(TUNEVERT_CLI) + " " + args + " 2>&1; echo status=$?");
}

std::string Probe(const std::string& path, const std::string& entries) {
  return CommandOutput("ffprobe -v error -select_streams a:0 -show_entries " + entries +
                       " -of csv=p=0 " + Quoted(path));
}

double Duration(const std::string& path) {
  return std::atof(Probe(path, "format=duration").c_str());
}

class Formats : public ::testing::Test {
 protected:
  void SetUp() override {
    // 1.5 s of two tones in six channels at 24 bits, and a stereo 16-bit one.
    ASSERT_EQ(std::system(("sox -n -b 24 -r 48000 -c 6 " + Quoted(dir / "six.wav") +
                           " synth 1.5 sine 300 sine 500 sine 700 sine 900 sine 1100 sine 1300"
                           " vol 0.4 && sox -n -b 16 -r 44100 -c 2 " +
                           Quoted(dir / "two.wav") + " synth 1.5 sine 440 sine 660 vol 0.5")
                              .c_str()),
              0);
  }
  TempDir dir;
};

}  // namespace

TEST_F(Formats, FlacIsExactAtEveryLevelAndWidth) {
  for (const char* level : {"0", "8"}) {
    const std::string out = dir / ("flac" + std::string(level));
    const std::string log =
        Cli("-f flac --flac-level " + std::string(level) + " -o " + Quoted(out) + " " +
            Quoted(dir / "six.wav") + " " + Quoted(dir / "two.wav"));
    ASSERT_NE(log.find("status=0"), std::string::npos) << log;
    for (const char* name : {"six", "two"}) {
      const std::string decoded = out + "/" + name + ".dec.wav";
      ASSERT_EQ(std::system(("flac -d -s -f -o " + Quoted(decoded) + " " +
                             Quoted(out + "/" + name + ".flac"))
                                .c_str()),
                0);
      EXPECT_EQ(WavPayload(decoded), WavPayload(dir / (std::string(name) + ".wav"))) << name;
    }
  }
  EXPECT_LT(fs::file_size(dir / "flac8/six.flac"), fs::file_size(dir / "flac0/six.flac"));
}

TEST_F(Formats, OggAndOpusKeepLengthChannelsAndBitrate) {
  const std::string log =
      Cli("-f ogg -b 192 -o " + Quoted(dir / "ogg") + " " + Quoted(dir / "two.wav"));
  ASSERT_NE(log.find("status=0"), std::string::npos) << log;
  // The stream header's nominal bitrate is the one asked for.
  EXPECT_EQ(Probe(dir / "ogg/two.ogg", "stream=codec_name,sample_rate,channels,bit_rate"),
            "vorbis,44100,2,192000\n");
  EXPECT_NEAR(Duration(dir / "ogg/two.ogg"), 1.5, 0.02);
  const std::string quality =
      Cli("-f ogg --ogg-quality 0 -o " + Quoted(dir / "ogg0") + " " + Quoted(dir / "two.wav"));
  ASSERT_NE(quality.find("status=0"), std::string::npos) << quality;
  EXPECT_LT(fs::file_size(dir / "ogg0/two.ogg"), fs::file_size(dir / "ogg/two.ogg"));

  const std::string opus = Cli("-f opus -b 96 -o " + Quoted(dir / "opus") + " " +
                               Quoted(dir / "six.wav") + " " + Quoted(dir / "two.wav"));
  ASSERT_NE(opus.find("status=0"), std::string::npos) << opus;
  EXPECT_EQ(Probe(dir / "opus/six.opus", "stream=codec_name,sample_rate,channels"),
            "opus,48000,6\n");
  EXPECT_NEAR(Duration(dir / "opus/two.opus"), 1.5, 0.02);
  // Opus at a target bitrate overshoots on two pure tones, as the reference encoder does on the
  // same source; the default's 128 kbit/s would make a quarter more.
  ASSERT_EQ(std::system(("opusenc --quiet --bitrate 96 " + Quoted(dir / "two.wav") + " " +
                         Quoted(dir / "ref.opus"))
                            .c_str()),
            0);
  const double reference = std::atof(Probe(dir / "ref.opus", "format=bit_rate").c_str());
  ASSERT_GT(reference, 90000);
  EXPECT_NEAR(std::atof(Probe(dir / "opus/two.opus", "format=bit_rate").c_str()), reference,
              0.1 * reference);
  // And back: an Opus source decodes to the length it holds.
  const std::string back =
      Cli("-f wav -o " + Quoted(dir / "back") + " " + Quoted(dir / "opus/two.opus"));
  ASSERT_NE(back.find("status=0"), std::string::npos) << back;
  EXPECT_EQ(WavPayload(dir / "back/two.wav").size() / 4, 72000u);
}

TEST_F(Formats, RateChannelsAndBitsAreChangedOnRequest) {
  const std::string log = Cli("-f wav --rate 44100 --channels 2 --bits 16 -o " +
                              Quoted(dir / "out") + " " + Quoted(dir / "six.wav"));
  ASSERT_NE(log.find("status=0"), std::string::npos) << log;
  EXPECT_EQ(Probe(dir / "out/six.wav", "stream=codec_name,sample_rate,channels"),
            "pcm_s16le,44100,2\n");
  EXPECT_EQ(WavPayload(dir / "out/six.wav").size() / 4, 66150u);
  const std::string mono = Cli("-f mp3 --channels 1 --rate 22050 -o " + Quoted(dir / "mono") + " " +
                               Quoted(dir / "two.wav"));
  ASSERT_NE(mono.find("status=0"), std::string::npos) << mono;
  EXPECT_EQ(Probe(dir / "mono/two.mp3", "stream=sample_rate,channels"), "22050,1\n");
}

TEST_F(Formats, Mp3AtAVariableBitrate) {
  const std::string log =
      Cli("-f mp3 --mp3-vbr 2 -o " + Quoted(dir / "vbr") + " " + Quoted(dir / "two.wav") + " ; " +
          TUNEVERT_CLI + " -f mp3 --mp3-vbr 9 -o " + Quoted(dir / "v9") + " " +
          Quoted(dir / "two.wav"));
  ASSERT_NE(log.find("status=0"), std::string::npos) << log;
  EXPECT_GT(fs::file_size(dir / "vbr/two.mp3"), fs::file_size(dir / "v9/two.mp3"));
  EXPECT_NEAR(Duration(dir / "vbr/two.mp3"), 1.5, 0.06);
}

TEST(FormatOptions, BadValuesAreUsageErrors) {
  for (const char* args :
       {"-f aac x.wav", "-f mp3 --bits 24 x.wav", "-f opus -b 320 x.wav", "-f mp3 -b 6 x.wav",
        "--flac-level 9 x.wav", "--mp3-vbr 10 x.wav", "--ogg-quality 11 x.wav",
        "--ogg-quality x x.wav", "--rate 100 x.wav", "--channels 3 x.wav", "--bits 20 x.wav"}) {
    const std::string log = Cli(args);
    EXPECT_NE(log.find("status=2"), std::string::npos) << args << ": " << log;
  }
}
