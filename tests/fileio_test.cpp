#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "WavTestUtil.h"
#include "platform/AuFileStream.h"
#include "platform/Text.h"
#include "wav/AuWave.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

std::u16string W(const std::string& s) {
  return Utf8ToUtf16(s);
}

TEST(AuFileStream, CreateModeTruncatesAnExistingFileWithOrWithoutSharingBits) {
  TempDir dir;
  for (uint16_t mode : {uint16_t{0xFF00}, uint16_t{0xFF20}}) {
    WriteAll(dir / "f", std::vector<uint8_t>(100, 7));
    TAuFileStream s(W(dir / "f"), mode);
    EXPECT_EQ(s.Size(), 0);
    EXPECT_EQ(s.Write("abc", 3), 3);
    s.Seek(0, TSeekOrigin::soBeginning);
    char back[3];
    EXPECT_EQ(s.Read(back, 3), 3);  // create mode is read and write
    EXPECT_EQ(std::memcmp(back, "abc", 3), 0);
  }
}

TEST(AuFileStream, OpenModesUseTheAccessBitsOnExistingFilesOnly) {
  TempDir dir;
  WriteAll(dir / "f", {1, 2, 3, 4});
  {
    TAuFileStream r(W(dir / "f"), 0x20);
    EXPECT_EQ(r.Size(), 4);
    EXPECT_THROW(r.Write("x", 1), EAuException);  // read-only
  }
  {
    TAuFileStream rw(W(dir / "f"), 2);
    rw.Seek(0, TSeekOrigin::soEnd);
    EXPECT_EQ(rw.Write("x", 1), 1);
  }
  EXPECT_EQ(ReadAll(dir / "f").size(), 5u);
  try {
    TAuFileStream missing(W(dir / "none"), 2);
    FAIL() << "opened a missing file";
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), std::strerror(ENOENT));
  }
  EXPECT_THROW(TAuFileStream(W(dir / ""), 0x20), EAuException);  // a directory
}

// 441000 frames of 16-bit stereo at 44100 Hz, made by sox.
class TenSecondFile : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir / "ten.wav";
    ASSERT_EQ(std::system(("sox -n -r 44100 -c 2 -b 16 '" + path +
                           "' synth 10 sine 440 sine 550 2>/dev/null")
                              .c_str()),
              0);
  }
  TempDir dir;
  std::string path;
};

TEST_F(TenSecondFile, TotalsAndARangedPass) {
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(path);
  EXPECT_EQ(in->TotalSamples(), 441000);
  EXPECT_EQ(in->TotalTime(), 10u);
  EXPECT_FALSE(in->IsBusy());
  in->SetStartSample(44100);
  in->SetEndSample(88199);
  in->Init();
  EXPECT_EQ(in->TotalSamples(), 44100);
  EXPECT_EQ(in->Size(), 176400);
  EXPECT_EQ(in->Position(), 0);
  std::vector<uint8_t> got;
  for (;;) {
    void* b = nullptr;
    uint32_t n = 16384;
    in->GetData(b, n);
    if (n == 0) break;
    got.insert(got.end(), static_cast<uint8_t*>(b), static_cast<uint8_t*>(b) + n);
  }
  EXPECT_EQ(in->Position(), 176400);
  in->Flush();
  EXPECT_EQ(in->StartSample(), 0);
  EXPECT_EQ(in->EndSample(), -1);
  const auto whole = ReadAll(path);
  ASSERT_EQ(got.size(), 176400u);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), whole.begin() + 44 + 44100 * 4));
}

TEST_F(TenSecondFile, EndBeyondTheTotalRunsToTheEnd) {
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(path);
  in->SetStartSample(440000);
  in->SetEndSample(10000000);
  const auto got = ReadPass(*in);
  EXPECT_EQ(got.size(), 1000u * 4);  // the last 1000 frames, no phantom frame past the end
}

TEST_F(TenSecondFile, SetStartTimeNeedsTheTotalReadFirst) {
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(path);
  EXPECT_FALSE(in->SetStartTime(0, 5));  // total not known yet
  EXPECT_EQ(in->StartSample(), 0);
  in->TotalSamples();
  EXPECT_TRUE(in->SetStartTime(0, 5));
  EXPECT_EQ(in->StartSample(), 5 * 44100);
  EXPECT_FALSE(in->SetEndTime(0, 11));
  EXPECT_FALSE(in->SetEndTime(-1, 0));
  EXPECT_TRUE(in->SetEndTime(0, 6));
  EXPECT_EQ(ReadPass(*in).size(), (44100u + 1) * 4);
}

TEST(AuFileIn, PropertiesOpenTheFileAndFileNameClosesIt) {
  auto in = MakeComponent<TWaveIn>(nullptr);
  in->SetFileName(WavData("pcm16-stereo.wav"));
  EXPECT_EQ(in->Channels(), 2u);
  EXPECT_FALSE(in->IsBusy());
  // The open source holds a descriptor; a new name releases it.
  const int before = ::open("/dev/null", O_RDONLY);
  ::close(before);
  in->SetFileName(WavData("pcm8-mono.wav"));
  const int after = ::open("/dev/null", O_RDONLY);
  ::close(after);
  EXPECT_LT(after, before);
  EXPECT_EQ(in->Channels(), 1u);
  EXPECT_EQ(in->BitsPerSample(), 8u);
}

TEST(AuFileIn, MissingAndUndecodableFiles) {
  auto in = MakeComponent<TWaveIn>(nullptr);
  EXPECT_FALSE(in->Valid());
  EXPECT_THROW(in->Init(), EAuException);  // no name
  in->SetFileName("/nonexistent/x.wav");
  EXPECT_FALSE(in->Valid());
  try {
    in->Init();
    FAIL();
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), std::strerror(ENOENT));
  }
  EXPECT_FALSE(in->IsBusy());

  in->SetFileName(WavData("alaw-tag.wav"));
  EXPECT_FALSE(in->Valid());
  in->Init();
  EXPECT_EQ(in->BitsPerSample(), 8u);
  EXPECT_EQ(in->Channels(), 1u);
  EXPECT_EQ(in->SampleRate(), 8000u);
  void* b = nullptr;
  uint32_t n = 100;
  in->GetData(b, n);
  EXPECT_EQ(n, 0u);
  in->Flush();
}

TEST(AuFileIn, UndecodableAndMissingFilesThroughAConversion) {
  TempDir dir;
  auto in = MakeComponent<TWaveIn>(nullptr);
  auto out = MakeComponent<TWaveOut>(nullptr);
  out->SetInput(in.get());
  in->SetFileName(WavData("alaw-tag.wav"));
  out->SetFileName(dir / "a.wav");
  bool done = false;
  out->SetOnDone([&](TComponent*) { done = true; });
  out->Run();
  ASSERT_TRUE(PumpUntil([&] { return done; }));
  EXPECT_EQ(out->ExceptionMessage(), "");
  const auto a = ReadAll(dir / "a.wav");
  // An input that cannot tell its size gets the 36-byte reserved chunk ahead of "fmt ".
  ASSERT_EQ(a.size(), 80u);
  EXPECT_EQ(Le16(a, 22 + 36), 1);
  EXPECT_EQ(Le32(a, 24 + 36), 8000u);
  EXPECT_EQ(Le16(a, 34 + 36), 8);

  done = false;
  in->SetFileName(dir / "missing.wav");
  out->Run();
  ASSERT_TRUE(PumpUntil([&] { return done; }));
  EXPECT_EQ(out->ExceptionMessage(), std::strerror(ENOENT));
}

}  // namespace
