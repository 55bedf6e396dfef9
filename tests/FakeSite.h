#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "site/SiteLibrary.h"
#include "site/Utf.h"

// An in-memory site library for tests: rows for RunSql, cards per key number, and a failure that
// can be injected at any call. Every call and every object's release is recorded.
namespace dormex::test {

struct FakeSite;

struct FakeRecordset : site::Recordset {
    std::vector<std::string> names;
    std::vector<std::vector<site::Variant>> rows;
    std::int32_t state = kStateOpen;
    size_t position = 0;
    site::Status State(std::int32_t& s) override {
        s = state;
        return site::kOk;
    }
    site::Status FieldCount(std::int32_t& c) override {
        c = static_cast<std::int32_t>(names.size());
        return site::kOk;
    }
    site::Status FieldName(std::int32_t i, std::u16string& n) override {
        n = site::toUtf16(names.at(static_cast<size_t>(i)));
        return site::kOk;
    }
    site::Status Eof(bool& eof) override {
        eof = position >= rows.size();
        return site::kOk;
    }
    site::Status MoveNext() override {
        ++position;
        return site::kOk;
    }
    site::Status Value(std::int32_t i, site::Variant& v) override {
        if (position >= rows.size()) return site::kFail;
        v = rows[position].at(static_cast<size_t>(i));
        return site::kOk;
    }
};

struct FakeSite {
    // Rows RunSql gives for the expiry statement (any statement starting "SELECT k.").
    std::vector<std::string> columns{"KeyNumber", "lastname", "firstname", "flags"};
    std::vector<std::vector<site::Variant>> rows;
    // The feed check's count of door transactions after the cut-off.
    std::int64_t transactions = 1;
    // Rows for the custom-names statement.
    std::vector<std::vector<site::Variant>> nameRows;
    // Number of cards per key number (missing: no card).
    std::map<std::int64_t, int> cardsPerKey;

    // Failure injection: the call named here fails (for the `failOnCall`-th time it is made).
    std::string failCall;  // "create", "RunSql", "FindKeycards", "Count", "Item", "A".."E"
    int failOnCall = 1;
    site::Status failStatus = site::kFail;
    std::u16string failDescription = u"Injected failure.";
    // Odd results that report success (not for the feed check).
    bool noRecordset = false;
    bool closedRecordset = false;
    bool noCollection = false;
    bool nullCard = false;
    bool nonDispatchItem = false;

    std::vector<std::string> calls;  // "FindKeycards(17)", "A(0)", ... in order
    std::vector<std::string> sql;    // statements run, UTF-8
    int liveObjects = 0;             // objects handed out and not yet released

    bool fails(const std::string& call) {
        if (call != failCall) return false;
        if (--failOnCall != 0) return false;
        site::SetErrorInfo(failDescription);
        return true;
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
    site::Status op(const std::string& name, const std::string& args) {
        site.calls.push_back(name + "(" + args + ")#" + std::to_string(key) + "." +
                             std::to_string(number));
        return site.fails(name) ? site.failStatus : site::kOk;
    }
    site::Status SetActive(std::int32_t a) override { return op("A", std::to_string(a)); }
    site::Status SetCardStatus(std::int32_t s) override { return op("B", std::to_string(s)); }
    site::Status SetStatusReason(std::int32_t r) override { return op("C", std::to_string(r)); }
    site::Status Save() override { return op("D", ""); }
    site::Status QueueDownload(std::int32_t a, std::int32_t b, std::int32_t c) override {
        return op("E", std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c));
    }
};

struct FakeCollection : site::CardCollection, Tracked {
    FakeCollection(FakeSite& s, std::int64_t k) : Tracked(s), key(k) {}
    std::int64_t key;
    site::Status Count(std::int32_t& c) override {
        if (site.fails("Count")) return site.failStatus;
        auto it = site.cardsPerKey.find(key);
        c = it == site.cardsPerKey.end() ? 0 : it->second;
        return site::kOk;
    }
    site::Status Item(std::int32_t index, site::Variant& v) override {
        site.calls.push_back("Item(" + std::to_string(index) + ")");
        if (site.fails("Item")) return site.failStatus;
        if (site.nonDispatchItem) {
            v = site::Variant::null();
        } else if (site.nullCard) {
            v = site::Variant::fromObject(nullptr);
        } else {
            v = site::Variant::fromObject(std::make_shared<FakeCard>(site, key, index));
        }
        return site::kOk;
    }
};

struct FakeTop : site::TopLevelObject, Tracked {
    using Tracked::Tracked;
    site::Status RunSql(const std::u16string& text, site::ObjectPtr& result) override {
        std::string s = site::toUtf8(text);
        site.sql.push_back(s);
        if (site.fails("RunSql")) return site.failStatus;
        auto rs = std::make_shared<FakeRecordset>();
        if (s.rfind("SELECT COUNT(*)", 0) == 0) {
            rs->names = {""};
            rs->rows = {{site::Variant::fromInt64(site.transactions)}};
            result = rs;
            return site::kOk;
        }
        if (site.noRecordset) return site::kOk;
        if (s.rfind("SELECT k.", 0) == 0) {
            rs->names = site.columns;
            rs->rows = site.rows;
        } else {
            rs->names = {"StringSetting1"};
            rs->rows = site.nameRows;
        }
        if (site.closedRecordset) rs->state = 0;
        result = rs;
        return site::kOk;
    }
    site::Status FindKeycards(std::int32_t facility, std::int64_t key,
                              site::ObjectPtr& result) override {
        site.calls.push_back("FindKeycards(" + std::to_string(facility) + "," +
                             std::to_string(key) + ")");
        if (site.fails("FindKeycards")) return site.failStatus;
        if (!site.noCollection) result = std::make_shared<FakeCollection>(site, key);
        return site::kOk;
    }
};

inline site::CreateFunction FakeSite::creator() {
    return [this](site::ObjectPtr& result) {
        if (fails("create")) return failStatus;
        result = std::make_shared<FakeTop>(*this);
        return site::kOk;
    };
}

// A row of the expiry statement.
inline std::vector<site::Variant> row(std::int64_t key, const char* last, const char* first,
                                      std::int64_t flags) {
    auto text = [](const char* t) {
        return t ? site::Variant::fromText(site::toUtf16(t)) : site::Variant::null();
    };
    return {site::Variant::fromInt64(key), text(last), text(first),
            site::Variant::fromInt64(flags)};
}

}  // namespace dormex::test
