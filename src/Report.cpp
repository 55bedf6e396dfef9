#include "Report.h"

#include "platform/Error.h"
#include "platform/Platform.h"
#include "platform/System.h"
#include "uVarious.h"

namespace dormex {

void LogReport::log(const std::string& message) const {
    if (m_unattended)
        WriteLog(message);
    else
        TryWriteLog(message);
}

void LogReport::daysRead(const std::string& daysText) {
    log(entry::daysRead(daysText));
}

void LogReport::typeDaysRead(const std::string& typeName, const std::string& daysText,
                             const std::string&) {
    log(entry::typeDaysRead(typeName, daysText));
}

void LogReport::feedChecked(const std::string& literal, std::optional<std::int64_t> count) {
    if (count == 0) failure(entry::feedStopped(literal));
}

void LogReport::cardDeactivated(const entry::CardRow& row) {
    log(entry::deactivated(row));
}

void LogReport::limitExceeded(std::size_t count, std::int32_t limit) {
    failure(entry::limitExceeded(count, limit));
}

void LogReport::runFailed(int step, const std::string& message, const std::string& statement) {
    failure(entry::runFailed(step, message, statement));
}

void LogReport::namesFailed(const std::string& message) {
    failure(entry::namesFailed(message));
}

void LogReport::recordFailed(const std::string& path, const std::string& reason) {
    failure(entry::recordFailed(path, reason));
}

void LogReport::presentedChecked(const std::vector<entry::Presented>& cards) {
    if (!cards.empty()) log(entry::presentedCount(cards.size()));
}

void LogReport::presentedFailed(const std::string& message) {
    log(entry::presentedFailed(message));
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
        log(entry::setupFailed(text));
    } catch (const RunStopped& e) {
        failed(e.what());
    }
}

void LogReport::failed(const std::string& message) {
    // One line on standard error, whatever the message holds: a terminal shows no control codes.
    std::fprintf(m_err, "%s: %s\n", platform::kApplicationTitle, entry::flattened(message).c_str());
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
