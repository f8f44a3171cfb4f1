#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include "LogCapture.h"
#include "interface/V4l2Subdevice.h"
#include "mipisim/SimDeviceIo.h"
#include "mipisim/SimV4l2Subdevice.h"

namespace quelnor {
namespace {

using test::mipisim::SimDeviceIo;
using test::mipisim::SimV4l2Subdevice;

class V4l2SubdeviceControls : public testing::Test {
protected:
    void SetUp() override {
        node->addControl(V4L2_CID_EXPOSURE, 100, 1, 1000);
        node->addControl(V4L2_CID_GAIN, 16, 0, 255);
        node->addControl(V4L2_CID_PIXEL_RATE, 445500000, 445500000, 445500000, true);
        io->addDevice("/sim/dev/v4l-subdev5", node);
    }

    std::shared_ptr<SimDeviceIo> io = std::make_shared<SimDeviceIo>();
    std::shared_ptr<SimV4l2Subdevice> node = std::make_shared<SimV4l2Subdevice>();
    V4l2Subdevice subdevice{io, "/sim/dev/v4l-subdev5"};
    test::LogCapture log;
};

TEST_F(V4l2SubdeviceControls, ReadsAndSetsControlsById) {
    int value = 0;
    ASSERT_TRUE(subdevice.getControl(V4L2_CID_EXPOSURE, value));
    EXPECT_EQ(value, 100);
    ASSERT_TRUE(subdevice.setControl(V4L2_CID_GAIN, 42));
    EXPECT_EQ(node->control(V4L2_CID_GAIN), 42);
    EXPECT_THAT(node->requests(), testing::ElementsAre("G_CTRL 0x00980911", "S_CTRL 0x00980913 = 42"));
    EXPECT_EQ(io->openFiles(), 0u);
}

TEST_F(V4l2SubdeviceControls, RefusedRequestsAreFalseWithAnError) {
    int value = 5;
    EXPECT_FALSE(subdevice.getControl(V4L2_CID_HFLIP, value));
    EXPECT_EQ(value, 5);
    EXPECT_FALSE(subdevice.setControl(V4L2_CID_PIXEL_RATE, 1));
    EXPECT_EQ(log.countAt(LOG_ERROR), 2);

    V4l2Subdevice absent(io, "/sim/dev/v4l-subdev9");
    EXPECT_FALSE(absent.getControl(V4L2_CID_EXPOSURE, value));
    EXPECT_EQ(log.countAt(LOG_ERROR), 3);
}

TEST_F(V4l2SubdeviceControls, TheDriverClampsValuesOutOfRange) {
    ASSERT_TRUE(subdevice.setControl(V4L2_CID_EXPOSURE, 5000));
    int value = 0;
    ASSERT_TRUE(subdevice.getControl(V4L2_CID_EXPOSURE, value));
    EXPECT_EQ(value, 1000);
}

} // namespace
} // namespace quelnor
