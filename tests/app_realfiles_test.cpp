// Files written by other tools, converted to WAV by tunevert-cli and compared with what
// ffmpeg decodes from the same source: same rate and channel layout, same length, same samples.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "AppTestFiles.h"

using namespace tunevert::testing;

namespace {

struct RealFile {
  const char* Path;             // under the test data folder
  int FrameSlack;               // how many frames shorter than ffmpeg's decode ours may be
  double MinSnr;                // 0: the samples must be identical
  const char* Codec = nullptr;  // the output's codec, where the row names it
};

void PrintTo(const RealFile& f, std::ostream* os) {
  *os << f.Path;
}

// ffprobe's codec, rate and channels of a file's first audio stream.
struct Stream {
  std::string Codec;
  int Rate = 0, Channels = 0;
};

Stream StreamOf(const std::string& path) {
  std::istringstream fields(ProbeAudio(path));  // codec,rate,channels,bitrate
  Stream s;
  std::string rate, channels;
  std::getline(fields, s.Codec, ',');
  std::getline(fields, rate, ',');
  std::getline(fields, channels, ',');
  s.Rate = std::atoi(rate.c_str());
  s.Channels = std::atoi(channels.c_str());
  return s;
}

// ffmpeg's decode, scaled to 32 bits. At 16 bits the source is rounded by ffmpeg itself, so
// that a float decoder's extra precision is not counted against a 16-bit output.
std::vector<int32_t> Decode(const std::string& path, int bits) {
  const std::string format = bits == 16 ? "s16le" : "s32le";
  const std::string raw = CommandOutput("ffmpeg -nostdin -v error -i '" + path + "' -f " + format +
                                        " -c:a pcm_" + format + " -");
  const size_t width = static_cast<size_t>(bits / 8);
  if (raw.size() < width) {
    ADD_FAILURE() << "ffmpeg decoded nothing from " << path;
    return {};
  }
  std::vector<int32_t> s(raw.size() / width);
  for (size_t i = 0; i < s.size(); ++i) {
    if (bits == 16) {
      int16_t v;
      std::memcpy(&v, raw.data() + 2 * i, 2);
      s[i] = int32_t{v} * 65536;
    } else {
      std::memcpy(&s[i], raw.data() + 4 * i, 4);
    }
  }
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

  const Stream in = StreamOf(source), out = StreamOf(output);
  const int channels = in.Channels;
  ASSERT_GT(channels, 0);
  EXPECT_EQ(out.Channels, channels);
  EXPECT_EQ(out.Rate, in.Rate);
  if (f.Codec != nullptr) {
    EXPECT_EQ(out.Codec, f.Codec);
  }
  const int bits = out.Codec == "pcm_s16le" ? 16 : 32;
  const std::vector<int32_t> ref = Decode(source, bits), got = Decode(output, bits);
  const auto refFrames = static_cast<long>(ref.size()) / channels;
  const auto gotFrames = static_cast<long>(got.size()) / channels;
  ASSERT_LE(gotFrames, refFrames) << "longer than the audio";
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
        // An MPEG Layer-3 payload, decoded by libmpg123: now and then a sample rounds one step
        // away from ffmpeg's (85 dB: one in a hundred, on this quiet source)
        RealFile{"wav/mp3-stereo-22050.wav", 0, 85, "pcm_s16le"},
        // MP3 and WMA, and MP3 as other encoders and taggers leave it
        RealFile{"wm/mp3-cbr-stereo-44100.mp3", 0, 0}, RealFile{"wm/wmav1-mono-22050.wma", 0, 0},
        RealFile{"wm/mp3src/plain.mp3", 0, 0}, RealFile{"wm/mp3src/two-id3v2-tags.mp3", 0, 0},
        RealFile{"wm/mp3src/mpeg25-mono-8000.mp3", 0, 0},
        RealFile{"wm/mp3src/apev2-trailer.mp3", 0, 0},
        // Multichannel Vorbis: a swapped channel drops the SNR to nothing. This ffmpeg does
        // not trim the last block to the stream's end granule, as libvorbisfile does.
        RealFile{"vorbis/ch3.ogg", 120, 60}, RealFile{"vorbis/ch6.ogg", 120, 60},
        RealFile{"vorbis/ch8.ogg", 120, 60},
        // FLAC, and a download cut short: no silence after what is there
        RealFile{"flac/s16-stereo.flac", 0, 0}, RealFile{"lengths/truncated.flac", 4608, 0}));

}  // namespace
