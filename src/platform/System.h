#pragma once

#include <string>
#include <string_view>

// The operating system's few operations the platform layer is built on, one implementation per
// system (posix/, win/), chosen by CMake. Paths and texts are UTF-8 on every system; the Windows
// side converts them to UTF-16 at each call into the system.
namespace dormex::platform::os {

// Full path of the running executable as the system reports it; empty when it cannot tell.
std::string executablePath();

// True for a character that ends a directory name in a path: "/", and on Windows also "\".
bool isPathSeparator(char c);

// The name a command line starts the executable file `fileName` by: on Windows without its
// extension ("Dormex.exe" gives "Dormex"), elsewhere as it is; the program's own name ("Dormex"
// on Windows, "dormex" elsewhere) when that leaves nothing.
std::string commandName(const std::string& fileName);

// True when something (a file, a directory, a link) exists at `path`.
bool pathExists(const std::string& path);

// True when a file of at least one byte is at `path`.
bool fileHasContent(const std::string& path);

enum class FileResult { Ok, Missing, Denied, Failed };

// The whole regular file `path` as raw bytes; anything else (a directory, a pipe, a device) is
// never read, so a read cannot block. With `forUpdate` the file must also be writable: a file
// the system marks read-only (no write permission bit, the read-only attribute) fails, also for
// an administrator. Missing when there is no such file.
FileResult readRegularFile(const std::string& path, bool forUpdate, std::string& bytes);

// Writes `contents` to a new file beside `path`, flushes it and puts it in place of `path` in one
// step, keeping the old file's permissions. Denied when the directory refuses the new file for
// lack of permission. On failure no new file is left and `path` is untouched.
FileResult replaceFile(const std::string& path, std::string_view contents);

// Rewrites the existing file `path` in place: `contents` from its start, cut to their length,
// flushed. When that fails part way, puts `old` back as well as it can. True on success.
bool rewriteFile(const std::string& path, std::string_view contents, std::string_view old);

// The file a write to `path` changes: the target of a symbolic link (the link stays), else `path`.
std::string writeTarget(const std::string& path);

// Appends `text` to the regular file `path` (created when missing) in one write and flushes it.
// The file is shared for reading only while open. One attempt that never waits: false when the
// file cannot be opened (another program holds it, something else stands at the path) or
// written.
bool appendToFile(const std::string& path, std::string_view text);

// The system's text for the error of the last call that failed in this thread (errno,
// GetLastError), as appendToFile leaves it.
std::string lastErrorText();

// True where text files a spreadsheet program opens start with a UTF-8 byte-order mark, so that
// it reads them as UTF-8 rather than the system's code page (Windows).
bool textFilesStartWithByteOrderMark();

// Reports `text` as one error event of `source` in the system's event log: the Application log
// on Windows, nowhere on POSIX systems. Never fails visibly.
void reportErrorEvent(const std::string& source, const std::string& text);

}  // namespace dormex::platform::os
