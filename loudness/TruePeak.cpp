#include "loudness/TruePeak.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <numbers>

namespace tunevert {

TTruePeakMeter::TTruePeakMeter(uint32_t Channels, uint32_t SampleRate)
    : FChannels(Channels),
      FFactor(SampleRate < 96000    ? 4
              : SampleRate < 192000 ? 2
                                    : 1) {
  FHistory = (kTaps + FFactor - 1) / FFactor;
  // Zero-stuffed by FFactor and filtered: output FFactor * n + q takes tap q + FFactor * i
  // against input n - i.
  FPhases.assign(FFactor, std::vector<float>(FHistory, 0.0f));
  constexpr double kPi = std::numbers::pi;
  for (size_t j = 0; j < kTaps; ++j) {
    const double m = static_cast<double>(j) - (kTaps - 1) / 2.0;
    double c = 1;
    if (std::abs(m) > 1e-12) c = std::sin(m * kPi / FFactor) / (m * kPi / FFactor);
    c *= 0.5 * (1 - std::cos(2 * kPi * static_cast<double>(j) / (kTaps - 1)));
    FPhases[j % FFactor][j / FFactor] = static_cast<float>(c);
  }
  FSamples.assign(Channels, std::vector<float>(FHistory + kBlock, 0.0f));
}

void TTruePeakMeter::AddFrames(const float* Interleaved, size_t Frames) {
  while (Frames > 0) {
    const size_t now = std::min(Frames, kBlock);
    AddBlock(Interleaved, now);
    Interleaved += now * FChannels;
    Frames -= now;
  }
}

namespace {

constexpr size_t kLanes = 8;

// Built for AVX2 too, chosen when the processor has it.
#define kVectorised __attribute__((target_clones("avx2", "default")))

// The largest magnitude of Count values, Count a multiple of kLanes. The magnitudes compare as
// their bits do, and integer maxima are vector instructions where float ones (whose NaN rules
// differ) are not.
kVectorised float LargestMagnitude(const float* Values, size_t Count) {
  std::array<uint32_t, kLanes> lanes{};
  for (size_t n = 0; n < Count; n += kLanes)
    for (size_t k = 0; k < kLanes; ++k) {
      const uint32_t magnitude = std::bit_cast<uint32_t>(Values[n + k]) & 0x7FFFFFFFu;
      lanes[k] = std::max(lanes[k], magnitude);
    }
  return std::bit_cast<float>(*std::max_element(lanes.begin(), lanes.end()));
}

// Out[n] = sum of Taps[i] * In[n - i], for a block of kBlock outputs: kChunk of them at a time
// summed in registers over every tap.
template <size_t kBlock>
kVectorised void Filter(const float* Taps, size_t Count, const float* In, float* Out) {
  constexpr size_t kChunk = 32;
  static_assert(kBlock % kChunk == 0);
  for (size_t n = 0; n < kBlock; n += kChunk) {
    std::array<float, kChunk> sum{};
    for (size_t i = 0; i < Count; ++i) {
      const float c = Taps[i];
      const float* from = In + n - i;
      for (size_t k = 0; k < kChunk; ++k) sum[k] += c * from[k];
    }
    std::copy(sum.begin(), sum.end(), Out + n);
  }
}

}  // namespace

void TTruePeakMeter::AddBlock(const float* Interleaved, size_t Frames) {
  static_assert(kBlock % kLanes == 0);
  float samplePeak = 0, truePeak = 0;
  std::array<float, kBlock> out;
  // Whole lanes: the frames past the end are zero, and zeros raise no maximum.
  const size_t counted = (Frames + kLanes - 1) / kLanes * kLanes;
  for (uint32_t channel = 0; channel < FChannels; ++channel) {
    float* x = FSamples[channel].data();
    float* in = x + FHistory;
    for (size_t n = 0; n < kBlock; ++n)
      in[n] = n < Frames ? Interleaved[n * FChannels + channel] : 0;
    samplePeak = std::max(samplePeak, LargestMagnitude(in, counted));
    for (uint32_t q = 1; q < FFactor; ++q) {
      Filter<kBlock>(FPhases[q].data(), FHistory, in, out.data());
      // Outputs past the block's end would take samples not given yet.
      std::fill(out.begin() + static_cast<std::ptrdiff_t>(Frames), out.end(), 0.0f);
      truePeak = std::max(truePeak, LargestMagnitude(out.data(), counted));
    }
    // The block's last samples are the next one's history.
    std::copy(in + Frames - FHistory, in + Frames, x);
  }
  FSamplePeak = std::max<double>(FSamplePeak, samplePeak);
  FTruePeak = std::max({FTruePeak, static_cast<double>(truePeak), FSamplePeak});
}

}  // namespace tunevert
