#include "update/HttpClient.h"

#include <curl/curl.h>

#include <climits>
#include <cstring>
#include <mutex>

#include "platform/Exception.h"

namespace tunevert {

namespace {

struct TEasyDeleter {
  void operator()(CURL* Handle) const { curl_easy_cleanup(Handle); }
};
struct TMultiDeleter {
  void operator()(CURLM* Handle) const { curl_multi_cleanup(Handle); }
};
struct TSlistDeleter {
  void operator()(curl_slist* List) const { curl_slist_free_all(List); }
};

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string Trim(std::string Text) {
  const char* space = " \t\r\n";
  const auto first = Text.find_first_not_of(space);
  if (first == std::string::npos) return {};
  const auto last = Text.find_last_not_of(space);
  return Text.substr(first, last - first + 1);
}

constexpr int kPollMs = 50;

}  // namespace

int ParseContentLength(const std::string& Value) {
  if (Value.empty() || Value.size() > 10) throw EAuException("Invalid Content-Length: " + Value);
  long long length = 0;
  for (char c : Value) {
    if (c < '0' || c > '9') throw EAuException("Invalid Content-Length: " + Value);
    length = length * 10 + (c - '0');
  }
  if (length > INT_MAX) throw EAuException("Content-Length too large: " + Value);
  return static_cast<int>(length);
}

struct THttpConnection::TCurl {
  std::unique_ptr<CURLM, TMultiDeleter> Multi;
  std::unique_ptr<CURL, TEasyDeleter> Easy;
  std::unique_ptr<curl_slist, TSlistDeleter> Headers;
  bool Added = false;
  char Error[CURL_ERROR_SIZE] = {};

  ~TCurl() {
    if (Added) curl_multi_remove_handle(Multi.get(), Easy.get());
  }
};

THttpConnection::THttpConnection() = default;

THttpConnection::~THttpConnection() {
  Close();
}

void THttpConnection::Close() {
  FCurl.reset();
  FPending.clear();
  FPendingStart = 0;
}

std::size_t THttpConnection::HeaderCallback(char* Data, std::size_t Size, std::size_t Count,
                                            void* Self) {
  auto* self = static_cast<THttpConnection*>(Self);
  const std::string line(Data, Size * Count);
  if (line.rfind("HTTP/", 0) == 0) {
    // A new response (curl reports every one it reads): forget the previous headers.
    self->FContentLength.reset();
    self->FHeadersDone = false;
    const auto space = line.find(' ');
    self->FStatus = space == std::string::npos ? 0 : std::atol(line.c_str() + space + 1);
  } else if (line == "\r\n" || line == "\n") {
    self->FHeadersDone = true;
  } else {
    const auto colon = line.find(':');
    if (colon != std::string::npos && curl_strnequal(line.c_str(), "content-length", colon) &&
        colon == std::strlen("content-length"))
      self->FContentLength = Trim(line.substr(colon + 1));
  }
  return Size * Count;
}

std::size_t THttpConnection::WriteCallback(char* Data, std::size_t Size, std::size_t Count,
                                           void* Self) {
  auto* self = static_cast<THttpConnection*>(Self);
  self->FHeadersDone = true;
  self->FPending.append(Data, Size * Count);
  return Size * Count;
}

bool THttpConnection::Open(const TRequest& Request) {
  Close();
  GlobalInit();
  FStatus = 0;
  FContentLength.reset();
  FHeadersDone = false;
  FFinished = false;
  FErrorText.clear();

  FCurl = std::make_unique<TCurl>();
  FCurl->Multi.reset(curl_multi_init());
  FCurl->Easy.reset(curl_easy_init());
  if (!FCurl->Multi || !FCurl->Easy) {
    FErrorText = "The HTTP client could not be initialised";
    return false;
  }
  CURL* easy = FCurl->Easy.get();
  curl_easy_setopt(easy, CURLOPT_URL, Request.URL.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
  curl_easy_setopt(easy, CURLOPT_USERAGENT, "TWebUpdate");
  if (Request.Port != 0) curl_easy_setopt(easy, CURLOPT_PORT, Request.Port);
  if (!Request.UserName.empty() || !Request.Password.empty()) {
    curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(easy, CURLOPT_USERNAME, Request.UserName.c_str());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, Request.Password.c_str());
  }
  // One accept entry, and always the server's copy, never a cache's.
  curl_slist* headers = curl_slist_append(nullptr, "Accept: */*");
  headers = curl_slist_append(headers, "Pragma: no-cache");
  headers = curl_slist_append(headers, "Cache-Control: no-cache");
  FCurl->Headers.reset(headers);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, 20L);
  // A server that stops sending must not keep the check running for ever.
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, 60L);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &THttpConnection::HeaderCallback);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &THttpConnection::WriteCallback);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, FCurl->Error);
  if (curl_multi_add_handle(FCurl->Multi.get(), easy) != CURLM_OK) {
    FErrorText = "The HTTP request could not be started";
    return false;
  }
  FCurl->Added = true;

  while (!FHeadersDone && Pump()) {
  }
  if (!FHeadersDone && FErrorText.empty() && !FFinished) FErrorText = "The transfer was aborted";
  if (!FHeadersDone && FErrorText.empty()) FErrorText = "The server sent no response";
  return FHeadersDone;
}

bool THttpConnection::Pump() {
  if (!FCurl || FFinished) return false;
  int running = 0;
  if (curl_multi_perform(FCurl->Multi.get(), &running) != CURLM_OK) {
    FErrorText = "The HTTP transfer failed";
    FFinished = true;
    return false;
  }
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(FCurl->Multi.get(), &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    FFinished = true;
    if (message->data.result != CURLE_OK)
      FErrorText =
          FCurl->Error[0] != '\0' ? FCurl->Error : curl_easy_strerror(message->data.result);
  }
  if (FFinished) return false;
  if (FHeadersDone) return true;
  curl_multi_poll(FCurl->Multi.get(), nullptr, 0, kPollMs, nullptr);
  if (OnIdle && !OnIdle()) return false;
  return true;
}

std::size_t THttpConnection::Read(char* Buffer, std::size_t Size) {
  while (FPending.size() - FPendingStart < Size && !FFinished && FCurl) {
    const std::size_t before = FPending.size();
    if (!Pump()) break;
    if (FPending.size() == before) {
      curl_multi_poll(FCurl->Multi.get(), nullptr, 0, kPollMs, nullptr);
      if (OnIdle && !OnIdle()) return 0;
    }
  }
  const std::size_t count = std::min(Size, FPending.size() - FPendingStart);
  std::memcpy(Buffer, FPending.data() + FPendingStart, count);
  FPendingStart += count;
  if (FPendingStart == FPending.size()) {
    FPending.clear();
    FPendingStart = 0;
  }
  return count;
}

}  // namespace tunevert
