#include "Startup.h"

#include "Preview.h"
#include "platform/Error.h"
#include "platform/Platform.h"
#include "platform/RunLock.h"
#include "platform/System.h"
#include "uDormex.h"
#include "uVarious.h"

#ifndef DORMEX_VERSION
#define DORMEX_VERSION "unknown"
#endif

namespace dormex {
namespace {

int runFormProgram(StartMode mode, Shell& shell, LogReport& report) {
    const std::string problem = shell.windowSystemProblem(mode);
    const bool windowSystem = problem.empty();
    if (!windowSystem && mode == StartMode::Window) {
        report.failed(problem);
        return 2;
    }
    platform::Boxes* shown = shell.startApplication(windowSystem);
    report.showBoxesIn(shown);

    // The run lock's failures are set-up failures like the others.
    platform::RunLock& lock = platform::runLock();
    const bool locked = Guarded(
        [&] {
            if (mode == StartMode::Unattended &&
                !lock.acquire(platform::programDirectory() + kRunLockFile, kRunLockWaitSeconds))
                throw Error("Another run is in progress");
        },
        [&](const std::string& message) { report.setupFailed(ErrorBoxText(message)); });
    if (!locked) return 2;
    TForm1 form(shell.siteLibrary(false), mode, report, shown ? *shown : platform::boxes());
    bool setupOk = false;
    try {
        setupOk = RunFormCreate(form, report);
    } catch (const RunStopped& e) {
        // An entry the log refused: no card after it, no window, status 1.
        report.stopped(e.what());
        lock.release();
        return 1;
    }
    if (windowSystem) shell.runWindow(form);
    lock.release();
    return ExitStatus(form, !setupOk);
}

// Runs the start of `mode`; returns its exit status.
int runMode(StartMode mode, Shell& shell, std::FILE* out, std::FILE* err, LogReport& report) {
    switch (mode) {
        case StartMode::Help:
            std::fputs(UsageText(platform::programFileName(), shell.siteLibrarySettings()).c_str(),
                       out);
            return 0;
        case StartMode::Version:
            std::fprintf(out, "%s %s\n", platform::kApplicationTitle, DORMEX_VERSION);
            return 0;
        case StartMode::Preview:
            shell.startApplication(false);
            return RunPreview(shell.siteLibrary(true), out, err);
        case StartMode::Window:
        case StartMode::Unattended:
            break;
    }
    return runFormProgram(mode, shell, report);
}

}  // namespace

std::string WindowSystemProblem(const std::string& found) {
    if (found.empty()) return {};
    const std::string name = platform::programName();
    return "no window system (" + found + "); the window needs one, while '" + name +
           " silent' and '" + name + " preview' run without one";
}

std::string UsageText(const std::string& programName, const std::string& siteLibrarySettings) {
    // Every description starts in one column, whatever the program's name.
    const std::string indent(programName.size() + 14, ' ');
    auto command = [&](const std::string& argument, const std::string& text) {
        return "  " + programName + " " + argument + std::string(11 - argument.size(), ' ') + text +
               "\n";
    };
    auto file = [](const std::string& name, const std::string& text) {
        return "  " + name + std::string(name.size() < 17 ? 17 - name.size() : 1, ' ') + text +
               "\n";
    };
    return "Usage: " + programName + " [silent | preview | --help | --version]\n\n" +
           command("", "the settings window (needs a window system)") +
           command("silent", "unattended run, for a scheduler: deactivates the") + indent +
           "idle cards of the selected person types, logs each\n" +
           command("preview", "lists what the unattended run would deactivate;") + indent +
           "changes nothing\n" + command("--help", "this text") +
           command("--version", "the version") + "\nFiles beside the program (" +
           platform::programDirectory() + "):\n" +
           file("Dormex.ini", "settings: Days, typeN, MaxDeactivations, FeedCheck and") +
           file("", "SqlDateFormat in [General]; cards never deactivated in [Keep]") +
           file(platform::fileNameOf(LogPathFor(platform::executablePath())),
                "the log of every run") +
           file("SiteLibrary.ini", siteLibrarySettings) +
           file(kRunLockFile, "held by the unattended run, one run at a time") +
           "\nExit status: 0 done; 1 the run logged a failure or could not write the log\n" +
           "(see the log, or standard error); 2 the set-up failed or the program could not\n" +
           "start (message on standard error, and in the log where no box can be seen).\n";
}

int RunProgram(StartMode mode, Shell& shell, std::FILE* out, std::FILE* err) {
    LogReport report(mode == StartMode::Unattended, err);
    int status = 2;
    try {
        Guarded([&] { status = runMode(mode, shell, out, err, report); },
                [&](const std::string& message) {
                    report.failed(message);
                    status = 2;
                });
    } catch (const RunStopped& e) {
        report.failed(e.what());
        status = 1;
    }
    if (mode == StartMode::Window || mode == StartMode::Unattended) report.end(status);
    std::fflush(out);
    return status;
}

}  // namespace dormex
