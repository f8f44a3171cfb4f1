// The console tools run as programs against simulated Ethernet cameras in a network-namespace lab:
// the tests answer their prompts through standard input and check what they print, their exit code
// and what reached the camera (its request log, its memory, its address). Root only (skipped
// otherwise). The labs' namespace names carry the process id, so the tests run beside others.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/interface/GvcpDeviceParameters.h"
#include "SamplePrograms.h"
#include "cameralab/EthCameraLab.h"
#include "ethsim/EthCameraSim.h"
#include "netns/NetnsLab.h"
#include "rawfile/TempDir.h"

using namespace quelnor;
using namespace quelnor::test;
using testing::HasSubstr;
using testing::Not;

namespace {

constexpr uint16_t FORCEIP = 0x0004;
constexpr uint16_t WRITEMEM = 0x0086;
constexpr uint32_t DEVICE_PARAMETERS_ADDRESS = 0x400000;
constexpr uint16_t DEVICE_PARAMETERS_REQUEST_ID = 0x7777;
constexpr uint16_t WRITEREG = 0x0082;
constexpr int DONE_EXIT = 0;
constexpr int FAILURE_EXIT = 1; // failed or cancelled
constexpr int BAD_COMMAND_LINE_EXIT = 2;

// ---------------------------------------------------------------- device-parameter writer

// A factory bench: the host at 192.168.9.1 and cameras on its segment, one of them usually at the
// factory-default address 192.168.9.99.
class WriteParamsTest : public testing::Test {
protected:
    static constexpr const char* FACTORY_IP = "192.168.9.99";
    static constexpr uint64_t FACTORY_MAC = 0x0050C258C100ULL;

    void SetUp() override {
        if (const std::string why = netnsUnavailableReason(); !why.empty()) {
            GTEST_SKIP() << why;
        }
        lab = std::make_unique<NetnsLab>();
        lab->addSegment("lan");
        lab->addHost("host");
        lab->connect("host", "eth0", "lan", "192.168.9.1/24");
    }

    void TearDown() override {
        for (auto& camera : cameras) {
            camera->stop();
        }
    }

    EthCameraSim& addCamera(const std::string& serial, const std::string& ip, uint64_t mac) {
        const std::string host = "cam" + std::to_string(cameras.size());
        lab->addHost(host);
        lab->connect(host, "eth0", "lan", ip + "/24");
        EthCameraSimConfig config;
        config.netns = lab->ns(host);
        config.ip = ip;
        config.mask = "255.255.255.0";
        config.gateway = "192.168.9.254";
        config.serial = serial;
        config.mac = mac;
        cameras.push_back(std::make_unique<EthCameraSim>(config));
        cameras.back()->start();
        return *cameras.back();
    }

    std::unique_ptr<ChildProcess> startTool() {
        return std::make_unique<ChildProcess>(programIn(lab->ns("host"), {WRITE_PARAMS_PROGRAM}));
    }

    // The 256 bytes the camera should hold: the record as stored, the MAC in network order.
    static std::vector<uint8_t> expectedMemory(GvcpDeviceParameters record) {
        std::vector<uint8_t> bytes(sizeof record);
        std::memcpy(bytes.data(), &record, sizeof record);
        const uint64_t mac = (static_cast<uint64_t>(record.macHigh) << 32) | record.macLow;
        for (int i = 0; i < 6; ++i) {
            bytes[10 + i] = static_cast<uint8_t>(mac >> (8 * (5 - i)));
        }
        return bytes;
    }

    static GvcpDeviceParameters factoryRecord(const std::string& serial, uint64_t mac) {
        GvcpDeviceParameters r;
        r.version = 1;
        r.macHigh = static_cast<uint16_t>(mac >> 32);
        r.macLow = static_cast<uint32_t>(mac);
        r.interfaceCapability = 0x00040003;
        r.interfaceConfiguration = 0x00040003;
        r.currentIp = 0x2221A8C0;      // 192.168.33.34, first octet in the low byte
        r.subnetMask = 0x00FFFFFF;     // 255.255.255.0
        r.defaultGateway = 0x0121A8C0; // 192.168.33.1
        std::strcpy(r.manufacturerName, "Quelnor");
        std::strcpy(r.modelName, "Tolvane-G1");
        std::strcpy(r.deviceVersion, "v1.0.0");
        std::strncpy(r.serialNumber, serial.c_str(), sizeof r.serialNumber - 1);
        return r;
    }

    static size_t deviceParameterWrites(const EthCameraSim& camera) {
        size_t n = 0;
        for (const MemoryWrite& w : camera.memoryWrites()) {
            n += w.address == DEVICE_PARAMETERS_ADDRESS ? 1 : 0;
        }
        return n;
    }

    std::unique_ptr<NetnsLab> lab;
    std::vector<std::unique_ptr<EthCameraSim>> cameras;
};

TEST_F(WriteParamsTest, EnterAtEveryPromptWritesThePrefilledRecordToTheFactoryAddress) {
    EthCameraSim& camera = addCamera("QNFACT0001", FACTORY_IP, FACTORY_MAC);
    auto tool = startTool();
    ASSERT_TRUE(tool->waitForOutput("Enter new value", PROGRAM_TIMEOUT));
    tool->write("\n");
    ASSERT_TRUE(tool->waitForOutput("Enter new value", PROGRAM_TIMEOUT, 2));
    tool->write("\n");
    ASSERT_TRUE(tool->waitForOutput("Write parameters to camera? (y/n): ", PROGRAM_TIMEOUT));
    tool->write("y\n");
    EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), 0);

    const std::string out = withoutLogLines(tool->output());
    EXPECT_EQ(tool->errors(), "");
    EXPECT_THAT(tool->output(), HasSubstr("] [info] Write device parameters completed successfully\n"));
    EXPECT_EQ(out.rfind("====================================================\n"
                        "    Quelnor Eth Camera Factory Parameters Tool\n"
                        "====================================================\n"
                        "  Configure device information: serial number,\n"
                        "  MAC address, IP, device version, etc.\n"
                        "====================================================\n\n",
                        0),
              0u);
    EXPECT_THAT(out, HasSubstr("Found Ethernet cameras:\n[0] Manufacturer: Quelnor, Serial: QNFACT0001, IP: "
                               "192.168.9.99, Subnet: 255.255.255.0, Gateway: 192.168.9.254\n"));
    EXPECT_THAT(out, Not(HasSubstr("Enter camera index"))) << "one camera is picked without a question";
    EXPECT_THAT(out, HasSubstr("\nSelected camera: QNFACT0001\n"));
    EXPECT_THAT(out, HasSubstr("\n===== Modify Parameters =====\nLeave empty and press Enter to keep current value.\n\n"
                               "--- Device Information ---\n"
                               "  User serial num: [QNFACT0001]\n"
                               "    Enter new value (or press Enter to keep current): \n"
                               "--- Network Configuration ---\n"
                               "  MAC Address (e.g., 001122334455): [0050c258c100]\n"
                               "    Enter new value (or press Enter to keep current): \n--- Confirmation ---\n"));
    EXPECT_THAT(out, HasSubstr("  MAC Address:                [0050c258c100]\n"));
    EXPECT_THAT(out, HasSubstr("\n==============================================\n"
                               "Target camera: serial QNFACT0001, IP 192.168.9.99, model Tolvane.\n"
                               "Write parameters to camera? (y/n): \nWriting device parameters..."));
    EXPECT_THAT(out, Not(HasSubstr("Warning: this camera answers at")));
    EXPECT_THAT(out, HasSubstr("\nWriting device parameters...\nDevice parameters written successfully!\n"
                               "\n====================================================\n"
                               "  Parameters written successfully!\n"
                               "====================================================\n"
                               "\nWarning: IP address was changed.\nNew IP: 192.168.33.34\n"
                               "You may need to reconnect with the new IP.\n\nDone.\n"));
    EXPECT_EQ(ChildProcess::countOf(out, "========== Current Device Parameters =========="), 2u);

    // One write of the whole record, with its request id, at the record's address.
    const auto writes = camera.memoryWrites();
    ASSERT_EQ(deviceParameterWrites(camera), 1u);
    for (const MemoryWrite& w : writes) {
        if (w.address == DEVICE_PARAMETERS_ADDRESS) {
            EXPECT_EQ(w.requestId, DEVICE_PARAMETERS_REQUEST_ID);
            EXPECT_EQ(w.length, 256u);
        }
    }
    EXPECT_EQ(camera.readMemory(DEVICE_PARAMETERS_ADDRESS, 256),
              expectedMemory(factoryRecord("QNFACT0001", FACTORY_MAC)));
    // The interface took the camera's control port and gave it back.
    EXPECT_FALSE(camera.controlTaken());
}

TEST_F(WriteParamsTest, AnIndexBeyondTheListIsAskedAgainAndTheAnswersChangeSerialAndMac) {
    // Listed in serial order: [0] QNA at another address, [1] QNB at the factory address.
    EthCameraSim& other = addCamera("QNA", "192.168.9.98", 0x0050C258C1AAULL);
    EthCameraSim& factory = addCamera("QNB", FACTORY_IP, FACTORY_MAC);
    auto tool = startTool();
    ASSERT_TRUE(tool->waitForOutput("\nEnter camera index [0-1]: ", PROGRAM_TIMEOUT));
    EXPECT_THAT(tool->output(), HasSubstr("[0] Manufacturer: Quelnor, Serial: QNA, IP: 192.168.9.98"));
    EXPECT_THAT(tool->output(), HasSubstr("[1] Manufacturer: Quelnor, Serial: QNB, IP: 192.168.9.99"));
    tool->write("2\n");
    ASSERT_TRUE(tool->waitForOutput("Invalid input. Please enter a number between 0 and 1.\n", PROGRAM_TIMEOUT));
    ASSERT_TRUE(tool->waitForOutput("\nEnter camera index [0-1]: ", PROGRAM_TIMEOUT, 2));
    tool->write("1\n");
    ASSERT_TRUE(tool->waitForOutput("  User serial num: [QNB]\n", PROGRAM_TIMEOUT));
    tool->write("SERIAL-OF-20-CHARS!!\n");
    ASSERT_TRUE(tool->waitForOutput("  MAC Address (e.g., 001122334455): [0050c258c100]\n", PROGRAM_TIMEOUT));
    tool->write(" 00:11:22:33:44:55 \n");
    ASSERT_TRUE(tool->waitForOutput("Write parameters to camera? (y/n): ", PROGRAM_TIMEOUT));
    // An empty line asks again.
    tool->write("\nyes\n");
    EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), 0);
    drainOutput(*tool);
    EXPECT_THAT(withoutLogLines(tool->output()),
                HasSubstr("Write parameters to camera? (y/n): Please answer y or n.\n"
                          "Write parameters to camera? (y/n): \nWriting device parameters..."));
    EXPECT_EQ(tool->errors(), "");
    EXPECT_THAT(tool->output(), HasSubstr("  MAC Address:                001122334455\n"));
    EXPECT_EQ(factory.readMemory(DEVICE_PARAMETERS_ADDRESS, 256),
              expectedMemory(factoryRecord("SERIAL-OF-20-CH", 0x001122334455ULL)));
    EXPECT_EQ(deviceParameterWrites(other), 0u);
}

TEST_F(WriteParamsTest, RefusedMacKeepsTheCurrentOneAndNoOrTheEndOfInputCancels) {
    addCamera("QNFACT0001", FACTORY_IP, FACTORY_MAC);
    const std::string question = "Write parameters to camera? (y/n): ";
    const std::string again = "Please answer y or n.\n";
    struct Case {
        const char* answers; // the input ends after them
        std::string shown;   // from the question on
    };
    const Case cases[] = {
        {"n\n", question + "Operation cancelled.\n"},
        {"No\n", question + "Operation cancelled.\n"},
        {"\nmaybe\nNO\n", question + again + question + again + question + "Operation cancelled.\n"},
        {"\n\n", question + again + question + again + question + "\nOperation cancelled.\n"},
        {"", question + "\nOperation cancelled.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.answers));
        auto tool = startTool();
        ASSERT_TRUE(tool->waitForOutput("Enter new value", PROGRAM_TIMEOUT));
        tool->write("\nzz\n");
        ASSERT_TRUE(tool->waitForOutput(question, PROGRAM_TIMEOUT));
        tool->write(c.answers);
        tool->closeInput();
        EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), FAILURE_EXIT);
        drainOutput(*tool);
        EXPECT_EQ(tool->errors(), "Invalid MAC address format, keeping current.\n");
        const std::string out = withoutLogLines(tool->output());
        EXPECT_EQ(out.substr(out.find(question)), c.shown);
        EXPECT_THAT(out, HasSubstr("  MAC Address:                0050c258c100\n"));
    }
    EXPECT_EQ(deviceParameterWrites(*cameras[0]), 0u);
    EXPECT_EQ(cameras[0]->countRequests(WRITEMEM), 0u);
}

TEST_F(WriteParamsTest, FailuresEndWithOne) {
    // No camera at all.
    {
        auto tool = startTool();
        EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), FAILURE_EXIT);
        drainOutput(*tool);
        EXPECT_EQ(tool->errors(), "No Ethernet cameras found.\n");
        EXPECT_THAT(tool->output(), HasSubstr("Found Ethernet cameras:\n"));
    }
    // An index that is not a number is asked again, and the end of the input cancels.
    addCamera("QNA", "192.168.9.98", 0x0050C258C1AAULL);
    EthCameraSim& factory = addCamera("QNB", FACTORY_IP, FACTORY_MAC);
    {
        auto tool = startTool();
        ASSERT_TRUE(tool->waitForOutput("Enter camera index", PROGRAM_TIMEOUT));
        tool->write("abc\n2\n-1\n");
        tool->closeInput();
        EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), FAILURE_EXIT);
        drainOutput(*tool);
        EXPECT_EQ(tool->errors(), "");
        const std::string index = "\nEnter camera index [0-1]: ";
        const std::string refused = "Invalid input. Please enter a number between 0 and 1.\n";
        EXPECT_THAT(withoutLogLines(tool->output()),
                    HasSubstr(index + refused + index + refused + index + refused + index + "\nOperation cancelled.\n"));
    }
    // The camera stops answering before the write: no acknowledgement within the 5 s.
    {
        auto tool = startTool();
        ASSERT_TRUE(tool->waitForOutput("Enter camera index", PROGRAM_TIMEOUT));
        tool->write("\n\n\n"); // camera 0, keep serial and MAC
        ASSERT_TRUE(tool->waitForOutput("Write parameters to camera? (y/n): ", PROGRAM_TIMEOUT));
        // The picked camera is not the one at the factory address: the tool says where the record goes.
        EXPECT_THAT(withoutLogLines(tool->output()),
                    HasSubstr("Target camera: serial QNA, IP 192.168.9.98, model Tolvane.\n"
                              "Warning: this camera answers at 192.168.9.98, but the record is written to the "
                              "camera at the factory address 192.168.9.99.\n"
                              "Write parameters to camera? (y/n): "));
        factory.stop();
        tool->write("y\n");
        EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), FAILURE_EXIT);
        drainOutput(*tool);
        EXPECT_EQ(tool->errors(), "Failed to write device parameters.\n");
        EXPECT_THAT(tool->output(), HasSubstr("Failed to read response for write device parameters"));
        EXPECT_THAT(tool->output(), Not(HasSubstr("Done.")));
    }
}

// ---------------------------------------------------------------- IP configuration tool

class IpConfigTest : public testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = EthCameraLab::unavailableReason(); !why.empty()) {
            GTEST_SKIP() << why;
        }
        lab = std::make_unique<EthCameraLab>();
    }

    std::unique_ptr<ChildProcess> startTool() {
        return std::make_unique<ChildProcess>(programIn(lab->network().ns("host"), {IP_CONFIG_PROGRAM}));
    }

    // Answers one question after another, each once its prompt has appeared.
    static void answer(ChildProcess& tool, const std::vector<std::pair<std::string, std::string>>& dialogue) {
        std::vector<size_t> seen;
        for (const auto& [prompt, reply] : dialogue) {
            size_t count = 1;
            for (const auto& [earlier, unused] : dialogue) {
                if (&earlier == &prompt) {
                    break;
                }
                count += earlier == prompt ? 1 : 0;
            }
            ASSERT_TRUE(tool.waitForOutput(prompt, PROGRAM_TIMEOUT, count)) << "no prompt " << prompt << " in\n"
                                                                            << tool.output();
            tool.write(reply);
        }
    }

    std::unique_ptr<EthCameraLab> lab;
};

TEST_F(IpConfigTest, RefusedAnswersAreAskedAgainAndTheCameraAdoptsTheNewAddress) {
    EthCameraSim& camera = lab->addCamera("QNETH0001");
    auto tool = startTool();
    const std::string index = "\nEnter camera index to configure [0-0]: ";
    answer(*tool, {{index, "\n"},
                   {index, "abc\n"},
                   {index, "5\n"},
                   {index, "0\n"},
                   {"Enter new IP address [default: 192.0.2.11]: ", "192.0.2.50\n"},
                   {"Enter subnet mask [default: 255.255.255.0]: ", "\n"},
                   {"Enter gateway IP [default: 192.0.2.254]: ", "999.1.1.1\n"},
                   {"Enter gateway IP [default: 192.0.2.254]: ", "192.0.2.1\n"},
                   {"Apply this configuration? (y/n): ", " y\n"}});
    EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), 0);
    EXPECT_EQ(tool->errors(), "");
    const std::string out = withoutLogLines(tool->output());
    EXPECT_THAT(tool->output(), HasSubstr("] [info] ForceIP ACK received; configuration succeeded, MAC: "
                                          "0050c258c100, New IP: 192.0.2.50\n"));
    EXPECT_EQ(out.rfind("Eth Camera IP Config Tool.\nFound Ethernet cameras:\n"
                        "[0] Manufacturer: Quelnor, Serial: QNETH0001, Current IP: 192.0.2.11, Current Subnet Mask: "
                        "255.255.255.0, Current Gateway: 192.0.2.254\n",
                        0),
              0u);
    EXPECT_THAT(out, HasSubstr(index + "Input cannot be empty for camera selection.\n" + index +
                               "Invalid input. Please enter a number between 0 and 0.\n" + index +
                               "Invalid input. Please enter a number between 0 and 0.\n" + index + "Enter new IP"));
    EXPECT_THAT(out, HasSubstr("Enter gateway IP [default: 192.0.2.254]: Invalid gateway IP format. Please try again.\n"));
    EXPECT_THAT(out, HasSubstr("\n--- Configuration Summary ---\nCamera: Quelnor (Serial: QNETH0001)\n"
                               "New IP:       192.0.2.50\nSubnet Mask:  255.255.255.0\nGateway:      192.0.2.1\n"
                               "Target camera: serial QNETH0001, IP 192.0.2.11, model Tolvane.\n"
                               "\nApply this configuration? (y/n): IP configuration applied successfully!\n"));
    EXPECT_EQ(camera.logLines().back(), "FORCEIP 192.0.2.50 255.255.255.0 192.0.2.1");
    EXPECT_EQ(camera.currentIp(), "192.0.2.50");
    EXPECT_EQ(camera.currentGateway(), "192.0.2.1");
}

TEST_F(IpConfigTest, LeadingDigitsPickTheCameraAndEnterReappliesItsAddresses) {
    lab->addCamera("QNETH0001");
    EthCameraSim& second = lab->addCamera("QNETH0002");
    EthCameraSim& third = lab->addCamera("QNETH0003");
    auto tool = startTool();
    answer(*tool, {{"[0-2]: ", "1x\n"},
                   {"Enter new IP address [default: 192.0.2.12]: ", "\n"},
                   {"Enter subnet mask [default: 255.255.255.0]: ", "\n"},
                   {"Enter gateway IP [default: 192.0.2.254]: ", "\n"},
                   {"Apply this configuration? (y/n): ", "yes\n"}});
    EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), 0);
    EXPECT_THAT(tool->output(), HasSubstr("Camera: Quelnor (Serial: QNETH0002)\n"));
    EXPECT_EQ(second.countRequests(FORCEIP), 1u);
    EXPECT_EQ(second.logLines().back(), "FORCEIP 192.0.2.12 255.255.255.0 192.0.2.254");
    EXPECT_EQ(second.currentIp(), "192.0.2.12");
    // Force IP is a broadcast: the others hear it and ignore it, as it names another MAC.
    EXPECT_EQ(third.currentIp(), "192.0.2.13");
}

// The confirmation is read a whole line at a time: y, yes, n or no in any case; anything else asks
// again; the end of the input cancels.
TEST_F(IpConfigTest, TheConfirmationTakesWholeLineAnswers) {
    EthCameraSim& camera = lab->addCamera("QNETH0001");
    const std::string question = "\nApply this configuration? (y/n): ";
    const std::string again = "Please answer y or n.\n";
    struct Case {
        const char* answers; // the input ends after them
        int code;
        std::string shown; // from the question on
    };
    const Case cases[] = {
        {"yes\n", DONE_EXIT, question + "IP configuration applied successfully!\n"},
        {"\n Y \n", DONE_EXIT, question + again + question + "IP configuration applied successfully!\n"},
        {"yep\nn\n", FAILURE_EXIT, question + again + question + "Operation cancelled.\n"},
        {"NO\n", FAILURE_EXIT, question + "Operation cancelled.\n"},
        {"\n", FAILURE_EXIT, question + again + question + "\nOperation cancelled.\n"},
        {"", FAILURE_EXIT, question + "\nOperation cancelled.\n"},
    };
    size_t applied = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.answers));
        auto tool = startTool();
        // The camera's own addresses: an applied configuration leaves it where it is.
        answer(*tool, {{"[0-0]: ", "0\n"}, {"address", "\n"}, {"mask", "\n"}, {"gateway", "\n"}});
        ASSERT_TRUE(tool->waitForOutput(question, PROGRAM_TIMEOUT));
        tool->write(c.answers);
        tool->closeInput();
        EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), c.code);
        drainOutput(*tool);
        const std::string out = withoutLogLines(tool->output());
        EXPECT_EQ(out.substr(out.find(question)), c.shown);
        applied += c.code == DONE_EXIT ? 1 : 0;
        EXPECT_EQ(camera.countRequests(FORCEIP), applied);
    }
}

TEST_F(IpConfigTest, CancelledEndedOrFailedRunsEndWithOne) {
    EthCameraSim& camera = lab->addCamera("QNETH0001");
    // The input ends while a question is open: cancelled, not asked for ever.
    {
        auto tool = startTool();
        answer(*tool, {{"[0-0]: ", "\n"}});
        tool->closeInput();
        EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), FAILURE_EXIT);
        drainOutput(*tool);
        EXPECT_THAT(tool->output(), HasSubstr("Input cannot be empty for camera selection.\n"));
        EXPECT_THAT(tool->output(), HasSubstr("Operation cancelled.\n"));
    }
    EXPECT_EQ(camera.countRequests(FORCEIP), 0u);
    // The camera is gone by the time the request goes out: neither acknowledged nor rediscovered.
    {
        auto tool = startTool();
        answer(*tool, {{"[0-0]: ", "0\n"}, {"address", "192.0.2.77\n"}, {"mask", "\n"}, {"gateway", "\n"}});
        ASSERT_TRUE(tool->waitForOutput("(y/n): ", PROGRAM_TIMEOUT));
        lab->removeCamera("QNETH0001");
        tool->write("Y\n");
        EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), FAILURE_EXIT);
        drainOutput(*tool);
        EXPECT_EQ(tool->errors(), "Failed to apply IP configuration.\n");
        EXPECT_THAT(tool->output(), HasSubstr("ForceIP configuration was not applied after rediscovery verification"));
    }
    // No camera at all.
    {
        auto tool = startTool();
        EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), FAILURE_EXIT);
        drainOutput(*tool);
        EXPECT_EQ(tool->errors(), "No Ethernet cameras found.\n");
        EXPECT_EQ(tool->output(), "Eth Camera IP Config Tool.\nFound Ethernet cameras:\n");
    }
}

// ---------------------------------------------------------------- firmware update tool

std::vector<uint8_t> firmwareImage(size_t size) {
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < size; ++i) {
        image[i] = static_cast<uint8_t>((i * 131) ^ (i >> 8));
    }
    return image;
}

std::string writeFile(const TempDir& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir.file(name);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

class FirmwareToolTest : public IpConfigTest {
protected:
    std::unique_ptr<ChildProcess> startTool(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {FIRMWARE_PROGRAM};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<ChildProcess>(programIn(lab->network().ns("host"), argv));
    }
    TempDir dir;
};

TEST_F(FirmwareToolTest, TheFileIsWrittenChunkByChunkFromTheStartAddress) {
    EthCameraSim& camera = lab->addCamera("QNETH0001");
    const std::vector<uint8_t> image = firmwareImage(100 * 256 + 44); // 101 chunks: one progress line
    const std::string path = writeFile(dir, "camera-v2.bin", image);
    struct Case {
        std::vector<std::string> args;
        uint32_t address;
        const char* shown;
    };
    const Case cases[] = {
        {{path, "0x10000"}, 0x10000, "Start address: 0x10000\n"},
        {{path, "010"}, 8, "Start address: 0x8\n"},
        {{path}, 0, "Start address: 0x0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        camera.clearLog();
        const size_t writesBefore = camera.memoryWrites().size();
        auto tool = startTool(c.args);
        EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), 0);
        drainOutput(*tool);
        const std::string out = tool->output();
        EXPECT_EQ(out.rfind("Firmware update tool started.\nFirmware file path: " + path + "\n" + c.shown, 0), 0u);
        // Named before it is opened (opening already writes to it), and not asked for: it is the only one.
        const size_t named = out.find("Target camera: serial QNETH0001, IP 192.0.2.11, model Tolvane.\n");
        EXPECT_LT(named, out.find("Camera open success."));
        EXPECT_THAT(out, Not(HasSubstr("Which camera")));
        for (const char* line :
             {"Camera found: Quelnor : QNETH0001", "Ethernet camera found: QNETH0001", "Camera open success.",
              "Starting firmware update...",
              "This process may take several minutes. Please do not disconnect the camera.",
              "Firmware update completed successfully. Total packets: 101, Total bytes: 0x0000642c", "Camera firmware update success.",
              "Camera closed.",
              "\nFirmware update completed successfully!\nPlease restart the camera to apply the new firmware.\n"}) {
            EXPECT_THAT(out, HasSubstr(line));
        }
        char progress[96];
        std::snprintf(progress, sizeof progress, "Firmware update progress: 99.8%% (Packet 100, Address 0x%08x)\n",
                      c.address + 100 * 256);
        EXPECT_THAT(out, HasSubstr(progress));
        EXPECT_EQ(ChildProcess::countOf(out, "Firmware update progress"), 1u);
        EXPECT_EQ(camera.readMemory(c.address, image.size()), image);
        const auto writes = camera.memoryWrites();
        ASSERT_EQ(writes.size() - writesBefore, 101u);
        for (size_t i = 0; i < 101; ++i) {
            const MemoryWrite& w = writes[writesBefore + i];
            EXPECT_EQ(w.requestId, i);
            EXPECT_EQ(w.address, c.address + 256 * i);
            EXPECT_EQ(w.length, i < 100 ? 256u : 44u);
        }
    }
}

// What can be checked without a camera is checked before discovery: nothing reaches the camera.
TEST_F(FirmwareToolTest, RefusedFilesAndAddressesEndTheRunBeforeAnyDatagramIsSent) {
    EthCameraSim& camera = lab->addCamera("QNETH0001");
    const std::string missing = dir.file("missing.bin");
    const std::string folder = dir.file("folder.bin");
    ::mkdir(folder.c_str(), 0700);
    const std::string hex = writeFile(dir, "fw.hex", firmwareImage(10));
    const std::string empty = writeFile(dir, "empty.bin", {});
    const std::string large = writeFile(dir, "large.bin", firmwareImage(600));
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string why; // the first line on standard error
    };
    const Case cases[] = {
        {{missing}, FAILURE_EXIT, "The firmware file " + missing + " does not exist."},
        {{folder}, FAILURE_EXIT, "The firmware file " + folder + " is not a regular file."},
        {{hex}, FAILURE_EXIT, "The firmware file " + hex + " is not a .bin file; only .bin files are accepted."},
        {{empty}, FAILURE_EXIT, "The firmware file " + empty + " is empty."},
        {{large, "0xFFFFFF00"}, BAD_COMMAND_LINE_EXIT,
         "The firmware file " + large +
             " (600 bytes) does not fit into the camera's 32-bit address space from start address 0xffffff00."},
        {{missing, "12abc"}, BAD_COMMAND_LINE_EXIT,
         "The start address must be a number from 0 to 0xffffffff (decimal, 0x hexadecimal or 0 octal); got "
         "\"12abc\"."},
    };
    camera.clearLog();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        auto tool = startTool(c.args);
        EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), c.code);
        drainOutput(*tool);
        EXPECT_EQ(tool->errors().substr(0, tool->errors().find('\n')), c.why);
        EXPECT_EQ(tool->output(), "");
        EXPECT_EQ(camera.logLines(), std::vector<std::string>{}) << "the camera heard from the tool";
    }
    // The largest file that fits does go out.
    {
        auto tool = startTool({large, "0xFFFFFDA8"});
        EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), DONE_EXIT);
        EXPECT_EQ(camera.readMemory(0xFFFFFDA8u, 600), firmwareImage(600));
    }
}

TEST_F(FirmwareToolTest, MissingCamerasAndUnacknowledgedChunksFail) {
    const std::string failed = "\nFirmware update failed!\nPlease check the firmware file path and try again.\n";
    {
        auto tool = startTool({writeFile(dir, "fw.bin", firmwareImage(10))});
        EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), FAILURE_EXIT);
        drainOutput(*tool);
        EXPECT_THAT(tool->output(), HasSubstr("No Ethernet camera found."));
        EXPECT_THAT(tool->output(), HasSubstr(failed));
    }
    EthCameraSim& camera = lab->addCamera("QNETH0001");
    {
        auto tool = startTool({"--serial", "QNETH0009", writeFile(dir, "fw.bin", firmwareImage(10))});
        EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), FAILURE_EXIT);
        drainOutput(*tool);
        EXPECT_THAT(tool->output(), HasSubstr("No Ethernet camera with serial number QNETH0009 was found."));
        EXPECT_THAT(tool->output(), HasSubstr(failed));
        EXPECT_EQ(camera.countRequests(WRITEREG), 0u) << "the other camera was opened";
    }
    {
        camera.addReplyFault(ReplyFault(ReplyFault::Kind::BadStatus, WRITEMEM, 0x100u, 1));
        auto tool = startTool({writeFile(dir, "fw.bin", firmwareImage(600))});
        EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), FAILURE_EXIT);
        drainOutput(*tool);
        EXPECT_THAT(tool->output(), HasSubstr("Failed to parse response for packet 1 at address 0x00000100"));
        EXPECT_THAT(tool->output(), HasSubstr(failed));
        EXPECT_EQ(camera.countRequests(WRITEMEM), 2u) << "nothing goes out after the refused chunk";
    }
}

// With several cameras on the network and none named, the tool lists them and asks which one; only
// that one is opened and written.
TEST_F(FirmwareToolTest, SeveralCamerasAreOfferedAndOnlyTheChosenOneIsWritten) {
    EthCameraSim& first = lab->addCamera("QNETH0001");
    EthCameraSim& second = lab->addCamera("QNETH0002");
    const std::vector<uint8_t> image = firmwareImage(3 * 256 + 7);
    const std::string path = writeFile(dir, "fw.bin", image);
    const std::string list = "\nFound 2 Ethernet cameras:\n"
                             "[1] serial QNETH0001, IP 192.0.2.11, model Tolvane\n"
                             "[2] serial QNETH0002, IP 192.0.2.12, model Tolvane\n";
    const std::string question = "Which camera do you want to update? Enter its number [1-2]: ";
    const std::string refused = "The camera number must be a number between 1 and 2.\n";
    struct Case {
        std::vector<std::string> args;
        const char* answers; // the input ends after them
        int code;
        EthCameraSim* written; // none: cancelled
        std::string shown;     // after the start address line, without log lines
    };
    const Case cases[] = {
        {{path}, "\n0\n3\n2x\n 2 \n", DONE_EXIT, &second,
         list + question + question + refused + question + refused + question + refused + question +
             "Target camera: serial QNETH0002, IP 192.0.2.12, model Tolvane.\n"},
        {{path}, "1\n", DONE_EXIT, &first,
         list + question + "Target camera: serial QNETH0001, IP 192.0.2.11, model Tolvane.\n"},
        {{"-s", "QNETH0002", path}, "", DONE_EXIT, &second,
         "Target camera: serial QNETH0002, IP 192.0.2.12, model Tolvane.\n"},
        {{path}, "x\n", FAILURE_EXIT, nullptr,
         list + question + refused + question + "\nFirmware update cancelled: no camera was chosen.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args) + " " + testing::PrintToString(c.answers));
        for (EthCameraSim* camera : {&first, &second}) {
            camera->clearLog();
        }
        const size_t writes1 = first.memoryWrites().size();
        const size_t writes2 = second.memoryWrites().size();
        auto tool = startTool(c.args);
        tool->write(c.answers);
        tool->closeInput();
        EXPECT_EQ(tool->waitForExit(PROGRAM_TIMEOUT), c.code);
        drainOutput(*tool);
        const std::string out = withoutLogLines(tool->output());
        const std::string start = "Start address: 0x0\n";
        EXPECT_EQ(out.substr(out.find(start) + start.size(), c.shown.size()), c.shown);
        EXPECT_EQ(first.memoryWrites().size() - writes1, c.written == &first ? 4u : 0u);
        EXPECT_EQ(second.memoryWrites().size() - writes2, c.written == &second ? 4u : 0u);
        for (EthCameraSim* camera : {&first, &second}) {
            if (camera == c.written) {
                EXPECT_EQ(camera->readMemory(0, image.size()), image);
            } else {
                EXPECT_EQ(camera->countRequests(WRITEREG), 0u) << camera->config().serial << " was opened";
                EXPECT_FALSE(camera->controlTaken());
            }
        }
    }
}

} // namespace
