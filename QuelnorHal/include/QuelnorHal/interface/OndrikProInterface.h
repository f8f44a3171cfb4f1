#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QuelnorHal/interface/DeviceIo.h"
#include "QuelnorHal/interface/Interface.h"
#include "QuelnorHal/interface/V4l2StreamConfig.h"

namespace quelnor {

// The MIPI fusion camera on a Linux board (interface type MIPI): two V4L2 capture nodes for its streams,
// the event sensor's registers on one I2C bus, the frame-sensor board's registers on another, and two
// sysfs PWM channels that clock the sensors.
//
// Registers: the plain register operations reach registerTarget (the event sensor), the control-transfer
// operations reach blockTarget (the frame-sensor board). A register address is sent as addressWidth
// bytes and a value as valueWidth bytes, most significant byte first; consecutive registers are
// valueWidth addresses apart. The board's 32-bit registers go as blocks of 4 bytes, most significant
// first. A failed single read answers 0 and a failed write does nothing, each with an error logged;
// tryReadRegister and the control-transfer operations report the failure (0xFFFFFFFF).
//
// Thread safety: the register operations may be called from any thread; each I2C transfer runs under a
// bus lock and each block operation under a block lock (block lock first). The PWM operations take no
// lock. The configuration is fixed for the object's life.
class OndrikProInterface : public Interface {
public:
    // Bit of I2cTarget::flag: read with a repeated start (address write and data read in one transfer).
    // Without it the address is written and the data read in two transfers with a stop between.
    static constexpr uint8_t I2C_FLAG_REPEATED_START = 0x01;
    // Result of a failed or refused transfer.
    static constexpr uint32_t I2C_FAILURE = 0xFFFFFFFFu;

    struct I2cTarget {
        std::string devicePath; // I2C device node
        uint16_t slaveAddress = 0; // 7-bit bus address
        uint8_t addressWidth = 0;  // register address bytes, 1 to 4
        uint8_t valueWidth = 0;    // register value bytes, 1 to 4
        uint8_t flag = 0;          // I2C_FLAG_* bits
    };

    struct Config {
        // One sysfs PWM output: channel 0 of the chip, "<chipPath>/pwm0".
        struct PwmChannel {
            std::string chipPath;
            uint64_t periodNs = 0;
            uint64_t dutyCycleNs = 0;
            std::string polarity; // "normal" or "inversed"
        };

        // The board's defaults.
        V4l2StreamConfig dvsStream{"/dev/video0", 1024, 512, 0, 8, 0x80000};
        V4l2StreamConfig apsStream{"/dev/video22", 3840, 2160, 0, 6, 12441600}; // NV12: 3840 x 2160 x 1.5
        I2cTarget registerTarget{"/dev/i2c-2", 0x3C, 4, 4, I2C_FLAG_REPEATED_START};
        I2cTarget blockTarget{"/dev/i2c-3", 0x36, 2, 1, I2C_FLAG_REPEATED_START};
        std::string subdevicePath = "/dev/v4l-subdev5";
        PwmChannel firstPwm{"/sys/class/pwm/pwmchip0", 67000000, 200000, "inversed"};
        PwmChannel secondPwm{"/sys/class/pwm/pwmchip2", 12000, 200, "normal"};
    };

    // With the default configuration / a given one. Throw std::invalid_argument for a bad configuration.
    static std::shared_ptr<OndrikProInterface> create();
    static std::shared_ptr<OndrikProInterface> create(Config config);
    // With the device calls going through io (nullptr: the real system calls).
    static std::shared_ptr<OndrikProInterface> create(Config config, std::shared_ptr<DeviceIo> io);

    // Validates the configuration: std::invalid_argument
    // "Ondrik Pro requires 1..4 byte addresses/values and a 7-bit I2C slave address" for a bad I2C target,
    // "Invalid Ondrik Pro PWM configuration" for a bad PWM channel.
    explicit OndrikProInterface(Config config, std::shared_ptr<DeviceIo> io = nullptr);
    ~OndrikProInterface() override;

    const V4l2StreamConfig& dvsStreamConfig() const;
    const V4l2StreamConfig& apsStreamConfig() const;
    // The device calls in use; the capture of this camera's streams goes through the same.
    const std::shared_ptr<DeviceIo>& deviceIo() const;

    // Exports and configures both PWM channels, leaving them disabled. False when one step fails.
    bool prepareAll();
    // Switches the first, then the second channel on; when one fails, switches both off and answers false.
    bool enableAll();
    // Switches every exported channel off; true when every attempted write succeeded.
    bool disableAll();

    // True when both video nodes and both I2C nodes are present.
    bool isConnected() const override;
    std::vector<uint32_t> readRegister(uint32_t address, int count) override;
    uint32_t readRegister(uint32_t address) override;
    void writeRegister(uint32_t address, uint32_t value) override;
    uint32_t readRegisterWithControlTransfer(uint32_t address, uint8_t* data, uint16_t length) override;
    // One 32-bit board register: a 4-byte block read; on failure 0xFFFFFFFF and value untouched.
    // Any thread; one I2C transfer under the block lock.
    uint32_t readRegisterWithControlTransfer(uint32_t address, uint32_t& value) override;
    uint32_t writeRegisterWithControlTransfer(uint32_t address, uint8_t* data, uint16_t length) override;
    // One 32-bit board register: a 4-byte block write. Any thread; one I2C transfer under the block lock.
    uint32_t writeRegisterWithControlTransfer(uint32_t address, uint32_t value) override;
    bool tryReadRegister(uint32_t address, uint32_t& value) override;

private:
    // 0 on success; I2C_FAILURE for no data, a length of 0 (without touching the bus) or a failed transfer.
    uint32_t readI2c(const I2cTarget& target, uint32_t address, uint8_t* data, uint16_t length);
    uint32_t writeI2c(const I2cTarget& target, uint32_t address, const uint8_t* data, uint16_t length);
    // A V4L2 control of the sensor subdevice.
    bool getV4l2Control(uint32_t id, int& value) const;
    bool setV4l2Control(uint32_t id, int value) const;
    bool configurePwm(const std::string& chipPath, uint64_t periodNs, uint64_t dutyCycleNs,
                      const std::string& polarity);
    bool setPwmEnabled(const std::string& chipPath, bool enabled);

    const Config m_config;
    const std::shared_ptr<DeviceIo> m_io;
    std::mutex m_blockLock;
    std::mutex m_busLock;
};

} // namespace quelnor
