// The store's console side: counters across restarts and their bounds, the audit trail's
// all-or-nothing records, sessions, log search and cancelled imports.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "checkingservice/admin/admin.h"
#include "checkingservice/index/rule_index.h"
#include "checkingservice/storage/audit.h"
#include "tests/checkingservice/store_backends.h"

namespace pv::check {
namespace {

constexpr int64_t kHour = 3600 * 1000;
constexpr int64_t kDay = 24 * kHour;

using testing::BackendTest;
class ConsoleStore : public BackendTest {};
PV_INSTANTIATE_BACKENDS(ConsoleStore);

QueryLogRecord Record(int64_t timeMs, std::string verdict, std::string address = "http://a.example/",
                      std::string account = "kid") {
    return {timeMs, std::move(account), true, std::move(address), std::move(verdict), "default"};
}

TEST_P(ConsoleStore, CountersSurviveRestartsAndFoldIntoDaysThenGo) {
    const int64_t day0 = 1000 * kDay; // a UTC midnight
    {
        const auto first = Open();
        Store& store = *first;
        const QueryLogRecord batch[] = {Record(day0 + 10, "000"), Record(day0 + 20, "001"),
                                        Record(day0 + kHour + 5, "001")};
        store.AppendQueryLog(batch, 1); // the log keeps one record; the counters keep all
    }
    const auto opened = Open();
    Store& store = *opened;
    const QueryLogRecord later[] = {Record(day0 + 30, "001")};
    store.AppendQueryLog(later, 1);
    auto hours = store.HourlyCounters(0);
    ASSERT_EQ(hours.size(), 2u);
    EXPECT_EQ(hours[0].startMs, day0);
    EXPECT_EQ(hours[0].queries, 3u);
    EXPECT_EQ(hours[0].forbidden, 2u);
    EXPECT_EQ(hours[1].queries, 1u);

    // 31 days on, the first day's hours are folded into one daily row, totals unchanged.
    const QueryLogRecord month[] = {Record(day0 + 31 * kDay, "000")};
    store.AppendQueryLog(month, 10);
    hours = store.HourlyCounters(0);
    ASSERT_EQ(hours.size(), 1u);
    const auto days = store.DailyCounters(0);
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days[0].startMs, day0);
    EXPECT_EQ(days[0].queries, 4u);
    EXPECT_EQ(days[0].forbidden, 3u);
    EXPECT_EQ(days[1].queries, 1u);

    // Past the daily bound the old day goes.
    const QueryLogRecord year[] = {Record(day0 + 500 * kDay, "000")};
    store.AppendQueryLog(year, 10);
    const auto kept = store.DailyCounters(0);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].startMs, day0 + 500 * kDay);
}

TEST_P(ConsoleStore, TopsCountEveryQueryOfTheDayWithinTheirBounds) {
    const auto opened = Open();
    Store& store = *opened;
    const int64_t hour0 = 1000 * kDay;
    std::vector<QueryLogRecord> batch;
    for (int i = 0; i < 3; ++i) batch.push_back(Record(hour0 + i, "001", "http://X.bad.example/"));
    batch.push_back(Record(hour0 + 5, "000", "http://ok.example/", "other"));
    store.AppendQueryLog(batch, 1); // the log keeps one record; the tops count all
    const QueryLogRecord nextHour[] = {Record(hour0 + kHour, "001", "http://y.bad.example/")};
    store.AppendQueryLog(nextHour, 1);
    auto hosts = store.GetTopCounts(TopKind::ForbiddenHost, hour0, 10);
    ASSERT_EQ(hosts.rows.size(), 2u);
    EXPECT_EQ(hosts.rows[0].key, "x.bad.example");
    EXPECT_EQ(hosts.rows[0].count, 3u);
    EXPECT_EQ(store.GetTopCounts(TopKind::ForbiddenAddress, hour0, 10).rows[0].key, "http://X.bad.example/");
    const auto accounts = store.GetTopCounts(TopKind::Account, hour0, 10).rows;
    ASSERT_EQ(accounts.size(), 2u);
    EXPECT_EQ(accounts[0].key, "kid");
    EXPECT_EQ(accounts[0].count, 4u);
    EXPECT_EQ(store.GetTopCounts(TopKind::Rule, hour0, 10).rows[0].count, 5u);
    EXPECT_EQ(store.GetTopCounts(TopKind::ForbiddenHost, hour0 + kHour, 10).rows.size(), 1u);

    // A flood of distinct addresses in one hour: past the bound only the total is kept, and
    // keys already held go on counting.
    batch.clear();
    const int64_t hour2 = hour0 + 2 * kHour;
    for (uint64_t i = 0; i < kTopKeysPerHour + 7; ++i) {
        batch.push_back(Record(hour2, "001", "http://h" + std::to_string(i) + ".example/"));
    }
    batch.push_back(Record(hour2 + 1, "001", "http://h0.example/"));
    store.AppendQueryLog(batch, 10);
    hosts = store.GetTopCounts(TopKind::ForbiddenHost, hour2, kTopKeysPerHour * 2);
    uint64_t total = hosts.others;
    for (const auto& row : hosts.rows) total += row.count;
    EXPECT_EQ(hosts.rows.size(), kTopKeysPerHour);
    EXPECT_EQ(total, kTopKeysPerHour + 8);

    // A day and an hour on, the old hours are gone.
    const QueryLogRecord dayOn[] = {Record(hour2 + kTopHours * kHour, "000")};
    store.AppendQueryLog(dayOn, 10);
    EXPECT_TRUE(store.GetTopCounts(TopKind::ForbiddenHost, 0, 10).rows.empty());
    EXPECT_EQ(store.GetTopCounts(TopKind::ForbiddenHost, 0, 10).others, 0u);
}

TEST_P(ConsoleStore, AuditRecordsChangesWithBothStatesOrNothing) {
    const auto opened = Open();
    Store& store = *opened;
    AuditedAdminStore audited(store, store, "alice");
    audited.AddAccount("kid", std::string("h"), Action::Allow);
    audited.AddRule(Scope::Global(), RuleKind::Domain, "bad.example", Action::Forbid);
    audited.AddRule(Scope::Global(), RuleKind::Domain, "bad.example", Action::Forbid); // no-op
    audited.AddRule(Scope::Global(), RuleKind::Domain, "bad.example", Action::Allow);
    EXPECT_THROW(audited.SetPolicy("nobody", Action::Forbid), StoreError);
    const uint64_t generation = store.Generation();
    // A change whose record cannot be written is not kept either.
    EXPECT_THROW(audited.Record(
                     "x", "y", [] { return std::string("a"); },
                     [&] {
                         store.AddRule(Scope::Global(), RuleKind::Host, "h.example", Action::Forbid);
                         throw StoreError("disk full");
                     },
                     [] { return std::string("b"); }),
                 StoreError);
    EXPECT_EQ(store.Generation(), generation);
    EXPECT_EQ(store.GetRulePage(Scope::Global(), "h.example", 0, 10).total, 0u);

    const auto trail = store.Audit({});
    ASSERT_EQ(trail.size(), 3u);
    EXPECT_EQ(trail[0].action, "rule.add");
    EXPECT_EQ(trail[0].before, "forbid domain bad.example");
    EXPECT_EQ(trail[0].after, "allow domain bad.example");
    EXPECT_EQ(trail[2].action, "account.add");
    EXPECT_EQ(trail[2].actor, "alice");
    EXPECT_EQ(trail[2].after, "policy allow, password");
    AuditFilter filter;
    filter.text = "bad.example";
    EXPECT_EQ(store.Audit(filter).size(), 2u);
    filter.actor = "bob";
    EXPECT_TRUE(store.Audit(filter).empty());
}

TEST_P(ConsoleStore, SessionsExpireAndEndWithTheirAdministrator) {
    const auto opened = Open();
    Store& store = *opened;
    store.AddAdministrator("alice", "hash");
    EXPECT_THROW(store.AddAdministrator("alice", "hash"), StoreError);
    store.CreateSession("d1", {"alice", "c1", 1000, 1000});
    store.CreateSession("d2", {"alice", "c2", 1000, 1000});
    const auto live = store.TouchSession("d1", 5000, 10000, 100000);
    ASSERT_TRUE(live);
    EXPECT_EQ(live->csrf, "c1");
    EXPECT_FALSE(store.TouchSession("d2", 12000, 10000, 100000));  // idle too long
    EXPECT_TRUE(store.TouchSession("d1", 12000, 10000, 100000));   // kept alive by use
    EXPECT_FALSE(store.TouchSession("d1", 101000, 10000, 100000)); // past its lifetime
    store.CreateSession("d3", {"alice", "c3", 200000, 200000});
    EXPECT_TRUE(store.RemoveAdministrator("alice"));
    EXPECT_FALSE(store.TouchSession("d3", 200001, 10000, 100000));
    EXPECT_FALSE(store.RemoveAdministrator("alice"));
}

TEST_P(ConsoleStore, LogSearchFiltersPagesAndTimeRanges) {
    const auto opened = Open();
    Store& store = *opened;
    std::vector<QueryLogRecord> records;
    for (int i = 0; i < 100; ++i) {
        records.push_back(Record(i * 1000, i % 3 == 0 ? "001" : "000",
                                 "http://site" + std::to_string(i) + ".example/50%_off",
                                 i % 2 ? "odd" : "even"));
    }
    store.AppendQueryLog(records, 1000);
    LogFilter filter;
    filter.limit = 10;
    auto page = store.SearchLog(filter);
    ASSERT_EQ(page.size(), 10u);
    EXPECT_EQ(page[0].record.timeMs, 99000);
    filter.beforeId = page.back().id;
    EXPECT_EQ(store.SearchLog(filter)[0].record.timeMs, 89000);

    LogFilter narrow;
    narrow.account = "even";
    narrow.verdict = "001";
    narrow.fromMs = 10000;
    narrow.toMs = 40000; // i in [10, 40): even and divisible by 3: 12, 18, 24, 30, 36
    narrow.limit = 100;
    page = store.SearchLog(narrow);
    ASSERT_EQ(page.size(), 5u);
    EXPECT_EQ(page[0].record.timeMs, 36000);
    EXPECT_EQ(page[4].record.timeMs, 12000);

    LogFilter text;
    text.text = "site7"; // site7, site70..79
    text.limit = 100;
    EXPECT_EQ(store.SearchLog(text).size(), 11u);
    text.text = "%_"; // taken literally
    EXPECT_EQ(store.SearchLog(text).size(), 100u);
    text.text = "x%";
    EXPECT_TRUE(store.SearchLog(text).empty());
    text.text = "site";        // a bounded part of the log: ids in (after_id, before_id)
    text.afterId = page[0].id; // the record of time 36000 (see narrow)
    text.beforeId = page[0].id + 11;
    const auto part = store.SearchLog(text);
    ASSERT_EQ(part.size(), 10u);
    EXPECT_EQ(part.front().record.timeMs, 46000);
    EXPECT_EQ(part.back().record.timeMs, 37000);
}

TEST_P(ConsoleStore, CancelledImportChangesNothingAndRenameKeepsEntries) {
    const auto opened = Open();
    Store& store = *opened;
    store.CreateList("big");
    std::vector<std::pair<RuleKind, std::string>> entries;
    for (int i = 0; i < 10000; ++i)
        entries.emplace_back(RuleKind::Domain, "d" + std::to_string(i) + ".example");
    const uint64_t generation = store.Generation();
    EXPECT_THROW(store.ImportListEntries("big", entries, false, [](uint64_t done) { return done < 8000; }),
                 StoreError);
    EXPECT_EQ(store.Generation(), generation);
    EXPECT_EQ(store.ListPage("big", "", 0, 10).total, 0u);
    uint64_t last = 0;
    EXPECT_EQ(store.ImportListEntries("big", entries, false,
                                      [&](uint64_t done) {
                                          last = done;
                                          return true;
                                      }),
              10000u);
    EXPECT_EQ(last, 10000u);
    store.RenameList("big", "huge");
    EXPECT_THROW(store.RenameList("huge", "huge"), StoreError);
    const auto page = store.ListPage("huge", "d99", 0, 3);
    EXPECT_EQ(page.total, 111u); // d99, d990..d999, d9900..d9999
    ASSERT_EQ(page.entries.size(), 3u);
    EXPECT_EQ(page.entries[0].second, "d99.example");
}

TEST_P(ConsoleStore, CheckAnswersLikeTheServiceForPasswordlessAccounts) {
    const auto opened = Open();
    Store& store = *opened;
    store.AddAccount("nopass", std::nullopt, Action::Forbid);
    store.AddAccount("kid", std::string("h"), Action::Forbid);
    IndexBuilder builder;
    const auto index = builder.Finish(store.Load(builder));
    EXPECT_EQ(CheckAddress(*index, "kid", "http://x.example/").reply, "001");
    const CheckAnswer nopass = CheckAddress(*index, "nopass", "http://x.example/");
    EXPECT_FALSE(nopass.knownAccount);
    EXPECT_EQ(nopass.reply, "000"); // the stranger profile allows by default
}

} // namespace
} // namespace pv::check
