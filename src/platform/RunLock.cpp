#include "platform/RunLock.h"

#include "platform/Platform.h"

namespace dormex::platform {
namespace {

RunLock& systemLock() {
    static std::unique_ptr<RunLock> lock = makeSystemRunLock();
    return *lock;
}

}  // namespace

RunLock& runLock() {
    return services().runLock ? *services().runLock : systemLock();
}

}  // namespace dormex::platform
