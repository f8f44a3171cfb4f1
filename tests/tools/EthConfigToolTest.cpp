#include <gtest/gtest.h>

#include "LogCapture.h"
#include "QuelnorHal/camera/tools/EthConfig/EthConfig.h"
#include "ToolRig.h"

using namespace quelnor;
using namespace quelnor::test;

TEST(EthConfigTool, OneStringParameterWhoseDefaultIsReadBackEmpty) {
    auto rig = ToolRig::imx636(Interface::ETH);
    EthConfig tool(rig.controller);
    const auto all = tool.getAllParamInfo();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all.at("camera_ip").type, STRING);
    EXPECT_EQ(all.at("camera_ip").description, "Camera ip.");
    StringParameterInfo info;
    ASSERT_TRUE(tool.getParamInfo("camera_ip", info)); // the prefix is empty
    EXPECT_EQ(info.defaultValue, "");
    const auto toolInfo = tool.getToolInfo();
    EXPECT_EQ(toolInfo.type, BIAS);
    EXPECT_EQ(toolInfo.name, "Ethernet configuration");
    EXPECT_EQ(toolInfo.parameters, std::vector<std::string>{"camera_ip"});
    EXPECT_EQ(toolInfo.description, "Ethernet configuration for Ethernet cameras.");
    EXPECT_TRUE(tool.getEthInterface());
}

TEST(EthConfigTool, TheAddressIsOnlyLoggedAndNeverSentToTheCamera) {
    auto rig = ToolRig::imx636(Interface::ETH);
    EthConfig tool(rig.controller);
    rig.clear();
    LogCapture log;
    EXPECT_TRUE(tool.setParam("camera_ip", "10.0.0.7"));
    EXPECT_TRUE(log.has(LOG_INFO, "Camera IP: 10.0.0.7"));
    std::string ip = "unchanged";
    EXPECT_TRUE(tool.getParam("camera_ip", ip));
    EXPECT_EQ(ip, "unchanged");
    EXPECT_TRUE(log.has(LOG_ERROR, "Parameter camera_ip is not of type ENUM"));
    EXPECT_TRUE(rig.device->log().empty());

    int port = 1234;
    EXPECT_TRUE(tool.readCameraEventStreamPort(port));
    EXPECT_EQ(port, 1234);
    EXPECT_FALSE(tool.writeCameraEventStreamPort(50000));
}

TEST(EthConfigTool, OverAUsbCameraItWorksTheSameWithoutAnEthernetInterface) {
    auto rig = ToolRig::imx636(Interface::USB);
    EthConfig tool(rig.controller);
    EXPECT_FALSE(tool.getEthInterface());
    EXPECT_TRUE(tool.setParam("camera_ip", std::string("192.168.2.70")));
}
