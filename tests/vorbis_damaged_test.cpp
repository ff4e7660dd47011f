// Truncated and damaged Ogg Vorbis files, checked against what oggdec and ffmpeg decode from
// the same bytes. A separate executable: the library's own leaks on such files are
// suppressed here only.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "VorbisLayoutUtil.h"
#include "fuzz/OggPages.h"
#include "platform/Interrupt.h"
#include "wav/AuWave.h"

using namespace tunevert;
using namespace tunevert::testing;

// libvorbisfile 1.3.7 loses link headers (and the libvorbis memory they hold) when a damaged
// chain fails to open, also in a plain open without this input around it.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libvorbisfile.so.3\nleak:libvorbis.so.0\n";
}

namespace {

// What oggdec decodes from each link of Bytes alone, in frames of the first link's rate;
// Formats are the links of the intact file.
int64_t LinkwiseReference(const std::vector<uint8_t>& Bytes, const std::vector<TLinkRef>& Formats) {
  TempDir dir;
  int64_t frames = 0;
  const auto links = SplitChain(Bytes);
  for (size_t k = 0; k < links.size() && k < Formats.size(); ++k) {
    WriteAll(dir / "link.ogg", links[k]);
    const size_t decoded = OggReference(dir / "link.ogg").size() / (2 * Formats[k].Channels);
    frames += Scaled(decoded, Formats[k].Rate, Formats[0].Rate);
  }
  return frames;
}

// A file in memory that counts the bytes read from it.
class TCountingStream final : public TStream {
 public:
  explicit TCountingStream(std::vector<uint8_t> Bytes) : FBytes(std::move(Bytes)) {}
  int64_t Read(void* Buffer, int64_t Count) override {
    const int64_t n = std::clamp<int64_t>(static_cast<int64_t>(FBytes.size()) - FAt, 0, Count);
    std::memcpy(Buffer, FBytes.data() + FAt, static_cast<size_t>(n));
    FAt += n;
    BytesRead += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override {
    if (Origin == TSeekOrigin::soCurrent) Offset += FAt;
    if (Origin == TSeekOrigin::soEnd) Offset += static_cast<int64_t>(FBytes.size());
    if (Offset < 0) return -1;
    return FAt = Offset;
  }
  void SetSize(int64_t) override {}
  int64_t BytesRead = 0;

 private:
  std::vector<uint8_t> FBytes;
  int64_t FAt = 0;
};

}  // namespace

// Page-start patterns after a short file, behind a later link that cannot open (which makes
// the input look for where the chain can be cut): the first link opens whole, and the bytes
// read grow with the file, not with the number of patterns times the file (the input once
// retried the open at every pattern, minutes for 100 KB). An interrupt ends the open at once.
TEST(VorbisDamaged, PageStartFloodsOpenInLinearWork) {
  const std::vector<uint8_t> intact = ReadAll(FixturePath("vorbis/stereo.ogg"));
  const int64_t frames =
      static_cast<int64_t>(OggReference(FixturePath("vorbis/stereo.ogg")).size() / 4);
  const std::vector<uint8_t> badLink = tunevert::fuzz::OggPage(777, 0x02, {'b', 'a', 'd'});
  for (const char* kind : {"bare", "bad-checksum", "cut-segments", "junk-links", "junk-chain"}) {
    for (const bool behindBadLink : {false, true}) {
      SCOPED_TRACE(std::string(kind) + (behindBadLink ? " behind a bad link" : ""));
      std::vector<int64_t> sizes, reads;
      for (const size_t flood : {8u << 10, 32u << 10}) {
        std::vector<uint8_t> bytes = intact;
        if (behindBadLink) bytes.insert(bytes.end(), badLink.begin(), badLink.end());
        const std::vector<uint8_t> patterns = tunevert::fuzz::PageStartFlood(kind, flood);
        bytes.insert(bytes.end(), patterns.begin(), patterns.end());
        sizes.push_back(static_cast<int64_t>(bytes.size()));
        TCountingStream stream(bytes);
        auto in = MakeComponent<TVorbisIn>(nullptr);
        in->SetStream(&stream);
        ASSERT_TRUE(in->Valid());
        EXPECT_EQ(in->TotalSamples(), frames);
        reads.push_back(stream.BytesRead);
        in->SetStream(nullptr);
      }
      EXPECT_LE(reads[1] - reads[0], 8 * (sizes[1] - sizes[0]))
          << reads[0] << " bytes read for " << sizes[0] << ", " << reads[1] << " for " << sizes[1];
    }
  }

  std::vector<uint8_t> bytes = intact;
  bytes.insert(bytes.end(), badLink.begin(), badLink.end());
  const std::vector<uint8_t> patterns = tunevert::fuzz::PageStartFlood("junk-chain", 8 << 10);
  bytes.insert(bytes.end(), patterns.begin(), patterns.end());
  TCountingStream stream(bytes);
  auto in = MakeComponent<TVorbisIn>(nullptr);
  in->SetStream(&stream);
  RequestInterrupt();
  const bool valid = in->Valid();
  ClearInterrupt();
  EXPECT_FALSE(valid);
  EXPECT_LT(stream.BytesRead, static_cast<int64_t>(bytes.size()));
  in->SetStream(nullptr);
}

// A cut file gives what the reference decoders give from the same bytes, less at most one
// block, never more; a chain cut in a later link's headers still gives its first link.
TEST(VorbisTruncated, DeliversWhatTheDecoderDecoded) {
  TempDir dir;
  // The committed files hold one or two audio pages; a longer one is cut between many.
  ASSERT_EQ(RunQuiet("sox -D -n -r 44100 -c 2 -b 16 '" + (dir / "long.wav") +
                     "' synth 4 sine 440 pinknoise vol 0.4 && oggenc -Q -q 0 -s 7 -o '" +
                     (dir / "long.ogg") + "' '" + (dir / "long.wav") + "'"),
            0);
  for (const std::string& path : {dir / "long.ogg", FixturePath("vorbis/ch6.ogg"),
                                  FixturePath("vorbis/chain-44k-stereo-48k-mono.ogg"),
                                  FixturePath("vorbis/chained-stereo.ogg")}) {
    const std::vector<uint8_t> whole = ReadAll(path);
    const std::vector<TLinkRef> formats = ChainReference(path);
    ASSERT_FALSE(formats.empty());
    const bool chain = formats.size() > 1;
    for (size_t tenth = 3; tenth <= 10; ++tenth) {
      const size_t cut = tenth < 10 ? whole.size() * tenth / 10 : whole.size() - 40;
      SCOPED_TRACE(path + " cut at " + std::to_string(cut));
      const std::vector<uint8_t> bytes(whole.begin(),
                                       whole.begin() + static_cast<std::ptrdiff_t>(cut));
      WriteAll(dir / "cut.ogg", bytes);
      const int64_t ref = LinkwiseReference(bytes, formats);
      auto in = MakeComponent<TVorbisIn>(nullptr);
      in->SetFileName(dir / "cut.ogg");
      int64_t got = 0;
      try {
        ASSERT_EQ(in->Channels(), formats[0].Channels);
        got = static_cast<int64_t>(ReadPass(*in, 4096).size() / (2 * formats[0].Channels));
      } catch (const EAuException& e) {
        // Only a file that nothing decodes may be refused.
        EXPECT_EQ(ref, 0) << e.what();
        continue;
      }
      EXPECT_LE(got, ref + (chain ? 2 : 0));
      EXPECT_GE(got + 2048, ref);
      if (!chain) {
        const auto ffmpeg = static_cast<int64_t>(FfmpegSamples(dir / "cut.ogg").size());
        EXPECT_LE(got, ffmpeg / static_cast<int64_t>(formats[0].Channels));
      }
    }
  }
}

// A damaged page in the middle (its checksum fails) is a hole: the reference decoders drop
// that page's audio and go on, and so does the input.
TEST(VorbisTruncated, HoleInTheMiddleIsSkipped) {
  TempDir dir;
  ASSERT_EQ(RunQuiet("sox -D -n -r 44100 -c 2 -b 16 '" + (dir / "long.wav") +
                     "' synth 3 sine 440 pinknoise vol 0.4 && oggenc -Q -q 0 -s 8 -o '" +
                     (dir / "long.ogg") + "' '" + (dir / "long.wav") + "'"),
            0);
  std::vector<uint8_t> bytes = ReadAll(dir / "long.ogg");
  std::vector<size_t> pages;
  for (size_t i = 0; i + 4 <= bytes.size(); ++i)
    if (std::memcmp(&bytes[i], "OggS", 4) == 0) pages.push_back(i);
  ASSERT_GT(pages.size(), 6u);
  const size_t victim = pages[pages.size() / 2];
  bytes[victim + 100] ^= 0x55;
  WriteAll(dir / "hole.ogg", bytes);
  const size_t whole = OggReference(dir / "long.ogg").size() / 4;
  const size_t oggdec = OggReference(dir / "hole.ogg").size() / 4;
  ASSERT_GT(oggdec, 0u) << "oggdec decoded nothing";
  ASSERT_LT(oggdec, whole);
  auto in = MakeComponent<TVorbisIn>(nullptr);
  in->SetFileName(dir / "hole.ogg");
  const size_t got = ReadPass(*in).size() / 4;
  EXPECT_LE(got, oggdec);
  EXPECT_GE(got + 2048, oggdec);
  EXPECT_LE(got, FfmpegSamples(dir / "hole.ogg").size() / 2);
}

// A link whose setup header libvorbis cannot build a decoder for: the file is refused as
// undecodable, and a chain ends before such a link; seeking into it would crash the library.
TEST(VorbisDamaged, LinkWithoutADecoderIsNeverRead) {
  const std::string bad = FixturePath("vorbis/setup-without-decoder.ogg");
  auto in = MakeComponent<TVorbisIn>(nullptr);
  in->SetFileName(bad);
  try {
    in->Channels();
    ADD_FAILURE();
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "Failed to open an ogg file: -137");
  }
  EXPECT_TRUE(OggReference(bad).empty());

  TempDir dir;
  std::vector<uint8_t> chain = ReadAll(FixturePath("vorbis/stereo.ogg"));
  const std::vector<uint8_t> first = OggReference(FixturePath("vorbis/stereo.ogg"));
  const std::vector<uint8_t> tail = ReadAll(bad);
  chain.insert(chain.end(), tail.begin(), tail.end());
  WriteAll(dir / "chain.ogg", chain);
  in->SetFileName(dir / "chain.ogg");
  const int64_t frames = static_cast<int64_t>(first.size() / 4);
  EXPECT_EQ(in->TotalSamples(), frames);
  EXPECT_TRUE(ReadPass(*in) == first);
  in->SetStartSample(frames - 100);
  EXPECT_EQ(ReadPass(*in).size(), 400u);

  // A fuzzer's find: a damaged chain whose third link has no decoder, and reading the second
  // runs on into it.
  in->SetFileName(FixturePath("vorbis/later-link-without-decoder.ogg"));
  ASSERT_TRUE(in->Valid());
  const int64_t total = in->TotalSamples();
  const size_t frame = in->Channels() * 2;
  EXPECT_LE(static_cast<int64_t>(ReadPass(*in).size() / frame), total);
  in->SetStartSample(total / 2);
  EXPECT_LE(static_cast<int64_t>(ReadPass(*in).size() / frame), total - total / 2);
}

// The granule positions only claim a length. With none on the last page (-1: the library
// then knows no length at all), none on the last two, or a last one cut to half, the input
// still delivers every frame oggdec decodes, from the start or from a frame inside, and a
// conversion to WAV holds them all.
TEST(VorbisClaimedLength, ShortOrMissingGranulesNeverEndTheAudio) {
  TempDir dir;
  ASSERT_EQ(RunQuiet("sox -D -n -r 44100 -c 2 -b 16 '" + (dir / "long.wav") +
                     "' synth 4 sine 440 pinknoise vol 0.4 && oggenc -Q -q 0 -s 9 -o '" +
                     (dir / "long.ogg") + "' '" + (dir / "long.wav") + "'"),
            0);
  const std::vector<uint8_t> whole = ReadAll(dir / "long.ogg");
  std::vector<size_t> pages;
  for (size_t i = 0; i + 27 <= whole.size(); ++i)
    if (std::memcmp(&whole[i], "OggS", 4) == 0) pages.push_back(i);
  ASSERT_GT(pages.size(), 4u);
  const auto granule = [&](size_t Page) {
    int64_t g;
    std::memcpy(&g, &whole[Page + 6], 8);
    return g;
  };
  const auto withGranules = [&](const std::string& Name,
                                std::vector<std::pair<size_t, int64_t>> Set) {
    std::vector<uint8_t> bytes = whole;
    for (const auto& [page, value] : Set) std::memcpy(&bytes[page + 6], &value, 8);
    tunevert::fuzz::SealPages(bytes.data(), bytes.size());
    WriteAll(dir / Name, bytes);
    return dir / Name;
  };
  const size_t last = pages.back();
  const size_t before = pages[pages.size() - 2];
  for (const std::string& path : {FixturePath("vorbis/last-granule-unknown.ogg"),
                                  withGranules("last-unknown.ogg", {{last, -1}}),
                                  withGranules("last-two-unknown.ogg", {{last, -1}, {before, -1}}),
                                  withGranules("last-halved.ogg", {{last, granule(last) / 2}})}) {
    SCOPED_TRACE(path);
    const std::vector<uint8_t> ref = OggReference(path);
    ASSERT_GT(ref.size(), 100000u);
    auto in = MakeComponent<TVorbisIn>(nullptr);
    in->SetFileName(path);
    ASSERT_TRUE(in->Valid());
    ASSERT_LT(in->Size(), static_cast<int64_t>(ref.size())) << "the claim is not short";
    const std::vector<uint8_t> got = ReadPass(*in, 4096);
    EXPECT_EQ(got.size() / 4, ref.size() / 4);
    EXPECT_TRUE(got == ref);

    if (in->TotalSamples() > 2000) {
      in->SetStartSample(1000);
      EXPECT_TRUE(ReadPass(*in) == Slice(ref, 4000, ref.size())) << "from frame 1000";
    }

    auto out = MakeComponent<TWaveOut>(nullptr);
    out->SetInput(in.get());
    out->SetFileName(dir / "out.wav");
    out->BlockingRun();
    out->SetInput(nullptr);
    const std::vector<uint8_t> written = WavPayload(dir / "out.wav");
    EXPECT_EQ(written.size() / 4, ref.size() / 4);
    EXPECT_TRUE(written == ref);
  }
}
