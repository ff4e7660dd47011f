// The binding to libswscale.
#include "image/SwScaleLibrary.h"

extern "C" {
#include <libavutil/macros.h>
#include <libswscale/version_major.h>
}

namespace tunevert {

TCodecLibrary& SwScaleLibrary() {
  static TCodecLibrary library({"libswscale.so." AV_STRINGIFY(LIBSWSCALE_VERSION_MAJOR)},
                               {"sws_getContext", "sws_scale", "sws_freeContext"});
  return library;
}

}  // namespace tunevert
