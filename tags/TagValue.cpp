#include "tags/TagValue.h"

#include <charconv>

#include "platform/Text.h"

namespace tunevert {

std::optional<int64_t> TVariant::Integer() const {
  return std::visit(
      [](const auto& v) -> std::optional<int64_t> {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_integral_v<T>)
          return static_cast<int64_t>(v);
        else
          return std::nullopt;
      },
      FData);
}

bool operator==(const TVariant& A, const TVariant& B) {
  if (A.IsNull() || B.IsNull()) return A.IsNull() && B.IsNull();
  if (A.IsText() != B.IsText()) return false;
  if (!A.IsText()) return A.Integer() == B.Integer();
  if (A.IsNarrow() && B.IsNarrow())
    return std::get<std::string>(A.FData) == std::get<std::string>(B.FData);
  const std::u16string a = A.IsWide() ? std::get<std::u16string>(A.FData)
                                      : Latin1ToUtf16(std::get<std::string>(A.FData));
  const std::u16string b = B.IsWide() ? std::get<std::u16string>(B.FData)
                                      : Latin1ToUtf16(std::get<std::string>(B.FData));
  return a == b;
}

std::optional<int32_t> ParseInt32(std::string_view Text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!Text.empty() && blank(Text.front())) Text.remove_prefix(1);
  while (!Text.empty() && blank(Text.back())) Text.remove_suffix(1);
  if (!Text.empty() && Text.front() == '+') {
    Text.remove_prefix(1);
    if (!Text.empty() && Text.front() == '-') return std::nullopt;
  }
  if (Text.empty()) return std::nullopt;
  int32_t value = 0;
  const auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), value);
  if (ec != std::errc() || end != Text.data() + Text.size()) return std::nullopt;
  return value;
}

}  // namespace tunevert
