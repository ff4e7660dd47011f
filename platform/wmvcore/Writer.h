#pragma once

#include "platform/wmvcore/wmvcore.h"

namespace tunevert::wmvcore {

// A new writer (ASF with the WMA v2 encoder over FFmpeg), with one reference for the caller.
IWMWriter* NewWriter();
// A new file sink, with one reference for the caller.
IWMWriterFileSink* NewFileSink();
// A new network sink, not yet open, with one reference for the caller.
IWMWriterNetworkSink* NewNetworkSink();

}  // namespace tunevert::wmvcore
