// The Windows side of the operating system seam: wide-character file functions throughout.
#include "platform/System.h"

#include <windows.h>

#include <vector>

#include "platform/Platform.h"
#include "platform/Utf.h"
#include "platform/win/Wide.h"

namespace dormex::platform::os {
namespace {

using win::Handle;
using win::widePath;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The event of every error report; no message file is registered for it, so Event Viewer shows
// the text after its note that the description was not found.
constexpr DWORD kErrorEventId = 1;
// ReportEventW takes at most 31,839 characters per string.
constexpr size_t kEventTextMax = 31000;

bool writeAll(HANDLE file, std::string_view data) {
    while (!data.empty()) {
        const DWORD chunk = data.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(data.size());
        DWORD written = 0;
        if (!::WriteFile(file, data.data(), chunk, &written, nullptr) || written == 0) return false;
        data.remove_prefix(written);
    }
    return true;
}

// Rewrites the open file from its start with `data` and cuts it there.
bool overwrite(HANDLE file, std::string_view data) {
    LARGE_INTEGER start{};
    return ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && writeAll(file, data) &&
           ::SetEndOfFile(file) && ::FlushFileBuffers(file);
}

// True for an open regular file on a disk; with `writable`, also without the read-only
// attribute (checked here as well, as an administrator under Wine could write such a file).
bool isDiskFile(HANDLE file, bool writable) {
    // The attributes alone: GetFileInformationByHandle also asks for the volume's serial number,
    // which under Wine is a round trip to its mount manager (most of a log entry's cost).
    FILE_BASIC_INFO info{};
    DWORD refused = FILE_ATTRIBUTE_DIRECTORY | (writable ? FILE_ATTRIBUTE_READONLY : 0);
    return ::GetFileType(file) == FILE_TYPE_DISK &&
           ::GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info) &&
           (info.FileAttributes & refused) == 0;
}

// The attributes a replacing file takes over from the file it replaces.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// A name for a new file beside `path` that is unlikely to exist: "<path>.<6 letters>".
std::string temporaryName(const std::string& path, unsigned attempt) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned long long seed = ::GetTickCount64() * 6364136223846793005ULL +
                              ::GetCurrentProcessId() * 1442695040888963407ULL + attempt;
    std::string name = path + ".";
    for (int i = 0; i < 6; ++i) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        name += kLetters[(seed >> 33) % (sizeof kLetters - 1)];
    }
    return name;
}

// Puts `replacement` in place of the existing file `replaced` with ReplaceFileW, which keeps the
// old file's permissions and creation time, giving it a backup name. Whatever failure ReplaceFileW
// reports, the old file is under its own name afterwards: where it was left under the backup's
// name (ERROR_UNABLE_TO_MOVE_REPLACEMENT_2), it is moved back. The caller removes `replacement`.
bool replaceExisting(const std::wstring& replaced, const std::wstring& replacement) {
    const std::wstring backup = replacement + L".bak";
    const auto& replace = services().replaceFile;
    const bool ok = replace
                        ? replace(replaced, replacement, backup)
                        : ::ReplaceFileW(replaced.c_str(), replacement.c_str(), backup.c_str(),
                                         REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
    if (!ok && ::GetFileAttributesW(replaced.c_str()) == INVALID_FILE_ATTRIBUTES)
        ::MoveFileExW(backup.c_str(), replaced.c_str(), MOVEFILE_WRITE_THROUGH);
    if (::GetFileAttributesW(replaced.c_str()) != INVALID_FILE_ATTRIBUTES)
        ::DeleteFileW(backup.c_str());
    return ok;
}

// "\\?\C:\x" -> "C:\x", "\\?\UNC\host\share" -> "\\host\share".
std::wstring withoutLongPrefix(std::wstring path) {
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + path.substr(7);
    if (path.compare(0, 4, L"\\\\?\\") == 0) return path.substr(4);
    return path;
}

}  // namespace

std::string executablePath() {
    return toUtf8(withoutLongPrefix(win::modulePath(nullptr)));
}

bool isPathSeparator(char c) {
    return c == '\\' || c == '/';
}

std::string commandName(const std::string& fileName) {
    const size_t dot = fileName.rfind('.');
    const bool extension = dot != std::string::npos && dot > 0;
    const std::string name = extension ? fileName.substr(0, dot) : fileName;
    return name.empty() ? "Dormex" : name;
}

bool pathExists(const std::string& path) {
    return ::GetFileAttributesW(widePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool fileHasContent(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return ::GetFileAttributesExW(widePath(path).c_str(), GetFileExInfoStandard, &data) &&
           (data.nFileSizeHigh != 0 || data.nFileSizeLow != 0);
}

FileResult readRegularFile(const std::string& path, bool forUpdate, std::string& bytes) {
    bytes.clear();
    // Opening for writing fails on a file with the read-only attribute, for everyone.
    Handle file(::CreateFileW(widePath(path).c_str(),
                              GENERIC_READ | (forUpdate ? GENERIC_WRITE : 0), kShareAll, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileResult::Missing
                                                                              : FileResult::Failed;
    }
    if (!isDiskFile(file.get(), forUpdate)) return FileResult::Failed;
    char buffer[65536];
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr))
            return FileResult::Failed;
        if (read == 0) break;
        bytes.append(buffer, read);
    }
    return FileResult::Ok;
}

FileResult replaceFile(const std::string& path, std::string_view contents) {
    std::wstring temp;
    Handle file;
    for (unsigned attempt = 0; attempt < 100 && !file.valid(); ++attempt) {
        temp = widePath(temporaryName(path, attempt));
        file.reset(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.valid()) break;
        const DWORD error = ::GetLastError();
        if (error == ERROR_ACCESS_DENIED) return FileResult::Denied;
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return FileResult::Failed;
    }
    if (!file.valid()) return FileResult::Failed;
    bool ok = writeAll(file.get(), contents) && ::FlushFileBuffers(file.get());
    ok = file.reset() && ok;

    const std::wstring target = widePath(path);
    const DWORD oldAttributes = ::GetFileAttributesW(target.c_str());
    const bool hadOld = oldAttributes != INVALID_FILE_ATTRIBUTES;
    if (ok && hadOld && (oldAttributes & kKeptAttributes))
        ok = ::SetFileAttributesW(temp.c_str(), oldAttributes & kKeptAttributes) != 0;
    // A file that replaces none is simply moved into place.
    if (ok) {
        ok = hadOld ? replaceExisting(target, temp)
                    : ::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
    }
    if (!ok) ::DeleteFileW(temp.c_str());
    return ok ? FileResult::Ok : FileResult::Failed;
}

bool rewriteFile(const std::string& path, std::string_view contents, std::string_view old) {
    Handle file(::CreateFileW(widePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    const bool ok = overwrite(file.get(), contents);
    if (!ok) overwrite(file.get(), old);
    return file.reset() && ok;
}

std::string writeTarget(const std::string& path) {
    const std::wstring wide = widePath(path);
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return path;
    Handle file(::CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.valid()) return path;
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length = ::GetFinalPathNameByHandleW(file.get(), buffer.data(), size,
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return path;
        if (length < size) return toUtf8(withoutLongPrefix(std::wstring(buffer.data(), length)));
        buffer.resize(length + 1);
    }
}

bool appendToFile(const std::string& path, std::string_view text) {
    // Only FILE_APPEND_DATA: every write goes to the end as one piece, whoever else appends.
    Handle file(::CreateFileW(widePath(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid() || !isDiskFile(file.get(), true)) return false;
    const bool ok = writeAll(file.get(), text) && ::FlushFileBuffers(file.get());
    return file.reset() && ok;
}

std::string lastErrorText() {
    return win::systemMessage(::GetLastError());
}

bool textFilesStartWithByteOrderMark() {
    return true;
}

void reportErrorEvent(const std::string& source, const std::string& text) {
    const HANDLE log = ::RegisterEventSourceW(nullptr, toWide(source).c_str());
    if (!log) return;
    std::wstring wide = toWide(text);
    if (wide.size() > kEventTextMax) wide.resize(kEventTextMax);
    const wchar_t* strings[] = {wide.c_str()};
    ::ReportEventW(log, EVENTLOG_ERROR_TYPE, 0, kErrorEventId, nullptr, 1, 0, strings, nullptr);
    ::DeregisterEventSource(log);
}

}  // namespace dormex::platform::os
