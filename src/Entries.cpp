#include "Entries.h"

namespace dormex::entry {

std::string flattened(std::string text) {
    for (char& c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127) c = ' ';
    }
    return text;
}

std::string rowText(const CardRow& row) {
    std::string text;
    for (const std::string& field : row.fields) text += ',' + flattened(field);
    return text;
}

std::string daysRead(const std::string& daysText) {
    return "Days = " + flattened(daysText);
}

std::string deactivated(const CardRow& row) {
    return rowText(row) + ", Deactivated";
}

std::string runFailed(int step, const std::string& message, const std::string& statement) {
    return "RunQuery():" + std::to_string(step) + ":" + flattened(message) + "\r\n" +
           flattened(statement);
}

std::string namesFailed(const std::string& message) {
    return "LoadCustomNames():" + flattened(message);
}

std::string feedStopped(const std::string& literal) {
    return "RunQuery():Stopped: no door transaction after " + flattened(literal) +
           " in the site database; the transaction feed may have stopped, or the database "
           "reads the date differently (see SqlDateFormat); none was deactivated";
}

std::string limitExceeded(std::size_t count, std::int32_t limit) {
    return "RunQuery():Stopped: " + std::to_string(count) +
           " cards would be deactivated, more than MaxDeactivations = " + std::to_string(limit) +
           "; none was deactivated";
}

std::string setupFailed(const std::string& text) {
    return "Set-up failed: " + flattened(text);
}

std::string typeDaysRead(const std::string& typeName, const std::string& daysText) {
    return daysRead(daysText) + " (" + flattened(typeName) + ")";
}

std::string recordFailed(const std::string& path, const std::string& reason) {
    return "RunQuery():Record: cannot write " + flattened(path) + ": " + flattened(reason);
}

std::string presentedFailed(const std::string& message) {
    return "RunQuery():Presented: " + flattened(message);
}

std::string presentedCount(std::size_t count) {
    if (count == 0) return {};
    return std::to_string(count) +
           (count == 1 ? " card deactivated by this program was"
                       : " cards deactivated by this program were") +
           " presented at a door since; see the preview";
}

std::string feedChecked(const std::string& literal, std::optional<std::int64_t> count) {
    std::string verdict = "not counted, as FeedCheck is off";
    if (count == 0) {
        verdict =
            "0; the run would stop here and deactivate none (the transaction feed may have "
            "stopped, or the database reads the date differently: see SqlDateFormat)";
    } else if (count) {
        verdict = std::to_string(*count) + "; the feed check passes";
    }
    return "Door transactions after '" + flattened(literal) + "': " + verdict;
}

std::string wouldDeactivate(const CardRow& row) {
    return rowText(row) + ", Would deactivate";
}

std::string sharedKey(const CardRow& row) {
    if (row.cards <= 1) return {};
    return "Key number " + std::to_string(row.keyNumber) + " is shared by " +
           std::to_string(row.cards) +
           " cards: the run deactivates only the first the site library gives.";
}

std::string kept(const CardRow& row, const std::string& note) {
    return rowText(row) + ", Kept" + (note.empty() ? "" : ": " + flattened(note));
}

std::string typeDays(const std::string& typeName, const std::string& daysText,
                     const std::string& cutoffDate) {
    return flattened(typeName) + ": Days = " + flattened(daysText) + ", cut-off date " + cutoffDate;
}

std::string presented(const Presented& card) {
    return "  " + std::to_string(card.keyNumber) + " " + flattened(card.lastName) + ", " +
           flattened(card.firstName) + ": deactivated " + flattened(card.deactivated) + "; " +
           std::to_string(card.transactions) + " door transaction" +
           (card.transactions == 1 ? "" : "s") + " since, the last at " + flattened(card.last);
}

std::string summary(const PreviewSummary& found) {
    std::string verdict;
    if (found.feedStopped) {
        verdict = ": the run would stop at the feed check";
    } else if (found.selected > 0) {
        verdict = ": the run would stop, as " + std::to_string(found.selected) +
                  " are selected, more than MaxDeactivations = " + std::to_string(found.limit);
    } else if (found.limit > 0) {
        verdict = ", within MaxDeactivations = " + std::to_string(found.limit);
    }
    const std::string kept = found.keeping ? ", " + std::to_string(found.kept) + " kept" : "";
    return std::to_string(found.cards) + " card" + (found.cards == 1 ? "" : "s") +
           " would be deactivated" + kept + " (Days = " + flattened(found.days) +
           ", cut-off date " + found.cutoffDate + ")" + verdict;
}

}  // namespace dormex::entry
