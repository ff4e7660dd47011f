// Cue sheets read, checked and cut into tracks: the forms sheets come in, the character sets,
// every fault named with its line, and split points against cuebreakpoints (cuetools).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "AppTestFiles.h"
#include "cue/CharsetLibrary.h"
#include "cue/CueLibrary.h"
#include "cue/CueSheet.h"
#include "platform/Exception.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

std::string ErrorOf(const std::string& Text, const std::string& Name = "album.cue") {
  try {
    ReadCueSheet(Text, Name);
  } catch (const EAuException& e) {
    return e.what();
  }
  return "(read without error)";
}

std::string SpanErrorOf(const TCueSheet& Sheet, const std::vector<int64_t>& Frames, uint32_t Rate) {
  try {
    CueTrackSpans(Sheet, Frames, Rate);
  } catch (const EAuException& e) {
    return e.what();
  }
  return "(split without error)";
}

// Text in another character set, encoded by Python's codecs.
std::string Encoded(const std::string& Utf8, const std::string& Codec) {
  TempDir dir;
  std::ofstream(dir / "in.txt", std::ios::binary) << Utf8;
  return CommandOutput(
      "python3 -c 'import sys; sys.stdout.buffer.write(open(sys.argv[1], "
      "encoding=\"utf-8\").read().encode(sys.argv[2]))' " +
      Quoted(dir / "in.txt") + " " + Codec);
}

// cuebreakpoints' split points (gaps appended, its default) in CD frames.
std::vector<int64_t> Breakpoints(const std::string& Sheet) {
  TempDir dir;
  std::ofstream(dir / "sheet.cue", std::ios::binary) << Sheet;
  std::istringstream lines(CommandOutput("cuebreakpoints " + Quoted(dir / "sheet.cue")));
  std::vector<int64_t> points;
  for (std::string line; std::getline(lines, line);) {
    int minutes = 0, seconds = 0, frames = 0;
    if (std::sscanf(line.c_str(), "%d:%d.%d", &minutes, &seconds, &frames) == 3)
      points.push_back((minutes * 60 + seconds) * 75 + frames);
  }
  return points;
}

// The spans joined must be the files joined: in order, contiguous, nothing left out.
void ExpectWholeImage(const std::vector<TCueTrackSpan>& Spans, const std::vector<int64_t>& Frames) {
  size_t file = 0;
  int64_t at = 0;
  for (const TCueTrackSpan& span : Spans) {
    ASSERT_FALSE(span.Pieces.empty());
    for (const TCuePiece& piece : span.Pieces) {
      while (file < Frames.size() && at == Frames[file]) ++file, at = 0;
      ASSERT_EQ(piece.FileIndex, file);
      ASSERT_EQ(piece.FirstSample, at);
      ASSERT_GT(piece.SampleCount, 0);
      at += piece.SampleCount;
      ASSERT_LE(at, Frames[file]);
    }
  }
  while (file < Frames.size() && at == Frames[file]) ++file, at = 0;
  EXPECT_EQ(file, Frames.size()) << "audio left after the last track";
}

const std::string kOneFile =
    "REM GENRE Rock\n"
    "REM DATE 1994\n"
    "PERFORMER \"The Band\"\n"
    "TITLE \"Live\"\n"
    "FILE \"image.flac\" WAVE\n"
    "  TRACK 01 AUDIO\n"
    "    TITLE \"Intro\"\n"
    "    INDEX 01 00:00:00\n"
    "  TRACK 02 AUDIO\n"
    "    TITLE \"Second\"\n"
    "    INDEX 00 03:58:40\n"
    "    INDEX 01 04:00:17\n"
    "  TRACK 03 AUDIO\n"
    "    TITLE \"Third\"\n"
    "    INDEX 00 07:12:74\n"
    "    INDEX 01 07:13:01\n"
    "  TRACK 04 AUDIO\n"
    "    INDEX 01 10:00:00\n";

TEST(CueSheetRead, TheFormsSheetsComeIn) {
  // Lower case, no quotes, CRLF, a byte order mark, REM lines of every kind, tabs.
  const std::string sheet =
      "\xEF\xBB\xBFrem GENRE \"Progressive Rock\"\r\n"
      "REM DATE 1994-05-02\r\n"
      "REM DISCID 8A0B2C0D\r\n"
      "REM COMMENT \"ExactAudioCopy v1.6\"\r\n"
      "REM DISCNUMBER 2\r\n"
      "REM TOTALDISCS 3\r\n"
      "REM REPLAYGAIN_ALBUM_GAIN -7.52 dB\r\n"
      "REM REPLAYGAIN_ALBUM_PEAK 0.988553\r\n"
      "REM something no one knows\r\n"
      "CATALOG 0724384260521\r\n"
      "performer Björk Guðmundsdóttir\r\n"
      "TITLE \"Debut\"\r\n"
      "SONGWRITER \"Nellee Hooper\"\r\n"
      "\r\n"
      "file Disc One.wav wave\r\n"
      "\ttrack 1 audio\r\n"
      "\t\ttitle Human Behaviour\r\n"
      "\t\tflags dcp pre\r\n"
      "\t\tisrc GBAAA9300001\r\n"
      "\t\tREM REPLAYGAIN_TRACK_GAIN -6.10 dB\r\n"
      "\t\tREM REPLAYGAIN_TRACK_PEAK 0.912\r\n"
      "\t\tpregap 00:02:00\r\n"
      "\t\tindex 01 00:00:00\r\n"
      "\t\tINDEX 02 01:00:00\r\n"
      "    TRACK 02 AUDIO\r\n"
      "      TITLE \"Crying\"\r\n"
      "      PERFORMER \"Björk\"\r\n"
      "      SONGWRITER \"Björk\"\r\n"
      "      INDEX 00 04:11:70\r\n"
      "      INDEX 01 04:12:05\r\n"
      "      POSTGAP 00:01:00\r\n"
      "FILE \"Disc Two.flac\" FLAC\r\n"
      "    TRACK 03 AUDIO\r\n"
      "      INDEX 01 00:00:00";  // no line end at the end
  const TCueSheet cue = ReadCueSheet(sheet, "debut.cue");
  EXPECT_EQ(cue.Name, "debut.cue");
  EXPECT_EQ(cue.Genre, "Progressive Rock");
  EXPECT_EQ(cue.Date, "1994-05-02");
  EXPECT_EQ(cue.DiscId, "8A0B2C0D");
  EXPECT_EQ(cue.Comment, "ExactAudioCopy v1.6");
  EXPECT_EQ(cue.DiscNumber, "2");
  EXPECT_EQ(cue.TotalDiscs, "3");
  EXPECT_EQ(cue.ReplayGainAlbumGain, "-7.52 dB");
  EXPECT_EQ(cue.ReplayGainAlbumPeak, "0.988553");
  EXPECT_EQ(cue.Catalog, "0724384260521");
  EXPECT_EQ(cue.Performer, "Björk Guðmundsdóttir");
  EXPECT_EQ(cue.Title, "Debut");
  EXPECT_EQ(cue.Songwriter, "Nellee Hooper");

  ASSERT_EQ(cue.Files.size(), 2u);
  EXPECT_EQ(cue.Files[0].Name, "Disc One.wav");
  EXPECT_EQ(cue.Files[0].Type, "WAVE");
  EXPECT_EQ(cue.Files[1].Name, "Disc Two.flac");
  EXPECT_EQ(cue.Files[1].Type, "FLAC");

  ASSERT_EQ(cue.Tracks.size(), 3u);
  const TCueTrack& first = cue.Tracks[0];
  EXPECT_EQ(first.Number, 1);
  EXPECT_EQ(first.Title, "Human Behaviour");
  EXPECT_EQ(first.Flags, (std::vector<std::string>{"DCP", "PRE"}));
  EXPECT_EQ(first.Isrc, "GBAAA9300001");
  EXPECT_EQ(first.ReplayGainTrackGain, "-6.10 dB");
  EXPECT_EQ(first.ReplayGainTrackPeak, "0.912");
  EXPECT_EQ(first.Pregap, 150);
  EXPECT_EQ(first.Index00, -1);
  EXPECT_EQ(first.Index01, 0);
  EXPECT_EQ(first.Line, 16);
  EXPECT_EQ(first.Index01Line, 23);
  const TCueTrack& second = cue.Tracks[1];
  EXPECT_EQ(second.Performer, "Björk");
  EXPECT_EQ(second.Songwriter, "Björk");
  EXPECT_EQ(second.Index00, (4 * 60 + 11) * 75 + 70);
  EXPECT_EQ(second.Index01, (4 * 60 + 12) * 75 + 5);
  EXPECT_EQ(second.Postgap, 75);
  EXPECT_EQ(second.FileIndex, 0u);
  EXPECT_EQ(cue.Tracks[2].FileIndex, 1u);
  EXPECT_EQ(cue.Tracks[2].Title, "");
}

TEST(CueSheetRead, ValuesTheParserCannotHoldComeThroughWhole) {
  const std::string longTitle(3000, 'x');
  const TCueSheet cue = ReadCueSheet(
      "TITLE \"He said \"hi\" twice\"\n"
      "PERFORMER \"AC\\DC\"\n"
      "FILE a.wav WAVE\n"
      "TRACK 01 AUDIO\n"
      "TITLE \"" +
          longTitle +
          "\"\n"
          "PERFORMER 'Til Tuesday\n"
          "ISRC \"US AAA 00 00001\"\n"
          "INDEX 01 00:00:00\n",
      "odd.cue");
  EXPECT_EQ(cue.Title, "He said \"hi\" twice");
  EXPECT_EQ(cue.Performer, "AC\\DC");
  EXPECT_EQ(cue.Tracks[0].Title, longTitle);
  EXPECT_EQ(cue.Tracks[0].Performer, "'Til Tuesday");
  EXPECT_EQ(cue.Tracks[0].Isrc, "US AAA 00 00001");
}

// libcue, given FILE between a track's INDEX 00 and INDEX 01, files the next track that
// names no FILE under the wrong one.
TEST(CueSheetRead, FileBetweenPregapAndStart) {
  const TCueSheet cue = ReadCueSheet(
      "FILE \"01.wav\" WAVE\n"
      "TRACK 01 AUDIO\n"
      "INDEX 01 00:00:00\n"
      "TRACK 02 AUDIO\n"
      "INDEX 00 03:58:00\n"
      "FILE \"02.wav\" WAVE\n"
      "INDEX 01 00:00:00\n"
      "TRACK 03 AUDIO\n"
      "INDEX 01 02:00:00\n",
      "gaps.cue");
  ASSERT_EQ(cue.Tracks.size(), 3u);
  EXPECT_EQ(cue.Tracks[1].Index00, 3 * 60 * 75 + 58 * 75);
  EXPECT_EQ(cue.Tracks[1].Index00FileIndex, 0u);
  EXPECT_EQ(cue.Tracks[1].FileIndex, 1u);
  EXPECT_EQ(cue.Tracks[2].FileIndex, 1u);

  const std::vector<TCueTrackSpan> spans = CueTrackSpans(cue, {240 * 44100, 300 * 44100}, 44100);
  ASSERT_EQ(spans.size(), 3u);
  EXPECT_EQ(spans[0].Pieces, (std::vector<TCuePiece>{{0, 0, 240 * 44100}}));
  EXPECT_EQ(spans[1].Pieces, (std::vector<TCuePiece>{{1, 0, 120 * 44100}}));
  EXPECT_EQ(spans[2].Pieces, (std::vector<TCuePiece>{{1, 120 * 44100, 180 * 44100}}));
}

// The parser prints its complaints; none may reach our stderr, even for sheets it would
// complain of if it saw them as written.
TEST(CueSheetRead, NothingReachesStderr) {
  TempDir dir;
  std::fflush(stderr);
  const int saved = dup(2);
  std::FILE* capture = std::fopen((dir / "stderr").c_str(), "w");
  ASSERT_NE(capture, nullptr);
  dup2(fileno(capture), 2);
  std::string errors;
  for (const std::string& sheet :
       {std::string("file a.wav wave\ntrack 01 audio\nindex 01 00:00:00\n"),
        std::string("FILE a.wav\nFILE b.wav\nTRACK 01 AUDIO\n@@@ $$$\nINDEX 01 0:0:0\n"),
        std::string("FILE a.wav WAVE\nTRACK 1 AUDIO\nINDEX 01 00:00:00\nTRACK 2\n")})
    errors += ErrorOf(sheet) + "\n";
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::fclose(capture);
  EXPECT_EQ(errors,
            "(read without error)\n(read without error)\n"
            "Cue sheet album.cue, line 4: track 2 has no INDEX 01.\n");
  EXPECT_TRUE(ReadAll(dir / "stderr").empty());
}

TEST(CueSheetRead, CharacterSets) {
  const std::string french =
      "PERFORMER \"Édith Piaf\"\n"
      "TITLE \"La Vie en rose – Chansons françaises célèbres\"\n"
      "FILE \"Édith Piaf - La Vie en rose.wav\" WAVE\n"
      "  TRACK 01 AUDIO\n"
      "    TITLE \"Non, je ne regrette rien\"\n"
      "    INDEX 01 00:00:00\n"
      "  TRACK 02 AUDIO\n"
      "    TITLE \"L'Hymne à l'amour, déjà chanté à l'Olympia\"\n"
      "    INDEX 01 02:20:00\n"
      "  TRACK 03 AUDIO\n"
      "    TITLE \"Padam, padam… où êtes-vous, mon cœur\"\n"
      "    INDEX 01 05:40:00\n";
  const std::string russian =
      "PERFORMER \"Кино\"\n"
      "TITLE \"Группа крови\"\n"
      "FILE \"Кино - Группа крови.wav\" WAVE\n"
      "  TRACK 01 AUDIO\n"
      "    TITLE \"Группа крови\"\n"
      "    INDEX 01 00:00:00\n"
      "  TRACK 02 AUDIO\n"
      "    TITLE \"Закрой за мной дверь, я ухожу\"\n"
      "    INDEX 01 04:45:00\n"
      "  TRACK 03 AUDIO\n"
      "    TITLE \"Война\"\n"
      "    INDEX 01 09:30:00\n"
      "  TRACK 04 AUDIO\n"
      "    TITLE \"Спокойная ночь\"\n"
      "    INDEX 01 13:30:00\n";
  const std::string japanese =
      "PERFORMER \"宇多田ヒカル\"\n"
      "TITLE \"ファースト・ラヴ\"\n"
      "FILE \"宇多田ヒカル - ファースト・ラヴ.wav\" WAVE\n"
      "  TRACK 01 AUDIO\n"
      "    TITLE \"オートマチック\"\n"
      "    INDEX 01 00:00:00\n"
      "  TRACK 02 AUDIO\n"
      "    TITLE \"ファースト・ラヴ\"\n"
      "    INDEX 01 04:00:00\n"
      "  TRACK 03 AUDIO\n"
      "    TITLE \"甘いワナ　～パラダイス・ロスト～\"\n"
      "    INDEX 01 08:00:00\n";
  for (const auto& [text, codec] : {std::pair{french, "cp1252"}, std::pair{russian, "cp1251"},
                                    std::pair{japanese, "cp932"}, std::pair{russian, "utf-16"}}) {
    SCOPED_TRACE(codec);
    const std::string bytes = Encoded(text, codec);
    ASSERT_FALSE(bytes.empty());
    ASSERT_NE(bytes, text);
    const TCueSheet encoded = ReadCueSheet(bytes, "x.cue");
    const TCueSheet plain = ReadCueSheet(text, "x.cue");
    EXPECT_EQ(encoded.Performer, plain.Performer);
    EXPECT_EQ(encoded.Title, plain.Title);
    EXPECT_EQ(encoded.Files[0].Name, plain.Files[0].Name);
    ASSERT_EQ(encoded.Tracks.size(), plain.Tracks.size());
    for (size_t i = 0; i < plain.Tracks.size(); ++i)
      EXPECT_EQ(encoded.Tracks[i].Title, plain.Tracks[i].Title);
  }
}

// A UTF-8 sheet needs no detector; a missing library is an error, not a crash.
TEST(CueSheetRead, LibrariesMissing) {
  const std::string sheet =
      "TITLE \"Caf\xE9\"\nFILE a.wav WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n";
  CharsetLibrary().SetFileNames({"libuchardet-absent.so.0"});
  EXPECT_EQ(
      ReadCueSheet("TITLE Café\nFILE a.wav WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", "a.cue")
          .Title,
      "Café");
  EXPECT_EQ(ErrorOf(sheet), "libuchardet.so.0 library could not be loaded.");
  CharsetLibrary().SetFileNames({CharsetLibrary().FileName()});
  EXPECT_EQ(ReadCueSheet(sheet, "a.cue").Title, "Café");

  CueLibrary().SetFileNames({"libcue-absent.so.2"});
  EXPECT_EQ(ErrorOf(sheet), "libcue.so.2 library could not be loaded.");
  CueLibrary().SetFileNames({CueLibrary().FileName()});
  EXPECT_EQ(ReadCueSheet(sheet, "a.cue").Title, "Café");
}

TEST(CueSheetRead, EveryFaultNamesItsLine) {
  const std::string head = "FILE \"a.wav\" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"TITLE x\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", "line 2: TRACK 01 comes before any FILE."},
      {head + "TRACK 02 AUDIO\nINDEX 01 3:2\n",
       "line 5: index time \"3:2\" is not a time (minutes:seconds:frames)."},
      {head + "TRACK 02 AUDIO\nINDEX 01 03:0a:00\n",
       "line 5: index time \"03:0a:00\" is not a time (minutes:seconds:frames)."},
      {head + "TRACK 02 AUDIO\nINDEX 01\n",
       "line 5: index time \"\" is not a time (minutes:seconds:frames)."},
      {head + "TRACK 02 AUDIO\nINDEX 01 03:60:00\n",
       "line 5: index time 03:60:00 has 60 seconds; a minute has 60."},
      {head + "TRACK 02 AUDIO\nINDEX 01 03:10:75\n",
       "line 5: index time 03:10:75 has 75 frames; a second has 75."},
      {head + "TRACK 02 AUDIO\nPREGAP 00:02:99\n",
       "line 5: PREGAP 00:02:99 has 99 frames; a second has 75."},
      {"FILE a.wav WAVE\nTRACK 01 AUDIO\nINDEX 01 04:00:00\nTRACK 02 AUDIO\nINDEX 01 03:59:74\n",
       "line 5: track 2 starts at 03:59:74, before track 1 (04:00:00) in the same file."},
      {"FILE a.wav WAVE\nTRACK 01 AUDIO\nINDEX 01 04:00:00\nTRACK 02 AUDIO\nINDEX 01 04:00:00\n",
       "line 5: track 2 starts at 04:00:00, where track 1 does in the same file."},
      {head + "TRACK 02 AUDIO\nTITLE t\nTRACK 03 AUDIO\nINDEX 01 05:00:00\n",
       "line 4: track 2 has no INDEX 01."},
      {head + "TRACK 02 AUDIO\nINDEX 00 05:00:00\n", "line 4: track 2 has no INDEX 01."},
      {head + "TRACK 01 AUDIO\nINDEX 01 05:00:00\n",
       "line 4: track 1 appears a second time (first on line 2)."},
      {"FILE a.wav WAVE\nTRACK 05 AUDIO\nINDEX 01 00:00:00\nTRACK 03 AUDIO\n",
       "line 4: track 3 follows track 5; track numbers must increase."},
      {head + "TRACK 100 AUDIO\n", "line 4: \"100\" is not a track number from 1 to 99."},
      {head + "TRACK 00 AUDIO\n", "line 4: \"00\" is not a track number from 1 to 99."},
      {head + "INDEX 4294567296 00:00:00\n",
       "line 4: \"4294567296\" is not an index number from 0 to 99."},
      {"FILE a.wav WAVE\nINDEX 01 00:00:00\n", "line 2: INDEX 01 comes before any TRACK."},
      {head + "INDEX 00 00:00:00\n", "line 4: INDEX 00 of track 1 comes after its INDEX 01."},
      {head + "INDEX 01 00:01:00\n", "line 4: track 1 has a second INDEX 01."},
      {head + "TRACK 02 AUDIO\nINDEX 00 05:00:00\nINDEX 01 04:00:00\n",
       "line 6: INDEX 01 of track 2 (04:00:00) comes before its INDEX 00 (05:00:00)."},
      {"FILE\nTRACK 01 AUDIO\n", "line 1: FILE names no file."},
  };
  for (const auto& [text, message] : cases)
    EXPECT_EQ(ErrorOf(text), "Cue sheet album.cue, " + message) << text;
  // CRLF lines are counted once each.
  EXPECT_EQ(ErrorOf("FILE a.wav WAVE\r\n\r\nTRACK 01 AUDIO\r\nINDEX 01 00:75:00\r\n"),
            "Cue sheet album.cue, line 4: index time 00:75:00 has 75 seconds; a minute has 60.");
  EXPECT_EQ(ErrorOf("REM only a remark\n", "empty.cue"), "Cue sheet empty.cue holds no TRACK.");
}

TEST(CueSheetSpans, OneFileAgainstCuebreakpoints) {
  const TCueSheet cue = ReadCueSheet(kOneFile, "album.cue");
  for (const uint32_t rate : {44100u, 48000u, 96000u}) {
    SCOPED_TRACE(rate);
    const int64_t perFrame = rate / 75;
    const std::vector<int64_t> frames = {13 * 60 * rate + 12345};
    const std::vector<TCueTrackSpan> spans = CueTrackSpans(cue, frames, rate);
    ExpectWholeImage(spans, frames);
    ASSERT_EQ(spans.size(), 4u);
    std::vector<int64_t> points;
    for (size_t i = 1; i < spans.size(); ++i) {
      EXPECT_EQ(spans[i].Pieces[0].FirstSample % perFrame, 0);
      points.push_back(spans[i].Pieces[0].FirstSample / perFrame);
    }
    EXPECT_EQ(points, Breakpoints(kOneFile));
    // Not on a second: 04:00:17 is 240 s and 17/75 s.
    EXPECT_EQ(spans[1].Pieces[0].FirstSample, 240 * rate + 17 * perFrame);
    EXPECT_EQ(spans[3].SampleCount(), 3 * 60 * rate + 12345);
  }
}

TEST(CueSheetSpans, HiddenFirstTrack) {
  const auto sheet = [](const std::string& Start) {
    return "FILE \"a.flac\" WAVE\nTRACK 01 AUDIO\nINDEX 00 00:00:00\nINDEX 01 " + Start +
           "\nTRACK 02 AUDIO\nINDEX 01 05:00:00\n";
  };
  const std::vector<int64_t> frames = {600 * 48000};
  // Longer than 2 s: a track 0 of its own.
  const std::string hidden = sheet("01:30:10");
  std::vector<TCueTrackSpan> spans = CueTrackSpans(ReadCueSheet(hidden, "a.cue"), frames, 48000);
  ExpectWholeImage(spans, frames);
  ASSERT_EQ(spans.size(), 3u);
  EXPECT_EQ(spans[0].Track, kCueHiddenTrack);
  EXPECT_EQ(spans[0].Number, 0);
  EXPECT_EQ(spans[0].SampleCount(), 90 * 48000 + 10 * 640);
  EXPECT_EQ(spans[1].Number, 1);
  std::vector<int64_t> points = {spans[2].Pieces[0].FirstSample / 640};
  EXPECT_EQ(points, Breakpoints(hidden));
  // 2 s or less: it goes to track 1.
  for (const std::string start : {"00:02:00", "00:01:74"}) {
    spans = CueTrackSpans(ReadCueSheet(sheet(start), "a.cue"), frames, 48000);
    ExpectWholeImage(spans, frames);
    ASSERT_EQ(spans.size(), 2u);
    EXPECT_EQ(spans[0].Number, 1);
    EXPECT_EQ(spans[0].Pieces[0].FirstSample, 0);
    EXPECT_EQ(spans[0].SampleCount(), 300 * 48000);
  }
}

TEST(CueSheetSpans, SeveralFiles) {
  // Track 2 starts 2 s into b.wav: those 2 s end track 1. c.wav starts no track: it ends
  // track 3. Track 4 starts d.wav's.
  const TCueSheet cue = ReadCueSheet(
      "FILE a.wav WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
      "FILE b.wav WAVE\nTRACK 02 AUDIO\nINDEX 00 00:00:00\nINDEX 01 00:02:00\n"
      "TRACK 03 AUDIO\nINDEX 01 01:00:33\n"
      "FILE c.wav WAVE\n"
      "FILE d.wav WAVE\nTRACK 04 AUDIO\nINDEX 01 00:00:00\n",
      "multi.cue");
  const int64_t rate = 44100;
  const std::vector<int64_t> frames = {100 * rate + 7, 90 * rate, 10 * rate, 30 * rate + 1};
  const std::vector<TCueTrackSpan> spans = CueTrackSpans(cue, frames, 44100);
  ExpectWholeImage(spans, frames);
  ASSERT_EQ(spans.size(), 4u);
  EXPECT_EQ(spans[0].Pieces, (std::vector<TCuePiece>{{0, 0, 100 * rate + 7}, {1, 0, 2 * rate}}));
  const int64_t third = 60 * rate + 33 * 588;
  EXPECT_EQ(spans[1].Pieces, (std::vector<TCuePiece>{{1, 2 * rate, third - 2 * rate}}));
  EXPECT_EQ(spans[2].Pieces,
            (std::vector<TCuePiece>{{1, third, 90 * rate - third}, {2, 0, 10 * rate}}));
  EXPECT_EQ(spans[3].Pieces, (std::vector<TCuePiece>{{3, 0, 30 * rate + 1}}));
}

TEST(CueSheetSpans, Faults) {
  const TCueSheet cue = ReadCueSheet(kOneFile, "album.cue");
  EXPECT_EQ(SpanErrorOf(cue, {600 * 32000}, 32000),
            "Cue sheet album.cue: its times, in 1/75 s, fall between samples at 32000 Hz.");
  EXPECT_EQ(SpanErrorOf(cue, {}, 44100), "Cue sheet album.cue names 1 files, not 0.");
  // Track 4 starts at 10:00:00, 1 sample past a file of 9:59:74 and 587 samples.
  EXPECT_EQ(SpanErrorOf(cue, {600 * 44100 - 1}, 44100),
            "Cue sheet album.cue, line 18: track 4 starts at 10:00:00, past the end of "
            "\"image.flac\" (09:59:74).");
  EXPECT_EQ(SpanErrorOf(cue, {600 * 44100}, 44100),
            "Cue sheet album.cue, line 18: track 4 starts at 10:00:00, the end of "
            "\"image.flac\"; it holds no audio.");
}

TEST(CueSheetTags, TrackTagsAndMerge) {
  const TCueSheet cue = ReadCueSheet(
      "REM GENRE Jazz\nREM DATE 1959\nREM COMMENT \"mono\"\nREM DISCNUMBER 1\n"
      "REM TOTALDISCS 2\nREM REPLAYGAIN_ALBUM_GAIN -3.00 dB\nREM REPLAYGAIN_ALBUM_PEAK 0.9\n"
      "PERFORMER \"Miles Davis\"\nSONGWRITER \"Davis\"\nTITLE \"Kind of Blue\"\n"
      "FILE k.flac WAVE\n"
      "TRACK 01 AUDIO\nTITLE \"So What\"\nINDEX 01 00:00:00\n"
      "TRACK 02 AUDIO\nTITLE \"Blue in Green\"\nPERFORMER \"Bill Evans\"\n"
      "SONGWRITER \"Evans\"\nISRC USSM15900113\nREM REPLAYGAIN_TRACK_GAIN -1.25 dB\n"
      "REM REPLAYGAIN_TRACK_PEAK 0.5\nINDEX 01 09:22:00\n",
      "kob.cue");
  TCarriedTags expected;
  expected.Text = {{"ALBUM", {"Kind of Blue"}},
                   {"ALBUMARTIST", {"Miles Davis"}},
                   {"ARTIST", {"Bill Evans"}},
                   {"COMPOSER", {"Evans"}},
                   {"DATE", {"1959"}},
                   {"GENRE", {"Jazz"}},
                   {"COMMENT", {"mono"}},
                   {"DISCNUMBER", {"1"}},
                   {"DISCTOTAL", {"2"}},
                   {"TITLE", {"Blue in Green"}},
                   {"TRACKNUMBER", {"2"}},
                   {"TRACKTOTAL", {"2"}},
                   {"REPLAYGAIN_ALBUM_GAIN", {"-3.00 dB"}},
                   {"REPLAYGAIN_ALBUM_PEAK", {"0.9"}},
                   {"REPLAYGAIN_TRACK_GAIN", {"-1.25 dB"}},
                   {"REPLAYGAIN_TRACK_PEAK", {"0.5"}}};
  const TCarriedTags second = CueTrackTags(cue, 1);
  EXPECT_EQ(second, expected);
  for (const auto& [key, values] : second.Text)
    EXPECT_NE(std::find(CarriedKeys().begin(), CarriedKeys().end(), key), CarriedKeys().end())
        << key << " is not carried";
  // Without its own performer and songwriter a track takes the disc's.
  const TCarriedTags first = CueTrackTags(cue, 0);
  EXPECT_EQ(first.First("ARTIST"), "Miles Davis");
  EXPECT_EQ(first.First("COMPOSER"), "Davis");
  EXPECT_EQ(first.Text.count("REPLAYGAIN_TRACK_GAIN"), 0u);
  const TCarriedTags hidden = CueTrackTags(cue, kCueHiddenTrack);
  EXPECT_EQ(hidden.First("TRACKNUMBER"), "0");
  EXPECT_EQ(hidden.Text.count("TITLE"), 0u);

  TCarriedTags image;
  image.Text = {{"TITLE", {"Kind of Blue (whole disc)"}},
                {"ARTIST", {"Miles Davis Sextet"}},
                {"LABEL", {"Columbia"}},
                {"REPLAYGAIN_TRACK_GAIN", {"-4.00 dB"}},
                {"MUSICBRAINZ_ALBUMID", {"abc"}}};
  image.Pictures = {{3, "image/png", "front", "PNGDATA"}};
  const TCarriedTags merged = MergeCueTags(image, first);
  EXPECT_EQ(merged.First("TITLE"), "So What");
  EXPECT_EQ(merged.First("ARTIST"), "Miles Davis");
  EXPECT_EQ(merged.First("LABEL"), "Columbia");
  EXPECT_EQ(merged.First("MUSICBRAINZ_ALBUMID"), "abc");
  EXPECT_EQ(merged.Text.count("REPLAYGAIN_TRACK_GAIN"), 0u);
  EXPECT_EQ(merged.Pictures, image.Pictures);
  // An image title never becomes a track's.
  TCueSheet untitled = cue;
  untitled.Tracks[0].Title.clear();
  EXPECT_EQ(MergeCueTags(image, CueTrackTags(untitled, 0)).Text.count("TITLE"), 0u);
}

}  // namespace
