#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "Entries.h"

// The record of deactivated cards beside the program, for auditors and log collectors: one CSV
// row per card (RFC 4180, UTF-8, CR LF), the log's base name with ".csv".
namespace dormex::record {

inline const char* const kHeader =
    "Deactivated,KeyNumber,LastName,FirstName,PersonType,PersonTypeName,Days,CutoffDate";

// The record's path: PathBesideFor the executable with ".csv".
std::string Path();

// The row of `row`, deactivated at `deactivated` (ISO 8601 local time), without its line end.
// Names lose their control characters, and one starting as a formula would gets a leading "'".
std::string Row(const entry::CardRow& row, const std::string& deactivated);

// Appends rows to the record. The first append of a writer starts an absent or empty record with
// the header (after a byte-order mark where the system's spreadsheets want one).
class Writer {
public:
    // Appends the row of `row` deactivated at `now`; false, with the system's `reason`, when the
    // record refuses it.
    bool append(const entry::CardRow& row, std::time_t now, std::string& reason);

private:
    bool m_started = false;
};

// The fields of each line of CSV `text`: quoted fields may hold commas, doubled quotes and line
// breaks; lines end in CR LF or LF. A leading byte-order mark is skipped.
std::vector<std::vector<std::string>> ParseCsv(std::string_view text);

// The cards the record lists as deactivated on or after `sinceDate` (YYYY-MM-DD), the latest
// row of each key number, in key number order (rows that are no card's passed over); none when
// there is no record. Throws an Error
// when the record is there but cannot be read.
std::vector<entry::Presented> DeactivatedSince(const std::string& sinceDate);

}  // namespace dormex::record
