#include "gui/WindowSystem.h"

#include <dlfcn.h>

#include <cstdlib>

namespace dormex::gui {
namespace {

// The few client-library entry points the probe needs, declared here so no development package
// is required. Connections are opaque pointers.
using XcbConnect = void* (*)(const char* displayName, int* screen);
using XcbHasError = int (*)(void* connection);
using XcbDisconnect = void (*)(void* connection);
using WlConnect = void* (*)(const char* name);
using WlDisconnect = void (*)(void* display);

bool envSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

template <class F>
F symbol(void* library, const char* name) {
    return reinterpret_cast<F>(::dlsym(library, name));
}

// True when the X server named by DISPLAY accepts a connection.
bool xServerAnswers() {
    void* library = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!library) return false;
    bool answers = false;
    auto connect = symbol<XcbConnect>(library, "xcb_connect");
    auto hasError = symbol<XcbHasError>(library, "xcb_connection_has_error");
    auto disconnect = symbol<XcbDisconnect>(library, "xcb_disconnect");
    if (connect && hasError && disconnect) {
        // xcb_connect never returns null: a failed connection is an error object to free.
        void* connection = connect(nullptr, nullptr);
        if (connection) {
            answers = hasError(connection) == 0;
            disconnect(connection);
        }
    }
    ::dlclose(library);
    return answers;
}

// True when the compositor named by WAYLAND_DISPLAY accepts a connection.
bool waylandAnswers() {
    void* library = ::dlopen("libwayland-client.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!library) return false;
    bool answers = false;
    auto connect = symbol<WlConnect>(library, "wl_display_connect");
    auto disconnect = symbol<WlDisconnect>(library, "wl_display_disconnect");
    if (connect && disconnect) {
        if (void* display = connect(nullptr)) {
            answers = true;
            disconnect(display);
        }
    }
    ::dlclose(library);
    return answers;
}

// True when the first platform QT_QPA_PLATFORM names ("offscreen" of "offscreen:x;xcb") draws
// on no screen.
bool screenless(const std::string& platforms) {
    const std::string first = platforms.substr(0, platforms.find_first_of(":;"));
    return first == "offscreen" || first == "minimal";
}

}  // namespace

const char* ProbedPlatform() {
    if (envSet("QT_QPA_PLATFORM")) return "";
    if (envSet("DISPLAY") && xServerAnswers()) return "xcb";
    if (envSet("WAYLAND_DISPLAY") && waylandAnswers()) return "wayland";
    return nullptr;
}

std::string MissingWindowSystem(const char* probed, bool unattended) {
    if (probed && *probed == '\0' && unattended && screenless(std::getenv("QT_QPA_PLATFORM")))
        return std::string("QT_QPA_PLATFORM is '") + std::getenv("QT_QPA_PLATFORM") +
               "', which shows nothing on a screen";
    if (probed != nullptr) return {};
    std::string found;
    if (envSet("DISPLAY")) {
        found = std::string("the X display '") + std::getenv("DISPLAY") + "' does not answer";
    }
    if (envSet("WAYLAND_DISPLAY")) {
        if (!found.empty()) found += " and ";
        found += std::string("the Wayland display '") + std::getenv("WAYLAND_DISPLAY") +
                 "' does not answer";
    }
    return found.empty() ? "DISPLAY and WAYLAND_DISPLAY are not set" : found;
}

}  // namespace dormex::gui
