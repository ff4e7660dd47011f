// WAV payloads the reader has no decoder of, decoded by TWaveIn through the runtime and
// compared with the ffmpeg tool's decode of the same files.

#include <gtest/gtest.h>

#include <cctype>

#include "app/BatchConverter.h"
#include "tests/AppTestFiles.h"
#include "tests/PipelineFakes.h"
#include "tests/WMTestSupport.h"
#include "wav/AuWave.h"
#include "winmedia/wmfintf.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

std::string CodecFixture(const std::string& Name) {
  return WMFixture("wavcodecs/" + Name);
}

std::vector<uint8_t> Pass(TAuInput& In, uint32_t Block = 3001) {
  auto All = ReadInput(In, Block);
  In.Flush();
  return All;
}

struct CodecCase {
  const char* File;
  uint32_t Channels;
  uint32_t Rate;
  uint32_t Bits;  // as delivered
};

class WavRuntimeCodecs : public ::testing::TestWithParam<CodecCase> {};

TEST_P(WavRuntimeCodecs, DecodeAsFfmpegDoes) {
  const CodecCase& Case = GetParam();
  const std::string Path = CodecFixture(Case.File);
  auto In = MakeComponent<TWaveIn>(nullptr);
  In->SetFileName(Path);
  ASSERT_TRUE(In->Valid());
  EXPECT_EQ(In->Channels(), Case.Channels);
  EXPECT_EQ(In->SampleRate(), Case.Rate);
  ASSERT_EQ(In->BitsPerSample(), Case.Bits);
  const auto Theirs =
      Case.Bits == 24 ? FfmpegDecode(Path, "s24le", "-c:a pcm_s24le") : FfmpegDecode(Path);
  const auto Ours = Pass(*In);
  const int64_t Frame = Case.Channels * Case.Bits / 8;
  EXPECT_EQ(static_cast<int64_t>(Ours.size()) / Frame, static_cast<int64_t>(Theirs.size()) / Frame);
  EXPECT_TRUE(Ours == Theirs);
  // The announced length bounds the audio without clipping it.
  EXPECT_GE(In->TotalSamples(), static_cast<int64_t>(Ours.size()) / Frame);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, WavRuntimeCodecs,
                         ::testing::Values(CodecCase{"alaw-mono-8000.wav", 1, 8000, 16},
                                           CodecCase{"mulaw-stereo-8000.wav", 2, 8000, 16},
                                           CodecCase{"gsm610-mono-8000.wav", 1, 8000, 16},
                                           CodecCase{"g726-mono-8000.wav", 1, 8000, 16},
                                           CodecCase{"g722-mono-16000.wav", 1, 16000, 16},
                                           CodecCase{"g723-mono-8000.wav", 1, 8000, 16},
                                           CodecCase{"yamaha-stereo-8000.wav", 2, 8000, 16},
                                           CodecCase{"pcm64-mono-8000.wav", 1, 8000, 24}),
                         [](const auto& Info) {
                           std::string Name = Info.param.File;
                           for (char& C : Name)
                             if (!std::isalnum(static_cast<unsigned char>(C))) C = '_';
                           return Name;
                         });

TEST(WavRuntime, RangesAndSeeksAreFrameExact) {
  const std::string Path = CodecFixture("mulaw-stereo-8000.wav");
  const auto Full = FfmpegDecode(Path);
  auto In = MakeComponent<TWaveIn>(nullptr);
  In->SetFileName(Path);
  In->SetStartSample(301);
  In->SetEndSample(700);
  const auto Part = Pass(*In);
  ASSERT_EQ(Part.size(), 400u * 4);
  EXPECT_TRUE(std::equal(Part.begin(), Part.end(), Full.begin() + 301 * 4));

  // A seek during a pass drops what was decoded ahead of it.
  In->SetStartSample(0);
  In->SetEndSample(-1);
  In->Init();
  void* Buffer = nullptr;
  uint32_t Bytes = 400;
  In->GetData(Buffer, Bytes);
  ASSERT_EQ(Bytes, 400u);
  ASSERT_TRUE(In->Seek(1234));
  std::vector<uint8_t> After;
  while (true) {
    Bytes = 4096;
    In->GetData(Buffer, Bytes);
    if (Bytes == 0) break;
    After.insert(After.end(), static_cast<uint8_t*>(Buffer), static_cast<uint8_t*>(Buffer) + Bytes);
  }
  In->Flush();
  ASSERT_EQ(After.size(), Full.size() - 1234 * 4);
  EXPECT_TRUE(std::equal(After.begin(), After.end(), Full.begin() + 1234 * 4));
}

TEST(WavRuntime, WhatNeitherDecodesFailsTheEntryAndTheBatchGoesOn) {
  TempDir Dir;
  auto Unknown = MakeComponent<TWaveIn>(nullptr);
  Unknown->SetFileName(CodecFixture("unknown-tag.wav"));
  EXPECT_FALSE(Unknown->Valid());
  EXPECT_TRUE(Pass(*Unknown).empty());

  auto Converter = MakeComponent<TBatchConverter>(nullptr);
  std::vector<std::string> Failures, Done;
  Converter->OnEntryFailed = [&](int, const std::string& M) { Failures.push_back(M); };
  Converter->OnEntryDone = [&](int, const std::string& F) { Done.push_back(F); };
  ASSERT_TRUE(
      Converter->Convert({CodecFixture("unknown-tag.wav"), CodecFixture("alaw-mono-8000.wav")},
                         ".wav", "128", Dir / "out"));
  ASSERT_TRUE(PumpUntil([&] { return !Converter->Running(); }, 20000));
  ASSERT_EQ(Failures.size(), 1u);
  EXPECT_EQ(Failures[0], "Not a valid or supported audio file");
  ASSERT_EQ(Done.size(), 1u);
  const auto Written = FfmpegDecode(Done[0]);
  const auto Theirs = FfmpegDecode(CodecFixture("alaw-mono-8000.wav"));
  ASSERT_GE(Written.size(), Theirs.size());
  EXPECT_TRUE(std::equal(Theirs.begin(), Theirs.end(), Written.begin()));
}

TEST(WavRuntime, WithoutTheRuntimeTheseStayNotValid) {
  TempDir Empty;
  UnloadWMRuntime();
  LoadWMRuntime(Empty.Path.string(), false);
  ASSERT_FALSE(WMRuntimeLoaded());
  for (const char* Name : {"alaw-mono-8000.wav", "gsm610-mono-8000.wav"}) {
    auto In = MakeComponent<TWaveIn>(nullptr);
    In->SetFileName(CodecFixture(Name));
    EXPECT_FALSE(In->Valid()) << Name;
    EXPECT_TRUE(Pass(*In).empty()) << Name;
  }
  LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false);
  ASSERT_TRUE(WMRuntimeLoaded());
}

}  // namespace
