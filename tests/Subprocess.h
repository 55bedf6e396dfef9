#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace dormex::test {

struct RunResult {
    int status = -1;  // exit status, or -1 when killed by a signal or the time limit
    int signal = 0;   // the signal that ended it, if any
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Runs `program` with `args` in `dir` without any window system in its environment, and waits
// at most `limit` for it (then kills it). Standard output and error are captured.
inline RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                            const std::string& dir,
                            std::chrono::seconds limit = std::chrono::seconds(120)) {
    const std::string outPath = dir + "/.stdout";
    const std::string errPath = dir + "/.stderr";
    pid_t pid = fork();
    if (pid == 0) {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("QT_QPA_PLATFORM");
        if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr))
            _exit(126);
        if (chdir(dir.c_str()) != 0) _exit(126);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int raw = 0;
    while (waitpid(pid, &raw, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &raw, 0);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFEXITED(raw)) result.status = WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) result.signal = WTERMSIG(raw);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    return result;
}

// The build directory holding the built programs, fixed when the test was built.
inline std::string buildDir() {
    return DORMEX_BUILD_DIR;
}

}  // namespace dormex::test
