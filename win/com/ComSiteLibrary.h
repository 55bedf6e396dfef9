#pragma once

#include <oaidl.h>
#include <windows.h>

#include <string>

#include "site/SiteLibrary.h"

// The site library on Windows: the access-control system's COM automation server, reached
// through the site interfaces. Its class and interfaces come from [COM] of "SiteLibrary.ini"
// beside the program; its methods are called by their position in each interface, and its
// recordsets are read through ADO's Recordset15 interface. A failed call's status becomes an
// Error carrying its message at once.
namespace dormex::com {

// `in` as a field value. Every integer type exactly (VT_UI8 above 2^63 - 1 as its digits);
// VT_CY when whole and VT_R4 when whole and within 64 bits as their integer, otherwise as the
// text the system's conversion writes in the user's locale, as is VT_DATE; VT_R8 and VT_DECIMAL
// as the site libraries give reals and decimals; VT_EMPTY and VT_NULL as NULL; VT_BOOL "True" or
// "False". Throws site::UnreadableValue for any other type.
site::FieldValue fieldValue(const VARIANT& in);

// Creates the top-level object of the class that `programDir`'s SiteLibrary.ini configures and
// checks the site interfaces against the type information it gives (LayoutCheck.h); a class
// registered for the other architecture only is named as such. COM must be initialised on the
// calling thread.
site::CreateFunction comSiteLibrary(const std::string& programDir);

}  // namespace dormex::com
