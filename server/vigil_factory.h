// Creation of the component's COM object, for the class factory.
#pragma once

#include <objbase.h>

namespace pv {

// Creates one CVigil (inside pUnkOuter when aggregated, in which case riid must be IID_IUnknown)
// and answers riid. The object holds one module lock for its life. Throws std::bad_alloc when the
// object cannot be made; the class factory's boundary answers E_OUTOFMEMORY for it.
HRESULT CreateVigilInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv);

} // namespace pv
