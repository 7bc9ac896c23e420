// The owner of the module's message boxes and of the settings dialog.
#pragma once

#include <windows.h>

namespace pv {

// Remembers the thread that loaded the module (called at process attach).
void RecordModuleThread(DWORD threadId);
// The recorded thread, or 0 when none was recorded.
DWORD ModuleThread();

// On the thread that loaded the module: the last active popup of the window active on that thread
// (null when none is active). On every other thread: null, and boxes and dialogs are unowned.
HWND FindModuleOwnerWindow();

} // namespace pv
