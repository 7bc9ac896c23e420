// Registry settings: what start-up reads into the module state, and what the writers store.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/app_fixture.h"

namespace pv::test {
namespace {

class AppRegistry : public ::testing::Test {
protected:
    CVigilApp& Start() {
        app = std::make_unique<CVigilApp>(fake);
        EXPECT_TRUE(app->Startup());
        return *app;
    }
    RecordingPlatform fake;
    std::unique_ptr<CVigilApp> app;
};

TEST_F(AppRegistry, FreshInstallationHasOnlyTheScriptAddresses) {
    fake.SetRegString("errURL", "http://maker.test/forbidden.htm", true);
    fake.SetRegString("checkURL", "http://maker.test/cgi-bin/checker", true);
    Start();
    EXPECT_EQ(app->First(), 0u);
    EXPECT_EQ(app->Name(), "");
    EXPECT_EQ(app->Password(), "");
    EXPECT_EQ(app->ErrURL(), "http://maker.test/forbidden.htm");
    EXPECT_EQ(app->CheckURL(), "http://maker.test/cgi-bin/checker");
}

TEST_F(AppRegistry, StringsReadBackAsExactlyTheirCharactersWithOrWithoutNul) {
    fake.SetRegString("name", "bob", false);
    fake.SetRegString("ps", "secret", true);
    PutRegValue(fake, "checkURL", kRegSz, std::string("http://a/\0junk", 14));
    PutRegValue(fake, "errURL", kRegSz, std::string("x\0\0\0", 4));
    Start();
    EXPECT_EQ(app->Name(), "bob");
    EXPECT_EQ(app->Password(), "secret");
    EXPECT_EQ(app->CheckURL(), "http://a/");
    EXPECT_EQ(app->ErrURL(), "x");
}

TEST_F(AppRegistry, LongStringsAreCutTo512Characters) {
    fake.SetRegString("name", Repeat('n', 600), false);
    fake.SetRegString("ps", Repeat('p', 512), true);
    fake.SetRegString("checkURL", Repeat('c', 513), false);
    fake.SetRegString("errURL", Repeat('e', 511) + "\xE4", true);
    Start();
    EXPECT_EQ(app->Name(), Repeat('n', 512));
    EXPECT_EQ(app->Password(), Repeat('p', 512));
    EXPECT_EQ(app->CheckURL(), Repeat('c', 512));
    EXPECT_EQ(app->ErrURL(), Repeat('e', 511) + "\xE4");
}

TEST_F(AppRegistry, AnOversizedValueIsTreatedAsAbsentWithoutDisturbingTheOthers) {
    fake.SetRegString("name", Repeat('n', 200 * 1024));
    fake.SetRegString("ps", "pw");
    Start();
    EXPECT_EQ(app->Name(), "");
    EXPECT_EQ(app->Password(), "pw");
}

TEST_F(AppRegistry, TheRegistryTypeIsNotExamined) {
    PutRegValue(fake, "name", static_cast<RegistryType>(3) /* REG_BINARY */, "bin-name");
    PutRegValue(fake, "ps", kRegDword, std::string("\x41\x42\x00\x00", 4));
    PutRegValue(fake, "checkURL", static_cast<RegistryType>(2) /* REG_EXPAND_SZ */, "http://e/");
    PutRegValue(fake, "first", kRegSz, std::string("\x01\x00\x00\x00", 4));
    Start();
    EXPECT_EQ(app->Name(), "bin-name");
    EXPECT_EQ(app->Password(), "AB");
    EXPECT_EQ(app->CheckURL(), "http://e/");
    EXPECT_EQ(app->First(), 1u);
}

TEST_F(AppRegistry, FirstRunFlagIsReadAsFourBytes) {
    PutRegValue(fake, "first", kRegDword, std::string("\x01\x00\x00\x00", 4));
    EXPECT_EQ(Start().First(), 1u);
    PutRegValue(fake, "first", kRegDword, std::string("\x02\x01\x00\x00", 4));
    EXPECT_EQ(Start().First(), 0x102u);
    // Shorter data fills only the low bytes; data that does not fit four bytes is not read.
    PutRegValue(fake, "first", static_cast<RegistryType>(3), std::string("\x07", 1));
    EXPECT_EQ(Start().First(), 7u);
    PutRegValue(fake, "first", static_cast<RegistryType>(3), std::string(8, '\x01'));
    EXPECT_EQ(Start().First(), 0u);
}

TEST_F(AppRegistry, FirstRunSetOnceSuppressesItInEveryLaterProcess) {
    Start();
    EXPECT_TRUE(app->TakeFirstRun());
    EXPECT_EQ(app->First(), 1u);
    EXPECT_FALSE(app->TakeFirstRun());
    ASSERT_TRUE(fake.RegDword("first").has_value());
    EXPECT_EQ(*fake.RegDword("first"), 1u);
    EXPECT_EQ(fake.registry.at("Pathvigil.CVigil\\first").type, kRegDword);
    EXPECT_EQ(fake.Writes(), 1);

    Start();   // the next process
    EXPECT_EQ(app->First(), 1u);
    EXPECT_FALSE(app->TakeFirstRun());
    EXPECT_EQ(fake.Writes(), 1);
}

TEST_F(AppRegistry, WritersStoreTextWithoutTheNulAndUpdateMemory) {
    Start();
    app->StoreName("carol");
    app->StorePassword("");
    app->StoreCheckURL("http://moved/c");
    EXPECT_EQ(app->Name(), "carol");
    EXPECT_EQ(app->Password(), "");
    EXPECT_EQ(app->CheckURL(), "http://moved/c");
    for (auto [value, bytes] : {std::pair<const char*, const char*>{"name", "carol"}, {"ps", ""},
                                {"checkURL", "http://moved/c"}}) {
        SCOPED_TRACE(value);
        const auto& stored = fake.registry.at(std::string("Pathvigil.CVigil\\") + value);
        EXPECT_EQ(stored.type, kRegSz);
        EXPECT_EQ(stored.bytes, bytes) << "byte count is the length without the NUL";
    }
}

TEST_F(AppRegistry, WhatOneProcessWritesTheNextReadsExactly) {
    Start();
    app->StoreName("dave");
    app->StorePassword(Repeat('p', 40));
    app->StoreCheckURL("http://relocated/");
    app->TakeFirstRun();
    Start();
    EXPECT_EQ(app->Name(), "dave");
    EXPECT_EQ(app->Password(), Repeat('p', 40));
    EXPECT_EQ(app->CheckURL(), "http://relocated/");
    EXPECT_EQ(app->First(), 1u);
}

TEST_F(AppRegistry, TextAfterAnEmbeddedNulIsNeitherKeptNorStored) {
    Start();
    app->StoreName(std::string("ab\0cd", 5));
    EXPECT_EQ(app->Name(), "ab");
    EXPECT_EQ(fake.RegString("name"), "ab");
}

TEST_F(AppRegistry, FailedWritesAreSilentAndMemoryKeepsTheNewValues) {
    Start();
    fake.registryWritesFail = true;
    app->StoreName("erin");
    app->StoreCheckURL("http://new/");
    EXPECT_TRUE(app->TakeFirstRun());
    EXPECT_EQ(app->Name(), "erin");
    EXPECT_EQ(app->CheckURL(), "http://new/");
    EXPECT_EQ(app->First(), 1u);
    EXPECT_FALSE(fake.RegString("name").has_value());
    fake.registryWritesFail = false;
    Start();   // a failed "first" write lets the next process run the first-run setup again
    EXPECT_EQ(app->First(), 0u);
}

TEST_F(AppRegistry, ReloadingLowersThePassFlagAndReturnsOne) {
    Start();
    app->RaisePassOnce();
    EXPECT_EQ(app->LoadRegistrySettings(), 1);
    EXPECT_FALSE(app->PassOnceRaised());
}

TEST_F(AppRegistry, PassFlagIsConsumedOncePerRaise) {
    Start();
    EXPECT_FALSE(app->ConsumePassOnce());
    app->RaisePassOnce();
    app->RaisePassOnce();   // raises do not add up
    EXPECT_TRUE(app->PassOnceRaised());
    EXPECT_TRUE(app->ConsumePassOnce());
    EXPECT_FALSE(app->ConsumePassOnce());
    EXPECT_FALSE(app->PassOnceRaised());
}

} // namespace
} // namespace pv::test
