#include "Startup.h"

#include "Preview.h"
#include "platform/Error.h"
#include "platform/Platform.h"
#include "platform/RunLock.h"
#include "uDormex.h"
#include "uVarious.h"

#ifndef DORMEX_VERSION
#define DORMEX_VERSION "unknown"
#endif

namespace dormex {
namespace {

std::string fileName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Reports a start that cannot go on: in the error box where one is seen, always on `err`.
int startFailure(const std::string& message, bool windowSystem, std::FILE* err) {
    if (windowSystem) platform::boxes().showError(platform::kApplicationTitle, message);
    std::fprintf(err, "%s: %s\n", platform::kApplicationTitle, message.c_str());
    return 2;
}

int runFormProgram(StartMode mode, const std::string& firstArgument, Shell& shell, std::FILE* err) {
    const std::string problem = shell.windowSystemProblem();
    const bool windowSystem = problem.empty();
    if (!windowSystem && mode == StartMode::Window) {
        std::fprintf(err, "%s: %s\n", platform::kApplicationTitle, problem.c_str());
        return 2;
    }
    shell.startApplication(windowSystem);

    platform::RunLock& lock = platform::runLock();
    if (mode == StartMode::Unattended &&
        !lock.acquire(platform::programDirectory() + kRunLockFile, kRunLockWaitSeconds)) {
        return startFailure("Another run is in progress", windowSystem, err);
    }
    TForm1 form(shell.siteLibrary(false), firstArgument);
    const bool setupOk = RunFormCreate(form);
    if (windowSystem) shell.runWindow(form);
    lock.release();
    return ExitStatus(form, !setupOk);
}

}  // namespace

StartMode ParseStartMode(const std::string& firstArgument) {
    if (IsSilentArgument(firstArgument)) return StartMode::Unattended;
    if (IsPreviewArgument(firstArgument)) return StartMode::Preview;
    if (firstArgument == "--help") return StartMode::Help;
    if (firstArgument == "--version") return StartMode::Version;
    return StartMode::Window;
}

std::string UsageText(const std::string& programName) {
    const std::string dir = platform::programDirectory();
    return "Usage: " + programName + " [silent | preview | --help | --version]\n\n" + "  " +
           programName + "            the settings window (needs a window system)\n" + "  " +
           programName +
           " silent     unattended run: deactivates the idle cards of the selected\n" +
           "                    person types and logs each one; for a scheduler\n" + "  " +
           programName + " preview    lists what the unattended run would deactivate; " +
           "changes nothing\n" + "  " + programName + " --help     this text\n" + "  " +
           programName + " --version  the version\n\n" + "Files beside the program (" + dir +
           "):\n" + "  Dormex.ini       settings (Days, typeN, MaxDeactivations in [General])\n" +
           "  " + fileName(LogPathFor(platform::executablePath())) +
           "       the log of every run\n" +
           "  SiteLibrary.ini  where the site library finds the site database\n" + "  " +
           kRunLockFile + "      held by the unattended run, one run at a time\n\n" +
           "Exit status: 0 done; 1 the run logged a failure (see the log); 2 the set-up\n" +
           "failed or the program could not start (message on standard error).\n";
}

int RunProgram(StartMode mode, const std::string& firstArgument, Shell& shell, std::FILE* out,
               std::FILE* err) {
    int status = 2;
    Guarded(
        [&] {
            switch (mode) {
                case StartMode::Help:
                    std::fputs(UsageText(fileName(platform::executablePath())).c_str(), out);
                    status = 0;
                    return;
                case StartMode::Version:
                    std::fprintf(out, "%s %s\n", platform::kApplicationTitle, DORMEX_VERSION);
                    status = 0;
                    return;
                case StartMode::Preview:
                    shell.startApplication(false);
                    status = RunPreview(shell.siteLibrary(true), out, err);
                    return;
                case StartMode::Window:
                case StartMode::Unattended:
                    status = runFormProgram(mode, firstArgument, shell, err);
                    return;
            }
        },
        [&](const std::string& message) {
            std::fprintf(err, "%s: %s\n", platform::kApplicationTitle, message.c_str());
            status = 2;
        });
    std::fflush(out);
    return status;
}

}  // namespace dormex
