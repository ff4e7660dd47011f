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

// The largest magnitude of Count values, Count a multiple of kLanes. The magnitudes compare as
// their bits do, and integer maxima are vector instructions where float ones (whose NaN rules
// differ) are not.
[[gnu::always_inline]] inline float LargestMagnitudeOf(const float* Values, size_t Count) {
  std::array<uint32_t, kLanes> lanes{};
  for (size_t n = 0; n < Count; n += kLanes)
    for (size_t k = 0; k < kLanes; ++k) {
      const uint32_t magnitude = std::bit_cast<uint32_t>(Values[n + k]) & 0x7FFFFFFFu;
      lanes[k] = std::max(lanes[k], magnitude);
    }
  return std::bit_cast<float>(*std::max_element(lanes.begin(), lanes.end()));
}

// Out[n] = sum of Taps[i] * In[n - i], for Block outputs: kChunk of them at a time summed in
// registers over every tap.
template <size_t Block>
[[gnu::always_inline]] inline void FilterInto(const float* Taps, size_t Count, const float* In,
                                              float* Out) {
  constexpr size_t kChunk = 32;
  static_assert(Block % kChunk == 0);
  for (size_t n = 0; n < Block; n += kChunk) {
    std::array<float, kChunk> sum{};
    for (size_t i = 0; i < Count; ++i) {
      const float c = Taps[i];
      const float* from = In + n - i;
      for (size_t k = 0; k < kChunk; ++k) sum[k] += c * from[k];
    }
    std::copy(sum.begin(), sum.end(), Out + n);
  }
}

// The two kernels, built for the baseline and again for AVX2, which is chosen when the
// processor has it. (A plain dispatch: the loader's resolvers run before sanitizers start.)
template <size_t Block>
struct TKernels {
  float (*Largest)(const float* Values, size_t Count);
  void (*Filter)(const float* Taps, size_t Count, const float* In, float* Out);
};

float LargestPlain(const float* Values, size_t Count) {
  return LargestMagnitudeOf(Values, Count);
}
[[gnu::target("avx2")]] float LargestAvx2(const float* Values, size_t Count) {
  return LargestMagnitudeOf(Values, Count);
}
template <size_t Block>
void FilterPlain(const float* Taps, size_t Count, const float* In, float* Out) {
  FilterInto<Block>(Taps, Count, In, Out);
}
template <size_t Block>
[[gnu::target("avx2")]] void FilterAvx2(const float* Taps, size_t Count, const float* In,
                                        float* Out) {
  FilterInto<Block>(Taps, Count, In, Out);
}

template <size_t Block>
const TKernels<Block>& Kernels() {
  static const TKernels<Block> kernels = __builtin_cpu_supports("avx2")
                                             ? TKernels<Block>{LargestAvx2, FilterAvx2<Block>}
                                             : TKernels<Block>{LargestPlain, FilterPlain<Block>};
  return kernels;
}

}  // namespace

void TTruePeakMeter::AddBlock(const float* Interleaved, size_t Frames) {
  static_assert(kBlock % kLanes == 0);
  float samplePeak = 0, truePeak = 0;
  std::array<float, kBlock> out;
  const TKernels<kBlock>& kernels = Kernels<kBlock>();
  // Whole lanes: the frames past the end are zero, and zeros raise no maximum.
  const size_t counted = (Frames + kLanes - 1) / kLanes * kLanes;
  for (uint32_t channel = 0; channel < FChannels; ++channel) {
    float* x = FSamples[channel].data();
    float* in = x + FHistory;
    for (size_t n = 0; n < kBlock; ++n)
      in[n] = n < Frames ? Interleaved[n * FChannels + channel] : 0;
    samplePeak = std::max(samplePeak, kernels.Largest(in, counted));
    for (uint32_t q = 1; q < FFactor; ++q) {
      kernels.Filter(FPhases[q].data(), FHistory, in, out.data());
      // Outputs past the block's end would take samples not given yet.
      std::fill(out.begin() + static_cast<std::ptrdiff_t>(Frames), out.end(), 0.0f);
      truePeak = std::max(truePeak, kernels.Largest(out.data(), counted));
    }
    // The block's last samples are the next one's history.
    std::copy(in + Frames - FHistory, in + Frames, x);
  }
  FSamplePeak = std::max<double>(FSamplePeak, samplePeak);
  FTruePeak = std::max({FTruePeak, static_cast<double>(truePeak), FSamplePeak});
}

}  // namespace tunevert
