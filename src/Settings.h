#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// Dormex.ini beside the program: the days, the selections and the guards of an unattended run,
// read one key at a time as the set-up asks for them, and the window's save.
namespace dormex::platform {
class Boxes;
}

namespace dormex {

class TPersonTypeList;

// How the statements write the cut-off day (SqlDateFormat in [General]): the database decides
// which form it reads as that day.
enum class SqlDateFormat {
    Iso,        // "YYYY-MM-DD 00:00:00": SQLite, PostgreSQL; SQL Server's date and datetime2
    Yyyymmdd,   // "YYYYMMDD": SQL Server under any language, for every date type
    ShortDate,  // the locale's short date, as the log's entries begin with
};

// The SqlDateFormat text: ISO (also empty), YYYYMMDD or ShortDate, in any ASCII case. Throws an
// Error naming the key and the three values for anything else.
SqlDateFormat SqlDateFormatFrom(const std::string& text);

// The FeedCheck text: empty means true, else the strict boolean conversion. Throws an Error
// naming the key for a text that is no boolean.
bool FeedCheckFrom(const std::string& text);

// The largest number of cards one run may deactivate, from the MaxDeactivations text: empty
// or 0 means no limit (0). Throws the integer conversion's Error for a text that is no integer,
// and an Error for a negative number.
std::int32_t MaxDeactivationsFrom(const std::string& text);

// The cards a run never deactivates, by key number, with their notes, from the lines of [Keep]
// (`<key number>=<note>`). A key number is a whole number within signed 64 bits, with blanks and
// leading zeros allowed. Throws an Error naming the first key that is no such number.
using KeepList = std::map<std::int64_t, std::string>;
KeepList KeepListFrom(const std::vector<std::pair<std::string, std::string>>& lines);

// A person type's own idle days from [DaysPerType]: the text as stored and its value.
struct TypeDays {
    std::string text;
    std::int32_t days = 0;
};

// What guards and shapes an unattended run (and the preview), as Dormex.ini sets it beyond Days
// and the selections.
struct RunGuards {
    std::int32_t maxDeactivations = 0;  // 0: no limit
    SqlDateFormat sqlDateFormat = SqlDateFormat::Iso;
    bool feedCheck = true;
    bool record = false;  // Record: a CSV row per deactivated card
    KeepList keep;
    std::map<int, TypeDays> daysPerType;  // by person type, for the types with a key
};

// Dormex.ini in the program directory.
class Settings {
public:
    Settings();

    // Days as stored, or "30" when it is empty.
    std::string daysText() const;
    // Sets each entry's checked flag from its typeN key, in index order: empty is unchecked; a
    // value that is no boolean throws its conversion's Error, the entries before it set.
    void readSelections(TPersonTypeList& list) const;
    // MaxDeactivations, SqlDateFormat, FeedCheck, Record, [Keep] and [DaysPerType] (type0 to
    // type10, strict integers), in that order; throws for the first bad value.
    RunGuards guards() const;
    // Writes Days (the text, or "30" when it fails the lenient integer test) and the typeN key
    // of every settled entry, each on its own: a failed write shows its message box in `boxes`
    // and the next goes on.
    void save(const std::string& daysText, const TPersonTypeList& list,
              platform::Boxes& boxes) const;

private:
    std::string m_path;
};

}  // namespace dormex
