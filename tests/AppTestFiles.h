#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tunevert::testing {

// A fresh folder under the system's temporary folder, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tunevert-XXXXXX").string();
    Path = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(Path, ec);
  }
  std::string operator/(const std::string& name) const { return (Path / name).string(); }
  std::filesystem::path Path;
};

// A path for a shell command line, in single quotes.
inline std::string Quoted(const std::string& s) {
  return "'" + s + "'";
}

inline std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// PCM frames of a simple ramp, for `frames` frames of `channels` x `bits`.
inline std::vector<uint8_t> RampPcm(int frames, int channels, int bits) {
  std::vector<uint8_t> pcm;
  const int bytes = bits / 8;
  for (int f = 0; f < frames; ++f)
    for (int c = 0; c < channels; ++c) {
      const uint32_t v =
          (static_cast<uint32_t>(f) * 977u + static_cast<uint32_t>(c) * 131u) * 2654435761u;
      for (int b = 0; b < bytes; ++b) pcm.push_back(static_cast<uint8_t>(v >> (8 * b)));
    }
  return pcm;
}

// A canonical 44-byte-header PCM WAV file, written independently of the code under test.
inline void WriteWav(const std::string& path, const std::vector<uint8_t>& pcm, int channels,
                     int bits, int rate) {
  std::vector<uint8_t> f;
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  auto u16 = [&](uint16_t v) {
    f.push_back(static_cast<uint8_t>(v));
    f.push_back(static_cast<uint8_t>(v >> 8));
  };
  // Byte by byte: g++ 12 at -O2 misreads a four-byte insert here as an overflow.
  auto tag = [&](const char* t) {
    for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(t[i]));
  };
  tag("RIFF");
  u32(static_cast<uint32_t>(36 + pcm.size()));
  tag("WAVE");
  tag("fmt ");
  u32(16);
  u16(1);
  u16(static_cast<uint16_t>(channels));
  u32(static_cast<uint32_t>(rate));
  u32(static_cast<uint32_t>(rate * channels * bits / 8));
  u16(static_cast<uint16_t>(channels * bits / 8));
  u16(static_cast<uint16_t>(bits));
  tag("data");
  u32(static_cast<uint32_t>(pcm.size()));
  f.insert(f.end(), pcm.begin(), pcm.end());
  WriteAll(path, f);
}

// The bytes of a WAV file's "data" chunk (a plain walk over the chunks).
inline std::vector<uint8_t> WavPayload(const std::string& path) {
  const std::vector<uint8_t> f = ReadAll(path);
  size_t pos = 12;
  while (pos + 8 <= f.size()) {
    const uint32_t size =
        f[pos + 4] | f[pos + 5] << 8 | f[pos + 6] << 16 | uint32_t{f[pos + 7]} << 24;
    if (std::string(f.begin() + pos, f.begin() + pos + 4) == "data") {
      const size_t end = std::min(f.size(), pos + 8 + size);
      return {f.begin() + pos + 8, f.begin() + end};
    }
    pos += 8 + size + (size & 1);
  }
  return {};
}

// What a shell command prints on its standard output, and its exit status when asked.
inline std::string CommandOutput(const std::string& command, int* status = nullptr) {
  std::string out;
  if (status != nullptr) *status = -1;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  const int raw = pclose(pipe);
  if (status != nullptr && WIFEXITED(raw)) *status = WEXITSTATUS(raw);
  return out;
}

// A command's output without the line ends it closes with.
inline std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

// ffprobe's view of a file's first audio stream: "codec,rate,channels,bitrate".
inline std::string ProbeAudio(const std::string& path) {
  return Trimmed(
      CommandOutput("ffprobe -v error -select_streams a:0 -show_entries "
                    "stream=codec_name,sample_rate,channels,bit_rate -of csv=p=0 '" +
                    path + "'"));
}

// How many sample frames ffmpeg decodes from a file, as 16-bit PCM of its own channel count.
inline size_t DecodedFrames(const std::string& path, int channels) {
  return CommandOutput("ffmpeg -nostdin -v error -i '" + path + "' -f s16le -c:a pcm_s16le -")
             .size() /
         (2 * static_cast<size_t>(channels));
}

// Unfinished outputs left below Dir: files under a temporary name.
inline std::vector<std::string> Temporaries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(dir, ec), end; !ec && it != end;
       it.increment(ec))
    if (it->path().filename().string().find(".tunevert-") != std::string::npos)
      names.push_back(it->path().string());
  return names;
}

}  // namespace tunevert::testing
