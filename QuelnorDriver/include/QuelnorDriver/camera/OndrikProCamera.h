#pragma once

#include <memory>
#include <optional>
#include <string>

#include "QuelnorDriver/camera/OndrikCameraBase.h"
#include "QuelnorHal/interface/CameraDescription.h"
#include "QuelnorHal/interface/DeviceIo.h"
#include "QuelnorHal/interface/OndrikProInterface.h"

namespace quelnor {

// The Ondrik Pro fusion camera on a Linux board's MIPI interface: V4L2 capture nodes for both streams,
// I2C for the sensors and two PWM outputs that clock them. It runs only as a fused stream: a start
// configures both PWM channels before any stream starts and switches them on once every thread runs; a
// full stop switches them off first. It has no identity storage: opening it reads neither the calibration
// nor the firmware version (those calls still go to the interface and give what it answers).
class OndrikProCamera : public OndrikCameraBase {
public:
    static constexpr INTERFACE_TYPE interfaceType = INTERFACE_MIPI;

    // The board's default device files.
    explicit OndrikProCamera(CameraDescription description);
    // Another board configuration, its device calls through io (nullptr: the system's). The frames are
    // the configuration's APS stream size.
    OndrikProCamera(CameraDescription description, OndrikProInterface::Config config, std::shared_ptr<DeviceIo> io);
    // Stops the streams (and so the PWM outputs) first.
    ~OndrikProCamera() override;

    // "Quelnor"
    static std::string getManufacturer();
    // "OndrikPro"
    static std::string getProductName();

    // FUSION_STREAM only; any other type is refused with -1 and starts nothing.
    int start(STREAM_TYPE type) override;

protected:
    std::shared_ptr<Interface> createInterface() override;
    bool hasDeviceIdentityStorage() const override;
    bool beforeFusionStart() override;
    bool afterStreamsStarted() override;
    void beforeStreamsStop() override;

    std::shared_ptr<OndrikProInterface> proInterface;

private:
    std::optional<OndrikProInterface::Config> boardConfig;
    std::shared_ptr<DeviceIo> boardIo;
};

} // namespace quelnor
