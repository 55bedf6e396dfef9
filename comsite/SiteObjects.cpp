#include "SiteObjects.h"

#include <cstddef>
#include <cwctype>
#include <memory>
#include <optional>
#include <vector>

#include "ComObject.h"
#include "SiteStore.h"
#include "TestHooks.h"
#include "platform/win/Ado.h"

// widl's declarations of DormexSite.idl (in the build folder), as C: the site interfaces' tables.
#define CINTERFACE
#include "DormexSite.h"
#undef CINTERFACE

namespace dormexsite {
namespace {

// The own position (1 = the first after IDispatch) of the method at byte `offset` of a table.
constexpr int ownPosition(size_t offset) {
    return static_cast<int>(offset / sizeof(Slot)) - kOwnBase;
}

// Own positions of the site interfaces' operations, as DormexSite.idl declares them.
constexpr int kFindKeycards = ownPosition(offsetof(IDormexSiteTopLevelVtbl, FindKeycards));
constexpr int kRunSql = ownPosition(offsetof(IDormexSiteTopLevelVtbl, RunSql));
constexpr int kItem = ownPosition(offsetof(IDormexSiteKeycardsVtbl, Item));
constexpr int kCount = ownPosition(offsetof(IDormexSiteKeycardsVtbl, get_Count));
constexpr int kSetActive = ownPosition(offsetof(IDormexSiteKeycardVtbl, SetActive));
constexpr int kSetCardStatus = ownPosition(offsetof(IDormexSiteKeycardVtbl, SetCardStatus));
constexpr int kSetStatusReason = ownPosition(offsetof(IDormexSiteKeycardVtbl, SetStatusReason));
constexpr int kSave = ownPosition(offsetof(IDormexSiteKeycardVtbl, Save));
constexpr int kQueueDownload = ownPosition(offsetof(IDormexSiteKeycardVtbl, QueueDownload));

// Table indexes in ADO's Recordset15, Fields15 and Field15 (platform/win/Ado.h) as own positions.
constexpr int ado(int index) {
    return index - kOwnBase;
}

// The date and time of ISO text "YYYY-MM-DD" or "YYYY-MM-DD hh:mm:ss" as a COM date.
bool isoDate(const std::wstring& text, DATE& date) {
    SYSTEMTIME t{};
    wchar_t rest = 0;
    const int n = swscanf(text.c_str(), L"%4hu-%2hu-%2hu %2hu:%2hu:%2hu%lc", &t.wYear, &t.wMonth,
                          &t.wDay, &t.wHour, &t.wMinute, &t.wSecond, &rest);
    return (n == 3 || n == 6) && SystemTimeToVariantTime(&t, &date);
}

// A VARIANT holding `cell` as a provider gives a column declared as `declared` (VT_EMPTY: none
// it knows): an integer as any declared number, truth value or date; a real as a declared REAL,
// FLOAT, MONEY or date; ISO text as a declared date. A real in a DECIMAL column stays a real:
// SQLite keeps the column's fractions and its numbers beyond 64 bits as doubles, and a decimal
// would claim digits the file does not hold. A value the declared type cannot hold, and any
// other, is given as stored: VT_NULL, VT_I4 or VT_I8, VT_R8 or VT_BSTR.
HRESULT cellToVariant(const Cell& cell, VARTYPE declared, VARIANT* out) {
    VariantInit(out);
    VARIANT stored;
    VariantInit(&stored);
    bool convertible = false;
    switch (cell.type) {
        case Cell::Type::Null:
            out->vt = VT_NULL;
            return S_OK;
        case Cell::Type::Integer:
            if (cell.integer >= INT32_MIN && cell.integer <= INT32_MAX) {
                stored.vt = VT_I4;
                stored.lVal = static_cast<LONG>(cell.integer);
            } else {
                stored.vt = VT_I8;
                stored.llVal = cell.integer;
            }
            convertible = declared != VT_EMPTY;
            break;
        case Cell::Type::Real:
            stored.vt = VT_R8;
            stored.dblVal = cell.real;
            convertible =
                declared == VT_R4 || declared == VT_R8 || declared == VT_CY || declared == VT_DATE;
            break;
        case Cell::Type::Text:
            if (declared == VT_DATE && isoDate(cell.text, out->date)) {
                out->vt = VT_DATE;
                return S_OK;
            }
            stored.bstrVal =
                SysAllocStringLen(cell.text.data(), static_cast<UINT>(cell.text.size()));
            if (!stored.bstrVal) return E_OUTOFMEMORY;
            stored.vt = VT_BSTR;
            break;
    }
    if (convertible && SUCCEEDED(VariantChangeTypeEx(out, &stored, LOCALE_INVARIANT, 0, declared)))
        return S_OK;
    *out = stored;
    return S_OK;
}

// ---- Recordset, Fields, Field: read-only, over rows read in full. ----

extern const InterfaceInfo kRecordsetInfo;
extern const InterfaceInfo kFieldsInfo;
extern const InterfaceInfo kFieldInfo;

struct Recordset : ComObject {
    explicit Recordset(ResultRows result) : ComObject(kRecordsetInfo), rows(std::move(result)) {}
    ResultRows rows;
    size_t position = 0;

    bool atEnd() const { return position >= rows.rowCount(); }
    HRESULT closed() {
        return failWith(this, MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 3704),
                        "The recordset is closed: the statement gave no rows");
    }
};

// A recordset's Fields or one of its Field objects: each holds a reference to the recordset.
struct OfRecordset : ComObject {
    OfRecordset(const InterfaceInfo& info, Recordset* owner) : ComObject(info), recordset(owner) {
        addRef(recordset);
    }
    ~OfRecordset() { release(recordset); }
    Recordset* recordset;
};

struct Fields : OfRecordset {
    explicit Fields(Recordset* owner) : OfRecordset(kFieldsInfo, owner) {}
};

struct Field : OfRecordset {
    Field(Recordset* owner, size_t column) : OfRecordset(kFieldInfo, owner), index(column) {}
    size_t index;
};

HRESULT rsState(Recordset& rs, LONG* state) {
    if (!state) return E_POINTER;
    *state = rs.rows.isSelect ? 1 : 0;
    return S_OK;
}

HRESULT rsEof(Recordset& rs, VARIANT_BOOL* eof) {
    if (!eof) return E_POINTER;
    if (!rs.rows.isSelect) return rs.closed();
    *eof = rs.atEnd() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT rsRecordCount(Recordset& rs, LONG* count) {
    if (!count) return E_POINTER;
    if (!rs.rows.isSelect) return rs.closed();
    *count = static_cast<LONG>(rs.rows.rowCount());
    return S_OK;
}

HRESULT rsFields(Recordset& rs, ComObject** fields) {
    if (!fields) return E_POINTER;
    *fields = nullptr;
    if (!rs.rows.isSelect) return rs.closed();
    *fields = makeObject<Fields>(&rs);
    return S_OK;
}

HRESULT rsMoveNext(Recordset& rs) {
    if (!rs.rows.isSelect) return rs.closed();
    if (rs.atEnd()) return failWith(&rs, E_FAIL, dormex::standin::kPastLastRow);
    ++rs.position;
    return S_OK;
}

HRESULT fieldsCount(Fields& fields, LONG* count) {
    if (!count) return E_POINTER;
    *count = static_cast<LONG>(fields.recordset->rows.names.size());
    return S_OK;
}

bool sameName(const std::wstring& a, const wchar_t* b, size_t length) {
    if (a.size() != length) return false;
    for (size_t i = 0; i < length; ++i)
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    return true;
}

// Item by column number (any integer variant) or by name, ignoring case.
HRESULT fieldsItem(Fields& fields, VARIANT index, ComObject** field) {
    if (!field) return E_POINTER;
    *field = nullptr;
    const std::vector<std::wstring>& names = fields.recordset->rows.names;
    size_t column = 0;
    if (index.vt == VT_BSTR) {
        const size_t length = SysStringLen(index.bstrVal);
        while (column < names.size() && !sameName(names[column], index.bstrVal, length)) ++column;
    } else {
        VARIANT number;
        VariantInit(&number);
        const bool isNumber = SUCCEEDED(VariantChangeType(&number, &index, 0, VT_I4));
        column = isNumber && number.lVal >= 0 ? static_cast<size_t>(number.lVal) : names.size();
    }
    if (column >= names.size())
        return failWith(&fields, MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 3265),
                        "Item cannot be found in the collection");
    *field = makeObject<Field>(fields.recordset, column);
    return S_OK;
}

HRESULT fieldName(Field& field, BSTR* name) {
    if (!name) return E_POINTER;
    const std::wstring& text = field.recordset->rows.names[field.index];
    *name = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *name ? S_OK : E_OUTOFMEMORY;
}

HRESULT fieldValue(Field& field, VARIANT* value) {
    if (!value) return E_POINTER;
    VariantInit(value);
    const Recordset* rs = field.recordset;
    if (rs->atEnd())
        return failWith(&field, MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 3021),
                        "There is no current row");
    return cellToVariant(rs->rows.cells[rs->position * rs->rows.names.size() + field.index],
                         rs->rows.types[field.index], value);
}

// ---- TopLevel, Collection, Card: the site interfaces. ----

extern const InterfaceInfo kTopLevelInfo;
extern const InterfaceInfo kCollectionInfo;
extern const InterfaceInfo kCardInfo;

struct TopLevel : ComObject {
    explicit TopLevel(std::shared_ptr<SiteStore> siteStore)
        : ComObject(kTopLevelInfo), store(std::move(siteStore)) {}
    std::shared_ptr<SiteStore> store;
};

using dormex::standin::CardState;
using dormex::standin::CardStore;

struct Card : ComObject {
    Card(std::shared_ptr<CardStore> store, const CardState& state)
        : ComObject(kCardInfo), stored(std::move(store), state) {}
    dormex::standin::StoredCard stored;
};

struct Collection : ComObject {
    Collection() : ComObject(kCollectionInfo) {}
    ~Collection() {
        for (Card* card : cards) release(card);
    }
    std::vector<Card*> cards;
};

HRESULT topRunSql(TopLevel& top, BSTR sql, ComObject** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    if (faultAt(Iface::TopLevel, kRunSql) == FaultMode::NullResult) return S_OK;
    const std::wstring text(sql ? sql : L"", sql ? SysStringLen(sql) : 0);
    *result = makeObject<Recordset>(top.store->run(text));
    return S_OK;
}

HRESULT topFindKeycards(TopLevel& top, LONG facility, LONGLONG keyNumber, ComObject** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    if (facility != -1)
        return failWith(&top, E_INVALIDARG,
                        "Facility " + std::to_string(facility) +
                            " is not supported: only -1 (any facility) is");
    if (faultAt(Iface::TopLevel, kFindKeycards) == FaultMode::NullResult) return S_OK;
    Collection* collection = makeObject<Collection>();
    try {
        // Each card keeps the whole store alive, its connection with its card store.
        const std::shared_ptr<CardStore> cards(top.store, &top.store->cards());
        for (const CardState& state : cards->findCards(keyNumber))
            collection->cards.push_back(makeObject<Card>(cards, state));
    } catch (...) {
        release(collection);
        throw;
    }
    *result = collection;
    return S_OK;
}

HRESULT collectionCount(Collection& collection, LONG* count) {
    if (!count) return E_POINTER;
    *count = static_cast<LONG>(collection.cards.size());
    return S_OK;
}

HRESULT collectionItem(Collection& collection, LONG index, VARIANT* card) {
    if (!card) return E_POINTER;
    VariantInit(card);
    switch (faultAt(Iface::Collection, kItem)) {
        case FaultMode::NullResult:
            card->vt = VT_DISPATCH;
            card->pdispVal = nullptr;
            return S_OK;
        case FaultMode::VariantNull:
            card->vt = VT_NULL;
            return S_OK;
        case FaultMode::VariantI4:
            card->vt = VT_I4;
            card->lVal = index;
            return S_OK;
        default:
            break;
    }
    const std::vector<Card*>& cards = collection.cards;
    if (index < 1 || static_cast<size_t>(index) > cards.size())
        return failWith(&collection, DISP_E_BADINDEX,
                        dormex::standin::cardIndexText(index, cards.size()));
    Card* chosen = cards[static_cast<size_t>(index) - 1];
    addRef(chosen);
    card->vt = VT_DISPATCH;
    card->pdispVal = reinterpret_cast<IDispatch*>(chosen);
    return S_OK;
}

// Operations A to C: set one field of the card's state, which Save writes.
template <std::int32_t CardState::*Member>
HRESULT cardSet(Card& card, LONG value) {
    card.stored.state().*Member = value;
    return S_OK;
}

HRESULT cardSave(Card& card) {
    card.stored.save();
    return S_OK;
}

HRESULT cardQueueDownload(Card& card, LONG a, LONG b, LONG c) {
    card.stored.queueDownload(a, b, c);
    return S_OK;
}

// ---- The tables: each interface's own methods with room after the last used position; the ADO
// tables as long as _Recordset, Fields and Field. ----

InterfaceTable<7 + 40> g_topLevelTable{own<kFindKeycards, topFindKeycards>(),
                                       own<kRunSql, topRunSql>()};
InterfaceTable<7 + 5> g_collectionTable{own<kItem, collectionItem>(),
                                        own<kCount, collectionCount>()};
InterfaceTable<7 + 80> g_cardTable{own<kSetActive, cardSet<&CardState::active>>(),
                                   own<kSetCardStatus, cardSet<&CardState::cardStatus>>(),
                                   own<kSetStatusReason, cardSet<&CardState::statusReason>>(),
                                   own<kSave, cardSave>(),
                                   own<kQueueDownload, cardQueueDownload>()};
InterfaceTable<85> g_recordsetTable{
    own<ado(kAdoRecordsetState), rsState>(), own<ado(kAdoRecordsetEof), rsEof>(),
    own<ado(kAdoRecordsetFields), rsFields>(), own<ado(kAdoRecordsetRecordCount), rsRecordCount>(),
    own<ado(kAdoRecordsetMoveNext), rsMoveNext>()};
InterfaceTable<17> g_fieldsTable{own<ado(kAdoFieldsCount), fieldsCount>(),
                                 own<ado(kAdoFieldsItem), fieldsItem>()};
InterfaceTable<29> g_fieldTable{own<ado(kAdoFieldName), fieldName>(),
                                own<ado(kAdoFieldValue), fieldValue>()};

using dormex::ado::kFieldIids;
using dormex::ado::kFieldsIids;
using dormex::ado::kRecordsetIids;
const InterfaceInfo kTopLevelInfo{Iface::TopLevel, &kTopLevelIid, 1, L"DormexSite.TopLevel",
                                  g_topLevelTable.data()};
const InterfaceInfo kCollectionInfo{Iface::Collection, &kCollectionIid, 1, L"DormexSite.Keycards",
                                    g_collectionTable.data()};
const InterfaceInfo kCardInfo{Iface::Card, &kCardIid, 1, L"DormexSite.Keycard", g_cardTable.data()};
const InterfaceInfo kRecordsetInfo{Iface::Recordset, kRecordsetIids, std::size(kRecordsetIids),
                                   L"DormexSite.Recordset", g_recordsetTable.data()};
const InterfaceInfo kFieldsInfo{Iface::Fields, kFieldsIids, std::size(kFieldsIids),
                                L"DormexSite.Fields", g_fieldsTable.data()};
const InterfaceInfo kFieldInfo{Iface::Field, kFieldIids, std::size(kFieldIids), L"DormexSite.Field",
                               g_fieldTable.data()};
const bool kRegistered = registerInterface(&kTopLevelInfo) && registerInterface(&kCollectionInfo) &&
                         registerInterface(&kCardInfo) && registerInterface(&kRecordsetInfo) &&
                         registerInterface(&kFieldsInfo) && registerInterface(&kFieldInfo);

}  // namespace

HRESULT createTopLevel(REFIID riid, void** out) {
    *out = nullptr;
    (void)kRegistered;
    std::shared_ptr<SiteStore> store;
    try {
        store = std::make_shared<SiteStore>(readStoreSettings(programDirectory()));
    } catch (const std::exception& e) {
        // No object exists yet to publish for: a temporary one carries the error information.
        TopLevel* failed = makeObject<TopLevel>(nullptr);
        const HRESULT status = failWith(failed, E_FAIL, e.what());
        release(failed);
        return status;
    }
    TopLevel* top = makeObject<TopLevel>(std::move(store));
    const HRESULT status = queryInterface(top, riid, out);
    release(top);
    return status;
}

}  // namespace dormexsite
