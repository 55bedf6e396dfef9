#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "Entries.h"

namespace dormex::platform {
class Boxes;
}

// Where a start's set-up and runs report what they did and what failed, as typed events: one
// reporter per start, which alone decides the log, standard error, the error box and the error
// event. The texts come from Entries.h.
namespace dormex {

class RunReport {
public:
    virtual ~RunReport() = default;
    // The days text of an unattended start, as stored.
    virtual void daysRead(const std::string& daysText) = 0;
    // A selected type (entry `typeName`) has its own idle days, `daysText` as stored, which
    // select the cards idle since `cutoffDate`.
    virtual void typeDaysRead(const std::string& typeName, const std::string& daysText,
                              const std::string& cutoffDate) = 0;
    // An expiry run is about to select the cards idle since `cutoffDate`.
    virtual void runStarted(const std::string& cutoffDate) = 0;
    // The feed check counted `count` door transactions after `literal` (no count when it is
    // off). The run stops, having touched nothing, when the count is 0.
    virtual void feedChecked(const std::string& literal, std::optional<std::int64_t> count) = 0;
    // A card was deactivated (its operations all succeeded).
    virtual void cardDeactivated(const entry::CardRow& row) = 0;
    // A selected card was left alone as [Keep] lists it, with its note.
    virtual void cardKept(const entry::CardRow& row, const std::string& note) = 0;
    // The run deactivated nothing: `count` cards were selected, more than `limit`.
    virtual void limitExceeded(std::size_t count, std::int32_t limit) = 0;
    // The expiry run ended at `step` with `message`; `statement` was running.
    virtual void runFailed(int step, const std::string& message, const std::string& statement) = 0;
    // Loading the custom names failed with `message`.
    virtual void namesFailed(const std::string& message) = 0;
    // The record at `path` refused a deactivated card's row, for `reason`.
    virtual void recordFailed(const std::string& path, const std::string& reason) = 0;
    // The record's recent cards that were presented at a door since their deactivation.
    virtual void presentedChecked(const std::vector<entry::Presented>& cards) = 0;
    // Looking the record's cards up at the doors failed with `message` (no failure of the run).
    virtual void presentedFailed(const std::string& message) = 0;
    // The set-up failed; `text` is the error box's.
    virtual void setupFailed(const std::string& text) = 0;
};

// The report of a window or unattended start. Entries go into the log: one the log refuses
// stops an unattended run (WriteLog) and is tried once and dropped in a window start. A set-up
// failure goes to standard error, and to the error box where one is seen, else into the log.
// Every failure is kept for the one error event of a start that fails.
class LogReport : public RunReport {
public:
    LogReport(bool unattended, std::FILE* err) : m_unattended(unattended), m_err(err) {}

    // The boxes a user sees; null where none is seen.
    void showBoxesIn(platform::Boxes* shown) { m_shown = shown; }

    void daysRead(const std::string& daysText) override;
    void typeDaysRead(const std::string& typeName, const std::string& daysText,
                      const std::string&) override;
    void runStarted(const std::string&) override {}
    void feedChecked(const std::string& literal, std::optional<std::int64_t> count) override;
    void cardDeactivated(const entry::CardRow& row) override;
    void cardKept(const entry::CardRow&, const std::string&) override {}
    void limitExceeded(std::size_t count, std::int32_t limit) override;
    void runFailed(int step, const std::string& message, const std::string& statement) override;
    void namesFailed(const std::string& message) override;
    void recordFailed(const std::string& path, const std::string& reason) override;
    void presentedChecked(const std::vector<entry::Presented>& cards) override;
    void presentedFailed(const std::string& message) override;
    void setupFailed(const std::string& text) override;

    // A failure that ends the start: standard error and the event.
    void failed(const std::string& message);
    // A run the log stopped: standard error, the event, and the error box where one is seen.
    void stopped(const std::string& message);
    // One error event holding every failure, when `status` is 1 or 2.
    void end(int status) const;

private:
    void log(const std::string& message) const;
    // A failure entry: logged, and kept for the error event.
    void failure(const std::string& entry);

    bool m_unattended;
    std::FILE* m_err;
    platform::Boxes* m_shown = nullptr;
    std::vector<std::string> m_failures;
};

}  // namespace dormex
