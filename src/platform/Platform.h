#pragma once

#include <ctime>
#include <string>

// Process-wide seams for what tests cannot own: the executable's path, the clock and the boxes.
// Each has a real default; tests install their own for the duration of a test.
namespace dormex::platform {

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

// Full path of the running executable, as the system reports it, unless overridden.
const std::string& executablePath();
void setExecutablePath(const std::string& path);

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

Clock& clock();
// nullptr restores the system clock. The clock is not owned.
void setClock(Clock* clock);

Boxes& boxes();
// nullptr restores the standard-error boxes. The boxes are not owned.
void setBoxes(Boxes* boxes);

// The application title: caption of every box.
inline const char* const kApplicationTitle = "Dormex";

}  // namespace dormex::platform
