#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "PipelineFakes.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

enum class Handler { OnDone, OnProgress, OnThreadException };
enum class Action { FreeLast, FreeWithAnother, Abort };

std::string Name(const ::testing::TestParamInfo<std::tuple<Handler, Action>>& info) {
  static const char* handlers[] = {"OnDone", "OnProgress", "OnThreadException"};
  static const char* actions[] = {"FreeLast", "FreeWithAnother", "Abort"};
  return std::string(handlers[static_cast<int>(std::get<0>(info.param))]) +
         actions[static_cast<int>(std::get<1>(info.param))];
}

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

// An output may be destroyed or aborted anywhere but on its own worker, including inside
// the handlers the dispatcher is delivering for it.
class FromOwnHandler : public ::testing::TestWithParam<std::tuple<Handler, Action>> {};

TEST_P(FromOwnHandler, DoesNotHangAndLeavesTheDispatcherUsable) {
  const auto [handler, action] = GetParam();
  Watchdog watchdog(30);
  PatternInput in;
  in.TotalFrames = 250;
  if (handler == Handler::OnThreadException) in.FailAfterBlocks = 1;
  TComponentPtr<MemorySinkOutput> next;
  if (action == Action::FreeWithAnother) next = MakeComponent<MemorySinkOutput>(nullptr);
  auto* out = new MemorySinkOutput(nullptr);
  out->SetInput(&in);
  bool acted = false;
  auto act = [&](TComponent* sender) {
    if (std::exchange(acted, true)) return;
    EXPECT_EQ(sender, out);
    if (action == Action::Abort) {
      out->Abort();
    } else {
      TComponent::Free(std::exchange(out, nullptr));
    }
  };
  out->SetOnDone([&](TComponent* s) {
    if (handler == Handler::OnDone) act(s);
  });
  if (handler == Handler::OnProgress) out->SetOnProgress(act);
  if (handler == Handler::OnThreadException) out->SetOnThreadException(act);
  out->Run();
  ASSERT_TRUE(PumpUntil([&] { return acted; }));
  EXPECT_EQ(EventHandler() == nullptr, action == Action::FreeLast);

  // An aborted output runs again; otherwise another output does, through the same
  // dispatcher or a new one. Its run is reported as usual.
  if (action == Action::Abort) {
    next.reset(std::exchange(out, nullptr));
    next->SetOnProgress(nullptr);
    EXPECT_FALSE(in.IsBusy());
  } else if (!next) {
    next = MakeComponent<MemorySinkOutput>(nullptr);
  }
  in.FailAfterBlocks = -1;
  bool done = false;
  next->SetOnDone([&](TComponent*) { done = true; });
  next->SetInput(&in);
  next->Run();
  EXPECT_TRUE(PumpUntil([&] { return done; }));
  EXPECT_EQ(next->ExceptionMessage(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Output, FromOwnHandler,
    ::testing::Combine(::testing::Values(Handler::OnDone, Handler::OnProgress,
                                         Handler::OnThreadException),
                       ::testing::Values(Action::FreeLast, Action::FreeWithAnother, Action::Abort)),
    Name);

TEST(Output, AbortThenRunPerformsExactlyOneRun) {
  Watchdog watchdog(60);
  PatternInput in;
  in.TotalFrames = 10;
  auto out = MakeComponent<MemorySinkOutput>(nullptr);
  out->SetInput(&in);
  int dones = 0;
  out->SetOnDone([&](TComponent*) { ++dones; });
  // The lost race needs the new worker to look before Run has counted its request, which
  // takes many tries to happen.
  for (int i = 1; i <= 1000; ++i) {
    out->Abort();  // the next Run starts a new worker
    out->Run();
    ASSERT_TRUE(PumpUntil([&] { return dones == i; })) << "run " << i;
    ASSERT_TRUE(DrainEvents());
    ASSERT_EQ(out->Prepares, i) << "run " << i << " was performed twice";
    ASSERT_EQ(out->Finishes, i);
    ASSERT_FALSE(in.IsBusy()) << "run " << i;
  }
}

TEST(Output, WorkerSurvivesAnExceptionOfAnyType) {
  Watchdog watchdog(30);
  PatternInput in;
  in.TotalFrames = 250;
  auto out = MakeComponent<MemorySinkOutput>(nullptr);
  out->SetInput(&in);
  int dones = 0;
  std::vector<std::string> log;
  out->SetOnThreadException([&](TComponent*) { log.push_back(out->ExceptionMessage()); });
  out->SetOnDone([&](TComponent*) { ++dones; });
  out->InBlock = [] { throw 42; };
  out->Run();
  ASSERT_TRUE(PumpUntil([&] { return dones == 1; }));
  EXPECT_EQ(log, (std::vector<std::string>{"Unknown error"}));
  EXPECT_EQ(out->Status(), TOutputStatus::tosIdle);
  EXPECT_FALSE(in.IsBusy());  // the end step ran

  out->InBlock = nullptr;
  out->Run();
  ASSERT_TRUE(PumpUntil([&] { return dones == 2; }));
  EXPECT_EQ(out->Data().size(), 1000u);
}

// B's handler stops B synchronously while the main thread waits in A's synchronous stop:
// lifting B's block must not lift A's.
TEST(Output, NestedSynchronousStopsKeepEachOthersBlock) {
  Watchdog watchdog(30);
  PatternInput inA, inB;
  inA.TotalFrames = inB.TotalFrames = 250;
  auto a = MakeComponent<MemorySinkOutput>(nullptr);
  auto b = MakeComponent<MemorySinkOutput>(nullptr);
  a->SetInput(&inA);
  b->SetInput(&inB);
  int doneA = 0, progressA = 0;
  bool nested = false;
  Signal aStopped;
  TComponent holder(nullptr);
  a->SetOnDone([&](TComponent*) { ++doneA; });
  a->SetOnProgress([&](TComponent*) { ++progressA; });
  b->SetOnProgress([&](TComponent*) {
    if (nested) return;
    nested = true;
    b->OpenGate();
    b->Stop(false);
    a->OpenGate();  // A's run ends (and posts) only after B's stop has lifted B's block
    // Whatever A posts is handled only once A's stop has returned.
    EventHandler()->PostNonGuiEvent(&holder, [&](TComponent*) { aStopped.Wait(); });
  });
  a->CloseGate();
  b->CloseGate();
  a->Run();
  b->Run();
  ASSERT_TRUE(a->WaitAtGate());
  ASSERT_TRUE(b->WaitAtGate());
  b->Release();  // B posts its first progress before its second block
  ASSERT_TRUE(b->WaitAtGate());
  a->Stop(false);  // B's progress handler runs while this waits
  aStopped.Raise();
  EXPECT_TRUE(nested);
  ASSERT_TRUE(DrainEvents());
  EXPECT_EQ(doneA, 0);
  EXPECT_EQ(progressA, 0);
  EXPECT_EQ(a->Status(), TOutputStatus::tosIdle);
}

// A slow end step: the caller of a synchronous stop waits for the worker without spinning.
class SlowFinish : public ::testing::TestWithParam<bool> {};

TEST_P(SlowFinish, SynchronousStopWaitsWithoutBurningACore) {
  const bool onMainThread = GetParam();
  Watchdog watchdog(30);
  PatternInput in;
  in.TotalFrames = 250;
  auto out = MakeComponent<MemorySinkOutput>(nullptr);
  out->SetInput(&in);
  // The end step begins its 400 ms only once the stop has begun, so they all fall inside the
  // wait measured.
  Signal stopping;
  out->InFinish = [&] {
    stopping.Wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
  };
  out->CloseGate();
  out->Run();
  ASSERT_TRUE(out->WaitAtGate());
  out->OpenGate();
  double cpu = 0, wall = 0;
  auto stop = [&] {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ThreadCpuSeconds();
    stopping.Raise();
    out->Stop(false);
    cpu = ThreadCpuSeconds() - cpuStart;
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  if (onMainThread) {
    stop();
  } else {
    std::thread(stop).join();
  }
  EXPECT_EQ(out->Status(), TOutputStatus::tosIdle);
  EXPECT_GE(wall, 0.4);
  EXPECT_LT(cpu, wall / 5) << "cpu " << cpu << " s over " << wall << " s";
}

INSTANTIATE_TEST_SUITE_P(Output, SlowFinish, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "MainThread" : "OtherThread"; });

// A file input destroyed while an output reads it: the output lets go (its run is stopped)
// before the source is closed, whether the input is freed alone or with its owner.
class InputDestroyedWhileRead : public ::testing::TestWithParam<bool> {};

TEST_P(InputDestroyedWhileRead, StopsTheReaderBeforeClosingTheSource) {
  const bool throughOwner = GetParam();
  Watchdog watchdog(30);
  auto owner = MakeComponent<TComponent>(nullptr);
  auto* out = new MemorySinkOutput(owner.get());
  auto* in = new PatternFileIn(throughOwner ? owner.get() : nullptr);  // wound down first
  in->TotalFrames = 25000;
  out->SetInput(in);
  int dones = 0;
  out->SetOnDone([&](TComponent*) { ++dones; });
  std::atomic<bool> readerStillRunning{false};
  in->OnClose = [&] {
    // The worker's own end step closes the source too; only the destroyer's close counts.
    if (IsMainThread()) readerStillRunning = out->Status() != TOutputStatus::tosIdle;
  };
  out->CloseGate();
  out->Run();
  ASSERT_TRUE(out->WaitAtGate());
  {
    ReleaseDuringStop release(*out);
    if (throughOwner) {
      owner.reset();
    } else {
      TComponent::Free(in);
    }
  }
  EXPECT_FALSE(readerStillRunning);
  if (!throughOwner) {
    ASSERT_TRUE(DrainEvents());
    EXPECT_EQ(out->Input(), nullptr);
    EXPECT_EQ(dones, 0);  // stopped, not reported as a finished file
    EXPECT_TRUE(out->SawStoppedInFinish);
    EXPECT_LT(out->Data().size(), 100000u);
    owner.reset();
  }
}

INSTANTIATE_TEST_SUITE_P(FileInput, InputDestroyedWhileRead, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "WithItsOwner" : "Alone"; });

// Another thread reads the input's properties and seeks while the worker starts and ends
// passes over an undecodable source, which switches the input to its neutral format: the
// fields involved are shared without a lock only where they are atomic.
TEST(FileInput, PropertiesAndSeekFromAnotherThreadDuringPasses) {
  Watchdog watchdog(60);
  PatternFileIn in;
  in.Decodable = false;
  auto out = MakeComponent<MemorySinkOutput>(nullptr);
  out->SetInput(&in);
  int dones = 0;
  out->SetOnDone([&](TComponent*) {
    if (++dones < 200) out->Run();
  });
  std::atomic<bool> running{true};
  std::thread reader([&] {
    while (running) {
      const uint32_t bits = in.BitsPerSample();
      EXPECT_TRUE(bits == 8 || bits == 16) << bits;
      (void)in.Channels();
      (void)in.SampleRate();
      (void)in.TotalSamples();
      (void)in.Seekable();
      (void)in.Seek(0);
    }
  });
  out->Run();
  const bool finished = PumpUntil([&] { return dones == 200; }, 50000);
  running = false;
  reader.join();
  ASSERT_TRUE(finished) << dones;
  EXPECT_EQ(out->ExceptionMessage(), "");
}
