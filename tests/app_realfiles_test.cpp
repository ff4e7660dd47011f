// Files written by other tools, converted to WAV by tunevert-cli and compared with what
// ffmpeg decodes from the same source: same channel layout, same length, same samples.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "AppTestFiles.h"

using namespace tunevert::testing;

namespace {

struct RealFile {
  const char* Path;  // under the test data folder
  int FrameSlack;    // how many frames shorter than ffmpeg's decode ours may be
  double MinSnr;     // 0: the samples must be identical
};

void PrintTo(const RealFile& f, std::ostream* os) {
  *os << f.Path;
}

int Channels(const std::string& path) {
  const std::string probe = ProbeAudio(path);  // codec,rate,channels,bitrate
  const size_t a = probe.find(',', probe.find(',') + 1);
  return a == std::string::npos ? 0 : std::atoi(probe.c_str() + a + 1);
}

std::vector<int32_t> Decode(const std::string& path) {
  const std::string raw =
      CommandOutput("ffmpeg -nostdin -v error -i '" + path + "' -f s32le -c:a pcm_s32le -");
  std::vector<int32_t> s(raw.size() / 4);
  std::memcpy(s.data(), raw.data(), s.size() * 4);
  return s;
}

double SnrDb(const std::vector<int32_t>& ref, const std::vector<int32_t>& got) {
  double signal = 0, noise = 0;
  for (size_t i = 0; i < std::min(ref.size(), got.size()); ++i) {
    const double r = ref[i] / 65536.0, d = (ref[i] - static_cast<double>(got[i])) / 65536.0;
    signal += r * r;
    noise += d * d;
  }
  return noise == 0 ? INFINITY : 10 * std::log10(signal / noise);
}

class RealFiles : public ::testing::TestWithParam<RealFile> {};

TEST_P(RealFiles, ConvertToWhatFfmpegDecodes) {
  const RealFile& f = GetParam();
  const std::string source = std::string(TUNEVERT_TEST_DATA) + "/" + f.Path;
  TempDir dir;
  const std::string name = std::string(f.Path).substr(std::string(f.Path).rfind('/') + 1);
  const std::string output = dir / (name.substr(0, name.rfind('.')) + ".wav");
  const std::string log = CommandOutput(std::string(TUNEVERT_CLI) + " -f wav -o '" +
                                        dir.Path.string() + "' '" + source + "' 2>&1");
  ASSERT_EQ(log.rfind("done: ", 0), 0u) << log;

  const int channels = Channels(source);
  ASSERT_GT(channels, 0);
  EXPECT_EQ(Channels(output), channels);
  const std::vector<int32_t> ref = Decode(source), got = Decode(output);
  const auto refFrames = static_cast<long>(ref.size()) / channels;
  const auto gotFrames = static_cast<long>(got.size()) / channels;
  EXPECT_LE(gotFrames, refFrames) << "longer than the audio";
  EXPECT_GE(gotFrames, refFrames - f.FrameSlack);
  if (f.MinSnr == 0)
    EXPECT_TRUE(std::equal(got.begin(), got.end(), ref.begin())) << "samples differ";
  else
    EXPECT_GE(SnrDb(ref, got), f.MinSnr);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, RealFiles,
    ::testing::Values(
        // WAV layouts and lying sizes
        RealFile{"wav/pcm24-stereo.wav", 0, 0}, RealFile{"wav/data-size-placeholder.wav", 0, 0},
        RealFile{"wav/data-size-past-end.wav", 0, 0}, RealFile{"wav/rf64-pcm16.wav", 0, 0},
        RealFile{"wav/odd-bext-and-id3.wav", 0, 0}, RealFile{"wav/ext20-in-24.wav", 0, 0},
        RealFile{"wav/ms-stereo.wav", 0, 0}, RealFile{"wav/ima-stereo-ffmpeg.wav", 0, 40},
        // WAV codecs decoded through the runtime
        RealFile{"wm/wavcodecs/alaw-mono-8000.wav", 0, 0},
        RealFile{"wm/wavcodecs/gsm610-mono-8000.wav", 0, 0},
        // MP3 as other encoders and taggers leave it
        RealFile{"wm/mp3src/plain.mp3", 0, 60}, RealFile{"wm/mp3src/two-id3v2-tags.mp3", 0, 60},
        RealFile{"wm/mp3src/mpeg25-mono-8000.mp3", 0, 60},
        RealFile{"wm/mp3src/apev2-trailer.mp3", 0, 60},
        // Multichannel Vorbis: a swapped channel drops the SNR to nothing. This ffmpeg does
        // not trim the last block to the stream's end granule, as libvorbisfile does.
        RealFile{"vorbis/ch3.ogg", 120, 60}, RealFile{"vorbis/ch6.ogg", 120, 60},
        RealFile{"vorbis/ch8.ogg", 120, 60},
        // A download cut short: no silence after what is there
        RealFile{"lengths/truncated.flac", 4608, 0}));

}  // namespace
