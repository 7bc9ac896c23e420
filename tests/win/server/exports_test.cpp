// The module's entry points called directly, as the platform calls them: the class object and its
// failure answers, the factory's aggregation rules, and the lock count behind DllCanUnloadNow.
#include <gtest/gtest.h>

#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <thread>
#include <vector>

#include "pathvigil_h.h"
#include "platform/com_ptr.h"
#include "tests/support/server_support_win.h"

namespace {

using pv::ComPtr;
using pv::servertest::LoadedModule;

using CanUnloadFn = HRESULT(WINAPI*)();
using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

void* const kJunk = reinterpret_cast<void*>(static_cast<uintptr_t>(0x5A5A5A5A));

// A minimal outer object for aggregation: it only owns the inner object's IUnknown.
class Outer final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        if (inner) return inner->QueryInterface(riid, ppv);
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    ULONG refs = 1;
    ComPtr<IUnknown> inner;
};

class ServerExports : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(m_module.Get(), nullptr) << "cannot load the module";
        m_canUnload = m_module.Proc<CanUnloadFn>("DllCanUnloadNow");
        m_getClassObject = m_module.Proc<GetClassObjectFn>("DllGetClassObject");
        ASSERT_TRUE(m_canUnload && m_getClassObject);
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    }
    void TearDown() override { CoUninitialize(); }

    ComPtr<IClassFactory> Factory() {
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(m_getClassObject(CLSID_CVigil, IID_IClassFactory, factory.PutVoid()), S_OK);
        return factory;
    }

    LoadedModule m_module;
    CanUnloadFn m_canUnload = nullptr;
    GetClassObjectFn m_getClassObject = nullptr;
};

TEST_F(ServerExports, ExportedByOrdinalInOrder) {
    const char* names[] = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                           "DllUnregisterServer"};
    for (int ordinal = 1; ordinal <= 4; ++ordinal) {
        FARPROC byOrdinal = GetProcAddress(m_module.Get(), MAKEINTRESOURCEA(ordinal));
        EXPECT_NE(byOrdinal, nullptr) << ordinal;
        EXPECT_EQ(byOrdinal, GetProcAddress(m_module.Get(), names[ordinal - 1])) << names[ordinal - 1];
    }
}

TEST_F(ServerExports, GetClassObjectFailures) {
    EXPECT_EQ(m_getClassObject(CLSID_CVigil, IID_IClassFactory, nullptr), E_POINTER);

    void* out = kJunk;
    EXPECT_EQ(m_getClassObject(IID_IDispatch, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    // The library's identifier is not a class either.
    out = kJunk;
    EXPECT_EQ(m_getClassObject(LIBID_PathvigilLib, IID_IUnknown, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);

    out = kJunk;
    EXPECT_EQ(m_getClassObject(CLSID_CVigil, IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
}

TEST_F(ServerExports, OneClassObjectAnsweringIUnknownAndIClassFactory) {
    ComPtr<IUnknown> a;
    ComPtr<IClassFactory> b;
    ASSERT_EQ(m_getClassObject(CLSID_CVigil, IID_IUnknown, a.PutVoid()), S_OK);
    ASSERT_EQ(m_getClassObject(CLSID_CVigil, IID_IClassFactory, b.PutVoid()), S_OK);
    ComPtr<IUnknown> bAsUnknown = b.As<IUnknown>(IID_IUnknown);
    EXPECT_EQ(a.Get(), bAsUnknown.Get());
    // Holding the class object alone does not keep the module.
    EXPECT_EQ(m_canUnload(), S_OK);
    void* out = kJunk;
    EXPECT_EQ(b->QueryInterface(IID_IClassFactory2, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
}

TEST_F(ServerExports, CreateInstanceArgumentsAndAggregationRules) {
    ComPtr<IClassFactory> factory = Factory();
    ASSERT_TRUE(factory);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);

    Outer outer;
    void* out = kJunk;
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IDispatch, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(m_canUnload(), S_OK);

    out = kJunk;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(m_canUnload(), S_OK) << "a failed creation must not keep a lock";
}

TEST_F(ServerExports, ObjectsAreCreatedPlainAndAggregated) {
    ComPtr<IClassFactory> factory = Factory();
    ASSERT_TRUE(factory);
    {
        ComPtr<IDispatch> object;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, object.PutVoid()), S_OK);
        EXPECT_EQ(m_canUnload(), S_FALSE);
        ComPtr<IObjectWithSite> site = object.As<IObjectWithSite>(IID_IObjectWithSite);
        EXPECT_TRUE(site);
        ComPtr<IUnknown> icv;
        EXPECT_EQ(object->QueryInterface(IID_ICVigil, icv.PutVoid()), S_OK);
    }
    EXPECT_EQ(m_canUnload(), S_OK);

    Outer outer;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, outer.inner.PutVoid()), S_OK);
    EXPECT_EQ(m_canUnload(), S_FALSE);
    // Through the outer object; the inner interfaces delegate their IUnknown outwards.
    ComPtr<IObjectWithSite> site;
    ASSERT_EQ(outer.QueryInterface(IID_IObjectWithSite, site.PutVoid()), S_OK);
    ComPtr<IUnknown> identity;
    ASSERT_EQ(site->QueryInterface(IID_IUnknown, identity.PutVoid()), S_OK);
    EXPECT_EQ(identity.Get(), static_cast<IUnknown*>(&outer));
    identity.Reset();
    site.Reset();
    outer.inner.Reset();
    EXPECT_EQ(m_canUnload(), S_OK);
}

TEST_F(ServerExports, LockServerCountsAndCannotGoBelowZero) {
    ComPtr<IClassFactory> factory = Factory();
    ASSERT_TRUE(factory);
    EXPECT_EQ(m_canUnload(), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(m_canUnload(), S_FALSE);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(m_canUnload(), S_FALSE);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(m_canUnload(), S_OK);

    // An unbalanced unlock is refused: otherwise the next object would leave the count at zero
    // while it lives.
    EXPECT_EQ(factory->LockServer(FALSE), E_UNEXPECTED);
    EXPECT_EQ(m_canUnload(), S_OK);
    ComPtr<IUnknown> object;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, object.PutVoid()), S_OK);
    EXPECT_EQ(m_canUnload(), S_FALSE);
    object.Reset();
    EXPECT_EQ(m_canUnload(), S_OK);
}

// Run in a process of its own, so the first request really is the first.
TEST(ServerClassObjectThreads, SimultaneousFirstRequestsMakeOneClassObject) {
    LoadedModule module;
    ASSERT_NE(module.Get(), nullptr);
    auto getClassObject = module.Proc<GetClassObjectFn>("DllGetClassObject");
    ASSERT_NE(getClassObject, nullptr);

    constexpr int kThreads = 8;
    std::vector<ComPtr<IUnknown>> got(kThreads);
    std::vector<HRESULT> results(kThreads, E_FAIL);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            results[i] = getClassObject(CLSID_CVigil, IID_IClassFactory, got[i].PutVoid());
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(results[i], S_OK);
        EXPECT_EQ(got[i].Get(), got[0].Get());
    }
}

} // namespace
