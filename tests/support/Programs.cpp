#include "support/Programs.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "TestSupport.h"

extern char** environ;

namespace dormex::test {

std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value ? value : fallback;
}

bool onCi() {
    return envOr("CI") == "true";
}

bool startsWith(const std::string& text, const std::string& head) {
    return text.rfind(head, 0) == 0;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string buildDir() {
    return DORMEX_BUILD_DIR;
}

std::string sourceRoot() {
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().string();
}

Child::Child(const std::string& program, const std::vector<std::string>& args,
             const std::string& dir, const std::string& tag, const EnvList& extraEnv)
    : m_outPath(dir + "/." + tag + ".out"), m_errPath(dir + "/." + tag + ".err") {
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    const bool ownLocale = std::any_of(extraEnv.begin(), extraEnv.end(),
                                       [](const auto& pair) { return pair.first == "LC_ALL"; });
    std::vector<std::string> envStrings;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text(*entry);
        const std::string name = text.substr(0, text.find('='));
        const bool replaced = std::any_of(extraEnv.begin(), extraEnv.end(),
                                          [&](const auto& pair) { return pair.first == name; });
        if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM" ||
            name == "LC_ALL" || replaced)
            continue;
        envStrings.push_back(text);
    }
    if (!ownLocale) envStrings.push_back("LC_ALL=C.UTF-8");
    for (const auto& [name, value] : extraEnv) envStrings.push_back(name + "=" + value);
    std::vector<char*> argv;
    for (std::string& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    m_pid = ::fork();
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        const int out = ::open(m_outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
            ::chdir(dir.c_str()) != 0)
            ::_exit(126);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
}

Child::~Child() {
    if (!m_reaped) {
        ::kill(m_pid, SIGKILL);
        reap(true);
    }
    ::unlink(m_outPath.c_str());
    ::unlink(m_errPath.c_str());
}

void Child::kill(int sig) {
    if (!reap(false)) ::kill(m_pid, sig);
}

RunResult Child::wait(std::chrono::steady_clock::duration limit) {
    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!reap(false)) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(m_pid, SIGKILL);
            reap(true);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(m_raw)) result.status = WEXITSTATUS(m_raw);
    if (WIFSIGNALED(m_raw)) result.signal = WTERMSIG(m_raw);
    result.out = readFile(m_outPath);
    result.err = readFile(m_errPath);
    return result;
}

bool Child::reap(bool block) {
    if (m_reaped) return true;
    int raw = 0;
    const pid_t done = ::waitpid(m_pid, &raw, block ? 0 : WNOHANG);
    if (done == m_pid) {
        m_raw = raw;
        m_reaped = true;
    }
    return m_reaped;
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& dir, std::chrono::steady_clock::duration limit,
                     const EnvList& extraEnv) {
    return Child(program, args, dir, "run", extraEnv).wait(limit);
}

ProgramDir::ProgramDir(const std::string& program) {
    std::filesystem::copy_file(buildDir() + "/" + program, file("dormex"));
    std::filesystem::copy_file(buildDir() + "/dormex-site", file("dormex-site"));
}

std::string ProgramDir::log() const {
    return readFile(file("dormex.log"));
}

std::unique_ptr<Child> ProgramDir::start(const std::vector<std::string>& args,
                                         const std::string& tag, const EnvList& env) const {
    return std::make_unique<Child>(file("dormex"), args, path(), tag, env);
}

RunResult ProgramDir::run(const std::vector<std::string>& args,
                          std::chrono::steady_clock::duration limit, const EnvList& env) const {
    return start(args, "run", env)->wait(limit);
}

RunResult ProgramDir::siteTool(const std::vector<std::string>& args) const {
    return Child(file("dormex-site"), args, path(), "site").wait(std::chrono::seconds(120));
}

std::string settingsText(const std::string& days, const std::set<int>& types) {
    std::string ini = "[General]\r\nDays=" + days + "\r\n";
    for (int i = 0; i < 11; ++i)
        ini += "type" + std::to_string(i) + "=" + (types.count(i) ? "True" : "False") + "\r\n";
    return ini;
}

std::vector<std::string> logLines(const std::string& log) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < log.size()) {
        size_t end = log.find("\r\n", pos);
        if (end == std::string::npos) end = log.size();
        lines.push_back(log.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

std::string messageOf(const std::string& line) {
    // The stamp is the date, one blank and the time; either may hold blanks of its own ("AM"),
    // none holds two in a row, and a date starts with a digit in every locale's short form.
    const size_t gap = line.find("  ");
    if (gap == std::string::npos || gap == 0 || line[0] < '0' || line[0] > '9' ||
        line.find(' ') == gap)
        return "<no time stamp>";
    return line.substr(gap + 2);
}

std::vector<std::string> logMessages(const std::string& log) {
    std::vector<std::string> messages;
    for (const std::string& line : logLines(log)) {
        const std::string message = messageOf(line);
        messages.push_back(message == "<no time stamp>" ? line : message);
    }
    return messages;
}

std::vector<std::string> deactivatedEntries(const std::string& log) {
    std::vector<std::string> entries;
    for (const std::string& line : logLines(log)) {
        const std::string message = messageOf(line);
        if (startsWith(message, ",") && endsWith(message, ", Deactivated"))
            entries.push_back(message);
    }
    return entries;
}

std::vector<std::string> deactivatedKeys(const std::string& log) {
    std::vector<std::string> keys;
    for (const std::string& entry : deactivatedEntries(log))
        keys.push_back(entry.substr(1, entry.find(',', 1) - 1));
    return keys;
}

std::vector<std::string> failureEntries(const std::string& log) {
    std::vector<std::string> failures;
    for (const std::string& line : logLines(log)) {
        const std::string message = messageOf(line);
        if (startsWith(message, "RunQuery():") || startsWith(message, "LoadCustomNames():"))
            failures.push_back(message);
    }
    return failures;
}

bool localeInstalled(const char* locale) {
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    const bool installed = std::setlocale(LC_ALL, locale) != nullptr;
    std::setlocale(LC_ALL, previous.c_str());
    return installed;
}

int closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no free port");
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace dormex::test
