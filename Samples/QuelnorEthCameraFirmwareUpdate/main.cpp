// quelnor_eth_camera_firmware_update <firmware_file_path> [start_address]: writes a .bin firmware file
// into the first Ethernet camera that discovery finds.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorBase/Logger.h"
#include "QuelnorDriver/camera/DvsCameraManager.h"

namespace {

using namespace quelnor;

constexpr int AUTOMATIC_BASE = 0;

void printHelp(const std::string& program) {
    std::cout << "Usage: " << program << " <firmware_file_path>" << std::endl;
    std::cout << "Example: " << program << " C:\\path\\to\\firmware\\v1.0.0.bin" << std::endl << std::endl;
    std::cout << "Tool to update firmware of Quelnor Ethernet camera, using the SDK driver API.\n"
              << "Usage: QnEthCameraFirmwareUpdate <firmware_file_path> \n"
              << std::endl;
}

// Decimal, 0x-prefixed hexadecimal or 0-prefixed octal, the whole text, within 32 bits.
bool parseStartAddress(const std::string& text, uint32_t& address) {
    if (text.empty() || text.find('-') != std::string::npos) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, AUTOMATIC_BASE);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value > UINT32_MAX) {
        return false;
    }
    address = static_cast<uint32_t>(value);
    return true;
}

bool updateFirstEthernetCamera(DvsCameraManager& manager, const std::string& path, uint32_t startAddress) {
    const std::vector<CameraDescription> descriptions = manager.getCameraDescs();
    for (const CameraDescription& d : descriptions) {
        QN_INFO("Camera found: %s : %s", d.manufacturer.c_str(), d.serialNumber.c_str());
        if (d.interfaceType != INTERFACE_ETH) {
            continue;
        }
        QN_INFO("Ethernet camera found: %s", d.serialNumber.c_str());
        std::shared_ptr<DvsCamera> camera = manager.openCamera(d.serialNumber);
        if (!camera) {
            QN_ERROR("Failed to open Ethernet camera.");
            return false;
        }
        QN_INFO("Camera open success.");
        QN_INFO("Starting firmware update...");
        QN_INFO("This process may take several minutes. Please do not disconnect the camera.");
        const bool updated = camera->updateCameraFirmware(path, startAddress);
        if (updated) {
            QN_INFO("Camera firmware update success.");
        } else {
            QN_ERROR("Camera firmware update failed.");
        }
        camera.reset();
        QN_INFO("Camera closed.");
        return updated;
    }
    QN_ERROR("No Ethernet camera found.");
    return false;
}

} // namespace

int main(int argc, char** argv) {
    const std::string program = argc > 0 ? argv[0] : "";
    const std::string first = argc > 1 ? argv[1] : "";
    if ((argc != 2 && argc != 3) || first == "-h" || first == "--help") {
        printHelp(program);
        return 0;
    }
    const std::string path = argv[1];
    uint32_t startAddress = 0;
    if (argc == 3 && !parseStartAddress(argv[2], startAddress)) {
        std::cerr << "Invalid start_addr: " << argv[2] << std::endl;
        return 1;
    }

    std::cout << "Firmware update tool started." << std::endl;
    std::cout << "Firmware file path: " << path << std::endl;
    std::cout << "Start address: 0x" << std::hex << startAddress << std::dec << std::endl;

    bool success = false;
    try {
        DvsCameraManager manager;
        success = updateFirstEthernetCamera(manager, path, startAddress);
    } catch (const std::exception& e) {
        // Discovery and opening report device failures by exception: the run has failed.
        QN_ERROR("Firmware update stopped: %s", e.what());
    }
    if (success) {
        std::cout << "\nFirmware update completed successfully!" << std::endl;
        std::cout << "Please restart the camera to apply the new firmware." << std::endl;
        return 0;
    }
    std::cout << "\nFirmware update failed!" << std::endl;
    std::cout << "Please check the firmware file path and try again." << std::endl;
    return 1;
}
