#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/i2c.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "MipiBoard.h"
#include "QuelnorHal/register/RegisterController.h"
#include "QuelnorHal/register/RegisterInfo.h"

namespace quelnor {
namespace {

using test::MipiBoard;
using test::mipisim::SimI2cBus;
using Message = SimI2cBus::Message;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t SENSOR = 0x3C;
constexpr uint16_t FRAME_BOARD = 0x36;
constexpr uint32_t FAILED = 0xFFFFFFFFu;

Message writeOf(uint16_t slave, Bytes bytes) { return {slave, 0, std::move(bytes)}; }
Message readOf(uint16_t slave, Bytes answered) { return {slave, I2C_M_RD, std::move(answered)}; }

class OndrikProRegisters : public testing::Test {
protected:
    MipiBoard board;
};

TEST_F(OndrikProRegisters, ReadIsAnAddressWriteAndARepeatedStartRead) {
    board.sensor->poke(0x12345678, {0xDE, 0xAD, 0xBE, 0xEF});
    auto interface = board.makeInterface();

    EXPECT_EQ(interface->readRegister(0x12345678), 0xDEADBEEFu);

    const auto transfers = board.registerBus->transfers();
    ASSERT_EQ(transfers.size(), 1u); // one request: both messages joined by a repeated start
    EXPECT_THAT(transfers[0], testing::ElementsAre(writeOf(SENSOR, {0x12, 0x34, 0x56, 0x78}),
                                                   readOf(SENSOR, {0xDE, 0xAD, 0xBE, 0xEF})));
    EXPECT_TRUE(board.blockBus->transfers().empty());
    EXPECT_EQ(board.registerBus->openFiles(), 0); // each transfer opens and closes the node
}

struct PackingCase {
    const char* name;
    uint8_t addressWidth;
    uint8_t valueWidth;
    uint32_t address;
    uint32_t value;
    Bytes sent; // the write message: address bytes, then value bytes
    uint32_t readBack;
};

class OndrikProPacking : public testing::TestWithParam<PackingCase> {};

TEST_P(OndrikProPacking, AddressAndValueGoMostSignificantByteFirst) {
    const PackingCase& c = GetParam();
    MipiBoard board;
    board.config.registerTarget.addressWidth = c.addressWidth;
    board.config.registerTarget.valueWidth = c.valueWidth;
    board.registerBus->addRegisterDevice(SENSOR, c.addressWidth); // replaces the device with this pointer width
    auto interface = board.makeInterface();

    interface->writeRegister(c.address, c.value);
    auto transfers = board.registerBus->transfers();
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_THAT(transfers[0], testing::ElementsAre(writeOf(SENSOR, c.sent)));

    board.registerBus->clearTransfers();
    EXPECT_EQ(interface->readRegister(c.address), c.readBack);
    transfers = board.registerBus->transfers();
    ASSERT_EQ(transfers.size(), 1u);
    ASSERT_EQ(transfers[0].size(), 2u);
    EXPECT_EQ(transfers[0][0].data, Bytes(c.sent.begin(), c.sent.begin() + c.addressWidth));
    EXPECT_EQ(transfers[0][1].data.size(), c.valueWidth);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, OndrikProPacking,
    testing::Values(
        PackingCase{"FourAndFour", 4, 4, 0x00A0B0C0, 0x12345678, {0x00, 0xA0, 0xB0, 0xC0, 0x12, 0x34, 0x56, 0x78},
                    0x12345678},
        PackingCase{"ValueWidthTwoKeepsTheLowBytes", 4, 2, 0x10, 0x11223344, {0x00, 0x00, 0x00, 0x10, 0x33, 0x44},
                    0x3344},
        PackingCase{"OneByteEach", 1, 1, 0x1AB, 0xCDEF, {0xAB, 0xEF}, 0xEF},
        PackingCase{"TwoAddressBytesThreeValueBytes", 2, 3, 0x0102, 0xAABBCCDD, {0x01, 0x02, 0xBB, 0xCC, 0xDD},
                    0xBBCCDD},
        PackingCase{"ThreeAddressBytes", 3, 4, 0xFF123456, 0x01020304, {0x12, 0x34, 0x56, 0x01, 0x02, 0x03, 0x04},
                    0x01020304}),
    [](const testing::TestParamInfo<PackingCase>& info) { return info.param.name; });

TEST_F(OndrikProRegisters, OneByteValuesReadAsThatByte) {
    board.config.registerTarget.valueWidth = 1;
    board.sensor->poke(0x40, {0xAB, 0xCD});
    EXPECT_EQ(board.makeInterface()->readRegister(0x40), 0xABu);
}

TEST_F(OndrikProRegisters, BlockReadStepsByTheValueWidth) {
    board.sensor->pokeValue(0x100, 0x11111111, 4);
    board.sensor->pokeValue(0x104, 0x22222222, 4);
    board.sensor->pokeValue(0x108, 0x33333333, 4);
    board.sensor->pokeValue(0x10C, 0x44444444, 4);
    auto interface = board.makeInterface();

    EXPECT_THAT(interface->readRegister(0x100, 3), testing::ElementsAre(0x11111111u, 0x22222222u, 0x33333333u));
    const auto transfers = board.registerBus->transfers();
    ASSERT_EQ(transfers.size(), 3u);
    EXPECT_EQ(transfers[0][0].data, (Bytes{0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(transfers[1][0].data, (Bytes{0x00, 0x00, 0x01, 0x04}));
    EXPECT_EQ(transfers[2][0].data, (Bytes{0x00, 0x00, 0x01, 0x08}));

    board.registerBus->clearTransfers();
    EXPECT_TRUE(interface->readRegister(0x100, 0).empty());
    EXPECT_TRUE(interface->readRegister(0x100, -2).empty());
    EXPECT_TRUE(board.registerBus->transfers().empty());
}

TEST_F(OndrikProRegisters, WithoutTheRepeatedStartFlagTheAddressAndTheReadAreSeparateTransfers) {
    board.config.registerTarget.flag = 0;
    board.sensor->pokeValue(0x20, 0xCAFEF00D, 4);
    auto interface = board.makeInterface();

    EXPECT_EQ(interface->readRegister(0x20), 0xCAFEF00Du);
    const auto transfers = board.registerBus->transfers();
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_THAT(transfers[0], testing::ElementsAre(writeOf(SENSOR, {0x00, 0x00, 0x00, 0x20})));
    EXPECT_THAT(transfers[1], testing::ElementsAre(readOf(SENSOR, {0xCA, 0xFE, 0xF0, 0x0D})));
}

TEST_F(OndrikProRegisters, BlockTransfersReachTheSecondTarget) {
    board.frameBoard->poke(0x3000, {1, 2, 3, 4, 5});
    auto interface = board.makeInterface();

    Bytes read(5, 0);
    EXPECT_EQ(interface->readRegisterWithControlTransfer(0x3000, read.data(), 5), 0u);
    EXPECT_EQ(read, (Bytes{1, 2, 3, 4, 5}));
    Bytes written{0xA1, 0xA2, 0xA3};
    EXPECT_EQ(interface->writeRegisterWithControlTransfer(0x3010, written.data(), 3), 0u);
    EXPECT_EQ(board.frameBoard->peek(0x3010, 3), written);

    const auto transfers = board.blockBus->transfers();
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_THAT(transfers[0], testing::ElementsAre(writeOf(FRAME_BOARD, {0x30, 0x00}),
                                                   readOf(FRAME_BOARD, {1, 2, 3, 4, 5})));
    EXPECT_THAT(transfers[1], testing::ElementsAre(writeOf(FRAME_BOARD, {0x30, 0x10, 0xA1, 0xA2, 0xA3})));
    EXPECT_TRUE(board.registerBus->transfers().empty());
}

TEST_F(OndrikProRegisters, NoDataOrNoLengthIsRefusedWithoutTouchingTheBus) {
    auto interface = board.makeInterface();
    Bytes data(4, 0x55);
    EXPECT_EQ(interface->readRegisterWithControlTransfer(0x10, nullptr, 4), FAILED);
    EXPECT_EQ(interface->readRegisterWithControlTransfer(0x10, data.data(), 0), FAILED);
    EXPECT_EQ(interface->writeRegisterWithControlTransfer(0x10, nullptr, 4), FAILED);
    EXPECT_EQ(interface->writeRegisterWithControlTransfer(0x10, data.data(), 0), FAILED);
    EXPECT_TRUE(board.blockBus->transfers().empty());
    EXPECT_EQ(data, Bytes(4, 0x55));
}

TEST_F(OndrikProRegisters, SingleValueControlTransfersAreFourByteBlocksOfTheFrameBoard) {
    auto interface = board.makeInterface();
    // Neighbouring registers, as the board's table has them (exposure switch, shutter).
    EXPECT_EQ(interface->writeRegisterWithControlTransfer(0x5001, 1u), 0u);
    EXPECT_EQ(interface->writeRegisterWithControlTransfer(0x5002, 0x00012345u), 0u);
    EXPECT_EQ(board.frameBoard->peek(0x5001, 4), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(board.frameBoard->peek(0x5002, 4), (Bytes{0x00, 0x01, 0x23, 0x45}));

    board.frameBoard->pokeValue(0x5006, 0xA1B2C3D4, 4);
    uint32_t value = 7;
    EXPECT_EQ(interface->readRegisterWithControlTransfer(0x5006, value), 0u);
    EXPECT_EQ(value, 0xA1B2C3D4u);
    EXPECT_EQ(interface->readRegisterWithControlTransfer(0x5001, value), 0u);
    EXPECT_EQ(value, 1u);

    const auto transfers = board.blockBus->transfers();
    ASSERT_EQ(transfers.size(), 4u);
    EXPECT_THAT(transfers[1], testing::ElementsAre(writeOf(FRAME_BOARD, {0x50, 0x02, 0x00, 0x01, 0x23, 0x45})));
    EXPECT_THAT(transfers[2], testing::ElementsAre(writeOf(FRAME_BOARD, {0x50, 0x06}),
                                                   readOf(FRAME_BOARD, {0xA1, 0xB2, 0xC3, 0xD4})));
    EXPECT_TRUE(board.registerBus->transfers().empty());

    // A failed read reports it and leaves the value as it was; a failed write says so too.
    test::LogCapture log;
    board.blockBus->failNextTransfers(2, EREMOTEIO);
    value = 99;
    EXPECT_EQ(interface->readRegisterWithControlTransfer(0x5006, value), FAILED);
    EXPECT_EQ(value, 99u);
    EXPECT_EQ(interface->writeRegisterWithControlTransfer(0x5006, 5u), FAILED);
    EXPECT_EQ(board.frameBoard->peekValue(0x5006, 4), 0xA1B2C3D4u);
    EXPECT_EQ(log.countAt(LOG_ERROR), 2);
}

// A failed transfer: single reads answer 0 and writes nothing, but both say so in the log; callers that
// can see a result (tryReadRegister, the block operations) get the failure.
TEST_F(OndrikProRegisters, FailedTransfersAreLoggedAndReportedWhereTheCallerCanSeeThem) {
    board.sensor->pokeValue(0x10, 0x12345678, 4);
    board.frameBoard->poke(0x10, {9});
    auto interface = board.makeInterface();
    test::LogCapture log;

    board.registerBus->failNextTransfers(1, EREMOTEIO);
    EXPECT_EQ(interface->readRegister(0x10), 0u);
    EXPECT_EQ(log.countAt(LOG_ERROR), 1);

    board.registerBus->failNextTransfers(1, EREMOTEIO);
    uint32_t value = 99;
    EXPECT_FALSE(interface->tryReadRegister(0x10, value));
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(interface->tryReadRegister(0x10, value));
    EXPECT_EQ(value, 0x12345678u);

    board.registerBus->removeDevice(SENSOR); // nobody acknowledges the address
    log.clear();
    interface->writeRegister(0x10, 1);
    EXPECT_EQ(log.countAt(LOG_ERROR), 1);

    board.blockBus->failNextTransfers(2, EIO);
    uint8_t byte = 0;
    EXPECT_EQ(interface->readRegisterWithControlTransfer(0x10, &byte, 1), FAILED);
    EXPECT_EQ(interface->writeRegisterWithControlTransfer(0x10, &byte, 1), FAILED);
    EXPECT_EQ(interface->readRegisterWithControlTransfer(0x10, &byte, 1), 0u);
    EXPECT_EQ(byte, 9);

    board.io->removeDevice(board.config.registerTarget.devicePath);
    log.clear();
    EXPECT_EQ(interface->readRegister(0x10), 0u);
    ASSERT_EQ(log.countAt(LOG_ERROR), 1);
    EXPECT_NE(log.lines().back().text.find(board.config.registerTarget.devicePath), std::string::npos);
}

TEST_F(OndrikProRegisters, AFieldWriteAfterAFailedReadWritesNothingBack) {
    board.sensor->pokeValue(0x10, 0xF0F0F0F0, 4);
    auto interface = board.makeInterface();
    const RegisterInfo table[] = {RegisterInfo::register_row("ctrl", 0x10), RegisterInfo::field_row("mode", 4, 4)};
    RegisterController controller(interface, table, 2, "");

    board.registerBus->failNextTransfers(1, EREMOTEIO);
    controller.writeRegisterField("ctrl", "mode", 0x5);
    EXPECT_EQ(board.sensor->peekValue(0x10, 4), 0xF0F0F0F0u); // not 0x00000050 from a read answered as 0

    controller.writeRegisterField("ctrl", "mode", 0x5);
    EXPECT_EQ(board.sensor->peekValue(0x10, 4), 0xF0F0F050u);
}

TEST_F(OndrikProRegisters, TransfersBeyondWhatTheBusCarriesFail) {
    auto interface = board.makeInterface();
    // i2c-dev refuses messages above 8192 bytes.
    Bytes big(SimI2cBus::MAX_MESSAGE_BYTES + 1, 0);
    EXPECT_EQ(interface->readRegisterWithControlTransfer(0, big.data(), static_cast<uint16_t>(big.size())), FAILED);
    // Address bytes and data must fit one message.
    Bytes huge(0xFFFF, 0);
    EXPECT_EQ(interface->writeRegisterWithControlTransfer(0, huge.data(), 0xFFFF), FAILED);
    EXPECT_TRUE(board.blockBus->transfers().empty());
}

TEST_F(OndrikProRegisters, ConnectedExactlyWhenBothVideoNodesAndBothI2cNodesArePresent) {
    auto interface = board.makeInterface();
    EXPECT_TRUE(interface->isConnected());
    // The subdevice is not part of the answer.
    board.io->removeDevice(board.config.subdevicePath);
    EXPECT_TRUE(interface->isConnected());

    for (const std::string& path : {board.config.dvsStream.devicePath, board.config.apsStream.devicePath,
                                    board.config.registerTarget.devicePath, board.config.blockTarget.devicePath}) {
        MipiBoard other;
        auto missing = other.makeInterface();
        other.io->removeDevice(path);
        EXPECT_FALSE(missing->isConnected()) << path;
    }
}

TEST(OndrikProNodes, RegularFilesAreNotDeviceNodes) {
    test::mipisim::TempDir dir;
    OndrikProInterface::Config config;
    for (std::string* path : {&config.dvsStream.devicePath, &config.apsStream.devicePath,
                              &config.registerTarget.devicePath, &config.blockTarget.devicePath}) {
        *path = dir.path() + "/node" + std::to_string(path - &config.dvsStream.devicePath);
        FILE* file = std::fopen(path->c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fclose(file);
    }
    EXPECT_FALSE(OndrikProInterface::create(config)->isConnected());
}

// Without the repeated start a read is two requests; the bus lock keeps another thread's transfer from
// moving the device's register pointer between them.
TEST_F(OndrikProRegisters, ConcurrentRegisterAndBlockAccessStaysConsistent) {
    board.config.registerTarget.flag = 0;
    board.config.blockTarget.flag = 0;
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 100;
    for (int t = 0; t < THREADS; ++t) {
        board.sensor->pokeValue(0x1000 + 4 * t, 0x01010101u * (t + 1), 4);
    }
    board.frameBoard->poke(0x200, {7, 8, 9, 10});
    board.registerBus->setPauseAfterTransfer(std::chrono::microseconds(20));
    auto interface = board.makeInterface();

    std::vector<int> errors(THREADS + 1, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            const uint32_t address = 0x1000 + 4 * t;
            const uint32_t expected = 0x01010101u * (t + 1);
            for (int i = 0; i < ROUNDS; ++i) {
                if (interface->readRegister(address) != expected) {
                    ++errors[t];
                }
                interface->writeRegister(address, expected);
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < ROUNDS; ++i) {
            Bytes data(4, 0);
            if (interface->readRegisterWithControlTransfer(0x200, data.data(), 4) != 0 ||
                data != Bytes{7, 8, 9, 10}) {
                ++errors[THREADS];
            }
        }
    });
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_THAT(errors, testing::Each(0));
}

} // namespace
} // namespace quelnor
