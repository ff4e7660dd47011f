#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tunevert {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// A byte stream with a position.
class TStream {
 public:
  virtual ~TStream() = default;

  // Reads up to Count bytes; returns how many were read (0 at the end).
  virtual int64_t Read(void* Buffer, int64_t Count) = 0;
  // Writes Count bytes; returns how many were written.
  virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
  // Returns the new position.
  virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;

  virtual int64_t Size();
  virtual void SetSize(int64_t NewSize) = 0;
  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t Value) { Seek(Value, TSeekOrigin::soBeginning); }

  // Read or write exactly Count bytes or raise EAuException.
  void ReadBuffer(void* Buffer, int64_t Count);
  void WriteBuffer(const void* Buffer, int64_t Count);
  // Copies Count bytes from Source's position (the whole of Source when Count is 0).
  int64_t CopyFrom(TStream& Source, int64_t Count);
};

// A stream over a growable block of memory.
class TMemoryStream final : public TStream {
 public:
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  int64_t Size() override { return static_cast<int64_t>(FData.size()); }
  void SetSize(int64_t NewSize) override;

  uint8_t* Memory() { return FData.data(); }
  const std::vector<uint8_t>& Data() const { return FData; }
  void Clear();

 private:
  std::vector<uint8_t> FData;
  int64_t FPosition = 0;
};

}  // namespace tunevert
