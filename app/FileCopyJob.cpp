#include "app/FileCopyJob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/Exception.h"
#include "platform/FileDescriptor.h"

namespace tunevert {

namespace {

constexpr size_t kChunk = 1 << 20;

[[noreturn]] void Raise(const char* Doing, int Error = errno) {
  throw EAuException(std::string("the file could not be ") + Doing + ": " +
                     std::generic_category().message(Error));
}

TFileDescriptor Open(const std::string& Name, int Flags) {
  TFileDescriptor file(::open(Name.c_str(), Flags | O_CLOEXEC));
  if (!file.Valid()) Raise("opened");
  return file;
}

// Reads Count bytes at Offset, fewer only at the end of the file.
size_t ReadAt(int Handle, char* Buffer, size_t Count, off_t Offset) {
  size_t done = 0;
  while (done < Count) {
    const ssize_t n =
        ::pread(Handle, Buffer + done, Count - done, Offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      Raise("read");
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

bool SameVersion(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

TFileCopyJob::TFileCopyJob(std::string Source, std::string Target, bool Verify, TDone OnDone)
    : FSource(std::move(Source)),
      FTarget(std::move(Target)),
      FVerify(Verify),
      FOnDone(std::move(OnDone)) {
  Start();
}

TFileCopyJob::~TFileCopyJob() {
  Terminate();
  WaitFor();
}

void TFileCopyJob::Execute() {
  try {
    Copy();
  } catch (const std::exception& e) {
    FFailure = e.what();
  }
  if (!Terminated()) Synchronize([this] { FOnDone(*this); });
}

void TFileCopyJob::Copy() {
  const TFileDescriptor source = Open(FSource, O_RDONLY | O_NOCTTY | O_NONBLOCK);
  struct stat before {};
  if (::fstat(source.Get(), &before) != 0) Raise("read");
  TFileDescriptor target = Open(FTarget, O_WRONLY | O_TRUNC);
  const off_t size = before.st_size;
  std::vector<char> buffer(kChunk), again;
  for (off_t offset = 0; offset < size;) {
    if (Terminated()) throw EAuException("The copy stopped before the end of the file.");
    // Inside the kernel where both file systems allow it (a reflink on some).
    off_t in = offset;
    ssize_t n = ::copy_file_range(source.Get(), &in, target.Get(), nullptr,
                                  static_cast<size_t>(std::min<off_t>(size - offset, kChunk)), 0);
    if (n < 0 && errno != EINTR) {
      if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG || errno == EIO) Raise("written");
      n = static_cast<ssize_t>(ReadAt(source.Get(), buffer.data(),
                                      static_cast<size_t>(std::min<off_t>(size - offset, kChunk)),
                                      offset));
      if (const int error = WriteAll(target.Get(), buffer.data(), static_cast<size_t>(n)))
        Raise("written", error);
    }
    if (n == 0) break;
    if (n > 0) offset += n;
    FPercent = static_cast<int>(offset * (FVerify ? 50 : 100) / size);
  }
  if (const int error = target.Close()) Raise("closed", error);
  if (FVerify) {
    const TFileDescriptor copy = Open(FTarget, O_RDONLY);
    again.resize(kChunk);
    struct stat written {};
    if (::fstat(copy.Get(), &written) != 0) Raise("read");
    if (written.st_size != size)
      throw EAuException("The copy is " + std::to_string(written.st_size) + " bytes, its source " +
                         std::to_string(size));
    for (off_t offset = 0; offset < size;) {
      if (Terminated()) throw EAuException("The copy stopped before the end of the file.");
      const size_t want = static_cast<size_t>(std::min<off_t>(size - offset, kChunk));
      if (ReadAt(source.Get(), buffer.data(), want, offset) != want ||
          ReadAt(copy.Get(), again.data(), want, offset) != want ||
          std::memcmp(buffer.data(), again.data(), want) != 0)
        throw EAuException("The copy read back differs from its source at byte " +
                           std::to_string(offset));
      offset += static_cast<off_t>(want);
      FPercent = static_cast<int>(50 + offset * 50 / size);
    }
  }
  struct stat after {};
  if (::fstat(source.Get(), &after) != 0) Raise("read");
  if (!SameVersion(before, after)) throw EAuException("The source changed while it was copied");
  FPercent = 100;
}

}  // namespace tunevert
