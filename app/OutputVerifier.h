#pragma once

#include <functional>
#include <string>

#include "pipeline/AuDeliveryTap.h"
#include "platform/Exception.h"
#include "tags/TagLibMeta.h"

namespace tunevert {

// Raised by VerifyOutput when StopRequested turned true before the file was read whole: the
// file is neither good nor bad, and must not be put in place.
class EVerifyStopped : public EAuException {
 public:
  EVerifyStopped() : EAuException("The conversion was stopped while its output was checked") {}
};

// Reads a finished output back with this program's own decoder for Format (a format's Id or
// caption: "flac", ".wav"; FileName's own extension, if any, is not looked at) and checks that it
// opens, decodes to its end, holds as many frames as Delivered (within the encoder's delay and
// padding for the lossy formats) and, for the lossless ones, the very samples delivered. Returns
// when it does; otherwise raises EAuException("The written file could not be read back: <reason>"),
// or EVerifyStopped. Runs on any thread without the main thread or the event dispatcher;
// StopRequested (may be empty) is asked between blocks.
void VerifyOutput(const std::string& FileName, const std::string& Format,
                  const TDeliveredAudio& Delivered,
                  const std::function<bool()>& StopRequested = {});

// Reads a finished output's tags back as a file of Format and checks that they are Written,
// which were fitted to Format: every picture byte for byte, every field with its values, as
// far as the format stores them. Raises EAuException("The written file could not be read
// back: <reason>") otherwise. With nothing written nothing is read.
void VerifyWrittenTags(const std::string& FileName, const std::string& Format,
                       const TCarriedTags& Written);

}  // namespace tunevert
