// quelnor_eth_camera_ip_config: gives an Ethernet camera a new IP address, subnet mask and gateway.
// Lists the Ethernet cameras found, asks which one and for the three addresses (the current ones as
// defaults), names the camera and sends the force-IP request once the user confirms.
#include <cstdint>
#include <exception>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "CameraNaming.h"
#include "CommandLine.h"
#include "ConsoleDialogue.h"
#include "QuelnorBase/Utils/FuncUtils.h"
#include "QuelnorDriver/camera/DvsCameraManager.h"

namespace {

using namespace quelnor;
using namespace quelnor::samples;

void printUsage(std::ostream& out, const std::string& program) {
    out << "Usage: " << program << " [-h|--help]\n\n"
        << "Gives a Quelnor Ethernet camera a new IP address, subnet mask and gateway. Lists the Ethernet\n"
        << "cameras found, asks which one to configure and for the three addresses (Enter keeps the\n"
        << "current one), names the camera and asks for confirmation before anything is sent.\n\n"
        << "  -h, --help  print this text and exit\n\n"
        << "Answers are read a line at a time; the end of the input cancels.\n\n"
        << EXIT_CODES_TEXT;
}

// Thrown when standard input ends while a question is still open: asking again would loop forever.
struct InputEnded {};

std::string readLine() {
    ConsoleDialogue dialogue(std::cin, std::cout);
    std::optional<std::string> line = dialogue.readLine();
    if (!line) {
        throw InputEnded{};
    }
    return *line;
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
        return EXIT_FAILED;
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
                  << "Gateway:      " << gateway << "\n"
                  << "Target camera: " << describeCamera(camera) << ".\n";
        ConsoleDialogue dialogue(std::cin, std::cout);
        const std::optional<bool> confirmed = dialogue.askYesNo("\nApply this configuration? (y/n): ");
        if (!confirmed) {
            throw InputEnded{};
        }
        if (!*confirmed) {
            std::cout << "Operation cancelled.\n";
            return EXIT_FAILED;
        }
        if (!DvsCameraManager::ethCameraForceIP(camera, static_cast<uint32_t>(stringToIP(ip)),
                                                static_cast<uint32_t>(stringToIP(mask)),
                                                static_cast<uint32_t>(stringToIP(gateway)))) {
            std::cerr << "Failed to apply IP configuration.\n";
            return EXIT_FAILED;
        }
        std::cout << "IP configuration applied successfully!\n";
        return EXIT_DONE;
    } catch (const InputEnded&) {
        std::cout << "\nOperation cancelled.\n";
        return EXIT_FAILED;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (const std::optional<int> exit = checkNoArguments(argc, argv, printUsage)) {
        return *exit;
    }
    try {
        return run();
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "Failed to apply IP configuration: " << e.what() << "\n";
        return EXIT_FAILED;
    }
}
