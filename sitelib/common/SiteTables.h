#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <variant>
#include <vector>

// The site tables as both stand-in site libraries create and fill them, free of any database
// interface: the schema by dialect, the text of a timestamp, and rows handed to an inserter that
// each library implements over its own database interface.
namespace dormex::standin {

// The SQL flavour a statement is written in: PostgreSQL's stands for any server database.
enum class Dialect { Sqlite, Postgres };

// The statements creating the site tables and their indexes, in order. Timestamps are text and
// generated keys "integer primary key" on SQLite, timestamp and serial on PostgreSQL.
std::vector<std::string> schemaStatements(Dialect dialect);

// `t` as local time "YYYY-MM-DD HH:MM:SS", the form every timestamp is written in.
std::string formatLocalTime(std::time_t t);

// Local time `daysAgo` days before `now`'s local date, at `secondOfDay`, as mktime reads it.
std::time_t localDayTime(std::time_t now, int daysAgo, int secondOfDay);

// One column of a table being filled. A timestamp column takes formatLocalTime's text, which a
// server database is asked to cast.
struct Column {
    const char* name;
    bool timestamp = false;
};
struct Table {
    const char* name;
    std::vector<Column> columns;
};

inline const Table kPersonnel{"personnel", {{"userid"}, {"lastname"}, {"firstname"}, {"flags"}}};
inline const Table kKeycards{
    "Keycards",
    {{"CardID"}, {"KeyNumber"}, {"userid"}, {"Active"}, {"CardStatus"}, {"StatusReason"}}};
// The TransactionID is generated, in the order the rows are inserted.
inline const Table kTransactions{"Transactions", {{"KeyNumber"}, {"EventDateTime", true}}};
inline const Table kSettings{"MXRSettings", {{"SettingName"}, {"StationName"}, {"StringSetting1"}}};

// "INSERT INTO <table> (<columns>) VALUES (?, ...)" with `rowCount` rows of placeholders; a
// timestamp's placeholder is "CAST(? AS TIMESTAMP)" on PostgreSQL.
std::string insertStatement(const Table& table, Dialect dialect, std::size_t rowCount);

// One value: SQL NULL, an integer or a text (UTF-8).
using Value = std::variant<std::nullptr_t, std::int64_t, std::string>;
// One row: a value per column of its table, in the table's order.
using Row = std::vector<Value>;

// Where written rows go.
class RowInserter {
public:
    virtual ~RowInserter() = default;
    // Inserts `rows` into `table` in their order. Throws on failure.
    virtual void insert(const Table& table, const std::vector<Row>& rows) = 0;
};

}  // namespace dormex::standin
