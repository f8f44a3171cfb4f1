// quelnor_eth_camera_ip_config: gives an Ethernet camera a new IP address, subnet mask and gateway.
// Lists the Ethernet cameras found, asks which one and for the three addresses (the current ones as
// defaults), and sends the force-IP request once the user confirms.
#include <cstdint>
#include <exception>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "QuelnorBase/Utils/FuncUtils.h"
#include "QuelnorDriver/camera/DvsCameraManager.h"

namespace {

using namespace quelnor;

// Thrown when standard input ends while a question is still open: asking again would loop forever.
struct InputEnded {};

std::string readLine() {
    std::string line;
    if (!std::getline(std::cin, line)) {
        throw InputEnded{};
    }
    return line;
}

size_t askCameraIndex(size_t count) {
    for (;;) {
        std::cout << "\nEnter camera index to configure [0-" << (count - 1) << "]: " << std::flush;
        const std::string line = readLine();
        if (line.empty()) {
            std::cout << "Input cannot be empty for camera selection.\n";
            continue;
        }
        std::optional<unsigned long> index;
        try {
            index = std::stoul(line);
        } catch (const std::invalid_argument&) {
        } catch (const std::out_of_range&) {
        }
        if (index && *index < count) {
            return *index;
        }
        std::cout << "Invalid input. Please enter a number between 0 and " << (count - 1) << ".\n";
    }
}

std::string askAddress(const std::string& label, const std::string& defaultValue, const char* invalidMessage) {
    for (;;) {
        std::cout << label;
        if (!defaultValue.empty()) {
            std::cout << " [default: " << defaultValue << "]";
        }
        std::cout << ": " << std::flush;
        std::string answer = readLine();
        if (answer.empty()) {
            answer = defaultValue;
        }
        if (isValidIP(answer)) {
            return answer;
        }
        std::cout << invalidMessage;
    }
}

int run() {
    std::cout << "Eth Camera IP Config Tool.\n";
    DvsCameraManager manager;
    const std::vector<CameraDescription> descriptions = manager.getCameraDescs();
    std::cout << "Found Ethernet cameras:\n";
    std::vector<CameraDescription> kept;
    for (const CameraDescription& d : descriptions) {
        if (d.interfaceType != INTERFACE_ETH) {
            continue;
        }
        std::cout << "[" << kept.size() << "] "
                  << "Manufacturer: " << d.manufacturer << ", Serial: " << d.serialNumber
                  << ", Current IP: " << d.ipAddresses[0] << ", Current Subnet Mask: " << d.ipAddresses[2]
                  << ", Current Gateway: " << d.ipAddresses[3] << std::endl;
        kept.push_back(d);
    }
    if (kept.empty()) {
        std::cerr << "No Ethernet cameras found.\n";
        return -1;
    }

    try {
        const CameraDescription& camera = kept[askCameraIndex(kept.size())];
        const std::string ip =
            askAddress("Enter new IP address", camera.ipAddresses[0], "Invalid IP format. Please try again.\n");
        const std::string mask =
            askAddress("Enter subnet mask", camera.ipAddresses[2], "Invalid subnet mask format. Please try again.\n");
        const std::string gateway =
            askAddress("Enter gateway IP", camera.ipAddresses[3], "Invalid gateway IP format. Please try again.\n");

        std::cout << "\n--- Configuration Summary ---\n"
                  << "Camera: " << camera.manufacturer << " (Serial: " << camera.serialNumber << ")\n"
                  << "New IP:       " << ip << "\n"
                  << "Subnet Mask:  " << mask << "\n"
                  << "Gateway:      " << gateway << "\n";
        std::cout << "\nApply this configuration? (y/n): " << std::flush;
        char confirm = 0;
        if (!(std::cin >> confirm) || (confirm != 'y' && confirm != 'Y')) {
            std::cout << "Operation cancelled.\n";
            return 0;
        }
        if (!DvsCameraManager::ethCameraForceIP(camera, static_cast<uint32_t>(stringToIP(ip)),
                                                static_cast<uint32_t>(stringToIP(mask)),
                                                static_cast<uint32_t>(stringToIP(gateway)))) {
            std::cerr << "Failed to apply IP configuration.\n";
            return -1;
        }
        std::cout << "IP configuration applied successfully!\n";
        return 0;
    } catch (const InputEnded&) {
        std::cout << "\nOperation cancelled.\n";
        return 0;
    }
}

} // namespace

int main() {
    try {
        return run();
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "Failed to apply IP configuration: " << e.what() << "\n";
        return -1;
    }
}
