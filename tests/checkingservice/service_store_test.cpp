// The SQLite store, password handling and the check service over a store, without HTTP.
#include <gtest/gtest.h>
#include <sodium.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <sstream>
#include <thread>

#include "checkingservice/admin.h"
#include "checkingservice/check_service.h"
#include "checkingservice/password.h"
#include "checkingservice/rule_index.h"
#include "checkingservice/audit.h"
#include "checkingservice/sqlite_store.h"
#include "checkingservice/store_copy.h"
#include "tests/checkingservice/store_backends.h"

namespace pv::check {
namespace {

class TempDb {
 public:
  TempDb() {
    path_ = std::filesystem::temp_directory_path() /
            ("pvcheck-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++) + ".db");
  }
  ~TempDb() {
    std::error_code ec;
    for (const char *suffix : {"", "-wal", "-shm"}) {
      std::filesystem::remove(path_.string() + suffix, ec);
    }
  }
  std::string path() const { return path_.string(); }

 private:
  static inline int counter_ = 0;
  std::filesystem::path path_;
};

std::shared_ptr<const RuleIndex> load(ServiceStore &store) {
  IndexBuilder builder;
  const uint64_t generation = store.load(builder);
  return builder.finish(generation);
}

using testing::BackendTest;
class ServiceStore : public BackendTest {};
PV_INSTANTIATE_BACKENDS(ServiceStore);

TEST_P(ServiceStore, EveryChangeRaisesTheGenerationAndReachesTheIndex) {
  const auto opened = open();
  Store &store = *opened;
  uint64_t last = store.generation();
  const auto changed = [&] {
    const uint64_t now = store.generation();
    const bool moved = now > last;
    last = now;
    return moved;
  };
  store.add_account("kid", std::string("h"), Action::Forbid);
  EXPECT_TRUE(changed());
  store.add_rule(Scope::of("kid"), RuleKind::Host, "ok.example", Action::Allow);
  EXPECT_TRUE(changed());
  store.add_rule(Scope::global(), RuleKind::Domain, "bad.example", Action::Forbid);
  EXPECT_TRUE(changed());
  store.create_list("games");
  EXPECT_TRUE(changed());
  const std::pair<RuleKind, std::string> entries[] = {{RuleKind::Domain, "game.example"},
                                                      {RuleKind::Domain, "game.example"},
                                                      {RuleKind::Host, "play.example"}};
  EXPECT_EQ(store.add_list_entries("games", entries, false), 2u);
  EXPECT_TRUE(changed());
  store.attach("games", Scope::of("kid"), Action::Forbid);
  EXPECT_TRUE(changed());
  store.set_relocation("*", "http://elsewhere.example/c");
  EXPECT_TRUE(changed());
  EXPECT_FALSE(store.remove_rule(Scope::global(), RuleKind::Host, "absent.example"));
  EXPECT_FALSE(changed());

  const auto index = load(store);
  EXPECT_EQ(index->generation(), last);
  const RuleIndex::Account *kid = index->find_account("kid");
  ASSERT_NE(kid, nullptr);
  EXPECT_EQ(kid->password_hash, "h");
  EXPECT_EQ(index->decide(*kid, parse_address("http://ok.example/")).verdict, Verdict::Allow);
  EXPECT_EQ(index->decide(*kid, parse_address("http://x.bad.example/")).verdict,
            Verdict::Forbid);
  EXPECT_EQ(index->decide(*kid, parse_address("http://play.example/")).verdict,
            Verdict::Forbid);
  EXPECT_EQ(index->decide(*kid, parse_address("http://neutral.example/")).verdict,
            Verdict::Forbid);
  EXPECT_EQ(index->decide(index->stranger(), parse_address("http://ok.example/")).verdict,
            Verdict::Relocate);
  EXPECT_EQ(index->stranger().relocation, "http://elsewhere.example/c");
}

TEST_P(ServiceStore, RemovingAnAccountTakesItsRulesAndAttachments) {
  const auto opened = open();
  Store &store = *opened;
  store.add_account("gone", std::nullopt, Action::Allow);
  store.create_list("l");
  store.add_rule(Scope::of("gone"), RuleKind::Host, "a.example", Action::Forbid);
  store.attach("l", Scope::of("gone"), Action::Forbid);
  store.remove_account("gone");
  EXPECT_TRUE(store.rules(std::nullopt).empty());
  EXPECT_TRUE(store.attachments().empty());
  // A new account must not inherit anything of the old one.
  store.add_account("gone", std::nullopt, Action::Allow);
  EXPECT_TRUE(store.rules(Scope::of("gone")).empty());

  EXPECT_THROW(store.remove_account("*"), StoreError);
  EXPECT_THROW(store.set_password("*", "x"), StoreError);
  EXPECT_THROW(store.add_account("gone", std::nullopt, Action::Allow), StoreError);
  EXPECT_THROW(store.add_rule(Scope::of("nobody"), RuleKind::Host, "a", Action::Forbid),
               StoreError);
  EXPECT_THROW(store.attach("nolist", Scope::global(), Action::Forbid), StoreError);
}

TEST_P(ServiceStore, ReplacingImportAndQueryLogBound) {
  const auto opened = open();
  Store &store = *opened;
  store.create_list("l");
  const std::pair<RuleKind, std::string> first[] = {{RuleKind::Domain, "a.example"},
                                                    {RuleKind::Domain, "b.example"}};
  const std::pair<RuleKind, std::string> second[] = {{RuleKind::Domain, "c.example"}};
  store.add_list_entries("l", first, false);
  store.add_list_entries("l", second, true);
  const auto entries = store.list_entries("l", 10);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].second, "c.example");

  std::vector<QueryLogRecord> records;
  for (int i = 0; i < 7; ++i) {
    records.push_back({i, "kid", true, "http://x/" + std::to_string(i), "001", "default"});
  }
  store.append_query_log(records, 5);
  const auto kept = store.query_log(100, std::nullopt);
  ASSERT_EQ(kept.size(), 5u);
  EXPECT_EQ(kept.front().address, "http://x/2");
  EXPECT_EQ(kept.back().address, "http://x/6");
  EXPECT_TRUE(store.query_log(100, std::string("other")).empty());
}

// A batch sent again (its commit's reply lost) is recognised by its id and written once, with
// its counters; and the health rows keep what an instance says about its last outage.
TEST_P(ServiceStore, ABatchSentTwiceIsWrittenOnceAndHealthKeepsTheOutage) {
  const auto opened = open();
  Store &store = *opened;
  const QueryLogRecord batch[] = {{1, "kid", true, "http://a/", "001", "default"},
                                  {2, "kid", true, "http://b/", "000", "default"}};
  EXPECT_TRUE(store.append_query_log(batch, 100, {"east/1", 1}));
  EXPECT_FALSE(store.append_query_log(batch, 100, {"east/1", 1}));
  EXPECT_TRUE(store.append_query_log(batch, 100, {"east/2", 1}));  // the next start
  EXPECT_TRUE(store.append_query_log({batch, 1}, 100, {"east/1", 2}));
  EXPECT_FALSE(store.append_query_log(batch, 100, {"east/1", 1}));
  EXPECT_EQ(store.log_rows(), 5u);
  EXPECT_EQ(store.hourly_counters(0).at(0).queries, 5u);
  EXPECT_EQ(db().query("SELECT writer, sequence FROM log_batches ORDER BY writer"),
            "east/1|2|east/2|1");

  ServiceHealth health;
  health.instance = "east";
  health.time_ms = 9000;
  health.outage_since_ms = 1000;
  health.outage_ms = 7000;
  health.outage_buffered = 40;
  health.outage_dropped = 3;
  store.report_health(health);
  health.stopped_ms = 9500;
  store.report_health(health);
  const auto rows = store.health();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].outage_since_ms, 1000);
  EXPECT_EQ(rows[0].outage_ms, 7000);
  EXPECT_EQ(rows[0].outage_buffered, 40u);
  EXPECT_EQ(rows[0].outage_dropped, 3u);
  EXPECT_EQ(rows[0].stopped_ms, 9500);
}

// Imports go in batches of rows: every batch boundary, a short last batch and repeats inside
// one batch must still count and store each entry once.
TEST_P(ServiceStore, LargeImportCountsEveryEntryOnce) {
  const auto opened = open();
  Store &store = *opened;
  store.create_list("l");
  std::vector<std::pair<RuleKind, std::string>> entries;
  for (int i = 0; i < 200; ++i) entries.emplace_back(RuleKind::Domain, "d" + std::to_string(i));
  entries.emplace_back(RuleKind::Host, "d7");  // same key, other kind: a separate entry
  entries.emplace_back(RuleKind::Domain, "d3");
  EXPECT_EQ(store.add_list_entries("l", entries, false), 201u);
  EXPECT_EQ(store.add_list_entries("l", std::span(entries).first(130), false), 0u);
  EXPECT_EQ(store.lists().at(0).entries, 201u);
  EXPECT_EQ(store.list_entries("l", 1000).back(), std::make_pair(RuleKind::Host, std::string("d7")));
}

TEST_P(ServiceStore, ASecondConnectionSeesCommittedChanges) {
  const auto service_opened = open();
  const auto admin_opened = open(OpenMode::Existing);
  Store &service_side = *service_opened, &admin_side = *admin_opened;
  const uint64_t before = service_side.generation();
  admin_side.add_rule(Scope::global(), RuleKind::Host, "late.example", Action::Forbid);
  EXPECT_GT(service_side.generation(), before);
  const auto index = load(service_side);
  EXPECT_EQ(index->decide(index->stranger(), parse_address("http://late.example/")).verdict,
            Verdict::Forbid);
}

// Every entry of every list and kind reaches the index, also around lists without entries
// and kinds with a single one.
TEST_P(ServiceStore, EveryListEntryIsLoaded) {
  const auto opened = open();
  Store &store = *opened;
  const std::vector<std::pair<RuleKind, std::string>> first = {
      {RuleKind::Domain, "a.example"}, {RuleKind::Domain, "b.example"},
      {RuleKind::Exact, "http://c.example/x"}, {RuleKind::Host, "d.example"},
      {RuleKind::Prefix, "e.example/p/"}};
  const std::vector<std::pair<RuleKind, std::string>> third = {{RuleKind::Host, "f.example"},
                                                               {RuleKind::Prefix, "g.example/"}};
  store.create_list("first");
  store.create_list("empty");
  store.create_list("third");
  store.add_list_entries("first", first, false);
  store.add_list_entries("third", third, false);
  for (const char *list : {"first", "empty", "third"}) {
    store.attach(list, Scope::global(), Action::Forbid);
  }
  const auto index = load(store);
  EXPECT_EQ(index->rule_count(), first.size() + third.size());
  for (const char *address : {"http://a.example/", "http://x.b.example/", "http://c.example/x",
                              "http://d.example/", "http://e.example/p/q", "http://f.example/",
                              "http://g.example/"}) {
    EXPECT_EQ(index->decide(index->stranger(), parse_address(address)).verdict, Verdict::Forbid)
        << address;
  }
}

// The service's replacement of a costlier hash is no administrative change, and never
// overwrites a password changed meanwhile.
TEST_P(ServiceStore, PasswordHashUpgradesOnlyReplaceTheHashTheyWereMadeFrom) {
  const auto opened = open();
  Store &store = *opened;
  store.add_account("kid", std::string("old"), Action::Allow);
  const uint64_t generation = store.generation();
  const size_t audited = store.audit({}).size();
  EXPECT_TRUE(store.upgrade_password_hash("kid", "old", "new"));
  EXPECT_FALSE(store.upgrade_password_hash("kid", "old", "other"));  // another instance's
  store.set_password("kid", "changed");
  EXPECT_FALSE(store.upgrade_password_hash("kid", "new", "late"));
  EXPECT_FALSE(store.upgrade_password_hash("nobody", "old", "new"));
  const auto accounts = store.accounts();
  const auto kid = std::find_if(accounts.begin(), accounts.end(),
                                [](const AccountRecord &a) { return a.name == "kid"; });
  ASSERT_NE(kid, accounts.end());
  EXPECT_EQ(kid->password_hash, "changed");
  EXPECT_EQ(store.generation(), generation + 1);  // the administrator's change alone
  EXPECT_EQ(store.audit({}).size(), audited);
}

// Existing databases of an older schema are refused until migrated, and keep their rows
// through the migration; a newer one is refused by every mode and left as it is.
TEST_P(ServiceStore, SchemaVersionsAreMigratedForwardAndNewerOnesRefused) {
  {
    const auto created = open();
    const QueryLogRecord old_record{1, "kid", true, "http://old.example/", "001", "default"};
    created->append_query_log({&old_record, 1}, 10);
  }
  db().execute("ALTER TABLE query_log DROP COLUMN instance; DROP TABLE log_batches; "
               "ALTER TABLE service_health DROP COLUMN outage_since_ms; "
               "ALTER TABLE service_health DROP COLUMN outage_ms; "
               "ALTER TABLE service_health DROP COLUMN outage_buffered; "
               "ALTER TABLE service_health DROP COLUMN outage_dropped; "
               "ALTER TABLE service_health DROP COLUMN stopped_ms; "
               "UPDATE meta SET value = '1' WHERE key = 'schema'");
  try {
    open(OpenMode::Existing);
    ADD_FAILURE() << "a version 1 database was opened";
  } catch (const StoreError &e) {
    EXPECT_NE(std::string(e.what()).find("migrate"), std::string::npos) << e.what();
  }
  EXPECT_EQ(open(OpenMode::Migrate)->opened_version(), 1);
  const auto migrated = open(OpenMode::Existing);
  EXPECT_EQ(migrated->opened_version(), kSchemaVersion);
  migrated->set_instance("east");
  const QueryLogRecord new_record{2, "kid", true, "http://new.example/", "000", "default"};
  migrated->append_query_log({&new_record, 1}, 10);
  const auto log = migrated->query_log(10, std::nullopt);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].address, "http://old.example/");
  EXPECT_EQ(db().query("SELECT instance FROM query_log ORDER BY id"), "|east");

  const std::string newer = std::to_string(kSchemaVersion + 1);
  db().execute("UPDATE meta SET value = '" + newer + "' WHERE key = 'schema'");
  for (const OpenMode mode : {OpenMode::Existing, OpenMode::Migrate, OpenMode::Create}) {
    try {
      open(mode);
      ADD_FAILURE() << "a version " << newer << " database was opened";
    } catch (const StoreError &e) {
      EXPECT_NE(std::string(e.what()).find("newer"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(db().query("SELECT value FROM meta WHERE key = 'schema'"), newer);
}

// A whole SQLite deployment moves into PostgreSQL with its ids, and goes on from there.
TEST_P(ServiceStore, SqliteDatabaseCopiedIntoPostgres) {
  if (GetParam() != testing::Backend::Postgres) GTEST_SKIP() << "the target is PostgreSQL";
  testing::TestDatabase file(testing::Backend::Sqlite);
  {
    const auto source = file.open();
    AuditedAdminStore audited(*source, *source, "alice");
    audited.add_account("kid", std::string("$argon2id$hash"), Action::Forbid);
    audited.add_account("gone", std::nullopt, Action::Allow);
    audited.remove_account("gone");  // leaves a hole in the ids
    audited.add_account("tab\tname", std::nullopt, Action::Allow);
    audited.add_rule(Scope::of("kid"), RuleKind::Prefix, "a.example/x\ty\\z", Action::Allow);
    audited.create_list("games");
    const std::pair<RuleKind, std::string> entries[] = {{RuleKind::Domain, "game.example"}};
    audited.add_list_entries("games", entries, false);
    audited.attach("games", Scope::of("kid"), Action::Forbid);
    source->add_administrator("alice", "adminhash");
    source->create_session("digest", {"alice", "csrf", 1, 2});
    source->set_instance("old");
    const QueryLogRecord log[] = {{5, "kid", true, "http://a/\n", "001", "default"},
                                  {6, "x", false, std::string("nul\0inside", 10), "000", "y"}};
    source->append_query_log(log, 100, {"old/1", 7});
  }
  std::ostringstream report;
  copy_sqlite_to_postgres(file.address(), db().address(), report);
  EXPECT_NE(report.str().find("query_log\t2 rows copied and checked"), std::string::npos)
      << report.str();
  EXPECT_NE(report.str().find("log_batches\t1 rows copied and checked"), std::string::npos);
  const auto source = file.open(OpenMode::Existing);
  const auto target = open(OpenMode::Existing);
  ASSERT_EQ(target->accounts().size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(target->accounts()[i].id, source->accounts()[i].id);
    EXPECT_EQ(target->accounts()[i].password_hash, source->accounts()[i].password_hash);
  }
  EXPECT_EQ(target->rules(std::nullopt)[0].key, "a.example/x\ty\\z");
  EXPECT_EQ(target->attachments().size(), 1u);
  EXPECT_EQ(target->audit({}).size(), source->audit({}).size());
  EXPECT_TRUE(target->touch_session("digest", 3, 1000, 1000));
  EXPECT_EQ(target->query_log(10, std::nullopt)[1].address, "nul\\x00inside");
  EXPECT_EQ(target->generation(), source->generation());
  // New rows continue after the copied ids; a second copy finds the target in use.
  target->add_account("new", std::nullopt, Action::Allow);
  EXPECT_THROW(copy_sqlite_to_postgres(file.address(), db().address(), report), StoreError);
}

TEST(ServicePassword, HashVerifyAndCache) {
  ASSERT_TRUE(init_crypto());
  const std::string hash = hash_password("s3cret", HashCost::Minimum);
  EXPECT_EQ(hash.rfind("$argon2id$", 0), 0u);
  EXPECT_EQ(hash.find("s3cret"), std::string::npos);
  EXPECT_TRUE(verify_password(hash, "s3cret"));
  EXPECT_FALSE(verify_password(hash, "s3cre"));
  EXPECT_FALSE(verify_password("", "s3cret"));
  EXPECT_FALSE(verify_password(std::string(500, 'x'), "s3cret"));

  CredentialChecker checker(0, 2);  // two slow checks, never refilled
  EXPECT_EQ(checker.check_now("kid", hash, "s3cret"), true);
  EXPECT_EQ(checker.check_now("kid", hash, "wrong"), false);
  // Both outcomes now come from the cache, with the budget spent.
  EXPECT_EQ(checker.check_now("kid", hash, "s3cret"), true);
  EXPECT_EQ(checker.check_now("kid", hash, "wrong"), false);
  EXPECT_EQ(checker.check_now("kid", hash, "third"), std::nullopt);
  EXPECT_FALSE(
      checker.check_later("kid", hash, "third", [] { return std::function<void()>(); }).waiting);
  // A changed stored hash (new password) is a different key.
  const std::string rehashed = hash_password("s3cret", HashCost::Minimum);
  EXPECT_EQ(checker.known("kid", rehashed, "s3cret"), CredentialChecker::Outcome::Unknown);
  EXPECT_EQ(checker.known("other", hash, "s3cret"), CredentialChecker::Outcome::Unknown);
  EXPECT_EQ(checker.known("kid", hash, "s3cret"), CredentialChecker::Outcome::Verified);
}

// A hash costlier in memory than the service's cost is replaced after a successful check by
// one of that cost, already remembered as verified; cheaper ones and failures stay as they are.
TEST(ServicePassword, CostlierHashesAreUpgradedAfterASuccessfulCheck) {
  ASSERT_TRUE(init_crypto());
  char old_hash[crypto_pwhash_STRBYTES];
  ASSERT_EQ(crypto_pwhash_str_alg(old_hash, "pw", 2, 1, 2 * kHashMemory,
                                  crypto_pwhash_ALG_ARGON2ID13), 0);
  EXPECT_EQ(hash_memory(old_hash), 2 * kHashMemory);
  EXPECT_EQ(hash_memory(hash_password("pw")), kHashMemory);
  EXPECT_EQ(hash_memory("$argon2id$v=19$m=x,t=2,p=1$a$b"), 0u);

  CredentialChecker checker(10, 10);
  EXPECT_EQ(checker.check_now("kid", old_hash, "wrong"), false);
  EXPECT_TRUE(checker.take_upgrades().empty());
  EXPECT_EQ(checker.check_now("kid", hash_password("pw", HashCost::Minimum), "pw"), true);
  EXPECT_TRUE(checker.take_upgrades().empty());
  EXPECT_EQ(checker.check_now("kid", old_hash, "pw"), true);
  const auto upgrades = checker.take_upgrades();
  ASSERT_EQ(upgrades.size(), 1u);
  EXPECT_EQ(upgrades[0].name, "kid");
  EXPECT_EQ(upgrades[0].old_hash, old_hash);
  EXPECT_NE(upgrades[0].new_hash.find("$m=9216,t=4,"), std::string::npos) << upgrades[0].new_hash;
  EXPECT_TRUE(verify_password(upgrades[0].new_hash, "pw"));
  EXPECT_EQ(checker.known("kid", upgrades[0].new_hash, "pw"), CredentialChecker::Outcome::Verified);
}

TEST(ServicePasswordThreads, SlowChecksRunOnTheWorkerAndWakeEveryWaiter) {
  ASSERT_TRUE(init_crypto());
  const std::string hash = hash_password("pw", HashCost::Minimum);
  CredentialChecker checker(0, 1);  // one slow check in all
  std::mutex mutex;
  std::condition_variable cv;
  int woken = 0;
  const auto done = [&] {
    return std::function<void()>([&] {
      std::lock_guard lock(mutex);
      ++woken;
      cv.notify_all();
    });
  };
  // Three queries with the same pair share one check and one unit of the budget.
  EXPECT_TRUE(checker.check_later("kid", hash, "pw", done).waiting);
  EXPECT_TRUE(checker.check_later("kid", hash, "pw", done).waiting);
  EXPECT_TRUE(checker.check_later("kid", hash, "pw", done).waiting);
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return woken == 3; }));
  }
  EXPECT_EQ(checker.known("kid", hash, "pw"), CredentialChecker::Outcome::Verified);
  EXPECT_EQ(checker.check_later("kid", hash, "pw", done).outcome,
            CredentialChecker::Outcome::Verified);
  // The budget is spent: another pair is not checked at all.
  EXPECT_FALSE(checker.check_later("kid", hash, "other", done).waiting);
  EXPECT_EQ(checker.known("kid", hash, "other"), CredentialChecker::Outcome::Unknown);
}

TEST(ServiceAnswer, RepliesVerificationAndLog) {
  ASSERT_TRUE(init_crypto());
  TempDb db;
  SqliteStore store(db.path());
  store.add_account("kid", hash_password("pw", HashCost::Minimum), Action::Allow);
  store.add_account("moved", hash_password("pw", HashCost::Minimum), Action::Allow);
  store.set_relocation("moved", "http://new.example/c");
  store.add_rule(Scope::global(), RuleKind::Domain, "bad.example", Action::Forbid);
  store.add_rule(Scope::of("kid"), RuleKind::Host, "ok.bad.example", Action::Allow);

  CheckService service({});
  service.publish(load(store));
  CheckService::Context &context = service.new_context();
  const auto ask = [&](std::string_view target) {
    const Reply reply = service.answer(context, "GET", target, "127.0.0.1");
    return std::to_string(reply.status) + " " + reply.body;
  };
  EXPECT_EQ(ask("/cgi-bin/checker?log=kid&pwd=pw&url=http://ok.bad.example/"), "200 000");
  EXPECT_EQ(ask("/cgi-bin/checker?log=kid&pwd=nope&url=http://ok.bad.example/"), "200 001");
  EXPECT_EQ(ask("/cgi-bin/checker?log=&pwd=&url=http://ok.bad.example/"), "200 001");
  EXPECT_EQ(ask("/cgi-bin/checker?log=moved&pwd=pw&url=http://a/"), "200 004http://new.example/c");
  EXPECT_EQ(ask("/cgi-bin/checker?log=moved&pwd=bad&url=http://a/"), "200 000");
  EXPECT_EQ(ask("/cgi-bin/checker?log=kid&pwd=pw&url="), "200 000");
  EXPECT_EQ(ask("/cgi-bin/checker?log=kid&pwd=pw"), "400 000");
  EXPECT_EQ(ask("/elsewhere?log=kid&pwd=pw&url=http://bad.example/"), "404 000");
  EXPECT_EQ(service.answer(context, "POST", "/cgi-bin/checker?url=x", "p").status, 405);

  const auto log = service.take_log();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[0].account, "kid");
  EXPECT_TRUE(log[0].verified);
  EXPECT_EQ(log[0].reason, "account host");
  EXPECT_FALSE(log[1].verified);
  EXPECT_EQ(log[1].verdict, "001");
  EXPECT_EQ(log[3].verdict, "004");
  for (const auto &record : log) {
    EXPECT_EQ(record.address.find("pw"), std::string::npos);
    EXPECT_EQ(record.reason.find("pw"), std::string::npos);
  }
  EXPECT_TRUE(service.take_log().empty());
}

// A pair whose password cannot be checked (here: the client's budget is spent) is answered by
// the stricter of its account and the stranger profile, and never moved.
TEST(ServiceAnswer, UncheckedPairsGetTheStricterVerdict) {
  ASSERT_TRUE(init_crypto());
  TempDb db;
  SqliteStore store(db.path());
  const std::string hash = hash_password("pw", HashCost::Minimum);
  store.add_account("strict", hash, Action::Forbid);
  store.add_account("open", hash, Action::Allow);
  store.add_account("moved", hash, Action::Allow);
  store.set_relocation("moved", "http://new.example/c");
  store.add_rule(Scope::of("open"), RuleKind::Host, "x.example", Action::Allow);
  store.add_rule(Scope::of("*"), RuleKind::Host, "x.example", Action::Forbid);
  ServiceOptions options;
  options.verify_per_second = 0;
  options.verify_burst = 1;  // one slow check for the one client, never refilled
  CheckService service(options);
  service.publish(load(store));
  CheckService::Context &context = service.new_context();
  const auto ask = [&](std::string_view query) {
    return service.answer(context, "GET", "/cgi-bin/checker?" + std::string(query), "p").body;
  };
  EXPECT_EQ(ask("log=open&pwd=wrong&url=http://y.example/"), "000");  // spends the budget
  EXPECT_EQ(ask("log=strict&pwd=pw&url=http://y.example/"), "001");
  EXPECT_EQ(ask("log=open&pwd=pw&url=http://x.example/"), "001");
  EXPECT_EQ(ask("log=open&pwd=pw&url=http://y.example/"), "000");
  EXPECT_EQ(ask("log=moved&pwd=pw&url=http://y.example/"), "000");
  const auto log = service.take_log();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_FALSE(log[1].verified);
  EXPECT_EQ(log[1].reason, "default, password not checked");
}

// Records of several serving threads come out oldest first, and a batch taken for writing
// keeps counting against the bound until it is released.
TEST(ServiceAnswer, QueryLogIsTakenInTimeOrderAndBounded) {
  const std::string query = "/cgi-bin/checker?url=http://x.example/";
  size_t record_bytes = 0;
  {
    CheckService service({});
    CheckService::Context &a = service.new_context();
    CheckService::Context &b = service.new_context();
    for (CheckService::Context *context : {&a, &b, &a, &b}) {
      service.answer(*context, "GET", query, "p");
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    const auto log = service.take_log();
    ASSERT_EQ(log.size(), 4u);
    for (size_t i = 1; i < log.size(); ++i) EXPECT_LT(log[i - 1].time_ms, log[i].time_ms);
    record_bytes = queued_bytes(log[0]);
  }
  ServiceOptions options;
  options.log_queue_bytes = 8 * record_bytes;
  CheckService service(options);
  CheckService::Context &context = service.new_context();
  for (int i = 0; i < 5; ++i) service.answer(context, "GET", query, "p");
  size_t held = 0;
  EXPECT_EQ(service.take_log(&held).size(), 5u);
  for (int i = 0; i < 5; ++i) service.answer(context, "GET", query, "p");
  EXPECT_EQ(service.take_log().size(), 3u);  // the held batch takes up the rest
  EXPECT_EQ(service.dropped_log_records(), 2u);
  service.release_log(held);
  for (int i = 0; i < 8; ++i) service.answer(context, "GET", query, "p");
  EXPECT_EQ(service.take_log().size(), 8u);
}

// Answers keep flowing, each from one whole index, while new indexes are published and the
// query log is drained; no record is lost.
TEST(CheckServiceThreads, AnswersWhileIndexesAreSwapped) {
  CheckService service({});
  const auto index_forbidding = [](bool forbid, uint64_t generation) {
    IndexBuilder builder;
    builder.account({1, "*", std::nullopt, forbid ? Action::Forbid : Action::Allow, ""});
    return builder.finish(generation);
  };
  constexpr int kThreads = 3;
  constexpr int kAnswers = 5000;
  std::atomic<int> bad{0};
  std::atomic<int> running{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    CheckService::Context &context = service.new_context();
    threads.emplace_back([&, ctx = &context] {
      for (int i = 0; i < kAnswers; ++i) {
        const Reply reply = service.answer(*ctx, "GET", "/cgi-bin/checker?url=http://a/", "p");
        if (reply.body != "000" && reply.body != "001") ++bad;
      }
      --running;
    });
  }
  size_t logged = 0;
  uint64_t generation = 1;
  while (running.load() > 0) {
    service.publish(index_forbidding(generation % 2 == 0, generation));
    ++generation;
    logged += service.take_log().size();
  }
  for (auto &thread : threads) thread.join();
  logged += service.take_log().size();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(logged, static_cast<size_t>(kThreads * kAnswers));
  EXPECT_EQ(service.index()->generation(), generation - 1);
}

uint64_t store_keep(const std::string &path) {
  SqliteStore store(path, SqliteStore::Open::Existing);
  return store.log_keep();
}

TEST(ServiceAdmin, CommandLineRoundTrip) {
  TempDb db;
  const auto run = [&](std::vector<std::string> args, std::string input = "") {
    args.insert(args.begin(), {"--db", db.path()});
    std::istringstream in(input);
    std::ostringstream out, err;
    const int rc = run_admin(args, in, out, err);
    return std::to_string(rc) + ":" + out.str() + err.str();
  };
  // Only init creates a database; a mistyped name is reported, not created.
  EXPECT_EQ(run({"account", "list"}).substr(0, 2), "1:");
  EXPECT_FALSE(std::filesystem::exists(db.path()));
  EXPECT_EQ(run({"init"}), "0:");
  EXPECT_EQ(run({"migrate"}), "0:schema version " + std::to_string(kSchemaVersion) + " already\n");
  EXPECT_EQ(run({"copy-to", "other.db"}).substr(0, 2), "2:");
  EXPECT_EQ(run({"account", "add", "kid", "--password-stdin", "--cost", "minimum"}, "pw\r\n")
                .substr(0, 2),
            "0:");
  EXPECT_EQ(run({"account", "add", "empty", "--password-stdin"}, "\n").substr(0, 2), "2:");
  // The password on the command line works, with a warning.
  const std::string shown = run({"account", "add", "visible", "--password", "x", "--cost",
                                 "minimum"});
  EXPECT_EQ(shown.substr(0, 2), "0:");
  EXPECT_NE(shown.find("process list"), std::string::npos);
  EXPECT_EQ(run({"account", "add", "bad&name"}).substr(0, 2), "2:");
  EXPECT_EQ(run({"account", "move", "kid", "ftp://x/"}).substr(0, 2), "2:");
  EXPECT_EQ(run({"rule", "add", "--global", "forbid", "host", "x.example/path"}).substr(0, 2),
            "2:");
  EXPECT_EQ(run({"rule", "add", "forbid", "host", "x.example"}).substr(0, 2), "2:");
  EXPECT_EQ(run({"rule", "add", "--account", "kid", "forbid", "domain", "*.X.example"}),
            "0:forbid domain x.example\n");
  EXPECT_EQ(run({"check", "kid", "http://a.x.example/"}), "0:001\taccount domain\n");
  for (const char *bad : {"many", "-5", "1; x", " 3", "99999999999999999999999"}) {
    EXPECT_EQ(run({"log", "keep", bad}).substr(0, 2), "2:") << bad;
    EXPECT_EQ(run({"log", "show", "--limit", bad}).substr(0, 2), "2:") << bad;
  }
  EXPECT_EQ(run({"log", "keep", "7"}), "0:");
  EXPECT_EQ(store_keep(db.path()), 7u);
  EXPECT_EQ(run({"bogus"}).substr(0, 2), "2:");

  SqliteStore store(db.path());
  const auto accounts = store.accounts();
  ASSERT_EQ(accounts.size(), 3u);
  ASSERT_TRUE(accounts[1].password_hash);
  EXPECT_TRUE(verify_password(*accounts[1].password_hash, "pw"));
}

}  // namespace
}  // namespace pv::check
