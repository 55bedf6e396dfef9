#include "support/SiteRows.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <ctime>
#include <stdexcept>

#include "SiteTables.h"
#include "TestSupport.h"
#include "support/Programs.h"

namespace dormex::test {
namespace {

using scenario::Value;

QVariant variantOf(const Value& value) {
    switch (value.kind) {
        case Value::Kind::Integer:
            return QVariant::fromValue<qlonglong>(value.integer);
        case Value::Kind::Real:
            return QVariant(value.real);
        case Value::Kind::Text:
            return QString::fromUtf8(value.text.data(), static_cast<qsizetype>(value.text.size()));
        case Value::Kind::Null:
            break;
    }
    return QVariant(QMetaType::fromType<qlonglong>());
}

// The row's columns from `from` on as text, joined by `separator`.
std::string joined(const std::vector<QVariant>& row, size_t from, const char* separator) {
    std::string text;
    for (size_t i = from; i < row.size(); ++i)
        text += (i > from ? separator : "") + row[i].toString().toStdString();
    return text;
}

}  // namespace

std::unique_ptr<TestSite> TestSite::create(const sitelib::ConnectionSettings& settings) {
    auto site = std::make_unique<TestSite>(settings, sitelib::SiteDatabase::OpenMode::Create);
    site->db().createSchema();
    return site;
}

std::vector<std::vector<QVariant>> TestSite::rows(const std::string& sql,
                                                  const std::vector<QVariant>& binds) {
    QSqlQuery query(m_db.connection());
    query.setForwardOnly(true);
    if (!query.prepare(QString::fromStdString(sql)))
        throw std::runtime_error(sql + ": " + query.lastError().text().toStdString());
    for (const QVariant& value : binds) query.addBindValue(value);
    if (!query.exec())
        throw std::runtime_error(sql + ": " + query.lastError().text().toStdString());
    std::vector<std::vector<QVariant>> result;
    while (query.next()) {
        std::vector<QVariant> row;
        for (int i = 0; i < query.record().count(); ++i) row.push_back(query.value(i));
        result.push_back(std::move(row));
    }
    return result;
}

void TestSite::add(const scenario::Person& p) {
    rows("INSERT INTO personnel (userid, lastname, firstname, flags) VALUES (?, ?, ?, ?)",
         {p.userid, variantOf(p.lastName), variantOf(p.firstName), variantOf(p.flags)});
}

void TestSite::add(const scenario::Card& c) {
    rows("INSERT INTO Keycards (CardID, KeyNumber, userid, Active) VALUES (?, ?, ?, ?)",
         {c.cardId, variantOf(c.keyNumber), variantOf(c.userid), c.active});
}

void TestSite::add(const scenario::Use& u) {
    // The stamp as a literal: a server then reads it as its column's type.
    rows("INSERT INTO Transactions (KeyNumber, EventDateTime) VALUES (?, '" +
             standin::formatLocalTime(std::time(nullptr) - std::time_t{u.daysAgo} * 86400) + "')",
         {variantOf(u.keyNumber)});
}

void TestSite::add(const scenario::Site& rows) {
    for (const scenario::Person& p : rows.persons) add(p);
    for (const scenario::Card& c : rows.cards) add(c);
    for (const scenario::Use& u : rows.uses) add(u);
}

void TestSite::add(const std::vector<scenario::HeldCard>& cards) {
    scenario::Site rows;
    rows.add(cards);
    add(rows);
}

void TestSite::fill(const scenario::Site& site, const std::string& settingsPath) {
    add(site);
    writeFile(settingsPath, scenario::settingsText(site));
}

void TestSite::clear() {
    for (const char* table : {"CardDownloads", "Keycards", "personnel", "Transactions"})
        exec(std::string("DELETE FROM ") + table);
}

void TestSite::setKeyColumnType(const std::string& type) {
    if (m_db.dialect() != sitelib::Dialect::Sqlite) {
        for (const char* table : {"Keycards", "Transactions"})
            exec(std::string("ALTER TABLE ") + table + " ALTER COLUMN KeyNumber TYPE " + type);
        return;
    }
    exec("DROP TABLE Keycards");
    exec("CREATE TABLE Keycards (CardID integer primary key, KeyNumber " + type +
         " not null, userid integer, Active integer not null default 1, CardStatus integer not "
         "null default 0, StatusReason integer not null default 0)");
    exec("DROP TABLE Transactions");
    exec("CREATE TABLE Transactions (TransactionID integer primary key, KeyNumber " + type +
         " not null, EventDateTime text not null)");
}

void TestSite::declareProviderTypes() {
    for (const char* table : {"personnel", "Keycards", "Transactions"})
        exec(std::string("DROP TABLE ") + table);
    exec(
        "CREATE TABLE personnel (userid int primary key, lastname nvarchar(50), firstname "
        "nvarchar(50), flags real)");
    exec(
        "CREATE TABLE Keycards (CardID integer primary key, KeyNumber money not null, userid int, "
        "Active bit not null default 1, CardStatus tinyint not null default 0, StatusReason "
        "smallint not null default 0)");
    exec(
        "CREATE TABLE Transactions (TransactionID integer primary key, KeyNumber money not "
        "null, EventDateTime datetime not null)");
}

std::map<std::int64_t, std::string> TestSite::cardStates() {
    std::map<std::int64_t, std::string> states;
    for (const auto& row : rows("SELECT CardID, Active, CardStatus, StatusReason FROM Keycards"))
        states[row[0].toLongLong()] = joined(row, 1, "/");
    return states;
}

std::string TestSite::cardState(std::int64_t cardId) {
    const auto found =
        rows("SELECT Active, CardStatus, StatusReason FROM Keycards WHERE CardID = " +
             std::to_string(cardId));
    return found.empty() ? "missing" : joined(found[0], 0, "/");
}

std::vector<std::string> TestSite::downloadRows() {
    std::vector<std::string> out;
    for (const auto& row :
         rows("SELECT CardID, Arg1, Arg2, Arg3 FROM CardDownloads ORDER BY DownloadID"))
        out.push_back(row[0].toString().toStdString() + ":" + joined(row, 1, ","));
    return out;
}

std::map<std::int64_t, int> TestSite::downloadsPerCard() {
    std::map<std::int64_t, int> counts;
    for (const auto& row : rows("SELECT CardID, COUNT(*) FROM CardDownloads GROUP BY CardID"))
        counts[row[0].toLongLong()] = row[1].toInt();
    return counts;
}

std::map<std::string, std::int64_t> TestSite::cardIdsByKey() {
    std::map<std::string, std::int64_t> ids;
    for (const auto& row : rows("SELECT KeyNumber, CardID FROM Keycards"))
        ids[row[0].toString().toStdString()] = row[1].toLongLong();
    return ids;
}

}  // namespace dormex::test
