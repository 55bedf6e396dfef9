#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "SiteDatabase.h"

// What the site tool puts into a site database: the demo site and large generated sites for
// benchmarks, and the card list it prints. Everything here throws dormex::Error on failure.
namespace dormex::sitelib {

// Names of types 0..10: the fixed names, then the site's custom names ("Custom N" when unset).
std::vector<std::string> personTypeNames(SiteDatabase& db);

// Number of rows in `table`.
std::int64_t countRows(SiteDatabase& db, const std::string& table);

// Fills an empty site with the site tool's demo site (standin::DemoSite::Tool), with
// transactions relative to `now`, in one transaction.
void fillDemoSite(SiteDatabase& db, std::time_t now);

struct GenerateOptions {
    std::int64_t cards = 0;         // also the number of holders (one card each)
    std::int64_t transactions = 0;  // spread over the `spanDays` days before `now`, in time order
    std::uint64_t seed = 1;
    std::time_t now = 0;
    int spanDays = 120;
    // Share of the cards (0 up to, not including, 1) with no use since the start of the day
    // `kGeneratedIdleDays` days before `now`: the idle cards, spread evenly over the CardIDs.
    double idleShare = 0.25;
};

// The idle cards of a generated site have no use in this many days before `now`.
constexpr int kGeneratedIdleDays = 30;

// Fills an empty site with a large random site: holder types spread over 0..10, the idle share of
// the cards without any use in the last 30 days, half of the key numbers above 2^31. Every other
// card gets at least one use in those 30 days when they hold enough transactions, so that exactly
// the idle cards are idle. One transaction, multi-row prepared inserts.
void generateSite(SiteDatabase& db, const GenerateOptions& options);

// True when the card at zero-based `index` is one of the idle cards of a site generated with
// `idleShare` (every fourth, from the first, for 0.25).
bool isGeneratedIdleCard(std::int64_t index, double idleShare);

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
