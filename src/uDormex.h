#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Record.h"
#include "Report.h"
#include "Settings.h"
#include "platform/Platform.h"
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
    // True once the entry's checked flag was set (read from the settings file or changed in the
    // window): what the window shows for it is then what the file is to hold.
    bool Settled(int index) const;

private:
    // `index` as a position in the list; throws for one outside it.
    size_t entryIndex(int index) const;
    struct Entry {
        std::string name;
        bool checked = false;
        bool settled = false;
    };
    std::vector<Entry> m_entries;
};

// The start the first command-line argument chooses: "silent" and "preview" in any ASCII case,
// "--help" (also "/?", as Windows programs take it) and "--version" as written; anything else,
// and no argument, opens the window.
enum class StartMode { Window, Unattended, Preview, Help, Version };
StartMode ParseStartMode(const std::string& firstArgument);

// The error box's text: a "." is added when the message's last character sorts after ".".
std::string ErrorBoxText(const std::string& message);

// The statement that reads the site's custom person type names, in type order.
extern const char* const kCustomNamesSql;

// The cut-off of an expiry run: the local date of `now` less `days` days (held at 0001-01-01
// and 9999-12-31), as YYYY-MM-DD, and the start of that day as the statements write it in
// `format`. The ISO form orders the same as text (SQLite) and as a timestamp (server
// databases), so an event at exactly midnight is not after it.
struct Cutoff {
    std::string date;
    std::string literal;
};
Cutoff CutoffFor(std::time_t now, std::int32_t days, SqlDateFormat format);

// The local `time` as the statements write it in `format`: ISO "YYYY-MM-DD HH:MM:SS",
// "YYYYMMDD" or the short date; the two others followed by " HH:MM:SS" (the short date by the
// long time) `withTime`.
std::string SqlDateText(const std::tm& time, SqlDateFormat format, bool withTime);

// The statement counting, for each card of [first, end), the door transactions with its key
// number after the time the record says it was deactivated, with the last one's time.
std::string BuildPresentedSql(const entry::Presented* first, const entry::Presented* end,
                              SqlDateFormat format);

// The expiry statement for a cut-off literal.
std::string BuildExpirySql(const std::string& cutoff);

// The statement counting the door transactions after a cut-off literal.
std::string BuildFeedCheckSql(const std::string& cutoff);

// The text of every column of the cursor's current row, in order (NULL is empty).
std::vector<std::string> RowFields(const site::TResultCursor& cursor);

// The main window's state and logic, without any widgets: the set-up sequence, the two commands
// and the two database routines. The window (gui/) is a view over its controls' state
// (CheckListBox1, txtDays) and commands; settings, reporting and the card operations are
// delegated.
class TForm1 {
public:
    // `createSite` creates the site library's top-level object; `mode` is the start's; `report`
    // (not owned) receives what the set-up and the runs did; `boxes` (not owned) are the ones the
    // user sees, where the window's commands show their errors.
    TForm1(site::CreateFunction createSite, StartMode mode, RunReport& report,
           platform::Boxes& boxes = platform::boxes());

    // The set-up sequence. Any error it throws ends the set-up at that stage. The guards and
    // [Keep] are read, and the run made, only for an unattended start and the preview.
    void FormCreate();
    // True when the application is to quit now (after an unattended run).
    bool FormShow() const { return quitOnShow; }

    // "Check All": checks every entry in index order.
    void btnCheckAllClick();
    // "Save Settings": writes Days and the typeN key of every settled entry, each write on its
    // own; an entry the set-up never read (it stopped before) keeps the file's value.
    void btnSaveClick();

    // Replaces entries 6.. with the site's custom person type names. Creating the top-level
    // object may throw; every later error is reported as "LoadCustomNames():<message>".
    void LoadCustomNames();
    // Deactivates every idle active card of a selected person type, idle for `days` or for its
    // type's own [DaysPerType] days. First the feed check (when on): no door transaction after
    // the most recent cut-off stops the run. Then the whole selection of every statement is
    // read, without the cards [Keep] holds: when it holds more cards than MaxDeactivations (0: no
    // limit), none is deactivated and the report says so. Creating the top-level object may
    // throw; every later error ends the run with a two-line "RunQuery():" entry naming the
    // statement that ran. A log entry that cannot be written (RunStopped) ends the run where it
    // is and passes on. With Record, each card goes into the record, and the record's recent
    // cards are looked for at the doors afterwards.
    void RunQuery(std::int32_t days);

    StartMode mode() const { return m_mode; }
    platform::Boxes& boxes() const { return m_boxes; }
    // True once LoadCustomNames or RunQuery reported a failure (an exceeded limit included).
    bool failureLogged() const { return m_failureLogged; }
    // The guards the last set-up of a run read.
    const RunGuards& guards() const { return m_guards; }

    TPersonTypeList CheckListBox1;
    std::string txtDays = "30";
    site::TResultCursor ADODataSet1{"ADODataSet1"};
    bool quitOnShow = false;

private:
    // How far the run got with the current card: the failure entry's step marker, "0" to "6".
    enum class Step { NoCard, Collection, Card, CardStatus, StatusReason, Save, Download };
    // One expiry statement of a run: the idle days it selects for, its cut-off and its text.
    struct Pass {
        std::int32_t days;
        Cutoff cutoff;
        std::string sql;
    };
    // A selected row, the note of a card [Keep] lists, and the statement that gave the row.
    struct Selected {
        entry::CardRow row;
        const std::string* keptNote;
        const std::string* statement;
    };
    struct Selection {
        std::vector<Selected> rows;
        std::size_t toDeactivate = 0;  // rows without a note
        std::exception_ptr failure;    // what ended the reading early
        const std::string* failedStatement = nullptr;
    };
    // The record's cards of the last 90 days are looked for at the doors, 200 to a statement.
    static constexpr int kPresentedDays = 90;
    static constexpr std::size_t kPresentedBatch = 200;

    bool runs() const { return m_mode == StartMode::Unattended || m_mode == StartMode::Preview; }
    // The statements of a run with `days`: one for Days and one for each other value a selected
    // type's [DaysPerType] key gives, from the largest days to the smallest.
    std::vector<Pass> planPasses(std::int32_t days, std::time_t now) const;
    // The idle days of a row of `type`: its own when the type is selected and has a key in
    // [DaysPerType], else `days`.
    std::int32_t daysOf(int type, std::int32_t days) const;
    // The feed check: the count `sql` gives.
    std::int64_t countTransactions(site::TopLevelObject& top, const std::string& sql);
    // The selected rows of every statement, in the statements' order and each one's own.
    Selection readSelection(site::TopLevelObject& top, const std::vector<Pass>& passes,
                            std::int32_t days);
    // Adds the cursor's row to `selection` when it is selected and belongs to `pass`.
    void selectRow(const Pass& pass, std::int32_t days, Selection& selection);
    // Keeps or deactivates the card of `selected`, and reports and records it.
    void handleCard(site::TopLevelObject& top, Selected& selected, Step& step);
    // Appends a deactivated card's row to the record (unattended runs with Record only); the
    // first row it refuses is a logged failure.
    void recordCard(const entry::CardRow& row);
    // Reports the record's recent cards that were presented at a door after their
    // deactivation; a failing look-up is reported, and is no failure of the run.
    void checkPresented(site::TopLevelObject& top);
    // Deactivates the card at item 1 of `keyNumber`'s collection, moving `step` on before each
    // operation (the preview only looks it up). Returns the collection's count; the card is left
    // alone when it is not positive.
    std::int32_t deactivateCard(site::TopLevelObject& top, std::int64_t keyNumber, Step& step);

    site::CreateFunction m_createSite;
    StartMode m_mode;
    RunReport& m_report;
    platform::Boxes& m_boxes;
    RunGuards m_guards;
    bool m_failureLogged = false;
    record::Writer m_record;
    bool m_recordRefused = false;
};

// Runs FormCreate; an error it throws goes to `report` as a set-up failure with the error box's
// text, except RunStopped, which passes on. False when the set-up failed.
bool RunFormCreate(TForm1& form, RunReport& report);
// Runs one command of a window. An exception escaping it is shown in the error box of `boxes`
// (titled with the application title, text made by ErrorBoxText) and swallowed, except
// RunStopped, which passes on; returns false in that case.
bool RunGuarded(const std::function<void()>& command, platform::Boxes& boxes);

// The process's exit status after `form` was set up and (for an unattended start) run:
// 2 when the set-up failed, 1 when an unattended run logged a failure, else 0.
int ExitStatus(const TForm1& form, bool setupFailed);

}  // namespace dormex
