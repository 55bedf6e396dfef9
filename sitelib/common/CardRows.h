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

// The card store's statements, the same for both stand-ins except where a dialect is named; `?`
// binds in the order written.
enum class CardStatement {
    FindCards,         // key number -> CardID, Active, CardStatus, StatusReason, ascending CardID
    SaveCard,          // Active, CardStatus, StatusReason, CardID
    SaveAndQueue,      // PostgreSQL: SaveCard's parameters, then the stamp -> DownloadID
    InsertDownload,    // CardID, Arg1, Arg2, Arg3, stamp
    CompleteDownload,  // Arg1, Arg2, Arg3, stamp, DownloadID
    NewestDownload,    // CardID -> its greatest DownloadID
};
enum class CardDialect { Sqlite, Postgres, Other };

// The text of `statement`; a download's time is bound as text, which SQLite stores as it is and
// the other databases cast to TIMESTAMP.
inline std::string cardStatementSql(CardStatement statement, CardDialect dialect) {
    const std::string stamp = dialect == CardDialect::Sqlite ? "?" : "CAST(? AS TIMESTAMP)";
    switch (statement) {
        case CardStatement::FindCards:
            return "SELECT CardID, Active, CardStatus, StatusReason FROM Keycards WHERE KeyNumber "
                   "= ? ORDER BY CardID";
        case CardStatement::SaveCard:
            return "UPDATE Keycards SET Active = ?, CardStatus = ?, StatusReason = ? WHERE CardID "
                   "= ?";
        case CardStatement::SaveAndQueue:
            return "WITH saved AS (UPDATE Keycards SET Active = ?, CardStatus = ?, StatusReason = "
                   "? WHERE CardID = ? RETURNING CardID) INSERT INTO CardDownloads (CardID, Arg1, "
                   "Arg2, Arg3, QueuedAt) SELECT CardID, " +
                   std::to_string(kPendingArgs[0]) + ", " + std::to_string(kPendingArgs[1]) + ", " +
                   std::to_string(kPendingArgs[2]) + ", " + stamp +
                   " FROM saved RETURNING DownloadID";
        case CardStatement::InsertDownload:
            return "INSERT INTO CardDownloads (CardID, Arg1, Arg2, Arg3, QueuedAt) VALUES (?, ?, "
                   "?, ?, " +
                   stamp + ")";
        case CardStatement::CompleteDownload:
            return "UPDATE CardDownloads SET Arg1 = ?, Arg2 = ?, Arg3 = ?, QueuedAt = " + stamp +
                   " WHERE DownloadID = ?";
        case CardStatement::NewestDownload:
            return "SELECT MAX(DownloadID) FROM CardDownloads WHERE CardID = ?";
    }
    return {};
}

// The card store's messages, the same for both stand-ins.
inline constexpr const char* kPastLastRow = "Cannot move past the last row";
inline std::string cardGoneText(std::int64_t cardId) {
    return "Card " + std::to_string(cardId) + " no longer exists in Keycards";
}
inline std::string noDownloadIdText(std::int64_t cardId) {
    return "The new download of card " + std::to_string(cardId) + " has no DownloadID";
}
inline std::string cardIndexText(std::int32_t index, std::size_t count) {
    return "Card index " + std::to_string(index) + " is out of range 1.." + std::to_string(count);
}

}  // namespace dormex::standin
