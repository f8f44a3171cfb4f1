#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "QuelnorHal/interface/CameraDescription.h"
#include "QuelnorHal/interface/GvcpDeviceParameters.h"

namespace quelnor::writeparams {

// Fixed factory values of the record.
constexpr uint32_t RECORD_VERSION = 1;
constexpr uint32_t RECORD_DEVICE_MODE = 0;
constexpr uint32_t RECORD_INTERFACE_CAPABILITY = 0x00040003;
constexpr uint32_t RECORD_INTERFACE_CONFIGURATION = 0x00040003;
constexpr const char* RECORD_IP = "192.168.33.34";
constexpr const char* RECORD_SUBNET_MASK = "255.255.255.0";
constexpr const char* RECORD_GATEWAY = "192.168.33.1";
constexpr const char* RECORD_MANUFACTURER = "Quelnor";
constexpr const char* RECORD_MODEL = "Tolvane-G1";
constexpr const char* RECORD_DEVICE_VERSION = "v1.0.0";
// Where a camera with its factory network identity answers.
constexpr const char* FACTORY_MAC = "0050c258c100";
constexpr const char* FACTORY_IP = "192.168.9.99";

// The record the tool starts from: the factory values with the camera's serial number and MAC.
GvcpDeviceParameters makeFactoryRecord(const CameraDescription& camera);
// Copies text into a record field of `size` bytes, cut to size - 1 characters, NUL-filled.
void setRecordText(char* field, size_t size, const std::string& text);
void setRecordMac(GvcpDeviceParameters& record, uint64_t mac);
uint64_t recordMac(const GvcpDeviceParameters& record);
// The parameter display: the camera as discovery found it, then the record's values.
void printDeviceParameters(const GvcpDeviceParameters& record, const CameraDescription& camera, std::ostream& out);

} // namespace quelnor::writeparams
