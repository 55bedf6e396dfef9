#pragma once

#include <ctime>
#include <vector>

#include "SiteTables.h"

// The demo sites' rows, and what generated sites draw from.
namespace dormex::standin {

// The holders' names, the Nth last name with the Nth first name in the demo sites.
constexpr int kNameCount = 40;
extern const char* const kLastNames[kNameCount];
extern const char* const kFirstNames[kNameCount];

// The MXRSettings rows naming the five custom types.
std::vector<Row> customTypeNameRows();

enum class DemoSite {
    // The site tool's: 40 holders covering all eleven types (some with other flag bits set), 60
    // cards (some idle for 35+ days, some never used, some already deactivated, eight without a
    // holder, two sharing one key number, a third above 2^32), used at random from a fixed seed.
    Tool,
    // The trial kit's: 40 holders, type (userid - 1) mod 11, one card each (every third key above
    // 2^32, every thirteenth card inactive), each card's last use 1 to 7 days ago, every fourth
    // card's 35 to 114 days ago, none for cards ending in 7; uses at whole minutes, in time order.
    TrialKit,
};

// Writes `demo` into empty site tables through `inserter`: personnel, Keycards, Transactions
// (days before `now`'s local date), MXRSettings (the custom type names and a site name). The
// same rows for the same local date.
void writeDemoSite(DemoSite demo, std::time_t now, RowInserter& inserter);

}  // namespace dormex::standin
