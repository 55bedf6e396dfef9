#include "SiteTables.h"

#include "platform/Locale.h"

namespace dormex::standin {

std::vector<std::string> schemaStatements(Dialect dialect) {
    const bool sqlite = dialect == Dialect::Sqlite;
    const std::string timestamp = sqlite ? "text" : "timestamp";
    const std::string generatedKey = sqlite ? "integer primary key" : "serial primary key";
    return {
        "CREATE TABLE personnel (userid integer primary key, lastname text, firstname text, "
        "flags integer)",
        "CREATE TABLE Keycards (CardID integer primary key, KeyNumber bigint not null, "
        "userid integer, Active integer not null default 1, "
        "CardStatus integer not null default 0, StatusReason integer not null default 0)",
        "CREATE TABLE Transactions (TransactionID " + generatedKey +
            ", KeyNumber bigint not null, EventDateTime " + timestamp + " not null)",
        "CREATE TABLE MXRSettings (SettingName text not null, StationName text not null, "
        "StringSetting1 text)",
        "CREATE TABLE CardDownloads (DownloadID " + generatedKey +
            ", CardID integer not null, Arg1 integer, Arg2 integer, Arg3 integer, QueuedAt " +
            timestamp + ")",
        "CREATE INDEX IX_Keycards_KeyNumber ON Keycards (KeyNumber)",
        "CREATE INDEX IX_Transactions_EventDateTime_KeyNumber "
        "ON Transactions (EventDateTime, KeyNumber)",
    };
}

std::string formatLocalTime(std::time_t t) {
    const std::tm tm = platform::localTime(t);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &tm);
    return buffer;
}

std::time_t localDayTime(std::time_t now, int daysAgo, int secondOfDay) {
    std::tm tm = platform::localTime(now);
    tm.tm_mday -= daysAgo;
    tm.tm_hour = 0;
    tm.tm_min = 0;
    tm.tm_sec = secondOfDay;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

std::string insertStatement(const Table& table, Dialect dialect, std::size_t rowCount) {
    std::string names;
    std::string row;
    for (const Column& column : table.columns) {
        names += (names.empty() ? "" : ", ") + std::string(column.name);
        row += row.empty() ? "(" : ", ";
        row += column.timestamp && dialect == Dialect::Postgres ? "CAST(? AS TIMESTAMP)" : "?";
    }
    std::string sql = "INSERT INTO " + std::string(table.name) + " (" + names + ") VALUES ";
    for (std::size_t i = 0; i < rowCount; ++i) sql += (i == 0 ? "" : ", ") + row + ")";
    return sql;
}

}  // namespace dormex::standin
