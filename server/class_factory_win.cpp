#include "server/class_factory_win.h"

#include <memory>
#include <mutex>

#include "platform/com_boundary_win.h"
#include "platform/module_lock.h"
#include "server/vigil_factory.h"

namespace pv {

namespace {

// The module's critical section for making the class object.
std::mutex g_classObjectLock;
std::unique_ptr<CVigilClassFactory> g_classObject;

} // namespace

STDMETHODIMP CVigilClassFactory::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CVigilClassFactory::AddRef() {
    return m_nRef.fetch_add(1, std::memory_order_relaxed) + 1;
}

STDMETHODIMP_(ULONG) CVigilClassFactory::Release() {
    // A client that releases more than it holds must not wrap the count around.
    ULONG current = m_nRef.load(std::memory_order_relaxed);
    while (current > 0 && !m_nRef.compare_exchange_weak(current, current - 1, std::memory_order_relaxed)) {}
    return current > 0 ? current - 1 : 0;
}

STDMETHODIMP CVigilClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    // An aggregated object's only interface the outer object may hold directly is its
    // non-delegating IUnknown.
    if (pUnkOuter && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    const HRESULT hr = ComBoundary([&] { return CreateVigilInstance(pUnkOuter, riid, ppv); });
    if (FAILED(hr)) *ppv = nullptr;
    return hr;
}

STDMETHODIMP CVigilClassFactory::LockServer(BOOL fLock) {
    if (fLock) {
        ModuleLock();
        return S_OK;
    }
    // An unbalanced unlock would let the count reach zero under a live object and the module
    // be unloaded beneath it; refuse it instead.
    if (ModuleLockCount() <= 0) return E_UNEXPECTED;
    ModuleUnlock();
    return S_OK;
}

HRESULT GetVigilClassObject(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    CVigilClassFactory* factory = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_classObjectLock);
        if (!g_classObject) g_classObject = std::make_unique<CVigilClassFactory>();
        factory = g_classObject.get();
    }
    return factory->QueryInterface(riid, ppv);
}

} // namespace pv
