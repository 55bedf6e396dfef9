#include "uVarious.h"

#include <thread>

#include "platform/Error.h"
#include "platform/Locale.h"
#include "platform/Platform.h"
#include "platform/Profile.h"
#include "platform/System.h"

namespace dormex {
namespace {

constexpr auto kLogRetryTime = std::chrono::seconds(10);
constexpr auto kLogRetryInterval = std::chrono::milliseconds(100);

bool waitForTheLog(std::chrono::steady_clock::duration sinceFirst) {
    if (sinceFirst >= kLogRetryTime) return false;
    std::this_thread::sleep_for(kLogRetryInterval);
    return true;
}

// The log's entry for `message`: date and time are two separate reads of the clock.
std::string logEntry(const std::string& message) {
    const std::string date = platform::shortDate(platform::localTime(platform::clock().now()));
    return date + ' ' + platform::longTime(platform::localTime(platform::clock().now())) + "  " +
           message;
}

}  // namespace

std::string ReadIniValue(const std::string& fileName, const std::string& key,
                         const std::string& section) {
    if (fileName.empty() || key.empty()) return {};
    return platform::ProfileRead(fileName, section, key);
}

void WriteIniValue(const std::string& fileName, const std::string& key, const std::string& value,
                   const std::string& section, platform::Boxes& boxes) {
    if (fileName.empty() || key.empty()) return;
    Guarded([&] { platform::ProfileWrite(fileName, section, key, value); },
            [&](const std::string& message) {
                boxes.showMessage(platform::kApplicationTitle, message);
            });
}

std::string BoolToText(bool flag) {
    return flag ? "True" : "False";
}

std::string PathBesideFor(const std::string& executablePath, const std::string& extension) {
    const std::string name = platform::fileNameOf(executablePath);
    const std::string directory = executablePath.substr(0, executablePath.size() - name.size());
    size_t dot = name.find('.');
    std::string base = dot == std::string::npos ? name : name.substr(0, dot);
    return directory + base + extension;
}

std::string LogPathFor(const std::string& executablePath) {
    return PathBesideFor(executablePath, ".log");
}

void WriteLog(const std::string& message) {
    const std::string entry = logEntry(message);
    const std::string path = LogPathFor(platform::executablePath());
    const platform::LogRetryWait& wait = platform::services().logRetryWait;
    const auto first = std::chrono::steady_clock::now();
    while (!platform::os::appendToFile(path, entry + "\r\n")) {
        const auto sinceFirst = std::chrono::steady_clock::now() - first;
        if (!(wait ? wait(sinceFirst) : waitForTheLog(sinceFirst))) {
            throw RunStopped("Could not write to the log " + path +
                             " for 10 seconds; the run stopped there. Entry not written: \"" +
                             entry + "\"");
        }
    }
}

bool TryWriteLog(const std::string& message) {
    return platform::os::appendToFile(LogPathFor(platform::executablePath()),
                                      logEntry(message) + "\r\n");
}

std::string SettingsPath() {
    return platform::programDirectory() + "Dormex.ini";
}

}  // namespace dormex
