// The registrar's script reader: every construct of the syntax, replacements, and refusal of
// malformed scripts with a line and a reason (never a crash, never a partial script).
#include <gtest/gtest.h>

#include <string>

#include "server/registrar.h"

namespace {

using namespace pv::registrar;

Replacements Defaults() {
    Replacements r;
    r["Module"] = "C:\\Program Files\\Pathvigil\\Pathvigil.dll";
    r["APPID"] = "{243FEEA3-9051-4DF8-BE23-71D25BD82621}";
    return r;
}

Script MustParse(const std::string& text, const Replacements& r = Defaults()) {
    ParseError error;
    std::optional<Script> script = Parse(text, r, &error);
    EXPECT_TRUE(script.has_value()) << "line " << error.line << ": " << error.message;
    return script.value_or(Script{});
}

TEST(RegistrarParse, EveryConstruct) {
    Script s = MustParse(
        "HKCR\n"
        "{\n"
        "  NoRemove CLSID\n"
        "  {\n"
        "    ForceRemove {A2F457C5-04AC-4B20-BE8C-BD97F3823376} = s 'CVigil Class'\n"
        "    {\n"
        "      val AppID = s '%APPID%'\n"
        "      val 'Default Visible' = s 'YES'\n"
        "      val Count = d 42\n"
        "      val Mask = d '0xFFFFFFFF'\n"
        "      'Key with spaces' = s 'it''s'\n"
        "      Delete Old\n"
        "      Programmable\n"
        "    }\n"
        "  }\n"
        "}\n"
        "HKEY_LOCAL_MACHINE { SOFTWARE }\n"
        "hkcu { A } HKEY_CURRENT_USER { B } HKU { C } HKEY_USERS { D } HKLM { E } HKEY_CLASSES_ROOT { F }\n");
    ASSERT_EQ(s.roots.size(), 8u);
    EXPECT_EQ(s.roots[0].root, Root::ClassesRoot);
    EXPECT_EQ(s.roots[1].root, Root::LocalMachine);
    EXPECT_EQ(s.roots[2].root, Root::CurrentUser);
    EXPECT_EQ(s.roots[3].root, Root::CurrentUser);
    EXPECT_EQ(s.roots[4].root, Root::Users);
    EXPECT_EQ(s.roots[5].root, Root::Users);
    EXPECT_EQ(s.roots[6].root, Root::LocalMachine);
    EXPECT_EQ(s.roots[7].root, Root::ClassesRoot);

    ASSERT_EQ(s.roots[0].keys.size(), 1u);
    const Key& clsid = s.roots[0].keys[0];
    EXPECT_EQ(clsid.name, "CLSID");
    EXPECT_TRUE(clsid.noRemove);
    EXPECT_FALSE(clsid.forceRemove);
    EXPECT_FALSE(clsid.defaultValue.has_value());
    ASSERT_EQ(clsid.subkeys.size(), 1u);

    const Key& cls = clsid.subkeys[0];
    EXPECT_EQ(cls.name, "{A2F457C5-04AC-4B20-BE8C-BD97F3823376}");
    EXPECT_TRUE(cls.forceRemove);
    ASSERT_TRUE(cls.defaultValue.has_value());
    EXPECT_EQ(cls.defaultValue->text, "CVigil Class");
    ASSERT_EQ(cls.values.size(), 4u);
    EXPECT_EQ(cls.values[0].name, "AppID");
    EXPECT_EQ(cls.values[0].text, "{243FEEA3-9051-4DF8-BE23-71D25BD82621}");
    EXPECT_EQ(cls.values[1].name, "Default Visible");
    EXPECT_EQ(cls.values[2].type, Value::Type::Dword);
    EXPECT_EQ(cls.values[2].number, 42u);
    EXPECT_EQ(cls.values[3].number, 0xFFFFFFFFu);

    ASSERT_EQ(cls.subkeys.size(), 3u);
    EXPECT_EQ(cls.subkeys[0].name, "Key with spaces");
    EXPECT_EQ(cls.subkeys[0].defaultValue->text, "it's");
    EXPECT_TRUE(cls.subkeys[1].deleteKey);
    EXPECT_EQ(cls.subkeys[1].name, "Old");
    EXPECT_EQ(cls.subkeys[2].name, "Programmable");
    EXPECT_FALSE(cls.subkeys[2].defaultValue.has_value());
    EXPECT_TRUE(cls.subkeys[2].subkeys.empty());
}

TEST(RegistrarParse, KeywordsAreCaseInsensitiveButQuotedWordsAreNames) {
    Script s = MustParse("hkcr { noremove 'NoRemove' { VAL x = S 'y' } FORCEREMOVE 'val' }");
    const Key& k = s.roots[0].keys[0];
    EXPECT_TRUE(k.noRemove);
    EXPECT_EQ(k.name, "NoRemove");
    ASSERT_EQ(k.values.size(), 1u);
    EXPECT_EQ(k.values[0].text, "y");
    EXPECT_EQ(s.roots[0].keys[1].name, "val");
    EXPECT_TRUE(s.roots[0].keys[1].forceRemove);
}

TEST(RegistrarParse, EmptyScriptsAndPadding) {
    EXPECT_TRUE(MustParse("").roots.empty());
    EXPECT_TRUE(MustParse(" \r\n\t ").roots.empty());
    // A resource padded with zeros.
    Script s = MustParse(std::string("HKCR { A }\0\0\0", 14));
    ASSERT_EQ(s.roots.size(), 1u);
    EXPECT_EQ(s.roots[0].keys[0].name, "A");
}

TEST(RegistrarParse, ReplacementsAreExpandedLiterally) {
    Replacements r;
    r["module"] = "C:\\Bob's {files}\\Path vigil.dll"; // quote, braces and a space
    r["APPID"] = "{X}";
    Script s =
        MustParse("HKCR { K = s '%MODULE%' { val HotIcon = s '%Module%,3002' val Pct = s '100%% %%APPID%%' "
                  "%APPID% = s %MODULE% } }",
                  r);
    const Key& k = s.roots[0].keys[0];
    EXPECT_EQ(k.defaultValue->text, "C:\\Bob's {files}\\Path vigil.dll");
    EXPECT_EQ(k.values[0].text, "C:\\Bob's {files}\\Path vigil.dll,3002");
    EXPECT_EQ(k.values[1].text, "100% %APPID%");
    ASSERT_EQ(k.subkeys.size(), 1u);
    EXPECT_EQ(k.subkeys[0].name, "{X}");
    EXPECT_EQ(k.subkeys[0].defaultValue->text, "C:\\Bob's {files}\\Path vigil.dll");
}

TEST(RegistrarParse, ReplacementCannotBecomeSyntax) {
    // A replacement that reads like a brace or a flag stays a name.
    Replacements r;
    r["OPEN"] = "{";
    r["FLAG"] = "NoRemove";
    Script s = MustParse("HKCR { %FLAG% %OPEN% }", r);
    ASSERT_EQ(s.roots[0].keys.size(), 2u);
    EXPECT_EQ(s.roots[0].keys[0].name, "NoRemove");
    EXPECT_FALSE(s.roots[0].keys[0].noRemove);
    EXPECT_EQ(s.roots[0].keys[1].name, "{");
}

TEST(RegistrarParse, MalformedScriptsAreRefused) {
    struct Case {
        const char* text;
        const char* why;
    };
    const Case cases[] = {
        {"HKXX { A }", "unknown root"},
        {"'HKCR' { A }", "quoted root"},
        {"HKCR A", "missing opening brace"},
        {"HKCR {", "missing closing brace"},
        {"HKCR { A {", "missing nested closing brace"},
        {"HKCR { A } }", "stray closing brace"},
        {"HKCR { 'A }", "unterminated quote"},
        {"HKCR { 'A'B }", "text glued to a quoted string"},
        {"HKCR { val X = s 'y' }", "value directly below a root"},
        {"HKCR { A { val = s 'y' } }", "value without a name"},
        {"HKCR { A { val '' = s 'y' } }", "empty value name"},
        {"HKCR { A { val X s 'y' } }", "value without ="},
        {"HKCR { A { val X = } }", "value without type"},
        {"HKCR { A { val X = s } }", "value without data"},
        {"HKCR { A = s }", "default value without data"},
        {"HKCR { A = }", "default value without type"},
        {"HKCR { A = b '00' }", "unsupported type"},
        {"HKCR { A = d 'x12' }", "not a number"},
        {"HKCR { A = d 4294967296 }", "number too large"},
        {"HKCR { A = d 0x }", "hex without digits"},
        {"HKCR { A = d '' }", "empty number"},
        {"HKCR { 'A\\B' }", "backslash in a key name"},
        {"HKCR { '' }", "empty key name"},
        {"HKCR { NoRemove }", "flag without a key"},
        {"HKCR { = s 'x' }", "value without a key"},
        {"HKCR { A = s '%UNKNOWN%' }", "unknown replacement"},
        {"HKCR { A = s '%MODULE' }", "unterminated replacement"},
        {"HKCR { %NOPE% }", "unknown replacement in a name"},
    };
    for (const Case& c : cases) {
        ParseError error;
        EXPECT_FALSE(Parse(c.text, Defaults(), &error).has_value()) << c.why;
        EXPECT_FALSE(error.message.empty()) << c.why;
        EXPECT_GE(error.line, 1u) << c.why;
    }
    // A key name at the registry's length limit is accepted, one more is not.
    EXPECT_TRUE(Parse("HKCR { " + std::string(255, 'k') + " }", Defaults()).has_value());
    EXPECT_FALSE(Parse("HKCR { " + std::string(256, 'k') + " }", Defaults()).has_value());
}

TEST(RegistrarParse, ErrorNamesTheLine) {
    ParseError error;
    EXPECT_FALSE(Parse("HKCR\n{\n  A\n  {\n    val X = q 'y'\n  }\n}\n", Defaults(), &error));
    EXPECT_EQ(error.line, 5u);
    EXPECT_NE(error.message.find("type"), std::string::npos) << error.message;
    // Lines inside a quoted string count too.
    EXPECT_FALSE(Parse("HKCR { A = s 'two\nlines' B = x 'y' }", Defaults(), &error));
    EXPECT_EQ(error.line, 2u);
}

TEST(RegistrarParse, DeepNestingIsRefusedNotRecursedInto) {
    std::string deep = "HKCR ";
    for (int i = 0; i < 100000; ++i) deep += "{ k ";
    ParseError error;
    EXPECT_FALSE(Parse(deep, Defaults(), &error).has_value());
    EXPECT_FALSE(error.message.empty());

    // Well within the limit is fine.
    std::string ok = "HKCR { ";
    for (int i = 0; i < 30; ++i) ok += "k { ";
    for (int i = 0; i < 31; ++i) ok += "} ";
    EXPECT_TRUE(Parse(ok, Defaults()).has_value());
}

} // namespace
