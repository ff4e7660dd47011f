#include "HttpTestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace tunevert::testing {

THttpTestServer::THttpTestServer() {
  FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (FListen < 0 || bind(FListen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(FListen, 8) != 0)
    throw std::runtime_error("test server: cannot listen on 127.0.0.1");
  socklen_t length = sizeof address;
  getsockname(FListen, reinterpret_cast<sockaddr*>(&address), &length);
  FPort = ntohs(address.sin_port);
  FThread = std::thread([this] { Serve(); });
}

THttpTestServer::~THttpTestServer() {
  FStop = true;
  FThread.join();
  close(FListen);
}

std::string THttpTestServer::URL(const std::string& Path) const {
  return "http://127.0.0.1:" + std::to_string(FPort) + Path;
}

void THttpTestServer::Route(const std::string& Path, TRoute Response) {
  std::lock_guard<std::mutex> lock(FMutex);
  FRoutes[Path] = std::move(Response);
}

std::vector<std::string> THttpTestServer::Requests() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FRequests;
}

std::vector<std::string> THttpTestServer::Paths() const {
  std::vector<std::string> paths;
  for (const std::string& request : Requests()) {
    const auto first = request.find(' ');
    const auto second = request.find(' ', first + 1);
    paths.push_back(request.substr(first + 1, second - first - 1));
  }
  return paths;
}

void THttpTestServer::Serve() {
  while (!FStop) {
    pollfd ready{FListen, POLLIN, 0};
    if (poll(&ready, 1, 50) <= 0) continue;
    const int client = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    Answer(client);
    close(client);
  }
}

void THttpTestServer::Answer(int Socket) {
  std::string head;
  char buffer[2048];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
    pollfd ready{Socket, POLLIN, 0};
    if (poll(&ready, 1, 3000) <= 0) return;
    const ssize_t got = recv(Socket, buffer, sizeof buffer, 0);
    if (got <= 0) return;
    head.append(buffer, static_cast<std::size_t>(got));
  }
  TRoute route{404, "not here"};
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FRequests.push_back(head);
    const auto first = head.find(' ');
    const std::string path = head.substr(first + 1, head.find(' ', first + 1) - first - 1);
    if (const auto found = FRoutes.find(path); found != FRoutes.end()) route = found->second;
  }
  std::string response = "HTTP/1.0 " + std::to_string(route.Status) + " Test\r\n";
  if (!route.NoLength)
    response +=
        "Content-Length: " + route.ContentLength.value_or(std::to_string(route.Body.size())) +
        "\r\n";
  for (const std::string& header : route.Headers) response += header + "\r\n";
  response += "Content-Type: text/html\r\n\r\n";
  response += route.Body.substr(0, route.SendBytes.value_or(route.Body.size()));
  std::size_t sent = 0;
  while (sent < response.size()) {
    const ssize_t put = send(Socket, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
    if (put <= 0) return;
    sent += static_cast<std::size_t>(put);
  }
  shutdown(Socket, SHUT_WR);
  // Let the client read everything before the connection closes.
  pollfd done{Socket, POLLIN, 0};
  if (poll(&done, 1, 1000) > 0) recv(Socket, buffer, sizeof buffer, 0);
}

}  // namespace tunevert::testing
