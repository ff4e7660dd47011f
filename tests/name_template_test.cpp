// Output names made of tags: the template, the names it gives, and the plan built on them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <unordered_set>
#include <vector>

#include "AppTestFiles.h"
#include "app/BatchPlan.h"
#include "app/NameTemplate.h"
#include "platform/Exception.h"
#include "platform/Text.h"
#include "tags/TagLibMeta.h"

using namespace tunevert;
using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

std::string Expand(const std::string& Template, const TNameFields& Fields, bool Portable = false,
                   const std::string& Extension = ".mp3") {
  return TNameTemplate(Template).Expand(Fields, Extension, Portable);
}

std::string TemplateError(const std::string& Template) {
  try {
    TNameTemplate parsed(Template);
  } catch (const EAuException& e) {
    return e.what();
  }
  return "accepted";
}

// Every part of a path: within 255 bytes, and text that decodes without a replaced byte.
void ExpectSafeParts(const std::string& Path) {
  for (const auto& part : fs::path(Path)) {
    const std::string name = part.string();
    EXPECT_LE(name.size(), 255u) << Path;
    EXPECT_EQ(Utf8TextToUtf16(name).find(u'\uFFFD'), std::u16string::npos) << name;
  }
}

void Touch(const std::string& Path) {
  fs::create_directories(fs::path(Path).parent_path());
  WriteAll(Path, {'x'});
}

std::vector<std::string> Names(const std::vector<TPlannedOutput>& Plan) {
  std::vector<std::string> names;
  for (const auto& p : Plan) names.push_back(p.SkipReason.empty() ? p.FinalName : "skip");
  return names;
}

const TNameFields kAbba = {{"artist", "ABBA"},
                           {"albumartist", "Various"},
                           {"album", "Gold"},
                           {"title", "Waterloo"},
                           {"track", "3"},
                           {"tracktotal", "19"},
                           {"disc", "1"},
                           {"disctotal", "2"},
                           {"year", "1974"},
                           {"genre", "Pop"},
                           {"composer", "Andersson"},
                           {"source", "01 waterloo"},
                           {"folder", "rips/gold"}};

}  // namespace

TEST(NameTemplate, FieldsWidthsAndAlternatives) {
  EXPECT_EQ(Expand("{artist} {albumartist} {album} {title} {track}/{tracktotal} {disc}-"
                   "{disctotal} {year} {genre} {composer} {source}",
                   kAbba),
            "ABBA Various Gold Waterloo 3/19 1-2 1974 Pop Andersson 01 waterloo.mp3");
  // Field names in any case; spaces around alternatives.
  EXPECT_EQ(Expand("{ARTIST}/{Album}", kAbba), "ABBA/Gold.mp3");
  EXPECT_EQ(Expand("{folder}/{track:02} {title}", kAbba), "rips/gold/03 Waterloo.mp3");
  EXPECT_EQ(Expand("{track:3}|{year:02}|{disc:02}", {{"track", "0007"}, {"year", "1974"}}),
            "007|1974|01.mp3");
  // A value that is no number stays as it is.
  EXPECT_EQ(Expand("{track:02}", {{"track", "A1"}}), "A1.mp3");
  EXPECT_EQ(Expand("{albumartist | artist}", {{"artist", "ABBA"}, {"albumartist", "  "}}),
            "ABBA.mp3");
  EXPECT_EQ(Expand("{albumartist|artist|Nobody}", {}), "Nobody.mp3");
  EXPECT_EQ(Expand("{composer|artist}", {}), "Unknown Artist.mp3");
  EXPECT_EQ(Expand("{{{title}}} 100{{%}}", kAbba), "{Waterloo} 100{%}.mp3");

  // Only what is not {source} or {folder} needs tags read.
  EXPECT_FALSE(TNameTemplate("{folder}/{source}").UsesTags());
  EXPECT_TRUE(TNameTemplate("{source|title}").UsesTags());
}

TEST(NameTemplate, FieldsComeFromCarriedTagsAndTheSource) {
  TCarriedTags tags;
  tags.Text = {{"ARTIST", {" First ", "Second"}}, {"TITLE", {""}},     {"DATE", {"1999-05-04"}},
               {"TRACKNUMBER", {"3/12"}},         {"GENRE", {"Jazz"}}, {"COMMENT", {"x"}}};
  const TNameFields fields = NameFieldsFor({"/music/in/a/b/07 Song.final.flac", "a/b/"}, tags);
  const TNameFields expected = {{"artist", "First, Second"},
                                {"year", "1999"},
                                {"track", "3"},
                                {"tracktotal", "12"},
                                {"genre", "Jazz"},
                                {"source", "07 Song.final"},
                                {"folder", "a/b"}};
  EXPECT_EQ(fields, expected);
  tags.Text = {{"DATE", {"May 1999"}}};
  EXPECT_EQ(NameFieldsFor({"x.wav", ""}, tags),
            (TNameFields{{"year", "May 1999"}, {"source", "x"}}));
}

TEST(NameTemplate, MissingFieldsFallBackAndEmptyFoldersAreDropped) {
  const TNameFields bare = {{"source", "take 5"}};
  EXPECT_EQ(Expand("{albumartist}/{album} ({year})/{disc}-{track:02} {title}", bare),
            "Unknown Artist/Unknown Album (Unknown Year)/1-00 take 5.mp3");
  EXPECT_EQ(Expand("{genre}/{composer} - {title}", {}),
            "Unknown Genre/Unknown Composer - Unknown Title.mp3");
  // A file given by itself has no folder: no empty folder name is made.
  EXPECT_EQ(Expand("x/{folder}/{source}", bare), "x/take 5.mp3");
  EXPECT_EQ(Expand("{folder}", bare), "take 5.mp3");
}

TEST(NameTemplate, UnsafeCharactersWithAndWithoutPortableNames) {
  const TNameFields fields = {{"artist", "AC/DC"},
                              {"album", "What?\t\"Now\": <1|2> \\*"},
                              {"title", std::string("Nul\0Byte\x7F", 9)},
                              {"genre", "..hidden"},
                              {"year", "Dots... "}};
  EXPECT_EQ(Expand("{artist}/{album}/{title}", fields),
            "AC_DC/What?_\"Now\": <1|2> \\*/Nul_Byte_.mp3");
  EXPECT_EQ(Expand("{artist}/{album}/{title}", fields, true),
            "AC_DC/What___Now__ _1_2_ __/Nul_Byte_.mp3");
  // No hidden names; Windows drops trailing dots and spaces, so portable names have none.
  EXPECT_EQ(Expand("{genre}/{year}/{year}", fields), "_..hidden/Dots.../Dots....mp3");
  EXPECT_EQ(Expand("{genre}/{year}/{year}", fields, true), "_..hidden/Dots/Dots.mp3");
  EXPECT_EQ(Expand("{title}", {{"title", "..."}}, true), "_.mp3");
  // Literal text takes the same treatment.
  EXPECT_EQ(Expand("{artist}: {title}", {{"artist", "A"}, {"title", "B"}}, true), "A_ B.mp3");

  // Names Windows keeps for devices, in any case, with an extension or more.
  for (const auto& [title, portable] :
       std::vector<std::pair<std::string, std::string>>{{"CON", "CON_.mp3"},
                                                        {"con", "con_.mp3"},
                                                        {"Aux.live", "Aux_.live.mp3"},
                                                        {"nul ", "nul_.mp3"},
                                                        {"COM1", "COM1_.mp3"},
                                                        {"lpt9", "lpt9_.mp3"},
                                                        {"COM0", "COM0.mp3"},
                                                        {"CONSOLE", "CONSOLE.mp3"}}) {
    EXPECT_EQ(Expand("{title}", {{"title", title}}, true), portable);
    EXPECT_EQ(Expand("{title}/x", {{"title", title}}, true),
              fs::path(portable).stem().string() + "/x.mp3");
  }
  EXPECT_EQ(Expand("{title}", {{"title", "CON"}}), "CON.mp3");
}

TEST(NameTemplate, LongPartsAreCutAtACharacterAndKeepTheExtension) {
  TempDir dir;
  std::string japanese;
  for (int i = 0; i < 100; ++i) japanese += "日本";  // 600 bytes
  std::string emoji = "a";
  for (int i = 0; i < 80; ++i) emoji += "🎵";  // 321 bytes: 4-byte characters off by one
  for (const bool portable : {false, true}) {
    const std::string name =
        Expand("{album}/{title}", {{"album", emoji}, {"title", japanese}}, portable, ".opus");
    const std::string album = name.substr(0, name.find('/'));
    const std::string file = name.substr(name.find('/') + 1);
    EXPECT_EQ(album.size(), 253u);  // 1 + 63 * 4
    EXPECT_EQ(file.size(), 249u + 5);
    EXPECT_TRUE(japanese.starts_with(file.substr(0, file.size() - 5)));
    EXPECT_TRUE(file.ends_with(".opus"));
    ExpectSafeParts(name);
    // The file system takes it.
    Touch(dir / name);
    EXPECT_TRUE(fs::exists(dir / name));
  }

  // Two tracks of one title: the second is numbered, still within 255 bytes.
  const std::string out = dir / "out/";
  const std::vector<TNameFields> fields(2, {{"title", japanese}, {"album", "A"}});
  const auto plan = PlanOutputs(
      {{dir / "1.flac", ""}, {dir / "2.flac", ""}},
      {out, ".mp3", false, TExistingOutput::Overwrite, false, "{album}/{title}"}, &fields);
  ASSERT_EQ(plan.size(), 2u);
  EXPECT_FALSE(plan[0].Numbered);
  EXPECT_TRUE(plan[1].Numbered);
  EXPECT_TRUE(plan[1].FinalName.ends_with(" (2).mp3"));
  EXPECT_EQ(plan[1].Plain, plan[0].FinalName);
  ExpectSafeParts(plan[1].FinalName.substr(out.size()));
  Touch(plan[1].FinalName);
  // Found by fuzzing: a device name that only shows once the part is cut and trimmed, and a
  // source name with '/' standing in for an empty file name.
  EXPECT_EQ(TNameTemplate("{artist}/x")
                .Expand({{"artist", "CON" + std::string(300, ' ') + "x"}}, ".mp3", true),
            "CON_/x.mp3");
  EXPECT_EQ(TNameTemplate("{folder}").Expand({{"source", "a/b"}}, ".mp3", false), "a_b.mp3");
}

TEST(NameTemplate, MalformedTemplatesSayWhatAndWhere) {
  for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
           {"", "The name template is empty"},
           {"  ", "The name template is empty"},
           {"//", "names no file, only '/'"},
           {"/{title}", "'/' at the start would leave the output folder at position 1"},
           {"{artist}/", "'/' at the end leaves the file without a name at position 9"},
           {"a//b", "empty folder name \"//\" at position 2"},
           {"../{title}", "folder \"..\" would leave the name's folders at position 1"},
           {"{artist}/ . /{title}", "folder \".\" would leave the name's folders at position 10"},
           {"é{title", "'{' without '}' (write \"{{\" for a brace) at position 2"},
           {"{artist{title}", "'{' without '}' (write \"{{\" for a brace) at position 1"},
           {"{title}}", "'}' without '{' (write \"}}\" for a brace) at position 8"},
           {"x {artst}", "unknown field {artst} at position 3"},
           {"{Unknown|artist}", "unknown field {Unknown} at position 1"},
           {"{}", "empty field name in {} at position 1"},
           {"{artist||x}", "empty field name in {artist||x} at position 1"},
           {"{track:}",
            "bad width \"\" in {track:}: give the digits, 1 to 10, as in {track:02} at "
            "position 1"},
           {"{track:x2}", "bad width \"x2\""},
           {"{track:0}", "bad width \"0\""},
           {"{track:11}", "bad width \"11\""},
       }) {
    EXPECT_NE(TemplateError(text).find(message), std::string::npos)
        << text << ": " << TemplateError(text);
  }
  // What looks odd but is fine.
  EXPECT_EQ(TemplateError("..{title}/.x"), "accepted");
  EXPECT_THROW(PlanOutputs({{"a.flac", ""}},
                           {"/out/", ".mp3", false, TExistingOutput::Overwrite, false, "{nope}"}),
               EAuException);
}

TEST(NameTemplatePlan, CollisionsCopiesAndOwnedFiles) {
  TempDir dir;
  const std::string out = dir / "out/";
  const std::vector<TBatchSource> sources = {{dir / "in/1.flac", ""},
                                             {dir / "in/2.flac", ""},
                                             {dir / "in/3.mp3", ""},
                                             {dir / "in/4.MP3", ""}};
  const std::vector<TNameFields> fields = {
      {{"album", "Live"}, {"title", "Intro"}},
      {{"album", "Live"}, {"title", "INTRO"}},  // one file on a FAT drive
      {{"album", "Live"}, {"title", "Intro"}},
      {{"album", "Live"}, {"title", "Outro"}}};
  TOutputPlanOptions options{out, ".opus"};
  options.NameTemplate = "{album}/{title}";
  options.CopyFormats = {"mp3"};
  auto plan = PlanOutputs(sources, options, &fields);
  EXPECT_EQ(Names(plan),
            (std::vector<std::string>{out + "Live/Intro.opus", out + "Live/INTRO (2).opus",
                                      out + "Live/Intro.mp3", out + "Live/Outro.MP3"}));
  EXPECT_EQ((std::vector<bool>{plan[0].Copy, plan[1].Copy, plan[2].Copy, plan[3].Copy}),
            (std::vector<bool>{false, false, true, true}));

  // Taken on disk after planning: the next free number of the planned name, not the source's.
  Touch(out + "Live/INTRO (2).opus");
  Touch(out + "Live/INTRO (3).opus");
  std::vector<std::string> files;
  for (const auto& s : sources) files.push_back(s.File);
  EXPECT_EQ(RenumberedOutput(files, plan, 1, ".opus"), out + "Live/INTRO (4).opus");

  // A mirror replaces what it wrote and never anything else, whatever Existing says.
  fs::remove_all(out);
  Touch(out + "Live/Intro.opus");      // someone else's
  Touch(out + "Live/Intro (2).opus");  // ours from before: taken again
  Touch(out + "Live/Outro.MP3");       // ours
  const std::unordered_set<std::string> owned = {out + "Live/Intro (2).opus",
                                                 out + "Live/Outro.MP3"};
  options.Owned = &owned;
  for (const auto existing : {TExistingOutput::Overwrite, TExistingOutput::Skip}) {
    options.Existing = existing;
    plan = PlanOutputs(sources, options, &fields);
    EXPECT_EQ(Names(plan),
              (std::vector<std::string>{out + "Live/Intro (2).opus", out + "Live/INTRO.opus",
                                        out + "Live/Intro.mp3", out + "Live/Outro.MP3"}));
  }

  // An unchanged mirror entry keeps its earlier name; the others are planned around it.
  options.Owned = nullptr;
  options.Existing = TExistingOutput::Overwrite;
  const std::vector<std::string> fixed = {"", out + "Live/Intro.opus", "", ""};
  plan = PlanOutputs(sources, options, &fields, &fixed);
  EXPECT_EQ(plan[1].FinalName, out + "Live/Intro.opus");
  EXPECT_EQ(plan[0].FinalName, out + "Live/Intro (2).opus");
}

TEST(NameTemplatePlan, PortableNamesWithoutATemplateKeepTheTree) {
  TempDir dir;
  const std::string out = dir / "out/";
  TOutputPlanOptions options{out, ".mp3", true};
  options.PortableNames = true;
  const auto plan = PlanOutputs({{dir / "in/aux./What?.flac", "aux./"}}, options);
  EXPECT_EQ(plan[0].FinalName, out + "aux_/What_.mp3");
  options.PortableNames = false;
  EXPECT_EQ(PlanOutputs({{dir / "in/aux./What?.flac", "aux./"}}, options)[0].FinalName,
            out + "aux./What?.mp3");
}

// FFmpeg keeps a WMA file's year as "date"; the name and the carried tags both take it.
TEST(NameTemplateTags, NamesFromFilesTaggedByFFmpeg) {
  TempDir dir;
  const std::string wma = dir / "in/Any Name.wma";
  const std::string flac = dir / "in/sub/x.flac";
  fs::create_directories(dir / "in/sub");
  const std::string make = "ffmpeg -nostdin -v error -f lavfi -i anullsrc=r=8000:cl=mono -t 0.1 ";
  ASSERT_EQ(system((make + "-c:a wmav2 -b:a 32k -metadata date=1999 -metadata title=Wma " +
                    "-metadata artist=Someone " + Quoted(wma))
                       .c_str()),
            0);
  ASSERT_EQ(system((make +
                    "-metadata date=2001-02-03 -metadata title=Flac -metadata "
                    "track=4/9 -metadata album=Album " +
                    Quoted(flac))
                       .c_str()),
            0);
  const std::string probed =
      CommandOutput("ffprobe -v error -show_entries format_tags " + Quoted(wma));
  ASSERT_NE(probed.find("TAG:date=1999\n"), std::string::npos) << probed;
  ASSERT_EQ(probed.find("WM/Year"), std::string::npos) << probed;
  EXPECT_EQ(ReadCarriedTags(wma).First("DATE"), "1999");

  const auto plan = PlanOutputs({{wma, ""}, {flac, "sub/"}, {dir / "in/missing.ogg", ""}},
                                {dir / "out/", ".mp3", false, TExistingOutput::Overwrite, false,
                                 "{folder}/{year} {track:02} {artist|album} - {title}"});
  EXPECT_EQ(Names(plan),
            (std::vector<std::string>{dir / "out/1999 00 Someone - Wma.mp3",
                                      dir / "out/sub/2001 04 Album - Flac.mp3",
                                      dir / "out/Unknown Year 00 Unknown Album - missing.mp3"}));
}
