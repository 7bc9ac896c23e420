// The module's four exported entry points.
#include <windows.h>
#include <objbase.h>
#include <olectl.h>

#include <new>

#include "pathvigil_h.h"
#include "resources/resource.h"
#include "server/class_factory_win.h"
#include "server/module_lock.h"
#include "server/registrar_win.h"
#include "server/typelib_win.h"

namespace {

// Registers (or unregisters) the class factories of the application framework. The module keeps
// none there: its one class object is made on demand by DllGetClassObject.
HRESULT UpdateFrameworkClassFactories(bool /*reg*/) { return S_OK; }

HRESULT RunModuleScript(pv::registrar::Mode mode) {
    pv::registrar::Replacements replacements = pv::ModuleReplacements();
    if (replacements["Module"].empty()) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    return pv::RunRegistryScript(pv::ThisModule(), IDR_REGISTRY, mode, replacements);
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
    return pv::GetVigilClassObject(riid, ppv);
}

extern "C" HRESULT WINAPI DllRegisterServer() {
    try {
        HRESULT hr = RunModuleScript(pv::registrar::Mode::Register);
        if (FAILED(hr)) return hr;
        hr = pv::RegisterModuleTypeLib();
        if (FAILED(hr)) return hr;
        return FAILED(UpdateFrameworkClassFactories(true)) ? SELFREG_E_CLASS : S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
    try {
        // Both steps run even when the first fails, so a half-registered module can still be
        // removed; the first failure is the answer.
        HRESULT scriptHr = RunModuleScript(pv::registrar::Mode::Unregister);
        HRESULT typeLibHr = pv::UnregisterModuleTypeLib();
        if (FAILED(scriptHr)) return scriptHr;
        if (FAILED(typeLibHr)) return typeLibHr;
        return FAILED(UpdateFrameworkClassFactories(false)) ? SELFREG_E_CLASS : S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}
