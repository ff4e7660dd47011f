#include "wav/AuAdpcm.h"

#include <algorithm>
#include <cstring>

namespace tunevert {

const std::array<uint32_t, 89> IMAStepTable = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

const std::array<int32_t, 16> IMAIndexTable = {-1, -1, -1, -1, 2, 4, 6, 8,
                                               -1, -1, -1, -1, 2, 4, 6, 8};

const std::array<int16_t, 16> MSAdaptationTable = {230, 230, 230, 230, 307, 409, 512, 614,
                                                   768, 614, 512, 409, 307, 230, 230, 230};

namespace {

// Header indices come straight from the file and may lie outside the table.
int32_t ClampIndex(int32_t I) {
  return std::clamp(I, 0, 88);
}

size_t StereoCodeByte(int32_t i, bool right) {
  const int32_t k = i / 2;
  return static_cast<size_t>((right ? 4 : 0) + 8 * (k / 4) + (k % 4));
}

uint8_t Nibble(const uint8_t* bytes, size_t index, bool high) {
  return high ? static_cast<uint8_t>(bytes[index] >> 4) : static_cast<uint8_t>(bytes[index] & 15);
}

uint8_t EncodeCode(int32_t X, int32_t P, int32_t I) {
  int32_t d = X - P;
  uint8_t N = 0;
  if (d < 0) {
    N = 8;
    d = -d;
  }
  const auto S = static_cast<int32_t>(IMAStepTable[static_cast<size_t>(I)]);
  if (d >= S) {
    N |= 4;
    d -= S;
  }
  if (d >= (S >> 1)) {
    N |= 2;
    d -= S >> 1;
  }
  if (d >= (S >> 2)) N |= 1;
  return N;
}

void PutNibble(uint8_t* block, size_t index, bool high, uint8_t code) {
  if (high)
    block[index] = static_cast<uint8_t>(block[index] | (code << 4));
  else
    block[index] = static_cast<uint8_t>(block[index] | code);
}

void PutInt16(uint8_t* p, int16_t v) {
  const auto u = static_cast<uint16_t>(v);
  p[0] = static_cast<uint8_t>(u & 0xFF);
  p[1] = static_cast<uint8_t>(u >> 8);
}

int16_t MSDecodeSample(TMSADPCMBlockHeaderStereo& State, const TMSADPCMCoefSet* CoefSets, int ch,
                       uint8_t N) {
  const TMSADPCMCoefSet& c = CoefSets[State.predictor[ch]];
  // 64-bit so that extreme header samples cannot overflow; the result is the same otherwise.
  int64_t prediction =
      (int64_t{State.Samp1[ch]} * c.Coef1 + int64_t{State.Samp2[ch]} * c.Coef2) / 256;
  const int32_t E = (N & 8) != 0 ? N - 16 : N;
  prediction += int64_t{E} * State.Delta[ch];
  const auto sample = static_cast<int16_t>(std::clamp<int64_t>(prediction, -32768, 32767));
  auto delta = static_cast<int16_t>((int32_t{State.Delta[ch]} * MSAdaptationTable[N]) / 256);
  if (delta < 16) delta = 16;
  State.Delta[ch] = delta;
  State.Samp2[ch] = State.Samp1[ch];
  State.Samp1[ch] = sample;
  return sample;
}

}  // namespace

void IMAStep(int32_t& P, int32_t& I, uint8_t N, TIMARounding R) {
  const uint32_t S = IMAStepTable[static_cast<size_t>(I)];
  uint32_t D;
  if (R == TIMARounding::irMultiplied) {
    D = ((2 * (N & 7u) + 1) * S) >> 3;
  } else {
    D = S >> 3;
    if ((N & 4) != 0) D += S;
    if ((N & 2) != 0) D += S >> 1;
    if ((N & 1) != 0) D += S >> 2;
  }
  if ((N & 8) != 0)
    P -= static_cast<int32_t>(D);
  else
    P += static_cast<int32_t>(D);
  // The multiplying coders clamp to the full 16-bit range.
  P = std::clamp(P, R == TIMARounding::irMultiplied ? -32768 : -32767, 32767);
  I = ClampIndex(I + IMAIndexTable[N & 15]);
}

void DecodeDVIMono(const TDVI_ADPCM_STATE_STEREO& State, const uint8_t* Payload, int16_t* Out,
                   int32_t& Count, TIMARounding R) {
  Out[0] = State.valprev_l;
  int32_t P = State.valprev_l;
  int32_t I = ClampIndex(State.index_l);
  const int32_t codes = 2 * Count;
  for (int32_t i = 0; i < codes; ++i) {
    IMAStep(P, I, Nibble(Payload, static_cast<size_t>(i / 2), (i & 1) != 0), R);
    Out[1 + i] = static_cast<int16_t>(P);
  }
  Count = 1 + codes;
}

void DecodeDVIStereo(const TDVI_ADPCM_STATE_STEREO& State, const uint8_t* Payload, int16_t* Out,
                     int32_t& Count, TIMARounding R) {
  for (int ch = 0; ch < 2; ++ch) {
    const bool right = ch == 1;
    int32_t P = right ? State.valprev_r : State.valprev_l;
    int32_t I = ClampIndex(right ? State.index_r : State.index_l);
    Out[ch] = static_cast<int16_t>(P);
    for (int32_t i = 0; i < Count; ++i) {
      IMAStep(P, I, Nibble(Payload, StereoCodeByte(i, right), (i & 1) != 0), R);
      Out[2 * (i + 1) + ch] = static_cast<int16_t>(P);
    }
  }
  Count = 1 + Count;
}

void DecodeMSMono(TMSADPCMBlockHeaderStereo& State, const TMSADPCMCoefSet* CoefSets,
                  const uint8_t* Payload, int16_t* Out, int32_t& Count) {
  int32_t n = 0;
  Out[n++] = State.Samp2[0];
  Out[n++] = State.Samp1[0];
  for (int32_t b = 0; b < Count / 2; ++b) {
    Out[n++] = MSDecodeSample(State, CoefSets, 0, static_cast<uint8_t>(Payload[b] >> 4));
    Out[n++] = MSDecodeSample(State, CoefSets, 0, static_cast<uint8_t>(Payload[b] & 15));
  }
  Count = n * 2;
}

void DecodeMSStereo(TMSADPCMBlockHeaderStereo& State, const TMSADPCMCoefSet* CoefSets,
                    const uint8_t* Payload, int16_t* Out, int32_t& Count) {
  int32_t n = 0;
  Out[n++] = State.Samp2[0];
  Out[n++] = State.Samp2[1];
  Out[n++] = State.Samp1[0];
  Out[n++] = State.Samp1[1];
  for (int32_t b = 0; b < Count; ++b) {
    Out[n++] = MSDecodeSample(State, CoefSets, 0, static_cast<uint8_t>(Payload[b] >> 4));
    Out[n++] = MSDecodeSample(State, CoefSets, 1, static_cast<uint8_t>(Payload[b] & 15));
  }
  Count = n * 2;
}

void EncodeDVIMono(TDVI_ADPCM_ENCODE_STATE_STEREO& State, const int16_t* Samples, uint8_t* Block,
                   uint16_t BlockAlign) {
  std::memset(Block, 0, BlockAlign);
  PutInt16(Block, State.PredSamp_l);
  Block[2] = State.Index_l;
  int32_t P = State.PredSamp_l;
  int32_t I = ClampIndex(State.Index_l);
  const int32_t codes = 2 * (int32_t{BlockAlign} - 4);
  for (int32_t i = 0; i < codes; ++i) {
    const uint8_t N = EncodeCode(Samples[i], P, I);
    PutNibble(Block, 4 + static_cast<size_t>(i / 2), (i & 1) != 0, N);
    IMAStep(P, I, N);
  }
  State.Index_l = static_cast<uint8_t>(I);
}

void EncodeDVIStereo(TDVI_ADPCM_ENCODE_STATE_STEREO& State, const int16_t* Samples, uint8_t* Block,
                     uint16_t BlockAlign) {
  std::memset(Block, 0, BlockAlign);
  PutInt16(Block, State.PredSamp_l);
  Block[2] = State.Index_l;
  PutInt16(Block + 4, State.PredSamp_r);
  Block[6] = State.Index_r;
  const int32_t codes = int32_t{BlockAlign} - 8;
  for (int ch = 0; ch < 2; ++ch) {
    const bool right = ch == 1;
    int32_t P = right ? State.PredSamp_r : State.PredSamp_l;
    int32_t I = ClampIndex(right ? State.Index_r : State.Index_l);
    for (int32_t i = 0; i < codes; ++i) {
      const uint8_t N = EncodeCode(Samples[2 * i + ch], P, I);
      PutNibble(Block + 8, StereoCodeByte(i, right), (i & 1) != 0, N);
      IMAStep(P, I, N);
    }
    if (right) {
      State.Index_r = static_cast<uint8_t>(I);
      State.PredSamp_r = static_cast<int16_t>(P);
    } else {
      State.Index_l = static_cast<uint8_t>(I);
      State.PredSamp_l = static_cast<int16_t>(P);
    }
  }
}

}  // namespace tunevert
