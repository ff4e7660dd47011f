#pragma once

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace tunevert {

class TTruePeakMeter;

class TAuFormatStage;

// A loudness measured after BS.1770 (K-weighted, gated), as ReplayGain 2.0 takes it.
struct TLoudnessResult {
  // LUFS; -infinity when no block rose above the absolute gate (silence, or nothing at all).
  double Integrated = -std::numeric_limits<double>::infinity();
  double Range = 0;       // LU
  double TruePeak = 0;    // linear, 1 is full scale; the highest of all channels
  double SamplePeak = 0;  // linear

  bool Silent() const { return std::isinf(Integrated); }
};

// Linear peak as dB (dBTP for a true peak); -infinity for 0.
double PeakDecibels(double Linear);

// Measures one stream of interleaved audio. Channels are taken in WAV order: L R C LFE, then
// the surrounds (quad is L R Ls Rs, 5.0 L R C Ls Rs); LFE is left out, the surrounds at the
// sides weigh +1.5 dB. Raises EAuException when libebur128 cannot be loaded.
class TLoudnessMeter {
 public:
  TLoudnessMeter(uint32_t Channels, uint32_t SampleRate);
  ~TLoudnessMeter();
  TLoudnessMeter(const TLoudnessMeter&) = delete;
  TLoudnessMeter& operator=(const TLoudnessMeter&) = delete;

  uint32_t Channels() const { return FChannels; }
  uint32_t SampleRate() const { return FSampleRate; }
  uint64_t Frames() const { return FFrames; }

  // Samples of full scale -1 to 1.
  void AddFrames(const float* Interleaved, size_t Frames);
  // Little-endian integer PCM as the inputs deliver it: 8 bits unsigned, 16, 24 or 32
  // signed; whole frames.
  void AddPcm(const void* Data, size_t Bytes, uint32_t BitsPerSample);

  double Integrated() const;
  double Range() const;
  double TruePeak() const;
  double SamplePeak() const;
  TLoudnessResult Result() const;

  // The album's loudness: every track's blocks gated together, its range likewise, its peaks
  // the highest of any track.
  static TLoudnessResult Album(const std::vector<const TLoudnessMeter*>& Tracks);

 private:
  // libebur128's state, whose type its header leaves unnamed.
  struct TState;
  std::unique_ptr<TState> FState;
  std::unique_ptr<TTruePeakMeter> FPeaks;
  uint32_t FChannels = 0;
  uint32_t FSampleRate = 0;
  uint64_t FFrames = 0;
  std::vector<float> FScratch;  // integer PCM converted, a block at a time
};

// Decodes FileName with the input its format registers and measures all of it. Raises
// EAuException saying why a file could not be measured.
std::unique_ptr<TLoudnessMeter> MeasureFileLoudness(const std::string& FileName);
// The same, of the audio an output would take: with Shape, the decoded audio passes through a
// format stage that Shape sets up (rate, channels, bits, limits) and is measured as it comes
// out. Stop, when given and set, ends the measuring between blocks with "The measuring was
// stopped". Runs on any thread, several files at once.
std::unique_ptr<TLoudnessMeter> MeasureFileLoudness(
    const std::string& FileName, const std::function<void(TAuFormatStage&)>& Shape,
    const std::atomic<bool>* Stop);

}  // namespace tunevert
