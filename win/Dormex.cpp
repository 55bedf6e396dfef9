// Program entry on Windows: the Win32 shell over the shared start-up sequence. A program of the
// window subsystem, so Explorer opens no console; started from a command prompt, its standard
// output and error reach that prompt's console (or wherever they were redirected).
#include <windows.h>
// shellapi.h needs the declarations of windows.h.
#include <shellapi.h>

#include <string>

#include "Console.h"
#include "Startup.h"
#include "WinShell.h"
#include "platform/Utf.h"

namespace {

// The first command-line argument, as UTF-8; empty when there is none.
std::string firstArgument() {
    int count = 0;
    wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!arguments) return {};
    std::string first = count > 1 ? dormex::platform::toUtf8(arguments[1]) : std::string();
    ::LocalFree(arguments);
    return first;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int showCommand) {
    // No DLL is looked for in the current directory, where anyone may have put one. COM loads the
    // site library from the path it is registered with, which this does not change.
    ::SetDllDirectoryW(L"");
    const std::string first = firstArgument();
    const dormex::StartMode mode = dormex::ParseStartMode(first);
    // Help, version and preview show their text in a box when there is no console to show it.
    const bool boxed = mode == dormex::StartMode::Help || mode == dormex::StartMode::Version ||
                       mode == dormex::StartMode::Preview;
    dormex::win::ConsoleOutput console(boxed);
    dormex::win::WinShell shell(showCommand);
    const int status = dormex::RunProgram(mode, shell, console.out(), console.err());
    console.finish(boxed && shell.windowSystemProblem(mode).empty(),
                   mode == dormex::StartMode::Preview);
    return status;
}
