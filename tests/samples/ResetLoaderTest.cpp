// The fusion-camera reset tool runs as a program against simulated Ondrik cameras on the umockdev USB
// bus of the test process (the child reaches the bus through the preload library and the testbed that
// the environment names): the tests answer its prompts and check what it prints, its exit code and the
// control requests the camera's board received.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorDriver/camera/PropheseeEVK4.h"
#include "SamplePrograms.h"
#include "cameralab/TestNetwork.h"
#include "cameralab/UsbSensorCamera.h"
#include "fusionlab/UsbFusionCamera.h"
#include "usbcam/UmockdevUsbBus.h"

using namespace quelnor;
using namespace quelnor::test;
using quelnor::test::usbcam::ControlRecord;
using quelnor::test::usbcam::UmockdevUsbBus;
using testing::HasSubstr;
using testing::Not;

namespace {

constexpr uint8_t VENDOR_OUT = 0x40;
constexpr uint8_t WRITE_BOARD_REGISTER = 0xA1;
constexpr size_t RESET_BLOCK_BYTES = 32;
constexpr const char* RULE = "==========================================\n";
constexpr int DONE = 0;
constexpr int FAILED = 1; // failed or cancelled

const std::string BANNER = std::string(RULE) + "Quelnor Fusion Camera Reset Tool\n" + RULE;

// The reset blocks the board received, in order.
std::vector<std::vector<uint8_t>> resetBlocks(const UsbFusionCamera& camera) {
    std::vector<std::vector<uint8_t>> blocks;
    for (const ControlRecord& r : camera.model->controlRequests()) {
        if (r.setup.requestType == VENDOR_OUT && r.setup.request == WRITE_BOARD_REGISTER &&
            r.setup.value == UsbFusionCamera::CAMERA_RESET) {
            blocks.push_back(r.data);
        }
    }
    return blocks;
}

std::vector<uint8_t> resetBlock(uint8_t mode) {
    std::vector<uint8_t> block(RESET_BLOCK_BYTES, 0);
    block[0] = mode;
    return block;
}

class ResetLoaderTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        isolateTestProcessNetwork(); // the program's Ethernet search then finds no adapter
    }

    void SetUp() override {
        if (!UmockdevUsbBus::available()) {
            GTEST_SKIP() << "needs the umockdev preload (LD_PRELOAD=libumockdev-preload.so.0)";
        }
        bus = std::make_unique<UmockdevUsbBus>();
    }

    void TearDown() override {
        tool.reset(); // the program's handles go before the bus
        bus.reset();
    }

    UsbFusionCamera plug(const std::string& serial, const std::string& product = "Ondrik") {
        return UsbFusionCamera::plug(*bus, serial, "ONDRIK-FW-1.2.3", product);
    }

    // The tool with its whole input already on its way (the answers are read one after another).
    void run(const std::string& input) {
        ChildOptions options;
        options.argv = {RESET_LOADER_PROGRAM};
        tool = std::make_unique<ChildProcess>(options);
        tool->write(input);
        tool->closeInput();
    }

    // The tool's own texts, once it has ended.
    std::string out() const {
        drainOutput(*tool);
        return withoutLogLines(tool->output());
    }

    std::unique_ptr<UmockdevUsbBus> bus;
    std::unique_ptr<ChildProcess> tool;
};

TEST_F(ResetLoaderTest, ListsOnlyFusionCamerasAsksAgainOnBadAnswersAndSendsTheLoaderReset) {
    UsbSensorCamera::plug(*bus, PropheseeEVK4::vendorId, PropheseeEVK4::productId, "QNP0001", "Prophesee", "EVK4");
    const UsbFusionCamera first = plug("OND0001", "Ondrik");
    const UsbFusionCamera second = plug("OND0002", "OndrikPro");
    run("abc\n0\n3\n2\n-1\nx\n7\n1\ny\n\n");
    EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), 0);

    EXPECT_EQ(out(), BANNER +
                         "\nFound fusion cameras:\n"
                         "[1] Product: Ondrik, Serial: OND0001\n"
                         "[2] Product: OndrikPro, Serial: OND0002\n"
                         "\nSelect camera (enter number): Invalid input. Please enter a number.\n"
                         "\nSelect camera (enter number): Invalid selection. Please enter a number between 1 and 2.\n"
                         "\nSelect camera (enter number): Invalid selection. Please enter a number between 1 and 2.\n"
                         "\nSelect camera (enter number): Selected camera: OndrikPro (OND0002)\n"
                         "\nSelect reset mode:\n[0] No change\n[1] Reset to loader mode (for firmware update)\n"
                         "[2] Normal reset\n"
                         "\nEnter mode number: Invalid mode. Please enter 0, 1, or 2.\n"
                         "\nEnter mode number: Invalid input. Please enter a number.\n"
                         "\nEnter mode number: Invalid mode. Please enter 0, 1, or 2.\n"
                         "\nEnter mode number: \nSelected mode: Reset to loader mode (for firmware update)\n"
                         "\n" + RULE + "Operation Summary:\nCamera: OndrikPro (OND0002)\nMode: Reset to loader mode\n" +
                         RULE +
                         "\nProceed with reset? (y/n): \nOpening camera...\nCamera opened successfully.\n"
                         "Getting APS control tool...\nAPS control tool obtained successfully.\n"
                         "Setting reset mode...\nReset mode set successfully.\n"
                         "Mode 1: Camera reset to loader mode for firmware update.\n"
                         "\n" + RULE + "Operation completed successfully!\n" + RULE + "\nPress Enter to exit...");
    EXPECT_THAT(tool->output(), HasSubstr("] [info] Camera reset command sent, mode: 1\n"));

    // One reset block, to the chosen camera only.
    EXPECT_EQ(resetBlocks(second), std::vector<std::vector<uint8_t>>{resetBlock(1)});
    EXPECT_TRUE(resetBlocks(first).empty());
    EXPECT_TRUE(first.model->commands().empty()) << "the other camera is never opened";
}

// Mode 0 and 2 are sent as they are (mode 0 too, and 2 although the tool declares 0 to 1) and reported
// with their own lines.
TEST_F(ResetLoaderTest, ModesNoChangeAndNormalAreSentAndReported) {
    struct Case {
        int mode;
        const char* selected;
        const char* summary;
        const char* done;
    };
    const Case cases[] = {
        {0, "No change", "No change", "Mode 0: No change applied."},
        {2, "Normal reset", "Normal reset", "Mode 2: Camera reset normally."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        const std::string serial = "OND000" + std::to_string(c.mode);
        const UsbFusionCamera camera = plug(serial);
        // "Y" confirms as "y" does.
        run("1\n" + std::to_string(c.mode) + "\nY\n\n");
        EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), 0);
        EXPECT_THAT(out(), HasSubstr("\nSelected mode: " + std::string(c.selected) + "\n"));
        EXPECT_THAT(out(), HasSubstr("Operation Summary:\nCamera: Ondrik (" + serial + ")\nMode: " + c.summary + "\n"));
        EXPECT_THAT(out(), HasSubstr(std::string("Setting reset mode...\nReset mode set successfully.\n") + c.done +
                                     "\n\n" + RULE + "Operation completed successfully!\n" + RULE +
                                     "\nPress Enter to exit..."));
        EXPECT_THAT(tool->output(), HasSubstr("] [info] Camera reset command sent, mode: " + std::to_string(c.mode)));
        EXPECT_EQ(resetBlocks(camera), std::vector<std::vector<uint8_t>>{resetBlock(uint8_t(c.mode))});
        tool.reset();
        bus->unplug(camera.model);
    }
}

// The board refuses the command: the tool says so and fails instead of reporting a reset that did not
// happen.
TEST_F(ResetLoaderTest, RefusedResetFails) {
    const UsbFusionCamera camera = plug("OND0001");
    camera.model->setBoardWriteStall(UsbFusionCamera::CAMERA_RESET, true);
    run("1\n2\ny\n\n");
    EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), 1);
    EXPECT_THAT(out(), HasSubstr("APS control tool obtained successfully.\nSetting reset mode...\n"
                                 "Error: Failed to set reset mode.\nPress Enter to exit..."));
    EXPECT_THAT(out(), Not(HasSubstr("successfully!")));
    EXPECT_THAT(out(), Not(HasSubstr("Reset mode set successfully.")));
    EXPECT_THAT(tool->output(), HasSubstr("] [error] Failed to reset camera, mode: 2\n"));
    EXPECT_EQ(resetBlocks(camera), std::vector<std::vector<uint8_t>>{resetBlock(2)});
}

// Answers are whole lines: no or n in any case cancels, anything else but yes asks again.
TEST_F(ResetLoaderTest, NoCancelsWithoutOpeningTheCamera) {
    const std::string question = "\nProceed with reset? (y/n): ";
    const std::string again = "Please answer y or n.\n";
    struct Case {
        const char* answers;
        std::string shown; // from the question on
    };
    const Case cases[] = {
        {"n\n", question + "Operation cancelled.\nPress Enter to exit..."},
        {"No\n", question + "Operation cancelled.\nPress Enter to exit..."},
        {"x\n\nyess\nN\n", question + again + question + again + question + again + question +
                                 "Operation cancelled.\nPress Enter to exit..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answers);
        const UsbFusionCamera camera = plug("OND0001");
        run(std::string("1\n1\n") + c.answers + "\n");
        EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), FAILED);
        const std::string shown = out();
        EXPECT_EQ(shown.substr(shown.find(question)), c.shown);
        EXPECT_TRUE(resetBlocks(camera).empty());
        EXPECT_TRUE(camera.model->commands().empty()) << "the camera was opened";
        tool.reset();
        bus->unplug(camera.model);
    }
}

// "yes" is one answer: nothing of it is left to satisfy the final Enter, which waits for its own line.
TEST_F(ResetLoaderTest, ModesConfirmedWithYesWaitForTheFinalEnter) {
    const UsbFusionCamera camera = plug("OND0001");
    ChildOptions options;
    options.argv = {RESET_LOADER_PROGRAM};
    tool = std::make_unique<ChildProcess>(options);
    tool->write("1\n 2 \nyes\n");
    ASSERT_TRUE(tool->waitForOutput("Operation completed successfully!\n", PROGRAM_TIMEOUT));
    ASSERT_TRUE(tool->waitForOutput("\nPress Enter to exit...", PROGRAM_TIMEOUT));
    // A tool that took the rest of "yes" for the Enter ends here instead of waiting for a line.
    EXPECT_TRUE(waitUntilReadingInput(*tool)) << "the tool did not wait for Enter";
    tool->write("\n");
    EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), DONE);
    EXPECT_EQ(resetBlocks(camera), std::vector<std::vector<uint8_t>>{resetBlock(2)});
}

TEST_F(ResetLoaderTest, WithoutAFusionCameraItFails) {
    run("\n");
    EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), 1);
    EXPECT_EQ(out(), BANNER + "Press Enter to exit...");
    EXPECT_THAT(tool->output(), HasSubstr("] [error] No cameras found.\n"));

    UsbSensorCamera::plug(*bus, PropheseeEVK4::vendorId, PropheseeEVK4::productId, "QNP0001", "Prophesee", "EVK4");
    run("\n");
    EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), 1);
    EXPECT_EQ(out(), BANNER + "Press Enter to exit...");
    EXPECT_THAT(tool->output(), HasSubstr("] [error] No fusion cameras found.\n"));
}

// The camera goes between the listing and the confirmation: opening it fails, and so does the tool.
TEST_F(ResetLoaderTest, ACameraUnpluggedBeforeTheConfirmationCannotBeOpened) {
    const UsbFusionCamera camera = plug("OND0001");
    ChildOptions options;
    options.argv = {RESET_LOADER_PROGRAM};
    tool = std::make_unique<ChildProcess>(options);
    tool->write("1\n1\n");
    ASSERT_TRUE(tool->waitForOutput("\nProceed with reset? (y/n): ", PROGRAM_TIMEOUT));
    bus->unplug(camera.model);
    tool->write("y\n\n");
    tool->closeInput();
    EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), 1);
    EXPECT_THAT(out(), HasSubstr("\nProceed with reset? (y/n): \nOpening camera...\nPress Enter to exit..."));
    EXPECT_THAT(tool->output(), HasSubstr("] [error] Failed to open fusion camera: OND0001\n"));
    EXPECT_TRUE(resetBlocks(camera).empty());
}

// Input that ends while a question is open cancels (exit code 1) instead of asking again for ever.
TEST_F(ResetLoaderTest, InputEndingAtAQuestionCancels) {
    const UsbFusionCamera camera = plug("OND0001");
    for (const std::string input : {"", "abc", "abc\n", "1\n", "1\n-5\n", "1\n2\n", "1\n2\n\n"}) {
        SCOPED_TRACE(input);
        run(input);
        EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), FAILED);
        EXPECT_THAT(out(), HasSubstr("Operation cancelled.\n"));
        EXPECT_LE(ChildProcess::countOf(out(), "Invalid "), 1u) << "asked again after the input ended";
        EXPECT_TRUE(resetBlocks(camera).empty());
    }
}

} // namespace
