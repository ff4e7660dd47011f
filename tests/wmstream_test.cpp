// Network streaming over loopback: the runtime's HTTP sink driven directly, then
// TWMStreamedOut serving a WAV file to real clients (ffmpeg and plain sockets).

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/AuInput.h"
#include "platform/Exception.h"
#include "platform/Thread.h"
#include "tests/AppTestFiles.h"
#include "tests/PipelineFakes.h"
#include "tests/WMTestSupport.h"
#include "wav/AuWave.h"
#include "winmedia/AuWMStreamedOut.h"
#include "winmedia/wmfintf.h"

using namespace tunevert;
using namespace tunevert::testing;
using namespace std::chrono_literals;

namespace {

using TClock = std::chrono::steady_clock;

std::string WavFixture() {
  return std::string(TUNEVERT_TEST_DATA) + "/wmaout/stereo-44100.wav";
}

// A client socket on loopback.
class TestClient {
 public:
  explicit TestClient(uint16_t Port, int ReceiveBuffer = 0) {
    FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Set before connecting, so the window the server sees stays small.
    if (ReceiveBuffer > 0)
      setsockopt(FFd, SOL_SOCKET, SO_RCVBUF, &ReceiveBuffer, sizeof ReceiveBuffer);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Address.sin_port = htons(Port);
    Connected = connect(FFd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0;
  }
  ~TestClient() {
    if (FFd >= 0) close(FFd);
  }
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  void Send(const std::string& Text) const {
    ASSERT_EQ(send(FFd, Text.data(), Text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(Text.size()));
  }
  void Get() const { Send("GET / HTTP/1.0\r\nUser-Agent: test\r\n\r\n"); }
  uint16_t LocalPort() const {
    sockaddr_in Address{};
    socklen_t Length = sizeof Address;
    getsockname(FFd, reinterpret_cast<sockaddr*>(&Address), &Length);
    return ntohs(Address.sin_port);
  }
  // Everything until the server closes the connection; false if that takes longer than Limit.
  bool ReadToEnd(std::chrono::milliseconds Limit = 20s) {
    const auto Deadline = TClock::now() + Limit;
    for (;;) {
      const auto Left =
          std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now());
      if (Left.count() <= 0) return false;
      pollfd P{FFd, POLLIN, 0};
      if (poll(&P, 1, static_cast<int>(Left.count())) <= 0) continue;
      char Chunk[65536];
      const ssize_t Got = recv(FFd, Chunk, sizeof Chunk, 0);
      if (Got <= 0) return true;
      std::lock_guard Lock(FLock);
      FData.append(Chunk, static_cast<size_t>(Got));
    }
  }
  size_t Received() {
    std::lock_guard Lock(FLock);
    return FData.size();
  }
  std::string Data() {
    std::lock_guard Lock(FLock);
    return FData;
  }
  std::string StatusLine() {
    const std::string All = Data();
    return All.substr(0, All.find("\r\n"));
  }
  // What follows the response's head.
  std::string Body() {
    const std::string All = Data();
    const size_t End = All.find("\r\n\r\n");
    return End == std::string::npos ? std::string() : All.substr(End + 4);
  }

  bool Connected = false;

 private:
  int FFd = -1;
  std::mutex FLock;
  std::string FData;
};

// The payload of a chunked body; "incomplete" when the closing empty chunk is missing.
std::string Dechunk(const std::string& Body) {
  std::string Out;
  size_t At = 0;
  for (;;) {
    const size_t LineEnd = Body.find("\r\n", At);
    if (LineEnd == std::string::npos) return "incomplete";
    const size_t Size = std::stoul(Body.substr(At, LineEnd - At), nullptr, 16);
    if (Size == 0) return Body.compare(LineEnd, 4, "\r\n\r\n") == 0 ? Out : "incomplete";
    if (LineEnd + 2 + Size + 2 > Body.size()) return "incomplete";
    Out += Body.substr(LineEnd + 2, Size);
    At = LineEnd + 2 + Size + 2;
  }
}

bool WaitFor(const std::function<bool()>& Done, std::chrono::milliseconds Limit = 10s) {
  const auto Deadline = TClock::now() + Limit;
  while (!Done()) {
    if (TClock::now() > Deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// ---- the runtime's sink on its own ----

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
  }
  void TearDown() override {
    Sink->Close();
    Clients.Clear();
    Sink.Clear();
  }
  uint32_t ClientCount() {
    uint32_t N = 0;
    Clients->GetClientCount(&N);
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

// ---- TWMStreamedOut ----

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

}  // namespace
