// The run lock on Windows: an exclusive byte-range lock (LockFileEx) on the lock file. The system
// drops it when the handle closes, also when the process is killed.
#include "platform/RunLock.h"

#include <windows.h>

#include "platform/Error.h"
#include "platform/win/Wide.h"

namespace dormex::platform {
namespace {

constexpr DWORD kRetryIntervalMs = 200;

class FileRunLock : public RunLock {
public:
    ~FileRunLock() override { release(); }

    bool acquire(const std::string& path, int waitSeconds) override {
        release();
        const std::wstring wide = win::widePath(path);
        constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        // A read-only program directory may still hold the lock file: locking needs no writing.
        m_file.reset(::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!m_file.valid()) {
            const DWORD createError = ::GetLastError();
            m_file.reset(::CreateFileW(wide.c_str(), GENERIC_READ, kShare, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
            // A file that is not there could not be created: the create's reason is the one.
            const DWORD error =
                ::GetLastError() == ERROR_FILE_NOT_FOUND ? createError : ::GetLastError();
            if (!m_file.valid()) {
                throw Error("Unable to open the run lock " + path + ": " +
                            win::systemMessage(error));
            }
        }
        const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(waitSeconds) * 1000;
        for (;;) {
            OVERLAPPED at{};
            if (::LockFileEx(m_file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                             1, 0, &at))
                return true;
            const DWORD error = ::GetLastError();
            if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) {
                release();
                throw Error("Unable to lock " + path + ": " + win::systemMessage(error));
            }
            if (::GetTickCount64() >= deadline) break;
            ::Sleep(kRetryIntervalMs);
        }
        release();
        return false;
    }

    void release() override { m_file.reset(); }

private:
    win::Handle m_file;
};

}  // namespace

std::unique_ptr<RunLock> makeSystemRunLock() {
    return std::make_unique<FileRunLock>();
}

}  // namespace dormex::platform
