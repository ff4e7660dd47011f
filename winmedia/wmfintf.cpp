#include "winmedia/wmfintf.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <mutex>
#include <vector>

#include "platform/RuntimeModule.h"

namespace tunevert {

TWMCreateSyncReader WMCreateSyncReader = nullptr;
TWMCreateWriter WMCreateWriter = nullptr;
TWMCreateWriterFileSink WMCreateWriterFileSink = nullptr;
TWMCreateProfileManager WMCreateProfileManager = nullptr;
TWMCreateWriterNetworkSink WMCreateWriterNetworkSink = nullptr;

const char* const WMRuntimeInstallFolder = TUNEVERT_RUNTIME_FROM_BINDIR;

namespace {

struct TEntryPoints {
  TWMCreateSyncReader SyncReader = nullptr;
  TWMCreateWriter Writer = nullptr;
  TWMCreateWriterFileSink WriterFileSink = nullptr;
  TWMCreateProfileManager ProfileManager = nullptr;
  TWMCreateWriterNetworkSink WriterNetworkSink = nullptr;
};

// A deferred load may happen on any thread; everything below is written under this lock.
std::mutex LoadLock;
void* LibraryHandle = nullptr;
std::atomic<bool> Loaded{false};
std::string LoadedPath;
TEntryPoints Exports;
bool Deferred = false;
std::string DeferredFolder;
bool DeferredSearch = true;

template <class T>
T Resolve(const char* Name) {
  return reinterpret_cast<T>(dlsym(LibraryHandle, Name));
}

// Caller holds LoadLock.
void OpenLibrary(const std::string& ProgramFolder, bool StandardSearch) {
  for (const std::string& Candidate :
       RuntimeModulePaths(WMRuntimeLibraryName, ProgramFolder, StandardSearch)) {
    // Kept mapped after dlclose: an interface released late must still find its code, and
    // FFmpeg's dependencies keep start-up allocations that unmapping would strand.
    LibraryHandle = dlopen(Candidate.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (LibraryHandle) {
      LoadedPath = Candidate;
      break;
    }
  }
  if (!LibraryHandle) return;
  Exports.SyncReader = Resolve<TWMCreateSyncReader>("WMCreateSyncReader");
  Exports.Writer = Resolve<TWMCreateWriter>("WMCreateWriter");
  Exports.WriterFileSink = Resolve<TWMCreateWriterFileSink>("WMCreateWriterFileSink");
  Exports.ProfileManager = Resolve<TWMCreateProfileManager>("WMCreateProfileManager");
  Exports.WriterNetworkSink = Resolve<TWMCreateWriterNetworkSink>("WMCreateWriterNetworkSink");
  Loaded.store(true, std::memory_order_release);
}

void Publish(const TEntryPoints& Points) {
  WMCreateSyncReader = Points.SyncReader;
  WMCreateWriter = Points.Writer;
  WMCreateWriterFileSink = Points.WriterFileSink;
  WMCreateProfileManager = Points.ProfileManager;
  WMCreateWriterNetworkSink = Points.WriterNetworkSink;
}

// The export behind a stand-in, loading the runtime first; a failed load is tried again at
// the next call.
template <class T>
T LoadedExport(T TEntryPoints::*Member) {
  std::lock_guard<std::mutex> Lock(LoadLock);
  if (!Loaded.load(std::memory_order_relaxed)) OpenLibrary(DeferredFolder, DeferredSearch);
  return Exports.*Member;
}

HRESULT DeferredSyncReader(IUnknown* Cert, uint32_t Rights, IWMSyncReader** Reader) {
  const auto Real = LoadedExport(&TEntryPoints::SyncReader);
  return Real ? Real(Cert, Rights, Reader) : E_FAIL;
}

HRESULT DeferredWriter(IUnknown* Cert, IWMWriter** Writer) {
  const auto Real = LoadedExport(&TEntryPoints::Writer);
  return Real ? Real(Cert, Writer) : E_FAIL;
}

HRESULT DeferredWriterFileSink(IWMWriterFileSink** Sink) {
  const auto Real = LoadedExport(&TEntryPoints::WriterFileSink);
  return Real ? Real(Sink) : E_FAIL;
}

HRESULT DeferredProfileManager(IWMProfileManager** Manager) {
  const auto Real = LoadedExport(&TEntryPoints::ProfileManager);
  return Real ? Real(Manager) : E_FAIL;
}

HRESULT DeferredWriterNetworkSink(IWMWriterNetworkSink** Sink) {
  const auto Real = LoadedExport(&TEntryPoints::WriterNetworkSink);
  return Real ? Real(Sink) : E_FAIL;
}

}  // namespace

void LoadWMRuntime(const std::string& ProgramFolder, bool StandardSearch) {
  std::lock_guard<std::mutex> Lock(LoadLock);
  if (Loaded) return;
  Deferred = false;
  OpenLibrary(ProgramFolder, StandardSearch);
  Publish(Exports);
}

void DeferWMRuntime(const std::string& ProgramFolder, bool StandardSearch) {
  std::lock_guard<std::mutex> Lock(LoadLock);
  if (Loaded) return;
  Deferred = true;
  DeferredFolder = ProgramFolder;
  DeferredSearch = StandardSearch;
  Publish({&DeferredSyncReader, &DeferredWriter, &DeferredWriterFileSink, &DeferredProfileManager,
           &DeferredWriterNetworkSink});
}

void UnloadWMRuntime() {
  std::lock_guard<std::mutex> Lock(LoadLock);
  if (!Loaded && !Deferred) return;
  // The pointers would dangle once the library is gone.
  Publish({});
  Exports = {};
  Deferred = false;
  LoadedPath.clear();
  if (Loaded.exchange(false)) dlclose(LibraryHandle);
  LibraryHandle = nullptr;
}

bool WMRuntimeLoaded() {
  return Loaded.load(std::memory_order_acquire);
}

const std::string& WMRuntimePath() {
  return LoadedPath;
}

}  // namespace tunevert
