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
    // A write the device did not confirm fails the step that made it; the controller names the register.
    auto writeFailed = std::make_shared<bool>(false);
    std::shared_ptr<RegisterController> sequenceController = registerController;
    sensor->setCheckedApplyRegisterOperationSequenceCallback(
        [sequenceController, writeFailed](const std::vector<RegisterOperation>& sequence) {
            const bool ok = sequenceController->tryApplyRegisterOperationSequence(sequence);
            *writeFailed = *writeFailed || !ok;
            return ok;
        });
    std::shared_ptr<RegisterController> fieldController = registerController;
    sensor->setCheckedWriteRegisterFieldCallback(
        [fieldController, writeFailed](const std::string& registerName, const std::string& fieldName,
                                       uint32_t value) {
            const bool ok = fieldController->tryWriteRegisterField(registerName, fieldName, value);
            *writeFailed = *writeFailed || !ok;
            return ok;
        });
    // A sensor that fails here for another reason refuses to start later. A camera left half
    // configured is no camera: that fails the open, and the next open builds everything again.
    if (sensor->init(interface) != 0 && *writeFailed) {
        QN_ERROR("Camera %s: initialisation failed, a register write was not confirmed",
                 description.serialNumber.c_str());
        releaseParts();
        return -1;
    }

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
                // Without the host port or the stream switch the camera would run and deliver nothing.
                if (!eth->confirmHostPort()) {
                    QN_ERROR("Camera %s: start failed, the host stream port (register 0x%04X) could not be set",
                             description.serialNumber.c_str(), EthInterface::HOST_PORT_REGISTER);
                    sensor->stop();
                    return -1;
                }
                if (!eth->setEventStream(true)) {
                    QN_ERROR("Camera %s: start failed, the stream (register 0x%04X) could not be switched on",
                             description.serialNumber.c_str(), EthInterface::STREAM_ENABLE_REGISTER);
                    // It may have taken the write and lost only the acknowledgement.
                    eth->setEventStream(false);
                    sensor->stop();
                    return -1;
                }
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
