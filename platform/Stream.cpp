#include "platform/Stream.h"

#include <algorithm>
#include <cstring>

#include "platform/Exception.h"

namespace tunevert {

int64_t TStream::Size() {
  const int64_t position = Seek(0, TSeekOrigin::soCurrent);
  const int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(position, TSeekOrigin::soBeginning);
  return size;
}

void TStream::ReadBuffer(void* Buffer, int64_t Count) {
  auto* out = static_cast<uint8_t*>(Buffer);
  int64_t done = 0;
  while (done < Count) {
    const int64_t n = Read(out + done, Count - done);
    if (n <= 0) throw EAuException("Stream read error");
    done += n;
  }
}

void TStream::WriteBuffer(const void* Buffer, int64_t Count) {
  const auto* in = static_cast<const uint8_t*>(Buffer);
  int64_t done = 0;
  while (done < Count) {
    const int64_t n = Write(in + done, Count - done);
    if (n <= 0) throw EAuException("Stream write error");
    done += n;
  }
}

int64_t TStream::CopyFrom(TStream& Source, int64_t Count) {
  if (Count == 0) {
    Source.SetPosition(0);
    Count = Source.Size();
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(Count, 1 << 16)));
  int64_t left = Count;
  while (left > 0) {
    const int64_t n = std::min<int64_t>(left, static_cast<int64_t>(buffer.size()));
    Source.ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    left -= n;
  }
  return Count;
}

int64_t TMemoryStream::Read(void* Buffer, int64_t Count) {
  if (Count <= 0 || FPosition >= Size()) return 0;
  const int64_t n = std::min(Count, Size() - FPosition);
  std::memcpy(Buffer, FData.data() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

int64_t TMemoryStream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  if (FPosition + Count > Size()) FData.resize(static_cast<size_t>(FPosition + Count));
  std::memcpy(FData.data() + FPosition, Buffer, static_cast<size_t>(Count));
  FPosition += Count;
  return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  int64_t base = 0;
  if (Origin == TSeekOrigin::soCurrent) base = FPosition;
  if (Origin == TSeekOrigin::soEnd) base = Size();
  // A position past the end is allowed (a later write fills the gap with zeros); before
  // the start is not.
  FPosition = std::max<int64_t>(0, base + Offset);
  return FPosition;
}

void TMemoryStream::SetSize(int64_t NewSize) {
  FData.resize(static_cast<size_t>(std::max<int64_t>(0, NewSize)));
  FPosition = std::min(FPosition, Size());
}

void TMemoryStream::Clear() {
  FData.clear();
  FPosition = 0;
}

}  // namespace tunevert
