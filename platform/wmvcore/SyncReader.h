#pragma once

#include "platform/wmvcore/wmvcore.h"

namespace tunevert::wmvcore {

// A new synchronous reader over FFmpeg, with one reference for the caller.
IWMSyncReader* NewSyncReader();

}  // namespace tunevert::wmvcore
