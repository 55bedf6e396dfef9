// The stand-in site library over SQLite always, and over PostgreSQL (native and ODBC) when
// scripts/pg-harness.sh provides a server; the registration; the site tool's content.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDateTime>
#include <QSqlQuery>
#include <QtGlobal>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <stdexcept>
#include <thread>

#include "DemoSite.h"
#include "Scenarios.h"
#include "ServerWatch.h"
#include "SiteContent.h"
#include "SiteDatabase.h"
#include "SqlSiteLibrary.h"
#include "TestSupport.h"
#include "platform/Error.h"
#include "support/Harness.h"
#include "support/Programs.h"
#include "support/SiteRows.h"

namespace dormex::sitelib {
namespace {

// Column `i` of the recordset's current row: "null", "i" and the digits of an integer, else "s"
// and the text, with "=" and the integer where the text is another form of one ("12.000").
std::string show(site::Recordset& rs, std::int32_t i) {
    const auto [text, integer] = rs.Value(i);
    if (!text) return "null";
    if (integer && std::to_string(*integer) == *text) return "i" + *text;
    return "s" + *text + (integer ? "=" + std::to_string(*integer) : "");
}

// The rows of a query, each a list of its columns' values.
using Rows = std::vector<std::vector<std::string>>;

using test::closedPort;
using test::failureOf;
using test::lower;
using test::onCi;
using test::scenario::Card;
using test::scenario::Person;
// `port` on 127.0.0.1 as the server end of a connection's socket.
TcpSocket loopbackTarget(int port) {
    TcpSocket socket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    std::memcpy(&socket.peer, &address, sizeof address);
    socket.peerLength = sizeof address;
    return socket;
}

// A listening socket on a free port of 127.0.0.1 that accepts connections (in the kernel's
// backlog) but answers nothing by itself; `target` is its address.
struct Loopback {
    Loopback() {
        target = loopbackTarget(0);
        auto* address = reinterpret_cast<sockaddr*>(&target.peer);
        if (::bind(fd, address, target.peerLength) != 0 || ::listen(fd, 16) != 0 ||
            ::getsockname(fd, address, &target.peerLength) != 0)
            throw std::runtime_error("no loopback listener");
    }
    ~Loopback() { ::close(fd); }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    TcpSocket target;
};

// QtSql's own warnings seen while a test ran ("connection still in use", "database not open"):
// each one means a connection or query outlived its owner or was used after closing.
std::mutex g_warningsMutex;
std::vector<std::string> g_warnings;
void recordWarning(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtDebugMsg || type == QtInfoMsg) return;
    if (!text.startsWith(QLatin1String("QSqlDatabase")) &&
        !text.startsWith(QLatin1String("QSqlQuery")))
        return;
    std::lock_guard<std::mutex> lock(g_warningsMutex);
    g_warnings.push_back(text.toStdString());
}

class RegistrationTest : public test::ProgramDirTest {
protected:
    void writeIni(const std::string& body) {
        test::writeFile(dir.file("SiteLibrary.ini"), "[Database]\n" + body);
    }
    std::string programDir() const { return dir.path() + "/"; }
    // Creates the top-level object from the registration; the published description on failure.
    std::string createFails() {
        return failureOf([] { CreateTopLevelObject(); });
    }
};

TEST_F(RegistrationTest, SettingsComeFromTheFileBesideTheProgram) {
    struct Case {
        const char* ini;  // nullptr: no file
        Driver driver;
        std::string database;
        int port;
    } cases[] = {
        {nullptr, Driver::Sqlite, programDir() + "site.db", -1},
        {"Database=data/my.db\n", Driver::Sqlite, programDir() + "data/my.db", -1},
        {"Database=sub/../x.db\n", Driver::Sqlite, programDir() + "x.db", -1},
        {"Driver=qsqlite\nDatabase=/var/lib/site.db\n", Driver::Sqlite, "/var/lib/site.db", -1},
        {"Driver=QPSQL\nDatabase=access\nPort=5433\n", Driver::Postgres, "access", 5433},
        {"Driver=qodbc\nDatabase=DSN=x;UID=u\n", Driver::Odbc, "DSN=x;UID=u", -1},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(dir.file("SiteLibrary.ini"));
        if (c.ini) writeIni(c.ini);
        ConnectionSettings settings = readRegistration(programDir());
        EXPECT_EQ(settings.driver, c.driver) << (c.ini ? c.ini : "no file");
        EXPECT_EQ(settings.database, c.database) << (c.ini ? c.ini : "no file");
        EXPECT_EQ(settings.port, c.port) << (c.ini ? c.ini : "no file");
    }
}

// A settings file (none for nullopt), after writing `siteDb` as site.db when given, that makes
// creation fail within 15 seconds with a message holding `expected` (all of it for kWhole),
// never `secret`, leaving `absent` uncreated. In the texts, {dir} stands for the program
// directory, {closed} for a closed port and {silent} for a port that accepts and never answers.
enum Match { kWhole, kPart, kPartAnyCase };
struct CreationFailure {
    const char* name;
    std::optional<std::string> ini;
    Match match;
    std::string expected;
    std::string secret{}, absent{}, siteDb{};  // empty: none
};
void PrintTo(const CreationFailure& c, std::ostream* out) {
    *out << c.name;
}
const std::string kPassword = "Zq7-secret-pw";
const std::string kOdbcDriver = "/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so";

class CreationFailureTest : public RegistrationTest,
                            public ::testing::WithParamInterface<CreationFailure> {
protected:
    std::string expand(std::string text) const {
        const std::pair<std::string, std::string> fields[] = {
            {"{dir}", dir.path()},
            {"{closed}", std::to_string(closedPort())},
            {"{silent}",
             std::to_string(
                 ntohs(reinterpret_cast<const sockaddr_in&>(m_silent.target.peer).sin_port))}};
        for (const auto& [field, value] : fields)
            for (size_t at; (at = text.find(field)) != std::string::npos;)
                text.replace(at, field.size(), value);
        return text;
    }
    Loopback m_silent;
};

TEST_P(CreationFailureTest, FailsClearlyAndFast) {
    const CreationFailure& c = GetParam();
    if (c.ini && c.ini->find(kOdbcDriver) != std::string::npos &&
        !std::filesystem::exists(kOdbcDriver))
        GTEST_SKIP() << "no PostgreSQL ODBC driver";
    if (c.ini) writeIni(expand(*c.ini));
    if (!c.siteDb.empty()) test::writeFile(dir.file("site.db"), c.siteDb);
    const auto start = std::chrono::steady_clock::now();
    const std::string message = createFails();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    const std::string expected = expand(c.expected);
    if (c.match == kWhole) {
        EXPECT_EQ(message, expected);
    } else {
        EXPECT_NE((c.match == kPart ? message : lower(message)).find(expected), std::string::npos)
            << message;
    }
    EXPECT_TRUE(c.secret.empty() || message.find(c.secret) == std::string::npos) << message;
    EXPECT_TRUE(c.absent.empty() || !std::filesystem::exists(expand(c.absent))) << c.absent;
}

INSTANTIATE_TEST_SUITE_P(
    Settings, CreationFailureTest,
    ::testing::ValuesIn(std::vector<CreationFailure>{
        {"NoFileAndNoSiteDb", std::nullopt, kWhole, "Site database not found: {dir}/site.db", "",
         "{dir}/site.db"},
        {"MissingNestedFile", "Database=nested/other.db\n", kWhole,
         "Site database not found: {dir}/nested/other.db", "", "{dir}/nested/other.db"},
        {"UnknownDriver", "Driver=QMYSQL\n", kPart, "Unsupported site database driver 'QMYSQL'"},
        {"PortNotANumber", "Driver=QPSQL\nPort=54x\n", kPart, "Invalid Port '54x'"},
        {"PortOutOfRange", "Driver=QPSQL\nPort=70000\n", kPart, "Invalid Port '70000'"},
        {"LockWaitZero", "Options=DORMEX_LOCK_WAIT=0\n", kPart, "Invalid DORMEX_LOCK_WAIT '0'"},
        {"LockWaitWithUnit", "Driver=QPSQL\nOptions=connect_timeout=5;DORMEX_LOCK_WAIT=1h\n", kPart,
         "Invalid DORMEX_LOCK_WAIT '1h'"},
        {"ServerRefuses",
         "Driver=QPSQL\nHost=127.0.0.1\nPort={closed}\nDatabase=x\nUser=u\nPassword=" + kPassword +
             "\n",
         kPartAnyCase, "refused", kPassword},
        {"NoSuchDataSource",
         "Driver=QODBC\nDatabase=DSN=dormex_no_such_dsn;PWD=" + kPassword +
             "\nPassword=" + kPassword + "\n",
         kPartAnyCase, "data source name not found", kPassword},
        {"SilentServer", "Driver=QPSQL\nHost=127.0.0.1\nPort={silent}\nDatabase=x\nUser=u\n",
         kPartAnyCase, "timeout"},
        {"SilentServerOverOdbc",
         "Driver=QODBC\nDatabase=DRIVER=" + kOdbcDriver +
             ";SERVER=127.0.0.1;PORT={silent};DATABASE=x\nUser=u\n",
         kPartAnyCase, "timeout"},
        {"FileThatIsNoDatabase", std::nullopt, kPartAnyCase, "not a database", "", "",
         std::string(4096, 'x')},
    }),
    [](const auto& info) { return std::string(info.param.name); });

// Through the harness's server: a data source name alone (with the user and password beside it)
// connects over ODBC; a wrong password fails with a message that does not show it.
TEST_F(RegistrationTest, HarnessServerTakesADataSourceNameAndHidesAWrongPassword) {
    DORMEX_REQUIRE_HARNESS();
    ConnectionSettings pg = test::harnessSettings(Driver::Postgres);
    writeIni("Driver=QODBC\nDatabase=" + test::envOr("DORMEX_ODBC_DSN") + "\nUser=" + pg.user +
             "\nPassword=" + pg.password + "\n");
    auto rs = CreateTopLevelObject()->RunSql("SELECT 6 * 7 AS answer");
    EXPECT_EQ(show(*rs, 0), "i42");
    const std::string wrong = pg.password + "-wrong";
    pg.password = wrong;
    test::writeFile(dir.file("SiteLibrary.ini"), test::registrationText(pg));
    const std::string message = createFails();
    EXPECT_NE(message.find("password authentication failed"), std::string::npos) << message;
    EXPECT_EQ(message.find(wrong), std::string::npos) << message;
}

TEST(Redaction, MasksThePasswordAndPasswordPairs) {
    ConnectionSettings settings;
    settings.driver = Driver::Sqlite;
    settings.password = "s3cr3t";
    test::TempDir dir;
    settings.database = dir.file("r.db");
    SiteDatabase db(settings, SiteDatabase::OpenMode::Create);
    EXPECT_EQ(db.redact("x s3cr3t y"), "x *** y");
    EXPECT_EQ(db.redact("DSN=a;PWD=other;UID=u"), "DSN=a;PWD=***;UID=u");
    EXPECT_EQ(db.redact("Password = {a;b} end"), "Password=*** end");
}

enum class Backend { Sqlite, Postgres, Odbc };

// One fresh site per test: a SQLite file in the test's program directory, or a PostgreSQL
// schema of its own (so parallel test processes never meet), reached natively or through ODBC.
class SiteTest : public test::ProgramDirTest, public ::testing::WithParamInterface<Backend> {
protected:
    void SetUp() override {
        test::ProgramDirTest::SetUp();
        clock.set(test::localTimeOf(2026, 12, 6, 14, 5));
        {
            std::lock_guard<std::mutex> lock(g_warningsMutex);
            g_warnings.clear();
        }
        m_previousHandler = qInstallMessageHandler(recordWarning);
        if (GetParam() == Backend::Sqlite) {
            test::TestSite::create(test::sqliteAt(dir.file("site.db")));
        } else {
            DORMEX_REQUIRE_HARNESS();
            m_schema = std::make_unique<test::HarnessSchema>();
            test::writeFile(dir.file("SiteLibrary.ini"),
                            m_schema->registration(
                                GetParam() == Backend::Postgres ? Driver::Postgres : Driver::Odbc));
        }
        m_site = std::make_unique<test::TestSite>(readRegistration(dir.path() + "/"));
        m_db = &m_site->db();
        if (GetParam() != Backend::Sqlite) m_db->createSchema();
        EXPECT_EQ(m_db->dialect(),
                  GetParam() == Backend::Sqlite ? Dialect::Sqlite : Dialect::Postgres);
    }

    void TearDown() override {
        m_site.reset();
        m_schema.reset();
        qInstallMessageHandler(m_previousHandler);
        test::ProgramDirTest::TearDown();
        std::lock_guard<std::mutex> lock(g_warningsMutex);
        EXPECT_TRUE(g_warnings.empty()) << g_warnings.front();
    }

    std::shared_ptr<site::TopLevelObject> create() { return CreateTopLevelObject(); }

    void exec(const std::string& sql) { m_site->exec(sql); }
    // A person, card or door transaction written to the site.
    template <class Row>
    void add(const Row& row) {
        m_site->add(row);
    }

    // The columns of every row of `sql`, read on the fixture's own connection: "null", a time as
    // "yyyy-MM-dd HH:mm:ss", else the value's text.
    Rows rows(const std::string& sql) {
        Rows result;
        for (const std::vector<QVariant>& row : m_site->rows(sql)) {
            result.emplace_back();
            for (const QVariant& v : row) {
                const QString text =
                    v.typeId() == QMetaType::QDateTime
                        ? v.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                        : v.toString();
                result.back().push_back(v.isNull() ? "null" : text.toStdString());
            }
        }
        return result;
    }

    // Every row RunSql gives for `sql`, each value shown as show() gives it.
    Rows runSql(site::TopLevelObject& site, const std::string& sql,
                std::vector<std::string>* names = nullptr) {
        auto rs = site.RunSql(sql);
        if (!rs->IsOpen()) throw Error("recordset not open");
        const auto fields = rs->FieldNames();
        for (const std::string& name : fields)
            if (names) names->push_back(lower(name));
        Rows out;
        for (; !rs->Eof(); rs->MoveNext()) {
            out.emplace_back();
            for (size_t i = 0; i < fields.size(); ++i)
                out.back().push_back(show(*rs, static_cast<std::int32_t>(i)));
        }
        return out;
    }

    std::unique_ptr<test::HarnessSchema> m_schema;
    std::unique_ptr<test::TestSite> m_site;  // the fixture's own connection
    SiteDatabase* m_db = nullptr;

private:
    QtMessageHandler m_previousHandler = nullptr;
};

TEST_P(SiteTest, RunSqlGivesRowsColumnNamesAndNulls) {
    add(Person{1, "Abbott", "Ada", 2097152});
    add(Person{2, {}, "Bo", {}});
    auto site = create();
    std::vector<std::string> names;
    // NUMERIC values arrive exactly: as a Decimal where the database keeps them as such, as an
    // Int64 or Double where SQLite stores them as one.
    auto got = runSql(*site,
                      "SELECT userid, lastname AS Surname, flags, 2.5 AS ratio, "
                      "CAST(0.25 AS REAL) AS part, CAST(9007199254740993 AS numeric(20,0)) AS big, "
                      "CAST(-12.50 AS numeric(6,2)) AS cents FROM personnel ORDER BY userid",
                      &names);
    EXPECT_EQ(names, (std::vector<std::string>{"userid", "surname", "flags", "ratio", "part", "big",
                                               "cents"}));
    const std::string cents = GetParam() == Backend::Sqlite ? "s-12.5" : "s-12.50";
    EXPECT_EQ(got, (Rows{{"i1", "sAbbott", "i2097152", "s2.5", "s0.25", "i9007199254740993", cents},
                         {"i2", "null", "null", "s2.5", "s0.25", "i9007199254740993", cents}}));
    EXPECT_TRUE(runSql(*site, "SELECT userid FROM personnel WHERE userid > 5").empty());
}

// RunSql refuses reads past the end and outside the columns, publishes a rejected statement's
// text and stays usable after it, and gives a statement without rows as a closed recordset.
TEST_P(SiteTest, RunSqlRefusesBadReadsAndStatementsAndClosesARecordsetWithoutRows) {
    exec("INSERT INTO personnel (userid, lastname) VALUES (1, 'Abbott')");
    auto site = create();
    auto rs = site->RunSql("SELECT CardID FROM Keycards");
    EXPECT_TRUE(rs->Eof());
    EXPECT_EQ(failureOf([&] { rs->Value(0); }), "There is no current row");
    EXPECT_EQ(failureOf([&] { rs->MoveNext(); }), "Cannot move past the last row");
    EXPECT_NE(
        lower(failureOf([&] { site->RunSql("SELECT * FROM NoSuchTable"); })).find("nosuchtable"),
        std::string::npos);
    EXPECT_EQ(runSql(*site, "SELECT COUNT(*) FROM Keycards"), (Rows{{"i0"}}));
    rs = site->RunSql("UPDATE personnel SET flags = 4");
    ASSERT_NE(rs, nullptr);
    EXPECT_FALSE(rs->IsOpen());
    EXPECT_EQ(failureOf([&] { rs->FieldNames(); }),
              "The recordset is closed: the statement gave no rows");
    EXPECT_EQ(rows("SELECT flags FROM personnel"), (Rows{{"4"}}));
    add(Card{1, 11, {}});
    rs = site->RunSql("SELECT CardID FROM Keycards");
    EXPECT_EQ(failureOf([&] { rs->Value(1); }),
              "Column 1 does not exist (the recordset has 1 columns)");
}

TEST_P(SiteTest, ProgramStatementsRunAsWritten) {
    add(Person{1, "Abbott", "Ada", 35651584});
    add(Card{1, 5000000001, 1});   // idle
    add(Card{2, 7, 1});            // used lately
    add(Card{3, 3000000000, {}});  // never used
    add(Card{4, 9, 1, 0});         // inactive
    // At exactly midnight of the cut-off day is not after its start, a second later is.
    add(Card{5, 11, 1});
    add(Card{6, 12, 1});
    for (const char* use : {"5000000001, '2026-11-07 23:59:59'", "7, '2026-11-08 08:00:00'",
                            "11, '2026-11-08 00:00:00'", "12, '2026-11-08 00:00:01'"})
        exec(std::string("INSERT INTO Transactions (KeyNumber, EventDateTime) VALUES (") + use +
             ")");
    for (int i : {3, 1, 2})
        exec("INSERT INTO MXRSettings VALUES ('Custom Person Type " + std::to_string(i) +
             "', 'globalmxr', 'Name" + std::to_string(i) + "')");
    exec("INSERT INTO MXRSettings VALUES ('Custom Person Type 4', 'lobby', 'Elsewhere')");
    auto site = create();
    EXPECT_EQ(runSql(*site,
                     "select StringSetting1 FROM MXRSettings WHERE (SettingName LIKE 'Custom "
                     "Person Type %') "
                     "AND (StationName = 'globalmxr') order by SettingName"),
              (Rows{{"sName1"}, {"sName2"}, {"sName3"}}));
    EXPECT_EQ(
        runSql(*site,
               "SELECT k.KeyNumber, p.lastname, p.firstname, p.flags FROM Keycards AS k left join "
               "personnel p on k.userid = p.userid WHERE (k.KeyNumber NOT IN   (SELECT DISTINCT "
               "t.KeyNumber    FROM Transactions AS t    WHERE (t.EventDateTime > '2026-11-08 "
               "00:00:00'))) AND (k.Active = 1) Order by Keynumber"),
        (Rows{{"i11", "sAbbott", "sAda", "i35651584"},
              {"i3000000000", "null", "null", "null"},
              {"i5000000001", "sAbbott", "sAda", "i35651584"}}));
}

// FindKeycards matches all 64 bits of the key, in CardID order, and takes no facility but any
// (-1); its items count from one.
TEST_P(SiteTest, FindKeycardsMatchesAll64BitsInCardIdOrderAndItemsCountFromOne) {
    const std::int64_t key = (std::int64_t{1} << 32) + 5;
    for (auto [card, keyNumber] : {std::pair{30, key}, {10, key}, {40, std::int64_t{5}}, {20, key}})
        add(Card{card, keyNumber, {}});
    auto site = create();
    auto cards = site->FindKeycards(-1, key);
    const std::int32_t count = cards->Count();
    ASSERT_EQ(count, 3);
    // Items tell which card they are by the reason they save.
    for (std::int32_t i = 1; i <= count; ++i) {
        auto card = cards->Item(i);
        card->SetStatusReason(i);
        card->Save();
    }
    EXPECT_EQ(rows("SELECT CardID, StatusReason FROM Keycards ORDER BY CardID"),
              (Rows{{"10", "1"}, {"20", "2"}, {"30", "3"}, {"40", "0"}}));
    EXPECT_EQ(site->FindKeycards(-1, 6)->Count(), 0);
    for (std::int32_t facility : {0, 1, -2, 255})
        EXPECT_NE(failureOf([&] {
                      site->FindKeycards(facility, 1);
                  }).find("Facility " + std::to_string(facility)),
                  std::string::npos);
    add(Card{1, 77, {}});
    add(Card{2, 77, {}});
    cards = site->FindKeycards(-1, 77);
    for (std::int32_t index : {0, 3, -1})
        EXPECT_NE(failureOf([&] { cards->Item(index); }).find("out of range 1..2"),
                  std::string::npos)
            << index;
    EXPECT_NE(cards->Item(2), nullptr);
}

TEST_P(SiteTest, FiveOperationsDeactivateTheCardAndQueueItsDownload) {
    add(Card{12, 3000000012, {}});
    add(Card{13, 3000000013, {}});
    auto site = create();
    auto card = site->FindKeycards(-1, 3000000012)->Item(1);
    card->SetActive(0);
    card->SetCardStatus(3);
    card->SetStatusReason(6);
    // A-C change the card object only.
    EXPECT_EQ(rows("SELECT Active, CardStatus, StatusReason FROM Keycards WHERE CardID = 12"),
              (Rows{{"1", "0", "0"}}));
    card->Save();
    // The save queues a download the controllers would send as it is: default arguments, the
    // save's time. QueueDownload then gives it its own arguments and time.
    const std::string downloads = "SELECT CardID, Arg1, Arg2, Arg3, QueuedAt FROM CardDownloads";
    EXPECT_EQ(rows(downloads), (Rows{{"12", "0", "1", "0", "2026-12-06 14:05:00"}}));
    clock.set(clock.now() + 61);
    card->QueueDownload(2, 1, 5);
    EXPECT_EQ(rows("SELECT CardID, Active, CardStatus, StatusReason FROM Keycards ORDER BY CardID"),
              (Rows{{"12", "0", "3", "6"}, {"13", "1", "0", "0"}}));
    EXPECT_EQ(rows(downloads), (Rows{{"12", "2", "1", "5", "2026-12-06 14:06:01"}}));

    // A pending download the service has already taken: QueueDownload queues a new one.
    auto other = site->FindKeycards(-1, 3000000013)->Item(1);
    other->Save();
    exec("DELETE FROM CardDownloads WHERE CardID = 13");
    other->QueueDownload(1, 1, 0);
    EXPECT_EQ(rows(downloads + " WHERE CardID = 13"),
              (Rows{{"13", "1", "1", "0", "2026-12-06 14:06:01"}}));
}

TEST_P(SiteTest, PreparedStatementsServeManyCards) {
    m_db->beginTransaction();
    for (int i = 1; i <= 20; ++i) add(Card{i, 1000 + i, {}});
    m_db->commit();
    auto site = create();
    for (int i = 1; i <= 20; i += 2) {
        auto card = site->FindKeycards(-1, 1000 + i)->Item(1);
        card->SetActive(0);
        card->Save();
        card->QueueDownload(i, 1, 0);
    }
    EXPECT_EQ(rows("SELECT COUNT(*), SUM(CardID) FROM Keycards WHERE Active = 0"),
              (Rows{{"10", "100"}}));
    EXPECT_EQ(rows("SELECT COUNT(*), SUM(Arg1) FROM CardDownloads"), (Rows{{"10", "100"}}));
}

TEST_P(SiteTest, TriggerRefusalsArriveAsTheDescriptionAndNeverLeaveASaveWithoutDownload) {
    struct Case {
        const char* table;
        const char* event;
        bool save;  // the save fails (and changes nothing), else the download after it
        const char* message;
    } cases[] = {
        {"Keycards", "UPDATE", true, "card is locked by the site"},
        {"CardDownloads", "INSERT", true, "downloads are suspended"},
        {"CardDownloads", "UPDATE", false, "downloads are frozen"},
    };
    add(Card{1, 11, {}});
    auto site = create();
    const bool sqlite = m_db->dialect() == Dialect::Sqlite;
    for (const auto& c : cases) {
        // A trigger that makes every such write to the table fail with the message.
        const std::string name = "deny_" + lower(c.table);
        exec(test::scenario::refusal(
            !sqlite, name, std::string("BEFORE ") + c.event + " ON " + c.table, "", c.message));
        auto card = site->FindKeycards(-1, 11)->Item(1);
        card->SetActive(0);
        std::string failure;
        if (c.save) {
            failure = failureOf([&] { card->Save(); });
        } else {
            card->Save();
            failure = failureOf([&] { card->QueueDownload(2, 1, 0); });
        }
        EXPECT_NE(failure.find(c.message), std::string::npos) << c.message;
        // Either nothing changed, or the card is saved with the save's download.
        EXPECT_EQ(rows("SELECT Active, (SELECT COUNT(*) FROM CardDownloads) FROM Keycards"),
                  (Rows{{c.save ? "1" : "0", c.save ? "0" : "1"}}))
            << c.message;
        exec(sqlite ? "DROP TRIGGER " + name
                    : "DROP TRIGGER " + name + " ON " + c.table + "; DROP FUNCTION " + name + "()");
    }
}

TEST_P(SiteTest, DemoSiteCoversTypesIdleCardsAndCustomNames) {
    fillDemoSite(*m_db, clock.now());
    EXPECT_EQ(countRows(*m_db, "personnel"), 40);
    EXPECT_EQ(countRows(*m_db, "Keycards"), 60);
    std::vector<std::string> names = personTypeNames(*m_db);
    EXPECT_EQ(std::set<std::string>(names.begin() + 6, names.end()).size(), 5u);
    EXPECT_EQ(std::count_if(names.begin(), names.end(),
                            [](auto& n) { return n.rfind("Custom ", 0) == 0; }),
              0);
    std::set<int> types;
    int withoutHolder = 0;
    for (const CardListing& card : listCards(*m_db)) {
        if (card.personType)
            types.insert(*card.personType);
        else
            ++withoutHolder;
    }
    EXPECT_EQ(types.size(), 11u);
    EXPECT_GT(withoutHolder, 0);
    // Idle: active cards with no use in the 30 days before the clock's date.
    auto site = create();
    auto idle =
        runSql(*site,
               "SELECT k.KeyNumber FROM Keycards AS k WHERE (k.KeyNumber NOT IN (SELECT DISTINCT "
               "t.KeyNumber FROM Transactions AS t WHERE (t.EventDateTime > '2026-11-06'))) AND "
               "(k.Active = 1)");
    EXPECT_GE(idle.size(), 10u);
    EXPECT_LE(idle.size(), 30u);
    EXPECT_THROW(fillDemoSite(*m_db, clock.now()), Error);
}

TEST_P(SiteTest, GeneratedSiteHasTheAskedSizeAndSpread) {
    GenerateOptions options;
    options.cards = 1100;
    options.transactions = 20003;  // not a multiple of the batch: the remainder must land too
    options.seed = 7;
    options.now = clock.now();
    generateSite(*m_db, options);
    EXPECT_EQ(countRows(*m_db, "Keycards"), 1100);
    EXPECT_EQ(countRows(*m_db, "personnel"), 1100);
    EXPECT_EQ(countRows(*m_db, "Transactions"), 20003);
    std::map<int, int> perType;
    std::set<std::int64_t> keys;
    for (const CardListing& card : listCards(*m_db)) {
        ASSERT_TRUE(card.personType);
        ++perType[*card.personType];
        keys.insert(card.keyNumber);
    }
    EXPECT_EQ(perType.size(), 11u);
    EXPECT_EQ(keys.size(), 1100u);
    EXPECT_GT(*keys.rbegin(), std::int64_t{1} << 31);
    // Every fourth card has no use in the last 30 days; a few others may miss out by chance.
    const std::string recent = "(SELECT KeyNumber FROM Transactions WHERE EventDateTime > '" +
                               standin::formatLocalTime(clock.now() - 30 * 86400 + 60) + "')";
    EXPECT_EQ(
        rows("SELECT COUNT(*) FROM Keycards WHERE (CardID - 1) % 4 = 0 AND KeyNumber IN " + recent),
        (Rows{{"0"}}));
    const auto idle = std::stoi(
        rows("SELECT COUNT(*) FROM Keycards WHERE KeyNumber NOT IN " + recent).at(0).at(0));
    EXPECT_GE(idle, 275);
    EXPECT_LT(idle, 300);
    EXPECT_THROW(generateSite(*m_db, options), Error);
}

// The trial kit's uses as SQLite's civil arithmetic on the local date made them in its demo
// script, in its ORDER BY order; %1 is the time.
const char* const kTrialKitUses =
    "WITH RECURSIVE day(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM day WHERE n < 120), "
    "holder(id) AS (SELECT 1 UNION ALL SELECT id + 1 FROM holder WHERE id < 40), "
    "card(id, key, last) AS (SELECT id, CASE WHEN id % 3 = 0 THEN 5000000000 + id * 1013 "
    "ELSE 100000 + id * 17 END, CASE WHEN id % 4 = 1 THEN 35 + id * 7 % 80 ELSE 1 + id % 7 END "
    "FROM holder WHERE id % 10 <> 7) "
    "SELECT key, datetime(%1, 'unixepoch', 'localtime', 'start of day', '-' || n || ' days', "
    "'+' || (420 + (id * 37 + n * 11) % 660) || ' minutes') "
    "FROM card JOIN day ON n >= last AND (n = last OR (n + id) % 3 = 0) ORDER BY 2";

// The key and time of each use the trial kit's demo site inserts.
class TrialKitUses : public standin::RowInserter {
public:
    void insert(const standin::Table& table, const std::vector<standin::Row>& rows) override {
        if (std::string(table.name) != "Transactions") return;
        for (const standin::Row& row : rows)
            uses.push_back(std::to_string(std::get<std::int64_t>(row[0])) + " " +
                           std::get<std::string>(row[1]));
    }
    std::vector<std::string> uses;
};

TEST(TrialKitDemo, UsesAreSqlitesCivilTimesInTimeOrder) {
    // Days after and before clocks change, after a leap day, across a new year.
    struct Case {
        const char* zone;
        int year, month, day, hour;
    } cases[] = {{"Europe/Berlin", 2026, 3, 30, 0},
                 {"Europe/Berlin", 2026, 10, 25, 1},
                 {"America/New_York", 2026, 11, 1, 23},
                 {"Australia/Lord_Howe", 2026, 4, 5, 12},
                 {"UTC", 2028, 3, 1, 0},
                 {"Pacific/Apia", 2027, 1, 2, 8}};
    const char* const zone = std::getenv("TZ");
    const std::optional<std::string> savedZone =
        zone ? std::optional<std::string>(zone) : std::nullopt;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "civil");
        db.setDatabaseName(QStringLiteral(":memory:"));
        EXPECT_TRUE(db.open());
        for (const auto& c : cases) {
            setenv("TZ", c.zone, 1);
            tzset();
            const std::time_t now = test::localTimeOf(c.year, c.month, c.day, c.hour, 30);
            TrialKitUses written;
            standin::writeDemoSite(standin::DemoSite::TrialKit, now, written);
            QSqlQuery query(db);
            EXPECT_TRUE(query.exec(QString::fromLatin1(kTrialKitUses).arg(now)));
            std::vector<std::string> expected;
            while (query.next())
                expected.push_back(query.value(0).toString().toStdString() + " " +
                                   query.value(1).toString().toStdString());
            EXPECT_EQ(written.uses, expected) << c.zone << " " << c.month << "/" << c.day;
        }
    }
    QSqlDatabase::removeDatabase("civil");
    if (savedZone)
        setenv("TZ", savedZone->c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

// Each back end's name in its cases' names.
std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
    const char* const names[] = {"Sqlite", "Postgres", "Odbc"};
    return names[static_cast<size_t>(info.param)];
}
INSTANTIATE_TEST_SUITE_P(Backends, SiteTest,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres, Backend::Odbc),
                         backendName);

// SQLite-only: another writer's lock, held on another connection and thread for `holdMs`: a
// save waits for it under the default busy timeout, and gives up with the database's message
// when the options set a shorter one.
TEST_F(RegistrationTest, SqliteSaveWaitsForAnotherWritersLockUntilTheBusyTimeout) {
    test::TestSite::create(test::sqliteAt(dir.file("site.db")))->add(Card{1, 11, {}});
    struct Case {
        const char* ini;  // nullptr: no file
        int holdMs;
        bool fails;
    } cases[] = {{nullptr, 700, false}, {"Options=QSQLITE_BUSY_TIMEOUT=200\n", 2500, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.holdMs);
        if (c.ini) writeIni(c.ini);
        auto card = CreateTopLevelObject()->FindKeycards(-1, 11)->Item(1);
        enum LockState { kPending, kLocked, kFailed };
        std::atomic<int> lockState{kPending};
        std::thread holder([&] {
            try {
                SiteDatabase other(test::sqliteAt(dir.file("site.db")));
                other.exec(QStringLiteral("BEGIN IMMEDIATE"));
                lockState = kLocked;
                std::this_thread::sleep_for(std::chrono::milliseconds(c.holdMs));
                other.exec(QStringLiteral("COMMIT"));
            } catch (const std::exception&) {
                lockState = kFailed;
            }
        });
        while (lockState == kPending) std::this_thread::yield();
        if (lockState == kFailed) {
            holder.join();
            FAIL() << "could not take the write lock";
        }
        if (!c.fails) {
            card->SetActive(0);
            card->Save();
        } else {
            const auto start = std::chrono::steady_clock::now();
            const std::string failure = failureOf([&] { card->Save(); });
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
            EXPECT_NE(failure.find("locked"), std::string::npos);
        }
        holder.join();
    }
}

// The site tool, run as a program: bad arguments exit with 2; then --help, and init, demo and
// cards on a SQLite file, each with its exit status, what its output says, and whether the file
// exists after it.
TEST(SiteTool, ArgumentsAndCommandsOnASqliteFile) {
    const std::string tool = std::string(DORMEX_BUILD_DIR) + "/dormex-site";
    ASSERT_TRUE(std::filesystem::exists(tool)) << "build dormex-site first: " << tool;
    test::TempDir dir;
    std::string out;
    const auto run = [&](const std::string& args) {
        const std::string command = tool + " " + args + " >" + dir.file("out.txt") + " 2>&1";
        const int status = std::system(command.c_str());
        out = test::readFile(dir.file("out.txt"));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    for (const char* args :
         {"", "bogus", "init extra", "--database", "generate --cards 10",
          "generate --cards x --transactions 1", "cards --cards 3", "--frobnicate init"})
        EXPECT_EQ(run(args), 2) << args;
    const std::string db = "--database " + dir.file("t.db") + " ";
    struct Step {
        std::string args;
        int status;
        std::vector<std::string> says;
        bool fileAfter;
    } steps[] = {{"--help", 0, {"generate --cards N --transactions M"}, false},
                 {db + "cards", 1, {"Site database not found"}, false},
                 {db + "init", 0, {}, true},
                 {db + "init", 1, {"already exist"}, true},
                 {db + "demo", 0, {}, true},
                 {db + "cards", 0, {"60 cards", "Board Member"}, true},
                 {db + "demo", 1, {}, true}};
    for (const Step& s : steps) {
        EXPECT_EQ(run(s.args), s.status) << s.args;
        for (const std::string& text : s.says) EXPECT_NE(out.find(text), std::string::npos) << out;
        EXPECT_EQ(std::filesystem::exists(dir.file("t.db")), s.fileAfter) << s.args;
    }
}

// The preview's connection: reads work, every change fails and leaves the site as it was. The
// ordinary object takes the change; its connection lives until it and its cards are released,
// and a card whose row went fails to save.
TEST_P(SiteTest, AReadOnlyObjectRefusesEveryChangeAndTheOrdinaryOneKeepsItsConnectionForItsCards) {
    add(Card{1, 11, {}});
    auto site = CreateTopLevelObject(true);
    EXPECT_EQ(runSql(*site, "SELECT KeyNumber, Active FROM Keycards"), (Rows{{"i11", "i1"}}));
    auto card = site->FindKeycards(-1, 11)->Item(1);
    card->SetActive(0);
    card->SetCardStatus(3);
    const std::regex readOnly("read.?only");
    const std::function<void()> changes[] = {
        [&] { card->Save(); }, [&] { card->QueueDownload(0, 1, 0); },
        [&] { site->RunSql("UPDATE Keycards SET Active = 0"); }};
    for (const auto& change : changes)
        EXPECT_TRUE(std::regex_search(lower(failureOf(change)), readOnly));
    EXPECT_EQ(rows("SELECT Active, CardStatus FROM Keycards"), (Rows{{"1", "0"}}));
    EXPECT_EQ(rows("SELECT COUNT(*) FROM CardDownloads"), (Rows{{"0"}}));
    card.reset();
    site.reset();
    const auto before = QSqlDatabase::connectionNames().size();
    site = create();
    EXPECT_EQ(QSqlDatabase::connectionNames().size(), before + 1);
    card = site->FindKeycards(-1, 11)->Item(1);
    site.reset();
    EXPECT_EQ(QSqlDatabase::connectionNames().size(), before + 1);
    card->SetActive(0);
    card->Save();
    EXPECT_EQ(rows("SELECT Active FROM Keycards"), (Rows{{"0"}}));
    card.reset();
    EXPECT_EQ(QSqlDatabase::connectionNames().size(), before);
    add(Card{5, 55, {}});
    site = create();
    card = site->FindKeycards(-1, 55)->Item(1);
    exec("DELETE FROM Keycards");
    EXPECT_EQ(failureOf([&] { card->Save(); }), "Card 5 no longer exists in Keycards");
}

TEST_P(SiteTest, LockWaitIsTenSecondsUnlessTheOptionsSayOtherwise) {
    const bool sqlite = GetParam() == Backend::Sqlite;
    const std::string setting = sqlite ? "PRAGMA busy_timeout" : "SHOW lock_timeout";
    EXPECT_EQ(runSql(*create(), setting), (Rows{{sqlite ? "i10000" : "s10s"}}));
    const std::string path = dir.file("SiteLibrary.ini");
    std::string ini = sqlite ? "[Database]\n" : test::readFile(path);
    const size_t options = ini.find("Options=");
    if (options == std::string::npos)
        ini += "Options=DORMEX_LOCK_WAIT=2\n";
    else
        ini.insert(options + 8, "DORMEX_LOCK_WAIT=2;");
    test::writeFile(path, ini);
    EXPECT_EQ(runSql(*create(), setting), (Rows{{sqlite ? "i2000" : "s2s"}}));
}

// The watch on a fake clock and connection: it probes only after the silence, and while the
// server answers only every kServerSilenceSeconds, so a long statement is never cut; it cuts a
// connection whose server does not answer, and ends once the connection has gone.
TEST(ServerWatch, ProbesAfterTheSilenceAndCutsOnlyAServerThatDoesNotAnswer) {
    const unsigned silence = kServerSilenceSeconds * 1000;
    struct Step {
        int seconds;  // the clock moves on this much first
        std::optional<unsigned> quietMs;
        bool answers;
        bool goesOn;  // what look() gives
        int probes;   // probes so far
        bool cut;
    };
    const std::vector<std::vector<Step>> scenarios = {
        {{0, silence - 1, false, true, 0, false},
         {1, silence, true, true, 1, false},
         {kServerSilenceSeconds - 1, 2 * silence - 1000, false, true, 1, false},
         {1, 2 * silence, true, true, 2, false},
         {kServerSilenceSeconds, 0, false, true, 2, false},
         {1, silence, false, false, 3, true}},
        {{0, std::nullopt, false, false, 0, false}},
    };
    for (const auto& steps : scenarios) {
        ServerWatch::Clock::time_point now{std::chrono::hours(1)};
        const Step* step = nullptr;
        int probes = 0;
        bool cut = false;
        ServerWatch watch({[&] { return step->quietMs; },
                           [&](const std::atomic<bool>&) { return ++probes, step->answers; },
                           [&] { cut = true; }},
                          [&] { return now; });
        for (const Step& s : steps) {
            SCOPED_TRACE(&s - steps.data());
            step = &s;
            now += std::chrono::seconds(s.seconds);
            EXPECT_EQ(watch.look(), s.goesOn);
            EXPECT_EQ(probes, s.probes);
            EXPECT_EQ(cut, s.cut);
            EXPECT_EQ(watch.tripped(), s.cut);
        }
    }
}

// The watch's thread: a watch that goes while it probes ends the probe and cuts nothing.
TEST(ServerWatch, GoingAwayEndsAProbeUnderWayAndCutsNothing) {
    std::promise<void> probing;
    bool cut = false;
    auto watch = std::make_unique<ServerWatch>(ServerWatch::Connection{
        [] { return std::optional<unsigned>(kServerSilenceSeconds * 1000); },
        [&](const std::atomic<bool>& stopping) {
            probing.set_value();
            while (!stopping) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return false;
        },
        [&] { cut = true; }});
    watch->start();
    probing.get_future().wait();
    watch.reset();
    EXPECT_FALSE(cut);
}

// The probe on loopback: a server that answers PostgreSQL's SSL request, one that accepts but
// stays silent, and none. While the probe waits, a connection opens and finds its own socket,
// not the probe's.
TEST(ServerWatch, TheProbeAsksTheServerAndHoldsUpNoOpening) {
    const std::atomic<bool> stopping{false};
    Loopback silent;
    const TcpSocket nobody = loopbackTarget(closedPort());
    struct Case {
        const TcpSocket* server;
        bool postgres;
        bool answers;
    } cases[] = {
        {&silent.target, false, true}, {&silent.target, true, false}, {&nobody, false, false}};
    for (const Case& c : cases)
        EXPECT_EQ(serverAnswers(*c.server, c.postgres, std::chrono::milliseconds(200), stopping),
                  c.answers)
            << &c - cases;

    Loopback server;
    std::atomic<bool> done{false};
    bool answered = false;
    std::thread probe([&] {
        answered = serverAnswers(server.target, true, std::chrono::seconds(10), stopping);
        done = true;
    });
    const int accepted = ::accept(server.fd, nullptr, nullptr);
    bool openedDuringProbe = false;
    int client = -1;
    const std::vector<TcpSocket> opened = socketsOpenedBy([&] {
        openedDuringProbe = !done;
        client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(client, reinterpret_cast<const sockaddr*>(&server.target.peer),
                  server.target.peerLength);
    });
    char request[8];
    EXPECT_EQ(::recv(accepted, request, sizeof request, MSG_WAITALL), 8);
    EXPECT_EQ(::send(accepted, "N", 1, MSG_NOSIGNAL), 1);
    probe.join();
    ::close(accepted);
    ::close(client);
    EXPECT_TRUE(answered);
    EXPECT_TRUE(openedDuringProbe) << "an opening waits for no probe";
    ASSERT_EQ(opened.size(), 1u) << "the probe's socket is no connection's";
    EXPECT_EQ(opened[0].fd, client);
}

}  // namespace
}  // namespace dormex::sitelib
