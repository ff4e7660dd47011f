#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "PipelineFakes.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

struct Rig {
  TComponentPtr<PatternInput> in = MakeComponent<PatternInput>(nullptr);
  TComponentPtr<MemorySinkOutput> out = MakeComponent<MemorySinkOutput>(nullptr);
  std::vector<std::string> log;  // main thread only
  int dones = 0;

  Rig() {
    in->TotalFrames = 250;  // 1000 bytes
    out->SetInput(in.get());
    out->SetOnDone([this](TComponent* s) {
      EXPECT_EQ(s, out.get());
      EXPECT_TRUE(IsMainThread());
      EXPECT_EQ(out->Status(), TOutputStatus::tosIdle);  // OnDone finds the output idle
      log.push_back("done");
      ++dones;
    });
    out->SetOnProgress([this](TComponent*) {
      EXPECT_TRUE(IsMainThread());
      log.push_back("progress " + std::to_string(out->Progress()));
    });
    out->SetOnThreadException(
        [this](TComponent*) { log.push_back("exception " + out->ExceptionMessage()); });
  }
  bool WaitDone(int n = 1) {
    return PumpUntil([&] { return dones >= n; });
  }
};

std::string Joined(const std::vector<std::string>& items) {
  std::string s;
  for (const auto& i : items) s += i + ";";
  return s;
}

}  // namespace

TEST(Output, RunDeliversAllDataWithProgressThenDone) {
  Rig r;
  r.out->Run();
  ASSERT_TRUE(r.WaitDone());
  // One progress event for each of 40, 80 and 100 %, then done.
  ASSERT_EQ(r.log.size(), 4u) << Joined(r.log);
  EXPECT_EQ(r.log.back(), "done");
  std::vector<uint8_t> data = r.out->Data();
  ASSERT_EQ(data.size(), 1000u);
  for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(data[i], PatternByte(i));
  EXPECT_EQ(r.out->Finishes, 1);
  EXPECT_FALSE(r.in->IsBusy());  // FinishOutput flushed the input
  EXPECT_EQ(r.out->ExceptionMessage(), "");
}

TEST(Output, ProgressValuesFollowThePositionOfEachBlock) {
  Rig r;
  // The handler reads the live value, so the gate holds the worker until the handler of the
  // event posted before each block has run.
  std::vector<int> seen;
  r.out->SetOnProgress([&](TComponent*) { seen.push_back(r.out->Progress()); });
  r.out->CloseGate();
  for (int run = 1; run <= 2; ++run) {
    r.out->Run();
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(r.out->WaitAtGate());
      ASSERT_TRUE(DrainEvents());
      r.out->Release();
    }
    ASSERT_TRUE(r.WaitDone(run));
  }
  // The second run starts at 0 while the last value posted was 100: it posts 0 first.
  EXPECT_EQ(seen, (std::vector<int>{40, 80, 100, 0, 40, 80, 100}));
}

// The announced size is an estimate: a run that reaches its input's end reports 100 however
// far from the estimate it ended; a stopped or failed run does not.
TEST(Output, ProgressReaches100ExactlyWhenARunReachesItsInputsEnd) {
  struct {
    const char* name;
    std::optional<int64_t> announced;
    int failAfter;
    bool stop;
    std::vector<int> seen;
  } cases[] = {{"exact", std::nullopt, -1, false, {40, 80, 100}},
               {"four times the data", 4000, -1, false, {10, 20, 25, 100}},
               {"unknown", -1, -1, false, {-1, 100}},
               {"failed", 4000, 1, false, {10}},
               {"stopped", 4000, -1, true, {10}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    r.in->AnnouncedSize = c.announced;
    r.in->FailAfterBlocks = c.failAfter;
    // As above: the gate keeps the worker from running ahead of the handler.
    std::vector<int> seen;
    r.out->SetOnProgress([&](TComponent*) { seen.push_back(r.out->Progress()); });
    r.out->CloseGate();
    r.out->Run();
    int step = 0;
    ASSERT_TRUE(PumpUntil([&] {
      if (!r.out->WaitAtGate(0)) return r.dones > 0;
      EXPECT_TRUE(DrainEvents());  // the event posted before this block has been handled
      if (c.stop && step == 1) r.out->Stop(true);
      r.out->Release();
      ++step;
      return false;
    }));
    EXPECT_EQ(seen, c.seen);
    EXPECT_EQ(r.out->Progress() == 100, c.seen.back() == 100) << r.out->Progress();
  }

  // The next run reads the live position again.
  Rig r;
  r.in->AnnouncedSize = 4000;
  r.out->Run();
  ASSERT_TRUE(r.WaitDone());
  EXPECT_EQ(r.out->Progress(), 100);
  r.out->CloseGate();
  r.out->Run();
  ASSERT_TRUE(r.out->WaitAtGate());
  EXPECT_EQ(r.out->Progress(), 0);
  r.out->OpenGate();
  ASSERT_TRUE(r.WaitDone(2));
  EXPECT_EQ(r.out->Progress(), 100);
}

TEST(Output, RunRefusesWhileBusyAndWithoutInput) {
  Rig r;
  r.out->CloseGate();
  r.out->Run();
  try {
    r.out->Run();
    FAIL();
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "Component is Busy");
  }
  r.out->OpenGate();
  ASSERT_TRUE(r.WaitDone());
  r.out->Run();  // after OnDone a further Run succeeds
  ASSERT_TRUE(r.WaitDone(2));

  auto lone = MakeComponent<MemorySinkOutput>(nullptr);
  try {
    lone->Run();
    FAIL();
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "Input is not assigned");
  }
  EXPECT_EQ(lone->Status(), TOutputStatus::tosIdle);
  try {
    lone->Pause();
    FAIL();
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "Input is not assigned.");
  }
  int done = 0;
  lone->SetOnDone([&](TComponent*) { ++done; });
  lone->SetInput(r.in.get());
  lone->Run();
  EXPECT_TRUE(PumpUntil([&] { return done == 1; }));
}

TEST(Output, RunRightAfterConstructionIsNeverLost) {
  PatternInput in;
  in.TotalFrames = 10;
  for (int i = 0; i < 50; ++i) {
    auto out = MakeComponent<MemorySinkOutput>(nullptr);
    bool done = false;
    out->SetOnDone([&](TComponent*) { done = true; });
    out->SetInput(&in);
    out->Run();
    ASSERT_TRUE(PumpUntil([&] { return done; })) << "run " << i << " was lost";
  }
}

TEST(Output, FailedStartIsReportedThenDone) {
  Rig r;
  r.in->StartError = "The component is Busy";
  r.out->Run();
  ASSERT_TRUE(r.WaitDone());
  EXPECT_EQ(Joined(r.log), "exception The component is Busy;done;");
  EXPECT_EQ(r.out->ExceptionMessage(), "The component is Busy");
  EXPECT_EQ(r.out->Status(), TOutputStatus::tosIdle);
  EXPECT_EQ(r.out->Finishes, 1);  // the end step runs after a failed set-up too

  r.in->StartError.clear();  // a later run works and clears the message
  r.out->Run();
  EXPECT_EQ(r.out->ExceptionMessage(), "");
  ASSERT_TRUE(r.WaitDone(2));
}

TEST(Output, FailuresInPrepareBlocksAndFinishEndTheRunCleanly) {
  Rig r;
  r.out->PrepareError = "cannot create file";
  r.out->Run();
  ASSERT_TRUE(r.WaitDone());
  EXPECT_EQ(r.out->ExceptionMessage(), "cannot create file");
  EXPECT_FALSE(r.in->IsBusy());

  r.out->PrepareError.clear();
  r.in->FailAfterBlocks = 1;
  r.out->Run();
  ASSERT_TRUE(r.WaitDone(2));
  EXPECT_EQ(r.out->ExceptionMessage(), "decode failed");
  EXPECT_FALSE(r.in->IsBusy());  // FinishOutput ended the pass

  // A file that cannot be finished (the last write, a header rewrite) fails the run too.
  r.in->FailAfterBlocks = -1;
  r.out->FinishError = "flush failed";
  r.log.clear();
  r.out->Run();
  ASSERT_TRUE(r.WaitDone(3));
  EXPECT_EQ(r.out->Status(), TOutputStatus::tosIdle);
  EXPECT_EQ(r.out->ExceptionMessage(), "flush failed");
  EXPECT_FALSE(r.out->RunComplete());
  EXPECT_NE(Joined(r.log).find("exception flush failed;"), std::string::npos) << Joined(r.log);
  EXPECT_EQ(r.log.back(), "done");

  // The first failure is the one kept: a finish that fails after a failed block adds nothing.
  r.in->FailAfterBlocks = 1;
  r.out->Run();
  ASSERT_TRUE(r.WaitDone(4));
  EXPECT_EQ(r.out->ExceptionMessage(), "decode failed");
}

TEST(Output, AfterFinishStepRunsOnTheWorkerOnlyForAWholeRunAndCanFailIt) {
  Rig r;
  std::atomic<int> steps{0};
  std::atomic<bool> onWorker{false}, sawFinished{false};
  r.out->SetAfterFinish([&](TAuOutput& sender) {
    ++steps;
    onWorker = !IsMainThread();
    sawFinished = r.out->Finishes == 1 && &sender == r.out.get() && !sender.RunComplete();
  });
  r.out->Run();
  ASSERT_TRUE(r.WaitDone());
  EXPECT_EQ(steps, 1);
  EXPECT_TRUE(onWorker);
  EXPECT_TRUE(sawFinished);  // after the output's own end, before the run counts as complete
  EXPECT_TRUE(r.out->RunComplete());

  // A failed run's file is not worth the step.
  r.in->FailAfterBlocks = 1;
  r.out->Run();
  ASSERT_TRUE(r.WaitDone(2));
  EXPECT_EQ(steps, 1);
  r.in->FailAfterBlocks = -1;

  // What the step raises fails the run.
  r.out->SetAfterFinish([](TAuOutput&) { throw EAuException("read back failed"); });
  r.log.clear();
  r.out->Run();
  ASSERT_TRUE(r.WaitDone(3));
  EXPECT_FALSE(r.out->RunComplete());
  EXPECT_EQ(r.out->ExceptionMessage(), "read back failed");

  // A stopped run skips it, and a stop during it leaves the run incomplete.
  r.out->SetAfterFinish([&](TAuOutput&) { ++steps; });
  r.out->CloseGate();
  r.out->Run();
  ASSERT_TRUE(r.out->WaitAtGate());
  {
    ReleaseDuringStop release(*r.out);
    r.out->Stop(false);
  }
  EXPECT_EQ(steps, 1);
  EXPECT_FALSE(r.out->RunComplete());
  r.out->OpenGate();

  Signal inStep, stopped;
  std::atomic<bool> sawStop{false};
  r.out->SetAfterFinish([&](TAuOutput& sender) {
    inStep.Raise();
    stopped.Wait();
    sawStop = sender.StopRequested();
  });
  r.out->Run();
  ASSERT_TRUE(inStep.Wait());
  r.out->Stop(true);
  stopped.Raise();
  ASSERT_TRUE(r.WaitDone(4));
  EXPECT_TRUE(sawStop);
  EXPECT_FALSE(r.out->RunComplete());
}

TEST(Output, DoneHandlerMayRunTheOutputAgain) {
  Rig r;
  r.out->SetOnDone([&](TComponent*) {
    if (++r.dones < 3) r.out->Run();
  });
  r.out->Run();
  ASSERT_TRUE(PumpUntil([&] { return r.dones == 3; }));
  EXPECT_EQ(r.out->Prepares, 3);
}

TEST(Output, SyncDoneRunsOnWorkerAndMayNotStopItsOwnThread) {
  Rig r;
  std::atomic<bool> onWorker{false};
  std::string message;
  r.out->SetOnSyncDone([&](TComponent*) {
    onWorker = !IsMainThread();
    try {
      r.out->Stop(false);
    } catch (const EAuException& e) {
      message = e.what();
    }
  });
  r.out->Run();
  ASSERT_TRUE(r.WaitDone());
  EXPECT_TRUE(onWorker);
  EXPECT_EQ(message, "You are trying to stop this thread from the thread itself!");
}

TEST(Output, AsyncStopEndsAfterTheCurrentBlockAndStillReportsDone) {
  Rig r;
  r.out->CloseGate();
  r.out->Run();
  ASSERT_TRUE(r.out->WaitAtGate());
  r.out->Stop(true);  // returns at once, although the worker is held in a block
  EXPECT_EQ(r.out->Status(), TOutputStatus::tosPlaying);
  r.out->Release();
  ASSERT_TRUE(r.WaitDone());
  EXPECT_EQ(r.out->Blocks, 1);
  EXPECT_TRUE(r.out->SawStoppedInFinish);
}

TEST(Output, SyncStopDropsQueuedEventsAndSwallowsDone) {
  Watchdog watchdog(30);
  Rig r;
  r.in->TotalFrames = 25000;  // 100 blocks of 400 bytes
  r.out->CloseGate();
  r.out->Run();
  for (int i = 0; i < 3; ++i) {  // progress 0.4 %, 0.8 %, 1.2 % -> 0, 1, 1: one event queued
    ASSERT_TRUE(r.out->WaitAtGate());
    r.out->Release();
  }
  ASSERT_TRUE(r.out->WaitAtGate());
  {
    ReleaseDuringStop release(*r.out, 1);
    r.out->Stop(false);  // waits for the worker to sleep, without OnDone
  }
  EXPECT_EQ(r.out->Blocks, 4);  // the run ended with the block it was in
  EXPECT_EQ(r.out->Status(), TOutputStatus::tosIdle);
  ASSERT_TRUE(DrainEvents());
  EXPECT_EQ(r.dones, 0);
  EXPECT_TRUE(r.log.empty()) << Joined(r.log);

  r.out->OpenGate();  // a later run reports normally
  r.out->Run();
  ASSERT_TRUE(r.WaitDone());
  EXPECT_EQ(r.log.back(), "done");
}

// Holds the worker in its first block (past the set-up, which would drop a pause request),
// then pauses it at the next pause point.
void RunAndPause(Rig& r) {
  r.out->CloseGate();
  r.out->Run();
  ASSERT_TRUE(r.out->WaitAtGate());
  r.out->OpenGate();
  r.out->Pause();
}

TEST(Output, StopWhilePausedWakesTheWorker) {
  Rig r;
  r.in->TotalFrames = 2500000;  // long enough that the run cannot end before the pause
  RunAndPause(r);
  EXPECT_EQ(r.out->Status(), TOutputStatus::tosPaused);
  r.out->Stop(false);
  EXPECT_EQ(r.out->Status(), TOutputStatus::tosIdle);
  ASSERT_TRUE(DrainEvents());
  EXPECT_EQ(r.dones, 0);
}

TEST(Output, PauseAndResumeSwitchStatus) {
  Rig r;
  r.in->TotalFrames = 2500000;  // long enough that the run cannot end before the pause
  // How long the running worker takes for 50 blocks on this machine, now: a paused one makes
  // none in that time.
  r.out->CloseGate();
  r.out->Run();
  ASSERT_TRUE(r.out->WaitAtGate());
  const auto started = std::chrono::steady_clock::now();
  r.out->OpenGate();
  ASSERT_TRUE(PumpUntil([&] { return r.out->Blocks > 50; }));
  const auto fiftyBlocks = std::chrono::steady_clock::now() - started;
  r.out->Pause();
  EXPECT_EQ(r.out->Status(), TOutputStatus::tosPaused);
  const int blocks = r.out->Blocks;
  PumpFor(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(fiftyBlocks).count() + 1));
  EXPECT_EQ(r.out->Blocks, blocks);  // nothing moves while paused
  r.out->Resume();
  EXPECT_EQ(r.out->Status(), TOutputStatus::tosPlaying);
  ASSERT_TRUE(r.WaitDone(1));
  EXPECT_EQ(r.out->Data().size(), 10000000u);
}

TEST(Output, ResumeBeforeTheWorkerPausedCancelsThePause) {
  Rig r;
  r.out->CloseGate();
  r.out->Run();
  ASSERT_TRUE(r.out->WaitAtGate());
  Signal paused;
  std::thread pauser([&] {
    r.out->Pause();  // waits for a pause that Resume cancels
    paused.Raise();
  });
  // While the worker is held at the gate only a Resume ends Pause's wait, and a Resume that
  // comes before Pause has asked for the pause has nothing to cancel: resume until it returns.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    r.out->Resume();
  } while (!paused.WaitFor(1) && std::chrono::steady_clock::now() < deadline);
  EXPECT_TRUE(paused.Raised());
  r.out->OpenGate();
  pauser.join();
  // A pause left pending would hold the worker now that the gate is open.
  ASSERT_TRUE(r.WaitDone());
  EXPECT_EQ(r.out->Data().size(), 1000u);
}

TEST(Output, DelayRules) {
  Rig r;
  EXPECT_EQ(r.out->Delay(), 0);
  r.out->SetDelay(150);
  EXPECT_EQ(r.out->Delay(), 0);
  r.out->SetDelay(5);
  EXPECT_EQ(r.out->Delay(), 5);
  r.out->SetDelay(100);
  EXPECT_EQ(r.out->Delay(), 100);
  r.out->SetDelay(150);
  EXPECT_EQ(r.out->Delay(), 100);
}

TEST(Output, ComputedProgressAndTimeRoundTiesToEven) {
  Rig r;
  EXPECT_EQ(r.out->Progress(), 0);  // Size 0 outside a pass
  r.in->ForceSize(1000);
  r.in->ForcePosition(5);  // 0.5 %
  EXPECT_EQ(r.out->Progress(), 0);
  r.in->ForcePosition(15);  // 1.5 %
  EXPECT_EQ(r.out->Progress(), 2);
  r.in->ForceSize(-1);
  EXPECT_EQ(r.out->Progress(), -1);
  r.in->ForcePosition(44100 * 4 * 5 / 2);  // 2.5 s of 16-bit stereo
  EXPECT_EQ(r.out->TimeElapsed(), 2);
  r.in->Rate = 0;
  EXPECT_EQ(r.out->TimeElapsed(), 0);
  auto lone = MakeComponent<MemorySinkOutput>(nullptr);
  EXPECT_EQ(lone->Progress(), 0);
  EXPECT_EQ(lone->TimeElapsed(), 0);
}

TEST(Output, BlockingRunWorksOnTheCallerThreadWithoutEvents) {
  Rig r;
  r.out->BlockingRun();
  EXPECT_EQ(r.out->Data().size(), 1000u);
  EXPECT_EQ(r.out->Status(), TOutputStatus::tosIdle);
  ASSERT_TRUE(DrainEvents());
  EXPECT_TRUE(r.log.empty());

  r.in->FailAfterBlocks = 0;
  EXPECT_THROW(r.out->BlockingRun(), EAuException);
  EXPECT_EQ(r.out->Status(), TOutputStatus::tosIdle);  // nothing left half-done
  EXPECT_FALSE(r.in->IsBusy());
}

TEST(Output, AbortLeavesNoLiveRunAndALaterRunWorks) {
  Watchdog watchdog(30);
  Rig r;
  r.out->SetDelay(3);
  r.out->CloseGate();
  r.out->Run();
  ASSERT_TRUE(r.out->WaitAtGate());
  {
    ReleaseDuringStop release(*r.out);
    r.out->Abort();
  }
  EXPECT_EQ(r.out->Status(), TOutputStatus::tosIdle);
  EXPECT_FALSE(r.in->IsBusy());
  EXPECT_EQ(r.out->Delay(), 3);  // the setting outlives the worker
  ASSERT_TRUE(DrainEvents());
  EXPECT_EQ(r.dones, 0);
  r.out->Run();
  EXPECT_EQ(r.out->Delay(), 3);  // and reaches the new one
  ASSERT_TRUE(r.WaitDone());
  EXPECT_EQ(r.out->Prepares, 2);
}

TEST(Output, NewInputWhileBusyRestartsTheRunWithoutDone) {
  Watchdog watchdog(30);
  Rig r;
  PatternInput second;
  second.TotalFrames = 50;
  r.out->CloseGate();
  r.out->Run();
  ASSERT_TRUE(r.out->WaitAtGate());
  {
    ReleaseDuringStop release(*r.out);
    r.out->SetInput(&second);
  }
  ASSERT_TRUE(r.WaitDone());
  EXPECT_EQ(r.dones, 1);
  EXPECT_EQ(second.Starts, 1);
  EXPECT_EQ(r.out->Prepares, 2);
  r.out->SetInput(nullptr);
}

TEST(Output, DestroyedInputIsDroppedEvenWhileRunning) {
  Watchdog watchdog(30);
  auto out = MakeComponent<MemorySinkOutput>(nullptr);
  auto in = MakeComponent<PatternInput>(nullptr);
  in->TotalFrames = 25000;
  out->SetInput(in.get());
  out->CloseGate();
  out->Run();
  ASSERT_TRUE(out->WaitAtGate());
  {
    ReleaseDuringStop release(*out);
    in.reset();  // stops the run; the restart fails for want of an input
  }
  EXPECT_EQ(out->Input(), nullptr);
  EXPECT_EQ(out->Status(), TOutputStatus::tosIdle);
}

TEST(Output, DestroyingIdleAndRunningOutputsEndsTheirWorkers) {
  Watchdog watchdog(30);
  PatternInput in;
  in.TotalFrames = 250000;
  { auto idle = MakeComponent<MemorySinkOutput>(nullptr); }
  auto owner = MakeComponent<TComponent>(nullptr);
  auto* running = new MemorySinkOutput(owner.get());
  running->SetInput(&in);
  running->CloseGate();
  running->Run();
  ASSERT_TRUE(running->WaitAtGate());
  {
    ReleaseDuringStop release(*running);
    owner.reset();  // the owner frees the running output: stopped, worker joined
  }
  EXPECT_FALSE(in.IsBusy());
  EXPECT_EQ(EventHandler(), nullptr);  // the last output took the dispatcher with it
}

TEST(Output, ManyOutputsRunAtOnceAndAllReportDone) {
  constexpr int kOutputs = 6;
  std::vector<TComponentPtr<PatternInput>> ins;
  std::vector<TComponentPtr<MemorySinkOutput>> outs;
  int done = 0;
  for (int i = 0; i < kOutputs; ++i) {
    ins.push_back(MakeComponent<PatternInput>(nullptr));
    ins.back()->TotalFrames = 20000;
    ins.back()->MaxBlock = 512;
    outs.push_back(MakeComponent<MemorySinkOutput>(nullptr));
    outs.back()->SetInput(ins.back().get());
    outs.back()->SetOnDone([&](TComponent*) { ++done; });
    outs.back()->SetOnProgress([](TComponent*) {});
  }
  for (int round = 1; round <= 3; ++round) {
    for (auto& o : outs) o->Run();
    ASSERT_TRUE(PumpUntil([&] { return done == round * kOutputs; })) << done;
  }
  for (auto& o : outs) EXPECT_EQ(o->Data().size(), 3u * 80000u);
}
