// The Windows program's site library: the COM server configured beside the program.
#include "ComSiteLibrary.h"
#include "SiteLibraryChoice.h"
#include "platform/Platform.h"

namespace dormex::win {

// The COM library has no read-only mode: the preview calls no card operation.
site::CreateFunction SiteLibraryCreator(bool) {
    return com::comSiteLibrary(platform::programDirectory());
}

}  // namespace dormex::win
