// The stand-in site libraries' common part: [Database] of SiteLibrary.ini, the person type in a
// holder's flags, and the demo sites' rows as an inserter receives them.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "DatabaseRegistration.h"
#include "DemoSite.h"
#include "SiteTables.h"
#include "TestSupport.h"
#include "platform/Error.h"
#include "site/PersonType.h"

namespace dormex::standin {
namespace {

TEST(DatabaseRegistration, ReadsTheKeysOfItsSectionBesideTheProgram) {
    test::TempDir dir;
    const std::string programDir = dir.path() + "/";
    const DatabaseRegistration none = readDatabaseRegistration(programDir);
    EXPECT_EQ(none.file, programDir + "SiteLibrary.ini");
    EXPECT_EQ(none.driver + none.database + none.port + none.options, "");
    test::writeFile(programDir + "SiteLibrary.ini",
                    "[Other]\nDriver=QODBC\n[Database]\nDriver = QPSQL \nDatabase=\"access\"\n"
                    "Host=db\nPort=5433\nUser=u\nPassword=p w\nOptions=a=1;b=2\n");
    const DatabaseRegistration r = readDatabaseRegistration(programDir);
    EXPECT_EQ((std::vector<std::string>{r.driver, r.database, r.host, r.port, r.user, r.password,
                                        r.options}),
              (std::vector<std::string>{"QPSQL", "access", "db", "5433", "u", "p w", "a=1;b=2"}));
}

TEST(DatabaseRegistration, PortIsEmptyOrAWholeNumberFromOneTo65535) {
    // Each port with its number: -1 for none, 0 where it is refused.
    const std::pair<const char*, int> cases[] = {
        {"", -1},     {"1", 1},   {"65535", 65535}, {"0", 0},   {"-1", 0},
        {"65536", 0}, {"54x", 0}, {"80 ", 0},       {"1.5", 0}, {"99999999999999999999", 0}};
    for (const auto& [port, number] : cases) {
        DatabaseRegistration registration;
        registration.file = "X.ini";
        registration.port = port;
        if (number != 0) {
            EXPECT_EQ(registration.portNumber(), number) << port;
            continue;
        }
        try {
            registration.portNumber();
            ADD_FAILURE() << port;
        } catch (const Error& e) {
            EXPECT_EQ(e.what(), "Invalid Port '" + std::string(port) + "' in X.ini");
        }
    }
}

TEST(PersonType, FlagsForTypeKeepsTheOtherBitsAndReadsBack) {
    struct Case {
        int type;
        std::int64_t otherBits;
        std::int64_t flags;
    } cases[] = {{0, 0, 0},
                 {1, 0, 0x200000},
                 {15, 0, 0x1E00000},
                 {3, 0x1E00000, 0x600000},
                 {10, 0x21FFFFF, 0x35FFFFF},
                 {2, -1, ~std::int64_t{0x1E00000} | 0x400000}};
    for (const auto& c : cases) {
        EXPECT_EQ(site::flagsForType(c.type, c.otherBits), c.flags) << c.type;
        EXPECT_EQ(site::personTypeOf(c.flags), c.type) << c.flags;
    }
}

// What a writer inserts, table by table; each row must hold a value per column of its table.
class RecordingInserter : public RowInserter {
public:
    void insert(const Table& table, const std::vector<Row>& rows) override {
        for (const Row& row : rows) EXPECT_EQ(row.size(), table.columns.size()) << table.name;
        order.push_back(table.name);
        tables[table.name] = rows;
    }
    std::int64_t integer(const std::string& table, size_t row, size_t column) const {
        return std::get<std::int64_t>(tables.at(table).at(row).at(column));
    }
    std::vector<std::string> order;
    std::map<std::string, std::vector<Row>> tables;
};

TEST(DemoSite, EachDemoFillsItsTablesBeforeTheDayOfNow) {
    struct Case {
        DemoSite demo;
        size_t cards;
        size_t settings;
        bool otherFlagBits;
    } cases[] = {{DemoSite::Tool, 60, 7, true}, {DemoSite::TrialKit, 40, 6, false}};
    const std::time_t now = test::localTimeOf(2026, 3, 1, 0, 5);
    for (const auto& c : cases) {
        RecordingInserter site;
        writeDemoSite(c.demo, now, site);
        EXPECT_EQ(site.order, (std::vector<std::string>{"personnel", "Keycards", "Transactions",
                                                        "MXRSettings"}));
        std::set<int> types;
        bool otherBits = false;
        for (size_t i = 0; i < site.tables["personnel"].size(); ++i) {
            const std::int64_t flags = site.integer("personnel", i, 3);
            types.insert(site::personTypeOf(flags));
            otherBits = otherBits || flags != site::flagsForType(site::personTypeOf(flags));
        }
        EXPECT_EQ(types.size(), 11u);
        EXPECT_EQ(otherBits, c.otherFlagBits);
        ASSERT_EQ(site.tables["Keycards"].size(), c.cards);
        std::set<std::int64_t> keys;
        for (size_t i = 0; i < c.cards; ++i) keys.insert(site.integer("Keycards", i, 1));
        // Each use is of a card, on one of the 120 days before the one of `now`, in time order.
        std::string last;
        for (const Row& use : site.tables["Transactions"]) {
            EXPECT_EQ(keys.count(std::get<std::int64_t>(use[0])), 1u);
            const std::string& time = std::get<std::string>(use[1]);
            EXPECT_TRUE(time >= "2025-11-01" && time < "2026-03-01") << time;
            if (c.demo == DemoSite::TrialKit) {
                EXPECT_GT(time, last);
            }
            last = time;
        }
        EXPECT_EQ(site.tables["MXRSettings"].size(), c.settings);
    }
}

}  // namespace
}  // namespace dormex::standin
