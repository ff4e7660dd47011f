// Ogg Vorbis output: encodes checked by oggdec, ffprobe and ffmpeg (length, format, bitrate,
// tones per channel), the channel order of every layout, and refused settings.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "AppTestFiles.h"
#include "PipelineFakes.h"
#include "vorbis/AuVorbisOut.h"
#include "wav/AuWave.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

constexpr double kPi = 3.14159265358979323846;

// Channel c carries a tone of kTones[c]: none is a harmonic of another.
constexpr double kTones[] = {440, 660, 1000, 1330, 1700, 2200, 2750, 3300};

// Each channel its own tone at Amplitude (of full scale), with quiet noise on top so that
// the encoder has work to do at every bitrate.
std::vector<uint8_t> TonePcm(int frames, int channels, int bits, int rate, double amplitude,
                             double noise) {
  std::vector<uint8_t> pcm;
  uint32_t seed = 1;
  const double full = std::ldexp(1.0, bits - 1) - 1;
  for (int f = 0; f < frames; ++f)
    for (int c = 0; c < channels; ++c) {
      seed = seed * 1664525u + 1013904223u;
      const double hiss = (static_cast<int32_t>(seed) / 2147483648.0) * noise;
      const double x = amplitude * std::sin(2 * kPi * kTones[c] * f / rate) + hiss;
      const auto v = static_cast<int64_t>(std::lround(x * full));
      const int64_t stored = bits == 8 ? v + 128 : v;
      for (int b = 0; b < bits / 8; ++b) pcm.push_back(static_cast<uint8_t>(stored >> (8 * b)));
    }
  return pcm;
}

struct Decoded {
  int Channels = 0;
  std::vector<int16_t> Samples;
  size_t Frames() const { return Channels == 0 ? 0 : Samples.size() / Channels; }
};

Decoded FfmpegDecode(const std::string& path, int channels) {
  const std::string raw =
      CommandOutput("ffmpeg -nostdin -v error -i " + Quoted(path) + " -f s16le -c:a pcm_s16le -");
  Decoded d;
  d.Channels = channels;
  if (raw.size() < 2) {
    ADD_FAILURE() << "ffmpeg decoded nothing from " << path;
    return d;
  }
  d.Samples.resize(raw.size() / 2);
  std::memcpy(d.Samples.data(), raw.data(), d.Samples.size() * 2);
  return d;
}

// Amplitude (of full scale) of the tone at Freq in one channel: a Hann-windowed single-bin
// DFT over the middle of the signal.
double Tone(const Decoded& d, int channel, int rate, double freq) {
  const size_t frames = d.Frames(), skip = frames / 8;
  if (frames < 2000) return -1;
  const size_t n = frames - 2 * skip;
  double re = 0, im = 0, wsum = 0;
  for (size_t i = 0; i < n; ++i) {
    const double w = 0.5 - 0.5 * std::cos(2 * kPi * i / (n - 1));
    const double x = d.Samples[(skip + i) * d.Channels + channel] / 32768.0;
    const double ph = 2 * kPi * freq * static_cast<double>(skip + i) / rate;
    re += w * x * std::cos(ph);
    im += w * x * std::sin(ph);
    wsum += w;
  }
  return 2 * std::sqrt(re * re + im * im) / wsum;
}

// Each channel holds its own tone at about Amplitude and none of the others'.
void ExpectOwnTones(const Decoded& d, int rate, double amplitude) {
  for (int c = 0; c < d.Channels; ++c)
    for (int t = 0; t < d.Channels; ++t) {
      const double a = Tone(d, c, rate, kTones[t]);
      if (t == c) {
        EXPECT_GT(a, amplitude * 0.84) << "channel " << c << " lost its tone";
        EXPECT_LT(a, amplitude * 1.19) << "channel " << c;
      } else {
        EXPECT_LT(a, amplitude * 0.05) << "channel " << c << " holds the tone of " << t;
      }
    }
}

double ProbedDuration(const std::string& path) {
  return std::atof(
      CommandOutput("ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 " +
                    Quoted(path))
          .c_str());
}

// Bytes of the pages after the three header packets: the audio the bitrate pays for.
int64_t AudioPageBytes(const std::vector<uint8_t>& file) {
  int64_t total = 0;
  for (size_t at = 0; at + 27 <= file.size();) {
    if (std::memcmp(&file[at], "OggS", 4) != 0) return -1;
    int64_t granule = 0;
    std::memcpy(&granule, &file[at + 6], 8);
    const size_t segments = file[at + 26];
    size_t body = 0;
    for (size_t s = 0; s < segments && at + 27 + s < file.size(); ++s) body += file[at + 27 + s];
    const size_t page = 27 + segments + body;
    if (granule > 0) total += static_cast<int64_t>(page);
    at += page;
  }
  return total;
}

TComponentPtr<TVorbisOut> EncodeWav(const std::string& wav, const std::string& ogg, double quality,
                                    uint32_t kbps) {
  auto out = MakeComponent<TVorbisOut>(nullptr);
  out->SetQuality(quality);
  out->SetBitrateKbps(kbps);
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(wav);
  out->SetInput(in.get());
  out->SetFileName(ogg);
  out->BlockingRun();
  out->SetInput(nullptr);
  return out;
}

struct VorbisCase {
  const char* Name;
  int Channels, Bits, Rate;
  double Quality;
  uint32_t Kbps;
};

void PrintTo(const VorbisCase& c, std::ostream* os) {
  *os << c.Name;
}

class VorbisEncode : public ::testing::TestWithParam<VorbisCase> {};

TEST_P(VorbisEncode, DecodesToTheSameLengthFormatAndTones) {
  const VorbisCase& c = GetParam();
  TempDir dir;
  const int frames = 3 * c.Rate + 123;
  WriteWav(dir / "in.wav", TonePcm(frames, c.Channels, c.Bits, c.Rate, 0.3, 0.05), c.Channels,
           c.Bits, c.Rate);
  EncodeWav(dir / "in.wav", dir / "out.ogg", c.Quality, c.Kbps);

  // The reference decoder reads it whole, to the frame.
  ASSERT_EQ(
      std::system(
          ("oggdec -Q -o " + Quoted(dir / "dec.wav") + " " + Quoted(dir / "out.ogg")).c_str()),
      0);
  EXPECT_EQ(WavPayload(dir / "dec.wav").size(), size_t(frames) * c.Channels * 2);
  EXPECT_NEAR(ProbedDuration(dir / "out.ogg"), double(frames) / c.Rate, 0.020);
  EXPECT_EQ(ProbeAudio(dir / "out.ogg").substr(0, ProbeAudio(dir / "out.ogg").rfind(',')),
            "vorbis," + std::to_string(c.Rate) + "," + std::to_string(c.Channels));
  if (c.Kbps != 0) {
    const double kbps =
        AudioPageBytes(ReadAll(dir / "out.ogg")) * 8 / (double(frames) / c.Rate) / 1000;
    EXPECT_NEAR(kbps, c.Kbps, c.Kbps * 0.15);
  }
  ExpectOwnTones(FfmpegDecode(dir / "out.ogg", c.Channels), c.Rate, 0.3);
}

INSTANTIATE_TEST_SUITE_P(Settings, VorbisEncode,
                         ::testing::Values(VorbisCase{"stereo16_q5", 2, 16, 44100, 5, 0},
                                           VorbisCase{"mono8_q0", 1, 8, 22050, 0, 0},
                                           VorbisCase{"stereo24_48k_128k", 2, 24, 48000, 5, 128},
                                           VorbisCase{"stereo32_192k", 2, 32, 44100, 5, 192},
                                           VorbisCase{"mono16_32k_64k", 1, 16, 32000, 5, 64},
                                           VorbisCase{"stereo16_320k", 2, 16, 44100, 5, 320},
                                           VorbisCase{"stereo16_48k_lowest", 2, 16, 44100, 5, 48},
                                           VorbisCase{"stereo16_11025_q_minus1", 2, 16, 11025, -1,
                                                      0}),
                         [](const auto& p) { return std::string(p.param.Name); });

class VorbisChannelOrder : public ::testing::TestWithParam<int> {};

// WAV order in, Vorbis order in the file: a decoder that maps back to its own layout finds
// every tone on the channel it started on.
TEST_P(VorbisChannelOrder, EveryChannelKeepsItsTone) {
  const int channels = GetParam();
  TempDir dir;
  WriteWav(dir / "in.wav", TonePcm(16000, channels, 16, 32000, 0.25, 0), channels, 16, 32000);
  EncodeWav(dir / "in.wav", dir / "out.ogg", 5, 0);
  ExpectOwnTones(FfmpegDecode(dir / "out.ogg", channels), 32000, 0.25);
}

INSTANTIATE_TEST_SUITE_P(Layouts, VorbisChannelOrder, ::testing::Range(1, 9),
                         [](const auto& p) { return std::to_string(p.param) + "ch"; });

TEST(VorbisQuality, HigherQualitySpendsMoreBits) {
  TempDir dir;
  WriteWav(dir / "in.wav", TonePcm(3 * 44100, 2, 16, 44100, 0.3, 0.05), 2, 16, 44100);
  int64_t last = 0;
  for (double q : {-1.0, 2.0, 5.0, 10.0}) {
    const std::string ogg = dir / ("q" + std::to_string(int(q + 1)) + ".ogg");
    EncodeWav(dir / "in.wav", ogg, q, 0);
    const int64_t bytes = AudioPageBytes(ReadAll(ogg));
    EXPECT_GT(bytes, last * 5 / 4) << "quality " << q;
    last = bytes;
  }
}

// What the encoder cannot make is an error with the reason, the input's pass is closed, and
// the output works for the next file.
TEST(VorbisRefused, ImpossibleBitrateAndTooManyChannels) {
  TempDir dir;
  auto out = MakeComponent<TVorbisOut>(nullptr);
  PatternInput in;
  in.Rate = 8000;
  in.Chans = 1;
  out->SetBitrateKbps(320);
  out->SetInput(&in);
  out->SetFileName(dir / "a.ogg");
  try {
    out->BlockingRun();
    ADD_FAILURE() << "320 kbit/s mono at 8 kHz was accepted";
  } catch (const EAuException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("The Vorbis encoder cannot encode 1 channels at 8000 Hz "
                                          "with 320 kbit/s",
                                          0),
              0u)
        << e.what();
  }
  in.Chans = 9;
  out->SetBitrateKbps(0);
  EXPECT_THROW(out->BlockingRun(), EAuException);
  EXPECT_EQ(in.Starts, 2);
  EXPECT_EQ(in.Stops, 2);
  in.Chans = 2;
  in.Rate = 44100;
  in.TotalFrames = 44100;
  out->SetFileName(dir / "ok.ogg");
  out->BlockingRun();
  out->SetInput(nullptr);
  EXPECT_NEAR(ProbedDuration(dir / "ok.ogg"), 1.0, 0.020);
}

}  // namespace
