#include "uVarious.h"

#include <exception>

#include "platform/Error.h"
#include "platform/Locale.h"
#include "platform/Platform.h"
#include "platform/Profile.h"
#include "platform/System.h"

namespace dormex {
std::string ReadIniValue(const std::string& fileName, const std::string& key,
                         const std::string& section) {
    if (fileName.empty() || key.empty()) return {};
    return platform::ProfileRead(fileName, section, key);
}

void WriteIniValue(const std::string& fileName, const std::string& key, const std::string& value,
                   const std::string& section) {
    if (fileName.empty() || key.empty()) return;
    Guarded([&] { platform::ProfileWrite(fileName, section, key, value); },
            [](const std::string& message) {
                platform::boxes().showMessage(platform::kApplicationTitle, message);
            });
}

std::string BoolToText(bool flag) {
    return flag ? "True" : "False";
}

std::string LogPathFor(const std::string& executablePath) {
    size_t start = executablePath.size();
    while (start > 0 && !platform::os::isPathSeparator(executablePath[start - 1])) --start;
    std::string directory = executablePath.substr(0, start);
    std::string name = executablePath.substr(start);
    size_t dot = name.find('.');
    std::string base = dot == std::string::npos ? name : name.substr(0, dot);
    return directory + base + ".log";
}

void WriteLog(const std::string& message) {
    try {
        // Date and time are two separate reads of the clock.
        std::string entry = platform::shortDate(platform::localTime(platform::clock().now()));
        entry += ' ';
        entry += platform::longTime(platform::localTime(platform::clock().now()));
        entry += "  ";
        entry += message;
        entry += "\r\n";
        platform::os::appendToFile(LogPathFor(platform::executablePath()), entry);
    } catch (...) {
        // The log never disturbs its caller.
    }
}

std::string SettingsPath() {
    return platform::programDirectory() + "Dormex.ini";
}

}  // namespace dormex
