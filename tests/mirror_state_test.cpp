#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "AppTestFiles.h"
#include "app/MirrorState.h"
#include "platform/Exception.h"
#include "platform/PendingOutput.h"

namespace fs = std::filesystem;
using namespace tunevert;
using namespace tunevert::testing;

namespace {

std::string Bytes(const std::string& path) {
  const auto bytes = ReadAll(path);
  return {bytes.begin(), bytes.end()};
}

void PutBytes(const std::string& path, const std::string& text) {
  WriteAll(path, {text.begin(), text.end()});
}

// A record whose output was never made: its identity matches no file.
TMirrorRecord Unplaced(const std::string& source, const std::string& output) {
  return {"/music/" + source, 1000, 2000, "flac -5", output, output, {1, 2, 3, 4}};
}

// Converts as the batch does: identity taken from the complete pending file, recorded, and
// only then placed.
TMirrorRecord Convert(TMirrorState& state, const std::string& dest, const std::string& source,
                      const std::string& output, const TPendingOutput::TOptions& options = {}) {
  TPendingOutput pending(dest + "/" + output, options);
  PutBytes(pending.Path(), "audio of " + source);
  TMirrorRecord record = Unplaced(source, output);
  record.Identity = IdentityOf(pending).value();
  state.Record(record);
  EXPECT_TRUE(pending.PlaceNew(dest + "/" + output));
  return record;
}

// Runs Body in a child process; its exit status is Body's result.
pid_t Fork(const std::function<int()>& Body) {
  const pid_t child = fork();
  if (child == 0) {
    int status = 100;
    try {
      status = Body();
    } catch (...) {
      status = 101;
    }
    _exit(status);
  }
  return child;
}

int ExitStatus(pid_t child) {
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

size_t CountLines(const std::string& text, const std::string& start) {
  size_t count = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    if (text.compare(at, start.size(), start) == 0) ++count;
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return count;
}

}  // namespace

TEST(MirrorState, EntriesSurviveReopeningAndRewritingAndLaterOnesWin) {
  TempDir dest;
  const std::string d = dest.Path.string();
  TMirrorRecord second;
  {
    TMirrorState state(d);
    EXPECT_TRUE(state.Records().empty());
    Convert(state, d, "a.wav", "a.flac");
    Convert(state, d, "b.wav", "b.flac");
    // The source changed: converted again, to another name.
    second = Convert(state, d, "b.wav", "b (2).flac");
    Convert(state, d, "c.wav", "c.flac");
    state.Forget("/music/a.wav");
    for (const char* folder : {"x", "x/y", "z"}) state.RecordFolder(folder);
    state.ForgetFolder("x/y");
  }
  const auto check = [&](const TMirrorState& state) {
    ASSERT_EQ(state.Records().size(), 2u);
    EXPECT_EQ(state.Records().at("/music/b.wav"), second);
    EXPECT_EQ(state.Records().at("/music/c.wav").Output, "c.flac");
    EXPECT_EQ(state.Folders(), (std::set<std::string>{"x", "z"}));
  };
  TMirrorState reopened(d);
  check(reopened);
  fs::create_directories(dest / "x");
  fs::create_directories(dest / "z");
  reopened.Compact();
  check(reopened);
  check(TMirrorState(d));
  // Nothing left to leave out: the file stays as it is.
  const auto written = IdentityOf(TMirrorState::StatePath(d));
  TMirrorState(d).Compact();
  EXPECT_EQ(IdentityOf(TMirrorState::StatePath(d)), written);
  // Only the state and its lock beside the outputs, both hidden.
  std::set<std::string> hidden;
  for (const auto& entry : fs::directory_iterator(dest.Path))
    if (entry.path().filename().string()[0] == '.') hidden.insert(entry.path().filename());
  EXPECT_EQ(hidden, (std::set<std::string>{".tunevert-mirror", ".tunevert-mirror.lock"}));
}

TEST(MirrorState, NamesAreKeptAsBytes) {
  TempDir dest;
  const std::string d = dest.Path.string();
  const std::string odd = "tab\there, line\nthere, back\\slash \\t\\n\\, \xff\xfe\x80 not UTF-8\\";
  TMirrorRecord record;
  {
    TMirrorState state(d);
    record = Convert(state, d, odd + ".wav", odd + ".flac");
    record.Settings = odd;
    record.Plain = odd;
    state.Record(record);
    state.RecordFolder(odd);
  }
  fs::create_directory(dest / odd);
  TMirrorState reopened(d);
  ASSERT_EQ(reopened.Records().size(), 1u);
  EXPECT_EQ(reopened.Records().begin()->second, record);
  EXPECT_EQ(reopened.Folders(), std::set<std::string>{odd});
  EXPECT_TRUE(reopened.Owns(record));
  reopened.Compact();
  TMirrorState compacted(d);
  EXPECT_EQ(compacted.Records().begin()->second, record);
  EXPECT_EQ(compacted.Folders(), std::set<std::string>{odd});
}

TEST(MirrorState, ALineCutShortIsSkippedAndTheNextOneStandsAlone) {
  TempDir dest;
  const std::string d = dest.Path.string();
  const std::string path = TMirrorState::StatePath(d);
  size_t before = 0;
  {
    TMirrorState state(d);
    state.Record(Unplaced("a.wav", "a.flac"));
    state.Record(Unplaced("b.wav", "b.flac"));
    before = fs::file_size(path);
    state.Record(Unplaced("c.wav", "c.flac"));
  }
  const std::string whole = Bytes(path);
  // Every length a crash in the middle of the last line could leave.
  for (size_t cut = before + 1; cut < whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    PutBytes(path, whole.substr(0, cut));
    {
      TMirrorState state(d);
      EXPECT_EQ(state.Records().size(), 2u);
      EXPECT_FALSE(state.Records().contains("/music/c.wav"));
      state.Record(Unplaced("d.wav", "d.flac"));
    }
    TMirrorState after(d);
    EXPECT_EQ(after.Records().size(), 3u);
    EXPECT_TRUE(after.Records().contains("/music/d.wav"));
  }
}

TEST(MirrorState, ADamagedLineIsSkippedAndTheRestLoads) {
  TempDir dest;
  const std::string d = dest.Path.string();
  const std::string path = TMirrorState::StatePath(d);
  {
    TMirrorState state(d);
    for (const char* name : {"a", "b", "c"})
      state.Record(Unplaced(std::string(name) + ".wav", std::string(name) + ".flac"));
    state.RecordFolder("folder");
  }
  const std::string whole = Bytes(path);
  const size_t start = whole.find("record\t/music/b.wav");
  const size_t end = whole.find('\n', start);
  ASSERT_NE(start, std::string::npos);
  for (size_t at = start; at < end; ++at) {
    SCOPED_TRACE(at);
    std::string damaged = whole;
    damaged[at] ^= 0x01;
    PutBytes(path, damaged);
    const TMirrorState state(d);
    EXPECT_EQ(state.Records().size(), 2u);
    EXPECT_TRUE(state.Records().contains("/music/a.wav"));
    EXPECT_TRUE(state.Records().contains("/music/c.wav"));
    EXPECT_EQ(state.Folders(), std::set<std::string>{"folder"});
  }
}

TEST(MirrorState, OwnsOnlyTheVeryFileItPlaced) {
  TPendingOutput::TOptions named;
  named.AnonymousFiles = false;
  for (const auto& options : {TPendingOutput::TOptions{}, named}) {
    SCOPED_TRACE(options.AnonymousFiles ? "anonymous" : "named");
    TempDir dest;
    const std::string d = dest.Path.string();
    TMirrorState state(d);
    const std::string output = dest / "song.flac";

    const TMirrorRecord placed = Convert(state, d, "song.wav", "song.flac", options);
    EXPECT_TRUE(state.Owns(placed));
    fs::remove(output);
    EXPECT_FALSE(state.Owns(placed));

    // Replaced by another file, as an editor saves: written beside, renamed over.
    const TMirrorRecord replaced = Convert(state, d, "song.wav", "song.flac", options);
    PutBytes(dest / ".song.flac.tmp", Bytes(output));
    fs::rename(dest / ".song.flac.tmp", output);
    EXPECT_FALSE(state.Owns(replaced));

    // Changed in place: longer, or only touched.
    fs::remove(output);
    const TMirrorRecord changed = Convert(state, d, "song.wav", "song.flac", options);
    std::ofstream(output, std::ios::app) << "more";
    EXPECT_FALSE(state.Owns(changed));
    fs::remove(output);
    const TMirrorRecord touched = Convert(state, d, "song.wav", "song.flac", options);
    const timespec times[2] = {{0, UTIME_OMIT}, {1'000'000'000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, output.c_str(), times, 0), 0);
    EXPECT_FALSE(state.Owns(touched));

    // A link to our very file is not our file.
    fs::remove(output);
    const TMirrorRecord linked = Convert(state, d, "song.wav", "elsewhere.flac", options);
    fs::create_symlink(dest / "elsewhere.flac", output);
    TMirrorRecord throughLink = linked;
    throughLink.Output = "song.flac";
    EXPECT_TRUE(state.Owns(linked));
    EXPECT_FALSE(state.Owns(throughLink));
  }
}

// A journal planted in the mirror never makes a file or folder outside it ours, even one it
// names with its true identity.
TEST(MirrorState, NamesOutsideTheMirrorAreNeverItsOwn) {
  TempDir root;
  fs::create_directories(root / "dest");
  PutBytes(root / "victim.txt", "the user's");
  const std::string d = root / "dest";
  {
    TMirrorState state(d);
    for (const char* output : {"../victim.txt", "/etc/hostname", "a//b", "./x"}) {
      TMirrorRecord record = Unplaced(output, output);
      record.Identity = IdentityOf(output[0] == '/' ? output : root / "victim.txt").value();
      state.Record(record);
    }
    state.RecordFolder("..");
    state.RecordFolder("sub/../..");
  }
  TMirrorState reopened(d);
  EXPECT_TRUE(reopened.Records().empty());
  EXPECT_TRUE(reopened.Folders().empty());
}

TEST(MirrorState, ARunSeesWhatOthersWroteAcrossTheirRewrites) {
  TempDir dest;
  const std::string d = dest.Path.string();
  TMirrorState mine(d);
  TMirrorState other(d);
  const TMirrorRecord a = Convert(other, d, "a.wav", "a.flac");
  Convert(other, d, "b.wav", "b.flac");
  other.Forget("/music/b.wav");
  mine.Load();
  EXPECT_EQ(mine.Records().size(), 1u);
  EXPECT_EQ(mine.Records().at("/music/a.wav"), a);
  // The rewrite is shorter than what was read of the file it replaced: read from the start.
  other.Compact();
  const TMirrorRecord c = Convert(other, d, "c.wav", "c.flac");
  const TMirrorRecord e = Convert(other, d, "e.wav", "e.flac");
  mine.Record(Unplaced("f.wav", "f.flac"));
  mine.Load();
  EXPECT_EQ(mine.Records().size(), 4u);
  EXPECT_EQ(mine.Records().at("/music/c.wav"), c);
  EXPECT_EQ(mine.Records().at("/music/e.wav"), e);
  EXPECT_TRUE(mine.Records().contains("/music/f.wav"));
  // Appends read from where the last Load stopped, in the order they were made.
  other.Forget("/music/a.wav");
  const TMirrorRecord again = Convert(other, d, "f.wav", "f2.flac");
  mine.Load();
  EXPECT_FALSE(mine.Records().contains("/music/a.wav"));
  EXPECT_EQ(mine.Records().at("/music/f.wav"), again);
}

TEST(MirrorState, CompactDropsWhatNeverGotPlacedOnceNoOtherRunIsOpen) {
  TempDir dest;
  const std::string d = dest.Path.string();
  TMirrorState state(d);
  const TMirrorRecord placed = Convert(state, d, "a.wav", "a.flac");
  // A run killed between recording its output and placing it.
  const pid_t killed = Fork([&] {
    TMirrorState run(d);
    TPendingOutput pending(d + "/b.flac");
    PutBytes(pending.Path(), "audio");
    TMirrorRecord record = Unplaced("b.wav", "b.flac");
    record.Identity = IdentityOf(pending).value();
    run.Record(record);
    run.RecordFolder("never made");
    raise(SIGKILL);
    return 0;
  });
  ASSERT_EQ(ExitStatus(killed), 200 + SIGKILL);

  {
    // While another run is open, an unplaced output may be its work in progress.
    TMirrorState another(d);
    state.Compact();
    EXPECT_EQ(state.Records().size(), 2u);
    EXPECT_EQ(state.Folders().size(), 1u);
  }
  state.Compact();
  ASSERT_EQ(state.Records().size(), 1u);
  EXPECT_EQ(state.Records().at("/music/a.wav"), placed);
  EXPECT_TRUE(state.Folders().empty());
  const TMirrorState reopened(d);
  EXPECT_EQ(reopened.Records(), state.Records());
  EXPECT_TRUE(reopened.Folders().empty());
}

TEST(MirrorState, ConcurrentRunsLoseNothing) {
  TempDir dest;
  const std::string d = dest.Path.string();
  constexpr int kRuns = 4;
  constexpr int kEach = 150;
  const auto source = [](int run, int i) {
    return "/music/" + std::to_string(run) + "/" + std::to_string(i) + ".wav";
  };
  // Run 0 rewrites the state now and then, run 1 reloads it and looks for its own records,
  // run 2 forgets some of its own.
  const auto work = [&](int run) {
    TMirrorState state(d);
    for (int i = 0; i < kEach; ++i) {
      const std::string output = std::to_string(run) + "-" + std::to_string(i) + ".flac";
      const int fd = open((dest / output).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
      if (fd < 0 || write(fd, "audio", 5) != 5) return 1;
      TMirrorRecord record{source(run, i), 5, i, "mp3", output, output, {}};
      record.Identity = IdentityOfDescriptor(fd).value();
      if (close(fd) != 0) return 1;
      state.Record(record);
      if (run == 0 && i % 15 == 0) state.Compact();
      if (run == 1 && i % 10 == 0) {
        state.Load();
        for (int j = 0; j <= i; ++j)
          if (!state.Records().contains(source(run, j))) return 2;
      }
      if (run == 2 && i % 3 == 0) {
        fs::remove(dest / output);
        state.Forget(record.Source);
      }
    }
    return 0;
  };
  std::vector<pid_t> children;
  for (int run = 0; run < kRuns; ++run) children.push_back(Fork([&] { return work(run); }));
  for (const pid_t child : children) EXPECT_EQ(ExitStatus(child), 0);

  std::set<std::string> expected;
  for (int run = 0; run < kRuns; ++run)
    for (int i = 0; i < kEach; ++i)
      if (run != 2 || i % 3 != 0) expected.insert(source(run, i));
  TMirrorState state(d);
  state.Compact();
  std::set<std::string> loaded;
  for (const auto& [key, record] : state.Records()) {
    loaded.insert(key);
    EXPECT_TRUE(state.Owns(record)) << key;
  }
  EXPECT_EQ(loaded, expected);
  EXPECT_EQ(CountLines(Bytes(TMirrorState::StatePath(d)), "record\t"), expected.size());
}

TEST(MirrorState, RefusesWhatItCannotKeep) {
  TempDir dest;
  const std::string d = dest.Path.string();
  const std::string path = TMirrorState::StatePath(d);
  const auto refusal = [&](const std::string& folder) -> std::string {
    try {
      TMirrorState state(folder);
    } catch (const EAuException& e) {
      return e.Message();
    }
    return "";
  };

  PutBytes(path, "Some file of the user's\n");
  EXPECT_NE(refusal(d).find("is not a Tunevert mirror state"), std::string::npos);
  PutBytes(path, "tunevert-mirror\t2\t0123456789abcdef\nwhatever comes in format 2\n");
  EXPECT_NE(refusal(d).find("newer version"), std::string::npos);
  EXPECT_EQ(Bytes(path), "tunevert-mirror\t2\t0123456789abcdef\nwhatever comes in format 2\n");

  // A line a newer version may add to this format, sealed by an independent CRC-32.
  fs::remove(path);
  TMirrorState(d).Record(Unplaced("a.wav", "a.flac"));
  PutBytes(dest / "seal.py",
           "import sys, zlib\n"
           "body = b'playlist\\tmix.m3u'\n"
           "open(sys.argv[1], 'ab').write(body + b'\\t%08x\\n' % zlib.crc32(body))\n");
  ASSERT_EQ(
      std::system(("/usr/bin/python3 " + Quoted(dest / "seal.py") + " " + Quoted(path)).c_str()),
      0);
  const std::string sealed = Bytes(path);
  EXPECT_NE(refusal(d).find("\"playlist\""), std::string::npos);
  EXPECT_EQ(Bytes(path), sealed);

  PutBytes(dest / "file", "");
  EXPECT_NE(refusal(dest / "file").find("is not a folder"), std::string::npos);
  EXPECT_NE(refusal(dest / "missing").find("No such file"), std::string::npos);
  if (geteuid() != 0) {
    fs::create_directory(dest / "read-only");
    fs::permissions(dest / "read-only", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_NE(refusal(dest / "read-only").find("Permission denied"), std::string::npos);
  }
}
