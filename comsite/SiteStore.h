#pragma once

#include <windows.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "CardStore.h"

struct sqlite3;
struct sqlite3_stmt;

// The stand-in site library's database: one SQLite connection, found through "SiteLibrary.ini"
// beside the program as the Linux stand-in finds it, with the same card operations. Everything
// here throws StoreError on failure.
namespace dormexsite {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One value of a result as SQLite stores it: Integer (int64), Real, Text (UTF-16) or Null.
struct Cell {
    enum class Type { Null, Integer, Real, Text };
    Type type = Type::Null;
    std::int64_t integer = 0;
    double real = 0;
    std::wstring text;
};

// The rows of one statement, read in full. `isSelect` is false for a statement without columns.
// `types` holds each column's variant type as a provider gives its declared type: TINYINT
// VT_UI1, SMALLINT VT_I2, INT and INTEGER VT_I4, BIGINT VT_I8, DECIMAL and NUMERIC VT_DECIMAL,
// MONEY VT_CY, REAL VT_R4, FLOAT and DOUBLE VT_R8, BIT VT_BOOL, DATETIME and DATE VT_DATE;
// VT_EMPTY (the value as stored) for any other declaration and for expressions.
struct ResultRows {
    bool isSelect = false;
    std::vector<std::wstring> names;
    std::vector<VARTYPE> types;
    std::vector<Cell> cells;  // row by row
    size_t rowCount() const { return names.empty() ? 0 : cells.size() / names.size(); }
};

// Where the database is, read from [Database] of "SiteLibrary.ini" in `programDir` (which ends
// with a backslash): Driver empty or QSQLITE, Database (default "site.db", relative to
// `programDir`), Port checked as on Linux, Options' QSQLITE_BUSY_TIMEOUT honoured, and
// DemoSite=True to create a missing database as a demo site.
struct StoreSettings {
    std::wstring path;
    int busyTimeoutMs = 10000;
    bool demoSite = false;
};
StoreSettings readStoreSettings(const std::wstring& programDir);

class SiteStore {
public:
    // Opens an existing database file. A missing one is created as a demo site where the settings
    // ask for one (createDemoSite), else fails with "Site database not found: ".
    explicit SiteStore(const StoreSettings& settings);
    ~SiteStore();
    SiteStore(const SiteStore&) = delete;
    SiteStore& operator=(const SiteStore&) = delete;

    // Runs one statement and reads every row.
    ResultRows run(const std::wstring& sql);
    // The key cards on this connection.
    dormex::standin::CardStore& cards() { return *m_cards; }

private:
    sqlite3* m_db = nullptr;
    std::wstring m_path;
    std::optional<dormex::standin::CardStore> m_cards;
};

// Creates the database file `path` in write-ahead-log mode with the site's tables and the trial
// kit's demo site (dormex::standin::DemoSite::TrialKit) current to `now`'s local date: 40 holders
// of all eleven types, one card each, door transactions up to the day before, some cards idle
// for 35 days or more, some never used, some already inactive.
void createDemoSite(const std::wstring& path, std::time_t now);

}  // namespace dormexsite
