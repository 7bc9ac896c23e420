// The module's four exported entry points.
#include <windows.h>
#include <objbase.h>
#include <olectl.h>

#include "pathvigil_h.h"
#include "platform/com_boundary_win.h"
#include "platform/module_instance_win.h"
#include "platform/module_lock.h"
#include "resources/resource.h"
#include "server/class_factory_win.h"
#include "server/registrar_win.h"
#include "server/typelib_win.h"

namespace {

HRESULT RunModuleScript(pv::registrar::Mode mode) {
    pv::registrar::Replacements replacements = pv::ModuleReplacements();
    if (replacements["Module"].empty()) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    return pv::RunRegistryScript(pv::ModuleInstance(), IDR_REGISTRY, mode, replacements);
}

} // namespace

extern "C" HRESULT WINAPI DllCanUnloadNow() {
    // Only an exactly balanced count lets the module go.
    return pv::ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(rclsid, CLSID_CVigil)) return CLASS_E_CLASSNOTAVAILABLE;
    return pv::ComBoundary([&] { return pv::GetVigilClassObject(riid, ppv); });
}

extern "C" HRESULT WINAPI DllRegisterServer() {
    return pv::ComBoundary([] {
        HRESULT hr = RunModuleScript(pv::registrar::Mode::Register);
        if (FAILED(hr)) return hr;
        hr = pv::RegisterModuleTypeLib();
        return FAILED(hr) ? hr : S_OK;
    });
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
    return pv::ComBoundary([] {
        // Both steps run even when the first fails, so a half-registered module can still be
        // removed; the first failure is the answer.
        HRESULT scriptHr = RunModuleScript(pv::registrar::Mode::Unregister);
        HRESULT typeLibHr = pv::UnregisterModuleTypeLib();
        if (FAILED(scriptHr)) return scriptHr;
        return FAILED(typeLibHr) ? typeLibHr : S_OK;
    });
}
