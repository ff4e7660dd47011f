// Feeds arbitrary bytes to the Windows Media inputs (TWMIn, TMP3In, TFFmpegIn) and through them to
// the runtime library, which is built with the same sanitizers. The first byte picks the input and
// its options; the rest is the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/InputDriver.h"
#include "platform/Stream.h"
#include "winmedia/AuFFmpegIn.h"
#include "winmedia/AuMpegIn.h"
#include "winmedia/AuWinMedia.h"
#include "winmedia/wmfintf.h"

using namespace tunevert;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false);
  // Without the runtime every input is merely invalid, which would look like a clean run.
  if (!WMRuntimeLoaded()) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1) return 0;
  const uint8_t options = Data[0];
  TMemoryStream stream;
  stream.Write(Data + 1, static_cast<int64_t>(Size - 1));
  stream.SetPosition(0);
  TComponentPtr<TWMIn> in;
  if (options & 4)
    in = MakeComponent<TFFmpegIn>(nullptr);
  else if (options & 1)
    in = MakeComponent<TMP3In>(nullptr);
  else
    in = MakeComponent<TWMIn>(nullptr);
  in->SetHighPrecision((options & 2) != 0);
  in->SetStream(&stream);
  fuzz::DriveInput(*in);
  return 0;
}
