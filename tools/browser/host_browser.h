// A stand-in for one browser window as a browser helper object sees it: the IWebBrowser2
// operations a helper uses (Navigate2, put_StatusText, get_LocationURL), and the window's
// DWebBrowserEvents2 source (IConnectionPointContainer with one IConnectionPoint).
//
// Navigations are delivered the way the real browser may deliver them: a Navigate2 that a helper
// calls while it handles BeforeNavigate2 starts a new navigation at once, nested inside that
// call, and supersedes the pending one. The nesting is bounded; past the bound the navigation is
// not delivered and is marked as a loop.
//
// Every public member is for the thread that created the object (an apartment-threaded host).
#pragma once

#include <windows.h>
#include <exdisp.h>
#include <ocidl.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/com_ptr.h"
#include "tools/browser/web_browser_base.h"

namespace pv::host {

// One navigation and what became of it.
struct Navigation {
    std::wstring url;
    std::vector<std::wstring> statusTexts; // set while its BeforeNavigate2 was being handled
    int boxesBeforeRedirect = 0;           // message boxes shown before it was superseded
    bool cancelled = false;                // a helper set Cancel
    bool loop = false;                     // beyond the nesting bound: never delivered
    bool completed = false;                // the page was shown (location updated)
    std::unique_ptr<Navigation> next;      // the navigation that superseded it

    // The navigation at the end of the chain (this one when nothing superseded it).
    const Navigation& Final() const { return next ? next->Final() : *this; }
};

// A Navigate2 request as the browser received it.
struct Navigate2Call {
    std::wstring url;
    std::wstring targetFrame;
    VARTYPE urlType = VT_EMPTY;
    VARTYPE flagsType = VT_EMPTY;
    VARTYPE targetType = VT_EMPTY;
    VARTYPE postDataType = VT_EMPTY;
    VARTYPE headersType = VT_EMPTY;
    bool duringNavigation = false; // called while a BeforeNavigate2 was being handled
};

class HostBrowser final : public WebBrowser2Base, public IConnectionPointContainer {
public:
    static constexpr int kDefaultMaxDepth = 8;

    static ComPtr<HostBrowser> Create();

    // --- knobs (set before SetSite is given this browser) ---
    bool offerContainer = true;       // answer QueryInterface for IConnectionPointContainer
    bool offerConnectionPoint = true; // FindConnectionPoint finds DWebBrowserEvents2
    HRESULT adviseResult = S_OK;      // a failure code: Advise fails without subscribing
    bool titleAfterNavigation = true; // TitleChange after every completed navigation
    bool nestRedirects = true;        // false: Navigate2 is only recorded
    int maxDepth = kDefaultMaxDepth;

    // --- observation ---
    std::vector<std::wstring> statusTexts;
    std::vector<Navigate2Call> navigate2Calls;
    // Called as each request arrives, before anything is delivered for it.
    std::function<void(const Navigate2Call&)> onNavigate2;
    std::function<void(const std::wstring&)> onStatusText;
    // Called for every event delivered, with the last sink's answer.
    std::function<void(DISPID, HRESULT)> onEvent;
    // A Navigate2 targeting a new window ("_blank"): the host opens the window.
    std::function<void(const std::wstring& url)> onNewWindow;
    // A Navigate2 outside any navigation (from a dialog, say): its outcome.
    std::function<void(const Navigation&)> onUnsolicited;
    // Number of message boxes seen so far (the box watcher's count), if one runs.
    std::function<int()> boxCount;

    // --- driving ---
    // A navigation started by the user: BeforeNavigate2, then (unless superseded or cancelled)
    // the new location and TitleChange.
    std::unique_ptr<Navigation> Navigate(const std::wstring& url);
    // Events; each returns the answer of the last sink (S_OK when there is none).
    HRESULT FireTitleChange(const std::wstring& title);
    HRESULT FireOnQuit();
    // Any event with caller-built arguments, for malformed-argument tests.
    HRESULT Fire(DISPID dispid, DISPPARAMS* params);

    std::size_t SinkCount() const { return m_sinks.size(); }
    DWORD LastCookie() const { return m_lastCookie; }
    std::wstring Location() const { return m_location; }
    void SetLocation(std::wstring url) { m_location = std::move(url); }
    // Forgets every subscription (a window torn down without OnQuit): breaks reference cycles.
    void DropSinks();

    // --- IUnknown ---
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // --- IWebBrowser2 (the rest answers E_NOTIMPL) ---
    HRESULT STDMETHODCALLTYPE Navigate2(VARIANT* url, VARIANT* flags, VARIANT* targetFrameName,
                                        VARIANT* postData, VARIANT* headers) override;
    HRESULT STDMETHODCALLTYPE put_StatusText(BSTR statusText) override;
    HRESULT STDMETHODCALLTYPE get_StatusText(BSTR* statusText) override;
    HRESULT STDMETHODCALLTYPE get_LocationURL(BSTR* locationUrl) override;

    // --- IConnectionPointContainer ---
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

private:
    // The DWebBrowserEvents2 connection point; lives and counts with its browser.
    class EventPoint final : public IConnectionPoint {
    public:
        explicit EventPoint(HostBrowser& owner) : m_owner(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
        ULONG STDMETHODCALLTYPE AddRef() override { return m_owner.AddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return m_owner.Release(); }
        HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override;
        HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** pp) override;
        HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
        HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override;
        HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override;

    private:
        HostBrowser& m_owner;
    };

    HostBrowser();
    ~HostBrowser() override;
    friend struct std::default_delete<HostBrowser>;

    std::unique_ptr<Navigation> NavigateAt(const std::wstring& url, int depth);

    LONG m_nRef = 0;
    EventPoint m_point{*this};
    std::map<DWORD, ComPtr<IDispatch>> m_sinks;
    DWORD m_nextCookie = 0;
    DWORD m_lastCookie = 0;
    std::wstring m_location;
    std::wstring m_statusText;
    Navigation* m_current = nullptr; // the navigation whose BeforeNavigate2 is being handled
    int m_depth = 0;
};

// Text for people: UTF-8 of a wide string.
std::string Utf8(std::wstring_view text);
std::wstring Wide(std::string_view utf8);

} // namespace pv::host
