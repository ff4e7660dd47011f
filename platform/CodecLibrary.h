#pragma once

#include <atomic>
#include <cstddef>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tunevert {

// Held while a codec library is loaded and its entry points resolved, so that two threads
// never load the same library twice. Taken after an input's DataCS and OpenCS, never before.
std::mutex& LibraryLoadLock();

// A codec library loaded at run time by file name, on first use, under LibraryLoadLock.
// A failed load is retried at the next call; a loaded library stays mapped until the process
// ends. Entry points are resolved by name; one the library lacks stays null.
class TCodecLibrary {
 public:
  TCodecLibrary(std::initializer_list<const char*> FileNames,
                std::initializer_list<const char*> EntryNames);
  TCodecLibrary(const TCodecLibrary&) = delete;
  TCodecLibrary& operator=(const TCodecLibrary&) = delete;

  // Returns whether the library is loaded.
  bool Load();
  bool Loaded() const { return FLoaded.load(std::memory_order_acquire); }
  // The file name a failure names: the first one tried.
  const std::string& FileName() const { return FFileName; }
  std::string LoadFailureMessage() const;
  void* Entry(std::string_view Name) const;
  size_t EntryCount() const { return FEntryNames.size(); }
  size_t ResolvedCount() const;

  template <class F>
  F Function(std::string_view Name) const {
    return reinterpret_cast<F>(Entry(Name));
  }
  // Sets Target to the entry point; a null one sets Missing, while it is empty, to the
  // sentence naming the call the library lacks, so that a binding reports its first gap.
  template <class F>
  void Resolve(const char* Name, F& Target, std::string& Missing) const {
    Target = Function<F>(Name);
    if (Target == nullptr && Missing.empty()) Missing = FFileName + " lacks " + Name + ".";
  }

  // Tests use this to stand in a library that is not there (the name reported stays the
  // real one). A library already loaded is forgotten, though it stays mapped, so the next
  // Load tries the new names. Only while no other thread uses it.
  void SetFileNames(std::vector<std::string> FileNames);

 private:
  std::string FFileName;
  std::vector<std::string> FFileNames;
  std::vector<std::string> FEntryNames;
  std::vector<void*> FEntries;
  // Set last under LibraryLoadLock; readers that see it set also see the resolved entries.
  std::atomic<bool> FLoaded{false};
};

}  // namespace tunevert
