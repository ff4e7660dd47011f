// Every component over a codec library loaded at run time: while the library cannot be found
// the component fails with a message naming it, and the same component works once it can.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "PipelineFakes.h"
#include "VorbisFlacTestUtil.h"
#include "flac/AuFLAC.h"
#include "flac/AuFLACOut.h"
#include "mp3enc/AuLame.h"
#include "mp4/AuMP4Out.h"
#include "mp4/MP4Libs.h"
#include "opus/AuOpus.h"
#include "vorbis/AuVorbis.h"
#include "vorbis/AuVorbisOut.h"
#include "vorbis/VorbisLibs.h"

using namespace tunevert;
using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

class LibraryUser {
 public:
  virtual ~LibraryUser() = default;
  // Throws when the library cannot be loaded.
  virtual void Use() = 0;
  virtual void ExpectAfterFailure() {}
  virtual void ExpectWorked() = 0;
};

class FlacInputUser final : public LibraryUser {
 public:
  FlacInputUser() { FIn->SetFileName(FixturePath("flac/s8-mono.flac")); }
  void Use() override { FIn->VorbisComments(); }
  void ExpectWorked() override {
    EXPECT_TRUE(FIn->Valid());
    EXPECT_GT(FLACLibrary().ResolvedCount(), 30u);
  }

 private:
  TComponentPtr<TFLACIn> FIn = MakeComponent<TFLACIn>(nullptr);
};

class VorbisInputUser final : public LibraryUser {
 public:
  VorbisInputUser() { FIn->SetFileName(FixturePath("vorbis/mono.ogg")); }
  void Use() override { FIn->Comments(); }
  // The decoder has no use for the encoder's library, but refuses to start without it; the
  // libraries it does need are loaded all the same.
  void ExpectAfterFailure() override { EXPECT_TRUE(OggLibrary().Loaded()); }
  void ExpectWorked() override {
    EXPECT_TRUE(FIn->Valid());
    EXPECT_EQ(VorbisFileLibrary().ResolvedCount(), VorbisFileLibrary().EntryCount());
    // Two of libogg's listed entry points are long gone from the library: they stay empty.
    EXPECT_EQ(OggLibrary().Entry("oggpack_look_huff"), nullptr);
    EXPECT_NE(OggLibrary().Entry("ogg_sync_init"), nullptr);
  }

 private:
  TComponentPtr<TVorbisIn> FIn = MakeComponent<TVorbisIn>(nullptr);
};

// An output encoding a short pattern into a file, which CheckFile judges once written.
class OutputUser final : public LibraryUser {
 public:
  OutputUser(TComponentPtr<TAuFileOut> Output, const std::string& Path,
             std::function<void(const std::string&)> CheckFile)
      : FOut(std::move(Output)), FPath(Path), FCheckFile(std::move(CheckFile)) {
    FOut->SetInput(&FIn);
    FOut->SetFileName(FPath);
  }
  ~OutputUser() override { FOut->SetInput(nullptr); }
  void Use() override { FOut->BlockingRun(); }
  void ExpectAfterFailure() override {
    EXPECT_FALSE(FIn.IsBusy());
    EXPECT_FALSE(fs::exists(FPath));
  }
  void ExpectWorked() override { FCheckFile(FPath); }

 private:
  PatternInput FIn;
  TComponentPtr<TAuFileOut> FOut;
  std::string FPath;
  std::function<void(const std::string&)> FCheckFile;
};

struct MissingLibraryCase {
  const char* Name;
  // The MP3 encoder names the file it tried; the others name the library's real file.
  const char* Message;
  void (*PointAtMissingFile)();
  void (*PointAtRealFile)();
  std::unique_ptr<LibraryUser> (*Make)(const TempDir& Dir);
};

void PrintTo(const MissingLibraryCase& Case, std::ostream* Out) {
  *Out << Case.Name;
}

// Points the library back at its real file however the test ends, for the tests after it.
class RealFileAtEnd {
 public:
  explicit RealFileAtEnd(void (*PointAtRealFile)()) : FPointAtRealFile(PointAtRealFile) {}
  RealFileAtEnd(const RealFileAtEnd&) = delete;
  RealFileAtEnd& operator=(const RealFileAtEnd&) = delete;
  ~RealFileAtEnd() { FPointAtRealFile(); }

 private:
  void (*FPointAtRealFile)();
};

void FlacMissing() {
  FLACLibrary().SetFileNames({"libFLAC-absent.so.12"});
}
void FlacFound() {
  FLACLibrary().SetFileNames({"libFLAC.so.12", "libFLAC.so.8"});
}
void VorbisEncMissing() {
  VorbisEncLibrary().SetFileNames({"libvorbisenc-absent.so.2"});
}
void VorbisEncFound() {
  VorbisEncLibrary().SetFileNames({"libvorbisenc.so.2"});
}
void OpusEncMissing() {
  OpusEncLibrary().SetFileNames({"libopus-absent.so.0"});
}
void OpusEncFound() {
  OpusEncLibrary().SetFileNames({"libopus.so.0"});
}
void AVCodecMissing() {
  AVCodecLibrary().SetFileNames({"libavcodec-absent.so.59"});
}
void AVCodecFound() {
  AVCodecLibrary().SetFileNames({AVCodecLibrary().FileName()});
}
void LameMissing() {
  ASSERT_EQ(LameLibraryName(), "libmp3lame.so.0");
  SetLameLibraryName("libmp3lame-absent.so.0");
}
void LameFound() {
  SetLameLibraryName("libmp3lame.so.0");
}

const MissingLibraryCase kCases[] = {
    {"FlacInput", "libFLAC.so.12 library could not be loaded.", FlacMissing, FlacFound,
     [](const TempDir&) -> std::unique_ptr<LibraryUser> {
       return std::make_unique<FlacInputUser>();
     }},
    {"FlacOutput", "libFLAC.so.12 library could not be loaded.", FlacMissing, FlacFound,
     [](const TempDir& Dir) -> std::unique_ptr<LibraryUser> {
       return std::make_unique<OutputUser>(
           MakeComponent<TFLACOut>(nullptr), Dir / "x.flac", [](const std::string& Path) {
             EXPECT_EQ(CommandOutput("metaflac --show-total-samples " + Quoted(Path)), "1000\n");
           });
     }},
    {"VorbisInput", "libvorbisenc.so.2 library could not be loaded.",
     [] {
       VorbisEncMissing();
       // Forgotten, so that the failed start is seen to load it.
       OggLibrary().SetFileNames({"libogg.so.0"});
     },
     VorbisEncFound,
     [](const TempDir&) -> std::unique_ptr<LibraryUser> {
       return std::make_unique<VorbisInputUser>();
     }},
    {"VorbisOutput", "libvorbisenc.so.2 library could not be loaded.", VorbisEncMissing,
     VorbisEncFound,
     [](const TempDir& Dir) -> std::unique_ptr<LibraryUser> {
       return std::make_unique<OutputUser>(
           MakeComponent<TVorbisOut>(nullptr), Dir / "x.ogg", [](const std::string& Path) {
             EXPECT_EQ(ProbeAudio(Path).rfind("vorbis,44100,2", 0), 0u) << ProbeAudio(Path);
           });
     }},
    {"OpusOutput", "libopus.so.0 library could not be loaded.", OpusEncMissing, OpusEncFound,
     [](const TempDir& Dir) -> std::unique_ptr<LibraryUser> {
       return std::make_unique<OutputUser>(
           MakeComponent<TOpusOut>(nullptr), Dir / "x.opus",
           [](const std::string& Path) { EXPECT_GT(fs::file_size(Path), 200u); });
     }},
    {"M4AOutput", "libavcodec.so.59 library could not be loaded.", AVCodecMissing, AVCodecFound,
     [](const TempDir& Dir) -> std::unique_ptr<LibraryUser> {
       return std::make_unique<OutputUser>(
           MakeComponent<TM4AOut>(nullptr), Dir / "x.m4a", [](const std::string& Path) {
             EXPECT_EQ(ProbeAudio(Path).rfind("aac,44100,2", 0), 0u) << ProbeAudio(Path);
           });
     }},
    {"Mp3Output", "libmp3lame-absent.so.0 library could not be loaded.", LameMissing, LameFound,
     [](const TempDir& Dir) -> std::unique_ptr<LibraryUser> {
       auto out = MakeComponent<TMP3Out>(nullptr);
       out->SetShareMode(0);
       return std::make_unique<OutputUser>(
           std::move(out), Dir / "x.mp3",
           [](const std::string& Path) { EXPECT_GT(fs::file_size(Path), 128u); });
     }},
};

class MissingLibrary : public ::testing::TestWithParam<MissingLibraryCase> {};

}  // namespace

// The library may have been loaded by an earlier test in this process: pointing it at a
// missing file makes it forget that.
TEST_P(MissingLibrary, IsNamedAndFoundByTheNextUse) {
  const MissingLibraryCase& c = GetParam();
  TempDir dir;
  const std::unique_ptr<LibraryUser> user = c.Make(dir);
  const RealFileAtEnd restore(c.PointAtRealFile);
  c.PointAtMissingFile();
  try {
    user->Use();
    ADD_FAILURE() << "worked without its library";
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), c.Message);
  }
  user->ExpectAfterFailure();
  c.PointAtRealFile();
  user->Use();
  user->ExpectWorked();
}

INSTANTIATE_TEST_SUITE_P(Components, MissingLibrary, ::testing::ValuesIn(kCases),
                         [](const auto& p) { return std::string(p.param.Name); });

namespace {

bool Mapped(const std::string& Library) {
  const std::vector<uint8_t> maps = ReadAll("/proc/self/maps");
  return std::string(maps.begin(), maps.end()).find("/" + Library) != std::string::npos;
}

}  // namespace

// A program that owns the M4A outputs but converts to another format maps nothing of FFmpeg:
// the libraries come with the first M4A run.
TEST(FFmpegLibraries, MappedOnlyByAnM4ARun) {
  if (AVCodecLibrary().Loaded()) GTEST_SKIP() << "an M4A output ran earlier in this process";
  TempDir dir;
  auto aac = MakeComponent<TM4AOut>(nullptr);
  aac->SetBitrateKbps(128);
  auto alac = MakeComponent<TALACOut>(nullptr);
  EXPECT_TRUE(TM4AOut::SupportsRate(44100));
  OutputUser flac(MakeComponent<TFLACOut>(nullptr), dir / "x.flac", [](const std::string&) {});
  flac.Use();
  for (const char* library : {"libavutil.so", "libavcodec.so", "libavformat.so"})
    EXPECT_FALSE(Mapped(library)) << library;
  OutputUser m4a(std::move(aac), dir / "x.m4a", [](const std::string&) {});
  m4a.Use();
  for (const char* library : {"libavutil.so", "libavcodec.so", "libavformat.so"})
    EXPECT_TRUE(Mapped(library)) << library;
}
