#pragma once

#include <array>
#include <cstdint>

namespace tunevert {

// Header values of the IMA ADPCM block being decoded.
struct TDVI_ADPCM_STATE_STEREO {
  int16_t valprev_l = 0;
  uint8_t index_l = 0;
  int16_t valprev_r = 0;
  uint8_t index_r = 0;
};

// The IMA ADPCM encoder's predictor and step index per channel, carried from block to block.
struct TDVI_ADPCM_ENCODE_STATE_STEREO {
  int16_t PredSamp_l = 0;
  uint8_t Index_l = 0;
  int16_t PredSamp_r = 0;
  uint8_t Index_r = 0;
};

// Header values of the MS ADPCM block being decoded; entry 0 is the left or only channel.
struct TMSADPCMBlockHeaderStereo {
  std::array<uint8_t, 2> predictor{};
  std::array<int16_t, 2> Delta{};
  std::array<int16_t, 2> Samp1{};
  std::array<int16_t, 2> Samp2{};
};

struct TMSADPCMCoefSet {
  int16_t Coef1 = 0;
  int16_t Coef2 = 0;
};

constexpr int kMaxMSCoefSets = 32;

extern const std::array<uint32_t, 89> IMAStepTable;
extern const std::array<int32_t, 16> IMAIndexTable;
extern const std::array<int16_t, 16> MSAdaptationTable;

// How an IMA ADPCM coder forms a step's difference: the reference adds shifted copies of the
// step size, some widespread encoders multiply ((2 x code + 1) x step / 8). A decoder has to
// follow the encoder's choice, or its output drifts within each block (badly on quiet audio).
enum class TIMARounding { irShifted, irMultiplied };

// One IMA ADPCM step: updates the predicted sample P and the step index I for code N.
void IMAStep(int32_t& P, int32_t& I, uint8_t N, TIMARounding R = TIMARounding::irShifted);

// The decoders write interleaved 16-bit samples to Out. On entry Count is the payload length
// in bytes; on return the samples (mono) or frames (stereo) written: 1 + 2 x Count (mono),
// 1 + Count (stereo).
void DecodeDVIMono(const TDVI_ADPCM_STATE_STEREO& State, const uint8_t* Payload, int16_t* Out,
                   int32_t& Count, TIMARounding R = TIMARounding::irShifted);
void DecodeDVIStereo(const TDVI_ADPCM_STATE_STEREO& State, const uint8_t* Payload, int16_t* Out,
                     int32_t& Count, TIMARounding R = TIMARounding::irShifted);

// On entry Count is SamplesPerBlock - 2; on return the bytes written to Out. The predictor
// indices in State must be below the number of entries in CoefSets.
void DecodeMSMono(TMSADPCMBlockHeaderStereo& State, const TMSADPCMCoefSet* CoefSets,
                  const uint8_t* Payload, int16_t* Out, int32_t& Count);
void DecodeMSStereo(TMSADPCMBlockHeaderStereo& State, const TMSADPCMCoefSet* CoefSets,
                    const uint8_t* Payload, int16_t* Out, int32_t& Count);

// Encode one BlockAlign-byte block. Samples are the 16-bit samples that follow the block's
// first sample (mono) or frame (stereo), whose value the caller put into PredSamp_l/_r:
// 2 x (BlockAlign - 4) samples for mono, BlockAlign - 8 frames for stereo.
void EncodeDVIMono(TDVI_ADPCM_ENCODE_STATE_STEREO& State, const int16_t* Samples, uint8_t* Block,
                   uint16_t BlockAlign);
void EncodeDVIStereo(TDVI_ADPCM_ENCODE_STATE_STEREO& State, const int16_t* Samples, uint8_t* Block,
                     uint16_t BlockAlign);

}  // namespace tunevert
