#include "Console.h"

#include <windows.h>

#include <cstdio>

namespace dormex::win {
namespace {

bool hasStandardHandle(DWORD which) {
    const HANDLE handle = ::GetStdHandle(which);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

}  // namespace

void AttachParentConsole() {
    const bool out = hasStandardHandle(STD_OUTPUT_HANDLE);
    const bool err = hasStandardHandle(STD_ERROR_HANDLE);
    if ((out && err) || !::AttachConsole(ATTACH_PARENT_PROCESS)) return;
    if (!out && std::freopen("CONOUT$", "w", stdout)) std::setvbuf(stdout, nullptr, _IOFBF, 4096);
    if (!err && std::freopen("CONOUT$", "w", stderr)) std::setvbuf(stderr, nullptr, _IONBF, 0);
}

}  // namespace dormex::win
