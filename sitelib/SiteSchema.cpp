// The site tables and indexes a new site database is given.
#include <QSqlQuery>

#include "SiteDatabase.h"
#include "platform/Error.h"

namespace dormex::sitelib {
namespace {

// Statements creating the site tables; the column types follow the dialect.
QStringList schemaStatements(Dialect dialect) {
    const bool sqlite = dialect == Dialect::Sqlite;
    const QString timestamp = sqlite ? QStringLiteral("text") : QStringLiteral("timestamp");
    const QString generatedKey =
        sqlite ? QStringLiteral("integer primary key") : QStringLiteral("serial primary key");
    return {
        QStringLiteral("CREATE TABLE personnel (userid integer primary key, lastname text, "
                       "firstname text, flags integer)"),
        QStringLiteral(
            "CREATE TABLE Keycards (CardID integer primary key, KeyNumber bigint not null, "
            "userid integer, Active integer not null default 1, "
            "CardStatus integer not null default 0, "
            "StatusReason integer not null default 0)"),
        QStringLiteral("CREATE TABLE Transactions (TransactionID %1, KeyNumber bigint not null, "
                       "EventDateTime %2 not null)")
            .arg(generatedKey, timestamp),
        QStringLiteral("CREATE TABLE MXRSettings (SettingName text not null, "
                       "StationName text not null, StringSetting1 text)"),
        QStringLiteral("CREATE TABLE CardDownloads (DownloadID %1, CardID integer not null, "
                       "Arg1 integer, Arg2 integer, Arg3 integer, QueuedAt %2)")
            .arg(generatedKey, timestamp),
        QStringLiteral("CREATE INDEX IX_Keycards_KeyNumber ON Keycards (KeyNumber)"),
        QStringLiteral("CREATE INDEX IX_Transactions_EventDateTime_KeyNumber "
                       "ON Transactions (EventDateTime, KeyNumber)"),
    };
}

}  // namespace

bool SiteDatabase::hasSchema() {
    QSqlQuery query(connection());
    query.setForwardOnly(true);
    return query.exec(QStringLiteral("SELECT CardID FROM Keycards WHERE 1 = 0"));
}

void SiteDatabase::createSchema() {
    if (m_dialect == Dialect::Other)
        throw Error("Creating the site tables is supported on SQLite and PostgreSQL only");
    // Write-ahead logging lets readers and the one writer work side by side, and (with
    // synchronous=NORMAL) makes the many single-statement commits of a large run cheap.
    if (m_dialect == Dialect::Sqlite) exec(QStringLiteral("PRAGMA journal_mode = WAL"));
    beginTransaction();
    try {
        for (const QString& statement : schemaStatements(m_dialect)) exec(statement);
        commit();
    } catch (...) {
        rollback();
        throw;
    }
}

}  // namespace dormex::sitelib
