// The SQLite store, password handling and the check service over a store, without HTTP.
#include <gtest/gtest.h>
#include <sodium.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <sstream>
#include <thread>

#include "checkingservice/admin/admin.h"
#include "checkingservice/checking/check_service.h"
#include "checkingservice/checking/password.h"
#include "checkingservice/index/rule_index.h"
#include "checkingservice/storage/audit.h"
#include "checkingservice/storage/sqlite_store.h"
#include "checkingservice/storage/store_copy.h"
#include "tests/checkingservice/store_backends.h"

namespace pv::check {
namespace {

class TempDb {
public:
    TempDb() {
        m_path = std::filesystem::temp_directory_path() /
                 ("pvcheck-" + std::to_string(::getpid()) + "-" + std::to_string(s_counter++) + ".db");
    }
    ~TempDb() {
        std::error_code ec;
        for (const char* suffix : {"", "-wal", "-shm"}) {
            std::filesystem::remove(m_path.string() + suffix, ec);
        }
    }
    std::string Path() const { return m_path.string(); }

private:
    static inline int s_counter = 0;
    std::filesystem::path m_path;
};

std::shared_ptr<const RuleIndex> Load(ServiceStore& store) {
    IndexBuilder builder;
    const uint64_t generation = store.Load(builder);
    return builder.Finish(generation);
}

using testing::BackendTest;
class ServiceStore : public BackendTest {};
PV_INSTANTIATE_BACKENDS(ServiceStore);

TEST_P(ServiceStore, EveryChangeRaisesTheGenerationAndReachesTheIndex) {
    const auto opened = Open();
    Store& store = *opened;
    uint64_t last = store.Generation();
    const auto changed = [&] {
        const uint64_t now = store.Generation();
        const bool moved = now > last;
        last = now;
        return moved;
    };
    store.AddAccount("kid", std::string("h"), Action::Forbid);
    EXPECT_TRUE(changed());
    store.AddRule(Scope::Of("kid"), RuleKind::Host, "ok.example", Action::Allow);
    EXPECT_TRUE(changed());
    store.AddRule(Scope::Global(), RuleKind::Domain, "bad.example", Action::Forbid);
    EXPECT_TRUE(changed());
    store.CreateList("games");
    EXPECT_TRUE(changed());
    const std::pair<RuleKind, std::string> entries[] = {{RuleKind::Domain, "game.example"},
                                                        {RuleKind::Domain, "game.example"},
                                                        {RuleKind::Host, "play.example"}};
    EXPECT_EQ(store.AddListEntries("games", entries, false), 2u);
    EXPECT_TRUE(changed());
    store.Attach("games", Scope::Of("kid"), Action::Forbid);
    EXPECT_TRUE(changed());
    store.SetRelocation("*", "http://elsewhere.example/c");
    EXPECT_TRUE(changed());
    EXPECT_FALSE(store.RemoveRule(Scope::Global(), RuleKind::Host, "absent.example"));
    EXPECT_FALSE(changed());

    const auto index = Load(store);
    EXPECT_EQ(index->Generation(), last);
    const RuleIndex::Account* kid = index->FindAccount("kid");
    ASSERT_NE(kid, nullptr);
    EXPECT_EQ(kid->passwordHash, "h");
    EXPECT_EQ(index->Decide(*kid, ParseAddress("http://ok.example/")).verdict, Verdict::Allow);
    EXPECT_EQ(index->Decide(*kid, ParseAddress("http://x.bad.example/")).verdict, Verdict::Forbid);
    EXPECT_EQ(index->Decide(*kid, ParseAddress("http://play.example/")).verdict, Verdict::Forbid);
    EXPECT_EQ(index->Decide(*kid, ParseAddress("http://neutral.example/")).verdict, Verdict::Forbid);
    EXPECT_EQ(index->Decide(index->Stranger(), ParseAddress("http://ok.example/")).verdict,
              Verdict::Relocate);
    EXPECT_EQ(index->Stranger().relocation, "http://elsewhere.example/c");
}

TEST_P(ServiceStore, RemovingAnAccountTakesItsRulesAndAttachments) {
    const auto opened = Open();
    Store& store = *opened;
    store.AddAccount("gone", std::nullopt, Action::Allow);
    store.CreateList("l");
    store.AddRule(Scope::Of("gone"), RuleKind::Host, "a.example", Action::Forbid);
    store.Attach("l", Scope::Of("gone"), Action::Forbid);
    store.RemoveAccount("gone");
    EXPECT_TRUE(store.Rules(std::nullopt).empty());
    EXPECT_TRUE(store.Attachments().empty());
    // A new account must not inherit anything of the old one.
    store.AddAccount("gone", std::nullopt, Action::Allow);
    EXPECT_TRUE(store.Rules(Scope::Of("gone")).empty());

    EXPECT_THROW(store.RemoveAccount("*"), StoreError);
    EXPECT_THROW(store.SetPassword("*", "x"), StoreError);
    EXPECT_THROW(store.AddAccount("gone", std::nullopt, Action::Allow), StoreError);
    EXPECT_THROW(store.AddRule(Scope::Of("nobody"), RuleKind::Host, "a", Action::Forbid), StoreError);
    EXPECT_THROW(store.Attach("nolist", Scope::Global(), Action::Forbid), StoreError);
}

TEST_P(ServiceStore, ReplacingImportAndQueryLogBound) {
    const auto opened = Open();
    Store& store = *opened;
    store.CreateList("l");
    const std::pair<RuleKind, std::string> first[] = {{RuleKind::Domain, "a.example"},
                                                      {RuleKind::Domain, "b.example"}};
    const std::pair<RuleKind, std::string> second[] = {{RuleKind::Domain, "c.example"}};
    store.AddListEntries("l", first, false);
    store.AddListEntries("l", second, true);
    const auto entries = store.ListEntries("l", 10);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].second, "c.example");

    std::vector<QueryLogRecord> records;
    for (int i = 0; i < 7; ++i) {
        records.push_back({i, "kid", true, "http://x/" + std::to_string(i), "001", "default"});
    }
    store.AppendQueryLog(records, 5);
    const auto kept = store.QueryLog(100, std::nullopt);
    ASSERT_EQ(kept.size(), 5u);
    EXPECT_EQ(kept.front().address, "http://x/2");
    EXPECT_EQ(kept.back().address, "http://x/6");
    EXPECT_TRUE(store.QueryLog(100, std::string("other")).empty());
}

// A batch sent again (its commit's reply lost) is recognised by its id and written once, with
// its counters; and the health rows keep what an instance says about its last outage.
TEST_P(ServiceStore, ABatchSentTwiceIsWrittenOnceAndHealthKeepsTheOutage) {
    const auto opened = Open();
    Store& store = *opened;
    const QueryLogRecord batch[] = {{1, "kid", true, "http://a/", "001", "default"},
                                    {2, "kid", true, "http://b/", "000", "default"}};
    constexpr LogWrite kRows = LogWrite::RowsAndCounts;
    EXPECT_TRUE(store.AppendQueryLog(batch, 100, {"east/1", 1}, kRows));
    EXPECT_FALSE(store.AppendQueryLog(batch, 100, {"east/1", 1}, kRows));
    EXPECT_TRUE(store.AppendQueryLog(batch, 100, {"east/2", 1}, kRows)); // the next start
    EXPECT_TRUE(store.AppendQueryLog({batch, 1}, 100, {"east/1", 2}, kRows));
    EXPECT_FALSE(store.AppendQueryLog(batch, 100, {"east/1", 1}, kRows));
    // Records that would not stay in the log are counted, leaving the rows as they were.
    EXPECT_TRUE(store.AppendQueryLog(batch, 1, {"east/1", 3}, LogWrite::CountsOnly));
    EXPECT_FALSE(store.AppendQueryLog(batch, 1, {"east/1", 3}, LogWrite::CountsOnly));
    EXPECT_EQ(store.LogRows(), 5u);
    EXPECT_EQ(store.HourlyCounters(0).at(0).queries, 7u);
    EXPECT_EQ(store.HourlyCounters(0).at(0).forbidden, 4u);
    EXPECT_EQ(Db().Query("SELECT writer, sequence FROM log_batches ORDER BY writer"), "east/1|3|east/2|1");

    ServiceHealth health;
    health.instance = "east";
    health.timeMs = 9000;
    health.outageSinceMs = 1000;
    health.outageMs = 7000;
    health.outageBuffered = 40;
    health.outageDropped = 3;
    store.ReportHealth(health);
    health.stoppedMs = 9500;
    store.ReportHealth(health);
    const auto rows = store.Health();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].outageSinceMs, 1000);
    EXPECT_EQ(rows[0].outageMs, 7000);
    EXPECT_EQ(rows[0].outageBuffered, 40u);
    EXPECT_EQ(rows[0].outageDropped, 3u);
    EXPECT_EQ(rows[0].stoppedMs, 9500);
}

// Imports go in batches of rows: every batch boundary, a short last batch and repeats inside
// one batch must still count and store each entry once.
TEST_P(ServiceStore, LargeImportCountsEveryEntryOnce) {
    const auto opened = Open();
    Store& store = *opened;
    store.CreateList("l");
    std::vector<std::pair<RuleKind, std::string>> entries;
    for (int i = 0; i < 200; ++i) entries.emplace_back(RuleKind::Domain, "d" + std::to_string(i));
    entries.emplace_back(RuleKind::Host, "d7"); // same key, other kind: a separate entry
    entries.emplace_back(RuleKind::Domain, "d3");
    EXPECT_EQ(store.AddListEntries("l", entries, false), 201u);
    EXPECT_EQ(store.AddListEntries("l", std::span(entries).first(130), false), 0u);
    EXPECT_EQ(store.Lists().at(0).entries, 201u);
    EXPECT_EQ(store.ListEntries("l", 1000).back(), std::make_pair(RuleKind::Host, std::string("d7")));
}

TEST_P(ServiceStore, ASecondConnectionSeesCommittedChanges) {
    const auto serviceOpened = Open();
    const auto adminOpened = Open(OpenMode::Existing);
    Store &serviceSide = *serviceOpened, &adminSide = *adminOpened;
    const uint64_t before = serviceSide.Generation();
    adminSide.AddRule(Scope::Global(), RuleKind::Host, "late.example", Action::Forbid);
    EXPECT_GT(serviceSide.Generation(), before);
    const auto index = Load(serviceSide);
    EXPECT_EQ(index->Decide(index->Stranger(), ParseAddress("http://late.example/")).verdict,
              Verdict::Forbid);
}

// Every entry of every list and kind reaches the index, also around lists without entries
// and kinds with a single one.
TEST_P(ServiceStore, EveryListEntryIsLoaded) {
    const auto opened = Open();
    Store& store = *opened;
    const std::vector<std::pair<RuleKind, std::string>> first = {{RuleKind::Domain, "a.example"},
                                                                 {RuleKind::Domain, "b.example"},
                                                                 {RuleKind::Exact, "http://c.example/x"},
                                                                 {RuleKind::Host, "d.example"},
                                                                 {RuleKind::Prefix, "e.example/p/"}};
    const std::vector<std::pair<RuleKind, std::string>> third = {{RuleKind::Host, "f.example"},
                                                                 {RuleKind::Prefix, "g.example/"}};
    store.CreateList("first");
    store.CreateList("empty");
    store.CreateList("third");
    store.AddListEntries("first", first, false);
    store.AddListEntries("third", third, false);
    for (const char* list : {"first", "empty", "third"}) {
        store.Attach(list, Scope::Global(), Action::Forbid);
    }
    const auto index = Load(store);
    EXPECT_EQ(index->RuleCount(), first.size() + third.size());
    for (const char* address :
         {"http://a.example/", "http://x.b.example/", "http://c.example/x", "http://d.example/",
          "http://e.example/p/q", "http://f.example/", "http://g.example/"}) {
        EXPECT_EQ(index->Decide(index->Stranger(), ParseAddress(address)).verdict, Verdict::Forbid)
            << address;
    }
}

// The service's replacement of a costlier hash is no administrative change, and never
// overwrites a password changed meanwhile.
TEST_P(ServiceStore, PasswordHashUpgradesOnlyReplaceTheHashTheyWereMadeFrom) {
    const auto opened = Open();
    Store& store = *opened;
    store.AddAccount("kid", std::string("old"), Action::Allow);
    const uint64_t generation = store.Generation();
    const size_t audited = store.Audit({}).size();
    EXPECT_TRUE(store.UpgradePasswordHash("kid", "old", "new"));
    EXPECT_FALSE(store.UpgradePasswordHash("kid", "old", "other")); // another instance's
    store.SetPassword("kid", "changed");
    EXPECT_FALSE(store.UpgradePasswordHash("kid", "new", "late"));
    EXPECT_FALSE(store.UpgradePasswordHash("nobody", "old", "new"));
    const auto accounts = store.Accounts();
    const auto kid = std::find_if(accounts.begin(), accounts.end(),
                                  [](const AccountRecord& a) { return a.name == "kid"; });
    ASSERT_NE(kid, accounts.end());
    EXPECT_EQ(kid->passwordHash, "changed");
    EXPECT_EQ(store.Generation(), generation + 1); // the administrator's change alone
    EXPECT_EQ(store.Audit({}).size(), audited);
}

// Existing databases of an older schema are refused until migrated, and keep their rows
// through the migration; a newer one is refused by every mode and left as it is.
TEST_P(ServiceStore, SchemaVersionsAreMigratedForwardAndNewerOnesRefused) {
    {
        const auto created = Open();
        const QueryLogRecord oldRecord{1, "kid", true, "http://old.example/", "001", "default"};
        created->AppendQueryLog({&oldRecord, 1}, 10);
    }
    Db().Execute("ALTER TABLE query_log DROP COLUMN instance; DROP TABLE log_batches; "
                 "ALTER TABLE service_health DROP COLUMN outage_since_ms; "
                 "ALTER TABLE service_health DROP COLUMN outage_ms; "
                 "ALTER TABLE service_health DROP COLUMN outage_buffered; "
                 "ALTER TABLE service_health DROP COLUMN outage_dropped; "
                 "ALTER TABLE service_health DROP COLUMN stopped_ms; "
                 "UPDATE meta SET value = '1' WHERE key = 'schema'");
    try {
        Open(OpenMode::Existing);
        ADD_FAILURE() << "a version 1 database was opened";
    } catch (const StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("migrate"), std::string::npos) << e.what();
    }
    EXPECT_EQ(Open(OpenMode::Migrate)->OpenedVersion(), 1);
    const auto migrated = Open(OpenMode::Existing);
    EXPECT_EQ(migrated->OpenedVersion(), kSchemaVersion);
    migrated->SetInstance("east");
    const QueryLogRecord newRecord{2, "kid", true, "http://new.example/", "000", "default"};
    migrated->AppendQueryLog({&newRecord, 1}, 10);
    const auto log = migrated->QueryLog(10, std::nullopt);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].address, "http://old.example/");
    EXPECT_EQ(Db().Query("SELECT instance FROM query_log ORDER BY id"), "|east");

    const std::string newer = std::to_string(kSchemaVersion + 1);
    Db().Execute("UPDATE meta SET value = '" + newer + "' WHERE key = 'schema'");
    for (const OpenMode mode : {OpenMode::Existing, OpenMode::Migrate, OpenMode::Create}) {
        try {
            Open(mode);
            ADD_FAILURE() << "a version " << newer << " database was opened";
        } catch (const StoreError& e) {
            EXPECT_NE(std::string(e.what()).find("newer"), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(Db().Query("SELECT value FROM meta WHERE key = 'schema'"), newer);
}

// A whole SQLite deployment moves into PostgreSQL with its ids, and goes on from there.
TEST_P(ServiceStore, SqliteDatabaseCopiedIntoPostgres) {
    if (GetParam() != testing::Backend::Postgres) GTEST_SKIP() << "the target is PostgreSQL";
    testing::TestDatabase file(testing::Backend::Sqlite);
    {
        const auto source = file.Open();
        AuditedAdminStore audited(*source, *source, "alice");
        audited.AddAccount("kid", std::string("$argon2id$hash"), Action::Forbid);
        audited.AddAccount("gone", std::nullopt, Action::Allow);
        audited.RemoveAccount("gone"); // leaves a hole in the ids
        audited.AddAccount("tab\tname", std::nullopt, Action::Allow);
        audited.AddRule(Scope::Of("kid"), RuleKind::Prefix, "a.example/x\ty\\z", Action::Allow);
        audited.CreateList("games");
        const std::pair<RuleKind, std::string> entries[] = {{RuleKind::Domain, "game.example"}};
        audited.AddListEntries("games", entries, false);
        audited.Attach("games", Scope::Of("kid"), Action::Forbid);
        source->AddAdministrator("alice", "adminhash");
        source->CreateSession("digest", {"alice", "csrf", 1, 2});
        source->SetInstance("old");
        const QueryLogRecord log[] = {{5, "kid", true, "http://a/\n", "001", "default"},
                                      {6, "x", false, std::string("nul\0inside", 10), "000", "y"}};
        source->AppendQueryLog(log, 100, {"old/1", 7}, LogWrite::RowsAndCounts);
    }
    std::ostringstream report;
    CopySqliteToPostgres(file.Address(), Db().Address(), report);
    EXPECT_NE(report.str().find("query_log\t2 rows copied and checked"), std::string::npos) << report.str();
    EXPECT_NE(report.str().find("log_batches\t1 rows copied and checked"), std::string::npos);
    const auto source = file.Open(OpenMode::Existing);
    const auto target = Open(OpenMode::Existing);
    ASSERT_EQ(target->Accounts().size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(target->Accounts()[i].id, source->Accounts()[i].id);
        EXPECT_EQ(target->Accounts()[i].passwordHash, source->Accounts()[i].passwordHash);
    }
    EXPECT_EQ(target->Rules(std::nullopt)[0].key, "a.example/x\ty\\z");
    EXPECT_EQ(target->Attachments().size(), 1u);
    EXPECT_EQ(target->Audit({}).size(), source->Audit({}).size());
    EXPECT_TRUE(target->TouchSession("digest", 3, 1000, 1000));
    EXPECT_EQ(target->QueryLog(10, std::nullopt)[1].address, "nul\\x00inside");
    EXPECT_EQ(target->Generation(), source->Generation());
    // New rows continue after the copied ids; a second copy finds the target in use.
    target->AddAccount("new", std::nullopt, Action::Allow);
    EXPECT_THROW(CopySqliteToPostgres(file.Address(), Db().Address(), report), StoreError);
}

TEST(ServicePassword, HashVerifyAndCache) {
    ASSERT_TRUE(InitCrypto());
    const std::string hash = HashPassword("s3cret", HashCost::Minimum);
    EXPECT_EQ(hash.rfind("$argon2id$", 0), 0u);
    EXPECT_EQ(hash.find("s3cret"), std::string::npos);
    EXPECT_TRUE(VerifyPassword(hash, "s3cret"));
    EXPECT_FALSE(VerifyPassword(hash, "s3cre"));
    EXPECT_FALSE(VerifyPassword("", "s3cret"));
    EXPECT_FALSE(VerifyPassword(std::string(500, 'x'), "s3cret"));

    CredentialChecker checker(0, 2); // two slow checks, never refilled
    EXPECT_EQ(checker.CheckNow("kid", hash, "s3cret"), true);
    EXPECT_EQ(checker.CheckNow("kid", hash, "wrong"), false);
    // Both outcomes now come from the cache, with the budget spent.
    EXPECT_EQ(checker.CheckNow("kid", hash, "s3cret"), true);
    EXPECT_EQ(checker.CheckNow("kid", hash, "wrong"), false);
    EXPECT_EQ(checker.CheckNow("kid", hash, "third"), std::nullopt);
    EXPECT_FALSE(checker.CheckLater("kid", hash, "third", [] { return std::function<void()>(); }).waiting);
    // A changed stored hash (new password) is a different key.
    const std::string rehashed = HashPassword("s3cret", HashCost::Minimum);
    EXPECT_EQ(checker.Known("kid", rehashed, "s3cret"), CredentialChecker::Outcome::Unknown);
    EXPECT_EQ(checker.Known("other", hash, "s3cret"), CredentialChecker::Outcome::Unknown);
    EXPECT_EQ(checker.Known("kid", hash, "s3cret"), CredentialChecker::Outcome::Verified);
}

// A hash costlier in memory than the service's cost is replaced after a successful check by
// one of that cost, already remembered as verified; cheaper ones and failures stay as they are.
TEST(ServicePassword, CostlierHashesAreUpgradedAfterASuccessfulCheck) {
    ASSERT_TRUE(InitCrypto());
    char oldHash[crypto_pwhash_STRBYTES];
    ASSERT_EQ(crypto_pwhash_str_alg(oldHash, "pw", 2, 1, 2 * kHashMemory, crypto_pwhash_ALG_ARGON2ID13), 0);
    EXPECT_EQ(HashMemory(oldHash), 2 * kHashMemory);
    EXPECT_EQ(HashMemory(HashPassword("pw")), kHashMemory);
    EXPECT_EQ(HashMemory("$argon2id$v=19$m=x,t=2,p=1$a$b"), 0u);

    CredentialChecker checker(10, 10);
    EXPECT_EQ(checker.CheckNow("kid", oldHash, "wrong"), false);
    EXPECT_TRUE(checker.TakeUpgrades().empty());
    EXPECT_EQ(checker.CheckNow("kid", HashPassword("pw", HashCost::Minimum), "pw"), true);
    EXPECT_TRUE(checker.TakeUpgrades().empty());
    EXPECT_EQ(checker.CheckNow("kid", oldHash, "pw"), true);
    const auto upgrades = checker.TakeUpgrades();
    ASSERT_EQ(upgrades.size(), 1u);
    EXPECT_EQ(upgrades[0].name, "kid");
    EXPECT_EQ(upgrades[0].oldHash, oldHash);
    EXPECT_NE(upgrades[0].newHash.find("$m=9216,t=4,"), std::string::npos) << upgrades[0].newHash;
    EXPECT_TRUE(VerifyPassword(upgrades[0].newHash, "pw"));
    EXPECT_EQ(checker.Known("kid", upgrades[0].newHash, "pw"), CredentialChecker::Outcome::Verified);
}

TEST(ServicePasswordThreads, SlowChecksRunOnTheWorkerAndWakeEveryWaiter) {
    ASSERT_TRUE(InitCrypto());
    const std::string hash = HashPassword("pw", HashCost::Minimum);
    // One slow check per name and client in all; waiters are never answered unchecked here.
    CredentialChecker checker(0, 1, 1000, std::chrono::seconds(60));
    std::mutex mutex;
    std::condition_variable cv;
    int woken = 0;
    bool gateEntered = false;
    bool gateOpen = false;
    const auto done = [&] {
        return std::function<void()>([&] {
            std::lock_guard lock(mutex);
            ++woken;
            cv.notify_all();
        });
    };
    // The worker is held in another pair's wake-up, so that the pair below is still queued
    // when its later queries arrive.
    const auto gate = [&] {
        return std::function<void()>([&] {
            std::unique_lock lock(mutex);
            gateEntered = true;
            cv.notify_all();
            cv.wait_for(lock, std::chrono::seconds(30), [&] { return gateOpen; });
        });
    };
    EXPECT_TRUE(checker.CheckLater("gate", hash, "pw", gate, "elsewhere").waiting);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return gateEntered; }));
    }
    // Three queries with the same pair share one check and one unit of the budget.
    EXPECT_TRUE(checker.CheckLater("kid", hash, "pw", done).waiting);
    EXPECT_TRUE(checker.CheckLater("kid", hash, "pw", done).waiting);
    EXPECT_TRUE(checker.CheckLater("kid", hash, "pw", done).waiting);
    EXPECT_EQ(checker.Known("kid", hash, "pw"), CredentialChecker::Outcome::Unknown);
    {
        std::unique_lock lock(mutex);
        gateOpen = true;
        cv.notify_all();
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return woken == 3; }));
    }
    EXPECT_EQ(checker.Known("kid", hash, "pw"), CredentialChecker::Outcome::Verified);
    EXPECT_EQ(checker.CheckLater("kid", hash, "pw", done).outcome, CredentialChecker::Outcome::Verified);
    // The budget is spent: another pair is not checked at all.
    EXPECT_FALSE(checker.CheckLater("kid", hash, "other", done).waiting);
    EXPECT_EQ(checker.Known("kid", hash, "other"), CredentialChecker::Outcome::Unknown);
}

TEST(ServiceAnswer, RepliesVerificationAndLog) {
    ASSERT_TRUE(InitCrypto());
    TempDb db;
    SqliteStore store(db.Path());
    store.AddAccount("kid", HashPassword("pw", HashCost::Minimum), Action::Allow);
    store.AddAccount("moved", HashPassword("pw", HashCost::Minimum), Action::Allow);
    store.SetRelocation("moved", "http://new.example/c");
    store.AddRule(Scope::Global(), RuleKind::Domain, "bad.example", Action::Forbid);
    store.AddRule(Scope::Of("kid"), RuleKind::Host, "ok.bad.example", Action::Allow);

    CheckService service({});
    service.Publish(Load(store));
    CheckService::Context& context = service.NewContext();
    const auto ask = [&](std::string_view target) {
        const Reply reply = service.Answer(context, "GET", target, "127.0.0.1");
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
    EXPECT_EQ(service.Answer(context, "POST", "/cgi-bin/checker?url=x", "p").status, 405);

    const auto log = service.TakeLog();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0].account, "kid");
    EXPECT_TRUE(log[0].verified);
    EXPECT_EQ(log[0].reason, "account host");
    EXPECT_FALSE(log[1].verified);
    EXPECT_EQ(log[1].verdict, "001");
    EXPECT_EQ(log[3].verdict, "004");
    for (const auto& record : log) {
        EXPECT_EQ(record.address.find("pw"), std::string::npos);
        EXPECT_EQ(record.reason.find("pw"), std::string::npos);
    }
    EXPECT_TRUE(service.TakeLog().empty());
}

// A pair whose password cannot be checked (here: the client's budget is spent) is answered by
// the stricter of its account and the stranger profile, and never moved.
TEST(ServiceAnswer, UncheckedPairsGetTheStricterVerdict) {
    ASSERT_TRUE(InitCrypto());
    TempDb db;
    SqliteStore store(db.Path());
    const std::string hash = HashPassword("pw", HashCost::Minimum);
    store.AddAccount("strict", hash, Action::Forbid);
    store.AddAccount("open", hash, Action::Allow);
    store.AddAccount("moved", hash, Action::Allow);
    store.SetRelocation("moved", "http://new.example/c");
    store.AddRule(Scope::Of("open"), RuleKind::Host, "x.example", Action::Allow);
    store.AddRule(Scope::Of("*"), RuleKind::Host, "x.example", Action::Forbid);
    ServiceOptions options;
    options.verifyPerSecond = 0;
    options.verifyBurst = 1; // one slow check for the one client, never refilled
    CheckService service(options);
    service.Publish(Load(store));
    CheckService::Context& context = service.NewContext();
    const auto ask = [&](std::string_view query) {
        return service.Answer(context, "GET", "/cgi-bin/checker?" + std::string(query), "p").body;
    };
    EXPECT_EQ(ask("log=open&pwd=wrong&url=http://y.example/"), "000"); // spends the budget
    EXPECT_EQ(ask("log=strict&pwd=pw&url=http://y.example/"), "001");
    EXPECT_EQ(ask("log=open&pwd=pw&url=http://x.example/"), "001");
    EXPECT_EQ(ask("log=open&pwd=pw&url=http://y.example/"), "000");
    EXPECT_EQ(ask("log=moved&pwd=pw&url=http://y.example/"), "000");
    const auto log = service.TakeLog();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_FALSE(log[1].verified);
    EXPECT_EQ(log[1].reason, "default, password not checked");
}

// Records of several serving threads come out oldest first, a batch taken for writing keeps
// counting against the bound until it is released, and the writer is called for once a quarter
// of the bound waits.
TEST(ServiceAnswer, QueryLogIsTakenInTimeOrderAndBounded) {
    const std::string query = "/cgi-bin/checker?url=http://x.example/";
    size_t recordBytes = 0;
    {
        CheckService service({});
        CheckService::Context& a = service.NewContext();
        CheckService::Context& b = service.NewContext();
        for (CheckService::Context* context : {&a, &b, &a, &b}) {
            service.Answer(*context, "GET", query, "p");
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        const auto log = service.TakeLog();
        ASSERT_EQ(log.size(), 4u);
        for (size_t i = 1; i < log.size(); ++i) EXPECT_LT(log[i - 1].timeMs, log[i].timeMs);
        recordBytes = QueuedBytes(log[0]);
    }
    ServiceOptions options;
    options.logQueueBytes = 8 * recordBytes;
    CheckService service(options);
    CheckService::Context& context = service.NewContext();
    for (int i = 0; i < 5; ++i) service.Answer(context, "GET", query, "p");
    size_t held = 0;
    EXPECT_EQ(service.TakeLog(&held).size(), 5u);
    for (int i = 0; i < 5; ++i) service.Answer(context, "GET", query, "p");
    EXPECT_EQ(service.TakeLog().size(), 3u); // the held batch takes up the rest
    EXPECT_EQ(service.DroppedLogRecords(), 2u);
    service.ReleaseLog(held);
    for (int i = 0; i < 8; ++i) service.Answer(context, "GET", query, "p");
    EXPECT_EQ(service.TakeLog().size(), 8u);

    int calls = 0;
    service.SetLogBacklogHandler([&] { ++calls; });
    service.Answer(context, "GET", query, "p");
    EXPECT_EQ(calls, 0);
    for (int i = 0; i < 4; ++i) service.Answer(context, "GET", query, "p");
    EXPECT_EQ(calls, 1);
    service.TakeLog();
    for (int i = 0; i < 2; ++i) service.Answer(context, "GET", query, "p");
    EXPECT_EQ(calls, 2);
}

// Answers keep flowing, each from one whole index, while new indexes are published and the
// query log is drained; no record is lost.
TEST(CheckServiceThreads, AnswersWhileIndexesAreSwapped) {
    CheckService service({});
    const auto indexForbidding = [](bool forbid, uint64_t generation) {
        IndexBuilder builder;
        builder.Account({1, "*", std::nullopt, forbid ? Action::Forbid : Action::Allow, ""});
        return builder.Finish(generation);
    };
    constexpr int kThreads = 3;
    constexpr int kAnswers = 5000;
    std::atomic<int> bad{0};
    std::atomic<int> running{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        CheckService::Context& context = service.NewContext();
        threads.emplace_back([&, ctx = &context] {
            for (int i = 0; i < kAnswers; ++i) {
                const Reply reply = service.Answer(*ctx, "GET", "/cgi-bin/checker?url=http://a/", "p");
                if (reply.body != "000" && reply.body != "001") ++bad;
            }
            --running;
        });
    }
    size_t logged = 0;
    uint64_t generation = 1;
    while (running.load() > 0) {
        service.Publish(indexForbidding(generation % 2 == 0, generation));
        ++generation;
        logged += service.TakeLog().size();
    }
    for (auto& thread : threads) thread.join();
    logged += service.TakeLog().size();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(logged, static_cast<size_t>(kThreads * kAnswers));
    EXPECT_EQ(service.Index()->Generation(), generation - 1);
}

uint64_t StoreKeep(const std::string& path) {
    SqliteStore store(path, SqliteStore::Open::Existing);
    return store.LogKeep();
}

TEST(ServiceAdmin, CommandLineRoundTrip) {
    TempDb db;
    const auto run = [&](std::vector<std::string> args, std::string input = "") {
        args.insert(args.begin(), {"--db", db.Path()});
        std::istringstream in(input);
        std::ostringstream out, err;
        const int rc = RunAdmin(args, in, out, err);
        return std::to_string(rc) + ":" + out.str() + err.str();
    };
    // Only init creates a database; a mistyped name is reported, not created.
    EXPECT_EQ(run({"account", "list"}).substr(0, 2), "1:");
    EXPECT_FALSE(std::filesystem::exists(db.Path()));
    EXPECT_EQ(run({"init"}), "0:");
    EXPECT_EQ(run({"migrate"}), "0:schema version " + std::to_string(kSchemaVersion) + " already\n");
    EXPECT_EQ(run({"copy-to", "other.db"}).substr(0, 2), "2:");
    EXPECT_EQ(run({"account", "add", "kid", "--password-stdin", "--cost", "minimum"}, "pw\r\n").substr(0, 2),
              "0:");
    EXPECT_EQ(run({"account", "add", "empty", "--password-stdin"}, "\n").substr(0, 2), "2:");
    // The password on the command line works, with a warning.
    const std::string shown = run({"account", "add", "visible", "--password", "x", "--cost", "minimum"});
    EXPECT_EQ(shown.substr(0, 2), "0:");
    EXPECT_NE(shown.find("process list"), std::string::npos);
    EXPECT_EQ(run({"account", "add", "bad&name"}).substr(0, 2), "2:");
    EXPECT_EQ(run({"account", "move", "kid", "ftp://x/"}).substr(0, 2), "2:");
    EXPECT_EQ(run({"rule", "add", "--global", "forbid", "host", "x.example/path"}).substr(0, 2), "2:");
    EXPECT_EQ(run({"rule", "add", "forbid", "host", "x.example"}).substr(0, 2), "2:");
    EXPECT_EQ(run({"rule", "add", "--account", "kid", "forbid", "domain", "*.X.example"}),
              "0:forbid domain x.example\n");
    EXPECT_EQ(run({"check", "kid", "http://a.x.example/"}), "0:001\taccount domain\n");
    for (const char* bad : {"many", "-5", "1; x", " 3", "99999999999999999999999"}) {
        EXPECT_EQ(run({"log", "keep", bad}).substr(0, 2), "2:") << bad;
        EXPECT_EQ(run({"log", "show", "--limit", bad}).substr(0, 2), "2:") << bad;
    }
    EXPECT_EQ(run({"log", "keep", "7"}), "0:");
    EXPECT_EQ(StoreKeep(db.Path()), 7u);
    EXPECT_EQ(run({"bogus"}).substr(0, 2), "2:");

    SqliteStore store(db.Path());
    const auto accounts = store.Accounts();
    ASSERT_EQ(accounts.size(), 3u);
    ASSERT_TRUE(accounts[1].passwordHash);
    EXPECT_TRUE(VerifyPassword(*accounts[1].passwordHash, "pw"));
}

} // namespace
} // namespace pv::check
