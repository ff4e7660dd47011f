#include "winmedia/AuWMStreamedOut.h"

#include <cstdio>

#include "pipeline/EventHandler.h"

namespace tunevert {

TWMStreamedOut::TWMStreamedOut(TComponent* AOwner) : TWMAOut(AOwner) {
  FUseNetwork = true;
}

TWMStreamedOut::~TWMStreamedOut() {
  // Normally done by BeforeDestruction. Destroyed without Free, the run must still end before
  // any member goes: the sink's thread reports clients into this object until the sink closes.
  WindDown();
}

void TWMStreamedOut::BeforeDestruction() {
  WindDown();
  TWMAOut::BeforeDestruction();
}

void TWMStreamedOut::WindDown() noexcept {
  if (FWoundDown) return;
  FWoundDown = true;
  try {
    // The run's end step closes the sink, and closing joins the sink's thread: once this
    // returns no client report is in flight or still to come.
    Abort();
  } catch (...) {
    // Raised only to a destroyer on our own worker, which may not destroy us anyway.
  }
  // Abort drops the queued events of a worker's run; those of a BlockingRun it leaves.
  EventHandler()->DetachSender(this);
}

TStreamedAudioEvent TWMStreamedOut::OnClientConnected() const {
  std::lock_guard Lock(FEventLock);
  return FOnClientConnected;
}

void TWMStreamedOut::SetOnClientConnected(TStreamedAudioEvent Value) {
  std::lock_guard Lock(FEventLock);
  FOnClientConnected = std::move(Value);
}

TStreamedAudioEvent TWMStreamedOut::OnClientDisconnected() const {
  std::lock_guard Lock(FEventLock);
  return FOnClientDisconnected;
}

void TWMStreamedOut::SetOnClientDisconnected(TStreamedAudioEvent Value) {
  std::lock_guard Lock(FEventLock);
  FOnClientDisconnected = std::move(Value);
}

uint32_t TWMStreamedOut::ConnectionsCount() const {
  std::lock_guard Lock(FSinkLock);
  return FSinkOpen ? WriterClientCount(Writer) : 0;
}

std::string TWMStreamedOut::URL() const {
  std::lock_guard Lock(FSinkLock);
  return FSinkOpen ? WriterHostURL(Writer) : std::string();
}

TConnectionInfo TWMStreamedOut::GetConnectionInfo(uint32_t Index) const {
  TConnectionInfo Info{};
  WM_CLIENT_PROPERTIES Props{};
  {
    std::lock_guard Lock(FSinkLock);
    if (!FSinkOpen || !WriterClientProperties(Writer, Index, Props)) return Info;
  }
  const uint32_t A = Props.dwIPAddress;
  std::snprintf(Info.IP, sizeof Info.IP, "%d.%d.%d.%d", static_cast<int>(A >> 24),
                static_cast<int>((A >> 16) & 0xFF), static_cast<int>((A >> 8) & 0xFF),
                static_cast<int>(A & 0xFF));
  Info.Port = Props.dwPort;
  return Info;
}

void TWMStreamedOut::OpenWriter() {
  std::lock_guard Lock(FSinkLock);
  WriterOpenNetwork(Writer, FPort, FMaxClients, &TWMAOut::ErrorProc,
                    &TWMStreamedOut::DisconnectedProc, &TWMStreamedOut::ConnectedProc, this);
  FSinkOpen = Writer.Initialized;
}

void TWMStreamedOut::CloseWriter() {
  {
    std::lock_guard Lock(FSinkLock);
    FSinkOpen = false;
  }
  // Outside the lock: closing waits a moment for clients to take what is queued for them.
  WriterCloseNetwork(Writer);
}

// Called on the runtime's server thread.
void TWMStreamedOut::Post(const TStreamedAudioEvent& Handler) {
  if (Handler) EventHandler()->PostGenericEvent(this, Handler);
}

void TWMStreamedOut::ConnectedProc(TComponent* Dest) {
  auto* Self = static_cast<TWMStreamedOut*>(Dest);
  Self->Post(Self->OnClientConnected());
}

void TWMStreamedOut::DisconnectedProc(TComponent* Dest) {
  auto* Self = static_cast<TWMStreamedOut*>(Dest);
  Self->Post(Self->OnClientDisconnected());
}

}  // namespace tunevert
