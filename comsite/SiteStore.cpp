#include "SiteStore.h"

#include <windows.h>

#include <cctype>
#include <ctime>
#include <cwctype>
#include <utility>

#include "DatabaseRegistration.h"
#include "DemoSite.h"
#include "SiteTables.h"
#include "platform/Profile.h"
#include "platform/Text.h"
#include "platform/Utf.h"
#include "sqlite3.h"

namespace dormexsite {
namespace {

namespace standin = dormex::standin;
using dormex::platform::toUtf8;
using dormex::platform::toWide;

std::wstring upper(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

std::wstring trimmed(const std::wstring& text) {
    const size_t begin = text.find_first_not_of(L" \t\r\n");
    if (begin == std::wstring::npos) return {};
    return text.substr(begin, text.find_last_not_of(L" \t\r\n") - begin + 1);
}

bool isRelative(const std::wstring& path) {
    if (path.size() >= 2 && path[1] == L':') return false;
    return path.empty() || (path[0] != L'\\' && path[0] != L'/');
}

std::wstring fullPath(const std::wstring& path) {
    wchar_t buffer[MAX_PATH * 4];
    const DWORD n = GetFullPathNameW(path.c_str(), ARRAYSIZE(buffer), buffer, nullptr);
    return n > 0 && n < ARRAYSIZE(buffer) ? std::wstring(buffer, n) : path;
}

// A database message as one line: runs of blanks and line breaks become one blank.
std::string oneLine(const char* text) {
    std::string out;
    for (const char* p = text ? text : ""; *p; ++p) {
        const bool blank = *p == ' ' || *p == '\t' || *p == '\r' || *p == '\n';
        if (blank) {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            out += *p;
        }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out.empty() ? "Unknown database error" : out;
}

constexpr std::int32_t kPendingArgs[3] = {0, 1, 0};

// The variant type a provider gives a column declared as `declared`, by the declaration's first
// word (see ResultRows).
VARTYPE declaredType(const char* declared) {
    std::string word;
    for (const char* p = declared ? declared : ""; std::isalpha(static_cast<unsigned char>(*p));
         ++p)
        word += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    static const std::pair<const char*, VARTYPE> kTypes[] = {
        {"TINYINT", VT_UI1},   {"SMALLINT", VT_I2},     {"INT", VT_I4},          {"INTEGER", VT_I4},
        {"BIGINT", VT_I8},     {"DECIMAL", VT_DECIMAL}, {"NUMERIC", VT_DECIMAL}, {"MONEY", VT_CY},
        {"REAL", VT_R4},       {"FLOAT", VT_R8},        {"DOUBLE", VT_R8},       {"BIT", VT_BOOL},
        {"DATETIME", VT_DATE}, {"DATE", VT_DATE}};
    for (const auto& [name, type] : kTypes)
        if (word == name) return type;
    return VT_EMPTY;
}

// Column `column` of the statement's current row as SQLite stores it; bytes are taken as UTF-8
// text, as the Linux stand-in takes them.
Cell cellAt(sqlite3_stmt* statement, int column) {
    Cell cell;
    switch (sqlite3_column_type(statement, column)) {
        case SQLITE_INTEGER:
            cell.type = Cell::Type::Integer;
            cell.integer = sqlite3_column_int64(statement, column);
            break;
        case SQLITE_FLOAT:
            cell.type = Cell::Type::Real;
            cell.real = sqlite3_column_double(statement, column);
            break;
        case SQLITE_TEXT: {
            cell.type = Cell::Type::Text;
            const void* text = sqlite3_column_text16(statement, column);
            const int bytes = sqlite3_column_bytes16(statement, column);
            if (text)
                cell.text.assign(static_cast<const wchar_t*>(text),
                                 static_cast<size_t>(bytes) / sizeof(wchar_t));
            break;
        }
        case SQLITE_BLOB: {
            cell.type = Cell::Type::Text;
            const void* blob = sqlite3_column_blob(statement, column);
            const int bytes = sqlite3_column_bytes(statement, column);
            if (blob)
                cell.text =
                    toWide(std::string(static_cast<const char*>(blob), static_cast<size_t>(bytes)));
            break;
        }
        default:
            break;
    }
    return cell;
}

// Inserts each table's rows through a prepared statement of its own; runs other statements.
// Failures throw StoreError with the database's message.
class SqliteInserter : public standin::RowInserter {
public:
    explicit SqliteInserter(sqlite3* db) : m_db(db) {}

    void insert(const standin::Table& table, const std::vector<standin::Row>& rows) override {
        const std::string sql = standin::insertStatement(table, standin::Dialect::Sqlite, 1);
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) fail();
        const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw,
                                                                              sqlite3_finalize);
        for (const standin::Row& row : rows) {
            for (size_t i = 0; i < row.size(); ++i) bind(raw, static_cast<int>(i) + 1, row[i]);
            if (sqlite3_step(raw) != SQLITE_DONE) fail();
            sqlite3_reset(raw);
        }
    }

    // Runs `sql`, a statement whose rows are not wanted.
    void exec(const std::string& sql) {
        if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) fail();
    }

private:
    static void bind(sqlite3_stmt* s, int index, const standin::Value& value) {
        if (const auto* number = std::get_if<std::int64_t>(&value))
            sqlite3_bind_int64(s, index, *number);
        else if (const auto* text = std::get_if<std::string>(&value))
            sqlite3_bind_text(s, index, text->c_str(), -1, SQLITE_TRANSIENT);
        else
            sqlite3_bind_null(s, index);
    }
    [[noreturn]] void fail() { throw StoreError(oneLine(sqlite3_errmsg(m_db))); }

    sqlite3* m_db;
};

}  // namespace

StoreSettings readStoreSettings(const std::wstring& programDir) {
    const auto registration = standin::readDatabaseRegistration(toUtf8(programDir));
    const std::wstring driver = toWide(registration.driver);
    if (!driver.empty() && upper(driver) != L"QSQLITE")
        throw StoreError("Unsupported site database driver '" + toUtf8(driver) +
                         "': this site library supports QSQLITE only (in " + registration.file +
                         ")");
    StoreSettings settings;
    settings.demoSite = dormex::platform::equalsIgnoringAsciiCase(
        dormex::platform::ProfileRead(registration.file, "Database", "DemoSite"), "True");
    std::wstring database = toWide(registration.database);
    if (database.empty()) database = L"site.db";
    if (isRelative(database)) database = programDir + database;
    settings.path = fullPath(database);
    registration.portNumber();  // checked as on Linux, though no server is reached here
    // Options: "name=value" pairs separated by ';'; only the busy timeout means anything here.
    const std::wstring options = toWide(registration.options);
    size_t start = 0;
    while (start <= options.size()) {
        size_t end = options.find(L';', start);
        if (end == std::wstring::npos) end = options.size();
        const std::wstring option = trimmed(options.substr(start, end - start));
        const std::wstring name = L"QSQLITE_BUSY_TIMEOUT=";
        if (upper(option).rfind(name, 0) == 0) {
            try {
                settings.busyTimeoutMs = std::stoi(option.substr(name.size()));
            } catch (const std::exception&) {
            }
        }
        start = end + 1;
    }
    return settings;
}

// A prepared statement kept for the connection's life; reset after each use.
class SiteStore::Statement {
public:
    explicit Statement(sqlite3_stmt* statement) : m_statement(statement) {}
    ~Statement() { sqlite3_finalize(m_statement); }
    sqlite3_stmt* get() const { return m_statement; }

private:
    sqlite3_stmt* m_statement;
};

void createDemoSite(const std::wstring& path, std::time_t now) {
    sqlite3* db = nullptr;
    const std::string file = toUtf8(path);
    std::optional<std::string> failure;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        failure = oneLine(db ? sqlite3_errmsg(db) : "out of memory");
    } else {
        try {
            SqliteInserter site(db);
            site.exec("PRAGMA journal_mode = WAL");
            site.exec("BEGIN");
            for (const std::string& statement : standin::schemaStatements(standin::Dialect::Sqlite))
                site.exec(statement);
            standin::writeDemoSite(standin::DemoSite::TrialKit, now, site);
            site.exec("COMMIT");
        } catch (const std::exception& e) {
            failure = e.what();
        }
    }
    sqlite3_close(db);
    if (failure) {
        DeleteFileW(path.c_str());
        throw StoreError("Cannot create the demo site " + file + ": " + *failure);
    }
}

SiteStore::SiteStore(const StoreSettings& settings) : m_path(settings.path) {
    if (settings.demoSite && GetFileAttributesW(m_path.c_str()) == INVALID_FILE_ATTRIBUTES &&
        GetLastError() == ERROR_FILE_NOT_FOUND)
        createDemoSite(m_path, std::time(nullptr));
    const DWORD attributes = GetFileAttributesW(m_path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw StoreError("Site database not found: " + toUtf8(m_path));
    // Read-write, never created: the file may have vanished since the check above.
    const int rc = sqlite3_open_v2(toUtf8(m_path).c_str(), &m_db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = m_db ? oneLine(sqlite3_errmsg(m_db)) : "out of memory";
        sqlite3_close(m_db);
        m_db = nullptr;
        throw StoreError("Cannot connect to the site database: " + message);
    }
    sqlite3_busy_timeout(m_db, settings.busyTimeoutMs);
    // Proves the file is a database and, in WAL mode, spares each commit its own disk flush.
    char* error = nullptr;
    if (sqlite3_exec(m_db, "PRAGMA schema_version; PRAGMA synchronous = NORMAL", nullptr, nullptr,
                     &error) != SQLITE_OK) {
        const std::string message = oneLine(error ? error : sqlite3_errmsg(m_db));
        sqlite3_free(error);
        sqlite3_close(m_db);
        m_db = nullptr;
        throw StoreError("Cannot use the site database " + toUtf8(m_path) + ": " + message);
    }
}

SiteStore::~SiteStore() {
    m_find.reset();
    m_save.reset();
    m_insert.reset();
    m_complete.reset();
    sqlite3_close(m_db);
}

void SiteStore::fail(const std::string& prefix) {
    throw StoreError(prefix + oneLine(sqlite3_errmsg(m_db)));
}

void SiteStore::exec(const char* sql) {
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail();
}

SiteStore::Statement& SiteStore::prepared(std::unique_ptr<Statement>& slot, const char* sql) {
    if (!slot) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr) != SQLITE_OK) fail();
        slot = std::make_unique<Statement>(statement);
    }
    sqlite3_reset(slot->get());
    return *slot;
}

ResultRows SiteStore::run(const std::wstring& sql) {
    sqlite3_stmt* raw = nullptr;
    const void* tail = nullptr;
    if (sqlite3_prepare16_v2(m_db, sql.c_str(), static_cast<int>(sql.size() * sizeof(wchar_t)),
                             &raw, &tail) != SQLITE_OK)
        fail();
    Statement statement(raw);
    // Only one statement at a time, as the Linux stand-in's driver allows.
    for (const wchar_t* rest = static_cast<const wchar_t*>(tail);
         rest && rest < sql.c_str() + sql.size(); ++rest) {
        if (!std::iswspace(*rest) && *rest != L';')
            throw StoreError("Unable to execute multiple statements at a time");
    }
    ResultRows rows;
    const int columns = raw ? sqlite3_column_count(raw) : 0;
    rows.isSelect = columns > 0;
    for (int i = 0; i < columns; ++i) {
        const void* name = sqlite3_column_name16(raw, i);
        rows.names.emplace_back(name ? static_cast<const wchar_t*>(name) : L"");
        rows.types.push_back(declaredType(sqlite3_column_decltype(raw, i)));
    }
    while (raw) {
        const int rc = sqlite3_step(raw);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) fail();
        for (int i = 0; i < columns; ++i) rows.cells.push_back(cellAt(raw, i));
    }
    return rows;
}

std::vector<SiteStore::CardState> SiteStore::findCards(std::int64_t keyNumber) {
    sqlite3_stmt* s = prepared(m_find,
                               "SELECT CardID, Active, CardStatus, StatusReason FROM Keycards "
                               "WHERE KeyNumber = ? ORDER BY CardID")
                          .get();
    sqlite3_bind_int64(s, 1, keyNumber);
    std::vector<CardState> cards;
    for (;;) {
        const int rc = sqlite3_step(s);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) {
            sqlite3_reset(s);
            fail();
        }
        cards.push_back({sqlite3_column_int64(s, 0), sqlite3_column_int(s, 1),
                         sqlite3_column_int(s, 2), sqlite3_column_int(s, 3)});
    }
    // Ends the read at once: a read left open would block other writers.
    sqlite3_reset(s);
    return cards;
}

std::int64_t SiteStore::insertDownload(std::int64_t cardId, std::int32_t a, std::int32_t b,
                                       std::int32_t c, std::time_t now) {
    sqlite3_stmt* s = prepared(m_insert,
                               "INSERT INTO CardDownloads (CardID, Arg1, Arg2, Arg3, QueuedAt) "
                               "VALUES (?, ?, ?, ?, ?)")
                          .get();
    const std::string stamp = standin::formatLocalTime(now);
    sqlite3_bind_int64(s, 1, cardId);
    sqlite3_bind_int(s, 2, a);
    sqlite3_bind_int(s, 3, b);
    sqlite3_bind_int(s, 4, c);
    sqlite3_bind_text(s, 5, stamp.c_str(), -1, SQLITE_TRANSIENT);
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) fail();
    return sqlite3_last_insert_rowid(m_db);
}

SiteStore::PendingDownload SiteStore::saveCard(const CardState& card) {
    const std::time_t now = std::time(nullptr);
    sqlite3_stmt* s = prepared(m_save,
                               "UPDATE Keycards SET Active = ?, CardStatus = ?, StatusReason = ? "
                               "WHERE CardID = ?")
                          .get();
    sqlite3_bind_int(s, 1, card.active);
    sqlite3_bind_int(s, 2, card.cardStatus);
    sqlite3_bind_int(s, 3, card.statusReason);
    sqlite3_bind_int64(s, 4, card.cardId);
    exec("BEGIN");
    try {
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        if (rc != SQLITE_DONE) fail();
        if (sqlite3_changes(m_db) == 0)
            throw StoreError("Card " + std::to_string(card.cardId) +
                             " no longer exists in Keycards");
        const std::int64_t id =
            insertDownload(card.cardId, kPendingArgs[0], kPendingArgs[1], kPendingArgs[2], now);
        if (sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
            fail("Cannot commit: ");
        return {id, now};
    } catch (...) {
        if (!sqlite3_get_autocommit(m_db))
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void SiteStore::queueDownload(std::int64_t cardId, const std::optional<PendingDownload>& pending,
                              std::int32_t a, std::int32_t b, std::int32_t c) {
    const std::time_t now = std::time(nullptr);
    if (pending && a == kPendingArgs[0] && b == kPendingArgs[1] && c == kPendingArgs[2] &&
        now == pending->savedAt)
        return;
    if (pending) {
        sqlite3_stmt* s = prepared(m_complete,
                                   "UPDATE CardDownloads SET Arg1 = ?, Arg2 = ?, Arg3 = ?, "
                                   "QueuedAt = ? WHERE DownloadID = ?")
                              .get();
        const std::string stamp = standin::formatLocalTime(now);
        sqlite3_bind_int(s, 1, a);
        sqlite3_bind_int(s, 2, b);
        sqlite3_bind_int(s, 3, c);
        sqlite3_bind_text(s, 4, stamp.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(s, 5, pending->downloadId);
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        if (rc != SQLITE_DONE) fail();
        if (sqlite3_changes(m_db) > 0) return;
    }
    insertDownload(cardId, a, b, c, now);
}

}  // namespace dormexsite
