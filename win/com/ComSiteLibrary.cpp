#include "ComSiteLibrary.h"

#include <objbase.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "ComSupport.h"
#include "LayoutCheck.h"
#include "platform/Profile.h"
#include "platform/System.h"
#include "platform/Utf.h"
#include "platform/win/Ado.h"
#include "platform/win/Wide.h"
#include "site/FieldText.h"

namespace dormex::com {
namespace {

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

std::string textOf(BSTR text) {
    return platform::toUtf8(std::u16string_view(
        reinterpret_cast<const char16_t*>(text ? text : L""), text ? ::SysStringLen(text) : 0));
}

// What to create: the class and the three interfaces to ask for.
struct ComConfig {
    CLSID classId;
    IID topLevel;
    IID collection;
    IID card;
};

// The system's text for `status`, trimmed; empty when there is none or it is 256 characters or
// longer.
std::string systemText(HRESULT status) {
    const std::wstring text = platform::win::systemText(static_cast<DWORD>(status));
    if (text.size() >= 256) return {};
    return site::TrimErrorText(platform::toUtf8(text));
}

// The message for a failed call's `status`: the published error description (GetErrorInfo,
// taken), else the system's text for the code, else "OLE error %.8X"; trimmed of trailing
// blanks, control characters and periods.
std::string failureMessage(HRESULT status) {
    IErrorInfo* raw = nullptr;
    if (::GetErrorInfo(0, &raw) == S_OK && raw) {
        ComPtr<IErrorInfo> info = ComPtr<IErrorInfo>::attach(raw);
        Bstr description;
        if (SUCCEEDED(info.get()->GetDescription(description.out()))) {
            const std::string text = site::TrimErrorText(textOf(description.get()));
            if (!text.empty()) return text;
        }
    }
    const std::string system = systemText(status);
    if (!system.empty()) return system;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "OLE error %.8X", static_cast<unsigned>(status));
    return buffer;
}

// Throws an Error with failureMessage(status) when `status` is a failure.
void check(HRESULT status) {
    if (FAILED(status)) throw Error(failureMessage(status));
}

// `object` as interface `iid`; throws "Interface not supported" when it does not offer it.
ComPtr<IUnknown> require(IUnknown* object, REFIID iid) {
    ComPtr<IUnknown> result;
    if (FAILED(object->QueryInterface(iid, result.outVoid())) || !result)
        throw Error(kNotSupported);
    return result;
}

// The name of a variant type as a conversion error shows it.
const char* typeName(VARTYPE type) {
    static const std::pair<VARTYPE, const char*> kNames[] = {
        {VT_EMPTY, "Empty"},     {VT_NULL, "Null"},   {VT_I2, "Integer"},   {VT_I4, "Integer"},
        {VT_I8, "Int64"},        {VT_R8, "Double"},   {VT_BOOL, "Boolean"}, {VT_BSTR, "OleStr"},
        {VT_DECIMAL, "Decimal"}, {VT_DATE, "Date"},   {VT_CY, "Currency"},  {VT_ERROR, "Error"},
        {VT_R4, "Single"},       {VT_I1, "ShortInt"}, {VT_UI1, "Byte"},     {VT_UI2, "Word"},
        {VT_UI4, "LongWord"},    {VT_UI8, "UInt64"}};
    for (const auto& [vt, name] : kNames)
        if (vt == type) return name;
    return "Unknown";
}

// The dispatch object an Item variant holds (null for none); throws the conversion error for a
// variant of any other type.
IDispatch* dispatchOf(const VARIANT& v) {
    if (v.vt == VT_DISPATCH) return v.pdispVal;
    if (v.vt == (VT_DISPATCH | VT_BYREF)) return v.ppdispVal ? *v.ppdispVal : nullptr;
    throw Error(std::string("Could not convert variant of type (") + typeName(v.vt) +
                ") into type (Dispatch)");
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

    void SetActive(std::int32_t active) override { call<LONG>(kSetActive, active); }
    void SetCardStatus(std::int32_t status) override { call<LONG>(kSetCardStatus, status); }
    void SetStatusReason(std::int32_t reason) override { call<LONG>(kSetStatusReason, reason); }
    void Save() override { call<>(kSave); }
    void QueueDownload(std::int32_t a, std::int32_t b, std::int32_t c) override {
        call<LONG, LONG, LONG>(kQueueDownload, a, b, c);
    }

private:
    template <class... Args>
    void call(int position, Args... args) {
        check(callAt<Args...>(m_card.get(), position, args...));
    }

    ComPtr<IUnknown> m_card;
};

class ComCardCollection : public site::CardCollection {
public:
    ComCardCollection(ComPtr<IUnknown> collection, std::shared_ptr<Layout> layout)
        : m_collection(std::move(collection)), m_layout(std::move(layout)) {}

    std::int32_t Count() override {
        LONG n = 0;
        check(callAt<LONG*>(m_collection.get(), kCount, &n));
        return n;
    }

    // A VT_DISPATCH is asked for the card interface.
    std::shared_ptr<site::Card> Item(std::int32_t index) override {
        VariantValue value;
        check(callAt<LONG, VARIANT*>(m_collection.get(), kItem, index, value.out()));
        IDispatch* dispatch = dispatchOf(value.get());
        if (!dispatch) return nullptr;
        ComPtr<IUnknown> card = require(dispatch, m_layout->config.card);
        m_layout->checkObject(card.get(), m_layout->cardDone);
        return std::make_shared<ComCard>(std::move(card));
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

    bool IsOpen() override {
        LONG state = 0;
        check(callIndex<LONG*>(m_recordset.get(), kAdoRecordsetState, &state));
        return (state & 1) != 0;
    }
    std::vector<std::string> FieldNames() override {
        loadFields();
        std::vector<std::string> names;
        for (size_t i = 0; i < m_columns.size(); ++i) {
            Bstr text;
            check(
                callIndex<BSTR*>(column(static_cast<std::int32_t>(i)), kAdoFieldName, text.out()));
            names.push_back(textOf(text.get()));
        }
        return names;
    }
    bool Eof() override {
        VARIANT_BOOL value = VARIANT_TRUE;
        check(callIndex<VARIANT_BOOL*>(m_recordset.get(), kAdoRecordsetEof, &value));
        return value != VARIANT_FALSE;
    }
    void MoveNext() override { check(callIndex<>(m_recordset.get(), kAdoRecordsetMoveNext)); }
    site::FieldValue Value(std::int32_t index) override {
        VariantValue v;
        check(callIndex<VARIANT*>(column(index), kAdoFieldValue, v.out()));
        return fieldValue(v.get());
    }

private:
    // Reads the Fields collection and its count once.
    void loadFields() {
        if (m_fields) return;
        ComPtr<IUnknown> fields;
        check(callIndex<IUnknown**>(m_recordset.get(), kAdoRecordsetFields, fields.out()));
        if (!fields) throw Error("The recordset gave no Fields collection");
        LONG count = 0;
        check(callIndex<LONG*>(fields.get(), kAdoFieldsCount, &count));
        m_columns.clear();
        m_columns.resize(count > 0 ? static_cast<size_t>(count) : 0);
        m_fields = std::move(fields);
    }

    // The Field of column `index`, fetched once.
    IUnknown* column(std::int32_t index) {
        loadFields();
        if (index < 0 || static_cast<size_t>(index) >= m_columns.size())
            throw Error("Column " + std::to_string(index) + " does not exist");
        ComPtr<IUnknown>& slot = m_columns[static_cast<size_t>(index)];
        if (!slot) {
            VARIANT number{};
            number.vt = VT_I4;
            number.lVal = index;
            check(
                callIndex<VARIANT, IUnknown**>(m_fields.get(), kAdoFieldsItem, number, slot.out()));
            if (!slot) throw Error("The recordset gave no field " + std::to_string(index));
        }
        return slot.get();
    }

    ComPtr<IUnknown> m_recordset;
    ComPtr<IUnknown> m_fields;
    std::vector<ComPtr<IUnknown>> m_columns;
};

class ComTopLevel : public site::TopLevelObject {
public:
    ComTopLevel(ComPtr<IUnknown> top, std::shared_ptr<Layout> layout)
        : m_top(std::move(top)), m_layout(std::move(layout)) {}

    std::shared_ptr<site::Recordset> RunSql(const std::string& sql) override {
        const Bstr text(platform::toUtf16(sql));
        if (!text.get() && !sql.empty()) throw Error("Out of memory");
        ComPtr<IUnknown> rows;
        check(callAt<BSTR, IUnknown**>(m_top.get(), kRunSql, text.get(), rows.out()));
        if (!rows) return nullptr;
        return std::make_shared<ComRecordset>(require(rows.get(), ado::kRecordset15));
    }

    std::shared_ptr<site::CardCollection> FindKeycards(std::int32_t facility,
                                                       std::int64_t keyNumber) override {
        ComPtr<IUnknown> found;
        check(callAt<LONG, LONGLONG, IUnknown**>(m_top.get(), kFindKeycards, facility, keyNumber,
                                                 found.out()));
        if (!found) return nullptr;
        ComPtr<IUnknown> collection = require(found.get(), m_layout->config.collection);
        m_layout->checkObject(collection.get(), m_layout->collectionDone);
        return std::make_shared<ComCardCollection>(std::move(collection), m_layout);
    }

private:
    ComPtr<IUnknown> m_top;
    std::shared_ptr<Layout> m_layout;
};

const char* const kKeys[] = {"Class", "TopLevelInterface", "CollectionInterface", "CardInterface"};

[[noreturn]] void badKey(HRESULT status, const char* key, const std::string& value) {
    throw Error(failureMessage(status) + " ([COM] " + key + "=" + value + " in SiteLibrary.ini)");
}

IID readIid(const std::string& value, const char* key) {
    IID iid;
    ::SetErrorInfo(0, nullptr);
    const HRESULT status = ::IIDFromString(platform::toWide(value).c_str(), &iid);
    if (FAILED(status) || value.front() != '{')
        badKey(FAILED(status) ? status : CO_E_IIDSTRING, key, value);
    return iid;
}

// "CLSID\{...}\InprocServer32": the key of the class's in-process server.
std::wstring serverKey(const CLSID& classId) {
    wchar_t guid[40];
    ::StringFromGUID2(classId, guid, 40);
    return std::wstring(L"CLSID\\") + guid + L"\\InprocServer32";
}

// True when the class has an in-process server in the other architecture's registry view, the
// machine's or the user's, and so none a program of this architecture can load.
bool registeredForOtherArchitecture(const CLSID& classId) {
    const std::wstring key = L"Software\\Classes\\" + serverKey(classId);
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
    const std::wstring key = serverKey(classId);
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

// Reads keys Class (a ProgID or a {CLSID}), TopLevelInterface, CollectionInterface and
// CardInterface ({IID}s) of [COM] in `programDir` + "SiteLibrary.ini", with the program's own
// profile reader. A missing file, a key missing or empty, or a value that names nothing throws an
// Error whose message is one line naming the file and the key.
ComConfig readComConfig(const std::string& programDir) {
    const std::string path = programDir + "SiteLibrary.ini";
    if (!platform::os::pathExists(path))
        throw Error("SiteLibrary.ini is missing: " + path +
                    " must name the site library in [COM] Class, TopLevelInterface, "
                    "CollectionInterface and CardInterface");
    std::string values[4];
    for (int i = 0; i < 4; ++i) {
        values[i] = platform::ProfileRead(path, "COM", kKeys[i]);
        if (values[i].empty())
            throw Error(std::string("[COM] ") + kKeys[i] +
                        " is missing or empty in SiteLibrary.ini (" + path + ")");
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

// The exact decimal text of `value`, e.g. "-12.50".
std::string decimalText(const DECIMAL& value) {
    // The 96-bit magnitude as three 32-bit words, most significant first, divided by ten until
    // nothing is left.
    std::uint32_t words[3] = {value.Hi32, value.Mid32, value.Lo32};
    std::string digits;
    while (words[0] || words[1] || words[2]) {
        std::uint64_t remainder = 0;
        for (std::uint32_t& word : words) {
            const std::uint64_t current = (remainder << 32) | word;
            word = static_cast<std::uint32_t>(current / 10);
            remainder = current % 10;
        }
        digits.insert(digits.begin(), static_cast<char>('0' + remainder));
    }
    const size_t scale = value.scale;
    if (digits.size() <= scale) digits.insert(0, scale + 1 - digits.size(), '0');
    if (scale > 0) digits.insert(digits.size() - scale, 1, '.');
    if (value.sign & DECIMAL_NEG) digits.insert(0, 1, '-');
    return digits;
}

}  // namespace

site::FieldValue fieldValue(const VARIANT& in) {
    // The system's own text for the value, in the user's locale.
    auto systemText = [&] {
        VariantValue converted;
        if (FAILED(::VariantChangeTypeEx(converted.out(), const_cast<VARIANT*>(&in),
                                         LOCALE_USER_DEFAULT, 0, VT_BSTR)))
            throw site::UnreadableValue();
        return site::TextValue(textOf(converted.get().bstrVal));
    };
    switch (in.vt) {
        case VT_EMPTY:
        case VT_NULL:
            return site::NullValue();
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_I8: {
            // Every one of them fits in 64 bits: the system's conversion is exact.
            VariantValue wide;
            check(::VariantChangeType(wide.out(), const_cast<VARIANT*>(&in), 0, VT_I8));
            return site::IntegerValue(wide.get().llVal);
        }
        case VT_UI8:
            if (in.ullVal > static_cast<ULONGLONG>(INT64_MAX))
                return site::DecimalValue(std::to_string(in.ullVal));
            return site::IntegerValue(static_cast<std::int64_t>(in.ullVal));
        case VT_CY:
            // Whole amounts exactly; others as the system writes them.
            if (in.cyVal.int64 % 10000 != 0) return systemText();
            return site::IntegerValue(in.cyVal.int64 / 10000);
        case VT_R4:
            if (std::trunc(in.fltVal) != in.fltVal || !(std::fabs(in.fltVal) < 0x1p63f))
                return systemText();
            return site::IntegerValue(static_cast<std::int64_t>(in.fltVal));
        case VT_R8:
            return site::RealValue(in.dblVal);
        case VT_DATE:
            return systemText();
        case VT_BOOL:
            return site::BooleanValue(in.boolVal != VARIANT_FALSE);
        case VT_BSTR:
            return site::TextValue(textOf(in.bstrVal));
        case VT_DECIMAL:
            return site::DecimalValue(decimalText(in.decVal));
        default:
            throw site::UnreadableValue();
    }
}

site::CreateFunction comSiteLibrary(const std::string& programDir) {
    return [programDir]() -> std::shared_ptr<site::TopLevelObject> {
        auto layout = std::make_shared<Layout>();
        layout->config = readComConfig(programDir);
        const ComConfig& config = layout->config;
        ::SetErrorInfo(0, nullptr);
        ComPtr<IUnknown> object;
        const HRESULT status =
            ::CoCreateInstance(config.classId, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                               IID_IUnknown, object.outVoid());
        // Registered in this program's view but not loaded: the error and the server's path.
        // Not registered there: Windows says so; Wine reports a missing key.
        const std::wstring server = notLoaded(status) ? registeredServer(config.classId) : L"";
        if (!server.empty()) throw Error(failureMessage(status) + serverNote(server));
        if ((status == REGDB_E_CLASSNOTREG || status == REGDB_E_KEYMISSING) &&
            registeredForOtherArchitecture(config.classId))
            throw Error(sizeof(void*) == 8
                            ? "The site library is registered for 32-bit programs only: use the "
                              "32-bit Dormex.exe"
                            : "The site library is registered for 64-bit programs only: use the "
                              "64-bit Dormex.exe");
        check(status);
        if (!object) throw Error(kNotSupported);
        ComPtr<IUnknown> top = require(object.get(), config.topLevel);
        // The library's own description of its interfaces, before any call into them.
        const ComPtr<ITypeLib> library = typeLibraryOf(top.get());
        checkLayout(library.get(), config.topLevel, "TopLevelInterface", kTopLevelCalls);
        layout->checkIn(library.get());
        return std::make_shared<ComTopLevel>(std::move(top), std::move(layout));
    };
}

}  // namespace dormex::com
