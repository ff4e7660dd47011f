#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tunevert {

// One tag value: null, an integer of one of the kinds the tag formats use, narrow
// (ISO-8859-1) text or wide (UTF-16) text. The kind is kept through copies.
class TVariant {
 public:
  using TStorage = std::variant<std::monostate, uint8_t, uint16_t, int8_t, int16_t, int32_t,
                                uint32_t, std::string, std::u16string>;

  TVariant() = default;
  TVariant(uint8_t Value) : FData(Value) {}
  TVariant(uint16_t Value) : FData(Value) {}
  TVariant(int8_t Value) : FData(Value) {}
  TVariant(int16_t Value) : FData(Value) {}
  TVariant(int32_t Value) : FData(Value) {}
  TVariant(uint32_t Value) : FData(Value) {}
  TVariant(std::string Value) : FData(std::move(Value)) {}
  TVariant(const char* Value) : FData(std::string(Value)) {}
  TVariant(std::u16string Value) : FData(std::move(Value)) {}
  TVariant(const char16_t* Value) : FData(std::u16string(Value)) {}
  TVariant(bool) = delete;

  bool IsNull() const { return std::holds_alternative<std::monostate>(FData); }
  bool IsNarrow() const { return std::holds_alternative<std::string>(FData); }
  bool IsWide() const { return std::holds_alternative<std::u16string>(FData); }
  bool IsText() const { return IsNarrow() || IsWide(); }
  bool IsInteger() const { return !IsNull() && !IsText(); }

  // The integer for the integer kinds; nothing for null and text.
  std::optional<int64_t> Integer() const;
  const TStorage& Data() const { return FData; }

  // Null equals only null; numbers compare by value whatever their kinds, texts by
  // characters whatever their widths; a text never equals a number.
  friend bool operator==(const TVariant& A, const TVariant& B);

 private:
  TStorage FData;
};

// Decimal integer with optional sign and surrounding blanks; nothing when it does not parse
// or does not fit in 32 bits.
std::optional<int32_t> ParseInt32(std::string_view Text);

}  // namespace tunevert
