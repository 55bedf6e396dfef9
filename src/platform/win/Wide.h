#pragma once

#include <windows.h>

#include <string>

// The wide-character Windows functions' paths, error texts and handles. Texts are converted by
// the platform's one converter (platform/Utf.h).
namespace dormex::platform::win {

// `path` for the wide file functions. A path too long for the classic limit (MAX_PATH) is made
// absolute and given the "\\?\" form, which lifts the limit.
std::wstring widePath(const std::string& path);

// The full path of `module`'s file (null: the running executable); empty when the system cannot
// tell.
std::wstring modulePath(HMODULE module);

// The system's own text for a message code (a Windows error or an HRESULT), as FormatMessageW
// gives it, line end included; empty when there is none.
std::wstring systemText(DWORD code);

// The system's text for an error code, without its line end; the code in decimal when there is
// none.
std::string systemMessage(DWORD code);

// Closes a handle when it goes out of scope.
class Handle {
public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : m_handle(handle) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    HANDLE get() const { return m_handle; }
    bool valid() const { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }
    // Closes the handle now; false when closing failed.
    bool reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        bool closed = true;
        if (valid()) closed = ::CloseHandle(m_handle) != 0;
        m_handle = handle;
        return closed;
    }

private:
    HANDLE m_handle;
};

}  // namespace dormex::platform::win
