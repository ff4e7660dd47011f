#pragma once

#include <taglib/tiostream.h>

#include <string>

namespace tunevert {

// A file for the tag library to rewrite in which every write, shift and truncation is checked:
// the library's own file stream ignores a short write, and a save on a full disk then reports
// success for a cut file. The first failure is kept for ThrowIfFailed. A name in a folder is
// opened without following a link; a /proc/self/fd name reaches the descriptor it names.
class TCheckedFileStream final : public TagLib::IOStream {
 public:
  // Raises EAuException when the file cannot be opened for reading and writing.
  explicit TCheckedFileStream(const std::string& FileName);
  ~TCheckedFileStream() override;
  TCheckedFileStream(const TCheckedFileStream&) = delete;
  TCheckedFileStream& operator=(const TCheckedFileStream&) = delete;

  // Raises EAuException("Failed to save tags: <reason>") when anything failed.
  void ThrowIfFailed() const;

  TagLib::FileName name() const override { return FName.c_str(); }
  TagLib::ByteVector readBlock(unsigned long Length) override;
  void writeBlock(const TagLib::ByteVector& Data) override;
  void insert(const TagLib::ByteVector& Data, unsigned long Start = 0,
              unsigned long Replace = 0) override;
  void removeBlock(unsigned long Start = 0, unsigned long Length = 0) override;
  bool readOnly() const override { return false; }
  bool isOpen() const override { return FHandle >= 0; }
  void seek(long Offset, Position P = Beginning) override;
  long tell() const override { return FPosition; }
  long length() override;
  void truncate(long Length) override;

 private:
  bool WriteAt(const char* Data, size_t Count, long At);
  // Moves the bytes from From to the end of the file so that they start at To.
  bool MoveTail(long From, long To);
  void Fail(int Error);

  std::string FName;
  int FHandle = -1;
  long FPosition = 0;
  int FError = 0;
};

}  // namespace tunevert
