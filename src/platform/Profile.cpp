#include "platform/Profile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Error.h"
#include "platform/System.h"
#include "platform/Text.h"
#include "platform/Utf.h"

namespace dormex::platform {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

enum class LineKind { Other, Section, Key };

// One line of a profile file, as offsets into the file's bytes. `contentEnd` is where the line
// end starts, `end` is just past it (equal when the last line is unterminated).
struct Line {
    size_t start = 0;
    size_t contentEnd = 0;
    size_t end = 0;
    LineKind kind = LineKind::Other;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // key value, trimmed, quotes still on
};

// Blanks around names and values, as Windows trims them: space, tab and vertical tab.
constexpr std::string_view kBlanks = " \t\v";

std::string_view trim(std::string_view s) {
    return trimmed(s, kBlanks);
}

// A section or key name as a caller passes it: spaces (never tabs) at either end removed.
std::string_view stripSpaces(std::string_view s) {
    return trimmed(s, " ");
}

// A comment (";"), a section header ("[name]" up to the first "]", or the whole rest of a line
// without one; never a key) or a key ("name=value").
void classify(std::string_view text, Line& line) {
    std::string_view content = text.substr(line.start, line.contentEnd - line.start);
    const size_t first = std::min(content.find_first_not_of(kBlanks), content.size());
    if (first == content.size() || content[first] == ';') return;
    if (content[first] == '[') {
        size_t close = content.find(']', first + 1);
        if (close == std::string_view::npos) close = content.size();
        line.kind = LineKind::Section;
        line.name = trim(content.substr(first + 1, close - first - 1));
        return;
    }
    size_t equals = content.find('=');
    if (equals == std::string_view::npos) return;
    line.kind = LineKind::Key;
    line.name = trim(content.substr(0, equals));
    line.value = trim(content.substr(equals + 1));
}

// Splits after a leading BOM on CRLF, LF and lone CR; linear in the size of `text`.
std::vector<Line> parse(std::string_view text) {
    std::vector<Line> lines;
    size_t pos = text.substr(0, kUtf8Bom.size()) == kUtf8Bom ? kUtf8Bom.size() : 0;
    while (pos < text.size()) {
        Line line;
        line.start = pos;
        size_t e = text.find_first_of("\r\n", pos);
        if (e == std::string_view::npos) {
            line.contentEnd = line.end = text.size();
        } else {
            line.contentEnd = e;
            line.end = e + (text[e] == '\r' && e + 1 < text.size() && text[e + 1] == '\n' ? 2 : 1);
        }
        classify(text, line);
        lines.push_back(line);
        pos = line.end;
    }
    return lines;
}

// Where a section's lines are: its header and the first line past it (`lines.size()` at the
// end). header is npos when the section is missing.
struct SectionSpan {
    size_t header = std::string::npos;
    size_t end = 0;
};

SectionSpan findSection(const std::vector<Line>& lines, std::string_view section) {
    SectionSpan span;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind != LineKind::Section) continue;
        if (span.header != std::string::npos) {
            span.end = i;
            return span;
        }
        if (equalsIgnoringAsciiCase(lines[i].name, section)) span.header = i;
    }
    span.end = lines.size();
    return span;
}

size_t findKey(const std::vector<Line>& lines, const SectionSpan& span, std::string_view key) {
    if (span.header == std::string::npos) return std::string::npos;
    for (size_t i = span.header + 1; i < span.end; ++i)
        if (lines[i].kind == LineKind::Key && equalsIgnoringAsciiCase(lines[i].name, key)) return i;
    return std::string::npos;
}

// The line end the file already uses (its first one), CRLF when it has none.
std::string_view lineEndOf(std::string_view text) {
    size_t e = text.find_first_of("\r\n");
    if (e == std::string_view::npos) return "\r\n";
    if (text[e] == '\n') return "\n";
    return e + 1 < text.size() && text[e + 1] == '\n' ? std::string_view("\r\n") : "\r";
}

// --- Text encodings -------------------------------------------------------------------------

constexpr std::string_view kUtf16Bom = "\xFF\xFE";

// UTF-16LE bytes as UTF-8. An unpaired surrogate becomes its own three-byte form, so that
// utf8ToUtf16Le gives back the very same units. An odd last byte is left out.
std::string utf16LeToUtf8(std::string_view bytes) {
    std::u16string units(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                         static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    return toUtf8(units, LoneSurrogates::Keep);
}

// UTF-8 (surrogates' three-byte forms included) as UTF-16LE bytes; a byte that starts no
// well-formed sequence becomes U+FFFD.
std::string utf8ToUtf16Le(std::string_view text) {
    std::string out;
    for (const char16_t unit : toUtf16(text, LoneSurrogates::Keep)) {
        out += static_cast<char>(unit & 0xFF);
        out += static_cast<char>(unit >> 8);
    }
    return out;
}

// A profile file's bytes as the parser reads them: as they are, or, after the byte-order mark
// FF FE, a UTF-16LE file's text as UTF-8 (the program's 8-bit text).
struct DecodedFile {
    std::string text;
    bool utf16 = false;
    std::string oddByte;  // a UTF-16 file's odd last byte, kept as it is
};

DecodedFile decode(std::string bytes) {
    DecodedFile file;
    if (std::string_view(bytes).substr(0, kUtf16Bom.size()) != kUtf16Bom) {
        file.text = std::move(bytes);
        return file;
    }
    const std::string_view units = std::string_view(bytes).substr(kUtf16Bom.size());
    file.utf16 = true;
    file.text = utf16LeToUtf8(units.substr(0, units.size() & ~size_t{1}));
    file.oddByte = units.substr(units.size() & ~size_t{1});
    return file;
}

// The bytes of `text` in the encoding `file` was read in.
std::string encode(const DecodedFile& file, std::string text) {
    if (!file.utf16) return text;
    return std::string(kUtf16Bom) + utf8ToUtf16Le(text) + file.oddByte;
}

using os::FileResult;

// A value as a read gives it: one pair of enclosing quotes removed, cut at a NUL byte and to
// kProfileValueMax characters (between characters for text decoded from UTF-16).
std::string readValue(std::string_view value, bool utf16) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    value = value.substr(0, value.find('\0'));
    size_t length = std::min(value.size(), kProfileValueMax);
    while (utf16 && length > 0 && length < value.size() &&
           (static_cast<unsigned char>(value[length]) & 0xC0) == 0x80)
        --length;
    return std::string(value.substr(0, length));
}

}  // namespace

std::string ProfileRead(const std::string& path, const std::string& section,
                        const std::string& key) {
    try {
        std::string bytes;
        if (os::readRegularFile(path, false, bytes) != FileResult::Ok) return {};
        const DecodedFile file = decode(std::move(bytes));
        std::vector<Line> lines = parse(file.text);
        size_t index = findKey(lines, findSection(lines, stripSpaces(section)), stripSpaces(key));
        if (index == std::string::npos) return {};
        return readValue(lines[index].value, file.utf16);
    } catch (...) {
        return {};
    }
}

std::vector<std::pair<std::string, std::string>> ProfileSection(const std::string& path,
                                                                const std::string& section) {
    std::vector<std::pair<std::string, std::string>> entries;
    try {
        std::string bytes;
        if (os::readRegularFile(path, false, bytes) != FileResult::Ok) return {};
        const DecodedFile file = decode(std::move(bytes));
        const std::vector<Line> lines = parse(file.text);
        const SectionSpan span = findSection(lines, stripSpaces(section));
        if (span.header == std::string::npos) return {};
        for (size_t i = span.header + 1; i < span.end; ++i) {
            const Line& line = lines[i];
            if (line.kind == LineKind::Key) {
                entries.emplace_back(line.name, readValue(line.value, file.utf16));
                continue;
            }
            const std::string_view content =
                trim(std::string_view(file.text).substr(line.start, line.contentEnd - line.start));
            if (!content.empty() && content.front() != ';') entries.emplace_back(content, "");
        }
        return entries;
    } catch (...) {
        return {};
    }
}

void ProfileWrite(const std::string& path, const std::string& sectionName,
                  const std::string& keyName, const std::string& value) {
    const std::string_view section = stripSpaces(sectionName), key = stripSpaces(keyName);
    const std::string target = os::writeTarget(path);
    std::string bytes;
    const FileResult read = os::readRegularFile(target, true, bytes);
    if (read == FileResult::Failed) throw Error("Unable to write to " + path);

    const DecodedFile file = decode(bytes);
    const std::string_view text(file.text);
    const std::string_view eol = lineEndOf(text);
    const std::vector<Line> lines = parse(text);
    const SectionSpan span = findSection(lines, section);

    // The new contents are text[0, from) + piece + text[to, end).
    size_t from = text.size();
    size_t to = text.size();
    std::string piece;
    auto terminate = [&](const Line& line) {
        if (line.contentEnd == line.end) piece.append(eol);
    };

    size_t keyIndex = findKey(lines, span, key);
    if (keyIndex != std::string::npos) {
        const Line& line = lines[keyIndex];
        from = line.start;
        to = line.contentEnd;
        piece.append(line.name).append("=").append(value);
    } else if (span.header != std::string::npos) {
        size_t after = span.header;
        for (size_t i = span.header + 1; i < span.end; ++i)
            if (lines[i].kind == LineKind::Key) after = i;
        const Line& previous = lines[after];
        from = to = previous.end;
        terminate(previous);
        // In a file with mixed line ends, the file's first one could merge with the next line's
        // (a lone CR before an LF): the new line ends as the one before it does.
        std::string_view ownEnd =
            text.substr(previous.contentEnd, previous.end - previous.contentEnd);
        piece.append(key).append("=").append(value).append(ownEnd.empty() ? eol : ownEnd);
    } else {
        if (!lines.empty()) terminate(lines.back());
        piece.append("[").append(section).append("]").append(eol);
        piece.append(key).append("=").append(value).append(eol);
    }

    std::string contents;
    contents.reserve(text.size() + piece.size());
    contents.append(text.substr(0, from)).append(piece).append(text.substr(to));
    contents = encode(file, std::move(contents));

    // A directory the account may not create files in still lets it save an existing file in
    // place, as the Windows functions always do.
    FileResult written = os::replaceFile(target, contents);
    if (written == FileResult::Denied && read == FileResult::Ok &&
        os::rewriteFile(target, contents, bytes))
        written = FileResult::Ok;
    if (written != FileResult::Ok) throw Error("Unable to write to " + path);
}

}  // namespace dormex::platform
