#include "platform/RuntimeModule.h"

#include <unistd.h>

#include <climits>

namespace tunevert {

std::string ProgramFolder() {
  char Path[PATH_MAX];
  const ssize_t Length = readlink("/proc/self/exe", Path, sizeof Path - 1);
  if (Length <= 0) return ".";
  std::string Folder(Path, static_cast<size_t>(Length));
  const size_t Slash = Folder.rfind('/');
  return Slash == std::string::npos ? "." : Folder.substr(0, Slash);
}

std::vector<std::string> RuntimeModulePaths(const std::string& FileName, const std::string& Folder,
                                            bool StandardSearch) {
  const std::string Base = Folder.empty() ? ProgramFolder() : Folder;
  std::vector<std::string> Paths = {Base + "/" + FileName,
                                    Base + "/" TUNEVERT_RUNTIME_FROM_BINDIR "/" + FileName};
  if (StandardSearch) Paths.push_back(FileName);
  return Paths;
}

}  // namespace tunevert
