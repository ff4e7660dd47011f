#pragma once

#include "platform/CodecLibrary.h"

namespace tunevert {

// FFmpeg's image scaler, loaded at run time by the soname of the headers compiled against,
// like the codec libraries in mp4/MP4Libs.h.
TCodecLibrary& SwScaleLibrary();

}  // namespace tunevert
