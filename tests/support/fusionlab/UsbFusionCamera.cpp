#include "fusionlab/UsbFusionCamera.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "fusionlab/Nv12Frames.h"
#include "usbcam/UsbCameraConfig.h"

namespace quelnor::test {

namespace {
constexpr size_t TEXT_REGISTER_BYTES = 64;
constexpr uint32_t DEFAULT_SHUTTER = 3479;
} // namespace

UsbFusionCamera UsbFusionCamera::plug(usbcam::UmockdevUsbBus& bus, const std::string& serial,
                                      const std::string& firmware, const std::string& product) {
    usbcam::UsbCameraConfig config = usbcam::UsbCameraConfig::fusionCamera(VENDOR_ID, PRODUCT_ID, serial);
    config.manufacturer = "Quelnor";
    config.product = product;
    UsbSensorCamera sensor = UsbSensorCamera::plug(bus, std::move(config));
    UsbFusionCamera camera;
    camera.model = sensor.model;
    camera.registers = sensor.registers;
    for (uint32_t property : {DVS_ENABLE, DVS_STREAM_ENABLE}) {
        camera.model->setCommandHandler(property,
                                        [](const std::vector<uint32_t>& words) -> std::optional<std::vector<uint32_t>> {
                                            return words;
                                        });
    }
    camera.setBoardText(FIRMWARE_VERSION, firmware);
    camera.setExposure(DEFAULT_SHUTTER);
    camera.setBoardValue(APS_CTRL, 0);
    return camera;
}

void UsbFusionCamera::setBoardValue(uint16_t address, uint32_t value) const {
    model->setBoardRegister(address, {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                      static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
}

uint32_t UsbFusionCamera::boardValue(uint16_t address) const {
    std::vector<uint8_t> bytes = model->boardRegister(address);
    bytes.resize(4, 0);
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

void UsbFusionCamera::setBoardText(uint16_t address, const std::string& text) const {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.resize(std::max(bytes.size(), TEXT_REGISTER_BYTES), 0);
    model->setBoardRegister(address, std::move(bytes));
}

void UsbFusionCamera::streamEvents(const std::vector<uint16_t>& words) const {
    model->streamData(usbcam::UsbCameraConfig::DATA_ENDPOINT, swappedWordBytes(words), true);
}

void UsbFusionCamera::streamFrame(std::vector<uint8_t> bytes, bool endTransfer) const {
    model->streamData(usbcam::UsbCameraConfig::DATA_ENDPOINT_2, std::move(bytes), endTransfer);
}

std::vector<std::vector<uint32_t>> UsbFusionCamera::switchFrames() const {
    std::vector<std::vector<uint32_t>> frames;
    for (const usbcam::CommandRecord& command : model->commands()) {
        if (command.property == DVS_ENABLE || command.property == DVS_STREAM_ENABLE) {
            std::vector<uint32_t> entry{command.property};
            entry.insert(entry.end(), command.words.begin(), command.words.end());
            frames.push_back(std::move(entry));
        }
    }
    return frames;
}

} // namespace quelnor::test
