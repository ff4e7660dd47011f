#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct soxr;

namespace tunevert {

enum class TResampleQuality { rqHigh, rqVeryHigh };

// Sample-rate conversion of interleaved PCM, either 16-bit (for inputs whose source changes
// rate part-way) or float (for the output settings stage): the binding to libsoxr; nothing
// else includes its header.
class TAuResampler final {
 public:
  // 16-bit samples at high quality, undithered.
  TAuResampler(uint32_t Channels, uint32_t InRate, uint32_t OutRate);
  // Float samples, nominally within -1..1.
  TAuResampler(uint32_t Channels, uint32_t InRate, uint32_t OutRate, TResampleQuality Quality);
  ~TAuResampler();
  TAuResampler(const TAuResampler&) = delete;
  TAuResampler& operator=(const TAuResampler&) = delete;

  uint32_t Channels() const { return FChannels; }
  uint32_t InRate() const { return FInRate; }
  uint32_t OutRate() const { return FOutRate; }

  // Appends to Out what Frames interleaved input frames give so far.
  // Each sample type only on a resampler made for it.
  void Process(const int16_t* In, size_t Frames, std::vector<int16_t>& Out);
  void Process(const float* In, size_t Frames, std::vector<float>& Out);
  // Appends the filter's tail at the end of a piece of audio and starts afresh, so the next
  // Process begins a new signal.
  void Flush(std::vector<int16_t>& Out);
  void Flush(std::vector<float>& Out);

  // The frames that InFrames become at OutRate, which Process plus Flush deliver.
  static int64_t ScaledFrames(int64_t InFrames, uint32_t InRate, uint32_t OutRate);

 private:
  struct TDeleter {
    void operator()(soxr* Resampler) const;
  };

  void Create(bool Float, TResampleQuality Quality);
  template <class T>
  void Run(const T* In, size_t Frames, std::vector<T>& Out);
  template <class T>
  void CheckType() const;

  uint32_t FChannels;
  uint32_t FInRate;
  uint32_t FOutRate;
  bool FFloat = false;
  std::unique_ptr<soxr, TDeleter> FResampler;
};

}  // namespace tunevert
