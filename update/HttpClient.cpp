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

bool IsRedirect(long Status) {
  return Status == 301 || Status == 302 || Status == 303 || Status == 307 || Status == 308;
}

// What a failed transfer means to the user, with libcurl's detail after it.
std::string PlainError(CURLcode Code, const char* Detail) {
  std::string what;
  switch (Code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      what = "the server's name could not be resolved";
      break;
    case CURLE_COULDNT_CONNECT:
      what = "the server could not be reached";
      break;
    case CURLE_OPERATION_TIMEDOUT:
      what = "the server did not answer in time";
      break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
      what = "the server's certificate could not be verified";
      break;
    case CURLE_SSL_CONNECT_ERROR:
      what = "no secure connection could be made";
      break;
    case CURLE_TOO_MANY_REDIRECTS:
      what = "the server redirected more than " + std::to_string(THttpConnection::kMaxRedirects) +
             " times";
      break;
    case CURLE_UNSUPPORTED_PROTOCOL:
      what =
          "the server redirected to an address that is not allowed (never from https to "
          "plain http)";
      break;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
      what = "the connection broke off";
      break;
    default:
      what = "the transfer failed";
  }
  const std::string detail =
      Detail != nullptr && *Detail != '\0' ? Detail : curl_easy_strerror(Code);
  return what + " (" + detail + ")";
}

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
    self->FLocation = false;
    const auto space = line.find(' ');
    self->FStatus = space == std::string::npos ? 0 : std::atol(line.c_str() + space + 1);
  } else if (line == "\r\n" || line == "\n") {
    // A redirect that names its target is followed: its headers are not the answer.
    if (!(IsRedirect(self->FStatus) && self->FLocation)) self->FHeadersDone = true;
  } else {
    const auto colon = line.find(':');
    const auto named = [&](const char* Name) {
      return colon == std::strlen(Name) && curl_strnequal(line.c_str(), Name, colon);
    };
    if (colon == std::string::npos) return Size * Count;
    if (named("content-length")) self->FContentLength = Trim(line.substr(colon + 1));
    if (named("location") && !Trim(line.substr(colon + 1)).empty()) self->FLocation = true;
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
  FLocation = false;
  FErrorText.clear();
  FEffectiveURL = Request.URL;

  FCurl = std::make_unique<TCurl>();
  FCurl->Multi.reset(curl_multi_init());
  FCurl->Easy.reset(curl_easy_init());
  if (!FCurl->Multi || !FCurl->Easy) {
    FErrorText = "the HTTP client could not be initialised";
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
  // Redirects are followed a few times; one from https never leaves https, and the
  // credentials stay with the host they were given for (libcurl's default).
  const bool https = Request.URL.rfind("https://", 0) == 0;
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, https ? "https" : "http,https");
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!Request.CAFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, Request.CAFile.c_str());
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
    FErrorText = "the HTTP request could not be started";
    return false;
  }
  FCurl->Added = true;

  while (!FHeadersDone && Pump()) {
  }
  if (!FHeadersDone && FErrorText.empty() && !FFinished) FErrorText = "the check was stopped";
  if (!FHeadersDone && FErrorText.empty()) FErrorText = "the server sent no answer";
  char* effective = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
    FEffectiveURL = effective;
  return FHeadersDone;
}

bool THttpConnection::Pump() {
  if (!FCurl || FFinished) return false;
  int running = 0;
  if (curl_multi_perform(FCurl->Multi.get(), &running) != CURLM_OK) {
    FErrorText = "the transfer failed";
    FFinished = true;
    return false;
  }
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(FCurl->Multi.get(), &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    FFinished = true;
    if (message->data.result != CURLE_OK)
      FErrorText = PlainError(message->data.result, FCurl->Error);
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
