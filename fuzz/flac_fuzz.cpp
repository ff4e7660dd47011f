// Feeds arbitrary bytes to the FLAC reader (TFLACIn over libFLAC): metadata blocks, frame
// decoding with MD5 checking, and a ranged pass that seeks inside the stream.
#include <cstddef>
#include <cstdint>

#include "flac/AuFLAC.h"
#include "fuzz/InputDriver.h"
#include "platform/Stream.h"

using namespace tunevert;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TMemoryStream stream;
  stream.Write(Data, static_cast<int64_t>(Size));
  stream.SetPosition(0);
  auto in = MakeComponent<TFLACIn>(nullptr);
  in->SetCheckMD5Signature(true);
  in->SetStream(&stream);
  fuzz::DriveInput(*in);
  return 0;
}
