// The library's only exported symbols: the creation functions, looked up by name.

#include <new>

#include "platform/wmvcore/SyncReader.h"
#include "platform/wmvcore/WMObjects.h"

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

TV_EXPORT int32_t TvWMLiveObjects() {
  return wmvcore::LiveObjects().load();
}
