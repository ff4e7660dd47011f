#pragma once

#include <cstdint>
#include <string>

#include "platform/Stream.h"

namespace tunevert {

// A stream over one open POSIX file descriptor, which it owns. Mode is the 16-bit file
// mode: an upper byte of $FF creates or truncates the file for reading and writing;
// otherwise bits 0-1 choose read (0), write (1) or read/write (2) on an existing file.
// The sharing bits (4-7) have no counterpart here and are ignored.
class TAuFileStream final : public TStream {
 public:
  TAuFileStream(const std::u16string& FileName, uint16_t Mode);
  // Rights is accepted for the callers that pass it and not used.
  TAuFileStream(const std::u16string& FileName, uint16_t Mode, uint32_t Rights);
  TAuFileStream(const TAuFileStream&) = delete;
  TAuFileStream& operator=(const TAuFileStream&) = delete;
  ~TAuFileStream() override;

  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  void SetSize(int64_t NewSize) override;

  int Handle() const { return FHandle; }

 private:
  int FHandle = -1;
};

}  // namespace tunevert
