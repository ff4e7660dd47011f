// Conversions through tunevert-cli checked by the reference tools: each output's format,
// bitrate and length, and what each format's settings change.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

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

// 1.5 s of tones made by sox: "six.wav" has six channels at 24 bits and 48 kHz, "two.wav" two
// at 16 bits and 44.1 kHz.
std::string SynthCommand(const std::string& name, const std::string& path) {
  if (name == "six.wav")
    return "sox -n -b 24 -r 48000 -c 6 " + Quoted(path) +
           " synth 1.5 sine 300 sine 500 sine 700 sine 900 sine 1100 sine 1300 vol 0.4";
  return "sox -n -b 16 -r 44100 -c 2 " + Quoted(path) + " synth 1.5 sine 440 sine 660 vol 0.5";
}

class Formats : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(std::system((SynthCommand("six.wav", dir / "six.wav") + " && " +
                           SynthCommand("two.wav", dir / "two.wav"))
                              .c_str()),
              0);
  }
  TempDir dir;
};

// One source through tunevert-cli, its output as ffprobe and ffmpeg see it.
struct Conversion {
  const char* Name;
  const char* Source;             // under the test data folder, or "six.wav" or "two.wav" from sox
  const char* Options;            // format and settings
  const char* Output;             // the output's file name
  const char* Stream;             // ffprobe's "codec,rate,channels"
  int Kbps;                       // the stream's bitrate; 0: not checked
  double KbpsSlack;               // a fraction of it
  double MinSeconds, MaxSeconds;  // the length decoded, and the one the container announces
};

void PrintTo(const Conversion& c, std::ostream* os) {
  *os << c.Source << " " << c.Options;
}

// An MP3 lasts as long as its source, or at most the encoder's delay (576 + 529) and one
// frame's padding more where the decoder does not trim them.
constexpr double Mp3Longest(double seconds, int rate) {
  return seconds + (1105.0 + 1152.0) / rate;
}

// One frame of the WMA encoder at 44.1 kHz, in seconds. A WMA output holds all of its audio
// and up to one frame of silence that completes the last; the container counts one more.
constexpr double kWmaFrame = 2048.0 / 44100;

class CliConversion : public ::testing::TestWithParam<Conversion> {};

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

TEST_F(Formats, Mp3AtAVariableBitrate) {
  const std::string log =
      Cli("-f mp3 --mp3-vbr 2 -o " + Quoted(dir / "vbr") + " " + Quoted(dir / "two.wav") + " ; " +
          TUNEVERT_CLI + " -f mp3 --mp3-vbr 9 -o " + Quoted(dir / "v9") + " " +
          Quoted(dir / "two.wav"));
  ASSERT_NE(log.find("status=0"), std::string::npos) << log;
  EXPECT_GT(fs::file_size(dir / "vbr/two.mp3"), fs::file_size(dir / "v9/two.mp3"));
  EXPECT_NEAR(Duration(dir / "vbr/two.mp3"), 1.5, 0.06);
}

TEST_P(CliConversion, HasTheFormatBitrateAndLengthAskedFor) {
  const Conversion& c = GetParam();
  TempDir dir;
  std::string source = std::string(TUNEVERT_TEST_DATA) + "/" + c.Source;
  if (std::string(c.Source).find('/') == std::string::npos) {
    source = dir / c.Source;
    ASSERT_EQ(std::system(SynthCommand(c.Source, source).c_str()), 0);
  }
  const std::string out = dir / "out";
  const std::string target = out + "/" + c.Output;
  const std::string log = Cli(std::string(c.Options) + " -o " + Quoted(out) + " " + Quoted(source));
  ASSERT_NE(log.find("status=0"), std::string::npos) << log;
  EXPECT_EQ(log.substr(0, log.find('\n') + 1), "done: " + source + " -> " + target + "\n");
  EXPECT_NE(log.find("\n1 converted, 0 failed, 0 skipped in "), std::string::npos) << log;
  // The output alone: no temporary file left beside it.
  std::vector<std::string> written;
  for (const auto& e : fs::directory_iterator(out)) written.push_back(e.path().filename());
  EXPECT_EQ(written, std::vector<std::string>{c.Output});

  const std::string probe = ProbeAudio(target);  // codec,rate,channels,bitrate
  const size_t bitrateAt = probe.rfind(',') + 1;
  ASSERT_EQ(probe.substr(0, bitrateAt), std::string(c.Stream) + ",") << probe;
  if (c.Kbps != 0) {
    EXPECT_NEAR(std::atof(probe.c_str() + bitrateAt), c.Kbps * 1000.0,
                c.Kbps * 1000.0 * c.KbpsSlack);
  }
  const std::string stream = c.Stream;
  const size_t rateAt = stream.find(',') + 1, channelsAt = stream.find(',', rateAt) + 1;
  const int rate = std::atoi(stream.c_str() + rateAt);
  const int channels = std::atoi(stream.c_str() + channelsAt);
  const double decoded = static_cast<double>(DecodedFrames(target, channels)) / rate;
  EXPECT_GE(decoded, c.MinSeconds);
  EXPECT_LE(decoded, c.MaxSeconds);
  const double announced = Duration(target);
  EXPECT_GE(announced, c.MinSeconds);
  EXPECT_LE(announced, c.MaxSeconds);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, CliConversion,
    ::testing::Values(
        // MP3 at the bitrate asked for, or at the default 160 kbit/s
        Conversion{"wav_to_mp3_at_256", "mp3out/stereo16.wav", "-f mp3 -b 256", "stereo16.mp3",
                   "mp3,44100,2", 256, 0, 0.5, Mp3Longest(0.5, 44100)},
        Conversion{"wav_to_mp3_at_the_default", "mp3out/stereo16.wav", "-f mp3", "stereo16.mp3",
                   "mp3,44100,2", 160, 0, 0.5, Mp3Longest(0.5, 44100)},
        Conversion{"wav_to_mp3_at_96", "mp3out/stereo16.wav", "-f mp3 -b 96", "stereo16.mp3",
                   "mp3,44100,2", 96, 0, 0.5, Mp3Longest(0.5, 44100)},
        Conversion{"mono_wav_to_mp3_at_160", "mp3out/mono16.wav", "-f mp3 -b 160", "mono16.mp3",
                   "mp3,44100,1", 160, 0, 0.5, Mp3Longest(0.5, 44100)},
        Conversion{"ogg_to_mp3_at_128", "vorbis/stereo.ogg", "-f mp3 -b 128", "stereo.mp3",
                   "mp3,44100,2", 128, 0, 1.5, Mp3Longest(1.5, 44100)},
        // An MPEG Layer-3 payload in WAV, 24192 frames as ffmpeg decodes it
        Conversion{"mp3_payload_wav_to_mp3_at_128", "wav/mp3-stereo-44100.wav", "-f mp3 -b 128",
                   "mp3-stereo-44100.mp3", "mp3,44100,2", 128, 0, 24192.0 / 44100,
                   Mp3Longest(24192.0 / 44100, 44100)},
        Conversion{"stereo_to_mono_mp3_at_22050", "two.wav", "-f mp3 --channels 1 --rate 22050",
                   "two.mp3", "mp3,22050,1", 160, 0, 1.5, Mp3Longest(1.5, 22050)},
        // WMA within a percent of the bitrate asked for and a codec frame of the length; mono
        // at 22.05 kHz goes to 44.1 kHz, the first rate offering 128 kbit/s mono
        Conversion{"wav_to_wma_at_128", "wmaout/stereo-44100.wav", "-f wma -b 128",
                   "stereo-44100.wma", "wmav2,44100,2", 128, 0.01, 1, 1 + 2 * kWmaFrame},
        Conversion{"mono_wav_to_wma_at_128", "wmaout/mono-22050.wav", "-f wma -b 128",
                   "mono-22050.wma", "wmav2,44100,1", 128, 0.01, 1, 1 + 2 * kWmaFrame},
        Conversion{"flac_to_wma_at_96", "wmaout/stereo-44100.flac", "-f wma -b 96",
                   "stereo-44100.wma", "wmav2,44100,2", 96, 0.01, 1, 1 + 2 * kWmaFrame},
        Conversion{"mp3_to_wma_at_96", "wmaout/stereo-44100.mp3", "-f wma -b 96",
                   "stereo-44100.wma", "wmav2,44100,2", 96, 0.01, 1, 1 + 2 * kWmaFrame},
        // Resampled, mixed down and dithered, to the frame
        Conversion{"six_channels_to_16_bit_stereo_wav_at_44100", "six.wav",
                   "-f wav --rate 44100 --channels 2 --bits 16", "six.wav", "pcm_s16le,44100,2", 0,
                   0, 1.5, 1.5}),
    [](const auto& p) { return std::string(p.param.Name); });

TEST(FormatOptions, BadValuesAreUsageErrors) {
  for (const char* args :
       {"-f aac x.wav", "-f mp3 --bits 24 x.wav", "-f opus -b 320 x.wav", "-f mp3 -b 6 x.wav",
        "--flac-level 9 x.wav", "--mp3-vbr 10 x.wav", "--ogg-quality 11 x.wav",
        "--ogg-quality x x.wav", "--rate 100 x.wav", "--channels 3 x.wav", "--bits 20 x.wav"}) {
    const std::string log = Cli(args);
    EXPECT_NE(log.find("status=2"), std::string::npos) << args << ": " << log;
  }
}
