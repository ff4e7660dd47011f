#include <gtest/gtest.h>

#include <atomic>
#include <random>
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
  char out[16] = {};
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

// File names are bytes: each byte that is not part of valid UTF-8 becomes U+DC80..U+DCFF.
TEST(Text, BytesThatAreNotUtf8BecomeLoneSurrogates) {
  EXPECT_EQ(Utf8ToUtf16("caf\xE9.wav"),
            (std::u16string{u'c', u'a', u'f', 0xDCE9, u'.', u'w', u'a', u'v'}));
  EXPECT_EQ(Utf8ToUtf16("a\xC3"), (std::u16string{u'a', 0xDCC3}));
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82x"), (std::u16string{0xDCE2, 0xDC82, u'x'}));       // cut short
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), (std::u16string{0xDCC0, 0xDCAF}));              // overlong
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), (std::u16string{0xDCED, 0xDCA0, 0xDC80}));  // surrogate
  EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"),  // past U+10FFFF
            (std::u16string{0xDCF4, 0xDC90, 0xDC80, 0xDC80}));
  EXPECT_EQ(Utf8ToUtf16("\xFF"), std::u16string(1, 0xDCFF));
  // A lone surrogate no byte maps to still has one narrow form.
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD800, u'x', 0xDC7F, 0xDE00}),
            "\xEF\xBF\xBDx\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Text, TagTextKeepsNoBytesThatAreNotUtf8) {
  // U+1F080's low half lies in the escaped bytes' range and stays.
  EXPECT_EQ(Utf8TextToUtf16("caf\xE9 \xF0\x9F\x82\x80\xE2\x82"),
            (std::u16string{u'c', u'a', u'f', 0xFFFD, u' ', 0xD83C, 0xDC80, 0xFFFD, 0xFFFD}));
}

TEST(Text, EveryByteStringComesBackFromUtf16Unchanged) {
  auto expectRoundTrip = [](const std::string& bytes) {
    const std::string back = Utf16ToUtf8(Utf8ToUtf16(bytes));
    if (back == bytes) return true;
    std::string hex;
    for (const char c : bytes) hex += std::to_string(static_cast<unsigned char>(c)) + " ";
    ADD_FAILURE() << "bytes " << hex;
    return false;
  };
  for (const std::string& bytes : std::vector<std::string>{
           "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xF0\x80\x80\x80",  // overlong
           "\xED\xA0\x80", "\xED\xBF\xBF", "\xED\xA0\xBD\xED\xB2\xA9",  // surrogates
           "\xE2\x82", "\xF0\x9F\x8E", "x\xC3",                         // cut short
           "\xF0\x9F\x8E\xB5\x80", "\xF0\x9F\x8E\xB5\xED\xB0\x80",      // after a pair
           "\xF5\x80\x80\x80", "\xF8\x88\x80\x80\x80", "\xFE\xFF"})
    expectRoundTrip(bytes);
  // Every string of up to four bytes drawn from the bytes where UTF-8's rules change.
  const std::string edges(
      "\x00\x41\x7F\x80\x8F\x90\x9F\xA0\xBF\xC0\xC1\xC2\xDF\xE0\xED"
      "\xEF\xF0\xF4\xF5\xFF",
      20);
  for (size_t n = 0; n < 20 * 20 * 20 * 20; ++n) {
    const std::string bytes = {edges[n % 20], edges[n / 20 % 20], edges[n / 400 % 20],
                               edges[n / 8000]};
    if (!expectRoundTrip(bytes)) break;
  }
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> byte(0, 255), length(0, 24);
  for (int i = 0; i < 20000; ++i) {
    std::string bytes(static_cast<size_t>(length(random)), '\0');
    for (char& c : bytes) c = static_cast<char>(byte(random));
    if (!expectRoundTrip(bytes)) break;
  }
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
