#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/AuInputStage.h"

namespace tunevert {

class TAuRemix;
class TAuResampler;

// An input that presents another input's audio at a chosen sample rate, channel count, bit
// depth and level, for an output to read through. A setting of 0 keeps the source's value;
// when nothing changes, the source's blocks pass through untouched.
class TAuFormatStage final : public TAuInputStage {
 public:
  explicit TAuFormatStage(TComponent* AOwner = nullptr);
  ~TAuFormatStage() override;
  std::string ClassName() const override { return "TAuFormatStage"; }

  // The settings as given (0: keep). Bad values raise EAuException; like SetInput, they are
  // refused during a pass ("The component is Busy").
  int TargetSampleRate() const { return FTargetRate; }
  void SetSampleRate(int Value);  // 0 or 1000..768000 Hz
  int TargetChannels() const { return FTargetChannels; }
  void SetChannels(int Value);  // 0 or 1..8; 1 and 2 mix down (or copy mono to both sides)
  int TargetBitsPerSample() const { return FTargetBits; }
  void SetBitsPerSample(int Value);  // 0, 8, 16, 24 or 32; fewer bits than the source dither
  // Upper limits (0: none), applied when a pass starts, once the source's format is known:
  // a source above one is brought down to it, one at or below it is left as it is.
  int MaxSampleRate() const { return FMaxRate; }
  void SetMaxSampleRate(int Value);  // 0 or 1000..768000 Hz
  int MaxBitsPerSample() const { return FMaxBits; }
  void SetMaxBitsPerSample(int Value);  // 0, 8, 16, 24 or 32
  // The rate an output takes audio of a given rate at (the chosen rate, or else the
  // source's), for encoders that work at some rates only; empty: any rate. Under a rate limit
  // the highest common rate within it that the encoder takes is chosen instead, when the
  // encoder's own choice would exceed it and such a rate exists.
  using TRateFor = std::function<uint32_t(uint32_t Rate)>;
  void SetRateFor(TRateFor Value);
  // Likewise the channels an output takes audio of a given count as, for encoders that take
  // some counts only (the chosen count, when there is one, wins); empty: any count.
  using TChannelsFor = std::function<uint32_t(uint32_t Channels)>;
  void SetChannelsFor(TChannelsFor Value);
  // A gain in dB (0: none) applied after any channel and rate change. Every sample changes, so
  // the result is dithered to the output's depth (below 32 bits) and held within full scale.
  double Gain() const { return FGain; }
  void SetGain(double Decibels);  // -60..60

 protected:
  uint32_t GetBitsPerSample() override;
  uint32_t GetChannels() override;
  uint32_t GetSampleRate() override;
  int64_t GetTotalSamples() override;
  void StartInput() override;
  void StopInput() override;
  void ProduceData(void*& Buffer, uint32_t& Bytes) override;

 private:
  uint32_t OutValue(int Target, uint32_t Source) const;
  uint32_t OutRate(uint32_t Source) const;
  uint32_t OutChannels(uint32_t Source) const;
  uint32_t OutBits(uint32_t Source) const;
  void RefreshSize(TAuInput& In);
  // Converts the next source block (or the end of the source) into FOut.
  void Refill(TAuInput& In);
  void Decode(const uint8_t* Data, size_t Samples, std::vector<float>& Out) const;
  void Quantise(const float* Samples, size_t Count);
  float DitherValue();

  // Set by the driver between runs, read by the worker when a pass starts.
  std::atomic<int> FTargetRate{0};
  std::atomic<int> FTargetChannels{0};
  std::atomic<int> FTargetBits{0};
  std::atomic<int> FMaxRate{0};
  std::atomic<int> FMaxBits{0};
  std::atomic<double> FGain{0};
  TRateFor FRateFor;          // set while no pass runs
  TChannelsFor FChannelsFor;  // likewise
  // The format a pass delivers, written on the worker and read by progress displays.
  std::atomic<uint32_t> FRate{0};
  std::atomic<uint32_t> FChannels{0};
  std::atomic<uint32_t> FBits{0};

  // The state of one pass, used under DataCS only.
  uint32_t FInRate = 0;
  uint32_t FInChannels = 0;
  uint32_t FInBits = 0;
  bool FPassThrough = false;
  bool FDither = false;
  double FLevel = 1;  // the gain as a factor
  bool FEnded = false;
  int64_t FFramesIn = 0;   // source frames taken
  int64_t FFramesOut = 0;  // frames converted into FOut so far
  uint32_t FNoise = 0;     // dither generator state
  std::unique_ptr<TAuRemix> FRemix;
  bool FRemixFirst = false;  // fewer channels are mixed before resampling, more after
  std::unique_ptr<TAuResampler> FResampler;
  std::vector<float> FSamples;
  std::vector<float> FScratch;
  std::vector<uint8_t> FOut;
  size_t FOutStart = 0;
};

}  // namespace tunevert
