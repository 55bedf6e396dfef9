// The Windows program built without a site library client: every use of the library fails with
// one clear message, so the set-up stops as it does when the library cannot be created.
#include "SiteLibraryChoice.h"
#include "platform/Error.h"

namespace dormex::win {

site::CreateFunction SiteLibraryCreator(bool) {
    return []() -> std::shared_ptr<site::TopLevelObject> {
        throw Error("No site library is configured");
    };
}

}  // namespace dormex::win
