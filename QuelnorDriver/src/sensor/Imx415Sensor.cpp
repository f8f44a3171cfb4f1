#include "QuelnorDriver/sensor/Imx415Sensor.h"

#include <utility>

#include "QuelnorBase/Logger.h"
#include "sensor/MipiDataTransfer.h"
#include "sensor/SensorStreamParameters.h"

namespace quelnor {

namespace {

constexpr const char* APS_CONTROL_REGISTER = "aps_ctrl";
constexpr uint32_t APS_STREAM_OFF = 0;
constexpr uint32_t APS_STREAM_ON = 1;

} // namespace

Imx415Sensor::Imx415Sensor() = default;

Imx415Sensor::~Imx415Sensor() = default;

int Imx415Sensor::init(std::shared_ptr<Interface> interface) {
    inited = false;
    isV4l2 = false;
    if (!interface) {
        QN_ERROR("Imx415Sensor init failed! No interface provided!");
        return -1;
    }
    if (interface->getInterfaceType() == Interface::MIPI) {
        isV4l2 = true;
        if (!openEventStream(detail::createMipiDataTransfer(interface, detail::MipiStream::FRAMES,
                                                            detail::V4L2_RAW_EVENT_SIZE_BYTES))) {
            QN_ERROR("Imx415Sensor init failed! No data transfer for the interface!");
            return -1;
        }
        inited = true;
        QN_INFO("Imx415Sensor V4L2 init success!");
        return 0;
    }

    const auto frameBytes = static_cast<uint32_t>(static_cast<double>(width * height) * detail::FRAME_BYTES_PER_PIXEL);
    const bool hasStream =
        openEventStream(createDataTransferUniquePtr(interface, detail::FRAME_RAW_EVENT_SIZE_BYTES, frameBytes,
                                                    detail::FRAME_TRANSFERS_IN_FLIGHT, detail::FRAME_ENDPOINT));
    writeRegisterCallback(APS_CONTROL_REGISTER, APS_STREAM_OFF);
    if (!hasStream) {
        QN_ERROR("Imx415Sensor init failed! No data transfer for the interface!");
        return -1;
    }
    inited = true;
    QN_INFO("Imx415Sensor init success!");
    return 0;
}

int Imx415Sensor::start() {
    if (!inited) {
        QN_ERROR("Please initialize the Imx415Sensor first!");
        return -1;
    }
    if (!startEventStream("Imx415Sensor")) {
        return -1;
    }
    if (isV4l2) {
        return 0;
    }
    writeRegisterCallback(APS_CONTROL_REGISTER, APS_STREAM_ON);
    return 0;
}

int Imx415Sensor::stop() {
    if (!inited) {
        return 0;
    }
    stopEventStream();
    if (isV4l2) {
        return 0;
    }
    writeRegisterCallback(APS_CONTROL_REGISTER, APS_STREAM_OFF);
    return 0;
}

} // namespace quelnor
