// TWMStreamedOut serving a WAV file to real clients over loopback (ffmpeg and plain sockets).

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/AuInput.h"
#include "platform/Exception.h"
#include "platform/Thread.h"
#include "tests/AppTestFiles.h"
#include "tests/LoopbackClient.h"
#include "tests/PipelineFakes.h"
#include "tests/WMTestSupport.h"
#include "wav/AuWave.h"
#include "winmedia/AuWMStreamedOut.h"
#include "winmedia/wmfintf.h"

using namespace tunevert;
using namespace tunevert::testing;
using namespace std::chrono_literals;

namespace {

std::string WavFixture() {
  return std::string(TUNEVERT_TEST_DATA) + "/wmaout/stereo-44100.wav";
}

// Holds its source's first block back until the test opens the gate, so clients can connect
// before any audio is sent.
class GatedInput final : public TAuInput {
 public:
  explicit GatedInput(TAuInput& Source) : TAuInput(nullptr), FSource(Source) {}
  void Open() {
    std::lock_guard Lock(FGateLock);
    FOpen = true;
    FGate.notify_all();
  }

 protected:
  uint32_t GetBitsPerSample() override { return FSource.BitsPerSample(); }
  uint32_t GetChannels() override { return FSource.Channels(); }
  uint32_t GetSampleRate() override { return FSource.SampleRate(); }
  void StartInput() override {
    FSource.Init();
    FSize = FSource.Size();
    FSampleSize = static_cast<uint16_t>(FSource.Channels() * FSource.BitsPerSample() / 8);
    Busy = true;
  }
  void StopInput() override {
    FSource.Flush();
    Busy = false;
  }
  void ProduceData(void*& Buffer, uint32_t& Bytes) override {
    {
      std::unique_lock Lock(FGateLock);
      FGate.wait_for(Lock, 30s, [this] { return FOpen; });
    }
    FSource.GetData(Buffer, Bytes);
  }

 private:
  TAuInput& FSource;
  std::mutex FGateLock;
  std::condition_variable FGate;
  bool FOpen = false;
};

uint16_t PortOf(const std::string& Url) {
  const size_t Colon = Url.rfind(':');
  return Colon == std::string::npos ? 0 : static_cast<uint16_t>(std::stoi(Url.substr(Colon + 1)));
}

// ffmpeg as a network client: what it decodes from the stream.
std::vector<uint8_t> FfmpegListen(uint16_t Port) {
  return RunTool("timeout 60 ffmpeg -nostdin -v error -rw_timeout 30000000 -i http://127.0.0.1:" +
                 std::to_string(Port) + "/ -f s16le -");
}

// The same source written to a file by TWMAOut and decoded by ffmpeg.
std::vector<uint8_t> FileReference(const TempDir& Dir, uint32_t Bitrate) {
  TWaveIn In;
  TWMAOut Out;
  In.SetFileName(WavFixture());
  Out.SetInput(&In);
  Out.SetFileName(Dir / "reference.wma");
  Out.SetDesiredBitrate(Bitrate);
  Out.BlockingRun();
  return FfmpegDecode(Dir / "reference.wma");
}

struct Events {
  std::atomic<int> Connected{0}, Disconnected{0}, Done{0};
  std::atomic<bool> OffMainThread{false};

  void Attach(TWMStreamedOut& Out) {
    Out.SetOnClientConnected([this](TComponent*) {
      if (!IsMainThread()) OffMainThread = true;
      ++Connected;
    });
    Out.SetOnClientDisconnected([this](TComponent*) {
      if (!IsMainThread()) OffMainThread = true;
      ++Disconnected;
    });
    Out.SetOnDone([this](TComponent*) { ++Done; });
  }
};

// The WAV fixture streamed through a gate, running and listening once Start returns.
struct GatedStream {
  GatedStream() {
    Wave.SetFileName(WavFixture());
    Seen.Attach(Out);
    Out.SetInput(&Gate);
  }
  // The port the stream is served on; 0 when it did not start.
  uint16_t Start() {
    Out.Run();
    if (!PumpUntil([&] { return !Out.URL().empty(); }, 10000)) return 0;
    return PortOf(Out.URL());
  }

  TWaveIn Wave;
  GatedInput Gate{Wave};
  TWMStreamedOut Out;
  Events Seen;
};

TEST(WMStreamedOut, StreamsAWavFileToTwoClientsThatDecodeIt) {
  TempDir Dir;
  const auto Reference = FileReference(Dir, 128);

  GatedStream Stream;
  auto& [Wave, Gate, Out, Seen] = Stream;
  Out.SetDesiredBitrate(128);
  EXPECT_EQ(Out.URL(), "");
  EXPECT_EQ(Out.ConnectionsCount(), 0u);
  const uint16_t Port = Stream.Start();
  ASSERT_GT(Port, 0) << Out.ExceptionMessage();

  auto Listener = std::async(std::launch::async, [Port] { return FfmpegListen(Port); });
  TestClient Raw(Port);
  Raw.Get();
  auto RawDone = std::async(std::launch::async, [&Raw] { return Raw.ReadToEnd(60s); });
  ASSERT_TRUE(PumpUntil([&] { return Out.ConnectionsCount() == 2 && Seen.Connected == 2; }, 30000));

  bool FoundRaw = false;
  for (uint32_t i = 0; i < 2; ++i) {
    const TConnectionInfo Info = Out.GetConnectionInfo(i);
    EXPECT_STREQ(Info.IP, "127.0.0.1");
    EXPECT_GT(Info.Port, 0u);
    if (Info.Port == Raw.LocalPort()) FoundRaw = true;
  }
  EXPECT_TRUE(FoundRaw);
  EXPECT_STREQ(Out.GetConnectionInfo(2).IP, "");

  Gate.Open();
  ASSERT_TRUE(PumpUntil([&] { return Seen.Done == 1; }, 60000));
  ASSERT_TRUE(RawDone.get());
  const auto Decoded = Listener.get();
  ASSERT_TRUE(PumpUntil([&] { return Seen.Disconnected == 2; }, 10000));
  EXPECT_FALSE(Seen.OffMainThread);
  EXPECT_EQ(Out.ExceptionMessage(), "");
  EXPECT_EQ(Out.ConnectionsCount(), 0u);
  EXPECT_EQ(Out.URL(), "");

  // What both clients got decodes to exactly what the file output's WMA decodes to.
  EXPECT_EQ(Raw.StatusLine(), "HTTP/1.0 200 OK");
  const std::string Body = Raw.Body();
  WriteAll(Dir / "received.wma", std::vector<uint8_t>(Body.begin(), Body.end()));
  EXPECT_EQ(FfmpegDecode(Dir / "received.wma"), Reference);
  EXPECT_EQ(Decoded, Reference);
}

TEST(WMStreamedOut, MaxClientsOneRefusesTheSecondClient) {
  GatedStream Stream;
  auto& [Wave, Gate, Out, Seen] = Stream;
  Out.SetDesiredBitrate(64);
  Out.SetMaxClients(1);
  const uint16_t Port = Stream.Start();
  ASSERT_GT(Port, 0) << Out.ExceptionMessage();

  TestClient First(Port);
  First.Get();
  ASSERT_TRUE(PumpUntil([&] { return Out.ConnectionsCount() == 1; }, 10000));
  TestClient Second(Port);
  Second.Get();
  ASSERT_TRUE(Second.ReadToEnd());
  EXPECT_EQ(Second.StatusLine(), "HTTP/1.0 503 Service Unavailable");
  EXPECT_EQ(Out.ConnectionsCount(), 1u);

  Gate.Open();
  ASSERT_TRUE(First.ReadToEnd());
  ASSERT_TRUE(PumpUntil([&] { return Seen.Done == 1 && Seen.Disconnected == 1; }, 30000));
  EXPECT_EQ(Seen.Connected, 1);
  EXPECT_GT(First.Body().size(), 1000u);
}

TEST(WMStreamedOut, PortInUseFailsWithCannotCreateFile) {
  const int32_t LiveBefore = RuntimeLiveObjects();
  // Someone else holds the port.
  const int Holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(Holder, reinterpret_cast<sockaddr*>(&Address), sizeof Address), 0);
  ASSERT_EQ(listen(Holder, 1), 0);
  socklen_t Length = sizeof Address;
  getsockname(Holder, reinterpret_cast<sockaddr*>(&Address), &Length);

  {
    TWaveIn Wave;
    Wave.SetFileName(WavFixture());
    TWMStreamedOut Out;
    Events Seen;
    Seen.Attach(Out);
    std::atomic<int> Failures{0};
    Out.SetOnThreadException([&](TComponent*) { ++Failures; });
    Out.SetInput(&Wave);
    Out.SetPort(ntohs(Address.sin_port));
    Out.Run();
    ASSERT_TRUE(PumpUntil([&] { return Seen.Done == 1; }, 10000));
    EXPECT_EQ(Failures, 1);
    EXPECT_EQ(Out.ExceptionMessage(), "Cannot create file");
    EXPECT_EQ(Out.URL(), "");
    EXPECT_FALSE(Wave.IsBusy());
  }
  EXPECT_EQ(RuntimeLiveObjects(), LiveBefore);
  close(Holder);
}

TEST(WMStreamedOut, LatePlayersJoinAndStoppingMidwayClosesTheSockets) {
  PatternInput Long;  // ten minutes: the stream is paced, so it cannot end by itself here
  Long.TotalFrames = 44100 * 600;
  Long.MaxBlock = 1 << 16;
  TWMStreamedOut Out;
  Events Seen;
  Seen.Attach(Out);
  Out.SetInput(&Long);
  Out.SetDesiredBitrate(64);
  const auto Started = TClock::now();
  Out.Run();
  ASSERT_TRUE(PumpUntil([&] { return !Out.URL().empty(); }, 10000)) << Out.ExceptionMessage();
  TestClient Listener(PortOf(Out.URL()));
  Listener.Get();
  auto Reader = std::async(std::launch::async, [&Listener] { return Listener.ReadToEnd(30s); });
  ASSERT_TRUE(PumpUntil([&] { return Seen.Connected == 1 && Listener.Received() > 20000; }, 20000));
  // A live stream goes out at the pace it plays (64 kbit/s), a little ahead at most.
  const double Seconds = std::chrono::duration<double>(TClock::now() - Started).count();
  EXPECT_LT(static_cast<double>(Listener.Received()), (Seconds + 3) * 8000 + 16000);

  // A player that comes in late starts at a packet and decodes from there.
  const auto Late =
      RunTool("timeout 60 ffmpeg -nostdin -v error -rw_timeout 30000000 -i http://127.0.0.1:" +
              std::to_string(PortOf(Out.URL())) + "/ -t 0.5 -f s16le -");
  EXPECT_GT(Late.size(), 44100u * 4 / 4);
  ASSERT_TRUE(PumpUntil([&] { return Seen.Connected == 2 && Seen.Disconnected == 1; }, 10000));

  Out.Stop();
  ASSERT_TRUE(PumpUntil([&] { return Seen.Done == 1 && Seen.Disconnected == 2; }, 10000));
  EXPECT_TRUE(Out.URL().empty());
  EXPECT_EQ(Out.ConnectionsCount(), 0u);
  ASSERT_EQ(Reader.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(Reader.get());
  EXPECT_EQ(Long.Stops, 1);
  EXPECT_EQ(Out.ExceptionMessage(), "");
}

// Destroyed by its destructor alone, not through Free, while a client listens: the run ends
// and the sink closes while the whole output is still there, so the sink's thread reports the
// client's end into a live object, and the client gets the end of the stream.
TEST(WMStreamedOut, DestroyedWithoutFreeMidStreamEndsTheRunBeforeItsMembersGo) {
  const int32_t LiveBefore = RuntimeLiveObjects();
  PatternInput Long;  // ten minutes, paced: still running when the output goes
  Long.TotalFrames = 44100 * 600;
  Long.MaxBlock = 1 << 16;
  Events Seen;
  std::optional<TestClient> Listener;
  {
    TWMStreamedOut Out;
    Seen.Attach(Out);
    Out.SetInput(&Long);
    Out.SetDesiredBitrate(64);
    Out.Run();
    ASSERT_TRUE(PumpUntil([&] { return !Out.URL().empty(); }, 10000)) << Out.ExceptionMessage();
    Listener.emplace(PortOf(Out.URL()));
    Listener->Get();
    // Connected, and the worker in its block loop, where a pause can park it.
    ASSERT_TRUE(PumpUntil(
        [&] { return Seen.Connected == 1 && Out.ConnectionsCount() == 1 && Long.Position() > 0; },
        10000));
    // The worker parked between blocks: only the sink's thread is left to call into the
    // output while it is destroyed.
    Out.Pause();
    ASSERT_EQ(Out.Status(), TOutputStatus::tosPaused);
  }
  ASSERT_TRUE(Listener->ReadToEnd(10s));
  EXPECT_EQ(Listener->StatusLine(), "HTTP/1.0 200 OK");
  EXPECT_EQ(Long.Stops, 1);
  EXPECT_FALSE(Long.IsBusy());
  EXPECT_EQ(RuntimeLiveObjects(), LiveBefore);
}

// A BlockingRun has no worker whose retirement drops the output's queued events: the client
// events its sink's thread posted go with the output rather than reach a handler later with
// a sender that is gone.
TEST(WMStreamedOut, ClientEventsOfABlockingRunGoWithTheOutput) {
  TWMAOut Keeper;  // holds the event dispatcher after the streamed output is gone
  TWaveIn Wave;
  Wave.SetFileName(WavFixture());
  GatedInput Gate{Wave};
  auto Out = MakeComponent<TWMStreamedOut>();
  std::vector<std::string> Senders;
  const auto Record = [&Senders](TComponent* Sender) { Senders.push_back(Sender->Name()); };
  Out->SetName("stream");
  Out->SetOnClientConnected(Record);
  Out->SetOnClientDisconnected(Record);
  Out->SetInput(&Gate);
  Out->SetDesiredBitrate(64);
  TWMStreamedOut& Stream = *Out;
  auto Client = std::async(std::launch::async, [&Stream, &Gate] {
    const bool Open = WaitFor([&] { return !Stream.URL().empty(); });
    std::optional<TestClient> Listener;
    if (Open) {
      Listener.emplace(PortOf(Stream.URL()));
      Listener->Get();
    }
    const bool Counted = Open && WaitFor([&] { return Stream.ConnectionsCount() == 1; });
    Gate.Open();
    return Counted && Listener->ReadToEnd(30s);
  });
  Out->BlockingRun();
  ASSERT_TRUE(Client.get());

  Out.reset();
  ASSERT_TRUE(DrainEvents());
  EXPECT_TRUE(Senders.empty());
}

}  // namespace
