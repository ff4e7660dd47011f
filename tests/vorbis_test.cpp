#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "VorbisFlacTestUtil.h"
#include "vorbis/AuVorbis.h"
#include "vorbis/VorbisLibs.h"

using namespace tunevert;
using namespace tunevert::testing;

class VorbisDecode : public ::testing::TestWithParam<const char*> {};

TEST_P(VorbisDecode, MatchesReferenceDecoderBitForBit) {
  const std::string path = FixturePath(std::string("vorbis/") + GetParam());
  const std::vector<uint8_t> ref = OggReference(path);
  ASSERT_FALSE(ref.empty());
  auto in = MakeComponent<TVorbisIn>(nullptr);
  in->SetFileName(path);
  ASSERT_TRUE(in->Valid());
  EXPECT_EQ(in->BitsPerSample(), 16u);
  EXPECT_EQ(in->Size(), static_cast<int64_t>(ref.size()));
  const std::vector<uint8_t> got = ReadPass(*in, 4096);
  EXPECT_EQ(got.size(), ref.size());
  EXPECT_TRUE(got == ref);
}

INSTANTIATE_TEST_SUITE_P(Files, VorbisDecode, ::testing::Values("stereo.ogg", "mono.ogg"),
                         [](const auto& p) {
                           std::string n = p.param;
                           for (char& ch : n)
                             if (ch == '-' || ch == '.') ch = '_';
                           return n;
                         });

// The reference decoder shares the library's habit of starting a chain at its last link, so
// chains are checked link by link against the files they were made of.
TEST(VorbisIn, ChainIsDecodedFromItsFirstLink) {
  const std::vector<uint8_t> link = OggReference(FixturePath("vorbis/stereo.ogg"));
  ASSERT_FALSE(link.empty());
  auto in = MakeComponent<TVorbisIn>(nullptr);
  in->SetFileName(FixturePath("vorbis/chained-stereo.ogg"));
  ASSERT_EQ(in->Channels(), 2u);
  EXPECT_EQ(in->Size(), static_cast<int64_t>(link.size() * 2));
  const std::vector<uint8_t> got = ReadPass(*in);
  EXPECT_EQ(got.size(), link.size() * 2);
  EXPECT_TRUE(Slice(got, 0, link.size()) == link);
  // Both links were encoded from the same audio with the same settings.
  EXPECT_TRUE(Slice(got, link.size(), link.size()) == link);
}

// The data of a chain that changes format is checked in vorbis_layout_test.cpp.
TEST(VorbisIn, ChainReportsItsLinksDuringAPass) {
  auto in = MakeComponent<TVorbisIn>(nullptr);
  in->SetFileName(FixturePath("vorbis/chained-stereo-mono.ogg"));
  EXPECT_EQ(in->Channels(), 2u);
  EXPECT_EQ(in->SampleRate(), 44100u);
  EXPECT_EQ(in->BitStreams(), 0);
  in->Init();
  EXPECT_EQ(in->BitStreams(), 2);
  EXPECT_EQ(in->CurrentBitStream(), 0);
  for (;;) {
    void* block = nullptr;
    uint32_t bytes = 8192;
    in->GetData(block, bytes);
    if (bytes == 0) break;
  }
  EXPECT_EQ(in->CurrentBitStream(), 1);
  in->Flush();
  EXPECT_EQ(in->BitStreams(), 0);
  EXPECT_EQ(in->CurrentBitStream(), -1);
}

TEST(VorbisIn, SwitchingBitStreamContinuesAtItsStart) {
  const std::vector<uint8_t> first = OggReference(FixturePath("vorbis/stereo.ogg"));
  std::vector<uint8_t> ref = first;
  ref.insert(ref.end(), first.begin(), first.end());
  auto in = MakeComponent<TVorbisIn>(nullptr);
  in->SetFileName(FixturePath("vorbis/chained-stereo.ogg"));
  in->Init();
  void* block = nullptr;
  uint32_t bytes = 1000;
  in->GetData(block, bytes);
  in->SetCurrentBitStream(1);
  EXPECT_EQ(in->Position(), static_cast<int64_t>(first.size()));
  bytes = 4000;
  in->GetData(block, bytes);
  ASSERT_EQ(bytes, 4000u);
  EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t*>(block), static_cast<uint8_t*>(block) + 4000),
            Slice(ref, first.size(), 4000));
  in->Flush();
}

TEST(VorbisIn, LaterKeyWinsAndCommonTagsFollow) {
  auto in = MakeComponent<TVorbisIn>(nullptr);
  in->SetFileName(FixturePath("vorbis/stereo.ogg"));
  TVorbisTags* c = in->Comments();
  EXPECT_EQ(c->Artist(), u"Y");
  EXPECT_EQ(c->Title(), u"\u00dcn\u00efcode \u266a");
  EXPECT_EQ(c->Track(), u"7");
  EXPECT_TRUE(c->Values("discnumber").IsNull());  // not one of the keys this input reads
  TCommonTags* common = in->CommonTags();
  EXPECT_EQ(common->Artist(), u"Y");
  EXPECT_EQ(common->Title(), u"\u00dcn\u00efcode \u266a");
  EXPECT_EQ(common->Year(), "2010-05-01");
  EXPECT_EQ(common->Track(), "7");
  EXPECT_EQ(common->Album(), u"Fixtures");
  EXPECT_EQ(common->Genre(), u"Tone");
  EXPECT_GT(in->NominalBitrate(), 0);

  in->SetFileName(FixturePath("vorbis/mono.ogg"));
  EXPECT_TRUE(in->Comments()->Values("title").IsText());
  EXPECT_EQ(in->Comments()->Title(), u"");
  EXPECT_TRUE(common->Values("Artist").IsText());
  EXPECT_EQ(common->Artist(), u"");
  EXPECT_EQ(common->Year(), "");
}

TEST(VorbisIn, SingleByteRequestsAreServedUnrounded) {
  const std::vector<uint8_t> ref = OggReference(FixturePath("vorbis/mono.ogg"));
  auto in = MakeComponent<TVorbisIn>(nullptr);
  in->SetFileName(FixturePath("vorbis/mono.ogg"));
  in->Init();
  std::vector<uint8_t> got;
  for (int i = 0; i < 3; ++i) {
    void* block = nullptr;
    uint32_t bytes = 1;
    in->GetData(block, bytes);
    ASSERT_EQ(bytes, 1u);
    got.push_back(*static_cast<uint8_t*>(block));
  }
  EXPECT_GT(in->InstantBitRate(), 0);
  in->Flush();
  EXPECT_EQ(got, Slice(ref, 0, 3));
  EXPECT_EQ(in->InstantBitRate(), 0);
}

TEST(VorbisIn, OpeningFailuresRaiseTheirMessages) {
  TempDir dir;
  auto in = MakeComponent<TVorbisIn>(nullptr);
  try {
    in->MaxBitrate();
    ADD_FAILURE();
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "Failed to open stream");
  }
  WriteAll(dir / "text.ogg", std::vector<uint8_t>(5000, 'x'));
  in->SetFileName(dir / "text.ogg");
  try {
    in->Comments();
    ADD_FAILURE();
  } catch (const EAuException& e) {
    const std::string m = e.what();
    EXPECT_EQ(m.rfind("Failed to open an ogg file: -", 0), 0u) << m;
  }
  EXPECT_FALSE(in->Valid());
  void* block = nullptr;
  uint32_t bytes = 4;
  EXPECT_THROW(in->GetData(block, bytes), EAuException);
}

TEST(VorbisIn, TruncatedAndDamagedFilesEndQuietly) {
  TempDir dir;
  const std::vector<uint8_t> whole = ReadAll(FixturePath("vorbis/stereo.ogg"));
  const std::vector<uint8_t> ref = OggReference(FixturePath("vorbis/stereo.ogg"));
  ASSERT_FALSE(ref.empty());
  for (size_t cut : {size_t{10}, size_t{100}, whole.size() / 2, whole.size() - 5}) {
    SCOPED_TRACE(cut);
    WriteAll(dir / "cut.ogg", {whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)});
    auto in = MakeComponent<TVorbisIn>(nullptr);
    in->SetFileName(dir / "cut.ogg");
    // The library refuses a file whose last page is cut; the refusal names its code.
    try {
      in->Comments();
    } catch (const EAuException& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Failed to open an ogg file: -", 0), 0u) << e.what();
      EXPECT_FALSE(in->Valid());
      continue;
    }
    const std::vector<uint8_t> got = ReadPass(*in);
    EXPECT_LE(got.size(), ref.size());
    // Everything before the cut decodes as the reference does.
    const size_t safe = got.size() > 8192 ? got.size() - 8192 : 0;
    EXPECT_EQ(Slice(got, 0, safe), Slice(ref, 0, safe));
  }
  std::vector<uint8_t> damaged = whole;
  // Audio pages only: the headers fill the first half of this small file, and the library
  // needs the last page to open it.
  for (size_t i = whole.size() * 3 / 5; i < whole.size() * 4 / 5; i += 211) damaged[i] ^= 0x5A;
  WriteAll(dir / "damaged.ogg", damaged);
  auto in = MakeComponent<TVorbisIn>(nullptr);
  in->SetFileName(dir / "damaged.ogg");
  ASSERT_TRUE(in->Valid());
  EXPECT_LE(ReadPass(*in).size(), ref.size());
}

TEST(VorbisIn, FailedSeekIsReported) {
  auto in = MakeComponent<TVorbisIn>(nullptr);
  for (const char* f : {"vorbis/stereo.ogg", "vorbis/last-granule-unknown.ogg"}) {
    in->SetFileName(FixturePath(f));
    in->Init();
    // No known length lets any frame through to the decoder, which refuses it.
    EXPECT_EQ(in->Seek(1000), f == std::string("vorbis/stereo.ogg")) << f;
    in->Flush();
  }
}

// Whoever maps libvorbisfile first, every input, on any thread, finds its entry points.
TEST(VorbisIn, OpensWhenTheLibraryWasLoadedElsewhereFirst) {
  if (VorbisFileLibrary().Loaded()) GTEST_SKIP() << "libvorbisfile already loaded in this process";
  ASSERT_TRUE(VorbisFileLibrary().Load());
  std::atomic<int> opened{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] {
      auto in = MakeComponent<TVorbisIn>(nullptr);
      in->SetFileName(FixturePath("vorbis/stereo.ogg"));
      opened += in->Valid() && in->Channels() == 2;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(opened, 4);
}
