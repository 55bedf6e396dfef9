// The set-up sequence, the commands' logic, the custom names and the expiry run, over a fake site.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>

#include "FakeSite.h"
#include "Startup.h"
#include "TestSupport.h"
#include "platform/Error.h"
#include "platform/Locale.h"
#include "platform/RunLock.h"
#include "platform/System.h"
#include "uDormex.h"
#include "uVarious.h"

namespace dormex::test {
namespace {

// The key cards most of these runs deactivate: key 17 (Ames, Bo) and key 18 (Bell, Cy), type 0.
const HeldCard kAmes{1, 17, "Ames", "Bo", 0};
const HeldCard kBell{2, 18, "Bell", "Cy", 0};

class CoreTest : public ProgramDirTest {
protected:
    void SetUp() override {
        ProgramDirTest::SetUp();
        report.showBoxesIn(&boxes);
        site.now = clock.now();
    }
    // The expiry run of `s` over `days` with the entries `types` checked, on a fresh log: what
    // the log says.
    std::vector<std::string> runQuery(FakeSite& s, const std::vector<int>& types = {0},
                                      std::int32_t days = 30) {
        std::filesystem::remove(dir.file("dormex.log"));
        s.now = clock.now();
        TForm1 form(s.creator(), StartMode::Unattended, report);
        for (int type : types) form.CheckListBox1.SetChecked(type, true);
        form.RunQuery(days);
        failureLogged = form.failureLogged();
        exitStatus = ExitStatus(form, false);
        return messages();
    }
    // The unattended start of `s` with `ini` as Dormex.ini, on a fresh log: what the log says.
    std::vector<std::string> runSilent(FakeSite& s, const std::string& ini) {
        writeFile(settingsPath(), ini);
        std::filesystem::remove(dir.file("dormex.log"));
        s.now = clock.now();
        TForm1 form(s.creator(), StartMode::Unattended, report);
        created = RunFormCreate(form, report);
        exitStatus = ExitStatus(form, false);
        return messages();
    }
    FakeSite site;
    CapturedStream errors;
    LogReport report{true, errors.get()};
    bool created = false, failureLogged = false;  // of the last run
    int exitStatus = -1;
    const std::string kSql = BuildExpirySql("2026-11-06 00:00:00");
};

TEST(PersonTypeList, StartsWithElevenUncheckedEntriesAndGuardsItsBounds) {
    TPersonTypeList list;
    ASSERT_EQ(list.Count(), 11);
    EXPECT_EQ(list.Name(0), "Normal");
    EXPECT_EQ(list.Name(5), "Vendor");
    EXPECT_EQ(list.Name(10), "custom 5");
    for (int i = 0; i < 11; ++i) EXPECT_FALSE(list.Checked(i));

    list.SetChecked(4, true);
    list.SetName(4, "Staff");
    EXPECT_TRUE(list.Checked(4)) << "renaming keeps the checked flag";
    for (int bad : {-1, 11, 12, 15}) {
        try {
            list.Checked(bad);
            FAIL() << bad;
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()),
                      "List index out of bounds (" + std::to_string(bad) + ")");
        }
        EXPECT_THROW(list.SetChecked(bad, true), Error);
        EXPECT_THROW(list.SetName(bad, "x"), Error);
    }
    EXPECT_EQ(list.Count(), 11);
}

TEST(RunMode, TheFirstArgumentChoosesTheStartSilentAndPreviewInAnyCase) {
    struct Case {
        const char* argument;
        StartMode mode;
    } cases[] = {
        {"silent", StartMode::Unattended}, {"SILENT", StartMode::Unattended},
        {"Silent", StartMode::Unattended}, {"sIlEnT", StartMode::Unattended},
        {"preview", StartMode::Preview},   {"PREVIEW", StartMode::Preview},
        {"Preview", StartMode::Preview},   {"--help", StartMode::Help},
        {"--version", StartMode::Version}, {"/?", StartMode::Help},
        {"-?", StartMode::Window},         {"", StartMode::Window},
        {"/silent", StartMode::Window},    {"-silent", StartMode::Window},
        {"silent ", StartMode::Window},    {"silently", StartMode::Window},
        {"sil", StartMode::Window},        {"/preview", StartMode::Window},
        {"previews", StartMode::Window},   {"--HELP", StartMode::Window},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseStartMode(c.argument), c.mode) << c.argument;
}

TEST(ErrorBox, AddsAPeriodOnlyAfterCharactersSortingAfterIt) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"'abc' is not a valid integer value", "'abc' is not a valid integer value."},
        {"ends with a period.", "ends with a period."},
        {"ends with a bang!", "ends with a bang!"},
        {"ends with a blank ", "ends with a blank "},
        {"ends with a digit 7", "ends with a digit 7."},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(ErrorBoxText(c.in), c.out) << c.in;
}

TEST(RunGuardedTest, ShowsEscapingErrorsInTheErrorBox) {
    struct Case {
        const char* name;
        std::function<void()> command;
        std::optional<std::string> message;  // absent: nothing escapes
    };
    const Case table[] = {
        {"no error", [] {}, std::nullopt},
        {"program error", [] { throw Error("List index out of bounds (11)"); },
         "List index out of bounds (11)"},
        {"library error", [] { throw std::runtime_error("ends with a period."); },
         "ends with a period."},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        RecordingBoxes boxes;
        const bool completed = RunGuarded(c.command, boxes);
        EXPECT_EQ(completed, !c.message);
        if (!c.message) {
            EXPECT_TRUE(boxes.boxes.empty());
            continue;
        }
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_TRUE(boxes.boxes[0].error);
        EXPECT_EQ(boxes.boxes[0].title, platform::kApplicationTitle);
        EXPECT_EQ(boxes.boxes[0].text, ErrorBoxText(*c.message));
    }
}

TEST(WindowSystemProblem, SaysWhatWasFoundAndNamesTheCommandsThatNeedNone) {
    ScopedServices named([](platform::Services& s) { s.executablePath = "/opt/x/dormex"; });
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"DISPLAY and WAYLAND_DISPLAY are not set",
         "no window system (DISPLAY and WAYLAND_DISPLAY are not set); the window needs one, "
         "while 'dormex silent' and 'dormex preview' run without one"},
    };
    for (const auto& [found, line] : cases) EXPECT_EQ(WindowSystemProblem(found), line) << found;
}

TEST(CutoffDate, CountsWholeDaysBackFromTheLocalDateAndHoldsAtTheCalendarLimits) {
    const std::time_t at = localTimeOf(2026, 12, 6, 14, 0);
    struct Case {
        std::int32_t days;
        const char* date;
    } cases[] = {
        {30, "2026-11-06"},
        {0, "2026-12-06"},
        {-5, "2026-12-11"},
        {365, "2025-12-06"},
        {340, "2025-12-31"},
        {2147483647, "0001-01-01"},
        {-2147483647 - 1, "9999-12-31"},
        {800000, "0001-01-01"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CutoffFor(at, c.days, SqlDateFormat::Iso).date, c.date) << c.days;
    EXPECT_EQ(CutoffFor(localTimeOf(2024, 3, 1, 0, 5), 1, SqlDateFormat::Iso).date, "2024-02-29");
}

TEST(ExpiryStatement, IsBuiltByteForByteWithTheStartOfTheCutoffDayInTheSitesForm) {
    const std::string shortDate =
        platform::shortDate(platform::localTime(localTimeOf(2026, 3, 6, 12, 0)));
    struct Case {
        const char* setting;
        std::string literal;
    } cases[] = {
        {"", "2026-03-06 00:00:00"}, {"iso", "2026-03-06 00:00:00"}, {"YYYYMMDD", "20260306"},
        {"yyyymmdd", "20260306"},    {"ShortDate", shortDate},       {"SHORTDATE", shortDate},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CutoffFor(localTimeOf(2026, 3, 6), 0, SqlDateFormatFrom(c.setting)).literal,
                  c.literal)
            << c.setting;
    }
    EXPECT_EQ(BuildExpirySql("20260306"),
              "SELECT k.KeyNumber, p.lastname, p.firstname, p.flags FROM Keycards AS k left join "
              "personnel p on k.userid = p.userid WHERE (k.KeyNumber NOT IN   (SELECT DISTINCT "
              "t.KeyNumber    FROM Transactions AS t    WHERE (t.EventDateTime > '20260306'))) "
              "AND (k.Active = 1) Order by Keynumber");
    EXPECT_EQ(BuildFeedCheckSql("20260306"),
              "SELECT COUNT(*) FROM Transactions AS t WHERE (t.EventDateTime > '20260306')");
}

TEST(KeepList, TakesWholeSixtyFourBitKeyNumbersWithBlanksAndLeadingZeros) {
    const KeepList keep = KeepListFrom({{"17", "Fire brigade"},
                                        {" 0042 ", ""},
                                        {"+5", "x"},
                                        {"-9223372036854775808", "min"},
                                        {"9223372036854775807", "max"}});
    EXPECT_EQ(
        keep,
        (KeepList{
            {17, "Fire brigade"}, {42, ""}, {5, "x"}, {INT64_MIN, "min"}, {INT64_MAX, "max"}}));
    for (const char* bad :
         {"abc", "", "9223372036854775808", "-9223372036854775809", "1.0", "1 2", "0x10", "-"}) {
        EXPECT_THROW(KeepListFrom({{"1", ""}, {bad, "note"}}), Error) << bad;
    }
}

TEST_F(CoreTest, SetupWithoutSettingsFileLogsThirtyAndDeactivatesNothing) {
    site.add(kAmes);
    TForm1 form(site.creator(), ParseStartMode("silent"), report);
    form.FormCreate();
    EXPECT_EQ(form.txtDays, "30");
    EXPECT_TRUE(form.quitOnShow);
    EXPECT_EQ(messages(), std::vector<std::string>{"Days = 30"});
    EXPECT_TRUE(site.cardOps().empty());
    EXPECT_EQ(site.sql.size(), 3u) << "custom names, the feed check, the expiry statement";
    EXPECT_FALSE(std::filesystem::exists(settingsPath())) << "the set-up never writes settings";
}

TEST_F(CoreTest, SetupReadsDaysAsStoredAndSelectionsStrictly) {
    writeFile(settingsPath(), "[General]\r\nDays=$1E\r\ntype0=True\r\ntype3=1\r\ntype4=false\r\n");
    TForm1 form(site.creator(), ParseStartMode("Silent"), report);
    form.FormCreate();
    EXPECT_EQ(form.txtDays, "$1E");
    EXPECT_TRUE(form.CheckListBox1.Checked(0));
    EXPECT_TRUE(form.CheckListBox1.Checked(3));
    EXPECT_FALSE(form.CheckListBox1.Checked(4));
    EXPECT_EQ(messages(), std::vector<std::string>{"Days = $1E"});
    EXPECT_NE(site.sql.back().find("'2026-11-06 00:00:00'"), std::string::npos) << "$1E is 30 days";
}

TEST_F(CoreTest, SetupErrorsStopAtTheirStage) {
    struct Case {
        const char* ini;
        const char* mode;
        const char* message;
        int checkedUpTo;  // entries below this index were applied
    } cases[] = {
        {"[General]\nDays=abc\ntype0=True\n", "silent", "'abc' is not a valid integer value", 11},
        {"[General]\nDays=\" 45 \"\ntype0=True\n", "silent", "' 45 ' is not a valid integer value",
         11},
        {"[General]\ntype0=True\ntype1=True\ntype2=yes\ntype3=True\n", "silent",
         "'yes' is not a valid boolean value", 2},
        {"[General]\ntype0=True\ntype1=1e5000\n", "", "'1e5000' is not a valid boolean value", 1},
        {"[General]\nDays=30\ntype0=True\nMaxDeactivations=ten\n", "silent",
         "'ten' is not a valid integer value", 11},
        {"[General]\nDays=30\ntype0=True\nMaxDeactivations=-1\n", "silent",
         "'-1' is not a valid MaxDeactivations value: use 0 for no limit or the largest number of "
         "cards one run may deactivate",
         11},
        {"[General]\ntype0=True\nSqlDateFormat=dmy\n", "silent",
         "'dmy' is not a valid SqlDateFormat value: use ISO, YYYYMMDD or ShortDate", 11},
        {"[General]\ntype0=True\nFeedCheck=off\n", "silent",
         "'off' is not a valid FeedCheck value: use True or False", 11},
        {"[General]\ntype0=True\n[Keep]\n17=Fire brigade\nabc=x\n", "silent",
         "'abc' in [Keep] of Dormex.ini is not a key number: each line is <key number>=<note>", 11},
        {"[General]\ntype0=True\n[DaysPerType]\ntype1=x\n", "silent",
         "'x' is not a valid integer value ([DaysPerType] type1 of Dormex.ini)", 11},
        {"[General]\ntype0=True\nRecord=maybe\n", "silent",
         "'maybe' is not a valid boolean value ([General] Record of Dormex.ini)", 11},
    };
    for (const auto& c : cases) {
        writeFile(settingsPath(), c.ini);
        site.sql.clear();
        TForm1 form(site.creator(), ParseStartMode(c.mode), report);
        EXPECT_FALSE(RunFormCreate(form, report)) << c.ini;
        ASSERT_EQ(boxes.boxes.size(), 1u) << c.ini;
        EXPECT_TRUE(boxes.boxes[0].error);
        EXPECT_EQ(boxes.boxes[0].title, "Dormex");
        EXPECT_EQ(boxes.boxes[0].text, ErrorBoxText(c.message));
        boxes.boxes.clear();
        EXPECT_FALSE(form.quitOnShow);
        EXPECT_EQ(ExitStatus(form, true), 2);
        for (int i = c.checkedUpTo; i < 11; ++i) EXPECT_FALSE(form.CheckListBox1.Checked(i)) << i;
        if (c.checkedUpTo > 0) {
            EXPECT_TRUE(form.CheckListBox1.Checked(0));
        }
        EXPECT_EQ(site.sql.size(), 1u) << "the expiry statement never ran";
        EXPECT_EQ(logText(), "");

        // Save writes the entries read before the failure and the one ticked since; every other
        // type key (the bad one included) stays as the file has it.
        std::vector<std::string> before;
        for (int i = 0; i < 11; ++i)
            before.push_back(ReadIniValue(settingsPath(), "type" + std::to_string(i), "General"));
        form.CheckListBox1.SetChecked(5, true);
        form.btnSaveClick();
        for (int i = 0; i < 11; ++i) {
            const std::string expected = i == 5 ? "True"
                                         : i < c.checkedUpTo
                                             ? BoolToText(form.CheckListBox1.Checked(i))
                                             : before[static_cast<size_t>(i)];
            EXPECT_EQ(ReadIniValue(settingsPath(), "type" + std::to_string(i), "General"), expected)
                << c.ini << i;
        }
    }
}

TEST_F(CoreTest, SiteLibraryThatCannotBeCreatedStopsTheSetupBeforeTheSelections) {
    writeFile(settingsPath(), "[General]\nDays=45\ntype0=True\n");
    site.failCall = "create";
    site.failDescription = "Site database not found: /x/site.db";
    TForm1 form(site.creator(), ParseStartMode("silent"), report);
    EXPECT_FALSE(RunFormCreate(form, report));
    EXPECT_EQ(form.txtDays, "45");
    EXPECT_FALSE(form.CheckListBox1.Checked(0));
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, "Site database not found: /x/site.db.");
    EXPECT_EQ(logText(), "");
    // No selection was read: Save writes Days and the entry ticked since, nothing else.
    form.CheckListBox1.SetChecked(4, true);
    form.btnSaveClick();
    EXPECT_EQ(readFile(settingsPath()), "[General]\nDays=45\ntype0=True\ntype4=True\n");
}

TEST_F(CoreTest, InteractiveStartNeverRuns) {
    writeFile(settingsPath(), "[General]\nDays=45\ntype0=True\n");
    site.add(kAmes);
    TForm1 form(site.creator(), ParseStartMode("/silent"), report);
    form.FormCreate();
    EXPECT_FALSE(form.quitOnShow);
    EXPECT_EQ(site.sql.size(), 1u);
    EXPECT_EQ(logText(), "");
    EXPECT_EQ(ExitStatus(form, false), 0);
}

TEST_F(CoreTest, SaveWritesDaysAndEveryEntryKeepsOtherSectionsAndCheckAllChecksThemAll) {
    writeFile(settingsPath(), "[Keep]\r\n17=Fire brigade\r\n");
    TForm1 form(site.creator(), ParseStartMode(""), report);
    form.FormCreate();
    form.CheckListBox1.SetChecked(0, true);
    form.CheckListBox1.SetChecked(4, true);
    form.txtDays = "45";
    form.btnSaveClick();
    std::string expected = "[Keep]\r\n17=Fire brigade\r\n[General]\r\nDays=45\r\n";
    for (int i = 0; i < 11; ++i) {
        expected +=
            "type" + std::to_string(i) + "=" + (i == 0 || i == 4 ? "True" : "False") + "\r\n";
    }
    EXPECT_EQ(readFile(settingsPath()), expected);

    form.btnCheckAllClick();
    form.txtDays = "12a";
    form.btnSaveClick();
    EXPECT_EQ(ReadIniValue(settingsPath(), "Days", "General"), "30");
    EXPECT_EQ(form.txtDays, "12a");
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(ReadIniValue(settingsPath(), "type" + std::to_string(i), "General"), "True");
}

TEST_F(CoreTest, SaveIntoAnUnwritableFileShowsOneBoxPerKey) {
    std::filesystem::create_directory(settingsPath());
    TForm1 form(site.creator(), ParseStartMode(""), report);
    form.FormCreate();
    form.btnSaveClick();
    ASSERT_EQ(boxes.boxes.size(), 12u);
    for (const auto& b : boxes.boxes) {
        EXPECT_FALSE(b.error);
        EXPECT_EQ(b.title, "Dormex");
        EXPECT_EQ(b.text, "Unable to write to " + settingsPath());
    }
}

TEST_F(CoreTest, CustomNamesReplaceNamesOnlyAndStopAtTheEleventhEntry) {
    struct Case {
        std::vector<const char*> names;
        std::vector<std::string> expected;  // entries 6..10
        std::string logged;
    } cases[] = {
        {{}, {"custom 1", "custom 2", "custom 3", "custom 4", "custom 5"}, ""},
        {{"Cleaner", "Guard", nullptr}, {"Cleaner", "Guard", "", "custom 4", "custom 5"}, ""},
        {{"a", "b", "c", "d", "e", "f"},
         {"a", "b", "c", "d", "e"},
         "LoadCustomNames():List index out of bounds (11)"},
    };
    for (const auto& c : cases) {
        site.customNames.assign(c.names.begin(), c.names.end());
        std::filesystem::remove(dir.file("dormex.log"));
        TForm1 form(site.creator(), ParseStartMode(""), report);
        form.CheckListBox1.SetChecked(7, true);
        form.LoadCustomNames();
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(form.CheckListBox1.Name(6 + i), c.expected[static_cast<size_t>(i)]);
        EXPECT_TRUE(form.CheckListBox1.Checked(7));
        EXPECT_EQ(form.CheckListBox1.Count(), 11);
        EXPECT_EQ(messages(), c.logged.empty() ? std::vector<std::string>{}
                                               : std::vector<std::string>{c.logged});
        EXPECT_EQ(site.liveObjects, 0);
    }
}

TEST_F(CoreTest, CustomNamesFailureIsLoggedWithoutABlank) {
    site.failCall = "RunSql";
    site.failDescription = "no such table: MXRSettings.  ";
    TForm1 form(site.creator(), ParseStartMode(""), report);
    form.LoadCustomNames();
    EXPECT_EQ(messages(), std::vector<std::string>{"LoadCustomNames():no such table: MXRSettings"});
    EXPECT_TRUE(form.failureLogged());
    EXPECT_EQ(site.liveObjects, 0);
}

TEST_F(CoreTest, ExpiryRunDeactivatesSelectedIdleCardsInOrder) {
    // Key 20's second card is inactive (not selected), key 21's card is gone by its look-up.
    site.add({kAmes,
              {2, 18, "Visit", "Or", 1 << 21},
              {3, 19, {}, {}, {}},
              {4, 20, "Two", "Cards", 4 << 21},
              {5, 20, "Two", "Cards", 4 << 21, -1, 0},
              {6, 21, "No", "Card", 0},
              {7, 5000000000, "Big", "Key", 0}});
    site.vanishedKeys = {21};
    EXPECT_EQ(runQuery(site, {0, 4}),
              (std::vector<std::string>{",17,Ames,Bo,0, Deactivated", ",19,,,, Deactivated",
                                        ",20,Two,Cards,8388608, Deactivated",
                                        ",5000000000,Big,Key,0, Deactivated"}));
    const std::vector<std::string> expectedOps = {
        "A(0)#17.1",         "B(3)#17.1",         "C(6)#17.1",        "D()#17.1",
        "E(0,1,0)#17.1",     "A(0)#19.1",         "B(3)#19.1",        "C(6)#19.1",
        "D()#19.1",          "E(0,1,0)#19.1",     "A(0)#20.1",        "B(3)#20.1",
        "C(6)#20.1",         "D()#20.1",          "E(0,1,0)#20.1",    "A(0)#5000000000.1",
        "B(3)#5000000000.1", "C(6)#5000000000.1", "D()#5000000000.1", "E(0,1,0)#5000000000.1"};
    EXPECT_EQ(site.cardOps(), expectedOps) << "only item 1; type 1 and empty collections untouched";
    EXPECT_NE(std::find(site.calls.begin(), site.calls.end(), "FindKeycards(-1,5000000000)"),
              site.calls.end());
    EXPECT_EQ(site.sql.back(), kSql);
    EXPECT_FALSE(failureLogged);
    EXPECT_EQ(site.liveObjects, 0);
}

TEST_F(CoreTest, ExpiryFailureCarriesTheStepMarkerAndTheStatement) {
    const std::string checkSql = BuildFeedCheckSql("2026-11-06 00:00:00");
    struct Case {
        const char* failCall;
        int failOn;
        const char* marker;
        size_t deactivated;  // entries before the failure
    } cases[] = {
        {"RunSql", 1, "0", 0}, {"FindKeycards", 1, "0", 0},
        {"Count", 1, "1", 0},  {"Item", 1, "1", 0},
        {"A", 1, "2", 0},      {"B", 1, "3", 0},
        {"C", 1, "4", 0},      {"D", 1, "5", 0},
        {"E", 1, "6", 0},      {"FindKeycards", 2, "6", 1},
        {"D", 2, "5", 1},      {"RunSql", 2, "0", 0},
    };
    for (const auto& c : cases) {
        FakeSite s;
        s.add({kAmes, kBell});
        s.failCall = c.failCall;
        s.failOnCall = c.failOn;
        s.failDescription = "Trigger says no. \r\n";
        auto m = runQuery(s);
        ASSERT_EQ(m.size(), c.deactivated + 2) << c.failCall << c.failOn;
        EXPECT_EQ(m[c.deactivated], std::string("RunQuery():") + c.marker + ":Trigger says no")
            << c.failCall << c.failOn;
        // The first statement is the feed check's.
        const bool inCheck = std::string(c.failCall) == "RunSql" && c.failOn == 1;
        EXPECT_EQ(m[c.deactivated + 1], inCheck ? checkSql : kSql)
            << "the second line is the whole statement";
        EXPECT_TRUE(failureLogged);
        EXPECT_EQ(exitStatus, 1);
        EXPECT_EQ(s.liveObjects, 0) << "every object released on the error path";
    }
}

// One expiry run over 30 days of a small site with odd values or odd library results: the log's
// messages, "SQL" standing for the expiry statement.
struct ExpiryCase {
    const char* name;
    std::vector<HeldCard> cards;
    std::vector<std::string> messages;
    std::function<void(FakeSite&)> odd = nullptr;
    std::vector<int> types = {0};
};

void PrintTo(const ExpiryCase& c, std::ostream* out) {
    *out << c.name;
}

class ExpiryRunTest : public CoreTest, public ::testing::WithParamInterface<ExpiryCase> {};

TEST_P(ExpiryRunTest, LogsWhatTheSiteGivesAndReleasesEveryObject) {
    const ExpiryCase& c = GetParam();
    site.add(c.cards);
    if (c.odd) c.odd(site);
    std::vector<std::string> expected = c.messages;
    std::replace(expected.begin(), expected.end(), std::string("SQL"), kSql);
    EXPECT_EQ(runQuery(site, c.types), expected);
    EXPECT_EQ(site.liveObjects, 0);
}

const HeldCard kOddType{2, 18, "Odd", "Type", 12 << 21};

INSTANTIATE_TEST_SUITE_P(
    Expiry, ExpiryRunTest,
    ::testing::ValuesIn(std::vector<ExpiryCase>{
        {"RowTextBlanksControlCharactersFromValues",
         {{1, 17, "Evil\r\n12/06/26 10:00:00  ,99,Fake", "Bo\t\x7f", 0}},
         {",17,Evil  12/06/26 10:00:00  ,99,Fake,Bo  ,0, Deactivated"}},
        {"FailureMessagesCannotAddLinesToTheLog",
         {kAmes},
         {"RunQuery():0:server closed the connection  unexpectedly  fake entry", "SQL"},
         [](FakeSite& s) {
             s.failCall = "FindKeycards";
             s.failDescription = "server closed the connection\n\tunexpectedly\r\nfake entry";
         }},
        {"MarkerAfterAnEmptyCollectionIsOne",
         {{1, 16, "Empty", "Set", 0}, {2, 17, "Ames", "Bo", 12 << 21}},
         {"RunQuery():1:List index out of bounds (12)", "SQL"},
         [](FakeSite& s) {
             s.vanishedKeys = {16, 17};
         }},
        {"UnknownTypeEndsTheRunWithThePreviousMarker",
         {kAmes, kOddType, {3, 19, "Never", "Seen", 0}},
         {",17,Ames,Bo,0, Deactivated", "RunQuery():6:List index out of bounds (12)", "SQL"},
         [](FakeSite& s) { s.vanishedKeys = {18}; }},
        {"UnknownTypeFirstEndsTheRunWithMarkerZero",
         {kOddType},
         {"RunQuery():0:List index out of bounds (12)", "SQL"},
         [](FakeSite& s) { s.vanishedKeys = {18}; },
         {}},
        {"TextKeyNumbersAndRealFlagsReadSensibly",
         {{1, "17", "Ames", "Bo", 2097152.0}},
         {",17,Ames,Bo,2097152, Deactivated"},
         nullptr,
         {1}},
        {"NoRecordset", {kAmes}, {}, [](FakeSite& s) { s.noRecordset = true; }},
        {"ClosedRecordset",
         {kAmes},
         {"RunQuery():0:ADODataSet1: Recordset is not open", "SQL"},
         [](FakeSite& s) { s.closedRecordset = true; }},
        {"MissingColumn",
         {kAmes},
         {"RunQuery():0:ADODataSet1: Field 'flags' not found", "SQL"},
         [](FakeSite& s) {
             s.columns = {"KeyNumber", "lastname", "firstname", "flagz"};
         }},
        {"NoCollection",
         {kAmes},
         {"RunQuery():1:No card collection for key number 17", "SQL"},
         [](FakeSite& s) { s.noCollection = true; }},
        {"NullCard",
         {kAmes},
         {"RunQuery():2:No card at item 1 for key number 17", "SQL"},
         [](FakeSite& s) { s.nullCard = true; }},
        {"TextFlags",
         {{1, 17, "Ames", "Bo", "lots"}},
         {"RunQuery():0:ADODataSet1: 'lots' is not a valid integer value for field 'flags'",
          "SQL"}},
        {"KeyWithAFraction",
         {{1, 17.5, "Ames", "Bo", 0}},
         {"RunQuery():0:ADODataSet1: '17.5' is not a valid integer value for field 'KeyNumber'",
          "SQL"}},
    }),
    [](const auto& info) { return std::string(info.param.name); });

// The scenarios the end-to-end tests write to a database, run on the fake: the same log
// messages, card states and queued downloads.
TEST_F(CoreTest, ScenarioSitesEndAsTheyDoOnADatabase) {
    const std::pair<const char*, scenario::Site> scenarios[] = {
        {"small site", scenario::smallSite()},
        {"small site with exact keys", scenario::smallSite(true)},
        {"kept cards", scenario::keptSite()},
        {"days per type", scenario::typeDaysSite()},
    };
    for (const auto& [name, scene] : scenarios) {
        SCOPED_TRACE(name);
        FakeSite s(scene);
        EXPECT_EQ(runSilent(s, scenario::settingsText(scene)), scene.entries);
        EXPECT_EQ(s.cardStates(),
                  (std::map<std::int64_t, std::string>(scene.states.begin(), scene.states.end())));
        EXPECT_EQ(s.downloads, scene.downloads);
        EXPECT_EQ(exitStatus, 0);
        EXPECT_EQ(s.liveObjects, 0);
    }
}

TEST_F(CoreTest, TheGuardsStopARunThatWouldDeactivateTooMuch) {
    const char* kNoFeed =
        "RunQuery():Stopped: no door transaction after 2026-11-06 00:00:00 in the site database; "
        "the transaction feed may have stopped, or the database reads the date differently (see "
        "SqlDateFormat); none was deactivated";
    struct Case {
        const char* limit;  // MaxDeactivations=, then any further settings
        size_t deactivated;
        const char* stopEntry;  // "" when the run goes ahead
        std::int64_t transactions = 1;
    } cases[] = {
        {"", 2, ""},
        {"0", 2, ""},
        {"3", 2, ""},
        {"4", 2, ""},
        {"2", 0,
         "RunQuery():Stopped: 3 cards would be deactivated, more than MaxDeactivations = 2; none "
         "was deactivated"},
        {"\nFeedCheck=", 0, kNoFeed, 0},
        {"\nFeedCheck=False", 2, "", 0},
        {"\nFeedCheck=0", 2, "", 0},
        {"\nFeedCheck=True", 2, "", 12345},
        // Key 17 kept: two cards to deactivate, within the limit; key 19 has no card.
        {"2\n[Keep]\n17=Fire brigade, key safe", 1, ""},
    };
    for (const auto& c : cases) {
        FakeSite s;
        // Three rows are selected (type 3 is not); key 19's empty collection deactivates none.
        s.add({kAmes,
               {2, 18, "Bell", "Cy", 3 << 21},
               {3, 19, "Cole", "Di", 0},
               {4, 20, "Dunn", "Ed", 0}});
        s.vanishedKeys = {19};
        s.transactions = c.transactions;
        auto m =
            runSilent(s, std::string("[General]\ntype0=True\nMaxDeactivations=") + c.limit + "\n");
        ASSERT_TRUE(created) << c.limit;
        if (*c.stopEntry) {
            EXPECT_EQ(m, (std::vector<std::string>{"Days = 30", c.stopEntry}));
            EXPECT_TRUE(s.cardOps().empty()) << "no card touched";
            EXPECT_EQ(exitStatus, 1);
        } else {
            EXPECT_EQ(m.size(), 1 + c.deactivated) << c.limit;
            EXPECT_EQ(s.cardOps().size(), 5 * c.deactivated) << c.limit;
            EXPECT_EQ(exitStatus, 0);
        }
        EXPECT_EQ(s.liveObjects, 0);
    }
}

// Idle days per type: one expiry statement for Days and one for each other value a selected type
// uses, largest first; each row is handled in its own days' statement only.
TEST_F(CoreTest, DaysPerTypeRunsOneStatementPerDaysEachRowInItsOwn) {
    const std::string sql7 = BuildExpirySql("2026-11-29 00:00:00");
    const std::string sql90 = BuildExpirySql("2026-09-07 00:00:00");
    struct Case {
        const char* ini;  // after "[General]\nDays=30\ntype0=True\n"
        std::vector<std::string> messages;
        std::vector<std::string> expirySql;
        std::string failCall = "";
        int failOn = 1;
    } cases[] = {
        {"type1=True\n[DaysPerType]\ntype1=7\n",
         {"Days = 30", "Days = 7 (Visitor)", ",17,Ames,Bo,0, Deactivated",
          ",19,Cole,Di,0, Deactivated", ",18,Vist,Or,2097152, Deactivated",
          ",20,Vera,Ed,2097152, Deactivated"},
         {kSql, sql7}},
        {"type1=True\n[DaysPerType]\ntype1=90\ntype0=007\n",
         {"Days = 30", "Days = 007 (Normal)", "Days = 90 (Visitor)",
          ",18,Vist,Or,2097152, Deactivated", ",20,Vera,Ed,2097152, Deactivated",
          ",17,Ames,Bo,0, Deactivated", ",19,Cole,Di,0, Deactivated"},
         {sql90, kSql, sql7}},
        // An unselected type's key is not used; an own value equal to Days runs no statement.
        {"[DaysPerType]\ntype1=7\ntype0=30\n",
         {"Days = 30", "Days = 30 (Normal)", ",17,Ames,Bo,0, Deactivated",
          ",19,Cole,Di,0, Deactivated"},
         {kSql}},
        // The guard counts the cards of every statement before any is touched.
        {"type1=True\nMaxDeactivations=3\n[DaysPerType]\ntype1=7\n",
         {"Days = 30", "Days = 7 (Visitor)",
          "RunQuery():Stopped: 4 cards would be deactivated, more than MaxDeactivations = 3; none "
          "was deactivated"},
         {kSql, sql7}},
        // A failure in the second statement keeps the marker of the last card before it.
        {"type1=True\n[DaysPerType]\ntype1=7\n",
         {"Days = 30", "Days = 7 (Visitor)", ",17,Ames,Bo,0, Deactivated",
          ",19,Cole,Di,0, Deactivated", "RunQuery():6:Injected failure", sql7},
         {kSql, sql7},
         "RunSql",
         4},
    };
    for (const auto& c : cases) {
        FakeSite s;
        s.add({kAmes,
               {2, 18, "Vist", "Or", 1 << 21},
               {3, 19, "Cole", "Di", 0},
               {4, 20, "Vera", "Ed", 1 << 21}});
        s.failCall = c.failCall;
        s.failOnCall = c.failOn;
        EXPECT_EQ(runSilent(s, std::string("[General]\nDays=30\ntype0=True\n") + c.ini), c.messages)
            << c.ini;
        std::vector<std::string> expiry;
        for (const std::string& sql : s.sql)
            if (sql.rfind("SELECT k.", 0) == 0) expiry.push_back(sql);
        EXPECT_EQ(expiry, c.expirySql) << c.ini;
        EXPECT_EQ(s.liveObjects, 0);
    }
}

TEST_F(CoreTest, ExpiryWithoutSelectionReadsEveryRowAndTouchesNothing) {
    site.add({kAmes, {2, 18, "Bell", "Cy", 3 << 21}});
    EXPECT_TRUE(runQuery(site, {}, -5).empty());
    EXPECT_TRUE(site.calls.empty());
    EXPECT_EQ(logText(), "");
    EXPECT_NE(site.sql.back().find("'2026-12-11 00:00:00'"), std::string::npos);
}

TEST_F(CoreTest, AnEntryTheLogRefusesStopsTheRunAtItsCard) {
    writeFile(settingsPath(), "[General]\ntype0=True\n");
    site.add({kAmes, kBell});
    // Once "Days = 30" is in, a folder takes the log's place before the first card.
    site.onCall = [&](const std::string& call) {
        if (call != "FindKeycards" || std::filesystem::is_directory(dir.file("dormex.log"))) return;
        std::filesystem::rename(dir.file("dormex.log"), dir.file("old.log"));
        std::filesystem::create_directory(dir.file("dormex.log"));
    };
    ScopedServices noWait(
        [](platform::Services& s) { s.logRetryWait = [](auto) { return false; }; });
    TForm1 form(site.creator(), ParseStartMode("silent"), report);
    EXPECT_THROW(RunFormCreate(form, report), RunStopped);
    EXPECT_EQ(site.cardOps().size(), 5u) << "the card of the refused entry, and no other";
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(site.liveObjects, 0);
}

class FakeShell : public Shell {
public:
    explicit FakeShell(FakeSite& site) : m_site(site) {}
    site::CreateFunction siteLibrary(bool readOnly) override {
        calls += readOnly ? "site(ro) " : "site ";
        return m_site.creator();
    }
    std::string windowSystemProblem(StartMode) override { return problem; }
    const char* siteLibrarySettings() const override { return "what the site library reads"; }
    platform::Boxes* startApplication(bool windowSystem) override {
        calls += windowSystem ? "app(window) " : "app ";
        if (throwOnStart) throw 42;  // not a std::exception: the guard must still catch it
        return windowSystem ? &platform::boxes() : nullptr;
    }
    void runWindow(TForm1&) override { calls += "window "; }

    std::string problem;
    bool throwOnStart = false;
    std::string calls;

private:
    FakeSite& m_site;
};

class FakeRunLock : public platform::RunLock {
public:
    bool acquire(const std::string& path, int waitSeconds) override {
        asked = path + " " + std::to_string(waitSeconds);
        held = free;
        return free;
    }
    void release() override { held = false; }
    bool free = true;
    bool held = false;
    std::string asked;
};

// A folder at the log's path: an unattended start waits for the log and stops before any card;
// a window start tries its entry once, drops it and opens the window.
TEST_F(CoreTest, ALogThatCannotBeWrittenStopsTheUnattendedRunAndNeverTheWindow) {
    struct Case {
        const char* argument;
        const char* failCall;  // the site call that fails, "" for none
        int status;
        const char* calls;
        int waits;  // times the refused entry waited to be tried again
    } cases[] = {
        {"silent", "", 1, "app(window) site ", 1},
        {"", "RunSql", 0, "app(window) site window ", 0},
    };
    writeFile(settingsPath(), "[General]\ntype0=True\n");
    site.add(kAmes);
    std::filesystem::create_directory(dir.file("dormex.log"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument);
        int waits = 0;
        ScopedServices counting(
            [&](platform::Services& s) { s.logRetryWait = [&](auto) { return ++waits, false; }; });
        site.failCall = c.failCall;
        boxes.boxes.clear();
        FakeShell shell(site);
        CapturedStream out, err;
        const int status = RunProgram(ParseStartMode(c.argument), shell, out.get(), err.get());
        const std::string errText = err.text();
        EXPECT_EQ(status, c.status) << errText;
        EXPECT_EQ(shell.calls, c.calls);
        EXPECT_EQ(waits, c.waits);
        EXPECT_TRUE(site.cardOps().empty());
        EXPECT_EQ(errText.empty(), c.status == 0) << errText;
        EXPECT_EQ(boxes.boxes.size(), c.status == 0 ? 0u : 1u) << "the stop is shown where seen";
    }
}

TEST_F(CoreTest, StartUpSequenceForEveryModeLockAndWindowSystem) {
    struct Case {
        const char* argument;
        const char* problem;  // "" when a window system is seen
        bool lockFree;
        bool throwOnStart;
        int status;
        const char* calls;
        const char* errHas;  // "" for an empty standard error
        bool logged;         // the log got the run's "Days = 30"
    } cases[] = {
        {"silent", "no window system (x)", true, false, 0, "app site ", "", true},
        {"SILENT", "", true, false, 0, "app(window) site window ", "", true},
        {"silent", "no window system (x)", false, false, 2, "app ",
         "Dormex: Another run is in progress.\n", false},
        {"silent", "", false, false, 2, "app(window) ", "Dormex: Another run is in progress.\n",
         false},
        {"", "no window system (x)", true, false, 2, "", "Dormex: no window system (x)\n", false},
        {"-silent", "", true, false, 0, "app(window) site window ", "", false},
        {"preview", "no window system (x)", true, false, 0, "app site(ro) ", "", false},
        {"--version", "", true, false, 0, "", "", false},
        {"--help", "", true, false, 0, "", "", false},
        {"silent", "", true, true, 2, "app(window) ", "Dormex: Unexpected error", false},
    };
    FakeRunLock lock;
    ScopedServices locking([&](platform::Services& s) { s.runLock = &lock; });
    for (const auto& c : cases) {
        writeFile(settingsPath(), "[General]\nDays=30\n");
        std::filesystem::remove(dir.file("dormex.log"));
        boxes.boxes.clear();
        FakeShell shell(site);
        shell.problem = c.problem;
        shell.throwOnStart = c.throwOnStart;
        lock.free = c.lockFree;
        lock.asked.clear();
        CapturedStream out, err;
        const int status = RunProgram(ParseStartMode(c.argument), shell, out.get(), err.get());
        const std::string outText = out.text(), errText = err.text();
        EXPECT_EQ(status, c.status) << c.argument;
        EXPECT_EQ(shell.calls, c.calls) << c.argument;
        if (*c.errHas) {
            EXPECT_NE(errText.find(c.errHas), std::string::npos) << c.argument << errText;
        } else {
            EXPECT_EQ(errText, "") << c.argument;
        }
        EXPECT_EQ(logText().find("Days = 30") != std::string::npos, c.logged) << c.argument;
        EXPECT_FALSE(lock.held) << "released at the end of the run";
        const bool unattended =
            ParseStartMode(c.argument) == StartMode::Unattended && !c.throwOnStart;
        EXPECT_EQ(lock.asked, unattended ? dir.file("Dormex.lock") + " 60" : "") << c.argument;
        const bool boxShown = !c.lockFree && !*c.problem;
        EXPECT_EQ(boxes.boxes.size(), boxShown ? 1u : 0u) << c.argument;
        if (std::string(c.argument) == "--help") {
            for (const char* word : {"silent", "preview", "Dormex.ini", "dormex.log", "Exit status",
                                     "SiteLibrary.ini  what the site library reads\n"})
                EXPECT_NE(outText.find(word), std::string::npos) << word;
        } else if (std::string(c.argument) == "--version") {
            EXPECT_EQ(outText.rfind("Dormex ", 0), 0u) << outText;
        }
    }
}

TEST(SystemRunLock, IsExclusiveWaitsForItsHolderAndIsFreeAgainOnRelease) {
    TempDir dir;
    const std::string path = dir.file("Dormex.lock");
    auto first = platform::makeSystemRunLock();
    auto second = platform::makeSystemRunLock();
    ASSERT_TRUE(first->acquire(path, 0));
    EXPECT_FALSE(second->acquire(path, 1)) << "held by another open of the file";
    first->release();
    EXPECT_TRUE(second->acquire(path, 0));
    EXPECT_THROW(first->acquire(dir.file("missing/Dormex.lock"), 0), Error);
    // A lock file that can be neither created (sysfs refuses even root one) nor found: the
    // reason given is the create's (Windows' texts differ: its suite checks them).
    if (!platform::os::isPathSeparator('\\')) {
        try {
            first->acquire("/sys/kernel/Dormex.lock", 0);
            ADD_FAILURE() << "created in sysfs";
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(),
                         "Unable to open the run lock /sys/kernel/Dormex.lock: Permission denied");
        }
    }
}

}  // namespace
}  // namespace dormex::test
