#pragma once

// DeviceDouble: a stand-in for camera hardware behind the device Interface, for tests of tools,
// sensors and cameras. Link `quelnor_device_double`, include "device/DeviceDouble.h".
//
//   auto dev = std::make_shared<quelnor::test::DeviceDouble>(IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE);
//   quelnor::RegisterController ctrl(dev, IMX636_REGISTER_MAP, IMX636_REGISTER_MAP_SIZE, "PSEE/IMX636/");
//   ctrl.writeRegisterField("roi_ctrl", "roi_td_en", 1);
//   EXPECT_EQ(dev->peekField("roi_ctrl", "roi_td_en"), 1u);
//   EXPECT_THAT(dev->decodedWrites(true), testing::ElementsAre("roi_ctrl.roi_td_en = 0x1"));
//
// Register file. Two address spaces: the plain path (readRegister / writeRegister, block reads) and
// the control-transfer path (readRegisterWithControlTransfer / writeRegisterWithControlTransfer),
// which on real cameras reach different targets. An attached table seeds the plain space: each
// register starts at its fields' default values; addresses never written read as the "unknown
// read value" (0 unless set). Byte blocks of the control path are kept per address.
//
// Log. Every call that reaches the device is logged in order as an Access (kind, address, value,
// failed); peek/poke and the other set-up calls are not. Names: with a table attached, writes
// decode as "reg.field = 0xV" (value in upper-case hex, "0x0" for zero; a register without fields
// as "reg = 0xV", an address outside the table as "0xADDR = 0xV").
//
// Scripting, applied to plain reads in this order: an injected read fault; else the stored value,
// replaced by the next scripted value if any are queued for the address; then "done" rules (bits that
// read 0 until the address has been read N times, then 1); then the read hook.
//
// Connection: isConnected() answers what setConnected set (true at first). Being disconnected does not
// change what the register calls do (so a test sees whether the caller asked first); use the faults
// for that.
//
// Faults: failed reads answer the failed-read value (0 unless set), tryReadRegister says false, the
// stored value is untouched; failed writes store nothing; failed control transfers return 1 and
// leave their out values untouched. All failed calls are logged with failed = true.
//
// Thread safety: every member may be called from any thread. Hooks run under the double's lock and
// must not call back into it.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "QuelnorHal/interface/Interface.h"
#include "QuelnorHal/register/RegisterInfo.h"
#include "QuelnorHal/register/RegisterMap.h"

namespace quelnor::test {

enum class AccessKind {
    Read,              // readRegister(address), tryReadRegister
    Write,             // writeRegister, tryWriteRegister
    BlockRead,         // one entry per register of readRegister(address, count)
    ControlRead,       // readRegisterWithControlTransfer(address, value&)
    ControlWrite,      // writeRegisterWithControlTransfer(address, value)
    ControlBlockRead,  // readRegisterWithControlTransfer(address, data, length): value = length
    ControlBlockWrite, // writeRegisterWithControlTransfer(address, data, length): value = length
};

struct Access {
    AccessKind kind;
    uint32_t address;
    uint32_t value; // the value answered or written (the length for block transfers)
    bool failed;

    bool operator==(const Access& other) const = default;
};

std::string toString(AccessKind kind);
// "read 0x4 = 0x0", "write 0x4 = 0x1 (failed)"
std::string toString(const Access& access);

class DeviceDouble : public Interface {
public:
    // (address, stored value, number of this read of the address counting from 1) -> value answered
    using ReadHook = std::function<uint32_t(uint32_t address, uint32_t value, uint64_t readNumber)>;
    // (address, written value, previous value) -> value stored
    using WriteHook = std::function<uint32_t(uint32_t address, uint32_t written, uint32_t previous)>;

    explicit DeviceDouble(InterfaceType type = Interface::USB);
    DeviceDouble(const RegisterInfo* table, uint32_t count, InterfaceType type = Interface::USB);
    ~DeviceDouble() override;

    // ---- register file ----
    // Seeds the plain space with the table's defaults and makes names usable (replaces an earlier table).
    void attachTable(const RegisterInfo* table, uint32_t count);
    void poke(uint32_t address, uint32_t value);
    uint32_t peek(uint32_t address) const;
    // By name, through the attached table; unknown names throw like RegisterMap does.
    void poke(const std::string& reg, uint32_t value);
    uint32_t peek(const std::string& reg) const;
    void pokeField(const std::string& reg, const std::string& field, uint32_t value);
    uint32_t peekField(const std::string& reg, const std::string& field) const;
    uint32_t addressOf(const std::string& reg) const;
    void setUnknownReadValue(uint32_t value);
    // Step between the registers of a block read (4 unless set).
    void setBlockReadStride(uint32_t stride);

    void pokeControl(uint32_t address, uint32_t value);
    uint32_t peekControl(uint32_t address) const;
    void setControlBlock(uint32_t address, std::vector<uint8_t> bytes);
    std::vector<uint8_t> controlBlock(uint32_t address) const;

    // ---- scripting ----
    // The next reads of address answer these values in order, then the register file again.
    void scriptReads(uint32_t address, std::vector<uint32_t> values);
    // Bits of mask read 0 for the next `reads` reads of address and 1 afterwards; reads < 0: never 1.
    // With armedByWrite, counting starts only at the next write to that address (a request bit).
    void setDoneBits(uint32_t address, uint32_t mask, int reads, std::optional<uint32_t> armedByWrite = {});
    void setDoneField(const std::string& reg, const std::string& field, int reads,
                      std::optional<std::string> armedByWriteTo = {});
    void clearDoneBits();
    void setReadHook(ReadHook hook);
    void setWriteHook(WriteHook hook);

    // ---- connection and faults ----
    void setConnected(bool connected);
    // Fail the next `count` reads (count < 0: every read) of address, or of any address.
    void failReads(int count = -1, std::optional<uint32_t> address = {});
    void failWrites(int count = -1, std::optional<uint32_t> address = {});
    void failControlTransfers(int count = -1);
    void clearFaults();
    void setFailedReadValue(uint32_t value);

    // ---- other device answers ----
    void setCalibrationData(std::vector<uint8_t> data); // readCalibrationData answers false until set
    std::vector<uint8_t> calibrationData() const;       // also what writeCalibrationFile stored
    void setFirmwareVersion(uint32_t version);
    void setBuildDate(uint32_t date);
    void setDeviceCount(uint32_t count);
    std::vector<InterfaceInitInfo> initCalls() const;

    // ---- log ----
    std::vector<Access> log() const;
    void clearLog();
    std::vector<Access> writes() const; // successful plain writes
    std::vector<uint32_t> writesTo(uint32_t address) const;
    std::vector<uint32_t> writesTo(const std::string& reg) const;
    size_t readCount(uint32_t address) const; // plain reads, failed ones included
    size_t writeCount(uint32_t address) const;
    // One line "reg.field = 0xV" per field of every successful plain write, in order; with changedOnly
    // only the fields whose value the write changed. Needs a table for names.
    std::vector<std::string> decodedWrites(bool changedOnly = false) const;
    // The field's value in each successful write to its register, in order.
    std::vector<uint32_t> fieldWrites(const std::string& reg, const std::string& field) const;
    std::vector<std::string> logLines() const; // toString of every access

    // ---- Interface ----
    bool isConnected() const override;
    void initByCamera(const InterfaceInitInfo& info) override;
    std::vector<uint32_t> readRegister(uint32_t address, int count) override;
    uint32_t readRegister(uint32_t address) override;
    void writeRegister(uint32_t address, uint32_t value) override;
    uint32_t readRegisterWithControlTransfer(uint32_t address, uint8_t* data, uint16_t length) override;
    uint32_t readRegisterWithControlTransfer(uint32_t address, uint32_t& value) override;
    uint32_t writeRegisterWithControlTransfer(uint32_t address, uint8_t* data, uint16_t length) override;
    uint32_t writeRegisterWithControlTransfer(uint32_t address, uint32_t value) override;
    bool writeCalibrationFile(std::string path) override;
    bool readCalibrationData(std::vector<uint8_t>& data) override;
    uint32_t getFirmwareVersion() override;
    uint32_t getBuildDate() override;
    uint32_t getDeviceCount() override;
    bool tryReadRegister(uint32_t address, uint32_t& value) override;
    // writeRegister that says false for a failed write.
    bool tryWriteRegister(uint32_t address, uint32_t value) override;

private:
    struct Fault {
        int remaining; // < 0: forever
        std::optional<uint32_t> address;
    };
    struct DoneRule {
        uint32_t address;
        uint32_t mask;
        int reads;
        std::optional<uint32_t> armedByWrite;
        bool armed;
        uint64_t readsSinceArmed;
    };
    struct Names {
        std::map<uint32_t, std::string> registerByAddress;
        std::map<std::string, std::vector<std::string>> fieldsByRegister; // table order
        std::unique_ptr<RegisterMap> map;
    };

    static bool takeFault(std::vector<Fault>& faults, std::optional<uint32_t> address);
    bool readLocked(AccessKind kind, uint32_t address, uint32_t& value);
    bool writeLocked(uint32_t address, uint32_t value);
    uint32_t storedLocked(uint32_t address) const;
    const Names& namesLocked() const;
    void decodeLocked(const Access& access, uint32_t previous, bool changedOnly, std::vector<std::string>& out) const;

    mutable std::mutex m_lock;
    std::map<uint32_t, uint32_t> m_registers;
    std::map<uint32_t, uint32_t> m_controlRegisters;
    std::map<uint32_t, std::vector<uint8_t>> m_controlBlocks;
    std::map<uint32_t, std::vector<uint32_t>> m_scripted;
    std::map<uint32_t, uint64_t> m_readNumbers;
    std::vector<DoneRule> m_doneRules;
    ReadHook m_readHook;
    WriteHook m_writeHook;
    std::vector<Fault> m_readFaults;
    std::vector<Fault> m_writeFaults;
    int m_controlFaults = 0;
    uint32_t m_failedReadValue = 0;
    uint32_t m_unknownReadValue = 0;
    uint32_t m_blockStride = 4;
    bool m_connected = true;
    std::optional<std::vector<uint8_t>> m_calibration;
    uint32_t m_firmwareVersion = 0;
    uint32_t m_buildDate = 0;
    uint32_t m_deviceCount = 0;
    std::vector<InterfaceInitInfo> m_initCalls;
    std::vector<Access> m_log;
    std::vector<uint32_t> m_previousValues; // value before each logged access (for decoding writes)
    std::shared_ptr<Names> m_names;
};

} // namespace quelnor::test
