#pragma once

extern "C" {
#include <libswscale/swscale.h>
}

#include "platform/CodecLibrary.h"

namespace tunevert {

// FFmpeg's image scaler, loaded at run time by the soname of the headers compiled against,
// like the codec libraries in mp4/MP4Libs.h.
TCodecLibrary& SwScaleLibrary();

// The entry points, typed from the library's own header.
struct TSwScaleApi {
  decltype(&::sws_getContext) get_context = nullptr;
  decltype(&::sws_scale) scale = nullptr;
  decltype(&::sws_freeContext) free_context = nullptr;
};

// Loads the library and resolves the entry points, once; raises EAuException naming the
// library when it could not be loaded or lacks a call.
const TSwScaleApi& LoadSwScaleApi();

}  // namespace tunevert
