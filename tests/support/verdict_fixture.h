// A module state on the fake platform, started as the module starts, with a checking service
// answered by a function of the query text.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "guard/schedule_check.h"
#include "guard/verdict.h"
#include "store/vigil_app.h"
#include "tests/support/fake_platform.h"

namespace pv::test {

inline constexpr const char* kServiceURL = "http://svc.test/cgi-bin/checker";

class GuardFixture : public ::testing::Test {
protected:
    void SetUp() override {
        m_fake.SetRegString("checkURL", kServiceURL);
        // Anything that is not an absolute http address cannot be opened, like the real platform.
        Answer([](const std::string&) { return std::string("000"); });
    }

    // Starts the module state; registry values set on `fake` before this call are read.
    CVigilApp& Start() {
        m_app = std::make_unique<CVigilApp>(m_fake);
        EXPECT_TRUE(m_app->Startup());
        return *m_app;
    }

    // The service's reply as a function of the query; requests to a non-http address fail.
    void Answer(std::function<std::optional<std::string>(const std::string&)> reply) {
        m_fake.server = [reply = std::move(reply)](const std::string& url) -> std::optional<std::string> {
            if (url.rfind("http://", 0) != 0) return std::nullopt;
            return reply(url);
        };
    }
    void AnswerAlways(std::string body) {
        Answer([body = std::move(body)](const std::string&) { return body; });
    }

    void Prohibit(const std::string& address) { m_app->m_data.Append(ListKind::Prohibited, address); }
    void Allow(const std::string& address) { m_app->m_data.Append(ListKind::Allowed, address); }

    // JudgeURL as the navigation guard calls it: account name and password absent.
    int32_t Judge(const std::string& address) {
        return JudgeURL(*m_app, W(address), std::nullopt, std::nullopt);
    }

    static std::string Query(const std::string& name, const std::string& password, const std::string& address,
                             const std::string& service = kServiceURL) {
        return service + "?log=" + name + "&pwd=" + password + "&url=" + address;
    }

    FakePlatform m_fake;
    std::unique_ptr<CVigilApp> m_app;
};

} // namespace pv::test
