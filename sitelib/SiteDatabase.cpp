#include "SiteDatabase.h"

#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QUrl>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "platform/Error.h"
#include "platform/Profile.h"

namespace dormex::sitelib {
namespace {

// Seconds a connection attempt to a server may take before it gives up.
constexpr int kLoginTimeoutSeconds = 10;
// Milliseconds SQLite waits for another connection's lock before failing.
constexpr int kSqliteBusyTimeoutMs = 10000;

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return {};
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

// Appends the caller's options after ours: later options override earlier ones in every driver.
QString joinOptions(const QString& defaults, const std::string& userOptions) {
    QString user = QString::fromStdString(trimmed(userOptions));
    if (user.isEmpty()) return defaults;
    return defaults + QLatin1Char(';') + user;
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

const char* driverName(Driver driver) {
    switch (driver) {
        case Driver::Sqlite:
            return "QSQLITE";
        case Driver::Postgres:
            return "QPSQL";
        case Driver::Odbc:
            return "QODBC";
    }
    return "QSQLITE";
}

Driver parseDriver(const std::string& name) {
    const std::string key = upper(trimmed(name));
    if (key.empty() || key == "QSQLITE") return Driver::Sqlite;
    if (key == "QPSQL") return Driver::Postgres;
    if (key == "QODBC") return Driver::Odbc;
    throw Error("Unsupported site database driver '" + name + "': use QSQLITE, QPSQL or QODBC");
}

ConnectionSettings readRegistration(const std::string& programDir) {
    const std::string path = programDir + kRegistrationFile;
    auto read = [&](const char* key) {
        return platform::ProfileRead(path, kRegistrationSection, key);
    };
    ConnectionSettings settings;
    try {
        settings.driver = parseDriver(read("Driver"));
    } catch (const Error& e) {
        throw Error(std::string(e.what()) + " (in " + path + ")");
    }
    settings.database = read("Database");
    if (settings.driver == Driver::Sqlite) {
        if (settings.database.empty()) settings.database = kDefaultSqliteFile;
        if (settings.database.front() != '/') settings.database = programDir + settings.database;
        settings.database = absolutePath(settings.database);
    }
    settings.host = read("Host");
    const std::string port = read("Port");
    if (!port.empty()) {
        size_t used = 0;
        long value = 0;
        try {
            value = std::stol(port, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != port.size() || value < 1 || value > 65535)
            throw Error("Invalid Port '" + port + "' in " + path);
        settings.port = static_cast<int>(value);
    }
    settings.user = read("User");
    settings.password = read("Password");
    settings.options = read("Options");
    return settings;
}

SiteDatabase::SiteDatabase(const ConnectionSettings& settings, OpenMode mode)
    : m_settings(settings), m_connectionName(newConnectionName()) {
    std::string failure;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QLatin1String(driverName(settings.driver)), m_connectionName);
        if (!db.isValid()) {
            failure = std::string("The Qt SQL driver ") + driverName(settings.driver) +
                      " is not available";
        } else {
            switch (settings.driver) {
                case Driver::Sqlite: {
                    const std::string path = absolutePath(settings.database);
                    const QString qpath = QString::fromStdString(path);
                    QString options =
                        QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kSqliteBusyTimeoutMs);
                    if (mode == OpenMode::Existing) {
                        std::error_code error;
                        if (!std::filesystem::is_regular_file(path, error)) {
                            failure = "Site database not found: " + path;
                            break;
                        }
                        // mode=rw opens read-write but never creates, even if the file vanished
                        // since the check above.
                        db.setDatabaseName(QUrl::fromLocalFile(qpath).toString(QUrl::FullyEncoded) +
                                           QStringLiteral("?mode=rw"));
                        options += QStringLiteral(";QSQLITE_OPEN_URI");
                    } else {
                        db.setDatabaseName(qpath);
                    }
                    db.setConnectOptions(joinOptions(options, settings.options));
                    break;
                }
                case Driver::Postgres:
                    db.setDatabaseName(QString::fromStdString(settings.database));
                    db.setConnectOptions(
                        joinOptions(QStringLiteral("connect_timeout=%1").arg(kLoginTimeoutSeconds),
                                    settings.options));
                    break;
                case Driver::Odbc:
                    db.setDatabaseName(QString::fromStdString(settings.database));
                    db.setConnectOptions(joinOptions(
                        QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(kLoginTimeoutSeconds),
                        settings.options));
                    break;
            }
            if (failure.empty()) {
                if (!settings.host.empty()) db.setHostName(QString::fromStdString(settings.host));
                if (settings.port > 0) db.setPort(settings.port);
                if (!settings.user.empty()) db.setUserName(QString::fromStdString(settings.user));
                if (!settings.password.empty())
                    db.setPassword(QString::fromStdString(settings.password));
                if (!db.open()) {
                    failure = "Cannot connect to the site database: " + errorText(db.lastError());
                } else if (settings.driver == Driver::Sqlite) {
                    // SQLite opens lazily: reading the schema version proves the file is a
                    // database (and waits out an exclusive lock like any statement). In WAL mode
                    // synchronous=NORMAL spares every one-statement commit its own disk flush.
                    QSqlQuery probe(db);
                    if (!probe.exec(QStringLiteral("PRAGMA schema_version")) ||
                        !probe.exec(QStringLiteral("PRAGMA synchronous = NORMAL")))
                        failure = "Cannot use the site database " +
                                  absolutePath(settings.database) + ": " +
                                  errorText(probe.lastError());
                }
            }
            if (failure.empty()) {
                switch (settings.driver) {
                    case Driver::Sqlite:
                        m_dialect = Dialect::Sqlite;
                        break;
                    case Driver::Postgres:
                        m_dialect = Dialect::Postgres;
                        break;
                    case Driver::Odbc:
                        switch (db.driver()->dbmsType()) {
                            case QSqlDriver::PostgreSQL:
                                m_dialect = Dialect::Postgres;
                                break;
                            case QSqlDriver::SQLite:
                                m_dialect = Dialect::Sqlite;
                                break;
                            default:
                                m_dialect = Dialect::Other;
                                break;
                        }
                        break;
                }
            }
            if (!failure.empty()) db.close();
        }
    }
    if (!failure.empty()) {
        QSqlDatabase::removeDatabase(m_connectionName);
        throw Error(redact(failure));
    }
}

SiteDatabase::~SiteDatabase() {
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
