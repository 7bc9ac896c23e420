// The class object of CVigil: one per process, made on the first request and kept until the
// module unloads. It holds no module lock itself; LockServer is how a client keeps the module.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>

namespace pv {

class CVigilClassFactory final : public IClassFactory {
public:
    CVigilClassFactory() = default;
    CVigilClassFactory(const CVigilClassFactory&) = delete;
    CVigilClassFactory& operator=(const CVigilClassFactory&) = delete;
    ~CVigilClassFactory() = default;

    // IUnknown. The count is kept for the answers' sake; the object is never deleted through it.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IClassFactory. CreateInstance follows the aggregation rules (an outer object may ask only
    // for IUnknown) and creates through CreateVigilInstance.
    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL fLock) override;

private:
    std::atomic<ULONG> m_nRef{0};
};

// DllGetClassObject's work for the component's CLSID: creates the class object on the first
// call (under the module's lock, so simultaneous first calls make one) and queries it for riid.
// ppv must not be null; *ppv is null on failure.
HRESULT GetVigilClassObject(REFIID riid, void** ppv);

} // namespace pv
