#pragma once

#include <string>

namespace tunevert {

// Starts a downloaded file: an executable (ELF or script) is marked executable and started
// detached with Parameters split at white space; anything else goes to the desktop's opener
// (xdg-open). Like the shell it stands in for, returns a value above 32 on success and 32
// or less on failure.
int ShellExecute(const std::string& FileName, const std::string& Parameters);

}  // namespace tunevert
