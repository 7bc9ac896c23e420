#include "tools/browser/host_browser.h"

#include <exdispid.h>
#include <olectl.h>

#include <algorithm>
#include <cwctype>
#include <utility>

#include "platform/handles_win.h"

namespace pv::host {

namespace {

// The text of a VARIANT argument, following one level of VT_BYREF; empty when it has none.
std::wstring TextOf(const VARIANT* v) {
    if (!v) return {};
    Variant copy;
    if (FAILED(VariantCopyInd(copy.Get(), const_cast<VARIANT*>(v)))) return {};
    if (copy.Type() == VT_EMPTY || copy.Type() == VT_NULL) return {};
    if (FAILED(VariantChangeType(copy.Get(), copy.Get(), 0, VT_BSTR))) return {};
    if (copy.Type() != VT_BSTR || !V_BSTR(copy.Get())) return {};
    return std::wstring(V_BSTR(copy.Get()), SysStringLen(V_BSTR(copy.Get())));
}

VARTYPE TypeOf(const VARIANT* v) { return v ? V_VT(v) : VARTYPE(VT_EMPTY); }

bool SameIgnoringCase(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
               return std::towlower(x) == std::towlower(y);
           });
}

} // namespace

std::string Utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

std::wstring Wide(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

// ---------------------------------------------------------------------------------------------

HostBrowser::HostBrowser() = default;
HostBrowser::~HostBrowser() = default;

ComPtr<HostBrowser> HostBrowser::Create() {
    std::unique_ptr<HostBrowser> created(new HostBrowser());
    return ComPtr<HostBrowser>(created.release());
}

HRESULT STDMETHODCALLTYPE HostBrowser::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    IUnknown* answer = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, IID_IWebBrowser) || IsEqualIID(riid, IID_IWebBrowserApp) ||
        IsEqualIID(riid, IID_IWebBrowser2)) {
        answer = static_cast<IWebBrowser2*>(this);
    } else if (IsEqualIID(riid, IID_IConnectionPointContainer) && offerContainer) {
        answer = static_cast<IConnectionPointContainer*>(this);
    } else {
        return E_NOINTERFACE;
    }
    answer->AddRef();
    *ppv = answer;
    return S_OK;
}

ULONG STDMETHODCALLTYPE HostBrowser::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_nRef)); }

ULONG STDMETHODCALLTYPE HostBrowser::Release() {
    const LONG left = InterlockedDecrement(&m_nRef);
    if (left == 0) std::unique_ptr<HostBrowser> destroy(this);
    return static_cast<ULONG>(left);
}

void HostBrowser::DropSinks() {
    auto sinks = std::move(m_sinks);
    m_sinks.clear();
    // The sinks are released here, after the map is consistent again.
}

// ---------------------------------------------------------------------------------------------
// Navigation

std::unique_ptr<Navigation> HostBrowser::Navigate(const std::wstring& url) { return NavigateAt(url, 0); }

std::unique_ptr<Navigation> HostBrowser::NavigateAt(const std::wstring& url, int depth) {
    auto nav = std::make_unique<Navigation>();
    nav->url = url;
    if (depth > maxDepth) {
        nav->loop = true;
        return nav;
    }
    ComPtr<HostBrowser> self(this); // a helper may let go of the window meanwhile
    Navigation* const outer = std::exchange(m_current, nav.get());
    const int outerDepth = std::exchange(m_depth, depth);
    const int boxesAtStart = boxCount ? boxCount() : 0;

    // BeforeNavigate2(pDisp, URL, Flags, TargetFrameName, PostData, Headers, Cancel),
    // last parameter first in rgvarg.
    Variant urlValue(url);
    Variant flagsValue;
    V_VT(flagsValue.Get()) = VT_I4;
    V_I4(flagsValue.Get()) = 0;
    Variant frameValue(std::wstring_view(L""));
    Variant postDataValue;
    Variant headersValue(std::wstring_view(L""));
    VARIANT_BOOL cancel = VARIANT_FALSE;

    VARIANT args[7];
    for (VARIANT& a : args) VariantInit(&a);
    V_VT(&args[6]) = VT_DISPATCH;
    V_DISPATCH(&args[6]) = static_cast<IWebBrowser2*>(this);
    VARIANT* byRef[] = {headersValue.Get(), postDataValue.Get(), frameValue.Get(), flagsValue.Get(),
                        urlValue.Get()};
    for (int i = 1; i <= 5; ++i) {
        V_VT(&args[i]) = VT_BYREF | VT_VARIANT;
        V_VARIANTREF(&args[i]) = byRef[i - 1];
    }
    V_VT(&args[0]) = VT_BYREF | VT_BOOL;
    V_BOOLREF(&args[0]) = &cancel;
    DISPPARAMS params{args, nullptr, 7, 0};
    // args only borrow: nothing in them is cleared here.
    Fire(DISPID_BEFORENAVIGATE2, &params);

    m_current = outer;
    m_depth = outerDepth;
    if (!nav->next) nav->boxesBeforeRedirect = (boxCount ? boxCount() : 0) - boxesAtStart;
    if (nav->next) return nav;
    if (cancel != VARIANT_FALSE) {
        nav->cancelled = true;
        return nav;
    }
    m_location = url;
    nav->completed = true;
    if (titleAfterNavigation) FireTitleChange(url);
    return nav;
}

HRESULT HostBrowser::FireTitleChange(const std::wstring& title) {
    Variant text(title);
    VARIANT arg;
    VariantInit(&arg);
    arg = *text.Get(); // borrowed
    DISPPARAMS params{&arg, nullptr, 1, 0};
    return Fire(DISPID_TITLECHANGE, &params);
}

HRESULT HostBrowser::FireOnQuit() {
    DISPPARAMS params{nullptr, nullptr, 0, 0};
    return Fire(DISPID_ONQUIT, &params);
}

HRESULT HostBrowser::Fire(DISPID dispid, DISPPARAMS* params) {
    // A sink may unsubscribe (or subscribe) while it handles the event.
    std::vector<ComPtr<IDispatch>> sinks;
    for (auto& [cookie, sink] : m_sinks) sinks.push_back(sink);
    HRESULT last = S_OK;
    for (auto& sink : sinks) {
        last = sink->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params, nullptr, nullptr,
                            nullptr);
    }
    if (onEvent) onEvent(dispid, last);
    return last;
}

// ---------------------------------------------------------------------------------------------
// IWebBrowser2

HRESULT STDMETHODCALLTYPE HostBrowser::Navigate2(VARIANT* url, VARIANT* flags, VARIANT* targetFrameName,
                                                 VARIANT* postData, VARIANT* headers) {
    if (!url) return E_INVALIDARG;
    Navigate2Call call;
    call.url = TextOf(url);
    call.targetFrame = TextOf(targetFrameName);
    call.urlType = TypeOf(url);
    call.flagsType = TypeOf(flags);
    call.targetType = TypeOf(targetFrameName);
    call.postDataType = TypeOf(postData);
    call.headersType = TypeOf(headers);
    call.duringNavigation = m_current != nullptr;
    navigate2Calls.push_back(call);
    if (onNavigate2) onNavigate2(call);
    if (!nestRedirects) return S_OK;

    ComPtr<HostBrowser> self(this);
    if (SameIgnoringCase(call.targetFrame, L"_blank")) {
        if (onNewWindow) onNewWindow(call.url);
        return S_OK;
    }
    if (Navigation* pending = m_current) {
        // Supersedes the navigation being judged; the newest request wins.
        pending->next = NavigateAt(call.url, m_depth + 1);
        return S_OK;
    }
    auto nav = NavigateAt(call.url, 0);
    if (onUnsolicited) onUnsolicited(*nav);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HostBrowser::put_StatusText(BSTR statusText) {
    std::wstring text = statusText ? std::wstring(statusText, SysStringLen(statusText)) : L"";
    statusTexts.push_back(text);
    if (m_current) m_current->statusTexts.push_back(text);
    m_statusText = text;
    if (onStatusText) onStatusText(text);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HostBrowser::get_StatusText(BSTR* statusText) {
    if (!statusText) return E_POINTER;
    *statusText = SysAllocStringLen(m_statusText.data(), static_cast<UINT>(m_statusText.size()));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HostBrowser::get_LocationURL(BSTR* locationUrl) {
    if (!locationUrl) return E_POINTER;
    *locationUrl = SysAllocStringLen(m_location.data(), static_cast<UINT>(m_location.size()));
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Connection points

HRESULT STDMETHODCALLTYPE HostBrowser::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (ppEnum) *ppEnum = nullptr;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE HostBrowser::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    if (!offerConnectionPoint || !IsEqualIID(riid, DIID_DWebBrowserEvents2)) return CONNECT_E_NOCONNECTION;
    m_point.AddRef();
    *ppCP = &m_point;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HostBrowser::EventPoint::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IConnectionPoint)) return E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<IConnectionPoint*>(this);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HostBrowser::EventPoint::GetConnectionInterface(IID* pIID) {
    if (!pIID) return E_POINTER;
    *pIID = DIID_DWebBrowserEvents2;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE
HostBrowser::EventPoint::GetConnectionPointContainer(IConnectionPointContainer** pp) {
    if (!pp) return E_POINTER;
    *pp = nullptr;
    return m_owner.QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(pp));
}

HRESULT STDMETHODCALLTYPE HostBrowser::EventPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
    if (!pdwCookie) return E_POINTER;
    *pdwCookie = 0;
    if (!pUnkSink) return E_POINTER;
    if (FAILED(m_owner.adviseResult)) return m_owner.adviseResult;
    // As the browser does: the event interface first, plain IDispatch otherwise.
    ComPtr<IDispatch> sink;
    if (FAILED(pUnkSink->QueryInterface(DIID_DWebBrowserEvents2, sink.PutVoid())) || !sink) {
        if (FAILED(pUnkSink->QueryInterface(IID_IDispatch, sink.PutVoid())) || !sink)
            return CONNECT_E_CANNOTCONNECT;
    }
    const DWORD cookie = ++m_owner.m_nextCookie;
    m_owner.m_sinks.emplace(cookie, std::move(sink));
    m_owner.m_lastCookie = cookie;
    *pdwCookie = cookie;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HostBrowser::EventPoint::Unadvise(DWORD dwCookie) {
    auto it = m_owner.m_sinks.find(dwCookie);
    if (it == m_owner.m_sinks.end()) return CONNECT_E_NOCONNECTION;
    ComPtr<IDispatch> sink = std::move(it->second);
    m_owner.m_sinks.erase(it);
    sink.Reset(); // may destroy the helper: the map is already consistent
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HostBrowser::EventPoint::EnumConnections(IEnumConnections** ppEnum) {
    if (ppEnum) *ppEnum = nullptr;
    return E_NOTIMPL;
}

} // namespace pv::host
