#include "SiteDatabase.h"

#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QUrl>
#include <atomic>
#include <filesystem>
#include <system_error>
#include <vector>

#include "DatabaseRegistration.h"
#include "ServerWatch.h"
#include "platform/Error.h"
#include "platform/Text.h"

namespace dormex::sitelib {
namespace {

// Seconds a connection attempt to a server may take before it gives up.
constexpr int kLoginTimeoutSeconds = 10;
// The largest lock wait DORMEX_LOCK_WAIT accepts: one day.
constexpr int kMaxLockWaitSeconds = 86400;

// Joins the non-empty ';'-separated pieces in order: later options override earlier ones in every
// driver, so the caller's options go after ours.
QString joinOptions(const QStringList& parts) {
    QStringList pieces;
    for (const QString& part : parts) {
        for (const QString& piece : part.split(QLatin1Char(';'))) {
            if (!piece.trimmed().isEmpty()) pieces.append(piece.trimmed());
        }
    }
    return pieces.join(QLatin1Char(';'));
}

// Takes every DORMEX_LOCK_WAIT=<seconds> out of `options` (neither Qt nor the drivers know it) and
// returns the last one's value, or kDefaultLockWaitSeconds without one. A bad value throws Error.
int takeLockWait(std::string& options) {
    static const QRegularExpression kKey(
        QStringLiteral("(^|[;\\s])DORMEX_LOCK_WAIT\\s*=\\s*([^;\\s]*)"),
        QRegularExpression::CaseInsensitiveOption);
    QString text = QString::fromStdString(options);
    int seconds = kDefaultLockWaitSeconds;
    for (QRegularExpressionMatch match = kKey.match(text); match.hasMatch();
         match = kKey.match(text)) {
        bool ok = false;
        const int value = match.captured(2).toInt(&ok);
        if (!ok || value < 1 || value > kMaxLockWaitSeconds)
            throw Error("Invalid DORMEX_LOCK_WAIT '" + match.captured(2).toStdString() +
                        "' in the site database options: give whole seconds from 1 to " +
                        std::to_string(kMaxLockWaitSeconds));
        seconds = value;
        text.replace(match.capturedStart(0), match.capturedLength(0), QStringLiteral(";"));
    }
    options = text.toStdString();
    return seconds;
}

QString newConnectionName() {
    static std::atomic<unsigned long long> counter{0};
    return QStringLiteral("dormex-sitelib-%1").arg(++counter);
}

std::string absolutePath(const std::string& path) {
    std::error_code ignored;
    std::filesystem::path p = std::filesystem::absolute(path, ignored);
    return p.lexically_normal().string();
}

// The SQL flavour behind an open connection.
Dialect dialectOf(Driver driver, const QSqlDatabase& db) {
    const QSqlDriver::DbmsType type = db.driver()->dbmsType();
    if (driver == Driver::Sqlite || type == QSqlDriver::SQLite) return Dialect::Sqlite;
    if (driver == Driver::Postgres || type == QSqlDriver::PostgreSQL) return Dialect::Postgres;
    return Dialect::Other;
}

// Gives `db` its database name and connect options: this library's defaults first, then
// `userOptions`. Throws Error when an existing SQLite file is wanted and there is none.
void configure(QSqlDatabase& db, const ConnectionSettings& settings, SiteDatabase::OpenMode mode,
               int lockWaitSeconds, const QString& userOptions) {
    switch (settings.driver) {
        case Driver::Sqlite: {
            const std::string path = absolutePath(settings.database);
            const QString qpath = QString::fromStdString(path);
            QString options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(lockWaitSeconds * 1000);
            if (mode == SiteDatabase::OpenMode::Existing) {
                std::error_code error;
                if (!std::filesystem::is_regular_file(path, error))
                    throw Error("Site database not found: " + path);
                // mode=rw opens read-write but never creates, even if the file vanished since the
                // check above.
                db.setDatabaseName(QUrl::fromLocalFile(qpath).toString(QUrl::FullyEncoded) +
                                   QStringLiteral("?mode=rw"));
                options += QStringLiteral(";QSQLITE_OPEN_URI");
            } else {
                db.setDatabaseName(qpath);
            }
            db.setConnectOptions(joinOptions({options, userOptions}));
            break;
        }
        case Driver::Postgres:
            db.setDatabaseName(QString::fromStdString(settings.database));
            db.setConnectOptions(
                joinOptions({QStringLiteral("connect_timeout=%1;keepalives=1;keepalives_idle=%2;"
                                            "keepalives_interval=%3;keepalives_count=%4;"
                                            "tcp_user_timeout=%5")
                                 .arg(kLoginTimeoutSeconds)
                                 .arg(kKeepaliveIdleSeconds)
                                 .arg(kKeepaliveIntervalSeconds)
                                 .arg(kKeepaliveCount)
                                 .arg(kTcpUserTimeoutMs),
                             userOptions}));
            break;
        case Driver::Odbc:
            db.setDatabaseName(QString::fromStdString(settings.database));
            // The read-only access mode comes last: no option may undo it.
            db.setConnectOptions(joinOptions(
                {QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(kLoginTimeoutSeconds), userOptions,
                 settings.readOnly ? QStringLiteral("SQL_ATTR_ACCESS_MODE=SQL_MODE_READ_ONLY")
                                   : QString()}));
            break;
    }
    if (!settings.host.empty()) db.setHostName(QString::fromStdString(settings.host));
    if (settings.port > 0) db.setPort(settings.port);
    if (!settings.user.empty()) db.setUserName(QString::fromStdString(settings.user));
    if (!settings.password.empty()) db.setPassword(QString::fromStdString(settings.password));
}

}  // namespace

const char* driverName(Driver driver) {
    static const char* const kNames[] = {"QSQLITE", "QPSQL", "QODBC"};
    return kNames[static_cast<int>(driver)];
}

Driver parseDriver(const std::string& name) {
    using platform::equalsIgnoringAsciiCase;
    const std::string_view key = platform::trimmed(name);
    if (key.empty() || equalsIgnoringAsciiCase(key, "QSQLITE")) return Driver::Sqlite;
    if (equalsIgnoringAsciiCase(key, "QPSQL")) return Driver::Postgres;
    if (equalsIgnoringAsciiCase(key, "QODBC")) return Driver::Odbc;
    throw Error("Unsupported site database driver '" + name + "': use QSQLITE, QPSQL or QODBC");
}

ConnectionSettings readRegistration(const std::string& programDir) {
    const standin::DatabaseRegistration registration =
        standin::readDatabaseRegistration(programDir);
    ConnectionSettings settings;
    try {
        settings.driver = parseDriver(registration.driver);
    } catch (const Error& e) {
        throw Error(std::string(e.what()) + " (in " + registration.file + ")");
    }
    settings.database = registration.database;
    if (settings.driver == Driver::Sqlite) {
        if (settings.database.empty()) settings.database = standin::kDefaultSqliteFile;
        if (settings.database.front() != '/') settings.database = programDir + settings.database;
        settings.database = absolutePath(settings.database);
    }
    settings.host = registration.host;
    settings.port = registration.portNumber();
    settings.user = registration.user;
    settings.password = registration.password;
    settings.options = registration.options;
    return settings;
}

SiteDatabase::SiteDatabase(const ConnectionSettings& settings, OpenMode mode)
    : m_settings(settings), m_connectionName(newConnectionName()) {
    std::string userOptions = settings.options;
    m_lockWaitSeconds = takeLockWait(userOptions);
    // Every failure, the watch's included, leaves nothing behind: no watch, no connection.
    try {
        open(mode, QString::fromStdString(userOptions));
    } catch (const Error& e) {
        close();
        throw Error(redact(e.what()));
    } catch (...) {
        close();
        throw;
    }
}

void SiteDatabase::open(OpenMode mode, const QString& userOptions) {
    std::vector<TcpSocket> sockets;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QLatin1String(driverName(m_settings.driver)),
                                                    m_connectionName);
        if (!db.isValid())
            throw Error(std::string("The Qt SQL driver ") + driverName(m_settings.driver) +
                        " is not available");
        configure(db, m_settings, mode, m_lockWaitSeconds, userOptions);
        bool opened = false;
        if (m_settings.driver == Driver::Sqlite)
            opened = db.open();
        else
            sockets = socketsOpenedBy([&] { opened = db.open(); });
        if (!opened)
            throw Error("Cannot connect to the site database: " + errorText(db.lastError()));
        m_dialect = dialectOf(m_settings.driver, db);
        prepareSession(db);
    }
    if (sockets.empty()) return;
    if (m_settings.driver == Driver::Odbc) {
        for (const TcpSocket& socket : sockets) keepAlive(socket);
    }
    m_watch = std::make_unique<ServerWatch>(
        watchedSockets(std::move(sockets), m_dialect == Dialect::Postgres));
    m_watch->start();
}

void SiteDatabase::prepareSession(QSqlDatabase& db) {
    const bool readOnly = m_settings.readOnly;
    QStringList statements;
    switch (m_dialect) {
        case Dialect::Sqlite:
            // SQLite opens lazily: reading the schema version proves the file is a database (and
            // waits out an exclusive lock like any statement). In WAL mode synchronous=NORMAL
            // spares every one-statement commit its own disk flush.
            statements << QStringLiteral("PRAGMA schema_version")
                       << QStringLiteral("PRAGMA synchronous = NORMAL");
            if (m_settings.driver != Driver::Sqlite)
                statements
                    << QStringLiteral("PRAGMA busy_timeout = %1").arg(m_lockWaitSeconds * 1000);
            if (readOnly) statements << QStringLiteral("PRAGMA query_only = ON");
            break;
        case Dialect::Postgres:
            statements << QStringLiteral("SET lock_timeout = '%1s'").arg(m_lockWaitSeconds);
            if (readOnly) statements << QStringLiteral("SET default_transaction_read_only = on");
            break;
        case Dialect::Other: {
            const QSqlDriver::DbmsType type = db.driver()->dbmsType();
            if (type == QSqlDriver::MSSqlServer || type == QSqlDriver::Sybase)
                statements << QStringLiteral("SET LOCK_TIMEOUT %1").arg(m_lockWaitSeconds * 1000);
            break;
        }
    }
    QSqlQuery query(db);
    for (const QString& statement : statements) {
        if (!query.exec(statement)) {
            const std::string where =
                m_dialect == Dialect::Sqlite && m_settings.driver == Driver::Sqlite
                    ? " " + absolutePath(m_settings.database)
                    : std::string();
            throw Error("Cannot use the site database" + where + ": " +
                        errorText(query.lastError()));
        }
    }
}

SiteDatabase::~SiteDatabase() {
    close();
}

void SiteDatabase::close() noexcept {
    // The watch goes first: it must never touch a descriptor the closing connection frees.
    m_watch.reset();
    {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
}

QSqlDatabase SiteDatabase::connection() const {
    return QSqlDatabase::database(m_connectionName, false);
}

void SiteDatabase::exec(const QString& sql) {
    QSqlQuery query(connection());
    query.setForwardOnly(true);
    if (!query.exec(sql)) throw Error(errorText(query.lastError()));
}

void SiteDatabase::beginTransaction() {
    QSqlDatabase db = connection();
    if (!db.transaction()) throw Error("Cannot start a transaction: " + errorText(db.lastError()));
}

void SiteDatabase::commit() {
    QSqlDatabase db = connection();
    if (!db.commit()) throw Error("Cannot commit: " + errorText(db.lastError()));
}

void SiteDatabase::rollback() noexcept {
    try {
        connection().rollback();
    } catch (...) {
    }
}

std::string SiteDatabase::errorText(const QSqlError& error) const {
    // Drivers report multi-line texts (libpq's connection losses) and Qt may append an empty
    // "()" for a missing error code; the message becomes one line without either.
    auto clean = [](QString text) {
        text = text.simplified();
        if (text.endsWith(QStringLiteral(" ()"))) text.chop(3);
        if (text == QStringLiteral("()")) text.clear();
        return text;
    };
    QString text = clean(error.databaseText());
    if (text.isEmpty()) text = clean(error.text());
    if (text.isEmpty()) text = QStringLiteral("Unknown database error");
    // PostgreSQL's lock_not_available and SQL Server's lock request timeout.
    const QString code = error.nativeErrorCode();
    if (code == QLatin1String("55P03") || code == QLatin1String("1222") ||
        text.contains(QLatin1String("lock timeout"), Qt::CaseInsensitive))
        text = QStringLiteral("Gave up after waiting %1 s for a lock held by another session: %2")
                   .arg(m_lockWaitSeconds)
                   .arg(text);
    if (m_watch && m_watch->tripped())
        text = QStringLiteral(
                   "The site database server stopped answering (nothing for %1 s, "
                   "and no sign of life on a new connection): %2")
                   .arg(kServerSilenceSeconds)
                   .arg(text);
    return redact(text.toStdString());
}

std::string SiteDatabase::redact(const std::string& text) const {
    static const QRegularExpression kPasswordPair(
        QStringLiteral("\\b(PWD|PASSWORD)\\s*=\\s*(\\{[^}]*\\}|[^;\\s]*)"),
        QRegularExpression::CaseInsensitiveOption);
    QString result = QString::fromStdString(text);
    result.replace(kPasswordPair, QStringLiteral("\\1=***"));
    if (!m_settings.password.empty())
        result.replace(QString::fromStdString(m_settings.password), QStringLiteral("***"));
    return result.toStdString();
}

}  // namespace dormex::sitelib
