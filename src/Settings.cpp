#include "Settings.h"

#include "platform/Convert.h"
#include "platform/Error.h"
#include "platform/Profile.h"
#include "platform/Text.h"
#include "site/PersonType.h"
#include "uDormex.h"
#include "uVarious.h"

namespace dormex {
namespace {

const char* const kSettingsSection = "General";

// What `convert` gives; its Error's message is followed by where the value stands, as
// " ([DaysPerType] type1 of Dormex.ini)".
template <class Convert>
auto namedConversion(Convert convert, const std::string& where) {
    try {
        return convert();
    } catch (const Error& e) {
        throw Error(std::string(e.what()) + " (" + where + " of Dormex.ini)");
    }
}

// A key number: blanks, then TextToInt64's text, then blanks.
std::optional<std::int64_t> keyNumberFrom(const std::string& text) {
    return platform::TextToInt64(platform::trimmed(text, " \t"));
}

}  // namespace

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
        const std::optional<std::int64_t> number = keyNumberFrom(key);
        if (!number) {
            throw Error("'" + key + "' in [Keep] of Dormex.ini is not a key number: each line is " +
                        "<key number>=<note>");
        }
        keep[*number] = note;
    }
    return keep;
}

Settings::Settings() : m_path(SettingsPath()) {}

std::string Settings::daysText() const {
    const std::string days = ReadIniValue(m_path, "Days", kSettingsSection);
    return days.empty() ? "30" : days;
}

void Settings::readSelections(TPersonTypeList& list) const {
    const int count = list.Count();
    for (int i = 0; i < count; ++i) {
        const std::string v = ReadIniValue(m_path, "type" + std::to_string(i), kSettingsSection);
        list.SetChecked(i, v.empty() ? false : platform::StrToBool(v));
    }
}

RunGuards Settings::guards() const {
    RunGuards guards;
    guards.maxDeactivations =
        MaxDeactivationsFrom(ReadIniValue(m_path, "MaxDeactivations", kSettingsSection));
    guards.sqlDateFormat =
        SqlDateFormatFrom(ReadIniValue(m_path, "SqlDateFormat", kSettingsSection));
    guards.feedCheck = FeedCheckFrom(ReadIniValue(m_path, "FeedCheck", kSettingsSection));
    const std::string record = ReadIniValue(m_path, "Record", kSettingsSection);
    guards.record = !record.empty() && namedConversion([&] { return platform::StrToBool(record); },
                                                       "[General] Record");
    guards.keep = KeepListFrom(platform::ProfileSection(m_path, "Keep"));
    for (int type = 0; type < site::kPersonTypeCount; ++type) {
        const std::string key = "type" + std::to_string(type);
        const std::string text = ReadIniValue(m_path, key, "DaysPerType");
        if (text.empty()) continue;
        guards.daysPerType[type] = {text, namedConversion([&] { return platform::StrToInt(text); },
                                                          "[DaysPerType] " + key)};
    }
    return guards;
}

void Settings::save(const std::string& daysText, const TPersonTypeList& list,
                    platform::Boxes& boxes) const {
    std::int32_t ignored = 0;
    WriteIniValue(m_path, "Days", platform::TryStrToInt(daysText, ignored) ? daysText : "30",
                  kSettingsSection, boxes);
    const int count = list.Count();
    for (int i = 0; i < count; ++i) {
        if (!list.Settled(i)) continue;
        WriteIniValue(m_path, "type" + std::to_string(i), BoolToText(list.Checked(i)),
                      kSettingsSection, boxes);
    }
}

}  // namespace dormex
