#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>

namespace tunevert {

// An output whose format carries a gain in its header that players apply as they decode, so
// a level change costs no requantising of the audio.
class THeaderGainOutput {
 public:
  // In dB; 0, the default, leaves the level alone. Read when a run writes its header.
  void SetHeaderGain(double Decibels) { FHeaderGain = Decibels; }
  double HeaderGain() const { return FHeaderGain; }

  // The gain in 1/256 dB steps (Q7.8) as a signed 16-bit field holds it: rounded, and held to
  // the field's range (about +-128 dB); a gain that is not a number is none.
  int16_t HeaderGainQ78() const {
    const double steps = std::round(FHeaderGain.load() * 256);
    if (std::isnan(steps)) return 0;
    if (steps <= INT16_MIN) return INT16_MIN;
    if (steps >= INT16_MAX) return INT16_MAX;
    return static_cast<int16_t>(steps);
  }

 protected:
  ~THeaderGainOutput() = default;

 private:
  std::atomic<double> FHeaderGain{0};
};

}  // namespace tunevert
