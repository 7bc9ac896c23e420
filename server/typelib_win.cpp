#include "server/typelib_win.h"

#include <mutex>
#include <new>

#include "pathvigil_h.h"
#include "platform/com_ptr.h"
#include "platform/handles_win.h"
#include "platform/module_instance_win.h"

namespace pv {

namespace {

// Loaded once; a failed load leaves it null so the next caller retries.
std::mutex g_typeInfoLock;
ComPtr<ITypeInfo> g_typeInfo;

HRESULT LoadModuleTypeLib(ComPtr<ITypeLib>& lib) {
    std::wstring path = ModuleFilePath();
    if (path.empty()) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    return LoadTypeLib(path.c_str(), lib.Put());
}

} // namespace

HRESULT GetICVigilTypeInfo(ITypeInfo** ppTypeInfo) {
    if (!ppTypeInfo) return E_POINTER;
    *ppTypeInfo = nullptr;
    std::lock_guard<std::mutex> lock(g_typeInfoLock);
    if (!g_typeInfo) {
        ComPtr<ITypeLib> lib;
        HRESULT hr = LoadRegTypeLib(LIBID_PathvigilLib, 1, 0, 0, lib.Put());
        if (FAILED(hr)) hr = LoadModuleTypeLib(lib);
        if (FAILED(hr)) return hr;
        ComPtr<ITypeInfo> info;
        hr = lib->GetTypeInfoOfGuid(IID_ICVigil, info.Put());
        if (FAILED(hr)) return hr;
        g_typeInfo = info;
    }
    *ppTypeInfo = ComPtr<ITypeInfo>(g_typeInfo).Detach();
    return S_OK;
}

HRESULT RegisterModuleTypeLib() {
    std::wstring path = ModuleFilePath();
    if (path.empty()) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadTypeLib(path.c_str(), lib.Put());
    if (FAILED(hr)) return hr;
    // RegisterTypeLib takes a non-const path; it does not change it.
    return RegisterTypeLib(lib.Get(), path.data(), nullptr);
}

HRESULT UnregisterModuleTypeLib() {
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadModuleTypeLib(lib);
    if (FAILED(hr)) return hr;
    LibAttr attr(lib.Get());
    hr = lib->GetLibAttr(attr.Put());
    if (FAILED(hr)) return hr;
    const TLIBATTR a = *attr.Get();
    attr.Reset();
    return UnRegisterTypeLib(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind);
}

} // namespace pv
