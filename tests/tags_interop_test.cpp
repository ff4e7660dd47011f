// Tags written by independent taggers are read by ours, and ours are read back by
// independent readers (ffprobe, mutagen).

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "TagTestFiles.h"
#include "app/OutputVerifier.h"
#include "platform/Text.h"
#include "tags/AuTags.h"
#include "tags/TagLibMeta.h"

using namespace tunevert;
using namespace tunevert::test;

namespace {

// Debian's python3 carries mutagen; a python on PATH may not.
const char* const kPython = "/usr/bin/python3";

std::map<std::string, std::string> FfprobeTags(const std::string& Path) {
  return ParseKeyValues(RunCommand("ffprobe -v error -show_entries format_tags -of "
                                   "default=noprint_wrappers=1 '" +
                                   Path + "'"),
                        "TAG:");
}

// Frame id -> "encoding|text" for every ID3v2 text frame, plus "version" -> major version.
std::map<std::string, std::string> MutagenFrames(const std::string& Path) {
  const std::string script =
      "import sys\n"
      "from mutagen.id3 import ID3\n"
      "t = ID3(sys.argv[1], translate=False)\n"
      "print('version=%d' % t.version[1])\n"
      "for f in t.values():\n"
      "    if hasattr(f, 'encoding'):\n"
      "        print('%s=%d|%s' % (f.FrameID, f.encoding, '/'.join(str(x) for x in f.text)))\n";
  TTempFile scriptFile(Bytes(script.begin(), script.end()));
  return ParseKeyValues(
      RunCommand(std::string(kPython) + " " + scriptFile.Path() + " '" + Path + "'"));
}

int ReadOnly(const std::string& Path) {
  return open(Path.c_str(), O_RDONLY);
}

}  // namespace

TEST(TagInterop, ReadsId3v2ToolLatin1TagsAndId3v1Block) {
  const std::string path = FixturePath("id3v2tool-v23-latin1.mp3");
  const int fd = ReadOnly(path);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(TId3v2Tags::Presents(fd));
  TId3v2Tags v2;
  ASSERT_TRUE(v2.ReadFromFile(fd));
  EXPECT_EQ(v2.Title(), u"Título");
  EXPECT_EQ(v2.Artist(), u"Señor Artist");
  EXPECT_EQ(v2.Album(), u"Album Ü");
  EXPECT_EQ(v2.Year(), "1999");
  EXPECT_EQ(v2.Track(), "7");
  EXPECT_EQ(v2.Genre(), u"(17)");
  // Just after the tag the audio begins with an MPEG frame sync.
  uint8_t sync[2] = {};
  ASSERT_EQ(read(fd, sync, 2), 2);
  EXPECT_EQ(sync[0], 0xFF);
  EXPECT_EQ(sync[1] & 0xE0, 0xE0);

  TId3v1Tags v1;
  ASSERT_TRUE(v1.ReadFromFile(fd));
  EXPECT_EQ(v1.Title(), "T\xEDtulo");
  EXPECT_EQ(v1.Artist(), "Se\xF1or Artist");
  EXPECT_EQ(v1.Year(), 1999);
  EXPECT_EQ(v1.Track(), 7);
  EXPECT_EQ(v1.Genre(), "Rock");
  close(fd);
}

TEST(TagInterop, ReadsId3v1OnlyFile) {
  const int fd = ReadOnly(FixturePath("id3v2tool-v1-only.mp3"));
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(TId3v2Tags::Presents(fd));
  EXPECT_TRUE(TId3v1Tags::Presents(fd));
  TId3v1Tags v1;
  ASSERT_TRUE(v1.ReadFromFile(fd));
  EXPECT_EQ(v1.Title(), "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");
  EXPECT_EQ(v1.Album(), "Album");
  EXPECT_EQ(v1.Comment(), "A comment");
  EXPECT_EQ(v1.Year(), 2012);
  EXPECT_EQ(v1.Track(), 3);
  EXPECT_EQ(v1.Genre(), "Rock & Roll");
  close(fd);
}

class MutagenFixture : public testing::TestWithParam<int> {};

TEST_P(MutagenFixture, ReadsUnicodeFrames) {
  const int version = GetParam();
  const int fd = ReadOnly(FixturePath("mutagen-v2" + std::to_string(version) + ".mp3"));
  ASSERT_GE(fd, 0);
  TId3v2Tags v2;
  ASSERT_TRUE(v2.ReadFromFile(fd));
  EXPECT_EQ(v2.Title(), u"Grüße ☃ 雪");
  EXPECT_EQ(v2.Artist(), u"Zoë");
  EXPECT_EQ(v2.Album(), u"Ålbum");
  EXPECT_EQ(v2.Track(), "4/9");
  EXPECT_EQ(v2.Genre(), u"Rock");
  EXPECT_EQ(v2.Composer(), u"Józef");
  EXPECT_EQ(v2.Comment(), u"");
  // Version 2.4 keeps the date in TDRC, which is not one of ours.
  EXPECT_EQ(v2.Year(), version == 3 ? "2001" : "");
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(Versions, MutagenFixture, testing::Values(3, 4));

TEST(TagInterop, OurId3v2TagReadsBackInOtherReaders) {
  const Bytes audio = ReadWholeFile(FixturePath("silence.mp3"));
  for (bool unicode : {true, false}) {
    SCOPED_TRACE(unicode);
    TTempFile file(audio);
    TId3v2Tags tags;
    tags.SetTitle(unicode ? u"Grüße ☃ 雪" : u"Café crème");
    tags.SetArtist(u"Zoë");
    tags.SetAlbum(u"Ålbum");
    tags.SetTrack("5");
    tags.SetGenre(u"Jazz");
    tags.SetComposer(u"Józef");
    ASSERT_TRUE(tags.WriteToFile(file.Fd(), unicode));
    // A second write replaces the first tag rather than stacking another in front.
    ASSERT_TRUE(tags.WriteToFile(file.Fd(), unicode));

    const auto frames = MutagenFrames(file.Path());
    EXPECT_EQ(frames.at("version"), "4");
    const std::string enc = unicode ? "3|" : "0|";
    EXPECT_EQ(frames.at("TIT2"), enc + (unicode ? "Grüße ☃ 雪" : "Café crème"));
    EXPECT_EQ(frames.at("TPE1"), enc + "Zoë");
    EXPECT_EQ(frames.at("TALB"), enc + "Ålbum");
    EXPECT_EQ(frames.at("TCOM"), enc + "Józef");
    EXPECT_EQ(frames.at("TRCK"), "0|5");

    const auto probe = FfprobeTags(file.Path());
    EXPECT_EQ(probe.at("title"), unicode ? "Grüße ☃ 雪" : "Café crème");
    EXPECT_EQ(probe.at("artist"), "Zoë");
    EXPECT_EQ(probe.at("genre"), "Jazz");

    const Bytes content = file.Content();
    ASSERT_GE(content.size(), audio.size());
    EXPECT_EQ(Bytes(content.end() - static_cast<ptrdiff_t>(audio.size()), content.end()), audio);
  }
}

TEST(TagInterop, OurId3v1BlockReadsBackInFfprobe) {
  TTempFile file(ReadWholeFile(FixturePath("silence.mp3")));
  TId3v1Tags tags;
  tags.SetTitle(Utf16ToLatin1(u"Déjà vu"));
  tags.SetArtist("Artist");
  tags.SetYear(1987);
  tags.SetTrack(12);
  tags.SetGenre("Drum & Bass");
  ASSERT_TRUE(tags.WriteToFile(file.Fd(), false));
  tags.SetTitle(Utf16ToLatin1(u"Señorita"));
  ASSERT_TRUE(tags.WriteToFile(file.Fd(), false));

  // FFmpeg takes ID3v1 text as UTF-8, so the accented title is checked with mutagen only.
  const auto probe = FfprobeTags(file.Path());
  EXPECT_EQ(probe.at("artist"), "Artist");
  EXPECT_EQ(probe.at("date"), "1987");
  EXPECT_EQ(probe.at("track"), "12");
  EXPECT_EQ(probe.at("genre"), "Drum & Bass");

  // Mutagen reads a lone ID3v1 block as ID3 frames.
  const auto frames = MutagenFrames(file.Path());
  EXPECT_EQ(frames.at("TIT2"), "0|Señorita");
}

// ---- M4A outputs: iTunes atoms written through the tag module ----

namespace {

// A folder of scratch files, removed with what it holds.
class TScratchDir {
 public:
  TScratchDir() {
    std::string name = (std::filesystem::temp_directory_path() / "tunevert-m4a-XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    FPath = name;
  }
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;
  ~TScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  std::string operator/(const std::string& Name) const { return FPath + "/" + Name; }

 private:
  std::string FPath;
};

std::string Quote(const std::string& Path) {
  return "'" + Path + "'";
}

std::string CopyOf(const std::string& Fixture, const TScratchDir& Dir, const std::string& Name) {
  const std::string path = Dir / Name;
  std::filesystem::copy_file(Fixture, path);
  return path;
}

std::string Text(const std::string& Path) {
  const Bytes bytes = ReadWholeFile(Path);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < Text.size()) {
    const size_t end = std::min(Text.find('\n', start), Text.size());
    if (end > start) lines.push_back(Text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// mutagen's view of the carried fields and pictures (see dump-tags.py), sorted.
std::vector<std::string> MutagenDump(const std::string& Path) {
  return Lines(RunCommand(std::string(kPython) + " " + TUNEVERT_TEST_DATA + "/../dump-tags.py " +
                          Quote(Path)));
}

// Every atom mutagen finds in the file's ilst: its name, its first value's data type (free-form
// atoms only; "-" for others) and its number of values.
std::vector<std::string> MutagenAtoms(const std::string& Path) {
  const std::string script =
      "import sys\n"
      "from mutagen.mp4 import MP4\n"
      "for k, v in sorted((MP4(sys.argv[1]).tags or {}).items()):\n"
      "    print(k, getattr(v[0], 'dataformat', '-'), len(v))\n";
  TTempFile scriptFile(Bytes(script.begin(), script.end()));
  return Lines(RunCommand(std::string(kPython) + " " + scriptFile.Path() + " " + Quote(Path)));
}

// The decoded audio's digest: tags must leave every sample where it was.
std::string AudioDigest(const std::string& Path) {
  return RunCommand("ffmpeg -nostdin -v error -i " + Quote(Path) + " -map 0:a -f s16le - | md5sum");
}

std::string Sha1(const std::string& Path) {
  return RunCommand("sha1sum " + Quote(Path)).substr(0, 40);
}

TCarriedPicture PictureFile(const std::string& Path, int Type, const std::string& Mime,
                            const std::string& Description) {
  return {Type, Mime, Description, Text(Path)};
}

const std::string kSmpb =
    " 00000000 00000400 000001C4 0000000000001589 00000000 00000000 00000000 00000000 00000000"
    " 00000000 00000000 00000000";

// Every carried field, unicode in most, two artists; the gapless record.
TCarriedTags FullTags() {
  TCarriedTags tags;
  tags.Text = {
      {"TITLE", {"Café ☕ 東京の夜 🎵"}},
      {"ARTIST", {"Ærøskøbing Ensemble", "Second Ärtist"}},
      {"ALBUM", {"Überfahrt — 旅"}},
      {"ALBUMARTIST", {"Various Ærtists"}},
      {"COMPOSER", {"Józef Komponist"}},
      {"GENRE", {"Jazz"}},
      {"DATE", {"2021-05-04"}},
      {"TRACKNUMBER", {"3"}},
      {"TRACKTOTAL", {"12"}},
      {"DISCNUMBER", {"1"}},
      {"DISCTOTAL", {"2"}},
      {"COMMENT", {"Grüße — コメント 👍"}},
      {"LYRICS", {"La la la ♪"}},
      {"MUSICBRAINZ_TRACKID", {"0a1b2c3d-1111-2222-3333-444455556666"}},
      {"MUSICBRAINZ_ALBUMID", {"1a1b2c3d-1111-2222-3333-444455556666"}},
      {"MUSICBRAINZ_ARTISTID", {"2a1b2c3d-1111-2222-3333-444455556666"}},
      {"MUSICBRAINZ_ALBUMARTISTID", {"3a1b2c3d-1111-2222-3333-444455556666"}},
      {"MUSICBRAINZ_RELEASEGROUPID", {"4a1b2c3d-1111-2222-3333-444455556666"}},
      {"MUSICBRAINZ_RELEASETRACKID", {"5a1b2c3d-1111-2222-3333-444455556666"}},
      {"MUSICBRAINZ_WORKID", {"6a1b2c3d-1111-2222-3333-444455556666"}},
      {"REPLAYGAIN_TRACK_GAIN", {"-6.50 dB"}},
      {"REPLAYGAIN_TRACK_PEAK", {"0.988547"}},
      {"REPLAYGAIN_ALBUM_GAIN", {"-7.10 dB"}},
      {"REPLAYGAIN_ALBUM_PEAK", {"1.000000"}},
      {"ITUNSMPB", {kSmpb}},
  };
  return tags;
}

// Our tags in dump-tags.py's notation; Files holds each picture's data for its digest.
// mutagen takes every cover but a PNG one for JPEG.
std::vector<std::string> AsDump(const TCarriedTags& Tags, const std::vector<std::string>& Files) {
  std::vector<std::string> lines;
  for (const auto& [key, values] : Tags.Text)
    for (const std::string& value : values) lines.push_back(key + "=" + value);
  for (size_t i = 0; i < Tags.Pictures.size(); ++i) {
    const bool png = M4ACoverMime(Tags.Pictures[i]) == "image/png";
    lines.push_back(std::string("PICTURE=3|") + (png ? "image/png" : "image/jpeg") + "||" +
                    Sha1(Files[i]));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

class M4AOutput : public testing::TestWithParam<const char*> {};

TEST_P(M4AOutput, EveryFieldAndPictureReadsBackInEveryReaderAndTheAudioStays) {
  TScratchDir dir;
  const std::string file = CopyOf(FixturePath(GetParam()), dir, "out.m4a");
  const std::string audio = AudioDigest(file);
  ASSERT_EQ(audio.size(), 36u) << "ffmpeg could not decode " << GetParam();

  TCarriedTags tags = FullTags();
  // JPEG and PNG by their MIME types, GIF and BMP by their bytes alone; a 3 MiB picture.
  const std::vector<std::string> files = {FixturePath("cover.jpg"), FixturePath("cover.png"),
                                          FixturePath("cover.gif"), FixturePath("cover.bmp"),
                                          dir / "large.bmp"};
  RunCommand(
      "ffmpeg -nostdin -v error -f lavfi -i testsrc=s=1024x1024 -frames:v 1 -pix_fmt "
      "bgr24 " +
      Quote(files[4]));
  ASSERT_GT(std::filesystem::file_size(files[4]), 3u << 20);
  tags.Pictures = {PictureFile(files[0], 3, "image/jpeg", "Front ☕"),
                   PictureFile(files[1], 4, "image/png", "Back"), PictureFile(files[2], 0, "", ""),
                   PictureFile(files[3], 8, "", "Artist"),
                   PictureFile(files[4], 18, "image/bmp", "Large")};
  TCarriedTags written;
  EXPECT_EQ(WriteCarriedTags(file, tags, ".m4a", &written), std::vector<std::string>{});
  EXPECT_EQ(written, tags);

  EXPECT_EQ(MutagenDump(file), AsDump(tags, files));
  EXPECT_EQ(AudioDigest(file), audio);

  // FFmpeg shows the first of several values, and the covers but GIF ones as attached
  // pictures.
  const auto probe = FfprobeTags(file);
  EXPECT_EQ(probe.at("title"), "Café ☕ 東京の夜 🎵");
  EXPECT_EQ(probe.at("artist"), "Ærøskøbing Ensemble");
  EXPECT_EQ(probe.at("album"), "Überfahrt — 旅");
  EXPECT_EQ(probe.at("album_artist"), "Various Ærtists");
  EXPECT_EQ(probe.at("composer"), "Józef Komponist");
  EXPECT_EQ(probe.at("genre"), "Jazz");
  EXPECT_EQ(probe.at("date"), "2021-05-04");
  EXPECT_EQ(probe.at("track"), "3/12");
  EXPECT_EQ(probe.at("disc"), "1/2");
  EXPECT_EQ(probe.at("comment"), "Grüße — コメント 👍");
  EXPECT_EQ(probe.at("lyrics"), "La la la ♪");
  EXPECT_EQ(probe.at("MusicBrainz Work Id"), "6a1b2c3d-1111-2222-3333-444455556666");
  EXPECT_EQ(probe.at("replaygain_track_gain"), "-6.50 dB");
  EXPECT_EQ(RunCommand("ffprobe -v error -select_streams v -show_entries stream=codec_name -of "
                       "csv=p=0 " +
                       Quote(file)),
            "mjpeg\npng\nbmp\nbmp\n");

  // Our reader: the same fields; the covers as iTunes keeps them, front covers of a kind.
  TCarriedTags read = ReadWrittenTags(file, ".m4a");
  EXPECT_EQ(read.Text, tags.Text);
  ASSERT_EQ(read.Pictures.size(), 5u);
  const char* const kinds[] = {"image/jpeg", "image/png", "image/gif", "image/bmp", "image/bmp"};
  for (size_t i = 0; i < 5; ++i)
    EXPECT_EQ(read.Pictures[i], (TCarriedPicture{3, kinds[i], "", tags.Pictures[i].Data})) << i;
  EXPECT_NO_THROW(VerifyWrittenTags(file, ".m4a", written));
  // The record is checked where the tags given say what it is.
  TCarriedTags given = written;
  given.Text.erase("ITUNSMPB");
  EXPECT_NO_THROW(VerifyWrittenTags(file, ".m4a", given));
  given.Text["ITUNSMPB"] = {kSmpb.substr(0, 20) + "1" + kSmpb.substr(21)};
  EXPECT_THROW(VerifyWrittenTags(file, ".m4a", given), EAuException);
  written.Pictures[1].Data.back() ^= 1;
  EXPECT_THROW(VerifyWrittenTags(file, ".m4a", written), EAuException);
  // The gapless record is the output's own: read as a source, the file carries none.
  tags.Text.erase("ITUNSMPB");
  EXPECT_EQ(ReadCarriedTags(file).Text, tags.Text);

  // Written again, the tags replace those there: the record alone leaves just its atom, and
  // the encoder's name.
  TCarriedTags record;
  record.Text["ITUNSMPB"] = {kSmpb};
  EXPECT_EQ(WriteCarriedTags(file, record, ".m4a"), std::vector<std::string>{});
  EXPECT_EQ(MutagenAtoms(file),
            (std::vector<std::string>{"----:com.apple.iTunes:iTunSMPB 1 1", "©too - 1"}));
  EXPECT_EQ(ReadWrittenTags(file, ".m4a"), record);
  EXPECT_TRUE(ReadCarriedTags(file).Empty());
  EXPECT_EQ(AudioDigest(file), audio);
}

// AAC with the movie atom after the audio; ALAC with it before, so the audio moves.
INSTANTIATE_TEST_SUITE_P(Layouts, M4AOutput, testing::Values("aac.m4a", "alac-faststart.m4a"),
                         [](const auto& Info) {
                           return std::string(Info.param).substr(0, 4) == "alac"
                                      ? std::string("AlacMovieFirst")
                                      : std::string("AacMovieLast");
                         });

TEST(M4AOutput, TagsOfAnM4ASourceArriveUnchanged) {
  TScratchDir dir;
  // Tagged by mutagen: every carried field, two artists, a cover.
  const std::string source = std::string(TUNEVERT_TEST_DATA) + "/ffin/alac-stereo-44100.m4a";
  const TCarriedTags tags = ReadCarriedTags(source);
  ASSERT_GE(tags.Text.size(), 14u);
  ASSERT_EQ(tags.Pictures.size(), 1u);
  for (const char* fixture : {"aac.m4a", "alac-faststart.m4a"}) {
    SCOPED_TRACE(fixture);
    const std::string file = CopyOf(FixturePath(fixture), dir, fixture);
    EXPECT_EQ(WriteCarriedTags(file, tags, ".m4a"), std::vector<std::string>{});
    EXPECT_EQ(ReadCarriedTags(file), tags);
    EXPECT_EQ(MutagenDump(file), MutagenDump(source));
  }
  // A source's gapless record stays with it.
  const TCarriedTags gapless =
      ReadCarriedTags(std::string(TUNEVERT_TEST_DATA) + "/ffin/aac-itunsmpb-44100.m4a");
  EXPECT_EQ(gapless.Text.count("ITUNSMPB"), 0u);
}

TEST(M4AOutput, WhatM4ACannotHoldIsLeftOutAndNumbersCompareAsNumbers) {
  TScratchDir dir;
  const std::string file = CopyOf(FixturePath("aac.m4a"), dir, "out.m4a");
  TCarriedTags tags;
  tags.Text = {{"TITLE", {"Side A"}},
               {"TRACKNUMBER", {"A1"}},
               {"TRACKTOTAL", {"012"}},
               {"DISCNUMBER", {"2", "3"}},
               {"DISCTOTAL", {"70000"}}};
  const std::string webp = std::string("RIFF\x10\0\0\0WEBPVP8 ", 16) + std::string(8, '\0');
  tags.Pictures = {{3, "image/webp", "", webp}, PictureFile(FixturePath("cover.png"), 4, "", "")};
  TCarriedTags written;
  std::vector<std::string> leftOut = WriteCarriedTags(file, tags, ".m4a", &written);
  std::sort(leftOut.begin(), leftOut.end());
  const std::string numbers =
      " left out: M4A holds one number from 1 to 65535 for each of the track, the disc and their "
      "totals";
  EXPECT_EQ(leftOut, (std::vector<std::string>{
                         "DISCNUMBER (1 bytes)" + numbers, "DISCTOTAL (5 bytes)" + numbers,
                         "TRACKNUMBER (2 bytes)" + numbers,
                         "picture (front cover, 24 bytes) left out: M4A holds JPEG, PNG, BMP "
                         "and GIF pictures only"}));
  // Only the total is known: "trkn" holds 0 for the number, which reads back as none.
  EXPECT_EQ(MutagenDump(file),
            (std::vector<std::string>{"DISCNUMBER=2",
                                      "PICTURE=3|image/png||" + Sha1(FixturePath("cover.png")),
                                      "TITLE=Side A", "TRACKTOTAL=12"}));
  EXPECT_NO_THROW(VerifyWrittenTags(file, ".m4a", written));

  // The tags join the movie atom, whose size has 32 bits: the largest picture goes first.
  TCarriedTags big;
  big.Text["TITLE"] = {"Big"};
  big.Pictures = {PictureFile(FixturePath("cover.jpg"), 3, "image/jpeg", ""),
                  {4, "image/png", "", std::string(3 << 20, 'p')}};
  leftOut.clear();
  const TCarriedTags fitted =
      FitCarriedTags(big, ".m4a", leftOut, 0xFFFFFFFF - (std::uint64_t{2} << 20));
  EXPECT_EQ(leftOut, std::vector<std::string>{"picture (back cover, 3.0 MiB) left out: an M4A "
                                              "file holds at most 4 GiB in its movie atom"});
  EXPECT_EQ(fitted.Pictures, std::vector<TCarriedPicture>{big.Pictures[0]});
  EXPECT_EQ(fitted.Text, big.Text);
}

}  // namespace
