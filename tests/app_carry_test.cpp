#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "AppTestFiles.h"
#include "pipeline/FormatSpec.h"
#include "tags/TagLibMeta.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

const std::string kCarry = std::string(TUNEVERT_TEST_DATA) + "/carry/";

// mutagen's view of a file, one "KEY=value" line each, sorted (see dump-tags.py). A file
// mutagen cannot read fails the test rather than show no tags.
std::vector<std::string> Dump(const std::string& path) {
  int status = -1;
  std::istringstream in(
      CommandOutput(std::string(TUNEVERT_TEST_SCRIPTS) + "/dump-tags.py " + Quoted(path), &status));
  EXPECT_EQ(status, 0) << "mutagen could not read " << path;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

std::vector<std::string> WithPrefix(const std::vector<std::string>& lines,
                                    const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& l : lines)
    if (l.rfind(prefix, 0) == 0) out.push_back(l);
  return out;
}

// The carried fields and pictures: what is neither an ID3v1/INFO copy nor another frame.
std::vector<std::string> Carried(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const std::string& l : lines)
    if (l.rfind("ID3V1:", 0) != 0 && l.rfind("INFO:", 0) != 0 && l.rfind("OTHER=", 0) != 0)
      out.push_back(l);
  return out;
}

std::string Convert(const std::string& source, const std::string& format, const std::string& outDir,
                    const std::string& options = "") {
  return CommandOutput(std::string(TUNEVERT_CLI) + " " + options + " -f " + format + " -o " +
                       Quoted(outDir) + " " + Quoted(source) + " 2>&1");
}

std::string Probe(const std::string& path, const std::string& entries) {
  return CommandOutput("ffprobe -v error -show_entries " + entries + " -of csv=p=0 " +
                       Quoted(path));
}

using CarryCase = std::tuple<std::string, std::string>;  // source file, output format

std::string ExtensionOf(const std::string& format) {
  return tunevert::FindFormat(format)->Extension;
}

// What an M4A file can keep of its source's pictures: covr holds neither a picture's type nor
// its description. The gapless record an AAC output carries is no carried tag.
std::vector<std::string> AsInM4A(std::vector<std::string> lines) {
  std::erase_if(lines, [](const std::string& l) { return l.rfind("ITUNSMPB=", 0) == 0; });
  for (std::string& l : lines)
    if (l.rfind("PICTURE=", 0) == 0) {
      const size_t mime = l.find('|') + 1, description = l.find('|', mime) + 1;
      l = "PICTURE=3|" + l.substr(mime, description - mime) + l.substr(l.find('|', description));
    }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// An Opus file holds its gains as R128 gains in 1/256 dB, 5 dB below ReplayGain's (-23 LUFS
// against -18), and no peaks. Every carry source has a track gain of -6.50 dB and an album
// gain of -7.10 dB.
std::vector<std::string> AsInOpus(std::vector<std::string> lines) {
  std::erase_if(lines, [](const std::string& l) { return l.starts_with("REPLAYGAIN_"); });
  lines.insert(lines.end(), {"R128_ALBUM_GAIN=-3098", "R128_TRACK_GAIN=-2944"});
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The output gain of an Opus file's identification header (OpusHead), a signed 16-bit
// little-endian number at byte 16, which players apply before any R128 gain.
int OpusHeaderGain(const std::string& path) {
  const std::vector<uint8_t> file = ReadAll(path);
  const std::string magic = "OpusHead";
  const auto head = std::search(file.begin(), file.end(), magic.begin(), magic.end());
  if (file.end() - head < 19) return -100000;
  return static_cast<int16_t>(head[16] | head[17] << 8);
}

class CarriedTags : public ::testing::TestWithParam<CarryCase> {};

TEST_P(CarriedTags, EveryFieldAndPictureArrives) {
  const auto& [source, format] = GetParam();
  TempDir dir;
  const std::string output = dir / ("out/tagged" + ExtensionOf(format));
  const std::string printed = Convert(kCarry + source, format, dir / "out");
  ASSERT_EQ(printed.substr(0, printed.find('\n') + 1),
            "done: " + kCarry + source + " -> " + output + "\n");

  std::vector<std::string> expected = Carried(Dump(kCarry + source));
  ASSERT_GE(expected.size(), 23u) << "fixture lost its tags: " << source;
  // ASF has no attribute for the number of tracks.
  if (format == "wma") std::erase(expected, "TRACKTOTAL=12");
  ASSERT_EQ(WithPrefix(expected, "REPLAYGAIN_TRACK_GAIN="),
            std::vector<std::string>{"REPLAYGAIN_TRACK_GAIN=-6.50 dB"});
  if (format == "opus") {
    expected = AsInOpus(expected);
    EXPECT_EQ(OpusHeaderGain(output), 0);
  }
  std::vector<std::string> got = Dump(output);
  if (ExtensionOf(format) == ".m4a") {
    expected = AsInM4A(expected);
    got = AsInM4A(got);
  }
  EXPECT_EQ(Carried(got), expected);
  EXPECT_EQ(WithPrefix(got, "OTHER="), std::vector<std::string>{});

  if (format == "mp3") {
    // ID3v1 is Latin-1: what it cannot hold is '?', one per character.
    EXPECT_EQ(WithPrefix(got, "ID3V1:"),
              (std::vector<std::string>{
                  "ID3V1:ALBUM=Überfahrt ? ?", "ID3V1:ARTIST=Ærøskøbing Ensemble", "ID3V1:GENRE=8",
                  "ID3V1:TITLE=Café ? ???? ?", "ID3V1:TRACK=3", "ID3V1:YEAR=2021"}));
  }
  if (format == "wav") {
    EXPECT_EQ(
        WithPrefix(got, "INFO:"),
        (std::vector<std::string>{"INFO:IART=Ærøskøbing Ensemble", "INFO:ICMT=Grüße — コメント 👍",
                                  "INFO:ICRD=2021", "INFO:IGNR=Jazz", "INFO:INAM=Café ☕ 東京の夜 🎵",
                                  "INFO:IPRD=Überfahrt — 旅", "INFO:IPRT=3"}));
  }
  // A second reader agrees on the title and sees both pictures.
  // Ogg files keep their comments with the audio stream, listed before the pictures'.
  const bool ogg = format == "ogg" || format == "opus";
  std::string title = Probe(output, ogg ? "stream_tags=title" : "format_tags=title");
  title = title.substr(0, title.find('\n'));
  if (!title.empty() && title.back() == ',') title.pop_back();
  EXPECT_EQ(title, "Café ☕ 東京の夜 🎵");
  const std::string streams = Probe(output, "stream=codec_name:stream_disposition=attached_pic");
  EXPECT_NE(streams.find("mjpeg,1"), std::string::npos) << streams;
  EXPECT_NE(streams.find("png,1"), std::string::npos) << streams;
}

INSTANTIATE_TEST_SUITE_P(SourcesByOutputs, CarriedTags,
                         ::testing::Combine(::testing::Values("tagged.flac", "tagged.ogg",
                                                              "tagged.mp3", "tagged.wma",
                                                              "tagged.wav"),
                                            ::testing::Values("mp3", "wma", "wav", "flac", "ogg",
                                                              "opus", "m4a", "alac")),
                         [](const auto& param) {
                           std::string name =
                               std::get<0>(param.param) + "_to_" + std::get<1>(param.param);
                           std::replace(name.begin(), name.end(), '.', '_');
                           return name;
                         });

bool Holds(const std::vector<uint8_t>& file, const std::string& bytes) {
  const std::vector<uint8_t> wanted(bytes.begin(), bytes.end());
  return std::search(file.begin(), file.end(), wanted.begin(), wanted.end()) != file.end();
}

// The ids of a RIFF file's top-level chunks, in order.
std::vector<std::string> RiffChunks(const std::vector<uint8_t>& file) {
  std::vector<std::string> ids;
  for (size_t pos = 12; pos + 8 <= file.size();) {
    const uint32_t size =
        file[pos + 4] | file[pos + 5] << 8 | file[pos + 6] << 16 | uint32_t{file[pos + 7]} << 24;
    ids.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(pos),
                     file.begin() + static_cast<std::ptrdiff_t>(pos + 4));
    pos += 8 + size + (size & 1);
  }
  return ids;
}

// The ASF header objects that hold text attributes, as their GUIDs lie in the file.
const std::string kAsfContentDescription(
    "\x33\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16);
const std::string kAsfExtendedContentDescription(
    "\x40\xA4\xD0\xD2\x07\xE3\xD2\x11\x97\xF0\x00\xC0\x4F\x8E\xDC\xD1", 16);

// mutagen leaves out empty texts, so the records themselves are looked for too: no ID3 tag of
// either version anywhere, no WAV chunk beside the audio's, no ASF attribute object.
void ExpectBare(const std::string& path, const std::string& format) {
  SCOPED_TRACE(path);
  const std::vector<uint8_t> file = ReadAll(path);
  ASSERT_GT(file.size(), 1000u);
  EXPECT_EQ(AsInM4A(Dump(path)), std::vector<std::string>{});
  EXPECT_FALSE(Holds(file, "ID3")) << "an ID3v2 tag";
  EXPECT_FALSE(Holds(file, "TAG")) << "an ID3v1 record";
  if (format == "wav") {
    EXPECT_EQ(RiffChunks(file), (std::vector<std::string>{"fmt ", "data"}));
  }
  if (format == "wma") {
    EXPECT_FALSE(Holds(file, kAsfContentDescription)) << "a content description";
    EXPECT_FALSE(Holds(file, kAsfExtendedContentDescription)) << "an extended content description";
  }
}

class NoTagsOut : public ::testing::TestWithParam<std::string> {};

// Neither an untagged source nor --no-tags may leave empty records (an ID3v1 block of
// zeros, an empty INFO list) in the output.
TEST_P(NoTagsOut, UntaggedSourceAndNoTagsOptionGiveBareFiles) {
  const std::string format = GetParam();
  TempDir dir;
  ASSERT_NE(Convert(kCarry + "plain.flac", format, dir / "plain").find("done: "),
            std::string::npos);
  ExpectBare(dir / ("plain/plain" + ExtensionOf(format)), format);
  ASSERT_NE(Convert(kCarry + "tagged.flac", format, dir / "none", "--no-tags").find("done: "),
            std::string::npos);
  ExpectBare(dir / ("none/tagged" + ExtensionOf(format)), format);
}

INSTANTIATE_TEST_SUITE_P(Outputs, NoTagsOut,
                         ::testing::Values("mp3", "wma", "wav", "flac", "ogg", "opus", "m4a",
                                           "alac"));

// Sources with only the older records: ID3v2.2, an ID3v1 block, a WAV's LIST INFO.
TEST(CarriedTagsFallback, OlderRecordsAreRead) {
  TempDir dir;
  ASSERT_NE(Convert(kCarry + "id3v22.mp3", "wma", dir / "v22").find("done: "), std::string::npos);
  EXPECT_EQ(Carried(Dump(dir / "v22/id3v22.wma")),
            (std::vector<std::string>{
                "ARTIST=Zoë", "PICTURE=3|image/jpeg|cover|d3ea28c60b1aba3559d58925ee402f4a68d33823",
                "TITLE=Café ☕ 東京の夜 🎵", "TRACKNUMBER=5"}));
  ASSERT_NE(Convert(kCarry + "id3v1.mp3", "wav", dir / "a").find("done: "), std::string::npos);
  EXPECT_EQ(Carried(Dump(dir / "a/id3v1.wav")),
            (std::vector<std::string>{"ALBUM=Old Album", "ARTIST=Old Artist", "DATE=1999",
                                      "GENRE=Rock", "TITLE=Old Title", "TRACKNUMBER=7"}));
  ASSERT_NE(Convert(kCarry + "info.wav", "mp3", dir / "b").find("done: "), std::string::npos);
  EXPECT_EQ(Carried(Dump(dir / "b/info.mp3")),
            (std::vector<std::string>{"ALBUM=Überfahrt — 旅", "ARTIST=Ærøskøbing Ensemble",
                                      "COMMENT=Grüße — コメント 👍", "DATE=2021", "GENRE=Jazz",
                                      "TITLE=Café ☕ 東京の夜 🎵", "TRACKNUMBER=3"}));
}

// Several values stay several where the format allows it, and are listed where it does not.
TEST(CarriedTagsFallback, SeveralArtistsStayApart) {
  TempDir dir;
  std::filesystem::copy_file(kCarry + "plain.flac", dir / "two.flac");
  ASSERT_EQ(
      std::system(("metaflac --set-tag=ARTIST=One --set-tag=ARTIST=Two " + Quoted(dir / "two.flac"))
                      .c_str()),
      0);
  for (const char* format : {"mp3", "wav"}) {
    ASSERT_NE(Convert(dir / "two.flac", format, dir / format).find("done: "), std::string::npos);
    EXPECT_EQ(Carried(Dump(dir / (std::string(format) + "/two." + format))),
              (std::vector<std::string>{"ARTIST=One", "ARTIST=Two"}))
        << format;
  }
  ASSERT_NE(Convert(dir / "two.flac", "wma", dir / "wma").find("done: "), std::string::npos);
  EXPECT_EQ(Carried(Dump(dir / "wma/two.wma")), std::vector<std::string>{"ARTIST=One; Two"});
}

// Every output's tags are read back before it is placed; values a tag format keeps in a form
// of its own (a genre number, a track with its total, several values in one field, spaces,
// characters beyond the first plane) must not make a good file fail that check.
TEST(CarriedTagsReadBack, AwkwardValuesPassTheCheckInEveryFormat) {
  TempDir dir;
  std::filesystem::copy_file(kCarry + "plain.flac", dir / "odd.flac");
  ASSERT_EQ(std::system(("metaflac --set-tag=GENRE=17 --set-tag=TRACKNUMBER=03 "
                         "--set-tag=TRACKTOTAL=12 --set-tag=DISCNUMBER=1 --set-tag=DISCTOTAL=2 "
                         "--set-tag=DATE=2001-05-03T10:00 '--set-tag=TITLE=  spaced  ' "
                         "--set-tag=ARTIST=One --set-tag=ARTIST=Two "
                         "'--set-tag=ALBUM=\xf0\x9d\x84\x9e Clef' "
                         "--set-tag=COMMENT=\"$(printf 'line 1\nline 2')\" " +
                         Quoted(dir / "odd.flac"))
                            .c_str()),
            0);
  for (const TFormatSpec* spec : tunevert::OutputFormatSpecs()) {
    const std::string& format = spec->Id;
    const std::string report = Convert(dir / "odd.flac", format, dir / format);
    EXPECT_NE(report.find("done: "), std::string::npos) << format << ": " << report;
  }
}

// An Opus source's R128 gains reach every other output as the ReplayGain gains its players
// read, and an Opus output unchanged; no output holds both kinds.
TEST(CarriedGains, R128GainsBecomeReplayGainOutsideOpus) {
  TempDir dir;
  ASSERT_EQ(std::system(("opusenc --quiet --comment R128_TRACK_GAIN=-3205 --comment "
                         "R128_ALBUM_GAIN=-2700 " +
                         Quoted(kCarry + "plain.flac") + " " + Quoted(dir / "gains.opus"))
                            .c_str()),
            0);
  for (const TFormatSpec* spec : tunevert::OutputFormatSpecs()) {
    const std::string& format = spec->Id;
    const std::string report = Convert(dir / "gains.opus", format, dir / format);
    ASSERT_NE(report.find("done: "), std::string::npos) << format << ": " << report;
    const std::vector<std::string> got = Dump(dir / (format + "/gains" + spec->Extension));
    // -3205 / 256 + 5 = -7.52 dB, -2700 / 256 + 5 = -5.55 dB.
    const std::vector<std::string> replayGain{"REPLAYGAIN_ALBUM_GAIN=-5.55 dB",
                                              "REPLAYGAIN_TRACK_GAIN=-7.52 dB"},
        r128{"R128_ALBUM_GAIN=-2700", "R128_TRACK_GAIN=-3205"};
    const bool opus = spec->Extension == ".opus";
    EXPECT_EQ(WithPrefix(got, "REPLAYGAIN_"), opus ? std::vector<std::string>{} : replayGain)
        << format;
    EXPECT_EQ(WithPrefix(got, "R128_"), opus ? r128 : std::vector<std::string>{}) << format;
  }
}

// Gains as taggers write them, and some they should not have: each is converted, clamped to
// 16 bits, kept in the output's own kind when the source has both, or left out and said.
TEST(CarriedGains, EachGainIsConvertedOrLeftOut) {
  TCarriedTags source;
  source.Text = {{"REPLAYGAIN_TRACK_GAIN", {"loud"}},
                 {"REPLAYGAIN_TRACK_PEAK", {"0.9"}},
                 {"REPLAYGAIN_ALBUM_GAIN", {"+200dB"}},
                 {"TITLE", {"x"}}};
  std::vector<std::string> leftOut;
  TCarriedTags fitted = FitCarriedTags(source, ".opus", leftOut);
  EXPECT_EQ(fitted.Text, (std::map<std::string, std::vector<std::string>>{
                             {"R128_ALBUM_GAIN", {"32767"}}, {"TITLE", {"x"}}}));
  EXPECT_EQ(leftOut, std::vector<std::string>{
                         "REPLAYGAIN_TRACK_GAIN (4 bytes) left out: not a gain in dB, which "
                         "Opus would hold as R128_TRACK_GAIN"});

  source.Text = {{"REPLAYGAIN_TRACK_GAIN", {"-1 dB"}},
                 {"R128_TRACK_GAIN", {"-100"}},
                 {"R128_ALBUM_GAIN", {"-1281"}}};
  leftOut.clear();
  EXPECT_EQ(FitCarriedTags(source, ".opus", leftOut).Text,
            (std::map<std::string, std::vector<std::string>>{{"R128_ALBUM_GAIN", {"-1281"}},
                                                             {"R128_TRACK_GAIN", {"-100"}}}));
  EXPECT_EQ(FitCarriedTags(source, ".flac", leftOut).Text,
            (std::map<std::string, std::vector<std::string>>{
                {"REPLAYGAIN_ALBUM_GAIN", {"0.00 dB"}}, {"REPLAYGAIN_TRACK_GAIN", {"-1 dB"}}}));
  EXPECT_EQ(leftOut, std::vector<std::string>{});

  source.Text = {{"R128_TRACK_GAIN", {"40000"}}};
  EXPECT_EQ(FitCarriedTags(source, ".mp3", leftOut).Text,
            (std::map<std::string, std::vector<std::string>>{}));
  EXPECT_EQ(FitCarriedTags(source, ".opus", leftOut).Text,
            (std::map<std::string, std::vector<std::string>>{}));
  EXPECT_EQ(leftOut, (std::vector<std::string>{
                         "R128_TRACK_GAIN (5 bytes) left out: not a whole number of 1/256 dB "
                         "from -32768 to 32767, which would give REPLAYGAIN_TRACK_GAIN",
                         "R128_TRACK_GAIN (5 bytes) left out: not a whole number of 1/256 dB "
                         "from -32768 to 32767"}));
}

// An empty WAV file keeps no tags: readers take a "data" size of 0 for "to the end of the
// file" and would play chunks after it as sound. The entry converts, and says so.
TEST(CarriedTagsWrite, AnEmptyWavOutputIsLeftUntagged) {
  TempDir dir;
  ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -f lavfi -i anullsrc=r=44100:cl=stereo -t 0 "
                         "-metadata TITLE=Nothing " +
                         Quoted(dir / "empty.flac"))
                            .c_str()),
            0);
  const std::string report = Convert(dir / "empty.flac", "wav", dir / "out");
  EXPECT_NE(report.find("done: "), std::string::npos) << report;
  EXPECT_NE(report.find("warning: tags left out: in a WAV file without audio, readers would take "
                        "them for sound"),
            std::string::npos)
      << report;
  EXPECT_EQ(Probe(dir / "out/empty.wav", "stream=duration_ts"), "N/A\n");
}

// Deterministic bytes that no picture data elsewhere matches, made at run time.
std::string PictureData(std::size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + seed) >> 3);
  return data;
}

std::string Sha1(const std::string& bytes, const std::string& dir) {
  WriteAll(dir + "/sha1-input", std::vector<uint8_t>(bytes.begin(), bytes.end()));
  const std::string line = CommandOutput("sha1sum " + Quoted(dir + "/sha1-input"));
  return line.substr(0, line.find(' '));
}

struct LimitCase {
  const char* Format;
  bool HoldsBig;        // a 17 MiB picture fits
  const char* Decoder;  // the reference tool that must read the file cleanly; FILE: its name
};

void PrintTo(const LimitCase& c, std::ostream* os) {
  *os << c.Format;
}

class PictureLimits : public ::testing::TestWithParam<LimitCase> {};

// A picture a format cannot hold is left out and named, never written with a length that
// wraps; the file stays whole, and a picture at the very limit stays. The pictures come from
// an MP3 source, whose ID3v2 tag holds both.
TEST_P(PictureLimits, WhatTheFormatCannotHoldIsLeftOutAndNamed) {
  const LimitCase& c = GetParam();
  TempDir dir;
  ASSERT_NE(Convert(kCarry + "plain.flac", "mp3", dir / "src").find("done: "), std::string::npos);
  const std::string source = dir / "src/plain.mp3";
  tunevert::TCarriedTags tags;
  tags.Text["TITLE"] = {"Big"};
  // The largest picture block a FLAC encoder writes, 16 MiB with its header (the body is 32
  // bytes besides MIME type, description and data), and one of 17 MiB.
  const std::size_t atLimit = (std::size_t{1} << 24) - 4 - 32 - 9 - 4;
  tags.Pictures.push_back({4, "image/png", "back", PictureData(atLimit, 1)});
  tags.Pictures.push_back({3, "image/jpeg", "", PictureData(std::size_t{17} << 20, 2)});
  ASSERT_EQ(tunevert::WriteCarriedTags(source, tags, ".mp3"), std::vector<std::string>{});

  const std::string report = Convert(source, c.Format, dir / "out");
  ASSERT_NE(report.find("done: "), std::string::npos) << report;
  const std::string leftOut =
      "warning: picture (front cover, 17.0 MiB) left out: FLAC holds at most 16 MiB in a "
      "metadata block";
  EXPECT_EQ(report.find(leftOut) != std::string::npos, !c.HoldsBig) << report;
  const std::string output = dir / (std::string("out/plain.") + c.Format);

  int status = -1;
  std::string command = c.Decoder;
  command.replace(command.find("FILE"), 4, Quoted(output));
  const std::string complaints = CommandOutput(command + " 2>&1", &status);
  EXPECT_EQ(status, 0) << complaints;
  std::vector<std::string> expected{"PICTURE=4|image/png|back|" +
                                    Sha1(tags.Pictures[0].Data, dir.Path.string())};
  if (c.HoldsBig)
    expected.push_back("PICTURE=3|image/jpeg||" + Sha1(tags.Pictures[1].Data, dir.Path.string()));
  std::sort(expected.begin(), expected.end());
  expected.push_back("TITLE=Big");
  EXPECT_EQ(Carried(Dump(output)), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, PictureLimits,
    ::testing::Values(LimitCase{"flac", false, "flac -s -t FILE"},
                      LimitCase{"ogg", true, "oggdec -Q -o /dev/null FILE"},
                      LimitCase{"opus", true, "opusdec --quiet FILE /dev/null"},
                      LimitCase{"mp3", true, "ffmpeg -nostdin -v error -i FILE -map 0:a -f null -"},
                      LimitCase{"wma", true,
                                "ffmpeg -nostdin -v error -i FILE -map 0:a -f null -"}),
    [](const auto& param) { return std::string(param.param.Format); });

// ASF keeps the title, artist and comment as strings with 16-bit lengths: one longer than that
// would wrap and garble the attributes after it.
TEST(CarriedTagsWrite, AWmaCommentOver64KiBIsLeftOut) {
  TempDir dir;
  ASSERT_NE(Convert(kCarry + "plain.flac", "wma", dir / "out").find("done: "), std::string::npos);
  const std::string output = dir / "out/plain.wma";
  tunevert::TCarriedTags tags;
  tags.Text["TITLE"] = {"Long"};
  tags.Text["ALBUM"] = {"After"};
  // 32766 UTF-16 units and the terminator are the last that fit in 65535 bytes.
  tags.Text["COMMENT"] = {std::string(32767, 'c')};
  EXPECT_EQ(tunevert::WriteCarriedTags(output, tags, ".wma"),
            std::vector<std::string>{"COMMENT (32.0 KiB) left out: WMA holds at most 64 KiB for "
                                     "the title, the artist and the comment"});
  EXPECT_EQ(Carried(Dump(output)), (std::vector<std::string>{"ALBUM=After", "TITLE=Long"}));

  tags.Text["COMMENT"] = {std::string(32766, 'c')};
  EXPECT_EQ(tunevert::WriteCarriedTags(output, tags, ".wma"), std::vector<std::string>{});
  const std::vector<std::string> kept = Carried(Dump(output));
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0], "ALBUM=After");
  EXPECT_TRUE(kept[1] == "COMMENT=" + std::string(32766, 'c')) << kept[1].substr(0, 80) << "...";
  EXPECT_EQ(kept[2], "TITLE=Long");
}

// RIFF counts a WAV file in 32 bits: tags that would carry it past 4 GiB are left out.
TEST(CarriedTagsWrite, AWavFileStaysWithin4GiB) {
  TempDir dir;
  const std::string output = dir / "big.wav";
  // 16-bit stereo silence up to 2 MiB short of the limit, the samples a hole in the file.
  const std::uint32_t data = (0xFFFFFFFFu - 36 - (2u << 20)) & ~3u;
  const auto le32 = [](std::uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
  };
  const std::string header = "RIFF" + le32(36 + data) + "WAVEfmt " + le32(16) +
                             std::string("\x01\x00\x02\x00", 4) + le32(44100) + le32(44100 * 4) +
                             std::string("\x04\x00\x10\x00", 4) + "data" + le32(data);
  WriteAll(output, std::vector<uint8_t>(header.begin(), header.end()));
  std::filesystem::resize_file(output, header.size() + data);

  tunevert::TCarriedTags tags;
  tags.Text["TITLE"] = {"Near"};
  tags.Pictures.push_back({3, "image/jpeg", "", PictureData(3u << 20, 3)});
  tags.Pictures.push_back({4, "image/png", "", PictureData(1024, 4)});
  EXPECT_EQ(tunevert::WriteCarriedTags(output, tags, ".wav"),
            std::vector<std::string>{
                "picture (front cover, 3.0 MiB) left out: a WAV file holds at most 4 GiB"});
  const std::uint64_t size = std::filesystem::file_size(output);
  EXPECT_LE(size, 0xFFFFFFFFu + std::uint64_t{8});
  std::ifstream in(output, std::ios::binary);
  char riff[8] = {};
  in.read(riff, 8);
  EXPECT_EQ(std::string(riff + 4, 4), le32(static_cast<std::uint32_t>(size - 8)));
  // Read from the end: mutagen would read through the 4 GiB hole.
  EXPECT_EQ(Probe(output, "format_tags=title"), "Near\n");
  const std::uint64_t tagged = size - header.size() - data;
  EXPECT_LT(tagged, 1u << 20);
  std::vector<uint8_t> tail(tagged);
  in.seekg(static_cast<std::streamoff>(header.size() + data));
  in.read(reinterpret_cast<char*>(tail.data()), static_cast<std::streamsize>(tagged));
  EXPECT_TRUE(Holds(tail, std::string("ID3\x04", 4))) << "no ID3v2.4 tag";
  EXPECT_TRUE(Holds(tail, tags.Pictures[1].Data)) << "the small picture is gone";
}

// A tag write that fails keeps the audio; the caller turns it into a warning.
TEST(CarriedTagsWrite, ANonAudioFileIsRefused) {
  TempDir dir;
  WriteAll(dir / "x.mp3", std::vector<uint8_t>(64, 'x'));
  tunevert::TCarriedTags tags;
  tags.Text["TITLE"] = {"t"};
  for (const char* format : {".mp3", ".wma", ".wav"})
    EXPECT_ANY_THROW(tunevert::WriteCarriedTags(dir / "x.mp3", tags, format)) << format;
  EXPECT_EQ(ReadAll(dir / "x.mp3"), std::vector<uint8_t>(64, 'x'));
}

}  // namespace
