#pragma once

#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "AppTestFiles.h"
#include "pipeline/AuFile.h"

namespace tunevert::testing {

inline std::string FixturePath(const std::string& Name) {
  return std::string(TUNEVERT_TEST_DATA) + "/" + Name;
}

inline int RunQuiet(const std::string& Command) {
  const int raw = std::system((Command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// PCM as the reference decoders give it: `flac -d` (a WAV, 8-bit unsigned, wider widths
// left-justified in whole bytes) and `oggdec -R` (16-bit signed little-endian).
inline std::vector<uint8_t> FlacReference(const std::string& Path) {
  TempDir dir;
  if (RunQuiet("flac -d -s -f -o '" + (dir / "ref.wav") + "' '" + Path + "'") != 0) return {};
  return WavPayload(dir / "ref.wav");
}

inline std::vector<uint8_t> OggReference(const std::string& Path) {
  TempDir dir;
  if (RunQuiet("oggdec -Q -R -o '" + (dir / "ref.raw") + "' '" + Path + "'") != 0) return {};
  return ReadAll(dir / "ref.raw");
}

// One whole pass through Input, asking for Chunk bytes at a time.
inline std::vector<uint8_t> ReadPass(TAuFileIn& Input, uint32_t Chunk = 5000) {
  std::vector<uint8_t> out;
  Input.Init();
  for (int guard = 0; guard < 1000000; ++guard) {
    void* block = nullptr;
    uint32_t bytes = Chunk;
    Input.GetData(block, bytes);
    if (bytes == 0) break;
    const auto* p = static_cast<const uint8_t*>(block);
    out.insert(out.end(), p, p + bytes);
  }
  Input.Flush();
  return out;
}

inline std::vector<uint8_t> Slice(const std::vector<uint8_t>& V, size_t From, size_t Count) {
  From = std::min(From, V.size());
  Count = std::min(Count, V.size() - From);
  return {V.begin() + static_cast<std::ptrdiff_t>(From),
          V.begin() + static_cast<std::ptrdiff_t>(From + Count)};
}

}  // namespace tunevert::testing
