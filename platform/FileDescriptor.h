#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <utility>

namespace tunevert {

// An open file descriptor, closed when it goes.
class TFileDescriptor {
 public:
  explicit TFileDescriptor(int Descriptor) : FDescriptor(Descriptor) {}
  TFileDescriptor(TFileDescriptor&& Other) noexcept
      : FDescriptor(std::exchange(Other.FDescriptor, -1)) {}
  ~TFileDescriptor() {
    if (FDescriptor >= 0) ::close(FDescriptor);
  }
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(TFileDescriptor&&) = delete;

  int Get() const { return FDescriptor; }
  bool Valid() const { return FDescriptor >= 0; }
  // Closes it now: 0, or the error a close reports for a write that failed late (NFS does).
  int Close() {
    if (::close(std::exchange(FDescriptor, -1)) != 0 && errno != EINTR) return errno;
    return 0;
  }

 private:
  int FDescriptor;
};

// Writes all Count bytes at the file's position: 0, or the system's error for the refusal.
inline int WriteAll(int Descriptor, const void* Data, size_t Count) {
  const char* bytes = static_cast<const char*>(Data);
  for (size_t done = 0; done < Count;) {
    const ssize_t n = ::write(Descriptor, bytes + done, Count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    done += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace tunevert
