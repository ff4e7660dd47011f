#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "AppTestFiles.h"
#include "platform/Exception.h"
#include "platform/PendingOutput.h"

namespace fs = std::filesystem;
using namespace tunevert;
using namespace tunevert::testing;

namespace {

std::vector<std::string> Listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string Text(const std::string& path) {
  const auto bytes = ReadAll(path);
  return {bytes.begin(), bytes.end()};
}

// As the format outputs open their file: created if missing, truncated, links followed.
void WriteByName(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
}

// Every way this program may keep a file pending, down to a file system with neither a
// no-replace rename nor hard links.
struct TKind {
  const char* Name;
  TPendingOutput::TOptions Options;
};

std::vector<TKind> Kinds() {
  TPendingOutput::TOptions named;
  named.AnonymousFiles = false;
  TPendingOutput::TOptions noProc = named;
  noProc.ProcPaths = false;
  TPendingOutput::TOptions linkAndUnlink = named;
  linkAndUnlink.RenameNoReplace = false;
  TPendingOutput::TOptions bestEffort = linkAndUnlink;
  bestEffort.HardLinks = false;
  return {{"anonymous", {}},
          {"named", named},
          {"named without /proc", noProc},
          {"link and unlink", linkAndUnlink},
          {"look then rename", bestEffort}};
}

// Hands out the given tokens, then its last one forever.
std::function<std::string()> Tokens(std::vector<std::string> tokens) {
  auto next = std::make_shared<size_t>(0);
  return
      [tokens = std::move(tokens), next] { return tokens[std::min((*next)++, tokens.size() - 1)]; };
}

}  // namespace

TEST(PendingOutput, WritersReachTheFileByItsPathAndOnlyThePlacedNameShows) {
  for (const TKind& kind : Kinds()) {
    SCOPED_TRACE(kind.Name);
    TempDir dir;
    const std::string final = dir / "song.flac";
    {
      TPendingOutput pending(final, kind.Options);
      EXPECT_EQ(pending.Anonymous(), std::string(kind.Name) == "anonymous");
      if (pending.Anonymous()) {
        EXPECT_EQ(Listing(dir.Path), std::vector<std::string>{});
      } else {
        EXPECT_EQ(Listing(dir.Path),
                  std::vector<std::string>{fs::path(pending.TemporaryName()).filename()});
        EXPECT_EQ(pending.Path() == pending.TemporaryName(), !kind.Options.ProcPaths);
      }
      // Reopened and truncated, as the MP3 output's header rewrite and the tag writer do.
      WriteByName(pending.Path(), "a longer first version");
      WriteByName(pending.Path(), "audio");
      ASSERT_TRUE(pending.PlaceNew(final));
      EXPECT_TRUE(pending.Placed());
      EXPECT_EQ(Listing(dir.Path), std::vector<std::string>{"song.flac"});
    }
    EXPECT_EQ(Text(final), "audio");
    EXPECT_EQ(Listing(dir.Path), std::vector<std::string>{"song.flac"});
  }
}

TEST(PendingOutput, PlacingNewNeverReplacesAndReplacingDoes) {
  for (const TKind& kind : Kinds()) {
    SCOPED_TRACE(kind.Name);
    TempDir dir;
    WriteAll(dir / "song.mp3", {'o', 'l', 'd'});
    fs::create_directory(dir / "folder.mp3");
    fs::create_symlink(dir / "nowhere", dir / "dangling.mp3");
    TPendingOutput first(dir / "song.mp3", kind.Options);
    WriteByName(first.Path(), "new");
    for (const char* taken : {"song.mp3", "folder.mp3", "dangling.mp3"})
      EXPECT_FALSE(first.PlaceNew(dir / taken)) << taken;
    EXPECT_EQ(Text(dir / "song.mp3"), "old");
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
    // Still pending after each refusal, and placed at a free name.
    ASSERT_TRUE(first.PlaceNew(dir / "song (2).mp3"));
    EXPECT_EQ(Text(dir / "song (2).mp3"), "new");

    TPendingOutput second(dir / "song.mp3", kind.Options);
    WriteByName(second.Path(), "newer");
    second.PlaceReplacing(dir / "song.mp3");
    EXPECT_EQ(Text(dir / "song.mp3"), "newer");
    EXPECT_EQ(Listing(dir.Path),
              (std::vector<std::string>{"dangling.mp3", "folder.mp3", "song (2).mp3", "song.mp3"}));
  }
}

TEST(PendingOutput, WhatIsNotPlacedLeavesNothingBehind) {
  for (const TKind& kind : Kinds()) {
    SCOPED_TRACE(kind.Name);
    TempDir dir;
    {
      TPendingOutput dropped(dir / "a.ogg", kind.Options);
      WriteByName(dropped.Path(), "cut short");
    }
    TPendingOutput discarded(dir / "b.ogg", kind.Options);
    discarded.Discard();
    // A replacing placement that fails (a folder is in the way) keeps the file pending.
    fs::create_directory(dir / "c.ogg");
    TPendingOutput refused(dir / "c.ogg", kind.Options);
    EXPECT_THROW(refused.PlaceReplacing(dir / "c.ogg"), EAuException);
    EXPECT_FALSE(refused.Placed());
    refused.Discard();
    EXPECT_EQ(Listing(dir.Path), std::vector<std::string>{"c.ogg"});
  }
  TempDir dir;
  try {
    TPendingOutput nowhere(dir / "missing/a.ogg");
    ADD_FAILURE() << "created in a folder that does not exist";
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "No such file or directory");
  }
}

TEST(PendingOutput, TemporaryNamesFitTheFileSystemWhateverTheFinalNameIsLong) {
  EXPECT_EQ(PendingFileName("/o/Song.mp3", "TOKEN"), "/o/.Song.tunevert-TOKEN.mp3");
  EXPECT_EQ(PendingFileName("Song.mp3", "T"), ".Song.tunevert-T.mp3");
  // 250 bytes: "ab", 121 two-byte letters, "z", ".flac"; the cut falls inside a letter.
  std::string stem = "ab";
  for (int i = 0; i < 121; ++i) stem += "\u00E9";
  stem += "z";
  const std::string finalName = stem + ".flac";
  ASSERT_EQ(finalName.size(), 250u);
  const std::string temp = PendingFileName("/o/" + finalName, "0123456789abcdef");
  const std::string base = temp.substr(3);
  EXPECT_EQ(base.size(), static_cast<size_t>(NAME_MAX) - 1);  // one byte short: a whole letter
  EXPECT_EQ(base.substr(base.size() - 31), ".tunevert-0123456789abcdef.flac");
  const std::string visible = base.substr(1, base.size() - 32);
  EXPECT_EQ(visible, stem.substr(0, visible.size()));
  EXPECT_EQ(visible.back(), '\xA9');  // ends with the whole of "é"

  // And the file is made under such a name, where the final name fits and the old
  // ".name.tunevert-PID.ext" did not.
  TempDir dir;
  TPendingOutput::TOptions named;
  named.AnonymousFiles = false;
  TPendingOutput pending(dir / finalName, named);
  WriteByName(pending.Path(), "audio");
  ASSERT_TRUE(pending.PlaceNew(dir / finalName));
  EXPECT_EQ(Text(dir / finalName), "audio");
}

// Whoever may write to the output folder plants a link where the program could write, to
// make it overwrite the link's target; the target never changes, and every link stays as it
// was planted.
TEST(PendingOutput, LinksPlantedAtEveryNameItCouldUseLeaveTheirTargetsAlone) {
  for (const bool symbolic : {true, false}) {
    for (const TKind& kind : Kinds()) {
      SCOPED_TRACE(std::string(kind.Name) + (symbolic ? ", symbolic links" : ", hard links"));
      TempDir dir;
      fs::create_directory(dir / "out");
      const std::string victim = dir / "victim";
      WriteAll(victim, {'k', 'e', 'e', 'p'});
      const std::string final = dir / "out/song.wav";
      std::vector<std::string> planted = {
          PendingFileName(final, "guessed"),
          dir / ("out/.song.tunevert-" + std::to_string(getpid()) + ".wav"),
      };
      for (const std::string& at : planted)
        symbolic ? fs::create_symlink(victim, at) : fs::create_hard_link(victim, at);

      TPendingOutput::TOptions options = kind.Options;
      options.NameToken = Tokens({"guessed", "guessed", "fresh", "fresher"});
      TPendingOutput first(final, options);
      WriteByName(first.Path(), "first");
      EXPECT_EQ(Text(victim), "keep");
      first.PlaceReplacing(final);  // an anonymous file takes a name of its own first
      TPendingOutput second(final, options);
      WriteByName(second.Path(), "second");
      EXPECT_FALSE(second.PlaceNew(final));
      ASSERT_TRUE(second.PlaceNew(dir / "out/song (2).wav"));

      EXPECT_EQ(Text(victim), "keep");
      EXPECT_EQ(Text(final), "first");
      EXPECT_EQ(Text(dir / "out/song (2).wav"), "second");
      for (const std::string& at : planted) {
        EXPECT_EQ(fs::is_symlink(at), symbolic) << at;
        EXPECT_TRUE(fs::equivalent(at, victim)) << at;
      }
    }
  }
  // A link at the final name: refused by a new placement, replaced itself by a replacing one.
  TempDir dir;
  WriteAll(dir / "victim", {'k', 'e', 'e', 'p'});
  fs::create_symlink(dir / "victim", dir / "song.opus");
  TPendingOutput pending(dir / "song.opus");
  WriteByName(pending.Path(), "audio");
  EXPECT_FALSE(pending.PlaceNew(dir / "song.opus"));
  pending.PlaceReplacing(dir / "song.opus");
  EXPECT_FALSE(fs::is_symlink(dir / "song.opus"));
  EXPECT_EQ(Text(dir / "song.opus"), "audio");
  EXPECT_EQ(Text(dir / "victim"), "keep");
}
