#include "usbcam/UsbCameraConfig.h"

namespace quelnor::test::usbcam {

namespace {

AltSettingConfig vendorSetting(bool secondDataEndpoint) {
    AltSettingConfig setting;
    setting.endpoints = {{UsbCameraConfig::ANSWER_ENDPOINT}, {UsbCameraConfig::COMMAND_ENDPOINT},
                         {UsbCameraConfig::DATA_ENDPOINT}};
    if (secondDataEndpoint) {
        setting.endpoints.push_back({UsbCameraConfig::DATA_ENDPOINT_2});
    }
    return setting;
}

} // namespace

UsbCameraConfig UsbCameraConfig::eventCamera(uint16_t vendorId, uint16_t productId, const std::string& serial) {
    UsbCameraConfig config;
    config.vendorId = vendorId;
    config.productId = productId;
    config.interfaces = {{{vendorSetting(false)}}};
    config.serialAnswer = textPayload(serial);
    return config;
}

UsbCameraConfig UsbCameraConfig::fusionCamera(uint16_t vendorId, uint16_t productId, const std::string& serial) {
    UsbCameraConfig config;
    config.vendorId = vendorId;
    config.productId = productId;
    config.product = "Ondrik";
    config.serialString = serial;
    config.interfaces = {{{vendorSetting(true)}}};
    return config;
}

std::vector<uint8_t> UsbCameraConfig::textPayload(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> UsbCameraConfig::numberPayload(uint64_t number) {
    std::vector<uint8_t> bytes(8);
    for (int i = 0; i < 8; ++i) {
        bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(number >> (8 * i));
    }
    return bytes;
}

} // namespace quelnor::test::usbcam
