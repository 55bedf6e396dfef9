#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <string>

// What the program takes from its surroundings and tests replace: the clock, the boxes, the
// executable's path, the run lock, the log's wait and the file replacement. One Services object
// holds them; each member left empty means the system's own.
namespace dormex::platform {

class RunLock;

class Clock {
public:
    virtual ~Clock() = default;
    // Current time, seconds since the epoch. Every read is a separate read of the clock.
    virtual std::time_t now() const = 0;
};

// The modal boxes of the window system. The headless default writes both to standard error.
class Boxes {
public:
    virtual ~Boxes() = default;
    // Error box: error icon, one OK button. `text` is shown as given.
    virtual void showError(const std::string& title, const std::string& text) = 0;
    // Message box: no icon, one OK button, centred on the screen.
    virtual void showMessage(const std::string& title, const std::string& text) = 0;
};

// Called between two attempts at a log entry the log refused, with the time since the first
// attempt: waits, and says whether to try once more.
using LogRetryWait = std::function<bool(std::chrono::steady_clock::duration sinceFirst)>;

struct Services {
    Clock* clock = nullptr;      // the system clock
    Boxes* boxes = nullptr;      // boxes writing to standard error
    std::string executablePath;  // the path the system reports
    RunLock* runLock = nullptr;  // the system's lock (flock, LockFileEx)
    LogRetryWait logRetryWait;   // 100 ms at a time, until 10 s have passed
    // Windows: puts `replacement` in place of `replaced`, the old file under `backup`, as
    // ReplaceFileW does, and sets the thread's last error when it fails (ReplaceFileW itself).
    std::function<bool(const std::wstring& replaced, const std::wstring& replacement,
                       const std::wstring& backup)>
        replaceFile;
};

// The services in use, and the one way to change them (tests, and the shells once they know
// whether a window system is there).
const Services& services();
void setServices(Services services);

// The services' members, each the system's own where the member is empty.
const std::string& executablePath();
Clock& clock();
Boxes& boxes();

// The path /proc/self/exe gives for an executable, without the " (deleted)" Linux appends once
// the file was replaced or removed, unless a file of that very name exists.
std::string withoutDeletedSuffix(const std::string& path);

// Directory of the executable, with its trailing separator ("/", or "\" on Windows).
std::string programDirectory();

// The part of `path` after its last directory separator; all of it when it has none.
std::string fileNameOf(const std::string& path);

// The executable's file name: fileNameOf(executablePath()).
std::string programFileName();

// The executable's name as the texts naming its commands write it: os::commandName of its file
// name ("Dormex" for Dormex.exe on Windows).
std::string programName();

// The application title: caption of every box.
inline const char* const kApplicationTitle = "Dormex";

}  // namespace dormex::platform
