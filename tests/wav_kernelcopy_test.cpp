// WAV to WAV between two files goes through the kernel in blocks of 2 MiB: each block moves
// the progress, and a stop between two blocks ends the run there with a whole file of the
// blocks before it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "AppTestFiles.h"
#include "PipelineFakes.h"
#include "wav/AuWave.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

constexpr int64_t kBlock = 1 << 21;
// Longer than the test waits for anything, so a held worker is only ever released by it.
constexpr auto kHoldAtMost = std::chrono::seconds(60);
constexpr auto kPatience = std::chrono::seconds(30);

// What the worker copied, block by block; it may be held after one of them until released.
class CopiedBlocks {
 public:
  explicit CopiedBlocks(int HoldAfter = 0) : FHoldAfter(HoldAfter) {}

  void Copied(int64_t Bytes) {
    std::unique_lock lock(FLock);
    FSizes.push_back(Bytes);
    FChanged.notify_all();
    if (static_cast<int>(FSizes.size()) == FHoldAfter)
      FChanged.wait_for(lock, kHoldAtMost, [this] { return FReleased; });
  }
  bool WaitFor(size_t Count) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, kPatience, [&] { return FSizes.size() >= Count; });
  }
  void Release() {
    std::lock_guard lock(FLock);
    FReleased = true;
    FChanged.notify_all();
  }
  std::vector<int64_t> Sizes() {
    std::lock_guard lock(FLock);
    return FSizes;
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<int64_t> FSizes;
  const int FHoldAfter;
  bool FReleased = false;
};

// Four whole blocks and a half one of 16-bit stereo.
struct Source {
  Source() { WriteWav(Dir / "in.wav", Pcm, 2, 16, 44100); }
  TempDir Dir;
  std::vector<uint8_t> Pcm = RampPcm(static_cast<int>((4 * kBlock + kBlock / 2) / 4), 2, 16);
};

struct Copy {
  Copy(const Source& From, CopiedBlocks& Blocks) {
    In->OnKernelCopy = [&Blocks](int64_t Bytes) { Blocks.Copied(Bytes); };
    In->SetFileName(From.Dir / "in.wav");
    Out->SetInput(In.get());
    Out->SetFileName(From.Dir / "out.wav");
    Out->SetOnProgress([this](TComponent*) { Progress.push_back(Out->Progress()); });
  }
  TComponentPtr<TWaveIn> In = MakeComponent<TWaveIn>(nullptr);
  TComponentPtr<TWaveOut> Out = MakeComponent<TWaveOut>(nullptr);
  std::vector<int32_t> Progress;  // as each progress event found it
};

bool Idle(const TAuOutput& Out) {
  return Out.Status() == TOutputStatus::tosIdle;
}

}  // namespace

TEST(WaveKernelCopy, EveryBlockGoesThroughTheKernelAndMovesTheProgress) {
  Source source;
  CopiedBlocks blocks;
  Copy copy(source, blocks);
  copy.Out->Run();
  ASSERT_TRUE(PumpUntil([&] { return Idle(*copy.Out); }, 30000));
  ASSERT_TRUE(DrainEvents());
  EXPECT_EQ(copy.Out->ExceptionMessage(), "");
  EXPECT_TRUE(copy.Out->RunComplete());
  std::vector<int64_t> expected(4, kBlock);
  expected.push_back(kBlock / 2);
  EXPECT_EQ(blocks.Sizes(), expected);
  EXPECT_EQ(WavPayload(source.Dir / "out.wav"), source.Pcm);
  // An event for each block's step of about 22 %, whenever the handler got to read it.
  EXPECT_EQ(copy.Progress.size(), 5u);
  EXPECT_TRUE(std::is_sorted(copy.Progress.begin(), copy.Progress.end()));
  EXPECT_EQ(copy.Progress.back(), 100);
}

TEST(WaveKernelCopy, StopBetweenTwoBlocksKeepsTheBlocksBeforeIt) {
  Source source;
  CopiedBlocks blocks(3);
  Copy copy(source, blocks);
  copy.Out->Run();
  // Held in its third block, the worker has counted two.
  ASSERT_TRUE(blocks.WaitFor(3));
  const auto twoBlocks =
      static_cast<int32_t>(std::lround(200.0 * kBlock / static_cast<double>(source.Pcm.size())));
  EXPECT_TRUE(PumpUntil([&] { return !copy.Progress.empty() && copy.Progress.back() == twoBlocks; },
                        30000));
  copy.Out->Stop(true);
  blocks.Release();
  ASSERT_TRUE(PumpUntil([&] { return Idle(*copy.Out); }, 30000));
  ASSERT_TRUE(DrainEvents());
  EXPECT_FALSE(copy.Out->RunComplete());
  EXPECT_EQ(blocks.Sizes(), std::vector<int64_t>(3, kBlock));
  // The header tells what the file holds: the three blocks, nothing after them.
  EXPECT_EQ(WavPayload(source.Dir / "out.wav"),
            std::vector<uint8_t>(source.Pcm.begin(), source.Pcm.begin() + 3 * kBlock));
  EXPECT_EQ(std::filesystem::file_size(source.Dir / "out.wav"), 44u + 3 * kBlock);
}
