#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "pipeline/AuFile.h"
#include "wav/AuWave.h"

namespace tunevert::bench {

inline double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Wall time of one blocking run of an output from a WAV file to path.
inline double RunOutput(TAuFileOut& out, const std::string& wav, const std::string& path) {
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(wav);
  out.SetInput(in.get());
  out.SetFileName(path);
  const auto start = std::chrono::steady_clock::now();
  out.BlockingRun();
  const double s = Seconds(start);
  out.SetInput(nullptr);
  return s;
}

// Wall time of a shell command; a failing one ends the benchmark.
inline double RunTool(const std::string& cmd) {
  const auto start = std::chrono::steady_clock::now();
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", cmd.c_str());
    std::exit(2);
  }
  return Seconds(start);
}

// Both sides' times, speeds and sizes, and their ratio against the target.
inline void Report(const char* what, const char* tool, double target, double ours, double theirs,
                   int seconds, const std::filesystem::path& ourFile,
                   const std::filesystem::path& theirFile) {
  namespace fs = std::filesystem;
  std::printf("%s tunevert: %.3f s (%.1fx real time), %llu bytes\n", what, ours, seconds / ours,
              static_cast<unsigned long long>(fs::file_size(ourFile)));
  std::printf("%s %-8s %.3f s (%.1fx real time), %llu bytes\n", what, tool, theirs,
              seconds / theirs, static_cast<unsigned long long>(fs::file_size(theirFile)));
  std::printf("%s ratio tunevert/%s: %.3f (target <= %.2f)\n", what, tool, ours / theirs, target);
}

}  // namespace tunevert::bench
