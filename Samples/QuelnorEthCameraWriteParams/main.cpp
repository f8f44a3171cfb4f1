// quelnor_eth_camera_write_params: writes the factory device-parameter record into an Ethernet camera
// that still answers at its factory-default address. The operator picks the camera, may change its
// serial number and MAC address, and confirms before anything is written.
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "DeviceParameterRecord.h"
#include "DeviceParameterText.h"
#include "QuelnorDriver/camera/DvsCameraManager.h"
#include "QuelnorHal/interface/EthInterface.h"

namespace {

using namespace quelnor;
using namespace quelnor::writeparams;

std::string readLine() {
    std::string line;
    std::getline(std::cin, line);
    return line;
}

std::string promptValue(const std::string& label, const std::string& current) {
    std::cout << "  " << label << ": [" << current << "]\n"
              << "    Enter new value (or press Enter to keep current): " << std::flush;
    return trimWhitespace(readLine());
}

// Asks until the answer names a listed camera; an empty answer picks the first. A text that does
// not start with a number throws (std::stoul).
size_t askCameraIndex(size_t count) {
    for (;;) {
        std::cout << "\nEnter camera index [0-" << (count - 1) << "]: " << std::flush;
        const std::string line = readLine();
        if (line.empty()) {
            return 0;
        }
        const unsigned long index = std::stoul(line);
        if (index < count) {
            return index;
        }
        std::cout << "Invalid input. Please enter a number between 0 and " << (count - 1) << ".\n";
    }
}

int run() {
    std::cout << "====================================================\n"
              << "    Quelnor Eth Camera Factory Parameters Tool\n"
              << "====================================================\n"
              << "  Configure device information: serial number,\n"
              << "  MAC address, IP, device version, etc.\n"
              << "====================================================\n\n";

    auto manager = std::make_unique<DvsCameraManager>();
    const std::vector<CameraDescription> descriptions = manager->getCameraDescs();
    std::cout << "Found Ethernet cameras:\n";
    std::vector<CameraDescription> kept;
    for (const CameraDescription& d : descriptions) {
        if (d.interfaceType != INTERFACE_ETH) {
            continue;
        }
        std::cout << "[" << kept.size() << "] "
                  << "Manufacturer: " << d.manufacturer << ", Serial: " << d.serialNumber
                  << ", IP: " << d.ipAddresses[0] << ", Subnet: " << d.ipAddresses[2]
                  << ", Gateway: " << d.ipAddresses[3] << std::endl;
        kept.push_back(d);
    }
    if (kept.empty()) {
        std::cerr << "No Ethernet cameras found.\n";
        return -1;
    }
    const size_t index = kept.size() > 1 ? askCameraIndex(kept.size()) : 0;
    CameraDescription camera = kept[index];

    std::cout << "\nSelected camera: " << camera.serialNumber << "\n";
    GvcpDeviceParameters record = makeFactoryRecord(camera);
    printDeviceParameters(record, camera, std::cout);

    std::cout << "\n===== Modify Parameters =====\n"
              << "Leave empty and press Enter to keep current value.\n\n";
    std::cout << "--- Device Information ---\n";
    const std::string serial = promptValue("User serial num", std::string(record.serialNumber));
    if (!serial.empty()) {
        setRecordText(record.serialNumber, sizeof record.serialNumber, serial);
    }
    std::cout << "\n--- Network Configuration ---\n";
    const std::string macText = promptValue("MAC Address (e.g., 001122334455)", formatMacAddress(camera.macAddress));
    if (!macText.empty()) {
        uint64_t mac = 0;
        if (parseMacAddress(macText, mac)) {
            setRecordMac(record, mac);
        } else {
            std::cerr << "Invalid MAC address format, keeping current.\n";
        }
    }

    std::cout << "\n--- Confirmation ---\n";
    printDeviceParameters(record, camera, std::cout);
    std::cout << "Write parameters to camera? (y/n): " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer) || answer.empty()) {
        answer = readLine();
    }
    answer = trimWhitespace(answer);
    if (answer.empty() || (answer[0] != 'y' && answer[0] != 'Y')) {
        std::cout << "Operation cancelled.\n";
        return 0;
    }

    uint64_t factoryMac = 0;
    parseMacAddress(FACTORY_MAC, factoryMac);
    camera.macAddress = factoryMac;
    camera.ipAddresses[0] = FACTORY_IP;
    std::shared_ptr<EthInterface> eth = EthInterface::createEthInterface(camera);
    if (!eth) {
        std::cerr << "Failed to create EthInterface.\n";
        return -1;
    }
    std::cout << "\nWriting device parameters...\n" << std::flush;
    if (!eth->writeDeviceParameters(record)) {
        std::cerr << "Failed to write device parameters.\n";
        return -1;
    }
    std::cout << "Device parameters written successfully!\n"
              << "\n====================================================\n"
              << "  Parameters written successfully!\n"
              << "====================================================\n";
    if (ipStringToU32LittleEndian(camera.ipAddresses[0]) != record.currentIp) {
        std::cout << "\nWarning: IP address was changed.\n"
                  << "New IP: " << ipU32LittleEndianToString(record.currentIp) << "\n"
                  << "You may need to reconnect with the new IP.\n";
    }
    eth.reset();
    std::cout << "\nDone.\n";
    return 0;
}

} // namespace

int main() {
    try {
        return run();
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "Error: " << e.what() << "\n";
        return -1;
    }
}
