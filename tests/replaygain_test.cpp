// ReplayGain tags and loudness normalising, against loudgain on the audio each output was
// given (the lossless outputs themselves), their tags read back by mutagen. And --loudness
// on many files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "AppTestFiles.h"
#include "CliRun.h"
#include "LoudnessReference.h"
#include "pipeline/FormatSpec.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

// ReplayGain 2.0 brings tracks to -18 LUFS; the R128 gains of an Opus file to -23.
constexpr double kReplayGainReference = -18, kR128Reference = -23;

// mutagen's reading of a file's tags (see dump-tags.py), the first value of each name.
std::map<std::string, std::string> TagsOf(const std::string& File) {
  int status = -1;
  std::istringstream lines(
      CommandOutput(std::string(TUNEVERT_TEST_SCRIPTS) + "/dump-tags.py " + Quoted(File), &status));
  EXPECT_EQ(status, 0) << "mutagen could not read " << File;
  std::map<std::string, std::string> tags;
  for (std::string line; std::getline(lines, line);)
    if (const size_t eq = line.find('='); eq != std::string::npos)
      tags.emplace(line.substr(0, eq), line.substr(eq + 1));
  return tags;
}

// The output gain of an Opus file's identification header: signed 16-bit little-endian at
// byte 16 of OpusHead, in 1/256 dB.
int OpusHeaderGain(const std::string& File) {
  const std::vector<uint8_t> file = ReadAll(File);
  const std::string magic = "OpusHead";
  const auto head = std::search(file.begin(), file.end(), magic.begin(), magic.end());
  if (file.end() - head < 19) return -100000;
  return static_cast<int16_t>(head[16] | head[17] << 8);
}

double PeakDb(const std::string& Linear) {
  return 20 * std::log10(std::strtod(Linear.c_str(), nullptr));
}

void Shell(const std::string& Command) {
  ASSERT_EQ(std::system((Command + " >/dev/null 2>&1").c_str()), 0) << Command;
}

// A FLAC file made by sox from Input (its own options and sources) and Effects, tagged by
// metaflac unless Album is empty.
void MakeFlac(const std::string& File, const std::string& Input, const std::string& Effects,
              const std::string& Album = "", const std::string& AlbumArtist = "") {
  std::filesystem::create_directories(std::filesystem::path(File).parent_path());
  Shell("sox " + Input + " " + Quoted(File) + " " + Effects);
  if (!Album.empty())
    Shell("metaflac --set-tag=ALBUM=" + Quoted(Album) +
          " --set-tag=ALBUMARTIST=" + Quoted(AlbumArtist) + " " + Quoted(File));
}

std::string OutputName(const std::string& Dir, const std::string& Stem, const std::string& Format) {
  return Dir + "/" + Stem + FindFormat(Format)->Extension;
}

void Convert(const TempDir& Dir, std::vector<std::string> Arguments) {
  Arguments.insert(Arguments.begin(), "-q");
  CliRun run(Dir, Arguments);
  ASSERT_EQ(run.Wait(), 0) << run.Err();
}

// Two albums with one title, told apart by their album artists, in one folder: levels, a
// gap the gate leaves out, mono, 5.1 (LFE loudest, which must not count) and 96 kHz.
struct Track {
  const char* Stem;
  int Album;
  const char* Input;
  const char* Effects;
};
const Track kTracks[] = {
    {"loud", 0, "-n -r 44100 -c 2 -b 16", "synth 5 sine 997 gain -3"},
    {"quiet", 0, "-n -r 44100 -c 2 -b 24", "synth 5 sine 440 gain -30"},
    {"pink", 0, "-n -r 48000 -c 2 -b 16", "synth 6 pinknoise gain -12"},
    {"gap", 0,
     "'|sox -n -r 44100 -c 2 -p synth 3 sine 1000 gain -10' "
     "'|sox -n -r 44100 -c 2 -p trim 0 10' '|sox -n -r 44100 -c 2 -p synth 3 sine 1000 gain -16' "
     "-b 16",
     ""},
    {"mono", 1, "-n -r 22050 -c 1 -b 16", "synth 5 sine 1500 gain -9"},
    {"surround", 1, "-n -r 48000 -c 6 -b 24",
     "synth 5 sine 300 sine 500 sine 700 sine 60 sine 900 sine 1100 "
     "remix 1v0.2 2v0.2 3v0.2 4v0.9 5v0.4 6v0.4"},
    {"hires", 1, "-n -r 96000 -c 2 -b 24", "synth 5 sine 9000 gain -6"},
};
const char* const kAlbumArtists[] = {"Signal Ensemble", "Signal Trio"};

class ReplayGainTags : public ::testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() {
    Sources = std::make_unique<TempDir>();
    for (const Track& track : kTracks)
      MakeFlac(*Sources / (track.Stem + std::string(".flac")), track.Input, track.Effects,
               "Test Tones", kAlbumArtists[track.Album]);
  }
  static void TearDownTestSuite() { Sources.reset(); }
  static inline std::unique_ptr<TempDir> Sources;
};

}  // namespace

namespace {

// What an encoder of Format was given, as sox makes it from Source: a lossless output is that
// audio itself; a lossy one's encoder takes Opus at 48 kHz only, MP3 and WMA in stereo at
// most (mixed as the format stage does: the centre and surrounds 3 dB down, the LFE left
// out, each side scaled to a sum of 1). A lossy file decodes a little off what it was given
// (MP3 0.45 dB quieter, as the reference encoder's do), which its tags do not describe.
std::string ReceivedAudio(const std::string& Format, const std::string& Source,
                          const std::string& Output, const TempDir& Dir) {
  if (FindFormat(Format)->Lossless) return Output;
  const std::string received =
      Dir / ("received-" + std::filesystem::path(Output).stem().string() + ".wav");
  std::string effects;
  if (Format == "opus") effects = "rate -v 48000";
  if ((Format == "mp3" || Format == "wma") && ProbeAudio(Source).find(",6,") != std::string::npos)
    effects = "remix 1v0.4142,3v0.2929,5v0.2929 2v0.4142,3v0.2929,6v0.2929";
  Shell("sox " + Quoted(Source) + " -e floating-point -b 32 " + Quoted(received) + " " + effects);
  return received;
}

}  // namespace

// Each output's track and album values against loudgain on the audio its encoder was given,
// album by album, in the fields and notation its format's players read.
TEST_P(ReplayGainTags, AgreeWithLoudgain) {
  const std::string format = GetParam();
  const bool opus = format == "opus";
  TempDir dir;
  // A file that fails fails the run; the others are still checked, as albums without it.
  CliRun run(dir, {"-q", "--replaygain", "album", "-f", format, "-o", dir / "out", Sources->Path});
  EXPECT_EQ(run.Wait(), 0) << run.Err();

  const std::regex gainText(R"([+-]?\d+\.\d\d dB)"), peakText(R"(\d\.\d{6})"), q78(R"(-?\d+)");
  for (int album = 0; album < 2; ++album) {
    std::vector<std::string> outputs, received;
    for (const Track& track : kTracks)
      if (const std::string output = OutputName(dir / "out", track.Stem, format);
          track.Album == album && std::filesystem::exists(output)) {
        outputs.push_back(output);
        received.push_back(
            ReceivedAudio(format, *Sources / (track.Stem + std::string(".flac")), output, dir));
      }
    const auto reference = Loudgain(received, true);
    ASSERT_EQ(reference.size(), outputs.size() + 1) << "loudgain read not every file";
    const LoudgainRow& albumWant = reference.at("Album");
    for (size_t i = 0; i < outputs.size(); ++i) {
      const std::string& output = outputs[i];
      SCOPED_TRACE(output);
      const LoudgainRow& want = reference.at(received[i]);
      auto tags = TagsOf(output);
      if (opus) {
        // R128 gains alone, as whole 1/256 dB against -23 LUFS, and no header gain on top.
        for (const auto& [name, value] : tags)
          EXPECT_FALSE(name.starts_with("REPLAYGAIN_")) << name;
        ASSERT_TRUE(std::regex_match(tags["R128_TRACK_GAIN"], q78)) << tags["R128_TRACK_GAIN"];
        ASSERT_TRUE(std::regex_match(tags["R128_ALBUM_GAIN"], q78)) << tags["R128_ALBUM_GAIN"];
        EXPECT_NEAR(std::stoi(tags["R128_TRACK_GAIN"]), (kR128Reference - want.Integrated) * 256,
                    0.05 * 256);
        EXPECT_NEAR(std::stoi(tags["R128_ALBUM_GAIN"]),
                    (kR128Reference - albumWant.Integrated) * 256, 0.05 * 256);
        EXPECT_EQ(OpusHeaderGain(output), 0);
        continue;
      }
      EXPECT_EQ(tags.count("R128_TRACK_GAIN") + tags.count("R128_ALBUM_GAIN"), 0u);
      for (const char* gain : {"REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_ALBUM_GAIN"})
        ASSERT_TRUE(std::regex_match(tags[gain], gainText)) << gain << "=" << tags[gain];
      for (const char* peak : {"REPLAYGAIN_TRACK_PEAK", "REPLAYGAIN_ALBUM_PEAK"})
        ASSERT_TRUE(std::regex_match(tags[peak], peakText)) << peak << "=" << tags[peak];
      EXPECT_NEAR(std::stod(tags["REPLAYGAIN_TRACK_GAIN"]), kReplayGainReference - want.Integrated,
                  0.05);
      EXPECT_NEAR(PeakDb(tags["REPLAYGAIN_TRACK_PEAK"]), want.TruePeakDb, 0.1);
      EXPECT_NEAR(std::stod(tags["REPLAYGAIN_ALBUM_GAIN"]),
                  kReplayGainReference - albumWant.Integrated, 0.05);
      EXPECT_NEAR(PeakDb(tags["REPLAYGAIN_ALBUM_PEAK"]), albumWant.TruePeakDb, 0.1);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, ReplayGainTags,
                         ::testing::Values("flac", "alac", "wav", "mp3", "ogg", "opus", "m4a",
                                           "wma"),
                         [](const auto& param) { return param.param; });

// The values are those of the audio as remixed and resampled for the output.
TEST(ReplayGain, MeasureTheAudioAsReshaped) {
  TempDir dir;
  for (const Track& track : kTracks)
    if (track.Stem == std::string("surround") || track.Stem == std::string("hires"))
      MakeFlac(dir / ("src/" + std::string(track.Stem) + ".flac"), track.Input, track.Effects);
  ASSERT_NO_FATAL_FAILURE(Convert(dir, {"--replaygain", "track", "--channels", "1", "--rate",
                                        "32000", "-f", "flac", "-o", dir / "out", dir / "src"}));
  const std::vector<std::string> outputs = {dir / "out/surround.flac", dir / "out/hires.flac"};
  const auto reference = Loudgain(outputs, false);
  ASSERT_EQ(reference.size(), 2u);
  for (const std::string& output : outputs) {
    SCOPED_TRACE(output);
    const std::string shape = ProbeAudio(output);
    ASSERT_TRUE(shape.starts_with("flac,32000,1,")) << shape;
    auto tags = TagsOf(output);
    EXPECT_NEAR(std::stod(tags["REPLAYGAIN_TRACK_GAIN"]),
                kReplayGainReference - reference.at(output).Integrated, 0.05);
    EXPECT_NEAR(PeakDb(tags["REPLAYGAIN_TRACK_PEAK"]), reference.at(output).TruePeakDb, 0.1);
  }
}

// Untagged sources form an album per folder.
TEST(ReplayGain, UntaggedSourcesGroupByFolder) {
  TempDir dir;
  MakeFlac(dir / "a/loud.flac", "-n -r 44100 -c 2 -b 16", "synth 4 sine 1000 gain -4");
  MakeFlac(dir / "a/soft.flac", "-n -r 44100 -c 2 -b 16", "synth 4 pinknoise gain -24");
  MakeFlac(dir / "b/mid.flac", "-n -r 44100 -c 2 -b 16", "synth 4 sine 700 gain -14");
  ASSERT_NO_FATAL_FAILURE(Convert(
      dir, {"--replaygain", "album", "-f", "flac", "-o", dir / "out", dir / "a", dir / "b"}));
  for (const std::vector<std::string>& album :
       {std::vector<std::string>{dir / "out/loud.flac", dir / "out/soft.flac"},
        std::vector<std::string>{dir / "out/mid.flac"}}) {
    const auto reference = Loudgain(album, true);
    ASSERT_EQ(reference.size(), album.size() + 1);
    for (const std::string& output : album) {
      SCOPED_TRACE(output);
      EXPECT_NEAR(std::stod(TagsOf(output)["REPLAYGAIN_ALBUM_GAIN"]),
                  kReplayGainReference - reference.at("Album").Integrated, 0.05);
    }
  }
}

// An Opus output turns the carried ReplayGain gains into R128 gains; measuring replaces them.
TEST(ReplayGain, OpusCarriesOrMeasuresR128Gains) {
  TempDir dir;
  MakeFlac(dir / "src/tagged.flac", "-n -r 44100 -c 2 -b 16", "synth 4 sine 1000 gain -20");
  // Deliberately not what the audio measures.
  Shell(
      "metaflac --set-tag='REPLAYGAIN_TRACK_GAIN=+3.00 dB' --set-tag=REPLAYGAIN_TRACK_PEAK=0.5 "
      "--set-tag='REPLAYGAIN_ALBUM_GAIN=-2.27 dB' --set-tag=REPLAYGAIN_ALBUM_PEAK=0.9 " +
      Quoted(dir / "src/tagged.flac"));
  ASSERT_NO_FATAL_FAILURE(
      Convert(dir, {"-f", "opus", "-o", dir / "carried", dir / "src/tagged.flac"}));
  auto carried = TagsOf(dir / "carried/tagged.opus");
  EXPECT_EQ(carried["R128_TRACK_GAIN"], "-512");   // (3 - 5) * 256
  EXPECT_EQ(carried["R128_ALBUM_GAIN"], "-1861");  // (-2.27 - 5) * 256, rounded
  for (const auto& [name, value] : carried) EXPECT_FALSE(name.starts_with("REPLAYGAIN_")) << name;
  EXPECT_EQ(OpusHeaderGain(dir / "carried/tagged.opus"), 0);

  ASSERT_NO_FATAL_FAILURE(Convert(dir, {"--replaygain", "track", "-f", "opus", "-o",
                                        dir / "measured", dir / "src/tagged.flac"}));
  const std::string output = dir / "measured/tagged.opus";
  const auto reference = Loudgain({output}, false);
  ASSERT_EQ(reference.size(), 1u);
  EXPECT_NEAR(std::stoi(TagsOf(output)["R128_TRACK_GAIN"]),
              (kR128Reference - reference.at(output).Integrated) * 256, 0.05 * 256);
}

namespace {

// Music-like levels above and below the target, and a quiet tone with a short loud burst
// whose peak leaves less room than the target asks for.
const Track kNormalized[] = {
    {"above", 0, "-n -r 44100 -c 2 -b 16", "synth 6 pinknoise sine 200-4000 gain -3"},
    {"below", 0, "-n -r 44100 -c 2 -b 16", "synth 6 pinknoise sine 200-4000 gain -30"},
    {"peaky", 0, "-n -r 44100 -c 2 -b 24",
     "synth 5 sine 1000 gain -30 : synth 0.1 sine 1000 gain -3 fade 0.01 0.1 0.01 : "
     "synth 5 sine 1000 gain -30"},
};

class NormalizedOutputs : public ::testing::TestWithParam<std::string> {};

}  // namespace

// Each file at -18 LUFS unless that would take its true peak above -1 dBTP: then at -1 dBTP.
TEST_P(NormalizedOutputs, ReachesTargetShortOfTheTruePeakLimit) {
  const std::string format = GetParam();
  TempDir dir;
  std::vector<std::string> sources;
  for (const Track& track : kNormalized) {
    sources.push_back(dir / ("src/" + std::string(track.Stem) + ".flac"));
    MakeFlac(sources.back(), track.Input, track.Effects);
  }
  const auto before = Loudgain(sources, false);
  ASSERT_EQ(before.size(), sources.size());
  const LoudgainRow& peaky = before.at(sources[2]);
  // Its peak at the target loudness: over a dB above the limit, so that stopping short shows.
  ASSERT_GT(peaky.TruePeakDb + (kReplayGainReference - peaky.Integrated), 0)
      << "the burst no longer limits the gain";

  ASSERT_NO_FATAL_FAILURE(
      Convert(dir, {"--normalize", "-18", "-f", format, "-o", dir / "out", dir / "src"}));
  std::vector<std::string> outputs;
  for (const Track& track : kNormalized)
    outputs.push_back(OutputName(dir / "out", track.Stem, format));
  if (format == "opus") {
    // Through the header's gain, which every decoder applies.
    for (const std::string& output : outputs) {
      SCOPED_TRACE(output);
      EXPECT_NE(OpusHeaderGain(output), 0);
      if (output != outputs[2]) {
        EXPECT_NEAR(FfmpegIntegrated(output), kReplayGainReference, 0.3);
      }
    }
    return;
  }
  const auto after = Loudgain(outputs, false);
  ASSERT_EQ(after.size(), outputs.size());
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(outputs[i]);
    EXPECT_NEAR(after.at(outputs[i]).Integrated, kReplayGainReference, 0.3);
  }
  const LoudgainRow& limited = after.at(outputs[2]);
  EXPECT_NEAR(limited.TruePeakDb, -1, 0.1);
  EXPECT_NEAR(limited.Integrated, peaky.Integrated + (-1 - peaky.TruePeakDb), 0.3);
}

// The samples' gain on a lossless output, which decodes to exactly what was given; the header's
// on Opus.
INSTANTIATE_TEST_SUITE_P(Formats, NormalizedOutputs, ::testing::Values("flac", "opus"),
                         [](const auto& param) { return param.param; });

// Album gain normalises an album as one: its tracks keep their differences in level.
TEST(NormalizedOutputs, AlbumKeepsItsTracksApart) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> tracks = {
      {"one", "synth 5 sine 1000 gain -6"},
      {"two", "synth 5 pinknoise sine 200-4000 gain -20"},
      {"three", "synth 5 sine 440 gain -26"}};
  std::vector<std::string> sources, outputs;
  for (const auto& [stem, effects] : tracks) {
    sources.push_back(dir / ("src/" + stem + ".flac"));
    outputs.push_back(dir / ("out/" + stem + ".flac"));
    MakeFlac(sources.back(), "-n -r 44100 -c 2 -b 16", effects, "Spread", "Signal Ensemble");
  }
  ASSERT_NO_FATAL_FAILURE(Convert(dir, {"--replaygain", "album", "--normalize", "-18", "-f", "flac",
                                        "-o", dir / "out", dir / "src"}));
  const auto before = Loudgain(sources, true), after = Loudgain(outputs, true);
  ASSERT_EQ(before.size(), 4u);
  ASSERT_EQ(after.size(), 4u);
  EXPECT_NEAR(after.at("Album").Integrated, kReplayGainReference, 0.3);
  for (size_t i = 1; i < tracks.size(); ++i) {
    SCOPED_TRACE(outputs[i]);
    EXPECT_NEAR(after.at(outputs[i]).Integrated - after.at(outputs[0]).Integrated,
                before.at(sources[i]).Integrated - before.at(sources[0]).Integrated, 0.1);
  }
}

// Files measured at once still print in the order given, each as when measured alone, though
// the first takes longest.
TEST(LoudnessCommand, PrintsInTheOrderGivenAsWhenMeasuredAlone) {
  TempDir dir;
  const std::vector<std::string> files = {dir / "long.flac", dir / "short.flac",
                                          dir / "shorter.flac"};
  MakeFlac(files[0], "-n -r 44100 -c 2 -b 16", "synth 40 pinknoise gain -10");
  MakeFlac(files[1], "-n -r 44100 -c 2 -b 16", "synth 2 sine 440 gain -20");
  MakeFlac(files[2], "-n -r 48000 -c 1 -b 16", "synth 1 sine 880 gain -6");
  std::string alone;
  for (const std::string& file : files) {
    CliRun run(dir, {"--loudness", file});
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    alone += run.Out();
  }
  std::vector<std::string> arguments = files;
  arguments.insert(arguments.begin(), "--loudness");
  CliRun together(dir, arguments);
  ASSERT_EQ(together.Wait(), 0) << together.Err();
  const std::string out = together.Out();
  EXPECT_EQ(out.substr(0, alone.size()), alone);
  EXPECT_EQ(out.find("album: ", alone.size()), alone.size()) << out;
}
