#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "LogCapture.h"
#include "MipiBoard.h"

namespace quelnor {
namespace {

using test::MipiBoard;
using test::mipisim::SimPwmChip;
using testing::ElementsAre;

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

SimPwmChip::Channel running(uint64_t period, uint64_t duty, const char* polarity) {
    SimPwmChip::Channel channel;
    channel.exported = true;
    channel.enabled = true;
    channel.periodNs = period;
    channel.dutyCycleNs = duty;
    channel.polarity = polarity;
    return channel;
}

class OndrikProPwm : public testing::Test {
protected:
    MipiBoard board;
    test::LogCapture log;
};

TEST_F(OndrikProPwm, PrepareExportsAndConfiguresBothChannelsLeavingThemOff) {
    auto interface = board.makeInterface();
    ASSERT_TRUE(interface->prepareAll());

    EXPECT_THAT(board.firstChip->writes(), ElementsAre("export 0", "pwm0/enable 0", "pwm0/period 67000000",
                                                       "pwm0/duty_cycle 200000", "pwm0/polarity inversed"));
    EXPECT_THAT(board.secondChip->writes(), ElementsAre("export 0", "pwm0/enable 0", "pwm0/period 12000",
                                                        "pwm0/duty_cycle 200", "pwm0/polarity normal"));
    const auto first = board.firstChip->channel(0);
    EXPECT_TRUE(first.exported);
    EXPECT_FALSE(first.enabled);
    EXPECT_EQ(first.periodNs, 67000000u);
    EXPECT_EQ(first.dutyCycleNs, 200000u);
    EXPECT_EQ(first.polarity, "inversed");
    // The sysfs files hold what was written.
    EXPECT_EQ(fileText(board.config.secondPwm.chipPath + "/pwm0/period"), "12000");
    EXPECT_EQ(fileText(board.config.secondPwm.chipPath + "/pwm0/polarity"), "normal");
    EXPECT_EQ(log.countAt(LOG_ERROR), 0);
}

TEST_F(OndrikProPwm, WaitsForTheChannelFolderAfterExport) {
    board.firstChip->setExportDelay(5);
    ASSERT_TRUE(board.makeInterface()->prepareAll());
    // One check before the export, five answered "missing", the sixth finds it.
    EXPECT_EQ(board.firstChip->existenceChecks(), 1 + 6);
    EXPECT_EQ(board.firstChip->channel(0).periodNs, 67000000u);
}

TEST_F(OndrikProPwm, GivesUpWhenTheChannelNeverAppears) {
    board.firstChip->setExportDelay(-1);
    EXPECT_FALSE(board.makeInterface()->prepareAll());
    EXPECT_EQ(board.firstChip->existenceChecks(), 1 + 50);
    EXPECT_THAT(board.firstChip->writes(), ElementsAre("export 0"));
    EXPECT_TRUE(board.secondChip->writes().empty()); // the second is not tried
    EXPECT_EQ(log.countAt(LOG_ERROR), 1);
}

TEST_F(OndrikProPwm, AnExportedChannelIsNotExportedAgain) {
    board.firstChip->exportNow(0, SimPwmChip::Channel{});
    ASSERT_TRUE(board.makeInterface()->prepareAll());
    EXPECT_THAT(board.firstChip->writes(), ElementsAre("pwm0/enable 0", "pwm0/period 67000000",
                                                       "pwm0/duty_cycle 200000", "pwm0/polarity inversed"));
}

TEST_F(OndrikProPwm, AChipThatCannotBeExportedSaysWhichFile) {
    std::filesystem::remove(board.config.firstPwm.chipPath + "/export");
    EXPECT_FALSE(board.makeInterface()->prepareAll());
    EXPECT_TRUE(log.has(LOG_ERROR, "Unable to open " + board.config.firstPwm.chipPath + "/export"));
    EXPECT_TRUE(board.secondChip->writes().empty());
}

// The kernel refuses a period below the duty cycle in force: when the new period is shorter than the
// current duty cycle, the duty cycle goes first.
TEST_F(OndrikProPwm, AShorterPeriodThanTheCurrentDutyCycleWritesTheDutyCycleFirst) {
    board.firstChip->exportNow(0, running(67000000, 200000, "inversed"));
    board.config.firstPwm.periodNs = 150000;
    board.config.firstPwm.dutyCycleNs = 1000;
    ASSERT_TRUE(board.makeInterface()->prepareAll());
    EXPECT_THAT(board.firstChip->writes(), ElementsAre("pwm0/enable 0", "pwm0/duty_cycle 1000",
                                                       "pwm0/period 150000", "pwm0/polarity inversed"));
    EXPECT_EQ(board.firstChip->channel(0).periodNs, 150000u);
    EXPECT_EQ(board.firstChip->channel(0).dutyCycleNs, 1000u);
}

TEST_F(OndrikProPwm, ALongerPeriodIsWrittenBeforeALongerDutyCycle) {
    board.firstChip->exportNow(0, running(1000, 500, "normal"));
    ASSERT_TRUE(board.makeInterface()->prepareAll());
    EXPECT_THAT(board.firstChip->writes(), ElementsAre("pwm0/enable 0", "pwm0/period 67000000",
                                                       "pwm0/duty_cycle 200000", "pwm0/polarity inversed"));
}

TEST_F(OndrikProPwm, ConfiguringStopsAtTheFirstRefusedWrite) {
    board.firstChip->failWrites("pwm0/period", EIO);
    EXPECT_FALSE(board.makeInterface()->prepareAll());
    EXPECT_THAT(board.firstChip->writes(), ElementsAre("export 0", "pwm0/enable 0", "pwm0/period 67000000 -> EIO"));
    EXPECT_TRUE(board.secondChip->writes().empty());
}

TEST_F(OndrikProPwm, EnableSwitchesBothOnInOrder) {
    auto interface = board.makeInterface();
    ASSERT_TRUE(interface->prepareAll());
    ASSERT_TRUE(interface->enableAll());
    EXPECT_TRUE(board.firstChip->channel(0).enabled);
    EXPECT_TRUE(board.secondChip->channel(0).enabled);
    EXPECT_EQ(board.firstChip->writes().back(), "pwm0/enable 1");
    EXPECT_EQ(board.secondChip->writes().back(), "pwm0/enable 1");

    ASSERT_TRUE(interface->disableAll());
    EXPECT_FALSE(board.firstChip->channel(0).enabled);
    EXPECT_FALSE(board.secondChip->channel(0).enabled);
}

TEST_F(OndrikProPwm, WhenTheSecondChannelFailsBothAreSwitchedOff) {
    auto interface = board.makeInterface();
    ASSERT_TRUE(interface->prepareAll());
    board.secondChip->failWrites("pwm0/enable", EIO);
    EXPECT_FALSE(interface->enableAll());
    EXPECT_FALSE(board.firstChip->channel(0).enabled);
    const auto firstWrites = board.firstChip->writes();
    ASSERT_GE(firstWrites.size(), 2u);
    EXPECT_EQ(firstWrites[firstWrites.size() - 2], "pwm0/enable 1");
    EXPECT_EQ(firstWrites.back(), "pwm0/enable 0");
}

TEST_F(OndrikProPwm, WhenTheFirstChannelFailsTheSecondIsNeverSwitchedOn) {
    auto interface = board.makeInterface();
    ASSERT_TRUE(interface->prepareAll());
    board.firstChip->failWrites("pwm0/enable", EIO);
    EXPECT_FALSE(interface->enableAll());
    EXPECT_FALSE(board.secondChip->channel(0).enabled);
    EXPECT_EQ(board.secondChip->writes().back(), "pwm0/enable 0");
}

TEST_F(OndrikProPwm, EnablingUnconfiguredChannelsFailsAndLeavesThemOff) {
    board.firstChip->exportNow(0, SimPwmChip::Channel{}); // exported, no period yet: the kernel refuses
    board.secondChip->exportNow(0, SimPwmChip::Channel{});
    EXPECT_FALSE(board.makeInterface()->enableAll());
    EXPECT_FALSE(board.firstChip->channel(0).enabled);
    EXPECT_FALSE(board.secondChip->channel(0).enabled);
}

TEST_F(OndrikProPwm, DisableSkipsChannelsThatAreNotExported) {
    auto interface = board.makeInterface();
    EXPECT_TRUE(interface->disableAll());
    EXPECT_TRUE(board.firstChip->writes().empty());
    EXPECT_TRUE(board.secondChip->writes().empty());

    board.secondChip->exportNow(0, running(12000, 200, "normal"));
    EXPECT_TRUE(interface->disableAll());
    EXPECT_TRUE(board.firstChip->writes().empty());
    EXPECT_THAT(board.secondChip->writes(), ElementsAre("pwm0/enable 0"));
}

TEST_F(OndrikProPwm, DisableTriesEveryChannelAndReportsAFailure) {
    board.firstChip->exportNow(0, running(67000000, 200000, "inversed"));
    board.secondChip->exportNow(0, running(12000, 200, "normal"));
    board.firstChip->failWrites("pwm0/enable", EIO);
    EXPECT_FALSE(board.makeInterface()->disableAll());
    EXPECT_FALSE(board.secondChip->channel(0).enabled);
    EXPECT_TRUE(board.firstChip->channel(0).enabled);
}

TEST(OndrikProPwmOnThisMachine, AChipThatDoesNotExistFailsWithItsPath) {
    test::mipisim::TempDir dir;
    OndrikProInterface::Config config;
    config.firstPwm.chipPath = dir.path() + "/pwmchip9";
    test::LogCapture log;
    auto interface = OndrikProInterface::create(config);
    EXPECT_FALSE(interface->prepareAll());
    EXPECT_TRUE(log.has(LOG_ERROR, "Unable to open " + dir.path() + "/pwmchip9/export"));
}

} // namespace
} // namespace quelnor
