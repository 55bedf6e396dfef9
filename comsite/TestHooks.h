#pragma once

#include <windows.h>

#include <string>

#include "ComObject.h"
#include "SiteIds.h"

// Controls of the stand-in server for tests of the COM client: what it called and released, and
// faults that make it misbehave. Only the test build (DormexSiteTest.dll, DORMEX_SITE_TEST_HOOKS)
// has them and exports them (see DormexSiteTest.def); in the shipped DormexSite.dll each is the
// inline no-op below, so nothing a site runs obeys a test's switch.
namespace dormexsite {

// What an injected fault does at its method.
enum class FaultMode : int {
    None = 0,
    Fail = 1,          // returns the given status, publishing the description when there is one
    NullResult = 2,    // succeeds with a null object (RunSql, FindKeycards, Item)
    VariantNull = 3,   // Item succeeds with a VT_NULL variant
    VariantI4 = 4,     // Item succeeds with a VT_I4 variant
    OlderIdsOnly = 5,  // the recordsets (kind Recordset, position 0) answer ADO's older IDs only
};

#ifdef DORMEX_SITE_TEST_HOOKS
// The fault mode set for `kind` at `position`, or None.
FaultMode faultAt(Iface kind, int position);
// The status and description of the fault at `kind`, `position` (mode Fail).
HRESULT faultStatus();
const std::wstring* faultDescription();
// Appends kind * 1000 + position to the call record (site interfaces only).
void recordCall(Iface kind, int position);
// The directory the server takes as the program's (with a trailing backslash): the one the
// tests set, else the running executable's.
std::wstring programDirectory();
// The resource number of the type library the site interfaces describe themselves with: 1 as
// registered, 2 with the card's SetActive declared one position late, 3 with FindKeycards' key
// number declared as a 32-bit long (see DormexSite.idl).
int declaration();
// Makes `info`'s table reachable for the hook that moves a slot; true.
bool registerInterface(const InterfaceInfo* info);
#else
inline FaultMode faultAt(Iface, int) {
    return FaultMode::None;
}
inline HRESULT faultStatus() {
    return S_OK;
}
inline const std::wstring* faultDescription() {
    return nullptr;
}
inline void recordCall(Iface, int) {}
inline std::wstring programDirectory() {
    return executableDirectory();
}
inline int declaration() {
    return 1;
}
inline bool registerInterface(const InterfaceInfo*) {
    return true;
}
#endif

}  // namespace dormexsite

#ifdef DORMEX_SITE_TEST_HOOKS
extern "C" {
// Objects of interface `kind` alive in the server now; every object for any other `kind`.
LONG WINAPI DormexSiteLiveObjects(int kind);
// Copies up to `capacity` recorded calls (kind * 1000 + own position) to `out`, oldest first,
// clears the record and returns how many were recorded.
int WINAPI DormexSiteTakeCalls(int* out, int capacity);
// Sets the one injected fault (mode 0 clears it); `description` may be null.
void WINAPI DormexSiteInject(int kind, int position, int mode, HRESULT status,
                             const wchar_t* description);
// Exchanges the methods at two own positions of interface `kind`.
void WINAPI DormexSiteMoveSlot(int kind, int a, int b);
// Makes the site interfaces describe themselves with type library `library` (see declaration()).
void WINAPI DormexSiteDeclare(int library);
// Makes `directory` (null: the executable's) the program directory for SiteLibrary.ini.
void WINAPI DormexSiteSetProgramDirectory(const wchar_t* directory);
}
#endif
