#pragma once

#include <cstdio>
#include <string>

#include "platform/Platform.h"
#include "site/SiteLibrary.h"
#include "uDormex.h"

// The start-up sequence shared by every platform: the start mode, the window system check, the
// run lock, the set-up, the run, the error box or standard error and the exit status. Each
// platform supplies a Shell; its entry only parses the mode and calls RunProgram.
namespace dormex {

// How long a second unattended run waits for the first one to end.
constexpr int kRunLockWaitSeconds = 60;

// The file the unattended run locks, in the program directory.
inline const char* const kRunLockFile = "Dormex.lock";

// What a platform supplies to the start-up sequence.
class Shell {
public:
    virtual ~Shell() = default;
    // Creates the site library's top-level object; a read-only one for the preview.
    virtual site::CreateFunction siteLibrary(bool readOnly) = 0;
    // Empty when a window system the user can see is there for a start in `mode`; else one line
    // saying what was found instead (standard error carries it).
    virtual std::string windowSystemProblem(StartMode mode) = 0;
    // Starts the application once, before the set-up. With `windowSystem` gives the window
    // system's boxes, which the reporter and the window are given; else null.
    virtual platform::Boxes* startApplication(bool windowSystem) = 0;
    // Shows the window over `form` and runs the event loop until it ends.
    virtual void runWindow(TForm1& form) = 0;
    // What SiteLibrary.ini beside the program holds, in a few words for the usage text.
    virtual const char* siteLibrarySettings() const = 0;
};

// The line of Shell::windowSystemProblem for what a platform `found` in place of a window system:
// empty when `found` is, else that there is none and which commands (named as
// platform::programName() gives the program) run without one.
std::string WindowSystemProblem(const std::string& found);

// The usage text of --help (and /?) for an executable named `programName`, whose SiteLibrary.ini
// holds `siteLibrarySettings`.
std::string UsageText(const std::string& programName, const std::string& siteLibrarySettings);

// Runs the program in `mode`. Returns the exit status: 0, 1 when the run logged a failure, 2
// when the set-up failed or the program could not start. No exception leaves it.
int RunProgram(StartMode mode, Shell& shell, std::FILE* out, std::FILE* err);

}  // namespace dormex
