#pragma once

#include <cstdint>
#include <vector>

#include "platform/Stream.h"

namespace tunevert {

// Byte offsets of the pages that begin a logical bitstream after the first: where each later
// link of a chain starts. Reads the whole stream from its start.
std::vector<int64_t> OggLinkStarts(TStream& Stream);

}  // namespace tunevert
