#include "app/ZEMc.h"

#include "app/BatchPlan.h"

namespace tunevert {

bool TZemc::CheckValidFileName(const std::string& FileName) {
  // One list of what the batch reads, so the drop check never accepts a file it refuses.
  return IsSupportedSource(FileName);
}

}  // namespace tunevert
