#include "QuelnorHal/interface/OndrikProInterface.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include "QuelnorBase/Logger.h"
#include "interface/V4l2Subdevice.h"

namespace quelnor {

namespace {

constexpr uint8_t MAX_FIELD_BYTES = 4;
constexpr uint16_t MAX_SLAVE_ADDRESS = 0x7F;
constexpr const char* PWM_CHANNEL = "/pwm0";
constexpr const char* PWM_POLARITY_NORMAL = "normal";
constexpr const char* PWM_POLARITY_INVERSED = "inversed";
// After "export" the kernel creates the channel folder; it may take a moment to show.
constexpr int PWM_EXPORT_CHECKS = 50;
constexpr std::chrono::milliseconds PWM_EXPORT_CHECK_INTERVAL{2};
constexpr size_t SYSFS_NUMBER_TEXT = 32;
// A whole register of the frame-sensor board: 32 bits.
constexpr uint8_t BOARD_REGISTER_BYTES = 4;

bool validTarget(const OndrikProInterface::I2cTarget& target) {
    return target.addressWidth >= 1 && target.addressWidth <= MAX_FIELD_BYTES && target.valueWidth >= 1 &&
           target.valueWidth <= MAX_FIELD_BYTES && target.slaveAddress <= MAX_SLAVE_ADDRESS;
}

bool validPwm(const OndrikProInterface::Config::PwmChannel& channel) {
    return !channel.chipPath.empty() && channel.periodNs != 0 && channel.periodNs >= channel.dutyCycleNs &&
           (channel.polarity == PWM_POLARITY_NORMAL || channel.polarity == PWM_POLARITY_INVERSED);
}

OndrikProInterface::Config validated(OndrikProInterface::Config config) {
    if (!validTarget(config.registerTarget) || !validTarget(config.blockTarget)) {
        throw std::invalid_argument(
            "Ondrik Pro requires 1..4 byte addresses/values and a 7-bit I2C slave address");
    }
    if (!validPwm(config.firstPwm) || !validPwm(config.secondPwm)) {
        throw std::invalid_argument("Invalid Ondrik Pro PWM configuration");
    }
    return config;
}

// The low `width` bytes of value, most significant first.
void packBigEndian(uint32_t value, uint8_t width, uint8_t* out) {
    for (uint8_t i = 0; i < width; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
    }
}

uint32_t unpackBigEndian(const uint8_t* bytes, uint8_t width) {
    uint32_t value = 0;
    for (uint8_t i = 0; i < width; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

// sysfs helpers: each access opens and closes its file.

bool pathExists(DeviceIo& io, const std::string& path) { return io.exists(path); }

bool deviceNodeExists(DeviceIo& io, const std::string& path) { return io.isCharacterDevice(path); }

bool writeText(DeviceIo& io, const std::string& path, const std::string& text) {
    const int fd = io.open(path, O_WRONLY);
    if (fd < 0) {
        QN_ERROR("Unable to open %s", path.c_str());
        return false;
    }
    const ssize_t written = io.write(fd, text.data(), text.size());
    const int error = errno;
    io.close(fd);
    if (written != static_cast<ssize_t>(text.size())) {
        QN_ERROR("Unable to write \"%s\" to %s: %s", text.c_str(), path.c_str(),
                 written < 0 ? std::strerror(error) : "short write");
        return false;
    }
    return true;
}

bool readNumber(DeviceIo& io, const std::string& path, uint64_t& value) {
    const int fd = io.open(path, O_RDONLY);
    if (fd < 0) {
        return false;
    }
    char text[SYSFS_NUMBER_TEXT] = {};
    const ssize_t got = io.read(fd, text, sizeof(text) - 1);
    io.close(fd);
    if (got <= 0) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (end == text || errno != 0) {
        return false;
    }
    value = parsed;
    return true;
}

} // namespace

std::shared_ptr<OndrikProInterface> OndrikProInterface::create() { return create(Config{}); }

std::shared_ptr<OndrikProInterface> OndrikProInterface::create(Config config) {
    return std::make_shared<OndrikProInterface>(std::move(config));
}

std::shared_ptr<OndrikProInterface> OndrikProInterface::create(Config config, std::shared_ptr<DeviceIo> io) {
    return std::make_shared<OndrikProInterface>(std::move(config), std::move(io));
}

OndrikProInterface::OndrikProInterface(Config config, std::shared_ptr<DeviceIo> io)
    : Interface(MIPI), m_config(validated(std::move(config))), m_io(io ? std::move(io) : DeviceIo::system()) {}

OndrikProInterface::~OndrikProInterface() = default;

const V4l2StreamConfig& OndrikProInterface::dvsStreamConfig() const { return m_config.dvsStream; }

const V4l2StreamConfig& OndrikProInterface::apsStreamConfig() const { return m_config.apsStream; }

const std::shared_ptr<DeviceIo>& OndrikProInterface::deviceIo() const { return m_io; }

bool OndrikProInterface::isConnected() const {
    return deviceNodeExists(*m_io, m_config.dvsStream.devicePath) &&
           deviceNodeExists(*m_io, m_config.apsStream.devicePath) &&
           deviceNodeExists(*m_io, m_config.registerTarget.devicePath) &&
           deviceNodeExists(*m_io, m_config.blockTarget.devicePath);
}

std::vector<uint32_t> OndrikProInterface::readRegister(uint32_t address, int count) {
    std::vector<uint32_t> values;
    if (count <= 0) {
        return values;
    }
    values.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        values.push_back(readRegister(address + static_cast<uint32_t>(i) * m_config.registerTarget.valueWidth));
    }
    return values;
}

uint32_t OndrikProInterface::readRegister(uint32_t address) {
    uint32_t value = 0;
    tryReadRegister(address, value);
    return value;
}

bool OndrikProInterface::tryReadRegister(uint32_t address, uint32_t& value) {
    const I2cTarget& target = m_config.registerTarget;
    std::array<uint8_t, MAX_FIELD_BYTES> bytes{};
    if (readI2c(target, address, bytes.data(), target.valueWidth) != 0) {
        value = 0;
        return false;
    }
    value = unpackBigEndian(bytes.data(), target.valueWidth);
    return true;
}

void OndrikProInterface::writeRegister(uint32_t address, uint32_t value) {
    const I2cTarget& target = m_config.registerTarget;
    std::array<uint8_t, MAX_FIELD_BYTES> bytes{};
    packBigEndian(value, target.valueWidth, bytes.data());
    // A failure is logged by the transfer; this operation has no way to report it.
    writeI2c(target, address, bytes.data(), target.valueWidth);
}

uint32_t OndrikProInterface::readRegisterWithControlTransfer(uint32_t address, uint8_t* data, uint16_t length) {
    std::lock_guard<std::mutex> block(m_blockLock);
    return readI2c(m_config.blockTarget, address, data, length);
}

// The board addresses whole registers, so a 32-bit register is a block of its four bytes, sent most
// significant first like every value on this board's buses.
uint32_t OndrikProInterface::readRegisterWithControlTransfer(uint32_t address, uint32_t& value) {
    std::array<uint8_t, BOARD_REGISTER_BYTES> bytes{};
    std::lock_guard<std::mutex> block(m_blockLock);
    const uint32_t result = readI2c(m_config.blockTarget, address, bytes.data(), BOARD_REGISTER_BYTES);
    if (result == 0) {
        value = unpackBigEndian(bytes.data(), BOARD_REGISTER_BYTES);
    }
    return result;
}

uint32_t OndrikProInterface::writeRegisterWithControlTransfer(uint32_t address, uint8_t* data, uint16_t length) {
    std::lock_guard<std::mutex> block(m_blockLock);
    return writeI2c(m_config.blockTarget, address, data, length);
}

uint32_t OndrikProInterface::writeRegisterWithControlTransfer(uint32_t address, uint32_t value) {
    std::array<uint8_t, BOARD_REGISTER_BYTES> bytes{};
    packBigEndian(value, BOARD_REGISTER_BYTES, bytes.data());
    std::lock_guard<std::mutex> block(m_blockLock);
    return writeI2c(m_config.blockTarget, address, bytes.data(), BOARD_REGISTER_BYTES);
}

uint32_t OndrikProInterface::readI2c(const I2cTarget& target, uint32_t address, uint8_t* data, uint16_t length) {
    if (data == nullptr || length == 0) {
        return I2C_FAILURE;
    }
    std::array<uint8_t, MAX_FIELD_BYTES> addressBytes{};
    packBigEndian(address, target.addressWidth, addressBytes.data());
    std::array<i2c_msg, 2> messages{};
    messages[0].addr = target.slaveAddress;
    messages[0].flags = 0;
    messages[0].len = target.addressWidth;
    messages[0].buf = addressBytes.data();
    messages[1].addr = target.slaveAddress;
    messages[1].flags = I2C_M_RD;
    messages[1].len = length;
    messages[1].buf = data;

    std::lock_guard<std::mutex> bus(m_busLock);
    const int fd = m_io->open(target.devicePath, O_RDWR);
    if (fd < 0) {
        QN_ERROR("I2C read of 0x%X from %s failed: cannot open it: %s", address, target.devicePath.c_str(),
                 std::strerror(errno));
        return I2C_FAILURE;
    }
    bool ok;
    if (target.flag & I2C_FLAG_REPEATED_START) {
        i2c_rdwr_ioctl_data transfer{messages.data(), 2};
        ok = m_io->ioctl(fd, I2C_RDWR, &transfer) == 2;
    } else {
        i2c_rdwr_ioctl_data select{&messages[0], 1};
        i2c_rdwr_ioctl_data fetch{&messages[1], 1};
        ok = m_io->ioctl(fd, I2C_RDWR, &select) == 1 && m_io->ioctl(fd, I2C_RDWR, &fetch) == 1;
    }
    const int error = errno;
    m_io->close(fd);
    if (!ok) {
        QN_ERROR("I2C read of %u bytes at 0x%X from slave 0x%02X on %s failed: %s", length, address,
                 target.slaveAddress, target.devicePath.c_str(), std::strerror(error));
        return I2C_FAILURE;
    }
    return 0;
}

uint32_t OndrikProInterface::writeI2c(const I2cTarget& target, uint32_t address, const uint8_t* data,
                                      uint16_t length) {
    if (data == nullptr || length == 0) {
        return I2C_FAILURE;
    }
    const size_t total = size_t(target.addressWidth) + length;
    if (total > UINT16_MAX) {
        QN_ERROR("I2C write of %u bytes at 0x%X to %s refused: longer than one I2C message", length, address,
                 target.devicePath.c_str());
        return I2C_FAILURE;
    }
    // Address and data go out in one message: the device takes the first bytes as its register pointer.
    std::vector<uint8_t> bytes(total);
    packBigEndian(address, target.addressWidth, bytes.data());
    std::memcpy(bytes.data() + target.addressWidth, data, length);
    i2c_msg message{};
    message.addr = target.slaveAddress;
    message.flags = 0;
    message.len = static_cast<uint16_t>(total);
    message.buf = bytes.data();

    std::lock_guard<std::mutex> bus(m_busLock);
    const int fd = m_io->open(target.devicePath, O_RDWR);
    if (fd < 0) {
        QN_ERROR("I2C write of 0x%X to %s failed: cannot open it: %s", address, target.devicePath.c_str(),
                 std::strerror(errno));
        return I2C_FAILURE;
    }
    i2c_rdwr_ioctl_data transfer{&message, 1};
    const bool ok = m_io->ioctl(fd, I2C_RDWR, &transfer) == 1;
    const int error = errno;
    m_io->close(fd);
    if (!ok) {
        QN_ERROR("I2C write of %u bytes at 0x%X to slave 0x%02X on %s failed: %s", length, address,
                 target.slaveAddress, target.devicePath.c_str(), std::strerror(error));
        return I2C_FAILURE;
    }
    return 0;
}

bool OndrikProInterface::getV4l2Control(uint32_t id, int& value) const {
    return V4l2Subdevice(m_io, m_config.subdevicePath).getControl(id, value);
}

bool OndrikProInterface::setV4l2Control(uint32_t id, int value) const {
    return V4l2Subdevice(m_io, m_config.subdevicePath).setControl(id, value);
}

bool OndrikProInterface::configurePwm(const std::string& chipPath, uint64_t periodNs, uint64_t dutyCycleNs,
                                      const std::string& polarity) {
    const std::string channel = chipPath + PWM_CHANNEL;
    if (!pathExists(*m_io, channel)) {
        if (!writeText(*m_io, chipPath + "/export", "0")) {
            return false;
        }
        bool exported = false;
        for (int check = 0; check < PWM_EXPORT_CHECKS; ++check) {
            if (pathExists(*m_io, channel)) {
                exported = true;
                break;
            }
            std::this_thread::sleep_for(PWM_EXPORT_CHECK_INTERVAL);
        }
        if (!exported) {
            QN_ERROR("PWM channel %s did not appear after export", channel.c_str());
            return false;
        }
    }
    if (!writeText(*m_io, channel + "/enable", "0")) {
        return false;
    }
    // The kernel refuses a period below the duty cycle in force, and a duty cycle above the period in
    // force: shorten the duty cycle first when the new period is below the current duty cycle.
    uint64_t currentDutyNs = 0;
    readNumber(*m_io, channel + "/duty_cycle", currentDutyNs);
    const std::string period = std::to_string(periodNs);
    const std::string duty = std::to_string(dutyCycleNs);
    const bool ok = periodNs < currentDutyNs
                        ? writeText(*m_io, channel + "/duty_cycle", duty) && writeText(*m_io, channel + "/period", period)
                        : writeText(*m_io, channel + "/period", period) && writeText(*m_io, channel + "/duty_cycle", duty);
    return ok && writeText(*m_io, channel + "/polarity", polarity);
}

bool OndrikProInterface::setPwmEnabled(const std::string& chipPath, bool enabled) {
    return writeText(*m_io, chipPath + PWM_CHANNEL + "/enable", enabled ? "1" : "0");
}

bool OndrikProInterface::prepareAll() {
    const Config::PwmChannel& first = m_config.firstPwm;
    const Config::PwmChannel& second = m_config.secondPwm;
    return configurePwm(first.chipPath, first.periodNs, first.dutyCycleNs, first.polarity) &&
           configurePwm(second.chipPath, second.periodNs, second.dutyCycleNs, second.polarity);
}

bool OndrikProInterface::enableAll() {
    if (setPwmEnabled(m_config.firstPwm.chipPath, true) && setPwmEnabled(m_config.secondPwm.chipPath, true)) {
        return true;
    }
    disableAll();
    return false;
}

bool OndrikProInterface::disableAll() {
    bool ok = true;
    for (const Config::PwmChannel* channel : {&m_config.firstPwm, &m_config.secondPwm}) {
        if (pathExists(*m_io, channel->chipPath + PWM_CHANNEL)) {
            ok = setPwmEnabled(channel->chipPath, false) && ok;
        }
    }
    return ok;
}

} // namespace quelnor
