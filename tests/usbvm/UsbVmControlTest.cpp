// Control frames on the bulk endpoints and vendor requests on endpoint 0, through the kernel's usbfs
// to the camera gadgets.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "QuelnorHal/interface/UsbInterface.h"
#include "UsbVmRig.h"

using namespace quelnor;
using namespace usbvm;

namespace {

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof(two), "%02x", b);
        out += two;
    }
    return out;
}

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    }
    return bytes;
}

// The gadget acknowledges a vendor OUT request when it has read its data and hands the data to the
// model afterwards: what its control socket reports may lag the request by a moment.
std::string settled(GadgetControl& gadget, const std::string& request, const std::string& expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::string now = gadget.request(request);
    while (now != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        now = gadget.request(request);
    }
    return now;
}

// A file that lives as long as the object.
struct TempFile {
    explicit TempFile(const std::vector<uint8_t>& bytes) {
        char name[] = "/tmp/quelnor-usbvm-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) {
            throw std::runtime_error("mkstemp");
        }
        ::close(fd);
        path = name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
    }
    ~TempFile() { std::remove(path.c_str()); }
    std::string path;
};

} // namespace

TEST_F(UsbVm, RegisterFramesReachTheCamera) {
    const VmCamera& camera = textCamera();
    GadgetControl gadget(camera.socket);
    auto usb = open(camera);
    ASSERT_TRUE(usb);

    gadget.request("set-register 0x9008 0x1234");
    gadget.request("set-register 0x900c 0xabcdef01");
    gadget.request("set-register 0x9010 0x7");
    EXPECT_EQ(usb->readRegister(0x9008), 0x1234u);
    EXPECT_EQ(usb->readRegister(0x9008, 3), (std::vector<uint32_t>{0x1234, 0xabcdef01, 0x7}));

    usb->writeRegister(0x9020, 0xcafe0042);
    EXPECT_EQ(GadgetControl::number(gadget.request("register 0x9020")), 0xcafe0042u);
    EXPECT_EQ(usb->readRegister(0x9020), 0xcafe0042u);

    EXPECT_EQ(usb->getFirmwareVersion(), GadgetControl::number(camera.info.at("firmware")));
    EXPECT_EQ(usb->getBuildDate(), GadgetControl::number(camera.info.at("build")));
    EXPECT_EQ(usb->getDeviceCount(), GadgetControl::number(camera.info.at("devices")));
    EXPECT_TRUE(usb->isConnected());
}

TEST_F(UsbVm, AnAnswerThatDoesNotFitIsAnErrorAndTheNextExchangeWorks) {
    const VmCamera& camera = numberCamera();
    GadgetControl gadget(camera.socket);
    auto usb = open(camera);
    ASSERT_TRUE(usb);
    gadget.request("set-register 0x100 0x55");
    struct Case {
        const char* fault;
        const char* error;
    };
    for (const Case& c : {Case{"command-failed", "Error in control transfer"},
                          Case{"not-implemented", "Error in control transfer"},
                          Case{"property-mismatch", "Error in control transfer"},
                          Case{"wrong-address", "address mismatch"},
                          Case{"missing-value", "Not enough data in answer"}}) {
        gadget.request(std::string("fault ") + c.fault + " 1");
        try {
            usb->readRegister(0x100);
            ADD_FAILURE() << c.fault << ": no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.error) << c.fault;
        }
        EXPECT_EQ(usb->readRegister(0x100), 0x55u) << "after " << c.fault;
    }
}

TEST_F(UsbVm, VendorRequestsOnEndpointZero) {
    const VmCamera& camera = fusionCamera();
    GadgetControl gadget(camera.socket);
    auto usb = open(camera);
    ASSERT_TRUE(usb);

    std::vector<uint8_t> block = pattern(64, 3);
    EXPECT_EQ(usb->writeRegisterWithControlTransfer(0x0420, block.data(), static_cast<uint16_t>(block.size())), 0u);
    EXPECT_EQ(settled(gadget, "board 0x420", hex(block)), hex(block));
    std::vector<uint8_t> back(block.size());
    EXPECT_EQ(usb->readRegisterWithControlTransfer(0x0420, back.data(), static_cast<uint16_t>(back.size())), 0u);
    EXPECT_EQ(back, block);

    EXPECT_EQ(usb->writeRegisterWithControlTransfer(0x0010, 0x89abcdefu), 0u);
    uint32_t value = 0;
    EXPECT_EQ(usb->readRegisterWithControlTransfer(0x0010, value), 0u);
    EXPECT_EQ(value, 0x89abcdefu);

    // The calibration store: the largest file the camera holds, then a smaller one.
    for (size_t size : {size_t(UsbInterface::MAX_CALIBRATION_FILE_SIZE), size_t(1000)}) {
        const std::vector<uint8_t> calibration = pattern(size, static_cast<uint8_t>(size));
        TempFile file(calibration);
        EXPECT_TRUE(usb->writeCalibrationFile(file.path)) << size;
        EXPECT_EQ(settled(gadget, "calibration", hex(calibration)), hex(calibration)) << size;
        std::vector<uint8_t> read;
        EXPECT_TRUE(usb->readCalibrationData(read)) << size;
        EXPECT_EQ(read, calibration) << size;
    }
    TempFile tooLarge(pattern(UsbInterface::MAX_CALIBRATION_FILE_SIZE + 1, 9));
    const std::string before = gadget.request("calibration");
    EXPECT_FALSE(usb->writeCalibrationFile(tooLarge.path));
    EXPECT_EQ(gadget.request("calibration"), before);
}
