// The module's own instance handle: resources (dialog templates, cursor, pictures), the registry
// script and the module file name are found through it.
#pragma once

#include <windows.h>

#include <string>

namespace pv {

// The handle recorded at process attach; before that (test programs that link the module's code
// statically) the module that contains this code.
HINSTANCE ModuleInstance();
void SetModuleInstance(HINSTANCE instance);

// Full path of the module's file, as GetModuleFileNameW returns it, whatever its length. Empty when
// it cannot be determined.
std::wstring ModuleFilePath();

} // namespace pv
