// The output settings stage: sample rate, channels and bit depth between an input and an
// output, measured against ideal tones and read back by ffmpeg.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "WavTestUtil.h"
#include "pipeline/AuFormatStage.h"
#include "wav/AuWave.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

// Integer PCM held in memory, handed out in blocks of at most MaxBlock bytes.
class PcmInput final : public TAuInput {
 public:
  PcmInput(std::vector<uint8_t> Pcm, uint32_t Bits, uint32_t Chans, uint32_t Rate)
      : TAuInput(nullptr), FPcm(std::move(Pcm)), FBits(Bits), FChans(Chans), FRate(Rate) {}
  uint32_t MaxBlock = 3000;

 protected:
  uint32_t GetBitsPerSample() override { return FBits; }
  uint32_t GetChannels() override { return FChans; }
  uint32_t GetSampleRate() override { return FRate; }
  int64_t GetTotalSamples() override { return static_cast<int64_t>(FPcm.size()) / Frame(); }
  void StartInput() override {
    FAt = 0;
    FSize = static_cast<int64_t>(FPcm.size());
    Busy = true;
  }
  void StopInput() override { Busy = false; }
  void ProduceData(void*& Buffer, uint32_t& Bytes) override {
    const size_t n = std::min<size_t>({Bytes, MaxBlock, FPcm.size() - FAt}) / Frame() * Frame();
    Buffer = FPcm.data() + FAt;
    Bytes = static_cast<uint32_t>(n);
    FAt += n;
  }

 private:
  uint32_t Frame() const { return FBits / 8 * FChans; }
  std::vector<uint8_t> FPcm;
  uint32_t FBits, FChans, FRate;
  size_t FAt = 0;
};

// Integers of 16 bits or more from normalised values, rounded: the exact reference.
std::vector<uint8_t> Encode(const std::vector<double>& V, uint32_t Bits) {
  std::vector<uint8_t> out;
  const double scale = std::ldexp(1.0, static_cast<int>(Bits) - 1);
  for (double v : V) {
    const auto q = static_cast<int64_t>(
        std::clamp(std::lrint(v * scale), -int64_t(scale), static_cast<int64_t>(scale) - 1));
    for (uint32_t b = 0; b < Bits / 8; ++b) out.push_back(static_cast<uint8_t>(q >> (8 * b)));
  }
  return out;
}

// Signed values of little-endian PCM of 16 bits or more.
std::vector<int64_t> Values(const std::vector<uint8_t>& B, uint32_t Bits) {
  std::vector<int64_t> out;
  const uint32_t w = Bits / 8;
  for (size_t i = 0; i + w <= B.size(); i += w) {
    uint64_t u = 0;
    for (uint32_t b = 0; b < w; ++b) u |= uint64_t{B[i + b]} << (8 * b);
    const int shift = 64 - static_cast<int>(Bits);
    out.push_back(static_cast<int64_t>(u << shift) >> shift);
  }
  return out;
}

std::vector<double> Tone(size_t Frames, uint32_t Chans, double Rate, double Hz,
                         const std::vector<double>& Amp) {
  std::vector<double> v(Frames * Chans);
  for (size_t f = 0; f < Frames; ++f)
    for (uint32_t c = 0; c < Chans; ++c)
      v[f * Chans + c] = Amp[c] * std::sin(2 * M_PI * Hz * f / Rate);
  return v;
}

// Least-squares fit of A*sin(wt + phase) at Hz over channel C, 20 ms in from either end.
struct TFit {
  double Amp, Phase, SnrDb;
};
TFit FitTone(const std::vector<int64_t>& V, uint32_t Chans, uint32_t C, double Rate, double Hz,
             double FullScale) {
  const size_t frames = V.size() / Chans, edge = static_cast<size_t>(Rate / 50);
  const auto x = [&](size_t f) { return static_cast<double>(V[f * Chans + C]) / FullScale; };
  const auto w = [&](size_t f) { return 2 * M_PI * Hz * static_cast<double>(f) / Rate; };
  double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0, n = 0;
  for (size_t f = edge; f < frames - edge; ++f, ++n) {
    const double s = std::sin(w(f)), c = std::cos(w(f));
    ss += s * s, cc += c * c, sc += s * c, xs += x(f) * s, xc += x(f) * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
  double err = 0;
  for (size_t f = edge; f < frames - edge; ++f) {
    const double e = x(f) - a * std::sin(w(f)) - b * std::cos(w(f));
    err += e * e;
  }
  const double amp = std::hypot(a, b);
  return {amp, std::atan2(b, a), 20 * std::log10(amp / std::sqrt(2) / std::sqrt(err / n))};
}

struct TRateCase {
  uint32_t In, Out, InChans, OutChans;
};
class FormatStageRate : public ::testing::TestWithParam<TRateCase> {};

// With a channel change too: fewer channels are mixed before the filter, more after it.
TEST_P(FormatStageRate, ToneKeepsPitchLevelAndPhaseWithTheExactLength) {
  const auto [inRate, outRate, inChans, outChans] = GetParam();
  const size_t frames = 12345;  // 0.26-0.28 s, not a whole number of blocks
  std::vector<double> amps = {0.5, 0.25};
  amps.resize(inChans);
  PcmInput in(Encode(Tone(frames, inChans, inRate, 1000, amps), 24), 24, inChans, inRate);
  TAuFormatStage stage;
  stage.SetInput(&in);
  stage.SetSampleRate(static_cast<int>(outRate));
  stage.SetChannels(outChans == inChans ? 0 : static_cast<int>(outChans));
  const int64_t expected = std::llround(static_cast<double>(frames) * outRate / inRate);
  EXPECT_EQ(stage.TotalSamples(), expected);
  stage.Init();
  EXPECT_EQ(stage.Size(), expected * 3 * outChans);
  stage.Flush();
  const auto out = ReadPass(stage);
  ASSERT_EQ(out.size(), static_cast<size_t>(expected) * 3 * outChans);
  const auto v = Values(out, 24);
  for (uint32_t c = 0; c < outChans; ++c) {
    const double want = outChans == inChans ? amps[c] : inChans == 1 ? 0.5 : 0.375;
    const TFit fit = FitTone(v, outChans, c, outRate, 1000, 8388608);
    EXPECT_NEAR(fit.Amp, want, 1e-5) << c;
    EXPECT_NEAR(fit.Phase, 0, 1e-5) << "the filter's delay is left in, channel " << c;
    EXPECT_GE(fit.SnrDb, 90) << c;
  }
  // Blocks of any size, asked for in any size, make the same audio: no seams at boundaries.
  in.MaxBlock = 3 * inChans * 7;
  EXPECT_EQ(ReadPass(stage, 3 * outChans * 5), out);
}

INSTANTIATE_TEST_SUITE_P(Rates, FormatStageRate,
                         ::testing::Values(TRateCase{44100, 48000, 2, 2},
                                           TRateCase{48000, 44100, 2, 2},
                                           TRateCase{96000, 44100, 2, 1},
                                           TRateCase{22050, 48000, 1, 2}));

TEST(FormatStage, DownmixLevelsAndFullScale) {
  // One channel at a time at half scale, then all of them near full scale.
  std::vector<double> six;
  for (uint32_t c = 0; c <= 6; ++c)
    for (uint32_t k = 0; k < 6; ++k) six.push_back(c == 6 ? 0.99 : c == k ? 0.5 : 0.0);
  PcmInput in(Encode(six, 24), 24, 6, 48000);
  TAuFormatStage stage;
  stage.SetInput(&in);
  stage.SetChannels(2);
  const auto v = Values(ReadPass(stage), 24);
  ASSERT_EQ(v.size(), 14u);
  // Front left, right, centre, LFE, back left, right: sides carry 1 : 0.707 : 0.707, scaled
  // to add up to 1 so nothing clips; LFE has no place.
  const double front = 1 / (1 + 2 * M_SQRT1_2), side = M_SQRT1_2 * front;
  const double left[] = {front, 0, side, 0, side, 0}, right[] = {0, front, side, 0, 0, side};
  for (size_t k = 0; k < 6; ++k) {
    EXPECT_NEAR(v[2 * k] / 8388608.0, 0.5 * left[k], 1e-6) << "channel " << k;
    EXPECT_NEAR(v[2 * k + 1] / 8388608.0, 0.5 * right[k], 1e-6) << "channel " << k;
  }
  EXPECT_NEAR(v[12] / 8388608.0, 0.99, 1e-6);
  EXPECT_NEAR(v[13] / 8388608.0, 0.99, 1e-6);

  PcmInput st(Encode({0.5, 0.5, 0.5, 0.0, -1.0, -1.0}, 16), 16, 2, 44100);
  stage.SetInput(&st);
  stage.SetChannels(1);
  EXPECT_EQ(Values(ReadPass(stage), 16), (std::vector<int64_t>{16384, 8192, -32768}));
  PcmInput mono(Encode({0.25, -1.0}, 16), 16, 1, 44100);
  stage.SetInput(&mono);
  stage.SetChannels(2);
  EXPECT_EQ(Values(ReadPass(stage), 16), (std::vector<int64_t>{8192, 8192, -32768, -32768}));
}

// Fewer bits: triangular dither of one step either way, so the error is noise at about
// -96 dBFS with no mean, and a tone below the last bit survives on average.
class FormatStageDither : public ::testing::TestWithParam<uint32_t> {};

TEST_P(FormatStageDither, ReducingTo16BitsDithers) {
  const uint32_t bits = GetParam();
  const double step = std::ldexp(1.0, static_cast<int>(bits) - 16);
  const auto source = Tone(48000, 1, 48000, 1000, {0.1});
  const auto exact = Values(Encode(source, bits), bits);
  PcmInput in(Encode(source, bits), bits, 1, 48000);
  TAuFormatStage stage;
  stage.SetInput(&in);
  stage.SetBitsPerSample(16);
  const auto out = ReadPass(stage);
  const auto v = Values(out, 16);
  ASSERT_EQ(v.size(), exact.size());
  double sum = 0, power = 0, worst = 0;
  size_t truncated = 0, rounded = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    const double ideal = static_cast<double>(exact[i]) / step,
                 e = static_cast<double>(v[i]) - ideal;
    sum += e, power += e * e, worst = std::max(worst, std::abs(e));
    truncated += v[i] == static_cast<int64_t>(std::floor(ideal));
    rounded += v[i] == std::llround(ideal);
  }
  const double n = static_cast<double>(v.size());
  EXPECT_NEAR(20 * std::log10(std::sqrt(power / n) / 32768), -96.3, 1.0);
  EXPECT_LT(std::abs(sum / n), 0.02) << "DC in the error";
  EXPECT_LT(worst, 1.5);
  EXPECT_LT(truncated, v.size() * 3 / 4);
  EXPECT_LT(rounded, v.size() * 3 / 4);
  EXPECT_EQ(ReadPass(stage), out) << "the same source must give the same bytes";

  PcmInput quiet(Encode(Tone(48000, 1, 48000, 1000, {0.4 / 32768}), bits), bits, 1, 48000);
  stage.SetInput(&quiet);
  EXPECT_NEAR(FitTone(Values(ReadPass(stage), 16), 1, 0, 48000, 1000, 1).Amp, 0.4, 0.05);
}

INSTANTIATE_TEST_SUITE_P(Depths, FormatStageDither, ::testing::Values(24u, 32u));

TEST(FormatStage, WideningIsExact) {
  const std::vector<double> extremes = {-1.0, -32767 / 32768.0, -1 / 32768.0,
                                        0,    1 / 32768.0,      32767 / 32768.0};
  PcmInput in(Encode(extremes, 16), 16, 2, 44100);
  TAuFormatStage stage;
  stage.SetInput(&in);
  stage.SetBitsPerSample(24);
  const auto src = Values(Encode(extremes, 16), 16);
  const auto got = Values(ReadPass(stage), 24);
  ASSERT_EQ(got.size(), src.size());
  for (size_t i = 0; i < src.size(); ++i) EXPECT_EQ(got[i], src[i] * 256) << i;
  PcmInput bytes(std::vector<uint8_t>{0, 1, 127, 128, 129, 255}, 8, 1, 8000);
  stage.SetInput(&bytes);
  stage.SetBitsPerSample(16);
  EXPECT_EQ(Values(ReadPass(stage), 16),
            (std::vector<int64_t>{-32768, -32512, -256, 0, 256, 32512}));
}

TEST(FormatStage, KeepingTheFormatPassesBlocksThrough) {
  PatternInput src;
  src.TotalFrames = 5000;
  src.MaxBlock = 1000;
  const auto direct = ReadPass(src, 4000);
  TAuFormatStage stage;
  stage.SetInput(&src);
  for (const int rate : {0, 44100}) {
    stage.SetSampleRate(rate);
    stage.SetChannels(rate == 0 ? 0 : 2);
    stage.SetBitsPerSample(rate == 0 ? 0 : 16);
    stage.Init();
    EXPECT_EQ(stage.Size(), 20000);
    std::vector<uint8_t> got;
    for (;;) {
      void* block = nullptr;
      uint32_t n = 4000;
      stage.GetData(block, n);
      if (n == 0) break;
      EXPECT_LE(n, 1000u) << "blocks are handed on as the source delivers them";
      got.insert(got.end(), static_cast<uint8_t*>(block), static_cast<uint8_t*>(block) + n);
    }
    EXPECT_EQ(stage.Position(), 20000);
    stage.Flush();
    EXPECT_FALSE(src.IsBusy());
    EXPECT_EQ(got, direct);
  }
}

// A gain scales the samples after the other changes, rounded with dither: -6.02 dB halves
// every sample to within the dither's two steps with no bias and no truncation pattern, +6 dB
// doubles a quiet tone, and what would exceed full scale stops at it.
TEST(FormatStage, GainScalesWithDitherAndHoldsFullScale) {
  TAuFormatStage stage;
  for (const double bad : {double{NAN}, double{INFINITY}, 60.5, -61.0})
    EXPECT_THROW(stage.SetGain(bad), EAuException) << bad;

  const auto source = Tone(48000, 2, 48000, 1000, {0.6, 0.3});
  const auto exact = Values(Encode(source, 16), 16);
  PcmInput in(Encode(source, 16), 16, 2, 48000);
  stage.SetInput(&in);
  stage.SetGain(20 * std::log10(0.5));
  const auto v = Values(ReadPass(stage), 16);
  ASSERT_EQ(v.size(), exact.size());
  double sum = 0, power = 0, worst = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    const double e = static_cast<double>(v[i]) - static_cast<double>(exact[i]) / 2;
    sum += e, power += e * e, worst = std::max(worst, std::abs(e));
  }
  const double n = static_cast<double>(v.size());
  EXPECT_LT(std::abs(sum / n), 0.02) << "DC in the error";
  EXPECT_LT(worst, 1.5);
  // Plain rounding of halved integers errs by 0 or 0.5 (0.35 RMS); with triangular dither
  // the error is sqrt(1/4).
  EXPECT_NEAR(std::sqrt(power / n), 0.5, 0.05);

  // Through a rate and channel change too, into 24 bits.
  PcmInput quiet(Encode(Tone(44100, 2, 44100, 1000, {0.2, 0.2}), 16), 16, 2, 44100);
  stage.SetInput(&quiet);
  stage.SetSampleRate(48000);
  stage.SetChannels(1);
  stage.SetBitsPerSample(24);
  stage.SetGain(6);
  const TFit fit = FitTone(Values(ReadPass(stage), 24), 1, 0, 48000, 1000, 8388608);
  EXPECT_NEAR(fit.Amp, 0.2 * std::pow(10, 6.0 / 20), 1e-4);
  EXPECT_GE(fit.SnrDb, 80);  // the 16-bit source's own noise, 84 dB below this tone

  PcmInput loud(Encode({0.9, -0.9, 0.25}, 16), 16, 1, 44100);
  stage.SetInput(&loud);
  stage.SetSampleRate(0);
  stage.SetChannels(0);
  stage.SetBitsPerSample(0);
  const auto clamped = Values(ReadPass(stage), 16);
  ASSERT_EQ(clamped.size(), 3u);
  EXPECT_EQ(clamped[0], 32767);
  EXPECT_EQ(clamped[1], -32768);
  EXPECT_NEAR(static_cast<double>(clamped[2]), 8192 * std::pow(10, 6.0 / 20), 1.5);

  // Back at 0 dB nothing is requantised: the source's blocks come through as they are.
  stage.SetGain(0);
  const auto bytes = Encode(source, 16);
  stage.SetInput(&in);
  EXPECT_EQ(ReadPass(stage), bytes);
}

// Limits weigh each source when its pass starts: only what lies above them changes.
TEST(FormatStage, LimitsLowerOnlyWhatIsAbove) {
  TAuFormatStage stage;
  EXPECT_THROW(stage.SetMaxSampleRate(999), EAuException);
  EXPECT_THROW(stage.SetMaxBitsPerSample(20), EAuException);
  stage.SetMaxSampleRate(48000);
  stage.SetMaxBitsPerSample(16);
  PcmInput high(Encode(Tone(9600, 2, 96000, 1000, {0.5, 0.5}), 24), 24, 2, 96000);
  stage.SetInput(&high);
  stage.Init();
  EXPECT_EQ(stage.SampleRate(), 48000u);
  EXPECT_EQ(stage.BitsPerSample(), 16u);
  stage.Flush();
  EXPECT_EQ(ReadPass(stage).size(), size_t{4800} * 2 * 2);

  const auto cd = Encode(Tone(4410, 2, 44100, 1000, {0.5, 0.25}), 16);
  PcmInput below(cd, 16, 2, 44100);
  stage.SetInput(&below);
  EXPECT_EQ(ReadPass(stage), cd) << "a source within the limits is not touched";

  // With an encoder's rate list: the highest common rate it takes within the limit, unless
  // the encoder takes a single rate only.
  const auto aac = [](uint32_t Hz) -> uint32_t {
    for (const uint32_t r : {8000u, 16000u, 22050u, 24000u, 32000u, 44100u, 48000u, 64000u})
      if (r >= Hz) return r;
    return 96000;
  };
  const auto opusOnly = [](uint32_t) -> uint32_t { return 48000; };
  struct TLimitCase {
    uint32_t Source;
    int Limit;
    TAuFormatStage::TRateFor RateFor;
    uint32_t Expected;
  };
  const TLimitCase cases[] = {
      {88200, 48000, nullptr, 48000},  // the limit itself, not a halving
      {96000, 50000, nullptr, 50000},  // any rate, where the output takes any
      {96000, 50000, aac, 48000},      // the encoder would go up to 64000
      {96000, 44100, aac, 44100},
      {22050, 44100, aac, 22050},       // below the limit: the source's rate
      {96000, 44100, opusOnly, 48000},  // no rate within the limit exists
  };
  for (const auto& c : cases) {
    PcmInput in(cd, 16, 2, c.Source);
    stage.SetInput(&in);
    stage.SetMaxSampleRate(c.Limit);
    stage.SetRateFor(c.RateFor);
    stage.Init();
    EXPECT_EQ(stage.SampleRate(), c.Expected) << c.Source << " under " << c.Limit;
    stage.Flush();
  }
}

TEST(FormatStage, SourceDestroyedMidPassFailsThePass) {
  TAuFormatStage stage;
  auto* in = new PcmInput(Encode(Tone(20000, 2, 44100, 1000, {0.5, 0.5}), 16), 16, 2, 44100);
  stage.SetInput(in);
  stage.SetSampleRate(48000);
  stage.Init();
  void* block = nullptr;
  uint32_t n = 4096;
  stage.GetData(block, n);
  EXPECT_GT(n, 0u);
  // A source destroyed mid-pass fails the pass instead of ending it as if it were complete;
  // what was converted already may still come out first.
  TComponent::Free(in);
  bool failed = false;
  for (int i = 0; i < 10 && !failed; ++i) {
    n = 4096;
    try {
      stage.GetData(block, n);
      ASSERT_GT(n, 0u) << "the pass ended quietly";
    } catch (const EAuException& e) {
      failed = true;
      EXPECT_STREQ(e.what(), "The source was removed during the conversion");
    }
  }
  EXPECT_TRUE(failed);
  stage.Flush();
  EXPECT_FALSE(stage.IsBusy());
}

// 5.1 at 48 kHz in 24 bits, made by sox, to stereo 44.1 kHz 16-bit WAV on the output's worker.
TEST(FormatStage, DrivesAWaveOutputThatFfmpegReads) {
  TempDir dir;
  const std::string src = dir / "six.wav", dst = dir / "out.wav";
  ASSERT_EQ(std::system(("sox -n -r 48000 -c 6 -b 24 '" + src +
                         "' synth 0.3 sine 440 sine 550 sine 660 sine 60 sine 770 sine 880 "
                         "vol 0.5 2>/dev/null")
                            .c_str()),
            0);
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(src);
  auto stage = MakeComponent<TAuFormatStage>(nullptr);
  stage->SetInput(in.get());
  stage->SetSampleRate(44100);
  stage->SetChannels(2);
  stage->SetBitsPerSample(16);
  const auto ours = ReadPass(*stage);
  auto out = MakeComponent<TWaveOut>(nullptr);
  out->SetInput(stage.get());
  out->SetFileName(dst);
  std::atomic<bool> done{false};
  out->SetOnDone([&](TComponent*) { done = true; });
  out->Run();
  ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
  EXPECT_EQ(out->ExceptionMessage(), "");
  EXPECT_FALSE(in->IsBusy());
  EXPECT_EQ(FfprobeField(dst, "sample_rate"), "44100");
  EXPECT_EQ(FfprobeField(dst, "channels"), "2");
  EXPECT_EQ(FfprobeField(dst, "bits_per_sample"), "16");
  const auto decoded = FfmpegDecode(dst, "s16le");
  EXPECT_EQ(decoded.size(), size_t{13230} * 4);  // 0.3 s at 44.1 kHz
  EXPECT_TRUE(decoded == ours) << "the file holds other audio than a pass delivers";
}

}  // namespace
