#include "platform/Platform.h"

#include <cstdio>
#include <string_view>

#include "platform/System.h"

namespace dormex::platform {
namespace {

class SystemClock : public Clock {
public:
    std::time_t now() const override { return std::time(nullptr); }
};

class StderrBoxes : public Boxes {
public:
    void showError(const std::string& title, const std::string& text) override {
        std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
    }
    void showMessage(const std::string& title, const std::string& text) override {
        std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
    }
};

SystemClock g_systemClock;
StderrBoxes g_stderrBoxes;
Clock* g_clock = &g_systemClock;
Boxes* g_boxes = &g_stderrBoxes;
std::string g_exePath;
bool g_exePathSet = false;

}  // namespace

std::string withoutDeletedSuffix(const std::string& path) {
    static constexpr std::string_view kSuffix = " (deleted)";
    if (path.size() <= kSuffix.size() ||
        std::string_view(path).substr(path.size() - kSuffix.size()) != kSuffix ||
        os::pathExists(path))
        return path;
    return path.substr(0, path.size() - kSuffix.size());
}

const std::string& executablePath() {
    if (!g_exePathSet) {
        g_exePath = withoutDeletedSuffix(os::executablePath());
        g_exePathSet = true;
    }
    return g_exePath;
}

void setExecutablePath(const std::string& path) {
    g_exePath = path;
    g_exePathSet = true;
}

std::string programDirectory() {
    const std::string& exe = executablePath();
    const size_t end = exe.size() - fileNameOf(exe).size();
    return end == 0 ? std::string("./") : exe.substr(0, end);
}

std::string fileNameOf(const std::string& path) {
    size_t start = path.size();
    while (start > 0 && !os::isPathSeparator(path[start - 1])) --start;
    return path.substr(start);
}

std::string programFileName() {
    return fileNameOf(executablePath());
}

std::string programName() {
    return os::commandName(programFileName());
}

Clock& clock() {
    return *g_clock;
}
void setClock(Clock* c) {
    g_clock = c ? c : &g_systemClock;
}

Boxes& boxes() {
    return *g_boxes;
}
void setBoxes(Boxes* b) {
    g_boxes = b ? b : &g_stderrBoxes;
}

}  // namespace dormex::platform
