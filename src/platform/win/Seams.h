#pragma once

#include <windows.h>

// Calls of the Windows side that tests replace, to produce failures the system documents but
// Wine never gives.
namespace dormex::platform::win {

// ReplaceFileW's signature.
using ReplaceFileCall = BOOL(WINAPI*)(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup,
                                      DWORD flags, LPVOID exclude, LPVOID reserved);

// The call that puts a saved file in place of the old one; nullptr restores ReplaceFileW.
void setReplaceFileCall(ReplaceFileCall call);

}  // namespace dormex::platform::win
