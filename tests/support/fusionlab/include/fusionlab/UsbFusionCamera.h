#pragma once

// A simulated Ondrik fusion camera on the umockdev bus: the event sensor's register file answering
// control frames like an IMX636, the frame-sensor board's registers and the calibration store behind
// vendor requests, the event stream on the data endpoint (words in the camera's byte order) and NV12
// frames on the second data endpoint. Link `quelnor_fusionlab`, include "fusionlab/UsbFusionCamera.h";
// run under the umockdev preload.
//
//   quelnor::test::usbcam::UmockdevUsbBus bus;
//   auto camera = quelnor::test::UsbFusionCamera::plug(bus, "OND0001");
//   camera.setExposure(3479);                 // the frame sensor's shutter register
//   camera.streamEvents(encoder.takeWords());  // EVT3 words, delivered as one buffer
//   camera.streamFrame(greyNv12(3840, 2160, 120));
//
// Thread safety: as the model (every member from any thread).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cameralab/UsbSensorCamera.h"
#include "device/DeviceDouble.h"
#include "usbcam/UmockdevUsbBus.h"
#include "usbcam/UsbCameraModel.h"

namespace quelnor::test {

class UsbFusionCamera {
public:
    static constexpr uint16_t VENDOR_ID = 0x2207;
    static constexpr uint16_t PRODUCT_ID = 0x0006;
    // Frame-sensor board registers (vendor requests by address).
    static constexpr uint16_t APS_CTRL = 0x5000;
    static constexpr uint16_t APS_SHUTTER = 0x5002;
    static constexpr uint16_t FIRMWARE_VERSION = 0x6000;
    static constexpr uint16_t SERIAL_NUMBER = 0x6001;
    static constexpr uint16_t CAMERA_RESET = 0x6002;
    // The control frames that switch the event sensor's stream.
    static constexpr uint32_t DVS_ENABLE = 0x40010010;
    static constexpr uint32_t DVS_STREAM_ENABLE = 0x40010200;
    static constexpr int FRAME_WIDTH = 3840;
    static constexpr int FRAME_HEIGHT = 2160;
    static constexpr size_t FRAME_BYTES = size_t(FRAME_WIDTH) * FRAME_HEIGHT * 3 / 2;

    // An Ondrik with this serial-number string, answering both switch frames, with a firmware version
    // text, the shutter register at 3479 (an exposure of 24919 us) and aps_ctrl at 0. Its descriptors
    // name the product `product`.
    static UsbFusionCamera plug(usbcam::UmockdevUsbBus& bus, const std::string& serial,
                                const std::string& firmware = "ONDRIK-FW-1.2.3",
                                const std::string& product = "Ondrik");

    // A board register of 32 bits (little-endian, as the camera keeps them).
    void setBoardValue(uint16_t address, uint32_t value) const;
    uint32_t boardValue(uint16_t address) const;
    // A 64-byte text register, zero-filled after the text.
    void setBoardText(uint16_t address, const std::string& text) const;
    void setExposure(uint32_t shutterLines) const { setBoardValue(APS_SHUTTER, shutterLines); }

    // EVT3 words on the data endpoint, ending a transfer (one buffer on the host).
    void streamEvents(const std::vector<uint16_t>& words) const;
    // Bytes on the frame endpoint; endTransfer false leaves the host's transfer open after them.
    void streamFrame(std::vector<uint8_t> bytes, bool endTransfer = true) const;
    // The payload words of every switch frame received, in order (property, then words).
    std::vector<std::vector<uint32_t>> switchFrames() const;

    std::shared_ptr<usbcam::UsbCameraModel> model;
    std::shared_ptr<DeviceDouble> registers;
};

} // namespace quelnor::test
