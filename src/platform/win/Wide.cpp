#include "platform/win/Wide.h"

#include <vector>

#include "platform/Utf.h"

namespace dormex::platform::win {
namespace {

constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
constexpr std::wstring_view kLongUncPrefix = L"\\\\?\\UNC\\";
// CreateDirectoryW's limit is 12 characters below MAX_PATH (room for an 8.3 name).
constexpr size_t kClassicLimit = MAX_PATH - 12;

}  // namespace

std::wstring widePath(const std::string& path) {
    std::wstring wide = toWide(path);
    if (wide.size() < kClassicLimit || wide.compare(0, kLongPrefix.size(), kLongPrefix) == 0)
        return wide;
    // The long form is taken literally: make the path absolute and normalised first.
    const DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return wide;
    std::vector<wchar_t> full(needed);
    const DWORD length = ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return wide;
    std::wstring absolute(full.data(), length);
    if (absolute.compare(0, 2, L"\\\\") == 0)
        return std::wstring(kLongUncPrefix) + absolute.substr(2);
    return std::wstring(kLongPrefix) + absolute;
}

std::wstring modulePath(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) return path.substr(0, n);
        if (path.size() >= 65536) return {};
        path.resize(path.size() * 2);
    }
}

std::wstring systemText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length && buffer ? std::wstring(buffer, length) : std::wstring();
    if (buffer) ::LocalFree(buffer);
    return text;
}

std::string systemMessage(DWORD code) {
    std::wstring text = systemText(code);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text.empty() ? "system error " + std::to_string(code) : toUtf8(text);
}

}  // namespace dormex::platform::win
