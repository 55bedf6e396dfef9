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
        showError(title, text);
    }
};

SystemClock g_systemClock;
StderrBoxes g_stderrBoxes;
Services g_services;

}  // namespace

const Services& services() {
    return g_services;
}

void setServices(Services services) {
    g_services = std::move(services);
}

std::string withoutDeletedSuffix(const std::string& path) {
    static constexpr std::string_view kSuffix = " (deleted)";
    if (path.size() <= kSuffix.size() ||
        std::string_view(path).substr(path.size() - kSuffix.size()) != kSuffix ||
        os::pathExists(path))
        return path;
    return path.substr(0, path.size() - kSuffix.size());
}

const std::string& executablePath() {
    static const std::string systemPath = withoutDeletedSuffix(os::executablePath());
    return g_services.executablePath.empty() ? systemPath : g_services.executablePath;
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
    return g_services.clock ? *g_services.clock : g_systemClock;
}

Boxes& boxes() {
    return g_services.boxes ? *g_services.boxes : g_stderrBoxes;
}

}  // namespace dormex::platform
