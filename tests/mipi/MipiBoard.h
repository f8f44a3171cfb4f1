#pragma once

// The simulated board of the MIPI camera for tests: its nodes at paths under "/sim" (never the machine's
// /dev), its PWM chips in a temporary folder, and a configuration of the interface pointing at them.
// Everything else is the board's default configuration; the streams are small so captures stay quick.

#include <memory>
#include <string>

#include "QuelnorHal/interface/OndrikProInterface.h"
#include "mipisim/SimDeviceIo.h"
#include "mipisim/SimI2cBus.h"
#include "mipisim/SimPwmChip.h"
#include "mipisim/SimV4l2Capture.h"
#include "mipisim/SimV4l2Subdevice.h"
#include "mipisim/TempDir.h"

namespace quelnor::test {

struct MipiBoard {
    static constexpr uint32_t DVS_WIDTH = 64;
    static constexpr uint32_t DVS_HEIGHT = 32;
    static constexpr uint32_t APS_WIDTH = 32;
    static constexpr uint32_t APS_HEIGHT = 16;

    mipisim::TempDir sysfs;
    std::shared_ptr<mipisim::SimDeviceIo> io = std::make_shared<mipisim::SimDeviceIo>();
    std::shared_ptr<mipisim::SimV4l2Capture> dvs;
    std::shared_ptr<mipisim::SimV4l2Capture> aps;
    std::shared_ptr<mipisim::SimI2cBus> registerBus = std::make_shared<mipisim::SimI2cBus>();
    std::shared_ptr<mipisim::SimI2cBus> blockBus = std::make_shared<mipisim::SimI2cBus>();
    std::shared_ptr<mipisim::SimI2cRegisterDevice> sensor;
    std::shared_ptr<mipisim::SimI2cRegisterDevice> frameBoard;
    std::shared_ptr<mipisim::SimV4l2Subdevice> subdevice = std::make_shared<mipisim::SimV4l2Subdevice>();
    std::shared_ptr<mipisim::SimPwmChip> firstChip;
    std::shared_ptr<mipisim::SimPwmChip> secondChip;
    OndrikProInterface::Config config;

    MipiBoard() {
        mipisim::SimV4l2Capture::Options dvsOptions;
        dvsOptions.width = DVS_WIDTH;
        dvsOptions.height = DVS_HEIGHT;
        dvs = std::make_shared<mipisim::SimV4l2Capture>(dvsOptions);
        mipisim::SimV4l2Capture::Options apsOptions;
        apsOptions.multiplanar = true;
        apsOptions.width = APS_WIDTH;
        apsOptions.height = APS_HEIGHT;
        apsOptions.pixelFormat = V4L2_PIX_FMT_NV12M;
        aps = std::make_shared<mipisim::SimV4l2Capture>(apsOptions);

        config.dvsStream.devicePath = "/sim/dev/video0";
        config.dvsStream.width = DVS_WIDTH;
        config.dvsStream.height = DVS_HEIGHT;
        config.dvsStream.bufferCount = 4;
        config.dvsStream.bufferSize = 4096;
        config.apsStream.devicePath = "/sim/dev/video22";
        config.apsStream.width = APS_WIDTH;
        config.apsStream.height = APS_HEIGHT;
        config.apsStream.bufferCount = 3;
        config.apsStream.bufferSize = APS_WIDTH * APS_HEIGHT * 3 / 2;
        config.registerTarget.devicePath = "/sim/dev/i2c-2";
        config.blockTarget.devicePath = "/sim/dev/i2c-3";
        config.subdevicePath = "/sim/dev/v4l-subdev5";
        config.firstPwm.chipPath = sysfs.path() + "/pwmchip0";
        config.secondPwm.chipPath = sysfs.path() + "/pwmchip2";

        sensor = registerBus->addRegisterDevice(config.registerTarget.slaveAddress, config.registerTarget.addressWidth);
        // The frame-sensor board's controller: its table puts 32-bit settings and 64-byte identity blocks
        // one address apart, so each address is a register of its own, not a byte.
        frameBoard = blockBus->addRegisterDevice(config.blockTarget.slaveAddress, config.blockTarget.addressWidth,
                                                 mipisim::SimI2cRegisterDevice::Layout::REGISTERS);
        firstChip = std::make_shared<mipisim::SimPwmChip>(config.firstPwm.chipPath);
        secondChip = std::make_shared<mipisim::SimPwmChip>(config.secondPwm.chipPath);

        io->addDevice(config.dvsStream.devicePath, dvs);
        io->addDevice(config.apsStream.devicePath, aps);
        io->addDevice(config.registerTarget.devicePath, registerBus);
        io->addDevice(config.blockTarget.devicePath, blockBus);
        io->addDevice(config.subdevicePath, subdevice);
        io->addPwmChip(firstChip);
        io->addPwmChip(secondChip);
    }

    std::shared_ptr<OndrikProInterface> makeInterface() const { return OndrikProInterface::create(config, io); }
    std::shared_ptr<OndrikProInterface> makeInterface(const OndrikProInterface::Config& other) const {
        return OndrikProInterface::create(other, io);
    }
};

} // namespace quelnor::test
