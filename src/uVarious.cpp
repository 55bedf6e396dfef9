#include "uVarious.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "platform/Error.h"
#include "platform/Locale.h"
#include "platform/Platform.h"
#include "platform/Profile.h"

namespace dormex {
namespace {

// Writes all of `text` to `fd` in as few calls as the system allows (one, for an ordinary entry),
// so that concurrent appenders never interleave within an entry.
bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

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
    size_t slash = executablePath.rfind('/');
    std::string directory = slash == std::string::npos ? "" : executablePath.substr(0, slash + 1);
    std::string name =
        slash == std::string::npos ? executablePath : executablePath.substr(slash + 1);
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
        std::string path = LogPathFor(platform::executablePath());
        // Opening never blocks (a FIFO at the path would wait for a reader), and only a regular
        // file is written; anything else is skipped.
        int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
        if (fd < 0) return;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) writeAll(fd, entry);
        ::close(fd);
    } catch (...) {
        // The log never disturbs its caller.
    }
}

std::string SettingsPath() {
    return platform::programDirectory() + "Dormex.ini";
}

}  // namespace dormex
