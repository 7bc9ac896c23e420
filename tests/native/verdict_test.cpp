#include "tests/support/verdict_fixture.h"

namespace pv::test {
namespace {

class Verdict : public GuardFixture {};

TEST_F(Verdict, ListsDecideBeforeTheServiceAndProhibitedWins) {
    Start();
    Prohibit("http://bad.test/");
    Allow("http://good.test/");
    Prohibit("http://both.test/");
    Allow("http://both.test/");
    AnswerAlways("001"); // the service would forbid everything it is asked about

    EXPECT_EQ(Judge("http://bad.test/"), 0);
    EXPECT_EQ(Judge("http://good.test/"), 1);
    EXPECT_EQ(Judge("http://both.test/"), 0);
    EXPECT_TRUE(m_fake.Requests().empty()) << "a listed address must not reach the service";

    EXPECT_EQ(Judge("http://other.test/"), 0);
    EXPECT_EQ(m_fake.Requests(), std::vector<std::string>{Query("", "", "http://other.test/")});
}

TEST_F(Verdict, MatchingIsExactByteForByte) {
    Start();
    Prohibit("http://Bad.test/page");
    Allow("http://good.test");
    AnswerAlways("000");
    // Near misses by case, trailing slash, prefix, scheme or blank all go on to the service.
    const char* nearMisses[] = {"http://bad.test/page",  "http://Bad.test/page/", "http://Bad.test/pag",
                                "https://Bad.test/page", "http://Bad.test/page ", "http://good.test/",
                                "HTTP://good.test",      " http://good.test"};
    for (const char* address : nearMisses) EXPECT_EQ(Judge(address), 1) << address;
    EXPECT_EQ(m_fake.Requests().size(), std::size(nearMisses));

    EXPECT_EQ(Judge("http://Bad.test/page"), 0);
    EXPECT_EQ(Judge("http://good.test"), 1);
    EXPECT_EQ(m_fake.Requests().size(), std::size(nearMisses));
}

TEST_F(Verdict, EmptyListsSendEveryAddressToTheService) {
    Start();
    Answer([](const std::string& url) {
        return std::string(url.find("url=http://no.test/") != std::string::npos ? "001" : "000");
    });
    EXPECT_EQ(Judge("http://no.test/"), 0);
    EXPECT_EQ(Judge("http://yes.test/"), 1);
    EXPECT_EQ(m_fake.Requests().size(), 2u);
}

TEST_F(Verdict, RaisedPassFlagAllowsOnceWithoutListsOrService) {
    Start();
    Prohibit("http://bad.test/");
    m_app->RaisePassOnce();
    EXPECT_EQ(Judge("http://bad.test/"), 1);
    EXPECT_FALSE(m_app->PassOnceRaised());
    EXPECT_EQ(Judge("http://bad.test/"), 0);

    m_app->RaisePassOnce();
    EXPECT_EQ(Judge("http://unlisted.test/"), 1);
    EXPECT_TRUE(m_fake.Requests().empty()) << "the pass flag decides before any query";
}

TEST_F(Verdict, AbsentAccountValuesAreFilledEmptyOnesAreNot) {
    m_fake.SetRegString("name", "family");
    m_fake.SetRegString("ps", "s3cret");
    Start();
    JudgeURL(*m_app, W("http://a.test/"), std::nullopt, std::nullopt);
    JudgeURL(*m_app, W("http://a.test/"), W(""), W(""));
    JudgeURL(*m_app, W("http://a.test/"), W("guest"), std::nullopt);
    JudgeURL(*m_app, W("http://a.test/"), std::nullopt, W("pw"));
    EXPECT_EQ(m_fake.Requests(), (std::vector<std::string>{
                                     Query("family", "s3cret", "http://a.test/"),
                                     Query("", "", "http://a.test/"),
                                     Query("guest", "s3cret", "http://a.test/"),
                                     Query("family", "pw", "http://a.test/"),
                                 }));
}

TEST_F(Verdict, UnconvertibleAddressIsForbiddenAbsentOneComparedAsEmpty) {
    Start();
    Allow("");
    Allow("http://?.test/");
    // U+0416 has no byte in the fake's code page: the conversion fails. Neither the lists nor the
    // service can judge the real address, so it is forbidden without asking.
    EXPECT_EQ(JudgeURL(*m_app, WideString(u"http://\u0416.test/"), std::nullopt, std::nullopt), 0);
    EXPECT_EQ(JudgeURL(*m_app, WideString(u"http://x.test/\xffff\u0416"), W("name"), W("pw")), 0);
    EXPECT_TRUE(m_fake.Requests().empty());
    // A raised pass flag still lets the guard's own next navigation through.
    m_app->RaisePassOnce();
    EXPECT_EQ(JudgeURL(*m_app, WideString(u"http://\u0416.test/"), std::nullopt, std::nullopt), 1);

    // An absent address is the empty text: an empty entry matches it, and without one it is asked.
    EXPECT_EQ(JudgeURL(*m_app, std::nullopt, std::nullopt, std::nullopt), 1);
    m_app->m_data.RemoveAll(ListKind::Allowed, "");
    Prohibit("http://x.test/");
    EXPECT_EQ(JudgeURL(*m_app, std::nullopt, std::nullopt, std::nullopt), 1);
    EXPECT_EQ(m_fake.Requests(), std::vector<std::string>{Query("", "", "")});
    Prohibit("");
    EXPECT_EQ(JudgeURL(*m_app, std::nullopt, std::nullopt, std::nullopt), 0);
}

TEST_F(Verdict, NulInsideTheAddressEndsIt) {
    Start();
    Prohibit("http://x.test/");
    WideString withNul = W("http://x.test/");
    withNul.push_back(u'\0');
    withNul += W("tail");
    EXPECT_EQ(JudgeURL(*m_app, withNul, std::nullopt, std::nullopt), 0);

    WideString other = W("http://y.test/");
    other.push_back(u'\0');
    other += W("&url=http://smuggled/");
    EXPECT_EQ(JudgeURL(*m_app, other, std::nullopt, std::nullopt), 1);
    EXPECT_EQ(m_fake.Requests(), std::vector<std::string>{Query("", "", "http://y.test/")});
}

TEST_F(Verdict, ListEditsTakeEffectAtOnce) {
    Start();
    EXPECT_EQ(Judge("http://a.test/"), 1);
    Prohibit("http://a.test/");
    EXPECT_EQ(Judge("http://a.test/"), 0);
    m_app->m_data.RemoveAll(ListKind::Prohibited, "http://a.test/");
    Allow("http://a.test/");
    EXPECT_EQ(Judge("http://a.test/"), 1);
    EXPECT_EQ(m_fake.Requests().size(), 1u);
}

} // namespace
} // namespace pv::test
