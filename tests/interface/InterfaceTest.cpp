#include <gtest/gtest.h>

#include <memory>

#include "QuelnorHal/interface/CameraDescription.h"
#include "QuelnorHal/interface/Interface.h"

namespace quelnor {
namespace {

// An interface that overrides nothing, to see the base behaviour.
class BareInterface : public Interface {
public:
    explicit BareInterface(InterfaceType type) : Interface(type) {}
};

TEST(InterfaceTypeText, NamesTheThreeTypesAndNothingElse) {
    EXPECT_EQ(to_string(INTERFACE_USB), "USB");
    EXPECT_EQ(to_string(INTERFACE_ETH), "ETH");
    EXPECT_EQ(to_string(INTERFACE_MIPI), "MIPI");
    EXPECT_EQ(to_string(static_cast<INTERFACE_TYPE>(3)), "UNDEFINED");
    EXPECT_EQ(to_string(static_cast<INTERFACE_TYPE>(-1)), "UNDEFINED");
}

TEST(InterfaceBase, AnswersNothingFoundForEveryOperation) {
    BareInterface bare(Interface::ETH);
    EXPECT_EQ(bare.getInterfaceType(), Interface::ETH);
    EXPECT_TRUE(bare.isConnected());
    bare.initByCamera({0x1234, 0x5678, 0x19});
    EXPECT_TRUE(bare.readRegister(0x10, 4).empty());
    EXPECT_EQ(bare.readRegister(0x10), 0u);
    bare.writeRegister(0x10, 1);

    uint8_t block[4] = {1, 2, 3, 4};
    EXPECT_EQ(bare.readRegisterWithControlTransfer(0x10, block, 4), 0u);
    EXPECT_EQ(block[0], 1);
    EXPECT_EQ(block[3], 4);
    uint32_t value = 77;
    EXPECT_EQ(bare.readRegisterWithControlTransfer(0x10, value), 0u);
    EXPECT_EQ(value, 77u);
    EXPECT_EQ(bare.writeRegisterWithControlTransfer(0x10, block, 4), 0u);
    EXPECT_EQ(bare.writeRegisterWithControlTransfer(0x10, 5u), 0u);

    EXPECT_FALSE(bare.writeCalibrationFile("/nonexistent"));
    std::vector<uint8_t> data{9};
    EXPECT_FALSE(bare.readCalibrationData(data));
    EXPECT_EQ(data, std::vector<uint8_t>{9});
    EXPECT_EQ(bare.getFirmwareVersion(), 0u);
    EXPECT_EQ(bare.getBuildDate(), 0u);
    EXPECT_EQ(bare.getDeviceCount(), 0u);

    uint32_t read = 5;
    EXPECT_TRUE(bare.tryReadRegister(0x10, read));
    EXPECT_EQ(read, 0u);
}

TEST(InterfaceBase, IsDestroyedThroughABasePointer) {
    struct Probe : Interface {
        explicit Probe(bool* flag) : Interface(USB), destroyed(flag) {}
        ~Probe() override { *destroyed = true; }
        bool* destroyed;
    };
    bool destroyed = false;
    std::unique_ptr<Interface> owner = std::make_unique<Probe>(&destroyed);
    owner.reset();
    EXPECT_TRUE(destroyed);
}

TEST(CameraDescription, StartsEmptyAndCopiesIndependently) {
    CameraDescription fresh;
    EXPECT_TRUE(fresh.serialNumber.empty());
    EXPECT_EQ(fresh.vendorId, 0);
    EXPECT_EQ(fresh.productId, 0);
    EXPECT_EQ(fresh.interfaceType, INTERFACE_USB);
    EXPECT_EQ(fresh.macAddress, 0u);
    for (const std::string& ip : fresh.ipAddresses) {
        EXPECT_TRUE(ip.empty());
    }

    CameraDescription source;
    source.serialNumber = "SN1";
    source.interfaceType = INTERFACE_ETH;
    source.ipAddresses = {"192.0.2.11", "192.0.2.1", "255.255.255.0", "192.0.2.254"};
    source.macAddress = 0x0011223344556677ull & 0xFFFFFFFFFFFFull;

    CameraDescription copy = source;
    copy.ipAddresses[2] = "255.255.0.0";
    EXPECT_EQ(source.ipAddresses[2], "255.255.255.0");
    EXPECT_EQ(copy.serialNumber, "SN1");
    EXPECT_EQ(copy.macAddress, 0x223344556677ull);

    CameraDescription moved = std::move(copy);
    EXPECT_EQ(moved.ipAddresses[2], "255.255.0.0");
    CameraDescription assigned;
    assigned = moved;
    EXPECT_EQ(assigned.interfaceType, INTERFACE_ETH);
}

} // namespace
} // namespace quelnor
