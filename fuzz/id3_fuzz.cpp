// Feeds arbitrary bytes to the ID3v1 and ID3v2 readers, and writes back what was read.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "tags/AuTags.h"

using namespace tunevert;

namespace {

int ScratchFile() {
  static const int fd = memfd_create("id3-fuzz", 0);
  if (fd < 0) abort();
  return fd;
}

void Load(int Fd, const uint8_t* Data, size_t Size) {
  if (ftruncate(Fd, 0) != 0) abort();
  if (Size > 0 && pwrite(Fd, Data, Size, 0) != static_cast<ssize_t>(Size)) abort();
  lseek(Fd, 0, SEEK_SET);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const int fd = ScratchFile();
  Load(fd, Data, Size);

  TId3v1Tags v1;
  TId3v1Tags::Presents(fd);
  v1.ReadFromFile(fd);
  (void)v1.Genre();

  lseek(fd, 0, SEEK_SET);
  TId3v2Tags v2;
  TId3v2Tags::Presents(fd);
  const bool found = v2.ReadFromFile(fd);

  // Whatever was read must write back and read again; the v1 block replaces the old one.
  if (found) {
    TId3v2Tags copy;
    copy.Assign(&v2);
    if (!copy.WriteToFile(fd, (Size & 1) != 0)) abort();
    lseek(fd, 0, SEEK_SET);
    TId3v2Tags again;
    if (!again.ReadFromFile(fd)) abort();
  }
  if (!v1.WriteToFile(fd, false)) abort();
  TId3v1Tags back;
  if (!back.ReadFromFile(fd)) abort();
  if (back.Track() != v1.Track() || back.GenreId() != v1.GenreId()) abort();
  return 0;
}
