#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Component.h"
#include "platform/Exception.h"
#include "tags/AuTags.h"

using namespace tunevert;

namespace {

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
  EXPECT_NE(TVariant(uint32_t{4294967295u}), TVariant(int32_t{-1}));
  EXPECT_EQ(TVariant("Caf\xE9"), TVariant(u"Café"));
  EXPECT_NE(TVariant("abc"), TVariant("ABC"));
  EXPECT_NE(TVariant("12"), TVariant(int32_t{12}));
}

TEST(TagContainer, IdsAreCaseInsensitiveSortedAndFirstDeclarationWins) {
  TProbeTags tags;
  tags.DeclareId("beta", "first");
  tags.DeclareId("Alpha", TVariant());
  tags.DeclareId("BETA", "second");
  tags.DeclareId("", "ignored");
  tags.DeclareId("gamma", int32_t{3});
  std::vector<std::string> ids;
  for (int32_t i = 0; i < tags.IdCount(); ++i) ids.push_back(tags.Ids(i));
  EXPECT_EQ(ids, (std::vector<std::string>{"Alpha", "beta", "gamma"}));
  EXPECT_EQ(tags.AsString("Beta"), "first");
  EXPECT_EQ(tags.Ids(-1), "");
  EXPECT_EQ(tags.Ids(tags.IdCount()), "");
  EXPECT_TRUE(tags.Empty());
  EXPECT_FALSE(tags.Changed());

  TVorbisTags vorbis;
  vorbis.SetValue("TITLE", u"Loud");
  EXPECT_EQ(vorbis.Title(), u"Loud");
}

TEST(TagContainer, FamiliesDeclareTheirIdsWithInitialValues) {
  EXPECT_EQ(TCommonTags().IdCount(), 6);
  EXPECT_EQ(TId3v1Tags().IdCount(), 7);
  EXPECT_EQ(TId3v2Tags().IdCount(), 24);
  EXPECT_EQ(TAPEv2Tags().IdCount(), 25);
  EXPECT_EQ(TVorbisTags().IdCount(), 12);
  EXPECT_TRUE(TCommonTags().Values("Title").IsWide());
  TId3v1Tags v1;
  EXPECT_EQ(v1.Genre(), "Other");
  EXPECT_TRUE(v1.Values("title").IsNull());
}

TEST(TagContainer, EmptyAndChangedTransitions) {
  TCommonTags tags;
  tags.SetTitle(u"");               // equal to the stored empty text
  tags.SetValue("Composer", u"x");  // not declared
  EXPECT_TRUE(tags.Empty());
  EXPECT_FALSE(tags.Changed());
  EXPECT_EQ(tags.IdCount(), 6);

  tags.SetTitle(u"Song");
  EXPECT_FALSE(tags.Empty());
  EXPECT_TRUE(tags.Changed());
  tags.Clear();
  EXPECT_TRUE(tags.Empty());
  EXPECT_TRUE(tags.Changed());
  EXPECT_TRUE(tags.Values("Title").IsNull());

  TId3v1Tags fresh;
  fresh.Clear();
  EXPECT_TRUE(fresh.Changed());
  EXPECT_EQ(fresh.Genre(), "Blues");  // null genre reads as 0
}

TEST(TagContainer, Conversions) {
  TId3v1Tags tags;
  tags.SetValue("year", int32_t{2012});
  EXPECT_EQ(tags.AsWideString("year"), u"2012");
  tags.SetValue("title", " 2012 ");
  EXPECT_EQ(tags.AsInteger("title"), 2012);
  for (const char16_t* bad : {u"2012-05-01", u"+-5", u"", u"99999999999"}) {
    tags.SetValue("title", bad);
    EXPECT_EQ(tags.AsInteger("title"), 0);
  }
  tags.SetValue("title", u"Snow ☃");
  EXPECT_EQ(tags.Title(), "Snow ?");
  EXPECT_EQ(tags.AsInteger("nothing"), 0);
  EXPECT_TRUE(tags.Values("nothing").IsNull());

  tags.SetValue("artist", int32_t{42});
  tags.SetValue("title", int32_t{42});
  EXPECT_EQ(tags.Artist(), "");
  EXPECT_EQ(tags.Title(), "42");
}

TEST(TagContainer, GenreByNameAndOutOfRangeIds) {
  TId3v1Tags tags;
  tags.SetGenre("  rock \t");
  EXPECT_EQ(tags.GenreId(), 17);
  tags.SetGenre("Rock and Roll");
  EXPECT_EQ(tags.GenreId(), 17);
  tags.SetGenre("rock & roll");
  EXPECT_EQ(tags.GenreId(), 78);
  tags.SetGenre("SYNTHPOP");
  EXPECT_EQ(tags.GenreId(), 147);
  for (const TVariant& v : {TVariant(int32_t{200}), TVariant(int32_t{-1}), TVariant(u"148")}) {
    tags.SetValue("genre", v);
    EXPECT_EQ(tags.GenreId(), 12);
  }
  tags.SetValue("genre", "Jazz");  // not a number
  EXPECT_EQ(tags.GenreId(), 0);
  EXPECT_EQ(Id3v1Genres[22], "Death metal");
  EXPECT_EQ(Id3v1Genres[136], "Christian Gangsta Rap");
}

TEST(TagAssign, FamiliesMeetThroughSameNamedIdsKeepingKinds) {
  TId3v1Tags v1;
  v1.SetTitle("Title");
  v1.SetGenreId(17);
  TCommonTags common;
  common.SetArtist(u"Stale");
  common.Assign(&v1);
  EXPECT_EQ(common.Title(), u"Title");
  EXPECT_EQ(common.Genre(), u"17");
  EXPECT_TRUE(common.Values("Genre").IsInteger());
  EXPECT_TRUE(common.Values("Artist").IsNull());
  EXPECT_TRUE(common.Changed());

  // A fresh common container holds empty texts, which count as values.
  TId3v1Tags target;
  TCommonTags blank;
  target.Assign(&blank);
  EXPECT_FALSE(target.Empty());
  EXPECT_EQ(target.GenreId(), 0);
  EXPECT_TRUE(target.Values("comment").IsNull());

  blank.SetGenre(u"5");
  blank.SetYear("2001");
  target.Assign(&blank);
  EXPECT_EQ(target.Genre(), "Funk");
  TVorbisTags vorbis;
  vorbis.Assign(&blank);
  EXPECT_EQ(vorbis.Genre(), u"5");
  EXPECT_TRUE(vorbis.Values("date").IsNull());
  TId3v2Tags v2;  // frame ids meet nobody
  v2.Assign(&blank);
  EXPECT_TRUE(v2.Empty());
}

TEST(TagAssign, SelfAssignKeepsValuesAndNonContainersAreRefused) {
  TCommonTags tags;
  tags.SetTitle(u"Kept");
  tags.Assign(&tags);
  EXPECT_EQ(tags.Title(), u"Kept");

  auto component = MakeComponent<TComponent>(nullptr);
  auto expectError = [](auto&& action, const char* message) {
    try {
      action();
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(dynamic_cast<const EAuException*>(&e), nullptr);
      EXPECT_STREQ(e.what(), message);
    }
  };
  expectError([&] { tags.Assign(component.get()); }, "Cannot assign a TComponent to a TCommonTags");
  expectError([&] { component->Assign(&tags); }, "Cannot assign a TCommonTags to a TComponent");
}
