#include "device/DeviceDouble.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "QuelnorHal/register/Register.h"

namespace quelnor::test {

namespace {

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

} // namespace

std::string toString(AccessKind kind) {
    switch (kind) {
    case AccessKind::Read:
        return "read";
    case AccessKind::Write:
        return "write";
    case AccessKind::BlockRead:
        return "block read";
    case AccessKind::ControlRead:
        return "control read";
    case AccessKind::ControlWrite:
        return "control write";
    case AccessKind::ControlBlockRead:
        return "control block read";
    case AccessKind::ControlBlockWrite:
        return "control block write";
    }
    return "?";
}

std::string toString(const Access& access) {
    return toString(access.kind) + " " + hex(access.address) + " = " + hex(access.value) +
           (access.failed ? " (failed)" : "");
}

DeviceDouble::DeviceDouble(InterfaceType type) : Interface(type) {}

DeviceDouble::DeviceDouble(const RegisterInfo* table, uint32_t count, InterfaceType type) : Interface(type) {
    attachTable(table, count);
}

DeviceDouble::~DeviceDouble() = default;

void DeviceDouble::attachTable(const RegisterInfo* table, uint32_t count) {
    auto names = std::make_shared<Names>();
    names->map = std::make_unique<RegisterMap>(table, count, "");
    std::map<uint32_t, uint32_t> seeded;
    std::string current;
    uint32_t address = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const RegisterInfo& row = table[i];
        const char* name = row.name != nullptr ? row.name : "";
        if (row.type == RegisterInfo::REGISTER) {
            current = name;
            address = row.reg.address;
            names->registerByAddress[address] = current;
            names->fieldsByRegister[current].clear();
            seeded[address] = 0;
        } else if (row.type == RegisterInfo::FIELD && !current.empty()) {
            Register::Field field(name, static_cast<uint8_t>(row.field.start & 0xFF),
                                  static_cast<uint8_t>(row.field.len & 0xFF), row.field.default_value, {});
            seeded[address] = field.set_bitfield_in_value(row.field.default_value, seeded[address]);
            auto& fields = names->fieldsByRegister[current];
            if (std::find(fields.begin(), fields.end(), name) == fields.end()) {
                fields.push_back(name);
            }
        }
    }
    std::lock_guard<std::mutex> lock(m_lock);
    for (const auto& [a, v] : seeded) {
        m_registers[a] = v;
    }
    m_names = std::move(names);
}

const DeviceDouble::Names& DeviceDouble::namesLocked() const {
    if (!m_names) {
        throw std::logic_error("DeviceDouble: no register table attached");
    }
    return *m_names;
}

void DeviceDouble::poke(uint32_t address, uint32_t value) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_registers[address] = value;
}

uint32_t DeviceDouble::peek(uint32_t address) const {
    std::lock_guard<std::mutex> lock(m_lock);
    return storedLocked(address);
}

uint32_t DeviceDouble::addressOf(const std::string& reg) const {
    std::lock_guard<std::mutex> lock(m_lock);
    return (*namesLocked().map)[reg].get_address();
}

void DeviceDouble::poke(const std::string& reg, uint32_t value) { poke(addressOf(reg), value); }

uint32_t DeviceDouble::peek(const std::string& reg) const { return peek(addressOf(reg)); }

void DeviceDouble::pokeField(const std::string& reg, const std::string& field, uint32_t value) {
    std::lock_guard<std::mutex> lock(m_lock);
    const Register& r = (*namesLocked().map)[reg];
    m_registers[r.get_address()] = r[field].set_bitfield_in_value(value, storedLocked(r.get_address()));
}

uint32_t DeviceDouble::peekField(const std::string& reg, const std::string& field) const {
    std::lock_guard<std::mutex> lock(m_lock);
    const Register& r = (*namesLocked().map)[reg];
    return r[field].get_bitfield_in_value(storedLocked(r.get_address()));
}

void DeviceDouble::setUnknownReadValue(uint32_t value) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_unknownReadValue = value;
}

void DeviceDouble::setBlockReadStride(uint32_t stride) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_blockStride = stride;
}

void DeviceDouble::pokeControl(uint32_t address, uint32_t value) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_controlRegisters[address] = value;
}

uint32_t DeviceDouble::peekControl(uint32_t address) const {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_controlRegisters.find(address);
    return it == m_controlRegisters.end() ? m_unknownReadValue : it->second;
}

void DeviceDouble::setControlBlock(uint32_t address, std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_controlBlocks[address] = std::move(bytes);
}

std::vector<uint8_t> DeviceDouble::controlBlock(uint32_t address) const {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_controlBlocks.find(address);
    return it == m_controlBlocks.end() ? std::vector<uint8_t>{} : it->second;
}

void DeviceDouble::scriptReads(uint32_t address, std::vector<uint32_t> values) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto& queue = m_scripted[address];
    queue.insert(queue.end(), values.begin(), values.end());
}

void DeviceDouble::setDoneBits(uint32_t address, uint32_t mask, int reads, std::optional<uint32_t> armedByWrite) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_doneRules.push_back(DoneRule{address, mask, reads, armedByWrite, !armedByWrite.has_value(), 0});
}

void DeviceDouble::setDoneField(const std::string& reg, const std::string& field, int reads,
                                std::optional<std::string> armedByWriteTo) {
    uint32_t address;
    uint32_t mask;
    std::optional<uint32_t> trigger;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const Register& r = (*namesLocked().map)[reg];
        address = r.get_address();
        mask = r[field].get_mask();
        if (armedByWriteTo) {
            trigger = (*namesLocked().map)[*armedByWriteTo].get_address();
        }
    }
    setDoneBits(address, mask, reads, trigger);
}

void DeviceDouble::clearDoneBits() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_doneRules.clear();
}

void DeviceDouble::setReadHook(ReadHook hook) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_readHook = std::move(hook);
}

void DeviceDouble::setWriteHook(WriteHook hook) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_writeHook = std::move(hook);
}

void DeviceDouble::setConnected(bool connected) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_connected = connected;
}

void DeviceDouble::failReads(int count, std::optional<uint32_t> address) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_readFaults.push_back({count, address});
}

void DeviceDouble::failWrites(int count, std::optional<uint32_t> address) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_writeFaults.push_back({count, address});
}

void DeviceDouble::failControlTransfers(int count) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_controlFaults = count;
}

void DeviceDouble::clearFaults() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_readFaults.clear();
    m_writeFaults.clear();
    m_controlFaults = 0;
}

void DeviceDouble::setFailedReadValue(uint32_t value) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_failedReadValue = value;
}

void DeviceDouble::setCalibrationData(std::vector<uint8_t> data) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_calibration = std::move(data);
}

std::vector<uint8_t> DeviceDouble::calibrationData() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_calibration.value_or(std::vector<uint8_t>{});
}

void DeviceDouble::setFirmwareVersion(uint32_t version) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_firmwareVersion = version;
}

void DeviceDouble::setBuildDate(uint32_t date) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_buildDate = date;
}

void DeviceDouble::setDeviceCount(uint32_t count) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_deviceCount = count;
}

std::vector<Interface::InterfaceInitInfo> DeviceDouble::initCalls() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_initCalls;
}

std::vector<Access> DeviceDouble::log() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_log;
}

void DeviceDouble::clearLog() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_log.clear();
    m_previousValues.clear();
}

std::vector<Access> DeviceDouble::writes() const {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<Access> out;
    for (const Access& a : m_log) {
        if (a.kind == AccessKind::Write && !a.failed) {
            out.push_back(a);
        }
    }
    return out;
}

std::vector<uint32_t> DeviceDouble::writesTo(uint32_t address) const {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<uint32_t> out;
    for (const Access& a : m_log) {
        if (a.kind == AccessKind::Write && !a.failed && a.address == address) {
            out.push_back(a.value);
        }
    }
    return out;
}

std::vector<uint32_t> DeviceDouble::writesTo(const std::string& reg) const { return writesTo(addressOf(reg)); }

size_t DeviceDouble::readCount(uint32_t address) const {
    std::lock_guard<std::mutex> lock(m_lock);
    size_t n = 0;
    for (const Access& a : m_log) {
        n += (a.kind == AccessKind::Read || a.kind == AccessKind::BlockRead) && a.address == address;
    }
    return n;
}

size_t DeviceDouble::writeCount(uint32_t address) const {
    std::lock_guard<std::mutex> lock(m_lock);
    size_t n = 0;
    for (const Access& a : m_log) {
        n += a.kind == AccessKind::Write && a.address == address;
    }
    return n;
}

void DeviceDouble::decodeLocked(const Access& access, uint32_t previous, bool changedOnly,
                                std::vector<std::string>& out) const {
    const Names& names = namesLocked();
    auto reg = names.registerByAddress.find(access.address);
    if (reg == names.registerByAddress.end()) {
        if (!changedOnly || previous != access.value) {
            out.push_back(hex(access.address) + " = " + hex(access.value));
        }
        return;
    }
    const std::vector<std::string>& fields = names.fieldsByRegister.at(reg->second);
    if (fields.empty()) {
        if (!changedOnly || previous != access.value) {
            out.push_back(reg->second + " = " + hex(access.value));
        }
        return;
    }
    const Register& r = (*names.map)[reg->second];
    for (const std::string& f : fields) {
        const Register::Field& field = r[f];
        uint32_t now = field.get_bitfield_in_value(access.value);
        if (!changedOnly || field.get_bitfield_in_value(previous) != now) {
            out.push_back(reg->second + "." + f + " = " + hex(now));
        }
    }
}

std::vector<std::string> DeviceDouble::decodedWrites(bool changedOnly) const {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::string> out;
    for (size_t i = 0; i < m_log.size(); ++i) {
        if (m_log[i].kind == AccessKind::Write && !m_log[i].failed) {
            decodeLocked(m_log[i], m_previousValues[i], changedOnly, out);
        }
    }
    return out;
}

std::vector<uint32_t> DeviceDouble::fieldWrites(const std::string& reg, const std::string& field) const {
    std::lock_guard<std::mutex> lock(m_lock);
    const Register& r = (*namesLocked().map)[reg];
    const Register::Field& f = r[field];
    std::vector<uint32_t> out;
    for (const Access& a : m_log) {
        if (a.kind == AccessKind::Write && !a.failed && a.address == r.get_address()) {
            out.push_back(f.get_bitfield_in_value(a.value));
        }
    }
    return out;
}

std::vector<std::string> DeviceDouble::logLines() const {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::string> out;
    for (const Access& a : m_log) {
        out.push_back(toString(a));
    }
    return out;
}

uint32_t DeviceDouble::storedLocked(uint32_t address) const {
    auto it = m_registers.find(address);
    return it == m_registers.end() ? m_unknownReadValue : it->second;
}

bool DeviceDouble::takeFault(std::vector<Fault>& faults, std::optional<uint32_t> address) {
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        if (it->address && (!address || *it->address != *address)) {
            continue;
        }
        if (it->remaining == 0) {
            continue;
        }
        if (it->remaining > 0 && --it->remaining == 0) {
            faults.erase(it);
        }
        return true;
    }
    return false;
}

bool DeviceDouble::readLocked(AccessKind kind, uint32_t address, uint32_t& value) {
    uint64_t readNumber = ++m_readNumbers[address];
    uint32_t stored = storedLocked(address);
    if (takeFault(m_readFaults, address)) {
        value = m_failedReadValue;
        m_log.push_back({kind, address, value, true});
        m_previousValues.push_back(stored);
        return false;
    }
    value = stored;
    auto scripted = m_scripted.find(address);
    if (scripted != m_scripted.end() && !scripted->second.empty()) {
        value = scripted->second.front();
        scripted->second.erase(scripted->second.begin());
    }
    for (DoneRule& rule : m_doneRules) {
        if (rule.address != address) {
            continue;
        }
        bool done = false;
        if (rule.armed) {
            ++rule.readsSinceArmed;
            done = rule.reads >= 0 && rule.readsSinceArmed > static_cast<uint64_t>(rule.reads);
        }
        value = done ? (value | rule.mask) : (value & ~rule.mask);
    }
    if (m_readHook) {
        value = m_readHook(address, value, readNumber);
    }
    m_log.push_back({kind, address, value, false});
    m_previousValues.push_back(stored);
    return true;
}

bool DeviceDouble::writeLocked(uint32_t address, uint32_t value) {
    uint32_t previous = storedLocked(address);
    bool failed = takeFault(m_writeFaults, address);
    m_log.push_back({AccessKind::Write, address, value, failed});
    m_previousValues.push_back(previous);
    if (failed) {
        return false;
    }
    m_registers[address] = m_writeHook ? m_writeHook(address, value, previous) : value;
    for (DoneRule& rule : m_doneRules) {
        if (rule.armedByWrite && *rule.armedByWrite == address) {
            rule.armed = true;
            rule.readsSinceArmed = 0;
        }
    }
    return true;
}

bool DeviceDouble::isConnected() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_connected;
}

void DeviceDouble::initByCamera(const InterfaceInitInfo& info) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_initCalls.push_back(info);
}

std::vector<uint32_t> DeviceDouble::readRegister(uint32_t address, int count) {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<uint32_t> values;
    for (int i = 0; i < count; ++i) {
        uint32_t value = 0;
        if (!readLocked(AccessKind::BlockRead, address + static_cast<uint32_t>(i) * m_blockStride, value)) {
            return {};
        }
        values.push_back(value);
    }
    return values;
}

uint32_t DeviceDouble::readRegister(uint32_t address) {
    uint32_t value = 0;
    tryReadRegister(address, value);
    return value;
}

bool DeviceDouble::tryReadRegister(uint32_t address, uint32_t& value) {
    std::lock_guard<std::mutex> lock(m_lock);
    return readLocked(AccessKind::Read, address, value);
}

void DeviceDouble::writeRegister(uint32_t address, uint32_t value) {
    std::lock_guard<std::mutex> lock(m_lock);
    writeLocked(address, value);
}

bool DeviceDouble::tryWriteRegister(uint32_t address, uint32_t value) {
    std::lock_guard<std::mutex> lock(m_lock);
    return writeLocked(address, value);
}

namespace {
constexpr uint32_t CONTROL_FAILED = 1;
}

uint32_t DeviceDouble::readRegisterWithControlTransfer(uint32_t address, uint8_t* data, uint16_t length) {
    std::lock_guard<std::mutex> lock(m_lock);
    bool failed = m_controlFaults != 0;
    if (m_controlFaults > 0) {
        --m_controlFaults;
    }
    m_log.push_back({AccessKind::ControlBlockRead, address, length, failed});
    m_previousValues.push_back(0);
    if (failed) {
        return CONTROL_FAILED;
    }
    auto it = m_controlBlocks.find(address);
    for (uint16_t i = 0; data != nullptr && i < length; ++i) {
        data[i] = it != m_controlBlocks.end() && i < it->second.size() ? it->second[i] : 0;
    }
    return 0;
}

uint32_t DeviceDouble::readRegisterWithControlTransfer(uint32_t address, uint32_t& value) {
    std::lock_guard<std::mutex> lock(m_lock);
    bool failed = m_controlFaults != 0;
    if (m_controlFaults > 0) {
        --m_controlFaults;
    }
    auto it = m_controlRegisters.find(address);
    uint32_t stored = it == m_controlRegisters.end() ? m_unknownReadValue : it->second;
    m_log.push_back({AccessKind::ControlRead, address, failed ? 0 : stored, failed});
    m_previousValues.push_back(stored);
    if (failed) {
        return CONTROL_FAILED;
    }
    value = stored;
    return 0;
}

uint32_t DeviceDouble::writeRegisterWithControlTransfer(uint32_t address, uint8_t* data, uint16_t length) {
    std::lock_guard<std::mutex> lock(m_lock);
    bool failed = m_controlFaults != 0;
    if (m_controlFaults > 0) {
        --m_controlFaults;
    }
    m_log.push_back({AccessKind::ControlBlockWrite, address, length, failed});
    m_previousValues.push_back(0);
    if (failed) {
        return CONTROL_FAILED;
    }
    m_controlBlocks[address] = data != nullptr ? std::vector<uint8_t>(data, data + length) : std::vector<uint8_t>{};
    return 0;
}

uint32_t DeviceDouble::writeRegisterWithControlTransfer(uint32_t address, uint32_t value) {
    std::lock_guard<std::mutex> lock(m_lock);
    bool failed = m_controlFaults != 0;
    if (m_controlFaults > 0) {
        --m_controlFaults;
    }
    auto it = m_controlRegisters.find(address);
    m_log.push_back({AccessKind::ControlWrite, address, value, failed});
    m_previousValues.push_back(it == m_controlRegisters.end() ? m_unknownReadValue : it->second);
    if (failed) {
        return CONTROL_FAILED;
    }
    m_controlRegisters[address] = value;
    return 0;
}

bool DeviceDouble::writeCalibrationFile(std::string path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_controlFaults != 0) {
        if (m_controlFaults > 0) {
            --m_controlFaults;
        }
        return false;
    }
    m_calibration = std::move(bytes);
    return true;
}

bool DeviceDouble::readCalibrationData(std::vector<uint8_t>& data) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_calibration || m_controlFaults != 0) {
        if (m_controlFaults > 0) {
            --m_controlFaults;
        }
        return false;
    }
    data = *m_calibration;
    return true;
}

uint32_t DeviceDouble::getFirmwareVersion() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_firmwareVersion;
}

uint32_t DeviceDouble::getBuildDate() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_buildDate;
}

uint32_t DeviceDouble::getDeviceCount() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_deviceCount;
}

} // namespace quelnor::test
