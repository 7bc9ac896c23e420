// Registry settings: what start-up reads into the module state, and what the writers store.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/app_fixture.h"

namespace pv::test {
namespace {

class AppRegistry : public ::testing::Test {
protected:
    CVigilApp& Start() {
        m_app = std::make_unique<CVigilApp>(m_fake);
        EXPECT_TRUE(m_app->Startup());
        return *m_app;
    }
    RecordingPlatform m_fake;
    std::unique_ptr<CVigilApp> m_app;
};

TEST_F(AppRegistry, FreshInstallationHasOnlyTheScriptAddresses) {
    m_fake.SetRegString("errURL", "http://maker.test/forbidden.htm", true);
    m_fake.SetRegString("checkURL", "http://maker.test/cgi-bin/checker", true);
    Start();
    EXPECT_EQ(m_app->First(), 0u);
    EXPECT_EQ(m_app->Name(), "");
    EXPECT_EQ(m_app->Password(), "");
    EXPECT_EQ(m_app->ErrURL(), "http://maker.test/forbidden.htm");
    EXPECT_EQ(m_app->CheckURL(), "http://maker.test/cgi-bin/checker");
}

TEST_F(AppRegistry, StringsReadBackAsExactlyTheirCharactersWithOrWithoutNul) {
    m_fake.SetRegString("name", "bob", false);
    m_fake.SetRegString("ps", "secret", true);
    PutRegValue(m_fake, "checkURL", kRegSz, std::string("http://a/\0junk", 14));
    PutRegValue(m_fake, "errURL", kRegSz, std::string("x\0\0\0", 4));
    Start();
    EXPECT_EQ(m_app->Name(), "bob");
    EXPECT_EQ(m_app->Password(), "secret");
    EXPECT_EQ(m_app->CheckURL(), "http://a/");
    EXPECT_EQ(m_app->ErrURL(), "x");
}

TEST_F(AppRegistry, LongStringsAreCutTo512Characters) {
    m_fake.SetRegString("name", Repeat('n', 600), false);
    m_fake.SetRegString("ps", Repeat('p', 512), true);
    m_fake.SetRegString("checkURL", Repeat('c', 513), false);
    m_fake.SetRegString("errURL", Repeat('e', 511) + "\xE4", true);
    Start();
    EXPECT_EQ(m_app->Name(), Repeat('n', 512));
    EXPECT_EQ(m_app->Password(), Repeat('p', 512));
    EXPECT_EQ(m_app->CheckURL(), Repeat('c', 512));
    EXPECT_EQ(m_app->ErrURL(), Repeat('e', 511) + "\xE4");
}

TEST_F(AppRegistry, AnOversizedValueIsTreatedAsAbsentWithoutDisturbingTheOthers) {
    m_fake.SetRegString("name", Repeat('n', 200 * 1024));
    m_fake.SetRegString("ps", "pw");
    Start();
    EXPECT_EQ(m_app->Name(), "");
    EXPECT_EQ(m_app->Password(), "pw");
}

TEST_F(AppRegistry, TheRegistryTypeIsNotExamined) {
    PutRegValue(m_fake, "name", static_cast<RegistryType>(3) /* REG_BINARY */, "bin-name");
    PutRegValue(m_fake, "ps", kRegDword, std::string("\x41\x42\x00\x00", 4));
    PutRegValue(m_fake, "checkURL", static_cast<RegistryType>(2) /* REG_EXPAND_SZ */, "http://e/");
    PutRegValue(m_fake, "first", kRegSz, std::string("\x01\x00\x00\x00", 4));
    Start();
    EXPECT_EQ(m_app->Name(), "bin-name");
    EXPECT_EQ(m_app->Password(), "AB");
    EXPECT_EQ(m_app->CheckURL(), "http://e/");
    EXPECT_EQ(m_app->First(), 1u);
}

TEST_F(AppRegistry, FirstRunFlagIsReadAsFourBytes) {
    PutRegValue(m_fake, "first", kRegDword, std::string("\x01\x00\x00\x00", 4));
    EXPECT_EQ(Start().First(), 1u);
    PutRegValue(m_fake, "first", kRegDword, std::string("\x02\x01\x00\x00", 4));
    EXPECT_EQ(Start().First(), 0x102u);
    // Shorter data fills only the low bytes; data that does not fit four bytes is not read.
    PutRegValue(m_fake, "first", static_cast<RegistryType>(3), std::string("\x07", 1));
    EXPECT_EQ(Start().First(), 7u);
    PutRegValue(m_fake, "first", static_cast<RegistryType>(3), std::string(8, '\x01'));
    EXPECT_EQ(Start().First(), 0u);
}

TEST_F(AppRegistry, FirstRunSetOnceSuppressesItInEveryLaterProcess) {
    Start();
    EXPECT_TRUE(m_app->TakeFirstRun());
    EXPECT_EQ(m_app->First(), 1u);
    EXPECT_FALSE(m_app->TakeFirstRun());
    ASSERT_TRUE(m_fake.RegDword("first").has_value());
    EXPECT_EQ(*m_fake.RegDword("first"), 1u);
    EXPECT_EQ(m_fake.registry.at("Pathvigil.CVigil\\first").type, kRegDword);
    EXPECT_EQ(m_fake.Writes(), 1);

    Start(); // the next process
    EXPECT_EQ(m_app->First(), 1u);
    EXPECT_FALSE(m_app->TakeFirstRun());
    EXPECT_EQ(m_fake.Writes(), 1);
}

TEST_F(AppRegistry, WritersStoreTextWithoutTheNulAndUpdateMemory) {
    Start();
    m_app->StoreName("carol");
    m_app->StorePassword("");
    m_app->StoreCheckURL("http://moved/c");
    EXPECT_EQ(m_app->Name(), "carol");
    EXPECT_EQ(m_app->Password(), "");
    EXPECT_EQ(m_app->CheckURL(), "http://moved/c");
    for (auto [value, bytes] :
         {std::pair<const char*, const char*>{"name", "carol"}, {"ps", ""}, {"checkURL", "http://moved/c"}}) {
        SCOPED_TRACE(value);
        const auto& stored = m_fake.registry.at(std::string("Pathvigil.CVigil\\") + value);
        EXPECT_EQ(stored.type, kRegSz);
        EXPECT_EQ(stored.bytes, bytes) << "byte count is the length without the NUL";
    }
}

TEST_F(AppRegistry, WhatOneProcessWritesTheNextReadsExactly) {
    Start();
    m_app->StoreName("dave");
    m_app->StorePassword(Repeat('p', 40));
    m_app->StoreCheckURL("http://relocated/");
    m_app->TakeFirstRun();
    Start();
    EXPECT_EQ(m_app->Name(), "dave");
    EXPECT_EQ(m_app->Password(), Repeat('p', 40));
    EXPECT_EQ(m_app->CheckURL(), "http://relocated/");
    EXPECT_EQ(m_app->First(), 1u);
}

TEST_F(AppRegistry, TextAfterAnEmbeddedNulIsNeitherKeptNorStored) {
    Start();
    m_app->StoreName(std::string("ab\0cd", 5));
    EXPECT_EQ(m_app->Name(), "ab");
    EXPECT_EQ(m_fake.RegString("name"), "ab");
}

TEST_F(AppRegistry, FailedWritesAreSilentAndMemoryKeepsTheNewValues) {
    Start();
    m_fake.registryWritesFail = true;
    m_app->StoreName("erin");
    m_app->StoreCheckURL("http://new/");
    EXPECT_TRUE(m_app->TakeFirstRun());
    EXPECT_EQ(m_app->Name(), "erin");
    EXPECT_EQ(m_app->CheckURL(), "http://new/");
    EXPECT_EQ(m_app->First(), 1u);
    EXPECT_FALSE(m_fake.RegString("name").has_value());
    m_fake.registryWritesFail = false;
    Start(); // a failed "first" write lets the next process run the first-run setup again
    EXPECT_EQ(m_app->First(), 0u);
}

TEST_F(AppRegistry, ReloadingLowersThePassFlagAndReturnsOne) {
    Start();
    m_app->RaisePassOnce();
    EXPECT_EQ(m_app->LoadRegistrySettings(), 1);
    EXPECT_FALSE(m_app->PassOnceRaised());
}

TEST_F(AppRegistry, PassFlagIsConsumedOncePerRaise) {
    Start();
    EXPECT_FALSE(m_app->ConsumePassOnce());
    m_app->RaisePassOnce();
    m_app->RaisePassOnce(); // raises do not add up
    EXPECT_TRUE(m_app->PassOnceRaised());
    EXPECT_TRUE(m_app->ConsumePassOnce());
    EXPECT_FALSE(m_app->ConsumePassOnce());
    EXPECT_FALSE(m_app->PassOnceRaised());
}

} // namespace
} // namespace pv::test
