// Tags written by independent taggers are read by ours, and ours are read back by
// independent readers (ffprobe, mutagen).

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "TagTestFiles.h"
#include "platform/Text.h"
#include "tags/AuTags.h"

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
