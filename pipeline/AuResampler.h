#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct soxr;

namespace tunevert {

// Sample-rate conversion of 16-bit interleaved PCM for inputs whose source changes rate
// part-way (the binding to libsoxr; nothing else includes its header).
class TAuResampler final {
 public:
  TAuResampler(uint32_t Channels, uint32_t InRate, uint32_t OutRate);
  ~TAuResampler();
  TAuResampler(const TAuResampler&) = delete;
  TAuResampler& operator=(const TAuResampler&) = delete;

  uint32_t Channels() const { return FChannels; }
  uint32_t InRate() const { return FInRate; }
  uint32_t OutRate() const { return FOutRate; }

  // Appends to Out what Frames interleaved input frames give so far.
  void Process(const int16_t* In, size_t Frames, std::vector<int16_t>& Out);
  // Appends the filter's tail at the end of a piece of audio and starts afresh, so the next
  // Process begins a new signal.
  void Flush(std::vector<int16_t>& Out);

  // The frames that InFrames become at OutRate, which Process plus Flush deliver.
  static int64_t ScaledFrames(int64_t InFrames, uint32_t InRate, uint32_t OutRate);

 private:
  struct TDeleter {
    void operator()(soxr* Resampler) const;
  };

  void Run(const int16_t* In, size_t Frames, std::vector<int16_t>& Out);

  uint32_t FChannels;
  uint32_t FInRate;
  uint32_t FOutRate;
  std::unique_ptr<soxr, TDeleter> FResampler;
};

}  // namespace tunevert
