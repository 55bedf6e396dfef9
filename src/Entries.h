#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Every text the log and the preview show, made from what the set-up and the runs report. Each
// text that comes from outside (row values, messages, settings, paths) has its control
// characters made blanks here, so that no entry holds one or can be split into two.
namespace dormex::entry {

// A selected row of the expiry statement and the card lookup made for it.
struct CardRow {
    std::vector<std::string> fields;  // the row's columns as text (NULL is empty), in order
    std::int64_t keyNumber = 0;
    std::int32_t cards = 0;  // cards in the key number's collection; 0 before the lookup
    int personType = 0;
    std::string typeName;    // the type's entry's name when the row was read
    std::int32_t days = 0;   // the idle days that selected it
    std::string cutoffDate;  // its statement's cut-off date, YYYY-MM-DD
};

// A card the record lists as deactivated, and the door transactions with its key number since.
struct Presented {
    std::int64_t keyNumber = 0;
    std::string lastName;
    std::string firstName;
    std::string deactivated;  // as the record has it
    std::int64_t transactions = 0;
    std::string last;  // the last transaction's time, as the site database gives it
};

// `text` with every byte 0 to 31, and 127, made a blank.
std::string flattened(std::string text);

// "," and the flattened text of every field: the row text the entries start with.
std::string rowText(const CardRow& row);

// The log's entries.
std::string daysRead(const std::string& daysText);
std::string deactivated(const CardRow& row);
// Two lines: the step marker and message, then the statement that ran.
std::string runFailed(int step, const std::string& message, const std::string& statement);
std::string namesFailed(const std::string& message);
std::string feedStopped(const std::string& literal);
std::string limitExceeded(std::size_t count, std::int32_t limit);
std::string setupFailed(const std::string& text);
// "Days = 7 (Visitor)": a selected type's own idle days, as stored.
std::string typeDaysRead(const std::string& typeName, const std::string& daysText);
std::string recordFailed(const std::string& path, const std::string& reason);
std::string presentedFailed(const std::string& message);
// Empty when `count` is 0.
std::string presentedCount(std::size_t count);

// The preview's lines, without their line ends.
std::string feedChecked(const std::string& literal, std::optional<std::int64_t> count);
std::string wouldDeactivate(const CardRow& row);
// Empty unless several cards share the row's key number.
std::string sharedKey(const CardRow& row);
std::string kept(const CardRow& row, const std::string& note);
// "Visitor: Days = 7, cut-off date 2026-12-02".
std::string typeDays(const std::string& typeName, const std::string& daysText,
                     const std::string& cutoffDate);
inline const char* const kPresentedHeading =
    "Presented at a door after this program deactivated them:";
std::string presented(const Presented& card);

// What the preview found, for its last line.
struct PreviewSummary {
    int cards = 0;
    int kept = 0;
    bool keeping = false;  // a [Keep] list is set
    std::string days;
    std::string cutoffDate;
    bool feedStopped = false;
    std::size_t selected = 0;  // more than the limit: the run would stop
    std::int32_t limit = 0;
};
std::string summary(const PreviewSummary& found);

}  // namespace dormex::entry
