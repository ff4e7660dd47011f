#include "platform/CodecLibrary.h"

#include <dlfcn.h>

#include <algorithm>

namespace tunevert {

std::mutex& LibraryLoadLock() {
  static std::mutex lock;
  return lock;
}

TCodecLibrary::TCodecLibrary(std::initializer_list<const char*> FileNames,
                             std::initializer_list<const char*> EntryNames)
    : FFileName(*FileNames.begin()),
      FFileNames(FileNames.begin(), FileNames.end()),
      FEntryNames(EntryNames.begin(), EntryNames.end()),
      FEntries(FEntryNames.size(), nullptr) {}

bool TCodecLibrary::Load() {
  std::lock_guard lock(LibraryLoadLock());
  if (FLoaded.load(std::memory_order_relaxed)) return true;
  void* handle = nullptr;
  for (const std::string& name : FFileNames) {
    // Never unloaded: decoders keep pointers into the library for the life of the process.
    handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle != nullptr) break;
  }
  if (handle == nullptr) return false;
  for (size_t i = 0; i < FEntryNames.size(); ++i)
    FEntries[i] = dlsym(handle, FEntryNames[i].c_str());
  FLoaded.store(true, std::memory_order_release);
  return true;
}

std::string TCodecLibrary::LoadFailureMessage() const {
  return FileName() + " library could not be loaded.";
}

void* TCodecLibrary::Entry(std::string_view Name) const {
  if (!Loaded()) return nullptr;
  const auto it = std::find(FEntryNames.begin(), FEntryNames.end(), Name);
  return it == FEntryNames.end() ? nullptr
                                 : FEntries[static_cast<size_t>(it - FEntryNames.begin())];
}

size_t TCodecLibrary::ResolvedCount() const {
  if (!Loaded()) return 0;
  return static_cast<size_t>(
      std::count_if(FEntries.begin(), FEntries.end(), [](void* p) { return p != nullptr; }));
}

void TCodecLibrary::SetFileNames(std::vector<std::string> FileNames) {
  std::lock_guard lock(LibraryLoadLock());
  if (FileNames.empty()) return;
  FFileNames = std::move(FileNames);
  // The entries stay as they are: a later Load finds the same library and writes the same
  // addresses.
  FLoaded.store(false, std::memory_order_release);
}

}  // namespace tunevert
