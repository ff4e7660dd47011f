#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "PipelineFakes.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

// Reads the whole pass with GetData, checking every byte against the pattern from Start.
int64_t DrainAndCheck(PatternInput& in, uint32_t ask, int64_t start, std::vector<uint32_t>* sizes) {
  int64_t offset = start;
  for (;;) {
    void* block = nullptr;
    uint32_t bytes = ask;
    in.GetData(block, bytes);
    if (bytes == 0) break;
    if (sizes) sizes->push_back(bytes);
    const auto* p = static_cast<const uint8_t*>(block);
    for (uint32_t i = 0; i < bytes; ++i)
      if (p[i] != PatternByte(offset + i)) {
        ADD_FAILURE() << "byte " << offset + i << " differs";
        return offset - start;
      }
    offset += bytes;
  }
  return offset - start;
}

}  // namespace

TEST(StreamedInput, BlockCrossingSizeIsCutAndPassEnds) {
  PatternInput in;
  in.TotalFrames = 250;  // 1000 bytes of 16-bit stereo
  in.ExtraBytes = 100;   // the decoder overshoots the range
  in.MaxBlock = 400;
  in.Init();
  std::vector<uint32_t> sizes;
  EXPECT_EQ(DrainAndCheck(in, 4096, 0, &sizes), 1000);
  EXPECT_EQ(sizes, (std::vector<uint32_t>{400, 400, 200}));
  EXPECT_EQ(in.Position(), in.Size());
  for (int i = 0; i < 3; ++i) {  // after the end: nothing, any number of times
    void* block = reinterpret_cast<void*>(1);
    uint32_t bytes = 64;
    in.GetData(block, bytes);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(block, nullptr);
  }
  in.Flush();
  EXPECT_FALSE(in.IsBusy());
}

TEST(StreamedInput, UnknownSizeEndsOnlyWhenSourceRunsDry) {
  PatternInput in;
  in.TotalFrames = 250;
  in.ExtraBytes = 100;
  in.UnknownSize = true;
  in.Init();
  EXPECT_EQ(in.Size(), 0);
  EXPECT_EQ(DrainAndCheck(in, 4096, 0, nullptr), 1100);  // no clipping without a size
  EXPECT_EQ(in.Position(), 1100);
  in.Flush();
}

TEST(StreamedInput, FillBufferCountsAndEof) {
  PatternInput in;
  in.TotalFrames = 2500;  // 10000 bytes
  in.MaxBlock = 1000;
  in.Init();
  std::vector<uint8_t> buf(4096);
  bool eof = true;
  EXPECT_EQ(in.FillBuffer(buf.data(), 4096, eof), 4096u);
  EXPECT_FALSE(eof);
  EXPECT_EQ(in.FillBuffer(buf.data(), 4096, eof), 4096u);
  EXPECT_FALSE(eof);
  EXPECT_EQ(buf[0], PatternByte(4096));
  EXPECT_EQ(in.FillBuffer(buf.data(), 4096, eof), 1808u);
  EXPECT_TRUE(eof);
  EXPECT_EQ(buf[1807], PatternByte(9999));
  EXPECT_EQ(in.FillBuffer(buf.data(), 4096, eof), 0u);
  EXPECT_TRUE(eof);
  in.Flush();
}

TEST(StreamedInput, BufferFilledExactlyByLastBytesReportsEofOnlyNextTime) {
  PatternInput in;
  in.TotalFrames = 1024;  // 4096 bytes
  in.Init();
  std::vector<uint8_t> buf(4096);
  bool eof = true;
  EXPECT_EQ(in.FillBuffer(buf.data(), 4096, eof), 4096u);
  EXPECT_FALSE(eof);
  EXPECT_EQ(in.FillBuffer(buf.data(), 4096, eof), 0u);
  EXPECT_TRUE(eof);
  in.Flush();
}

TEST(StreamedInput, CopyDataCopiesOneBlock) {
  PatternInput in;
  in.MaxBlock = 100;
  in.Init();
  std::vector<uint8_t> buf(1000);
  EXPECT_EQ(in.CopyData(buf.data(), 1000), 100);
  EXPECT_EQ(buf[99], PatternByte(99));
  EXPECT_EQ(in.CopyData(buf.data(), 0), 0);
  in.Flush();
}

TEST(StreamedInput, FillBufferUnprotectedNeitherClipsNorEnds) {
  PatternInput in;
  in.TotalFrames = 250;
  in.ExtraBytes = 100;
  in.Init();
  std::vector<uint8_t> buf(2000);
  bool eof = false;
  EXPECT_EQ(in.FillBufferUnprotected(nullptr, 10, eof), 0u);
  EXPECT_EQ(in.FillBufferUnprotected(buf.data(), 2000, eof), 1100u);
  EXPECT_TRUE(eof);
  EXPECT_EQ(in.Position(), 1100);  // past Size: this path does not clip
  EXPECT_FALSE(in.EndOfStream());
  in.Flush();
}

TEST(StreamedInput, ProducerFailureReachesConsumerWithPositionKept) {
  PatternInput in;
  in.MaxBlock = 400;
  in.FailAfterBlocks = 2;
  in.Init();
  std::vector<uint8_t> buf(2000);
  bool eof = false;
  EXPECT_THROW(in.FillBuffer(buf.data(), 2000, eof), EAuException);
  EXPECT_EQ(in.Position(), 800);
  // The lock was released: another thread's call must not block.
  std::thread other([&] { in._Lock(), in._Unlock(); });
  other.join();
  in.Flush();
}

TEST(StreamedInput, LoopReplaysRangeInPlaceOfTheBlockThatReachedTheEnd) {
  PatternInput in;
  in.TotalFrames = 250;  // 1000 bytes
  in.MaxBlock = 400;
  in.SetLoop(true);
  in.SetRange(50, 149);  // bytes 200..599
  in.Init();
  EXPECT_EQ(in.Size(), 400);
  void* block = nullptr;
  uint32_t bytes = 300;
  in.GetData(block, bytes);
  EXPECT_EQ(bytes, 300u);
  EXPECT_EQ(in.Position(), 300);
  bytes = 300;  // this block reaches the end: the first block of the replay comes instead
  in.GetData(block, bytes);
  EXPECT_EQ(bytes, 300u);
  EXPECT_EQ(static_cast<uint8_t*>(block)[0], PatternByte(200));
  EXPECT_EQ(in.Position(), 300);
  EXPECT_EQ(in.Seeks, 1);
  EXPECT_EQ(in.StartSample(), 50);
  in.Flush();
}

TEST(StreamedInput, LoopOnNonSeekableInputRestartsThePass) {
  PatternInput in;
  in.TotalFrames = 100;
  in.SetSeekable(false);
  in.SetLoop(true);
  in.Init();
  void* block = nullptr;
  uint32_t bytes = 4096;
  in.GetData(block, bytes);  // whole pass reaches the end; the restart delivers it again
  EXPECT_EQ(bytes, 400u);
  EXPECT_EQ(in.Starts, 2);
  EXPECT_EQ(in.Stops, 1);
  EXPECT_EQ(static_cast<uint8_t*>(block)[0], PatternByte(0));
  in.Flush();
}

TEST(StreamedInput, SeekOutsideAPassSetsTheNextStartAndDropsTheEnd) {
  PatternInput in;
  in.TotalFrames = 1000;
  in.SetRange(10, 20);
  in.Init();
  in.Flush();  // TotalSamples is now 11
  EXPECT_FALSE(in.Seek(12));
  EXPECT_TRUE(in.Seek(5));
  EXPECT_EQ(in.StartSample(), 5);
  EXPECT_EQ(in.EndSample(), -1);
  EXPECT_EQ(in.Position(), 5 * 4);
  in.Init();
  EXPECT_EQ(in.Size(), (1000 - 5) * 4);
  EXPECT_EQ(DrainAndCheck(in, 4096, 5 * 4, nullptr), (1000 - 5) * 4);
  in.Flush();
}

TEST(StreamedInput, SeekInsideAPassIsRelativeToTheRange) {
  PatternInput in;
  in.TotalFrames = 1000;
  in.SetRange(100, 899);
  in.Init();
  EXPECT_TRUE(in.Seek(500));
  EXPECT_EQ(in.Position(), 500 * 4);
  EXPECT_EQ(DrainAndCheck(in, 4096, 600 * 4, nullptr), 300 * 4);
  in.Flush();
}

TEST(StreamedInput, SeekFailuresBecomeFalse) {
  PatternInput in;
  in.TotalFrames = 1000;
  in.Init();
  EXPECT_FALSE(in.Seek(1001));  // beyond TotalSamples
  // The source raises for this target: Seek answers False and keeps the position.
  in.TotalFrames = 10;
  in.ForcePosition(40);
  EXPECT_FALSE(in.Seek(500));
  EXPECT_EQ(in.Position(), 40);
  in.Flush();
  in.SetSeekable(false);
  EXPECT_FALSE(in.Seek(0));
}

TEST(StreamedInput, InitFailurePassesMessageThroughAndMarksExhausted) {
  PatternInput in;
  in.StartError = "The file name is not assigned";
  try {
    in.Init();
    FAIL();
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "The file name is not assigned");
  }
  EXPECT_TRUE(in.EndOfStream());
  void* block = nullptr;
  uint32_t bytes = 100;
  in.GetData(block, bytes);
  EXPECT_EQ(bytes, 0u);
}

TEST(StreamedInput, ResetSwallowsFlushFailureAndClearsBusy) {
  class FailingStop final : public TAuStreamedInput {
   public:
    FailingStop() : TAuStreamedInput(nullptr) {}
    void Open() { Busy = true; }

   protected:
    uint32_t GetBitsPerSample() override { return 16; }
    uint32_t GetChannels() override { return 1; }
    uint32_t GetSampleRate() override { return 8000; }
    void StartInput() override { Busy = true; }
    void StopInput() override { throw EAuException("close failed"); }
    void ProduceData(void*&, uint32_t& Bytes) override { Bytes = 0; }
    bool SeekToSample(int64_t&) override { return true; }
  } in;
  in.Init();
  EXPECT_THROW(in.Flush(), EAuException);
  EXPECT_NO_THROW(in.Reset());
  EXPECT_FALSE(in.IsBusy());
}

TEST(StreamedInput, StreamSetterRecordsOutsideOwnership) {
  PatternInput in;
  TMemoryStream s;
  in.SetStream(&s);
  EXPECT_EQ(in.Stream(), &s);
  EXPECT_TRUE(in.StreamAssigned());
  in.SetStream(nullptr);
  EXPECT_EQ(in.Stream(), nullptr);
  EXPECT_FALSE(in.StreamAssigned());
}

// A stream handed in is the caller's: closing rewinds it and destruction leaves it alone.
TEST(FileInput, HandedInStreamIsRewoundAndNeverFreed) {
  auto s = std::make_unique<TMemoryStream>();
  s->Write("0123456789", 10);
  {
    auto in = MakeComponent<PatternFileIn>(nullptr);
    in->SetStream(s.get());
    in->Init();
    EXPECT_FALSE(in->OwnStream());
    s->Seek(7, TSeekOrigin::soBeginning);
    in->Flush();
    EXPECT_EQ(s->Position(), 0);
    EXPECT_EQ(in->Stream(), s.get());
    EXPECT_EQ(in->Channels(), 2u);  // opens the source again; destruction closes it
  }
  EXPECT_EQ(s->Size(), 10);  // still ours (a freed stream would trip the sanitizer here)
}
