// Outputs read back before they are put in place: the delivery tap's count and digest, and
// VerifyOutput on real outputs of every format, whole, damaged and against wrong figures.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/OutputVerifier.h"
#include "flac/AuFLACOut.h"
#include "mp3enc/AuLame.h"
#include "opus/AuOpus.h"
#include "pipeline/AuDeliveryTap.h"
#include "tests/AppTestFiles.h"
#include "tests/PipelineFakes.h"
#include "vorbis/AuVorbisOut.h"
#include "wav/AuWave.h"
#include "winmedia/AuWMAOut.h"

using namespace tunevert;
using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

constexpr const char* kPrefix = "The written file could not be read back: ";

struct Shape {
  int Rate = 44100;
  int Channels = 2;
  int Bits = 16;
  int64_t Frames = 44100;
};

// A tone with a little noise, so that no encoder takes it for silence.
std::vector<uint8_t> TonePcm(const Shape& S) {
  std::vector<uint8_t> pcm;
  const int bytes = S.Bits / 8;
  pcm.reserve(static_cast<size_t>(S.Frames * S.Channels * bytes));
  uint32_t noise = 12345;
  const double full = std::ldexp(1.0, S.Bits - 1) - 1;
  for (int64_t f = 0; f < S.Frames; ++f)
    for (int c = 0; c < S.Channels; ++c) {
      noise = noise * 1664525u + 1013904223u;
      const double tone = 0.5 * std::sin(2 * M_PI * (440.0 + 110 * c) * f / S.Rate);
      const double value = (tone + ((noise >> 16) / 65536.0 - 0.5) * 0.01) * full;
      auto v = static_cast<int32_t>(std::lround(value));
      if (S.Bits == 8) v += 128;
      for (int b = 0; b < bytes; ++b) pcm.push_back(static_cast<uint8_t>(v >> (8 * b)));
    }
  return pcm;
}

// Our own output component for a format, in one of its modes ("" for the batch's default).
std::unique_ptr<TAuFileOut> MakeOutput(const std::string& Format, const std::string& Mode) {
  if (Format == ".wav") {
    auto out = std::make_unique<TWaveOut>();
    out->SetWavType(TWavType::wtPCM);
    return out;
  }
  if (Format == ".flac") return std::make_unique<TFLACOut>();
  if (Format == ".mp3") {
    auto out = std::make_unique<TMP3Out>();
    out->SetBitRate(TMP3BitRate::mbr160);
    if (Mode == "vbr") {
      out->SetEnableVBR(true);
      out->SetVBRQuality(TMP3Quality::mp3ql2);
    }
    return out;
  }
  if (Format == ".wma") {
    auto out = std::make_unique<TWMAOut>();
    out->SetDesiredBitrate(160);
    return out;
  }
  if (Format == ".ogg") return std::make_unique<TVorbisOut>();
  auto out = std::make_unique<TOpusOut>();
  out->SetBitrateKbps(128);
  return out;
}

// Encodes Pcm of shape S into Target through a tap; what the tap saw.
TDeliveredAudio Encode(const TempDir& Dir, const std::vector<uint8_t>& Pcm, const Shape& S,
                       const std::string& Format, const std::string& Target,
                       const std::string& Mode = {}) {
  const std::string source = Dir / "source.wav";
  WriteWav(source, Pcm, S.Channels, S.Bits, S.Rate);
  TWaveIn in;
  in.SetFileName(source);
  TAuDeliveryTap tap;
  tap.SetInput(&in);
  std::unique_ptr<TAuFileOut> out = MakeOutput(Format, Mode);
  out->SetInput(&tap);
  out->SetFileName(Target);
  out->BlockingRun();
  return tap.Delivered();
}

// VerifyOutput's message, or "" when the file verified. The file is named as the batch
// names its temporary output: by descriptor, without an extension.
std::string Verify(const std::string& File, const std::string& Format,
                   const TDeliveredAudio& Delivered) {
  const int fd = open(File.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "cannot open " + File;
  std::string message;
  try {
    VerifyOutput("/proc/self/fd/" + std::to_string(fd), Format, Delivered);
  } catch (const std::exception& e) {
    message = e.what();
  }
  close(fd);
  return message;
}

// The digest of the whole of Pcm taken in one piece.
uint64_t DigestOf(const std::vector<uint8_t>& Pcm) {
  TPcmDigest digest;
  digest.Update(Pcm.data(), Pcm.size());
  return digest.Value();
}

void Overwrite(const std::string& File, size_t At, const std::vector<uint8_t>& Bytes) {
  std::vector<uint8_t> data = ReadAll(File);
  ASSERT_LE(At + Bytes.size(), data.size());
  std::copy(Bytes.begin(), Bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(At));
  WriteAll(File, data);
}

const std::vector<std::string> kFormats = {".wav", ".flac", ".mp3", ".wma", ".ogg", ".opus"};

}  // namespace

// The tap hands on every block as it came and digests the same bytes to the same value
// however the consumer cuts them, including cuts that leave pieces shorter than a word.
TEST(DeliveryTap, PassesBlocksThroughAndDigestsThemWhateverTheirSize) {
  for (uint32_t ask : {4u, 12u, 28u, 4096u, 1u << 20}) {
    SCOPED_TRACE(ask);
    PatternInput source;
    source.TotalFrames = 10007;
    source.MaxBlock = 1000;
    TAuDeliveryTap tap;
    tap.SetInput(&source);
    tap.Init();
    std::vector<uint8_t> seen;
    for (;;) {
      void* block = nullptr;
      uint32_t bytes = ask;
      tap.GetData(block, bytes);
      if (bytes == 0) break;
      seen.insert(seen.end(), static_cast<uint8_t*>(block), static_cast<uint8_t*>(block) + bytes);
    }
    tap.Flush();
    std::vector<uint8_t> expected(seen.size());
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = PatternByte(static_cast<int64_t>(i));
    ASSERT_EQ(seen, expected);
    const TDeliveredAudio delivered = tap.Delivered();
    EXPECT_EQ(delivered.Frames, 10007);
    EXPECT_EQ(delivered.SampleRate, 44100u);
    EXPECT_EQ(delivered.Channels, 2u);
    EXPECT_EQ(delivered.BitsPerSample, 16u);
    EXPECT_EQ(delivered.Digest, DigestOf(expected));
  }
}

// Every format's real output verifies, by a name without an extension, at the lengths and
// rates where encoders pad, trim or resample: nothing, one frame, an odd count, 8 kHz mono,
// 48 kHz stereo, 24 bits for the lossless formats, and MP3 at a variable bitrate.
TEST(OutputVerify, OutputsOfEveryFormatReadBackWhole) {
  TempDir dir;
  struct Case {
    std::string Format, Mode;
    Shape S;
  };
  std::vector<Case> cases;
  for (const std::string& format : kFormats)
    for (const Shape& s :
         {Shape{44100, 2, 16, 0}, Shape{44100, 2, 16, 1}, Shape{44100, 2, 16, 44100 + 1},
          Shape{8000, 1, 16, 8000 * 3 + 1}, Shape{48000, 2, 16, 48000 * 2 + 17}})
      cases.push_back({format, "", s});
  cases.push_back({".wav", "", {96000, 2, 24, 96001}});
  cases.push_back({".flac", "", {96000, 2, 24, 96001}});
  cases.push_back({".flac", "", {22050, 1, 8, 22051}});
  cases.push_back({".flac", "", {44100, 2, 32, 44101}});  // stored as 24 bits
  cases.push_back({".mp3", "vbr", {44100, 2, 16, 5 * 44100 + 3}});
  cases.push_back({".mp3", "vbr", {8000, 1, 16, 8000}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Format + " " + c.Mode + " " + std::to_string(c.S.Rate) + " Hz " +
                 std::to_string(c.S.Channels) + " ch " + std::to_string(c.S.Bits) + " bits " +
                 std::to_string(c.S.Frames) + " frames");
    const std::string target = dir / ("out" + c.Format);
    const TDeliveredAudio delivered = Encode(dir, TonePcm(c.S), c.S, c.Format, target, c.Mode);
    ASSERT_EQ(delivered.Frames, c.S.Frames);
    EXPECT_EQ(Verify(target, c.Format, delivered), "");
  }
}

// The damage a full disk, a crash or a bad write leaves: each refused with the plain message,
// whatever the format.
TEST(OutputVerify, DamagedOutputsAreRefused) {
  TempDir dir;
  const Shape shape{44100, 2, 16, 3 * 44100};
  const std::vector<uint8_t> pcm = TonePcm(shape);
  for (const std::string& format : kFormats) {
    const std::string good = dir / ("good" + format);
    const TDeliveredAudio delivered = Encode(dir, pcm, shape, format, good);
    ASSERT_EQ(Verify(good, format, delivered), "") << format;
    const size_t size = ReadAll(good).size();
    const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> damages = {
        {"cut to 60 %", [&](const std::string& f) { fs::resize_file(f, size * 6 / 10); }},
        {"a burst in the middle",
         [&](const std::string& f) { Overwrite(f, size / 2, std::vector<uint8_t>(4096, 0)); }},
        {"its header overwritten",
         [&](const std::string& f) { Overwrite(f, 0, std::vector<uint8_t>(16, 0x55)); }},
        {"empty", [&](const std::string& f) { fs::resize_file(f, 0); }},
    };
    for (const auto& [what, damage] : damages) {
      SCOPED_TRACE(format + ", " + what);
      const std::string bad = dir / ("bad" + format);
      fs::copy_file(good, bad, fs::copy_options::overwrite_existing);
      damage(bad);
      const std::string message = Verify(bad, format, delivered);
      EXPECT_EQ(message.rfind(kPrefix, 0), 0u) << message;
    }
  }
}

// A file that decodes cleanly but not to what was delivered: one sample changed, a frame
// more or less, another format. The lossless formats are held to the very samples; the
// lossy ones to the length.
TEST(OutputVerify, OutputsThatDifferFromTheDeliveryAreRefused) {
  TempDir dir;
  const Shape shape{44100, 2, 16, 2 * 44100 + 1};
  const std::vector<uint8_t> pcm = TonePcm(shape);
  std::vector<uint8_t> changed = pcm;
  changed[pcm.size() / 2 & ~size_t{1}] ^= 0x40;  // one sample in the middle, in place
  for (const std::string& format : kFormats) {
    SCOPED_TRACE(format);
    const std::string file = dir / ("out" + format);
    const TDeliveredAudio delivered = Encode(dir, pcm, shape, format, file);
    ASSERT_EQ(Verify(file, format, delivered), "");
    const bool lossless = format == ".wav" || format == ".flac";
    if (lossless) {
      const std::string other = dir / ("changed" + format);
      Encode(dir, changed, shape, format, other);
      EXPECT_EQ(Verify(other, format, delivered),
                std::string(kPrefix) + "its audio differs from what was written");
      TDeliveredAudio faster = delivered;
      faster.SampleRate = 48000;
      EXPECT_EQ(Verify(file, format, faster),
                std::string(kPrefix) +
                    "it holds 44100 Hz, 2 channels, 16 bits where 48000 Hz, 2 channels, 16 "
                    "bits were written");
    }
    TDeliveredAudio longer = delivered;
    longer.Frames += lossless ? 1 : shape.Rate / 10;
    EXPECT_EQ(Verify(file, format, longer).rfind(std::string(kPrefix) + "it ends after ", 0), 0u)
        << Verify(file, format, longer);
    TDeliveredAudio shorter = delivered;
    shorter.Frames -= lossless ? 1 : shape.Rate / 10;
    EXPECT_EQ(Verify(file, format, shorter).rfind(std::string(kPrefix) + "it lasts ", 0), 0u)
        << Verify(file, format, shorter);
  }
}

// A stop during the read-back ends it at the next block with its own exception: the file is
// neither verified nor found bad.
TEST(OutputVerify, AStopEndsTheReadBackEarly) {
  TempDir dir;
  const Shape shape{44100, 2, 16, 10 * 44100};
  const std::string file = dir / "out.flac";
  const TDeliveredAudio delivered = Encode(dir, TonePcm(shape), shape, ".flac", file);
  int asked = 0;
  EXPECT_THROW(VerifyOutput(file, ".flac", delivered, [&asked] { return ++asked > 2; }),
               EVerifyStopped);
  EXPECT_EQ(asked, 3);
}
