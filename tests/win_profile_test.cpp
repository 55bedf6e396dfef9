// Our profile reader against the system's GetPrivateProfileStringA (Wine's, here) on the fuzz
// corpus and a table of awkward files. Where they differ, the case must be one of the known
// differences below, each with the reason ours is right.
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "TestSupport.h"
#include "platform/Profile.h"
#include "platform/Utf.h"

namespace dormex::test {
namespace {

struct Lookup {
    std::string file, section, key;
};

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::string> linesOf(const std::string& file) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i <= file.size(); ++i) {
        if (i == file.size() || file[i] == '\r' || file[i] == '\n') {
            lines.push_back(file.substr(start, i - start));
            start = i + 1;
        }
    }
    return lines;
}

std::string trimmed(const std::string& text, const char* blanks = " \t\v") {
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool anyLine(const std::string& file, bool (*test)(const std::string& line)) {
    for (const std::string& line : linesOf(file))
        if (test(trimmed(line))) return true;
    return false;
}

// Where Wine's reader departs from Windows' (ours follows Windows), or where there is no Windows
// evidence and ours keeps its own rule.
struct KnownDifference {
    const char* what;
    const char* why;
    bool (*applies)(const Lookup&);
};

const KnownDifference kDifferences[] = {
    {"a ';' line", "Windows never finds a key starting with ';': the line is a comment",
     [](const Lookup& l) { return startsWith(trimmed(l.key), ";"); }},
    {"a header with a second ']'", "on Windows a section name ends at the first ']'",
     [](const Lookup& l) {
         return anyLine(l.file, [](const std::string& line) {
             return startsWith(line, "[") && std::count(line.begin(), line.end(), ']') > 1;
         });
     }},
    {"the empty section name",
     "Windows reads '[]' as the section \"\" and never keys before the first header",
     [](const Lookup& l) { return trimmed(l.section, " ").empty(); }},
    {"a '[' line without ']'", "on Windows it opens a section named by the rest of the line",
     [](const Lookup& l) {
         return anyLine(l.file, [](const std::string& line) {
             return startsWith(line, "[") && line.find(']') == std::string::npos;
         });
     }},
    {"a UTF-8 byte-order mark",
     "Windows reads such a file as ANSI bytes; ours skips the mark so the first header counts",
     [](const Lookup& l) { return startsWith(l.file, "\xEF\xBB\xBF"); }},
    {"a UTF-16BE file", "Windows does not read UTF-16BE; only FF FE files are Unicode",
     [](const Lookup& l) { return startsWith(l.file, "\xFE\xFF"); }},
    {"tabs around the caller's names", "Windows strips spaces only, so the names do not match",
     [](const Lookup& l) {
         return l.section.find('\t') != std::string::npos || l.key.find('\t') != std::string::npos;
     }},
    {"a quoted value of 2047 characters", "Wine's quote removal is one short; Windows gives 2047",
     [](const Lookup& l) {
         return anyLine(l.file, [](const std::string& line) {
             const size_t quote = line.find("=\"");
             return quote != std::string::npos && line.size() - quote > platform::kProfileValueMax;
         });
     }},
    {"form feed or Ctrl-Z", "no Windows evidence that they are blanks: ours keeps them",
     [](const Lookup& l) { return l.file.find_first_of("\f\x1A") != std::string::npos; }},
    {"a NUL byte", "no Windows evidence: ours compares names on all bytes and cuts values at NUL",
     [](const Lookup& l) { return l.file.find('\0') != std::string::npos; }},
};

// Awkward files beyond the corpus: each known difference at least once, and Windows rules the
// corpus lacks.
std::vector<Lookup> tableCases() {
    const std::string quoted = "\"" + std::string(2047, 'q') + "\"";
    return {
        {"[S]\r\n[x=1\r\nk=2", "S", "k"},
        {"[S]\r\n[x=1\r\nk=2", "x=1", "k"},
        {"[S]\r\nk=1", " S ", " k "},
        {"[S]\r\n;k=1\r\n", "S", ";k"},
        {"[S]\r\n  ;k=1\r\nk=2\r\n", "S", "k"},
        {"[T]]\r\nk=1\r\n", "T", "k"},
        {"k=0\r\n[]\r\nk=1\r\n", "", "k"},
        {"\xEF\xBB\xBF[S]\r\nk=\xC3\xA9\r\n", "S", "k"},
        {std::string("\xFE\xFF\0[\0S\0]\0\n\0k\0=\0\x31", 16), "S", "k"},
        {"[S]\r\nk=1", "\tS", "k"},
        {"[S]\r\nk=1", "S", "k\t"},
        {"[S]\r\nk=" + quoted + "\r\n", "S", "k"},
        {"[S]\r\nk=\fv\x1A\r\n", "S", "k"},
        {std::string("[S]\r\nk=\"a\0b\"\r\n", 14), "S", "k"},
        {"[S]\r\nk =  spaced value  \r\nq='x'\r\n", "S", "k"},
        {"[A]\nk=1\n", "A", "missing"},
    };
}

// The corpus entries' files (the bytes before the last three NULs) with every section and key
// name they hold, and the entry's own lookup.
std::vector<Lookup> corpusCases() {
    std::vector<Lookup> lookups;
    for (const auto& entry : std::filesystem::directory_iterator(DORMEX_PROFILE_CORPUS)) {
        const std::string bytes = readFile(entry.path().string());
        size_t split[3], end = bytes.size();
        for (size_t& at : split) end = at = bytes.rfind('\0', end - 1);
        if (end == std::string::npos) continue;
        const std::string file = bytes.substr(0, split[2]);
        std::set<std::string> sections{bytes.substr(split[2] + 1, split[1] - split[2] - 1)};
        std::set<std::string> keys{bytes.substr(split[1] + 1, split[0] - split[1] - 1)};
        if (!startsWith(file, "\xFF\xFE")) {
            for (const std::string& raw : linesOf(file)) {
                const std::string line = trimmed(raw);
                if (startsWith(line, "[") && line.find(']') != std::string::npos)
                    sections.insert(line.substr(1, line.find(']') - 1));
                else if (line.find('=') != std::string::npos)
                    keys.insert(line.substr(0, line.find('=')));
            }
        }
        for (const std::string& section : sections)
            for (const std::string& key : keys) lookups.push_back({file, section, key});
    }
    return lookups;
}

// What GetPrivateProfileStringA gives for the lookup, as UTF-8 where the file is Unicode.
std::string systemRead(const std::string& path, const Lookup& l) {
    char buffer[2048];
    const DWORD length = ::GetPrivateProfileStringA(l.section.c_str(), l.key.c_str(), "", buffer,
                                                    sizeof buffer, path.c_str());
    std::string value(buffer, length);
    if (!startsWith(l.file, "\xFF\xFE")) return value;
    const int wide =
        ::MultiByteToWideChar(CP_ACP, 0, value.data(), static_cast<int>(length), nullptr, 0);
    std::wstring text(static_cast<size_t>(wide), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, value.data(), static_cast<int>(length), text.data(), wide);
    return platform::toUtf8(text);
}

TEST(ProfileAgainstTheSystem, DiffersOnlyWhereADifferenceIsKnown) {
    TempDir dir;
    std::vector<Lookup> lookups = corpusCases();
    ASSERT_GE(lookups.size(), 10u) << "the fuzz corpus was not found";
    const std::vector<Lookup> table = tableCases();
    lookups.insert(lookups.end(), table.begin(), table.end());

    std::map<std::string, int> seen;
    int agreed = 0;
    for (size_t i = 0; i < lookups.size(); ++i) {
        const Lookup& l = lookups[i];
        // A file of its own per lookup: the system caches the last profile file it read.
        const std::string path = dir.path() + "\\case" + std::to_string(i) + ".ini";
        writeFile(path, l.file);
        const std::string ours = platform::ProfileRead(path, l.section, l.key);
        const std::string system = systemRead(path, l);
        const KnownDifference* known =
            std::find_if(std::begin(kDifferences), std::end(kDifferences),
                         [&](const KnownDifference& d) { return d.applies(l); });
        if (ours == system)
            ++agreed;
        else if (known != std::end(kDifferences))
            ++seen[known->what];
        else
            ADD_FAILURE() << "unexplained difference for [" << l.section << "] " << l.key << " in "
                          << testing::PrintToString(l.file.substr(0, 60)) << ": ours "
                          << testing::PrintToString(ours) << ", system "
                          << testing::PrintToString(system);
    }
    std::printf("%d of %zu lookups agree\n", agreed, lookups.size());
    for (const KnownDifference& d : kDifferences) {
        std::printf("  %2d differ: %s (%s)\n", seen[d.what], d.what, d.why);
        EXPECT_GT(seen[d.what], 0) << "no case shows the known difference: " << d.what;
    }
    EXPECT_GT(agreed, static_cast<int>(lookups.size()) / 2);
}

}  // namespace
}  // namespace dormex::test
