#include "ComSiteLibrary.h"

#include <objbase.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

#include "AdoLayout.h"
#include "ComSupport.h"
#include "LayoutCheck.h"
#include "platform/Profile.h"
#include "platform/System.h"
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

// How Dormex calls each site interface's methods, as their declarations must match.
const std::vector<Call> kTopLevelCalls = {{kRunSql, {Arg::Bstr, Arg::OutObject}},
                                          {kFindKeycards, {Arg::Long, Arg::Hyper, Arg::OutObject}}};
const std::vector<Call> kCollectionCalls = {{kCount, {Arg::OutLong}},
                                            {kItem, {Arg::Long, Arg::OutVariant}}};
const std::vector<Call> kCardCalls = {{kSetActive, {Arg::Long}},
                                      {kSetCardStatus, {Arg::Long}},
                                      {kSetStatusReason, {Arg::Long}},
                                      {kSave, {}},
                                      {kQueueDownload, {Arg::Long, Arg::Long, Arg::Long}}};

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

// The name of a variant type that is no site Variant of its own, as a conversion error shows
// it; null for the types that are.
const char* foreignTypeName(VARTYPE type) {
    switch (type) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I2:
        case VT_I4:
        case VT_I8:
        case VT_R8:
        case VT_BOOL:
        case VT_BSTR:
        case VT_DECIMAL:
            return nullptr;
        case VT_DATE:
            return "Date";
        case VT_CY:
            return "Currency";
        case VT_ERROR:
            return "Error";
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
        default:
            return "Unknown";
    }
}

// The layout checks of one use of the library: the configured interfaces, and whether the
// collection and card interfaces are done with, checked in a type library that describes them or
// looked for in the type information of the first collection or card object.
struct Layout {
    ComConfig config;
    bool collectionDone = false;
    bool cardDone = false;

    // Checks the collection and card interfaces not done yet where `library` describes them.
    void checkIn(ITypeLib* library) {
        if (!collectionDone)
            collectionDone =
                checkLayout(library, config.collection, "CollectionInterface", kCollectionCalls);
        if (!cardDone) cardDone = checkLayout(library, config.card, "CardInterface", kCardCalls);
    }
    // At the first collection or card: its own type library, looked at once.
    void checkObject(IUnknown* object, bool& done) {
        if (done) return;
        checkIn(typeLibraryOf(object).get());
        done = true;
    }
};

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
    ComCardCollection(ComPtr<IUnknown> collection, std::shared_ptr<Layout> layout)
        : m_collection(std::move(collection)), m_layout(std::move(layout)) {}

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
            else if (!foreignTypeName(v.vt) && toSiteVariant(v, card))
                return site::kOk;
            else
                return fail(DISP_E_TYPEMISMATCH,
                            std::string("Could not convert variant of type (") +
                                foreignTypeName(v.vt) + ") into type (Dispatch)");
            if (!dispatch) {
                card = Variant::fromObject(nullptr);
                return site::kOk;
            }
            ComPtr<IUnknown> asCard = query(dispatch, m_layout->config.card);
            if (!asCard) return notSupported();
            m_layout->checkObject(asCard.get(), m_layout->cardDone);
            card = Variant::fromObject(std::make_shared<ComCard>(std::move(asCard)));
            return site::kOk;
        });
    }

private:
    ComPtr<IUnknown> m_collection;
    std::shared_ptr<Layout> m_layout;
};

// The rows of a statement through ADO's Recordset15, its Fields collection and one Field per
// column (each Field follows the current row).
class ComRecordset : public site::Recordset {
public:
    explicit ComRecordset(ComPtr<IUnknown> recordset) : m_recordset(std::move(recordset)) {}

    Status State(std::int32_t& state) override {
        LONG value = 0;
        const HRESULT status = callIndex<LONG*>(m_recordset.get(), kAdoRecordsetState, &value);
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
            const HRESULT status = callIndex<BSTR*>(field, kAdoFieldName, text.out());
            if (FAILED(status)) return failed(status);
            name = text.text();
            return site::kOk;
        });
    }
    Status Eof(bool& eof) override {
        VARIANT_BOOL value = VARIANT_TRUE;
        const HRESULT status =
            callIndex<VARIANT_BOOL*>(m_recordset.get(), kAdoRecordsetEof, &value);
        if (FAILED(status)) return failed(status);
        eof = value != VARIANT_FALSE;
        return site::kOk;
    }
    Status MoveNext() override {
        const HRESULT status = callIndex<>(m_recordset.get(), kAdoRecordsetMoveNext);
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
            const HRESULT status = callIndex<VARIANT*>(field, kAdoFieldValue, v.out());
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
        HRESULT status =
            callIndex<IUnknown**>(m_recordset.get(), kAdoRecordsetFields, fields.out());
        if (FAILED(status)) return failed(status);
        if (!fields) return fail(E_POINTER, "The recordset gave no Fields collection");
        LONG count = 0;
        status = callIndex<LONG*>(fields.get(), kAdoFieldsCount, &count);
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
                callIndex<VARIANT, IUnknown**>(m_fields.get(), kAdoFieldsItem, number, slot.out());
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
    ComTopLevel(ComPtr<IUnknown> top, std::shared_ptr<Layout> layout)
        : m_top(std::move(top)), m_layout(std::move(layout)) {}

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
            ComPtr<IUnknown> recordset = query(rows.get(), ado::kRecordset15);
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
            ComPtr<IUnknown> collection = query(found.get(), m_layout->config.collection);
            if (!collection) return notSupported();
            m_layout->checkObject(collection.get(), m_layout->collectionDone);
            result = std::make_shared<ComCardCollection>(std::move(collection), m_layout);
            return site::kOk;
        });
    }

private:
    ComPtr<IUnknown> m_top;
    std::shared_ptr<Layout> m_layout;
};

const char* const kKeys[] = {"Class", "TopLevelInterface", "CollectionInterface", "CardInterface"};

[[noreturn]] void badKey(HRESULT status, const char* key, const std::string& value) {
    throw site::SiteError(
        failureMessage(status) + " ([COM] " + key + "=" + value + " in SiteLibrary.ini)", status);
}

IID readIid(const std::string& value, const char* key) {
    IID iid;
    ::SetErrorInfo(0, nullptr);
    const HRESULT status = ::IIDFromString(platform::toWide(value).c_str(), &iid);
    if (FAILED(status) || value.front() != '{')
        badKey(FAILED(status) ? status : CO_E_IIDSTRING, key, value);
    return iid;
}

// True when the class has an in-process server in the other architecture's registry view, the
// machine's or the user's, and so none a program of this architecture can load.
bool registeredForOtherArchitecture(const CLSID& classId) {
    wchar_t guid[40];
    ::StringFromGUID2(classId, guid, 40);
    const std::wstring key =
        std::wstring(L"Software\\Classes\\CLSID\\") + guid + L"\\InprocServer32";
    const REGSAM otherView = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        HKEY handle = nullptr;
        if (::RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | otherView, &handle) == ERROR_SUCCESS) {
            ::RegCloseKey(handle);
            return true;
        }
    }
    return false;
}

// True for the statuses of a server that could not be loaded: Wine reports a DLL that cannot be
// loaded, or a DLL it needs that is missing, as a missing key or a class not registered.
bool notLoaded(HRESULT status) {
    return status == REGDB_E_CLASSNOTREG || status == REGDB_E_KEYMISSING ||
           status == CO_E_DLLNOTFOUND || status == CO_E_ERRORINDLL ||
           status == HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) ||
           status == HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT) ||
           status == HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND) ||
           status == HRESULT_FROM_WIN32(ERROR_DLL_INIT_FAILED);
}

// The in-process server registered for the class in this program's own registry view of the
// classes root, where COM looks (Windows shows the user's classes there; Wine's COM reads none,
// and Wine shares the user's keys between the views); empty when there is none. Only the
// registry is read: nothing of the vendor's is loaded.
std::wstring registeredServer(const CLSID& classId) {
    wchar_t guid[40];
    ::StringFromGUID2(classId, guid, 40);
    const std::wstring key = std::wstring(L"CLSID\\") + guid + L"\\InprocServer32";
    std::wstring server(MAX_PATH, L'\0');
    for (;;) {
        DWORD size = static_cast<DWORD>(server.size() * sizeof(wchar_t));
        const LONG rc = ::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ,
                                       nullptr, server.data(), &size);
        if (rc == ERROR_MORE_DATA) {
            server.resize(size / sizeof(wchar_t) + server.size());
            continue;
        }
        if (rc != ERROR_SUCCESS) return {};
        server.resize(::wcsnlen(server.c_str(), server.size()));
        return server;
    }
}

// " (registered server: PATH)", with ", not found" where no such file is found.
std::string serverNote(const std::wstring& server) {
    std::wstring file = server;
    if (file.size() > 1 && file.front() == L'"' && file.back() == L'"')
        file = file.substr(1, file.size() - 2);
    const bool found = ::SearchPathW(nullptr, file.c_str(), nullptr, 0, nullptr, nullptr) != 0;
    return " (registered server: " + platform::toUtf8(server) + (found ? ")" : ", not found)");
}

}  // namespace

ComConfig readComConfig(const std::string& programDir) {
    const std::string path = programDir + "SiteLibrary.ini";
    if (!platform::os::pathExists(path))
        throw site::SiteError("SiteLibrary.ini is missing: " + path +
                                  " must name the site library in [COM] Class, "
                                  "TopLevelInterface, CollectionInterface and CardInterface",
                              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    std::string values[4];
    for (int i = 0; i < 4; ++i) {
        values[i] = platform::ProfileRead(path, "COM", kKeys[i]);
        if (values[i].empty())
            throw site::SiteError(std::string("[COM] ") + kKeys[i] +
                                      " is missing or empty in SiteLibrary.ini (" + path + ")",
                                  site::kInvalidArg);
    }
    ComConfig config;
    ::SetErrorInfo(0, nullptr);
    const std::wstring cls = platform::toWide(values[0]);
    const HRESULT status = cls.front() == L'{' ? ::CLSIDFromString(cls.c_str(), &config.classId)
                                               : ::CLSIDFromProgID(cls.c_str(), &config.classId);
    if (FAILED(status)) badKey(status, kKeys[0], values[0]);
    config.topLevel = readIid(values[1], kKeys[1]);
    config.collection = readIid(values[2], kKeys[2]);
    config.card = readIid(values[3], kKeys[3]);
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
    auto integer = [&](std::int64_t value) {
        out.type = Variant::Type::Integer;
        out.integer = value;
        return true;
    };
    // The system's own text for the value, in the user's locale.
    auto systemText = [&] {
        VariantValue text;
        if (FAILED(::VariantChangeTypeEx(text.out(), const_cast<VARIANT*>(&in), LOCALE_USER_DEFAULT,
                                         0, VT_BSTR)))
            return false;
        return toSiteVariant(text.get(), out);
    };
    switch (in.vt) {
        case VT_EMPTY:
            return true;
        case VT_NULL:
            out = Variant::null();
            return true;
        case VT_I1:
            return integer(in.cVal);
        case VT_UI1:
            return integer(in.bVal);
        case VT_I2:
            return integer(in.iVal);
        case VT_UI2:
            return integer(in.uiVal);
        case VT_I4:
            return integer(in.lVal);
        case VT_UI4:
            return integer(in.ulVal);
        case VT_INT:
            return integer(in.intVal);
        case VT_UINT:
            return integer(in.uintVal);
        case VT_I8:
            out = Variant::fromInt64(in.llVal);
            return true;
        case VT_UI8:
            if (in.ullVal > static_cast<ULONGLONG>(INT64_MAX))
                out = Variant::fromDecimal(site::toUtf16(std::to_string(in.ullVal)));
            else
                out = Variant::fromInt64(static_cast<std::int64_t>(in.ullVal));
            return true;
        case VT_CY:
            // Whole amounts exactly; others as the system writes them.
            if (in.cyVal.int64 % 10000 != 0) return systemText();
            out = Variant::fromInt64(in.cyVal.int64 / 10000);
            return true;
        case VT_R4:
            if (std::trunc(in.fltVal) != in.fltVal || !(std::fabs(in.fltVal) < 0x1p63f))
                return systemText();
            out = Variant::fromInt64(static_cast<std::int64_t>(in.fltVal));
            return true;
        case VT_R8:
            out = Variant::fromDouble(in.dblVal);
            return true;
        case VT_DATE:
            return systemText();
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
            auto layout = std::make_shared<Layout>();
            layout->config = readComConfig(programDir);
            const ComConfig& config = layout->config;
            ::SetErrorInfo(0, nullptr);
            ComPtr<IUnknown> object;
            const HRESULT status = ::CoCreateInstance(config.classId, nullptr,
                                                      CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                                      IID_IUnknown, object.outVoid());
            // Registered in this program's view but not loaded: the error and the server's path.
            // Not registered there: Windows says so; Wine reports a missing key.
            const std::wstring server = notLoaded(status) ? registeredServer(config.classId) : L"";
            if (!server.empty()) return fail(status, failureMessage(status) + serverNote(server));
            if ((status == REGDB_E_CLASSNOTREG || status == REGDB_E_KEYMISSING) &&
                registeredForOtherArchitecture(config.classId))
                return fail(status, sizeof(void*) == 8
                                        ? "The site library is registered for 32-bit programs "
                                          "only: use the 32-bit Dormex.exe"
                                        : "The site library is registered for 64-bit programs "
                                          "only: use the 64-bit Dormex.exe");
            if (FAILED(status)) return failed(status);
            if (!object) return site::kOk;
            ComPtr<IUnknown> top = query(object.get(), config.topLevel);
            if (!top) return notSupported();
            // The library's own description of its interfaces, before any call into them.
            const ComPtr<ITypeLib> library = typeLibraryOf(top.get());
            checkLayout(library.get(), config.topLevel, "TopLevelInterface", kTopLevelCalls);
            layout->checkIn(library.get());
            result = std::make_shared<ComTopLevel>(std::move(top), std::move(layout));
            return site::kOk;
        });
    };
}

}  // namespace dormex::com
