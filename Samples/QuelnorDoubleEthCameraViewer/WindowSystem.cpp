#include "WindowSystem.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace quelnor::viewer {

namespace {

// The window toolkit's platform choice; it needs an X display unless another platform is named.
constexpr const char* PLATFORM_VARIABLE = "QT_QPA_PLATFORM";
constexpr std::string_view X_PLATFORM = "xcb";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

} // namespace

std::string windowUnavailableReason() {
    const std::string platform = environment(PLATFORM_VARIABLE);
    const std::string_view platformName = std::string_view(platform).substr(0, platform.find(':'));
    if (!platformName.empty() && platformName != X_PLATFORM) {
        return ""; // offscreen, wayland, ...: that platform reports its own trouble
    }
    const std::string display = environment("DISPLAY");
    if (display.empty()) {
        return "Cannot open the viewer's windows: no X display is set (the DISPLAY variable is empty).";
    }
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool reached = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    if (!reached) {
        return "Cannot open the viewer's windows: the X display \"" + display + "\" cannot be reached or refuses the connection.";
    }
    return "";
}

} // namespace quelnor::viewer
