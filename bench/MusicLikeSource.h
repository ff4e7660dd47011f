#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace tunevert::bench {

// A 44.1 kHz stereo 16-bit WAV of tones that move plus some noise, so the encoders work as on
// music rather than silence.
inline void WriteMusicLikeWav(const std::string& path, int seconds) {
  const uint32_t rate = 44100, frames = rate * static_cast<uint32_t>(seconds);
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  out.write("RIFF", 4);
  u32(36 + frames * 4);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(2);
  u32(rate);
  u32(rate * 4);
  u16(4);
  u16(16);
  out.write("data", 4);
  u32(frames * 4);
  std::vector<int16_t> block(2 * 4096);
  uint32_t noise = 12345;
  for (uint32_t f = 0; f < frames;) {
    const uint32_t n = std::min<uint32_t>(4096, frames - f);
    for (uint32_t i = 0; i < n; ++i, ++f) {
      const double t = static_cast<double>(f) / rate;
      const double base = 220 * std::pow(2.0, std::floor(std::fmod(t * 2, 24)) / 12);
      noise = noise * 1664525u + 1013904223u;
      const double hiss = (static_cast<int32_t>(noise) >> 20) / 2048.0;
      const double l =
          0.3 * std::sin(2 * M_PI * base * t) + 0.1 * std::sin(2 * M_PI * 3 * base * t);
      const double r = 0.3 * std::sin(2 * M_PI * base * 1.5 * t) + 0.05 * hiss;
      block[2 * i] = static_cast<int16_t>(l * 32767);
      block[2 * i + 1] = static_cast<int16_t>(r * 32767);
    }
    out.write(reinterpret_cast<const char*>(block.data()), n * 4);
  }
}

}  // namespace tunevert::bench
