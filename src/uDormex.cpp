#include "uDormex.h"

#include <exception>
#include <vector>

#include "platform/Calendar.h"
#include "platform/Convert.h"
#include "platform/Error.h"
#include "platform/Locale.h"
#include "platform/Platform.h"
#include "platform/Profile.h"
#include "platform/Text.h"
#include "site/PersonType.h"
#include "uVarious.h"

namespace dormex {

const char* const kCustomNamesSql =
    "select StringSetting1 FROM MXRSettings WHERE (SettingName LIKE 'Custom Person Type %') AND "
    "(StationName = 'globalmxr') order by SettingName";

namespace {

// The site library's top-level object; a library that gives none fails as it should have.
std::shared_ptr<site::TopLevelObject> createSite(const site::CreateFunction& create) {
    std::shared_ptr<site::TopLevelObject> top = create ? create() : nullptr;
    if (!top) throw Error("The site library gave no top-level object");
    return top;
}

}  // namespace

TPersonTypeList::TPersonTypeList() {
    for (const char* name : site::kFixedPersonTypeNames) m_entries.push_back({name, false});
    for (int i = 1; i <= site::kCustomTypeCount; ++i)
        m_entries.push_back({"custom " + std::to_string(i), false});
}

size_t TPersonTypeList::entryIndex(int index) const {
    if (index < 0 || index >= Count())
        throw Error("List index out of bounds (" + std::to_string(index) + ")");
    return static_cast<size_t>(index);
}

bool TPersonTypeList::Checked(int index) const {
    return m_entries[entryIndex(index)].checked;
}

void TPersonTypeList::SetChecked(int index, bool checked) {
    Entry& entry = m_entries[entryIndex(index)];
    entry.checked = checked;
    entry.settled = true;
}

bool TPersonTypeList::Settled(int index) const {
    return m_entries[entryIndex(index)].settled;
}

const std::string& TPersonTypeList::Name(int index) const {
    return m_entries[entryIndex(index)].name;
}

void TPersonTypeList::SetName(int index, const std::string& name) {
    m_entries[entryIndex(index)].name = name;
}

std::string ErrorBoxText(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
    return message;
}

Cutoff CutoffFor(std::time_t now, std::int32_t days, SqlDateFormat format) {
    const std::string text = platform::localDateBefore(now, days);
    switch (format) {
        case SqlDateFormat::Iso:
            return {text, text + " 00:00:00"};
        case SqlDateFormat::Yyyymmdd:
            return {text, text.substr(0, 4) + text.substr(5, 2) + text.substr(8, 2)};
        case SqlDateFormat::ShortDate:
            break;
    }
    return {text, platform::shortDate(platform::localDayBefore(now, days))};
}

std::string BuildExpirySql(const std::string& cutoff) {
    return std::string(
               "SELECT k.KeyNumber, p.lastname, p.firstname, p.flags FROM Keycards AS k left join "
               "personnel p on k.userid = p.userid WHERE (k.KeyNumber NOT IN   (SELECT DISTINCT "
               "t.KeyNumber    FROM Transactions AS t    WHERE (t.EventDateTime > '") +
           cutoff + "'" + "))) AND (k.Active = 1) " + "Order by Keynumber";
}

std::string BuildFeedCheckSql(const std::string& cutoff) {
    return "SELECT COUNT(*) FROM Transactions AS t WHERE (t.EventDateTime > '" + cutoff + "')";
}

StartMode ParseStartMode(const std::string& firstArgument) {
    if (platform::equalsIgnoringAsciiCase(firstArgument, "silent")) return StartMode::Unattended;
    if (platform::equalsIgnoringAsciiCase(firstArgument, "preview")) return StartMode::Preview;
    if (firstArgument == "--help" || firstArgument == "/?") return StartMode::Help;
    if (firstArgument == "--version") return StartMode::Version;
    return StartMode::Window;
}

TForm1::TForm1(site::CreateFunction createSite, StartMode mode, RunReport& report,
               platform::Boxes& boxes)
    : m_createSite(std::move(createSite)), m_mode(mode), m_report(report), m_boxes(boxes) {}

void TForm1::FormCreate() {
    const Settings settings;
    txtDays = settings.daysText();
    LoadCustomNames();
    settings.readSelections(CheckListBox1);
    if (!runs()) return;
    const std::int32_t days = platform::StrToInt(txtDays);
    m_guards = settings.guards();
    m_report.daysRead(txtDays);
    RunQuery(days);
    quitOnShow = true;
}

void TForm1::btnCheckAllClick() {
    for (int i = 0; i < CheckListBox1.Count(); ++i) CheckListBox1.SetChecked(i, true);
}

void TForm1::btnSaveClick() {
    Settings().save(txtDays, CheckListBox1, m_boxes);
}

void TForm1::LoadCustomNames() {
    // Creating the object is outside the guard: its failure ends the set-up.
    const std::shared_ptr<site::TopLevelObject> top = createSite(m_createSite);
    Guarded(
        [&] {
            ADODataSet1.Bind(top->RunSql(kCustomNamesSql));
            for (int i = site::kFixedPersonTypeCount; !ADODataSet1.AtEnd(); ++i) {
                CheckListBox1.SetName(i, ADODataSet1.FieldAt(0).AsString());
                ADODataSet1.Next();
            }
        },
        [&](const std::string& message) {
            m_report.namesFailed(message);
            m_failureLogged = true;
        });
}

std::vector<std::string> RowFields(const site::TResultCursor& cursor) {
    std::vector<std::string> fields;
    for (std::int32_t i = 0; i < cursor.FieldCount(); ++i)
        fields.push_back(cursor.FieldAt(i).AsString());
    return fields;
}

void TForm1::RunQuery(std::int32_t days) {
    Step step = Step::NoCard;
    const Cutoff cutoff = CutoffFor(platform::clock().now(), days, m_guards.sqlDateFormat);
    const std::string checkSql = BuildFeedCheckSql(cutoff.literal);
    const std::string sql = BuildExpirySql(cutoff.literal);
    // The statement a failure entry names: the feed check's until the selection runs.
    const std::string* running = &checkSql;

    // Creating the object is outside the guard: its failure ends the set-up.
    const std::shared_ptr<site::TopLevelObject> top = createSite(m_createSite);
    m_report.runStarted(cutoff.date);
    Guarded(
        [&] {
            const auto transactions = m_guards.feedCheck
                                          ? std::optional(countTransactions(*top, checkSql))
                                          : std::nullopt;
            m_report.feedChecked(cutoff.literal, transactions);
            if (transactions == 0) {
                m_failureLogged = true;
                return;
            }
            running = &sql;
            ADODataSet1.Bind(top->RunSql(sql));
            Selection selection = readSelection();
            const std::int32_t limit = m_guards.maxDeactivations;
            if (limit > 0 && selection.toDeactivate > static_cast<std::size_t>(limit)) {
                m_report.limitExceeded(selection.toDeactivate, limit);
                m_failureLogged = true;
                return;
            }
            for (Selected& selected : selection.rows) {
                entry::CardRow& row = selected.row;
                if (selected.keptNote) {
                    m_report.cardKept(row, *selected.keptNote);
                } else if ((row.cards = deactivateCard(*top, row.keyNumber, step)) > 0) {
                    // Logged only once the card is saved and its download queued.
                    m_report.cardDeactivated(row);
                }
            }
            if (selection.failure) std::rethrow_exception(selection.failure);
        },
        [&](const std::string& message) {
            m_report.runFailed(static_cast<int>(step), message, *running);
            m_failureLogged = true;
        });
}

std::int64_t TForm1::countTransactions(site::TopLevelObject& top, const std::string& sql) {
    ADODataSet1.Bind(top.RunSql(sql));
    if (ADODataSet1.AtEnd()) throw Error("The door transaction count gave no row");
    return ADODataSet1.FieldAt(0).AsInteger();
}

TForm1::Selection TForm1::readSelection() {
    // The whole selection is read before any card changes. A row the run cannot handle ends the
    // selection there; its error is raised once the cards before it are done, exactly where a
    // row-by-row run would have stopped.
    Selection selection;
    try {
        while (!ADODataSet1.AtEnd()) {
            std::vector<std::string> fields = RowFields(ADODataSet1);
            const int type = site::personTypeOf(ADODataSet1.FieldByName("flags").AsInteger());
            if (CheckListBox1.Checked(type)) {
                const std::int64_t key = ADODataSet1.FieldAt(0).AsInteger();
                const auto kept = m_guards.keep.find(key);
                const bool keep = kept != m_guards.keep.end();
                selection.rows.push_back(
                    {{std::move(fields), key, 0}, keep ? &kept->second : nullptr});
                if (!keep) ++selection.toDeactivate;
            }
            ADODataSet1.Next();
        }
    } catch (...) {
        selection.failure = std::current_exception();
    }
    return selection;
}

std::int32_t TForm1::deactivateCard(site::TopLevelObject& top, std::int64_t keyNumber, Step& step) {
    const std::shared_ptr<site::CardCollection> cards = top.FindKeycards(-1, keyNumber);
    step = Step::Collection;
    if (!cards) throw Error("No card collection for key number " + std::to_string(keyNumber));
    const std::int32_t count = cards->Count();
    if (count <= 0) return count;
    const std::shared_ptr<site::Card> card = cards->Item(1);
    step = Step::Card;
    if (!card) throw Error("No card at item 1 for key number " + std::to_string(keyNumber));
    if (m_mode == StartMode::Preview) {
        // The preview changes no card, and goes on as a run whose operations succeeded.
        step = Step::Download;
        return count;
    }
    card->SetActive(0);
    step = Step::CardStatus;
    card->SetCardStatus(3);
    step = Step::StatusReason;
    card->SetStatusReason(6);
    step = Step::Save;
    card->Save();
    step = Step::Download;
    card->QueueDownload(0, 1, 0);
    return count;
}

bool RunFormCreate(TForm1& form, RunReport& report) {
    return Guarded([&] { form.FormCreate(); },
                   [&](const std::string& message) { report.setupFailed(ErrorBoxText(message)); });
}

bool RunGuarded(const std::function<void()>& command, platform::Boxes& boxes) {
    return Guarded(command, [&](const std::string& message) {
        boxes.showError(platform::kApplicationTitle, ErrorBoxText(message));
    });
}

int ExitStatus(const TForm1& form, bool setupFailed) {
    if (setupFailed) return 2;
    const bool ran = form.mode() == StartMode::Unattended || form.quitOnShow;
    return ran && form.failureLogged() ? 1 : 0;
}

}  // namespace dormex
