// The binding to libuchardet.
#include "cue/CharsetLibrary.h"

#include <mutex>
#include <string>

#include "platform/Exception.h"

namespace tunevert {

namespace {

TCharsetApi Api;
// The sentence naming the first call the library lacks; empty while none is missing.
std::string MissingEntry;

void ResolveAll() {
  const TCodecLibrary& library = CharsetLibrary();
  library.Resolve("uchardet_new", Api.detector_new, MissingEntry);
  library.Resolve("uchardet_delete", Api.detector_delete, MissingEntry);
  library.Resolve("uchardet_handle_data", Api.handle_data, MissingEntry);
  library.Resolve("uchardet_data_end", Api.data_end, MissingEntry);
  library.Resolve("uchardet_get_charset", Api.get_charset, MissingEntry);
}

}  // namespace

TCodecLibrary& CharsetLibrary() {
  // The header carries no version macro; the soname has been 0 from the start.
  static TCodecLibrary library({"libuchardet.so.0"},
                               {"uchardet_new", "uchardet_delete", "uchardet_handle_data",
                                "uchardet_data_end", "uchardet_get_charset"});
  return library;
}

const TCharsetApi& LoadCharsetApi() {
  TCodecLibrary& library = CharsetLibrary();
  if (!library.Load()) throw EAuException(library.LoadFailureMessage());
  static std::once_flag resolved;
  std::call_once(resolved, ResolveAll);
  if (!MissingEntry.empty()) throw EAuException(MissingEntry);
  return Api;
}

}  // namespace tunevert
