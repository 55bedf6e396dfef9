#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Scenarios.h"
#include "SiteDatabase.h"

// Rows of a test site written and read through the test's own connection, and the scenarios'
// sites and settings put in place.
namespace dormex::test {

void addPerson(sitelib::SiteDatabase& db, int userid, const char* lastName, const char* firstName,
               std::optional<std::int64_t> flags);
void addCard(sitelib::SiteDatabase& db, int cardId, std::int64_t keyNumber, int userid,
             int active = 1);
// A door transaction of `keyNumber` made `daysAgo` days before now.
void addUse(sitelib::SiteDatabase& db, std::int64_t keyNumber, int daysAgo);

// The scenario's persons, cards and uses into the (empty) site; its settings into `settingsPath`.
void fillScenario(sitelib::SiteDatabase& db, const scenario::Site& site,
                  const std::string& settingsPath);
// Empties the tables a scenario fills.
void clearSite(sitelib::SiteDatabase& db);
// Gives the (empty) tables' KeyNumber columns the SQL type `type`.
void setKeyColumnType(sitelib::SiteDatabase& db, const std::string& type);
// Declares the (empty) SQLite tables' columns as a SQL Server provider reports them: money key
// numbers, real flags, int, smallint, tinyint and bit card columns, datetime stamps.
void declareProviderTypes(sitelib::SiteDatabase& db);

// "Active/CardStatus/StatusReason" of a card, or "missing".
std::string cardState(sitelib::SiteDatabase& db, int cardId);
// "CardID:Arg1,Arg2,Arg3" of every queued download, in queue order.
std::vector<std::string> downloadRows(sitelib::SiteDatabase& db);

}  // namespace dormex::test
