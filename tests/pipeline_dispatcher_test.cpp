#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PipelineFakes.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

// Holds the process-wide dispatcher for the test and gives it senders to post for.
class Dispatcher : public ::testing::Test {
 protected:
  void SetUp() override { AcquireEventHandler(); }
  void TearDown() override {
    ReleaseEventHandler();
    EXPECT_EQ(EventHandler(), nullptr);
  }
  TEventHandler& D() { return *EventHandler(); }

  // A non-GUI event that keeps the dispatcher thread busy until Open().
  void HoldDispatcher() {
    D().PostNonGuiEvent(&FHolder, [this](TComponent*) {
      std::unique_lock lock(FHoldLock);
      FHeld = true;
      FHoldCond.notify_all();
      FHoldCond.wait(lock, [this] { return FReleased; });
    });
    std::unique_lock lock(FHoldLock);
    FHoldCond.wait(lock, [this] { return FHeld; });
  }
  void Open() {
    std::lock_guard lock(FHoldLock);
    FReleased = true;
    FHoldCond.notify_all();
  }

  TComponent A{nullptr}, B{nullptr};
  std::vector<std::string> log;  // main thread, or the dispatcher while the test waits

  TGenericEvent Log(std::string what) {
    return [this, what](TComponent*) { log.push_back(what); };
  }

 private:
  TComponent FHolder{nullptr};
  std::mutex FHoldLock;
  std::condition_variable FHoldCond;
  bool FHeld = false, FReleased = false;
};

std::string Joined(const std::vector<std::string>& items) {
  std::string s;
  for (const auto& i : items) s += i + ";";
  return s;
}

}  // namespace

TEST_F(Dispatcher, DeliversEventsOfTwoSendersInPostingOrderOnTheMainThread) {
  std::thread::id handlerThread;
  D().PostOnProgress(&A, Log("a1"));
  D().PostOnProgress(&B, Log("b1"));
  D().PostGenericEvent(&A, Log("a2"));
  D().PostOnProgress(&B, [&](TComponent* s) {
    handlerThread = std::this_thread::get_id();
    EXPECT_EQ(s, &B);
    log.push_back("b2");
  });
  ASSERT_TRUE(PumpUntil([&] { return log.size() == 4; }));
  EXPECT_EQ(Joined(log), "a1;b1;a2;b2;");
  EXPECT_EQ(handlerThread, std::this_thread::get_id());
}

TEST_F(Dispatcher, NonGuiEventJumpsTheQueueAndRunsOnTheDispatcherThread) {
  std::atomic<bool> nonGuiDone{false}, nonGuiOnMain{true};
  auto progress = [&](std::string name) {
    return [&, name](TComponent*) { log.push_back(name + (nonGuiDone ? " after" : " before")); };
  };
  HoldDispatcher();
  D().PostOnProgress(&A, progress("p1"));
  D().PostOnProgress(&A, progress("p2"));
  D().PostOnProgress(&A, progress("p3"));
  D().PostNonGuiEvent(&A, [&](TComponent*) {
    nonGuiOnMain = IsMainThread();
    nonGuiDone = true;
  });
  Open();
  ASSERT_TRUE(PumpUntil([&] { return log.size() == 3; }));
  EXPECT_EQ(Joined(log), "p1 after;p2 after;p3 after;");
  EXPECT_FALSE(nonGuiOnMain);
}

TEST_F(Dispatcher, BlockClearAndUnblock) {
  HoldDispatcher();
  D().PostOnProgress(&A, Log("a-queued"));
  D().PostOnProgress(&B, Log("b-queued"));
  D().BlockEvents(&A);
  D().ClearEvents(&A);
  D().PostOnProgress(&A, Log("a-refused"));
  D().PostOnProgress(&B, Log("b-accepted"));
  D().UnblockEvents(&B);  // B was not blocked: A stays blocked
  D().PostOnProgress(&A, Log("a-still-refused"));
  D().UnblockEvents(&A);
  D().PostOnProgress(&A, Log("a-after"));
  Open();
  ASSERT_TRUE(DrainEvents());
  EXPECT_EQ(Joined(log), "b-queued;b-accepted;a-after;");
}

// Synchronous stops may nest (a handler run during one stops another output, or the same
// one): each unblock lifts only the block it pairs with.
TEST_F(Dispatcher, BlocksNestAndEachUnblockLiftsOne) {
  HoldDispatcher();
  D().BlockEvents(&A);
  D().BlockEvents(&B);
  D().BlockEvents(&A);
  D().PostOnProgress(&A, Log("a1"));
  D().PostOnProgress(&B, Log("b1"));
  D().UnblockEvents(&A);
  D().PostOnProgress(&A, Log("a2"));
  D().UnblockEvents(&B);
  D().PostOnProgress(&B, Log("b2"));
  D().UnblockEvents(&A);
  D().PostOnProgress(&A, Log("a3"));
  Open();
  ASSERT_TRUE(DrainEvents());
  EXPECT_EQ(Joined(log), "b2;a3;");
}

TEST_F(Dispatcher, SurvivesAHandlerThatThrows) {
  D().PostOnProgress(&A, [](TComponent*) { throw EAuException("handler failed"); });
  D().PostOnProgress(&A, [](TComponent*) { throw std::runtime_error("not even ours"); });
  D().PostOnProgress(&B, Log("later"));
  ASSERT_TRUE(PumpUntil([&] { return log.size() == 1; }));
  EXPECT_EQ(log[0], "later");
}

TEST_F(Dispatcher, ManyThreadsPostingAtOnceLoseNothingAndKeepEachThreadsOrder) {
  constexpr int kThreads = 8, kEach = 200;
  std::vector<std::vector<int>> seen(kThreads);
  std::vector<std::unique_ptr<TComponent>> senders;
  for (int t = 0; t < kThreads; ++t) senders.push_back(std::make_unique<TComponent>(nullptr));
  Signal go;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      go.Wait();
      for (int i = 0; i < kEach; ++i)
        D().PostGenericEvent(senders[t].get(),
                             [&seen, t, i](TComponent*) { seen[t].push_back(i); });
    });
  go.Raise();
  size_t total = 0;
  ASSERT_TRUE(PumpUntil(
      [&] {
        total = 0;
        for (auto& s : seen) total += s.size();
        return total == kThreads * kEach;
      },
      20000));
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<size_t>(kEach));
    for (int i = 0; i < kEach; ++i) ASSERT_EQ(seen[t][i], i);
  }
}

// The test posts the done record itself, to have records queued behind it for certain: a
// worker posts its own just before it sleeps, and nothing tells when it has.
TEST_F(Dispatcher, DoneWithoutHandlerDropsTheOutputsLaterRecords) {
  auto out = MakeComponent<MemorySinkOutput>(nullptr);
  TAuThread worker(out.get());  // as the worker of a run that has ended: asleep
  HoldDispatcher();
  D().PostOnProgress(out.get(), Log("progress"));
  D().PostOnDone(out.get(), &worker, 0);
  D().PostOnProgress(out.get(), Log("after done"));
  D().PostOnProgress(&B, Log("other sender"));
  Open();
  ASSERT_TRUE(PumpUntil([&] { return !log.empty() && log.back() == "other sender"; }));
  EXPECT_EQ(Joined(log), "progress;other sender;");
}

TEST(DispatcherLifetime, LastOutputTakesTheDispatcherAndQueuedRecordsWithIt) {
  std::atomic<int> delivered{0};
  // Shared by every record's handler: its count tells how many records are still kept.
  auto records = std::make_shared<int>();
  {
    auto out = MakeComponent<MemorySinkOutput>(nullptr);
    ASSERT_NE(EventHandler(), nullptr);
    for (int i = 0; i < 20; ++i)
      EventHandler()->PostOnProgress(out.get(), [&, records](TComponent*) { ++delivered; });
    const auto start = std::chrono::steady_clock::now();
    out.reset();  // not pumping: at most the record in flight is served
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
  EXPECT_EQ(EventHandler(), nullptr);
  EXPECT_LE(delivered, 1);
  // None is left to be delivered later, nor queued for the main thread.
  EXPECT_EQ(records.use_count(), 1);
  EXPECT_FALSE(CheckSynchronize());
  EXPECT_LE(delivered, 1);
}

TEST(DispatcherLifetime, SecondOutputSharesTheDispatcher) {
  auto first = MakeComponent<MemorySinkOutput>(nullptr);
  TEventHandler* shared = EventHandler();
  {
    auto second = MakeComponent<MemorySinkOutput>(nullptr);
    EXPECT_EQ(EventHandler(), shared);
  }
  EXPECT_EQ(EventHandler(), shared);
  first.reset();
  EXPECT_EQ(EventHandler(), nullptr);
}
