#pragma once

#include <memory>
#include <string>

// One unattended run at a time: an exclusive lock on a file beside the program. The operating
// system releases it when the process ends, so a killed run never blocks the next one.
namespace dormex::platform {

class RunLock {
public:
    virtual ~RunLock() = default;
    // Waits up to `waitSeconds` for the lock on `path` (created when missing) and holds it until
    // release() or destruction. False when another process still holds it after the wait; throws
    // Error when the lock file can be neither opened nor created.
    virtual bool acquire(const std::string& path, int waitSeconds) = 0;
    virtual void release() = 0;
};

// The run lock of the services, else the system's.
RunLock& runLock();

// A new lock of the operating system's kind (flock on Linux, LockFileEx on Windows).
std::unique_ptr<RunLock> makeSystemRunLock();

}  // namespace dormex::platform
