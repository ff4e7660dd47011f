#include "platform/wmvcore/HttpRequest.h"

#include <algorithm>
#include <cstring>

namespace tunevert::wmvcore {

namespace {

bool IsDigit(char C) {
  return C >= '0' && C <= '9';
}

bool IsTokenChar(char C) {
  if (IsDigit(C) || (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z')) return true;
  return C != '\0' && std::strchr("!#$%&'*+-.^_`|~", C) != nullptr;
}

bool IsToken(std::string_view Text) {
  return !Text.empty() && std::all_of(Text.begin(), Text.end(), IsTokenChar);
}

// A request target is visible ASCII; what it names does not matter, every path is the stream.
bool IsTarget(std::string_view Text) {
  return !Text.empty() && std::all_of(Text.begin(), Text.end(), [](char C) {
    return static_cast<unsigned char>(C) > 0x20 && static_cast<unsigned char>(C) < 0x7F;
  });
}

// Name, colon, value; the value may hold any byte but the control characters other than tab.
// A line starting with white space would continue the previous one, a form no player sends.
bool IsHeaderLine(std::string_view Line) {
  const size_t Colon = Line.find(':');
  if (Colon == std::string_view::npos || !IsToken(Line.substr(0, Colon))) return false;
  return std::none_of(Line.begin() + static_cast<std::ptrdiff_t>(Colon) + 1, Line.end(),
                      [](char C) {
                        const auto U = static_cast<unsigned char>(C);
                        return (U < 0x20 && U != '\t') || U == 0x7F;
                      });
}

// "METHOD SP target SP HTTP/d.d", nothing more and nothing less.
THttpRequest JudgeRequestLine(std::string_view Line) {
  constexpr THttpRequest Bad{TRequestVerdict::BadRequest, false};
  const size_t First = Line.find(' ');
  if (First == std::string_view::npos) return Bad;
  const size_t Second = Line.find(' ', First + 1);
  if (Second == std::string_view::npos || Line.find(' ', Second + 1) != std::string_view::npos)
    return Bad;
  const std::string_view Method = Line.substr(0, First);
  const std::string_view Target = Line.substr(First + 1, Second - First - 1);
  const std::string_view Version = Line.substr(Second + 1);
  if (!IsToken(Method) || !IsTarget(Target)) return Bad;
  if (Version.size() != 8 || Version.substr(0, 5) != "HTTP/" || !IsDigit(Version[5]) ||
      Version[6] != '.' || !IsDigit(Version[7]))
    return Bad;
  if (Version[5] != '1') return {TRequestVerdict::VersionNotSupported, false};
  const bool Chunked = Version[7] != '0';
  if (Method == "GET") return {TRequestVerdict::Get, Chunked};
  if (Method == "HEAD") return {TRequestVerdict::Head, Chunked};
  return {TRequestVerdict::MethodNotAllowed, Chunked};
}

}  // namespace

THttpRequest ParseRequest(std::string_view Received) {
  // Only lines that end inside the cap count, so a verdict never depends on bytes past it.
  const std::string_view Head = Received.substr(0, MaxRequestHead);
  THttpRequest Request;
  bool HaveLine = false;
  size_t At = 0;
  for (;;) {
    const size_t End = Head.find('\n', At);
    if (End == std::string_view::npos) break;
    std::string_view Line = Head.substr(At, End - At);
    // Bare LF ends a line too: some hand-written clients send nothing else.
    if (!Line.empty() && Line.back() == '\r') Line.remove_suffix(1);
    At = End + 1;
    if (!HaveLine) {
      if (Line.empty()) continue;  // blank lines before the request line are tolerated
      Request = JudgeRequestLine(Line);
      HaveLine = true;
      if (Request.Verdict != TRequestVerdict::Get && Request.Verdict != TRequestVerdict::Head)
        return Request;
      continue;
    }
    if (Line.empty()) return Request;
    if (!IsHeaderLine(Line)) return {TRequestVerdict::BadRequest, false};
  }
  if (Received.size() >= MaxRequestHead) return {TRequestVerdict::TooLarge, false};
  return {};
}

}  // namespace tunevert::wmvcore
