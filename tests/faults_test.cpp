// Injected faults on the built programs, each in a temporary program directory without a window
// system: a locked SQLite database, a PostgreSQL server that goes away mid-run, a run killed
// half-way, two runs at once, malformed settings and odd site data, and connection failures
// that must not reveal the password.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "SiteDatabase.h"
#include "TestSupport.h"
#include "platform/RunLock.h"
#include "support/Harness.h"
#include "support/Programs.h"
#include "support/SiteRows.h"

extern char** environ;

// Test names and failure messages show a driver by its name.
namespace dormex::sitelib {
static void PrintTo(Driver driver, std::ostream* os) {
    *os << driverName(driver);
}
}  // namespace dormex::sitelib

namespace dormex::test {
namespace {

using namespace std::chrono_literals;
using sitelib::ConnectionSettings;
using sitelib::Driver;
using sitelib::driverName;
using SteadyClock = std::chrono::steady_clock;
using scenario::HeldCard;
using scenario::Value;

constexpr const char* kPassword = "Sup3rSecretPw!";

// The bytes of a string literal, NUL bytes included.
template <size_t N>
std::string bytesOf(const char (&literal)[N]) {
    return std::string(literal, N - 1);
}

const std::string kDeactivated = "0/3/6";
const std::string kUntouched = "1/0/0";

// Polls `done` every `step` until it holds or `limit` passes; its last value.
template <class Condition>
bool waitUntil(Condition done, SteadyClock::duration limit, SteadyClock::duration step = 20ms) {
    const auto deadline = SteadyClock::now() + limit;
    while (!done()) {
        if (SteadyClock::now() > deadline) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

// Whether a run ended by itself within its time limit, without a signal, with exit `status`.
::testing::AssertionResult endedWith(const RunResult& r, int status) {
    if (r.timedOut) return ::testing::AssertionFailure() << "timed out: " << r.err;
    if (r.signal != 0)
        return ::testing::AssertionFailure() << "signal " << r.signal << ": " << r.err;
    if (r.status != status)
        return ::testing::AssertionFailure() << "exit status " << r.status << ": " << r.err;
    return ::testing::AssertionSuccess();
}

// The number of line feeds in `text`.
size_t newlines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

double secondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// scenario::fiveIdleCards() and their states before the run, a program directory selecting the
// idle ones, and the test's connection: the SQLite file in the directory or, for PostgreSQL, a
// schema of its own in the harness's database (dropped afterwards) reached through `driver`.
class IdleSite {
public:
    explicit IdleSite(Driver driver = Driver::Sqlite)
        : m_driver(driver),
          m_schema(driver == Driver::Sqlite ? nullptr : std::make_unique<HarnessSchema>()),
          m_site(TestSite::create(m_schema ? m_schema->settings() : sqliteAt(dir.siteDb()))) {
        writeFile(dir.file("Dormex.ini"), settingsText("30", {0}));
        m_site->add(scenario::fiveIdleCards());
        before = m_site->cardStates();
        if (m_schema) reachAt(serverPort());
    }

    ProgramDir dir;
    std::map<std::int64_t, std::string> before;

    TestSite& site() { return *m_site; }
    static int serverPort() { return std::stoi(envOr("DORMEX_PG_PORT")); }
    // SiteLibrary.ini reaching the PostgreSQL site at `port` on the harness's host.
    void reachAt(int port) {
        writeFile(dir.file("SiteLibrary.ini"), m_schema->registration(m_driver, port));
    }
    // How many sessions wait for a lock that the test's connection holds (from pg_locks: inside
    // a transaction pg_stat_activity stays as it was when first read).
    int waitingForUs() {
        return m_site
            ->rows(
                "SELECT COUNT(*) FROM pg_locks "
                "WHERE NOT granted AND pg_backend_pid() = ANY (pg_blocking_pids(pid))")[0][0]
            .toInt();
    }

private:
    Driver m_driver;
    std::unique_ptr<HarnessSchema> m_schema;  // made before the connection, dropped after it
    std::unique_ptr<TestSite> m_site;
};

// ---------------------------------------------------------------------------------------------
// A site locked by another writer: the SQLite file, and a PostgreSQL site natively and through
// ODBC.

class LockedDatabase : public ::testing::TestWithParam<Driver> {
protected:
    // The test's connection takes the write lock and keeps its transaction open.
    void SetUp() override {
        if (sqlite()) {
            s = std::make_unique<IdleSite>();
            s->site().exec("BEGIN IMMEDIATE");
            s->site().exec("UPDATE Keycards SET StatusReason = StatusReason WHERE CardID = 7");
            return;
        }
        DORMEX_REQUIRE_HARNESS();
        s = std::make_unique<IdleSite>(GetParam());
        s->site().exec("BEGIN");
        s->site().rows("SELECT 1 FROM Keycards FOR UPDATE");
    }
    bool sqlite() const { return GetParam() == Driver::Sqlite; }

    std::unique_ptr<IdleSite> s;
};

TEST_P(LockedDatabase, ALockHeldThroughoutEndsTheRunInTimeWithALoggedFailureAndNoHang) {
    const auto started = SteadyClock::now();
    RunResult r = s->dir.run({"silent"}, 60s);
    const double seconds = secondsSince(started);
    s->site().exec("ROLLBACK");
    std::printf("[ measured ] %s, lock held throughout: the run ended after %.1f s\n",
                driverName(GetParam()), seconds);

    EXPECT_TRUE(endedWith(r, 1)) << "the run must give up on the lock, not hang";
    const std::string log = s->dir.log();
    if (sqlite()) {
        EXPECT_LT(seconds, 60);
    } else {
        EXPECT_LT(seconds, 30);
        EXPECT_GE(seconds, 9) << "the lock is waited for as long as on SQLite: " << log;
    }
    const auto lines = logLines(log);
    ASSERT_EQ(lines.size(), 3u) << log;
    EXPECT_EQ(messageOf(lines[0]), "Days = 30");
    if (sqlite()) {
        EXPECT_EQ(messageOf(lines[1]), "RunQuery():5:database is locked")
            << "the first save meets the lock";
    } else {
        EXPECT_TRUE(startsWith(messageOf(lines[1]), "RunQuery():5:")) << lines[1];
        EXPECT_NE(messageOf(lines[1]).find("waiting 10 s for a lock held by another session"),
                  std::string::npos)
            << lines[1];
        EXPECT_EQ(lines[1].find(envOr("DORMEX_PG_PASSWORD")), std::string::npos);
    }
    EXPECT_TRUE(startsWith(lines[2], "SELECT k.KeyNumber")) << lines[2];
    EXPECT_EQ(s->site().cardStates(), s->before) << "no card deactivated";
    EXPECT_TRUE(s->site().downloadsPerCard().empty());
}

TEST_P(LockedDatabase, ALockReleasedWithinTheWaitLetsTheRunFinish) {
    const auto started = SteadyClock::now();
    auto child = s->dir.start({"silent"});
    bool waited = true;
    if (sqlite()) {
        // Once "Days = 30" is logged the run is on its way to the first save, which needs the
        // lock.
        waitUntil(
            [&] {
                return !child->running() || s->dir.log().find("Days = 30") != std::string::npos;
            },
            8s, 10ms);
        std::this_thread::sleep_for(1s);
    } else {
        waited = waitUntil([&] { return s->waitingForUs() > 0; }, 20s);
        std::this_thread::sleep_until(started + 3s);
    }
    waited = waited && child->running();
    const std::string logWhileLocked = s->dir.log();
    s->site().exec("ROLLBACK");
    RunResult r = child->wait(60s);
    std::printf("[ measured ] %s, lock released %s: the run ended after %.1f s\n",
                driverName(GetParam()), sqlite() ? "after its first entry" : "after 3 s",
                secondsSince(started));

    EXPECT_TRUE(waited) << "the run waits for the lock instead of failing at once: "
                        << logWhileLocked;
    EXPECT_TRUE(deactivatedKeys(logWhileLocked).empty()) << logWhileLocked;
    const std::string log = s->dir.log();
    EXPECT_TRUE(endedWith(r, 0)) << log;
    EXPECT_EQ(deactivatedKeys(log), (std::vector<std::string>{"101", "102", "103", "104", "105"}));
    if (sqlite()) {
        EXPECT_NE(logWhileLocked.find("Days = 30"), std::string::npos);
        auto after = s->site().cardStates();
        for (std::int64_t id = 1; id <= 7; ++id)
            EXPECT_EQ(after[id], id <= 5 ? kDeactivated : kUntouched) << "card " << id;
    } else {
        EXPECT_TRUE(failureEntries(log).empty()) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(, LockedDatabase,
                         ::testing::Values(Driver::Sqlite, Driver::Postgres, Driver::Odbc));

// ---------------------------------------------------------------------------------------------
// A PostgreSQL server that goes away in the middle of a run.

// A private PostgreSQL cluster from scripts/pg-harness.sh, always removed again.
class PrivateCluster {
public:
    // Starts the cluster; false (with `error`) when it could not be started.
    bool start(std::string& error) {
        const std::string errPath = m_scratch.file("harness.err");
        const std::string command = "bash '" + script() + "' start 2>'" + errPath + "'";
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe) {
            error = "popen failed";
            return false;
        }
        std::string output;
        char buffer[4096];
        while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
        const int status = ::pclose(pipe);
        static const std::regex kExport(R"(^export ([A-Z_]+)='([^']*)'$)");
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);) {
            std::smatch match;
            if (std::regex_match(line, match, kExport)) m_env[match[1]] = match[2];
        }
        m_dir = m_env["DORMEX_PG_DIR"];
        if (status != 0 || m_dir.empty() || m_env["DORMEX_PG_PORT"].empty()) {
            error = "pg-harness.sh start failed: " + output + readFile(errPath);
            return false;
        }
        return true;
    }
    // Stops the server at once (pg_ctl stop -m immediate) and removes the cluster.
    void stop() {
        if (m_dir.empty()) return;
        const std::string command = "bash '" + script() + "' stop '" + m_dir + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", m_dir.c_str());
        m_dir.clear();
    }
    ~PrivateCluster() { stop(); }

    ConnectionSettings settings() const { return harnessSettings(Driver::Postgres, "", &m_env); }
    static std::string script() { return sourceRoot() + "/scripts/pg-harness.sh"; }
    static bool serverProgramsPresent() {
        return ::access((envOr("PG_BIN", "/usr/lib/postgresql/15/bin") + "/initdb").c_str(),
                        X_OK) == 0;
    }

private:
    TempDir m_scratch;
    std::map<std::string, std::string> m_env;
    std::string m_dir;
};

TEST(ServerGoesAway, TheRunEndsWithTheFirstCardLoggedAndOneFailureEntry) {
    if (!PrivateCluster::serverProgramsPresent()) {
        if (onCi()) FAIL() << "PostgreSQL server programs (initdb) are missing";
        GTEST_SKIP() << "PostgreSQL server programs (initdb) are missing";
    }
    PrivateCluster cluster;
    std::string error;
    ASSERT_TRUE(cluster.start(error)) << error;

    ProgramDir dir;
    const ConnectionSettings pg = cluster.settings();
    writeFile(dir.file("SiteLibrary.ini"), registrationText(pg));
    writeFile(dir.file("Dormex.ini"), settingsText("30", {0}));
    auto site = TestSite::create(pg);
    const std::vector<HeldCard> cards = scenario::fiveIdleCards();
    site->add({cards.begin(), cards.begin() + 4});
    site->add(scenario::Use{999, 1});  // the door feed is alive
    // The second card's download sleeps in the server: the window in which it goes away.
    site->exec(
        "CREATE FUNCTION slow_download() RETURNS trigger AS $$ BEGIN IF NEW.CardID = 2 THEN "
        "PERFORM pg_sleep(3); END IF; RETURN NEW; END $$ LANGUAGE plpgsql");
    site->exec(
        "CREATE TRIGGER slow_download BEFORE INSERT ON CardDownloads FOR EACH ROW "
        "EXECUTE FUNCTION slow_download()");

    auto child = dir.start({"silent"});
    bool sleeping = false;
    const auto deadline = SteadyClock::now() + 30s;
    while (!sleeping && child->running() && SteadyClock::now() < deadline) {
        sleeping =
            site->rows("SELECT COUNT(*) FROM pg_stat_activity WHERE wait_event = 'PgSleep'")[0][0]
                .toInt() > 0;
        if (!sleeping) std::this_thread::sleep_for(20ms);
    }
    site.reset();
    cluster.stop();
    RunResult r = child->wait(60s);

    ASSERT_TRUE(sleeping) << "the run never reached the second card's download: " << dir.log()
                          << r.err;
    EXPECT_TRUE(endedWith(r, 1)) << "the run must end once the server is gone";
    const std::string log = dir.log();
    EXPECT_EQ(deactivatedEntries(log), (std::vector<std::string>{",101,Ames,Card,0, Deactivated"}))
        << log;
    const auto failures = failureEntries(log);
    ASSERT_EQ(failures.size(), 1u) << log;
    EXPECT_TRUE(startsWith(failures[0], "RunQuery():5:"))
        << "the save, with its download, failed: " << failures[0];
    const auto lines = logLines(log);
    ASSERT_GE(lines.size(), 4u) << log;
    EXPECT_EQ(messageOf(lines[0]), "Days = 30");
    EXPECT_TRUE(startsWith(lines.back(), "SELECT k.KeyNumber")) << lines.back();

    // The failure entry is two lines: the server's message may not add any of its own.
    EXPECT_EQ(newlines(log), lines.size());
}

// ---------------------------------------------------------------------------------------------
// A run killed with SIGKILL half-way through thousands of cards.

// "N cards would be deactivated" from the preview's last line; -1 when there is none.
int previewCount(const std::string& out) {
    static const std::regex kSummary(R"((\d+) cards? would be deactivated)");
    std::smatch match;
    if (!std::regex_search(out, match, kSummary)) return -1;
    return std::stoi(match[1]);
}

TEST(KilledRun, TheNextRunCompletesItAndTheSiteEqualsOneWholeRun) {
    ProgramDir killed("dormex-faults");
    ProgramDir reference;
    RunResult generated = killed.siteTool({"--database", "site.db", "generate", "--cards", "4000",
                                           "--transactions", "20000", "--seed", "7"});
    ASSERT_EQ(generated.status, 0) << generated.err;
    const std::string settings = settingsText("30", {0, 2, 3, 5, 6, 8, 10});
    writeFile(killed.file("Dormex.ini"), settings);
    writeFile(reference.file("Dormex.ini"), settings);
    RunResult preview = killed.run({"preview"});
    ASSERT_EQ(preview.status, 0) << preview.err;
    const int expected = previewCount(preview.out);
    ASSERT_GT(expected, 500) << "too few cards to kill the run half-way: " << preview.out;
    const std::string pristine = readFile(killed.siteDb());
    writeFile(reference.siteDb(), pristine);

    RunResult whole = reference.run({"silent"});
    ASSERT_EQ(whole.status, 0) << whole.err;
    const std::vector<std::string> referenceKeys = deactivatedKeys(reference.log());
    ASSERT_EQ(referenceKeys.size(), static_cast<size_t>(expected))
        << "the preview and the run agree";
    TestSite referenceSite(sqliteAt(reference.siteDb()));
    const auto ids = referenceSite.cardIdsByKey();
    const auto referenceDownloads = referenceSite.downloadsPerCard();
    std::set<std::int64_t> referenceIds;
    for (const std::string& key : referenceKeys) referenceIds.insert(ids.at(key));
    EXPECT_EQ(referenceDownloads.size(), referenceIds.size())
        << "downloads only for the cards deactivated";
    for (std::int64_t id : referenceIds) {
        const auto it = referenceDownloads.find(id);
        EXPECT_TRUE(it != referenceDownloads.end() && it->second == 1)
            << "card " << id << ": one download";
    }

    // Killed from outside at about a third of the entries (a run that got to its end first is
    // tried again), and by the program itself (dormex-faults) right after the third of the saves
    // has committed, before that card's download is completed.
    const size_t third = static_cast<size_t>(expected) / 3;
    struct Case {
        const char* name;
        EnvList env;
    };
    const Case cases[] = {
        {"killed from outside", {}},
        {"killed between a save and its download",
         {{"DORMEX_SITELIB_FAULT", "kill-after-save:" + std::to_string(third)}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool atSave = !c.env.empty();
        bool killedMidRun = false;
        for (int attempt = 0; attempt < 3 && !killedMidRun; ++attempt) {
            for (const char* file : {"site.db-wal", "site.db-shm", "site.db-journal", "dormex.log"})
                std::filesystem::remove(killed.file(file));
            writeFile(killed.siteDb(), pristine);
            auto child = killed.start({"silent"}, "run", c.env);
            if (!atSave) {
                waitUntil([&] { return !child->running() || newlines(killed.log()) >= third + 1; },
                          60s, 1ms);
                child->kill(SIGKILL);
            }
            RunResult r = child->wait(60s);
            killedMidRun = r.signal == SIGKILL &&
                           deactivatedKeys(killed.log()).size() < static_cast<size_t>(expected);
        }
        ASSERT_TRUE(killedMidRun) << "every run ended before the kill";
        const std::vector<std::string> loggedBeforeKill = deactivatedKeys(killed.log());

        {
            TestSite site(sqliteAt(killed.siteDb()));
            const auto check = site.rows("PRAGMA integrity_check");
            ASSERT_EQ(check.size(), 1u);
            EXPECT_EQ(check[0][0].toString().toStdString(), "ok");
            auto states = site.cardStates();
            auto downloads = site.downloadsPerCard();
            for (const std::string& key : loggedBeforeKill) {
                ASSERT_EQ(ids.count(key), 1u) << key;
                EXPECT_EQ(states[ids.at(key)], kDeactivated)
                    << "key " << key << " was logged as deactivated";
            }
            if (atSave) {
                // The card saved last is not logged, but inactive and queued for the doors.
                ASSERT_EQ(loggedBeforeKill.size(), third - 1);
                const std::int64_t last = ids.at(referenceKeys[third - 1]);
                EXPECT_EQ(states[last], kDeactivated);
                EXPECT_EQ(downloads[last], 1) << "card " << last << " saved without its download";
            } else {
                EXPECT_GE(loggedBeforeKill.size(), third);
            }
        }

        RunResult rest = killed.run({"silent"});
        EXPECT_EQ(rest.status, 0) << rest.err;
        TestSite killedSite(sqliteAt(killed.siteDb()));
        EXPECT_EQ(killedSite.cardStates(), referenceSite.cardStates());
        // Wherever the kill fell, every card saved has its one download: the downloads are those
        // of the whole run. A kill between a card's save and its log entry leaves that one card
        // deactivated without an entry (the next run no longer selects it).
        EXPECT_EQ(killedSite.downloadsPerCard(), referenceDownloads);
        const std::vector<std::string> logged = deactivatedKeys(killed.log());
        const std::set<std::string> loggedSet(logged.begin(), logged.end());
        EXPECT_EQ(loggedSet.size(), logged.size()) << "no card is deactivated twice";
        size_t unlogged = 0;
        for (const std::string& key : referenceKeys) unlogged += loggedSet.count(key) == 0;
        EXPECT_LE(unlogged, 1u)
            << "only the card in the window can be deactivated without an entry";
        if (atSave) {
            EXPECT_EQ(unlogged, 1u) << "the card killed at its save is never logged";
        }
        for (const std::string& key : logged) EXPECT_EQ(ids.count(key), 1u) << key;
    }
}

// ---------------------------------------------------------------------------------------------
// Two runs at once on the same site.

TEST(TwoRunsAtOnce, TheSecondWaitsForTheFirstAndNoCardIsLoggedTwice) {
    ProgramDir dir;
    ProgramDir reference;
    {
        auto site = TestSite::create(sqliteAt(dir.siteDb()));
        site->db().beginTransaction();
        // 1000 idle cards of type 0, 100 idle of type 1 (not selected), 100 of type 0 in use.
        for (int i = 1; i <= 1200; ++i)
            site->add(HeldCard{
                i, i % 2 ? 5000000000LL + i : 10000 + i, "Holder" + std::to_string(i), "First",
                i > 1000 && i <= 1100 ? 1 << 21 : 0, i > 1100 ? 3 : (i % 3 ? 45 : -1)});
        site->db().commit();
    }
    const std::string settings = settingsText("30", {0});
    writeFile(dir.file("Dormex.ini"), settings);
    writeFile(reference.file("Dormex.ini"), settings);
    writeFile(reference.siteDb(), readFile(dir.siteDb()));

    auto first = dir.start({"silent"}, "first");
    auto second = dir.start({"silent"}, "second");
    RunResult a = first->wait(120s);
    RunResult b = second->wait(120s);
    RunResult whole = reference.run({"silent"});
    ASSERT_EQ(whole.status, 0) << whole.err;

    const std::string log = dir.log();
    const auto failures = failureEntries(log);
    for (const RunResult* o : {&a, &b}) EXPECT_TRUE(endedWith(*o, 0));
    EXPECT_TRUE(failures.empty());

    TestSite site(sqliteAt(dir.siteDb()));
    TestSite referenceSite(sqliteAt(reference.siteDb()));
    EXPECT_EQ(site.cardStates(), referenceSite.cardStates());
    const auto referenceKeys = deactivatedKeys(reference.log());
    ASSERT_EQ(referenceKeys.size(), 1000u);

    static const std::regex kWhole(R"(^\S+ \S+  (Days = |,|RunQuery\(\):|LoadCustomNames\(\):))");
    ASSERT_TRUE(endsWith(log, "\r\n")) << "the log ends with a whole line";
    size_t days = 0;
    for (const std::string& line : logLines(log)) {
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "a split line: " << line;
        const bool entry = std::regex_search(line, kWhole);
        EXPECT_TRUE(entry || startsWith(line, "SELECT k.KeyNumber")) << line;
        const std::string message = messageOf(line);
        if (startsWith(message, ",")) {
            EXPECT_TRUE(endsWith(message, ", Deactivated")) << line;
            EXPECT_EQ(message.find("Deactivated"), message.size() - 11)
                << "two entries merged: " << line;
        }
        days += message == "Days = 30";
    }
    EXPECT_EQ(days, 2u) << "both runs logged their start";

    // The first run deactivates every card, the second finds none left: each card logged once.
    std::map<std::string, int> logged;
    for (const std::string& key : deactivatedKeys(log)) ++logged[key];
    const std::set<std::string> expectedKeys(referenceKeys.begin(), referenceKeys.end());
    for (const auto& [key, count] : logged) {
        EXPECT_EQ(expectedKeys.count(key), 1u) << key;
        EXPECT_EQ(count, 1) << key;
    }
    EXPECT_EQ(logged.size(), expectedKeys.size());
    const auto ids = site.cardIdsByKey();
    const auto downloads = site.downloadsPerCard();
    for (const auto& [key, count] : logged) {
        const auto it = downloads.find(ids.at(key));
        EXPECT_TRUE(it != downloads.end() && it->second == count)
            << "key " << key << " logged without its download";
    }
}

TEST(TwoRunsAtOnce, ARunFindingTheLockHeldWaitsThenGivesUpHavingDoneNothing) {
    IdleSite s;
    const ProgramDir& dir = s.dir;
    // The test holds the lock as a first run would.
    auto holder = platform::makeSystemRunLock();
    ASSERT_TRUE(holder->acquire(dir.file("Dormex.lock"), 0));

    const auto started = SteadyClock::now();
    RunResult given = dir.run({"silent"}, 90s);
    EXPECT_GE(SteadyClock::now() - started, 59s) << "it waited for the lock";
    EXPECT_TRUE(endedWith(given, 2));
    EXPECT_NE(given.err.find("Another run is in progress."), std::string::npos) << given.err;
    EXPECT_EQ(logMessages(dir.log()),
              std::vector<std::string>{"Set-up failed: Another run is in progress."});
    EXPECT_EQ(s.site().cardStates(), s.before) << "nothing changed";

    // A lock released within the wait lets the waiting run go ahead.
    auto waiting = dir.start({"silent"});
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(waiting->running()) << "waits while the lock is held";
    holder->release();
    RunResult done = waiting->wait(60s);
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(deactivatedKeys(dir.log()).size(), 5u);
}

// ---------------------------------------------------------------------------------------------
// Malformed settings files.

// A site whose cards are all idle except one: types 0, 1 and 2, and one card already inactive.
void fillSweepSite(TestSite& site) {
    site.add(scenario::fiveIdleCards());
    site.add(HeldCard{8, 108, "Hale", "Temp", 2 << 21});
    site.add(HeldCard{9, 109, "Hale", "Temp", 0});
    site.add(HeldCard{10, 110, "Hale", "Temp", 0, -1, 0});
}

struct SettingsCase {
    std::string name;
    std::string content;
    int expectedStatus = -1;  // -1: any of 0, 1, 2
};

std::vector<SettingsCase> badSettingsFiles() {
    std::vector<SettingsCase> cases;
    std::mt19937 random(20240611);
    auto bytes = [&](size_t n) {
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(random() & 0xFF);
        return s;
    };
    for (int i = 0; i < 6; ++i)
        cases.push_back({"random bytes " + std::to_string(i), bytes(size_t{64} << i)});
    for (int i = 0; i < 4; ++i)
        cases.push_back({"random bytes among valid lines " + std::to_string(i),
                         bytes(40) + "\r\n[General]\r\n" + bytes(200) + "\r\nDays=30\r\n" +
                             bytes(30) + "\ntype0=True\r" + bytes(30) + "\r\ntype2=True\r\n"});
    cases.push_back({"NUL bytes", bytesOf("[General]\r\nDays=3\0"
                                          "0\r\ntype0=Tr\0ue\r\n\0\0\0type2=True\r\n")});
    cases.push_back(
        {"NUL before the section", bytesOf("\0[General]\r\nDays=30\r\ntype0=True\r\n")});
    cases.push_back({"100 kB Days line",
                     "[General]\r\nDays=" + std::string(100000, '9') + "\r\ntype0=True\r\n", 2});
    cases.push_back({"100 kB comment line",
                     "; " + std::string(100000, 'x') + "\r\n[General]\r\nDays=30\r\ntype0=True\r\n",
                     0});
    cases.push_back(
        {"100 kB key name", "[General]\r\n" + std::string(100000, 'k') + "=1\r\nDays=30\r\n"});
    cases.push_back({"deep brackets", std::string(50000, '[') + "General" +
                                          std::string(50000, ']') +
                                          "\r\nDays=30\r\ntype0=True\r\n"});
    cases.push_back({"unclosed brackets",
                     "[General\r\n" + std::string(20000, '[') + "\r\nDays=1\r\ntype0=True\r\n"});
    std::string many = "[General]\r\n";
    for (int i = 0; i < 5000; ++i)
        many += "key" + std::to_string(i) + "=value" + std::to_string(i) + "\r\n";
    for (int i = 0; i < 2000; ++i) many += "[Section" + std::to_string(i) + "]\r\ntype0=x\r\n";
    cases.push_back({"thousands of keys and sections", many});
    std::string repeated = "[General]\r\n";
    for (int i = 0; i < 3000; ++i) repeated += "type0=True\r\ntype0=Nonsense\r\nDays=30\r\n";
    cases.push_back({"thousands of repeated keys", repeated, 0});
    cases.push_back(
        {"invalid UTF-8",
         "[Gen\xC3\x28ral]\r\nDays=\xFF\xFE\r\n[General]\r\nDays=30\r\ntype0=\xC3\x28\r\n", 2});
    cases.push_back({"invalid UTF-8 in an unread key",
                     "[General]\r\n\xED\xA0\x80=\xF8\x88\x80\x80\x80\r\nDays=30\r\ntype2=True\r\n",
                     0});
    cases.push_back(
        {"byte-order mark", "\xEF\xBB\xBF[General]\r\nDays=30\r\ntype0=True\r\ntype2=True\r\n", 0});
    cases.push_back(
        {"two byte-order marks", "\xEF\xBB\xBF\xEF\xBB\xBF[General]\r\nDays=30\r\ntype0=True\r\n"});
    cases.push_back(
        {"UTF-16 byte-order mark", bytesOf("\xFF\xFE[\0G\0e\0n\0e\0r\0a\0l\0]\0\r\0\n\0")});
    cases.push_back({"largest Days", "[General]\r\nDays=2147483647\r\ntype0=True\r\n", 0});
    // A cut-off in the future: no transaction after it, so the feed check stops the run.
    cases.push_back(
        {"smallest Days", "[General]\r\nDays=-2147483648\r\ntype0=True\r\ntype1=True\r\n", 1});
    cases.push_back({"Days beyond 32 bits", "[General]\r\nDays=2147483648\r\ntype0=True\r\n", 2});
    cases.push_back(
        {"Days beyond 64 bits", "[General]\r\nDays=-99999999999999999999999\r\ntype0=True\r\n", 2});
    cases.push_back(
        {"hexadecimal Days beyond 32 bits", "[General]\r\nDays=$1FFFFFFFF\r\ntype0=True\r\n", 2});
    cases.push_back({"hexadecimal Days of the smallest value",
                     "[General]\r\nDays=$80000000\r\ntype2=True\r\n", 1});
    cases.push_back(
        {"hexadecimal Days at the limit", "[General]\r\nDays=0x7FFFFFFF\r\ntype0=True\r\n", 0});
    cases.push_back({"type0 of 3000 characters",
                     "[General]\r\nDays=30\r\ntype0=" + std::string(3000, 'T') + "\r\n", 2});
    cases.push_back({"type0 of 3000 characters after True",
                     "[General]\r\nDays=30\r\ntype0=True" + std::string(2996, 'e') + "\r\n", 2});
    cases.push_back({"quoted values", "[General]\r\nDays=\"30\"\r\ntype0='True'\r\ntype2=\"\r\n"});
    cases.push_back({"only line ends", std::string(10000, '\r') + std::string(10000, '\n'), 0});
    cases.push_back({"empty file", "", 0});
    return cases;
}

// The keys of the cards whose state differs from `before`.
std::set<std::string> changedKeys(TestSite& site,
                                  const std::map<std::int64_t, std::string>& before) {
    std::set<std::string> changed;
    const auto after = site.cardStates();
    for (const auto& [key, id] : site.cardIdsByKey()) {
        if (after.at(id) != before.at(id)) changed.insert(key);
    }
    return changed;
}

TEST(BadSettings, NoCrashNoHangTheFileKeptAndOnlyLoggedCardsChanged) {
    ProgramDir dir;
    std::map<std::int64_t, std::string> before;
    {
        auto site = TestSite::create(sqliteAt(dir.siteDb()));
        fillSweepSite(*site);
        before = site->cardStates();
    }
    const std::string pristine = readFile(dir.siteDb());
    std::set<int> statuses;
    size_t deactivations = 0;
    for (const SettingsCase& c : badSettingsFiles()) {
        SCOPED_TRACE(c.name);
        writeFile(dir.siteDb(), pristine);
        std::filesystem::remove(dir.file("dormex.log"));
        writeFile(dir.file("Dormex.ini"), c.content);
        RunResult r = dir.run({"silent"}, 30s);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.signal, 0) << r.err;
        EXPECT_TRUE(r.status >= 0 && r.status <= 2) << r.status << r.err;
        if (c.expectedStatus >= 0) {
            EXPECT_EQ(r.status, c.expectedStatus) << r.err << dir.log();
        }
        EXPECT_EQ(readFile(dir.file("Dormex.ini")), c.content) << "the settings file is only read";
        if (r.status == 2) {
            EXPECT_FALSE(r.err.empty()) << "a set-up error says why";
        }
        TestSite site(sqliteAt(dir.siteDb()));
        const std::vector<std::string> logged = deactivatedKeys(dir.log());
        EXPECT_EQ(changedKeys(site, before), std::set<std::string>(logged.begin(), logged.end()))
            << "the cards changed are the ones logged: " << dir.log();
        statuses.insert(r.status);
        deactivations += logged.size();
    }
    EXPECT_TRUE(statuses.count(0) && statuses.count(2))
        << "the sweep reached both runs and set-up errors";
    EXPECT_GT(deactivations, 0u);

    // Settings that are no regular file read as missing: the defaults, nothing selected. A FIFO in
    // their place must not block the run.
    const std::string ini = dir.file("Dormex.ini");
    for (const bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "a FIFO" : "a folder");
        std::filesystem::remove(ini);
        ASSERT_TRUE(fifo ? ::mkfifo(ini.c_str(), 0644) == 0
                         : std::filesystem::create_directory(ini));
        EXPECT_TRUE(endedWith(dir.run({"silent"}, 30s), 0));
    }
    EXPECT_TRUE(std::filesystem::is_directory(ini));
}

// ---------------------------------------------------------------------------------------------
// Odd site data.

// Where a key sorts in "Order by Keynumber" on SQLite: every integer before every text.
using SortKey = std::tuple<int, std::int64_t, std::string>;
SortKey sortKeyOf(const Value& key) {
    if (key.kind == Value::Kind::Text) return {1, 0, key.text};
    return {0, key.integer, ""};
}

// The text the log gives a column value: integers in decimal, NULL as nothing, control
// characters as blanks.
std::string logText(const Value& value) {
    if (value.isNull()) return "";
    std::string result =
        value.kind == Value::Kind::Text ? value.text : std::to_string(value.integer);
    for (char& c : result) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127) c = ' ';
    }
    return result;
}

int typeOf(const HeldCard& card) {
    if (!card.holder || card.flags.isNull()) return 0;
    return static_cast<int>((card.flags.integer & 0x1E00000) >> 21);
}

constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();
const std::set<int> kOddSelected = {0, 2, 7, 9};

// Cards the run must read without trouble, whatever their values.
std::vector<HeldCard> oddCards() {
    std::vector<HeldCard> cards;
    auto add = [&](Value key, Value last, Value first, Value flags, int used = 60) {
        cards.push_back({static_cast<int>(cards.size()) + 1, std::move(key), std::move(last),
                         std::move(first), std::move(flags), used});
        return &cards.back();
    };
    add(1001, "Plain", "Zero", 0);
    add(-17, "Negative", "Key", 2 << 21);
    add(0, "Zero", "Key", 0, -1);
    add(kMin64, "Smallest", "Key", 9 << 21);
    add(kMax64, "Largest", "Key", 7 << 21, -1);
    add(1002, "Flags", "Beyond32", (std::int64_t{1} << 40) | (2 << 21));
    add(1003, "Flags", "Negative", kMin64 | (7 << 21));
    add(1004, "Flags", "Unselected", (std::int64_t{1} << 40) | (1 << 21));
    add(1005, "Flags", "HighBits", 0xFE1FFFFFLL);
    add(1006, {}, {}, {});
    add(1007, "No", "Holder", 2 << 21)->holder = false;
    add(1008, "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x94\xA7 \xC5\x81ukasz",
        "Zoe\xCC\x88 Ame\xCC\x81lie", 0);
    add(1009, "\xD9\x85\xD8\xAD\xD9\x85\xD8\xAF", "\xE5\xB1\xB1\xE7\x94\xB0\xF0\x9F\x98\x80",
        2 << 21, -1);
    add(1010, bytesOf("Tab\tNul\0End"), "Line\nBreak\x7F", 0);
    add(1011, "Recently", "Used", 0, 2);
    add(1012, "Already", "Inactive", 0)->active = 0;
    add(1013, std::string(5000, 'L'), "Long", 9 << 21);
    add(2001, "Type", "Nine", 9 << 21, -1);
    add(2002, "Type", "Ten", 10 << 21, -1);
    add("ABC-17", "Text", "KeyUnselected", 1 << 21, -1);
    return cards;
}

struct OddCase {
    std::string name;
    std::vector<HeldCard> poison;  // cards added to oddCards(); the first ends the run
    std::string failure;           // text the failure entry holds; "" when the run succeeds
};

HeldCard poisonCard(Value key, Value flags) {
    return {100, std::move(key), "Poison", "Row", std::move(flags)};
}

TEST(OddSiteData, NoCrashAndExactlyTheIdleCardsOfSelectedTypesChangeEachLogged) {
    const std::vector<OddCase> cases = {
        {"readable odd values", {}, ""},
        {"text key of a selected type",
         {poisonCard("K-17", 0)},
         "ADODataSet1: 'K-17' is not a valid integer value for field 'KeyNumber'"},
        {"key with a fraction",
         {poisonCard(1500.5, 0)},
         "ADODataSet1: '1500.5' is not a valid integer value for field 'KeyNumber'"},
        {"text flags",
         {poisonCard(1500, "admin")},
         "ADODataSet1: 'admin' is not a valid integer value for field 'flags'"},
        {"flags beyond 64 bits",
         {poisonCard(1500, 1e20)},
         "is not a valid integer value for field 'flags'"},
        {"person type 12", {poisonCard(1500, 12 << 21)}, "List index out of bounds (12)"},
    };
    std::string settings = settingsText("30", kOddSelected);
    for (const OddCase& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramDir dir;
        writeFile(dir.file("Dormex.ini"), settings);
        std::vector<HeldCard> cards = oddCards();
        cards.insert(cards.end(), c.poison.begin(), c.poison.end());
        std::map<std::int64_t, std::string> before;
        {
            auto site = TestSite::create(sqliteAt(dir.siteDb()));
            for (const HeldCard& card : cards) site->add(card);
            site->rows(
                "INSERT INTO MXRSettings VALUES ('Custom Person Type 1', 'globalmxr', NULL)");
            site->rows("INSERT INTO MXRSettings VALUES ('Custom Person Type 2', 'globalmxr', ?)",
                       {QString::fromUtf8("\xF0\x9F\x94\xA7 T\xC3\xA9\x63nico")});
            before = site->cardStates();
        }
        RunResult r = dir.run({"silent"}, 30s);
        EXPECT_TRUE(endedWith(r, c.failure.empty() ? 0 : 1)) << dir.log();

        // The run handles the cards in key order until the first poison card.
        const SortKey stop = c.poison.empty() ? SortKey{2, 0, ""} : sortKeyOf(c.poison.front().key);
        std::vector<std::pair<SortKey, const HeldCard*>> expectedCards;
        for (const HeldCard& card : cards) {
            const bool idle = card.usedDaysAgo < 0 || card.usedDaysAgo > 30;
            if (card.active && idle && kOddSelected.count(typeOf(card)) &&
                sortKeyOf(card.key) < stop)
                expectedCards.push_back({sortKeyOf(card.key), &card});
        }
        std::sort(expectedCards.begin(), expectedCards.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<std::string> expectedEntries;
        std::set<std::string> expectedKeys;
        for (const auto& [sortKey, card] : expectedCards) {
            expectedEntries.push_back(
                "," + logText(card->key) + "," + logText(card->holder ? card->last : Value()) +
                "," + logText(card->holder ? card->first : Value()) + "," +
                logText(card->holder ? card->flags : Value()) + ", Deactivated");
            expectedKeys.insert(logText(card->key));
        }
        const std::string log = dir.log();
        EXPECT_EQ(deactivatedEntries(log), expectedEntries);
        TestSite site(sqliteAt(dir.siteDb()));
        EXPECT_EQ(changedKeys(site, before), expectedKeys);
        const auto after = site.cardStates();
        for (const auto& [key, id] : site.cardIdsByKey()) {
            if (expectedKeys.count(key)) {
                EXPECT_EQ(after.at(id), kDeactivated) << key;
            }
        }
        const auto failures = failureEntries(log);
        if (c.failure.empty()) {
            EXPECT_TRUE(failures.empty()) << log;
        } else {
            ASSERT_EQ(failures.size(), 1u) << log;
            EXPECT_TRUE(startsWith(failures[0], "RunQuery():")) << failures[0];
            EXPECT_NE(failures[0].find(c.failure), std::string::npos) << failures[0];
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Connection failures must not reveal the password.

struct SecretCase {
    std::string name;
    std::string registration;  // SiteLibrary.ini
    EnvList env;
    std::string mentions = "Cannot connect to the site database";  // what the message must say
};

TEST(Secrets, AFailedConnectionNeverShowsThePassword) {
    ProgramDir dir;
    writeFile(dir.file("Dormex.ini"), settingsText("30", {0}));
    const std::string port = std::to_string(closedPort());
    const std::string password = kPassword;
    const std::string pg =
        "[Database]\nDriver=QPSQL\nHost=127.0.0.1\nPort=" + port + "\nDatabase=site\nUser=dormex\n";
    const EnvList odbcEnv = {{"ODBCSYSINI", dir.path()}, {"ODBCINI", dir.file("odbc.ini")}};
    std::vector<SecretCase> cases = {
        {"QPSQL, closed port", pg + "Password=" + password + "\n", {}},
        {"QPSQL, closed port, quote and backslash in the password",
         pg + "Password=" + password + "'\\\n",
         {}},
        // libpq repeats a bad option's value in its message: here the value is the password.
        {"QPSQL, the driver's message repeats the password",
         pg + "Password=" + password + "\nOptions=sslmode=" + password + "\n",
         {},
         "sslmode"},
        {"QODBC, unknown driver",
         "[Database]\nDriver=QODBC\nDatabase=DRIVER={FaultsNoSuchDriver};SERVER=127.0.0.1;PORT=" +
             port + ";UID=dormex;PWD=" + password + ";\n",
         odbcEnv},
        {"QODBC, unknown data source, password key",
         "[Database]\nDriver=QODBC\nDatabase=FaultsNoSuchDsn\nUser=dormex\nPassword=" + password +
             "\n",
         odbcEnv},
    };
    const std::string psqlOdbc = "/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so";
    const std::string host = envOr("DORMEX_PG_HOST");
    if (std::filesystem::exists(psqlOdbc)) {
        writeFile(dir.file("odbcinst.ini"), "[FaultsPostgreSQL]\nDriver=" + psqlOdbc + "\n");
        // Through the driver the program directory registers, at `server` with `secret`.
        auto viaDriver = [&](const std::string& server, const std::string& secret) {
            return "[Database]\nDriver=QODBC\nDatabase=DRIVER={FaultsPostgreSQL};" + server +
                   ";PWD=" + secret + ";\n";
        };
        const std::string closed = "SERVER=127.0.0.1;PORT=" + port + ";DATABASE=site;UID=dormex";
        cases.push_back(
            {"QODBC PostgreSQL driver, closed port", viaDriver(closed, password), odbcEnv});
        cases.push_back({"QODBC PostgreSQL driver, closed port, password in braces",
                         viaDriver(closed, "{" + password + "}"), odbcEnv});
        if (!host.empty()) {
            cases.push_back({"QODBC PostgreSQL driver, wrong password",
                             viaDriver("SERVER=" + host + ";PORT=" + envOr("DORMEX_PG_PORT") +
                                           ";DATABASE=" + envOr("DORMEX_PG_DB") +
                                           ";UID=" + envOr("DORMEX_PG_USER"),
                                       password),
                             odbcEnv});
        }
    }
    if (!host.empty()) {
        ConnectionSettings wrong = harnessSettings(Driver::Postgres);
        wrong.password = password;
        cases.push_back({"QPSQL, wrong password", registrationText(wrong), {}});
    } else if (onCi()) {
        ADD_FAILURE()
            << "no PostgreSQL server for the wrong-password case: run under scripts/pg-harness.sh";
    }

    for (const SecretCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir.file("dormex.log"));
        writeFile(dir.file("SiteLibrary.ini"), c.registration);
        RunResult r = dir.run({"silent"}, 60s, c.env);
        EXPECT_TRUE(endedWith(r, 2));
        EXPECT_NE(r.err.find(c.mentions), std::string::npos) << r.err;
        const std::string log = dir.log();
        EXPECT_EQ(logLines(log).size(), 1u) << "a set-up failure is one entry: " << log;
        for (const std::string& where : {r.err, r.out, log}) {
            EXPECT_EQ(where.find(password), std::string::npos) << where;
            EXPECT_EQ(where.find("Sup3rSecret"), std::string::npos) << where;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// A PostgreSQL server, natively and through ODBC, that stops answering.

// A TCP relay on 127.0.0.1 to the server, on a thread of its own. stop() makes it go silent: it
// no longer forwards, accepts, reads or writes anything, yet closes nothing until it is destroyed
// (at the latest after kLifetime).
class SilentRelay {
public:
    static constexpr auto kLifetime = 150s;

    explicit SilentRelay(int serverPort) : m_serverPort(serverPort) {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (m_listener < 0 ||
            ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listener, 16) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("relay: no listening socket");
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~SilentRelay() {
        m_closing = true;
        m_thread.join();
        for (int fd : m_sockets) ::close(fd);
        ::close(m_listener);
    }
    SilentRelay(const SilentRelay&) = delete;
    SilentRelay& operator=(const SilentRelay&) = delete;

    int port() const { return m_port; }
    void stop() { m_silent = true; }

private:
    static sockaddr_in loopback(int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        return address;
    }

    void run() {
        const auto end = SteadyClock::now() + kLifetime;
        std::map<int, int> partner;
        while (!m_closing && !m_silent && SteadyClock::now() < end) {
            std::vector<pollfd> fds{{m_listener, POLLIN, 0}};
            for (const auto& [fd, other] : partner) fds.push_back({fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 50) <= 0 || m_silent) continue;
            for (const pollfd& entry : fds) {
                if (!(entry.revents & (POLLIN | POLLHUP | POLLERR))) continue;
                if (entry.fd == m_listener) {
                    accept(partner);
                } else if (partner.count(entry.fd)) {
                    forward(entry.fd, partner);
                }
            }
        }
        while (!m_closing && SteadyClock::now() < end) std::this_thread::sleep_for(50ms);
    }

    void accept(std::map<int, int>& partner) {
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        m_sockets.push_back(client);
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = loopback(m_serverPort);
        if (server < 0) return;
        m_sockets.push_back(server);
        if (::connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            return;
        partner[client] = server;
        partner[server] = client;
    }

    // Copies what `from` has to its partner; at its end, ends the pair's forwarding.
    void forward(int from, std::map<int, int>& partner) {
        char buffer[65536];
        const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
        const int to = partner[from];
        if (n <= 0) {
            ::shutdown(to, SHUT_WR);
            partner.erase(from);
            partner.erase(to);
            return;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t sent =
                ::send(to, buffer + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
            if (sent <= 0) return;
            done += sent;
        }
    }

    int m_serverPort;
    int m_port = 0;
    int m_listener = -1;
    std::vector<int> m_sockets;
    std::atomic<bool> m_silent{false};
    std::atomic<bool> m_closing{false};
    std::thread m_thread;
};

TEST(ServerStopsAnswering, TheRunEndsWithALoggedFailureAndExactlyTheLoggedCardsSaved) {
    DORMEX_REQUIRE_HARNESS();
    for (Driver driver : {Driver::Postgres, Driver::Odbc}) {
        SCOPED_TRACE(driverName(driver));
        IdleSite s(driver);
        TestSite& site = s.site();
        // The second card's row is locked: the run waits there, the first card done, when the
        // relay goes silent. The lock outlasts the run, so the second card is never saved.
        site.exec("BEGIN");
        site.rows("SELECT 1 FROM Keycards WHERE CardID = 2 FOR UPDATE");
        SilentRelay relay(IdleSite::serverPort());
        s.reachAt(relay.port());

        auto child = s.dir.start({"silent"});
        const bool reached =
            waitUntil([&] { return !child->running() || s.waitingForUs() > 0; }, 30s);
        relay.stop();
        const auto silent = SteadyClock::now();
        RunResult r = child->wait(120s);
        const double seconds = secondsSince(silent);
        site.exec("ROLLBACK");
        std::printf("[ measured ] %s: the run ended %.1f s after the relay went silent\n",
                    driverName(driver), seconds);

        const std::string log = s.dir.log();
        ASSERT_TRUE(reached) << "the run never waited for the second card: " << log << r.err;
        EXPECT_TRUE(endedWith(r, 1)) << "the run must end once the server stops answering";
        EXPECT_LT(seconds, 90);
        EXPECT_EQ(deactivatedKeys(log), (std::vector<std::string>{"101"})) << log;
        const auto failures = failureEntries(log);
        ASSERT_EQ(failures.size(), 1u) << log;
        EXPECT_NE(failures[0].find("stopped answering"), std::string::npos) << failures[0];
        EXPECT_TRUE(startsWith(logLines(log).back(), "SELECT k.KeyNumber")) << log;
        EXPECT_EQ(changedKeys(site, s.before), (std::set<std::string>{"101"}))
            << "the cards saved are the cards logged";
    }
}

// ---------------------------------------------------------------------------------------------
// A log that is no regular file.

TEST(OddLog, AnythingButAFileAtTheLogsPathStopsTheRunBeforeAnyCard) {
    struct Case {
        const char* name;
        bool fifo;
        bool reader;
    } cases[] = {
        {"a FIFO", true, false}, {"a FIFO a reader holds", true, true}, {"a folder", false, false}};
    // Each run tries its first entry for 10 s: they run side by side.
    std::vector<std::unique_ptr<IdleSite>> sites;
    std::vector<std::unique_ptr<Child>> runs;
    std::vector<int> readers;
    for (const Case& c : cases) {
        sites.push_back(std::make_unique<IdleSite>());
        const std::string log = sites.back()->dir.file("dormex.log");
        ASSERT_TRUE(c.fifo ? ::mkfifo(log.c_str(), 0644) == 0
                           : std::filesystem::create_directory(log));
        readers.push_back(c.reader ? ::open(log.c_str(), O_RDONLY | O_NONBLOCK) : -1);
        runs.push_back(sites.back()->dir.start({"silent"}));
    }
    for (size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        RunResult r = runs[i]->wait(60s);
        EXPECT_TRUE(endedWith(r, 1));
        EXPECT_NE(r.err.find(sites[i]->dir.file("dormex.log")), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("  Days = 30\""), std::string::npos) << r.err;
        if (readers[i] >= 0) {
            char buffer[64];
            EXPECT_EQ(::read(readers[i], buffer, sizeof buffer), 0) << "only a file is written";
            ::close(readers[i]);
        }
        for (const auto& [id, state] : TestSite(sqliteAt(sites[i]->dir.siteDb())).cardStates())
            EXPECT_EQ(state, kUntouched) << "card " << id;
    }
}

}  // namespace
}  // namespace dormex::test

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
