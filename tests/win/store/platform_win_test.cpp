// The Win32 platform on its own: paths, files and their errors, code-page conversions, clock,
// WinINet.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "platform/win32_platform_win.h"
#include "tests/support/store_support_win.h"

namespace pv::wintest {
namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class WinPlatform : public ::testing::Test {
protected:
    Win32Platform m_platform{nullptr};
};

TEST_F(WinPlatform, PathsNameThisProgramAndTheSystemFolders) {
    EXPECT_TRUE(EndsWith(Lower(m_platform.HostExecutablePath()), "\\pv_store_win_tests.exe"))
        << m_platform.HostExecutablePath();
    EXPECT_EQ(m_platform.ModulePath(), m_platform.HostExecutablePath());
    EXPECT_TRUE(EndsWith(Lower(m_platform.WindowsDirectory()), "\\windows")) << m_platform.WindowsDirectory();
    EXPECT_EQ(Lower(m_platform.SystemDirectory()), Lower(m_platform.WindowsDirectory()) + "\\system32");
}

class WinPlatformFiles : public WinPlatform {
protected:
    void SetUp() override {
        char temp[MAX_PATH] = {};
        ASSERT_GT(::GetTempPathA(MAX_PATH, temp), 0u);
        m_path = std::string(temp) + "pv_platform_test.bin";
        ::DeleteFileA(m_path.c_str());
    }
    void TearDown() override { ::DeleteFileA(m_path.c_str()); }
    std::string m_path;
};

TEST_F(WinPlatformFiles, ModesCreateKeepAndReadAsDocumented) {
    EXPECT_EQ(m_platform.OpenFile(m_path, FileOpen::Read), nullptr) << "absent file cannot be read";
    EXPECT_EQ(m_platform.OpenFile(m_path, FileOpen::WriteKeep), nullptr) << "absent file is not created";
    {
        auto f = m_platform.OpenFile(m_path, FileOpen::CreateTruncate);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->Write("0123456789", 10), FileStatus::Ok);
        EXPECT_EQ(f->Size(), 10u);
    }
    {
        auto f = m_platform.OpenFile(m_path, FileOpen::WriteKeep);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->Write("abc", 3), FileStatus::Ok); // from offset 0, nothing cut off
    }
    EXPECT_EQ(ReadWholeFile(m_path), "abc3456789");
    {
        auto f = m_platform.OpenFile(m_path, FileOpen::Read);
        ASSERT_NE(f, nullptr);
        char buf[16];
        std::size_t got = 0;
        EXPECT_EQ(f->Read(buf, 4, &got), FileStatus::Ok);
        EXPECT_EQ(std::string(buf, got), "abc3");
        EXPECT_EQ(f->Read(buf, sizeof buf, &got), FileStatus::Ok);
        EXPECT_EQ(std::string(buf, got), "456789");
        EXPECT_EQ(f->Read(buf, sizeof buf, &got), FileStatus::Ok);
        EXPECT_EQ(got, 0u) << "end of file";
        // A handle opened for reading refuses writes, which is reported as access denied.
        EXPECT_EQ(f->Write("x", 1), FileStatus::AccessDenied);
    }
    {
        auto f = m_platform.OpenFile(m_path, FileOpen::CreateTruncate);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->Size(), 0u);
    }
}

TEST_F(WinPlatformFiles, AnOpenFileIsNotSharedWithAnyOtherOpener) {
    ASSERT_TRUE(WriteWholeFile(m_path, "data"));
    for (FileOpen held : {FileOpen::Read, FileOpen::WriteKeep}) {
        auto first = m_platform.OpenFile(m_path, held);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(m_platform.OpenFile(m_path, FileOpen::Read), nullptr);
        EXPECT_EQ(m_platform.OpenFile(m_path, FileOpen::WriteKeep), nullptr);
        EXPECT_EQ(m_platform.OpenFile(m_path, FileOpen::CreateTruncate), nullptr);
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    EXPECT_NE(m_platform.OpenFile(m_path, FileOpen::Read), nullptr) << "closing releases the file";
    EXPECT_EQ(ReadWholeFile(m_path), "data");
}

TEST(WinPlatformConversion, ThreadCodePageOnCurrentSystemsElseTheLocaleDefault) {
    EXPECT_EQ(ConversionCodePage(), static_cast<UINT>(CP_THREAD_ACP));
    EXPECT_EQ(ChooseConversionCodePage(true), static_cast<UINT>(CP_THREAD_ACP));
    char text[8] = {};
    ASSERT_GT(::GetLocaleInfoA(::GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE, text, sizeof text), 0);
    UINT expected = static_cast<UINT>(std::atoi(text));
    EXPECT_EQ(ChooseConversionCodePage(false), expected == 0 ? static_cast<UINT>(CP_ACP) : expected);
}

TEST(WinPlatformConversion, RoundTripsInTheThreadCodePage) {
    Win32Platform platform(nullptr);
    EXPECT_EQ(platform.WideToAnsi(u""), std::string());
    EXPECT_EQ(platform.AnsiToWide(""), std::u16string());
    const std::u16string ascii = u"http://example.test/a?b=c&d=%20";
    EXPECT_EQ(platform.WideToAnsi(ascii), std::string(ascii.begin(), ascii.end()));
    EXPECT_EQ(platform.AnsiToWide(*platform.WideToAnsi(ascii)), ascii);
    // Embedded NULs are characters like any other: the conversions keep the given length.
    const std::u16string withNul(u"a\0b", 3);
    EXPECT_EQ(platform.WideToAnsi(withNul), std::string("a\0b", 3));

    // Text of the thread's code page survives a round trip; under a Western code page the
    // accented letters are single bytes.
    const std::u16string accents = u"caf\u00e9 na\u00efve \u00c4rger";
    auto ansi = platform.WideToAnsi(accents);
    ASSERT_TRUE(ansi.has_value());
    if (::GetACP() == 1252) {
        EXPECT_EQ(ansi->size(), accents.size());
    }
    EXPECT_EQ(platform.AnsiToWide(*ansi), accents);
}

TEST(WinPlatformConversion, TextTheCodePageLacksDoesNotConvertAndThreeByteCharactersFit) {
    Win32Platform platform(nullptr);
    if (::GetACP() == 1252) {
        // Without a failure the system would hand out "?" or a look-alike for these.
        EXPECT_EQ(platform.WideToAnsi(u"http://\u0416.test/"), std::nullopt);
        EXPECT_EQ(platform.WideToAnsi(u"\uff41"), std::nullopt) << "fullwidth a";
        EXPECT_EQ(platform.WideToAnsi(u"?"), "?");
    }
    EXPECT_EQ(WideToAnsiIn(1252, u"caf\u00e9"), "caf\xe9");
    EXPECT_EQ(WideToAnsiIn(1252, u"\u0416"), std::nullopt);
    // Under UTF-8 a character of the basic plane may take three bytes, more than two per
    // character; a surrogate pair takes four; a lone surrogate is no text at all.
    for (std::size_t n : {1u, 3u, 100u, 3000u}) {
        std::u16string text;
        for (std::size_t i = 0; i < n; ++i) text += u"\u65e5";
        EXPECT_EQ(WideToAnsiIn(CP_UTF8, text).value_or("").size(), 3 * n) << n;
    }
    EXPECT_EQ(WideToAnsiIn(CP_UTF8, u"\U0001F600\u20ac"), "\xF0\x9F\x98\x80\xE2\x82\xAC");
    EXPECT_EQ(WideToAnsiIn(CP_UTF8, std::u16string(1, char16_t(0xD800))), std::nullopt);
}

TEST(WinPlatformConversion, DoubleByteThreadLocaleFitsTheTwoBytesPerCharacterBuffer) {
    // The thread's code page follows the thread locale; Japanese makes it the double-byte 932.
    const LCID saved = ::GetThreadLocale();
    if (!::SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), SORT_DEFAULT)))
        GTEST_SKIP() << "no Japanese locale";
    Win32Platform platform(nullptr);
    const std::u16string text = u"\u65e5\u672c\u8a9e/\u30c6\u30b9\u30c8"; // kanji, slash, katakana
    auto ansi = platform.WideToAnsi(text);
    auto wide = ansi ? platform.AnsiToWide(*ansi) : std::nullopt;
    ::SetThreadLocale(saved);
    ASSERT_TRUE(ansi.has_value());
    EXPECT_EQ(ansi->size(), 13u) << "six double-byte characters and the slash";
    EXPECT_EQ(wide, text);
}

TEST_F(WinPlatform, ClockAgreesWithTheSystemLocalTime) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        SYSTEMTIME before{}, after{};
        ::GetLocalTime(&before);
        auto now = m_platform.LocalNow();
        ::GetLocalTime(&after);
        ASSERT_TRUE(now.has_value());
        if (before.wMinute != after.wMinute) continue; // crossed a minute: ask again
        EXPECT_EQ(now->year, before.wYear);
        EXPECT_EQ(now->month, before.wMonth);
        EXPECT_EQ(now->day, before.wDay);
        EXPECT_EQ(now->weekday, before.wDayOfWeek);
        EXPECT_EQ(now->hour, before.wHour);
        EXPECT_EQ(now->minute, before.wMinute);
        return;
    }
    FAIL() << "the minute kept changing";
}

TEST_F(WinPlatform, InternetSessionOpensAndUnreachableAddressesFailQuietly) {
    UniqueInternetHandle session(m_platform, m_platform.OpenInternetSession("Pathvigil"));
    ASSERT_TRUE(session);
    // Port 1 on the loopback refuses at once: no request handle, nothing to read.
    InternetHandle request = m_platform.OpenInternetUrl(session.Get(), "http://127.0.0.1:1/");
    EXPECT_EQ(request, nullptr);
    char buf[8];
    EXPECT_EQ(m_platform.ReadInternetFile(request, buf, sizeof buf), 0u);
    m_platform.CloseInternetHandle(request); // null: nothing happens (the call is what is tested)
    EXPECT_EQ(m_platform.OpenInternetUrl(nullptr, "http://127.0.0.1:1/"), nullptr);
    session.Reset();
}

} // namespace
} // namespace pv::wintest
