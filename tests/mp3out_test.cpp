// MP3 output: the encoder settings record, sample conversion, and real encodes checked by
// ffprobe, ffmpeg and mutagen.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cctype>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "AppTestFiles.h"
#include "FileSizeLimit.h"
#include "PipelineFakes.h"
#include "app/BatchConverter.h"
#include "mp3enc/AuLame.h"
#include "wav/AuWave.h"

using namespace tunevert;
using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

const std::string kData = std::string(TUNEVERT_TEST_DATA) + "/mp3out/";
constexpr double kPi = 3.14159265358979323846;

std::map<std::string, std::string> Probe(const std::string& path) {
  std::istringstream lines(
      CommandOutput("ffprobe -v error -select_streams a:0 -show_entries "
                    "stream=codec_name,channels,sample_rate,bit_rate -of default=nw=1 " +
                    Quoted(path)));
  std::map<std::string, std::string> fields;
  for (std::string line; std::getline(lines, line);)
    if (const size_t eq = line.find('='); eq != std::string::npos)
      fields[line.substr(0, eq)] = line.substr(eq + 1);
  return fields;
}

double ProbedDuration(const std::string& path) {
  return std::atof(
      CommandOutput("ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 " +
                    Quoted(path))
          .c_str());
}

struct Decoded {
  int Channels = 0;
  std::vector<int16_t> Samples;
  size_t Frames() const { return Channels == 0 ? 0 : Samples.size() / Channels; }
};

Decoded Decode(const std::string& path, int channels) {
  const std::string raw =
      CommandOutput("ffmpeg -nostdin -v error -i " + Quoted(path) + " -f s16le -c:a pcm_s16le -");
  Decoded d;
  d.Channels = channels;
  if (raw.size() < 2) {
    ADD_FAILURE() << "ffmpeg decoded nothing from " << path;
    return d;
  }
  d.Samples.resize(raw.size() / 2);
  std::memcpy(d.Samples.data(), raw.data(), d.Samples.size() * 2);
  return d;
}

// Peak amplitude of the tone at Freq in one channel: a Hann-windowed single-bin DFT over the
// middle of the signal, away from the encoder's delay and padding.
double Tone(const Decoded& d, int channel, int rate, double freq) {
  const size_t skip = 2400, frames = d.Frames();
  if (frames < 2 * skip + 1000) return -1;
  const size_t n = frames - 2 * skip;
  double re = 0, im = 0, wsum = 0;
  for (size_t i = 0; i < n; ++i) {
    const double w = 0.5 - 0.5 * std::cos(2 * kPi * i / (n - 1));
    const double x = d.Samples[(skip + i) * d.Channels + channel];
    const double ph = 2 * kPi * freq * static_cast<double>(skip + i) / rate;
    re += w * x * std::cos(ph);
    im += w * x * std::sin(ph);
    wsum += w;
  }
  return 2 * std::sqrt(re * re + im * im) / wsum;
}

// The tone is there at Amplitude within about 1.5 dB.
void ExpectTone(const Decoded& d, int channel, int rate, double freq, double amplitude) {
  const double a = Tone(d, channel, rate, freq);
  EXPECT_GT(a, amplitude * 0.84) << "channel " << channel << ", " << freq << " Hz";
  EXPECT_LT(a, amplitude * 1.19) << "channel " << channel << ", " << freq << " Hz";
}

void ExpectNoTone(const Decoded& d, int channel, int rate, double freq) {
  EXPECT_LT(Tone(d, channel, rate, freq), 300) << "channel " << channel << ", " << freq << " Hz";
}

std::vector<uint8_t> Tail(const std::vector<uint8_t>& bytes, size_t n) {
  return bytes.size() < n ? bytes : std::vector<uint8_t>(bytes.end() - n, bytes.end());
}

// Where the first frame's Xing/Info id stands, or 0.
size_t InfoHeaderAt(const std::vector<uint8_t>& file, const char* id) {
  const size_t n = std::min<size_t>(file.size(), 64);
  for (size_t i = 0; i + 4 <= n; ++i)
    if (std::memcmp(file.data() + i, id, 4) == 0) return i;
  return 0;
}

bool HasInfoHeader(const std::vector<uint8_t>& file, const char* id) {
  return InfoHeaderAt(file, id) != 0;
}

// The record the window's output hands the encoder, built from the field table.
std::vector<uint8_t> ExpectedRecord(uint32_t rate, uint32_t mode, uint32_t kbps) {
  std::vector<uint8_t> r(331, 0);
  auto put = [&](size_t at, uint32_t v) { std::memcpy(r.data() + at, &v, 4); };
  put(0, 256);
  put(4, 1);
  put(8, 331);
  put(12, rate);
  put(20, mode);
  put(24, kbps);
  put(60, 0xFFFFFFFF);  // Original
  put(64, 0xFFFFFFFF);  // the Info frame, for the exact length
  put(80, 2);
  put(84, 0xFFFFFFFF);  // no bit reservoir
  return r;
}

std::vector<uint8_t> Bytes(const BE_CONFIG& c) {
  const auto* p = reinterpret_cast<const uint8_t*>(&c);
  return {p, p + sizeof c};
}

uint32_t At(const BE_CONFIG& c, size_t offset) {
  uint32_t v;
  std::memcpy(&v, reinterpret_cast<const uint8_t*>(&c) + offset, 4);
  return v;
}

TComponentPtr<TMP3Out> WindowOutput() {
  auto out = MakeComponent<TMP3Out>(nullptr);
  out->SetShareMode(0);
  return out;
}

void Encode(TMP3Out& out, const std::string& wav, const std::string& mp3) {
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(wav);
  out.SetInput(in.get());
  out.SetFileName(mp3);
  out.BlockingRun();
  out.SetInput(nullptr);
}

// ID3v2 frames of a file as mutagen sees them, "ID=text" per line.
std::string Mutagen(const std::string& path) {
  return CommandOutput(
      "/usr/bin/python3 -c \"import sys\nfrom mutagen.id3 import ID3\n"
      "t = ID3(sys.argv[1], load_v1=False)\nfor k in sorted(t.keys()): print(k + '=' + "
      "str(t[k]))\" " +
      Quoted(path) + " 2>&1");
}

}  // namespace

TEST(MP3Config, TheWindowsOutputFillsTheRecordAsLaidOut) {
  auto batch = MakeComponent<TBatchConverter>(nullptr);
  auto* mp3 = static_cast<TMP3Out*>(batch->MP3Out1);
  ASSERT_NE(mp3, nullptr);
  mp3->SetBitRate(TBatchConverter::GetMP3BitRate("160"));
  EXPECT_EQ(Bytes(mp3->BuildConfig(44100, 2)), ExpectedRecord(44100, 0, 160));
  // A mono input is encoded as mono whatever Mode says.
  EXPECT_EQ(Bytes(mp3->BuildConfig(22050, 1)), ExpectedRecord(22050, 3, 160));
  mp3->SetBitRate(TBatchConverter::GetMP3BitRate("320"));
  EXPECT_EQ(At(mp3->BuildConfig(48000, 2), 24), 320u);
}

TEST(MP3Config, ModesAverageAndVariableBitrates) {
  auto out = WindowOutput();
  EXPECT_EQ(out->BitRate(), TMP3BitRate::mbr128);
  EXPECT_EQ(out->Mode(), TMP3Mode::mmStereo);
  EXPECT_TRUE(out->Original());
  EXPECT_FALSE(out->CRC());
  EXPECT_FALSE(out->EnableVBR());
  EXPECT_FALSE(out->EnableBitReservoir());

  out->SetMode(TMP3Mode::mmDual);
  EXPECT_EQ(At(out->BuildConfig(44100, 2), 20), 0u);
  out->SetMode(TMP3Mode::mmJointStereo);
  EXPECT_EQ(At(out->BuildConfig(44100, 2), 20), 1u);
  EXPECT_EQ(At(out->BuildConfig(44100, 1), 20), 3u);

  out->SetAverageBitrate(TMP3BitRate::mbr192);
  BE_CONFIG c = out->BuildConfig(44100, 2);
  EXPECT_EQ(At(c, 76), 192u);
  EXPECT_EQ(At(c, 80), 4u);
  EXPECT_EQ(At(c, 68), 0u);

  out->SetVBRQuality(TMP3Quality::mp3ql4);
  EXPECT_EQ(At(out->BuildConfig(44100, 2), 72), 0u);  // quality counts only with VBR on
  out->SetEnableVBR(true);
  out->SetMaximumBitrate(TMP3BitRate::mbr256);
  out->SetCRC(true);
  out->SetCopyright(true);
  out->SetOriginal(false);
  out->SetEnableBitReservoir(true);
  out->SetStrictISO(true);
  c = out->BuildConfig(44100, 2);
  EXPECT_EQ(At(c, 64), 0xFFFFFFFFu);
  EXPECT_EQ(At(c, 68), 0xFFFFFFFFu);
  EXPECT_EQ(At(c, 72), 4u);
  EXPECT_EQ(At(c, 28), 256u);
  EXPECT_EQ(At(c, 52), 0xFFFFFFFFu);
  EXPECT_EQ(At(c, 56), 0u);  // Copyright is never passed on
  EXPECT_EQ(At(c, 60), 0u);
  EXPECT_EQ(At(c, 84), 0u);
  EXPECT_EQ(At(c, 88), 0xFFFFFFFFu);

  EXPECT_EQ(BitRateToKbps(TMP3BitRate::mbrAuto), 0u);
  EXPECT_EQ(BitRateToKbps(TMP3BitRate::mbr40), 40u);
  EXPECT_EQ(BitRateToKbps(TMP3BitRate::mbr320), 320u);
  EXPECT_EQ(BitRateToKbps(static_cast<TMP3BitRate>(40)), 128u);
}

TEST(Pcm16, EveryWidthRoundsAndClampsWithoutWrapping) {
  int16_t out[8];
  const uint8_t u8[] = {0x00, 0x80, 0xFF};
  ConvertToPcm16(u8, 3, 1, 8, out, 1);
  EXPECT_EQ(std::vector<int16_t>(out, out + 3), (std::vector<int16_t>{-32768, 0, 32512}));

  // 0x7FFFFF would wrap to -32768 if rounded without a clamp.
  const uint8_t s24[] = {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0x80, 0x00,
                         0x00, 0x7F, 0xFF, 0xFF, 0x7F, 0x00, 0x00};
  ConvertToPcm16(s24, 5, 1, 24, out, 1);
  EXPECT_EQ(std::vector<int16_t>(out, out + 5), (std::vector<int16_t>{32767, -32768, 1, -1, 0}));

  const uint8_t s32[] = {0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x00, 0x80, 0x00, 0x80, 0x00, 0x00};
  ConvertToPcm16(s32, 3, 1, 32, out, 1);
  EXPECT_EQ(std::vector<int16_t>(out, out + 3), (std::vector<int16_t>{32767, -32768, 1}));

  // Stereo folded to mono for a stereo input encoded in mono mode.
  const int16_t st[] = {32767, 32767, -32768, -32768, 1000, -3000};
  ConvertToPcm16(reinterpret_cast<const uint8_t*>(st), 3, 2, 16, out, 1);
  EXPECT_EQ(std::vector<int16_t>(out, out + 3), (std::vector<int16_t>{32767, -32768, -1000}));
}

TEST(Pcm16, SurroundChannelsFoldIntoStereo) {
  int16_t out[4];
  // FL FR FC LFE BL BR
  const int16_t six[] = {1000, 0, 10000, 30000, 0, -10000, 32767, 32767, 32767, 0, 32767, 32767};
  ConvertToPcm16(reinterpret_cast<const uint8_t*>(six), 2, 6, 16, out, 2);
  // Fronts 1, centre and surrounds 0.7071, over their sum of 2.4142; the LFE left out.
  EXPECT_EQ(out[0], 3343);  // (1000 + 10000 x 0.7071) / 2.4142
  EXPECT_EQ(out[1], 0);     // the centre and the right surround cancel
  EXPECT_EQ(out[2], 32767);
  EXPECT_EQ(out[3], 32767);
}

// Loud surround material must not clip: the fold stays linear up to full scale on every
// channel at once, in every combination of signs.
class Pcm16Downmix : public ::testing::TestWithParam<uint32_t> {};

TEST_P(Pcm16Downmix, NeverExceedsFullScale) {
  const uint32_t channels = GetParam();
  const uint32_t frames = 1u << channels;
  auto pattern = [&](int16_t level) {
    std::vector<int16_t> pcm;
    for (uint32_t f = 0; f < frames; ++f)
      for (uint32_t c = 0; c < channels; ++c)
        pcm.push_back(static_cast<int16_t>((f >> c) & 1 ? -level : level));
    return pcm;
  };
  const std::vector<int16_t> full = pattern(32766), half = pattern(16383);
  std::vector<int16_t> outFull(2 * frames), outHalf(2 * frames);
  ConvertToPcm16(reinterpret_cast<const uint8_t*>(full.data()), frames, channels, 16,
                 outFull.data(), 2);
  ConvertToPcm16(reinterpret_cast<const uint8_t*>(half.data()), frames, channels, 16,
                 outHalf.data(), 2);
  for (uint32_t i = 0; i < 2 * frames; ++i)
    ASSERT_NEAR(outFull[i], 2 * outHalf[i], 2) << channels << " channels, frame " << i / 2;
  // Every channel at full scale with one sign comes out at full scale, on both sides.
  EXPECT_NEAR(outFull[0], 32766, 1);
  EXPECT_NEAR(outFull[1], 32766, 1);
  EXPECT_NEAR(outFull[2 * frames - 2], -32766, 1);
  EXPECT_NEAR(outFull[2 * frames - 1], -32766, 1);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Pcm16Downmix, ::testing::Range(3u, 9u),
                         [](const auto& p) { return std::to_string(p.param) + "ch"; });

// A source announcing four times what it holds: the file holds what was delivered.
TEST(Mp3Out, LengthIsThatOfTheAudioDelivered) {
  TempDir dir;
  PatternInput in;
  in.TotalFrames = 22050;
  in.AnnouncedSize = 22050 * 4 * 4;
  auto out = WindowOutput();
  out->SetInput(&in);
  out->SetFileName(dir / "out.mp3");
  out->BlockingRun();
  out->SetInput(nullptr);
  const Decoded d = Decode(dir / "out.mp3", 2);
  EXPECT_GE(d.Frames(), 22050u);
  EXPECT_LE(d.Frames(), 22050u + 1105 + 1152);
}

class Mp3Encode : public ::testing::TestWithParam<std::tuple<int, TMP3BitRate>> {};

TEST_P(Mp3Encode, DecodesToTheSameToneRateAndChannels) {
  const auto [channels, rate] = GetParam();
  TempDir dir;
  const std::string mp3 = dir / "out.mp3";
  auto out = WindowOutput();
  out->SetBitRate(rate);
  Encode(*out, kData + (channels == 2 ? "stereo16.wav" : "mono16.wav"), mp3);

  auto info = Probe(mp3);
  EXPECT_EQ(info["codec_name"], "mp3");
  EXPECT_EQ(info["channels"], std::to_string(channels));
  EXPECT_EQ(info["sample_rate"], "44100");
  EXPECT_EQ(info["bit_rate"], std::to_string(BitRateToKbps(rate) * 1000));

  const Decoded d = Decode(mp3, channels);
  // 22050 frames in; the encoder adds its delay (576 + 529) and pads the last frame.
  EXPECT_GE(d.Frames(), 22050u);
  EXPECT_LE(d.Frames(), 22050u + 1105 + 1152);
  ExpectTone(d, 0, 44100, 1000, 16384);
  if (channels == 2) {
    ExpectTone(d, 1, 44100, 1500, 16384);
    ExpectNoTone(d, 0, 44100, 1500);
    ExpectNoTone(d, 1, 44100, 1000);
  }

  const auto file = ReadAll(mp3);
  // Constant bitrate: an Info frame rather than a Xing one, where a frame of the stream's
  // bitrate holds it (not at 48 kbit/s, 44.1 kHz); the file ends with an empty ID3v1 record.
  EXPECT_FALSE(HasInfoHeader(file, "Xing"));
  EXPECT_EQ(HasInfoHeader(file, "Info"), BitRateToKbps(rate) >= 64);
  std::vector<uint8_t> record(128, 0);
  std::memcpy(record.data(), "TAG", 3);
  record[127] = 255;
  EXPECT_EQ(Tail(file, 128), record);
}

INSTANTIATE_TEST_SUITE_P(Rates, Mp3Encode,
                         ::testing::Combine(::testing::Values(2, 1),
                                            ::testing::Values(TMP3BitRate::mbr48,
                                                              TMP3BitRate::mbr128,
                                                              TMP3BitRate::mbr320)),
                         [](const auto& p) {
                           return std::string(std::get<0>(p.param) == 2 ? "stereo" : "mono") + "_" +
                                  std::to_string(BitRateToKbps(std::get<1>(p.param)));
                         });

TEST(Mp3EncodeSources, TwentyFourBitAndSixChannelSourcesBecomeCleanStereo) {
  TempDir dir;
  auto out = WindowOutput();
  Encode(*out, kData + "stereo24.wav", dir / "24.mp3");
  EXPECT_EQ(Probe(dir / "24.mp3")["sample_rate"], "48000");
  Decoded d = Decode(dir / "24.mp3", 2);
  ExpectTone(d, 0, 48000, 1000, 16384);
  ExpectTone(d, 1, 48000, 1500, 16384);
  ExpectNoTone(d, 0, 48000, 1500);

  Encode(*out, kData + "six16.wav", dir / "six.mp3");
  auto info = Probe(dir / "six.mp3");
  EXPECT_EQ(info["channels"], "2");
  EXPECT_EQ(info["sample_rate"], "32000");
  d = Decode(dir / "six.mp3", 2);
  // Tones of 8192: centre and surrounds 3 dB below the fronts, no LFE, and each side's
  // weights summing to 1 (8192 / 2.4142 and 8192 x 0.7071 / 2.4142).
  ExpectTone(d, 0, 32000, 440, 3393);
  ExpectTone(d, 1, 32000, 660, 3393);
  for (int ch : {0, 1}) {
    ExpectTone(d, ch, 32000, 1000, 2399);
    ExpectNoTone(d, ch, 32000, 80);
  }
  ExpectTone(d, 0, 32000, 1500, 2399);
  ExpectTone(d, 1, 32000, 2200, 2399);
  ExpectNoTone(d, 0, 32000, 2200);
  ExpectNoTone(d, 1, 32000, 1500);
}

TEST(Mp3EncodeSources, VbrWritesAnInfoHeaderThatGivesTheDuration) {
  TempDir dir;
  auto out = WindowOutput();
  out->SetEnableVBR(true);
  out->SetVBRQuality(TMP3Quality::mp3ql4);
  // A path that is not plain ASCII reaches the header writer intact.
  const std::string mp3 = dir / "Sång ♪.mp3";
  Encode(*out, kData + "stereo16.wav", mp3);
  const auto file = ReadAll(mp3);
  const size_t at = InfoHeaderAt(file, "Xing");
  ASSERT_NE(at, 0u);
  ASSERT_GT(file.size(), at + 12);
  // Flags, then the frame count the encoder only knows at the end.
  ASSERT_TRUE(file[at + 7] & 1);
  const uint32_t frames =
      file[at + 8] << 24 | file[at + 9] << 16 | file[at + 10] << 8 | file[at + 11];
  EXPECT_GE(frames * 1152, 22050u);
  EXPECT_LE(frames * 1152, 22050u + 1105 + 1152);
  const double duration = ProbedDuration(mp3);
  EXPECT_GE(duration, 0.5);
  EXPECT_LE(duration, (22050.0 + 1105 + 1152) / 44100);
  ExpectTone(Decode(mp3, 2), 0, 44100, 1000, 16384);
}

TEST(Mp3Tags, Id3v2FieldsAreWrittenAndTheId3v1RecordEndsTheFile) {
  TempDir dir;
  auto out = WindowOutput();
  out->Id3v2Tags()->SetTitle(u"Ünïcode ☃ title");
  out->Id3v2Tags()->SetArtist(u"Artíst");
  out->Id3v2Tags()->SetAlbum(u"Albüm");
  out->Id3v2Tags()->SetGenre(u"Jazz");
  out->Id3v2Tags()->SetYear("1999");
  out->Id3v2Tags()->SetTrack("3/12");
  out->Id3v1Tags()->SetTitle(std::string(40, 'T'));
  out->Id3v1Tags()->SetYear(1999);
  out->Id3v1Tags()->SetComment("four");
  const std::string mp3 = dir / "Tägged ♪.mp3";
  Encode(*out, kData + "mono16.wav", mp3);

  EXPECT_EQ(Mutagen(mp3),
            "TALB=Albüm\nTCON=Jazz\nTDRC=1999\nTIT2=Ünïcode ☃ title\nTPE1=Artíst\nTRCK=3\n");
  const auto tail = Tail(ReadAll(mp3), 128);
  ASSERT_EQ(tail.size(), 128u);
  EXPECT_EQ(std::string(tail.begin(), tail.begin() + 3), "TAG");
  EXPECT_EQ(std::string(tail.begin() + 3, tail.begin() + 33), std::string(30, 'T'));
  EXPECT_EQ(tail[33], 0);
  EXPECT_EQ(std::string(tail.begin() + 93, tail.begin() + 97), "1999");
  EXPECT_EQ(std::string(tail.begin() + 97, tail.begin() + 101), "four");
  EXPECT_EQ(tail[127], 255);
  ExpectTone(Decode(mp3, 1), 0, 44100, 1000, 16384);
}

// The ID3v1 record is in the file when the tag library saves; what it holds must stay there
// and not turn up as ID3v2 frames the caller never set.
TEST(Mp3Tags, Id3v1FieldsAreNotCopiedIntoEmptyId3v2Fields) {
  TempDir dir;
  auto out = WindowOutput();
  out->Id3v2Tags()->SetTitle(u"Only this");
  out->Id3v1Tags()->SetYear(1987);
  // Byte 125 zero and 126 non-zero reads as ID3v1.1 track 7.
  out->Id3v1Tags()->SetComment(std::string(28, 'c') + std::string(1, '\0') + "\x07");
  const std::string mp3 = dir / "a.mp3";
  Encode(*out, kData + "mono16.wav", mp3);
  EXPECT_EQ(Mutagen(mp3), "TIT2=Only this\n");
  const auto tail = Tail(ReadAll(mp3), 128);
  ASSERT_EQ(tail.size(), 128u);
  EXPECT_EQ(std::string(tail.begin() + 93, tail.begin() + 97), "1987");
  EXPECT_EQ(tail[125], 0);
  EXPECT_EQ(tail[126], 7);
}

// A batch may write to a temporary name and rename afterwards: the tags must not depend on
// the file name's extension.
class Mp3TagsUnderAnyName : public ::testing::TestWithParam<const char*> {};

TEST_P(Mp3TagsUnderAnyName, GetTheirFields) {
  TempDir dir;
  auto out = WindowOutput();
  out->Id3v2Tags()->SetTitle(u"Named");
  out->Id3v2Tags()->SetYear("2001");
  const std::string path = dir / GetParam();
  Encode(*out, kData + "mono16.wav", path);
  EXPECT_EQ(Mutagen(path), "TDRC=2001\nTIT2=Named\n");
  const auto file = ReadAll(path);
  ASSERT_GT(file.size(), 128u);
  EXPECT_EQ(std::string(file.end() - 128, file.end() - 125), "TAG");
}

INSTANTIATE_TEST_SUITE_P(Names, Mp3TagsUnderAnyName,
                         ::testing::Values("x.tmp", "x.MP3.part", "noextension", "x.flac"),
                         [](const auto& p) {
                           std::string name = p.param;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

TEST(Mp3Tags, NumbersThatDoNotParseAreSkippedSilently) {
  TempDir dir;
  auto out = WindowOutput();
  out->Id3v2Tags()->SetTitle(u"Title");
  out->Id3v2Tags()->SetYear("abc");
  out->Id3v2Tags()->SetTrack("2x");
  out->Id3v1Tags()->SetYear(0);
  out->Id3v1Tags()->SetComment("abcd");
  Encode(*out, kData + "mono16.wav", dir / "a.mp3");
  EXPECT_EQ(Mutagen(dir / "a.mp3"), "TIT2=Title\n");
  const auto tail = Tail(ReadAll(dir / "a.mp3"), 128);
  EXPECT_EQ(std::vector<uint8_t>(tail.begin() + 93, tail.begin() + 97), std::vector<uint8_t>(4, 0));

  unsigned v = 0;
  EXPECT_TRUE(ParseTagNumber("2004", false, v));
  EXPECT_EQ(v, 2004u);
  EXPECT_FALSE(ParseTagNumber("2004/5", false, v));
  EXPECT_FALSE(ParseTagNumber("-3", true, v));
  EXPECT_FALSE(ParseTagNumber(" 3", true, v));
  EXPECT_FALSE(ParseTagNumber("99999999999", true, v));
}

TEST(Mp3Failures, MissingTagLibraryStillWritesAGoodMp3) {
  const auto names = TagLibraryNames();
  ASSERT_EQ(names, (std::vector<std::string>{"libtag_c.so.0", "libtag_c.so.2"}));
  SetTagLibraryNames({"libtag_c-absent.so.0"});
  TempDir dir;
  {
    auto out = WindowOutput();
    EXPECT_FALSE(TagLibLoaded());
    out->Id3v2Tags()->SetTitle(u"Lost");
    Encode(*out, kData + "mono16.wav", dir / "a.mp3");
  }
  SetTagLibraryNames(names);
  LoadTagLibrary();
  EXPECT_TRUE(TagLibLoaded());
  const auto file = ReadAll(dir / "a.mp3");
  ASSERT_GT(file.size(), 128u);
  EXPECT_NE(std::string(file.begin(), file.begin() + 3), "ID3");
  EXPECT_EQ(std::string(file.end() - 128, file.end() - 125), "TAG");
  ExpectTone(Decode(dir / "a.mp3", 1), 0, 44100, 1000, 16384);
}

TEST(Mp3Failures, RefusedSettingsReportTheEncodersCode) {
  TempDir dir;
  auto in = MakeComponent<PatternInput>(nullptr);
  in->Rate = 0;
  auto out = WindowOutput();
  out->SetInput(in.get());
  out->SetFileName(dir / "x.mp3");
  try {
    out->BlockingRun();
    ADD_FAILURE() << "no error";
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "LAME Error: 2");
  }
  EXPECT_EQ(fs::file_size(dir / "x.mp3"), 0u);
  EXPECT_EQ(in->Starts.load(), 1);
  EXPECT_EQ(in->Stops.load(), 1);
  // Nothing is left busy: the next run works.
  in->Rate = 44100;
  out->BlockingRun();
  EXPECT_GT(fs::file_size(dir / "x.mp3"), 128u);
}

TEST(Mp3Failures, AFailedStartLeavesAnEmptyFileAndEndsThePass) {
  TempDir dir;
  auto in = MakeComponent<PatternInput>(nullptr);
  auto out = WindowOutput();
  out->SetInput(in.get());
  EXPECT_THROW(
      {
        try {
          out->BlockingRun();
        } catch (const EAuException& e) {
          EXPECT_STREQ(e.what(), "File name is not assigned.");
          throw;
        }
      },
      EAuException);

  out->SetFileName(dir / "x.mp3");
  in->StartError = "cannot start";
  EXPECT_THROW(out->BlockingRun(), EAuException);
  EXPECT_EQ(fs::file_size(dir / "x.mp3"), 0u);

  in->StartError.clear();
  in->Bits = 12;
  EXPECT_THROW(out->BlockingRun(), EAuException);
  EXPECT_EQ(fs::file_size(dir / "x.mp3"), 0u);
  EXPECT_FALSE(in->IsBusy());
}

TEST(Mp3Failures, AnAssignedStreamIsWrittenAndNoFileIsTouchedByName) {
  TempDir dir;
  auto in = MakeComponent<PatternInput>(nullptr);
  in->TotalFrames = 20000;
  TMemoryStream mem;
  auto out = WindowOutput();
  out->SetEnableVBR(true);
  out->SetInput(in.get());
  out->SetStream(&mem);
  out->SetFileName(dir / "elsewhere.mp3");
  out->BlockingRun();
  EXPECT_FALSE(fs::exists(dir / "elsewhere.mp3"));
  ASSERT_GT(mem.Size(), 1000);
  EXPECT_EQ(mem.Data()[0], 0xFF);
  EXPECT_EQ(std::string(mem.Data().end() - 128, mem.Data().end() - 125), "TAG");
}

namespace {

// A destination that takes nothing: every write comes back short.
class FullStream final : public TStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
  int64_t Size() override { return 0; }
  void SetSize(int64_t) override {}
};

}  // namespace

TEST(Mp3Failures, ShortWritesAndUnreadableFilesAreReported) {
  auto in = MakeComponent<PatternInput>(nullptr);
  in->TotalFrames = 20000;
  FullStream full;
  auto out = WindowOutput();
  out->SetInput(in.get());
  out->SetStream(&full);
  try {
    out->BlockingRun();
    ADD_FAILURE() << "no error";
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "Error writing down mp3 file");
  }
  EXPECT_FALSE(in->IsBusy());

  TempDir dir;
  ASSERT_TRUE(TagLibLoaded());
  EXPECT_THROW(
      {
        try {
          WriteTagLibFields(dir / "missing.mp3", TTagLibFields{"t", "", "", "", "", ""});
        } catch (const EAuException& e) {
          EXPECT_STREQ(e.what(), "Failed to write tags");
          throw;
        }
      },
      EAuException);
}

// The disk fills up after the last chunk: while the encoder's last frames are written, or
// while the ID3v1 record is. Either way the run fails instead of reporting a cut file done.
class Mp3FullDisk : public ::testing::TestWithParam<int> {};

TEST_P(Mp3FullDisk, AtTheEndFailsTheRun) {
  TempDir dir;
  auto out = WindowOutput();
  Encode(*out, kData + "mono16.wav", dir / "whole.mp3");
  const auto whole = ReadAll(dir / "whole.mp3");
  ASSERT_NE(std::string(whole.begin(), whole.begin() + 3), "ID3");
  const auto room = static_cast<rlim_t>(whole.size() - GetParam());
  std::string message;
  {
    const FileSizeLimit limit(room);
    try {
      Encode(*out, kData + "mono16.wav", dir / "cut.mp3");
    } catch (const EAuException& e) {
      message = e.what();
    }
  }
  EXPECT_EQ(message, "The output file could not be written: File too large");
  EXPECT_EQ(fs::file_size(dir / "cut.mp3"), room);
}

// 1 and 128: the record is cut or not written at all; 129: the encoder's flush is cut.
INSTANTIATE_TEST_SUITE_P(BytesShort, Mp3FullDisk, ::testing::Values(1, 128, 129));

TEST(LameEncoderInterface, RefusesUnknownLayoutsAndHandles) {
  LoadLameLibrary();
  ASSERT_TRUE(LameLoaded());
  const TLameEntryPoints& be = LameEntryPoints();
  for (auto fn :
       {reinterpret_cast<void*>(be.beFlushNoGap), reinterpret_cast<void*>(be.beWriteInfoTag)})
    EXPECT_NE(fn, nullptr);
  BE_CONFIG c{};
  uint32_t samples = 0, size = 0;
  HBE_STREAM h = 0;
  EXPECT_EQ(be.beInitStream(&c, &samples, &size, &h), BE_ERR_INVALID_FORMAT);
  uint8_t buf[16];
  uint32_t n = 7;
  EXPECT_EQ(be.beEncodeChunk(0xDEAD, 0, nullptr, buf, &n), BE_ERR_INVALID_HANDLE);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(be.beCloseStream(0xDEAD), BE_ERR_INVALID_HANDLE);

  // A real stream reports one MPEG-1 frame per channel as its chunk.
  auto out = WindowOutput();
  c = out->BuildConfig(44100, 2);
  ASSERT_EQ(be.beInitStream(&c, &samples, &size, &h), BE_ERR_SUCCESSFUL);
  EXPECT_EQ(samples, 2304u);
  EXPECT_GE(size, samples * 5 / 4 + 7200);
  std::vector<uint8_t> mp3(size);
  EXPECT_EQ(be.beDeinitStream(h, mp3.data(), &n), BE_ERR_SUCCESSFUL);
  EXPECT_EQ(be.beCloseStream(h), BE_ERR_SUCCESSFUL);
  EXPECT_EQ(be.beCloseStream(h), BE_ERR_INVALID_HANDLE);
}
