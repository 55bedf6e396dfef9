#include "SiteContent.h"

#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

#include "DemoSite.h"
#include "platform/Error.h"
#include "site/PersonType.h"

namespace dormex::sitelib {
namespace {

constexpr std::time_t kDay = 24 * 60 * 60;
// Generated transactions reach back a century at most, well inside what local time handles.
constexpr int kMaxSpanDays = 36525;

// The cards of a generated site, with the columns' defaults for their state.
const standin::Table kGeneratedCards{"Keycards", {{"CardID"}, {"KeyNumber"}, {"userid"}}};

QVariant qtValue(const standin::Value& value) {
    if (const auto* number = std::get_if<std::int64_t>(&value))
        return QVariant::fromValue<qlonglong>(*number);
    if (const auto* text = std::get_if<std::string>(&value)) return QString::fromStdString(*text);
    return QVariant(QMetaType::fromType<int>());
}

// Inserts many rows through a prepared multi-row INSERT, and the rows left over at the end
// through a prepared one-row INSERT. Rows go in the order they were added.
class BulkInserter {
public:
    BulkInserter(SiteDatabase& db, const standin::Table& table, size_t rowsPerStatement)
        : m_db(db),
          m_columns(table.columns.size()),
          m_batchSize(m_columns * rowsPerStatement),
          m_batch(db.connection()),
          m_single(db.connection()) {
        // Any server database is asked to cast the timestamps' text.
        const standin::Dialect dialect =
            db.dialect() == Dialect::Sqlite ? standin::Dialect::Sqlite : standin::Dialect::Postgres;
        prepare(m_batch, standin::insertStatement(table, dialect, rowsPerStatement));
        prepare(m_single, standin::insertStatement(table, dialect, 1));
        m_pending.reserve(m_batchSize);
    }

    void add(const standin::Row& row) {
        for (const standin::Value& value : row) m_pending.push_back(qtValue(value));
        if (m_pending.size() == m_batchSize) {
            run(m_batch, 0, m_pending.size());
            m_pending.clear();
        }
    }

    // Writes the rows still pending.
    void finish() {
        for (size_t start = 0; start < m_pending.size(); start += m_columns)
            run(m_single, start, m_columns);
        m_pending.clear();
    }

private:
    void prepare(QSqlQuery& query, const std::string& sql) {
        query.setForwardOnly(true);
        if (!query.prepare(QString::fromStdString(sql)))
            throw Error(m_db.errorText(query.lastError()));
    }
    void run(QSqlQuery& query, size_t start, size_t count) {
        for (size_t i = 0; i < count; ++i)
            query.bindValue(static_cast<int>(i), m_pending[start + i]);
        if (!query.exec()) throw Error(m_db.errorText(query.lastError()));
    }

    SiteDatabase& m_db;
    size_t m_columns;
    size_t m_batchSize;
    QSqlQuery m_batch;
    QSqlQuery m_single;
    std::vector<QVariant> m_pending;
};

// Inserts each table's rows through a BulkInserter of up to 50 rows a statement.
class QtRowInserter : public standin::RowInserter {
public:
    explicit QtRowInserter(SiteDatabase& db) : m_db(db) {}
    void insert(const standin::Table& table, const std::vector<standin::Row>& rows) override {
        if (rows.empty()) return;
        BulkInserter inserter(m_db, table, std::min<size_t>(rows.size(), 50));
        for (const standin::Row& row : rows) inserter.add(row);
        inserter.finish();
    }

private:
    SiteDatabase& m_db;
};

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

void checkOptions(const GenerateOptions& options) {
    if (options.cards < 1) throw Error("The number of cards must be at least 1");
    if (options.transactions < 0) throw Error("The number of transactions must not be negative");
    if (options.spanDays < 1 || options.spanDays > kMaxSpanDays)
        throw Error("The time span must be 1 to " + std::to_string(kMaxSpanDays) + " days");
    if (!(options.idleShare >= 0 && options.idleShare < 1))
        throw Error("The idle share must be at least 0 and below 1");
}

std::int64_t generatedKeyOf(std::int64_t card) {
    return card % 2 == 0 ? 3000000000LL + card : 10000000LL + card;
}

// Holders 1..`cardCount`, one card each, with names and types drawn from `random`.
void insertHolders(SiteDatabase& db, std::int64_t cardCount, std::mt19937_64& random) {
    BulkInserter personnel(db, standin::kPersonnel, 200);
    BulkInserter cards(db, kGeneratedCards, 200);
    for (std::int64_t card = 1; card <= cardCount; ++card) {
        const std::uint64_t r = random();
        const int type = static_cast<int>((r >> 16) % site::kPersonTypeCount);
        personnel.add({card, standin::kLastNames[r % standin::kNameCount],
                       standin::kFirstNames[(r >> 8) % standin::kNameCount],
                       site::flagsForType(type, static_cast<std::int64_t>((r >> 24) & 0xFF))});
        cards.add({card, generatedKeyOf(card), card});
    }
    personnel.finish();
    cards.finish();
}

// The transactions of a generated site, evenly over its span, at cards drawn from `random`.
void insertTransactions(SiteDatabase& db, const GenerateOptions& options, std::mt19937_64& random) {
    const std::int64_t cardCount = options.cards;
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
    BulkInserter transactions(db, standin::kTransactions, 250);
    const std::time_t span = static_cast<std::time_t>(options.spanDays) * kDay;
    const std::time_t start = options.now - span;
    // From the start of the cut-off day on, as a run with that many days selects.
    const std::time_t recent = standin::localDayTime(options.now, kGeneratedIdleDays, 0);
    const double step =
        options.transactions > 0 ? static_cast<double>(span) / options.transactions : 0;
    // The last `cardCount` transactions walk over every card once, in an order scattered by a
    // stride coprime to the count, so that no card is idle by chance.
    const std::int64_t walkStart = options.transactions - cardCount;
    std::int64_t stride = cardCount * 5 / 8 + 1;
    while (std::gcd(stride, cardCount) != 1) ++stride;
    std::time_t formattedTime = -1;
    std::string formatted;
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
            formatted = standin::formatLocalTime(t);
            formattedTime = t;
        }
        transactions.add({generatedKeyOf(index + 1), formatted});
    }
    transactions.finish();
}

}  // namespace

std::int64_t countRows(SiteDatabase& db, const std::string& table) {
    QSqlQuery query(db.connection());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM %1").arg(QString::fromStdString(table))) ||
        !query.next())
        throw Error(db.errorText(query.lastError()));
    return query.value(0).toLongLong();
}

std::vector<std::string> personTypeNames(SiteDatabase& db) {
    std::vector<std::string> names(std::begin(site::kFixedPersonTypeNames),
                                   std::end(site::kFixedPersonTypeNames));
    for (int i = 1; i <= site::kCustomTypeCount; ++i)
        names.push_back("Custom " + std::to_string(i));
    QSqlQuery query(db.connection());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT SettingName, StringSetting1 FROM MXRSettings "
                                   "WHERE StationName = 'globalmxr' "
                                   "AND SettingName LIKE 'Custom Person Type %'")))
        throw Error(db.errorText(query.lastError()));
    while (query.next()) {
        bool ok = false;
        const int number = query.value(0).toString().mid(19).trimmed().toInt(&ok);
        if (ok && number >= 1 && number <= site::kCustomTypeCount && !query.isNull(1))
            names[static_cast<size_t>(site::kFixedPersonTypeCount + number - 1)] =
                query.value(1).toString().toStdString();
    }
    return names;
}

void fillDemoSite(SiteDatabase& db, std::time_t now) {
    requireEmptySite(db);
    inTransaction(db, [&] {
        QtRowInserter inserter(db);
        standin::writeDemoSite(standin::DemoSite::Tool, now, inserter);
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
    checkOptions(options);
    requireEmptySite(db);
    std::mt19937_64 random(options.seed);
    inTransaction(db, [&] {
        insertHolders(db, options.cards, random);
        insertTransactions(db, options, random);
        QtRowInserter(db).insert(standin::kSettings, standin::customTypeNameRows());
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
            card.personType = site::personTypeOf(query.value(5).toLongLong());
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
