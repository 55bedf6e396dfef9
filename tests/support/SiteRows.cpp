#include "support/SiteRows.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <ctime>
#include <stdexcept>

#include "SiteTables.h"
#include "TestSupport.h"
#include "support/Programs.h"

namespace dormex::test {
namespace {

void exec(sitelib::SiteDatabase& db, const std::string& sql) {
    db.exec(QString::fromStdString(sql));
}

}  // namespace

void addPerson(sitelib::SiteDatabase& db, int userid, const char* lastName, const char* firstName,
               std::optional<std::int64_t> flags) {
    QSqlQuery q(db.connection());
    q.prepare("INSERT INTO personnel (userid, lastname, firstname, flags) VALUES (?, ?, ?, ?)");
    q.addBindValue(userid);
    q.addBindValue(QString::fromUtf8(lastName));
    q.addBindValue(QString::fromUtf8(firstName));
    q.addBindValue(flags ? QVariant(static_cast<qlonglong>(*flags))
                         : QVariant(QMetaType::fromType<qlonglong>()));
    if (!q.exec()) throw std::runtime_error(q.lastError().text().toStdString());
}

void addCard(sitelib::SiteDatabase& db, int cardId, std::int64_t keyNumber, int userid,
             int active) {
    exec(db, "INSERT INTO Keycards (CardID, KeyNumber, userid, Active) VALUES (" +
                 std::to_string(cardId) + ", " + std::to_string(keyNumber) + ", " +
                 std::to_string(userid) + ", " + std::to_string(active) + ")");
}

void addUse(sitelib::SiteDatabase& db, std::int64_t keyNumber, int daysAgo) {
    exec(db, "INSERT INTO Transactions (KeyNumber, EventDateTime) VALUES (" +
                 std::to_string(keyNumber) + ", '" +
                 standin::formatLocalTime(std::time(nullptr) - daysAgo * 86400) + "')");
}

void fillScenario(sitelib::SiteDatabase& db, const scenario::Site& site,
                  const std::string& settingsPath) {
    for (const scenario::Person& p : site.persons)
        addPerson(db, p.userid, p.lastName, p.firstName, p.flags);
    for (const scenario::Card& c : site.cards)
        addCard(db, c.cardId, c.keyNumber, c.userid, c.active);
    for (const scenario::Use& u : site.uses) addUse(db, u.keyNumber, u.daysAgo);
    writeFile(settingsPath, settingsText(site.days, std::set<int>(site.selectedTypes.begin(),
                                                                  site.selectedTypes.end())) +
                                site.moreSettings);
}

void clearSite(sitelib::SiteDatabase& db) {
    for (const char* table : {"CardDownloads", "Keycards", "personnel", "Transactions"})
        exec(db, std::string("DELETE FROM ") + table);
}

void setKeyColumnType(sitelib::SiteDatabase& db, const std::string& type) {
    if (db.dialect() != sitelib::Dialect::Sqlite) {
        for (const char* table : {"Keycards", "Transactions"})
            exec(db, std::string("ALTER TABLE ") + table + " ALTER COLUMN KeyNumber TYPE " + type);
        return;
    }
    exec(db, "DROP TABLE Keycards");
    exec(db, "CREATE TABLE Keycards (CardID integer primary key, KeyNumber " + type +
                 " not null, userid integer, Active integer not null default 1, CardStatus "
                 "integer not null default 0, StatusReason integer not null default 0)");
    exec(db, "DROP TABLE Transactions");
    exec(db, "CREATE TABLE Transactions (TransactionID integer primary key, KeyNumber " + type +
                 " not null, EventDateTime text not null)");
}

void declareProviderTypes(sitelib::SiteDatabase& db) {
    for (const char* table : {"personnel", "Keycards", "Transactions"})
        exec(db, std::string("DROP TABLE ") + table);
    exec(db,
         "CREATE TABLE personnel (userid int primary key, lastname nvarchar(50), firstname "
         "nvarchar(50), flags real)");
    exec(db,
         "CREATE TABLE Keycards (CardID integer primary key, KeyNumber money not null, userid int, "
         "Active bit not null default 1, CardStatus tinyint not null default 0, StatusReason "
         "smallint not null default 0)");
    exec(db,
         "CREATE TABLE Transactions (TransactionID integer primary key, KeyNumber money not "
         "null, EventDateTime datetime not null)");
}

std::string cardState(sitelib::SiteDatabase& db, int cardId) {
    QSqlQuery q(db.connection());
    q.exec(QString("SELECT Active, CardStatus, StatusReason FROM Keycards WHERE CardID = %1")
               .arg(cardId));
    if (!q.next()) return "missing";
    return q.value(0).toString().toStdString() + "/" + q.value(1).toString().toStdString() + "/" +
           q.value(2).toString().toStdString();
}

std::vector<std::string> downloadRows(sitelib::SiteDatabase& db) {
    QSqlQuery q(db.connection());
    q.exec("SELECT CardID, Arg1, Arg2, Arg3 FROM CardDownloads ORDER BY DownloadID");
    std::vector<std::string> out;
    while (q.next()) {
        out.push_back(
            q.value(0).toString().toStdString() + ":" + q.value(1).toString().toStdString() + "," +
            q.value(2).toString().toStdString() + "," + q.value(3).toString().toStdString());
    }
    return out;
}

}  // namespace dormex::test
