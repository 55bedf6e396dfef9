// Program entry on Windows: the Win32 shell over the shared start-up sequence. A program of the
// window subsystem, so Explorer opens no console; started from a command prompt, its standard
// output and error reach that prompt's console (or wherever they were redirected).
#include <windows.h>
// shellapi.h needs the declarations of windows.h.
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "Console.h"
#include "Startup.h"
#include "WinShell.h"
#include "platform/win/Wide.h"

namespace {

// The first command-line argument, as UTF-8; empty when there is none.
std::string firstArgument() {
    int count = 0;
    wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!arguments) return {};
    std::string first = count > 1 ? dormex::platform::win::narrow(arguments[1]) : std::string();
    ::LocalFree(arguments);
    return first;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int showCommand) {
    dormex::win::AttachParentConsole();
    const std::string first = firstArgument();
    dormex::win::WinShell shell(showCommand);
    return dormex::RunProgram(dormex::ParseStartMode(first), first, shell, stdout, stderr);
}
