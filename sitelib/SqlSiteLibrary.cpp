#include "SqlSiteLibrary.h"

#include <QDate>
#include <QDateTime>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTime>
#include <QVariant>
#include <cstdint>
#include <ctime>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "CardStore.h"
#include "SiteTables.h"
#include "platform/Error.h"
#include "platform/Platform.h"
#include "platform/Utf.h"
#include "site/FieldText.h"

namespace dormex::sitelib {
namespace {

// Runs `body`; a failure leaves as an Error whose message is trimmed (site::TrimErrorText).
template <class Body>
auto trimmed(Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const std::exception& e) {
        throw Error(site::TrimErrorText(e.what()));
    } catch (...) {
        throw Error("Unexpected failure in the site library");
    }
}

// How a column's values are read. Numbers are read exactly (QSql::HighPrecision), so some
// drivers give them as text: QPSQL its NUMERIC values, QODBC its NUMERIC, DECIMAL and floating
// values.
enum class ColumnKind {
    Typed,    // by each value's own type
    Decimal,  // text holding a decimal number is a decimal, other text (NaN) a real if it can
    Real,     // text is a real if it reads as one
};

// PostgreSQL's type of NUMERIC columns, and the ODBC SQL types SQL_NUMERIC and SQL_DECIMAL.
constexpr int kPostgresNumericType = 1700;
constexpr int kOdbcNumericType = 2;
constexpr int kOdbcDecimalType = 3;

ColumnKind columnKind(Driver driver, const QSqlField& field) {
    const int type = field.metaType().id();
    if (type != QMetaType::Double && type != QMetaType::Float) return ColumnKind::Typed;
    if (driver == Driver::Postgres)
        return field.typeID() == kPostgresNumericType ? ColumnKind::Decimal : ColumnKind::Typed;
    if (driver == Driver::Odbc)
        return field.typeID() == kOdbcNumericType || field.typeID() == kOdbcDecimalType
                   ? ColumnKind::Decimal
                   : ColumnKind::Real;
    return ColumnKind::Typed;
}

// The program's UTF-8 of a driver's text.
std::string utf8(const QString& text) {
    return platform::toUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                                static_cast<size_t>(text.size())));
}

// A value as the cursor reads it (site/FieldText.h): integers, booleans and reals as such,
// numbers given as text as the column's kind says, dates and times as ISO text, everything else
// as text.
site::FieldValue fieldValue(const QVariant& value, bool isNull, ColumnKind kind) {
    if (isNull || value.isNull()) return site::NullValue();
    if (kind != ColumnKind::Typed && value.typeId() == QMetaType::QString) {
        const QString text = value.toString();
        if (kind == ColumnKind::Decimal && site::IsDecimalText(utf8(text)))
            return site::DecimalValue(utf8(text));
        bool isReal = false;
        const double real = text.toDouble(&isReal);
        return isReal ? site::RealValue(real) : site::TextValue(utf8(text));
    }
    static const std::set<int> kSignedTypes = {
        QMetaType::Char, QMetaType::SChar, QMetaType::UChar, QMetaType::Short, QMetaType::UShort,
        QMetaType::Int,  QMetaType::UInt,  QMetaType::Long,  QMetaType::ULong, QMetaType::LongLong};
    if (kSignedTypes.count(value.typeId())) return site::IntegerValue(value.toLongLong());
    switch (value.typeId()) {
        case QMetaType::Bool:
            return site::BooleanValue(value.toBool());
        case QMetaType::ULongLong:
            return site::IntegerValue(static_cast<std::int64_t>(value.toULongLong()));
        case QMetaType::Float:
        case QMetaType::Double:
            return site::RealValue(value.toDouble());
        case QMetaType::QDateTime: {
            const QDateTime dt = value.toDateTime();
            return site::TextValue(
                utf8(dt.toString(dt.time().msec() ? QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")
                                                  : QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
        }
        case QMetaType::QDate:
            return site::TextValue(utf8(value.toDate().toString(QStringLiteral("yyyy-MM-dd"))));
        case QMetaType::QTime:
            return site::TextValue(utf8(value.toTime().toString(QStringLiteral("HH:mm:ss"))));
        case QMetaType::QByteArray:
            return site::TextValue(utf8(QString::fromUtf8(value.toByteArray())));
        default:
            return site::TextValue(utf8(value.toString()));
    }
}

// Field values stored compactly: the texts in one shared buffer, a cell of 24 bytes per value.
class ValueStore {
public:
    void push(const site::FieldValue& value) {
        const std::string& text = value.text.value_or(std::string());
        if (text.size() > UINT32_MAX) throw Error("A text value in the result is too long");
        m_cells.push_back({m_text.size(), static_cast<std::uint32_t>(text.size()),
                           value.text.has_value(), value.integer.has_value(),
                           value.integer.value_or(0)});
        m_text += text;
    }
    site::FieldValue at(size_t index) const {
        const Cell& cell = m_cells[index];
        site::FieldValue value;
        if (cell.hasText) value.text = m_text.substr(cell.offset, cell.length);
        if (cell.hasInteger) value.integer = cell.integer;
        return value;
    }
    size_t size() const { return m_cells.size(); }

private:
    struct Cell {
        std::size_t offset;
        std::uint32_t length;
        bool hasText;
        bool hasInteger;
        std::int64_t integer;
    };
    std::vector<Cell> m_cells;
    std::string m_text;
};

// Rows read in full when the statement ran, so the recordset needs no connection afterwards.
class SqlRecordset : public site::Recordset {
public:
    // A recordset for a statement that gave no rows at all: not open, every read fails.
    SqlRecordset() = default;
    // `values` holds the rows one after the other, a value per column.
    SqlRecordset(std::vector<std::string> names, ValueStore values)
        : m_open(true), m_names(std::move(names)), m_values(std::move(values)) {}

    bool IsOpen() override { return m_open; }
    std::vector<std::string> FieldNames() override {
        requireOpen();
        return m_names;
    }
    bool Eof() override {
        requireOpen();
        return m_position >= rowCount();
    }
    void MoveNext() override {
        requireOpen();
        if (m_position >= rowCount()) throw Error(standin::kPastLastRow);
        ++m_position;
    }
    site::FieldValue Value(std::int32_t index) override {
        requireOpen();
        if (m_position >= rowCount()) throw Error("There is no current row");
        if (index < 0 || static_cast<size_t>(index) >= m_names.size())
            throw Error("Column " + std::to_string(index) + " does not exist (the recordset has " +
                        std::to_string(m_names.size()) + " columns)");
        return m_values.at(m_position * m_names.size() + static_cast<size_t>(index));
    }

private:
    size_t rowCount() const { return m_names.empty() ? 0 : m_values.size() / m_names.size(); }
    void requireOpen() const {
        if (!m_open) throw Error("The recordset is closed: the statement gave no rows");
    }

    bool m_open = false;
    std::vector<std::string> m_names;
    ValueStore m_values;
    size_t m_position = 0;
};

// A statement prepared once and kept for the whole session. Qt keeps bound values between
// executions and binding costs far more than comparing, so an unchanged value is not bound again.
class Statement {
public:
    // Prepares `sql()` on first use. Throws Error.
    template <class Sql>
    QSqlQuery& prepared(SiteDatabase& db, Sql&& sql) {
        if (!m_query) {
            QSqlQuery query(db.connection());
            query.setForwardOnly(true);
            if (!query.prepare(QString::fromStdString(sql())))
                throw Error(db.errorText(query.lastError()));
            m_query.emplace(std::move(query));
        }
        return *m_query;
    }

    void bind(int index, const QVariant& value) {
        const size_t slot = static_cast<size_t>(index);
        if (slot >= m_bound.size()) m_bound.resize(slot + 1);
        QVariant& last = m_bound[slot];
        if (last.isValid() && !last.isNull() && !value.isNull() &&
            last.typeId() == value.typeId() && last == value)
            return;
        m_query->bindValue(index, value);
        last = value;
    }

    // The number of columns the executed statement gives, asked of the driver once.
    int columns(const QSqlQuery& query) {
        if (m_columns < 0) m_columns = query.isSelect() ? query.record().count() : 0;
        return m_columns;
    }

private:
    std::optional<QSqlQuery> m_query;
    std::vector<QVariant> m_bound;
    int m_columns = -1;
};

using standin::CardStatement;

// The card store's SQL layer over QtSql.
class QtCardSql : public standin::CardSql {
public:
    explicit QtCardSql(SiteDatabase& db) : m_db(db) {}

    standin::CardDialect dialect() const override { return m_db.dialect(); }

    standin::SqlOutcome run(CardStatement which, const std::vector<standin::SqlParam>& params,
                            bool wantInsertId) override {
        Statement& statement = m_statements[static_cast<size_t>(which)];
        QSqlQuery& query =
            statement.prepared(m_db, [&] { return standin::cardStatementSql(which, dialect()); });
        for (size_t i = 0; i < params.size(); ++i)
            statement.bind(static_cast<int>(i), std::visit(toVariant, params[i]));
        if (!query.exec()) throw Error(m_db.errorText(query.lastError()));
        standin::SqlOutcome outcome;
        outcome.affected = query.isSelect() ? 0 : query.numRowsAffected();
        const int columns = statement.columns(query);
        while (query.next()) {
            standin::IntRow& row = outcome.rows.emplace_back();
            for (int i = 0; i < columns; ++i) {
                const QVariant value = query.value(i);
                row.push_back(value.isNull() ? std::nullopt
                                             : std::optional<std::int64_t>(value.toLongLong()));
            }
        }
        const QSqlError error = query.lastError();
        const QVariant id = wantInsertId ? query.lastInsertId() : QVariant();
        // Ends the read at once: an SQLite read left open would block other writers.
        query.finish();
        if (error.type() != QSqlError::NoError) throw Error(m_db.errorText(error));
        bool ok = false;
        const std::int64_t value = id.toLongLong(&ok);
        if (id.isValid() && !id.isNull() && ok) outcome.insertId = value;
        return outcome;
    }

    void begin() override { m_db.beginTransaction(); }
    void commit() override { m_db.commit(); }
    void rollback() noexcept override { m_db.rollback(); }

private:
    static QVariant toVariant(const standin::SqlParam& param) {
        if (const auto* number = std::get_if<std::int32_t>(&param)) return *number;
        if (const auto* number = std::get_if<std::int64_t>(&param))
            return QVariant::fromValue<qlonglong>(*number);
        return QString::fromStdString(std::get<std::string>(param));
    }

    SiteDatabase& m_db;
    Statement m_statements[static_cast<size_t>(CardStatement::NewestDownload) + 1];
};

// The connection of one top-level object and its card store, shared with its cards.
struct Session {
    explicit Session(const ConnectionSettings& settings)
        : db(settings),
          store(std::make_unique<QtCardSql>(db), [] { return platform::clock().now(); }) {}

    // Declared first so that it is destroyed last, after every query made on it.
    SiteDatabase db;
    standin::CardStore store;
};

class SqlCard : public site::Card {
public:
    SqlCard(std::shared_ptr<standin::CardStore> store, const standin::CardState& state)
        : m_card(std::move(store), state) {}

    void SetActive(std::int32_t active) override { m_card.state().active = active; }
    void SetCardStatus(std::int32_t status) override { m_card.state().cardStatus = status; }
    void SetStatusReason(std::int32_t reason) override { m_card.state().statusReason = reason; }
    void Save() override {
        trimmed([&] { m_card.save(); });
    }
    void QueueDownload(std::int32_t a, std::int32_t b, std::int32_t c) override {
        trimmed([&] { m_card.queueDownload(a, b, c); });
    }

private:
    standin::StoredCard m_card;
};

class SqlCardCollection : public site::CardCollection {
public:
    explicit SqlCardCollection(std::vector<std::shared_ptr<SqlCard>> cards)
        : m_cards(std::move(cards)) {}

    std::int32_t Count() override { return static_cast<std::int32_t>(m_cards.size()); }
    std::shared_ptr<site::Card> Item(std::int32_t index) override {
        if (index < 1 || static_cast<size_t>(index) > m_cards.size())
            throw Error(standin::cardIndexText(index, m_cards.size()));
        return m_cards[static_cast<size_t>(index) - 1];
    }

private:
    std::vector<std::shared_ptr<SqlCard>> m_cards;
};

class SqlTopLevelObject : public site::TopLevelObject {
public:
    explicit SqlTopLevelObject(std::shared_ptr<Session> session) : m_session(std::move(session)) {}

    std::shared_ptr<site::Recordset> RunSql(const std::string& sql) override {
        return trimmed([&] { return run(sql); });
    }

    std::shared_ptr<site::CardCollection> FindKeycards(std::int32_t facility,
                                                       std::int64_t keyNumber) override {
        if (facility != -1)
            throw Error("Facility " + std::to_string(facility) +
                        " is not supported: only -1 (any facility) is");
        return trimmed([&] {
            // Each card keeps the whole session alive, its connection with its store.
            const std::shared_ptr<standin::CardStore> store(m_session, &m_session->store);
            std::vector<std::shared_ptr<SqlCard>> cards;
            for (const standin::CardState& state : store->findCards(keyNumber))
                cards.push_back(std::make_shared<SqlCard>(store, state));
            return std::make_shared<SqlCardCollection>(std::move(cards));
        });
    }

private:
    std::shared_ptr<site::Recordset> run(const std::string& sql) {
        QSqlQuery query(m_session->db.connection());
        query.setForwardOnly(true);
        // NUMERIC and DECIMAL values exactly, as their text (see ColumnKind).
        query.setNumericalPrecisionPolicy(QSql::HighPrecision);
        if (!query.exec(QString::fromStdString(sql)))
            throw Error(m_session->db.errorText(query.lastError()));
        if (!query.isSelect()) return std::make_shared<SqlRecordset>();
        const QSqlRecord record = query.record();
        const int columns = record.count();
        const Driver driver = m_session->db.settings().driver;
        std::vector<std::string> names;
        std::vector<ColumnKind> kinds;
        for (int i = 0; i < columns; ++i) {
            names.push_back(utf8(record.fieldName(i)));
            kinds.push_back(columnKind(driver, record.field(i)));
        }
        ValueStore values;
        while (query.next()) {
            for (int i = 0; i < columns; ++i)
                values.push(
                    fieldValue(query.value(i), query.isNull(i), kinds[static_cast<size_t>(i)]));
        }
        if (query.lastError().type() != QSqlError::NoError)
            throw Error(m_session->db.errorText(query.lastError()));
        return std::make_shared<SqlRecordset>(std::move(names), std::move(values));
    }

    std::shared_ptr<Session> m_session;
};

}  // namespace

std::shared_ptr<site::TopLevelObject> CreateTopLevelObjectWith(const ConnectionSettings& settings) {
    return trimmed(
        [&] { return std::make_shared<SqlTopLevelObject>(std::make_shared<Session>(settings)); });
}

std::shared_ptr<site::TopLevelObject> CreateTopLevelObject(bool readOnly) {
    return trimmed([&] {
        ConnectionSettings settings = readRegistration(platform::programDirectory());
        settings.readOnly = readOnly;
        return CreateTopLevelObjectWith(settings);
    });
}

}  // namespace dormex::sitelib
