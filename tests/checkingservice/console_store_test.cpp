// The store's console side: counters across restarts and their bounds, the audit trail's
// all-or-nothing records, sessions, log search and cancelled imports.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "checkingservice/admin.h"
#include "checkingservice/audit.h"
#include "checkingservice/rule_index.h"
#include "tests/checkingservice/store_backends.h"

namespace pv::check {
namespace {

constexpr int64_t kHour = 3600 * 1000;
constexpr int64_t kDay = 24 * kHour;

using testing::BackendTest;
class ConsoleStore : public BackendTest {};
PV_INSTANTIATE_BACKENDS(ConsoleStore);

QueryLogRecord record(int64_t time_ms, std::string verdict,
                      std::string address = "http://a.example/", std::string account = "kid") {
  return {time_ms, std::move(account), true, std::move(address), std::move(verdict), "default"};
}

TEST_P(ConsoleStore, CountersSurviveRestartsAndFoldIntoDaysThenGo) {
  const int64_t day0 = 1000 * kDay;  // a UTC midnight
  {
    const auto first = open();
    Store &store = *first;
    const QueryLogRecord batch[] = {record(day0 + 10, "000"), record(day0 + 20, "001"),
                                    record(day0 + kHour + 5, "001")};
    store.append_query_log(batch, 1);  // the log keeps one record; the counters keep all
  }
  const auto opened = open();
  Store &store = *opened;
  const QueryLogRecord later[] = {record(day0 + 30, "001")};
  store.append_query_log(later, 1);
  auto hours = store.hourly_counters(0);
  ASSERT_EQ(hours.size(), 2u);
  EXPECT_EQ(hours[0].start_ms, day0);
  EXPECT_EQ(hours[0].queries, 3u);
  EXPECT_EQ(hours[0].forbidden, 2u);
  EXPECT_EQ(hours[1].queries, 1u);

  // 31 days on, the first day's hours are folded into one daily row, totals unchanged.
  const QueryLogRecord month[] = {record(day0 + 31 * kDay, "000")};
  store.append_query_log(month, 10);
  hours = store.hourly_counters(0);
  ASSERT_EQ(hours.size(), 1u);
  const auto days = store.daily_counters(0);
  ASSERT_EQ(days.size(), 2u);
  EXPECT_EQ(days[0].start_ms, day0);
  EXPECT_EQ(days[0].queries, 4u);
  EXPECT_EQ(days[0].forbidden, 3u);
  EXPECT_EQ(days[1].queries, 1u);

  // Past the daily bound the old day goes.
  const QueryLogRecord year[] = {record(day0 + 500 * kDay, "000")};
  store.append_query_log(year, 10);
  const auto kept = store.daily_counters(0);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].start_ms, day0 + 500 * kDay);
}

TEST_P(ConsoleStore, TopsCountEveryQueryOfTheDayWithinTheirBounds) {
  const auto opened = open();
  Store &store = *opened;
  const int64_t hour0 = 1000 * kDay;
  std::vector<QueryLogRecord> batch;
  for (int i = 0; i < 3; ++i) batch.push_back(record(hour0 + i, "001", "http://X.bad.example/"));
  batch.push_back(record(hour0 + 5, "000", "http://ok.example/", "other"));
  store.append_query_log(batch, 1);  // the log keeps one record; the tops count all
  const QueryLogRecord next_hour[] = {record(hour0 + kHour, "001", "http://y.bad.example/")};
  store.append_query_log(next_hour, 1);
  auto hosts = store.top_counts(TopKind::ForbiddenHost, hour0, 10);
  ASSERT_EQ(hosts.rows.size(), 2u);
  EXPECT_EQ(hosts.rows[0].key, "x.bad.example");
  EXPECT_EQ(hosts.rows[0].count, 3u);
  EXPECT_EQ(store.top_counts(TopKind::ForbiddenAddress, hour0, 10).rows[0].key,
            "http://X.bad.example/");
  const auto accounts = store.top_counts(TopKind::Account, hour0, 10).rows;
  ASSERT_EQ(accounts.size(), 2u);
  EXPECT_EQ(accounts[0].key, "kid");
  EXPECT_EQ(accounts[0].count, 4u);
  EXPECT_EQ(store.top_counts(TopKind::Rule, hour0, 10).rows[0].count, 5u);
  EXPECT_EQ(store.top_counts(TopKind::ForbiddenHost, hour0 + kHour, 10).rows.size(), 1u);

  // A flood of distinct addresses in one hour: past the bound only the total is kept, and
  // keys already held go on counting.
  batch.clear();
  const int64_t hour2 = hour0 + 2 * kHour;
  for (uint64_t i = 0; i < kTopKeysPerHour + 7; ++i) {
    batch.push_back(record(hour2, "001", "http://h" + std::to_string(i) + ".example/"));
  }
  batch.push_back(record(hour2 + 1, "001", "http://h0.example/"));
  store.append_query_log(batch, 10);
  hosts = store.top_counts(TopKind::ForbiddenHost, hour2, kTopKeysPerHour * 2);
  uint64_t total = hosts.others;
  for (const auto &row : hosts.rows) total += row.count;
  EXPECT_EQ(hosts.rows.size(), kTopKeysPerHour);
  EXPECT_EQ(total, kTopKeysPerHour + 8);

  // A day and an hour on, the old hours are gone.
  const QueryLogRecord day_on[] = {record(hour2 + kTopHours * kHour, "000")};
  store.append_query_log(day_on, 10);
  EXPECT_TRUE(store.top_counts(TopKind::ForbiddenHost, 0, 10).rows.empty());
  EXPECT_EQ(store.top_counts(TopKind::ForbiddenHost, 0, 10).others, 0u);
}

TEST_P(ConsoleStore, AuditRecordsChangesWithBothStatesOrNothing) {
  const auto opened = open();
  Store &store = *opened;
  AuditedAdminStore audited(store, store, "alice");
  audited.add_account("kid", std::string("h"), Action::Allow);
  audited.add_rule(Scope::global(), RuleKind::Domain, "bad.example", Action::Forbid);
  audited.add_rule(Scope::global(), RuleKind::Domain, "bad.example", Action::Forbid);  // no-op
  audited.add_rule(Scope::global(), RuleKind::Domain, "bad.example", Action::Allow);
  EXPECT_THROW(audited.set_policy("nobody", Action::Forbid), StoreError);
  const uint64_t generation = store.generation();
  // A change whose record cannot be written is not kept either.
  EXPECT_THROW(audited.record(
                   "x", "y", [] { return std::string("a"); },
                   [&] {
                     store.add_rule(Scope::global(), RuleKind::Host, "h.example", Action::Forbid);
                     throw StoreError("disk full");
                   },
                   [] { return std::string("b"); }),
               StoreError);
  EXPECT_EQ(store.generation(), generation);
  EXPECT_EQ(store.rule_page(Scope::global(), "h.example", 0, 10).total, 0u);

  const auto trail = store.audit({});
  ASSERT_EQ(trail.size(), 3u);
  EXPECT_EQ(trail[0].action, "rule.add");
  EXPECT_EQ(trail[0].before, "forbid domain bad.example");
  EXPECT_EQ(trail[0].after, "allow domain bad.example");
  EXPECT_EQ(trail[2].action, "account.add");
  EXPECT_EQ(trail[2].actor, "alice");
  EXPECT_EQ(trail[2].after, "policy allow, password");
  AuditFilter filter;
  filter.text = "bad.example";
  EXPECT_EQ(store.audit(filter).size(), 2u);
  filter.actor = "bob";
  EXPECT_TRUE(store.audit(filter).empty());
}

TEST_P(ConsoleStore, SessionsExpireAndEndWithTheirAdministrator) {
  const auto opened = open();
  Store &store = *opened;
  store.add_administrator("alice", "hash");
  EXPECT_THROW(store.add_administrator("alice", "hash"), StoreError);
  store.create_session("d1", {"alice", "c1", 1000, 1000});
  store.create_session("d2", {"alice", "c2", 1000, 1000});
  const auto live = store.touch_session("d1", 5000, 10000, 100000);
  ASSERT_TRUE(live);
  EXPECT_EQ(live->csrf, "c1");
  EXPECT_FALSE(store.touch_session("d2", 12000, 10000, 100000));   // idle too long
  EXPECT_TRUE(store.touch_session("d1", 12000, 10000, 100000));    // kept alive by use
  EXPECT_FALSE(store.touch_session("d1", 101000, 10000, 100000));  // past its lifetime
  store.create_session("d3", {"alice", "c3", 200000, 200000});
  EXPECT_TRUE(store.remove_administrator("alice"));
  EXPECT_FALSE(store.touch_session("d3", 200001, 10000, 100000));
  EXPECT_FALSE(store.remove_administrator("alice"));
}

TEST_P(ConsoleStore, LogSearchFiltersPagesAndTimeRanges) {
  const auto opened = open();
  Store &store = *opened;
  std::vector<QueryLogRecord> records;
  for (int i = 0; i < 100; ++i) {
    records.push_back(record(i * 1000, i % 3 == 0 ? "001" : "000",
                             "http://site" + std::to_string(i) + ".example/50%_off",
                             i % 2 ? "odd" : "even"));
  }
  store.append_query_log(records, 1000);
  LogFilter filter;
  filter.limit = 10;
  auto page = store.search_log(filter);
  ASSERT_EQ(page.size(), 10u);
  EXPECT_EQ(page[0].record.time_ms, 99000);
  filter.before_id = page.back().id;
  EXPECT_EQ(store.search_log(filter)[0].record.time_ms, 89000);

  LogFilter narrow;
  narrow.account = "even";
  narrow.verdict = "001";
  narrow.from_ms = 10000;
  narrow.to_ms = 40000;  // i in [10, 40): even and divisible by 3: 12, 18, 24, 30, 36
  narrow.limit = 100;
  page = store.search_log(narrow);
  ASSERT_EQ(page.size(), 5u);
  EXPECT_EQ(page[0].record.time_ms, 36000);
  EXPECT_EQ(page[4].record.time_ms, 12000);

  LogFilter text;
  text.text = "site7";  // site7, site70..79
  text.limit = 100;
  EXPECT_EQ(store.search_log(text).size(), 11u);
  text.text = "%_";  // taken literally
  EXPECT_EQ(store.search_log(text).size(), 100u);
  text.text = "x%";
  EXPECT_TRUE(store.search_log(text).empty());
  text.text = "site";  // a bounded part of the log: ids in (after_id, before_id)
  text.after_id = page[0].id;  // the record of time 36000 (see narrow)
  text.before_id = page[0].id + 11;
  const auto part = store.search_log(text);
  ASSERT_EQ(part.size(), 10u);
  EXPECT_EQ(part.front().record.time_ms, 46000);
  EXPECT_EQ(part.back().record.time_ms, 37000);
}

TEST_P(ConsoleStore, CancelledImportChangesNothingAndRenameKeepsEntries) {
  const auto opened = open();
  Store &store = *opened;
  store.create_list("big");
  std::vector<std::pair<RuleKind, std::string>> entries;
  for (int i = 0; i < 10000; ++i)
    entries.emplace_back(RuleKind::Domain, "d" + std::to_string(i) + ".example");
  const uint64_t generation = store.generation();
  EXPECT_THROW(
      store.import_list_entries("big", entries, false, [](uint64_t done) { return done < 8000; }),
      StoreError);
  EXPECT_EQ(store.generation(), generation);
  EXPECT_EQ(store.list_page("big", "", 0, 10).total, 0u);
  uint64_t last = 0;
  EXPECT_EQ(store.import_list_entries("big", entries, false,
                                      [&](uint64_t done) {
                                        last = done;
                                        return true;
                                      }),
            10000u);
  EXPECT_EQ(last, 10000u);
  store.rename_list("big", "huge");
  EXPECT_THROW(store.rename_list("huge", "huge"), StoreError);
  const auto page = store.list_page("huge", "d99", 0, 3);
  EXPECT_EQ(page.total, 111u);  // d99, d990..d999, d9900..d9999
  ASSERT_EQ(page.entries.size(), 3u);
  EXPECT_EQ(page.entries[0].second, "d99.example");
}

TEST_P(ConsoleStore, CheckAnswersLikeTheServiceForPasswordlessAccounts) {
  const auto opened = open();
  Store &store = *opened;
  store.add_account("nopass", std::nullopt, Action::Forbid);
  store.add_account("kid", std::string("h"), Action::Forbid);
  IndexBuilder builder;
  const auto index = builder.finish(store.load(builder));
  EXPECT_EQ(check_address(*index, "kid", "http://x.example/").reply, "001");
  const CheckAnswer nopass = check_address(*index, "nopass", "http://x.example/");
  EXPECT_FALSE(nopass.known_account);
  EXPECT_EQ(nopass.reply, "000");  // the stranger profile allows by default
}

}  // namespace
}  // namespace pv::check
