#pragma once

#include <string>

namespace dormex::platform {
class Boxes;
}

// Small routines shared across the program: settings access and the activity log.
namespace dormex {

// Value of `key` in `section` of the profile file, or empty text (also when `fileName` or `key`
// is empty, without touching the file). At most 2047 characters.
std::string ReadIniValue(const std::string& fileName, const std::string& key,
                         const std::string& section);

// Writes key=value into `section`. Does nothing when `fileName` or `key` is empty. A failure is
// shown in a message box of `boxes` ("Unable to write to <fileName>") and the call returns
// normally.
void WriteIniValue(const std::string& fileName, const std::string& key, const std::string& value,
                   const std::string& section, platform::Boxes& boxes);

// "True" or "False".
std::string BoolToText(bool flag);

// Path of a file named after an executable: its directory, the file name up to the first "."
// (the whole name when it has none) and `extension` (".log" for the log).
std::string PathBesideFor(const std::string& executablePath, const std::string& extension);

// PathBesideFor(executablePath, ".log").
std::string LogPathFor(const std::string& executablePath);

// Appends "<short date> <long time>  <message>\r\n" to the log beside the executable in one
// write. An entry the log refuses is tried again for up to 10 seconds (the services' log wait);
// after that WriteLog throws RunStopped naming the log's path and the entry, so that no card is
// ever left without its entry.
void WriteLog(const std::string& message);

// Appends the entry as WriteLog does, in one attempt that never waits: false when the log
// refused it, and the entry is dropped.
bool TryWriteLog(const std::string& message);

// Path of the settings file: the program directory followed by "Dormex.ini".
std::string SettingsPath();

}  // namespace dormex
