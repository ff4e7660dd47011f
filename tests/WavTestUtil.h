#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "AppTestFiles.h"
#include "PipelineFakes.h"
#include "pipeline/AuClasses.h"

namespace tunevert::testing {

inline std::string WavData(const std::string& Name) {
  return std::string(TUNEVERT_TEST_DATA) + "/wav/" + Name;
}

// Runs a shell command and returns what it wrote to stdout.
inline std::vector<uint8_t> RunTool(const std::string& Command) {
  std::vector<uint8_t> out;
  FILE* p = popen(Command.c_str(), "r");
  if (p == nullptr) return out;
  uint8_t chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, p)) > 0) out.insert(out.end(), chunk, chunk + n);
  pclose(p);
  return out;
}

// Raw little-endian samples of File as ffmpeg decodes it, in the given raw format.
inline std::vector<uint8_t> FfmpegDecode(const std::string& File, const std::string& Format) {
  return RunTool("ffmpeg -nostdin -v error -i '" + File + "' -f " + Format + " -");
}

inline std::string FfprobeField(const std::string& File, const std::string& Field) {
  auto out = RunTool("ffprobe -v error -select_streams a:0 -show_entries stream=" + Field +
                     " -of default=nw=1:nk=1 '" + File + "'");
  std::string s(out.begin(), out.end());
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

inline uint32_t Le32(const std::vector<uint8_t>& B, size_t At) {
  return uint32_t{B[At]} | (uint32_t{B[At + 1]} << 8) | (uint32_t{B[At + 2]} << 16) |
         (uint32_t{B[At + 3]} << 24);
}
inline uint16_t Le16(const std::vector<uint8_t>& B, size_t At) {
  return static_cast<uint16_t>(B[At] | (B[At + 1] << 8));
}

// One whole read pass: everything the input delivers, in blocks of at most Ask bytes.
inline std::vector<uint8_t> ReadPass(TAuInput& Input, uint32_t Ask = 16384) {
  std::vector<uint8_t> out;
  Input.Init();
  for (;;) {
    void* block = nullptr;
    uint32_t bytes = Ask;
    Input.GetData(block, bytes);
    if (bytes == 0) break;
    const auto* p = static_cast<const uint8_t*>(block);
    out.insert(out.end(), p, p + bytes);
  }
  Input.Flush();
  return out;
}

}  // namespace tunevert::testing
