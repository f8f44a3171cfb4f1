#include "DeviceParameterRecord.h"

#include <algorithm>
#include <cstring>
#include <ostream>

#include "DeviceParameterText.h"

namespace quelnor::writeparams {

namespace {

constexpr int MAC_HIGH_SHIFT = 32;
constexpr uint64_t MAC_HIGH_MASK = 0xFFFF;
constexpr uint64_t MAC_LOW_MASK = 0xFFFFFFFF;
constexpr char FIRST_PRINTABLE = 32;
constexpr char LAST_PRINTABLE = 126;

// Every byte outside the printable range becomes NUL, so a text ends at the first one.
void keepPrintable(char* field, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (field[i] < FIRST_PRINTABLE || field[i] > LAST_PRINTABLE) {
            field[i] = '\0';
        }
    }
}

// A text field read up to its first NUL, never past its end.
template <size_t N>
std::string fieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

} // namespace

void setRecordText(char* field, size_t size, const std::string& text) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

void setRecordMac(GvcpDeviceParameters& record, uint64_t mac) {
    record.macHigh = static_cast<uint16_t>((mac >> MAC_HIGH_SHIFT) & MAC_HIGH_MASK);
    record.macLow = static_cast<uint32_t>(mac & MAC_LOW_MASK);
}

uint64_t recordMac(const GvcpDeviceParameters& record) {
    return (static_cast<uint64_t>(record.macHigh) << MAC_HIGH_SHIFT) | record.macLow;
}

GvcpDeviceParameters makeFactoryRecord(const CameraDescription& camera) {
    GvcpDeviceParameters record;
    record.version = RECORD_VERSION;
    record.deviceMode = RECORD_DEVICE_MODE;
    setRecordMac(record, camera.macAddress);
    record.interfaceCapability = RECORD_INTERFACE_CAPABILITY;
    record.interfaceConfiguration = RECORD_INTERFACE_CONFIGURATION;
    record.currentIp = ipStringToU32LittleEndian(RECORD_IP);
    record.subnetMask = ipStringToU32LittleEndian(RECORD_SUBNET_MASK);
    record.defaultGateway = ipStringToU32LittleEndian(RECORD_GATEWAY);
    setRecordText(record.manufacturerName, sizeof record.manufacturerName, RECORD_MANUFACTURER);
    setRecordText(record.modelName, sizeof record.modelName, RECORD_MODEL);
    setRecordText(record.deviceVersion, sizeof record.deviceVersion, RECORD_DEVICE_VERSION);
    setRecordText(record.serialNumber, sizeof record.serialNumber, camera.serialNumber);
    return record;
}

void printDeviceParameters(const GvcpDeviceParameters& record, const CameraDescription& camera, std::ostream& out) {
    GvcpDeviceParameters shown = record;
    keepPrintable(shown.manufacturerName, sizeof shown.manufacturerName);
    keepPrintable(shown.modelName, sizeof shown.modelName);
    keepPrintable(shown.deviceVersion, sizeof shown.deviceVersion);
    keepPrintable(shown.manufacturerInfo, sizeof shown.manufacturerInfo);
    keepPrintable(shown.serialNumber, sizeof shown.serialNumber);
    keepPrintable(shown.userDefinedName, sizeof shown.userDefinedName);

    out << "\n========== Current Device Parameters ==========\n\n"
        << "--- Device Information (from discovery) ---\n"
        << "  Serial Number:              [" << camera.serialNumber << "]\n"
        << "  Manufacturer:               [" << camera.manufacturer << "]\n"
        << "  Product:                    [" << camera.productName << "]\n"
        << "  Firmware Version:           [" << camera.firmwareVersion << "]\n"
        << "  MAC Address:                [" << formatMacAddress(camera.macAddress) << "]\n"
        << "  IP Address:                 [" << camera.ipAddresses[0] << "]\n"
        << "\n--- Current Values ---\n"
        << "  User Defined Name:          " << fieldText(shown.userDefinedName) << "\n"
        << "  MAC Address:                " << formatMacAddress(recordMac(record)) << "\n"
        << "  IP Address:                 " << camera.ipAddresses[0] << "\n"
        << "  Subnet Mask:               " << camera.ipAddresses[2] << "\n"
        << "  Default Gateway:           " << camera.ipAddresses[3] << "\n"
        << "  Manufacturer Name:         " << fieldText(shown.manufacturerName) << "\n"
        << "  Device Version:            " << fieldText(shown.deviceVersion) << "\n"
        << "\n==============================================\n";
}

} // namespace quelnor::writeparams
