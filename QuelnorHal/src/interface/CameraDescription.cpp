#include "QuelnorHal/interface/CameraDescription.h"

namespace quelnor {

std::string to_string(INTERFACE_TYPE type) {
    switch (static_cast<int32_t>(type)) {
    case INTERFACE_USB:
        return "USB";
    case INTERFACE_ETH:
        return "ETH";
    case INTERFACE_MIPI:
        return "MIPI";
    default:
        return "UNDEFINED";
    }
}

CameraDescription::CameraDescription() = default;
CameraDescription::CameraDescription(const CameraDescription& other) = default;
CameraDescription::CameraDescription(CameraDescription&& other) noexcept = default;
CameraDescription& CameraDescription::operator=(const CameraDescription& other) = default;
CameraDescription& CameraDescription::operator=(CameraDescription&& other) noexcept = default;
CameraDescription::~CameraDescription() = default;

} // namespace quelnor
