#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quelnor::test::usbcam {

// What a simulated USB camera looks like from the bus: ids, strings, its interfaces and endpoints,
// and the fixed answers of its firmware. Plain data: tests build odd devices by editing it.

struct EndpointConfig {
    uint8_t address = 0;         // bit 7 set: IN
    uint8_t attributes = 0x02;   // 2 = bulk
    uint16_t maxPacketSize = 512;
};

struct AltSettingConfig {
    uint8_t interfaceClass = 0xFF;
    uint8_t interfaceSubClass = 0x19;
    uint8_t interfaceProtocol = 0;
    std::vector<EndpointConfig> endpoints;
};

// Interface number = position in UsbCameraConfig::interfaces.
struct InterfaceConfig {
    std::vector<AltSettingConfig> altSettings;
};

struct UsbCameraConfig {
    static constexpr uint8_t ANSWER_ENDPOINT = 0x81;
    static constexpr uint8_t COMMAND_ENDPOINT = 0x02;
    static constexpr uint8_t DATA_ENDPOINT = 0x82;
    static constexpr uint8_t DATA_ENDPOINT_2 = 0x83;

    uint16_t vendorId = 0x04B5;
    uint16_t productId = 0x0001;
    uint16_t bcdDevice = 0x0100;
    std::string manufacturer = "Quelnor";
    std::string product = "Tolvane";
    // The serial-number string descriptor; empty: the device has none (index 0).
    std::string serialString;
    std::vector<InterfaceConfig> interfaces;
    // Which endpoints carry control frames; every other IN endpoint is a data stream.
    uint8_t answerEndpoint = ANSWER_ENDPOINT;
    uint8_t commandEndpoint = COMMAND_ENDPOINT;

    // Firmware answers.
    std::vector<uint8_t> serialAnswer; // payload of the answer to frame 114
    uint32_t firmwareVersion = 0x00010203;
    uint32_t buildDate = 0x20240115;
    uint32_t deviceCount = 1;

    // An event camera: one vendor interface (answer, command, data endpoints) answering its serial
    // as text (a "QNP..." serial) to frame 114.
    static UsbCameraConfig eventCamera(uint16_t vendorId, uint16_t productId, const std::string& serial);
    // A fusion camera: the vendor interface has a fourth endpoint (frame stream) and the serial is
    // the serial-number string descriptor.
    static UsbCameraConfig fusionCamera(uint16_t vendorId, uint16_t productId, const std::string& serial);

    // Payloads of a serial answer.
    static std::vector<uint8_t> textPayload(const std::string& text);
    static std::vector<uint8_t> numberPayload(uint64_t number);
};

} // namespace quelnor::test::usbcam
