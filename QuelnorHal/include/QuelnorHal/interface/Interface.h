#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "QuelnorHal/interface/CameraDescription.h"

namespace quelnor {

// The device a camera is reached through (USB, Ethernet or MIPI). Cameras, register controllers,
// sensors and the data-transfer factory use only these operations. The base class answers every
// operation with "nothing": true for isConnected, empty or zero values, false results.
// Thread safety is the concrete class's business; the base class holds no state but its type.
class Interface {
public:
    // Same numbers as INTERFACE_TYPE.
    enum InterfaceType : int32_t {
        USB = 0,
        ETH = 1,
        MIPI = 2,
    };

    struct InterfaceInitInfo {
        uint16_t vendorId = 0;
        uint16_t productId = 0;
        uint8_t interfaceSubClass = 0; // subclass of the USB vendor interface, 0x19 for our cameras
    };

    Interface(const Interface& other) = default;
    Interface& operator=(const Interface&) = delete;
    virtual ~Interface();

    const InterfaceType& getInterfaceType() const;

    virtual bool isConnected() const;
    virtual void initByCamera(const InterfaceInitInfo& info);
    // count consecutive registers from address
    virtual std::vector<uint32_t> readRegister(uint32_t address, int count);
    virtual uint32_t readRegister(uint32_t address);
    virtual void writeRegister(uint32_t address, uint32_t value);
    virtual uint32_t readRegisterWithControlTransfer(uint32_t address, uint8_t* data, uint16_t length);
    virtual uint32_t readRegisterWithControlTransfer(uint32_t address, uint32_t& value);
    virtual uint32_t writeRegisterWithControlTransfer(uint32_t address, uint8_t* data, uint16_t length);
    virtual uint32_t writeRegisterWithControlTransfer(uint32_t address, uint32_t value);
    virtual bool writeCalibrationFile(std::string path);
    virtual bool readCalibrationData(std::vector<uint8_t>& data);
    virtual uint32_t getFirmwareVersion();
    virtual uint32_t getBuildDate();
    virtual uint32_t getDeviceCount();

    // A single-register read that says whether it reached the device. value receives what
    // readRegister(address) would return (on failure that is the interface's failure value).
    // The register controller uses it so a read-modify-write never writes back a value it never read.
    // Base: readRegister(address), reported as successful. Interfaces that can tell a failed read
    // override it (and usually implement readRegister on top of it).
    virtual bool tryReadRegister(uint32_t address, uint32_t& value);
    // A single-register write that says whether the device confirmed it. The register controller uses
    // it so that a sensor initialisation fails instead of leaving a register unset.
    // Base: writeRegister(address, value), reported as successful. Interfaces that can tell an
    // unconfirmed write override it. Same thread rules and cost as writeRegister.
    virtual bool tryWriteRegister(uint32_t address, uint32_t value);

protected:
    explicit Interface(InterfaceType type);

private:
    const InterfaceType m_interfaceType;
};

} // namespace quelnor
