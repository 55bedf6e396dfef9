#include "CardStore.h"

#include "SiteTables.h"
#include "platform/Error.h"

namespace dormex::standin {

std::vector<CardState> CardStore::findCards(std::int64_t keyNumber) {
    std::vector<CardState> cards;
    for (const IntRow& row : m_sql->run(CardStatement::FindCards, {keyNumber}).rows) {
        auto column = [&](size_t i) { return row.at(i).value_or(0); };
        cards.push_back({column(0), static_cast<std::int32_t>(column(1)),
                         static_cast<std::int32_t>(column(2)),
                         static_cast<std::int32_t>(column(3))});
    }
    return cards;
}

PendingDownload CardStore::saveCard(const CardState& card) {
    const std::time_t now = m_now();
    if (m_sql->dialect() != CardDialect::Postgres) return {saveInTransaction(card, now), now};
    // One statement: atomic on its own and a single round trip to the server.
    const SqlOutcome saved = m_sql->run(
        CardStatement::SaveAndQueue,
        {card.active, card.cardStatus, card.statusReason, card.cardId, formatLocalTime(now)});
    if (saved.rows.empty()) throw Error(cardGoneText(card.cardId));
    return {saved.rows.front().at(0).value_or(0), now};
}

std::int64_t CardStore::saveInTransaction(const CardState& card, std::time_t now) {
    m_sql->begin();
    try {
        const SqlOutcome saved =
            m_sql->run(CardStatement::SaveCard,
                       {card.active, card.cardStatus, card.statusReason, card.cardId});
        if (saved.affected == 0) throw Error(cardGoneText(card.cardId));
        std::optional<std::int64_t> id = m_sql
                                             ->run(CardStatement::InsertDownload,
                                                   {card.cardId, kPendingArgs[0], kPendingArgs[1],
                                                    kPendingArgs[2], formatLocalTime(now)},
                                                   true)
                                             .insertId;
        // A driver that cannot tell: the card's newest download, the one just inserted.
        if (!id) {
            const SqlOutcome newest = m_sql->run(CardStatement::NewestDownload, {card.cardId});
            if (!newest.rows.empty()) id = newest.rows.front().at(0);
        }
        if (!id) throw Error(noDownloadIdText(card.cardId));
        m_sql->commit();
        return *id;
    } catch (...) {
        m_sql->rollback();
        throw;
    }
}

void CardStore::queueDownload(std::int64_t cardId, const std::optional<PendingDownload>& pending,
                              std::int32_t a, std::int32_t b, std::int32_t c) {
    const std::time_t now = m_now();
    if (pending && pending->holds(a, b, c, now)) return;
    if (pending && m_sql->run(CardStatement::CompleteDownload,
                              {a, b, c, formatLocalTime(now), pending->downloadId})
                           .affected > 0)
        return;
    m_sql->run(CardStatement::InsertDownload, {cardId, a, b, c, formatLocalTime(now)});
}

}  // namespace dormex::standin
