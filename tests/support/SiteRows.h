#pragma once

#include <QVariant>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Scenarios.h"
#include "SiteDatabase.h"

namespace dormex::test {

// Settings of the SQLite site file at `path`.
inline sitelib::ConnectionSettings sqliteAt(const std::string& path) {
    sitelib::ConnectionSettings settings;
    settings.database = path;
    return settings;
}

// The test's own connection to a site database: rows in (persons, cards, uses, a scenario's
// site), rows out (card states, queued downloads) and any statement that makes a fault.
// Every method throws on a database error.
class TestSite {
public:
    explicit TestSite(
        const sitelib::ConnectionSettings& settings,
        sitelib::SiteDatabase::OpenMode mode = sitelib::SiteDatabase::OpenMode::Existing)
        : m_db(settings, mode) {}
    // Opens the site (a missing SQLite file is made) and creates its tables.
    static std::unique_ptr<TestSite> create(const sitelib::ConnectionSettings& settings);

    sitelib::SiteDatabase& db() { return m_db; }
    void exec(const std::string& sql) { m_db.exec(QString::fromStdString(sql)); }
    // Every row of `sql`, run with `binds` bound in order.
    std::vector<std::vector<QVariant>> rows(const std::string& sql,
                                            const std::vector<QVariant>& binds = {});

    void add(const scenario::Person& person);
    void add(const scenario::Card& card);
    // A door transaction `daysAgo` days before now (negative: in the future).
    void add(const scenario::Use& use);
    // The site's persons, cards and uses.
    void add(const scenario::Site& rows);
    // The cards with their holders and their uses.
    void add(const std::vector<scenario::HeldCard>& cards);
    void add(const scenario::HeldCard& card) { add(std::vector<scenario::HeldCard>{card}); }
    // The scenario's persons, cards and uses into the (empty) site; its settings into
    // `settingsPath`.
    void fill(const scenario::Site& site, const std::string& settingsPath);
    // Empties the tables a scenario fills.
    void clear();
    // Gives the (empty) tables' KeyNumber columns the SQL type `type`.
    void setKeyColumnType(const std::string& type);
    // Declares the (empty) SQLite tables' columns as a SQL Server provider reports them: money
    // key numbers, real flags, int, smallint, tinyint and bit card columns, datetime stamps.
    void declareProviderTypes();

    // "Active/CardStatus/StatusReason" of every card by CardID.
    std::map<std::int64_t, std::string> cardStates();
    // One card's state, or "missing".
    std::string cardState(std::int64_t cardId);
    // "CardID:Arg1,Arg2,Arg3" of every queued download, in queue order.
    std::vector<std::string> downloadRows();
    // Queued downloads by CardID (cards without any are absent).
    std::map<std::int64_t, int> downloadsPerCard();
    // CardID by the key number's text (as the log writes it).
    std::map<std::string, std::int64_t> cardIdsByKey();

private:
    sitelib::SiteDatabase m_db;
};

}  // namespace dormex::test
