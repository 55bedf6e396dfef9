#include "uDormex.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <functional>
#include <set>
#include <utility>
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
    return {platform::localDateBefore(now, days),
            SqlDateText(platform::localDayBefore(now, days), format, false)};
}

std::string BuildExpirySql(const std::string& cutoff) {
    return std::string(
               "SELECT k.KeyNumber, p.lastname, p.firstname, p.flags FROM Keycards AS k left join "
               "personnel p on k.userid = p.userid WHERE (k.KeyNumber NOT IN   (SELECT DISTINCT "
               "t.KeyNumber    FROM Transactions AS t    WHERE (t.EventDateTime > '") +
           cutoff + "'" + "))) AND (k.Active = 1) " + "Order by Keynumber";
}

std::string SqlDateText(const std::tm& time, SqlDateFormat format, bool withTime) {
    char text[80];
    switch (format) {
        case SqlDateFormat::Iso:
            std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", time.tm_year + 1900,
                          time.tm_mon + 1, time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
            return text;
        case SqlDateFormat::Yyyymmdd:
            std::snprintf(text, sizeof text, "%04d%02d%02d", time.tm_year + 1900, time.tm_mon + 1,
                          time.tm_mday);
            if (withTime)
                std::snprintf(text + 8, sizeof text - 8, " %02d:%02d:%02d", time.tm_hour,
                              time.tm_min, time.tm_sec);
            return text;
        case SqlDateFormat::ShortDate:
            break;
    }
    return platform::shortDate(time) + (withTime ? " " + platform::longTime(time) : "");
}

std::string BuildPresentedSql(const entry::Presented* first, const entry::Presented* end,
                              SqlDateFormat format) {
    std::string sql =
        "SELECT t.KeyNumber, COUNT(*), MAX(t.EventDateTime) FROM Transactions AS t WHERE ";
    for (const entry::Presented* card = first; card != end; ++card) {
        // "YYYY-MM-DDTHH:MM:SS", as the record writes it; the offset is the program's own.
        const std::string& t = card->deactivated;
        auto number = [&](size_t at, size_t length) {
            return static_cast<int>(platform::TextToInt64(t.substr(at, length)).value_or(0));
        };
        const std::tm at = platform::civilTime(number(0, 4), static_cast<unsigned>(number(5, 2)),
                                               static_cast<unsigned>(number(8, 2)), number(11, 2),
                                               number(14, 2), number(17, 2));
        sql += std::string(card == first ? "" : " OR ") +
               "(t.KeyNumber = " + std::to_string(card->keyNumber) + " AND t.EventDateTime > '" +
               SqlDateText(at, format, true) + "')";
    }
    return sql + " GROUP BY t.KeyNumber ORDER BY t.KeyNumber";
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

std::vector<TForm1::Pass> TForm1::planPasses(std::int32_t days, std::time_t now) const {
    std::set<std::int32_t, std::greater<>> values{days};
    for (const auto& [type, own] : m_guards.daysPerType)
        if (CheckListBox1.Checked(type)) values.insert(own.days);
    std::vector<Pass> passes;
    for (const std::int32_t value : values) {
        Cutoff cutoff = CutoffFor(now, value, m_guards.sqlDateFormat);
        std::string sql = BuildExpirySql(cutoff.literal);
        passes.push_back({value, std::move(cutoff), std::move(sql)});
    }
    return passes;
}

std::int32_t TForm1::daysOf(int type, std::int32_t days) const {
    if (type >= CheckListBox1.Count() || !CheckListBox1.Checked(type)) return days;
    const auto own = m_guards.daysPerType.find(type);
    return own == m_guards.daysPerType.end() ? days : own->second.days;
}

void TForm1::RunQuery(std::int32_t days) {
    Step step = Step::NoCard;
    const std::vector<Pass> passes = planPasses(days, platform::clock().now());
    for (const auto& [type, own] : m_guards.daysPerType) {
        if (!CheckListBox1.Checked(type)) continue;
        const std::int32_t ownDays = own.days;
        const auto pass = std::find_if(passes.begin(), passes.end(),
                                       [ownDays](const Pass& p) { return p.days == ownDays; });
        m_report.typeDaysRead(CheckListBox1.Name(type), own.text, pass->cutoff.date);
    }
    // The feed check counts after the most recent cut-off in use.
    const Cutoff& latest = passes.back().cutoff;
    const std::string checkSql = BuildFeedCheckSql(latest.literal);
    // The statement a failure entry names: the feed check's until the selection runs.
    const std::string* running = &checkSql;

    // Creating the object is outside the guard: its failure ends the set-up.
    const std::shared_ptr<site::TopLevelObject> top = createSite(m_createSite);
    m_report.runStarted(std::find_if(passes.begin(), passes.end(), [&](const Pass& p) {
                            return p.days == days;
                        })->cutoff.date);
    Guarded(
        [&] {
            const auto transactions = m_guards.feedCheck
                                          ? std::optional(countTransactions(*top, checkSql))
                                          : std::nullopt;
            m_report.feedChecked(latest.literal, transactions);
            if (transactions == 0) {
                m_failureLogged = true;
                return;
            }
            Selection selection = readSelection(*top, passes, days);
            const std::int32_t limit = m_guards.maxDeactivations;
            if (limit > 0 && selection.toDeactivate > static_cast<std::size_t>(limit)) {
                m_report.limitExceeded(selection.toDeactivate, limit);
                m_failureLogged = true;
                return;
            }
            for (Selected& selected : selection.rows) {
                running = selected.statement;
                handleCard(*top, selected, step);
            }
            running = selection.failedStatement;
            if (selection.failure) std::rethrow_exception(selection.failure);
        },
        [&](const std::string& message) {
            m_report.runFailed(static_cast<int>(step), message, *running);
            m_failureLogged = true;
        });
    if (m_guards.record) checkPresented(*top);
}

void TForm1::handleCard(site::TopLevelObject& top, Selected& selected, Step& step) {
    entry::CardRow& row = selected.row;
    if (selected.keptNote) {
        m_report.cardKept(row, *selected.keptNote);
        return;
    }
    if ((row.cards = deactivateCard(top, row.keyNumber, step)) <= 0) return;
    // Logged only once the card is saved and its download queued; recorded also when the log
    // refused its entry, as the card was switched off.
    try {
        m_report.cardDeactivated(row);
    } catch (const RunStopped&) {
        recordCard(row);
        throw;
    }
    recordCard(row);
}

void TForm1::recordCard(const entry::CardRow& row) {
    if (!m_guards.record || m_mode != StartMode::Unattended) return;
    std::string reason;
    if (m_record.append(row, platform::clock().now(), reason)) return;
    m_failureLogged = true;
    if (!std::exchange(m_recordRefused, true)) m_report.recordFailed(record::Path(), reason);
}

std::int64_t TForm1::countTransactions(site::TopLevelObject& top, const std::string& sql) {
    ADODataSet1.Bind(top.RunSql(sql));
    if (ADODataSet1.AtEnd()) throw Error("The door transaction count gave no row");
    return ADODataSet1.FieldAt(0).AsInteger();
}

TForm1::Selection TForm1::readSelection(site::TopLevelObject& top, const std::vector<Pass>& passes,
                                        std::int32_t days) {
    // The whole selection is read, statement by statement, before any card changes. A statement
    // or row the run cannot handle ends the selection there; its error is raised once the cards
    // before it are done, exactly where a row-by-row run would have stopped.
    Selection selection;
    for (const Pass& pass : passes) {
        try {
            ADODataSet1.Bind(top.RunSql(pass.sql));
            for (; !ADODataSet1.AtEnd(); ADODataSet1.Next()) selectRow(pass, days, selection);
        } catch (...) {
            selection.failure = std::current_exception();
            selection.failedStatement = &pass.sql;
            break;
        }
    }
    return selection;
}

void TForm1::selectRow(const Pass& pass, std::int32_t days, Selection& selection) {
    std::vector<std::string> fields = RowFields(ADODataSet1);
    const int type = site::personTypeOf(ADODataSet1.FieldByName("flags").AsInteger());
    // A row belongs to the statement of its own days; the Days statement looks every row's type
    // up, which fails for a type without an entry.
    if (pass.days == days && !CheckListBox1.Checked(type)) return;
    if (daysOf(type, days) != pass.days) return;
    const std::int64_t key = ADODataSet1.FieldAt(0).AsInteger();
    const auto kept = m_guards.keep.find(key);
    const bool keep = kept != m_guards.keep.end();
    entry::CardRow row{std::move(fields), key, 0, type, CheckListBox1.Name(type), pass.days,
                       pass.cutoff.date};
    selection.rows.push_back({std::move(row), keep ? &kept->second : nullptr, &pass.sql});
    if (!keep) ++selection.toDeactivate;
}

void TForm1::checkPresented(site::TopLevelObject& top) {
    Guarded(
        [&] {
            const std::time_t now = platform::clock().now();
            std::vector<entry::Presented> cards =
                record::DeactivatedSince(platform::localDateBefore(now, kPresentedDays));
            std::vector<entry::Presented> presented;
            for (std::size_t first = 0; first < cards.size(); first += kPresentedBatch) {
                const std::size_t end = std::min(cards.size(), first + kPresentedBatch);
                ADODataSet1.Bind(top.RunSql(BuildPresentedSql(
                    cards.data() + first, cards.data() + end, m_guards.sqlDateFormat)));
                for (; !ADODataSet1.AtEnd(); ADODataSet1.Next()) {
                    const std::int64_t key = ADODataSet1.FieldAt(0).AsInteger();
                    const auto card =
                        std::find_if(cards.begin() + first, cards.begin() + end,
                                     [&](const auto& c) { return c.keyNumber == key; });
                    if (card == cards.begin() + end) continue;
                    card->transactions = ADODataSet1.FieldAt(1).AsInteger();
                    card->last = ADODataSet1.FieldAt(2).AsString();
                    presented.push_back(*card);
                }
            }
            m_report.presentedChecked(presented);
        },
        [&](const std::string& message) { m_report.presentedFailed(message); });
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
