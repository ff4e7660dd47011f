#pragma once

#include <cstdint>
#include <memory>

#include "platform/Stream.h"

namespace tunevert {

// Decodes a WAV file whose payload the reader has no decoder of (A-law, mu-law, GSM, G.726,
// the many ADPCM variants...) through the Windows Media runtime's reader routines. Without
// the runtime nothing opens. The runtime's declarations stay out of this header: they clash
// with the compression manager's, which the WAV reader also sees.
class TWaveRuntimeDecoder {
 public:
  TWaveRuntimeDecoder();
  TWaveRuntimeDecoder(const TWaveRuntimeDecoder&) = delete;
  TWaveRuntimeDecoder& operator=(const TWaveRuntimeDecoder&) = delete;
  ~TWaveRuntimeDecoder();

  // Reads Stream from its beginning; true when the runtime offers PCM audio for it.
  bool Open(TStream* Stream);
  void Close();
  bool IsOpen() const { return FOpen; }

  uint32_t Channels() const { return FChannels; }
  uint32_t BitsPerSample() const { return FBits; }
  uint32_t SampleRate() const { return FRate; }
  // An upper bound (the runtime's duration and some room), since GetData ends the pass at
  // the announced size; the pass normally ends when the decoder runs dry.
  int64_t TotalSamples() const { return FTotalSamples; }

  // Whole frames only, never more than asked; 0 bytes at the end.
  void GetData(void*& Buffer, uint32_t& Bytes);
  // Exact to the frame: what is still held of the current sample is dropped.
  bool SeekToSample(int64_t SampleNum);

 private:
  struct TReader;
  std::unique_ptr<TReader> FReader;
  bool FOpen = false;
  uint32_t FChannels = 0;
  uint32_t FBits = 0;
  uint32_t FRate = 0;
  int64_t FTotalSamples = 0;
};

}  // namespace tunevert
