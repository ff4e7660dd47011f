// The binding to libswscale.
#include "image/SwScaleLibrary.h"

extern "C" {
#include <libavutil/macros.h>
}

#include <mutex>
#include <string>

#include "platform/Exception.h"

namespace tunevert {

namespace {

TSwScaleApi Api;
// The sentence naming the first call the library lacks; empty while none is missing.
std::string MissingEntry;

void ResolveAll() {
  const TCodecLibrary& library = SwScaleLibrary();
  library.Resolve("sws_getContext", Api.get_context, MissingEntry);
  library.Resolve("sws_scale", Api.scale, MissingEntry);
  library.Resolve("sws_freeContext", Api.free_context, MissingEntry);
}

}  // namespace

TCodecLibrary& SwScaleLibrary() {
  static TCodecLibrary library({"libswscale.so." AV_STRINGIFY(LIBSWSCALE_VERSION_MAJOR)},
                               {"sws_getContext", "sws_scale", "sws_freeContext"});
  return library;
}

const TSwScaleApi& LoadSwScaleApi() {
  TCodecLibrary& library = SwScaleLibrary();
  if (!library.Load()) throw EAuException(library.LoadFailureMessage());
  static std::once_flag resolved;
  std::call_once(resolved, ResolveAll);
  if (!MissingEntry.empty()) throw EAuException(MissingEntry);
  return Api;
}

}  // namespace tunevert
