#include "server/typelib_win.h"

#include <mutex>
#include <new>
#include <vector>

#include "pathvigil_h.h"
#include "platform/com_ptr.h"

namespace pv {

namespace {

// Any address inside this module identifies it.
const int g_moduleAnchor = 0;

// Loaded once; a failed load leaves it null so the next caller retries.
std::mutex g_typeInfoLock;
ComPtr<ITypeInfo> g_typeInfo;

HRESULT LoadModuleTypeLib(ComPtr<ITypeLib>& lib) {
    std::wstring path = ModuleFilePath();
    if (path.empty()) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    return LoadTypeLib(path.c_str(), lib.Put());
}

} // namespace

HMODULE ThisModule() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&g_moduleAnchor), &module)) {
        return nullptr;
    }
    return module;
}

std::wstring ModuleFilePath() {
    HMODULE module = ThisModule();
    if (!module) return {};
    // Paths may exceed MAX_PATH; grow until the name fits (GetModuleFileNameW truncates
    // silently, reporting the full buffer size).
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}

HRESULT GetICVigilTypeInfo(ITypeInfo** ppTypeInfo) {
    if (!ppTypeInfo) return E_POINTER;
    *ppTypeInfo = nullptr;
    try {
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
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT RegisterModuleTypeLib() {
    try {
        std::wstring path = ModuleFilePath();
        if (path.empty()) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
        ComPtr<ITypeLib> lib;
        HRESULT hr = LoadTypeLib(path.c_str(), lib.Put());
        if (FAILED(hr)) return hr;
        // RegisterTypeLib takes a non-const path; it does not change it.
        return RegisterTypeLib(lib.Get(), path.data(), nullptr);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT UnregisterModuleTypeLib() {
    try {
        ComPtr<ITypeLib> lib;
        HRESULT hr = LoadModuleTypeLib(lib);
        if (FAILED(hr)) return hr;
        TLIBATTR* attr = nullptr;
        hr = lib->GetLibAttr(&attr);
        if (FAILED(hr)) return hr;
        const TLIBATTR a = *attr;
        lib->ReleaseTLibAttr(attr);
        return UnRegisterTypeLib(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

} // namespace pv
