#include "platform/AuFileStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "platform/Exception.h"
#include "platform/Interrupt.h"
#include "platform/Text.h"

namespace tunevert {

namespace {

[[noreturn]] void RaiseErrno(int Error) {
  throw EAuException(std::strerror(Error));
}

// Files are written only as outputs, and a user deciding whether to trust one needs to know
// which side failed.
[[noreturn]] void RaiseWriteErrno(int Error) {
  throw EAuException(std::string("The output file could not be written: ") + std::strerror(Error));
}

}  // namespace

TAuFileStream::TAuFileStream(const std::u16string& FileName, uint16_t Mode)
    : TAuFileStream(FileName, Mode, 0) {}

TAuFileStream::TAuFileStream(const std::u16string& FileName, uint16_t Mode, uint32_t /*Rights*/) {
  const std::string path = Utf16ToUtf8(FileName);
  int flags = O_CLOEXEC;
  if ((Mode & 0xFF00) == 0xFF00) {
    flags |= O_RDWR | O_CREAT | O_TRUNC;
  } else {
    switch (Mode & 3) {
      case 0:
        flags |= O_RDONLY;
        break;
      case 1:
        flags |= O_WRONLY;
        break;
      case 2:
        flags |= O_RDWR;
        break;
      default:
        RaiseErrno(EINVAL);
    }
  }
  // A FIFO without a writer blocks here; a signal that asks to stop ends the wait.
  do {
    FHandle = ::open(path.c_str(), flags, 0644);
  } while (FHandle < 0 && errno == EINTR && !InterruptRequested());
  if (FHandle < 0) RaiseErrno(errno);
  // A directory opens read-only on Linux but is no file to decode or write.
  struct stat st {};
  if (::fstat(FHandle, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(FHandle);
    FHandle = -1;
    RaiseErrno(EISDIR);
  }
}

TAuFileStream::~TAuFileStream() {
  if (FHandle >= 0) ::close(FHandle);
}

void TAuFileStream::Close() {
  if (FHandle < 0) return;
  // The descriptor is gone whatever close says; EINTR leaves nothing to retry.
  if (::close(std::exchange(FHandle, -1)) != 0 && errno != EINTR) RaiseWriteErrno(errno);
}

int64_t TAuFileStream::Read(void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  auto* out = static_cast<uint8_t*>(Buffer);
  int64_t done = 0;
  while (done < Count) {
    const ssize_t n = ::read(FHandle, out + done, static_cast<size_t>(Count - done));
    if (n < 0) {
      // Even after a part: a short count would read as the file's end.
      if (errno == EINTR && InterruptRequested()) RaiseErrno(EINTR);
      if (errno == EINTR) continue;
      if (done > 0) break;
      RaiseErrno(errno);
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

int64_t TAuFileStream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  const auto* in = static_cast<const uint8_t*>(Buffer);
  int64_t done = 0;
  while (done < Count) {
    const ssize_t n = ::write(FHandle, in + done, static_cast<size_t>(Count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      // Whatever part went out, the output is cut.
      RaiseWriteErrno(errno);
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

int64_t TAuFileStream::CopyFrom(TAuFileStream& Source, int64_t Count) {
  int64_t done = 0;
  while (done < Count) {
    const ssize_t n = ::copy_file_range(Source.FHandle, nullptr, FHandle, nullptr,
                                        static_cast<size_t>(Count - done), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Other file systems, pipes, files opened for appending, older kernels.
      const bool unsupported = errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                               errno == EOPNOTSUPP || errno == EBADF || errno == EPERM;
      if (done == 0 && unsupported) return -1;
      // A short count would read as a source that shrank, and the next call need not fail.
      if (errno == EFBIG || errno == ENOSPC || errno == EDQUOT) RaiseWriteErrno(errno);
      if (done > 0) break;  // the next call reports it
      RaiseErrno(errno);
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

int64_t TAuFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  int whence = SEEK_SET;
  if (Origin == TSeekOrigin::soCurrent) whence = SEEK_CUR;
  if (Origin == TSeekOrigin::soEnd) whence = SEEK_END;
  const off_t result = ::lseek(FHandle, static_cast<off_t>(Offset), whence);
  if (result < 0) RaiseErrno(errno);
  return result;
}

void TAuFileStream::SetSize(int64_t NewSize) {
  if (::ftruncate(FHandle, static_cast<off_t>(NewSize)) != 0) RaiseErrno(errno);
}

}  // namespace tunevert
