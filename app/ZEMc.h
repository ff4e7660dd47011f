#pragma once

#include <string>

namespace tunevert {

// The file-name check for names dropped onto the file list.
class TZemc {
 public:
  // True when the name's extension is one the batch reads, in any letter case.
  static bool CheckValidFileName(const std::string& FileName);
};

}  // namespace tunevert
