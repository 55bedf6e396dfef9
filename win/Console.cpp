#include "Console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/Platform.h"
#include "platform/Utf.h"

namespace dormex::win {
namespace {

bool hasStandardHandle(DWORD which) {
    const HANDLE handle = ::GetStdHandle(which);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// A new temporary file, deleted when closed, as a stream for reading and writing; null when none
// can be made.
std::FILE* temporaryStream() {
    wchar_t directory[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    if (!::GetTempPathW(MAX_PATH + 1, directory) || !::GetTempFileNameW(directory, L"dmx", 0, name))
        return nullptr;
    const HANDLE file =
        ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(file);
        return nullptr;
    }
    std::FILE* stream = ::_fdopen(fd, "w+b");
    if (!stream) ::_close(fd);
    return stream;
}

void writeConsole(const std::string& text) {
    const HANDLE console =
        ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) return;
    const std::wstring wide = platform::toWide(text);
    DWORD written = 0;
    for (size_t at = 0; at < wide.size(); at += written) {
        const DWORD chunk = static_cast<DWORD>(wide.size() - at < 8192 ? wide.size() - at : 8192);
        if (!::WriteConsoleW(console, wide.data() + at, chunk, &written, nullptr) || written == 0)
            break;
    }
    ::CloseHandle(console);
}

}  // namespace

ConsoleOutput::ConsoleOutput(bool gatherWithoutConsole) {
    m_out.file = stdout;
    m_err.file = stderr;
    const bool out = hasStandardHandle(STD_OUTPUT_HANDLE);
    const bool err = hasStandardHandle(STD_ERROR_HANDLE);
    if (out && err) return;
    m_console = ::AttachConsole(ATTACH_PARENT_PROCESS) != 0;
    if (!m_console && !gatherWithoutConsole) return;
    for (auto [stream, redirected] : {std::pair{&m_out, out}, std::pair{&m_err, err}}) {
        if (redirected) continue;
        if (std::FILE* gathered = temporaryStream()) *stream = {gathered, true};
    }
}

ConsoleOutput::~ConsoleOutput() {
    take(m_out);
    take(m_err);
}

std::string ConsoleOutput::take(Stream& stream) {
    if (!stream.gathered) return {};
    std::string text;
    std::fflush(stream.file);
    std::rewind(stream.file);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, stream.file)) > 0;)
        text.append(buffer, n);
    std::fclose(stream.file);
    stream = {};
    return text;
}

void ConsoleOutput::finish(bool boxSeen, bool preview) {
    std::string out = take(m_out);
    const std::string err = take(m_err);
    if (m_console) {
        writeConsole(out + err);
        return;
    }
    if (!boxSeen || (out.empty() && err.empty())) return;
    if (preview) {
        while (!out.empty() && out.back() == '\n') out.pop_back();
        out = out.substr(out.find_last_of('\n') + 1);
        if (!out.empty()) out += "\n";
        const std::string name = platform::programFileName();
        out += err + "\nThe cards themselves are listed in a command prompt: " + name +
               " preview, or " + name + " preview > list.txt\n";
    } else {
        out += err;
    }
    ::MessageBoxW(nullptr, platform::toWide(out).c_str(),
                  platform::toWide(platform::kApplicationTitle).c_str(),
                  MB_OK | (err.empty() ? MB_ICONINFORMATION : MB_ICONERROR) | MB_SETFOREGROUND);
}

}  // namespace dormex::win
