#include "platform/Profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/Error.h"
#include "platform/Text.h"

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

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b])) ++b;
    while (e > b && isBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// A comment (";"), a section header ("[name]", never a key) or a key ("name=value").
void classify(std::string_view text, Line& line) {
    std::string_view content = text.substr(line.start, line.contentEnd - line.start);
    size_t first = 0;
    while (first < content.size() && isBlank(content[first])) ++first;
    if (first == content.size() || content[first] == ';') return;
    if (content[first] == '[') {
        size_t close = content.find(']', first + 1);
        if (close == std::string_view::npos) return;
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

enum class ReadResult { Ok, Missing, Failed };

// Whole file as raw bytes. Only regular files are read, so a FIFO or device cannot block.
ReadResult readFile(const std::string& path, std::string& bytes) {
    bytes.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return ReadResult::Failed;
    }
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return ReadResult::Failed;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return ReadResult::Ok;
}

// The line end the file already uses (its first one), CRLF when it has none.
std::string_view lineEndOf(std::string_view text) {
    size_t e = text.find_first_of("\r\n");
    if (e == std::string_view::npos) return "\r\n";
    if (text[e] == '\n') return "\n";
    return e + 1 < text.size() && text[e + 1] == '\n' ? std::string_view("\r\n") : "\r";
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Writes `contents` to a temporary file beside `path` and renames it over `path`, keeping the
// old file's mode (0644 for a new file). On failure the temporary file is gone and `path` is
// untouched.
bool replaceFile(const std::string& path, std::string_view contents) {
    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return false;

    struct stat old {};
    mode_t mode = 0644;
    bool hadOld = ::stat(path.c_str(), &old) == 0;
    if (hadOld) mode = old.st_mode & 07777;
    bool ok = ::fchmod(fd, mode) == 0;
    if (ok && hadOld && ::fchown(fd, old.st_uid, old.st_gid) != 0) {
        // Only root may keep another owner; otherwise the writer owns the new file.
    }
    ok = ok && writeAll(fd, contents) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

}  // namespace

std::string ProfileRead(const std::string& path, const std::string& section,
                        const std::string& key) {
    try {
        std::string bytes;
        if (readFile(path, bytes) != ReadResult::Ok) return {};
        std::vector<Line> lines = parse(bytes);
        size_t index = findKey(lines, findSection(lines, section), key);
        if (index == std::string::npos) return {};

        std::string_view value = lines[index].value;
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        value = value.substr(0, value.find('\0'));
        return std::string(value.substr(0, kProfileValueMax));
    } catch (...) {
        return {};
    }
}

void ProfileWrite(const std::string& path, const std::string& section, const std::string& key,
                  const std::string& value) {
    // A symbolic link stays a link: its target is the file rewritten.
    std::string target = path;
    struct stat link {};
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }

    std::string bytes;
    if (readFile(target, bytes) == ReadResult::Failed) throw Error("Unable to write to " + path);

    const std::string_view text(bytes);
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
    if (!replaceFile(target, contents)) throw Error("Unable to write to " + path);
}

}  // namespace dormex::platform
