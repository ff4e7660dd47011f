#pragma once

#include <uchardet/uchardet.h>

#include "platform/CodecLibrary.h"

namespace tunevert {

// The character set detector, loaded at run time by soname.
TCodecLibrary& CharsetLibrary();

// The entry points, typed from the library's own header.
struct TCharsetApi {
  decltype(&::uchardet_new) detector_new = nullptr;
  decltype(&::uchardet_delete) detector_delete = nullptr;
  decltype(&::uchardet_handle_data) handle_data = nullptr;
  decltype(&::uchardet_data_end) data_end = nullptr;
  decltype(&::uchardet_get_charset) get_charset = nullptr;
};

// Loads the library and resolves the entry points, once; raises EAuException naming the
// library when it could not be loaded or lacks a call.
const TCharsetApi& LoadCharsetApi();

}  // namespace tunevert
