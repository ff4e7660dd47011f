// The runtime's HTTP sink driven directly over loopback: streaming to plain sockets, and what
// it does with peers that misbehave. Also the request parser on its own.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
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

// Pours header lines at Peer until the server stops taking them or Limit bytes are out.
size_t PourHeaderLines(const TestClient& Peer, size_t Limit) {
  const std::string Line = "X-Pad: " + std::string(100, 'a') + "\r\n";
  size_t Total = 0;
  while (Total < Limit) {
    pollfd P{Peer.Fd(), POLLOUT, 0};
    if (poll(&P, 1, 2000) <= 0) break;
    const ssize_t Sent = send(Peer.Fd(), Line.data(), Line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (Sent <= 0 && errno != EAGAIN) break;
    if (Sent > 0) Total += static_cast<size_t>(Sent);
  }
  return Total;
}

TEST_F(NetworkSink, HeadAnswersLikeGetWithoutJoiningTheStream) {
  Header(100);
  Data(300);
  TestClient Old(Port), New(Port);
  Old.Send("HEAD / HTTP/1.0\r\n\r\n");
  New.Send("HEAD /live HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  ASSERT_TRUE(Old.ReadToEnd(5s));
  ASSERT_TRUE(New.ReadToEnd(5s));
  EXPECT_EQ(Old.StatusLine(), "HTTP/1.0 200 OK");
  EXPECT_NE(Old.Head().find("\r\nContent-Type: application/vnd.ms-asf"), std::string::npos);
  EXPECT_EQ(Old.Body(), "");
  EXPECT_EQ(New.StatusLine(), "HTTP/1.1 200 OK");
  EXPECT_NE(New.Head().find("\r\nTransfer-Encoding: chunked"), std::string::npos);
  EXPECT_EQ(New.Body(), "");
  EXPECT_EQ(ClientCount(), 0u);
  EXPECT_EQ(Recorder.Count(WMT_CLIENT_CONNECT), 0);
}

TEST_F(NetworkSink, AHeadThatIsNotInByTheDeadlineEndsItsConnection) {
  ASSERT_TRUE(Testing);
  constexpr auto Timeout = 300ms;
  ASSERT_EQ(Testing->SetRequestTimeout(Timeout.count()), S_OK);
  const auto Started = TClock::now();
  TestClient Silent(Port), Dribbling(Port), Prompt(Port);
  Prompt.Get();
  Dribbling.Send("GET / HTTP/1.0\r\n");
  ASSERT_TRUE(WaitFor([&] { return ClientCount() == 1; }));
  // A header line every 50 ms: the deadline counts from the connect, not from the last byte.
  auto Cut = std::async(std::launch::async, [&] {
    while (TClock::now() - Started < 3s) {
      if (send(Dribbling.Fd(), "X: y\r\n", 6, MSG_NOSIGNAL) != 6) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  });
  ASSERT_TRUE(Silent.ReadToEnd(5s));
  EXPECT_GE(TClock::now() - Started, Timeout);
  EXPECT_EQ(Silent.Data(), "");
  EXPECT_TRUE(Cut.get()) << "a head sent a line at a time kept its connection";
  // A client whose request came in time is left alone.
  EXPECT_EQ(ClientCount(), 1u);
  EXPECT_EQ(PendingCount(), 0u);
}

TEST_F(NetworkSink, RequestHeadsPastEightKiBAreRefused) {
  TestClient AtCap(Port), PastCap(Port), Endless(Port);
  AtCap.Send(HeadOfSize(MaxRequestHead));
  ASSERT_TRUE(WaitFor([&] { return ClientCount() == 1; }));
  PastCap.Send(HeadOfSize(MaxRequestHead + 1));
  ASSERT_TRUE(PastCap.ReadToEnd(5s));
  EXPECT_EQ(PastCap.StatusLine(), "HTTP/1.0 431 Request Header Fields Too Large");
  // Lines that never end the head: refused at the cap, not read on for ever.
  Endless.Send("GET / HTTP/1.0\r\n");
  constexpr size_t Lots = 64u << 20;
  auto Poured = std::async(std::launch::async, [&] { return PourHeaderLines(Endless, Lots); });
  ASSERT_TRUE(Endless.ReadToEnd(10s));
  EXPECT_EQ(Endless.StatusLine(), "HTTP/1.0 431 Request Header Fields Too Large");
  EXPECT_LT(Poured.get(), Lots);
  EXPECT_EQ(ClientCount(), 1u);
}

TEST_F(NetworkSink, ABurstOfIdleConnectionsCannotLockAListenerOut) {
  ASSERT_TRUE(Testing);
  // Only the caps may close an idle connection here.
  ASSERT_EQ(Testing->SetRequestTimeout(60000), S_OK);
  const size_t Burst = MaxPendingConnections + 16;
  std::vector<std::unique_ptr<TestClient>> Idle;
  for (size_t i = 0; i < Burst; ++i) {
    // Spread over addresses, each within its own cap.
    const auto From = static_cast<uint32_t>(INADDR_LOOPBACK + 1 + i / MaxPendingPerAddress);
    Idle.push_back(std::make_unique<TestClient>(Port, 0, From));
    ASSERT_TRUE(Idle.back()->Connected);
  }
  // The oldest go; the newest fill the pending room.
  const size_t Evicted = Burst - MaxPendingConnections;
  for (size_t i = 0; i < Evicted; ++i) EXPECT_TRUE(Idle[i]->ReadToEnd(5s)) << i;
  ASSERT_TRUE(WaitFor([&] { return PendingCount() == MaxPendingConnections; }));
  for (size_t i = Evicted; i < Burst; ++i) EXPECT_TRUE(Idle[i]->Silent()) << i;

  TestClient Listener(Port);
  Listener.Get();
  ASSERT_TRUE(WaitFor([&] { return ClientCount() == 1; }, 5s));
  // It pushed out the oldest idle one, and left the pending count once it had asked.
  EXPECT_TRUE(Idle[Evicted]->ReadToEnd(5s));
  ASSERT_TRUE(WaitFor([&] { return PendingCount() == MaxPendingConnections - 1; }));
  // Clients are counted apart from half-open connections: one more fits without eviction.
  TestClient OneMore(Port, 0, INADDR_LOOPBACK + 100);
  ASSERT_TRUE(WaitFor([&] { return PendingCount() == MaxPendingConnections; }));
  EXPECT_TRUE(Idle[Evicted + 1]->Silent());
  EXPECT_EQ(Recorder.Count(WMT_CLIENT_CONNECT), 1);
}

TEST_F(NetworkSink, OneAddressHoldsOnlyAFewHalfOpenConnections) {
  ASSERT_TRUE(Testing);
  ASSERT_EQ(Testing->SetRequestTimeout(60000), S_OK);
  TestClient Elsewhere(Port, 0, INADDR_LOOPBACK + 1);
  ASSERT_TRUE(WaitFor([&] { return PendingCount() == 1; }));
  constexpr size_t Extra = 2;
  std::vector<std::unique_ptr<TestClient>> Idle;
  for (size_t i = 0; i < MaxPendingPerAddress + Extra; ++i)
    Idle.push_back(std::make_unique<TestClient>(Port));
  for (size_t i = 0; i < Extra; ++i) EXPECT_TRUE(Idle[i]->ReadToEnd(5s)) << i;
  ASSERT_TRUE(WaitFor([&] { return PendingCount() == 1 + MaxPendingPerAddress; }));
  for (size_t i = Extra; i < Idle.size(); ++i) EXPECT_TRUE(Idle[i]->Silent()) << i;

  // A player from that address still gets in, at the cost of the oldest idle one there.
  TestClient Listener(Port);
  Listener.Get();
  ASSERT_TRUE(WaitFor([&] { return ClientCount() == 1; }, 5s));
  EXPECT_TRUE(Idle[Extra]->ReadToEnd(5s));
  for (size_t i = Extra + 1; i < Idle.size(); ++i) EXPECT_TRUE(Idle[i]->Silent()) << i;
  EXPECT_TRUE(Elsewhere.Silent());
}

TEST_F(NetworkSink, FloodingPeersHoldUpNeitherTheWriterNorTheClientCount) {
  Header(0);
  TestClient Listener(Port);
  Listener.Get();
  constexpr size_t PourerCount = 3;
  std::vector<std::unique_ptr<TestClient>> Pourers;
  for (size_t i = 0; i < PourerCount; ++i) {
    Pourers.push_back(std::make_unique<TestClient>(Port));
    Pourers.back()->Get();
  }
  ASSERT_TRUE(WaitFor([&] { return ClientCount() == 1 + PourerCount; }));

  // Clients that pour bytes at the server and a peer that connects and hangs up in a loop,
  // until the test is done or a few seconds have passed.
  const auto FloodEnd = TClock::now() + 8s;
  std::atomic<bool> Stop{false};
  std::atomic<size_t> Poured{0};
  std::atomic<int> Connects{0};
  const auto Flooding = [&] { return !Stop && TClock::now() < FloodEnd; };
  const auto Pour = [&](const TestClient* Peer) {
    // Blocking sends keep the server's receive queue full; the timeout lets the loop end.
    const timeval Timeout{0, 100000};
    setsockopt(Peer->Fd(), SOL_SOCKET, SO_SNDTIMEO, &Timeout, sizeof Timeout);
    const std::string Junk(1 << 20, 'x');
    while (Flooding()) {
      const ssize_t Out = send(Peer->Fd(), Junk.data(), Junk.size(), MSG_NOSIGNAL);
      if (Out > 0) Poured += static_cast<size_t>(Out);
    }
  };
  std::vector<std::thread> Floods;
  for (const auto& Pourer : Pourers) Floods.emplace_back(Pour, Pourer.get());
  Floods.emplace_back([&] {
    while (Flooding())
      if (TestClient Peer(Port); Peer.Connected) ++Connects;
  });
  const auto EndFlood = [&] {
    Stop = true;
    for (auto& Flood : Floods) Flood.join();
    Floods.clear();
  };

  // Far more than the sockets' buffers hold: the server is reading.
  const bool Flowing = WaitFor([&] { return Poured > (64u << 20); }, 5s);
  // Data units and client counts spread over the flood: the time they spent waiting.
  std::chrono::nanoseconds Waited{0};
  for (int i = 0; i < 40 && Flowing; ++i) {
    const auto Start = TClock::now();
    Data(1000);
    EXPECT_EQ(ClientCount(), 1 + PourerCount);
    Waited += TClock::now() - Start;
    std::this_thread::sleep_for(5ms);
  }
  const bool StillFlooding = Flooding();
  EndFlood();
  ASSERT_TRUE(Flowing) << "the server read only " << Poured << " bytes";
  EXPECT_TRUE(StillFlooding) << "the flood ended before the writer got through";
  EXPECT_LT(Waited, 2s);
  EXPECT_GT(Connects, 0);

  ASSERT_EQ(Sink->OnEndWriting(), S_OK);
  ASSERT_TRUE(Listener.ReadToEnd());
  const auto H = HeaderWithPacketSize(0);
  const auto All = Pattern(Sent, 0);
  EXPECT_EQ(Listener.Body(), std::string(H.begin(), H.end()) + std::string(All.begin(), All.end()));
}

// Run in a process of its own: the descriptor limit holds for every thread of a process.
// Empty when the sink neither spun nor stopped listening, else what went wrong.
std::string ServeWithoutDescriptors() {
  TInterfaceRef<IWMWriterNetworkSink> Sink;
  uint32_t Port = 0;
  if (WMCreateWriterNetworkSink(Sink.Receive()) != S_OK || Sink->Open(&Port) != S_OK)
    return "the sink did not open";
  // Made before the limit, so connecting them later takes no descriptor.
  std::vector<int> Peers;
  for (int i = 0; i < 3; ++i) Peers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  rlimit Old{};
  getrlimit(RLIMIT_NOFILE, &Old);
  // Every number below the lowest free one is taken, so a limit there leaves none free.
  const int Lowest = open("/dev/null", O_RDONLY | O_CLOEXEC);
  close(Lowest);
  rlimit Tight = Old;
  Tight.rlim_cur = static_cast<rlim_t>(Lowest);
  if (setrlimit(RLIMIT_NOFILE, &Tight) != 0) return "the limit could not be lowered";
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Address.sin_port = htons(static_cast<uint16_t>(Port));
  for (int Fd : Peers)
    if (connect(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0)
      return "a peer could not connect";
  const std::string Get = "GET / HTTP/1.0\r\n\r\n";
  send(Peers[0], Get.data(), Get.size(), MSG_NOSIGNAL);

  // The listener is readable all this time and every accept fails.
  rusage Before{}, After{};
  getrusage(RUSAGE_SELF, &Before);
  std::this_thread::sleep_for(1s);
  getrusage(RUSAGE_SELF, &After);
  const auto Micros = [](const rusage& U) {
    return (U.ru_utime.tv_sec + U.ru_stime.tv_sec) * 1000000LL + U.ru_utime.tv_usec +
           U.ru_stime.tv_usec;
  };
  const long long Used = Micros(After) - Micros(Before);
  setrlimit(RLIMIT_NOFILE, &Old);

  std::string Answer;
  pollfd P{Peers[0], POLLIN, 0};
  if (poll(&P, 1, 5000) == 1) {
    char Text[64] = {};
    Answer.assign(Text, std::max<ssize_t>(0, recv(Peers[0], Text, 15, 0)));
  }
  Sink->Close();
  for (int Fd : Peers) close(Fd);
  if (Used > 100000)
    return "without descriptors the server used " + std::to_string(Used / 1000) +
           " ms of CPU in 1 s";
  if (Answer != "HTTP/1.0 200 OK") return "no answer once descriptors were free: " + Answer;
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

// ---- the request parser ----

struct RequestCase {
  const char* Name;
  std::string Text;
  TRequestVerdict Verdict;
  bool Chunked = false;
};

void PrintTo(const RequestCase& Case, std::ostream* Out) {
  *Out << Case.Name;
}

// Text with the NULs a literal holds.
template <size_t N>
std::string Bytes(const char (&Text)[N]) {
  return std::string(Text, N - 1);
}

std::vector<RequestCase> RequestCases() {
  using enum TRequestVerdict;
  return {
      {"Http10Get", "GET / HTTP/1.0\r\nUser-Agent: a\r\n\r\n", Get, false},
      {"Http11GetIsChunked", "GET /live?x=1 HTTP/1.1\r\nHost: h\r\n\r\n", Get, true},
      {"Head", "HEAD / HTTP/1.1\r\n\r\n", Head, true},
      {"BareLineFeeds", "GET / HTTP/1.0\nAccept: */*\n\n", Get},
      {"BlankLinesBeforeTheRequestLine", "\r\n\r\nGET / HTTP/1.0\r\n\r\n", Get},
      {"EmptyValuesAndTabs", "GET / HTTP/1.0\r\nX-Empty:\r\nX-Tab:\ta\tb\r\n\r\n", Get},
      {"EightBitValue", "GET / HTTP/1.0\r\nUser-Agent: caf\xC3\xA9\r\n\r\n", Get},
      {"HeadersNotEnded", "GET / HTTP/1.0\r\nHost: h\r\n", Incomplete},
      {"RequestLineNotEnded", "GET / HTTP/1.0", Incomplete},
      {"Nothing", "", Incomplete},
      {"OtherMethod", "POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", MethodNotAllowed},
      {"MethodsAreCaseSensitive", "get / HTTP/1.0\r\n\r\n", MethodNotAllowed},
      {"MethodRefusedBeforeTheHeadEnds", "DELETE / HTTP/1.1\r\n", MethodNotAllowed},
      {"MethodNotAToken", "G(T / HTTP/1.0\r\n\r\n", BadRequest},
      {"NoVersion", "GET /\r\n\r\n", BadRequest},
      {"DoubleSpace", "GET  / HTTP/1.0\r\n\r\n", BadRequest},
      {"TrailingSpace", "GET / HTTP/1.0 \r\n\r\n", BadRequest},
      {"LowerCaseProtocol", "GET / http/1.0\r\n\r\n", BadRequest},
      {"TwoDigitMinor", "GET / HTTP/1.10\r\n\r\n", BadRequest},
      {"ControlInTarget", "GET /\x01 HTTP/1.0\r\n\r\n", BadRequest},
      {"NulInTarget", Bytes("GET /a\0b HTTP/1.0\r\n\r\n"), BadRequest},
      {"LoneCarriageReturn", "GET / HTTP/1.0\rX: y\r\n\r\n", BadRequest},
      {"Greeting", "hello\r\n\r\n", BadRequest},
      {"Http2", "GET / HTTP/2.0\r\n\r\n", VersionNotSupported},
      {"Http09", "GET / HTTP/0.9\r\n\r\n", VersionNotSupported},
      {"HeaderWithoutColon", "GET / HTTP/1.0\r\nHost\r\n\r\n", BadRequest},
      {"SpaceBeforeColon", "GET / HTTP/1.0\r\nHost : h\r\n\r\n", BadRequest},
      {"FoldedHeader", "GET / HTTP/1.0\r\nX: a\r\n b\r\n\r\n", BadRequest},
      {"ControlInValue", "GET / HTTP/1.0\r\nX: a\x7F\r\n\r\n", BadRequest},
      {"NulInValue", Bytes("GET / HTTP/1.0\r\nX: a\0\r\n\r\n"), BadRequest},
      {"HeadAtTheCap", HeadOfSize(MaxRequestHead), Get},
      {"HeadPastTheCap", HeadOfSize(MaxRequestHead + 1), TooLarge},
      {"NoEndAtTheCap", HeadOfSize(MaxRequestHead + 2).substr(0, MaxRequestHead), TooLarge},
      {"NoEndJustShortOfTheCap", HeadOfSize(MaxRequestHead + 2).substr(0, MaxRequestHead - 1),
       Incomplete},
      {"BadLineBeforeTheCap", "GET / HTTP/1.0\r\nBad\r\n" + std::string(9000, 'a'), BadRequest},
  };
}

class RequestParser : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestParser, JudgesTheHeadAndKeepsItsVerdictWhateverFollows) {
  const RequestCase& Case = GetParam();
  const THttpRequest Got = ParseRequest(Case.Text);
  ASSERT_EQ(Got.Verdict, Case.Verdict);
  if (Got.Verdict == TRequestVerdict::Get || Got.Verdict == TRequestVerdict::Head) {
    EXPECT_EQ(Got.Chunked, Case.Chunked);
  }
  // The sink judges whatever has arrived, cut anywhere: a shorter part is still incomplete or
  // already has the same answer, and what comes after a final answer changes nothing.
  const size_t Step = Case.Text.size() < 512 ? 1 : 61;
  for (size_t Cut = 0; Cut < Case.Text.size(); Cut += Step) {
    const TRequestVerdict Part = ParseRequest(std::string_view(Case.Text).substr(0, Cut)).Verdict;
    EXPECT_TRUE(Part == TRequestVerdict::Incomplete || Part == Got.Verdict) << "cut at " << Cut;
  }
  if (Got.Verdict != TRequestVerdict::Incomplete) {
    const THttpRequest More = ParseRequest(Case.Text + "GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(More.Verdict, Got.Verdict);
    EXPECT_EQ(More.Chunked, Got.Chunked);
  }
}

INSTANTIATE_TEST_SUITE_P(Heads, RequestParser, ::testing::ValuesIn(RequestCases()),
                         [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
