// MP3 files as other tools write them (low rates, a few frames, tags and junk around the
// audio) and truncated downloads, through TMP3In and TWMIn, against the ffmpeg tool's decode.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "tests/AppTestFiles.h"
#include "tests/WMTestSupport.h"
#include "winmedia/AuMpegIn.h"
#include "winmedia/AuWinMedia.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

constexpr int64_t Mp3FrameSamples = 1152;

std::string SourceFixture(const std::string& Name) {
  return WMFixture("mp3src/" + Name);
}

// Everything the input delivers in one pass, GetData until an empty block.
std::vector<uint8_t> Pass(TAuInput& In, uint32_t Block = 4000) {
  std::vector<uint8_t> All;
  In.Init();
  for (int Guard = 0; Guard < 1000000; ++Guard) {
    void* Buffer = nullptr;
    uint32_t Bytes = Block;
    In.GetData(Buffer, Bytes);
    if (Bytes == 0) break;
    const auto* P = static_cast<const uint8_t*>(Buffer);
    All.insert(All.end(), P, P + Bytes);
  }
  In.Flush();
  return All;
}

// Signal to difference ratio in dB of 16-bit PCM over the common start; 200 when identical.
double SnrDb(const std::vector<uint8_t>& Ours, const std::vector<uint8_t>& Theirs) {
  const size_t Values = std::min(Ours.size(), Theirs.size()) / 2;
  double Signal = 0, Noise = 0;
  for (size_t i = 0; i < Values; ++i) {
    const double A = static_cast<int16_t>(Ours[2 * i] | (Ours[2 * i + 1] << 8));
    const double B = static_cast<int16_t>(Theirs[2 * i] | (Theirs[2 * i + 1] << 8));
    Signal += B * B;
    Noise += (A - B) * (A - B);
  }
  if (Noise == 0) return 200;
  return 10 * std::log10(Signal / Noise);
}

// ID3v2.3 tag with a title and a picture frame of PictureBytes incompressible bytes.
std::vector<uint8_t> PictureTag(size_t PictureBytes) {
  std::vector<uint8_t> Body;
  auto Frame = [&](const char* Id, const std::vector<uint8_t>& Data) {
    Body.insert(Body.end(), Id, Id + 4);
    const auto N = static_cast<uint32_t>(Data.size());
    for (int s = 24; s >= 0; s -= 8) Body.push_back(static_cast<uint8_t>(N >> s));
    Body.push_back(0);
    Body.push_back(0);
    Body.insert(Body.end(), Data.begin(), Data.end());
  };
  const std::string Title = "Big Picture";
  std::vector<uint8_t> Text{0};
  Text.insert(Text.end(), Title.begin(), Title.end());
  Frame("TIT2", Text);
  const std::string Head = std::string("\0image/png\0\x03\0", 14);
  std::vector<uint8_t> Picture(Head.begin(), Head.end());
  uint32_t Seed = 12345;
  for (size_t i = 0; i < PictureBytes; ++i) {
    Seed = Seed * 1103515245u + 12345u;
    Picture.push_back(static_cast<uint8_t>(Seed >> 23));
  }
  Frame("APIC", Picture);
  const auto Size = static_cast<uint32_t>(Body.size());
  std::vector<uint8_t> Tag{'I', 'D', '3', 3, 0, 0};
  for (int s = 21; s >= 0; s -= 7) Tag.push_back(static_cast<uint8_t>((Size >> s) & 0x7F));
  Tag.insert(Tag.end(), Body.begin(), Body.end());
  return Tag;
}

// The plain fixture behind a tag with a picture of PictureBytes.
std::string WithPicture(const TempDir& Dir, size_t PictureBytes) {
  auto Bytes = PictureTag(PictureBytes);
  const auto Audio = ReadAll(SourceFixture("plain.mp3"));
  Bytes.insert(Bytes.end(), Audio.begin(), Audio.end());
  WriteAll(Dir / "picture.mp3", Bytes);
  return Dir / "picture.mp3";
}

// ---- MP3 variants, frame counts and samples against ffmpeg ----

struct Mp3Case {
  const char* Name;
  uint32_t Channels;
  uint32_t Rate;
  // ffmpeg's decode of this fixture is what the case must deliver; empty: the file itself.
  // ffmpeg refuses a lone frame and reads a Lyrics3 block as audio, so those two compare
  // with the same audio in a file it reads right.
  const char* Reference = "";
  int64_t ReferenceFrames = -1;  // only this many frames of the reference; -1 all
  const char* Title = nullptr;   // the title the tags must carry
  // Builds the source into Dir from the fixture; empty: the fixture as committed.
  std::function<std::string(const TempDir& Dir, const std::string& Fixture)> Make = {};
};

class Mp3Sources : public ::testing::TestWithParam<Mp3Case> {};

TEST_P(Mp3Sources, DecodeAsFfmpegDoesToTheGaplessLength) {
  const Mp3Case& Case = GetParam();
  TempDir Dir;
  std::string Path = SourceFixture(Case.Name);
  if (Case.Make) Path = Case.Make(Dir, Path);
  const std::string Reference = *Case.Reference ? SourceFixture(Case.Reference) : Path;
  auto Theirs = FfmpegDecode(Reference);
  const int64_t Frame = int64_t{Case.Channels} * 2;
  if (Case.ReferenceFrames >= 0)
    Theirs.resize(
        std::min<size_t>(Theirs.size(), static_cast<size_t>(Case.ReferenceFrames * Frame)));

  TMP3In In;
  In.SetFileName(Path);
  ASSERT_TRUE(In.Valid()) << Path;
  EXPECT_EQ(In.Channels(), Case.Channels);
  EXPECT_EQ(In.SampleRate(), Case.Rate);
  EXPECT_EQ(In.BitsPerSample(), 16u);
  if (Case.Title) {
    EXPECT_EQ(In.CommonTags()->Title(),
              std::u16string(Case.Title, Case.Title + std::strlen(Case.Title)));
  }

  const auto Ours = Pass(In);
  const auto OurFrames = static_cast<int64_t>(Ours.size()) / Frame;
  const auto TheirFrames = static_cast<int64_t>(Theirs.size()) / Frame;
  std::printf("[ %-28s ] frames ours %6lld ffmpeg %6lld, SNR %.1f dB\n", Case.Name,
              static_cast<long long>(OurFrames), static_cast<long long>(TheirFrames),
              SnrDb(Ours, Theirs));
  // The same decoder and the same gapless trimming behind both.
  EXPECT_EQ(OurFrames, TheirFrames);
  EXPECT_GE(SnrDb(Ours, Theirs), 40.0);
}

const Mp3Case Mp3Cases[] = {
    {"mpeg25-mono-8000.mp3", 1, 8000},
    {"mpeg25-stereo-11025.mp3", 2, 11025},
    {"mpeg2-vbr-mono-16000.mp3", 1, 16000},
    {"mpeg2-stereo-24000.mp3", 2, 24000},
    {"tiny-gapless.mp3", 2, 44100},
    {"one-frame.mp3", 2, 44100, "three-frames.mp3", Mp3FrameSamples},
    {"two-frames.mp3", 2, 44100},
    {"three-frames.mp3", 2, 44100},
    {"two-id3v2-tags.mp3", 2, 44100, "", -1, "First Tag"},
    {"junk-after-id3v2.mp3", 2, 44100, "plain.mp3", -1, "Junk After Tag"},
    {"junk-before-first-frame.mp3", 2, 44100, "no-encoder-tag.mp3"},
    {"apev2-trailer.mp3", 2, 44100, "plain.mp3"},
    {"lyrics3-trailer.mp3", 2, 44100, "plain.mp3"},
    {"big-picture", 2, 44100, "plain.mp3", -1, "Big Picture",
     [](const TempDir& Dir, const std::string&) { return WithPicture(Dir, 300 * 1024); }},
    // Past the demuxer's one-megabyte probe.
    {"huge-picture", 2, 44100, "plain.mp3", -1, "Big Picture",
     [](const TempDir& Dir, const std::string&) { return WithPicture(Dir, 1536 * 1024); }},
};

INSTANTIATE_TEST_SUITE_P(Fixtures, Mp3Sources, ::testing::ValuesIn(Mp3Cases), [](const auto& Info) {
  std::string Name = Info.param.Name;
  for (char& C : Name)
    if (!std::isalnum(static_cast<unsigned char>(C))) C = '_';
  return Name;
});

// ---- lengths the file only announces ----

// Both sources are made at test time with sox and lame, which takes a fraction of a second.
void Tool(const std::string& Command) {
  RunTool(Command + " >/dev/null 2>&1");
}

// 5 s of loud noise, then 25 s of a quiet tone, at a variable bitrate without a Xing frame:
// the length guessed from the first frame's bitrate is a third of the audio.
std::string LoudStartWithoutXing(const TempDir& Dir) {
  const std::string Wav = Dir / "loud-then-quiet.wav", Mp3 = Dir / "loud-start.mp3";
  Tool("sox -R -n -r 44100 -c 2 -b 16 '" + Dir / "loud.wav" + "' synth 5 whitenoise vol 0.8");
  Tool("sox -R -n -r 44100 -c 2 -b 16 '" + Dir / "quiet.wav" + "' synth 25 sine 440 vol 0.05");
  Tool("sox '" + Dir / "loud.wav" + "' '" + Dir / "quiet.wav" + "' '" + Wav + "'");
  Tool("lame --quiet -V 2 -t '" + Wav + "' '" + Mp3 + "'");
  return Mp3;
}

// A 3 s file with a Xing frame and 3 s of frames appended after it. The Xing frame's byte
// count is made to cover the whole file, so the demuxer believes its frame count.
std::string XingCountsFewerFrames(const TempDir& Dir) {
  const std::string First = Dir / "first.mp3", More = Dir / "more.mp3";
  Tool("sox -R -n -r 44100 -c 2 -b 16 '" + Dir / "a.wav" + "' synth 3 sine 440 gain -6");
  Tool("sox -R -n -r 44100 -c 2 -b 16 '" + Dir / "b.wav" + "' synth 3 sine 660 gain -6");
  Tool("lame --quiet -b 128 '" + Dir / "a.wav" + "' '" + First + "'");
  Tool("lame --quiet -t -b 128 '" + Dir / "b.wav" + "' '" + More + "'");
  auto Bytes = ReadAll(First);
  const auto Appended = ReadAll(More);
  Bytes.insert(Bytes.end(), Appended.begin(), Appended.end());
  const std::string Mark = "Info";
  const auto At = std::search(Bytes.begin(), Bytes.begin() + 200, Mark.begin(), Mark.end());
  EXPECT_NE(At, Bytes.begin() + 200) << "lame wrote no Info frame";
  if (At == Bytes.begin() + 200) return First;
  EXPECT_EQ(At[7] & 3, 3) << "the Info frame counts no frames or no bytes";
  const auto Size = static_cast<uint32_t>(Bytes.size());
  for (int i = 0; i < 4; ++i) At[12 + i] = static_cast<uint8_t>(Size >> (24 - 8 * i));
  WriteAll(Dir / "appended.mp3", Bytes);
  return Dir / "appended.mp3";
}

struct EstimateCase {
  const char* Name;
  std::string (*Make)(const TempDir& Dir);
};

class AnnouncedMp3Length : public ::testing::TestWithParam<EstimateCase> {};

TEST_P(AnnouncedMp3Length, IsNoLimitToTheAudioDelivered) {
  TempDir Dir;
  const std::string Path = GetParam().Make(Dir);
  const auto Theirs = FfmpegDecode(Path);
  TMP3In In;
  In.SetFileName(Path);
  ASSERT_TRUE(In.Valid());
  const int64_t Frame = In.Channels() * 2;
  const int64_t TheirFrames = static_cast<int64_t>(Theirs.size()) / Frame;
  // Else the case no longer tests what it is named for.
  ASSERT_LT(In.TotalSamples(), TheirFrames - In.SampleRate()) << "the estimate is not short";

  const auto Ours = Pass(In);
  // Progress follows the audio past the estimate instead of passing 100 %.
  EXPECT_LE(In.Position(), In.Size());
  // The same decoder behind both: to the sample.
  EXPECT_EQ(static_cast<int64_t>(Ours.size()) / Frame, TheirFrames);
  EXPECT_TRUE(Ours == Theirs);
}

INSTANTIATE_TEST_SUITE_P(Made, AnnouncedMp3Length,
                         ::testing::Values(EstimateCase{"VbrLoudStartWithoutXing",
                                                        &LoudStartWithoutXing},
                                           EstimateCase{"XingCountsFewerFramesThanTheFileHolds",
                                                        &XingCountsFewerFrames}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// ---- downloads cut short ----

struct CutCase {
  const char* Path;  // under the test data folder
  bool Mp3;
};

class CutDownloads : public ::testing::TestWithParam<CutCase> {};

TEST_P(CutDownloads, DeliverNoMoreThanFfmpegDecodesFromTheSameBytes) {
  const CutCase& Case = GetParam();
  TempDir Dir;
  auto Bytes = ReadAll(std::string(TUNEVERT_TEST_DATA) + "/" + Case.Path);
  Bytes.resize(Bytes.size() * 6 / 10);
  const std::string Cut = Dir / (Case.Mp3 ? "cut.mp3" : "cut.wma");
  WriteAll(Cut, Bytes);
  const auto Theirs = FfmpegDecode(Cut);

  std::unique_ptr<TWMIn> In = Case.Mp3 ? std::make_unique<TMP3In>() : std::make_unique<TWMIn>();
  In->SetFileName(Cut);
  ASSERT_TRUE(In->Valid());
  const int64_t Frame = In->Channels() * 2;
  const auto Ours = Pass(*In);
  const auto OurFrames = static_cast<int64_t>(Ours.size()) / Frame;
  const auto TheirFrames = static_cast<int64_t>(Theirs.size()) / Frame;
  std::printf("[ %-28s ] cut at 60 %%: frames ours %6lld ffmpeg %6lld, SNR %.1f dB\n", Case.Path,
              static_cast<long long>(OurFrames), static_cast<long long>(TheirFrames),
              SnrDb(Ours, Theirs));
  EXPECT_LE(OurFrames, TheirFrames);
  EXPECT_GE(OurFrames, TheirFrames - 2 * Mp3FrameSamples);
  EXPECT_GE(SnrDb(Ours, Theirs), 40.0);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, CutDownloads,
                         ::testing::Values(CutCase{"wm/mp3-cbr-stereo-44100.mp3", true},
                                           CutCase{"wm/mp3-vbr-mono-22050.mp3", true},
                                           CutCase{"wm/mp3src/mpeg2-vbr-mono-16000.mp3", true},
                                           CutCase{"wm/wmav2-stereo-44100.wma", false},
                                           CutCase{"wm/wmav1-mono-22050.wma", false}),
                         [](const auto& Info) {
                           std::string Name = Info.param.Path;
                           for (char& C : Name)
                             if (!std::isalnum(static_cast<unsigned char>(C))) C = '_';
                           return Name;
                         });

}  // namespace
