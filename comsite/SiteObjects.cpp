#include "SiteObjects.h"

#include <cwctype>
#include <memory>
#include <optional>
#include <vector>

#include "ComObject.h"
#include "SiteStore.h"
#include "TestHooks.h"
#include "platform/win/Ado.h"

namespace dormexsite {
namespace {

// Own positions (1 = the first after IDispatch) of the site interfaces' operations.
constexpr int kFindKeycards = 2;
constexpr int kRunSql = 35;
constexpr int kItem = 2;
constexpr int kCount = 3;
constexpr int kSetActive = 48;
constexpr int kSetCardStatus = 16;
constexpr int kSetStatusReason = 30;
constexpr int kSave = 31;
constexpr int kQueueDownload = 75;

// Table indexes in ADO's Recordset15, Fields15 and Field15 (platform/win/Ado.h), turned into
// own positions.
constexpr int ado(int index) {
    return index - kOwnBase;
}
constexpr int kRsEof = ado(kAdoRecordsetEof);
constexpr int kRsFields = ado(kAdoRecordsetFields);
constexpr int kRsRecordCount = ado(kAdoRecordsetRecordCount);
constexpr int kRsMoveNext = ado(kAdoRecordsetMoveNext);
constexpr int kRsState = ado(kAdoRecordsetState);
constexpr int kFieldsCount = ado(kAdoFieldsCount);
constexpr int kFieldsItem = ado(kAdoFieldsItem);
constexpr int kFieldName = ado(kAdoFieldName);
constexpr int kFieldValue = ado(kAdoFieldValue);

// Table sizes: each interface's own methods with room after the last used position; the ADO
// tables as long as _Recordset, Fields and Field.
constexpr size_t kTopLevelSize = 7 + 40;
constexpr size_t kCollectionSize = 7 + 5;
constexpr size_t kCardSize = 7 + 80;
constexpr size_t kRecordsetSize = 85;
constexpr size_t kFieldsSize = 17;
constexpr size_t kFieldSize = 29;

template <class T>
T* self(ComObject* object) {
    return static_cast<T*>(object);
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

struct Fields : ComObject {
    explicit Fields(Recordset* owner) : ComObject(kFieldsInfo), recordset(owner) {
        addRef(recordset);
    }
    ~Fields() { release(recordset); }
    Recordset* recordset;
};

struct Field : ComObject {
    Field(Recordset* owner, size_t column)
        : ComObject(kFieldInfo), recordset(owner), index(column) {
        addRef(recordset);
    }
    ~Field() { release(recordset); }
    Recordset* recordset;
    size_t index;
};

HRESULT STDMETHODCALLTYPE rsState(ComObject* object, LONG* state) {
    return method(object, kRsState, [&] {
        if (!state) return E_POINTER;
        *state = self<Recordset>(object)->rows.isSelect ? 1 : 0;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE rsEof(ComObject* object, VARIANT_BOOL* eof) {
    return method(object, kRsEof, [&] {
        Recordset* rs = self<Recordset>(object);
        if (!eof) return E_POINTER;
        if (!rs->rows.isSelect) return rs->closed();
        *eof = rs->atEnd() ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE rsRecordCount(ComObject* object, LONG* count) {
    return method(object, kRsRecordCount, [&] {
        Recordset* rs = self<Recordset>(object);
        if (!count) return E_POINTER;
        if (!rs->rows.isSelect) return rs->closed();
        *count = static_cast<LONG>(rs->rows.rowCount());
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE rsFields(ComObject* object, ComObject** fields) {
    return method(object, kRsFields, [&] {
        Recordset* rs = self<Recordset>(object);
        if (!fields) return E_POINTER;
        *fields = nullptr;
        if (!rs->rows.isSelect) return rs->closed();
        *fields = makeObject<Fields>(rs);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE rsMoveNext(ComObject* object) {
    return method(object, kRsMoveNext, [&] {
        Recordset* rs = self<Recordset>(object);
        if (!rs->rows.isSelect) return rs->closed();
        if (rs->atEnd()) return failWith(rs, E_FAIL, "Cannot move past the last row");
        ++rs->position;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE fieldsCount(ComObject* object, LONG* count) {
    return method(object, kFieldsCount, [&] {
        if (!count) return E_POINTER;
        *count = static_cast<LONG>(self<Fields>(object)->recordset->rows.names.size());
        return S_OK;
    });
}

bool sameName(const std::wstring& a, const wchar_t* b, size_t length) {
    if (a.size() != length) return false;
    for (size_t i = 0; i < length; ++i)
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    return true;
}

// Item by column number (any integer variant) or by name, ignoring case.
HRESULT STDMETHODCALLTYPE fieldsItem(ComObject* object, VARIANT index, ComObject** field) {
    return method(object, kFieldsItem, [&] {
        Recordset* rs = self<Fields>(object)->recordset;
        if (!field) return E_POINTER;
        *field = nullptr;
        const std::vector<std::wstring>& names = rs->rows.names;
        if (index.vt == VT_BSTR) {
            const size_t length = SysStringLen(index.bstrVal);
            for (size_t i = 0; i < names.size(); ++i) {
                if (sameName(names[i], index.bstrVal, length)) {
                    *field = makeObject<Field>(rs, i);
                    return S_OK;
                }
            }
            return failWith(object, MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 3265),
                            "Item cannot be found in the collection");
        }
        VARIANT number;
        VariantInit(&number);
        if (FAILED(VariantChangeType(&number, &index, 0, VT_I4)) || number.lVal < 0 ||
            static_cast<size_t>(number.lVal) >= names.size())
            return failWith(object, MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 3265),
                            "Item cannot be found in the collection");
        *field = makeObject<Field>(rs, static_cast<size_t>(number.lVal));
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE fieldName(ComObject* object, BSTR* name) {
    return method(object, kFieldName, [&] {
        if (!name) return E_POINTER;
        const Field* f = self<Field>(object);
        const std::wstring& text = f->recordset->rows.names[f->index];
        *name = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return *name ? S_OK : E_OUTOFMEMORY;
    });
}

HRESULT STDMETHODCALLTYPE fieldValue(ComObject* object, VARIANT* value) {
    return method(object, kFieldValue, [&] {
        if (!value) return E_POINTER;
        VariantInit(value);
        const Field* f = self<Field>(object);
        const Recordset* rs = f->recordset;
        if (rs->atEnd())
            return failWith(object, MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 3021),
                            "There is no current row");
        return cellToVariant(rs->rows.cells[rs->position * rs->rows.names.size() + f->index],
                             rs->rows.types[f->index], value);
    });
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

struct Card : ComObject {
    Card(std::shared_ptr<SiteStore> siteStore, const SiteStore::CardState& cardState)
        : ComObject(kCardInfo), store(std::move(siteStore)), state(cardState) {}
    std::shared_ptr<SiteStore> store;
    SiteStore::CardState state;
    // The download the last save queued, until QueueDownload completes it.
    std::optional<SiteStore::PendingDownload> pendingDownload;
};

struct Collection : ComObject {
    Collection() : ComObject(kCollectionInfo) {}
    ~Collection() {
        for (Card* card : cards) release(card);
    }
    std::vector<Card*> cards;
};

HRESULT STDMETHODCALLTYPE topRunSql(ComObject* object, BSTR sql, ComObject** result) {
    return method(object, kRunSql, [&] {
        if (!result) return E_POINTER;
        *result = nullptr;
        if (faultAt(Iface::TopLevel, kRunSql) == FaultMode::NullResult) return S_OK;
        const std::wstring text(sql ? sql : L"", sql ? SysStringLen(sql) : 0);
        *result = makeObject<Recordset>(self<TopLevel>(object)->store->run(text));
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE topFindKeycards(ComObject* object, LONG facility, LONGLONG keyNumber,
                                          ComObject** result) {
    return method(object, kFindKeycards, [&] {
        if (!result) return E_POINTER;
        *result = nullptr;
        if (facility != -1)
            return failWith(object, E_INVALIDARG,
                            "Facility " + std::to_string(facility) +
                                " is not supported: only -1 (any facility) is");
        if (faultAt(Iface::TopLevel, kFindKeycards) == FaultMode::NullResult) return S_OK;
        TopLevel* top = self<TopLevel>(object);
        Collection* collection = makeObject<Collection>();
        try {
            for (const SiteStore::CardState& state : top->store->findCards(keyNumber))
                collection->cards.push_back(makeObject<Card>(top->store, state));
        } catch (...) {
            release(collection);
            throw;
        }
        *result = collection;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE collectionCount(ComObject* object, LONG* count) {
    return method(object, kCount, [&] {
        if (!count) return E_POINTER;
        *count = static_cast<LONG>(self<Collection>(object)->cards.size());
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE collectionItem(ComObject* object, LONG index, VARIANT* card) {
    return method(object, kItem, [&] {
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
        const std::vector<Card*>& cards = self<Collection>(object)->cards;
        if (index < 1 || static_cast<size_t>(index) > cards.size())
            return failWith(object, DISP_E_BADINDEX,
                            "Card index " + std::to_string(index) + " is out of range 1.." +
                                std::to_string(cards.size()));
        Card* chosen = cards[static_cast<size_t>(index) - 1];
        addRef(chosen);
        card->vt = VT_DISPATCH;
        card->pdispVal = reinterpret_cast<IDispatch*>(chosen);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE cardSetActive(ComObject* object, LONG active) {
    return method(object, kSetActive, [&] {
        self<Card>(object)->state.active = active;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE cardSetCardStatus(ComObject* object, LONG status) {
    return method(object, kSetCardStatus, [&] {
        self<Card>(object)->state.cardStatus = status;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE cardSetStatusReason(ComObject* object, LONG reason) {
    return method(object, kSetStatusReason, [&] {
        self<Card>(object)->state.statusReason = reason;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE cardSave(ComObject* object) {
    return method(object, kSave, [&] {
        Card* card = self<Card>(object);
        card->pendingDownload = card->store->saveCard(card->state);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE cardQueueDownload(ComObject* object, LONG a, LONG b, LONG c) {
    return method(object, kQueueDownload, [&] {
        Card* card = self<Card>(object);
        card->store->queueDownload(card->state.cardId, card->pendingDownload, a, b, c);
        card->pendingDownload.reset();
        return S_OK;
    });
}

// ---- The tables. ----

template <size_t N>
const IID* const* iidList(const IID (&iids)[N], const IID* (&out)[N + 1]) {
    for (size_t i = 0; i < N; ++i) out[i] = &iids[i];
    out[N] = nullptr;
    return out;
}

using dormex::ado::kFieldIids;
using dormex::ado::kFieldsIids;
using dormex::ado::kRecordsetIids;
const IID* g_recordsetIids[std::size(kRecordsetIids) + 1];
const IID* g_fieldsIids[std::size(kFieldsIids) + 1];
const IID* g_fieldIids[std::size(kFieldIids) + 1];
const IID* const kTopLevelIids[] = {&kTopLevelIid, nullptr};
const IID* const kCollectionIids[] = {&kCollectionIid, nullptr};
const IID* const kCardIids[] = {&kCardIid, nullptr};

InterfaceTable<Iface::TopLevel, kTopLevelSize> g_topLevelTable{
    {kFindKeycards, toSlot(&topFindKeycards)}, {kRunSql, toSlot(&topRunSql)}};
InterfaceTable<Iface::Collection, kCollectionSize> g_collectionTable{
    {kItem, toSlot(&collectionItem)}, {kCount, toSlot(&collectionCount)}};
InterfaceTable<Iface::Card, kCardSize> g_cardTable{{kSetActive, toSlot(&cardSetActive)},
                                                   {kSetCardStatus, toSlot(&cardSetCardStatus)},
                                                   {kSetStatusReason, toSlot(&cardSetStatusReason)},
                                                   {kSave, toSlot(&cardSave)},
                                                   {kQueueDownload, toSlot(&cardQueueDownload)}};
InterfaceTable<Iface::Recordset, kRecordsetSize> g_recordsetTable{
    {kRsState, toSlot(&rsState)},
    {kRsEof, toSlot(&rsEof)},
    {kRsFields, toSlot(&rsFields)},
    {kRsRecordCount, toSlot(&rsRecordCount)},
    {kRsMoveNext, toSlot(&rsMoveNext)}};
InterfaceTable<Iface::Fields, kFieldsSize> g_fieldsTable{{kFieldsCount, toSlot(&fieldsCount)},
                                                         {kFieldsItem, toSlot(&fieldsItem)}};
InterfaceTable<Iface::Field, kFieldSize> g_fieldTable{{kFieldName, toSlot(&fieldName)},
                                                      {kFieldValue, toSlot(&fieldValue)}};

const InterfaceInfo kTopLevelInfo{Iface::TopLevel, kTopLevelIids, L"DormexSite.TopLevel",
                                  g_topLevelTable.data()};
const InterfaceInfo kCollectionInfo{Iface::Collection, kCollectionIids, L"DormexSite.Keycards",
                                    g_collectionTable.data()};
const InterfaceInfo kCardInfo{Iface::Card, kCardIids, L"DormexSite.Keycard", g_cardTable.data()};
const InterfaceInfo kRecordsetInfo{Iface::Recordset, iidList(kRecordsetIids, g_recordsetIids),
                                   L"DormexSite.Recordset", g_recordsetTable.data()};
const InterfaceInfo kFieldsInfo{Iface::Fields, iidList(kFieldsIids, g_fieldsIids),
                                L"DormexSite.Fields", g_fieldsTable.data()};
const InterfaceInfo kFieldInfo{Iface::Field, iidList(kFieldIids, g_fieldIids), L"DormexSite.Field",
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
