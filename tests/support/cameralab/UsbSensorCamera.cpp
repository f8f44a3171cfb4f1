#include "cameralab/UsbSensorCamera.h"

#include <optional>
#include <utility>

#include "cameralab/SensorRegisters.h"

namespace quelnor::test {

namespace {
constexpr uint32_t DEVICE_INDEX = 0;
}

usbcam::UsbCameraConfig UsbSensorCamera::config(uint16_t vendorId, uint16_t productId, const std::string& serial,
                                                const std::string& manufacturer, const std::string& product) {
    usbcam::UsbCameraConfig config = usbcam::UsbCameraConfig::eventCamera(vendorId, productId, serial);
    config.manufacturer = manufacturer;
    config.product = product;
    return config;
}

UsbSensorCamera UsbSensorCamera::plug(usbcam::UmockdevUsbBus& bus, uint16_t vendorId, uint16_t productId,
                                      const std::string& serial, const std::string& manufacturer,
                                      const std::string& product) {
    return plug(bus, config(vendorId, productId, serial, manufacturer, product));
}

UsbSensorCamera UsbSensorCamera::plug(usbcam::UmockdevUsbBus& bus, usbcam::UsbCameraConfig config) {
    UsbSensorCamera camera;
    camera.isGenx320 = config.vendorId == ZARN320_VENDOR_ID && config.productId == ZARN320_PRODUCT_ID;
    camera.registers = makeSensorRegisters(camera.isGenx320);
    camera.model = std::make_shared<usbcam::UsbCameraModel>(std::move(config));
    camera.answerRegisterFrames();
    bus.plug(camera.model);
    return camera;
}

void UsbSensorCamera::answerRegisterFrames() {
    std::shared_ptr<DeviceDouble> file = registers;
    model->setCommandHandler(usbcam::wire::READ_REGISTERS,
                             [file](const std::vector<uint32_t>& words) -> std::optional<std::vector<uint32_t>> {
                                 if (words.size() < 3 || words[0] != DEVICE_INDEX) {
                                     return std::nullopt;
                                 }
                                 const uint32_t address = words[1];
                                 const uint32_t count = words[2];
                                 std::vector<uint32_t> answer{DEVICE_INDEX, address};
                                 if (count == 1) {
                                     uint32_t value = 0;
                                     if (!file->tryReadRegister(address, value)) {
                                         return std::nullopt;
                                     }
                                     answer.push_back(value);
                                 } else {
                                     const std::vector<uint32_t> values =
                                         file->readRegister(address, static_cast<int>(count));
                                     answer.insert(answer.end(), values.begin(), values.end());
                                 }
                                 return answer;
                             });
    std::shared_ptr<WriteFaults> faults = writeFaults;
    model->setCommandHandler(usbcam::wire::WRITE_REGISTER,
                             [file, faults](const std::vector<uint32_t>& words) -> std::optional<std::vector<uint32_t>> {
                                 if (words.size() < 3 || words[0] != DEVICE_INDEX) {
                                     return std::nullopt;
                                 }
                                 {
                                     std::lock_guard<std::mutex> lock(faults->lock);
                                     auto it = faults->remaining.find(words[1]);
                                     if (it != faults->remaining.end() && it->second > 0) {
                                         --it->second;
                                         return std::nullopt;
                                     }
                                 }
                                 file->writeRegister(words[1], words[2]);
                                 return std::vector<uint32_t>{DEVICE_INDEX, words[1], words[2]};
                             });
}

void UsbSensorCamera::stream(std::vector<uint8_t> bytes) const { model->streamData(std::move(bytes), true); }

void UsbSensorCamera::failWrites(uint32_t address, int count) const {
    std::lock_guard<std::mutex> lock(writeFaults->lock);
    writeFaults->remaining[address] = count;
}

} // namespace quelnor::test
