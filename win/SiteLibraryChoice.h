#pragma once

#include "site/SiteLibrary.h"

namespace dormex::win {

// The site library the Windows program uses: the creator of its top-level object, a read-only
// one for the preview. Defined by the COM client where it is built in, else by NoSiteLibrary.cpp.
site::CreateFunction SiteLibraryCreator(bool readOnly);

}  // namespace dormex::win
