// Kind 5: a docked terminal connects back to a listener whose address the PC writes into the
// device's registry through the docking remote API. ActiveSyncConnect (port_kinds.h) does it;
// these are its settings.
#pragma once
#include <cstdint>
#include <string>

namespace korvane {

// How long the remote API may take to start, and the terminal to connect back.
constexpr uint32_t kActiveSyncStartWaitMs = 15000;
constexpr uint32_t kActiveSyncConnectWaitMs = 15000;

// The connect-back wait (tests shorten it); 0 gives the default back.
void SetActiveSyncConnectWaitMs(uint32_t ms);

// The PC's own address on the docking link, empty while unknown: the listener is bound to it so no
// other network can take the terminal's place. Unknown means every address, with a warning logged.
using DockingAddressSource = std::string (*)();
// Null gives the default back, which knows no address.
void SetDockingAddressSource(DockingAddressSource source);

}  // namespace korvane
