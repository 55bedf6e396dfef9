#include "SqlSiteLibrary.h"

#include <QDate>
#include <QDateTime>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTime>
#include <QVariant>
#include <ctime>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "SiteContent.h"
#include "platform/Error.h"
#include "platform/Platform.h"

namespace dormex::sitelib {
namespace {

using site::Status;
using site::Variant;

// Publishes `message` as the error description and returns `status`.
Status fail(const std::string& message, Status status = site::kFail) {
    site::SetErrorInfo(QString::fromStdString(message).toStdU16String());
    return status;
}

// Runs `body`, turning any exception into a published failure.
template <class Body>
Status guarded(Body&& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        return fail(e.what());
    } catch (...) {
        return fail("Unexpected failure in the site library");
    }
}

Variant booleanVariant(bool value) {
    Variant result;
    result.type = Variant::Type::Boolean;
    result.integer = value ? 1 : 0;
    return result;
}

// A column value as a site variant: integers as Int64, reals as Double, NULL as Null, dates and
// times as ISO text, everything else as text.
Variant toVariant(const QVariant& value, bool isNull) {
    if (isNull || value.isNull()) return Variant::null();
    switch (value.typeId()) {
        case QMetaType::Bool:
            return booleanVariant(value.toBool());
        case QMetaType::Char:
        case QMetaType::SChar:
        case QMetaType::UChar:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::Long:
        case QMetaType::ULong:
        case QMetaType::LongLong:
            return Variant::fromInt64(value.toLongLong());
        case QMetaType::ULongLong:
            return Variant::fromInt64(static_cast<std::int64_t>(value.toULongLong()));
        case QMetaType::Float:
        case QMetaType::Double:
            return Variant::fromDouble(value.toDouble());
        case QMetaType::QDateTime: {
            const QDateTime dt = value.toDateTime();
            const QString format = dt.time().msec() ? QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")
                                                    : QStringLiteral("yyyy-MM-dd HH:mm:ss");
            return Variant::fromText(dt.toString(format).toStdU16String());
        }
        case QMetaType::QDate:
            return Variant::fromText(
                value.toDate().toString(QStringLiteral("yyyy-MM-dd")).toStdU16String());
        case QMetaType::QTime:
            return Variant::fromText(
                value.toTime().toString(QStringLiteral("HH:mm:ss")).toStdU16String());
        case QMetaType::QByteArray:
            return Variant::fromText(QString::fromUtf8(value.toByteArray()).toStdU16String());
        default:
            return Variant::fromText(value.toString().toStdU16String());
    }
}

// Rows read in full when the statement ran, so the recordset needs no connection afterwards.
class SqlRecordset : public site::Recordset {
public:
    // A recordset for a statement that gave no rows at all: State 0, every read fails.
    SqlRecordset() = default;
    SqlRecordset(std::vector<std::u16string> names, std::vector<std::vector<Variant>> rows)
        : m_open(true), m_names(std::move(names)), m_rows(std::move(rows)) {}

    Status State(std::int32_t& state) override {
        state = m_open ? kStateOpen : 0;
        return site::kOk;
    }
    Status FieldCount(std::int32_t& count) override {
        if (!m_open) return closedFailure();
        count = static_cast<std::int32_t>(m_names.size());
        return site::kOk;
    }
    Status FieldName(std::int32_t index, std::u16string& name) override {
        if (!m_open) return closedFailure();
        if (!validColumn(index)) return columnFailure(index);
        name = m_names[static_cast<size_t>(index)];
        return site::kOk;
    }
    Status Eof(bool& eof) override {
        if (!m_open) return closedFailure();
        eof = m_position >= m_rows.size();
        return site::kOk;
    }
    Status MoveNext() override {
        if (!m_open) return closedFailure();
        if (m_position >= m_rows.size()) return fail("Cannot move past the last row");
        ++m_position;
        return site::kOk;
    }
    Status Value(std::int32_t index, Variant& value) override {
        if (!m_open) return closedFailure();
        if (m_position >= m_rows.size()) return fail("There is no current row");
        if (!validColumn(index)) return columnFailure(index);
        value = m_rows[m_position][static_cast<size_t>(index)];
        return site::kOk;
    }

private:
    bool validColumn(std::int32_t index) const {
        return index >= 0 && static_cast<size_t>(index) < m_names.size();
    }
    Status closedFailure() const {
        return fail("The recordset is closed: the statement gave no rows");
    }
    Status columnFailure(std::int32_t index) const {
        return fail("Column " + std::to_string(index) + " does not exist (the recordset has " +
                        std::to_string(m_names.size()) + " columns)",
                    site::kBadIndex);
    }

    bool m_open = false;
    std::vector<std::u16string> m_names;
    std::vector<std::vector<Variant>> m_rows;
    size_t m_position = 0;
};

// The connection of one top-level object and its prepared statements, shared with its cards.
class Session {
public:
    explicit Session(const ConnectionSettings& settings) : m_db(settings) {}

    SiteDatabase& db() { return m_db; }

    struct CardState {
        std::int64_t cardId;
        std::int32_t active;
        std::int32_t cardStatus;
        std::int32_t statusReason;
    };

    // The cards with `keyNumber`, ascending CardID. Throws Error.
    std::vector<CardState> findCards(std::int64_t keyNumber) {
        QSqlQuery& query = prepared(
            m_find, QStringLiteral("SELECT CardID, Active, CardStatus, StatusReason FROM Keycards "
                                   "WHERE KeyNumber = ? ORDER BY CardID"));
        query.bindValue(0, QVariant::fromValue<qlonglong>(keyNumber));
        run(query);
        std::vector<CardState> cards;
        while (query.next()) {
            cards.push_back({query.value(0).toLongLong(), query.value(1).toInt(),
                             query.value(2).toInt(), query.value(3).toInt()});
        }
        QSqlError error = query.lastError();
        // Ends the read at once: an SQLite read left open would block other writers.
        query.finish();
        if (error.type() != QSqlError::NoError) throw Error(m_db.errorText(error));
        return cards;
    }

    // Writes the card's three state columns in one statement (committed on its own).
    void saveCard(const CardState& card) {
        QSqlQuery& query = prepared(
            m_save,
            QStringLiteral("UPDATE Keycards SET Active = ?, CardStatus = ?, StatusReason = ? "
                           "WHERE CardID = ?"));
        query.bindValue(0, card.active);
        query.bindValue(1, card.cardStatus);
        query.bindValue(2, card.statusReason);
        query.bindValue(3, QVariant::fromValue<qlonglong>(card.cardId));
        run(query);
        const int affected = query.numRowsAffected();
        query.finish();
        if (affected == 0)
            throw Error("Card " + std::to_string(card.cardId) + " no longer exists in Keycards");
    }

    // Inserts one CardDownloads row stamped with the current local time (committed on its own).
    void queueDownload(std::int64_t cardId, std::int32_t a, std::int32_t b, std::int32_t c) {
        const QString stamp = m_db.dialect() == Dialect::Sqlite
                                  ? QStringLiteral("?")
                                  : QStringLiteral("CAST(? AS TIMESTAMP)");
        QSqlQuery& query = prepared(
            m_queue,
            QStringLiteral("INSERT INTO CardDownloads (CardID, Arg1, Arg2, Arg3, QueuedAt) "
                           "VALUES (?, ?, ?, ?, %1)")
                .arg(stamp));
        query.bindValue(0, QVariant::fromValue<qlonglong>(cardId));
        query.bindValue(1, a);
        query.bindValue(2, b);
        query.bindValue(3, c);
        query.bindValue(4, QString::fromStdString(formatLocalTime(platform::clock().now())));
        run(query);
        query.finish();
    }

private:
    // The statement in `slot`, prepared on first use and reused afterwards.
    QSqlQuery& prepared(std::optional<QSqlQuery>& slot, const QString& sql) {
        if (!slot) {
            QSqlQuery query(m_db.connection());
            query.setForwardOnly(true);
            if (!query.prepare(sql)) throw Error(m_db.errorText(query.lastError()));
            slot.emplace(std::move(query));
        }
        return *slot;
    }

    void run(QSqlQuery& query) {
        if (!query.exec()) throw Error(m_db.errorText(query.lastError()));
    }

    // Declared first so that it is destroyed last, after every query made on it.
    SiteDatabase m_db;
    std::optional<QSqlQuery> m_find;
    std::optional<QSqlQuery> m_save;
    std::optional<QSqlQuery> m_queue;
};

class SqlCard : public site::Card {
public:
    SqlCard(std::shared_ptr<Session> session, const Session::CardState& state)
        : m_session(std::move(session)), m_state(state) {}

    Status SetActive(std::int32_t active) override {
        m_state.active = active;
        return site::kOk;
    }
    Status SetCardStatus(std::int32_t status) override {
        m_state.cardStatus = status;
        return site::kOk;
    }
    Status SetStatusReason(std::int32_t reason) override {
        m_state.statusReason = reason;
        return site::kOk;
    }
    Status Save() override {
        return guarded([&] {
            m_session->saveCard(m_state);
            return site::kOk;
        });
    }
    Status QueueDownload(std::int32_t a, std::int32_t b, std::int32_t c) override {
        return guarded([&] {
            m_session->queueDownload(m_state.cardId, a, b, c);
            return site::kOk;
        });
    }

private:
    std::shared_ptr<Session> m_session;
    Session::CardState m_state;
};

class SqlCardCollection : public site::CardCollection {
public:
    explicit SqlCardCollection(std::vector<std::shared_ptr<SqlCard>> cards)
        : m_cards(std::move(cards)) {}

    Status Count(std::int32_t& count) override {
        count = static_cast<std::int32_t>(m_cards.size());
        return site::kOk;
    }
    Status Item(std::int32_t index, Variant& card) override {
        if (index < 1 || static_cast<size_t>(index) > m_cards.size())
            return fail("Card index " + std::to_string(index) + " is out of range 1.." +
                            std::to_string(m_cards.size()),
                        site::kBadIndex);
        card = Variant::fromObject(m_cards[static_cast<size_t>(index) - 1]);
        return site::kOk;
    }

private:
    std::vector<std::shared_ptr<SqlCard>> m_cards;
};

class SqlTopLevelObject : public site::TopLevelObject {
public:
    explicit SqlTopLevelObject(std::shared_ptr<Session> session) : m_session(std::move(session)) {}

    Status RunSql(const std::u16string& sql, site::ObjectPtr& result) override {
        return guarded([&] {
            QSqlQuery query(m_session->db().connection());
            query.setForwardOnly(true);
            // Numeric columns read as doubles rather than as text.
            query.setNumericalPrecisionPolicy(QSql::LowPrecisionDouble);
            if (!query.exec(QString::fromStdU16String(sql)))
                return fail(m_session->db().errorText(query.lastError()));
            if (!query.isSelect()) {
                result = std::make_shared<SqlRecordset>();
                return site::kOk;
            }
            const QSqlRecord record = query.record();
            const int columns = record.count();
            std::vector<std::u16string> names;
            names.reserve(static_cast<size_t>(columns));
            for (int i = 0; i < columns; ++i) names.push_back(record.fieldName(i).toStdU16String());
            std::vector<std::vector<Variant>> rows;
            while (query.next()) {
                std::vector<Variant> row;
                row.reserve(static_cast<size_t>(columns));
                for (int i = 0; i < columns; ++i)
                    row.push_back(toVariant(query.value(i), query.isNull(i)));
                rows.push_back(std::move(row));
            }
            if (query.lastError().type() != QSqlError::NoError)
                return fail(m_session->db().errorText(query.lastError()));
            result = std::make_shared<SqlRecordset>(std::move(names), std::move(rows));
            return site::kOk;
        });
    }

    Status FindKeycards(std::int32_t facility, std::int64_t keyNumber,
                        site::ObjectPtr& result) override {
        if (facility != -1)
            return fail("Facility " + std::to_string(facility) +
                            " is not supported: only -1 (any facility) is",
                        site::kInvalidArg);
        return guarded([&] {
            std::vector<std::shared_ptr<SqlCard>> cards;
            for (const Session::CardState& state : m_session->findCards(keyNumber))
                cards.push_back(std::make_shared<SqlCard>(m_session, state));
            result = std::make_shared<SqlCardCollection>(std::move(cards));
            return site::kOk;
        });
    }

private:
    std::shared_ptr<Session> m_session;
};

}  // namespace

site::Status CreateTopLevelObjectWith(const ConnectionSettings& settings, site::ObjectPtr& result) {
    return guarded([&] {
        auto session = std::make_shared<Session>(settings);
        result = std::make_shared<SqlTopLevelObject>(std::move(session));
        return site::kOk;
    });
}

site::Status CreateTopLevelObject(site::ObjectPtr& result) {
    return guarded([&] {
        return CreateTopLevelObjectWith(readRegistration(platform::programDirectory()), result);
    });
}

}  // namespace dormex::sitelib
