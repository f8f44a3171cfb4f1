#include "QuelnorHal/register/RegisterController.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "QuelnorBase/Logger.h"

namespace quelnor {

namespace {
constexpr uint32_t NOT_CONNECTED_RESULT = 0xFFFFFFFFu;
}

RegisterController::RegisterController(std::shared_ptr<Interface> interface, const RegisterInfo* table,
                                       uint32_t count, std::string prefix)
    : m_interface(std::move(interface)),
      m_registerMap(table, count, std::move(prefix)),
      m_lock(std::make_shared<std::mutex>()) {}

RegisterController::RegisterController(const RegisterController& other) = default;
RegisterController& RegisterController::operator=(const RegisterController& other) = default;
RegisterController::~RegisterController() = default;

uint32_t RegisterController::readRegister(const std::string& name) {
    uint32_t address = m_registerMap[name].get_address();
    std::lock_guard<std::mutex> lock(*m_lock);
    return m_interface->readRegister(address);
}

void RegisterController::writeRegister(const std::string& name, const uint32_t& value) {
    uint32_t address = m_registerMap[name].get_address();
    std::lock_guard<std::mutex> lock(*m_lock);
    m_interface->writeRegister(address, value);
}

void RegisterController::writeRegisterField(const std::string& reg, const std::string& field, uint32_t value) {
    const Register& r = m_registerMap[reg];
    const Register::Field& f = r[field];
    readModifyWrite(r.get_address(), f.set_bitfield_in_value(value, 0), f.get_mask(), WriteKind::PLAIN);
}

void RegisterController::writeRegisterFieldByAlias(const std::string& reg, const std::string& field,
                                                   const std::string& alias) {
    const Register& r = m_registerMap[reg];
    const Register::Field& f = r[field];
    // An alias the field lacks throws before the device is touched.
    uint32_t value = f[alias];
    readModifyWrite(r.get_address(), f.set_bitfield_in_value(value, 0), f.get_mask(), WriteKind::PLAIN);
}

void RegisterController::readRegisterField(const std::string& reg, const std::string& field, uint32_t& value) {
    const Register& r = m_registerMap[reg];
    uint32_t registerValue = 0;
    bool ok;
    {
        std::lock_guard<std::mutex> lock(*m_lock);
        ok = m_interface->tryReadRegister(r.get_address(), registerValue);
    }
    if (!ok) {
        QN_ERROR("Failed to read register %s (0x%X)", reg.c_str(), r.get_address());
    }
    value = r[field].get_bitfield_in_value(registerValue);
}

bool RegisterController::readModifyWrite(uint32_t address, uint32_t value, uint32_t mask, WriteKind kind) {
    std::lock_guard<std::mutex> lock(*m_lock);
    uint32_t old = 0;
    if (!m_interface->tryReadRegister(address, old)) {
        QN_ERROR("Failed to read register 0x%X, nothing written back", address);
        return false;
    }
    const uint32_t merged = (old & ~mask) | (value & mask);
    if (kind == WriteKind::PLAIN) {
        // The interface's own way of failing (an exception over USB) reaches the caller.
        m_interface->writeRegister(address, merged);
        return true;
    }
    return confirmedWrite(address, merged);
}

bool RegisterController::confirmedWrite(uint32_t address, uint32_t value) {
    if (m_interface->tryWriteRegister(address, value)) {
        return true;
    }
    QN_ERROR("Write of register %s value 0x%X was not confirmed", describe(address).c_str(), value);
    return false;
}

std::string RegisterController::describe(uint32_t address) const {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", address);
    const std::string name = m_registerMap.nameOf(address);
    return name.empty() ? std::string(text) : name + " (" + text + ")";
}

bool RegisterController::tryWriteRegister(const std::string& name, uint32_t value) {
    const uint32_t address = m_registerMap[name].get_address();
    std::lock_guard<std::mutex> lock(*m_lock);
    return confirmedWrite(address, value);
}

bool RegisterController::tryWriteRegisterField(const std::string& reg, const std::string& field, uint32_t value) {
    const Register& r = m_registerMap[reg];
    const Register::Field& f = r[field];
    return readModifyWrite(r.get_address(), f.set_bitfield_in_value(value, 0), f.get_mask(), WriteKind::CONFIRMED);
}

bool RegisterController::tryApplyRegisterOperation(const RegisterOperation& op) {
    if (!m_interface->isConnected()) {
        return false;
    }
    switch (op.type) {
    case RegisterOperation::WRITE: {
        std::lock_guard<std::mutex> lock(*m_lock);
        return confirmedWrite(op.address, op.value);
    }
    case RegisterOperation::MASKED_WRITE:
        return readModifyWrite(op.address, op.value, op.mask, WriteKind::CONFIRMED);
    default:
        applyRegisterOperation(op);
        return true;
    }
}

bool RegisterController::tryApplyRegisterOperationSequence(const std::vector<RegisterOperation>& sequence) {
    for (const RegisterOperation& op : sequence) {
        if (!tryApplyRegisterOperation(op)) {
            if (!m_interface->isConnected()) {
                QN_ERROR("Register sequence stopped at register %s: the device is not connected",
                         describe(op.address).c_str());
            }
            return false;
        }
    }
    return true;
}

void RegisterController::applyRegisterOperation(RegisterOperation op) {
    if (!m_interface->isConnected()) {
        return;
    }
    switch (op.type) {
    case RegisterOperation::READ: {
        std::lock_guard<std::mutex> lock(*m_lock);
        m_interface->readRegister(op.address);
        break;
    }
    case RegisterOperation::WRITE: {
        std::lock_guard<std::mutex> lock(*m_lock);
        m_interface->writeRegister(op.address, op.value);
        break;
    }
    case RegisterOperation::MASKED_WRITE:
        readModifyWrite(op.address, op.value, op.mask, WriteKind::PLAIN);
        break;
    case RegisterOperation::DELAY:
        // sleep_for never returns early, so sub-millisecond power-up pauses are kept whole.
        std::this_thread::sleep_for(std::chrono::microseconds(op.delayUs));
        break;
    default:
        break;
    }
}

void RegisterController::applyRegisterOperationSequence(std::vector<RegisterOperation> sequence) {
    for (const RegisterOperation& op : sequence) {
        applyRegisterOperation(op);
    }
}

uint32_t RegisterController::readRegisterWithControlTransfer(const std::string& name, uint32_t& value) {
    if (!m_interface->isConnected()) {
        return NOT_CONNECTED_RESULT;
    }
    uint32_t address = m_registerMap[name].get_address();
    std::lock_guard<std::mutex> lock(*m_lock);
    return m_interface->readRegisterWithControlTransfer(address, value);
}

uint32_t RegisterController::writeRegisterWithControlTransfer(const std::string& name, uint32_t value) {
    if (!m_interface->isConnected()) {
        return NOT_CONNECTED_RESULT;
    }
    uint32_t address = m_registerMap[name].get_address();
    std::lock_guard<std::mutex> lock(*m_lock);
    return m_interface->writeRegisterWithControlTransfer(address, value);
}

uint32_t RegisterController::readRegisterWithControlTransfer(const std::string& name, uint8_t* data,
                                                             uint16_t length) {
    if (!m_interface->isConnected()) {
        return NOT_CONNECTED_RESULT;
    }
    uint32_t address = m_registerMap[name].get_address();
    std::lock_guard<std::mutex> lock(*m_lock);
    return m_interface->readRegisterWithControlTransfer(address, data, length);
}

uint32_t RegisterController::writeRegisterDataWithControlTransfer(const std::string& name, uint8_t* data,
                                                                  uint16_t length) {
    if (!m_interface->isConnected()) {
        return NOT_CONNECTED_RESULT;
    }
    uint32_t address = m_registerMap[name].get_address();
    std::lock_guard<std::mutex> lock(*m_lock);
    return m_interface->writeRegisterWithControlTransfer(address, data, length);
}

std::shared_ptr<Interface> RegisterController::getInterface() { return m_interface; }

} // namespace quelnor
