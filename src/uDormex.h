#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

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
    // Deactivates every idle active card of a selected person type. First the feed check (when
    // on): no door transaction after the cut-off stops the run. Then the whole selection is
    // read, without the cards [Keep] holds: when it holds more cards than MaxDeactivations (0: no
    // limit), none is deactivated and the report says so. Creating the top-level object may
    // throw; every later error ends the run with a two-line "RunQuery():" entry naming the
    // statement that ran. A log entry that cannot be written (RunStopped) ends the run where it
    // is and passes on.
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
    // A selected row, and the note of a card [Keep] lists.
    struct Selected {
        entry::CardRow row;
        const std::string* keptNote;
    };
    struct Selection {
        std::vector<Selected> rows;
        std::size_t toDeactivate = 0;  // rows without a note
        std::exception_ptr failure;    // what ended the reading early
    };

    bool runs() const { return m_mode == StartMode::Unattended || m_mode == StartMode::Preview; }
    // The feed check: the count `sql` gives.
    std::int64_t countTransactions(site::TopLevelObject& top, const std::string& sql);
    // The selected rows of the bound expiry statement, in its order.
    Selection readSelection();
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
