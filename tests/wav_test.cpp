#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "WavTestUtil.h"
#include "wav/AuWave.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

std::vector<int16_t> AsInt16(const std::vector<uint8_t>& b) {
  std::vector<int16_t> s(b.size() / 2);
  if (!s.empty()) std::memcpy(s.data(), b.data(), s.size() * 2);
  return s;
}

std::vector<uint8_t> ReadWav(const std::string& File) {
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(File);
  return ReadPass(*in);
}

// ---------------------------------------------------------------- codecs

TEST(Adpcm, ImaMonoDecodeAndEncodeExamples) {
  TDVI_ADPCM_STATE_STEREO st;
  const uint8_t payload[2] = {0x07, 0x00};
  int16_t out[5];
  int32_t count = 2;
  DecodeDVIMono(st, payload, out, count);
  ASSERT_EQ(count, 5);
  EXPECT_EQ(std::vector<int16_t>(out, out + 5), (std::vector<int16_t>{0, 11, 13, 14, 15}));
  int32_t P = 0, I = 0;
  for (uint8_t n : {7, 0, 0, 0}) IMAStep(P, I, n);
  EXPECT_EQ(I, 5);

  TDVI_ADPCM_ENCODE_STATE_STEREO enc;
  const int16_t samples[2] = {11, 13};
  uint8_t block[5];
  EncodeDVIMono(enc, samples, block, 5);
  EXPECT_EQ(block[4], 0x07);
}

TEST(Adpcm, ImaNeverGoesBelowMinus32767ButMsReachesMinus32768) {
  int32_t P = -32760, I = 88;
  IMAStep(P, I, 15);
  EXPECT_EQ(P, -32767);

  TMSADPCMBlockHeaderStereo st;
  st.Delta[0] = 30000;
  st.Samp1[0] = -32000;
  st.Samp2[0] = -32000;
  const TMSADPCMCoefSet coefs[1] = {{256, 0}};
  const uint8_t payload[1] = {0x88};
  int16_t out[4];
  int32_t count = 2;
  DecodeMSMono(st, coefs, payload, out, count);
  EXPECT_EQ(out[2], -32768);
}

TEST(Adpcm, MsMonoExampleAndDeltaFloor) {
  TMSADPCMBlockHeaderStereo st;
  st.Delta[0] = 16;
  st.Samp1[0] = 100;
  st.Samp2[0] = 50;
  const TMSADPCMCoefSet coefs[1] = {{256, 0}};
  const uint8_t payload[1] = {0x10};
  int16_t out[4];
  int32_t count = 2;  // SamplesPerBlock 4
  DecodeMSMono(st, coefs, payload, out, count);
  EXPECT_EQ(count, 8);
  EXPECT_EQ(std::vector<int16_t>(out, out + 4), (std::vector<int16_t>{50, 100, 116, 116}));
  EXPECT_EQ(st.Delta[0], 16);
}

TEST(Adpcm, BlockSizes) {
  std::vector<uint8_t> payload(2048, 0x5A);
  std::vector<int16_t> out(8192);
  TDVI_ADPCM_STATE_STEREO st;
  int32_t count = 512 - 8;
  DecodeDVIStereo(st, payload.data(), out.data(), count);
  EXPECT_EQ(count, 505);
  count = 512 - 4;
  DecodeDVIMono(st, payload.data(), out.data(), count);
  EXPECT_EQ(count, 1017);
  TMSADPCMBlockHeaderStereo ms;
  ms.Delta = {16, 16};
  const TMSADPCMCoefSet coefs[1] = {{256, 0}};
  count = 2036 - 2;
  DecodeMSStereo(ms, coefs, payload.data(), out.data(), count);
  EXPECT_EQ(count, 8144);
}

TEST(Adpcm, StereoEncodeRoundTripsThroughTheDecoder) {
  // A slow ramp per channel: the encoder must put each channel's codes where the decoder
  // looks for them, so decoding follows the input closely.
  const uint16_t BA = 40;
  std::vector<int16_t> pcm(2 * (BA - 7));
  for (size_t i = 0; i < pcm.size() / 2; ++i) {
    pcm[2 * i] = static_cast<int16_t>(i * 40);
    pcm[2 * i + 1] = static_cast<int16_t>(-static_cast<int>(i) * 25);
  }
  TDVI_ADPCM_ENCODE_STATE_STEREO enc;
  enc.PredSamp_l = pcm[0];
  enc.PredSamp_r = pcm[1];
  std::vector<uint8_t> block(BA);
  EncodeDVIStereo(enc, pcm.data() + 2, block.data(), BA);
  TDVI_ADPCM_STATE_STEREO st{pcm[0], 0, pcm[1], 0};
  std::vector<int16_t> out(pcm.size());
  int32_t count = BA - 8;
  DecodeDVIStereo(st, block.data() + 8, out.data(), count);
  ASSERT_EQ(count, BA - 7);
  for (size_t i = 8; i < pcm.size(); ++i) EXPECT_NEAR(out[i], pcm[i], 40) << i;
}

// ---------------------------------------------------------------- reader

TEST(WaveHeader, SameChunkIdFoldsCase) {
  EXPECT_TRUE(SameChunkId(reinterpret_cast<const uint8_t*>("data"), "data"));
  EXPECT_TRUE(SameChunkId(reinterpret_cast<const uint8_t*>("DaTa"), "data"));
  EXPECT_TRUE(SameChunkId(reinterpret_cast<const uint8_t*>("fmt\0"), "fmt "));
  EXPECT_FALSE(SameChunkId(reinterpret_cast<const uint8_t*>("datb"), "data"));
}

TEST(WaveFloat, ConversionRules) {
  const double d[] = {0.5,
                      1.0,
                      2.0,
                      -1.0,
                      0.0,
                      -0.5,
                      std::numeric_limits<double>::quiet_NaN(),
                      -std::numeric_limits<double>::infinity()};
  std::vector<uint8_t> b(sizeof d);
  std::memcpy(b.data(), d, sizeof d);
  ConvertFloat64ToInt32(b.data(), static_cast<int64_t>(b.size()));
  int32_t r[8];
  std::memcpy(r, b.data(), sizeof r);
  EXPECT_EQ(r[0], 1073741823);
  EXPECT_EQ(r[1], 2147483647);
  EXPECT_EQ(r[2], 2147483647);
  EXPECT_EQ(r[3], -2147483647 - 1);
  EXPECT_EQ(r[4], 0);
  EXPECT_EQ(r[5], -1073741824);
  EXPECT_EQ(r[6], 0);
  EXPECT_EQ(r[7], -2147483647 - 1);
}

struct PcmCase {
  const char* file;
  const char* ffmpegFormat;
  TWavType type;
  uint32_t bits, channels;
};

class WaveInPcm : public ::testing::TestWithParam<PcmCase> {};

TEST_P(WaveInPcm, DeliversWhatFfmpegDecodes) {
  const PcmCase& c = GetParam();
  const std::string file = WavData(c.file);
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(file);
  EXPECT_EQ(in->WavType(), c.type);
  EXPECT_TRUE(in->Valid());
  EXPECT_EQ(in->BitsPerSample(), c.bits);
  EXPECT_EQ(in->Channels(), c.channels);
  EXPECT_EQ(std::to_string(in->SampleRate()), FfprobeField(file, "sample_rate"));
  const auto got = ReadPass(*in, 16384);
  const auto want = FfmpegDecode(file, c.ffmpegFormat);
  ASSERT_FALSE(want.empty());
  EXPECT_EQ(got, want);
}

INSTANTIATE_TEST_SUITE_P(
    Files, WaveInPcm,
    ::testing::Values(PcmCase{"pcm8-mono.wav", "u8", TWavType::wtPCM, 8, 1},
                      PcmCase{"pcm16-stereo.wav", "s16le", TWavType::wtPCM, 16, 2},
                      PcmCase{"pcm24-stereo.wav", "s24le", TWavType::wtExtPCM, 24, 2},
                      PcmCase{"pcm32-mono.wav", "s32le", TWavType::wtExtPCM, 32, 1},
                      PcmCase{"ext-6ch.wav", "s16le", TWavType::wtExtPCM, 16, 6},
                      PcmCase{"list-chunk.wav", "s16le", TWavType::wtPCM, 16, 1},
                      PcmCase{"odd-chunk-before-data.wav", "s16le", TWavType::wtPCM, 16, 2}),
    [](const auto& param_info) {
      std::string n = param_info.param.file;
      n = n.substr(0, n.size() - 4);
      for (auto& ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

// Neither tool reads these layouts, so they are compared with the plain file they came from.
TEST(WaveIn, SlidesOverJunkAndFoldsCaseOfIds) {
  const auto plain = FfmpegDecode(WavData("pcm16-stereo.wav"), "s16le");
  ASSERT_FALSE(plain.empty());
  for (const char* f : {"junk-before-riff.wav", "lowercase-ids.wav"})
    EXPECT_EQ(ReadWav(WavData(f)), plain) << f;
}

TEST(WaveIn, PcmRefillsAreWholeFrames) {
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(WavData("pcm24-stereo.wav"));
  in->Init();
  void* b = nullptr;
  uint32_t n = 100000;
  in->GetData(b, n);
  EXPECT_EQ(n, 14400u);  // the whole file is smaller than one refill
  in->Flush();
  in->SetFileName(WavData("pcm16-stereo.wav"));
  in->Init();
  n = 1001;
  in->GetData(b, n);
  EXPECT_EQ(n, 1000u);
  in->Flush();
}

struct FloatCase {
  const char* file;
  const char* rawFormat;
  TWavType type;
};

class WaveInFloat : public ::testing::TestWithParam<FloatCase> {};

// ffmpeg hands out the stored float values; the conversion to integers is ours.
TEST_P(WaveInFloat, ConvertsTheValuesFfmpegDecodes) {
  const FloatCase& c = GetParam();
  const std::string file = WavData(c.file);
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(file);
  EXPECT_EQ(in->WavType(), c.type);
  EXPECT_EQ(in->BitsPerSample(), 32u);
  const auto got = ReadPass(*in);
  auto raw = FfmpegDecode(file, c.rawFormat);
  ASSERT_FALSE(raw.empty());
  std::vector<int32_t> want;
  const bool dbl = std::string(c.rawFormat) == "f64le";
  for (size_t i = 0; i + (dbl ? 8 : 4) <= raw.size(); i += dbl ? 8 : 4) {
    long double x;
    if (dbl) {
      double v;
      std::memcpy(&v, &raw[i], 8);
      x = v;
    } else {
      float v;
      std::memcpy(&v, &raw[i], 4);
      x = v;
    }
    int32_t r;
    if (x >= 1)
      r = std::numeric_limits<int32_t>::max();
    else if (x <= -1)
      r = std::numeric_limits<int32_t>::min();
    else
      r = static_cast<int32_t>(std::floor(x * 2147483647.0L));
    want.push_back(r);
  }
  ASSERT_EQ(got.size(), want.size() * 4);
  EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size()), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, WaveInFloat,
    ::testing::Values(FloatCase{"float32-stereo.wav", "f32le", TWavType::wtIEEEFloat},
                      FloatCase{"float64-mono.wav", "f64le", TWavType::wtIEEEFloat},
                      FloatCase{"extfloat32-stereo.wav", "f32le", TWavType::wtExtIEEEFloat},
                      FloatCase{"extfloat64-mono.wav", "f64le", TWavType::wtExtIEEEFloat}));

TEST(WaveInAdpcm, RangedPassesAreFrameExact) {
  for (const char* f : {"ima-stereo.wav", "ms-mono.wav", "float64-mono.wav", "pcm24-stereo.wav"}) {
    const auto whole = ReadWav(WavData(f));
    auto in = MakeComponent<TWaveIn>(nullptr);
    in->SetFileName(WavData(f));
    const uint32_t frame = in->Channels() * in->BitsPerSample() / 8;
    in->SetStartSample(300);
    in->SetEndSample(700);
    const auto part = ReadPass(*in);
    ASSERT_EQ(part.size(), 401u * frame) << f;
    EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + 300 * frame)) << f;
  }
}

// As the batch driver uses it: PCM and the decoded formats hand out different buffers, and a
// ranged pass seeks before its first read.
TEST(WaveInAdpcm, OneInputServesEachFormatInTurn) {
  auto in = MakeComponent<TWaveIn>(nullptr);
  for (const char* f : {"pcm24-stereo.wav", "ima-stereo.wav", "pcm16-stereo.wav", "ms-mono.wav",
                        "float64-mono.wav", "pcm24-stereo.wav"}) {
    const auto whole = ReadWav(WavData(f));
    in->SetFileName(WavData(f));
    const uint32_t frame = in->Channels() * in->BitsPerSample() / 8;
    in->SetStartSample(300);
    in->SetEndSample(700);
    const auto part = ReadPass(*in);
    ASSERT_EQ(part.size(), 401u * frame) << f;
    EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + 300 * frame)) << f;
    in->SetStartSample(0);
    in->SetEndSample(-1);
    EXPECT_EQ(ReadPass(*in), whole) << f;
  }
}

TEST(WaveIn, RejectsWhatItCannotDecode) {
  for (const char* f : {"alaw-tag.wav", "ext-unknown-subformat.wav", "ima-3bit.wav",
                        "ms-too-many-coefs.wav", "ms-bad-predictor.wav"}) {
    auto in = MakeComponent<TWaveIn>(nullptr);
    in->SetFileName(WavData(f));
    EXPECT_FALSE(in->Valid()) << f;
    EXPECT_TRUE(ReadPass(*in).empty()) << f;
  }
}

TEST(WaveIn, RejectsBadAdpcmLayouts) {
  TempDir dir;
  const auto ima = ReadAll(WavData("ima-stereo.wav"));
  auto variant = [&](size_t at, uint16_t value) {
    auto b = ima;
    b[at] = static_cast<uint8_t>(value);
    b[at + 1] = static_cast<uint8_t>(value >> 8);
    WriteAll(dir / "v.wav", b);
    auto in = MakeComponent<TWaveIn>(nullptr);
    in->SetFileName(dir / "v.wav");
    return in->Valid();
  };
  EXPECT_TRUE(variant(22, 2));
  EXPECT_FALSE(variant(22, 3));     // three channels
  EXPECT_FALSE(variant(32, 8200));  // decodes past the buffer
}

// A refused source stays open through a pass: neither a seek nor a looping restart in it
// may decode its blocks (no samples per block, a block shorter than its header, or one that
// decodes past the buffer). The edits set "fmt " fields: channels at 22, block length 32,
// samples per block 38, MS coefficient count 40.
TEST(WaveIn, RefusedAdpcmLayoutsAreNotDecodedBySeeksOrLoops) {
  TempDir dir;
  using Edits = std::vector<std::pair<size_t, uint16_t>>;
  for (const auto& [file, edits] :
       std::vector<std::pair<const char*, Edits>>{{"ima-stereo.wav", {{22, 3}, {38, 0}}},
                                                  {"ima-mono.wav", {{32, 2}}},
                                                  {"ima-mono.wav", {{32, 8200}}},
                                                  {"ms-mono.wav", {{40, 0}, {38, 0}}},
                                                  {"ms-mono.wav", {{32, 3}}},
                                                  {"ms-mono.wav", {{32, 9000}, {38, 16000}}}}) {
    auto b = ReadAll(WavData(file));
    for (const auto& [at, v] : edits) b[at] = v & 0xFF, b[at + 1] = v >> 8;
    WriteAll(dir / "v.wav", b);
    auto in = MakeComponent<TWaveIn>(nullptr);
    in->SetFileName(dir / "v.wav");
    in->SetLoop(true);
    in->Init();
    void* block = nullptr;
    uint32_t n = 16384;
    in->GetData(block, n);
    EXPECT_EQ(n, 0u) << file << " " << edits[0].second;
    EXPECT_FALSE(in->Seek(700)) << file << " " << edits[0].second;
    in->Flush();
  }
}

TEST(WaveIn, ProduceDataOutsideAPassFailsAndWavTypeOpens) {
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(WavData("ms-stereo.wav"));
  EXPECT_EQ(in->WavType(), TWavType::wtMSADPCM);
  EXPECT_FALSE(in->IsBusy());
  void* b = nullptr;
  uint32_t n = 16;
  try {
    in->GetData(b, n);
    FAIL();
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "The Stream is not opened");
  }
}

// ---------------------------------------------------------------- writer

// Runs Out to completion on its worker thread, pumping OnDone on this thread.
void RunToDone(TWaveOut& Out) {
  bool done = false;
  Out.SetOnDone([&](TComponent*) { done = true; });
  Out.Run();
  ASSERT_TRUE(PumpUntil([&] { return done; }, 20000));
}

struct ConvCase {
  const char* file;
  uint32_t headerIn;
};

class WavToWav : public ::testing::TestWithParam<ConvCase> {};

TEST_P(WavToWav, AudioIsByteIdentical) {
  TempDir dir;
  auto in = MakeComponent<TWaveIn>(nullptr);
  auto out = MakeComponent<TWaveOut>(nullptr);
  out->SetCreateNonMsHeaders(false);
  out->SetInput(in.get());
  in->SetFileName(WavData(GetParam().file));
  out->SetFileName(dir / "o.wav");
  RunToDone(*out);
  EXPECT_EQ(out->ExceptionMessage(), "");
  const auto src = ReadAll(WavData(GetParam().file));
  const auto dst = ReadAll(dir / "o.wav");
  const uint32_t hdr = in->BitsPerSample() > 16 ? 68 : 44;
  ASSERT_EQ(dst.size() - hdr, src.size() - GetParam().headerIn);
  EXPECT_TRUE(std::equal(dst.begin() + hdr, dst.end(), src.begin() + GetParam().headerIn));
  const auto decodedSource = FfmpegDecode(WavData(GetParam().file), "s32le");
  ASSERT_FALSE(decodedSource.empty());
  EXPECT_EQ(FfmpegDecode(dir / "o.wav", "s32le"), decodedSource);
}

INSTANTIATE_TEST_SUITE_P(Files, WavToWav,
                         ::testing::Values(ConvCase{"pcm16-stereo.wav", 44},
                                           ConvCase{"pcm24-stereo.wav", 80}));

// Between two files PCM is copied inside the kernel; into a memory stream it passes through
// GetData. Both must write the same file, whatever the source's layout or the pass's range.
TEST(WaveOut, FileToFileCopyWritesWhatTheReadPathWrites) {
  struct Case {
    const char* file;
    int64_t start, end;
  };
  for (const Case& c : {Case{"pcm16-stereo.wav", 0, -1}, Case{"pcm16-stereo.wav", 100, 999},
                        Case{"data-torn-frame.wav", 0, -1}, Case{"chunk-after-data.wav", 0, -1},
                        Case{"junk-before-riff.wav", 0, -1}, Case{"pcm24-stereo.wav", 7, 2000},
                        Case{"pcm8-mono.wav", 0, -1}, Case{"rifx-pcm16.wav", 0, -1},
                        Case{"ext20-in-24.wav", 0, -1}}) {
    SCOPED_TRACE(std::string(c.file) + " from " + std::to_string(c.start));
    TempDir dir;
    auto in = MakeComponent<TWaveIn>(nullptr);
    auto out = MakeComponent<TWaveOut>(nullptr);
    out->SetCreateNonMsHeaders(false);
    out->SetInput(in.get());
    in->SetFileName(WavData(c.file));
    in->SetStartSample(c.start);
    in->SetEndSample(c.end);
    out->SetFileName(dir / "o.wav");
    RunToDone(*out);
    EXPECT_EQ(out->ExceptionMessage(), "");
    TMemoryStream memory;
    out->SetStream(&memory);
    in->SetStartSample(c.start);
    in->SetEndSample(c.end);
    RunToDone(*out);
    EXPECT_EQ(out->ExceptionMessage(), "");
    EXPECT_GT(memory.Size(), 68);
    EXPECT_EQ(ReadAll(dir / "o.wav"), memory.Data());
  }
}

TEST(WaveOut, HeaderOfTheMainWindowDefaults) {
  TempDir dir;
  PatternInput in;
  in.Bits = 16;
  in.Chans = 2;
  in.Rate = 44100;
  in.TotalFrames = 250000;  // 1,000,000 bytes
  in.SetRange(0, 249749);   // delivers 999,000 bytes while announcing them
  auto out = MakeComponent<TWaveOut>(nullptr);
  out->SetInput(&in);
  out->SetFileName(dir / "o.wav");
  out->BlockingRun();
  const auto f = ReadAll(dir / "o.wav");
  ASSERT_EQ(f.size(), 44u + 999000);
  EXPECT_EQ(std::string(f.begin(), f.begin() + 4), "RIFF");
  EXPECT_EQ(Le32(f, 4), 999036u);
  EXPECT_EQ(Le32(f, 28), 176400u);
  EXPECT_EQ(Le16(f, 32), 4);
  EXPECT_EQ(Le32(f, 40), 999000u);
  EXPECT_EQ(FfprobeField(dir / "o.wav", "duration_ts"), "249750");
}

TEST(WaveOut, ExtensibleHeadersAndTheirMasks) {
  TempDir dir;
  struct {
    uint32_t bits, chans;
    bool nonMs;
    uint32_t header, mask;
  } cases[] = {
      {24, 2, false, 68, 3}, {24, 2, true, 44, 0}, {16, 6, false, 68, 0x3F}, {16, 4, false, 68, 0}};
  for (const auto& c : cases) {
    PatternInput in;
    in.Bits = c.bits;
    in.Chans = c.chans;
    in.TotalFrames = 500;
    auto out = MakeComponent<TWaveOut>(nullptr);
    out->SetCreateNonMsHeaders(c.nonMs);
    out->SetInput(&in);
    out->SetFileName(dir / "o.wav");
    out->BlockingRun();
    const auto f = ReadAll(dir / "o.wav");
    ASSERT_EQ(f.size(), c.header + 500u * c.chans * c.bits / 8);
    if (c.header == 68) {
      EXPECT_EQ(out->WavType(), TWavType::wtExtPCM);
      EXPECT_EQ(Le16(f, 20), 0xFFFE);
      EXPECT_EQ(Le16(f, 38), c.bits);
      EXPECT_EQ(Le32(f, 40), c.mask);
      EXPECT_EQ(Le32(f, 64), 500u * c.chans * c.bits / 8);
    }
    EXPECT_EQ(FfprobeField(dir / "o.wav", "channels"), std::to_string(c.chans));
    EXPECT_EQ(FfprobeField(dir / "o.wav", "bits_per_raw_sample") == "24" ||
                  FfprobeField(dir / "o.wav", "bits_per_sample") == std::to_string(c.bits),
              true);
    std::vector<uint8_t> want(f.size() - c.header);
    for (size_t i = 0; i < want.size(); ++i) want[i] = PatternByte(static_cast<int64_t>(i));
    EXPECT_EQ(FfmpegDecode(dir / "o.wav", c.bits == 24 ? "s24le" : "s16le"), want);
  }
}

TEST(WaveOut, SetterRules) {
  auto out = MakeComponent<TWaveOut>(nullptr);
  out->SetWavType(TWavType::wtMSADPCM);
  out->SetWavType(TWavType::wtACM);
  EXPECT_EQ(out->WavType(), TWavType::wtPCM);
  out->SetWavType(TWavType::wtDVIADPCM);
  EXPECT_EQ(out->WavType(), TWavType::wtDVIADPCM);
  out->SetBlockSize(0);
  out->SetBlockSize(510);
  EXPECT_EQ(out->BlockSize(), 512);
  out->SetBlockSize(1024);
  EXPECT_EQ(out->BlockSize(), 1024);
  out->SetFileMode(TFileOutputMode::foAppend);
  EXPECT_EQ(out->FileMode(), TFileOutputMode::foAppend);
}

TEST(WaveOut, ImaAdpcmHeaderAndFfmpegDecode) {
  TempDir dir;
  for (uint32_t chans : {1u, 2u}) {
    // A tone (not the byte pattern, which is noise to an ADPCM coder).
    TempDir src;
    ASSERT_EQ(std::system(("sox -n -r 44100 -c " + std::to_string(chans) + " -b 16 '" +
                           (src / "t.wav") + "' synth 0.3 sine 440 vol 0.5")
                              .c_str()),
              0);
    auto in = MakeComponent<TWaveIn>(nullptr);
    in->SetFileName(src / "t.wav");
    auto out = MakeComponent<TWaveOut>(nullptr);
    out->SetWavType(TWavType::wtDVIADPCM);
    out->SetInput(in.get());
    out->SetFileName(dir / "ima.wav");
    RunToDone(*out);
    ASSERT_EQ(out->ExceptionMessage(), "");
    const auto f = ReadAll(dir / "ima.wav");
    ASSERT_GE(f.size(), 60u) << "ima.wav has no whole header";
    const uint32_t spb = chans == 1 ? 1017 : 505;
    EXPECT_EQ(Le16(f, 20), 0x11);
    EXPECT_EQ(Le16(f, 38), spb);
    EXPECT_EQ(Le32(f, 28), (44100 / spb) * 512);
    EXPECT_EQ(Le32(f, 48), 13230u);  // frames announced
    EXPECT_EQ(Le32(f, 56), f.size() - 60);
    EXPECT_EQ((f.size() - 60) % 512, 0u);
    // ffmpeg's own IMA decoder rounds each step differently, so compare loosely with the
    // source and exactly with our reader.
    const auto ours = AsInt16(ReadWav(dir / "ima.wav"));
    const auto theirs = AsInt16(FfmpegDecode(dir / "ima.wav", "s16le"));
    const auto orig = AsInt16(ReadAll(src / "t.wav"));
    ASSERT_GE(theirs.size(), 13230u * chans) << "ffmpeg did not decode ima.wav whole";
    ASSERT_EQ(ours.size(), 13230u * chans);
    ASSERT_GE(orig.size(), 22 + ours.size()) << "the source is shorter than its conversion";
    double err = 0;
    for (size_t i = 0; i < ours.size(); ++i) {
      // The coder starts at step index 0 and needs a few dozen samples to catch up.
      if (i >= 100 * chans)
        err = std::max(err, std::abs(static_cast<double>(theirs[i]) - orig[22 + i]));
      EXPECT_LE(std::abs(ours[i] - theirs[i]), 64) << i;
    }
    EXPECT_LT(err, 1200);  // a 4-bit coder following a half-scale 440 Hz tone
  }
}

TEST(WaveOut, ImaAdpcmRefusals) {
  TempDir dir;
  struct {
    uint32_t bits, chans;
    uint16_t block;
    bool nonMs;
    const char* message;
  } cases[] = {{8, 1, 512, true, "Cannot encode 8 bit sound into ADPCM."},
               {24, 2, 512, true, "Cannot encode 8 bit sound into ADPCM."},
               {16, 3, 512, true, "Cannot encode more than two channels into ADPCM."},
               {16, 2, 516, true, "The ADPCM block size does not fit 2 channel(s)."},
               {24, 2, 512, false, ""}};
  for (const auto& c : cases) {
    PatternInput in;
    in.Bits = c.bits;
    in.Chans = c.chans;
    auto out = MakeComponent<TWaveOut>(nullptr);
    out->SetWavType(TWavType::wtDVIADPCM);
    out->SetBlockSize(c.block);
    out->SetCreateNonMsHeaders(c.nonMs);
    out->SetInput(&in);
    out->SetFileName(dir / "o.wav");
    RunToDone(*out);
    EXPECT_EQ(out->ExceptionMessage(), c.message);
    EXPECT_FALSE(in.IsBusy());
  }
}

TEST(WaveOut, AppendMode) {
  TempDir dir;
  auto make = [&](const std::string& name, const std::string& args) {
    ASSERT_EQ(
        std::system(("sox -n " + args + " '" + (dir / name) + "' synth 0.1 sine 300").c_str()), 0);
  };
  ASSERT_NO_FATAL_FAILURE(make("a.wav", "-r 44100 -c 2 -b 16"));
  ASSERT_NO_FATAL_FAILURE(make("b.wav", "-r 44100 -c 2 -b 16"));
  ASSERT_NO_FATAL_FAILURE(make("rate.wav", "-r 48000 -c 2 -b 16"));
  ASSERT_NO_FATAL_FAILURE(make("ext.wav", "-r 44100 -c 2 -b 24"));

  auto in = MakeComponent<TWaveIn>(nullptr);
  auto out = MakeComponent<TWaveOut>(nullptr);
  out->SetFileMode(TFileOutputMode::foAppend);
  out->SetInput(in.get());
  in->SetFileName(dir / "b.wav");

  const auto before = ReadAll(dir / "a.wav");
  out->SetFileName(dir / "a.wav");
  RunToDone(*out);
  EXPECT_EQ(out->ExceptionMessage(), "");
  const auto added = ReadAll(dir / "b.wav");
  const auto after = ReadAll(dir / "a.wav");
  ASSERT_GE(after.size(), 44u) << "a.wav has no whole header after the append";
  EXPECT_EQ(after.size(), before.size() + added.size() - 44);
  EXPECT_EQ(Le32(after, 40), after.size() - 44);
  EXPECT_EQ(Le32(after, 4), after.size() - 8);
  auto want = FfmpegDecode(dir / "a.wav", "s16le");
  EXPECT_EQ(want.size(), after.size() - 44);

  out->SetFileName(dir / "rate.wav");
  RunToDone(*out);
  EXPECT_EQ(out->ExceptionMessage(), "Cannot append data in different audio format.");
  out->SetFileName(dir / "ext.wav");
  RunToDone(*out);
  EXPECT_EQ(out->ExceptionMessage(), "Cannot append data to this .wav file.");
  EXPECT_FALSE(in->IsBusy());

  out->SetFileName(dir / "fresh.wav");  // missing: a fresh header
  RunToDone(*out);
  EXPECT_EQ(out->ExceptionMessage(), "");
  EXPECT_EQ(ReadAll(dir / "fresh.wav"), added);
}

TEST(WaveOut, AppendImaAdpcmKeepsTheFileFormat) {
  TempDir dir;
  ASSERT_EQ(std::system(
                ("sox -n -r 44100 -c 1 -b 16 '" + (dir / "t.wav") + "' synth 0.2 sine 440 vol 0.5")
                    .c_str()),
            0);
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(dir / "t.wav");
  auto out = MakeComponent<TWaveOut>(nullptr);
  out->SetWavType(TWavType::wtDVIADPCM);
  out->SetBlockSize(256);
  out->SetInput(in.get());
  out->SetFileName(dir / "ima.wav");
  RunToDone(*out);
  out->SetWavType(TWavType::wtPCM);
  out->SetBlockSize(1024);
  out->SetFileMode(TFileOutputMode::foAppend);
  RunToDone(*out);
  ASSERT_EQ(out->ExceptionMessage(), "");
  EXPECT_EQ(out->BlockSize(), 256);
  const auto f = ReadAll(dir / "ima.wav");
  ASSERT_GE(f.size(), 60u) << "ima.wav has no whole header";
  EXPECT_EQ(Le32(f, 56), f.size() - 60);
  // The first file's padded last block now counts whole; the second counts what it holds.
  EXPECT_EQ(Le32(f, 48), 18u * 505 + 8820);
  EXPECT_EQ(f.size() - 60, 36u * 256);
  EXPECT_EQ(FfprobeField(dir / "ima.wav", "codec_name"), "adpcm_ima_wav");
  EXPECT_EQ(FfmpegDecode(dir / "ima.wav", "s16le").size() / 2, (f.size() - 60) / 256 * 505);
}

TEST(WaveOut, MissingFileNameAndUnwritableTarget) {
  PatternInput in;
  auto out = MakeComponent<TWaveOut>(nullptr);
  out->SetInput(&in);
  RunToDone(*out);
  EXPECT_EQ(out->ExceptionMessage(), "File name is not assigned.");
  out->SetFileName("/nonexistent-dir/o.wav");
  RunToDone(*out);
  EXPECT_EQ(out->ExceptionMessage(), std::strerror(ENOENT));
  EXPECT_FALSE(in.IsBusy());
}

}  // namespace
