// The COM site library client against the stand-in's test build DormexSiteTest.dll (registered
// per user in the build's Wine prefix): positions, argument widths, the layout its type library
// declares, error information and its fallbacks, variants and provider column types, interfaces and
// the release of every object, through the program's own routines.
#include <gtest/gtest.h>
#include <windows.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <tuple>

#include "ComSiteLibrary.h"
#include "SiteIds.h"
#include "TestSupport.h"
#include "platform/Utf.h"
#include "site/TResultCursor.h"
#include "uDormex.h"

namespace dormex::test {
namespace {

// COM for the test program's thread, as the program's start-up gives it.
class ComEnvironment : public ::testing::Environment {
    void SetUp() override { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    void TearDown() override { CoUninitialize(); }
};
::testing::Environment* const kCom = ::testing::AddGlobalTestEnvironment(new ComEnvironment);

// Interface kinds as the server's test hooks number them.
enum Kind {
    kAll = 0,
    kTop = 1,
    kCollection = 2,
    kCard = 3,
    kRecordset = 4,
    kFields = 5,
    kField = 6
};
enum Mode {
    kClear = 0,
    kFail = 1,
    kNullResult = 2,
    kVariantNull = 3,
    kVariantI4 = 4,
    kOlderIds = 5
};

// The server DLL beside the test program, loaded and registered once.
struct Server {
    HRESULT(WINAPI* registerServer)();
    HRESULT(WINAPI* unregisterServer)();
    LONG(WINAPI* live)(int);
    int(WINAPI* takeCalls)(int*, int);
    void(WINAPI* inject)(int, int, int, HRESULT, const wchar_t*);
    void(WINAPI* moveSlot)(int, int, int);
    void(WINAPI* declare)(int);
    void(WINAPI* setDirectory)(const wchar_t*);

    static Server& get() {
        static Server server = [] {
            wchar_t path[MAX_PATH];
            const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
            std::wstring dll(path, n);
            dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"DormexSiteTest.dll";
            const HMODULE module = LoadLibraryW(dll.c_str());
            if (!module) throw std::runtime_error("DormexSiteTest.dll is not beside the test");
            // Each export into the member of its type.
            auto bind = [&](auto& member, const char* name) {
                FARPROC f = GetProcAddress(module, name);
                if (!f) throw std::runtime_error(std::string("no export ") + name);
                member = reinterpret_cast<std::remove_reference_t<decltype(member)>>(
                    reinterpret_cast<void (*)()>(f));
            };
            Server s{};
            bind(s.registerServer, "DllRegisterServer");
            bind(s.unregisterServer, "DllUnregisterServer");
            if (FAILED(s.registerServer())) throw std::runtime_error("registration failed");
            bind(s.live, "DormexSiteLiveObjects");
            bind(s.takeCalls, "DormexSiteTakeCalls");
            bind(s.inject, "DormexSiteInject");
            bind(s.moveSlot, "DormexSiteMoveSlot");
            bind(s.declare, "DormexSiteDeclare");
            bind(s.setDirectory, "DormexSiteSetProgramDirectory");
            return s;
        }();
        return server;
    }

    std::vector<int> calls() {
        std::vector<int> out(4096);
        out.resize(static_cast<size_t>(takeCalls(out.data(), static_cast<int>(out.size()))));
        return out;
    }
};

// The system's own text for a code, trimmed as the program trims it; `otherwise` when there is
// none.
std::string systemTextOf(HRESULT status, const std::string& otherwise = "") {
    wchar_t buffer[256];
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(status), 0, buffer, 256, nullptr);
    const std::string text =
        n ? site::TrimErrorText(platform::toUtf8(std::wstring_view(buffer, n))) : "";
    return text.empty() ? otherwise : text;
}

// The text the system's conversion writes for `value` in the user's locale.
std::string systemTextOf(VARIANT value) {
    VARIANT text;
    VariantInit(&text);
    if (FAILED(VariantChangeTypeEx(&text, &value, LOCALE_USER_DEFAULT, 0, VT_BSTR))) return "?";
    const std::string result =
        platform::toUtf8(std::wstring_view(text.bstrVal, SysStringLen(text.bstrVal)));
    VariantClear(&text);
    return result;
}

// A variant of type `vt`, its value written by `set` (none: empty).
VARIANT variantOf(VARTYPE vt, void (*set)(VARIANT&) = nullptr) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    if (set) set(v);
    return v;
}

// The stand-in's [COM] keys, with `key` set to `value` (none: the four keys as they are); a
// key of another name goes into [Database].
std::string comIni(const std::string& key = "", const std::string& value = "") {
    auto text = [](const GUID& id) {
        wchar_t buffer[40];
        StringFromGUID2(id, buffer, 40);
        return platform::toUtf8(std::wstring_view(buffer));
    };
    const std::pair<std::string, std::string> keys[] = {
        {"Class", "DormexSiteTest.TopLevel"},
        {"TopLevelInterface", text(dormexsite::kTopLevelIid)},
        {"CollectionInterface", text(dormexsite::kCollectionIid)},
        {"CardInterface", text(dormexsite::kCardIid)}};
    std::string ini = "\xEF\xBB\xBF[COM]\r\n";  // saved with a UTF-8 byte-order mark
    bool com = key.empty();
    for (const auto& [name, id] : keys) {
        ini += name + "=" + (name == key ? value : id) + "\r\n";
        com = com || name == key;
    }
    return com ? ini : ini + "[Database]\r\n" + key + "=" + value + "\r\n";
}

const std::string kSchema[] = {
    "CREATE TABLE personnel (userid integer primary key, lastname text, firstname text, "
    "flags integer)",
    "CREATE TABLE Keycards (CardID integer primary key, KeyNumber bigint not null, userid "
    "integer, Active integer not null default 1, CardStatus integer not null default 0, "
    "StatusReason integer not null default 0)",
    "CREATE TABLE Transactions (TransactionID integer primary key, KeyNumber bigint not null, "
    "EventDateTime text not null)",
    "CREATE TABLE MXRSettings (SettingName text not null, StationName text not null, "
    "StringSetting1 text)",
    "CREATE TABLE CardDownloads (DownloadID integer primary key, CardID integer not null, Arg1 "
    "integer, Arg2 integer, Arg3 integer, QueuedAt text)",
    "INSERT INTO personnel VALUES (1, 'Ames', 'Bo', 0)",
    "INSERT INTO Keycards (CardID, KeyNumber, userid) VALUES (1, 5000000000, 1)",
    // 5000000000 cut to 32 bits: recently used, so a truncated key would reach this card.
    "INSERT INTO Keycards (CardID, KeyNumber, userid) VALUES (2, 705032704, 1)",
    "INSERT INTO Transactions VALUES (1, 705032704, '2026-12-05 10:00:00')",
    "INSERT INTO MXRSettings VALUES ('Custom Person Type 1', 'globalmxr', 'Guard')",
};

class ComClient : public ProgramDirTest {
protected:
    void SetUp() override {
        ProgramDirTest::SetUp();
        server.inject(kClear, 0, 0, S_OK, nullptr);
        server.setDirectory(platform::toWide(dir.path()).c_str());
        writeFile(dir.file("SiteLibrary.ini"), comIni());
        writeFile(dir.file("site.db"), "");
        for (const std::string& statement : kSchema) sql(statement);
        server.calls();
    }
    void TearDown() override {
        server.inject(kClear, 0, 0, S_OK, nullptr);
        server.declare(1);
        server.setDirectory(nullptr);
        EXPECT_EQ(server.live(kAll), 0) << "objects left alive in the server";
        ProgramDirTest::TearDown();
    }
    site::CreateFunction creator() { return com::comSiteLibrary(dir.path() + "/"); }

    // Runs a statement through the client; the rows of a SELECT as "a|b|" lines.
    std::vector<std::string> sql(const std::string& statement) {
        auto rows = creator()()->RunSql(statement);
        if (statement.rfind("SELECT", 0) != 0) return {};
        site::TResultCursor cursor;
        cursor.Bind(rows);
        std::vector<std::string> out;
        for (; !cursor.AtEnd(); cursor.Next()) {
            std::string line;
            for (int i = 0; i < cursor.FieldCount(); ++i)
                line += cursor.FieldAt(i).AsString() + "|";
            out.push_back(line);
        }
        return out;
    }
    std::string card(int id) {
        auto rows = sql("SELECT Active, CardStatus, StatusReason FROM Keycards WHERE CardID = " +
                        std::to_string(id));
        return rows.empty() ? "missing" : rows[0];
    }
    // One run of the program's routines with type 0 selected; the log's messages without the
    // statement lines. `name6` receives entry 6's name.
    std::vector<std::string> run(std::string* name6 = nullptr) {
        std::filesystem::remove(dir.file("dormex.log"));
        {
            TForm1 form(creator(), StartMode::Unattended, report);
            form.CheckListBox1.SetChecked(0, true);
            form.LoadCustomNames();
            if (name6) *name6 = form.CheckListBox1.Name(6);
            form.RunQuery(30);
            // The cursor keeps its recordset; the top-level object, collections and cards are
            // gone once the routines end.
            for (Kind kind : {kTop, kCollection, kCard}) EXPECT_EQ(server.live(kind), 0) << kind;
        }
        EXPECT_EQ(server.live(kAll), 0);
        std::vector<std::string> lines;
        std::istringstream log(logText());
        for (std::string line; std::getline(log, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const size_t stamp = line.find("  ");
            if (line.rfind("SELECT", 0) != 0) lines.push_back(line.substr(stamp + 2));
        }
        return lines;
    }
    Server& server = Server::get();
    LogReport report{true, stderr};
};

TEST_F(ComClient, EachOperationLandsOnItsPositionAndTheKeyKeepsSixtyFourBits) {
    std::string name6;
    EXPECT_EQ(run(&name6), (std::vector<std::string>{",5000000000,Ames,Bo,0, Deactivated"}));
    EXPECT_EQ(name6, "Guard");
    EXPECT_EQ(card(1), "0|3|6|");
    EXPECT_EQ(card(2), "1|0|0|");
    EXPECT_EQ(sql("SELECT CardID, Arg1, Arg2, Arg3 FROM CardDownloads"),
              (std::vector<std::string>{"1|0|1|0|"}));
    // Interface * 1000 + own position: RunSql 35 (names, feed check, selection), FindKeycards 2,
    // Count 3, Item 2, then operations A to E at 48, 16, 30, 31 and 75.
    std::vector<int> calls = server.calls();
    calls.erase(calls.begin() + 11, calls.end());  // the state queries that follow
    EXPECT_EQ(calls,
              (std::vector<int>{1035, 1035, 1035, 1002, 2003, 2002, 3048, 3016, 3030, 3031, 3075}));
}

TEST_F(ComClient, AServerWithAMovedSlotFailsTheRun) {
    server.moveSlot(kCard, 31, 32);
    const auto lines = run();
    server.moveSlot(kCard, 31, 32);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("RunQuery():5:", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("is not implemented"), std::string::npos) << lines[0];
    EXPECT_EQ(card(1), "1|0|0|");
}

TEST_F(ComClient, FailuresCarryTheirMessageAndReleaseEverything) {
    const HRESULT kNoText = static_cast<HRESULT>(0x80041234);
    ASSERT_EQ(systemTextOf(kNoText), "") << "precondition: a code without system text";
    ASSERT_NE(systemTextOf(E_ACCESSDENIED), "") << "precondition: a code with system text";
    struct Case {
        Kind kind;
        int position;
        Mode mode;
        HRESULT status;
        const wchar_t* description;
        std::string expected;  // the log's last entry
        std::string cardState;
        size_t entries = 1;      // the log's entries
        std::string first = "";  // the first of several entries
    };
    const std::string kLocked = "Card is locked by the door controller";
    std::vector<Case> cases = {
        // Error information crosses the boundary, trimmed of its period and blanks.
        {kCard, 31, kFail, E_FAIL, L"Card is locked by the door controller. \r\n",
         "RunQuery():5:" + kLocked, "1|0|0|"},
        {kCard, 75, kFail, E_FAIL, L"Queue full", "RunQuery():6:Queue full", "0|3|6|"},
        // Without a description: the system's text, then "OLE error".
        {kCard, 48, kFail, E_ACCESSDENIED, nullptr, "RunQuery():2:" + systemTextOf(E_ACCESSDENIED),
         "1|0|0|"},
        {kCard, 16, kFail, kNoText, nullptr, "RunQuery():3:OLE error 80041234", "1|0|0|"},
        {kCard, 30, kFail, E_FAIL, L"C", "RunQuery():4:C", "1|0|0|"},
        {kCollection, 3, kFail, E_FAIL, L"No count", "RunQuery():1:No count", "1|0|0|"},
        {kCollection, 2, kFail, E_FAIL, L"No item", "RunQuery():1:No item", "1|0|0|"},
        {kTop, 2, kFail, E_FAIL, L"No lookup", "RunQuery():0:No lookup", "1|0|0|"},
        // Items that are no card, and objects missing with a success status.
        {kCollection, 2, kVariantNull, S_OK, nullptr,
         "RunQuery():1:Could not convert variant of type (Null) into type (Dispatch)", "1|0|0|"},
        {kCollection, 2, kVariantI4, S_OK, nullptr,
         "RunQuery():1:Could not convert variant of type (Integer) into type (Dispatch)", "1|0|0|"},
        {kCollection, 2, kNullResult, S_OK, nullptr,
         "RunQuery():2:No card at item 1 for key number 5000000000", "1|0|0|"},
        {kTop, 2, kNullResult, S_OK, nullptr,
         "RunQuery():1:No card collection for key number 5000000000", "1|0|0|"},
        // A failing statement ends both routines.
        {kTop, 35, kFail, E_FAIL, L"no such table: MXRSettings",
         "RunQuery():0:no such table: MXRSettings", "1|0|0|", 2,
         "LoadCustomNames():no such table: MXRSettings"},
    };
    // ADO's State, EOF, Fields, MoveNext, the Fields' Item and Count, and a Field's Name and
    // Value, by their table index less the seven IUnknown and IDispatch slots, end both routines.
    // A failing MoveNext ends the selection after its first row, whose card is still deactivated.
    const std::tuple<Kind, int, std::string, std::string> rowSources[] = {
        {kRecordset, 55 - 6, "0", "1|0|0|"}, {kRecordset, 20 - 6, "0", "1|0|0|"},
        {kRecordset, 21 - 6, "0", "1|0|0|"}, {kRecordset, 36 - 6, "6", "0|3|6|"},
        {kFields, 10 - 6, "0", "1|0|0|"},    {kFields, 7 - 6, "0", "1|0|0|"},
        {kField, 11 - 6, "0", "1|0|0|"},     {kField, 13 - 6, "0", "1|0|0|"}};
    for (const auto& [kind, position, marker, cardState] : rowSources) {
        const std::string failed = "Row source failed";
        cases.push_back({kind, position, kFail, E_FAIL, L"Row source failed.",
                         "RunQuery():" + marker + ":" + failed, cardState, marker == "6" ? 3u : 2u,
                         "LoadCustomNames():" + failed});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.kind) + ":" + std::to_string(c.position) + " " + c.expected);
        sql("UPDATE Keycards SET Active = 1, CardStatus = 0, StatusReason = 0");
        server.inject(c.kind, c.position, c.mode, c.status, c.description);
        const auto lines = run();
        server.inject(kClear, 0, 0, S_OK, nullptr);
        ASSERT_EQ(lines.size(), c.entries);
        EXPECT_EQ(lines.back(), c.expected);
        if (c.entries > 1) {
            EXPECT_EQ(lines.front(), c.first);
        }
        EXPECT_EQ(card(1), c.cardState);
    }
    // A failure that publishes nothing is not described by error information left over.
    auto top = creator()();
    ICreateErrorInfo* create = nullptr;
    IErrorInfo* stale = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetDescription(const_cast<LPOLESTR>(L"Left over"));
    create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&stale));
    SetErrorInfo(0, stale);
    stale->Release();
    create->Release();
    server.inject(kTop, 2, kFail, kNoText, nullptr);
    try {
        top->FindKeycards(-1, 17);
        ADD_FAILURE() << "the injected failure did not fail";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "OLE error 80041234");
    }
}

TEST_F(ComClient, ASelectionWithoutARecordsetEndsTheRoutinesCleanly) {
    // A selection that succeeds without a recordset reads no rows: nothing is logged at all.
    std::filesystem::remove(dir.file("dormex.log"));
    server.inject(kTop, 35, kNullResult, S_OK, nullptr);
    writeFile(settingsPath(), "[General]\r\ntype0=True\r\nFeedCheck=False\r\n");
    TForm1 form(creator(), StartMode::Unattended, report);
    form.FormCreate();
    server.inject(kClear, 0, 0, S_OK, nullptr);
    EXPECT_EQ(logText().substr(logText().find("  ")), "  Days = 30\r\n");
    EXPECT_EQ(card(1), "1|0|0|");
}

TEST_F(ComClient, ConfigurationMistakesAndDeclaredMismatchesAreOneLineCreationErrors) {
    const std::string declares = "The site library declares ";
    struct Case {
        std::string key, value;  // one [COM] key changed; no key: no SiteLibrary.ini at all
        int declaration;         // the type library the stand-in describes itself with
        std::string message;     // the start of the creation error
        bool namesKey;           // the message names the key
    };
    const std::vector<Case> cases = {
        {"Class", "{6D9B8E3C-0000-4000-8000-0000000000AA}", 1,
         systemTextOf(REGDB_E_CLASSNOTREG, "OLE error 80040154"), false},
        {"Class", "No.Such.Class", 1, systemTextOf(CO_E_CLASSSTRING, "OLE error 800401F3"), true},
        {"Class", "{garbage", 1, "", true},
        {"TopLevelInterface", "00000000-0000-0000-C000-000000000046}", 1, "", true},
        {"TopLevelInterface", "{1B2774D4-361E-42CC-80F5-A873B24D43A4}", 1,
         "Interface not supported", false},
        {"CollectionInterface", "", 1, "[COM] CollectionInterface is missing or empty", true},
        {"", "", 1, "SiteLibrary.ini is missing: ", false},
        // The library's own declarations: a moved method, a retyped argument, and the card
        // interface named by another interface's ID.
        {"", "", 2,
         declares + "IDormexSiteKeycard ([COM] CardInterface) position 48 as HRESULT "
                    "Inserted(), where Dormex calls HRESULT (long)",
         false},
        {"", "", 3,
         declares + "IDormexSiteTopLevel ([COM] TopLevelInterface) position 2 as HRESULT "
                    "FindKeycards(long, long, [out] IDormexSiteKeycards**), where Dormex calls "
                    "HRESULT (long, hyper, [out] IUnknown**)",
         false},
        {"CardInterface", "{91556A0E-19F6-463B-BD49-D296802E969F}", 1,
         declares + "IDormexSiteKeycards ([COM] CardInterface) position 48 as nothing", true},
        {"Port", "54x", 1, "Invalid Port '54x' in ", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key + "=" + c.value + " " + c.message);
        if (c.key.empty() && c.declaration == 1)
            std::filesystem::remove(dir.file("SiteLibrary.ini"));
        else
            writeFile(dir.file("SiteLibrary.ini"), comIni(c.key, c.value));
        server.declare(c.declaration);
        {
            TForm1 form(creator(), StartMode::Unattended, report);
            try {
                form.RunQuery(30);
                ADD_FAILURE() << "no creation error";
            } catch (const Error& e) {
                const std::string message = e.what();
                EXPECT_EQ(message.find('\n'), std::string::npos);
                EXPECT_EQ(message.rfind(c.message, 0), 0u) << message;
                if (c.namesKey) {
                    EXPECT_NE(message.find(c.key), std::string::npos)
                        << "names the key: " << message;
                }
            }
        }
        EXPECT_EQ(logText(), "");
        server.declare(1);
        writeFile(dir.file("SiteLibrary.ini"), comIni());
        EXPECT_EQ(card(1), "1|0|0|");
    }
}

TEST_F(ComClient, RegistrationIsPerUserAndUnregisteringRemovesTheClass) {
    // The server's own registration and unregistration, with the user's keys and the classes
    // root redirected to keys of this test and architecture (Wine does not redirect the user's
    // keys between the views), so that tests running meanwhile keep the class.
    const std::wstring base = L"Software\\DormexComClientTest" + std::to_wstring(sizeof(void*));
    const std::wstring clsid = L"Software\\Classes\\CLSID\\{07B11B6C-238B-42E7-B1F3-67C80838054F}";
    HKEY user = nullptr, root = nullptr;
    for (const auto& [name, key] : {std::pair{L"\\User", &user}, {L"\\Root", &root}}) {
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (base + name).c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, key, nullptr),
                  ERROR_SUCCESS);
    }
    auto exists = [](HKEY parent, const std::wstring& key) {
        HKEY handle = nullptr;
        if (RegOpenKeyExW(parent, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
        RegCloseKey(handle);
        return true;
    };
    ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, user), ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_CLASSES_ROOT, root), ERROR_SUCCESS);
    const HRESULT registered = server.registerServer();
    const bool perUser = exists(HKEY_CURRENT_USER, clsid);
    const HRESULT unregistered = server.unregisterServer();
    const bool gone =
        !exists(HKEY_CURRENT_USER, clsid) && !exists(HKEY_CLASSES_ROOT, clsid.substr(17));
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    RegCloseKey(user);
    RegCloseKey(root);
    RegDeleteTreeW(HKEY_CURRENT_USER, base.c_str());
    EXPECT_EQ(registered, S_OK);
    EXPECT_TRUE(perUser) << "registered under the user's classes";
    EXPECT_EQ(unregistered, S_OK);
    EXPECT_TRUE(gone);
    // The real registration is untouched.
    EXPECT_EQ(run().at(0), ",5000000000,Ames,Bo,0, Deactivated");
}

TEST_F(ComClient, RecordsetsAreReadThroughTheIdEveryAdoVersionAnswers) {
    // A recordset answering only ADO's older interface IDs, as Wine's ADO does.
    server.inject(kRecordset, 0, kOlderIds, S_OK, nullptr);
    EXPECT_EQ(sql("SELECT KeyNumber, lastname FROM Keycards JOIN personnel USING (userid) "
                  "ORDER BY CardID"),
              (std::vector<std::string>{"5000000000|Ames|", "705032704|Ames|"}));
}

TEST_F(ComClient, ProviderColumnTypesReadExactlyOrAsTheSystemWritesThem) {
    VARIANT date = variantOf(VT_DATE), cy = variantOf(VT_CY), r4 = variantOf(VT_R4);
    SYSTEMTIME t{2026, 12, 0, 5, 10, 0, 0, 0};
    SystemTimeToVariantTime(&t, &date.date);
    cy.cyVal.int64 = 125000;
    r4.fltVal = 2.5f;
    struct Case {
        std::string declared, value, text;
        std::optional<std::int64_t> integer;  // none: read as integer, it names the column
    };
    const Case cases[] = {
        {"tinyint", "200", "200", 200},
        {"smallint", "-300", "-300", -300},
        {"int", "NULL", "", 0},
        {"bigint", "-5000000000", "-5000000000", -5000000000},
        {"numeric(20,0)", "-12345678901234567", "-12345678901234567", -12345678901234567},
        {"money", "5000000000", "5000000000", 5000000000},
        {"money", "12.5", systemTextOf(cy), std::nullopt},
        {"real", "16777216", "16777216", 16777216},
        {"real", "2.5", systemTextOf(r4), std::nullopt},
        {"float", "2.5", "2.5", std::nullopt},
        {"bit", "1", "True", 1},
        {"datetime", "'2026-12-05 10:00:00'", systemTextOf(date), std::nullopt},
        {"tinyint", "'x'", "x", std::nullopt},
        {"tinyint", "300", "300", 300},  // beyond the declared type: as stored
    };
    std::string columns, values;
    for (size_t i = 0; i < std::size(cases); ++i) {
        columns += (i ? ", c" : "c") + std::to_string(i) + " " + cases[i].declared;
        values += (i ? ", " : "") + cases[i].value;
    }
    sql("CREATE TABLE T (" + columns + ")");
    sql("INSERT INTO T VALUES (" + values + ")");
    site::TResultCursor cursor;
    cursor.Bind(creator()()->RunSql("SELECT * FROM T"));
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.declared + " " + c.value);
        const auto field = cursor.FieldAt(static_cast<int>(i));
        EXPECT_EQ(field.AsString(), c.text);
        if (c.integer) {
            EXPECT_EQ(field.AsInteger(), *c.integer);
        } else {
            EXPECT_THROW(field.AsInteger(), Error);
        }
    }
}

TEST(ComVariant, EachTypeGivesTheTextAndIntegerTheLinuxLibraryGives) {
    auto decimal = [](std::uint32_t hi, std::uint64_t lo, BYTE scale, bool negative) {
        VARIANT v = variantOf(VT_DECIMAL);
        v.decVal.Hi32 = hi;
        v.decVal.Lo64 = lo;
        v.decVal.scale = scale;
        v.decVal.sign = negative ? DECIMAL_NEG : 0;
        v.vt = VT_DECIMAL;
        return v;
    };
    struct Case {
        VARIANT in;
        std::optional<std::string> text;
        std::optional<std::int64_t> integer;
    };
    VARIANT text = variantOf(VT_BSTR);
    text.bstrVal = SysAllocStringLen(L"a\0b", 3);
    const Case cases[] = {
        {variantOf(VT_EMPTY), std::nullopt, 0},
        {variantOf(VT_NULL), std::nullopt, 0},
        {variantOf(VT_I2, [](VARIANT& v) { v.iVal = -5; }), "-5", -5},
        {variantOf(VT_I4, [](VARIANT& v) { v.lVal = 2147483647; }), "2147483647", 2147483647},
        {variantOf(VT_I8, [](VARIANT& v) { v.llVal = -5000000000; }), "-5000000000", -5000000000},
        {variantOf(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_TRUE; }), "True", 1},
        {variantOf(VT_I1, [](VARIANT& v) { v.cVal = -128; }), "-128", -128},
        {variantOf(VT_UI4, [](VARIANT& v) { v.ulVal = 4294967295u; }), "4294967295", 4294967295},
        {variantOf(VT_UI8, [](VARIANT& v) { v.ullVal = ~0ull; }), "18446744073709551615",
         std::nullopt},
        {variantOf(VT_CY, [](VARIANT& v) { v.cyVal.int64 = -50000000000000; }), "-5000000000",
         -5000000000},
        {variantOf(VT_R4, [](VARIANT& v) { v.fltVal = -16777216.0f; }), "-16777216", -16777216},
        {variantOf(VT_R8, [](VARIANT& v) { v.dblVal = 0.1; }), "0.1", std::nullopt},
        {text, std::string("a\0b", 3), std::nullopt},
        {decimal(0, 1250, 2, true), "-12.50", std::nullopt},
        {decimal(0, 5, 3, false), "0.005", std::nullopt},
        {decimal(1, 0, 0, false), "18446744073709551616", std::nullopt},
        {decimal(0xFFFFFFFF, ~0ull, 28, false), "7.9228162514264337593543950335", std::nullopt},
        {decimal(0, 0, 0, false), "0", 0},
        {decimal(0, 1200, 2, false), "12.00", 12},
    };
    for (const Case& c : cases) {
        const site::FieldValue value = com::fieldValue(c.in);
        EXPECT_EQ(value.text, c.text) << c.in.vt;
        EXPECT_EQ(value.integer, c.integer) << c.in.vt;
    }
    VariantClear(&text);
    for (VARTYPE other : {VT_UNKNOWN, VT_ERROR})
        EXPECT_THROW(com::fieldValue(variantOf(other)), site::UnreadableValue) << other;
}

}  // namespace
}  // namespace dormex::test
