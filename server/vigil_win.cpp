#include "server/vigil_win.h"

#include <exdispid.h>

#include <memory>

#include "dialog/settings_launcher.h"
#include "guard/schedule_check.h"
#include "guard/verdict.h"
#include "platform/com_boundary_win.h"
#include "platform/handles_win.h"
#include "platform/module_lock.h"
#include "server/typelib_win.h"
#include "server/vigil_factory.h"
#include "store/vigil_app.h"

namespace pv {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "BSTR text is UTF-16");

namespace {

constexpr const char* kBlankPage = "about:blank";
constexpr const char* kCheckingStatus = "Check of contents of the page...";

std::wstring_view AsWide(const WideString& s) {
    return {reinterpret_cast<const wchar_t*>(s.data()), s.size()};
}

// The browser's address as a NUL-terminated string would read it: the text before any NUL.
WideString AddressText(BSTR bstr) {
    const wchar_t* p = bstr;
    const UINT len = SysStringLen(bstr);
    UINT n = 0;
    while (n < len && p[n] != L'\0') ++n;
    return WideString(reinterpret_cast<const char16_t*>(p), n);
}

WideString ToWide(const std::string& ansi) {
    if (auto w = TheApp().GetPlatform().AnsiToWide(ansi)) return std::move(*w);
    WideString plain; // ASCII-only fallback; the texts passed here are ASCII
    for (unsigned char c : ansi) plain.push_back(c < 0x80 ? c : u'?');
    return plain;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Creation, identity and lifetime

CVigil::ModuleLockHolder::ModuleLockHolder() { ModuleLock(); }
CVigil::ModuleLockHolder::~ModuleLockHolder() { ModuleUnlock(); }

CVigil::CVigil(IUnknown* pUnkOuter)
    : m_inner(*this), m_pControlling(pUnkOuter ? pUnkOuter : static_cast<IUnknown*>(&m_inner)),
      m_bAggregated(pUnkOuter != nullptr) {}

// Members release the event source, the browser and the site, and the module lock goes last.
// The subscription is not undone here: while it exists it holds a reference, so an object that
// reaches this point is no longer subscribed, or its browser has already let go of it.
CVigil::~CVigil() = default;

HRESULT CVigil::Create(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    // An aggregate must hold the inner, non-delegating unknown and nothing else.
    if (pUnkOuter && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    // From here the reference count owns the object: the query either hands out a reference
    // or the final Release below destroys it.
    CVigil* object = new CVigil(pUnkOuter);
    object->m_inner.AddRef();
    const HRESULT hr = object->m_inner.QueryInterface(riid, ppv);
    object->m_inner.Release();
    return hr;
}

HRESULT STDMETHODCALLTYPE CVigil::Inner::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    IUnknown* answer = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) {
        // Inside an aggregate the outer object asks for the non-delegating unknown; alone, the
        // object's identity is its ICVigil interface.
        answer = m_owner.m_bAggregated ? static_cast<IUnknown*>(this) : static_cast<ICVigil*>(&m_owner);
    } else if (IsEqualIID(riid, IID_ICVigil) || IsEqualIID(riid, IID_IDispatch)) {
        answer = static_cast<ICVigil*>(&m_owner);
    } else if (IsEqualIID(riid, IID_IObjectWithSite)) {
        answer = static_cast<IObjectWithSite*>(&m_owner);
    } else if (IsEqualIID(riid, IID_IOleCommandTarget)) {
        answer = static_cast<IOleCommandTarget*>(&m_owner);
    } else {
        return E_NOINTERFACE;
    }
    answer->AddRef();
    *ppv = answer;
    return S_OK;
}

ULONG STDMETHODCALLTYPE CVigil::Inner::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&m_owner.m_nRef));
}

ULONG STDMETHODCALLTYPE CVigil::Inner::Release() {
    const LONG left = InterlockedDecrement(&m_owner.m_nRef);
    if (left == 0) {
        // Owned by its reference count since Create; this is where that ownership ends.
        std::unique_ptr<CVigil> destroy(&m_owner);
    }
    return static_cast<ULONG>(left);
}

HRESULT STDMETHODCALLTYPE CVigil::QueryInterface(REFIID riid, void** ppv) {
    return m_pControlling->QueryInterface(riid, ppv);
}
ULONG STDMETHODCALLTYPE CVigil::AddRef() { return m_pControlling->AddRef(); }
ULONG STDMETHODCALLTYPE CVigil::Release() { return m_pControlling->Release(); }

HRESULT CreateVigilInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
    return CVigil::Create(pUnkOuter, riid, ppv);
}

// ---------------------------------------------------------------------------------------------
// IDispatch

HRESULT STDMETHODCALLTYPE CVigil::GetTypeInfoCount(UINT* pctinfo) {
    if (!pctinfo) return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CVigil::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
    if (!ppTInfo) return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0) return DISP_E_BADINDEX;
    return ComBoundary([&] { return GetICVigilTypeInfo(ppTInfo); });
}

HRESULT STDMETHODCALLTYPE CVigil::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                                                DISPID* rgDispId) {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (cNames > 0 && (!rgszNames || !rgDispId)) return E_POINTER;
    return ComBoundary([&] {
        ComPtr<ITypeInfo> info;
        const HRESULT hr = GetICVigilTypeInfo(info.Put());
        if (FAILED(hr)) return hr;
        if (!info) return E_UNEXPECTED;
        return info->GetIDsOfNames(rgszNames, cNames, rgDispId);
    });
}

HRESULT STDMETHODCALLTYPE CVigil::Invoke(DISPID dispidMember, REFIID, LCID, WORD, DISPPARAMS* pDispParams,
                                         VARIANT*, EXCEPINFO*, UINT*) {
    if (!pDispParams) return E_INVALIDARG;
    // OnQuit's Disconnect drops the subscription's reference, which may be the last one.
    const ComPtr<IUnknown> alive(static_cast<ICVigil*>(this));
    // An event that could not be handled is still answered S_OK.
    ComBoundary([&] {
        switch (dispidMember) {
        case DISPID_BEFORENAVIGATE2:
            HandleBeforeNavigate(*pDispParams);
            break;
        case DISPID_TITLECHANGE:
            HandleTitleChange();
            break;
        case DISPID_ONQUIT:
            DisconnectEvents();
            break;
        default:
            break;
        }
        return S_OK;
    });
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Site and subscription

HRESULT STDMETHODCALLTYPE CVigil::SetSite(IUnknown* pUnkSite) {
    return ComBoundary([&] {
        m_spSite = ComPtr<IUnknown>(pUnkSite);
        m_spBrowser.Reset();
        if (pUnkSite) pUnkSite->QueryInterface(IID_IWebBrowser2, m_spBrowser.PutVoid());
        // Letting go of the site keeps the subscription and the event source: OnQuit still
        // has to unsubscribe through them.
        if (!m_spBrowser) return E_INVALIDARG;
        m_spEventSource = m_spBrowser.As<IConnectionPointContainer>(IID_IConnectionPointContainer);
        if (!m_spEventSource) return E_POINTER;
        // The window's first navigation passes the schedule check without a time test.
        TheApp().RaisePassOnce();
        return ConnectEvents();
    });
}

HRESULT STDMETHODCALLTYPE CVigil::GetSite(REFIID riid, void** ppvSite) {
    if (!ppvSite) return E_POINTER;
    *ppvSite = nullptr;
    if (!m_spSite) return E_FAIL;
    return m_spSite->QueryInterface(riid, ppvSite);
}

HRESULT CVigil::FindEventsPoint(ComPtr<IConnectionPoint>& point) const {
    ComPtr<IConnectionPointContainer> source = m_spEventSource;
    if (!source) return E_POINTER;
    HRESULT hr = source->FindConnectionPoint(DIID_DWebBrowserEvents2, point.Put());
    if (FAILED(hr)) return hr;
    return point ? S_OK : E_POINTER;
}

HRESULT STDMETHODCALLTYPE CVigil::Connect() {
    return ComBoundary([&] { return ConnectEvents(); });
}

HRESULT CVigil::ConnectEvents() {
    ComPtr<IConnectionPoint> point;
    HRESULT hr = FindEventsPoint(point);
    if (FAILED(hr)) return hr;
    DWORD cookie = 0;
    hr = point->Advise(static_cast<ICVigil*>(this), &cookie);
    // A failed Advise must not overwrite the cookie of a subscription that still exists:
    // without it that subscription (and the reference it holds) could never be undone.
    if (SUCCEEDED(hr)) m_dwCookie = cookie;
    // The window that connected last is the current one, even when Advise failed.
    if (m_spBrowser) TheApp().SetCurrentBrowser(m_spBrowser.Get());
    return hr;
}

HRESULT STDMETHODCALLTYPE CVigil::Disconnect() {
    return ComBoundary([&] { return DisconnectEvents(); });
}

HRESULT CVigil::DisconnectEvents() {
    ComPtr<IConnectionPoint> point;
    HRESULT hr = FindEventsPoint(point);
    if (FAILED(hr)) return hr;
    return point->Unadvise(m_dwCookie);
}

// ---------------------------------------------------------------------------------------------
// Events

void CVigil::HandleBeforeNavigate(const DISPPARAMS& params) {
    // Without a browser there is nowhere to show a status or to send a refused navigation.
    ComPtr<IWebBrowser2> browser = m_spBrowser;
    if (!browser) return;

    CVigilApp& app = TheApp();
    if (!IsTimeAllowed(app)) {
        // The refusal has already been shown; the address itself does not matter.
        Redirect(kBlankPage, std::nullopt);
        return;
    }

    if (params.cArgs < 6 || !params.rgvarg) return;
    const VARIANT& urlArg = params.rgvarg[5];
    if (V_VT(&urlArg) != (VT_BYREF | VT_VARIANT) || !V_VARIANTREF(&urlArg)) return;

    Variant url;
    if (FAILED(VariantCopy(url.Get(), V_VARIANTREF(&urlArg)))) return;
    if (FAILED(VariantChangeType(url.Get(), url.Get(), 0, VT_BSTR))) return;
    if (url.Type() != VT_BSTR) return;
    OptWide address;
    if (V_BSTR(url.Get())) address = AddressText(V_BSTR(url.Get()));

    Bstr status(AsWide(ToWide(kCheckingStatus)));
    browser->put_StatusText(status.Get());

    if (!JudgeURL(app, address, std::nullopt, std::nullopt)) {
        std::string errUrl = app.ErrURL();
        // Without a forbidden page configured the window still has to leave the address.
        if (errUrl.empty()) errUrl = kBlankPage;
        Redirect(errUrl, address);
    }
}

void CVigil::HandleTitleChange() {
    if (!m_spBrowser) return;
    FirstRunCheck();
}

void CVigil::Redirect(const std::string& target, const std::optional<WideString>& refused) {
    ComPtr<IWebBrowser2> browser = m_spBrowser;
    if (!browser) return;
    const WideString wide = ToWide(target);
    if (refused && *refused == wide) return;

    Variant url(AsWide(wide));
    Variant empty;
    // Raised before the request: the redirected navigation may arrive inside Navigate2.
    TheApp().RaisePassOnce();
    browser->Navigate2(url.Get(), empty.Get(), empty.Get(), empty.Get(), empty.Get());
}

// ---------------------------------------------------------------------------------------------
// Toolbar command

HRESULT STDMETHODCALLTYPE CVigil::QueryStatus(const GUID*, ULONG cCmds, OLECMD prgCmds[], OLECMDTEXT*) {
    if (cCmds > 0 && !prgCmds) return E_POINTER;
    for (ULONG i = 0; i < cCmds; ++i) prgCmds[i].cmdf = OLECMDF_ENABLED;
    return S_OK;
}

HRESULT CVigil::ExecCommand() {
    const ComPtr<IUnknown> alive(static_cast<ICVigil*>(this));
    // The command is answered S_OK also when the dialog could not be shown.
    ComBoundary([&] {
        OpenSettingsDialog();
        return S_OK;
    });
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CVigil::Exec(const GUID*, DWORD, DWORD, VARIANT*, VARIANT*) {
    return ExecCommand();
}

HRESULT STDMETHODCALLTYPE CVigil::Exec(GUID*, DWORD, DWORD, VARIANT*, VARIANT*) { return ExecCommand(); }

} // namespace pv
