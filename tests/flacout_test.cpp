// FLAC output: every source width encoded and checked sample for sample by the reference
// decoder, the MD5 signature and seek table, refused sources, and carried tags in both the
// FLAC and the Ogg Vorbis outputs as mutagen reads them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "AppTestFiles.h"
#include "PipelineFakes.h"
#include "flac/AuFLAC.h"
#include "flac/AuFLACOut.h"
#include "tags/TagLibMeta.h"
#include "vorbis/AuVorbisOut.h"
#include "wav/AuWave.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

const std::string kMp3Out = std::string(TUNEVERT_TEST_DATA) + "/mp3out/";
const std::string kCarry = std::string(TUNEVERT_TEST_DATA) + "/carry/";

std::vector<uint8_t> AsBytes(const std::string& s) {
  return {s.begin(), s.end()};
}

// The reference decoder's PCM: raw little-endian as stored, 8-bit unsigned.
std::vector<uint8_t> FlacDecoded(const std::string& path, int bits) {
  return AsBytes(CommandOutput(std::string("flac -d -s -c --force-raw-format --endian=little ") +
                               "--sign=" + (bits == 8 ? "unsigned " : "signed ") + Quoted(path) +
                               " 2>/dev/null"));
}

std::string Metaflac(const std::string& options, const std::string& path) {
  return CommandOutput("metaflac " + options + " " + Quoted(path));
}

void Put(std::vector<uint8_t>& pcm, int64_t v, int bytes) {
  for (int b = 0; b < bytes; ++b) pcm.push_back(static_cast<uint8_t>(v >> (8 * b)));
}

// Full-scale extremes on every channel first (minimum, minimum + 1, zero, -1, maximum), then
// pseudo-random frames over the whole range.
std::vector<uint8_t> Source(int frames, int channels, int bits) {
  std::vector<uint8_t> pcm;
  const int64_t max = (int64_t{1} << (bits - 1)) - 1, min = -max - 1;
  for (int64_t v : {min, min + 1, int64_t{0}, int64_t{-1}, max})
    for (int c = 0; c < channels; ++c) Put(pcm, bits == 8 ? v + 128 : v, bits / 8);
  const std::vector<uint8_t> ramp = RampPcm(frames, channels, bits);
  pcm.insert(pcm.end(), ramp.begin(), ramp.end());
  return pcm;
}

template <class Out>
void Encode(Out& out, TAuInput& in, const std::string& path) {
  out.SetInput(&in);
  out.SetFileName(path);
  out.BlockingRun();
  out.SetInput(nullptr);
}

template <class Out>
void EncodeWav(Out& out, const std::string& wav, const std::string& path) {
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(wav);
  Encode(out, *in, path);
}

enum class TKind { kInt, kFloat };

struct FlacCase {
  const char* Name;
  int Channels, Bits, Rate;
  TKind Kind;
  int StoredBits;
};

void PrintTo(const FlacCase& c, std::ostream* os) {
  *os << c.Name;
}

class FlacExact : public ::testing::TestWithParam<FlacCase> {};

// What the decoder gives back is what went in; 32-bit and float sources rounded to 24 bits.
TEST_P(FlacExact, ReferenceDecoderGivesBackTheSource) {
  const FlacCase& c = GetParam();
  TempDir dir;
  const int frames = 9000;  // not a whole number of the encoder's blocks
  std::vector<uint8_t> expected;
  if (c.Kind == TKind::kFloat) {
    // Values k / 2^23 are exact in a float and become k again at 24 bits.
    expected = Source(frames, c.Channels, 24);
    WriteWav(dir / "k24.wav", expected, c.Channels, 24, c.Rate);
    ASSERT_EQ(std::system(("sox " + Quoted(dir / "k24.wav") + " -e floating-point -b 32 " +
                           Quoted(dir / "in.wav"))
                              .c_str()),
              0);
  } else {
    const std::vector<uint8_t> pcm = Source(frames, c.Channels, c.Bits);
    WriteWav(dir / "in.wav", pcm, c.Channels, c.Bits, c.Rate);
    if (c.Bits != 32) {
      expected = pcm;
    } else {
      // Rounded half up, and the top clamped rather than wrapped.
      for (size_t i = 0; i + 4 <= pcm.size(); i += 4) {
        int32_t v;
        std::memcpy(&v, &pcm[i], 4);
        Put(expected,
            std::min<int64_t>(static_cast<int64_t>(std::floor(v / 256.0 + 0.5)), 0x7FFFFF), 3);
      }
    }
  }
  auto out = MakeComponent<TFLACOut>(nullptr);
  EncodeWav(*out, dir / "in.wav", dir / "out.flac");

  EXPECT_EQ(Metaflac("--show-channels --show-bps --show-sample-rate --show-total-samples",
                     dir / "out.flac"),
            std::to_string(c.Channels) + "\n" + std::to_string(c.StoredBits) + "\n" +
                std::to_string(c.Rate) + "\n" + std::to_string(frames + 5) + "\n");
  const std::vector<uint8_t> decoded = FlacDecoded(dir / "out.flac", c.StoredBits);
  ASSERT_EQ(decoded.size(), expected.size());
  EXPECT_TRUE(decoded == expected) << "decoded PCM differs from the source";
  // The signature is set and matches the audio.
  EXPECT_NE(Metaflac("--show-md5sum", dir / "out.flac"), std::string(32, '0') + "\n");
  EXPECT_EQ(std::system(("flac -t -s " + Quoted(dir / "out.flac") + " 2>/dev/null").c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(Sources, FlacExact,
                         ::testing::Values(FlacCase{"stereo16", 2, 16, 44100, TKind::kInt, 16},
                                           FlacCase{"stereo24_96k", 2, 24, 96000, TKind::kInt, 24},
                                           FlacCase{"six16", 6, 16, 48000, TKind::kInt, 16},
                                           FlacCase{"eight24", 8, 24, 44100, TKind::kInt, 24},
                                           FlacCase{"mono8", 1, 8, 22050, TKind::kInt, 8},
                                           FlacCase{"stereo32", 2, 32, 48000, TKind::kInt, 24},
                                           FlacCase{"float_stereo", 2, 32, 44100, TKind::kFloat,
                                                    24},
                                           // Not a rate the streamable subset allows.
                                           FlacCase{"odd_rate", 1, 16, 88201, TKind::kInt, 16}),
                         [](const auto& p) { return std::string(p.param.Name); });

struct SeekPoint {
  bool Placeholder = false;
  int64_t Sample = 0, Offset = 0;
};

std::vector<SeekPoint> SeekPoints(const std::string& path) {
  std::istringstream lines(Metaflac("--list --block-type=SEEKTABLE", path));
  std::vector<SeekPoint> points;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("point ") == std::string::npos) continue;
    SeekPoint p;
    if (line.find("PLACEHOLDER") != std::string::npos) {
      p.Placeholder = true;
    } else {
      const size_t s = line.find("sample_number="), o = line.find("stream_offset=");
      if (s == std::string::npos || o == std::string::npos) continue;
      p.Sample = std::stoll(line.substr(s + 14));
      p.Offset = std::stoll(line.substr(o + 14));
    }
    points.push_back(p);
  }
  return points;
}

// A point every 10 s, each at a frame start at or before its time, with growing offsets; a
// source that announced more than it held leaves no point past its end. The same holds in
// a stream handed in with bytes already in it, which stay as they were. An absurd claim
// spreads a bounded number of points.
TEST(FlacSeekTable, PointsEveryTenSecondsAndNoneBeyondTheEnd) {
  TempDir dir;
  enum { kExact, kOverclaims, kOverclaimsIntoStream, kAbsurdClaim };
  for (const int variant : {kExact, kOverclaims, kOverclaimsIntoStream, kAbsurdClaim}) {
    PatternInput in;
    in.Rate = 8000;
    in.Chans = 1;
    in.TotalFrames = 25 * 8000;
    if (variant != kExact) in.AnnouncedSize = in.TotalFrames * 2 * 4;
    if (variant == kAbsurdClaim) in.AnnouncedSize = int64_t{1} << 45;
    auto out = MakeComponent<TFLACOut>(nullptr);
    const std::string flac = dir / (std::to_string(variant) + ".flac");
    if (variant == kOverclaimsIntoStream) {
      TMemoryStream stream;
      stream.Write("prefix", 6);
      out->SetStream(&stream);
      out->SetInput(&in);
      out->BlockingRun();
      out->SetInput(nullptr);
      const std::vector<uint8_t>& bytes = stream.Data();
      ASSERT_GT(bytes.size(), 10u);
      EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 10), "prefixfLaC");
      WriteAll(flac, {bytes.begin() + 6, bytes.end()});
    } else {
      Encode(*out, in, flac);
    }
    SCOPED_TRACE("variant " + std::to_string(variant));
    EXPECT_EQ(std::system(("flac -t -s " + Quoted(flac) + " 2>/dev/null").c_str()), 0);
    EXPECT_EQ(Metaflac("--show-total-samples", flac), "200000\n");
    const std::vector<SeekPoint> points = SeekPoints(flac);
    if (variant == kAbsurdClaim) {
      ASSERT_EQ(points.size(), 32768u);
      EXPECT_FALSE(points[0].Placeholder);
      EXPECT_TRUE(points[1].Placeholder);
      continue;
    }
    ASSERT_EQ(points.size(), variant == kExact ? 3u : 10u);
    for (size_t i = 0; i < points.size(); ++i) {
      if (i >= 3) {
        EXPECT_TRUE(points[i].Placeholder) << "point " << i;
        continue;
      }
      ASSERT_FALSE(points[i].Placeholder) << "point " << i;
      EXPECT_LE(points[i].Sample, static_cast<int64_t>(i) * 80000);
      EXPECT_GT(points[i].Sample, static_cast<int64_t>(i) * 80000 - 4096);
      if (i > 0) {
        EXPECT_GT(points[i].Offset, points[i - 1].Offset);
      }
    }
  }
}

TEST(FlacLevels, HigherLevelsAreSmallerAndStillExact) {
  TempDir dir;
  auto out = MakeComponent<TFLACOut>(nullptr);
  EXPECT_EQ(out->CompressionLevel(), 5);
  out->SetCompressionLevel(0);
  EncodeWav(*out, kMp3Out + "six16.wav", dir / "0.flac");
  out->SetCompressionLevel(8);
  EncodeWav(*out, kMp3Out + "six16.wav", dir / "8.flac");
  EXPECT_LT(std::filesystem::file_size(dir / "8.flac"),
            std::filesystem::file_size(dir / "0.flac") * 9 / 10);
  const std::vector<uint8_t> source = WavPayload(kMp3Out + "six16.wav");
  EXPECT_TRUE(FlacDecoded(dir / "0.flac", 16) == source);
  EXPECT_TRUE(FlacDecoded(dir / "8.flac", 16) == source);
}

// A source the format cannot hold is refused before anything is written, and the input's
// pass is closed so the next file can use it.
TEST(FlacRefused, NineChannelsAndOddWidths) {
  TempDir dir;
  auto out = MakeComponent<TFLACOut>(nullptr);
  PatternInput in;
  in.Chans = 9;
  EXPECT_THROW(
      {
        try {
          Encode(*out, in, dir / "nine.flac");
        } catch (const EAuException& e) {
          EXPECT_STREQ(e.what(), "FLAC takes 1 to 8 channels, not 9");
          throw;
        }
      },
      EAuException);
  in.Chans = 2;
  in.Bits = 12;
  EXPECT_THROW(Encode(*out, in, dir / "twelve.flac"), EAuException);
  EXPECT_EQ(in.Starts, 2);
  EXPECT_EQ(in.Stops, 2);
  EXPECT_FALSE(in.IsBusy());
  // The output is usable again.
  in.Bits = 16;
  Encode(*out, in, dir / "ok.flac");
  EXPECT_EQ(Metaflac("--show-total-samples", dir / "ok.flac"), "1000\n");
}

// mutagen's view of a file, one "KEY=value" line each, sorted (see dump-tags.py). A file
// mutagen cannot read fails the test rather than show no tags.
std::vector<std::string> Dump(const std::string& path) {
  int status = -1;
  std::istringstream in(
      CommandOutput(std::string(TUNEVERT_TEST_SCRIPTS) + "/dump-tags.py " + Quoted(path), &status));
  EXPECT_EQ(status, 0) << "mutagen could not read " << path;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

class EncodedTags : public ::testing::TestWithParam<std::string> {};

template <class Out>
void EncodeTagged(Out& out, const TCarriedTags& tags, const std::string& path) {
  out.SetTagSource([tags] { return tags; });
  EncodeWav(out, kMp3Out + "stereo16.wav", path);
}

void EncodeTagged(const std::string& format, const TCarriedTags& tags, const std::string& path) {
  if (format == ".flac") {
    auto out = MakeComponent<TFLACOut>(nullptr);
    EncodeTagged(*out, tags, path);
  } else {
    auto out = MakeComponent<TVorbisOut>(nullptr);
    EncodeTagged(*out, tags, path);
  }
}

// Every carried field (several values, track and disc totals) and both pictures arrive in the
// headers the encoder writes, as another tag reader sees them, and the audio is the same as
// an untagged file's.
TEST_P(EncodedTags, CarriedFieldsAndPicturesArrive) {
  const std::string format = GetParam();
  TempDir dir;
  const std::string bare = dir / ("bare" + format), path = dir / ("out" + format);
  EncodeTagged(format, {}, bare);
  EXPECT_EQ(Dump(bare), std::vector<std::string>{}) << "an untagged output holds no fields";
  const auto decode = [&](const std::string& file) {
    return CommandOutput("ffmpeg -nostdin -v error -i " + Quoted(file) + " -map 0:a -f s16le -");
  };
  const std::string audio = decode(bare);
  ASSERT_GT(audio.size(), 80000u);

  TCarriedTags tags = ReadCarriedTags(kCarry + "tagged.flac");
  tags.Text["ARTIST"].push_back("Second Artist");
  EncodeTagged(format, tags, path);
  std::vector<std::string> expected = Dump(kCarry + "tagged.flac");
  ASSERT_GE(expected.size(), 23u) << "fixture lost its tags";
  expected.push_back("ARTIST=Second Artist");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Dump(path), expected);
  const TCarriedTags back = ReadCarriedTags(path);
  EXPECT_EQ(back.Text, tags.Text);
  EXPECT_EQ(back.Pictures, tags.Pictures);
  EXPECT_TRUE(decode(path) == audio);
  if (format == ".flac") {
    int status = -1;
    CommandOutput("flac -s -t " + Quoted(path) + " 2>&1", &status);
    EXPECT_EQ(status, 0);
  }
}

// Tags that were not fitted to FLAC are refused before anything is written, never stored with
// a block length that wraps.
TEST(FlacEncodedTags, ABlockOver16MiBIsRefused) {
  TempDir dir;
  TCarriedTags tags;
  tags.Pictures.push_back({3, "image/png", "", std::string((std::size_t{1} << 24) - 4 - 41, 'x')});
  auto out = MakeComponent<TFLACOut>(nullptr);
  EncodeTagged(*out, tags, dir / "limit.flac");
  EXPECT_EQ(ReadCarriedTags(dir / "limit.flac").Pictures, tags.Pictures);
  tags.Pictures.front().Data += 'x';
  EXPECT_THROW(EncodeTagged(*out, tags, dir / "over.flac"), EAuException);
}

INSTANTIATE_TEST_SUITE_P(Outputs, EncodedTags, ::testing::Values(".flac", ".ogg"),
                         [](const auto& p) { return p.param.substr(1); });

}  // namespace
