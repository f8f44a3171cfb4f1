// The value types that cross every library boundary; mostly ApsFrame, which shares or borrows its
// pixels and must never read or free memory that is not its own.
#include "QuelnorBase/ApsFrame.h"
#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"
#include "QuelnorBase/QnStatisticInfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

using namespace quelnor;

TEST(EventTriggerIn, TakesItsArgumentsAsIdPolarityTime) {
    const EventTriggerIn t(3, 1, 500);
    EXPECT_EQ(t.id, 3);
    EXPECT_EQ(t.polarity, 1);
    EXPECT_EQ(t.timestamp, 500u);
    EventTriggerIn copy;
    EXPECT_EQ(copy, EventTriggerIn(0, 0, 0));
    copy = t;
    EXPECT_EQ(copy, t);
    const QnStatisticInfo stats(131072, 4000);
    EXPECT_EQ(stats.dataBandwidth, 131072u);
    EXPECT_EQ(stats.eventCount, 4000u);
}

TEST(ApsFrame, DefaultIsABlack3840x2160Frame) {
    const ApsFrame frame;
    EXPECT_EQ(frame.width(), 3840);
    EXPECT_EQ(frame.height(), 2160);
    EXPECT_EQ(frame.pixelType(), 0);
    EXPECT_EQ(frame.startTimestamp, 0u);
    EXPECT_EQ(frame.endTimestamp, 0u);
    ASSERT_EQ(frame.getDataSize(), 3840u * 2160u * 3u);
    EXPECT_TRUE(std::all_of(frame.data(), frame.data() + frame.getDataSize(), [](uint8_t b) { return b == 0; }));
}

TEST(ApsFrame, CopiesShareThePixelsAndCloneCopiesThem) {
    ApsFrame frame(4, 2, 10, 20);
    ApsFrame copy(frame);
    ApsFrame assigned(1, 1);
    assigned = frame;
    const ApsFrame clone = frame.clone();
    frame.data()[5] = 0x7E;
    EXPECT_EQ(copy.data()[5], 0x7E);
    EXPECT_EQ(assigned.data()[5], 0x7E);
    EXPECT_EQ(clone.data()[5], 0);
    EXPECT_EQ(assigned.width(), 4);
    EXPECT_EQ(assigned.height(), 2);
    EXPECT_EQ(assigned.startTimestamp, 10u);
    EXPECT_EQ(clone.endTimestamp, 20u);

    ApsFrame& self = assigned;
    assigned = self;
    EXPECT_EQ(assigned.data(), frame.data());
}

TEST(ApsFrame, BorrowedMemoryIsLeftAloneAndCopiedMemoryIsCopiedExactly) {
    std::vector<uint8_t> memory(2 * 2 * 3 + 5, 0x11);
    {
        ApsFrame borrowed(2, 2, 0, 0, memory.data(), memory.size(), false);
        EXPECT_EQ(borrowed.data(), memory.data());
        borrowed.data()[0] = 0x22;
        EXPECT_EQ(memory[0], 0x22);
    } // the frame must not free the caller's bytes (ASan checks)
    ApsFrame copied(2, 2, 0, 0, memory.data(), memory.size(), true);
    EXPECT_NE(copied.data(), memory.data());
    EXPECT_TRUE(std::equal(copied.data(), copied.data() + 12, memory.data()));
    memory[1] = 0x33;
    EXPECT_EQ(copied.data()[1], 0x11);
}

TEST(ApsFrame, ABorrowedVectorLivesAsLongAsAFrameHoldsIt) {
    auto vector = std::make_shared<std::vector<uint8_t>>(3 * 3 * 3, 0x44);
    const std::weak_ptr<std::vector<uint8_t>> watch = vector;
    ApsFrame frame(3, 3, 1, 2, vector);
    EXPECT_EQ(frame.data(), vector->data());
    vector.reset();
    ASSERT_FALSE(watch.expired());
    EXPECT_EQ(frame.data()[26], 0x44);
    {
        const ApsFrame copy = frame;
        frame = ApsFrame(1, 1);
        EXPECT_FALSE(watch.expired());
        EXPECT_EQ(copy.data()[0], 0x44);
    }
    EXPECT_TRUE(watch.expired());
}

TEST(ApsFrame, RefusesCallerDataSmallerThanTheFrame) {
    std::vector<uint8_t> memory(4 * 4 * 3 - 1);
    EXPECT_THROW(ApsFrame(4, 4, 0, 0, memory.data(), memory.size(), true), std::invalid_argument);
    EXPECT_THROW(ApsFrame(4, 4, 0, 0, memory.data(), memory.size(), false), std::invalid_argument);
    EXPECT_THROW(ApsFrame(4, 4, 0, 0, nullptr, 48, true), std::invalid_argument);
    EXPECT_THROW(ApsFrame(4, 4, 0, 0, std::make_shared<std::vector<uint8_t>>(47)), std::invalid_argument);
    EXPECT_THROW(ApsFrame(4, 4, 0, 0, std::shared_ptr<std::vector<uint8_t>>()), std::invalid_argument);
    EXPECT_NO_THROW(ApsFrame(4, 4, 0, 0, std::make_shared<std::vector<uint8_t>>(48)));
}

TEST(ApsFrame, RefusesNegativeSizesAndCountsLargeFramesIn64Bits) {
    uint8_t byte = 0;
    EXPECT_THROW(ApsFrame(-2, 4), std::invalid_argument);
    EXPECT_THROW(ApsFrame(4, -2, 0, 0, &byte, 1, false), std::invalid_argument);
    EXPECT_THROW(ApsFrame(-4, -2, 0, 0, std::make_shared<std::vector<uint8_t>>(24)), std::invalid_argument);

    // 40000 x 40000 x 3 does not fit in 32 bits: a claimed size one byte short is refused, the full
    // size accepted (nothing is read while the frame borrows the bytes).
    const uint64_t full = 40000ull * 40000ull * 3ull;
    EXPECT_THROW(ApsFrame(40000, 40000, 0, 0, &byte, static_cast<size_t>(full - 1), false), std::invalid_argument);
    const ApsFrame huge(40000, 40000, 0, 0, &byte, static_cast<size_t>(full), false);
    EXPECT_EQ(huge.getDataSize(), full);
}

TEST(ApsFrame, EmptyFramesHoldNothing) {
    const ApsFrame empty(0, 0);
    EXPECT_EQ(empty.getDataSize(), 0u);
    const ApsFrame borrowedEmpty(0, 5, 0, 0, nullptr, 0, false);
    EXPECT_EQ(borrowedEmpty.getDataSize(), 0u);
    const ApsFrame clone = borrowedEmpty.clone();
    EXPECT_EQ(clone.height(), 5);
}
