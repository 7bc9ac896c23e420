// The registrar's executor over an in-memory registry, with the module's own script: what
// registration writes, what repeating it keeps, what unregistration removes and what it leaves.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "server/guids.h"
#include "server/registrar.h"
#include "tests/support/registrar_memory.h"

namespace {

using namespace pv::registrar;
using pv::test::MemoryRegistry;

constexpr const char* kModule = "C:\\Program Files\\Path'vigil\\Pathvigil.dll";
const std::string kClsidKey = std::string("CLSID\\") + pv::kClsidString;
const std::string kExtensionsKey = "SOFTWARE\\Microsoft\\Internet Explorer\\Extensions";
const std::string kExtensionKey = kExtensionsKey + "\\" + pv::kExtensionString;
const std::string kBhoParent =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
const std::string kBhoKey = kBhoParent + "\\" + pv::kClsidString;

std::string ModuleScript() {
    std::filesystem::path path =
        std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "server" / "pathvigil.rgs";
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

Replacements ModuleReplacements() {
    Replacements r;
    r["Module"] = kModule;
    r["Module_Raw"] = kModule;
    r["APPID"] = pv::kAppidString;
    return r;
}

Status RunScript(const std::string& text, Mode mode, MemoryRegistry& reg) {
    ParseError error;
    ExecuteResult result = pv::registrar::Run(text, ModuleReplacements(), mode, reg, &error);
    EXPECT_TRUE(error.message.empty()) << "line " << error.line << ": " << error.message;
    return result.status;
}

class ModuleScriptTest : public ::testing::Test {
protected:
    Status Register() { return RunScript(ModuleScript(), Mode::Register, m_reg); }
    Status Unregister() { return RunScript(ModuleScript(), Mode::Unregister, m_reg); }
    std::string Cr(const std::string& key, const std::string& value = "") {
        return m_reg.StringAt(Root::ClassesRoot, key, value);
    }
    std::string Lm(const std::string& key, const std::string& value = "") {
        return m_reg.StringAt(Root::LocalMachine, key, value);
    }
    MemoryRegistry m_reg;
};

TEST_F(ModuleScriptTest, RegistrationWritesEveryKeyAndValue) {
    ASSERT_EQ(Register(), kOk);

    EXPECT_EQ(Cr("Pathvigil.CVigil.1"), "CVigil Class");
    EXPECT_EQ(Cr("Pathvigil.CVigil.1\\CLSID"), pv::kClsidString);
    EXPECT_EQ(Cr("Pathvigil.CVigil"), "CVigil Class");
    EXPECT_EQ(Cr("Pathvigil.CVigil", "errURL"), "http://filter.pathvigil.net/forbidden.htm");
    EXPECT_EQ(Cr("Pathvigil.CVigil", "checkURL"), "http://filter.pathvigil.net/cgi-bin/checker");
    EXPECT_EQ(Cr("Pathvigil.CVigil\\CLSID"), pv::kClsidString);
    EXPECT_EQ(Cr("Pathvigil.CVigil\\CurVer"), "Pathvigil.CVigil.1");

    EXPECT_EQ(Cr(kClsidKey), "CVigil Class");
    EXPECT_EQ(Cr(kClsidKey, "AppID"), pv::kAppidString);
    EXPECT_EQ(Cr(kClsidKey + "\\ProgID"), "Pathvigil.CVigil.1");
    EXPECT_EQ(Cr(kClsidKey + "\\VersionIndependentProgID"), "Pathvigil.CVigil");
    EXPECT_TRUE(m_reg.Has(Root::ClassesRoot, kClsidKey + "\\Programmable"));
    EXPECT_EQ(Cr(kClsidKey + "\\Programmable"), "<absent>");
    EXPECT_EQ(Cr(kClsidKey + "\\InprocServer32"), kModule);
    EXPECT_EQ(Cr(kClsidKey + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(Cr(kClsidKey + "\\TypeLib"), pv::kLibidString);

    EXPECT_EQ(Lm(kExtensionKey), "Pathvigil");
    EXPECT_EQ(Lm(kExtensionKey, "CLSID"), pv::kToolbarExecClsidString);
    EXPECT_EQ(Lm(kExtensionKey, "MenuText"), "Pathvigil");
    EXPECT_EQ(Lm(kExtensionKey, "MenuStatusBar"), "Pathvigil setup dialog");
    EXPECT_EQ(Lm(kExtensionKey, "ClsidExtension"), pv::kClsidString);
    EXPECT_EQ(Lm(kExtensionKey, "Default Visible"), "YES");
    EXPECT_EQ(Lm(kExtensionKey, "ButtonText"), "Pathvigil");
    EXPECT_EQ(Lm(kExtensionKey, "HotIcon"), std::string(kModule) + ",3002");
    EXPECT_EQ(Lm(kExtensionKey, "Icon"), std::string(kModule) + ",3003");
    EXPECT_EQ(Lm(kBhoKey), "Pathvigil");

    // Exactly the table: 5 ProgID keys; CLSID, the class and its 5 subkeys; two HKLM branches of
    // 4 NoRemove keys and one entry each.
    EXPECT_EQ(m_reg.KeyCount(), 5u + 7u + 5u + 5u);
    // ProgIDs: 5 defaults and 2 addresses; class: 5 defaults, AppID and ThreadingModel;
    // extension: default and 8 named values; BHO entry: default.
    EXPECT_EQ(m_reg.ValueCount(), 7u + 7u + 9u + 1u);
}

TEST_F(ModuleScriptTest, RegisteringTwiceLeavesOneSetAndRestoresOnlyTheScriptsValues) {
    ASSERT_EQ(Register(), kOk);
    const std::size_t keys = m_reg.KeyCount();
    const std::size_t values = m_reg.ValueCount();

    // What the component writes at run time, and a changed default address.
    m_reg.Put(Root::ClassesRoot, "Pathvigil.CVigil", "name", "family");
    m_reg.SetDword(Root::ClassesRoot, {"Pathvigil.CVigil"}, "first", 1);
    m_reg.Put(Root::ClassesRoot, "Pathvigil.CVigil", "checkURL", "http://relocated.example/check");
    m_reg.Put(Root::ClassesRoot, "Pathvigil.CVigil", "errURL", "http://elsewhere.example/");

    ASSERT_EQ(Register(), kOk);
    EXPECT_EQ(m_reg.KeyCount(), keys);
    EXPECT_EQ(m_reg.ValueCount(), values + 2);
    EXPECT_EQ(Cr("Pathvigil.CVigil", "name"), "family");
    ASSERT_NE(m_reg.ValueAt(Root::ClassesRoot, "Pathvigil.CVigil", "first"), nullptr);
    EXPECT_EQ(m_reg.ValueAt(Root::ClassesRoot, "Pathvigil.CVigil", "first")->number, 1u);
    EXPECT_EQ(Cr("Pathvigil.CVigil", "checkURL"), "http://filter.pathvigil.net/cgi-bin/checker");
    EXPECT_EQ(Cr("Pathvigil.CVigil", "errURL"), "http://filter.pathvigil.net/forbidden.htm");
}

TEST_F(ModuleScriptTest, ForceRemoveClearsStaleContentFirst) {
    m_reg.Put(Root::ClassesRoot, kClsidKey + "\\Stale\\Deeper", "x", "1");
    m_reg.Put(Root::ClassesRoot, kClsidKey, "Leftover", "1");
    m_reg.Put(Root::ClassesRoot, kClsidKey + "\\Programmable\\Inside", "", "1");
    m_reg.Put(Root::LocalMachine, kExtensionKey, "Exec", "C:\\old.exe");
    m_reg.Put(Root::LocalMachine, kBhoKey + "\\Sub", "", "1");
    // Siblings of ForceRemove keys, and content of keys that are not ForceRemove, are kept.
    m_reg.Put(Root::ClassesRoot, "CLSID\\{00000000-0000-0000-0000-000000000001}", "", "other");
    m_reg.Put(Root::ClassesRoot, "Pathvigil.CVigil\\Extra", "", "kept");

    ASSERT_EQ(Register(), kOk);
    EXPECT_FALSE(m_reg.Has(Root::ClassesRoot, kClsidKey + "\\Stale"));
    EXPECT_EQ(m_reg.ValueAt(Root::ClassesRoot, kClsidKey, "Leftover"), nullptr);
    EXPECT_FALSE(m_reg.Has(Root::ClassesRoot, kClsidKey + "\\Programmable\\Inside"));
    EXPECT_TRUE(m_reg.Has(Root::ClassesRoot, kClsidKey + "\\Programmable"));
    EXPECT_EQ(m_reg.ValueAt(Root::LocalMachine, kExtensionKey, "Exec"), nullptr);
    EXPECT_FALSE(m_reg.Has(Root::LocalMachine, kBhoKey + "\\Sub"));
    EXPECT_EQ(Cr("CLSID\\{00000000-0000-0000-0000-000000000001}"), "other");
    EXPECT_EQ(Cr("Pathvigil.CVigil\\Extra"), "kept");
}

TEST_F(ModuleScriptTest, UnregistrationRemovesTheComponentAndKeepsNoRemoveKeys) {
    m_reg.Put(Root::ClassesRoot, "CLSID\\{00000000-0000-0000-0000-000000000001}", "", "other");
    m_reg.Put(Root::LocalMachine, kBhoParent + "\\{00000000-0000-0000-0000-000000000002}", "", "other");
    ASSERT_EQ(Register(), kOk);
    // Settings written at run time go with the ProgID key: only subkeys keep a key.
    m_reg.Put(Root::ClassesRoot, "Pathvigil.CVigil", "name", "family");
    m_reg.Put(Root::ClassesRoot, "Pathvigil.CVigil", "ps", "secret");
    m_reg.SetDword(Root::ClassesRoot, {"Pathvigil.CVigil"}, "first", 1);

    ASSERT_EQ(Unregister(), kOk);
    EXPECT_FALSE(m_reg.Has(Root::ClassesRoot, "Pathvigil.CVigil.1"));
    EXPECT_FALSE(m_reg.Has(Root::ClassesRoot, "Pathvigil.CVigil"));
    EXPECT_FALSE(m_reg.Has(Root::ClassesRoot, kClsidKey));
    EXPECT_FALSE(m_reg.Has(Root::LocalMachine, kExtensionKey));
    EXPECT_FALSE(m_reg.Has(Root::LocalMachine, kBhoKey));

    EXPECT_TRUE(m_reg.Has(Root::ClassesRoot, "CLSID"));
    EXPECT_TRUE(m_reg.Has(Root::ClassesRoot, "CLSID\\{00000000-0000-0000-0000-000000000001}"));
    EXPECT_TRUE(m_reg.Has(Root::LocalMachine, kExtensionsKey));
    EXPECT_TRUE(m_reg.Has(Root::LocalMachine, kBhoParent + "\\{00000000-0000-0000-0000-000000000002}"));
    // NoRemove keys stay even when nothing is left in them.
    EXPECT_TRUE(m_reg.Has(Root::LocalMachine, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer"));
    EXPECT_EQ(m_reg.KeyCount(), 2u + 4u + 5u);
}

TEST_F(ModuleScriptTest, ForeignSubkeyKeepsItsKeyButNotTheScriptsValues) {
    ASSERT_EQ(Register(), kOk);
    m_reg.Put(Root::ClassesRoot, "Pathvigil.CVigil\\Foreign", "", "x");
    m_reg.Put(Root::ClassesRoot, kClsidKey + "\\Implemented Categories", "", "x");

    ASSERT_EQ(Unregister(), kOk);
    ASSERT_TRUE(m_reg.Has(Root::ClassesRoot, "Pathvigil.CVigil\\Foreign"));
    EXPECT_EQ(m_reg.ValueAt(Root::ClassesRoot, "Pathvigil.CVigil", "errURL"), nullptr);
    EXPECT_EQ(m_reg.ValueAt(Root::ClassesRoot, "Pathvigil.CVigil", "checkURL"), nullptr);
    EXPECT_FALSE(m_reg.Has(Root::ClassesRoot, "Pathvigil.CVigil\\CLSID"));
    EXPECT_FALSE(m_reg.Has(Root::ClassesRoot, "Pathvigil.CVigil\\CurVer"));
    EXPECT_TRUE(m_reg.Has(Root::ClassesRoot, kClsidKey + "\\Implemented Categories"));
    EXPECT_EQ(m_reg.ValueAt(Root::ClassesRoot, kClsidKey, "AppID"), nullptr);
    EXPECT_FALSE(m_reg.Has(Root::ClassesRoot, kClsidKey + "\\InprocServer32"));
}

TEST_F(ModuleScriptTest, UnregisteringWhatIsNotThereIsNoFailureAndCreatesNothing) {
    ASSERT_EQ(Unregister(), kOk);
    EXPECT_EQ(m_reg.KeyCount(), 0u);
    ASSERT_EQ(Register(), kOk);
    ASSERT_EQ(Unregister(), kOk);
    ASSERT_EQ(Unregister(), kOk);
    EXPECT_EQ(m_reg.KeyCount(), 1u + 4u + 4u); // the NoRemove keys only
}

TEST(RegistrarExecute, DeleteFlagAndNumbers) {
    MemoryRegistry reg;
    reg.Put(Root::CurrentUser, "App\\Old\\Inner", "", "x");
    const std::string script = "HKCU { App { Delete Old { New } val Count = d 0x10 Sub = d 7 } }";
    ASSERT_EQ(RunScript(script, Mode::Register, reg), kOk);
    EXPECT_FALSE(reg.Has(Root::CurrentUser, "App\\Old"));
    EXPECT_FALSE(reg.Has(Root::CurrentUser, "App\\Old\\New"));
    const MemoryRegistry::Data* count = reg.ValueAt(Root::CurrentUser, "App", "Count");
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(count->type, Value::Type::Dword);
    EXPECT_EQ(count->number, 16u);
    ASSERT_NE(reg.ValueAt(Root::CurrentUser, "App\\Sub", ""), nullptr);
    EXPECT_EQ(reg.ValueAt(Root::CurrentUser, "App\\Sub", "")->number, 7u);

    ASSERT_EQ(RunScript(script, Mode::Unregister, reg), kOk);
    EXPECT_EQ(reg.KeyCount(), 0u);
}

TEST(RegistrarExecute, NamesCompareWithoutCase) {
    MemoryRegistry reg;
    reg.Put(Root::ClassesRoot, "PATHVIGIL.CVIGIL", "ERRURL", "old");
    ASSERT_EQ(RunScript("HKCR { Pathvigil.CVigil { val errURL = s 'new' } }", Mode::Register, reg), kOk);
    EXPECT_EQ(reg.KeyCount(), 1u);
    EXPECT_EQ(reg.StringAt(Root::ClassesRoot, "pathvigil.cvigil", "ErrUrl"), "new");
    ASSERT_EQ(RunScript("HKCR { pathvigil.cvigil { val ERRurl = s 'x' } }", Mode::Unregister, reg), kOk);
    EXPECT_EQ(reg.KeyCount(), 0u);
}

TEST(RegistrarExecute, RegistrationStopsAtTheFirstFailure) {
    MemoryRegistry reg;
    reg.FailAt("set", "A\\B", 5);
    ExecuteResult result = pv::registrar::Run("HKCR { A { B = s 'x' C } D }", {}, Mode::Register, reg);
    EXPECT_EQ(result.status, 5);
    EXPECT_EQ(result.failedKey, "A\\B");
    EXPECT_FALSE(reg.Has(Root::ClassesRoot, "A\\C"));
    EXPECT_FALSE(reg.Has(Root::ClassesRoot, "D"));

    // A ForceRemove that cannot delete does not go on to write into the old key.
    MemoryRegistry reg2;
    reg2.Put(Root::ClassesRoot, "K\\Old", "", "x");
    reg2.FailAt("deltree", "K", 5);
    result = pv::registrar::Run("HKCR { ForceRemove K = s 'new' }", {}, Mode::Register, reg2);
    EXPECT_EQ(result.status, 5);
    EXPECT_EQ(reg2.StringAt(Root::ClassesRoot, "K", ""), "<absent>");
}

TEST(RegistrarExecute, UnregistrationGoesOnPastFailuresAndReportsTheFirst) {
    MemoryRegistry reg;
    const std::string script = "HKCR { A { val V = s 'x' B } C { val W = s 'y' } }";
    ASSERT_EQ(RunScript(script, Mode::Register, reg), kOk);
    reg.FailAt("delkey", "A\\B", 5);
    reg.FailAt("delvalue", "C", 1);
    ExecuteResult result = pv::registrar::Run(script, {}, Mode::Unregister, reg);
    EXPECT_EQ(result.status, 5);
    EXPECT_EQ(result.failedKey, "A\\B");
    // A keeps B, so it stays, but loses its value; C's value could not go, C still went.
    EXPECT_TRUE(reg.Has(Root::ClassesRoot, "A\\B"));
    EXPECT_EQ(reg.ValueAt(Root::ClassesRoot, "A", "V"), nullptr);
    EXPECT_FALSE(reg.Has(Root::ClassesRoot, "C"));
}

TEST(RegistrarExecute, UnparsableScriptChangesNothing) {
    MemoryRegistry reg;
    reg.Put(Root::ClassesRoot, "A", "", "x");
    reg.log.clear();
    ParseError error;
    ExecuteResult result =
        pv::registrar::Run("HKCR { ForceRemove A = s 'y' } HKCR {", {}, Mode::Register, reg, &error);
    EXPECT_EQ(result.status, kParseFailed);
    EXPECT_FALSE(error.message.empty());
    EXPECT_EQ(reg.StringAt(Root::ClassesRoot, "A", ""), "x");
    EXPECT_TRUE(reg.log.empty());
}

} // namespace
