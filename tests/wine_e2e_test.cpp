// The Windows program end to end under Wine: Dormex.exe of the 64-bit Windows build, with the
// stand-in COM server DormexSite.dll registered in that build's Wine prefix, on site files made
// here as for the Linux program, run through the same scenarios with the same expectations.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>

#include "Scenarios.h"
#include "SiteContent.h"
#include "SiteDatabase.h"
#include "TestSupport.h"
#include "support/Programs.h"
#include "support/SiteRows.h"

namespace dormex::test {
namespace {

using sitelib::ConnectionSettings;
using sitelib::SiteDatabase;

// The Windows build: DORMEX_WINDOWS_BUILD, else the one fixed when the test was built.
std::string windowsBuild() {
    return envOr("DORMEX_WINDOWS_BUILD").empty() ? DORMEX_WINDOWS_BUILD_DIR
                                                 : envOr("DORMEX_WINDOWS_BUILD");
}

// The tests run when asked for: DORMEX_WINDOWS_BUILD names a build, or
// DORMEX_REQUIRE_WINDOWS_BUILD=1 (the test command, right after building it) requires one.
bool asked() {
    return !envOr("DORMEX_WINDOWS_BUILD").empty() || envOr("DORMEX_REQUIRE_WINDOWS_BUILD") == "1";
}

// A Linux path as the Windows program sees it (Wine's drive Z: is the root directory).
std::string windowsPath(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return "Z:" + path;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return text;
}

class WineEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!asked()) return;
        const std::string build = windowsBuild();
        for (const char* file : {"Dormex.exe", "DormexSite.dll", "wine-run"}) {
            if (!std::filesystem::exists(build + "/" + file)) {
                s_missing = build + "/" + file;
                return;
            }
        }
        // Registration in the build's prefix, as a user (no administrator) does it.
        TempDir scratch;
        RunResult r = runProgram(build + "/wine-run",
                                 {"regsvr32", "/s", windowsPath(build + "/DormexSite.dll")},
                                 scratch.path(), std::chrono::seconds(120));
        if (r.status != 0) s_missing = "registration of DormexSite.dll: " + r.err;
    }

    void SetUp() override {
        if (!asked()) GTEST_SKIP() << "runs after a Windows build: set DORMEX_WINDOWS_BUILD to one";
        if (!s_missing.empty()) {
            if (envOr("DORMEX_REQUIRE_WINDOWS_BUILD") == "1")
                FAIL() << "no Windows build to run: " << s_missing;
            GTEST_SKIP() << "no Windows build to run (" << s_missing
                         << "): build it with scripts/windows.sh";
        }
        std::filesystem::copy_file(windowsBuild() + "/Dormex.exe", dir.file("Dormex.exe"));
        settings.database = dir.file("site.db");
        open();
        db->createSchema();
    }

    // The test's own connection is closed while the Windows program runs.
    void open() { db = std::make_unique<SiteDatabase>(settings, SiteDatabase::OpenMode::Create); }
    void exec(const std::string& sql) { db->exec(QString::fromStdString(sql)); }

    void fill(const scenario::Site& site) { fillScenario(*db, site, dir.file("Dormex.ini")); }
    void clearSite() {
        test::clearSite(*db);
        std::filesystem::remove(dir.file("Dormex.log"));
    }
    void keyColumns(const std::string& type) { setKeyColumnType(*db, type); }

    RunResult dormex(const std::string& command) {
        db.reset();
        // Wine prints the strings of an error event on this channel.
        RunResult r =
            runProgram(windowsBuild() + "/wine-run", {windowsPath(dir.file("Dormex.exe")), command},
                       dir.path(), std::chrono::seconds(120), {{"WINEDEBUG", "-all,err+eventlog"}});
        open();
        return r;
    }
    std::vector<std::string> log() const { return logMessages(readFile(dir.file("Dormex.log"))); }

    std::string state(int cardId) { return cardState(*db, cardId); }
    std::vector<std::string> downloads() { return downloadRows(*db); }

    static inline std::string s_missing;
    TempDir dir;
    ConnectionSettings settings;
    std::unique_ptr<SiteDatabase> db;
};

TEST_F(WineEndToEnd, SilentRunLeavesWhatTheLinuxRunLeaves) {
    EXPECT_NE(readFile(dir.file("Dormex.exe")).find("SetDllDirectoryW"), std::string::npos)
        << "the program takes the current directory out of the DLL search";
    // Keys as created, exact numeric(20,0) keys, then two idle cards kept.
    for (const int variant : {0, 1, 2}) {
        SCOPED_TRACE(variant);
        clearSite();
        if (variant == 1) keyColumns("numeric(20,0)");
        const scenario::Site site =
            variant == 2 ? scenario::keptSite() : scenario::smallSite(variant == 1);
        fill(site);
        if (variant == 0) {
            // SQLite compares the stored text: the feed check stops a YYYYMMDD run untouched.
            const std::string ini = readFile(dir.file("Dormex.ini"));
            writeFile(dir.file("Dormex.ini"), ini + "SqlDateFormat=YYYYMMDD\r\n");
            RunResult ymd = dormex("silent");
            EXPECT_EQ(ymd.status, 1) << ymd.err;
            EXPECT_EQ(log().back().rfind("RunQuery():Stopped: no door transaction after 20", 0),
                      0u);
            EXPECT_TRUE(downloads().empty());
            writeFile(dir.file("Dormex.ini"), ini);
            std::filesystem::remove(dir.file("Dormex.log"));
        }
        RunResult r = dormex("silent");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "") << "a clean run reports no error event";
        EXPECT_EQ(log(), site.entries);
        for (const auto& [id, s] : site.states) EXPECT_EQ(state(id), s) << "card " << id;
        EXPECT_EQ(downloads(), site.downloads);
        // The next run finds nothing left to do.
        r = dormex("SILENT");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(log().size(), site.entries.size() + 1);
    }
}

TEST_F(WineEndToEnd, PreviewListsWhatTheRunWillDoAndChangesNothing) {
    const scenario::Site site = scenario::smallSite();
    fill(site);
    RunResult p = dormex("preview");
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("Dormex.log")));
    EXPECT_TRUE(downloads().empty());
    std::vector<std::string> previewed;
    std::istringstream lines(p.out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        previewed.push_back(line);
    }
    ASSERT_GT(previewed.size(), 1u);
    EXPECT_EQ(previewed.front().rfind("Door transactions after '", 0), 0u) << previewed.front();
    EXPECT_EQ(previewed.front().substr(previewed.front().find("':")),
              "': 2; the feed check passes");
    previewed.erase(previewed.begin());
    EXPECT_EQ(previewed.back().rfind("6 cards would be deactivated (Days = 30, cut-off date ", 0),
              0u)
        << previewed.back();
    previewed.pop_back();
    std::vector<std::string> expected(site.entries.begin() + 1, site.entries.end());
    for (auto& line : expected)
        line = line.substr(0, line.size() - std::string("Deactivated").size()) + "Would deactivate";
    EXPECT_EQ(previewed, expected);
}

TEST_F(WineEndToEnd, FailuresEndTheRunWithTheirStepAsOnLinux) {
    for (const scenario::Failure& c : scenario::failures()) {
        SCOPED_TRACE(c.sqlite);
        clearSite();
        if (!c.keyType.empty()) keyColumns(c.keyType);
        fill(scenario::smallSite());
        exec(c.sqlite);
        RunResult r = dormex("silent");
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("err:eventlog:ReportEventW L\"RunQuery():" + c.marker + ":"),
                  std::string::npos)
            << r.err;
        auto lines = log();
        ASSERT_EQ(lines.size(), c.before + 3) << c.marker;
        const std::string& failure = lines[c.before + 1];
        EXPECT_EQ(failure.rfind("RunQuery():" + c.marker + ":", 0), 0u) << failure;
        const std::string& text = c.sqliteFailure.empty() ? c.failure : c.sqliteFailure;
        EXPECT_NE(lower(failure).find(lower(text)), std::string::npos) << failure;
        EXPECT_EQ(lines.back().rfind("SELECT k.KeyNumber", 0), 0u);
        std::vector<std::string> queued;
        for (size_t i = 0; i < scenario::kSmallSiteOrder.size(); ++i) {
            const int id = scenario::kSmallSiteOrder[i];
            const bool saved = i < c.before;
            EXPECT_EQ(state(id), saved ? "0/3/6" : "1/0/0") << "card " << id;
            if (saved) queued.push_back(std::to_string(id) + ":0,1,0");
        }
        EXPECT_EQ(downloads(), queued);
        exec("DROP TRIGGER IF EXISTS f");
    }
}

TEST_F(WineEndToEnd, SiteLibraryFailuresAreOneLineErrors) {
    fill(scenario::smallSite());
    // A set-up failure without a window system: its message in the log and the event log.
    writeFile(dir.file("Dormex.ini"), "[General]\r\nDays=abc\r\n");
    RunResult r = dormex("silent");
    std::filesystem::remove(dir.file("Dormex.ini"));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(log(),
              std::vector<std::string>{"Set-up failed: 'abc' is not a valid integer value."});
    EXPECT_NE(r.err.find("err:eventlog:ReportEventW L\"'abc' is not a valid integer value.\""),
              std::string::npos)
        << r.err;
    // Missing tables: logged failures of both routines.
    std::filesystem::remove(dir.file("Dormex.log"));
    exec("DROP TABLE MXRSettings");
    exec("DROP TABLE Transactions");
    r = dormex("silent");
    EXPECT_EQ(r.status, 1);
    auto lines = log();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "LoadCustomNames():no such table: MXRSettings");
    EXPECT_EQ(lines[1], "Days = 30");
    EXPECT_EQ(lines[2].rfind("RunQuery():0:no such table: Transactions", 0), 0u) << lines[2];
    // No site database, then a class that is not registered: set-up errors, one entry each.
    std::filesystem::remove(dir.file("Dormex.log"));
    db.reset();
    std::filesystem::rename(dir.file("site.db"), dir.file("other.db"));
    r = runProgram(windowsBuild() + "/wine-run", {windowsPath(dir.file("Dormex.exe")), "silent"},
                   dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "Dormex: Site database not found: " + windowsPath(dir.file("site.db")) + ".\r\n");
    writeFile(dir.file("SiteLibrary.ini"),
              "[Database]\r\nDatabase=other.db\r\n[COM]\r\nClass=Vendor.NotInstalled\r\n");
    r = runProgram(windowsBuild() + "/wine-run", {windowsPath(dir.file("Dormex.exe")), "silent"},
                   dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find("[COM] Class=Vendor.NotInstalled"), std::string::npos) << r.err;
    // The stand-in reads SQLite files only.
    writeFile(dir.file("SiteLibrary.ini"), "[Database]\r\nDriver=QPSQL\r\nDatabase=site\r\n");
    r = runProgram(windowsBuild() + "/wine-run", {windowsPath(dir.file("Dormex.exe")), "silent"},
                   dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("Dormex: Unsupported site database driver 'QPSQL'", 0), 0u) << r.err;
    EXPECT_EQ(log().size(), 3u) << "one entry per set-up failure";
}

}  // namespace
}  // namespace dormex::test

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
