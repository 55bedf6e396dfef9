#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

// A card as both stand-in site libraries keep it between its calls. A save writes the card's
// change and queues the card's download in one transaction, so a card is never saved without a
// download request, whatever stops the caller before QueueDownload. The save's (pending)
// download is an ordinary CardDownloads row that the controllers' service sends like any other:
// the arguments a deactivation's download takes (kPendingArgs) and the save's time.
// QueueDownload then overwrites that row's arguments and time with its own.
namespace dormex::standin {

// A card's row: its id and its three state columns.
struct CardState {
    std::int64_t cardId;
    std::int32_t active;
    std::int32_t cardStatus;
    std::int32_t statusReason;
};

inline constexpr std::int32_t kPendingArgs[3] = {0, 1, 0};

// The download a card's save queued, until QueueDownload completes it.
struct PendingDownload {
    std::int64_t downloadId;
    std::time_t savedAt;

    // True when the row already holds a download of (a, b, c) at `now`: the pending arguments
    // within the save's second. QueueDownload then writes nothing.
    bool holds(std::int32_t a, std::int32_t b, std::int32_t c, std::time_t now) const {
        return a == kPendingArgs[0] && b == kPendingArgs[1] && c == kPendingArgs[2] &&
               now == savedAt;
    }
};

// The card store's statements, the same for both stand-ins; `?` binds in the order written. A
// statement that writes a download's time takes the back end's `stamp` parameter text.
inline constexpr const char* kFindCardsSql =
    "SELECT CardID, Active, CardStatus, StatusReason FROM Keycards WHERE KeyNumber = ? "
    "ORDER BY CardID";
inline constexpr const char* kSaveCardSql =
    "UPDATE Keycards SET Active = ?, CardStatus = ?, StatusReason = ? WHERE CardID = ?";
inline std::string insertDownloadSql(const std::string& stamp) {
    return "INSERT INTO CardDownloads (CardID, Arg1, Arg2, Arg3, QueuedAt) VALUES (?, ?, ?, ?, " +
           stamp + ")";
}
inline std::string completeDownloadSql(const std::string& stamp) {
    return "UPDATE CardDownloads SET Arg1 = ?, Arg2 = ?, Arg3 = ?, QueuedAt = " + stamp +
           " WHERE DownloadID = ?";
}

// The card store's messages, the same for both stand-ins.
inline constexpr const char* kPastLastRow = "Cannot move past the last row";
inline std::string cardGoneText(std::int64_t cardId) {
    return "Card " + std::to_string(cardId) + " no longer exists in Keycards";
}
inline std::string cardIndexText(std::int32_t index, std::size_t count) {
    return "Card index " + std::to_string(index) + " is out of range 1.." + std::to_string(count);
}

}  // namespace dormex::standin
