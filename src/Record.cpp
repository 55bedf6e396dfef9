#include "Record.h"

#include <map>

#include "platform/Calendar.h"
#include "platform/Convert.h"
#include "platform/Error.h"
#include "platform/Platform.h"
#include "platform/System.h"
#include "uVarious.h"

namespace dormex::record {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// A field as RFC 4180 writes it: quoted, its quotes doubled, when it holds a comma, a quote or a
// line break.
std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

// A name no spreadsheet runs as a formula.
std::string name(const std::string& text) {
    std::string flat = entry::flattened(text);
    if (!flat.empty() && std::string_view("=+-@").find(flat[0]) != std::string_view::npos)
        flat.insert(0, 1, '\'');
    return csvField(flat);
}

std::string field(const std::vector<std::string>& fields, size_t i) {
    return i < fields.size() ? fields[i] : std::string();
}

// True when `text` starts as the record writes a time, "YYYY-MM-DDTHH:MM:SS".
bool isTime(const std::string& text) {
    static const std::string_view kShape = "dddd-dd-ddTdd:dd:dd";
    if (text.size() < kShape.size()) return false;
    for (size_t i = 0; i < kShape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
    }
    return true;
}

}  // namespace

std::string Path() {
    return PathBesideFor(platform::executablePath(), ".csv");
}

std::string Row(const entry::CardRow& row, const std::string& deactivated) {
    return deactivated + "," + std::to_string(row.keyNumber) + "," + name(field(row.fields, 1)) +
           "," + name(field(row.fields, 2)) + "," + std::to_string(row.personType) + "," +
           name(row.typeName) + "," + std::to_string(row.days) + "," + row.cutoffDate;
}

bool Writer::append(const entry::CardRow& row, std::time_t now, std::string& reason) {
    const std::string path = Path();
    std::string text;
    if (!m_started && !platform::os::fileHasContent(path)) {
        if (platform::os::textFilesStartWithByteOrderMark()) text = kByteOrderMark;
        text += std::string(kHeader) + "\r\n";
    }
    text += Row(row, platform::isoLocalTime(now)) + "\r\n";
    if (!platform::os::appendToFile(path, text)) {
        reason = platform::os::lastErrorText();
        return false;
    }
    m_started = true;
    return true;
}

std::vector<std::vector<std::string>> ParseCsv(std::string_view text) {
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark)
        text.remove_prefix(kByteOrderMark.size());
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> fields(1);
    bool inQuotes = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inQuotes) {
            if (c != '"') {
                fields.back() += c;
            } else if (i + 1 < text.size() && text[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else {
                inQuotes = false;
            }
        } else if (c == '"') {
            inQuotes = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            i += c == '\r';
            rows.push_back(std::move(fields));
            fields.assign(1, {});
        } else {
            fields.back() += c;
        }
    }
    if (fields.size() > 1 || !fields[0].empty()) rows.push_back(std::move(fields));
    return rows;
}

std::vector<entry::Presented> DeactivatedSince(const std::string& sinceDate) {
    const std::string path = Path();
    std::string bytes;
    switch (platform::os::readRegularFile(path, false, bytes)) {
        case platform::os::FileResult::Ok:
            break;
        case platform::os::FileResult::Missing:
            return {};
        default:
            throw Error("cannot read " + path);
    }
    std::map<std::int64_t, entry::Presented> latest;
    for (const std::vector<std::string>& row : ParseCsv(bytes)) {
        const std::optional<std::int64_t> key =
            row.size() > 3 ? platform::TextToInt64(row[1]) : std::nullopt;
        // The header, and any line that is no card's, are passed over.
        if (!key || !isTime(row[0]) || row[0].compare(0, sinceDate.size(), sinceDate) < 0) continue;
        latest[*key] = {*key, row[2], row[3], row[0], 0, {}};
    }
    std::vector<entry::Presented> cards;
    for (auto& [key, card] : latest) cards.push_back(std::move(card));
    return cards;
}

}  // namespace dormex::record
