#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Component.h"
#include "platform/Exception.h"
#include "tags/AuTags.h"

using namespace tunevert;

namespace {

std::vector<std::string> AllIds(const TAuTags& tags) {
  std::vector<std::string> ids;
  for (int32_t i = 0; i < tags.IdCount(); ++i) ids.push_back(tags.Ids(i));
  return ids;
}

// Exposes DeclareId to check the declaration rules on a bare container.
class TProbeTags : public TAuTags {
 public:
  using TAuTags::DeclareId;
};

}  // namespace

TEST(TagValue, EqualityByContentAcrossKinds) {
  EXPECT_EQ(TVariant(), TVariant());
  EXPECT_NE(TVariant(), TVariant(std::string()));
  EXPECT_NE(TVariant(), TVariant(int32_t{0}));
  EXPECT_EQ(TVariant(uint8_t{12}), TVariant(int32_t{12}));
  EXPECT_EQ(TVariant(uint32_t{4000000000u}), TVariant(uint32_t{4000000000u}));
  EXPECT_NE(TVariant(uint32_t{4294967295u}), TVariant(int32_t{-1}));
  EXPECT_EQ(TVariant("Caf\xE9"), TVariant(u"Café"));
  EXPECT_NE(TVariant("abc"), TVariant("ABC"));
  EXPECT_NE(TVariant("12"), TVariant(int32_t{12}));
}

TEST(TagValue, IntegerParsing) {
  EXPECT_EQ(ParseInt32("2012"), 2012);
  EXPECT_EQ(ParseInt32("  -7 "), -7);
  EXPECT_EQ(ParseInt32("+5"), 5);
  EXPECT_FALSE(ParseInt32("+-5"));
  EXPECT_FALSE(ParseInt32("2012-05-01"));
  EXPECT_FALSE(ParseInt32(""));
  EXPECT_FALSE(ParseInt32("99999999999"));
}

TEST(TagContainer, IdsAreCaseInsensitiveSortedAndFirstDeclarationWins) {
  TProbeTags tags;
  tags.DeclareId("beta", "first");
  tags.DeclareId("Alpha", TVariant());
  tags.DeclareId("BETA", "second");
  tags.DeclareId("", "ignored");
  tags.DeclareId("gamma", int32_t{3});
  EXPECT_EQ(AllIds(tags), (std::vector<std::string>{"Alpha", "beta", "gamma"}));
  EXPECT_EQ(tags.AsString("Beta"), "first");
  EXPECT_EQ(tags.Ids(-1), "");
  EXPECT_EQ(tags.Ids(tags.IdCount()), "");
  // Declaring touches neither flag.
  EXPECT_TRUE(tags.Empty());
  EXPECT_FALSE(tags.Changed());

  TVorbisTags vorbis;
  vorbis.SetValue("TITLE", u"Loud");
  EXPECT_EQ(vorbis.Title(), u"Loud");
  vorbis.SetTitle(u"Quiet");
  EXPECT_EQ(vorbis.AsWideString("Title"), u"Quiet");
}

TEST(TagContainer, FamiliesDeclareTheirIdsWithInitialValues) {
  EXPECT_EQ(TCommonTags().IdCount(), 6);
  EXPECT_EQ(TId3v1Tags().IdCount(), 7);
  EXPECT_EQ(TId3v2Tags().IdCount(), 24);
  EXPECT_EQ(TAPEv2Tags().IdCount(), 25);
  EXPECT_EQ(TVorbisTags().IdCount(), 12);

  EXPECT_EQ(AllIds(TCommonTags()),
            (std::vector<std::string>{"Album", "Artist", "Genre", "Title", "Track", "Year"}));
  TCommonTags common;
  EXPECT_TRUE(common.Values("Title").IsWide());
  EXPECT_EQ(common.Title(), u"");
  TId3v1Tags v1;
  EXPECT_EQ(v1.GenreId(), 12);
  EXPECT_EQ(v1.Genre(), "Other");
  EXPECT_TRUE(v1.Values("title").IsNull());
  TAPEv2Tags ape;
  ape.SetBarCode("0123");
  EXPECT_EQ(ape.AsString("EAN/UPC"), "0123");
  ape.SetValue("Year", u"1984");
  EXPECT_EQ(ape.Year(), "1984");
}

TEST(TagContainer, EmptyAndChangedTransitions) {
  TCommonTags tags;
  EXPECT_TRUE(tags.Empty());
  EXPECT_FALSE(tags.Changed());
  // Equal to the stored empty text: no change at all.
  tags.SetTitle(u"");
  EXPECT_TRUE(tags.Empty());
  EXPECT_FALSE(tags.Changed());
  // Undeclared ids are neither added nor counted as changes.
  tags.SetValue("Composer", u"x");
  EXPECT_TRUE(tags.Values("Composer").IsNull());
  EXPECT_EQ(tags.IdCount(), 6);
  EXPECT_FALSE(tags.Changed());

  tags.SetTitle(u"Song");
  EXPECT_FALSE(tags.Empty());
  EXPECT_TRUE(tags.Changed());
  tags.Clear();
  EXPECT_TRUE(tags.Empty());
  EXPECT_TRUE(tags.Changed());
  EXPECT_TRUE(tags.Values("Title").IsNull());
  EXPECT_EQ(tags.IdCount(), 6);

  TId3v1Tags fresh;
  fresh.Clear();
  EXPECT_TRUE(fresh.Changed());
  EXPECT_EQ(fresh.GenreId(), 0);
  EXPECT_EQ(fresh.Genre(), "Blues");
}

TEST(TagContainer, Conversions) {
  TId3v1Tags tags;
  tags.SetValue("year", int32_t{2012});
  EXPECT_EQ(tags.AsString("year"), "2012");
  EXPECT_EQ(tags.AsWideString("year"), u"2012");
  tags.SetValue("title", "2012");
  EXPECT_EQ(tags.AsInteger("title"), 2012);
  tags.SetValue("title", u"2012-05-01");
  EXPECT_EQ(tags.AsInteger("title"), 0);
  tags.SetValue("title", "Caf\xE9");
  EXPECT_EQ(tags.AsWideString("title"), u"Café");
  tags.SetValue("title", u"Snow ☃");
  EXPECT_EQ(tags.Title(), "Snow ?");
  EXPECT_EQ(tags.AsInteger("nothing"), 0);
  EXPECT_EQ(tags.AsString("nothing"), "");
  EXPECT_TRUE(tags.Values("nothing").IsNull());

  tags.SetValue("artist", int32_t{42});
  tags.SetValue("title", int32_t{42});
  EXPECT_EQ(tags.Artist(), "");
  EXPECT_EQ(tags.Title(), "42");
  tags.SetArtist("Someone");
  EXPECT_EQ(tags.Artist(), "Someone");

  tags.SetYear(65535);
  EXPECT_EQ(tags.Year(), 65535);
  EXPECT_EQ(tags.AsString("year"), "65535");
}

TEST(TagContainer, GenreByNameAndOutOfRangeIds) {
  TId3v1Tags tags;
  tags.SetGenre("  rock \t");
  EXPECT_EQ(tags.GenreId(), 17);
  tags.SetGenre("Rock and Roll");
  EXPECT_EQ(tags.GenreId(), 17);
  tags.SetGenre("rock & roll");
  EXPECT_EQ(tags.GenreId(), 78);
  EXPECT_EQ(tags.Genre(), "Rock & Roll");
  tags.SetGenre("SYNTHPOP");
  EXPECT_EQ(tags.GenreId(), 147);

  tags.SetValue("genre", int32_t{200});
  EXPECT_EQ(tags.GenreId(), 12);
  tags.SetValue("genre", int32_t{-1});
  EXPECT_EQ(tags.GenreId(), 12);
  tags.SetValue("genre", u"148");
  EXPECT_EQ(tags.GenreId(), 12);
  tags.SetValue("genre", "147");
  EXPECT_EQ(tags.Genre(), "Synthpop");
  tags.SetValue("genre", "Jazz");
  EXPECT_EQ(tags.GenreId(), 0);

  // Spot checks of the table where names are easy to get wrong.
  EXPECT_EQ(Id3v1Genres[22], "Death metal");
  EXPECT_EQ(Id3v1Genres[40], "Alt. Rock");
  EXPECT_EQ(Id3v1Genres[85], "Bebob");
  EXPECT_EQ(Id3v1Genres[133], "Negerpunk");
  EXPECT_EQ(Id3v1Genres[136], "Christian Gangsta Rap");
}

TEST(TagContainer, Id3v2PropertiesFollowTheIdSet) {
  TId3v2Tags tags;
  EXPECT_TRUE(tags.New());
  tags.SetTitle(u"Four");
  tags.SetYear("1999");
  EXPECT_EQ(tags.AsWideString("TIT2"), u"Four");
  EXPECT_EQ(tags.AsString("TYER"), "1999");
  EXPECT_TRUE(tags.Values("TT2").IsNull());
  tags.SetLink(u"http://x");
  EXPECT_EQ(tags.AsWideString("WXXX"), u"http://x");
}

TEST(TagAssign, FamiliesMeetThroughSameNamedIdsKeepingKinds) {
  TId3v1Tags v1;
  v1.SetTitle("Title");
  v1.SetGenreId(17);
  v1.SetComment("comment has no partner");
  TCommonTags common;
  common.SetArtist(u"Stale");
  common.Assign(&v1);
  EXPECT_EQ(common.Title(), u"Title");
  EXPECT_EQ(common.Genre(), u"17");
  EXPECT_TRUE(common.Values("Genre").IsInteger());
  EXPECT_TRUE(common.Values("Artist").IsNull());  // cleared, the source's value is null
  EXPECT_TRUE(common.Changed());
  EXPECT_FALSE(common.Empty());

  // A fresh common container holds empty texts, which count as values.
  TId3v1Tags target;
  target.Assign(&common);
  TCommonTags blank;
  target.Assign(&blank);
  EXPECT_FALSE(target.Empty());
  EXPECT_TRUE(target.Values("title").IsWide());
  EXPECT_EQ(target.GenreId(), 0);  // empty text is not a number
  EXPECT_TRUE(target.Values("comment").IsNull());

  TCommonTags named;
  named.SetGenre(u"300");
  target.Assign(&named);
  EXPECT_EQ(target.GenreId(), 12);
  named.SetGenre(u"5");
  target.Assign(&named);
  EXPECT_EQ(target.Genre(), "Funk");

  // Vorbis meets the common container on four ids only.
  TCommonTags full;
  full.SetTitle(u"T");
  full.SetAlbum(u"A");
  full.SetYear("2001");
  full.SetTrack("3");
  TVorbisTags vorbis;
  vorbis.Assign(&full);
  EXPECT_EQ(vorbis.Title(), u"T");
  EXPECT_EQ(vorbis.Album(), u"A");
  EXPECT_TRUE(vorbis.Values("date").IsNull());
  EXPECT_TRUE(vorbis.Values("tracknumber").IsNull());

  // ID3v2 frame ids meet nobody.
  TId3v2Tags v2;
  v2.Assign(&full);
  EXPECT_TRUE(v2.Empty());
  EXPECT_TRUE(v2.Changed());
}

TEST(TagAssign, AssignToMirrorsAssignAndSelfAssignKeepsValues) {
  TAPEv2Tags ape;
  ape.SetTitle(u"Ape");
  ape.SetTrack("9");
  TCommonTags common;
  TPersistent& source = ape;
  common.Assign(&source);
  EXPECT_EQ(common.Title(), u"Ape");
  EXPECT_EQ(common.Track(), "9");

  common.Assign(&common);
  EXPECT_EQ(common.Title(), u"Ape");
}

TEST(TagAssign, NonContainersAreRefused) {
  TCommonTags tags;
  auto component = MakeComponent<TComponent>(nullptr);
  try {
    tags.Assign(component.get());
    FAIL() << "no exception";
  } catch (const EAuException&) {
    FAIL() << "wrong class";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TComponent to a TCommonTags");
  }
}
