// CVigil: the component's COM object. One lives in every browser window (as its helper object)
// and one is created for every toolbar command. It receives the window's events, asks the guard's
// decisions whether a navigation may go on, and sends refused navigations elsewhere.
#pragma once

#include <windows.h>
#include <docobj.h>
#include <exdisp.h>
#include <ocidl.h>

#include <memory>
#include <optional>
#include <string>

#include "pathvigil_h.h"
#include "platform/com_ptr.h"
#include "platform/platform.h"

namespace pv {

class CVigil final : public ICVigil, public IObjectWithSite, public IOleCommandTarget {
public:
    // Creates an object inside pUnkOuter (riid must then be IID_IUnknown) or on its own, and
    // answers riid. On failure *ppv is null and nothing is left alive.
    static HRESULT Create(IUnknown* pUnkOuter, REFIID riid, void** ppv);

    // --- IUnknown: delegates to the controlling unknown (the outer object when aggregated) ---
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // --- IDispatch ---
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                            DISPID* rgDispId) override;
    // The browser-event handler (DWebBrowserEvents2), not type-library dispatch.
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispidMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS* pDispParams, VARIANT* pvarResult, EXCEPINFO* pExcepInfo,
                                     UINT* puArgErr) override;

    // --- ICVigil (SetSite is shared with IObjectWithSite) ---
    HRESULT STDMETHODCALLTYPE SetSite(IUnknown* pUnkSite) override;
    HRESULT STDMETHODCALLTYPE Exec(GUID* pguidCmdGroup, DWORD nCmdID, DWORD nCmdexecopt, VARIANT* pvaIn,
                                   VARIANT* pvaOut) override;
    HRESULT STDMETHODCALLTYPE Connect() override;
    HRESULT STDMETHODCALLTYPE Disconnect() override;

    // --- IObjectWithSite ---
    HRESULT STDMETHODCALLTYPE GetSite(REFIID riid, void** ppvSite) override;

    // --- IOleCommandTarget ---
    HRESULT STDMETHODCALLTYPE QueryStatus(const GUID* pguidCmdGroup, ULONG cCmds, OLECMD prgCmds[],
                                          OLECMDTEXT* pCmdText) override;
    HRESULT STDMETHODCALLTYPE Exec(const GUID* pguidCmdGroup, DWORD nCmdID, DWORD nCmdexecopt, VARIANT* pvaIn,
                                   VARIANT* pvaOut) override;

    // The window's top-level browser (null before SetSite and after SetSite(NULL)).
    ComPtr<IWebBrowser2> Browser() const { return m_spBrowser; }

private:
    // The non-delegating unknown: owns the reference count. When the object stands alone it is
    // also what the public interfaces delegate to.
    class Inner final : public IUnknown {
    public:
        explicit Inner(CVigil& owner) : m_owner(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
        ULONG STDMETHODCALLTYPE AddRef() override;
        ULONG STDMETHODCALLTYPE Release() override;

    private:
        CVigil& m_owner;
    };

    // Holds one module lock for the object's whole life, released after every other member.
    struct ModuleLockHolder {
        ModuleLockHolder();
        ~ModuleLockHolder();
        ModuleLockHolder(const ModuleLockHolder&) = delete;
        ModuleLockHolder& operator=(const ModuleLockHolder&) = delete;
    };

    // Only the reference count destroys the object.
    friend struct std::default_delete<CVigil>;
    explicit CVigil(IUnknown* pUnkOuter);
    ~CVigil();
    CVigil(const CVigil&) = delete;
    CVigil& operator=(const CVigil&) = delete;

    HRESULT ExecCommand();
    // The bodies of Connect and Disconnect, for callers already inside the COM boundary.
    HRESULT ConnectEvents();
    HRESULT DisconnectEvents();
    // The event source's connection point for DWebBrowserEvents2, for Connect and Disconnect.
    HRESULT FindEventsPoint(ComPtr<IConnectionPoint>& point) const;
    void HandleBeforeNavigate(const DISPPARAMS& params);
    void HandleTitleChange();
    // Navigates the top-level browser to `target` with the pass flag raised first. When
    // `refused` is the very address being sent there, nothing happens: redirecting a page to
    // itself would only come back here again.
    void Redirect(const std::string& target, const std::optional<WideString>& refused);

    ModuleLockHolder m_moduleLock;
    Inner m_inner;
    IUnknown* m_pControlling; // not counted: the outer object, or m_inner
    bool m_bAggregated;
    LONG m_nRef = 0;

    ComPtr<IUnknown> m_spSite;
    ComPtr<IWebBrowser2> m_spBrowser;
    ComPtr<IConnectionPointContainer> m_spEventSource;
    DWORD m_dwCookie = 0;
};

} // namespace pv
