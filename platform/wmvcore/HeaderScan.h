#pragma once

#include <cstdint>

#include "platform/wmvcore/wmvcore.h"

namespace tunevert::wmvcore {

// Both scans read the source from Base and leave its position wherever they stopped.

// True when the ASF header at Base carries a content-encryption object.
bool AsfHeaderIsEncrypted(IStream& Source, uint64_t Base);

// True when the first MPEG audio frame after an ID3v2 tag at Base carries a "Xing" or
// "VBRI" header, which encoders write only for variable bitrate.
bool MpegHasVbrHeader(IStream& Source, uint64_t Base);

}  // namespace tunevert::wmvcore
