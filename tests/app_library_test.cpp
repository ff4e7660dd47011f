// tunevert-cli keeping a library: names from tags, a mirror kept in step across runs (also
// after a run killed in the middle), copies, playlists and shards.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "AppTestFiles.h"
#include "CliRun.h"

using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A short FLAC made by ffmpeg with the tags given ("artist=A").
void MakeTagged(const std::string& path, const std::vector<std::string>& tags,
                const std::string& tone = "440") {
  fs::create_directories(fs::path(path).parent_path());
  std::string command =
      "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=" + tone + ":duration=0.3 -ac 2";
  for (const std::string& tag : tags) command += " -metadata " + Quoted(tag);
  int status = 0;
  CommandOutput(command + " " + Quoted(path), &status);
  ASSERT_EQ(status, 0) << path;
}

// Every regular file below Dir by its path relative to Dir (hidden ones too), with its inode.
std::map<std::string, ino_t> FilesBelow(const std::string& Dir) {
  std::map<std::string, ino_t> files;
  for (const auto& entry : fs::recursive_directory_iterator(Dir)) {
    if (!entry.is_regular_file()) continue;
    struct stat status {};
    stat(entry.path().c_str(), &status);
    files[entry.path().lexically_relative(Dir).string()] = status.st_ino;
  }
  return files;
}

std::set<std::string> Names(const std::map<std::string, ino_t>& Files) {
  std::set<std::string> names;
  for (const auto& [name, inode] : Files)
    if (name.find(".tunevert-mirror") == std::string::npos) names.insert(name);
  return names;
}

// Unfinished outputs left behind; the mirror's own state is no such file.
std::vector<std::string> PendingTemporaries(const std::string& Dir) {
  std::vector<std::string> names = Temporaries(Dir);
  std::erase_if(names, [](const std::string& name) { return Contains(name, "/.tunevert-mirror"); });
  return names;
}

int RunCli(const TempDir& dir, const std::vector<std::string>& args, std::string* out = nullptr) {
  CliRun run(dir, args);
  const int status = run.Wait();
  if (out != nullptr) *out = run.Out() + run.Err();
  return status;
}

}  // namespace

TEST(Library, NamesFromTagsMakeFoldersAndStaySafe) {
  TempDir dir;
  MakeTagged(dir / "in/a.flac", {"artist=Abba", "album=Gold", "title=Waterloo", "track=3/19"});
  MakeTagged(dir / "in/b.flac",
             {"artist=AC/DC", "album=Back: In Black?", "title=Hells Bells", "track=1"});
  MakeTagged(dir / "in/c.flac", {"title=Untagged Album"});
  std::string log;
  ASSERT_EQ(RunCli(dir,
                   {"-f", "flac", "-o", dir / "out", "--name",
                    "{albumartist|artist}/{album}/{track:02} {title}", dir / "in"},
                   &log),
            0)
      << log;
  EXPECT_EQ(Names(FilesBelow(dir / "out")),
            (std::set<std::string>{"Abba/Gold/03 Waterloo.flac",
                                   "AC_DC/Back: In Black?/01 Hells Bells.flac",
                                   "Unknown Artist/Unknown Album/00 Untagged Album.flac"}));
  ASSERT_EQ(RunCli(dir,
                   {"-f", "flac", "-o", dir / "portable", "--portable-names", "--name",
                    "{artist}/{album}/{title}", dir / "in/b.flac"},
                   &log),
            0)
      << log;
  EXPECT_EQ(Names(FilesBelow(dir / "portable")),
            (std::set<std::string>{"AC_DC/Back_ In Black_/Hells Bells.flac"}));
  // A template that cannot work stops the batch before anything is written.
  EXPECT_EQ(
      RunCli(dir, {"-f", "flac", "-o", dir / "bad", "--name", "{artist/{title}", dir / "in"}, &log),
      1);
  EXPECT_FALSE(fs::exists(dir / "bad/Abba"));
}

TEST(Library, MirrorConvertsWhatChangedAndRemovesOnlyItsOwn) {
  TempDir dir;
  const auto pcm = RampPcm(4410, 2, 16);
  for (const char* name : {"src/one.wav", "src/two.wav", "src/sub/three.wav"}) {
    fs::create_directories(fs::path(dir / name).parent_path());
    WriteWav(dir / name, pcm, 2, 16, 44100);
  }
  const std::vector<std::string> mirror = {
      "--mirror", "-f", "flac", "-o", dir / "dest", "--name", "{folder}/{source}", dir / "src"};
  std::string log;
  ASSERT_EQ(RunCli(dir, mirror, &log), 0) << log;
  EXPECT_TRUE(Contains(log, "3 converted, 0 unchanged, 0 removed")) << log;
  fs::create_directories(dir / "dest/sub");
  WriteAll(dir / "dest/mine.flac", {1, 2, 3});
  WriteAll(dir / "dest/sub/notes.txt", {4});
  const auto first = FilesBelow(dir / "dest");

  ASSERT_EQ(RunCli(dir, mirror, &log), 0) << log;
  EXPECT_TRUE(Contains(log, "0 converted, 3 unchanged, 0 removed")) << log;
  EXPECT_EQ(FilesBelow(dir / "dest"), first) << "an unchanged run touches nothing";

  // A changed source is converted again, and only it.
  WriteWav(dir / "src/two.wav", RampPcm(8820, 2, 16), 2, 16, 44100);
  ASSERT_EQ(RunCli(dir, mirror, &log), 0) << log;
  EXPECT_TRUE(Contains(log, "1 converted, 2 unchanged")) << log;
  EXPECT_TRUE(Contains(log, "two.wav")) << log;
  EXPECT_EQ(DecodedFrames(dir / "dest/two.flac", 2), 8820u);

  // The dry run says what the real one then does.
  fs::remove(dir / "src/sub/three.wav");
  std::vector<std::string> dry = mirror;
  dry.push_back("--dry-run");
  ASSERT_EQ(RunCli(dir, dry, &log), 0) << log;
  EXPECT_TRUE(Contains(log, "remove: " + dir / "dest/sub/three.flac")) << log;
  EXPECT_TRUE(Contains(log, "dry run: 0 to convert, 0 to copy, 1 to remove, 2 unchanged")) << log;
  EXPECT_TRUE(fs::exists(dir / "dest/sub/three.flac"));
  ASSERT_EQ(RunCli(dir, mirror, &log), 0) << log;
  EXPECT_TRUE(Contains(log, "0 converted, 2 unchanged, 1 removed")) << log;
  EXPECT_FALSE(fs::exists(dir / "dest/sub/three.flac"));
  // The folder stays: it still holds the user's file.
  EXPECT_TRUE(fs::exists(dir / "dest/sub/notes.txt"));
  EXPECT_TRUE(fs::exists(dir / "dest/mine.flac"));

  // A file the user put where an output would go is never replaced.
  WriteWav(dir / "src/mine.wav", pcm, 2, 16, 44100);
  ASSERT_EQ(RunCli(dir, mirror, &log), 0) << log;
  EXPECT_EQ(ReadAll(dir / "dest/mine.flac"), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(DecodedFrames(dir / "dest/mine (2).flac", 2), 4410u);

  // Other settings make every output again; a folder the mirror made goes with its last file.
  fs::create_directories(dir / "src/deep/er");
  WriteWav(dir / "src/deep/er/four.wav", pcm, 2, 16, 44100);
  ASSERT_EQ(RunCli(dir, mirror, &log), 0) << log;
  ASSERT_TRUE(fs::exists(dir / "dest/deep/er/four.flac"));
  fs::remove_all(dir / "src/deep");
  std::vector<std::string> resampled = mirror;
  resampled.insert(resampled.begin(), {"--rate", "22050"});
  ASSERT_EQ(RunCli(dir, resampled, &log), 0) << log;
  EXPECT_TRUE(Contains(log, "3 converted, 0 unchanged, 1 removed")) << log;
  EXPECT_FALSE(fs::exists(dir / "dest/deep"));
  EXPECT_EQ(ProbeAudio(dir / "dest/one.flac").substr(0, 10), "flac,22050");
  EXPECT_TRUE(PendingTemporaries(dir / "dest").empty());
}

TEST(Library, AMirrorRunKilledInTheMiddleIsFinishedByTheNext) {
  TempDir dir;
  fs::create_directories(dir / "src");
  const auto shortPcm = RampPcm(4410, 2, 16);
  for (int i = 0; i < 4; ++i)
    WriteWav(dir / ("src/a" + std::to_string(i) + ".wav"), shortPcm, 2, 16, 44100);
  const auto longPcm = RampPcm(8000000, 2, 16);
  WriteWav(dir / "src/long1.wav", longPcm, 2, 16, 44100);
  WriteWav(dir / "src/long2.wav", longPcm, 2, 16, 44100);
  const std::string dest = dir / "dest";
  const std::vector<std::string> mirror = {"--mirror", "-j", "2",  "-f",
                                           "flac",     "-o", dest, dir / "src"};
  {
    CliRun run(dir, mirror);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    // The state's lock file is open throughout; it is no output.
    const auto pending = [&] {
      std::set<std::string> files = PendingOutputsOf(run.Pid(), dest);
      std::erase_if(files, [](const std::string& f) { return Contains(f, "/.tunevert-mirror"); });
      return files.size();
    };
    while (!(fs::exists(dest + "/a3.flac") && pending() == 2) &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(pending(), 2u) << "both long files should be converting";
    kill(run.Pid(), SIGKILL);
    EXPECT_EQ(run.Wait(), 1000 + SIGKILL);
  }
  const auto before = FilesBelow(dest);
  const auto survived = Names(before);
  const size_t placed = survived.size();
  ASSERT_TRUE(survived.count("a3.flac"));
  ASSERT_LT(placed, 6u);
  std::string log;
  ASSERT_EQ(RunCli(dir, mirror, &log), 0) << log;
  EXPECT_TRUE(Contains(log, std::to_string(6 - placed) + " converted, " + std::to_string(placed) +
                                " unchanged, 0 removed"))
      << log;
  const auto after = FilesBelow(dest);
  for (const std::string& name : survived) {
    EXPECT_FALSE(Contains(log, fs::path(name).stem().string() + ".wav")) << "converted twice";
    EXPECT_EQ(after.at(name), before.at(name)) << name;
  }
  for (const char* name : {"long1.flac", "long2.flac"})
    EXPECT_EQ(DecodedFrames(dest + "/" + name, 2), 8000000u) << name;
  EXPECT_TRUE(PendingTemporaries(dest).empty());
  ASSERT_EQ(RunCli(dir, mirror, &log), 0) << log;
  EXPECT_TRUE(Contains(log, "0 converted, 6 unchanged, 0 removed")) << log;
}

TEST(Library, CopiesWhatNeedsNoConversionByteForByte) {
  TempDir dir;
  fs::create_directories(dir / "src");
  int status = 0;
  CommandOutput(
      "ffmpeg -nostdin -v error -f lavfi -i sine=duration=0.5 -metadata title=Kept -b:a "
      "96k " +
          Quoted(dir / "src/lossy.mp3"),
      &status);
  ASSERT_EQ(status, 0);
  WriteWav(dir / "src/plain.wav", RampPcm(4410, 2, 16), 2, 16, 44100);
  const std::vector<std::string> args = {"--mirror", "--copy", "mp3,ogg",    "-f",
                                         "ogg",      "-o",     dir / "dest", dir / "src"};
  std::string log;
  ASSERT_EQ(RunCli(dir, args, &log), 0) << log;
  EXPECT_TRUE(Contains(log, "1 converted, 1 copied, 0 unchanged")) << log;
  EXPECT_EQ(ReadAll(dir / "dest/lossy.mp3"), ReadAll(dir / "src/lossy.mp3"));
  EXPECT_TRUE(fs::exists(dir / "dest/plain.ogg"));
  ASSERT_EQ(RunCli(dir, args, &log), 0) << log;
  EXPECT_TRUE(Contains(log, "0 converted, 0 copied, 2 unchanged")) << log;
  EXPECT_EQ(RunCli(dir, {"--copy", "mp3,xyz", dir / "src"}, &log), 2);
  EXPECT_TRUE(Contains(log, "not 'xyz'")) << log;
}

TEST(Library, PlaylistsListEachFolderInListOrder) {
  TempDir dir;
  MakeTagged(dir / "in/1.flac", {"album=First", "title=Zeta", "track=1"});
  MakeTagged(dir / "in/2.flac", {"album=First", "title=#Alpha", "track=2"});
  MakeTagged(dir / "in/3.flac", {"album=Second", "title=Mid", "track=1"});
  std::string log;
  ASSERT_EQ(RunCli(dir,
                   {"--playlist", "-f", "flac", "-o", dir / "out", "--name",
                    "{album}/{track:02} {title}", dir / "in"},
                   &log),
            0)
      << log;
  const auto text = [](const std::string& path) {
    const auto bytes = ReadAll(path);
    return std::string(bytes.begin(), bytes.end());
  };
  EXPECT_EQ(text(dir / "out/First/First.m3u8"), "#EXTM3U\n01 Zeta.flac\n02 #Alpha.flac\n");
  EXPECT_EQ(text(dir / "out/Second/Second.m3u8"), "#EXTM3U\n01 Mid.flac\n");
}

TEST(Library, ShardsTogetherWriteExactlyWhatOneRunWrites) {
  TempDir dir;
  // Same titles in one album: the plan numbers them, and every shard must agree on it.
  for (int i = 0; i < 7; ++i)
    MakeTagged(dir / ("in/" + std::to_string(i) + ".flac"),
               {"album=Same", "title=" + std::string(i % 2 ? "Twin" : "Solo " + std::to_string(i))},
               std::to_string(300 + 50 * i));
  const std::vector<std::string> common = {"-f", "flac", "--name", "{album}/{title}", dir / "in"};
  std::vector<std::string> whole = common;
  whole.insert(whole.begin(), {"-o", dir / "whole"});
  std::string log;
  ASSERT_EQ(RunCli(dir, whole, &log), 0) << log;
  for (int k = 1; k <= 3; ++k) {
    std::vector<std::string> shard = common;
    shard.insert(shard.begin(), {"-o", dir / "shards", "--shard", std::to_string(k) + "/3"});
    ASSERT_EQ(RunCli(dir, shard, &log), 0) << log;
  }
  const auto wholeFiles = Names(FilesBelow(dir / "whole"));
  ASSERT_EQ(wholeFiles.size(), 7u);
  EXPECT_EQ(Names(FilesBelow(dir / "shards")), wholeFiles);
  for (const std::string& name : wholeFiles)
    EXPECT_EQ(ReadAll(dir / ("shards/" + name)), ReadAll(dir / ("whole/" + name))) << name;
  EXPECT_EQ(RunCli(dir, {"--shard", "4/3", dir / "in"}, &log), 2);
}

// Shards of one mirror run at the same time share its state: together they convert and
// remove each file once, and leave a state that an unsharded run finds complete.
TEST(Library, ShardsOfAMirrorRunningAtOnceShareItsState) {
  TempDir dir;
  fs::create_directories(dir / "src/sub");
  const auto pcm = RampPcm(4410, 2, 16);
  for (int i = 0; i < 9; ++i)
    WriteWav(dir / ((i % 3 ? "src/" : "src/sub/") + std::to_string(i) + ".wav"), pcm, 2, 16, 44100);
  const std::vector<std::string> mirror = {"--mirror", "--keep-tree", "-j",       "1", "-f", "flac",
                                           "-o",       dir / "dest",  dir / "src"};
  const auto runShards = [&] {
    TempDir logDirs[3];
    std::vector<std::unique_ptr<CliRun>> runs;
    for (int k = 1; k <= 3; ++k) {
      std::vector<std::string> args = mirror;
      args.insert(args.begin(), {"--shard", std::to_string(k) + "/3"});
      runs.push_back(std::make_unique<CliRun>(logDirs[k - 1], args));
    }
    std::string logs;
    for (auto& run : runs) {
      EXPECT_EQ(run->Wait(), 0) << run->Err();
      logs += run->Out();
    }
    return logs;
  };
  std::string logs = runShards();
  EXPECT_EQ(std::count(logs.begin(), logs.end(), '\n'), 9 + 3) << logs;
  std::string log;
  ASSERT_EQ(RunCli(dir, mirror, &log), 0) << log;
  EXPECT_TRUE(Contains(log, "0 converted, 9 unchanged, 0 removed")) << log;

  for (const char* gone : {"src/sub/0.wav", "src/sub/3.wav", "src/sub/6.wav", "src/1.wav"})
    fs::remove(dir / gone);
  logs = runShards();
  size_t removed = 0;
  for (size_t at = logs.find("removed: "); at != std::string::npos;
       at = logs.find("removed: ", at + 1))
    ++removed;
  EXPECT_EQ(removed, 4u) << logs;
  EXPECT_FALSE(fs::exists(dir / "dest/sub")) << "the emptied folder goes";
  ASSERT_EQ(RunCli(dir, mirror, &log), 0) << log;
  EXPECT_TRUE(Contains(log, "0 converted, 5 unchanged, 0 removed")) << log;
}
