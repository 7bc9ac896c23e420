// Registration end to end: the platform's regsvr32 registers and unregisters the built module in
// the prefix's real registry; the results are read back with the registry functions and used the
// way the platform uses them (ProgID lookup, object creation, the registered type library).
#include <gtest/gtest.h>

#include <oaidl.h>
#include <objbase.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pathvigil_h.h"
#include "platform/com_ptr.h"
#include "platform/handles_win.h"
#include "server/guids.h"
#include "server/typelib_win.h"
#include "tests/support/server_support_win.h"

namespace {

using pv::ComPtr;
using pv::TypeAttr;
using namespace pv::servertest;

const std::wstring kClsid = Widen(pv::kClsidString);
const std::wstring kClsidKey = L"CLSID\\" + kClsid;
const std::wstring kExtensions = L"SOFTWARE\\Microsoft\\Internet Explorer\\Extensions";
const std::wstring kExtensionKey = kExtensions + L"\\" + Widen(pv::kExtensionString);
const std::wstring kBhoParent =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
const std::wstring kBhoKey = kBhoParent + L"\\" + kClsid;
const std::wstring kTypeLibKey = L"TypeLib\\" + Widen(pv::kLibidString);
const std::wstring kInterfaceKey = L"Interface\\" + Widen(pv::kIidICVigilString);

std::wstring Lower(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(towlower(c));
    return s;
}

class ServerRegistration : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        Clean();
    }
    void TearDown() override {
        Clean();
        CoUninitialize();
    }
    // Nothing of the component left, whatever an earlier run did.
    static void Clean() {
        Regsvr32(true);
        for (const std::wstring& k : {std::wstring(L"Pathvigil.CVigil"), std::wstring(L"Pathvigil.CVigil.1"),
                                      kClsidKey, kTypeLibKey, kInterfaceKey}) {
            DeleteTree(HKEY_CLASSES_ROOT, k);
        }
        DeleteTree(HKEY_LOCAL_MACHINE, kExtensionKey);
        DeleteTree(HKEY_LOCAL_MACHINE, kBhoKey);
    }
    static std::optional<std::wstring> Cr(const std::wstring& key, const std::wstring& value = L"") {
        return ReadString(HKEY_CLASSES_ROOT, key, value);
    }
    static std::optional<std::wstring> Lm(const std::wstring& key, const std::wstring& value = L"") {
        return ReadString(HKEY_LOCAL_MACHINE, key, value);
    }
};

TEST_F(ServerRegistration, WritesEveryEntryOfTheTable) {
    ASSERT_EQ(Regsvr32(false), 0);
    const std::wstring module = DllPath();

    EXPECT_EQ(Cr(L"Pathvigil.CVigil.1"), L"CVigil Class");
    EXPECT_EQ(Cr(L"Pathvigil.CVigil.1\\CLSID"), kClsid);
    EXPECT_EQ(Cr(L"Pathvigil.CVigil"), L"CVigil Class");
    EXPECT_EQ(Cr(L"Pathvigil.CVigil", L"errURL"), L"http://filter.pathvigil.net/forbidden.htm");
    EXPECT_EQ(Cr(L"Pathvigil.CVigil", L"checkURL"), L"http://filter.pathvigil.net/cgi-bin/checker");
    EXPECT_EQ(Cr(L"Pathvigil.CVigil\\CLSID"), kClsid);
    EXPECT_EQ(Cr(L"Pathvigil.CVigil\\CurVer"), L"Pathvigil.CVigil.1");

    EXPECT_EQ(Cr(kClsidKey), L"CVigil Class");
    EXPECT_EQ(Cr(kClsidKey, L"AppID"), Widen(pv::kAppidString));
    EXPECT_EQ(Cr(kClsidKey + L"\\ProgID"), L"Pathvigil.CVigil.1");
    EXPECT_EQ(Cr(kClsidKey + L"\\VersionIndependentProgID"), L"Pathvigil.CVigil");
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClsidKey + L"\\Programmable"));
    std::optional<std::wstring> server = Cr(kClsidKey + L"\\InprocServer32");
    ASSERT_TRUE(server.has_value());
    EXPECT_EQ(Lower(*server), Lower(module));
    EXPECT_EQ(Cr(kClsidKey + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_EQ(Cr(kClsidKey + L"\\TypeLib"), Widen(pv::kLibidString));

    EXPECT_EQ(Lm(kExtensionKey), L"Pathvigil");
    EXPECT_EQ(Lm(kExtensionKey, L"CLSID"), L"{1FBA04EE-3024-11d2-8F1F-0000F87ABD16}");
    EXPECT_EQ(Lm(kExtensionKey, L"MenuText"), L"Pathvigil");
    EXPECT_EQ(Lm(kExtensionKey, L"MenuStatusBar"), L"Pathvigil setup dialog");
    EXPECT_EQ(Lm(kExtensionKey, L"ClsidExtension"), kClsid);
    EXPECT_EQ(Lm(kExtensionKey, L"Default Visible"), L"YES");
    EXPECT_EQ(Lm(kExtensionKey, L"ButtonText"), L"Pathvigil");
    EXPECT_EQ(Lower(Lm(kExtensionKey, L"HotIcon").value_or(L"")), Lower(module + L",3002"));
    EXPECT_EQ(Lower(Lm(kExtensionKey, L"Icon").value_or(L"")), Lower(module + L",3003"));
    EXPECT_EQ(Lm(kBhoKey), L"Pathvigil");

    // The type library's own entries.
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kTypeLibKey + L"\\1.0"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kInterfaceKey));
}

TEST_F(ServerRegistration, RegisteringAgainKeepsOneSetAndRestoresOnlyTheAddresses) {
    ASSERT_EQ(Regsvr32(false), 0);
    // What the component writes at run time, and a relocated checking address.
    WriteString(HKEY_CLASSES_ROOT, L"Pathvigil.CVigil", L"name", L"family");
    WriteString(HKEY_CLASSES_ROOT, L"Pathvigil.CVigil", L"checkURL", L"http://relocated.example/check");
    WriteString(HKEY_CLASSES_ROOT, L"Pathvigil.CVigil", L"errURL", L"http://elsewhere.example/");
    // Stale content below a ForceRemove key goes; the class key is written afresh.
    WriteString(HKEY_CLASSES_ROOT, kClsidKey + L"\\Stale", L"", L"x");

    ASSERT_EQ(Regsvr32(false), 0);
    EXPECT_EQ(Cr(L"Pathvigil.CVigil", L"name"), L"family");
    EXPECT_EQ(Cr(L"Pathvigil.CVigil", L"checkURL"), L"http://filter.pathvigil.net/cgi-bin/checker");
    EXPECT_EQ(Cr(L"Pathvigil.CVigil", L"errURL"), L"http://filter.pathvigil.net/forbidden.htm");
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClsidKey + L"\\Stale"));
    EXPECT_EQ(Cr(kClsidKey + L"\\ProgID"), L"Pathvigil.CVigil.1");

    // One set: the extension key holds its own default and the eight named values, nothing more.
    pv::RegKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kExtensionKey.c_str(), 0, KEY_READ, key.Put()),
              ERROR_SUCCESS);
    DWORD subkeys = 99, values = 99;
    RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    key.Reset();
    EXPECT_EQ(subkeys, 0u);
    EXPECT_EQ(values, 9u);
}

TEST_F(ServerRegistration, TheRegisteredClassIsUsable) {
    // Before registration the ICVigil description is not to be had from a program that embeds
    // no library, and the failure is not remembered.
    ComPtr<ITypeInfo> info;
    EXPECT_NE(pv::GetICVigilTypeInfo(info.Put()), S_OK);
    EXPECT_FALSE(info);
    EXPECT_EQ(pv::GetICVigilTypeInfo(nullptr), E_POINTER);

    ASSERT_EQ(Regsvr32(false), 0);

    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(L"Pathvigil.CVigil", &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_CVigil));
    ASSERT_EQ(CLSIDFromProgID(L"Pathvigil.CVigil.1", &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_CVigil));
    pv::CoTaskMem<OLECHAR> progId;
    ASSERT_EQ(ProgIDFromCLSID(CLSID_CVigil, progId.Put()), S_OK);
    EXPECT_STREQ(progId.Get(), L"Pathvigil.CVigil.1");
    progId.Reset();

    ComPtr<IDispatch> object;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.PutVoid()), S_OK);
    ComPtr<IUnknown> icv;
    EXPECT_EQ(object->QueryInterface(IID_ICVigil, icv.PutVoid()), S_OK);
    UINT count = 0;
    EXPECT_EQ(object->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    object.Reset();
    icv.Reset();

    ComPtr<ITypeLib> lib;
    ASSERT_EQ(LoadRegTypeLib(LIBID_PathvigilLib, 1, 0, 0, lib.Put()), S_OK);

    // The cached description: the same one for every caller, from several threads at once.
    ASSERT_EQ(pv::GetICVigilTypeInfo(info.Put()), S_OK);
    {
        TypeAttr attr(info.Get());
        ASSERT_EQ(info->GetTypeAttr(attr.Put()), S_OK);
        EXPECT_TRUE(IsEqualGUID(attr->guid, IID_ICVigil));
        EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    }

    constexpr int kThreads = 6;
    std::vector<ComPtr<ITypeInfo>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&seen, i] { pv::GetICVigilTypeInfo(seen[i].Put()); });
    }
    for (auto& t : threads) t.join();
    for (auto& p : seen) {
        EXPECT_EQ(p.Get(), info.Get());
        p.Reset();
    }
}

TEST_F(ServerRegistration, UnregisteringRemovesTheComponentAndKeepsSharedKeys) {
    // Neighbours that must survive.
    const std::wstring otherClass = L"CLSID\\{00000000-1111-2222-3333-444444444444}";
    const std::wstring otherBho = kBhoParent + L"\\{00000000-1111-2222-3333-555555555555}";
    WriteString(HKEY_CLASSES_ROOT, otherClass, L"", L"neighbour");
    WriteString(HKEY_LOCAL_MACHINE, otherBho, L"", L"neighbour");

    ASSERT_EQ(Regsvr32(false), 0);
    WriteString(HKEY_CLASSES_ROOT, L"Pathvigil.CVigil", L"name", L"family");
    WriteString(HKEY_CLASSES_ROOT, L"Pathvigil.CVigil", L"ps", L"secret");

    ASSERT_EQ(Regsvr32(true), 0);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Pathvigil.CVigil"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Pathvigil.CVigil.1"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClsidKey));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kExtensionKey));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kBhoKey));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kTypeLibKey));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kInterfaceKey));
    ComPtr<ITypeLib> lib;
    EXPECT_NE(LoadRegTypeLib(LIBID_PathvigilLib, 1, 0, 0, lib.Put()), S_OK);

    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kExtensions));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kBhoParent));
    EXPECT_EQ(Cr(otherClass), L"neighbour");
    EXPECT_EQ(Lm(otherBho), L"neighbour");
    DeleteTree(HKEY_CLASSES_ROOT, otherClass);
    DeleteTree(HKEY_LOCAL_MACHINE, otherBho);
}

TEST_F(ServerRegistration, EntryPointsAnswerSuccess) {
    LoadedModule module;
    ASSERT_NE(module.Get(), nullptr);
    using Fn = HRESULT(WINAPI*)();
    auto reg = module.Proc<Fn>("DllRegisterServer");
    auto unreg = module.Proc<Fn>("DllUnregisterServer");
    ASSERT_TRUE(reg && unreg);
    EXPECT_EQ(reg(), S_OK);
    EXPECT_EQ(reg(), S_OK);
    EXPECT_EQ(unreg(), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClsidKey));
    // Again: the script finds nothing to remove, but the type library is no longer registered
    // and its removal says so; nothing comes back.
    EXPECT_TRUE(FAILED(unreg()));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClsidKey));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Pathvigil.CVigil"));
}

} // namespace
