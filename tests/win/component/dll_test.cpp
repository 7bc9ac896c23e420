// The built module as the platform and the browser reach it: loaded by path, objects from its
// class factory and, after registration, from the ProgID.
#include <gtest/gtest.h>

#include <windows.h>
#include <ocidl.h>

#include <cstdlib>
#include <string>

#include "pathvigil_h.h"
#include "platform/com_ptr.h"
#include "platform/handles_win.h"

namespace {

using pv::ComPtr;
using pv::TypeAttr;

using CanUnloadFn = HRESULT(WINAPI*)();
using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using RegisterFn = HRESULT(WINAPI*)();

std::wstring g_modulePath;

// "/unix/path" as Wine's Z: drive sees it; Windows paths stay as they are.
std::wstring WindowsPath(const std::string& path) {
    std::wstring out;
    if (!path.empty() && path[0] == '/') out = L"Z:";
    for (char c : path) out.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
    return out;
}

bool ClassRegistered() {
    pv::RegKey key;
    const std::string path =
        std::string("CLSID\\") + "{A2F457C5-04AC-4B20-BE8C-BD97F3823376}\\InprocServer32";
    return RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

class ComponentDll : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_module = LoadLibraryW(g_modulePath.c_str());
        ASSERT_NE(s_module, nullptr) << "cannot load the module";
        s_canUnload = reinterpret_cast<CanUnloadFn>(
            reinterpret_cast<void*>(GetProcAddress(s_module, "DllCanUnloadNow")));
        s_getClassObject = reinterpret_cast<GetClassObjectFn>(
            reinterpret_cast<void*>(GetProcAddress(s_module, "DllGetClassObject")));
        s_register = reinterpret_cast<RegisterFn>(
            reinterpret_cast<void*>(GetProcAddress(s_module, "DllRegisterServer")));
        s_unregister = reinterpret_cast<RegisterFn>(
            reinterpret_cast<void*>(GetProcAddress(s_module, "DllUnregisterServer")));
    }
    static void TearDownTestSuite() {
        // Left loaded: COM may still hold it; the process ends soon.
    }
    void SetUp() override { ASSERT_TRUE(s_canUnload && s_getClassObject && s_register && s_unregister); }

    ComPtr<IClassFactory> Factory() {
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(s_getClassObject(CLSID_CVigil, IID_IClassFactory, factory.PutVoid()), S_OK);
        return factory;
    }

    static inline HMODULE s_module = nullptr;
    static inline CanUnloadFn s_canUnload = nullptr;
    static inline GetClassObjectFn s_getClassObject = nullptr;
    static inline RegisterFn s_register = nullptr;
    static inline RegisterFn s_unregister = nullptr;
};

// A stand-in outer object for creating the guard inside an aggregate.
class Outer final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown)) return E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    ULONG refs = 1;
};

TEST_F(ComponentDll, CanUnloadNowOnlyWithoutLiveObjects) {
    ComPtr<IClassFactory> factory = Factory();
    ASSERT_TRUE(factory);
    EXPECT_EQ(s_canUnload(), S_OK) << "the class object alone does not keep the module";

    ComPtr<ICVigil> first;
    ComPtr<IObjectWithSite> second;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_ICVigil, first.PutVoid()), S_OK);
    EXPECT_EQ(s_canUnload(), S_FALSE);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IObjectWithSite, second.PutVoid()), S_OK);
    first.Reset();
    EXPECT_EQ(s_canUnload(), S_FALSE) << "one object is still alive";
    second.Reset();
    EXPECT_EQ(s_canUnload(), S_OK);

    // An aggregated object counts the same.
    Outer outer;
    ComPtr<IUnknown> inner;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, inner.PutVoid()), S_OK);
    EXPECT_EQ(s_canUnload(), S_FALSE);
    inner.Reset();
    EXPECT_EQ(s_canUnload(), S_OK);
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(&outer, IID_ICVigil, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(s_canUnload(), S_OK) << "a refused creation leaves nothing alive";

    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(s_canUnload(), S_FALSE);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(s_canUnload(), S_OK);
}

TEST_F(ComponentDll, ObjectsFromTheProgIdDescribeThemselvesFromTheTypeLibrary) {
    const bool wasRegistered = ClassRegistered();
    if (!wasRegistered) {
        ASSERT_EQ(s_register(), S_OK);
    }

    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(L"Pathvigil.CVigil", &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_CVigil));
    ASSERT_EQ(CLSIDFromProgID(L"Pathvigil.CVigil.1", &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_CVigil));
    {
        ComPtr<IDispatch> dispatch;
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, dispatch.PutVoid()),
                  S_OK);
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.Put()), S_OK);
        ASSERT_TRUE(info);
        {
            TypeAttr attr(info.Get());
            ASSERT_EQ(info->GetTypeAttr(attr.Put()), S_OK);
            EXPECT_TRUE(IsEqualIID(attr->guid, IID_ICVigil));
        }

        struct {
            const wchar_t* name;
            DISPID id;
        } expected[] = {{L"SetSite", 2}, {L"Exec", 3}, {L"Connect", 4}, {L"Disconnect", 5}};
        for (const auto& e : expected) {
            LPOLESTR name = const_cast<LPOLESTR>(e.name);
            DISPID id = -1;
            EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), S_OK)
                << "name " << e.id;
            EXPECT_EQ(id, e.id);
        }
        LPOLESTR unknown = const_cast<LPOLESTR>(L"Navigate");
        DISPID id = 0;
        EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &unknown, 1, LOCALE_USER_DEFAULT, &id),
                  DISP_E_UNKNOWNNAME);
    }
    if (!wasRegistered) {
        EXPECT_EQ(s_unregister(), S_OK);
    }
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc > 1) {
        g_modulePath = WindowsPath(argv[1]);
    } else if (const char* dir = std::getenv("PV_BUILD_DIR")) {
        g_modulePath = WindowsPath(std::string(dir) + "/Pathvigil.dll");
    } else {
        g_modulePath = L"Pathvigil.dll";
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    const int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
