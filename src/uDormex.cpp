#include "uDormex.h"

#include <cstdio>
#include <exception>
#include <vector>

#include "platform/Convert.h"
#include "platform/Error.h"
#include "platform/Locale.h"
#include "platform/Platform.h"
#include "platform/Profile.h"
#include "platform/Text.h"
#include "site/OleError.h"
#include "site/PersonType.h"
#include "site/Utf.h"
#include "uVarious.h"

namespace dormex {

const char* const kCustomNamesSql =
    "select StringSetting1 FROM MXRSettings WHERE (SettingName LIKE 'Custom Person Type %') AND "
    "(StationName = 'globalmxr') order by SettingName";

namespace {

const char* const kInitialNames[] = {"Normal",     "Visitor",  "Temp",     "Disabled",
                                     "Contractor", "Vendor",   "custom 1", "custom 2",
                                     "custom 3",   "custom 4", "custom 5"};

const char* const kSettingsSection = "General";
constexpr int kFirstCustomEntry = 6;

// Days from 1970-01-01 to the civil date y-m-d (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The civil date of a day number from daysFromCivil.
void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

std::string withoutControlCharacters(std::string text) {
    for (char& c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127) c = ' ';
    }
    return text;
}

// A key number: blanks, an optional sign, decimal digits (leading zeros allowed) within signed
// 64 bits, blanks. False for anything else.
bool keyNumberFrom(const std::string& text, std::int64_t& value) {
    std::size_t i = text.find_first_not_of(" \t");
    if (i == std::string::npos) return false;
    const bool negative = text[i] == '-';
    if (text[i] == '-' || text[i] == '+') ++i;
    const std::size_t firstDigit = i;
    const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
    std::uint64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const unsigned digit = static_cast<unsigned>(text[i] - '0');
        if (magnitude > (limit - digit) / 10) return false;
        magnitude = magnitude * 10 + digit;
    }
    if (i == firstDigit || text.find_first_not_of(" \t", i) != std::string::npos) return false;
    value = negative && magnitude > 0 ? -static_cast<std::int64_t>(magnitude - 1) - 1
                                      : static_cast<std::int64_t>(magnitude);
    return true;
}

}  // namespace

TPersonTypeList::TPersonTypeList() {
    for (const char* name : kInitialNames) m_entries.push_back({name, false});
}

void TPersonTypeList::checkIndex(int index) const {
    if (index < 0 || index >= Count()) {
        throw Error("List index out of bounds (" + std::to_string(index) + ")");
    }
}

bool TPersonTypeList::Checked(int index) const {
    checkIndex(index);
    return m_entries[static_cast<size_t>(index)].checked;
}

void TPersonTypeList::SetChecked(int index, bool checked) {
    checkIndex(index);
    m_entries[static_cast<size_t>(index)].checked = checked;
}

const std::string& TPersonTypeList::Name(int index) const {
    checkIndex(index);
    return m_entries[static_cast<size_t>(index)].name;
}

void TPersonTypeList::SetName(int index, const std::string& name) {
    checkIndex(index);
    m_entries[static_cast<size_t>(index)].name = name;
}

bool IsSilentArgument(const std::string& arg) {
    return platform::equalsIgnoringAsciiCase(arg, "silent");
}

std::string ErrorBoxText(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
    return message;
}

std::string CutoffDateText(std::time_t now, std::int32_t days) {
    std::tm local = platform::localTime(now);
    std::int64_t today =
        daysFromCivil(local.tm_year + std::int64_t{1900}, static_cast<unsigned>(local.tm_mon + 1),
                      static_cast<unsigned>(local.tm_mday));
    static const std::int64_t kFirstDay = daysFromCivil(1, 1, 1);
    static const std::int64_t kLastDay = daysFromCivil(9999, 12, 31);
    std::int64_t cutoff = today - days;
    if (cutoff < kFirstDay) cutoff = kFirstDay;
    if (cutoff > kLastDay) cutoff = kLastDay;
    std::int64_t y;
    unsigned m, d;
    civilFromDays(cutoff, y, m, d);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u", static_cast<int>(y), m, d);
    return buffer;
}

SqlDateFormat SqlDateFormatFrom(const std::string& text) {
    if (text.empty() || platform::equalsIgnoringAsciiCase(text, "ISO")) return SqlDateFormat::Iso;
    if (platform::equalsIgnoringAsciiCase(text, "YYYYMMDD")) return SqlDateFormat::Yyyymmdd;
    if (platform::equalsIgnoringAsciiCase(text, "ShortDate")) return SqlDateFormat::ShortDate;
    throw Error("'" + text +
                "' is not a valid SqlDateFormat value: use ISO, YYYYMMDD or ShortDate");
}

bool FeedCheckFrom(const std::string& text) {
    if (text.empty()) return true;
    try {
        return platform::StrToBool(text);
    } catch (const Error&) {
        throw Error("'" + text + "' is not a valid FeedCheck value: use True or False");
    }
}

std::string CutoffLiteral(const std::string& cutoffDate, SqlDateFormat format) {
    switch (format) {
        case SqlDateFormat::Iso:
            return cutoffDate + " 00:00:00";
        case SqlDateFormat::Yyyymmdd:
            return cutoffDate.substr(0, 4) + cutoffDate.substr(5, 2) + cutoffDate.substr(8, 2);
        case SqlDateFormat::ShortDate:
            break;
    }
    std::tm day{};
    day.tm_year = std::stoi(cutoffDate.substr(0, 4)) - 1900;
    day.tm_mon = std::stoi(cutoffDate.substr(5, 2)) - 1;
    day.tm_mday = std::stoi(cutoffDate.substr(8, 2));
    const std::int64_t number =
        daysFromCivil(day.tm_year + std::int64_t{1900}, static_cast<unsigned>(day.tm_mon + 1),
                      static_cast<unsigned>(day.tm_mday));
    day.tm_wday = static_cast<int>(((number % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    day.tm_yday = static_cast<int>(number - daysFromCivil(day.tm_year + std::int64_t{1900}, 1, 1));
    return platform::shortDate(day);
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

std::int32_t MaxDeactivationsFrom(const std::string& text) {
    if (text.empty()) return 0;
    const std::int32_t limit = platform::StrToInt(text);
    if (limit < 0) {
        throw Error("'" + text + "' is not a valid MaxDeactivations value: use 0 for no limit " +
                    "or the largest number of cards one run may deactivate");
    }
    return limit;
}

KeepList KeepListFrom(const std::vector<std::pair<std::string, std::string>>& lines) {
    KeepList keep;
    for (const auto& [key, note] : lines) {
        std::int64_t number = 0;
        if (!keyNumberFrom(key, number)) {
            throw Error("'" + key + "' in [Keep] of Dormex.ini is not a key number: each line is " +
                        "<key number>=<note>");
        }
        keep[number] = note;
    }
    return keep;
}

int PersonTypeOf(std::int64_t flags) {
    return site::personTypeOf(flags);
}

void RunReport::log(const std::string& message) const {
    if (m_dropRefused)
        TryWriteLog(message);
    else
        WriteLog(message);
}

void RunReport::daysRead(const std::string& daysText) {
    log("Days = " + daysText);
}

void RunReport::runStarted(const std::string&) {}

void RunReport::cardDeactivated(const std::string& rowText) {
    log(rowText + ", Deactivated");
}

void RunReport::cardKept(const std::string&, const std::string&) {}

void RunReport::feedChecked(const std::string& literal, std::optional<std::int64_t> count) {
    if (count && *count == 0) {
        log("RunQuery():Stopped: no door transaction after " + literal +
            " in the site database; the transaction feed may have stopped, or the database "
            "reads the date differently (see SqlDateFormat); none was deactivated");
    }
}

void RunReport::limitExceeded(std::size_t count, std::int32_t limit) {
    log("RunQuery():Stopped: " + std::to_string(count) +
        " cards would be deactivated, more than MaxDeactivations = " + std::to_string(limit) +
        "; none was deactivated");
}

void RunReport::failure(const std::string& entry) {
    log(entry);
}

TForm1::TForm1(site::CreateFunction createSite, std::string modeArg)
    : m_createSite(std::move(createSite)),
      m_modeArg(std::move(modeArg)),
      m_logReport(!IsSilentArgument(m_modeArg)) {}

void TForm1::FormCreate() {
    const std::string settingsPath = SettingsPath();
    std::string daysText = ReadIniValue(settingsPath, "Days", kSettingsSection);
    if (daysText.empty()) daysText = "30";
    txtDays = daysText;

    LoadCustomNames();

    const int count = CheckListBox1.Count();
    for (int i = 0; i < count; ++i) {
        std::string v = ReadIniValue(settingsPath, "type" + std::to_string(i), kSettingsSection);
        CheckListBox1.SetChecked(i, v.empty() ? false : platform::StrToBool(v));
    }

    if (runs()) {
        std::int32_t days = platform::StrToInt(daysText);
        m_maxDeactivations =
            MaxDeactivationsFrom(ReadIniValue(settingsPath, "MaxDeactivations", kSettingsSection));
        m_sqlDateFormat =
            SqlDateFormatFrom(ReadIniValue(settingsPath, "SqlDateFormat", kSettingsSection));
        m_feedCheck = FeedCheckFrom(ReadIniValue(settingsPath, "FeedCheck", kSettingsSection));
        m_keep = KeepListFrom(platform::ProfileSection(settingsPath, "Keep"));
        m_report->daysRead(daysText);
        RunQuery(days);
        quitOnShow = true;
    }
}

void TForm1::btnCheckAllClick() {
    for (int i = 0; i < CheckListBox1.Count(); ++i) CheckListBox1.SetChecked(i, true);
}

void TForm1::btnSaveClick() {
    const std::string settingsPath = SettingsPath();
    std::int32_t ignored = 0;
    WriteIniValue(settingsPath, "Days", platform::TryStrToInt(txtDays, ignored) ? txtDays : "30",
                  kSettingsSection);
    const int count = CheckListBox1.Count();
    for (int i = 0; i < count; ++i) {
        WriteIniValue(settingsPath, "type" + std::to_string(i),
                      BoolToText(CheckListBox1.Checked(i)), kSettingsSection);
    }
}

void TForm1::LoadCustomNames() {
    // Creating the object is outside the guard: its failure ends the set-up.
    std::shared_ptr<site::TopLevelObject> top = site::CreateTopLevelObject(m_createSite);
    Guarded(
        [&] {
            site::ObjectPtr recordset;
            site::OleCheck(top->RunSql(site::toUtf16(kCustomNamesSql), recordset));
            ADODataSet1.Bind(recordset);
            int i = kFirstCustomEntry;
            while (!ADODataSet1.AtEnd()) {
                CheckListBox1.SetName(i, ADODataSet1.FieldAt(0).AsString());
                ADODataSet1.Next();
                ++i;
            }
        },
        [&](const std::string& message) {
            m_report->failure("LoadCustomNames():" + withoutControlCharacters(message));
            m_failureLogged = true;
        });
}

std::string RowText(const site::TResultCursor& cursor) {
    std::string text;
    for (std::int32_t i = 0; i < cursor.FieldCount(); ++i) {
        text += ',';
        text += withoutControlCharacters(cursor.FieldAt(i).AsString());
    }
    return text;
}

void TForm1::RunQuery(std::int32_t days) {
    std::string marker = "0";
    const std::string cutoffDate = CutoffDateText(platform::clock().now(), days);
    const std::string literal = CutoffLiteral(cutoffDate, m_sqlDateFormat);
    const std::string checkSql = BuildFeedCheckSql(literal);
    const std::string sql = BuildExpirySql(literal);
    // The statement a failure entry names: the feed check's until the selection runs.
    const std::string* running = &checkSql;

    // Creating the object is outside the guard: its failure ends the set-up.
    std::shared_ptr<site::TopLevelObject> top = site::CreateTopLevelObject(m_createSite);
    std::shared_ptr<site::CardCollection> cards;
    std::shared_ptr<site::Card> card;
    m_report->runStarted(cutoffDate);
    Guarded(
        [&] {
            // A site whose door transactions stopped arriving looks idle: without a transaction
            // after the cut-off, every card would go.
            std::optional<std::int64_t> transactions;
            site::ObjectPtr recordset;
            if (m_feedCheck) {
                site::OleCheck(top->RunSql(site::toUtf16(checkSql), recordset));
                ADODataSet1.Bind(recordset);
                if (ADODataSet1.AtEnd()) throw Error("The door transaction count gave no row");
                transactions = ADODataSet1.FieldAt(0).AsInteger();
            }
            m_report->feedChecked(literal, transactions);
            if (transactions && *transactions == 0) {
                m_failureLogged = true;
                return;
            }

            running = &sql;
            recordset.reset();
            site::OleCheck(top->RunSql(site::toUtf16(sql), recordset));
            ADODataSet1.Bind(recordset);

            // The whole selection is read before any card changes. A row the run cannot handle
            // ends the selection there; its error is raised once the cards before it are done,
            // exactly where a row-by-row run would have stopped.
            struct Selected {
                std::string rowText;
                std::int64_t keyNumber;
                const std::string* keptNote;  // set for a card [Keep] lists
            };
            std::vector<Selected> selected;
            std::size_t toDeactivate = 0;
            std::exception_ptr rowFailure;
            try {
                while (!ADODataSet1.AtEnd()) {
                    std::string rowText = RowText(ADODataSet1);
                    const int type = PersonTypeOf(ADODataSet1.FieldByName("flags").AsInteger());
                    if (CheckListBox1.Checked(type)) {
                        const std::int64_t key = ADODataSet1.FieldAt(0).AsInteger();
                        const auto kept = m_keep.find(key);
                        selected.push_back({std::move(rowText), key,
                                            kept == m_keep.end() ? nullptr : &kept->second});
                        if (kept == m_keep.end()) ++toDeactivate;
                    }
                    ADODataSet1.Next();
                }
            } catch (...) {
                rowFailure = std::current_exception();
            }
            if (m_maxDeactivations > 0 &&
                toDeactivate > static_cast<std::size_t>(m_maxDeactivations)) {
                m_report->limitExceeded(toDeactivate, m_maxDeactivations);
                m_failureLogged = true;
                return;
            }

            for (const Selected& row : selected) {
                if (row.keptNote) {
                    m_report->cardKept(row.rowText, *row.keptNote);
                    continue;
                }
                site::ObjectPtr found;
                site::OleCheck(top->FindKeycards(-1, row.keyNumber, found));
                cards = site::QueryInterface<site::CardCollection>(found);
                marker = "1";
                if (!cards) {
                    throw Error("No card collection for key number " +
                                std::to_string(row.keyNumber));
                }
                std::int32_t count = 0;
                site::OleCheck(cards->Count(count));
                if (count > 0) {
                    site::Variant item;
                    site::OleCheck(cards->Item(1, item));
                    card = site::VariantToCard(item);
                    marker = "2";
                    if (!card) {
                        throw Error("No card at item 1 for key number " +
                                    std::to_string(row.keyNumber));
                    }
                    site::OleCheck(card->SetActive(0));
                    marker = "3";
                    site::OleCheck(card->SetCardStatus(3));
                    marker = "4";
                    site::OleCheck(card->SetStatusReason(6));
                    marker = "5";
                    site::OleCheck(card->Save());
                    marker = "6";
                    site::OleCheck(card->QueueDownload(0, 1, 0));
                    // Logged only once the card is saved and its download queued.
                    m_report->cardDeactivated(row.rowText);
                    card.reset();
                }
                cards.reset();
            }
            if (rowFailure) std::rethrow_exception(rowFailure);
        },
        [&](const std::string& message) {
            // The message may come from the site database: it must not add lines to the entry.
            m_report->failure("RunQuery():" + marker + ":" + withoutControlCharacters(message) +
                              "\r\n" + *running);
            m_failureLogged = true;
        });
}

bool RunFormCreate(TForm1& form) {
    return Guarded([&] { form.FormCreate(); },
                   [](const std::string& message) {
                       platform::boxes().showError(platform::kApplicationTitle,
                                                   ErrorBoxText(message));
                   });
}

int ExitStatus(const TForm1& form, bool setupFailed) {
    if (setupFailed) return 2;
    return (form.unattended() || form.quitOnShow) && form.failureLogged() ? 1 : 0;
}

}  // namespace dormex
