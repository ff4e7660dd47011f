#include "winmedia/wmfintf.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <vector>

namespace tunevert {

TWMCreateSyncReader WMCreateSyncReader = nullptr;
TWMCreateWriter WMCreateWriter = nullptr;
TWMCreateWriterFileSink WMCreateWriterFileSink = nullptr;
TWMCreateProfileManager WMCreateProfileManager = nullptr;
TWMCreateWriterNetworkSink WMCreateWriterNetworkSink = nullptr;

namespace {

void* LibraryHandle = nullptr;
bool Loaded = false;
std::string LoadedPath;

std::string ExecutableFolder() {
  char Path[PATH_MAX];
  const ssize_t Length = readlink("/proc/self/exe", Path, sizeof Path - 1);
  if (Length <= 0) return ".";
  std::string Folder(Path, static_cast<size_t>(Length));
  const size_t Slash = Folder.rfind('/');
  return Slash == std::string::npos ? "." : Folder.substr(0, Slash);
}

template <class T>
T Resolve(const char* Name) {
  return reinterpret_cast<T>(dlsym(LibraryHandle, Name));
}

}  // namespace

void LoadWMRuntime(const std::string& ProgramFolder, bool StandardSearch) {
  if (Loaded) return;
  const std::string Folder = ProgramFolder.empty() ? ExecutableFolder() : ProgramFolder;
  std::vector<std::string> Candidates = {Folder + "/" + WMRuntimeLibraryName,
                                         Folder + "/../lib/tunevert/" + WMRuntimeLibraryName};
  if (StandardSearch) Candidates.emplace_back(WMRuntimeLibraryName);
  for (const std::string& Candidate : Candidates) {
    // Kept mapped after dlclose: an interface released late must still find its code, and
    // FFmpeg's dependencies keep start-up allocations that unmapping would strand.
    LibraryHandle = dlopen(Candidate.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (LibraryHandle) {
      LoadedPath = Candidate;
      break;
    }
  }
  if (!LibraryHandle) return;
  Loaded = true;
  WMCreateSyncReader = Resolve<TWMCreateSyncReader>("WMCreateSyncReader");
  WMCreateWriter = Resolve<TWMCreateWriter>("WMCreateWriter");
  WMCreateWriterFileSink = Resolve<TWMCreateWriterFileSink>("WMCreateWriterFileSink");
  WMCreateProfileManager = Resolve<TWMCreateProfileManager>("WMCreateProfileManager");
  WMCreateWriterNetworkSink = Resolve<TWMCreateWriterNetworkSink>("WMCreateWriterNetworkSink");
}

void UnloadWMRuntime() {
  if (!Loaded) return;
  Loaded = false;
  // The pointers would dangle once the library is gone.
  WMCreateSyncReader = nullptr;
  WMCreateWriter = nullptr;
  WMCreateWriterFileSink = nullptr;
  WMCreateProfileManager = nullptr;
  WMCreateWriterNetworkSink = nullptr;
  LoadedPath.clear();
  dlclose(LibraryHandle);
  LibraryHandle = nullptr;
}

bool WMRuntimeLoaded() {
  return Loaded;
}

const std::string& WMRuntimePath() {
  return LoadedPath;
}

}  // namespace tunevert
