#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "CardRows.h"

// The card store both stand-in site libraries share: the look-up of a key number's cards, the
// save with its pending download, and the download queue, written once against a small SQL
// layer that each stand-in gives over its own database access.
namespace dormex::standin {

// A statement's parameter: a 32-bit number, a 64-bit number or a text.
using SqlParam = std::variant<std::int32_t, std::int64_t, std::string>;
// A result row as integers; NULL is empty.
using IntRow = std::vector<std::optional<std::int64_t>>;

// What one execution of a card statement gave: every row, read in full and the read ended,
// the rows it changed, and the id of the row it inserted where asked and the driver tells it.
struct SqlOutcome {
    std::vector<IntRow> rows;
    std::int64_t affected = 0;
    std::optional<std::int64_t> insertId;
};

// One connection as the card store uses it: each statement prepared once, from
// cardStatementSql(statement, dialect()), and run with its `?` bound in order. Failures throw
// an exception carrying the database's message as one line.
class CardSql {
public:
    virtual ~CardSql() = default;
    virtual CardDialect dialect() const = 0;
    virtual SqlOutcome run(CardStatement statement, const std::vector<SqlParam>& params,
                           bool wantInsertId = false) = 0;
    virtual void begin() = 0;
    virtual void commit() = 0;
    // Undoes an open transaction; never throws.
    virtual void rollback() noexcept = 0;
};

class CardStore {
public:
    // `now` gives the current time that stamps the downloads.
    CardStore(std::unique_ptr<CardSql> sql, std::function<std::time_t()> now)
        : m_sql(std::move(sql)), m_now(std::move(now)) {}

    // The cards with `keyNumber`, ascending CardID.
    std::vector<CardState> findCards(std::int64_t keyNumber);
    // Writes the card's three state columns and inserts its pending download (see kPendingArgs)
    // atomically: both or, on any failure, neither. PostgreSQL does both in one statement.
    PendingDownload saveCard(const CardState& card);
    // Gives the pending download the arguments and the current local time or, with none or when
    // its row has gone (the service may have taken it), inserts a new download. Writes nothing
    // when the row already holds them (PendingDownload::holds). Committed on its own.
    void queueDownload(std::int64_t cardId, const std::optional<PendingDownload>& pending,
                       std::int32_t a, std::int32_t b, std::int32_t c);

private:
    std::int64_t saveInTransaction(const CardState& card, std::time_t now);

    std::unique_ptr<CardSql> m_sql;
    std::function<std::time_t()> m_now;
};

// A card as a stand-in hands it out: its state, set column by column, and the download its last
// save queued, until QueueDownload completes it.
class StoredCard {
public:
    StoredCard(std::shared_ptr<CardStore> store, const CardState& state)
        : m_store(std::move(store)), m_state(state) {}

    CardState& state() { return m_state; }
    void save() { m_pending = m_store->saveCard(m_state); }
    void queueDownload(std::int32_t a, std::int32_t b, std::int32_t c) {
        m_store->queueDownload(m_state.cardId, m_pending, a, b, c);
        m_pending.reset();
    }

private:
    std::shared_ptr<CardStore> m_store;
    CardState m_state;
    std::optional<PendingDownload> m_pending;
};

}  // namespace dormex::standin
