// The binding to libcue.
#include "cue/CueLibrary.h"

#include <string>

#include "platform/Exception.h"

namespace tunevert {

namespace {

TCueApi Api;
// The sentence naming the first call the library lacks; empty while none is missing.
std::string MissingEntry;

void ResolveAll() {
  const TCodecLibrary& library = CueLibrary();
  library.Resolve("cue_parse_string", Api.parse_string, MissingEntry);
  library.Resolve("cd_delete", Api.cd_delete, MissingEntry);
  library.Resolve("cd_get_ntrack", Api.cd_get_ntrack, MissingEntry);
  library.Resolve("cd_get_track", Api.cd_get_track, MissingEntry);
  library.Resolve("cd_get_cdtext", Api.cd_get_cdtext, MissingEntry);
  library.Resolve("cd_get_rem", Api.cd_get_rem, MissingEntry);
  library.Resolve("cdtext_get", Api.cdtext_get, MissingEntry);
  library.Resolve("rem_get", Api.rem_get, MissingEntry);
  library.Resolve("track_get_filename", Api.track_get_filename, MissingEntry);
  library.Resolve("track_get_index", Api.track_get_index, MissingEntry);
  library.Resolve("track_get_isrc", Api.track_get_isrc, MissingEntry);
  library.Resolve("track_get_cdtext", Api.track_get_cdtext, MissingEntry);
}

}  // namespace

TCodecLibrary& CueLibrary() {
  // libcue.h carries no version macro; 2 has been its soname since the 2.0 interface.
  static TCodecLibrary library(
      {"libcue.so.2"},
      {"cue_parse_string", "cd_delete", "cd_get_ntrack", "cd_get_track", "cd_get_cdtext",
       "cd_get_rem", "cdtext_get", "rem_get", "track_get_filename", "track_get_index",
       "track_get_isrc", "track_get_cdtext"});
  return library;
}

const TCueApi& LoadCueApi() {
  TCodecLibrary& library = CueLibrary();
  if (!library.Load()) throw EAuException(library.LoadFailureMessage());
  static std::once_flag resolved;
  std::call_once(resolved, ResolveAll);
  if (!MissingEntry.empty()) throw EAuException(MissingEntry);
  return Api;
}

std::mutex& CueParseLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace tunevert
