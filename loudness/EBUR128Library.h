#pragma once

#include <ebur128.h>

#include "platform/CodecLibrary.h"

namespace tunevert {

// The loudness library, loaded at run time by the soname of the header compiled against.
TCodecLibrary& EBUR128Library();

// The entry points, typed from the library's own header.
struct TEBUR128Api {
  decltype(&::ebur128_init) init = nullptr;
  decltype(&::ebur128_destroy) destroy = nullptr;
  decltype(&::ebur128_set_channel) set_channel = nullptr;
  decltype(&::ebur128_add_frames_float) add_frames_float = nullptr;
  decltype(&::ebur128_loudness_global) loudness_global = nullptr;
  decltype(&::ebur128_loudness_global_multiple) loudness_global_multiple = nullptr;
  decltype(&::ebur128_loudness_range) loudness_range = nullptr;
  decltype(&::ebur128_loudness_range_multiple) loudness_range_multiple = nullptr;
  decltype(&::ebur128_sample_peak) sample_peak = nullptr;
  decltype(&::ebur128_true_peak) true_peak = nullptr;
};

// Loads the library and resolves the entry points, once; raises EAuException naming the
// library when it could not be loaded or lacks a call.
const TEBUR128Api& LoadEBUR128Api();

}  // namespace tunevert
