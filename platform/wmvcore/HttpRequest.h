#pragma once

// The request head a client of the network sink sends, judged from the bytes received so far.

#include <cstddef>
#include <string_view>

namespace tunevert::wmvcore {

// The longest request head the sink reads, its closing blank line included.
constexpr size_t MaxRequestHead = 8192;

enum class TRequestVerdict {
  Incomplete,  // more bytes are needed
  Get,
  Head,
  BadRequest,           // 400
  MethodNotAllowed,     // 405
  TooLarge,             // 431: no end within MaxRequestHead bytes
  VersionNotSupported,  // 505
};

struct THttpRequest {
  TRequestVerdict Verdict = TRequestVerdict::Incomplete;
  // HTTP/1.1 and later understand a chunked body.
  bool Chunked = false;
};

// Any verdict but Incomplete is final: more bytes after the same prefix never change it, so
// the caller may judge whatever has arrived and stop reading at the first final answer.
// Incomplete is only given while fewer than MaxRequestHead bytes are there.
THttpRequest ParseRequest(std::string_view Received);

}  // namespace tunevert::wmvcore
