#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <memory>
#include <string>

#include "CardRows.h"

// The database behind the stand-in site object library: where it is (the registration), one open
// connection to it, and its schema. Everything here throws dormex::Error on failure; no message
// ever contains the connection's password.
namespace dormex::sitelib {

class ServerWatch;

enum class Driver { Sqlite, Postgres, Odbc };

// The Qt driver name: "QSQLITE", "QPSQL" or "QODBC".
const char* driverName(Driver driver);

// "QSQLITE", "QPSQL" or "QODBC" in any case; empty text gives QSQLITE. Anything else throws
// Error("Unsupported site database driver '<name>' ...").
Driver parseDriver(const std::string& name);

// Where the site database is and how to reach it.
struct ConnectionSettings {
    Driver driver = Driver::Sqlite;
    // SQLite: the file's path. QPSQL: the database name. QODBC: a DSN or a whole connection
    // string (one containing DRIVER= or SERVER=).
    std::string database;
    std::string host;
    int port = -1;  // -1: the driver's default
    std::string user;
    std::string password;
    // Qt connect options, separated by ';'. They are applied after this library's own defaults
    // (busy, login and keep-alive timeouts), so an option given here wins. One option is this
    // library's own and never reaches Qt: DORMEX_LOCK_WAIT=<seconds> (see kDefaultLockWaitSeconds).
    std::string options;
    // True: the connection refuses every change to the database (the preview's connection).
    bool readOnly = false;
};

// Seconds a statement waits for a lock held by another session before it fails, on every
// backend (SQLite's busy timeout, PostgreSQL's lock_timeout, SQL Server's LOCK_TIMEOUT), unless
// the options give DORMEX_LOCK_WAIT=<seconds> (1 to 86400).
inline constexpr int kDefaultLockWaitSeconds = 10;
// The registration beside the program (standin::readDatabaseRegistration): a missing file or key
// gives the defaults (QSQLITE, "site.db"). A relative SQLite path is taken from `programDir`. A
// bad Driver or Port throws Error.
ConnectionSettings readRegistration(const std::string& programDir);

// The SQL flavour of the connected database, which decides the schema's column types and the
// card store's statements.
using Dialect = standin::CardDialect;

// One open connection under a connection name of its own. Not copyable; destroying it closes
// the connection and removes its name, so every QSqlQuery made on it must be gone first.
class SiteDatabase {
public:
    enum class OpenMode {
        Existing,  // a missing SQLite file fails: "Site database not found: <full path>"
        Create,    // a missing SQLite file is created (for the site tool)
    };

    // Opens the connection. Fails with the driver's message (an unreachable server within about
    // ten seconds). Every statement then waits at most the lock wait for another session's lock;
    // on a server connection TCP keep-alives and a ServerWatch on unanswered requests end any
    // wait for a server that stopped answering.
    explicit SiteDatabase(const ConnectionSettings& settings, OpenMode mode = OpenMode::Existing);
    ~SiteDatabase();
    SiteDatabase(const SiteDatabase&) = delete;
    SiteDatabase& operator=(const SiteDatabase&) = delete;

    // A handle on the connection; drop every copy before this object goes.
    QSqlDatabase connection() const;
    Dialect dialect() const { return m_dialect; }
    const ConnectionSettings& settings() const { return m_settings; }

    // Runs one statement whose rows (if any) are not wanted. Throws Error(<database's text>).
    void exec(const QString& sql);
    void beginTransaction();
    void commit();
    // Never throws: used on the way out of a failure.
    void rollback() noexcept;

    // True when the Keycards table exists.
    bool hasSchema();
    // Creates the site tables and indexes in one transaction (SQLite and PostgreSQL only). A
    // SQLite file is switched to write-ahead logging first (a lasting property of the file).
    void createSchema();

    // The error's text as the database gave it (else Qt's text), with the password masked, on one
    // line; a lock wait that ran out and a server that stopped answering each say so first.
    std::string errorText(const QSqlError& error) const;
    // `text` with the password and any PWD=...; value masked.
    std::string redact(const std::string& text) const;

    // Seconds a statement waits for another session's lock on this connection.
    int lockWaitSeconds() const { return m_lockWaitSeconds; }

private:
    // Registers and opens the connection, then starts the server's watch. Throws; the
    // constructor then closes whatever was made.
    void open(OpenMode mode, const QString& userOptions);
    // Runs the statements every connection of the dialect needs (lock wait, durability, read-only
    // mode). Throws Error.
    void prepareSession(QSqlDatabase& db);
    // Stops the watch, closes the connection and removes its name.
    void close() noexcept;

    ConnectionSettings m_settings;
    QString m_connectionName;
    Dialect m_dialect = Dialect::Other;
    int m_lockWaitSeconds = kDefaultLockWaitSeconds;
    std::unique_ptr<ServerWatch> m_watch;
};

}  // namespace dormex::sitelib
