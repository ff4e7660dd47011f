#include "vorbis/OggLinks.h"

#include <cstring>

namespace tunevert {

std::vector<int64_t> OggLinkStarts(TStream& Stream) {
  std::vector<int64_t> starts;
  std::vector<uint8_t> chunk(size_t{1} << 16);
  constexpr size_t kHead = 6;  // "OggS", version 0, header flags
  int64_t base = 0;
  size_t kept = 0;
  Stream.Seek(0, TSeekOrigin::soBeginning);
  for (;;) {
    const int64_t got = Stream.Read(chunk.data() + kept, static_cast<int64_t>(chunk.size() - kept));
    if (got <= 0) break;
    const size_t end = kept + static_cast<size_t>(got);
    size_t i = 0;
    for (; i + kHead <= end; ++i) {
      // The capture pattern with its NUL (structure version 0), then the first-page flag.
      if (std::memcmp(&chunk[i], "OggS", 5) == 0 && (chunk[i + 5] & 0x02) != 0 &&
          base + static_cast<int64_t>(i) > 0)
        starts.push_back(base + static_cast<int64_t>(i));
    }
    // The last bytes may begin a page header that the next read completes.
    kept = end - i;
    std::memmove(chunk.data(), chunk.data() + i, kept);
    base += static_cast<int64_t>(i);
  }
  return starts;
}

}  // namespace tunevert
