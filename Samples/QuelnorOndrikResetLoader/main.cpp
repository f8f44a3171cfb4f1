// quelnor_ondrik_reset_loader: sends a fusion camera's board the reset command of its frame-sensor
// tool. Mode 1 restarts the camera into its loader (for a firmware update), mode 2 restarts it
// normally, mode 0 changes nothing. Lists the fusion cameras found, asks which one and the mode, and
// sends the command once the user confirms. Exit code 0 after a completed operation or a
// cancellation, 1 after a failure.
#include <cstdint>
#include <exception>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorBase/Logger.h"
#include "QuelnorDriver/camera/DvsCameraManager.h"

namespace {

using namespace quelnor;

constexpr int EXIT_DONE = 0;
constexpr int EXIT_FAILED = 1;
constexpr const char* FUSION_PRODUCT = "Ondrik";
constexpr const char* RESET_PARAMETER = "camera_reset";
constexpr int MODE_NO_CHANGE = 0;
constexpr int MODE_LOADER = 1;
constexpr int MODE_NORMAL = 2;
constexpr const char* RULE = "==========================================";

// Thrown when standard input ends while a question is still open: asking again would loop forever.
struct InputEnded {};

void skipRestOfLine() { std::cin.ignore(std::numeric_limits<std::streamsize>::max(), '\n'); }

// Reads a number for a prompt; false (after the invalid-input line) when the answer is not one.
template <typename Number>
bool readNumber(Number& value) {
    if (std::cin >> value) {
        return true;
    }
    if (std::cin.eof()) {
        throw InputEnded{};
    }
    std::cin.clear();
    skipRestOfLine();
    std::cout << "Invalid input. Please enter a number." << std::endl;
    return false;
}

// The single wait at the end of a run: the answer before it left its line end behind.
void waitForEnter(bool skipLineEnd) {
    std::cout << "Press Enter to exit..." << std::flush;
    if (skipLineEnd) {
        std::cin.ignore();
    }
    std::cin.get();
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
        std::cout << "\nSelect camera (enter number): " << std::flush;
        uint64_t choice = 0;
        if (!readNumber(choice)) {
            continue;
        }
        if (choice == 0 || choice > fusion.size()) {
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
        std::cout << "\nEnter mode number: " << std::flush;
        int32_t mode = 0;
        if (!readNumber(mode)) {
            continue;
        }
        if (mode < MODE_NO_CHANGE || mode > MODE_NORMAL) {
            std::cout << "Invalid mode. Please enter 0, 1, or 2." << std::endl;
            continue;
        }
        return mode;
    }
}

int resetCamera(DvsCameraManager& manager, const std::string& serial, int mode) {
    std::cout << "\nOpening camera..." << std::endl;
    std::shared_ptr<FusionCamera> camera = manager.openFusionCamera(serial);
    if (!camera) {
        QN_ERROR("Failed to open fusion camera: %s", serial.c_str());
        waitForEnter(true);
        return EXIT_FAILED;
    }
    std::cout << "Camera opened successfully." << std::endl;
    std::cout << "Getting APS control tool..." << std::endl;
    std::shared_ptr<CameraTool> tool = camera->getTool(APS_CTRL);
    if (!tool) {
        QN_ERROR("Failed to get TOOL_APS_CTRL tool.");
        waitForEnter(true);
        return EXIT_FAILED;
    }
    std::cout << "APS control tool obtained successfully." << std::endl;
    std::cout << "Setting reset mode..." << std::endl;
    try {
        // The tool has logged why (a refused mode or a failed exchange with the board); a command that
        // did not reach the camera must not be reported as done.
        if (!tool->setParam(RESET_PARAMETER, mode)) {
            std::cout << "Error: Failed to set reset mode." << std::endl;
            waitForEnter(true);
            return EXIT_FAILED;
        }
        std::cout << "Reset mode set successfully." << std::endl;
        camera->stop(FUSION_STREAM);
        camera.reset();
        std::cout << modeDone(mode) << std::endl;
    } catch (const std::exception& e) {
        QN_ERROR("Failed to set camera_reset mode: %s", e.what());
        std::cout << "Error: Failed to set reset mode." << std::endl;
        waitForEnter(true);
        return EXIT_FAILED;
    }
    std::cout << "\n" << RULE << std::endl;
    std::cout << "Operation completed successfully!" << std::endl;
    std::cout << RULE << std::endl;
    std::cout << "\n";
    waitForEnter(true);
    return EXIT_DONE;
}

int run(DvsCameraManager& manager) {
    const std::vector<CameraDescription> descriptions = manager.getCameraDescs();
    if (descriptions.empty()) {
        QN_ERROR("No cameras found.");
        waitForEnter(false);
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
        waitForEnter(false);
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

        std::cout << "\nProceed with reset? (y/n): " << std::flush;
        char confirm = 0;
        std::cin >> confirm;
        if (confirm != 'y' && confirm != 'Y') {
            std::cout << "Operation cancelled." << std::endl;
            waitForEnter(true);
            return EXIT_DONE;
        }
        return resetCamera(manager, serial, mode);
    } catch (const InputEnded&) {
        std::cout << "\nOperation cancelled." << std::endl;
        return EXIT_DONE;
    }
}

} // namespace

int main() {
    std::cout << RULE << std::endl;
    std::cout << "Quelnor Fusion Camera Reset Tool" << std::endl;
    std::cout << RULE << std::endl;
    try {
        DvsCameraManager manager;
        return run(manager);
    } catch (const std::exception& e) {
        // Discovery and opening report device failures by exception: the run has failed.
        QN_ERROR("Fusion camera reset stopped: %s", e.what());
        return EXIT_FAILED;
    }
}
