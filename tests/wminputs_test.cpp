// The WMA and MP3 inputs over the real runtime library and the committed fixtures; decoded
// audio is compared with what the ffmpeg tool decodes from the same files.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "app/BatchConverter.h"
#include "platform/Exception.h"
#include "tests/AppTestFiles.h"
#include "tests/PipelineFakes.h"
#include "tests/WMTestSupport.h"
#include "winmedia/AuMpegIn.h"
#include "winmedia/AuWinMedia.h"

using namespace tunevert;
using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

// Opens the reader record to the tests.
template <class T>
class Probe final : public T {
 public:
  Probe() : T(nullptr) {}
  using T::reader;
};

int64_t ProbeCentiseconds(const std::string& Path) {
  auto Out = RunTool("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + Path + "'");
  return std::llround(std::atof(std::string(Out.begin(), Out.end()).c_str()) * 100);
}

// One whole pass (without the Flush, which the tests do themselves).
std::vector<uint8_t> Pass(TAuInput& In, uint32_t Block = 4096) {
  return ReadInput(In, Block);
}

// ---- decoding and the declared length ----

struct InputCase {
  const char* File;
  bool Mp3;
  uint32_t Channels;
  uint32_t Rate;
};

class DecodesThroughTheInput : public ::testing::TestWithParam<InputCase> {};

TEST_P(DecodesThroughTheInput, SamplesAndLengthAsDeclared) {
  const InputCase& Case = GetParam();
  const std::string Path = WMFixture(Case.File);
  std::unique_ptr<TWMIn> In = Case.Mp3 ? std::make_unique<TMP3In>() : std::make_unique<TWMIn>();
  In->SetFileName(Path);
  ASSERT_TRUE(In->Valid());
  EXPECT_EQ(In->Channels(), Case.Channels);
  EXPECT_EQ(In->SampleRate(), Case.Rate);
  EXPECT_EQ(In->BitsPerSample(), 16u);

  // The header's duration at 10-ms resolution, truncated to frames: progress only.
  const int64_t Frame = Case.Channels * 2;
  const int64_t Frames = ProbeCentiseconds(Path) * Case.Rate / 100;
  EXPECT_EQ(In->TotalSamples(), Frames);
  EXPECT_EQ(In->Size(), Frames * Frame);

  // The whole file, to the frame: the pass ends when the decoder runs dry.
  const auto Theirs = FfmpegDecode(Path);
  const auto Ours = Pass(*In, 3001);  // not a frame multiple on purpose
  EXPECT_EQ(Ours.size(), Theirs.size());
  EXPECT_TRUE(Ours == Theirs);
  In->Flush();
  EXPECT_EQ(RuntimeLiveObjects(), 0);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DecodesThroughTheInput,
                         ::testing::Values(InputCase{"wmav2-stereo-44100.wma", false, 2, 44100},
                                           InputCase{"wmav2-stereo-48000.wma", false, 2, 48000},
                                           InputCase{"wmav1-mono-22050.wma", false, 1, 22050},
                                           InputCase{"mp3-cbr-stereo-44100.mp3", true, 2, 44100},
                                           InputCase{"mp3-vbr-mono-22050.mp3", true, 1, 22050}),
                         [](const auto& Info) {
                           std::string Name = Info.param.File;
                           for (char& C : Name)
                             if (!std::isalnum(static_cast<unsigned char>(C))) C = '_';
                           return Name;
                         });

// A header whose duration is shorter than the audio (here 1 s of 2 and 3) does not cut it:
// the whole file comes out, as ffmpeg decodes it.
TEST(WMInput, AHeaderDurationShorterThanTheAudioIsNoLimit) {
  TempDir Dir;
  for (const char* Name : {"wmav1-mono-22050.wma", "wmav2-stereo-44100.wma"}) {
    SCOPED_TRACE(Name);
    auto Bytes = ReadAll(WMFixture(Name));
    // The file properties object: play duration (100 ns) at 64, preroll (ms) at 80.
    static constexpr uint8_t FileProperties[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                                   0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
    const auto At = std::search(Bytes.begin(), Bytes.end(), std::begin(FileProperties),
                                std::end(FileProperties));
    ASSERT_NE(At, Bytes.end());
    uint64_t Preroll = 0;
    for (int i = 7; i >= 0; --i) Preroll = Preroll << 8 | At[80 + i];
    const uint64_t Play = Preroll * 10000 + 10000000;
    for (int i = 0; i < 8; ++i) At[64 + i] = static_cast<uint8_t>(Play >> (8 * i));
    const std::string Path = Dir / Name;
    WriteAll(Path, Bytes);
    ASSERT_EQ(ProbeCentiseconds(Path), 100);

    const auto Theirs = FfmpegDecode(Path);
    TWMIn In;
    In.SetFileName(Path);
    ASSERT_TRUE(In.Valid());
    EXPECT_EQ(In.TotalSamples(), In.SampleRate());
    const auto Ours = Pass(In);
    // Progress follows the audio past the header's figure instead of passing 100 %.
    EXPECT_LE(In.Position(), In.Size());
    In.Flush();
    EXPECT_EQ(Ours.size(), Theirs.size());
    EXPECT_TRUE(Ours == Theirs);
  }
}

TEST(WMInput, ASecondPassStartsAgainFromTheBeginning) {
  TWMIn In;
  In.SetFileName(WMFixture("wmav1-mono-22050.wma"));
  const auto First = Pass(In);
  In.Flush();
  const auto Second = Pass(In);
  In.Flush();
  ASSERT_FALSE(First.empty());
  EXPECT_TRUE(First == Second);
}

TEST(WMInput, DataIsHandedOutInPlaceNeverPastTheRuntimeSample) {
  Probe<TWMIn> In;
  In.SetFileName(WMFixture("wmav2-stereo-44100.wma"));
  In.Init();
  void* Buffer = nullptr;
  uint32_t Bytes = 1000;
  In.GetData(Buffer, Bytes);
  ASSERT_EQ(Bytes, 1000u);
  uint8_t* Data = nullptr;
  uint32_t Length = 0;
  ASSERT_TRUE(In.reader.buffer);
  In.reader.buffer->GetBufferAndLength(&Data, &Length);
  ASSERT_GT(Length, 1000u);
  EXPECT_EQ(Buffer, Data);
  // A huge request gets only the rest of that sample, pointing into it.
  Bytes = 1 << 20;
  In.GetData(Buffer, Bytes);
  EXPECT_EQ(Bytes, Length - 1000);
  EXPECT_EQ(Buffer, Data + 1000);
  In.Flush();
}

// ---- seeking during a pass ----

// Reader: the input's record when the test can see it; otherwise the pass must run to the
// decoder's end, which tells how much of the old sample came first.
void CheckSeekDuringPass(TWMIn& In, const wma_sync_reader* Reader, const std::string& Name) {
  SCOPED_TRACE(Name);
  In.SetFileName(WMFixture(Name));
  const auto Full = FfmpegDecode(WMFixture(Name));
  In.Init();
  const int64_t Frame = In.Channels() * 2;
  std::vector<uint8_t> Before;
  while (Before.size() < 20000) {
    void* Buffer;
    uint32_t Bytes = 4000;
    In.GetData(Buffer, Bytes);
    ASSERT_GT(Bytes, 0u);
    Before.insert(Before.end(), static_cast<uint8_t*>(Buffer),
                  static_cast<uint8_t*>(Buffer) + Bytes);
  }
  size_t Left = 0;
  if (Reader) {
    uint8_t* Data;
    uint32_t Length;
    ASSERT_TRUE(Reader->buffer);
    Reader->buffer->GetBufferAndLength(&Data, &Length);
    Left = Length - Reader->offset;
    ASSERT_GT(Left, 0u) << "pick a read length that leaves part of a sample in hand";
  }

  const int64_t Target = In.SampleRate() * 3 / 2;  // 1.5 s: a whole number of hundredths
  ASSERT_TRUE(In.Seek(Target));
  EXPECT_EQ(In.Position(), Target * Frame);
  std::vector<uint8_t> After;
  while (true) {
    void* Buffer;
    uint32_t Bytes = 4096;
    In.GetData(Buffer, Bytes);
    if (Bytes == 0) break;
    After.insert(After.end(), static_cast<uint8_t*>(Buffer), static_cast<uint8_t*>(Buffer) + Bytes);
  }
  In.Flush();
  const size_t At = static_cast<size_t>(Target * Frame);
  ASSERT_LT(At, Full.size());
  if (!Reader) {
    ASSERT_GE(After.size(), Full.size() - At);
    Left = After.size() - (Full.size() - At);
    EXPECT_LT(Left, 65536u);
  }
  ASSERT_GT(After.size(), Left + 8192);
  // The rest of the sample in hand first, then the decode from exactly the target frame.
  EXPECT_TRUE(std::equal(After.begin(), After.begin() + Left, Full.begin() + Before.size()));
  ASSERT_LE(After.size() - Left, Full.size() - At);
  EXPECT_TRUE(std::equal(After.begin() + Left, After.end(), Full.begin() + At));
}

TEST(WMInputSeek, LandsOnTheFrameAskedFor) {
  Probe<TWMIn> Wma;
  CheckSeekDuringPass(Wma, &Wma.reader, "wmav2-stereo-48000.wma");
  // MP3's declared length includes the tail allowance: a seek reckoned from it lands early.
  TMP3In Mp3;
  CheckSeekDuringPass(Mp3, nullptr, "mp3-cbr-stereo-44100.mp3");
}

TEST(WMInputSeek, OutsideAPassItOnlyMovesTheStart) {
  TWMIn In;
  In.SetFileName(WMFixture("wmav1-mono-22050.wma"));
  ASSERT_GT(In.TotalSamples(), 22050);
  ASSERT_TRUE(In.Seek(22050));
  const auto Got = Pass(In);
  In.Flush();
  const auto Full = FfmpegDecode(WMFixture("wmav1-mono-22050.wma"));
  const size_t Expected = std::min<size_t>(Full.size(), static_cast<size_t>(In.TotalSamples()) * 2);
  ASSERT_EQ(Got.size(), Expected - 22050 * 2);
  EXPECT_TRUE(std::equal(Got.begin(), Got.end(), Full.begin() + 22050 * 2));
}

// ---- tags and header attributes ----

TEST(WMInputTags, AsfAttributesFillBothContainers) {
  TWMIn In;
  In.SetFileName(WMFixture("wmav2-stereo-44100.wma"));
  TId3v2Tags* V2 = In.Id3v2Tags();
  EXPECT_EQ(V2->Artist(), u"The Testers");
  EXPECT_EQ(V2->Title(), u"Caf\u00e9 Tune");
  EXPECT_EQ(V2->Album(), u"Fixture Album");
  EXPECT_EQ(V2->Genre(), u"Ambient");
  EXPECT_EQ(V2->Track(), "7");
  EXPECT_EQ(V2->Year(), "2019");
  EXPECT_EQ(V2->Comment(), u"(c) Nobody");
  TCommonTags* Common = In.CommonTags();
  EXPECT_EQ(Common->Artist(), u"The Testers");
  EXPECT_EQ(Common->Title(), u"Caf\u00e9 Tune");
  EXPECT_EQ(Common->Album(), u"Fixture Album");
  EXPECT_EQ(Common->Genre(), u"Ambient");
  EXPECT_EQ(Common->Track(), "7");
  EXPECT_EQ(Common->Year(), "2019");
  EXPECT_EQ(In.Bitrate(), 64000u);
  EXPECT_FALSE(In.IsVBR());
  EXPECT_TRUE(In.HasAudio());
  EXPECT_FALSE(In.IsProtected());
}

TEST(WMInputTags, Id3FramesFillBothContainersAndANewFileClearsThem) {
  TMP3In In;
  In.SetFileName(WMFixture("mp3-cbr-stereo-44100.mp3"));
  EXPECT_EQ(In.Id3v2Tags()->Title(), u"Caf\u00e9 Tune");
  EXPECT_EQ(In.Id3v2Tags()->Comment(), u"(c) Nobody");
  EXPECT_EQ(In.CommonTags()->Artist(), u"The Testers");
  EXPECT_EQ(In.CommonTags()->Track(), "7");
  EXPECT_EQ(In.CommonTags()->Year(), "2019");
  EXPECT_EQ(In.Bitrate(), 128000u);

  In.SetFileName(WMFixture("mp3-vbr-mono-22050.mp3"));
  EXPECT_TRUE(In.IsVBR());
  EXPECT_EQ(In.CommonTags()->Title(), u"Variable");
  EXPECT_EQ(In.CommonTags()->Artist(), u"");
  EXPECT_EQ(In.Id3v2Tags()->Comment(), u"");
  EXPECT_EQ(In.CommonTags()->Track(), "");
}

// ---- format choice through the properties ----

TEST(WMInputFormats, HighPrecisionReopensWithTheWideFormat) {
  TWMIn In;
  In.SetFileName(WMFixture("stereo-24bit-8000.flac"));
  EXPECT_EQ(In.BitsPerSample(), 16u);
  In.SetHighPrecision(true);
  EXPECT_EQ(In.BitsPerSample(), 24u);
  const auto Wide = Pass(In, 6000);
  In.Flush();
  const auto Theirs = FfmpegDecode(WMFixture("stereo-24bit-8000.flac"), "s24le", "-c:a pcm_s24le");
  EXPECT_TRUE(Wide == Theirs) << Wide.size() << " vs " << Theirs.size();
  In.SetHighPrecision(false);
  EXPECT_EQ(In.BitsPerSample(), 16u);
}

TEST(WMInputFormats, MultichannelRequestsForceHighPrecisionAndNeedAMatch) {
  TWMIn In;
  In.SetFileName(WMFixture("wmav2-stereo-44100.wma"));
  ASSERT_TRUE(In.Valid());
  for (TChannelsNumber Request : {TChannelsNumber::cn5dot1, TChannelsNumber::cn7dot1}) {
    In.SetOutputChannels(Request);
    EXPECT_TRUE(In.HighPrecision());
    EXPECT_FALSE(In.Valid()) << "a stereo file has no six- or eight-channel format";
    EXPECT_EQ(In.Size(), 0);
    // While a multichannel output is asked for, HighPrecision cannot be turned off.
    In.SetHighPrecision(false);
    EXPECT_TRUE(In.HighPrecision());
  }
  In.SetOutputChannels(TChannelsNumber::cnMonoOrStereo);
  EXPECT_TRUE(In.Valid());
  EXPECT_EQ(In.Channels(), 2u);

  TWMIn Eight;
  Eight.SetFileName(WMFixture("eight-channels-8000.flac"));
  Eight.SetOutputChannels(TChannelsNumber::cn5dot1);
  ASSERT_TRUE(Eight.Valid());
  EXPECT_EQ(Eight.Channels(), 6u);
}

TEST(WMInputFormats, FormatSelectedAndTheFormatList) {
  TWMIn In;
  EXPECT_EQ(In.FormatsCount(), 0u) << "no file, no formats";
  EXPECT_EQ(In.GetFormatSpec(0).SampleRate, 0u);
  In.SetFileName(WMFixture("stereo-24bit-8000.flac"));
  const uint32_t Count = In.FormatsCount();
  ASSERT_GE(Count, 1u);
  const TWMAFormatSpec First = In.GetFormatSpec(0);
  EXPECT_EQ(First.Channels, 2u);
  EXPECT_EQ(First.SampleRate, 8000u);
  EXPECT_EQ(In.GetFormatSpec(-1).Channels, 0u);

  // A chosen index sticks, with the format it names.
  In.SetHighPrecision(true);
  int32_t Wide = -1;
  for (uint32_t i = 0; i < In.FormatsCount(); ++i)
    if (In.GetFormatSpec(static_cast<int32_t>(i)).BitsPerSample == 24)
      Wide = static_cast<int32_t>(i);
  ASSERT_GE(Wide, 0) << "a 24-bit source offers a 24-bit format";
  const uint32_t HighFirstBits = In.GetFormatSpec(0).BitsPerSample;
  In.SetFormatSelected(Wide);
  EXPECT_EQ(In.FormatSelected(), Wide);
  EXPECT_EQ(In.BitsPerSample(), 24u);
  EXPECT_EQ(In.TotalSamples(), ProbeCentiseconds(WMFixture("stereo-24bit-8000.flac")) * 80);

  // -2: format 0 as offered with the wide formats enabled, whatever HighPrecision says.
  In.SetHighPrecision(false);
  In.SetFormatSelected(-2);
  EXPECT_EQ(In.FormatSelected(), 0);
  EXPECT_EQ(In.BitsPerSample(), HighFirstBits);
  In.SetFormatSelected(-5);
  EXPECT_EQ(In.FormatSelected(), 0);
  // The choice lasts until the file is closed.
  In.SetFileName(WMFixture("stereo-24bit-8000.flac"));
  EXPECT_EQ(In.BitsPerSample(), 16u);
}

// ---- broken sources and a missing runtime ----

TEST(WMInputBroken, GarbageAndPicturesAreNotValidAndPassEmpty) {
  TempDir Dir;
  std::vector<uint8_t> Garbage(5000);
  for (size_t i = 0; i < Garbage.size(); ++i) Garbage[i] = static_cast<uint8_t>(i * 131 + 7);
  WriteAll(Dir / "garbage.mp3", Garbage);
  for (const std::string& Path : {Dir / "garbage.mp3", WMFixture("not-audio.png")}) {
    SCOPED_TRACE(Path);
    TMP3In In;
    In.SetFileName(Path);
    EXPECT_FALSE(In.Valid());
    EXPECT_TRUE(Pass(In).empty());
    EXPECT_EQ(In.Size(), 0);
    In.Flush();
  }
  EXPECT_EQ(RuntimeLiveObjects(), 0);
}

TEST(WMInputBroken, AFailedOpenLeavesNoLengthOfTheFileBefore) {
  TempDir Dir;
  WriteAll(Dir / "empty.mp3", {});
  TMP3In In;
  In.SetFileName(WMFixture("mp3-cbr-stereo-44100.mp3"));
  ASSERT_GT(In.TotalSamples(), 0);
  In.SetFileName(Dir / "empty.mp3");
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(In.Valid());
    EXPECT_EQ(In.Size(), 0) << "the tail allowance grew on a file that never opened";
    EXPECT_EQ(In.TotalSamples(), -1);
  }
}

TEST(WMInputBroken, TruncatedFilesEndQuietly) {
  TempDir Dir;
  for (const char* Name : {"wmav2-stereo-44100.wma", "mp3-cbr-stereo-44100.mp3"}) {
    SCOPED_TRACE(Name);
    auto Whole = ReadAll(WMFixture(Name));
    Whole.resize(Whole.size() / 2);
    const std::string Cut = Dir / (std::string("cut-") + Name);
    WriteAll(Cut, Whole);
    TMP3In In;
    In.SetFileName(Cut);
    const auto Full = FfmpegDecode(WMFixture(Name));
    ASSERT_FALSE(Full.empty()) << "ffmpeg decoded nothing from " << Name;
    const auto Got = Pass(In);
    In.Flush();
    EXPECT_GT(Got.size(), Full.size() / 4);
    ASSERT_LT(Got.size(), Full.size());
    const size_t Same = Got.size() > 16384 ? Got.size() - 16384 : 0;
    EXPECT_TRUE(std::equal(Got.begin(), Got.begin() + Same, Full.begin()));
  }
}

TEST(WMInputBroken, ProtectedContentRaisesAndStaysClosed) {
  TWMIn In;
  In.SetFileName(WMFixture("protected-content.wma"));
  EXPECT_THROW(
      {
        try {
          In.IsProtected();
        } catch (const EAuException& E) {
          EXPECT_STREQ(E.what(), "File is protected");
          throw;
        }
      },
      EAuException);
  EXPECT_EQ(RuntimeLiveObjects(), 0);
  EXPECT_FALSE(In.Valid());
  EXPECT_THROW(In.Init(), EAuException);
  EXPECT_FALSE(In.IsBusy());
}

TEST(WMInputBroken, NoFileNameIsAnError) {
  TWMIn In;
  EXPECT_FALSE(In.Valid());
  EXPECT_THROW(In.HasAudio(), EAuException);
  EXPECT_EQ(In.FormatsCount(), 0u);
}

TEST(WMInputBroken, ResetThenReopenReleasesTheForgottenReader) {
  TWMIn In;
  In.SetFileName(WMFixture("wmav1-mono-22050.wma"));
  ASSERT_TRUE(In.Valid());
  In.Reset();
  EXPECT_TRUE(In.Valid());
  EXPECT_FALSE(Pass(In).empty());
  In.Flush();
  EXPECT_EQ(RuntimeLiveObjects(), 0);
}

// Reloads the runtime from a folder without it for one test.
class NoRuntime : public ::testing::Test {
 protected:
  void SetUp() override {
    UnloadWMRuntime();
    LoadWMRuntime(Empty.Path.string(), false);
    ASSERT_FALSE(WMRuntimeLoaded());
  }
  void TearDown() override { LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false); }
  TempDir Empty;
};

TEST_F(NoRuntime, InputsAreNotValidAndTheBatchGoesOn) {
  TWMIn In;
  In.SetFileName(WMFixture("wmav2-stereo-44100.wma"));
  EXPECT_FALSE(In.Valid());
  EXPECT_TRUE(Pass(In).empty());
  In.Flush();

  TempDir Dir;
  const auto Pcm = RampPcm(800, 2, 16);
  WriteWav(Dir / "b.wav", Pcm, 2, 16, 44100);
  auto Converter = MakeComponent<TBatchConverter>(nullptr);
  std::vector<std::string> Failures, Done;
  Converter->OnEntryFailed = [&](int, const std::string& M) { Failures.push_back(M); };
  Converter->OnEntryDone = [&](int, const std::string& F) { Done.push_back(F); };
  ASSERT_TRUE(Converter->Convert({WMFixture("mp3-cbr-stereo-44100.mp3"), Dir / "b.wav"}, ".wav",
                                 "128", Dir / "out"));
  ASSERT_TRUE(PumpUntil([&] { return !Converter->Running(); }, 20000));
  ASSERT_EQ(Failures.size(), 1u);
  EXPECT_EQ(Failures[0], "Not a valid or supported audio file");
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(WavPayload(Done[0]), Pcm);
}

}  // namespace
