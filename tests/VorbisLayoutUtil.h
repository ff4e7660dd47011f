#pragma once

// Reference decodes and signal measures shared by the Vorbis layout and damage tests.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "VorbisFlacTestUtil.h"
#include "vorbis/AuVorbis.h"

namespace tunevert::testing {

inline std::vector<int16_t> AsSamples(const std::vector<uint8_t>& Bytes) {
  std::vector<int16_t> s(Bytes.size() / 2);
  std::memcpy(s.data(), Bytes.data(), s.size() * 2);
  return s;
}

// ffmpeg delivers WAV channel order.
inline std::vector<int16_t> FfmpegSamples(const std::string& Path) {
  TempDir dir;
  if (RunQuiet("ffmpeg -v error -y -i '" + Path + "' -f s16le '" + (dir / "ref.raw") + "'") != 0)
    return {};
  return AsSamples(ReadAll(dir / "ref.raw"));
}

inline std::vector<int16_t> Channel(const std::vector<int16_t>& Pcm, size_t Channels, size_t Index,
                                    size_t FirstFrame = 0) {
  std::vector<int16_t> c;
  for (size_t i = FirstFrame * Channels + Index; i < Pcm.size(); i += Channels) c.push_back(Pcm[i]);
  return c;
}

// Amplitude of the Frequency component of X.
inline double Tone(const std::vector<int16_t>& X, double Frequency, double Rate) {
  const double w = 2 * M_PI * Frequency / Rate;
  double s1 = 0, s2 = 0;
  for (int16_t v : X) {
    const double s = v + 2 * std::cos(w) * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  return 2 * std::sqrt(std::max(0.0, s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2)) /
         static_cast<double>(X.size());
}

// Frequency from the rising zero crossings, interpolated to a fraction of a frame.
inline double ZeroCrossingFrequency(const std::vector<int16_t>& X, double Rate) {
  double first = -1, last = -1;
  int crossings = 0;
  for (size_t i = 1; i < X.size(); ++i) {
    if (X[i - 1] < 0 && X[i] >= 0) {
      const double at = static_cast<double>(i - 1) + X[i - 1] / double(X[i - 1] - X[i]);
      if (first < 0)
        first = at;
      else
        ++crossings;
      last = at;
    }
  }
  return crossings > 0 ? crossings * Rate / (last - first) : 0;
}

// A chain is its links' files one after another; each link starts with a page that has the
// beginning-of-stream flag.
inline std::vector<std::vector<uint8_t>> SplitChain(const std::vector<uint8_t>& File) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 6 <= File.size(); ++i)
    if (std::memcmp(&File[i], "OggS", 4) == 0 && File[i + 4] == 0 && (File[i + 5] & 2) != 0)
      starts.push_back(i);
  starts.push_back(File.size());
  std::vector<std::vector<uint8_t>> links;
  for (size_t k = 0; k + 1 < starts.size(); ++k)
    links.emplace_back(File.begin() + static_cast<std::ptrdiff_t>(starts[k]),
                       File.begin() + static_cast<std::ptrdiff_t>(starts[k + 1]));
  return links;
}

struct TLinkRef {
  std::vector<uint8_t> Pcm;  // oggdec's decode of the link alone
  size_t Channels = 0;
  uint32_t Rate = 0;
  size_t Frames() const { return Pcm.size() / (2 * Channels); }
};

inline std::vector<TLinkRef> ChainReference(const std::string& Path) {
  TempDir dir;
  std::vector<TLinkRef> refs;
  for (const auto& link : SplitChain(ReadAll(Path))) {
    const std::string file = dir / ("link" + std::to_string(refs.size()) + ".ogg");
    WriteAll(file, link);
    auto in = MakeComponent<TVorbisIn>(nullptr);
    in->SetFileName(file);
    TLinkRef r;
    r.Pcm = OggReference(file);
    r.Channels = in->Channels();
    r.Rate = in->SampleRate();
    refs.push_back(std::move(r));
  }
  return refs;
}

inline int64_t Scaled(size_t Frames, uint32_t From, uint32_t To) {
  return std::llround(static_cast<double>(Frames) * To / From);
}

}  // namespace tunevert::testing
