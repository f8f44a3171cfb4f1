#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QuelnorHal/interface/Interface.h"
#include "QuelnorHal/register/RegisterInfo.h"
#include "QuelnorHal/register/RegisterMap.h"
#include "QuelnorHal/register/RegisterOperation.h"

namespace quelnor {

// Register access by name over a device interface. Shared (as a shared pointer) by a camera, its
// sensor and its tools.
//
// Thread safety: every read-modify-write (writeRegisterField, writeRegisterFieldByAlias, masked
// RegisterOperations) holds the controller's lock for its read and write, so two threads changing
// fields of one register do not lose a change. Copies of a controller share that lock. Plain reads
// and writes take the lock too, so they never land between the two halves of a read-modify-write.
//
// A read-modify-write whose read fails (Interface::tryReadRegister answers false) writes nothing
// and logs an error.
class RegisterController {
public:
    RegisterController(std::shared_ptr<Interface> interface, const RegisterInfo* table, uint32_t count,
                       std::string prefix);
    RegisterController(const RegisterController& other);
    RegisterController& operator=(const RegisterController& other);
    ~RegisterController();

    // Name errors: runtime_error "RegisterController: Register not found" and "Register: Field not found";
    // an alias the field lacks: runtime_error "Register::Field: Alias not found" (nothing written).
    // A write the device refuses fails as the interface's writeRegister does (over USB it throws); a
    // field whose register could not be read is logged and left unwritten.
    uint32_t readRegister(const std::string& name);
    void writeRegister(const std::string& name, const uint32_t& value);
    void writeRegisterField(const std::string& reg, const std::string& field, uint32_t value);
    void writeRegisterFieldByAlias(const std::string& reg, const std::string& field, const std::string& alias);
    void readRegisterField(const std::string& reg, const std::string& field, uint32_t& value);

    // Nothing is done while the interface reports not connected.
    void applyRegisterOperation(RegisterOperation op);
    void applyRegisterOperationSequence(std::vector<RegisterOperation> sequence);

    // Writes that report their outcome (Interface::tryWriteRegister): true when the device confirmed
    // every write (and answered the read of a read-modify-write). A failure logs an error line that
    // names the register. Same threads and cost as the plain operations (over Ethernet up to 100 ms
    // per unconfirmed exchange). Name errors throw as above.
    bool tryWriteRegister(const std::string& name, uint32_t value);
    bool tryWriteRegisterField(const std::string& reg, const std::string& field, uint32_t value);
    // False, with nothing done, while the interface reports not connected; pauses and reads never fail
    // (a read's value is discarded, as by applyRegisterOperation).
    bool tryApplyRegisterOperation(const RegisterOperation& op);
    // Stops at the first operation that fails and returns false; the rest is not applied.
    bool tryApplyRegisterOperationSequence(const std::vector<RegisterOperation>& sequence);

    // Control-transfer path: 0xFFFFFFFF without any look-up while the interface is not connected.
    uint32_t readRegisterWithControlTransfer(const std::string& name, uint32_t& value);
    uint32_t writeRegisterWithControlTransfer(const std::string& name, uint32_t value);
    uint32_t readRegisterWithControlTransfer(const std::string& name, uint8_t* data, uint16_t length);
    uint32_t writeRegisterDataWithControlTransfer(const std::string& name, uint8_t* data, uint16_t length);

    std::shared_ptr<Interface> getInterface();

private:
    // PLAIN: the interface's writeRegister, whose failures are its own (logged, or thrown over USB);
    // CONFIRMED: tryWriteRegister, an unconfirmed write logged by register name.
    enum class WriteKind { PLAIN, CONFIRMED };
    // Under the lock: read address, write (old AND NOT mask) OR (value AND mask) unless the read failed.
    // Returns whether the read succeeded and, for CONFIRMED, whether the write was confirmed.
    bool readModifyWrite(uint32_t address, uint32_t value, uint32_t mask, WriteKind kind);
    // Under the lock: the write, true when confirmed.
    bool confirmedWrite(uint32_t address, uint32_t value);
    // The register's name for a log line, or its address when the map has none there.
    std::string describe(uint32_t address) const;

    std::shared_ptr<Interface> m_interface;
    RegisterMap m_registerMap;
    std::shared_ptr<std::mutex> m_lock;
};

} // namespace quelnor
