// The Opus input against opusdec and ffmpeg on files opusenc made, damaged copies included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "OpusTestUtil.h"
#include "fuzz/OggPages.h"
#include "opus/AuOpus.h"
#include "platform/Interrupt.h"
#include "platform/Text.h"
#include "tags/TagLibMeta.h"

using namespace tunevert;
using namespace tunevert::testing;

// libopusfile 0.12 loses a link's tags when a chain fails to open on a later link, also in a
// plain open without this input around it. Leaks of the input's own objects still show.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libopusfile.so.0\n";
}

namespace {

// The tones tests/make-opus-fixtures.sh gives each channel, in WAV order.
constexpr double kTones[] = {440, 660, 1000, 80, 1500, 2200, 3000, 3700};

std::vector<int16_t> Pass(TAuFileIn& In, uint32_t Chunk = 5000) {
  return AsSamples(ReadPass(In, Chunk));
}

TComponentPtr<TOpusIn> Open(const std::string& Path) {
  auto in = MakeComponent<TOpusIn>(nullptr);
  in->SetFileName(Path);
  return in;
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

class OpusDecode : public ::testing::TestWithParam<std::pair<std::string, uint32_t>> {};

// Every sample as opusdec gives it, as many frames as it gives (pre-skip and the end's
// trimming honoured), in WAV channel order; ffmpeg's own decoder agrees to within 50 dB.
TEST_P(OpusDecode, MatchesOpusdecExactlyAndFfmpegClosely) {
  const auto& [name, channels] = GetParam();
  const std::string path = FixturePath("opus/" + name);
  auto in = Open(path);
  ASSERT_EQ(in->Channels(), channels);
  EXPECT_EQ(in->SampleRate(), 48000u);
  EXPECT_EQ(in->BitsPerSample(), 16u);
  const std::vector<int16_t> ref = OpusdecReference(path);
  ASSERT_FALSE(ref.empty());
  EXPECT_EQ(in->TotalSamples(), static_cast<int64_t>(ref.size() / channels));
  // An odd chunk size makes blocks end inside a decoded packet.
  const std::vector<int16_t> got = Pass(*in, 2 * channels * 333);
  ASSERT_EQ(got.size(), ref.size());
  size_t differing = 0;
  for (size_t i = 0; i < got.size(); ++i) differing += got[i] != ref[i];
  EXPECT_EQ(differing, 0u);
  // opusdec's default 16-bit output differs only by its noise-shaped dither.
  {
    TempDir dir;
    ASSERT_EQ(RunQuiet("opusdec --quiet --rate 48000 '" + path + "' '" + (dir / "d.wav") + "'"), 0);
    const std::vector<int16_t> dithered = AsSamples(WavPayload(dir / "d.wav"));
    EXPECT_EQ(dithered.size(), got.size());
    EXPECT_GE(SnrDb(dithered, got), 50.0);
  }

  // ffmpeg's own decoder is off by some 10 dB in the centre channel of surround streams; its
  // demuxer and channel layout over the reference library are what this checks.
  const std::vector<int16_t> ffmpeg = FfmpegLibopusSamples(path);
  EXPECT_EQ(ffmpeg.size(), got.size());
  EXPECT_GE(SnrDb(ffmpeg, got), 50.0);
  EXPECT_EQ(FfmpegSamples(path).size(), got.size());

  for (uint32_t c = 0; c < channels && channels > 2; ++c) {
    const std::vector<int16_t> x = Channel(got, channels, c, 2000);
    const double own = Tone(x, kTones[c], 48000);
    EXPECT_GT(own, 1000) << "channel " << c;
    for (uint32_t k = 0; k < channels; ++k)
      if (k != c) {
        EXPECT_LT(Tone(x, kTones[k], 48000), own / 8) << c << " holds " << k;
      }
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, OpusDecode,
                         ::testing::Values(std::pair<std::string, uint32_t>{"mono.opus", 1},
                                           std::pair{"stereo.opus", 2u}, std::pair{"ch3.opus", 3u},
                                           std::pair{"ch4.opus", 4u}, std::pair{"ch5.opus", 5u},
                                           std::pair{"ch6.opus", 6u}, std::pair{"ch7.opus", 7u},
                                           std::pair{"ch8.opus", 8u}),
                         [](const auto& p) {
                           return p.param.first.substr(0, p.param.first.find('.'));
                         });

// A range delivers the frames of the whole pass at those positions, a seek inside a pass
// continues from the frame asked for, and a range past the end runs to the end.
TEST(OpusSeek, RangesAndSeeksLandOnTheirFrames) {
  auto in = Open(FixturePath("opus/stereo.opus"));
  const std::vector<int16_t> whole = Pass(*in);
  const auto frames = static_cast<int64_t>(whole.size() / 2);
  ASSERT_GT(frames, 12000);
  auto slice = [&](int64_t from, int64_t count) {
    return std::vector<int16_t>(whole.begin() + 2 * from, whole.begin() + 2 * (from + count));
  };

  in->SetStartSample(4321);
  in->SetEndSample(9999);
  const std::vector<int16_t> ranged = Pass(*in);
  ASSERT_EQ(ranged.size(), 2u * (9999 - 4321 + 1));
  // The decoder restarts 80 ms early and converges: what it gives is the same audio.
  EXPECT_GE(SnrDb(slice(4321, 9999 - 4321 + 1), ranged), 50.0);
  EXPECT_EQ(in->StartSample(), 0);

  in->Init();
  void* block = nullptr;
  uint32_t bytes = 4000;
  in->GetData(block, bytes);
  ASSERT_TRUE(in->Seek(1000));
  EXPECT_EQ(in->Position(), 4000);
  std::vector<int16_t> rest;
  for (;;) {
    bytes = 4096;
    in->GetData(block, bytes);
    if (bytes == 0) break;
    const auto* p = static_cast<const int16_t*>(block);
    rest.insert(rest.end(), p, p + bytes / 2);
  }
  in->Flush();
  ASSERT_EQ(rest.size(), whole.size() - 2000);
  EXPECT_GE(SnrDb(slice(1000, frames - 1000), rest), 50.0);

  in->SetEndSample(frames * 4);
  EXPECT_EQ(Pass(*in).size(), whole.size());
}

// A chain whose second link is mono comes out whole in the first link's stereo.
TEST(OpusChain, LaterLinksTakeTheFirstLinksLayout) {
  const std::vector<int16_t> stereo = OpusdecReference(FixturePath("opus/stereo.opus"));
  const std::vector<int16_t> mono = OpusdecReference(FixturePath("opus/mono.opus"));
  auto in = Open(FixturePath("opus/chain-stereo-mono.opus"));
  ASSERT_EQ(in->Channels(), 2u);
  const int64_t frames = static_cast<int64_t>(stereo.size() / 2 + mono.size());
  EXPECT_EQ(in->TotalSamples(), frames);
  const std::vector<int16_t> got = Pass(*in);
  ASSERT_EQ(static_cast<int64_t>(got.size()), 2 * frames);
  EXPECT_TRUE(std::equal(stereo.begin(), stereo.end(), got.begin()));
  const std::vector<int16_t> left = Channel(got, 2, 0, stereo.size() / 2);
  const std::vector<int16_t> right = Channel(got, 2, 1, stereo.size() / 2);
  EXPECT_EQ(left, right);
  EXPECT_GE(SnrDb(mono, left), 40.0);
}

// A fuzzer's find: a chain whose second link's timestamps run backwards. opusdec refuses the
// whole file; the input gives its first link, as ffmpeg does, and a chain cut inside its
// second link's headers gives the first link too.
TEST(OpusDamaged, ChainsBrokenInALaterLinkGiveTheLinksBefore) {
  TempDir dir;
  const std::string broken = FixturePath("opus/chain-later-link-bad-timestamp.opus");
  WriteAll(dir / "link0.opus", SplitChain(ReadAll(broken)).front());
  const std::vector<int16_t> link0 = OpusdecReference(dir / "link0.opus");
  ASSERT_FALSE(link0.empty());
  EXPECT_TRUE(OpusdecReference(broken).empty());
  EXPECT_EQ(FfmpegSamples(broken).size(), link0.size());
  auto in = Open(broken);
  ASSERT_TRUE(in->Valid());
  EXPECT_EQ(in->TotalSamples(), static_cast<int64_t>(link0.size() / 2));
  EXPECT_EQ(Pass(*in), link0);

  const std::vector<int16_t> first = OpusdecReference(FixturePath("opus/stereo.opus"));
  ASSERT_FALSE(first.empty());
  const std::vector<uint8_t> chain = ReadAll(FixturePath("opus/chain-stereo-mono.opus"));
  const size_t second = ReadAll(FixturePath("opus/stereo.opus")).size();
  WriteAll(dir / "cut.opus",
           {chain.begin(), chain.begin() + static_cast<std::ptrdiff_t>(second + 40)});
  in->SetFileName(dir / "cut.opus");
  EXPECT_EQ(Pass(*in), first);
  in->SetStartSample(10000);
  EXPECT_EQ(Pass(*in).size(), first.size() - 20000);
}

// A file cut anywhere gives at most what opusdec decodes from the same bytes and at most one
// page less; a damaged page in the middle is skipped as opusdec skips it.
TEST(OpusDamaged, CutAndHoledFilesGiveWhatOpusdecGives) {
  TempDir dir;
  ASSERT_EQ(RunQuiet("sox -D -n -r 48000 -c 2 -b 16 '" + (dir / "long.wav") +
                     "' synth 3 sine 440 pinknoise vol 0.4 && opusenc --quiet --serial 5 "
                     "--bitrate 48 '" +
                     (dir / "long.wav") + "' '" + (dir / "long.opus") + "'"),
            0);
  const std::vector<uint8_t> whole = ReadAll(dir / "long.opus");
  for (size_t tenth = 1; tenth <= 10; ++tenth) {
    const size_t cut = tenth < 10 ? whole.size() * tenth / 10 : whole.size() - 20;
    SCOPED_TRACE("cut at " + std::to_string(cut));
    WriteAll(dir / "cut.opus", {whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)});
    const auto ref = static_cast<int64_t>(OpusdecReference(dir / "cut.opus").size() / 2);
    auto in = Open(dir / "cut.opus");
    int64_t got = 0;
    try {
      ASSERT_EQ(in->Channels(), 2u);
      got = static_cast<int64_t>(Pass(*in).size() / 2);
    } catch (const EAuException& e) {
      EXPECT_EQ(ref, 0) << e.what();
      continue;
    }
    EXPECT_LE(got, ref);
    EXPECT_GE(got + 48000 / 2, ref);
    EXPECT_LE(got, in->TotalSamples());
  }

  std::vector<uint8_t> bytes = whole;
  std::vector<size_t> pages;
  for (size_t i = 0; i + 4 <= bytes.size(); ++i)
    if (std::memcmp(&bytes[i], "OggS", 4) == 0) pages.push_back(i);
  ASSERT_GE(pages.size(), 5u);
  bytes[pages[pages.size() / 2] + 60] ^= 0x55;
  WriteAll(dir / "hole.opus", bytes);
  const size_t opusdec = OpusdecReference(dir / "hole.opus").size() / 2;
  ASSERT_GT(opusdec, 0u) << "opusdec decoded nothing";
  ASSERT_LT(opusdec, OpusdecReference(dir / "long.opus").size() / 2);
  auto in = Open(dir / "hole.opus");
  const size_t got = Pass(*in).size() / 2;
  EXPECT_LE(got, opusdec);
  EXPECT_GE(got + 48000 / 2, opusdec);
}

// The last granule position only claims a length: -1 on the last page (or on the last two),
// or one short of the audio, still gives every frame opusdec decodes, bit for bit.
TEST(OpusDamaged, ShortOrMissingLastGranuleNeverEndsTheAudio) {
  TempDir dir;
  ASSERT_EQ(RunQuiet("sox -D -n -r 48000 -c 2 -b 16 '" + (dir / "long.wav") +
                     "' synth 4 sine 440 pinknoise vol 0.4 && opusenc --quiet --serial 6 '" +
                     (dir / "long.wav") + "' '" + (dir / "long.opus") + "'"),
            0);
  const std::vector<uint8_t> whole = ReadAll(dir / "long.opus");
  std::vector<size_t> pages;
  for (size_t i = 0; i + 27 <= whole.size(); ++i)
    if (std::memcmp(&whole[i], "OggS", 4) == 0) pages.push_back(i);
  ASSERT_GT(pages.size(), 4u);
  const size_t last = pages.back();
  int64_t lastGranule;
  std::memcpy(&lastGranule, &whole[last + 6], 8);
  const std::vector<std::vector<std::pair<size_t, int64_t>>> claims = {
      {{last, -1}}, {{last, -1}, {pages[pages.size() - 2], -1}}, {{last, lastGranule / 2}}};
  for (const auto& claim : claims) {
    SCOPED_TRACE(std::to_string(claim.size()) + " page(s) to " + std::to_string(claim[0].second));
    std::vector<uint8_t> bytes = whole;
    for (const auto& [page, value] : claim) std::memcpy(&bytes[page + 6], &value, 8);
    tunevert::fuzz::SealPages(bytes.data(), bytes.size());
    WriteAll(dir / "claim.opus", bytes);
    const std::vector<int16_t> ref = OpusdecReference(dir / "claim.opus");
    ASSERT_GT(ref.size(), 48000u);
    auto in = Open(dir / "claim.opus");
    ASSERT_TRUE(in->Valid());
    ASSERT_LT(in->Size(), static_cast<int64_t>(ref.size() * 2)) << "the claim is not short";
    const std::vector<int16_t> got = Pass(*in, 2 * 2 * 333);
    EXPECT_EQ(got.size() / 2, ref.size() / 2);
    EXPECT_TRUE(got == ref);
  }
}

// What is not Opus is refused with the decoder's code and leaves the input usable.
TEST(OpusDamaged, OtherFilesAreRefused) {
  auto in = Open(FixturePath("vorbis/stereo.ogg"));
  EXPECT_FALSE(in->Valid());
  try {
    in->Init();
    ADD_FAILURE() << "no error";
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "Failed to open an opus file: -132");
  }
  in->Flush();
  in->SetFileName(FixturePath("opus/mono.opus"));
  EXPECT_TRUE(in->Valid());
  EXPECT_EQ(in->Channels(), 1u);
  EXPECT_EQ(in->OriginalSampleRate(), 44100u);
}

// Page-start patterns after a short file, behind a later link that cannot open: the first
// link opens whole, the bytes read grow with the file and not with the patterns times the
// file, and an interrupt ends the open at once.
TEST(OpusDamaged, PageStartFloodsOpenInLinearWork) {
  const std::vector<uint8_t> intact = ReadAll(FixturePath("opus/mono.opus"));
  const auto frames = static_cast<int64_t>(OpusdecReference(FixturePath("opus/mono.opus")).size());
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
        auto in = MakeComponent<TOpusIn>(nullptr);
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
  auto in = MakeComponent<TOpusIn>(nullptr);
  in->SetStream(&stream);
  RequestInterrupt();
  const bool valid = in->Valid();
  ClearInterrupt();
  EXPECT_FALSE(valid);
  EXPECT_LT(stream.BytesRead, static_cast<int64_t>(bytes.size()));
  in->SetStream(nullptr);
}

// Checking without decoding reads as many frames as decoding, all silent: on the intact
// file, on one with a page whose checksum fails (its audio is lost), and on one with a
// packet whose framing is broken under a good checksum (the audio ends there).
TEST(OpusCheckOnly, ReadsWhatDecodingReadsAsSilence) {
  TempDir dir;
  ASSERT_EQ(RunQuiet("sox -D -n -r 48000 -c 2 -b 16 '" + (dir / "long.wav") +
                     "' synth 3 sine 440 pinknoise vol 0.4 && opusenc --quiet --serial 7 "
                     "--bitrate 48 '" +
                     (dir / "long.wav") + "' '" + (dir / "long.opus") + "'"),
            0);
  const std::vector<uint8_t> whole = ReadAll(dir / "long.opus");
  std::vector<size_t> pages;
  for (size_t i = 0; i + 4 <= whole.size(); ++i)
    if (std::memcmp(&whole[i], "OggS", 4) == 0) pages.push_back(i);
  ASSERT_GE(pages.size(), 5u);
  std::vector<uint8_t> hole = whole;
  hole[pages[pages.size() / 2] + 60] ^= 0x55;
  // A packet of an odd length on a later page made two frames of constant size (code 3): its
  // length still reads as valid, its framing does not.
  std::vector<uint8_t> broken = whole;
  bool made = false;
  for (size_t p = pages.size() / 2; p < pages.size() && !made; ++p) {
    const size_t page = pages[p], segments = broken[page + 26];
    size_t at = page + 27 + segments;
    for (size_t s = 0; s < segments && !made; at += broken[page + 27 + s], ++s) {
      const size_t length = broken[page + 27 + s];
      // A whole packet in one segment, not the end of one begun before.
      if (length % 2 == 0 || length == 255 || (s > 0 && broken[page + 26 + s] == 255) ||
          (s == 0 && (broken[page + 5] & 1) != 0))
        continue;
      broken[at] |= 0x03;
      broken[at + 1] = 0x02;
      made = true;
    }
  }
  ASSERT_TRUE(made);
  tunevert::fuzz::SealPages(broken.data(), broken.size());

  for (const auto& [name, bytes] :
       {std::pair{"intact", whole}, {"hole", hole}, {"broken", broken}}) {
    SCOPED_TRACE(name);
    WriteAll(dir / "x.opus", bytes);
    auto decoded = Open(dir / "x.opus");
    const std::vector<int16_t> audio = Pass(*decoded);
    auto checked = Open(dir / "x.opus");
    checked->SetDecodeAudio(false);
    const std::vector<int16_t> silence = Pass(*checked);
    EXPECT_EQ(silence.size(), audio.size());
    EXPECT_TRUE(std::all_of(silence.begin(), silence.end(), [](int16_t v) { return v == 0; }));
    if (std::string(name) == "intact")
      EXPECT_EQ(audio.size(), OpusdecReference(dir / "x.opus").size());
    else
      EXPECT_LT(audio.size(), OpusdecReference(dir / "long.opus").size());
  }
}

// OpusTags fill the common container and are what the tag carrier reads as well.
TEST(OpusTags, CommentsReachTheContainersAndTheCarrier) {
  auto in = Open(FixturePath("opus/stereo.opus"));
  ASSERT_TRUE(in->Valid());
  const TCommonTags& tags = *in->CommonTags();
  EXPECT_EQ(Utf16ToUtf8(tags.Title()), "Café ☕");
  EXPECT_EQ(Utf16ToUtf8(tags.Artist()), "Ærø");
  EXPECT_EQ(Utf16ToUtf8(tags.Album()), "Über");
  EXPECT_EQ(tags.Year(), "2021");
  EXPECT_EQ(tags.Track(), "3");
  EXPECT_EQ(Utf16ToUtf8(tags.Genre()), "Jazz");
  const TCarriedTags carried = ReadCarriedTags(FixturePath("opus/stereo.opus"));
  EXPECT_EQ(carried.First("TITLE"), "Café ☕");
  EXPECT_EQ(carried.First("TRACKNUMBER"), "3");
  EXPECT_EQ(carried.First("GENRE"), "Jazz");
}
