// Placeholder until the navigation guard object lands.
#include "guard/vigil_factory.h"

namespace pv {

HRESULT CreateVigilInstance(IUnknown*, REFIID, void** ppv) {
    if (ppv) *ppv = nullptr;
    return E_NOTIMPL;
}

} // namespace pv
