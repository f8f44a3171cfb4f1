#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "QuelnorHal/register/RegisterController.h"
#include "LogCapture.h"
#include "device/DeviceDouble.h"

namespace quelnor {
namespace {

using test::Access;
using test::AccessKind;
using test::DeviceDouble;
using ::testing::ElementsAre;
using R = RegisterInfo;

const RegisterInfo TABLE[] = {
    R::register_row("ctrl", 0x10),
    R::field_row("en", 0, 1),
    R::field_row("mode", 4, 3),
    R::alias_row("slow", 1),
    R::alias_row("fast", 6),
    R::field_row("level", 8, 8, 0x20),
    R::register_row("data", 0x14),
    R::register_row("pair", 0x18),
    R::field_row("low", 0, 16),
    R::field_row("high", 16, 16),
};
constexpr uint32_t TABLE_SIZE = sizeof(TABLE) / sizeof(TABLE[0]);

class RegisterControllerTest : public ::testing::Test {
protected:
    std::shared_ptr<DeviceDouble> dev = std::make_shared<DeviceDouble>(TABLE, TABLE_SIZE);
    RegisterController ctrl{dev, TABLE, TABLE_SIZE, "TEST/"};
};

template <typename F>
std::string errorOf(F&& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

TEST_F(RegisterControllerTest, DeviceStartsAtTheTableDefaults) {
    EXPECT_EQ(dev->peek("ctrl"), 0x2000u);
    EXPECT_EQ(dev->peekField("ctrl", "level"), 0x20u);
    EXPECT_EQ(dev->peek("data"), 0u);
}

TEST_F(RegisterControllerTest, WholeRegistersByName) {
    dev->poke("data", 0xCAFE);
    EXPECT_EQ(ctrl.readRegister("data"), 0xCAFEu);
    ctrl.writeRegister("data", 0x1234);
    EXPECT_EQ(dev->peek(0x14), 0x1234u);
    EXPECT_THAT(dev->log(), ElementsAre(Access{AccessKind::Read, 0x14, 0xCAFE, false},
                                        Access{AccessKind::Write, 0x14, 0x1234, false}));
    EXPECT_THAT(dev->decodedWrites(), ElementsAre("data = 0x1234"));
}

TEST_F(RegisterControllerTest, FieldWriteReadsThenWritesBackTheOtherBitsUnchanged) {
    dev->poke("ctrl", 0xFFFF0001);
    ctrl.writeRegisterField("ctrl", "mode", 5);
    EXPECT_THAT(dev->log(), ElementsAre(Access{AccessKind::Read, 0x10, 0xFFFF0001, false},
                                        Access{AccessKind::Write, 0x10, 0xFFFF0051, false}));
    EXPECT_THAT(dev->decodedWrites(true), ElementsAre("ctrl.mode = 0x5"));
    EXPECT_THAT(dev->decodedWrites(), ElementsAre("ctrl.en = 0x1", "ctrl.mode = 0x5", "ctrl.level = 0x0"));

    // too wide a value: only the field's bits
    ctrl.writeRegisterField("ctrl", "mode", 0xFF);
    EXPECT_EQ(dev->peek("ctrl"), 0xFFFF0071u);
    EXPECT_THAT(dev->fieldWrites("ctrl", "mode"), ElementsAre(5u, 7u));
}

TEST_F(RegisterControllerTest, FieldWriteByAlias) {
    ctrl.writeRegisterFieldByAlias("ctrl", "mode", "fast");
    EXPECT_EQ(dev->peekField("ctrl", "mode"), 6u);
    ctrl.writeRegisterFieldByAlias("ctrl", "mode", "slow");
    EXPECT_EQ(dev->peekField("ctrl", "mode"), 1u);
    EXPECT_EQ(dev->peekField("ctrl", "level"), 0x20u);
}

TEST_F(RegisterControllerTest, MissingAliasThrowsAndTouchesNothing) {
    EXPECT_EQ(errorOf([&] { ctrl.writeRegisterFieldByAlias("ctrl", "mode", "turbo"); }),
              "Register::Field: Alias not found");
    EXPECT_TRUE(dev->log().empty());
    EXPECT_EQ(dev->peek("ctrl"), 0x2000u);
}

TEST_F(RegisterControllerTest, NameErrorsOfWritesComeBeforeTheDeviceIsTouched) {
    EXPECT_EQ(errorOf([&] { ctrl.writeRegister("nope", 1); }), "RegisterController: Register not found");
    EXPECT_EQ(errorOf([&] { ctrl.readRegister("nope"); }), "RegisterController: Register not found");
    EXPECT_EQ(errorOf([&] { ctrl.writeRegisterField("nope", "en", 1); }), "RegisterController: Register not found");
    EXPECT_EQ(errorOf([&] { ctrl.writeRegisterField("ctrl", "nope", 1); }), "Register: Field not found");
    EXPECT_EQ(errorOf([&] { ctrl.writeRegisterFieldByAlias("ctrl", "nope", "fast"); }), "Register: Field not found");
    EXPECT_TRUE(dev->log().empty());
}

TEST_F(RegisterControllerTest, FieldReadReadsTheDeviceBeforeLookingUpTheField) {
    dev->poke("ctrl", 0x00004560);
    uint32_t value = 0;
    ctrl.readRegisterField("ctrl", "mode", value);
    EXPECT_EQ(value, 6u);
    ctrl.readRegisterField("ctrl", "level", value);
    EXPECT_EQ(value, 0x45u);
    dev->clearLog();

    value = 99;
    EXPECT_EQ(errorOf([&] { ctrl.readRegisterField("ctrl", "nope", value); }), "Register: Field not found");
    EXPECT_EQ(value, 99u);
    EXPECT_THAT(dev->log(), ElementsAre(Access{AccessKind::Read, 0x10, 0x4560, false}));
}

TEST_F(RegisterControllerTest, FailedReadOfAReadModifyWriteWritesNothing) {
    dev->poke("ctrl", 0x00000001);
    dev->failReads(1, 0x10);
    ctrl.writeRegisterField("ctrl", "mode", 3);
    EXPECT_THAT(dev->log(), ElementsAre(Access{AccessKind::Read, 0x10, 0, true}));
    EXPECT_EQ(dev->peek("ctrl"), 1u);

    // the next one goes through
    ctrl.writeRegisterField("ctrl", "mode", 3);
    EXPECT_EQ(dev->peek("ctrl"), 0x31u);

    dev->failReads(1);
    ctrl.applyRegisterOperation(RegisterOperation(0x10, 0xF00, 0xF00));
    EXPECT_EQ(dev->peek("ctrl"), 0x31u);
    EXPECT_EQ(dev->writeCount(0x10), 1u);
}

TEST_F(RegisterControllerTest, FailedFieldReadGivesTheFieldOfTheFailureValue) {
    dev->setFailedReadValue(0xFFFFFFFF);
    dev->failReads(1);
    uint32_t value = 0;
    ctrl.readRegisterField("ctrl", "mode", value);
    EXPECT_EQ(value, 7u);
}

TEST_F(RegisterControllerTest, ControlTransfersGoToTheControlPathByName) {
    dev->pokeControl(0x14, 0xABCD);
    uint32_t value = 0;
    EXPECT_EQ(ctrl.readRegisterWithControlTransfer("data", value), 0u);
    EXPECT_EQ(value, 0xABCDu);
    EXPECT_EQ(ctrl.writeRegisterWithControlTransfer("pair", 7u), 0u);
    EXPECT_EQ(dev->peekControl(0x18), 7u);
    EXPECT_EQ(dev->peek(0x18), 0u); // the plain path is another space

    uint8_t bytes[3] = {1, 2, 3};
    EXPECT_EQ(ctrl.writeRegisterDataWithControlTransfer("ctrl", bytes, 3), 0u);
    EXPECT_EQ(dev->controlBlock(0x10), (std::vector<uint8_t>{1, 2, 3}));
    uint8_t back[4] = {9, 9, 9, 9};
    EXPECT_EQ(ctrl.readRegisterWithControlTransfer("ctrl", back, 4), 0u);
    EXPECT_EQ(back[0], 1);
    EXPECT_EQ(back[2], 3);
    EXPECT_EQ(back[3], 0);

    dev->failControlTransfers(1);
    value = 5;
    EXPECT_NE(ctrl.readRegisterWithControlTransfer("data", value), 0u);
    EXPECT_EQ(value, 5u);
    EXPECT_THROW(ctrl.readRegisterWithControlTransfer("nope", value), std::runtime_error);
}

TEST_F(RegisterControllerTest, ControlTransfersWhileDisconnectedAnswerAllOnesWithoutLookingUp) {
    dev->setConnected(false);
    uint32_t value = 5;
    uint8_t bytes[2] = {1, 2};
    EXPECT_EQ(ctrl.readRegisterWithControlTransfer("nope", value), 0xFFFFFFFFu);
    EXPECT_EQ(ctrl.writeRegisterWithControlTransfer("nope", 1u), 0xFFFFFFFFu);
    EXPECT_EQ(ctrl.readRegisterWithControlTransfer("nope", bytes, 2), 0xFFFFFFFFu);
    EXPECT_EQ(ctrl.writeRegisterDataWithControlTransfer("data", bytes, 2), 0xFFFFFFFFu);
    EXPECT_EQ(value, 5u);
    EXPECT_TRUE(dev->log().empty());

    // the plain path does not ask
    ctrl.writeRegister("data", 3);
    EXPECT_EQ(dev->peek("data"), 3u);
}

TEST(RegisterOperationTest, ConstructorsChooseTheKind) {
    RegisterOperation none;
    EXPECT_EQ(none.type, 0u);
    RegisterOperation pause(250);
    EXPECT_EQ(pause.type, 4u);
    EXPECT_EQ(pause.delayUs, 250u);
    EXPECT_EQ(pause.address, 0u);
    RegisterOperation write(0x10, 0x5);
    EXPECT_EQ(write.type, 2u);
    EXPECT_EQ(write.mask, 0u);
    RegisterOperation masked(0x10, 0x5, 0xF);
    EXPECT_EQ(masked.type, 3u);
    EXPECT_EQ(masked.mask, 0xFu);
    EXPECT_EQ(masked.delayUs, 0u);
}

TEST_F(RegisterControllerTest, SequenceAppliesEachKindInOrder) {
    dev->poke(0x100, 0xFF00FF00);
    RegisterOperation read;
    read.type = RegisterOperation::READ;
    read.address = 0x104;
    RegisterOperation odd;
    odd.type = 9;
    odd.address = 0x108;
    ctrl.applyRegisterOperationSequence({
        RegisterOperation(0x100, 0x0F0F0F0F, 0x0000FFFF),
        read,
        RegisterOperation(0x104, 0x42),
        RegisterOperation(10),
        RegisterOperation(),
        odd,
    });
    EXPECT_THAT(dev->log(), ElementsAre(Access{AccessKind::Read, 0x100, 0xFF00FF00, false},
                                        Access{AccessKind::Write, 0x100, 0xFF000F0F, false},
                                        Access{AccessKind::Read, 0x104, 0, false},
                                        Access{AccessKind::Write, 0x104, 0x42, false}));
}

TEST_F(RegisterControllerTest, NothingIsAppliedWhileDisconnected) {
    dev->setConnected(false);
    ctrl.applyRegisterOperationSequence({RegisterOperation(0x100, 1), RegisterOperation(0x100, 1, 1),
                                         RegisterOperation(200000)});
    EXPECT_TRUE(dev->log().empty());
}

// Connected for the first few questions only: a camera lost in the middle of a sequence.
class LosingDevice : public DeviceDouble {
public:
    explicit LosingDevice(int answers) : m_answers(answers) {}
    bool isConnected() const override { return m_answers.fetch_sub(1) > 0; }

private:
    mutable std::atomic<int> m_answers;
};

TEST(RegisterControllerSequence, CameraLostMidwaySkipsTheRest) {
    auto dev = std::make_shared<LosingDevice>(2);
    RegisterController ctrl(dev, TABLE, TABLE_SIZE, "");
    ctrl.applyRegisterOperationSequence(
        {RegisterOperation(0x100, 1), RegisterOperation(0x104, 2), RegisterOperation(0x108, 3)});
    EXPECT_THAT(dev->log(), ElementsAre(Access{AccessKind::Write, 0x100, 1, false},
                                        Access{AccessKind::Write, 0x104, 2, false}));
}

TEST_F(RegisterControllerTest, PausesLastAtLeastTheRequestedMicroseconds) {
    for (uint32_t us : {200u, 300u, 500u, 999u, 1000u, 2500u}) {
        auto begin = std::chrono::steady_clock::now();
        ctrl.applyRegisterOperation(RegisterOperation(us));
        auto elapsed = std::chrono::steady_clock::now() - begin;
        EXPECT_GE(elapsed, std::chrono::microseconds(us)) << us;
    }
    EXPECT_TRUE(dev->log().empty());
}

TEST_F(RegisterControllerTest, CopiesShareInterfaceAndMap) {
    RegisterController copy = ctrl;
    copy.writeRegisterField("pair", "high", 0xBEEF);
    EXPECT_EQ(dev->peekField("pair", "high"), 0xBEEFu);
    EXPECT_EQ(copy.getInterface(), ctrl.getInterface());
    RegisterController moved = std::move(copy);
    moved.writeRegister("data", 1);
    EXPECT_EQ(dev->peek("data"), 1u);
}

TEST_F(RegisterControllerTest, ConcurrentFieldWritesToOneRegisterLoseNothing) {
    constexpr uint32_t ROUNDS = 3000;
    RegisterController other = ctrl; // a copy shares the lock
    std::thread low([&] {
        for (uint32_t i = 1; i <= ROUNDS; ++i) {
            ctrl.writeRegisterField("pair", "low", i);
        }
    });
    std::thread high([&] {
        for (uint32_t i = 1; i <= ROUNDS; ++i) {
            other.writeRegisterField("pair", "high", i);
            other.applyRegisterOperation(RegisterOperation(0x10, i & 1, 0x1));
        }
    });
    low.join();
    high.join();
    EXPECT_EQ(dev->peekField("pair", "low"), ROUNDS);
    EXPECT_EQ(dev->peekField("pair", "high"), ROUNDS);
    EXPECT_EQ(dev->peekField("ctrl", "en"), ROUNDS & 1);
    // every write kept the other field's latest value: the low half never went backwards
    std::vector<uint32_t> lows = dev->fieldWrites("pair", "low");
    for (size_t i = 1; i < lows.size(); ++i) {
        ASSERT_GE(lows[i], lows[i - 1]) << i;
    }
}

// Writes that report their outcome: a write or read the device did not confirm gives false and an
// error line naming the register; a sequence stops at the first such step.
TEST_F(RegisterControllerTest, CheckedWritesReportUnconfirmedWritesByRegisterName) {
    test::LogCapture logs;
    EXPECT_TRUE(ctrl.tryWriteRegister("data", 7));
    EXPECT_TRUE(ctrl.tryWriteRegisterField("pair", "high", 3));
    EXPECT_EQ(dev->peek(0x18) >> 16, 3u);

    dev->failWrites(1, 0x14);
    EXPECT_FALSE(ctrl.tryWriteRegister("data", 8));
    EXPECT_TRUE(logs.has(LOG_ERROR, "Write of register data (0x14) value 0x8 was not confirmed"));
    dev->failReads(1, 0x18);
    EXPECT_FALSE(ctrl.tryWriteRegisterField("pair", "low", 1));

    const std::vector<RegisterOperation> sequence = {RegisterOperation(0x10, 0x1), RegisterOperation(0x14, 0x2),
                                                     RegisterOperation(0x18, 0x30, 0xF0), RegisterOperation(0x1C, 4)};
    struct Case {
        const char* name;
        std::optional<uint32_t> failedWrite;
        std::optional<uint32_t> failedRead;
        bool connected;
        size_t writesDone;
        const char* line;
    };
    const Case cases[] = {
        {"all confirmed", {}, {}, true, 4, nullptr},
        {"second write lost", 0x14u, {}, true, 1, "Write of register data (0x14) value 0x2 was not confirmed"},
        {"masked write's read lost", {}, 0x18u, true, 2, "Failed to read register 0x18, nothing written back"},
        {"an address with no name", 0x1Cu, {}, true, 3, "Write of register 0x1C value 0x4 was not confirmed"},
        {"not connected", {}, {}, false, 0,
         "Register sequence stopped at register ctrl (0x10): the device is not connected"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture caseLogs;
        dev->clearLog();
        dev->setConnected(c.connected);
        if (c.failedWrite) {
            dev->failWrites(1, *c.failedWrite);
        }
        if (c.failedRead) {
            dev->failReads(1, *c.failedRead);
        }
        EXPECT_EQ(ctrl.tryApplyRegisterOperationSequence(sequence), c.line == nullptr);
        size_t writes = 0;
        for (const auto& a : dev->log()) {
            writes += a.kind == test::AccessKind::Write && !a.failed;
        }
        EXPECT_EQ(writes, c.writesDone);
        if (c.line != nullptr) {
            EXPECT_TRUE(caseLogs.has(LOG_ERROR, c.line));
        }
        dev->setConnected(true);
    }
}

} // namespace
} // namespace quelnor
