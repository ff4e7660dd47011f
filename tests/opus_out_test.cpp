// The Opus output checked by opusdec, ffprobe, ffmpeg and mutagen.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "OpusTestUtil.h"
#include "PipelineFakes.h"
#include "opus/AuOpus.h"
#include "tags/TagLibMeta.h"
#include "wav/AuWave.h"

using namespace tunevert;
using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

std::string Probe(const std::string& Path, const std::string& Entries) {
  std::string out = CommandOutput("ffprobe -v error -select_streams a:0 -show_entries " + Entries +
                                  " -of csv=p=0 " + Quoted(Path));
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

double ProbedDuration(const std::string& Path) {
  return std::atof(
      CommandOutput("ffprobe -v error -show_entries format=duration -of csv=p=0 " + Quoted(Path))
          .c_str());
}

void Encode(TOpusOut& Out, const std::string& Wav, const std::string& Opus) {
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(Wav);
  Out.SetInput(in.get());
  Out.SetFileName(Opus);
  Out.BlockingRun();
  Out.SetInput(nullptr);
}

// The mapping family and channel count the stream header of the first page declares.
std::pair<int, int> HeadLayout(const std::vector<uint8_t>& File) {
  for (size_t i = 0; i + 19 <= File.size() && i < 200; ++i)
    if (std::memcmp(&File[i], "OpusHead", 8) == 0) return {File[i + 18], File[i + 9]};
  return {-1, -1};
}

struct TSource {
  std::string Wav;
  uint32_t Channels;
  std::vector<double> Tones;  // per channel, in WAV order
};

const std::string kMp3Out = std::string(TUNEVERT_TEST_DATA) + "/mp3out/";

}  // namespace

class OpusEncode : public ::testing::TestWithParam<TSource> {};

// Any rate and width in, 48 kHz out with the source's length, channels and tones, each
// channel where it was (the six-channel source's LFE included).
TEST_P(OpusEncode, DecodesToTheSourcesLengthChannelsAndTones) {
  const TSource& source = GetParam();
  TempDir dir;
  const std::string opus = dir / "out.opus";
  auto out = MakeComponent<TOpusOut>(nullptr);
  Encode(*out, kMp3Out + source.Wav, opus);

  EXPECT_EQ(Probe(opus, "stream=codec_name,sample_rate,channels"),
            "opus,48000," + std::to_string(source.Channels));
  // Every source is 0.5 s long.
  EXPECT_NEAR(ProbedDuration(opus), 0.5, 0.020);
  const std::vector<int16_t> pcm = OpusdecReference(opus);
  const size_t frames = pcm.size() / source.Channels;
  EXPECT_NEAR(static_cast<double>(frames), 24000, 960);
  EXPECT_EQ(DecodedFrames(opus, static_cast<int>(source.Channels)), frames);
  EXPECT_EQ(HeadLayout(ReadAll(opus)),
            std::make_pair(source.Channels <= 2 ? 0 : 1, static_cast<int>(source.Channels)));

  for (uint32_t c = 0; c < source.Channels; ++c) {
    const std::vector<int16_t> x = Channel(pcm, source.Channels, c, 2400);
    const double own = Tone(x, source.Tones[c], 48000);
    // Sources are at -6 dBFS (one channel) or -12 dBFS (six).
    EXPECT_GT(own, source.Channels > 2 ? 5000 : 11000) << "channel " << c;
    for (uint32_t k = 0; k < source.Channels; ++k)
      if (source.Tones[k] != source.Tones[c]) {
        EXPECT_LT(Tone(x, source.Tones[k], 48000), own / 10) << c << " holds " << k;
      }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, OpusEncode,
    ::testing::Values(TSource{"mono16.wav", 1, {1000}}, TSource{"stereo16.wav", 2, {1000, 1500}},
                      TSource{"stereo24.wav", 2, {1000, 1500}},
                      TSource{"six16.wav", 6, {440, 660, 1000, 80, 1500, 2200}}),
    [](const auto& p) { return p.param.Wav.substr(0, p.param.Wav.find('.')); });

namespace {

std::string BitrateCaseName(const std::pair<uint32_t, TOpusVBR>& Case) {
  const char* names[] = {"vbr", "cvbr", "cbr"};
  return std::to_string(Case.first) + "_" + names[static_cast<int>(Case.second)];
}

}  // namespace

class OpusBitrate : public ::testing::TestWithParam<std::pair<uint32_t, TOpusVBR>> {};

// On music-like sound the stream's rate stays within 15 % of the target, in every mode.
TEST_P(OpusBitrate, StaysNearTheTarget) {
  const auto [kbps, vbr] = GetParam();
  TempDir dir;
  ASSERT_EQ(RunQuiet("sox -D -n -r 44100 -c 2 -b 16 " + Quoted(dir / "src.wav") +
                     " synth 4 sine 440 pinknoise vol 0.4"),
            0);
  auto out = MakeComponent<TOpusOut>(nullptr);
  out->SetBitrateKbps(kbps);
  out->SetVBR(vbr);
  Encode(*out, dir / "src.wav", dir / "out.opus");
  const double rate = static_cast<double>(fs::file_size(dir / "out.opus")) * 8 / 4.0 / 1000;
  EXPECT_NEAR(rate, kbps, 0.15 * kbps);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, OpusBitrate,
    ::testing::Values(std::pair{24u, TOpusVBR::ovVBR}, std::pair{96u, TOpusVBR::ovVBR},
                      std::pair{128u, TOpusVBR::ovVBR}, std::pair{256u, TOpusVBR::ovVBR},
                      std::pair{128u, TOpusVBR::ovConstrainedVBR}, std::pair{64u, TOpusVBR::ovCBR}),
    [](const auto& p) { return BitrateCaseName(p.param); });

// Widths and layouts other tools rarely make: 8-bit, 32-bit, and more than eight channels
// (independent streams, in the input's order), each at its level.
TEST(OpusEncodeLayouts, EightAndThirtyTwoBitAndTenChannels) {
  TempDir dir;
  for (const auto& [bits, channels] : {std::pair{8u, 1u}, {32u, 2u}, {16u, 10u}}) {
    SCOPED_TRACE(std::to_string(bits) + " bits, " + std::to_string(channels) + " channels");
    ASSERT_EQ(RunQuiet("sox -D -n -r 22050 -c " + std::to_string(channels) + " -b " +
                       std::to_string(bits) + " " + Quoted(dir / "in.wav") +
                       " synth 0.5 sine 1000 vol 0.5"),
              0);
    auto out = MakeComponent<TOpusOut>(nullptr);
    Encode(*out, dir / "in.wav", dir / "out.opus");
    EXPECT_EQ(HeadLayout(ReadAll(dir / "out.opus")),
              std::make_pair(channels <= 2 ? 0 : 255, static_cast<int>(channels)));
    // opusdec opens no stream of independent channels; ffmpeg does.
    const std::vector<int16_t> pcm = FfmpegSamples(dir / "out.opus");
    EXPECT_NEAR(static_cast<double>(pcm.size() / channels), 24000, 960);
    for (const uint32_t c : {0u, channels - 1})
      EXPECT_NEAR(Tone(Channel(pcm, channels, c, 2400), 1000, 48000), 16384, 16384 * 0.15) << c;
  }
}

// Tags carried from a tagged source arrive whole in the encoder's comment header, pictures
// byte for byte, as mutagen reads them, and the audio decodes to the same frames as an
// untagged file's.
TEST(OpusOutTags, CarriedTagsAndPicturesArrive) {
  TempDir dir;
  auto out = MakeComponent<TOpusOut>(nullptr);
  Encode(*out, kMp3Out + "stereo16.wav", dir / "bare.opus");
  const size_t frames = OpusdecReference(dir / "bare.opus").size() / 2;
  ASSERT_NEAR(static_cast<double>(frames), 24000, 960) << "opusdec read no audio";
  const std::string source = std::string(TUNEVERT_TEST_DATA) + "/carry/tagged.flac";
  const TCarriedTags tags = ReadCarriedTags(source);
  ASSERT_EQ(tags.Pictures.size(), 2u);
  const std::string opus = dir / "out.opus";
  out->SetTagSource([tags] { return tags; });
  Encode(*out, kMp3Out + "stereo16.wav", opus);

  const std::string dump = std::string(TUNEVERT_TEST_SCRIPTS) + "/dump-tags.py ";
  const std::string expected = CommandOutput(dump + Quoted(source));
  ASSERT_TRUE(expected.find("PICTURE=") != std::string::npos) << "mutagen read no tags";
  EXPECT_EQ(CommandOutput(dump + Quoted(opus)), expected);
  const TCarriedTags back = ReadCarriedTags(opus);
  EXPECT_EQ(back.Text, tags.Text);
  EXPECT_EQ(back.Pictures, tags.Pictures);
  EXPECT_EQ(OpusdecReference(opus).size() / 2, frames);
}

namespace {

// What opusinfo reads as the stream's original rate.
std::string OriginalRateLine(const std::string& Opus) {
  std::istringstream lines(CommandOutput("opusinfo " + Quoted(Opus)));
  for (std::string line; std::getline(lines, line);)
    if (line.find("Original sample rate") != std::string::npos) return line.substr(line.find(':'));
  return "";
}

// The decoded output brought back to 44.1 kHz, as a player that honours the header would.
std::vector<int16_t> DecodedAt44100(const std::string& Opus, const TempDir& Dir) {
  const std::string raw = Dir / "back.raw";
  if (RunQuiet("ffmpeg -nostdin -v error -y -i " + Quoted(Opus) +
               " -af aresample=resampler=soxr:precision=28 -ar 44100 -f s16le " + Quoted(raw)) != 0)
    return {};
  return AsSamples(ReadAll(raw));
}

}  // namespace

// Any rate and length in: opusdec, at 48 kHz, gives back the input's length scaled to it and
// rounded up, not a frame more or less, and opusinfo reads the input's rate as the original.
TEST(OpusOutRates, KeepTheLengthAndNameTheOriginalRate) {
  TempDir dir;
  for (const auto& [rate, frames] : {std::pair{48000u, 0},
                                     {48000u, 1},
                                     {48000u, 959},
                                     {44100u, 44101},
                                     {22050u, 961},
                                     {8000u, 8000}}) {
    SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(frames) + " frames");
    PatternInput in;
    in.Rate = rate;
    in.TotalFrames = frames;
    auto out = MakeComponent<TOpusOut>(nullptr);
    out->SetInput(&in);
    out->SetFileName(dir / "out.opus");
    out->BlockingRun();
    out->SetInput(nullptr);
    const int64_t expected = (int64_t{frames} * 48000 + rate - 1) / rate;
    EXPECT_EQ(static_cast<int64_t>(OpusdecReference(dir / "out.opus").size() / 2), expected);
    EXPECT_EQ(OriginalRateLine(dir / "out.opus"), ": " + std::to_string(rate) + " Hz");
  }
}

// Audio a stage before the output resampled to 48 kHz still names its source's rate, so
// opusdec gives the source's rate and length back.
TEST(OpusOutRates, GivenOriginalRateReachesTheDecoder) {
  TempDir dir;
  ASSERT_EQ(RunQuiet("sox -D -n -r 48000 -c 2 -b 16 " + Quoted(dir / "in.wav") +
                     " synth 0.5 sine 1000 vol 0.5"),
            0);
  auto out = MakeComponent<TOpusOut>(nullptr);
  out->SetOriginalSampleRate(44100);
  Encode(*out, dir / "in.wav", dir / "out.opus");
  EXPECT_EQ(OriginalRateLine(dir / "out.opus"), ": 44100 Hz");
  ASSERT_EQ(
      RunQuiet("opusdec --quiet " + Quoted(dir / "out.opus") + " " + Quoted(dir / "back.wav")), 0);
  EXPECT_EQ(CommandOutput("soxi -r " + Quoted(dir / "back.wav")), "44100\n");
  EXPECT_EQ(CommandOutput("soxi -s " + Quoted(dir / "back.wav")), "22050\n");
}

// A 44.1 kHz source, resampled here, comes back at least as close to itself as through the
// reference encoder, which resamples inside its own library.
TEST(OpusOutRates, ResampledNoWorseThanTheReferenceEncoder) {
  TempDir dir;
  const std::string wav = dir / "src.wav";
  ASSERT_EQ(RunQuiet("sox -D -n -r 44100 -c 2 -b 16 " + Quoted(wav) +
                     " synth 4 pinknoise sine 300-4000 gain -12"),
            0);
  auto out = MakeComponent<TOpusOut>(nullptr);
  Encode(*out, wav, dir / "ours.opus");
  ASSERT_EQ(RunQuiet("opusenc --quiet --bitrate 128 " + Quoted(wav) + " " +
                     Quoted(dir / "reference.opus")),
            0);
  const std::vector<int16_t> source = AsSamples(WavPayload(wav));
  const std::vector<int16_t> ours = DecodedAt44100(dir / "ours.opus", dir);
  const std::vector<int16_t> reference = DecodedAt44100(dir / "reference.opus", dir);
  ASSERT_EQ(ours.size(), source.size());
  ASSERT_EQ(reference.size(), source.size());
  const double ourSnr = SnrDb(source, ours), referenceSnr = SnrDb(source, reference);
  // Both are near 18 dB on this sound; an encoder a frame out of step would be near 0.
  EXPECT_GT(ourSnr, 12);
  EXPECT_GE(ourSnr, referenceSnr - 0.1) << "reference " << referenceSnr;
}

// A comment header larger than a page goes on over several, and readers take it whole.
TEST(OpusOutTags, PictureLargerThanAPageArrives) {
  TempDir dir;
  TCarriedTags tags;
  tags.Text["TITLE"] = {"Big"};
  TCarriedPicture picture;
  picture.Mime = "image/png";
  picture.Description = "big";
  uint32_t noise = 1;
  for (int i = 0; i < 200000; ++i) {
    noise = noise * 1664525u + 1013904223u;
    picture.Data.push_back(static_cast<char>(noise >> 24));
  }
  tags.Pictures = {picture};
  {
    std::ofstream data(dir / "picture.bin", std::ios::binary);
    data << picture.Data;
  }
  auto out = MakeComponent<TOpusOut>(nullptr);
  out->SetTagSource([tags] { return tags; });
  Encode(*out, kMp3Out + "stereo16.wav", dir / "out.opus");

  const std::string sha1 = CommandOutput("sha1sum " + Quoted(dir / "picture.bin")).substr(0, 40);
  EXPECT_EQ(CommandOutput(std::string(TUNEVERT_TEST_SCRIPTS) + "/dump-tags.py " +
                          Quoted(dir / "out.opus")),
            "PICTURE=3|image/png|big|" + sha1 + "\nTITLE=Big\n");
  EXPECT_NEAR(static_cast<double>(OpusdecReference(dir / "out.opus").size() / 2), 24000, 960);
}

namespace {

// A destination that takes Room bytes and then nothing.
class ShortStream final : public TStream {
 public:
  explicit ShortStream(int64_t Room) : FRoom(Room) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t Count) override {
    const int64_t n = std::min(Count, FRoom);
    FRoom -= n;
    FWritten += n;
    return n;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return FWritten; }
  void SetSize(int64_t) override {}

 private:
  int64_t FRoom;
  int64_t FWritten = 0;
};

}  // namespace

// A full disk fails the run wherever it shows, headers, audio or the last pages, and the
// input is flushed.
TEST(OpusOutFailures, ShortWritesFailTheRun) {
  for (const int64_t room : {int64_t{0}, int64_t{100}, int64_t{3000}, int64_t{20000}}) {
    SCOPED_TRACE(room);
    PatternInput in;
    in.TotalFrames = 44100;
    ShortStream stream(room);
    auto out = MakeComponent<TOpusOut>(nullptr);
    out->SetInput(&in);
    out->SetStream(&stream);
    try {
      out->BlockingRun();
      ADD_FAILURE() << "no error";
    } catch (const EAuException& e) {
      EXPECT_STREQ(e.what(), "Error writing down opus file");
    }
    EXPECT_FALSE(in.IsBusy());
    out->SetInput(nullptr);
  }
  // The same run into memory that takes everything succeeds.
  PatternInput in;
  in.TotalFrames = 44100;
  TMemoryStream memory;
  auto out = MakeComponent<TOpusOut>(nullptr);
  out->SetInput(&in);
  out->SetStream(&memory);
  out->BlockingRun();
  out->SetInput(nullptr);
  EXPECT_GT(memory.Size(), 3000);
}

namespace {

double RmsDb(const std::vector<int16_t>& Pcm) {
  double sum = 0;
  for (const int16_t v : Pcm) sum += double(v) * v;
  return 10 * std::log10(sum / static_cast<double>(std::max<size_t>(Pcm.size(), 1)));
}

// The stream header's output gain: a signed Q7.8 value after the rate.
int OutputGainField(const std::vector<uint8_t>& File) {
  for (size_t i = 0; i + 19 <= File.size() && i < 200; ++i)
    if (std::memcmp(&File[i], "OpusHead", 8) == 0)
      return static_cast<int16_t>(File[i + 16] | File[i + 17] << 8);
  return INT32_MIN;
}

}  // namespace

// A header gain changes no sample the encoder sees: it lands in the stream header, and both
// ffmpeg and our own input decode the file that much quieter.
TEST(OpusOutHeaderGain, DecodersApplyIt) {
  TempDir dir;
  auto out = MakeComponent<TOpusOut>(nullptr);
  Encode(*out, kMp3Out + "stereo16.wav", dir / "plain.opus");
  out->SetHeaderGain(-6.5);
  Encode(*out, kMp3Out + "stereo16.wav", dir / "quieter.opus");
  EXPECT_EQ(OutputGainField(ReadAll(dir / "plain.opus")), 0);
  EXPECT_EQ(OutputGainField(ReadAll(dir / "quieter.opus")), -1664);

  const std::vector<int16_t> plain = FfmpegSamples(dir / "plain.opus");
  const std::vector<int16_t> quieter = FfmpegSamples(dir / "quieter.opus");
  ASSERT_GT(plain.size(), 40000u);
  ASSERT_EQ(quieter.size(), plain.size());
  EXPECT_NEAR(RmsDb(plain) - RmsDb(quieter), 6.5, 0.02);

  const auto ours = [](const std::string& Path) {
    auto in = MakeComponent<TOpusIn>(nullptr);
    in->SetFileName(Path);
    return AsSamples(ReadPass(*in));
  };
  const std::vector<int16_t> ownPlain = ours(dir / "plain.opus");
  ASSERT_EQ(ownPlain.size(), plain.size());
  EXPECT_NEAR(RmsDb(ownPlain) - RmsDb(ours(dir / "quieter.opus")), 6.5, 0.02);

  // Beyond what 16 bits of 1/256 dB hold, the field saturates instead of wrapping.
  out->SetHeaderGain(200);
  EXPECT_EQ(out->HeaderGainQ78(), INT16_MAX);
  out->SetHeaderGain(-200);
  EXPECT_EQ(out->HeaderGainQ78(), INT16_MIN);
}
