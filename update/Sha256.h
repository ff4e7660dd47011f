#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tunevert {

// SHA-256 of a byte stream fed in pieces; used to check a downloaded installer.
class TSha256 {
 public:
  TSha256();
  void Update(const void* Data, std::size_t Size);
  // Lower-case hex digest; the object is spent afterwards.
  std::string HexDigest();

 private:
  void Block(const std::uint8_t* Data);

  std::array<std::uint32_t, 8> FState;
  std::array<std::uint8_t, 64> FBuffer{};
  std::size_t FBuffered = 0;
  std::uint64_t FLength = 0;
};

}  // namespace tunevert
