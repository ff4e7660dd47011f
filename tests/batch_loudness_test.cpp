// Loudness in a batch: album values over each album and never half-written, a stopped album
// keeping its track values, albums kept whole by mirrors and shards, and normalising's first
// pass stopping and failing like a conversion.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "AppTestFiles.h"
#include "PipelineFakes.h"
#include "app/BatchConverter.h"
#include "tags/TagLibMeta.h"

using namespace tunevert;
using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

// A FLAC made by ffmpeg: a tone at a level, with the tags given ("album=A").
void MakeTrack(const std::string& Path, double Volume, const std::vector<std::string>& Tags,
               const std::string& Seconds = "2") {
  fs::create_directories(fs::path(Path).parent_path());
  std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=" +
                        std::to_string(200 + static_cast<int>(Volume * 1000)) +
                        ":duration=" + Seconds + " -af volume=" + std::to_string(Volume) + " -ac 2";
  for (const std::string& tag : Tags) command += " -metadata " + Quoted(tag);
  int status = 0;
  CommandOutput(command + " " + Quoted(Path), &status);
  ASSERT_EQ(status, 0) << Path;
}

double Db(const std::string& Text) {
  return std::strtod(Text.c_str(), nullptr);
}

// loudgain's album gain over Files.
double LoudgainAlbumGain(const std::vector<std::string>& Files) {
  std::string command = "loudgain -q -O -a";
  for (const std::string& file : Files) command += " " + Quoted(file);
  std::istringstream lines(CommandOutput(command + " 2>/dev/null"));
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("Album\t", 0) == 0) {
      std::vector<std::string> cells;
      std::istringstream row(line);
      for (std::string cell; std::getline(row, cell, '\t');) cells.push_back(cell);
      if (cells.size() > 8) return Db(cells[8]);
    }
  return NAN;
}

struct Library {
  TempDir Dir;
  std::vector<std::string> Files;
  Library() {
    // Album A of two tracks at different levels, album B of one, and two untagged files in a
    // folder of their own, which make an album of that folder.
    MakeTrack(Dir / "in/a1.flac", 0.5, {"album=A", "album_artist=X"});
    MakeTrack(Dir / "in/b1.flac", 0.3, {"album=B", "album_artist=X"});
    MakeTrack(Dir / "in/a2.flac", 0.05, {"album=A", "album_artist=X"});
    MakeTrack(Dir / "in/loose/c1.flac", 0.2, {});
    MakeTrack(Dir / "in/loose/c2.flac", 0.02, {});
    for (const char* name : {"a1", "b1", "a2", "loose/c1", "loose/c2"})
      Files.push_back(Dir / ("in/" + std::string(name) + ".flac"));
  }
};

std::map<std::string, std::string> Gains(const std::string& File) {
  const TCarriedTags tags = ReadCarriedTags(File);
  std::map<std::string, std::string> gains;
  for (const auto& [key, values] : tags.Text)
    if (key.rfind("REPLAYGAIN_", 0) == 0) gains[key] = values.front();
  return gains;
}

}  // namespace

TEST(AlbumLoudness, EachAlbumGetsItsOwnValuesAndAStoppedOneKeepsItsTrackValues) {
  Library lib;
  auto c = MakeComponent<TBatchConverter>(nullptr);
  c->ReplayGain = TReplayGain::Album;
  c->Jobs = 2;
  std::map<int, TOutputLoudness> measured;
  c->OnEntryLoudness = [&](int i, const TOutputLoudness& l) { measured[i] = l; };
  const std::string out = lib.Dir / "out/";
  ASSERT_TRUE(c->Convert(lib.Files, "flac", "", out));
  ASSERT_TRUE(PumpUntil([&] { return !c->Running(); }, 60000));
  ASSERT_EQ(c->ConvertedCount(), 5);
  EXPECT_EQ(measured.size(), 5u);
  const auto a1 = Gains(out + "a1.flac"), a2 = Gains(out + "a2.flac"), b1 = Gains(out + "b1.flac"),
             c1 = Gains(out + "c1.flac"), c2 = Gains(out + "c2.flac");
  ASSERT_EQ(a1.size(), 4u);
  EXPECT_EQ(a1.at("REPLAYGAIN_ALBUM_GAIN"), a2.at("REPLAYGAIN_ALBUM_GAIN"));
  EXPECT_EQ(a1.at("REPLAYGAIN_ALBUM_PEAK"), a2.at("REPLAYGAIN_ALBUM_PEAK"));
  EXPECT_NEAR(Db(a1.at("REPLAYGAIN_ALBUM_GAIN")), LoudgainAlbumGain({lib.Files[0], lib.Files[2]}),
              0.05);
  EXPECT_NEAR(Db(c1.at("REPLAYGAIN_ALBUM_GAIN")), LoudgainAlbumGain({lib.Files[3], lib.Files[4]}),
              0.05);
  EXPECT_EQ(c1.at("REPLAYGAIN_ALBUM_GAIN"), c2.at("REPLAYGAIN_ALBUM_GAIN"));
  // An album of one track is that track.
  EXPECT_EQ(b1.at("REPLAYGAIN_ALBUM_GAIN"), b1.at("REPLAYGAIN_TRACK_GAIN"));
  EXPECT_NE(a1.at("REPLAYGAIN_TRACK_GAIN"), a2.at("REPLAYGAIN_TRACK_GAIN"));
  EXPECT_NEAR(Db(a1.at("REPLAYGAIN_TRACK_GAIN")), -18 - measured[0].Track.Integrated, 0.006);

  // Stopped once album A's first track is finished: that track is kept, with its own values
  // and no album values, since its album was never complete.
  const std::string stopped = lib.Dir / "stopped/";
  c->Jobs = 1;
  std::vector<int> done, notConverted;
  c->OnEntryStarted = [&](int i) {
    if (i == 2) c->Cancel();
  };
  c->OnEntryDone = [&](int i, const std::string&) { done.push_back(i); };
  c->OnEntryNotConverted = [&](int i) { notConverted.push_back(i); };
  ASSERT_TRUE(c->Convert(lib.Files, "flac", "", stopped));
  ASSERT_TRUE(PumpUntil([&] { return !c->Running(); }, 60000));
  EXPECT_EQ(done, (std::vector<int>{1, 0}));  // album B complete at once, A's track at the stop
  EXPECT_EQ(notConverted, (std::vector<int>{2, 3, 4}));
  const auto kept = Gains(stopped + "a1.flac");
  EXPECT_EQ(kept.count("REPLAYGAIN_ALBUM_GAIN"), 0u);
  EXPECT_EQ(kept.at("REPLAYGAIN_TRACK_GAIN"), a1.at("REPLAYGAIN_TRACK_GAIN"));
  EXPECT_EQ(Gains(stopped + "b1.flac").count("REPLAYGAIN_ALBUM_GAIN"), 1u);
  EXPECT_TRUE(Temporaries(stopped).empty());
}

TEST(AlbumLoudness, MirrorsAndShardsKeepAlbumsWhole) {
  Library lib;
  auto c = MakeComponent<TBatchConverter>(nullptr);
  c->ReplayGain = TReplayGain::Album;
  c->Mirror = true;
  const std::string out = lib.Dir / "out/";
  std::vector<TBatchSource> sources;
  for (const std::string& file : lib.Files) sources.push_back({file, {}});
  ASSERT_TRUE(c->ConvertSources(sources, "flac", "", out));
  ASSERT_TRUE(PumpUntil([&] { return !c->Running(); }, 60000));
  ASSERT_EQ(c->ConvertedCount(), 5);

  // One changed track makes its whole album again: the album's values change with it.
  MakeTrack(lib.Files[2], 0.1, {"album=A", "album_artist=X"});
  std::vector<TEntryAction> actions;
  for (const TEntryPlan& entry : c->PreviewSources(sources, "flac", "", out).Entries)
    actions.push_back(entry.Action);
  EXPECT_EQ(actions, (std::vector<TEntryAction>{TEntryAction::Convert, TEntryAction::Leave,
                                                TEntryAction::Convert, TEntryAction::Leave,
                                                TEntryAction::Leave}));

  // Every album is converted by exactly one shard.
  c->Mirror = false;
  c->ShardCount = 3;
  std::map<std::string, std::set<int>> shardsOfAlbum;
  for (int shard = 0; shard < 3; ++shard) {
    c->ShardIndex = shard;
    const TBatchPreview preview = c->PreviewSources(sources, "flac", "", lib.Dir / "sharded");
    for (size_t i = 0; i < sources.size(); ++i)
      if (preview.Entries[i].Action != TEntryAction::OtherShard)
        shardsOfAlbum[i == 1 ? "B" : i >= 3 ? "loose" : "A"].insert(shard);
  }
  ASSERT_EQ(shardsOfAlbum.size(), 3u);
  for (const auto& [album, shards] : shardsOfAlbum) EXPECT_EQ(shards.size(), 1u) << album;
}

TEST(Normalizing, ItsFirstPassFailsAnUnreadableEntryAloneAndStopsWithTheBatch) {
  Library lib;
  const std::string damaged = lib.Dir / "in/damaged.flac";
  WriteAll(damaged, std::vector<uint8_t>(4096, 0x5a));
  auto c = MakeComponent<TBatchConverter>(nullptr);
  c->NormalizeLufs = -18;
  c->Jobs = 2;
  std::map<int, std::string> failed;
  std::map<int, TOutputLoudness> measured;
  c->OnEntryFailed = [&](int i, const std::string& m) { failed[i] = m; };
  c->OnEntryLoudness = [&](int i, const TOutputLoudness& l) { measured[i] = l; };
  const std::string loud = lib.Dir / "in/loud.flac";
  MakeTrack(loud, 6, {});
  std::vector<std::string> files = {loud, damaged, lib.Files[4]};
  ASSERT_TRUE(c->Convert(files, "wav", "", lib.Dir / "out/"));
  ASSERT_TRUE(PumpUntil([&] { return !c->Running(); }, 60000));
  EXPECT_EQ(c->ConvertedCount() + c->FailedCount(), 3);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed.begin()->first, 1);
  EXPECT_EQ(failed.begin()->second,
            "The loudness could not be measured: Not a valid or supported audio file");
  for (int i : {0, 2}) {
    ASSERT_EQ(measured.count(i), 1u) << i;
    EXPECT_NEAR(measured[i].Track.Integrated, -18, 0.05) << i;
  }
  EXPECT_LT(measured[0].AppliedGainDb, 0);
  EXPECT_GT(measured[2].AppliedGainDb, 0);

  // Stopped while it measures: nothing was converted, nothing is left behind.
  std::vector<int> notConverted;
  c->OnEntryNotConverted = [&](int i) { notConverted.push_back(i); };
  ASSERT_TRUE(c->Convert(files, "wav", "", lib.Dir / "stopped/"));
  c->Cancel();
  EXPECT_FALSE(c->Running());
  EXPECT_EQ(notConverted, (std::vector<int>{0, 1, 2}));
  EXPECT_FALSE(fs::exists(lib.Dir / "stopped/loud.wav"));
  EXPECT_TRUE(Temporaries(lib.Dir / "stopped").empty());
}
