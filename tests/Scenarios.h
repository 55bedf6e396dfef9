#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The rows of a test site (persons, cards, door transactions) that support/SiteRows.h writes to a
// real database, and the end-to-end scenarios shared by the Linux program's tests and the Windows
// program's tests under Wine: a small site, the settings it runs with, what an unattended run
// must leave (log messages without their stamps, card states, queued downloads) and the failures
// a site database can make.
namespace dormex::test::scenario {

// A column value of a test row: NULL, an integer, a real or text (any bytes, NUL included).
struct Value {
    enum class Kind { Null, Integer, Real, Text };
    Kind kind = Kind::Null;
    std::int64_t integer = 0;  // also the integer part of a real
    double real = 0;
    std::string text;

    Value() = default;
    Value(std::nullopt_t) {}
    Value(int v) : kind(Kind::Integer), integer(v) {}
    Value(long v) : kind(Kind::Integer), integer(v) {}
    Value(long long v) : kind(Kind::Integer), integer(v) {}
    Value(double v) : kind(Kind::Real), integer(static_cast<std::int64_t>(v)), real(v) {}
    Value(const char* t) : kind(t ? Kind::Text : Kind::Null), text(t ? t : "") {}
    Value(std::string t) : kind(Kind::Text), text(std::move(t)) {}
    bool isNull() const { return kind == Kind::Null; }
};

// Rows of personnel, Keycards and Transactions.
struct Person {
    int userid;
    Value lastName, firstName, flags;
};

struct Card {
    int cardId;
    Value keyNumber;
    Value userid;  // NULL: no holder
    int active = 1;
};

// A transaction of `keyNumber` made `daysAgo` days before the run.
struct Use {
    Value keyNumber;
    int daysAgo;
};

// A card with a holder of its own (userid = cardId; none without `holder`) and its last use.
struct HeldCard {
    int cardId;
    Value key;
    Value last, first, flags;
    int usedDaysAgo = -1;  // -1: never
    int active = 1;
    bool holder = true;
};

struct Site {
    std::vector<Person> persons;
    std::vector<Card> cards;
    std::vector<Use> uses;
    std::string days;
    std::vector<int> selectedTypes;
    std::string moreSettings;  // lines after the types in Dormex.ini
    // What one unattended run leaves: the log's messages, each card's "Active/CardStatus/
    // StatusReason", and the downloads as "CardID:Arg1,Arg2,Arg3" in DownloadID order.
    std::vector<std::string> entries;
    std::map<int, std::string> states;
    std::vector<std::string> downloads;

    // The cards with their holders and their uses.
    void add(const HeldCard& held) { add(std::vector<HeldCard>{held}); }
    void add(const std::vector<HeldCard>& held) {
        for (const HeldCard& c : held) {
            if (c.holder) persons.push_back({c.cardId, c.last, c.first, c.flags});
            cards.push_back({c.cardId, c.key, c.holder ? Value(c.cardId) : Value(), c.active});
            if (c.usedDaysAgo >= 0) uses.push_back({c.key, c.usedDaysAgo});
        }
    }
};

// Dormex.ini for the site: its Days, the eleven types (its own selected) and its further lines.
inline std::string settingsText(const Site& site) {
    std::string ini = "[General]\r\nDays=" + site.days + "\r\n";
    for (int i = 0; i < 11; ++i) {
        const bool selected = std::count(site.selectedTypes.begin(), site.selectedTypes.end(), i);
        ini += "type" + std::to_string(i) + "=" + (selected ? "True" : "False") + "\r\n";
    }
    return ini + site.moreSettings;
}

// Five idle cards of type 0 (keys 101..105), one recently used type 0 card, one idle type 1 card.
inline std::vector<HeldCard> fiveIdleCards() {
    std::vector<HeldCard> cards;
    for (const char* name : {"Ames", "Brook", "Cole", "Dunn", "Eade", "Fry", "Gale"}) {
        const int i = static_cast<int>(cards.size()) + 1;
        cards.push_back({i, 100 + i, name, "Card", i == 7 ? 1 << 21 : 0, i == 6 ? 2 : 60});
    }
    return cards;
}

// A small site: selected types 0 and 2; idle, active and unselected cards. With `exactKeys`
// (the key columns are then numeric(20,0)) it adds keys beyond 2^53, each next to a recently
// used card that a rounded key would hit.
inline Site smallSite(bool exactKeys = false) {
    Site site;
    site.persons = {{1, "Ames", "Bo", 0},         {2, "Visit", "Or", 1 << 21},
                    {3, "Temp", "Ty", 2 << 21},   {4, "Null", "Flags", std::nullopt},
                    {5, "Line\r\nBreak", "X", 0}, {6, "Big", "Key", 0}};
    site.cards = {
        {1, 17, 1},          {2, 18, 2},  // type 1: not selected
        {3, 19, 3},                       // used recently
        {4, 20, 3},                       // never used
        {5, 21, 99},                      // no holder
        {6, 22, 4},                       // NULL flags
        {7, 5000000000, 6},               // beyond 32 bits
        {8, 23, 5},                       // line break in the name
        {9, 24, 1, 0},                    // already inactive
        {10, 4294967313, 1},              // 2^32 + 17: must not touch key 17's card again
    };
    site.uses = {{17, 40}, {19, 2}, {4294967313, 1}};
    site.days = "30";
    site.selectedTypes = {0, 2};
    site.entries = {"Days = 30",
                    ",17,Ames,Bo,0, Deactivated",
                    ",20,Temp,Ty,4194304, Deactivated",
                    ",21,,,, Deactivated",
                    ",22,Null,Flags,, Deactivated",
                    ",23,Line  Break,X,0, Deactivated",
                    ",5000000000,Big,Key,0, Deactivated"};
    site.states = {{1, "0/3/6"}, {2, "1/0/0"}, {3, "1/0/0"}, {4, "0/3/6"}, {5, "0/3/6"},
                   {6, "0/3/6"}, {7, "0/3/6"}, {8, "0/3/6"}, {9, "0/0/0"}, {10, "1/0/0"}};
    site.downloads = {"1:0,1,0", "4:0,1,0", "5:0,1,0", "6:0,1,0", "8:0,1,0", "7:0,1,0"};
    if (exactKeys) {
        site.cards.insert(site.cards.end(), {{11, -12345678901234567, 1},
                                             {12, 9007199254740993, 3},
                                             {13, 9007199254740992, 1},
                                             {14, 12345678901234567, 1},
                                             {15, 12345678901234568, 1}});
        site.uses.insert(site.uses.end(), {{9007199254740992, 1}, {12345678901234568, 1}});
        site.entries.insert(site.entries.begin() + 1, ",-12345678901234567,Ames,Bo,0, Deactivated");
        site.entries.push_back(",9007199254740993,Temp,Ty,4194304, Deactivated");
        site.entries.push_back(",12345678901234567,Ames,Bo,0, Deactivated");
        site.states.insert(
            {{11, "0/3/6"}, {12, "0/3/6"}, {13, "1/0/0"}, {14, "0/3/6"}, {15, "1/0/0"}});
        site.downloads.insert(site.downloads.begin(), "11:0,1,0");
        site.downloads.insert(site.downloads.end(), {"12:0,1,0", "14:0,1,0"});
    }
    return site;
}

// The small site with two of its idle cards kept (keys 20 and 21), and a limit the run keeps
// only without them.
inline Site keptSite() {
    Site site = smallSite();
    site.moreSettings = "MaxDeactivations=4\r\n[Keep]\r\n20=Fire brigade, key safe\r\n 0021 =\r\n";
    site.entries.erase(site.entries.begin() + 2, site.entries.begin() + 4);
    site.states[4] = site.states[5] = "1/0/0";
    site.downloads.erase(site.downloads.begin() + 1, site.downloads.begin() + 3);
    return site;
}

// A Normal and a Visitor card idle for 10 days, a card used today, Days=30 with 7 days for
// Visitors and the record on: only the Visitor card goes.
inline Site typeDaysSite() {
    Site site;
    site.persons = {{1, "Ames", "Bo", 0}, {2, "Visit, Jr.", "Or", 1 << 21}};
    site.cards = {{1, 17, 1}, {2, 18, 2}, {3, 19, 1}};
    site.uses = {{17, 10}, {18, 10}, {19, 0}};
    site.days = "30";
    site.selectedTypes = {0, 1};
    site.moreSettings = "Record=True\r\n[DaysPerType]\r\ntype1=7\r\n";
    site.entries = {"Days = 30", "Days = 7 (Visitor)", ",18,Visit, Jr.,Or,2097152, Deactivated"};
    site.states = {{1, "1/0/0"}, {2, "0/3/6"}, {3, "1/0/0"}};
    site.downloads = {"2:0,1,0"};
    return site;
}

// The order in which a run of the small site handles its selected cards.
inline const std::vector<int> kSmallSiteOrder = {1, 4, 5, 6, 8, 7};

// A failure the site database makes during a run of the small site.
struct Failure {
    std::string sqlite, postgres;  // statements making the failure
    std::string marker;            // the step marker the entry carries
    size_t before;                 // cards deactivated before the failure
    std::string failure;           // text the entry contains (any case)
    std::string keyType;           // the key columns' type; "" as created
    std::string sqliteFailure;     // "" when the same as `failure`
};

// The statement(s) making the trigger `name` refuse every `event` ("BEFORE UPDATE ON Keycards")
// for which the condition `when` ("" for always) holds, with `message`, on SQLite or PostgreSQL.
inline std::string refusal(bool postgres, const std::string& name, const std::string& event,
                           const std::string& when, const std::string& message) {
    if (!postgres)
        return "CREATE TRIGGER " + name + " " + event + (when.empty() ? "" : " WHEN " + when) +
               " BEGIN SELECT RAISE(ABORT, '" + message + "'); END";
    return "CREATE FUNCTION " + name + "() RETURNS trigger AS $$ BEGIN IF " +
           (when.empty() ? "true" : when) + " THEN RAISE EXCEPTION '" + message +
           "'; END IF; RETURN NEW; END $$ LANGUAGE plpgsql; CREATE TRIGGER " + name + " " + event +
           " FOR EACH ROW EXECUTE FUNCTION " + name + "()";
}

inline std::vector<Failure> failures() {
    const std::string locked = "Card 20 is locked by the site";
    auto refused = [&](bool postgres, const std::string& event, const std::string& when) {
        return refusal(postgres, "f", event, when, locked + ".");
    };
    const std::string badKey = "INSERT INTO Keycards (CardID, KeyNumber, userid) VALUES (11, ";
    const std::string notInteger = "' is not a valid integer value for field 'KeyNumber'";
    return {
        {refused(false, "BEFORE UPDATE ON Keycards", "OLD.KeyNumber = 20"),
         refused(true, "BEFORE UPDATE ON Keycards", "OLD.KeyNumber = 20"), "5", 1, locked, "", ""},
        // The save's download is refused: the save is undone with it.
        {refused(false, "BEFORE INSERT ON CardDownloads", "NEW.CardID = 4"),
         refused(true, "BEFORE INSERT ON CardDownloads", "NEW.CardID = 4"), "5", 1, locked, "", ""},
        // Keys that are no 64-bit integer end the run, never touching another card.
        {badKey + "19.5, 1)", badKey + "19.5, 1)", "6", 1, "'19.5" + notInteger, "numeric", ""},
        {badKey + "99999999999999999999, 1)", badKey + "99999999999999999999, 1)", "6", 6,
         "'99999999999999999999" + notInteger, "numeric(20,0)", "'1e+20" + notInteger},
    };
}

}  // namespace dormex::test::scenario
