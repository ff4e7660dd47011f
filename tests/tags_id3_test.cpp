#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "TagTestFiles.h"
#include "tags/AuTags.h"

using namespace tunevert;
using namespace tunevert::test;

namespace {

Bytes Text(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kAudio = {0xFF, 0xFB, 0x10, 0xC4, 0x00, 0x01, 0x02, 0x03, 0x55, 0xAA};

// A 128-byte ID3v1 block with fields placed at their offsets.
Bytes V1Block(std::string_view Title, std::string_view Year, const Bytes& Comment, uint8_t Genre) {
  Bytes b(128, 0);
  std::memcpy(b.data(), "TAG", 3);
  std::memcpy(b.data() + 3, Title.data(), Title.size());
  std::memcpy(b.data() + 93, Year.data(), Year.size());
  if (!Comment.empty()) std::memcpy(b.data() + 97, Comment.data(), Comment.size());
  b[127] = Genre;
  return b;
}

Bytes SynchSafeBytes(uint32_t v) {
  return {static_cast<uint8_t>((v >> 21) & 0x7F), static_cast<uint8_t>((v >> 14) & 0x7F),
          static_cast<uint8_t>((v >> 7) & 0x7F), static_cast<uint8_t>(v & 0x7F)};
}

Bytes V2Header(uint8_t Version, uint8_t Flags, uint32_t Size) {
  return Cat({Text("ID3"), {Version, 0, Flags}, SynchSafeBytes(Size)});
}

// A whole tag: header and frames, plus Padding zero bytes counted in the size.
Bytes V2Tag(uint8_t Version, const Bytes& Frames, uint32_t Padding = 0) {
  return Cat({V2Header(Version, 0, static_cast<uint32_t>(Frames.size() + Padding)), Frames,
              Bytes(Padding, 0)});
}

Bytes Frame22(std::string_view Id, const Bytes& Body) {
  const auto n = static_cast<uint32_t>(Body.size());
  return Cat({Text(Id), {uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)}, Body});
}

Bytes Frame23(std::string_view Id, const Bytes& Body) {
  const auto n = static_cast<uint32_t>(Body.size());
  return Cat(
      {Text(Id), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n), 0, 0}, Body});
}

Bytes Frame24(std::string_view Id, const Bytes& Body) {
  return Cat({Text(Id), SynchSafeBytes(static_cast<uint32_t>(Body.size())), {0, 0}, Body});
}

}  // namespace

// ---------------------------------------------------------------- ID3v1

struct TrackRuleCase {
  uint8_t B125, B126;
  uint8_t Track;
  std::string Comment;
};

class Id3v1TrackRule : public testing::TestWithParam<TrackRuleCase> {};

TEST_P(Id3v1TrackRule, DecidesBetweenTrackAndLongComment) {
  const auto& c = GetParam();
  Bytes comment(30, 0);
  std::memcpy(comment.data(), "comment of exactly 28 bytes!", 28);
  comment[28] = c.B125;
  comment[29] = c.B126;
  TTempFile file(Cat({kAudio, V1Block("t", "2000", comment, 1)}));
  TId3v1Tags tags;
  ASSERT_TRUE(tags.ReadFromFile(file.Fd()));
  EXPECT_EQ(tags.Track(), c.Track);
  EXPECT_EQ(tags.Comment(), c.Comment);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Id3v1TrackRule,
    testing::Values(TrackRuleCase{0, 5, 5, "comment of exactly 28 bytes!"},
                    TrackRuleCase{0, 0, 0, "comment of exactly 28 bytes!"},
                    TrackRuleCase{32, 7, 7, "comment of exactly 28 bytes!"},
                    TrackRuleCase{32, 32, 0, "comment of exactly 28 bytes!"},
                    TrackRuleCase{'y', 'z', 0, "comment of exactly 28 bytes!yz"},
                    TrackRuleCase{'y', 0, 0, "comment of exactly 28 bytes!y"}));

TEST(Id3v1, ReadsFieldsTrimmedAndLatin1) {
  Bytes block = V1Block("  Caf\xE9\t", "1999", Text("note"), 200);
  std::memcpy(block.data() + 33, "Artist\0junk after the zero", 26);
  TTempFile file(Cat({kAudio, block}));
  lseek(file.Fd(), 3, SEEK_SET);
  EXPECT_TRUE(TId3v1Tags::Presents(file.Fd()));
  EXPECT_EQ(file.Position(), 3);

  TId3v1Tags tags;
  ASSERT_TRUE(tags.ReadFromFile(file.Fd()));
  EXPECT_EQ(tags.Title(), "Caf\xE9");
  EXPECT_EQ(tags.AsWideString("title"), u"Café");
  EXPECT_EQ(tags.Artist(), "Artist");
  EXPECT_EQ(tags.Album(), "");
  EXPECT_EQ(tags.Year(), 1999);
  EXPECT_EQ(tags.Comment(), "note");
  EXPECT_EQ(tags.GenreId(), 12);  // 200 is outside the table
  EXPECT_EQ(tags.AsInteger("genre"), 200);
  EXPECT_EQ(file.Position(), static_cast<int64_t>(kAudio.size() + 128));

  for (std::string_view year : {"    ", "19x9"}) {
    TTempFile blank(Cat({kAudio, V1Block("t", year, {}, 0)}));
    ASSERT_TRUE(tags.ReadFromFile(blank.Fd()));
    EXPECT_EQ(tags.Year(), 0) << year;
  }
}

TEST(Id3v1, NoBlockClearsAndReportsFalse) {
  for (const Bytes& content : {kAudio, Cat({Bytes(200, 'x'), Text("TAX"), Bytes(125, 0)}),
                               Cat({Text("TAG"), Bytes(124, 0)})}) {
    TTempFile file(content);
    lseek(file.Fd(), 2, SEEK_SET);
    EXPECT_FALSE(TId3v1Tags::Presents(file.Fd()));
    EXPECT_EQ(file.Position(), 2);
    TId3v1Tags tags;
    tags.SetTitle("old");
    EXPECT_FALSE(tags.ReadFromFile(file.Fd()));
    EXPECT_TRUE(tags.Values("title").IsNull());
    EXPECT_TRUE(tags.Empty());
  }
  TId3v1Tags tags;
  EXPECT_FALSE(TId3v1Tags::Presents(InvalidFileHandle));
  EXPECT_FALSE(tags.ReadFromFile(InvalidFileHandle));
  EXPECT_FALSE(tags.WriteToFile(InvalidFileHandle, false));
}

TEST(Id3v1, WritesTheBlockLayout) {
  TTempFile file(kAudio);
  TId3v1Tags tags;
  tags.SetTitle("0123456789012345678901234567890123456789");
  tags.SetArtist("Art\xEDst");
  tags.SetAlbum("Album");
  tags.SetYear(1999);
  tags.SetComment("A comment that is longer than thirty bytes");
  tags.SetTrack(9);
  tags.SetGenre("Jazz");
  ASSERT_TRUE(tags.WriteToFile(file.Fd(), true));

  const Bytes content = file.Content();
  ASSERT_EQ(content.size(), kAudio.size() + 128);
  EXPECT_EQ(Bytes(content.begin(), content.begin() + kAudio.size()), kAudio);
  const uint8_t* b = content.data() + kAudio.size();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b), 33), "TAG012345678901234567890123456789");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 33), 7), std::string("Art\xEDst\0", 7));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 93), 4), "1999");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 97), 28), "A comment that is longer tha");
  EXPECT_EQ(b[125], 0);
  EXPECT_EQ(b[126], 9);
  EXPECT_EQ(b[127], 8);
  EXPECT_EQ(file.Position(), static_cast<int64_t>(content.size()));

  TId3v1Tags back;
  ASSERT_TRUE(back.ReadFromFile(file.Fd()));
  EXPECT_EQ(back.Title(), "012345678901234567890123456789");
  EXPECT_EQ(back.Track(), 9);

  // Writing again replaces the block; without a track the comment gets all 30 bytes.
  tags.SetYear(0);
  tags.SetTrack(0);
  tags.SetComment("012345678901234567890123456789xyz");
  ASSERT_TRUE(tags.WriteToFile(file.Fd(), false));
  const Bytes again = file.Content();
  ASSERT_EQ(again.size(), content.size());
  EXPECT_EQ(Bytes(again.begin(), again.begin() + kAudio.size()), kAudio);
  const uint8_t* c = again.data() + kAudio.size();
  EXPECT_EQ(Bytes(c + 93, c + 97), (Bytes{'0', 0, 0, 0}));
  EXPECT_EQ(std::string(c + 97, c + 127), "012345678901234567890123456789");
}

// ---------------------------------------------------------------- ID3v2 headers

struct HeaderCase {
  Bytes Header;
  bool Valid;
};

class Id3v2HeaderCheck : public testing::TestWithParam<HeaderCase> {};

TEST_P(Id3v2HeaderCheck, ValidityByVersionFlagsAndSize) {
  TTempFile file(Cat({kAudio, GetParam().Header, Bytes(64, 0)}));
  lseek(file.Fd(), static_cast<off_t>(kAudio.size()), SEEK_SET);
  EXPECT_EQ(TId3v2Tags::Presents(file.Fd()), GetParam().Valid);
  EXPECT_EQ(file.Position(), static_cast<int64_t>(kAudio.size()));
  TId3v2Tags tags;
  EXPECT_EQ(tags.ReadFromFile(file.Fd()), GetParam().Valid);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Id3v2HeaderCheck,
    testing::Values(HeaderCase{V2Header(3, 0x00, 0), true},
                    HeaderCase{V2Header(3, 0x20, 0), true},  // experimental
                    HeaderCase{V2Header(3, 0xE0, 0), true},
                    HeaderCase{V2Header(3, 0x10, 0), false},  // footer is a 2.4 flag
                    HeaderCase{V2Header(4, 0x10, 0), true}, HeaderCase{V2Header(4, 0xF0, 0), true},
                    HeaderCase{V2Header(4, 0x08, 0), false}, HeaderCase{V2Header(2, 0xC0, 0), true},
                    HeaderCase{V2Header(2, 0x20, 0), false},
                    HeaderCase{V2Header(5, 0x00, 0), false},
                    HeaderCase{V2Header(1, 0x00, 0), false},
                    HeaderCase{Cat({Text("ID3"), {3, 0xFF, 0}, {0, 0, 0, 0}}), false},
                    HeaderCase{Cat({Text("ID3"), {3, 0xFE, 0}, {0, 0, 0, 0}}), true},
                    HeaderCase{Cat({Text("ID3"), {4, 0, 0}, {0, 0, 0x80, 0}}), false},
                    HeaderCase{Cat({Text("ID3"), {4, 0, 0}, {0x80, 0, 0, 0}}), false},
                    HeaderCase{Cat({Text("id3"), {4, 0, 0}, {0, 0, 0, 0}}), false}));

TEST(Id3v2, TagSizeIsSynchSafeAndCountsTheFooter) {
  // 0x02 0x01 synch-safe is 257.
  const Bytes body(257, 0);
  for (uint8_t flags : {uint8_t{0}, uint8_t{0x10}}) {
    TTempFile file(Cat({Bytes(5, 'x'), V2Header(4, flags, 257), body, Bytes(10, 0), kAudio}));
    lseek(file.Fd(), 5, SEEK_SET);
    TId3v2Tags tags;
    ASSERT_TRUE(tags.ReadFromFile(file.Fd()));
    EXPECT_EQ(file.Position(), 5 + 10 + 257 + (flags != 0 ? 10 : 0));
  }
}

// ---------------------------------------------------------------- ID3v2 frames

TEST(Id3v2, Version2TagUsesThreeLetterIds) {
  const Bytes frames =
      Cat({Frame22("TT2", Cat({{0}, Text("Two")})), Frame22("TYE", Cat({{0}, Text("1987")})),
           Frame22("TIT", Cat({{0}, Text("not an id")})),
           Frame22("TP1", Cat({{1}, {'A', 0, 'b', 0}}))});
  TTempFile file(Cat({V2Tag(2, frames, 7), kAudio}));
  TId3v2Tags tags;
  ASSERT_TRUE(tags.ReadFromFile(file.Fd()));
  EXPECT_FALSE(tags.New());
  EXPECT_EQ(tags.Title(), u"Two");
  EXPECT_EQ(tags.Year(), "1987");
  EXPECT_EQ(tags.Artist(), u"Ab");
  EXPECT_TRUE(tags.Values("TIT2").IsNull());
  EXPECT_EQ(file.Position(), static_cast<int64_t>(10 + frames.size() + 7));

  // A later version-3 tag switches back to the four-letter ids.
  TTempFile v3(V2Tag(3, Frame23("TIT2", Cat({{0}, Text("Three")}))));
  ASSERT_TRUE(tags.ReadFromFile(v3.Fd()));
  EXPECT_TRUE(tags.New());
  EXPECT_EQ(tags.Title(), u"Three");
  EXPECT_TRUE(tags.Values("TT2").IsNull());
}

TEST(Id3v2, Version3SizesAreFull32BitAndVersion4SynchSafe) {
  // 0x81 bytes: read as 129 in a 2.3 tag; a synch-safe reader would take 1.
  const Bytes longTitle = Cat({{0}, Bytes(0x80, 'a')});
  // Comment and unknown frames are stepped over.
  const Bytes v3 =
      Cat({Frame23("TIT2", longTitle), Frame23("COMM", Cat({{0}, Text("eng c")})),
           Frame23("TXXX", Cat({{0}, Text("x")})), Frame23("TALB", Cat({{0}, Text("Al")}))});
  TTempFile file3(V2Tag(3, v3, 4));
  TId3v2Tags tags;
  ASSERT_TRUE(tags.ReadFromFile(file3.Fd()));
  EXPECT_EQ(tags.Title(), std::u16string(0x80, u'a'));
  EXPECT_EQ(tags.Album(), u"Al");
  EXPECT_TRUE(tags.Values("COMM").IsNull());

  const Bytes v4 = Cat({Frame24("TIT2", longTitle), Frame24("TALB", Cat({{0}, Text("Al")}))});
  ASSERT_NE(v4[4 + 3], 0x81);  // the synch-safe form differs
  TTempFile file4(V2Tag(4, v4, 4));
  ASSERT_TRUE(tags.ReadFromFile(file4.Fd()));
  EXPECT_EQ(tags.Title(), std::u16string(0x80, u'a'));
  EXPECT_EQ(tags.Album(), u"Al");
}

struct TextCase {
  const char* Name;
  Bytes Body;
  bool Stored;
  std::u16string Expected;
};

class Id3v2TextDecoding : public testing::TestWithParam<TextCase> {};

TEST_P(Id3v2TextDecoding, DecodesByEncodingByte) {
  const auto& c = GetParam();
  TTempFile file(V2Tag(4, Frame24("TCOM", c.Body), 3));
  TId3v2Tags tags;
  ASSERT_TRUE(tags.ReadFromFile(file.Fd()));
  EXPECT_EQ(!tags.Values("TCOM").IsNull(), c.Stored);
  EXPECT_EQ(tags.Composer(), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Id3v2TextDecoding,
    testing::Values(
        TextCase{"latin1", Cat({{0}, Text("Caf\xE9")}), true, u"Café"},
        TextCase{"latin1_terminated", Cat({{0}, Text("ab"), {0}, Text("cd")}), true, u"ab"},
        TextCase{"utf16_bom_le", {1, 0xFF, 0xFE, 'H', 0, 0x03, 0x26, 0, 0, 'x', 0}, true, u"H☃"},
        TextCase{"utf16_no_bom", {1, 'O', 0, 'k', 0}, true, u"Ok"},
        TextCase{"utf16_bom_be", {1, 0xFE, 0xFF, 0, 'B', 0x26, 0x03}, true, u"B☃"},
        TextCase{"utf16_odd_length", {1, 0xFF, 0xFE, 'A', 0, 'B'}, true, u"AB"},
        TextCase{"utf16_two_bytes", {1, 0xFF}, true, u"\u00FF"},
        TextCase{"utf16be_ignored", {2, 0, 'X'}, false, u""},
        TextCase{"utf8",
                 Cat({{3},
                      Text("Gr\xC3\xBC\xC3\x9F"
                           "e \xE2\x98\x83"),
                      {0},
                      Text("tail")}),
                 true, u"Grüße ☃"},
        TextCase{"unknown_encoding", Cat({{7}, Text("x")}), false, u""},
        TextCase{"encoding_byte_only", {3}, true, u""}),
    [](const auto& param) { return std::string(param.param.Name); });

TEST(Id3v2, DamagedFrameListsStopSafely) {
  const Bytes title = Frame24("TIT2", Cat({{0}, Text("kept")}));
  const Bytes album = Frame24("TALB", Cat({{0}, Text("Album")}));
  struct Case {
    const char* Name;
    Bytes File;
    std::u16string Title, Album;
  };
  Bytes pastTag = Frame24("TALB", Cat({{0}, Text("Album")}));
  pastTag[7] = 0x7F;  // claims 127 bytes in a tag that has fewer
  Bytes v3Huge = Frame23("TALB", Cat({{0}, Text("Album")}));
  v3Huge[4] = v3Huge[5] = v3Huge[6] = v3Huge[7] = 0xFF;
  const Case cases[] = {
      {"frame_past_tag", Cat({V2Tag(4, Cat({title, pastTag}), 20), Bytes(200, 'z')}), u"kept", u""},
      {"frame_4gib",
       Cat({V2Tag(3, Cat({Frame23("TIT2", Cat({{0}, Text("kept")})), v3Huge})), Bytes(50, 0)}),
       u"kept", u""},
      {"zero_size_frame", V2Tag(4, Cat({Frame24("TPE1", {}), title, album}), 1), u"kept", u"Album"},
      {"lowercase_stops", V2Tag(4, Cat({title, Frame24("tALB", Cat({{0}, Text("x")})), album})),
       u"kept", u""},
      {"padding_stops", V2Tag(4, Cat({title, Bytes(10, 0), album})), u"kept", u""},
      {"truncated_header", Cat({V2Header(4, 0, 18), title, Text("TAL")}), u"kept", u""},
      {"tag_past_file", Cat({V2Header(4, 0, 500), title, album}), u"", u""},
      {"header_ends_at_tag_end", V2Tag(4, Cat({title, Text("TALB"), Bytes(6, 0)})), u"kept", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TTempFile file(c.File);
    TId3v2Tags tags;
    EXPECT_TRUE(tags.ReadFromFile(file.Fd()));
    EXPECT_EQ(tags.Title(), c.Title);
    EXPECT_EQ(tags.Album(), c.Album);
  }
}

TEST(Id3v2, NoTagClearsTheContainer) {
  TTempFile file(Cat({kAudio, Text("ID3"), {4, 0, 0}}));  // header cut short
  TId3v2Tags tags;
  tags.SetTitle(u"old");
  EXPECT_FALSE(tags.ReadFromFile(file.Fd()));
  EXPECT_TRUE(tags.Values("TIT2").IsNull());
  lseek(file.Fd(), static_cast<off_t>(kAudio.size()), SEEK_SET);
  EXPECT_FALSE(TId3v2Tags::Presents(file.Fd()));
  EXPECT_FALSE(TId3v2Tags::Presents(InvalidFileHandle));
  EXPECT_FALSE(tags.ReadFromFile(InvalidFileHandle));
  EXPECT_FALSE(tags.WriteToFile(InvalidFileHandle, true));
}

// ---------------------------------------------------------------- ID3v2 writing

TEST(Id3v2Write, ExactBytesForAlbumAndTitle) {
  TTempFile file(kAudio);
  TId3v2Tags tags;
  tags.SetTitle(u"Song");
  tags.SetAlbum(u"Alb");
  ASSERT_TRUE(tags.WriteToFile(file.Fd(), false));
  // Frames: 14 + 15 bytes; padding 16 - (39 mod 16) = 9; size field 38.
  const Bytes expected = Cat({Text("ID3"),
                              {4, 0, 0, 0, 0, 0, 38},  //
                              Text("TALB"),
                              {0, 0, 0, 4, 0, 0, 0},
                              Text("Alb"),
                              Text("TIT2"),
                              {0, 0, 0, 5, 0, 0, 0},
                              Text("Song"),
                              Bytes(9, 0),
                              kAudio});
  EXPECT_EQ(file.Content(), expected);
}

TEST(Id3v2Write, EmptyContainerWritesSixteenBytes) {
  TTempFile file(kAudio);
  TId3v2Tags tags;
  tags.SetTitle(u"");
  ASSERT_TRUE(tags.WriteToFile(file.Fd(), true));
  EXPECT_EQ(file.Content(), Cat({Text("ID3"), {4, 0, 0, 0, 0, 0, 6}, Bytes(6, 0), kAudio}));
}

TEST(Id3v2Write, EncodingFollowsUnicodeFlagAndValueKind) {
  for (bool unicode : {false, true}) {
    SCOPED_TRACE(unicode);
    TTempFile file;
    TId3v2Tags tags;
    tags.SetTitle(u"Café ☃");
    tags.SetYear("1999");
    tags.SetComment(u"never written");
    ASSERT_TRUE(tags.WriteToFile(file.Fd(), unicode));
    const Bytes title =
        unicode ? Cat({{3}, Text("Caf\xC3\xA9 \xE2\x98\x83")}) : Cat({{0}, Text("Caf\xE9 ?")});
    const Bytes frames = Cat({Frame24("TIT2", title), Frame24("TYER", Cat({{0}, Text("1999")}))});
    const size_t padding = 16 - (frames.size() + 10) % 16;
    EXPECT_EQ(file.Content(), V2Tag(4, frames, static_cast<uint32_t>(padding)));
  }
}

TEST(Id3v2Write, LargeFrameSizeIsSynchSafeAndReadsBack) {
  TTempFile file(kAudio);
  TId3v2Tags tags;
  const std::u16string longText(300, u'é');
  tags.SetTitle(longText);
  tags.SetTrack("3/12");
  tags.SetLink(u"http://example.org/");
  ASSERT_TRUE(tags.WriteToFile(file.Fd(), true));
  const Bytes content = file.Content();
  // 1 + 600 UTF-8 bytes = 601 = 0x04 0x59 synch-safe.
  EXPECT_EQ(Bytes(content.begin() + 14, content.begin() + 18), (Bytes{0, 0, 0x04, 0x59}));
  EXPECT_EQ(content.size() % 16, kAudio.size() % 16);

  lseek(file.Fd(), 0, SEEK_SET);
  TId3v2Tags back;
  ASSERT_TRUE(back.ReadFromFile(file.Fd()));
  EXPECT_EQ(back.Title(), longText);
  EXPECT_EQ(back.Track(), "3/12");
  EXPECT_EQ(back.Link(), u"http://example.org/");
  EXPECT_EQ(file.Position(), static_cast<int64_t>(content.size() - kAudio.size()));
}

TEST(Id3v2Write, ReplacesATagAlreadyAtTheStart) {
  const Bytes audio = Cat({kAudio, Bytes(3000, 0x5A), kAudio});
  for (uint8_t flags : {uint8_t{0}, uint8_t{0x10}}) {
    SCOPED_TRACE(static_cast<int>(flags));
    const Bytes body = Cat({{0}, Bytes(500, 'o')});
    const Bytes oldFrames = flags != 0 ? Frame24("TIT2", body) : Frame23("TIT2", body);
    const Bytes header = V2Header(flags ? 4 : 3, flags, static_cast<uint32_t>(oldFrames.size()));
    Bytes footer;
    if (flags != 0) footer = Cat({Text("3DI"), Bytes(header.begin() + 3, header.end())});
    const Bytes oldTag = Cat({header, oldFrames, footer});
    TTempFile file(Cat({oldTag, audio}));
    TId3v2Tags tags;
    tags.SetTitle(u"short");
    ASSERT_TRUE(tags.WriteToFile(file.Fd(), false));
    Bytes content = file.Content();
    ASSERT_EQ(content.size(), 32 + audio.size());  // 10 + 16 frame + 6 padding
    EXPECT_EQ(Bytes(content.begin() + 32, content.end()), audio);

    // And growing again over the short tag.
    tags.SetAlbum(std::u16string(2000, u'a'));
    ASSERT_TRUE(tags.WriteToFile(file.Fd(), false));
    content = file.Content();
    lseek(file.Fd(), 0, SEEK_SET);
    TId3v2Tags back;
    ASSERT_TRUE(back.ReadFromFile(file.Fd()));
    EXPECT_EQ(back.Title(), u"short");
    EXPECT_EQ(back.Album().size(), 2000u);
    const auto tagEnd = static_cast<size_t>(file.Position());
    EXPECT_EQ(Bytes(content.begin() + static_cast<ptrdiff_t>(tagEnd), content.end()), audio);
  }
}

// A rewrite removes the old tag only as far as its frames, zero padding and footer reach;
// a header that claims more keeps every old byte behind the new tag.
TEST(Id3v2Write, NeverDropsBytesPastTheVerifiedTagEnd) {
  const Bytes title = Frame24("TIT2", Cat({{0}, Text("old")}));
  const auto n = static_cast<uint32_t>(title.size());
  const Bytes footer = Cat({Text("3DI"), {4, 0, 0x10}, SynchSafeBytes(n)});
  const Bytes v24 = ReadWholeFile(FixturePath("mutagen-v24.mp3"));
  const size_t v24Tag = v24.size() - ReadWholeFile(FixturePath("silence.mp3")).size();
  for (const auto& [original, keptFrom] : std::vector<std::pair<Bytes, size_t>>{
           {v24, v24Tag},
           {Cat({V2Header(4, 0x10, n), title, footer, kAudio}), 20 + n},
           {ReadWholeFile(FixturePath("mutagen-v24-size-past-padding.mp3")), 0},
           {Cat({V2Header(4, 0, 100000), title, kAudio}), 0},
           {Cat({V2Header(4, 0x10, n), title, kAudio}), 0}}) {
    TTempFile file(original);
    TId3v2Tags tags;
    tags.SetTitle(u"new");
    ASSERT_TRUE(tags.WriteToFile(file.Fd(), false));
    const Bytes content = file.Content();
    EXPECT_EQ(Bytes(content.begin() + 32, content.end()),  // after the new 32-byte tag
              Bytes(original.begin() + static_cast<ptrdiff_t>(keptFrom), original.end()));
  }
}

// ---------------------------------------------------------------- beyond 4 GiB

TEST(LargeFile, TagsBeyondFourGiB) {
  TTempFile file;
  const int64_t size = (int64_t{5} << 30) + 12345;
  ASSERT_EQ(ftruncate(file.Fd(), size), 0);     // sparse
  const int64_t v2At = (int64_t{9} << 29) + 7;  // 4.5 GiB
  const Bytes tag = V2Tag(3, Frame23("TIT2", Cat({{0}, Text("far")})), 5);
  ASSERT_EQ(pwrite(file.Fd(), tag.data(), tag.size(), v2At), static_cast<ssize_t>(tag.size()));

  lseek(file.Fd(), v2At, SEEK_SET);
  EXPECT_TRUE(TId3v2Tags::Presents(file.Fd()));
  EXPECT_EQ(file.Position(), v2At);
  TId3v2Tags v2;
  ASSERT_TRUE(v2.ReadFromFile(file.Fd()));
  EXPECT_EQ(v2.Title(), u"far");
  EXPECT_EQ(file.Position(), v2At + static_cast<int64_t>(tag.size()));

  TId3v1Tags v1;
  v1.SetTitle("end");
  ASSERT_TRUE(v1.WriteToFile(file.Fd(), false));
  v1.SetTitle("end again");
  ASSERT_TRUE(v1.WriteToFile(file.Fd(), false));
  EXPECT_EQ(lseek(file.Fd(), 0, SEEK_END), size + 128);
  lseek(file.Fd(), 0, SEEK_SET);
  EXPECT_TRUE(TId3v1Tags::Presents(file.Fd()));
  TId3v1Tags back;
  ASSERT_TRUE(back.ReadFromFile(file.Fd()));
  EXPECT_EQ(back.Title(), "end again");
}
