#pragma once

// The Windows Media runtime as the engine sees it: the loader of libtvwmvcore.so, its
// creation entry points, and counted references to its interfaces.

#include <cstddef>
#include <string>
#include <utility>

#include "platform/wmvcore/wmvcore.h"

namespace tunevert {

// Entry points of the loaded runtime; empty while it is not loaded or lacks the export.
// Written only by LoadWMRuntime, DeferWMRuntime and UnloadWMRuntime, which run while no
// other thread uses the runtime (at program start and end).
extern TWMCreateSyncReader WMCreateSyncReader;
extern TWMCreateWriter WMCreateWriter;
extern TWMCreateWriterFileSink WMCreateWriterFileSink;
extern TWMCreateProfileManager WMCreateProfileManager;
extern TWMCreateWriterNetworkSink WMCreateWriterNetworkSink;

// Where the runtime is installed, relative to the programs' folder: "../lib/tunevert" or,
// under /usr, "../lib/<multiarch triplet>/tunevert".
extern const char* const WMRuntimeInstallFolder;

// Loads the runtime once: from ProgramFolder (the executable's own folder when empty), then
// from WMRuntimeInstallFolder beside it, then, when StandardSearch is set, by the dynamic
// linker's search. A failed load leaves every entry point empty.
void LoadWMRuntime(const std::string& ProgramFolder = {}, bool StandardSearch = true);
// For a program that may never need the runtime: the entry points become stand-ins that
// load it (as LoadWMRuntime does) on the first call of any of them, from any thread, then
// forward to it. A stand-in whose runtime or export is missing returns E_FAIL.
void DeferWMRuntime(const std::string& ProgramFolder = {}, bool StandardSearch = true);
// Frees the runtime at program end; every interface obtained from it must be released.
void UnloadWMRuntime();
bool WMRuntimeLoaded();
// The file the runtime was loaded from; empty when it is not loaded. Read it only after
// WMRuntimeLoaded() said true.
const std::string& WMRuntimePath();

// A counted reference to a runtime interface; clearing it releases the reference.
template <class T>
class TInterfaceRef {
 public:
  TInterfaceRef() = default;
  TInterfaceRef(std::nullptr_t) {}
  // Adds a reference of its own to P.
  explicit TInterfaceRef(T* P) : FPtr(P) {
    if (FPtr) FPtr->AddRef();
  }
  TInterfaceRef(const TInterfaceRef& Other) : TInterfaceRef(Other.FPtr) {}
  TInterfaceRef(TInterfaceRef&& Other) noexcept : FPtr(std::exchange(Other.FPtr, nullptr)) {}
  TInterfaceRef& operator=(TInterfaceRef Other) noexcept {
    std::swap(FPtr, Other.FPtr);
    return *this;
  }
  ~TInterfaceRef() { Clear(); }

  void Clear() {
    if (T* P = std::exchange(FPtr, nullptr)) P->Release();
  }
  // For an out-parameter that hands over a reference: clears, then lets the callee fill in.
  T** Receive() {
    Clear();
    return &FPtr;
  }
  T* Get() const { return FPtr; }
  T* operator->() const { return FPtr; }
  explicit operator bool() const { return FPtr != nullptr; }

 private:
  T* FPtr = nullptr;
};

}  // namespace tunevert
