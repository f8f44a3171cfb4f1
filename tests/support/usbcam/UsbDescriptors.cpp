#include "usbcam/UsbDescriptors.h"

namespace quelnor::test::usbcam {

namespace {

constexpr uint8_t TYPE_DEVICE = 1;
constexpr uint8_t TYPE_CONFIGURATION = 2;
constexpr uint8_t TYPE_STRING = 3;
constexpr uint8_t TYPE_INTERFACE = 4;
constexpr uint8_t TYPE_ENDPOINT = 5;
constexpr uint8_t DEVICE_LENGTH = 18;
constexpr uint8_t CONFIGURATION_LENGTH = 9;
constexpr uint8_t INTERFACE_LENGTH = 9;
constexpr uint8_t ENDPOINT_LENGTH = 7;
constexpr uint16_t USB_2_0 = 0x0200;
constexpr uint8_t EP0_MAX_PACKET = 64;
constexpr uint8_t CONFIGURATION_VALUE = 1;
constexpr uint8_t SELF_POWERED_ATTRIBUTES = 0x80;
constexpr uint8_t MAX_POWER_500MA = 250;

void put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

} // namespace

std::vector<uint8_t> UsbDescriptors::device(const UsbCameraConfig& config) {
    std::vector<uint8_t> d{DEVICE_LENGTH, TYPE_DEVICE};
    put16(d, USB_2_0);
    d.insert(d.end(), {0, 0, 0, EP0_MAX_PACKET});
    put16(d, config.vendorId);
    put16(d, config.productId);
    put16(d, config.bcdDevice);
    d.push_back(config.manufacturer.empty() ? 0 : MANUFACTURER_INDEX);
    d.push_back(config.product.empty() ? 0 : PRODUCT_INDEX);
    d.push_back(config.serialString.empty() ? 0 : SERIAL_INDEX);
    d.push_back(1); // one configuration
    return d;
}

std::vector<uint8_t> UsbDescriptors::configuration(const UsbCameraConfig& config) {
    std::vector<uint8_t> body;
    for (size_t number = 0; number < config.interfaces.size(); ++number) {
        const auto& settings = config.interfaces[number].altSettings;
        for (size_t alt = 0; alt < settings.size(); ++alt) {
            const AltSettingConfig& s = settings[alt];
            body.insert(body.end(), {INTERFACE_LENGTH, TYPE_INTERFACE, static_cast<uint8_t>(number),
                                     static_cast<uint8_t>(alt), static_cast<uint8_t>(s.endpoints.size()),
                                     s.interfaceClass, s.interfaceSubClass, s.interfaceProtocol, 0});
            for (const EndpointConfig& e : s.endpoints) {
                body.insert(body.end(), {ENDPOINT_LENGTH, TYPE_ENDPOINT, e.address, e.attributes});
                put16(body, e.maxPacketSize);
                body.push_back(0);
            }
        }
    }
    std::vector<uint8_t> d{CONFIGURATION_LENGTH, TYPE_CONFIGURATION};
    put16(d, static_cast<uint16_t>(CONFIGURATION_LENGTH + body.size()));
    d.insert(d.end(), {static_cast<uint8_t>(config.interfaces.size()), CONFIGURATION_VALUE, 0,
                       SELF_POWERED_ATTRIBUTES, MAX_POWER_500MA});
    d.insert(d.end(), body.begin(), body.end());
    return d;
}

std::optional<std::vector<uint8_t>> UsbDescriptors::string(const UsbCameraConfig& config, uint8_t index) {
    if (index == 0) {
        std::vector<uint8_t> d{4, TYPE_STRING};
        put16(d, LANGUAGE_EN_US);
        return d;
    }
    const std::string* text = nullptr;
    if (index == MANUFACTURER_INDEX && !config.manufacturer.empty()) {
        text = &config.manufacturer;
    } else if (index == PRODUCT_INDEX && !config.product.empty()) {
        text = &config.product;
    } else if (index == SERIAL_INDEX && !config.serialString.empty()) {
        text = &config.serialString;
    }
    if (!text) {
        return std::nullopt;
    }
    std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * text->size()), TYPE_STRING};
    for (char c : *text) {
        put16(d, static_cast<uint8_t>(c));
    }
    return d;
}

std::vector<uint8_t> UsbDescriptors::sysfsDescriptors(const UsbCameraConfig& config) {
    std::vector<uint8_t> all = device(config);
    std::vector<uint8_t> c = configuration(config);
    all.insert(all.end(), c.begin(), c.end());
    return all;
}

} // namespace quelnor::test::usbcam
