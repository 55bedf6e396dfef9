// Fuzzes the profile file reader and writer. The input is a file's content, then NUL, section,
// NUL, key, NUL, value (the last three NULs split it; the content may hold NULs of its own).
// Reading never crashes; a write of a writable entry reads back and keeps every other line (of a
// UTF-16LE file: every other line's 16-bit units).
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "platform/Error.h"
#include "platform/Profile.h"

namespace {

using dormex::platform::kProfileValueMax;
using dormex::platform::ProfileRead;
using dormex::platform::ProfileWrite;

const char kBom[] = "\xEF\xBB\xBF";
const char kUtf16Bom[] = "\xFF\xFE";

std::string g_directory;
std::string g_path;

void removeScratch() {
    if (g_path.empty()) return;
    ::unlink(g_path.c_str());
    ::rmdir(g_directory.c_str());
}

// The file every run uses, in a directory of this process made on the first call (under
// $TMPDIR, else /dev/shm, else /tmp).
const std::string& scratchPath() {
    if (!g_path.empty()) return g_path;
    const char* base = std::getenv("TMPDIR");
    if (!base || !*base) base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/dormex-fuzz.XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    g_directory = pattern;
    g_path = g_directory + "/profile.ini";
    std::atexit(removeScratch);
    return g_path;
}

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) std::abort();
}

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <typename C>
using Text = std::basic_string<C>;

template <typename C>
bool isBlank(C c) {
    return c == ' ' || c == '\t' || c == '\v';
}

bool hasEdgeBlank(const std::string& s) {
    return !s.empty() && (isBlank(s.front()) || isBlank(s.back()));
}

bool hasLineBreakOrNul(const std::string& s) {
    return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

bool isAscii(const std::string& s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

template <typename C>
Text<C> trimmed(const Text<C>& s) {
    size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b])) ++b;
    while (e > b && isBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

template <typename C>
bool equalsIgnoringCase(const Text<C>& a, const Text<C>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        C x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<C>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<C>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// An entry whose written line reads back as exactly this section, key and value: no line break
// or NUL anywhere, no blank, tab or vertical tab at either end, a key without '=' that cannot
// read as a comment or a section header, a section without ']', a value not wrapped in quotes;
// ASCII only for a UTF-16 file.
bool isWritable(const std::string& section, const std::string& key, const std::string& value,
                bool utf16) {
    if (hasLineBreakOrNul(section) || hasLineBreakOrNul(key) || hasLineBreakOrNul(value))
        return false;
    if (hasEdgeBlank(section) || hasEdgeBlank(key) || hasEdgeBlank(value)) return false;
    if (section.find(']') != std::string::npos || key.find('=') != std::string::npos) return false;
    if (!key.empty() && (key.front() == '[' || key.front() == ';')) return false;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return false;
    if (utf16 && !(isAscii(section) && isAscii(key) && isAscii(value))) return false;
    return value.size() <= kProfileValueMax;
}

template <typename C>
struct Line {
    Text<C> content;
    Text<C> end;  // "\r\n", "\n", "\r", or empty for an unterminated last line
    bool operator==(const Line& o) const { return content == o.content && end == o.end; }
};

// Splits on CRLF, LF and lone CR.
template <typename C>
std::vector<Line<C>> splitLines(const Text<C>& text) {
    const C breaks[] = {'\r', '\n', 0};
    std::vector<Line<C>> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t e = text.find_first_of(breaks, pos);
        Line<C> line;
        if (e == Text<C>::npos) {
            line.content = text.substr(pos);
            pos = text.size();
        } else {
            size_t length = text[e] == '\r' && e + 1 < text.size() && text[e + 1] == '\n' ? 2 : 1;
            line.content = text.substr(pos, e - pos);
            line.end = text.substr(e, length);
            pos = e + length;
        }
        lines.push_back(line);
    }
    return lines;
}

// ASCII text as `C` characters.
template <typename C>
Text<C> widen(const std::string& s) {
    Text<C> out;
    for (char c : s) out += static_cast<C>(static_cast<unsigned char>(c));
    return out;
}

// The new file is the old one with the key's line rewritten, or with "key=value" (after a new
// "[section]" at the end) inserted; every other line is kept as it was. An unterminated last
// line may gain a line end when lines follow it. A leading `bom` is kept or left out.
template <typename C>
void checkLines(const Text<C>& before, const Text<C>& after, const Text<C>& bom,
                const std::string& sectionName, const std::string& keyName,
                const std::string& valueText, const std::string& input) {
    const Text<C> section = widen<C>(sectionName), key = widen<C>(keyName),
                  value = widen<C>(valueText);
    const bool bomBefore = before.compare(0, bom.size(), bom) == 0;
    require(bomBefore == (after.compare(0, bom.size(), bom) == 0),
            "the write keeps or leaves out the BOM", input);
    const std::vector<Line<C>> o = splitLines(before.substr(bomBefore ? bom.size() : 0));
    const std::vector<Line<C>> n = splitLines(after.substr(bomBefore ? bom.size() : 0));

    size_t prefix = 0;
    while (prefix < o.size() && prefix < n.size() &&
           (o[prefix] == n[prefix] || (prefix + 1 == o.size() && o[prefix].end.empty() &&
                                       o[prefix].content == n[prefix].content)))
        ++prefix;
    size_t suffix = 0;
    while (suffix < o.size() - prefix && suffix < n.size() - prefix &&
           o[o.size() - 1 - suffix] == n[n.size() - 1 - suffix])
        ++suffix;
    const size_t removed = o.size() - prefix - suffix;
    const size_t added = n.size() - prefix - suffix;
    require(removed <= 1, "the write changes at most one existing line", input);

    const Text<C> entry = widen<C>("=") + value;
    if (removed == 1) {
        const Line<C>& old = o[prefix];
        const size_t equals = old.content.find('=');
        require(equals != Text<C>::npos &&
                    equalsIgnoringCase(trimmed(old.content.substr(0, equals)), key),
                "the only line replaced is the key's line", input);
        require(added == 1 && n[prefix].end == old.end, "the key's line is replaced by one line",
                input);
        require(n[prefix].content == trimmed(old.content.substr(0, equals)) + entry,
                "the replaced line is name=value", input);
    } else if (added == 1) {
        require(n[prefix].content == key + entry && !n[prefix].end.empty(),
                "the inserted line is key=value", input);
    } else if (added == 2) {
        require(suffix == 0 && prefix == o.size(), "a new section goes at the end", input);
        require(
            n[prefix].content == widen<C>("[") + section + widen<C>("]") && !n[prefix].end.empty(),
            "a new section starts with its header", input);
        require(n[prefix + 1].content == key + entry && !n[prefix + 1].end.empty(),
                "the new section holds key=value", input);
    } else {
        require(added == 0 && before == after,
                "the write inserts at most two lines and changes nothing else", input);
    }
}

bool isUtf16(const std::string& bytes) {
    return bytes.compare(0, 2, kUtf16Bom) == 0;
}

// A UTF-16LE file's 16-bit units after its BOM, its odd last byte left out.
std::u16string unitsOf(const std::string& bytes) {
    std::u16string units;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
        units += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                       static_cast<unsigned char>(bytes[i + 1]) << 8);
    return units;
}

// checkLines on the file's bytes, or on a UTF-16 file's units, whose encoding and odd last byte
// the write keeps.
void checkEdit(const std::string& before, const std::string& after, const std::string& section,
               const std::string& key, const std::string& value, const std::string& input) {
    if (!isUtf16(before)) {
        checkLines<char>(before, after, kBom, section, key, value, input);
        return;
    }
    require(isUtf16(after) && after.size() % 2 == before.size() % 2 &&
                (before.size() % 2 == 0 || after.back() == before.back()),
            "a UTF-16 file stays UTF-16 with its odd last byte", input);
    checkLines<char16_t>(unitsOf(before), unitsOf(after), u"\xFEFF", section, key, value, input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string content = input, section = "General", key = "Days", value = "30";
    const size_t valueAt = input.rfind('\0');
    const size_t keyAt = valueAt == std::string::npos || valueAt == 0
                             ? std::string::npos
                             : input.rfind('\0', valueAt - 1);
    const size_t sectionAt =
        keyAt == std::string::npos || keyAt == 0 ? std::string::npos : input.rfind('\0', keyAt - 1);
    if (sectionAt != std::string::npos) {
        content = input.substr(0, sectionAt);
        section = input.substr(sectionAt + 1, keyAt - sectionAt - 1);
        key = input.substr(keyAt + 1, valueAt - keyAt - 1);
        value = input.substr(valueAt + 1);
    }

    const std::string& path = scratchPath();
    writeBytes(path, content);
    const std::string read = ProfileRead(path, section, key);
    require(read.size() <= kProfileValueMax, "a read gives at most kProfileValueMax characters",
            input);
    require(!hasLineBreakOrNul(read), "a read gives no line break and no NUL", input);

    try {
        ProfileWrite(path, section, key, value);
    } catch (const dormex::Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        require(false, "a write to a writable scratch file succeeds", input);
    }
    if (!isWritable(section, key, value, isUtf16(content))) return 0;
    const std::string after = readBytes(path);
    require(ProfileRead(path, section, key) == value, "a written value reads back", input);
    checkEdit(content, after, section, key, value, input);
    return 0;
}
