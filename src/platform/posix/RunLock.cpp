// The run lock on POSIX systems: flock on the lock file, dropped when the descriptor closes.
#include "platform/RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/Error.h"

namespace dormex::platform {
namespace {

constexpr auto kRetryInterval = std::chrono::milliseconds(200);

class FlockRunLock : public RunLock {
public:
    ~FlockRunLock() override { release(); }

    bool acquire(const std::string& path, int waitSeconds) override {
        release();
        // A read-only program directory may still hold the lock file: flock needs no write access.
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
        if (m_fd < 0) {
            const int createError = errno;
            m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            // A file that is not there could not be created: the create's reason is the one.
            const int error = errno == ENOENT ? createError : errno;
            if (m_fd < 0)
                throw Error("Unable to open the run lock " + path + ": " + std::strerror(error));
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
        for (;;) {
            if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) return true;
            if (errno != EWOULDBLOCK && errno != EINTR) {
                const int error = errno;
                release();
                throw Error("Unable to lock " + path + ": " + std::strerror(error));
            }
            if (std::chrono::steady_clock::now() >= deadline) break;
            std::this_thread::sleep_for(kRetryInterval);
        }
        release();
        return false;
    }

    void release() override {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

}  // namespace

std::unique_ptr<RunLock> makeSystemRunLock() {
    return std::make_unique<FlockRunLock>();
}

}  // namespace dormex::platform
