#pragma once

// A plain HTTP client socket on loopback, for tests that talk to the network sink.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tunevert::testing {

using TClock = std::chrono::steady_clock;

class TestClient {
 public:
  // From is the local address to connect from; the whole of 127/8 reaches the loopback.
  explicit TestClient(uint16_t Port, int ReceiveBuffer = 0, uint32_t From = INADDR_LOOPBACK) {
    FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Set before connecting, so the window the server sees stays small.
    if (ReceiveBuffer > 0)
      setsockopt(FFd, SOL_SOCKET, SO_RCVBUF, &ReceiveBuffer, sizeof ReceiveBuffer);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    if (From != INADDR_LOOPBACK) {
      Address.sin_addr.s_addr = htonl(From);
      if (bind(FFd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0) return;
    }
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Address.sin_port = htons(Port);
    Connected = connect(FFd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0;
  }
  ~TestClient() {
    if (FFd >= 0) close(FFd);
  }
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  int Fd() const { return FFd; }
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
  bool ReadToEnd(std::chrono::milliseconds Limit = std::chrono::seconds(20)) {
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
  // Neither closed by the server nor sent anything yet.
  bool Silent() const {
    pollfd P{FFd, POLLIN, 0};
    return poll(&P, 1, 0) == 0;
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
inline std::string Dechunk(const std::string& Body) {
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

inline bool WaitFor(const std::function<bool()>& Done,
                    std::chrono::milliseconds Limit = std::chrono::seconds(10)) {
  const auto Deadline = TClock::now() + Limit;
  while (!Done()) {
    if (TClock::now() > Deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace tunevert::testing
