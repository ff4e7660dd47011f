// WAV files laid out the way other tools write them, read through TWaveIn and compared with
// independent decoders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "WavTestUtil.h"
#include "platform/Stream.h"
#include "wav/AuWave.h"
#include "wav/WaveScan.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

double Snr16(const std::vector<uint8_t>& Got, const std::vector<uint8_t>& Want) {
  const size_t n = std::min(Got.size(), Want.size()) / 2;
  double signal = 0, noise = 0;
  for (size_t i = 0; i < n; ++i) {
    int16_t a, b;
    std::memcpy(&a, &Got[2 * i], 2);
    std::memcpy(&b, &Want[2 * i], 2);
    const double x = a, y = b;
    signal += y * y;
    noise += (x - y) * (x - y);
  }
  return noise == 0 ? INFINITY : 10 * std::log10(signal / noise);
}

struct RealWorldCase {
  const char* file;
  const char* decoder;              // "ffmpeg" or "sox"
  const char* raw;                  // s16le or s24le
  const char* reference = nullptr;  // decode this file instead: the tools refuse the layout
  int64_t frames = -1;              // when a believable "fact" trims what the decoder gives
  double minSnr = 0;                // 0: exact
};

class WaveInRealWorld : public ::testing::TestWithParam<RealWorldCase> {};

TEST_P(WaveInRealWorld, DeliversWhatAnIndependentDecoderDecodes) {
  const RealWorldCase& c = GetParam();
  const std::string file = WavData(c.file);
  const std::string ref = c.reference != nullptr ? WavData(c.reference) : file;
  std::vector<uint8_t> want;
  if (std::string(c.decoder) == "sox") {
    const char* bits = std::string(c.raw) == "s24le" ? "24" : "16";
    want = RunTool("sox '" + ref + "' -t raw -e signed -b " + bits + " -L - 2>/dev/null");
  } else {
    want = FfmpegDecode(ref, c.raw);
  }
  ASSERT_FALSE(want.empty());

  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(file);
  ASSERT_TRUE(in->Valid());
  in->Init();
  // Progress is measured against this: it has to be the audio really there.
  const int64_t announced = in->Size();
  std::vector<uint8_t> got;
  for (;;) {
    void* block = nullptr;
    uint32_t bytes = 16384;
    in->GetData(block, bytes);
    if (bytes == 0) break;
    got.insert(got.end(), static_cast<uint8_t*>(block), static_cast<uint8_t*>(block) + bytes);
  }
  in->Flush();

  const size_t frame = in->Channels() * in->BitsPerSample() / 8;
  EXPECT_EQ(in->BitsPerSample(), std::string(c.raw) == "s24le" ? 24u : 16u);
  const size_t expected = c.frames >= 0 ? static_cast<size_t>(c.frames) * frame : want.size();
  EXPECT_EQ(got.size() / frame, expected / frame);
  EXPECT_EQ(static_cast<size_t>(announced), got.size());
  ASSERT_LE(got.size(), want.size());
  if (c.minSnr == 0)
    EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin()));
  else
    EXPECT_GE(Snr16(got, want), c.minSnr);
}

INSTANTIATE_TEST_SUITE_P(
    Files, WaveInRealWorld,
    ::testing::Values(
        // Wide and big-endian containers.
        RealWorldCase{"rf64-pcm16.wav", "ffmpeg", "s16le"},
        RealWorldCase{"bw64-pcm16.wav", "ffmpeg", "s16le"},
        RealWorldCase{"rf64-data-size-zero.wav", "ffmpeg", "s16le"},
        RealWorldCase{"rifx-pcm16.wav", "sox", "s16le"},
        RealWorldCase{"rifx-pcm24.wav", "sox", "s24le"},
        // Samples narrower than their container.
        RealWorldCase{"pcm12-in-16.wav", "ffmpeg", "s16le"},
        RealWorldCase{"ext12-in-16.wav", "ffmpeg", "s16le"},
        RealWorldCase{"pcm20-in-24.wav", "ffmpeg", "s24le"},
        RealWorldCase{"ext20-in-24.wav", "ffmpeg", "s24le"},
        // Placeholder and lying sizes.
        RealWorldCase{"data-size-placeholder.wav", "ffmpeg", "s16le"},
        RealWorldCase{"data-size-zero.wav", "ffmpeg", "s16le"},
        RealWorldCase{"data-size-past-end.wav", "ffmpeg", "s16le"},
        RealWorldCase{"data-torn-frame.wav", "ffmpeg", "s16le"},
        RealWorldCase{"riff-size-small.wav", "ffmpeg", "s16le"},
        RealWorldCase{"riff-size-huge.wav", "ffmpeg", "s16le"},
        RealWorldCase{"chunk-after-data.wav", "ffmpeg", "s16le"},
        // Chunks around "fmt " and "data", odd-sized ones with and without their pad byte.
        RealWorldCase{"odd-chunk-before-fmt.wav", "ffmpeg", "s16le"},
        RealWorldCase{"odd-list-info-before-data.wav", "ffmpeg", "s16le"},
        RealWorldCase{"odd-bext-and-id3.wav", "ffmpeg", "s16le"},
        RealWorldCase{"odd-chunk-unpadded.wav", "ffmpeg", "s16le", "pcm16-stereo.wav"},
        RealWorldCase{"junk-before-wave.wav", "ffmpeg", "s16le", "pcm16-stereo.wav"},
        RealWorldCase{"huge-chunk-before-data.wav", "ffmpeg", "s16le"},
        RealWorldCase{"data-before-fmt.wav", "ffmpeg", "s16le"},
        // IMA ADPCM: each decoder follows its encoder's rounding; sox keeps the reference one.
        RealWorldCase{"ima-mono.wav", "sox", "s16le", nullptr, 2205},
        RealWorldCase{"ima-stereo.wav", "sox", "s16le", nullptr, 2205},
        RealWorldCase{"ima-stereo.wav", "ffmpeg", "s16le", nullptr, 2205, 60},
        RealWorldCase{"ima-stereo-quiet-ffmpeg.wav", "ffmpeg", "s16le"},
        // At -18 dBFS a tenth of a second holds too few blocks to tell the roundings apart.
        RealWorldCase{"ima-stereo-ffmpeg.wav", "ffmpeg", "s16le", nullptr, -1, 50},
        RealWorldCase{"ima-mono-quiet-ffmpeg.wav", "ffmpeg", "s16le"},
        RealWorldCase{"ima-stereo-quiet-sox.wav", "sox", "s16le", nullptr, 3307},
        RealWorldCase{"ima-spb-too-large.wav", "sox", "s16le", "ima-stereo.wav", 2205},
        RealWorldCase{"ima-spb-zero.wav", "sox", "s16le", "ima-stereo.wav", 2205},
        RealWorldCase{"ima-fact-past-data.wav", "sox", "s16le"},
        RealWorldCase{"ima-fact-zero.wav", "sox", "s16le"},
        RealWorldCase{"ima-no-fact.wav", "sox", "s16le"},
        RealWorldCase{"ima-truncated-block.wav", "sox", "s16le", nullptr, 2205},
        // MS ADPCM.
        RealWorldCase{"ms-mono.wav", "ffmpeg", "s16le"},
        RealWorldCase{"ms-stereo.wav", "ffmpeg", "s16le"},
        RealWorldCase{"ms-spb-too-large.wav", "ffmpeg", "s16le"},
        RealWorldCase{"ms-fact-past-data.wav", "ffmpeg", "s16le"},
        RealWorldCase{"ms-truncated-block.wav", "ffmpeg", "s16le"}),
    [](const auto& param_info) {
      std::string n = param_info.param.file;
      n = n.substr(0, n.size() - 4) + "_" + param_info.param.decoder;
      for (auto& ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

// No independent decoder reads big-endian float here; sox rewrites it little-endian.
TEST(WaveInRealWorld, BigEndianFloatReadsLikeItsLittleEndianCopy) {
  TempDir dir;
  const std::string copy = dir / "le.wav";
  ASSERT_EQ(std::system(("sox '" + WavData("rifx-float32.wav") + "' -L '" + copy + "'").c_str()),
            0);
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(copy);
  const auto want = ReadPass(*in);
  in->SetFileName(WavData("rifx-float32.wav"));
  EXPECT_EQ(in->WavType(), TWavType::wtIEEEFloat);
  const auto got = ReadPass(*in);
  ASSERT_EQ(got.size(), 800u * 4);
  EXPECT_EQ(got, want);
}

TEST(WaveInRealWorld, SkipsA300KChunkBeforeData) {
  const auto plain = ReadAll(WavData("pcm16-stereo.wav"));
  std::vector<uint8_t> b(plain.begin(), plain.begin() + 36);
  const uint32_t size = 300001;  // odd, so a pad byte follows
  const uint8_t head[8] = {'i',
                           'd',
                           '3',
                           ' ',
                           static_cast<uint8_t>(size),
                           static_cast<uint8_t>(size >> 8),
                           static_cast<uint8_t>(size >> 16),
                           0};
  b.insert(b.end(), head, head + 8);
  b.resize(b.size() + size + 1, 0);
  b.insert(b.end(), plain.begin() + 36, plain.end());
  TMemoryStream stream;
  stream.Write(b.data(), static_cast<int64_t>(b.size()));
  stream.SetPosition(0);
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetStream(&stream);
  ASSERT_TRUE(in->Valid());
  EXPECT_EQ(ReadPass(*in), std::vector<uint8_t>(plain.begin() + 44, plain.end()));
}

// The offsets the appender rewrites must point at the fields, wherever the chunks put them.
TEST(WaveScan, RecordsWhereTheSizeFieldsAre) {
  for (const char* f : {"odd-bext-and-id3.wav", "junk-before-riff.wav", "ima-stereo.wav",
                        "rf64-pcm16.wav", "rifx-pcm24.wav"}) {
    const auto bytes = ReadAll(WavData(f));
    TMemoryStream stream;
    stream.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    stream.SetPosition(0);
    TWaveHeader h;
    ASSERT_TRUE(ScanWaveHeader(stream, h)) << f;
    EXPECT_EQ(stream.Position(), h.DataOffset) << f;
    const std::string riff(bytes.begin() + h.RiffSizeOffset - 4, bytes.begin() + h.RiffSizeOffset);
    EXPECT_EQ(riff, h.Wide ? "RF64" : h.BigEndian ? "RIFX" : "RIFF") << f;
    EXPECT_EQ(std::string(bytes.begin() + h.DataSizeOffset - 4, bytes.begin() + h.DataSizeOffset),
              "data")
        << f;
    EXPECT_EQ(h.DataOffset, h.DataSizeOffset + 4) << f;
    EXPECT_EQ(h.DataOffset + static_cast<int64_t>(h.DataSize), static_cast<int64_t>(bytes.size()))
        << f;
    if (!h.Wide && !h.BigEndian) {
      EXPECT_EQ(Le32(bytes, h.DataSizeOffset), h.DataSize) << f;
      if (h.HasFact) {
        EXPECT_EQ(Le32(bytes, h.FactOffset), h.FactCount) << f;
      }
    }
  }
}

// A stream of a given size whose bytes past a header are zeros, for data beyond 4 GiB.
class TSparseStream final : public TStream {
 public:
  TSparseStream(std::vector<uint8_t> Head, int64_t Size) : FHead(std::move(Head)), FSize(Size) {}
  int64_t Read(void* Buffer, int64_t Count) override {
    const int64_t n = std::clamp<int64_t>(FSize - FPos, 0, Count);
    auto* out = static_cast<uint8_t*>(Buffer);
    for (int64_t i = 0; i < n; ++i) {
      const int64_t at = FPos + i;
      out[i] = at < static_cast<int64_t>(FHead.size()) ? FHead[static_cast<size_t>(at)] : 0;
    }
    FPos += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override {
    FPos = Offset + (Origin == TSeekOrigin::soCurrent ? FPos
                     : Origin == TSeekOrigin::soEnd   ? FSize
                                                      : 0);
    return FPos;
  }
  int64_t Size() override { return FSize; }
  void SetSize(int64_t) override {}

 private:
  std::vector<uint8_t> FHead;
  int64_t FSize;
  int64_t FPos = 0;
};

TEST(WaveInRealWorld, Rf64DataPast4GiB) {
  auto head = ReadAll(WavData("rf64-pcm16.wav"));
  TMemoryStream probe;
  probe.Write(head.data(), static_cast<int64_t>(head.size()));
  probe.SetPosition(0);
  TWaveHeader h;
  ASSERT_TRUE(ScanWaveHeader(probe, h));
  const int64_t data = (int64_t{5} << 30) + 4;  // 5 GiB and one frame
  size_t ds64 = 12;
  while (std::string(head.begin() + ds64, head.begin() + ds64 + 4) != "ds64") ++ds64;
  for (int i = 0; i < 8; ++i) head[ds64 + 16 + i] = static_cast<uint8_t>(data >> (8 * i));
  head.resize(static_cast<size_t>(h.DataOffset));
  TSparseStream stream(head, h.DataOffset + data);

  ASSERT_TRUE(ScanWaveHeader(stream, h));
  EXPECT_TRUE(h.DataSizeClaimed);
  EXPECT_EQ(h.DataSize, static_cast<uint64_t>(data));
  stream.SetPosition(0);
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetStream(&stream);
  ASSERT_TRUE(in->Valid());
  EXPECT_EQ(in->TotalSamples(), data / 4);
  // The last frames are reached by a seek past 4 GiB.
  in->SetStartSample(data / 4 - 10);
  EXPECT_EQ(ReadPass(*in).size(), 40u);
}

TEST(WaveOut, AppendsThroughOddChunksAndJunk) {
  TempDir dir;
  const auto target = ReadAll(WavData("odd-list-info-before-data.wav"));
  WriteAll(dir / "a.wav", target);
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(WavData("pcm16-stereo.wav"));
  auto out = MakeComponent<TWaveOut>(nullptr);
  out->SetFileMode(TFileOutputMode::foAppend);
  out->SetInput(in.get());
  out->SetFileName(dir / "a.wav");
  out->BlockingRun();
  ASSERT_EQ(out->ExceptionMessage(), "");
  const auto f = ReadAll(dir / "a.wav");
  ASSERT_EQ(f.size(), target.size() + 2205 * 4);
  const size_t data = f.size() - 2 * 2205 * 4;
  EXPECT_EQ(Le32(f, data - 4), 2u * 2205 * 4);
  EXPECT_EQ(FfmpegDecode(dir / "a.wav", "s16le").size(), 2u * 2205 * 4);

  // A chunk after "data" would end up inside the audio: such a file is left untouched.
  const auto trailing = ReadAll(WavData("chunk-after-data.wav"));
  WriteAll(dir / "b.wav", trailing);
  out->SetFileName(dir / "b.wav");
  try {
    out->BlockingRun();
    ADD_FAILURE() << "appended after a trailing chunk";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Cannot append data to this .wav file.");
  }
  EXPECT_EQ(ReadAll(dir / "b.wav"), trailing);
}

TEST(Adpcm, ImaRoundingsDifferOnSmallSteps) {
  int32_t P = 0, I = 0;
  IMAStep(P, I, 1);
  EXPECT_EQ(P, 1);  // 7/8 + 7/4, each shifted down
  P = 0;
  I = 0;
  IMAStep(P, I, 1, TIMARounding::irMultiplied);
  EXPECT_EQ(P, 2);  // 3 x 7 / 8
  P = -32760;
  I = 88;
  IMAStep(P, I, 15, TIMARounding::irMultiplied);
  EXPECT_EQ(P, -32768);
}

}  // namespace

namespace {

// A block gives what it holds, but never more than the header's samples per block.
TEST(WaveInRealWorld, HeaderSamplesPerBlockCapsWhatABlockGives) {
  const auto ima = ReadAll(WavData("ima-stereo.wav"));  // five 512-byte blocks of 505 frames
  auto plain = MakeComponent<TWaveIn>(nullptr);
  plain->SetFileName(WavData("ima-stereo.wav"));
  const auto whole = ReadPass(*plain);
  for (uint16_t spb : {1, 100, 505}) {
    auto b = ima;
    b[38] = static_cast<uint8_t>(spb);
    b[39] = static_cast<uint8_t>(spb >> 8);
    TMemoryStream stream;
    stream.Write(b.data(), static_cast<int64_t>(b.size()));
    stream.SetPosition(0);
    auto in = MakeComponent<TWaveIn>(nullptr);
    in->SetStream(&stream);
    ASSERT_TRUE(in->Valid()) << spb;
    const auto got = ReadPass(*in);
    // The "fact" count of 2,205 frames only fits the full layout.
    ASSERT_EQ(got.size(), (spb == 505 ? 2205u : 5u * spb) * 4) << spb;
    for (size_t k = 0; spb != 505 && k < 5; ++k)
      EXPECT_TRUE(std::equal(got.begin() + 4 * spb * k, got.begin() + 4 * spb * (k + 1),
                             whole.begin() + 4 * 505 * k))
          << spb << " block " << k;
  }
}

}  // namespace
