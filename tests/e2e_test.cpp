// End to end: the built programs in a temporary program directory, without a window system,
// against a real site database on SQLite, PostgreSQL and PostgreSQL through ODBC.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "support/EndToEnd.h"
#include "support/Harness.h"

namespace dormex::test {
namespace {

using sitelib::ConnectionSettings;
using sitelib::Driver;

// Each backend in a program directory of its own: a SQLite file beside the programs, or a
// database of its own on the harness's server reached natively or through ODBC.
class EndToEnd : public ::testing::TestWithParam<std::string>, public EndToEndRuns {
protected:
    EndToEnd() : EndToEndRuns("dormex", false) {}
    void SetUp() override {
        const std::string backend = GetParam();
        postgres = backend != "sqlite";
        if (postgres) DORMEX_REQUIRE_HARNESS();
        for (const char* program : {"dormex", "dormex-site"}) {
            std::filesystem::copy_file(buildDir() + "/" + program, dir.file(program));
        }
        if (!postgres) {
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

    RunResult dormex(const std::string& command, EnvList env = {}) override {
        return runProgram(dir.file("dormex"), {command}, dir.path(), std::chrono::seconds(120),
                          env);
    }

    std::string dbName;
};

TEST_P(EndToEnd, UnattendedRunDeactivatesExactlyTheIdleCardsOfSelectedTypes) {
    scenarioRuns();
}

TEST_P(EndToEnd, NoTransactionStopsTheRunUnlessTheFeedCheckIsOffThenOnlyTheFirstCardGoes) {
    db->add(scenario::Person{1, "Ames", "Bo", 0});
    db->add(scenario::Card{11, 26, 1});
    db->add(scenario::Card{12, 26, 1});
    writeFile(dir.file("Dormex.ini"), settingsText("30", {0}));
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
    failureRuns();
}

TEST_P(EndToEnd, MissingTablesAreLoggedFailures) {
    fill();
    missingTables();
}

TEST_P(EndToEnd, SixCustomNamesOverflowTheList) {
    for (int i = 1; i <= 6; ++i) {
        exec(
            "INSERT INTO MXRSettings (SettingName, StationName, StringSetting1) VALUES ('Custom "
            "Person Type " +
            std::to_string(i) + "', 'globalmxr', " +
            (i == 2 ? std::string("NULL") : "'Name " + std::to_string(i) + "'") + ")");
    }
    writeFile(dir.file("Dormex.ini"), settingsText("30", {}));
    db->add(scenario::Use{26, 1});
    RunResult r = dormex("silent");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(log(), (std::vector<std::string>{"LoadCustomNames():List index out of bounds (11)",
                                               "Days = 30"}));
}

TEST_P(EndToEnd, PreviewListsWhatTheRunWillDoAndChangesNothing) {
    previewThenRun();
}

INSTANTIATE_TEST_SUITE_P(Backends, EndToEnd, ::testing::Values("sqlite", "psql", "odbc"),
                         [](const auto& info) { return info.param; });

// Starts that end before any database work, and the missing database, each in a program
// directory of its own.
TEST(StartUp, InteractiveStartsWithoutWindowSystemExitTwoTouchingNothing) {
    ProgramDir dir;
    writeFile(dir.file("Dormex.ini"), "[General]\nDays=abc\n");
    for (std::vector<std::string> args :
         {std::vector<std::string>{}, {"/silent"}, {"-silent"}, {"x", "silent"}}) {
        RunResult r = dir.run(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("no window system"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line";
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("dormex.log")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("site.db")));
    EXPECT_EQ(readFile(dir.file("Dormex.ini")), "[General]\nDays=abc\n");
}

// Also in a folder whose name holds a line feed: the log's entry and standard error's line stay
// one line.
TEST(StartUp, MissingSiteDatabaseIsASetupError) {
    ProgramDir dir;
    for (const std::string& folder :
         std::vector<std::string>{dir.path(), dir.file("x\nforged 12/09/26 00:00:00  ,99")}) {
        std::filesystem::create_directories(folder);
        if (folder != dir.path())
            std::filesystem::copy_file(dir.file("dormex"), folder + "/dormex");
        RunResult r = runProgram(folder + "/dormex", {"silent"}, folder);
        EXPECT_EQ(r.status, 2);
        std::string shown = folder;
        std::replace(shown.begin(), shown.end(), '\n', ' ');
        EXPECT_EQ(r.err, "Dormex: Site database not found: " + shown + "/site.db.\n");
        EXPECT_FALSE(std::filesystem::exists(folder + "/site.db"));
        EXPECT_EQ(logMessages(readFile(folder + "/dormex.log")),
                  std::vector<std::string>{"Set-up failed: " + r.err.substr(8, r.err.size() - 9)});
    }
}

// Without a window system the log holds what the error box would have shown.
TEST(StartUp, BadSettingsAreSetupErrorsLoggedWhereNoBoxIsSeen) {
    ProgramDir dir;
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
            RunResult r = dir.run({"silent"}, std::chrono::seconds(60), env);
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
