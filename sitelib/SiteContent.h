#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "SiteDatabase.h"

// What goes into a site database: the demo site, large generated sites for benchmarks, and the
// card list the site tool prints. Everything here throws dormex::Error on failure.
namespace dormex::sitelib {

// `t` as local time "YYYY-MM-DD HH:MM:SS", the form every timestamp is written in.
std::string formatLocalTime(std::time_t t);

// Number of person types, and the names of the fixed ones (types 0..5); types 6..10 are the
// site's custom types, named in MXRSettings rows 'Custom Person Type 1'..'5' of 'globalmxr'.
constexpr int kPersonTypeCount = 11;
constexpr int kFixedPersonTypeCount = 6;
extern const char* const kFixedPersonTypeNames[kFixedPersonTypeCount];

// Names of types 0..10: the fixed names, then the site's custom names ("Custom N" when unset).
std::vector<std::string> personTypeNames(SiteDatabase& db);

// Number of rows in `table`.
std::int64_t countRows(SiteDatabase& db, const std::string& table);

// Fills an empty site with the demo content, with transactions relative to `now`: 40 holders
// covering all eleven types, 60 cards (some idle for 35+ days, some never used, some already
// deactivated, eight without a holder, two sharing one key number, a third above 2^32), five
// custom type names. One transaction; deterministic for a given `now`.
void fillDemoSite(SiteDatabase& db, std::time_t now);

struct GenerateOptions {
    std::int64_t cards = 0;         // also the number of holders (one card each)
    std::int64_t transactions = 0;  // spread over the 120 days before `now`, in time order
    std::uint64_t seed = 1;
    std::time_t now = 0;
};

// Fills an empty site with a large random site: holder types spread over 0..10, a quarter of the
// cards without any use in the last 30 days, half of the key numbers above 2^31. One transaction,
// multi-row prepared inserts.
void generateSite(SiteDatabase& db, const GenerateOptions& options);

// One card as the site tool lists it.
struct CardListing {
    std::int64_t cardId = 0;
    std::int64_t keyNumber = 0;
    std::optional<std::string> holder;  // "lastname, firstname"; none without a personnel row
    std::optional<int> personType;      // none without a holder
    int active = 0;
    int cardStatus = 0;
    int statusReason = 0;
};

// Every card, ascending CardID.
std::vector<CardListing> listCards(SiteDatabase& db);

}  // namespace dormex::sitelib
