#include "CameraNaming.h"

namespace quelnor::samples {

std::string describeCamera(const CameraDescription& camera) {
    std::string text = "serial " + camera.serialNumber;
    if (!camera.ipAddresses[0].empty()) {
        text += ", IP " + camera.ipAddresses[0];
    }
    return text + ", model " + camera.productName;
}

} // namespace quelnor::samples
