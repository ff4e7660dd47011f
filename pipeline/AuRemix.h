#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tunevert {

// Mixes interleaved PCM from one channel count to another, both in WAV channel order
// (FL, FR, FC, LFE, BL, BR for 5.1): for inputs whose source changes layout part-way, and
// for the output settings stage (float).
class TAuRemix final {
 public:
  TAuRemix(uint32_t InChannels, uint32_t OutChannels);

  uint32_t InChannels() const { return FIn; }
  uint32_t OutChannels() const { return FOut; }
  float Gain(uint32_t Out, uint32_t In) const { return FMatrix[Out * FIn + In]; }

  // Appends Frames mixed frames of In to Out.
  void Process(const int16_t* In, size_t Frames, std::vector<int16_t>& Out) const;
  // Unclamped: no row's gains add up past 1, so full scale in stays full scale out.
  void Process(const float* In, size_t Frames, std::vector<float>& Out) const;

 private:
  uint32_t FIn;
  uint32_t FOut;
  std::vector<float> FMatrix;  // FOut rows of FIn gains
};

// Moves what waits in Pending from Pos on into Out, at most Room bytes of whole samples, and
// returns the bytes moved; a Pending drained to its end is emptied for the next appends.
uint32_t MovePending(std::vector<int16_t>& Pending, size_t& Pos, uint8_t* Out, uint32_t Room);

// The size a decoder reports outside a range, where the stream's own length (granule
// positions, a header) is only a claim that may fall short of the audio: Reached once the
// decoder has Ended, and otherwise kept a Block ahead of Reached, since a pass ends when its
// position meets the size. Claimed is the size reported so far (0: unknown).
int64_t SizeAheadOfClaim(int64_t Claimed, int64_t Reached, bool Ended, uint32_t Block);

}  // namespace tunevert
