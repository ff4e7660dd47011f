// The network sink: a small HTTP server that sends the stream to every client that asks for
// it with GET. A client gets the header first and then the data from the next packet
// boundary on, so it can join at any time. One thread serves every socket without blocking;
// the writer only queues data, so a client that reads too slowly is dropped instead of
// holding up the encoder. The sink is reachable from every interface, so what a peer sends
// is bounded everywhere: the request head in size and time, half-open connections in number
// per address and overall, and the work a round spends on any one peer.

#include "platform/wmvcore/NetworkSink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/LittleEndian.h"
#include "platform/Text.h"
#include "platform/wmvcore/HttpRequest.h"
#include "platform/wmvcore/WMObjects.h"
#include "platform/wmvcore/Writer.h"

namespace tunevert::wmvcore {

namespace {

using TClock = std::chrono::steady_clock;
using TChunk = std::shared_ptr<const std::vector<uint8_t>>;

constexpr uint32_t DefaultMaxClients = 10;
// Queued bytes beyond what the socket took. A client this far behind a live stream is
// not listening any more.
constexpr size_t MaxBacklog = 4u << 20;
constexpr uint32_t DefaultRequestTimeoutMs = 10000;
constexpr int ListenBacklog = 64;
// Work per round of the server thread: connections taken from the listener, and bytes read
// from or sent to one connection. A peer that floods gets its share of a round and no more.
constexpr int MaxAcceptsPerRound = 8;
constexpr size_t ReadPerRound = 4096;
constexpr size_t SendPerRound = 256u << 10;
// Out of descriptors: how long the listener is left alone unless one of ours closes first.
constexpr auto AcceptRetry = std::chrono::milliseconds(500);
// How long Close waits for clients to receive what is queued for them.
constexpr auto CloseLinger = std::chrono::seconds(3);

constexpr GUID FilePropertiesObject{
    0x8CABDCA1, 0xA947, 0x11CF, {0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65}};

GUID ReadGuid(const uint8_t* P) {
  GUID G;
  G.Data1 = ReadLE32(P);
  G.Data2 = ReadLE16(P + 4);
  G.Data3 = ReadLE16(P + 6);
  std::memcpy(G.Data4, P + 8, 8);
  return G;
}

// The fixed data packet size from the file properties, or 0 when the header has none.
uint32_t PacketSizeOf(const std::vector<uint8_t>& Header) {
  constexpr size_t TopSize = 30, MinSizeAt = 92, PropertiesSize = 104;
  if (Header.size() < TopSize) return 0;
  const uint64_t HeaderEnd = std::min<uint64_t>(ReadLE64(&Header[16]), Header.size());
  for (uint64_t At = TopSize; At + 24 <= HeaderEnd;) {
    const uint64_t Size = ReadLE64(&Header[At + 16]);
    if (Size < 24 || Size > HeaderEnd - At) return 0;
    if (ReadGuid(&Header[At]) == FilePropertiesObject && Size >= PropertiesSize) {
      const uint32_t Min = ReadLE32(&Header[At + MinSizeAt]);
      const uint32_t Max = ReadLE32(&Header[At + MinSizeAt + 4]);
      return Min == Max ? Min : 0;
    }
    At += Size;
  }
  return 0;
}

// The address other machines reach this one by: the first IPv4 interface that is up and not
// the loopback, else the loopback.
std::string HostAddress() {
  std::string Result = "127.0.0.1";
  ifaddrs* List = nullptr;
  if (getifaddrs(&List) != 0) return Result;
  for (const ifaddrs* I = List; I; I = I->ifa_next) {
    if (!I->ifa_addr || I->ifa_addr->sa_family != AF_INET) continue;
    if (!(I->ifa_flags & IFF_UP) || !(I->ifa_flags & IFF_RUNNING) || (I->ifa_flags & IFF_LOOPBACK))
      continue;
    char Text[INET_ADDRSTRLEN];
    const auto* Address = reinterpret_cast<const sockaddr_in*>(I->ifa_addr);
    if (inet_ntop(AF_INET, &Address->sin_addr, Text, sizeof Text)) {
      Result = Text;
      break;
    }
  }
  freeifaddrs(List);
  return Result;
}

std::string DottedAddress(uint32_t Address) {
  return std::to_string(Address >> 24) + '.' + std::to_string((Address >> 16) & 0xFF) + '.' +
         std::to_string((Address >> 8) & 0xFF) + '.' + std::to_string(Address & 0xFF);
}

class TFd {
 public:
  TFd() = default;
  explicit TFd(int Fd) : FFd(Fd) {}
  TFd(TFd&& Other) noexcept : FFd(std::exchange(Other.FFd, -1)) {}
  TFd& operator=(TFd&& Other) noexcept {
    Reset(std::exchange(Other.FFd, -1));
    return *this;
  }
  ~TFd() { Reset(); }
  void Reset(int Fd = -1) {
    if (FFd >= 0) close(FFd);
    FFd = Fd;
  }
  int Get() const { return FFd; }

 private:
  int FFd = -1;
};

enum class TClientState {
  WaitingHeader,  // accepted before the writer began
  WaitingPacket,  // has the header, joins at the next packet boundary
  Streaming,
};

using TQueue = std::deque<std::pair<TChunk, size_t>>;  // chunks and the offset still to send

// What the writer and the server thread share about a client that asked for the stream;
// guarded by the sink's lock.
struct TShared {
  TClientState State = TClientState::WaitingHeader;
  // HTTP/1.1 clients get the stream in chunks, so a complete stream is told from a cut one.
  bool Chunked = false;
  bool Ended = false;  // the end of the stream is queued
  bool Gone = false;   // to be closed by the server thread
  TQueue Inbox;        // queued, not yet taken over by the server thread
  size_t Backlog = 0;  // queued and not yet sent, taken over or not

  void EnqueueRaw(TChunk Chunk, size_t From) {
    Backlog += Chunk->size() - From;
    Inbox.emplace_back(std::move(Chunk), From);
  }
  void EnqueueRaw(const std::string& Text) {
    EnqueueRaw(std::make_shared<const std::vector<uint8_t>>(Text.begin(), Text.end()), 0);
  }
  // Part of the stream, framed as a chunk where the client wants chunks.
  void Enqueue(TChunk Chunk, size_t From = 0) {
    if (From >= Chunk->size()) return;
    if (!Chunked) return EnqueueRaw(std::move(Chunk), From);
    char Size[24];
    std::snprintf(Size, sizeof Size, "%zx\r\n", Chunk->size() - From);
    EnqueueRaw(Size);
    EnqueueRaw(std::move(Chunk), From);
    EnqueueRaw("\r\n");
  }
  void EndStream() {
    if (Chunked) EnqueueRaw("0\r\n\r\n");
    Ended = true;
  }
};

// One accepted connection. Only the server thread changes it and makes socket calls on it;
// once its request asks for the stream, the writer's side reads its address, fixed by then,
// and shares Shared under the lock.
struct TConnection {
  TFd Socket;
  uint32_t Address = 0;  // most significant byte first
  uint16_t Port = 0;
  TClock::time_point Since;
  std::string Request;  // the head so far
  THttpRequest Verdict;
  bool Answered = false;
  bool Published = false;  // in the sink's client list
  bool Finishing = false;  // a short answer: close once it is sent
  bool Closing = false;
  TQueue Sending;
  size_t SentSinceSync = 0;
  TShared Shared;

  bool Pending() const { return Verdict.Verdict == TRequestVerdict::Incomplete && !Closing; }
};
class TNetworkSink final : public IWMWriterNetworkSink,
                           public IWMRegisterCallback,
                           public IWMClientConnections2,
                           public ITvNetworkSinkTesting,
                           public TRefCounted {
 public:
  ~TNetworkSink() override { Close(); }

  HRESULT QueryInterface(const IID& riid, void** ppvObject) override {
    if (!ppvObject) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IWMWriterSink || riid == IID_IWMWriterNetworkSink)
      *ppvObject = static_cast<IWMWriterNetworkSink*>(this);
    else if (riid == IID_IWMRegisterCallback)
      *ppvObject = static_cast<IWMRegisterCallback*>(this);
    else if (riid == IID_IWMClientConnections || riid == IID_IWMClientConnections2)
      *ppvObject = static_cast<IWMClientConnections2*>(this);
    else if (riid == IID_ITvNetworkSinkTesting)
      *ppvObject = static_cast<ITvNetworkSinkTesting*>(this);
    else {
      *ppvObject = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  uint32_t AddRef() override { return DoAddRef(); }
  uint32_t Release() override { return DoRelease(); }

  // ---- IWMWriterNetworkSink ----

  HRESULT SetMaximumClients(uint32_t dwMaxClients) override {
    std::lock_guard Lock(FLock);
    FMaxClients = dwMaxClients == 0 ? DefaultMaxClients : dwMaxClients;
    return S_OK;
  }
  HRESULT GetMaximumClients(uint32_t* pdwMaxClients) override {
    if (!pdwMaxClients) return E_POINTER;
    std::lock_guard Lock(FLock);
    *pdwMaxClients = FMaxClients;
    return S_OK;
  }
  HRESULT SetNetworkProtocol(WMT_NET_PROTOCOL protocol) override {
    return protocol == WMT_PROTOCOL_HTTP ? S_OK : E_INVALIDARG;
  }
  HRESULT GetNetworkProtocol(WMT_NET_PROTOCOL* pProtocol) override {
    if (!pProtocol) return E_POINTER;
    *pProtocol = WMT_PROTOCOL_HTTP;
    return S_OK;
  }

  HRESULT GetHostURL(char16_t* pwszURL, uint32_t* pcchURL) override {
    std::string Url;
    {
      std::lock_guard Lock(FLock);
      if (!FOpen) return NS_E_INVALID_REQUEST;
      Url = "http://" + FHost + ':' + std::to_string(FPort) + '/';
    }
    return CopyText(Utf8ToUtf16(Url), pwszURL, pcchURL);
  }

  HRESULT Open(uint32_t* pdwPortNum) override {
    if (!pdwPortNum) return E_POINTER;
    if (*pdwPortNum > 65535) return E_INVALIDARG;
    if (FThread.joinable()) return NS_E_INVALID_REQUEST;
    TFd Listen(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (Listen.Get() < 0) return E_FAIL;
    const int One = 1;
    // A port still in TIME_WAIT from the last stream is free to use again.
    setsockopt(Listen.Get(), SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_ANY);
    Address.sin_port = htons(static_cast<uint16_t>(*pdwPortNum));
    if (bind(Listen.Get(), reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0)
      return errno == EADDRINUSE || errno == EACCES ? NS_E_PORT_IN_USE : E_FAIL;
    // Room for a burst of connections while the server thread is busy with a round.
    if (listen(Listen.Get(), ListenBacklog) != 0)
      return errno == EADDRINUSE ? NS_E_PORT_IN_USE : E_FAIL;
    socklen_t Length = sizeof Address;
    if (getsockname(Listen.Get(), reinterpret_cast<sockaddr*>(&Address), &Length) != 0)
      return E_FAIL;
    TFd Wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (Wake.Get() < 0) return E_FAIL;

    std::string Host = HostAddress();
    std::lock_guard Lock(FLock);
    FPort = ntohs(Address.sin_port);
    FHost = std::move(Host);
    FListen = std::move(Listen);
    FWake = std::move(Wake);
    FStopping = false;
    FDropAll = false;
    FHeader.reset();
    FPacketSize = 0;
    FDataBytes = 0;
    FEnded = false;
    FAcceptPausedUntil = {};
    FPendingCount = 0;
    try {
      FThread = std::thread(&TNetworkSink::Serve, this);
    } catch (const std::system_error&) {
      FListen.Reset();
      FWake.Reset();
      return E_FAIL;
    }
    FOpen = true;
    *pdwPortNum = FPort;
    return S_OK;
  }

  HRESULT Disconnect() override {
    std::lock_guard Lock(FLock);
    for (TConnection* Client : FClients) Client->Shared.Gone = true;
    FDropAll = true;
    WakeServer();
    return S_OK;
  }

  HRESULT Close() override {
    if (!FThread.joinable()) return S_OK;
    {
      std::lock_guard Lock(FLock);
      FOpen = false;
      FStopping = true;
      FStopDeadline = TClock::now() + CloseLinger;
      WakeServer();
    }
    FThread.join();
    std::lock_guard Lock(FLock);
    FListen.Reset();
    FWake.Reset();
    return S_OK;
  }

  // ---- IWMWriterSink ----

  HRESULT OnHeader(INSSBuffer* pHeader) override {
    uint8_t* Data = nullptr;
    uint32_t Length = 0;
    if (!pHeader || pHeader->GetBufferAndLength(&Data, &Length) != S_OK) return E_INVALIDARG;
    auto Header = std::make_shared<const std::vector<uint8_t>>(Data, Data + Length);
    std::lock_guard Lock(FLock);
    if (!FOpen) return NS_E_INVALID_REQUEST;
    FHeader = Header;
    FPacketSize = PacketSizeOf(*Header);
    FDataBytes = 0;
    FEnded = false;
    for (TConnection* Client : FClients)
      if (Client->Shared.State == TClientState::WaitingHeader) {
        Client->Shared.Enqueue(FHeader);
        Client->Shared.State = TClientState::WaitingPacket;
      }
    WakeServer();
    return S_OK;
  }

  HRESULT IsRealTime(int32_t* pfRealTime) override {
    if (!pfRealTime) return E_POINTER;
    *pfRealTime = 1;
    return S_OK;
  }

  HRESULT OnDataUnit(INSSBuffer* pDataUnit) override {
    uint8_t* Data = nullptr;
    uint32_t Length = 0;
    if (!pDataUnit || pDataUnit->GetBufferAndLength(&Data, &Length) != S_OK) return E_INVALIDARG;
    if (Length == 0) {
      std::lock_guard Lock(FLock);
      return FOpen && FHeader ? S_OK : NS_E_INVALID_REQUEST;
    }
    // Copied before taking the lock, which the server thread needs every round.
    TChunk Chunk;
    try {
      Chunk = std::make_shared<const std::vector<uint8_t>>(Data, Data + Length);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    std::lock_guard Lock(FLock);
    if (!FOpen || !FHeader) return NS_E_INVALID_REQUEST;
    // Where the first packet that starts in this unit begins.
    uint64_t Join = FDataBytes;
    if (FPacketSize > 0) Join = (FDataBytes + FPacketSize - 1) / FPacketSize * FPacketSize;
    for (TConnection* Client : FClients) {
      TShared& Shared = Client->Shared;
      if (Shared.Gone) continue;
      if (Shared.State == TClientState::Streaming) {
        Shared.Enqueue(Chunk);
      } else if (Shared.State == TClientState::WaitingPacket && Join < FDataBytes + Length) {
        Shared.Enqueue(Chunk, static_cast<size_t>(Join - FDataBytes));
        Shared.State = TClientState::Streaming;
      }
      if (Shared.Backlog > MaxBacklog) Shared.Gone = true;
    }
    FDataBytes += Length;
    WakeServer();
    return S_OK;
  }

  HRESULT OnEndWriting() override {
    std::lock_guard Lock(FLock);
    FEnded = true;
    WakeServer();
    return S_OK;
  }

  // ---- IWMRegisterCallback ----

  HRESULT Advise(IWMStatusCallback* pCallback, void* pvContext) override {
    return FCallbacks.Advise(pCallback, pvContext);
  }
  HRESULT Unadvise(IWMStatusCallback* pCallback, void* pvContext) override {
    return FCallbacks.Unadvise(pCallback, pvContext);
  }

  // ---- IWMClientConnections2 ----

  HRESULT GetClientCount(uint32_t* pcClients) override {
    if (!pcClients) return E_POINTER;
    std::lock_guard Lock(FLock);
    *pcClients = static_cast<uint32_t>(CountClients());
    return S_OK;
  }

  HRESULT GetClientProperties(uint32_t dwClientNum,
                              WM_CLIENT_PROPERTIES* pClientProperties) override {
    if (!pClientProperties) return E_POINTER;
    std::lock_guard Lock(FLock);
    const TConnection* Client = CountedClient(dwClientNum);
    if (!Client) return E_INVALIDARG;
    pClientProperties->dwIPAddress = Client->Address;
    pClientProperties->dwPort = Client->Port;
    return S_OK;
  }

  HRESULT GetClientInfo(uint32_t dwClientNum, char16_t* pwszNetworkAddress,
                        uint32_t* pcchNetworkAddress, char16_t* pwszPort, uint32_t* pcchPort,
                        char16_t* pwszDNSName, uint32_t* pcchDNSName) override {
    std::string Address, Port;
    {
      std::lock_guard Lock(FLock);
      const TConnection* Client = CountedClient(dwClientNum);
      if (!Client) return E_INVALIDARG;
      Address = DottedAddress(Client->Address);
      Port = std::to_string(Client->Port);
    }
    const std::u16string Address16 = Utf8ToUtf16(Address);
    HRESULT Result = S_OK;
    // No reverse lookup: it could block for seconds. The name is the address.
    for (auto [Text, Buffer, Room] : {std::tuple{Address16, pwszNetworkAddress, pcchNetworkAddress},
                                      std::tuple{Utf8ToUtf16(Port), pwszPort, pcchPort},
                                      std::tuple{Address16, pwszDNSName, pcchDNSName}}) {
      if (!Room) continue;
      const HRESULT One = CopyText(Text, Buffer, Room);
      if (One != S_OK) Result = One;
    }
    return Result;
  }

  // ---- ITvNetworkSinkTesting ----

  HRESULT SetRequestTimeout(uint32_t Milliseconds) override {
    FRequestTimeoutMs = Milliseconds;
    std::lock_guard Lock(FLock);
    WakeServer();
    return S_OK;
  }
  HRESULT GetPendingCount(uint32_t* pcPending) override {
    if (!pcPending) return E_POINTER;
    *pcPending = FPendingCount;
    return S_OK;
  }

 private:
  size_t CountClients() const {
    return static_cast<size_t>(std::count_if(FClients.begin(), FClients.end(),
                                             [](const auto* C) { return !C->Shared.Gone; }));
  }

  const TConnection* CountedClient(uint32_t Index) const {
    for (const TConnection* Client : FClients)
      if (!Client->Shared.Gone && Index-- == 0) return Client;
    return nullptr;
  }

  void WakeServer() {
    const uint64_t One = 1;
    if (FWake.Get() >= 0 && write(FWake.Get(), &One, sizeof One) < 0) {
      // Already pending; the server wakes anyway.
    }
  }

  // The server thread. Each round takes the lock once, for bookkeeping without socket calls,
  // and then polls, accepts, reads and sends without it, a bounded amount of each, so neither
  // the writer nor a caller counting clients waits on what a peer does.
  void Serve() {
    std::vector<pollfd> Polls;
    for (;;) {
      std::vector<WMT_STATUS> Statuses;
      TClock::time_point StopAt;
      const bool Finished = Sync(Statuses, StopAt);
      CloseFinished();
      // Outside the lock: a callback may ask this sink for its clients.
      for (WMT_STATUS Status : Statuses) FCallbacks.Report(Status, S_OK);
      if (Finished) return;

      const auto Now = TClock::now();
      const bool Listening = FListen.Get() >= 0 && Now >= FAcceptPausedUntil;
      Polls.clear();
      Polls.push_back({FWake.Get(), POLLIN, 0});
      if (Listening) Polls.push_back({FListen.Get(), POLLIN, 0});
      const size_t First = Polls.size();
      for (const auto& Connection : FConnections) {
        // A short answer is all that is left for such a connection; what it sends is not read.
        short Events = Connection->Finishing ? 0 : POLLIN;
        if (!Connection->Sending.empty()) Events |= POLLOUT;
        Polls.push_back({Connection->Socket.Get(), Events, 0});
      }
      poll(Polls.data(), Polls.size(), PollTimeout(Now, StopAt));
      Transfer(Polls, Listening ? 1 : 0, First);
    }
  }

  int PollTimeout(TClock::time_point Now, TClock::time_point StopAt) const {
    auto Next = std::min(Now + std::chrono::seconds(1), StopAt);
    if (FListen.Get() >= 0 && FAcceptPausedUntil > Now) Next = std::min(Next, FAcceptPausedUntil);
    const auto Timeout = RequestTimeout();
    for (const auto& Connection : FConnections)
      if (Connection->Pending()) Next = std::min(Next, Connection->Since + Timeout);
    const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Next - Now);
    return static_cast<int>(std::clamp<int64_t>(Left.count(), 0, 1000));
  }

  std::chrono::milliseconds RequestTimeout() const {
    return std::chrono::milliseconds(FRequestTimeoutMs.load());
  }

  // The socket calls of one round, without the lock.
  void Transfer(const std::vector<pollfd>& Polls, size_t ListenAt, size_t First) {
    uint64_t Count;
    while (read(FWake.Get(), &Count, sizeof Count) > 0) {
    }
    const auto Now = TClock::now();
    const auto Timeout = RequestTimeout();
    for (size_t i = First; i < Polls.size(); ++i) {
      TConnection& Connection = *FConnections[i - First];
      if (Polls[i].revents & (POLLIN | POLLHUP | POLLERR)) Receive(Connection);
      if (!Connection.Closing && (Polls[i].revents & POLLOUT)) Send(Connection);
      // The deadline runs from the accept, so a head sent a byte at a time cannot stretch it.
      if (Connection.Pending() && Now - Connection.Since >= Timeout) Connection.Closing = true;
    }
    if (ListenAt > 0 && (Polls[ListenAt].revents & POLLIN)) Accept(Now);
    FPendingCount = static_cast<uint32_t>(std::count_if(
        FConnections.begin(), FConnections.end(), [](const auto& C) { return C->Pending(); }));
  }

  void Accept(TClock::time_point Now) {
    for (int Round = 0; Round < MaxAcceptsPerRound; ++Round) {
      sockaddr_in Address{};
      socklen_t Length = sizeof Address;
      const int Fd = accept4(FListen.Get(), reinterpret_cast<sockaddr*>(&Address), &Length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (Fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        // The listener stays readable while the connection waits, so watching it now would
        // only spin. It is watched again when one of ours closes, or after a pause.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
          FAcceptPausedUntil = Now + AcceptRetry;
        return;
      }
      auto Connection = std::make_unique<TConnection>();
      Connection->Socket.Reset(Fd);
      Connection->Address = ntohl(Address.sin_addr.s_addr);
      Connection->Port = ntohs(Address.sin_port);
      Connection->Since = Now;
      MakeRoom(Connection->Address);
      FConnections.push_back(std::move(Connection));
    }
  }

  // Room for one more half-open connection from Address: past the cap for that address, and
  // past the cap for all, the oldest half-open one goes. It has had the longest to speak and
  // is the likeliest to stay silent; a real player speaks at once, so it survives a burst.
  void MakeRoom(uint32_t Address) {
    const auto Evict = [this](size_t Cap, auto Matches) {
      size_t Count = static_cast<size_t>(
          std::count_if(FConnections.begin(), FConnections.end(),
                        [&](const auto& C) { return C->Pending() && Matches(*C); }));
      for (auto& C : FConnections) {
        if (Count < Cap) return;
        if (C->Pending() && Matches(*C)) {
          C->Closing = true;
          --Count;
        }
      }
    };
    Evict(MaxPendingPerAddress, [Address](const TConnection& C) { return C.Address == Address; });
    Evict(MaxPendingConnections, [](const TConnection&) { return true; });
  }

  void Receive(TConnection& Connection) {
    char Buffer[ReadPerRound];
    ssize_t Got;
    do {
      Got = recv(Connection.Socket.Get(), Buffer, sizeof Buffer, MSG_DONTWAIT);
    } while (Got < 0 && errno == EINTR);
    if (Got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (Got <= 0) {
      Connection.Closing = true;
      return;
    }
    // What a client sends after its request means nothing to us.
    if (Connection.Verdict.Verdict != TRequestVerdict::Incomplete) return;
    Connection.Request.append(Buffer, static_cast<size_t>(Got));
    Connection.Verdict = ParseRequest(Connection.Request);
    if (Connection.Verdict.Verdict != TRequestVerdict::Incomplete) {
      Connection.Request.clear();
      Connection.Request.shrink_to_fit();
    }
  }

  void Send(TConnection& Connection) {
    size_t Budget = SendPerRound;
    while (!Connection.Sending.empty() && Budget > 0) {
      auto& [Chunk, Offset] = Connection.Sending.front();
      const size_t Left = std::min(Chunk->size() - Offset, Budget);
      const ssize_t Sent =
          send(Connection.Socket.Get(), Chunk->data() + Offset, Left, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (Sent < 0 && errno == EINTR) continue;
      if (Sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (Sent <= 0) {
        Connection.Closing = true;
        return;
      }
      Connection.SentSinceSync += static_cast<size_t>(Sent);
      Budget -= static_cast<size_t>(Sent);
      Offset += static_cast<size_t>(Sent);
      if (Offset == Chunk->size()) Connection.Sending.pop_front();
    }
  }

  // The bookkeeping of one round, under the lock: answers to requests judged since the last
  // round, what the writer queued, the end of the stream, who is done. True when Close may
  // return.
  bool Sync(std::vector<WMT_STATUS>& Statuses, TClock::time_point& StopAt) {
    std::lock_guard Lock(FLock);
    // New clients are refused from the moment Close is called.
    if (FStopping) FListen.Reset();
    StopAt = FStopping ? FStopDeadline : TClock::time_point::max();
    for (auto& Owned : FConnections) {
      TConnection& Connection = *Owned;
      if (FDropAll) Connection.Closing = true;
      if (!Connection.Answered && !Connection.Closing &&
          Connection.Verdict.Verdict != TRequestVerdict::Incomplete)
        Answer(Connection, Statuses);
      if (Connection.Published) {
        TShared& Shared = Connection.Shared;
        Shared.Backlog -= Connection.SentSinceSync;
        Connection.SentSinceSync = 0;
        if (FEnded && !Shared.Ended) Shared.EndStream();
        for (auto& Item : Shared.Inbox) Connection.Sending.push_back(std::move(Item));
        Shared.Inbox.clear();
        // Gone, or the whole stream has been sent.
        if (Shared.Gone || (Shared.Ended && Connection.Sending.empty())) Connection.Closing = true;
      } else if (Connection.Finishing && Connection.Sending.empty()) {
        Connection.Closing = true;
      }
    }
    FDropAll = false;
    const bool Finished =
        FStopping && (TClock::now() >= FStopDeadline ||
                      std::all_of(FConnections.begin(), FConnections.end(),
                                  [](const auto& C) { return C->Closing || C->Sending.empty(); }));
    for (auto& Connection : FConnections) {
      if (Finished) Connection->Closing = true;
      if (Connection->Closing && Connection->Published) {
        std::erase(FClients, Connection.get());
        Connection->Published = false;
        Statuses.push_back(WMT_CLIENT_DISCONNECT);
      }
    }
    return Finished;
  }

  static std::string Reply(const std::string& Status, const std::string& Extra = {}) {
    return "HTTP/1.0 " + Status + "\r\nServer: tvwmvcore\r\nContent-Length: 0\r\n" + Extra +
           "Connection: close\r\n\r\n";
  }

  // Under the lock: whether there is room depends on the clients and the stream.
  void Answer(TConnection& Connection, std::vector<WMT_STATUS>& Statuses) {
    Connection.Answered = true;
    Connection.Finishing = true;
    std::string Text;
    switch (Connection.Verdict.Verdict) {
      case TRequestVerdict::Get:
      case TRequestVerdict::Head:
        break;
      case TRequestVerdict::MethodNotAllowed:
        Text = Reply("405 Method Not Allowed", "Allow: GET, HEAD\r\n");
        break;
      case TRequestVerdict::TooLarge:
        Text = Reply("431 Request Header Fields Too Large");
        break;
      case TRequestVerdict::VersionNotSupported:
        Text = Reply("505 HTTP Version Not Supported");
        break;
      case TRequestVerdict::BadRequest:
      case TRequestVerdict::Incomplete:
        Text = Reply("400 Bad Request");
        break;
    }
    // After the end there is nothing left to join; beyond the limit there is no room.
    if (Text.empty() && (FEnded || CountClients() >= FMaxClients))
      Text = Reply("503 Service Unavailable");
    if (!Text.empty()) {
      Connection.Sending.emplace_back(
          std::make_shared<const std::vector<uint8_t>>(Text.begin(), Text.end()), 0);
      return;
    }
    const bool Chunked = Connection.Verdict.Chunked;
    Text = std::string(Chunked ? "HTTP/1.1" : "HTTP/1.0") +
           " 200 OK\r\nServer: tvwmvcore\r\nContent-Type: application/vnd.ms-asf\r\n"
           "Cache-Control: no-cache\r\n" +
           (Chunked ? "Transfer-Encoding: chunked\r\n" : "") + "Connection: close\r\n\r\n";
    if (Connection.Verdict.Verdict == TRequestVerdict::Head) {
      Connection.Sending.emplace_back(
          std::make_shared<const std::vector<uint8_t>>(Text.begin(), Text.end()), 0);
      return;
    }
    // Everything from here on goes through the queue the writer fills, which counts it.
    Connection.Finishing = false;
    TShared& Shared = Connection.Shared;
    Shared.Chunked = Chunked;
    Shared.EnqueueRaw(Text);
    if (FHeader) {
      Shared.Enqueue(FHeader);
      Shared.State = TClientState::WaitingPacket;
    } else {
      Shared.State = TClientState::WaitingHeader;
    }
    FClients.push_back(&Connection);
    Connection.Published = true;
    Statuses.push_back(WMT_CLIENT_CONNECT);
  }

  // Outside the lock, on the server thread.
  void CloseFinished() {
    const size_t Before = FConnections.size();
    std::erase_if(FConnections, [](const auto& Connection) {
      if (!Connection->Closing) return false;
      // The client learns the end from an orderly shutdown rather than a reset.
      shutdown(Connection->Socket.Get(), SHUT_RDWR);
      return true;
    });
    // A descriptor is free again, so the listener is worth another try.
    if (FConnections.size() < Before) FAcceptPausedUntil = {};
  }

  std::mutex FLock;
  // Written before the server thread starts and after it ends; in between, read and reset by
  // the server thread alone.
  TFd FListen;
  TFd FWake;
  std::thread FThread;
  bool FOpen = false;
  uint16_t FPort = 0;
  std::string FHost;
  uint32_t FMaxClients = DefaultMaxClients;
  bool FStopping = false;
  bool FDropAll = false;  // Disconnect was called
  TClock::time_point FStopDeadline;
  std::vector<TConnection*> FClients;  // those that asked for the stream, in order of arrival
  TChunk FHeader;
  uint32_t FPacketSize = 0;
  uint64_t FDataBytes = 0;
  bool FEnded = false;
  TStatusCallbacks FCallbacks;
  // Server thread only: every connection, oldest first, and when the listener is watched again
  // after running out of descriptors.
  std::vector<std::unique_ptr<TConnection>> FConnections;
  TClock::time_point FAcceptPausedUntil;
  // Set by a test while the server thread reads them.
  std::atomic<uint32_t> FRequestTimeoutMs{DefaultRequestTimeoutMs};
  std::atomic<uint32_t> FPendingCount{0};
};

}  // namespace

IWMWriterNetworkSink* NewNetworkSink() {
  return new TNetworkSink();
}

}  // namespace tunevert::wmvcore
