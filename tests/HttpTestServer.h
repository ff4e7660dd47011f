#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tunevert::testing {

// A tiny HTTP server on 127.0.0.1 (an ephemeral port), one connection at a time, for the
// update tests. Unknown paths get 404.
class THttpTestServer {
 public:
  struct TRoute {
    TRoute() = default;
    TRoute(int AStatus, std::string ABody) : Status(AStatus), Body(std::move(ABody)) {}
    int Status = 200;
    std::string Body;
    // The Content-Length header as sent; unset: the body's size. NoLength: no header.
    std::optional<std::string> ContentLength;
    bool NoLength = false;
    // Bytes of the body actually sent (a short response); unset: all of it.
    std::optional<std::size_t> SendBytes;
    // Further header lines ("Location: /x"), without line ends.
    std::vector<std::string> Headers;
  };

  THttpTestServer();
  ~THttpTestServer();

  int Port() const { return FPort; }
  std::string URL(const std::string& Path) const;
  void Route(const std::string& Path, TRoute Response);
  void Route(const std::string& Path, const std::string& Body) { Route(Path, TRoute{200, Body}); }
  // Every request received so far, head only (request line and headers).
  std::vector<std::string> Requests() const;
  // The paths requested, in order.
  std::vector<std::string> Paths() const;

 private:
  void Serve();
  void Answer(int Socket);

  int FListen = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};  // set by the destructor, polled by the server thread
  mutable std::mutex FMutex;
  std::map<std::string, TRoute> FRoutes;
  std::vector<std::string> FRequests;
  std::thread FThread;
};

}  // namespace tunevert::testing
