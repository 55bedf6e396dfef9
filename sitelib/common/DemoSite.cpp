#include "DemoSite.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <utility>

#include "platform/Calendar.h"
#include "site/PersonType.h"

namespace dormex::standin {
namespace {

constexpr int kHolders = kNameCount;
constexpr int kToolCards = 60;
// The trial kit's transactions reach back this many days.
constexpr int kTrialKitDays = 120;

const char* const kCustomTypeNames[site::kCustomTypeCount] = {"Cleaner", "Security", "Intern",
                                                              "Board Member", "Maintenance"};

// The key number of demo card `card`: every third above 2^32.
std::int64_t keyNumberOf(int card) {
    if (card == 52) card = 12;  // a reissued card keeps the key number of the old one
    return card % 3 == 0 ? 5000000000LL + card * 1013LL : 100000LL + card * 17LL;
}

std::vector<Row> personnelRows(bool otherFlagBits) {
    std::vector<Row> rows;
    for (int i = 0; i < kHolders; ++i) {
        // Other flag bits set on some holders: the type must be read through its mask.
        const std::int64_t otherBits = otherFlagBits ? (i % 5 == 0 ? 0x2000000 : 0) | (i & 0x7) : 0;
        rows.push_back({std::int64_t{i + 1}, kLastNames[i], kFirstNames[i],
                        site::flagsForType(i % site::kPersonTypeCount, otherBits)});
    }
    return rows;
}

// Cards 1..40 belong to holders 1..40, cards 41..52 are second cards, the rest have no holder.
std::vector<Row> keycardRows(int cards) {
    std::vector<Row> rows;
    for (int card = 1; card <= cards; ++card) {
        Value holder = nullptr;
        if (card <= kHolders)
            holder = std::int64_t{card};
        else if (card <= 52)
            holder = std::int64_t{((card - 41) * 3) % kHolders + 1};
        const bool deactivated = card % 13 == 0;
        rows.push_back({std::int64_t{card}, keyNumberOf(card), holder,
                        std::int64_t{deactivated ? 0 : 1}, std::int64_t{deactivated ? 3 : 0},
                        std::int64_t{deactivated ? 6 : 0}});
    }
    return rows;
}

// Idle cards were last used 35..114 days ago, the others within the last 9 days, each card from
// 119 days ago on at random intervals and times of day.
std::vector<Row> toolTransactionRows(std::time_t now) {
    std::mt19937 random(20261108);
    auto below = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    std::vector<Row> rows;
    auto use = [&](int card, int day) {
        rows.push_back({keyNumberOf(card),
                        formatLocalTime(localDayTime(now, day, 7 * 3600 + below(12 * 3600)))});
    };
    for (int card = 1; card <= kToolCards; ++card) {
        if (card % 10 == 7) continue;  // never used
        const int lastDay = card % 4 == 1 ? 35 + (card * 7) % 80 : 1 + below(9);
        for (int day = 119; day >= lastDay; day -= 1 + below(6)) use(card, day);
        use(card, lastDay);
    }
    return rows;
}

// Each card's uses on its last day and every third day before it, at a whole minute between
// 07:00 and 17:59 of the local date; rows in time order, which no two uses share.
std::vector<Row> trialKitTransactionRows(std::time_t now) {
    std::vector<std::string> dates;
    for (int n = 0; n <= kTrialKitDays; ++n) dates.push_back(platform::localDateBefore(now, n));
    std::vector<std::pair<std::string, std::int64_t>> uses;
    for (int card = 1; card <= kHolders; ++card) {
        if (card % 10 == 7) continue;  // never used
        const int last = card % 4 == 1 ? 35 + card * 7 % 80 : 1 + card % 7;
        for (int n = last; n <= kTrialKitDays; ++n) {
            if (n != last && (n + card) % 3 != 0) continue;
            const int minute = 420 + (card * 37 + n * 11) % 660;
            char time[40];
            std::snprintf(time, sizeof time, " %02d:%02d:00", minute / 60, minute % 60);
            uses.emplace_back(dates[static_cast<size_t>(n)] + time, keyNumberOf(card));
        }
    }
    std::sort(uses.begin(), uses.end());
    std::vector<Row> rows;
    for (auto& [time, key] : uses) rows.push_back({key, std::move(time)});
    return rows;
}

}  // namespace

const char* const kLastNames[kNameCount] = {
    "Abbott",    "Baker",  "Castillo", "Dawson",    "Ellison", "Fischer",  "Garrido", "Hughes",
    "Ibarra",    "Jensen", "Kowalski", "Lindqvist", "Moreau",  "Nakamura", "O'Neill", "Petrov",
    "Quinn",     "Rossi",  "Schmidt",  "Tanaka",    "Umarov",  "Vasquez",  "Weber",   "Xu",
    "Yilmaz",    "Zimmer", "Alvarez",  "Brennan",   "Coleman", "Duarte",   "Eriksen", "Fontaine",
    "Gallagher", "Haddad", "Ivanova",  "Jovanovic", "Keller",  "Lambert",  "Mendes",  "Novak"};
const char* const kFirstNames[kNameCount] = {
    "Ada",   "Bruno",  "Clara",  "Dmitri", "Elena", "Farid", "Greta",   "Hiro",  "Ines",  "Jonas",
    "Katja", "Liam",   "Mira",   "Nils",   "Olga",  "Pavel", "Quentin", "Rosa",  "Sven",  "Tomoko",
    "Ugo",   "Vera",   "Wim",    "Xenia",  "Yusuf", "Zoe",   "Amira",   "Bjorn", "Chloe", "Diego",
    "Emil",  "Fatima", "Gustav", "Hana",   "Ivan",  "Julia", "Karim",   "Lena",  "Marco", "Nora"};

std::vector<Row> customTypeNameRows() {
    std::vector<Row> rows;
    for (int i = 0; i < site::kCustomTypeCount; ++i)
        rows.push_back(
            {"Custom Person Type " + std::to_string(i + 1), "globalmxr", kCustomTypeNames[i]});
    return rows;
}

void writeDemoSite(DemoSite demo, std::time_t now, RowInserter& inserter) {
    const bool tool = demo == DemoSite::Tool;
    inserter.insert(kPersonnel, personnelRows(tool));
    inserter.insert(kKeycards, keycardRows(tool ? kToolCards : kHolders));
    inserter.insert(kTransactions, tool ? toolTransactionRows(now) : trialKitTransactionRows(now));
    std::vector<Row> settings = customTypeNameRows();
    // Rows the custom-names statement must pass over: another station, another setting.
    if (tool) settings.push_back({"Custom Person Type 1", "lobby", "Lobby Guest"});
    settings.push_back({"Site Name", "globalmxr", "Demo Site"});
    inserter.insert(kSettings, settings);
}

}  // namespace dormex::standin
