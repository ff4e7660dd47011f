#pragma once

// Limits of the network sink, and an interface on it that lets tests shorten its timeout and
// watch its half-open connections. The engine never asks for the interface.

#include <cstddef>
#include <cstdint>

#include "platform/wmvcore/wmvcore.h"

namespace tunevert {

namespace wmvcore {

// Connections that have not finished their request head. Each holds a descriptor and up to a
// head of memory; honest players finish within milliseconds, so 32 are far more than a
// burst of real listeners ever has open together.
constexpr size_t MaxPendingConnections = 32;
// Half-open connections from one address. A player opens one or two at a time and a few
// players behind one router still fit, while no single address holds more than an eighth of
// the pending room.
constexpr size_t MaxPendingPerAddress = 4;

}  // namespace wmvcore

constexpr GUID IID_ITvNetworkSinkTesting{
    0x626FA4E2, 0x919B, 0x4149, {0xAE, 0x23, 0x73, 0x1D, 0xCB, 0xE8, 0x1D, 0xD5}};

struct ITvNetworkSinkTesting : IUnknown {
  // How long a connection may take to deliver its whole request head; 10 s unless set.
  virtual HRESULT SetRequestTimeout(uint32_t Milliseconds) = 0;
  // Connections accepted whose request head is not complete yet.
  virtual HRESULT GetPendingCount(uint32_t* pcPending) = 0;

 protected:
  ~ITvNetworkSinkTesting() = default;
};

}  // namespace tunevert
