#include "pipeline/AuRemix.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "platform/Exception.h"

namespace tunevert {

namespace {

enum TSpeaker : uint8_t { spFL, spFR, spFC, spLFE, spBL, spBR, spBC, spSL, spSR, spOther };

constexpr float kMinus3dB = 0.70710678f;

// The speaker of each channel in WAV order for the usual counts; wider layouts have no
// agreed speakers beyond the front pair.
TSpeaker SpeakerOf(uint32_t Channels, uint32_t Index) {
  static constexpr std::array<std::array<TSpeaker, 8>, 9> kLayouts = {{
      {},
      {spFC},
      {spFL, spFR},
      {spFL, spFR, spFC},
      {spFL, spFR, spBL, spBR},
      {spFL, spFR, spFC, spBL, spBR},
      {spFL, spFR, spFC, spLFE, spBL, spBR},
      {spFL, spFR, spFC, spLFE, spBC, spSL, spSR},
      {spFL, spFR, spFC, spLFE, spBL, spBR, spSL, spSR},
  }};
  if (Channels <= 8) return kLayouts[Channels][Index];
  return Index == 0 ? spFL : Index == 1 ? spFR : spOther;
}

int FindSpeaker(uint32_t Channels, TSpeaker Speaker) {
  for (uint32_t i = 0; i < Channels; ++i)
    if (SpeakerOf(Channels, i) == Speaker && Speaker != spOther) return static_cast<int>(i);
  return -1;
}

// Gains from In channels to a layout of Out >= 2 channels: shared speakers copy, the rest
// fold into the nearest speaker present (centre and surrounds at -3 dB), LFE is dropped.
void FoldInto(uint32_t In, uint32_t Out, std::vector<float>& M) {
  const auto add = [&](TSpeaker To, uint32_t From, float Gain) {
    const int o = FindSpeaker(Out, To);
    if (o >= 0) M[static_cast<size_t>(o) * In + From] += Gain;
    return o >= 0;
  };
  for (uint32_t i = 0; i < In; ++i) {
    const TSpeaker s = SpeakerOf(In, i);
    if (s != spOther && add(s, i, 1.0f)) continue;
    switch (s) {
      case spFC:
        add(spFL, i, kMinus3dB);
        add(spFR, i, kMinus3dB);
        break;
      case spBL:
        if (!add(spSL, i, 1.0f)) add(spFL, i, kMinus3dB);
        break;
      case spBR:
        if (!add(spSR, i, 1.0f)) add(spFR, i, kMinus3dB);
        break;
      case spSL:
        if (!add(spBL, i, 1.0f)) add(spFL, i, kMinus3dB);
        break;
      case spSR:
        if (!add(spBR, i, 1.0f)) add(spFR, i, kMinus3dB);
        break;
      case spBC:
        if (FindSpeaker(Out, spBL) >= 0) {
          add(spBL, i, kMinus3dB);
          add(spBR, i, kMinus3dB);
        } else if (FindSpeaker(Out, spSL) >= 0) {
          add(spSL, i, kMinus3dB);
          add(spSR, i, kMinus3dB);
        } else {
          add(spFL, i, 0.5f);
          add(spFR, i, 0.5f);
        }
        break;
      default:  // LFE and unnamed channels have no place in a smaller layout
        break;
    }
  }
}

}  // namespace

TAuRemix::TAuRemix(uint32_t InChannels, uint32_t OutChannels)
    : FIn(InChannels), FOut(OutChannels), FMatrix(size_t{InChannels} * OutChannels, 0.0f) {
  if (FIn == 0 || FOut == 0) throw EAuException("Cannot mix audio without channels");
  if (FIn == FOut) {
    for (uint32_t c = 0; c < FIn; ++c) FMatrix[c * FIn + c] = 1.0f;
    return;
  }
  if (FIn == 1) {
    // Mono plays on both front speakers.
    FMatrix[0] = 1.0f;
    FMatrix[1] = 1.0f;
    return;
  }
  if (FOut == 1) {
    std::vector<float> stereo(size_t{2} * FIn, 0.0f);
    FoldInto(FIn, 2, stereo);
    for (uint32_t i = 0; i < FIn; ++i) FMatrix[i] = 0.5f * (stereo[i] + stereo[FIn + i]);
  } else {
    FoldInto(FIn, FOut, FMatrix);
  }
  // A row whose gains add up past 1 could clip at full scale: scale it back.
  for (uint32_t o = 0; o < FOut; ++o) {
    float sum = 0.0f;
    for (uint32_t i = 0; i < FIn; ++i) sum += FMatrix[o * FIn + i];
    if (sum > 1.0f)
      for (uint32_t i = 0; i < FIn; ++i) FMatrix[o * FIn + i] /= sum;
  }
}

void TAuRemix::Process(const int16_t* In, size_t Frames, std::vector<int16_t>& Out) const {
  const size_t old = Out.size();
  Out.resize(old + Frames * FOut);
  int16_t* dst = Out.data() + old;
  for (size_t f = 0; f < Frames; ++f, In += FIn, dst += FOut) {
    for (uint32_t o = 0; o < FOut; ++o) {
      const float* row = &FMatrix[o * FIn];
      float v = 0.0f;
      for (uint32_t i = 0; i < FIn; ++i) v += row[i] * static_cast<float>(In[i]);
      dst[o] = static_cast<int16_t>(std::clamp(std::lrint(v), -32768L, 32767L));
    }
  }
}

void TAuRemix::Process(const float* In, size_t Frames, std::vector<float>& Out) const {
  const size_t old = Out.size();
  Out.resize(old + Frames * FOut);
  float* dst = Out.data() + old;
  for (size_t f = 0; f < Frames; ++f, In += FIn, dst += FOut) {
    for (uint32_t o = 0; o < FOut; ++o) {
      const float* row = &FMatrix[o * FIn];
      float v = 0.0f;
      for (uint32_t i = 0; i < FIn; ++i) v += row[i] * In[i];
      dst[o] = v;
    }
  }
}

uint32_t MovePending(std::vector<int16_t>& Pending, size_t& Pos, uint8_t* Out, uint32_t Room) {
  const auto n =
      static_cast<uint32_t>(std::min<size_t>(Room - Room % 2, 2 * (Pending.size() - Pos)));
  std::memcpy(Out, Pending.data() + Pos, n);
  Pos += n / 2;
  if (Pos == Pending.size()) {
    Pending.clear();
    Pos = 0;
  }
  return n;
}

int64_t SizeAheadOfClaim(int64_t Claimed, int64_t Reached, bool Ended, uint32_t Block) {
  if (Ended) return Reached;
  return Claimed > 0 && Reached >= Claimed ? Reached + Block : Claimed;
}

}  // namespace tunevert
