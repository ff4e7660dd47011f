#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "VorbisFlacTestUtil.h"
#include "flac/AuFLAC.h"
#include "platform/AuFileStream.h"
#include "platform/Text.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

struct FlacCase {
  const char* File;
  uint32_t Bits;  // delivered width
  uint32_t Channels;
  uint32_t Rate;
};

class FlacDecode : public ::testing::TestWithParam<FlacCase> {};

}  // namespace

TEST_P(FlacDecode, MatchesReferenceDecoderBitForBit) {
  const FlacCase& c = GetParam();
  const std::string path = FixturePath(std::string("flac/") + c.File);
  const std::vector<uint8_t> ref = FlacReference(path);
  ASSERT_FALSE(ref.empty());
  auto in = MakeComponent<TFLACIn>(nullptr);
  in->SetFileName(path);
  ASSERT_TRUE(in->Valid());
  EXPECT_EQ(in->BitsPerSample(), c.Bits);
  EXPECT_EQ(in->Channels(), c.Channels);
  EXPECT_EQ(in->SampleRate(), c.Rate);
  EXPECT_EQ(in->Size(), static_cast<int64_t>(ref.size()));
  EXPECT_EQ(in->TotalSamples(), static_cast<int64_t>(ref.size() / (c.Bits / 8 * c.Channels)));
  // An odd request size: the input cuts it to whole frames.
  const std::vector<uint8_t> got = ReadPass(*in, 4999);
  EXPECT_EQ(got.size(), ref.size());
  EXPECT_TRUE(got == ref);
  EXPECT_FALSE(in->IsBusy());
}

INSTANTIATE_TEST_SUITE_P(Widths, FlacDecode,
                         ::testing::Values(FlacCase{"s8-mono.flac", 8, 1, 8000},
                                           FlacCase{"s16-stereo.flac", 16, 2, 44100},
                                           FlacCase{"s24-stereo.flac", 24, 2, 48000},
                                           FlacCase{"s16-6ch.flac", 16, 6, 16000},
                                           FlacCase{"s12-mono.flac", 16, 1, 22050},
                                           FlacCase{"s12-stereo.flac", 16, 2, 22050},
                                           FlacCase{"s20-stereo.flac", 24, 2, 32000}),
                         [](const auto& p) {
                           std::string n = p.param.File;
                           n = n.substr(0, n.find('.'));
                           for (char& ch : n)
                             if (ch == '-') ch = '_';
                           return n;
                         });

TEST(FlacIn, EachRefillHoldsOneFrameAndSubFrameRequestsGetNothing) {
  auto in = MakeComponent<TFLACIn>(nullptr);
  in->SetFileName(FixturePath("flac/s16-stereo.flac"));  // encoded with 4096-sample blocks
  in->Init();
  void* block = nullptr;
  uint32_t bytes = 1 << 20;
  in->GetData(block, bytes);
  EXPECT_EQ(bytes, 4096u * 4);
  bytes = 3;
  in->GetData(block, bytes);
  EXPECT_EQ(bytes, 0u);
  in->Flush();
}

TEST(FlacIn, CommentsFirstKeyWinsAndFillCommonTags) {
  auto in = MakeComponent<TFLACIn>(nullptr);
  in->SetFileName(FixturePath("flac/s16-stereo.flac"));
  TVorbisTags* vc = in->VorbisComments();
  EXPECT_EQ(vc->Title(), u"A");
  EXPECT_EQ(vc->Artist(), u"Zo\u00eb \u00c5ngstr\u00f6m");
  EXPECT_EQ(vc->Album(), u"Fixtures");
  EXPECT_EQ(vc->Date(), u"2010-05-01");
  EXPECT_EQ(vc->Track(), u"7");
  EXPECT_EQ(vc->TrackGain(), u"-3.2 dB");
  // Present block, absent key: empty text rather than null.
  EXPECT_TRUE(vc->Values("discnumber").IsText());
  EXPECT_EQ(vc->Disc(), u"");
  TCommonTags* common = in->CommonTags();
  EXPECT_EQ(common->Title(), u"A");
  EXPECT_EQ(common->Artist(), u"Zo\u00eb \u00c5ngstr\u00f6m");
  EXPECT_EQ(common->Year(), "2010-05-01");
  EXPECT_EQ(common->Track(), "7");
  EXPECT_EQ(common->Genre(), u"Noise");
  // Every read of the comments refreshes the common tags.
  common->SetTitle(u"changed");
  in->VorbisComments();
  EXPECT_EQ(common->Title(), u"A");
}

TEST(FlacIn, WithoutCommentBlockTheValuesStayNull) {
  auto in = MakeComponent<TFLACIn>(nullptr);
  in->SetFileName(FixturePath("flac/no-comments.flac"));
  ASSERT_TRUE(in->Valid());
  EXPECT_TRUE(in->VorbisComments()->Values("title").IsNull());
  EXPECT_TRUE(in->VorbisComments()->Values("replaygain_album_peak").IsNull());
}

TEST(FlacIn, Md5VerifiedOnlyForAWholeUnseekedPass) {
  const std::string path = FixturePath("flac/s16-stereo.flac");
  auto in = MakeComponent<TFLACIn>(nullptr);
  in->SetFileName(path);
  EXPECT_FALSE(in->IsMD5SignatureValid());
  in->SetCheckMD5Signature(true);
  ReadPass(*in);
  EXPECT_TRUE(in->IsMD5SignatureValid());
  // Without checking nothing was verified, so nothing is reported valid.
  in->SetCheckMD5Signature(false);
  ReadPass(*in);
  EXPECT_FALSE(in->IsMD5SignatureValid());
  // A pass that seeks cannot be verified; the setting still holds for the passes after it,
  // as when the batch reuses one input for the next file.
  in->SetCheckMD5Signature(true);
  in->SetStartSample(1000);
  ReadPass(*in);
  EXPECT_FALSE(in->IsMD5SignatureValid());
  EXPECT_TRUE(in->CheckMD5Signature());
  in->SetFileName(FixturePath("flac/s24-stereo.flac"));
  ReadPass(*in);
  EXPECT_TRUE(in->IsMD5SignatureValid());
}

TEST(FlacIn, FlippedAudioByteIsReportedOrEndsQuietly) {
  TempDir dir;
  std::vector<uint8_t> bytes = ReadAll(FixturePath("flac/s16-stereo.flac"));
  bytes[bytes.size() / 2] ^= 0x20;
  WriteAll(dir / "flipped.flac", bytes);
  auto in = MakeComponent<TFLACIn>(nullptr);
  in->SetFileName(dir / "flipped.flac");
  in->SetCheckMD5Signature(true);
  ASSERT_TRUE(in->Valid());
  const std::vector<uint8_t> ref = FlacReference(FixturePath("flac/s16-stereo.flac"));
  const std::vector<uint8_t> got = ReadPass(*in);
  EXPECT_LE(got.size(), ref.size());
  EXPECT_NE(got, ref);
  EXPECT_FALSE(in->IsMD5SignatureValid());
}

TEST(FlacIn, TruncatedAndDamagedFilesEndQuietlyOrAreInvalid) {
  TempDir dir;
  const std::vector<uint8_t> whole = ReadAll(FixturePath("flac/s16-stereo.flac"));
  const std::vector<uint8_t> ref = FlacReference(FixturePath("flac/s16-stereo.flac"));
  for (size_t cut : {size_t{3}, size_t{30}, size_t{200}, whole.size() / 3, whole.size() - 7}) {
    SCOPED_TRACE(cut);
    WriteAll(dir / "cut.flac", {whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)});
    auto in = MakeComponent<TFLACIn>(nullptr);
    in->SetFileName(dir / "cut.flac");
    if (!in->Valid()) {
      EXPECT_LT(cut, size_t{300});  // only a cut inside the metadata makes it unreadable
      continue;
    }
    const std::vector<uint8_t> got = ReadPass(*in);
    EXPECT_LT(got.size(), ref.size());
    EXPECT_EQ(got, Slice(ref, 0, got.size()));
  }
  std::vector<uint8_t> garbage(20000);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 131 + 7);
  WriteAll(dir / "garbage.flac", garbage);
  std::vector<uint8_t> noisyTail = whole;
  for (size_t i = noisyTail.size() / 2; i < noisyTail.size(); i += 97) noisyTail[i] ^= 0xFF;
  WriteAll(dir / "noisy.flac", noisyTail);
  auto in = MakeComponent<TFLACIn>(nullptr);
  in->SetFileName(dir / "garbage.flac");
  EXPECT_FALSE(in->Valid());
  // A pass over an invalid source ends at once.
  EXPECT_TRUE(ReadPass(*in).empty());
  in->SetFileName(dir / "noisy.flac");
  ASSERT_TRUE(in->Valid());
  try {
    const std::vector<uint8_t> got = ReadPass(*in);
    EXPECT_LE(got.size(), ref.size());
  } catch (const EAuException& e) {
    const std::string m = e.what();
    EXPECT_TRUE(m == "Error reading FLAC file" || m == "Sinc lost or corrupt data") << m;
  }
}

TEST(FlacIn, OpeningFailuresNameTheCause) {
  auto in = MakeComponent<TFLACIn>(nullptr);
  EXPECT_THROW(
      {
        try {
          in->VorbisComments();
        } catch (const EAuException& e) {
          EXPECT_STREQ(e.what(), "File name is not assigned");
          throw;
        }
      },
      EAuException);
  void* block = nullptr;
  uint32_t bytes = 10;
  EXPECT_THROW(in->GetData(block, bytes), EAuException);
}

TEST(FlacIn, ReadsFromAStreamHandedInAndRewindsIt) {
  TAuFileStream file(Utf8ToUtf16(FixturePath("flac/s8-mono.flac")), 0x20);
  auto in = MakeComponent<TFLACIn>(nullptr);
  in->SetStream(&file);
  const std::vector<uint8_t> got = ReadPass(*in);
  EXPECT_EQ(got, FlacReference(FixturePath("flac/s8-mono.flac")));
  EXPECT_EQ(file.Position(), 0);
}

namespace {

// A file stream that remembers the farthest offset it was sent to.
class TRecordingStream final : public TStream {
 public:
  explicit TRecordingStream(const std::string& Path) : File(Utf8ToUtf16(Path), 0x20) {}
  int64_t Read(void* Buffer, int64_t Count) override { return File.Read(Buffer, Count); }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override {
    const int64_t to = File.Seek(Offset, Origin);
    Farthest = std::max(Farthest, to);
    return to;
  }
  int64_t Size() override { return File.Size(); }
  void SetSize(int64_t) override {}
  TAuFileStream File;
  int64_t Farthest = 0;
};

}  // namespace

TEST(FlacIn, SeeksReachPastTwoGigabytes) {
  // A sparse 3 GiB file: the stream's audio, then zeros. The decoder's seek estimates a
  // byte offset from the length, so a late sample sends it far beyond 2^31.
  TempDir dir;
  const std::string path = dir / "big.flac";
  WriteAll(path, ReadAll(FixturePath("flac/s16-stereo.flac")));
  ASSERT_EQ(truncate(path.c_str(), int64_t{3} << 30), 0);
  TRecordingStream stream(path);
  auto in = MakeComponent<TFLACIn>(nullptr);
  in->SetStream(&stream);
  ASSERT_TRUE(in->Valid());
  in->Init();
  in->Seek(in->TotalSamples() - 10);
  in->Flush();
  EXPECT_GT(stream.Farthest, int64_t{1} << 31);
}
