// The module's type library: registering the library, and the cached
// description of ICVigil that the object's IDispatch answers from.
// Below the COM boundary: these throw what allocation throws, and their callers answer for it.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

namespace pv {

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
