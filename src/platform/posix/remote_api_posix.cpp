// No docking remote API exists here: kind 5 fails to open as on a PC without the docking software.
#include "platform/remote_api.h"

namespace korvane {

bool LoadSystemRapi() { return false; }
void ResolveSystemRapi(RapiEntryPoints& table) { table = {}; }
void UnloadSystemRapi() {}

}  // namespace korvane
