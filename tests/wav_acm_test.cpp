#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "WavTestUtil.h"
#include "platform/msacm/msacm.h"
#include "wav/AuWave.h"
#include "wav/WaveConverter.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

std::vector<int16_t> AsInt16(const std::vector<uint8_t>& b) {
  std::vector<int16_t> s(b.size() / 2);
  std::memcpy(s.data(), b.data(), s.size() * 2);
  return s;
}

// Two float MPEG decoders may round a sample differently in the last bit; nothing more.
void ExpectSameAudio(const std::vector<uint8_t>& Got, const std::vector<uint8_t>& Want) {
  ASSERT_FALSE(Want.empty()) << "the reference decoder gave nothing";
  ASSERT_EQ(Got.size(), Want.size());
  const auto g = AsInt16(Got), w = AsInt16(Want);
  size_t off = 0;
  for (size_t i = 0; i < g.size(); ++i) {
    ASSERT_LE(std::abs(g[i] - w[i]), 1) << "sample " << i;
    if (g[i] != w[i]) ++off;
  }
  EXPECT_LT(off, g.size() / 100 + 1);
}

TMemoryStream StreamOf(const std::vector<uint8_t>& Bytes) {
  TMemoryStream s;
  s.Write(Bytes.data(), static_cast<int64_t>(Bytes.size()));
  s.Seek(0, TSeekOrigin::soBeginning);
  return s;
}

// The payload of the first chunk with this id, found by walking the file's chunks.
std::vector<uint8_t> ChunkBody(const std::vector<uint8_t>& File, const char* Id) {
  size_t i = 12;
  while (i + 8 <= File.size()) {
    const uint32_t size = Le32(File, i + 4);
    if (std::memcmp(File.data() + i, Id, 4) == 0) {
      const size_t end = std::min<size_t>(File.size(), i + 8 + size);
      return {File.begin() + static_cast<long>(i + 8), File.begin() + static_cast<long>(end)};
    }
    i += 8 + size + (size & 1);
  }
  return {};
}

WAVEFORMATEX Mp3Format(uint16_t Channels, uint32_t Rate) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
  f.nChannels = Channels;
  f.nSamplesPerSec = Rate;
  f.nAvgBytesPerSec = 8000;
  f.nBlockAlign = 1;
  f.cbSize = 12;
  return f;
}

// A writable stream that refuses every byte.
class TFullStream final : public TStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
  void SetSize(int64_t) override {}
};

// ---------------------------------------------------------------- reading through the reader

struct Mp3WavCase {
  const char* file;
  uint32_t channels, rate;
};

void PrintTo(const Mp3WavCase& c, std::ostream* os) {
  *os << c.file;
}

class WaveInMp3 : public ::testing::TestWithParam<Mp3WavCase> {};

TEST_P(WaveInMp3, DeliversWhatFfmpegDecodes) {
  const Mp3WavCase& c = GetParam();
  const std::string file = WavData(c.file);
  const auto want = FfmpegDecode(file, "s16le");
  ASSERT_FALSE(want.empty());
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(file);
  EXPECT_EQ(in->WavType(), TWavType::wtACM);
  ASSERT_TRUE(in->Valid());
  EXPECT_EQ(in->Channels(), c.channels);
  EXPECT_EQ(in->SampleRate(), c.rate);
  EXPECT_EQ(in->BitsPerSample(), 16u);
  // The size is the PCM decoded, not the converter's estimate.
  const int64_t frames = static_cast<int64_t>(want.size()) / (2 * c.channels);
  EXPECT_EQ(in->TotalSamples(), frames);
  EXPECT_EQ(in->TotalTime(), static_cast<uint32_t>((frames + c.rate / 2) / c.rate));
  ExpectSameAudio(ReadPass(*in, 10000), want);
  // A second pass converts again from the reopened file.
  ExpectSameAudio(ReadPass(*in), want);
}

INSTANTIATE_TEST_SUITE_P(Files, WaveInMp3,
                         ::testing::Values(Mp3WavCase{"mp3-stereo-44100.wav", 2, 44100},
                                           Mp3WavCase{"mp3-mono-22050.wav", 1, 22050},
                                           Mp3WavCase{"mp3-stereo-22050.wav", 2, 22050},
                                           Mp3WavCase{"mp3-mono-44100.wav", 1, 44100},
                                           Mp3WavCase{"mp3-fmt30-handmade.wav", 1, 22050},
                                           Mp3WavCase{"mp3-fmt150.wav", 1, 22050},
                                           Mp3WavCase{"mp3-single-frame.wav", 2, 44100}),
                         [](const auto& param_info) {
                           std::string n = param_info.param.file;
                           n = n.substr(4, n.size() - 8);
                           for (auto& ch : n)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

TEST(WaveInMp3, BrokenPayloadsAreRefusedOrEndQuietly) {
  for (const char* f : {"mp3-no-data.wav", "mp3-garbage-payload.wav", "mp3-rate-mismatch.wav"}) {
    auto in = MakeComponent<TWaveIn>(nullptr);
    in->SetFileName(WavData(f));
    EXPECT_FALSE(in->Valid()) << f;
    EXPECT_TRUE(ReadPass(*in).empty()) << f;
  }
  // Found by the fuzzer: an empty "fmt " chunk inside the payload of a Layer-3 file.
  {
    auto in = MakeComponent<TWaveIn>(nullptr);
    in->SetFileName(WavData("mp3-empty-fmt-chunk-in-payload.wav"));
    EXPECT_FALSE(in->Valid());
    EXPECT_TRUE(ReadPass(*in).empty());
  }
  // Five whole frames of six: the torn one is dropped, the others are intact.
  const std::string file = WavData("mp3-truncated-payload.wav");
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(file);
  ASSERT_TRUE(in->Valid());
  const auto got = ReadPass(*in);
  ASSERT_EQ(got.size(), 5u * 1152 * 4);
  auto want = FfmpegDecode(file, "s16le");
  ASSERT_GE(want.size(), got.size());
  want.resize(got.size());
  ExpectSameAudio(got, want);
}

TEST(WaveInMp3, RangedPassIsFrameExact) {
  const std::string file = WavData("mp3-stereo-22050.wav");
  auto all = MakeComponent<TWaveIn>(nullptr);
  all->SetFileName(file);
  const auto whole = ReadPass(*all);
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(file);
  in->SetStartSample(1000);
  in->SetEndSample(2999);
  const auto part = ReadPass(*in);
  ASSERT_EQ(part.size(), 2000u * 4);
  EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + 4000));
}

TEST(WaveInMp3, AssignedStreamComesBackRewound) {
  const auto bytes = ReadAll(WavData("mp3-mono-22050.wav"));
  TMemoryStream source = StreamOf(bytes);
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetStream(&source);
  EXPECT_EQ(in->WavType(), TWavType::wtACM);
  const auto first = ReadPass(*in);
  EXPECT_EQ(source.Position(), 0);
  EXPECT_EQ(source.Data(), bytes);
  EXPECT_EQ(in->Stream(), &source);
  EXPECT_EQ(ReadPass(*in), first);
  ExpectSameAudio(first, FfmpegDecode(WavData("mp3-mono-22050.wav"), "s16le"));
}

// ---------------------------------------------------------------- the converter

TEST(WaveConverter, LoadsFormatRecordAndPayload) {
  for (const char* f : {"mp3-fmt30-handmade.wav", "mp3-fmt150.wav"}) {
    const auto file = ReadAll(WavData(f));
    const auto fmt = ChunkBody(file, "fmt ");
    TMemoryStream s = StreamOf(file);
    TWaveConverter conv;
    ASSERT_EQ(conv.LoadStream(s), 0);
    const size_t kept = std::min<size_t>(fmt.size(), TACMWaveFormat::kSize);
    EXPECT_TRUE(
        std::equal(fmt.begin(), fmt.begin() + static_cast<long>(kept), conv.CurrentFormat.RawData))
        << f;
    for (size_t i = kept; i < TACMWaveFormat::kSize; ++i)
      ASSERT_EQ(conv.CurrentFormat.RawData[i], 0) << f << " byte " << i;
    EXPECT_EQ(conv.Data(), ChunkBody(file, "data")) << f;
    EXPECT_EQ(conv.Position(), 0);
  }
}

TEST(WaveConverter, NothingToConvertFails) {
  // No "data": the format loads, the content stays empty and the conversion yields nothing.
  TMemoryStream noData = StreamOf(ReadAll(WavData("mp3-no-data.wav")));
  TWaveConverter a;
  a.LoadStream(noData);
  EXPECT_EQ(a.CurrentFormat.Format().wFormatTag, WAVE_FORMAT_MPEGLAYER3);
  EXPECT_EQ(a.Size(), 0);
  a.NewFormat.Format().wFormatTag = WAVE_FORMAT_PCM;
  ASSERT_EQ(acmFormatSuggest(nullptr, &a.CurrentFormat.Format(), &a.NewFormat.Format(),
                             TACMWaveFormat::kSize, ACM_FORMATSUGGESTF_WFORMATTAG),
            MMSYSERR_NOERROR);
  EXPECT_NE(a.Convert(), 0);
  // Not RIFF/WAVE (ids are exact here): nothing at all is loaded.
  auto lower = ReadAll(WavData("mp3-mono-22050.wav"));
  std::memcpy(lower.data() + 8, "wave", 4);
  TMemoryStream s = StreamOf(lower);
  TWaveConverter b;
  b.LoadStream(s);
  EXPECT_EQ(b.Size(), 0);
  EXPECT_EQ(b.CurrentFormat.Format().wFormatTag, 0);
}

TEST(WaveConverter, ImageHeader) {
  TWaveConverter conv;
  WAVEFORMATEX& f = conv.CurrentFormat.Format();
  f.wFormatTag = 1;
  f.nChannels = 2;
  f.nSamplesPerSec = 44100;
  f.nAvgBytesPerSec = 176400;
  f.nBlockAlign = 4;
  f.wBitsPerSample = 16;
  std::vector<uint8_t> content(1000);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7);
  conv.Write(content.data(), 1000);
  conv.Seek(123, TSeekOrigin::soBeginning);
  TMemoryStream ms;
  ASSERT_EQ(conv.SaveWavToStream(ms), 0);
  EXPECT_EQ(conv.Position(), 123);
  const auto& img = ms.Data();
  ASSERT_EQ(img.size(), 1044u);
  EXPECT_EQ(std::memcmp(img.data(), "RIFF", 4), 0);
  EXPECT_EQ(Le32(img, 4), 1036u);
  EXPECT_EQ(std::memcmp(img.data() + 8, "WAVEfmt ", 8), 0);
  EXPECT_EQ(Le32(img, 16), 16u);
  EXPECT_EQ(Le16(img, 20), 1);
  EXPECT_EQ(Le16(img, 22), 2);
  EXPECT_EQ(Le32(img, 24), 44100u);
  EXPECT_EQ(Le32(img, 28), 176400u);
  EXPECT_EQ(Le16(img, 32), 4);
  EXPECT_EQ(Le16(img, 34), 16);
  EXPECT_EQ(std::memcmp(img.data() + 36, "data", 4), 0);
  EXPECT_EQ(Le32(img, 40), 1000u);
  EXPECT_TRUE(std::equal(content.begin(), content.end(), img.begin() + 44));

  TFullStream full;
  EXPECT_EQ(conv.SaveWavToStream(full), 286);
  EXPECT_EQ(conv.Position(), 123);
}

TEST(WaveConverter, RefusesAnEstimateAbove2GiB) {
  // 24,000 Hz stereo: the smallest frame is 24 bytes for 576 frames, so the estimate is 96
  // PCM bytes per payload byte and 22.4 MB of payload pass 2 GiB.
  const uint32_t payload = 22400000;
  std::vector<uint8_t> file(12 + 8 + 30 + 8 + payload, 0);
  std::memcpy(file.data(), "RIFF", 4);
  std::memcpy(file.data() + 8, "WAVEfmt ", 8);
  file[16] = 30;
  const WAVEFORMATEX f = Mp3Format(2, 24000);
  std::memcpy(file.data() + 20, &f, sizeof f);
  std::memcpy(file.data() + 50, "data", 4);
  std::memcpy(file.data() + 54, &payload, 4);
  TMemoryStream s = StreamOf(file);
  file.clear();
  TWaveConverter conv;
  conv.LoadStream(s);
  ASSERT_EQ(conv.Size(), payload);
  conv.NewFormat.Format() = WAVEFORMATEX{1, 2, 24000, 96000, 4, 16, 0};
  EXPECT_EQ(conv.Convert(), static_cast<int32_t>(MMSYSERR_NOMEM));
}

// ---------------------------------------------------------------- the compression manager

TEST(Msacm, SuggestsPcmForLayer3Only) {
  uint32_t max = 0;
  ASSERT_EQ(acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &max), MMSYSERR_NOERROR);
  EXPECT_GE(max, 30u);  // an MPEG Layer-3 record must fit

  const WAVEFORMATEX src = Mp3Format(2, 44100);
  WAVEFORMATEX dst{};
  dst.wFormatTag = WAVE_FORMAT_PCM;
  ASSERT_EQ(acmFormatSuggest(nullptr, &src, &dst, sizeof dst, ACM_FORMATSUGGESTF_WFORMATTAG),
            MMSYSERR_NOERROR);
  EXPECT_EQ(dst.wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(dst.nChannels, 2);
  EXPECT_EQ(dst.nSamplesPerSec, 44100u);
  EXPECT_EQ(dst.wBitsPerSample, 16);
  EXPECT_EQ(dst.nBlockAlign, 4);
  EXPECT_EQ(dst.nAvgBytesPerSec, 176400u);
  EXPECT_EQ(dst.cbSize, 0);

  WAVEFORMATEX adpcm = src;
  adpcm.wFormatTag = 2;
  EXPECT_EQ(acmFormatSuggest(nullptr, &adpcm, &dst, sizeof dst, 0), ACMERR_NOTPOSSIBLE);
  const WAVEFORMATEX sixChannels = Mp3Format(6, 44100), oddRate = Mp3Format(2, 44000);
  EXPECT_EQ(acmFormatSuggest(nullptr, &sixChannels, &dst, sizeof dst, 0), ACMERR_NOTPOSSIBLE);
  EXPECT_EQ(acmFormatSuggest(nullptr, &oddRate, &dst, sizeof dst, 0), ACMERR_NOTPOSSIBLE);
  dst.wFormatTag = 2;
  EXPECT_EQ(acmFormatSuggest(nullptr, &src, &dst, sizeof dst, ACM_FORMATSUGGESTF_WFORMATTAG),
            ACMERR_NOTPOSSIBLE);
}

TEST(Msacm, OpensOnlyTheConversionItOffers) {
  const WAVEFORMATEX src = Mp3Format(1, 22050);
  const WAVEFORMATEX pcm{1, 1, 22050, 44100, 2, 16, 0};
  const WAVEFORMATEX eightBit{1, 1, 22050, 22050, 1, 8, 0};
  HACMSTREAM has = nullptr;
  EXPECT_EQ(acmStreamOpen(&has, nullptr, &src, &eightBit, nullptr, 0, 0, 0), ACMERR_NOTPOSSIBLE);
  EXPECT_EQ(has, nullptr);
  ASSERT_EQ(acmStreamOpen(&has, nullptr, &src, &pcm, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME),
            MMSYSERR_NOERROR);
  // An estimate that does not fit the 32-bit result is refused, not wrapped.
  uint32_t out = 0;
  EXPECT_EQ(acmStreamSize(has, 0xFFFFFFFFu, &out, ACM_STREAMSIZEF_SOURCE), ACMERR_NOTPOSSIBLE);
  ACMSTREAMHEADER h{};
  h.cbStruct = sizeof h;
  EXPECT_EQ(acmStreamConvert(has, &h, 0), ACMERR_UNPREPARED);
  EXPECT_EQ(acmStreamClose(has, 0), MMSYSERR_NOERROR);
}

TEST(Msacm, EndFlushesAndFullDestinationStopsAtWholeFrames) {
  const auto file = ReadAll(WavData("mp3-stereo-44100.wav"));
  auto payload = ChunkBody(file, "data");
  const auto want = FfmpegDecode(WavData("mp3-stereo-44100.wav"), "s16le");
  ASSERT_EQ(want.size(), 21u * 4608);
  const WAVEFORMATEX src = Mp3Format(2, 44100);
  const WAVEFORMATEX pcm{1, 2, 44100, 176400, 4, 16, 0};
  // Converts srcBytes of the payload into room bytes; without END in flags a second call
  // with no source and END follows. firstCall: what the first call delivered.
  auto convert = [&](uint32_t srcBytes, uint32_t room, uint32_t flags, uint32_t& firstCall) {
    HACMSTREAM has = nullptr;
    EXPECT_EQ(acmStreamOpen(&has, nullptr, &src, &pcm, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    std::vector<uint8_t> dst(room);
    ACMSTREAMHEADER h{};
    h.cbStruct = sizeof h;
    h.pbSrc = payload.data();
    h.cbSrcLength = srcBytes;
    h.pbDst = dst.data();
    h.cbDstLength = room;
    EXPECT_EQ(acmStreamPrepareHeader(has, &h, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamConvert(has, &h, flags), MMSYSERR_NOERROR);
    EXPECT_EQ(h.cbSrcLengthUsed, srcBytes);
    uint32_t used = firstCall = h.cbDstLengthUsed;
    if (!(flags & ACM_STREAMCONVERTF_END)) {
      h.pbDst = dst.data() + used;
      h.cbDstLength = room - used;
      h.cbSrcLength = 0;
      EXPECT_EQ(acmStreamConvert(has, &h, ACM_STREAMCONVERTF_END), MMSYSERR_NOERROR);
      used += h.cbDstLengthUsed;
    }
    EXPECT_EQ(acmStreamUnprepareHeader(has, &h, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamClose(has, 0), MMSYSERR_NOERROR);
    dst.resize(used);
    return dst;
  };
  // The first frame alone (208 bytes): the decoder confirms a frame by the next header, so
  // only the flush gives it out.
  uint32_t first = 0;
  const auto one = convert(208, 4608, ACM_STREAMCONVERTF_BLOCKALIGN, first);
  EXPECT_EQ(first, 0u);
  ExpectSameAudio(one, {want.begin(), want.begin() + 4608});
  EXPECT_EQ(convert(208, 4608, ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_END, first), one);

  HACMSTREAM has = nullptr;
  ASSERT_EQ(acmStreamOpen(&has, nullptr, &src, &pcm, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
  uint32_t bound = 0;
  const auto size = static_cast<uint32_t>(payload.size());
  EXPECT_EQ(acmStreamSize(has, size, &bound, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
  acmStreamClose(has, 0);
  EXPECT_GE(bound, want.size());
  ExpectSameAudio(convert(size, bound, ACM_STREAMCONVERTF_BLOCKALIGN, first), want);

  // Room for 3.5 frames: three are delivered and nothing is written past the buffer.
  const auto part = convert(size, 4608 * 3 + 2304, ACM_STREAMCONVERTF_END, first);
  ASSERT_EQ(part.size(), 3u * 4608);
  ExpectSameAudio(part, {want.begin(), want.begin() + 3 * 4608});
}

}  // namespace
