// A WAV output holds what its source really delivered, whatever length the source announced:
// the writer's sizes against its own bytes and against independent decoders.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <optional>

#include "FileSizeLimit.h"
#include "WavTestUtil.h"
#include "flac/AuFLAC.h"
#include "wav/AuWave.h"
#include "winmedia/AuMpegIn.h"
#include "winmedia/wmfintf.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

std::string LengthData(const std::string& Name) {
  return std::string(TUNEVERT_TEST_DATA) + "/lengths/" + Name;
}

std::string Id(const std::vector<uint8_t>& F, size_t At) {
  return std::string(F.begin() + static_cast<std::ptrdiff_t>(At),
                     F.begin() + static_cast<std::ptrdiff_t>(At) + 4);
}

uint64_t Le64(const std::vector<uint8_t>& F, size_t At) {
  return uint64_t{Le32(F, At)} | (uint64_t{Le32(F, At + 4)} << 32);
}

void RunToDone(TAuOutput& Out) {
  bool done = false;
  Out.SetOnDone([&](TComponent*) { done = true; });
  Out.Run();
  ASSERT_TRUE(PumpUntil([&] { return done; }, 20000));
}

// ---------------------------------------------------------------- the writer's kinds

struct Kind {
  const char* name;
  TWavType type;
  uint32_t bits, chans;
  uint32_t header;  // the exact layout's length
};

void PrintTo(const Kind& K, std::ostream* Os) {
  *Os << K.name;
}

class WriterKinds : public ::testing::TestWithParam<Kind> {
 protected:
  TComponentPtr<TWaveOut> MakeOut(PatternInput& In) {
    In.Bits = GetParam().bits;
    In.Chans = GetParam().chans;
    auto out = MakeComponent<TWaveOut>(nullptr);
    out->SetWavType(GetParam().type);
    out->SetCreateNonMsHeaders(false);
    out->SetInput(&In);
    out->SetFileName(Dir / "o.wav");
    return out;
  }
  bool Adpcm() const { return GetParam().type == TWavType::wtDVIADPCM; }
  uint32_t FrameBytes() const { return GetParam().bits / 8 * GetParam().chans; }
  // Data bytes that Frames frames become in this kind's file.
  uint64_t DataBytes(uint64_t Frames) const {
    if (!Adpcm()) return Frames * FrameBytes();
    const uint64_t spb = GetParam().chans == 1 ? 1017 : 505;  // 512-byte blocks
    return (Frames + spb - 1) / spb * 512;
  }
  // The file's sizes describe exactly the Frames frames delivered.
  void ExpectSizes(const std::vector<uint8_t>& F, uint32_t Header, uint64_t Frames) {
    const uint64_t data = DataBytes(Frames);
    ASSERT_EQ(F.size(), Header + data);
    EXPECT_EQ(Id(F, 0), "RIFF");
    EXPECT_EQ(Le32(F, 4), F.size() - 8);
    EXPECT_EQ(Id(F, Header - 8), "data");
    EXPECT_EQ(Le32(F, Header - 4), data);
    if (Adpcm()) {
      EXPECT_EQ(Le32(F, Header - 12), Frames);  // "fact"
    }
  }
  // ffmpeg reads the file and finds the frames written (ADPCM: whole blocks).
  void ExpectFfmpegReads(const std::string& File, uint64_t Frames) {
    const auto pcm = FfmpegDecode(File, GetParam().bits == 24 ? "s24le" : "s16le");
    if (Adpcm()) {
      EXPECT_EQ(pcm.size(), DataBytes(Frames) / 512 * (GetParam().chans == 1 ? 1017 : 505) *
                                GetParam().chans * 2);
      return;
    }
    ASSERT_EQ(pcm.size(), Frames * FrameBytes());
    for (size_t i = 0; i < pcm.size(); ++i)
      if (pcm[i] != PatternByte(static_cast<int64_t>(i))) {
        ADD_FAILURE() << "audio differs at byte " << i;
        return;
      }
  }
  TempDir Dir;
};

TEST_P(WriterKinds, SizesFollowTheDataWhateverTheSourceAnnounced) {
  const int64_t frames = 44101;  // a second and a frame; ends inside an ADPCM block
  const int64_t bytes = frames * FrameBytes();
  struct {
    std::optional<int64_t> announced;
    bool reserved;
  } cases[] = {
      {std::nullopt, false}, {bytes * 3, false}, {-1, true}, {0, true}, {int64_t{4} << 30, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.announced ? std::to_string(*c.announced) : "exact");
    PatternInput in;
    in.TotalFrames = frames;
    in.AnnouncedSize = c.announced;
    auto out = MakeOut(in);
    {
      FileSizeLimit guard(16 << 20);  // a writer padding to a huge size fails, not the disk
      out->BlockingRun();
    }
    const auto f = ReadAll(Dir / "o.wav");
    const uint32_t header = GetParam().header + (c.reserved ? 36 : 0);
    ExpectSizes(f, header, frames);
    if (c.reserved) {
      EXPECT_EQ(Id(f, 12), "JUNK");
      EXPECT_EQ(Le32(f, 16), 28u);
    }
    ExpectFfmpegReads(Dir / "o.wav", frames);
  }
}

TEST_P(WriterKinds, StoppedRunLeavesSizesThatMatchItsBytes) {
  PatternInput in;
  in.TotalFrames = 20000000;
  auto out = MakeOut(in);
  std::atomic<int> blocks{0};
  out->SetOnProgress([&](TComponent*) { ++blocks; });
  out->Run();
  ASSERT_TRUE(PumpUntil([&] { return blocks > 2; }, 20000));
  out->Stop(false);
  const auto f = ReadAll(Dir / "o.wav");
  const uint32_t header = GetParam().header;
  ASSERT_GT(f.size(), header);
  ASSERT_LT(f.size(), header + DataBytes(20000000) / 2);
  EXPECT_EQ(Le32(f, 4), f.size() - 8);
  EXPECT_EQ(Le32(f, header - 4), f.size() - header);
  if (Adpcm()) {
    EXPECT_LE(Le32(f, header - 12), (f.size() - header) / 512 * 1017);
    EXPECT_GT(Le32(f, header - 12), (f.size() - header - 512) / 512 * 505);
  } else {
    EXPECT_EQ(FfmpegDecode(Dir / "o.wav", GetParam().bits == 24 ? "s24le" : "s16le").size(),
              f.size() - header);
  }
}

TEST_P(WriterKinds, SizesPastTheLimitBecomeA64BitRecord) {
  const uint64_t limit = 60000;
  struct {
    std::optional<int64_t> announced;
    int64_t frames;
    bool rf64;
    uint32_t reserve;
  } cases[] = {
      {-1, 40000, true, 36},                // unknown size, passes the limit
      {int64_t{1} << 20, 40000, true, 36},  // announced past the limit
      {-1, 2000, false, 36},                // reserved, but stays small: plain sizes
      {std::nullopt, 2000, false, 0},       // known to fit: the exact layout
  };
  for (auto c : cases) {
    if (Adpcm()) c.frames *= 4;  // as many bytes as 16-bit stereo PCM
    SCOPED_TRACE(std::to_string(c.frames) + " frames");
    PatternInput in;
    in.TotalFrames = c.frames;
    in.AnnouncedSize = c.announced;
    auto out = MakeOut(in);
    out->SetRiffSizeLimit(limit);
    {
      FileSizeLimit guard(16 << 20);  // a writer padding to a huge size fails, not the disk
      out->BlockingRun();
    }
    const auto f = ReadAll(Dir / "o.wav");
    const uint32_t header = GetParam().header + c.reserve;
    const uint64_t data = DataBytes(static_cast<uint64_t>(c.frames));
    ASSERT_EQ(f.size(), header + data);
    ASSERT_EQ(f.size() - 8 > limit, c.rf64);
    if (c.rf64) {
      EXPECT_EQ(Id(f, 0), "RF64");
      EXPECT_EQ(Le32(f, 4), 0xFFFFFFFFu);
      EXPECT_EQ(Id(f, 12), "ds64");
      EXPECT_EQ(Le32(f, 16), 28u);
      EXPECT_EQ(Le64(f, 20), f.size() - 8);
      EXPECT_EQ(Le64(f, 28), data);
      EXPECT_EQ(Le64(f, 36), static_cast<uint64_t>(c.frames));
      EXPECT_EQ(Le32(f, header - 4), 0xFFFFFFFFu);
      if (Adpcm()) {
        EXPECT_EQ(Le32(f, header - 12), 0xFFFFFFFFu);
      }
      EXPECT_EQ(FfprobeField(Dir / "o.wav", "duration_ts"), std::to_string(c.frames));
    } else {
      ExpectSizes(f, header, static_cast<uint64_t>(c.frames));
    }
    ExpectFfmpegReads(Dir / "o.wav", static_cast<uint64_t>(c.frames));
  }
}

TEST(WaveOutPad, AnOddDataChunkGetsItsPadByte) {
  TempDir dir;
  PatternInput in;
  in.Bits = 8;
  in.Chans = 1;
  in.TotalFrames = 1001;
  auto out = MakeComponent<TWaveOut>(nullptr);
  out->SetInput(&in);
  out->SetFileName(dir / "o.wav");
  out->BlockingRun();
  const auto f = ReadAll(dir / "o.wav");
  ASSERT_EQ(f.size(), 44u + 1001 + 1);
  EXPECT_EQ(f.back(), 0);
  EXPECT_EQ(Le32(f, 4), f.size() - 8);
  EXPECT_EQ(Le32(f, 40), 1001u);
  EXPECT_EQ(FfmpegDecode(dir / "o.wav", "u8").size(), 1001u);
}

// A file of unknown size carries the reserved chunk; appending walks past it, and turns it
// into the 64-bit record once the sizes pass the limit.
TEST(WaveOutAppend, ToAFileWithTheReservedChunk) {
  for (const TWavType type : {TWavType::wtPCM, TWavType::wtDVIADPCM}) {
    for (const bool pass : {false, true}) {
      const bool pcm = type == TWavType::wtPCM;
      SCOPED_TRACE(std::string(pcm ? "PCM" : "IMA") + (pass ? " past the limit" : ""));
      TempDir dir;
      PatternInput in;
      in.TotalFrames = 3001;
      in.AnnouncedSize = -1;
      auto out = MakeComponent<TWaveOut>(nullptr);
      out->SetWavType(type);
      out->SetInput(&in);
      out->SetFileName(dir / "o.wav");
      out->BlockingRun();
      out->SetFileMode(TFileOutputMode::foAppend);
      in.TotalFrames = pass ? 3000 : 1000;
      if (pass) out->SetRiffSizeLimit(pcm ? 20000 : 5000);
      out->BlockingRun();

      const auto f = ReadAll(dir / "o.wav");
      const uint32_t header = (pcm ? 44 : 60) + 36;
      // IMA: six 505-frame blocks hold the first 3001 frames; the appended ones follow.
      const uint64_t frames = pcm ? 3001 + in.TotalFrames : 6 * 505 + in.TotalFrames;
      const uint64_t data = pcm ? frames * 4 : (6 + (in.TotalFrames + 504) / 505) * 512;
      ASSERT_EQ(f.size(), header + data);
      EXPECT_EQ(Id(f, 12), pass ? "ds64" : "JUNK");
      if (pass) {
        EXPECT_EQ(Id(f, 0), "RF64");
        EXPECT_EQ(Le64(f, 20), f.size() - 8);
        EXPECT_EQ(Le64(f, 28), data);
        EXPECT_EQ(Le64(f, 36), frames);
        EXPECT_EQ(FfprobeField(dir / "o.wav", "duration_ts"), std::to_string(frames));
      } else {
        EXPECT_EQ(Le32(f, 4), f.size() - 8);
        EXPECT_EQ(Le32(f, header - 4), data);
        if (!pcm) {
          EXPECT_EQ(Le32(f, header - 12), frames);
        }
      }
      EXPECT_EQ(FfmpegDecode(dir / "o.wav", "s16le").size(), pcm ? data : data / 512 * 505 * 4);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, WriterKinds,
                         ::testing::Values(Kind{"Pcm", TWavType::wtPCM, 16, 2, 44},
                                           Kind{"Extensible", TWavType::wtPCM, 24, 2, 68},
                                           Kind{"ImaMono", TWavType::wtDVIADPCM, 16, 1, 60},
                                           Kind{"ImaStereo", TWavType::wtDVIADPCM, 16, 2, 60}),
                         [](const auto& Info) { return std::string(Info.param.name); });

// ---------------------------------------------------------------- real short sources

struct Source {
  const char* file;
  const char* decoder;      // the independent decode to s16le on stdout: before the file name
  const char* decoderTail;  // and after it
  int64_t slackFrames;      // frames the output may exceed the reference by
};

void PrintTo(const Source& S, std::ostream* Os) {
  *Os << S.file;
}

constexpr const char* kFfmpeg = "ffmpeg -nostdin -v quiet -i";

class ShortSources : public ::testing::TestWithParam<Source> {
 protected:
  static void SetUpTestSuite() { LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false); }
  static void TearDownTestSuite() { UnloadWMRuntime(); }
};

TComponentPtr<TAuFileIn> InputFor(const std::string& File) {
  const std::string ext = File.substr(File.rfind('.'));
  if (ext == ".flac") return MakeComponent<TFLACIn>(nullptr);
  if (ext == ".mp3") return MakeComponent<TMP3In>(nullptr);
  return MakeComponent<TWaveIn>(nullptr);
}

TEST_P(ShortSources, OutputIsNoLongerThanAnIndependentDecode) {
  TempDir dir;
  const std::string src = LengthData(GetParam().file);
  auto in = InputFor(src);
  in->SetFileName(src);
  auto out = MakeComponent<TWaveOut>(nullptr);
  out->SetInput(in.get());
  out->SetFileName(dir / "o.wav");
  std::vector<int32_t> progress;
  out->SetOnProgress([&](TComponent*) { progress.push_back(out->Progress()); });
  {
    FileSizeLimit guard(16 << 20);  // a writer padding to a huge size fails, not the disk
    RunToDone(*out);
  }
  EXPECT_EQ(out->ExceptionMessage(), "");
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 100);

  const auto f = ReadAll(dir / "o.wav");
  ASSERT_GE(f.size(), 80u);
  // A source announcing a placeholder size gets the reserved chunk.
  const uint32_t reserve = Id(f, 12) == "JUNK" ? 36 : 0;
  EXPECT_EQ(Le32(f, 4), f.size() - 8);
  EXPECT_EQ(Le32(f, 40 + reserve), f.size() - 44 - reserve);
  const auto reference =
      RunTool(std::string(GetParam().decoder) + " '" + src + "' " + GetParam().decoderTail);
  const auto ours = FfmpegDecode(dir / "o.wav", "s16le");
  ASSERT_FALSE(reference.empty());
  const int64_t frameBytes = Le16(f, 32 + reserve);
  EXPECT_EQ(ours.size(), f.size() - 44 - reserve);
  EXPECT_LE(static_cast<int64_t>(ours.size()),
            static_cast<int64_t>(reference.size()) + GetParam().slackFrames * frameBytes);
  if (GetParam().slackFrames == 0) {
    // Lossless: what there is matches sample for sample.
    ASSERT_EQ(ours.size(), reference.size());
    EXPECT_TRUE(ours == reference);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, ShortSources,
    ::testing::Values(
        Source{"truncated.flac",
               "flac -d -F -c -s --force-raw-format --endian=little --sign=signed", "2>/dev/null",
               0},
        Source{"truncated-data.wav", kFfmpeg, "-f s16le -", 0},
        Source{"placeholder-size.wav", kFfmpeg, "-f s16le -", 0},
        // The MP3 input's own length is another matter; no tail allowance may reach the file.
        Source{"tone.mp3", kFfmpeg, "-f s16le -", 1152}),
    [](const auto& Info) {
      std::string name = Info.param.file;
      for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

}  // namespace
