// The hand cursor shown over list entries and hyperlinks: cursor resource 3000 of the module.
#pragma once

#include <windows.h>

namespace pv {

// Loaded at the first call and kept for the life of the module; null when the resource is missing.
HCURSOR HandCursor();

} // namespace pv
