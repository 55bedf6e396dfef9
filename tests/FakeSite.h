#pragma once

#include <algorithm>
#include <ctime>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "Scenarios.h"
#include "site/FieldText.h"
#include "site/SiteLibrary.h"

// An in-memory site library for tests, filled with the scenario rows (persons, cards, door
// transactions) that support/SiteRows.h writes to a real database, and giving back the same
// rows out: card states and queued downloads. A failure can be injected at any call; every call
// and every object's release is recorded.
namespace dormex::test {

using scenario::HeldCard;
using scenario::Value;
using site::IntegerValue;
using site::NullValue;
using site::RealValue;
using site::TextValue;

using FakeRow = std::vector<site::FieldValue>;

// A scenario value as a site library gives it to the cursor.
inline site::FieldValue fieldOf(const Value& v) {
    if (v.kind == Value::Kind::Text) return TextValue(v.text);
    if (v.kind == Value::Kind::Real) return RealValue(v.real);
    return v.isNull() ? NullValue() : IntegerValue(v.integer);
}

struct FakeRecordset : site::Recordset {
    FakeRecordset(std::vector<std::string> n = {}, std::vector<FakeRow> r = {})
        : names(std::move(n)), rows(std::move(r)) {}
    std::vector<std::string> names;
    std::vector<FakeRow> rows;
    bool open = true;
    size_t position = 0;
    bool IsOpen() override { return open; }
    std::vector<std::string> FieldNames() override { return names; }
    bool Eof() override { return position >= rows.size(); }
    void MoveNext() override { ++position; }
    site::FieldValue Value(std::int32_t i) override {
        if (position >= rows.size()) throw Error("There is no current row");
        return rows[position].at(static_cast<size_t>(i));
    }
};

// The site's rows are a scenario's; its door transactions were made `now` less their days.
struct FakeSite : scenario::Site {
    explicit FakeSite(scenario::Site rows = {}) : scenario::Site(std::move(rows)) {}
    std::time_t now = std::time(nullptr);

    // The expiry statement's (any statement starting "SELECT k.") column names.
    std::vector<std::string> columns{"KeyNumber", "lastname", "firstname", "flags"};
    // Door transactions after any cut-off besides the uses (the feed check counts both).
    std::int64_t transactions = 1;
    // The custom names' rows, and the rows of the look-up of cards presented at a door.
    std::vector<Value> customNames;
    std::vector<FakeRow> presentedRows;

    // Failure injection: the call named here fails (for the `failOnCall`-th time it is made),
    // throwing the description trimmed as a site library gives its messages.
    std::string failCall;  // "create", "RunSql", "FindKeycards", "Count", "Item", "A".."E"
    int failOnCall = 1;
    std::string failDescription = "Injected failure.";
    // Keys whose cards are gone by the time the run looks them up (after the statement).
    std::set<std::int64_t> vanishedKeys;
    // Odd results that report success (not for the feed check).
    bool noRecordset = false;
    bool closedRecordset = false;
    bool noCollection = false;
    bool nullCard = false;
    // Called with the name of every call before it is made.
    std::function<void(const std::string& call)> onCall;

    std::vector<std::string> calls;             // "FindKeycards(-1,17)", "A(0)#17.1", ... in order
    std::vector<std::string> sql;               // statements run
    std::vector<std::string> downloads;         // "CardID:Arg1,Arg2,Arg3", in queue order
    std::map<std::int64_t, std::string> saved;  // "Active/CardStatus/StatusReason" once saved
    int liveObjects = 0;                        // objects handed out and not yet released

    void call(const std::string& name) {
        if (onCall) onCall(name);
        if (name != failCall || --failOnCall != 0) return;
        throw Error(site::TrimErrorText(failDescription));
    }
    site::CreateFunction creator();

    // "Active/CardStatus/StatusReason" of every card by CardID, as TestSite::cardStates().
    std::map<std::int64_t, std::string> cardStates() const {
        std::map<std::int64_t, std::string> states;
        for (const auto& c : cards) states[c.cardId] = std::to_string(c.active) + "/0/0";
        for (const auto& [id, state] : saved) states[id] = state;
        return states;
    }
    // The card operations called ("A(0)#17.1", ...), without the look-ups.
    std::vector<std::string> cardOps() const {
        std::vector<std::string> ops;
        std::copy_if(calls.begin(), calls.end(), std::back_inserter(ops),
                     [](const std::string& c) { return c.size() > 1 && c[1] == '('; });
        return ops;
    }

    // The rows of the expiry statement with `cutoff` ("" for none): the active cards whose key
    // has no use after it, with their holders, in key order (integers before texts).
    std::vector<FakeRow> idleRows(const std::string& cutoff) const {
        std::vector<const scenario::Card*> idle;
        for (const auto& c : cards)
            if (c.active && usesAfter(cutoff, &c.keyNumber) == 0) idle.push_back(&c);
        auto order = [](const Value& v) {
            return std::make_tuple(v.kind == Value::Kind::Text, v.integer, v.text);
        };
        std::stable_sort(idle.begin(), idle.end(), [&](auto* a, auto* b) {
            return order(a->keyNumber) < order(b->keyNumber);
        });
        std::vector<FakeRow> rows;
        const scenario::Person none{0, {}, {}, {}};
        for (const scenario::Card* c : idle) {
            auto it = std::find_if(persons.begin(), persons.end(), [&](const auto& p) {
                return !c->userid.isNull() && p.userid == c->userid.integer;
            });
            const scenario::Person& p = it == persons.end() ? none : *it;
            rows.push_back({fieldOf(c->keyNumber), fieldOf(p.lastName), fieldOf(p.firstName),
                            fieldOf(p.flags)});
        }
        return rows;
    }
    // The uses after `cutoff` (of the key `key`, or of any key).
    std::int64_t usesAfter(const std::string& cutoff, const Value* key = nullptr) const {
        std::int64_t count = 0;
        for (const auto& u : uses) {
            char stamp[32];
            const std::time_t at = now - std::time_t{u.daysAgo} * 86400;
            std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&at));
            count += (!key || sameValue(u.keyNumber, *key)) && stamp > cutoff;
        }
        return count;
    }
    // The card ids of the cards with `key`, in CardID order.
    std::vector<int> cardsOf(std::int64_t key) const {
        std::vector<int> ids;
        if (vanishedKeys.count(key)) return ids;
        for (const auto& c : cards)
            if (keyIs(c.keyNumber, key)) ids.push_back(c.cardId);
        std::sort(ids.begin(), ids.end());
        return ids;
    }
    // Whether a key column's value is the whole number `key` (text as its digits).
    static bool keyIs(const Value& v, std::int64_t key) {
        if (v.kind == Value::Kind::Text) return v.text == std::to_string(key);
        return v.kind == Value::Kind::Integer
                   ? v.integer == key
                   : v.kind == Value::Kind::Real && v.real == static_cast<double>(key);
    }
    static bool sameValue(const Value& a, const Value& b) {
        return a.kind == b.kind && a.integer == b.integer && a.real == b.real && a.text == b.text;
    }
};

// The literal after "t.EventDateTime > '" in `sql`; "" without one.
inline std::string cutoffIn(const std::string& sql) {
    const std::string head = "t.EventDateTime > '";
    const size_t at = sql.find(head);
    if (at == std::string::npos) return "";
    const size_t from = at + head.size();
    return sql.substr(from, sql.find('\'', from) - from);
}

// Counts itself in the site's live objects for as long as it exists.
struct Tracked {
    explicit Tracked(FakeSite& s) : site(s) { ++site.liveObjects; }
    ~Tracked() { --site.liveObjects; }
    FakeSite& site;
};

// Operations A to C change the card object only; the save (D) writes them and queues a download
// with default arguments, which QueueDownload (E) then gives its own.
struct FakeCard : site::Card, Tracked {
    FakeCard(FakeSite& s, std::int64_t k, int n, int id)
        : Tracked(s), key(k), number(n), cardId(id) {}
    std::int64_t key;
    int number;
    int cardId;
    std::int32_t active = 1, status = 0, reason = 0;
    void op(const std::string& name, const std::string& args) {
        site.calls.push_back(name + "(" + args + ")#" + std::to_string(key) + "." +
                             std::to_string(number));
        site.call(name);
    }
    void SetActive(std::int32_t a) override { op("A", std::to_string(active = a)); }
    void SetCardStatus(std::int32_t s) override { op("B", std::to_string(status = s)); }
    void SetStatusReason(std::int32_t r) override { op("C", std::to_string(reason = r)); }
    void Save() override {
        op("D", "");
        site.saved[cardId] =
            std::to_string(active) + "/" + std::to_string(status) + "/" + std::to_string(reason);
        site.downloads.push_back(std::to_string(cardId) + ":0,1,0");
    }
    void QueueDownload(std::int32_t a, std::int32_t b, std::int32_t c) override {
        const std::string args =
            std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c);
        op("E", args);
        if (!site.downloads.empty()) site.downloads.back() = std::to_string(cardId) + ":" + args;
    }
};

struct FakeCollection : site::CardCollection, Tracked {
    FakeCollection(FakeSite& s, std::int64_t k) : Tracked(s), key(k), ids(s.cardsOf(k)) {}
    std::int64_t key;
    std::vector<int> ids;
    std::int32_t Count() override {
        site.call("Count");
        return static_cast<std::int32_t>(ids.size());
    }
    std::shared_ptr<site::Card> Item(std::int32_t index) override {
        site.calls.push_back("Item(" + std::to_string(index) + ")");
        site.call("Item");
        if (site.nullCard) return nullptr;
        return std::make_shared<FakeCard>(site, key, index, ids.at(static_cast<size_t>(index - 1)));
    }
};

struct FakeTop : site::TopLevelObject, Tracked {
    using Tracked::Tracked;
    std::shared_ptr<site::Recordset> RunSql(const std::string& s) override {
        site.sql.push_back(s);
        site.call("RunSql");
        if (s.rfind("SELECT COUNT(*)", 0) == 0)
            return std::make_shared<FakeRecordset>(
                std::vector<std::string>{""},
                std::vector<FakeRow>{
                    {IntegerValue(site.transactions + site.usesAfter(cutoffIn(s)))}});
        if (site.noRecordset) return nullptr;
        auto rs = std::make_shared<FakeRecordset>();
        if (s.rfind("SELECT k.", 0) == 0) {
            rs->names = site.columns;
            rs->rows = site.idleRows(cutoffIn(s));
        } else if (s.rfind("SELECT t.KeyNumber", 0) == 0) {
            rs->names = {"KeyNumber", "", ""};
            rs->rows = site.presentedRows;
        } else {
            rs->names = {"StringSetting1"};
            for (const Value& name : site.customNames) rs->rows.push_back({fieldOf(name)});
        }
        rs->open = !site.closedRecordset;
        return rs;
    }
    std::shared_ptr<site::CardCollection> FindKeycards(std::int32_t facility,
                                                       std::int64_t key) override {
        site.calls.push_back("FindKeycards(" + std::to_string(facility) + "," +
                             std::to_string(key) + ")");
        site.call("FindKeycards");
        if (site.noCollection) return nullptr;
        return std::make_shared<FakeCollection>(site, key);
    }
};

inline site::CreateFunction FakeSite::creator() {
    return [this]() -> std::shared_ptr<site::TopLevelObject> {
        call("create");
        return std::make_shared<FakeTop>(*this);
    };
}

}  // namespace dormex::test
