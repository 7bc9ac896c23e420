// The navigation guard against a scripted browser window, in process: the guard's code is linked
// in and runs against a module state of this program's own.
#include <gtest/gtest.h>

#include <windows.h>
#include <exdispid.h>
#include <olectl.h>

#include "platform/module_lock.h"
#include "platform/win32_platform_win.h"
#include "store/vigil_app.h"
#include "tests/support/guard_support_win.h"

namespace pv::test {
namespace {

using host::HostBrowser;
using host::Navigation;

constexpr const char* kErrUrl = "http://127.0.0.1:9/forbidden.htm";
constexpr const wchar_t* kErrUrlW = L"http://127.0.0.1:9/forbidden.htm";
constexpr const wchar_t* kChecking = L"Check of contents of the page...";
constexpr const wchar_t* kTimeLimit = L"You Internet operation time is limited at the moment!";

class GuardTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_locks = ModuleLockCount();
        for (ListKind kind : {ListKind::Prohibited, ListKind::Allowed})
            for (const std::string& e : TheApp().m_data.Entries(kind)) TheApp().m_data.RemoveAll(kind, e);
        TheApp().m_data.SetSchedule(Schedule{});
        SetErrUrl(kErrUrl); // also lowers the pass flag
    }
    void TearDown() override { EXPECT_EQ(ModuleLockCount(), m_locks) << "a guard object is still alive"; }

    static void SetErrUrl(const std::optional<std::string>& url) {
        SettingsSnapshot::SetString("errURL", url);
        TheApp().LoadRegistrySettings();
    }
    static void Prohibit(const char* url) { TheApp().m_data.Append(ListKind::Prohibited, url); }
    static void Allow(const char* url) { TheApp().m_data.Append(ListKind::Allowed, url); }
    static void CloseEveryDay() {
        Schedule s;
        s.bTimeLimit = 1;
        TheApp().m_data.SetSchedule(s);
    }
    static bool FlagRaised() { return TheApp().PassOnceRaised(); }
    static void LowerFlag() { TheApp().ConsumePassOnce(); }

    // Records, for every Navigate2 the window receives, whether the pass flag was raised then.
    static std::shared_ptr<std::vector<bool>> WatchFlag(HostBrowser& browser) {
        auto flags = std::make_shared<std::vector<bool>>();
        browser.onNavigate2 = [flags](const host::Navigate2Call&) { flags->push_back(FlagRaised()); };
        return flags;
    }

    long m_locks = 0;
};

// ---------------------------------------------------------------------------------------------
// Identity and lifetime

TEST_F(GuardTest, QueryInterfaceAnswersExactlyItsTable) {
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(CreateVigilInstance(nullptr, IID_IUnknown, unknown.PutVoid()), S_OK);
    ComPtr<ICVigil> vigil = unknown.As<ICVigil>(IID_ICVigil);
    ComPtr<IDispatch> dispatch = unknown.As<IDispatch>(IID_IDispatch);
    ComPtr<IObjectWithSite> site = unknown.As<IObjectWithSite>(IID_IObjectWithSite);
    ComPtr<IOleCommandTarget> command = unknown.As<IOleCommandTarget>(IID_IOleCommandTarget);
    ASSERT_TRUE(vigil && dispatch && site && command);
    // IUnknown, ICVigil and IDispatch are one interface.
    EXPECT_EQ(static_cast<void*>(unknown.Get()), static_cast<void*>(vigil.Get()));
    EXPECT_EQ(static_cast<void*>(dispatch.Get()), static_cast<void*>(vigil.Get()));
    // Identity holds from every interface.
    for (IUnknown* from : {static_cast<IUnknown*>(site.Get()), static_cast<IUnknown*>(command.Get())}) {
        ComPtr<IUnknown> again;
        ASSERT_EQ(from->QueryInterface(IID_IUnknown, again.PutVoid()), S_OK);
        EXPECT_EQ(again.Get(), unknown.Get());
    }
    for (const IID* iid : {&DIID_DWebBrowserEvents2, &IID_IConnectionPointContainer, &IID_IWebBrowser2,
                           &IID_IClassFactory, &IID_IPersist}) {
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(unknown->QueryInterface(*iid, &p), E_NOINTERFACE);
        EXPECT_EQ(p, nullptr);
    }
    EXPECT_EQ(unknown->QueryInterface(IID_ICVigil, nullptr), E_POINTER);
    EXPECT_EQ(CreateVigilInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(CreateVigilInstance(nullptr, IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
}

TEST_F(GuardTest, EveryLiveObjectHoldsOneModuleLock) {
    {
        ComPtr<ICVigil> a = NewGuard();
        ComPtr<ICVigil> b = NewGuard();
        EXPECT_EQ(ModuleLockCount(), m_locks + 2);
        a.Reset();
        EXPECT_EQ(ModuleLockCount(), m_locks + 1);
    }
    EXPECT_EQ(ModuleLockCount(), m_locks);
}

// A minimal outer object that aggregates the guard and exposes it as its own.
class Outer final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; } // lives on the stack
    ULONG refs = 1;
    ComPtr<IUnknown> inner;
};

TEST_F(GuardTest, AggregatedObjectDelegatesToItsOuterObject) {
    Outer outer;
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(CreateVigilInstance(&outer, IID_ICVigil, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(ModuleLockCount(), m_locks);

    ASSERT_EQ(CreateVigilInstance(&outer, IID_IUnknown, outer.inner.PutVoid()), S_OK);
    EXPECT_EQ(outer.refs, 1u) << "creating the inner object must not count on the outer";
    EXPECT_EQ(ModuleLockCount(), m_locks + 1);
    {
        ComPtr<IObjectWithSite> site;
        ASSERT_EQ(outer.QueryInterface(IID_IObjectWithSite, site.PutVoid()), S_OK);
        EXPECT_EQ(outer.refs, 2u) << "the inner object's interfaces count on the outer object";
        ComPtr<IUnknown> identity;
        ASSERT_EQ(site->QueryInterface(IID_IUnknown, identity.PutVoid()), S_OK);
        EXPECT_EQ(identity.Get(), static_cast<IUnknown*>(&outer));
        ComPtr<ICVigil> vigil;
        EXPECT_EQ(site->QueryInterface(IID_ICVigil, vigil.PutVoid()), S_OK);
        EXPECT_EQ(outer.refs, 4u);
    }
    EXPECT_EQ(outer.refs, 1u);
    // The non-delegating unknown is distinct from the outer one and answers IUnknown with itself.
    ComPtr<IUnknown> self;
    ASSERT_EQ(outer.inner->QueryInterface(IID_IUnknown, self.PutVoid()), S_OK);
    EXPECT_EQ(self.Get(), outer.inner.Get());
    self.Reset();
    outer.inner.Reset();
    EXPECT_EQ(ModuleLockCount(), m_locks);
}

TEST_F(GuardTest, DispatchBasics) {
    ComPtr<ICVigil> guard = NewGuard();
    UINT count = 0;
    EXPECT_EQ(guard->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(guard->GetTypeInfoCount(nullptr), E_POINTER);
    EXPECT_EQ(guard->GetTypeInfo(0, 0, nullptr), E_POINTER);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_EQ(guard->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
    EXPECT_EQ(info, nullptr);
    LPOLESTR name = const_cast<LPOLESTR>(L"Connect");
    DISPID id = 0;
    EXPECT_EQ(guard->GetIDsOfNames(IID_IWebBrowser2, &name, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);
    // Invoke is the event handler: arguments are required, unknown events are answered S_OK.
    EXPECT_EQ(guard->Invoke(DISPID_BEFORENAVIGATE2, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr,
                            nullptr),
              E_INVALIDARG);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(guard->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr), S_OK);
    // Events before any site: nothing to act on, no crash.
    EXPECT_EQ(
        guard->Invoke(DISPID_BEFORENAVIGATE2, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
        S_OK);
    EXPECT_EQ(guard->Invoke(DISPID_ONQUIT, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
              S_OK);
}

// ---------------------------------------------------------------------------------------------
// Toolbar command

TEST_F(GuardTest, QueryStatusEnablesEveryCommand) {
    ComPtr<IOleCommandTarget> command = NewGuard().As<IOleCommandTarget>(IID_IOleCommandTarget);
    ASSERT_TRUE(command);
    OLECMD one{7, 0};
    EXPECT_EQ(command->QueryStatus(nullptr, 1, &one, nullptr), S_OK);
    EXPECT_EQ(one.cmdf, static_cast<DWORD>(OLECMDF_ENABLED));
    OLECMD three[3] = {{1, OLECMDF_LATCHED}, {2, 0}, {3, OLECMDF_SUPPORTED}};
    const GUID group = IID_IPersist;
    OLECMDTEXT text{};
    EXPECT_EQ(command->QueryStatus(&group, 3, three, &text), S_OK);
    for (const OLECMD& c : three) EXPECT_EQ(c.cmdf, static_cast<DWORD>(OLECMDF_ENABLED));
    EXPECT_EQ(three[1].cmdID, 2u) << "command identifiers are not touched";
    EXPECT_EQ(command->QueryStatus(nullptr, 0, nullptr, nullptr), S_OK);
    EXPECT_EQ(command->QueryStatus(nullptr, 2, nullptr, nullptr), E_POINTER);
}

TEST_F(GuardTest, ExecAnswersOkWhateverItIsGiven) {
    ComPtr<ICVigil> guard = NewGuard();
    ComPtr<IOleCommandTarget> command = guard.As<IOleCommandTarget>(IID_IOleCommandTarget);
    ASSERT_TRUE(command);
    // Each command opens the settings dialog (the watcher closes it), whatever it is given.
    const std::size_t boxes = Boxes().Count();
    EXPECT_EQ(command->Exec(nullptr, 0, 0, nullptr, nullptr), S_OK);
    ASSERT_EQ(Boxes().Count(), boxes + 1) << "the dialog opened";
    EXPECT_EQ(Boxes().Texts().back().find(L"Cannot create dialog!"), std::wstring::npos);
    GUID group = IID_IPersist;
    VARIANT in;
    VariantInit(&in);
    EXPECT_EQ(guard->Exec(&group, 42, OLECMDEXECOPT_DONTPROMPTUSER, &in, nullptr), S_OK);
    ASSERT_EQ(Boxes().Count(), boxes + 2) << "the dialog opened again";
    EXPECT_EQ(Boxes().Texts().back().find(L"Cannot create dialog!"), std::wstring::npos);
}

// ---------------------------------------------------------------------------------------------
// Site and subscription

TEST_F(GuardTest, SetSiteSubscribesRaisesTheFlagAndBecomesCurrent) {
    Window w;
    ASSERT_EQ(w.Site(), S_OK);
    EXPECT_EQ(w.browser->SinkCount(), 1u);
    EXPECT_TRUE(FlagRaised());
    EXPECT_EQ(TheApp().CurrentBrowser().Get(), static_cast<IWebBrowser2*>(w.browser.Get()));
    ComPtr<IWebBrowser2> site;
    ASSERT_EQ(w.guard.As<IObjectWithSite>(IID_IObjectWithSite)->GetSite(IID_IWebBrowser2, site.PutVoid()),
              S_OK);
    EXPECT_EQ(site.Get(), static_cast<IWebBrowser2*>(w.browser.Get()));

    // The IObjectWithSite route is the same routine.
    Window second;
    ComPtr<IObjectWithSite> withSite = second.guard.As<IObjectWithSite>(IID_IObjectWithSite);
    EXPECT_EQ(withSite->SetSite(AsUnknown(second.browser.Get())), S_OK);
    EXPECT_EQ(second.browser->SinkCount(), 1u);
    EXPECT_EQ(TheApp().CurrentBrowser().Get(), static_cast<IWebBrowser2*>(second.browser.Get()));
}

TEST_F(GuardTest, SitesThatAreNoBrowserWindowAreRefused) {
    ComPtr<ICVigil> guard = NewGuard();
    ComPtr<IStream> notABrowser;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, notABrowser.Put()), S_OK);
    EXPECT_EQ(guard->SetSite(notABrowser.Get()), E_INVALIDARG);
    EXPECT_FALSE(FlagRaised());
    // The site is kept as given even so.
    ComPtr<IStream> kept;
    EXPECT_EQ(guard.As<IObjectWithSite>(IID_IObjectWithSite)->GetSite(IID_IStream, kept.PutVoid()), S_OK);

    Window noContainer;
    noContainer.browser->offerContainer = false;
    EXPECT_EQ(noContainer.Site(), E_POINTER);
    EXPECT_FALSE(FlagRaised());
    EXPECT_EQ(noContainer.browser->SinkCount(), 0u);

    Window noPoint;
    noPoint.browser->offerConnectionPoint = false;
    EXPECT_EQ(noPoint.Site(), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(noPoint.browser->SinkCount(), 0u);
    EXPECT_NE(TheApp().CurrentBrowser().Get(), static_cast<IWebBrowser2*>(noPoint.browser.Get()))
        << "without a connection point the window does not become current";
    guard->SetSite(nullptr);
}

TEST_F(GuardTest, ConnectAndDisconnectWithoutASiteFailCleanly) {
    ComPtr<ICVigil> guard = NewGuard();
    EXPECT_EQ(guard->Connect(), E_POINTER);
    EXPECT_EQ(guard->Disconnect(), E_POINTER);
}

TEST_F(GuardTest, SetSiteNullReleasesTheSiteButStaysSubscribedUntilOnQuit) {
    Window w;
    ASSERT_EQ(w.Site(), S_OK);
    Prohibit("http://bad.example/");
    LowerFlag();
    EXPECT_EQ(w.guard->SetSite(nullptr), E_INVALIDARG);
    ComPtr<IUnknown> site;
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(w.guard.As<IObjectWithSite>(IID_IObjectWithSite)->GetSite(IID_IUnknown, &p), E_FAIL);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(w.guard.As<IObjectWithSite>(IID_IObjectWithSite)->GetSite(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(w.browser->SinkCount(), 1u);

    // An event arriving now has no browser to act on: ignored, and the flag is left alone.
    TheApp().RaisePassOnce();
    auto nav = w.browser->Navigate(L"http://bad.example/");
    EXPECT_TRUE(nav->completed);
    EXPECT_TRUE(w.browser->navigate2Calls.empty());
    EXPECT_TRUE(w.browser->statusTexts.empty());
    EXPECT_TRUE(FlagRaised());
    LowerFlag();

    w.browser->FireOnQuit();
    EXPECT_EQ(w.browser->SinkCount(), 0u);
    w.quit = true;
}

TEST_F(GuardTest, TheWindowThatConnectedLastIsCurrentEvenWhenAdviseFailed) {
    Window a;
    Window b;
    ASSERT_EQ(a.Site(), S_OK);
    b.browser->adviseResult = CONNECT_E_ADVISELIMIT;
    EXPECT_EQ(b.Site(), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(b.browser->SinkCount(), 0u);
    EXPECT_EQ(TheApp().CurrentBrowser().Get(), static_cast<IWebBrowser2*>(b.browser.Get()));
}

TEST_F(GuardTest, AFailedResubscriptionDoesNotLoseTheLiveOne) {
    Window w;
    ASSERT_EQ(w.Site(), S_OK);
    w.browser->adviseResult = E_FAIL;
    EXPECT_EQ(w.guard->Connect(), E_FAIL);
    // OnQuit must still find the subscription that exists.
    w.browser->FireOnQuit();
    EXPECT_EQ(w.browser->SinkCount(), 0u);
    w.guard->SetSite(nullptr);
    w.quit = true;
}

TEST_F(GuardTest, TheSubscriptionMayHoldTheLastReference) {
    ComPtr<HostBrowser> browser = HostBrowser::Create();
    {
        ComPtr<ICVigil> guard = NewGuard();
        ASSERT_EQ(guard->SetSite(AsUnknown(browser.Get())), S_OK);
        guard->SetSite(nullptr);
    }
    EXPECT_EQ(ModuleLockCount(), m_locks + 1) << "the subscription keeps the guard alive";
    // OnQuit unsubscribes from inside the event: the guard ends only after the event returns.
    EXPECT_EQ(browser->FireOnQuit(), S_OK);
    EXPECT_EQ(browser->SinkCount(), 0u);
    EXPECT_EQ(ModuleLockCount(), m_locks);
    EXPECT_EQ(browser->FireOnQuit(), S_OK);
}

// ---------------------------------------------------------------------------------------------
// Navigations

TEST_F(GuardTest, AnAllowedAddressGetsTheStatusTextAndGoesOn) {
    Window w;
    ASSERT_EQ(w.Site(), S_OK);
    Allow("http://ok.example/");
    LowerFlag();
    auto nav = w.browser->Navigate(L"http://ok.example/");
    EXPECT_TRUE(nav->completed);
    EXPECT_FALSE(nav->cancelled);
    EXPECT_EQ(nav->statusTexts, std::vector<std::wstring>{kChecking});
    EXPECT_TRUE(w.browser->navigate2Calls.empty());
    EXPECT_FALSE(FlagRaised());
    EXPECT_EQ(w.browser->Location(), L"http://ok.example/");
}

TEST_F(GuardTest, AForbiddenAddressIsSupersededByTheForbiddenPage) {
    Window w;
    ASSERT_EQ(w.Site(), S_OK);
    auto flags = WatchFlag(*w.browser.Get());
    Prohibit("http://bad.example/");
    // The first navigation after SetSite passes the schedule check through the flag and is
    // still judged.
    auto nav = w.browser->Navigate(L"http://bad.example/");

    EXPECT_EQ(nav->statusTexts, std::vector<std::wstring>{kChecking});
    ASSERT_EQ(w.browser->navigate2Calls.size(), 1u);
    const host::Navigate2Call& call = w.browser->navigate2Calls[0];
    EXPECT_EQ(call.url, kErrUrlW);
    EXPECT_EQ(call.urlType, VT_BSTR);
    EXPECT_EQ(call.flagsType, VT_EMPTY);
    EXPECT_EQ(call.targetType, VT_EMPTY);
    EXPECT_EQ(call.postDataType, VT_EMPTY);
    EXPECT_EQ(call.headersType, VT_EMPTY);
    EXPECT_EQ(*flags, std::vector<bool>{true}) << "the flag is raised before Navigate2";
    EXPECT_FALSE(nav->cancelled) << "a refused navigation is superseded, never cancelled";
    ASSERT_TRUE(nav->next);
    // The forbidden page passed the schedule check through the flag and was judged in turn.
    EXPECT_EQ(nav->next->statusTexts, std::vector<std::wstring>{kChecking});
    EXPECT_TRUE(nav->next->completed);
    EXPECT_FALSE(FlagRaised());
    EXPECT_EQ(w.browser->Location(), kErrUrlW);
}

TEST_F(GuardTest, OutsideTheAllowedTimeTheWindowGoesToABlankPage) {
    Window w;
    ASSERT_EQ(w.Site(), S_OK);
    auto flags = WatchFlag(*w.browser.Get());
    CloseEveryDay();
    Prohibit("http://bad.example/"); // would redirect elsewhere if it were judged
    LowerFlag();
    const std::size_t boxes = Boxes().Count();
    auto nav = w.browser->Navigate(L"http://bad.example/");

    ASSERT_EQ(Boxes().Count(), boxes + 1);
    EXPECT_EQ(Boxes().Texts().back(), kTimeLimit);
    EXPECT_TRUE(nav->statusTexts.empty()) << "the refused address is not judged";
    ASSERT_EQ(w.browser->navigate2Calls.size(), 1u);
    EXPECT_EQ(w.browser->navigate2Calls[0].url, L"about:blank");
    EXPECT_EQ(*flags, std::vector<bool>{true});
    ASSERT_TRUE(nav->next);
    EXPECT_EQ(nav->next->statusTexts, std::vector<std::wstring>{kChecking})
        << "about:blank passes the schedule through the flag and is judged";
    EXPECT_TRUE(nav->next->completed);
    EXPECT_EQ(Boxes().Count(), boxes + 1) << "the redirection shows no second message";

    // The next navigation meets the schedule again.
    w.browser->Navigate(L"http://other.example/");
    EXPECT_EQ(Boxes().Count(), boxes + 2);
}

TEST_F(GuardTest, ARefusedBlankPageStillGoesToTheForbiddenPage) {
    Window w;
    ASSERT_EQ(w.Site(), S_OK);
    CloseEveryDay();
    Prohibit("about:blank");
    LowerFlag();
    auto nav = w.browser->Navigate(L"http://any.example/");
    ASSERT_EQ(w.browser->navigate2Calls.size(), 2u);
    EXPECT_EQ(w.browser->navigate2Calls[0].url, L"about:blank");
    EXPECT_EQ(w.browser->navigate2Calls[1].url, kErrUrlW);
    EXPECT_EQ(nav->Final().url, kErrUrlW);
    EXPECT_TRUE(nav->Final().completed);
}

TEST_F(GuardTest, ARefusedFrameSendsTheWholeWindowAway) {
    Window w;
    ASSERT_EQ(w.Site(), S_OK);
    ComPtr<HostBrowser> frame = HostBrowser::Create();
    Prohibit("http://bad.example/frame");
    LowerFlag();
    NavigateArgs args(L"http://bad.example/frame", static_cast<IWebBrowser2*>(frame.Get()));
    DISPPARAMS params = args.Params();
    EXPECT_EQ(w.browser->Fire(DISPID_BEFORENAVIGATE2, &params), S_OK);
    EXPECT_TRUE(frame->navigate2Calls.empty());
    ASSERT_EQ(w.browser->navigate2Calls.size(), 1u);
    EXPECT_EQ(w.browser->navigate2Calls[0].url, kErrUrlW);
    EXPECT_EQ(args.cancel, VARIANT_FALSE);
}

TEST_F(GuardTest, MalformedNavigationEventsAreIgnored) {
    Window w;
    ASSERT_EQ(w.Site(), S_OK);
    Prohibit("http://bad.example/");
    ComPtr<IStream> stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);

    auto fire = [&](DISPPARAMS params) {
        LowerFlag();
        EXPECT_EQ(w.browser->Fire(DISPID_BEFORENAVIGATE2, &params), S_OK);
    };
    { // five arguments: the address is not there
        NavigateArgs args(L"http://bad.example/");
        fire(DISPPARAMS{args.args, nullptr, 5, 0});
    }
    { // the address given directly instead of by reference
        NavigateArgs args(L"http://bad.example/");
        Variant direct(std::wstring_view(L"http://bad.example/"));
        args.args[5] = *direct.Get(); // borrowed, as the array borrows the rest
        fire(args.Params());
    }
    { // a reference to nothing
        NavigateArgs args(L"http://bad.example/");
        V_VARIANTREF(&args.args[5]) = nullptr;
        fire(args.Params());
    }
    { // an address that is no string and cannot become one
        NavigateArgs args(L"");
        VARIANT* url = args.url.Put();
        V_VT(url) = VT_UNKNOWN;
        V_UNKNOWN(url) = stream.Get();
        stream->AddRef();
        fire(args.Params());
    }
    { // a count with no arguments behind it
        fire(DISPPARAMS{nullptr, nullptr, 7, 0});
    }
    EXPECT_TRUE(w.browser->statusTexts.empty());
    EXPECT_TRUE(w.browser->navigate2Calls.empty());

    // A well-formed event is still acted on afterwards.
    NavigateArgs good(L"http://bad.example/");
    fire(good.Params());
    EXPECT_EQ(w.browser->navigate2Calls.size(), 1u);
}

TEST_F(GuardTest, TwoWindowsShareOnePassFlag) {
    Window a;
    Window b;
    ASSERT_EQ(a.Site(), S_OK);
    ASSERT_EQ(b.Site(), S_OK);
    CloseEveryDay();
    const std::size_t boxes = Boxes().Count();
    // One flag for the process: window B's first navigation takes it...
    auto first = b.browser->Navigate(L"http://one.example/");
    EXPECT_TRUE(first->completed);
    EXPECT_EQ(Boxes().Count(), boxes);
    // ...and window A's first navigation meets the schedule.
    auto second = a.browser->Navigate(L"http://two.example/");
    EXPECT_EQ(Boxes().Count(), boxes + 1);
    ASSERT_TRUE(second->next);
    EXPECT_EQ(second->next->url, L"about:blank");
}

// ---------------------------------------------------------------------------------------------
// Redirections that must end

TEST_F(GuardTest, AForbiddenPageThatIsItselfRefusedIsShownNotRedirectedAgain) {
    Window w;
    ASSERT_EQ(w.Site(), S_OK);
    Prohibit("http://bad.example/");
    Prohibit(kErrUrl);
    LowerFlag();
    auto nav = w.browser->Navigate(L"http://bad.example/");
    ASSERT_EQ(w.browser->navigate2Calls.size(), 1u);
    ASSERT_TRUE(nav->next);
    EXPECT_FALSE(nav->next->next);
    EXPECT_FALSE(nav->next->loop);
    EXPECT_TRUE(nav->next->completed);
    EXPECT_EQ(w.browser->Location(), kErrUrlW);

    // Navigating to the forbidden page directly: no redirection at all.
    auto direct = w.browser->Navigate(kErrUrlW);
    EXPECT_EQ(w.browser->navigate2Calls.size(), 1u);
    EXPECT_TRUE(direct->completed);
}

TEST_F(GuardTest, WithoutAForbiddenPageTheWindowGoesToABlankPage) {
    for (const std::optional<std::string>& errUrl :
         {std::optional<std::string>(), std::optional<std::string>("")}) {
        SetErrUrl(errUrl);
        Window w;
        ASSERT_EQ(w.Site(), S_OK);
        Prohibit("http://bad.example/");
        LowerFlag();
        auto nav = w.browser->Navigate(L"http://bad.example/");
        ASSERT_EQ(w.browser->navigate2Calls.size(), 1u);
        EXPECT_EQ(w.browser->navigate2Calls[0].url, L"about:blank");
        EXPECT_EQ(nav->Final().url, L"about:blank");

        // With about:blank refused as well, the chain still ends there.
        Prohibit("about:blank");
        auto again = w.browser->Navigate(L"http://bad.example/");
        EXPECT_EQ(w.browser->navigate2Calls.size(), 2u);
        EXPECT_TRUE(again->Final().completed);
        EXPECT_EQ(again->Final().url, L"about:blank");
        TheApp().m_data.RemoveAll(ListKind::Prohibited, "about:blank");
    }
}

} // namespace
} // namespace pv::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    int result = 0;
    {
        // Settings this program changes are put back at its end.
        pv::test::SettingsSnapshot snapshot;
        // No checking service: every address on neither list is allowed. No first-run dialog.
        pv::test::SettingsSnapshot::SetString("checkURL", std::string());
        pv::test::SettingsSnapshot::SetDword("first", 1);
        pv::Win32Platform platform(nullptr);
        pv::CVigilApp app(platform);
        if (!app.Startup()) return 2;
        pv::SetTheApp(&app);
        pv::test::Watcher();
        result = RUN_ALL_TESTS();
        pv::SetTheApp(nullptr);
    }
    CoUninitialize();
    return result;
}
