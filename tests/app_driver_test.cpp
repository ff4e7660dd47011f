#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "AppTestFiles.h"
#include "PipelineFakes.h"
#include "app/BatchConverter.h"
#include "app/ZEMc.h"
#include "wav/AuWave.h"

using namespace tunevert;
using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

// A converter with every callback recorded.
struct Batch {
  TComponentPtr<TBatchConverter> c = MakeComponent<TBatchConverter>(nullptr);
  std::vector<std::string> statuses, messages, failures;
  std::vector<bool> enabled;
  std::vector<int> selected;

  explicit Batch(int jobs = 1) {
    c->Jobs = jobs;
    c->OnStatusText = [this](const std::string& s) { statuses.push_back(s); };
    c->OnControlsEnabled = [this](bool e) { enabled.push_back(e); };
    c->OnSelectEntry = [this](int i) { selected.push_back(i); };
    c->OnMessage = [this](const std::string& m) { messages.push_back(m); };
    c->OnEntryFailed = [this](int i, const std::string& m) {
      failures.push_back(std::to_string(i) + ": " + m);
    };
  }
  bool Run(std::vector<std::string> files, const std::string& dir,
           const std::string& format = ".wav") {
    if (!c->Convert(std::move(files), format, "160", dir)) return false;
    return PumpUntil([&] { return !c->Running(); }, 20000);
  }
};

std::vector<std::string> TempLeftovers(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().find(".tunevert-") != std::string::npos)
      names.push_back(e.path().string());
  return names;
}

}  // namespace

TEST(BatchDriver, ConvertsEveryFileInTurnAndReportsDone) {
  TempDir dir;
  const auto pcm16 = RampPcm(20000, 2, 16);
  const auto pcm24 = RampPcm(5000, 1, 24);
  WriteWav(dir / "one.wav", pcm16, 2, 16, 44100);
  WriteWav(dir / "Two.Parts.WAV", pcm24, 1, 24, 22050);
  WriteWav(dir / "three.wav", pcm16, 2, 16, 48000);
  const std::string out = dir / "out/";
  Batch b;
  ASSERT_TRUE(b.Run({dir / "one.wav", dir / "Two.Parts.WAV", dir / "three.wav"}, out));
  EXPECT_EQ(b.statuses,
            (std::vector<std::string>{"Converting File: 1 of 3", "Converting File: 2 of 3",
                                      "Converting File: 3 of 3", "Done!"}));
  EXPECT_EQ(b.enabled, (std::vector<bool>{false, true}));
  EXPECT_EQ(b.selected, (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(b.failures.empty());
  EXPECT_EQ(WavPayload(out + "one.wav"), pcm16);
  EXPECT_EQ(WavPayload(out + "Two.Parts.wav"), pcm24);
  EXPECT_EQ(WavPayload(out + "three.wav"), pcm16);
  EXPECT_TRUE(TempLeftovers(out).empty());
  EXPECT_EQ(b.c->ConvCount(), 3);
}

TEST(BatchDriver, BadEntriesFailAloneAndAreReported) {
  TempDir dir;
  const auto pcm = RampPcm(1000, 2, 16);
  WriteWav(dir / "a.wav", pcm, 2, 16, 44100);
  WriteAll(dir / "corrupt.wav", std::vector<uint8_t>(3000, 0x5A));
  WriteAll(dir / "notes.txt", {'h', 'i'});
  WriteWav(dir / "c.wav", pcm, 2, 16, 44100);
  const std::string out = dir / "out/";
  fs::create_directories(out);
  WriteAll(out + "corrupt.wav", {'k', 'e', 'e', 'p'});  // must survive the failed run
  Batch b;
  ASSERT_TRUE(b.Run(
      {dir / "a.wav", dir / "corrupt.wav", dir / "notes.txt", dir / "missing.wav", dir / "c.wav"},
      out));
  ASSERT_EQ(b.failures.size(), 3u);
  EXPECT_EQ(b.failures[0], "1: Not a valid or supported audio file");
  EXPECT_EQ(b.failures[1], "2: Unsupported file type");
  EXPECT_EQ(b.failures[2].substr(0, 3), "3: ");
  EXPECT_EQ(b.statuses.back(), "Done! 3 of 5 files failed");
  EXPECT_EQ(WavPayload(out + "a.wav"), pcm);
  EXPECT_EQ(WavPayload(out + "c.wav"), pcm);
  EXPECT_EQ(ReadAll(out + "corrupt.wav"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  EXPECT_FALSE(fs::exists(out + "notes.wav"));
  EXPECT_FALSE(fs::exists(out + "missing.wav"));
  EXPECT_TRUE(TempLeftovers(out).empty());
}

TEST(BatchDriver, NeverWritesOverItsSource) {
  TempDir dir;
  const auto pcm = RampPcm(1000, 2, 16);
  WriteWav(dir / "song.wav", pcm, 2, 16, 44100);
  const auto before = ReadAll(dir / "song.wav");
  Batch b;
  ASSERT_TRUE(b.Run({dir / "song.wav"}, dir.Path.string() + "/"));
  ASSERT_EQ(b.failures.size(), 1u);
  EXPECT_NE(b.failures[0].find("replace its source"), std::string::npos);
  EXPECT_EQ(ReadAll(dir / "song.wav"), before);
  // The same file reached through another spelling of the folder.
  Batch again;
  ASSERT_TRUE(again.Run({dir / "song.wav"}, dir.Path.string() + "/./"));
  EXPECT_EQ(again.failures.size(), 1u);
  EXPECT_EQ(ReadAll(dir / "song.wav"), before);
}

TEST(BatchDriver, CreatesMissingFoldersAndReportsOnesItCannot) {
  TempDir dir;
  WriteWav(dir / "a.wav", RampPcm(100, 1, 16), 1, 16, 8000);
  Batch b;
  ASSERT_TRUE(b.Run({dir / "a.wav"}, dir / "x/y/z/"));
  EXPECT_TRUE(fs::exists(dir / "x/y/z/a.wav"));

  WriteAll(dir / "plainfile", {'x'});
  Batch blocked;
  EXPECT_FALSE(blocked.c->Convert({dir / "a.wav"}, ".wav", "160", dir / "plainfile/sub/"));
  ASSERT_EQ(blocked.messages.size(), 1u);
  EXPECT_NE(blocked.messages[0].find("could not be created"), std::string::npos);
  EXPECT_TRUE(blocked.statuses.empty());
  EXPECT_TRUE(blocked.enabled.empty());  // the batch never started
}

TEST(BatchDriver, EmptyListOrFolderShowsTheMessage) {
  Batch b;
  EXPECT_FALSE(b.c->Convert({}, ".wav", "160", "/tmp/"));
  EXPECT_FALSE(b.c->Convert({"/tmp/a.wav"}, ".wav", "160", ""));
  EXPECT_EQ(b.messages,
            (std::vector<std::string>(
                2, "You have to select a output folder and have some files to convert")));
}

// FLAC, since WAV to WAV is a kernel copy that can end before the cancel.
TEST(BatchDriver, CancelStopsTheRunAndLeavesNoPartialFile) {
  TempDir dir;
  WriteWav(dir / "long.wav", RampPcm(2000000, 2, 16), 2, 16, 44100);
  WriteWav(dir / "next.wav", RampPcm(1000, 2, 16), 2, 16, 44100);
  const std::string out = dir / "out/";
  Batch b;
  std::vector<int> done, notConverted;
  b.c->OnEntryDone = [&](int i, const std::string&) { done.push_back(i); };
  b.c->OnEntryNotConverted = [&](int i) { notConverted.push_back(i); };
  ASSERT_TRUE(b.c->Convert({dir / "long.wav", dir / "next.wav"}, ".flac", "160", out));
  ASSERT_TRUE(b.c->Running());
  b.c->Cancel();
  EXPECT_FALSE(b.c->Running());
  // A done event the worker posted before it stopped must not count.
  ASSERT_TRUE(DrainEvents());
  EXPECT_EQ(done, std::vector<int>{});
  EXPECT_EQ(notConverted, (std::vector<int>{0, 1}));
  EXPECT_TRUE(b.failures.empty());
  EXPECT_TRUE(TempLeftovers(out).empty());
  EXPECT_FALSE(fs::exists(out + "long.flac"));
  EXPECT_FALSE(fs::exists(out + "next.flac"));
  EXPECT_EQ(b.enabled, (std::vector<bool>{false, true}));
}

TEST(BatchDriver, DestroyingTheConverterMidBatchStopsCleanly) {
  TempDir dir;
  WriteWav(dir / "long.wav", RampPcm(2000000, 2, 16), 2, 16, 44100);
  const std::string out = dir / "out/";
  std::vector<int> notConverted;
  {
    Batch b;
    // Whoever listens may be gone: a converter being destroyed reports nothing.
    b.c->OnEntryNotConverted = [&](int i) { notConverted.push_back(i); };
    ASSERT_TRUE(b.c->Convert({dir / "long.wav"}, ".flac", "160", out));
    ASSERT_TRUE(b.c->Running());
    ASSERT_EQ(b.c->RunningCount(), 1);
  }
  EXPECT_EQ(notConverted, std::vector<int>{});
  EXPECT_TRUE(TempLeftovers(out).empty());
  EXPECT_FALSE(fs::exists(out + "long.flac"));
}

TEST(BatchDriver, InputsByExtensionAndOutputNames) {
  auto c = MakeComponent<TBatchConverter>(nullptr);
  EXPECT_EQ(c->InputFor("/m/SONG.WAV"), c->InputFor("/m/song.wav"));
  EXPECT_EQ(c->InputFor("/m/song.wav"), static_cast<TAuFileIn*>(c->WaveIn1));
  EXPECT_EQ(c->InputFor("/m/song.txt"), nullptr);
  EXPECT_EQ(c->InputFor("/m/song"), nullptr);
  EXPECT_EQ(c->InputFor("/m.wav/song"), nullptr);  // the dot is in the folder
  EXPECT_EQ(c->OutputFor(".wav"), static_cast<TAuFileOut*>(c->WaveOut1));

  EXPECT_EQ(TBatchConverter::OutputFileName("/out/", "/rips/Song One.flac", ".mp3"),
            "/out/Song One.mp3");
  EXPECT_EQ(TBatchConverter::OutputFileName("/out/", "/rips/noext", ".wav"), "/out/noext.wav");
  EXPECT_EQ(TBatchConverter::OutputFileName("/o/", "/a.b/c.d/name.x.y", ".wma"), "/o/name.x.wma");
  EXPECT_EQ(TBatchConverter::OutputFileName("/o/", "/a.b/noext", ".wav"), "/o/noext.wav");
}

TEST(BatchDriver, OnDemandComponentsAreMadeByTheBatchThatNeedsThem) {
  TempDir dir;
  const auto pcm = RampPcm(4410, 2, 16);
  WriteWav(dir / "one.wav", pcm, 2, 16, 44100);
  auto c = MakeComponent<TBatchConverter>(nullptr, TBatchConverter::TFirstLane::OnDemand);
  EXPECT_EQ(c->WaveIn1, nullptr);
  EXPECT_EQ(c->WaveOut1, nullptr);
  EXPECT_EQ(c->InputFor(dir / "one.wav"), nullptr);
  ASSERT_TRUE(c->Convert({dir / "one.wav"}, ".wav", "160", dir / "out/"));
  ASSERT_TRUE(PumpUntil([&] { return !c->Running(); }, 20000));
  EXPECT_EQ(c->ConvertedCount(), 1);
  EXPECT_EQ(WavPayload(dir / "out/one.wav"), pcm);
  EXPECT_NE(c->WaveIn1, nullptr);
  EXPECT_EQ(c->InputFor(dir / "one.wav"), static_cast<TAuFileIn*>(c->WaveIn1));
  EXPECT_EQ(c->OutputFor(".wav"), static_cast<TAuFileOut*>(c->WaveOut1));
  EXPECT_EQ(c->MP3Out1, nullptr);  // nothing asked for it
  EXPECT_EQ(c->WMAOut1, nullptr);
}

TEST(BatchDriver, BitrateTexts) {
  EXPECT_EQ(TBatchConverter::GetMP3BitRate("48"), TMP3BitRate::mbr48);
  EXPECT_EQ(TBatchConverter::GetMP3BitRate("160"), TMP3BitRate::mbr160);
  EXPECT_EQ(TBatchConverter::GetMP3BitRate("320"), TMP3BitRate::mbr320);
  EXPECT_EQ(TBatchConverter::GetMP3BitRate("144"), TMP3BitRate::mbrAuto);  // not offered
}

TEST(FileNameCheck, AcceptsTheFiveExtensionsInAnyCase) {
  EXPECT_TRUE(TZemc::CheckValidFileName("/m/a.mp3"));
  EXPECT_TRUE(TZemc::CheckValidFileName("/m/d.FLAC"));
  EXPECT_TRUE(TZemc::CheckValidFileName("/m/song.MP3"));
  EXPECT_TRUE(TZemc::CheckValidFileName("/m/x.Ogg"));
  EXPECT_TRUE(TZemc::CheckValidFileName("/m/x.wma"));
  EXPECT_TRUE(TZemc::CheckValidFileName("/m/x.wav"));
  EXPECT_FALSE(TZemc::CheckValidFileName("/m/b.txt"));
  EXPECT_FALSE(TZemc::CheckValidFileName("/m/x.mp3.bak"));
  EXPECT_FALSE(TZemc::CheckValidFileName("/m/folder"));
  EXPECT_FALSE(TZemc::CheckValidFileName("/m.mp3/folder"));
  EXPECT_FALSE(TZemc::CheckValidFileName("/m/x.mp"));
}

TEST(BatchDriver, OggAndFlacSourcesConvertToWav) {
  TempDir dir;
  const std::string flac = std::string(TUNEVERT_TEST_DATA) + "/flac/s24-stereo.flac";
  const std::string ogg = std::string(TUNEVERT_TEST_DATA) + "/vorbis/mono.ogg";
  ASSERT_EQ(
      std::system(("flac -d -s -f -o '" + (dir / "flac-ref.wav") + "' '" + flac + "'").c_str()), 0);
  ASSERT_EQ(std::system(("oggdec -Q -o '" + (dir / "ogg-ref.wav") + "' '" + ogg + "'").c_str()), 0);
  const std::string out = dir / "out/";
  Batch b;
  ASSERT_TRUE(b.Run({flac, ogg}, out));
  EXPECT_TRUE(b.failures.empty()) << b.failures.front();
  EXPECT_EQ(WavPayload(out + "s24-stereo.wav"), WavPayload(dir / "flac-ref.wav"));
  EXPECT_EQ(WavPayload(out + "mono.wav"), WavPayload(dir / "ogg-ref.wav"));
  EXPECT_EQ(b.c->FLACIn1->ClassName(), "TFLACIn");
  EXPECT_EQ(b.c->VorbisIn1->ClassName(), "TVorbisIn");
}

TEST(BatchDriver, ProgressIsPostedOnlyWhileSomeoneListens) {
  TempDir dir;
  WriteWav(dir / "a.wav", RampPcm(200000, 2, 16), 2, 16, 44100);
  Batch b;
  std::vector<int> positions;
  b.c->OnProgressPosition = [&](int p) { positions.push_back(p); };
  ASSERT_TRUE(b.Run({dir / "a.wav"}, dir / "out/"));
  EXPECT_TRUE(b.failures.empty());
  EXPECT_NE(std::find(positions.begin(), positions.end(), 100), positions.end());
  EXPECT_TRUE(b.c->WaveOut1->OnProgress());

  b.c->OnProgressPosition = nullptr;
  ASSERT_TRUE(b.Run({dir / "a.wav"}, dir / "out2/"));
  EXPECT_TRUE(b.failures.empty());
  for (TAuFileOut* output : {b.c->WMAOut1, static_cast<TAuFileOut*>(b.c->WaveOut1), b.c->MP3Out1})
    EXPECT_FALSE(output->OnProgress());
}
