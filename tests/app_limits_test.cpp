// "At most" settings through the batch: rate and bit depth limits against sources made by sox,
// and pictures scaled down on their way into the outputs, read back by ffprobe and mutagen.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "AppTestFiles.h"
#include "PipelineFakes.h"
#include "app/BatchConverter.h"
#include "winmedia/wmfintf.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

void Shell(const std::string& Command) {
  int status = -1;
  const std::string printed = CommandOutput(Command + " 2>&1", &status);
  ASSERT_EQ(status, 0) << Command << "\n" << printed;
}

std::string Probe(const std::string& File, const std::string& Fields) {
  return Trimmed(CommandOutput("ffprobe -v error -select_streams a:0 -show_entries stream=" +
                               Fields + " -of csv=p=0 " + Quoted(File)));
}

struct TRun {
  std::map<int, std::string> Done, Warnings;
  std::vector<std::string> Failures;
};

TRun Convert(const std::vector<std::string>& Files, const std::string& Format,
             const TOutputSettings& Settings, const std::string& OutputDir) {
  TRun run;
  auto c = MakeComponent<TBatchConverter>(nullptr, TBatchConverter::TFirstLane::OnDemand);
  c->Settings = Settings;
  c->OnEntryDone = [&](int i, const std::string& file) { run.Done[i] = file; };
  c->OnEntryWarning = [&](int i, const std::string& w) { run.Warnings[i] = w; };
  c->OnEntryFailed = [&](int i, const std::string& m) {
    run.Failures.push_back(std::to_string(i) + ": " + m);
  };
  EXPECT_TRUE(c->Convert(Files, Format, "", OutputDir + "/"));
  EXPECT_TRUE(PumpUntil([&] { return !c->Running(); }, 60000));
  EXPECT_EQ(run.Failures, std::vector<std::string>{});
  return run;
}

class Limits : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // MP3 outputs are read back through the Windows Media runtime.
    LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false);
    Sources = new TempDir;
    const auto tone = [](const std::string& Name, const std::string& Format) {
      Shell("sox -n " + Format + " " + Quoted(*Sources / Name) + " synth 0.5 sine 1000 vol 0.5");
    };
    tone("hi.wav", "-r 96000 -c 2 -b 24");
    tone("hi88.wav", "-r 88200 -c 2 -b 24");
    tone("cd.wav", "-r 44100 -c 2 -b 16");
  }
  static void TearDownTestSuite() {
    delete Sources;
    Sources = nullptr;
  }
  static std::vector<std::string> Files() {
    return {*Sources / "hi.wav", *Sources / "hi88.wav", *Sources / "cd.wav"};
  }
  static TOutputSettings AtMost(int Rate, int Bits = 0) {
    TOutputSettings settings;
    settings.MaxSampleRate = Rate;
    settings.MaxBitsPerSample = Bits;
    return settings;
  }
  static TempDir* Sources;
};

TempDir* Limits::Sources = nullptr;

TEST_F(Limits, LosslessOutputsLowerOnlyWhatIsAbove) {
  for (const char* format : {"wav", "flac"}) {
    SCOPED_TRACE(format);
    TempDir out;
    const TRun run = Convert(Files(), format, AtMost(48000, 16), out.Path);
    ASSERT_EQ(run.Done.size(), 3u);
    EXPECT_EQ(Probe(run.Done.at(0), "sample_fmt,sample_rate"), "s16,48000");
    EXPECT_EQ(DecodedFrames(run.Done.at(0), 2), 24000u);
    EXPECT_EQ(Probe(run.Done.at(1), "sample_fmt,sample_rate"), "s16,48000");
    EXPECT_EQ(Probe(run.Done.at(2), "sample_fmt,sample_rate"), "s16,44100");
    const std::string decodeCd = "ffmpeg -nostdin -v error -i ";
    EXPECT_TRUE(CommandOutput(decodeCd + Quoted(run.Done.at(2)) + " -f s16le -") ==
                CommandOutput(decodeCd + Quoted(Files()[2]) + " -f s16le -"))
        << "a source within the limits must keep every sample";
  }
  // A limit above the source leaves 24 bits alone.
  TempDir out;
  const TRun run = Convert({Files()[0]}, "flac", AtMost(192000, 24), out.Path);
  EXPECT_EQ(Probe(run.Done.at(0), "sample_rate,bits_per_raw_sample"), "96000,24");
}

// The encoders that pick their own rates: MP3 from its list, Opus at 48 kHz only (its header
// keeps the rate it was given), AAC from FFmpeg's list. Bit limits do not apply to them.
TEST_F(Limits, LossyOutputsStayWithinTheLimitWhereTheyCan) {
  struct TCase {
    const char* Format;
    int Limit;
    std::string Hi, Cd;  // ffprobe's sample rates of the 96 kHz and 44.1 kHz sources' outputs
  };
  const TCase cases[] = {{"mp3", 48000, "48000", "44100"},
                         {"mp3", 32000, "32000", "32000"},
                         {"mp3", 40000, "32000", "32000"},
                         {"m4a", 50000, "48000", "44100"},
                         {"opus", 44100, "48000", "48000"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Format) + " under " + std::to_string(c.Limit));
    TempDir out;
    const TRun run = Convert(Files(), c.Format, AtMost(c.Limit, 16), out.Path);
    ASSERT_EQ(run.Done.size(), 3u);
    EXPECT_EQ(Probe(run.Done.at(0), "sample_rate"), c.Hi);
    EXPECT_EQ(Probe(run.Done.at(2), "sample_rate"), c.Cd);
    if (std::string(c.Format) == "opus") {
      EXPECT_NE(CommandOutput("opusinfo " + Quoted(run.Done.at(0))).find("rate: 44100 Hz"),
                std::string::npos);
      EXPECT_NE(CommandOutput("opusinfo " + Quoted(run.Done.at(2))).find("rate: 44100 Hz"),
                std::string::npos);
    }
  }
}

// Lists a file's pictures as mutagen reads them, "type|mime|description" each, and writes
// their bytes to Folder/0.img, Folder/1.img...
constexpr const char* kPictureScript = R"(
import sys, mutagen
from mutagen.flac import FLAC, Picture
f = mutagen.File(sys.argv[2])
if sys.argv[1] == "add":
    for spec in sys.argv[3:]:
        kind, mime, desc, path = spec.split("|")
        p = Picture()
        p.type, p.mime, p.desc, p.data = int(kind), mime, desc, open(path, "rb").read()
        f.add_picture(p)
    f.save()
    sys.exit(0)
pics = f.pictures if isinstance(f, FLAC) else f.tags.getall("APIC")
for i, p in enumerate(pics):
    open("%s/%d.img" % (sys.argv[3], i), "wb").write(p.data)
    print("%d|%s|%s" % (int(p.type), p.mime, p.desc))
)";

class CoverLimit : public ::testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() { LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false); }
};

TEST_P(CoverLimit, BigPicturesArriveShrunkAndPassTheReadBack) {
  TempDir dir;
  const std::string script = dir / "pictures.py";
  const std::string scriptText = kPictureScript;
  WriteAll(script, {scriptText.begin(), scriptText.end()});
  const std::string source = dir / "tagged.flac";
  Shell("sox -n -r 44100 -c 2 -b 16 " + Quoted(source) + " synth 0.3 sine 440 vol 0.5");
  const auto picture = [&](const std::string& Name, const std::string& Size) {
    Shell("ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=" + Size + " -frames:v 1 -y " +
          Quoted(dir / Name));
  };
  picture("front.png", "3000x2000");
  picture("back.png", "300x300");
  WriteAll(dir / "garbage.bin", {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
  Shell("/usr/bin/python3 " + Quoted(script) + " add " + Quoted(source) + " '3|image/png|Front|" +
        dir / "front.png" + "' '4|image/png|Back|" + dir / "back.png" + "' '0|image/png|Odd|" +
        dir / "garbage.bin" + "'");

  TOutputSettings settings;
  settings.CoverMaxPixels = 500;
  std::filesystem::create_directory(dir / "out");
  const TRun run = Convert({source}, GetParam(), settings, dir / "out");
  ASSERT_EQ(run.Done.size(), 1u);
  EXPECT_EQ(run.Warnings.at(0),
            "picture not scaled down: it is no JPEG, PNG, GIF, BMP or WebP image");

  const std::string pictures = dir / "read";
  std::filesystem::create_directory(pictures);
  EXPECT_EQ(CommandOutput("/usr/bin/python3 " + Quoted(script) + " list " + Quoted(run.Done.at(0)) +
                          " " + Quoted(pictures)),
            "3|image/jpeg|Front\n4|image/png|Back\n0|image/png|Odd\n");
  EXPECT_EQ(Trimmed(CommandOutput("ffprobe -v error -show_entries stream=codec_name,width,height "
                                  "-of csv=p=0 " +
                                  Quoted(pictures + "/0.img"))),
            "mjpeg,500,333");
  EXPECT_EQ(ReadAll(pictures + "/1.img"), ReadAll(dir / "back.png"));
  EXPECT_EQ(ReadAll(pictures + "/2.img"), ReadAll(dir / "garbage.bin"));
}

INSTANTIATE_TEST_SUITE_P(Outputs, CoverLimit, ::testing::Values("flac", "mp3"));

}  // namespace
