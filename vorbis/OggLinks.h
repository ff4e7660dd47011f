#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/Stream.h"

namespace tunevert {

// The checksum of the whole Ogg page at Page (at least 27 bytes), taken as if its checksum
// field held zeros, as the page header stores it.
uint32_t OggPageChecksum(const uint8_t* Page, size_t Size);

// Byte offsets of the pages that begin a logical bitstream after the first: where each later
// link of a chain starts. Only whole pages whose header, segment table and checksum check
// out count, and a link starts at the first beginning-of-stream page after a page without
// that flag. Reads the whole stream once from its start; raises when interrupted.
std::vector<int64_t> OggLinkStarts(TStream& Stream);

// Where a chain that does not open as a whole is cut: the end of the longest run of links,
// from the first, that each open on their own. OpensAlone(Begin, End) tries the bytes from
// Begin to End as a file. 0 when the first link does not open; Size when every link does.
// Each link is tried once, so the work stays linear in the file's size; raises when
// interrupted.
int64_t OggOpenablePrefix(const std::vector<int64_t>& Starts, int64_t Size,
                          const std::function<bool(int64_t Begin, int64_t End)>& OpensAlone);

}  // namespace tunevert
