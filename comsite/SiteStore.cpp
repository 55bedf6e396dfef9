#include "SiteStore.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <cwctype>
#include <utility>
#include <variant>

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

// Throws StoreError with `prefix` and the connection's last message.
[[noreturn]] void fail(sqlite3* db, const std::string& prefix = {}) {
    throw StoreError(prefix + oneLine(sqlite3_errmsg(db)));
}

// Runs `sql`, a statement whose rows are not wanted.
void exec(sqlite3* db, const char* sql, const std::string& prefix = {}) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(db, prefix);
}

// A prepared statement, finalized when it goes.
struct Finalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

void bind(sqlite3_stmt* statement, int index, std::int32_t value) {
    sqlite3_bind_int(statement, index, value);
}
void bind(sqlite3_stmt* statement, int index, std::int64_t value) {
    sqlite3_bind_int64(statement, index, value);
}
void bind(sqlite3_stmt* statement, int index, const std::string& text) {
    sqlite3_bind_text(statement, index, text.c_str(), -1, SQLITE_TRANSIENT);
}

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
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) fail(m_db);
        const Statement statement(raw);
        for (const standin::Row& row : rows) {
            for (size_t i = 0; i < row.size(); ++i) {
                const int index = static_cast<int>(i) + 1;
                if (const auto* number = std::get_if<std::int64_t>(&row[i]))
                    bind(raw, index, *number);
                else if (const auto* text = std::get_if<std::string>(&row[i]))
                    bind(raw, index, *text);
                else
                    sqlite3_bind_null(raw, index);
            }
            if (sqlite3_step(raw) != SQLITE_DONE) fail(m_db);
            sqlite3_reset(raw);
        }
    }

private:
    sqlite3* m_db;
};

// The card store's SQL layer over the SQLite connection, its statements kept for the
// connection's life.
class SqliteCardSql : public standin::CardSql {
public:
    explicit SqliteCardSql(sqlite3* db) : m_db(db) {}

    standin::CardDialect dialect() const override { return standin::CardDialect::Sqlite; }

    standin::SqlOutcome run(standin::CardStatement which,
                            const std::vector<standin::SqlParam>& params,
                            bool wantInsertId) override {
        Statement& slot = m_statements[static_cast<size_t>(which)];
        if (!slot) {
            const std::string sql = standin::cardStatementSql(which, dialect());
            sqlite3_stmt* raw = nullptr;
            if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) fail(m_db);
            slot.reset(raw);
        }
        sqlite3_stmt* s = slot.get();
        for (size_t i = 0; i < params.size(); ++i)
            std::visit([&](const auto& value) { bind(s, static_cast<int>(i) + 1, value); },
                       params[i]);
        standin::SqlOutcome outcome;
        const int columns = sqlite3_column_count(s);
        for (int rc = sqlite3_step(s); rc != SQLITE_DONE; rc = sqlite3_step(s)) {
            if (rc != SQLITE_ROW) {
                sqlite3_reset(s);
                fail(m_db);
            }
            standin::IntRow& row = outcome.rows.emplace_back();
            for (int i = 0; i < columns; ++i)
                row.push_back(sqlite3_column_type(s, i) == SQLITE_NULL
                                  ? std::nullopt
                                  : std::optional<std::int64_t>(sqlite3_column_int64(s, i)));
        }
        // Ends the read at once: a read left open would block other writers.
        sqlite3_reset(s);
        outcome.affected = columns ? 0 : sqlite3_changes(m_db);
        if (wantInsertId) outcome.insertId = sqlite3_last_insert_rowid(m_db);
        return outcome;
    }

    void begin() override { exec(m_db, "BEGIN"); }
    void commit() override { exec(m_db, "COMMIT", "Cannot commit: "); }
    void rollback() noexcept override {
        if (!sqlite3_get_autocommit(m_db))
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }

private:
    sqlite3* m_db;
    Statement m_statements[static_cast<size_t>(standin::CardStatement::NewestDownload) + 1];
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
    const std::string_view options = registration.options;
    const std::wstring name = L"QSQLITE_BUSY_TIMEOUT=";
    size_t end = 0;
    for (size_t start = 0; start <= options.size(); start = end + 1) {
        end = std::min(options.find(';', start), options.size());
        const std::wstring option =
            toWide(dormex::platform::trimmed(options.substr(start, end - start)));
        if (upper(option).rfind(name, 0) != 0) continue;
        try {
            settings.busyTimeoutMs = std::stoi(option.substr(name.size()));
        } catch (const std::exception&) {
        }
    }
    return settings;
}

void createDemoSite(const std::wstring& path, std::time_t now) {
    sqlite3* db = nullptr;
    const std::string file = toUtf8(path);
    try {
        if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK)
            fail(db);
        SqliteInserter site(db);
        exec(db, "PRAGMA journal_mode = WAL");
        exec(db, "BEGIN");
        for (const std::string& statement : standin::schemaStatements(standin::Dialect::Sqlite))
            exec(db, statement.c_str());
        standin::writeDemoSite(standin::DemoSite::TrialKit, now, site);
        exec(db, "COMMIT");
    } catch (const std::exception& e) {
        sqlite3_close(db);
        DeleteFileW(path.c_str());
        throw StoreError("Cannot create the demo site " + file + ": " + e.what());
    }
    sqlite3_close(db);
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
    try {
        if (rc != SQLITE_OK) fail(m_db, "Cannot connect to the site database: ");
        sqlite3_busy_timeout(m_db, settings.busyTimeoutMs);
        // Proves the file is a database and, in WAL mode, spares each commit its own disk flush.
        exec(m_db, "PRAGMA schema_version; PRAGMA synchronous = NORMAL",
             "Cannot use the site database " + toUtf8(m_path) + ": ");
    } catch (...) {
        sqlite3_close(m_db);
        throw;
    }
    m_cards.emplace(std::make_unique<SqliteCardSql>(m_db), [] { return std::time(nullptr); });
}

// The statements are finalized after the connection is closed: it stays open until they are.
SiteStore::~SiteStore() {
    sqlite3_close_v2(m_db);
}

ResultRows SiteStore::run(const std::wstring& sql) {
    sqlite3_stmt* raw = nullptr;
    const void* tail = nullptr;
    if (sqlite3_prepare16_v2(m_db, sql.c_str(), static_cast<int>(sql.size() * sizeof(wchar_t)),
                             &raw, &tail) != SQLITE_OK)
        fail(m_db);
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
        if (rc != SQLITE_ROW) fail(m_db);
        for (int i = 0; i < columns; ++i) rows.cells.push_back(cellAt(raw, i));
    }
    return rows;
}

}  // namespace dormexsite
