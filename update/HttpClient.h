#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tunevert {

// One HTTP GET over libcurl, read the way the update component reads: open (request sent,
// response headers in), then read the body in pieces of the caller's size. All on the
// calling thread; OnIdle runs while waiting for the network.
class THttpConnection {
 public:
  struct TRequest {
    std::string URL;  // scheme, host and path
    long Port = 0;    // 0: the URL's own (or the scheme's default)
    std::string UserName;
    std::string Password;
    // Certificates to trust for https instead of the system's (empty: the system's).
    std::string CAFile;
  };
  // Redirects followed per request; an https request is redirected to https only.
  static constexpr long kMaxRedirects = 5;

  THttpConnection();
  ~THttpConnection();
  THttpConnection(const THttpConnection&) = delete;
  THttpConnection& operator=(const THttpConnection&) = delete;

  // Runs while waiting for data; returns false to give up the transfer.
  std::function<bool()> OnIdle;

  // Sends the request and waits for the response headers. False on failure (ErrorText says
  // why) or when OnIdle gave up.
  bool Open(const TRequest& Request);
  long Status() const { return FStatus; }
  // The Content-Length header as sent (trimmed); empty when the response had none.
  const std::optional<std::string>& ContentLength() const { return FContentLength; }
  // Blocks until Size bytes have arrived or the body ended; returns the count (0 at the end,
  // on failure or when OnIdle gave up).
  std::size_t Read(char* Buffer, std::size_t Size);
  // Empty while all is well; otherwise says in plain words what went wrong.
  const std::string& ErrorText() const { return FErrorText; }
  // The address the response came from, after redirects.
  const std::string& EffectiveURL() const { return FEffectiveURL; }
  void Close();

 private:
  struct TCurl;
  static std::size_t HeaderCallback(char* Data, std::size_t Size, std::size_t Count, void* Self);
  static std::size_t WriteCallback(char* Data, std::size_t Size, std::size_t Count, void* Self);
  // One round of network work; false once the transfer is over or was given up.
  bool Pump();

  std::unique_ptr<TCurl> FCurl;
  std::string FPending;  // received, not yet read
  std::size_t FPendingStart = 0;
  long FStatus = 0;
  std::optional<std::string> FContentLength;
  bool FHeadersDone = false;
  bool FLocation = false;  // the current response names where to go next
  bool FFinished = false;
  std::string FErrorText;
  std::string FEffectiveURL;
};

// Parses a Content-Length value: decimal digits only, at most 2^31 - 1. Anything else raises
// EAuException.
int ParseContentLength(const std::string& Value);

}  // namespace tunevert
