#include "SiteContent.h"

#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <cmath>
#include <numeric>
#include <random>

#include "platform/Error.h"

namespace dormex::sitelib {
namespace {

constexpr std::time_t kDay = 24 * 60 * 60;
// Generated transactions reach back a century at most, well inside what local time handles.
constexpr int kMaxSpanDays = 36525;

const char* const kLastNames[] = {
    "Abbott",    "Baker",  "Castillo", "Dawson",    "Ellison", "Fischer",  "Garrido", "Hughes",
    "Ibarra",    "Jensen", "Kowalski", "Lindqvist", "Moreau",  "Nakamura", "O'Neill", "Petrov",
    "Quinn",     "Rossi",  "Schmidt",  "Tanaka",    "Umarov",  "Vasquez",  "Weber",   "Xu",
    "Yilmaz",    "Zimmer", "Alvarez",  "Brennan",   "Coleman", "Duarte",   "Eriksen", "Fontaine",
    "Gallagher", "Haddad", "Ivanova",  "Jovanovic", "Keller",  "Lambert",  "Mendes",  "Novak"};
const char* const kFirstNames[] = {
    "Ada",   "Bruno",  "Clara",  "Dmitri", "Elena", "Farid", "Greta",   "Hiro",  "Ines",  "Jonas",
    "Katja", "Liam",   "Mira",   "Nils",   "Olga",  "Pavel", "Quentin", "Rosa",  "Sven",  "Tomoko",
    "Ugo",   "Vera",   "Wim",    "Xenia",  "Yusuf", "Zoe",   "Amira",   "Bjorn", "Chloe", "Diego",
    "Emil",  "Fatima", "Gustav", "Hana",   "Ivan",  "Julia", "Karim",   "Lena",  "Marco", "Nora"};
constexpr int kNameCount = sizeof(kLastNames) / sizeof(kLastNames[0]);
static_assert(sizeof(kFirstNames) / sizeof(kFirstNames[0]) == kNameCount);

const char* const kCustomTypeNames[] = {"Cleaner", "Security", "Intern", "Board Member",
                                        "Maintenance"};
constexpr int kCustomTypeCount = kPersonTypeCount - kFixedPersonTypeCount;
static_assert(sizeof(kCustomTypeNames) / sizeof(kCustomTypeNames[0]) == kCustomTypeCount);

// Local time `daysAgo` days before `now`'s date, at `secondOfDay`.
std::time_t localDayTime(std::time_t now, int daysAgo, int secondOfDay) {
    std::tm tm{};
    localtime_r(&now, &tm);
    tm.tm_mday -= daysAgo;
    tm.tm_hour = 0;
    tm.tm_min = 0;
    tm.tm_sec = secondOfDay;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

// Inserts many rows through a prepared multi-row INSERT, and the rows left over at the end
// through a prepared one-row INSERT. Rows go in the order they were added.
class BulkInserter {
public:
    // `values` holds one placeholder expression per column ("?" or e.g. "CAST(? AS TIMESTAMP)").
    BulkInserter(SiteDatabase& db, const QString& table, const QStringList& columns,
                 const QStringList& values, int rowsPerStatement)
        : m_db(db),
          m_columns(static_cast<int>(columns.size())),
          m_rowsPerStatement(rowsPerStatement),
          m_batch(db.connection()),
          m_single(db.connection()) {
        const QString head = QStringLiteral("INSERT INTO %1 (%2) VALUES ")
                                 .arg(table, columns.join(QStringLiteral(", ")));
        const QString row = QLatin1Char('(') + values.join(QStringLiteral(", ")) + QLatin1Char(')');
        QStringList rows;
        for (int i = 0; i < rowsPerStatement; ++i) rows << row;
        prepare(m_batch, head + rows.join(QStringLiteral(", ")));
        prepare(m_single, head + row);
        m_pending.reserve(static_cast<size_t>(m_columns * rowsPerStatement));
    }

    void add(const QVariant& value) {
        m_pending.push_back(value);
        if (m_pending.size() == static_cast<size_t>(m_columns * m_rowsPerStatement)) {
            run(m_batch, 0, m_pending.size());
            m_pending.clear();
        }
    }

    // Writes the rows still pending.
    void finish() {
        for (size_t start = 0; start + static_cast<size_t>(m_columns) <= m_pending.size();
             start += static_cast<size_t>(m_columns))
            run(m_single, start, static_cast<size_t>(m_columns));
        m_pending.clear();
    }

private:
    void prepare(QSqlQuery& query, const QString& sql) {
        query.setForwardOnly(true);
        if (!query.prepare(sql)) throw Error(m_db.errorText(query.lastError()));
    }
    void run(QSqlQuery& query, size_t start, size_t count) {
        for (size_t i = 0; i < count; ++i)
            query.bindValue(static_cast<int>(i), m_pending[start + i]);
        if (!query.exec()) throw Error(m_db.errorText(query.lastError()));
    }

    SiteDatabase& m_db;
    int m_columns;
    int m_rowsPerStatement;
    QSqlQuery m_batch;
    QSqlQuery m_single;
    std::vector<QVariant> m_pending;
};

QString timestampPlaceholder(const SiteDatabase& db) {
    return db.dialect() == Dialect::Sqlite ? QStringLiteral("?")
                                           : QStringLiteral("CAST(? AS TIMESTAMP)");
}

void requireEmptySite(SiteDatabase& db) {
    const std::int64_t cards = countRows(db, "Keycards");
    if (cards > 0)
        throw Error("The site database already holds " + std::to_string(cards) +
                    " cards: fill an empty one");
}

// Runs `fill` inside one transaction, rolled back when it throws. A SQLite file in WAL mode is
// filled with a rollback journal instead: a huge transaction through the WAL writes every page
// twice. Its journal mode is put back afterwards.
template <class Fill>
void inTransaction(SiteDatabase& db, Fill&& fill) {
    QString journalMode;
    if (db.dialect() == Dialect::Sqlite) {
        QSqlQuery query(db.connection());
        if (query.exec(QStringLiteral("PRAGMA journal_mode")) && query.next())
            journalMode = query.value(0).toString();
    }
    const bool switchJournal = journalMode.compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0;
    if (switchJournal) db.exec(QStringLiteral("PRAGMA journal_mode = DELETE"));
    db.beginTransaction();
    try {
        fill();
        db.commit();
    } catch (...) {
        db.rollback();
        if (switchJournal) {
            try {
                db.exec(QStringLiteral("PRAGMA journal_mode = WAL"));
            } catch (const Error&) {
                // The fill's own failure is the one to report.
            }
        }
        throw;
    }
    if (switchJournal) db.exec(QStringLiteral("PRAGMA journal_mode = WAL"));
}

void insertCustomTypeNames(SiteDatabase& db) {
    BulkInserter settings(db, QStringLiteral("MXRSettings"),
                          {QStringLiteral("SettingName"), QStringLiteral("StationName"),
                           QStringLiteral("StringSetting1")},
                          {QStringLiteral("?"), QStringLiteral("?"), QStringLiteral("?")}, 1);
    for (int i = 0; i < kCustomTypeCount; ++i) {
        settings.add(QStringLiteral("Custom Person Type %1").arg(i + 1));
        settings.add(QStringLiteral("globalmxr"));
        settings.add(QString::fromLatin1(kCustomTypeNames[i]));
    }
    settings.finish();
}

QVariant nullInteger() {
    return QVariant(QMetaType::fromType<int>());
}

}  // namespace

const char* const kFixedPersonTypeNames[kFixedPersonTypeCount] = {
    "Normal", "Visitor", "Temp", "Disabled", "Contractor", "Vendor"};

std::string formatLocalTime(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &tm);
    return buffer;
}

std::int64_t countRows(SiteDatabase& db, const std::string& table) {
    QSqlQuery query(db.connection());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM %1").arg(QString::fromStdString(table))) ||
        !query.next())
        throw Error(db.errorText(query.lastError()));
    return query.value(0).toLongLong();
}

std::vector<std::string> personTypeNames(SiteDatabase& db) {
    std::vector<std::string> names(kFixedPersonTypeNames,
                                   kFixedPersonTypeNames + kFixedPersonTypeCount);
    for (int i = 1; i <= kCustomTypeCount; ++i) names.push_back("Custom " + std::to_string(i));
    QSqlQuery query(db.connection());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT SettingName, StringSetting1 FROM MXRSettings "
                                   "WHERE StationName = 'globalmxr' "
                                   "AND SettingName LIKE 'Custom Person Type %'")))
        throw Error(db.errorText(query.lastError()));
    while (query.next()) {
        bool ok = false;
        const int number = query.value(0).toString().mid(19).trimmed().toInt(&ok);
        if (ok && number >= 1 && number <= kCustomTypeCount && !query.isNull(1))
            names[static_cast<size_t>(kFixedPersonTypeCount + number - 1)] =
                query.value(1).toString().toStdString();
    }
    return names;
}

void fillDemoSite(SiteDatabase& db, std::time_t now) {
    requireEmptySite(db);
    constexpr int kHolders = 40;
    constexpr int kCards = 60;
    std::mt19937 random(20261108);
    auto below = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };

    inTransaction(db, [&] {
        BulkInserter personnel(
            db, QStringLiteral("personnel"),
            {QStringLiteral("userid"), QStringLiteral("lastname"), QStringLiteral("firstname"),
             QStringLiteral("flags")},
            {QStringLiteral("?"), QStringLiteral("?"), QStringLiteral("?"), QStringLiteral("?")},
            10);
        for (int i = 0; i < kHolders; ++i) {
            // Other flag bits set on some holders: the type must be read through its mask.
            const std::int64_t otherBits = (i % 5 == 0 ? 0x2000000 : 0) | (i & 0x7);
            personnel.add(i + 1);
            personnel.add(QString::fromLatin1(kLastNames[i]));
            personnel.add(QString::fromLatin1(kFirstNames[i]));
            personnel.add(static_cast<int>(flagsForType(i % kPersonTypeCount, otherBits)));
        }
        personnel.finish();

        BulkInserter cards(db, QStringLiteral("Keycards"),
                           {QStringLiteral("CardID"), QStringLiteral("KeyNumber"),
                            QStringLiteral("userid"), QStringLiteral("Active"),
                            QStringLiteral("CardStatus"), QStringLiteral("StatusReason")},
                           {QStringLiteral("?"), QStringLiteral("?"), QStringLiteral("?"),
                            QStringLiteral("?"), QStringLiteral("?"), QStringLiteral("?")},
                           10);
        BulkInserter transactions(db, QStringLiteral("Transactions"),
                                  {QStringLiteral("KeyNumber"), QStringLiteral("EventDateTime")},
                                  {QStringLiteral("?"), timestampPlaceholder(db)}, 50);
        auto keyOf = [](int card) -> std::int64_t {
            if (card == 52) card = 12;  // a reissued card keeps the key number of the old one
            return card % 3 == 0 ? 5000000000LL + card * 1013LL : 100000LL + card * 17LL;
        };
        for (int card = 1; card <= kCards; ++card) {
            QVariant holder = nullInteger();
            if (card <= kHolders)
                holder = card;
            else if (card <= 52)
                holder = ((card - 41) * 3) % kHolders + 1;  // second cards
            const bool deactivated = card % 13 == 0;
            cards.add(card);
            cards.add(QVariant::fromValue<qlonglong>(keyOf(card)));
            cards.add(holder);
            cards.add(deactivated ? 0 : 1);
            cards.add(deactivated ? 3 : 0);
            cards.add(deactivated ? 6 : 0);

            if (card % 10 == 7) continue;  // never used
            // Idle cards were last used 35..114 days ago, the others within the last 9 days.
            const int lastDay = card % 4 == 1 ? 35 + (card * 7) % 80 : 1 + below(9);
            for (int day = 119; day >= lastDay; day -= 1 + below(6)) {
                transactions.add(QVariant::fromValue<qlonglong>(keyOf(card)));
                transactions.add(QString::fromStdString(
                    formatLocalTime(localDayTime(now, day, 7 * 3600 + below(12 * 3600)))));
            }
            transactions.add(QVariant::fromValue<qlonglong>(keyOf(card)));
            transactions.add(QString::fromStdString(
                formatLocalTime(localDayTime(now, lastDay, 7 * 3600 + below(12 * 3600)))));
        }
        cards.finish();
        transactions.finish();

        insertCustomTypeNames(db);
        BulkInserter settings(db, QStringLiteral("MXRSettings"),
                              {QStringLiteral("SettingName"), QStringLiteral("StationName"),
                               QStringLiteral("StringSetting1")},
                              {QStringLiteral("?"), QStringLiteral("?"), QStringLiteral("?")}, 1);
        // Rows the custom-names statement must pass over: another station, another setting.
        const char* const extra[][3] = {{"Custom Person Type 1", "lobby", "Lobby Guest"},
                                        {"Site Name", "globalmxr", "Demo Site"}};
        for (const auto& row : extra)
            for (const char* value : row) settings.add(QString::fromLatin1(value));
        settings.finish();
    });
}

bool isGeneratedIdleCard(std::int64_t index, double idleShare) {
    // Card `index` is idle when the running count of idle cards, index * share rounded down,
    // steps up at it: an even spread that starts with the first card.
    const double here = std::floor(static_cast<double>(index) * idleShare);
    const double before = std::floor(static_cast<double>(index - 1) * idleShare);
    return here != before;
}

void generateSite(SiteDatabase& db, const GenerateOptions& options) {
    if (options.cards < 1) throw Error("The number of cards must be at least 1");
    if (options.transactions < 0) throw Error("The number of transactions must not be negative");
    if (options.spanDays < 1 || options.spanDays > kMaxSpanDays)
        throw Error("The time span must be 1 to " + std::to_string(kMaxSpanDays) + " days");
    if (!(options.idleShare >= 0 && options.idleShare < 1))
        throw Error("The idle share must be at least 0 and below 1");
    requireEmptySite(db);
    std::mt19937_64 random(options.seed);
    const std::int64_t cardCount = options.cards;
    auto keyOf = [](std::int64_t card) -> std::int64_t {
        return card % 2 == 0 ? 3000000000LL + card : 10000000LL + card;
    };
    auto idle = [&](std::int64_t index) { return isGeneratedIdleCard(index, options.idleShare); };
    // The nearest card after `index` that is not idle, else the nearest before it; `index` itself
    // when every card is idle.
    auto inUse = [&](std::int64_t index) {
        for (std::int64_t i = index + 1; i < cardCount; ++i)
            if (!idle(i)) return i;
        for (std::int64_t i = index - 1; i >= 0; --i)
            if (!idle(i)) return i;
        return index;
    };

    inTransaction(db, [&] {
        {
            BulkInserter personnel(db, QStringLiteral("personnel"),
                                   {QStringLiteral("userid"), QStringLiteral("lastname"),
                                    QStringLiteral("firstname"), QStringLiteral("flags")},
                                   {QStringLiteral("?"), QStringLiteral("?"), QStringLiteral("?"),
                                    QStringLiteral("?")},
                                   200);
            BulkInserter cards(
                db, QStringLiteral("Keycards"),
                {QStringLiteral("CardID"), QStringLiteral("KeyNumber"), QStringLiteral("userid")},
                {QStringLiteral("?"), QStringLiteral("?"), QStringLiteral("?")}, 200);
            for (std::int64_t card = 1; card <= cardCount; ++card) {
                const std::uint64_t r = random();
                personnel.add(QVariant::fromValue<qlonglong>(card));
                personnel.add(QString::fromLatin1(kLastNames[r % kNameCount]));
                personnel.add(QString::fromLatin1(kFirstNames[(r >> 8) % kNameCount]));
                personnel.add(
                    static_cast<int>(flagsForType(static_cast<int>((r >> 16) % kPersonTypeCount),
                                                  static_cast<std::int64_t>((r >> 24) & 0xFF))));
                cards.add(QVariant::fromValue<qlonglong>(card));
                cards.add(QVariant::fromValue<qlonglong>(keyOf(card)));
                cards.add(QVariant::fromValue<qlonglong>(card));
            }
            personnel.finish();
            cards.finish();
        }

        BulkInserter transactions(db, QStringLiteral("Transactions"),
                                  {QStringLiteral("KeyNumber"), QStringLiteral("EventDateTime")},
                                  {QStringLiteral("?"), timestampPlaceholder(db)}, 250);
        const std::time_t span = static_cast<std::time_t>(options.spanDays) * kDay;
        const std::time_t start = options.now - span;
        // From the start of the cut-off day on, as a run with that many days selects.
        const std::time_t recent = localDayTime(options.now, kGeneratedIdleDays, 0);
        const double step =
            options.transactions > 0 ? static_cast<double>(span) / options.transactions : 0;
        // The last `cardCount` transactions walk over every card once, in an order scattered by a
        // stride coprime to the count, so that no card is idle by chance.
        const std::int64_t walkStart = options.transactions - cardCount;
        std::int64_t stride = cardCount * 5 / 8 + 1;
        while (std::gcd(stride, cardCount) != 1) ++stride;
        std::time_t formattedTime = -1;
        QString formatted;
        for (std::int64_t j = 0; j < options.transactions; ++j) {
            const std::time_t t = start + static_cast<std::time_t>(step * static_cast<double>(j));
            std::int64_t index =
                static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(cardCount));
            if (t >= recent) {
                if (j >= walkStart)
                    index = static_cast<std::int64_t>(static_cast<std::uint64_t>(j - walkStart) *
                                                      static_cast<std::uint64_t>(stride) %
                                                      static_cast<std::uint64_t>(cardCount));
                // The idle cards see no use in the last 30 days.
                if (idle(index)) index = inUse(index);
            }
            if (t != formattedTime) {
                formatted = QString::fromStdString(formatLocalTime(t));
                formattedTime = t;
            }
            transactions.add(QVariant::fromValue<qlonglong>(keyOf(index + 1)));
            transactions.add(formatted);
        }
        transactions.finish();
        insertCustomTypeNames(db);
    });
}

std::vector<CardListing> listCards(SiteDatabase& db) {
    QSqlQuery query(db.connection());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral(
            "SELECT k.CardID, k.KeyNumber, p.userid, p.lastname, p.firstname, p.flags, "
            "k.Active, k.CardStatus, k.StatusReason "
            "FROM Keycards k LEFT JOIN personnel p ON k.userid = p.userid ORDER BY k.CardID")))
        throw Error(db.errorText(query.lastError()));
    std::vector<CardListing> result;
    while (query.next()) {
        CardListing card;
        card.cardId = query.value(0).toLongLong();
        card.keyNumber = query.value(1).toLongLong();
        if (!query.isNull(2)) {
            card.holder = query.value(3).toString().toStdString() + ", " +
                          query.value(4).toString().toStdString();
            card.personType = personType(query.value(5).toLongLong());
        }
        card.active = query.value(6).toInt();
        card.cardStatus = query.value(7).toInt();
        card.statusReason = query.value(8).toInt();
        result.push_back(std::move(card));
    }
    if (query.lastError().type() != QSqlError::NoError)
        throw Error(db.errorText(query.lastError()));
    return result;
}

}  // namespace dormex::sitelib
