// The channel remix and the resampler that inputs use when a source changes format
// part-way.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/AuRemix.h"
#include "pipeline/AuResampler.h"
#include "platform/Exception.h"

using namespace tunevert;

namespace {

std::vector<int16_t> Sine(size_t Frames, uint32_t Channels, double Frequency, double Rate,
                          double Amplitude = 16000) {
  std::vector<int16_t> s(Frames * Channels, 0);
  for (size_t f = 0; f < Frames; ++f)
    s[f * Channels] =
        static_cast<int16_t>(std::lrint(Amplitude * std::sin(2 * M_PI * Frequency * f / Rate)));
  return s;
}

std::vector<int16_t> Resample(TAuResampler& R, const std::vector<int16_t>& In, size_t Chunk) {
  std::vector<int16_t> out;
  const size_t frames = In.size() / R.Channels();
  for (size_t at = 0; at < frames; at += Chunk)
    R.Process(In.data() + at * R.Channels(), std::min(Chunk, frames - at), out);
  R.Flush(out);
  return out;
}

}  // namespace

// For every pair of layouts up to 7.1: no output can clip, and nothing but LFE (which has
// no place without an LFE speaker) is lost on the way.
TEST(Remix, EveryChannelLandsAndNothingClips) {
  const auto hasLfe = [](uint32_t n) { return n >= 6 && n <= 8; };
  for (uint32_t in = 1; in <= 8; ++in) {
    for (uint32_t out = 1; out <= 8; ++out) {
      SCOPED_TRACE(std::to_string(in) + " to " + std::to_string(out));
      const TAuRemix mix(in, out);
      for (uint32_t o = 0; o < out; ++o) {
        float sum = 0;
        for (uint32_t i = 0; i < in; ++i) {
          EXPECT_GE(mix.Gain(o, i), 0.0f);
          sum += mix.Gain(o, i);
        }
        EXPECT_LE(sum, 1.0f + 1e-6f) << "row " << o;
      }
      for (uint32_t i = 0; i < in; ++i) {
        if (hasLfe(in) && i == 3 && !hasLfe(out)) continue;
        float reach = 0;
        for (uint32_t o = 0; o < out; ++o) reach += mix.Gain(o, i);
        EXPECT_GT(reach, 0.1f) << "input channel " << i << " is dropped";
      }
      // Full scale of either sign stays in range and keeps its sign.
      for (int16_t v : {int16_t{32767}, int16_t{-32768}}) {
        const std::vector<int16_t> frame(in, v);
        std::vector<int16_t> got;
        mix.Process(frame.data(), 1, got);
        ASSERT_EQ(got.size(), out);
        for (uint32_t o = 0; o < out; ++o) EXPECT_TRUE(v > 0 ? got[o] >= 0 : got[o] <= 0) << o;
      }
    }
  }
}

TEST(Remix, SimpleCasesAreExact) {
  std::vector<int16_t> got;
  const int16_t mono[] = {-32768, 5, 32767};
  TAuRemix(1, 2).Process(mono, 3, got);
  EXPECT_EQ(got, (std::vector<int16_t>{-32768, -32768, 5, 5, 32767, 32767}));
  got.clear();
  const int16_t stereo[] = {32767, -32768, 100, 300, -7, -8};
  TAuRemix(2, 1).Process(stereo, 3, got);
  EXPECT_EQ(got, (std::vector<int16_t>{0, 200, -8}));
  // Up-mix: the front pair carries the source, the other speakers stay silent.
  got.clear();
  TAuRemix(2, 6).Process(stereo, 1, got);
  EXPECT_EQ(got, (std::vector<int16_t>{32767, -32768, 0, 0, 0, 0}));
}

TEST(Resampler, LengthPitchAndChunkingHold) {
  const std::vector<int16_t> in = Sine(14400, 2, 1000, 48000);
  TAuResampler whole(2, 48000, 44100);
  const std::vector<int16_t> ref = Resample(whole, in, in.size());
  EXPECT_NEAR(static_cast<double>(ref.size() / 2), 13230, 1);  // 0.3 s at 44.1 kHz
  // Fed in odd pieces it makes the same audio.
  TAuResampler pieces(2, 48000, 44100);
  EXPECT_EQ(Resample(pieces, in, 7), ref);
  // After a flush it starts a new signal, as a fresh resampler would.
  EXPECT_EQ(Resample(whole, in, 1000), ref);
  // The tone keeps its pitch and its channel; the silent channel stays silent.
  int crossings = 0;
  int loudRight = 0;
  for (size_t f = 1; f < ref.size() / 2; ++f) {
    if (ref[2 * (f - 1)] < 0 && ref[2 * f] >= 0) ++crossings;
    loudRight = std::max(loudRight, std::abs(static_cast<int>(ref[2 * f + 1])));
  }
  EXPECT_NEAR(crossings, 300, 1);  // 0.3 s of 1 kHz
  EXPECT_LE(loudRight, 1);
  int peak = 0;
  for (size_t f = 1000; f < ref.size() / 2 - 1000; ++f)
    peak = std::max(peak, std::abs(static_cast<int>(ref[2 * f])));
  EXPECT_NEAR(peak, 16000, 200);
}

TEST(Resampler, ScaledFramesRoundsAndNeverOverflows) {
  EXPECT_EQ(TAuResampler::ScaledFrames(100, 44100, 8000), 18);  // 18.14
  EXPECT_EQ(TAuResampler::ScaledFrames(int64_t{48000} * 86400 * 30, 48000, 192000),
            int64_t{192000} * 86400 * 30);
  EXPECT_EQ(TAuResampler::ScaledFrames(INT64_MAX / 2, 8000, 192000), INT64_MAX);
}

TEST(Resampler, RefusesImpossibleFormats) {
  EXPECT_THROW(TAuResampler(0, 44100, 48000), EAuException);
  EXPECT_THROW(TAuResampler(2, 0, 48000), EAuException);
  EXPECT_THROW(TAuResampler(2, 1, 48000), EAuException);
  EXPECT_NO_THROW(TAuResampler(2, 8000, 192000));
}
