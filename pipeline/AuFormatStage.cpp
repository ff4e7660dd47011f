#include "pipeline/AuFormatStage.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>

#include "pipeline/AuRemix.h"
#include "pipeline/AuResampler.h"
#include "platform/Exception.h"

namespace tunevert {

namespace {

// Source frames converted per refill: small enough to keep the worker responsive to Stop,
// large enough that the per-block costs vanish.
constexpr uint32_t kPullFrames = 4096;
// The dither starts from the same state every pass, so a source converts to the same bytes
// every time.
constexpr uint32_t kNoiseSeed = 0x9E3779B9u;

// The rates a rate limit may fall back to, rising, when the encoder takes only some.
constexpr uint32_t kCommonRates[] = {8000,  11025, 12000, 16000, 22050, 24000,  32000,
                                     44100, 48000, 64000, 88200, 96000, 176400, 192000};

bool KnownDepth(uint32_t Bits) {
  return Bits == 8 || Bits == 16 || Bits == 24 || Bits == 32;
}

void CheckRate(int Value) {
  if (Value != 0 && (Value < 1000 || Value > 768000))
    throw EAuException("Cannot convert to a sample rate of " + std::to_string(Value) + " Hz");
}

void CheckBits(int Value) {
  if (Value != 0 && !KnownDepth(static_cast<uint32_t>(Value)))
    throw EAuException("Cannot convert to " + std::to_string(Value) + " bits per sample");
}

}  // namespace

TAuFormatStage::TAuFormatStage(TComponent* AOwner) : TAuInputStage(AOwner) {}

TAuFormatStage::~TAuFormatStage() = default;

void TAuFormatStage::SetSampleRate(int Value) {
  if (Busy) throw EAuException("The component is Busy");
  CheckRate(Value);
  FTargetRate = Value;
}

void TAuFormatStage::SetMaxSampleRate(int Value) {
  if (Busy) throw EAuException("The component is Busy");
  CheckRate(Value);
  FMaxRate = Value;
}

void TAuFormatStage::SetRateFor(TRateFor Value) {
  if (Busy) throw EAuException("The component is Busy");
  FRateFor = std::move(Value);
}

void TAuFormatStage::SetGain(double Decibels) {
  if (Busy) throw EAuException("The component is Busy");
  if (!std::isfinite(Decibels) || std::abs(Decibels) > 60)
    throw EAuException("Cannot apply a gain beyond 60 dB either way");
  FGain = Decibels;
}

void TAuFormatStage::SetChannels(int Value) {
  if (Busy) throw EAuException("The component is Busy");
  if (Value < 0 || Value > 8)
    throw EAuException("Cannot convert to " + std::to_string(Value) + " channels");
  FTargetChannels = Value;
}

void TAuFormatStage::SetBitsPerSample(int Value) {
  if (Busy) throw EAuException("The component is Busy");
  CheckBits(Value);
  FTargetBits = Value;
}

void TAuFormatStage::SetMaxBitsPerSample(int Value) {
  if (Busy) throw EAuException("The component is Busy");
  CheckBits(Value);
  FMaxBits = Value;
}

uint32_t TAuFormatStage::OutValue(int Target, uint32_t Source) const {
  return Target != 0 ? static_cast<uint32_t>(Target) : Source;
}

void TAuFormatStage::SetChannelsFor(TChannelsFor Value) {
  if (Busy) throw EAuException("The component is Busy");
  FChannelsFor = std::move(Value);
}

uint32_t TAuFormatStage::OutChannels(uint32_t Source) const {
  if (FTargetChannels != 0 || !FChannelsFor || Source == 0)
    return OutValue(FTargetChannels, Source);
  return FChannelsFor(Source);
}

uint32_t TAuFormatStage::OutRate(uint32_t Source) const {
  uint32_t rate = OutValue(FTargetRate, Source);
  if (rate == 0) return 0;
  const auto limit = static_cast<uint32_t>(FMaxRate.load());
  if (limit != 0) rate = std::min(rate, limit);
  if (!FRateFor) return rate;
  const uint32_t taken = FRateFor(rate);
  if (limit == 0 || taken <= limit) return taken;
  for (auto common = std::rbegin(kCommonRates); common != std::rend(kCommonRates); ++common)
    if (*common <= limit && FRateFor(*common) == *common) return *common;
  // An encoder of one rate only (or none within the limit) still gets what it takes.
  return taken;
}

uint32_t TAuFormatStage::OutBits(uint32_t Source) const {
  const uint32_t bits = OutValue(FTargetBits, Source);
  const auto limit = static_cast<uint32_t>(FMaxBits.load());
  return limit != 0 && bits > limit ? limit : bits;
}

uint32_t TAuFormatStage::GetBitsPerSample() {
  if (Busy) return FBits;
  TAuInput* in = FInput;
  return OutBits(in != nullptr ? in->BitsPerSample() : 0);
}

uint32_t TAuFormatStage::GetChannels() {
  if (Busy) return FChannels;
  TAuInput* in = FInput;
  return OutChannels(in != nullptr ? in->Channels() : 0);
}

uint32_t TAuFormatStage::GetSampleRate() {
  if (Busy) return FRate;
  TAuInput* in = FInput;
  return OutRate(in != nullptr ? in->SampleRate() : 0);
}

int64_t TAuFormatStage::GetTotalSamples() {
  TAuInput* in = FInput;
  if (in == nullptr) return 0;
  const int64_t total = in->TotalSamples();
  if (total <= 0) return total;
  const uint32_t rate = in->SampleRate();
  return TAuResampler::ScaledFrames(total, rate, OutRate(rate));
}

void TAuFormatStage::StartInput() {
  if (Busy) throw EAuException("The component is Busy");
  TAuInput& in = Source();
  in.Init();
  try {
    FInRate = in.SampleRate();
    FInChannels = in.Channels();
    FInBits = in.BitsPerSample();
    if (FInRate == 0 || FInChannels == 0 || !KnownDepth(FInBits))
      throw EAuException("Cannot convert audio of " + std::to_string(FInChannels) + " channels, " +
                         std::to_string(FInBits) + " bits at " + std::to_string(FInRate) + " Hz");
    const uint32_t rate = OutRate(FInRate);
    const uint32_t channels = OutChannels(FInChannels);
    const uint32_t bits = OutBits(FInBits);
    const double gain = FGain;
    FLevel = gain != 0 ? std::pow(10.0, gain / 20) : 1.0;
    FPassThrough = gain == 0 && rate == FInRate && channels == FInChannels && bits == FInBits;
    // Widening keeps every value exactly; narrowing, or a gain, which moves every sample off
    // the grid, decorrelates the rounding error.
    FDither = bits < FInBits || (gain != 0 && bits < 32);
    FRemix.reset();
    FResampler.reset();
    if (channels != FInChannels) {
      FRemix = std::make_unique<TAuRemix>(FInChannels, channels);
      FRemixFirst = channels < FInChannels;
    }
    if (rate != FInRate) {
      // Beyond 16 bits the high-quality filter's noise would show above the output's own.
      FResampler = std::make_unique<TAuResampler>(
          std::min(FInChannels, channels), FInRate, rate,
          bits > 16 ? TResampleQuality::rqVeryHigh : TResampleQuality::rqHigh);
    }
    FRate = rate;
    FChannels = channels;
    FBits = bits;
    FSampleSize = static_cast<uint16_t>(channels * bits / 8);
    FFramesIn = 0;
    FFramesOut = 0;
    FNoise = kNoiseSeed;
    FEnded = false;
    FOut.clear();
    FOutStart = 0;
    FPosition = 0;
    RefreshSize(in);
  } catch (...) {
    FRemix.reset();
    FResampler.reset();
    try {
      in.Flush();
    } catch (...) {
      // The reason the pass could not start is the one to report.
    }
    throw;
  }
  Busy = true;
}

void TAuFormatStage::StopInput() {
  FRemix.reset();
  FResampler.reset();
  FOut.clear();
  FOutStart = 0;
  Busy = false;
  // Also after a pass that failed to start, as a consumer reading the source directly would.
  if (TAuInput* in = FInput) in->Flush();
}

void TAuFormatStage::RefreshSize(TAuInput& In) {
  const int64_t size = In.Size();
  if (FPassThrough || size <= 0) {
    FSize = size;
    return;
  }
  int64_t frames = size / (int64_t{FInChannels} * FInBits / 8);
  if (FResampler) frames = TAuResampler::ScaledFrames(frames, FInRate, FRate);
  int64_t bytes = 0;
  // A length no real source has is reported as unknown rather than wrapped.
  FSize = __builtin_mul_overflow(frames, int64_t{FSampleSize}, &bytes) ? -1 : bytes;
}

void TAuFormatStage::ProduceData(void*& Buffer, uint32_t& Bytes) {
  TAuInput& in = Source();
  if (FPassThrough) {
    in.GetData(Buffer, Bytes);
    FPosition += Bytes;
    RefreshSize(in);
    return;
  }
  const uint32_t wanted = Bytes / FSampleSize * FSampleSize;
  Buffer = nullptr;
  Bytes = 0;
  if (wanted == 0) return;
  while (FOutStart == FOut.size()) {
    if (FEnded) return;
    Refill(in);
  }
  const auto n = static_cast<uint32_t>(std::min<size_t>(wanted, FOut.size() - FOutStart));
  Buffer = FOut.data() + FOutStart;
  FOutStart += n;
  Bytes = n;
  FPosition += n;
}

void TAuFormatStage::Refill(TAuInput& In) {
  FOut.clear();
  FOutStart = 0;
  FSamples.clear();
  const uint32_t inFrame = FInChannels * FInBits / 8;
  void* block = nullptr;
  uint32_t bytes = inFrame * kPullFrames;
  In.GetData(block, bytes);
  RefreshSize(In);
  const auto mix = [this](size_t Frames) {
    FScratch.clear();
    FRemix->Process(FSamples.data(), Frames, FScratch);
    FSamples.swap(FScratch);
  };
  const uint32_t resampled = std::min<uint32_t>(FInChannels, FChannels);
  if (bytes >= inFrame) {
    const size_t frames = bytes / inFrame;
    FFramesIn += static_cast<int64_t>(frames);
    Decode(static_cast<const uint8_t*>(block), frames * FInChannels, FSamples);
    if (FRemix && FRemixFirst) mix(frames);
    if (FResampler) {
      FScratch.clear();
      FResampler->Process(FSamples.data(), frames, FScratch);
      FSamples.swap(FScratch);
    }
  } else {
    FEnded = true;
    if (FResampler) FResampler->Flush(FSamples);
  }
  if (FRemix && !FRemixFirst) mix(FSamples.size() / resampled);
  if (FEnded) {
    // The filter's own length accounting may be a frame off: the result is cut or padded to
    // the source's length at the new rate.
    const int64_t expected =
        FResampler ? TAuResampler::ScaledFrames(FFramesIn, FInRate, FRate) : FFramesIn;
    const int64_t missing = std::max<int64_t>(0, expected - FFramesOut);
    FSamples.resize(static_cast<size_t>(missing) * FChannels, 0.0f);
  }
  FFramesOut += static_cast<int64_t>(FSamples.size() / FChannels);
  Quantise(FSamples.data(), FSamples.size());
}

void TAuFormatStage::Decode(const uint8_t* Data, size_t Samples, std::vector<float>& Out) const {
  Out.resize(Samples);
  float* dst = Out.data();
  switch (FInBits) {
    case 8:
      for (size_t i = 0; i < Samples; ++i) dst[i] = (static_cast<float>(Data[i]) - 128.0f) / 128.0f;
      break;
    case 16:
      for (size_t i = 0; i < Samples; ++i, Data += 2) {
        const auto v = static_cast<int16_t>(Data[0] | (Data[1] << 8));
        dst[i] = static_cast<float>(v) * (1.0f / 32768.0f);
      }
      break;
    case 24:
      for (size_t i = 0; i < Samples; ++i, Data += 3) {
        // Assembled in the top three bytes so the sign comes along.
        const auto v = static_cast<int32_t>(uint32_t{Data[0]} << 8 | uint32_t{Data[1]} << 16 |
                                            uint32_t{Data[2]} << 24);
        dst[i] = static_cast<float>(v) * (1.0f / 2147483648.0f);
      }
      break;
    default:
      for (size_t i = 0; i < Samples; ++i, Data += 4) {
        int32_t v;
        std::memcpy(&v, Data, 4);
        dst[i] = static_cast<float>(v) * (1.0f / 2147483648.0f);
      }
      break;
  }
}

float TAuFormatStage::DitherValue() {
  // Two uniform values in [0, 1) summed: a triangular density over (-1, 1) least
  // significant bits.
  const auto next = [this] {
    FNoise ^= FNoise << 13;
    FNoise ^= FNoise >> 17;
    FNoise ^= FNoise << 5;
    return static_cast<float>(FNoise >> 8) * (1.0f / 16777216.0f);
  };
  const float a = next();
  return a + next() - 1.0f;
}

void TAuFormatStage::Quantise(const float* Samples, size_t Count) {
  const uint32_t bits = FBits;
  const uint32_t width = bits / 8;
  const double scale = std::ldexp(1.0, static_cast<int>(bits) - 1);
  const double low = -scale;
  const double high = scale - 1;
  const double factor = scale * FLevel;
  FOut.resize(Count * width);
  uint8_t* dst = FOut.data();
  for (size_t i = 0; i < Count; ++i, dst += width) {
    double x = static_cast<double>(Samples[i]) * factor;
    if (FDither) x += DitherValue();
    const auto q = static_cast<int64_t>(std::clamp(std::floor(x + 0.5), low, high));
    if (bits == 8) {
      dst[0] = static_cast<uint8_t>(q + 128);
      continue;
    }
    const auto u = static_cast<uint32_t>(q);
    for (uint32_t b = 0; b < width; ++b) dst[b] = static_cast<uint8_t>(u >> (8 * b));
  }
}

}  // namespace tunevert
