// Multichannel order and chains that change format part-way, checked against what oggdec
// and ffmpeg decode from the same bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "VorbisLayoutUtil.h"

using namespace tunevert;
using namespace tunevert::testing;

class VorbisChannelOrder : public ::testing::TestWithParam<int> {};

TEST_P(VorbisChannelOrder, MatchesFfmpegInWavOrder) {
  const size_t n = static_cast<size_t>(GetParam());
  const std::string path = FixturePath("vorbis/ch" + std::to_string(n) + ".ogg");
  const std::vector<uint8_t> oggdec = OggReference(path);
  const std::vector<int16_t> ffmpeg = FfmpegSamples(path);
  ASSERT_FALSE(oggdec.empty());
  ASSERT_FALSE(ffmpeg.empty());
  auto in = MakeComponent<TVorbisIn>(nullptr);
  in->SetFileName(path);
  ASSERT_EQ(in->Channels(), n);
  EXPECT_EQ(in->Size(), static_cast<int64_t>(oggdec.size()));
  const std::vector<int16_t> got = AsSamples(ReadPass(*in, 4099));
  // The frame count is libvorbis's, which trims the last block; ffmpeg does not trim it.
  ASSERT_EQ(got.size(), oggdec.size() / 2);
  ASSERT_GE(ffmpeg.size(), got.size());
  int worst = 0;
  for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::abs(got[i] - ffmpeg[i]));
  EXPECT_LE(worst, 1);
}

INSTANTIATE_TEST_SUITE_P(Channels, VorbisChannelOrder, ::testing::Range(3, 9),
                         [](const auto& p) { return std::to_string(p.param) + "ch"; });

struct TChainCase {
  const char* File;
  uint32_t SecondRate;
};

class VorbisChainConversion : public ::testing::TestWithParam<TChainCase> {};

// A mono link after a stereo one at another rate: delivered in the first link's format, the
// mono on both sides, and as long as the links together.
TEST_P(VorbisChainConversion, LaterLinkBecomesTheFirstLinksFormat) {
  const std::string path = FixturePath(std::string("vorbis/") + GetParam().File);
  const std::vector<TLinkRef> links = ChainReference(path);
  ASSERT_EQ(links.size(), 2u);
  ASSERT_EQ(links[0].Channels, 2u);
  ASSERT_EQ(links[1].Channels, 1u);
  ASSERT_EQ(links[1].Rate, GetParam().SecondRate);
  const size_t firstFrames = links[0].Frames();
  const int64_t expected =
      static_cast<int64_t>(firstFrames) + Scaled(links[1].Frames(), links[1].Rate, links[0].Rate);

  auto in = MakeComponent<TVorbisIn>(nullptr);
  in->SetFileName(path);
  EXPECT_EQ(in->Channels(), 2u);
  EXPECT_EQ(in->SampleRate(), links[0].Rate);
  EXPECT_EQ(in->TotalSamples(), expected);
  const std::vector<uint8_t> bytes = ReadPass(*in, 3333);
  const std::vector<int16_t> got = AsSamples(bytes);
  const int64_t frames = static_cast<int64_t>(got.size() / 2);
  EXPECT_NEAR(static_cast<double>(frames), static_cast<double>(expected), 4);
  // The first link passes untouched.
  EXPECT_TRUE(Slice(bytes, 0, links[0].Pcm.size()) == links[0].Pcm);
  const std::vector<int16_t> left = Channel(got, 2, 0, firstFrames);
  const std::vector<int16_t> right = Channel(got, 2, 1, firstFrames);
  EXPECT_EQ(left, right);
  // The resampler's tail is not lost at the end: the tone runs to the last frames.
  ASSERT_GT(left.size(), 200u);
  int peak = 0;
  for (auto it = left.end() - 200; it != left.end() - 20; ++it)
    peak = std::max(peak, std::abs(*it));
  EXPECT_GT(peak, 2000);
}

INSTANTIATE_TEST_SUITE_P(Files, VorbisChainConversion,
                         ::testing::Values(TChainCase{"chain-44k-stereo-48k-mono.ogg", 48000},
                                           TChainCase{"chained-stereo-mono.ogg", 22050}),
                         [](const auto& p) { return std::to_string(p.param.SecondRate); });

// Played under the first link's header a 48 kHz link would sound 9 % low.
TEST(VorbisChain, ResampledLinkKeepsItsPitch) {
  auto in = MakeComponent<TVorbisIn>(nullptr);
  in->SetFileName(FixturePath("vorbis/chain-44k-stereo-48k-mono.ogg"));
  const std::vector<int16_t> got = AsSamples(ReadPass(*in));
  const size_t half = got.size() / 4;
  const std::vector<int16_t> first = Channel(got, 2, 0);
  const std::vector<int16_t> second = Channel(got, 2, 0, half + 500);
  EXPECT_NEAR(ZeroCrossingFrequency({first.begin() + 500, first.begin() + half - 500}, 44100), 440,
              2);
  EXPECT_NEAR(ZeroCrossingFrequency({second.begin(), second.end() - 500}, 44100), 1000, 5);
}

// A 5.1 link (FL 500, FR 700, FC 900, LFE 1100, BL 1300, BR 1500 Hz) after a 22.05 kHz
// stereo one: each speaker lands on its own side, the centre on both, the LFE nowhere.
TEST(VorbisChain, SurroundLinkIsDownmixedBySpeaker) {
  const std::string path = FixturePath("vorbis/chain-22k-stereo-44k-6ch.ogg");
  const std::vector<TLinkRef> links = ChainReference(path);
  ASSERT_EQ(links.size(), 2u);
  auto in = MakeComponent<TVorbisIn>(nullptr);
  in->SetFileName(path);
  ASSERT_EQ(in->Channels(), 2u);
  ASSERT_EQ(in->SampleRate(), 22050u);
  const std::vector<int16_t> got = AsSamples(ReadPass(*in));
  const size_t firstFrames = links[0].Frames();
  EXPECT_NEAR(static_cast<double>(got.size() / 2),
              static_cast<double>(firstFrames + Scaled(links[1].Frames(), 44100, 22050)), 4);
  const std::vector<int16_t> l = Channel(got, 2, 0, firstFrames + 300);
  const std::vector<int16_t> r = Channel(got, 2, 1, firstFrames + 300);
  const double front = Tone(l, 500, 22050);
  ASSERT_GT(front, 1000);
  EXPECT_NEAR(Tone(r, 700, 22050), front, front * 0.15);
  EXPECT_NEAR(Tone(l, 900, 22050) / front, 0.7071, 0.1);  // centre at -3 dB on both sides
  EXPECT_NEAR(Tone(r, 900, 22050) / front, 0.7071, 0.1);
  EXPECT_NEAR(Tone(l, 1300, 22050) / front, 0.7071, 0.1);  // surrounds at -3 dB, own side
  EXPECT_NEAR(Tone(r, 1500, 22050) / front, 0.7071, 0.1);
  for (double wrong : {700.0, 1100.0, 1500.0})
    EXPECT_LT(Tone(l, wrong, 22050), front * 0.05) << wrong;
  for (double wrong : {500.0, 1100.0, 1300.0})
    EXPECT_LT(Tone(r, wrong, 22050), front * 0.05) << wrong;
}

// Back to the first link's format after a resampled link: the filter's tail comes first and
// the third link then passes untouched.
TEST(VorbisChain, LinkAfterAResampledOnePassesUntouched) {
  const std::string path = FixturePath("vorbis/chain-44k-stereo-48k-mono.ogg");
  const auto links = SplitChain(ReadAll(path));
  const std::vector<TLinkRef> refs = ChainReference(path);
  ASSERT_EQ(links.size(), 2u);
  TempDir dir;
  std::vector<uint8_t> chain = links[0];
  chain.insert(chain.end(), links[1].begin(), links[1].end());
  chain.insert(chain.end(), links[0].begin(), links[0].end());
  // The third link needs its own serial number, and its pages their checksums again.
  for (size_t i = links[0].size() + links[1].size(); i + 27 <= chain.size(); ++i) {
    if (std::memcmp(&chain[i], "OggS", 4) != 0) continue;
    chain[i + 14] ^= 0x40;
    size_t length = 27 + chain[i + 26];
    for (size_t k = 0; k < chain[i + 26]; ++k) length += chain[i + 27 + k];
    ASSERT_LE(i + length, chain.size());
    std::memset(&chain[i + 22], 0, 4);
    uint32_t crc = 0;
    for (size_t k = i; k < i + length; ++k) {
      crc ^= uint32_t{chain[k]} << 24;
      for (int bit = 0; bit < 8; ++bit)
        crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    for (int k = 0; k < 4; ++k) chain[i + 22 + k] = static_cast<uint8_t>(crc >> (8 * k));
    i += length - 1;
  }
  WriteAll(dir / "aba.ogg", chain);
  auto in = MakeComponent<TVorbisIn>(nullptr);
  in->SetFileName(dir / "aba.ogg");
  const std::vector<uint8_t> got = ReadPass(*in, 2500);
  const size_t a = refs[0].Pcm.size();
  const size_t b = static_cast<size_t>(Scaled(refs[1].Frames(), refs[1].Rate, 44100)) * 4;
  EXPECT_NEAR(static_cast<double>(got.size()), static_cast<double>(2 * a + b), 4 * 4);
  ASSERT_GE(got.size(), a);
  EXPECT_TRUE(Slice(got, got.size() - a, a) == refs[0].Pcm);
  EXPECT_TRUE(Slice(got, 0, a) == refs[0].Pcm);
}

// A range inside the resampled link starts where a whole pass has the same frames.
TEST(VorbisChain, RangeInsideAResampledLink) {
  auto in = MakeComponent<TVorbisIn>(nullptr);
  in->SetFileName(FixturePath("vorbis/chain-44k-stereo-48k-mono.ogg"));
  const std::vector<int16_t> whole = AsSamples(ReadPass(*in));
  const int64_t start = static_cast<int64_t>(whole.size() / 2) - 9000;
  in->SetStartSample(start);
  in->SetEndSample(start + 3999);
  const std::vector<int16_t> part = AsSamples(ReadPass(*in));
  ASSERT_EQ(part.size(), 2u * 4000);
  // The filter starts afresh at the seek; past its first frames both agree closely.
  int worst = 0;
  for (size_t i = 2 * 200; i < part.size(); ++i)
    worst = std::max(worst, std::abs(part[i] - whole[static_cast<size_t>(2 * start) + i]));
  EXPECT_LT(worst, 1500);
}
