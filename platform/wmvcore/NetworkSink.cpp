// The network sink: a small HTTP server that sends the stream to every client that asks for
// it with GET. A client gets the header first and then the data from the next packet
// boundary on, so it can join at any time. One thread serves every socket without blocking;
// the writer only queues data, so a client that reads too slowly is dropped instead of
// holding up the encoder.

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

#include "platform/Text.h"
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
constexpr size_t MaxRequest = 8192;
constexpr size_t MaxPending = 32;
constexpr auto RequestTimeout = std::chrono::seconds(10);
// How long Close waits for clients to receive what is queued for them.
constexpr auto CloseLinger = std::chrono::seconds(3);

constexpr GUID FilePropertiesObject{
    0x8CABDCA1, 0xA947, 0x11CF, {0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65}};

uint32_t ReadLE32(const uint8_t* P) {
  return P[0] | P[1] << 8 | P[2] << 16 | static_cast<uint32_t>(P[3]) << 24;
}
uint64_t ReadLE64(const uint8_t* P) {
  return ReadLE32(P) | static_cast<uint64_t>(ReadLE32(P + 4)) << 32;
}
GUID ReadGuid(const uint8_t* P) {
  GUID G;
  G.Data1 = ReadLE32(P);
  G.Data2 = static_cast<uint16_t>(P[4] | P[5] << 8);
  G.Data3 = static_cast<uint16_t>(P[6] | P[7] << 8);
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
  Request,        // reading the HTTP request
  WaitingHeader,  // accepted before the writer began
  WaitingPacket,  // has the header, joins at the next packet boundary
  Streaming,
  Answering,  // a short reply and then the end of the connection
};

struct TClient {
  TFd Socket;
  uint32_t Address = 0;  // most significant byte first
  uint16_t Port = 0;
  TClientState State = TClientState::Request;
  std::string Request;
  TClock::time_point Since = TClock::now();
  // HTTP/1.1 clients get the stream in chunks, so a complete stream is told from a cut one.
  bool Chunked = false;
  bool Ended = false;                           // the end of the stream is queued
  std::deque<std::pair<TChunk, size_t>> Queue;  // chunks and the offset still to send
  size_t Backlog = 0;
  bool Gone = false;  // to be closed by the server thread

  bool Counted() const {
    return State == TClientState::WaitingHeader || State == TClientState::WaitingPacket ||
           State == TClientState::Streaming;
  }
  void EnqueueRaw(TChunk Chunk, size_t From) {
    Backlog += Chunk->size() - From;
    Queue.emplace_back(std::move(Chunk), From);
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

class TNetworkSink final : public IWMWriterNetworkSink,
                           public IWMRegisterCallback,
                           public IWMClientConnections2,
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
    if (listen(Listen.Get(), 16) != 0) return errno == EADDRINUSE ? NS_E_PORT_IN_USE : E_FAIL;
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
    FHeader.reset();
    FPacketSize = 0;
    FDataBytes = 0;
    FEnded = false;
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
    for (auto& Client : FClients) Client->Gone = true;
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
    for (auto& Client : FClients)
      if (Client->State == TClientState::WaitingHeader) {
        Client->Enqueue(FHeader);
        Client->State = TClientState::WaitingPacket;
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
    std::lock_guard Lock(FLock);
    if (!FOpen || !FHeader) return NS_E_INVALID_REQUEST;
    if (Length == 0) return S_OK;
    TChunk Chunk;
    try {
      Chunk = std::make_shared<const std::vector<uint8_t>>(Data, Data + Length);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    // Where the first packet that starts in this unit begins.
    uint64_t Join = FDataBytes;
    if (FPacketSize > 0) Join = (FDataBytes + FPacketSize - 1) / FPacketSize * FPacketSize;
    for (auto& Client : FClients) {
      if (Client->Gone) continue;
      if (Client->State == TClientState::Streaming) {
        Client->Enqueue(Chunk);
      } else if (Client->State == TClientState::WaitingPacket && Join < FDataBytes + Length) {
        Client->Enqueue(Chunk, static_cast<size_t>(Join - FDataBytes));
        Client->State = TClientState::Streaming;
      }
      if (Client->Backlog > MaxBacklog) Client->Gone = true;
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
    const TClient* Client = CountedClient(dwClientNum);
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
      const TClient* Client = CountedClient(dwClientNum);
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

 private:
  size_t CountClients() const {
    return static_cast<size_t>(std::count_if(
        FClients.begin(), FClients.end(), [](const auto& C) { return C->Counted() && !C->Gone; }));
  }

  const TClient* CountedClient(uint32_t Index) const {
    for (const auto& Client : FClients)
      if (Client->Counted() && !Client->Gone && Index-- == 0) return Client.get();
    return nullptr;
  }

  void WakeServer() {
    const uint64_t One = 1;
    if (FWake.Get() >= 0 && write(FWake.Get(), &One, sizeof One) < 0) {
      // Already pending; the server wakes anyway.
    }
  }

  void Serve() {
    std::vector<pollfd> Polls;
    std::vector<TClient*> Polled;
    for (;;) {
      bool Listening = false;
      int Timeout = 1000;
      {
        std::lock_guard Lock(FLock);
        // New clients are refused from the moment Close is called.
        if (FStopping) FListen.Reset();
        Polls.clear();
        Polled.clear();
        Polls.push_back({FWake.Get(), POLLIN, 0});
        Listening = FListen.Get() >= 0;
        if (Listening) Polls.push_back({FListen.Get(), POLLIN, 0});
        for (auto& Client : FClients) {
          short Events = POLLIN;
          if (!Client->Queue.empty()) Events |= POLLOUT;
          Polls.push_back({Client->Socket.Get(), Events, 0});
          Polled.push_back(Client.get());
        }
        if (FStopping) {
          const auto Left =
              std::chrono::ceil<std::chrono::milliseconds>(FStopDeadline - TClock::now());
          Timeout = static_cast<int>(std::clamp<int64_t>(Left.count(), 0, 1000));
        }
      }

      poll(Polls.data(), Polls.size(), Timeout);

      std::vector<WMT_STATUS> Statuses;
      const bool Finished = Step(Polls, Polled, Listening, Statuses);
      // Outside the lock: a callback may ask this sink for its clients.
      for (WMT_STATUS Status : Statuses) FCallbacks.Report(Status, S_OK);
      if (Finished) return;
    }
  }

  // One round of the server after poll; true when Close may return.
  bool Step(const std::vector<pollfd>& Polls, const std::vector<TClient*>& Polled, bool Listening,
            std::vector<WMT_STATUS>& Statuses) {
    std::lock_guard Lock(FLock);
    uint64_t Count;
    while (read(FWake.Get(), &Count, sizeof Count) > 0) {
    }
    if (Listening && FListen.Get() >= 0 && (Polls[1].revents & POLLIN)) Accept();
    const size_t First = Listening ? 2 : 1;
    for (size_t i = 0; i < Polled.size(); ++i) {
      TClient& Client = *Polled[i];
      if (Polls[First + i].revents & (POLLIN | POLLHUP | POLLERR)) Receive(Client, Statuses);
      if (!Client.Gone && !Client.Queue.empty()) Send(Client);
    }
    const auto Now = TClock::now();
    for (auto& Client : FClients) {
      if (Client->State == TClientState::Request && Now - Client->Since > RequestTimeout)
        Client->Gone = true;
      if (FEnded && Client->Counted() && !Client->Ended) {
        Client->EndStream();
        Send(*Client);
      }
      // Everything has been sent: the whole stream, or the short answer.
      if (Client->Queue.empty() && (Client->State == TClientState::Answering || Client->Ended))
        Client->Gone = true;
    }
    const bool Finished =
        FStopping && (Now >= FStopDeadline ||
                      std::all_of(FClients.begin(), FClients.end(),
                                  [](const auto& C) { return C->Gone || C->Queue.empty(); }));
    if (Finished)
      for (auto& Client : FClients) Client->Gone = true;
    DropGone(Statuses);
    return Finished;
  }

  void Accept() {
    for (;;) {
      sockaddr_in Address{};
      socklen_t Length = sizeof Address;
      const int Fd = accept4(FListen.Get(), reinterpret_cast<sockaddr*>(&Address), &Length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (Fd < 0) return;
      // Connections that never ask for anything must not pile up without bound.
      if (FClients.size() >= static_cast<size_t>(FMaxClients) + MaxPending) {
        close(Fd);
        continue;
      }
      auto Client = std::make_unique<TClient>();
      Client->Socket.Reset(Fd);
      Client->Address = ntohl(Address.sin_addr.s_addr);
      Client->Port = ntohs(Address.sin_port);
      FClients.push_back(std::move(Client));
    }
  }

  void Receive(TClient& Client, std::vector<WMT_STATUS>& Statuses) {
    char Buffer[2048];
    for (;;) {
      const ssize_t Got = recv(Client.Socket.Get(), Buffer, sizeof Buffer, 0);
      if (Got < 0 && errno == EINTR) continue;
      if (Got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (Got <= 0) {
        Client.Gone = true;
        return;
      }
      // What a streaming client sends after its request means nothing to us.
      if (Client.State != TClientState::Request) continue;
      Client.Request.append(Buffer, static_cast<size_t>(Got));
      size_t End = Client.Request.find("\r\n\r\n");
      if (End == std::string::npos) End = Client.Request.find("\n\n");
      if (End != std::string::npos) {
        Answer(Client, Statuses);
      } else if (Client.Request.size() > MaxRequest) {
        Client.EnqueueRaw(Reply("400 Bad Request"));
        Client.State = TClientState::Answering;
      }
    }
  }

  static std::string Reply(const std::string& Status, const std::string& Extra = {}) {
    return "HTTP/1.0 " + Status + "\r\nServer: tvwmvcore\r\nContent-Length: 0\r\n" + Extra +
           "Connection: close\r\n\r\n";
  }

  void Answer(TClient& Client, std::vector<WMT_STATUS>& Statuses) {
    const std::string Line = Client.Request.substr(0, Client.Request.find_first_of("\r\n"));
    Client.Request.clear();
    Client.Request.shrink_to_fit();
    Client.State = TClientState::Answering;
    const size_t Space = Line.find(' ');
    const size_t Version = Line.rfind(" HTTP/1.");
    if (Space == std::string::npos || Version == std::string::npos || Version < Space ||
        Line.size() != Version + 9) {
      Client.EnqueueRaw(Reply("400 Bad Request"));
      return;
    }
    const std::string Method = Line.substr(0, Space);
    if (Method != "GET" && Method != "HEAD") {
      Client.EnqueueRaw(Reply("405 Method Not Allowed", "Allow: GET, HEAD\r\n"));
      return;
    }
    // After the end there is nothing left to join; beyond the limit there is no room.
    if (FEnded || CountClients() >= FMaxClients) {
      Client.EnqueueRaw(Reply("503 Service Unavailable"));
      return;
    }
    Client.Chunked = Line.back() != '0';
    Client.EnqueueRaw(std::string(Client.Chunked ? "HTTP/1.1" : "HTTP/1.0") +
                      " 200 OK\r\nServer: tvwmvcore\r\nContent-Type: application/vnd.ms-asf\r\n"
                      "Cache-Control: no-cache\r\n" +
                      (Client.Chunked ? "Transfer-Encoding: chunked\r\n" : "") +
                      "Connection: close\r\n\r\n");
    if (Method == "HEAD") return;
    if (FHeader) {
      Client.Enqueue(FHeader);
      Client.State = TClientState::WaitingPacket;
    } else {
      Client.State = TClientState::WaitingHeader;
    }
    Statuses.push_back(WMT_CLIENT_CONNECT);
  }

  void Send(TClient& Client) {
    while (!Client.Queue.empty()) {
      auto& [Chunk, Offset] = Client.Queue.front();
      const size_t Left = Chunk->size() - Offset;
      const ssize_t Sent =
          send(Client.Socket.Get(), Chunk->data() + Offset, Left, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (Sent < 0 && errno == EINTR) continue;
      if (Sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (Sent <= 0) {
        Client.Gone = true;
        return;
      }
      Client.Backlog -= static_cast<size_t>(Sent);
      Offset += static_cast<size_t>(Sent);
      if (Offset == Chunk->size()) Client.Queue.pop_front();
    }
  }

  void DropGone(std::vector<WMT_STATUS>& Statuses) {
    for (auto It = FClients.begin(); It != FClients.end();) {
      if (!(*It)->Gone) {
        ++It;
        continue;
      }
      if ((*It)->Counted()) Statuses.push_back(WMT_CLIENT_DISCONNECT);
      // The client learns the end from an orderly shutdown rather than a reset.
      shutdown((*It)->Socket.Get(), SHUT_RDWR);
      It = FClients.erase(It);
    }
  }

  std::mutex FLock;
  TFd FListen;
  TFd FWake;
  std::thread FThread;
  bool FOpen = false;
  uint16_t FPort = 0;
  std::string FHost;
  uint32_t FMaxClients = DefaultMaxClients;
  bool FStopping = false;
  TClock::time_point FStopDeadline;
  std::vector<std::unique_ptr<TClient>> FClients;
  TChunk FHeader;
  uint32_t FPacketSize = 0;
  uint64_t FDataBytes = 0;
  bool FEnded = false;
  TStatusCallbacks FCallbacks;
};

}  // namespace

IWMWriterNetworkSink* NewNetworkSink() {
  return new TNetworkSink();
}

}  // namespace tunevert::wmvcore
