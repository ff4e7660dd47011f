#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "winmedia/AuWMAOut.h"

namespace tunevert {

using TStreamedAudioEvent = std::function<void(TComponent* Sender)>;

struct TConnectionInfo {
  char IP[32];  // dotted decimal, null-terminated
  uint32_t Port;
};

// Serves its input, encoded as WMA, to network clients over HTTP instead of writing a
// file. Clients connect to URL while the output runs; their comings and goings arrive as
// events on the GUI thread.
class TWMStreamedOut : public TWMAOut {
 public:
  explicit TWMStreamedOut(TComponent* AOwner = nullptr);
  ~TWMStreamedOut() override;
  std::string ClassName() const override { return "TWMStreamedOut"; }

  // 0 takes any free port; URL then tells which.
  uint32_t Port() const { return FPort; }
  void SetPort(uint32_t Value) { FPort = Value; }
  // 0 keeps the runtime's limit.
  uint32_t MaxClients() const { return FMaxClients; }
  void SetMaxClients(uint32_t Value) { FMaxClients = Value; }
  TStreamedAudioEvent OnClientConnected() const;
  void SetOnClientConnected(TStreamedAudioEvent Value);
  TStreamedAudioEvent OnClientDisconnected() const;
  void SetOnClientDisconnected(TStreamedAudioEvent Value);

  // Safe to ask from any thread while the output runs.
  uint32_t ConnectionsCount() const;
  std::string URL() const;
  // An empty address and port 0 for an index beyond the clients.
  TConnectionInfo GetConnectionInfo(uint32_t Index) const;

 protected:
  void BeforeDestruction() override;
  void OpenWriter() override;
  void CloseWriter() override;

 private:
  // Ends the run and drops the events still queued for this output, while it is whole.
  void WindDown() noexcept;
  static void ConnectedProc(TComponent* Dest);
  static void DisconnectedProc(TComponent* Dest);
  void Post(const TStreamedAudioEvent& Handler);

  // Writer.network_sink stays put while FSinkOpen is set; both are read under FSinkLock.
  mutable std::mutex FSinkLock;
  bool FSinkOpen = false;
  mutable std::mutex FEventLock;
  TStreamedAudioEvent FOnClientConnected;
  TStreamedAudioEvent FOnClientDisconnected;
  bool FWoundDown = false;
};

}  // namespace tunevert
