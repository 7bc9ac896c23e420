// The module's lock count: every live CVigil object and every LockServer(TRUE) holds one;
// DllCanUnloadNow answers S_OK only at zero.
#pragma once

namespace pv {

void ModuleLock();
void ModuleUnlock();
long ModuleLockCount();

} // namespace pv
