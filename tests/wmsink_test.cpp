// The runtime's HTTP sink driven directly over loopback: streaming to plain sockets, and what
// it does with peers that misbehave.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/wmvcore/HttpRequest.h"
#include "platform/wmvcore/NetworkSink.h"
#include "tests/LoopbackClient.h"
#include "tests/PipelineFakes.h"
#include "tests/WMTestSupport.h"
#include "winmedia/wmfintf.h"

using namespace tunevert;
using namespace tunevert::testing;
using namespace tunevert::wmvcore;
using namespace std::chrono_literals;

namespace {

// Records the statuses a sink reports.
class StatusRecorder final : public IWMStatusCallback {
 public:
  HRESULT QueryInterface(const IID&, void** ppvObject) override {
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return ++FRefs; }
  uint32_t Release() override { return --FRefs; }
  HRESULT OnStatus(WMT_STATUS Status, HRESULT, WMT_ATTR_DATATYPE, uint8_t*, void*) override {
    std::lock_guard Lock(FLock);
    FStatuses.push_back(Status);
    return S_OK;
  }
  int Count(WMT_STATUS Status) {
    std::lock_guard Lock(FLock);
    return static_cast<int>(std::count(FStatuses.begin(), FStatuses.end(), Status));
  }

 private:
  std::atomic<uint32_t> FRefs{1};
  std::mutex FLock;
  std::vector<WMT_STATUS> FStatuses;
};

void PutLE32(std::vector<uint8_t>& Out, size_t At, uint32_t V) {
  for (int i = 0; i < 4; ++i) Out[At + i] = static_cast<uint8_t>(V >> (8 * i));
}
void PutLE64(std::vector<uint8_t>& Out, size_t At, uint64_t V) {
  for (int i = 0; i < 8; ++i) Out[At + i] = static_cast<uint8_t>(V >> (8 * i));
}

// A header object holding just the file properties, with fixed packets of PacketSize bytes.
std::vector<uint8_t> HeaderWithPacketSize(uint32_t PacketSize) {
  std::vector<uint8_t> H(30 + 104, 0);
  const uint8_t Properties[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                  0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
  PutLE64(H, 16, H.size());
  PutLE32(H, 24, 1);
  std::memcpy(&H[30], Properties, 16);
  PutLE64(H, 30 + 16, 104);
  PutLE32(H, 30 + 92, PacketSize);
  PutLE32(H, 30 + 96, PacketSize);
  return H;
}

struct Buffer final : INSSBuffer {
  explicit Buffer(std::vector<uint8_t> D) : Data(std::move(D)) {}
  HRESULT QueryInterface(const IID&, void** ppvObject) override {
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return 2; }
  uint32_t Release() override { return 1; }
  HRESULT GetLength(uint32_t* L) override {
    *L = static_cast<uint32_t>(Data.size());
    return S_OK;
  }
  HRESULT SetLength(uint32_t) override { return E_NOTIMPL; }
  HRESULT GetMaxSize(uint32_t* L) override { return GetLength(L); }
  HRESULT GetBuffer(uint8_t** B) override {
    *B = Data.data();
    return S_OK;
  }
  HRESULT GetBufferAndLength(uint8_t** B, uint32_t* L) override {
    *B = Data.data();
    return GetLength(L);
  }
  std::vector<uint8_t> Data;
};

std::vector<uint8_t> Pattern(size_t Size, size_t From) {
  std::vector<uint8_t> Out(Size);
  for (size_t i = 0; i < Size; ++i) Out[i] = PatternByte(static_cast<int64_t>(From + i));
  return Out;
}

class NetworkSink : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WMCreateWriterNetworkSink) << "runtime not loaded";
    ASSERT_EQ(WMCreateWriterNetworkSink(Sink.Receive()), S_OK);
    ASSERT_EQ(Sink->SetNetworkProtocol(WMT_PROTOCOL_HTTP), S_OK);
    uint32_t P = 0;
    ASSERT_EQ(Sink->Open(&P), S_OK);
    ASSERT_GT(P, 0u);
    Port = static_cast<uint16_t>(P);
    IWMRegisterCallback* Register = nullptr;
    ASSERT_EQ(Sink->QueryInterface(IID_IWMRegisterCallback, reinterpret_cast<void**>(&Register)),
              S_OK);
    Register->Advise(&Recorder, nullptr);
    Register->Release();
    ASSERT_EQ(Sink->QueryInterface(IID_IWMClientConnections2,
                                   reinterpret_cast<void**>(Clients.Receive())),
              S_OK);
    // Asserted only by the tests that need it.
    Sink->QueryInterface(IID_ITvNetworkSinkTesting, reinterpret_cast<void**>(Testing.Receive()));
  }
  void TearDown() override {
    Sink->Close();
    Testing.Clear();
    Clients.Clear();
    Sink.Clear();
  }
  uint32_t ClientCount() {
    uint32_t N = 0;
    Clients->GetClientCount(&N);
    return N;
  }
  uint32_t PendingCount() {
    uint32_t N = 0;
    Testing->GetPendingCount(&N);
    return N;
  }
  void Header(uint32_t PacketSize) {
    Buffer B(HeaderWithPacketSize(PacketSize));
    ASSERT_EQ(Sink->OnHeader(&B), S_OK);
  }
  void Data(size_t Size) {
    Buffer B(Pattern(Size, Sent));
    ASSERT_EQ(Sink->OnDataUnit(&B), S_OK);
    Sent += Size;
  }

  StatusRecorder Recorder;
  TInterfaceRef<IWMWriterNetworkSink> Sink;
  TInterfaceRef<IWMClientConnections2> Clients;
  TInterfaceRef<ITvNetworkSinkTesting> Testing;
  uint16_t Port = 0;
  size_t Sent = 0;
};

TEST_F(NetworkSink, SendsTheHeaderFirstAndLateClientsJoinAtAPacket) {
  uint32_t Length = 0;
  ASSERT_EQ(Sink->GetHostURL(nullptr, &Length), S_OK);
  std::u16string Url(Length, u'\0');
  ASSERT_EQ(Sink->GetHostURL(Url.data(), &Length), S_OK);
  const std::string Text(Url.begin(), Url.end() - 1);
  EXPECT_EQ(Text.substr(0, 7), "http://");
  EXPECT_NE(Text.find(":" + std::to_string(Port) + "/"), std::string::npos) << Text;

  // Early: connected before the writer begins, it gets everything, in chunks.
  TestClient Early(Port);
  Early.Send("GET /live HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  ASSERT_TRUE(WaitFor([&] { return ClientCount() == 1; }));
  Header(100);
  Data(250);
  // Late: joins at byte 300, the first packet boundary after what was already sent.
  TestClient Late(Port);
  Late.Get();
  ASSERT_TRUE(WaitFor([&] { return ClientCount() == 2; }));
  Data(250);
  ASSERT_EQ(Sink->OnEndWriting(), S_OK);

  ASSERT_TRUE(Early.ReadToEnd());
  ASSERT_TRUE(Late.ReadToEnd());
  const auto H = HeaderWithPacketSize(100);
  const std::string HeaderText(H.begin(), H.end());
  const auto All = Pattern(500, 0);
  EXPECT_EQ(Early.StatusLine(), "HTTP/1.1 200 OK");
  EXPECT_EQ(Dechunk(Early.Body()), HeaderText + std::string(All.begin(), All.end()));
  EXPECT_EQ(Late.StatusLine(), "HTTP/1.0 200 OK");
  EXPECT_EQ(Late.Body(), HeaderText + std::string(All.begin() + 300, All.end()));

  ASSERT_TRUE(WaitFor([&] { return Recorder.Count(WMT_CLIENT_DISCONNECT) == 2; }));
  EXPECT_EQ(Recorder.Count(WMT_CLIENT_CONNECT), 2);
  EXPECT_EQ(ClientCount(), 0u);
  // Nothing is left to join once the stream has ended.
  TestClient After(Port);
  After.Get();
  ASSERT_TRUE(After.ReadToEnd());
  EXPECT_EQ(After.StatusLine(), "HTTP/1.0 503 Service Unavailable");
}

TEST_F(NetworkSink, ClientAddressesLimitsAndRefusals) {
  ASSERT_EQ(Sink->SetMaximumClients(1), S_OK);
  TestClient First(Port);
  First.Get();
  ASSERT_TRUE(WaitFor([&] { return ClientCount() == 1; }));

  WM_CLIENT_PROPERTIES Props{};
  ASSERT_EQ(Clients->GetClientProperties(0, &Props), S_OK);
  EXPECT_EQ(Props.dwIPAddress, 0x7F000001u);
  EXPECT_EQ(Props.dwPort, First.LocalPort());
  EXPECT_NE(Clients->GetClientProperties(1, &Props), S_OK);
  char16_t Address[32], PortText[8];
  uint32_t AddressRoom = 32, PortRoom = 8;
  ASSERT_EQ(Clients->GetClientInfo(0, Address, &AddressRoom, PortText, &PortRoom, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(std::u16string(Address), u"127.0.0.1");
  EXPECT_EQ(std::u16string(PortText).size() + 1, PortRoom);

  TestClient Second(Port);
  Second.Get();
  ASSERT_TRUE(Second.ReadToEnd());
  EXPECT_EQ(Second.StatusLine(), "HTTP/1.0 503 Service Unavailable");
  TestClient Post(Port);
  Post.Send("POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
  ASSERT_TRUE(Post.ReadToEnd());
  EXPECT_EQ(Post.StatusLine(), "HTTP/1.0 405 Method Not Allowed");
  TestClient Garbage(Port);
  Garbage.Send("hello\r\n\r\n");
  ASSERT_TRUE(Garbage.ReadToEnd());
  EXPECT_EQ(Garbage.StatusLine(), "HTTP/1.0 400 Bad Request");
  EXPECT_EQ(ClientCount(), 1u);
  EXPECT_EQ(Recorder.Count(WMT_CLIENT_CONNECT), 1);

  // The port is taken while this sink listens on it.
  TInterfaceRef<IWMWriterNetworkSink> Other;
  ASSERT_EQ(WMCreateWriterNetworkSink(Other.Receive()), S_OK);
  uint32_t Same = Port;
  EXPECT_EQ(Other->Open(&Same), NS_E_PORT_IN_USE);
  uint32_t TooHigh = 70000;
  EXPECT_EQ(Other->Open(&TooHigh), E_INVALIDARG);
}

TEST_F(NetworkSink, DropsAClientThatStopsReadingWithoutHoldingUpTheOthers) {
  TestClient Fast(Port);
  TestClient Stuck(Port, 4096);
  Fast.Get();
  Stuck.Get();
  ASSERT_TRUE(WaitFor([&] { return ClientCount() == 2; }));
  Header(0);
  auto Reader = std::async(std::launch::async, [&] { return Fast.ReadToEnd(60s); });

  // The stuck client never reads: its queue grows until the sink lets it go.
  constexpr size_t Unit = 64 * 1024;
  const size_t HeadBytes = 200;
  while (ClientCount() == 2 && Sent < (size_t{96} << 20)) {
    Data(Unit);
    // The reader thread may fall behind under a sanitizer; it must not look stuck itself.
    WaitFor([&] { return Fast.Received() + (2u << 20) > Sent + HeadBytes; }, 20s);
  }
  ASSERT_EQ(ClientCount(), 1u) << "after " << Sent << " bytes";
  EXPECT_TRUE(WaitFor([&] { return Recorder.Count(WMT_CLIENT_DISCONNECT) == 1; }));
  Data(Unit);
  ASSERT_EQ(Sink->OnEndWriting(), S_OK);
  ASSERT_TRUE(Reader.get());
  const std::string Body = Fast.Body();
  const auto Expected = Pattern(Sent, 0);
  ASSERT_EQ(Body.size(), HeaderWithPacketSize(0).size() + Sent);
  EXPECT_TRUE(std::equal(Expected.begin(), Expected.end(),
                         reinterpret_cast<const uint8_t*>(Body.data()) + Body.size() - Sent));
}

TEST_F(NetworkSink, CloseEndsEveryConnection) {
  TestClient Listener(Port);
  TestClient Waiting(Port);  // never finishes its request
  Listener.Get();
  ASSERT_TRUE(WaitFor([&] { return ClientCount() == 1; }));
  Header(100);
  Data(1000);
  const auto Started = TClock::now();
  ASSERT_EQ(Sink->Close(), S_OK);
  EXPECT_TRUE(Listener.ReadToEnd(5s));
  EXPECT_TRUE(Waiting.ReadToEnd(5s));
  EXPECT_LT(TClock::now() - Started, 10s);
  EXPECT_EQ(Listener.Body().size(), HeaderWithPacketSize(100).size() + 1000);
  EXPECT_EQ(Recorder.Count(WMT_CLIENT_DISCONNECT), 1);
  EXPECT_EQ(ClientCount(), 0u);
  uint32_t Length = 0;
  EXPECT_NE(Sink->GetHostURL(nullptr, &Length), S_OK);
  TestClient Refused(Port);
  EXPECT_FALSE(Refused.Connected);
}

// A request head of exactly Size bytes, blank line included.
std::string HeadOfSize(size_t Size) {
  const std::string Start = "GET / HTTP/1.0\r\nX-Pad: ";
  return Start + std::string(Size - Start.size() - 4, 'a') + "\r\n\r\n";
}

TEST_F(NetworkSink, HeadAnswersLikeGetWithoutJoiningTheStream) {
  Header(100);
  Data(300);
  TestClient Probe(Port);
  Probe.Send("HEAD /live HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  ASSERT_TRUE(Probe.ReadToEnd(5s));
  EXPECT_EQ(Probe.StatusLine(), "HTTP/1.1 200 OK");
  EXPECT_NE(Probe.Data().find("\r\nTransfer-Encoding: chunked\r\n"), std::string::npos);
  EXPECT_EQ(Probe.Body(), "");
  EXPECT_EQ(ClientCount(), 0u);
  EXPECT_EQ(Recorder.Count(WMT_CLIENT_CONNECT), 0);
}

TEST_F(NetworkSink, RequestHeadsMustArriveInTimeAndFitInEightKiB) {
  ASSERT_TRUE(Testing);
  // The cap, with time enough for any machine: a head of exactly 8 KiB is served, one a byte
  // longer is refused.
  ASSERT_EQ(Testing->SetRequestTimeout(60000), S_OK);
  TestClient AtCap(Port), PastCap(Port);
  AtCap.Send(HeadOfSize(MaxRequestHead));
  PastCap.Send(HeadOfSize(MaxRequestHead + 1));
  ASSERT_TRUE(PastCap.ReadToEnd());
  EXPECT_EQ(PastCap.StatusLine(), "HTTP/1.0 431 Request Header Fields Too Large");
  ASSERT_TRUE(WaitFor([&] { return ClientCount() == 1; }));

  // The deadline.
  constexpr auto Timeout = 300ms;
  ASSERT_EQ(Testing->SetRequestTimeout(Timeout.count()), S_OK);
  const auto Started = TClock::now();
  TestClient Silent(Port), Dribbling(Port);
  // A header line every 20 ms, far more often than the deadline: it counts from the connect,
  // not from the last byte, so the connection is closed without an answer long before the head
  // could grow past the cap, which would be answered.
  Dribbling.Send("GET / HTTP/1.0\r\n");
  for (size_t Lines = 0; Dribbling.Silent() && Lines < 2 * MaxRequestHead / 6; ++Lines) {
    if (send(Dribbling.Fd(), "X: y\r\n", 6, MSG_NOSIGNAL) != 6) break;
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(Dribbling.ReadToEnd());
  EXPECT_EQ(Dribbling.Data(), "") << "a head sent a line at a time kept its connection";
  ASSERT_TRUE(Silent.ReadToEnd());
  EXPECT_GE(TClock::now() - Started, Timeout);
  EXPECT_EQ(Silent.Data(), "");
  // The client whose head fit, in time, is left alone.
  EXPECT_EQ(ClientCount(), 1u);
  EXPECT_EQ(PendingCount(), 0u);
}

TEST_F(NetworkSink, HalfOpenConnectionsAreCappedPerAddressAndOverall) {
  ASSERT_TRUE(Testing);
  // Only the caps may close an idle connection here.
  ASSERT_EQ(Testing->SetRequestTimeout(60000), S_OK);
  // One address over its cap: its oldest go.
  const size_t Local = MaxPendingPerAddress + 2, Burst = MaxPendingConnections + 8;
  std::vector<std::unique_ptr<TestClient>> Idle;
  for (size_t i = 0; i < Local; ++i) Idle.push_back(std::make_unique<TestClient>(Port));
  for (size_t i = 0; i < Local - MaxPendingPerAddress; ++i) EXPECT_TRUE(Idle[i]->ReadToEnd(2s));
  ASSERT_TRUE(WaitFor([&] { return PendingCount() == MaxPendingPerAddress; }));
  // A burst over the total cap from addresses within theirs: the oldest of all go.
  for (size_t i = 0; i < Burst; ++i) {
    const auto From = static_cast<uint32_t>(INADDR_LOOPBACK + 1 + i / MaxPendingPerAddress);
    Idle.push_back(std::make_unique<TestClient>(Port, 0, From));
    ASSERT_TRUE(Idle.back()->Connected);
  }
  const size_t Evicted = Local + Burst - MaxPendingConnections;
  for (size_t i = 0; i < Evicted; ++i) EXPECT_TRUE(Idle[i]->ReadToEnd(2s)) << i;
  ASSERT_TRUE(WaitFor([&] { return PendingCount() == MaxPendingConnections; }));
  for (size_t i = Evicted; i < Idle.size(); ++i) EXPECT_TRUE(Idle[i]->Silent()) << i;

  // A player still gets in, pushing out the oldest idle one.
  TestClient Listener(Port);
  Listener.Get();
  ASSERT_TRUE(WaitFor([&] { return ClientCount() == 1; }, 5s));
  EXPECT_TRUE(Idle[Evicted]->ReadToEnd(2s));
  // Once it streams it counts as a client, no longer as half-open: one more idle one fits.
  TestClient OneMore(Port, 0, INADDR_LOOPBACK + 100);
  ASSERT_TRUE(WaitFor([&] { return PendingCount() == MaxPendingConnections; }));
  EXPECT_TRUE(Idle[Evicted + 1]->Silent());
}

TEST_F(NetworkSink, FloodingPeersHoldUpNeitherTheWriterNorTheClientCount) {
  Header(0);
  constexpr uint32_t Count = 3;
  std::vector<std::unique_ptr<TestClient>> Peers;
  for (uint32_t i = 0; i < Count; ++i) Peers.push_back(std::make_unique<TestClient>(Port));
  for (const auto& Client : Peers) Client->Get();
  ASSERT_TRUE(WaitFor([&] { return ClientCount() == Count; }));

  // They pour bytes at the server until the writer is done, or for a minute at most: a writer
  // held up until the flood ends is then told from one that got through it.
  const auto FloodEnd = TClock::now() + 60s;
  std::atomic<bool> Stop{false};
  std::atomic<size_t> Poured{0};
  std::vector<std::thread> Floods;
  for (const auto& Peer : Peers)
    Floods.emplace_back([&, Fd = Peer->Fd()] {
      // Blocking sends keep the server's queue full; the timeout lets the loop end.
      const timeval Timeout{0, 100000};
      setsockopt(Fd, SOL_SOCKET, SO_SNDTIMEO, &Timeout, sizeof Timeout);
      const std::string Junk(1 << 20, 'x');
      while (!Stop && TClock::now() < FloodEnd)
        Poured += static_cast<size_t>(
            std::max<ssize_t>(0, send(Fd, Junk.data(), Junk.size(), MSG_NOSIGNAL)));
    });

  // Far more than the sockets' buffers hold: the server is reading.
  const bool Flowing = WaitFor([&] { return Poured > (64u << 20); }, 60s);
  // Units at the pace of a real-time writer. One held up by the flood spends its time in the
  // calls rather than between them, whatever the machine's load does to both.
  std::chrono::nanoseconds Waited{0}, Between{0};
  for (int i = 0; i < 40 && Flowing; ++i) {
    const auto Start = TClock::now();
    Data(1000);
    EXPECT_EQ(ClientCount(), Count);
    const auto Returned = TClock::now();
    Waited += Returned - Start;
    std::this_thread::sleep_for(5ms);
    Between += TClock::now() - Returned;
  }
  const bool Flooded = TClock::now() < FloodEnd;
  Stop = true;
  for (auto& Flood : Floods) Flood.join();
  ASSERT_TRUE(Flowing && Flooded) << "poured " << Poured << " bytes";
  EXPECT_LT(Waited, Between) << "in the calls " << Waited.count() << " ns, between them "
                             << Between.count() << " ns";
}

// Run in a process of its own, since the descriptor limit holds for the whole process. Empty
// when the sink neither spun nor stopped listening, else what went wrong.
std::string ServeWithoutDescriptors() {
  TInterfaceRef<IWMWriterNetworkSink> Sink;
  uint32_t Port = 0;
  if (WMCreateWriterNetworkSink(Sink.Receive()) != S_OK || Sink->Open(&Port) != S_OK)
    return "the sink did not open";
  // Made before the limit; connecting it later takes no descriptor.
  const int Peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  rlimit Old{};
  getrlimit(RLIMIT_NOFILE, &Old);
  // Every number below the lowest free one is taken, so a limit there leaves none.
  const int Lowest = open("/dev/null", O_RDONLY | O_CLOEXEC);
  close(Lowest);
  rlimit Tight = Old;
  Tight.rlim_cur = static_cast<rlim_t>(Lowest);
  sockaddr_in Address{AF_INET, htons(static_cast<uint16_t>(Port)), {htonl(INADDR_LOOPBACK)}, {}};
  if (setrlimit(RLIMIT_NOFILE, &Tight) != 0 ||
      connect(Peer, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0)
    return "no peer waiting without descriptors";
  send(Peer, "GET / HTTP/1.0\r\n\r\n", 18, MSG_NOSIGNAL);
  // The listener is readable all this time and every accept fails. The yardstick: this thread
  // spins until it has had 200 ms of processor, which a loaded machine stretches for every
  // thread alike. A sink that spun would have had about as much meanwhile.
  const auto Cpu = [](clockid_t Clock) {
    timespec T{};
    clock_gettime(Clock, &T);
    return T.tv_sec * 1000000LL + T.tv_nsec / 1000;
  };
  const long long Start = Cpu(CLOCK_PROCESS_CPUTIME_ID), From = Cpu(CLOCK_THREAD_CPUTIME_ID);
  long long Spun = 0;
  do Spun = Cpu(CLOCK_THREAD_CPUTIME_ID) - From;
  while (Spun < 200000);
  const long long Used = Cpu(CLOCK_PROCESS_CPUTIME_ID) - Start - Spun;
  setrlimit(RLIMIT_NOFILE, &Old);
  char Answer[16] = {};
  pollfd P{Peer, POLLIN, 0};
  if (poll(&P, 1, 20000) == 1) recv(Peer, Answer, 15, 0);
  Sink->Close();
  close(Peer);
  if (Used > Spun / 5)
    return "out of descriptors, it used " + std::to_string(Used) + " us of CPU while a spinning " +
           "thread had " + std::to_string(Spun) + " us";
  if (std::string(Answer) != "HTTP/1.0 200 OK") return "no answer with descriptors free again";
  return {};
}

TEST(NetworkSinkDescriptors, RunningOutNeitherSpinsNorStopsTheListener) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const std::string Fault = ServeWithoutDescriptors();
        std::fprintf(stderr, "%s\n", Fault.empty() ? "served" : Fault.c_str());
        std::_Exit(Fault.empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "served");
}

}  // namespace
