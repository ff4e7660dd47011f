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
  // Raises EAuException naming the system's error when the file refuses the bytes.
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  void SetSize(int64_t NewSize) override;

  // Closes the file now, raising when the system reports that written data was lost; the
  // destructor closes a file not closed yet without a word, for runs that failed anyway.
  void Close();
  int Handle() const { return FHandle; }
  // Copies up to Count bytes from Source's position to ours inside the kernel, advancing
  // both. Returns the bytes copied (fewer at Source's end), or -1 when the kernel cannot
  // copy between these two files and nothing was copied; raises on a failing read or write.
  int64_t CopyFrom(TAuFileStream& Source, int64_t Count);

 private:
  int FHandle = -1;
};

}  // namespace tunevert
