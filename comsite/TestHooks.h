#pragma once

#include <windows.h>

#include <string>

#include "SiteIds.h"

// Test-only controls of the stand-in server, exported from the DLL (see DormexSite.def) so that
// tests of the COM client can see what it called and released, and make the server misbehave.
// No client of the site library uses them.
namespace dormexsite {

// What an injected fault does at its method.
enum class FaultMode : int {
    None = 0,
    Fail = 1,          // returns the given status, publishing the description when there is one
    NullResult = 2,    // succeeds with a null object (RunSql, FindKeycards, Item)
    VariantNull = 3,   // Item succeeds with a VT_NULL variant
    VariantI4 = 4,     // Item succeeds with a VT_I4 variant
    OlderIdsOnly = 5,  // the recordsets (kind Recordset, any position) answer ADO's older IDs only
};

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
// Exchanges two own positions of `kind`'s table.
void swapSlots(Iface kind, int a, int b);
// The resource number of the type library the site interfaces describe themselves with: 1 as
// registered, 2 with the card's SetActive declared one position late, 3 with FindKeycards' key
// number declared as a 32-bit long (see DormexSite.idl).
int declaration();

}  // namespace dormexsite

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
