#include "QuelnorDriver/camera/DvsEventCamera.h"

#include <utility>
#include <vector>

#include "QuelnorBase/Logger.h"
#include "QuelnorDriver/sensor/Genx320RegisterMap.h"
#include "QuelnorDriver/sensor/Genx320Sensor.h"
#include "QuelnorDriver/sensor/Imx636RegisterMap.h"
#include "QuelnorDriver/sensor/Imx6x6Sensor.h"
#include "QuelnorHal/EventStream/DecoderFactory.h"
#include "QuelnorHal/interface/EthInterface.h"
#include "QuelnorHal/interface/UsbInterface.h"

namespace quelnor {

DvsEventCamera::DvsEventCamera(CameraDescription description_) : DvsCameraPrivate(std::move(description_)) {}

DvsEventCamera::~DvsEventCamera() = default;

bool DvsEventCamera::isConnected() const { return deviceConnected(); }

uint16_t DvsEventCamera::getWidth() { return width; }

uint16_t DvsEventCamera::getHeight() { return height; }

RawEventStreamFormat DvsEventCamera::getRawEventStreamFormat() { return rawEventStreamFormat; }

int DvsEventCamera::init() {
    if (inited.load()) {
        return 0;
    }
    releaseParts();

    std::shared_ptr<Interface> created;
    switch (description.interfaceType) {
    case INTERFACE_USB:
        created = UsbInterface::createUsbInterface(description);
        break;
    case INTERFACE_ETH:
        created = EthInterface::createEthInterface(description);
        break;
    default:
        QN_ERROR("Camera %s: an event camera cannot be opened over %s", description.serialNumber.c_str(),
                 to_string(description.interfaceType).c_str());
        return -1;
    }
    if (!created) {
        return -1;
    }
    interface = std::move(created);
    interface->initByCamera(interfaceInitInfo);

    isGenx320 = description.vendorId == GENX320_VENDOR_ID && description.productId == GENX320_PRODUCT_ID;
    const RegisterInfo* table = isGenx320 ? GENX320_REGISTER_MAP : IMX636_REGISTER_MAP;
    const uint32_t rowCount = isGenx320 ? GENX320_REGISTER_MAP_SIZE : IMX636_REGISTER_MAP_SIZE;
    const char* prefix = isGenx320 ? GENX320_REGISTER_PREFIX : IMX636_REGISTER_PREFIX;
    width = isGenx320 ? GENX320_WIDTH : IMX636_WIDTH;
    height = isGenx320 ? GENX320_HEIGHT : IMX636_HEIGHT;
    rawEventStreamFormat = RawEventStreamFormat(isGenx320 ? GENX320_STREAM_FORMAT : IMX636_STREAM_FORMAT);

    registerController = std::make_shared<RegisterController>(interface, table, rowCount, prefix);
    fileInfo.width = width;
    fileInfo.height = height;

    decoder = DecoderFactory::createUniqueDecoder(getRawEventStreamFormat());
    decoder->setEventsStreamHandleCallback([this](Event2D* first, Event2D* last) { eventStreamArrived(first, last); });
    decoder->setTriggerInCallback([this](EventTriggerIn trigger) { triggerInArrived(trigger); });

    if (isGenx320) {
        sensor = std::make_unique<Genx320Sensor>();
    } else {
        sensor = std::make_unique<Imx6x6Sensor>();
    }
    std::shared_ptr<RegisterController> sequenceController = registerController;
    sensor->setApplyRegisterOperationSequenceCallback(
        [sequenceController](const std::vector<RegisterOperation>& sequence) {
            sequenceController->applyRegisterOperationSequence(sequence);
        });
    std::shared_ptr<RegisterController> fieldController = registerController;
    sensor->setWriteRegisterFieldCallback(
        [fieldController](const std::string& registerName, const std::string& fieldName, uint32_t value) {
            fieldController->writeRegisterField(registerName, fieldName, value);
        });
    // A sensor that fails here refuses to start later.
    sensor->init(interface);

    tools.createEventCameraTools(registerController, isGenx320);
    inited.store(true);
    return 0;
}

int DvsEventCamera::start() {
    return startCamera([this] {
        if (sensor->start() != 0) {
            return -1;
        }
        if (description.interfaceType == INTERFACE_ETH) {
            if (auto eth = std::dynamic_pointer_cast<EthInterface>(interface)) {
                eth->setEventStream(true);
            }
        }
        return 0;
    });
}

bool DvsEventCamera::updateCameraFirmware(std::string path, uint32_t startAddress) {
    if (description.interfaceType != INTERFACE_ETH) {
        return false;
    }
    auto eth = std::dynamic_pointer_cast<EthInterface>(interface);
    if (!eth) {
        QN_ERROR("Camera %s is not open: no firmware update", description.serialNumber.c_str());
        return false;
    }
    return eth->updateFirmware(std::move(path), startAddress);
}

bool DvsEventCamera::checkSensor() {
    if (isGenx320) {
        return deviceConnected();
    }
    if (!interface) {
        return false;
    }
    const std::vector<uint32_t> id = interface->readRegister(SENSOR_ID_ADDRESS, 1);
    if (id.size() != 1 || id[0] != IMX636_SENSOR_ID) {
        return false;
    }
    const std::vector<uint32_t> status = interface->readRegister(SENSOR_STATUS_ADDRESS, 1);
    return status.size() == 1 && (status[0] & SENSOR_STATUS_BUSY_MASK) == 0;
}

} // namespace quelnor
