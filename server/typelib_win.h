// The module's type library: finding the module file, registering the library, and the cached
// description of ICVigil that the object's IDispatch answers from.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

namespace pv {

// The module this code is linked into (Pathvigil.dll inside the module, the program in a test).
HMODULE ThisModule();

// Full path of the file this code is linked into (Pathvigil.dll inside the module), as
// GetModuleFileNameW returns it. Empty when it cannot be determined.
std::wstring ModuleFilePath();

// The ICVigil description, loaded once per process (LoadRegTypeLib of PathvigilLib 1.0, falling
// back to the type library embedded in the module file) and cached; safe from any thread.
// On success *ppTypeInfo holds a new reference the caller releases. A failed load is not cached,
// so a later call tries again.
HRESULT GetICVigilTypeInfo(ITypeInfo** ppTypeInfo);

// LoadTypeLib on the module's own path, then RegisterTypeLib with no help directory.
HRESULT RegisterModuleTypeLib();
// LoadTypeLib on the module's own path, then UnRegisterTypeLib with the attributes it reports.
HRESULT UnregisterModuleTypeLib();

} // namespace pv
