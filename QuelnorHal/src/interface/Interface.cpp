#include "QuelnorHal/interface/Interface.h"

namespace quelnor {

Interface::Interface(InterfaceType type) : m_interfaceType(type) {}

Interface::~Interface() = default;

const Interface::InterfaceType& Interface::getInterfaceType() const { return m_interfaceType; }

bool Interface::isConnected() const { return true; }

void Interface::initByCamera(const InterfaceInitInfo&) {}

std::vector<uint32_t> Interface::readRegister(uint32_t, int) { return {}; }

uint32_t Interface::readRegister(uint32_t) { return 0; }

void Interface::writeRegister(uint32_t, uint32_t) {}

uint32_t Interface::readRegisterWithControlTransfer(uint32_t, uint8_t*, uint16_t) { return 0; }

uint32_t Interface::readRegisterWithControlTransfer(uint32_t, uint32_t&) { return 0; }

uint32_t Interface::writeRegisterWithControlTransfer(uint32_t, uint8_t*, uint16_t) { return 0; }

uint32_t Interface::writeRegisterWithControlTransfer(uint32_t, uint32_t) { return 0; }

bool Interface::writeCalibrationFile(std::string) { return false; }

bool Interface::readCalibrationData(std::vector<uint8_t>&) { return false; }

uint32_t Interface::getFirmwareVersion() { return 0; }

uint32_t Interface::getBuildDate() { return 0; }

uint32_t Interface::getDeviceCount() { return 0; }

bool Interface::tryReadRegister(uint32_t address, uint32_t& value) {
    value = readRegister(address);
    return true;
}

bool Interface::tryWriteRegister(uint32_t address, uint32_t value) {
    writeRegister(address, value);
    return true;
}

} // namespace quelnor
