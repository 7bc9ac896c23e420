// The type library embedded in the module, read back through the platform's own type-library
// reader: library, coclass and interface attributes, every method's slot, DISPID, help string,
// parameter names and types. Also the identifiers against their registry strings.
#include <gtest/gtest.h>

#include <oaidl.h>
#include <objbase.h>

#include <set>
#include <string>
#include <vector>

#include "pathvigil_h.h"
#include "platform/com_ptr.h"
#include "platform/handles_win.h"
#include "server/guids.h"
#include "tests/support/server_support_win.h"

namespace {

using pv::Bstr;
using pv::ComPtr;
using pv::FuncDesc;
using pv::LibAttr;
using pv::TypeAttr;
using pv::servertest::DllPath;
using pv::servertest::Widen;

std::string Narrow(std::wstring_view w) {
    std::string s;
    for (wchar_t c : w) s.push_back(c < 128 ? static_cast<char>(c) : '?');
    return s;
}

std::string Narrow(const Bstr& b) { return b.Get() ? Narrow(b.View()) : "<null>"; }

std::string Name(ITypeInfo* info, MEMBERID id = MEMBERID_NIL) {
    Bstr name;
    if (FAILED(info->GetDocumentation(id, name.Put(), nullptr, nullptr, nullptr))) return "<none>";
    return Narrow(name);
}

std::string HelpString(ITypeInfo* info, MEMBERID id = MEMBERID_NIL) {
    Bstr doc;
    if (FAILED(info->GetDocumentation(id, nullptr, doc.Put(), nullptr, nullptr))) return "<none>";
    return Narrow(doc);
}

// A type as text: base types by their C names, pointers with '*', user-defined types as
// name@library so that their origin (the standard OLE library) is checked too.
std::string TypeText(ITypeInfo* owner, const TYPEDESC& t) {
    switch (t.vt) {
    case VT_PTR:
        return TypeText(owner, *t.lptdesc) + "*";
    case VT_USERDEFINED: {
        ComPtr<ITypeInfo> ref;
        if (FAILED(owner->GetRefTypeInfo(t.hreftype, ref.Put()))) return "<bad ref>";
        ComPtr<ITypeLib> lib;
        UINT index = 0;
        std::string libName = "?";
        if (SUCCEEDED(ref->GetContainingTypeLib(lib.Put(), &index))) {
            Bstr n;
            if (SUCCEEDED(lib->GetDocumentation(-1, n.Put(), nullptr, nullptr, nullptr))) libName = Narrow(n);
        }
        return Name(ref.Get()) + "@" + libName;
    }
    case VT_I4:
        return "long";
    case VT_UI4:
        return "ulong";
    case VT_UI2:
        return "ushort";
    case VT_UINT:
        return "uint";
    case VT_INT:
        return "int";
    case VT_VARIANT:
        return "VARIANT";
    case VT_UNKNOWN:
        return "IUnknown*";
    case VT_DISPATCH:
        return "IDispatch*";
    case VT_HRESULT:
        return "HRESULT";
    case VT_VOID:
        return "void";
    default:
        return "vt" + std::to_string(t.vt);
    }
}

// One method as "slot N id D Name 'help' RET(type name, ...)" plus anything unusual.
std::string Describe(ITypeInfo* info, UINT index) {
    FuncDesc fd(info);
    if (FAILED(info->GetFuncDesc(index, fd.Put()))) return "<no funcdesc>";
    std::vector<Bstr> names(fd->cParams + 1u);
    std::vector<BSTR> given(names.size(), nullptr);
    UINT got = 0;
    info->GetNames(fd->memid, given.data(), static_cast<UINT>(given.size()), &got);
    for (std::size_t i = 0; i < given.size(); ++i) *names[i].Put() = given[i];
    std::string text = "slot " + std::to_string(fd->oVft / static_cast<int>(sizeof(void*))) + " id " +
                       std::to_string(fd->memid) + " " + Name(info, fd->memid) + " '" +
                       HelpString(info, fd->memid) + "' " + TypeText(info, fd->elemdescFunc.tdesc) + "(";
    for (SHORT i = 0; i < fd->cParams; ++i) {
        if (i) text += ", ";
        text += TypeText(info, fd->lprgelemdescParam[i].tdesc) + " ";
        text += (static_cast<UINT>(i) + 1 < got && names[i + 1].Get()) ? Narrow(names[i + 1]) : "<unnamed>";
        if (USHORT f = fd->lprgelemdescParam[i].paramdesc.wParamFlags)
            text += " [flags " + std::to_string(f) + "]";
    }
    text += ")";
    if (fd->callconv != CC_STDCALL) text += " callconv " + std::to_string(fd->callconv);
    if (fd->invkind != INVOKE_FUNC) text += " invkind " + std::to_string(fd->invkind);
    if (fd->cParamsOpt) text += " optional " + std::to_string(fd->cParamsOpt);
    return text;
}

class ServerTypeLib : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(LoadTypeLibEx(DllPath().c_str(), REGKIND_NONE, m_lib.Put()), S_OK);
        ASSERT_EQ(m_lib->GetTypeInfoOfGuid(IID_ICVigil, m_dispatch.Put()), S_OK);
        HREFTYPE vtableRef = 0;
        ASSERT_EQ(m_dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtableRef), S_OK);
        ASSERT_EQ(m_dispatch->GetRefTypeInfo(vtableRef, m_vtable.Put()), S_OK);
    }

    static TYPEATTR Attr(ITypeInfo* info) {
        TypeAttr a(info);
        EXPECT_EQ(info->GetTypeAttr(a.Put()), S_OK);
        return a ? *a.Get() : TYPEATTR{};
    }

    ComPtr<ITypeLib> m_lib;
    ComPtr<ITypeInfo> m_dispatch; // ICVigil as IDispatch sees it
    ComPtr<ITypeInfo> m_vtable;   // ICVigil as its table of operations
};

TEST_F(ServerTypeLib, Library) {
    LibAttr attr(m_lib.Get());
    ASSERT_EQ(m_lib->GetLibAttr(attr.Put()), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, LIBID_PathvigilLib));
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    EXPECT_EQ(attr->lcid, 0u);
    EXPECT_EQ(attr->syskind, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
    attr.Reset();

    Bstr name, doc;
    ASSERT_EQ(m_lib->GetDocumentation(-1, name.Put(), doc.Put(), nullptr, nullptr), S_OK);
    EXPECT_EQ(std::wstring(name.View()), L"PathvigilLib");
    EXPECT_EQ(std::wstring(doc.View()), L"Pathvigil 1.0 Type Library");
    // The interface and the coclass, nothing else.
    EXPECT_EQ(m_lib->GetTypeInfoCount(), 2u);
}

TEST_F(ServerTypeLib, CoclassIsCreatableWithICVigilAsItsDefault) {
    ComPtr<ITypeInfo> cls;
    ASSERT_EQ(m_lib->GetTypeInfoOfGuid(CLSID_CVigil, cls.Put()), S_OK);
    TYPEATTR a = Attr(cls.Get());
    EXPECT_EQ(a.typekind, TKIND_COCLASS);
    EXPECT_EQ(a.wTypeFlags, TYPEFLAG_FCANCREATE);
    EXPECT_EQ(a.cImplTypes, 1);
    EXPECT_EQ(Name(cls.Get()), "CVigil");
    EXPECT_EQ(HelpString(cls.Get()), "CVigil Class");

    INT flags = 0;
    ASSERT_EQ(cls->GetImplTypeFlags(0, &flags), S_OK);
    EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
    HREFTYPE ref = 0;
    ASSERT_EQ(cls->GetRefTypeOfImplType(0, &ref), S_OK);
    ComPtr<ITypeInfo> itf;
    ASSERT_EQ(cls->GetRefTypeInfo(ref, itf.Put()), S_OK);
    EXPECT_TRUE(IsEqualGUID(Attr(itf.Get()).guid, IID_ICVigil));
}

TEST_F(ServerTypeLib, InterfaceIsDualNonextensibleAutomation) {
    const WORD dual = TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
    for (ITypeInfo* info : {m_dispatch.Get(), m_vtable.Get()}) {
        TYPEATTR a = Attr(info);
        EXPECT_TRUE(IsEqualGUID(a.guid, IID_ICVigil));
        EXPECT_EQ(Name(info), "ICVigil");
        EXPECT_EQ(HelpString(info), "ICVigil Interface");
    }
    // The automation flag sits on the interface itself; its IDispatch view never carries it.
    EXPECT_EQ(Attr(m_vtable.Get()).wTypeFlags, dual | TYPEFLAG_FOLEAUTOMATION);
    EXPECT_EQ(Attr(m_dispatch.Get()).wTypeFlags, dual);
    EXPECT_EQ(Attr(m_dispatch.Get()).typekind, TKIND_DISPATCH);
    TYPEATTR v = Attr(m_vtable.Get());
    EXPECT_EQ(v.typekind, TKIND_INTERFACE);
    EXPECT_EQ(v.cFuncs, 5);
    EXPECT_EQ(v.cImplTypes, 1);
    // IUnknown's 3 and IDispatch's 4 operations, then the 5 of ICVigil.
    EXPECT_EQ(v.cbSizeVft, 12 * sizeof(void*));

    HREFTYPE base = 0;
    ASSERT_EQ(m_vtable->GetRefTypeOfImplType(0, &base), S_OK);
    ComPtr<ITypeInfo> parent;
    ASSERT_EQ(m_vtable->GetRefTypeInfo(base, parent.Put()), S_OK);
    EXPECT_TRUE(IsEqualGUID(Attr(parent.Get()).guid, IID_IDispatch));
}

TEST_F(ServerTypeLib, MethodsInOrderWithIdsHelpNamesAndTypes) {
    const std::vector<std::string> want = {
        "slot 7 id 2 SetSite 'method SetSite' HRESULT(IUnknown* pUnkSite)",
        "slot 8 id 3 Exec 'method Exec' HRESULT(GUID@stdole* pguidCmdGroup, ulong nCmdID, "
        "ulong nCmdexecopt, VARIANT* pvaIn, VARIANT* pvaOut)",
        "slot 9 id 4 Connect 'method Connect' HRESULT()",
        "slot 10 id 5 Disconnect 'method Disconnect' HRESULT()",
        "slot 11 id 6 Invoke 'method Invoke' HRESULT(long dispidMember, GUID@stdole* riid, "
        "ulong lcid, ushort wFlags, DISPPARAMS@stdole* pDispParams, VARIANT* pvarResult, "
        "EXCEPINFO@stdole* pExcepInfo, uint* puArgErr)",
    };
    for (UINT i = 0; i < want.size(); ++i) EXPECT_EQ(Describe(m_vtable.Get(), i), want[i]) << "method " << i;

    FuncDesc fd(m_vtable.Get());
    ASSERT_EQ(m_vtable->GetFuncDesc(0, fd.Put()), S_OK);
    EXPECT_EQ(fd->funckind, FUNC_PUREVIRTUAL);
}

TEST_F(ServerTypeLib, NamesResolveToDispIds) {
    const std::pair<const wchar_t*, DISPID> names[] = {
        {L"SetSite", 2}, {L"Exec", 3}, {L"Connect", 4}, {L"Disconnect", 5}, {L"Invoke", 6}};
    for (const auto& [name, id] : names) {
        std::wstring copy = name;
        LPOLESTR n = copy.data();
        MEMBERID got = 0;
        EXPECT_EQ(m_dispatch->GetIDsOfNames(&n, 1, &got), S_OK) << Narrow(name);
        EXPECT_EQ(got, id) << Narrow(name);
    }
    std::wstring bogus = L"Navigate";
    LPOLESTR n = bogus.data();
    MEMBERID got = 0;
    EXPECT_NE(m_dispatch->GetIDsOfNames(&n, 1, &got), S_OK);
}

TEST(ServerTypeLibGuids, IdlIdentifiersMatchTheRegistryStrings) {
    auto text = [](REFGUID g) {
        wchar_t buf[40] = {};
        StringFromGUID2(g, buf, 40);
        return std::wstring(buf);
    };
    EXPECT_EQ(text(CLSID_CVigil), Widen(pv::kClsidString));
    EXPECT_EQ(text(LIBID_PathvigilLib), Widen(pv::kLibidString));
    EXPECT_EQ(text(IID_ICVigil), Widen(pv::kIidICVigilString));

    // The five are valid and distinct, and none is the browser's own.
    std::set<std::wstring> seen;
    for (const char* s : {pv::kClsidString, pv::kLibidString, pv::kIidICVigilString, pv::kAppidString,
                          pv::kExtensionString, pv::kToolbarExecClsidString}) {
        GUID g;
        std::wstring w = Widen(s);
        ASSERT_EQ(CLSIDFromString(w.c_str(), &g), S_OK) << s;
        std::wstring canonical = text(g);
        for (auto& c : canonical) c = static_cast<wchar_t>(towupper(c));
        EXPECT_TRUE(seen.insert(canonical).second) << s;
    }
}

} // namespace
