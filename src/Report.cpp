#include "Report.h"

#include "platform/Error.h"
#include "platform/Platform.h"
#include "platform/System.h"
#include "platform/Text.h"
#include "uVarious.h"

namespace dormex {

void LogReport::log(const std::string& message) const {
    if (m_unattended)
        WriteLog(message);
    else
        TryWriteLog(message);
}

void LogReport::daysRead(const std::string& daysText) {
    log("Days = " + daysText);
}

void LogReport::feedChecked(const std::string& literal, std::optional<std::int64_t> count) {
    if (count != 0) return;
    failure("RunQuery():Stopped: no door transaction after " + literal +
            " in the site database; the transaction feed may have stopped, or the database "
            "reads the date differently (see SqlDateFormat); none was deactivated");
}

void LogReport::cardDeactivated(const std::string& rowText, std::int64_t, std::int32_t) {
    log(rowText + ", Deactivated");
}

void LogReport::limitExceeded(std::size_t count, std::int32_t limit) {
    failure("RunQuery():Stopped: " + std::to_string(count) +
            " cards would be deactivated, more than MaxDeactivations = " + std::to_string(limit) +
            "; none was deactivated");
}

void LogReport::failure(const std::string& entry) {
    log(entry);
    m_failures.push_back(entry);
}

void LogReport::setupFailed(const std::string& text) {
    failed(text);
    if (m_shown) {
        m_shown->showError(platform::kApplicationTitle, text);
        return;
    }
    try {
        // The text may hold a settings value or a path: it must not add lines to the log.
        log("Set-up failed: " + platform::withoutControlCharacters(text));
    } catch (const RunStopped& e) {
        failed(e.what());
    }
}

void LogReport::failed(const std::string& message) {
    std::fprintf(m_err, "%s: %s\n", platform::kApplicationTitle, message.c_str());
    m_failures.push_back(message);
}

void LogReport::stopped(const std::string& message) {
    failed(message);
    if (m_shown) m_shown->showError(platform::kApplicationTitle, message);
}

void LogReport::end(int status) const {
    if (status == 0) return;
    std::string text;
    for (const std::string& failure : m_failures) text += (text.empty() ? "" : "\r\n") + failure;
    if (text.empty()) text = "The run ended with exit status " + std::to_string(status);
    platform::os::reportErrorEvent(platform::kApplicationTitle, text);
}

}  // namespace dormex
