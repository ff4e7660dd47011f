// Ranges and seeks behave alike for both inputs: checked sample-exact against the
// reference decoders.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "VorbisFlacTestUtil.h"
#include "flac/AuFLAC.h"
#include "vorbis/AuVorbis.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

struct RangeCase {
  const char* Name;
  const char* File;
  bool Flac;
};

class RangeAndSeek : public ::testing::TestWithParam<RangeCase> {
 protected:
  void SetUp() override {
    const std::string path = FixturePath(GetParam().File);
    Ref = GetParam().Flac ? FlacReference(path) : OggReference(path);
    ASSERT_FALSE(Ref.empty());
    if (GetParam().Flac)
      In = MakeComponent<TFLACIn>(nullptr);
    else
      In = MakeComponent<TVorbisIn>(nullptr);
    In->SetFileName(path);
    Frame = In->Channels() * In->BitsPerSample() / 8;
  }
  TComponentPtr<TAuFileIn> In;
  std::vector<uint8_t> Ref;
  size_t Frame = 0;
};

}  // namespace

TEST_P(RangeAndSeek, RangePassDeliversExactlyTheRange) {
  const int64_t frames = static_cast<int64_t>(Ref.size() / Frame);
  for (auto [start, end] : {std::pair<int64_t, int64_t>{0, 99},
                            {1, 4096},
                            {4095, 4097},
                            {12345, -1},
                            {frames / 2, frames - 1},
                            {frames - 3, -1}}) {
    SCOPED_TRACE(std::to_string(start) + ".." + std::to_string(end));
    In->SetStartSample(start);
    In->SetEndSample(end);
    const std::vector<uint8_t> got = ReadPass(*In, 3001);
    const int64_t last = end == -1 ? frames - 1 : end;
    EXPECT_TRUE(got == Slice(Ref, static_cast<size_t>(start) * Frame,
                             static_cast<size_t>(last - start + 1) * Frame))
        << got.size();
  }
}

TEST_P(RangeAndSeek, SeekDuringAPassContinuesAtTheSample) {
  const int64_t frames = static_cast<int64_t>(Ref.size() / Frame);
  In->SetStartSample(100);
  In->Init();
  void* block = nullptr;
  uint32_t bytes = 2000;
  In->GetData(block, bytes);
  for (int64_t target : {int64_t{0}, int64_t{7}, frames / 3, int64_t{4096 - 100}, frames / 2 + 1}) {
    target = std::min(target, frames - 100 - 1001);  // stop short of the end
    SCOPED_TRACE(target);
    ASSERT_TRUE(In->Seek(target));
    EXPECT_EQ(In->Position(), target * static_cast<int64_t>(Frame));
    std::vector<uint8_t> got(1000 * Frame);
    bool eof = false;
    const uint32_t n = In->FillBuffer(got.data(), static_cast<uint32_t>(got.size()), eof);
    ASSERT_EQ(n, got.size());
    EXPECT_TRUE(got == Slice(Ref, static_cast<size_t>(target + 100) * Frame, got.size()));
  }
  // A seek to the very end leaves nothing more to read.
  ASSERT_TRUE(In->Seek(frames - 100));
  bytes = 4000;
  In->GetData(block, bytes);
  EXPECT_EQ(bytes, 0u);
  In->Flush();
}

INSTANTIATE_TEST_SUITE_P(Inputs, RangeAndSeek,
                         ::testing::Values(RangeCase{"Flac16", "flac/s16-stereo.flac", true},
                                           RangeCase{"Flac24", "flac/s24-stereo.flac", true},
                                           RangeCase{"Flac6ch", "flac/s16-6ch.flac", true},
                                           RangeCase{"Vorbis", "vorbis/stereo.ogg", false}),
                         [](const auto& p) { return std::string(p.param.Name); });
