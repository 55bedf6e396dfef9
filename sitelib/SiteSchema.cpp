// The site tables and indexes a new site database is given.
#include <QSqlQuery>

#include "SiteDatabase.h"
#include "SiteTables.h"
#include "platform/Error.h"

namespace dormex::sitelib {

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
        for (const std::string& statement :
             standin::schemaStatements(m_dialect == Dialect::Sqlite ? standin::Dialect::Sqlite
                                                                    : standin::Dialect::Postgres))
            exec(QString::fromStdString(statement));
        commit();
    } catch (...) {
        rollback();
        throw;
    }
}

}  // namespace dormex::sitelib
