#include "platform/RunLock.h"

namespace dormex::platform {
namespace {

RunLock* g_lock = nullptr;

RunLock& systemLock() {
    static std::unique_ptr<RunLock> lock = makeSystemRunLock();
    return *lock;
}

}  // namespace

RunLock& runLock() {
    return g_lock ? *g_lock : systemLock();
}

void setRunLock(RunLock* lock) {
    g_lock = lock;
}

}  // namespace dormex::platform
