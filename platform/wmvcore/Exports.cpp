// The library's only exported symbols: the creation functions, looked up by name.

#include <new>

#include "platform/wmvcore/Profile.h"
#include "platform/wmvcore/SyncReader.h"
#include "platform/wmvcore/WMObjects.h"
#include "platform/wmvcore/Writer.h"

using namespace tunevert;

#define TV_EXPORT extern "C" __attribute__((visibility("default")))

TV_EXPORT HRESULT WMCreateSyncReader(IUnknown* /*pUnkCert*/, uint32_t /*dwRights*/,
                                     IWMSyncReader** ppSyncReader) {
  if (!ppSyncReader) return E_POINTER;
  *ppSyncReader = nullptr;
  try {
    *ppSyncReader = wmvcore::NewSyncReader();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

// Writes to the sinks attached through IWMWriterAdvanced.
TV_EXPORT HRESULT WMCreateWriter(IUnknown* /*pUnkCert*/, IWMWriter** ppWriter) {
  if (!ppWriter) return E_POINTER;
  *ppWriter = nullptr;
  try {
    *ppWriter = wmvcore::NewWriter();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

TV_EXPORT HRESULT WMCreateWriterFileSink(IWMWriterFileSink** ppSink) {
  if (!ppSink) return E_POINTER;
  *ppSink = nullptr;
  try {
    *ppSink = wmvcore::NewFileSink();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

// Serves the stream over HTTP once opened on a port.
TV_EXPORT HRESULT WMCreateWriterNetworkSink(IWMWriterNetworkSink** ppSink) {
  if (!ppSink) return E_POINTER;
  *ppSink = nullptr;
  try {
    *ppSink = wmvcore::NewNetworkSink();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

TV_EXPORT HRESULT WMCreateProfileManager(IWMProfileManager** ppProfileManager) {
  if (!ppProfileManager) return E_POINTER;
  *ppProfileManager = nullptr;
  try {
    *ppProfileManager = wmvcore::NewProfileManager();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

TV_EXPORT int32_t TvWMLiveObjects() {
  return wmvcore::LiveObjects().load();
}
