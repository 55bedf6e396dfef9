// The preview: the run's selection with card operations recorded, printed instead of logged.
#include "Preview.h"

#include <gtest/gtest.h>

#include "FakeSite.h"
#include "Record.h"
#include "TestSupport.h"
#include "uDormex.h"

namespace dormex::test {
namespace {

class PreviewTest : public ProgramDirTest {
protected:
    void SetUp() override {
        ProgramDirTest::SetUp();
        writeFile(settingsPath(), "[General]\r\nDays=30\r\ntype0=True\r\ntype4=True\r\n");
        // Key 20's second card is inactive; key 21's card is gone by the time it is looked up.
        site.add({{1, 17, "Ames", "Bo", 0},
                  {2, 18, "Visit", "Or", 1 << 21},
                  {3, 20, "Two", "Cards", 4 << 21},
                  {4, 20, "Two", "Cards", 4 << 21, -1, 0},
                  {5, 21, "No", "Card", 0}});
        site.vanishedKeys = {21};
        site.now = clock.now();
    }
    int preview() {
        CapturedStream out, err;
        const int status = RunPreview(site.creator(), out.get(), err.get());
        outText = out.text();
        errText = err.text();
        return status;
    }
    FakeSite site;
    std::string outText;
    std::string errText;
};

TEST_F(PreviewTest, ListsWhatTheRunDoesAndDoesNothingItself) {
    const std::string settings = readFile(settingsPath());
    EXPECT_EQ(preview(), 0);
    EXPECT_EQ(outText,
              "Door transactions after '2026-11-06 00:00:00': 1; the feed check passes\n"
              ",17,Ames,Bo,0, Would deactivate\n"
              ",20,Two,Cards,8388608, Would deactivate\n"
              "Key number 20 is shared by 2 cards: the run deactivates only the first the site "
              "library gives.\n"
              "2 cards would be deactivated (Days = 30, cut-off date 2026-11-06)\n");
    EXPECT_EQ(errText, "");
    EXPECT_EQ(site.cardOps(), std::vector<std::string>{});
    EXPECT_FALSE(std::filesystem::exists(dir.file("dormex.log")));
    EXPECT_EQ(readFile(settingsPath()), settings);

    // The run on the same site deactivates exactly the previewed cards, in the same order.
    LogReport report(true, stderr);
    TForm1 form(site.creator(), StartMode::Unattended, report);
    form.FormCreate();
    std::string log = logText();
    EXPECT_NE(log.find(",17,Ames,Bo,0, Deactivated"), std::string::npos);
    EXPECT_LT(log.find(",17,Ames"), log.find(",20,Two"));
    EXPECT_EQ(log.find(",18,"), std::string::npos);
}

// With the record on and a type's own days, the run records its cards and says when one was
// presented at a door since; the preview names the type's days and lists the card.
TEST_F(PreviewTest, NamesEachTypesDaysAndTheRecordsCardsPresentedSince) {
    writeFile(settingsPath(),
              "[General]\r\nDays=30\r\ntype0=True\r\ntype4=True\r\nRecord=True\r\n"
              "[DaysPerType]\r\ntype4=7\r\n");
    site.presentedRows = {{IntegerValue(20), IntegerValue(3), TextValue("2026-12-06 13:59:00")}};
    LogReport report(true, stderr);
    TForm1 form(site.creator(), StartMode::Unattended, report);
    ASSERT_TRUE(RunFormCreate(form, report));
    EXPECT_EQ(ExitStatus(form, false), 0);
    const std::string log = logText();
    EXPECT_NE(log.find("  Days = 7 (Contractor)\r\n"), std::string::npos) << log;
    const std::string entry =
        "  1 card deactivated by this program was presented at a door since; see the preview\r\n";
    EXPECT_EQ(log.substr(log.size() - entry.size()), entry) << log;
    ASSERT_NE(site.sql.back().find("t.KeyNumber IN (17, 20) AND t.EventDateTime > '2026-12-06 "),
              std::string::npos)
        << site.sql.back();

    EXPECT_EQ(preview(), 0);
    const std::string deactivated = record::ParseCsv(readFile(dir.file("dormex.csv")))[2][0];
    EXPECT_EQ(outText.substr(outText.find("Presented at")),
              "Presented at a door after this program deactivated them:\n"
              "  20 Two, Cards: deactivated " +
                  deactivated +
                  "; 3 door transactions since, the last at 2026-12-06 13:59:00\n"
                  "Contractor: Days = 7, cut-off date 2026-11-29\n"
                  "2 cards would be deactivated (Days = 30, cut-off date 2026-11-06)\n");
}

TEST_F(PreviewTest, FailuresGoToStandardErrorWithTheRunsStatus) {
    site.add(HeldCard{6, 19, "Odd", "Type", 12 << 21});
    site.vanishedKeys.insert(19);
    EXPECT_EQ(preview(), 1);
    EXPECT_EQ(errText, "RunQuery():6:List index out of bounds (12)\r\n" +
                           BuildExpirySql("2026-11-06 00:00:00") + "\n");
    EXPECT_EQ(outText,
              "Door transactions after '2026-11-06 00:00:00': 1; the feed check passes\n"
              ",17,Ames,Bo,0, Would deactivate\n"
              "1 card would be deactivated (Days = 30, cut-off date 2026-11-06)\n");

    site.failCall = "RunSql";
    site.failOnCall = 3;
    site.failDescription = "near \"SELECT\": syntax error";
    EXPECT_EQ(preview(), 1);
    EXPECT_EQ(errText.rfind("RunQuery():0:near \"SELECT\": syntax error\r\n", 0), 0u) << errText;
}

TEST_F(PreviewTest, GivesTheVerdictsOfTheGuards) {
    const std::string passes =
        "Door transactions after '2026-11-06 00:00:00': 4711; the feed check passes\n";
    const std::string cards =
        ",17,Ames,Bo,0, Would deactivate\n,20,Two,Cards,8388608, Would deactivate\nKey number 20 "
        "is shared by 2 cards: the run deactivates only the first the site library gives.\n";
    struct Case {
        const char* settings;
        std::int64_t transactions;
        int status;
        std::string out;
    } cases[] = {
        {"MaxDeactivations=3", 4711, 0,
         passes + cards +
             "2 cards would be deactivated (Days = 30, cut-off date 2026-11-06), within "
             "MaxDeactivations = 3\n"},
        {"MaxDeactivations=2", 4711, 1,
         passes +
             "0 cards would be deactivated (Days = 30, cut-off date 2026-11-06): the run would "
             "stop, as 3 are selected, more than MaxDeactivations = 2\n"},
        {"SqlDateFormat=YYYYMMDD", 0, 1,
         "Door transactions after '20261106': 0; the run would stop here and deactivate none "
         "(the transaction feed may have stopped, or the database reads the date differently: "
         "see SqlDateFormat)\n0 cards would be deactivated (Days = 30, cut-off date "
         "2026-11-06): the run would stop at the feed check\n"},
        {"[Keep]\r\n20=Night guard's spare\r\n21=", 4711, 0,
         passes +
             ",17,Ames,Bo,0, Would deactivate\n,20,Two,Cards,8388608, Kept: Night guard's spare\n"
             ",21,No,Card,0, Kept\n1 card would be deactivated, 2 kept (Days = 30, cut-off date "
             "2026-11-06)\n"},
        {"FeedCheck=False", 0, 0,
         "Door transactions after '2026-11-06 00:00:00': not counted, as FeedCheck is off\n" +
             cards + "2 cards would be deactivated (Days = 30, cut-off date 2026-11-06)\n"},
    };
    for (const auto& c : cases) {
        writeFile(settingsPath(),
                  std::string("[General]\r\ntype0=True\r\ntype4=True\r\n") + c.settings + "\r\n");
        site.transactions = c.transactions;
        EXPECT_EQ(preview(), c.status) << c.settings;
        EXPECT_EQ(outText, c.out);
        EXPECT_EQ(errText, "");
        EXPECT_FALSE(std::filesystem::exists(dir.file("dormex.log")));
    }
}

TEST_F(PreviewTest, SetupErrorsEndWithStatusTwoAndNoSummary) {
    writeFile(settingsPath(), "[General]\r\nDays=abc\r\n");
    EXPECT_EQ(preview(), 2);
    EXPECT_EQ(errText, "Dormex: 'abc' is not a valid integer value.\n");
    EXPECT_EQ(outText, "");
    EXPECT_FALSE(std::filesystem::exists(dir.file("dormex.log")));
}

}  // namespace
}  // namespace dormex::test
