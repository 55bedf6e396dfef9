// The built Dormex.exe started as a command prompt or a hidden desktop would start it: standard
// output and error redirected, and (from ctest) no display at all.
#include <windows.h>

#include "TestSupport.h"
#include "platform/Utf.h"
#include "platform/win/Wide.h"

namespace dormex::test {
namespace {

using platform::toWide;
using platform::win::Handle;

struct ProgramRun {
    DWORD status = 0;
    bool timedOut = false;
    std::string out, err;
};

// Runs `exe` with `arguments` in its own directory, standard output and error going to files;
// kills it after `limitMs`.
ProgramRun runProgram(const std::string& exe, const std::string& arguments, DWORD limitMs = 30000) {
    const std::string directory = exe.substr(0, exe.find_last_of("\\/"));
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    // Fresh files per run: an ended process may hold its inherited handles a while longer.
    static int runs = 0;
    const std::string name = directory + "\\.run" + std::to_string(++runs);
    const std::string outPath = name + ".out", errPath = name + ".err";
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
    Handle out(::CreateFileW(toWide(outPath).c_str(), GENERIC_WRITE, kShare, &inherit, CREATE_NEW,
                             0, nullptr));
    Handle err(::CreateFileW(toWide(errPath).c_str(), GENERIC_WRITE, kShare, &inherit, CREATE_NEW,
                             0, nullptr));
    ProgramRun run;
    if (!out.valid() || !err.valid()) {
        ADD_FAILURE() << "cannot create " << name;
        return run;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    std::wstring commandLine = L"\"" + toWide(exe) + L"\" " + toWide(arguments);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(toWide(exe).c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                          nullptr, toWide(directory).c_str(), &startup, &process)) {
        ADD_FAILURE() << "cannot start " << exe;
        return run;
    }
    Handle thread(process.hThread), child(process.hProcess);
    if (::WaitForSingleObject(child.get(), limitMs) == WAIT_TIMEOUT) {
        run.timedOut = true;
        ::TerminateProcess(child.get(), 99);
        ::WaitForSingleObject(child.get(), INFINITE);
    }
    ::GetExitCodeProcess(child.get(), &run.status);
    out.reset();
    err.reset();
    run.out = readFile(outPath);
    run.err = readFile(errPath);
    return run;
}

// A program directory with a space and letters outside every ANSI code page, holding a copy of
// the built program.
class WinProgram : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(::CreateDirectoryW(toWide(programDir).c_str(), nullptr));
        ASSERT_TRUE(::CopyFileW(toWide("Z:" DORMEX_BUILD_DIR "/Dormex.exe").c_str(),
                                toWide(exe).c_str(), FALSE));
    }
    TempDir temp;
    const std::string programDir = temp.path() + "\\Dormex \xCE\xA9 \xE6\x97\xA5";
    const std::string exe = programDir + "\\Dormex.exe";
};

TEST_F(WinProgram, ReportsItsOwnDirectoryOnRedirectedOutput) {
    const ProgramRun help = runProgram(exe, "--help");
    EXPECT_EQ(help.status, 0u);
    EXPECT_NE(help.out.find("Files beside the program (" + programDir + "\\)"), std::string::npos)
        << help.out;
    EXPECT_NE(help.out.find("Dormex.log"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("\r\n" + std::string(24, ' ') + "idle cards"), std::string::npos)
        << "laid out for Dormex.exe: " << help.out;
    EXPECT_EQ(runProgram(exe, "/?").out, help.out) << "/? prints the usage";
    const ProgramRun version = runProgram(exe, "--version");
    EXPECT_EQ(version.status, 0u);
    EXPECT_EQ(version.out.rfind("Dormex ", 0), 0u) << version.out;
}

TEST_F(WinProgram,
       WithoutADisplayAnUnattendedRunFailsIntoStandardErrorAndTheLogAndTheWindowAtOnce) {
    writeFile(programDir + "\\Dormex.ini", "[General]\r\nDays=abc\r\n");
    const ProgramRun silent = runProgram(exe, "silent");
    EXPECT_FALSE(silent.timedOut) << "waited for a box nobody can see";
    EXPECT_EQ(silent.status, 2u);
    EXPECT_EQ(silent.err.rfind("Dormex: ", 0), 0u) << silent.err;
    const std::string log = readFile(programDir + "\\Dormex.log");
    EXPECT_NE(log.find("  Set-up failed: " + silent.err.substr(8)), std::string::npos) << log;

    const ProgramRun window = runProgram(exe, "");
    EXPECT_FALSE(window.timedOut);
    EXPECT_EQ(window.status, 2u);
    EXPECT_NE(window.err.find("no window system"), std::string::npos) << window.err;
    EXPECT_EQ(readFile(programDir + "\\Dormex.ini"), "[General]\r\nDays=abc\r\n");
}

}  // namespace
}  // namespace dormex::test
