#pragma once

#include <string>
#include <vector>

namespace tunevert {

// The folder of the running program.
std::string ProgramFolder();

// Where one of the program's own run-time modules is looked for, in this order: the folder
// given (the program's when empty), the install folder relative to it and, with
// StandardSearch, the bare name for the dynamic linker's search.
std::vector<std::string> RuntimeModulePaths(const std::string& FileName,
                                            const std::string& Folder = {},
                                            bool StandardSearch = true);

}  // namespace tunevert
