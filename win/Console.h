#pragma once

#include <cstdio>
#include <string>

namespace dormex::win {

// Standard output and error of a program of the window subsystem. A stream the starter
// redirected stays as it is: UTF-8 bytes. A stream with nowhere to go is gathered and, at the
// end, written to the console of the parent process (the command prompt it was started from) as
// UTF-16, so every character shows whatever the console's code page; started with no console
// at all, the gathered text can be shown in a message box instead.
class ConsoleOutput {
public:
    // `gatherWithoutConsole`: gather the text also when there is no console, for a box.
    explicit ConsoleOutput(bool gatherWithoutConsole);
    ~ConsoleOutput();
    ConsoleOutput(const ConsoleOutput&) = delete;
    ConsoleOutput& operator=(const ConsoleOutput&) = delete;

    std::FILE* out() const { return m_out.file; }
    std::FILE* err() const { return m_err.file; }

    // Writes the gathered text to the console. Without one, shows it in a message box when
    // `boxSeen`: all of it, or for the preview (`preview`) its last line, the summary, with its
    // errors and a pointer to the command prompt.
    void finish(bool boxSeen, bool preview);

private:
    struct Stream {
        std::FILE* file = nullptr;
        bool gathered = false;
    };
    // The text gathered in `stream`, which is closed; empty for a stream left as it was.
    static std::string take(Stream& stream);

    Stream m_out;
    Stream m_err;
    bool m_console = false;
};

}  // namespace dormex::win
