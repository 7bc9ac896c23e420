// The indexed lists must answer exactly as the plain linear scan of the stored arrays would,
// through every mixture of appends, duplicates, removals and near misses.
#include <algorithm>
#include <cctype>
#include <random>

#include "tests/support/verdict_fixture.h"

namespace pv::test {
namespace {

struct ReferenceLists {
    std::vector<std::string> prohibited;
    std::vector<std::string> allowed;

    static bool Contains(const std::vector<std::string>& list, const std::string& address) {
        for (const std::string& entry : list)
            if (entry == address) return true;
        return false;
    }
    Listed Classify(const std::string& address) const {
        if (Contains(prohibited, address)) return Listed::Prohibited;
        if (Contains(allowed, address)) return Listed::Allowed;
        return Listed::Neither;
    }
};

class RandomAddresses {
public:
    explicit RandomAddresses(uint32_t seed) : m_rng(seed) {}

    std::string Fresh() {
        static const char* const hosts[] = {"a.test", "b.test", "Shop.test", "xn--d1a.test", ""};
        static const char* const paths[] = {"", "/", "/index.html", "/A/b", "/a/B/", "/?q=1&r=2"};
        std::string s = Pick({"http://", "https://", "HTTP://", "ftp://", ""});
        s += hosts[Below(std::size(hosts))];
        s += std::to_string(Below(40));
        s += paths[Below(std::size(paths))];
        return s;
    }

    // A variant of a known address that differs by case, a slash, a blank or one byte.
    std::string NearMiss(std::string s) {
        switch (Below(6)) {
        case 0:
            if (!s.empty()) {
                char& c = s[Below(s.size())];
                c = std::isupper(static_cast<unsigned char>(c)) ? std::tolower(c) : std::toupper(c);
            }
            break;
        case 1:
            if (!s.empty() && s.back() == '/')
                s.pop_back();
            else
                s.push_back('/');
            break;
        case 2:
            s += ' ';
            break;
        case 3:
            s.insert(0, " ");
            break;
        case 4:
            if (!s.empty()) s.erase(Below(s.size()), 1);
            break;
        default:
            s += static_cast<char>(0x80 + Below(0x80));
            break; // a high ANSI byte
        }
        return s;
    }

    std::size_t Below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(m_rng); }
    std::string Pick(std::initializer_list<const char*> options) {
        return *(options.begin() + Below(options.size()));
    }

private:
    std::mt19937 m_rng;
};

class VerdictRandom : public GuardFixture {};

TEST_F(VerdictRandom, IndexedListsAnswerAsTheLinearScan) {
    Start();
    // The service's verdict depends on the address only, so the expected answer is known.
    auto serviceSays = [](const std::string& url) {
        return std::hash<std::string>{}(url) % 3 == 0 ? std::string("001") : std::string("000");
    };
    std::size_t queries = 0;
    Answer([&](const std::string& url) {
        ++queries;
        return serviceSays(url);
    });

    for (uint32_t seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        for (ListKind kind : {ListKind::Prohibited, ListKind::Allowed}) {
            for (const std::string& entry : m_app->m_data.Entries(kind)) m_app->m_data.RemoveAll(kind, entry);
        }
        RandomAddresses gen(seed);
        ReferenceLists ref;
        std::vector<std::string> known;

        for (int step = 0; step < 600; ++step) {
            const std::size_t action = gen.Below(10);
            if (action < 6 || known.empty()) {
                // Append: a fresh address, a duplicate, a near miss, or the other list's entry.
                std::string text = known.empty() || gen.Below(3) == 0 ? gen.Fresh()
                                   : gen.Below(2)                     ? known[gen.Below(known.size())]
                                                  : gen.NearMiss(known[gen.Below(known.size())]);
                const ListKind kind = gen.Below(2) ? ListKind::Prohibited : ListKind::Allowed;
                m_app->m_data.Append(kind, text);
                (kind == ListKind::Prohibited ? ref.prohibited : ref.allowed).push_back(text);
                known.push_back(text);
            } else if (action < 8) {
                // RemoveAll of a present or absent text.
                const std::string text = gen.Below(4) ? known[gen.Below(known.size())] : gen.Fresh();
                const ListKind kind = gen.Below(2) ? ListKind::Prohibited : ListKind::Allowed;
                auto& list = kind == ListKind::Prohibited ? ref.prohibited : ref.allowed;
                const std::size_t expected =
                    static_cast<std::size_t>(std::count(list.begin(), list.end(), text));
                std::erase(list, text);
                EXPECT_EQ(m_app->m_data.RemoveAll(kind, text), expected);
            } else {
                // Probe known addresses, near misses and fresh ones.
                for (int probe = 0; probe < 20; ++probe) {
                    const std::string address = gen.Below(2)   ? known[gen.Below(known.size())]
                                                : gen.Below(2) ? gen.NearMiss(known[gen.Below(known.size())])
                                                               : gen.Fresh();
                    const Listed expected = ref.Classify(address);
                    ASSERT_EQ(m_app->m_data.Classify(address), expected) << '"' << address << '"';
                    const std::size_t queriesBefore = queries;
                    const int32_t verdict = Judge(address);
                    const bool asked = queries != queriesBefore;
                    switch (expected) {
                    case Listed::Prohibited:
                        EXPECT_EQ(verdict, 0);
                        EXPECT_FALSE(asked);
                        break;
                    case Listed::Allowed:
                        EXPECT_EQ(verdict, 1);
                        EXPECT_FALSE(asked);
                        break;
                    case Listed::Neither:
                        EXPECT_TRUE(asked);
                        EXPECT_EQ(verdict, serviceSays(Query("", "", address)) == "001" ? 0 : 1);
                        break;
                    }
                }
            }
        }
        EXPECT_EQ(m_app->m_data.Entries(ListKind::Prohibited), ref.prohibited);
        EXPECT_EQ(m_app->m_data.Entries(ListKind::Allowed), ref.allowed);
    }
}

} // namespace
} // namespace pv::test
