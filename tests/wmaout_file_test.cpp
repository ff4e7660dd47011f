// TWMAOut over the real runtime: WAV sources encoded to WMA, the results examined with
// ffprobe and decoded with ffmpeg.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include "platform/Text.h"
#include "platform/Thread.h"
#include "tests/AppTestFiles.h"
#include "tests/PipelineFakes.h"
#include "tests/WMTestSupport.h"
#include "wav/AuWave.h"
#include "winmedia/AuWMAOut.h"

using namespace tunevert;
using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

std::string Fixture(const std::string& Name) {
  return std::string(TUNEVERT_TEST_DATA) + "/wmaout/" + Name;
}

std::string Text(const std::vector<uint8_t>& Bytes) {
  return {Bytes.begin(), Bytes.end()};
}

// ffprobe's view of the first audio stream and the container: key=value pairs, tags with
// their ffprobe names ("TAG:title").
std::map<std::string, std::string> Probe(const std::string& Path) {
  std::istringstream In(
      Text(RunTool("ffprobe -v error -select_streams a:0 -show_entries "
                   "stream=codec_name,channels,sample_rate,bit_rate:format=duration:format_tags "
                   "-of default=noprint_wrappers=1 '" +
                   Path + "'")));
  std::map<std::string, std::string> Fields;
  for (std::string Line; std::getline(In, Line);) {
    const size_t Eq = Line.find('=');
    if (Eq != std::string::npos) Fields[Line.substr(0, Eq)] = Line.substr(Eq + 1);
  }
  return Fields;
}

// The format the runtime chooses for a source, as FindCodecFormat reports it.
struct Chosen {
  uint32_t Bitrate = 0, Rate = 0, Channels = 0;
};
Chosen ChosenFormat(uint16_t Channels, uint16_t Bits, uint32_t Rate, uint32_t Kbits) {
  WAVEFORMATEX Template{};
  Template.wFormatTag = WAVE_FORMAT_PCM;
  Template.nChannels = Channels;
  Template.nSamplesPerSec = Rate;
  Template.wBitsPerSample = Bits;
  TInterfaceRef<IWMStreamConfig> Config;
  Chosen Result;
  if (!FindCodecFormat(Template, Kbits * 1000, false, false, Config)) return Result;
  Config->GetBitrate(&Result.Bitrate);
  IWMMediaProps* Props = nullptr;
  Config->QueryInterface(IID_IWMMediaProps, reinterpret_cast<void**>(&Props));
  uint32_t Size = 0;
  Props->GetMediaType(nullptr, &Size);
  std::vector<uint8_t> Block(Size);
  auto* Type = reinterpret_cast<WM_MEDIA_TYPE*>(Block.data());
  Props->GetMediaType(Type, &Size);
  WAVEFORMATEX W;
  std::memcpy(&W, Type->pbFormat, sizeof W);
  Props->Release();
  Result.Rate = W.nSamplesPerSec;
  Result.Channels = W.nChannels;
  return Result;
}

// One source through a TWMAOut on the calling thread; the message of a failure, or empty.
std::string Encode(const std::string& Source, const std::string& Target, uint32_t Bitrate,
                   const TId3v2Tags* Tags = nullptr) {
  TWaveIn In;
  TWMAOut Out;
  In.SetFileName(Source);
  Out.SetInput(&In);
  Out.SetFileName(Target);
  Out.SetDesiredBitrate(Bitrate);
  if (Tags) Out.SetId3v2Tags(Tags);
  try {
    Out.BlockingRun();
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

// Zero crossings per second of one channel of interleaved 16-bit PCM, counted with a
// hysteresis of 1000 so that the coding noise of the padding adds none: twice its frequency.
double Crossings(const std::vector<uint8_t>& Pcm, int Channels, int Channel, int Rate) {
  const size_t Frames = Pcm.size() / (2 * Channels);
  int Count = 0, Side = 0;
  size_t First = 0, Last = 0;
  for (size_t f = 0; f < Frames; ++f) {
    int16_t V;
    std::memcpy(&V, Pcm.data() + 2 * (f * Channels + Channel), 2);
    const int Now = V > 1000 ? 1 : V < -1000 ? -1 : 0;
    if (Now == 0 || Now == Side) continue;
    if (Side != 0) {
      if (Count == 0) First = f;
      Last = f;
      ++Count;
    }
    Side = Now;
  }
  if (Count < 2) return 0;
  return (Count - 1) * static_cast<double>(Rate) / static_cast<double>(Last - First);
}

struct Case {
  const char* Source;
  uint32_t Kbits;
  uint16_t Channels, Bits;
  uint32_t Rate;
  double Seconds;
};

class WavToWma : public ::testing::TestWithParam<Case> {};

TEST_P(WavToWma, WritesTheChosenFormatAndFfmpegDecodesIt) {
  const Case& C = GetParam();
  TempDir Dir;
  const std::string Target = Dir / "out.wma";
  ASSERT_EQ(Encode(Fixture(C.Source), Target, C.Kbits), "");

  const Chosen Format = ChosenFormat(C.Channels, C.Bits, C.Rate, C.Kbits);
  ASSERT_GT(Format.Bitrate, 0u);
  auto Info = Probe(Target);
  EXPECT_EQ(Info["codec_name"], "wmav2");
  EXPECT_EQ(std::stoul(Info["channels"]), Format.Channels);
  EXPECT_EQ(std::stoul(Info["sample_rate"]), Format.Rate);
  const double Bitrate = std::stod(Info["bit_rate"]);
  EXPECT_NEAR(Bitrate, C.Kbits * 1000.0, C.Kbits * 1000.0 * 0.01);
  EXPECT_EQ(static_cast<uint32_t>(Bitrate), Format.Bitrate);
  // Within two codec frames of 2048 samples of the source's length: the last frame of audio
  // is completed by one frame of silence, which the container counts.
  EXPECT_NEAR(std::stod(Info["duration"]), C.Seconds, 2 * 2048.0 / Format.Rate + 0.001);

  // Decodes without a single error message, and both tones are where they were.
  const std::string Errors =
      Text(RunTool("ffmpeg -nostdin -v error -i '" + Target + "' -f null - 2>&1"));
  EXPECT_EQ(Errors, "");
  const auto Pcm = FfmpegDecode(Target, "s16le", "-ac " + std::to_string(Format.Channels));
  const int Rate = static_cast<int>(Format.Rate);
  const double Left = C.Channels == 1 ? 500 : 440;
  EXPECT_NEAR(Crossings(Pcm, Format.Channels, 0, Rate) / 2, Left, Left * 0.01);
  if (Format.Channels == 2) {
    EXPECT_NEAR(Crossings(Pcm, 2, 1, Rate) / 2, 660, 660 * 0.01);
  }
}

INSTANTIATE_TEST_SUITE_P(Bitrates, WavToWma,
                         ::testing::Values(Case{"stereo-44100.wav", 48, 2, 16, 44100, 1.0},
                                           Case{"stereo-44100.wav", 128, 2, 16, 44100, 1.0},
                                           Case{"stereo-44100.wav", 160, 2, 16, 44100, 1.0},
                                           Case{"stereo-44100.wav", 320, 2, 16, 44100, 1.0},
                                           Case{"mono-22050.wav", 48, 1, 16, 22050, 1.0},
                                           Case{"stereo-24bit-48000.wav", 160, 2, 24, 48000, 0.5},
                                           Case{"stereo-96000.wav", 160, 2, 16, 96000, 0.5}));

// A source announcing four times what it holds: the file lasts as long as what was delivered.
TEST(WMAOutFile, LengthIsThatOfTheAudioDelivered) {
  TempDir Dir;
  PatternInput In;
  In.TotalFrames = 44100;
  In.AnnouncedSize = 44100 * 4 * 4;
  TWMAOut Out;
  Out.SetInput(&In);
  Out.SetFileName(Dir / "out.wma");
  Out.SetDesiredBitrate(128);
  Out.BlockingRun();
  EXPECT_NEAR(std::stod(Probe(Dir / "out.wma")["duration"]), 1.0, 2 * 2048.0 / 44100 + 0.001);
  // Every frame delivered comes back, then at most one codec frame of silence; without the
  // closing frame the decoder gave back one codec frame less than was encoded.
  for (const int frames : {44100, 2048 * 21, 1000}) {
    SCOPED_TRACE(frames);
    In.TotalFrames = frames;
    In.AnnouncedSize = int64_t{frames} * 4;
    Out.BlockingRun();
    const size_t decoded = DecodedFrames(Dir / "out.wma", 2);
    EXPECT_GE(decoded, static_cast<size_t>(frames));
    EXPECT_LT(decoded, static_cast<size_t>(frames) + 2048);
  }
}

TEST(WMAOutFile, RateIsTheFirstListedAtTheClosestBitrate) {
  // Formats of equal bitrate are taken in the runtime's order, 44.1 kHz first; a source rate
  // the encoder cannot write (above 48 kHz) is resampled by the runtime.
  EXPECT_EQ(ChosenFormat(2, 16, 44100, 160).Rate, 44100u);
  EXPECT_EQ(ChosenFormat(2, 16, 48000, 160).Rate, 44100u);
  EXPECT_EQ(ChosenFormat(2, 16, 96000, 160).Rate, 44100u);
  // A rate more than twice away is never taken: 8 kHz goes to 16 kHz, the nearest rate that
  // offers 48 kbit/s mono.
  const Chosen Low = ChosenFormat(1, 16, 8000, 48);
  EXPECT_EQ(Low.Rate, 16000u);
  EXPECT_EQ(Low.Bitrate, 48000u);
  // A width of its own: 24-bit PCM finds the formats offered for 24 bits.
  EXPECT_EQ(ChosenFormat(2, 24, 48000, 320).Bitrate, 320000u);
}

TEST(WMAOutFile, TagsBecomeAsfMetadata) {
  TempDir Dir;
  TId3v2Tags Tags;
  Tags.SetArtist(u"The Testers");
  Tags.SetAlbum(u"Fixture Album");
  Tags.SetGenre(u"Ambient");
  Tags.SetYear("2019");
  Tags.SetTrack("7");
  Tags.SetTitle(u"Caf\u00e9 \u65e5\u672c");
  Tags.SetComment(u"(c) Nobody");
  const std::string Target = Dir / "tagged.wma";
  ASSERT_EQ(Encode(Fixture("stereo-44100.wav"), Target, 64, &Tags), "");
  auto Info = Probe(Target);
  EXPECT_EQ(Info["TAG:title"], Utf16ToUtf8(u"Caf\u00e9 \u65e5\u672c"));
  EXPECT_EQ(Info["TAG:artist"], "The Testers");
  EXPECT_EQ(Info["TAG:album"], "Fixture Album");
  EXPECT_EQ(Info["TAG:genre"], "Ambient");
  EXPECT_EQ(Info["TAG:WM/Year"], "2019");
  EXPECT_EQ(Info["TAG:WM/Track"], "7");
  EXPECT_EQ(Info["TAG:copyright"], "(c) Nobody");

  // Our own reader finds them under the same attribute names.
  auto Stream = LoadFile(Target);
  wma_sync_reader Reader;
  SyncReaderOpen(Reader, Stream.get(), false, 0);
  EXPECT_EQ(SyncReaderAuthor(Reader), u"The Testers");
  EXPECT_EQ(SyncReaderTrack(Reader), u"7");
  EXPECT_EQ(SyncReaderCopyright(Reader), u"(c) Nobody");
  SyncReaderClose(Reader);
}

// Attribute lengths travel in 16 bits of bytes, the terminating null included: a value
// longer than 32,766 UTF-16 units is cut there, never through a surrogate pair, and the
// file stays readable by another tool.
struct LongText {
  const char* Name;
  size_t Units;      // of 'x'
  bool PairAtLimit;  // a surrogate pair straddling the limit follows
  size_t Kept;       // units the file holds
};

class WMAOutLongText : public ::testing::TestWithParam<LongText> {};

TEST_P(WMAOutLongText, IsCutToWhatTheHeaderCanHold) {
  const LongText& C = GetParam();
  std::u16string Value(C.Units, u'x');
  if (C.PairAtLimit) Value += u"\U0001F600tail";
  const std::u16string Expected = Value.substr(0, C.Kept);
  TempDir Dir;
  TId3v2Tags Tags;
  Tags.SetTitle(Value);  // the content description object
  Tags.SetAlbum(Value);  // the extended one
  Tags.SetArtist(u"After");
  const std::string Target = Dir / "long.wma";
  ASSERT_EQ(Encode(Fixture("mono-22050.wav"), Target, 48, &Tags), "");
  auto Info = Probe(Target);
  // Compared whole but not printed: a failure shows the sizes.
  const std::string Utf8 = Utf16ToUtf8(Expected);
  EXPECT_EQ(Info["TAG:title"].size(), Utf8.size());
  EXPECT_TRUE(Info["TAG:title"] == Utf8);
  EXPECT_EQ(Info["TAG:album"].size(), Utf8.size());
  EXPECT_TRUE(Info["TAG:album"] == Utf8);
  EXPECT_EQ(Info["TAG:artist"], "After");
  EXPECT_NEAR(std::atof(Info["duration"].c_str()), 1.0, 0.1);
}

INSTANTIATE_TEST_SUITE_P(Lengths, WMAOutLongText,
                         ::testing::Values(LongText{"fits", 32766, false, 32766},
                                           LongText{"one_over", 32767, false, 32766},
                                           LongText{"far_over", 40000, false, 32766},
                                           LongText{"pair_at_limit", 32765, true, 32765}),
                         [](const auto& P) { return std::string(P.param.Name); });

TEST(WMAOutFile, EmptyTagsWriteNoAttributes) {
  TempDir Dir;
  TId3v2Tags Tags;
  Tags.SetTitle(u"Only Title");
  const std::string Target = Dir / "title.wma";
  ASSERT_EQ(Encode(Fixture("mono-22050.wav"), Target, 48, &Tags), "");
  auto Info = Probe(Target);
  EXPECT_EQ(Info["TAG:title"], "Only Title");
  EXPECT_EQ(Info.count("TAG:artist"), 0u);
  EXPECT_EQ(Info.count("TAG:copyright"), 0u);
}

TEST(WMAOutFile, CodecListAndFormatDescriptions) {
  TWMAOut Out;
  ASSERT_EQ(Out.CodecsCount(), 1);
  EXPECT_EQ(Out.GetCodecName(0), "Windows Media Audio 2");
  EXPECT_EQ(Out.GetCodecName(1), "");
  const auto& Formats = Out.GetFormats(0);
  EXPECT_NE(std::find(Formats.begin(), Formats.end(), "160 kbit/s, 44 kHz, stereo"), Formats.end());
  EXPECT_NE(std::find(Formats.begin(), Formats.end(), "160 kbit/s, 44 kHz, stereo, 24-bit input"),
            Formats.end());
  // Nothing above the encoder's 48 kHz, nothing beyond two channels.
  for (const auto& Desc : Formats) {
    EXPECT_EQ(Desc.find("96 kHz"), std::string::npos) << Desc;
    EXPECT_EQ(Desc.find("5.1"), std::string::npos) << Desc;
  }
  EXPECT_EQ(Out.GetFormatsCount(0), Formats.size());
  EXPECT_EQ(Out.GetFormatDesc(0, 0), Formats[0]);
  EXPECT_EQ(Out.GetFormatDesc(0, static_cast<uint16_t>(Formats.size())), "");
  EXPECT_EQ(Out.GetFormatsCount(1), 0u);
  // The encoder has no variable-bitrate mode: asking for VBR formats finds none.
  Out.SetVBR(true);
  EXPECT_EQ(Out.GetFormatsCount(0), 0u);
}

TEST(WMAOutFile, ExplicitCodecAndFormat) {
  TempDir Dir;
  TWMAOut Probe0;
  const auto& Formats = Probe0.GetFormats(0);
  const auto It = std::find(Formats.begin(), Formats.end(), "64 kbit/s, 32 kHz, mono");
  ASSERT_NE(It, Formats.end());

  // A stereo 44.1 kHz source into a mono 32 kHz format: the runtime mixes and resamples.
  TWaveIn In;
  TWMAOut Out;
  In.SetFileName(Fixture("stereo-44100.wav"));
  Out.SetInput(&In);
  Out.SetFileName(Dir / "explicit.wma");
  Out.SetCodecIndex(0);
  Out.SetFormatIndex(static_cast<int32_t>(It - Formats.begin()));
  Out.BlockingRun();
  auto Info = Probe(Dir / "explicit.wma");
  EXPECT_EQ(Info["channels"], "1");
  EXPECT_EQ(Info["sample_rate"], "32000");

  Out.SetCodecIndex(5);
  try {
    Out.BlockingRun();
    ADD_FAILURE() << "a codec that does not exist was accepted";
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(),
                 "Filed to set data writer, possible reason: required WMA codec not installed.");
  }
}

TEST(WMAOutFile, UnsupportedTargetsFailToInitCodec) {
  TempDir Dir;
  EXPECT_EQ(Encode(Fixture("stereo-44100.wav"), Dir / "zero.wma", 0), "Failed to init codec");
  TWaveIn In;
  TWMAOut Out;
  In.SetFileName(Fixture("stereo-44100.wav"));
  Out.SetInput(&In);
  Out.SetFileName(Dir / "vbr.wma");
  Out.SetVBR(true);
  Out.SetVBRQuality(90);
  EXPECT_THROW(Out.BlockingRun(), Exception);
  Out.SetVBR(false);
  Out.SetLossless(true);
  try {
    Out.BlockingRun();
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Failed to init codec");
  }
  EXPECT_EQ(RuntimeLiveObjects(), 0);
}

TEST(WMAOutFile, UnwritableFolderCannotCreateFile) {
  TempDir Dir;
  WriteAll(Dir / "plain-file", {1, 2, 3});
  // A folder that is really a file: no user, root included, can create anything in it.
  EXPECT_EQ(Encode(Fixture("stereo-44100.wav"), Dir / "plain-file/out.wma", 160),
            "Cannot create file");
  EXPECT_EQ(Encode(Fixture("stereo-44100.wav"), Dir / "missing/out.wma", 160),
            "Cannot create file");
  EXPECT_EQ(RuntimeLiveObjects(), 0);
}

TEST(WMAOutFile, FullDiskEndsTheRunWithAnOutputError) {
  ASSERT_TRUE(fs::exists("/dev/full"));
  TWaveIn In;
  TWMAOut Out;
  In.SetFileName(Fixture("stereo-44100.wav"));
  Out.SetInput(&In);
  Out.SetFileName("/dev/full");
  Out.SetDesiredBitrate(160);
  bool Done = false;
  Out.SetOnDone([&](TComponent*) { Done = true; });
  Out.Run();
  ASSERT_TRUE(PumpUntil([&] { return Done; }, 20000));
  EXPECT_EQ(Out.ExceptionMessage(),
            "The output file could not be written: No space left on device");
  EXPECT_EQ(RuntimeLiveObjects(), 0);
}

TEST(WMAOutFile, MissingRuntime) {
  UnloadWMRuntime();
  {
    TempDir Dir;
    TWMAOut Out;
    EXPECT_EQ(Out.CodecsCount(), 0);
    EXPECT_EQ(Encode(Fixture("stereo-44100.wav"), Dir / "out.wma", 160), "Cannot create file");
    EXPECT_FALSE(fs::exists(Dir / "out.wma"));
  }
  LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false);
  ASSERT_TRUE(WMRuntimeLoaded());
}

TEST(WMAOutFile, NoFileName) {
  TWaveIn In;
  TWMAOut Out;
  In.SetFileName(Fixture("stereo-44100.wav"));
  Out.SetInput(&In);
  Out.SetDesiredBitrate(160);
  try {
    Out.BlockingRun();
    ADD_FAILURE();
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "File name is not assigned.");
  }
}

// ---- speed, on request (TUNEVERT_BENCH=1) ----

TEST(WMAOutBench, AgainstFfmpegAt160) {
  if (!std::getenv("TUNEVERT_BENCH")) GTEST_SKIP() << "set TUNEVERT_BENCH=1";
  TempDir Dir;
  const std::string Source = Dir / "long.wav";
  RunTool("sox -n -r 44100 -c 2 -b 16 '" + Source + "' synth 120 sine 440 sine 660 gain -6");
  using Clock = std::chrono::steady_clock;
  double Ours = 1e9, Theirs = 1e9;
  for (int Round = 0; Round < 3; ++Round) {
    auto T0 = Clock::now();
    ASSERT_EQ(Encode(Source, Dir / "ours.wma", 160), "");
    auto T1 = Clock::now();
    RunTool("ffmpeg -nostdin -v error -y -i '" + Source + "' -c:a wmav2 -b:a 160k '" +
            (Dir / "theirs.wma") + "'");
    auto T2 = Clock::now();
    Ours = std::min(Ours, std::chrono::duration<double>(T1 - T0).count());
    Theirs = std::min(Theirs, std::chrono::duration<double>(T2 - T1).count());
  }
  std::printf("WAV -> WMA 160 kbit/s, 120 s stereo: tunevert %.3f s, ffmpeg %.3f s (%.0f%%)\n",
              Ours, Theirs, 100.0 * Ours / Theirs);
  EXPECT_LT(Ours, Theirs * 1.10);
}

}  // namespace
