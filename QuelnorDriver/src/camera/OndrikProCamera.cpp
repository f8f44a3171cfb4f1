#include "QuelnorDriver/camera/OndrikProCamera.h"

#include <exception>
#include <utility>

#include "QuelnorBase/Logger.h"

namespace quelnor {

namespace {

int32_t frameWidthOf(const OndrikProInterface::Config& config) {
    return config.apsStream.width > 0 ? config.apsStream.width : FusionCameraPrivate::DEFAULT_APS_WIDTH;
}

int32_t frameHeightOf(const OndrikProInterface::Config& config) {
    return config.apsStream.height > 0 ? config.apsStream.height : FusionCameraPrivate::DEFAULT_APS_HEIGHT;
}

} // namespace

OndrikProCamera::OndrikProCamera(CameraDescription description_) : OndrikCameraBase(std::move(description_)) {
    dvsWidth = DEFAULT_DVS_WIDTH;
    dvsHeight = DEFAULT_DVS_HEIGHT;
    fileInfo.width = static_cast<uint16_t>(dvsWidth);
    fileInfo.height = static_cast<uint16_t>(dvsHeight);
}

OndrikProCamera::OndrikProCamera(CameraDescription description_, OndrikProInterface::Config config,
                                 std::shared_ptr<DeviceIo> io)
    : OndrikCameraBase(std::move(description_), frameWidthOf(config), frameHeightOf(config)),
      boardConfig(std::move(config)), boardIo(std::move(io)) {
    dvsWidth = DEFAULT_DVS_WIDTH;
    dvsHeight = DEFAULT_DVS_HEIGHT;
    fileInfo.width = static_cast<uint16_t>(dvsWidth);
    fileInfo.height = static_cast<uint16_t>(dvsHeight);
}

OndrikProCamera::~OndrikProCamera() {
    stopStreams();
    proInterface.reset();
}

std::string OndrikProCamera::getManufacturer() { return "Quelnor"; }

std::string OndrikProCamera::getProductName() { return "OndrikPro"; }

int OndrikProCamera::start(STREAM_TYPE type) {
    if (type != FUSION_STREAM) {
        QN_ERROR("Ondrik Pro supports FUSION_STREAM only; APS-only master capture uses its dedicated sample");
        return -1;
    }
    try {
        return OndrikCameraBase::start(FUSION_STREAM);
    } catch (const std::exception& e) {
        QN_ERROR("Failed to start Ondrik Pro streams: %s", e.what());
        stopStreams();
        return -1;
    }
}

std::shared_ptr<Interface> OndrikProCamera::createInterface() {
    proInterface = boardConfig ? OndrikProInterface::create(*boardConfig, boardIo) : OndrikProInterface::create();
    return proInterface;
}

bool OndrikProCamera::hasDeviceIdentityStorage() const { return false; }

bool OndrikProCamera::beforeFusionStart() { return proInterface && proInterface->prepareAll(); }

bool OndrikProCamera::afterStreamsStarted() { return proInterface && proInterface->enableAll(); }

void OndrikProCamera::beforeStreamsStop() {
    if (proInterface && !proInterface->disableAll()) {
        QN_ERROR("Failed to disable all Ondrik Pro PWM clocks");
    }
}

} // namespace quelnor
