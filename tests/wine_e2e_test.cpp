// The Windows program end to end under Wine: Dormex.exe of one architecture's build, with the
// stand-in COM server DormexSite.dll registered in that build's Wine prefix, on site files made
// here as for the Linux program, run through the same scenarios with the same expectations.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "support/EndToEnd.h"

namespace dormex::test {
namespace {

using sitelib::SiteDatabase;

// The Windows build: DORMEX_WINDOWS_BUILD, else the one fixed when the test was built.
std::string windowsBuild() {
    return envOr("DORMEX_WINDOWS_BUILD").empty() ? DORMEX_WINDOWS_BUILD_DIR
                                                 : envOr("DORMEX_WINDOWS_BUILD");
}

// The build's architecture (compiled once for each), and the other one's build.
constexpr int kArch = DORMEX_WINDOWS_ARCH;
constexpr int kOtherArch = kArch == 64 ? 32 : 64;
const std::string kOtherBuild = DORMEX_OTHER_WINDOWS_BUILD_DIR;

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

// [COM] of SiteLibrary.ini for the stand-in server.
const std::string kStandIn =
    "[COM]\r\nClass=DormexSite.TopLevel\r\n"
    "TopLevelInterface={38443E37-1153-4823-AC50-F35C8DE2D0EE}\r\n"
    "CollectionInterface={91556A0E-19F6-463B-BD49-D296802E969F}\r\n"
    "CardInterface={1B2774D4-361E-42CC-80F5-A873B24D43A4}\r\n";

class WineEndToEnd : public ::testing::Test, public EndToEndRuns {
protected:
    WineEndToEnd() : EndToEndRuns("Dormex", true) {}
    static void SetUpTestSuite() {
        if (!asked()) return;
        const std::string build = windowsBuild();
        for (const std::string& file :
             {build + "/Dormex.exe", build + "/DormexSite.dll", build + "/wine-run",
              build + "/DormexFixtureMissingImport.dll", kOtherBuild + "/DormexFixture.dll",
              kOtherBuild + "/Dormex.exe", std::string(DORMEX_TRIAL_ZIP)}) {
            if (!std::filesystem::exists(file)) {
                s_missing = file;
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
        writeFile(dir.file("SiteLibrary.ini"), kStandIn);
        settings.database = dir.file("site.db");
        db = TestSite::create(settings);
    }

    // `args` under the build's Wine in the program directory.
    RunResult wineRun(const std::vector<std::string>& args, const EnvList& env = {}) const {
        return runProgram(windowsBuild() + "/wine-run", args, dir.path(), std::chrono::seconds(120),
                          env);
    }
    // The test's own connection is closed while the Windows program runs.
    RunResult dormex(const std::string& command, EnvList env = {}) override {
        db.reset();
        // Wine prints the strings of an error event on this channel.
        env.emplace_back("WINEDEBUG", "-all,err+eventlog");
        const RunResult r = wineRun({exePath, command}, env);
        db = std::make_unique<TestSite>(settings, SiteDatabase::OpenMode::Create);
        return r;
    }
    void expectReported(const RunResult& r, const std::string& message) override {
        EXPECT_NE(r.err.find("err:eventlog:ReportEventW L\"" + message), std::string::npos)
            << r.err;
    }
    // The way README-Windows.txt saves the preview writes the same list, under Wine too.
    void expectPreviewSaved(const RunResult& p) override {
        db.reset();
        const RunResult saved = wineRun({"cmd", "/c", "Dormex.exe preview > preview.txt"});
        db = std::make_unique<TestSite>(settings, SiteDatabase::OpenMode::Create);
        EXPECT_EQ(saved.status, 0) << saved.err;
        EXPECT_EQ(readFile(dir.file("preview.txt")), p.out);
    }

    static inline std::string s_missing;
    const std::string exePath = windowsPath(dir.file("Dormex.exe"));
};

TEST_F(WineEndToEnd, SilentRunLeavesWhatTheLinuxRunLeaves) {
    scenarioRuns();
}

TEST_F(WineEndToEnd, PreviewListsWhatTheRunWillDoAndChangesNothing) {
    previewThenRun();
}

TEST_F(WineEndToEnd, FailuresEndTheRunWithTheirStepAsOnLinux) {
    failureRuns();
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
    expectReported(r, "'abc' is not a valid integer value.\"");
    std::filesystem::remove(dir.file("Dormex.log"));
    // No SiteLibrary.ini: the registered stand-in is not used, and no card is touched.
    std::filesystem::remove(dir.file("SiteLibrary.ini"));
    r = dormex("silent");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("Dormex: SiteLibrary.ini is missing: ", 0), 0u) << r.err;
    EXPECT_EQ(state(1), "1/0/0");
    // Classes it cannot create, each under an ID of its own in the views given, removed
    // afterwards: one registered for the other architecture only; one registered for this one
    // whose DLL is missing, or imports a DLL that is missing, with the other's working class
    // under the same ID. Only the first names the other program; Wine fails the last two with a
    // missing key (80040152, after the local server it looks for next) and has no text for it.
    const std::string own = std::to_string(kArch), other = std::to_string(kOtherArch);
    const std::string broken = windowsPath(windowsBuild() + "/DormexFixtureMissingImport.dll");
    const std::string working = windowsPath(kOtherBuild + "/DormexFixture.dll");
    const std::string vendor = "C:\\Vendor\\Site";
    auto reg = [&](std::vector<std::string> args, const std::string& view) {
        args.insert(args.begin(), "reg");
        args.push_back("/reg:" + view);
        return wineRun(args).status;
    };
    struct Registration {
        std::string id, ownServer, otherServer, message;
    };
    const Registration registrations[] = {
        {"8B", "", vendor + other + ".dll",
         "The site library is registered for " + other + "-bit programs only: use the " + other +
             "-bit Dormex.exe."},
        {"8C", vendor + own + ".dll", working,
         "OLE error 80040152 (registered server: " + vendor + own + ".dll, not found)"},
        {"8D", broken, working, "OLE error 80040152 (registered server: " + broken + ")"},
    };
    EXPECT_EQ(log().size(), 1u) << "one entry per set-up failure";
    std::filesystem::remove(dir.file("Dormex.log"));
    for (const Registration& c : registrations) {
        SCOPED_TRACE(c.message);
        const std::string clsid = "{5A4C2D6E-0D1B-4E4F-9B7A-3C2D1E0F9A" + c.id + "}";
        const std::string key = "HKLM\\Software\\Classes\\CLSID\\" + clsid,
                          inproc = "\\InprocServer32";
        for (const auto& [server, view] : {std::pair{c.ownServer, own}, {c.otherServer, other}})
            EXPECT_EQ(
                server.empty() ? 0 : reg({"add", key + inproc, "/ve", "/d", server, "/f"}, view),
                0);
        writeFile(dir.file("SiteLibrary.ini"),
                  std::regex_replace(kStandIn, std::regex("DormexSite.TopLevel"), clsid));
        r = dormex("silent");
        // The 64-bit program (it runs everywhere) creates the working class, lacking the interface.
        if (c.ownServer == broken && kOtherArch == 64) {
            std::filesystem::copy_file(kOtherBuild + "/Dormex.exe", dir.file("Dormex64.exe"));
            const RunResult created = wineRun({windowsPath(dir.file("Dormex64.exe")), "silent"});
            EXPECT_EQ(created.err.rfind("Dormex: Interface not supported.\r\n", 0), 0u)
                << created.err;
        }
        for (const std::string& view : {own, other}) reg({"delete", key, "/f"}, view);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.rfind("Dormex: " + c.message + "\r\n", 0), 0u) << r.err;
        EXPECT_EQ(log(), std::vector<std::string>{"Set-up failed: " + c.message});
        std::filesystem::remove(dir.file("Dormex.log"));
    }
    writeFile(dir.file("SiteLibrary.ini"), kStandIn);
    // Missing tables: logged failures of both routines.
    missingTables();
    if (HasFatalFailure()) return;
    // No site database, then a class that is not registered: set-up errors, one entry each.
    std::filesystem::remove(dir.file("Dormex.log"));
    db.reset();
    std::filesystem::rename(dir.file("site.db"), dir.file("other.db"));
    r = wineRun({exePath, "silent"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "Dormex: Site database not found: " + windowsPath(dir.file("site.db")) + ".\r\n");
    writeFile(
        dir.file("SiteLibrary.ini"),
        "[Database]\r\nDatabase=other.db\r\n" +
            std::regex_replace(kStandIn, std::regex("DormexSite.TopLevel"), "Vendor.NotInstalled"));
    r = wineRun({exePath, "silent"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find("[COM] Class=Vendor.NotInstalled"), std::string::npos) << r.err;
    // The stand-in reads SQLite files only.
    writeFile(dir.file("SiteLibrary.ini"),
              kStandIn + "[Database]\r\nDriver=QPSQL\r\nDatabase=site\r\n");
    r = wineRun({exePath, "silent"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("Dormex: Unsupported site database driver 'QPSQL'", 0), 0u) << r.err;
    EXPECT_EQ(log().size(), 3u) << "one entry per set-up failure";
}

TEST_F(WineEndToEnd, TrialKitRunsWhereItIsUnzipped) {
    // The trial zip unzipped into a folder whose name holds a blank and a non-ASCII letter: its
    // stand-in registered there, the demo site made at the first use, the preview, the run.
    const std::string kit = dir.file("Dormex Prüfung");
    std::filesystem::create_directory(kit);
    RunResult r = runProgram(DORMEX_CMAKE, {"-E", "tar", "xf", DORMEX_TRIAL_ZIP}, kit);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string wine = windowsBuild() + "/wine-run";
    const std::string dll = windowsPath(kit + "/Dormex/DormexSite.dll");
    r = runProgram(wine, {"regsvr32", "/s", dll}, kit);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string exe = windowsPath(kit + "/Dormex/Dormex.exe");
    const RunResult preview = runProgram(wine, {exe, "preview"}, kit);
    const RunResult run = runProgram(wine, {exe, "silent"}, kit);
    runProgram(wine, {"regsvr32", "/s", "/u", dll}, kit);
    EXPECT_EQ(preview.status, 0) << preview.err;
    EXPECT_EQ(run.status, 0) << run.err;
    const auto done = deactivatedEntries(readFile(kit + "/Dormex/Dormex.log"));
    EXPECT_GE(done.size(), 3u);
    std::string previewed;
    for (const std::string& entry : done)
        previewed += entry.substr(0, entry.rfind("Deactivated")) + "Would deactivate\r\n";
    previewed += std::to_string(done.size()) + " cards would be deactivated (Days = 30, ";
    // After the line of the feed check, which passes on the demo site.
    const size_t cards = preview.out.find('\n') + 1;
    EXPECT_NE(preview.out.substr(0, cards).find("; the feed check passes"), std::string::npos);
    EXPECT_EQ(preview.out.substr(cards, previewed.size()), previewed);
}

}  // namespace
}  // namespace dormex::test
