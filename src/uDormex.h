#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "site/SiteLibrary.h"
#include "site/TResultCursor.h"

namespace dormex {

// The person types, in type-number order: a name and a checked flag per entry.
class TPersonTypeList {
public:
    TPersonTypeList();

    int Count() const { return static_cast<int>(m_entries.size()); }
    // The three accessors throw Error("List index out of bounds (<index>)") for an index outside
    // 0..Count()-1 and leave the list unchanged.
    bool Checked(int index) const;
    void SetChecked(int index, bool checked);
    const std::string& Name(int index) const;
    // Replaces the name only; the checked flag stays.
    void SetName(int index, const std::string& name);

private:
    void checkIndex(int index) const;
    struct Entry {
        std::string name;
        bool checked = false;
    };
    std::vector<Entry> m_entries;
};

// True when the first command-line argument selects the unattended run ("silent", any ASCII case).
bool IsSilentArgument(const std::string& arg);

// The error box's text: a "." is added when the message's last character sorts after ".".
std::string ErrorBoxText(const std::string& message);

// The statement that reads the site's custom person type names, in type order.
extern const char* const kCustomNamesSql;

// The cut-off date of an expiry run: the local date of `now` less `days` days, as YYYY-MM-DD.
// Dates before 0001-01-01 or after 9999-12-31 are held at those limits.
std::string CutoffDateText(std::time_t now, std::int32_t days);

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

// The start of the cut-off day (as CutoffDateText gives it) in `format`. The ISO form orders the
// same as text (SQLite) and as a timestamp (server databases), so an event at exactly midnight
// is not after it.
std::string CutoffLiteral(const std::string& cutoffDate, SqlDateFormat format);

// The expiry statement for a cut-off literal.
std::string BuildExpirySql(const std::string& cutoff);

// The statement counting the door transactions after a cut-off literal.
std::string BuildFeedCheckSql(const std::string& cutoff);

// The largest number of cards one run may deactivate, from the MaxDeactivations text: empty
// or 0 means no limit (0). Throws the integer conversion's Error for a text that is no integer,
// and an Error for a negative number.
std::int32_t MaxDeactivationsFrom(const std::string& text);

// The cards a run never deactivates, by key number, with their notes, from the lines of [Keep]
// (`<key number>=<note>`). A key number is a whole number within signed 64 bits, with blanks and
// leading zeros allowed. Throws an Error naming the first key that is no such number.
using KeepList = std::map<std::int64_t, std::string>;
KeepList KeepListFrom(const std::vector<std::pair<std::string, std::string>>& lines);

// The row text of the cursor's current row: "," and the column's text for every column. Control
// characters (below 32, and 127) from the values become blanks, so no value can forge a log line.
std::string RowText(const site::TResultCursor& cursor);

// Person type number of a holder: bits 21 to 24 of `flags`, 0 to 15.
int PersonTypeOf(std::int64_t flags);

// Where the set-up and the runs report what they did. The default writes every entry to the log:
// one the log refuses stops the run (WriteLog), or with `dropRefused` is tried once and dropped,
// for a start that changes no card.
class RunReport {
public:
    explicit RunReport(bool dropRefused = false) : m_dropRefused(dropRefused) {}
    virtual ~RunReport() = default;
    // The days text of an unattended start, as stored.
    virtual void daysRead(const std::string& daysText);
    // An expiry run is about to select the cards idle since `cutoffDate`.
    virtual void runStarted(const std::string& cutoffDate);
    // A card was deactivated (its operations all succeeded); `rowText` starts with ",".
    virtual void cardDeactivated(const std::string& rowText);
    // A selected card was left alone as [Keep] lists it, with its note. The log says nothing.
    virtual void cardKept(const std::string& rowText, const std::string& note);
    // The feed check counted `count` door transactions after `literal` (no count when it is
    // off). The run stops, having touched nothing, when the count is 0; the log says why.
    virtual void feedChecked(const std::string& literal, std::optional<std::int64_t> count);
    // The run deactivated nothing: `count` cards were selected, more than `limit`.
    virtual void limitExceeded(std::size_t count, std::int32_t limit);
    // The custom names or the expiry run failed; `entry` is the whole log entry.
    virtual void failure(const std::string& entry);

private:
    void log(const std::string& message) const;
    bool m_dropRefused;
};

// The main window's state and logic, without any widgets: the set-up sequence, the two commands
// and the two database routines. The window (gui/) is a view over it.
class TForm1 {
public:
    // `createSite` creates the site library's top-level object; `modeArg` is the first
    // command-line argument (empty when there is none).
    TForm1(site::CreateFunction createSite, std::string modeArg);

    // The set-up sequence. Any error it throws ends the set-up at that stage.
    void FormCreate();
    // True when the application is to quit now (after an unattended run).
    bool FormShow() const { return quitOnShow; }

    // "Check All": checks every entry in index order.
    void btnCheckAllClick();
    // "Save Settings": writes Days and one typeN key per entry, each write on its own.
    void btnSaveClick();

    // Replaces entries 6.. with the site's custom person type names. Creating the top-level
    // object may throw; every later error is logged as "LoadCustomNames():<message>". In an
    // unattended start a log entry that cannot be written (RunStopped) passes on; a window
    // start drops it and goes on.
    void LoadCustomNames();
    // Deactivates every idle active card of a selected person type. First the feed check (when
    // on): no door transaction after the cut-off stops the run. Then the whole selection is
    // read, without the cards keepList() holds: when it holds more cards than
    // maxDeactivations() (0: no limit), none is deactivated and one entry says so. Creating the
    // top-level object may throw; every later error ends the run with a two-line "RunQuery():"
    // entry naming the statement that ran. A log entry that cannot be written (RunStopped)
    // ends the run where it is and passes on.
    void RunQuery(std::int32_t days);

    bool unattended() const { return IsSilentArgument(m_modeArg); }
    // Makes an unattended-style start (settings, names, run) regardless of the mode argument.
    void forceRun() { m_forceRun = true; }
    // Replaces the log as the receiver of what the set-up and the runs did. Not owned.
    void setReport(RunReport* report) { m_report = report ? report : &m_logReport; }
    // True once LoadCustomNames or RunQuery logged a failure (a exceeded limit included).
    bool failureLogged() const { return m_failureLogged; }
    std::int32_t maxDeactivations() const { return m_maxDeactivations; }
    void setMaxDeactivations(std::int32_t limit) { m_maxDeactivations = limit; }
    void setFeedCheck(bool on) { m_feedCheck = on; }
    const KeepList& keepList() const { return m_keep; }

    TPersonTypeList CheckListBox1;
    std::string txtDays = "30";
    site::TResultCursor ADODataSet1{"ADODataSet1"};
    bool quitOnShow = false;

private:
    bool runs() const { return unattended() || m_forceRun; }

    site::CreateFunction m_createSite;
    std::string m_modeArg;
    bool m_forceRun = false;
    bool m_failureLogged = false;
    std::int32_t m_maxDeactivations = 0;
    SqlDateFormat m_sqlDateFormat = SqlDateFormat::Iso;
    bool m_feedCheck = true;
    KeepList m_keep;
    RunReport m_logReport;
    RunReport* m_report = &m_logReport;
};

// Runs one command of a window. An exception escaping it is shown in the error box (titled with
// the application title, text made by ErrorBoxText) and swallowed, except RunStopped, which
// passes on; returns false in that case.
bool RunGuarded(const std::function<void()>& command);

// Runs FormCreate; an error it throws is shown in the error box, except RunStopped, which passes
// on. False when the set-up failed.
bool RunFormCreate(TForm1& form);

// The process's exit status after `form` was set up and (for an unattended start) run:
// 2 when the set-up failed, 1 when an unattended run logged a failure, else 0.
int ExitStatus(const TForm1& form, bool setupFailed);

}  // namespace dormex
