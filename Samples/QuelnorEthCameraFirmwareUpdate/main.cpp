// quelnor_eth_camera_firmware_update [--serial <serial>] <firmware_file.bin> [start_address]: writes a
// .bin firmware file into an Ethernet camera: the one named, the only one found, or the one the user
// picks when discovery finds several. The file and the address are checked before any camera is
// looked for, and the camera is named before anything is written to it.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CameraNaming.h"
#include "CommandLine.h"
#include "ConsoleDialogue.h"
#include "QuelnorBase/Logger.h"
#include "QuelnorDriver/camera/DvsCameraManager.h"

namespace {

using namespace quelnor;
using namespace quelnor::samples;

constexpr int AUTOMATIC_BASE = 0;
constexpr int DECIMAL = 10;
constexpr uint64_t ADDRESS_SPACE = 0x100000000ULL; // the camera's memory is addressed in 32 bits
constexpr const char* FIRMWARE_EXTENSION = ".bin";

struct FirmwareOptions {
    std::string program; // as invoked
    std::string path;
    uint32_t startAddress = 0;
    std::string serial; // empty: the only camera found, or the one picked
};

void printUsage(std::ostream& out, const std::string& program) {
    out << "Usage: " << program << " [--serial <serial>] <firmware_file.bin> [start_address]\n\n"
        << "Writes a firmware file into a Quelnor Ethernet camera, using the SDK driver API.\n\n"
        << "  <firmware_file.bin>    the firmware image; only .bin files are accepted\n"
        << "  [start_address]        where the image goes in the camera's memory: decimal, 0x-prefixed\n"
        << "                         hexadecimal or 0-prefixed octal (default 0)\n"
        << "  -s, --serial <serial>  the camera to update; without it the only Ethernet camera found is\n"
        << "                         updated, or you are asked which one when several are found\n"
        << "  -h, --help             print this text and exit\n\n"
        << "Example: " << program << " firmware/v1.0.0.bin 0x10000\n\n"
        << "The camera is named (serial number, IP address, model) before anything is written to it.\n"
        << "Restart the camera afterwards to apply the new firmware.\n\n"
        << EXIT_CODES_TEXT;
}

// Decimal, 0x-prefixed hexadecimal or 0-prefixed octal, the whole text, within 32 bits.
bool parseStartAddress(const std::string& text, uint32_t& address) {
    if (text.empty() || text.find_first_of("-+ \t") != std::string::npos) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, AUTOMATIC_BASE);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value >= ADDRESS_SPACE) {
        return false;
    }
    address = static_cast<uint32_t>(value);
    return true;
}

// A number other than a negative one is an argument (a start address), not an option.
bool isOption(const std::string& argument) {
    return argument.size() > 1 && argument[0] == '-' && !(argument[1] >= '0' && argument[1] <= '9');
}

// The options, or the exit code when the command line ends the run.
std::optional<int> parseCommandLine(int argc, char** argv, FirmwareOptions& options) {
    const std::string program = invokedName(argc, argv);
    options.program = program;
    for (int i = 1; i < argc; ++i) {
        if (isHelpOption(argv[i])) {
            printUsage(std::cout, program);
            std::cout.flush();
            return EXIT_DONE;
        }
    }
    const auto refuse = [&program](const std::string& why) {
        std::cerr << why << "\n";
        printUsage(std::cerr, program);
        return EXIT_BAD_COMMAND_LINE;
    };
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-s" || argument == "--serial") {
            if (i + 1 >= argc || std::string(argv[i + 1]).empty()) {
                return refuse("Missing serial number after " + argument + ".");
            }
            options.serial = argv[++i];
        } else if (isOption(argument)) {
            return refuse("Unknown option: " + argument);
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.empty()) {
        return refuse("The firmware file path is missing.");
    }
    if (positional.size() > 2) {
        return refuse("Too many arguments: \"" + positional[2] + "\" follows the start address.");
    }
    options.path = positional[0];
    if (options.path.empty()) {
        return refuse("The firmware file path is empty.");
    }
    if (positional.size() == 2 && !parseStartAddress(positional[1], options.startAddress)) {
        return refuse("The start address must be a number from 0 to 0xffffffff (decimal, 0x hexadecimal or 0 "
                      "octal); got \"" +
                      positional[1] + "\".");
    }
    return std::nullopt;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// What can be known of the file without a camera: the exit code when it cannot be written, after a
// sentence on standard error saying why (and the usage when the start address leaves it no room).
std::optional<int> checkFirmwareFile(const FirmwareOptions& options) {
    const std::string& path = options.path;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            std::cerr << "The firmware file " << path << " does not exist.\n";
        } else {
            std::cerr << "The firmware file " << path << " cannot be reached: " << std::strerror(errno) << ".\n";
        }
        return EXIT_FAILED;
    }
    if (!S_ISREG(st.st_mode)) {
        std::cerr << "The firmware file " << path << " is not a regular file.\n";
        return EXIT_FAILED;
    }
    if (!endsWith(path, FIRMWARE_EXTENSION)) {
        std::cerr << "The firmware file " << path << " is not a .bin file; only .bin files are accepted.\n";
        return EXIT_FAILED;
    }
    std::ifstream file(path, std::ios::binary);
    char first = 0;
    if (!file.is_open() || (!file.get(first) && !file.eof())) {
        std::cerr << "The firmware file " << path << " cannot be read.\n";
        return EXIT_FAILED;
    }
    if (st.st_size == 0) {
        std::cerr << "The firmware file " << path << " is empty.\n";
        return EXIT_FAILED;
    }
    if (options.startAddress + static_cast<uint64_t>(st.st_size) > ADDRESS_SPACE) {
        std::cerr << "The firmware file " << path << " (" << st.st_size
                  << " bytes) does not fit into the camera's 32-bit address space from start address 0x" << std::hex
                  << options.startAddress << std::dec << ".\n";
        printUsage(std::cerr, options.program);
        return EXIT_BAD_COMMAND_LINE;
    }
    return std::nullopt;
}

// Asks which of several cameras to update; nothing when the input ends first.
std::optional<size_t> askCamera(const std::vector<CameraDescription>& cameras) {
    std::cout << "\nFound " << cameras.size() << " Ethernet cameras:\n";
    for (size_t i = 0; i < cameras.size(); ++i) {
        std::cout << "[" << (i + 1) << "] " << describeCamera(cameras[i]) << "\n";
    }
    ConsoleDialogue dialogue(std::cin, std::cout);
    const std::string prompt = "Which camera do you want to update? Enter its number [1-" +
                               std::to_string(cameras.size()) + "]: ";
    for (;;) {
        const std::optional<std::string> line = dialogue.ask(prompt);
        if (!line) {
            return std::nullopt;
        }
        const std::string answer = trimmed(*line);
        if (answer.empty()) {
            continue;
        }
        char* end = nullptr;
        errno = 0;
        const unsigned long long number = std::strtoull(answer.c_str(), &end, DECIMAL);
        if (errno == 0 && *end == '\0' && answer[0] != '-' && answer[0] != '+' && number >= 1 &&
            number <= cameras.size()) {
            return static_cast<size_t>(number - 1);
        }
        std::cout << "The camera number must be a number between 1 and " << cameras.size() << ".\n";
    }
}

enum class Outcome { Updated, Failed, Cancelled };

Outcome updateCamera(DvsCameraManager& manager, const FirmwareOptions& options) {
    const std::vector<CameraDescription> descriptions = manager.getCameraDescs();
    std::vector<CameraDescription> ethernet;
    for (const CameraDescription& d : descriptions) {
        QN_INFO("Camera found: %s : %s", d.manufacturer.c_str(), d.serialNumber.c_str());
        if (d.interfaceType == INTERFACE_ETH && (options.serial.empty() || d.serialNumber == options.serial)) {
            ethernet.push_back(d);
        }
    }
    if (ethernet.empty()) {
        if (options.serial.empty()) {
            QN_ERROR("No Ethernet camera found.");
        } else {
            QN_ERROR("No Ethernet camera with serial number %s was found.", options.serial.c_str());
        }
        return Outcome::Failed;
    }
    size_t chosen = 0;
    if (ethernet.size() > 1) {
        const std::optional<size_t> answer = askCamera(ethernet);
        if (!answer) {
            return Outcome::Cancelled;
        }
        chosen = *answer;
    }
    const CameraDescription& target = ethernet[chosen];
    QN_INFO("Ethernet camera found: %s", target.serialNumber.c_str());
    // Opening already writes to the camera (it takes control and sets the sensor up).
    std::cout << "Target camera: " << describeCamera(target) << ".\n" << std::flush;
    std::shared_ptr<DvsCamera> camera = manager.openCamera(target.serialNumber);
    if (!camera) {
        QN_ERROR("Failed to open Ethernet camera.");
        return Outcome::Failed;
    }
    QN_INFO("Camera open success.");
    QN_INFO("Starting firmware update...");
    QN_INFO("This process may take several minutes. Please do not disconnect the camera.");
    const bool updated = camera->updateCameraFirmware(options.path, options.startAddress);
    if (updated) {
        QN_INFO("Camera firmware update success.");
    } else {
        QN_ERROR("Camera firmware update failed.");
    }
    camera.reset();
    QN_INFO("Camera closed.");
    return updated ? Outcome::Updated : Outcome::Failed;
}

} // namespace

int main(int argc, char** argv) {
    FirmwareOptions options;
    if (const std::optional<int> exit = parseCommandLine(argc, argv, options)) {
        return *exit;
    }
    if (const std::optional<int> exit = checkFirmwareFile(options)) {
        return *exit;
    }

    std::cout << "Firmware update tool started." << std::endl;
    std::cout << "Firmware file path: " << options.path << std::endl;
    std::cout << "Start address: 0x" << std::hex << options.startAddress << std::dec << std::endl;

    Outcome outcome = Outcome::Failed;
    try {
        DvsCameraManager manager;
        outcome = updateCamera(manager, options);
    } catch (const std::exception& e) {
        // Discovery and opening report device failures by exception: the run has failed.
        QN_ERROR("Firmware update stopped because the camera could not be reached: %s", e.what());
    }
    switch (outcome) {
    case Outcome::Updated:
        std::cout << "\nFirmware update completed successfully!" << std::endl;
        std::cout << "Please restart the camera to apply the new firmware." << std::endl;
        return EXIT_DONE;
    case Outcome::Cancelled:
        std::cout << "\nFirmware update cancelled: no camera was chosen." << std::endl;
        return EXIT_FAILED;
    case Outcome::Failed:
        break;
    }
    std::cout << "\nFirmware update failed!" << std::endl;
    std::cout << "Please check the firmware file path and try again." << std::endl;
    return EXIT_FAILED;
}
