// The inputs decoded through the FFmpeg-backed runtime (M4A, ADTS AAC, AIFF/AIFC, WavPack,
// APE) against the ffmpeg tool on the same committed fixtures, and their tags against
// mutagen.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "tags/TagLibMeta.h"
#include "tests/WMTestSupport.h"
#include "winmedia/AuFFmpegIn.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

std::string Fixture(const std::string& Name) {
  return std::string(TUNEVERT_TEST_DATA) + "/ffin/" + Name;
}

std::string ToolText(const std::string& Command) {
  const auto Out = RunTool(Command);
  return std::string(Out.begin(), Out.end());
}

// The container's own sample count of its first audio stream.
int64_t ContainerFrames(const std::string& Path) {
  return std::atoll(ToolText("ffprobe -v error -select_streams a:0 -show_entries "
                             "stream=duration_ts -of csv=p=0 '" +
                             Path + "'")
                        .c_str());
}

double SnrDb(const std::vector<uint8_t>& Ours, const std::vector<uint8_t>& Theirs) {
  double Signal = 0, Noise = 0;
  const size_t Values = std::min(Ours.size(), Theirs.size()) / 2;
  for (size_t i = 0; i < Values; ++i) {
    const auto A = static_cast<int16_t>(Ours[2 * i] | (Ours[2 * i + 1] << 8));
    const auto B = static_cast<int16_t>(Theirs[2 * i] | (Theirs[2 * i + 1] << 8));
    Signal += double(B) * B;
    Noise += double(A - B) * (A - B);
  }
  return Noise == 0 ? 200 : 10 * std::log10(Signal / Noise);
}

struct FfCase {
  const char* File;
  uint32_t Channels;
  uint32_t Rate;
  uint32_t Bits;
  // Lossy sources match at 50 dB; their length is the container's count (priming and
  // padding left out), which the tool does not cut at the end.
  bool Lossy;
  int64_t Frames = 0;  // the length when the container does not tell the tool
};

void PrintTo(const FfCase& Case, std::ostream* Out) {
  *Out << Case.File;
}

std::string CaseName(const ::testing::TestParamInfo<FfCase>& Info) {
  std::string Name = Info.param.File;
  for (char& C : Name)
    if (!std::isalnum(static_cast<unsigned char>(C))) C = '_';
  return Name;
}

// The two lossy sources first.
const FfCase kCases[] = {
    {"aac-stereo-44100.m4a", 2, 44100, 16, true},
    {"aac-itunsmpb-44100.m4a", 2, 44100, 16, true, 9318},
    {"aac-mono-22050.aac", 1, 22050, 16, false},  // no length given: all the tool decodes
    {"alac-stereo-44100.m4a", 2, 44100, 16, false},
    {"alac-24bit-48000.m4a", 2, 48000, 24, false},
    {"aiff-stereo-44100.aiff", 2, 44100, 16, false},
    {"aiff-24bit-48000.aif", 2, 48000, 24, false},
    {"aifc-sowt-mono-22050.aifc", 1, 22050, 16, false},
    {"wavpack-stereo-44100.wv", 2, 44100, 16, false},
    {"wavpack-24bit-48000.wv", 2, 48000, 24, false},
    {"wavpack-six-8000.wv", 6, 8000, 16, false},
    {"ape-stereo-44100.ape", 2, 44100, 16, false},
    {"ape-mono-22050.ape", 1, 22050, 16, false},
};

class FFmpegInput : public ::testing::TestWithParam<FfCase> {};

TEST_P(FFmpegInput, DecodesWhatTheToolDecodesToTheFrame) {
  const FfCase& Case = GetParam();
  const std::string Path = Fixture(Case.File);
  TFFmpegIn In;
  In.SetFileName(Path);
  ASSERT_TRUE(In.Valid());
  EXPECT_EQ(In.Channels(), Case.Channels);
  EXPECT_EQ(In.SampleRate(), Case.Rate);
  ASSERT_EQ(In.BitsPerSample(), Case.Bits);
  const int64_t Frame = Case.Channels * Case.Bits / 8;
  const auto Theirs = FfmpegDecode(Path, Case.Bits == 24 ? "s24le" : "s16le");
  // The ADTS case also checks that the length is not the demuxer's bitrate guess.
  const int64_t Frames = Case.Frames  ? Case.Frames
                         : Case.Lossy ? ContainerFrames(Path)
                                      : int64_t(Theirs.size()) / Frame;
  EXPECT_EQ(In.TotalSamples(), Frames);
  EXPECT_EQ(In.Size(), Frames * Frame);

  const auto Ours = ReadInput(In, 3001);  // not a frame multiple on purpose
  In.Flush();
  ASSERT_EQ(int64_t(Ours.size()), Frames * Frame);
  if (Case.Lossy)
    EXPECT_GE(SnrDb(Ours, Theirs), 50.0);
  else
    EXPECT_TRUE(Ours == Theirs);
  EXPECT_EQ(RuntimeLiveObjects(), 0);
}

// Lossy decoding differs around a jump, so only the lossless sources take part.
class LosslessInput : public ::testing::TestWithParam<FfCase> {};

TEST_P(LosslessInput, StartsAtAnySampleExactly) {
  const FfCase& Case = GetParam();
  const std::string Path = Fixture(Case.File);
  const auto Theirs = FfmpegDecode(Path, Case.Bits == 24 ? "s24le" : "s16le");
  const size_t Frame = Case.Channels * Case.Bits / 8;
  TFFmpegIn In;
  In.SetFileName(Path);
  // Off every block and hundredth-of-a-second grid.
  const int64_t Start = In.TotalSamples() / 3 + 7;
  In.SetStartSample(Start);
  In.SetEndSample(Start + 1000);  // the last sample taken
  const auto Ours = ReadInput(In, 4096);
  In.Flush();
  ASSERT_EQ(Ours.size(), 1001 * Frame);
  EXPECT_TRUE(std::equal(Ours.begin(), Ours.end(), Theirs.begin() + Start * Frame));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FFmpegInput, ::testing::ValuesIn(kCases), CaseName);
INSTANTIATE_TEST_SUITE_P(Fixtures, LosslessInput, ::testing::ValuesIn(kCases + 2, std::end(kCases)),
                         CaseName);

TEST(FFmpegInput, AJumpDuringAPassLandsOnTheSample) {
  const std::string Path = Fixture("wavpack-stereo-44100.wv");
  const auto Theirs = FfmpegDecode(Path);
  TFFmpegIn In;
  In.SetFileName(Path);
  In.Init();
  void* Buffer = nullptr;
  uint32_t Bytes = 4000;
  In.GetData(Buffer, Bytes);
  ASSERT_EQ(Bytes, 4000u);
  ASSERT_TRUE(In.Seek(5003));
  Bytes = 400;
  In.GetData(Buffer, Bytes);
  ASSERT_EQ(Bytes, 400u);
  const auto* P = static_cast<const uint8_t*>(Buffer);
  EXPECT_TRUE(std::equal(P, P + Bytes, Theirs.begin() + 5003 * 4));
  In.Flush();
}

// Far jumps go through the demuxer's index and the time stamps rather than decoding
// through; they must land on the same sample all the same.
struct FarCase {
  const char* Ext;
  const char* Encode;  // ffmpeg's options for 16-bit samples of the codec
};

class FarStart : public ::testing::TestWithParam<FarCase> {};

TEST_P(FarStart, LandsOnTheSampleInALongLosslessFile) {
  const std::string Path = ::testing::TempDir() + "ffin-far." + GetParam().Ext;
  RunTool("ffmpeg -nostdin -v error -y -f lavfi -i 'anoisesrc=d=12:a=0.3:r=44100' -ac 2 " +
          std::string(GetParam().Encode) + " '" + Path + "'");
  const auto Theirs = FfmpegDecode(Path);
  for (const int64_t Start : {int64_t{441000} + 7, int64_t{200000} + 3}) {
    TFFmpegIn In;
    In.SetFileName(Path);
    In.SetStartSample(Start);
    In.SetEndSample(Start + 999);
    const auto Ours = ReadInput(In, 4096);
    In.Flush();
    ASSERT_EQ(Ours.size(), 4000u) << Start;
    EXPECT_TRUE(std::equal(Ours.begin(), Ours.end(), Theirs.begin() + Start * 4)) << Start;
  }
  std::remove(Path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Codecs, FarStart,
                         ::testing::Values(FarCase{"m4a", "-c:a alac -sample_fmt s16p"},
                                           FarCase{"wv", "-c:a wavpack -sample_fmt s16p"},
                                           FarCase{"aiff", "-c:a pcm_s16be"}),
                         [](const auto& Info) { return std::string(Info.param.Ext); });

// The demuxer guesses an ADTS stream's length from its first frames' bitrate, which is
// seconds off for a long variable-rate stream; the count comes from every frame header,
// past an ID3v2 tag in front.
TEST(FFmpegInput, ALongAdtsStreamIsCountedFrameByFrame) {
  const std::string Path = ::testing::TempDir() + "long-ffin.aac";
  RunTool(
      "ffmpeg -nostdin -v error -y -f lavfi -i 'sine=f=440:d=20' -f lavfi -i "
      "'anoisesrc=d=20:a=0.3' -filter_complex '[0][1]concat=v=0:a=1' -c:a aac -b:a 96k "
      "-write_id3v2 1 -metadata title=Long '" +
      Path + "'");
  TFFmpegIn In;
  In.SetFileName(Path);
  ASSERT_TRUE(In.Valid());
  const auto Theirs = FfmpegDecode(Path);
  EXPECT_EQ(In.TotalSamples(), int64_t(Theirs.size()) / 2);
  In.Flush();
  // Cut inside a frame: that frame does not decode and is not counted.
  ASSERT_EQ(::truncate(Path.c_str(), 20000), 0);
  const auto Cut = FfmpegDecode(Path);
  TFFmpegIn Short;
  Short.SetFileName(Path);
  EXPECT_EQ(Short.TotalSamples(), int64_t(Cut.size()) / 2);
  EXPECT_EQ(ReadInput(Short, 4096), Cut);
  Short.Flush();
  std::remove(Path.c_str());
}

// The frame count stops at the first thing that is not a frame; the decoder finds the
// frames after it. Two runs of 4 s with an ID3v2 tag between them (as cat makes of two
// tagged streams) come out whole, as the tool decodes them.
TEST(FFmpegInput, AdtsFramesAfterATagInTheMiddleAreDelivered) {
  const std::string First = ::testing::TempDir() + "adts-first.aac";
  const std::string Second = ::testing::TempDir() + "adts-second.aac";
  const std::string Path = ::testing::TempDir() + "adts-tag-between.aac";
  RunTool("ffmpeg -nostdin -v error -y -f lavfi -i 'sine=f=440:d=4' -c:a aac -b:a 96k '" + First +
          "'");
  RunTool(
      "ffmpeg -nostdin -v error -y -f lavfi -i 'sine=f=660:d=4' -c:a aac -b:a 96k "
      "-write_id3v2 1 -metadata title=Second '" +
      Second + "'");
  RunTool("cat '" + First + "' '" + Second + "' > '" + Path + "'");
  const auto Theirs = FfmpegDecode(Path);
  const auto FirstRun = FfmpegDecode(First);
  TFFmpegIn In;
  In.SetFileName(Path);
  ASSERT_TRUE(In.Valid());
  // The count is an estimate of the first run only: else this tests nothing.
  ASSERT_EQ(In.TotalSamples(), int64_t(FirstRun.size()) / 2);
  const auto Ours = ReadInput(In, 4096);
  // Progress follows the audio past the count instead of passing 100 %.
  EXPECT_LE(In.Position(), In.Size());
  In.Flush();
  EXPECT_EQ(Ours.size(), Theirs.size());
  EXPECT_TRUE(Ours == Theirs);
  for (const std::string& F : {First, Second, Path}) std::remove(F.c_str());
}

// An iTunSMPB tag that counts 1 s of 3 (left from an edit, or simply wrong) trims nothing:
// frames follow well past its end, so it is not the real end. Its count only trims the
// padding of the last frame (the aac-itunsmpb fixture above).
TEST(FFmpegInput, AnITunSmpbCountShorterThanTheStreamIsNoLimit) {
  const std::string Path = ::testing::TempDir() + "itunsmpb-short.m4a";
  RunTool(
      "ffmpeg -nostdin -v error -y -f lavfi -i 'sine=f=440:d=3' -ac 2 -c:a aac -b:a 96k "
      "-use_editlist 0 '" +
      Path + "'");
  RunTool(
      "/usr/bin/python3 -c 'import sys\n"
      "from mutagen.mp4 import MP4, MP4FreeForm\n"
      "f = MP4(sys.argv[1])\n"
      "f[\"----:com.apple.iTunes:iTunSMPB\"] = [MP4FreeForm("
      "(\" 00000000 00000400 00000000 %016X\" % 44100 + \" 00000000\" * 8).encode())]\n"
      "f.save()' '" +
      Path + "'");
  const auto Theirs = FfmpegDecode(Path);
  TFFmpegIn In;
  In.SetFileName(Path);
  ASSERT_TRUE(In.Valid());
  ASSERT_EQ(In.TotalSamples(), 44100) << "the tag was not read: this tests nothing";
  const auto Ours = ReadInput(In, 4096);
  EXPECT_LE(In.Position(), In.Size());
  In.Flush();
  EXPECT_EQ(Ours.size(), Theirs.size());
  EXPECT_TRUE(Ours == Theirs);
  std::remove(Path.c_str());
}

// ---- tags ----

std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> Out;
  std::istringstream In(Text);
  for (std::string Line; std::getline(In, Line);)
    if (!Line.empty()) Out.push_back(Line);
  return Out;
}

std::string Sha1(const std::string& Data) {
  const std::string Path = ::testing::TempDir() + "ffin-picture.bin";
  FILE* F = std::fopen(Path.c_str(), "wb");
  std::fwrite(Data.data(), 1, Data.size(), F);
  std::fclose(F);
  const std::string Sum = ToolText("sha1sum '" + Path + "'");
  std::remove(Path.c_str());
  return Sum.substr(0, 40);
}

// Our tags in mutagen's notation (see dump-tags.py), sorted.
std::vector<std::string> OursAsLines(const TCarriedTags& Tags) {
  std::vector<std::string> Out;
  for (const auto& [Key, Values] : Tags.Text)
    for (const std::string& V : Values) Out.push_back(Key + "=" + V);
  for (const TCarriedPicture& P : Tags.Pictures)
    Out.push_back("PICTURE=" + std::to_string(P.Type) + "|" + P.Mime + "|" + P.Description + "|" +
                  Sha1(P.Data));
  std::sort(Out.begin(), Out.end());
  return Out;
}

class FFmpegSourceTags : public ::testing::TestWithParam<const char*> {};

TEST_P(FFmpegSourceTags, ReadAsMutagenReadsThem) {
  const std::string Path = Fixture(GetParam());
  auto Theirs =
      Lines(ToolText(std::string(TUNEVERT_TEST_SCRIPTS) + "/dump-tags.py '" + Path + "'"));
  // Fields that are not carried (the encoder's name).
  std::erase_if(Theirs, [](const std::string& L) { return L.rfind("OTHER=", 0) == 0; });
  ASSERT_GE(Theirs.size(), 7u) << "the fixture lost its tags";
  EXPECT_EQ(OursAsLines(ReadCarriedTags(Path)), Theirs);
}

// The lossy MP4 and the ADTS stream have ffmpeg's own tags; the other four every carried
// field, two artists and a cover.
INSTANTIATE_TEST_SUITE_P(Fixtures, FFmpegSourceTags,
                         ::testing::Values("aac-stereo-44100.m4a", "aac-mono-22050.aac",
                                           "alac-stereo-44100.m4a", "aiff-stereo-44100.aiff",
                                           "wavpack-stereo-44100.wv", "ape-stereo-44100.ape"),
                         [](const auto& Info) {
                           std::string Name = Info.param;
                           for (char& C : Name)
                             if (!std::isalnum(static_cast<unsigned char>(C))) C = '_';
                           return Name;
                         });

TEST(FFmpegSourceTags, UntaggedFilesGiveNothingAndImpostorsAreRefused) {
  EXPECT_TRUE(ReadCarriedTags(Fixture("ape-mono-22050.ape")).Empty());
  EXPECT_TRUE(ReadCarriedTags(Fixture("aiff-24bit-48000.aif")).Empty());
  EXPECT_TRUE(ReadCarriedTags(Fixture("alac-24bit-48000.m4a")).Empty());
  // WavPack bytes under each of the other names.
  for (const char* Ext : {".m4a", ".aiff", ".ape"}) {
    const std::string Path = ::testing::TempDir() + "ffin-impostor" + Ext;
    RunTool("cp '" + Fixture("wavpack-six-8000.wv") + "' '" + Path + "'");
    EXPECT_THROW(ReadCarriedTags(Path), EAuException) << Ext;
    std::remove(Path.c_str());
  }
}

}  // namespace
