#pragma once

#include "site/SiteLibrary.h"

namespace dormex::win {

// The site library the Windows program uses: the creator of its top-level object, a read-only
// one for the preview. Defined by ComSiteLibraryCreator.cpp where the COM client is built in,
// else by NoSiteLibrary.cpp; CMake links one of them.
site::CreateFunction SiteLibraryCreator(bool readOnly);

}  // namespace dormex::win
