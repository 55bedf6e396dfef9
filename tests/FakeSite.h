#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "site/FieldText.h"
#include "site/SiteLibrary.h"

// An in-memory site library for tests: rows for RunSql, cards per key number, and a failure that
// can be injected at any call. Every call and every object's release is recorded.
namespace dormex::test {

using site::IntegerValue;
using site::NullValue;
using site::RealValue;
using site::TextValue;

using FakeRow = std::vector<site::FieldValue>;

struct FakeRecordset : site::Recordset {
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

struct FakeSite {
    // Rows RunSql gives for the expiry statement (any statement starting "SELECT k.").
    std::vector<std::string> columns{"KeyNumber", "lastname", "firstname", "flags"};
    std::vector<FakeRow> rows;
    // The feed check's count of door transactions after the cut-off.
    std::int64_t transactions = 1;
    // Rows for the custom-names statement, and for the look-up of cards presented at a door.
    std::vector<FakeRow> nameRows;
    std::vector<FakeRow> presentedRows;
    // Number of cards per key number (missing: no card).
    std::map<std::int64_t, int> cardsPerKey;

    // Failure injection: the call named here fails (for the `failOnCall`-th time it is made),
    // throwing the description trimmed as a site library gives its messages.
    std::string failCall;  // "create", "RunSql", "FindKeycards", "Count", "Item", "A".."E"
    int failOnCall = 1;
    std::string failDescription = "Injected failure.";
    // Odd results that report success (not for the feed check).
    bool noRecordset = false;
    bool closedRecordset = false;
    bool noCollection = false;
    bool nullCard = false;
    // Called with the name of every call before it is made.
    std::function<void(const std::string& call)> onCall;

    std::vector<std::string> calls;  // "FindKeycards(17)", "A(0)", ... in order
    std::vector<std::string> sql;    // statements run
    int liveObjects = 0;             // objects handed out and not yet released

    void call(const std::string& name) {
        if (onCall) onCall(name);
        if (name != failCall || --failOnCall != 0) return;
        throw Error(site::TrimErrorText(failDescription));
    }
    site::CreateFunction creator();
};

// Counts itself in the site's live objects for as long as it exists.
struct Tracked {
    explicit Tracked(FakeSite& s) : site(s) { ++site.liveObjects; }
    ~Tracked() { --site.liveObjects; }
    FakeSite& site;
};

struct FakeCard : site::Card, Tracked {
    FakeCard(FakeSite& s, std::int64_t k, int n) : Tracked(s), key(k), number(n) {}
    std::int64_t key;
    int number;
    void op(const std::string& name, const std::string& args) {
        site.calls.push_back(name + "(" + args + ")#" + std::to_string(key) + "." +
                             std::to_string(number));
        site.call(name);
    }
    void SetActive(std::int32_t a) override { op("A", std::to_string(a)); }
    void SetCardStatus(std::int32_t s) override { op("B", std::to_string(s)); }
    void SetStatusReason(std::int32_t r) override { op("C", std::to_string(r)); }
    void Save() override { op("D", ""); }
    void QueueDownload(std::int32_t a, std::int32_t b, std::int32_t c) override {
        op("E", std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c));
    }
};

struct FakeCollection : site::CardCollection, Tracked {
    FakeCollection(FakeSite& s, std::int64_t k) : Tracked(s), key(k) {}
    std::int64_t key;
    std::int32_t Count() override {
        site.call("Count");
        auto it = site.cardsPerKey.find(key);
        return it == site.cardsPerKey.end() ? 0 : it->second;
    }
    std::shared_ptr<site::Card> Item(std::int32_t index) override {
        site.calls.push_back("Item(" + std::to_string(index) + ")");
        site.call("Item");
        if (site.nullCard) return nullptr;
        return std::make_shared<FakeCard>(site, key, index);
    }
};

struct FakeTop : site::TopLevelObject, Tracked {
    using Tracked::Tracked;
    std::shared_ptr<site::Recordset> RunSql(const std::string& s) override {
        site.sql.push_back(s);
        site.call("RunSql");
        auto rs = std::make_shared<FakeRecordset>();
        if (s.rfind("SELECT COUNT(*)", 0) == 0) {
            rs->names = {""};
            rs->rows = {{IntegerValue(site.transactions)}};
            return rs;
        }
        if (site.noRecordset) return nullptr;
        if (s.rfind("SELECT k.", 0) == 0) {
            rs->names = site.columns;
            rs->rows = site.rows;
        } else if (s.rfind("SELECT t.KeyNumber", 0) == 0) {
            rs->names = {"KeyNumber", "", ""};
            rs->rows = site.presentedRows;
        } else {
            rs->names = {"StringSetting1"};
            rs->rows = site.nameRows;
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

// A row of the expiry statement.
inline FakeRow row(std::int64_t key, const char* last, const char* first, std::int64_t flags) {
    auto text = [](const char* t) { return t ? TextValue(t) : NullValue(); };
    return {IntegerValue(key), text(last), text(first), IntegerValue(flags)};
}

}  // namespace dormex::test
