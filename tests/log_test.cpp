// The activity log: its name rule, its entry layout and what an entry it refuses does.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <regex>

#include "Record.h"
#include "Report.h"
#include "TestSupport.h"
#include "platform/Error.h"
#include "platform/Locale.h"
#include "platform/Platform.h"
#include "platform/System.h"
#include "uVarious.h"

namespace dormex::test {
namespace {

TEST(LogPath, IsTheExecutableNameUpToItsFirstDot) {
    struct Case {
        const char* exe;
        const char* log;
    } cases[] = {
        {"/opt/dormex/dormex", "/opt/dormex/dormex.log"},
        {"/opt/x/My.Tool.exe", "/opt/x/My.log"},
        {"/opt/x/My.Tool", "/opt/x/My.log"},
        {"/opt/x/.hidden", "/opt/x/.log"},
        {"/dormex", "/dormex.log"},
        {"/opt/my.dir/dormex", "/opt/my.dir/dormex.log"},
    };
    for (const auto& c : cases) EXPECT_EQ(LogPathFor(c.exe), c.log) << c.exe;
}

// Once an upgrade replaced the running executable, its reported path ends in " (deleted)".
TEST(ExecutablePath, LosesTheDeletedSuffixUnlessSuchAFileExists) {
    TempDir dir;
    writeFile(dir.file("real (deleted)"), "");
    const std::string d = dir.path() + "/";
    const std::pair<std::string, std::string> cases[] = {
        {d + "dormex (deleted)", d + "dormex"},
        {d + "real (deleted)", d + "real (deleted)"},
        {d + "real (deleted) (deleted)", d + "real (deleted)"},
        {d + "dormex(deleted)", d + "dormex(deleted)"},
        {d + "dormex", d + "dormex"},
    };
    for (const auto& [reported, expected] : cases)
        EXPECT_EQ(platform::withoutDeletedSuffix(reported), expected) << reported;
}

// The usage text names the file; the texts naming the commands drop a Windows extension.
TEST(ProgramName, IsTheExecutableFileNameOnWindowsWithoutItsExtension) {
    struct Case {
        const char* exe;
        const char* file;
        const char* name;
        const char* windowsFile;
        const char* windowsName;
    } cases[] = {
        {"/opt/dormex/dormex", "dormex", "dormex", "dormex", "dormex"},
        {"/opt/x/My.Tool.exe", "My.Tool.exe", "My.Tool.exe", "My.Tool.exe", "My.Tool"},
        {"/opt/x/.hidden", ".hidden", ".hidden", ".hidden", ".hidden"},
        {"C:\\x\\Dormex.exe", "C:\\x\\Dormex.exe", "C:\\x\\Dormex.exe", "Dormex.exe", "Dormex"},
        {"dormex", "dormex", "dormex", "dormex", "dormex"},
        {"/opt/x/", "", "dormex", "", "Dormex"},
    };
    const bool windows = platform::os::isPathSeparator('\\');
    for (const auto& c : cases) {
        ScopedServices named([&](platform::Services& s) { s.executablePath = c.exe; });
        EXPECT_EQ(platform::programFileName(), windows ? c.windowsFile : c.file) << c.exe;
        EXPECT_EQ(platform::programName(), windows ? c.windowsName : c.name) << c.exe;
    }
}

class LogTest : public ProgramDirTest {};

TEST_F(LogTest, EntriesAreAppendedWithDateBlankTimeTwoBlanksAndCrLf) {
    WriteLog("Days = 30");
    WriteLog("");
    WriteLog("RunQuery():0:boom\r\nSELECT 1");
    const std::string stamp = this->stamp();
    EXPECT_EQ(logText(), stamp + "Days = 30\r\n" + stamp + "\r\n" + stamp +
                             "RunQuery():0:boom\r\nSELECT 1\r\n");
    // A 12-hour time (Windows' en-US form) ends in a blank and its AM or PM.
    EXPECT_TRUE(std::regex_match(stamp, std::regex("\\S+ \\S+( \\S+)?  "))) << stamp;
}

// Whatever a message holds, an entry is one line: control characters become blanks, and the one
// line break an entry may hold is the CR LF before a failure's statement.
TEST_F(LogTest, ReportedEntriesHoldNoControlCharacterButAFailuresLineBreak) {
    struct Case {
        const char* name;
        std::function<void(LogReport&)> report;
        const char* message;
    } cases[] = {
        {"set-up failure", [](LogReport& r) { r.setupFailed("'ye\x1b[2J\a\fs' is no value."); },
         "Set-up failed: 'ye [2J  s' is no value."},
        {"path with a line feed",
         [](LogReport& r) {
             r.setupFailed(
                 "Site database not found: /x\nforged 12/09/26 00:00:00  ,99,Fake, "
                 "Deactivated\x7f/site.db.");
         },
         "Set-up failed: Site database not found: /x forged 12/09/26 00:00:00  ,99,Fake, "
         "Deactivated /site.db."},
        {"failure", [](LogReport& r) { r.runFailed(3, "bo\r\nom\x1b", "SELECT 1"); },
         "RunQuery():3:bo  om \r\nSELECT 1"},
        {"names failure", [](LogReport& r) { r.namesFailed("no\ttable"); },
         "LoadCustomNames():no table"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(dir.file("dormex.log"));
        CapturedStream err;
        LogReport report(true, err.get());
        c.report(report);
        EXPECT_EQ(logText(), stamp() + c.message + "\r\n") << c.name;
        // A set-up failure's one line on standard error is flattened the same way.
        const std::string setup = "Set-up failed: ", message = c.message;
        EXPECT_EQ(err.text(), message.rfind(setup, 0) == 0
                                  ? "Dormex: " + message.substr(setup.size()) + "\n"
                                  : "")
            << c.name;
    }
}

TEST_F(LogTest, TheNameFollowsTheExecutable) {
    ScopedServices named(
        [&](platform::Services& s) { s.executablePath = dir.file("My.Tool.exe"); });
    WriteLog("x");
    EXPECT_TRUE(std::filesystem::exists(dir.file("My.log")));
}

TEST_F(LogTest, AnEntryTheLogRefusesIsRetriedThenStopsTheRunNamingTheLogAndTheEntry) {
    std::filesystem::create_directory(dir.file("dormex.log"));
    int waits = 0;
    std::optional<ScopedServices> waiting;
    waiting.emplace(
        [&](platform::Services& s) { s.logRetryWait = [&](auto) { return ++waits < 3; }; });
    try {
        WriteLog("Days = 30");
        ADD_FAILURE() << "an entry was lost without a word";
    } catch (const RunStopped& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find(dir.file("dormex.log")), std::string::npos) << message;
        EXPECT_NE(message.find("  Days = 30\""), std::string::npos) << message;
    }
    EXPECT_EQ(waits, 3) << "one attempt after each wait";
    // Once the log takes entries again, the waiting entry is written.
    waiting.reset();
    waiting.emplace([&](platform::Services& s) {
        s.logRetryWait = [&](auto) { return std::filesystem::remove(dir.file("dormex.log")); };
    });
    WriteLog("Days = 30");
    waiting.reset();
    EXPECT_EQ(logText().substr(logText().size() - 11), "Days = 30\r\n");
    EXPECT_TRUE(boxes.boxes.empty());
}

// The record's rows: RFC 4180 quoting, names flattened and kept from running as formulas, read
// back as written; one header for a new record, and a refusal reported with the system's reason.
TEST_F(LogTest, TheRecordQuotesItsNamesAndStartsANewFileWithOneHeader) {
    const struct {
        const char* last;
        const char* typeName;
        const char* fields;                 // the last name and type name, as the row holds them
        std::vector<std::string> readBack;  // the same two as a reader gets them back
    } cases[] = {
        {"Doe", "Visitor", "Doe,Jane,3,Visitor", {"Doe", "Visitor"}},
        {"Doe, Jr.", "Visitor", "\"Doe, Jr.\",Jane,3,Visitor", {"Doe, Jr.", "Visitor"}},
        {"O\"Neil", "Vis\"itor", "\"O\"\"Neil\",Jane,3,\"Vis\"\"itor\"", {"O\"Neil", "Vis\"itor"}},
        {"=HYPERLINK(1)", "+x", "'=HYPERLINK(1),Jane,3,'+x", {"'=HYPERLINK(1)", "'+x"}},
        {"-5,@", "@x", "\"'-5,@\",Jane,3,'@x", {"'-5,@", "'@x"}},
        {"Tab\there\r\nx\x7f",
         "Visitor",
         "Tab here  x ,Jane,3,Visitor",
         {"Tab here  x ", "Visitor"}},
    };
    for (const auto& c : cases) {
        entry::CardRow row{{"20", c.last, "Jane"}, 20, 1, 3, c.typeName, 7, "2026-11-29"};
        const std::string text = record::Row(row, "2026-12-06T14:00:00+01:00");
        EXPECT_EQ(text, std::string("2026-12-06T14:00:00+01:00,20,") + c.fields + ",7,2026-11-29")
            << c.last;
        const auto parsed = record::ParseCsv(text + "\r\n");
        ASSERT_EQ(parsed.size(), 1u) << c.last;
        EXPECT_EQ(parsed[0],
                  (std::vector<std::string>{"2026-12-06T14:00:00+01:00", "20", c.readBack[0],
                                            "Jane", "3", c.readBack[1], "7", "2026-11-29"}))
            << c.last;
    }

    // Two runs' writers append to one file that starts with its header once.
    const entry::CardRow first{{"20", "Doe", "Jane"}, 20, 1, 3, "Visitor", 7, "2026-11-29"};
    const entry::CardRow second{{"21", "Roe", "Rich"}, 21, 1, 0, "Normal", 30, "2026-11-06"};
    std::string reason;
    for (const entry::CardRow* row : {&first, &second}) {
        record::Writer writer;
        EXPECT_TRUE(writer.append(*row, clock.now(), reason)) << reason;
    }
    const std::string written = readFile(dir.file("dormex.csv"));
    const auto rows = record::ParseCsv(written);
    ASSERT_EQ(rows.size(), 3u) << written;
    EXPECT_EQ(written.substr(0, written.find("\r\n")),
              std::string(platform::os::textFilesStartWithByteOrderMark() ? "\xEF\xBB\xBF" : "") +
                  record::kHeader);
    EXPECT_TRUE(std::regex_match(rows[1][0], std::regex("2026-12-06T14:00:00[+-]\\d\\d:\\d\\d")))
        << rows[1][0];
    EXPECT_EQ(written.substr(written.size() - 16), ",30,2026-11-06\r\n");

    // The cards deactivated since a date, the latest row of each key number.
    EXPECT_EQ(record::DeactivatedSince("2026-12-06").size(), 2u);
    EXPECT_TRUE(record::DeactivatedSince("2026-12-07").empty());

    std::filesystem::remove(dir.file("dormex.csv"));
    std::filesystem::create_directory(dir.file("dormex.csv"));
    record::Writer refused;
    EXPECT_FALSE(refused.append(first, clock.now(), reason));
    EXPECT_FALSE(reason.empty());
    EXPECT_THROW(record::DeactivatedSince("2026-12-06"), Error);
}

TEST_F(LogTest, IniAccessIgnoresEmptyNamesAndReportsWriteFailuresInABox) {
    WriteIniValue("", "Days", "1", "General", boxes);
    WriteIniValue(settingsPath(), "", "1", "General", boxes);
    EXPECT_FALSE(std::filesystem::exists(settingsPath()));
    EXPECT_EQ(ReadIniValue("", "Days", "General"), "");
    EXPECT_EQ(ReadIniValue(settingsPath(), "Days", "General"), "");

    WriteIniValue(settingsPath(), "Days", "45", "General", boxes);
    EXPECT_EQ(ReadIniValue(settingsPath(), "days", "GENERAL"), "45");
    EXPECT_TRUE(boxes.boxes.empty());

    WriteIniValue(dir.file("missing/Dormex.ini"), "Days", "45", "General", boxes);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, "Unable to write to " + dir.file("missing/Dormex.ini"));
    EXPECT_EQ(BoolToText(true), "True");
    EXPECT_EQ(BoolToText(false), "False");
}

}  // namespace
}  // namespace dormex::test
