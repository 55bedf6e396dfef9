#include "ComSiteLibrary.h"

#include <objbase.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "ComSupport.h"
#include "SiteIds.h"
#include "platform/Profile.h"
#include "platform/Utf.h"
#include "site/OleError.h"
#include "site/Utf.h"

namespace dormex::com {
namespace {

using site::Status;
using site::Variant;

// Own positions of the site interfaces' operations, counted from 1 after IDispatch.
constexpr int kRunSql = 35;
constexpr int kFindKeycards = 2;
constexpr int kCount = 3;
constexpr int kItem = 2;
constexpr int kSetActive = 48;        // operation A
constexpr int kSetCardStatus = 16;    // operation B
constexpr int kSetStatusReason = 30;  // operation C
constexpr int kSave = 31;             // operation D
constexpr int kQueueDownload = 75;    // operation E

// Table indexes in ADO's Recordset15, Fields15 and Field15.
constexpr int kRecordsetEof = 20;
constexpr int kRecordsetFields = 21;
constexpr int kRecordsetMoveNext = 36;
constexpr int kRecordsetState = 55;
constexpr int kFieldsCount = 7;
constexpr int kFieldsItem = 10;
constexpr int kFieldName = 11;
constexpr int kFieldValue = 13;

const char* const kNotSupported = "Interface not supported";

// Publishes `message` and returns `status`; out of memory, it returns `status` alone.
Status fail(Status status, const std::string& message) noexcept {
    try {
        site::SetErrorInfo(site::toUtf16(message));
    } catch (...) {
    }
    return status;
}

// Publishes the message of a failed COM call and returns its status.
Status failed(HRESULT status) noexcept {
    try {
        return fail(status, failureMessage(status));
    } catch (...) {
        return status;
    }
}

Status notSupported() {
    return fail(site::kNoInterface, kNotSupported);
}

// Runs `body`; an exception becomes a published failure, so none leaves a site interface.
template <class Body>
Status guarded(Body&& body) {
    try {
        return body();
    } catch (const site::SiteError& e) {
        return fail(e.status(), e.what());
    } catch (const std::exception& e) {
        return fail(site::kFail, e.what());
    } catch (...) {
        return fail(site::kFail, "Unexpected failure in the COM site library client");
    }
}

// `object` as interface `iid`; null when it does not offer it.
ComPtr<IUnknown> query(IUnknown* object, REFIID iid) {
    ComPtr<IUnknown> result;
    if (FAILED(object->QueryInterface(iid, result.outVoid()))) result.reset();
    return result;
}

// A name for a variant type that has no site Variant, as a conversion error shows it.
const char* otherTypeName(VARTYPE type) {
    switch (type & VT_TYPEMASK) {
        case VT_DATE:
            return "Date";
        case VT_CY:
            return "Currency";
        case VT_ERROR:
            return "Error";
        case VT_UNKNOWN:
            return "Unknown";
        case VT_R4:
            return "Single";
        case VT_I1:
            return "ShortInt";
        case VT_UI1:
            return "Byte";
        case VT_UI2:
            return "Word";
        case VT_UI4:
            return "LongWord";
        case VT_UI8:
            return "UInt64";
        case VT_VARIANT:
            return "Variant";
        default:
            return "Unknown";
    }
}

class ComCard : public site::Card {
public:
    explicit ComCard(ComPtr<IUnknown> card) : m_card(std::move(card)) {}

    Status SetActive(std::int32_t active) override { return call<LONG>(kSetActive, active); }
    Status SetCardStatus(std::int32_t status) override {
        return call<LONG>(kSetCardStatus, status);
    }
    Status SetStatusReason(std::int32_t reason) override {
        return call<LONG>(kSetStatusReason, reason);
    }
    Status Save() override { return call<>(kSave); }
    Status QueueDownload(std::int32_t a, std::int32_t b, std::int32_t c) override {
        return call<LONG, LONG, LONG>(kQueueDownload, a, b, c);
    }

private:
    template <class... Args>
    Status call(int position, Args... args) {
        const HRESULT status = callAt<Args...>(m_card.get(), position, args...);
        return FAILED(status) ? failed(status) : site::kOk;
    }

    ComPtr<IUnknown> m_card;
};

class ComCardCollection : public site::CardCollection {
public:
    ComCardCollection(ComPtr<IUnknown> collection, const IID& cardIid)
        : m_collection(std::move(collection)), m_cardIid(cardIid) {}

    Status Count(std::int32_t& count) override {
        LONG n = 0;
        const HRESULT status = callAt<LONG*>(m_collection.get(), kCount, &n);
        if (FAILED(status)) return failed(status);
        count = n;
        return site::kOk;
    }

    // A VT_DISPATCH is asked for the card interface; any other variant is given as it is, so
    // that the caller's conversion names its type.
    Status Item(std::int32_t index, Variant& card) override {
        return guarded([&] {
            VariantValue value;
            const HRESULT status =
                callAt<LONG, VARIANT*>(m_collection.get(), kItem, index, value.out());
            if (FAILED(status)) return failed(status);
            const VARIANT& v = value.get();
            IDispatch* dispatch = nullptr;
            if (v.vt == VT_DISPATCH)
                dispatch = v.pdispVal;
            else if (v.vt == (VT_DISPATCH | VT_BYREF))
                dispatch = v.ppdispVal ? *v.ppdispVal : nullptr;
            else if (toSiteVariant(v, card))
                return site::kOk;
            else
                return fail(DISP_E_TYPEMISMATCH,
                            std::string("Could not convert variant of type (") +
                                otherTypeName(v.vt) + ") into type (Dispatch)");
            if (!dispatch) {
                card = Variant::fromObject(nullptr);
                return site::kOk;
            }
            ComPtr<IUnknown> asCard = query(dispatch, m_cardIid);
            if (!asCard) return notSupported();
            card = Variant::fromObject(std::make_shared<ComCard>(std::move(asCard)));
            return site::kOk;
        });
    }

private:
    ComPtr<IUnknown> m_collection;
    IID m_cardIid;
};

// The rows of a statement through ADO's Recordset15, its Fields collection and one Field per
// column (each Field follows the current row).
class ComRecordset : public site::Recordset {
public:
    explicit ComRecordset(ComPtr<IUnknown> recordset) : m_recordset(std::move(recordset)) {}

    Status State(std::int32_t& state) override {
        LONG value = 0;
        const HRESULT status = callIndex<LONG*>(m_recordset.get(), kRecordsetState, &value);
        if (FAILED(status)) return failed(status);
        state = value;
        return site::kOk;
    }
    Status FieldCount(std::int32_t& count) override {
        return guarded([&] {
            const Status status = loadFields();
            if (site::failed(status)) return status;
            count = static_cast<std::int32_t>(m_columns.size());
            return site::kOk;
        });
    }
    Status FieldName(std::int32_t index, std::u16string& name) override {
        return guarded([&] {
            IUnknown* field = nullptr;
            const Status found = column(index, field);
            if (site::failed(found)) return found;
            Bstr text;
            const HRESULT status = callIndex<BSTR*>(field, kFieldName, text.out());
            if (FAILED(status)) return failed(status);
            name = text.text();
            return site::kOk;
        });
    }
    Status Eof(bool& eof) override {
        VARIANT_BOOL value = VARIANT_TRUE;
        const HRESULT status = callIndex<VARIANT_BOOL*>(m_recordset.get(), kRecordsetEof, &value);
        if (FAILED(status)) return failed(status);
        eof = value != VARIANT_FALSE;
        return site::kOk;
    }
    Status MoveNext() override {
        const HRESULT status = callIndex<>(m_recordset.get(), kRecordsetMoveNext);
        return FAILED(status) ? failed(status) : site::kOk;
    }
    // A value of a type the cursor does not read is given as an empty Dispatch, which the
    // cursor refuses with an error naming the column.
    Status Value(std::int32_t index, Variant& value) override {
        return guarded([&] {
            IUnknown* field = nullptr;
            const Status found = column(index, field);
            if (site::failed(found)) return found;
            VariantValue v;
            const HRESULT status = callIndex<VARIANT*>(field, kFieldValue, v.out());
            if (FAILED(status)) return failed(status);
            if (!toSiteVariant(v.get(), value)) value = Variant::fromObject(nullptr);
            return site::kOk;
        });
    }

private:
    // Reads the Fields collection and its count once.
    Status loadFields() {
        if (m_fields) return site::kOk;
        ComPtr<IUnknown> fields;
        HRESULT status = callIndex<IUnknown**>(m_recordset.get(), kRecordsetFields, fields.out());
        if (FAILED(status)) return failed(status);
        if (!fields) return fail(E_POINTER, "The recordset gave no Fields collection");
        LONG count = 0;
        status = callIndex<LONG*>(fields.get(), kFieldsCount, &count);
        if (FAILED(status)) return failed(status);
        m_columns.clear();
        m_columns.resize(count > 0 ? static_cast<size_t>(count) : 0);
        m_fields = std::move(fields);
        return site::kOk;
    }

    // The Field of column `index`, fetched once.
    Status column(std::int32_t index, IUnknown*& field) {
        const Status loaded = loadFields();
        if (site::failed(loaded)) return loaded;
        if (index < 0 || static_cast<size_t>(index) >= m_columns.size())
            return fail(site::kBadIndex, "Column " + std::to_string(index) + " does not exist");
        ComPtr<IUnknown>& slot = m_columns[static_cast<size_t>(index)];
        if (!slot) {
            VARIANT number;
            ::VariantInit(&number);
            number.vt = VT_I4;
            number.lVal = index;
            const HRESULT status =
                callIndex<VARIANT, IUnknown**>(m_fields.get(), kFieldsItem, number, slot.out());
            if (FAILED(status)) return failed(status);
            if (!slot)
                return fail(E_POINTER, "The recordset gave no field " + std::to_string(index));
        }
        field = slot.get();
        return site::kOk;
    }

    ComPtr<IUnknown> m_recordset;
    ComPtr<IUnknown> m_fields;
    std::vector<ComPtr<IUnknown>> m_columns;
};

class ComTopLevel : public site::TopLevelObject {
public:
    ComTopLevel(ComPtr<IUnknown> top, const ComConfig& config)
        : m_top(std::move(top)), m_config(config) {}

    Status RunSql(const std::u16string& sql, site::ObjectPtr& result) override {
        return guarded([&] {
            const Bstr text(sql);
            if (!text.get() && !sql.empty()) return fail(E_OUTOFMEMORY, "Out of memory");
            ComPtr<IUnknown> rows;
            const HRESULT status =
                callAt<BSTR, IUnknown**>(m_top.get(), kRunSql, text.get(), rows.out());
            if (FAILED(status)) return failed(status);
            if (!rows) {
                result = nullptr;
                return site::kOk;
            }
            ComPtr<IUnknown> recordset = query(rows.get(), dormexsite::kRecordset15Iid);
            if (!recordset) return notSupported();
            result = std::make_shared<ComRecordset>(std::move(recordset));
            return site::kOk;
        });
    }

    Status FindKeycards(std::int32_t facility, std::int64_t keyNumber,
                        site::ObjectPtr& result) override {
        return guarded([&] {
            ComPtr<IUnknown> found;
            const HRESULT status = callAt<LONG, LONGLONG, IUnknown**>(
                m_top.get(), kFindKeycards, facility, keyNumber, found.out());
            if (FAILED(status)) return failed(status);
            if (!found) {
                result = nullptr;
                return site::kOk;
            }
            ComPtr<IUnknown> collection = query(found.get(), m_config.collection);
            if (!collection) return notSupported();
            result = std::make_shared<ComCardCollection>(std::move(collection), m_config.card);
            return site::kOk;
        });
    }

private:
    ComPtr<IUnknown> m_top;
    ComConfig m_config;
};

// The value of `key` in [COM] of `path`, as the platform's settings functions read it.
std::wstring profileValue(const std::string& path, const char* key) {
    return platform::toWide(platform::ProfileRead(path, "COM", key));
}

[[noreturn]] void badKey(HRESULT status, const char* key, const std::wstring& value) {
    throw site::SiteError(failureMessage(status) + " ([COM] " + key + "=" +
                              platform::toUtf8(value) + " in SiteLibrary.ini)",
                          status);
}

IID readIid(const std::string& path, const char* key, const IID& fallback) {
    const std::wstring value = profileValue(path, key);
    if (value.empty()) return fallback;
    IID iid;
    ::SetErrorInfo(0, nullptr);
    const HRESULT status = ::IIDFromString(value.c_str(), &iid);
    if (FAILED(status) || value.front() != L'{')
        badKey(FAILED(status) ? status : CO_E_IIDSTRING, key, value);
    return iid;
}

}  // namespace

ComConfig readComConfig(const std::string& programDir) {
    const std::string path = programDir + "SiteLibrary.ini";
    ComConfig config{dormexsite::kClsid, dormexsite::kTopLevelIid, dormexsite::kCollectionIid,
                     dormexsite::kCardIid};
    const std::wstring cls = profileValue(path, "Class");
    if (!cls.empty()) {
        ::SetErrorInfo(0, nullptr);
        const HRESULT status = cls.front() == L'{'
                                   ? ::CLSIDFromString(cls.c_str(), &config.classId)
                                   : ::CLSIDFromProgID(cls.c_str(), &config.classId);
        if (FAILED(status)) badKey(status, "Class", cls);
    }
    config.topLevel = readIid(path, "TopLevelInterface", config.topLevel);
    config.collection = readIid(path, "CollectionInterface", config.collection);
    config.card = readIid(path, "CardInterface", config.card);
    return config;
}

std::string systemText(HRESULT status) {
    wchar_t buffer[256];
    const DWORD n =
        ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         static_cast<DWORD>(status), 0, buffer, ARRAYSIZE(buffer), nullptr);
    if (n == 0 || n >= ARRAYSIZE(buffer)) return {};
    return site::TrimErrorText(platform::toUtf8(std::wstring_view(buffer, n)));
}

std::string failureMessage(HRESULT status) {
    IErrorInfo* raw = nullptr;
    if (::GetErrorInfo(0, &raw) == S_OK && raw) {
        ComPtr<IErrorInfo> info = ComPtr<IErrorInfo>::attach(raw);
        Bstr description;
        if (SUCCEEDED(info.get()->GetDescription(description.out()))) {
            const std::string text = site::TrimErrorText(site::toUtf8(description.text()));
            if (!text.empty()) return text;
        }
    }
    const std::string system = systemText(status);
    if (!system.empty()) return system;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "OLE error %.8X", static_cast<unsigned>(status));
    return buffer;
}

std::u16string decimalText(const DECIMAL& value) {
    // The 96-bit magnitude as three 32-bit words, most significant first, divided by ten until
    // nothing is left.
    std::uint32_t words[3] = {value.Hi32, value.Mid32, value.Lo32};
    std::u16string digits;
    while (words[0] || words[1] || words[2]) {
        std::uint64_t remainder = 0;
        for (std::uint32_t& word : words) {
            const std::uint64_t current = (remainder << 32) | word;
            word = static_cast<std::uint32_t>(current / 10);
            remainder = current % 10;
        }
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + remainder));
    }
    const size_t scale = value.scale;
    if (digits.size() <= scale) digits.insert(0, scale + 1 - digits.size(), u'0');
    if (scale > 0) digits.insert(digits.size() - scale, 1, u'.');
    if (value.sign & DECIMAL_NEG) digits.insert(0, 1, u'-');
    return digits;
}

bool toSiteVariant(const VARIANT& in, Variant& out) {
    out = Variant();
    switch (in.vt) {
        case VT_EMPTY:
            return true;
        case VT_NULL:
            out = Variant::null();
            return true;
        case VT_I2:
        case VT_I4:
            out.type = Variant::Type::Integer;
            out.integer = in.vt == VT_I2 ? in.iVal : in.lVal;
            return true;
        case VT_I8:
            out = Variant::fromInt64(in.llVal);
            return true;
        case VT_R8:
            out = Variant::fromDouble(in.dblVal);
            return true;
        case VT_BOOL:
            out.type = Variant::Type::Boolean;
            out.integer = in.boolVal != VARIANT_FALSE ? 1 : 0;
            return true;
        case VT_BSTR:
            out = Variant::fromText(
                std::u16string(reinterpret_cast<const char16_t*>(in.bstrVal ? in.bstrVal : L""),
                               in.bstrVal ? ::SysStringLen(in.bstrVal) : 0));
            return true;
        case VT_DECIMAL:
            out = Variant::fromDecimal(decimalText(in.decVal));
            return true;
        default:
            return false;
    }
}

site::CreateFunction comSiteLibrary(const std::string& programDir) {
    return [programDir](site::ObjectPtr& result) -> Status {
        return guarded([&] {
            result = nullptr;
            const ComConfig config = readComConfig(programDir);
            ::SetErrorInfo(0, nullptr);
            ComPtr<IUnknown> object;
            const HRESULT status = ::CoCreateInstance(config.classId, nullptr,
                                                      CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                                      IID_IUnknown, object.outVoid());
            if (FAILED(status)) return failed(status);
            if (!object) return site::kOk;
            ComPtr<IUnknown> top = query(object.get(), config.topLevel);
            if (!top) return notSupported();
            result = std::make_shared<ComTopLevel>(std::move(top), config);
            return site::kOk;
        });
    };
}

}  // namespace dormex::com
