#pragma once

#include <libcue.h>

#include <mutex>

#include "platform/CodecLibrary.h"

namespace tunevert {

// The cue sheet parser library, loaded at run time by soname (its header names no version).
TCodecLibrary& CueLibrary();

// The entry points, typed from the library's own header.
struct TCueApi {
  decltype(&::cue_parse_string) parse_string = nullptr;
  decltype(&::cd_delete) cd_delete = nullptr;
  decltype(&::cd_get_ntrack) cd_get_ntrack = nullptr;
  decltype(&::cd_get_track) cd_get_track = nullptr;
  decltype(&::cd_get_cdtext) cd_get_cdtext = nullptr;
  decltype(&::cd_get_rem) cd_get_rem = nullptr;
  decltype(&::cdtext_get) cdtext_get = nullptr;
  decltype(&::rem_get) rem_get = nullptr;
  decltype(&::track_get_filename) track_get_filename = nullptr;
  decltype(&::track_get_index) track_get_index = nullptr;
  decltype(&::track_get_isrc) track_get_isrc = nullptr;
  decltype(&::track_get_cdtext) track_get_cdtext = nullptr;
};

// Loads the library and resolves the entry points, once; raises EAuException naming the
// library when it could not be loaded or lacks a call.
const TCueApi& LoadCueApi();

// The parser keeps its state in globals: one parse at a time in the process.
std::mutex& CueParseLock();

}  // namespace tunevert
