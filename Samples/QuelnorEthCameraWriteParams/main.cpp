// quelnor_eth_camera_write_params: writes the factory device-parameter record into an Ethernet camera
// that still answers at its factory-default address. The operator picks the camera, may change its
// serial number and MAC address, and confirms before anything is written.
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CameraNaming.h"
#include "CommandLine.h"
#include "ConsoleDialogue.h"
#include "DeviceParameterRecord.h"
#include "DeviceParameterText.h"
#include "QuelnorDriver/camera/DvsCameraManager.h"
#include "QuelnorHal/interface/EthInterface.h"

namespace {

using namespace quelnor;
using namespace quelnor::samples;
using namespace quelnor::writeparams;

constexpr int DECIMAL = 10;

void printUsage(std::ostream& out, const std::string& program) {
    out << "Usage: " << program << " [-h|--help]\n\n"
        << "Factory tool: writes the device-parameter record (serial number, MAC address, factory network\n"
        << "settings) into a Quelnor Ethernet camera that answers at the factory address " << FACTORY_IP << ".\n"
        << "Lists the Ethernet cameras found, asks which one, lets you change its serial number and MAC\n"
        << "address (Enter keeps the current value), names the camera and asks for confirmation before\n"
        << "anything is written.\n\n"
        << "  -h, --help  print this text and exit\n\n"
        << "Answers are read a line at a time; the end of the input cancels.\n\n"
        << EXIT_CODES_TEXT;
}

// Thrown when standard input ends while a question is still open: the run is cancelled.
struct InputEnded {};

std::string readLine() {
    ConsoleDialogue dialogue(std::cin, std::cout);
    std::optional<std::string> line = dialogue.readLine();
    if (!line) {
        throw InputEnded{};
    }
    return *line;
}

std::string promptValue(const std::string& label, const std::string& current) {
    std::cout << "  " << label << ": [" << current << "]\n"
              << "    Enter new value (or press Enter to keep current): " << std::flush;
    return trimWhitespace(readLine());
}

// A listed camera's index: the decimal digits the answer starts with (what follows them does not
// count), below count.
std::optional<size_t> parseIndex(const std::string& text, size_t count) {
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return std::nullopt;
    }
    errno = 0;
    const unsigned long long index = std::strtoull(text.c_str(), nullptr, DECIMAL);
    if (errno != 0 || index >= count) {
        return std::nullopt;
    }
    return static_cast<size_t>(index);
}

// Asks until the answer names a listed camera; an empty answer picks the first.
size_t askCameraIndex(size_t count) {
    for (;;) {
        std::cout << "\nEnter camera index [0-" << (count - 1) << "]: " << std::flush;
        const std::string line = trimWhitespace(readLine());
        if (line.empty()) {
            return 0;
        }
        if (const std::optional<size_t> index = parseIndex(line, count)) {
            return *index;
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
        return EXIT_FAILED;
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
    // The record goes to whichever camera answers at the factory address.
    std::cout << "Target camera: " << describeCamera(camera) << ".\n";
    if (camera.ipAddresses[0] != FACTORY_IP) {
        std::cout << "Warning: this camera answers at " << camera.ipAddresses[0]
                  << ", but the record is written to the camera at the factory address " << FACTORY_IP << ".\n";
    }
    ConsoleDialogue dialogue(std::cin, std::cout);
    const std::optional<bool> confirmed = dialogue.askYesNo("Write parameters to camera? (y/n): ");
    if (!confirmed) {
        throw InputEnded{};
    }
    if (!*confirmed) {
        std::cout << "Operation cancelled.\n";
        return EXIT_FAILED;
    }

    uint64_t factoryMac = 0;
    parseMacAddress(FACTORY_MAC, factoryMac);
    camera.macAddress = factoryMac;
    camera.ipAddresses[0] = FACTORY_IP;
    std::shared_ptr<EthInterface> eth = EthInterface::createEthInterface(camera);
    if (!eth) {
        std::cerr << "Could not connect to the camera at the factory address " << FACTORY_IP << ".\n";
        return EXIT_FAILED;
    }
    std::cout << "\nWriting device parameters...\n" << std::flush;
    if (!eth->writeDeviceParameters(record)) {
        std::cerr << "Failed to write device parameters.\n";
        return EXIT_FAILED;
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
    return EXIT_DONE;
}

} // namespace

int main(int argc, char** argv) {
    if (const std::optional<int> exit = checkNoArguments(argc, argv, printUsage)) {
        return *exit;
    }
    try {
        return run();
    } catch (const InputEnded&) {
        std::cout << "\nOperation cancelled.\n";
        return EXIT_FAILED;
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "The device parameters were not written: " << e.what() << "\n";
        return EXIT_FAILED;
    }
}
