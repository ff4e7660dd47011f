#include "tags/TagLibStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/Exception.h"

namespace tunevert {

namespace {

constexpr long kMoveChunk = 1 << 20;

bool ProcDescriptorName(const std::string& Name) {
  return Name.rfind("/proc/self/fd/", 0) == 0;
}

}  // namespace

TCheckedFileStream::TCheckedFileStream(const std::string& FileName) : FName(FileName) {
  const int flags = O_RDWR | O_CLOEXEC | (ProcDescriptorName(FileName) ? 0 : O_NOFOLLOW);
  FHandle = ::open(FileName.c_str(), flags);
  if (FHandle < 0) throw EAuException("Failed to write tags: " + std::string(std::strerror(errno)));
}

TCheckedFileStream::~TCheckedFileStream() {
  if (FHandle >= 0) ::close(FHandle);
}

void TCheckedFileStream::Fail(int Error) {
  if (FError == 0) FError = Error == 0 ? EIO : Error;
}

void TCheckedFileStream::ThrowIfFailed() const {
  if (FError != 0) throw EAuException("Failed to save tags: " + std::string(std::strerror(FError)));
}

TagLib::ByteVector TCheckedFileStream::readBlock(unsigned long Length) {
  TagLib::ByteVector block(static_cast<unsigned int>(Length), 0);
  size_t got = 0;
  while (got < Length) {
    const ssize_t n = ::pread(FHandle, block.data() + got, Length - got, FPosition + got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail(errno);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  block.resize(static_cast<unsigned int>(got));
  FPosition += static_cast<long>(got);
  return block;
}

bool TCheckedFileStream::WriteAt(const char* Data, size_t Count, long At) {
  size_t done = 0;
  while (done < Count) {
    const ssize_t n = ::pwrite(FHandle, Data + done, Count - done, At + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Fail(n < 0 ? errno : EIO);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

void TCheckedFileStream::writeBlock(const TagLib::ByteVector& Data) {
  if (WriteAt(Data.data(), Data.size(), FPosition)) FPosition += static_cast<long>(Data.size());
}

bool TCheckedFileStream::MoveTail(long From, long To) {
  const long end = length();
  if (From == To || From >= end) return true;
  std::vector<char> buffer(static_cast<size_t>(std::min(kMoveChunk, end - From)));
  const long total = end - From;
  // Growing, the tail moves from its end backwards so no byte is overwritten before it moved.
  for (long moved = 0; moved < total;) {
    const long count = std::min<long>(static_cast<long>(buffer.size()), total - moved);
    const long offset = To > From ? end - moved - count : From + moved;
    const ssize_t n = ::pread(FHandle, buffer.data(), static_cast<size_t>(count), offset);
    if (n != count) {
      Fail(n < 0 ? errno : EIO);
      return false;
    }
    if (!WriteAt(buffer.data(), static_cast<size_t>(count), offset + (To - From))) return false;
    moved += count;
  }
  return true;
}

void TCheckedFileStream::insert(const TagLib::ByteVector& Data, unsigned long Start,
                                unsigned long Replace) {
  const long start = static_cast<long>(Start);
  const long oldEnd = length();
  const long tailFrom = start + static_cast<long>(Replace);
  const long tailTo = start + static_cast<long>(Data.size());
  if (!MoveTail(tailFrom, tailTo)) return;
  if (!WriteAt(Data.data(), Data.size(), start)) return;
  if (tailTo < tailFrom) truncate(oldEnd - (tailFrom - tailTo));
  FPosition = tailTo;
}

void TCheckedFileStream::removeBlock(unsigned long Start, unsigned long Length) {
  const long start = static_cast<long>(Start);
  const long oldEnd = length();
  const long from = std::min(oldEnd, start + static_cast<long>(Length));
  if (!MoveTail(from, start)) return;
  truncate(oldEnd - (from - std::min(start, from)));
}

void TCheckedFileStream::seek(long Offset, Position P) {
  switch (P) {
    case Beginning:
      FPosition = Offset;
      break;
    case Current:
      FPosition += Offset;
      break;
    case End:
      FPosition = length() + Offset;
      break;
  }
  FPosition = std::max(0L, FPosition);
}

long TCheckedFileStream::length() {
  struct stat status {};
  if (::fstat(FHandle, &status) != 0) {
    Fail(errno);
    return 0;
  }
  return static_cast<long>(status.st_size);
}

void TCheckedFileStream::truncate(long Length) {
  if (::ftruncate(FHandle, Length) != 0) Fail(errno);
}

}  // namespace tunevert
