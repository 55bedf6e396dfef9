// End to end: the built programs in a temporary program directory, without a window system,
// against a real site database on SQLite, PostgreSQL and PostgreSQL through ODBC.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSqlQuery>
#include <QSqlRecord>
#include <atomic>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>

#include "Record.h"
#include "Scenarios.h"
#include "TestSupport.h"
#include "support/Harness.h"
#include "support/Programs.h"
#include "support/SiteRows.h"
#include "uDormex.h"

namespace dormex::test {
namespace {

using sitelib::ConnectionSettings;
using sitelib::Driver;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return text;
}

constexpr const char* kAmPmLocale = "en_US.UTF-8";

class EndToEnd : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        const std::string backend = GetParam();
        if (backend != "sqlite") DORMEX_REQUIRE_HARNESS();
        for (const char* program : {"dormex", "dormex-site"}) {
            std::filesystem::copy_file(buildDir() + "/" + program, dir.file(program));
        }
        if (backend == "sqlite") {
            settings.database = dir.file("site.db");
        } else {
            static std::atomic<int> counter{0};
            dbName = "e2e_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
            harnessAdminExec("CREATE DATABASE " + dbName);
            settings = harnessSettings(backend == "psql" ? Driver::Postgres : Driver::Odbc, dbName);
            writeFile(dir.file("SiteLibrary.ini"), registrationText(settings));
        }
        db = TestSite::create(settings);
    }

    void TearDown() override {
        db.reset();
        if (!dbName.empty())
            harnessAdminExec("DROP DATABASE IF EXISTS " + dbName + " WITH (FORCE)");
    }

    bool postgres() const { return GetParam() != "sqlite"; }
    void exec(const std::string& sql) { db->exec(sql); }

    void person(int id, const char* last, const char* first, scenario::Value flags) {
        db->add(scenario::Person{id, last, first, flags});
    }
    void card(int id, std::int64_t key, int userid, int active = 1) {
        db->add(scenario::Card{id, key, userid, active});
    }
    std::string state(int cardId) { return db->cardState(cardId); }
    std::vector<std::string> downloads() { return db->downloadRows(); }
    // Every row of the tables a run may change, as text.
    std::string siteDump() {
        std::string dump;
        for (const char* sql : {"SELECT * FROM Keycards ORDER BY CardID",
                                "SELECT * FROM CardDownloads ORDER BY DownloadID",
                                "SELECT * FROM personnel ORDER BY userid"}) {
            QSqlQuery q(db->db().connection());
            EXPECT_TRUE(q.exec(sql));
            while (q.next()) {
                for (int i = 0; i < q.record().count(); ++i)
                    dump += q.value(i).toString().toStdString() + "|";
                dump += "\n";
            }
        }
        return dump;
    }
    void settingsFile(const std::string& days, const std::set<int>& selected) {
        writeFile(dir.file("Dormex.ini"), settingsText(days, selected));
    }
    RunResult dormex(const std::string& arg, const EnvList& env = {}) {
        std::vector<std::string> args;
        if (!arg.empty()) args.push_back(arg);
        return runProgram(dir.file("dormex"), args, dir.path(), std::chrono::seconds(120), env);
    }
    std::vector<std::string> log() const { return logMessages(readFile(dir.file("dormex.log"))); }

    // Empties the site's tables and removes the log.
    void clearSite() {
        db->clear();
        std::filesystem::remove(dir.file("dormex.log"));
    }
    void keyColumns(const std::string& type) { db->setKeyColumnType(type); }
    void fillSite(const scenario::Site& site = scenario::smallSite()) {
        db->fill(site, dir.file("Dormex.ini"));
    }

    TempDir dir;
    ConnectionSettings settings;
    std::string dbName;
    std::unique_ptr<TestSite> db;
};

TEST_P(EndToEnd, UnattendedRunDeactivatesExactlyTheIdleCardsOfSelectedTypes) {
    // The key columns as created, then exact numeric columns holding keys beyond 2^53, each next
    // to a recently used card that a rounded key would hit, (SQLite) the column types a provider
    // reports, and two idle cards kept.
    for (const std::string variant :
         {"as created", "numeric(20,0)", "provider types", "kept", "days per type"}) {
        SCOPED_TRACE(variant);
        if (variant == "provider types" && postgres()) continue;
        clearSite();
        const bool numeric = variant == "numeric(20,0)";
        if (numeric) keyColumns(variant);
        if (variant == "provider types") db->declareProviderTypes();
        const bool typeDays = variant == "days per type";
        const scenario::Site site = variant == "kept" ? scenario::keptSite()
                                    : typeDays        ? scenario::typeDaysSite()
                                                      : scenario::smallSite(numeric);
        fillSite(site);
        // SQLite compares the stored text: "YYYYMMDD" sorts after every event, so the feed check
        // stops the run untouched; a server reads it as the day and selects as with ISO.
        if (variant == "as created") {
            const std::string ini = readFile(dir.file("Dormex.ini"));
            writeFile(dir.file("Dormex.ini"), ini + "SqlDateFormat=yyyymmdd\r\n");
            RunResult ymd = dormex("silent");
            EXPECT_EQ(ymd.status, postgres() ? 0 : 1) << ymd.err;
            EXPECT_EQ(downloads(), postgres() ? site.downloads : std::vector<std::string>{});
            if (!postgres()) {
                EXPECT_EQ(log().back().rfind("RunQuery():Stopped: no door transaction after 20", 0),
                          0u);
            }
            clearSite();
            fillSite(site);
        }
        RunResult r = dormex("silent");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(log(), site.entries);
        for (const auto& [id, s] : site.states) EXPECT_EQ(state(id), s) << "card " << id;
        EXPECT_EQ(downloads(), site.downloads);
        EXPECT_EQ(std::filesystem::exists(dir.file("dormex.csv")), typeDays);
        if (typeDays) {
            // The record reads back with its header and the name with a comma in one field; a
            // door transaction with the card's key since is listed and logged, not a failure.
            const auto record = record::ParseCsv(readFile(dir.file("dormex.csv")));
            ASSERT_EQ(record.size(), 2u);
            EXPECT_EQ(record[1][2], "Visit, Jr.");
            db->add(scenario::Use{18, -1});
            const RunResult shown = dormex("preview");
            EXPECT_NE(shown.out.find("after this program deactivated them:\n  18 Visit, Jr., Or: "),
                      std::string::npos)
                << shown.out;
            const RunResult next = dormex("silent");
            EXPECT_EQ(next.status, 0) << next.err;
            EXPECT_EQ(log().back(),
                      "1 card deactivated by this program was presented at a door "
                      "since; see the preview");
            continue;
        }

        // The next run, in a locale whose time holds a blank ("10:05:01 AM"), finds nothing left
        // to do, and its entry reads as any other.
        if (!localeInstalled(kAmPmLocale)) {
            if (onCi()) ADD_FAILURE() << kAmPmLocale << " is not installed";
        }
        RunResult again = dormex("SILENT", {{"LC_ALL", kAmPmLocale}});
        EXPECT_EQ(again.status, 0);
        EXPECT_EQ(log().size(), site.entries.size() + 1);
        EXPECT_EQ(log().back(), "Days = 30");
    }
}

TEST_P(EndToEnd, NoTransactionStopsTheRunUnlessTheFeedCheckIsOffThenOnlyTheFirstCardGoes) {
    person(1, "Ames", "Bo", 0);
    card(11, 26, 1);
    card(12, 26, 1);
    settingsFile("30", {0});
    RunResult stopped = dormex("silent");
    EXPECT_EQ(stopped.status, 1) << stopped.err;
    ASSERT_EQ(log().size(), 2u);
    EXPECT_EQ(log()[1].rfind("RunQuery():Stopped: no door transaction after ", 0), 0u);
    EXPECT_EQ(state(11), "1/0/0");

    writeFile(dir.file("Dormex.ini"), settingsText("30", {0}) + "FeedCheck=False\r\n");
    RunResult r = dormex("silent");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(state(11), "0/3/6");
    EXPECT_EQ(state(12), "1/0/0");
}

TEST_P(EndToEnd, FailuresEndTheRunWithTheirStepAndStatus) {
    for (const scenario::Failure& c : scenario::failures()) {
        SCOPED_TRACE(c.postgres);
        clearSite();
        if (!c.keyType.empty()) keyColumns(c.keyType);
        fillSite();
        exec(postgres() ? c.postgres : c.sqlite);
        RunResult r = dormex("silent");
        EXPECT_EQ(r.status, 1) << r.err;
        auto lines = log();
        ASSERT_EQ(lines.size(), c.before + 3) << c.marker;
        const std::string& failure = lines[c.before + 1];
        EXPECT_EQ(failure.rfind("RunQuery():" + c.marker + ":", 0), 0u) << failure;
        const std::string& text =
            postgres() || c.sqliteFailure.empty() ? c.failure : c.sqliteFailure;
        EXPECT_NE(lower(failure).find(lower(text)), std::string::npos) << failure;
        EXPECT_NE(failure.back(), '.');
        EXPECT_EQ(lines.back().rfind("SELECT k.KeyNumber", 0), 0u);
        // The cards in the run's order: those before the failure done and kept, the rest never
        // reached (the failing save undone); every saved card has its download, no other one.
        const std::vector<int>& order = scenario::kSmallSiteOrder;
        std::vector<std::string> queued;
        for (size_t i = 0; i < order.size(); ++i) {
            const bool saved = i < c.before;
            EXPECT_EQ(state(order[i]), saved ? "0/3/6" : "1/0/0") << "card " << order[i];
            if (saved) queued.push_back(std::to_string(order[i]) + ":0,1,0");
        }
        EXPECT_EQ(downloads(), queued);
        exec(postgres() ? "SET client_min_messages = warning; DROP TRIGGER IF EXISTS f ON "
                          "Keycards; DROP TRIGGER IF EXISTS f ON CardDownloads; DROP FUNCTION IF "
                          "EXISTS f()"
                        : "DROP TRIGGER IF EXISTS f");
    }
}

TEST_P(EndToEnd, MissingTablesAreLoggedFailures) {
    fillSite();
    exec("DROP TABLE MXRSettings");
    exec("DROP TABLE Transactions");
    RunResult r = dormex("silent");
    EXPECT_EQ(r.status, 1);
    auto lines = log();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("LoadCustomNames():", 0), 0u);
    EXPECT_NE(lower(lines[0]).find("mxrsettings"), std::string::npos)
        << "names the table: " << lines[0];
    EXPECT_EQ(lines[1], "Days = 30");
    EXPECT_EQ(lines[2].rfind("RunQuery():0:", 0), 0u) << lines[2];
    EXPECT_EQ(state(1), "1/0/0");
}

TEST_P(EndToEnd, SixCustomNamesOverflowTheList) {
    for (int i = 1; i <= 6; ++i) {
        exec(
            "INSERT INTO MXRSettings (SettingName, StationName, StringSetting1) VALUES ('Custom "
            "Person Type " +
            std::to_string(i) + "', 'globalmxr', " +
            (i == 2 ? std::string("NULL") : "'Name " + std::to_string(i) + "'") + ")");
    }
    settingsFile("30", {});
    db->add(scenario::Use{26, 1});
    RunResult r = dormex("silent");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(log(), (std::vector<std::string>{"LoadCustomNames():List index out of bounds (11)",
                                               "Days = 30"}));
}

TEST_P(EndToEnd, PreviewListsWhatTheRunWillDoAndChangesNothing) {
    fillSite();
    const std::string before = siteDump();
    RunResult p = dormex("preview");
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("dormex.log")));
    EXPECT_TRUE(downloads().empty());
    EXPECT_EQ(state(1), "1/0/0");
    EXPECT_EQ(siteDump(), before);

    RunResult r = dormex("silent");
    ASSERT_EQ(r.status, 0);
    std::vector<std::string> previewed;
    std::istringstream lines(p.out);
    for (std::string line; std::getline(lines, line);) previewed.push_back(line);
    ASSERT_GT(previewed.size(), 1u);
    EXPECT_EQ(previewed.front(), "Door transactions after '" +
                                     CutoffFor(std::time(nullptr), 30, SqlDateFormat::Iso).date +
                                     " 00:00:00': 2; the feed check passes");
    previewed.erase(previewed.begin());
    EXPECT_EQ(previewed.back().rfind("6 cards would be deactivated (Days = 30, cut-off date ", 0),
              0u)
        << previewed.back();
    previewed.pop_back();
    std::vector<std::string> done = log();
    done.erase(done.begin());
    for (auto& line : previewed)
        line = line.substr(0, line.size() - std::string("Would deactivate").size()) + "Deactivated";
    EXPECT_EQ(previewed, done);
}

INSTANTIATE_TEST_SUITE_P(Backends, EndToEnd, ::testing::Values("sqlite", "psql", "odbc"),
                         [](const auto& info) { return info.param; });

// Starts that end before any database work, and the missing database.
class StartUp : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy_file(buildDir() + "/dormex", dir.file("dormex"));
    }
    RunResult dormex(std::vector<std::string> args, const EnvList& env = {}) {
        return runProgram(dir.file("dormex"), args, dir.path(), std::chrono::seconds(60), env);
    }
    TempDir dir;
};

TEST_F(StartUp, InteractiveStartsWithoutWindowSystemExitTwoTouchingNothing) {
    writeFile(dir.file("Dormex.ini"), "[General]\nDays=abc\n");
    for (std::vector<std::string> args :
         {std::vector<std::string>{}, {"/silent"}, {"-silent"}, {"x", "silent"}}) {
        RunResult r = dormex(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("no window system"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line";
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("dormex.log")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("site.db")));
    EXPECT_EQ(readFile(dir.file("Dormex.ini")), "[General]\nDays=abc\n");
}

// Also in a folder whose name holds a line feed: the log's entry stays one line.
TEST_F(StartUp, MissingSiteDatabaseIsASetupError) {
    for (const std::string& folder :
         std::vector<std::string>{dir.path(), dir.file("x\nforged 12/09/26 00:00:00  ,99")}) {
        std::filesystem::create_directories(folder);
        if (folder != dir.path())
            std::filesystem::copy_file(dir.file("dormex"), folder + "/dormex");
        RunResult r = runProgram(folder + "/dormex", {"silent"}, folder);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "Dormex: Site database not found: " + folder + "/site.db.\n");
        EXPECT_FALSE(std::filesystem::exists(folder + "/site.db"));
        std::string logged = r.err.substr(8, r.err.size() - 9);
        std::replace(logged.begin(), logged.end(), '\n', ' ');
        EXPECT_EQ(logMessages(readFile(folder + "/dormex.log")),
                  std::vector<std::string>{"Set-up failed: " + logged});
    }
}

// Without a window system the log holds what the error box would have shown.
TEST_F(StartUp, BadSettingsAreSetupErrorsLoggedWhereNoBoxIsSeen) {
    {
        ConnectionSettings sqlite;
        sqlite.database = dir.file("site.db");
        TestSite::create(sqlite);
    }
    struct Case {
        const char* ini;
        const char* err;
    } cases[] = {
        {"[General]\r\nDays=abc\r\n", "Dormex: 'abc' is not a valid integer value.\n"},
        {"[General]\r\ntype3=yes\r\n", "Dormex: 'yes' is not a valid boolean value.\n"},
        {"\xef\xbb\xbf[General]\r\nDays=1e3\r\n", "Dormex: '1e3' is not a valid integer value.\n"},
        {"[General]\r\n[Keep]\r\nabc=x\r\n",
         "Dormex: 'abc' in [Keep] of Dormex.ini is not a key number: each line is <key "
         "number>=<note>.\n"},
    };
    // A Qt platform that draws on no screen is no window system an unattended run could use.
    const EnvList screenless[] = {
        {}, {{"QT_QPA_PLATFORM", "offscreen"}}, {{"QT_QPA_PLATFORM", "minimal;xcb"}}};
    for (const auto& c : cases) {
        for (const EnvList& env : screenless) {
            writeFile(dir.file("Dormex.ini"), c.ini);
            RunResult r = dormex({"silent"}, env);
            EXPECT_FALSE(r.timedOut) << "an error box nobody sees";
            EXPECT_EQ(r.status, 2);
            EXPECT_EQ(r.err, c.err);
            const std::string err(c.err);
            EXPECT_EQ(logMessages(readFile(dir.file("dormex.log"))),
                      std::vector<std::string>{"Set-up failed: " + err.substr(8, err.size() - 9)});
            std::filesystem::remove(dir.file("dormex.log"));
            EXPECT_EQ(readFile(dir.file("Dormex.ini")), c.ini);
        }
    }
}

}  // namespace
}  // namespace dormex::test

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
