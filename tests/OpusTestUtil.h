#pragma once

// Reference decodes and measures shared by the Opus input and output tests.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "VorbisLayoutUtil.h"

namespace tunevert::testing {

// opusdec's float decode at 48 kHz in WAV channel order, rounded to 16 bits as the Opus input
// rounds. (opusdec's own 16-bit output is dithered: a few steps off in every sample.)
inline std::vector<int16_t> OpusdecReference(const std::string& Path) {
  TempDir dir;
  if (RunQuiet("opusdec --quiet --float --rate 48000 '" + Path + "' '" + (dir / "ref.wav") + "'") !=
      0)
    return {};
  const std::vector<uint8_t> payload = WavPayload(dir / "ref.wav");
  std::vector<int16_t> out(payload.size() / 4);
  for (size_t i = 0; i < out.size(); ++i) {
    float v;
    std::memcpy(&v, &payload[4 * i], 4);
    out[i] = static_cast<int16_t>(std::lrint(std::clamp(v * 32768.0f, -32768.0f, 32767.0f)));
  }
  return out;
}

// ffmpeg's demuxer and channel layout over the reference decoder library.
inline std::vector<int16_t> FfmpegLibopusSamples(const std::string& Path) {
  TempDir dir;
  if (RunQuiet("ffmpeg -v error -y -c:a libopus -i '" + Path + "' -f s16le '" + (dir / "ref.raw") +
               "'") != 0)
    return {};
  return AsSamples(ReadAll(dir / "ref.raw"));
}

inline double SnrDb(const std::vector<int16_t>& Ref, const std::vector<int16_t>& Got) {
  double signal = 0, noise = 0;
  for (size_t i = 0; i < std::min(Ref.size(), Got.size()); ++i) {
    signal += double(Ref[i]) * Ref[i];
    noise += (double(Ref[i]) - Got[i]) * (double(Ref[i]) - Got[i]);
  }
  return noise == 0 ? 200 : 10 * std::log10(signal / noise);
}

}  // namespace tunevert::testing
