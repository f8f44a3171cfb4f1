// The transport-independent half of a data transfer: its buffer pool, the hand-over of filled
// buffers, and the factories' refusals.
#include "QuelnorHal/EventStream/DataTransfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "LogCapture.h"
#include "device/DeviceDouble.h"
#include "transfer/ScriptedDataTransfer.h"

using namespace quelnor;
using quelnor::test::DeviceDouble;
using quelnor::test::LogCapture;
using quelnor::test::ScriptedDataTransfer;

TEST(DataTransfer, PoolHoldsTenZeroedBuffersAndMakesMoreOnDemand) {
    ScriptedDataTransfer transfer(4096);
    EXPECT_EQ(transfer.rawEventSize(), 2u);
    std::vector<RawBuffer> held;
    for (int i = 0; i < 10; ++i) {
        held.push_back(transfer.takeBuffer(0));
        ASSERT_EQ(held.back()->size(), 4096u);
        EXPECT_TRUE(std::all_of(held.back()->begin(), held.back()->end(), [](uint8_t b) { return b == 0; }));
    }
    // All ten in use: a new one of the size asked for.
    held.push_back(transfer.takeBuffer(100));
    EXPECT_EQ(held.back()->size(), 100u);
    EXPECT_TRUE(transfer.hasAvailableBuffer());
}

TEST(DataTransfer, AReturnedBufferComesBackFirstWithTheSizeItHad) {
    ScriptedDataTransfer transfer(4096);
    RawBuffer a = transfer.takeBuffer(0);
    RawBuffer b = transfer.takeBuffer(0);
    std::vector<uint8_t>* const second = b.get();
    b->resize(17);
    b.reset();
    RawBuffer again = transfer.takeBuffer(0);
    EXPECT_EQ(again.get(), second);
    EXPECT_EQ(again->size(), 17u);
}

TEST(DataTransfer, HandsOnFilledBuffersAndNeverDropsOne) {
    // Even a transfer that drops when no buffer is left never drops: its pool makes new ones.
    ScriptedDataTransfer transfer(64, true);
    std::vector<RawBuffer> received;
    transfer.registerNewBufferCallback([&](RawBuffer buffer) { received.push_back(std::move(buffer)); });
    std::vector<RawBuffer> held;
    for (int i = 0; i < 25; ++i) {
        held.push_back(transfer.takeBuffer(64));
    }
    for (RawBuffer& buffer : held) {
        EXPECT_FALSE(transfer.handOver(buffer));
    }
    EXPECT_EQ(received.size(), 25u);
    // Empty buffers are released without a call.
    RawBuffer empty = transfer.takeBuffer(0);
    empty->clear();
    EXPECT_FALSE(transfer.handOver(empty));
    EXPECT_FALSE(transfer.handOver(nullptr));
    EXPECT_EQ(received.size(), 25u);
    // Without a callback a buffer is simply released.
    transfer.registerNewBufferCallback(nullptr);
    EXPECT_FALSE(transfer.handOver(transfer.takeBuffer(8)));
}

TEST(DataTransferFactory, RefusesWhatItCannotServe) {
    LogCapture log;
    EXPECT_EQ(createDataTransferUniquePtr(nullptr, 2, 131072, 20, USB_DATA_ENDPOINT), nullptr);

    auto mipi = std::make_shared<DeviceDouble>(Interface::MIPI);
    EXPECT_EQ(createDataTransferUniquePtr(mipi, 2, 131072, 20, USB_DATA_ENDPOINT), nullptr);

    // A USB transfer needs at least one transfer in flight; the buffer size is divided by it.
    auto usb = std::make_shared<DeviceDouble>(Interface::USB);
    log.clear();
    EXPECT_EQ(createDataTransferUniquePtr(usb, 2, 131072, 0, USB_DATA_ENDPOINT), nullptr);
    EXPECT_EQ(log.countAt(LOG_ERROR), 1);
    EXPECT_EQ(usb->log().size(), 0u);

    // Interfaces whose type says USB or Ethernet but that are not those classes are refused, not cast.
    EXPECT_EQ(createDataTransferUniquePtr(usb, 2, 131072, 20, USB_DATA_ENDPOINT), nullptr);
    auto eth = std::make_shared<DeviceDouble>(Interface::ETH);
    EXPECT_EQ(createDataTransferUniquePtr(eth, 2, 131072, 20, USB_DATA_ENDPOINT), nullptr);
}
