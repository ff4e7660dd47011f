#pragma once
// Independent loudness meters to check ours against: loudgain's table and ffmpeg's ebur128
// filter.
#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "AppTestFiles.h"

namespace tunevert::testing {

struct LoudgainRow {
  double Integrated = NAN, Range = NAN, TruePeakDb = NAN;
};

// loudgain's tab-separated list (-O): one row per file, then "Album" with Album. Its own gain
// column is left alone: for Opus it is against -23 LUFS.
inline std::map<std::string, LoudgainRow> Loudgain(const std::vector<std::string>& Files,
                                                   bool Album) {
  std::string command = std::string("loudgain -q -O ") + (Album ? "-a " : "");
  for (const std::string& file : Files) command += Quoted(file) + " ";
  std::istringstream lines(CommandOutput(command + "2>/dev/null"));
  std::map<std::string, LoudgainRow> rows;
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '\t');) fields.push_back(cell);
    if (fields.size() < 5 || fields[0] == "File") continue;
    rows[fields[0]] = {std::strtod(fields[1].c_str(), nullptr),
                       std::strtod(fields[2].c_str(), nullptr),
                       std::strtod(fields[4].c_str(), nullptr)};
  }
  return rows;
}

// ffmpeg's gated integrated loudness, to its one decimal: the summary's, printed last. An
// Opus file's header gain is applied, as its decoder does.
inline double FfmpegIntegrated(const std::string& File) {
  const std::string out = CommandOutput("ffmpeg -nostdin -hide_banner -i " + Quoted(File) +
                                        " -af ebur128 -f null - 2>&1");
  const size_t at = out.rfind("I:");
  return at == std::string::npos ? NAN : std::strtod(out.c_str() + at + 2, nullptr);
}

}  // namespace tunevert::testing
