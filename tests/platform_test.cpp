#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/Component.h"
#include "platform/Exception.h"
#include "platform/Stream.h"
#include "platform/Text.h"
#include "platform/Thread.h"

using namespace tunevert;

namespace {

// Records the destruction order and the removal notices it receives.
class Probe : public TComponent {
 public:
  Probe(TComponent* owner, std::string name, std::vector<std::string>* log)
      : TComponent(owner), FLog(log) {
    SetName(std::move(name));
  }
  ~Probe() override { FLog->push_back("destroy " + Name()); }
  TComponent* Watched = nullptr;

 protected:
  void BeforeDestruction() override { FLog->push_back("before " + Name()); }
  void Notification(TComponent* c, TOperation op) override {
    if (op == TOperation::opRemove && c == Watched) {
      FLog->push_back(Name() + " lost " + c->Name());
      Watched = nullptr;
    }
    TComponent::Notification(c, op);
  }

 private:
  std::vector<std::string>* FLog;
};

}  // namespace

TEST(Component, OwnerDestroysInReverseOrderAfterWindingAllDown) {
  std::vector<std::string> log;
  auto* owner = new Probe(nullptr, "owner", &log);
  new Probe(owner, "a", &log);
  new Probe(owner, "b", &log);
  TComponent::Free(owner);
  const std::vector<std::string> expected = {"before b",      "before a",  "before owner",
                                             "destroy owner", "destroy b", "destroy a"};
  EXPECT_EQ(log, expected);
}

TEST(Component, RemovalReachesSiblingsAndLinkedComponents) {
  std::vector<std::string> log;
  auto owner = MakeComponent<Probe>(nullptr, "owner", &log);
  auto* source = new Probe(owner.get(), "source", &log);
  auto* sibling = new Probe(owner.get(), "sibling", &log);
  sibling->Watched = source;
  auto stranger = MakeComponent<Probe>(nullptr, "stranger", &log);
  auto* other = new Probe(nullptr, "other", &log);
  stranger->Watched = other;
  stranger->FreeNotification(other);

  TComponent::Free(source);
  TComponent::Free(other);
  EXPECT_EQ(sibling->Watched, nullptr);
  EXPECT_EQ(stranger->Watched, nullptr);
  EXPECT_EQ(owner->ComponentCount(), 1);
  EXPECT_NE(std::find(log.begin(), log.end(), "sibling lost source"), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), "stranger lost other"), log.end());
}

TEST(Component, LinkIsDroppedWhenTheWatcherGoesFirst) {
  std::vector<std::string> log;
  auto* watcher = new Probe(nullptr, "watcher", &log);
  auto target = MakeComponent<Probe>(nullptr, "target", &log);
  watcher->FreeNotification(target.get());
  TComponent::Free(watcher);
  target.reset();  // must not notify the destroyed watcher
  EXPECT_EQ(log.back(), "destroy target");
}

TEST(Persistent, AssignWithoutSupportNamesBothClasses) {
  TPersistent a, b;
  try {
    a.Assign(&b);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TPersistent to a TPersistent");
  }
}

TEST(CheckedDiv, ZeroDivisorRaisesInsteadOfCrashing) {
  EXPECT_EQ(CheckedDiv(7, 2), 3);
  EXPECT_THROW(CheckedDiv(7, 0), EAuException);
  try {
    CheckedMod(int64_t{7}, 0u);
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "Division by zero");
  }
}

TEST(MemoryStream, ReadWriteSeekAndGrowth) {
  TMemoryStream s;
  const char text[] = "abcdef";
  s.WriteBuffer(text, 6);
  EXPECT_EQ(s.Size(), 6);
  EXPECT_EQ(s.Seek(-2, TSeekOrigin::soEnd), 4);
  char out[8] = {};
  EXPECT_EQ(s.Read(out, 8), 2);
  EXPECT_STREQ(out, "ef");
  EXPECT_EQ(s.Read(out, 1), 0);
  s.SetPosition(8);  // past the end: the gap reads back as zeros
  s.WriteBuffer("z", 1);
  EXPECT_EQ(s.Size(), 9);
  EXPECT_EQ(s.Data()[7], 0);
  s.SetPosition(0);
  EXPECT_THROW(s.ReadBuffer(out, 10), EAuException);
  EXPECT_EQ(s.Seek(-100, TSeekOrigin::soCurrent), 0);
}

TEST(Text, Utf8AndUtf16RoundTripIncludingSurrogates) {
  const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5";  // A é € 🎵
  const std::u16string wide = Utf8ToUtf16(utf8);
  EXPECT_EQ(wide, (std::u16string{u'A', 0xE9, 0x20AC, 0xD83C, 0xDFB5}));
  EXPECT_EQ(Utf16ToUtf8(wide), utf8);
}

TEST(Text, MalformedUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(Utf8ToUtf16("a\xC3"), (std::u16string{u'a', 0xFFFD}));
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), (std::u16string{0xFFFD, 0xFFFD}));  // overlong
  EXPECT_EQ(Utf8ToUtf16("\xFF"), std::u16string(1, 0xFFFD));
}

TEST(Text, Latin1NarrowingUsesQuestionMarkAboveFF) {
  EXPECT_EQ(Latin1ToUtf16("\xE9t\xE9"), (std::u16string{0xE9, u't', 0xE9}));
  EXPECT_EQ(Utf16ToLatin1(std::u16string{0xE9, 0x20AC, u'x'}), "\xE9?x");
}

TEST(Synchronize, RunsOnMainThreadAndRethrowsInCaller) {
  ASSERT_TRUE(IsMainThread());
  std::atomic<bool> done{false};
  std::thread::id ranOn;
  std::string caught;
  std::thread worker([&] {
    TThread::Synchronize([&] { ranOn = std::this_thread::get_id(); });
    try {
      TThread::Synchronize([] { throw EAuException("boom"); });
    } catch (const EAuException& e) {
      caught = e.what();
    }
    done = true;
  });
  while (!done) CheckSynchronize(10);
  worker.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(caught, "boom");
}

TEST(Event, AutoResetPassesOneWaiterPerSignal) {
  TEvent e;
  EXPECT_FALSE(e.WaitFor(0));
  e.SetEvent();
  EXPECT_TRUE(e.WaitFor(0));
  EXPECT_FALSE(e.WaitFor(0));
  e.SetEvent();
  e.ResetEvent();
  EXPECT_FALSE(e.WaitFor(1));
}
