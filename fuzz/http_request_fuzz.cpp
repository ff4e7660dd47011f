// Feeds arbitrary bytes to the network sink's request parser as one request head and checks
// what the sink relies on: a final verdict stands whatever follows or wherever the bytes were
// cut, nothing is left undecided past the size cap, and a request is only accepted with a
// blank line inside the cap after a GET or HEAD request line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/wmvcore/HttpRequest.h"

using namespace tunevert::wmvcore;

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

bool Accepted(TRequestVerdict Verdict) {
  return Verdict == TRequestVerdict::Get || Verdict == TRequestVerdict::Head;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view Text(reinterpret_cast<const char*>(Data), Size);
  const THttpRequest Whole = ParseRequest(Text);

  if (Whole.Verdict == TRequestVerdict::Incomplete) Check(Size < MaxRequestHead);
  if (Accepted(Whole.Verdict)) {
    const std::string_view Head = Text.substr(0, MaxRequestHead);
    Check(Head.find("\n\n") != std::string_view::npos ||
          Head.find("\n\r\n") != std::string_view::npos);
    const size_t Start = Text.find_first_not_of("\r\n");
    const std::string_view Method = Whole.Verdict == TRequestVerdict::Get ? "GET " : "HEAD ";
    Check(Start != std::string_view::npos && Text.substr(Start, Method.size()) == Method);
  }

  // The sink judges whatever has arrived in each round; a cut anywhere must agree.
  const size_t Newline = Text.find('\n');
  for (size_t Cut :
       {Size / 2, Size / 3, Size > 0 ? Size - 1 : 0,
        Newline == std::string_view::npos ? 0 : Newline + 1, MaxRequestHead - 1, MaxRequestHead}) {
    if (Cut > Size) continue;
    const THttpRequest Part = ParseRequest(Text.substr(0, Cut));
    if (Part.Verdict == TRequestVerdict::Incomplete) continue;
    Check(Part.Verdict == Whole.Verdict && Part.Chunked == Whole.Chunked);
  }
  if (Whole.Verdict != TRequestVerdict::Incomplete) {
    const THttpRequest More = ParseRequest(std::string(Text) + "GET / HTTP/1.1\r\n\r\n");
    Check(More.Verdict == Whole.Verdict && More.Chunked == Whole.Chunked);
  }
  return 0;
}
