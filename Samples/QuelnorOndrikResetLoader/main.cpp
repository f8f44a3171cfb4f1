// quelnor_ondrik_reset_loader: sends a fusion camera's board the reset command of its frame-sensor
// tool. Mode 1 restarts the camera into its loader (for a firmware update), mode 2 restarts it
// normally, mode 0 changes nothing. Lists the fusion cameras found, asks which one and the mode, and
// sends the command once the user confirms. Exit code 0 after a completed operation, 1 after a
// failure or a cancellation, 2 for a bad command line.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "ConsoleDialogue.h"
#include "QuelnorBase/Logger.h"
#include "QuelnorDriver/camera/DvsCameraManager.h"

namespace {

using namespace quelnor;
using namespace quelnor::samples;

constexpr int DECIMAL = 10;
constexpr const char* FUSION_PRODUCT = "Ondrik";
constexpr const char* RESET_PARAMETER = "camera_reset";
constexpr int MODE_NO_CHANGE = 0;
constexpr int MODE_LOADER = 1;
constexpr int MODE_NORMAL = 2;
constexpr const char* RULE = "==========================================";

void printUsage(std::ostream& out, const std::string& program) {
    out << "Usage: " << program << " [-h|--help]\n\n"
        << "Sends a Quelnor fusion camera (Ondrik, Ondrik Pro) its reset command: mode 1 restarts it into\n"
        << "its loader for a firmware update, mode 2 restarts it normally, mode 0 changes nothing. Lists\n"
        << "the fusion cameras found, asks which one and the mode, and asks for confirmation before the\n"
        << "command is sent.\n\n"
        << "  -h, --help  print this text and exit\n\n"
        << "Answers are read a line at a time; the end of the input cancels.\n\n"
        << EXIT_CODES_TEXT;
}

// Thrown when standard input ends while a question is still open: asking again would loop forever.
struct InputEnded {};

// Prompts until a line holds something. True when that is a whole number (blanks around it
// allowed); false, after the invalid-input line, when it is not.
bool askNumber(const char* prompt, long long& value) {
    ConsoleDialogue dialogue(std::cin, std::cout);
    for (;;) {
        const std::optional<std::string> line = dialogue.ask(prompt);
        if (!line) {
            throw InputEnded{};
        }
        const std::string answer = trimmed(*line);
        if (answer.empty()) {
            continue;
        }
        errno = 0;
        char* end = nullptr;
        value = std::strtoll(answer.c_str(), &end, DECIMAL);
        if (errno == 0 && end != answer.c_str() && *end == '\0') {
            return true;
        }
        std::cout << "Invalid input. Please enter a number." << std::endl;
        return false;
    }
}

// The single wait at the end of a run: one line, or the end of the input.
void waitForEnter() {
    ConsoleDialogue dialogue(std::cin, std::cout);
    dialogue.ask("Press Enter to exit...");
}

const char* modeText(int mode) {
    switch (mode) {
    case MODE_NO_CHANGE:
        return "No change";
    case MODE_LOADER:
        return "Reset to loader mode (for firmware update)";
    default:
        return "Normal reset";
    }
}

const char* modeSummary(int mode) {
    switch (mode) {
    case MODE_NO_CHANGE:
        return "No change";
    case MODE_LOADER:
        return "Reset to loader mode";
    default:
        return "Normal reset";
    }
}

const char* modeDone(int mode) {
    switch (mode) {
    case MODE_NO_CHANGE:
        return "Mode 0: No change applied.";
    case MODE_LOADER:
        return "Mode 1: Camera reset to loader mode for firmware update.";
    default:
        return "Mode 2: Camera reset normally.";
    }
}

const CameraDescription& askCamera(const std::vector<CameraDescription>& fusion) {
    for (;;) {
        long long choice = 0;
        if (!askNumber("\nSelect camera (enter number): ", choice)) {
            continue;
        }
        if (choice <= 0 || static_cast<unsigned long long>(choice) > fusion.size()) {
            std::cout << "Invalid selection. Please enter a number between 1 and " << fusion.size() << "."
                      << std::endl;
            continue;
        }
        return fusion[choice - 1];
    }
}

int askMode() {
    std::cout << "\nSelect reset mode:" << std::endl;
    std::cout << "[0] No change" << std::endl;
    std::cout << "[1] Reset to loader mode (for firmware update)" << std::endl;
    std::cout << "[2] Normal reset" << std::endl;
    for (;;) {
        long long mode = 0;
        if (!askNumber("\nEnter mode number: ", mode)) {
            continue;
        }
        if (mode < MODE_NO_CHANGE || mode > MODE_NORMAL) {
            std::cout << "Invalid mode. Please enter 0, 1, or 2." << std::endl;
            continue;
        }
        return static_cast<int>(mode);
    }
}

int resetCamera(DvsCameraManager& manager, const std::string& serial, int mode) {
    std::cout << "\nOpening camera..." << std::endl;
    std::shared_ptr<FusionCamera> camera = manager.openFusionCamera(serial);
    if (!camera) {
        QN_ERROR("Failed to open fusion camera: %s", serial.c_str());
        waitForEnter();
        return EXIT_FAILED;
    }
    std::cout << "Camera opened successfully." << std::endl;
    std::cout << "Getting APS control tool..." << std::endl;
    std::shared_ptr<CameraTool> tool = camera->getTool(APS_CTRL);
    if (!tool) {
        QN_ERROR("Failed to get TOOL_APS_CTRL tool.");
        waitForEnter();
        return EXIT_FAILED;
    }
    std::cout << "APS control tool obtained successfully." << std::endl;
    std::cout << "Setting reset mode..." << std::endl;
    try {
        // The tool has logged why (a refused mode or a failed exchange with the board); a command that
        // did not reach the camera must not be reported as done.
        if (!tool->setParam(RESET_PARAMETER, mode)) {
            std::cout << "Error: Failed to set reset mode." << std::endl;
            waitForEnter();
            return EXIT_FAILED;
        }
        std::cout << "Reset mode set successfully." << std::endl;
        camera->stop(FUSION_STREAM);
        camera.reset();
        std::cout << modeDone(mode) << std::endl;
    } catch (const std::exception& e) {
        QN_ERROR("Failed to set camera_reset mode: %s", e.what());
        std::cout << "Error: Failed to set reset mode." << std::endl;
        waitForEnter();
        return EXIT_FAILED;
    }
    std::cout << "\n" << RULE << std::endl;
    std::cout << "Operation completed successfully!" << std::endl;
    std::cout << RULE << std::endl;
    std::cout << "\n";
    waitForEnter();
    return EXIT_DONE;
}

int run(DvsCameraManager& manager) {
    const std::vector<CameraDescription> descriptions = manager.getCameraDescs();
    if (descriptions.empty()) {
        QN_ERROR("No cameras found.");
        waitForEnter();
        return EXIT_FAILED;
    }
    std::vector<CameraDescription> fusion;
    for (const CameraDescription& d : descriptions) {
        if (d.productName.find(FUSION_PRODUCT) != std::string::npos) {
            fusion.push_back(d);
        }
    }
    if (fusion.empty()) {
        QN_ERROR("No fusion cameras found.");
        waitForEnter();
        return EXIT_FAILED;
    }
    std::cout << "\nFound fusion cameras:" << std::endl;
    for (size_t i = 0; i < fusion.size(); ++i) {
        std::cout << "[" << (i + 1) << "] "
                  << "Product: " << fusion[i].productName << ", "
                  << "Serial: " << fusion[i].serialNumber << std::endl;
    }

    try {
        const CameraDescription& chosen = askCamera(fusion);
        const std::string serial = chosen.serialNumber;
        const std::string product = chosen.productName;
        std::cout << "Selected camera: " << product << " (" << serial << ")" << std::endl;
        const int mode = askMode();
        std::cout << "\nSelected mode: " << modeText(mode) << std::endl;

        std::cout << "\n" << RULE << std::endl;
        std::cout << "Operation Summary:" << std::endl;
        std::cout << "Camera: " << product << " (" << serial << ")" << std::endl;
        std::cout << "Mode: " << modeSummary(mode) << std::endl;
        std::cout << RULE << std::endl;

        ConsoleDialogue dialogue(std::cin, std::cout);
        const std::optional<bool> confirmed = dialogue.askYesNo("\nProceed with reset? (y/n): ");
        if (!confirmed) {
            throw InputEnded{};
        }
        if (!*confirmed) {
            std::cout << "Operation cancelled." << std::endl;
            waitForEnter();
            return EXIT_FAILED;
        }
        return resetCamera(manager, serial, mode);
    } catch (const InputEnded&) {
        std::cout << "\nOperation cancelled." << std::endl;
        return EXIT_FAILED;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (const std::optional<int> exit = checkNoArguments(argc, argv, printUsage)) {
        return *exit;
    }
    std::cout << RULE << std::endl;
    std::cout << "Quelnor Fusion Camera Reset Tool" << std::endl;
    std::cout << RULE << std::endl;
    try {
        DvsCameraManager manager;
        return run(manager);
    } catch (const std::exception& e) {
        // Discovery and opening report device failures by exception: the run has failed.
        QN_ERROR("The fusion camera reset stopped after an unexpected error: %s", e.what());
        return EXIT_FAILED;
    }
}
