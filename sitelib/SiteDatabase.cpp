#include "SiteDatabase.h"

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QUrl>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/Error.h"
#include "platform/Profile.h"

namespace dormex::sitelib {
namespace {

// Seconds a connection attempt to a server may take before it gives up.
constexpr int kLoginTimeoutSeconds = 10;
// TCP keep-alives on a server connection: the first probe after 10 s without traffic, then every
// 5 s, and the connection is given up after 4 unanswered probes (30 s). Data the server has not
// acknowledged for 30 s ends the connection too.
constexpr int kKeepaliveIdleSeconds = 10;
constexpr int kKeepaliveIntervalSeconds = 5;
constexpr int kKeepaliveCount = 4;
constexpr int kTcpUserTimeoutMs = 30000;
// The largest lock wait DORMEX_LOCK_WAIT accepts: one day.
constexpr int kMaxLockWaitSeconds = 86400;

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

// The SQL flavour behind an open connection.
Dialect dialectOf(Driver driver, const QSqlDatabase& db) {
    switch (driver) {
        case Driver::Sqlite:
            return Dialect::Sqlite;
        case Driver::Postgres:
            return Dialect::Postgres;
        case Driver::Odbc:
            break;
    }
    switch (db.driver()->dbmsType()) {
        case QSqlDriver::PostgreSQL:
            return Dialect::Postgres;
        case QSqlDriver::SQLite:
            return Dialect::Sqlite;
        default:
            return Dialect::Other;
    }
}

// Serialises creating sockets between a connection being opened (which finds its own sockets as
// the ones that appeared while it opened) and the watches' probes.
std::mutex& socketCreationMutex() {
    static std::mutex mutex;
    return mutex;
}

// One TCP socket of a connection, known by its descriptor and its local address (the descriptor
// number alone may be reused once the driver closes the socket).
struct TcpSocket {
    int fd = -1;
    sockaddr_storage local{};
    socklen_t localLength = 0;
    sockaddr_storage peer{};
    socklen_t peerLength = 0;
};

// The descriptor as a connected TCP socket; nothing when it is anything else.
std::optional<TcpSocket> connectedTcp(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return std::nullopt;
    int domain = 0;
    int type = 0;
    socklen_t length = sizeof domain;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 ||
        (domain != AF_INET && domain != AF_INET6))
        return std::nullopt;
    length = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
        return std::nullopt;
    TcpSocket socket;
    socket.fd = fd;
    socket.localLength = sizeof socket.local;
    socket.peerLength = sizeof socket.peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&socket.local), &socket.localLength) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&socket.peer), &socket.peerLength) != 0)
        return std::nullopt;
    return socket;
}

// Every connected TCP socket of this process, by descriptor.
std::map<int, TcpSocket> tcpSockets() {
    std::map<int, TcpSocket> sockets;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return sockets;
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == own) continue;
        if (auto socket = connectedTcp(static_cast<int>(fd))) sockets[socket->fd] = *socket;
    }
    ::closedir(dir);
    return sockets;
}

// True while the descriptor is still the socket it was when found.
bool stillTheSame(const TcpSocket& socket) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    return ::getsockname(socket.fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
           length == socket.localLength && std::memcmp(&local, &socket.local, length) == 0;
}

// Turns on the keep-alives and the user timeout above; for drivers that set none of their own.
void keepAlive(int fd) {
    const int on = 1;
    const int idle = kKeepaliveIdleSeconds;
    const int interval = kKeepaliveIntervalSeconds;
    const int count = kKeepaliveCount;
    const unsigned userTimeout = kTcpUserTimeoutMs;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
}

// Milliseconds since data last went out on the socket when nothing has come back since; 0 when
// the last data came in later (no request is waiting) or the socket cannot tell. The times count
// in clock ticks: a request sent in the tick its predecessor's answer came in counts as waiting,
// and so does an idle connection whose last exchange fitted into one tick (its probe finds the
// server answering).
unsigned unansweredMs(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        info.tcpi_state != TCP_ESTABLISHED)
        return 0;
    return info.tcpi_last_data_sent <= info.tcpi_last_data_recv ? info.tcpi_last_data_sent : 0;
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

// Watches the TCP sockets of one server connection from a thread of its own. When a request has
// had no answer for kServerSilenceSeconds, it asks the same address for a sign of life on a new
// connection (PostgreSQL: the one-byte answer to an SSL request, which needs no login; other
// servers: accepting the connection). Without one within kServerProbeSeconds it shuts the
// connection's sockets down, so the waiting statement fails at once. A server that answers the
// probe is busy, not gone: a long statement is never cut.
class SiteDatabase::ServerWatch {
public:
    ServerWatch(std::vector<TcpSocket> sockets, bool postgres)
        : m_sockets(std::move(sockets)), m_postgres(postgres), m_thread([this] { run(); }) {}
    ~ServerWatch() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    ServerWatch(const ServerWatch&) = delete;
    ServerWatch& operator=(const ServerWatch&) = delete;

    // True once the watch has cut the connection.
    bool tripped() const { return m_tripped; }

private:
    using Clock = std::chrono::steady_clock;

    void run() {
        Clock::time_point nextProbe{};
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_stop.load(); })) {
            std::vector<TcpSocket> live;
            unsigned quietMs = 0;
            for (const TcpSocket& socket : m_sockets) {
                if (!stillTheSame(socket)) continue;
                live.push_back(socket);
                quietMs = std::max(quietMs, unansweredMs(socket.fd));
            }
            m_sockets = live;
            if (m_sockets.empty()) return;
            if (quietMs < kServerSilenceSeconds * 1000u || Clock::now() < nextProbe) continue;
            const TcpSocket target = m_sockets.front();
            lock.unlock();
            const bool answered = probe(target);
            lock.lock();
            if (m_stop) return;
            if (answered) {
                nextProbe = Clock::now() + std::chrono::seconds(kServerSilenceSeconds);
                continue;
            }
            m_tripped = true;
            for (const TcpSocket& socket : m_sockets) {
                if (stillTheSame(socket)) ::shutdown(socket.fd, SHUT_RDWR);
            }
            return;
        }
    }

    // Waits until `fd` reports `events`, the deadline passes or the watch stops.
    bool await(int fd, short events, Clock::time_point deadline) const {
        while (!m_stop && Clock::now() < deadline) {
            pollfd entry{fd, events, 0};
            const int ready = ::poll(&entry, 1, 100);
            if (ready > 0) return true;
            if (ready < 0 && errno != EINTR) return false;
        }
        return false;
    }

    // True when something at the connection's address answers a new connection in time (or the
    // watch stops meanwhile: then nothing is to be cut).
    bool probe(const TcpSocket& target) const {
        std::lock_guard<std::mutex> creating(socketCreationMutex());
        const int fd =
            ::socket(target.peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return true;
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(kServerProbeSeconds);
        bool answered = false;
        if ((::connect(fd, reinterpret_cast<const sockaddr*>(&target.peer), target.peerLength) ==
                 0 ||
             errno == EINPROGRESS) &&
            await(fd, POLLOUT, deadline)) {
            int error = 0;
            socklen_t length = sizeof error;
            const bool connected =
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
            if (connected && !m_postgres) answered = true;
            // PostgreSQL's SSLRequest: length 8, code 80877103; the server answers one byte.
            static const unsigned char kSslRequest[8] = {0, 0, 0, 8, 0x04, 0xD2, 0x16, 0x2F};
            if (connected && m_postgres &&
                ::send(fd, kSslRequest, sizeof kSslRequest, MSG_NOSIGNAL) ==
                    static_cast<ssize_t>(sizeof kSslRequest) &&
                await(fd, POLLIN, deadline)) {
                char byte = 0;
                answered = ::recv(fd, &byte, 1, 0) == 1;
            }
        }
        const bool stopped = m_stop;
        ::close(fd);
        return answered || stopped;
    }

    std::vector<TcpSocket> m_sockets;
    const bool m_postgres;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_tripped{false};
    std::thread m_thread;  // last: it starts once everything above is ready
};

SiteDatabase::SiteDatabase(const ConnectionSettings& settings, OpenMode mode)
    : m_settings(settings), m_connectionName(newConnectionName()) {
    std::string userOptions = settings.options;
    m_lockWaitSeconds = takeLockWait(userOptions);
    const QString user = QString::fromStdString(userOptions);
    const bool server = settings.driver != Driver::Sqlite;
    std::string failure;
    std::vector<TcpSocket> sockets;
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
                        QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(m_lockWaitSeconds * 1000);
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
                    db.setConnectOptions(joinOptions({options, user}));
                    break;
                }
                case Driver::Postgres:
                    db.setDatabaseName(QString::fromStdString(settings.database));
                    db.setConnectOptions(joinOptions(
                        {QStringLiteral("connect_timeout=%1;keepalives=1;keepalives_idle=%2;"
                                        "keepalives_interval=%3;keepalives_count=%4;"
                                        "tcp_user_timeout=%5")
                             .arg(kLoginTimeoutSeconds)
                             .arg(kKeepaliveIdleSeconds)
                             .arg(kKeepaliveIntervalSeconds)
                             .arg(kKeepaliveCount)
                             .arg(kTcpUserTimeoutMs),
                         user}));
                    break;
                case Driver::Odbc:
                    db.setDatabaseName(QString::fromStdString(settings.database));
                    // The read-only access mode comes last: no option may undo it.
                    db.setConnectOptions(joinOptions(
                        {QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(kLoginTimeoutSeconds),
                         user,
                         settings.readOnly
                             ? QStringLiteral("SQL_ATTR_ACCESS_MODE=SQL_MODE_READ_ONLY")
                             : QString()}));
                    break;
            }
            if (failure.empty()) {
                if (!settings.host.empty()) db.setHostName(QString::fromStdString(settings.host));
                if (settings.port > 0) db.setPort(settings.port);
                if (!settings.user.empty()) db.setUserName(QString::fromStdString(settings.user));
                if (!settings.password.empty())
                    db.setPassword(QString::fromStdString(settings.password));
                bool opened = false;
                if (server) {
                    // The connection's sockets are the TCP sockets that appear while it opens.
                    std::lock_guard<std::mutex> creating(socketCreationMutex());
                    const std::map<int, TcpSocket> before = tcpSockets();
                    opened = db.open();
                    for (const auto& [fd, socket] : tcpSockets()) {
                        if (!before.count(fd)) sockets.push_back(socket);
                    }
                } else {
                    opened = db.open();
                }
                if (!opened) {
                    failure = "Cannot connect to the site database: " + errorText(db.lastError());
                } else {
                    m_dialect = dialectOf(settings.driver, db);
                    failure = prepareSession(db);
                }
            }
            if (!failure.empty()) db.close();
        }
    }
    if (!failure.empty()) {
        QSqlDatabase::removeDatabase(m_connectionName);
        throw Error(redact(failure));
    }
    if (!sockets.empty()) {
        if (settings.driver == Driver::Odbc) {
            for (const TcpSocket& socket : sockets) keepAlive(socket.fd);
        }
        m_watch = std::make_unique<ServerWatch>(std::move(sockets), m_dialect == Dialect::Postgres);
    }
}

std::string SiteDatabase::prepareSession(QSqlDatabase& db) {
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
            return "Cannot use the site database" + where + ": " + errorText(query.lastError());
        }
    }
    return {};
}

SiteDatabase::~SiteDatabase() {
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
