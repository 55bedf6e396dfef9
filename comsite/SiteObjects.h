#pragma once

#include <windows.h>

// The stand-in site library's objects.
namespace dormexsite {

// Creates the top-level object over the site database that SiteLibrary.ini names, as interface
// `riid`. A database that cannot be opened fails with E_FAIL and its description published.
HRESULT createTopLevel(REFIID riid, void** out);

}  // namespace dormexsite
