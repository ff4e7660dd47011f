// The binding to libebur128.
#include "loudness/EBUR128Library.h"

#include <mutex>
#include <string>

#include "platform/Exception.h"

#define TUNEVERT_STRINGIFY_(x) #x
#define TUNEVERT_STRINGIFY(x) TUNEVERT_STRINGIFY_(x)

namespace tunevert {

namespace {

TEBUR128Api Api;
// The sentence naming the first call the library lacks; empty while none is missing.
std::string MissingEntry;

void ResolveAll() {
  const TCodecLibrary& library = EBUR128Library();
  library.Resolve("ebur128_init", Api.init, MissingEntry);
  library.Resolve("ebur128_destroy", Api.destroy, MissingEntry);
  library.Resolve("ebur128_set_channel", Api.set_channel, MissingEntry);
  library.Resolve("ebur128_add_frames_float", Api.add_frames_float, MissingEntry);
  library.Resolve("ebur128_loudness_global", Api.loudness_global, MissingEntry);
  library.Resolve("ebur128_loudness_global_multiple", Api.loudness_global_multiple, MissingEntry);
  library.Resolve("ebur128_loudness_range", Api.loudness_range, MissingEntry);
  library.Resolve("ebur128_loudness_range_multiple", Api.loudness_range_multiple, MissingEntry);
  library.Resolve("ebur128_sample_peak", Api.sample_peak, MissingEntry);
  library.Resolve("ebur128_true_peak", Api.true_peak, MissingEntry);
}

}  // namespace

TCodecLibrary& EBUR128Library() {
  static TCodecLibrary library(
      {"libebur128.so." TUNEVERT_STRINGIFY(EBUR128_VERSION_MAJOR)},
      {"ebur128_init", "ebur128_destroy", "ebur128_set_channel", "ebur128_add_frames_float",
       "ebur128_loudness_global", "ebur128_loudness_global_multiple", "ebur128_loudness_range",
       "ebur128_loudness_range_multiple", "ebur128_sample_peak", "ebur128_true_peak"});
  return library;
}

const TEBUR128Api& LoadEBUR128Api() {
  TCodecLibrary& library = EBUR128Library();
  if (!library.Load()) throw EAuException(library.LoadFailureMessage());
  static std::once_flag resolved;
  std::call_once(resolved, ResolveAll);
  if (!MissingEntry.empty()) throw EAuException(MissingEntry);
  return Api;
}

}  // namespace tunevert
