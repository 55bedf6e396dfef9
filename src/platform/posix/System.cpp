// The POSIX side of the operating system seam.
#include "platform/System.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace dormex::platform::os {
namespace {

// Writes all of `data` at `offset`, or with no offset at the end of a file opened for appending:
// in as few calls as the system allows (one, for a log entry), so that concurrent appenders never
// interleave within an entry.
bool writeAll(int fd, std::string_view data, std::optional<off_t> offset = std::nullopt) {
    while (!data.empty()) {
        const ssize_t n = offset ? ::pwrite(fd, data.data(), data.size(), *offset)
                                 : ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
        if (offset) *offset += n;
    }
    return true;
}

}  // namespace

std::string executablePath() {
    std::vector<char> buffer(PATH_MAX + 1);
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return {};
    return std::string(buffer.data(), static_cast<size_t>(n));
}

bool isPathSeparator(char c) {
    return c == '/';
}

std::string commandName(const std::string& fileName) {
    return fileName.empty() ? "dormex" : fileName;
}

bool pathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool fileHasContent(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

FileResult readRegularFile(const std::string& path, bool forUpdate, std::string& bytes) {
    bytes.clear();
    int fd = ::open(path.c_str(), (forUpdate ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT ? FileResult::Missing : FileResult::Failed;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        (forUpdate && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)) {
        ::close(fd);
        return FileResult::Failed;
    }
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return FileResult::Failed;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return FileResult::Ok;
}

FileResult replaceFile(const std::string& path, std::string_view contents) {
    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return errno == EACCES || errno == EPERM ? FileResult::Denied : FileResult::Failed;

    struct stat old {};
    const bool hadOld = ::stat(path.c_str(), &old) == 0;
    bool ok = ::fchmod(fd, hadOld ? old.st_mode & 07777 : 0644) == 0;
    if (ok && hadOld && ::fchown(fd, old.st_uid, old.st_gid) != 0) {
        // Only root may keep another owner; otherwise the writer owns the new file.
    }
    ok = ok && writeAll(fd, contents, 0) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok ? FileResult::Ok : FileResult::Failed;
}

bool rewriteFile(const std::string& path, std::string_view contents, std::string_view old) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    const bool ok = writeAll(fd, contents, 0) &&
                    ::ftruncate(fd, static_cast<off_t>(contents.size())) == 0 && ::fsync(fd) == 0;
    if (!ok && writeAll(fd, old, 0) && ::ftruncate(fd, static_cast<off_t>(old.size())) == 0)
        ::fsync(fd);
    return ::close(fd) == 0 && ok;
}

std::string writeTarget(const std::string& path) {
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return path;
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return path;
    std::string target = resolved;
    std::free(resolved);
    return target;
}

bool appendToFile(const std::string& path, std::string_view text) {
    // Opening never blocks (a FIFO at the path would wait for a reader), and only a regular file
    // is written; anything else fails.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return false;
    struct stat st {};
    const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && writeAll(fd, text);
    return ::close(fd) == 0 && ok;
}

std::string lastErrorText() {
    return std::strerror(errno);
}

bool textFilesStartWithByteOrderMark() {
    return false;
}

void reportErrorEvent(const std::string&, const std::string&) {
    // The exit status and standard error tell the scheduler (cron's mail, systemd's journal).
}

}  // namespace dormex::platform::os
